#include <png.h>

#include "capture/capture_test_support.h"

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using platform::RgbaImage;
using platform::sim::ImageSource;

RgbaImage picture(std::uint32_t width, std::uint32_t height, std::uint32_t seed, std::uint32_t patches = 0,
                  std::uint8_t alpha = 255) {
  RgbaImage image{width, height, std::size_t{width} * 4, {}};
  image.pixels.resize(image.stride * height);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = &image.pixels[y * image.stride + 4 * x];
      p[0] = static_cast<std::uint8_t>((x * 255) / width);
      p[1] = static_cast<std::uint8_t>(((x / 9 + y / 7 + seed) % 5) * 50);
      p[2] = static_cast<std::uint8_t>((y * 255) / height);
      p[3] = alpha;
    }
  // Bright patches at positions that depend on the patch number: each one moves the hash a little.
  for (std::uint32_t k = 1; k <= patches; ++k) {
    std::uint32_t px = (k * 37 + seed * 11) % (width - 8), py = (k * 53 + seed * 7) % (height - 8);
    for (std::uint32_t y = py; y < py + 8; ++y)
      for (std::uint32_t x = px; x < px + 8; ++x)
        image.pixels[y * image.stride + 4 * x + k % 3] = 255;
  }
  return image;
}

OSHashType hashOf(const RgbaImage& image) {
  OSImage view(image.width, image.height, image.stride, image.pixels);
  return OSImageHashing::sharedInstance().hashImage(&view, OSImageHashingProviderPHash);
}

int distance(const RgbaImage& a, const RgbaImage& b) {
  return static_cast<int>(
      OSImageHashing::sharedInstance().hashDistance(hashOf(a), hashOf(b), OSImageHashingProviderPHash));
}

// An image at exactly `wanted` DCT-hash distance from `base`, found among patched variants.
RgbaImage atDistance(const RgbaImage& base, int wanted) {
  for (std::uint32_t seed = 0; seed < 400; ++seed)
    for (std::uint32_t patches = 1; patches < 40; patches += 3) {
      RgbaImage candidate = picture(base.width, base.height, seed, patches);
      if (distance(base, candidate) == wanted) return candidate;
    }
  ADD_FAILURE() << "no variant at distance " << wanted;
  return base;
}

std::vector<std::uint8_t> decodeWithLibpng(const OSData& data, std::uint32_t& width, std::uint32_t& height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return {};
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  width = image.width;
  height = image.height;
  return pixels;
}

class Screenshots : public testing::SimDesktopTest {
 protected:
  void SetUp() override {
    SimDesktopTest::SetUp();
    desktop->addWindow({.number = 1,
                        .title = "w",
                        .frame = {0, 0, 96, 64},
                        .application = "Firefox",
                        .processId = 200,
                        .image = ImageSource::fromPixels(picture(96, 64, 0))});
    record.window = platform::WindowDescription{1, "w", {0, 0, 96, 64}, std::nullopt};
  }
  void show(const RgbaImage& image) { desktop->window(1)->image = ImageSource::fromPixels(image); }
  fs::path shot(int n) { return root / ("shot-" + std::to_string(n) + ".png"); }
  TessaronWindow record;
};

TEST_F(Screenshots, TheFirstIsSavedWithoutAnyHashingAndIdenticalOnesAreDropped) {
  EXPECT_TRUE(captureScreenshot(engine(), record, shot(1)));
  EXPECT_EQ(logs->texts(), (std::vector<std::string>{"Screenshot saved at: " + shot(1).string()}));
  EXPECT_FALSE(record.prevImage.empty());
  logs->clear();
  EXPECT_FALSE(captureScreenshot(engine(), record, shot(2)));
  EXPECT_FALSE(fs::exists(shot(2)));
  EXPECT_EQ(logs->texts(), (std::vector<std::string>{"Hashed distance: 0, Threshold: 10",
                                                     "Close to duplicate image found, won't archive!"}));
  EXPECT_EQ(logs->messages()[0].category, "Utils");
  EXPECT_EQ(logs->messages()[1].category, "Capturer");
}

TEST_F(Screenshots, DistanceTenIsNewDistanceNineIsADuplicate) {
  RgbaImage base = picture(96, 64, 0);
  RgbaImage nine = atDistance(base, 9), ten = atDistance(base, 10);
  ASSERT_TRUE(captureScreenshot(engine(), record, shot(1)));
  show(nine);
  EXPECT_FALSE(captureScreenshot(engine(), record, shot(2)));
  show(ten);
  EXPECT_TRUE(captureScreenshot(engine(), record, shot(3)));
  EXPECT_TRUE(logs->contains("Hashed distance: 9, Threshold: 10"));
  EXPECT_TRUE(logs->contains("Hashed distance: 10, Threshold: 10"));
}

