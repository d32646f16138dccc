// PNG decoding. Screenshots are 8-bit RGB or RGBA, not interlaced; for those a direct path inflates the image
// data with libdeflate and unfilters it row by row straight into the receiver, which is several times faster
// than a general decoder and never holds more than the inflated rows. Every other PNG (palette, grey, 16-bit,
// interlaced, a colour key) goes through libspng.
#include <libdeflate.h>
#include <spng.h>

#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "imagehash/image_internal.h"

namespace osimagehashing {

namespace {

constexpr std::uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

struct Header {
  std::uint32_t width = 0, height = 0;
  std::uint8_t bitDepth = 0, colourType = 0, interlace = 0;
};

// What the chunk walk found: the header, whether the direct path applies, and the image data.
struct ChunkScan {
  Header header;
  bool direct = false;
  std::vector<std::uint8_t> imageData;
};

// Walks the chunks, checking every CRC. False for anything malformed or truncated; libspng is not asked about
// such data either, since it would refuse it too.
bool scanChunks(std::span<const std::uint8_t> data, const OSImageDecodingLimits& limits, ChunkScan& scan) {
  std::size_t pos = 8;
  bool sawHeader = false;
  bool sawEnd = false;
  while (!sawEnd) {
    if (data.size() - pos < 12) return false;
    const std::uint32_t length = bigEndian32(&data[pos]);
    const std::uint8_t* type = &data[pos + 4];
    if (length > 0x7fffffffU || data.size() - pos - 12 < length) return false;
    const std::uint8_t* body = type + 4;
    if (libdeflate_crc32(0, type, std::size_t{length} + 4) != bigEndian32(body + length)) return false;
    if (!sawHeader) {
      if (std::memcmp(type, "IHDR", 4) != 0 || length != 13) return false;
      Header& h = scan.header;
      h.width = bigEndian32(body);
      h.height = bigEndian32(body + 4);
      h.bitDepth = body[8];
      h.colourType = body[9];
      h.interlace = body[12];
      if (body[10] != 0 || body[11] != 0 || h.interlace > 1) return false;
      if (!withinLimits(h.width, h.height, limits)) return false;
      scan.direct = h.bitDepth == 8 && (h.colourType == 2 || h.colourType == 6) && h.interlace == 0;
      sawHeader = true;
    } else if (std::memcmp(type, "IDAT", 4) == 0) {
      if (scan.direct) scan.imageData.insert(scan.imageData.end(), body, body + length);
    } else if (std::memcmp(type, "tRNS", 4) == 0) {
      scan.direct = false;  // a colour key makes some opaque pixels transparent: libspng handles it
    } else if (std::memcmp(type, "IEND", 4) == 0) {
      sawEnd = true;
    } else if ((type[0] & 0x20) == 0 && std::memcmp(type, "PLTE", 4) != 0) {
      return false;  // an unknown critical chunk: the image cannot be read correctly
    }
    pos += std::size_t{length} + 12;
  }
  return sawHeader;
}

#if defined(__SSE2__)
// One pixel (3 or 4 bytes) at a time in 16-bit lanes: the filters are serial from pixel to pixel, but the
// channels of one pixel are independent.
// A pixel loads as a whole 32-bit word (rows are padded, so a 3-byte pixel may read one byte beyond it) and
// stores exactly its own bytes. A store must never cover a byte that the next load reads: a load that only
// partly overlaps a pending store cannot be forwarded from it and stalls the serial filters on every pixel.
template <int bpp>
__m128i loadPixel(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), _mm_setzero_si128());
}

template <int bpp>
void storePixel(std::uint8_t* p, __m128i v) {
  auto packed = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
  std::memcpy(p, &packed, bpp);
}

