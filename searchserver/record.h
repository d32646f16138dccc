// Reading the archive: one record per text file, named by its stamp, in a day folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaron::search {

struct Record {
  std::string address;     // line 1; may be empty
  std::string recordPath;  // line 2: "yyyyMMdd/<stem>"
  std::string stamp;       // line 3: "yyyy-MM-ddTHH:mm:ssZ"
  std::int64_t time = 0;   // the stamp in seconds since 1970 (UTC)
  std::string title;       // line 4
  std::string body;        // the rest, possibly several lines
  std::string site;        // the address's host, lower-cased, without "www."; empty when there is none
};

// Parses a record file's bytes (LF or CRLF line ends). None when the bytes are not a record: fewer than four
// complete lines (a half-written file), or a stamp that is not one. Invalid UTF-8 is replaced, byte by byte,
// with U+FFFD. A title longer than `maxTitleBytes` is cut there (at a character's end) and ends in "…".
std::optional<Record> parseRecord(std::string_view bytes);
inline constexpr std::size_t maxTitleBytes = 2048;

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

// Whether a path relative to the data folder names a record text file: "yyyyMMdd/<stamp>[-N].txt".
bool isRecordFile(const std::filesystem::path& relative);

// The host of an http(s) address, lower-cased and without a leading "www."; empty otherwise.
std::string siteOf(std::string_view address);

// Seconds since 1970 for "yyyy-MM-ddTHH:mm:ssZ", or none.
std::optional<std::int64_t> parseStamp(std::string_view stamp);

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view bytes);

}  // namespace tessaron::search
