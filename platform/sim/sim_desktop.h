// The simulated desktop: windows, accessibility trees, screenshots, grants, alerts, login item, other
// instances, port holders and a pinned clock, all with state that changes between capture passes.
//
// Tests build one with the C++ API below; processes load one from a JSON scenario (sim_scenario.h). What it
// does not simulate: child processes (real ones are started) and the file system (the real one is used).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/ax_tree.h"

namespace tessaron::platform::sim {

// What a screenshot of a window gives.
struct ImageSource {
  enum class Kind { pattern, file, pixels, failure };
  Kind kind = Kind::pattern;
  std::string pattern = "gradient";  // solid, gradient, checker, stripes, noise
  std::uint32_t seed = 0;
  std::array<std::uint8_t, 4> color{128, 128, 128, 255};
  std::filesystem::path file;
  std::shared_ptr<const RgbaImage> pixels;
  std::optional<std::uint32_t> width, height;  // default: the window's frame size
  std::string failure = "sim: the screenshot failed";

  static ImageSource fromPattern(std::string pattern, std::uint32_t seed = 0);
  static ImageSource solid(std::array<std::uint8_t, 4> color);
  static ImageSource fromFile(std::filesystem::path file);
  static ImageSource fromPixels(RgbaImage image);
  static ImageSource failing(std::string message = "sim: the screenshot failed");
};

// Renders a source for a window of the given frame; an error for a failing source or an unreadable file.
Outcome<RgbaImage> renderImage(const ImageSource& source, const Rect& frame);

struct Window {
  std::uint32_t number = 0;
  std::optional<std::string> title;
  Rect frame;
  std::optional<std::string> application;  // the owning application's display name
  std::int32_t processId = 0;
  bool onScreen = true;
  bool inWindowList = true;  // whether the on-screen window list has an entry for it
  // How its window-list entry differs from the window: another process or title, or neither told (a
  // desktop that gives no process, or one the list cannot read).
  std::optional<std::optional<std::int32_t>> listedProcessId;
  std::optional<std::optional<std::string>> listedTitle;
  ImageSource image;
  WindowPrivacy privacy = WindowPrivacy::ordinary;  // what the desktop says of the window's browsing
  bool onAccessibilityBus = true;                   // whether its application could give its pages
};

// Grants that may change with virtual time or on request.
struct GrantState {
  bool granted = false;
  std::optional<double> grantedAfterSeconds;  // granted from this virtual time (since the start) on
  bool grantedOnRequest = false;              // the request grants it
  int requests = 0;
  std::optional<GrantWording> wording;  // the alert's words of the desktop being played, if its own
};

struct ShownAlert {
  AlertSpec alert;
  std::size_t answer = 0;  // the pressed button's index
};

struct StatusItemState {
  bool created = false;
  bool hasButton = true;
  std::optional<std::string> buttonImage;
  std::optional<std::string> panelImage;
  std::vector<MenuEntry> entries;
  std::string panelLine;
};

struct ClockSettings {
  std::chrono::system_clock::time_point start = std::chrono::sys_days{std::chrono::year{2024} / 3 / 1} +
                                                std::chrono::hours{14} + std::chrono::minutes{5} +
                                                std::chrono::seconds{9};
  std::chrono::minutes utcOffset{0};  // the user's time zone, a fixed offset
  // Virtual seconds per real second while sleeping; 0 makes every sleep instant.
  double speed = 100.0;
};

// A change applied when a given capture pass asks for the windows (pass 1 is the first).
struct TimelineStep {
  int pass = 1;
  std::function<void(class Desktop&)> apply;
  std::string description;
};

class Desktop : public std::enable_shared_from_this<Desktop> {
 public:
  explicit Desktop(ClockSettings clock = {});
  ~Desktop();

  // Windows, front to back.
  Window& addWindow(Window window);
  Window* window(std::uint32_t number);
  void removeWindow(std::uint32_t number);
  std::vector<Window> windows() const;

