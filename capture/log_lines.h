// Fixed lines of the capture log whose words were chosen long ago: journals, scripts and people's searches
// look for them as they stand, so they keep their words while the code around them speaks of windows and
// pages. Kept here, in one table, so that no identifier has to carry their vocabulary.
#pragma once

namespace tessaron::lines {

inline constexpr char passStarts[] = "Start Screen Capturing from logger";
inline constexpr char noDataFolder[] = "Could not get app support folder URL";
inline constexpr char windowGone[] = "WindowID %{public}u is no longer active, removing from gWindows";
// A window whose page could not be read: the pass says why and goes on with the next window.
inline constexpr char pageNotRead[] = "Error capturing AX content: %{public}s";
inline constexpr char pageNotReadReason[] = "AXWindowError(\"{}\")";
inline constexpr char noProcessOrTitle[] = "Can't get pid and windowName";
inline constexpr char noPageWindows[] = "Can't find AXWindows for the application";
inline constexpr char noMatchingPageWindow[] = "Can't find matching AXWindow for ";
// The page's title beside the window list's, as each candidate window is tried.
inline constexpr char titlesCompared[] = "AXTitle: %s, SCTitle: %s";
inline constexpr char notEncodable[] = "Error converting NSImage to PNG data";
inline constexpr char addressEmpty[] = "URL is empty.";

}  // namespace tessaron::lines
