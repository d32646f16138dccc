#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "imagehash/os_image_hashing.h"
#include "imagehash/test_images.h"

namespace {

using namespace testimages;

std::uint64_t bits(OSHashType hash) {
  return static_cast<std::uint64_t>(hash);
}

const OSAHash& aHash = OSAHash::sharedInstance();
const OSDHash& dHash = OSDHash::sharedInstance();
const OSPHash& pHash = OSPHash::sharedInstance();

TEST(UniformImages, GiveTheDocumentedHashes) {
  for (Rgba colour :
       {Rgba{0, 0, 0}, Rgba{255, 255, 255}, Rgba{10, 20, 30}, Rgba{1, 0, 0}, Rgba{200, 3, 99}}) {
    OSData data = png(solid(24, 16, colour));
    EXPECT_EQ(dHash.hashImageData(&data), 0) << "a uniform image never has a brighter left neighbour";
  }
  // Sums that are multiples of 3 keep the mean exact; others round in the running sum.
  for (Rgba colour : {Rgba{0, 0, 0}, Rgba{255, 255, 255}, Rgba{128, 128, 128}, Rgba{1, 1, 1}}) {
    OSData data = png(solid(8, 8, colour));
    EXPECT_EQ(aHash.hashImageData(&data), 0);
  }
  OSData sumOne = png(solid(8, 8, {1, 0, 0}));
  EXPECT_EQ(aHash.hashImageData(&sumOne), OSHashTypeError) << "every pixel lies above the rounded mean";
  OSData sumFive = png(solid(8, 8, {5, 0, 0}));
  EXPECT_EQ(aHash.hashImageData(&sumFive), 0);
  OSData grey = png(solid(32, 32, {90, 90, 90}));
  EXPECT_EQ(bits(pHash.hashImageData(&grey)) & 0x0101010101010101ULL, 0U);
}

TEST(AverageHash, TopHalfBlackBottomHalfWhite) {
  auto image = make(8, 8, [](std::uint32_t, std::uint32_t y) {
    return y < 4 ? Rgba{0, 0, 0} : Rgba{255, 255, 255};
  });
  OSData data = png(image);
  EXPECT_EQ(bits(aHash.hashImageData(&data)), 0xFFFFFFFF00000000ULL);
}

TEST(DifferenceHash, RowsDarkeningToTheRightSetEveryBit) {
  auto image = make(9, 9, [](std::uint32_t x, std::uint32_t) {
    auto v = static_cast<std::uint8_t>(250 - 30 * x);
    return Rgba{v, v, v};
  });
  OSData data = png(image);
  EXPECT_EQ(dHash.hashImageData(&data), OSHashTypeError) << "all 64 bits set is the error value";
  EXPECT_FALSE(dHash.compareImageData(&data, &data));
  EXPECT_EQ(thrownMessage([&] { dHash.hashDistance(dHash.hashImageData(&data), 0); }),
            "Left hand hash must not be OSHashTypeError");
}

// The DCT as written out in full: all 1024 coefficients, each one sum of 1024 fused multiply-adds.
OSHashType fullTransformHash(const std::vector<std::uint8_t>& canvas) {
  static double T[32][32], S[32][32];
  static bool built = false;
  if (!built) {
    double C[32];
    for (double& c : C)
      c = 1.0;
    C[0] = std::bit_cast<double>(std::uint64_t{0x3FE6A09E667F3BCC});
    for (int k = 0; k < 32; ++k)
      for (int f = 0; f < 32; ++f)
        T[k][f] = std::cos((f * ((2 * k + 1) * 0.015625)) * 3.141592653589793);
    for (int u = 0; u < 32; ++u)
      for (int v = 0; v < 32; ++v)
        S[u][v] = (C[u] * C[v]) * 0.125;
    built = true;
  }
  static double G[32][32], D[32][32];
  for (int r = 0; r < 32; ++r)
    for (int c = 0; c < 32; ++c) {
      const std::uint8_t* p = &canvas[r * 128 + 4 * c];
      G[r][c] = static_cast<double>(p[0] + p[1] + p[2]) / 3.0;
    }
  for (int u = 0; u < 32; ++u)
    for (int v = 0; v < 32; ++v) {
      double sum = 0.0;
      for (int r = 0; r < 32; ++r)
        for (int c = 0; c < 32; ++c)
          sum = std::fma(T[r][u] * T[c][v], G[r][c], sum);
      D[u][v] = S[u][v] * sum;
    }
  double total = 0.0;
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v)
      total += D[u][v];
  const double mean = (total - D[0][0]) / 63.0;
  std::uint64_t hash = 0;
  for (int u = 1; u < 8; ++u)
    for (int v = 1; v < 8; ++v)
      if (D[u][v] > mean) hash |= std::uint64_t{1} << (8 * u + v);
  return static_cast<OSHashType>(hash);
}

