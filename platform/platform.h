// The platform seam: one table of services, filled once by the selected backend.
//
// Backends: "sim" (a scripted desktop with state, always built), "x11" (X11 + AT-SPI + GTK) and "wayland"
// (the compositor's own interfaces + AT-SPI + GTK). Selection: TESSARON_PLATFORM names the backend; unset,
// the session decides (see backendForSession). "sim" reads the scenario file TESSARON_SCENARIO. A backend
// that cannot run is a clear error naming what is missing, never a silent fall back to another one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/pages.h"
#include "platform/shell.h"
#include "platform/system.h"
#include "platform/value.h"
#include "platform/windows.h"

namespace tessaron::platform {

class Platform {
 public:
  virtual ~Platform() = default;
  virtual std::string_view name() const = 0;

  // What the capture engine reads: the windows on screen with their pixels, and the pages they show.
  virtual WindowServer& windows() = 0;
  virtual PageReader& pages() = 0;
  // What the person sees and touches outside the browsers.
  virtual DesktopShell& shell() = 0;
  // The process's own services.
  virtual Installation& installation() = 0;
  virtual Preferences& preferences() = 0;
  virtual Processes& processes() = 0;
  virtual Clock& clock() = 0;
  virtual MainQueue& mainQueue() = 0;
};

// Why a backend could not be selected; `exitStatus` is what the process should end with.
struct SelectionError {
  std::string message;
  int exitStatus = 1;
};

// What of the environment decides the backend.
struct SessionEnvironment {
  std::string_view platform;        // TESSARON_PLATFORM
  std::string_view waylandDisplay;  // WAYLAND_DISPLAY
  std::string_view sessionType;     // XDG_SESSION_TYPE
  std::string_view display;         // DISPLAY
};

// The backend's name: the one asked for; else "wayland" in a Wayland session (whose DISPLAY, if set, is only
// its compatibility server, which cannot see native windows); else "x11" with a display; else a
// SelectionError naming both.
std::string backendForSession(const SessionEnvironment& session);

// Creates the backend named by the environment; throws SelectionError when it cannot run.
std::shared_ptr<Platform> createPlatformFromEnvironment();

// The process's platform. Installed once at start-up (or by a test); using it before is a programming error.
Platform& current();
void install(std::shared_ptr<Platform> platform);

// What a backend has to tell the person that no call returns: a request it cannot carry out, a switch that
// takes effect only later. The program routes notices into its log; until it does they go to standard error.
void setNoticeHandler(std::function<void(const std::string&)> handler);
void notice(const std::string& text);

// Installs a platform for a scope (tests), restoring the previous one after.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(std::shared_ptr<Platform> platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  std::shared_ptr<Platform> previous_;
};

}  // namespace tessaron::platform
