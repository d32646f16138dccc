// The sealed archive against real browsers and a real Secret Service on a private X11 desktop: GNOME Keyring
// started headless and unlocked, Chromium and Firefox on two pages, tessaron sealing a new archive. Records
// are saved and found through the search server, while nothing under the home folder, the runtime folder or
// in tessaron's log holds a page's marker word, title or address; once tessaron ends, nothing is mounted.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tests/archive_files.h"
#include "tests/desktop_suite.h"
#include "tests/sample_pages.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

const SamplePage chromiumPage{"/sealed/ledger.html", "Quillmarsh Ledger", "zanzibarquokka",
                              "rgb(40, 110, 220)"};
const SamplePage firefoxPage{"/sealed/atlas.html",
                             "Garnet Atlas",
                             "velvetmarmoset",
                             "rgb(220, 80, 40)",
                             "left:0;top:0;width:1000px;height:420px",
                             "#000"};

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SealedTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session =
        new DesktopSession(fs::temp_directory_path() / ("tessaron-sealed-" + std::to_string(::getpid())));
    for (const auto& page : {chromiumPage, firefoxPage})
      addSamplePage(session->pages(), page);
    fs::remove(session->home() / ".config" / "tessaron" / "settings.json");  // sealed, as on a fresh machine
    keyringDaemon = startKeyring("keyring");
    // Ready once a secret can be kept: the login keyring made and unlocked.
    keyringReady = waitFor(
        [] {
          return session->run(
                     "keyring-probe",
                     {"sh", "-c", "printf probe | secret-tool store --label=probe tessaron-probe yes"},
                     10s) == 0;
        },
        60s);
    session->startChromium(session->pages().url(chromiumPage.path), chromiumPage.title);
    session->startFirefox(session->pages().url(firefoxPage.path), firefoxPage.title);
    tessaron = session->startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
    // The recovery key is shown once, in a dialog that waits for the person: they press its one button.
    pressInAlert("press", "Return");
  }

  // Each test may end tessaron and start its own.
  void SetUp() override {
    if (!session) GTEST_SKIP() << "no desktop";
  }

  static inline bool keyringReady = false;
  static inline pid_t keyringDaemon = 0;

  // GNOME Keyring as a login starts it: its login keyring unlocked with the login password.
  static pid_t startKeyring(const std::string& name) {
    return session->start(name, {"sh", "-c",
                                 "printf 'login password' | exec gnome-keyring-daemon --foreground --unlock "
                                 "--components=secrets"});
  }

  // Presses a key in tessaron's alert, once it is shown (the visible window of that name).
  static void pressInAlert(const std::string& name, const std::string& key) {
    waitFor(
        [&] {
          return session->run(name,
                              {"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Tessaron$",
                               "windowfocus", "--sync", "key", key},
                              10s) == 0;
        },
        60s);
  }

  static fs::path openFolder() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(session->folder() / "runtime" / "tessaron", ec))
      if (entry.path().filename().string().starts_with("Archive-")) return entry.path();
    return {};
  }

  static bool archived(const SamplePage& page) {
    const fs::path open = openFolder();
    if (open.empty()) return false;
    const auto all = readArchive(open / "AppData");
    return std::any_of(all.begin(), all.end(), [&](const ArchivedRecord& record) {
      return record.title.starts_with(page.title) && record.body.find(page.marker) != std::string::npos;
    });
  }

  // Every file under `folder` (names and bytes) that holds one of the pages' words.
  static std::vector<std::string> plainTraces(const fs::path& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it =
             fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      const fs::path path = it->path();
      // The open store is plain on purpose while tessaron runs; the browsers' own profiles and logs and the
      // pages served to them are theirs.
      const std::string text = path.string();
      if (text.find("/Archive-") != std::string::npos || text.find("/profiles/") != std::string::npos ||
          text.find("chromium") != std::string::npos || text.find("firefox") != std::string::npos ||
          text.find("mozilla") != std::string::npos || path.extension() == ".log" || !it->is_regular_file(ec))
        continue;
      const std::string bytes = path.filename().string() + readAll(path);
      for (const auto& page : {chromiumPage, firefoxPage})
        for (const std::string& word : {page.marker, page.title, page.path})
          if (bytes.find(word) != std::string::npos) found.push_back(text + " holds " + word);
    }
    return found;
  }
};

