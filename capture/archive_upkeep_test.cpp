// Forgetting recent records and the disk budget, on made-up archives and the simulated clock.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <latch>

#include "capture/capture_test_support.h"

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::sim::AXApplication;
using platform::sim::TreeBuilder;
using platform::sim::Url;
using platform::sim::Value;

class ArchiveUpkeep : public testing::SimDesktopTest {
 protected:
  // A record of the stem in a day folder: its text names `address`, its image holds `imageBytes` bytes.
  fs::path addRecord(const std::string& day, const std::string& stem,
                     const std::string& address = "https://a.example/", std::size_t imageBytes = 10) {
    const fs::path folder = dataFolder() / day;
    fs::create_directories(folder);
    std::ofstream(folder / (stem + ".png")) << std::string(imageBytes, 'x');
    std::ofstream(folder / (stem + ".txt"))
        << archive::recordText(address, day + "/" + stem, stem, "T", "words");
    return folder;
  }
  void writeSettings(const std::string& text) {
    fs::create_directories(root / "config" / "tessaron");
    const fs::path next = root / "config" / "tessaron" / "settings.json.new";
    std::ofstream(next) << text;
    fs::rename(next, root / "config" / "tessaron" / "settings.json");
  }
  std::vector<std::string> filesOf(const std::string& day) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dataFolder() / day, ec))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // A Chromium window on one page, its screenshot changing every pass so each pass saves a record.
  void addChangingWindow() {
    platform::sim::Window window{
        .number = 7, .title = "Page", .frame = {0, 0, 64, 48}, .application = "Chromium"};
    window.processId = 100;
    window.image = platform::sim::ImageSource::fromPattern("noise", 1);
    desktop->addWindow(window);
    AXApplication app;
    TreeBuilder tree{*app.tree};
    auto page = tree.webArea("Page", Value(Url{"https://page.example/"}), {tree.staticText("Words here")});
    auto frame = tree.window({0, 0, 64, 48}, {page});
    app.root = tree.node({{"AXRole", std::string("AXApplication")}});
    app.tree->node(app.root).elementLists["AXWindows"] = {frame};
    desktop->setApplication(100, app);
    for (int pass = 2; pass < 50; ++pass)
      desktop->atPass(pass, [pass](platform::sim::Desktop& d) {
        d.window(7)->image = platform::sim::ImageSource::fromPattern(pass % 2 ? "noise" : "checker", pass);
      });
  }
};

TEST_F(ArchiveUpkeep, ForgetTakesTheLastFifteenMinutesAndNothingElse) {
  // The clock reads 2024-03-01 14:05:09 UTC.
  addRecord("20240301", "2024-03-01T13:50:08Z", "https://old.example/");   // 15 min 1 s ago: kept
  addRecord("20240301", "2024-03-01T13:50:09Z", "https://edge.example/");  // exactly 15 min ago: forgotten
  addRecord("20240301", "2024-03-01T14:05:00Z", "https://new.example/");
  addRecord("20240301", "2024-03-01T14:05:00Z-2", "https://new.example/");
  std::ofstream(dataFolder() / "20240301" / "2024-03-01T14:05:01Z.png") << "half a record";  // no text yet
  std::ofstream(dataFolder() / "20240301" / "notes.txt") << "the person's own file";
  addRecord("20240229", "2024-02-29T23:59:59Z");  // another day folder, long ago
  EXPECT_FALSE(recordWords(engine(), "https://new.example/", "words").repeat);
  EXPECT_TRUE(recordWords(engine(), "https://new.example/", "words").repeat);

  EXPECT_EQ(forgetRecentRecords(engine()), 4U);
  EXPECT_EQ(filesOf("20240301"),
            (std::vector<std::string>{"2024-03-01T13:50:08Z.png", "2024-03-01T13:50:08Z.txt", "notes.txt"}));
  EXPECT_EQ(filesOf("20240229").size(), 2U);
  EXPECT_TRUE(logs->contains("Forgot 4 records of the last 15 minutes"));
  EXPECT_FALSE(recordWords(engine(), "https://new.example/", "words").repeat)
      << "a forgotten address gets its full text when seen again";
}

