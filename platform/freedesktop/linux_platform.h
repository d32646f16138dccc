// The service table both Linux backends share: everything but the windows and the screen-recording grant,
// which each backend reads from its own display server.
#pragma once

#include <filesystem>

#include "platform/freedesktop/atspi.h"
#include "platform/freedesktop/desktop.h"
#include "platform/freedesktop/gtk.h"
#include "platform/freedesktop/secret_keyring.h"
#include "platform/platform.h"
#include "platform/posix_services.h"

namespace tessaron::platform::freedesktop {

// The grants of a Linux desktop: accessibility is the desktop's switch, the same on every one; screen capture
// is the backend's.
class LinuxGrants : public Grants {
 public:
  bool isAccessibilityTrusted() override { return accessibilityEnabled(); }
  void requestAccessibility() override { switchOnAccessibility(); }
  std::optional<GrantWording> accessibilityWording() override { return freedesktop::accessibilityWording(); }
};

class LinuxDesktopPlatform : public Platform, public DesktopShell {
 public:
  PageReader& pages() override { return pages_; }
  DesktopShell& shell() override { return *this; }
  Workspace& workspace() override { return workspace_; }
  Alerts& alerts() override { return alerts_; }
  StatusBar& statusBar() override { return statusBar_; }
  LoginItems& loginItems() override { return loginItems_; }
  Keyring& keyring() override { return keyring_; }
  Installation& installation() override { return bundle_; }
  Preferences& preferences() override { return userDefaults_; }
  Processes& processes() override { return processes_; }
  Clock& clock() override { return clock_; }
  MainQueue& mainQueue() override { return mainQueue_; }

 protected:
  // `placement`: where the backend's window list puts accessible frames (none under X11).
  explicit LinuxDesktopPlatform(FramePlacement placement = {});

  // What the accessibility bus tells the window server about a process.
  ApplicationFacts applicationFacts();

  posix::ExecutableInstallation bundle_;
  posix::FilePreferences userDefaults_;
  posix::PosixProcesses processes_;
  posix::SystemClock clock_;
  AtspiPages pages_;
  XdgWorkspace workspace_;
  GtkAlerts alerts_;
  IndicatorStatusBar statusBar_;
  AutostartLoginItems loginItems_;
  GtkMainQueue mainQueue_;
  SecretServiceKeyring keyring_;
};

}  // namespace tessaron::platform::freedesktop
