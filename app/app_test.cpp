// The shell's logic on the simulated desktop: actions, the menu, the login item, the action names.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "app/app_delegate.h"
#include "app/application_menu.h"
#include "archive/data_folder.h"
#include "archive/room.h"
#include "base/log.h"
#include "capture/capture_switch.h"
#include "capture/engine.h"
#include "permissions/permissions.h"
#include "platform/sim/sim_desktop.h"
#include "server/server.h"
#include "tests/process_harness.h"

namespace tessaron {
namespace {

namespace fs = std::filesystem;

TEST(ActionTypes, RawValuesOrderEqualityAndHash) {
  std::vector<std::string> raws;
  for (ActionType action : allActionTypes)
    raws.emplace_back(rawValue(action));
  EXPECT_EQ(raws, (std::vector<std::string>{"Toggle", "Pause for an Hour", "Forget the Last 15 Minutes",
                                            "Search", "Inspect Data", "Learn More", "Quit Tessaron"}));
  for (ActionType action : allActionTypes) {
    EXPECT_EQ(actionTypeFromRawValue(rawValue(action)), action) << "round trip";
    EXPECT_EQ(ActionTypeHash{}(action), std::hash<std::string_view>{}(rawValue(action)));
  }
  EXPECT_EQ(actionTypeFromRawValue("toggle"), std::nullopt) << "case matters";
  EXPECT_EQ(actionTypeFromRawValue("Inspect"), std::nullopt);
  EXPECT_EQ(buttonTitle(ActionType::toggle, true), "Pause");
  EXPECT_EQ(buttonTitle(ActionType::toggle, false), "Capture");
  EXPECT_EQ(buttonTitle(ActionType::quit, true), "Quit Tessaron");
}

class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-shell-" + std::to_string(::getpid()));
    fs::remove_all(root);
    platform::sim::ClockSettings clock;
    clock.speed = 0;
    desktop = std::make_shared<platform::sim::Desktop>(clock);
    desktop->applicationSupportOverride = root / "share";
    desktop->bundlePathOverride = root / "Tessaron.app";
    // The launch opens the archive: these tests keep it plain (the sealed archive's tests are its own).
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    fs::create_directories(root / "config" / "tessaron");
    std::ofstream(root / "config" / "tessaron" / "settings.json") << R"({"encryptArchive": false})";
    desktop->portListeners =
        std::vector<platform::PortListener>{};  // nothing on the port, whatever the machine has
    scoped = std::make_unique<platform::ScopedPlatform>(desktop->platform());
    logs = log::useMemorySink();
    engine_ = std::make_unique<Engine>();
    engine_->task.body = [engine = engine_.get()](std::stop_token stop) {
      while (engine->isCapturing.load() && !stop.stop_requested())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
  }
  void TearDown() override {
    engine_.reset();  // switched off, and its task ended
    scoped.reset();
    fs::remove_all(root);
  }
  std::shared_ptr<ContentView> menu() {
    item = platform::current().shell().statusBar().addStatusItem();
    return ApplicationMenu().createMenu(item, engine(), supervisor);
  }
  fs::path root;
  std::shared_ptr<platform::sim::Desktop> desktop;
  std::unique_ptr<platform::ScopedPlatform> scoped;
  std::shared_ptr<log::MemorySink> logs;
  std::shared_ptr<platform::StatusItem> item;
  std::unique_ptr<Engine> engine_;
  Engine& engine() { return *engine_; }
  ServerSupervisor supervisor;
};

TEST_F(Shell, TheMenuHoldsTheActionsAndTheToggleStartsAsPause) {
  auto view = menu();
  auto state = desktop->statusItem();
  EXPECT_EQ(state.panelImage, "logo");
  std::vector<std::string> titles;
  for (const auto& entry : state.entries)
    titles.push_back(entry.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"Pause", "Pause for an Hour", "Forget the Last 15 Minutes",
                                              "Search", "Inspect Data", "Learn More", "Quit Tessaron"}));
  EXPECT_EQ(view->actionType(), ActionType::toggle) << "the default when nothing is stored";
}

