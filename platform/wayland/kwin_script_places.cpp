// The reports arrive as method calls on an object of a private bus connection whose messages are dispatched
// on a thread of its own, so a listing can wait for its report on the calling thread.
#include "platform/wayland/kwin_script_places.h"

#include <gio/gio.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "base/xdg.h"
#include "platform/freedesktop/glib_ownership.h"
#include "platform/wayland/places.h"
#include "platform/wayland/private_bus.h"

namespace tessaron::platform::wayland {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* reportPath = "/com/marrowbeck/tessaron/WindowPlaces";
constexpr const char* reportInterface = "com.marrowbeck.tessaron.WindowPlaces";
constexpr const char* pluginName = "tessaron-window-places";
constexpr const char* introspection = R"(<node>
  <interface name="com.marrowbeck.tessaron.WindowPlaces">
    <method name="Report"><arg type="s" direction="in" name="places"/></method>
  </interface>
</node>)";

}  // namespace

std::string kwinPlacesScript(const std::string& uniqueName) {
  // Plasma 6 renamed clientList to windowList, desktop to desktops and screen to output; both are read.
  return R"((function () {
  var list = typeof workspace.windowList === 'function' ? workspace.windowList() : workspace.clientList();
  var order = workspace.stackingOrder || list;
  var desktop = workspace.currentDesktop;
  var onDesktop = function (w) {
    if (w.onAllDesktops) return true;
    // Plasma 5 cannot hand its list of desktops to a script (it warns at every read), so its number first.
    if (typeof w.desktop === 'number') return w.desktop === desktop;
    if (w.desktops && w.desktops.length !== undefined) {
      for (var d = 0; d < w.desktops.length; d++) if (w.desktops[d] === desktop) return true;
      return false;
    }
    return false;
  };
  var hash = function (text) {
    var h = 2166136261;
    for (var i = 0; i < text.length; i++) { h ^= text.charCodeAt(i); h = Math.imul(h, 16777619) >>> 0; }
    return h;
  };
  var monitors = [];
  var screens = workspace.screens;
  if (screens && screens.length !== undefined) {
    for (var s = 0; s < screens.length; s++) {
      var g = screens[s].geometry;
      monitors.push({x: g.x, y: g.y, width: g.width, height: g.height});
    }
  } else {
    for (var n = 0; n < workspace.numScreens; n++) {
      var r = workspace.clientArea(KWin.ScreenArea, n, desktop);
      monitors.push({x: r.x, y: r.y, width: r.width, height: r.height});
    }
  }
  var windows = [];
  for (var i = order.length - 1; i >= 0; i--) {
    var w = order[i];
    if (!w.normalWindow || w.minimized || !onDesktop(w)) continue;
    var f = w.frameGeometry;
    var monitor = typeof w.screen === 'number' ? w.screen : (screens ? Array.prototype.indexOf.call(screens, w.output) : 0);
    windows.push({id: hash(String(w.internalId)), pid: w.pid, title: w.caption || '', appId: w.resourceClass || '',
                  x: f.x, y: f.y, width: f.width, height: f.height, monitor: monitor, focused: !!w.active});
  }
  callDBus(')" +
         uniqueName + "', '" + reportPath + "', '" + reportInterface + R"(', 'Report',
           JSON.stringify({monitors: monitors, windows: windows}));
})();
)";
}

struct KwinScriptPlaces::State {
  std::thread worker;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  freedesktop::OwnedObject<GDBusConnection> bus;
  guint registration = 0;
  fs::path script;

  std::mutex mutex;
  std::condition_variable reported;
  std::uint64_t reports = 0;
  std::string latest;

  void run(std::promise<void>& ready) {
    g_main_context_push_thread_default(context);
    bus.reset(privateSessionBus());
    if (bus) {
      const freedesktop::OwnedNodeInfo node(g_dbus_node_info_new_for_xml(introspection, nullptr));
      static const GDBusInterfaceVTable vtable{
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
             GDBusMethodInvocation* invocation, gpointer data) {
            auto* self = static_cast<State*>(data);
            const gchar* places = nullptr;
            g_variant_get(parameters, "(&s)", &places);
            {
              std::lock_guard lock(self->mutex);
              self->latest = places ? places : "";
              ++self->reports;
            }
            self->reported.notify_all();
            g_dbus_method_invocation_return_value(invocation, nullptr);
          },
          nullptr,
          nullptr,
          {}};
      registration = g_dbus_connection_register_object(bus.get(), reportPath, node->interfaces[0], &vtable,
                                                       this, nullptr, nullptr);
    }
    ready.set_value();
    g_main_loop_run(loop);
    if (bus) {
      if (registration) g_dbus_connection_unregister_object(bus.get(), registration);
      g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
      bus.reset();
    }
    g_main_context_pop_thread_default(context);
  }

  freedesktop::Variant call(const char* path, const char* interface, const char* method, GVariant* arguments,
                            const GVariantType* reply) {
    return freedesktop::Variant(g_dbus_connection_call_sync(bus.get(), "org.kde.KWin", path, interface,
                                                            method, arguments, reply, G_DBUS_CALL_FLAGS_NONE,
                                                            2000, nullptr, nullptr));
  }
};

