// Process-level services: where the program is installed and keeps its files, its preferences, child
// processes, time and the main queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/value.h"

namespace tessaron::platform {

// The installed program: its identifier, where its executables and resources are (a Tessaron.app folder as
// built, or lib/tessaron and share/tessaron as installed), and where the user's data goes.
class Installation {
 public:
  virtual ~Installation() = default;
  // The application's identifier (its desktop entry's name), or none.
  virtual std::optional<std::string> bundleIdentifier() = 0;
  // The installed folder around the running executable (the folder named *.app), or none.
  virtual std::optional<std::filesystem::path> bundlePath() = 0;
  // An executable of the installation beside the running one ("server"); none when the running executable is
  // in no known layout. The path may not exist.
  virtual std::optional<std::filesystem::path> executablePath(const std::string& name) = 0;
  // A resource of the installation ("logo.png"); the path may not exist.
  virtual std::filesystem::path resourcePath(const std::string& fileName) = 0;
  // The user's application-support folder (which may not exist yet: the caller makes what it keeps there, as
  // privately as it needs); an error when there is none.
  virtual Outcome<std::filesystem::path> applicationSupportFolder() = 0;
};

// The user's preferences: small named strings that survive restarts.
class Preferences {
 public:
  virtual ~Preferences() = default;
  virtual std::optional<std::string> string(const std::string& key) = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
};

struct ProcessOutput {
  int exitStatus = 0;
  std::string standardOutput;
};

struct PortListener {
  std::int32_t processId = 0;           // 0 when it cannot be told (another user's process)
  std::string executablePath;           // empty when it cannot be read (another user's process)
  std::optional<std::uint32_t> userId;  // whose the listening socket is, when the kernel says
};

// Told how a launched program ended: its exit status, or 128 + the signal that ended it.
using WhenEnded = std::function<void(int status)>;

class Processes {
 public:
  virtual ~Processes() = default;
  // Runs a program to its end with its standard output read through a pipe; an error when it cannot start.
  virtual Outcome<ProcessOutput> run(const std::string& program,
                                     const std::vector<std::string>& arguments) = 0;
  // Starts a program that outlives the call, its standard output discarded so it can never block on it;
  // standard error, environment and working folder are inherited; a name without a folder is looked for on
  // PATH. Returns its process identifier; `whenEnded`, if any, is called (on a thread of its own) once it has
  // ended and been reaped.
  virtual Outcome<std::int32_t> launch(const std::filesystem::path& program,
                                       const std::vector<std::string>& arguments, WhenEnded whenEnded) = 0;
  Outcome<std::int32_t> launch(const std::filesystem::path& program,
                               const std::vector<std::string>& arguments) {
    return launch(program, arguments, {});
  }
  // The processes that listen on this TCP port (any local address), in ascending process order; a listener
  // whose process cannot be seen (another user's) is there with process 0.
  virtual Outcome<std::vector<PortListener>> listenersOnPort(std::uint16_t port) = 0;
};

// A calendar date and time of day in the user's time zone.
struct LocalDateTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  bool operator==(const LocalDateTime&) const = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() = 0;
  // The time in the user's time zone.
  virtual LocalDateTime localTime(std::chrono::system_clock::time_point time) = 0;
  // Sleeps for the duration; answers false at once when `stop` is or becomes requested.
  virtual bool sleepFor(std::chrono::nanoseconds duration, std::stop_token stop) = 0;
};

// The main thread's queue of work.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Runs the work on the main thread soon; callable from any thread.
  virtual void post(std::function<void()> work) = 0;
  // Runs the work once on the main thread at or after now + delay; callable from any thread.
  virtual void runAfter(std::chrono::nanoseconds delay, std::function<void()> work) = 0;
  // Runs the queue on the calling thread, which becomes the main thread, until stop().
  virtual void run() = 0;
  // Ends run(); callable from any thread.
  virtual void stop() = 0;
};

}  // namespace tessaron::platform
