// Faults of the index cache, against the keeper in process and the real server: a damaged index, a cache
// that is read-only or fills up (small tmpfs mounts, which need root), and hostile queries beside normal
// ones.
#include "searchserver/index_keeper.h"
#include "archive/record_file.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/process_harness.h"

namespace tessaron::search {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tessaron::testing::Child;
using tessaron::testing::eventually;

class KeeperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-keeper-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    archive = root / "AppData";
  }
  void TearDown() override {
    stopKeeper();
    for (const fs::path& mount : mounts)
      ::umount2(mount.c_str(), MNT_DETACH);
    fs::remove_all(root);
  }

  // Records spread over days, each with a word of its own and some common ones.
  void makeArchive(int records, int wordsEach = 40) {
    for (int i = 0; i < records; ++i) {
      const std::string day = "202403" + std::string(i % 20 < 9 ? "0" : "") + std::to_string(i % 20 + 1);
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2024-03-%02dT10:%02d:%02dZ", i % 20 + 1, i / 60 % 60, i % 60);
      std::string body = "unique" + std::to_string(i);
      for (int w = 0; w < wordsEach; ++w)
        body += " common word" + std::to_string((i * 7 + w) % 997);
      fs::create_directories(archive / day);
      std::ofstream(archive / day / (std::string(stamp) + ".txt")) << tessaron::archive::recordText(
          "https://site" + std::to_string(i % 50) + ".example/" + std::to_string(i),
          std::string(day) + "/" + stamp, stamp, "Title " + std::to_string(i), body);
    }
  }

  // A tmpfs of its own at `folder`, or false where mounting is not allowed (not root).
  bool mountTmpfs(const fs::path& folder, const std::string& options) {
    fs::create_directories(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    mounts.push_back(folder);
    return true;
  }
  bool remount(const fs::path& folder, unsigned long flags, const std::string& options) {
    return ::mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT | flags, options.c_str()) == 0;
  }

  // Starts a keeper on its own thread; it runs until stopKeeper or the end of the test.
  IndexKeeper* startKeeper() {
    stopKeeper();
    keeper = std::make_unique<IndexKeeper>(
        archive, IndexPlaces{root / "cache" / "index.sqlite", root / "memory" / "index.sqlite"},
        [this](const std::string& line) {
          std::lock_guard lock(logMutex);
          log.push_back(line);
        });
    keeper->retryPeriod = 200ms;
    running = std::jthread([running = keeper.get()](std::stop_token stop) { running->run(stop, 100ms); });
    return keeper.get();
  }
  void stopKeeper() {
    running = {};
    keeper.reset();
  }
  std::int64_t found(IndexKeeper& target, const std::string& text) {
    return target.search({.text = text}).total;
  }
  std::string logText() {
    std::lock_guard lock(logMutex);
    std::string text;
    for (const auto& line : log)
      text += line + "\n";
    return text;
  }
  bool logged(const std::string& text) {
    std::lock_guard lock(logMutex);
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& line) { return line.find(text) != line.npos; });
  }

  fs::path root, archive;
  std::vector<fs::path> mounts;
  std::mutex logMutex;
  std::vector<std::string> log;
  std::unique_ptr<IndexKeeper> keeper;
  std::jthread running;
};

TEST_F(KeeperTest, ADamagedIndexIsSetAsideAndRebuiltWhileSearchesGoOn) {
  makeArchive(600);
  startKeeper();
  ASSERT_TRUE(eventually([&] { return keeper->progress().done && found(*keeper, "unique599") == 1; }));
  stopKeeper();
  // Every fourth 4 KiB page of the finished index after the first overwritten with noise: spread over the
  // whole file, so that the searches below meet the damage whatever the layout (a few random pages could all
  // fall among free ones, which nothing reads).
  const fs::path file = root / "cache" / "index.sqlite";
  const auto size = fs::file_size(file);
  std::mt19937 random(7);
  std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
  for (std::uintmax_t page = 1; page < size / 4096; page += 4) {
    const auto at = page * 4096;
    std::string noise(4096, '\0');
    for (char& c : noise)
      c = static_cast<char>(random());
    bytes.seekp(static_cast<std::streamoff>(at));
    bytes.write(noise.data(), static_cast<std::streamsize>(noise.size()));
  }
  bytes.close();

  startKeeper();
  // Searching the damaged index finds the damage if the indexer has not already; either way it is rebuilt.
  ASSERT_TRUE(eventually(
      [&] {
        for (int i = 0; i < 600; i += 37)
          found(*keeper, "unique" + std::to_string(i));
        return logged("is damaged");
      },
      30s))
      << logText();
  // Set aside once the damaged index is closed, a moment after the fault is said.
  EXPECT_TRUE(eventually([&] { return fs::exists(file.string() + ".damaged"); }));
  EXPECT_TRUE(eventually([&] { return keeper->progress().done && keeper->notice().empty(); }, 30s));
  for (int i = 0; i < 600; i += 37)
    EXPECT_EQ(found(*keeper, "unique" + std::to_string(i)), 1) << i;
}

