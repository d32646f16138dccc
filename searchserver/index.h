// The full-text index of the archive: SQLite with an external-content FTS5 table, kept in the user's cache
// folder and rebuildable from the archive at any time.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "searchserver/record.h"

namespace tessaron::search {

struct Query {
  std::string text;                  // what the user typed; never FTS syntax
  std::optional<std::int64_t> from;  // seconds since 1970, inclusive
  std::optional<std::int64_t> to;    // exclusive
  std::string site;                  // exact host, without "www."
  bool newestFirst = true;           // otherwise by relevance
  int offset = 0;
  int limit = 20;
};

struct Hit {
  std::string recordPath;                      // "yyyyMMdd/<stem>", the text file's place without ".txt"
  std::string address, title, stamp, snippet;  // snippet: matched words between \x01 and \x02
  std::int64_t time = 0;
};

// Counts stop here; a total above it reads "more than 10,000".
inline constexpr std::int64_t countLimit = 10000;
// Counts also stop once they have taken this long (a phrase of common words has to check the word positions
// of every candidate); the total is then a lower bound.
inline constexpr std::chrono::milliseconds countBudget{15};
// Ordering by relevance ranks the newest this many matches.
inline constexpr std::int64_t relevanceWindow = 2000;

struct Results {
  std::vector<Hit> hits;
  std::int64_t total = 0;          // at most countLimit + 1
  bool totalIsLowerBound = false;  // the count ran out of time: there are at least `total`
  // Whether more matches may follow the page that starts at `offset` with these hits.
  bool morePossible(std::int64_t offset, std::int64_t limit) const {
    const auto shown = offset + static_cast<std::int64_t>(hits.size());
    return shown < total || (totalIsLowerBound && static_cast<std::int64_t>(hits.size()) == limit);
  }
};

// User text as an FTS5 query: each word a quoted phrase (quotes doubled), "quoted phrases" kept together,
// all of them required. Empty when the text has no words.
std::string ftsQuery(std::string_view text);

class Index {
 public:
  // Opens (or creates) the index file; a file that is not a usable index is deleted and made anew.
  explicit Index(const std::filesystem::path& file);
  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Adds or replaces the record of a text file (relative path without ".txt", and the file's size).
  void put(const std::string& recordPath, std::int64_t fileSize, const Record& record);
  // The size the text file had when it was indexed, or none.
  std::optional<std::int64_t> indexedSize(const std::string& recordPath);
  // Sizes of every indexed record of one day folder.
  std::vector<std::pair<std::string, std::int64_t>> indexedSizes(const std::string& day);
  // The day folders that have records in the index.
  std::vector<std::string> indexedDays();
  // Forgets a record, or every record of a day folder (their files were deleted).
  void remove(const std::string& recordPath);
  void removeDay(const std::string& day);
  void begin();
  void commit();

  // Whether the index holds a whole first build of its archive.
  bool isComplete();
  // A first build runs without a journal and merges less as it goes, which makes it about twice as fast.
  // A build cut short (a crash, signal 9) leaves no completion mark, so the next open starts it afresh.
  void beginBulkLoad();
  // Marks the build complete and returns to the journaled, crash-safe way of writing.
  void endBulkLoad();
  // One bounded step of merging the index's segments, as a bulk load leaves more of them than searches like;
  // false once there is nothing left to merge.
  bool mergeStep();

  Results search(const Query& query);
  std::int64_t count();

 private:
  bool completeMark();

  sqlite3* db_ = nullptr;
  sqlite3_stmt *findStatement_ = nullptr, *updateStatement_ = nullptr, *lastStatement_ = nullptr,
               *insertStatement_ = nullptr;
  std::mutex mutex_;
};

}  // namespace tessaron::search
