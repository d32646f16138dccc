#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "imagehash/os_image_hashing.h"
#include "imagehash/test_images.h"

namespace {

using namespace testimages;

std::vector<std::uint8_t> pixelAt(const std::vector<std::uint8_t>& canvas, std::size_t stride, int x, int y) {
  auto p = canvas.begin() + static_cast<std::ptrdiff_t>(y * stride + 4 * x);
  return {p, p + 4};
}

TEST(Canvas, HasTheFixedSizesAndStrides) {
  OSData data = png(scene(40, 30, 1));
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(data, 8, 8)->size(), 256U);
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(data, 9, 9)->size(), 576U);
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(data, 32, 32)->size(), 4096U);
  EXPECT_EQ(OSBitmapStrideForWidth(8), 32U);
  EXPECT_EQ(OSBitmapStrideForWidth(9), 64U);
  EXPECT_EQ(OSBitmapStrideForWidth(32), 128U);
  EXPECT_EQ(OSBitmapStrideForWidth(17), 128U);
}

TEST(Canvas, AOnePixelImageFillsTheWholeCanvas) {
  auto canvas = RGBABitmapDataForResizedImageWithWidth(png(solid(1, 1, {200, 100, 50, 255})), 9, 9);
  ASSERT_TRUE(canvas);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x)
      EXPECT_EQ(pixelAt(*canvas, 64, x, y), (std::vector<std::uint8_t>{200, 100, 50, 255}));
}

TEST(Canvas, ANonSquareImageIsSqueezedNeverCropped) {
  // Wide: left half red, right half blue. Every canvas row shows both halves, edge to edge.
  auto wide = make(64, 16, [](std::uint32_t x, std::uint32_t) {
    return x < 32 ? Rgba{255, 0, 0} : Rgba{0, 0, 255};
  });
  auto canvas = RGBABitmapDataForResizedImageWithWidth(png(wide), 8, 8);
  ASSERT_TRUE(canvas);
  for (int y = 0; y < 8; ++y) {
    EXPECT_EQ(pixelAt(*canvas, 32, 0, y)[0], 255);
    EXPECT_EQ(pixelAt(*canvas, 32, 3, y)[0], 255);
    EXPECT_EQ(pixelAt(*canvas, 32, 4, y)[2], 255);
    EXPECT_EQ(pixelAt(*canvas, 32, 7, y)[2], 255);
  }
  // Tall: the top quarter green reaches exactly two canvas rows.
  auto tall = make(10, 80, [](std::uint32_t, std::uint32_t y) {
    return y < 20 ? Rgba{0, 255, 0} : Rgba{0, 0, 0};
  });
  auto tallCanvas = RGBABitmapDataForResizedImageWithWidth(png(tall), 8, 8);
  EXPECT_EQ(pixelAt(*tallCanvas, 32, 5, 1)[1], 255);
  EXPECT_EQ(pixelAt(*tallCanvas, 32, 5, 2)[1], 0);
}

TEST(Canvas, AveragesTheExactAreaEachPixelCovers) {
  // Three source columns into two: each canvas pixel covers one and a half source pixels.
  auto image = make(3, 1, [](std::uint32_t x, std::uint32_t) {
    std::uint8_t v = static_cast<std::uint8_t>(x * 90);
    return Rgba{v, v, v};
  });
  OSBitmap canvas = imageRepFrom(image, 2, 1, OSImageInterpolation::high);
  EXPECT_EQ(canvas.bytes[0], 30);   // (0 + 90 / 2) / 1.5
  EXPECT_EQ(canvas.bytes[4], 150);  // (90 / 2 + 180) / 1.5
  // 2 x 2 into 1 x 1 rounds the mean to nearest.
  auto square = make(2, 2, [](std::uint32_t x, std::uint32_t y) {
    std::uint8_t v = static_cast<std::uint8_t>(x + 2 * y == 3 ? 1 : 0);
    return Rgba{v, 2, 0};
  });
  OSBitmap one = imageRepFrom(square, 1, 1, OSImageInterpolation::high);
  EXPECT_EQ(one.bytes[0], 0);  // 0.25 rounds down
  EXPECT_EQ(one.bytes[1], 2);
}

