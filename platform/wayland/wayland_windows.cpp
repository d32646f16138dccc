#include "platform/wayland/wayland_windows.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/wayland/screencopy.h"

namespace tessaron::platform::wayland {

namespace {

// The widest shadow a client draws around its window that a frame may carry.
constexpr double maximumShadow = 64;

bool fitsWithShadow(const Rect& extents, const Rect& window) {
  const double horizontal = extents.width - window.width;
  const double vertical = extents.height - window.height;
  return horizontal == vertical && horizontal >= 0 && horizontal <= 2 * maximumShadow;
}

// Chromium marks incognito and guest frames with a parenthesised suffix the window's title lacks.
bool namesWindow(const std::string& frameName, const std::string& title) {
  if (frameName == title) return true;
  return frameName.size() > title.size() + 3 && frameName.starts_with(title) &&
         frameName.compare(title.size(), 2, " (") == 0 && frameName.back() == ')';
}

const CompositorWindow* findListed(const std::vector<CompositorWindow>& windows, std::uint32_t id) {
  auto it = std::find_if(windows.begin(), windows.end(), [&](const auto& window) { return window.id == id; });
  return it == windows.end() ? nullptr : &*it;
}

}  // namespace

std::optional<Rect> placeFrame(const std::vector<CompositorWindow>& windows, std::int32_t processId,
                               const std::string& frameName, const Rect& extents) {
  for (const auto& window : windows)
    if (window.processId == processId && namesWindow(frameName, window.title) &&
        fitsWithShadow(extents, window.frame))
      return window.frame;
  return std::nullopt;
}

WaylandWindowServer::WaylandWindowServer(freedesktop::ApplicationFacts facts)
    : facts_(std::move(facts)), screencopy_(std::make_unique<Screencopy>()) {
  if (auto socket = SwayIpc::socketFromEnvironment()) sway_ = std::make_unique<SwayIpc>(*socket);
}

WaylandWindowServer::~WaylandWindowServer() = default;

std::optional<std::vector<CompositorWindow>> WaylandWindowServer::listWindows() {
  if (!sway_) return std::nullopt;
  auto windows = sway_->windows();
  if (windows) {
    std::lock_guard lock(listedMutex_);
    listed_ = *windows;
  }
  return windows;
}

std::optional<Rect> WaylandWindowServer::placeFrame(std::int32_t processId, const std::string& frameName,
                                                    const Rect& extents) {
  std::vector<CompositorWindow> windows;
  {
    std::lock_guard lock(listedMutex_);
    windows = listed_;
  }
  if (windows.empty()) windows = listWindows().value_or(std::vector<CompositorWindow>{});
  return wayland::placeFrame(windows, processId, frameName, extents);
}

std::optional<std::vector<WindowInfo>> WaylandWindowServer::copyOnScreenWindowList() {
  auto windows = listWindows();
  if (!windows) return std::nullopt;
  std::vector<WindowInfo> list;
  list.reserve(windows->size());
  for (const auto& window : *windows) {
    WindowInfo entry;
    entry[kCGWindowNumber] = std::int64_t{window.id};
    entry[kCGWindowOwnerPID] = std::int64_t{window.processId};
    entry[kCGWindowName] = window.title;
    list.push_back(std::move(entry));
  }
  return list;
}

Outcome<std::vector<WindowDescription>> WaylandWindowServer::shareableContent() {
  auto windows = listWindows();
  if (!windows) {
    std::string missing = whatIsMissing();
    return PlatformError{missing.empty() ? "Wayland: the compositor did not answer for its windows"
                                         : missing};
  }
  std::vector<WindowDescription> descriptions;
  descriptions.reserve(windows->size());
  // A process's frames are read once per listing, and only for a browser whose title does not tell.
  std::map<std::int32_t, std::optional<std::vector<AccessibleFrame>>> framesByProcess;
  for (const auto& window : *windows) {
    WindowDescription description{window.id, window.title, window.frame, std::nullopt};
    std::optional<std::string> name = facts_.name ? facts_.name(window.processId) : std::nullopt;
    if (!name && !window.appId.empty()) name = window.appId;
    if (name) {
      description.owningApplication = RunningApplication{*name, window.processId};
      description.privacy = browsingPrivacy(*name, window.title, window.frame, [&] {
        auto known = framesByProcess.find(window.processId);
        if (known == framesByProcess.end())
          known =
              framesByProcess
                  .emplace(window.processId, facts_.frames ? facts_.frames(window.processId) : std::nullopt)
                  .first;
        return known->second;
      });
    }
    descriptions.push_back(std::move(description));
  }
  return descriptions;
}

Outcome<RgbaImage> WaylandWindowServer::captureWindow(const WindowDescription& window) {
  if (!sway_) return PlatformError{"Wayland: " + whatIsMissing()};
  // The window as the compositor shows it now; what would put other pixels in its rectangle is refused.
  auto unchanged = [&]() -> Outcome<CompositorWindow> {
    auto windows = sway_->windows();
    if (!windows) return PlatformError{"Wayland: the compositor did not answer for its windows"};
    const CompositorWindow* now = findListed(*windows, window.windowID);
    if (!now) return PlatformError{"Wayland: the window is no longer shown"};
    if (now->frame != window.frame) return PlatformError{"Wayland: the window moved"};
    if (!now->coveredBy.empty()) return PlatformError{"Wayland: another window covers part of the window"};
    return *now;
  };
  auto before = unchanged();
  if (!before) return before.error();
  auto outputs = sway_->outputs();
  if (!outputs) return PlatformError{"Wayland: the compositor did not answer for its outputs"};
  auto output = std::find_if(outputs->begin(), outputs->end(), [&](const CompositorOutput& candidate) {
    return candidate.name == before.value().output;
  });
  if (output == outputs->end()) return PlatformError{"Wayland: the window's output is gone"};
  const Rect region{window.frame.x - output->rect.x, window.frame.y - output->rect.y, window.frame.width,
                    window.frame.height};
  auto image = screencopy_->capture(output->name, output->rect.x, output->rect.y, region);
  if (!image) return image;
  auto after = unchanged();
  if (!after) return after.error();
  return image;
}

bool WaylandWindowServer::canReadScreen() {
  return whatIsMissing().empty();
}

std::string WaylandWindowServer::whatIsMissing() {
  if (!sway_)
    return "This desktop tells no program where its windows are. Tessaron reads them on sway and other "
           "compositors that speak sway's IPC (SWAYSOCK is not set here).";
  if (!screencopy_->available())
    return "This compositor offers no screen copy (wlr-screencopy), so windows cannot be read.";
  if (!sway_->outputs()) return "The compositor does not answer on its IPC socket (SWAYSOCK).";
  return {};
}

}  // namespace tessaron::platform::wayland
