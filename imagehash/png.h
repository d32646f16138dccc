// The one place that knows PNG: screenshots are written here (encodePng) and read by the same module
// (decode_png.cpp, through OSImageFromData and the hashes), and anything that needs a PNG's size asks here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace osimagehashing {

// The deflate level screenshots are saved at (libdeflate's 1 to 12). Measured over the screenshots of twenty
// minutes of reading documentation in Chromium and Firefox (bench/cost_bench.cpp): level 6 makes files 14 %
// smaller than level 1 and takes no longer (7.0 against 8.9 ms a record); level 9 gains nothing more at three
// times the time, level 12 another 9 % at forty times.
inline constexpr int screenshotPngLevel = 6;

// Lossless PNG of 8-bit RGBA rows `stride` bytes apart: RGB when every pixel is opaque, else RGBA; rows
// Up-filtered and deflated at libdeflate's `level`. Empty when it cannot encode (no memory, a level
// libdeflate does not have).
std::vector<std::uint8_t> encodePng(std::uint32_t width, std::uint32_t height, std::size_t stride,
                                    const std::uint8_t* pixels, int level = screenshotPngLevel);

// The width and height a PNG's header gives; none when the bytes do not start as a PNG or give no size.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(std::span<const std::uint8_t> png);

}  // namespace osimagehashing