TEST_F(SealedTest, RecordsAreSavedAndFoundWhileNothingOnTheDiskOrInTheLogNamesAPage) {
  ASSERT_TRUE(keyringReady) << session->log("keyring") << session->log("keyring-probe");
  ASSERT_TRUE(waitFor([] { return archived(chromiumPage) && archived(firefoxPage); }, 90s))
      << session->log("tessaron");
  const std::string log = session->log("tessaron");
  EXPECT_NE(log.find("A sealed archive was made; its recovery key was shown once."), std::string::npos)
      << log;
  EXPECT_NE(log.find("[seen "), std::string::npos) << "titles are logged as tags";
  for (const auto& page : {chromiumPage, firefoxPage})
    for (const std::string& word : {page.marker, page.title, page.path})
      EXPECT_EQ(log.find(word), std::string::npos) << "the log names \"" << word << "\"";

  // Found through the search server, from inside the store.
  const fs::path answer = session->folder() / "search.json";
  ASSERT_TRUE(waitFor(
      [&] {
        session->run("search",
                     {"python3", "-c",
                      "import sys,urllib.request; open(sys.argv[2],'wb').write(urllib.request.urlopen("
                      "sys.argv[1]).read())",
                      "http://127.0.0.1:5000/api/search?q=" + chromiumPage.marker, answer.string()},
                     10s);
        return readAll(answer).find(chromiumPage.title) != std::string::npos;
      },
      60s))
      << readAll(answer);

  EXPECT_EQ(plainTraces(session->home()), std::vector<std::string>{});
  EXPECT_EQ(plainTraces(session->folder() / "runtime"), std::vector<std::string>{});
  EXPECT_NE(readAll(session->home() / ".local/share/tessaron/Sealed/gocryptfs.conf").find("ScryptObject"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(session->home() / ".local/share/tessaron/AppData")) << "no plain archive";

  // Ended, it leaves nothing mounted: the runtime folder holds an empty folder where the store was open.
  const fs::path open = openFolder();
  EXPECT_EQ(session->stop(tessaron, 10s), 0) << session->log("tessaron");
  tessaron = 0;  // the next test starts its own
  EXPECT_TRUE(waitFor(
      [&] {
        std::ifstream mounts("/proc/self/mountinfo");
        const std::string all((std::istreambuf_iterator<char>(mounts)), std::istreambuf_iterator<char>());
        return all.find(open.string()) == std::string::npos;
      },
      30s));
  std::error_code ec;
  EXPECT_TRUE(fs::is_empty(open, ec)) << open;
}

TEST_F(SealedTest, ALockedKeyringRecordsNothingAndUnlockingItStartsRecordingWithoutARestart) {
  ASSERT_TRUE(keyringReady);
  const std::size_t before = openFolder().empty() ? 0 : readArchive(openFolder() / "AppData").size();
  if (tessaron > 0) {
    EXPECT_EQ(session->stop(tessaron, 10s), 0);
  }
  tessaron = 0;
  ASSERT_EQ(session->run("lock",
                         {"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                          "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                          "['/org/freedesktop/secrets/collection/login']"},
                         10s),
            0)
      << session->log("lock");
  tessaron =
      session->startTessaron("tessaron-locked", {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
  auto log = [] { return session->log("tessaron-locked"); };
  ASSERT_TRUE(waitFor(
      [&] { return log().find("The archive is locked: your keyring is locked.") != std::string::npos; }, 60s))
      << log();
  // The alert offers to type the recovery key; the person closes it with nothing typed.
  pressInAlert("press-locked", "Escape");
  ASSERT_TRUE(waitFor([&] { return occurrences(log(), "Start Screen Capturing from logger") >= 3; }, 60s))
      << log();
  EXPECT_EQ(occurrences(log(), "The archive is locked"), 1U) << "said once";
  EXPECT_EQ(log().find("Metadata saved at"), std::string::npos) << "nothing recorded while locked";
  EXPECT_FALSE(fs::exists(session->home() / ".local/share/tessaron/AppData")) << "never plain files";
  std::error_code ec;
  EXPECT_TRUE(fs::is_empty(openFolder(), ec)) << "nothing where the store opens";

  // Then no keyring at all: said once more, with its own reason.
  session->stop(keyringDaemon);
  EXPECT_TRUE(waitFor(
      [&] { return log().find("The archive is locked: no keyring can be reached") != std::string::npos; },
      90s))
      << log();
  EXPECT_EQ(log().find("Metadata saved at"), std::string::npos);
  // The keyring comes back unlocked, as at the next login: recording starts within the half-minute retry.
  keyringDaemon = startKeyring("keyring-again");
  EXPECT_TRUE(waitFor([&] { return log().find("The sealed archive is open.") != std::string::npos; }, 90s))
      << log();
  EXPECT_TRUE(waitFor([&] { return readArchive(openFolder() / "AppData").size() > before; }, 60s)) << log();
}

}  // namespace
}  // namespace tessaron::testing
