// Windows and screenshots through XCB.
//
// The window list is the window manager's _NET_CLIENT_LIST_STACKING (EWMH), front to back, keeping client
// windows that are viewable and not hidden (minimised). Frames are client geometry in root coordinates, the
// convention AT-SPI's screen extents use too. All requests of one listing are sent before any reply is read,
// so a listing costs one round trip however many windows there are.
//
// Screenshots read the client window itself. The root's subwindows are redirected with Composite (automatic
// mode), so every window keeps its own pixels even where others cover it; without that, covered parts would
// come out black. MIT-SHM carries the pixels when the server offers it; otherwise they come in the reply.
#include "platform/x11/x11_windows.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/freedesktop/window_owners.h"
#include "platform/platform.h"

namespace tessaron::platform::x11 {

namespace {

template <class T>
struct FreeDeleter {
  void operator()(T* reply) const { std::free(reply); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

std::string hexWindow(std::uint32_t window) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", window);
  return text;
}

// Window titles in WM_NAME are Latin-1 (STRING); UTF8_STRING ones are kept as they are.
std::string latin1ToUtf8(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

struct ClientWindow {
  std::uint32_t id = 0;
  std::optional<std::string> title;
  Rect frame;
  std::optional<std::int32_t> pid;
  std::optional<std::string> windowClass;
};

// A shared-memory segment the server writes screenshots into; grown when a larger window comes.
class SharedSegment {
 public:
  SharedSegment(xcb_connection_t* connection) : connection_(connection) {}
  ~SharedSegment() { release(); }

  // A segment of at least `size` bytes attached to the server, or nothing when shared memory fails.
  std::uint8_t* reserve(std::size_t size) {
    if (size <= size_ && memory_) return memory_;
    release();
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return nullptr;
    }
    segment_ = xcb_generate_id(connection_);
    Reply<xcb_generic_error_t> error(
        xcb_request_check(connection_, xcb_shm_attach_checked(connection_, segment_, id, 0)));
    // Marked for removal at once: it goes away with the last attachment, even if this process dies.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
      shmdt(memory);
      return nullptr;
    }
    memory_ = static_cast<std::uint8_t*>(memory);
    size_ = size;
    return memory_;
  }

  xcb_shm_seg_t segment() const { return segment_; }

 private:
  void release() {
    if (!memory_) return;
    xcb_shm_detach(connection_, segment_);
    xcb_flush(connection_);
    shmdt(memory_);
    memory_ = nullptr;
    size_ = 0;
  }

