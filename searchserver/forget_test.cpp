// Forgetting from the pages of the real server on 127.0.0.1:5000: each kind takes out exactly its records and
// leaves nothing of them in the cache; nothing but the server's own form, posted back, takes anything; and
// the storage page's numbers are the disk's.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <httplib.h>

#include "archive/forgetting.h"
#include "archive/layout.h"
#include "searchserver/server_test_support.h"
#include "searchserver/storage_page.h"
#include "tests/process_harness.h"

namespace tessaron::search {
namespace {

namespace fs = std::filesystem;
using tessaron::testing::Child;
using tessaron::testing::eventually;

const httplib::Headers ownPage = {{"Origin", "http://127.0.0.1:5000"}, {"Sec-Fetch-Site", "same-origin"}};

std::string percentEncoded(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

class ForgetPages : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-forget-" + std::to_string(::getpid()));
    fs::remove_all(root);
    archive = root / "AppData";
  }
  void TearDown() override {
    server.reset();
    fs::remove_all(root);
  }
  void add(const std::string& stem, const std::string& address, const std::string& word) {
    const std::string day = stem.substr(0, 4) + stem.substr(5, 2) + stem.substr(8, 2);
    testing::writeRecord(archive, day, stem, address, "Page " + word, word + " common");
  }
  bool has(const std::string& day, const std::string& stem) const {
    return fs::exists(archive / day / (stem + ".txt")) || fs::exists(archive / day / (stem + ".png"));
  }
  void start(std::size_t records) {
    server = testing::startServer(root, archive, records, {{"TZ", "UTC"}});
    ASSERT_TRUE(server);
  }
  static httplib::Client client() { return httplib::Client("127.0.0.1", 5000); }
  // The asking page for a query, and the hidden fields of its form as a form body (with `extra`).
  std::string ask(const std::string& query, std::string& page) {
    auto answer = client().Get("/forget?" + query);
    if (!answer || answer->status != 200) {
      ADD_FAILURE() << query << ": " << (answer ? answer->status : -1);
      return {};
    }
    page = answer->body;
    std::string form;
    for (std::size_t at = 0; (at = page.find("type=\"hidden\" name=\"", at)) != std::string::npos;) {
      at += 20;
      const std::size_t nameEnd = page.find('"', at);
      const std::size_t valueStart = page.find("value=\"", nameEnd) + 7;
      const std::string value = page.substr(valueStart, page.find('"', valueStart) - valueStart);
      form += (form.empty() ? "" : "&") + page.substr(at, nameEnd - at) + "=" + percentEncoded(value);
    }
    return form;
  }
  httplib::Result post(const std::string& form, const httplib::Headers& headers = ownPage) {
    return client().Post("/forget", headers, form, "application/x-www-form-urlencoded");
  }
  fs::path cache() const { return root / "cache" / "tessaron"; }
  bool cacheHolds(const std::string& bytes) const { return testing::anyFileHolds(cache(), bytes); }

  void addTenRecords();
  void makeThumbnails();
  void expectOnlyTheNeighboursLeft();

