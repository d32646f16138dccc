// The search server: record parsing and queries in process, and the real program over real HTTP on loopback.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "archive/record_file.h"
#include "searchserver/fts_words.h"
#include "searchserver/index.h"
#include "searchserver/indexer.h"
#include "searchserver/record.h"
#include "searchserver/server_test_support.h"
#include "searchserver/web.h"
#include "tests/process_harness.h"

namespace tessaron::search {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tessaron::testing::Child;
using tessaron::testing::eventually;

using testing::writeFile;

std::string record(const std::string& address, const std::string& path, const std::string& title,
                   const std::string& body) {
  const std::string stamp = path.substr(path.find('/') + 1, 20);
  return tessaron::archive::recordText(address, path, stamp, title, body);
}

TEST(Queries, UserTextNeverBecomesQuerySyntax) {
  EXPECT_EQ(ftsQuery("zoom.us"), "\"zoom.us\"");
  EXPECT_EQ(ftsQuery("c++ AND NOT"), "\"c++\" AND \"AND\" AND \"NOT\"");
  EXPECT_EQ(ftsQuery("\"exact phrase\" word"), "\"exact phrase\" AND \"word\"");
  EXPECT_EQ(ftsQuery("say \"hi"), "\"say\" AND \"hi\"");
  EXPECT_EQ(ftsQuery("\""), "");
  EXPECT_EQ(ftsQuery("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(ftsQuery("   "), "");
  // The index marks its derived tokens with control characters: typed ones are only spaces.
  EXPECT_EQ(ftsQuery("\x1D"
                     "haus \x1E"
                     "enriver"),
            "\" haus\" AND \" enriver\"");
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(Html, WhatTheArchiveHoldsIsOnlyEverText) {
  const std::string hostile = "\"><script>alert('x')</script>";
  Html html;
  html.open("a", {{"href", hostile}, {"id", std::nullopt, true}, {"download"}})
      .text(hostile)
      .close("a")
      .element("p", {{"title", hostile}}, hostile);
  EXPECT_EQ(html.str().find("<script>"), std::string::npos) << html.str();
  EXPECT_EQ(html.str().find("\"><"), std::string::npos) << "no value ends its attribute early";
  EXPECT_TRUE(
      html.str().starts_with("<a href=\"&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;\" "
                             "download>"))
      << html.str();
  EXPECT_EQ(html.str().find(" id"), std::string::npos) << "an attribute without a value is left out";
  EXPECT_EQ(Html().markup("<mark>").text("<b>").take(), "<mark>&lt;b&gt;")
      << "only markup() is written as is";
}

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-index-" + std::to_string(::getpid()));
    fs::remove_all(root);
  }
  void TearDown() override { fs::remove_all(root); }
  fs::path root;
};

TEST_F(IndexTest, IndexesNewAndGrownRecordsOnlyAndSearchesWithFilters) {
  const fs::path archive = root / "AppData";
  writeFile(archive / "20240301/2024-03-01T14:05:09Z.txt",
            record("https://docs.example.org/a", "20240301/2024-03-01T14:05:09Z", "Rust guide",
                   "ownership and borrowing"));
  writeFile(archive / "20240302/2024-03-02T09:00:00Z.txt",
            record("https://news.example/b", "20240302/2024-03-02T09:00:00Z", "Weather",
                   "rain and borrowing umbrellas"));
  writeFile(archive / "20240302/notes.txt", "not a record");
  writeFile(archive / "20240302/2024-03-02T10:00:00Z.txt", "https://half/\n20240302/2024-03-02T10:00:00Z\n");
  Index index(root / "cache" / "index.sqlite");
  Indexer indexer(archive, index);
  EXPECT_EQ(indexer.scanAll(), 2U);
  EXPECT_EQ(indexer.scanChanged(), 0U) << "nothing new: nothing read again";

  Results all = index.search({.text = "borrowing"});
  ASSERT_EQ(all.total, 2);
  EXPECT_EQ(all.hits[0].title, "Weather") << "newest first";
  EXPECT_NE(all.hits[0].snippet.find("\x01"
                                     "borrowing"
                                     "\x02"),
            std::string::npos);
  EXPECT_EQ(index.search({.text = "borrowing", .site = "docs.example.org"}).total, 1);
  EXPECT_EQ(index.search({.text = "borrowing", .from = 1709337600}).total, 1) << "from 2 March";
  EXPECT_EQ(index.search({.text = "guide rust"}).total, 1) << "all words, any order";
  EXPECT_EQ(index.search({.text = "\"rust guide\""}).total, 1);
  EXPECT_EQ(index.search({.text = "\"guide rust\""}).total, 0);
  EXPECT_EQ(index.search({.text = "c++ OR \" NEAR("}).total, 0) << "odd text is just text";
  EXPECT_EQ(index.search({}).total, 2);
  EXPECT_EQ(index.search({.text = "borrowing", .offset = 1, .limit = 1}).hits.size(), 1U);
  // Pages come in time order: the second page of one holds the older match.
  EXPECT_EQ(index.search({.text = "borrowing", .offset = 1, .limit = 1}).hits[0].title, "Rust guide");

  // The half-written record completes, and a new day appears.
  writeFile(archive / "20240302/2024-03-02T10:00:00Z.txt",
            record("https://half/", "20240302/2024-03-02T10:00:00Z", "Finished", "late words"));
  writeFile(archive / "20240303/2024-03-03T08:00:00Z.txt",
            record("https://new/", "20240303/2024-03-03T08:00:00Z", "New day", "fresh"));
  EXPECT_EQ(indexer.scanChanged(), 2U);
  EXPECT_EQ(index.search({.text = "late"}).total, 1);
  EXPECT_EQ(index.count(), 4);
}

TEST_F(IndexTest, DeletedRecordsAndDayFoldersLeaveTheIndex) {
  const fs::path archive = root / "AppData";
  auto add = [&](const std::string& day, const std::string& stem, const std::string& words) {
    writeFile(archive / day / (stem + ".txt"),
              record("https://a.example/" + stem, day + "/" + stem, "T", words));
  };
  add("20240301", "2024-03-01T09:00:00Z", "kept words");
  add("20240301", "2024-03-01T09:00:05Z", "forgotten words");
  add("20240302", "2024-03-02T09:00:00Z", "budget words");
  add("20240303", "2024-03-03T09:00:00Z", "newest words");
  add("20240304", "2024-03-04T09:00:00Z", "offline words");
  Index index(root / "cache" / "index.sqlite");
  {
    Indexer indexer(archive, index);
    ASSERT_EQ(indexer.scanAll(), 5U);
    fs::remove(archive / "20240301" / "2024-03-01T09:00:05Z.txt");  // forgotten
    fs::remove_all(archive / "20240302");                           // deleted by the disk budget
    EXPECT_EQ(indexer.scanChanged(), 2U);
    EXPECT_EQ(index.search({.text = "forgotten"}).total, 0);
    EXPECT_EQ(index.search({.text = "budget"}).total, 0);
    EXPECT_EQ(index.search({.text = "kept"}).total, 1);
    EXPECT_EQ(index.indexedDays(), (std::vector<std::string>{"20240301", "20240303", "20240304"}));
  }
  // Deleted while no server ran: the next start's full pass notices.
  // (The first indexer is gone; what follows is a restart.)
  fs::remove_all(archive / "20240304");
  Indexer restarted(archive, index);
  restarted.scanAll();
  EXPECT_EQ(index.search({.text = "offline"}).total, 0);
  EXPECT_EQ(index.count(), 2);
}

TEST_F(IndexTest, RecordsChangedInPlaceInOldDaysAndCrlfRecordsAreFound) {
  const fs::path archive = root / "AppData";
  const fs::path old = archive / "20240301" / "2024-03-01T09:00:00Z.txt";
  writeFile(old, record("https://a.example/", "20240301/2024-03-01T09:00:00Z", "T", "first words"));
  writeFile(archive / "20240305/2024-03-05T09:00:00Z.txt",
            record("https://b.example/", "20240305/2024-03-05T09:00:00Z", "Newest", "newer"));
  // Changed long ago: past the few seconds in which a folder is looked at anyway.
  fs::last_write_time(old.parent_path(), fs::file_time_type::clock::now() - std::chrono::minutes(1));
  Index index(root / "cache" / "index.sqlite");
  Indexer indexer(archive, index);
  indexer.scanAll();
  // Appending to a file changes neither its folder's time nor its name: only the file itself shows it.
  std::ofstream(old, std::ios::app) << " appended later";
  writeFile(
      archive / "20240302/2024-03-02T09:00:00Z.txt",
      "https://c.example/\r\n20240302/2024-03-02T09:00:00Z\r\n2024-03-02T09:00:00Z\r\nCRLF\r\nwindows lines");
  indexer.scanChanged();
  EXPECT_EQ(index.search({.text = "appended"}).total, 1);
  EXPECT_EQ(index.search({.text = "windows"}).total, 1);
  EXPECT_EQ(index.search({.text = "first"}).total, 1);
}

// A transaction's words reach the full-text index at its end, in id order: records that came in any order,
// one changed and one removed before the end, and one put alone must all be exactly as written.
TEST_F(IndexTest, ATransactionsRecordsAreFoundAsLastWrittenWhateverTheirOrder) {
  Index index(root / "index.sqlite");
  auto put = [&](const std::string& stamp, const std::string& body) {
    const std::string path = stamp.substr(0, 4) + stamp.substr(5, 2) + stamp.substr(8, 2) + "/" + stamp;
    const auto record = parseRecord(tessaron::search::record("https://a.example/" + stamp, path, "T", body));
    index.put(path, 1, *record);
    return path;
  };
  index.begin();
  put("2024-03-03T09:00:00Z", "newest lantern");
  const std::string changed = put("2024-03-01T09:00:00Z", "oldest candle");
  put("2024-03-02T09:00:00Z", "middle torch");
  put("2024-03-01T09:00:00Z", "oldest beacon");
  index.remove(put("2024-03-02T10:00:00Z", "dropped flare"));
  index.commit();
  put("2024-02-01T09:00:00Z", "alone ember");
  for (const char* word : {"lantern", "torch", "beacon", "ember"})
    EXPECT_EQ(index.search({.text = word}).total, 1) << word;
  EXPECT_EQ(index.search({.text = "candle"}).total, 0) << "the words a record had before it changed";
  EXPECT_EQ(index.search({.text = "flare"}).total, 0) << "a record removed before the end";
  EXPECT_EQ(index.search({}).total, 4);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(index.file().c_str(), &db), SQLITE_OK);
  registerWordTokenizer(db);
  EXPECT_EQ(sqlite3_exec(db, "INSERT INTO records_fts(records_fts, rank) VALUES('integrity-check', 0)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  EXPECT_EQ(index.record(changed)->title, "T");
}

TEST_F(IndexTest, ACorruptIndexIsRebuiltNotFatal) {
  writeFile(root / "cache" / "index.sqlite", "this is not a database, not at all");
  Index index(root / "cache" / "index.sqlite");
  EXPECT_EQ(index.count(), 0);
}

TEST_F(IndexTest, AFirstBuildCutShortStartsAfreshAndAFinishedOneIsKept) {
  const Record page{"https://a/",
                    "20240301/2024-03-01T09:00:00Z",
                    "2024-03-01T09:00:00Z",
                    1709283600,
                    "Title",
                    "words here",
                    "a"};
  {
    Index index(root / "cache" / "index.sqlite");
    EXPECT_FALSE(index.isComplete());
    index.beginBulkLoad();
    index.begin();
    index.put("20240301/2024-03-01T09:00:00Z", 40, page);
    index.commit();
  }  // gone before endBulkLoad, as when the server is killed mid-build
  {
    Index index(root / "cache" / "index.sqlite");
    EXPECT_EQ(index.count(), 0) << "the unfinished build is not trusted";
    index.beginBulkLoad();
    index.begin();
    index.put("20240301/2024-03-01T09:00:00Z", 40, page);
    index.commit();
    index.endBulkLoad();
    while (index.mergeStep()) {
    }
  }
  Index index(root / "cache" / "index.sqlite");
  EXPECT_TRUE(index.isComplete());
  EXPECT_EQ(index.count(), 1);
  EXPECT_EQ(index.search({.text = "words"}).total, 1);
}

// The real program on 127.0.0.1:5000.
class ServerProcess : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    archive = root / "AppData";
    writeFile(archive / "20240301/2024-03-01T14:05:09Z.txt",
              record("https://example.org/", "20240301/2024-03-01T14:05:09Z",
                     "Hi <script>alert('title')</script>", "body <img src=x onerror=alert(1)> zoom.us"));
    writeFile(archive / "20240301/2024-03-01T14:05:10Z.txt",
              record("javascript:alert(2)", "20240301/2024-03-01T14:05:10Z", "Trap", "zoom.us again"));
    writeFile(archive / "20240301/2024-03-01T14:05:09Z.png", "\x89PNG fake but served as is");
    writeFile(root / "secret.txt", "outside the archive");
    fs::create_symlink(root / "secret.txt", archive / "20240301/2024-03-01T14:05:11Z.png");
    server = testing::startServer(root, archive, 2);
    ASSERT_TRUE(server) << "the server did not index the archive";
  }
  void TearDown() override {
    server.reset();
    IndexTest::TearDown();
  }
  httplib::Result get(const std::string& path, httplib::Headers headers = {}) {
    httplib::Client client("127.0.0.1", 5000);
    return client.Get(path, headers);
  }
  fs::path archive;
  std::unique_ptr<Child> server;
};

TEST_F(ServerProcess, SearchPageAndApiEscapeEverythingArchived) {
  auto page = get("/?q=zoom.us");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("<script>"), std::string::npos);
  EXPECT_EQ(page->body.find("<img src=x"), std::string::npos);
  EXPECT_NE(page->body.find("Hi &lt;script&gt;alert(&#39;title&#39;)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page->body.find("href=\"javascript:"), std::string::npos) << "only web addresses become links";
  EXPECT_NE(page->body.find("<mark>zoom.us</mark>"), std::string::npos) << page->body;
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));

  auto api = get("/api/search?q=zoom.us");
  ASSERT_TRUE(api);
  auto json = nlohmann::json::parse(api->body);
  EXPECT_EQ(json["total"], 2);
  EXPECT_EQ(json["results"][0]["recordPath"], "20240301/2024-03-01T14:05:10Z");
  EXPECT_EQ(get("/api/search?q=%22")->status, 200);
  auto none = get("/?q=nothing-like-this");
  EXPECT_NE(none->body.find("No results for “nothing-like-this”"), std::string::npos);
}

