#include "platform/sim/sim_desktop.h"

#include "imagehash/os_image_hashing.h"
#include "imagehash/png.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace tessaron::platform::sim {

ImageSource ImageSource::fromPattern(std::string pattern, std::uint32_t seed) {
  ImageSource s;
  s.pattern = std::move(pattern);
  s.seed = seed;
  return s;
}

ImageSource ImageSource::solid(std::array<std::uint8_t, 4> color) {
  ImageSource s;
  s.pattern = "solid";
  s.color = color;
  return s;
}

ImageSource ImageSource::fromFile(std::filesystem::path file) {
  ImageSource s;
  s.kind = Kind::file;
  s.file = std::move(file);
  return s;
}

ImageSource ImageSource::fromPixels(RgbaImage image) {
  ImageSource s;
  s.kind = Kind::pixels;
  s.pixels = std::make_shared<const RgbaImage>(std::move(image));
  return s;
}

ImageSource ImageSource::failing(std::string message) {
  ImageSource s;
  s.kind = Kind::failure;
  s.failure = std::move(message);
  return s;
}

namespace {

// Screenshots larger than this are not what a window gives; the cap keeps a typo from allocating gigabytes.
constexpr std::uint32_t maxSimulatedSide = 8192;

Outcome<RgbaImage> decodePngFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return PlatformError{"sim: cannot read image file " + file.string()};
  const OSData bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto size = osimagehashing::pngSize(bytes);
  if (!size || size->first > maxSimulatedSide || size->second > maxSimulatedSide)
    return PlatformError{"sim: not a PNG image: " + file.string()};
  auto decoded = OSImageFromData(bytes);
  if (!decoded) return PlatformError{"sim: cannot decode PNG image " + file.string()};
  RgbaImage image;
  image.width = decoded->width();
  image.height = decoded->height();
  image.stride = decoded->stride();
  image.pixels = decoded->takePixels();
  return image;
}

std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

}  // namespace

Outcome<RgbaImage> renderImage(const ImageSource& source, const Rect& frame) {
  switch (source.kind) {
    case ImageSource::Kind::failure:
      return PlatformError{source.failure};
    case ImageSource::Kind::file:
      return decodePngFile(source.file);
    case ImageSource::Kind::pixels:
      if (!source.pixels) return PlatformError{"sim: no pixels"};
      return *source.pixels;
    case ImageSource::Kind::pattern:
      break;
  }
  auto side = [](std::optional<std::uint32_t> given, double fromFrame) {
    double value = given ? *given : std::round(fromFrame);
    return static_cast<std::uint32_t>(std::clamp(value, 1.0, double{maxSimulatedSide}));
  };
  RgbaImage image;
  image.width = side(source.width, frame.width);
  image.height = side(source.height, frame.height);
  image.stride = std::size_t{image.width} * 4;
  image.pixels.resize(image.stride * image.height);
  const std::uint32_t w = image.width, h = image.height, seed = source.seed;
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* row = image.pixels.data() + y * image.stride;
    for (std::uint32_t x = 0; x < w; ++x) {
      std::array<std::uint8_t, 4> px = source.color;
      if (source.pattern == "gradient") {
        px = {static_cast<std::uint8_t>(x * 255 / std::max(1U, w - 1)),
              static_cast<std::uint8_t>(y * 255 / std::max(1U, h - 1)), static_cast<std::uint8_t>(seed * 37),
              255};
      } else if (source.pattern == "checker") {
        bool dark = ((x / 32) + (y / 32) + seed) % 2 == 0;
        std::uint8_t v = dark ? 30 : 225;
        px = {v, v, v, 255};
      } else if (source.pattern == "stripes") {
        bool dark = (y / (8 + seed % 8)) % 2 == 0;
        std::uint8_t v = dark ? 40 : 210;
        px = {v, static_cast<std::uint8_t>(v / 2 + 60), v, 255};
      } else if (source.pattern == "noise") {
        std::uint32_t r = mix(seed * 0x9e3779b9U ^ (y * 65536 + x));
        px = {static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(r >> 8),
              static_cast<std::uint8_t>(r >> 16), 255};
      }
      std::copy(px.begin(), px.end(), row + 4 * x);
    }
  }
  return image;
}

