// The accessibility half of both Linux backends: AT-SPI2 objects presented under the AX attribute model that
// page-content extraction reads.
//
// Presented tree: an application ("AXApplication": "AXTitle", "AXWindows") holds its named top-level frames
// ("AXWindow": "AXTitle", "AXFrame" in the window list's coordinates, "AXChildren"); a frame's only child is
// the document the window shows ("AXWebArea": "AXTitle" and "AXDescription" both the window's title, which is
// how the page's title shows here, "AXURL", "AXChildren"); a document's children are its visible text, one
// "AXStaticText" ("AXValue") per line in reading order. Browser chrome, background tabs and preloaded pages
// are not presented; password fields are never read.
//
// The reads go over a private connection to the accessibility bus (GDBus, thread-safe), never through
// libatspi's process-wide one: in this process that connection also carries the toolkit's own accessibility
// bridge, whose handlers libatspi would run on whatever thread happened to be waiting for a reply.
// Elements may be used from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accessibility.h"
#include "platform/windows.h"

namespace tessaron::platform::freedesktop {

class AtspiBus;

// A block of text as AT-SPI gives it, as the lines a document presents: trimmed, without the characters that
// stand for embedded objects (U+FFFC) or that Firefox adds after emoji (U+FEFF), empty lines dropped.
std::vector<std::string> visibleTextLines(std::string_view text);

// How a page's text is read: many calls in flight at once, or one after the other (the reference the fast
// read is measured and checked against; both give the same text).
enum class TextReading { pipelined, serial };

// Where the window list places a top-level frame, given the process, the frame's name and its extents as
// the accessibility bus reports them; nothing when no window of the list is that frame's. Without a
// placement, extents are taken as they are (X11, where they are the windows' root coordinates).
using FramePlacement = std::function<std::optional<Rect>(std::int32_t processId, const std::string& frameName,
                                                         const Rect& extents)>;

// What the accessibility bus tells about the application running as a process: its name, and its top-level
// frames (none when the bus does not know it). The window servers ask it without depending on the bus.
struct ApplicationFacts {
  std::function<std::optional<std::string>(std::int32_t processId)> name;
  std::function<std::optional<std::vector<AccessibleFrame>>(std::int32_t processId)> frames;
};

class AtspiAccessibility final : public Accessibility {
 public:
  explicit AtspiAccessibility(TextReading reading = TextReading::pipelined, FramePlacement placement = {});
  ~AtspiAccessibility() override;
  AtspiAccessibility(const AtspiAccessibility&) = delete;
  AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

  ElementRef createApplication(std::int32_t processId) override;

  // The name the accessibility bus gives the application running as this process, when it has one.
  std::optional<std::string> applicationName(std::int32_t processId);
  // The application's named top-level frames with their placed extents; none when the bus does not know it.
  std::optional<std::vector<AccessibleFrame>> frames(std::int32_t processId);

 private:
  std::shared_ptr<AtspiBus> bus_;
};

}  // namespace tessaron::platform::freedesktop
