// Window places on GNOME, which gives programs none on Wayland: Tessaron's own GNOME Shell extension
// (resources/gnome-shell-extension) answers com.marrowbeck.tessaron.WindowPlaces.List under the shell's name.
// The alternatives were worse: org.gnome.Shell.Introspect and Eval answer only allow-listed callers, and a
// portal window source picked once per window streams one window, so every new window would ask again.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "platform/wayland/places.h"

namespace tessaron::platform::wayland {

inline constexpr const char* gnomeExtensionUuid = "window-places@tessaron.marrowbeck.com";

class GnomeShellPlaces final : public WindowPlaces {
 public:
  // `extensionSource`: the folder with the extension's files, in the bundle's resources, for GNOME Shell 42
  // to 44; the same folder name with "-45" holds them for GNOME Shell 45 and later.
  explicit GnomeShellPlaces(std::filesystem::path extensionSource) : source_(std::move(extensionSource)) {}

  std::optional<std::vector<CompositorWindow>> windows() override;
  std::optional<std::vector<CompositorOutput>> outputs() override;
  std::optional<PlacesAnswer> both() override;
  std::string whatIsMissing() override;

  // Whether the extension is installed for this user or for everyone.
  bool installed() const;
  // Installs the extension for this user and switches it on; GNOME loads it at the next login. Says what it
  // did through a notice.
  void install();

 private:
  std::optional<std::string> ask();
  std::filesystem::path source_;
};

}  // namespace tessaron::platform::wayland
