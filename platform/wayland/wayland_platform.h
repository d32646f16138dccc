// The wayland backend: window places and pixels from the compositor (wayland_windows.h), and everything else
// shared with the x11 backend: accessibility (AT-SPI2), tray, dialogs and main loop (GTK 3), login item.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace tessaron::platform::wayland {

// The backend for the display named by WAYLAND_DISPLAY; throws SelectionError naming what is missing when it
// cannot run. Must be called on the thread that will run the main queue.
std::shared_ptr<Platform> create();

}  // namespace tessaron::platform::wayland