TEST(DctHash, IsBitIdenticalToTheFullTransformAndNeverSetsTheFixedBits) {
  constexpr std::uint64_t neverSet = 0x01010101010101FFULL;
  int images = 0;
  for (std::uint32_t seed = 0; seed < 160; ++seed) {
    OSImage image =
        seed % 4 == 3 ? touched(scene(97, 61, seed / 4), seed) : scene(64 + seed % 50, 40 + seed % 33, seed);
    auto canvas = RGBABitmapDataForResizedImageWithWidth(image, 32, 32);
    ASSERT_TRUE(canvas);
    OSHashType fast = pHash.hashImage(&image);
    EXPECT_EQ(fast, fullTransformHash(*canvas)) << "seed " << seed;
    EXPECT_EQ(bits(fast) & neverSet, 0U);
    EXPECT_NE(fast, OSHashTypeError);
    ++images;
  }
  // Noise and flat-ish images push coefficients close to the mean, where a changed summation order would
  // show.
  for (std::uint32_t seed = 0; seed < 40; ++seed) {
    auto image = make(32, 32, [&](std::uint32_t x, std::uint32_t y) {
      std::uint32_t h = (x * 73856093U) ^ (y * 19349663U) ^ (seed * 83492791U);
      auto v = static_cast<std::uint8_t>(seed % 2 ? 128 + h % 3 : h % 256);
      return Rgba{v, static_cast<std::uint8_t>(v ^ (h >> 8) % 2), v};
    });
    auto canvas = RGBABitmapDataForResizedImageWithWidth(image, 32, 32);
    EXPECT_EQ(pHash.hashImage(&image), fullTransformHash(*canvas)) << "noise seed " << seed;
    ++images;
  }
  EXPECT_EQ(images, 200);
}

TEST(Comparison, ThresholdsAreStrict) {
  OSImage base = scene(200, 120, 7);
  OSData a = png(base), b = png(touched(base, 3)), c = png(scene(200, 120, 8));
  for (const OSAbstractHash* provider :
       {static_cast<const OSAbstractHash*>(&aHash), static_cast<const OSAbstractHash*>(&dHash),
        static_cast<const OSAbstractHash*>(&pHash)}) {
    for (const OSData* other : {&b, &c}) {
      OSHashDistanceType d =
          provider->hashDistance(provider->hashImageData(&a), provider->hashImageData(other));
      EXPECT_FALSE(provider->compareImageData(&a, other, d))
          << "a distance equal to the threshold is not similar";
      EXPECT_TRUE(provider->compareImageData(&a, other, d + 1));
      EXPECT_EQ(provider->compareImageData(&a, other), d < provider->hashDistanceSimilarityThreshold());
    }
    EXPECT_TRUE(provider->compareImageData(&a, &a, 1));
    EXPECT_FALSE(provider->compareImageData(&a, &a, 0)) << "with threshold 0 nothing is similar";
  }
  EXPECT_EQ(aHash.hashDistanceSimilarityThreshold(), 10);
  EXPECT_EQ(dHash.hashDistanceSimilarityThreshold(), 9);
  EXPECT_EQ(pHash.hashDistanceSimilarityThreshold(), 10);
  OSData junk{1, 2, 3};
  EXPECT_FALSE(pHash.compareImageData(&a, &junk, 64));
  EXPECT_EQ(pHash.hashDistance(0b1011, 0b0110), 3);
}

