// The cost of watching real browser windows on a private desktop: X11 (Xvfb + openbox) or Wayland (a headless
// sway), side by side when both are run.
//
// 1. Per window and pass, for an unchanged Chromium, Firefox and (X11) Falkon window on a page of about 1,500
//    accessible nodes: the capture engine's whole pass (window list, accessibility match, screenshot, hash),
//    and its parts. Side by side: the peer is a plain walk of the same window's accessibility tree (every
//    node's role and children), which is what presenting the browser's whole tree would cost each pass.
//    And the page's text as a saved record reads it (pipelined) beside the serial walk, with the same text.
// 2. The real tessaron process with three static browser windows, each with words drawn on a canvas (read
// from
//    pixels once per screenshot): its processor time over a minute.
//
// Usage: bench_desktop <work folder> [x11|sway|gnome]   (x11 and sway when not named; sway refuses to run as
// root). Under GNOME the screen cast is allowed first, through the desktop's dialog answered as a person
// would.
#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "platform/freedesktop/atspi.h"
#include "platform/wayland/portal_screencast.h"
#include "platform/wayland/wayland_platform.h"
#include "platform/wayland/wayland_windows.h"
#include "platform/x11/x11_platform.h"
#include "tests/accessible.h"
#include "tests/desktop_session.h"
#include "tests/sample_pages.h"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using namespace tessaron;
using namespace tessaron::testing;

// `drawnWords`: a chart's words drawn on a canvas at the top, which are read from pixels once per screenshot.
std::string bigPage(const std::string& title, bool drawnWords = false) {
  std::ostringstream html;
  html << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" << title << "</title></head><body><h1>"
       << title << "</h1>";
  if (drawnWords)
    html << "<canvas id=\"chart\" width=\"600\" height=\"110\"></canvas><script>const "
            "g=document.getElementById("
            "'chart').getContext('2d');g.fillStyle='#fff';g.fillRect(0,0,600,110);g.fillStyle='#111';"
            "g.font='28px DejaVu Sans';g.fillText('Quarterly harvest figures',16,45);"
            "g.fillText('rose sharply in November',16,90);</script>";
  html << "<ul>";
  for (int i = 0; i < 300; ++i)
    html << "<li><a href=\"#item" << i << "\">entry " << i << "</a> with <button>open " << i
         << "</button> and <em>note</em></li>";
  html << "</ul>";
  for (int i = 0; i < 150; ++i)
    html << "<p>Paragraph " << i << " has <a href=\"#p" << i << "\">a link</a> in it.</p>";
  html << "</body></html>";
  return html.str();
}

template <class F>
double medianMs(int runs, F&& work, milliseconds pause = 0ms) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    if (i > 0) std::this_thread::sleep_for(pause);
    const auto start = steady_clock::now();
    work();
    times.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The peer: every node of the application's tree, role and children each, over its own connection.
class TreeWalker {
 public:
  TreeWalker() {
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                  "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                  G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    bus_ = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_variant_unref(reply);
    g_object_unref(session);
  }

  // Nodes of the first application whose process is `pid`.
  std::size_t walkApplication(pid_t pid) {
    for (auto& [bus, path] : children({"org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root"})) {
      GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                    g_variant_new("(s)", bus.c_str()), G_VARIANT_TYPE("(u)"),
                                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
      if (!reply) continue;
      guint32 owner = 0;
      g_variant_get(reply, "(u)", &owner);
      g_variant_unref(reply);
      if (static_cast<pid_t>(owner) == pid) return walk({bus, path}, 0);
    }
    return 0;
  }

 private:
  using Ref = std::pair<std::string, std::string>;

