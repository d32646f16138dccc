#include "searchserver/record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>

#include "base/once.h"

namespace tessaron::search {

ArchiveFile::ArchiveFile(const std::filesystem::path& file, std::uintmax_t maxBytes) {
  // Opened without following a link and without blocking (a pipe would wait for a writer forever), then
  // looked at: what the name showed before opening may have been swapped since.
  fd_ = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    problem_ = std::strerror(errno);
    // A record forgotten between listing and reading is no news; a link in its place is.
    if (errno != ENOENT) noteSkipped(file, problem_);
    return;
  }
  struct stat status {};
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))
    problem_ = "not a plain file";
  else if (static_cast<std::uintmax_t>(status.st_size) > maxBytes)
    problem_ =
        std::to_string(status.st_size) + " bytes, more than any of ours (" + std::to_string(maxBytes) + ")";
  if (!problem_.empty()) {
    ::close(fd_);
    fd_ = -1;
    noteSkipped(file, problem_);
    return;
  }
  size_ = static_cast<std::uintmax_t>(status.st_size);
}

ArchiveFile::~ArchiveFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::size_t> ArchiveFile::readInto(char* into, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd_, into + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;  // it shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  return got;
}

void noteSkipped(const std::filesystem::path& file, const std::string& why) {
  static log::Once<> said;
  if (said.first(file.string())) std::fprintf(stderr, "server: skipped %s: %s\n", file.c_str(), why.c_str());
}

std::optional<std::string> readTextRecord(const std::filesystem::path& file) {
  ArchiveFile opened(file, std::numeric_limits<std::uintmax_t>::max());
  return opened.read(maxTextBytes);
}

}  // namespace tessaron::search