TEST(Comparator, OrdersByClosenessWithUnhashableLast) {
  OSImage base = scene(160, 100, 2);
  OSData baseData = png(base), near = png(touched(base, 1)), far = png(scene(160, 100, 9)), junk{'x'};
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&baseData, &near, &far),
            OSOrderedAscending);
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&baseData, &far, &near),
            OSOrderedDescending);
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&baseData, &near, &near), OSOrderedSame);
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&junk, &near, &far), OSOrderedSame)
      << "an unhashable base makes everything equal";
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&baseData, &junk, &near),
            OSOrderedDescending);
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&baseData, &near, &junk),
            OSOrderedAscending);
  EXPECT_EQ(pHash.imageSimilarityComparatorForImageForBaseImageData(&baseData, &junk, &junk),
            OSOrderedDescending);
}

TEST(Preconditions, ThrowWithTheirMessagesInOrder) {
  OSData data = png(solid(4, 4, {1, 2, 3}));
  EXPECT_EQ(thrownMessage([&] { pHash.hashImageData(nullptr); }), "Image data must not be null");
  EXPECT_EQ(thrownMessage([&] { aHash.hashImage(nullptr); }), "Image must not be null");
  EXPECT_EQ(thrownMessage([&] { dHash.compareImageData(nullptr, nullptr); }),
            "Left hand image data must not be null");
  EXPECT_EQ(thrownMessage([&] { dHash.compareImageData(&data, nullptr, 5); }),
            "Right hand image data must not be null");
  EXPECT_EQ(thrownMessage([&] { pHash.hashDistance(-1, -1); }), "Left hand hash must not be OSHashTypeError");
  EXPECT_EQ(thrownMessage([&] { pHash.hashDistance(0, -1); }), "Right hand hash must not be OSHashTypeError");
  EXPECT_EQ(thrownMessage(
                [&] { pHash.imageSimilarityComparatorForImageForBaseImageData(nullptr, nullptr, nullptr); }),
            "Base image data must not be null");
  EXPECT_EQ(thrownMessage(
                [&] { pHash.imageSimilarityComparatorForImageForBaseImageData(&data, nullptr, nullptr); }),
            "Right hand image data must not be null");
  EXPECT_EQ(
      thrownMessage([&] { pHash.imageSimilarityComparatorForImageForBaseImageData(&data, nullptr, &data); }),
      "Left hand image data must not be null");
}

TEST(AbstractHash, AbstractOperationsThrow) {
  OSAbstractHash abstract;
  OSData data = png(solid(4, 4, {1, 2, 3}));
  OSImage image = solid(4, 4, {1, 2, 3});
  EXPECT_EQ(thrownMessage([&] { abstract.hashImageData(&data); }), "Abstract method called.");
  EXPECT_EQ(thrownMessage([&] { abstract.hashDistanceSimilarityThreshold(); }), "Abstract method called.");
  EXPECT_EQ(thrownMessage([] { OSAbstractHash::sharedInstance(); }), "Abstract method called.");
  EXPECT_EQ(thrownMessage([&] { abstract.hashImage(&image); }), "Abstract method called.");
  EXPECT_EQ(thrownMessage([&] { abstract.hashImage(nullptr); }), "Image must not be null")
      << "preconditions first";
  EXPECT_EQ(abstract.hashDistance(1, 2), 2) << "the shared parts work";
}

TEST(Providers, AreSharedSingletonsAndHashImagesLikeTheirTiffData) {
  EXPECT_EQ(&OSPHash::sharedInstance(), &pHash);
  for (std::uint32_t seed = 0; seed < 8; ++seed) {
    OSImage image = make(33 + seed, 20, [&](std::uint32_t x, std::uint32_t y) {
      return Rgba{static_cast<std::uint8_t>(x * 7 * seed), static_cast<std::uint8_t>(y * 11),
                  static_cast<std::uint8_t>(x ^ y), static_cast<std::uint8_t>(seed % 2 ? 255 : 30 + x * 5)};
    });
    OSData tiff = dataRepresentation(image);
    for (const OSAbstractHash* p :
         {static_cast<const OSAbstractHash*>(&aHash), static_cast<const OSAbstractHash*>(&dHash),
          static_cast<const OSAbstractHash*>(&pHash)})
      EXPECT_EQ(p->hashImage(&image), p->hashImageData(&tiff)) << "seed " << seed;
  }
  OSImage empty;
  EXPECT_EQ(pHash.hashImage(&empty), OSHashTypeError);
}

}  // namespace
