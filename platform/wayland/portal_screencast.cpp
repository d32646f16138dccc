// The portal's calls answer through a Response signal on a request object, so they run on a thread of their
// own with its own main context and its own connection to the session bus: signals for that connection are
// dispatched there, and the portal session lives as long as that connection. PipeWire runs its own thread
// loop; its process callback copies each new frame under a mutex, and a capture crops the kept copy.
#include "platform/wayland/portal_screencast.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pipewire/pipewire.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "base/once.h"
#include "base/xdg.h"
#include "platform/freedesktop/glib_ownership.h"
#include "platform/platform.h"
#include "platform/wayland/pipewire_format.h"
#include "platform/wayland/private_bus.h"

namespace tessaron::platform::wayland {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";
constexpr std::uint32_t monitorSource = 1;
constexpr std::uint32_t persistUntilRevoked = 2;
// Passes are seconds apart: two frames a second keep the copy fresh at a fraction of the work.
constexpr std::uint32_t maxFramesPerSecond = 2;
// A cast that has sent no frame for this long after it started is not about to: that is said once.
constexpr std::chrono::seconds noFrameLimit{10};

// Each failure of the cast is said in the log once per reason: a pass that fails the same way every 5 s says
// nothing new.
void sayOnce(const std::string& text) {
  static log::Once<> said;
  if (said.first(text)) notice(text);
}

struct Frame {
  std::vector<std::uint8_t> pixels;
  std::uint32_t width = 0, height = 0;
  std::size_t stride = 0;
  bool blueFirst = true;
};

struct Stream {
  std::uint32_t node = 0;
  CompositorOutput monitor;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  std::uint32_t format = 0, width = 0, height = 0;
  std::mutex frameMutex;
  std::optional<Frame> latest;
};

std::optional<std::string> readToken(const fs::path& file) {
  std::ifstream in(file);
  std::string token;
  if (!std::getline(in, token) || token.empty()) return std::nullopt;
  return token;
}

// Written whole under a temporary name with mode 0600 from the start, then renamed over the old one.
void writeToken(const fs::path& file, const std::string& token) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  const fs::path temporary = file.string() + ".partial";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    notice("The screen-cast grant cannot be kept in " + file.string() + ": " + std::strerror(errno) +
           "; the desktop will ask again at the next start.");
    return;
  }
  const std::string line = token + "\n";
  const bool written =
      ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    notice("The screen-cast grant cannot be kept in " + file.string() +
           "; the desktop will ask again at the next start.");
  }
}

}  // namespace

struct PortalScreencast::State {
  enum class Phase { idle, starting, casting, refused };

  explicit State(fs::path token) : tokenFile(std::move(token)) {}

  fs::path tokenFile;
  std::mutex mutex;
  std::condition_variable changed;
  Phase phase = Phase::idle;
  std::string refusal;  // why the last start did not cast
  std::chrono::steady_clock::time_point castingSince;
  std::optional<bool> portalOffers;

  // The portal's thread.
  std::thread worker;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  freedesktop::OwnedObject<GDBusConnection> bus;
  std::string session;
  int requests = 0;
  guint closedSubscription = 0;

  // PipeWire. The loop and the streams are made and undone under streamsMutex, which captures hold while
  // they read, so a cast stopped from the desktop's indicator never pulls a frame from under a capture.
  std::mutex streamsMutex;
  pw_thread_loop* pwLoop = nullptr;
  pw_context* pwContext = nullptr;
  pw_core* pwCore = nullptr;
  std::vector<std::unique_ptr<Stream>> streams;  // changed only with the PipeWire loop locked

  void setPhase(Phase next, std::string why = {}) {
    if (next == Phase::refused && !why.empty()) sayOnce(why);
    {
      std::lock_guard lock(mutex);
      phase = next;
      refusal = std::move(why);
      if (next == Phase::casting) castingSince = std::chrono::steady_clock::now();
    }
    changed.notify_all();
  }

  // --- on the portal's thread

