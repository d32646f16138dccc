// Telling private browsing windows from ordinary ones. Measured on Debian 12 with Chromium 156 and Firefox
// ESR 153 under X11 (xprop and the accessibility bus, ordinary, private, incognito and guest windows side by
// side):
//
// - Firefox: a private window's title is the page title followed by " — Mozilla Firefox Private Browsing"
//   ("Mozilla Firefox Private Browsing" alone for a page without one), in the X11 title and the accessible
//   frame's name alike. Its WM_CLASS ("Navigator", "firefox-esr"), window role and frame attributes are those
//   of an ordinary window, so the title is the signal, in whichever language the browser speaks (see
//   firefox_private_titles.cpp).
// - Chromium (Google Chrome is the same program): incognito and guest windows carry the ordinary X11 title
//   ("Page - Chromium"), WM_CLASS and role, and run in the same process as ordinary windows. Only the
//   accessible frame's name tells: "Page - Chromium (Incognito)", "Page - Chromium (Guest)", where an
//   ordinary window's frame name equals its X11 title byte for byte. So a window is ordinary only when a
//   frame at its place bears exactly its title; a frame with the title and a bracketed suffix is private
//   (translations bracket the mark in their own way: "（シークレット）" in Japanese),
//   and so is a window with no frame to go by (the accessibility bus does not know the browser, or the title
//   is changing): in doubt, private.
#include <algorithm>

#include "platform/browsers.h"
#include "platform/firefox_private_titles.h"
#include "platform/windows.h"

namespace tessaron::platform {

WindowPrivacy browsingPrivacy(
    std::string_view applicationName, std::string_view title, const Rect& frame,
    const std::function<std::optional<std::vector<AccessibleFrame>>()>& accessibleFrames,
    const std::function<std::optional<std::vector<std::string>>()>& processArguments) {
  const Browser* browser = browserNamed(applicationName);
  if (!browser) return WindowPrivacy::ordinary;  // not a browser: never captured
  switch (browser->privateWindows) {
    case PrivateWindows::none:
      return WindowPrivacy::ordinary;
    case PrivateWindows::always:
      return WindowPrivacy::privateBrowsing;
    case PrivateWindows::untellable:
      return WindowPrivacy::undetermined;
    case PrivateWindows::title:
      return isFirefoxPrivateTitle(title) ? WindowPrivacy::privateBrowsing : WindowPrivacy::ordinary;
    case PrivateWindows::processFlag: {
      const auto arguments = processArguments ? processArguments() : std::nullopt;
      if (!arguments) return WindowPrivacy::undetermined;
      const bool flagged =
          std::any_of(arguments->begin(), arguments->end(), [&](const std::string& argument) {
            return std::find(browser->privateFlags.begin(), browser->privateFlags.end(), argument) !=
                   browser->privateFlags.end();
          });
      return flagged ? WindowPrivacy::privateBrowsing : WindowPrivacy::ordinary;
    }
    case PrivateWindows::frameMark:
      break;
  }

  const auto frames = accessibleFrames ? accessibleFrames() : std::nullopt;
  if (!frames) return WindowPrivacy::undetermined;
  std::vector<const AccessibleFrame*> candidates;
  for (const auto& candidate : *frames)
    if (frameNamesWindow(candidate.name, title)) candidates.push_back(&candidate);
  // Windows of one title are told apart by place; where none is at the window's place, all of them count.
  std::vector<const AccessibleFrame*> placed;
  std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(placed),
               [&](const AccessibleFrame* candidate) { return candidate->extents == frame; });
  const auto& deciding = placed.empty() ? candidates : placed;
  if (deciding.empty()) return WindowPrivacy::undetermined;
  const bool allOrdinary =
      std::all_of(deciding.begin(), deciding.end(),
                  [&](const AccessibleFrame* candidate) { return candidate->name == title; });
  return allOrdinary ? WindowPrivacy::ordinary : WindowPrivacy::privateBrowsing;
}

bool frameMayBePrivate(const Browser& browser, std::string_view frameName) {
  switch (browser.privateWindows) {
    case PrivateWindows::frameMark:
      return endsInFrameMark(frameName);
    case PrivateWindows::title:
      return isFirefoxPrivateTitle(frameName);
    case PrivateWindows::untellable:
    case PrivateWindows::always:
      return true;
    case PrivateWindows::processFlag:  // a private window has a process of its own, told before reading
    case PrivateWindows::none:
      break;
  }
  return false;
}

}  // namespace tessaron::platform
