#include "capture/capture_test_support.h"

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using testing::readText;
using namespace std::chrono;

class ArchiveLayout : public testing::SimDesktopTest {};

TEST_F(ArchiveLayout, RecordTextIsByteExact) {
  fs::path file = root / "r.txt";
  std::string error;
  EXPECT_TRUE(writeRecordText(file, "https://example.org/a?b=1", "20240301/2024-03-01T14:05:09Z",
                              "2024-03-01T14:05:09Z", "Example Domain", "   Hello  world\tand\nmore   text  ",
                              fullTextWordLimit, error));
  EXPECT_EQ(readText(file),
            "https://example.org/a?b=1\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\nExample Domain\n"
            "Hello world\tand\nmore text");
  EXPECT_EQ(output->lines(), (std::vector<std::string>{"10000"}));
}

TEST_F(ArchiveLayout, BodySplitsOnSpacesOnlyAndHonoursTheWordLimit) {
  fs::path file = root / "split.txt";
  std::string error;
  writeRecordText(file, "u", "d/s", "s", "t", " a  b\nc", fullTextWordLimit, error);
  EXPECT_EQ(readText(file), "u\nd/s\ns\nt\na b\nc");
  fs::path revisit = root / "revisit.txt";
  writeRecordText(revisit, "u", "d/s", "s", "t", "one two three four", revisitWordLimit, error);
  EXPECT_EQ(readText(revisit), "u\nd/s\ns\nt\none two");
  fs::path empty = root / "empty.txt";
  writeRecordText(empty, "", "d/s", "s", "", "     ", fullTextWordLimit, error);
  EXPECT_EQ(readText(empty), "\nd/s\ns\n\n") << "four lines, the last ended by a line feed";
  EXPECT_EQ(output->lines(), (std::vector<std::string>{"10000", "2", "10000"}));
}

TEST_F(ArchiveLayout, ARecordFileAppearsWholeOrNotAtAllAndNeverOverAnother) {
  fs::path file = root / "a.txt";
  { std::ofstream(file) << "kept"; }
  std::string error;
  EXPECT_FALSE(writeRecordText(file, "u", "r", "s", "t", "w", 5, error));
  EXPECT_EQ(readText(file), "kept") << "another record's file is never touched";
  EXPECT_EQ(error, "The file \"a.txt\" couldn't be saved: File exists");
  EXPECT_FALSE(fs::exists(root / "a.txt.partial")) << "a failure removes what it wrote";
  EXPECT_FALSE(writeRecordText(root / "missing" / "x.txt", "u", "r", "s", "t", "w", 5, error));
  EXPECT_FALSE(fs::exists(root / "missing"));
  EXPECT_TRUE(writeArchiveFile(root / "b.png", "bytes", error));
  EXPECT_EQ(readText(root / "b.png"), "bytes");
  EXPECT_FALSE(fs::exists(root / "b.png.partial"));
}

TEST_F(ArchiveLayout, WordsReadLaterCompleteARecordWithinItsLimitAndNeverBringItBack) {
  const fs::path file = root / "2024-03-01T14:05:09Z.txt";
  std::string error;
  ASSERT_TRUE(writeRecordText(file, "https://example.org/", "20240301/2024-03-01T14:05:09Z",
                              "2024-03-01T14:05:09Z", "Chart", "Sales by month", 5, error));
  EXPECT_TRUE(addRecordWords(file, "  Quarterly harvest figures rose ", 5, error)) << error;
  EXPECT_EQ(readText(file),
            "https://example.org/\n20240301/2024-03-01T14:05:09Z\n2024-03-01T14:05:09Z\nChart\n"
            "Sales by month Quarterly harvest")
      << "the limit counts the words read later";
  const std::string full = readText(file);
  EXPECT_TRUE(addRecordWords(file, "more words", 5, error)) << "no room left: nothing changes";
  EXPECT_EQ(readText(file), full);
  EXPECT_FALSE(fs::exists(file.string() + ".partial"));

  const fs::path bare = root / "bare.txt";
  ASSERT_TRUE(writeRecordText(bare, "u", "d/s", "s", "t", "", fullTextWordLimit, error));
  ASSERT_TRUE(addRecordWords(bare, "canvas words", fullTextWordLimit, error));
  EXPECT_EQ(readText(bare), "u\nd/s\ns\nt\ncanvas words");

  fs::remove(file);  // forgotten while its words were being read
  EXPECT_FALSE(addRecordWords(file, "late words", 5, error));
  EXPECT_FALSE(fs::exists(file)) << "a forgotten record is not made again";
  EXPECT_FALSE(fs::exists(file.string() + ".partial"));
}

