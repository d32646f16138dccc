#include "capture/engine.h"

#include "archive/data_folder.h"

namespace tessaron {

namespace {

Engine& programEngine() {
  static auto* program = new Engine();
  return *program;
}

std::atomic<Engine*> current{nullptr};

}  // namespace

Engine::Engine(EngineSources sources) : sources_(std::move(sources)) {}

platform::Platform& Engine::platform() const {
  return sources_.platform ? *sources_.platform : platform::current();
}

std::optional<std::filesystem::path> Engine::dataFolder() const {
  return sources_.dataFolder ? sources_.dataFolder() : appDataFolder();
}

std::optional<std::filesystem::path> Engine::settingsFile() const {
  return sources_.settingsFile ? sources_.settingsFile() : settings::defaultFile();
}

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

ScopedEngine::ScopedEngine(EngineSources sources)
    : engine_(std::make_unique<Engine>(std::move(sources))), previous_(current.exchange(engine_.get())) {}

ScopedEngine::~ScopedEngine() {
  current.store(previous_);
  engine_.reset();
}

}  // namespace tessaron
