// AT-SPI2 over D-Bus, read through a private GDBus connection to the accessibility bus, and a page's text
// through a direct connection to the browser (see PipelinedTextRead).
//
// Each read is a round trip to the browser (0.3-0.5 ms), so answers are cached per element for the element's
// life (one pass of the capture loop), the page's document is found with one Collection query instead of a
// walk through the browser's own interface, and children come in one GetChildren call.
#include "platform/freedesktop/atspi.h"

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

// A browser that stops answering must not hold up the capture loop for D-Bus's default 25 s.
constexpr int callTimeoutMs = 2000;

constexpr const char* registryName = "org.a11y.atspi.Registry";
constexpr const char* rootPath = "/org/a11y/atspi/accessible/root";
constexpr const char* nullPath = "/org/a11y/atspi/null";

// An owned GVariant.
class Variant {
 public:
  Variant() = default;
  explicit Variant(GVariant* adopted) : value_(adopted) {}
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  ~Variant() {
    if (value_) g_variant_unref(value_);
  }
  GVariant* get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }
  // The n-th member of a tuple.
  Variant child(std::size_t index) const { return Variant(g_variant_get_child_value(value_, index)); }

 private:
  GVariant* value_ = nullptr;
};

// A remote accessible object: the bus name of its application and its object path.
struct Reference {
  std::string bus;
  std::string path;
  bool valid() const { return !bus.empty() && path != nullPath; }
  bool operator==(const Reference&) const = default;
};

Reference referenceFrom(GVariant* pair) {
  const gchar* bus = nullptr;
  const gchar* path = nullptr;
  g_variant_get(pair, "(&s&o)", &bus, &path);
  return {bus, path};
}

std::vector<Reference> referencesFrom(const Variant& array) {
  std::vector<Reference> out;
  if (!array) return out;
  GVariantIter iter;
  g_variant_iter_init(&iter, array.get());
  while (GVariant* pair = g_variant_iter_next_value(&iter)) {
    out.push_back(referenceFrom(pair));
    g_variant_unref(pair);
  }
  return out;
}

// A process's start time, so that a cached entry is never used for a later process with the same id.
std::string processStartTime(std::int32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return {};
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 > line.size()) return {};
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return field;  // field 22: start time in clock ticks since boot
}

// Roles whose text starts and ends a line of its own.
bool isBlockRole(std::uint32_t role) {
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
bool isMissingDescriptionHint(std::string_view name) {
  return name.find("missing image descriptions") != std::string_view::npos;
}

// Characters (code points) of UTF-8 text.
std::size_t characterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool isTextBlock(std::uint32_t role) {
  return role == ATSPI_ROLE_HEADING || role == ATSPI_ROLE_PARAGRAPH || role == ATSPI_ROLE_LIST_ITEM;
}

// Limits of a page's text: deeper nodes and nodes beyond the count are not read.
constexpr int maxTextDepth = 256;
constexpr std::size_t maxTextNodes = 20000;

constexpr std::string_view objectReplacement = "\xEF\xBF\xBC";  // U+FFFC, where an embedded child sits
constexpr std::string_view zeroWidthNoBreak = "\xEF\xBB\xBF";   // U+FEFF, which Firefox adds after emoji

std::size_t countOf(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size()))
    ++n;
  return n;
}

}  // namespace

// Lines of visible text: trimmed, without placeholder characters, empty ones dropped.
std::vector<std::string> visibleTextLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    for (std::string_view drop : {objectReplacement, zeroWidthNoBreak})
      for (auto at = line.find(drop); at != std::string::npos; at = line.find(drop, at))
        line.erase(at, drop.size());
    const auto first = line.find_first_not_of(" \t\r\f\v");
    if (first != std::string::npos) {
      const auto last = line.find_last_not_of(" \t\r\f\v");
      lines.push_back(line.substr(first, last - first + 1));
    }
    start = end + 1;
  }
  return lines;
}

// The connection to the accessibility bus, made on first use and again after it breaks, and what it knows
// about applications. Safe to use from any thread.
class AtspiBus {
 public:
  AtspiBus(TextReading reading, FramePlacement placement)
      : textReading(reading), framePlacement(std::move(placement)) {}
  ~AtspiBus() {
    if (connection_) g_object_unref(connection_);
    for (auto& [name, direct] : direct_)
      if (direct.bus) sd_bus_flush_close_unref(direct.bus);
  }
  AtspiBus(const AtspiBus&) = delete;
  AtspiBus& operator=(const AtspiBus&) = delete;

