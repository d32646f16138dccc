// Canvases: in-memory images, the exact area-averaging downscaler, and canvas preparation from data or
// images.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <system_error>

#include "imagehash/image_internal.h"

namespace {
std::mutex limitsMutex;
OSImageDecodingLimits currentLimits;
}  // namespace

OSImageDecodingLimits OSImageDecodingLimitsGet() {
  std::lock_guard lock(limitsMutex);
  return currentLimits;
}

void OSImageDecodingLimitsSet(const OSImageDecodingLimits& limits) {
  std::lock_guard lock(limitsMutex);
  currentLimits = limits;
}

OSImage::OSImage(std::uint32_t width, std::uint32_t height, std::size_t stride,
                 std::vector<std::uint8_t> pixels)
    : width_(width), height_(height), stride_(stride), pixels_(std::move(pixels)) {
  if (width != 0 && height != 0 &&
      (stride < std::size_t{width} * 4 || pixels_.size() < stride * (height - 1) + std::size_t{width} * 4))
    throw OSImageHashingException("Image pixels must cover width and height");
}

std::vector<std::uint8_t> OSImage::takePixels() {
  width_ = height_ = 0;
  stride_ = 0;
  return std::move(pixels_);
}

std::size_t OSBitmapStrideForWidth(std::uint32_t width) {
  if (width == 8) return 32;
  return (std::size_t{width} * 4 + 63) / 64 * 64;
}

namespace osimagehashing {

void premultiplyRow(std::uint8_t* p, std::uint32_t width) {
  for (std::uint32_t x = 0; x < width; ++x, p += 4) {
    unsigned a = p[3];
    if (a == 255) continue;
    // (v + 127) / 255 rounds v / 255 to nearest for every v = c * a in 0..65025.
    p[0] = static_cast<std::uint8_t>((p[0] * a + 127) / 255);
    p[1] = static_cast<std::uint8_t>((p[1] * a + 127) / 255);
    p[2] = static_cast<std::uint8_t>((p[2] * a + 127) / 255);
  }
}

// Whole pixels as 32-bit words, alpha in the top byte, eight at a time in a vector of the compiler's (so that
// the check runs at the memory's pace at any optimisation level): every alpha is 255 when the AND of all
// words keeps the top byte set.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
bool rowIsOpaque(const std::uint8_t* rgba, std::uint32_t width) {
  static_assert(std::endian::native == std::endian::little, "alpha is the pixel word's top byte");
  using Pixels = std::uint32_t __attribute__((vector_size(32)));
  Pixels all = ~Pixels{};
  std::uint32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    Pixels block;
    std::memcpy(&block, rgba + std::size_t{4} * x, sizeof block);
    all &= block;
  }
  std::uint32_t word = 0xFFFFFFFFU;
  for (; x < width; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, rgba + std::size_t{4} * x, 4);
    word &= pixel;
  }
  for (int lane = 0; lane < 8; ++lane)
    word &= all[lane];
  return (word | 0x00FFFFFFU) == 0xFFFFFFFFU;
}

bool withinLimits(std::uint64_t width, std::uint64_t height, const OSImageDecodingLimits& limits) {
  // Sides above 2^24 would overflow the averager's 32-bit column sums, whatever the limits say.
  constexpr std::uint64_t hardSide = std::uint64_t{1} << 24;
  return width > 0 && height > 0 && width <= hardSide && height <= hardSide && width <= limits.maxWidth &&
         height <= limits.maxHeight && width * height <= limits.maxPixels;
}

AreaAverager::AreaAverager(std::uint32_t canvasWidth, std::uint32_t canvasHeight)
    : canvasWidth_(canvasWidth), canvasHeight_(canvasHeight) {}

void AreaAverager::begin(std::uint32_t width, std::uint32_t height, RowFormat format) {
  sourceWidth_ = width;
  sourceHeight_ = height;
  format_ = format;
  channels_ = format == RowFormat::rgb ? 3 : 4;
  nextRow_ = 0;
  if (format == RowFormat::rgba) scratch_.resize(std::size_t{width} * 4);
  // One sum per source byte for every canvas row: a source row adds into the one or two canvas rows it
  // overlaps (more when upscaling), and each canvas row is reduced across once at the end.
  columnSums_.assign(std::size_t{canvasHeight_} * width * channels_, 0);
  pending_.assign(std::size_t{width} * channels_, 0);
  pendingCount_ = 0;
}

void AreaAverager::row(const std::uint8_t* pixels) {
  if (format_ == RowFormat::rgba && !rowIsOpaque(pixels, sourceWidth_)) {
    std::memcpy(scratch_.data(), pixels, scratch_.size());
    premultiplyRow(scratch_.data(), sourceWidth_);
    accumulate(scratch_.data());
  } else {
    accumulate(pixels);
  }
}

