// The sim backend's service table over a Desktop. Implements every service of the seam; child processes,
// the file system and (unless a scenario scripts it) the port table are the real ones.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stop_token>
#include <thread>

#include <unistd.h>

#include "platform/posix_services.h"
#include "platform/sim/sim_desktop.h"

namespace tessaron::platform::sim {

namespace {

using namespace std::chrono;

void trace(const Desktop& desktop, const std::string& line) {
  if (!desktop.trace) return;
  std::string text = "sim: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

class SimWindowServer final : public WindowServer {
 public:
  explicit SimWindowServer(Desktop& d) : desktop_(d) {}

  Outcome<std::vector<WindowDescription>> shareableContent() override {
    desktop_.beginPass();
    if (desktop_.shareableContentError) return PlatformError{*desktop_.shareableContentError};
    std::vector<WindowDescription> out;
    for (const Window& w : desktop_.windows()) {
      if (!w.onScreen) continue;
      WindowDescription d{.windowID = w.number,
                          .title = w.title,
                          .frame = w.frame,
                          .privacy = w.privacy,
                          .onAccessibilityBus = w.onAccessibilityBus};
      if (w.application) {
        d.owningApplication = RunningApplication{*w.application, w.processId};
        d.browser = browserNamed(*w.application);
      }
      if (desktop_.windowListAvailable && w.inWindowList)
        d.listed =
            ListedWindow{w.number, w.listedProcessId.value_or(w.processId), w.listedTitle.value_or(w.title)};
      out.push_back(std::move(d));
    }
    return out;
  }

  Outcome<RgbaImage> captureWindow(const WindowDescription& description) override {
    for (const Window& w : desktop_.windows()) {
      if (w.number != description.windowID) continue;
      if (!w.onScreen) return PlatformError{"sim: window " + std::to_string(w.number) + " is not on screen"};
      return renderImage(w.image, w.frame);
    }
    return PlatformError{"sim: no window " + std::to_string(description.windowID)};
  }

 private:
  Desktop& desktop_;
};

class SimPageReader final : public PageReader {
 public:
  explicit SimPageReader(Desktop& d) : desktop_(d) {}
  std::optional<std::vector<PageWindowRef>> windowsOf(std::int32_t processId,
                                                      const Browser& browser) override {
    auto known = desktop_.findApplication(processId);
    if (!known) return std::nullopt;
    return pageWindowsOf(*known, browser);
  }

 private:
  Desktop& desktop_;
};

class SimWorkspace final : public Workspace {
 public:
  explicit SimWorkspace(Desktop& d) : desktop_(d) {}
  std::vector<RunningApplicationInfo> runningApplications() override {
    std::vector<RunningApplicationInfo> apps{
        {desktop_.bundleIdentifier, static_cast<std::int32_t>(::getpid())}};
    // Real copies of this program (the per-user lock) and scripted ones.
    const int others = posix::otherInstancesHoldingLock(desktop_.bundleIdentifier) + desktop_.otherInstances;
    for (int i = 0; i < others; ++i)
      apps.push_back({desktop_.bundleIdentifier, 90000 + i});
    apps.push_back({std::string("org.example.editor"), 12});
    return apps;
  }
  void openURL(const std::string& address) override {
    trace(desktop_, "open: " + address);
    desktop_.recordOpenedURL(address);
  }
  void showInFileManager(const std::vector<std::filesystem::path>& items) override {
    for (const auto& item : items)
      trace(desktop_, "reveal: " + item.string());
    desktop_.recordRevealed(items);
  }

 private:
  Desktop& desktop_;
};

class SimAlerts final : public Alerts {
 public:
  explicit SimAlerts(Desktop& d) : desktop_(d) {}
  SecretAnswer askForSecret(const AlertSpec& alert, const std::string&) override {
    SecretAnswer answer;
    {
      std::lock_guard lock(desktop_.mutex());
      if (!desktop_.typedSecrets.empty()) {
        answer.text = desktop_.typedSecrets.front();
        desktop_.typedSecrets.pop_front();
      }
    }
    answer.button = ask(alert);
    return answer;
  }
  std::size_t ask(const AlertSpec& alert) override {
    trace(desktop_, "alert shown: " + alert.title);
    const auto held =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(desktop_.alertHoldSeconds);
    while (std::chrono::steady_clock::now() < held) {
      if (alert.dismissWhen && alert.dismissWhen()) {
        const std::size_t last = std::max<std::size_t>(alert.buttons.size(), 1) - 1;
        desktop_.recordAlert({alert, last});
        trace(desktop_, "alert dismissed: " + alert.title);
        return last;
      }
      // The scenario's time goes on while the person looks at the alert.
      constexpr auto step = std::chrono::milliseconds(50);
      std::this_thread::sleep_for(step);
      if (desktop_.clockSettings.speed > 0)
        desktop_.advance(
            std::chrono::duration_cast<std::chrono::nanoseconds>(step * desktop_.clockSettings.speed));
    }
    std::size_t answer = desktop_.defaultAlertAnswer;
    {
      std::lock_guard lock(desktop_.mutex());
      if (!desktop_.alertAnswers.empty()) {
        answer = desktop_.alertAnswers.front();
        desktop_.alertAnswers.pop_front();
      }
    }
    desktop_.recordAlert({alert, answer});
    trace(desktop_, "alert answered: " + alert.title + ": " + std::to_string(answer));
    return answer;
  }

 private:
  Desktop& desktop_;
};

class SimStatusItem final : public StatusItem {
 public:
  explicit SimStatusItem(Desktop& d) : desktop_(d) {}
  bool hasButton() override { return desktop_.statusItemHasButton; }
  void setButtonImage(const std::string& name) override {
    std::lock_guard lock(desktop_.mutex());
    desktop_.statusItemState().buttonImage = name;
  }
  void setMenu(const std::string& panelImage, std::vector<MenuEntry> entries) override {
    {
      std::lock_guard lock(desktop_.mutex());
      desktop_.statusItemState().panelImage = panelImage;
      desktop_.statusItemState().entries = std::move(entries);
    }
    // Scripted presses find their entry by its title at the time of the press.
    for (const auto& press : desktop_.scriptedPresses) {
      auto delay = std::chrono::duration_cast<nanoseconds>(std::chrono::duration<double>(press.atSeconds)) -
                   desktop_.elapsed();
      desktop_.platform()->mainQueue().runAfter(delay, [&desktop = desktop_, title = press.title] {
        std::size_t index = 0;
        for (const auto& entry : desktop.statusItem().entries) {
          if (entry.title == title) return desktop.pressMenuEntry(index);
          ++index;
        }
      });
    }
  }
  void setEntryTitle(std::size_t index, const std::string& title) override {
    std::lock_guard lock(desktop_.mutex());
    auto& entries = desktop_.statusItemState().entries;
    if (index < entries.size()) entries[index].title = title;
  }
  void setPanelLine(const std::string& text) override {
    std::lock_guard lock(desktop_.mutex());
    desktop_.statusItemState().panelLine = text;
  }

 private:
  Desktop& desktop_;
};

class SimStatusBar final : public StatusBar {
 public:
  explicit SimStatusBar(Desktop& d) : desktop_(d) {}
  std::shared_ptr<StatusItem> addStatusItem() override {
    {
      std::lock_guard lock(desktop_.mutex());
      desktop_.statusItemState().created = true;
      desktop_.statusItemState().hasButton = desktop_.statusItemHasButton;
    }
    trace(desktop_, "status item created");
    return std::make_shared<SimStatusItem>(desktop_);
  }
  void postNotice(const Notice& notice) override {
    desktop_.recordNotice(notice);
    trace(desktop_, "notice: " + notice.title + ": " + notice.body);
  }

 private:
  Desktop& desktop_;
};

class SimLoginItems final : public LoginItems {
 public:
  explicit SimLoginItems(Desktop& d) : desktop_(d) {}
  LoginItemStatus status() override { return desktop_.loginItemStatus; }
  std::optional<PlatformError> registerToStartAtLogin() override {
    trace(desktop_, "login item: register");
    std::lock_guard lock(desktop_.mutex());
    ++desktop_.loginItemRegistrations;
    if (desktop_.loginItemRegisterError) return PlatformError{*desktop_.loginItemRegisterError};
    desktop_.loginItemStatus = LoginItemStatus::enabled;
    return std::nullopt;
  }

 private:
  Desktop& desktop_;
};

class SimGrants final : public Grants {
 public:
  explicit SimGrants(Desktop& d) : desktop_(d) {}
  bool isAccessibilityTrusted() override { return desktop_.grantNow(desktop_.accessibility); }
  bool isScreenCaptureAllowed() override { return desktop_.grantNow(desktop_.screenCapture); }
  void requestAccessibility() override {
    trace(desktop_, "request: accessibility");
    request(desktop_.accessibility);
  }
  void requestScreenCapture() override {
    trace(desktop_, "request: screen capture");
    request(desktop_.screenCapture);
  }
  std::optional<GrantWording> accessibilityWording() override { return wording(desktop_.accessibility); }
  std::optional<GrantWording> screenCaptureWording() override { return wording(desktop_.screenCapture); }

 private:
  std::optional<GrantWording> wording(const GrantState& grant) {
    std::lock_guard lock(desktop_.mutex());
    return grant.wording;
  }
  void request(GrantState& grant) {
    std::lock_guard lock(desktop_.mutex());
    ++grant.requests;
    if (grant.grantedOnRequest) grant.granted = true;
  }
  Desktop& desktop_;
};

class SimBundle final : public Installation {
 public:
  explicit SimBundle(Desktop& d) : desktop_(d) {}
  std::optional<std::string> bundleIdentifier() override { return desktop_.bundleIdentifier; }
  std::optional<std::filesystem::path> bundlePath() override {
    if (desktop_.bundlePathOverride) {
      if (desktop_.bundlePathOverride->empty()) return std::nullopt;
      return desktop_.bundlePathOverride;
    }
    return real_.bundlePath();
  }
  std::optional<std::filesystem::path> executablePath(const std::string& name) override {
    if (!desktop_.bundlePathOverride) return real_.executablePath(name);
    if (desktop_.bundlePathOverride->empty()) return std::nullopt;
    return *desktop_.bundlePathOverride / "Contents" / "MacOS" / name;
  }
  std::filesystem::path resourcePath(const std::string& fileName) override {
    if (!desktop_.bundlePathOverride) return real_.resourcePath(fileName);
    if (desktop_.bundlePathOverride->empty()) return fileName;
    return *desktop_.bundlePathOverride / "Contents" / "Resources" / fileName;
  }
  Outcome<std::filesystem::path> applicationSupportFolder() override {
    if (!desktop_.applicationSupportOverride) return real_.applicationSupportFolder();
    if (desktop_.applicationSupportOverride->empty())
      return PlatformError{"sim: no application-support folder"};
    std::error_code ec;
    std::filesystem::create_directories(*desktop_.applicationSupportOverride, ec);
    if (ec) return PlatformError{ec.message()};
    return *desktop_.applicationSupportOverride;
  }

 private:
  Desktop& desktop_;
  posix::ExecutableInstallation real_;
};

class SimUserDefaults final : public Preferences {
 public:
  std::optional<std::string> string(const std::string& key) override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? std::nullopt : std::optional(it->second);
  }
  void setString(const std::string& key, const std::string& value) override {
    std::lock_guard lock(mutex_);
    values_[key] = value;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> values_;
};

class SimProcesses final : public Processes {
 public:
  explicit SimProcesses(Desktop& d) : desktop_(d) {}
  Outcome<ProcessOutput> run(const std::string& program, const std::vector<std::string>& args) override {
    return real_.run(program, args);
  }
  using Processes::launch;
  Outcome<std::int32_t> launch(const std::filesystem::path& program, const std::vector<std::string>& args,
                               WhenEnded whenEnded) override {
    return real_.launch(program, args, std::move(whenEnded));
  }
  Outcome<std::vector<PortListener>> listenersOnPort(std::uint16_t port) override {
    if (desktop_.portListeners) return *desktop_.portListeners;
    return real_.listenersOnPort(port);
  }

 private:
  Desktop& desktop_;
  posix::PosixProcesses real_;
};

// Real time scaled by the scenario's speed: a virtual duration d takes d / speed of real time.
nanoseconds realDuration(const Desktop& desktop, nanoseconds virtualDuration) {
  double speed = desktop.clockSettings.speed;
  if (speed <= 0 || virtualDuration <= nanoseconds::zero()) return nanoseconds::zero();
  return duration_cast<nanoseconds>(
      duration<double, std::nano>(static_cast<double>(virtualDuration.count()) / speed));
}

class SimClock final : public Clock {
 public:
  explicit SimClock(Desktop& d) : desktop_(d) {}
  system_clock::time_point now() override {
    return desktop_.clockSettings.start + duration_cast<system_clock::duration>(desktop_.elapsed());
  }
  LocalDateTime localTime(system_clock::time_point time) override {
    auto local = time + desktop_.clockSettings.utcOffset;
    auto day = floor<days>(local);
    year_month_day date{day};
    hh_mm_ss clock{floor<seconds>(local - day)};
    return {static_cast<int>(date.year()),
            static_cast<int>(static_cast<unsigned>(date.month())),
            static_cast<int>(static_cast<unsigned>(date.day())),
            static_cast<int>(clock.hours().count()),
            static_cast<int>(clock.minutes().count()),
            static_cast<int>(clock.seconds().count())};
  }
  bool sleepFor(nanoseconds duration, std::stop_token stop) override {
    auto target = desktop_.elapsed() + duration;
    desktop_.noteSleepBegun();
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, realDuration(desktop_, duration), [] { return false; });
    if (stop.stop_requested()) return false;
    desktop_.advanceTo(target);
    return true;
  }

 private:
  Desktop& desktop_;
};

// A main queue in virtual time: work runs in deadline order, the clock jumps to each deadline as it runs.
class SimMainQueue final : public MainQueue {
 public:
  explicit SimMainQueue(Desktop& d) : desktop_(d) {}
  void post(std::function<void()> work) override { runAfter(nanoseconds::zero(), std::move(work)); }
  void runAfter(nanoseconds delay, std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    queue_.emplace(
        std::pair{(desktop_.elapsed() + std::max(delay, nanoseconds::zero())).count(), sequence_++},
        std::move(work));
    wake_.notify_all();
  }
  void run() override {
    std::unique_lock lock(mutex_);
    stopped_ = false;
    while (!stopped_) {
      if (queue_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = queue_.begin();
      nanoseconds due{first->first.first};
      nanoseconds remaining = due - desktop_.elapsed();
      if (remaining > nanoseconds::zero() && desktop_.clockSettings.speed > 0) {
        // Wake early for new work or stop(); the loop recomputes what is due.
        if (wake_.wait_for(lock, realDuration(desktop_, remaining)) == std::cv_status::no_timeout) continue;
      }
      auto work = std::move(first->second);
      queue_.erase(first);
      lock.unlock();
      desktop_.advanceTo(due);
      work();
      lock.lock();
    }
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    wake_.notify_all();
  }

 private:
  Desktop& desktop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> queue_;
  std::uint64_t sequence_ = 0;
  bool stopped_ = false;
};

// The scripted keyring keeps its secrets in the desktop's memory, or, when TESSARON_SIM_KEYRING names a file,
// in that file, so that they outlive the process as a real keyring's do (one "name<TAB>secret" line each).
class SimKeyring final : public Keyring {
 public:
  explicit SimKeyring(Desktop& d) : desktop_(d) {}
  KeyringLookup lookUp(const std::string& name) override {
    std::lock_guard lock(desktop_.mutex());
    const auto& keyring = desktop_.keyring;
    if (keyring.state == KeyringLookup::State::unavailable)
      return {keyring.state, {}, "The name org.freedesktop.secrets was not provided by any .service files"};
    if (keyring.state == KeyringLookup::State::locked) return {keyring.state, {}, "the keyring is locked"};
    const auto secrets = kept();
    auto found = secrets.find(name);
    if (found == secrets.end()) return {KeyringLookup::State::absent, {}, {}};
    return {KeyringLookup::State::found, found->second, {}};
  }
  std::optional<PlatformError> store(const std::string& name, const std::string&,
                                     const std::string& secret) override {
    std::lock_guard lock(desktop_.mutex());
    if (desktop_.keyring.state != KeyringLookup::State::absent)
      return PlatformError{"the keyring cannot be reached"};
    auto secrets = kept();
    secrets[name] = secret;
    if (const char* file = std::getenv("TESSARON_SIM_KEYRING"); file && *file) {
      std::ofstream out(file, std::ios::trunc);
      for (const auto& [n, s] : secrets)
        out << n << '\t' << s << '\n';
    } else {
      desktop_.keyring.secrets = secrets;
    }
    return std::nullopt;
  }