TEST_F(Screenshots, FailuresLeaveThePreviousImageAndAreLogged) {
  ASSERT_TRUE(captureScreenshot(engine(), record, shot(1)));
  const OSData saved = record.prevImage;
  show(atDistance(picture(96, 64, 0), 20));
  logs->clear();
  EXPECT_FALSE(captureScreenshot(engine(), record, root / "missing-folder" / "x.png"));
  EXPECT_EQ(record.prevImage, saved);
  ASSERT_EQ(logs->messages().back().level, log::Level::error);
  EXPECT_EQ(logs->texts().back().rfind("Error saving screenshot: ", 0), 0U) << logs->texts().back();
  EXPECT_TRUE(captureScreenshot(engine(), record, shot(2)))
      << "compared with the last saved image, not the failed one";

  desktop->window(1)->image = ImageSource::failing();
  logs->clear();
  EXPECT_FALSE(captureScreenshot(engine(), record, shot(3)));
  EXPECT_EQ(logs->texts(), (std::vector<std::string>{"Failed to fetch screenshot."}));
}

// The duplicate filter as first designed: encode every screenshot to PNG, then decode and hash both the
// previous and the new PNG. The engine must take exactly the same decisions and log exactly the same lines.
bool literalCaptureScreenshot(TessaronWindow& record, const fs::path& destination) {
  auto shotResult = platform::current().windows().captureWindow(*record.window);
  if (!shotResult) {
    log::capturer().error("Failed to fetch screenshot.");
    return false;
  }
  OSData png = encodePng(shotResult.value());
  if (png.empty()) {
    log::capturer().error("Error converting NSImage to PNG data");
    return false;
  }
  if (!record.prevImage.empty() && isSimilarImage(record.prevImage, png)) {
    log::capturer().log("Close to duplicate image found, won't archive!");
    return false;
  }
  std::ofstream(destination, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  record.prevImage = png;
  log::capturer().log("Screenshot saved at: %s", destination.string());
  return true;
}

TEST_F(Screenshots, DecidesExactlyAsTheLiteralPathOnImageSequences) {
  RgbaImage base = picture(96, 64, 0);
  RgbaImage nine = atDistance(base, 9), ten = atDistance(base, 10), far = atDistance(base, 30);
  std::vector<RgbaImage> sequence = {
      base, base, nine, ten, ten, nine, base, far, far, base, picture(96, 64, 0, 0, 128)};
  // A slowly changing page: each step is a near-duplicate of the previous one.
  for (std::uint32_t patches = 1; patches < 30; patches += 2)
    sequence.push_back(picture(96, 64, 3, patches));

  auto run = [&](auto&& capture, const fs::path& folder) {
    fs::create_directories(folder);
    TessaronWindow r;
    r.window = record.window;
    logs->clear();
    std::vector<bool> decisions;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
      show(sequence[i]);
      decisions.push_back(capture(r, folder / (std::to_string(i) + ".png")));
    }
    std::vector<std::string> lines;
    for (auto line : logs->texts()) {
      if (auto at = line.find(folder.string()); at != std::string::npos)
        line.replace(at, folder.string().size(), "F");
      lines.push_back(line);
    }
    return std::pair{decisions, lines};
  };
  auto literal = run(literalCaptureScreenshot, root / "literal");
  auto filtered = run([this](TessaronWindow& window,
                             const fs::path& file) { return captureScreenshot(engine(), window, file); },
                      root / "engine");
  EXPECT_EQ(filtered.first, literal.first);
  EXPECT_EQ(filtered.second, literal.second);
  EXPECT_GE(std::count(literal.first.begin(), literal.first.end(), true), 5);
  EXPECT_GE(std::count(literal.first.begin(), literal.first.end(), false), 5);
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    if (!literal.first[i]) continue;
    const std::string name = std::to_string(i) + ".png";
    EXPECT_EQ(testing::readText(root / "engine" / name), testing::readText(root / "literal" / name));
  }
}

TEST(PngEncoder, DecodesBackToTheIdenticalPixels) {
  for (std::uint8_t alpha : {std::uint8_t{255}, std::uint8_t{7}}) {
    RgbaImage image = picture(123, 45, 2, 9, alpha);
    image.pixels[4 * 5 + 3] = 0;  // one fully transparent pixel when not opaque
    if (alpha == 255) image.pixels[4 * 5 + 3] = 255;
    OSData png = encodePng(image);
    ASSERT_FALSE(png.empty());
    EXPECT_EQ(png[25], alpha == 255 ? 2 : 6) << "RGB when opaque, RGBA otherwise";
    std::uint32_t width = 0, height = 0;
    EXPECT_EQ(decodeWithLibpng(png, width, height), image.pixels);
    EXPECT_EQ(width, 123U);
    auto ours = OSImageFromData(png);
    ASSERT_TRUE(ours);
    EXPECT_EQ(ours->pixels(), image.pixels);
  }
  // A padded stride is honoured.
  RgbaImage padded = picture(10, 3, 1);
  RgbaImage wide{10, 3, 48, std::vector<std::uint8_t>(48 * 3, 0xEE)};
  for (std::uint32_t y = 0; y < 3; ++y)
    std::copy_n(padded.pixels.begin() + y * 40, 40, wide.pixels.begin() + y * 48);
  std::uint32_t w = 0, h = 0;
  EXPECT_EQ(decodeWithLibpng(encodePng(wide), w, h), padded.pixels);
  EXPECT_TRUE(encodePng(RgbaImage{}).empty());
}

}  // namespace
}  // namespace tessaron
