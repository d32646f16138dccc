// Words in every script: how they are split and folded, the language a page is stemmed in, and searches of a
// multilingual archive through the real server, an index built the old way and what forgetting leaves.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "archive/record_file.h"
#include "searchserver/index.h"
#include "searchserver/index_keeper.h"
#include "searchserver/indexer.h"
#include "searchserver/server_test_support.h"
#include "searchserver/words.h"
#include "tests/process_harness.h"

namespace tessaron::search {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tessaron::testing::eventually;
using words::foldedWords;
using Words = std::vector<std::string>;

TEST(Words, EveryScriptIsSplitAndFoldedTheWayItIsSearched) {
  EXPECT_EQ(foldedWords("l'École, STRASSE Straße naïve"),
            (Words{"l", "ecole", "strasse", "strasse", "naive"}));
  EXPECT_EQ(foldedWords("ＡＢＣ１２ ﬁle"), (Words{"abc12", "file"})) << "compatibility forms";
  EXPECT_EQ(foldedWords("東京都2024年"), (Words{"東", "京", "都", "2024", "年"}));
  EXPECT_EQ(foldedWords("ｶﾞｲﾄﾞ"), (Words{"ガ", "イ", "ド"})) << "half-width kana, voicing mark kept";
  EXPECT_EQ(foldedWords("도서관을 찾았다"), (Words{"도서관을", "찾았다"})) << "Hangul is never taken apart";
  EXPECT_EQ(foldedWords("ภาษาไทยเป็นภาษาที่สวยงาม"), (Words{"ภาษา", "ไทย", "เป็น", "ภาษา", "ที่", "สวยงาม"}))
      << "Thai by the dictionary, its vowel and tone marks kept";
  EXPECT_EQ(foldedWords("مَكْتَبَةٌ"), (Words{"مكتبة"})) << "Arabic vowel points go";
  EXPECT_EQ(foldedWords("Ёлка йод"), (Words{"елка", "йод"})) << "ё is е, й stays";
  EXPECT_EQ(foldedWords("हिंदी"), (Words{"हिंदी"})) << "Devanagari's vowel signs are letters";
  EXPECT_EQ(foldedWords("ab\xff\xfe"
                        "cd \xe6\x9d"),
            (Words{"ab", "cd"}))
      << "broken bytes split";
  EXPECT_TRUE(foldedWords(" — … \x01 ").empty());
}

TEST(Words, APagesLanguageIsGuessedFromItsScriptAndCommonestWords) {
  auto code = [](std::string_view title, std::string_view body) {
    const words::Language* language = words::guessLanguage(title, body);
    return language ? std::string(language->code) : std::string("none");
  };
  EXPECT_EQ(code("Rivers", "We walked along the rivers and studied the bridges"), "en");
  EXPECT_EQ(code("Förderung", "Die Förderung ist nicht mit den Häusern auf der Straße"), "de");
  EXPECT_EQ(code("Café", "un café très réputé dans la rue et les gens sont pour"), "fr");
  EXPECT_EQ(code("", "Mientras los ríos y las montañas de la región para el"), "es");
  EXPECT_EQ(code("Реки", "Мы читали книги о реках и мостах"), "ru");
  EXPECT_EQ(code("", "افتتحت المكتبة الوطنية أبوابها"), "ar");
  EXPECT_EQ(code("Ріки", "Ми читали книги про річки і мости, її історію та їхні землі"), "none")
      << "Ukrainian: Russian's stemmer would mangle it";
  EXPECT_EQ(code("天気", "明日の天気予報を確認してください"), "none");
  EXPECT_EQ(code("", "새로운 도서관을 개관했습니다"), "none");
  EXPECT_EQ(code("Zzz", "Xkcd qwerty"), "en") << "Latin letters with no telling word";
}

std::string recordText(int n, const std::string& title, const std::string& body) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "2024-05-01T10:%02d:00Z", n);
  return tessaron::archive::recordText("https://site" + std::to_string(n) + ".example/",
                                       std::string("20240501/") + stamp, stamp, title, body);
}

struct Page {
  const char* title;
  const char* body;
};

