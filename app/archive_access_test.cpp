#include "app/archive_access.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "archive/layout.h"
#include "archive/record_file.h"
#include "base/log.h"
#include "capture/capture_test_support.h"
#include "platform/sim/sim_desktop.h"
#include "seal/archive_key.h"

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using KeyState = platform::KeyringLookup::State;

// Opening the archive on the scripted desktop: its keyring and alerts stand in for the person's, the store is
// a real encrypted one.
class ArchiveAccessTest : public testing::SimDesktopTest {
 protected:
  void SetUp() override {
    testing::SimDesktopTest::SetUp();
    ::unsetenv("TESSARON_SIM_KEYRING");
  }
  void TearDown() override {
    seal::unmount(places().store.open);
    testing::SimDesktopTest::TearDown();
  }
  ArchiveAccess::Places places() const {
    return ArchiveAccess::Places::of(root / "share" / "tessaron", root / "run");
  }
  std::string keyName() const { return "archive:" + places().store.sealed.string(); }
  std::vector<std::string> alertTitles() const {
    std::vector<std::string> titles;
    for (const auto& shown : desktop->shownAlerts())
      titles.push_back(shown.alert.title);
    return titles;
  }
  std::size_t linesWith(const std::string& text) const {
    std::size_t count = 0;
    for (const auto& line : logs->texts())
      count += line.find(text) != std::string::npos;
    return count;
  }
  void writeSettings(const std::string& text) {
    fs::create_directories(root / "config" / "tessaron");
    std::ofstream(root / "config" / "tessaron" / "settings.json") << text;
  }
};

TEST_F(ArchiveAccessTest, ANewArchiveIsSealedItsKeyKeptAndShownOnceAndItOpensAgainWithoutAWord) {
  desktop->alertAnswers = {0};
  std::string key;
  {
    ArchiveAccess access(places());
    access.open();
    ASSERT_EQ(access.state(), ArchiveAccess::State::open) << ::testing::PrintToString(logs->texts());
    ASSERT_EQ(alertTitles(), std::vector<std::string>{"Your Recovery Key"});
    key = desktop->keyring.secrets.at(keyName());
    EXPECT_NE(desktop->shownAlerts()[0].alert.explanation.find(key), std::string::npos)
        << "the recovery key shown is the key kept";
    EXPECT_EQ(seal::normalizedKey(key), key);
    for (const auto& line : logs->texts())
      EXPECT_EQ(line.find(key), std::string::npos) << "the key is never logged";
    const ArchiveLocation where = access.location();
    EXPECT_TRUE(where.open);
    EXPECT_EQ(where.sealedRoot, places().store.open);
    EXPECT_TRUE(seal::isMountPoint(places().store.open));
  }
  EXPECT_FALSE(seal::isMountPoint(places().store.open)) << "closed with its owner";
  ArchiveAccess again(places());
  again.open();
  EXPECT_EQ(again.state(), ArchiveAccess::State::open);
  EXPECT_EQ(desktop->shownAlerts().size(), 1U) << "a normal start asks nothing";
}

TEST_F(ArchiveAccessTest, ALockedKeyringRecordsNothingSaysSoOnceAndOpensLaterWithoutARestart) {
  const std::string key = seal::newArchiveKey();
  {
    seal::SealedStore made(places().store);
    ASSERT_FALSE(made.create(key));
  }
  desktop->keyring.state = KeyState::locked;
  desktop->keyring.secrets[keyName()] = key;
  setArchiveLocation({});
  ArchiveAccess access(places());
  setArchiveLocation([&access] { return std::optional(access.location()); });
  access.open();  // the alert is answered "Not Now"
  EXPECT_EQ(access.state(), ArchiveAccess::State::locked);
  EXPECT_TRUE(archiveIsLocked());
  EXPECT_FALSE(appDataFolder()) << "nothing may be written while locked";
  EXPECT_EQ(alertTitles(), std::vector<std::string>{"Your Archive Is Locked"});
  EXPECT_EQ(linesWith("The archive is locked: your keyring is locked."), 1U);
  access.open();  // the half-minute retry: the keyring is still locked
  EXPECT_EQ(alertTitles().size(), 1U) << "asked once";
  EXPECT_EQ(linesWith("The archive is locked"), 1U) << "said once";
  EXPECT_FALSE(fs::exists(places().plain)) << "never falls back to plain files";

  desktop->keyring.state = KeyState::absent;  // the person unlocks the keyring
  access.open();
  EXPECT_EQ(access.state(), ArchiveAccess::State::open);
  EXPECT_FALSE(archiveIsLocked());
  EXPECT_EQ(appDataFolder(), places().store.open / "AppData");
  setArchiveLocation({});
}

