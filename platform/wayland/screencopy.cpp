// A client of wlr-screencopy over its own Wayland connection. The connection is used by one capture at a
// time and dispatched only by the capturing thread; the toolkit has a connection of its own.
#include "platform/wayland/screencopy.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "wlr-screencopy-client.h"

namespace tessaron::platform::wayland {

namespace {

constexpr auto copyTimeout = std::chrono::seconds(2);

struct Output {
  wl_output* proxy = nullptr;
  std::uint32_t globalName = 0;
  std::string name;  // from version 4 on
  std::int32_t x = 0, y = 0;
};

}  // namespace

class WaylandConnection {
 public:
  WaylandConnection() {
    display_ = wl_display_connect(nullptr);
    if (!display_) {
      const char* name = std::getenv("WAYLAND_DISPLAY");
      throw SelectionError{std::string("wayland: cannot connect to the Wayland display \"") +
                               (name && *name ? name : "wayland-0") + "\" (WAYLAND_DISPLAY)",
                           1};
    }
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    // The first round trip names the globals, the second delivers the outputs' names.
    wl_display_roundtrip(display_);
    wl_display_roundtrip(display_);
  }

  ~WaylandConnection() {
    for (auto& [global, output] : outputs_)
      wl_output_destroy(output.proxy);
    if (manager_) zwlr_screencopy_manager_v1_destroy(manager_);
    if (shm_) wl_shm_destroy(shm_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
  }

  bool available() const { return manager_ && shm_; }

  Outcome<RgbaImage> capture(const std::string& outputName, double originX, double originY,
                             const Rect& region) {
    if (!available()) return PlatformError{"Wayland: the compositor offers no screen copy"};
    if (wl_display_get_error(display_) != 0)
      return PlatformError{"Wayland: the connection to the compositor is broken"};
    wl_display_roundtrip(display_);  // outputs plugged in or out since
    wl_output* output = nullptr;
    // Outputs without a name (before version 4) are known by their place.
    for (auto& [global, known] : outputs_)
      if (known.name == outputName || (known.name.empty() && known.x == originX && known.y == originY))
        output = known.proxy;
    if (!output) return PlatformError{"Wayland: no output named " + outputName};

    Frame frame;
    frame.proxy = zwlr_screencopy_manager_v1_capture_output_region(
        manager_, 0, output, static_cast<std::int32_t>(region.x), static_cast<std::int32_t>(region.y),
        static_cast<std::int32_t>(region.width), static_cast<std::int32_t>(region.height));
    frame.copyWhenNamed = zwlr_screencopy_manager_v1_get_version(manager_) < 3;
    frame.connection = this;
    zwlr_screencopy_frame_v1_add_listener(frame.proxy, &frameListener, &frame);
    const bool settled = dispatchUntil([&] { return frame.ready || frame.failed; });
    Outcome<RgbaImage> result = PlatformError{"Wayland: the compositor did not copy the window in time"};
    if (frame.failed)
      result = PlatformError{"Wayland: the compositor could not copy the window"};
    else if (settled)
      result = frame.image();
    frame.release();
    return result;
  }

 private:
  // One copy: the buffer the compositor asked for, in shared memory.
  struct Frame {
    WaylandConnection* connection = nullptr;
    zwlr_screencopy_frame_v1* proxy = nullptr;
    bool copyWhenNamed = false;
    bool haveFormat = false;
    std::uint32_t format = 0, width = 0, height = 0, stride = 0;
    bool yInverted = false, ready = false, failed = false;
    int fd = -1;
    void* memory = MAP_FAILED;
    std::size_t size = 0;
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;

    static bool readable(std::uint32_t shmFormat) {
      return shmFormat == WL_SHM_FORMAT_XRGB8888 || shmFormat == WL_SHM_FORMAT_ARGB8888 ||
             shmFormat == WL_SHM_FORMAT_XBGR8888 || shmFormat == WL_SHM_FORMAT_ABGR8888;
    }

    void copy() {
      if (!haveFormat || buffer) {
        if (!haveFormat) failed = true;
        return;
      }
      size = static_cast<std::size_t>(stride) * height;
      fd = ::memfd_create("tessaron-screencopy", MFD_CLOEXEC);
      if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        failed = true;
        return;
      }
      memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (memory == MAP_FAILED) {
        failed = true;
        return;
      }
      pool = wl_shm_create_pool(connection->shm_, fd, static_cast<std::int32_t>(size));
      buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(width),
                                         static_cast<std::int32_t>(height), static_cast<std::int32_t>(stride),
                                         format);
      zwlr_screencopy_frame_v1_copy(proxy, buffer);
    }

