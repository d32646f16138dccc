// The client of the accessibility bus: one private GDBus connection to it (made on first use and again after
// it breaks), what it knows about applications, and direct connections to the browsers' own sockets for the
// page reader. Shared by the page reader and the elements the accessibility backend hands out.
#pragma once

#include <atspi/atspi-constants.h>
#include <gio/gio.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/freedesktop/atspi.h"
#include "platform/freedesktop/glib_ownership.h"

namespace tessaron::platform::freedesktop {

// A browser that stops answering must not hold up the capture loop for D-Bus's default 25 s.
inline constexpr int callTimeoutMs = 2000;

inline constexpr const char* registryName = "org.a11y.atspi.Registry";
inline constexpr const char* rootPath = "/org/a11y/atspi/accessible/root";
inline constexpr const char* nullPath = "/org/a11y/atspi/null";

// A remote accessible object: the bus name of its application and its object path.
struct Reference {
  std::string bus;
  std::string path;
  bool valid() const { return !bus.empty() && path != nullPath; }
  bool operator==(const Reference&) const = default;
};

inline Reference referenceFrom(GVariant* pair) {
  const gchar* bus = nullptr;
  const gchar* path = nullptr;
  g_variant_get(pair, "(&s&o)", &bus, &path);
  return {bus, path};
}

inline std::vector<Reference> referencesFrom(const Variant& array) {
  std::vector<Reference> out;
  if (!array) return out;
  GVariantIter iter;
  g_variant_iter_init(&iter, array.get());
  for (Variant pair(g_variant_iter_next_value(&iter)); pair; pair = Variant(g_variant_iter_next_value(&iter)))
    out.push_back(referenceFrom(pair.get()));
  return out;
}

// A process's start time, so that a cached entry is never used for a later process with the same id.
std::string processStartTime(std::int32_t pid);

class AtspiBus {
 public:
  AtspiBus(TextReading reading, FramePlacement placement)
      : textReading(reading), framePlacement(std::move(placement)) {}
  ~AtspiBus();
  AtspiBus(const AtspiBus&) = delete;
  AtspiBus& operator=(const AtspiBus&) = delete;

  // A method call; nothing when it fails (the object is gone, lacks the interface, or the bus is down).
  Variant call(const Reference& object, const char* interface, const char* method, GVariant* parameters,
               const char* replyType);

  // A property's value (unwrapped from its variant), or nothing.
  Variant property(const Reference& object, const char* interface, const char* name);

  std::optional<std::string> stringProperty(const Reference& object, const char* interface, const char* name);

  std::optional<std::uint32_t> role(const Reference& object);

  // The object's extents in screen coordinates: under X11 the client window's root coordinates; under
  // Wayland, where clients do not know where they are, relative to the window's surface.
  std::optional<Rect> screenExtents(const Reference& object);

  std::vector<Reference> children(const Reference& object);

  // The children, also of a socket that embeds another application's tree: GetChildren answers nothing for
  // it, while asking for the child by its index gives the embedded root.
  std::vector<Reference> childrenAcrossSockets(const Reference& object);

  struct Application {
    Reference root;
    std::string name;
  };

  // The application running as this process. Entries are checked against the process's start time; a
  // process without one is looked for again at most every two seconds.
  std::optional<Application> application(std::int32_t pid);

  void forget(std::int32_t pid);

  // Where a window's page tree was last found in another application (GNOME Web's web process), so that
  // later reads search there first instead of walking the window again. Kept for the last few windows.
  std::optional<Reference> embeddedRoot(const Reference& frame);
  void rememberEmbeddedRoot(const Reference& frame, const Reference& root);

  // The document a window showed when last read: finding it again searches the browser's whole tree, which
  // takes Firefox tens of milliseconds on a long page, while checking the one found takes a few questions.
  // Kept for the last few windows.
  std::optional<Reference> shownDocument(const Reference& frame);
  void rememberShownDocument(const Reference& frame, const std::optional<Reference>& document);

  // True the first time it is asked for this application (by its bus name): the one time a caller waits
  // for the application to build its pages' accessibles.
  bool firstWake(const std::string& busName);

  // Runs `read` with a connection of this reader's own to the application whose root is given, one reader at
  // a time: the application's own socket where it offers one (Chromium, Firefox, WebKitGTK), else the
  // accessibility bus itself (Qt's bridge offers none), where calls must name the application (`throughBus`).
  // False when neither can be opened.
  bool withDirectConnection(const Reference& applicationRoot,
                            const std::function<void(sd_bus*, bool throughBus)>& read);

  // Connections to applications that have left the bus (a browser restarted gets a new bus name).
  void forgetGoneApplications(const std::string& keep);

  const TextReading textReading;
  const FramePlacement framePlacement;

  // A frame's extents as the window list places its window; as read where the desktop has no placement.
  std::optional<Rect> placedExtents(std::int32_t pid, const std::string& name, const Reference& frame);

 private:
  struct Entry {
    std::optional<Application> app;
    std::string startTime;
    std::chrono::steady_clock::time_point checked;
  };

  GDBusConnection* connection();

  // The accessibility bus's address comes from the launcher on the session bus.
  static GDBusConnection* connect();

  void rescan(std::chrono::steady_clock::time_point now);

  std::mutex connectionMutex_;
  OwnedObject<GDBusConnection> connection_;
  bool attempted_ = false;
  std::chrono::steady_clock::time_point lastAttempt_;

  std::mutex applicationsMutex_;
  std::map<std::int32_t, Entry> applications_;
  std::set<std::string> woken_;
  std::map<std::string, Reference> embeddedRoots_;
  std::map<std::string, Reference> shownDocuments_;

  struct Direct {
    sd_bus* bus = nullptr;
    bool throughBus = false;
    bool attempted = false;
    std::chrono::steady_clock::time_point lastAttempt;
  };

  sd_bus* openDirect(const Reference& applicationRoot, bool& throughBus);

  std::mutex directMutex_;
  std::map<std::string, Direct> direct_;  // by the application's bus name
};

}  // namespace tessaron::platform::freedesktop
