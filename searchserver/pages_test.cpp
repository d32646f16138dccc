// The timeline, the record view, grouped results and thumbnails: the index's reads and the thumbnail maker in
// process, and every route over real HTTP against the real server, with good and hostile input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <spng.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "searchserver/index.h"
#include "searchserver/index_keeper.h"
#include "searchserver/indexer.h"
#include "searchserver/screenshot_hashes.h"
#include "searchserver/server_test_support.h"
#include "searchserver/thumbnails.h"
#include "searchserver/web.h"
#include "tests/process_harness.h"

namespace tessaron::search {
namespace {

namespace fs = std::filesystem;
using tessaron::testing::Child;
using tessaron::testing::eventually;

using testing::writeFile;

// A 320x200 PNG: light to dark from left to right (or, `upward`, from the bottom up), and one black dot at
// `dot` (a near-duplicate moves only the dot).
void writePng(const fs::path& file, int dot, bool upward = false) {
  std::vector<std::uint8_t> pixels(320 * 200 * 4, 255);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 320; ++x) {
      std::uint8_t* p = &pixels[static_cast<std::size_t>(y * 320 + x) * 4];
      const int level = upward ? y * 255 / 200 : 255 - x * 255 / 320;
      p[0] = p[1] = p[2] = static_cast<std::uint8_t>(x == dot && y == dot ? 0 : level);
    }
  spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr header{320, 200, 8, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 0, 0, 0};
  spng_set_ihdr(context, &header);
  spng_encode_image(context, pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  int error = 0;
  void* png = spng_get_png_buffer(context, &size, &error);
  writeFile(file, std::string(static_cast<const char*>(png), size));
  free(png);
  spng_ctx_free(context);
}

// A made-up archive: one page read three times, another once, and a day with one record. Screenshots are
// real PNGs, except one that is damaged and one that is missing.
class Archive : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-pages-" + std::to_string(::getpid()));
    fs::remove_all(root);
    archive = root / "AppData";
    add("20240301", "2024-03-01T09:00:00Z", "https://a.example/x", "Alpha notes - Chromium", "kettle copper");
    add("20240301", "2024-03-01T09:30:00Z", "https://b.example/", "Beta \u2014 Mozilla Firefox",
        "kettle brass");
    add("20240301", "2024-03-01T10:15:00Z", "https://a.example/x", "Alpha notes - Chromium", "kettle steam");
    add("20240301", "2024-03-01T10:16:00Z", "https://a.example/x", "Alpha notes - Chromium", "kettle steam");
    add("20240303", "2024-03-03T08:00:00Z", "https://c.example/", "Gamma", "lamp");
    writeFile(archive / "20240301/2024-03-01T10:15:00Z.png", "\x89PNG\r\n\x1a\n damaged");
    fs::remove(archive / "20240301/2024-03-01T10:16:00Z.png");
  }
  void TearDown() override { fs::remove_all(root); }

  void add(const std::string& day, const std::string& stem, const std::string& address,
           const std::string& title, const std::string& body) {
    testing::writeRecord(archive, day, stem, address, title, body);
  }

  fs::path root, archive;
};

