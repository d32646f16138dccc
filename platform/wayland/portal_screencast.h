// Pixels through the desktop portal's ScreenCast: one long-lived session casting the monitors, through
// PipeWire. The person consents once: the session is made with persist mode 2, and the restore token the
// portal returns is kept (mode 0600) and replaced after every start, so later starts restore it without a
// dialog. The streams stay open and the latest frame of each is kept, because a stream delivers frames only
// when the screen changes: a capture reads the kept frame and never waits.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/wayland/places.h"

namespace tessaron::platform::wayland {

// On KDE, what the portal's screen-sharing dialog lacks to open, in a person's words with the packages to
// install (its portal answers a request it cannot show as if the person had declined it); empty elsewhere,
// or when nothing is known missing. `qtFolders` are Qt 5's library folders (".../qt5"); the first that
// exists is looked in.
std::string whatKdesDialogLacks(const std::vector<std::filesystem::path>& qtFolders);
std::string whatKdesDialogLacks();

class PortalScreencast final : public PixelSource {
 public:
  explicit PortalScreencast(std::filesystem::path tokenFile);
  ~PortalScreencast() override;
  PortalScreencast(const PortalScreencast&) = delete;
  PortalScreencast& operator=(const PortalScreencast&) = delete;

  // Whether the session's portal offers ScreenCast of monitors (asked once).
  bool offered();
  // Starts the cast from the stored token, if there is one, without a dialog; waits up to `limit` for the
  // answer. True when it casts.
  bool restore(std::chrono::milliseconds limit);
  // Asks for the cast: the portal's dialog, where the person picks the screen. Returns at once.
  void request();
  bool casting();
  // The monitors being cast, in logical coordinates.
  std::vector<CompositorOutput> monitors();

  Outcome<RgbaImage> capture(const CompositorOutput& output, const Rect& region) override;
  std::string whatIsMissing() override;

  // Where the token is kept: $XDG_CONFIG_HOME/tessaron/screencast-restore-token.
  static std::filesystem::path defaultTokenFile();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tessaron::platform::wayland
