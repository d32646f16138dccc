#include "platform/sim/sim_desktop.h"

#include <gtest/gtest.h>

#include <thread>

namespace tessaron::platform::sim {
namespace {

using namespace std::chrono_literals;

TEST(SimClock, SleepsInVirtualTimeAndStopsAtOnceWhenCancelled) {
  ClockSettings settings;
  settings.speed = 1000;  // five virtual seconds take five real milliseconds
  auto desktop = std::make_shared<Desktop>(settings);
  auto platform = desktop->platform();
  auto start = platform->clock().now();
  auto realStart = std::chrono::steady_clock::now();
  EXPECT_TRUE(platform->clock().sleepFor(5s, {}));
  EXPECT_EQ(platform->clock().now() - start, 5s);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 2s);

  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(platform->clock().sleepFor(5s, stop.get_token()));
  EXPECT_EQ(platform->clock().now() - start, 5s) << "a cancelled sleep does not move the clock";
}

TEST(SimClock, LocalTimeCrossesMidnightWithTheOffset) {
  ClockSettings settings;
  settings.start = std::chrono::sys_days{std::chrono::year{2024} / 3 / 1} + 23h + 30min;
  settings.utcOffset = 2h;
  auto desktop = std::make_shared<Desktop>(settings);
  auto& clock = desktop->platform()->clock();
  EXPECT_EQ(clock.localTime(clock.now()), (LocalDateTime{2024, 3, 2, 1, 30, 0}));
  settings.utcOffset = -5h - 30min;
  auto west = std::make_shared<Desktop>(settings);
  EXPECT_EQ(west->platform()->clock().localTime(settings.start), (LocalDateTime{2024, 3, 1, 18, 0, 0}));
}

TEST(SimMainQueue, RunsWorkInDeadlineOrderAndMovesTheClock) {
  ClockSettings settings;
  settings.speed = 0;
  auto desktop = std::make_shared<Desktop>(settings);
  auto platform = desktop->platform();
  auto& queue = platform->mainQueue();
  std::vector<std::string> order;
  queue.runAfter(2s, [&] { order.push_back("two"); });
  queue.runAfter(1s, [&] {
    order.push_back("one");
    queue.runAfter(1500ms, [&] {
      order.push_back("two and a half");
      queue.stop();
    });
  });
  queue.post([&] { order.push_back("now"); });
  queue.run();
  EXPECT_EQ(order, (std::vector<std::string>{"now", "one", "two", "two and a half"}));
  EXPECT_EQ(desktop->elapsed(), 2500ms);
}

TEST(SimDesktop, GrantsChangeWithTimeAndOnRequest) {
  auto desktop = std::make_shared<Desktop>();
  desktop->screenCapture.grantedAfterSeconds = 3;
  desktop->accessibility.grantedOnRequest = true;
  auto& grants = desktop->platform()->shell().grants();
  EXPECT_FALSE(grants.isScreenCaptureAllowed());
  desktop->advance(3s);
  EXPECT_TRUE(grants.isScreenCaptureAllowed());
  EXPECT_FALSE(grants.isAccessibilityTrusted());
  grants.requestAccessibility();
  EXPECT_TRUE(grants.isAccessibilityTrusted());
  EXPECT_EQ(desktop->accessibility.requests, 1);
}

TEST(SimDesktop, CapturesEachWindowsCurrentImageOrItsFailure) {
  auto desktop = std::make_shared<Desktop>();
  desktop->addWindow(
      {.number = 1, .title = "a", .frame = {0, 0, 40, 30}, .image = ImageSource::fromPattern("noise", 3)});
  desktop->addWindow({.number = 2, .frame = {0, 0, 10, 10}, .image = ImageSource::failing("gone")});
  auto& windows = desktop->platform()->windows();
  auto shot = windows.captureWindow({.windowID = 1});
  ASSERT_TRUE(shot.ok());
  EXPECT_EQ(shot.value().width, 40U);
  EXPECT_EQ(shot.value().height, 30U);
  EXPECT_EQ(shot.value().pixels.size(), 40U * 30U * 4U);
  EXPECT_EQ(shot.value().pixels, windows.captureWindow({.windowID = 1}).value().pixels)
      << "patterns are stable";
  EXPECT_EQ(windows.captureWindow({.windowID = 2}).error().text, "gone");
  EXPECT_FALSE(windows.captureWindow({.windowID = 3}).ok());
  desktop->window(1)->onScreen = false;
  EXPECT_FALSE(windows.captureWindow({.windowID = 1}).ok()) << "a minimised window cannot be captured";
}

TEST(SimDesktop, AlertsAreAnsweredInOrderThenByDefault) {
  auto desktop = std::make_shared<Desktop>();
  desktop->alertAnswers = {0};
  auto& alerts = desktop->platform()->shell().alerts();
  EXPECT_EQ(alerts.ask({.title = "one"}), 0U);
  EXPECT_EQ(alerts.ask({.title = "two"}), 1U);
  ASSERT_EQ(desktop->shownAlerts().size(), 2U);
  EXPECT_EQ(desktop->shownAlerts()[1].alert.title, "two");
}

}  // namespace
}  // namespace tessaron::platform::sim
