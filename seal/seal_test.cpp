#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "archive/layout.h"
#include "archive/record_file.h"
#include "seal/archive_key.h"
#include "seal/conversion.h"
#include "seal/sealed_store.h"

namespace tessaron::seal {
namespace {

namespace fs = std::filesystem;

TEST(ArchiveKey, IsRandomAndTypedBackInAnyCommonWay) {
  const std::string key = newArchiveKey();
  ASSERT_EQ(key.size(), 39U);  // 32 symbols, 7 dashes
  for (std::size_t i = 4; i < key.size(); i += 5)
    EXPECT_EQ(key[i], '-') << key;
  EXPECT_NE(newArchiveKey(), key);
  EXPECT_EQ(normalizedKey(key), key);

  std::string typed;  // lower case, no dashes, spaces between groups
  for (char c : key)
    typed.push_back(c == '-' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  EXPECT_EQ(normalizedKey(typed), key);
  // Letters that look like digits are read as those digits.
  EXPECT_EQ(normalizedKey("oooo-iiii-llll-0000-1111-2222-3333-4444"),
            "0000-1111-1111-0000-1111-2222-3333-4444");
  EXPECT_FALSE(normalizedKey(key.substr(0, 38)));                          // a symbol short
  EXPECT_FALSE(normalizedKey("UUUU-0000-1111-0000-1111-2222-3333-4444"));  // U is no symbol
  EXPECT_FALSE(normalizedKey(key + "7"));
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every byte of every file under `folder`, and every name, for searching ciphertext for plain words.
std::string everythingUnder(const fs::path& folder) {
  std::string all;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    all += entry.path().string() + "\n";
    if (entry.is_regular_file()) all += readAll(entry.path());
  }
  return all;
}

template <class Predicate>
bool becomes(Predicate predicate, std::chrono::seconds within = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return predicate();
}

// The gocryptfs process serving `sealed`, found by its command line.
pid_t enginePid(const fs::path& sealed) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string arguments = readAll(entry.path() / "cmdline");
    const std::string program = arguments.substr(0, arguments.find('\0'));
    if (fs::path(program).filename() == "gocryptfs")
      if (arguments.find(sealed.string() + '\0') != std::string::npos) return std::stoi(name);
  }
  return -1;
}

class SealedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-seal-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    unmount(root / "open");
    fs::remove_all(root);
    fs::create_directories(root);
    places = {root / "sealed", root / "passphrase.conf", root / "open"};
  }
  void TearDown() override {
    unmount(places.open);
    fs::remove_all(root);
  }
  fs::path root;
  StorePlaces places;
  std::string key = newArchiveKey();
};

TEST_F(SealedStoreTest, KeepsNamesAndWordsOnlyAsCiphertextAndOpensWithItsKeyAlone) {
  {
    SealedStore store(places);
    EXPECT_FALSE(store.exists());
    ASSERT_FALSE(store.create(key));
    EXPECT_TRUE(store.exists());
    ASSERT_FALSE(store.open(key)) << "open";
    ASSERT_TRUE(store.isOpen());
    fs::create_directories(places.open / "AppData" / "20260301");
    ASSERT_EQ(
        archive::writeRecordText(places.open / "AppData" / "20260301" / "2026-03-01T10:00:00Z.txt",
                                 "https://quillmarsh.example/", "20260301/2026-03-01T10:00:00Z",
                                 "2026-03-01T10:00:00Z", "Quillmarsh Ledger", "zanzibarquokka words", 100),
        std::nullopt);
    // What is forgotten leaves the ciphertext too: one file in, one file out.
    auto files = [&] {
      std::size_t count = 0;
      for (const auto& entry : fs::recursive_directory_iterator(places.sealed))
        count += entry.is_regular_file();
      return count;
    };
    const std::size_t withRecord = files();
    std::ofstream(places.open / "AppData" / "20260301" / "2026-03-01T10:00:05Z.txt") << "forgotten words";
    EXPECT_EQ(files(), withRecord + 1);
    fs::remove(places.open / "AppData" / "20260301" / "2026-03-01T10:00:05Z.txt");
    EXPECT_EQ(files(), withRecord);
    store.close();
    EXPECT_FALSE(store.isOpen());
    EXPECT_FALSE(isMountPoint(places.open));
  }
  EXPECT_TRUE(fs::is_empty(places.open)) << "nothing of the archive is left where it was open";
  const std::string ciphertext = everythingUnder(places.sealed);
  for (const char* plain :
       {"quillmarsh", "Quillmarsh", "zanzibarquokka", "20260301", "2026-03-01T10", "AppData"})
    EXPECT_EQ(ciphertext.find(plain), std::string::npos) << plain;

  // A copy of the ciphertext alone, elsewhere, opens with the key alone.
  const fs::path copy = root / "copied";
  fs::copy(places.sealed, copy, fs::copy_options::recursive);
  SealedStore elsewhere({copy, {}, root / "copy-open"});
  EXPECT_EQ(elsewhere.open(newArchiveKey())->kind, StoreError::Kind::wrongKey);
  EXPECT_FALSE(isMountPoint(root / "copy-open"));
  ASSERT_FALSE(elsewhere.open(key));
  EXPECT_NE(readAll(root / "copy-open" / "AppData" / "20260301" / "2026-03-01T10:00:00Z.txt")
                .find("zanzibarquokka"),
            std::string::npos);
}

