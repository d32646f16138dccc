#include "searchserver/thumbnails.h"
#include "archive/layout.h"
#include "searchserver/assets.h"

#include <spng.h>
#include <stdio.h>
#include <unistd.h>
#include <webp/encode.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

#include "searchserver/record.h"

namespace tessaron::search {

namespace fs = std::filesystem;

namespace {

// Larger than any screen; a file claiming more is not a screenshot of ours.
constexpr std::uint32_t maxSide = 16384;
constexpr std::uint64_t maxPixels = 100'000'000;
// Interlaced pictures (ours never are) are decoded whole, so only small ones.
constexpr std::uint64_t maxInterlacedPixels = 16'000'000;

std::optional<std::string> readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Shrinks a picture a row at a time, so that a large one never has to be in memory whole: each pixel of the
// result is the average of the pixels it covers. Its height is in proportion but at most twice its width;
// only the top of a very tall picture is kept, at the same scale. A picture no wider than `width` is kept
// as it is.
class Shrinker {
 public:
  Shrinker(std::uint32_t sourceWidth, std::uint32_t sourceHeight, std::uint32_t width)
      : sourceWidth_(sourceWidth), copy_(sourceWidth <= width || sourceWidth == 0) {
    if (copy_) {
      out_ = {sourceWidth, sourceHeight,
              std::vector<std::uint8_t>(static_cast<std::size_t>(sourceWidth) * sourceHeight * 4)};
      return;
    }
    const std::uint64_t fullHeight =
        std::max<std::uint64_t>(1, static_cast<std::uint64_t>(sourceHeight) * width / sourceWidth);
    const auto height = static_cast<std::uint32_t>(std::min<std::uint64_t>(fullHeight, 2 * width));
    sourceHeight_ =
        std::min<std::uint64_t>(sourceHeight, static_cast<std::uint64_t>(height) * sourceWidth / width);
    out_ = {width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    sums_.resize(static_cast<std::size_t>(width) * 4);
    columnOf_.resize(sourceWidth);
    columnCount_.resize(width);
    for (std::uint32_t x = 0; x < sourceWidth; ++x) {
      columnOf_[x] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(x) * width / sourceWidth);
      ++columnCount_[columnOf_[x]];
    }
    rowEnd_ = nextRowEnd();
  }

  bool done() const { return copy_ ? row_ >= out_.height : y_ >= out_.height; }

  // The next row of the source, 4 bytes a pixel.
  void add(const std::uint8_t* pixels) {
    if (done()) return;
    if (copy_) {
      std::copy_n(pixels, static_cast<std::size_t>(sourceWidth_) * 4,
                  out_.pixels.data() + static_cast<std::size_t>(row_++) * sourceWidth_ * 4);
      return;
    }
    for (std::uint32_t x = 0; x < sourceWidth_; ++x, pixels += 4) {
      std::uint64_t* sum = &sums_[static_cast<std::size_t>(columnOf_[x]) * 4];
      for (int c = 0; c < 4; ++c)
        sum[c] += pixels[c];
    }
    if (++row_ < rowEnd_) return;
    const std::uint64_t rows = rowEnd_ - rowStart_;
    std::uint8_t* target = out_.pixels.data() + static_cast<std::size_t>(y_) * out_.width * 4;
    for (std::uint32_t x = 0; x < out_.width; ++x) {
      const std::uint64_t count = rows * columnCount_[x];
      for (std::uint32_t c = 0; c < 4; ++c)
        target[x * 4 + c] = static_cast<std::uint8_t>(count ? (sums_[x * 4 + c] + count / 2) / count : 0);
    }
    std::fill(sums_.begin(), sums_.end(), 0);
    ++y_;
    rowStart_ = rowEnd_;
    rowEnd_ = nextRowEnd();
  }

  RgbaPicture take() { return std::move(out_); }

 private:
  std::uint64_t nextRowEnd() const {
    return std::max(rowStart_ + 1, (static_cast<std::uint64_t>(y_) + 1) * sourceHeight_ / out_.height);
  }

