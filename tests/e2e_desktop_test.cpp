// What a person sees and touches, for real: the tray item and its menu (through the XEmbed tray of trayer),
// the alerts, and what the menu's actions do. Menus and dialogs are found and pressed through AT-SPI, as a
// screen reader would; screenshots of them are kept in build/test-artifacts.
#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <fstream>
#include <iterator>
#include <optional>

#include "app/action_type.h"
#include "capture/capture.h"
#include "permissions/permissions.h"
#include "platform/freedesktop/desktop.h"
#include "platform/x11/x11_windows.h"
#include "tests/accessible.h"
#include "tests/desktop_session.h"
#include "tests/process_harness.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

// The program's nodes with the role; only those on screen when `showing` (a dialog exists only while shown,
// and under this window manager its nodes need not say so).
std::vector<Accessible> nodesWithRole(pid_t pid, AtspiRole role, bool showing = true) {
  std::vector<Accessible> all, out;
  if (Accessible app = applicationOf(pid)) app.collect(all);
  for (auto& node : all)
    if (node.role() == role && (!showing || node.showing())) out.push_back(node);
  return out;
}

// What an alert shows: its labels and its buttons, in the order the toolkit lists them.
struct AlertContents {
  std::vector<std::string> labels, buttons;
  std::vector<Accessible> buttonNodes;
  bool press(const std::string& title) const {
    for (std::size_t i = 0; i < buttons.size(); ++i)
      if (buttons[i] == title) return buttonNodes[i].press();
    return false;
  }
};

AlertContents contentsOf(const Accessible& alert) {
  std::vector<Accessible> nodes;
  alert.collect(nodes);
  AlertContents contents;
  for (const auto& node : nodes) {
    if (node.role() == ATSPI_ROLE_LABEL && !node.name().empty()) contents.labels.push_back(node.name());
    if (node.role() == ATSPI_ROLE_PUSH_BUTTON) {
      contents.buttons.push_back(node.name());
      contents.buttonNodes.push_back(node);
    }
  }
  return contents;
}

// The program's alert once it shows, or nothing after 20 s.
std::optional<AlertContents> waitForAlert(pid_t pid) {
  std::vector<Accessible> alerts;
  if (!waitFor(
          [&] {
            alerts = nodesWithRole(pid, ATSPI_ROLE_ALERT, false);
            return !alerts.empty();
          },
          20s))
    return std::nullopt;
  return contentsOf(alerts.front());
}

class DesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session =
        new DesktopSession(fs::temp_directory_path() / ("tessaron-desktop-" + std::to_string(::getpid())));
    atspi_init();
    // A system tray (XEmbed) on the desktop; no StatusNotifier host runs, so the item falls back to it.
    session->start("trayer", {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                              "--height", "24", "--transparent", "false"});
    // xdg-open is a recording stub: what the program asks it to open lands in a file.
    fs::create_directories(session->folder() / "bin");
    std::ofstream(session->folder() / "bin/xdg-open")
        << "#!/bin/sh\necho \"$@\" >> '" << (session->folder() / "opened.txt").string() << "'\n";
    fs::permissions(session->folder() / "bin/xdg-open", fs::perms::owner_all);
    fs::create_directories(TESSARON_ARTIFACT_DIR);
  }

  static void TearDownTestSuite() {
    const fs::path folder = session->folder();
    delete session;
    if (::testing::UnitTest::GetInstance()->Passed()) fs::remove_all(folder);
  }

  static std::map<std::string, std::string> tessaronEnvironment() {
    return {{"TESSARON_LOG", "stderr"},
            {"TESSARON_PLATFORM", "x11"},
            {"PATH", (session->folder() / "bin").string() + ":" + std::getenv("PATH")}};
  }

  static pid_t startTessaron() {
    started = session->startTessaron("tessaron", tessaronEnvironment());
    return started;
  }

  // A test that failed half-way leaves no tessaron (nor its server on port 5000) to the next.
  void TearDown() override {
    if (started > 0 && session->running(started)) session->stop(started);
    started = 0;
  }
  static inline pid_t started = 0;

  static bool setAccessibility(bool on) { return session->switchAccessibility(on); }

  static bool accessibilityIsOn() {
    const pid_t call =
        session->start("gdbus-get", {"gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                                     "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Get",
                                     "org.a11y.Status", "IsEnabled"});
    waitFor([&] { return !session->running(call); }, 5s);
    session->stop(call, 1s);
    const std::string log = session->log("gdbus-get");
    return log.rfind("(<true>,)") != std::string::npos &&
           log.rfind("(<true>,)") > log.rfind("(<false>,)") + 1;
  }

  static std::size_t countInLog(const std::string& text) {
    return occurrences(session->log("tessaron"), text);
  }

  static std::string opened() {
    std::ifstream in(session->folder() / "opened.txt");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  // A screenshot of the whole screen, kept for a person to look at.
  static void keepScreenshot(const std::string& name) {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_disconnect(connection);
    platform::x11::X11WindowServer windows({});
    auto shot = windows.captureWindow({root, std::nullopt, {}, std::nullopt});
    ASSERT_TRUE(shot) << shot.error().text;
    const auto png = encodePng(shot.value());
    std::ofstream out(fs::path(TESSARON_ARTIFACT_DIR) / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }

  static inline DesktopSession* session = nullptr;
};

TEST_F(DesktopTest, TheTrayMenuHoldsTheFiveActionsAndEachDoesItsJob) {
  ASSERT_TRUE(setAccessibility(true));
  const pid_t tessaron = startTessaron();
  ASSERT_TRUE(waitFor([&] { return countInLog("Start Screen Capturing from logger") >= 1; }, 30s))
      << session->log("tessaron");

  // A click on the tray icon opens the menu; pressing an entry closes it again.
  std::vector<Accessible> items;
  auto openMenu = [&] {
    const pid_t click =
        session->start("xdotool", {"xdotool", "search", "--sync", "--classname", "com.marrowbeck.tessaron",
                                   "mousemove", "--window", "%1", "10", "10", "click", "1"});
    const bool shown = waitFor(
        [&] {
          items = nodesWithRole(tessaron, ATSPI_ROLE_MENU_ITEM);
          return items.size() >= allActionTypes.size();
        },
        15s);
    session->stop(click, 1s);
    return shown;
  };
  ASSERT_TRUE(openMenu()) << session->log("xdotool");
  std::vector<std::string> titles, lines;
  for (const auto& item : items)
    if (!item.name().empty()) (item.name().starts_with("Archive: ") ? lines : titles).push_back(item.name());
  EXPECT_EQ(titles, (std::vector<std::string>{"Pause", "Pause for an Hour", "Forget the Last 15 Minutes",
                                              "Search", "Inspect Data", "Learn More", "Quit Tessaron"}));
  EXPECT_EQ(lines.size(), 1U) << "the panel's line says what the archive takes";
  keepScreenshot("tray-menu.png");
  auto item = [&](const std::string& title) {
    for (const auto& candidate : nodesWithRole(tessaron, ATSPI_ROLE_MENU_ITEM))
      if (candidate.name() == title) return candidate;
    return Accessible{};
  };
  auto press = [&](const std::string& title) {
    if (!item(title) && !openMenu()) return false;
    return item(title).press();
  };

  ASSERT_TRUE(press("Search"));
  EXPECT_TRUE(waitFor([] { return opened().find("http://127.0.0.1:5000/") != std::string::npos; }, 10s))
      << opened();
  ASSERT_TRUE(press("Inspect Data"));
  // No file manager answers on this desktop's bus, so the folder itself is opened.
  EXPECT_TRUE(waitFor([] { return opened().find("/tessaron/AppData") != std::string::npos; }, 10s))
      << opened();
  ASSERT_TRUE(press("Learn More"));
  EXPECT_TRUE(
      waitFor([] { return opened().find("Contents/Resources/README.html") != std::string::npos; }, 10s))
      << opened();

  // Pause stops the passes and the toggle then reads "Capture"; pressing it starts them again.
  ASSERT_TRUE(press("Pause"));
  ASSERT_TRUE(waitFor([&] { return countInLog("Pause action") == 1; }, 10s));
  const std::size_t paused = countInLog("Start Screen Capturing from logger");
  EXPECT_FALSE(waitFor([&] { return countInLog("Start Screen Capturing from logger") > paused; }, 7s));
  ASSERT_TRUE(press("Capture"));
  EXPECT_TRUE(waitFor([&] { return countInLog("Start Screen Capturing from logger") > paused; }, 10s));
  ASSERT_TRUE(openMenu());
  EXPECT_TRUE(item("Pause"));

  // Pause for an Hour pauses as the toggle does, which then reads "Capture"; Forget deletes and says how
  // much.
  ASSERT_TRUE(press("Pause for an Hour"));
  ASSERT_TRUE(waitFor([&] { return countInLog("Paused for an hour") == 1; }, 10s));
  ASSERT_TRUE(openMenu());
  EXPECT_TRUE(item("Capture"));
  ASSERT_TRUE(press("Forget the Last 15 Minutes"));
  EXPECT_TRUE(waitFor([&] { return countInLog("records of the last 15 minutes") == 1; }, 10s));
  ASSERT_TRUE(press("Capture"));
  ASSERT_TRUE(waitFor([&] { return countInLog("Start action") == 2; }, 10s));

  // A second copy for the same user sees the first and leaves at once.
  const pid_t second =
      session->start("tessaron-second", {(bundleDirectory() / "Contents/MacOS/tessaron").string()},
                     {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
  EXPECT_TRUE(waitFor([&] { return !session->running(second); }, 15s));
  EXPECT_EQ(session->stop(second), 0);
  EXPECT_NE(session->log("tessaron-second").find("App already running."), std::string::npos)
      << session->log("tessaron-second");
  EXPECT_TRUE(session->running(tessaron));

  // Quit stops capture and the server, and the program ends normally.
  ASSERT_TRUE(press("Quit Tessaron"));
  EXPECT_TRUE(waitFor([&] { return !session->running(tessaron); }, 15s));
  EXPECT_EQ(session->stop(tessaron), 0) << session->log("tessaron");
  EXPECT_TRUE(waitFor([] { return !portListening(5000); }, 10s)) << "the search server still listens";
}

TEST_F(DesktopTest, TheAccessibilityAlertShowsItsTextsAndItsRequestSwitchesAccessibilityOn) {
  ASSERT_TRUE(setAccessibility(false));
  const pid_t tessaron = startTessaron();
  const std::optional<AlertContents> shown = waitForAlert(tessaron);
  ASSERT_TRUE(shown) << session->log("tessaron");
  const AlertContents& alert = *shown;
  // The desktop's own words: no system preferences or lock icon on a Linux desktop.
  const platform::GrantWording wording = platform::freedesktop::accessibilityWording();
  EXPECT_EQ(alert.labels,
            (std::vector<std::string>{"Accessibility Permissions Required", wording.explanation}));
  // Right to left in the alert's own order: the first button is the rightmost, so it comes last here.
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Cancel", "Switch On Accessibility"}));
  keepScreenshot("accessibility-alert.png");
  ASSERT_TRUE(alert.press("Switch On Accessibility"));
  EXPECT_TRUE(waitFor([] { return accessibilityIsOn(); }, 10s));
  EXPECT_TRUE(waitFor([&] { return countInLog("restart") > 0; }, 10s)) << session->log("tessaron");
  EXPECT_EQ(session->stop(tessaron), 0);
}

TEST_F(DesktopTest, AccessibilitySwitchedOnElsewhereClosesItsAlertAndCapturingStarts) {
  ASSERT_TRUE(setAccessibility(false));
  const std::size_t passes = countInLog("Start Screen Capturing from logger");
  const pid_t tessaron = startTessaron();
  ASSERT_TRUE(waitForAlert(tessaron)) << session->log("tessaron");
  ASSERT_TRUE(setAccessibility(true));  // as the desktop's own settings would, while the alert is open
  EXPECT_TRUE(waitFor([&] { return nodesWithRole(tessaron, ATSPI_ROLE_ALERT, false).empty(); }, 10s))
      << "the alert stays open";
  EXPECT_TRUE(waitFor([&] { return countInLog("Start Screen Capturing from logger") > passes; }, 20s))
      << session->log("tessaron");
  EXPECT_EQ(session->stop(tessaron), 0);
}

TEST_F(DesktopTest, ThePortDialogShowsItsTextAndNoEndsWithStatusOne) {
  ASSERT_TRUE(setAccessibility(true));
  // Connections of an earlier server may hold the port for a while after it is gone (the kernel keeps
  // their ends until they time out): the other program is started again until it gets the port.
  pid_t holder = 0;
  ASSERT_TRUE(waitFor(
      [&] {
        if (portListening(5000)) return true;
        if (holder == 0 || !session->running(holder))
          holder =
              session->start("port-holder", {"python3", "-m", "http.server", "5000", "--bind", "127.0.0.1"});
        return false;
      },
      90s))
      << session->log("port-holder");
  // Started while another program holds the port, on purpose.
  const pid_t tessaron = started = session->start(
      "tessaron", {(bundleDirectory() / "Contents/MacOS/tessaron").string()}, tessaronEnvironment());
  const std::optional<AlertContents> shown = waitForAlert(tessaron);
  ASSERT_TRUE(shown) << session->log("tessaron");
  const AlertContents& alert = *shown;
  EXPECT_EQ(alert.labels,
            (std::vector<std::string>{"tessaron",
                                      "A process is running on port 5000. Do you want to kill it so "
                                      "tessaron can run?"}));
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"No", "Yes"}));
  keepScreenshot("port-dialog.png");
  ASSERT_TRUE(alert.press("No"));
  EXPECT_TRUE(waitFor([&] { return !session->running(tessaron); }, 15s));
  EXPECT_EQ(session->stop(tessaron), 1) << session->log("tessaron");
  EXPECT_TRUE(session->running(holder)) << "the other program keeps its port";
  session->stop(holder);
}

}  // namespace
}  // namespace tessaron::testing