  xcb_connection_t* connection_;
  xcb_shm_seg_t segment_ = 0;
  std::uint8_t* memory_ = nullptr;
  std::size_t size_ = 0;
};

int maskShift(std::uint32_t mask) {
  return mask ? __builtin_ctz(mask) : 0;
}

}  // namespace

class X11Display {
 public:
  X11Display() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name)
      throw SelectionError{
          "x11: DISPLAY is not set; tessaron needs an X11 session (TESSARON_PLATFORM=sim runs "
          "the simulated desktop)",
          1};
    int screenNumber = 0;
    connection_ = xcb_connect(name, &screenNumber);
    if (xcb_connection_has_error(connection_)) {
      xcb_disconnect(connection_);
      throw SelectionError{std::string("x11: cannot open display \"") + name + "\"", 1};
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
      xcb_screen_next(&screens);
    screen_ = screens.data;
    screenNumber_ = screenNumber;

    xcb_intern_atom_cookie_t* atoms = xcb_ewmh_init_atoms(connection_, &ewmh_);
    ewmhReady_ = xcb_ewmh_init_atoms_replies(&ewmh_, atoms, nullptr) != 0;

    const xcb_query_extension_reply_t* composite = xcb_get_extension_data(connection_, &xcb_composite_id);
    if (composite && composite->present) {
      Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
          connection_, xcb_composite_query_version(connection_, 0, 2), nullptr));
      // Automatic redirection coexists with a compositing manager's own; a refusal leaves the old behaviour.
      if (version)
        Reply<xcb_generic_error_t>(xcb_request_check(
            connection_, xcb_composite_redirect_subwindows_checked(connection_, screen_->root,
                                                                   XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    }
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(connection_, &xcb_shm_id);
    if (shm && shm->present) segment_.emplace(connection_);
  }

  ~X11Display() {
    segment_.reset();
    if (ewmhReady_) xcb_ewmh_connection_wipe(&ewmh_);
    xcb_disconnect(connection_);
  }

  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  bool healthy() { return xcb_connection_has_error(connection_) == 0; }

  // The viewable, not minimised client windows, front to back; nothing without an EWMH window manager.
  std::optional<std::vector<ClientWindow>> clients() {
    if (!ewmhReady_ || !healthy()) return std::nullopt;
    xcb_ewmh_get_windows_reply_t stacking;
    if (!xcb_ewmh_get_client_list_stacking_reply(
            &ewmh_, xcb_ewmh_get_client_list_stacking(&ewmh_, screenNumber_), &stacking, nullptr))
      return std::nullopt;
    std::vector<xcb_window_t> ids(stacking.windows, stacking.windows + stacking.windows_len);
    xcb_ewmh_get_windows_reply_wipe(&stacking);

    struct Cookies {
      xcb_get_window_attributes_cookie_t attributes;
      xcb_get_geometry_cookie_t geometry;
      xcb_translate_coordinates_cookie_t origin;
      xcb_get_property_cookie_t netName, name, pid, state, windowClass;
    };
    std::vector<Cookies> cookies;
    cookies.reserve(ids.size());
    for (xcb_window_t id : ids)
      cookies.push_back({xcb_get_window_attributes(connection_, id), xcb_get_geometry(connection_, id),
                         xcb_translate_coordinates(connection_, id, screen_->root, 0, 0),
                         xcb_ewmh_get_wm_name(&ewmh_, id), xcb_icccm_get_wm_name(connection_, id),
                         xcb_ewmh_get_wm_pid(&ewmh_, id), xcb_ewmh_get_wm_state(&ewmh_, id),
                         xcb_icccm_get_wm_class(connection_, id)});

    std::vector<ClientWindow> windows;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      // Every reply is read, even for windows already rejected, so none is left pending.
      const Cookies& c = cookies[i];
      Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(connection_, c.attributes, nullptr));
      Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection_, c.geometry, nullptr));
      Reply<xcb_translate_coordinates_reply_t> origin(
          xcb_translate_coordinates_reply(connection_, c.origin, nullptr));
      ClientWindow window{ids[i]};
      xcb_ewmh_get_utf8_strings_reply_t netName;
      if (xcb_ewmh_get_wm_name_reply(&ewmh_, c.netName, &netName, nullptr)) {
        window.title = std::string(netName.strings, netName.strings_len);
        xcb_ewmh_get_utf8_strings_reply_wipe(&netName);
      }
      xcb_icccm_get_text_property_reply_t name;
      if (xcb_icccm_get_wm_name_reply(connection_, c.name, &name, nullptr)) {
        if (!window.title) {
          std::string_view raw(name.name, name.name_len);
          window.title = name.encoding == ewmh_.UTF8_STRING ? std::string(raw) : latin1ToUtf8(raw);
        }
        xcb_icccm_get_text_property_reply_wipe(&name);
      }
      std::uint32_t pid = 0;
      if (xcb_ewmh_get_wm_pid_reply(&ewmh_, c.pid, &pid, nullptr) && pid > 0 && pid <= INT32_MAX)
        window.pid = static_cast<std::int32_t>(pid);
      bool hidden = false;
      xcb_ewmh_get_atoms_reply_t states;
      if (xcb_ewmh_get_wm_state_reply(&ewmh_, c.state, &states, nullptr)) {
        for (std::uint32_t s = 0; s < states.atoms_len; ++s)
          hidden = hidden || states.atoms[s] == ewmh_._NET_WM_STATE_HIDDEN;
        xcb_ewmh_get_atoms_reply_wipe(&states);
      }
      xcb_icccm_get_wm_class_reply_t windowClass;
      if (xcb_icccm_get_wm_class_reply(connection_, c.windowClass, &windowClass, nullptr)) {
        if (windowClass.class_name) window.windowClass = windowClass.class_name;
        xcb_icccm_get_wm_class_reply_wipe(&windowClass);
      }
      if (!attributes || !geometry || !origin || hidden || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
          attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
        continue;
      window.frame = {static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                      static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
      windows.push_back(std::move(window));
    }
    std::reverse(windows.begin(), windows.end());  // the stacking list runs bottom to top
    return windows;
  }

  Outcome<RgbaImage> capture(std::uint32_t window) {
    const std::string label = "X11: window " + hexWindow(window);
    Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
    if (!attributes || !geometry) return PlatformError{label + " no longer exists"};
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE)
      return PlatformError{label + " is not viewable (minimised or unmapped)"};
    const std::uint16_t width = geometry->width, height = geometry->height;
    if (width == 0 || height == 0) return PlatformError{label + " has no area"};

    const xcb_visualtype_t* visual = findVisual(attributes->visual);
    if (!visual) return PlatformError{label + " has a visual this backend cannot read"};
    const std::uint8_t depth = geometry->depth;
    const xcb_format_t* format = findFormat(depth);
    if (!format || format->bits_per_pixel != 32 || depth < 24)
      return PlatformError{label + " has a " + std::to_string(depth) +
                           "-bit pixel format this backend cannot read"};

    const std::size_t stride = std::size_t{width} * 4;
    const std::size_t size = stride * height;
    std::lock_guard lock(captureMutex_);
    if (segment_) {
      if (std::uint8_t* memory = segment_->reserve(size)) {
        xcb_generic_error_t* rawError = nullptr;
        Reply<xcb_shm_get_image_reply_t> reply(
            xcb_shm_get_image_reply(connection_,
                                    xcb_shm_get_image(connection_, window, 0, 0, width, height, ~0u,
                                                      XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->segment(), 0),
                                    &rawError));
        Reply<xcb_generic_error_t> error(rawError);
        if (reply) return convert(memory, width, height, stride, *visual);
        if (error && error->error_code != XCB_MATCH) segment_.reset();  // shared memory is not usable here
        if (error)
          return PlatformError{label + " cannot be read (X error " + std::to_string(error->error_code) + ")"};
      } else {
        segment_.reset();
      }
    }
    xcb_generic_error_t* rawError = nullptr;
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        connection_, xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, width, height, ~0u),
        &rawError));
    Reply<xcb_generic_error_t> error(rawError);
    if (!reply)
      return PlatformError{label + " cannot be read (X error " +
                           std::to_string(error ? error->error_code : 0) + ")"};
    if (static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < size)
      return PlatformError{label + " gave fewer pixels than its size"};
    return convert(xcb_get_image_data(reply.get()), width, height, stride, *visual);
  }

 private:
  const xcb_visualtype_t* findVisual(xcb_visualid_t id) const {
    for (auto depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem; xcb_depth_next(&depths))
      for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals))
        if (visuals.data->visual_id == id) return visuals.data;
    return nullptr;
  }

  const xcb_format_t* findFormat(std::uint8_t depth) const {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem; xcb_format_next(&formats))
      if (formats.data->depth == depth) return formats.data;
    return nullptr;
  }

  // 32-bit pixels in the server's byte order to RGBA. Alpha is opaque: a 32-bit window's pixels are
  // premultiplied, which is what the screen shows over black.
  RgbaImage convert(const std::uint8_t* pixels, std::uint16_t width, std::uint16_t height, std::size_t stride,
                    const xcb_visualtype_t& visual) const {
    RgbaImage image;
    image.width = width;
    image.height = height;
    image.stride = stride;
    image.pixels.resize(stride * height);
    const bool littleEndian = xcb_get_setup(connection_)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const int red = maskShift(visual.red_mask), green = maskShift(visual.green_mask),
              blue = maskShift(visual.blue_mask);
    const std::size_t count = std::size_t{width} * height;
    std::uint8_t* out = image.pixels.data();
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t* p = pixels + i * 4;
      const std::uint32_t value = littleEndian ? (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                                  std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24)
                                               : (std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 |
                                                  std::uint32_t{p[1]} << 16 | std::uint32_t{p[0]} << 24);
      out[i * 4 + 0] = static_cast<std::uint8_t>(value >> red);
      out[i * 4 + 1] = static_cast<std::uint8_t>(value >> green);
      out[i * 4 + 2] = static_cast<std::uint8_t>(value >> blue);
      out[i * 4 + 3] = 0xFF;
    }
    return image;
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  int screenNumber_ = 0;
  xcb_ewmh_connection_t ewmh_{};
  bool ewmhReady_ = false;
  std::mutex captureMutex_;
  std::optional<SharedSegment> segment_;
};

