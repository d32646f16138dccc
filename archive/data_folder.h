// Where the archive lives for this person: the data folder "tessaron/AppData" in their application-support
// folder, shared by the capture engine, which writes it, and the search server, which is told it.
#pragma once

#include <filesystem>
#include <optional>

namespace tessaron {

// The data folder, created when missing (and closed to other users, once, when it was open); none when the
// platform cannot give the application-support folder or the data folder cannot be created.
std::optional<std::filesystem::path> appDataFolder();

}  // namespace tessaron
