#include "platform/wayland/wayland_windows.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "platform/freedesktop/window_owners.h"
#include "platform/platform.h"
#include "platform/wayland/gnome_shell_places.h"
#include "platform/wayland/kwin_script_places.h"
#include "platform/wayland/portal_screencast.h"
#include "platform/wayland/screencopy.h"
#include "platform/wayland/sway_ipc.h"

namespace tessaron::platform::wayland {

namespace {

// The widest shadow a client draws around its window that a frame may carry.
constexpr double maximumShadow = 64;

// How much bigger the frame is than the window, all round; nothing when it is smaller or bigger than any
// shadow. Shadows need not be even: Chromium's on GNOME is 10 px at the sides and 23 px over the height.
std::optional<double> shadowAround(const Rect& extents, const Rect& window) {
  const double horizontal = extents.width - window.width;
  const double vertical = extents.height - window.height;
  if (horizontal < 0 || vertical < 0 || horizontal > 2 * maximumShadow || vertical > 2 * maximumShadow)
    return std::nullopt;
  return horizontal + vertical;
}

const CompositorWindow* findListed(const std::vector<CompositorWindow>& windows, std::uint32_t id) {
  auto it = std::find_if(windows.begin(), windows.end(), [&](const auto& window) { return window.id == id; });
  return it == windows.end() ? nullptr : &*it;
}

// The window as `windows` shows it, when it is there in the place it was described in and uncovered.
Outcome<CompositorWindow> placedUncovered(const std::vector<CompositorWindow>& windows,
                                          const WindowDescription& window) {
  const CompositorWindow* now = findListed(windows, window.windowID);
  if (!now) return PlatformError{"Wayland: the window is no longer shown"};
  if (now->frame != window.frame) return PlatformError{"Wayland: the window moved"};
  if (!now->coveredBy.empty()) return PlatformError{"Wayland: another window covers part of the window"};
  return *now;
}

}  // namespace

std::optional<Rect> placeFrame(const std::vector<CompositorWindow>& windows, std::int32_t processId,
                               const std::string& frameName, const Rect& extents) {
  // Of the windows it could be, the one it fits most closely.
  std::optional<Rect> best;
  double bestShadow = 0;
  for (const auto& window : windows) {
    if (window.processId != processId || !frameNamesWindow(frameName, window.title)) continue;
    const auto shadow = shadowAround(extents, window.frame);
    if (shadow && (!best || *shadow < bestShadow)) {
      best = window.frame;
      bestShadow = *shadow;
    }
  }
  return best;
}

namespace {

class ScreencopyPixels final : public PixelSource {
 public:
  Outcome<RgbaImage> capture(const CompositorOutput& output, const Rect& region) override {
    return screencopy_.capture(output.name, output.rect.x, output.rect.y, region);
  }
  std::string whatIsMissing() override {
    return screencopy_.available()
               ? std::string()
               : "This compositor offers no screen copy (wlr-screencopy), so windows cannot be read.";
  }
  bool available() const { return screencopy_.available(); }