TEST_F(ServerProcess, ThePageSaysWhatIsNeverRecorded) {
  EXPECT_NE(get("/")->body.find("Not recorded: private windows, 0 excluded sites"), std::string::npos);
  writeFile(root / "config/tessaron/settings.json",
            R"({"excludedSites": ["bank.example", "*.health.example"]})");
  const std::string page = get("/")->body;
  EXPECT_NE(page.find("Not recorded: private windows, 2 excluded sites"), std::string::npos) << page;
  EXPECT_EQ(page.find("bank.example"), std::string::npos) << "the rules are counted, not listed";
  writeFile(root / "config/tessaron/settings.json", R"({"excludedSites": ["bank.example"],)");
  EXPECT_NE(get("/")->body.find("2 excluded sites"), std::string::npos) << "a broken file changes nothing";
  EXPECT_EQ(page.find("OCR is off"), std::string::npos);
  writeFile(root / "config/tessaron/settings.json", R"({"ocr": false})");
  EXPECT_NE(
      get("/")->body.find("Not recorded: private windows, 0 excluded sites, words in pictures (OCR is off)"),
      std::string::npos);
}

// A connection to the server that sends `head` and then nothing (or nothing at all).
int openConnection(const std::string& head = {}) {
  const int fd = tessaron::testing::connectToLoopback(5000);
  if (fd >= 0 && !head.empty() && ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(ServerProcess, IdleAndSlowConnectionsKeepNoOneWaiting) {
  std::vector<int> idle;
  for (int i = 0; i < 1000; ++i)
    if (int fd = openConnection(); fd >= 0) idle.push_back(fd);
  EXPECT_EQ(idle.size(), 1000U) << "the listen queue and the cap take them all";
  std::vector<int> slow;
  for (int i = 0; i < 8; ++i)
    if (int fd = openConnection("GET /?q=zoom HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n"); fd >= 0)
      slow.push_back(fd);
  std::thread drip([&] {
    // One more header line every second, never the end of the head.
    for (int round = 0; round < 3; ++round) {
      std::this_thread::sleep_for(1s);
      for (int fd : slow)
        ::send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    }
  });
  std::vector<double> milliseconds;
  for (int i = 0; i < 10; ++i) {
    const auto started = std::chrono::steady_clock::now();
    auto api = get("/api/search?q=zoom.us");
    milliseconds.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    ASSERT_TRUE(api);
    EXPECT_EQ(api->status, 200);
  }
  drip.join();
  std::sort(milliseconds.begin(), milliseconds.end());
  EXPECT_LT(milliseconds[5], 100.0) << "the median normal search, beside 1,000 idle and 8 slow connections";
  for (int fd : idle)
    ::close(fd);
  for (int fd : slow)
    ::close(fd);
  EXPECT_TRUE(server->running());
}

TEST_F(ServerProcess, BadParametersGetAClearFourHundred) {
  struct Case {
    std::string query;
    std::string reason;
  };
  for (const Case& c : {Case{"/?q=a%00b", "must be text"}, Case{"/api/search?site=a%00b", "must be text"},
                        Case{"/?q=%ff%fe", "must be text"}, Case{"/?site=...", "host name"},
                        Case{"/api/search?site=%2F%2F", "host name"}, Case{"/?from=yesterday", "yyyy-mm-dd"},
                        Case{"/?page=-3", "number"}, Case{"/?page=2x", "number"}}) {
    auto answer = get(c.query);
    ASSERT_TRUE(answer) << c.query;
    EXPECT_EQ(answer->status, 400) << c.query;
    EXPECT_NE(answer->body.find(c.reason), std::string::npos) << c.query << ": " << answer->body;
  }
  std::string many = "/?q=";
  for (int i = 0; i < 40; ++i)
    many += "w" + std::to_string(i) + "%20";
  EXPECT_EQ(get(many)->status, 400);
  std::string repeated = "/?q=";
  for (int i = 0; i < 255; ++i)
    repeated += "the%20";
  EXPECT_EQ(get(repeated)->status, 200) << "a word repeated is one word";
  EXPECT_EQ(get("/?q=%zz")->status, 200) << "a stray percent sign is just text";
  EXPECT_EQ(get("/nothing-here")->status, 404);
}

TEST_F(ServerProcess, RangeRequestsNeverAmplify) {
  std::string ranges = "bytes=0-";
  for (int i = 0; i < 2000; ++i)
    ranges += ",0-";
  auto page = get("/", {{"Range", ranges}});
  ASSERT_TRUE(page);
  EXPECT_LT(page->body.size(), 64U * 1024) << "the page once, not once per range";
  auto shot = get("/shot/20240301/2024-03-01T14:05:09Z.png", {{"Range", ranges}});
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->body, "\x89PNG fake but served as is");
}

TEST_F(ServerProcess, RefusesForeignHostsCrossSiteRequestsAndOtherMethods) {
  EXPECT_EQ(get("/", {{"Host", "evil.example:5000"}})->status, 403) << "DNS rebinding";
  EXPECT_EQ(get("/", {{"Host", "localhost:5000"}})->status, 200);
  EXPECT_EQ(get("/api/search?q=x", {{"Origin", "https://evil.example"}})->status, 403);
  EXPECT_EQ(get("/api/search?q=x", {{"Sec-Fetch-Site", "cross-site"}})->status, 403);
  EXPECT_EQ(get("/api/search?q=x", {{"Sec-Fetch-Site", "same-site"}})->status, 403)
      << "another port is another origin";
  EXPECT_EQ(get("/api/search?q=x", {{"Sec-Fetch-Site", "same-origin"}})->status, 200);
  httplib::Client client("127.0.0.1", 5000);
  EXPECT_EQ(client.Post("/api/search", "", "text/plain")->status, 405);
}

TEST_F(ServerProcess, ServesScreenshotsOnlyFromTheArchive) {
  auto shot = get("/shot/20240301/2024-03-01T14:05:09Z.png");
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->status, 200);
  EXPECT_EQ(shot->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(get("/shot/20240301/2024-03-01T14:05:11Z.png")->status, 404) << "a symbolic link is not served";
  for (const char* path :
       {"/shot/../secret.txt", "/shot/20240301/..%2F..%2Fsecret.txt", "/shot/%2e%2e/secret.png",
        "/20240301/2024-03-01T14:05:09Z.txt", "/shot/20240301/2024-03-01T14:05:09Z.txt"})
    EXPECT_EQ(get(path)->status, 404) << path;
}

TEST_F(ServerProcess, SigtermEndsItCleanly) {
  server->signal(SIGTERM);
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_FALSE(tessaron::testing::portListening(5000));
}

}  // namespace
}  // namespace tessaron::search

