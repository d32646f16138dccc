// Shared fixtures of the capture tests: a simulated desktop installed as the platform, a fresh data folder,
// empty registries, and the log and standard output captured.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <thread>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "platform/sim/sim_desktop.h"

namespace tessaron::testing {

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SimDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = std::filesystem::temp_directory_path() /
           ("tessaron-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    // The person's settings file is the test's own (none unless a test writes it).
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    platform::sim::ClockSettings clock;
    clock.speed = 0;
    desktop = std::make_shared<platform::sim::Desktop>(clock);
    desktop->applicationSupportOverride = root / "share";
    scoped = std::make_unique<platform::ScopedPlatform>(desktop->platform());
    logs = log::useMemorySink();
    output = std::make_unique<OutputCapture>();
    engine_ = std::make_unique<Engine>();
  }
  void TearDown() override {
    engine_.reset();  // its capture task, if one runs, ends first
    output.reset();
    scoped.reset();
    std::filesystem::remove_all(root);
  }

  Engine& engine() { return *engine_; }
  // How many logged lines hold the text.
  std::size_t linesWith(std::string_view text) const {
    const auto lines = logs->texts();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    }));
  }
  std::filesystem::path dataFolder() const { return root / "share" / "tessaron" / "AppData"; }

  std::filesystem::path root;
  std::shared_ptr<platform::sim::Desktop> desktop;
  std::unique_ptr<platform::ScopedPlatform> scoped;
  std::shared_ptr<log::MemorySink> logs;
  std::unique_ptr<OutputCapture> output;
  std::unique_ptr<Engine> engine_;
};

}  // namespace tessaron::testing