  // A method call; nothing when it fails (the object is gone, lacks the interface, or the bus is down).
  Variant call(const Reference& object, const char* interface, const char* method, GVariant* parameters,
               const char* replyType) {
    GDBusConnection* bus = connection();
    if (!bus || !object.valid()) {
      if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
      return {};
    }
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, object.bus.c_str(), object.path.c_str(), interface,
                                                  method, parameters, G_VARIANT_TYPE(replyType),
                                                  G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
    if (error) g_error_free(error);
    return Variant(reply);
  }

  // A property's value (unwrapped from its variant), or nothing.
  Variant property(const Reference& object, const char* interface, const char* name) {
    Variant reply =
        call(object, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", interface, name), "(v)");
    if (!reply) return {};
    Variant boxed = reply.child(0);
    return Variant(g_variant_get_variant(boxed.get()));
  }

  std::optional<std::string> stringProperty(const Reference& object, const char* interface,
                                            const char* name) {
    Variant value = property(object, interface, name);
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) return std::nullopt;
    return std::string(g_variant_get_string(value.get(), nullptr));
  }

  std::optional<std::uint32_t> role(const Reference& object) {
    Variant reply = call(object, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)");
    if (!reply) return std::nullopt;
    std::uint32_t role = 0;
    g_variant_get(reply.get(), "(u)", &role);
    return role;
  }

