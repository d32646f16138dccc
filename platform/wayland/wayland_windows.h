// The window half of the wayland backend. Wayland gives a plain client neither other programs' windows nor
// their places nor their pixels, so each desktop's own interfaces are used:
//
// | desktop           | places                          | pixels                                        |
// | sway (wlroots)    | the IPC tree (SWAYSOCK)         | wlr-screencopy of the window's rectangle       |
// | GNOME             | Tessaron's GNOME Shell extension | the portal's ScreenCast of the monitors        |
// | KDE Plasma        | a KWin script, loaded per listing | the portal's ScreenCast of the monitors        |
//
// A window's pixels are cut from its screen where the desktop shows it, so a window covered by another is
// not captured until it is uncovered. Which application a window belongs to, and whether it is a private
// one, comes from the accessibility bus as under X11.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "platform/shell.h"

#include <filesystem>

#include "platform/freedesktop/atspi.h"
#include "platform/wayland/places.h"
#include "platform/windows.h"

namespace tessaron::platform::wayland {

class GnomeShellPlaces;
class PortalScreencast;

// Where a top-level frame of the accessibility bus sits in the compositor's coordinates. Clients report their
// frames relative to their own surface, which includes the shadow they draw around the window (Chromium: 10
// px on each side under sway), so a frame is the window's of its process and name that it fits most closely
// with a margin of no more than a shadow's width; nothing when no window is.
std::optional<Rect> placeFrame(const std::vector<CompositorWindow>& windows, std::int32_t processId,
                               const std::string& frameName, const Rect& extents);

class WaylandWindowServer final : public WindowServer {
 public:
  // Chooses the places and pixels this desktop offers; `resources` is the bundle's resource folder (with the
  // GNOME Shell extension). Throws SelectionError when the Wayland display it needs cannot be reached.
  WaylandWindowServer(freedesktop::ApplicationFacts facts, const std::filesystem::path& resources);
  ~WaylandWindowServer() override;
  WaylandWindowServer(const WaylandWindowServer&) = delete;
  WaylandWindowServer& operator=(const WaylandWindowServer&) = delete;

  Outcome<std::vector<WindowDescription>> shareableContent() override;
  // The window's rectangle of its output, read only where the pass found it uncovered and, where the copy is
  // of the live screen, only while it is still there after the copy: the pixels are never another program's.
  Outcome<RgbaImage> captureWindow(const WindowDescription& window) override;

  // Whether this desktop gives both window places and pixels now. Where a stored screen-cast grant exists,
  // the first call restores it (waiting up to a few seconds), so a person who consented once is not asked
  // again.
  bool canReadScreen();
  // What this desktop lacks for that, in a person's words; empty when nothing.
  std::string whatIsMissing();
  // Asks for what is missing: installs the GNOME Shell extension, or opens the portal's screen-cast dialog.
  void requestWhatIsMissing();
  // What the person will be asked to do: the explanation and the button that asks for it.
  GrantWording wording();

  // The frame placement the accessibility bus needs here.
  std::optional<Rect> placeFrame(std::int32_t processId, const std::string& frameName, const Rect& extents);

 private:
  // Windows and outputs, one question; kept as the pass's listing.
  std::optional<PlacesAnswer> listPlaces();
  // Whether a listing began the current pass.
  bool listedThisPass();

  freedesktop::ApplicationFacts facts_;
  std::unique_ptr<WindowPlaces> places_;
  std::unique_ptr<PixelSource> pixels_;
  GnomeShellPlaces* gnome_ = nullptr;   // places_, on GNOME
  PortalScreencast* portal_ = nullptr;  // pixels_, where they come from the portal
  bool kde_ = false;
  std::once_flag restoreOnce_;
  std::mutex listedMutex_;
  std::optional<PlacesAnswer> pass_;  // the last listing with its outputs; frames are placed against it
  std::chrono::steady_clock::time_point passBegan_;
};

}  // namespace tessaron::platform::wayland