  void run(std::promise<void>& ready) {
    g_main_context_push_thread_default(context);
    ready.set_value();
    bus.reset(privateSessionBus());
    g_main_loop_run(loop);
    stopStreams();
    if (bus) {
      g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
      bus.reset();
    }
    g_main_loop_unref(loop);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  // Runs `work` on the portal's thread.
  void post(std::function<void()> work) {
    auto* boxed = new std::function<void()>(std::move(work));
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        boxed, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  }

  bool askOffered() {
    if (!bus) return false;
    const freedesktop::Variant reply(
        g_dbus_connection_call_sync(bus.get(), portalName, portalPath, "org.freedesktop.DBus.Properties",
                                    "Get", g_variant_new("(ss)", screenCast, "AvailableSourceTypes"),
                                    G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    if (!reply) return false;
    const freedesktop::Variant types = reply.child(0).unboxed();
    return g_variant_is_of_type(types.get(), G_VARIANT_TYPE_UINT32) &&
           (g_variant_get_uint32(types.get()) & monitorSource) != 0;
  }

  struct Answer {
    std::uint32_t code = 2;        // 0 granted, 1 cancelled by the person, 2 failed
    freedesktop::Variant results;  // a{sv}
    std::string how;  // the answer in words, for the log: "Start answered 1", "Start failed: ..."
  };

  // One portal request: the call names its request object by token, the answer comes as its Response signal.
  Answer portalRequest(const char* method, GVariant* arguments, const std::string& token,
                       std::chrono::seconds limit) {
    std::string sender = g_dbus_connection_get_unique_name(bus.get()) + 1;
    for (char& c : sender)
      if (c == '.') c = '_';
    const std::string path = std::string(portalPath) + "/request/" + sender + "/" + token;
    Answer answer;
    bool answered = false;
    struct Waiting {
      Answer* answer;
      bool* answered;
    } waiting{&answer, &answered};
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus.get(), portalName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer data) {
          auto* w = static_cast<Waiting*>(data);
          GVariant* results = nullptr;
          g_variant_get(parameters, "(u@a{sv})", &w->answer->code, &results);
          w->answer->results = freedesktop::Variant(results);
          *w->answered = true;
        },
        &waiting, nullptr);
    GError* failure = nullptr;
    const freedesktop::Variant reply(
        g_dbus_connection_call_sync(bus.get(), portalName, portalPath, screenCast, method, arguments,
                                    G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &failure));
    const freedesktop::OwnedError error(failure);
    if (reply) {
      // A tick on this thread's context, so that waiting notices the time limit.
      const auto deadline = std::chrono::steady_clock::now() + limit;
      GSource* tick = g_timeout_source_new_seconds(1);
      g_source_set_callback(
          tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
      g_source_attach(tick, context);
      while (!answered && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(context, TRUE);
      g_source_destroy(tick);
      g_source_unref(tick);
      answer.how =
          answered ? std::string(method) + " answered " + std::to_string(answer.code)
                   : std::string(method) + " gave no answer within " + std::to_string(limit.count()) + " s";
    } else {
      answer.how = std::string(method) + " failed: " + freedesktop::messageOf(error);
    }
    g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
    return answer;
  }

  std::string nextToken(const char* kind) {
    return std::string("tessaron_") + kind + std::to_string(++requests);
  }

  void start(bool mayAsk) {
    if (!bus) return setPhase(Phase::refused, "The desktop's session bus cannot be reached.");
    const bool offers = askOffered();
    {
      std::lock_guard lock(mutex);
      portalOffers = offers;
    }
    if (!offers)
      return setPhase(Phase::refused,
                      "This desktop's portal offers no screen cast (org.freedesktop.portal.ScreenCast).");
    const std::optional<std::string> stored = readToken(tokenFile);
    if (!stored && !mayAsk) return setPhase(Phase::idle);
    setPhase(Phase::starting);

    GVariantBuilder options;
    std::string token = nextToken("request");
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "session_handle_token",
                          g_variant_new_string(nextToken("session").c_str()));
    Answer created = portalRequest("CreateSession", g_variant_new("(a{sv})", &options), token, 10s);
    const gchar* handle = nullptr;
    if (created.code != 0 || !created.results ||
        !g_variant_lookup(created.results.get(), "session_handle", "&s", &handle))
      return setPhase(Phase::refused, "The portal did not open a screen-cast session (" + created.how + ").");
    session = handle;
    closedSubscription = g_dbus_connection_signal_subscribe(
        bus.get(), portalName, "org.freedesktop.portal.Session", "Closed", session.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
           gpointer data) {
          auto* self = static_cast<State*>(data);
          // A session that closes while it starts is a failed start, which says its own reason.
          {
            std::lock_guard lock(self->mutex);
            if (self->phase != Phase::casting) return;
          }
          self->stopStreams();
          self->setPhase(Phase::refused,
                         "The screen cast was stopped (from the desktop's sharing indicator).");
        },
        this, nullptr);

    token = nextToken("request");
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(monitorSource));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(TRUE));
    g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(persistUntilRevoked));
    if (stored)
      g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(stored->c_str()));
    Answer selected =
        portalRequest("SelectSources", g_variant_new("(oa{sv})", session.c_str(), &options), token, 10s);
    if (selected.code != 0)
      return endSession("The portal did not accept the screen-cast request (" + selected.how + ").");

    // With a token that still holds, Start answers at once; otherwise the person answers the dialog.
    token = nextToken("request");
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    Answer started = portalRequest("Start", g_variant_new("(osa{sv})", session.c_str(), "", &options), token,
                                   mayAsk ? 600s : 10s);
    if (started.code != 0 || !started.results) {
      // KDE's portal answers 1 also when its dialog cannot be shown at all: what it lacks is named then.
      std::string why = started.code == 1 ? "The screen cast was declined in the desktop's dialog ("
                                          : "The desktop did not start the screen cast (";
      why += started.how + ").";
      if (std::string lacking = whatKdesDialogLacks(); !lacking.empty()) why += " " + lacking;
      return endSession(std::move(why));
    }
    const gchar* newToken = nullptr;
    if (g_variant_lookup(started.results.get(), "restore_token", "&s", &newToken))
      writeToken(tokenFile, newToken);
    std::vector<std::pair<std::uint32_t, CompositorOutput>> cast;
    if (const auto list = started.results.lookup("streams", G_VARIANT_TYPE("a(ua{sv})"))) {
      for (std::size_t i = 0; i < g_variant_n_children(list.get()); ++i) {
        const freedesktop::Variant stream = list.child(i);
        std::uint32_t node = 0;
        g_variant_get_child(stream.get(), 0, "u", &node);
        const freedesktop::Variant properties = stream.child(1);
        gint32 x = 0, y = 0, width = 0, height = 0;
        g_variant_lookup(properties.get(), "position", "(ii)", &x, &y);
        g_variant_lookup(properties.get(), "size", "(ii)", &width, &height);
        cast.push_back({node, CompositorOutput{std::to_string(cast.size()),
                                               Rect{double(x), double(y), double(width), double(height)}}});
      }
    }
    if (cast.empty()) return endSession("The desktop started a screen cast without a screen.");

    GUnixFDList* descriptors = nullptr;
    GError* failure = nullptr;
    const freedesktop::Variant remote(g_dbus_connection_call_with_unix_fd_list_sync(
        bus.get(), portalName, portalPath, screenCast, "OpenPipeWireRemote",
        g_variant_new("(o@a{sv})", session.c_str(), g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &descriptors, nullptr, &failure));
    const freedesktop::OwnedObject<GUnixFDList> fds(descriptors);
    const freedesktop::OwnedError error(failure);
    int fd = -1;
    if (remote && fds) {
      gint32 index = 0;
      g_variant_get(remote.get(), "(h)", &index);
      fd = g_unix_fd_list_get(fds.get(), index, nullptr);
    }
    if (fd < 0)
      return endSession("The desktop gave no PipeWire connection for the screen cast (OpenPipeWireRemote: " +
                        (error ? freedesktop::messageOf(error) : std::string("no descriptor in its answer")) +
                        ").");
    if (!startStreams(fd, cast)) return endSession("PipeWire did not accept the screen cast's streams.");
    setPhase(Phase::casting);
  }

  void endSession(std::string why) {
    stopStreams();
    if (!session.empty() && bus)
      g_dbus_connection_call(bus.get(), portalName, session.c_str(), "org.freedesktop.portal.Session",
                             "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr,
                             nullptr);
    if (closedSubscription) g_dbus_connection_signal_unsubscribe(bus.get(), closedSubscription);
    closedSubscription = 0;
    session.clear();
    setPhase(Phase::refused, std::move(why));
  }

  // --- PipeWire

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* stream = static_cast<Stream*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    if (tessaronParseVideoFormat(param, &stream->format, &stream->width, &stream->height) != 0) return;
    std::uint8_t buffer[256];
    const spa_pod* buffers = tessaronBufferTypes(buffer, sizeof buffer);
    pw_stream_update_params(stream->stream, &buffers, 1);
  }

  static void onProcess(void* data) {
    auto* stream = static_cast<Stream*>(data);
    pw_buffer* newest = nullptr;
    // Only the newest waiting buffer matters.
    while (pw_buffer* next = pw_stream_dequeue_buffer(stream->stream)) {
      if (newest) pw_stream_queue_buffer(stream->stream, newest);
      newest = next;
    }
    if (!newest) return;
    const spa_buffer* buffer = newest->buffer;
    const spa_data& plane = buffer->datas[0];
    if (plane.data && plane.chunk && plane.chunk->size > 0 && stream->width > 0 && stream->height > 0) {
      const std::size_t stride = plane.chunk->stride > 0 ? static_cast<std::size_t>(plane.chunk->stride)
                                                         : std::size_t{stream->width} * 4;
      const std::size_t needed = stride * stream->height;
      if (plane.chunk->offset + needed <= plane.maxsize) {
        const auto* start = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
        std::lock_guard lock(stream->frameMutex);
        Frame& frame = stream->latest ? *stream->latest : stream->latest.emplace();
        frame.pixels.assign(start, start + needed);
        frame.width = stream->width;
        frame.height = stream->height;
        frame.stride = stride;
        frame.blueFirst = tessaronBlueFirst(stream->format) != 0;
      }
    }
    pw_stream_queue_buffer(stream->stream, newest);
  }

  static void onStateChanged(void*, pw_stream_state, pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR)
      sayOnce(std::string("The screen cast's stream failed in PipeWire: ") +
              (error ? error : "no reason given") +
              ". No window can be recorded until the cast is allowed again.");
  }

  static constexpr pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    return events;
  }();

  bool startStreams(int fd, const std::vector<std::pair<std::uint32_t, CompositorOutput>>& cast) {
    std::lock_guard streamsLock(streamsMutex);
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    pwLoop = pw_thread_loop_new("tessaron-cast", nullptr);
    if (!pwLoop) {
      ::close(fd);
      return false;
    }
    pwContext = pw_context_new(pw_thread_loop_get_loop(pwLoop), nullptr, 0);
    if (!pwContext || pw_thread_loop_start(pwLoop) != 0) {
      ::close(fd);
      return false;
    }
    pw_thread_loop_lock(pwLoop);
    pwCore = pw_context_connect_fd(pwContext, fd, nullptr, 0);  // takes the descriptor
    bool connected = pwCore != nullptr;
    for (const auto& [node, monitor] : cast) {
      if (!connected) break;
      auto stream = std::make_unique<Stream>();
      stream->node = node;
      stream->monitor = monitor;
      stream->stream = pw_stream_new(pwCore, "tessaron",
                                     pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                       "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
      if (!stream->stream) {
        connected = false;
        break;
      }
      pw_stream_add_listener(stream->stream, &stream->listener, &streamEvents, stream.get());
      std::uint8_t buffer[1024];
      const spa_pod* formats = tessaronVideoFormats(buffer, sizeof buffer, maxFramesPerSecond);
      connected = pw_stream_connect(
                      stream->stream, PW_DIRECTION_INPUT, node,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                      &formats, 1) == 0;
      streams.push_back(std::move(stream));
    }
    pw_thread_loop_unlock(pwLoop);
    if (!pwCore) return false;
    return connected;
  }

  void stopStreams() {
    std::lock_guard streamsLock(streamsMutex);
    if (!pwLoop) return;
    pw_thread_loop_lock(pwLoop);
    for (auto& stream : streams)
      if (stream->stream) pw_stream_destroy(stream->stream);
    if (pwCore) pw_core_disconnect(pwCore);
    pw_thread_loop_unlock(pwLoop);
    pw_thread_loop_stop(pwLoop);
    pw_thread_loop_lock(pwLoop);
    streams.clear();
    pw_thread_loop_unlock(pwLoop);
    if (pwContext) pw_context_destroy(pwContext);
    pw_thread_loop_destroy(pwLoop);
    pwLoop = nullptr;
    pwContext = nullptr;
    pwCore = nullptr;
  }
};