TEST_F(ArchiveLayout, LeftoversOfInterruptedWritesAreRemovedAndNothingElse) {
  const fs::path day = dataFolder() / "20240301";
  fs::create_directories(day);
  for (const char* name : {"2024-03-01T14:05:09Z.png.partial", "2024-03-01T14:05:09Z-2.txt.partial",
                           "2024-03-01T14:05:09Z.png", "2024-03-01T14:05:09Z.txt", "notes.txt.partial",
                           "2024-03-01T14:05:09Z.doc.partial", "2024-03-01T14:05:10Z.png", "holiday.png"})
    std::ofstream(day / name) << "x";
  // The person's own folder beside the day folders, with files named like ours.
  const fs::path own = dataFolder() / "mystuff";
  fs::create_directories(own);
  for (const char* name : {"2024-03-01T14:05:09Z.png.partial", "2024-03-01T14:05:11Z.png"})
    std::ofstream(own / name) << "x";
  EXPECT_EQ(removeInterruptedWrites(dataFolder()), 3U) << "two partial files and a screenshot without text";
  EXPECT_EQ(std::distance(fs::directory_iterator(own), fs::directory_iterator()), 2) << "not a day folder";
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(day))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2024-03-01T14:05:09Z.doc.partial", "2024-03-01T14:05:09Z.png",
                                            "2024-03-01T14:05:09Z.txt", "holiday.png", "notes.txt.partial"}));
}

TEST_F(ArchiveLayout, DayFolderIsCreatedOnceAndPrivatelyAndNoLinkOrFileStandsInForIt) {
  const mode_t previousMask = ::umask(022);
  fs::path folder = createDayFolder(root, "20240301");
  ::umask(previousMask);
  EXPECT_EQ(folder, root / "20240301");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << "whatever the umask";
  EXPECT_EQ(createDayFolder(root, "20240301"), folder);
  { std::ofstream(root / "20240302") << "a plain file"; }
  fs::create_directories(root / "elsewhere");
  fs::create_symlink(root / "elsewhere", root / "20240303");
  for (int pass = 0; pass < 2; ++pass)  // every pass of the day: said once
    EXPECT_EQ(createDayFolder(root, "20240302"), fs::path("/")) << "a file is no folder";
  for (int pass = 0; pass < 2; ++pass)
    EXPECT_EQ(createDayFolder(root, "20240303"), fs::path("/")) << "records would go where the link points";
  EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
  EXPECT_EQ(createDayFolder(root / "20240302", "x"), fs::path("/"));
  const auto refused = [&](const char* name) {
    return (root / name).string() + " is a link or a file, not a day folder: no record is written through it";
  };
  EXPECT_EQ(logs->texts(), (std::vector<std::string>{
                               "Successfully created directory " + (root / "20240301").string(),
                               (root / "20240301").string() + " already exists",
                               refused("20240302"),
                               refused("20240303"),
                               "Error creating directory: Not a directory",
                           }));
  EXPECT_EQ(logs->messages().back().level, log::Level::error);
}

TEST_F(ArchiveLayout, StampsAreUtcAndDaysAreLocal) {
  // UTC+2: 23:30 local on 1 March is 21:30 UTC; 01:30 local on 2 March is 23:30 UTC on 1 March.
  desktop->clockSettings.utcOffset = hours(2);
  desktop->clockSettings.start = sys_days{year{2024} / 3 / 1} + hours(21) + minutes(30);
  auto& clock = platform::current().clock();
  EXPECT_EQ(dayName(clock.localTime(clock.now())), "20240301");
  EXPECT_EQ(captureTimestamp(), "2024-03-01T21:30:00Z");
  desktop->advance(hours(2));
  EXPECT_EQ(dayName(clock.localTime(clock.now())), "20240302");
  EXPECT_EQ(captureTimestamp(), "2024-03-01T23:30:00Z");
  EXPECT_EQ(formatTimestamp(sys_days{year{1999} / 12 / 31} + hours(23) + minutes(59) + seconds(59) +
                            milliseconds(999)),
            "1999-12-31T23:59:59Z");
}

TEST_F(ArchiveLayout, RecordsOfTheSameSecondGetDistinctStems) {
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

TEST_F(ArchiveLayout, ARevisitRepeatsTwoWordsOnlyWhenItHoldsNothingNew) {
  EXPECT_EQ(recordWords("https://a/", "Loading").limit, fullTextWordLimit)
      << "the first record of an address";
  EXPECT_TRUE(recordWords("https://a/", "Loading").repeat);
  const RecordWords article = recordWords("https://a/", "Loading Marmalade treatise on oranges");
  EXPECT_EQ(article.limit, fullTextWordLimit) << "words that arrived late get a full record";
  EXPECT_FALSE(article.repeat);
  EXPECT_TRUE(recordWords("https://a/", "treatise Marmalade").repeat) << "fewer of the same words";
  EXPECT_EQ(recordWords("https://b/", "treatise").limit, fullTextWordLimit) << "each address on its own";
  EXPECT_EQ(recordWords("https://a/", "Marmalade treatise, new comment").limit, fullTextWordLimit);
  EXPECT_TRUE(recordWords("https://a/", "Marmalade treatise 14:05:09 3 new").repeat)
      << "a clock or a counter that ticks is no new word";
  EXPECT_FALSE(recordWords("https://a/", "Marmalade treatise R2D2 returns").repeat)
      << "a new word beside one with a digit";

  forgetVisitedURL("https://a/");
  EXPECT_FALSE(recordWords("https://a/", "Loading").repeat) << "a forgotten address starts afresh";

  EXPECT_EQ(recordWords("", "words").limit, fullTextWordLimit);
  EXPECT_EQ(recordWords("", "words").limit, fullTextWordLimit) << "the empty address is never recorded";
  EXPECT_EQ(output->lines(), (std::vector<std::string>{"URL is empty.", "URL is empty."}));
}

}  // namespace
}  // namespace tessaron
