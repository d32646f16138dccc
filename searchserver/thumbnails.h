// Small pictures of the screenshots, for result lists and the timeline: made on first request, kept in the
// cache folder (deleting it is always safe, they are made again), never written into the archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::search {

struct RgbaPicture {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> pixels;  // 4 bytes a pixel, rows without padding
};

// The picture scaled down to `width` (each pixel the average of the pixels it covers), its height in
// proportion but at most twice the width; a narrower picture keeps its size.
RgbaPicture scaledToWidth(const RgbaPicture& picture, std::uint32_t width);
// A screenshot file scaled down as scaledToWidth does, read and shrunk a row at a time (a few rows in memory,
// whatever its size); none when the file is missing, no plain file, not a PNG, damaged, or larger than a
// screen could be (16384 pixels a side, 100 million in all).
std::optional<RgbaPicture> shrunkScreenshot(const std::filesystem::path& file, std::uint32_t width);
// Lossy WebP; empty when encoding fails.
std::string encodeWebp(const RgbaPicture& picture, float quality);

class Thumbnails {
 public:
  static constexpr std::uint32_t width = 320;
  static constexpr float quality = 70;

  // `folder` is where they are kept; it is made when needed.
  Thumbnails(std::filesystem::path archive, std::filesystem::path folder);

  // The thumbnail (WebP) of a record's screenshot ("yyyyMMdd", stem), from the folder, or made and kept
  // there; none when the screenshot cannot be read, or is no longer there. A folder that cannot be written
  // only means making it again next time.
  std::optional<std::string> get(const std::string& day, const std::string& stem);

  // Removes the thumbnails of records that left the archive ("yyyyMMdd/<stem>"), and of whole day folders.
  void forget(const std::vector<std::string>& records, const std::vector<std::string>& days);
  // Removes the thumbnails of every day folder the archive no longer has (deleted while no server ran).
  void forgetGoneDays();

  // A grey picture with a frame, as SVG, for a screenshot that cannot be shown.
  static const std::string& placeholder();

 private:
  std::filesystem::path archive_;
  std::filesystem::path folder_;
};

}  // namespace tessaron::search