  // Accessibility: the application of a process.
  std::optional<AXApplication> findApplication(std::int32_t processId) const;
  void setApplication(std::int32_t processId, AXApplication application);

  void atPass(int pass, std::function<void(Desktop&)> change, std::string description = {});
  int passesStarted() const;

  std::optional<std::string> shareableContentError;  // set: the window query fails
  bool windowListAvailable = true;

  GrantState accessibility;
  GrantState screenCapture;

  std::deque<std::size_t> alertAnswers;  // buttons pressed in order (0 is the first); then the default
  std::deque<std::string> typedSecrets;  // typed into alerts that ask for a secret, in order; then nothing
  std::size_t defaultAlertAnswer = 1;
  double alertHoldSeconds = 0;  // real seconds an alert stays open before it is answered
  // Writes what a person would see (alerts, opened addresses, revealed folders, the status item) to standard
  // error as "sim: ..." lines, so tests of a whole process can follow it.
  bool trace = false;
  std::vector<ShownAlert> shownAlerts() const;

  // The keyring: whether it can be reached and is unlocked, and what it keeps.
  struct SimKeyring {
    KeyringLookup::State state = KeyringLookup::State::absent;  // absent: reachable and open
    std::map<std::string, std::string> secrets;
  } keyring;

  LoginItemStatus loginItemStatus = LoginItemStatus::notRegistered;
  std::optional<std::string> loginItemRegisterError;
  int loginItemRegistrations = 0;

  std::optional<std::string> bundleIdentifier = TESSARON_BUNDLE_ID;
  std::optional<std::filesystem::path> bundlePathOverride;  // default: the bundle around the executable
  std::optional<std::filesystem::path> applicationSupportOverride;  // default: $XDG_DATA_HOME
  int otherInstances = 0;  // other running applications with our bundle identifier
  std::optional<std::vector<PortListener>> portListeners;  // default: the real ones
  bool statusItemHasButton = true;

  std::vector<std::string> openedURLs() const;
  std::vector<Notice> notices() const;
  std::vector<std::filesystem::path> revealedItems() const;
  StatusItemState statusItem() const;

  // Presses a menu entry (by index) as a person would: on the main queue.
  void pressMenuEntry(std::size_t index);
  // Presses scripted for when the menu exists: entry title and virtual seconds since the start.
  struct ScriptedPress {
    double atSeconds = 0;
    std::string title;
  };
  std::vector<ScriptedPress> scriptedPresses;

  ClockSettings clockSettings;
  std::chrono::nanoseconds elapsed() const;                // virtual time since the start
  int sleepsBegun() const { return sleepsBegun_.load(); }  // the clock's sleeps, begun so far
  void noteSleepBegun() { ++sleepsBegun_; }
  void advance(std::chrono::nanoseconds duration);

  // The platform table over this desktop. The desktop owns it; the pointer returned shares ownership of the
  // desktop, so each keeps the other alive as long as anyone holds either.
  std::shared_ptr<Platform> platform();

  // Internal: used by the service implementations.
  std::mutex& mutex() const { return mutex_; }
  int beginPass();
  void recordAlert(ShownAlert shown);
  void recordOpenedURL(std::string address);
  void recordNotice(Notice notice);
  void recordRevealed(std::vector<std::filesystem::path> items);
  StatusItemState& statusItemState() { return statusItem_; }
  bool grantNow(const GrantState& grant) const;
  void advanceTo(std::chrono::nanoseconds elapsed);

 private:
  mutable std::mutex mutex_;
  std::vector<Window> windows_;
  std::map<std::int32_t, AXApplication> applications_;
  std::vector<TimelineStep> timeline_;
  int passes_ = 0;
  std::vector<ShownAlert> alerts_;
  std::vector<std::string> openedURLs_;
  std::vector<Notice> notices_;
  std::vector<std::filesystem::path> revealed_;
  StatusItemState statusItem_;
  std::atomic<std::int64_t> elapsedNs_{0};
  std::atomic<int> sleepsBegun_{0};
  std::unique_ptr<Platform> platform_;
};

}  // namespace tessaron::platform::sim
