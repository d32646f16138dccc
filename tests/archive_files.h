// Reading what tessaron wrote, for the real-desktop tests and the demo: the records of an archive folder and
// the pixels of a saved screenshot.
#pragma once

#include <spng.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "archive/layout.h"
#include "archive/record_file.h"

namespace tessaron::testing {

struct ArchivedRecord {
  std::filesystem::path text;  // the record's text file; its screenshot is beside it as .png
  std::string address, recordPath, stamp, title, body;
};

// Every record below the archive folder, in file order (which is time order); a text file that is no
// record of ours (a name or content the archive would not write) is passed over.
inline std::vector<ArchivedRecord> readArchive(const std::filesystem::path& archive) {
  namespace fs = std::filesystem;
  std::vector<ArchivedRecord> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(archive, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (!archive::isRecordFile(it->path().lexically_relative(archive))) continue;
    std::ifstream in(it->path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (auto record = archive::parseRecord(bytes))
      out.push_back(
          {it->path(), record->address, record->recordPath, record->stamp, record->title, record->body});
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.text < b.text; });
  return out;
}

struct DecodedPng {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;  // 4 bytes a pixel, rows top to bottom
};

// A PNG file as RGBA pixels, or nothing when it cannot be read.
inline std::optional<DecodedPng> decodePngFile(const std::filesystem::path& png) {
  std::ifstream in(png, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  spng_ctx* context = spng_ctx_new(0);
  spng_set_png_buffer(context, bytes.data(), bytes.size());
  spng_ihdr header{};
  std::size_t size = 0;
  std::optional<DecodedPng> decoded;
  if (spng_get_ihdr(context, &header) == 0 && spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size) == 0) {
    DecodedPng image{header.width, header.height, std::vector<std::uint8_t>(size)};
    if (spng_decode_image(context, image.rgba.data(), size, SPNG_FMT_RGBA8, 0) == 0)
      decoded = std::move(image);
  }
  spng_ctx_free(context);
  return decoded;
}

// A colour as the real-desktop suites look for it in a screenshot: a pixel is near it within 12 a channel.
struct Pixel {
  int r, g, b;
  bool near(const Pixel& other) const {
    return std::abs(r - other.r) <= 12 && std::abs(g - other.g) <= 12 && std::abs(b - other.b) <= 12;
  }
};

// The share of an image's pixels near the colour.
inline double shareOf(const DecodedPng& image, const Pixel& colour) {
  std::size_t close = 0;
  const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
  for (std::size_t i = 0; i < count; ++i)
    close += Pixel{image.rgba[4 * i], image.rgba[4 * i + 1], image.rgba[4 * i + 2]}.near(colour);
  return count ? static_cast<double>(close) / static_cast<double>(count) : 0;
}

}  // namespace tessaron::testing
