// The three hash providers and what they share.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "imagehash/image_internal.h"

using namespace osimagehashing;

namespace {

[[noreturn]] void abstractCalled() {
  throw OSImageHashingException("Abstract method called.");
}

// Grey of canvas pixel (x, y): (R + G + B) / 3.0; alpha is ignored, premultiplication already applied it.
double grey(const OSBitmap& canvas, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = canvas.bytes.data() + y * canvas.stride + 4 * x;
  return static_cast<double>(p[0] + p[1] + p[2]) / 3.0;
}

struct DctTables {
  std::array<std::array<double, 32>, 32> cosine;  // cosine[k][f]: spatial index k, frequency f
  std::array<std::array<double, 32>, 32> scale;
};

const DctTables& dctTables() {
  static const DctTables tables = [] {
    DctTables t{};
    std::array<double, 32> c{};
    c.fill(1.0);
    c[0] = std::bit_cast<double>(std::uint64_t{0x3FE6A09E667F3BCC});  // 1 / sqrt(2) rounded to double
    constexpr double pi = 3.141592653589793;
    for (int k = 0; k < 32; ++k)
      for (int f = 0; f < 32; ++f)
        t.cosine[k][f] = std::cos((f * ((2 * k + 1) * 0.015625)) * pi);
    for (int u = 0; u < 32; ++u)
      for (int v = 0; v < 32; ++v)
        t.scale[u][v] = (c[u] * c[v]) * 0.125;
    return t;
  }();
  return tables;
}

// The 8 x 8 low-frequency block of the 32 x 32 DCT, each coefficient summed exactly as the full transform
// sums it: over r, then c, one fused multiply-add of the product T[r][u] * T[c][v] with G(r, c) per term,
// scaled at the end. The other 960 coefficients feed neither a bit nor the mean, so they are not computed.
// Running the 64 sums side by side (instead of one after another) keeps each sum's own order of operations,
// so the results are bit-identical, while the vector units work on eight sums at once.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("fma", "default")))
#endif
void lowFrequencyBlock(const double (&g)[32][32], double (&d)[8][8]) {
  const DctTables& t = dctTables();
  double sums[8][8] = {};
  for (int r = 0; r < 32; ++r) {
    for (int c = 0; c < 32; ++c) {
      const double pixel = g[r][c];
      const double* tc = t.cosine[c].data();
      for (int u = 0; u < 8; ++u) {
        const double tru = t.cosine[r][u];
        for (int v = 0; v < 8; ++v)
          sums[u][v] = std::fma(tru * tc[v], pixel, sums[u][v]);
      }
    }
  }
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v)
      d[u][v] = t.scale[u][v] * sums[u][v];
}

}  // namespace

// ----- OSAbstractHash

OSHashType OSAbstractHash::hashImageData(const OSData*) const {
  abstractCalled();
}
OSHashDistanceType OSAbstractHash::hashDistanceSimilarityThreshold() const {
  abstractCalled();
}
const OSAbstractHash& OSAbstractHash::sharedInstance() {
  abstractCalled();
}
OSHashType OSAbstractHash::hashCanvas(const OSBitmap&) const {
  abstractCalled();
}
std::uint32_t OSAbstractHash::canvasSide() const {
  abstractCalled();
}

OSHashType OSAbstractHash::hashImage(const OSImage* image) const {
  if (!image) throw OSImageHashingException("Image must not be null");
  // Hashing the image's pixels gives what hashing its TIFF representation gives (TIFF is lossless and the
  // decoder reads back the same premultiplied pixels), without encoding and decoding it.
  const std::uint32_t side = canvasSide();
  auto canvas = canvasFromImage(*image, side);
  return canvas ? hashCanvas(*canvas) : OSHashTypeError;
}

OSHashDistanceType OSAbstractHash::hashDistance(OSHashType leftHand, OSHashType rightHand) const {
  if (leftHand == OSHashTypeError)
    throw OSImageHashingException("Left hand hash must not be OSHashTypeError");
  if (rightHand == OSHashTypeError)
    throw OSImageHashingException("Right hand hash must not be OSHashTypeError");
  return std::popcount(static_cast<std::uint64_t>(leftHand ^ rightHand));
}

bool OSAbstractHash::compareImageData(const OSData* leftHand, const OSData* rightHand) const {
  if (!leftHand) throw OSImageHashingException("Left hand image data must not be null");
  if (!rightHand) throw OSImageHashingException("Right hand image data must not be null");
  return compareImageData(leftHand, rightHand, hashDistanceSimilarityThreshold());
}

