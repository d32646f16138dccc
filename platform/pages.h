// Pages: what a browser's windows show, as the desktop's accessibility interface tells it: each window's
// place, the page it shows (title and address), the page's words and what it draws that has no words.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/browsers.h"
#include "platform/value.h"

namespace tessaron::platform {

// What a page draws whose words its accessibility tree may not have, and its password fields (whose pixels
// must never be read). Places are in the page window's coordinates: from its top left, in its frame's units.
enum class PagePartKind { canvas, image, embedded, password };
struct PagePart {
  PagePartKind kind = PagePartKind::image;
  Rect frame;
  std::size_t descriptionCharacters = 0;  // a picture's alternative text
};
struct PageLayout {
  Rect page;  // the page's own area (no toolbars)
  std::vector<PagePart> parts;
};

// The page a window shows: its title as the window shows it, and its address.
struct Page {
  std::string title;
  std::string address;
  bool operator==(const Page&) const = default;
};

// A top-level window of a browser as its accessibility tree shows it. Each read is made when first asked
// for and kept for the object's life (one pass of the capture loop).
class PageWindow {
 public:
  virtual ~PageWindow() = default;
  // Where the window is, in the window list's coordinates; why not, when that cannot be read.
  virtual Outcome<Rect> frame() = 0;
  // The page the window shows; none when it shows none, or one that gives no title or no address.
  virtual std::optional<Page> page() = 0;
  // The words the page shows, in reading order, apart by spaces (password fields are never read); empty
  // when it shows no page.
  virtual std::string text() = 0;
  // The parts the page draws, as read with its text (so after text()); none where the backend cannot tell.
  virtual std::optional<PageLayout> layout() { return std::nullopt; }
  // Whether the window's page is in its accessibility tree at all. A Chromium-family browser builds its
  // pages' trees only some time after it is first asked: until then a window gives no page, though it shows
  // one.
  virtual bool pageBuilt() { return true; }
  // The title the page gives itself, where the browser names its document apart from its window (Chromium
  // renames its window a moment after its document has moved on); empty elsewhere. Read when first asked.
  virtual std::string ownTitle() { return {}; }
};
using PageWindowRef = std::shared_ptr<PageWindow>;

class PageReader {
 public:
  virtual ~PageReader() = default;
  // The windows of the browser running as this process, in its own order; none when they cannot be read (no
  // such application, or one its accessibility interface does not know).
  virtual std::optional<std::vector<PageWindowRef>> windowsOf(std::int32_t processId,
                                                              const Browser& browser) = 0;
};

}  // namespace tessaron::platform
