// Reading a page's text, and the rules both readers share: which roles make blocks, what a page's text may
// hold, and the page reader that asks with many calls in flight.
#pragma once

#include <atspi/atspi-constants.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/freedesktop/atspi_bus.h"

namespace tessaron::platform::freedesktop {

// Roles whose text starts and ends a line of its own.
inline bool isBlockRole(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_INTERNAL_FRAME:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_DESCRIPTION_TERM:
    case ATSPI_ROLE_DESCRIPTION_VALUE:
    case ATSPI_ROLE_FOOTER:
    case ATSPI_ROLE_HEADER:
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_SEPARATOR:
      return true;
    default:
      return false;
  }
}

// Blocks that exist to hold text: one that is empty and has no children is suspicious.
// Chromium names a picture that has no description after a hint on how to get one ("To get missing image
// descriptions, open the context menu."): that is no description of its words. (In other languages of its
// interface the hint reads as a description, and such a picture is not read from its pixels.)
inline bool isMissingDescriptionHint(std::string_view name) {
  return name.find("missing image descriptions") != std::string_view::npos;
}

// Characters (code points) of UTF-8 text.
inline std::size_t characterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Objects that, without text of their own and without children, show their name: Qt's bridge gives a
// page's words so.
inline bool isNamedTextLeaf(std::uint32_t role) {
  return role == ATSPI_ROLE_LABEL || role == ATSPI_ROLE_STATIC || role == ATSPI_ROLE_PUSH_BUTTON;
}

inline bool isTextBlock(std::uint32_t role) {
  return role == ATSPI_ROLE_HEADING || role == ATSPI_ROLE_PARAGRAPH || role == ATSPI_ROLE_LIST_ITEM;
}

// Limits of a page's text: deeper nodes and nodes beyond the count are not read.
inline constexpr int maxTextDepth = 256;
inline constexpr std::size_t maxTextNodes = 20000;

inline constexpr std::string_view objectReplacement = "\xEF\xBF\xBC";  // U+FFFC, where an embedded child sits
inline constexpr std::string_view zeroWidthNoBreak =
    "\xEF\xBB\xBF";  // U+FEFF, which Firefox adds after emoji

inline std::size_t countOf(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size()))
    ++n;
  return n;
}

// A page's text read with many calls in flight. The serial walk waits for each reply before it asks the next
// question, so a page of a few thousand nodes costs that many round trips in a row. Here a node's questions
// go out as soon as its parent's answers name it, many waiting at once, and the answers are then put together
// in the walk's order: the text is the serial walk's, byte for byte.
//
// The calls go straight to the browser's own socket where it offers one (Chromium, Firefox, WebKitGTK), not
// through the bus daemon (Qt's bridge offers none: it is asked through the daemon, named in each call), and
// through sd-bus, which handles a message in a few microseconds on the calling thread: GDBus spends about
// a hundred on each (a worker thread and a main-context wake-up per reply), which made the pipelined read
// bound by this process rather than by the browser.
//
// Then the browser is the bound, at some 35 us a call, so the read asks as little as it can: one call to the
// application's cache gives every object's role, interfaces and place in the tree, and only the texts are
// asked for one by one. Whatever the cache lacks (objects made since) is asked for as well. Measured on a
// page of 3,700 nodes: 5,600 calls without the cache, 1,500 with it; 220 ms against 105 ms.
class PipelinedTextRead {
 public:
  // `bus` is a direct connection to the application named `applicationBus`, or (`throughBus`) a connection to
  // the bus it is on. `namedLeaves`: text leaves give their words as their names (Qt's bridge).
  PipelinedTextRead(sd_bus* bus, std::string applicationBus, bool throughBus = false,
                    bool namedLeaves = false)
      : bus_(bus),
        applicationBus_(std::move(applicationBus)),
        throughBus_(throughBus),
        namedLeaves_(namedLeaves) {}
  PipelinedTextRead(const PipelinedTextRead&) = delete;
  PipelinedTextRead& operator=(const PipelinedTextRead&) = delete;

  // The parts the page draws and its own extents (screen coordinates), once run() has returned.
  const std::vector<PagePart>& parts() const { return parts_; }
  const std::optional<Rect>& pageExtents() const { return pageExtents_; }

  // The text, or nothing when the connection broke.
  std::optional<std::string> run(const Reference& root, bool& unsettled);

