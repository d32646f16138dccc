// Window places on KDE Plasma, which gives programs none on Wayland: for each listing a small KWin script is
// loaded through KWin's scripting interface on the session bus (org.kde.KWin /Scripting), and it reports the
// windows shown, front to back, back to this process with callDBus. Written from KWin's documented scripting
// interface for Plasma 5.27 and 6; it was not run here, where no KWin runs.
#pragma once

#include <memory>
#include <string>

#include "platform/wayland/places.h"

namespace tessaron::platform::wayland {

// The script, reporting to the bus connection with this unique name.
std::string kwinPlacesScript(const std::string& uniqueName);

class KwinScriptPlaces final : public WindowPlaces {
 public:
  KwinScriptPlaces();
  ~KwinScriptPlaces() override;
  KwinScriptPlaces(const KwinScriptPlaces&) = delete;
  KwinScriptPlaces& operator=(const KwinScriptPlaces&) = delete;

  std::optional<std::vector<CompositorWindow>> windows() override;
  std::optional<std::vector<CompositorOutput>> outputs() override;
  std::optional<PlacesAnswer> both() override;
  std::string whatIsMissing() override;

 private:
  std::optional<std::string> ask();
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tessaron::platform::wayland
