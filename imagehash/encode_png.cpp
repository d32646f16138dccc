// PNG encoding of screenshots. Measured on 1920x1080 screenshots (bench/capture_bench.cpp): libpng at its
// default level takes several times longer than libdeflate over Up-filtered rows, for files within a few
// percent of each other; every saved record pays this, so the faster encoder is used (its level: png.h).
#include <libdeflate.h>

#include <cstring>
#include <memory>

#include "imagehash/png.h"

namespace osimagehashing {

namespace {

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                 static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  out.insert(out.end(), bytes, bytes + 4);
}

void putChunk(std::vector<std::uint8_t>& out, const char* type, const std::uint8_t* body,
              std::size_t length) {
  put32(out, static_cast<std::uint32_t>(length));
  const std::size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body, body + length);
  put32(out, static_cast<std::uint32_t>(libdeflate_crc32(0, out.data() + typeAt, length + 4)));
}

}  // namespace

std::vector<std::uint8_t> encodePng(std::uint32_t width, std::uint32_t height, std::size_t stride,
                                    const std::uint8_t* pixels, int level) {
  if (level < 1 || level > 12) return {};
  bool opaque = true;
  for (std::uint32_t y = 0; y < height && opaque; ++y) {
    const std::uint8_t* row = pixels + y * stride;
    for (std::uint32_t x = 0; x < width; ++x)
      opaque &= row[4 * x + 3] == 255;
  }
  const std::size_t channels = opaque ? 3 : 4;
  const std::size_t rowBytes = std::size_t{width} * channels;

  // Rows with the Up filter (the first row against zeros, which is the same as no filter).
  std::unique_ptr<std::uint8_t[]> filtered(new (std::nothrow) std::uint8_t[(rowBytes + 1) * height]);
  std::unique_ptr<std::uint8_t[]> rows(new (std::nothrow) std::uint8_t[2 * rowBytes]);
  if (!filtered || !rows) return {};
  std::uint8_t* previous = rows.get();
  std::uint8_t* current = rows.get() + rowBytes;
  std::memset(previous, 0, rowBytes);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* source = pixels + y * stride;
    if (opaque) {
      for (std::uint32_t x = 0; x < width; ++x)
        std::memcpy(current + 3 * x, source + 4 * x, 3);
    } else {
      std::memcpy(current, source, rowBytes);
    }
    std::uint8_t* out = filtered.get() + y * (rowBytes + 1);
    out[0] = 2;
    for (std::size_t i = 0; i < rowBytes; ++i)
      out[i + 1] = static_cast<std::uint8_t>(current[i] - previous[i]);
    std::swap(previous, current);
  }

  // One compressor per level and thread, made when first needed (each holds its level's tables).
  thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressors[13];
  auto& compressor = compressors[level];
  if (!compressor) compressor.reset(libdeflate_alloc_compressor(level));
  if (!compressor) return {};
  const std::size_t filteredSize = (rowBytes + 1) * height;
  const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filteredSize);
  std::unique_ptr<std::uint8_t[]> compressed(new (std::nothrow) std::uint8_t[bound]);
  if (!compressed) return {};
  const std::size_t compressedSize =
      libdeflate_zlib_compress(compressor.get(), filtered.get(), filteredSize, compressed.get(), bound);
  if (compressedSize == 0) return {};
  filtered.reset();

  std::vector<std::uint8_t> png;
  png.reserve(compressedSize + 128);
  static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  png.insert(png.end(), signature, signature + 8);
  std::uint8_t header[13];
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<std::uint8_t>(width >> (24 - 8 * i));
    header[4 + i] = static_cast<std::uint8_t>(height >> (24 - 8 * i));
  }
  header[8] = 8;                             // bits per sample
  header[9] = opaque ? 2 : 6;                // RGB or RGBA
  header[10] = header[11] = header[12] = 0;  // deflate, adaptive filtering, not interlaced
  putChunk(png, "IHDR", header, sizeof header);
  constexpr std::size_t maxChunk = std::size_t{1} << 30;
  for (std::size_t at = 0; at < compressedSize; at += maxChunk)
    putChunk(png, "IDAT", compressed.get() + at, std::min(maxChunk, compressedSize - at));
  putChunk(png, "IEND", nullptr, 0);
  return png;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(std::span<const std::uint8_t> png) {
  static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (png.size() < 24 || std::memcmp(png.data(), signature, 8) != 0) return std::nullopt;
  auto at = [&](std::size_t i) {
    return static_cast<std::uint32_t>(png[i]) << 24 | static_cast<std::uint32_t>(png[i + 1]) << 16 |
           static_cast<std::uint32_t>(png[i + 2]) << 8 | png[i + 3];
  };
  if (at(16) == 0 || at(20) == 0) return std::nullopt;
  return std::pair{at(16), at(20)};
}

}  // namespace osimagehashing