TEST(Canvas, PremultipliesAlphaSoTransparentPixelsAreBlack) {
  auto image = make(2, 1, [](std::uint32_t x, std::uint32_t) {
    return x == 0 ? Rgba{255, 255, 255, 0} : Rgba{200, 100, 0, 128};
  });
  OSBitmap canvas = imageRepFrom(image, 2, 1, OSImageInterpolation::high);
  EXPECT_EQ(std::vector<std::uint8_t>(canvas.bytes.begin(), canvas.bytes.begin() + 8),
            (std::vector<std::uint8_t>{0, 0, 0, 0, 100, 50, 0, 128}));
}

// Rows are checked for transparency eight pixels at a time and summed sixteen bytes at a time: one
// translucent pixel anywhere (in a block or in the tail) is premultiplied, and every other pixel is kept as
// it is.
TEST(Canvas, OneTranslucentPixelAnywhereInARowIsPremultiplied) {
  constexpr std::uint32_t width = 19;
  for (std::uint32_t at = 0; at < width; ++at) {
    auto image = make(width, 2, [&](std::uint32_t x, std::uint32_t y) {
      const auto v = static_cast<std::uint8_t>(10 * x + y);
      return x == at && y == 1 ? Rgba{200, 100, 51, 128} : Rgba{v, 90, 180, 255};
    });
    OSBitmap canvas = imageRepFrom(image, width, 2, OSImageInterpolation::high);
    for (std::uint32_t y = 0; y < 2; ++y)
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t* p = canvas.bytes.data() + y * canvas.stride + 4 * x;
        const std::vector<std::uint8_t> seen(p, p + 4);
        const auto v = static_cast<std::uint8_t>(10 * x + y);
        const std::vector<std::uint8_t> expected = x == at && y == 1
                                                       ? std::vector<std::uint8_t>{100, 50, 26, 128}
                                                       : std::vector<std::uint8_t>{v, 90, 180, 255};
        EXPECT_EQ(seen, expected) << "translucent pixel at " << at << ", read at " << x << "," << y;
      }
  }
}

TEST(Decoding, EveryPngLayoutOfTheSamePixelsGivesTheSameCanvas) {
  // Grey levels a 1-bit image can hold exactly, in colour, grey and palette forms.
  auto bw = make(37, 23, [](std::uint32_t x, std::uint32_t y) {
    std::uint8_t v = ((x / 3 + y / 2) % 2) ? 255 : 0;
    return Rgba{v, v, v};
  });
  const auto reference = RGBABitmapDataForResizedImageWithWidth(bw, 32, 32);
  ASSERT_TRUE(reference);
  std::vector<PngOptions> layouts;
  for (bool interlaced : {false, true}) {
    for (int depth : {1, 2, 4, 8, 16})
      layouts.push_back({0, depth, interlaced});
    for (int depth : {1, 2, 4, 8})
      layouts.push_back({3, depth, interlaced});
    for (int depth : {8, 16}) {
      layouts.push_back({2, depth, interlaced});
      layouts.push_back({4, depth, interlaced});
      layouts.push_back({6, depth, interlaced});
    }
  }
  for (int filter : {0x08, 0x10, 0x20, 0x40, 0x80}) {
    layouts.push_back({6, 8, false, filter});
    layouts.push_back({2, 8, false, filter});
  }
  for (const auto& layout : layouts) {
    EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(png(bw, layout), 32, 32), reference) << describe(layout);
  }
}

TEST(Decoding, DirectPathAndGeneralDecoderAgreeOnColourImagesWithAlpha) {
  // The direct path reads 8-bit RGB and RGBA; 16-bit and interlaced copies go through the general decoder.
  for (std::uint32_t seed = 0; seed < 6; ++seed) {
    auto image = make(53, 41, [&](std::uint32_t x, std::uint32_t y) {
      return Rgba{static_cast<std::uint8_t>(x * 5 + seed), static_cast<std::uint8_t>(y * 6),
                  static_cast<std::uint8_t>(x * y),
                  static_cast<std::uint8_t>(seed % 2 ? 255 : (x * 9 + y) % 256)};
    });
    for (int filter : {0x08, 0x10, 0x20, 0x40, 0x80, 0xF8}) {
      PngOptions direct{6, 8, false, filter};
      auto viaDirect = RGBABitmapDataForResizedImageWithWidth(png(image, direct), 32, 32);
      EXPECT_EQ(viaDirect, RGBABitmapDataForResizedImageWithWidth(png(image, {6, 16, false}), 32, 32));
      EXPECT_EQ(viaDirect, RGBABitmapDataForResizedImageWithWidth(png(image, {6, 8, true}), 32, 32));
      EXPECT_EQ(viaDirect, RGBABitmapDataForResizedImageWithWidth(image, 32, 32)) << "seed " << seed;
    }
  }
}