TEST_F(ArchiveAccessTest, OnAnotherComputerTheRecoveryKeyOpensItAsTypedAndIsKeptInTheKeyring) {
  const std::string key = seal::newArchiveKey();
  {
    seal::SealedStore made(places().store);
    ASSERT_FALSE(made.create(key));
  }
  std::string typed;
  for (char c : key)
    if (c != '-') typed.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  desktop->typedSecrets = {"not the key", typed};
  desktop->alertAnswers = {0, 0};
  ArchiveAccess access(places());
  access.open();
  EXPECT_EQ(access.state(), ArchiveAccess::State::open);
  EXPECT_EQ(alertTitles(), (std::vector<std::string>{"Your Archive Is Locked", "Your Archive Is Locked"}));
  EXPECT_EQ(linesWith("what was typed is neither its recovery key nor its passphrase"), 1U);
  EXPECT_EQ(desktop->keyring.secrets.at(keyName()), key) << "the next start opens it without a word";
}

TEST_F(ArchiveAccessTest, WithoutAKeyringThePersonsPassphraseOpensItAtTheNextStart) {
  desktop->keyring.state = KeyState::unavailable;
  desktop->typedSecrets = {"a passphrase of mine"};
  desktop->alertAnswers = {0, 0};
  {
    ArchiveAccess access(places());
    access.open();
    ASSERT_EQ(access.state(), ArchiveAccess::State::open) << ::testing::PrintToString(logs->texts());
    EXPECT_EQ(alertTitles(), (std::vector<std::string>{"Choose a Passphrase", "Your Recovery Key"}));
  }
  desktop->typedSecrets = {"a passphrase of mine"};
  desktop->alertAnswers = {0};
  ArchiveAccess again(places());
  again.open();
  EXPECT_EQ(again.state(), ArchiveAccess::State::open);
  EXPECT_EQ(alertTitles().back(), "Open Your Archive");
}

TEST_F(ArchiveAccessTest, APlainArchiveIsOfferedSealingMovesInAndLeavesNoPlainRecordOrIndexBehind) {
  const fs::path day = places().plain / "20260301";
  fs::create_directories(day);
  ASSERT_EQ(archive::writeArchiveFile(day / "2026-03-01T10:00:00Z.png", "PNG"), std::nullopt);
  ASSERT_EQ(
      archive::writeRecordText(day / "2026-03-01T10:00:00Z.txt", "https://a.example/",
                               "20260301/2026-03-01T10:00:00Z", "2026-03-01T10:00:00Z", "A", "words", 10),
      std::nullopt);
  ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
  const fs::path index = root / "cache" / "tessaron" / archive::indexFileName(places().plain);
  fs::create_directories(index.parent_path());
  std::ofstream(index) << "words";

  desktop->alertAnswers = {1};  // "Keep Plain Files"
  {
    ArchiveAccess declined(places());
    declined.open();
    EXPECT_EQ(declined.state(), ArchiveAccess::State::plain);
    EXPECT_EQ(alertTitles(), std::vector<std::string>{"Seal Your Archive?"});
  }
  desktop->alertAnswers = {0, 0};
  ArchiveAccess access(places());
  access.open();
  ASSERT_EQ(access.state(), ArchiveAccess::State::open);
  const fs::path moved = places().store.open / "AppData" / "20260301" / "2026-03-01T10:00:00Z.txt";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline &&
         linesWith("The archive is sealed: 1 records moved") == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(fs::exists(moved));
  EXPECT_FALSE(fs::exists(places().plain)) << "the plain folder goes when nothing of the person's is in it";
  EXPECT_FALSE(fs::exists(index)) << "the plain archive's index held its words";
  ::unsetenv("XDG_CACHE_HOME");
}

TEST_F(ArchiveAccessTest, EncryptArchiveFalseKeepsANewArchivePlainAndSaysSo) {
  writeSettings(R"({"encryptArchive": false})");
  ArchiveAccess access(places());
  access.open();
  EXPECT_EQ(access.state(), ArchiveAccess::State::plain);
  EXPECT_FALSE(access.location().sealedRoot);
  EXPECT_TRUE(desktop->shownAlerts().empty());
  EXPECT_EQ(linesWith("\"encryptArchive\": false"), 1U);
}

}  // namespace
}  // namespace tessaron
