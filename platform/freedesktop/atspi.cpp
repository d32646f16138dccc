// The page reader: AT-SPI2 frames (through the bus client, atspi_bus.h) as page windows, with the page's text
// from the pipelined reader (page_reader.h).
//
// Each read is a round trip to the browser (0.3-0.5 ms), so a window keeps what it has read for its life (one
// pass of the capture loop), the page's document is found with one Collection query instead of a walk
// through the browser's own interface, and children come in one GetChildren call.
#include "platform/freedesktop/atspi.h"

#include "platform/freedesktop/atspi_bus.h"
#include "platform/freedesktop/page_reader.h"

#include <atspi/atspi-constants.h>
#include <gio/gio.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

namespace tessaron::platform::freedesktop {

namespace {

using namespace std::chrono_literals;

class AtspiPageWindow final : public PageWindow {
 public:
  AtspiPageWindow(std::shared_ptr<AtspiBus> bus, std::int32_t processId, Reference frame, std::string name,
                  BrowserFamily family, std::optional<Rect> placed = {})
      : bus_(std::move(bus)),
        pid_(processId),
        window_(std::move(frame)),
        name_(std::move(name)),
        addressAttributes_(addressAttributes(family)),
        keepsShownDocument_(family == BrowserFamily::firefox),
        namesDocuments_(family == BrowserFamily::chromium),
        qtWebEngine_(family == BrowserFamily::qtWebEngine) {
    if (placed) frame_ = *placed;
  }

  Outcome<Rect> frame() override {
    std::lock_guard lock(mutex_);
    if (!frame_) {
      if (auto extents = bus_->placedExtents(pid_, name_, window_))
        frame_ = *extents;
      else
        frame_ = PlatformError{"the accessibility bus gives no place for it"};
    }
    return *frame_;
  }

  std::optional<Page> page() override {
    std::lock_guard lock(mutex_);
    if (!page_) {
      page_.emplace();
      // QtWebEngine's address is the window's, not the page's: a page it has not built has none yet.
      if (const auto& document = shownDocument(); document && (!qtWebEngine_ || built(*document)))
        if (auto address = qtWebEngine_ ? shownAddress_ : addressOf(*document))
          page_->emplace(Page{name_, std::move(*address)});
    }
    return *page_;
  }

  std::string text() override {
    std::lock_guard lock(mutex_);
    if (!text_) {
      const auto& document = shownDocument();
      text_ = document ? visibleText(*document) : std::string();
    }
    return *text_;
  }

  std::optional<PageLayout> layout() override {
    std::lock_guard lock(mutex_);
    return layout_;
  }

  std::string ownTitle() override {
    std::lock_guard lock(mutex_);
    const auto& document = shownDocument();
    if (!namesDocuments_ || !document) return {};
    return bus_->stringProperty(*document, "org.a11y.atspi.Accessible", "Name").value_or("");
  }

  bool pageBuilt() override {
    std::lock_guard lock(mutex_);
    const auto& document = shownDocument();
    return document && (!qtWebEngine_ || built(*document));
  }

 private:
  // QtWebEngine shows a page it has not built (or never will, see qtWebEngineHidesPages) as an empty document
  // without a name. Asked once.
  bool built(const Reference& document) {
    if (!built_)
      built_ = !bus_->children(document).empty() ||
               !bus_->stringProperty(document, "org.a11y.atspi.Accessible", "Name").value_or("").empty();
    return *built_;
  }

  // The document the window shows, found once.
  const std::optional<Reference>& shownDocument() {
    if (!documentSought_) {
      documentSought_ = true;
      document_ = findShownDocument();
    }
    return document_;
  }

