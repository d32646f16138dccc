#include "tests/desktop_session.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/freedesktop/atspi.h"
#include "platform/wayland/gnome_shell_places.h"
#include "platform/wayland/kwin_script_places.h"
#include "platform/wayland/wayland_windows.h"
#include "platform/x11/x11_windows.h"
#include "tests/process_harness.h"

namespace tessaron::testing {

using namespace std::chrono_literals;

fs::path bundleDirectory() {
  const char* copy = std::getenv("TESSARON_TEST_BUNDLE");
  return copy && *copy ? fs::path(copy) : fs::path(TESSARON_BUNDLE_DIR);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

namespace {

std::string lastLines(const std::string& text, int count) {
  std::size_t start = text.size();
  for (int i = 0; i <= count && start > 0; ++i) {
    const std::size_t newline = text.rfind('\n', start - 1);
    if (newline == std::string::npos) return text;
    start = newline;
  }
  return text.substr(std::min(start + 1, text.size()));
}

// Process groups started and not yet stopped, for killAllNow; slots are claimed and released atomically.
constexpr std::size_t maxGroups = 64;
std::atomic<pid_t> liveGroups[maxGroups];

void rememberGroup(pid_t pid) {
  for (auto& slot : liveGroups) {
    pid_t empty = 0;
    if (slot.compare_exchange_strong(empty, pid)) return;
  }
}

void forgetGroup(pid_t pid) {
  for (auto& slot : liveGroups) {
    pid_t expected = pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

// The bus services a test desktop may start: settings, and GNOME's shell helpers and desktop portal. Anything
// else the machine has installed (a file manager that answers ShowItems, another desktop's portal) stays out,
// so the tests see the same desktop on every machine. The accessibility bus is not among them: the session
// starts its launcher itself, and a second one started by the bus for an early call would take its name.
bool allowedBusService(const std::string& name) {
  for (const char* exact :
       {"ca.desrt.dconf", "org.gnome.ScreenSaver", "org.freedesktop.impl.portal.PermissionStore",
        "org.freedesktop.impl.portal.desktop.gnome", "org.freedesktop.impl.portal.desktop.gtk",
        "org.freedesktop.impl.portal.desktop.kde"})
    if (name == exact) return true;
  // The document portal mounts a file system in the runtime folder, which a killed one leaves behind.
  if (name == "org.freedesktop.portal.Documents") return false;
  return name.starts_with("org.freedesktop.portal.") || name.starts_with("org.gnome.Shell.");
}

// A bus configuration of the session's own, listening on `socket`: the session bus's policy, with only the
// services of the system's service folder that `allowed` accepts.
fs::path writeBusConfig(const fs::path& folder, const std::string& name, const fs::path& socket,
                        const std::function<bool(const std::string&)>& allowed) {
  const fs::path services = folder / (name + "-services");
  fs::create_directories(services);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/share/dbus-1/services", ec)) {
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line))
      if (line.starts_with("Name=")) {
        if (allowed(line.substr(5))) fs::copy_file(entry.path(), services / entry.path().filename(), ec);
        break;
      }
  }
  const fs::path config = folder / (name + ".conf");
  std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=)" << socket.string()
                        << R"(</listen>
  <auth>EXTERNAL</auth>
  <servicedir>)" << services.string()
                        << R"(</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
  return config;
}

}  // namespace

void DesktopSession::killAllNow() {
  for (auto& slot : liveGroups)
    if (const pid_t pid = slot.load(); pid > 0) ::kill(-pid, SIGKILL);
}

struct PageServer::State {
  httplib::Server server;
  int port = 0;
  std::thread thread;
  std::mutex mutex;
  std::map<std::string, std::string> pages;
  std::map<std::string, std::string> pending;  // tag -> path to go to
};