    RgbaImage image() const {
      RgbaImage image;
      image.width = width;
      image.height = height;
      image.stride = static_cast<std::size_t>(width) * 4;
      image.pixels.resize(image.stride * height);
      // 32-bit formats in little-endian order: XRGB is B,G,R,X in memory and XBGR is R,G,B,X.
      const bool blueFirst = format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888;
      for (std::uint32_t row = 0; row < height; ++row) {
        const auto* in = static_cast<const std::uint8_t*>(memory) +
                         static_cast<std::size_t>(yInverted ? height - 1 - row : row) * stride;
        std::uint8_t* out = image.pixels.data() + row * image.stride;
        for (std::uint32_t x = 0; x < width; ++x, in += 4, out += 4) {
          out[0] = blueFirst ? in[2] : in[0];
          out[1] = in[1];
          out[2] = blueFirst ? in[0] : in[2];
          out[3] = 255;
        }
      }
      return image;
    }

    void release() {
      if (proxy) zwlr_screencopy_frame_v1_destroy(proxy);
      if (buffer) wl_buffer_destroy(buffer);
      if (pool) wl_shm_pool_destroy(pool);
      if (memory != MAP_FAILED) ::munmap(memory, size);
      if (fd >= 0) ::close(fd);
      proxy = nullptr;
    }
  };

  bool dispatchUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + copyTimeout;
    while (true) {
      if (wl_display_dispatch_pending(display_) < 0) return false;
      if (done()) return true;
      while (wl_display_prepare_read(display_) != 0)
        if (wl_display_dispatch_pending(display_) < 0) return false;
      wl_display_flush(display_);
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd readable{wl_display_get_fd(display_), POLLIN, 0};
      const int polled = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
      if (polled <= 0) {
        wl_display_cancel_read(display_);
        if (polled < 0 && errno == EINTR) continue;
        return false;
      }
      if (wl_display_read_events(display_) < 0) return false;
    }
  }

  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
    auto* self = static_cast<WaylandConnection*>(data);
    const std::string_view kind(interface);
    if (kind == wl_shm_interface.name) {
      self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (kind == wl_output_interface.name) {
      Output output{static_cast<wl_output*>(
                        wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u))),
                    name,
                    {}};
      self->outputs_[name] = output;
      wl_output_add_listener(output.proxy, &outputListener, &self->outputs_[name]);
    } else if (kind == zwlr_screencopy_manager_v1_interface.name) {
      self->manager_ = static_cast<zwlr_screencopy_manager_v1*>(
          wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, std::min(version, 3u)));
    }
  }

  static void onGlobalRemoved(void* data, wl_registry*, std::uint32_t name) {
    auto* self = static_cast<WaylandConnection*>(data);
    if (auto it = self->outputs_.find(name); it != self->outputs_.end()) {
      wl_output_destroy(it->second.proxy);
      self->outputs_.erase(it);
    }
  }

  static constexpr wl_registry_listener registryListener{onGlobal, onGlobalRemoved};

  static constexpr wl_output_listener outputListener{
      [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
         const char*, const char*, std::int32_t) {
        static_cast<Output*>(data)->x = x;
        static_cast<Output*>(data)->y = y;
      },
      [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
      [](void*, wl_output*) {},
      [](void*, wl_output*, std::int32_t) {},
      [](void* data, wl_output*, const char* name) { static_cast<Output*>(data)->name = name; },
      [](void*, wl_output*, const char*) {}};

  static constexpr zwlr_screencopy_frame_v1_listener frameListener{
      // buffer: the first shared-memory format this program reads is taken.
      [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
         std::uint32_t height, std::uint32_t stride) {
        auto* frame = static_cast<Frame*>(data);
        if (!frame->haveFormat && Frame::readable(format)) {
          frame->haveFormat = true;
          frame->format = format;
          frame->width = width;
          frame->height = height;
          frame->stride = stride;
        }
        if (frame->copyWhenNamed) frame->copy();
      },
      [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
        static_cast<Frame*>(data)->yInverted = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
      },
      [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
        static_cast<Frame*>(data)->ready = true;
      },
      [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->failed = true; },
      [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
      [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
      [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->copy(); }};

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  zwlr_screencopy_manager_v1* manager_ = nullptr;
  std::map<std::uint32_t, Output> outputs_;
};

Screencopy::Screencopy() : connection_(std::make_unique<WaylandConnection>()) {}

Screencopy::~Screencopy() = default;

bool Screencopy::available() const {
  return connection_->available();
}

Outcome<RgbaImage> Screencopy::capture(const std::string& outputName, double originX, double originY,
                                       const Rect& region) {
  std::lock_guard lock(mutex_);
  return connection_->capture(outputName, originX, originY, region);
}

}  // namespace tessaron::platform::wayland
