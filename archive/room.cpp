#include "archive/room.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "archive/forgetting.h"
#include "archive/layout.h"

namespace tessaron::archive {

namespace fs = std::filesystem;

namespace {

std::uintmax_t blocksOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return static_cast<std::uintmax_t>(info.st_blocks) * 512;
}

}  // namespace

std::uintmax_t diskBytes(const fs::path& folder) {
  std::uintmax_t bytes = blocksOf(folder);
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec))
    bytes += blocksOf(it->path());
  return bytes;
}

std::uintmax_t fileBytes(const fs::path& folder) {
  std::uintmax_t bytes = 0;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
    std::error_code sizeError;
    if (entry.is_regular_file(sizeError) && !entry.is_symlink(sizeError)) {
      const auto size = entry.file_size(sizeError);
      if (!sizeError) bytes += size;
    }
  }
  return bytes;
}

ArchiveRoom measureRoom(const fs::path& dataFolder) {
  ArchiveRoom room;
  room.bytes = diskBytes(dataFolder);
  for (const std::string& day : dayFolders(dataFolder)) {
    const fs::path folder = dataFolder / day;
    room.days.push_back({day, diskBytes(folder), fileBytes(folder), storedRecords(folder).size()});
    room.fileBytes += room.days.back().fileBytes;
  }
  return room;
}

std::optional<DiskSpace> diskSpace(const fs::path& folder) {
  struct statvfs space {};
  if (::statvfs(folder.c_str(), &space) != 0) return std::nullopt;
  const std::uint64_t unit = space.f_frsize ? space.f_frsize : space.f_bsize;
  return DiskSpace{static_cast<std::uint64_t>(space.f_bavail) * unit,
                   static_cast<std::uint64_t>(space.f_blocks) * unit};
}

std::string bytesForPeople(std::uintmax_t bytes) {
  const auto value = static_cast<double>(bytes);
  if (bytes >= 1'000'000'000) return fmt::format("{:.1f} GB", value / 1e9);
  if (bytes >= 1'000'000) return fmt::format("{:.0f} MB", value / 1e6);
  return fmt::format("{:.0f} kB", value / 1e3);
}

}  // namespace tessaron::archive
