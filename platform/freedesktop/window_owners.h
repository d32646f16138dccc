// What both Linux backends say of a listed window's owner, from the accessibility bus, the window itself and
// the process: its name, whether it is on the bus, and whether the window shows private browsing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/freedesktop/atspi.h"
#include "platform/windows.h"

namespace tessaron::platform::freedesktop {

// One per listing: a process's accessible frames are read at most once in it, and only for a browser whose
// title does not tell its private windows.
class WindowOwners {
 public:
  explicit WindowOwners(const ApplicationFacts& facts) : facts_(facts) {}

  // Fills the window's owner, `onAccessibilityBus` and privacy. The name is the bus's ("Chromium",
  // "Firefox"), else `windowName` (the X11 class, the Wayland app id), else the table's name for the browser
  // the process runs (a renamed or sandboxed build).
  void describe(WindowDescription& window, std::int32_t processId,
                const std::optional<std::string>& windowName);

 private:
  const ApplicationFacts& facts_;
  std::map<std::int32_t, std::optional<std::vector<AccessibleFrame>>> frames_;
};

}  // namespace tessaron::platform::freedesktop