namespace {

// The two inner loops, cloned for AVX2 where the processor has it; plain loops the compiler vectorises.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void addBytes(std::uint16_t* sums, const std::uint8_t* bytes, std::size_t count) {
  using Bytes = std::uint8_t __attribute__((vector_size(16)));
  using Sums = std::uint16_t __attribute__((vector_size(32)));
  std::size_t k = 0;
  for (; k + 16 <= count; k += 16) {
    Bytes in;
    Sums sum;
    std::memcpy(&in, bytes + k, sizeof in);
    std::memcpy(&sum, sums + k, sizeof sum);
    sum += __builtin_convertvector(in, Sums);
    std::memcpy(sums + k, &sum, sizeof sum);
  }
  for (; k < count; ++k)
    sums[k] = static_cast<std::uint16_t>(sums[k] + bytes[k]);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void addWeighted(std::uint32_t* sums, const std::uint8_t* bytes, std::uint32_t weight, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k)
    sums[k] += weight * bytes[k];
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void foldPending(std::uint32_t* sums, std::uint16_t* pending, std::uint32_t weight, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    sums[k] += weight * pending[k];
    pending[k] = 0;
  }
}

}  // namespace

void AreaAverager::flushPending() {
  if (pendingCount_ == 0) return;
  const std::size_t rowBytes = pending_.size();
  // Whole rows weigh H units each (a source row is H units of 1/H).
  foldPending(columnSums_.data() + pendingRow_ * rowBytes, pending_.data(), canvasHeight_, rowBytes);
  pendingCount_ = 0;
}

// Source row y covers [y*H, (y+1)*H) in units of 1/H source rows; canvas row Y covers [Y*h, (Y+1)*h), h being
// the source height. Their overlap is the integer weight.
void AreaAverager::accumulate(const std::uint8_t* bytes) {
  if (nextRow_ >= sourceHeight_) return;
  const std::uint64_t y = nextRow_++;
  const std::uint64_t H = canvasHeight_, h = sourceHeight_;
  const std::size_t rowBytes = std::size_t{sourceWidth_} * channels_;
  const std::uint64_t begin = y * H, end = (y + 1) * H;
  const std::uint64_t first = begin / h;
  if (end <= (first + 1) * h) {
    // The whole row falls into canvas row `first`: a plain 16-bit add. 257 rows of 255 still fit.
    if (pendingCount_ && (pendingRow_ != first || pendingCount_ == 257)) flushPending();
    pendingRow_ = static_cast<std::uint32_t>(first);
    addBytes(pending_.data(), bytes, rowBytes);
    ++pendingCount_;
    return;
  }
  for (std::uint64_t Y = first; Y < H && Y * h < end; ++Y) {
    const auto weight = static_cast<std::uint32_t>(std::min(end, (Y + 1) * h) - std::max(begin, Y * h));
    addWeighted(columnSums_.data() + Y * rowBytes, bytes, weight, rowBytes);
  }
}

OSBitmap AreaAverager::finish() {
  flushPending();
  OSBitmap canvas;
  canvas.width = canvasWidth_;
  canvas.height = canvasHeight_;
  canvas.stride = OSBitmapStrideForWidth(canvasWidth_);
  canvas.bytes.assign(canvas.stride * canvasHeight_, 0);
  const std::uint64_t W = canvasWidth_, w = sourceWidth_;
  const std::uint64_t total = std::uint64_t{sourceWidth_} * sourceHeight_;
  const std::size_t rowBytes = std::size_t{sourceWidth_} * channels_;
  for (std::uint32_t Y = 0; Y < canvasHeight_; ++Y) {
    const std::uint32_t* sums = columnSums_.data() + Y * rowBytes;
    std::uint8_t* out = canvas.bytes.data() + Y * canvas.stride;
    for (std::uint64_t X = 0; X < W; ++X) {
      // Canvas column X covers [X*w, (X+1)*w) in units of 1/W source columns.
      std::uint64_t acc[4] = {0, 0, 0, 0};
      const std::uint64_t begin = X * w, end = (X + 1) * w;
      for (std::uint64_t i = begin / W; i < w && i * W < end; ++i) {
        const std::uint64_t weight = std::min(end, (i + 1) * W) - std::max(begin, i * W);
        for (std::uint32_t c = 0; c < channels_; ++c)
          acc[c] += weight * sums[i * channels_ + c];
      }
      for (std::uint32_t c = 0; c < channels_; ++c)
        out[4 * X + c] = static_cast<std::uint8_t>((acc[c] + total / 2) / total);
      if (channels_ == 3) out[4 * X + 3] = 255;
    }
  }
  columnSums_.clear();
  columnSums_.shrink_to_fit();
  return canvas;
}

namespace {
// Feeds an in-memory image's rows to a receiver as straight-alpha RGBA.
void feedImage(const OSImage& image, ImageReceiver& receiver) {
  receiver.begin(image.width(), image.height(), ImageReceiver::RowFormat::rgba);
  for (std::uint32_t y = 0; y < image.height(); ++y)
    receiver.row(image.pixels().data() + y * image.stride());
}
}  // namespace