  fs::path root, archive;
  std::unique_ptr<Child> server;
};

// Ten records over four days, two sites and their neighbours.
void ForgetPages::addTenRecords() {
  add("2024-03-01T09:00:00Z", "https://a.example/", "kettlewick");
  add("2024-03-01T09:30:00Z", "https://bank.example/login", "quokkabank");
  add("2024-03-01T10:00:00Z", "https://a.example/", "amberline");
  add("2024-03-02T09:00:00Z", "https://www.bank.example/x", "zebrinabank");
  add("2024-03-02T09:10:00Z", "https://notbank.example/", "cobaltmoss");
  add("2024-03-03T08:00:00Z", "https://a.example/", "daylilyx");
  add("2024-03-03T09:00:00Z", "https://a.example/b", "dayfernx");
  add("2024-03-04T12:00:00Z", "https://a.example/", "rangeone");
  add("2024-03-04T13:59:00Z", "https://a.example/", "rangetwo");
  add("2024-03-04T14:00:00Z", "https://a.example/", "rangekept");
}

// Thumbnails of every record, so that forgetting has them to take as well.
void ForgetPages::makeThumbnails() {
  for (const std::string& day : archive::dayFolders(archive))
    for (const auto& record : archive::storedRecords(archive / day)) {
      auto thumbnail = client().Get("/thumb/" + day + "/" + record.stem + ".webp");
      ASSERT_TRUE(thumbnail);
      ASSERT_EQ(thumbnail->get_header_value("Content-Type"), "image/webp");
    }
}

// What is left once a moment (2024-03-01 10:00), a site (bank.example, in two forms), a day (2024-03-03) and
// a range (2024-03-04 12:00 to 14:00) were forgotten from the ten records.
void ForgetPages::expectOnlyTheNeighboursLeft() {
  EXPECT_FALSE(has("20240301", "2024-03-01T10:00:00Z"));
  EXPECT_TRUE(has("20240301", "2024-03-01T09:00:00Z")) << "the same address's other moment stays";
  EXPECT_FALSE(has("20240301", "2024-03-01T09:30:00Z"));
  EXPECT_FALSE(has("20240302", "2024-03-02T09:00:00Z"));
  EXPECT_TRUE(has("20240302", "2024-03-02T09:10:00Z"));
  EXPECT_FALSE(fs::exists(archive / "20240303")) << "the emptied day folder goes too";
  EXPECT_FALSE(has("20240304", "2024-03-04T12:00:00Z"));
  EXPECT_FALSE(has("20240304", "2024-03-04T13:59:00Z"));
  EXPECT_TRUE(has("20240304", "2024-03-04T14:00:00Z"));
  const std::string settings = tessaron::testing::slurp(root / "config/tessaron/settings.json");
  EXPECT_NE(settings.find("\"bank.example\""), std::string::npos) << settings;
  const std::vector<std::string> gone = {"amberline", "quokkabank", "zebrinabank", "daylilyx",
                                         "dayfernx",  "rangeone",   "rangetwo"};
  const std::vector<std::string> goneStems = {
      "2024-03-01T10:00:00Z", "2024-03-01T09:30:00Z", "2024-03-02T09:00:00Z", "2024-03-03T08:00:00Z",
      "2024-03-03T09:00:00Z", "2024-03-04T12:00:00Z", "2024-03-04T13:59:00Z"};
  EXPECT_TRUE(eventually([&] {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(cache(), ec))
      for (const std::string& stem : goneStems)
        if (entry.path().string().find(stem) != std::string::npos) return false;
    return true;
  })) << "no thumbnail of a forgotten record is left";
  EXPECT_TRUE([&] {
    for (const auto& entry : fs::recursive_directory_iterator(cache()))
      if (entry.path().string().find("2024-03-04T14:00:00Z") != std::string::npos) return true;
    return false;
  }()) << "the neighbour's thumbnail stays";
  EXPECT_TRUE(eventually([&] {
    return std::none_of(gone.begin(), gone.end(), [&](const std::string& word) { return cacheHolds(word); });
  })) << "no file under the cache (index, journal, thumbnails) holds a forgotten word";
  for (const char* word : {"kettlewick", "cobaltmoss", "rangekept"}) {
    auto found = client().Get(std::string("/api/search?q=") + word);
    ASSERT_TRUE(found);
    EXPECT_NE(found->body.find("\"total\":1"), std::string::npos) << word << " stays: " << found->body;
  }
  for (const std::string& word : gone) {
    auto found = client().Get("/api/search?q=" + word);
    ASSERT_TRUE(found);
    EXPECT_NE(found->body.find("\"total\":0"), std::string::npos) << word;
  }
}