TEST_F(Shell, ToggleFollowsTheCaptureSwitchInAllFourCombinations) {
  auto view = menu();
  auto title = [&] { return desktop->statusItem().entries[0].title; };
  // Switch off, label "Pause": start, label stays.
  performAction(ActionType::toggle, *view);
  EXPECT_TRUE(engine().isCapturing.load());
  EXPECT_EQ(title(), "Pause");
  // Switch on, label "Pause": pause, label "Capture".
  performAction(ActionType::toggle, *view);
  EXPECT_FALSE(engine().isCapturing.load());
  EXPECT_EQ(title(), "Capture");
  // Switch off, label "Capture": start, label "Pause".
  performAction(ActionType::toggle, *view);
  EXPECT_TRUE(engine().isCapturing.load());
  EXPECT_EQ(title(), "Pause");
  // Switch on, label "Capture": pause.
  view->setIsCapturing(false);
  performAction(ActionType::toggle, *view);
  EXPECT_FALSE(engine().isCapturing.load());
  EXPECT_EQ(title(), "Capture");
  EXPECT_EQ(logs->texts(log::Category::contentView),
            (std::vector<std::string>{"Start action", "Pause action", "Start action", "Pause action"}));
  EXPECT_TRUE(engine().taskHandle()->isCancelled());
}

TEST_F(Shell, SearchOpensOnlyTessaronsOwnServerAndInspectAndLearnMoreOpenWhatTheyShould) {
  auto view = menu();
  const fs::path server = root / "Tessaron.app" / "Contents" / "MacOS" / "server";
  fs::create_directories(server.parent_path());
  std::ofstream(server) << "the server";
  const auto me = static_cast<std::uint32_t>(::getuid());
  performAction(ActionType::search, *view);  // nothing on the port
  desktop->portListeners = std::vector<platform::PortListener>{{0, "", me + 1}};
  performAction(ActionType::search, *view);
  desktop->portListeners = std::vector<platform::PortListener>{{4321, "/usr/bin/python3", me}};
  performAction(ActionType::search, *view);
  desktop->portListeners = std::vector<platform::PortListener>{{4321, server.string(), me}};
  performAction(ActionType::search, *view);
  performAction(ActionType::inspect, *view);
  performAction(ActionType::learnMore, *view);

  ASSERT_EQ(desktop->openedURLs().size(), 2U);
  EXPECT_EQ(desktop->openedURLs()[0], "http://127.0.0.1:5000/") << "only once its own server listens";
  EXPECT_EQ(desktop->openedURLs()[1].rfind("file://", 0), 0U);
  EXPECT_NE(desktop->openedURLs()[1].find("Contents/Resources/README.html"), std::string::npos);
  const std::vector<std::string> reasons = {
      "Tessaron's search server is not running just now; it is being started again.",
      "Port 5000 is held by a program of another user of this computer.",
      "Port 5000 is held by a program that is not Tessaron's search server.",
  };
  const auto alerts = desktop->shownAlerts();
  ASSERT_EQ(alerts.size(), reasons.size());
  std::vector<std::string> expectedLog;
  for (std::size_t i = 0; i < reasons.size(); ++i) {
    EXPECT_EQ(alerts[i].alert.explanation, reasons[i]);
    expectedLog.push_back("The search page is not opened: " + reasons[i]);
  }
  expectedLog.push_back("Inspect action");
  EXPECT_EQ(desktop->revealedItems(), (std::vector<fs::path>{root / "share" / "tessaron" / "AppData"}));
  EXPECT_TRUE(fs::is_directory(root / "share" / "tessaron" / "AppData")) << "inspect creates the folder";
  EXPECT_EQ(logs->texts(log::Category::contentView), expectedLog);
}