PageServer::PageServer() : state_(std::make_shared<State>()) {
  // The handlers belong to the server, which belongs to the state: they refer to it without owning it.
  State* state = state_.get();
  state->server.Get("/next", [state](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(state->mutex);
    std::string target;
    if (auto it = state->pending.find(request.get_param_value("tag")); it != state->pending.end()) {
      target = it->second;
      state->pending.erase(it);
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content(target, "text/plain");
  });
  state->server.Get(".*", [state](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(state->mutex);
    auto it = state->pages.find(request.path);
    if (it == state->pages.end()) {
      response.status = 404;
      return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content(it->second, "text/html; charset=utf-8");
  });
  state->port = state->server.bind_to_any_port("127.0.0.1");
  if (state->port <= 0) throw SessionError("desktop session: the page server cannot bind to 127.0.0.1");
  state->thread = std::thread([state] { state->server.listen_after_bind(); });
  if (!waitFor([&] { return state->server.is_running(); }, 5s))
    throw SessionError("desktop session: the page server did not start");
}

PageServer::~PageServer() {
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

void PageServer::add(const std::string& path, const std::string& html) {
  std::lock_guard lock(state_->mutex);
  state_->pages[path] = html;
}

std::string PageServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(state_->port) + path;
}

void PageServer::navigate(const std::string& tag, const std::string& path) {
  std::lock_guard lock(state_->mutex);
  state_->pending[tag] = path;
}

std::string PageServer::navigationScript() {
  return "<script>(function(){var tag=location.pathname.split('/')[1];"
         "setInterval(function(){fetch('/next?tag='+tag).then(function(r){return r.text();})"
         ".then(function(t){if(t)location.href=t;}).catch(function(){});},250);})();</script>";
}

// Absolute paths: HOME and profile folders are handed to programs that may change their working folder.
DesktopSession::DesktopSession(fs::path folder, DisplayServer server, fs::path clickHelper)
    : folder_(fs::absolute(std::move(folder))),
      home_(folder_ / "home"),
      server_(server),
      clickHelper_(std::move(clickHelper)) {
  // What a killed program leaves behind (a browser's helpers, tessaron's server) comes to this process, so
  // stop() can reap it and know when it is gone.
  adoptOrphans();
  fs::remove_all(folder_);
  fs::create_directories(home_);
  environment_ = {{"HOME", home_.string()},
                  {"XDG_CONFIG_HOME", (home_ / ".config").string()},
                  {"XDG_CACHE_HOME", (home_ / ".cache").string()},
                  {"XDG_DATA_HOME", (home_ / ".local/share").string()},
                  {"XDG_RUNTIME_DIR", (folder_ / "runtime").string()},
                  {"GNOME_ACCESSIBILITY", "1"},
                  {"NO_AT_BRIDGE", "0"}};
  fs::create_directories(folder_ / "runtime");
  fs::permissions(folder_ / "runtime", fs::perms::owner_all);
  // The desktops' suites check what is captured; the sealed archive's suite seals its own.
  fs::create_directories(home_ / ".config" / "tessaron");
  std::ofstream(home_ / ".config" / "tessaron" / "settings.json") << R"({"encryptArchive": false})";
  try {
    if (server_ == DisplayServer::x11) {
      startDisplay();
      startBuses();
      startWindowManager();
    } else if (server_ == DisplayServer::sway) {
      startBuses();
      startSway();
    } else if (server_ == DisplayServer::gnome) {
      startBuses();
      startGnome();
    } else {
      startBuses();
      startKde();
    }
  } catch (...) {
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it)
      stop(it->pid, 2s);
    throw;
  }
}

DesktopSession::~DesktopSession() {
  std::vector<pid_t> pids;
  {
    std::lock_guard lock(processesMutex_);
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it)
      if (!it->reaped) pids.push_back(it->pid);
  }
  for (pid_t pid : pids)
    stop(pid);
}

pid_t DesktopSession::start(const std::string& name, const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& extraEnvironment) {
  std::map<std::string, std::string> overrides = environment_;
  for (const auto& [key, value] : extraEnvironment)
    overrides[key] = value;
  const SpawnArguments spawn(argv, overrides);

  const fs::path logFile = folder_ / (name + ".log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  // A group of its own, so that stopping it also stops whatever it started (renderers, bus daemons).
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, spawn.argv()[0], &actions, &attributes, spawn.argv(), spawn.envp());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0)
    throw SessionError("desktop session: cannot start " + name + " (" + argv[0] + "): " + std::strerror(rc));
  rememberGroup(pid);
  std::lock_guard lock(processesMutex_);
  processes_.push_back({name, pid});
  return pid;
}