TEST_F(ForgetPages, EachKindTakesOutExactlyWhatItSaysAndLeavesNoTrace) {
  addTenRecords();
  start(10);
  makeThumbnails();
  for (const char* word : {"amberline", "quokkabank", "daylilyx", "rangeone", "kettlewick"})
    ASSERT_TRUE(eventually([&] { return cacheHolds(word); })) << word;

  std::string page;
  std::string form = ask("kind=moment&record=20240301/2024-03-01T10:00:00Z", page);
  EXPECT_NE(page.find("This takes 1 record out of your archive"), std::string::npos) << page;
  auto done = post(form);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 200);
  EXPECT_NE(done->body.find("1 record was taken out"), std::string::npos) << done->body;
  EXPECT_FALSE(has("20240301", "2024-03-01T10:00:00Z"));
  EXPECT_TRUE(has("20240301", "2024-03-01T09:00:00Z")) << "the same address's other moment stays";

  form = ask("kind=site&site=bank.example", page);
  EXPECT_NE(page.find("This takes 2 records"), std::string::npos) << "www. is the same site, notbank is not";
  EXPECT_NE(page.find("name=\"exclude\""), std::string::npos) << "the offer to stop recording it";
  done = post(form + "&exclude=yes");
  ASSERT_TRUE(done);
  EXPECT_NE(done->body.find("bank.example is now an excluded site"), std::string::npos) << done->body;
  EXPECT_FALSE(has("20240301", "2024-03-01T09:30:00Z"));
  EXPECT_FALSE(has("20240302", "2024-03-02T09:00:00Z"));
  EXPECT_TRUE(has("20240302", "2024-03-02T09:10:00Z"));
  const std::string settings = tessaron::testing::slurp(root / "config/tessaron/settings.json");
  EXPECT_NE(settings.find("\"bank.example\""), std::string::npos) << settings;

  form = ask("kind=day&day=2024-03-03", page);
  EXPECT_NE(page.find("This takes 2 records"), std::string::npos);
  ASSERT_TRUE(post(form));
  EXPECT_FALSE(fs::exists(archive / "20240303")) << "the emptied day folder goes too";

  form = ask("kind=range&from=2024-03-04T11:59:30&to=2024-03-04T14:00", page);
  EXPECT_NE(page.find("This takes 2 records"), std::string::npos) << "the end is not included";
  ASSERT_TRUE(post(form));
  EXPECT_FALSE(has("20240304", "2024-03-04T12:00:00Z"));
  EXPECT_FALSE(has("20240304", "2024-03-04T13:59:00Z"));
  EXPECT_TRUE(has("20240304", "2024-03-04T14:00:00Z"));

  form = ask("kind=day&day=2024-03-03", page);
  EXPECT_NE(page.find("there is nothing to forget"), std::string::npos);
  EXPECT_EQ(page.find("<form method=\"post\""), std::string::npos) << "no button that would do nothing";

  expectOnlyTheNeighboursLeft();
}