 private:
  std::map<std::string, std::string> kept() const {
    const char* file = std::getenv("TESSARON_SIM_KEYRING");
    if (!file || !*file) return desktop_.keyring.secrets;
    std::map<std::string, std::string> secrets;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
      if (auto tab = line.find('\t'); tab != std::string::npos)
        secrets[line.substr(0, tab)] = line.substr(tab + 1);
    return secrets;
  }
  Desktop& desktop_;
};

class SimPlatform final : public Platform, public DesktopShell {
 public:
  explicit SimPlatform(Desktop& desktop)
      : windows_(desktop),
        pages_(desktop),
        workspace_(desktop),
        alerts_(desktop),
        statusBar_(desktop),
        loginItems_(desktop),
        grants_(desktop),
        keyring_(desktop),
        bundle_(desktop),
        processes_(desktop),
        clock_(desktop),
        mainQueue_(desktop) {}

  std::string_view name() const override { return "sim"; }
  WindowServer& windows() override { return windows_; }
  PageReader& pages() override { return pages_; }
  DesktopShell& shell() override { return *this; }
  Workspace& workspace() override { return workspace_; }
  Alerts& alerts() override { return alerts_; }
  StatusBar& statusBar() override { return statusBar_; }
  LoginItems& loginItems() override { return loginItems_; }
  Grants& grants() override { return grants_; }
  Keyring& keyring() override { return keyring_; }
  Installation& installation() override { return bundle_; }
  Preferences& preferences() override { return userDefaults_; }
  Processes& processes() override { return processes_; }
  Clock& clock() override { return clock_; }
  MainQueue& mainQueue() override { return mainQueue_; }

 private:
  SimWindowServer windows_;
  SimPageReader pages_;
  SimWorkspace workspace_;
  SimAlerts alerts_;
  SimStatusBar statusBar_;
  SimLoginItems loginItems_;
  SimGrants grants_;
  SimKeyring keyring_;
  SimBundle bundle_;
  SimUserDefaults userDefaults_;
  SimProcesses processes_;
  SimClock clock_;
  SimMainQueue mainQueue_;
};

}  // namespace

std::shared_ptr<Platform> Desktop::platform() {
  std::lock_guard lock(mutex_);
  if (!platform_) platform_ = std::make_unique<SimPlatform>(*this);
  return std::shared_ptr<Platform>(shared_from_this(), platform_.get());
}

void Desktop::pressMenuEntry(std::size_t index) {
  std::function<void()> press;
  {
    std::lock_guard lock(mutex_);
    if (index < statusItem_.entries.size()) press = statusItem_.entries[index].onPress;
  }
  if (press) platform()->mainQueue().post(std::move(press));
}

}  // namespace tessaron::platform::sim