int DesktopSession::run(const std::string& name, const std::vector<std::string>& argv,
                        std::chrono::milliseconds limit) {
  const pid_t pid = start(name, argv);
  waitFor([&] { return !running(pid); }, limit);
  return stop(pid, 1s);
}

bool DesktopSession::running(pid_t pid) {
  std::lock_guard lock(processesMutex_);
  for (auto& process : processes_) {
    if (process.pid != pid) continue;
    if (process.reaped) return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      process.reaped = true;
      process.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return false;
    }
    return true;
  }
  return false;
}

int DesktopSession::stop(pid_t pid, std::chrono::milliseconds grace) {
  if (running(pid)) {
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    if (!waitFor([&] { return !running(pid); }, grace)) {
      ::kill(-pid, SIGKILL);
      waitFor([&] { return !running(pid); }, 5s);
    }
  }
  // Whatever the program left behind in its group goes too, and is gone before this returns: a server still
  // on its port, say, would be taken for the next test's.
  ::kill(-pid, SIGKILL);
  waitFor(
      [&] {
        if (running(pid)) return false;  // the leader's status is running()'s to take
        while (::waitpid(-pid, nullptr, WNOHANG) > 0) {
        }
        return ::kill(-pid, 0) != 0 && errno == ESRCH;
      },
      5s);
  forgetGroup(pid);
  std::lock_guard lock(processesMutex_);
  for (const auto& process : processes_)
    if (process.pid == pid) return process.status;
  return -1;
}

pid_t DesktopSession::startTessaron(const std::string& name,
                                    const std::map<std::string, std::string>& extraEnvironment) {
  if (!portFreed(5000, 30s))
    throw SessionError("desktop session: port 5000 is still taken, so tessaron's server could not start");
  return start(name, {(bundleDirectory() / "Contents/MacOS/tessaron").string()}, extraEnvironment);
}

std::string DesktopSession::log(const std::string& name) const {
  return slurp(folder_ / (name + ".log"));
}

void DesktopSession::fail(const std::string& what, const std::string& logName) {
  throw SessionError("desktop session: " + what + "\n--- end of " + logName + ".log ---\n" +
                     lastLines(log(logName), 15));
}

void DesktopSession::startDisplay() {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) throw SessionError("desktop session: pipe failed");
  // Xvfb picks a free display itself and writes its number once it accepts connections. The write end is
  // inherited as descriptor 3 without close-on-exec.
  const int inherited = ::fcntl(ready[1], F_DUPFD, 3);
  const pid_t xvfb = start("xvfb", {"Xvfb", "-displayfd", std::to_string(inherited), "-screen", "0",
                                    "1920x1080x24", "-nolisten", "tcp", "-noreset", "-ac"});
  ::close(inherited);
  ::close(ready[1]);
  std::string number;
  pollfd waiting{ready[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && ::poll(&waiting, 1, 15000) > 0) {
    char buffer[16];
    const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ready[0]);
  if (number.empty() || !running(xvfb)) fail("Xvfb did not start", "xvfb");
  number.erase(number.find_last_not_of("\n") + 1);
  environment_["DISPLAY"] = ":" + number;
  ::setenv("DISPLAY", environment_["DISPLAY"].c_str(), 1);
}

