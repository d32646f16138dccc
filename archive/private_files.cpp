#include "archive/private_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tessaron::archive {

namespace fs = std::filesystem;

namespace {

constexpr mode_t othersRights = S_IRWXG | S_IRWXO;

// Takes others' rights away from one entry, never through a link; whether it changed.
bool tighten(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) return false;
  if ((status.st_mode & othersRights) == 0) return false;
  return ::chmod(path.c_str(), status.st_mode & 07777 & ~othersRights) == 0;
}

}  // namespace

bool createPrivateFolders(const fs::path& folder, std::error_code& ec) {
  ec.clear();
  std::vector<fs::path> missing;
  for (fs::path p = folder; !p.empty(); p = p.parent_path()) {
    if (fs::exists(fs::symlink_status(p, ec))) break;
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
      ec.assign(errno, std::generic_category());
      return false;
    }
  if (!fs::is_directory(folder, ec)) {
    if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
    return false;
  }
  return true;
}

std::optional<std::size_t> makePrivate(const fs::path& folder) {
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  if ((status.st_mode & othersRights) == 0) return 0;  // made private before: what is inside is unreachable
  std::size_t changed = tighten(folder) ? 1 : 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec))
    if (tighten(it->path())) ++changed;
  return changed;
}

bool isOwnPrivateFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat status {};
  return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & othersRights) == 0;
}

}  // namespace tessaron::archive
