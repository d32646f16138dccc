// The desktop services of the x11 backend that need no toolkit: the two grants, the workspace (open an
// address, reveal a folder, this program's running copies) and the login item (an XDG autostart entry).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/desktop.h"
#include "platform/system.h"

namespace tessaron::platform::x11 {

class X11WindowServer;

// Accessibility: the desktop's accessibility switch (org.a11y.Status IsEnabled on the session bus); the
// request turns it on. Screen capture: an X11 display whose windows this process can read; there is no
// request that could grant it, so the request says what to do instead.
class X11Grants final : public Grants {
 public:
  explicit X11Grants(X11WindowServer& windows) : windows_(windows) {}
  bool isAccessibilityTrusted() override;
  bool isScreenCaptureAllowed() override;
  void requestAccessibility() override;
  void requestScreenCapture() override;

 private:
  X11WindowServer& windows_;
};

class X11Workspace final : public Workspace {
 public:
  X11Workspace(Bundle& bundle, Processes& processes) : bundle_(bundle), processes_(processes) {}
  std::vector<RunningApplicationInfo> runningApplications() override;
  // With xdg-open, the desktop's own choice of handler.
  void openURL(const std::string& address) override;
  // Through the file manager's org.freedesktop.FileManager1 ShowItems; without one, xdg-open on the folder.
  void activateFileViewerSelecting(const std::vector<std::filesystem::path>& items) override;

 private:
  Bundle& bundle_;
  Processes& processes_;
};

// The entry `$XDG_CONFIG_HOME/autostart/<bundle id>.desktop`. Absent: not registered. Present but switched
// off by the person (Hidden=true or X-GNOME-Autostart-enabled=false): requires approval, and is never
// switched back on. Present with a program that no longer exists: not found. Otherwise: enabled.
class AutostartLoginItems final : public LoginItems {
 public:
  AutostartLoginItems(std::filesystem::path entry, std::filesystem::path executable,
                      std::filesystem::path icon);
  LoginItemStatus status() override;
  std::optional<PlatformError> registerAndReturnError() override;

  // The entry for a bundle identifier in the user's configuration folder; none without a home.
  static std::optional<std::filesystem::path> entryPath(const std::string& bundleIdentifier);

 private:
  std::filesystem::path entry_;
  std::filesystem::path executable_;
  std::filesystem::path icon_;
};

// An argument as a desktop entry's Exec key needs it: quoted, with the characters the quoting reserves
// escaped.
std::string desktopEntryArgument(const std::string& argument);

}  // namespace tessaron::platform::x11