void DesktopSession::startSway() {
  const fs::path config = folder_ / "sway.config";
  std::ofstream(config) << "output HEADLESS-1 resolution 1600x1000 position 0 0\n"
                           "xwayland disable\n"
                           "default_border none\n";
  const fs::path runtime = environment_["XDG_RUNTIME_DIR"];
  const pid_t sway =
      start("sway", {"sway", "-c", config.string()},
            {{"WLR_BACKENDS", "headless"}, {"WLR_LIBINPUT_NO_DEVICES", "1"}, {"WLR_RENDERER", "pixman"}});
  auto socketNamed = [&](const std::string& prefix, const std::string& suffix) -> std::string {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtime, ec)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_socket() && name.starts_with(prefix) && name.ends_with(suffix))
        return entry.path().string();
    }
    return {};
  };
  if (!waitFor(
          [&] {
            return !running(sway) ||
                   (!socketNamed("wayland-", "").empty() && !socketNamed("sway-ipc.", ".sock").empty());
          },
          20s) ||
      !running(sway))
    fail("sway did not start", "sway");
  environment_["WAYLAND_DISPLAY"] = fs::path(socketNamed("wayland-", "")).filename().string();
  environment_["SWAYSOCK"] = socketNamed("sway-ipc.", ".sock");
  environment_["XDG_SESSION_TYPE"] = "wayland";
  environment_["XDG_CURRENT_DESKTOP"] = "sway";
  environment_["MOZ_ENABLE_WAYLAND"] = "1";
  ::unsetenv("DISPLAY");
  for (const auto& [key, value] : environment_)
    ::setenv(key.c_str(), value.c_str(), 1);
  // A keyboard on the seat, held for the session: without one, no window is ever focused.
  start("keyboard", {"wtype", "-s", "86400000", "-M", "shift", "-m", "shift"});
}

void DesktopSession::startGnome() {
  // gnome-shell asks logind on the system bus whenever /run/systemd/seats exists: a private, empty one
  // answers it.
  const fs::path systemBus = folder_ / "system-bus";
  const fs::path systemConfig =
      writeBusConfig(folder_, "system-bus", systemBus, [](const std::string&) { return false; });
  const pid_t system = start(
      "system-bus", {"dbus-daemon", "--config-file=" + systemConfig.string(), "--nofork", "--nosyslog"});
  if (!waitFor([&] { return fs::exists(systemBus) || !running(system); }, 10s) || !running(system))
    fail("the private system bus did not start", "system-bus");
  environment_["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + systemBus.string();
  environment_["XDG_SESSION_TYPE"] = "wayland";
  environment_["XDG_CURRENT_DESKTOP"] = "GNOME";
  environment_["WAYLAND_DISPLAY"] = "wayland-0";
  environment_["MOZ_ENABLE_WAYLAND"] = "1";
  ::unsetenv("DISPLAY");
  for (const auto& [key, value] : environment_)
    ::setenv(key.c_str(), value.c_str(), 1);

  startPipewire();

  // Tessaron's extension, as Tessaron installs it, switched on before the shell starts (it loads extensions
  // only when it starts).
  platform::wayland::GnomeShellPlaces(resources_ / "gnome-shell-extension").install();
  // A headless shell starts in the overview, which a person would leave with a click: a test extension
  // leaves it once the shell has started.
  const fs::path leaver = home_ / ".local/share/gnome-shell/extensions/leave-overview@tests.tessaron";
  fs::create_directories(leaver);
  std::ofstream(leaver / "metadata.json")
      << R"({"uuid": "leave-overview@tests.tessaron", "name": "Leave the overview", "description": "tests",
             "shell-version": ["42", "43", "44"], "version": 1})";
  std::ofstream(leaver / "extension.js") << R"(const Main = imports.ui.main;
function init() {
  return {
    enable() {
      const leave = () => Main.overview.hide();
      if (Main.layoutManager._startingUp)
        this._id = Main.layoutManager.connect('startup-complete', leave);
      else
        leave();
    },
    disable() {},
  };
})";
  run("gsettings",
      {"gsettings", "set", "org.gnome.shell", "enabled-extensions",
       std::string("['") + platform::wayland::gnomeExtensionUuid + "', 'leave-overview@tests.tessaron']"},
      10s);
  const pid_t shell =
      start("gnome-shell", {"gnome-shell", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                            "1600x1000", "--wayland-display", "wayland-0"});
  platform::wayland::GnomeShellPlaces places(resources_ / "gnome-shell-extension");
  if (!waitFor([&] { return !running(shell) || places.windows().has_value(); }, 60s) || !running(shell))
    fail("GNOME Shell did not start with Tessaron's extension", "gnome-shell");
}

