// The accessibility backend: AT-SPI2 objects (through the bus client, atspi_bus.h) presented as the elements
// page-content extraction reads, with the page's text from the page reader (page_reader.h).
//
// Each read is a round trip to the browser (0.3-0.5 ms), so answers are cached per element for the element's
// life (one pass of the capture loop), the page's document is found with one Collection query instead of a
// walk through the browser's own interface, and children come in one GetChildren call.
#include "platform/freedesktop/atspi.h"

#include "platform/freedesktop/atspi_bus.h"
#include "platform/freedesktop/page_reader.h"

#include <atspi/atspi-constants.h>
#include <gio/gio.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <utility>

namespace tessaron::platform::freedesktop {

namespace {

using namespace std::chrono_literals;

// What an element presents.
enum class Kind { application, window, document, staticText };

class AtspiElement final : public Element {
 public:
  AtspiElement(std::shared_ptr<AtspiBus> bus, Kind kind, Reference object, std::string text,
               std::int32_t processId = 0)
      : bus_(std::move(bus)),
        kind_(kind),
        object_(std::move(object)),
        text_(std::move(text)),
        pid_(processId),
        identity_(kind == Kind::application
                      ? static_cast<std::uintptr_t>(processId)
                      : (object_.valid() ? std::hash<std::string>{}(object_.bus + '\n' + object_.path)
                                         : reinterpret_cast<std::uintptr_t>(this))) {}

  std::optional<std::vector<std::string>> copyAttributeNames() override {
    switch (kind_) {
      case Kind::application:
        if (!resolveApplication()) return std::nullopt;
        return std::vector<std::string>{"AXRole", "AXTitle", "AXWindows"};
      case Kind::window:
        return std::vector<std::string>{"AXRole", "AXTitle", "AXFrame", "AXChildren"};
      case Kind::document:
        return std::vector<std::string>{"AXRole", "AXTitle", "AXDescription", "AXURL", "AXChildren"};
      case Kind::staticText:
        return std::vector<std::string>{"AXRole", "AXValue"};
    }
    return std::nullopt;
  }

  AttributeResult copyAttributeValue(std::string_view name) override {
    std::lock_guard lock(mutex_);
    if (auto it = answers_.find(name); it != answers_.end()) return it->second;
    AttributeResult result = compute(name);
    answers_.emplace(std::string(name), result);
    return result;
  }

  // Two elements for the same remote object have the same bus name and path; text lines have neither.
  std::uintptr_t identity() const override { return identity_; }

  std::optional<PageLayout> pageLayout() override {
    std::lock_guard lock(mutex_);
    return layout_;
  }

 private:
  static AttributeResult success(Value value) { return {AXStatus::success, std::move(value)}; }
  static AttributeResult unsupported() { return {AXStatus::attributeUnsupported, {}}; }
  static AttributeResult failed() { return {AXStatus::cannotComplete, {}}; }

  ElementRef make(Kind kind, Reference object, std::string text) const {
    return std::make_shared<AtspiElement>(bus_, kind, std::move(object), std::move(text), pid_);
  }

  bool resolveApplication() {
    std::lock_guard lock(resolveMutex_);
    if (!resolved_) {
      resolved_ = true;
      if (auto app = bus_->application(pid_)) {
        object_ = app->root;
        text_ = app->name;
      }
    }
    return object_.valid();
  }

  AttributeResult compute(std::string_view name) {
    switch (kind_) {
      case Kind::application:
        if (!resolveApplication()) return failed();
        if (name == "AXRole") return success(std::string("AXApplication"));
        if (name == "AXTitle") return success(text_);
        if (name == "AXWindows") return windows();
        return unsupported();
      case Kind::window:
        if (name == "AXRole") return success(std::string("AXWindow"));
        if (name == "AXTitle") return success(text_);
        if (name == "AXFrame") return frame();
        if (name == "AXChildren") return shownDocument();
        return unsupported();
      case Kind::document:
        if (name == "AXRole") return success(std::string("AXWebArea"));
        if (name == "AXTitle" || name == "AXDescription") return success(text_);
        if (name == "AXURL") return address();
        if (name == "AXChildren") return visibleText();
        return unsupported();
      case Kind::staticText:
        if (name == "AXRole") return success(std::string("AXStaticText"));
        if (name == "AXValue") return success(text_);
        if (name == "AXChildren") return success(ElementArray{});
        return unsupported();
    }
    return unsupported();
  }

