// The x11 backend's service table.
#include "platform/x11/x11_platform.h"

#include "platform/freedesktop/linux_platform.h"
#include "platform/x11/x11_windows.h"

namespace tessaron::platform::x11 {

namespace {

using namespace freedesktop;

// Screen capture: an X11 display whose windows this process can read; there is no request that could grant
// it, so the request says what to do instead.
class X11Grants final : public LinuxGrants {
 public:
  explicit X11Grants(X11WindowServer& windows) : windows_(windows) {}
  bool isScreenCaptureAllowed() override { return windows_.canReadScreen(); }
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
        "display, start it from within the desktop session.");
  }

 private:
  X11WindowServer& windows_;
};

class X11Platform final : public LinuxDesktopPlatform {
 public:
  X11Platform() : windows_(applicationFacts()), grants_(windows_) {}

  std::string_view name() const override { return "x11"; }
  WindowServer& windows() override { return windows_; }
  Grants& grants() override { return grants_; }

 private:
  X11WindowServer windows_;
  X11Grants grants_;
};

}  // namespace

std::shared_ptr<Platform> create() {
  // The display is opened before the toolkit so that a missing one is reported in X11's own terms.
  auto platform = std::make_shared<X11Platform>();
  initToolkit("x11");
  return platform;
}

}  // namespace tessaron::platform::x11