  std::vector<Ref> children(const Ref& node) {
    std::vector<Ref> out;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, node.first.c_str(), node.second.c_str(), "org.a11y.atspi.Accessible", "GetChildren", nullptr,
        G_VARIANT_TYPE("(a(so))"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (!reply) return out;
    GVariantIter* iter = nullptr;
    g_variant_get(reply, "(a(so))", &iter);
    const gchar *bus = nullptr, *path = nullptr;
    while (g_variant_iter_next(iter, "(&s&o)", &bus, &path))
      out.emplace_back(bus, path);
    g_variant_iter_free(iter);
    g_variant_unref(reply);
    return out;
  }

  std::size_t walk(const Ref& node, int depth) {
    if (depth > 200) return 0;
    GVariant* role = g_dbus_connection_call_sync(
        bus_, node.first.c_str(), node.second.c_str(), "org.a11y.atspi.Accessible", "GetRole", nullptr,
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (role) g_variant_unref(role);
    std::size_t count = 1;
    for (const auto& child : children(node))
      count += walk(child, depth + 1);
    return count;
  }

  GDBusConnection* bus_ = nullptr;
};

void perWindow(DesktopSession& session, const std::string& browser, pid_t pid) {
  Engine& engine = programEngine();
  // Two passes first: the first saves the window, the second finds it unchanged.
  capturePass(engine);
  capturePass(engine);
  // A browser answers slowly for a while after a search of its tree (Firefox builds what was asked for then):
  // the measured passes start once the first ones' searches have settled.
  constexpr auto apart = 0s;
  std::this_thread::sleep_for(3s);
  const std::uint64_t askedBefore = platform::wayland::compositorQuestionsAsked();
  // The pass's own parts, as the pass measures them: the median of each over the same ten passes. What none
  // of them covers is "other" (logging, the window registry, the loop itself), from the median pass.
  Engine::PassParts parts;
  engine.passParts = &parts;
  std::map<std::string, std::vector<double>> partTimes;
  const double pass = medianMs(
      10,
      [&] {
        parts.spent.clear();
        capturePass(engine);
        for (const auto& [part, spent] : parts.spent)
          partTimes[part].push_back(duration<double, std::milli>(spent).count());
      },
      apart);
  engine.passParts = nullptr;
  std::string named;
  double namedMs = 0;
  for (auto& [part, times] : partTimes) {
    std::sort(times.begin(), times.end());
    const double ms = times[times.size() / 2];
    namedMs += ms;
    char item[96];
    std::snprintf(item, sizeof item, "%s%s %.2f", named.empty() ? "" : ", ", part.c_str(), ms);
    named += item;
  }
  const double questions =
      static_cast<double>(platform::wayland::compositorQuestionsAsked() - askedBefore) / 10;

  auto& p = platform::current();
  std::vector<platform::WindowDescription> windows;
  const double list = medianMs(10, [&] { windows = getBrowserWindows(engine); });
  const platform::WindowDescription window = windows.at(0);
  const platform::Browser& table = *platform::browserNamed(browser);
  const auto variant = variantOf(table);
  const double match = medianMs(
      10,
      [&] {
        auto pageWindows = p.pages().windowsOf(pid, table);
        if (!pageWindows ||
            !findMatchingAXWindow(*pageWindows, cleanTitle(window.title.value_or("")), window.frame, variant))
          std::fprintf(stderr, "bench: %s window did not match\n", browser.c_str());
      },
      apart);
  // Reading the page's text happens only when a screenshot is saved: the pipelined read tessaron uses, side
  // by side with the serial walk it replaced, which must give the same text.
  auto pageText = [&](platform::PageReader& reader) {
    auto pageWindows = reader.windowsOf(pid, table);
    auto matched = pageWindows ? findMatchingAXWindow(*pageWindows, cleanTitle(window.title.value_or("")),
                                                      window.frame, variant)
                               : nullptr;
    return matched ? matched->text() : std::string();
  };
  // Under Wayland, frames are placed on windows as the backend places them.
  std::unique_ptr<platform::wayland::WaylandWindowServer> places;
  platform::freedesktop::FramePlacement placement;
  if (p.name() == "wayland") {
    places = std::make_unique<platform::wayland::WaylandWindowServer>(
        platform::freedesktop::ApplicationFacts{}, bundleDirectory() / "Contents/Resources");
    (void)places->shareableContent();
    placement = [&](std::int32_t process, const std::string& name, const platform::Rect& extents) {
      return places->placeFrame(process, name, extents);
    };
  }
  platform::freedesktop::AtspiPages serialReader(platform::freedesktop::TextReading::serial, placement);
  platform::freedesktop::AtspiPages pipelinedReader(platform::freedesktop::TextReading::pipelined, placement);
  std::string serialText, pipelinedText;
  // The first read finds the page as the browser has it after loading, before any walk went through it.
  const double first = medianMs(1, [&] { pipelinedText = pageText(pipelinedReader); });
  const double text = medianMs(5, [&] { pipelinedText = pageText(pipelinedReader); });
  const double serial = medianMs(3, [&] { serialText = pageText(serialReader); });
  const std::size_t characters = pipelinedText.size();
  if (serialText != pipelinedText || serialText.empty())
    std::fprintf(stderr, "bench: %s: the pipelined text differs from the serial walk's (%zu and %zu bytes)\n",
                 browser.c_str(), pipelinedText.size(), serialText.size());
  platform::RgbaImage shot;
  const double screenshot = medianMs(10, [&] { shot = p.windows().captureWindow(window).value(); });
  const double hash = medianMs(10, [&] {
    OSImage view(shot.width, shot.height, shot.stride, std::vector<std::uint8_t>(shot.pixels));
    (void)OSImageHashing::sharedInstance().hashImage(&view, OSImageHashingProviderPHash);
  });
  TreeWalker walker;
  std::size_t nodes = 0;
  const double naive = medianMs(3, [&] { nodes = walker.walkApplication(pid); });
  if (p.name() == "wayland")
    std::printf("%-9s compositor questions per unchanged pass: %.1f\n", browser.c_str(), questions);
  std::printf("%-9s the pass's parts, medians in ms: %s, other %.2f\n", browser.c_str(), named.c_str(),
              std::max(0.0, pass - namedMs));
  std::printf(
      "%-9s %5zu nodes | pass %6.1f ms (list %.1f, match %.1f, screenshot %.1f of %ux%u, hash %.1f) | "
      "plain tree walk %7.1f ms | walk / match %.0fx\n"
      "%-9s page text on a save: pipelined %.0f ms (first read %.0f ms), serial walk %.0f ms, "
      "serial / pipelined %.1fx, %s (%zu bytes)\n",
      browser.c_str(), nodes, pass, list, match, screenshot, shot.width, shot.height, hash, naive,
      naive / match, browser.c_str(), text, first, serial, serial / text,
      serialText == pipelinedText ? "same text" : "TEXT DIFFERS", characters);
  (void)session;
}

double processorSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Under GNOME: the screen cast allowed once, its token kept where tessaron finds it.
void allowScreenCast() {
  if (std::getenv("XDG_CURRENT_DESKTOP") == nullptr ||
      std::string(std::getenv("XDG_CURRENT_DESKTOP")) != "GNOME")
    return;
  platform::wayland::PortalScreencast cast(platform::wayland::PortalScreencast::defaultTokenFile());
  if (cast.restore(5s)) return;
  atspi_init();
  cast.request();
  if (!answerScreenCastDialog(30s) || !waitFor([&] { return cast.casting(); }, 10s))
    throw SessionError("the screen cast was not allowed");
}

enum class Part { both, windows, processor };

// The measurements on one kind of desktop; false when tessaron did not archive the windows.
bool measure(const fs::path& work, DisplayServer server, Part part = Part::both) {
  const char* name = server == DisplayServer::x11 ? "x11" : server == DisplayServer::sway ? "sway" : "gnome";
  if (part != Part::processor) {
    std::printf(
        "==== %s\n== one unchanged window per pass, median of 10 passes (page of about 1,500 nodes)\n", name);
    DesktopSession session(work / name / "per-window", server);
    allowScreenCast();
    session.pages().add("/chromium/big.html", bigPage("Big Chromium Page"));
    session.pages().add("/firefox/big.html", bigPage("Big Firefox Page"));
    auto platform = server == DisplayServer::x11 ? platform::x11::create() : platform::wayland::create();
    platform::ScopedPlatform installed(platform);
    platform->shell().grants().isScreenCaptureAllowed();  // restores a kept screen-cast grant

    const pid_t chromium =
        session.startChromium(session.pages().url("/chromium/big.html"), "Big Chromium Page");
    perWindow(session, "Chromium", chromium);
    session.stop(chromium);
    const pid_t firefox = session.startFirefox(session.pages().url("/firefox/big.html"), "Big Firefox Page");
    perWindow(session, "Firefox", firefox);
    session.stop(firefox);
    // QtWebEngine answers through Qt's bridge, which offers no socket of its own: both reads are serial.
    if (server == DisplayServer::x11) {
      session.pages().add("/falkon/big.html", bigPage("Big Falkon Page"));
      const pid_t falkon = session.startQtWebEngineBrowser("falkon", session.pages().url("/falkon/big.html"),
                                                           "Big Falkon Page", "falkon");
      perWindow(session, "Falkon", falkon);
      session.stop(falkon);
    }
  }
  if (part == Part::windows) return true;

  std::printf("\n== %s: tessaron with three static browser windows, processor time over 60 s\n", name);
  DesktopSession session(work / name / "cpu", server);
  allowScreenCast();
  session.pages().add("/chromium/big.html", bigPage("Big Chromium Page", true));
  session.pages().add("/other/big.html", bigPage("Second Chromium Page", true));
  session.pages().add("/firefox/big.html", bigPage("Big Firefox Page", true));
  session.startChromium(session.pages().url("/chromium/big.html"), "Big Chromium Page", "chromium-a");
  session.startChromium(session.pages().url("/other/big.html"), "Second Chromium Page", "chromium-b");
  session.startFirefox(session.pages().url("/firefox/big.html"), "Big Firefox Page");
  // No backend named: the session's own is picked, as on a person's desktop.
  const pid_t tessaron = session.startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}});
  const fs::path archive = session.home() / ".local/share/tessaron/AppData";
  auto records = [&] {
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(archive, ec); !ec && it != fs::end(it); it.increment(ec))
      n += it->path().extension() == ".txt";
    return n;
  };
  // GNOME places the third window over one of the others, and a covered window is skipped until uncovered.
  const std::size_t expected = server == DisplayServer::gnome ? 2 : 3;
  if (!waitFor([&] { return records() >= expected; }, 60s)) {
    std::fprintf(stderr, "bench: tessaron did not archive the windows\n%s\n",
                 session.log("tessaron").c_str());
    return false;
  }
  const double before = processorSeconds(tessaron);
  const auto start = steady_clock::now();
  waitFor([] { return false; }, 60s);
  const double used = processorSeconds(tessaron) - before;
  const double elapsed = duration<double>(steady_clock::now() - start).count();
  const std::string log = session.log("tessaron");
  std::size_t reads = 0;
  for (std::size_t at = log.find("Reading the words of"); at != std::string::npos;
       at = log.find("Reading the words of", at + 1))
    ++reads;
  std::printf(
      "%s: tessaron used %.2f s of processor time in %.0f s = %.2f%% of one core (goal < 2%%), %zu "
      "records; %zu of them had words read from pixels (once per screenshot, never per pass)\n\n",
      name, used, elapsed, 100.0 * used / elapsed, records(), reads);
  session.stop(tessaron, 10s);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string named = argc >= 3 ? argv[2] : "";
  const std::string partName = argc == 4 ? argv[3] : "";
  if (argc < 2 || argc > 4 || (argc >= 3 && named != "x11" && named != "sway" && named != "gnome") ||
      (argc == 4 && partName != "windows" && partName != "processor")) {
    std::fprintf(stderr, "usage: bench_desktop <work folder> [x11|sway|gnome [windows|processor]]\n");
    return 2;
  }
  const fs::path work = fs::absolute(argv[1]);
  const std::string& only = named;
  const Part part = partName == "windows"     ? Part::windows
                    : partName == "processor" ? Part::processor
                                              : Part::both;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ::setenv("TESSARON_LOG", "memory", 1);
  try {
    if (only == "gnome") return measure(work, DisplayServer::gnome, part) ? 0 : 1;
    if (only != "sway" && !measure(work, DisplayServer::x11, part)) return 1;
    if (only != "x11" && !measure(work, DisplayServer::sway, part)) return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
