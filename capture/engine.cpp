#include "capture/engine.h"

namespace tessaron {

namespace {

Engine& programEngine() {
  static auto* program = new Engine();
  return *program;
}

std::atomic<Engine*> current{nullptr};

}  // namespace

Engine::~Engine() {
  isCapturing.store(false);
  std::shared_ptr<CaptureTask> running;
  {
    std::lock_guard lock(task.mutex);
    running = std::exchange(task.handle, nullptr);
  }
  if (running) {
    running->cancel();
    running->waitUntilEnded();
  }
}

Engine& engine() {
  Engine* inForce = current.load();
  return inForce ? *inForce : programEngine();
}

ScopedEngine::ScopedEngine()
    : engine_(std::make_unique<Engine>()), previous_(current.exchange(engine_.get())) {}

ScopedEngine::~ScopedEngine() {
  current.store(previous_);
  engine_.reset();
}

}  // namespace tessaron
