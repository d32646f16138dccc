// The full-text index of the archive: SQLite with an external-content FTS5 table, kept in the user's cache
// folder and rebuildable from the archive at any time.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "searchserver/fts_words.h"
#include "searchserver/record.h"

namespace tessaron::search {

struct Query {
  std::string text;                  // what the user typed; never FTS syntax
  std::optional<std::int64_t> from;  // seconds since 1970, inclusive
  std::optional<std::int64_t> to;    // exclusive
  std::string site;                  // exact host, without "www."
  bool newestFirst = true;           // otherwise by relevance
  // One entry per address: its newest matching visit, with every matching visit listed (`visits`).
  bool groupByAddress = false;
  int offset = 0;
  int limit = 20;
};

// One visit of an address, as a grouped result lists it.
struct Visit {
  std::string recordPath;
  std::int64_t time = 0;
};

struct Hit {
  std::string recordPath;                      // "yyyyMMdd/<stem>", the text file's place without ".txt"
  std::string address, title, stamp, snippet;  // snippet: matched words between \x01 and \x02
  std::int64_t time = 0;
  std::vector<Visit> visits;  // grouped results: the address's matching visits, newest first
};

// Counts stop here; a total above it reads "more than 10,000".
inline constexpr std::int64_t countLimit = 10000;
// Counts also stop once they have taken this long (a phrase of common words has to check the word positions
// of every candidate); the total is then a lower bound.
inline constexpr std::chrono::milliseconds countBudget{15};
// Ordering by relevance ranks the newest this many matches; grouping by address groups as many.
inline constexpr std::int64_t relevanceWindow = 2000;

struct Results {
  std::vector<Hit> hits;
  bool timedOut = false;           // the search ran out of time: what it found so far, maybe not all
  std::int64_t total = 0;          // at most countLimit + 1
  bool totalIsLowerBound = false;  // the count ran out of time: there are at least `total`
  // Whether more matches may follow the page that starts at `offset` with these hits.
  bool morePossible(std::int64_t offset, std::int64_t limit) const {
    const auto shown = offset + static_cast<std::int64_t>(hits.size());
    return shown < total || (totalIsLowerBound && static_cast<std::int64_t>(hits.size()) == limit);
  }
};

// How long one search may run before it stops with what it has.
inline constexpr std::chrono::milliseconds searchBudget{750};

// A failure of the index's database, with SQLite's code, so that a damaged cache can be told from one that
// cannot be written.
struct IndexError : std::runtime_error {
  IndexError(int extendedCode, const std::string& what) : std::runtime_error(what), code(extendedCode) {}
  int code;
  bool damaged() const { return (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB; }
  bool unwritable() const {
    const int primary = code & 0xff;
    return primary == SQLITE_READONLY || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN ||
           primary == SQLITE_IOERR || primary == SQLITE_PERM;
  }
  bool interrupted() const { return (code & 0xff) == SQLITE_INTERRUPT; }
};

class Index {
 public:
  // Opens (or creates) the index file. A file that is not a usable index is made anew (a damaged one is kept
  // beside it as "<file>.damaged"); throws IndexError when the file cannot be written at all.
  // How words are split: in every script, with word forms and parts (words.h), or at spaces and punctuation
  // only, as SQLite's unicode61 does, which the benchmarks measure against.
  enum class Splitting { everyScript, spacesOnly };
  explicit Index(const std::filesystem::path& file, Splitting splitting = Splitting::everyScript);
  // When opening found the file damaged (and set it aside to start afresh): what was wrong.
  const std::optional<std::string>& damageFound() const { return damageFound_; }
  // Whether opening found an index whose words were split another way, and started afresh.
  bool outdatedFound() const { return outdatedFound_; }
  // Writes a copy of the whole index to another file (replacing it).
  void copyTo(const std::filesystem::path& destination);
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
  // One bounded step of rewriting the whole index as one segment. Deleting a record leaves its words in the
  // index's older segments (marked deleted) until they are rewritten, so forgetting is done only once these
  // steps are; false once there is nothing left to rewrite.
  bool purgeStep();
  // Copies the journal into the index file and empties it, so that no copy of a forgotten page is left there;
  // false while a search still reads from it.
  bool checkpoint();

