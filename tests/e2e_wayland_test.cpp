// The real program in a Wayland session: a headless sway with real Chromium and Firefox as native Wayland
// clients, side by side, and a Chromium incognito window. tessaron is started without naming a backend, as a
// person's autostart would, and must pick the Wayland one from the session. Records carry address, title and
// words (never the password), each screenshot holds its own window's pixels only, an unchanged window is not
// saved again, the incognito window leaves no trace, a covered window waits until it is uncovered, and a
// window on a hidden workspace is not on screen.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/archive_files.h"
#include "tests/desktop_suite.h"
#include "tests/sample_pages.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

const SamplePage chromiumPage{"/chromium/estuary.html", "Estuary Charts", "estuarymarker",
                              "rgb(40, 110, 220)"};
const SamplePage firefoxPage{"/firefox/meadow.html", "Meadow Survey", "meadowmarker", "rgb(220, 80, 40)"};
const SamplePage incognitoPage{"/incognito/attic.html", "Attic Letters", "atticmarker", "rgb(30, 140, 90)"};
const SamplePage chromiumNext{"/chromium/delta.html",
                              "Delta Soundings",
                              "deltamarker",
                              "rgb(40, 110, 220)",
                              "left:0;top:0;width:1000px;height:420px",
                              "#000"};

const Pixel chromiumBlue{40, 110, 220};
const Pixel firefoxOrange{220, 80, 40};
const Pixel incognitoGreen{30, 140, 90};

class WaylandTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session = new DesktopSession(
        fs::temp_directory_path() / ("tessaron-wayland-" + std::to_string(::getpid())), DisplayServer::sway);
    for (const auto& page : {chromiumPage, firefoxPage, incognitoPage, chromiumNext})
      addSamplePage(session->pages(), page);
    session->startChromium(session->pages().url(chromiumPage.path), chromiumPage.title);
    session->startFirefox(session->pages().url(firefoxPage.path), firefoxPage.title);
    session->startChromium(session->pages().url(incognitoPage.path), incognitoPage.title,
                           "chromium-incognito", {"--incognito"});
    tessaron = session->startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}});
  }

  static bool sway(const std::vector<std::string>& command) {
    std::vector<std::string> argv{"swaymsg"};
    argv.insert(argv.end(), command.begin(), command.end());
    const pid_t pid = session->start("swaymsg", argv);
    waitFor([&] { return !session->running(pid); }, 5s);
    return session->stop(pid, 1s) == 0;
  }
};

TEST_F(WaylandTest, BothBrowsersAreRecordedWithAddressTitleWordsAndTheirOwnPixels) {
  ASSERT_TRUE(
      waitFor([] { return !recordsOf(chromiumPage).empty() && !recordsOf(firefoxPage).empty(); }, 90s))
      << session->log("tessaron");
  for (const auto& [page, own, other] : {std::tuple{chromiumPage, chromiumBlue, firefoxOrange},
                                         std::tuple{firefoxPage, firefoxOrange, chromiumBlue}}) {
    const auto found = recordsOf(page);
    ASSERT_FALSE(found.empty());
    const ArchivedRecord& record = found.front();
    EXPECT_TRUE(record.title.starts_with(page.title)) << record.title;
    EXPECT_NE(record.body.find(page.marker + " heading"), std::string::npos) << record.body;
    EXPECT_EQ(record.body.find("hunter2secret"), std::string::npos) << "a password field was read";
    fs::path png = record.text;
    png.replace_extension(".png");
    const auto image = decodePngFile(png);
    ASSERT_TRUE(image) << png;
    // Tiled side by side, each window is about a third of the 1600 px output, the full height of it.
    EXPECT_GT(image->width, 400u);
    EXPECT_LT(image->width, 900u);
    EXPECT_GT(image->height, 900u);
    EXPECT_GT(shareOf(*image, own), 0.25) << page.title << ": its own background fills much of it";
    EXPECT_LT(shareOf(*image, other), 0.01) << page.title << ": nothing of the other browser's window";
    EXPECT_LT(shareOf(*image, incognitoGreen), 0.01) << page.title << ": nothing of the incognito window";
  }
  const std::string log = session->log("tessaron");
  EXPECT_NE(log.find("Platform backend: wayland"), std::string::npos)
      << "the backend was chosen from the session:\n"
      << log.substr(0, 2000);
}

TEST_F(WaylandTest, AnUnchangedWindowIsNotSavedAgainAndTheIncognitoWindowNever) {
  ASSERT_TRUE(
      waitFor([] { return !recordsOf(chromiumPage).empty() && !recordsOf(firefoxPage).empty(); }, 90s));
  const std::size_t before = records().size();
  ASSERT_TRUE(waitForPasses(3)) << session->log("tessaron");
  EXPECT_EQ(records().size(), before) << "three passes over unchanged windows saved something";
  EXPECT_TRUE(recordsOf(incognitoPage).empty());
  const std::string log = session->log("tessaron");
  for (const std::string& trace : {incognitoPage.title, incognitoPage.marker, incognitoPage.path})
    EXPECT_EQ(log.find(trace), std::string::npos) << "the log names \"" << trace << "\"";
  EXPECT_GE(countInLog("is a private browsing window: not recorded"), 1U) << log;
}

TEST_F(WaylandTest, ACoveredWindowWaitsAndAWindowOnAHiddenWorkspaceIsNotOnScreen) {
  ASSERT_TRUE(waitFor([] { return !recordsOf(chromiumPage).empty(); }, 90s));
  // The incognito window floats over the others, and the Chromium window moves on to a new page meanwhile.
  ASSERT_TRUE(sway({"[title=\"^Attic Letters\"]", "floating", "enable,", "resize", "set", "1000", "800,",
                    "move", "position", "center"}));
  session->pages().navigate("chromium", chromiumNext.path);
  ASSERT_TRUE(waitForPasses(2)) << session->log("tessaron");
  EXPECT_TRUE(recordsOf(chromiumNext).empty()) << "a covered window was saved with the other window's pixels";

  // Tiled again, the new page is saved, with its own pixels only.
  ASSERT_TRUE(sway({"[title=\"^Attic Letters\"]", "floating", "disable"}));
  ASSERT_TRUE(waitFor([] { return !recordsOf(chromiumNext).empty(); }, 30s)) << session->log("tessaron");
  fs::path png = recordsOf(chromiumNext).front().text;
  const auto image = decodePngFile(png.replace_extension(".png"));
  ASSERT_TRUE(image);
  EXPECT_LT(shareOf(*image, incognitoGreen), 0.01);
  EXPECT_GT(shareOf(*image, chromiumBlue), 0.25);

  // Firefox on a workspace nobody looks at is not on screen: two browser windows are left.
  ASSERT_TRUE(sway({"[app_id=\"firefox-esr\"]", "move", "container", "to", "workspace", "2"}));
  const std::size_t before = countInLog("Found 2 active browser windows");
  EXPECT_TRUE(waitFor([&] { return countInLog("Found 2 active browser windows") > before; }, 20s))
      << session->log("tessaron");
}

}  // namespace
}  // namespace tessaron::testing
