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

namespace tessaron::search {

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t length = c < 0x80                   ? 1
                         : (c >= 0xC2 && c <= 0xDF) ? 2
                         : (c >= 0xE0 && c <= 0xEF) ? 3
                         : (c >= 0xF0 && c <= 0xF4) ? 4
                                                    : 0;
    bool ok = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; ok && k < length; ++k)
      ok = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
    if (ok && length == 3) {
      const auto second = static_cast<unsigned char>(bytes[i + 1]);
      ok = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0);  // overlong or a surrogate
    }
    if (ok && length == 4) {
      const auto second = static_cast<unsigned char>(bytes[i + 1]);
      ok = !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second >= 0x90);
    }
    if (ok) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::optional<std::int64_t> parseStamp(std::string_view s) {
  if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
      s[19] != 'Z')
    return std::nullopt;
  auto number = [&](std::size_t at, std::size_t length) -> int {
    int value = 0;
    for (std::size_t k = at; k < at + length; ++k) {
      if (!std::isdigit(static_cast<unsigned char>(s[k]))) return -1;
      value = value * 10 + (s[k] - '0');
    }
    return value;
  };
  const int y = number(0, 4), mo = number(5, 2), d = number(8, 2), h = number(11, 2), mi = number(14, 2),
            sec = number(17, 2);
  if (y < 0 || mo < 1 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 60)
    return std::nullopt;
  using namespace std::chrono;
  year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!date.ok()) return std::nullopt;
  return (sys_days{date}.time_since_epoch() + hours{h} + minutes{mi} + seconds{sec}) / seconds{1};
}

std::string siteOf(std::string_view address) {
  std::size_t start;
  if (address.starts_with("https://"))
    start = 8;
  else if (address.starts_with("http://"))
    start = 7;
  else
    return {};
  std::string_view rest = address.substr(start);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.starts_with('[')) rest = rest.substr(0, rest.find(':'));
  std::string host(rest);
  for (char& ch : host)
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (host.starts_with("www.")) host.erase(0, 4);
  return host;
}

bool isRecordFile(const std::filesystem::path& relative) {
  auto it = relative.begin();
  if (it == relative.end()) return false;
  const std::string day = it->string();
  if (day.size() != 8 || !std::all_of(day.begin(), day.end(),
                                      [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return false;
  if (++it == relative.end()) return false;
  const std::string name = it->string();
  if (++it != relative.end() || !name.ends_with(".txt") || name.size() < 24) return false;
  if (!parseStamp(name.substr(0, 20))) return false;
  const std::string_view suffix = std::string_view(name).substr(20, name.size() - 24);
  if (suffix.empty()) return true;
  return suffix.size() >= 2 && suffix[0] == '-' && std::all_of(suffix.begin() + 1, suffix.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c));
         });
}

std::optional<Record> parseRecord(std::string_view bytes) {
  std::string_view lines[4];
  std::size_t at = 0;
  for (auto& line : lines) {
    const std::size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) return std::nullopt;  // still being written
    line = bytes.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);  // a record saved with CRLF line ends reads the same
    at = end + 1;
  }
  auto time = parseStamp(lines[2]);
  if (!time) return std::nullopt;
  Record record;
  record.address = validUtf8(lines[0]);
  record.recordPath = validUtf8(lines[1]);
  record.stamp = std::string(lines[2]);
  record.time = *time;
  record.title = validUtf8(lines[3]);
  if (record.title.size() > maxTitleBytes) {
    std::size_t end = maxTitleBytes;
    while (end > 0 && (static_cast<unsigned char>(record.title[end]) & 0xC0) == 0x80)
      --end;
    record.title.resize(end);
    record.title += "\u2026";
  }
  record.body = validUtf8(bytes.substr(at));
  record.site = siteOf(record.address);
  return record;
}

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
  static std::mutex mutex;
  static std::set<std::string> said;
  std::lock_guard lock(mutex);
  if (said.insert(file.string()).second)
    std::fprintf(stderr, "server: skipped %s: %s\n", file.c_str(), why.c_str());
}

std::optional<std::string> readTextRecord(const std::filesystem::path& file) {
  ArchiveFile opened(file, std::numeric_limits<std::uintmax_t>::max());
  return opened.read(maxTextBytes);
}

}  // namespace tessaron::search
