// The desktop shell: what a person sees and touches outside the browsers. Running applications, addresses
// and folders opened for the user, modal alerts, the tray item with its menu and notices, starting at login,
// and the two grants.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace tessaron::platform {

struct RunningApplicationInfo {
  std::optional<std::string> bundleIdentifier;
  std::int32_t processId = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // All running applications of this user, this process included.
  virtual std::vector<RunningApplicationInfo> runningApplications() = 0;
  // Opens the address with the user's default handler; the result is not reported.
  virtual void openURL(const std::string& address) = 0;
  // Brings the file viewer forward with these items selected; the result is not reported.
  virtual void showInFileManager(const std::vector<std::filesystem::path>& items) = 0;
};

enum class AlertStyle { warning = 0, informational = 1, critical = 2 };

struct AlertSpec {
  std::string title;
  std::string explanation;
  AlertStyle style = AlertStyle::warning;
  std::vector<std::string> buttons;
  std::optional<std::string> iconName;  // an image resource of the bundle
  // Asked about once a second while the alert is open: true closes it as its last button would (what it
  // asks for has come about meanwhile).
  std::function<bool()> dismissWhen;
};

struct SecretAnswer {
  std::size_t button = 0;
  std::string text;  // what was typed into the field
};

class Alerts {
 public:
  virtual ~Alerts() = default;
  // Shows the alert modally on the calling (main) thread and returns the pressed button's index (the first
  // button's is 0); an alert closed without a button counts as answered by its last one.
  virtual std::size_t ask(const AlertSpec& alert) = 0;
  // The same, with a field under the texts whose typing is not shown (a key, a passphrase), labelled
  // `fieldLabel`; Enter presses the first button.
  virtual SecretAnswer askForSecret(const AlertSpec& alert, const std::string& fieldLabel) = 0;
};

// The desktop's keyring (the Secret Service: GNOME Keyring, KWallet, KeePassXC): secrets kept for this user
// and opened with their login. Nothing here ever prompts: a locked keyring is said to be locked.
struct KeyringLookup {
  enum class State { found, absent, locked, unavailable };
  State state = State::unavailable;
  std::string secret;  // when found
  std::string why;     // when locked or unavailable: what the keyring service said
};

class Keyring {
 public:
  virtual ~Keyring() = default;
  // The secret kept under `name`.
  virtual KeyringLookup lookUp(const std::string& name) = 0;
  // Keeps `secret` under `name` (replacing one kept before), shown to the person as `label`.
  virtual std::optional<PlatformError> store(const std::string& name, const std::string& label,
                                             const std::string& secret) = 0;
};

// One entry of the status item's menu; the press runs on the main thread.
struct MenuEntry {
  std::string title;
  std::function<void()> onPress;
};

class StatusItem {
 public:
  virtual ~StatusItem() = default;
  // Whether the item has a button that can show an image.
  virtual bool hasButton() = 0;
  // Shows the named image in the button, before its title.
  virtual void setButtonImage(const std::string& imageName) = 0;
  // Attaches the menu: a panel showing the named image beside the entries, in order.
  virtual void setMenu(const std::string& panelImageName, std::vector<MenuEntry> entries) = 0;
  // Changes the title of one entry (the toggle's label follows the capture state).
  virtual void setEntryTitle(std::size_t index, const std::string& title) = 0;
  // A line of the panel under its image that says how things stand; not an entry, pressing it does nothing.
  // Where the desktop shows the item's title when the pointer rests on it, the line is there too. Callable
  // from any thread.
  virtual void setPanelLine(const std::string& text) = 0;
};

// A short message that the desktop shows for a moment beside the status area, for what a person should know
// without being interrupted.
struct Notice {
  std::string title;
  std::string body;
  bool operator==(const Notice&) const = default;
};

class StatusBar {
 public:
  virtual ~StatusBar() = default;
  // A new item in the desktop's status area, as wide as what it shows.
  virtual std::shared_ptr<StatusItem> addStatusItem() = 0;
  // Shows the notice; callable from any thread. A desktop that shows no notices drops it: whatever posts one
  // also writes it to the log.
  virtual void postNotice(const Notice& notice) = 0;
};

enum class LoginItemStatus : int { notRegistered = 0, enabled = 1, switchedOff = 2, notFound = 3 };

class LoginItems {
 public:
  virtual ~LoginItems() = default;
  virtual LoginItemStatus status() = 0;
  // Registers the application to start at login; the error when that fails.
  virtual std::optional<PlatformError> registerToStartAtLogin() = 0;
};

// How a desktop's own words ask a person for a grant: what the alert explains and the label of the button
// that makes the request.
struct GrantWording {
  std::string explanation;
  std::string requestButton;
};

class Grants {
 public:
  virtual ~Grants() = default;
  // Probes, without any prompt.
  virtual bool isAccessibilityTrusted() = 0;
  virtual bool isScreenCaptureAllowed() = 0;
  // Requests: the desktop's own prompt (or switch) for each grant.
  virtual void requestAccessibility() = 0;
  virtual void requestScreenCapture() = 0;
  // What the alerts say on this desktop; nothing where the program's first desktop's words fit.
  virtual std::optional<GrantWording> accessibilityWording() { return std::nullopt; }
  virtual std::optional<GrantWording> screenCaptureWording() { return std::nullopt; }
};

class DesktopShell {
 public:
  virtual ~DesktopShell() = default;
  virtual Workspace& workspace() = 0;
  virtual Alerts& alerts() = 0;
  virtual StatusBar& statusBar() = 0;
  virtual LoginItems& loginItems() = 0;
  virtual Grants& grants() = 0;
  virtual Keyring& keyring() = 0;
};

}  // namespace tessaron::platform