TEST_F(Archive, TheIndexGroupsVisitsAndReadsDaysNeighboursAndVisits) {
  Index index(root / "cache" / "index.sqlite");
  Indexer(archive, index).scanAll();

  Results grouped = index.search({.text = "kettle", .groupByAddress = true});
  ASSERT_EQ(grouped.hits.size(), 2U);
  EXPECT_EQ(grouped.total, 2);
  EXPECT_EQ(grouped.hits[0].recordPath, "20240301/2024-03-01T10:16:00Z") << "the newest visit stands for it";
  ASSERT_EQ(grouped.hits[0].visits.size(), 3U);
  EXPECT_EQ(grouped.hits[0].visits[2].recordPath, "20240301/2024-03-01T09:00:00Z");
  EXPECT_EQ(grouped.hits[1].address, "https://b.example/");
  EXPECT_TRUE(index.search({.text = "kettle"}).hits[0].visits.empty()) << "ungrouped as before";
  EXPECT_EQ(index.search({.text = "steam", .groupByAddress = true}).hits[0].visits.size(), 2U)
      << "only matching visits";
  EXPECT_EQ(index.search({.groupByAddress = true}).total, 3) << "no words: every address";
  EXPECT_EQ(index.search({.text = "kettle", .groupByAddress = true, .offset = 1}).hits.size(), 1U);

  const auto day = index.dayRecords("20240301", 100);
  ASSERT_EQ(day.size(), 4U);
  EXPECT_EQ(day.front().recordPath, "20240301/2024-03-01T09:00:00Z") << "in time order";
  EXPECT_EQ(index.dayRecords("20240301", 2).size(), 2U);
  EXPECT_TRUE(index.dayRecords("20240302", 100).empty());

  const auto [previous, next] = index.neighbours("20240301/2024-03-01T10:16:00Z");
  ASSERT_TRUE(previous && next);
  EXPECT_EQ(previous->recordPath, "20240301/2024-03-01T10:15:00Z");
  EXPECT_EQ(next->recordPath, "20240303/2024-03-03T08:00:00Z") << "across days";
  EXPECT_FALSE(index.neighbours("20240303/2024-03-03T08:00:00Z").second);
  EXPECT_FALSE(index.neighbours("20240301/missing").first);

  EXPECT_EQ(index.visitsOf("https://a.example/x", 10).size(), 3U);
  EXPECT_EQ(index.adjacentDays("20240302"),
            std::make_pair(std::optional<std::string>("20240301"), std::optional<std::string>("20240303")));
  EXPECT_EQ(index.adjacentDays("20240301").first, std::nullopt);
}

TEST_F(Archive, LooksLikeThisFindsTheNearDuplicatesOnceTheScreenshotsAreHashed) {
  // 09:00 and 09:30 differ by a dot; 03-03 is another picture; 10:15 is damaged and 10:16 missing.
  writePng(archive / "20240301/2024-03-01T09:00:00Z.png", 5);
  writePng(archive / "20240301/2024-03-01T09:30:00Z.png", 150);
  writePng(archive / "20240303/2024-03-03T08:00:00Z.png", 5, true);
  Index index(root / "cache" / "index.sqlite");
  Indexer indexer(archive, index);
  indexer.scanAll();
  EXPECT_FALSE(index.looksLike("20240301/2024-03-01T09:00:00Z", 10)) << "not hashed yet";

  ScreenshotHasher hasher(archive);
  EXPECT_EQ(hasher.hashSome(index, std::chrono::seconds(30)), 5U);
  EXPECT_EQ(hasher.hashSome(index, std::chrono::seconds(30)), 0U) << "nothing new: nothing looked at again";
  const auto alike = index.looksLike("20240301/2024-03-01T09:00:00Z", 10);
  ASSERT_TRUE(alike);
  ASSERT_EQ(alike->size(), 1U);
  EXPECT_EQ(alike->front().recordPath, "20240301/2024-03-01T09:30:00Z");
  EXPECT_TRUE(index.looksLike("20240303/2024-03-03T08:00:00Z", 10)->empty());
  EXPECT_TRUE(index.looksLike("20240301/2024-03-01T10:15:00Z", 10)->empty()) << "a damaged screenshot";

  add("20240304", "2024-03-04T08:00:00Z", "https://d.example/", "Delta", "new");
  writePng(archive / "20240304/2024-03-04T08:00:00Z.png", 90);
  indexer.scanChanged();
  EXPECT_EQ(hasher.hashSome(index, std::chrono::seconds(30)), 1U) << "only the new record";
  EXPECT_EQ(index.looksLike("20240301/2024-03-01T09:00:00Z", 10)->size(), 2U);
  fs::remove(archive / "20240301/2024-03-01T09:30:00Z.txt");
  indexer.scanChanged();
  EXPECT_EQ(index.looksLike("20240301/2024-03-01T09:00:00Z", 10)->size(), 1U) << "a deleted record goes";
}

