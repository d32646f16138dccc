// The duplicate filter's per-window cost and PNG encoding, side by side in one run.
//
//   bench_capture CORPUS_DIR
//
// For a 1920x1080 screenshot (the grab itself left out):
//  - unchanged window: the literal filter (encode the new PNG, decode and hash both PNGs) versus the engine's
//    (hash the pixels, compare with the kept hash);
//  - changed window: literal (encode, decode and hash both) versus the engine (hash the pixels, encode);
//  - every decision of the two on the corpus's pairs (pairs.tsv) and on each screenshot against itself, which
//    must be the same;
//  - PNG encoding: libpng at its default level and at level 1, versus libdeflate (the archive's level) over
//  Up-filtered
//    rows: time and file size; every encoding is checked to decode back to the same pixels.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "capture/capture.h"
#include "imagehash/os_image_hashing.h"

namespace {

namespace fs = std::filesystem;
using bench::bestMilliseconds;
using bench::readFile;

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<OSData*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

OSData encodeWithLibpng(const tessaron::platform::RgbaImage& image, int level) {
  OSData out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, appendBytes, nullptr);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (level >= 0) png_set_compression_level(png, level);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < image.height; ++y)
    png_write_row(png, const_cast<png_bytep>(image.pixels.data() + y * image.stride));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

tessaron::platform::RgbaImage toRgba(const OSImage& image) {
  return {image.width(), image.height(), image.stride(), image.pixels()};
}

// As the engine does it: the pixels move into the image view and back, never copied.
OSHashType hashPixels(tessaron::platform::RgbaImage& image) {
  OSImage view(image.width, image.height, image.stride, std::move(image.pixels));
  OSHashType hash = OSImageHashing::sharedInstance().hashImage(&view, OSImageHashingProviderPHash);
  image.pixels = view.takePixels();
  return hash;
}

// Whether the two screenshots are near-duplicates, decided the literal way (through PNG files) and the
// engine's way (from the pixels); reports every pair where the two disagree.
int checkDecisions(const fs::path& corpus) {
  const auto& hasher = OSImageHashing::sharedInstance();
  const OSHashDistanceType threshold =
      hasher.hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderPHash);
  std::map<std::string, tessaron::platform::RgbaImage> shots;
  auto shot = [&](const std::string& name) -> tessaron::platform::RgbaImage& {
    auto found = shots.find(name);
    if (found != shots.end()) return found->second;
    auto image = OSImageFromData(readFile(corpus / (name + ".png")));
    if (!image) throw std::runtime_error("the corpus lacks " + name + ".png");
    return shots.emplace(name, toRgba(*image)).first->second;
  };
  std::ifstream pairs(corpus / "pairs.tsv");
  std::string line;
  std::getline(pairs, line);  // the header
  std::vector<std::pair<std::string, std::string>> compared;
  while (std::getline(pairs, line)) {
    std::istringstream fields(line);
    std::string a, b;
    if (fields >> a >> b) compared.emplace_back(a, b);
  }
  const std::size_t listed = compared.size();
  for (std::size_t i = 0; i < listed; ++i) {
    compared.emplace_back(compared[i].first, compared[i].first);
    compared.emplace_back(compared[i].second, compared[i].second);
  }
  int differ = 0, duplicates = 0;
  for (const auto& [a, b] : compared) {
    auto& left = shot(a);
    auto& right = shot(b);
    const OSData leftPng = tessaron::encodePng(left), rightPng = tessaron::encodePng(right);
    const bool literal = hasher.hashDistance(hasher.hashImageData(&leftPng, OSImageHashingProviderPHash),
                                             hasher.hashImageData(&rightPng, OSImageHashingProviderPHash),
                                             OSImageHashingProviderPHash) < threshold;
    const bool engine =
        hasher.hashDistance(hashPixels(left), hashPixels(right), OSImageHashingProviderPHash) < threshold;
    duplicates += engine ? 1 : 0;
    if (literal != engine) {
      ++differ;
      std::printf("  DECISIONS DIFFER: %s and %s (literal %s, engine %s)\n", a.c_str(), b.c_str(),
                  literal ? "duplicate" : "new", engine ? "duplicate" : "new");
    }
  }
  std::printf("  decisions on the corpus: %zu comparisons (%d duplicates), %s\n\n", compared.size(),
              duplicates, differ == 0 ? "every one the same as the literal path's" : "SOME DIFFER");
  return differ;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_capture CORPUS_DIR\n");
    return 2;
  }
  const fs::path corpus = argv[1];
  auto before = OSImageFromData(readFile(corpus / "article_1920x1080_base.png"));
  auto after = OSImageFromData(readFile(corpus / "article_1920x1080_other.png"));
  if (!before || !after) {
    std::fprintf(stderr, "bench_capture: the corpus lacks article_1920x1080_{base,other}.png\n");
    return 1;
  }
  auto previous = toRgba(*before), current = toRgba(*after);
  const auto& hasher = OSImageHashing::sharedInstance();
  const OSData previousPng = tessaron::encodePng(previous);
  const OSHashType keptHash = hashPixels(previous);
  volatile std::int64_t sink = 0;

  auto literal = [&](const tessaron::platform::RgbaImage& shot) {
    OSData png = tessaron::encodePng(shot);
    OSHashType a = hasher.hashImageData(&previousPng, OSImageHashingProviderPHash);
    OSHashType b = hasher.hashImageData(&png, OSImageHashingProviderPHash);
    sink =
        sink + hasher.hashDistance(a, b, OSImageHashingProviderPHash) + static_cast<std::int64_t>(png.size());
  };
  const double literalUnchanged = bestMilliseconds(15, [&] { literal(previous); });
  const double oursUnchanged = bestMilliseconds(15, [&] {
    sink = sink + hasher.hashDistance(keptHash, hashPixels(previous), OSImageHashingProviderPHash);
  });
  const double literalChanged = bestMilliseconds(15, [&] { literal(current); });
  const double oursChanged = bestMilliseconds(15, [&] {
    sink = sink + hasher.hashDistance(keptHash, hashPixels(current), OSImageHashingProviderPHash);
    sink = sink + static_cast<std::int64_t>(tessaron::encodePng(current).size());
  });
  std::printf("duplicate filter per 1920x1080 window (screenshot grab excluded):\n");
  std::printf("  unchanged window: literal %8.2f ms   engine %7.3f ms   ratio %6.1fx\n", literalUnchanged,
              oursUnchanged, literalUnchanged / oursUnchanged);
  std::printf("  changed window:   literal %8.2f ms   engine %7.3f ms   ratio %6.1fx\n", literalChanged,
              oursChanged, literalChanged / oursChanged);
  const int differ = checkDecisions(corpus);

  std::printf("PNG encoding of a 1920x1080 screenshot:\n");
  struct Encoder {
    const char* name;
    std::function<OSData()> run;
  };
  const Encoder encoders[] = {
      {"libpng, default level", [&] { return encodeWithLibpng(current, -1); }},
      {"libpng, level 1", [&] { return encodeWithLibpng(current, 1); }},
      {"libdeflate, the archive's level, Up", [&] { return tessaron::encodePng(current); }},
  };
  for (const auto& encoder : encoders) {
    OSData png;
    const double ms = bestMilliseconds(5, [&] { png = encoder.run(); });
    auto decoded = OSImageFromData(png);
    const bool exact = decoded && decoded->pixels() == current.pixels;
    std::printf("  %-32s %8.2f ms %9zu bytes  %s\n", encoder.name, ms, png.size(),
                exact ? "decodes to the same pixels" : "MISMATCH");
  }
  return differ == 0 ? 0 : 1;
}
