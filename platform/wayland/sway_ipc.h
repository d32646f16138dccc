// Window places on wlroots desktops run by sway (or i3-compatible compositors that speak its IPC): the
// compositor's tree over the socket named by SWAYSOCK.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/value.h"

namespace tessaron::platform::wayland {

// A window as the compositor places it: its content area in the compositor's logical coordinates (borders
// and title bars left out), the output that shows it, and the windows stacked above it that overlap it.
struct CompositorWindow {
  std::uint32_t id = 0;
  std::int32_t processId = 0;
  std::string title;
  std::string appId;
  Rect frame;
  std::string output;
  bool focused = false;
  std::vector<std::uint32_t> coveredBy;
  bool operator==(const CompositorWindow&) const = default;
};

struct CompositorOutput {
  std::string name;
  Rect rect;  // logical coordinates
  bool operator==(const CompositorOutput&) const = default;
};

// The windows shown now, front to back: floating windows (the last one raised first) before tiled ones.
// Windows on hidden workspaces, in the scratchpad, behind a fullscreen window or in an unselected tab are
// not shown, and neither are windows without a process (placeholders).
std::vector<CompositorWindow> shownWindows(const nlohmann::json& tree);

// The active outputs.
std::vector<CompositorOutput> activeOutputs(const nlohmann::json& outputs);

class SwayIpc {
 public:
  explicit SwayIpc(std::string socketPath) : socketPath_(std::move(socketPath)) {}
  ~SwayIpc();
  SwayIpc(const SwayIpc&) = delete;
  SwayIpc& operator=(const SwayIpc&) = delete;

  // The socket of the running compositor (SWAYSOCK), when there is one.
  static std::optional<std::string> socketFromEnvironment();

  std::optional<std::vector<CompositorWindow>> windows();
  std::optional<std::vector<CompositorOutput>> outputs();

 private:
  std::optional<std::string> request(std::uint32_t type, std::string_view payload);
  bool connectLocked();

  std::string socketPath_;
  std::mutex mutex_;
  int fd_ = -1;
};

}  // namespace tessaron::platform::wayland