void DesktopSession::startPipewire() {
  const fs::path runtime = environment_["XDG_RUNTIME_DIR"];
  const pid_t pipewire = start("pipewire", {"pipewire"});
  if (!waitFor([&] { return fs::exists(runtime / "pipewire-0") || !running(pipewire); }, 10s) ||
      !running(pipewire))
    fail("PipeWire did not start", "pipewire");
  start("wireplumber", {"wireplumber"});
}

void DesktopSession::startKde() {
  environment_["XDG_SESSION_TYPE"] = "wayland";
  environment_["XDG_CURRENT_DESKTOP"] = "KDE";
  environment_["KDE_FULL_SESSION"] = "true";
  environment_["KDE_SESSION_VERSION"] = "5";
  environment_["WAYLAND_DISPLAY"] = "wayland-0";
  environment_["MOZ_ENABLE_WAYLAND"] = "1";
  // The portal's dialog is a Qt program: on Wayland, and on the accessibility bus so a test can read it.
  environment_["QT_QPA_PLATFORM"] = "wayland";
  environment_["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
  environment_["QT_ACCESSIBILITY"] = "1";
  ::unsetenv("DISPLAY");
  for (const auto& [key, value] : environment_)
    ::setenv(key.c_str(), value.c_str(), 1);
  // The portal and its KDE backend are started by the bus, which must tell them they are on Plasma.
  std::string activation = "{";
  for (const char* key :
       {"XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION", "KDE_SESSION_VERSION",
        "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "QT_ACCESSIBILITY"})
    activation +=
        std::string(activation.size() > 1 ? ", " : "") + "'" + key + "': '" + environment_[key] + "'";
  if (!sessionBusCall({"--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus", "--method",
                       "org.freedesktop.DBus.UpdateActivationEnvironment", activation + "}"}))
    fail("cannot set the bus's activation environment", "gdbus");
  startPipewire();

  // KWin gives its fake-input interface only to programs a desktop file names with
  // X-KDE-Wayland-Interfaces, read from KDE's service cache: written and cached before KWin starts.
  if (!clickHelper_.empty()) {
    const fs::path applications = home_ / ".local/share/applications";
    fs::create_directories(applications);
    std::ofstream(applications / "tessaron-tests-click.desktop")
        << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tessaron tests' pointer\n"
           "Exec="
        << fs::canonical(clickHelper_).string()
        << "\nNoDisplay=true\n"
           "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n";
    if (run("kbuildsycoca5", {"kbuildsycoca5"}, 30s) != 0) fail("kbuildsycoca5 failed", "kbuildsycoca5");
  }

  // kwin_wayland carries a file capability (cap_sys_resource) that a container's bounding set may lack, and
  // then it cannot be executed at all: a plain copy has none and runs the same.
  const fs::path kwin = folder_ / "kwin_wayland";
  fs::copy_file("/usr/bin/kwin_wayland", kwin, fs::copy_options::overwrite_existing);
  fs::permissions(kwin, fs::perms::owner_all);
  const pid_t compositor =
      start("kwin",
            {kwin.string(), "--virtual", "--width", "1600", "--height", "1000", "--socket", "wayland-0",
             "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities"},
            {{"QT_QPA_PLATFORM", ""}});
  platform::wayland::KwinScriptPlaces places;
  if (!waitFor([&] { return !running(compositor) || places.windows().has_value(); }, 60s) ||
      !running(compositor))
    fail("KWin did not start, or does not answer its scripting interface", "kwin");
}

std::string DesktopSession::runKwinScript(const std::string& source) {
  const std::string name = "tessaron-tests-" + std::to_string(++kwinScripts_);
  const fs::path file = folder_ / (name + ".js");
  std::ofstream(file) << source;
  const std::size_t before = log("kwin").size();
  if (run(name,
          {"gdbus", "call", "--session", "--dest", "org.kde.KWin", "--object-path", "/Scripting", "--method",
           "org.kde.kwin.Scripting.loadScript", file.string(), name},
          10s) != 0)
    fail("KWin did not load a script", name);
  std::string id = log(name);
  id.erase(std::remove_if(id.begin(), id.end(),
                          [](char c) { return !std::isdigit(static_cast<unsigned char>(c)); }),
           id.end());
  // Plasma 5 names a loaded script /<id>, Plasma 6 /Scripting/Script<id>.
  bool ran = false;
  for (const std::string& path : {"/" + id, "/Scripting/Script" + id})
    if (!ran)
      ran = sessionBusCall(
          {"--dest", "org.kde.KWin", "--object-path", path, "--method", "org.kde.kwin.Script.run"});
  sessionBusCall({"--dest", "org.kde.KWin", "--object-path", "/Scripting", "--method",
                  "org.kde.kwin.Scripting.unloadScript", name});
  if (!ran) fail("KWin did not run a script", "kwin");
  const std::string after = log("kwin");
  return after.size() > before ? after.substr(before) : std::string();
}

bool DesktopSession::clickAt(int x, int y) {
  return run("click", {clickHelper_.string(), "--kwin-click", std::to_string(x), std::to_string(y)}, 10s) ==
         0;
}

void DesktopSession::startBuses() {
  const fs::path socket = folder_ / "session-bus";
  const std::string address = "unix:path=" + socket.string();
  const fs::path config = writeBusConfig(folder_, "session-bus", socket, allowedBusService);
  const pid_t bus =
      start("dbus", {"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nosyslog"});
  if (!waitFor([&] { return fs::exists(socket) || !running(bus); }, 10s) || !running(bus))
    fail("the session bus (dbus-daemon) did not start", "dbus");
  environment_["DBUS_SESSION_BUS_ADDRESS"] = address;
  for (const auto& [key, value] : environment_)
    ::setenv(key.c_str(), value.c_str(), 1);

  const pid_t launcher = start("atspi", {"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"});
  auto answers = [&](const std::vector<std::string>& call) { return sessionBusCall(call); };
  const std::vector<std::string> getAddress = {"--dest",        "org.a11y.Bus", "--object-path",
                                               "/org/a11y/bus", "--method",     "org.a11y.Bus.GetAddress"};
  if (!waitFor([&] { return !running(launcher) || answers(getAddress); }, 15s) || !running(launcher))
    fail("the accessibility bus (at-spi-bus-launcher) did not start", "atspi");
  // Browsers expose their pages only when the desktop's accessibility switch is on as they start.
  if (!switchAccessibility(true)) fail("cannot switch accessibility on (org.a11y.Status IsEnabled)", "gdbus");
}

bool DesktopSession::sessionBusCall(const std::vector<std::string>& call) {
  std::vector<std::string> argv = {"gdbus", "call", "--session"};
  argv.insert(argv.end(), call.begin(), call.end());
  return run("gdbus", argv, 5s) == 0;
}

bool DesktopSession::switchAccessibility(bool on) {
  return sessionBusCall({"--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus", "--method",
                         "org.freedesktop.DBus.Properties.Set", "org.a11y.Status", "IsEnabled",
                         on ? "<true>" : "<false>"});
}

void DesktopSession::startWindowManager() {
  const pid_t openbox = start("openbox", {"openbox", "--sm-disable"});
  auto managed = [&] {
    xcb_connection_t* connection = xcb_connect(environment_["DISPLAY"].c_str(), nullptr);
    bool found = false;
    if (!xcb_connection_has_error(connection)) {
      const char name[] = "_NET_SUPPORTING_WM_CHECK";
      xcb_intern_atom_reply_t* atom =
          xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
      xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
      if (atom) {
        xcb_get_property_reply_t* property = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
        found = property && xcb_get_property_value_length(property) == 4;
        std::free(property);
        std::free(atom);
      }
    }
    xcb_disconnect(connection);
    return found;
  };
  if (!waitFor([&] { return !running(openbox) || managed(); }, 15s) || !running(openbox))
    fail("the window manager (openbox) did not start", "openbox");
  // The manager announces itself before it takes new windows in, and a window mapped in between stays
  // unmanaged: map probe windows until one is managed.
  xcb_connection_t* connection = xcb_connect(environment_["DISPLAY"].c_str(), nullptr);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  const char name[] = "_NET_CLIENT_LIST";
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
  auto managedNow = [&](xcb_window_t window) {
    if (!atom) return false;
    xcb_get_property_reply_t* list = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, screen->root, atom->atom, XCB_ATOM_WINDOW, 0, 1024),
        nullptr);
    bool found = false;
    if (list) {
      const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(list));
      const int count = xcb_get_property_value_length(list) / 4;
      found = std::find(ids, ids + count, window) != ids + count;
    }
    std::free(list);
    return found;
  };
  bool managing = false;
  for (int attempt = 0; attempt < 15 && !managing; ++attempt) {
    const xcb_window_t probe = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(connection, probe);
    xcb_flush(connection);
    managing = waitFor([&] { return managedNow(probe); }, 1s);
    xcb_destroy_window(connection, probe);
    xcb_flush(connection);
  }
  std::free(atom);
  xcb_disconnect(connection);
  if (!managing) fail("the window manager (openbox) does not manage new windows", "openbox");
}

