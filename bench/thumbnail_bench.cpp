// Thumbnails of the screenshot corpus: made the server's way (decode, scale to 320 px, lossy WebP at quality
// 70), side by side with the same picture as a JPEG through libjpeg-turbo at a quality that looks alike (75).
// For each: bytes per thumbnail, time to make one from a 1920x1080 screenshot, and what a results page of 20
// entries weighs with its pictures.
//
// Usage: bench_thumbnails CORPUS_FOLDER
// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "searchserver/thumbnails.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tessaron::search::RgbaPicture;

std::string encodeJpeg(const RgbaPicture& picture, int quality) {
  jpeg_compress_struct compress{};
  jpeg_error_mgr errors{};
  compress.err = jpeg_std_error(&errors);
  jpeg_create_compress(&compress);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&compress, &buffer, &size);
  compress.image_width = picture.width;
  compress.image_height = picture.height;
  compress.input_components = 4;
  compress.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&compress);
  jpeg_set_quality(&compress, quality, TRUE);
  jpeg_start_compress(&compress, TRUE);
  while (compress.next_scanline < compress.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(picture.pixels.data() +
                                        static_cast<std::size_t>(compress.next_scanline) * picture.width * 4);
    jpeg_write_scanlines(&compress, &row, 1);
  }
  jpeg_finish_compress(&compress);
  jpeg_destroy_compress(&compress);
  std::string bytes(reinterpret_cast<char*>(buffer), size);
  free(buffer);
  return bytes;
}

double milliseconds(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_thumbnails CORPUS_FOLDER\n");
    return 2;
  }
  std::vector<fs::path> screenshots;
  for (const auto& entry : fs::directory_iterator(argv[1]))
    if (entry.path().extension() == ".png") screenshots.push_back(entry.path());
  std::sort(screenshots.begin(), screenshots.end());
  if (screenshots.empty()) {
    std::fprintf(stderr, "bench_thumbnails: no screenshots in %s\n", argv[1]);
    return 1;
  }
  double decode = 0, webpTime = 0, jpegTime = 0;
  std::size_t webpBytes = 0, jpegBytes = 0, full = 0, counted = 0;
  double firstOf1080 = 0;
  for (const fs::path& file : screenshots) {
    auto start = Clock::now();
    // Read and shrunk together, a row at a time: one figure for both.
    const auto shrunk = tessaron::search::shrunkScreenshot(file, tessaron::search::Thumbnails::width);
    if (!shrunk) continue;
    const double decoded = milliseconds(start);
    const RgbaPicture& small = *shrunk;
    start = Clock::now();
    const std::string webp = tessaron::search::encodeWebp(small, tessaron::search::Thumbnails::quality);
    const double webpMs = milliseconds(start);
    start = Clock::now();
    const std::string jpeg = encodeJpeg(small, 75);
    jpegTime += milliseconds(start);
    decode += decoded;
    webpTime += webpMs;
    webpBytes += webp.size();
    jpegBytes += jpeg.size();
    full += fs::file_size(file);
    ++counted;
    // A 1920x1080 screenshot shrinks to 320x180.
    if (small.height == 180 && firstOf1080 == 0) firstOf1080 = decoded + webpMs;
  }
  const double n = static_cast<double>(counted);
  std::printf("%zu screenshots, %.0f KB each as PNG on average\n", counted,
              static_cast<double>(full) / n / 1e3);
  std::printf("per thumbnail: decode and scale %.1f ms, WebP %.1f ms, JPEG %.1f ms\n", decode / n,
              webpTime / n, jpegTime / n);
  std::printf("first thumbnail of a 1920x1080 screenshot (decode and scale + WebP): %.1f ms\n", firstOf1080);
  std::printf("bytes per thumbnail: WebP q70 %.1f KB, JPEG q75 %.1f KB, WebP / JPEG %.2f\n",
              static_cast<double>(webpBytes) / n / 1e3, static_cast<double>(jpegBytes) / n / 1e3,
              static_cast<double>(webpBytes) / static_cast<double>(jpegBytes));
  // A results page: about 12 KB of HTML, style and script, and 20 thumbnails (goal under 300 KB).
  std::printf(
      "results page of 20 entries with pictures: WebP %.0f KB, JPEG %.0f KB, full screenshots %.0f KB\n",
      (12e3 + 20 * static_cast<double>(webpBytes) / n) / 1e3,
      (12e3 + 20 * static_cast<double>(jpegBytes) / n) / 1e3,
      (12e3 + 20 * static_cast<double>(full) / n) / 1e3);
  return 0;
}
