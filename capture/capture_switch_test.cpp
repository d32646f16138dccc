// The capture switch with real threads: one loop at a time, whatever the order of starts and stops.
#include "capture/capture_switch.h"
#include "capture/engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tessaron {
namespace {

using namespace std::chrono_literals;

// A loop body that records how many bodies run at once, and "sleeps" in small cancellable steps.
struct Probe {
  Engine* engine = nullptr;
  std::atomic<int> running{0}, maxRunning{0}, started{0}, passes{0};
  CaptureTask::Body body() {
    return [this](std::stop_token stop) {
      ++started;
      int now = ++running;
      for (int seen = maxRunning.load(); now > seen && !maxRunning.compare_exchange_weak(seen, now);) {
      }
      while (engine->isCapturing.load() && !stop.stop_requested()) {
        ++passes;
        std::this_thread::sleep_for(2ms);
      }
      --running;
    };
  }
};

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

class CaptureSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = std::make_unique<Engine>();
    probe.engine = engine_.get();
    engine_->task.body = probe.body();
  }
  void TearDown() override { engine_.reset(); }  // switched off, and its task ended
  Engine& engine() { return *engine_; }
  Probe probe;
  std::unique_ptr<Engine> engine_;
};

TEST_F(CaptureSwitch, StartRunsTheLoopAndStopEndsIt) {
  EXPECT_FALSE(engine().isCapturing.load());
  startCaptureTask(engine());
  EXPECT_TRUE(engine().isCapturing.load());
  ASSERT_TRUE(eventually([&] { return probe.passes > 0; }));
  auto task = engine().taskHandle();
  stopCaptureTask(engine());
  EXPECT_FALSE(engine().isCapturing.load());
  EXPECT_TRUE(task->isCancelled());
  EXPECT_EQ(engine().taskHandle(), task) << "the handle stays stored";
  task->waitUntilEnded();
  EXPECT_EQ(probe.running, 0);
}

TEST_F(CaptureSwitch, RapidStartsAndStopsNeverOverlapTwoLoops) {
  for (int round = 0; round < 40; ++round) {
    startCaptureTask(engine());
    if (round % 3 == 0) std::this_thread::sleep_for(1ms);
    startCaptureTask(engine());  // a second start while the first runs (toggle, then the permission check)
    if (round % 2 == 0) stopCaptureTask(engine());
  }
  startCaptureTask(engine());
  auto last = engine().taskHandle();
  // Older loops end as the newest takes over; once they have, the newest runs and keeps running.
  ASSERT_TRUE(eventually([&] { return probe.running == 1; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(eventually([&] { return probe.running == 1; })) << "the newest start must end up running";
  EXPECT_EQ(probe.maxRunning, 1) << "two loops ran at the same time";
  stopCaptureTask(engine());
  last->waitUntilEnded();
  EXPECT_EQ(probe.running, 0);
}

TEST_F(CaptureSwitch, PauseThenQuickResumeRetiresTheOldLoop) {
  // The old task is cancelled while the switch is on again: it must end rather than keep running passes
  // with every sleep failing at once.
  startCaptureTask(engine());
  ASSERT_TRUE(eventually([&] { return probe.running == 1; }));
  auto first = engine().taskHandle();
  stopCaptureTask(engine());
  startCaptureTask(engine());
  first->waitUntilEnded();
  ASSERT_TRUE(eventually([&] { return probe.started == 2 && probe.running == 1; }));
  EXPECT_EQ(probe.maxRunning, 1);
}

}  // namespace
}  // namespace tessaron
