// Taking records out of the archive: both files of each (and what a write cut short left of them), then the
// day folder when nothing else is left in it. Shared by tessaron (its Forget, its disk budget) and the search
// server (what a person forgets from its pages), so that both take out exactly the same files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tessaron::archive {

// A record's files in its day folder: the screenshot, the text, and any of them left half-written.
struct StoredRecord {
  std::string stem;
  std::vector<std::filesystem::path> files;
  // The text file, if the record has one (a half-written record may not).
  std::filesystem::path textFile() const;
};

// The records of a day folder by stem: only plain files named as records are counted; whatever else is there
// (a stray file, a folder, a link) is not a record.
std::vector<StoredRecord> storedRecords(const std::filesystem::path& dayFolder);

struct DeletedRecords {
  std::size_t records = 0;
  std::uintmax_t bytes = 0;
  std::vector<std::string> addresses;  // of the deleted text files that named one
};

// Deletes the records of a day folder that `select` picks, and the folder itself when that leaves it empty.
using RecordChoice = std::function<bool(const StoredRecord&)>;
DeletedRecords deleteRecords(const std::filesystem::path& dayFolder, const RecordChoice& select);

}  // namespace tessaron::archive