std::string whatKdesDialogLacks(const std::vector<fs::path>& qtFolders) {
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  if (!desktop || std::string_view(desktop).find("KDE") == std::string_view::npos) return {};
  // Plasma 6's portal is built on Qt 6, whose parts are named otherwise.
  if (const char* version = std::getenv("KDE_SESSION_VERSION"); version && std::string_view(version) != "5")
    return {};
  // The parts of Qt that Plasma 5's portal builds its dialog with, and the Debian packages that hold them.
  static const std::pair<const char*, const char*> parts[] = {
      {"plugins/platforms/libqwayland-generic.so", "qtwayland5"},
      {"qml/org/kde/kirigami.2/qmldir", "qml-module-org-kde-kirigami2"},
      {"qml/QtQuick/Layouts/qmldir", "qml-module-qtquick-layouts"},
      {"qml/QtQuick/Controls.2/qmldir", "qml-module-qtquick-controls2"},
      {"qml/org/kde/pipewire/qmldir", "qml-module-org-kde-pipewire"}};
  std::error_code ec;
  for (const fs::path& qt : qtFolders) {
    if (!fs::is_directory(qt / "plugins", ec)) continue;
    std::string missing;
    for (const auto& [file, package] : parts)
      if (!fs::exists(qt / file, ec)) missing += std::string(missing.empty() ? "" : ", ") + package;
    if (missing.empty()) return {};
    return "KDE's screen-sharing dialog cannot open without parts of Qt that are not installed (" + missing +
           " on Debian and Ubuntu).";
  }
  return {};
}

