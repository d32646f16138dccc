// The x11 backend's service table.
#include "platform/x11/x11_platform.h"

#include "platform/freedesktop/atspi.h"
#include "platform/freedesktop/desktop.h"
#include "platform/freedesktop/gtk.h"
#include "platform/platform.h"
#include "platform/posix_services.h"
#include "platform/x11/x11_windows.h"

namespace tessaron::platform::x11 {

namespace {

using namespace freedesktop;

// Accessibility: the desktop's accessibility switch; the request turns it on. Screen capture: an X11 display
// whose windows this process can read; there is no request that could grant it, so the request says what to
// do instead.
class X11Grants final : public Grants {
 public:
  explicit X11Grants(X11WindowServer& windows) : windows_(windows) {}
  bool isAccessibilityTrusted() override { return accessibilityEnabled(); }
  bool isScreenCaptureAllowed() override { return windows_.canReadScreen(); }
  void requestAccessibility() override { switchOnAccessibility(); }
  std::optional<GrantWording> accessibilityWording() override { return freedesktop::accessibilityWording(); }
  std::optional<GrantWording> screenCaptureWording() override {
    return GrantWording{
        "Tessaron cannot read the windows of this display.\n"
        "1. In a Wayland session (most GNOME and KDE Plasma desktops), start Tessaron without "
        "TESSARON_PLATFORM=x11: it then reads windows the Wayland way.\n"
        "2. Otherwise, start Tessaron from within your desktop session, where DISPLAY names your screen.",
        "OK"};
  }
  void requestScreenCapture() override {
    notice(
        "Screen capture needs an X11 session whose windows this program can read. In a Wayland session, "
        "start tessaron without TESSARON_PLATFORM=x11 so that it uses the Wayland backend; without a "
        "display, "
        "start it from within the desktop session.");
  }

 private:
  X11WindowServer& windows_;
};

class X11Platform final : public Platform {
 public:
  X11Platform()
      : windows_({[this](std::int32_t pid) { return accessibility_.applicationName(pid); },
                  [this](std::int32_t pid) { return accessibility_.frames(pid); }}),
        grants_(windows_),
        workspace_(bundle_, processes_),
        alerts_(bundle_),
        statusBar_(bundle_, bundle_.bundleIdentifier().value_or("tessaron")),
        loginItems_(AutostartLoginItems::entryPath(bundle_.bundleIdentifier().value_or("tessaron"))
                        .value_or("tessaron.desktop"),
                    executable(), bundle_.resourcePath("AppIcon.png")) {}

  std::string_view name() const override { return "x11"; }
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
  X11WindowServer windows_;
  X11Grants grants_;
  XdgWorkspace workspace_;
  GtkAlerts alerts_;
  IndicatorStatusBar statusBar_;
  AutostartLoginItems loginItems_;
  GtkMainQueue mainQueue_;
};

}  // namespace

std::shared_ptr<Platform> create() {
  // The display is opened before the toolkit so that a missing one is reported in X11's own terms.
  auto platform = std::make_shared<X11Platform>();
  initToolkit("x11");
  return platform;
}

}  // namespace tessaron::platform::x11