  // Only the page the window shows. Its document is the first SHOWING one in document order: a document in an
  // iframe comes after its page, and hidden tabs' documents are not SHOWING. A window covered completely
  // shows nothing, so Firefox then marks only the focused document. A page in another process (GNOME Web)
  // and a page not built yet (Chromium) come last: they cost more to find.
  std::optional<Reference> findShownDocument() {
    if (qtWebEngine_) return walkShownPage();
    if (!keepsShownDocument_) return searchShownDocument();
    if (auto remembered = bus_->shownDocument(window_))
      if (stillShownHere(*remembered)) return remembered;
    const auto searchStart = std::chrono::steady_clock::now();
    std::optional<Reference> document = searchShownDocument();
    // Only a document found showing is remembered (a focused one stands in for a covered window's page), and
    // only when searching took longer than checking it again takes.
    const bool slowSearch = std::chrono::steady_clock::now() - searchStart > rememberAfter;
    const bool showing = document && has(statesOf(*document).value_or(0), ATSPI_STATE_SHOWING);
    bus_->rememberShownDocument(window_, slowSearch && showing ? document : std::nullopt);
    return document;
  }

  std::optional<Reference> searchShownDocument() {
    std::optional<Reference> document = firstDocumentWith(window_, ATSPI_STATE_SHOWING);
    if (!document) document = outermostFocusedDocument();
    if (!document) document = embeddedDocument();
    if (!document) document = wakeDocuments();
    return document;
  }

  static constexpr auto rememberAfter = 5ms;

  // QtWebEngine's pages come through Qt's own bridge, which offers no search and no document attributes, and
  // marks a page showing even in a tab that is not (the tab's own panes are not). So the window's showing
  // objects are walked in order: the page is the first showing document below showing ancestors, and its
  // address is what the window's address field shows above it (the first showing editable text holding a
  // web address, passed over while it has the focus, for then it holds what is being typed).
  std::optional<Reference> walkShownPage() {
    std::optional<Reference> document;
    std::size_t visited = 0;
    const std::function<void(const Reference&, int)> visit = [&](const Reference& node, int depth) {
      if (document || depth > maxWalkDepth || ++visited > maxPageWalk) return;
      const auto states = statesOf(node);
      if (!states || !has(*states, ATSPI_STATE_SHOWING)) return;
      const auto role = bus_->role(node);
      if (role == ATSPI_ROLE_DOCUMENT_WEB) {
        document = node;
        return;
      }
      if ((role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) && !shownAddress_ &&
          has(*states, ATSPI_STATE_EDITABLE) && !has(*states, ATSPI_STATE_FOCUSED)) {
        if (auto text = wholeText(node); text && isWebAddress(*text)) shownAddress_ = std::move(*text);
      }
      for (const Reference& child : bus_->children(node))
        visit(child, depth + 1);
    };
    visit(window_, 0);
    return document;
  }
  static constexpr int maxWalkDepth = 64;
  static constexpr std::size_t maxPageWalk = 2000;

  static bool isWebAddress(std::string_view text) {
    for (std::string_view scheme : {"https://", "http://", "file://"})
      if (text.size() > scheme.size() && text.starts_with(scheme) &&
          text.find_first_of(" \t\n") == std::string_view::npos)
        return true;
    return false;
  }

  // The whole text of an object; none when it has no text (no Text interface). Empty as well when the text
  // cannot be read.
  std::optional<std::string> wholeText(const Reference& node) {
    Variant count = bus_->property(node, "org.a11y.atspi.Text", "CharacterCount");
    if (!count || !g_variant_is_of_type(count.get(), G_VARIANT_TYPE_INT32)) return std::nullopt;
    const gint32 length = g_variant_get_int32(count.get());
    if (length <= 0) return std::string();
    Variant reply =
        bus_->call(node, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, length), "(s)");
    if (!reply) return std::string();
    const gchar* value = nullptr;
    g_variant_get(reply.get(), "(&s)", &value);
    return std::string(value ? value : "");
  }

