// The archive's format: where records go, how their files are named, written whole and read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "archive/layout.h"
#include "archive/record_file.h"

namespace tessaron::archive {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class Folder : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root); }
  void TearDown() override { fs::remove_all(root); }
  const fs::path root = fs::temp_directory_path() / ("tessaron-archive-" + std::to_string(::getpid()));
};

class RecordFile : public Folder {};

TEST_F(RecordFile, RecordTextIsByteExact) {
  fs::path file = root / "r.txt";
  EXPECT_EQ(
      writeRecordText(file, "https://example.org/a?b=1", "20240301/2024-03-01T14:05:09Z",
                      "2024-03-01T14:05:09Z", "Example Domain", "   Hello  world\tand\nmore   text  ", 10000),
      std::nullopt);
  EXPECT_EQ(readText(file),
            "https://example.org/a?b=1\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\nExample Domain\n"
            "Hello world\tand\nmore text");
}

TEST_F(RecordFile, BodySplitsOnSpacesOnlyAndHonoursTheWordLimit) {
  fs::path file = root / "split.txt";
  writeRecordText(file, "u", "d/s", "s", "t", " a  b\nc", 10000);
  EXPECT_EQ(readText(file), "u\nd/s\ns\nt\na b\nc");
  fs::path revisit = root / "revisit.txt";
  writeRecordText(revisit, "u", "d/s", "s", "t", "one two three four", 2);
  EXPECT_EQ(readText(revisit), "u\nd/s\ns\nt\none two");
  fs::path empty = root / "empty.txt";
  writeRecordText(empty, "", "d/s", "s", "", "     ", 10000);
  EXPECT_EQ(readText(empty), "\nd/s\ns\n\n") << "four lines, the last ended by a line feed";
}

TEST_F(RecordFile, ARecordFileAppearsWholeOrNotAtAllAndNeverOverAnother) {
  fs::path file = root / "a.txt";
  { std::ofstream(file) << "kept"; }
  EXPECT_EQ(writeRecordText(file, "u", "r", "s", "t", "w", 5),
            "The file \"a.txt\" couldn't be saved: File exists");
  EXPECT_EQ(readText(file), "kept") << "another record's file is never touched";
  EXPECT_FALSE(fs::exists(root / "a.txt.partial")) << "a failure removes what it wrote";
  EXPECT_NE(writeRecordText(root / "missing" / "x.txt", "u", "r", "s", "t", "w", 5), std::nullopt);
  EXPECT_FALSE(fs::exists(root / "missing"));
  EXPECT_EQ(writeArchiveFile(root / "b.png", "bytes"), std::nullopt);
  EXPECT_EQ(readText(root / "b.png"), "bytes");
  EXPECT_FALSE(fs::exists(root / "b.png.partial"));
}

TEST_F(RecordFile, WordsReadLaterCompleteARecordWithinItsLimitAndNeverBringItBack) {
  const fs::path file = root / "2024-03-01T14:05:09Z.txt";
  ASSERT_EQ(writeRecordText(file, "https://example.org/", "20240301/2024-03-01T14:05:09Z",
                            "2024-03-01T14:05:09Z", "Chart", "Sales by month", 5),
            std::nullopt);
  EXPECT_EQ(addRecordWords(file, "  Quarterly harvest figures rose ", 5), std::nullopt);
  EXPECT_EQ(readText(file),
            "https://example.org/\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\nChart\n"
            "Sales by month Quarterly harvest")
      << "the limit counts the words read later";
  const std::string full = readText(file);
  EXPECT_EQ(addRecordWords(file, "more words", 5), std::nullopt) << "no room left: nothing changes";
  EXPECT_EQ(readText(file), full);
  EXPECT_FALSE(fs::exists(file.string() + ".partial"));

  const fs::path bare = root / "bare.txt";
  ASSERT_EQ(writeRecordText(bare, "u", "d/s", "s", "t", "", 10000), std::nullopt);
  ASSERT_EQ(addRecordWords(bare, "canvas words", 10000), std::nullopt);
  EXPECT_EQ(readText(bare), "u\nd/s\ns\nt\ncanvas words");

  fs::remove(file);  // forgotten while its words were being read
  EXPECT_NE(addRecordWords(file, "late words", 5), std::nullopt);
  EXPECT_FALSE(fs::exists(file)) << "a forgotten record is not made again";
  EXPECT_FALSE(fs::exists(file.string() + ".partial"));
}

TEST_F(RecordFile, LeftoversOfInterruptedWritesAreRemovedAndNothingElse) {
  const fs::path day = root / "20240301";
  fs::create_directories(day);
  for (const char* name : {"2024-03-01T14:05:09Z.png.partial", "2024-03-01T14:05:09Z-2.txt.partial",
                           "2024-03-01T14:05:09Z.png", "2024-03-01T14:05:09Z.txt", "notes.txt.partial",
                           "2024-03-01T14:05:09Z.doc.partial", "2024-03-01T14:05:10Z.png", "holiday.png"})
    std::ofstream(day / name) << "x";
  // The person's own folder beside the day folders, with files named like ours.
  const fs::path own = root / "mystuff";
  fs::create_directories(own);
  for (const char* name : {"2024-03-01T14:05:09Z.png.partial", "2024-03-01T14:05:11Z.png"})
    std::ofstream(own / name) << "x";
  EXPECT_EQ(removeInterruptedWrites(root), 3U) << "two partial files and a screenshot without text";
  EXPECT_EQ(std::distance(fs::directory_iterator(own), fs::directory_iterator()), 2) << "not a day folder";
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(day))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2024-03-01T14:05:09Z.doc.partial", "2024-03-01T14:05:09Z.png",
                                            "2024-03-01T14:05:09Z.txt", "holiday.png", "notes.txt.partial"}));
}

TEST(Records, ParseExactlyAndTolerateWhatIsOdd) {
  auto r = parseRecord(
      "https://www.Example.org:8080/a?b\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\nTitle\nline "
      "one\nline two");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->address, "https://www.Example.org:8080/a?b");
  EXPECT_EQ(r->site, "example.org");
  EXPECT_EQ(r->recordPath, "20240301/2024-03-01T14:05:09Z");
  EXPECT_EQ(r->time, 1709301909);
  EXPECT_EQ(r->title, "Title");
  EXPECT_EQ(r->body, "line one\nline two");
  auto crlf = parseRecord(
      "https://example.org/\r\n20240301/2024-03-01T14:05:09Z\r\n2024-03-01T14:05:09Z\r\nTitle\r\nbody words");
  ASSERT_TRUE(crlf) << "CRLF line ends read like LF ones";
  EXPECT_EQ(crlf->address, "https://example.org/");
  EXPECT_EQ(crlf->title, "Title");
  EXPECT_EQ(crlf->time, 1709301909);
  auto empty = parseRecord("\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\n\n");
  ASSERT_TRUE(empty) << "an empty address and body are still a record";
  EXPECT_EQ(empty->site, "");
  EXPECT_FALSE(parseRecord("https://a/\n20240301/x\n2024-03-01T14:05:09Z\nno line end yet"))
      << "half-written";
  EXPECT_FALSE(parseRecord("a\nb\nnot a stamp\nd\n"));
  auto bytes =
      parseRecord("https://a/\xff\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\nT\xc3\n\xe2\x82");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->address, "https://a/\xEF\xBF\xBD");
  EXPECT_EQ(bytes->title, "T\xEF\xBF\xBD");
}

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
