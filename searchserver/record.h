// Reading the archive: one record per text file, named by its stamp, in a day folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

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
// with U+FFFD.
std::optional<Record> parseRecord(std::string_view bytes);

// Whether a path relative to the data folder names a record text file: "yyyyMMdd/<stamp>[-N].txt".
bool isRecordFile(const std::filesystem::path& relative);

// The host of an http(s) address, lower-cased and without a leading "www."; empty otherwise.
std::string siteOf(std::string_view address);

// Seconds since 1970 for "yyyy-MM-ddTHH:mm:ssZ", or none.
std::optional<std::int64_t> parseStamp(std::string_view stamp);

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view bytes);

}  // namespace tessaron::search