TEST_F(KeeperTest, AReadOnlyCacheServesFromMemoryAndRecoversByItself) {
  makeArchive(200);
  if (!mountTmpfs(root / "cache", "size=64m")) GTEST_SKIP() << "mounting needs root";
  ASSERT_TRUE(remount(root / "cache", MS_RDONLY, "size=64m"));
  startKeeper();
  ASSERT_TRUE(eventually([&] { return found(*keeper, "unique150") == 1; }));
  EXPECT_NE(keeper->notice().find("is kept in memory"), std::string::npos) << keeper->notice();
  EXPECT_TRUE(logged("cannot be written"));
  EXPECT_TRUE(fs::exists(root / "memory" / "index.sqlite"));

  ASSERT_TRUE(remount(root / "cache", 0, "size=64m"));
  EXPECT_TRUE(eventually([&] { return logged("can be written again"); })) << logText();
  EXPECT_TRUE(eventually([&] { return keeper->notice().empty() && found(*keeper, "unique150") == 1; }));
  EXPECT_TRUE(fs::exists(root / "cache" / "index.sqlite"));
}

TEST_F(KeeperTest, ACacheThatFillsDuringTheFirstBuildGivesWayToMemoryUntilThereIsRoom) {
  makeArchive(3000, 120);
  if (!mountTmpfs(root / "cache", "size=1m")) GTEST_SKIP() << "mounting needs root";
  startKeeper();
  ASSERT_TRUE(eventually([&] { return logged("cannot be written"); }, 30s));
  ASSERT_TRUE(eventually([&] { return keeper->progress().done && found(*keeper, "unique2999") == 1; }, 60s));
  EXPECT_FALSE(fs::exists(root / "cache" / "index.sqlite")) << "the half-built cache gives its space back";

  ASSERT_TRUE(remount(root / "cache", 0, "size=256m"));
  EXPECT_TRUE(eventually([&] { return logged("can be written again"); }, 30s));
  EXPECT_TRUE(eventually([&] { return found(*keeper, "unique17") == 1 && keeper->notice().empty(); }));
}

TEST_F(KeeperTest, HostileQueriesStopInTimeAndOthersAreAnsweredMeanwhile) {
  makeArchive(3000, 200);
  startKeeper();
  ASSERT_TRUE(eventually([&] { return keeper->progress().done; }, 60s));
  std::string repeated;
  for (int i = 0; i < 255; ++i)
    repeated += "common ";
  EXPECT_EQ(queryTerms(repeated).size(), 1U) << "a repeated word is one term";

  // Many different common words: a query that has to look at every record.
  std::string wide;
  for (int i = 0; i < 30; ++i)
    wide += "word" + std::to_string(i) + " OR ";
  std::atomic<bool> hostileDone{false};
  std::chrono::milliseconds hostileTook{};
  std::thread hostile([&] {
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
      keeper->search({.text = "\"common word1 common\" " + wide, .newestFirst = false});
    hostileTook =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    hostileDone = true;
  });
  int answered = 0;
  while (!hostileDone) {
    EXPECT_EQ(found(*keeper, "unique2500"), 1);
    ++answered;
  }
  hostile.join();
  EXPECT_GT(answered, 0);
  EXPECT_LT(hostileTook, 5 * (searchBudget + 500ms)) << "each search stops at its budget";
}

TEST_F(KeeperTest, AServerWithADamagedCacheNeverDies) {
  makeArchive(400);
  const std::map<std::string, std::string> environment{{"XDG_CACHE_HOME", (root / "xdg-cache").string()},
                                                       {"XDG_RUNTIME_DIR", (root / "runtime").string()}};
  {
    Child server({TESSARON_SERVER_PATH, "--appdata=" + archive.string()}, environment, root, "server-first");
    ASSERT_TRUE(eventually([&] { return server.errHas("indexed 400"); })) << server.err();
    server.signal(SIGTERM);
    server.waitExit(10s);
  }
  fs::path file;
  for (const auto& entry : fs::directory_iterator(root / "xdg-cache" / "tessaron"))
    if (entry.path().extension() == ".sqlite") file = entry.path();
  ASSERT_FALSE(file.empty());
  std::mt19937 random(11);
  for (int start = 0; start < 5; ++start) {
    {
      const auto size = fs::file_size(file);
      std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
      for (int page = 0; page < 20; ++page) {
        std::string noise(4096, '\0');
        for (char& c : noise)
          c = static_cast<char>(random());
        bytes.seekp(static_cast<std::streamoff>((random() % (size / 4096)) * 4096));
        bytes.write(noise.data(), 4096);
      }
    }
    Child server({TESSARON_SERVER_PATH, "--appdata=" + archive.string()}, environment, root,
                 "server-" + std::to_string(start));
    httplib::Client client("127.0.0.1", 5000);
    ASSERT_TRUE(eventually([&] {
      auto page = client.Get("/?q=unique399");
      return page && page->status == 200;
    })) << server.err();
    EXPECT_TRUE(eventually([&] {
      auto api = client.Get("/api/search?q=unique" + std::to_string(start * 50));
      return api && api->status == 200 && nlohmann::json::parse(api->body)["total"] == 1;
    })) << server.err();
    EXPECT_TRUE(server.running()) << server.err();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(10s), 0) << server.err();
    if (!fs::exists(file)) break;  // the last rebuild has not written its file yet: nothing more to damage
  }
}

}  // namespace
}  // namespace tessaron::search