bool OSAbstractHash::compareImageData(const OSData* leftHand, const OSData* rightHand,
                                      OSHashDistanceType threshold) const {
  if (!leftHand) throw OSImageHashingException("Left hand image data must not be null");
  if (!rightHand) throw OSImageHashingException("Right hand image data must not be null");
  const OSHashType left = hashImageData(leftHand);
  const OSHashType right = hashImageData(rightHand);
  if (left == OSHashTypeError || right == OSHashTypeError) return false;
  return hashDistance(left, right) < threshold;
}

OSComparisonResult OSAbstractHash::imageSimilarityComparatorForImageForBaseImageData(
    const OSData* base, const OSData* leftHand, const OSData* rightHand) const {
  if (!base) throw OSImageHashingException("Base image data must not be null");
  if (!rightHand) throw OSImageHashingException("Right hand image data must not be null");
  if (!leftHand) throw OSImageHashingException("Left hand image data must not be null");
  const OSHashType left = hashImageData(leftHand);
  const OSHashType right = hashImageData(rightHand);
  const OSHashType baseHash = hashImageData(base);
  if (baseHash == OSHashTypeError) return OSOrderedSame;
  if (left == OSHashTypeError) return OSOrderedDescending;
  if (right == OSHashTypeError) return OSOrderedAscending;
  const OSHashDistanceType dl = hashDistance(left, baseHash), dr = hashDistance(right, baseHash);
  return dl < dr ? OSOrderedAscending : dl > dr ? OSOrderedDescending : OSOrderedSame;
}

namespace {
template <class Provider>
OSHashType hashData(const Provider& provider, const OSData* data) {
  if (!data) throw OSImageHashingException("Image data must not be null");
  auto canvas = canvasFromData(*data, provider.canvasSide());
  return canvas ? provider.hashCanvas(*canvas) : OSHashTypeError;
}
}  // namespace

// ----- OSAHash

const OSAHash& OSAHash::sharedInstance() {
  static const OSAHash instance;
  return instance;
}

OSHashType OSAHash::hashImageData(const OSData* data) const {
  return hashData(*this, data);
}

OSHashType OSAHash::hashCanvas(const OSBitmap& canvas) const {
  double g[64];
  double sum = 0.0;
  for (int i = 0; i < 64; ++i) {
    g[i] = grey(canvas, static_cast<std::uint32_t>(i % 8), static_cast<std::uint32_t>(i / 8));
    sum += g[i];
  }
  const double mean = sum * 0.015625;
  std::uint64_t hash = 0;
  for (int i = 0; i < 64; ++i)
    if (g[i] > mean) hash |= std::uint64_t{1} << i;
  return static_cast<OSHashType>(hash);
}

// ----- OSDHash

const OSDHash& OSDHash::sharedInstance() {
  static const OSDHash instance;
  return instance;
}

OSHashType OSDHash::hashImageData(const OSData* data) const {
  return hashData(*this, data);
}

OSHashType OSDHash::hashCanvas(const OSBitmap& canvas) const {
  std::uint64_t hash = 0;
  for (std::uint32_t r = 0; r < 8; ++r)
    for (std::uint32_t c = 0; c < 8; ++c)
      if (grey(canvas, c, r) > grey(canvas, c + 1, r)) hash |= std::uint64_t{1} << (8 * r + c);
  return static_cast<OSHashType>(hash);
}

// ----- OSPHash

const OSPHash& OSPHash::sharedInstance() {
  static const OSPHash instance;
  return instance;
}

OSHashType OSPHash::hashImageData(const OSData* data) const {
  return hashData(*this, data);
}

OSHashType OSPHash::hashCanvas(const OSBitmap& canvas) const {
  double g[32][32];
  for (std::uint32_t r = 0; r < 32; ++r)
    for (std::uint32_t c = 0; c < 32; ++c)
      g[r][c] = grey(canvas, c, r);
  double d[8][8];
  lowFrequencyBlock(g, d);
  double total = 0.0;
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v)
      total += d[u][v];
  const double mean = (total - d[0][0]) / 63.0;
  std::uint64_t hash = 0;
  for (int u = 1; u < 8; ++u)
    for (int v = 1; v < 8; ++v)
      if (d[u][v] > mean) hash |= std::uint64_t{1} << (8 * u + v);
  return static_cast<OSHashType>(hash);
}