TEST_F(Shell, APressStoresTheActionAndRunsItOffTheMainThread) {
  auto view = menu();
  desktop->pressMenuEntry(4);  // Inspect Data, through the main queue
  auto& queue = platform::current().mainQueue();
  queue.post([&queue] { queue.stop(); });
  queue.run();
  EXPECT_EQ(platform::current().preferences().string("ActionType"), "Inspect Data");
  EXPECT_EQ(view->actionType(), ActionType::inspect);
  for (int i = 0; i < 2000 && desktop->revealedItems().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(desktop->revealedItems().size(), 1U);
}

TEST_F(Shell, PauseForAnHourResumesByItselfOnThePlatformsClock) {
  auto view = menu();
  startCaptureTask(engine());
  performAction(ActionType::pauseForAnHour, *view);
  EXPECT_FALSE(engine().isCapturing.load());
  EXPECT_EQ(desktop->statusItem().entries[0].title, "Capture") << "the toggle shows the pause";
  auto& queue = platform::current().mainQueue();
  std::optional<bool> capturingJustBefore;
  queue.runAfter(timedPauseLength - std::chrono::seconds(1),
                 [&] { capturingJustBefore = engine().isCapturing.load(); });
  queue.runAfter(timedPauseLength + std::chrono::seconds(1), [&queue] { queue.stop(); });
  queue.run();  // virtual time: the clock jumps from deadline to deadline
  EXPECT_EQ(capturingJustBefore, false);
  EXPECT_TRUE(engine().isCapturing.load());
  EXPECT_EQ(desktop->statusItem().entries[0].title, "Pause");
  EXPECT_GE(desktop->elapsed(), timedPauseLength);
  EXPECT_EQ(logs->texts(log::Category::contentView),
            (std::vector<std::string>{"Paused for an hour", "The hour's pause is over: capturing again"}));
}

TEST_F(Shell, APersonsOwnChoiceWithinTheHourWins) {
  auto view = menu();
  startCaptureTask(engine());
  performAction(ActionType::pauseForAnHour, *view);
  performAction(ActionType::toggle, *view);  // resumed by hand...
  performAction(ActionType::toggle, *view);  // ...and paused for good
  auto& queue = platform::current().mainQueue();
  queue.runAfter(timedPauseLength * 2, [&queue] { queue.stop(); });
  queue.run();
  EXPECT_FALSE(engine().isCapturing.load()) << "the hour's timer does not undo a later pause";
  EXPECT_EQ(desktop->statusItem().entries[0].title, "Capture");
}

TEST_F(Shell, ForgetFromTheMenuDeletesTheRecentRecords) {
  auto view = menu();
  const fs::path day = root / "share" / "tessaron" / "AppData" / "20240301";
  fs::create_directories(day);
  for (const char* stem : {"2024-03-01T14:00:00Z", "2024-03-01T13:00:00Z"}) {
    std::ofstream(day / (std::string(stem) + ".png")) << "png";
    std::ofstream(day / (std::string(stem) + ".txt")) << "https://a.example/\n";
  }
  std::ofstream(day / "2024-03-01T14:00:00Z.png") << std::string(200'000, 'p');
  // The panel's line says what the archive takes on the disk, measured again after forgetting.
  const fs::path data = day.parent_path();
  auto panelLine = [&] {
    std::lock_guard lock(desktop->mutex());
    return desktop->statusItemState().panelLine;
  };
  const std::string before = "Archive: " + archive::bytesForPeople(archive::diskBytes(data));
  view->showArchiveSize();
  EXPECT_TRUE(tessaron::testing::eventually([&] { return panelLine() == before; }))
      << panelLine() << " for " << before;
  performAction(ActionType::forgetRecent, *view);
  EXPECT_FALSE(fs::exists(day / "2024-03-01T14:00:00Z.txt"));
  EXPECT_FALSE(fs::exists(day / "2024-03-01T14:00:00Z.png"));
  EXPECT_TRUE(fs::exists(day / "2024-03-01T13:00:00Z.txt"));
  EXPECT_TRUE(logs->contains("Forgot 1 records of the last 15 minutes"));
  const std::string after = "Archive: " + archive::bytesForPeople(archive::diskBytes(data));
  EXPECT_NE(after, before);
  EXPECT_TRUE(tessaron::testing::eventually([&] { return panelLine() == after; }))
      << panelLine() << " for " << after;
}

TEST_F(Shell, ThePanelsLineMeasuresTheArchiveWhereItIsAndMakesNothing) {
  auto view = menu();
  auto panelLine = [&] {
    std::lock_guard lock(desktop->mutex());
    return desktop->statusItemState().panelLine;
  };
  const fs::path sealed = root / "open-store";
  ArchiveLocation location{sealed / "AppData", sealed, false};
  setArchiveLocation([&location] { return std::optional(location); });
  view->showArchiveSize();
  EXPECT_TRUE(tessaron::testing::eventually([&] { return panelLine() == "Archive: locked"; })) << panelLine();
  EXPECT_FALSE(fs::exists(*plainDataFolder())) << "a sealed archive's plain folder never appears";
  EXPECT_FALSE(fs::exists(sealed)) << "nor anything where the store opens";
  EXPECT_TRUE(view->archiveLocked());

  fs::create_directories(sealed / "AppData" / "20240301");
  std::ofstream(sealed / "AppData" / "20240301" / "2024-03-01T09:00:00Z.png") << std::string(300'000, 'p');
  location.open = true;
  view->showArchiveSize();
  const std::string measured = "Archive: " + archive::bytesForPeople(archive::diskBytes(sealed / "AppData"));
  EXPECT_TRUE(tessaron::testing::eventually([&] { return panelLine() == measured; })) << panelLine();
  EXPECT_FALSE(view->archiveLocked());
  setArchiveLocation({});
}

TEST_F(Shell, QuitStopsCapturingThenTheServerThenTerminates) {
  auto view = menu();
  startCaptureTask(engine());
  OutputCapture output;
  performAction(ActionType::quit, *view);
  EXPECT_FALSE(engine().isCapturing.load());
  EXPECT_EQ(logs->texts(log::Category::contentView), (std::vector<std::string>{"Quit action"}))
      << "no Pause action";
  EXPECT_EQ(supervisor.launchedProcess(), std::nullopt);
  // Termination is queued on the main thread: running the queue now ends at once.
  platform::current().mainQueue().run();
  EXPECT_TRUE(output.lines().empty()) << "nothing listened, so nothing was killed";
}

TEST_F(Shell, LoginItemStatusesAndRegistrationOutcomes) {
  struct Case {
    platform::LoginItemStatus status;
    std::optional<std::string> error;
    std::string expected;
    int registrations;
  };
  for (const Case& c :
       {Case{platform::LoginItemStatus::enabled, {}, "Service is already registered.", 0},
        Case{platform::LoginItemStatus::switchedOff, {}, "Service registration requires approval.", 0},
        Case{platform::LoginItemStatus::notRegistered, {}, "Service registration successful.", 1},
        Case{platform::LoginItemStatus::notFound, {}, "Service registration successful.", 1},
        Case{platform::LoginItemStatus::notRegistered, "denied", "Error occurred: denied", 1}}) {
    desktop->loginItemStatus = c.status;
    desktop->loginItemRegisterError = c.error;
    desktop->loginItemRegistrations = 0;
    logs->clear();
    registerLoginItem();
    EXPECT_EQ(logs->texts(), (std::vector<std::string>{c.expected}));
    EXPECT_EQ(logs->messages()[0].level, c.error ? log::Level::error : log::Level::normal);
    EXPECT_EQ(desktop->loginItemRegistrations, c.registrations);
  }
}

TEST_F(Shell, StatusItemWithoutAButtonStillGetsItsMenu) {
  desktop->statusItemHasButton = false;
  desktop->accessibility.granted = true;
  desktop->bundleIdentifier = "com.example.only-one";  // a lock of its own
  OutputCapture output;
  AppDelegate delegate(engine(), supervisor);
  delegate.applicationDidFinishLaunching();
  auto state = desktop->statusItem();
  EXPECT_FALSE(state.buttonImage.has_value());
  EXPECT_EQ(state.entries.size(), allActionTypes.size());
  EXPECT_EQ(output.lines(), (std::vector<std::string>{"com.example.only-one"}));
  EXPECT_TRUE(desktop->shownAlerts().empty()) << "accessibility was granted";
}

TEST_F(Shell, GrantAlertsSpeakTheDesktopsOwnWordsWhereItHasThem) {
  desktop->screenCapture.wording = platform::GrantWording{"Pick your screen in the dialog.", "Choose Screen"};
  showAccessibilityAlert();
  showScreenRecordingAlert();
  const auto shown = desktop->shownAlerts();
  ASSERT_EQ(shown.size(), 2U);
  EXPECT_EQ(shown[0].alert.title, "Accessibility Permissions Required");
  EXPECT_EQ(shown[0].alert.explanation, accessibilityAlertInformativeText);
  EXPECT_EQ(shown[0].alert.buttons, (std::vector<std::string>{"Open System Preferences", "Cancel"}));
  EXPECT_EQ(shown[1].alert.title, "Screen Recording Permissions Required");
  EXPECT_EQ(shown[1].alert.explanation, "Pick your screen in the dialog.");
  EXPECT_EQ(shown[1].alert.buttons, (std::vector<std::string>{"Choose Screen", "Cancel"}));
}

}  // namespace
}  // namespace tessaron