TEST(ThumbnailPictures, ScaleByAveragingAndKeepTheTopOfTallPictures) {
  // Left half red, right half blue, one white row in a thousand.
  RgbaPicture wide{1920, 1080, std::vector<std::uint8_t>(1920 * 1080 * 4, 255)};
  for (std::uint32_t y = 0; y < 1080; ++y)
    for (std::uint32_t x = 0; x < 1920; ++x) {
      std::uint8_t* p = &wide.pixels[(y * 1920 + x) * 4];
      if (y % 1000 == 999) continue;
      p[0] = x < 960 ? 255 : 0;
      p[1] = 0;
      p[2] = x < 960 ? 0 : 255;
    }
  const RgbaPicture small = scaledToWidth(wide, 320);
  ASSERT_EQ(small.width, 320U);
  ASSERT_EQ(small.height, 180U);
  EXPECT_EQ(small.pixels[(90 * 320 + 10) * 4 + 0], 255);
  EXPECT_EQ(small.pixels[(90 * 320 + 310) * 4 + 2], 255);
  EXPECT_EQ(small.pixels[(90 * 320 + 310) * 4 + 0], 0);
  EXPECT_NEAR(small.pixels[(166 * 320 + 10) * 4 + 1], 255 / 6, 2) << "a white row averaged into its six";

  const RgbaPicture tall = scaledToWidth({640, 4000, std::vector<std::uint8_t>(640 * 4000 * 4, 7)}, 320);
  EXPECT_EQ(tall.height, 640U) << "at most twice as high as wide";
  EXPECT_EQ(tall.pixels.back(), 7);
  EXPECT_EQ(scaledToWidth({100, 50, std::vector<std::uint8_t>(100 * 50 * 4)}, 320).width, 100U);

  const std::string webp = encodeWebp(small, 70);
  ASSERT_GT(webp.size(), 12U);
  EXPECT_EQ(webp.substr(0, 4), "RIFF");
  EXPECT_EQ(webp.substr(8, 4), "WEBP");
}

TEST_F(Archive, ThumbnailsAreMadeOnceAndKeptAndBadScreenshotsGetNone) {
  Thumbnails thumbnails(archive, root / "cache" / "thumbnails");
  const auto made = thumbnails.get("20240301", "2024-03-01T09:00:00Z");
  ASSERT_TRUE(made);
  EXPECT_TRUE(fs::exists(root / "cache/thumbnails/20240301/2024-03-01T09:00:00Z.webp"));
  const fs::path kept = root / "cache/thumbnails/20240301/2024-03-01T09:00:00Z.webp";
  writeFile(kept, "kept");
  EXPECT_EQ(thumbnails.get("20240301", "2024-03-01T09:00:00Z"), "kept") << "served from the cache";
  fs::remove(archive / "20240301/2024-03-01T09:00:00Z.png");
  EXPECT_FALSE(thumbnails.get("20240301", "2024-03-01T09:00:00Z")) << "a forgotten screenshot's is not shown";
  EXPECT_FALSE(thumbnails.get("20240301", "2024-03-01T10:15:00Z")) << "damaged";
  EXPECT_FALSE(thumbnails.get("20240301", "2024-03-01T10:16:00Z")) << "missing";
  fs::create_symlink(archive / "20240301/2024-03-01T09:30:00Z.png",
                     archive / "20240301/2024-03-01T11:00:00Z.png");
  EXPECT_FALSE(thumbnails.get("20240301", "2024-03-01T11:00:00Z")) << "a symbolic link is not followed";
  // A cache that cannot be written still gives the picture.
  writeFile(root / "blocked", "a file where the folder should be");
  EXPECT_TRUE(Thumbnails(archive, root / "blocked").get("20240301", "2024-03-01T09:30:00Z"));

  // Forgetting takes the thumbnails with the records: one by one, by day, and days gone while none ran.
  ASSERT_TRUE(thumbnails.get("20240301", "2024-03-01T09:30:00Z"));
  writeFile(root / "cache/thumbnails/20240302/2024-03-02T08:00:00Z.webp", "of a day");
  writeFile(root / "cache/thumbnails/19990101/1999-01-01T08:00:00Z.webp", "of a day deleted meanwhile");
  thumbnails.forget({"20240301/2024-03-01T09:30:00Z"}, {"20240302"});
  EXPECT_FALSE(fs::exists(root / "cache/thumbnails/20240301/2024-03-01T09:30:00Z.webp"));
  EXPECT_FALSE(fs::exists(root / "cache/thumbnails/20240302"));
  thumbnails.forgetGoneDays();
  EXPECT_FALSE(fs::exists(root / "cache/thumbnails/19990101"));
  EXPECT_TRUE(fs::exists(root / "cache/thumbnails/20240301")) << "its day is still in the archive";
}

