// The real program in a GNOME (Wayland) session: GNOME Shell headless on a virtual monitor with real Chromium
// and Firefox side by side, window places from Tessaron's GNOME Shell extension and pixels from the desktop
// portal's screen cast. The first start asks which screen may be recorded: tessaron's alert, then the
// desktop's own dialog, answered through the accessibility bus as a person would. Records then carry address,
// title, words and their own window's pixels. A second start restores the grant without any dialog.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>
#include <tuple>

#include "platform/wayland/portal_screencast.h"
#include "tests/accessible.h"
#include "tests/archive_files.h"
#include "tests/desktop_suite.h"
#include "tests/sample_pages.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

// The applications on the accessibility bus and the named nodes of the portal's, for a failure message.
std::string accessibleOverview() {
  std::string out;
  Accessible desktop(atspi_get_desktop(0));
  for (auto& app : desktop.children()) {
    out += "application \"" + app.name() + "\"\n";
    if (app.name().find("portal") == std::string::npos) continue;
    std::vector<Accessible> nodes;
    app.collect(nodes);
    for (auto& node : nodes) {
      gchar* role = atspi_accessible_get_role_name(node.object, nullptr);
      out += "  " + std::string(role ? role : "?") + " \"" + node.name() + "\"\n";
      g_free(role);
    }
  }
  return out;
}

class GnomeTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session = new DesktopSession(fs::temp_directory_path() / ("tessaron-gnome-" + std::to_string(::getpid())),
                                 DisplayServer::gnome);
    atspi_init();
    for (const auto& page : {harbourPage, orchardPage})
      addSamplePage(session->pages(), page);
    session->startChromium(session->pages().url(harbourPage.path), harbourPage.title);
    session->startFirefox(session->pages().url(orchardPage.path), orchardPage.title);
    tessaron = startTessaron("tessaron");
  }

  static pid_t startTessaron(const std::string& name) {
    return session->startTessaron(name, {{"TESSARON_LOG", "stderr"}});
  }

  static fs::path tokenFile() { return session->home() / ".config/tessaron/screencast-restore-token"; }
};

TEST_F(GnomeTest, TheFirstStartAsksThroughTheDesktopsDialogOnceThenRecordsBothBrowsers) {
  // tessaron's alert, in GNOME's terms.
  Accessible choose;
  ASSERT_TRUE(waitFor(
      [&] {
        Accessible app = applicationOf(tessaron);
        choose = app ? findNode(app, ATSPI_ROLE_PUSH_BUTTON, "Choose Screen") : Accessible();
        return static_cast<bool>(choose);
      },
      30s))
      << session->log("tessaron");
  // In GNOME's words: its top bar shows the sharing, and nothing of Plasma's.
  std::vector<Accessible> nodes;
  applicationOf(tessaron).collect(nodes);
  std::string words;
  for (auto& node : nodes)
    words += node.name() + "\n";
  EXPECT_NE(words.find("the top bar shows"), std::string::npos) << words;
  EXPECT_EQ(words.find("Plasma"), std::string::npos) << words;
  ASSERT_TRUE(choose.press());

  // The desktop's dialog: the screen is picked and shared, as a person would.
  ASSERT_TRUE(answerScreenCastDialog(30s)) << accessibleOverview() << session->log("tessaron");

  ASSERT_TRUE(waitFor([] { return !recordsOf(harbourPage).empty() && !recordsOf(orchardPage).empty(); }, 60s))
      << session->log("tessaron");
  for (const auto& [page, own, other] : {std::tuple{harbourPage, Pixel{40, 110, 220}, Pixel{220, 80, 40}},
                                         std::tuple{orchardPage, Pixel{220, 80, 40}, Pixel{40, 110, 220}}}) {
    expectRecordOfItsOwnWindow(recordsOf(page).front(), page, own, other);
  }
  struct stat status {};
  ASSERT_EQ(::stat(tokenFile().c_str(), &status), 0) << "the grant was not kept";
  EXPECT_EQ(status.st_mode & 0777, 0600U);
}

TEST_F(GnomeTest, ASecondStartRestoresTheGrantWithoutAnyDialog) {
  ASSERT_EQ(session->stop(tessaron, 10s), 0) << session->log("tessaron");
  const std::size_t before = recordsOf(harbourPage).size();
  tessaron = startTessaron("tessaron-again");
  EXPECT_TRUE(waitFor([&] { return recordsOf(harbourPage).size() > before; }, 40s))
      << session->log("tessaron-again");
  EXPECT_FALSE(screenCastShareButton()) << "the desktop asked again";
  EXPECT_EQ(occurrences(session->log("tessaron-again"), "User just granted Screen Capturing"), 1U);
  // The token the restored start returned is kept again (GNOME 43 returns the same one).
  struct stat status {};
  ASSERT_EQ(::stat(tokenFile().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600U);
  EXPECT_FALSE(fs::exists(tokenFile().string() + ".partial"));
}

}  // namespace
}  // namespace tessaron::testing