__m128i absolute16(__m128i x) {
  return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

// The Paeth predictor for the 16-bit lanes of a, b (up) and c (up-left), added to the filtered x.
inline __m128i paeth(__m128i a, __m128i b, __m128i c, __m128i x) {
  const __m128i low = _mm_set1_epi16(0xff);
  __m128i paSigned = _mm_sub_epi16(b, c), pbSigned = _mm_sub_epi16(a, c);
  __m128i pa = absolute16(paSigned), pb = absolute16(pbSigned);
  __m128i pc = absolute16(_mm_add_epi16(paSigned, pbSigned));
  __m128i smallest = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
  __m128i useB = _mm_cmpeq_epi16(pb, smallest);
  __m128i nearest = _mm_or_si128(_mm_and_si128(useB, b), _mm_andnot_si128(useB, c));
  __m128i useA = _mm_cmpeq_epi16(pa, smallest);
  nearest = _mm_or_si128(_mm_and_si128(useA, a), _mm_andnot_si128(useA, nearest));
  return _mm_and_si128(_mm_add_epi16(x, nearest), low);
}

template <int bpp>
void unfilterPaeth(std::uint8_t* row, const std::uint8_t* prev, std::size_t bytes) {
  __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
  for (std::size_t i = 0; i + bpp <= bytes; i += bpp) {
    __m128i b = loadPixel<bpp>(prev + i);
    a = paeth(a, b, c, loadPixel<bpp>(row + i));
    storePixel<bpp>(row + i, a);
    c = b;
  }
}

// Two Paeth rows at once: the lower row runs one pixel behind the upper, whose just-finished pixel is its
// "up" neighbour. Each step's Paeth works on both rows' pixels side by side in one register (upper row in the
// low half), so the serial chain from pixel to pixel is paid once for two pixels.
template <int bpp>
void unfilterPaethPair(std::uint8_t* upper, std::uint8_t* lower, const std::uint8_t* prev,
                       std::size_t bytes) {
  const std::size_t pixels = bytes / bpp;
  __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();  // [upper | lower] left and up-left neighbours
  for (std::size_t j = 0; j <= pixels; ++j) {
    const bool upperPixel = j<pixels, lowerPixel = j> 0;
    __m128i b = _mm_unpacklo_epi64(upperPixel ? loadPixel<bpp>(prev + j * bpp) : _mm_setzero_si128(), a);
    __m128i x = _mm_unpacklo_epi64(upperPixel ? loadPixel<bpp>(upper + j * bpp) : _mm_setzero_si128(),
                                   lowerPixel ? loadPixel<bpp>(lower + (j - 1) * bpp) : _mm_setzero_si128());
    if (!lowerPixel) b = _mm_unpacklo_epi64(b, _mm_setzero_si128());
    a = paeth(a, b, c, x);
    if (upperPixel) storePixel<bpp>(upper + j * bpp, a);
    if (lowerPixel) storePixel<bpp>(lower + (j - 1) * bpp, _mm_unpackhi_epi64(a, a));
    c = b;
  }
}

template <int bpp>
void unfilterSub(std::uint8_t* row, std::size_t bytes) {
  const __m128i low = _mm_set1_epi16(0xff);
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + bpp <= bytes; i += bpp) {
    a = _mm_and_si128(_mm_add_epi16(loadPixel<bpp>(row + i), a), low);
    storePixel<bpp>(row + i, a);
  }
}

template <int bpp>
void unfilterAverage(std::uint8_t* row, const std::uint8_t* prev, std::size_t bytes) {
  const __m128i low = _mm_set1_epi16(0xff);
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + bpp <= bytes; i += bpp) {
    __m128i b = loadPixel<bpp>(prev + i);
    __m128i x = loadPixel<bpp>(row + i);
    a = _mm_and_si128(_mm_add_epi16(x, _mm_srli_epi16(_mm_add_epi16(a, b), 1)), low);
    storePixel<bpp>(row + i, a);
  }
}
#else
template <int bpp>
void unfilterSub(std::uint8_t* row, std::size_t bytes) {
  for (std::size_t i = bpp; i < bytes; ++i)
    row[i] = static_cast<std::uint8_t>(row[i] + row[i - bpp]);
}

std::uint8_t paethPredictor(int a, int b, int c) {
  int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
  return static_cast<std::uint8_t>(pb <= pc ? b : c);
}

template <int bpp>
void unfilterPaeth(std::uint8_t* row, const std::uint8_t* prev, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    int a = i >= bpp ? row[i - bpp] : 0, c = i >= bpp ? prev[i - bpp] : 0;
    row[i] = static_cast<std::uint8_t>(row[i] + paethPredictor(a, prev[i], c));
  }
}

template <int bpp>
void unfilterPaethPair(std::uint8_t* upper, std::uint8_t* lower, const std::uint8_t* prev,
                       std::size_t bytes) {
  unfilterPaeth<bpp>(upper, prev, bytes);
  unfilterPaeth<bpp>(lower, upper, bytes);
}

template <int bpp>
void unfilterAverage(std::uint8_t* row, const std::uint8_t* prev, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    int a = i >= bpp ? row[i - bpp] : 0;
    row[i] = static_cast<std::uint8_t>(row[i] + ((a + prev[i]) >> 1));
  }
}
#endif

