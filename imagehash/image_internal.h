// Internals of the hashing library shared by its source files; not part of the public header.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "imagehash/os_image_hashing.h"

namespace osimagehashing {

// Receives a decoded image row by row, top to bottom. Rows come in one of three forms: RGB (opaque), RGBA
// with straight alpha, or RGBA already premultiplied.
class ImageReceiver {
 public:
  enum class RowFormat { rgb, rgba, premultipliedRgba };
  virtual ~ImageReceiver() = default;
  virtual void begin(std::uint32_t width, std::uint32_t height, RowFormat format) = 0;
  virtual void row(const std::uint8_t* pixels) = 0;
};

// Premultiplies one RGBA row in place: c' = round(c * a / 255), exactly, for every pixel that is not opaque.
void premultiplyRow(std::uint8_t* rgba, std::uint32_t width);
// Whether every pixel of an RGBA row is opaque (premultiplying it would change nothing).
bool rowIsOpaque(const std::uint8_t* rgba, std::uint32_t width);

// Exact area averaging: every canvas pixel is the mean of the source area it covers, with fractional coverage
// at the edges, in integer arithmetic (weights in units of 1/W horizontally and 1/H vertically), rounded once
// at the end. A box filter over the exact footprint is what a screen shot shrunk 60-fold needs: every source
// pixel counts with its true share, nothing aliases, and the result is deterministic to the bit. Upscaling (a
// source smaller than the canvas) falls out of the same rule.
class AreaAverager final : public ImageReceiver {
 public:
  AreaAverager(std::uint32_t canvasWidth, std::uint32_t canvasHeight);
  void begin(std::uint32_t width, std::uint32_t height, RowFormat format) override;
  void row(const std::uint8_t* pixels) override;
  // The canvas (premultiplied RGBA with the library's stride); valid once every row has arrived.
  OSBitmap finish();

 private:
  void accumulate(const std::uint8_t* bytes);
  void flushPending();
  std::uint32_t canvasWidth_, canvasHeight_;
  std::uint32_t sourceWidth_ = 0, sourceHeight_ = 0, channels_ = 4;
  RowFormat format_ = RowFormat::rgba;
  std::uint32_t nextRow_ = 0;
  std::vector<std::uint8_t> scratch_;      // one row, premultiplied
  std::vector<std::uint32_t> columnSums_;  // per canvas row, per source byte
  // Rows that lie wholly inside one canvas row are summed here first, in 16 bits, and folded into
  // columnSums_ (times their common weight) when the canvas row changes or before the sums could overflow.
  std::vector<std::uint16_t> pending_;
  std::uint32_t pendingRow_ = 0, pendingCount_ = 0;
};

// Decoders. Each checks the limits before allocating pixel memory and answers false for data it cannot decode
// (after which the receiver's state is meaningless).
bool isPng(std::span<const std::uint8_t> data);
bool isTiff(std::span<const std::uint8_t> data);
bool decodePng(std::span<const std::uint8_t> data, const OSImageDecodingLimits& limits,
               ImageReceiver& receiver);
bool decodeTiff(std::span<const std::uint8_t> data, const OSImageDecodingLimits& limits,
                ImageReceiver& receiver);
// Dispatches on the signature.
bool decodeImage(std::span<const std::uint8_t> data, ImageReceiver& receiver);

bool withinLimits(std::uint64_t width, std::uint64_t height, const OSImageDecodingLimits& limits);

// The canvas of encoded data or of an in-memory image; none when it does not decode.
std::optional<OSBitmap> canvasFromData(const OSData& data, std::uint32_t side);
std::optional<OSBitmap> canvasFromImage(const OSImage& image, std::uint32_t side);

// TIFF encoding of premultiplied RGBA rows.
OSData encodeTiff(const OSImage& image);

}  // namespace osimagehashing
