// Windows on screen: the window list, shareable window descriptions and single-window screenshots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace tessaron::platform {

// Keys of a window-list entry, spelled as the window list spells them.
inline constexpr const char* kCGWindowNumber = "kCGWindowNumber";
inline constexpr const char* kCGWindowName = "kCGWindowName";
inline constexpr const char* kCGWindowOwnerPID = "kCGWindowOwnerPID";

// The application that owns a window, as the desktop names it.
struct RunningApplication {
  std::string applicationName;
  std::int32_t processId = 0;
  bool operator==(const RunningApplication&) const = default;
};

// A window that can be captured: number, title if any, frame in root coordinates, owner if known.
struct WindowDescription {
  std::uint32_t windowID = 0;
  std::optional<std::string> title;
  Rect frame;
  std::optional<RunningApplication> owningApplication;
  bool operator==(const WindowDescription&) const = default;
};

class WindowServer {
 public:
  virtual ~WindowServer() = default;

  // The on-screen windows, one entry each, front to back; nothing when the list cannot be had.
  virtual std::optional<std::vector<WindowInfo>> copyOnScreenWindowList() = 0;

  // Every window that can be captured now (desktop windows included), in the desktop's order; an error when
  // the desktop cannot be asked.
  virtual Outcome<std::vector<WindowDescription>> shareableContent() = 0;

  // One screenshot of exactly this window at its pixel size; an error when it vanished, is minimised or
  // cannot be read. Blocks until the pixels are there.
  virtual Outcome<RgbaImage> captureWindow(const WindowDescription& window) = 0;
};

}  // namespace tessaron::platform
