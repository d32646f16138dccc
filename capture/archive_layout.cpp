// Day folders, record names and the record text file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include <fmt/format.h>

#include "app/log.h"
#include "capture/capture.h"

namespace tessaron {

namespace fs = std::filesystem;

std::string dayName(const platform::LocalDateTime& local) {
  return fmt::format("{:04}{:02}{:02}", local.year, local.month, local.day);
}

fs::path createDayFolder(const fs::path& parent, const std::string& name) {
  fs::path folder = parent / name;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(folder, ec))) {
    log::capturer().log("%s already exists", folder.string());
    return folder;
  }
  fs::create_directories(folder, ec);
  if (ec) {
    log::capturer().error("Error creating directory: %s", ec.message());
    return fs::path("/");
  }
  log::capturer().log("Successfully created directory %s", folder.string());
  return folder;
}

RecordPaths makeRecordPaths(const std::string& day, const fs::path& dayFolder, const std::string& stamp) {
  return {dayFolder / (stamp + ".png"), dayFolder / (stamp + ".txt"), day + "/" + stamp};
}

RecordPaths claimRecordPaths(const std::string& day, const fs::path& dayFolder, const std::string& stamp) {
  // Stamps have one-second resolution: two windows archived in the same second would share a name, the
  // second image replacing the first and its text running on into the first's file. A later record of the
  // second gets the next free "-N" stem instead; its text line 3 still carries the plain stamp.
  for (int n = 1;; ++n) {
    std::string stem = n == 1 ? stamp : stamp + "-" + std::to_string(n);
    RecordPaths paths = makeRecordPaths(day, dayFolder, stem);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(paths.imagePath, ec)) &&
        !fs::exists(fs::symlink_status(paths.textPath, ec)))
      return paths;
  }
}

std::string formatTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  auto seconds = floor<std::chrono::seconds>(time);
  auto day = floor<days>(seconds);
  year_month_day date{day};
  hh_mm_ss clock{seconds - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     clock.hours().count(), clock.minutes().count(), clock.seconds().count());
}

std::string captureTimestamp() {
  return formatTimestamp(platform::current().clock().now());
}

namespace {
std::mutex visitedMutex;
std::unordered_set<std::string>& visitedURLs() {
  static auto* set = new std::unordered_set<std::string>();
  return *set;
}
}  // namespace

bool isVisited(const std::string& address) {
  if (address.empty()) {
    standardOutputLine("URL is empty.");
    return false;
  }
  std::lock_guard lock(visitedMutex);
  return !visitedURLs().insert(address).second;
}

void forgetVisitedURL(const std::string& address) {
  std::lock_guard lock(visitedMutex);
  visitedURLs().erase(address);
}

void clearVisitedURLsForTests() {
  std::lock_guard lock(visitedMutex);
  visitedURLs().clear();
}

namespace {
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}
}  // namespace

void writeRecordText(const fs::path& textPath, const std::string& address, const std::string& recordPath,
                     const std::string& stamp, const std::string& title, const std::string& pageText,
                     std::size_t wordLimit) {
  // Appending only: the archive is never truncated, and O_APPEND puts every write at the end whatever else
  // writes the file.
  int fd = ::open(textPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (const std::string* piece : {&address, &recordPath, &stamp, &title}) {
    std::string line = *piece;
    line.push_back('\n');
    writeAll(fd, line);
  }
  std::vector<std::string_view> words;
  std::string_view rest = pageText;
  while (!rest.empty()) {
    auto space = rest.find(' ');
    std::string_view word = rest.substr(0, space);
    if (!word.empty()) words.push_back(word);
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  standardOutputLine(std::to_string(wordLimit));
  std::string body;
  for (std::size_t i = 0; i < std::min(wordLimit, words.size()); ++i) {
    if (i) body.push_back(' ');
    body.append(words[i]);
  }
  writeAll(fd, body);
  ::close(fd);
}

}  // namespace tessaron
