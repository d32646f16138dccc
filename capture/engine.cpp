#include "capture/engine.h"

#include "archive/data_folder.h"
#include "capture/page_pixels.h"

namespace tessaron {

Engine& programEngine() {
  static auto* program = new Engine();
  return *program;
}

Engine::Engine(EngineSources sources) : sources_(std::move(sources)) {
  task.body = [this](std::stop_token stop) { captureLoop(*this, stop); };
}

std::shared_ptr<CaptureTask> Engine::taskHandle() {
  std::lock_guard lock(task.mutex);
  return task.handle;
}

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
  // Readings of pictures it queued complete its records; none may outlive it.
  waitForWordsInPictures();
}

}  // namespace tessaron