TEST_F(Archive, ADayThatCannotBeReadIsNeverShownAsAnEmptyOne) {
  // A keeper that has no index yet answers every read with nothing, as a busy or rebuilt one does.
  IndexKeeper keeper(archive, {root / "cache" / "index.sqlite", root / "memory" / "index.sqlite"},
                     [](const std::string&) {});
  settings::SettingsFile settings(root / "settings.json", [](const std::string&) {});
  Thumbnails thumbnails(archive, root / "cache" / "thumbnails");
  HttpRequest request;
  request.method = "GET";
  request.path = "/timeline";
  request.params.emplace("day", "2024-03-01");
  request.headers.emplace("host", "127.0.0.1:5000");
  const HttpResponse response = makeHandler(archive, keeper, settings, thumbnails)(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_NE(response.body.find("This day cannot be read just now"), std::string::npos);
  EXPECT_EQ(response.body.find("Nothing was recorded"), std::string::npos);
}

// The real program on 127.0.0.1:5000 over the made-up archive.
class Pages : public Archive {
 protected:
  void SetUp() override {
    Archive::SetUp();
    server = testing::startServer(root, archive, 5, {{"TZ", "UTC"}});
    ASSERT_TRUE(server) << "the server did not index the archive";
  }
  void TearDown() override {
    server.reset();
    Archive::TearDown();
  }
  httplib::Result get(const std::string& path) { return httplib::Client("127.0.0.1", 5000).Get(path); }
  std::unique_ptr<Child> server;
};

TEST_F(Pages, TimelineShowsADayByTheHourWithItsNeighbours) {
  auto day = get("/timeline?day=2024-03-01");
  ASSERT_TRUE(day);
  ASSERT_EQ(day->status, 200);
  const std::string& html = day->body;
  EXPECT_NE(html.find("<h2>09:00</h2>"), std::string::npos);
  EXPECT_NE(html.find("<h2>10:00</h2>"), std::string::npos);
  EXPECT_LT(html.find("t2024-03-01T09:00:00Z"), html.find("t2024-03-01T10:16:00Z")) << "in time order";
  EXPECT_NE(html.find(">Alpha notes</span>"), std::string::npos) << "without the browser's name";
  EXPECT_EQ(html.find("Mozilla Firefox"), std::string::npos);
  EXPECT_NE(html.find("href=\"/timeline?day=2024-03-03\""), std::string::npos) << "the next day with records";
  EXPECT_NE(html.find("src=\"/thumb/20240301/2024-03-01T09:00:00Z.webp\""), std::string::npos);
  EXPECT_NE(get("/timeline?day=2024-03-02")->body.find("Nothing was recorded on this day."),
            std::string::npos);
  EXPECT_EQ(get("/timeline")->status, 200) << "today";
  for (const char* bad : {"/timeline?day=2024-13-45x", "/timeline?day=../../etc", "/timeline?day=99999999999",
                          "/timeline?day=2024-03-01%00", "/timeline?day=%ff%fe"})
    EXPECT_EQ(get(bad)->status, 400) << bad;
}

TEST_F(Pages, RecordViewShowsTheRecordItsNeighboursAndOtherVisits) {
  auto view = get("/record/20240301/2024-03-01T10:15:00Z");
  ASSERT_TRUE(view);
  ASSERT_EQ(view->status, 200);
  const std::string& html = view->body;
  EXPECT_NE(html.find("<h1>Alpha notes</h1>"), std::string::npos);
  EXPECT_NE(html.find("href=\"https://a.example/x\""), std::string::npos);
  EXPECT_NE(html.find("kettle steam"), std::string::npos) << "the record's words";
  EXPECT_NE(html.find("src=\"/shot/20240301/2024-03-01T10:15:00Z.png\""), std::string::npos);
  EXPECT_NE(html.find("href=\"/record/20240301/2024-03-01T09:30:00Z\" rel=\"prev\""), std::string::npos);
  EXPECT_NE(html.find("href=\"/record/20240301/2024-03-01T10:16:00Z\" rel=\"next\""), std::string::npos);
  EXPECT_NE(html.find("<h2>Other visits</h2>"), std::string::npos);
  EXPECT_NE(html.find("href=\"/record/20240301/2024-03-01T09:00:00Z\""), std::string::npos);
  EXPECT_NE(html.find("href=\"/timeline?day=2024-03-01#t2024-03-01T10:15:00Z\""), std::string::npos);
  EXPECT_NE(html.find("<h2>Looks like this</h2>"), std::string::npos);
  // The sample screenshots are all the same picture: once hashed, the others look like this one.
  EXPECT_TRUE(eventually([&] {
    return get("/record/20240301/2024-03-01T09:00:00Z")
               ->body.find("href=\"/record/20240301/2024-03-01T09:30:00Z\"><img") != std::string::npos;
  })) << get("/record/20240301/2024-03-01T09:00:00Z")->body;

  fs::remove(archive / "20240301/2024-03-01T09:00:00Z.txt");
  EXPECT_EQ(get("/record/20240301/2024-03-01T09:00:00Z")->status, 404) << "deleted since indexing";
  for (const char* bad :
       {"/record/20240301/../../secret", "/record/20240301/2024-03-01T10:15:00Z.txt",
        "/record/2024030/2024-03-01T10:15:00Z", "/record/20240301/2024-03-01T10:15:00Z-99999999",
        "/record/20240301/%2e%2e%2fsecret"})
    EXPECT_EQ(get(bad)->status, 404) << bad;
}

TEST_F(Pages, ThumbnailsAnswerWithAPictureAlways) {
  auto thumb = get("/thumb/20240301/2024-03-01T09:00:00Z.webp");
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->status, 200);
  EXPECT_EQ(thumb->get_header_value("Content-Type"), "image/webp");
  EXPECT_EQ(thumb->body.substr(8, 4), "WEBP");
  for (const char* placeholder :
       {"/thumb/20240301/2024-03-01T10:15:00Z.webp", "/thumb/20240301/2024-03-01T10:16:00Z.webp",
        "/thumb/20240309/2024-03-09T10:16:00Z.webp"}) {
    auto answer = get(placeholder);
    EXPECT_EQ(answer->status, 200) << placeholder;
    EXPECT_EQ(answer->get_header_value("Content-Type"), "image/svg+xml") << placeholder;
  }
  EXPECT_EQ(get("/thumb/20240301/..%2F..%2Fsecret.webp")->status, 404);
}