  // The object's states as one 64-bit set (AT-SPI's two words); none when it does not answer.
  std::optional<std::uint64_t> statesOf(const Reference& object) {
    Variant reply = bus_->call(object, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)");
    if (!reply) return std::nullopt;
    Variant words = reply.child(0);
    gsize count = 0;
    const auto* state =
        static_cast<const guint32*>(g_variant_get_fixed_array(words.get(), &count, sizeof(guint32)));
    std::uint64_t states = 0;
    for (gsize word = 0; word < std::min<gsize>(count, 2); ++word)
      states |= std::uint64_t{state[word]} << (32 * word);
    return states;
  }
  static bool has(std::uint64_t states, AtspiStateType flag) {
    return (states >> static_cast<unsigned>(flag) & 1) != 0;
  }

  // The document last found still shows, and in this window: a tab switched away from no longer shows, a
  // page navigated away from is gone from Firefox's tree, and a tab moved to another window has other
  // ancestors. (Chromium can keep a page navigated away from, for going back, with its states and ancestors
  // unchanged: seen here when the sanitizers slowed its searches enough for its documents to be kept, so its
  // windows search every time, which it answers at once.)
  bool stillShownHere(const Reference& document) {
    const auto states = statesOf(document);
    if (!states || !has(*states, ATSPI_STATE_SHOWING) || has(*states, ATSPI_STATE_DEFUNCT)) return false;
    Reference at = document;
    for (int depth = 0; depth < 64; ++depth) {
      Variant parent = bus_->property(at, "org.a11y.atspi.Accessible", "Parent");
      if (!parent || !g_variant_is_of_type(parent.get(), G_VARIANT_TYPE("(so)"))) return false;
      at = referenceFrom(parent.get());
      if (at == window_) return true;
      if (!at.valid()) return false;
    }
    return false;
  }

  // The first web document below `root`, in document order, that has the state. ("traverse" must be set for
  // the browsers to look below the root's direct children at all.)
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