bool decodeImage(std::span<const std::uint8_t> data, ImageReceiver& receiver) {
  const OSImageDecodingLimits limits = OSImageDecodingLimitsGet();
  if (isPng(data)) return decodePng(data, limits, receiver);
  if (isTiff(data)) return decodeTiff(data, limits, receiver);
  return false;
}

std::optional<OSBitmap> canvasFromData(const OSData& data, std::uint32_t side) {
  AreaAverager averager(side, side);
  if (!decodeImage(data, averager)) return std::nullopt;
  return averager.finish();
}

std::optional<OSBitmap> canvasFromImage(const OSImage& image, std::uint32_t side) {
  if (image.empty()) return std::nullopt;
  AreaAverager averager(side, side);
  feedImage(image, averager);
  return averager.finish();
}

}  // namespace osimagehashing

using namespace osimagehashing;

namespace {
// Collects decoded rows into an in-memory image (straight alpha).
class ImageCollector final : public ImageReceiver {
 public:
  void begin(std::uint32_t width, std::uint32_t height, RowFormat format) override {
    width_ = width;
    height_ = height;
    format_ = format;
    pixels_.assign(std::size_t{width} * height * 4, 0);
    next_ = 0;
  }
  void row(const std::uint8_t* p) override {
    if (next_ >= height_) return;
    std::uint8_t* out = pixels_.data() + std::size_t{next_++} * width_ * 4;
    for (std::uint32_t x = 0; x < width_; ++x) {
      if (format_ == RowFormat::rgb) {
        std::memcpy(out + 4 * x, p + 3 * x, 3);
        out[4 * x + 3] = 255;
        continue;
      }
      std::memcpy(out + 4 * x, p + 4 * x, 4);
      unsigned a = p[4 * x + 3];
      if (format_ == RowFormat::premultipliedRgba && a != 0 && a != 255)
        for (int c = 0; c < 3; ++c)
          out[4 * x + c] = static_cast<std::uint8_t>(std::min(255U, (p[4 * x + c] * 255 + a / 2) / a));
    }
  }
  OSImage take() { return OSImage(width_, height_, std::size_t{width_} * 4, std::move(pixels_)); }

 private:
  std::uint32_t width_ = 0, height_ = 0, next_ = 0;
  RowFormat format_ = RowFormat::rgba;
  std::vector<std::uint8_t> pixels_;
};
}  // namespace

std::optional<OSImage> OSImageFromData(const OSData& data) {
  ImageCollector collector;
  if (!decodeImage(data, collector)) return std::nullopt;
  return collector.take();
}

OSData dataRepresentation(const OSImage& image) {
  if (image.empty()) return {};
  return encodeTiff(image);
}

OSBitmap imageRepFrom(const OSImage& image, std::uint32_t width, std::uint32_t height,
                      OSImageInterpolation interpolation) {
  if (image.empty() || width == 0 || height == 0) {
    OSBitmap blank{width, height, OSBitmapStrideForWidth(width), {}};
    blank.bytes.assign(blank.stride * height, 0);
    return blank;
  }
  if (interpolation != OSImageInterpolation::none) {
    AreaAverager averager(width, height);
    feedImage(image, averager);
    return averager.finish();
  }
  // Nearest sample: the source pixel under each canvas pixel's centre.
  OSBitmap canvas{width, height, OSBitmapStrideForWidth(width), {}};
  canvas.bytes.assign(canvas.stride * height, 0);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint64_t sy = (2 * std::uint64_t{y} + 1) * image.height() / (2 * std::uint64_t{height});
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint64_t sx = (2 * std::uint64_t{x} + 1) * image.width() / (2 * std::uint64_t{width});
      std::uint8_t* out = canvas.bytes.data() + y * canvas.stride + 4 * x;
      std::memcpy(out, image.pixels().data() + sy * image.stride() + 4 * sx, 4);
      premultiplyRow(out, 1);
    }
  }
  return canvas;
}

std::optional<std::vector<std::uint8_t>> RGBABitmapDataForResizedImageWithWidth(const OSData& data,
                                                                                std::uint64_t width,
                                                                                std::uint64_t height) {
  if (width == 0 || height == 0 || width > 4096 || height > 4096) return std::nullopt;
  AreaAverager averager(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  if (!decodeImage(data, averager)) return std::nullopt;
  return averager.finish().bytes;
}

std::optional<std::vector<std::uint8_t>> RGBABitmapDataForResizedImageWithWidth(const OSImage& image,
                                                                                std::uint64_t width,
                                                                                std::uint64_t height) {
  if (image.empty() || width == 0 || height == 0 || width > 4096 || height > 4096) return std::nullopt;
  return imageRepFrom(image, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                      OSImageInterpolation::high)
      .bytes;
}

std::uint64_t fileSizeOfElementInBundle(const std::string& fileName, const std::filesystem::path& bundle) {
  std::error_code ec;
  auto size = std::filesystem::file_size(bundle / "Contents" / "Resources" / fileName, ec);
  return ec ? 0 : size;
}