std::string whatKdesDialogLacks() {
  std::vector<fs::path> folders;
  std::error_code ec;
  // Multiarch folders first (/usr/lib/x86_64-linux-gnu/qt5), then the plain ones other distributions use.
  for (const auto& entry : fs::directory_iterator("/usr/lib", ec))
    if (entry.is_directory(ec) && fs::is_directory(entry.path() / "qt5", ec))
      folders.push_back(entry.path() / "qt5");
  folders.push_back("/usr/lib/qt5");
  folders.push_back("/usr/lib64/qt5");
  return whatKdesDialogLacks(folders);
}

fs::path PortalScreencast::defaultTokenFile() {
  return xdg::configHome().value_or("/") / "tessaron" / "screencast-restore-token";
}

PortalScreencast::PortalScreencast(fs::path tokenFile)
    : state_(std::make_shared<State>(std::move(tokenFile))) {
  // Work posted before the loop runs waits in its context.
  state_->context = g_main_context_new();
  state_->loop = g_main_loop_new(state_->context, FALSE);
  std::promise<void> ready;
  auto started = ready.get_future();
  state_->worker = std::thread([state = state_, &ready] { state->run(ready); });
  started.wait();
}

PortalScreencast::~PortalScreencast() {
  auto state = state_;
  state->post([state] { g_main_loop_quit(state->loop); });
  state->worker.join();
}

