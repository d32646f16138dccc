// The local search server's supervisor: the data folder it shares with the capture engine, where the server
// executable is, what holds TCP port 5000, and starting and stopping the server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/once.h"
#include "base/search_address.h"

namespace tessaron {

// The server executable (Contents/MacOS/server in the bundle; none when no file is there) and the data
// folder. Ends the process when the application has no bundle.
std::pair<std::optional<std::filesystem::path>, std::optional<std::filesystem::path>> serverPaths();

enum class PortCheckResult : int { proceed = 0, abort = 1, alreadyRunning = 2, heldByAnotherUser = 3 };

// Which listeners on port 5000 stop ends: Tessaron's own server (the one it launched, or a server of this
// same program it found running), or every one, once the person has agreed to it.
enum class Listeners { ours, all };

// The search server of one run of tessaron: the process it launched, and its restarts. Safe to use from any
// thread; the restarts run on the platform's main queue.
class ServerSupervisor {
 public:
  // What listens on port 5000: nothing (proceed), our own server (alreadyRunning), a program of another user
  // of this computer, which nobody here may end and which must never see the person's searches
  // (heldByAnotherUser, said in an alert once and in the log), or something else of the person's, which they
  // may kill through a modal dialog (proceed) or not (abort). Blocking.
  PortCheckResult checkPort();

  // Checks the port and launches the server with "--appdata=<data folder>". Ends the process with status 1
  // when the port check aborts. From then on the server is kept running: when it ends by itself it is
  // started again, after 1 s, then 2, 4, ... up to a minute while it keeps ending (said once in the log; a
  // server that keeps ending is told to the person); while another user holds the port, it is tried again
  // the same way.
  void start();

  // Why the search page must not be opened now (nothing of Tessaron's own listens on port 5000, or something
  // else does), or none. Opening it otherwise could hand the person's searches to another program.
  std::optional<std::string> whySearchIsUnavailable() const;

  // Kills (signal 9) those processes listening on port 5000 and forgets the launched server. Blocking.
  // Quitting ends only Tessaron's own: whatever else has taken the port since is none of its business.
  void stop(Listeners which = Listeners::ours);

  // The process identifier of the launched server, or none.
  std::optional<std::int32_t> launchedProcess() const;

 private:
  enum class Start { atLaunch, again };
  void launch(Start start);
  void scheduleRestart();
  void ended(const std::shared_ptr<std::int32_t>& launched, int status);
  void tellPortHeldByAnotherUser(std::uint32_t user);

  // A server that ended by itself, or a port another user holds: tried again after a pause that doubles while
  // it keeps failing. A server that ran for a while before it ended starts the count afresh.
  struct Restarts {
    int failures = 0;
    std::chrono::steady_clock::time_point startedAt;
    bool scheduled = false;
  };

  mutable std::mutex mutex_;
  std::optional<std::int32_t> process_;  // 0: being launched
  Restarts restarts_;
  // Whether the last port check ended on the person's "No", so that the way out says what really happened.
  std::atomic<bool> refusedByPerson_{false};
  log::OnceOnly toldPortHeld_;
};

// The program's supervisor, made on first use and kept for the whole run (a restart may be queued at exit).
ServerSupervisor& programServer();

}  // namespace tessaron
