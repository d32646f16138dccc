// Windows on screen: what one pass works from (each shown window, as the desktop tells it, from one
// question), and one window's pixels.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/browsers.h"
#include "platform/value.h"

namespace tessaron::platform {

// A window as the desktop's window list shows it: its number, and its owner's process and its title, each
// absent when the desktop does not tell it.
struct ListedWindow {
  std::uint32_t number = 0;
  std::optional<std::int32_t> processId;
  std::optional<std::string> title;
  bool operator==(const ListedWindow&) const = default;
};

// The application that owns a window, as the desktop names it.
struct RunningApplication {
  std::string applicationName;
  std::int32_t processId = 0;
  bool operator==(const RunningApplication&) const = default;
};

// Whether a window shows private browsing (a private, incognito or guest window), as far as the desktop can
// tell; `undetermined` when it cannot tell a browser window from a private one.
enum class WindowPrivacy { ordinary, privateBrowsing, undetermined };

// A screen of the desktop, where the desktop gives pixels per screen: its name and its place.
struct Output {
  std::string name;
  Rect frame;
  bool operator==(const Output&) const = default;
};

// A window that can be captured, as one pass sees it: number, title if any, frame in root coordinates, owner
// and its browser if known, and whether it shows private browsing; its entry in the window list; and where
// its pixels are.
struct WindowDescription {
  std::uint32_t windowID = 0;
  std::optional<std::string> title;
  Rect frame;
  std::optional<RunningApplication> owningApplication;
  const Browser* browser = nullptr;  // the owner's row in the browser table; none for any other application
  WindowPrivacy privacy = WindowPrivacy::ordinary;
  // Whether its application is on the accessibility bus: one that is not (a browser started before
  // accessibility was switched on) gives neither the page's address nor its words.
  bool onAccessibilityBus = true;
  // Its entry in the on-screen window list; none when the list has none for it or cannot be had.
  std::optional<ListedWindow> listed;
  // The screen it is shown on, where pixels are cut from a screen's (none where each window gives its own),
  // and whether another window covers part of it there.
  std::optional<Output> output;
  bool covered = false;
  bool operator==(const WindowDescription&) const = default;
};

// A top-level frame of an application as the accessibility bus presents it.
struct AccessibleFrame {
  std::string name;
  std::optional<Rect> extents;  // in the window frames' coordinates, when they could be read
};

// How backends decide a browser window's privacy from what every desktop gives: the owning application's
// name (its row in the browser table), the window's title and frame, and, asked only for the browsers that
// need them, the accessible frames of its process and the process's arguments, or none when they cannot be
// read. A window of no known browser is ordinary (it is never captured).
WindowPrivacy browsingPrivacy(
    std::string_view applicationName, std::string_view title, const Rect& frame,
    const std::function<std::optional<std::vector<AccessibleFrame>>()>& accessibleFrames,
    const std::function<std::optional<std::vector<std::string>>()>& processArguments = {});

// Whether an accessible frame of the browser may be a private window's, by its name alone (Chromium's marks,
// Firefox's private titles; every frame of a browser whose private windows cannot be told): a page reader
// passes such a frame over before reading anything of it.
bool frameMayBePrivate(const Browser& browser, std::string_view frameName);

class WindowServer {
 public:
  virtual ~WindowServer() = default;

  // Every window that can be captured now (desktop windows included), in the desktop's order, each with its
  // privacy, its window-list entry and its place: what one pass works from, from one question to the
  // desktop; an error when the desktop cannot be asked.
  virtual Outcome<std::vector<WindowDescription>> shareableContent() = 0;

  // One screenshot of exactly this window, as the pass's description places it, at its pixel size; an error
  // when it vanished, is minimised, covered or cannot be read. Blocks until the pixels are there.
  virtual Outcome<RgbaImage> captureWindow(const WindowDescription& window) = 0;
};

}  // namespace tessaron::platform
