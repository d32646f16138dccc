// The room the archive takes on its disk, measured as `du` measures it (the blocks of every file and folder,
// links not followed), for the person to see what it costs and what the disk budget will do.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::archive {

struct DayRoom {
  std::string day;               // the day folder's name, "yyyyMMdd"
  std::uintmax_t bytes = 0;      // on the disk
  std::uintmax_t fileBytes = 0;  // its files' sizes
  std::size_t records = 0;
};

struct ArchiveRoom {
  std::uintmax_t bytes = 0;      // the whole data folder, day folders and anything else in it
  std::uintmax_t fileBytes = 0;  // the sizes of the day folders' files, as the disk budget counts them
  std::vector<DayRoom> days;     // oldest first
};

ArchiveRoom measureRoom(const std::filesystem::path& dataFolder);

// The bytes a folder and everything in it take on the disk.
std::uintmax_t diskBytes(const std::filesystem::path& folder);
// The sizes of the plain files in a folder and below it, which the disk budget (maxArchiveGB) counts.
std::uintmax_t fileBytes(const std::filesystem::path& folder);

// The file system that holds a folder: what an unprivileged writer may still use (root's reserve is no room
// for the archive) and its whole size, in bytes; none when it cannot be asked.
struct DiskSpace {
  std::uint64_t available = 0;
  std::uint64_t total = 0;
};
std::optional<DiskSpace> diskSpace(const std::filesystem::path& folder);

// "340 kB", "850 MB", "1.2 GB": what a person reads (10^3, 10^6 and 10^9 bytes, as disks are sold).
std::string bytesForPeople(std::uintmax_t bytes);

}  // namespace tessaron::archive
