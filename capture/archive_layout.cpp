// Day folders, record names and the record text file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
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

// The words of a page's text as a record counts them: runs between single spaces, empty ones skipped.
std::vector<std::string_view> splitWords(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    auto space = text.find(' ');
    std::string_view word = text.substr(0, space);
    if (!word.empty()) words.push_back(word);
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  return words;
}

// For each address archived in this run, the words its records hold (hashed). Bounded per address: past the
// bound a page is simply given its full text again, which loses nothing.
constexpr std::size_t heldWordsPerAddress = 100000;
std::mutex visitedMutex;
std::unordered_map<std::string, std::unordered_set<std::uint64_t>>& visitedURLs() {
  static auto* map = new std::unordered_map<std::string, std::unordered_set<std::uint64_t>>();
  return *map;
}

}  // namespace

RecordWords recordWords(const std::string& address, std::string_view pageText) {
  if (address.empty()) {
    standardOutputLine("URL is empty.");
    return {fullTextWordLimit, false};
  }
  std::vector<std::string_view> words = splitWords(pageText);
  if (words.size() > fullTextWordLimit) words.resize(fullTextWordLimit);
  std::lock_guard lock(visitedMutex);
  auto [held, first] = visitedURLs().try_emplace(address);
  const std::hash<std::string_view> hash;
  const bool allHeld = !first && std::all_of(words.begin(), words.end(), [&](std::string_view word) {
    return held->second.contains(hash(word));
  });
  if (allHeld) return {revisitWordLimit, true};
  for (std::string_view word : words) {
    if (held->second.size() >= heldWordsPerAddress) break;
    held->second.insert(hash(word));
  }
  return {fullTextWordLimit, false};
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
  const std::vector<std::string_view> words = splitWords(pageText);
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