  // The object's extents in screen coordinates: under X11 the client window's root coordinates; under
  // Wayland, where clients do not know where they are, relative to the window's surface.
  std::optional<Rect> screenExtents(const Reference& object) {
    Variant reply =
        call(object, "org.a11y.atspi.Component", "GetExtents",
             g_variant_new("(u)", static_cast<std::uint32_t>(ATSPI_COORD_TYPE_SCREEN)), "((iiii))");
    if (!reply) return std::nullopt;
    gint32 x = 0, y = 0, width = 0, height = 0;
    g_variant_get(reply.get(), "((iiii))", &x, &y, &width, &height);
    return Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
                static_cast<double>(height)};
  }

  std::vector<Reference> children(const Reference& object) {
    Variant reply = call(object, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))");
    return reply ? referencesFrom(reply.child(0)) : std::vector<Reference>{};
  }

  // The children, also of a socket that embeds another application's tree: GetChildren answers nothing for
  // it, while asking for the child by its index gives the embedded root.
  std::vector<Reference> childrenAcrossSockets(const Reference& object) {
    std::vector<Reference> found = children(object);
    if (!found.empty()) return found;
    Variant count = property(object, "org.a11y.atspi.Accessible", "ChildCount");
    if (!count || !g_variant_is_of_type(count.get(), G_VARIANT_TYPE_INT32)) return found;
    for (gint32 i = 0; i < std::min<gint32>(g_variant_get_int32(count.get()), 8); ++i) {
      Variant reply =
          call(object, "org.a11y.atspi.Accessible", "GetChildAtIndex", g_variant_new("(i)", i), "((so))");
      if (!reply) continue;
      Variant child = reply.child(0);
      Reference reference = referenceFrom(child.get());
      if (reference.valid()) found.push_back(std::move(reference));
    }
    return found;
  }

  struct Application {
    Reference root;
    std::string name;
  };

  // The application running as this process. Entries are checked against the process's start time; a
  // process without one is looked for again at most every two seconds.
  std::optional<Application> application(std::int32_t pid) {
    std::lock_guard lock(applicationsMutex_);
    const std::string started = processStartTime(pid);
    const auto now = std::chrono::steady_clock::now();
    auto it = applications_.find(pid);
    if (it != applications_.end() && it->second.startTime == started) {
      if (it->second.app) return it->second.app;
      if (now - it->second.checked < 2s) return std::nullopt;
    }
    rescan(now);
    it = applications_.find(pid);
    if (it == applications_.end() || it->second.startTime != started) {
      applications_[pid] = {std::nullopt, started, now};
      return std::nullopt;
    }
    return it->second.app;
  }

  void forget(std::int32_t pid) {
    std::lock_guard lock(applicationsMutex_);
    applications_.erase(pid);
  }

  // Where a window's page tree was last found in another application (GNOME Web's web process), so that
  // later reads search there first instead of walking the window again. Kept for the last few windows.
  std::optional<Reference> embeddedRoot(const Reference& frame) {
    std::lock_guard lock(applicationsMutex_);
    auto it = embeddedRoots_.find(frame.bus + frame.path);
    return it == embeddedRoots_.end() ? std::nullopt : std::optional(it->second);
  }
  void rememberEmbeddedRoot(const Reference& frame, const Reference& root) {
    std::lock_guard lock(applicationsMutex_);
    if (embeddedRoots_.size() >= 64) embeddedRoots_.clear();
    embeddedRoots_[frame.bus + frame.path] = root;
  }

  // True the first time it is asked for this application (by its bus name): the one time a caller waits
  // for the application to build its pages' accessibles.
  bool firstWake(const std::string& busName) {
    std::lock_guard lock(applicationsMutex_);
    return woken_.insert(busName).second;
  }

  // Runs `read` with a direct connection to the application whose root is given, one reader at a time;
  // false when the application offers no connection of its own. Browsers answer on their own socket as
  // well as through the bus.
  bool withDirectConnection(const Reference& applicationRoot, const std::function<void(sd_bus*)>& read) {
    std::unique_lock lock(directMutex_);
    Direct& direct = direct_[applicationRoot.bus];
    if (direct.bus && sd_bus_is_open(direct.bus) <= 0) direct.bus = sd_bus_flush_close_unref(direct.bus);
    if (!direct.bus) {
      const auto now = std::chrono::steady_clock::now();
      if (direct.attempted && now - direct.lastAttempt < 2s) return false;
      direct.attempted = true;
      direct.lastAttempt = now;
      direct.bus = openDirect(applicationRoot);
      if (!direct.bus) return false;
      forgetGoneApplications(applicationRoot.bus);
    }
    read(direct.bus);
    return true;
  }

  // Connections to applications that have left the bus (a browser restarted gets a new bus name).
  void forgetGoneApplications(const std::string& keep) {
    std::set<std::string> live{keep};
    {
      std::lock_guard lock(applicationsMutex_);
      for (const auto& [pid, entry] : applications_)
        if (entry.app) live.insert(entry.app->root.bus);
    }
    for (auto it = direct_.begin(); it != direct_.end();) {
      if (live.contains(it->first)) {
        ++it;
        continue;
      }
      if (it->second.bus) sd_bus_flush_close_unref(it->second.bus);
      it = direct_.erase(it);
    }
  }

  const TextReading textReading;
  const FramePlacement framePlacement;

  // A frame's extents as the window list places its window; as read where the desktop has no placement.
  std::optional<Rect> placedExtents(std::int32_t pid, const std::string& name, const Reference& frame) {
    auto extents = screenExtents(frame);
    if (!extents || !framePlacement) return extents;
    return framePlacement(pid, name, *extents);
  }

 private:
  struct Entry {
    std::optional<Application> app;
    std::string startTime;
    std::chrono::steady_clock::time_point checked;
  };

  GDBusConnection* connection() {
    std::lock_guard lock(connectionMutex_);
    if (connection_ && !g_dbus_connection_is_closed(connection_)) return connection_;
    const auto now = std::chrono::steady_clock::now();
    if (connection_ || (attempted_ && now - lastAttempt_ < 2s)) {
      if (connection_) {
        g_object_unref(connection_);
        connection_ = nullptr;
      }
      if (attempted_ && now - lastAttempt_ < 2s) return nullptr;
    }
    attempted_ = true;
    lastAttempt_ = now;
    connection_ = connect();
    return connection_;
  }

  // The accessibility bus's address comes from the launcher on the session bus.
  static GDBusConnection* connect() {
    GError* error = nullptr;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
      g_error_free(error);
      return nullptr;
    }
    g_dbus_connection_set_exit_on_close(session, FALSE);  // losing the bus must not end the program
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                  "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                  G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
    g_object_unref(session);
    if (!reply) {
      g_error_free(error);
      return nullptr;
    }
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_variant_unref(reply);
    if (!bus) {
      g_error_free(error);
      return nullptr;
    }
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
  }

  void rescan(std::chrono::steady_clock::time_point now) {
    std::map<std::int32_t, Entry> fresh;
    for (const Reference& app : children({registryName, rootPath})) {
      Variant reply = call({"org.freedesktop.DBus", "/org/freedesktop/DBus"}, "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", g_variant_new("(s)", app.bus.c_str()), "(u)");
      if (!reply) continue;
      std::uint32_t pid = 0;
      g_variant_get(reply.get(), "(u)", &pid);
      if (pid == 0 || pid > INT32_MAX) continue;
      const auto id = static_cast<std::int32_t>(pid);
      std::string name = stringProperty(app, "org.a11y.atspi.Accessible", "Name").value_or("");
      fresh[id] = {Application{app, std::move(name)}, processStartTime(id), now};
    }
    // Remembered misses stay until they expire; everything found replaces what was known.
    for (auto& [pid, entry] : applications_)
      if (!entry.app && !fresh.contains(pid)) fresh.emplace(pid, std::move(entry));
    applications_ = std::move(fresh);
  }

  std::mutex connectionMutex_;
  GDBusConnection* connection_ = nullptr;
  bool attempted_ = false;
  std::chrono::steady_clock::time_point lastAttempt_;

  std::mutex applicationsMutex_;
  std::map<std::int32_t, Entry> applications_;
  std::set<std::string> woken_;
  std::map<std::string, Reference> embeddedRoots_;

  struct Direct {
    sd_bus* bus = nullptr;
    bool attempted = false;
    std::chrono::steady_clock::time_point lastAttempt;
  };

  sd_bus* openDirect(const Reference& applicationRoot) {
    Variant reply =
        call(applicationRoot, "org.a11y.atspi.Application", "GetApplicationBusAddress", nullptr, "(s)");
    if (!reply) return nullptr;
    const gchar* address = nullptr;
    g_variant_get(reply.get(), "(&s)", &address);
    sd_bus* bus = nullptr;
    if (!address || !*address || sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address) < 0 || sd_bus_start(bus) < 0) return sd_bus_flush_close_unref(bus);
    return bus;
  }

  std::mutex directMutex_;
  std::map<std::string, Direct> direct_;  // by the application's bus name
};