TEST_F(Pages, ResultsAreGroupedByAddressOnThePageAndOnRequestInTheApi) {
  const std::string page = get("/?q=kettle")->body;
  EXPECT_NE(page.find("2 pages for"), std::string::npos) << page;
  EXPECT_NE(page.find("<summary>3 visits</summary>"), std::string::npos);
  EXPECT_NE(page.find("href=\"/timeline?day=2024-03-01#t2024-03-01T10:16:00Z\""), std::string::npos)
      << "each result links to its moment";
  EXPECT_NE(page.find("<a class=\"open\" href=\"/record/20240301/2024-03-01T10:16:00Z\">Alpha notes</a>"),
            std::string::npos);

  auto plain = nlohmann::json::parse(get("/api/search?q=kettle")->body);
  EXPECT_EQ(plain["total"], 4) << "the API is unchanged by default";
  EXPECT_FALSE(plain["results"][0].contains("visits"));
  auto grouped = nlohmann::json::parse(get("/api/search?q=kettle&group=address")->body);
  EXPECT_EQ(grouped["total"], 2);
  EXPECT_EQ(grouped["results"][0]["visits"].size(), 3U);
  EXPECT_EQ(get("/api/search?q=kettle&group=site")->status, 400);

  // Back from a later page: to newer visits in time order, to better matches by relevance.
  const std::string later = get("/?q=kettle&page=2")->body;
  EXPECT_NE(later.find("\u2190 Newer</a>"), std::string::npos) << later;
  const std::string byRelevance = get("/?q=kettle&order=relevance&page=2")->body;
  EXPECT_NE(byRelevance.find("\u2190 Better matches</a>"), std::string::npos) << byRelevance;
  EXPECT_EQ(byRelevance.find("Newer"), std::string::npos) << "relevance has no newer and older";
}

