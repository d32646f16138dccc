#include "capture/capture_switch.h"

#include "capture/engine.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <utility>

namespace tessaron {

namespace {

// Background priority: the lowest a normal thread can have, so capturing never competes with the desktop.
void lowerThisThreadsPriority() {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}

}  // namespace

CaptureTask::CaptureTask(Body body, std::shared_ptr<CaptureTask> predecessor) {
  std::thread([state = state_, body = std::move(body), predecessor = std::move(predecessor)]() mutable {
    lowerThisThreadsPriority();
    if (predecessor) {
      predecessor->cancel();
      predecessor->waitUntilEnded();
      predecessor.reset();
    }
    if (!state->stop.stop_requested() && body) body(state->stop.get_token());
    std::lock_guard lock(state->mutex);
    state->hasEnded = true;
    state->ended.notify_all();
  }).detach();
}

CaptureTask::~CaptureTask() = default;

void CaptureTask::cancel() {
  state_->stop.request_stop();
}
bool CaptureTask::isCancelled() const {
  return state_->stop.stop_requested();
}

void CaptureTask::waitUntilEnded() {
  std::unique_lock lock(state_->mutex);
  state_->ended.wait(lock, [this] { return state_->hasEnded; });
}

bool CaptureTask::hasEnded() const {
  std::lock_guard lock(state_->mutex);
  return state_->hasEnded;
}

void startCaptureTask(Engine& engine) {
  engine.isCapturing.store(true);
  std::lock_guard lock(engine.task.mutex);
  engine.task.handle = std::make_shared<CaptureTask>(engine.task.body, engine.task.handle);
}

void stopCaptureTask(Engine& engine) {
  engine.isCapturing.store(false);
  if (auto task = engine.taskHandle()) task->cancel();
}

}  // namespace tessaron