namespace {

// A page's text read with many calls in flight. The serial walk waits for each reply before it asks the next
// question, so a page of a few thousand nodes costs that many round trips in a row. Here a node's questions
// go out as soon as its parent's answers name it, many waiting at once, and the answers are then put together
// in the walk's order: the text is the serial walk's, byte for byte.
//
// The calls go straight to the browser's own socket (both browsers offer one), not through the bus daemon,
// and through sd-bus, which handles a message in a few microseconds on the calling thread: GDBus spends about
// a hundred on each (a worker thread and a main-context wake-up per reply), which made the pipelined read
// bound by this process rather than by the browser.
//
// Then the browser is the bound, at some 35 us a call, so the read asks as little as it can: one call to the
// application's cache gives every object's role, interfaces and place in the tree, and only the texts are
// asked for one by one. Whatever the cache lacks (objects made since) is asked for as well. Measured on a
// page of 3,700 nodes: 5,600 calls without the cache, 1,500 with it; 220 ms against 105 ms.
class PipelinedTextRead {
 public:
  // `bus` is a direct connection to the application named `applicationBus`.
  PipelinedTextRead(sd_bus* bus, std::string applicationBus)
      : bus_(bus), applicationBus_(std::move(applicationBus)) {}
  PipelinedTextRead(const PipelinedTextRead&) = delete;
  PipelinedTextRead& operator=(const PipelinedTextRead&) = delete;

  // The parts the page draws and its own extents (screen coordinates), once run() has returned.
  const std::vector<PagePart>& parts() const { return parts_; }
  const std::optional<Rect>& pageExtents() const { return pageExtents_; }