KwinScriptPlaces::KwinScriptPlaces() : state_(std::make_shared<State>()) {
  state_->context = g_main_context_new();
  state_->loop = g_main_loop_new(state_->context, FALSE);
  std::promise<void> ready;
  auto started = ready.get_future();
  state_->worker = std::thread([state = state_, &ready] { state->run(ready); });
  started.wait();
  if (state_->bus) {
    state_->script =
        xdg::runtimeDir().value_or("/tmp") / ("tessaron-window-places-" + std::to_string(::getpid()) + ".js");
    std::ofstream(state_->script) << kwinPlacesScript(g_dbus_connection_get_unique_name(state_->bus.get()));
  }
}

KwinScriptPlaces::~KwinScriptPlaces() {
  std::error_code ec;
  if (!state_->script.empty()) fs::remove(state_->script, ec);
  auto state = state_;
  g_main_context_invoke(
      state->context,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      state->loop);
  state->worker.join();
  g_main_loop_unref(state->loop);
  g_main_context_unref(state->context);
}

std::optional<std::string> KwinScriptPlaces::ask() {
  countCompositorQuestion();
  State& s = *state_;
  if (!s.bus || !s.registration) return std::nullopt;
  // A script of this name left by an earlier listing that did not finish goes first.
  s.call("/Scripting", "org.kde.kwin.Scripting", "unloadScript", g_variant_new("(s)", pluginName),
         G_VARIANT_TYPE("(b)"));
  const freedesktop::Variant loaded =
      s.call("/Scripting", "org.kde.kwin.Scripting", "loadScript",
             g_variant_new("(ss)", s.script.c_str(), pluginName), G_VARIANT_TYPE("(i)"));
  if (!loaded) return std::nullopt;
  gint32 id = -1;
  g_variant_get(loaded.get(), "(i)", &id);
  if (id < 0) return std::nullopt;
  std::uint64_t before;
  {
    std::lock_guard lock(s.mutex);
    before = s.reports;
  }
  // Plasma 6 names a loaded script /Scripting/Script<id>, Plasma 5 /<id>.
  bool ran = false;
  for (const std::string& path : {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)})
    if ((ran = static_cast<bool>(s.call(path.c_str(), "org.kde.kwin.Script", "run", nullptr, nullptr))))
      break;
  std::optional<std::string> answer;
  if (ran) {
    std::unique_lock lock(s.mutex);
    if (s.reported.wait_for(lock, 2s, [&] { return s.reports > before; })) answer = s.latest;
  }
  s.call("/Scripting", "org.kde.kwin.Scripting", "unloadScript", g_variant_new("(s)", pluginName),
         G_VARIANT_TYPE("(b)"));
  return answer;
}

std::optional<PlacesAnswer> KwinScriptPlaces::both() {
  auto answer = ask();
  if (!answer) return std::nullopt;
  auto places = parsePlacesAnswer(*answer);
  if (!places) return std::nullopt;
  return PlacesAnswer{std::move(places->first), std::move(places->second)};
}

std::optional<std::vector<CompositorWindow>> KwinScriptPlaces::windows() {
  auto places = both();
  if (!places) return std::nullopt;
  return std::move(places->windows);
}

std::optional<std::vector<CompositorOutput>> KwinScriptPlaces::outputs() {
  auto places = both();
  if (!places) return std::nullopt;
  return std::move(places->outputs);
}

std::string KwinScriptPlaces::whatIsMissing() {
  if (ask()) return {};
  return "KWin does not answer Tessaron's question about where windows are (its scripting interface, "
         "org.kde.KWin /Scripting, on the session bus).";
}

}  // namespace tessaron::platform::wayland