TEST_F(Pages, OnlyTheServersOwnScriptMayRun) {
  auto script = get("/app.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  const std::string policy = get("/timeline?day=2024-03-01")->get_header_value("Content-Security-Policy");
  EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
  EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos);
  for (const char* path : {"/", "/timeline?day=2024-03-01", "/record/20240301/2024-03-01T09:30:00Z"}) {
    const std::string html = get(path)->body;
    EXPECT_EQ(html.find("<script>"), std::string::npos) << path << ": no inline script";
    EXPECT_NE(html.find("<script src=\"/app.js\" defer></script>"), std::string::npos) << path;
  }
}

// Headless Chromium over every kind of page: axe-core finds no violation in the light or the dark colour
// scheme, and the keys work. The screenshots are kept as test artifacts (the README shows two of them).
TEST_F(Pages, AxeFindsNoViolationsInLightOrDarkAndTheKeysWork) {
  const fs::path checks = fs::path(TESSARON_SOURCE_DIR) / "tests" / "a11y";
  ASSERT_TRUE(fs::exists(checks / "node_modules" / "axe-core")) << "scripts/setup installs the page checks";
  const fs::path artifacts = fs::path(TESSARON_ARTIFACT_DIR) / "pages";
  fs::create_directories(artifacts);
  const std::string chromium =
      fs::exists("/usr/lib/chromium/chromium") ? "/usr/lib/chromium/chromium" : "/usr/bin/chromium";
  const std::string site = "http://127.0.0.1:5000";
  // The thumbnails are made first, so the screenshots show them.
  for (const char* stem : {"2024-03-01T09:00:00Z", "2024-03-01T09:30:00Z"})
    ASSERT_EQ(get(std::string("/thumb/20240301/") + stem + ".webp")->status, 200);
  Child node(
      {"/usr/bin/node", (checks / "check_pages.js").string(), chromium, artifacts.string(),
       "search=" + site + "/", "results=" + site + "/?q=kettle",
       "timeline=" + site + "/timeline?day=2024-03-01",
       "record=" + site + "/record/20240301/2024-03-01T09:30:00Z", "empty=" + site + "/?q=nothing-here",
       "storage=" + site + "/storage", "forget=" + site + "/forget?kind=site&site=example.org"},
      {{"HOME", root.string()}, {"PATH", "/usr/bin:/bin"}}, root, "checks");
  EXPECT_EQ(node.waitExit(std::chrono::seconds(180)), 0) << node.out() << node.err();
  EXPECT_NE(node.out().find("keys: \"/\", arrows and Enter walked"), std::string::npos) << node.out();
  EXPECT_TRUE(fs::exists(artifacts / "timeline-light.png"));
}

}  // namespace
}  // namespace tessaron::search