  // The text, or nothing when the connection broke.
  std::optional<std::string> run(const Reference& root, bool& unsettled) {
    const auto deadline = std::chrono::steady_clock::now() + readDeadline;
    loadCache();
    add(root, 0);
    askExtents(root, [this](std::optional<Rect> extents) { pageExtents_ = extents; });
    send();
    while (inFlight_ > 0) {
      const int processed = sd_bus_process(bus_, nullptr);
      if (processed < 0) return std::nullopt;
      if (processed > 0) continue;
      if (std::chrono::steady_clock::now() > deadline) queued_.clear();  // no more questions; answers come
      if (sd_bus_wait(bus_, std::uint64_t{100'000}) < 0) return std::nullopt;
    }
    std::string text;
    std::size_t budget = maxTextNodes;
    unsettled = false;
    if (!nodes_.empty()) assemble(0, text, 0, budget, unsettled);
    return text;
  }

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
  };

  struct Pending {
    PipelinedTextRead* read;
    std::function<void(sd_bus_message*)> done;
  };

  std::size_t add(Reference object, int depth) {
    if (depth > maxTextDepth || nodes_.size() >= maxTextNodes) return noNode;
    const std::size_t index = nodes_.size();
    nodes_.push_back({std::move(object), depth});
    if (const Cached* cached = cachedOf(nodes_[index].object)) {
      roleKnown(index, cached->role);
      return index;
    }
    ask(index, "org.a11y.atspi.Accessible", "GetRole", {}, {},
        [this, index](sd_bus_message* reply) { roleRead(index, reply); });
    return index;
  }

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

  const Cached* cachedOf(const Reference& object) const {
    if (object.bus != applicationBus_) return nullptr;
    auto it = cache_.find(object.path);
    return it == cache_.end() ? nullptr : &it->second;
  }

  void loadCache() {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_call_method(bus_, nullptr, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems", &error,
                           &reply, "") < 0) {
      sd_bus_error_free(&error);
      return;
    }
    struct Item {
      std::string path, parentBus, parentPath;
      std::int32_t index;
    };
    std::vector<Item> items;
    if (sd_bus_message_enter_container(reply, 'a', "((so)(so)(so)iiassusau)") > 0) {
      while (sd_bus_message_enter_container(reply, 'r', "(so)(so)(so)iiassusau") > 0) {
        const char *bus = nullptr, *path = nullptr, *appBus = nullptr, *appPath = nullptr,
                   *parentBus = nullptr, *parentPath = nullptr;
        std::int32_t index = 0, childCount = 0;
        if (sd_bus_message_read(reply, "(so)(so)(so)ii", &bus, &path, &appBus, &appPath, &parentBus,
                                &parentPath, &index, &childCount) <= 0)
          break;
        Cached entry;
        entry.childCount = childCount;
        if (sd_bus_message_enter_container(reply, 'a', "s") > 0) {
          const char* interface = nullptr;
          while (sd_bus_message_read(reply, "s", &interface) > 0)
            if (std::string_view(interface) == "org.a11y.atspi.Text") entry.hasText = true;
          sd_bus_message_exit_container(reply);
        }
        const char *name = nullptr, *description = nullptr;
        if (sd_bus_message_read(reply, "sus", &name, &entry.role, &description) <= 0) break;
        entry.nameCharacters =
            isMissingDescriptionHint(name ? name : "") ? 0 : characterCount(name ? name : "");
        sd_bus_message_skip(reply, "au");
        sd_bus_message_exit_container(reply);
        items.push_back({path, parentBus, parentPath, index});
        cache_.emplace(path, std::move(entry));
      }
    }
    sd_bus_message_unref(reply);
    for (const Item& item : items) {
      if (item.parentBus != applicationBus_ || item.index < 0) continue;
      auto parent = cache_.find(item.parentPath);
      if (parent == cache_.end() || item.index >= parent->second.childCount) continue;
      auto& children = parent->second.children;
      if (children.size() < static_cast<std::size_t>(parent->second.childCount))
        children.resize(static_cast<std::size_t>(parent->second.childCount));
      children[static_cast<std::size_t>(item.index)] = item.path;
    }
  }

  // Objects of another application (none in a page so far) are not reachable on this connection.
  void ask(std::size_t index, const char* interface, const char* method, std::optional<std::int32_t> argument,
           std::optional<std::int32_t> secondArgument, std::function<void(sd_bus_message*)> done) {
    askAt(nodes_[index].object, interface, method, argument, secondArgument, std::move(done));
  }

  void askAt(const Reference& object, const char* interface, const char* method,
             std::optional<std::int32_t> argument, std::optional<std::int32_t> secondArgument,
             std::function<void(sd_bus_message*)> done, char argumentType = 'i') {
    if (!object.valid() || object.bus != applicationBus_) return;
    queued_.push_back(
        {object.path, interface, method, argument, secondArgument, std::move(done), argumentType});
  }

  void send() {
    while (inFlight_ < maxInFlight && !queued_.empty()) {
      Call call = std::move(queued_.front());
      queued_.pop_front();
      sd_bus_message* message = nullptr;
      if (sd_bus_message_new_method_call(bus_, &message, nullptr, call.path.c_str(), call.interface,
                                         call.method) < 0)
        continue;
      bool built = true;
      if (call.argument)
        built = sd_bus_message_append_basic(message, call.argumentType, &*call.argument) >= 0;
      if (built && call.secondArgument)
        built = sd_bus_message_append_basic(message, 'i', &*call.secondArgument) >= 0;
      auto* pending = new Pending{this, std::move(call.done)};
      if (built && sd_bus_call_async(bus_, nullptr, message, &PipelinedTextRead::replied, pending,
                                     std::uint64_t{callTimeoutMs} * 1000) >= 0)
        ++inFlight_;
      else
        delete pending;
      sd_bus_message_unref(message);
    }
  }

  static int replied(sd_bus_message* reply, void* data, sd_bus_error*) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    --pending->read->inFlight_;
    pending->done(sd_bus_message_is_method_error(reply, nullptr) ? nullptr : reply);
    pending->read->send();
    return 0;
  }

