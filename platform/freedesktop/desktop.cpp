// The accessibility switch, workspace and login item of the Linux backends, over the session bus (GDBus) and
// XDG files.
#include "platform/freedesktop/desktop.h"

#include <gio/gio.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "base/xdg.h"
#include "platform/freedesktop/glib_ownership.h"
#include "platform/platform.h"
#include "platform/posix_services.h"

namespace tessaron::platform::freedesktop {

namespace fs = std::filesystem;

namespace {

constexpr int busTimeoutMs = 2000;

// The shared session-bus connection, or null without a session bus. Losing the bus must not end the program.
OwnedObject<GDBusConnection> sessionBus() {
  OwnedObject<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  return bus;
}

// Calls a method on the session bus: its reply, empty when it did not answer. `parameters` are taken.
Variant callSessionBus(const char* name, const char* path, const char* interface, const char* method,
                       GVariant* parameters, const char* replyType) {
  const Variant arguments(parameters);
  const auto bus = sessionBus();
  if (!bus) return {};
  return Variant(g_dbus_connection_call_sync(bus.get(), name, path, interface, method, arguments.get(),
                                             replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                             G_DBUS_CALL_FLAGS_NONE, busTimeoutMs, nullptr, nullptr));
}

// A string value of a desktop entry with its escapes (\s \n \t \r \\) resolved.
std::string unescapeValue(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    switch (const char next = value[++i]) {
      case 's':
        out.push_back(' ');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'r':
        out.push_back('\r');
        break;
      default:
        out.push_back(next);
    }
  }
  return out;
}

// The keys of a desktop entry's [Desktop Entry] group.
std::map<std::string, std::string> readDesktopEntry(const fs::path& file) {
  std::ifstream in(file);
  std::map<std::string, std::string> keys;
  std::string line;
  bool inMainGroup = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    auto equals = line.find('=');
    if (!inMainGroup || equals == std::string::npos) continue;
    auto trim = [](std::string text) {
      const auto first = text.find_first_not_of(" \t");
      const auto last = text.find_last_not_of(" \t");
      return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    keys[trim(line.substr(0, equals))] = unescapeValue(trim(line.substr(equals + 1)));  // the last one counts
  }
  return keys;
}

// The program an Exec value starts: its first argument, unquoted.
std::string execProgram(const std::string& exec) {
  std::string program;
  std::size_t i = 0;
  if (!exec.empty() && exec[0] == '"') {
    for (i = 1; i < exec.size() && exec[i] != '"'; ++i) {
      if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
      program.push_back(exec[i]);
    }
    return program;
  }
  while (i < exec.size() && exec[i] != ' ')
    program.push_back(exec[i++]);
  return program;
}

bool isFalse(const std::map<std::string, std::string>& keys, const std::string& key) {
  auto it = keys.find(key);
  return it != keys.end() && it->second == "false";
}

bool isTrue(const std::map<std::string, std::string>& keys, const std::string& key) {
  auto it = keys.find(key);
  return it != keys.end() && it->second == "true";
}

std::string fileUri(const fs::path& path) {
  const OwnedString uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
  return uri ? std::string(uri.get()) : "file://" + path.string();
}

}  // namespace

bool accessibilityEnabled() {
  const Variant reply = callSessionBus("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                                       "Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), "(v)");
  if (!reply) return false;
  const Variant enabled = reply.child(0).unboxed();
  return g_variant_is_of_type(enabled.get(), G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(enabled.get());
}

void switchOnAccessibility() {
  if (callSessionBus("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                     g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
                     nullptr))
    notice(
        "Accessibility is now switched on for this desktop. Browsers that were already running may need a "
        "restart before their pages can be read (Chromium reads the switch only when it starts).");
  else
    notice(
        "Accessibility could not be switched on: the desktop's accessibility service (at-spi2-core) does not "
        "answer on the session bus.");
}