TEST_F(SealedStoreTest, APassphraseIsASecondWayInBesideTheKey) {
  SealedStore store(places);
  ASSERT_FALSE(store.create(key));
  EXPECT_EQ(store.setPassphrase(newArchiveKey(), "correct horse")->kind, StoreError::Kind::wrongKey);
  EXPECT_FALSE(store.hasPassphrase());
  ASSERT_FALSE(store.setPassphrase(key, "correct horse"));
  EXPECT_TRUE(store.hasPassphrase());
  EXPECT_EQ(store.open("wrong horse")->kind, StoreError::Kind::wrongKey);
  ASSERT_FALSE(store.open("correct horse"));
  EXPECT_TRUE(store.isOpen());
  store.close();
  ASSERT_FALSE(store.open(key)) << "the key still opens it";
  EXPECT_NE(readAll(places.passphrase).find("ScryptObject"), std::string::npos)
      << "a wrapping, never the passphrase";
  EXPECT_EQ(readAll(places.passphrase).find("correct horse"), std::string::npos);
}

TEST_F(SealedStoreTest, NothingStaysMountedWhenTheProgramThatOpenedItEndsOrItsEngineIsKilled) {
  SealedStore store(places);
  ASSERT_FALSE(store.create(key));
  // The engine is told to end when the thread that opened the store ends: as when the program is killed.
  std::thread([&] { ASSERT_FALSE(store.open(key)); }).join();
  EXPECT_TRUE(becomes([&] { return !isMountPoint(places.open); })) << "still mounted after its opener ended";
  EXPECT_FALSE(store.isOpen());

  // An engine killed outright leaves a dead mount, which the next open takes down first.
  ASSERT_FALSE(store.open(key));
  std::ifstream(places.open / "nothing");  // touch the mount once
  const pid_t engine = enginePid(places.sealed);
  ASSERT_GT(engine, 0);
  ASSERT_EQ(::kill(engine, SIGKILL), 0);
  EXPECT_TRUE(becomes([&] { return !store.isOpen(); }));
  EXPECT_TRUE(isMountPoint(places.open)) << "a killed engine leaves its mount behind";
  ASSERT_FALSE(store.open(key));
  EXPECT_TRUE(store.isOpen());
}

void writeRecord(const fs::path& data, const std::string& day, const std::string& stem,
                 const std::string& words) {
  fs::create_directories(data / day);
  ASSERT_EQ(archive::writeArchiveFile(data / day / (stem + ".png"), "PNG " + words), std::nullopt);
  ASSERT_EQ(archive::writeRecordText(data / day / (stem + ".txt"), "https://a.example/", day + "/" + stem,
                                     stem, "Title", words, 100),
            std::nullopt);
}

TEST_F(SealedStoreTest, APlainArchiveMovesInWholeAndAMoveCutShortGoesOnWithoutLosingOrDoublingARecord) {
  const fs::path plain = root / "AppData";
  writeRecord(plain, "20260301", "2026-03-01T10:00:00Z", "first");
  writeRecord(plain, "20260301", "2026-03-01T10:00:05Z", "second");
  writeRecord(plain, "20260302", "2026-03-02T09:00:00Z", "third");
  std::ofstream(plain / "20260302" / "notes of mine.odt") << "the person's own";
  std::ofstream(plain / "20260302" / "2026-03-02T09:00:09Z.txt.partial") << "half";

  SealedStore store(places);
  ASSERT_FALSE(store.create(key));
  ASSERT_FALSE(store.open(key));
  const fs::path sealedData = places.open / "AppData";
  // As a run killed in the middle of a record leaves it: the record whole in the store and still in the plain
  // folder, the next one with its text already removed from the plain folder and its screenshot not yet.
  writeRecord(sealedData, "20260301", "2026-03-01T10:00:00Z", "first");
  writeRecord(sealedData, "20260301", "2026-03-01T10:00:05Z", "second");
  fs::remove(plain / "20260301" / "2026-03-01T10:00:05Z.txt");
  EXPECT_EQ(countPlainRecords(plain), 3U);

  std::vector<std::pair<std::size_t, std::size_t>> seen;
  const Conversion done = movePlainRecords(
      plain, sealedData, [&](std::size_t moved, std::size_t total) { seen.emplace_back(moved, total); });
  EXPECT_FALSE(done.error) << *done.error;
  EXPECT_EQ(done.moved, 3U);
  EXPECT_EQ(done.personsOwn, 1U);
  EXPECT_EQ(seen.back(), std::make_pair(std::size_t{3}, std::size_t{3}));

  for (const auto& [day, stem, words] : {std::tuple{"20260301", "2026-03-01T10:00:00Z", "first"},
                                         std::tuple{"20260301", "2026-03-01T10:00:05Z", "second"},
                                         std::tuple{"20260302", "2026-03-02T09:00:00Z", "third"}}) {
    auto record = archive::parseRecord(readAll(sealedData / day / (std::string(stem) + ".txt")));
    ASSERT_TRUE(record) << stem;
    EXPECT_EQ(record->body, words);
    EXPECT_EQ(readAll(sealedData / day / (std::string(stem) + ".png")), std::string("PNG ") + words);
  }
  std::set<std::string> plainLeft;
  for (const auto& entry : fs::recursive_directory_iterator(plain))
    plainLeft.insert(fs::relative(entry.path(), plain).string());
  EXPECT_EQ(plainLeft, (std::set<std::string>{"20260302", "20260302/notes of mine.odt"}))
      << "records and cut-short writes leave; the person's own file stays";
  EXPECT_FALSE(fs::exists(plain / "20260301"));
  EXPECT_EQ(countPlainRecords(plain), 0U);
}

}  // namespace
}  // namespace tessaron::seal
