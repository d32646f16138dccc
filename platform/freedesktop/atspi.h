// The page reader of both Linux backends: a browser's top-level frames on the AT-SPI2 accessibility bus as
// page windows. A named frame is a window; its page is the document it shows (browser chrome, background tabs
// and preloaded pages are not read), titled as the frame is (that is how the page's title shows here: the
// browsers add their own name to it, as the window list does) and addressed by the document attribute the
// browser table names; its words are its visible text, a line per block in reading order, password fields
// never read.
//
// The reads go over a private connection to the accessibility bus (GDBus, thread-safe), never through
// libatspi's process-wide one: in this process that connection also carries the toolkit's own accessibility
// bridge, whose handlers libatspi would run on whatever thread happened to be waiting for a reply.
// Windows may be used from any thread.
#pragma once
#include <chrono>
#include <map>
#include <mutex>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pages.h"
#include "platform/windows.h"

namespace tessaron::platform::freedesktop {

class AtspiBus;
struct Reference;

// A block of text as AT-SPI gives it, as the lines a page's words are read in: trimmed, without the
// characters that stand for embedded objects (U+FFFC) or that Firefox adds after emoji (U+FEFF), empty lines
// dropped.
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

class AtspiPages final : public PageReader {
 public:
  explicit AtspiPages(TextReading reading = TextReading::pipelined, FramePlacement placement = {});
  ~AtspiPages() override;
  AtspiPages(const AtspiPages&) = delete;
  AtspiPages& operator=(const AtspiPages&) = delete;

  std::optional<std::vector<PageWindowRef>> windowsOf(std::int32_t processId,
                                                      const Browser& browser) override;

  // The name the accessibility bus gives the application running as this process, when it has one.
  std::optional<std::string> applicationName(std::int32_t processId);
  // The application's named top-level frames with their placed extents; none when the bus does not know it.
  std::optional<std::vector<AccessibleFrame>> frames(std::int32_t processId);

 private:
  // The application's top-level objects; none when the bus does not know it.
  std::optional<std::vector<Reference>> topLevel(std::int32_t processId);

  std::shared_ptr<AtspiBus> bus_;

  // The named frames that frames() read for the window list, kept for the pass's matching that follows a
  // moment later (once, and only within a short while), so that each pass asks for them once.
  struct NamedFrame {
    std::string bus, path;  // the frame's object
    std::string name;
    std::optional<Rect> extents;
  };
  struct ReadFrames {
    std::chrono::steady_clock::time_point at;
    std::vector<NamedFrame> frames;
  };
  std::optional<std::vector<NamedFrame>> recentlyRead(std::int32_t processId);
  // A pass lists its windows and matches them within a few milliseconds; anything older is read again.
  static constexpr std::chrono::milliseconds framesFreshFor{500};
  std::mutex recentMutex_;
  std::map<std::int32_t, ReadFrames> recent_;
};

}  // namespace tessaron::platform::freedesktop
