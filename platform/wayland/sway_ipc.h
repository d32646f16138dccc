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
#include "platform/wayland/places.h"

namespace tessaron::platform::wayland {

// The windows shown now, front to back: floating windows (the last one raised first) before tiled ones.
// Windows on hidden workspaces, in the scratchpad, behind a fullscreen window or in an unselected tab are
// not shown, and neither are windows without a process (placeholders).
std::vector<CompositorWindow> shownWindows(const nlohmann::json& tree);

// The active outputs, from the compositor's list of outputs, or from its tree (which holds only active ones).
std::vector<CompositorOutput> activeOutputs(const nlohmann::json& outputs);
std::vector<CompositorOutput> treeOutputs(const nlohmann::json& tree);

class SwayIpc final : public WindowPlaces {
 public:
  explicit SwayIpc(std::string socketPath) : socketPath_(std::move(socketPath)) {}
  ~SwayIpc() override;
  SwayIpc(const SwayIpc&) = delete;
  SwayIpc& operator=(const SwayIpc&) = delete;

  // The socket of the running compositor (SWAYSOCK), when there is one.
  static std::optional<std::string> socketFromEnvironment();

  std::optional<std::vector<CompositorWindow>> windows() override;
  std::optional<std::vector<CompositorOutput>> outputs() override;
  // Both from one tree.
  std::optional<PlacesAnswer> both() override;
  std::string whatIsMissing() override;

 private:
  std::optional<std::string> request(std::uint32_t type, std::string_view payload);
  bool connectLocked();

  std::string socketPath_;
  std::mutex mutex_;
  int fd_ = -1;
};

}  // namespace tessaron::platform::wayland
