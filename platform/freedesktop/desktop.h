// The desktop services both Linux backends share that need no toolkit: the accessibility switch, the
// workspace (open an address, reveal a folder, this program's running copies) and the login item (an XDG
// autostart entry).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/shell.h"
#include "platform/system.h"

namespace tessaron::platform::freedesktop {

// The desktop's accessibility switch (org.a11y.Status IsEnabled on the session bus): whether it is on, and
// turning it on, which says through a notice what happened.
bool accessibilityEnabled();
void switchOnAccessibility();

// The accessibility alert's words on a Linux desktop, whose request switches accessibility on.
GrantWording accessibilityWording();

class XdgWorkspace final : public Workspace {
 public:
  XdgWorkspace(Installation& bundle, Processes& processes) : bundle_(bundle), processes_(processes) {}
  std::vector<RunningApplicationInfo> runningApplications() override;
  // With xdg-open, the desktop's own choice of handler.
  void openURL(const std::string& address) override;
  // Through the file manager's org.freedesktop.FileManager1 ShowItems; without one, xdg-open on the folder.
  void showInFileManager(const std::vector<std::filesystem::path>& items) override;

 private:
  Installation& bundle_;
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
  std::optional<PlatformError> registerToStartAtLogin() override;

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

}  // namespace tessaron::platform::freedesktop
