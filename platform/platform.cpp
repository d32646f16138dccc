#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "platform/sim/sim_scenario.h"

#if TESSARON_HAVE_X11
#include "platform/x11/x11_platform.h"
#endif
#if TESSARON_HAVE_WAYLAND
#include "platform/wayland/wayland_platform.h"
#endif

namespace tessaron::platform {

namespace {
std::mutex installMutex;
std::shared_ptr<Platform> installed;
}  // namespace

namespace {
std::string_view orEmpty(const char* value) {
  return value ? std::string_view(value) : std::string_view();
}
}  // namespace

std::string backendForSession(const SessionEnvironment& session) {
  if (!session.platform.empty()) return std::string(session.platform);
  if (!session.waylandDisplay.empty() || session.sessionType == "wayland") return "wayland";
  if (!session.display.empty()) return "x11";
  throw SelectionError{
      "No desktop session to capture: neither WAYLAND_DISPLAY (a Wayland session) nor DISPLAY (an X11 "
      "session) is set. Start tessaron from within the desktop session, or set TESSARON_PLATFORM to "
      "\"wayland\", \"x11\" or \"sim\".",
      1};
}

std::shared_ptr<Platform> createPlatformFromEnvironment() {
  const std::string name =
      backendForSession({orEmpty(std::getenv("TESSARON_PLATFORM")), orEmpty(std::getenv("WAYLAND_DISPLAY")),
                         orEmpty(std::getenv("XDG_SESSION_TYPE")), orEmpty(std::getenv("DISPLAY"))});
  if (name == "sim") {
    const char* scenario = std::getenv("TESSARON_SCENARIO");
    if (!scenario || !*scenario)
      throw SelectionError{"sim: TESSARON_SCENARIO does not name a scenario file", 2};
    try {
      auto desktop = sim::loadScenario(scenario);
      // The platform keeps the desktop alive; the desktop refers back to it only weakly.
      return desktop->platform();
    } catch (const sim::ScenarioError& e) {
      throw SelectionError{std::string("sim: ") + e.what(), 2};
    }
  }
  if (name == "x11") {
#if TESSARON_HAVE_X11
    return x11::create();
#else
    throw SelectionError{
        "x11: this build has no X11 backend (configure with TESSARON_BACKENDS containing x11)", 1};
#endif
  }
  if (name == "wayland") {
#if TESSARON_HAVE_WAYLAND
    return wayland::create();
#else
    throw SelectionError{
        "wayland: this build has no Wayland backend (configure with TESSARON_BACKENDS containing wayland)",
        1};
#endif
  }
  throw SelectionError{"TESSARON_PLATFORM=" + name + " names no backend; use \"wayland\", \"x11\" or \"sim\"",
                       2};
}

Platform& current() {
  std::lock_guard lock(installMutex);
  if (!installed) throw std::logic_error("no platform installed");
  return *installed;
}

void install(std::shared_ptr<Platform> platform) {
  std::lock_guard lock(installMutex);
  installed = std::move(platform);
}

namespace {
std::mutex noticeMutex;
std::function<void(const std::string&)> noticeHandler;
}  // namespace

void setNoticeHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard lock(noticeMutex);
  noticeHandler = std::move(handler);
}

void notice(const std::string& text) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard lock(noticeMutex);
    handler = noticeHandler;
  }
  if (handler)
    handler(text);
  else
    std::fprintf(stderr, "tessaron: %s\n", text.c_str());
}

ScopedPlatform::ScopedPlatform(std::shared_ptr<Platform> platform) {
  std::lock_guard lock(installMutex);
  previous_ = std::exchange(installed, std::move(platform));
}

ScopedPlatform::~ScopedPlatform() {
  std::lock_guard lock(installMutex);
  installed = std::move(previous_);
}

}  // namespace tessaron::platform