 private:
  Screencopy screencopy_;
};

bool currentDesktopIs(std::string_view name) {
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  return desktop && std::string_view(desktop).find(name) != std::string_view::npos;
}

}  // namespace

WaylandWindowServer::WaylandWindowServer(freedesktop::ApplicationFacts facts,
                                         const std::filesystem::path& resources)
    : facts_(std::move(facts)) {
  if (auto socket = SwayIpc::socketFromEnvironment()) {
    places_ = std::make_unique<SwayIpc>(*socket);
    auto screencopy = std::make_unique<ScreencopyPixels>();
    if (screencopy->available()) pixels_ = std::move(screencopy);
  } else if (currentDesktopIs("GNOME")) {
    auto gnome = std::make_unique<GnomeShellPlaces>(resources / "gnome-shell-extension");
    gnome_ = gnome.get();
    places_ = std::move(gnome);
  } else if (currentDesktopIs("KDE")) {
    places_ = std::make_unique<KwinScriptPlaces>();
    kde_ = true;
  }
  if (!pixels_) {
    auto portal = std::make_unique<PortalScreencast>(PortalScreencast::defaultTokenFile());
    portal_ = portal.get();
    pixels_ = std::move(portal);
  }
}

WaylandWindowServer::~WaylandWindowServer() = default;

// Passes are 5 s apart and take well under a second: a listing younger than this began the current pass.
constexpr auto passLength = std::chrono::seconds(2);

std::optional<PlacesAnswer> WaylandWindowServer::listPlaces() {
  if (!places_) return std::nullopt;
  // Windows and outputs in one question: on KDE each question loads and runs a KWin script.
  auto places = places_->both();
  if (!places) return std::nullopt;
  std::lock_guard lock(listedMutex_);
  pass_ = places;
  passBegan_ = std::chrono::steady_clock::now();
  return places;
}

bool WaylandWindowServer::listedThisPass() {
  std::lock_guard lock(listedMutex_);
  return pass_ && std::chrono::steady_clock::now() - passBegan_ < passLength;
}

std::optional<Rect> WaylandWindowServer::placeFrame(std::int32_t processId, const std::string& frameName,
                                                    const Rect& extents) {
  std::vector<CompositorWindow> windows;
  {
    std::lock_guard lock(listedMutex_);
    if (pass_) windows = pass_->windows;
  }
  if (windows.empty())
    if (auto places = listPlaces()) windows = std::move(places->windows);
  return wayland::placeFrame(windows, processId, frameName, extents);
}

Outcome<std::vector<WindowDescription>> WaylandWindowServer::shareableContent() {
  auto places = listPlaces();
  if (!places) {
    std::string missing = whatIsMissing();
    return PlatformError{missing.empty() ? "Wayland: the compositor did not answer for its windows"
                                         : missing};
  }
  std::vector<WindowDescription> descriptions;
  descriptions.reserve(places->windows.size());
  freedesktop::WindowOwners owners(facts_);
  for (const auto& window : places->windows) {
    WindowDescription description{window.id, window.title, window.frame, std::nullopt};
    owners.describe(description, window.processId,
                    window.appId.empty() ? std::nullopt : std::optional<std::string>(window.appId));
    description.listed = ListedWindow{window.id, window.processId, window.title};
    auto output =
        std::find_if(places->outputs.begin(), places->outputs.end(),
                     [&](const CompositorOutput& candidate) { return candidate.name == window.output; });
    if (output != places->outputs.end()) description.output = Output{output->name, output->rect};
    description.covered = !window.coveredBy.empty();
    descriptions.push_back(std::move(description));
  }
  return descriptions;
}

// The window's rectangle of its output as the pass placed it. Where the pixels are a copy of the screen as it
// is now (sway's screen copy), the compositor is asked once more after the copy: a window that moved, closed
// or had another put over it meanwhile is skipped rather than saved with other pixels. The screen cast's kept
// frame is the screen as it was last drawn, not as it is at the moment of a question, so there asking again
// would guard nothing.
Outcome<RgbaImage> WaylandWindowServer::captureWindow(const WindowDescription& window) {
  if (!places_) return PlatformError{"Wayland: " + whatIsMissing()};
  if (window.covered) return PlatformError{"Wayland: another window covers part of the window"};
  if (!window.output) return PlatformError{"Wayland: the window's output is gone"};
  const Rect region{window.frame.x - window.output->frame.x, window.frame.y - window.output->frame.y,
                    window.frame.width, window.frame.height};
  auto image = pixels_->capture({window.output->name, window.output->frame}, region);
  if (!image || portal_) return image;
  auto now = places_->windows();
  if (!now) return PlatformError{"Wayland: the compositor did not answer for its windows"};
  if (auto after = placedUncovered(*now, window); !after) return after.error();
  return image;
}

bool WaylandWindowServer::canReadScreen() {
  // A grant kept from an earlier start is restored once, before anyone is asked.
  if (portal_) std::call_once(restoreOnce_, [this] { portal_->restore(std::chrono::seconds(5)); });
  return whatIsMissing().empty();
}

std::string WaylandWindowServer::whatIsMissing() {
  if (!places_)
    return "This desktop tells programs nothing about where windows are, and Tessaron does not read its own "
           "interfaces yet: it reads windows on sway (and other compositors that speak sway's IPC), on GNOME "
           "and on KDE Plasma.";
  // A listing of this pass shows the places answer; only without one is the desktop asked again.
  if (!listedThisPass())
    if (std::string missing = places_->whatIsMissing(); !missing.empty()) return missing;
  return pixels_->whatIsMissing();
}

void WaylandWindowServer::requestWhatIsMissing() {
  if (!places_) {
    notice(whatIsMissing());
    return;
  }
  if (gnome_ && !gnome_->installed()) {
    gnome_->install();
    return;
  }
  if (std::string missing = places_->whatIsMissing(); !missing.empty()) {
    notice(missing);
    return;
  }
  if (portal_ && !portal_->casting()) {
    if (!portal_->offered()) {
      notice(
          "This desktop's portal offers no screen cast (org.freedesktop.portal.ScreenCast), so Tessaron "
          "cannot "
          "record windows here.");
      return;
    }
    portal_->request();
    return;
  }
  if (std::string missing = pixels_->whatIsMissing(); !missing.empty()) notice(missing);
}

GrantWording WaylandWindowServer::wording() {
  if (gnome_ && !gnome_->installed())
    return {
        "GNOME tells programs nothing about where windows are, so Tessaron comes with a small GNOME Shell "
        "extension that does.\n"
        "1. Click \"Install Extension\": Tessaron installs it for you and switches it on.\n"
        "2. Log out and back in once: GNOME loads new extensions at login.\n"
        "3. GNOME then asks once which screen Tessaron may record.",
        "Install Extension"};
  if (portal_ && places_ && places_->whatIsMissing().empty()) {
    if (kde_)
      return {
          "Tessaron records your browser windows from what your screen shows, and Plasma asks you once "
          "which screen it may record.\n"
          "1. Click \"Choose Screen\".\n"
          "2. In Plasma's \"Screen Sharing\" dialog, select your screen and click Share.\n"
          "Plasma remembers the answer for the next starts. While Tessaron records, the system tray shows "
          "that the screen is shared; ending the sharing there stops recording until you allow it again.",
          "Choose Screen"};
    return {
        "Tessaron records your browser windows from what your screen shows, and your desktop asks you once "
        "which screen it may record.\n"
        "1. Click \"Choose Screen\".\n"
        "2. In the desktop's dialog, pick your screen and click Share.\n"
        "The desktop remembers the answer for the next starts. While Tessaron records, the top bar shows "
        "that the screen is shared; stopping it there stops recording until you allow it again.",
        "Choose Screen"};
  }
  return {"Tessaron cannot read windows on this Wayland desktop. " + whatIsMissing() +
              "\nIn an X11 session (\"GNOME on Xorg\", \"Plasma (X11)\" at login) Tessaron captures without "
              "anything more.",
          "OK"};
}

}  // namespace tessaron::platform::wayland
