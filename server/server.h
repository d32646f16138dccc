// The local search server's supervisor: the data folder it shares with the capture engine, where the server
// executable is, what holds TCP port 5000, and starting and stopping the server.
#pragma once

#include <filesystem>
#include <optional>

namespace tessaron {

// The data folder "tessaron/AppData" in the user's application-support folder, created when missing; none
// when the platform cannot give that folder or the data folder cannot be created.
std::optional<std::filesystem::path> appDataFolder();

}  // namespace tessaron