  std::uint32_t sourceWidth_;
  bool copy_;
  std::uint64_t sourceHeight_ = 0;
  RgbaPicture out_;
  std::vector<std::uint64_t> sums_;
  std::vector<std::uint32_t> columnOf_, columnCount_;
  std::uint64_t row_ = 0, rowStart_ = 0, rowEnd_ = 0;
  std::uint32_t y_ = 0;
};

}  // namespace

std::optional<RgbaPicture> shrunkScreenshot(const fs::path& file, std::uint32_t width) {
  ArchiveFile opened(file, maxScreenshotBytes);
  if (!opened) return std::nullopt;
  std::unique_ptr<FILE, decltype(&std::fclose)> stream(::fdopen(::dup(opened.descriptor()), "rb"),
                                                       std::fclose);
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), spng_ctx_free);
  if (!stream || !context) return std::nullopt;
  spng_set_image_limits(context.get(), maxSide, maxSide);
  spng_set_chunk_limits(context.get(), 1u << 24, 1u << 26);
  spng_set_png_file(context.get(), stream.get());
  spng_ihdr header{};
  if (spng_get_ihdr(context.get(), &header) != 0) return std::nullopt;
  const std::uint64_t pixels = static_cast<std::uint64_t>(header.width) * header.height;
  if (pixels > maxPixels || (header.interlace_method != SPNG_INTERLACE_NONE && pixels > maxInterlacedPixels))
    return std::nullopt;
  Shrinker shrinker(header.width, header.height, width);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(header.width) * 4);
  if (header.interlace_method != SPNG_INTERLACE_NONE) {
    std::vector<std::uint8_t> whole(row.size() * header.height);
    if (spng_decode_image(context.get(), whole.data(), whole.size(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
      return std::nullopt;
    for (std::uint32_t y = 0; y < header.height && !shrinker.done(); ++y)
      shrinker.add(whole.data() + y * row.size());
    return shrinker.take();
  }
  if (spng_decode_image(context.get(), nullptr, 0, SPNG_FMT_RGBA8,
                        SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0)
    return std::nullopt;
  for (std::uint32_t y = 0; y < header.height && !shrinker.done(); ++y) {
    const int result = spng_decode_row(context.get(), row.data(), row.size());
    if (result != 0 && result != SPNG_EOI) return std::nullopt;  // damaged, or cut short
    shrinker.add(row.data());
  }
  if (!shrinker.done()) return std::nullopt;
  return shrinker.take();
}

RgbaPicture scaledToWidth(const RgbaPicture& picture, std::uint32_t width) {
  Shrinker shrinker(picture.width, picture.height, width);
  const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 4;
  for (std::uint32_t y = 0; y < picture.height && !shrinker.done(); ++y)
    shrinker.add(picture.pixels.data() + y * rowBytes);
  return shrinker.take();
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
  const fs::path screenshot = archive::recordFiles(archive_, day, stem).imagePath;
  std::error_code ec;
  // A forgotten screenshot's thumbnail is never shown, even in the moment before it is removed.
  if (!fs::is_directory(fs::symlink_status(screenshot.parent_path(), ec)) ||
      !fs::is_regular_file(fs::symlink_status(screenshot, ec)))
    return std::nullopt;
  if (auto bytes = readFile(kept); bytes && !bytes->empty()) return bytes;
  const auto picture = shrunkScreenshot(screenshot, width);
  if (!picture) return std::nullopt;
  std::string bytes = encodeWebp(*picture, quality);
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

void Thumbnails::forget(const std::vector<std::string>& records, const std::vector<std::string>& days) {
  std::error_code ec;
  for (const auto& record : records)
    fs::remove(folder_ / (record + ".webp"), ec);
  for (const auto& day : days)
    fs::remove_all(folder_ / day, ec);
}

void Thumbnails::forgetGoneDays() {
  std::error_code ec;
  std::vector<std::string> gone;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    const std::string day = entry.path().filename().string();
    std::error_code statError;
    if (!fs::is_directory(fs::symlink_status(archive_ / day, statError))) gone.push_back(day);
  }
  forget({}, gone);
}

const std::string& Thumbnails::placeholder() {
  static const std::string svg(asset("placeholder.svg"));
  return svg;
}

}  // namespace tessaron::search