// Undoes one row's filter in place; false for an unknown filter type.
template <int bpp>
bool unfilter(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* prev, std::size_t bytes) {
  switch (filter) {
    case 0:
      return true;
    case 1:
      unfilterSub<bpp>(row, bytes);
      return true;
    case 2:
      for (std::size_t i = 0; i < bytes; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
      return true;
    case 3:
      unfilterAverage<bpp>(row, prev, bytes);
      return true;
    case 4:
      unfilterPaeth<bpp>(row, prev, bytes);
      return true;
    default:
      return false;
  }
}

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The direct path; answers false when the data turns out not to fit it after all (then libspng decides).
bool decodeDirect(const ChunkScan& scan, ImageReceiver& receiver, bool& malformed) {
  const Header& h = scan.header;
  const int bpp = h.colourType == 6 ? 4 : 3;
  const std::size_t rowBytes = std::size_t{h.width} * bpp;
  const std::size_t expected = (rowBytes + 1) * h.height;
  // Four spare bytes after the image let the last pixel load as a whole word.
  std::unique_ptr<std::uint8_t[]> inflated(new (std::nothrow) std::uint8_t[expected + 4]);
  if (!inflated) return malformed = true, false;
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  std::size_t produced = 0;
  auto result = libdeflate_zlib_decompress(decompressor.get(), scan.imageData.data(), scan.imageData.size(),
                                           inflated.get(), expected, &produced);
  if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
    return false;  // more data than the image needs: let libspng judge
  if (result != LIBDEFLATE_SUCCESS || produced != expected) return malformed = true, false;

  receiver.begin(h.width, h.height,
                 bpp == 4 ? ImageReceiver::RowFormat::rgba : ImageReceiver::RowFormat::rgb);
  std::vector<std::uint8_t> zeroRow(rowBytes + 4, 0);
  const std::uint8_t* prev = zeroRow.data();
  const std::size_t stride = rowBytes + 1;
  for (std::uint32_t y = 0; y < h.height; ++y) {
    std::uint8_t* line = inflated.get() + y * stride;
    std::uint8_t* row = line + 1;
    if (line[0] == 4 && y + 1 < h.height && line[stride] == 4) {
      std::uint8_t* next = row + stride;
      if (bpp == 4)
        unfilterPaethPair<4>(row, next, prev, rowBytes);
      else
        unfilterPaethPair<3>(row, next, prev, rowBytes);
      receiver.row(row);
      receiver.row(next);
      prev = next;
      ++y;
      continue;
    }
    bool ok =
        bpp == 4 ? unfilter<4>(line[0], row, prev, rowBytes) : unfilter<3>(line[0], row, prev, rowBytes);
    if (!ok) return malformed = true, false;
    receiver.row(row);
    prev = row;
  }
  return true;
}

struct SpngDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

bool decodeWithSpng(std::span<const std::uint8_t> data, const OSImageDecodingLimits& limits,
                    ImageReceiver& receiver) {
  std::unique_ptr<spng_ctx, SpngDeleter> ctx(spng_ctx_new(0));
  if (!ctx) return false;
  spng_set_image_limits(ctx.get(), limits.maxWidth, limits.maxHeight);
  spng_set_chunk_limits(ctx.get(), 1U << 26, 1U << 28);
  if (spng_set_png_buffer(ctx.get(), data.data(), data.size()) != 0) return false;
  spng_ihdr header{};
  if (spng_get_ihdr(ctx.get(), &header) != 0 || !withinLimits(header.width, header.height, limits))
    return false;
  std::size_t size = 0;
  if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size) != 0) return false;
  const std::size_t rowBytes = std::size_t{header.width} * 4;
  if (header.interlace_method == SPNG_INTERLACE_NONE) {
    // Row by row: the receiver sees each row once, and no whole image is held.
    if (spng_decode_image(ctx.get(), nullptr, 0, SPNG_FMT_RGBA8,
                          SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0)
      return false;
    std::vector<std::uint8_t> row(rowBytes);
    receiver.begin(header.width, header.height, ImageReceiver::RowFormat::rgba);
    for (std::uint32_t y = 0; y < header.height; ++y) {
      int rc = spng_decode_row(ctx.get(), row.data(), row.size());
      if (rc != 0 && !(rc == SPNG_EOI && y + 1 == header.height)) return false;
      receiver.row(row.data());
    }
    return true;
  }
  // Interlaced rows arrive pass by pass, so the image is assembled whole first.
  std::unique_ptr<std::uint8_t[]> pixels(new (std::nothrow) std::uint8_t[size]);
  if (!pixels || spng_decode_image(ctx.get(), pixels.get(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
    return false;
  receiver.begin(header.width, header.height, ImageReceiver::RowFormat::rgba);
  for (std::uint32_t y = 0; y < header.height; ++y)
    receiver.row(pixels.get() + y * rowBytes);
  return true;
}

}  // namespace

bool isPng(std::span<const std::uint8_t> data) {
  return data.size() >= 8 && std::memcmp(data.data(), pngSignature, 8) == 0;
}

bool decodePng(std::span<const std::uint8_t> data, const OSImageDecodingLimits& limits,
               ImageReceiver& receiver) {
  if (!isPng(data)) return false;
  ChunkScan scan;
  if (!scanChunks(data, limits, scan)) return false;
  if (scan.direct) {
    bool malformed = false;
    if (decodeDirect(scan, receiver, malformed)) return true;
    if (malformed) return false;
  }
  return decodeWithSpng(data, limits, receiver);
}

}  // namespace osimagehashing