  // The application's named top-level frames: Chromium's extra unnamed frames have no window.
  AttributeResult windows() {
    Variant reply = bus_->call(object_, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))");
    if (!reply) {
      bus_->forget(pid_);
      return failed();
    }
    ElementArray frames;
    for (Reference& child : referencesFrom(reply.child(0))) {
      if (bus_->role(child) != ATSPI_ROLE_FRAME) continue;
      std::string title = bus_->stringProperty(child, "org.a11y.atspi.Accessible", "Name").value_or("");
      if (!title.empty()) frames.push_back(make(Kind::window, std::move(child), std::move(title)));
    }
    return success(std::move(frames));
  }

  AttributeResult frame() {
    auto extents = bus_->placedExtents(pid_, text_, object_);
    return extents ? success(*extents) : failed();
  }

  // The first web document below this frame, in document order, that has the state. ("traverse" must be set
  // for the browsers to look below the frame's direct children at all.)
  std::optional<Reference> firstDocumentWith(AtspiStateType state) {
    return firstDocumentWith(object_, state);
  }

  std::optional<Reference> firstDocumentWith(const Reference& root, AtspiStateType state) {
    gint32 states[2] = {0, 0};
    states[state / 32] |= static_cast<gint32>(1u << (state % 32));
    gint32 roles[4] = {0, 0, 0, 0};
    roles[ATSPI_ROLE_DOCUMENT_WEB / 32] |= static_cast<gint32>(1u << (ATSPI_ROLE_DOCUMENT_WEB % 32));
    GVariant* rule = g_variant_new(
        "(@aii@a{ss}i@aii@asib)", g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, states, 2, sizeof(gint32)),
        static_cast<gint32>(ATSPI_Collection_MATCH_ALL),
        g_variant_new_array(G_VARIANT_TYPE("{ss}"), nullptr, 0),
        static_cast<gint32>(ATSPI_Collection_MATCH_ALL),
        g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, roles, 4, sizeof(gint32)),
        static_cast<gint32>(ATSPI_Collection_MATCH_ANY), g_variant_new_strv(nullptr, 0),
        static_cast<gint32>(ATSPI_Collection_MATCH_ALL), FALSE);
    Variant reply =
        bus_->call(root, "org.a11y.atspi.Collection", "GetMatches",
                   g_variant_new("(@(aiia{ss}iaiiasib)uib)", rule,
                                 static_cast<std::uint32_t>(ATSPI_Collection_SORT_ORDER_CANONICAL), 1, TRUE),
                   "(a(so))");
    if (!reply) return std::nullopt;
    auto found = referencesFrom(reply.child(0));
    if (found.empty()) return std::nullopt;
    return found.front();
  }

  // Only the page the window shows. Its document is the first SHOWING one in document order: a document in an
  // iframe comes after its page, and hidden tabs' documents are not SHOWING. A window covered completely
  // shows nothing, so Firefox then marks only the focused document. A page in another process (GNOME Web)
  // and a page not built yet (Chromium) come last: they cost more to find.
  AttributeResult shownDocument() {
    std::optional<Reference> document = firstDocumentWith(ATSPI_STATE_SHOWING);
    if (!document) document = outermostFocusedDocument();
    if (!document) document = embeddedDocument();
    if (!document) document = wakeDocuments();
    // The page's title as the window shows it: here the browsers add their own name to the page's title, and
    // it is this title that identifies the window, on screen and in the window list alike.
    ElementArray children;
    if (document) {
      auto page = std::make_shared<AtspiElement>(bus_, Kind::document, *document, text_, pid_);
      page->window_ = object_;  // what the page's parts are placed against
      children.push_back(std::move(page));
    }
    return success(std::move(children));
  }

  // The focused document may sit in an iframe: the page is its outermost document.
  std::optional<Reference> outermostFocusedDocument() {
    std::optional<Reference> document = firstDocumentWith(ATSPI_STATE_FOCUSED);
    std::optional<Reference> at = document;
    for (int depth = 0; at && !(*at == object_) && depth < 64; ++depth) {
      Variant parent = bus_->property(*at, "org.a11y.atspi.Accessible", "Parent");
      if (!parent || !g_variant_is_of_type(parent.get(), G_VARIANT_TYPE("(so)"))) break;
      Reference up = referenceFrom(parent.get());
      if (!up.valid()) break;
      if (bus_->role(up) == ATSPI_ROLE_DOCUMENT_WEB) document = up;
      at = up;
    }
    return document;
  }

  // WebKitGTK browsers (GNOME Web) show their pages from a web process of their own, whose accessibles the
  // window embeds: a search of the window's own tree never reaches them, and the embedded root offers no
  // search of its own. So the window's tree is walked, within bounds, until an object of another application
  // below it can search its part of the tree for the page; that object is remembered for the next read.
  std::optional<Reference> embeddedDocument() {
    if (auto root = bus_->embeddedRoot(object_))
      if (auto document = firstDocumentWith(*root, ATSPI_STATE_SHOWING)) return document;
    std::vector<Reference> level{object_};
    std::size_t visited = 0;
    for (int depth = 0; depth < maxEmbedDepth && !level.empty(); ++depth) {
      std::vector<Reference> next;
      for (const Reference& node : level)
        for (Reference& child : bus_->childrenAcrossSockets(node)) {
          if (++visited > maxEmbedWalk) return std::nullopt;
          if (child.bus != object_.bus)
            if (auto document = firstDocumentWith(child, ATSPI_STATE_SHOWING)) {
              bus_->rememberEmbeddedRoot(object_, child);
              return document;
            }
          next.push_back(std::move(child));
        }
      level = std::move(next);
    }
    return std::nullopt;
  }
  static constexpr int maxEmbedDepth = 24;
  static constexpr std::size_t maxEmbedWalk = 600;

  // Chromium, unless started with --force-renderer-accessibility, joins the bus with its windows but builds
  // its pages' accessibles only once it believes an assistive technology is at work, which it concludes when
  // a client asks one of its objects for its attributes (as screen readers do, and other clients seldom).
  // Asking the frame is that signal; the page's tree follows a moment later, so the first time for an
  // application its document is waited for.
  std::optional<Reference> wakeDocuments() {
    (void)bus_->call(object_, "org.a11y.atspi.Accessible", "GetAttributes", nullptr, "(a{ss})");
    if (!bus_->firstWake(object_.bus)) return std::nullopt;
    std::optional<Reference> document;
    const auto end = std::chrono::steady_clock::now() + documentWakeTime;
    while (!document && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
      document = firstDocumentWith(ATSPI_STATE_SHOWING);
    }
    return document;
  }
  static constexpr auto documentWakeTime = 3s;

  // Firefox gives the address as "DocURL"; Chromium leaves that empty and gives "URI".
  AttributeResult address() {
    Variant reply = bus_->call(object_, "org.a11y.atspi.Document", "GetAttributes", nullptr, "(a{ss})");
    if (!reply) return failed();
    Variant attributes = reply.child(0);
    for (const char* key : {"DocURL", "URI"}) {
      const gchar* value = nullptr;
      if (g_variant_lookup(attributes.get(), key, "&s", &value) && value && *value)
        return success(Url{value});
    }
    return {AXStatus::noValue, {}};
  }

  AttributeResult visibleText() {
    bool unsettled = false;
    std::string text = readText(unsettled);
    // Firefox creates a page's accessibles when they are first asked for and fills in their text a moment
    // later: a block that is still empty then is read again once the page has had time to settle, and so is a
    // page that showed neither text nor anything drawn (a canvas appears only then).
    if (unsettled || (!layout_ && visibleTextLines(text).empty())) {
      std::this_thread::sleep_for(settleTime);
      text = readText(unsettled);
    }
    ElementArray lines;
    for (auto& line : visibleTextLines(text))
      lines.push_back(make(Kind::staticText, {}, std::move(line)));
    return success(std::move(lines));
  }

  std::string readText(bool& unsettled) {
    unsettled = false;
    std::string text;
    if (bus_->textReading == TextReading::pipelined) {
      std::optional<std::string> read;
      std::vector<PagePart> parts;
      std::optional<Rect> page;
      bus_->withDirectConnection({object_.bus, rootPath}, [&](sd_bus* bus) {
        PipelinedTextRead reading(bus, object_.bus);
        read = reading.run(object_, unsettled);
        parts = reading.parts();
        page = reading.pageExtents();
      });
      if (read) placeParts(parts, page);
      if (read) return std::move(*read);
      // An application without a socket of its own, or one whose connection just broke: the serial walk.
      unsettled = false;
    }
    std::size_t budget = maxTextNodes;
    appendText(object_, text, 0, budget, unsettled);
    return text;
  }

  // The page's parts relative to its window: both are read in the same coordinates, whatever those are (the
  // screen's under X11, a surface's under Wayland), so the difference is the window's own.
  void placeParts(const std::vector<PagePart>& parts, std::optional<Rect> page) {
    if (!window_.valid()) return;
    const auto window = bus_->screenExtents(window_);
    if (!window) return;
    auto placed = [](const Rect& rect) { return rect.width > 0 && rect.height > 0; };
    // Firefox gives its documents no extents (-1 everywhere): the page is then known only as far as its parts
    // reach, which never takes in the browser's own toolbars.
    if (!page || !placed(*page)) {
      Rect reach;
      for (const PagePart& part : parts) {
        if (!placed(part.frame)) continue;
        if (!placed(reach)) {
          reach = part.frame;
          continue;
        }
        const double right = std::max(reach.x + reach.width, part.frame.x + part.frame.width);
        const double bottom = std::max(reach.y + reach.height, part.frame.y + part.frame.height);
        reach.x = std::min(reach.x, part.frame.x);
        reach.y = std::min(reach.y, part.frame.y);
        reach.width = right - reach.x;
        reach.height = bottom - reach.y;
      }
      if (!placed(reach)) return;
      page = reach;
    }
    auto relative = [&](Rect rect) {
      rect.x -= window->x;
      rect.y -= window->y;
      return rect;
    };
    PageLayout layout{relative(*page), {}};
    for (const PagePart& part : parts)
      if (placed(part.frame))
        layout.parts.push_back({part.kind, relative(part.frame), part.descriptionCharacters});
    layout_ = std::move(layout);  // (the attribute being computed holds mutex_)
  }

  // Text of a node in reading order: its Text with each embedded-object character replaced by that child's
  // text, and a line around each block. Both browsers give the same text this way (Chromium also has text
  // leaves, which its containers' Text already holds; Firefox has none).
  static constexpr auto settleTime = 150ms;

  void appendText(const Reference& node, std::string& out, int depth, std::size_t& budget, bool& unsettled) {
    if (depth > maxTextDepth || budget == 0) return;
    --budget;
    const std::optional<std::uint32_t> role = bus_->role(node);
    if (!role || *role == ATSPI_ROLE_PASSWORD_TEXT) return;
    const bool block = isBlockRole(*role);
    if (block) out.push_back('\n');
    Variant count = bus_->property(node, "org.a11y.atspi.Text", "CharacterCount");
    if (!count || !g_variant_is_of_type(count.get(), G_VARIANT_TYPE_INT32)) {
      for (const Reference& child : bus_->children(node))
        appendText(child, out, depth + 1, budget, unsettled);
    } else {
      const gint32 length = g_variant_get_int32(count.get());
      if (length == 0 && isTextBlock(*role) && bus_->children(node).empty()) unsettled = true;
      std::string text;
      if (length > 0) {
        Variant reply =
            bus_->call(node, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, length), "(s)");
        if (reply) {
          const gchar* value = nullptr;
          g_variant_get(reply.get(), "(&s)", &value);
          text = value;
        }
      }
      const std::size_t embedded = countOf(text, objectReplacement);
      std::vector<Reference> objects;
      if (embedded > 0) {
        // When the children are exactly the embedded objects (Firefox always, Chromium often), one call
        // gives them all; otherwise each comes through the hypertext link that stands at its character.
        objects = bus_->children(node);
        if (objects.size() != embedded) {
          objects.clear();
          for (std::size_t link = 0; link < embedded; ++link) {
            Variant hyperlink = bus_->call(node, "org.a11y.atspi.Hypertext", "GetLink",
                                           g_variant_new("(i)", static_cast<gint32>(link)), "((so))");
            if (!hyperlink) {
              objects.push_back({});
              continue;
            }
            Variant object = bus_->call(referenceFrom(hyperlink.child(0).get()), "org.a11y.atspi.Hyperlink",
                                        "GetObject", g_variant_new("(i)", 0), "((so))");
            objects.push_back(object ? referenceFrom(object.child(0).get()) : Reference{});
          }
        }
      }
      std::size_t from = 0, index = 0;
      for (auto at = text.find(objectReplacement); at != std::string::npos;
           at = text.find(objectReplacement, from)) {
        out.append(text, from, at - from);
        from = at + objectReplacement.size();
        if (index < objects.size() && objects[index].valid())
          appendText(objects[index], out, depth + 1, budget, unsettled);
        ++index;
      }
      out.append(text, from, std::string::npos);
    }
    if (block) out.push_back('\n');
  }

  std::shared_ptr<AtspiBus> bus_;
  const Kind kind_;
  Reference object_;
  std::string
      text_;  // application and window: the name; document: its window's title; static text: the value
  const std::int32_t pid_;
  const std::uintptr_t identity_;

  std::mutex resolveMutex_;
  bool resolved_ = false;
  std::mutex mutex_;
  Reference window_;                  // a page's window, for placing its parts
  std::optional<PageLayout> layout_;  // a page's parts, once its text is read
  std::map<std::string, AttributeResult, std::less<>> answers_;
};

}  // namespace

