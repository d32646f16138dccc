// The wayland backend's service table.
#include "platform/wayland/wayland_platform.h"

#include "platform/freedesktop/linux_platform.h"
#include "platform/wayland/wayland_windows.h"

namespace tessaron::platform::wayland {

namespace {

using namespace freedesktop;

// Screen capture: granted where the desktop gives window places and pixels (sway: always; GNOME: once the
// extension runs and the screen cast was allowed); the request asks for what is missing.
class WaylandGrants final : public LinuxGrants {
 public:
  explicit WaylandGrants(WaylandWindowServer& windows) : windows_(windows) {}
  bool isScreenCaptureAllowed() override { return windows_.canReadScreen(); }
  std::optional<GrantWording> screenCaptureWording() override { return windows_.wording(); }
  void requestScreenCapture() override { windows_.requestWhatIsMissing(); }

 private:
  WaylandWindowServer& windows_;
};

class WaylandPlatform final : public LinuxDesktopPlatform {
 public:
  WaylandPlatform()
      : LinuxDesktopPlatform([this](std::int32_t pid, const std::string& name, const Rect& extents) {
          return windows_.placeFrame(pid, name, extents);
        }),
        windows_(applicationFacts(), bundle_.resourcePath("gnome-shell-extension").parent_path()),
        grants_(windows_) {}

  std::string_view name() const override { return "wayland"; }
  WindowServer& windows() override { return windows_; }
  Grants& grants() override { return grants_; }

 private:
  WaylandWindowServer windows_;
  WaylandGrants grants_;
};

}  // namespace

std::shared_ptr<Platform> create() {
  auto platform = std::make_shared<WaylandPlatform>();
  initToolkit("wayland");
  return platform;
}

}  // namespace tessaron::platform::wayland
