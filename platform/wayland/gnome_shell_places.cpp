#include "platform/wayland/gnome_shell_places.h"

#include <gio/gio.h>

#include <cstdlib>

#include "base/xdg.h"
#include "platform/freedesktop/glib_ownership.h"
#include "platform/platform.h"

namespace tessaron::platform::wayland {

namespace fs = std::filesystem;

namespace {

fs::path userExtensionFolder() {
  return xdg::dataHome().value_or("/") / "gnome-shell/extensions" / gnomeExtensionUuid;
}

// The shared session-bus connection (GSettings' as well), or null. Losing the bus must not end the program,
// which GDBus would do by default.
freedesktop::OwnedObject<GDBusConnection> sessionBus() {
  freedesktop::OwnedObject<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  return bus;
}

// The running shell's major version, from the shell itself, else from its program; 0 when neither tells.
int shellMajorVersion() {
  std::string version;
  if (auto bus = sessionBus()) {
    freedesktop::Variant reply(g_dbus_connection_call_sync(
        bus.get(), "org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.gnome.Shell", "ShellVersion"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
    if (reply) {
      const freedesktop::Variant boxed = reply.child(0).unboxed();
      if (g_variant_is_of_type(boxed.get(), G_VARIANT_TYPE_STRING))
        version = g_variant_get_string(boxed.get(), nullptr);
    }
  }
  if (version.empty()) {
    gchar* printed = nullptr;
    const bool ran = g_spawn_command_line_sync("gnome-shell --version", &printed, nullptr, nullptr, nullptr);
    const freedesktop::OwnedString out(printed);
    if (ran && out) {
      const std::string text = out.get();  // "GNOME Shell 43.9"
      const auto digit = text.find_first_of("0123456789");
      if (digit != std::string::npos) version = text.substr(digit);
    }
  }
  return std::atoi(version.c_str());
}

}  // namespace

std::optional<std::string> GnomeShellPlaces::ask() {
  countCompositorQuestion();
  const auto bus = sessionBus();
  if (!bus) return std::nullopt;
  const freedesktop::Variant reply(
      g_dbus_connection_call_sync(bus.get(), "org.gnome.Shell", "/com/marrowbeck/tessaron/WindowPlaces",
                                  "com.marrowbeck.tessaron.WindowPlaces", "List", nullptr,
                                  G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
  if (!reply) return std::nullopt;
  const gchar* answer = nullptr;
  g_variant_get(reply.get(), "(&s)", &answer);
  return std::string(answer ? answer : "");
}

std::optional<PlacesAnswer> GnomeShellPlaces::both() {
  auto answer = ask();
  if (!answer) return std::nullopt;
  auto places = parsePlacesAnswer(*answer);
  if (!places) return std::nullopt;
  return PlacesAnswer{std::move(places->first), std::move(places->second)};
}

std::optional<std::vector<CompositorWindow>> GnomeShellPlaces::windows() {
  auto places = both();
  if (!places) return std::nullopt;
  return std::move(places->windows);
}

std::optional<std::vector<CompositorOutput>> GnomeShellPlaces::outputs() {
  auto places = both();
  if (!places) return std::nullopt;
  return std::move(places->outputs);
}

bool GnomeShellPlaces::installed() const {
  std::error_code ec;
  return fs::exists(userExtensionFolder() / "extension.js", ec) ||
         fs::exists(fs::path("/usr/share/gnome-shell/extensions") / gnomeExtensionUuid / "extension.js", ec);
}

std::string GnomeShellPlaces::whatIsMissing() {
  if (ask()) return {};
  if (!installed())
    return "GNOME tells programs nothing about where windows are, so Tessaron comes with a small GNOME Shell "
           "extension that does, which is not installed yet.";
  return "Tessaron's GNOME Shell extension is installed but not running: GNOME loads new extensions when you "
         "log in, so log out and back in once (and check that it is switched on in the Extensions app).";
}

void GnomeShellPlaces::install() {
  const fs::path target = userExtensionFolder();
  // GNOME Shell 45 and later load extensions only as ES modules, which the earlier ones cannot load.
  const fs::path source = shellMajorVersion() >= 45 ? fs::path(source_.string() + "-45") : source_;
  std::error_code ec;
  fs::create_directories(target, ec);
  for (const char* file : {"metadata.json", "extension.js"})
    if (!ec) fs::copy_file(source / file, target / file, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    notice("Tessaron's GNOME Shell extension could not be installed in " + target.string() + ": " +
           ec.message());
    return;
  }
  // Switched on through the shell's own setting, which the Extensions app shows too.
  GSettingsSchemaSource* schemas = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      schemas ? g_settings_schema_source_lookup(schemas, "org.gnome.shell", TRUE) : nullptr;
  if (!schema) {
    notice("Tessaron's GNOME Shell extension is installed in " + target.string() +
           "; switch it on in the Extensions app, then log out and back in.");
    return;
  }
  g_settings_schema_unref(schema);
  const freedesktop::OwnedObject<GSettings> settings(g_settings_new("org.gnome.shell"));
  gchar** enabled = g_settings_get_strv(settings.get(), "enabled-extensions");
  std::vector<const gchar*> list;
  bool present = false;
  for (gchar** name = enabled; *name; ++name) {
    present = present || std::string_view(*name) == gnomeExtensionUuid;
    list.push_back(*name);
  }
  if (!present) list.push_back(gnomeExtensionUuid);
  list.push_back(nullptr);
  g_settings_set_strv(settings.get(), "enabled-extensions", list.data());
  g_settings_sync();
  g_strfreev(enabled);
  notice(
      "Tessaron's GNOME Shell extension is installed and switched on; it runs from your next login, so log "
      "out "
      "and back in once.");
}

}  // namespace tessaron::platform::wayland
