// The browsers Tessaron knows: each family, how its windows are known on every desktop, how its page gives
// its address, and how its private windows can be told from its ordinary ones.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::platform {

// The engine underneath, which decides how the page is read.
enum class BrowserFamily { chromium, firefox, webKitGtk, qtWebEngine, safari };

// How a private window shows itself.
enum class PrivateWindows {
  frameMark,    // the accessible frame's name carries a bracketed mark after the window's title (Chromium)
  title,        // the window's title, in the browser's language (Firefox)
  processFlag,  // private windows run in a process of their own, started with one of `privateFlags`
  untellable,   // private windows exist and nothing outside the browser tells them: never recorded
  always,       // built for privacy (Tor Browser, Mullvad Browser): never recorded
  none,         // no private windows
};

// Identifiers are lower-case and matched whole, case-insensitively.
struct Browser {
  std::string_view name;  // as people call it, and as the log names it when only its process told
  BrowserFamily family;
  PrivateWindows privateWindows;
  std::vector<std::string_view> accessibleNames;  // the application's name on the accessibility bus
  std::vector<std::string_view> windowClasses;    // X11 WM_CLASS (class or instance) and Wayland app ids
  std::vector<std::string_view> executables;      // file names of the running executable
  std::vector<std::string_view> sandboxIds;       // Flatpak application ids and Snap names
  std::vector<std::string_view> privateFlags = {};
};

std::span<const Browser> knownBrowsers();

// The document attributes that give the address of a page of this family, in the order they are asked:
// Firefox gives "DocURL"; Chromium leaves that empty and gives "URI"; the others give one or the other.
std::span<const std::string_view> addressAttributes(BrowserFamily family);

// Whether an accessible frame of this name is the window of this title: its name is the title, or (a private
// window of Chromium's family) the title followed by a bracketed mark of its kind of window, with or without
// a space before it, in ASCII, full-width, corner or lenticular brackets as the browser's language writes
// them.
bool frameNamesWindow(std::string_view frameName, std::string_view title);
// Whether the frame's name ends in such a mark, whatever the title before it.
bool endsInFrameMark(std::string_view frameName);

// The page's own title in a window title that a browser ends with its name ("Harbour Notes - Chromium",
// "Orchard — Mozilla Firefox"); the title itself when no known browser's name ends it.
std::string_view pageTitleIn(std::string_view windowTitle);

// The browser with this accessible name, window class, app id, executable or sandbox id; none when unknown.
const Browser* browserNamed(std::string_view name);

// The browser a process runs, from its executable and its Flatpak or Snap sandbox; none when unknown or
// unreadable (another user's process).
const Browser* browserOfProcess(std::int32_t processId);

// Whether a QtWebEngine browser's process keeps its pages from the accessibility bus: Qt 5's QtWebEngine
// offers them only when started with QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=1 in its environment (or
// Chromium's --force-renderer-accessibility in QTWEBENGINE_CHROMIUM_FLAGS). False when the environment cannot
// be read (another user's process). Qt 6 offers them by default, so this is only worth asking of a browser
// that has built no page.
bool qtWebEngineHidesPages(std::int32_t processId);

// The process's command-line arguments, without the program; none when they cannot be read.
std::optional<std::vector<std::string>> processArguments(std::int32_t processId);

}  // namespace tessaron::platform