bool PortalScreencast::offered() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->portalOffers) return *state_->portalOffers;
  }
  std::promise<bool> asked;
  auto answer = asked.get_future();
  auto state = state_;
  state->post([state, &asked] { asked.set_value(state->askOffered()); });
  const bool offers = answer.get();
  std::lock_guard lock(state_->mutex);
  state_->portalOffers = offers;
  return offers;
}

bool PortalScreencast::restore(std::chrono::milliseconds limit) {
  auto state = state_;
  {
    std::lock_guard lock(state->mutex);
    if (state->phase == State::Phase::casting) return true;
    if (state->phase == State::Phase::idle) state->phase = State::Phase::starting;
  }
  state->post([state] {
    if (state->session.empty()) state->start(false);
  });
  std::unique_lock lock(state->mutex);
  state->changed.wait_for(lock, limit, [&] { return state->phase != State::Phase::starting; });
  return state->phase == State::Phase::casting;
}

void PortalScreencast::request() {
  auto state = state_;
  {
    std::lock_guard lock(state->mutex);
    if (state->phase == State::Phase::casting || state->phase == State::Phase::starting) return;
    state->phase = State::Phase::starting;
  }
  state->post([state] {
    if (!state->session.empty()) state->endSession({});
    state->start(true);
  });
}

