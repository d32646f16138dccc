// The window half of the wayland backend. Wayland gives a plain client neither other programs' windows nor
// their places, so both come from the compositor's own interfaces: sway's IPC tree for the list and places,
// wlr-screencopy for the pixels of a window's rectangle. Which application a window belongs to, and whether
// it is a private one, comes from the accessibility bus as under X11.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/freedesktop/atspi.h"
#include "platform/wayland/sway_ipc.h"
#include "platform/windows.h"

namespace tessaron::platform::wayland {

class Screencopy;

// Where a top-level frame of the accessibility bus sits in the compositor's coordinates. Clients report their
// frames relative to their own surface, which includes the shadow they draw around the window (Chromium: 10
// px on each side), so a frame is a window's when the process and name agree and the frame is the window's
// size with an even margin all round; nothing when no window is.
std::optional<Rect> placeFrame(const std::vector<CompositorWindow>& windows, std::int32_t processId,
                               const std::string& frameName, const Rect& extents);

class WaylandWindowServer final : public WindowServer {
 public:
  explicit WaylandWindowServer(freedesktop::ApplicationFacts facts);
  ~WaylandWindowServer() override;
  WaylandWindowServer(const WaylandWindowServer&) = delete;
  WaylandWindowServer& operator=(const WaylandWindowServer&) = delete;

  std::optional<std::vector<WindowInfo>> copyOnScreenWindowList() override;
  Outcome<std::vector<WindowDescription>> shareableContent() override;
  // The window's rectangle of its output, read only while the window is still there, in the same place, and
  // uncovered, before and after the copy: the pixels are never another program's.
  Outcome<RgbaImage> captureWindow(const WindowDescription& window) override;

  // Whether this desktop gives both window places and pixels (a wlroots compositor speaking sway's IPC).
  bool canReadScreen();
  // What this desktop lacks for that, in a person's words; empty when nothing.
  std::string whatIsMissing();

  // The frame placement the accessibility bus needs here.
  std::optional<Rect> placeFrame(std::int32_t processId, const std::string& frameName, const Rect& extents);

 private:
  std::optional<std::vector<CompositorWindow>> listWindows();

  freedesktop::ApplicationFacts facts_;
  std::unique_ptr<Screencopy> screencopy_;
  std::unique_ptr<SwayIpc> sway_;
  std::mutex listedMutex_;
  std::vector<CompositorWindow> listed_;  // the last listing, which frames are placed against
};

}  // namespace tessaron::platform::wayland
