// Which windows are browser windows worth archiving, and their window-list entries.
#include <algorithm>

#include "app/log.h"
#include "capture/capture.h"

namespace tessaron {

std::vector<platform::WindowDescription> getBrowserWindows() {
  auto content = platform::current().windows().shareableContent();
  if (!content) {
    log::capturer().error("Error getting all browser windows: %s", content.error().text);
    return {};
  }
  std::vector<platform::WindowDescription> kept;
  for (const auto& window : content.value())
    if (isBrowserWindow(window)) kept.push_back(window);
  log::capturer().log("Found %ld active browser windows", static_cast<long>(kept.size()));
  return kept;
}

bool isBrowserWindow(const platform::WindowDescription& window) {
  if (!window.owningApplication) return false;
  const std::string name = lowercased(window.owningApplication->applicationName);
  if (std::find(std::begin(supportedBrowsers), std::end(supportedBrowsers), name) ==
      std::end(supportedBrowsers))
    return false;
  auto info = copyWindowInfo(window.windowID);
  if (!info) {
    log::capturer().error("Error: Window info is nil");
    return false;
  }
  return info->contains(platform::kCGWindowName);
}

std::optional<platform::WindowInfo> copyWindowInfo(std::uint32_t windowID) {
  auto list = platform::current().windows().copyOnScreenWindowList();
  if (!list) return std::nullopt;
  for (auto& entry : *list) {
    auto number = entry.find(platform::kCGWindowNumber);
    if (number == entry.end()) continue;
    if (auto value = platform::exactUInt32(number->second); value && *value == windowID)
      return std::move(entry);
  }
  return std::nullopt;
}

}  // namespace tessaron
