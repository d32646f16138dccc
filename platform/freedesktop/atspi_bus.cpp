#include "platform/freedesktop/atspi_bus.h"

#include <fstream>
#include <sstream>

namespace tessaron::platform::freedesktop {

using namespace std::chrono_literals;

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

AtspiBus::~AtspiBus() {
  for (auto& [name, direct] : direct_)
    if (direct.bus) sd_bus_flush_close_unref(direct.bus);
}

Variant AtspiBus::call(const Reference& object, const char* interface, const char* method,
                       GVariant* parameters, const char* replyType) {
  const Variant arguments(parameters);  // released whether or not it is sent
  GDBusConnection* bus = connection();
  if (!bus || !object.valid()) return {};
  return Variant(g_dbus_connection_call_sync(bus, object.bus.c_str(), object.path.c_str(), interface, method,
                                             arguments.get(), G_VARIANT_TYPE(replyType),
                                             G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr));
}

Variant AtspiBus::property(const Reference& object, const char* interface, const char* name) {
  Variant reply =
      call(object, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", interface, name), "(v)");
  if (!reply) return {};
  Variant boxed = reply.child(0);
  return Variant(g_variant_get_variant(boxed.get()));
}

std::optional<std::string> AtspiBus::stringProperty(const Reference& object, const char* interface,
                                                    const char* name) {
  Variant value = property(object, interface, name);
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) return std::nullopt;
  return std::string(g_variant_get_string(value.get(), nullptr));
}

std::optional<std::uint32_t> AtspiBus::role(const Reference& object) {
  Variant reply = call(object, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)");
  if (!reply) return std::nullopt;
  std::uint32_t role = 0;
  g_variant_get(reply.get(), "(u)", &role);
  return role;
}

std::optional<Rect> AtspiBus::screenExtents(const Reference& object) {
  Variant reply = call(object, "org.a11y.atspi.Component", "GetExtents",
                       g_variant_new("(u)", static_cast<std::uint32_t>(ATSPI_COORD_TYPE_SCREEN)), "((iiii))");
  if (!reply) return std::nullopt;
  gint32 x = 0, y = 0, width = 0, height = 0;
  g_variant_get(reply.get(), "((iiii))", &x, &y, &width, &height);
  return Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
              static_cast<double>(height)};
}

std::vector<Reference> AtspiBus::children(const Reference& object) {
  Variant reply = call(object, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))");
  return reply ? referencesFrom(reply.child(0)) : std::vector<Reference>{};
}

std::vector<Reference> AtspiBus::childrenAcrossSockets(const Reference& object) {
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

auto AtspiBus::application(std::int32_t pid) -> std::optional<Application> {
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

void AtspiBus::forget(std::int32_t pid) {
  std::lock_guard lock(applicationsMutex_);
  applications_.erase(pid);
}

std::optional<Reference> AtspiBus::embeddedRoot(const Reference& frame) {
  std::lock_guard lock(applicationsMutex_);
  auto it = embeddedRoots_.find(frame.bus + frame.path);
  return it == embeddedRoots_.end() ? std::nullopt : std::optional(it->second);
}

void AtspiBus::rememberEmbeddedRoot(const Reference& frame, const Reference& root) {
  std::lock_guard lock(applicationsMutex_);
  if (embeddedRoots_.size() >= 64) embeddedRoots_.clear();
  embeddedRoots_[frame.bus + frame.path] = root;
}

std::optional<Reference> AtspiBus::shownDocument(const Reference& frame) {
  std::lock_guard lock(applicationsMutex_);
  auto it = shownDocuments_.find(frame.bus + frame.path);
  return it == shownDocuments_.end() ? std::nullopt : std::optional(it->second);
}

void AtspiBus::rememberShownDocument(const Reference& frame, const std::optional<Reference>& document) {
  std::lock_guard lock(applicationsMutex_);
  if (!document) {
    shownDocuments_.erase(frame.bus + frame.path);
    return;
  }
  if (shownDocuments_.size() >= 64) shownDocuments_.clear();
  shownDocuments_[frame.bus + frame.path] = *document;
}

bool AtspiBus::firstWake(const std::string& busName) {
  std::lock_guard lock(applicationsMutex_);
  return woken_.insert(busName).second;
}

bool AtspiBus::withDirectConnection(const Reference& applicationRoot,
                                    const std::function<void(sd_bus*, bool throughBus)>& read) {
  std::unique_lock lock(directMutex_);
  Direct& direct = direct_[applicationRoot.bus];
  if (direct.bus && sd_bus_is_open(direct.bus) <= 0) direct.bus = sd_bus_flush_close_unref(direct.bus);
  if (!direct.bus) {
    const auto now = std::chrono::steady_clock::now();
    if (direct.attempted && now - direct.lastAttempt < 2s) return false;
    direct.attempted = true;
    direct.lastAttempt = now;
    direct.bus = openDirect(applicationRoot, direct.throughBus);
    if (!direct.bus) return false;
    forgetGoneApplications(applicationRoot.bus);
  }
  read(direct.bus, direct.throughBus);
  return true;
}

void AtspiBus::forgetGoneApplications(const std::string& keep) {
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

std::optional<Rect> AtspiBus::placedExtents(std::int32_t pid, const std::string& name,
                                            const Reference& frame) {
  auto extents = screenExtents(frame);
  if (!extents || !framePlacement) return extents;
  return framePlacement(pid, name, *extents);
}

GDBusConnection* AtspiBus::connection() {
  std::lock_guard lock(connectionMutex_);
  if (connection_ && !g_dbus_connection_is_closed(connection_.get())) return connection_.get();
  const auto now = std::chrono::steady_clock::now();
  if (connection_ || (attempted_ && now - lastAttempt_ < 2s)) {
    connection_.reset();
    if (attempted_ && now - lastAttempt_ < 2s) return nullptr;
  }
  attempted_ = true;
  lastAttempt_ = now;
  connection_.reset(connect());
  return connection_.get();
}

GDBusConnection* AtspiBus::connect() {
  const OwnedObject<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  if (!session) return nullptr;
  g_dbus_connection_set_exit_on_close(session.get(), FALSE);  // losing the bus must not end the program
  const Variant reply(g_dbus_connection_call_sync(
      session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
      G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr));
  if (!reply) return nullptr;
  const gchar* address = nullptr;
  g_variant_get(reply.get(), "(&s)", &address);
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus) g_dbus_connection_set_exit_on_close(bus, FALSE);
  return bus;
}

void AtspiBus::rescan(std::chrono::steady_clock::time_point now) {
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

sd_bus* AtspiBus::openDirect(const Reference& applicationRoot, bool& throughBus) {
  Variant reply =
      call(applicationRoot, "org.a11y.atspi.Application", "GetApplicationBusAddress", nullptr, "(s)");
  const gchar* address = nullptr;
  if (reply) g_variant_get(reply.get(), "(&s)", &address);
  throughBus = !address || !*address;
  Variant busAddress;
  if (throughBus) {
    const OwnedObject<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!session) return nullptr;
    busAddress = Variant(g_dbus_connection_call_sync(
        session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr));
    if (!busAddress) return nullptr;
    g_variant_get(busAddress.get(), "(&s)", &address);
  }
  sd_bus* bus = nullptr;
  if (!address || !*address || sd_bus_new(&bus) < 0) return nullptr;
  if (sd_bus_set_address(bus, address) < 0 || sd_bus_set_bus_client(bus, throughBus) < 0 ||
      sd_bus_start(bus) < 0)
    return sd_bus_flush_close_unref(bus);
  return bus;
}
}  // namespace tessaron::platform::freedesktop
