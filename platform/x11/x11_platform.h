// The x11 backend: X11 windows and screenshots (XCB), accessibility (AT-SPI2), tray, dialogs and main loop
// (GTK 3), login item (XDG autostart) and the POSIX services shared with the other backends.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace tessaron::platform::x11 {

// The backend for the display named by DISPLAY; throws SelectionError naming what is missing when it cannot
// run. Must be called on the thread that will run the main queue.
std::shared_ptr<Platform> create();

}  // namespace tessaron::platform::x11