AtspiAccessibility::AtspiAccessibility(TextReading reading, FramePlacement placement)
    : bus_(std::make_shared<AtspiBus>(reading, std::move(placement))) {}

AtspiAccessibility::~AtspiAccessibility() = default;

ElementRef AtspiAccessibility::createApplication(std::int32_t processId) {
  return std::make_shared<AtspiElement>(bus_, Kind::application, Reference{}, std::string{}, processId);
}

std::optional<std::string> AtspiAccessibility::applicationName(std::int32_t processId) {
  if (auto app = bus_->application(processId)) return app->name;
  return std::nullopt;
}

std::optional<std::vector<AccessibleFrame>> AtspiAccessibility::frames(std::int32_t processId) {
  auto app = bus_->application(processId);
  if (!app) return std::nullopt;
  Variant reply = bus_->call(app->root, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))");
  if (!reply) {
    bus_->forget(processId);
    return std::nullopt;
  }
  std::vector<AccessibleFrame> frames;
  for (const Reference& child : referencesFrom(reply.child(0))) {
    std::string name = bus_->stringProperty(child, "org.a11y.atspi.Accessible", "Name").value_or("");
    if (name.empty()) continue;  // Chromium's extra frames, which have no window
    AccessibleFrame frame{std::move(name), std::nullopt};
    frame.extents = bus_->placedExtents(processId, frame.name, child);
    frames.push_back(std::move(frame));
  }
  return frames;
}

}  // namespace tessaron::platform::freedesktop