// Everyday pages in many languages, each with words no other page has.
const std::vector<Page> pages = {
    {"天気", "明日の天気予報を確認してください"},
    {"ニュース", "今日は東京都で大雨警報が発表されました"},
    {"北京", "北京市政府今天宣布了新的公共交通计划，地铁线路将延长"},
    {"京都", "京都の紅葉を見に行きました"},
    {"도서관", "시는 새로운 도서관을 개관했습니다. 국립중앙도서관에서 책을 빌렸다"},
    {"ไทย", "ภาษาไทยเป็นภาษาที่สวยงาม"},
    {"مكتبة", "افتتحت المكتبة الوطنية أبوابها للزوار"},
    {"Реки", "Мы читали книги о реках и мостах нашего города"},
    {"Förderung",
     "Die Bundesausbildungsförderung hilft den Studenten, und die Häuser an der Straße sind groß"},
    {"Café", "un café très réputé près de la gare et des rues anciennes"},
    {"Rivers", "We walked along the rivers and studied the bridges of the old town"},
    {"River", "A quiet river and a study of one bridge"},
};

struct Search {
  const char* text;
  std::vector<std::string> titles;  // every page it finds, in the order asked
};

class Multilingual : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-words-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    archive = root / "AppData";
    for (std::size_t n = 0; n < pages.size(); ++n) {
      const std::string text = recordText(static_cast<int>(n), pages[n].title, pages[n].body);
      testing::writeFile(archive / "20240501" / (text.substr(text.find('\n') + 10, 20) + ".txt"), text);
    }
  }
  void TearDown() override { fs::remove_all(root); }
  fs::path root, archive;
};

TEST_F(Multilingual, EachLanguagesEverydaySearchesFindTheirPageAndNoOther) {
  auto server = testing::startServer(root, archive, pages.size());
  ASSERT_TRUE(server);
  auto titlesFound = [](const std::string& query, const std::string& order) {
    auto answer = httplib::Client("127.0.0.1", 5000)
                      .Get("/api/search", {{"q", query}, {"order", order}}, httplib::Headers{});
    std::vector<std::string> titles;
    if (!answer || answer->status != 200) return Words{"(no answer)"};
    const auto json = nlohmann::json::parse(answer->body);
    for (const auto& hit : json["results"])
      titles.push_back(hit["title"]);
    return titles;
  };
  const std::vector<Search> searches = {
      {"天気予報", {"天気"}},
      {"東京", {"ニュース"}},
      // Found wherever its characters stand side by side: in 東京都 too.
      {"京都", {"京都", "ニュース"}},
      {"地铁", {"北京"}},
      {"公共交通", {"北京"}},
      {"北京 政府", {"北京"}},
      {"도서관", {"도서관"}},
      {"중앙도서관", {"도서관"}},
      {"สวยงาม", {"ไทย"}},
      {"المكتبة", {"مكتبة"}},
      {"река", {"Реки"}},
      {"мост", {"Реки"}},
      {"förderung", {"Förderung"}},
      {"bundesausbildungsförderung", {"Förderung"}},
      {"haus", {"Förderung"}},
      {"strasse", {"Förderung"}},
      {"cafe", {"Café"}},
      {"réputée", {"Café"}},
      // An exact word ranks above another form of it.
      {"rivers", {"Rivers", "River"}},
      {"river", {"River", "Rivers"}},
      {"bridges", {"Rivers", "River"}},
      {"study", {"River", "Rivers"}},
      {"\"studied the bridges\"", {"Rivers"}},
      {"\"study the bridge\"", {}},
      {"\"rivers\"", {"Rivers"}},
  };
  for (const Search& search : searches)
    EXPECT_EQ(titlesFound(search.text, "relevance"), search.titles) << search.text;
  EXPECT_EQ(titlesFound("river", "newest"), (Words{"River", "Rivers"})) << "the newest first by default";

  // The matched words are marked whole, in every script: no half characters, no whole sentence.
  const std::string page = httplib::Client("127.0.0.1", 5000).Get("/?q=%E6%9D%B1%E4%BA%AC")->body;
  EXPECT_NE(page.find("今日は<mark>東京</mark>都で大雨警報"), std::string::npos) << page;
  const std::string thai = httplib::Client("127.0.0.1", 5000)
                               .Get("/?q=%E0%B8%AA%E0%B8%A7%E0%B8%A2%E0%B8%87%E0%B8%B2%E0%B8%A1")
                               ->body;
  EXPECT_NE(thai.find("ภาษาที่<mark>สวยงาม</mark>"), std::string::npos) << thai;
  const std::string german = httplib::Client("127.0.0.1", 5000).Get("/?q=f%C3%B6rderung")->body;
  EXPECT_NE(german.find("<mark>Bundesausbildungsförderung</mark>"), std::string::npos) << german;
}