  static std::optional<Reference> readReference(sd_bus_message* reply) {
    const char* bus = nullptr;
    const char* path = nullptr;
    if (!reply || sd_bus_message_read(reply, "(so)", &bus, &path) <= 0) return std::nullopt;
    return Reference{bus, path};
  }

  void roleRead(std::size_t index, sd_bus_message* reply) {
    std::uint32_t role = 0;
    if (!reply || sd_bus_message_read(reply, "u", &role) <= 0) return;
    roleKnown(index, role);
  }

  void roleKnown(std::size_t index, std::uint32_t role) {
    nodes_[index].role = role;
    if (auto kind = partKindOf(role)) notePart(index, *kind);
    if (role == ATSPI_ROLE_PASSWORD_TEXT) return;  // a password's text is never asked for
    if (const Cached* cached = cachedOf(nodes_[index].object); cached && !cached->hasText) {
      textRead(index, nullptr);
      return;
    }
    // -1 reads to the end: one call instead of the character count and then the text.
    ask(index, "org.a11y.atspi.Text", "GetText", 0, -1,
        [this, index](sd_bus_message* text) { textRead(index, text); });
  }

  static std::optional<PagePartKind> partKindOf(std::uint32_t role) {
    switch (role) {
      case ATSPI_ROLE_CANVAS:
        return PagePartKind::canvas;
      case ATSPI_ROLE_IMAGE:
        return PagePartKind::image;
      case ATSPI_ROLE_EMBEDDED:
        return PagePartKind::embedded;
      case ATSPI_ROLE_PASSWORD_TEXT:
        return PagePartKind::password;
      default:
        return std::nullopt;
    }
  }

  // A part the page draws, placed when its extents come.
  void notePart(std::size_t index, PagePartKind kind) {
    if (parts_.size() >= maxParts) return;
    const Cached* cached = cachedOf(nodes_[index].object);
    parts_.push_back({kind, {}, cached ? cached->nameCharacters : 0});
    const std::size_t at = parts_.size() - 1;
    askExtents(nodes_[index].object, [this, at](std::optional<Rect> extents) {
      if (extents) parts_[at].frame = *extents;
    });
  }

  void askExtents(const Reference& object, std::function<void(std::optional<Rect>)> done) {
    askAt(
        object, "org.a11y.atspi.Component", "GetExtents", static_cast<std::int32_t>(ATSPI_COORD_TYPE_SCREEN),
        {},
        [done = std::move(done)](sd_bus_message* reply) {
          std::int32_t x = 0, y = 0, width = 0, height = 0;
          if (!reply || sd_bus_message_read(reply, "(iiii)", &x, &y, &width, &height) <= 0) return done({});
          done(Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
                    static_cast<double>(height)});
        },
        'u');  // the coordinate type is unsigned
  }

