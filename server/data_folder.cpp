#include "app/log.h"
#include "platform/platform.h"
#include "server/server.h"

namespace tessaron {

std::optional<std::filesystem::path> appDataFolder() {
  auto support = platform::current().bundle().applicationSupportFolder();
  if (!support) {
    log::utils().error("Error getting app support folder: %@", support.error());
    return std::nullopt;
  }
  std::filesystem::path folder = support.value() / "tessaron" / "AppData";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    log::utils().error("Error getting app support folder: %@", ec);
    return std::nullopt;
  }
  return folder;
}

}  // namespace tessaron
