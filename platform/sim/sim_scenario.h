// Loading a simulated desktop from a JSON scenario file (format: platform/sim/README.md).
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/sim/sim_desktop.h"

namespace tessaron::platform::sim {

// A scenario that cannot be used; the message names the file, the place in it and what was expected.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads and checks the whole file before anything runs; throws ScenarioError.
std::shared_ptr<Desktop> loadScenario(const std::filesystem::path& file);
// The same for scenario text; relative image files are resolved against `baseFolder`.
std::shared_ptr<Desktop> parseScenario(const std::string& text, const std::string& fileName,
                                       const std::filesystem::path& baseFolder);

}  // namespace tessaron::platform::sim