std::string DesktopSession::shownAddress(pid_t browser) {
  static platform::freedesktop::AtspiPages pages;
  const platform::Browser* known = platform::browserOfProcess(browser);
  if (!known) return {};
  // What the browser shows, private windows included (the page reader passes over marked frames).
  platform::Browser everyWindow = *known;
  everyWindow.privateWindows = platform::PrivateWindows::none;
  auto windows = pages.windowsOf(browser, everyWindow);
  if (!windows) return {};
  for (const auto& window : *windows)
    if (auto page = window->page()) return page->address;
  return {};
}

void DesktopSession::waitForBrowser(pid_t pid, const std::string& name, const std::string& expectedTitle,
                                    bool withAddress) {
  std::unique_ptr<platform::WindowServer> windows;
  if (server_ == DisplayServer::x11)
    windows = std::make_unique<platform::x11::X11WindowServer>(platform::freedesktop::ApplicationFacts{});
  else
    windows = std::make_unique<platform::wayland::WaylandWindowServer>(
        platform::freedesktop::ApplicationFacts{}, resources_);
  auto shown = [&] {
    auto content = windows->shareableContent();
    if (!content) return false;
    for (const auto& window : content.value())
      if (window.owningApplication && window.owningApplication->processId == pid && window.title &&
          window.title->find(expectedTitle) != std::string::npos)
        return true;
    return false;
  };
  if (!waitFor([&] { return !running(pid) || (shown() && (!withAddress || !shownAddress(pid).empty())); },
               60s) ||
      !running(pid))
    fail(name + " did not show \"" + expectedTitle +
             "\" through the window list and accessibility within 60 s",
         name);
}