// Every token of a record, derived ones included, as the index holds them.
std::int64_t indexedTokens(const fs::path& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  registerWordTokenizer(db);
  std::int64_t tokens = -1;
  sqlite3_exec(db, "CREATE VIRTUAL TABLE temp.vocabulary USING fts5vocab(main, records_fts, 'row')", nullptr,
               nullptr, nullptr);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM temp.vocabulary", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    tokens = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return tokens;
}

TEST_F(Multilingual, ARecordChangedOrForgottenLeavesNoneOfItsWordsOrFormsBehind) {
  const fs::path file = root / "cache" / "index.sqlite";
  Index index(file);
  Indexer indexer(archive, index);
  ASSERT_EQ(indexer.scanAll(), pages.size());
  EXPECT_GT(indexedTokens(file), 100);
  // Rewritten with other words: the old ones, their stems and parts go.
  const std::string german = recordText(8, "Neu", "Ganz andere Wörter für die Leute");
  index.put("20240501/2024-05-01T10:08:00Z", static_cast<std::int64_t>(german.size()), *parseRecord(german));
  EXPECT_EQ(index.search({.text = "förderung"}).total, 0);
  EXPECT_EQ(index.search({.text = "wort"}).total, 1) << "the new words, stemmed";
  index.removeDay("20240501");
  EXPECT_EQ(index.count(), 0);
  EXPECT_EQ(indexedTokens(file), 0) << "no word or form of a forgotten record stays in the index";
}

TEST_F(Multilingual, AnIndexOfTheOldWordSplittingIsRebuiltByItselfOnce) {
  // An index as earlier versions made it: words split at spaces only, with the mark of a finished build.
  const fs::path file = root / "cache" / "index.sqlite";
  fs::create_directories(file.parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
                         "INSERT INTO meta VALUES('complete', '1');"
                         "CREATE TABLE records(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, file_size "
                         "INTEGER NOT NULL, address TEXT NOT NULL, title TEXT NOT NULL, stamp TEXT NOT NULL, "
                         "body TEXT NOT NULL, time INTEGER NOT NULL, site TEXT NOT NULL);"
                         "CREATE VIRTUAL TABLE records_fts USING fts5(title, body, address, site, "
                         "content='records', content_rowid='id', tokenize='unicode61 remove_diacritics 2');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  std::mutex logMutex;
  std::vector<std::string> log;
  IndexKeeper keeper(archive, {file, root / "memory" / "index.sqlite"}, [&](const std::string& line) {
    std::lock_guard lock(logMutex);
    log.push_back(line);
  });
  std::jthread running([&](std::stop_token stop) { keeper.run(stop, 100ms); });
  EXPECT_TRUE(eventually([&] { return keeper.search({.text = "東京"}).total == 1; }, 30s));
  EXPECT_TRUE(eventually([&] { return keeper.progress().done && keeper.notice().empty(); }));
  running = {};
  std::lock_guard lock(logMutex);
  EXPECT_EQ(std::count_if(
                log.begin(), log.end(),
                [](const std::string& line) { return line.find("splits words the old way") != line.npos; }),
            1);

  // Opened again, the rebuilt index is kept.
  Index again(file);
  EXPECT_FALSE(again.outdatedFound());
  EXPECT_EQ(again.count(), static_cast<std::int64_t>(pages.size()));
}

}  // namespace
}  // namespace tessaron::search
