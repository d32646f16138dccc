#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/layout.h"
#include "archive/record_file.h"

namespace tessaron::archive {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

class Folder : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root); }
  void TearDown() override { fs::remove_all(root); }
  const fs::path root = fs::temp_directory_path() / ("tessaron-archive-" + std::to_string(::getpid()));
};

class Layout : public Folder {};

TEST_F(Layout, RecordsOfTheSameSecondGetDistinctStems) {
  auto first = claimRecordPaths("20240301", root, "2024-03-01T14:05:09Z");
  EXPECT_EQ(first.imagePath, root / "2024-03-01T14:05:09Z.png");
  EXPECT_EQ(first.textPath, root / "2024-03-01T14:05:09Z.txt");
  EXPECT_EQ(first.recordPath, "20240301/2024-03-01T14:05:09Z");
  EXPECT_EQ(claimRecordPaths("20240301", root, "2024-03-01T14:05:09Z").recordPath, first.recordPath)
      << "a name is only taken once its files exist";
  { std::ofstream(first.imagePath) << "png"; }
  auto second = claimRecordPaths("20240301", root, "2024-03-01T14:05:09Z");
  EXPECT_EQ(second.recordPath, "20240301/2024-03-01T14:05:09Z-2");
  { std::ofstream(second.textPath) << "txt"; }
  EXPECT_EQ(claimRecordPaths("20240301", root, "2024-03-01T14:05:09Z").imagePath,
            root / "2024-03-01T14:05:09Z-3.png");
}

TEST(Stems, AreTheOnlyNamesThatCountAsRecords) {
  EXPECT_EQ(stemTime("2024-03-01T14:05:09Z"), sys_days{year{2024} / 3 / 1} + 14h + 5min + 9s);
  EXPECT_EQ(stemTime("2024-03-01T14:05:09Z-12"), stemTime("2024-03-01T14:05:09Z"));
  for (const char* other : {"notes", "2024-03-01T14:05:09", "2024-03-01T14:05:09Z-", "2024-03-01T14:05:09Z-x",
                            "2024-02-30T14:05:09Z", "2024-03-01T25:05:09Z", "2024-03-01 14:05:09Z",
                            "2024-03-01T14:05:09Z-1234567", "2024-03-01T14:05:09Z-2/x"})
    EXPECT_FALSE(stemTime(other)) << other;
  EXPECT_EQ(formatStamp(sys_days{year{1999} / 12 / 31} + 23h + 59min + 59s + 999ms), "1999-12-31T23:59:59Z");
  EXPECT_EQ(parseStamp("1999-12-31T23:59:59Z"), 946684799);
  EXPECT_FALSE(parseStamp("1999-12-31T23:59:59Z-2")) << "a stem is not a stamp";
}

// One rule for day folders everywhere: eight digits that make a real date, never a link.
TEST_F(Layout, DayFoldersAreRealDatesAndRealFolders) {
  for (const char* name : {"20240301", "20240229", "20230229", "20241301", "2024030", "notes", "20240302"})
    fs::create_directories(root / name);
  std::ofstream(root / "20240303") << "a file";
  fs::create_directory_symlink(root / "20240301", root / "20240304");
  EXPECT_EQ(dayFolders(root), (std::vector<std::string>{"20240229", "20240301", "20240302"}));
  EXPECT_EQ(dayOfFolder("20240229"), sys_days{year{2024} / 2 / 29});
  EXPECT_FALSE(dayOfFolder("20230229"));
  EXPECT_EQ(dayName(2024, 3, 1), "20240301");
}

TEST(RecordPlaces, NameADayAndAStemAndNothingElse) {
  EXPECT_EQ(recordPlace("20240301/2024-03-01T14:05:09Z-2"),
            (std::pair<std::string, std::string>{"20240301", "2024-03-01T14:05:09Z-2"}));
  for (const char* other : {"20240301", "20240301/", "../20240301/2024-03-01T14:05:09Z",
                            "2024030/2024-03-01T14:05:09Z", "20241301/2024-03-01T14:05:09Z",
                            "20240301/2024-03-01T14:05:09Z/x", "20240301/2024-03-01T14:05:09Z.png"})
    EXPECT_FALSE(recordPlace(other)) << other;
  EXPECT_TRUE(isRecordFile("20240301/2024-03-01T14:05:09Z.txt"));
  EXPECT_TRUE(isRecordFile("20240301/2024-03-01T14:05:09Z-2.txt"));
  EXPECT_FALSE(isRecordFile("20240301/notes.txt"));
  EXPECT_FALSE(isRecordFile("2024030/2024-03-01T14:05:09Z.txt"));
  EXPECT_FALSE(isRecordFile("20240301/2024-03-01T14:05:09Z.png"));
  EXPECT_FALSE(isRecordFile("x/20240301/2024-03-01T14:05:09Z.txt"));
}

}  // namespace
}  // namespace tessaron::archive
