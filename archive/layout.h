// Where the archive keeps its records: the data folder holds one folder per day, "yyyyMMdd"; a day folder
// holds each record as a screenshot "<stem>.png" and a text "<stem>.txt". A stem is the record's stamp,
// "yyyy-MM-ddTHH:mm:ssZ" (UTC, one-second resolution), with "-N" after it for a later record of the same
// second. A record's place is "<day>/<stem>", relative to the data folder. Only names that follow these rules
// are the archive's: anything else in the data folder is the person's own and is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaron::archive {

using Clock = std::chrono::system_clock;

// "yyyyMMdd".
std::string dayName(int year, unsigned month, unsigned day);
// The date a day folder's name stands for: eight digits that make a real date; none for any other name.
std::optional<std::chrono::sys_days> dayOfFolder(std::string_view name);
// The names of the data folder's day folders (real folders, never links), oldest first.
std::vector<std::string> dayFolders(const std::filesystem::path& dataFolder);

// "yyyy-MM-ddTHH:mm:ssZ" for a time (UTC, to the second), and back: seconds since 1970, or none.
std::string formatStamp(Clock::time_point time);
std::optional<std::int64_t> parseStamp(std::string_view stamp);

// A later record of the same second is "-2", "-3", ...: at most this many digits.
inline constexpr std::size_t maxStemNumberDigits = 6;
// The stem of the n-th record of a stamp (n = 1: the stamp itself).
std::string stemName(std::string_view stamp, int n);
// The time a stem names, or none for any other name.
std::optional<Clock::time_point> stemTime(std::string_view stem);
// "<day>/<stem>" split into its day and stem when both follow the rules; none otherwise (no "..", no slashes
// but the one, no other file).
std::optional<std::pair<std::string, std::string>> recordPlace(std::string_view place);
// Whether a path relative to the data folder names a record's text file: "<day>/<stem>.txt".
bool isRecordFile(const std::filesystem::path& relative);

// The two files of a record: "<stem>.png" and "<stem>.txt".
inline constexpr std::string_view screenshotExtension = ".png";
inline constexpr std::string_view textExtension = ".txt";

// A record's two files and its place.
struct RecordPaths {
  std::filesystem::path imagePath;
  std::filesystem::path textPath;
  std::string recordPath;  // "<day>/<stem>"
};
RecordPaths makeRecordPaths(const std::string& day, const std::filesystem::path& dayFolder,
                            const std::string& stem);
// The same, for the record of a day and stem in the data folder.
inline RecordPaths recordFiles(const std::filesystem::path& dataFolder, const std::string& day,
                               const std::string& stem) {
  return makeRecordPaths(day, dataFolder / day, stem);
}
// The paths of the first stem of `stamp` that neither file of the day folder holds yet: a record never
// overwrites or merges into another of the same second.
RecordPaths claimRecordPaths(const std::string& day, const std::filesystem::path& dayFolder,
                             const std::string& stamp);

}  // namespace tessaron::archive

namespace tessaron::archive {

// The search server's cache of one archive (its index and thumbnails) is named after the archive folder's
// path: "index-<16 hex digits>.sqlite", with "<same>.thumbnails" beside it.
std::string indexFileName(const std::filesystem::path& archiveFolder);
// $XDG_CACHE_HOME/tessaron, else ~/.cache/tessaron; none without either.
std::optional<std::filesystem::path> userCacheFolder();
// Removes the search server's cache of an archive from `cacheFolder` (index, its journals, thumbnails).
void removeIndexCache(const std::filesystem::path& cacheFolder, const std::filesystem::path& archiveFolder);

}  // namespace tessaron::archive
