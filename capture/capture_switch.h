// The capture switch shared by the launch, the menu and the permission gate: whether capturing is on
// (Engine::isCapturing), and the task that runs the capture loop.
//
// One capture loop at a time, always: a new start first retires the task that runs (cancels it and lets its
// current pass finish) before its own loop begins, and a cancelled loop ends at its next switch test even
// when the switch is on again. So no loop ever runs without its 5-second pause, and only one touches the
// window registry.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace tessaron {

class Engine;

// One asynchronous run of a loop body on its own thread at background priority.
class CaptureTask {
 public:
  using Body = std::function<void(std::stop_token)>;
  // Starts at once; the body begins only after `predecessor` (if any) has been cancelled and has ended.
  CaptureTask(Body body, std::shared_ptr<CaptureTask> predecessor);
  ~CaptureTask();
  CaptureTask(const CaptureTask&) = delete;
  CaptureTask& operator=(const CaptureTask&) = delete;

  void cancel();
  bool isCancelled() const;
  // Blocks until the body has returned (or was never begun because the task was cancelled while waiting).
  void waitUntilEnded();
  bool hasEnded() const;

 private:
  // Shared with the thread, so dropping the last handle never pulls the state from under a running loop.
  struct State {
    std::stop_source stop;
    std::mutex mutex;
    std::condition_variable ended;
    bool hasEnded = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Switch on, start a new capture task, store its handle (the previous one is retired first, see above).
void startCaptureTask(Engine& engine);
// Switch off and cancel the stored task; the handle stays stored.
void stopCaptureTask(Engine& engine);

}  // namespace tessaron
