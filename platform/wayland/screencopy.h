// Pixels on wlroots desktops: the compositor's screen-copy interface, asked for one rectangle of one output
// at a time. It needs no portal and shows no dialog; each copy makes the compositor render a frame, so a
// copy never waits for the screen to change.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/value.h"

namespace tessaron::platform::wayland {

class WaylandConnection;

class Screencopy {
 public:
  // Connects to the display named by WAYLAND_DISPLAY; throws SelectionError when there is none.
  Screencopy();
  ~Screencopy();
  Screencopy(const Screencopy&) = delete;
  Screencopy& operator=(const Screencopy&) = delete;

  // Whether the compositor offers screen copy.
  bool available() const;

  // The pixels of `region` (logical coordinates within the output) of the output with this name (or, for a
  // compositor that names no outputs, at this place), at the output's pixel density; an error when the
  // output is gone or the compositor refuses.
  Outcome<RgbaImage> capture(const std::string& outputName, double originX, double originY,
                             const Rect& region);

 private:
  std::mutex mutex_;
  std::unique_ptr<WaylandConnection> connection_;
};

}  // namespace tessaron::platform::wayland