TEST_F(ArchiveUpkeep, AnEngineKeepsItsArchiveAndReadsItsSettingsWhereItWasBuiltTo) {
  writeSettings(R"({"keepDays": 9})");  // the person's: not this engine's
  const fs::path own = root / "own";
  fs::create_directories(own / "AppData");
  std::ofstream(own / "settings.json") << R"({"keepDays": 3})";
  Engine built({.dataFolder = [&] { return std::optional(own / "AppData"); },
                .settingsFile = [&] { return std::optional(own / "settings.json"); }});
  addChangingWindow();
  capturePass(built);
  EXPECT_EQ(settingsInForce(built).keepDays, 3);
  EXPECT_FALSE(fs::exists(dataFolder() / "20240301")) << "nothing in the person's archive";
  ASSERT_TRUE(fs::exists(own / "AppData" / "20240301" / "2024-03-01T14:05:09Z.txt"));
  EXPECT_EQ(forgetRecentRecords(built), 1U);
  EXPECT_FALSE(fs::exists(own / "AppData" / "20240301" / "2024-03-01T14:05:09Z.txt"));
}

TEST_F(ArchiveUpkeep, ARecordBeingWrittenWhileForgetRunsIsForgottenWhole) {
  addChangingWindow();
  std::latch passStarted(1), forgetWaiting(1);
  desktop->atPass(1, [&](platform::sim::Desktop&) {
    passStarted.count_down();
    forgetWaiting.wait();  // the pass is under way when Forget is pressed
  });
  std::thread pass([this] { capturePass(engine()); });
  passStarted.wait();
  std::size_t forgotten = 0;
  std::thread forget([&] { forgotten = forgetRecentRecords(engine()); });
  for (int i = 0; i < 10000 && engine().archiveMutex.waiting() == 0; ++i)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(engine().archiveMutex.waiting(), 1) << "Forget waits for the pass";
  forgetWaiting.count_down();
  pass.join();
  forget.join();
  EXPECT_EQ(forgotten, 1U);
  EXPECT_TRUE(filesOf("20240301").empty()) << "neither half of the record is left";
  EXPECT_TRUE(logs->contains("Metadata saved at: " +
                             (dataFolder() / "20240301" / "2024-03-01T14:05:09Z.txt").string()));
}

TEST_F(ArchiveUpkeep, ADayFolderThatCannotBeMadeMeansNothingIsSavedAnywhere) {
  addChangingWindow();
  writeSettings(R"({"minFreeGB": 0})");  // the small file system is not what stops the pass here
  fs::create_directories(dataFolder());
  // A read-only file system stops even root.
  if (::mount("tmpfs", dataFolder().c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0)
    GTEST_SKIP() << "needs root";
  capturePass(engine());
  ::umount2(dataFolder().c_str(), MNT_DETACH);
  EXPECT_FALSE(fs::exists("/2024-03-01T14:05:09Z.png")) << "the fallback day folder is the root";
  EXPECT_FALSE(logs->contains("Screenshot saved at: /2024-03-01T14:05:09Z.png"));
  EXPECT_TRUE(
      logs->contains("No day folder in " + dataFolder().string() + ", so nothing is saved in this pass"));
}

TEST_F(ArchiveUpkeep, ARecordWhoseTextCannotBeWrittenLeavesNothingAndIsSavedAgain) {
  addChangingWindow();
  // Something in the way of the text's temporary name (a folder with a file in it) makes that write fail.
  const fs::path blocker = dataFolder() / "20240301" / "2024-03-01T14:05:09Z.txt.partial";
  fs::create_directories(blocker);
  std::ofstream(blocker / "x") << "x";
  capturePass(engine());
  EXPECT_EQ(filesOf("20240301"), std::vector<std::string>{"2024-03-01T14:05:09Z.txt.partial"})
      << "no screenshot without its text";
  EXPECT_TRUE(
      logs->contains("Error saving metadata: The file \"2024-03-01T14:05:09Z.txt\" couldn't be saved: "
                     "Is a directory"));
  fs::remove_all(blocker);
  desktop->advance(5s);
  capturePass(engine());
  EXPECT_EQ(filesOf("20240301"),
            (std::vector<std::string>{"2024-03-01T14:05:14Z.png", "2024-03-01T14:05:14Z.txt"}))
      << "the next pass saves the page whole";
  EXPECT_NE(testing::readText(dataFolder() / "20240301" / "2024-03-01T14:05:14Z.txt").find("Words here"),
            std::string::npos);
}

TEST(FreeSpaceFloor, IsTheSettingElseTheLargerOfOneGigabyteAndTwoPercent) {
  settings::Settings defaults;
  EXPECT_EQ(settings::freeSpaceFloor(defaults, 20'000'000'000), 1'000'000'000U);
  EXPECT_EQ(settings::freeSpaceFloor(defaults, 2'000'000'000'000), 40'000'000'000U);
  settings::Settings chosen;
  chosen.minFreeGB = 0.25;
  EXPECT_EQ(settings::freeSpaceFloor(chosen, 2'000'000'000'000), 250'000'000U);
  chosen.minFreeGB = 0;
  EXPECT_EQ(settings::freeSpaceFloor(chosen, 2'000'000'000'000), 0U);
}

// The data folder on a small file system of its own that fills up and empties again.
class FullDisk : public ArchiveUpkeep {
 protected:
  void SetUp() override {
    ArchiveUpkeep::SetUp();
    fs::create_directories(dataFolder());
    if (::mount("tmpfs", dataFolder().c_str(), "tmpfs", 0, "size=4m") != 0) GTEST_SKIP() << "needs root";
    mounted = true;
    addChangingWindow();
  }
  void TearDown() override {
    if (mounted) ::umount2(dataFolder().c_str(), MNT_DETACH);
    ArchiveUpkeep::TearDown();
  }
  // Writes ballast until at most `leave` bytes are free (0: until the file system refuses).
  void fill(std::size_t leave) {
    std::ofstream ballast(dataFolder() / "ballast", std::ios::binary);
    const std::string block(4096, 'b');
    struct statvfs space {};
    while (::statvfs(dataFolder().c_str(), &space) == 0 && space.f_bavail * space.f_frsize > leave &&
           ballast.write(block.data(), block.size()) && ballast.flush()) {
    }
  }
  void empty() { fs::remove(dataFolder() / "ballast"); }
  std::size_t count(std::string_view text) {
    const auto texts = logs->texts();
    return static_cast<std::size_t>(std::count_if(
        texts.begin(), texts.end(), [&](const std::string& line) { return line.find(text) != line.npos; }));
  }
  // Every record is whole: a screenshot beside its text, nothing else in the day folder.
  void expectOnlyWholeRecords() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dataFolder() / "20240301", ec)) {
      const fs::path file = entry.path();
      EXPECT_TRUE(file.extension() == ".png" || file.extension() == ".txt") << file;
      fs::path other = file;
      other.replace_extension(file.extension() == ".png" ? ".txt" : ".png");
      EXPECT_TRUE(fs::exists(other)) << file << " has no other half";
      EXPECT_GT(fs::file_size(file), 0U) << file;
    }
  }
  std::size_t records() {
    std::size_t n = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dataFolder() / "20240301", ec))
      n += entry.path().extension() == ".txt";
    return n;
  }
  void passes(int n) {
    for (int i = 0; i < n; ++i) {
      desktop->advance(5s);
      capturePass(engine());
    }
  }
  bool mounted = false;
};

