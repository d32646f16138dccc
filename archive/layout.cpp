#include "archive/layout.h"

#include "base/xdg.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include <fmt/format.h>

namespace tessaron::archive {

namespace fs = std::filesystem;

namespace {

bool allDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The number of `length` digits at `at`, or -1.
int number(std::string_view text, std::size_t at, std::size_t length) {
  int value = 0;
  const char* begin = text.data() + at;
  auto [end, error] = std::from_chars(begin, begin + length, value);
  return error == std::errc() && end == begin + length && allDigits(text.substr(at, length)) ? value : -1;
}

}  // namespace

std::string dayName(int year, unsigned month, unsigned day) {
  return fmt::format("{:04}{:02}{:02}", year, month, day);
}

std::optional<std::chrono::sys_days> dayOfFolder(std::string_view name) {
  if (name.size() != 8 || !allDigits(name)) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(number(name, 0, 4)),
                                         std::chrono::month(static_cast<unsigned>(number(name, 4, 2))),
                                         std::chrono::day(static_cast<unsigned>(number(name, 6, 2)))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date);
}

std::vector<std::string> dayFolders(const fs::path& dataFolder) {
  std::vector<std::string> days;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dataFolder, ec)) {
    const std::string name = entry.path().filename().string();
    std::error_code typeError;
    if (dayOfFolder(name) && !entry.is_symlink(typeError) && entry.is_directory(typeError))
      days.push_back(name);
  }
  std::sort(days.begin(), days.end());
  return days;
}

std::string formatStamp(Clock::time_point time) {
  using namespace std::chrono;
  const auto secondsSince = floor<seconds>(time);
  const auto day = floor<days>(secondsSince);
  const year_month_day date{day};
  const hh_mm_ss clock{secondsSince - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     clock.hours().count(), clock.minutes().count(), clock.seconds().count());
}

std::optional<std::int64_t> parseStamp(std::string_view s) {
  if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
      s[19] != 'Z')
    return std::nullopt;
  const int y = number(s, 0, 4), mo = number(s, 5, 2), d = number(s, 8, 2), h = number(s, 11, 2),
            mi = number(s, 14, 2), sec = number(s, 17, 2);
  if (y < 0 || mo < 1 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 60)
    return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!date.ok()) return std::nullopt;
  return (sys_days{date}.time_since_epoch() + hours{h} + minutes{mi} + seconds{sec}) / seconds{1};
}

std::string stemName(std::string_view stamp, int n) {
  return n <= 1 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n);
}

std::optional<Clock::time_point> stemTime(std::string_view stem) {
  if (stem.size() > 20) {
    const std::string_view suffix = stem.substr(20);
    if (suffix.size() < 2 || suffix.size() > 1 + maxStemNumberDigits || suffix[0] != '-' ||
        !allDigits(suffix.substr(1)))
      return std::nullopt;
  }
  const auto seconds = parseStamp(stem.substr(0, 20));
  if (!seconds) return std::nullopt;
  return Clock::time_point(std::chrono::seconds(*seconds));
}

std::optional<std::pair<std::string, std::string>> recordPlace(std::string_view place) {
  const auto slash = place.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view day = place.substr(0, slash), stem = place.substr(slash + 1);
  if (!dayOfFolder(day) || !stemTime(stem)) return std::nullopt;
  return std::pair{std::string(day), std::string(stem)};
}

bool isRecordFile(const fs::path& relative) {
  const std::string text = relative.string();
  return text.ends_with(".txt") && recordPlace(std::string_view(text).substr(0, text.size() - 4)).has_value();
}

RecordPaths makeRecordPaths(const std::string& day, const fs::path& dayFolder, const std::string& stem) {
  return {dayFolder / (stem + std::string(screenshotExtension)),
          dayFolder / (stem + std::string(textExtension)), day + "/" + stem};
}

RecordPaths claimRecordPaths(const std::string& day, const fs::path& dayFolder, const std::string& stamp) {
  // Stamps have one-second resolution: two windows archived in the same second would share a name, the
  // second image replacing the first and its text running on into the first's file. A later record of the
  // second gets the next free "-N" stem instead; its text line 3 still carries the plain stamp.
  for (int n = 1;; ++n) {
    RecordPaths paths = makeRecordPaths(day, dayFolder, stemName(stamp, n));
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(paths.imagePath, ec)) &&
        !fs::exists(fs::symlink_status(paths.textPath, ec)))
      return paths;
  }
}

}  // namespace tessaron::archive

namespace tessaron::archive {

std::string indexFileName(const std::filesystem::path& archiveFolder) {
  // FNV-1a: a name, not a secret; it only has to differ between folders.
  std::uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : archiveFolder.string())
    hash = (hash ^ c) * 1099511628211ULL;
  return fmt::format("index-{:016x}.sqlite", hash);
}

std::optional<std::filesystem::path> userCacheFolder() {
  if (auto cache = xdg::cacheHome()) return *cache / "tessaron";
  return std::nullopt;
}

void removeIndexCache(const std::filesystem::path& cacheFolder, const std::filesystem::path& archiveFolder) {
  const std::filesystem::path index = cacheFolder / indexFileName(archiveFolder);
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    std::filesystem::remove(index.string() + suffix, ec);
  std::filesystem::remove_all(std::filesystem::path(index).replace_extension(".thumbnails"), ec);
}

}  // namespace tessaron::archive
