// Reading the archive: one record per text file, named by its stamp, in a day folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "archive/layout.h"
#include "archive/record_file.h"

namespace tessaron::search {

// The record format is the archive library's; the server's code names it as its own.
using archive::maxTitleBytes;
using archive::parseRecord;
using archive::Record;

// What the server reads of a file in the archive at most. A text record holds ten thousand words at most,
// so more than `maxTextBytes` is no record of ours; no screen gives a screenshot file of
// `maxScreenshotBytes`.
inline constexpr std::uintmax_t maxTextBytes = 4u << 20;
inline constexpr std::uintmax_t maxScreenshotBytes = 128u << 20;

// A file of the archive opened for reading, closed when it goes.
class ArchiveFile {
 public:
  // Opens `file` only if it is a plain file (not a link, pipe or device, which could block or never end) of
  // at most `maxBytes`; otherwise the object is empty and `problem()` says why.
  ArchiveFile(const std::filesystem::path& file, std::uintmax_t maxBytes);
  ~ArchiveFile();
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;

  explicit operator bool() const { return fd_ >= 0; }
  int descriptor() const { return fd_; }
  std::uintmax_t size() const { return size_; }
  const std::string& problem() const { return problem_; }
  // Hands the open descriptor over; the object is empty after.
  int release() { return std::exchange(fd_, -1); }
  // Reads it whole (up to `limit` bytes) into a string or a byte vector; none on a read error.
  template <class Bytes = std::string>
  std::optional<Bytes> read(std::uintmax_t limit) {
    if (fd_ < 0) return std::nullopt;
    Bytes bytes(static_cast<std::size_t>(std::min(size_, limit)), 0);
    const auto got = readInto(reinterpret_cast<char*>(bytes.data()), bytes.size());
    if (!got) return std::nullopt;
    bytes.resize(*got);
    return bytes;
  }

 private:
  // How many bytes it read (fewer when the file shrank meanwhile), or none on an error.
  std::optional<std::size_t> readInto(char* into, std::size_t size);

  int fd_ = -1;
  std::uintmax_t size_ = 0;
  std::string problem_;
};

// Says once in the log (standard error) that a file of the archive was passed over, and why.
void noteSkipped(const std::filesystem::path& file, const std::string& why);

// A text record's first `maxTextBytes` (a longer file is read only that far), or none when it is no plain
// file.
std::optional<std::string> readTextRecord(const std::filesystem::path& file);

using archive::isRecordFile;
using archive::parseStamp;
using archive::validUtf8;

}  // namespace tessaron::search