  void textRead(std::size_t index, sd_bus_message* reply) {
    const char* value = nullptr;
    if (!reply || sd_bus_message_read(reply, "s", &value) <= 0) {
      askChildren(index, [this, index](std::vector<Reference> children) {
        for (Reference& child : children)
          nodes_[index].parts.push_back(add(std::move(child), nodes_[index].depth + 1));
      });
      return;
    }
    Node& node = nodes_[index];
    node.text = value;
    const std::size_t embedded = countOf(*node.text, objectReplacement);
    if (embedded > 0) {
      askChildren(index, [this, index, embedded](std::vector<Reference> children) {
        if (children.size() == embedded) {
          for (Reference& child : children)
            nodes_[index].parts.push_back(add(std::move(child), nodes_[index].depth + 1));
          return;
        }
        // Chromium lists a text's leaves among its children too: leaves have the static role and no
        // children (an emphasis has the role too, but holds a leaf).
        std::vector<Reference> objects;
        bool sorted = true;
        for (Reference& child : children) {
          const Cached* cached = cachedOf(child);
          if (!cached) {
            sorted = false;
            break;
          }
          if (cached->role != ATSPI_ROLE_STATIC || cached->childCount > 0)
            objects.push_back(std::move(child));
        }
        if (sorted && objects.size() == embedded) {
          for (Reference& object : objects)
            nodes_[index].parts.push_back(add(std::move(object), nodes_[index].depth + 1));
          return;
        }
        // Otherwise each object comes through the link at its character.
        nodes_[index].parts.assign(embedded, noNode);
        for (std::size_t link = 0; link < embedded; ++link)
          askLinkedObject(index, link);
      });
    } else if (node.text->empty() && isTextBlock(*node.role)) {
      askChildren(index, [this, index](std::vector<Reference> children) {
        nodes_[index].emptyTextBlock = children.empty();
      });
    }
  }

  void askChildren(std::size_t index, std::function<void(std::vector<Reference>)> done) {
    if (const Cached* cached = cachedOf(nodes_[index].object); cached && cached->childrenComplete()) {
      std::vector<Reference> children;
      for (const std::string& path : cached->children)
        children.push_back({applicationBus_, path});
      done(std::move(children));
      return;
    }
    ask(index, "org.a11y.atspi.Accessible", "GetChildren", {}, {},
        [done = std::move(done)](sd_bus_message* reply) {
          std::vector<Reference> children;
          if (reply && sd_bus_message_enter_container(reply, 'a', "(so)") > 0) {
            const char* bus = nullptr;
            const char* path = nullptr;
            while (sd_bus_message_read(reply, "(so)", &bus, &path) > 0)
              children.push_back({bus, path});
          }
          done(std::move(children));
        });
  }

  // The object at an embedded-object character, through the hypertext link that stands there.
  void askLinkedObject(std::size_t index, std::size_t link) {
    ask(index, "org.a11y.atspi.Hypertext", "GetLink", static_cast<std::int32_t>(link), {},
        [this, index, link](sd_bus_message* reply) {
          auto hyperlink = readReference(reply);
          if (!hyperlink) return;
          askAt(*hyperlink, "org.a11y.atspi.Hyperlink", "GetObject", 0, {},
                [this, index, link](sd_bus_message* object) {
                  auto target = readReference(object);
                  if (target && target->valid())
                    nodes_[index].parts[link] = add(std::move(*target), nodes_[index].depth + 1);
                });
        });
  }

  // The serial walk's order and limits over the answers (see AtspiElement::appendText).
  void assemble(std::size_t index, std::string& out, int depth, std::size_t& budget, bool& unsettled) const {
    if (depth > maxTextDepth || budget == 0) return;
    --budget;
    const Node& node = nodes_[index];
    if (!node.role || *node.role == ATSPI_ROLE_PASSWORD_TEXT) return;
    const bool block = isBlockRole(*node.role);
    if (block) out.push_back('\n');
    if (!node.text) {
      for (std::size_t part : node.parts)
        if (part != noNode) assemble(part, out, depth + 1, budget, unsettled);
    } else {
      if (node.emptyTextBlock) unsettled = true;
      const std::string& text = *node.text;
      std::size_t from = 0, embeddedIndex = 0;
      for (auto at = text.find(objectReplacement); at != std::string::npos;
           at = text.find(objectReplacement, from)) {
        out.append(text, from, at - from);
        from = at + objectReplacement.size();
        if (embeddedIndex < node.parts.size() && node.parts[embeddedIndex] != noNode)
          assemble(node.parts[embeddedIndex], out, depth + 1, budget, unsettled);
        ++embeddedIndex;
      }
      out.append(text, from, std::string::npos);
    }
    if (block) out.push_back('\n');
  }

  sd_bus* bus_;
  std::string applicationBus_;
  std::deque<Node> nodes_;
  // A page's pictures and canvases beyond this are left unplaced: a gallery of thousands needs no more.
  static constexpr std::size_t maxParts = 512;
  std::vector<PagePart> parts_;  // in screen coordinates; an unplaced part has an empty frame
  std::optional<Rect> pageExtents_;
  std::deque<Call> queued_;
  std::size_t inFlight_ = 0;
};

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
