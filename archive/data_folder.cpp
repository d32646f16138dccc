#include "archive/data_folder.h"

#include <mutex>

#include "archive/private_files.h"
#include "base/log.h"
#include "platform/platform.h"

namespace tessaron {

namespace {

std::mutex locationMutex;
std::function<std::optional<ArchiveLocation>()>& locationSource() {
  static std::function<std::optional<ArchiveLocation>()> source;
  return source;
}

}  // namespace

void setArchiveLocation(std::function<std::optional<ArchiveLocation>()> where) {
  std::lock_guard lock(locationMutex);
  locationSource() = std::move(where);
}

std::optional<ArchiveLocation> archiveLocation() {
  std::function<std::optional<ArchiveLocation>()> source;
  {
    std::lock_guard lock(locationMutex);
    source = locationSource();
  }
  return source ? source() : std::nullopt;
}

bool archiveIsLocked() {
  auto location = archiveLocation();
  return location && !location->open;
}

std::optional<std::filesystem::path> plainDataFolder() {
  auto support = platform::current().installation().applicationSupportFolder();
  if (!support) return std::nullopt;
  return support.value() / "tessaron" / "AppData";
}

std::optional<std::filesystem::path> appDataFolder() {
  if (auto location = archiveLocation(); location && location->sealedRoot) {
    if (!location->open) return std::nullopt;
    std::error_code ec;
    if (!archive::createPrivateFolders(location->dataFolder, ec)) {
      log::utils().error("Error getting app support folder: %@", ec);
      return std::nullopt;
    }
    return location->dataFolder;
  }
  auto support = platform::current().installation().applicationSupportFolder();
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