namespace tessaron::search {
namespace {

// A real browser opens the search page with a query; the screenshot is kept for a person to look at.
TEST_F(ServerProcess, ABrowserShowsTheResultsPage) {
  const fs::path artifacts = fs::path(TESSARON_ARTIFACT_DIR);
  fs::create_directories(artifacts);
  const fs::path shot = artifacts / "search-results.png";
  fs::remove(shot);
  fs::copy_file(TESSARON_SAMPLE_IMAGE, archive / "20240301/2024-03-01T14:05:10Z.png",
                fs::copy_options::overwrite_existing);
  Child browser(
      {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
       "--disable-component-update", "--disable-sync", "--no-first-run", "--hide-scrollbars",
       "--user-data-dir=" + (root / "browser").string(), "--window-size=1100,800",
       "--screenshot=" + shot.string(), "http://127.0.0.1:5000/?q=zoom.us&order=newest"},
      {{"HOME", root.string()}}, root, "browser");
  EXPECT_EQ(browser.waitExit(std::chrono::seconds(60)), 0) << browser.err();
  ASSERT_TRUE(fs::exists(shot)) << browser.err();
  EXPECT_GT(fs::file_size(shot), 10000U) << "a rendered page, not a blank one";
  std::ifstream in(shot, std::ios::binary);
  char signature[8] = {};
  in.read(signature, 8);
  EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

}  // namespace
}  // namespace tessaron::search
