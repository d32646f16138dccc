#include "searchserver/index.h"

#include "imagehash/os_image_hashing.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace tessaron::search {

namespace {

constexpr const char* schema = R"(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=NORMAL;
PRAGMA cache_size=-32768;
PRAGMA secure_delete=ON;
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS records(
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  file_size INTEGER NOT NULL,
  address TEXT NOT NULL,
  title TEXT NOT NULL,
  stamp TEXT NOT NULL,
  body TEXT NOT NULL,
  time INTEGER NOT NULL,
  site TEXT NOT NULL,
  lang TEXT NOT NULL DEFAULT '');
DROP INDEX IF EXISTS records_time;
DROP INDEX IF EXISTS records_site_time;
CREATE INDEX IF NOT EXISTS records_address ON records(address);
CREATE TABLE IF NOT EXISTS image_hashes(id INTEGER PRIMARY KEY, hash INTEGER);
CREATE TRIGGER IF NOT EXISTS image_hashes_delete AFTER DELETE ON records BEGIN
  DELETE FROM image_hashes WHERE id = old.id;
END;
CREATE TABLE IF NOT EXISTS languages(code TEXT PRIMARY KEY);
CREATE VIRTUAL TABLE IF NOT EXISTS records_fts USING fts5(
  title, body, address, site, content='records', content_rowid='id', tokenize='$tokenizer');
DROP TRIGGER IF EXISTS records_insert;
CREATE TRIGGER IF NOT EXISTS records_delete AFTER DELETE ON records BEGIN
  INSERT INTO records_fts(records_fts, rowid, title, body, address, site)
    VALUES ('delete', old.id, tagged_text(old.lang, old.title), tagged_text(old.lang, old.body), old.address,
            old.site);
END;
CREATE TRIGGER IF NOT EXISTS records_update AFTER UPDATE ON records BEGIN
  INSERT INTO records_fts(records_fts, rowid, title, body, address, site)
    VALUES ('delete', old.id, tagged_text(old.lang, old.title), tagged_text(old.lang, old.body), old.address,
            old.site);
  INSERT INTO records_fts(rowid, title, body, address, site)
    VALUES (new.id, tagged_text(new.lang, new.title), tagged_text(new.lang, new.body), new.address, new.site);
END;
)";

[[noreturn]] void fail(sqlite3* db) {
  throw IndexError(sqlite3_extended_errcode(db), std::string("index: ") + sqlite3_errmsg(db));
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) fail(db);
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement& bind(int at, const std::string& text) {
    sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int at, std::int64_t value) {
    sqlite3_bind_int64(statement_, at, value);
    return *this;
  }
  bool step() {
    int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(sqlite3_db_handle(statement_));
  }
  std::string text(int column) const {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
             : std::string();
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  sqlite3_stmt* raw() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

void execute(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db);
}

}  // namespace

Index::Index(const std::filesystem::path& file, Splitting splitting) : file_(file), splitting_(splitting) {
  // Before SQLite starts: without memory statistics, every allocation of every connection no longer takes one
  // process-wide lock, which searches running side by side contended for (measured under load).
  static std::once_flag configured;
  std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<IndexError> failure;
    const int opened = sqlite3_open(file.c_str(), &db_);
    if (opened == SQLITE_OK) {
      try {
        sqlite3_busy_timeout(db_, 5000);
        registerWordTokenizer(db_);
        if (madeWithOtherWords()) {
          outdatedFound_ = true;
          throw IndexError(SQLITE_OK, "index: made with another way of splitting words");
        }
        std::string tables = schema;
        tables.replace(
            tables.find("$tokenizer"), std::string_view("$tokenizer").size(),
            splitting_ == Splitting::everyScript ? wordTokenizer : "unicode61 remove_diacritics 2");
        execute(db_, tables.c_str());
        execute(db_, ("INSERT OR REPLACE INTO meta(key, value) VALUES('words', '" + splittingVersion() + "')")
                         .c_str());
        {
          Statement known(db_, "SELECT code FROM languages");
          while (known.step())
            if (const auto* language = words::languageOfCode(known.text(0))) languages_.push_back(language);
        }
        execute(db_, "SELECT count(*) FROM records_fts WHERE records_fts MATCH 'x'");
        // Records without the completion mark are what is left of a bulk load that was cut short.
        if (Statement started(db_, "SELECT 1 FROM records LIMIT 1"); started.step() && !completeMark())
          throw IndexError(SQLITE_OK, "index: an unfinished first build");
        return;
      } catch (const IndexError& error) {
        failure = error;
      }
    } else {
      failure = IndexError(sqlite3_extended_errcode(db_), "index: " + std::string(sqlite3_errstr(opened)));
    }
    sqlite3_close(db_);
    db_ = nullptr;
    // A cache that cannot be written is its keeper's to handle; the file may be fine.
    if (failure->unwritable()) throw *failure;
    // Not a usable index (damaged, of another kind, or a build cut short): the archive rebuilds it. A damaged
    // one is kept beside it for a look.
    if (failure->damaged()) {
      std::filesystem::rename(file, file.string() + ".damaged", ec);
      damageFound_ = failure->what();
    }
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove(file.string() + suffix, ec);
  }
  throw IndexError(SQLITE_CANTOPEN, "index: cannot create " + file.string());
}

