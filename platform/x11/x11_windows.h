// The window half of the x11 backend: the on-screen client windows (EWMH) and their screenshots (XCB).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/freedesktop/atspi.h"
#include "platform/windows.h"

namespace tessaron::platform::x11 {

class X11Display;

using freedesktop::ApplicationFacts;

class X11WindowServer final : public WindowServer {
 public:
  // Opens the display named by DISPLAY; throws SelectionError when it cannot.
  explicit X11WindowServer(ApplicationFacts facts);
  ~X11WindowServer() override;
  X11WindowServer(const X11WindowServer&) = delete;
  X11WindowServer& operator=(const X11WindowServer&) = delete;

  Outcome<std::vector<WindowDescription>> shareableContent() override;
  Outcome<RgbaImage> captureWindow(const WindowDescription& window) override;

  // Whether screenshots of other windows can be read from this display (an X11 session, not Wayland's
  // compatibility server).
  bool canReadScreen();

 private:
  std::unique_ptr<X11Display> display_;
  ApplicationFacts facts_;
};

}  // namespace tessaron::platform::x11
