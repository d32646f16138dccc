// A private desktop for tests and the demo: a display server with its window manager (Xvfb and openbox, or
// a headless sway), a session bus with the accessibility bus, a loopback page server, and real Chromium and
// Firefox windows on pages of our own (native Wayland clients under sway).
//
// Everything it starts runs in a process group of its own and is stopped by that id when the session ends.
// Readiness is waited for by condition, never by a fixed sleep; what fails to start is named in the
// exception, with the end of its log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaron::testing {

namespace fs = std::filesystem;

struct SessionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The Tessaron.app the suites run: TESSARON_TEST_BUNDLE when set (a copy that a suite running as another
// user can reach), else the build's own.
fs::path bundleDirectory();

// Polls until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);
// How often `what` occurs in `text` (log lines, say).
std::size_t occurrences(const std::string& text, const std::string& what);

// Pages served on 127.0.0.1 at a free port. A page that includes `navigationScript()` follows
// `navigate(tag, path)` within a quarter of a second, tag being the first segment of its own path.
class PageServer {
 public:
  PageServer();
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  void add(const std::string& path, const std::string& html);
  std::string url(const std::string& path) const;
  void navigate(const std::string& tag, const std::string& path);
  static std::string navigationScript();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// X11 (Xvfb + openbox), or Wayland: sway on its headless backend with software rendering and a virtual
// keyboard (so that focus behaves as on a seat with one), GNOME Shell headless on a virtual monitor with
// PipeWire, the desktop portal and Tessaron's GNOME Shell extension switched on, or KWin (Plasma's
// compositor) on its virtual backend with PipeWire and KDE's desktop portal. sway refuses to run as root.
enum class DisplayServer { x11, sway, gnome, kde };

// How Chromium is started: with --force-renderer-accessibility (its pages on the bus from the start); as a
// desktop launcher starts it, without (its pages come only once a client asks for them); or so while the
// desktop's accessibility is off, switched on again once its window shows (it never joins the bus then).
enum class ChromiumStart { forcedAccessibility, asLaunched, beforeAccessibility };

class DesktopSession {
 public:
  // Starts the desktop in `folder` (which holds HOME, logs and browser profiles). Throws SessionError.
  // `clickHelper`, for KDE only: the program clickAt() runs, given the fake-input interface.
  explicit DesktopSession(fs::path folder, DisplayServer server = DisplayServer::x11,
                          fs::path clickHelper = {});
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // The environment a program of this desktop runs with (also set in this process).
  const std::map<std::string, std::string>& environment() const { return environment_; }
  const fs::path& folder() const { return folder_; }
  const fs::path& home() const { return home_; }
  PageServer& pages() { return pages_; }

  DisplayServer server() const { return server_; }

  // Starts a browser on the address and waits until its window shows the page through the window list and
  // accessibility.
  // Returns the browser's process id.
  // `profile` names the browser's profile folder and log; distinct profiles make distinct browser processes.
  // `options` go before the address ("--incognito", "-private-window").
  // As launched, only the window is waited for: asking for its page would switch the page's accessibles on.
  pid_t startChromium(const std::string& url, const std::string& expectedTitle,
                      const std::string& profile = "chromium", const std::vector<std::string>& options = {},
                      ChromiumStart how = ChromiumStart::forcedAccessibility);
  // `language` ("de", "fr") sets the language Firefox speaks, from its installed language packs.
  pid_t startFirefox(const std::string& url, const std::string& expectedTitle,
                     const std::string& profile = "firefox", const std::vector<std::string>& options = {},
                     const std::string& language = {});
  // GNOME Web (WebKitGTK) on the address, in a profile of its own, with everything that would reach beyond
  // loopback switched off.
  pid_t startEpiphany(const std::string& url, const std::string& expectedTitle,
                      const std::string& profile = "epiphany", const std::vector<std::string>& options = {});

  // Falkon or Konqueror (QtWebEngine) on the address. `pagesReadable` starts it with its pages offered to the
  // accessibility bus, as a person who followed the README's line for QtWebEngine browsers has it; without,
  // only the window is waited for.
  pid_t startQtWebEngineBrowser(const std::string& program, const std::string& url,
                                const std::string& expectedTitle, const std::string& name,
                                const std::vector<std::string>& options = {}, bool pagesReadable = true);

  // Starts tessaron on this desktop once port 5000 is free (a server that a previous run killed may hold it
  // a moment longer), with `extraEnvironment` over the desktop's. Throws SessionError when the port stays
  // taken.
  pid_t startTessaron(const std::string& name = "tessaron",
                      const std::map<std::string, std::string>& extraEnvironment = {});

  // Starts a program of this desktop, its output in <folder>/<name>.log; stopped with the session unless
  // stopped before.
  pid_t start(const std::string& name, const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& extraEnvironment = {});
  // Runs a short program of this desktop to its end (stopped after `limit`); its exit status.
  int run(const std::string& name, const std::vector<std::string>& argv, std::chrono::milliseconds limit);
  // Stops a program started here: SIGTERM to its group, SIGKILL after `grace`, then waits (bounded) until
  // nothing of its group is left. Returns its exit status (128 + signal when a signal ended it).
  int stop(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(5));
  bool running(pid_t pid);
  // The desktop's accessibility switch (org.a11y.Status IsEnabled); false when the call failed.
  bool switchAccessibility(bool on);
  std::string log(const std::string& name) const;

  // KDE: runs a KWin script once (loaded, run and unloaded through KWin's scripting interface); what it
  // prints goes to the end of log("kwin"), which is returned. Throws SessionError when KWin refuses it.
  std::string runKwinScript(const std::string& source);
  // KDE: a left click at the place in KWin's global coordinates, through KWin's fake-input interface, as a
  // person's pointer would: runs the click helper given to the session (arguments: --kwin-click x y), which
  // the session allowed that interface before KWin started.
  bool clickAt(int x, int y);

  // The address the page of a browser's window has, as the accessibility bus gives it; empty when none.
  std::string shownAddress(pid_t browser);

  // Kills every process group any session started and has not stopped yet. Async-signal-safe: for a signal
  // handler, so that an interrupted run leaves nothing behind.
  static void killAllNow();

 private:
  struct Process {
    std::string name;
    pid_t pid = 0;
    bool reaped = false;
    int status = -1;
  };
  void startDisplay();
  void startSway();
  void startGnome();
  void startKde();
  void startPipewire();
  void startBuses();
  void startWindowManager();
  [[noreturn]] void fail(const std::string& what, const std::string& logName);
  // A method call on the session bus through gdbus ("--dest", ...); whether it succeeded.
  bool sessionBusCall(const std::vector<std::string>& call);
  void waitForBrowser(pid_t pid, const std::string& name, const std::string& expectedTitle,
                      bool withAddress = true);

  fs::path folder_;
  fs::path home_;
  DisplayServer server_;
  fs::path clickHelper_;
  int kwinScripts_ = 0;
  fs::path resources_ = bundleDirectory() / "Contents/Resources";
  std::map<std::string, std::string> environment_;
  std::mutex processesMutex_;
  std::vector<Process> processes_;
  PageServer pages_;
};

}  // namespace tessaron::testing
