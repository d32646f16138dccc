#include "capture/capture_test_support.h"

#include <fstream>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using testing::readText;
using namespace std::chrono;

class ArchiveLayout : public testing::SimDesktopTest {};

TEST_F(ArchiveLayout, DayFolderIsCreatedOnceAndPrivatelyAndNoLinkOrFileStandsInForIt) {
  const mode_t previousMask = ::umask(022);
  const auto made = createDayFolder(root, "20240301");
  ::umask(previousMask);
  ASSERT_EQ(made, root / "20240301");
  const fs::path& folder = *made;
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << "whatever the umask";
  EXPECT_EQ(createDayFolder(root, "20240301"), made);
  { std::ofstream(root / "20240302") << "a plain file"; }
  fs::create_directories(root / "elsewhere");
  fs::create_symlink(root / "elsewhere", root / "20240303");
  for (int pass = 0; pass < 2; ++pass)  // every pass of the day: said once
    EXPECT_EQ(createDayFolder(root, "20240302"), std::nullopt) << "a file is no folder";
  for (int pass = 0; pass < 2; ++pass)
    EXPECT_EQ(createDayFolder(root, "20240303"), std::nullopt) << "records would go where the link points";
  EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
  EXPECT_EQ(createDayFolder(root / "20240302", "x"), std::nullopt);
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
  EXPECT_EQ(captureTimestamp(engine()), "2024-03-01T21:30:00Z");
  desktop->advance(hours(2));
  EXPECT_EQ(dayName(clock.localTime(clock.now())), "20240302");
  EXPECT_EQ(captureTimestamp(engine()), "2024-03-01T23:30:00Z");
}

TEST_F(ArchiveLayout, ARevisitRepeatsTwoWordsOnlyWhenItHoldsNothingNew) {
  EXPECT_EQ(recordWords(engine(), "https://a/", "Loading").limit, fullTextWordLimit)
      << "the first record of an address";
  EXPECT_TRUE(recordWords(engine(), "https://a/", "Loading").repeat);
  const RecordWords article = recordWords(engine(), "https://a/", "Loading Marmalade treatise on oranges");
  EXPECT_EQ(article.limit, fullTextWordLimit) << "words that arrived late get a full record";
  EXPECT_FALSE(article.repeat);
  EXPECT_TRUE(recordWords(engine(), "https://a/", "treatise Marmalade").repeat) << "fewer of the same words";
  EXPECT_EQ(recordWords(engine(), "https://b/", "treatise").limit, fullTextWordLimit)
      << "each address on its own";
  EXPECT_EQ(recordWords(engine(), "https://a/", "Marmalade treatise, new comment").limit, fullTextWordLimit);
  EXPECT_TRUE(recordWords(engine(), "https://a/", "Marmalade treatise 14:05:09 3 new").repeat)
      << "a clock or a counter that ticks is no new word";
  EXPECT_FALSE(recordWords(engine(), "https://a/", "Marmalade treatise R2D2 returns").repeat)
      << "a new word beside one with a digit";

  forgetVisitedURL(engine(), "https://a/");
  EXPECT_FALSE(recordWords(engine(), "https://a/", "Loading").repeat) << "a forgotten address starts afresh";

  // Records taken out by someone else (the search pages, by hand) take their words with them.
  fs::create_directories(root / "20240301");
  const fs::path first = root / "20240301/2024-03-01T09:00:00Z.txt",
                 second = root / "20240301/2024-03-01T09:05:00Z.txt";
  std::ofstream(first) << "https://c/\n";
  EXPECT_FALSE(recordWords(engine(), "https://c/", "Quince jam").repeat);
  noteVisitRecord(engine(), "https://c/", first);
  std::ofstream(second) << "https://c/\n";
  EXPECT_TRUE(recordWords(engine(), "https://c/", "Quince jam").repeat);
  noteVisitRecord(engine(), "https://c/", second);
  fs::remove(first);
  EXPECT_FALSE(recordWords(engine(), "https://c/", "Quince jam").repeat)
      << "the words of a deleted record are not taken as archived";
  noteVisitRecord(engine(), "https://c/", second);
  EXPECT_TRUE(recordWords(engine(), "https://c/", "Quince jam").repeat)
      << "the record saved since holds them";

  EXPECT_EQ(recordWords(engine(), "", "words").limit, fullTextWordLimit);
  EXPECT_EQ(recordWords(engine(), "", "words").limit, fullTextWordLimit)
      << "the empty address is never recorded";
  EXPECT_EQ(output->lines(), (std::vector<std::string>{"URL is empty.", "URL is empty."}));
}

TEST_F(ArchiveLayout, WhatIsKeptOfVisitedAddressesStaysBoundedAndTheLeastRecentGoFirst) {
  const auto address = [](std::size_t i) { return "https://site.example/page" + std::to_string(i); };
  EXPECT_FALSE(recordWords(engine(), address(0), "Tamarind orchard").repeat);
  for (std::size_t i = 1; i < visitedAddressLimit; ++i)
    recordWords(engine(), address(i), "Tamarind orchard");
  EXPECT_TRUE(recordWords(engine(), address(0), "Tamarind orchard").repeat)
      << "within the limit, and now recent";
  recordWords(engine(), address(visitedAddressLimit), "Tamarind orchard");
  EXPECT_EQ(engine().visited.addresses.size(), visitedAddressLimit);
  EXPECT_FALSE(recordWords(engine(), address(1), "Tamarind orchard").repeat)
      << "the least recently recorded address went first, and its next record is whole";
  EXPECT_TRUE(recordWords(engine(), address(0), "Tamarind orchard").repeat);

  // Pages of many words: the words held for all addresses together stay within their budget.
  std::string longPage;
  for (std::size_t word = 0; word < fullTextWordLimit; ++word)
    longPage +=
        "w" + std::string(1, static_cast<char>('a' + word % 26)) + std::to_string(word / 26 * 7 + 1) + "x ";
  for (std::size_t i = 0; i < visitedWordBudget / fullTextWordLimit + 5; ++i)
    recordWords(engine(), "https://long.example/" + std::to_string(i), longPage + std::to_string(i));
  EXPECT_LE(engine().visited.words, visitedWordBudget);
  std::size_t counted = 0;
  for (const auto& [held, words] : engine().visited.addresses)
    counted += words.words.size();
  EXPECT_EQ(counted, engine().visited.words);

  // An address recorded very often starts afresh now and then, so that what it holds stays bounded.
  fs::create_directories(root / "20240302");
  std::size_t whole = 0;
  for (std::size_t i = 0; i < 2 * recordsHeldPerAddress; ++i) {
    const fs::path record = root / "20240302" / (std::to_string(i) + ".txt");
    std::ofstream(record) << "https://mail.example/\n";
    whole += recordWords(engine(), "https://mail.example/", "Inbox").repeat ? 0 : 1;
    noteVisitRecord(engine(), "https://mail.example/", record);
  }
  EXPECT_EQ(whole, 2U);
}

}  // namespace
}  // namespace tessaron