pid_t DesktopSession::startChromium(const std::string& url, const std::string& expectedTitle,
                                    const std::string& profile, const std::vector<std::string>& options,
                                    ChromiumStart how) {
  const std::string& name = profile;
  // The binary itself: the /usr/bin wrapper trips over a doubled /dev/shm mount. Without a user namespace
  // (containers, root) the sandbox cannot start.
  std::vector<std::string> argv{"/usr/lib/chromium/chromium",
                                "--no-sandbox",
                                "--no-first-run",
                                "--no-default-browser-check",
                                "--disable-background-networking",
                                "--disable-component-update",
                                "--disable-sync",
                                "--disable-gpu",
                                "--disable-dev-shm-usage",
                                "--password-store=basic",
                                "--user-data-dir=" + (folder_ / profile).string()};
  if (how == ChromiumStart::forcedAccessibility) argv.push_back("--force-renderer-accessibility");
  std::map<std::string, std::string> environment;
  if (how == ChromiumStart::beforeAccessibility) {
    if (!switchAccessibility(false)) fail("cannot switch accessibility off", "gdbus");
    environment["GNOME_ACCESSIBILITY"] = "0";
  }

  // Under sway the compositor places and sizes windows itself; GNOME places them, in the size asked for.
  if (server_ == DisplayServer::x11) {
    argv.push_back("--window-position=0,0");
    argv.push_back("--window-size=1000,800");
  } else {
    argv.push_back("--ozone-platform=wayland");
    if (server_ == DisplayServer::gnome || server_ == DisplayServer::kde)
      argv.push_back("--window-size=780,900");
  }
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url);
  const pid_t pid = start(name, argv, environment);
  waitForBrowser(pid, name, expectedTitle, how == ChromiumStart::forcedAccessibility);
  if (how == ChromiumStart::beforeAccessibility && !switchAccessibility(true))
    fail("cannot switch accessibility on again", "gdbus");
  return pid;
}

