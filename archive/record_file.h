// A record's text file: the page's address, the record's place, its stamp and the page's title, a line each,
// then the page's words, separated by single spaces. Files of the archive are written whole or not at all.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::archive {

// The words of a text as a record counts them: runs between single spaces, empty ones skipped.
std::vector<std::string_view> splitWords(std::string_view text);

// A record text's bytes: the four lines, then at most `wordLimit` words of `pageText`.
std::string recordText(std::string_view address, std::string_view recordPath, std::string_view stamp,
                       std::string_view title, std::string_view pageText, std::size_t wordLimit = SIZE_MAX);

struct Record {
  std::string address;     // line 1; may be empty
  std::string recordPath;  // line 2: "<day>/<stem>"
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

// The address on a record text's first line (read alone, however long the rest), or nothing.
std::string recordAddress(const std::filesystem::path& textFile);

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view bytes);

// A file being written carries this after its name until it is whole.
inline constexpr std::string_view partialSuffix = ".partial";
// Writes a file of the archive whole or not at all: the bytes go to the name with partialSuffix, are flushed
// to the disk, and the file then takes its name, which no other file may hold (or, replacing, takes the place
// of the file of that name in one step). The reason when a step fails, and nothing is left behind then; none
// when written.
enum class Replacing { never, anExistingFile };
std::optional<std::string> writeArchiveFile(const std::filesystem::path& path, std::string_view bytes,
                                            Replacing replacing = Replacing::never);
// Flushes a folder's entries (names just given) to the disk.
void syncFolder(const std::filesystem::path& folder);

// Writes one record's text (recordText's bytes): it appears whole or not at all, never over another, and is
// on the disk with its name when this returns none; the reason otherwise.
std::optional<std::string> writeRecordText(const std::filesystem::path& textPath, std::string_view address,
                                           std::string_view recordPath, std::string_view stamp,
                                           std::string_view title, std::string_view pageText,
                                           std::size_t wordLimit);
// Adds words to a record's text, within `wordLimit` words in all, after the words it holds: the completed
// text is written whole beside it and takes its place in one step, so a reader sees the old text or the new
// one, never a part. The reason when the record is gone (forgotten meanwhile: it is not made again) or
// cannot be written; none when the words are added (or there was no room for them).
std::optional<std::string> addRecordWords(const std::filesystem::path& textPath, std::string_view words,
                                          std::size_t wordLimit);
// Removes what interrupted writes left in the day folders (only files named as a record's file being
// written, and screenshots of a record's name without their text); returns how many. Only while nothing
// writes, and never in a folder that is not a day folder.
std::size_t removeInterruptedWrites(const std::filesystem::path& dataFolder);

}  // namespace tessaron::archive