TEST_F(FullDisk, BelowTheFloorNothingIsSavedAndOnlyTheChangesAreSaid) {
  writeSettings(R"({"minFreeGB": 0.001})");  // 1 MB of the 4
  passes(2);
  EXPECT_EQ(records(), 2U);
  fill(600'000);
  passes(4);
  EXPECT_EQ(records(), 2U) << "below the floor no record is written";
  EXPECT_EQ(count("Saving stopped: "), 1U) << "said once, not every pass";
  EXPECT_TRUE(desktop->notices().size() == 1U &&
              desktop->notices()[0].title == "Tessaron has stopped saving pages");
  empty();
  passes(2);
  EXPECT_EQ(records(), 4U) << "saving resumes by itself";
  EXPECT_EQ(count("Saving resumed: "), 1U);
  ASSERT_EQ(desktop->notices().size(), 2U);
  EXPECT_EQ(desktop->notices()[1].title, "Tessaron saves pages again");
  expectOnlyWholeRecords();
}

TEST_F(FullDisk, WithoutAFloorAFullDiskLeavesNoPartOfARecord) {
  writeSettings(R"({"minFreeGB": 0})");
  passes(1);
  fill(0);
  passes(3);
  EXPECT_EQ(records(), 1U);
  EXPECT_GE(count("couldn't be saved"), 1U) << "a failed write is an error in the log";
  expectOnlyWholeRecords();
  empty();
  passes(2);
  EXPECT_EQ(records(), 3U) << "the next passes save again";
  expectOnlyWholeRecords();
  EXPECT_TRUE(desktop->notices().empty());
}

TEST_F(ArchiveUpkeep, ANewlyExcludedSiteIsToldOnceAndWhatWasSavedFromItStays) {
  writeSettings(R"({"excludedSites": ["shop.example"]})");
  addRecord("20240301", "2024-03-01T09:00:00Z", "https://bank.example/");
  capturePass(engine());
  EXPECT_TRUE(desktop->notices().empty()) << "the sites excluded at start are not news";
  writeSettings(R"({"excludedSites": ["www.shop.example", "Bank.Example"]})");
  capturePass(engine());
  capturePass(engine());
  ASSERT_EQ(desktop->notices().size(), 1U) << "one site is new, once";
  EXPECT_EQ(desktop->notices()[0].title, "Tessaron no longer records bank.example");
  EXPECT_EQ(filesOf("20240301").size(), 2U) << "nothing is removed without the person's yes";
  EXPECT_FALSE(logs->contains("bank.example")) << "the log names no site";
}

TEST_F(ArchiveUpkeep, KeepDaysDeletesOldRecordsButNeverTodayOrStrayFiles) {
  addRecord("20240220", "2024-02-20T10:00:00Z");
  const fs::path withStray = addRecord("20240226", "2024-02-26T10:00:00Z");
  std::ofstream(withStray / "todo.txt") << "not a record";
  addRecord("20240227", "2024-02-27T10:00:00Z");       // today minus 3 days: kept by keepDays 4
  addRecord("20240301", "2024-03-01T10:00:00Z");       // today
  addRecord("20240305", "2024-03-05T10:00:00Z");       // after today (the clock was set back): kept
  fs::create_directories(dataFolder() / "20240101x");  // not a day folder
  settings::Settings budget;
  budget.keepDays = 4;
  std::lock_guard archive(engine().archiveMutex);
  EXPECT_EQ(enforceArchiveBudget(engine(), budget, dataFolder(), "20240301"), 2U);
  EXPECT_FALSE(fs::exists(dataFolder() / "20240220"));
  EXPECT_EQ(filesOf("20240226"), std::vector<std::string>{"todo.txt"})
      << "the stray file and its folder stay";
  EXPECT_EQ(filesOf("20240227").size(), 2U);
  EXPECT_EQ(filesOf("20240301").size(), 2U);
  EXPECT_EQ(filesOf("20240305").size(), 2U);
  EXPECT_TRUE(fs::exists(dataFolder() / "20240101x"));
}

TEST_F(ArchiveUpkeep, MaxArchiveDeletesOldestDaysUntilItFitsButNeverToday) {
  addRecord("20240227", "2024-02-27T10:00:00Z", "https://a.example/", 400'000);
  addRecord("20240228", "2024-02-28T10:00:00Z", "https://a.example/", 400'000);
  addRecord("20240229", "2024-02-29T10:00:00Z", "https://a.example/", 400'000);
  addRecord("20240301", "2024-03-01T10:00:00Z", "https://a.example/", 400'000);
  settings::Settings budget;
  budget.maxArchiveGB = 0.001;  // 1,000,000 bytes: two of the four days fit
  std::lock_guard archive(engine().archiveMutex);
  EXPECT_EQ(enforceArchiveBudget(engine(), budget, dataFolder(), "20240301"), 2U);
  EXPECT_FALSE(fs::exists(dataFolder() / "20240227"));
  EXPECT_FALSE(fs::exists(dataFolder() / "20240228"));
  EXPECT_TRUE(fs::exists(dataFolder() / "20240229"));

  budget.maxArchiveGB = 0.0001;  // smaller than today alone
  EXPECT_EQ(enforceArchiveBudget(engine(), budget, dataFolder(), "20240301"), 1U);
  EXPECT_EQ(filesOf("20240301").size(), 2U) << "the day being written is never deleted";
}

TEST_F(ArchiveUpkeep, TheBudgetIsCheckedAtTheFirstPassHourlyAndWhenTheSettingsChange) {
  writeSettings(R"({"keepDays": 1})");
  addRecord("20240229", "2024-02-29T10:00:00Z");
  capturePass(engine());
  EXPECT_FALSE(fs::exists(dataFolder() / "20240229")) << "checked at the first pass";
  EXPECT_TRUE(logs->contains("Settings in force: 0 excluded sites, keeping 1 days, no size limit"));

  addRecord("20240228", "2024-02-28T10:00:00Z");
  desktop->advance(59min);
  capturePass(engine());
  EXPECT_TRUE(fs::exists(dataFolder() / "20240228")) << "not again within the hour";
  desktop->advance(1min);
  capturePass(engine());
  EXPECT_FALSE(fs::exists(dataFolder() / "20240228"));

  writeSettings(R"({"keepDays": 0})");
  capturePass(engine());
  addRecord("20240227", "2024-02-27T10:00:00Z");
  writeSettings(R"({"keepDays": 2})");
  capturePass(engine());
  EXPECT_FALSE(fs::exists(dataFolder() / "20240227")) << "a change of settings applies at once";
}

}  // namespace
}  // namespace tessaron