TEST_F(ForgetPages, NothingButItsOwnFormPostedBackTakesAnything) {
  add("2024-03-01T09:00:00Z", "https://a.example/", "kettlewick");
  add("2024-03-01T09:30:00Z", "https://a.example/", "quokkabank");
  start(2);
  std::string page;
  const std::string form = ask("kind=moment&record=20240301/2024-03-01T09:00:00Z", page);
  const std::string otherForm = ask("kind=moment&record=20240301/2024-03-01T09:30:00Z", page);
  ASSERT_NE(form.find("token="), std::string::npos);
  const std::string otherToken = otherForm.substr(otherForm.find("token="));
  const std::string borrowedToken = form.substr(0, form.find("token=")) + otherToken;

  struct Attempt {
    const char* what;
    std::string body;
    httplib::Headers headers;
    const char* contentType = "application/x-www-form-urlencoded";
  };
  const std::vector<Attempt> attempts = {
      {"no Origin (not a browser's form)", form, {}},
      {"another site's page", form, {{"Origin", "http://evil.example"}, {"Sec-Fetch-Site", "cross-site"}}},
      {"a page of another port on this machine", form, {{"Origin", "http://127.0.0.1:8000"}}},
      {"a same-site page the browser marks",
       form,
       {{"Origin", "http://127.0.0.1:5000"}, {"Sec-Fetch-Site", "same-site"}}},
      {"no token", form.substr(0, form.find("&token=")), ownPage},
      {"another request's token", borrowedToken, ownPage},
      {"a made-up token", form.substr(0, form.find("token=")) + "token=" + std::string(64, 'a'), ownPage},
      {"not a form", form, ownPage, "text/plain"},
  };
  for (const Attempt& attempt : attempts) {
    auto answer = client().Post("/forget", attempt.headers, attempt.body, attempt.contentType);
    ASSERT_TRUE(answer) << attempt.what;
    EXPECT_GE(answer->status, 400) << attempt.what;
    EXPECT_TRUE(has("20240301", "2024-03-01T09:00:00Z")) << attempt.what;
  }
  // A link or an image with the fields in its address only ever gets the page that asks.
  auto viaLink = client().Get("/forget?" + form);
  ASSERT_TRUE(viaLink);
  EXPECT_TRUE(has("20240301", "2024-03-01T09:00:00Z"));
  auto onAnotherPath = client().Post("/", ownPage, form, "application/x-www-form-urlencoded");
  ASSERT_TRUE(onAnotherPath);
  EXPECT_EQ(onAnotherPath->status, 405);
  auto tooLarge = post(form + "&pad=" + std::string(20000, 'x'));
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge->status, 413);
  EXPECT_TRUE(has("20240301", "2024-03-01T09:00:00Z"));

  if (::geteuid() == 0) {
    const std::string answer = testing::answerToAnotherUser(
        "POST /forget HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nOrigin: http://127.0.0.1:5000\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
        std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form);
    EXPECT_EQ(answer.rfind("HTTP/1.1 403", 0), 0U) << answer;
    EXPECT_TRUE(has("20240301", "2024-03-01T09:00:00Z")) << "another user";
  }

  auto own = post(form);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, 200) << own->body;
  EXPECT_FALSE(has("20240301", "2024-03-01T09:00:00Z")) << "the form itself works";
  EXPECT_TRUE(has("20240301", "2024-03-01T09:30:00Z"));
}

// Headless Chromium: another site's page tries every way a page has, with the fields of a real form (as if
// its token had leaked), and takes nothing; then a person forgets each kind through the pages' links and
// buttons.
TEST_F(ForgetPages, InARealBrowserAnotherSiteTakesNothingAndThePersonTakesEachKind) {
  addTenRecords();
  start(10);
  makeThumbnails();
  std::string page;
  const std::string leaked = ask("kind=day&day=2024-03-01", page);
  const fs::path checks = fs::path(TESSARON_SOURCE_DIR) / "tests" / "a11y";
  const std::string chromium =
      fs::exists("/usr/lib/chromium/chromium") ? "/usr/lib/chromium/chromium" : "/usr/bin/chromium";
  const std::map<std::string, std::string> environment = {{"HOME", root.string()}, {"PATH", "/usr/bin:/bin"}};
  Child attack({"/usr/bin/node", (checks / "forget_in_browser.js").string(), chromium, "attack", leaked},
               environment, root, "attack");
  ASSERT_EQ(attack.waitExit(std::chrono::seconds(120)), 0) << attack.out() << attack.err();
  for (const char* stem : {"2024-03-01T09:00:00Z", "2024-03-01T09:30:00Z", "2024-03-01T10:00:00Z"})
    EXPECT_TRUE(has("20240301", stem)) << stem;
  std::size_t refused = 0;
  const std::string log = server->err();
  for (std::size_t at = 0; (at = log.find("refused a request to forget", at)) != std::string::npos; ++at)
    ++refused;
  EXPECT_GE(refused, 4U) << "the forms and the scripts' requests reached the server and were refused\n"
                         << log;

  Child person({"/usr/bin/node", (checks / "forget_in_browser.js").string(), chromium, "person"}, environment,
               root, "person");
  ASSERT_EQ(person.waitExit(std::chrono::seconds(120)), 0) << person.out() << person.err();
  EXPECT_NE(person.out().find("person: site ok: Forgotten 2 records were taken out"), std::string::npos)
      << person.out();
  expectOnlyTheNeighboursLeft();
}