X11WindowServer::X11WindowServer(ApplicationFacts facts)
    : display_(std::make_unique<X11Display>()), facts_(std::move(facts)) {}

X11WindowServer::~X11WindowServer() = default;

Outcome<std::vector<WindowDescription>> X11WindowServer::shareableContent() {
  auto clients = display_->clients();
  if (!clients)
    return PlatformError{display_->healthy() ? "X11: the window manager publishes no client list (EWMH)"
                                             : "X11: the connection to the display is broken"};
  std::vector<WindowDescription> windows;
  windows.reserve(clients->size());
  freedesktop::WindowOwners owners(facts_);
  for (auto& client : *clients) {
    WindowDescription window{client.id, client.title, client.frame, std::nullopt};
    window.listed = ListedWindow{client.id, client.pid, std::move(client.title)};
    if (client.pid) owners.describe(window, *client.pid, client.windowClass);
    windows.push_back(std::move(window));
  }
  return windows;
}

Outcome<RgbaImage> X11WindowServer::captureWindow(const WindowDescription& window) {
  return display_->capture(window.windowID);
}

bool X11WindowServer::canReadScreen() {
  // Wayland's X11 compatibility server shows only its own clients' windows, never the browser's.
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((session && std::string_view(session) == "wayland") || (wayland && *wayland)) return false;
  return display_->healthy();
}

}  // namespace tessaron::platform::x11
