// The loop on the simulated clock: passes 5 virtual seconds apart, ended by the switch, never two at once.
#include "capture/capture_switch.h"
#include "capture/capture_test_support.h"

namespace tessaron {
namespace {

using namespace std::chrono_literals;

class CaptureLoop : public testing::SimDesktopTest {
 protected:
  bool waitForPasses(int passes) {
    return waitUntil([&] { return desktop->passesStarted() >= passes; });
  }
  static bool waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000 && !condition(); ++i)
      std::this_thread::sleep_for(1ms);
    return condition();
  }
};

TEST_F(CaptureLoop, PassesAreFiveSecondsApartAndTheSwitchEndsTheLoop) {
  desktop->clockSettings.speed = 1000;  // five virtual seconds take five real milliseconds
  startCaptureTask(engine());
  ASSERT_TRUE(waitForPasses(4));
  stopCaptureTask(engine());
  auto task = engine().taskHandle();
  task->waitUntilEnded();
  const int passes = desktop->passesStarted();
  // The clock moves only by the loop's 5-second sleeps: one between every two passes, and perhaps one more
  // that ran out before the stop came.
  const auto elapsed = desktop->elapsed();
  EXPECT_EQ(elapsed % 5s, 0ns);
  EXPECT_GE(elapsed, 5s * (passes - 1));
  EXPECT_LE(elapsed, 5s * passes);
  auto errors = logs->texts(log::Category::tessaronApp);
  EXPECT_LE(errors.size(), 1U) << "a cancelled sleep logs once, then the loop ends";
  for (const auto& line : errors)
    EXPECT_EQ(line, "Error starting screen capture: CancellationError()");
  EXPECT_EQ(desktop->sleepsBegun(), passes) << "one sleep after each pass, and nothing after the loop ended";
}

TEST_F(CaptureLoop, PauseWhileSleepingCancelsTheSleepAndLogsOnce) {
  desktop->clockSettings.speed = 1;  // a real 5-second sleep, which the pause must cut short
  startCaptureTask(engine());
  ASSERT_TRUE(waitForPasses(1));
  ASSERT_TRUE(waitUntil([&] { return desktop->sleepsBegun() == 1; }));
  auto started = std::chrono::steady_clock::now();
  stopCaptureTask(engine());
  engine().taskHandle()->waitUntilEnded();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_EQ(logs->texts(log::Category::tessaronApp),
            (std::vector<std::string>{"Error starting screen capture: CancellationError()"}));
  EXPECT_EQ(desktop->passesStarted(), 1);
}

TEST_F(CaptureLoop, ARestartWhileSleepingRetiresTheOldLoopAndKeepsOneRunning) {
  desktop->clockSettings.speed = 1;
  startCaptureTask(engine());
  ASSERT_TRUE(waitForPasses(1));
  auto first = engine().taskHandle();
  stopCaptureTask(engine());
  startCaptureTask(engine());  // switched back on before the old loop reached its switch test
  first->waitUntilEnded();
  ASSERT_TRUE(waitForPasses(2));
  // The old loop's sleep, then the new loop's after its pass: real 5-second sleeps, which nothing cuts short.
  ASSERT_TRUE(waitUntil([&] { return desktop->sleepsBegun() == 2; }));
  EXPECT_EQ(desktop->passesStarted(), 2) << "the new loop sleeps its 5 seconds; the old one never runs on";
}

using UnreadablePages = testing::SimDesktopTest;

TEST_F(UnreadablePages, ABrowserOffTheAccessibilityBusIsNamedOnceInTheLogAndANotice) {
  platform::sim::Window window;
  window.number = 11;
  window.title = "Harbour";
  window.application = "chromium";  // its window class: the bus does not know it
  window.processId = 300;
  window.onAccessibilityBus = false;
  window.privacy = platform::WindowPrivacy::undetermined;
  desktop->addWindow(window);
  window.number = 12;
  window.title = "Quarry";
  desktop->addWindow(window);
  capturePass(engine());
  capturePass(engine());
  ASSERT_EQ(desktop->notices().size(), 1U);
  EXPECT_EQ(desktop->notices()[0].title, "Tessaron cannot read Chromium's pages");
  EXPECT_NE(desktop->notices()[0].body.find("Restart Chromium"), std::string::npos);
  EXPECT_EQ(linesWith("is not on the accessibility bus"), 1U);
  const auto day = dataFolder() / "20240301";
  EXPECT_TRUE(!std::filesystem::exists(day) || std::filesystem::is_empty(day)) << "nothing of it is recorded";
}

// qutebrowser's private windows cannot be told from its others, so none of its windows is recorded: said
// once, with the reason, in the log and a notice. A Chromium window that cannot be told is passed over
// silently (it is that window, not the browser).
TEST_F(UnreadablePages, ABrowserWhosePrivateWindowsCannotBeToldIsNamedOnceWithTheReason) {
  platform::sim::Window window;
  window.number = 21;
  window.title = "Tide tables - qutebrowser";
  window.application = "qutebrowser";
  window.processId = 400;
  window.privacy = platform::WindowPrivacy::undetermined;
  desktop->addWindow(window);
  window.number = 22;
  window.title = "Quarry - qutebrowser";
  desktop->addWindow(window);
  window.number = 23;
  window.title = "Harbour - Chromium";
  window.application = "Chromium";
  window.processId = 401;
  desktop->addWindow(window);
  capturePass(engine());
  capturePass(engine());
  ASSERT_EQ(desktop->notices().size(), 1U);
  EXPECT_EQ(desktop->notices()[0].title, "Tessaron does not record qutebrowser");
  EXPECT_NE(desktop->notices()[0].body.find("nothing outside it tells them apart"), std::string::npos);
  EXPECT_EQ(linesWith("with nothing outside it to tell them apart"), 1U);
  const auto day = dataFolder() / "20240301";
  EXPECT_TRUE(!std::filesystem::exists(day) || std::filesystem::is_empty(day))
      << "nothing of them is recorded";
}

}  // namespace
}  // namespace tessaron