TEST(Decoding, TiffOfTheSamePixelsGivesTheSameCanvasAsPng) {
  for (std::uint32_t seed = 0; seed < 4; ++seed) {
    auto image = make(61, 17, [&](std::uint32_t x, std::uint32_t y) {
      return Rgba{static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 15 + seed), 77,
                  static_cast<std::uint8_t>(seed < 2 ? 255 : 40 + x * 3)};
    });
    OSData tiff = dataRepresentation(image);
    ASSERT_FALSE(tiff.empty());
    EXPECT_EQ(tiff[0], 'I');
    EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(tiff, 32, 32),
              RGBABitmapDataForResizedImageWithWidth(png(image), 32, 32));
    auto decoded = OSImageFromData(tiff);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 61U);
  }
  EXPECT_TRUE(dataRepresentation(OSImage()).empty());
}

TEST(Decoding, InputsThatMustFailCleanly) {
  // Each file of the folder is a known way for data not to be an image; none may crash or allocate its claim.
  namespace fs = std::filesystem;
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(IMAGEHASH_CORPUS_DIR "/must-fail")) {
    OSData data = readFile(entry.path().string());
    EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(data, 32, 32), std::nullopt) << entry.path();
    EXPECT_EQ(OSPHash::sharedInstance().hashImageData(&data), OSHashTypeError) << entry.path();
    EXPECT_EQ(OSImageFromData(data), std::nullopt) << entry.path();
    ++seen;
  }
  EXPECT_GE(seen, 10);
}

TEST(Decoding, HandWrittenSeedImagesOfEveryLayoutDecode) {
  namespace fs = std::filesystem;
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(IMAGEHASH_CORPUS_DIR "/seeds")) {
    OSData data = readFile(entry.path().string());
    EXPECT_TRUE(RGBABitmapDataForResizedImageWithWidth(data, 9, 9)) << entry.path();
    ++seen;
  }
  EXPECT_GE(seen, 9);
}

TEST(Decoding, TruncatedOrCorruptedScreenshotsFailAtEveryCut) {
  OSData good = png(scene(120, 80, 3), {2, 8, false});
  ASSERT_TRUE(RGBABitmapDataForResizedImageWithWidth(good, 8, 8));
  for (std::size_t cut = 0; cut < good.size(); cut += 7) {
    OSData truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(truncated, 8, 8), std::nullopt) << "cut at " << cut;
  }
  OSData flipped = good;
  flipped[flipped.size() / 2] ^= 0x01;
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(flipped, 8, 8), std::nullopt) << "a CRC mismatch";
}

TEST(Decoding, LimitsRefuseLargeImagesBeforeDecoding) {
  OSData data = png(scene(300, 200, 1));
  OSImageDecodingLimits saved = OSImageDecodingLimitsGet();
  OSImageDecodingLimitsSet({.maxWidth = 299, .maxHeight = 1000, .maxPixels = 1'000'000});
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(data, 8, 8), std::nullopt);
  OSImageDecodingLimitsSet({.maxWidth = 1000, .maxHeight = 1000, .maxPixels = 59'999});
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(data, 8, 8), std::nullopt);
  EXPECT_EQ(RGBABitmapDataForResizedImageWithWidth(dataRepresentation(scene(300, 200, 1)), 8, 8),
            std::nullopt);
  OSImageDecodingLimitsSet(saved);
  EXPECT_TRUE(RGBABitmapDataForResizedImageWithWidth(data, 8, 8));
}

TEST(Installation, FileSizeOfAResourceOrZero) {
  namespace fs = std::filesystem;
  fs::path bundle = fs::temp_directory_path() / "imagehash-test.app";
  fs::create_directories(bundle / "Contents" / "Resources");
  { std::ofstream(bundle / "Contents" / "Resources" / "logo.png") << "12345"; }
  EXPECT_EQ(fileSizeOfElementInBundle("logo.png", bundle), 5U);
  EXPECT_EQ(fileSizeOfElementInBundle("missing.png", bundle), 0U);
  fs::remove_all(bundle);
}

}  // namespace