Desktop::Desktop(ClockSettings clock) : clockSettings(clock) {}

Desktop::~Desktop() = default;

Window& Desktop::addWindow(Window window) {
  std::lock_guard lock(mutex_);
  windows_.push_back(std::move(window));
  return windows_.back();
}

Window* Desktop::window(std::uint32_t number) {
  std::lock_guard lock(mutex_);
  for (auto& w : windows_)
    if (w.number == number) return &w;
  return nullptr;
}

void Desktop::removeWindow(std::uint32_t number) {
  std::lock_guard lock(mutex_);
  std::erase_if(windows_, [&](const Window& w) { return w.number == number; });
}

std::vector<Window> Desktop::windows() const {
  std::lock_guard lock(mutex_);
  return windows_;
}

std::optional<AXApplication> Desktop::findApplication(std::int32_t processId) const {
  std::lock_guard lock(mutex_);
  auto it = applications_.find(processId);
  if (it == applications_.end()) return std::nullopt;
  return it->second;
}

void Desktop::setApplication(std::int32_t processId, AXApplication application) {
  std::lock_guard lock(mutex_);
  applications_[processId] = std::move(application);
}

void Desktop::atPass(int pass, std::function<void(Desktop&)> change, std::string description) {
  std::lock_guard lock(mutex_);
  timeline_.push_back({pass, std::move(change), std::move(description)});
  std::stable_sort(timeline_.begin(), timeline_.end(),
                   [](const TimelineStep& a, const TimelineStep& b) { return a.pass < b.pass; });
}

int Desktop::passesStarted() const {
  std::lock_guard lock(mutex_);
  return passes_;
}

int Desktop::beginPass() {
  std::vector<std::function<void(Desktop&)>> due;
  int pass = 0;
  {
    std::lock_guard lock(mutex_);
    pass = ++passes_;
    for (auto& step : timeline_)
      if (step.pass == pass) due.push_back(step.apply);
  }
  // Changes run unlocked: they use the same public API as tests do.
  for (auto& change : due)
    change(*this);
  return pass;
}

std::vector<ShownAlert> Desktop::shownAlerts() const {
  std::lock_guard lock(mutex_);
  return alerts_;
}

void Desktop::recordAlert(ShownAlert shown) {
  std::lock_guard lock(mutex_);
  alerts_.push_back(std::move(shown));
}

std::vector<std::string> Desktop::openedURLs() const {
  std::lock_guard lock(mutex_);
  return openedURLs_;
}

void Desktop::recordOpenedURL(std::string address) {
  std::lock_guard lock(mutex_);
  openedURLs_.push_back(std::move(address));
}

std::vector<Notice> Desktop::notices() const {
  std::lock_guard lock(mutex_);
  return notices_;
}

void Desktop::recordNotice(Notice notice) {
  std::lock_guard lock(mutex_);
  notices_.push_back(std::move(notice));
}

std::vector<std::filesystem::path> Desktop::revealedItems() const {
  std::lock_guard lock(mutex_);
  return revealed_;
}

void Desktop::recordRevealed(std::vector<std::filesystem::path> items) {
  std::lock_guard lock(mutex_);
  revealed_.insert(revealed_.end(), items.begin(), items.end());
}

StatusItemState Desktop::statusItem() const {
  std::lock_guard lock(mutex_);
  return statusItem_;
}

bool Desktop::grantNow(const GrantState& grant) const {
  if (grant.granted) return true;
  if (!grant.grantedAfterSeconds) return false;
  return std::chrono::duration<double>(elapsed()).count() >= *grant.grantedAfterSeconds;
}

std::chrono::nanoseconds Desktop::elapsed() const {
  return std::chrono::nanoseconds(elapsedNs_.load());
}

void Desktop::advance(std::chrono::nanoseconds duration) {
  elapsedNs_ += duration.count();
}

void Desktop::advanceTo(std::chrono::nanoseconds target) {
  std::int64_t current = elapsedNs_.load();
  while (current < target.count() && !elapsedNs_.compare_exchange_weak(current, target.count())) {
  }
}

}  // namespace tessaron::platform::sim
