// Services that are the same on every POSIX desktop, shared by the backends: child processes and port
// listeners (from the kernel's own tables), the system clock, the bundle around the executable, user defaults
// in the user's config folder.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/system.h"

namespace tessaron::platform::posix {

class PosixProcesses final : public Processes {
 public:
  Outcome<ProcessOutput> run(const std::string& program, const std::vector<std::string>& arguments) override;
  using Processes::launch;
  Outcome<std::int32_t> launch(const std::filesystem::path& program,
                               const std::vector<std::string>& arguments, WhenEnded whenEnded) override;
  Outcome<std::vector<PortListener>> listenersOnPort(std::uint16_t port) override;
};

class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() override;
  LocalDateTime localTime(std::chrono::system_clock::time_point time) override;
  bool sleepFor(std::chrono::nanoseconds duration, std::stop_token stop) override;
};

// Where an executable's fellow executables and its resources are: in the folder named *.app around it
// (…/Tessaron.app/Contents/MacOS/x, as built), or, installed, beside it in …/lib/tessaron with the resources
// in …/share/tessaron.
struct InstalledLayout {
  std::filesystem::path executables;
  std::filesystem::path resources;
};
std::optional<InstalledLayout> layoutAround(const std::filesystem::path& executable);

// The bundle is the folder named *.app around the running executable (…/Tessaron.app/Contents/MacOS/x).
class ExecutableInstallation final : public Installation {
 public:
  std::optional<std::string> bundleIdentifier() override;
  std::optional<std::filesystem::path> bundlePath() override;
  std::optional<std::filesystem::path> executablePath(const std::string& name) override;
  std::filesystem::path resourcePath(const std::string& fileName) override;
  Outcome<std::filesystem::path> applicationSupportFolder() override;
};

// Defaults kept as a JSON object in $XDG_CONFIG_HOME/tessaron/defaults.json, replaced atomically on change.
class FilePreferences final : public Preferences {
 public:
  explicit FilePreferences(std::filesystem::path file = defaultFile());
  std::optional<std::string> string(const std::string& key) override;
  void setString(const std::string& key, const std::string& value) override;
  static std::filesystem::path defaultFile();

 private:
  std::mutex mutex_;
  std::filesystem::path file_;
};

// How many other processes of this user run with the same bundle identifier: 0 or 1. The first call takes an
// exclusive lock on a per-user file named after the identifier and holds it for the life of the process, so
// of two copies started at the same moment exactly one holds it.
int otherInstancesHoldingLock(const std::optional<std::string>& bundleIdentifier);

// The bundle around an executable path, or none.
std::optional<std::filesystem::path> bundleAround(const std::filesystem::path& executable);

}  // namespace tessaron::platform::posix
