#include "capture/capture_switch.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <utility>

namespace tessaron {

std::atomic<bool> gIsCapturing{false};

namespace {

std::mutex handleMutex;
// Never destroyed: at exit a running capture thread must not be joined (exit ends the process at once).
std::shared_ptr<CaptureTask>& handleSlot() {
  static auto* slot = new std::shared_ptr<CaptureTask>();
  return *slot;
}

std::mutex bodyMutex;
CaptureTask::Body& bodySlot() {
  static auto* body = new CaptureTask::Body();
  return *body;
}

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

std::shared_ptr<CaptureTask> gCaptureTaskHandle() {
  std::lock_guard lock(handleMutex);
  return handleSlot();
}

void setCaptureLoopBody(CaptureTask::Body body) {
  std::lock_guard lock(bodyMutex);
  bodySlot() = std::move(body);
}

void startCaptureTask() {
  gIsCapturing.store(true);
  CaptureTask::Body body;
  {
    std::lock_guard lock(bodyMutex);
    body = bodySlot();
  }
  std::lock_guard lock(handleMutex);
  handleSlot() = std::make_shared<CaptureTask>(std::move(body), handleSlot());
}

void stopCaptureTask() {
  gIsCapturing.store(false);
  if (auto task = gCaptureTaskHandle()) task->cancel();
}

}  // namespace tessaron

namespace tessaron {

void resetCaptureTaskForTests() {
  stopCaptureTask();
  std::shared_ptr<CaptureTask> task;
  {
    std::lock_guard lock(handleMutex);
    task = std::exchange(handleSlot(), nullptr);
  }
  if (task) task->waitUntilEnded();
}

}  // namespace tessaron
