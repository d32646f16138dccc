#include "searchserver/index.h"

#include <cctype>
#include <stdexcept>

namespace tessaron::search {

namespace {

constexpr const char* schema = R"(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=NORMAL;
CREATE TABLE IF NOT EXISTS records(
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  file_size INTEGER NOT NULL,
  address TEXT NOT NULL,
  title TEXT NOT NULL,
  stamp TEXT NOT NULL,
  body TEXT NOT NULL,
  time INTEGER NOT NULL,
  site TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS records_time ON records(time);
CREATE INDEX IF NOT EXISTS records_site_time ON records(site, time);
CREATE VIRTUAL TABLE IF NOT EXISTS records_fts USING fts5(
  title, body, address, content='records', content_rowid='id', tokenize='unicode61 remove_diacritics 2');
CREATE TRIGGER IF NOT EXISTS records_insert AFTER INSERT ON records BEGIN
  INSERT INTO records_fts(rowid, title, body, address) VALUES (new.id, new.title, new.body, new.address);
END;
CREATE TRIGGER IF NOT EXISTS records_delete AFTER DELETE ON records BEGIN
  INSERT INTO records_fts(records_fts, rowid, title, body, address) VALUES ('delete', old.id, old.title, old.body, old.address);
END;
CREATE TRIGGER IF NOT EXISTS records_update AFTER UPDATE ON records BEGIN
  INSERT INTO records_fts(records_fts, rowid, title, body, address) VALUES ('delete', old.id, old.title, old.body, old.address);
  INSERT INTO records_fts(rowid, title, body, address) VALUES (new.id, new.title, new.body, new.address);
END;
)";

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("index: ") + sqlite3_errmsg(db));
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
    throw std::runtime_error(std::string("index: ") + sqlite3_errmsg(sqlite3_db_handle(statement_)));
  }
  std::string text(int column) const {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
             : std::string();
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

void execute(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("index: " + message);
  }
}

}  // namespace

std::string ftsQuery(std::string_view text) {
  std::vector<std::string> terms;
  std::size_t i = 0;
  while (i < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    std::string term;
    if (text[i] == '"') {
      const std::size_t close = text.find('"', i + 1);
      if (close != std::string_view::npos) {
        term = std::string(text.substr(i + 1, close - i - 1));
        i = close + 1;
      } else {
        term = std::string(text.substr(i + 1));
        i = text.size();
      }
    } else {
      std::size_t end = i;
      while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
        ++end;
      term = std::string(text.substr(i, end - i));
      i = end;
    }
    // Inside an FTS5 string a double quote is written twice; everything else is taken literally.
    std::string quoted = "\"";
    bool hasWordCharacter = false;
    for (char c : term) {
      if (c == '"')
        quoted += "\"\"";
      else
        quoted += c;
      hasWordCharacter = hasWordCharacter || std::isalnum(static_cast<unsigned char>(c)) ||
                         static_cast<unsigned char>(c) >= 0x80;
    }
    quoted += "\"";
    if (hasWordCharacter) terms.push_back(std::move(quoted));
  }
  std::string query;
  for (const auto& term : terms)
    query += (query.empty() ? "" : " AND ") + term;
  return query;
}

Index::Index(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (sqlite3_open(file.c_str(), &db_) == SQLITE_OK) {
      try {
        sqlite3_busy_timeout(db_, 5000);
        execute(db_, schema);
        execute(db_, "SELECT count(*) FROM records_fts WHERE records_fts MATCH 'x'");
        return;
      } catch (const std::exception&) {
      }
    }
    // Not a usable index (corrupt, or of another kind): the archive can always rebuild it.
    sqlite3_close(db_);
    db_ = nullptr;
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove(file.string() + suffix, ec);
  }
  throw std::runtime_error("index: cannot create " + file.string());
}

Index::~Index() {
  sqlite3_close(db_);
}

void Index::begin() {
  std::lock_guard lock(mutex_);
  execute(db_, "BEGIN");
}

void Index::commit() {
  std::lock_guard lock(mutex_);
  execute(db_, "COMMIT");
}

void Index::put(const std::string& recordPath, std::int64_t fileSize, const Record& record) {
  std::lock_guard lock(mutex_);
  Statement(db_,
            "INSERT INTO records(path, file_size, address, title, stamp, body, time, site) VALUES "
            "(?,?,?,?,?,?,?,?) "
            "ON CONFLICT(path) DO UPDATE SET file_size=excluded.file_size, address=excluded.address, "
            "title=excluded.title, stamp=excluded.stamp, body=excluded.body, time=excluded.time, "
            "site=excluded.site")
      .bind(1, recordPath)
      .bind(2, fileSize)
      .bind(3, record.address)
      .bind(4, record.title)
      .bind(5, record.stamp)
      .bind(6, record.body)
      .bind(7, record.time)
      .bind(8, record.site)
      .step();
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

std::int64_t Index::count() {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT count(*) FROM records");
  return s.step() ? s.integer(0) : 0;
}

Results Index::search(const Query& query) {
  std::lock_guard lock(mutex_);
  const std::string match = ftsQuery(query.text);
  std::string where = " WHERE 1";
  if (query.from) where += " AND r.time >= :from";
  if (query.to) where += " AND r.time < :to";
  if (!query.site.empty()) where += " AND r.site = :site";
  std::string from = " FROM records r";
  if (!match.empty()) {
    from = " FROM records_fts f JOIN records r ON r.id = f.rowid";
    where += " AND records_fts MATCH :match";
  }
  const std::string order = !match.empty() && !query.newestFirst
                                ? " ORDER BY bm25(records_fts, 4.0, 1.0, 2.0)"
                                : " ORDER BY r.time DESC, r.id DESC";
  const std::string snippet =
      match.empty() ? "substr(r.body, 1, 200)" : "snippet(records_fts, 1, char(1), char(2), '…', 24)";
  Results results;
  {
    Statement s(db_, "SELECT count(*)" + from + where);
    int at = 1;
    if (query.from) s.bind(at++, *query.from);
    if (query.to) s.bind(at++, *query.to);
    if (!query.site.empty()) s.bind(at++, query.site);
    if (!match.empty()) s.bind(at++, match);
    if (s.step()) results.total = s.integer(0);
  }
  Statement s(db_, "SELECT r.path, r.address, r.title, r.stamp, r.time, " + snippet + from + where + order +
                       " LIMIT :limit OFFSET :offset");
  int at = 1;
  if (query.from) s.bind(at++, *query.from);
  if (query.to) s.bind(at++, *query.to);
  if (!query.site.empty()) s.bind(at++, query.site);
  if (!match.empty()) s.bind(at++, match);
  s.bind(at++, std::int64_t{query.limit});
  s.bind(at++, std::int64_t{query.offset});
  while (s.step())
    results.hits.push_back({s.text(0), s.text(1), s.text(2), s.text(3), s.text(5), s.integer(4)});
  return results;
}

}  // namespace tessaron::search
