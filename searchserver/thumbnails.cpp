#include "searchserver/thumbnails.h"

#include <spng.h>
#include <unistd.h>
#include <webp/encode.h>

#include <fstream>
#include <iterator>
#include <memory>

namespace tessaron::search {

namespace fs = std::filesystem;

namespace {

// Larger than any screen; a file claiming more is not a screenshot of ours.
constexpr std::uint32_t maxSide = 16384;

std::optional<std::string> readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::optional<RgbaPicture> decodePng(const fs::path& file) {
  std::error_code ec;
  // Only plain files: a link could point anywhere.
  if (!fs::is_regular_file(fs::symlink_status(file, ec))) return std::nullopt;
  const auto bytes = readFile(file);
  if (!bytes) return std::nullopt;
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), spng_ctx_free);
  if (!context) return std::nullopt;
  spng_set_image_limits(context.get(), maxSide, maxSide);
  spng_set_chunk_limits(context.get(), 1u << 24, 1u << 26);
  spng_set_png_buffer(context.get(), bytes->data(), bytes->size());
  spng_ihdr header{};
  std::size_t size = 0;
  if (spng_get_ihdr(context.get(), &header) != 0 ||
      spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &size) != 0)
    return std::nullopt;
  RgbaPicture picture{header.width, header.height, std::vector<std::uint8_t>(size)};
  if (spng_decode_image(context.get(), picture.pixels.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
    return std::nullopt;
  return picture;
}

RgbaPicture scaledToWidth(const RgbaPicture& picture, std::uint32_t width) {
  if (picture.width <= width || picture.width == 0) return picture;
  const std::uint64_t fullHeight =
      std::max<std::uint64_t>(1, static_cast<std::uint64_t>(picture.height) * width / picture.width);
  const auto height = static_cast<std::uint32_t>(std::min<std::uint64_t>(fullHeight, 2 * width));
  // Only the top of a very tall picture is kept, at the same scale.
  const std::uint64_t sourceHeight =
      std::min<std::uint64_t>(picture.height, static_cast<std::uint64_t>(height) * picture.width / width);
  RgbaPicture out{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
  std::vector<std::uint64_t> sums(static_cast<std::size_t>(width) * 4);
  std::vector<std::uint32_t> columnOf(picture.width);
  for (std::uint32_t x = 0; x < picture.width; ++x)
    columnOf[x] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(x) * width / picture.width);
  std::vector<std::uint32_t> columnCount(width);
  for (std::uint32_t x = 0; x < picture.width; ++x)
    ++columnCount[columnOf[x]];
  std::uint64_t sourceRow = 0;
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint64_t rowEnd =
        std::max(sourceRow + 1, (static_cast<std::uint64_t>(y) + 1) * sourceHeight / height);
    std::fill(sums.begin(), sums.end(), 0);
    for (std::uint64_t row = sourceRow; row < rowEnd && row < picture.height; ++row) {
      const std::uint8_t* pixel = picture.pixels.data() + row * picture.width * 4;
      for (std::uint32_t x = 0; x < picture.width; ++x, pixel += 4) {
        std::uint64_t* sum = &sums[static_cast<std::size_t>(columnOf[x]) * 4];
        sum[0] += pixel[0];
        sum[1] += pixel[1];
        sum[2] += pixel[2];
        sum[3] += pixel[3];
      }
    }
    const std::uint64_t rows = rowEnd - sourceRow;
    std::uint8_t* target = out.pixels.data() + static_cast<std::size_t>(y) * width * 4;
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint64_t count = rows * columnCount[x];
      for (int c = 0; c < 4; ++c)
        target[x * 4 + static_cast<std::uint32_t>(c)] = static_cast<std::uint8_t>(
            count ? (sums[x * 4 + static_cast<std::uint32_t>(c)] + count / 2) / count : 0);
    }
    sourceRow = rowEnd;
  }
  return out;
}

std::string encodeWebp(const RgbaPicture& picture, float quality) {
  std::uint8_t* output = nullptr;
  const std::size_t size =
      WebPEncodeRGBA(picture.pixels.data(), static_cast<int>(picture.width), static_cast<int>(picture.height),
                     static_cast<int>(picture.width * 4), quality, &output);
  std::string bytes(reinterpret_cast<const char*>(output), size);
  WebPFree(output);
  return bytes;
}

Thumbnails::Thumbnails(fs::path archive, fs::path folder)
    : archive_(std::move(archive)), folder_(std::move(folder)) {}

std::optional<std::string> Thumbnails::get(const std::string& day, const std::string& stem) {
  const fs::path kept = folder_ / day / (stem + ".webp");
  if (auto bytes = readFile(kept); bytes && !bytes->empty()) return bytes;
  const fs::path screenshot = archive_ / day / (stem + ".png");
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(screenshot.parent_path(), ec))) return std::nullopt;
  const auto picture = decodePng(screenshot);
  if (!picture) return std::nullopt;
  std::string bytes = encodeWebp(scaledToWidth(*picture, width), quality);
  if (bytes.empty()) return std::nullopt;
  // Kept under a name of its own first, so that a reader never sees half a file.
  fs::create_directories(kept.parent_path(), ec);
  const fs::path temporary = kept.string() + "." + std::to_string(::getpid()) + ".part";
  {
    std::ofstream out(temporary, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      out.close();
      fs::remove(temporary, ec);
      return bytes;
    }
  }
  fs::rename(temporary, kept, ec);
  if (ec) fs::remove(temporary, ec);
  return bytes;
}

const std::string& Thumbnails::placeholder() {
  static const std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"320\" height=\"200\" viewBox=\"0 0 320 200\">"
      "<rect width=\"320\" height=\"200\" fill=\"#d5dbe3\"/><path d=\"M130 70h60v60h-60z\" fill=\"none\" "
      "stroke=\"#7b8794\" stroke-width=\"4\"/><path d=\"M130 130l20-25 15 15 10-10 15 20\" fill=\"none\" "
      "stroke=\"#7b8794\" stroke-width=\"4\"/></svg>";
  return svg;
}

}  // namespace tessaron::search