GrantWording accessibilityWording() {
  return {
      "Tessaron reads the address and the words of the pages you see through the desktop's "
      "accessibility service, which is switched off.\n"
      "1. Click \"Switch On Accessibility\" to switch it on.\n"
      "2. Restart the browsers that were already open, so that they offer their pages.",
      "Switch On Accessibility"};
}

std::vector<RunningApplicationInfo> XdgWorkspace::runningApplications() {
  const std::optional<std::string> identifier = bundle_.bundleIdentifier();
  std::vector<RunningApplicationInfo> apps{{identifier, static_cast<std::int32_t>(::getpid())}};
  // Other copies of this program hold the per-user lock named after the bundle identifier.
  if (posix::otherInstancesHoldingLock(identifier) > 0) apps.push_back({identifier, 0});
  return apps;
}

void XdgWorkspace::openURL(const std::string& address) {
  auto launched = processes_.launch("xdg-open", {address});
  if (!launched) notice("Cannot open " + address + ": " + launched.error().description());
}

void XdgWorkspace::showInFileManager(const std::vector<fs::path>& items) {
  if (items.empty()) return;
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  for (const auto& item : items)
    g_variant_builder_add(&uris, "s", fileUri(item).c_str());
  if (callSessionBus("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                     "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr))
    return;
  // No file manager on the bus: open the folder itself (or the one holding a file).
  std::error_code ec;
  const fs::path folder = fs::is_directory(items.front(), ec) ? items.front() : items.front().parent_path();
  openURL(fileUri(folder));
}

AutostartLoginItems::AutostartLoginItems(fs::path entry, fs::path executable, fs::path icon)
    : entry_(std::move(entry)), executable_(std::move(executable)), icon_(std::move(icon)) {}

std::optional<fs::path> AutostartLoginItems::entryPath(const std::string& bundleIdentifier) {
  auto config = xdg::configHome();
  if (!config) return std::nullopt;
  return *config / "autostart" / (bundleIdentifier + ".desktop");
}

LoginItemStatus AutostartLoginItems::status() {
  std::error_code ec;
  if (!fs::exists(entry_, ec)) return LoginItemStatus::notRegistered;
  const auto keys = readDesktopEntry(entry_);
  if (isTrue(keys, "Hidden") || isFalse(keys, "X-GNOME-Autostart-enabled"))
    return LoginItemStatus::switchedOff;
  auto exec = keys.find("Exec");
  if (exec == keys.end()) return LoginItemStatus::notFound;
  const std::string program = execProgram(exec->second);
  if (program.empty() || ::access(program.c_str(), X_OK) != 0) return LoginItemStatus::notFound;
  return LoginItemStatus::enabled;
}

std::string desktopEntryArgument(const std::string& argument) {
  // Inside the quotes, " ` $ and \ take a backslash; the value's own escaping then doubles every backslash.
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '\\')
      quoted += R"(\\\\)";
    else if (c == '"' || c == '`' || c == '$')
      quoted += std::string(R"(\\)") + c;
    else
      quoted.push_back(c);
  }
  return quoted + "\"";
}

std::optional<PlatformError> AutostartLoginItems::registerToStartAtLogin() {
  std::error_code ec;
  fs::create_directories(entry_.parent_path(), ec);
  if (ec) return PlatformError{"Cannot create " + entry_.parent_path().string() + ": " + ec.message()};
  std::ostringstream text;
  text << "[Desktop Entry]\n"
       << "Type=Application\n"
       << "Name=Tessaron\n"
       << "Comment=Keeps a searchable archive of the web pages you see\n"
       << "Exec=" << desktopEntryArgument(executable_.string()) << "\n"
       << "Icon=" << icon_.string() << "\n"
       << "Terminal=false\n"
       << "X-GNOME-Autostart-enabled=true\n";
  // Written beside and renamed, so the desktop never reads half an entry.
  const fs::path temporary = entry_.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) return PlatformError{"Cannot write " + temporary.string()};
  }
  fs::rename(temporary, entry_, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return PlatformError{"Cannot write " + entry_.string()};
  }
  return std::nullopt;
}

}  // namespace tessaron::platform::freedesktop
