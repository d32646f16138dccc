#include "archive/data_folder.h"

#include "archive/private_files.h"
#include "base/log.h"
#include "platform/platform.h"

namespace tessaron {

std::optional<std::filesystem::path> appDataFolder() {
  auto support = platform::current().bundle().applicationSupportFolder();
  if (!support) {
    log::utils().error("Error getting app support folder: %@", support.error());
    return std::nullopt;
  }
  const std::filesystem::path ours = support.value() / "tessaron";
  std::filesystem::path folder = ours / "AppData";
  std::error_code ec;
  if (!archive::createPrivateFolders(folder, ec)) {
    log::utils().error("Error getting app support folder: %@", ec);
    return std::nullopt;
  }
  // Archives made before were as open as the umask left them: closed once, the first time they are seen.
  if (auto tightened = archive::makePrivate(ours); tightened && *tightened > 0)
    log::utils().log(
        "The archive at %s could be read by other users of this computer: it is now yours alone "
        "(%lld folders and files changed).",
        ours.string(), static_cast<long long>(*tightened));
  return folder;
}

}  // namespace tessaron
