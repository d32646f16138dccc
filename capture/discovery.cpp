// Which windows are browser windows worth archiving, and their window-list entries.
#include <algorithm>
#include <mutex>
#include <set>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"

namespace tessaron {

namespace {

// Applications on screen that are no browser Tessaron knows, each said once: a browser missing from the table
// shows up in the log by its name rather than not at all.
void noteUnknownApplication(Engine& engine, const std::string& name) {
  if (!engine.notes.unknownApplications.first(name)) return;
  log::capturer().log("Unsupported browser application: %{public}s", name);
}

}  // namespace

std::vector<platform::WindowDescription> getBrowserWindows(Engine& engine) {
  auto content = engine.platform().windows().shareableContent();
  if (!content) {
    log::capturer().error("Error getting all browser windows: %s", content.error().text);
    return {};
  }
  std::vector<platform::WindowDescription> kept;
  for (const auto& window : content.value()) {
    if (window.owningApplication && window.title && !window.browser)
      noteUnknownApplication(engine, lowercased(window.owningApplication->applicationName));
    if (isBrowserWindow(window)) kept.push_back(window);
  }
  log::capturer().log("Found %ld active browser windows", static_cast<long>(kept.size()));
  return kept;
}

bool isBrowserWindow(const platform::WindowDescription& window) {
  if (!window.owningApplication || !window.browser) return false;
  const auto& info = window.listed;
  if (!info) {
    log::capturer().error("Error: Window info is nil");
    return false;
  }
  return info->title.has_value();
}

BrowserVariant variantOf(const platform::Browser& browser) {
  return browser.family == platform::BrowserFamily::chromium ? BrowserVariant::chromiumFamily
                                                             : BrowserVariant::firefoxLike;
}

}  // namespace tessaron