bool PortalScreencast::casting() {
  std::lock_guard lock(state_->mutex);
  return state_->phase == State::Phase::casting;
}

std::vector<CompositorOutput> PortalScreencast::monitors() {
  std::vector<CompositorOutput> out;
  std::lock_guard streamsLock(state_->streamsMutex);
  if (!casting() || !state_->pwLoop) return out;
  pw_thread_loop_lock(state_->pwLoop);
  for (const auto& stream : state_->streams)
    out.push_back(stream->monitor);
  pw_thread_loop_unlock(state_->pwLoop);
  return out;
}

Outcome<RgbaImage> PortalScreencast::capture(const CompositorOutput& output, const Rect& region) {
  std::optional<Frame> frame;
  Rect monitor;
  {
    std::lock_guard streamsLock(state_->streamsMutex);
    if (!casting() || !state_->pwLoop) return PlatformError{"Wayland: " + whatIsMissing()};
    pw_thread_loop_lock(state_->pwLoop);
    for (const auto& stream : state_->streams)
      if (stream->monitor.rect == output.rect || (state_->streams.size() == 1 && output.rect.width == 0)) {
        std::lock_guard lock(stream->frameMutex);
        frame = stream->latest;
        monitor = stream->monitor.rect;
      }
    pw_thread_loop_unlock(state_->pwLoop);
  }
  if (!frame) {
    std::chrono::steady_clock::time_point since;
    {
      std::lock_guard lock(state_->mutex);
      since = state_->castingSince;
    }
    const auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - since);
    if (waited < noFrameLimit)
      return PlatformError{"Wayland: no frame of the window's screen has arrived yet"};
    const std::string why =
        "no frame from the screen cast for " + std::to_string(noFrameLimit.count()) + " s";
    sayOnce("The desktop shares the screen but sends no picture of it: " + why +
            ", so no window can be recorded.");
    return PlatformError{"Wayland: " + why};
  }
  // Logical coordinates to the frame's pixels (the monitor's scale).
  const double scale = monitor.width > 0 ? frame->width / monitor.width : 1.0;
  const auto left = static_cast<std::int64_t>(region.x * scale);
  const auto top = static_cast<std::int64_t>(region.y * scale);
  const auto width = static_cast<std::int64_t>(region.width * scale);
  const auto height = static_cast<std::int64_t>(region.height * scale);
  if (left < 0 || top < 0 || width <= 0 || height <= 0 || left + width > frame->width ||
      top + height > frame->height)
    return PlatformError{"Wayland: the window reaches beyond its screen"};
  RgbaImage image;
  image.width = static_cast<std::uint32_t>(width);
  image.height = static_cast<std::uint32_t>(height);
  image.stride = image.width * std::size_t{4};
  image.pixels.resize(image.stride * image.height);
  for (std::uint32_t row = 0; row < image.height; ++row) {
    const std::uint8_t* in = frame->pixels.data() + (top + row) * frame->stride + left * 4;
    std::uint8_t* out = image.pixels.data() + row * image.stride;
    for (std::uint32_t x = 0; x < image.width; ++x, in += 4, out += 4) {
      out[0] = frame->blueFirst ? in[2] : in[0];
      out[1] = in[1];
      out[2] = frame->blueFirst ? in[0] : in[2];
      out[3] = 255;
    }
  }
  return image;
}

std::string PortalScreencast::whatIsMissing() {
  std::lock_guard lock(state_->mutex);
  switch (state_->phase) {
    case State::Phase::casting:
      return {};
    case State::Phase::starting:
      return "The screen cast is being set up (the desktop may be asking which screen to share).";
    case State::Phase::refused:
      return state_->refusal.empty() ? "The screen cast is not running." : state_->refusal;
    case State::Phase::idle:
      break;
  }
  return "Tessaron has not been allowed to record the screen yet.";
}

}  // namespace tessaron::platform::wayland