pid_t DesktopSession::startFirefox(const std::string& url, const std::string& expectedTitle,
                                   const std::string& profileName, const std::vector<std::string>& options,
                                   const std::string& language) {
  const std::string& name = profileName;
  const fs::path profile = folder_ / profileName;
  fs::create_directories(profile);
  std::ofstream(profile / "user.js") << R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("startup.homepage_welcome_url", "");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.enabled", false);
user_pref("browser.tabs.warnOnClose", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("accessibility.force_disabled", -1);
)";
  if (!language.empty())
    std::ofstream(profile / "user.js", std::ios::app)
        << "user_pref(\"intl.locale.requested\", \"" << language << "\");\n"
        << "user_pref(\"extensions.autoDisableScopes\", 0);\n";
  // GNOME places a window in the size it was last closed with.
  if (server_ == DisplayServer::gnome || server_ == DisplayServer::kde)
    std::ofstream(profile / "xulstore.json")
        << R"({"chrome://browser/content/browser.xhtml":{"main-window":{"width":"780","height":"900","sizemode":"normal"}}})";
  std::vector<std::string> argv{"firefox-esr", "-no-remote", "-profile", profile.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url);
  const pid_t pid = start(name, argv);
  waitForBrowser(pid, name, expectedTitle);
  return pid;
}

pid_t DesktopSession::startEpiphany(const std::string& url, const std::string& expectedTitle,
                                    const std::string& profile, const std::vector<std::string>& options) {
  // Its content blocker and safe browsing fetch lists from the network; the suites touch loopback only.
  for (const auto& [schema, key] : std::vector<std::pair<std::string, std::string>>{
           {"org.gnome.Epiphany.web:/org/gnome/epiphany/web/", "enable-adblock"},
           {"org.gnome.Epiphany.web:/org/gnome/epiphany/web/", "enable-safe-browsing"},
           {"org.gnome.Epiphany", "use-google-search-suggestions"},
           {"org.gnome.Epiphany", "ask-for-default"}}) {
    if (run("gsettings", {"gsettings", "set", schema, key, "false"}, 10s) != 0)
      fail("cannot set " + schema + " " + key, "gsettings");
  }
  const fs::path folder = folder_ / profile;
  fs::create_directories(folder);
  // WebKit's web process sandbox needs user namespaces, which containers and root often lack.
  std::vector<std::string> argv{"epiphany", "--profile=" + folder.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url);
  const pid_t pid = start(profile, argv, {{"WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1"}});
  waitForBrowser(pid, profile, expectedTitle);
  return pid;
}

pid_t DesktopSession::startQtWebEngineBrowser(const std::string& program, const std::string& url,
                                              const std::string& expectedTitle, const std::string& name,
                                              const std::vector<std::string>& options, bool pagesReadable) {
  // Falkon's content blocker fetches its lists from the network on first start; the suites touch loopback
  // only.
  const fs::path falkonSettings = home_ / ".config/falkon/profiles/default/settings.ini";
  if (program == "falkon" && !fs::exists(falkonSettings)) {
    fs::create_directories(falkonSettings.parent_path());
    std::ofstream(falkonSettings) << "[AdBlock]\nenabled=false\n\n[SearchEngines]\nshowSuggestions=false\n";
  }
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url);
  // Chromium's sandbox needs user namespaces, which containers and root often lack.
  std::map<std::string, std::string> environment{{"QTWEBENGINE_DISABLE_SANDBOX", "1"}};
  if (pagesReadable) environment["QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY"] = "1";
  const pid_t pid = start(name, argv, environment);
  // qutebrowser's windows are no frames on the bus, so only the window is waited for.
  waitForBrowser(pid, name, expectedTitle, pagesReadable && program != "qutebrowser");
  return pid;
}

}  // namespace tessaron::testing