 private:
  static constexpr std::size_t noNode = SIZE_MAX;
  // Enough to keep the browser busy; more only lengthens its queue.
  static constexpr std::size_t maxInFlight = 128;
  // Past this no more questions go out (each also has its own timeout): a browser that answers slowly
  // gives the text read so far.
  static constexpr auto readDeadline = std::chrono::seconds(10);

  struct Node {
    Reference object;
    int depth = 0;
    std::optional<std::uint32_t> role;  // nothing: not read
    std::optional<std::string> text;    // nothing: the node has no text of its own
    // Without text: the children; with text: the object of each embedded-object character, in order.
    std::vector<std::size_t> parts;
    bool emptyTextBlock = false;  // a text block with neither text nor children
  };

  // One question; `done` gets the reply, or null when the call failed (the object is gone or lacks the
  // interface: the walk goes on without it).
  struct Call {
    std::string path;
    const char* interface;
    const char* method;
    std::optional<std::int32_t> argument;
    std::optional<std::int32_t> secondArgument;
    std::function<void(sd_bus_message*)> done;
    char argumentType = 'i';
    const char* property = nullptr;  // a property of org.a11y.atspi.Accessible to Get, instead of arguments
  };

  struct Pending {
    PipelinedTextRead* read;
    std::function<void(sd_bus_message*)> done;
  };

  std::size_t add(Reference object, int depth);

  // What the application's cache says of an object: its role, whether it has text, its children.
  struct Cached {
    std::uint32_t role = 0;
    bool hasText = false;
    std::size_t nameCharacters = 0;  // a picture's name is its alternative text
    std::int32_t childCount = 0;
    std::vector<std::string> children;  // paths by index, empty where the cache lacks one
    bool childrenComplete() const {
      return static_cast<std::int32_t>(children.size()) == childCount &&
             std::none_of(children.begin(), children.end(), [](const std::string& p) { return p.empty(); });
    }
  };
  std::unordered_map<std::string, Cached> cache_;

  const Cached* cachedOf(const Reference& object) const;

  void loadCache();

  // Objects of another application (none in a page so far) are not reachable on this connection.
  void ask(std::size_t index, const char* interface, const char* method, std::optional<std::int32_t> argument,
           std::optional<std::int32_t> secondArgument, std::function<void(sd_bus_message*)> done);

  void askAt(const Reference& object, const char* interface, const char* method,
             std::optional<std::int32_t> argument, std::optional<std::int32_t> secondArgument,
             std::function<void(sd_bus_message*)> done, char argumentType = 'i') {
    if (!object.valid() || object.bus != applicationBus_) return;
    queued_.push_back(
        {object.path, interface, method, argument, secondArgument, std::move(done), argumentType});
  }

  void send();

  static int replied(sd_bus_message* reply, void* data, sd_bus_error*);

  static std::optional<Reference> readReference(sd_bus_message* reply);

  void roleRead(std::size_t index, sd_bus_message* reply);

  void roleKnown(std::size_t index, std::uint32_t role);

  static std::optional<PagePartKind> partKindOf(std::uint32_t role);

  // A part the page draws, placed when its extents come.
  void notePart(std::size_t index, PagePartKind kind);

  void askExtents(const Reference& object, std::function<void(std::optional<Rect>)> done);

  void textRead(std::size_t index, sd_bus_message* reply);

  void askChildren(std::size_t index, std::function<void(std::vector<Reference>)> done);

  // A text leaf's name, as its text.
  void askName(std::size_t index);

  // The object at an embedded-object character, through the hypertext link that stands there.
  void askLinkedObject(std::size_t index, std::size_t link);

  // The serial walk's order and limits over the answers (see AtspiElement::appendText).
  void assemble(std::size_t index, std::string& out, int depth, std::size_t& budget, bool& unsettled) const;

  sd_bus* bus_;
  std::string applicationBus_;
  const bool throughBus_;
  const bool namedLeaves_;
  std::deque<Node> nodes_;
  // A page's pictures and canvases beyond this are left unplaced: a gallery of thousands needs no more.
  static constexpr std::size_t maxParts = 512;
  std::vector<PagePart> parts_;  // in screen coordinates; an unplaced part has an empty frame
  std::optional<Rect> pageExtents_;
  std::deque<Call> queued_;
  std::size_t inFlight_ = 0;
};

}  // namespace tessaron::platform::freedesktop
