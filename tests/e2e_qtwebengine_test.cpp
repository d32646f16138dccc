// The real program against Plasma's own browsers, Falkon and Konqueror (both QtWebEngine), on a private X11
// desktop: their pages are recorded with address and words, and Falkon's private windows never; nor any of
// qutebrowser's, whose private windows cannot be told.
#include <gtest/gtest.h>

#include "tests/archive_files.h"
#include "tests/desktop_suite.h"
#include "tests/sample_pages.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

const SamplePage falkonGarnet{"/falkon/garnet.html", "Garnet Atlas", "falkonalpha", "rgb(40, 110, 220)"};
const SamplePage falkonBasalt{"/falkon/basalt.html",
                              "Basalt Notes",
                              "falkonbravo",
                              "rgb(30, 140, 90)",
                              "left:0;top:0;width:1000px;height:420px",
                              "#000"};
const SamplePage konquerorCedar{"/konqueror/cedar.html", "Cedar Ledger", "konqueroralpha",
                                "rgb(220, 80, 40)"};
const SamplePage falkonQuartz{"/falkon/quartz.html", "Quartz Tables", "falkonquartz", "rgb(200, 180, 40)",
                              "left:40px;top:300px;width:500px;height:200px"};
const SamplePage quteOpal{"/qutebrowser/opal.html", "Opal Index", "quteopal", "rgb(90, 160, 60)"};
const SamplePage falkonPrivate{"/falkon/hideaway.html", "Hideaway Letters", "falkonhideaway",
                               "rgb(120, 40, 160)", "left:300px;top:100px;width:200px;height:500px"};

class QtWebEngineTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session =
        new DesktopSession(fs::temp_directory_path() / ("tessaron-e2e-qt-" + std::to_string(::getpid())));
    for (const auto& page :
         {falkonGarnet, falkonBasalt, konquerorCedar, falkonQuartz, quteOpal, falkonPrivate})
      addSamplePage(session->pages(), page);
    session->startQtWebEngineBrowser("falkon", session->pages().url(falkonGarnet.path), falkonGarnet.title,
                                     "falkon");
    session->startQtWebEngineBrowser("konqueror", session->pages().url(konquerorCedar.path),
                                     konquerorCedar.title, "konqueror");
    tessaron = session->startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
  }

  // The line comes, and two passes later it has still come only once.
  static void expectSaidOnce(const std::string& line) {
    ASSERT_TRUE(waitFor([&] { return countInLog(line) > 0; }, 40s)) << session->log("tessaron");
    ASSERT_TRUE(waitForPasses(2)) << session->log("tessaron");
    EXPECT_EQ(countInLog(line), 1u);
  }

  static void expectWholeRecord(const SamplePage& page, const std::string& browser) {
    ASSERT_TRUE(waitFor([&] { return !recordsOf(page).empty(); }, 60s)) << session->log("tessaron");
    const ArchivedRecord record = recordsOf(page).front();
    SCOPED_TRACE(record.body);
    EXPECT_TRUE(record.title.starts_with(page.title)) << record.title;
    EXPECT_TRUE(record.title.ends_with(browser)) << record.title;
    EXPECT_EQ(record.body.find(page.marker + " heading"), 0u) << "the heading first";
    EXPECT_NE(record.body.find("a link to elsewhere in the middle"), std::string::npos) << "inline words";
    EXPECT_NE(record.body.find("List item one"), std::string::npos);
    EXPECT_NE(record.body.find("Closing line of " + page.marker), std::string::npos) << "the long page whole";
    EXPECT_EQ(record.body.find("hunter2secret"), std::string::npos);
  }
};

TEST_F(QtWebEngineTest, FalkonAndKonquerorPagesAreRecordedWithAddressAndWords) {
  expectWholeRecord(falkonGarnet, "Falkon");
  expectWholeRecord(konquerorCedar, "Konqueror");
}

// The address comes from what the window shows: after navigating, the record is the new page's.
TEST_F(QtWebEngineTest, NavigatingFalkonGivesARecordOfTheNewPage) {
  session->pages().navigate("falkon", falkonBasalt.path);
  ASSERT_TRUE(waitFor([] { return !recordsOf(falkonBasalt).empty(); }, 40s)) << session->log("tessaron");
  const ArchivedRecord record = recordsOf(falkonBasalt).front();
  EXPECT_NE(record.body.find("falkonbravo heading"), std::string::npos) << record.body;
  EXPECT_EQ(record.body.find("falkonalpha"), std::string::npos) << record.body;
}

// Falkon opens a private window as a process of its own, started with a flag.
TEST_F(QtWebEngineTest, AFalkonPrivateWindowIsNeverRecorded) {
  session->startQtWebEngineBrowser("falkon", session->pages().url(falkonPrivate.path), falkonPrivate.title,
                                   "falkon-private", {"--private-browsing"});
  ASSERT_TRUE(waitForPasses(3)) << session->log("tessaron");
  EXPECT_TRUE(recordsOf(falkonPrivate).empty());
  for (const auto& record : records())
    EXPECT_EQ(record.body.find("falkonhideaway"), std::string::npos) << record.title;
  const std::string log = session->log("tessaron");
  EXPECT_EQ(log.find("Hideaway"), std::string::npos);
  EXPECT_GE(countInLog("is a private browsing window: not recorded"), 1u) << log;
}

// Started as a person would before setting QtWebEngine's variable: its pages stay off the accessibility bus,
// so its window waits unrecorded and the person is told once what to do.
TEST_F(QtWebEngineTest, AFalkonThatKeepsItsPagesFromTheBusIsNamedOnceWithWhatToDo) {
  // A second instance (-r) on a profile of its own, so it is not handed to the running one.
  session->startQtWebEngineBrowser("falkon", session->pages().url(falkonQuartz.path), falkonQuartz.title,
                                   "falkon-unreadable", {"-r", "-p", "unreadable"}, false);
  expectSaidOnce("was started without QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=1");
  EXPECT_TRUE(recordsOf(falkonQuartz).empty());
  for (const auto& record : records())
    EXPECT_FALSE(record.title.starts_with(falkonQuartz.title)) << "a record without the page's words";
}

// qutebrowser opens a private window in the process of its others, with the same title and the same tree
// (measured: qutebrowser 2.5, `--target private-window`): no window of it is recorded, and that is said once.
TEST_F(QtWebEngineTest, NoQutebrowserWindowIsRecordedAndThePersonIsToldWhyOnce) {
  session->startQtWebEngineBrowser("qutebrowser", session->pages().url(quteOpal.path), quteOpal.title,
                                   "qutebrowser",
                                   {"--basedir", (session->folder() / "qutebrowser").string()});
  expectSaidOnce("qutebrowser shows private windows beside its others");
  EXPECT_TRUE(recordsOf(quteOpal).empty());
  for (const auto& record : records())
    EXPECT_EQ(record.title.find("qutebrowser"), std::string::npos) << record.title;
  EXPECT_EQ(session->log("tessaron").find("Opal"), std::string::npos) << "its window is never named";
}

}  // namespace
}  // namespace tessaron::testing