  // Searches on a connection of its own, so searches run side by side and beside indexing; a search that
  // takes longer than `budget` stops and answers with what it found (timedOut).
  Results search(const Query& query, std::chrono::milliseconds budget = searchBudget);
  std::int64_t count();
  const std::filesystem::path& file() const { return file_; }

  // Reads for the timeline and the record view (no snippets), each within the search budget.
  // The records of a day folder ("yyyyMMdd") in time order, at most `limit`.
  std::vector<Hit> dayRecords(const std::string& day, std::size_t limit);
  // The record at a path ("yyyyMMdd/<stem>").
  std::optional<Hit> record(const std::string& recordPath);
  // The records just before and just after one, in time.
  std::pair<std::optional<Hit>, std::optional<Hit>> neighbours(const std::string& recordPath);
  // The nearest day folders before and after one that have records.
  std::pair<std::optional<std::string>, std::optional<std::string>> adjacentDays(const std::string& day);
  // Screenshot hashes (the DCT hash), made in the background and kept beside the text.
  struct Unhashed {
    std::int64_t id = 0;
    std::string recordPath;
  };
  // Records with an id between the two (exclusive) whose screenshot has no hash yet, newest first, at most
  // `limit`.
  std::vector<Unhashed> unhashed(std::int64_t aboveId, std::int64_t belowId, std::size_t limit);
  // Changes with every write of records (not of hashes).
  std::uint64_t generation() const { return generation_.load(); }
  // Keeps the hashes of several records (none: the screenshot could not be read, and is not tried again).
  void putImageHashes(const std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>>& hashes);
  // The records whose screenshots are near-duplicates of this record's (the hash's own threshold), closest
  // first, at most `limit`; none while this record's screenshot has no hash yet.
  std::optional<std::vector<Hit>> looksLike(const std::string& recordPath, std::size_t limit);
  // The newest visits of an address, newest first, at most `limit`.
  std::vector<Hit> visitsOf(const std::string& address, std::size_t limit);

 private:
  bool completeMark();
  bool madeWithOtherWords();
  struct Reader;
  std::unique_ptr<Reader> takeReader();
  void giveBack(std::unique_ptr<Reader> reader);
  void searchWith(sqlite3* db, const Query& query, Results& results);
  // `fullMatch`: the words and site as one FTS query (empty for neither); `hasWords`: whether it has words.
  void groupedSearchWith(sqlite3* db, const Query& query, const std::string& fullMatch, bool hasWords,
                         const std::string& range, Results& results);
  template <class Work>
  auto withReader(Work&& work) -> decltype(work(static_cast<sqlite3*>(nullptr)));
  // Counts of recent queries, good while the index has not changed since (paging through a common word's
  // results counts it once).
  bool cachedCount(const std::string& key, Results& results);
  void keepCount(const std::string& key, std::uint64_t generation, const Results& results);
  struct CachedCount {
    std::uint64_t generation = 0;
    std::int64_t total = 0;
    bool lowerBound = false;
  };
  std::atomic<std::uint64_t> generation_{0};  // changes with every write
  std::mutex countsMutex_;
  std::unordered_map<std::string, CachedCount> counts_;

  std::filesystem::path file_;
  std::optional<std::string> damageFound_;
  bool outdatedFound_ = false;
  Splitting splitting_;
  std::string splittingVersion() const;
  // The languages of the records' stems, for the queries: a word is looked up as a stem in each.
  std::vector<const words::Language*> languages() const;
  void noteLanguage(const words::Language* language);
  mutable std::mutex languagesMutex_;
  std::vector<const words::Language*> languages_;
  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Reader>> idleReaders_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt *findStatement_ = nullptr, *updateStatement_ = nullptr, *lastStatement_ = nullptr,
               *insertStatement_ = nullptr, *readWordsStatement_ = nullptr, *writeWordsStatement_ = nullptr;
  sqlite3_stmt* prepared(sqlite3_stmt*& slot, const char* sql);
  void writeRecord(const std::string& recordPath, std::int64_t fileSize, const Record& record);
  // Records of the open transaction whose words are not in the full-text index yet: they go in at commit.
  std::vector<std::int64_t> pendingWords_;
  void writePendingWords();
  // Writes the waiting words and commits; on failure nothing of the transaction is kept.
  void commitWithWords();
  void rollBack();
  std::mutex mutex_;
};

}  // namespace tessaron::search
