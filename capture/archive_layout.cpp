// Day folders, record names and the record text file.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "app/log.h"
#include "archive/private_files.h"
#include "capture/capture.h"

namespace tessaron {

namespace fs = std::filesystem;

std::string dayName(const platform::LocalDateTime& local) {
  return fmt::format("{:04}{:02}{:02}", local.year, local.month, local.day);
}

fs::path createDayFolder(const fs::path& parent, const std::string& name) {
  fs::path folder = parent / name;
  std::error_code ec;
  const auto status = fs::symlink_status(folder, ec);
  if (fs::is_directory(status)) {
    log::capturer().log("%s already exists", folder.string());
    return folder;
  }
  if (fs::exists(status)) {
    // A link would put the person's records wherever it points, out of reach of forgetting and of the
    // search; a file is no folder at all.
    static std::mutex mutex;
    static std::string refused;
    std::lock_guard lock(mutex);
    if (refused != folder.string())
      log::capturer().error("%s is a link or a file, not a day folder: no record is written through it",
                            folder.string());
    refused = folder.string();
    return fs::path("/");
  }
  if (!archive::createPrivateFolders(folder, ec)) {
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
  // Words with a digit in them (times, counters, prices that tick) are not news: a clock on the page would
  // otherwise bring the full text back on every record.
  const bool allHeld = !first && std::all_of(words.begin(), words.end(), [&](std::string_view word) {
    return std::any_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
           held->second.contains(hash(word));
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

bool writeRecordText(const fs::path& textPath, const std::string& address, const std::string& recordPath,
                     const std::string& stamp, const std::string& title, const std::string& pageText,
                     std::size_t wordLimit, std::string& error) {
  std::string content;
  for (const std::string* piece : {&address, &recordPath, &stamp, &title}) {
    content += *piece;
    content.push_back('\n');
  }
  const std::vector<std::string_view> words = splitWords(pageText);
  standardOutputLine(std::to_string(wordLimit));
  for (std::size_t i = 0; i < std::min(wordLimit, words.size()); ++i) {
    if (i) content.push_back(' ');
    content.append(words[i]);
  }
  if (!writeArchiveFile(textPath, content, error)) return false;
  // The record's names (the screenshot's and this one) survive a power cut only once the folder is flushed.
  syncFolder(textPath.parent_path());
  return true;
}

bool addRecordWords(const fs::path& textPath, std::string_view words, std::size_t wordLimit,
                    std::string& error) {
  std::string content;
  {
    const int fd = ::open(textPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      error = "The record \"" + textPath.filename().string() + "\" is gone: " + std::strerror(errno);
      return false;
    }
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
      content.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) {
      error = "The record \"" + textPath.filename().string() + "\" cannot be read: " + std::strerror(errno);
      return false;
    }
  }
  // The words follow the four lines of address, record path, stamp and title.
  std::size_t bodyStart = 0;
  for (int line = 0; line < 4; ++line) {
    const std::size_t end = content.find('\n', bodyStart);
    if (end == std::string::npos) {
      error = "The record \"" + textPath.filename().string() + "\" is not whole";
      return false;
    }
    bodyStart = end + 1;
  }
  const std::size_t held = splitWords(std::string_view(content).substr(bodyStart)).size();
  const std::vector<std::string_view> added = splitWords(words);
  const std::size_t room = wordLimit > held ? wordLimit - held : 0;
  if (room == 0 || added.empty()) return true;
  for (std::size_t i = 0; i < std::min(room, added.size()); ++i) {
    if (content.size() > bodyStart) content.push_back(' ');
    content.append(added[i]);
  }
  if (!writeArchiveFile(textPath, content, error, Replacing::anExistingFile)) return false;
  syncFolder(textPath.parent_path());
  return true;
}

bool writeArchiveFile(const fs::path& path, std::string_view bytes, std::string& error, Replacing replacing) {
  const fs::path partial = path.string() + std::string(partialSuffix);
  auto fail = [&](int code) {
    error = "The file \"" + path.filename().string() + "\" couldn't be saved: " + std::strerror(code);
    ::unlink(partial.c_str());
    return false;
  };
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno);
  // Written and flushed under the temporary name: what the name later points at is whole on the disk.
  if (!writeAll(fd, bytes) || ::fdatasync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return fail(code);
  }
  if (::close(fd) != 0) return fail(errno);
  if (replacing == Replacing::anExistingFile) {
    // The new version takes the place of the old in one step; a record forgotten meanwhile stays forgotten.
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return fail(errno);
    if (::rename(partial.c_str(), path.c_str()) != 0) return fail(errno);
    return true;
  }
  // The name is taken only if no other file holds it: a record never replaces another.
  if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return fail(errno);
  // A file system without that kind of rename: a hard link refuses an existing name just as well.
  if (::link(partial.c_str(), path.c_str()) != 0) return fail(errno);
  ::unlink(partial.c_str());
  return true;
}

void syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::optional<std::chrono::sys_days> dayOfFolder(std::string_view name) {
  if (name.size() != 8 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  auto number = [&](std::size_t at, std::size_t length) {
    int value = 0;
    std::from_chars(name.data() + at, name.data() + at + length, value);
    return value;
  };
  const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                         std::chrono::month(static_cast<unsigned>(number(4, 2))),
                                         std::chrono::day(static_cast<unsigned>(number(6, 2)))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date);
}

std::size_t removeInterruptedWrites(const fs::path& dataFolder) {
  std::size_t removed = 0;
  std::error_code ec;
  for (const auto& day : fs::directory_iterator(dataFolder, ec)) {
    std::error_code typeError;
    // Day folders only: any other folder is the person's, whatever its files are called.
    if (day.is_symlink(typeError) || !day.is_directory(typeError) ||
        !dayOfFolder(day.path().filename().string()))
      continue;
    for (const auto& entry : fs::directory_iterator(day.path(), typeError)) {
      const std::string name = entry.path().filename().string();
      // A screenshot is named before its text: one whose text never came is the first half of a record.
      if (entry.path().extension() == ".png" && recordStampTime(entry.path().stem().string())) {
        fs::path text = entry.path();
        text.replace_extension(".txt");
        if (!fs::exists(text, typeError) && !typeError && fs::remove(entry.path(), typeError)) ++removed;
        continue;
      }
      if (!name.ends_with(partialSuffix)) continue;
      // Only "<stem>.png.partial" and "<stem>.txt.partial" of a record's stem: a file of the person's own
      // that happens to end the same way is no leftover of ours.
      const fs::path written = name.substr(0, name.size() - partialSuffix.size());
      if ((written.extension() != ".png" && written.extension() != ".txt") ||
          !recordStampTime(written.stem().string()))
        continue;
      if (fs::remove(entry.path(), typeError)) ++removed;
    }
  }
  return removed;
}

}  // namespace tessaron
