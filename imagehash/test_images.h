// Test images: generated pixels, and PNG files written by libpng (an encoder independent of the decoders
// under test) in every colour type, bit depth, interlacing and filter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "imagehash/os_image_hashing.h"

namespace testimages {

struct Rgba {
  std::uint8_t r = 0, g = 0, b = 0, a = 255;
};

OSImage make(std::uint32_t width, std::uint32_t height,
             const std::function<Rgba(std::uint32_t, std::uint32_t)>& pixel);
OSImage solid(std::uint32_t width, std::uint32_t height, Rgba colour);
// A smooth picture with structure at several scales, different for every seed.
OSImage scene(std::uint32_t width, std::uint32_t height, std::uint32_t seed);
// The scene with a small rectangle repainted: a near-duplicate.
OSImage touched(const OSImage& image, std::uint32_t seed);

struct PngOptions {
  int colourType = 6;  // PNG_COLOR_TYPE_*: 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  int bitDepth = 8;
  bool interlaced = false;
  int filters = 0xF8;  // PNG_ALL_FILTERS
  int level = 6;
};
// Encodes the image; grey types take the red channel, palette needs at most 256 colours.
OSData png(const OSImage& image, PngOptions options = {});
std::string describe(const PngOptions& options);

OSData readFile(const std::string& path);

// The message of the OSImageHashingException the call throws, or "nothing thrown".
template <class F>
std::string thrownMessage(F&& call) {
  try {
    call();
  } catch (const OSImageHashingException& e) {
    return e.what();
  }
  return "nothing thrown";
}

}  // namespace testimages