void Index::copyTo(const std::filesystem::path& destination) {
  std::lock_guard lock(mutex_);
  writePendingWords();
  sqlite3* copy = nullptr;
  const int opened = sqlite3_open(destination.c_str(), &copy);
  sqlite3_backup* backup = opened == SQLITE_OK ? sqlite3_backup_init(copy, "main", db_, "main") : nullptr;
  if (backup) {
    sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
  }
  const int result = sqlite3_errcode(copy);
  if (!backup || result != SQLITE_OK) {
    const IndexError error(sqlite3_extended_errcode(copy),
                           std::string("index: copy failed: ") + sqlite3_errmsg(copy));
    sqlite3_close(copy);
    throw error;
  }
  sqlite3_close(copy);
}

// A read-only connection of the search pool, with the deadline its progress handler enforces.
struct Index::Reader {
  sqlite3* db = nullptr;
  std::chrono::steady_clock::time_point deadline;
  ~Reader() { sqlite3_close(db); }
};

std::unique_ptr<Index::Reader> Index::takeReader() {
  {
    std::lock_guard lock(readersMutex_);
    if (!idleReaders_.empty()) {
      auto reader = std::move(idleReaders_.back());
      idleReaders_.pop_back();
      return reader;
    }
  }
  auto reader = std::make_unique<Reader>();
  if (sqlite3_open_v2(file_.c_str(), &reader->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK)
    fail(reader->db);
  registerWordTokenizer(reader->db);
  sqlite3_busy_timeout(reader->db, static_cast<int>(searchBudget.count()));
  sqlite3_exec(reader->db, "PRAGMA cache_size=-16384", nullptr, nullptr, nullptr);
  // The DCT hash's own distance, for "looks like this".
  sqlite3_create_function(
      reader->db, "image_distance", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
      [](sqlite3_context* context, int, sqlite3_value** values) {
        sqlite3_result_int64(context, OSPHash::sharedInstance().hashDistance(sqlite3_value_int64(values[0]),
                                                                             sqlite3_value_int64(values[1])));
      },
      nullptr, nullptr);
  sqlite3_progress_handler(
      reader->db, 1000,
      [](void* self) {
        return std::chrono::steady_clock::now() > static_cast<Reader*>(self)->deadline ? 1 : 0;
      },
      reader.get());
  return reader;
}

void Index::giveBack(std::unique_ptr<Reader> reader) {
  std::lock_guard lock(readersMutex_);
  // A few idle connections serve the usual load; a burst's extra ones close.
  if (idleReaders_.size() < 4) idleReaders_.push_back(std::move(reader));
}

Index::~Index() {
  idleReaders_.clear();
  // The connection closes only once every statement is finalized; the cached ones are this object's.
  for (sqlite3_stmt* statement : {findStatement_, updateStatement_, lastStatement_, insertStatement_,
                                  readWordsStatement_, writeWordsStatement_})
    sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool Index::madeWithOtherWords() {
  Statement tables(db_, "SELECT count(*) FROM sqlite_master WHERE name IN ('records', 'meta')");
  if (!tables.step() || tables.integer(0) == 0) return false;  // a new file
  if (tables.integer(0) < 2) return true;
  Statement version(db_, "SELECT value FROM meta WHERE key = 'words'");
  return !version.step() || version.text(0) != splittingVersion();
}

std::string Index::splittingVersion() const {
  return splitting_ == Splitting::everyScript ? wordTokenizerVersion : "spaces";
}

std::vector<const words::Language*> Index::languages() const {
  std::lock_guard lock(languagesMutex_);
  return languages_;
}

void Index::noteLanguage(const words::Language* language) {
  {
    std::lock_guard lock(languagesMutex_);
    if (!language || std::find(languages_.begin(), languages_.end(), language) != languages_.end()) return;
    languages_.push_back(language);
  }
  Statement note(db_, "INSERT OR IGNORE INTO languages(code) VALUES(?)");
  note.bind(1, std::string(language->code));
  note.step();
}

bool Index::completeMark() {
  Statement mark(db_, "SELECT 1 FROM meta WHERE key = 'complete'");
  return mark.step();
}

bool Index::isComplete() {
  std::lock_guard lock(mutex_);
  return completeMark();
}

void Index::beginBulkLoad() {
  std::lock_guard lock(mutex_);
  // Fewer merges while the segments pile up. FTS5's memory for words not yet written stays at its usual 1 MB:
  // with each transaction's words written in one go, a larger one (16 MB was tried) is mostly missed in the
  // processor's cache at every word, and indexing went slower.
  execute(db_,
          "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
          "INSERT INTO records_fts(records_fts, rank) VALUES('automerge', 8);");
}

void Index::endBulkLoad() {
  std::lock_guard lock(mutex_);
  execute(db_,
          "INSERT OR REPLACE INTO meta(key, value) VALUES('complete', '1');"
          "INSERT INTO records_fts(records_fts, rank) VALUES('automerge', 4);"
          "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
}

bool Index::mergeStep() {
  std::lock_guard lock(mutex_);
  // The merge reports its work only through the count of changes it made.
  const sqlite3_int64 before = sqlite3_total_changes64(db_);
  execute(db_, "INSERT INTO records_fts(records_fts, rank) VALUES('merge', 500)");
  return sqlite3_total_changes64(db_) - before > 1;
}

bool Index::purgeStep() {
  std::lock_guard lock(mutex_);
  const sqlite3_int64 before = sqlite3_total_changes64(db_);
  // A negative amount merges every segment into one, which drops deleted entries for good.
  execute(db_, "INSERT INTO records_fts(records_fts, rank) VALUES('merge', -500)");
  return sqlite3_total_changes64(db_) - before > 1;
}

bool Index::checkpoint() {
  std::lock_guard lock(mutex_);
  const int result = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  if (result == SQLITE_BUSY) return false;  // a search still reads an older state: next time
  if (result != SQLITE_OK) fail(db_);
  return true;
}

void Index::begin() {
  std::lock_guard lock(mutex_);
  pendingWords_.clear();
  execute(db_, "BEGIN");
}

void Index::commit() {
  std::lock_guard lock(mutex_);
  commitWithWords();
}

void Index::commitWithWords() {
  try {
    writePendingWords();
    execute(db_, "COMMIT");
  } catch (...) {
    // Records without their words would never be found: none of the transaction is kept, and the next scan
    // puts its records again.
    rollBack();
    throw;
  }
  ++generation_;
}

void Index::rollBack() {
  pendingWords_.clear();
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

sqlite3_stmt* Index::prepared(sqlite3_stmt*& slot, const char* sql) {
  if (!slot && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK)
    fail(db_);
  sqlite3_reset(slot);
  sqlite3_clear_bindings(slot);
  return slot;
}

// FTS5 writes out the words it holds in memory as a new segment whenever a record comes with a lower id than
// the one before, and whenever a statement opens a savepoint, as every insert that sets off a trigger does.
// Record ids follow the records' times, and a day folder lists its files in no particular order, so words
// written with each record made a segment of nearly every record, and merging those segments was most of the
// work of indexing. Written here, in id order, each in a statement of its own, a transaction's words make
// one segment (or one per memory limit).
void Index::writePendingWords() {
  if (pendingWords_.empty()) return;
  std::sort(pendingWords_.begin(), pendingWords_.end());
  pendingWords_.erase(std::unique(pendingWords_.begin(), pendingWords_.end()), pendingWords_.end());
  const std::vector<std::int64_t> ids = std::exchange(pendingWords_, {});
  sqlite3_stmt* read =
      prepared(readWordsStatement_, "SELECT lang, title, body, address, site FROM records WHERE id = ?");
  sqlite3_stmt* write = prepared(writeWordsStatement_,
                                 "INSERT INTO records_fts(rowid, title, body, address, site) "
                                 "VALUES (?1, tagged_text(?2, ?3), tagged_text(?2, ?4), ?5, ?6)");
  for (const std::int64_t id : ids) {
    sqlite3_reset(read);
    sqlite3_bind_int64(read, 1, id);
    const int found = sqlite3_step(read);
    if (found == SQLITE_DONE) continue;
    if (found != SQLITE_ROW) fail(db_);
    sqlite3_reset(write);
    sqlite3_bind_int64(write, 1, id);
    for (int column = 0; column < 5; ++column)
      sqlite3_bind_value(write, column + 2, sqlite3_column_value(read, column));
    if (sqlite3_step(write) != SQLITE_DONE) fail(db_);
  }
  sqlite3_reset(read);
  sqlite3_reset(write);
}

// Record ids are time-ordered: the stamp's second times 1000 plus a number within the second. Newest first is
// then the reverse rowid order, which FTS5 walks natively and stops at the page's end, and a date range is a
// rowid range.
constexpr std::int64_t idsPerSecond = 1000;

void Index::put(const std::string& recordPath, std::int64_t fileSize, const Record& record) {
  std::lock_guard lock(mutex_);
  // In a transaction the record's words wait for its commit; alone, the record and its words are still
  // written as one.
  if (!sqlite3_get_autocommit(db_)) return writeRecord(recordPath, fileSize, record);
  execute(db_, "BEGIN");
  try {
    writeRecord(recordPath, fileSize, record);
  } catch (...) {
    rollBack();
    throw;
  }
  commitWithWords();
}

void Index::writeRecord(const std::string& recordPath, std::int64_t fileSize, const Record& record) {
  const words::Language* language =
      splitting_ == Splitting::everyScript ? words::guessLanguage(record.title, record.body) : nullptr;
  noteLanguage(language);
  auto text = [](sqlite3_stmt* s, int at, const std::string& value) {
    sqlite3_bind_text(s, at, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  };
  auto run = [this](sqlite3_stmt* s) {
    int rc = sqlite3_step(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(db_);
    return rc == SQLITE_ROW;
  };
  sqlite3_stmt* find = prepared(findStatement_, "SELECT id FROM records WHERE path = ?");
  text(find, 1, recordPath);
  std::optional<std::int64_t> id;
  if (run(find)) id = sqlite3_column_int64(find, 0);
  sqlite3_reset(find);
  sqlite3_stmt* write;
  if (id) {
    // The update's trigger takes the old words out of the index: they must be in it.
    writePendingWords();
    write = prepared(
        updateStatement_,
        "UPDATE records SET file_size=?2, address=?3, title=?4, stamp=?5, body=?6, time=?7, site=?8, "
        "lang=?10 WHERE id=?1");
    sqlite3_bind_int64(write, 1, *id);
  } else {
    const std::int64_t base = record.time * idsPerSecond;
    sqlite3_stmt* last = prepared(lastStatement_, "SELECT max(id) FROM records WHERE id BETWEEN ? AND ?");
    sqlite3_bind_int64(last, 1, base);
    sqlite3_bind_int64(last, 2, base + idsPerSecond - 1);
    std::int64_t next = base;
    if (run(last) && sqlite3_column_type(last, 0) != SQLITE_NULL) next = sqlite3_column_int64(last, 0) + 1;
    sqlite3_reset(last);
    write =
        prepared(insertStatement_,
                 "INSERT INTO records(id, path, file_size, address, title, stamp, body, time, site, lang) "
                 "VALUES (?1, ?9, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?10)");
    if (next < base + idsPerSecond)
      sqlite3_bind_int64(write, 1, next);  // else (1000 in one second): any free id
    text(write, 9, recordPath);
  }
  sqlite3_bind_int64(write, 2, fileSize);
  text(write, 3, record.address);
  text(write, 4, record.title);
  text(write, 5, record.stamp);
  text(write, 6, record.body);
  sqlite3_bind_int64(write, 7, record.time);
  text(write, 8, record.site);
  const std::string code = language ? language->code : "";
  text(write, 10, code);
  run(write);
  sqlite3_reset(write);
  if (!id) pendingWords_.push_back(sqlite3_last_insert_rowid(db_));
}

std::optional<std::int64_t> Index::indexedSize(const std::string& recordPath) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT file_size FROM records WHERE path = ?");
  s.bind(1, recordPath);
  if (s.step()) return s.integer(0);
  return std::nullopt;
}

std::vector<std::pair<std::string, std::int64_t>> Index::indexedSizes(const std::string& day) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT path, file_size FROM records WHERE path >= ? AND path < ?");
  s.bind(1, day + "/").bind(2, day + "0");
  std::vector<std::pair<std::string, std::int64_t>> out;
  while (s.step())
    out.emplace_back(s.text(0), s.integer(1));
  return out;
}

std::vector<std::string> Index::indexedDays() {
  std::lock_guard lock(mutex_);
  // One step through the path index per day, however many records a day has.
  Statement next(db_, "SELECT substr(path, 1, 8) FROM records WHERE path >= ? ORDER BY path LIMIT 1");
  std::vector<std::string> days;
  std::string from;
  for (;;) {
    sqlite3_reset(next.raw());
    next.bind(1, from);
    if (!next.step()) break;
    days.push_back(next.text(0));
    from = days.back() + "0";  // past "<day>/..."
  }
  return days;
}

void Index::remove(const std::string& recordPath) {
  std::lock_guard lock(mutex_);
  writePendingWords();  // the delete's trigger takes the record's words out of the index
  Statement s(db_, "DELETE FROM records WHERE path = ?");
  s.bind(1, recordPath);
  s.step();
  ++generation_;
}

void Index::removeDay(const std::string& day) {
  std::lock_guard lock(mutex_);
  writePendingWords();
  Statement s(db_, "DELETE FROM records WHERE path >= ? AND path < ?");
  s.bind(1, day + "/").bind(2, day + "0");
  s.step();
  ++generation_;
}

bool Index::cachedCount(const std::string& key, Results& results) {
  std::lock_guard lock(countsMutex_);
  auto it = counts_.find(key);
  if (it == counts_.end() || it->second.generation != generation_.load()) return false;
  results.total = it->second.total;
  results.totalIsLowerBound = it->second.lowerBound;
  return true;
}

void Index::keepCount(const std::string& key, std::uint64_t generation, const Results& results) {
  std::lock_guard lock(countsMutex_);
  if (counts_.size() >= 1024) counts_.clear();  // a crude bound; recounting is only slower
  counts_[key] = {generation, results.total, results.totalIsLowerBound};
}

std::int64_t Index::count() {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT count(*) FROM records");
  return s.step() ? s.integer(0) : 0;
}

Results Index::search(const Query& query, std::chrono::milliseconds budget) {
  Results results;
  auto reader = takeReader();
  reader->deadline = std::chrono::steady_clock::now() + budget;
  try {
    searchWith(reader->db, query, results);
  } catch (const IndexError& error) {
    if (!error.interrupted()) throw;
    // What was found before the budget ran out stays; the count may be short.
    results.timedOut = true;
    results.totalIsLowerBound = results.total <= countLimit;
  }
  giveBack(std::move(reader));
  return results;
}

void Index::searchWith(sqlite3* db, const Query& query, Results& results) {
  std::string match = ftsQuery(query.text, languages());
  // Time-ordered ids make a date range a rowid range, which FTS5 and the records table both walk directly.
  std::string range;
  if (query.from) range += " AND rowid >= " + std::to_string(*query.from * idsPerSecond);
  if (query.to) range += " AND rowid < " + std::to_string(*query.to * idsPerSecond);
  // A site is a phrase in the site column: the index intersects it with the words instead of filtering rows.
  const std::string siteTerm =
      query.site.empty() ? std::string() : "site : " + ftsQuery("\"" + query.site + "\"");
  const std::string fullMatch = match.empty()      ? siteTerm
                                : siteTerm.empty() ? match
                                                   : match + " AND " + siteTerm;
  if (query.groupByAddress) return groupedSearchWith(db, query, fullMatch, !match.empty(), range, results);

  if (fullMatch.empty()) {
    Statement count(db, "SELECT count(*) FROM (SELECT 1 FROM records WHERE 1" + range + " LIMIT " +
                            std::to_string(countLimit + 1) + ")");
    if (count.step()) results.total = count.integer(0);
    Statement page(db, "SELECT path, address, title, stamp, time, substr(body, 1, 240) FROM records WHERE 1" +
                           range + " ORDER BY rowid DESC LIMIT ? OFFSET ?");
    page.bind(1, std::int64_t{query.limit});
    page.bind(2, std::int64_t{query.offset});
    while (page.step())
      results.hits.push_back(
          {page.text(0), page.text(1), page.text(2), page.text(3), page.text(5), page.integer(4), {}});
    return;
  }
  const std::string from = " FROM records_fts WHERE records_fts MATCH ?" + range;
  const std::string countKey = fullMatch + '\n' + range;
  if (!cachedCount(countKey, results)) {
    // Counting every match of a very common word would cost more than the page itself: stop at the cap, or
    // when the time for counting is up.
    const std::uint64_t generation = generation_.load();
    Statement count(db, "SELECT 1" + from + " LIMIT " + std::to_string(countLimit + 1));
    count.bind(1, fullMatch);
    const auto deadline = std::chrono::steady_clock::now() + countBudget;
    while (count.step()) {
      if ((++results.total & 127) == 0 && std::chrono::steady_clock::now() > deadline) {
        results.totalIsLowerBound = results.total <= countLimit;
        break;
      }
    }
    keepCount(countKey, generation, results);
  }
  // First the page's ids in order, then titles and snippets for just those.
  std::vector<std::int64_t> ids;
  {
    const std::string sql =
        query.newestFirst || match.empty()
            ? "SELECT rowid" + from + " ORDER BY rowid DESC LIMIT ? OFFSET ?"
            // Relevance among the newest matches: ranking every match of a common word in a large archive
            // would take seconds.
            : "SELECT id FROM (SELECT rowid AS id, bm25(records_fts, 4.0, 1.0, 2.0, 0.0) AS score" + from +
                  " ORDER BY rowid DESC LIMIT " + std::to_string(relevanceWindow) +
                  ") ORDER BY score LIMIT ? OFFSET ?";
    Statement page(db, sql);
    page.bind(1, fullMatch);
    page.bind(2, std::int64_t{query.limit});
    page.bind(3, std::int64_t{query.offset});
    while (page.step())
      ids.push_back(page.integer(0));
  }
  if (ids.empty()) return;
  std::string list;
  for (auto id : ids)
    list += (list.empty() ? "" : ",") + std::to_string(id);
  Statement details(
      db,
      "SELECT f.rowid, r.path, r.address, r.title, r.stamp, r.time, "
      "snippet(records_fts, 1, char(1), char(2), '…', 24) "
      "FROM records_fts f JOIN records r ON r.id = f.rowid WHERE records_fts MATCH ? AND f.rowid IN (" +
          list + ")");
  details.bind(1, fullMatch);
  std::unordered_map<std::int64_t, Hit> byId;
  bool interrupted = false;
  try {
    while (details.step())
      byId[details.integer(0)] = {details.text(1),
                                  details.text(2),
                                  details.text(3),
                                  details.text(4),
                                  details.text(6),
                                  details.integer(5),
                                  {}};
  } catch (const IndexError& error) {
    if (!error.interrupted()) throw;
    interrupted = true;  // the hits detailed so far are still shown
  }
  for (auto id : ids)
    if (auto it = byId.find(id); it != byId.end()) results.hits.push_back(std::move(it->second));
  if (interrupted) throw IndexError(SQLITE_INTERRUPT, "index: the search ran out of time");
}

}  // namespace tessaron::search

namespace tessaron::search {

namespace {

constexpr const char* hitColumns = "path, address, title, stamp, time";

Hit hitFrom(const Statement& row) {
  return {row.text(0), row.text(1), row.text(2), row.text(3), {}, row.integer(4), {}};
}

}  // namespace

template <class Work>
auto Index::withReader(Work&& work) -> decltype(work(static_cast<sqlite3*>(nullptr))) {
  auto reader = takeReader();
  reader->deadline = std::chrono::steady_clock::now() + searchBudget;
  auto result = work(reader->db);
  giveBack(std::move(reader));
  return result;
}

void Index::groupedSearchWith(sqlite3* db, const Query& query, const std::string& fullMatch, bool hasWords,
                              const std::string& range, Results& results) {
  // The window of matches in the query's order (newest first, or the newest ranked by relevance), with
  // their addresses; the groups follow the order of their first member.
  std::string sql;
  if (fullMatch.empty())
    sql = "SELECT id, address, path, time FROM records WHERE 1" + range + " ORDER BY id DESC LIMIT " +
          std::to_string(relevanceWindow);
  else if (query.newestFirst || !hasWords)
    sql =
        "SELECT r.id, r.address, r.path, r.time FROM records_fts f JOIN records r ON r.id = f.rowid "
        "WHERE records_fts MATCH ?" +
        range + " ORDER BY f.rowid DESC LIMIT " + std::to_string(relevanceWindow);
  else
    sql =
        "SELECT r.id, r.address, r.path, r.time FROM (SELECT rowid AS id, bm25(records_fts, 4.0, 1.0, 2.0, "
        "0.0) AS score FROM records_fts WHERE records_fts MATCH ?" +
        range + " ORDER BY rowid DESC LIMIT " + std::to_string(relevanceWindow) +
        ") m JOIN records r ON r.id = m.id ORDER BY m.score";
  struct Group {
    std::int64_t newestId = 0;
    std::vector<Visit> visits;
  };
  std::vector<Group> groups;
  std::unordered_map<std::string, std::size_t> byAddress;
  std::size_t members = 0;
  {
    Statement window(db, sql);
    if (!fullMatch.empty()) window.bind(1, fullMatch);
    while (window.step()) {
      ++members;
      auto [it, added] = byAddress.try_emplace(window.text(1), groups.size());
      if (added) groups.push_back({});
      Group& group = groups[it->second];
      group.newestId = std::max(group.newestId, window.integer(0));
      group.visits.push_back({window.text(2), window.integer(3)});
    }
  }
  results.total = static_cast<std::int64_t>(groups.size());
  results.totalIsLowerBound = members >= static_cast<std::size_t>(relevanceWindow);
  const auto first = std::min<std::size_t>(static_cast<std::size_t>(query.offset), groups.size());
  const auto last = std::min<std::size_t>(first + static_cast<std::size_t>(query.limit), groups.size());
  for (std::size_t g = first; g < last; ++g) {
    Group& group = groups[g];
    std::sort(group.visits.begin(), group.visits.end(),
              [](const Visit& a, const Visit& b) { return a.time > b.time; });
    Statement row(db, std::string("SELECT ") + hitColumns + " FROM records WHERE id = ?");
    row.bind(1, group.newestId);
    if (!row.step()) continue;
    Hit hit = hitFrom(row);
    if (!fullMatch.empty()) {
      Statement snippet(db,
                        "SELECT snippet(records_fts, 1, char(1), char(2), '…', 24) FROM records_fts "
                        "WHERE records_fts MATCH ? AND rowid = ?");
      snippet.bind(1, fullMatch).bind(2, group.newestId);
      if (snippet.step()) hit.snippet = snippet.text(0);
    } else {
      Statement body(db, "SELECT substr(body, 1, 240) FROM records WHERE id = ?");
      body.bind(1, group.newestId);
      if (body.step()) hit.snippet = body.text(0);
    }
    hit.visits = std::move(group.visits);
    results.hits.push_back(std::move(hit));
  }
}

std::vector<Hit> Index::dayRecords(const std::string& day, std::size_t limit) {
  return withReader([&](sqlite3* db) {
    std::vector<Hit> hits;
    Statement rows(db, std::string("SELECT ") + hitColumns +
                           " FROM records WHERE path >= ? AND path < ? ORDER BY id LIMIT ?");
    rows.bind(1, day + "/").bind(2, day + "0").bind(3, static_cast<std::int64_t>(limit));
    while (rows.step())
      hits.push_back(hitFrom(rows));
    return hits;
  });
}

std::optional<Hit> Index::record(const std::string& recordPath) {
  return withReader([&](sqlite3* db) -> std::optional<Hit> {
    Statement row(db, std::string("SELECT ") + hitColumns + " FROM records WHERE path = ?");
    row.bind(1, recordPath);
    if (!row.step()) return std::nullopt;
    return hitFrom(row);
  });
}

std::pair<std::optional<Hit>, std::optional<Hit>> Index::neighbours(const std::string& recordPath) {
  return withReader([&](sqlite3* db) {
    std::pair<std::optional<Hit>, std::optional<Hit>> out;
    Statement id(db, "SELECT id FROM records WHERE path = ?");
    id.bind(1, recordPath);
    if (!id.step()) return out;
    const std::int64_t at = id.integer(0);
    Statement before(
        db, std::string("SELECT ") + hitColumns + " FROM records WHERE id < ? ORDER BY id DESC LIMIT 1");
    before.bind(1, at);
    if (before.step()) out.first = hitFrom(before);
    Statement after(db,
                    std::string("SELECT ") + hitColumns + " FROM records WHERE id > ? ORDER BY id LIMIT 1");
    after.bind(1, at);
    if (after.step()) out.second = hitFrom(after);
    return out;
  });
}

std::pair<std::optional<std::string>, std::optional<std::string>> Index::adjacentDays(
    const std::string& day) {
  return withReader([&](sqlite3* db) {
    std::pair<std::optional<std::string>, std::optional<std::string>> out;
    Statement before(db, "SELECT substr(path, 1, 8) FROM records WHERE path < ? ORDER BY path DESC LIMIT 1");
    before.bind(1, day + "/");
    if (before.step()) out.first = before.text(0);
    Statement after(db, "SELECT substr(path, 1, 8) FROM records WHERE path >= ? ORDER BY path LIMIT 1");
    after.bind(1, day + "0");
    if (after.step()) out.second = after.text(0);
    return out;
  });
}

std::vector<Hit> Index::visitsOf(const std::string& address, std::size_t limit) {
  return withReader([&](sqlite3* db) {
    std::vector<Hit> hits;
    Statement rows(
        db, std::string("SELECT ") + hitColumns + " FROM records WHERE address = ? ORDER BY id DESC LIMIT ?");
    rows.bind(1, address).bind(2, static_cast<std::int64_t>(limit));
    while (rows.step())
      hits.push_back(hitFrom(rows));
    return hits;
  });
}

}  // namespace tessaron::search

namespace tessaron::search {

std::vector<Index::Unhashed> Index::unhashed(std::int64_t aboveId, std::int64_t belowId, std::size_t limit) {
  return withReader([&](sqlite3* db) {
    std::vector<Unhashed> out;
    Statement rows(db,
                   "SELECT r.id, r.path FROM records r WHERE r.id > ? AND r.id < ? AND NOT EXISTS "
                   "(SELECT 1 FROM image_hashes h WHERE h.id = r.id) ORDER BY r.id DESC LIMIT ?");
    rows.bind(1, aboveId).bind(2, belowId).bind(3, static_cast<std::int64_t>(limit));
    while (rows.step())
      out.push_back({rows.integer(0), rows.text(1)});
    return out;
  });
}

void Index::putImageHashes(const std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>>& hashes) {
  std::lock_guard lock(mutex_);
  execute(db_, "BEGIN");
  try {
    Statement put(db_,
                  "INSERT OR REPLACE INTO image_hashes(id, hash) SELECT ?1, ?2 WHERE EXISTS "
                  "(SELECT 1 FROM records WHERE id = ?1)");
    for (const auto& [id, hash] : hashes) {
      sqlite3_reset(put.raw());
      put.bind(1, id);
      if (hash)
        put.bind(2, *hash);
      else
        sqlite3_bind_null(put.raw(), 2);
      put.step();
    }
    execute(db_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::optional<std::vector<Hit>> Index::looksLike(const std::string& recordPath, std::size_t limit) {
  return withReader([&](sqlite3* db) -> std::optional<std::vector<Hit>> {
    Statement own(db,
                  "SELECT h.id, h.hash FROM records r JOIN image_hashes h ON h.id = r.id WHERE r.path = ?");
    own.bind(1, recordPath);
    if (!own.step()) return std::nullopt;
    std::vector<Hit> out;
    if (sqlite3_column_type(own.raw(), 1) == SQLITE_NULL) return out;
    Statement near(db,
                   "SELECT r.path, r.address, r.title, r.stamp, r.time FROM image_hashes h JOIN records r ON "
                   "r.id = h.id WHERE h.hash IS NOT NULL AND h.id != ?1 AND image_distance(h.hash, ?2) <= ?3 "
                   "ORDER BY image_distance(h.hash, ?2), h.id DESC LIMIT ?4");
    near.bind(1, own.integer(0)).bind(2, own.integer(1));
    near.bind(3, static_cast<std::int64_t>(OSPHash::sharedInstance().hashDistanceSimilarityThreshold()));
    near.bind(4, static_cast<std::int64_t>(limit));
    while (near.step())
      out.push_back({near.text(0), near.text(1), near.text(2), near.text(3), {}, near.integer(4), {}});
    return out;
  });
}

}  // namespace tessaron::search