  // The focused document may sit in an iframe: the page is its outermost document.
  std::optional<Reference> outermostFocusedDocument() {
    std::optional<Reference> document = firstDocumentWith(window_, ATSPI_STATE_FOCUSED);
    std::optional<Reference> at = document;
    for (int depth = 0; at && !(*at == window_) && depth < 64; ++depth) {
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
    if (auto root = bus_->embeddedRoot(window_))
      if (auto document = firstDocumentWith(*root, ATSPI_STATE_SHOWING)) return document;
    std::vector<Reference> level{window_};
    std::size_t visited = 0;
    for (int depth = 0; depth < maxEmbedDepth && !level.empty(); ++depth) {
      std::vector<Reference> next;
      for (const Reference& node : level)
        for (Reference& child : bus_->childrenAcrossSockets(node)) {
          if (++visited > maxEmbedWalk) return std::nullopt;
          if (child.bus != window_.bus)
            if (auto document = firstDocumentWith(child, ATSPI_STATE_SHOWING)) {
              bus_->rememberEmbeddedRoot(window_, child);
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
    (void)bus_->call(window_, "org.a11y.atspi.Accessible", "GetAttributes", nullptr, "(a{ss})");
    if (!bus_->firstWake(window_.bus)) return std::nullopt;
    std::optional<Reference> document;
    const auto end = std::chrono::steady_clock::now() + documentWakeTime;
    while (!document && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
      document = firstDocumentWith(window_, ATSPI_STATE_SHOWING);
    }
    return document;
  }
  static constexpr auto documentWakeTime = 3s;

  // The address, from the first of the browser's address attributes the document gives.
  std::optional<std::string> addressOf(const Reference& document) {
    Variant reply = bus_->call(document, "org.a11y.atspi.Document", "GetAttributes", nullptr, "(a{ss})");
    if (!reply) return std::nullopt;
    Variant attributes = reply.child(0);
    for (std::string_view key : addressAttributes_) {
      const gchar* value = nullptr;
      if (g_variant_lookup(attributes.get(), std::string(key).c_str(), "&s", &value) && value && *value)
        return std::string(value);
    }
    return std::nullopt;
  }

  // The page's lines, one after another, apart by a space (records split words at spaces).
  std::string visibleText(const Reference& document) {
    bool unsettled = false;
    std::string text = readText(document, unsettled);
    // Firefox creates a page's accessibles when they are first asked for and fills in their text a moment
    // later: a block that is still empty then is read again once the page has had time to settle, and so is a
    // page that showed neither text nor anything drawn (a canvas appears only then).
    if (unsettled || (!layout_ && visibleTextLines(text).empty())) {
      std::this_thread::sleep_for(settleTime);
      text = readText(document, unsettled);
    }
    std::string lines;
    for (const auto& line : visibleTextLines(text)) {
      if (!lines.empty()) lines.push_back(' ');
      lines += line;
    }
    return lines;
  }

  std::string readText(const Reference& document, bool& unsettled) {
    unsettled = false;
    std::string text;
    if (bus_->textReading == TextReading::pipelined) {
      std::optional<std::string> read;
      std::vector<PagePart> parts;
      std::optional<Rect> page;
      bus_->withDirectConnection({document.bus, rootPath}, [&](sd_bus* bus, bool throughBus) {
        PipelinedTextRead reading(bus, document.bus, throughBus, qtWebEngine_);
        read = reading.run(document, unsettled);
        parts = reading.parts();
        page = reading.pageExtents();
      });
      if (read) placeParts(document, parts, page);
      if (read) return std::move(*read);
      // An application without a socket of its own, or one whose connection just broke: the serial walk.
      unsettled = false;
    }
    std::size_t budget = maxTextNodes;
    appendText(document, text, 0, budget, unsettled);
    return text;
  }

  // The page's parts relative to its window: both are read in the same coordinates, whatever those are (the
  // screen's under X11, a surface's under Wayland), so the difference is the window's own.
  void placeParts(const Reference& document, const std::vector<PagePart>& parts, std::optional<Rect> page) {
    const auto window = bus_->screenExtents(window_);
    if (!window) return;
    auto placed = [](const Rect& rect) { return rect.width > 0 && rect.height > 0; };
    // Firefox can give its document no extents while its text is being read (-1 everywhere); asked on its own
    // afterwards it places it below its toolbars, where the page is drawn (measured with Firefox ESR under
    // X11: a 1280x972 window's document starts 85 px down and ends with it). Failing both, the page is known
    // only as far as its parts reach, which never takes in the browser's own toolbars either.
    if (!page || !placed(*page)) page = bus_->screenExtents(document);
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
    layout_ = std::move(layout);  // (the text being read holds mutex_)
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
    std::optional<std::string> whole = wholeText(node);
    if (!whole) {
      const std::vector<Reference> children = bus_->children(node);
      // Qt's bridge gives a page's words as the names of its text leaves, which have no text of their own
      // (each keeps its spaces: "Hello ", "bold", " world ").
      if (qtWebEngine_ && children.empty() && isNamedTextLeaf(*role))
        out += bus_->stringProperty(node, "org.a11y.atspi.Accessible", "Name").value_or("");
      for (const Reference& child : children)
        appendText(child, out, depth + 1, budget, unsettled);
    } else {
      const std::string text = std::move(*whole);
      if (text.empty() && isTextBlock(*role) && bus_->children(node).empty()) unsettled = true;
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
  const std::int32_t pid_;
  const Reference window_;
  const std::string name_;
  const std::span<const std::string_view> addressAttributes_;
  // Firefox's windows keep the document they found (finding it again costs tens of milliseconds there).
  const bool keepsShownDocument_;
  // Chromium names a page's document after the page, apart from its window (renamed a moment later).
  const bool namesDocuments_;
  const bool qtWebEngine_;

  std::mutex mutex_;
  std::optional<Outcome<Rect>> frame_;
  bool documentSought_ = false;
  std::optional<Reference> document_;
  std::optional<std::string> shownAddress_;  // QtWebEngine's: from the window's address field
  std::optional<bool> built_;
  std::optional<std::optional<Page>> page_;
  std::optional<std::string> text_;
  std::optional<PageLayout> layout_;  // the page's parts, once its text is read
};

}  // namespace

AtspiPages::AtspiPages(TextReading reading, FramePlacement placement)
    : bus_(std::make_shared<AtspiBus>(reading, std::move(placement))) {}

AtspiPages::~AtspiPages() = default;

std::optional<std::vector<Reference>> AtspiPages::topLevel(std::int32_t processId) {
  auto app = bus_->application(processId);
  if (!app) return std::nullopt;
  Variant reply = bus_->call(app->root, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))");
  if (!reply) {
    bus_->forget(processId);
    return std::nullopt;
  }
  return referencesFrom(reply.child(0));
}

std::optional<std::vector<PageWindowRef>> AtspiPages::windowsOf(std::int32_t processId,
                                                                const Browser& browser) {
  if (auto read = recentlyRead(processId)) {
    std::vector<PageWindowRef> windows;
    for (NamedFrame& frame : *read) {
      Reference object{std::move(frame.bus), std::move(frame.path)};
      if (bus_->role(object) != ATSPI_ROLE_FRAME || frameMayBePrivate(browser, frame.name)) continue;
      windows.push_back(std::make_shared<AtspiPageWindow>(
          bus_, processId, std::move(object), std::move(frame.name), browser.family, frame.extents));
    }
    return windows;
  }
  auto children = topLevel(processId);
  if (!children) return std::nullopt;
  std::vector<PageWindowRef> windows;
  for (Reference& child : *children) {
    // The name first: Chromium's extra frames, which have no window, have none, and need no more questions.
    std::string name = bus_->stringProperty(child, "org.a11y.atspi.Accessible", "Name").value_or("");
    if (name.empty() || bus_->role(child) != ATSPI_ROLE_FRAME) continue;
    // A frame that may be a private window's is passed over before anything of it is read, so that matching
    // an ordinary window never reads or logs a private one of the same process.
    if (frameMayBePrivate(browser, name)) continue;
    windows.push_back(std::make_shared<AtspiPageWindow>(bus_, processId, std::move(child), std::move(name),
                                                        browser.family));
  }
  return windows;
}

std::optional<std::string> AtspiPages::applicationName(std::int32_t processId) {
  if (auto app = bus_->application(processId)) return app->name;
  return std::nullopt;
}

std::optional<std::vector<AccessibleFrame>> AtspiPages::frames(std::int32_t processId) {
  auto children = topLevel(processId);
  if (!children) return std::nullopt;
  std::vector<AccessibleFrame> frames;
  ReadFrames read{std::chrono::steady_clock::now(), {}};
  for (const Reference& child : *children) {
    std::string name = bus_->stringProperty(child, "org.a11y.atspi.Accessible", "Name").value_or("");
    if (name.empty()) continue;  // Chromium's extra frames, which have no window
    AccessibleFrame frame{std::move(name), std::nullopt};
    frame.extents = bus_->placedExtents(processId, frame.name, child);
    read.frames.push_back({child.bus, child.path, frame.name, frame.extents});
    frames.push_back(std::move(frame));
  }
  std::lock_guard lock(recentMutex_);
  // What no matching took (a private window's process, one that has ended) goes once it is stale.
  std::erase_if(recent_, [&](const auto& entry) { return read.at - entry.second.at > framesFreshFor; });
  recent_[processId] = std::move(read);
  return frames;
}

std::optional<std::vector<AtspiPages::NamedFrame>> AtspiPages::recentlyRead(std::int32_t processId) {
  std::lock_guard lock(recentMutex_);
  auto found = recent_.find(processId);
  if (found == recent_.end()) return std::nullopt;
  ReadFrames read = std::move(found->second);
  recent_.erase(found);
  if (std::chrono::steady_clock::now() - read.at > framesFreshFor) return std::nullopt;
  return std::move(read.frames);
}

}  // namespace tessaron::platform::freedesktop
