// Reading words from pixels on the screenshot corpus: ours reads only the parts of a page whose words its
// accessibility tree lacks (the layout make_corpus.sh saved beside each screenshot); the peer, as screen
// recorders do, reads every whole frame. Both with Tesseract, one thread, in this process. Reported: the
// share of records read, word recall on the pages that draw words (the corpus knows them), and processor time
// per read record, with ratios.
//
//   bench_ocr CORPUS_FOLDER
#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "imagehash/os_image_hashing.h"
#include "ocr/regions.h"
#include "ocr/text_reader.h"

namespace {

namespace fs = std::filesystem;
using tessaron::ocr::Box;

double threadSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::set<std::string> wordsOf(const std::string& text) {
  std::set<std::string> out;
  std::string word;
  for (char c : text + " ") {
    if (std::isalpha(static_cast<unsigned char>(c))) {
      word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    } else if (!word.empty()) {
      out.insert(word);
      word.clear();
    }
  }
  return out;
}

// Reads the boxes of the image; the processor seconds it took.
double readBoxes(tessaron::ocr::TextReader& reader, const OSImage& image, const std::vector<Box>& boxes,
                 std::string& words) {
  const double start = threadSeconds();
  for (const Box& box : boxes) {
    const std::uint8_t* origin = image.pixels().data() + static_cast<std::size_t>(box.y) * image.stride() +
                                 static_cast<std::size_t>(box.x) * 4;
    words += reader.read(origin, box.width, box.height, static_cast<int>(image.stride())) + " ";
  }
  return threadSeconds() - start;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Tally {
  int records = 0, read = 0;
  std::size_t drawn = 0, foundOurs = 0, foundPeer = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_ocr CORPUS_FOLDER\n");
    return 2;
  }
  std::vector<fs::path> screenshots;
  for (const auto& entry : fs::directory_iterator(argv[1]))
    if (entry.path().extension() == ".png") screenshots.push_back(entry.path());
  std::sort(screenshots.begin(), screenshots.end());
  tessaron::ocr::TextReader reader({"eng"}, tessaron::ocr::languageDataFolder());
  std::map<std::string, Tally> kinds;
  std::vector<double> oursSeconds, peerSeconds;  // per record ours reads: ours, and the whole frame
  double peerAll = 0;
  int records = 0, oursRead = 0;
  for (const fs::path& file : screenshots) {
    std::ifstream layoutFile(fs::path(file).replace_extension(".layout.json"));
    const auto layoutJson = nlohmann::json::parse(layoutFile, nullptr, false);
    std::ifstream in(file, std::ios::binary);
    const OSData bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto image = OSImageFromData(bytes);
    if (layoutJson.is_discarded() || !image) {
      std::fprintf(stderr, "bench_ocr: %s has no layout or does not decode: skipped\n", file.c_str());
      continue;
    }
    tessaron::ocr::PageLayout layout;
    const auto& page = layoutJson["page"];
    const Box frame{0, 0, static_cast<int>(image->width()), static_cast<int>(image->height())};
    // The page reaches the screenshot's bottom (a dump's window may be shorter than the screenshot's).
    layout.page = Box{page[0].get<int>(), page[1].get<int>(), frame.width, frame.height - page[1].get<int>()};
    layout.textCharacters = layoutJson["textCharacters"].get<std::size_t>();
    for (const auto& part : layoutJson["parts"]) {
      const auto& b = part["box"];
      layout.parts.push_back(
          {part["kind"] == "canvas" ? tessaron::ocr::PartKind::canvas : tessaron::ocr::PartKind::image,
           {b[0].get<int>(), b[1].get<int>(), b[2].get<int>(), b[3].get<int>()},
           part["description"].get<std::size_t>()});
    }
    std::vector<std::string> drawn;
    for (const auto& word : layoutJson["drawnWords"])
      drawn.push_back(word.get<std::string>());
    const std::string kind = file.stem().string().substr(0, file.stem().string().find('_'));
    Tally& tally = kinds[kind];
    ++tally.records;
    ++records;

    std::string peerWords;
    const double peer = readBoxes(reader, *image, {frame}, peerWords);
    peerAll += peer;
    std::vector<Box> regions;
    for (const Box& region : tessaron::ocr::regionsToRead(layout))
      if (tessaron::ocr::mayHoldWords(image->pixels().data() +
                                          static_cast<std::size_t>(region.y) * image->stride() +
                                          static_cast<std::size_t>(region.x) * 4,
                                      region.width, region.height, static_cast<int>(image->stride())))
        regions.push_back(region);
    std::string oursWords;
    if (!regions.empty()) {
      oursSeconds.push_back(readBoxes(reader, *image, regions, oursWords));
      peerSeconds.push_back(peer);
      ++tally.read;
      ++oursRead;
    }
    const auto foundOurs = wordsOf(oursWords), foundPeer = wordsOf(peerWords);
    for (const std::string& word : drawn) {
      ++tally.drawn;
      tally.foundOurs += foundOurs.count(word);
      tally.foundPeer += foundPeer.count(word);
    }
  }
  std::printf("%d screenshots of the corpus                     ours (parts)   peer (whole frame)   ratio\n",
              records);
  std::printf("  records read                                  %3d (%4.1f %%)   %3d (100 %%)\n", oursRead,
              100.0 * oursRead / std::max(records, 1), records);
  for (const auto& [kind, tally] : kinds) {
    std::printf("    %-10s %2d records: read %2d", kind.c_str(), tally.records, tally.read);
    if (tally.drawn > 0)
      std::printf(
          "; words drawn only in pixels %3zu, found %3zu (%5.1f %%) vs %3zu (%5.1f %%)", tally.drawn,
          tally.foundOurs, 100.0 * static_cast<double>(tally.foundOurs) / static_cast<double>(tally.drawn),
          tally.foundPeer, 100.0 * static_cast<double>(tally.foundPeer) / static_cast<double>(tally.drawn));
    std::printf("\n");
  }
  std::printf("  processor time per read record, median, s        %6.3f          %6.3f          %5.2f\n",
              median(oursSeconds), median(peerSeconds),
              median(oursSeconds) / std::max(median(peerSeconds), 1e-9));
  double ours = 0;
  for (double s : oursSeconds)
    ours += s;
  std::printf("  processor time for the whole corpus, s             %6.1f          %6.1f          %5.3f\n",
              ours, peerAll, ours / std::max(peerAll, 1e-9));
  return 0;
}