// `du -sB1` of a folder: the bytes it takes on the disk.
std::uintmax_t du(const fs::path& folder) {
  FILE* out = ::popen(("du -sB1 '" + folder.string() + "'").c_str(), "r");
  unsigned long long bytes = 0;
  if (!out || std::fscanf(out, "%llu", &bytes) != 1) ADD_FAILURE() << "du " << folder;
  if (out) ::pclose(out);
  return bytes;
}

TEST_F(ForgetPages, TheStoragePageMeasuresWhatDuAndACountOfRecordsSay) {
  add("2024-03-01T09:00:00Z", "https://a.example/", "one");
  add("2024-03-01T09:30:00Z", "https://a.example/", "two");
  add("2024-03-02T09:00:00Z", "https://a.example/", "three");
  testing::writeFile(archive / "20240302" / "2024-03-02T10:00:00Z.png", std::string(300000, 'p'));
  testing::writeFile(archive / "20240305" / "2024-03-05T10:00:00Z.txt.partial", "https://a.example/\n");
  testing::writeFile(archive / "20240305" / "notes.txt", "the person's own file, not a record");
  start(3);
  auto answer = client().Get("/storage");
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, 200);
  const std::string& page = answer->body;
  EXPECT_NE(page.find("(" + std::to_string(du(archive)) + " bytes): 5 records in 3 days"), std::string::npos)
      << page;
  for (const auto& [day, records] :
       std::vector<std::pair<std::string, int>>{{"2024-03-01", 2}, {"2024-03-02", 2}, {"2024-03-05", 1}}) {
    const std::string folder = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
    const std::string row = day + "</a></th><td>" + std::to_string(records) + "</td><td>";
    const std::size_t at = page.find(row);
    ASSERT_NE(at, std::string::npos) << row;
    const std::string bytes = "<td>" + std::to_string(du(archive / folder)) + "</td></tr>";
    EXPECT_EQ(page.find(bytes, at), page.find("</tr>", at) - bytes.size() + 5) << day;
  }
  EXPECT_NE(page.find("No budget is set"), std::string::npos);
}

TEST(StorageOutlook, TheFirstDayTheBudgetRemovesAtTheLastWeeksRate) {
  using namespace std::chrono;
  archive::ArchiveRoom room;
  for (int day = 1; day <= 7; ++day)
    room.days.push_back({"2024030" + std::to_string(day), 140'000'000, 100'000'000, 50});
  room.fileBytes = 700'000'000;
  const sys_days today = 2024y / March / 7;
  settings::Settings budget;
  EXPECT_FALSE(outlook(room, budget, today).firstRemoval) << "no budget";
  EXPECT_EQ(outlook(room, budget, today).bytesPerDay, 140'000'000U);

  budget.keepDays = 30;
  EXPECT_EQ(outlook(room, budget, today).firstRemoval, sys_days(2024y / March / 31));
  budget.maxArchiveGB = 1;  // 300 MB left at 100 MB a day: the fourth day from now crosses it
  const BudgetOutlook both = outlook(room, budget, today);
  EXPECT_EQ(both.firstRemoval, sys_days(2024y / March / 11));
  EXPECT_EQ(both.rule, "maxArchiveGB");
  budget.maxArchiveGB = 0.5;
  EXPECT_EQ(outlook(room, budget, today).firstRemoval, today) << "over the limit already";

  budget = {};
  budget.keepDays = 3;
  EXPECT_EQ(outlook(room, budget, today).firstRemoval, today) << "days older than kept go at the next check";
  room.days = {{"20240307", 1000, 1000, 1}};
  EXPECT_FALSE(outlook(room, budget, today).firstRemoval) << "the day being written is never removed";
}

}  // namespace
}  // namespace tessaron::search
