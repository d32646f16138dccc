// The browser table. Measured here (Debian 12): Chromium 156 is "Chromium" on the accessibility bus, class
// "chromium" under X11 and app id "chromium" under Wayland; Firefox ESR 153 is "Firefox", class
// "firefox-esr" (instance "Navigator") and app id "firefox-esr"; GNOME Web is "Epiphany", app id
// "org.gnome.Epiphany"; Falkon 22.12 is "falkon", class "Falkon"; Konqueror 22.12 is "konqueror", class
// "konqueror". The other rows follow each browser's published desktop file, Flatpak and Snap names;
// Chromium-based browsers name themselves on the bus as their product ("Brave Browser", "Microsoft Edge").
//
// Private windows: Chromium's family marks an incognito or guest window only in its accessible frame's name;
// Firefox's family only in the title. GNOME Web and Falkon open private windows as separate processes
// started with a flag. qutebrowser shows private windows in the same process with nothing outside it to tell
// them (measured, qutebrowser 2.5: the same title and the same accessibility tree as an ordinary window), so
// none of its windows can be recorded safely. Tor Browser and Mullvad Browser exist for browsing
// that leaves no trace, so they are never recorded.
#include "platform/browsers.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace tessaron::platform {

namespace {

using enum BrowserFamily;
using enum PrivateWindows;

const std::vector<Browser>& table() {
  static const std::vector<Browser> browsers = {
      {"Chromium",
       chromium,
       frameMark,
       {"chromium"},
       {"chromium", "chromium-browser"},
       {"chromium", "chromium-browser"},
       {"org.chromium.chromium", "chromium"}},
      {"Google Chrome",
       chromium,
       frameMark,
       {"google chrome"},
       {"google-chrome", "google-chrome-stable", "google-chrome-beta", "google-chrome-unstable"},
       {"chrome", "google-chrome"},
       {"com.google.chrome"}},
      {"Brave",
       chromium,
       frameMark,
       {"brave browser", "brave"},
       {"brave-browser"},
       {"brave", "brave-browser"},
       {"com.brave.browser", "brave"}},
      {"Microsoft Edge",
       chromium,
       frameMark,
       {"microsoft edge"},
       {"microsoft-edge", "microsoft-edge-stable", "microsoft-edge-beta", "microsoft-edge-dev"},
       {"msedge"},
       {"com.microsoft.edge"}},
      {"Vivaldi",
       chromium,
       frameMark,
       {"vivaldi"},
       {"vivaldi-stable", "vivaldi-snapshot"},
       {"vivaldi-bin", "vivaldi"},
       {"com.vivaldi.vivaldi", "vivaldi"}},
      {"Opera", chromium, frameMark, {"opera"}, {"opera"}, {"opera"}, {"com.opera.opera", "opera"}},
      {"Firefox",
       firefox,
       title,
       {"firefox", "firefox-esr"},
       {"firefox", "firefox-esr", "org.mozilla.firefox"},
       {"firefox", "firefox-esr", "firefox-bin"},
       {"org.mozilla.firefox", "firefox"}},
      {"Firefox Developer Edition",
       firefox,
       title,
       {"firefox developer edition"},
       {"firefox-aurora", "firefoxdeveloperedition", "firefox-developer-edition"},
       {"firefox-developer-edition"},
       {"org.mozilla.firefox.devedition"}},
      {"Firefox Nightly",
       firefox,
       title,
       {"firefox nightly", "nightly"},
       {"firefox-nightly"},
       {"firefox-nightly"},
       {"org.mozilla.firefox.nightly"}},
      {"LibreWolf",
       firefox,
       title,
       {"librewolf"},
       {"librewolf"},
       {"librewolf"},
       {"io.gitlab.librewolf-community"}},
      {"Floorp", firefox, title, {"floorp"}, {"floorp"}, {"floorp"}, {"one.ablaze.floorp"}},
      {"Waterfox", firefox, title, {"waterfox"}, {"waterfox"}, {"waterfox"}, {"net.waterfox.waterfox"}},
      {"GNOME Web",
       webKitGtk,
       processFlag,
       {"epiphany", "gnome web"},
       {"epiphany", "org.gnome.epiphany", "epiphany-browser"},
       {"epiphany", "epiphany-browser"},
       {"org.gnome.epiphany"},
       {"--incognito-mode", "-i"}},
      {"Falkon",
       qtWebEngine,
       processFlag,
       {"falkon"},
       {"falkon", "org.kde.falkon"},
       {"falkon"},
       {"org.kde.falkon", "falkon"},
       {"--private-browsing", "-i"}},
      {"Konqueror",
       qtWebEngine,
       none,
       {"konqueror"},
       {"konqueror", "org.kde.konqueror"},
       {"konqueror"},
       {"org.kde.konqueror"}},
      {"qutebrowser",
       qtWebEngine,
       untellable,
       {"qutebrowser"},
       {"qutebrowser", "org.qutebrowser.qutebrowser"},
       {"qutebrowser"},
       {"org.qutebrowser.qutebrowser", "qutebrowser"}},
      {"Tor Browser",
       firefox,
       always,
       {"tor browser"},
       {"tor browser", "torbrowser", "torbrowser-launcher"},
       {"torbrowser-launcher"},
       {"org.torproject.torbrowser-launcher"}},
      {"Mullvad Browser",
       firefox,
       always,
       {"mullvad browser"},
       {"mullvad browser", "mullvadbrowser"},
       {"mullvadbrowser"},
       {"net.mullvad.mullvadbrowser"}},
      // The desktop the engine was first built for; its private windows are the backend's to tell there.
      {"Safari", safari, none, {"safari"}, {}, {}, {}},
  };
  return browsers;
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool listed(const std::vector<std::string_view>& identifiers, std::string_view name) {
  return std::find(identifiers.begin(), identifiers.end(), name) != identifiers.end();
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The Flatpak id or Snap name in the process's control-group path
// ("app-flatpak-org.mozilla.firefox-1234.scope", "snap.firefox.firefox-….scope").
std::optional<std::string> sandboxIdOf(std::int32_t processId) {
  const std::string groups = slurp("/proc/" + std::to_string(processId) + "/cgroup");
  for (const std::string_view marker : {"app-flatpak-", "snap."}) {
    const auto at = groups.find(marker);
    if (at == std::string::npos) continue;
    const auto start = at + marker.size();
    const auto end = groups.find(marker == "snap." ? '.' : '-', start);
    if (end == std::string::npos) continue;
    return lowerAscii(std::string_view(groups).substr(start, end - start));
  }
  return std::nullopt;
}

}  // namespace

std::span<const Browser> knownBrowsers() {
  return table();
}

std::string_view pageTitleIn(std::string_view windowTitle) {
  for (const Browser& browser : knownBrowsers()) {
    if (!windowTitle.ends_with(browser.name)) continue;
    std::string_view rest = windowTitle.substr(0, windowTitle.size() - browser.name.size());
    // Firefox's family signs its windows with the maker's name before its own.
    if (rest.ends_with(" Mozilla ")) rest.remove_suffix(8);
    for (std::string_view separator : {" - ", " \u2014 "})
      if (rest.size() > separator.size() && rest.ends_with(separator))
        return rest.substr(0, rest.size() - separator.size());
  }
  return windowTitle;
}

const Browser* browserNamed(std::string_view name) {
  const std::string lower = lowerAscii(name);
  for (const auto& browser : table())
    if (listed(browser.accessibleNames, lower) || listed(browser.windowClasses, lower) ||
        listed(browser.executables, lower) || listed(browser.sandboxIds, lower))
      return &browser;
  return nullptr;
}

const Browser* browserOfProcess(std::int32_t processId) {
  if (processId <= 0) return nullptr;
  if (const auto sandbox = sandboxIdOf(processId))
    for (const auto& browser : table())
      if (listed(browser.sandboxIds, *sandbox)) return &browser;
  std::error_code ec;
  const auto executable = std::filesystem::read_symlink("/proc/" + std::to_string(processId) + "/exe", ec);
  if (ec) return nullptr;
  const std::string file = lowerAscii(executable.filename().string());
  for (const auto& browser : table())
    if (listed(browser.executables, file)) return &browser;
  return nullptr;
}

std::optional<std::vector<std::string>> processArguments(std::int32_t processId) {
  if (processId <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(processId) + "/cmdline", std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::string> arguments;
  std::string argument;
  while (std::getline(in, argument, '\0'))
    arguments.push_back(argument);
  if (arguments.empty()) return std::nullopt;  // a process that is gone, or a kernel thread
  arguments.erase(arguments.begin());
  return arguments;
}

bool qtWebEngineHidesPages(std::int32_t processId) {
  if (processId <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(processId) + "/environ", std::ios::binary);
  if (!in) return false;
  std::string variable;
  bool read = false;
  while (std::getline(in, variable, '\0')) {
    read = true;
    if (variable == "QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=1") return false;
    if (variable.starts_with("QTWEBENGINE_CHROMIUM_FLAGS=") &&
        variable.find("--force-renderer-accessibility") != std::string::npos)
      return false;
  }
  return read;
}

std::span<const std::string_view> addressAttributes(BrowserFamily family) {
  static constexpr std::string_view chromiums[] = {"URI"};
  static constexpr std::string_view firefoxes[] = {"DocURL"};
  static constexpr std::string_view others[] = {"DocURL", "URI"};
  switch (family) {
    case chromium:
      return chromiums;
    case firefox:
      return firefoxes;
    case webKitGtk:
    case qtWebEngine:
    case safari:
      break;
  }
  return others;
}

namespace {

constexpr std::pair<std::string_view, std::string_view> markBrackets[] = {
    {"(", ")"},
    {"[", "]"},
    {"\xEF\xBC\x88", "\xEF\xBC\x89"},  // （ ）
    {"\xEF\xBC\xBB", "\xEF\xBC\xBD"},  // ［ ］
    {"\xE3\x80\x90", "\xE3\x80\x91"},  // 【 】
    {"\xE3\x80\x8C", "\xE3\x80\x8D"},  // 「 」
};

bool isMarkedFrameName(std::string_view frameName, std::string_view title) {
  if (!frameName.starts_with(title)) return false;
  std::string_view mark = frameName.substr(title.size());
  if (mark.starts_with(" ")) mark.remove_prefix(1);
  for (const auto& [open, close] : markBrackets)
    if (mark.size() > open.size() + close.size() && mark.starts_with(open) && mark.ends_with(close))
      return true;
  return false;
}

}  // namespace

bool frameNamesWindow(std::string_view frameName, std::string_view title) {
  return frameName == title || isMarkedFrameName(frameName, title);
}

bool endsInFrameMark(std::string_view frameName) {
  for (const auto& [open, close] : markBrackets) {
    if (!frameName.ends_with(close)) continue;
    const std::string_view before = frameName.substr(0, frameName.size() - close.size());
    const auto at = before.rfind(open);
    if (at != std::string_view::npos && at + open.size() < before.size()) return true;
  }
  return false;
}

}  // namespace tessaron::platform
