// The wayland backend's service table.
#include "platform/wayland/wayland_platform.h"

#include "platform/freedesktop/atspi.h"
#include "platform/freedesktop/desktop.h"
#include "platform/freedesktop/gtk.h"
#include "platform/posix_services.h"
#include "platform/wayland/wayland_windows.h"

namespace tessaron::platform::wayland {

namespace {

using namespace freedesktop;

// Accessibility: the desktop's accessibility switch, as under X11. Screen capture: granted where the desktop
// gives window places and pixels (sway: always; GNOME: once the extension runs and the screen cast was
// allowed); the request asks for what is missing.
class WaylandGrants final : public Grants {
 public:
  explicit WaylandGrants(WaylandWindowServer& windows) : windows_(windows) {}
  bool isAccessibilityTrusted() override { return accessibilityEnabled(); }
  bool isScreenCaptureAllowed() override { return windows_.canReadScreen(); }
  void requestAccessibility() override { switchOnAccessibility(); }
  std::optional<GrantWording> accessibilityWording() override { return freedesktop::accessibilityWording(); }
  std::optional<GrantWording> screenCaptureWording() override { return windows_.wording(); }
  void requestScreenCapture() override { windows_.requestWhatIsMissing(); }

 private:
  WaylandWindowServer& windows_;
};

class WaylandPlatform final : public Platform {
 public:
  WaylandPlatform()
      : accessibility_(TextReading::pipelined,
                       [this](std::int32_t pid, const std::string& name, const Rect& extents) {
                         return windows_.placeFrame(pid, name, extents);
                       }),
        windows_({[this](std::int32_t pid) { return accessibility_.applicationName(pid); },
                  [this](std::int32_t pid) { return accessibility_.frames(pid); }},
                 bundle_.resourcePath("gnome-shell-extension").parent_path()),
        grants_(windows_),
        workspace_(bundle_, processes_),
        alerts_(bundle_),
        statusBar_(bundle_, bundle_.bundleIdentifier().value_or("tessaron")),
        loginItems_(AutostartLoginItems::entryPath(bundle_.bundleIdentifier().value_or("tessaron"))
                        .value_or("tessaron.desktop"),
                    executable(), bundle_.resourcePath("AppIcon.png")) {}

  std::string_view name() const override { return "wayland"; }
  WindowServer& windows() override { return windows_; }
  Accessibility& accessibility() override { return accessibility_; }
  Workspace& workspace() override { return workspace_; }
  Alerts& alerts() override { return alerts_; }
  StatusBar& statusBar() override { return statusBar_; }
  LoginItems& loginItems() override { return loginItems_; }
  Grants& grants() override { return grants_; }
  Bundle& bundle() override { return bundle_; }
  UserDefaults& userDefaults() override { return userDefaults_; }
  Processes& processes() override { return processes_; }
  Clock& clock() override { return clock_; }
  MainQueue& mainQueue() override { return mainQueue_; }

 private:
  static std::filesystem::path executable() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec);
  }

  posix::ExecutableBundle bundle_;
  posix::FileUserDefaults userDefaults_;
  posix::PosixProcesses processes_;
  posix::SystemClock clock_;
  AtspiAccessibility accessibility_;
  WaylandWindowServer windows_;
  WaylandGrants grants_;
  XdgWorkspace workspace_;
  GtkAlerts alerts_;
  IndicatorStatusBar statusBar_;
  AutostartLoginItems loginItems_;
  GtkMainQueue mainQueue_;
};

}  // namespace

std::shared_ptr<Platform> create() {
  auto platform = std::make_shared<WaylandPlatform>();
  initToolkit("wayland");
  return platform;
}

}  // namespace tessaron::platform::wayland
