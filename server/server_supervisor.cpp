// Finding, launching and stopping the search server.
//
// What holds the port is read from the kernel's socket tables, and only processes that listen on it count:
// a browser that merely shows the search page is connected to the port too, and must never be killed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "base/exit.h"
#include "base/log.h"
#include "base/once.h"
#include "platform/platform.h"
#include "server/server.h"

#include "archive/data_folder.h"

namespace tessaron {

namespace fs = std::filesystem;

namespace {

bool validUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

// Space, tab and the line ends U+000A-U+000D and U+0085 at both ends (paths never carry the wider Unicode
// separators, and a trimmed comparison must not alter anything else).
std::string trimmed(std::string_view text) {
  auto isSpace = [](unsigned char c) { return c == ' ' || c == '\t' || (c >= 0x0A && c <= 0x0D); };
  while (!text.empty() && isSpace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && isSpace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  if (text.starts_with("\xC2\x85")) text.remove_prefix(2);
  if (text.ends_with("\xC2\x85")) text.remove_suffix(2);
  return std::string(text);
}

constexpr auto portReleaseLimit = std::chrono::seconds(5);

// Whether the processes have let go of the port within the limit.
bool portReleased(platform::Processes& processes, const std::vector<platform::PortListener>& ended,
                  std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto listeners = processes.listenersOnPort(searchPort);
    if (listeners &&
        std::none_of(listeners.value().begin(), listeners.value().end(), [&](const auto& listener) {
          return std::any_of(ended.begin(), ended.end(),
                             [&](const auto& gone) { return gone.processId == listener.processId; });
        }))
      return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Tessaron's own server: the one it launched, or a server of this same program and user found running.
bool isOurs(const platform::PortListener& listener, std::optional<std::int32_t> launched,
            const std::optional<fs::path>& server) {
  if (listener.processId <= 0 || (listener.userId && *listener.userId != ::getuid())) return false;
  return listener.processId == launched ||
         (server && trimmed(listener.executablePath) == trimmed(server->string()));
}

constexpr auto longRun = std::chrono::seconds(60);
constexpr auto longestPause = std::chrono::seconds(60);
constexpr int failuresToTell = 5;

std::string howItEnded(int status) {
  return status > 128 ? "signal " + std::to_string(status - 128) : "exit status " + std::to_string(status);
}

}  // namespace

ServerSupervisor& programServer() {
  static auto* program = new ServerSupervisor();
  return *program;
}

void ServerSupervisor::tellPortHeldByAnotherUser(std::uint32_t user) {
  log::utils().error(
      "Port 5000 is held by a program of another user of this computer (user %u): tessaron's search cannot "
      "start until that port is free, and the search page is not opened meanwhile.",
      user);
  if (!toldPortHeld_.first()) return;
  platform::current().shell().alerts().ask(
      {"tessaron",
       "Another user of this computer has a program on port 5000, where Tessaron's search runs. Tessaron "
       "keeps recording, but you cannot search until that port is free: your searches must not go to "
       "someone else's program.",
       platform::AlertStyle::warning,
       {"OK"},
       "AppIcon"});
}

std::optional<std::int32_t> ServerSupervisor::launchedProcess() const {
  std::lock_guard lock(mutex_);
  return process_;
}

std::pair<std::optional<fs::path>, std::optional<fs::path>> serverPaths() {
  // A sealed archive's server starts while it is locked too: its pages say so until it is open.
  const auto location = archiveLocation();
  auto data = location && location->sealedRoot ? std::optional(location->dataFolder) : appDataFolder();
  if (!data) {
    log::utils().log("Unable to get application support folder URL.");
    return {std::nullopt, std::nullopt};
  }
  log::utils().log("appDataPath: %s", data->string());
  auto executable = platform::current().installation().executablePath("server");
  if (!executable) fatalError("Unable to locate the application bundle.");
  const fs::path server = *executable;
  std::error_code ec;
  if (fs::exists(server, ec)) {
    log::utils().log("Server executable found at: %s", server.string());
    return {server, data};
  }
  log::utils().log("Server executable not found at: %s", server.string());
  return {std::nullopt, data};
}

PortCheckResult ServerSupervisor::checkPort() {
  auto listeners = platform::current().processes().listenersOnPort(searchPort);
  std::string output;
  if (listeners)
    for (const auto& listener : listeners.value())
      output += listener.executablePath + "\n";
  refusedByPerson_ = false;
  auto [server, data] = serverPaths();
  if (!data) {
    // Not a missing program: the folder it would serve cannot be had (the reason is logged above).
    log::utils().error("The data folder cannot be used, so the search server cannot start.");
    return PortCheckResult::abort;
  }
  if (!server) {
    log::utils().error("Server executable not found.");
    return PortCheckResult::abort;
  }
  if (!listeners || !validUtf8(output)) return PortCheckResult::abort;
  for (const auto& listener : listeners.value())
    if (listener.userId && *listener.userId != ::getuid()) {
      tellPortHeldByAnotherUser(*listener.userId);
      return PortCheckResult::heldByAnotherUser;
    }
  if (output.empty()) {
    log::utils().log("no current process using port 5000");
    return PortCheckResult::proceed;
  }
  if (trimmed(output) == trimmed(server->string())) {
    log::utils().log("tessaron server is already running, skip");
    return PortCheckResult::alreadyRunning;
  }
  platform::AlertSpec alert{"tessaron",
                            "A process is running on port 5000. Do you want to kill it so tessaron can run?",
                            platform::AlertStyle::warning,
                            {"Yes", "No"},
                            "AppIcon"};
  if (platform::current().shell().alerts().ask(alert) != 0) {
    refusedByPerson_ = true;
    return PortCheckResult::abort;
  }
  stop(Listeners::all);
  log::utils().log("killed the current process using port 5000");
  return PortCheckResult::proceed;
}

// Called with the mutex held.
void ServerSupervisor::scheduleRestart() {
  Restarts& state = restarts_;
  if (state.scheduled) return;
  state.scheduled = true;
  const auto pause =
      std::min<std::chrono::seconds>(longestPause, std::chrono::seconds(1 << std::min(state.failures, 6)));
  ++state.failures;
  platform::current().mainQueue().runAfter(pause, [this] {
    {
      std::lock_guard lock(mutex_);
      restarts_.scheduled = false;
      if (process_) return;  // started meanwhile
    }
    launch(Start::again);
  });
}

void ServerSupervisor::ended(const std::shared_ptr<std::int32_t>& launched, int status) {
  bool tellOnce = false, tellPerson = false;
  {
    std::lock_guard lock(mutex_);
    const std::int32_t pid = *launched;
    // Stopped on purpose (the slot was emptied first), or already replaced: nothing to do. A server that
    // ends cleanly was asked to (SIGTERM, as a logout sends to the whole session).
    if (process_ != pid) return;
    process_.reset();
    if (status == 0) return;
    Restarts& state = restarts_;
    if (std::chrono::steady_clock::now() - state.startedAt > longRun) state.failures = 0;
    tellOnce = state.failures == 0;
    tellPerson = state.failures + 1 == failuresToTell;
    scheduleRestart();
  }
  if (tellOnce)
    log::utils().error("The search server ended by itself (%s): starting it again.", howItEnded(status));
  if (tellPerson) {
    log::utils().error(
        "The search server keeps ending (%d times in a row): Tessaron keeps starting it, less often.",
        failuresToTell);
    platform::current().shell().statusBar().postNotice(
        {"Tessaron's search keeps stopping", "Its server has ended " + std::to_string(failuresToTell) +
                                                 " times in a row. Tessaron keeps recording and keeps "
                                                 "starting it again; the log says why it ends."});
  }
}

void ServerSupervisor::launch(Start start) {
  switch (checkPort()) {
    case PortCheckResult::alreadyRunning:
      return;
    case PortCheckResult::heldByAnotherUser: {
      std::lock_guard lock(mutex_);
      scheduleRestart();
      return;
    }
    case PortCheckResult::abort:
      if (start == Start::again) {
        log::utils().error(
            "The search server cannot be started again: search stays off until tessaron restarts.");
        return;
      }
      if (refusedByPerson_)
        log::utils().error("user rejected to kill the process using port 5000, quit tessaron");
      else
        log::utils().error("tessaron cannot start its search server, quit tessaron");
      exitProcess(1);
    case PortCheckResult::proceed:
      break;
  }
  auto [server, data] = serverPaths();
  if (!server || !data) {
    log::utils().error("Server executable not found.");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    process_ = 0;  // a handle without a process yet; stop() empties it
  }
  auto handleGone = [this] {
    std::lock_guard lock(mutex_);
    return !process_.has_value();
  };
  if (handleGone()) {
    log::utils().error("Failed to retrieve server process ID.");
    return;
  }
  standardOutputLine(data->string());
  // The slot is filled under the lock, and the end of the process is looked at under it too: a server that
  // ends at once is still known as ours when its end is reported.
  auto launched = std::make_shared<std::int32_t>(0);
  auto pid = [&] {
    std::lock_guard lock(mutex_);
    std::vector<std::string> arguments{"--appdata=" + data->string()};
    if (const auto location = archiveLocation(); location && location->sealedRoot)
      arguments.push_back("--sealed=" + location->sealedRoot->string());
    auto outcome = platform::current().processes().launch(
        *server, arguments, [this, launched](int status) { ended(launched, status); });
    if (outcome) {
      *launched = outcome.value();
      if (process_) process_ = outcome.value();
      restarts_.startedAt = std::chrono::steady_clock::now();
    }
    return outcome;
  }();
  if (!pid) {
    log::utils().error("Error starting server process: %@", pid.error());
    return;
  }
  if (handleGone()) {
    log::utils().error("Failed to retrieve server process ID.");
    return;
  }
  log::utils().log("Server process (PID: %d) started.", pid.value());
}

void ServerSupervisor::start() {
  launch(Start::atLaunch);
}

void ServerSupervisor::stop(Listeners which) {
  auto& processes = platform::current().processes();
  auto listeners = processes.listenersOnPort(searchPort);
  const std::optional<fs::path> server = serverPaths().first;
  std::optional<std::int32_t> launched;
  {
    // Emptied before the kill, so that the server's end is known as wanted and it is not started again.
    std::lock_guard lock(mutex_);
    if (process_ && *process_ > 0) launched = *process_;
    process_.reset();
  }
  if (!listeners) {
    standardOutputLine("Failed to get process list.");
  } else {
    // A listener whose process cannot be seen is another user's: nothing to end, and process 0 is no process.
    std::erase_if(listeners.value(), [&](const auto& listener) {
      return listener.processId <= 0 || (which == Listeners::ours && !isOurs(listener, launched, server));
    });
    for (const auto& listener : listeners.value()) {
      const std::string pid = std::to_string(listener.processId);
      standardOutputLine("Killing process with PID: " + pid);
      (void)processes.run("/bin/kill", {"-9", pid});
    }
    // A killed process lets go of the port only once it has ended: wait for that, bounded, so that a server
    // started right after a stop finds the port free.
    if (!listeners.value().empty() && !portReleased(processes, listeners.value(), portReleaseLimit))
      log::utils().error("Port %d is still held %d seconds after its listeners were killed.",
                         static_cast<int>(searchPort), static_cast<int>(portReleaseLimit.count()));
  }
}

std::optional<std::string> ServerSupervisor::whySearchIsUnavailable() const {
  auto listeners = platform::current().processes().listenersOnPort(searchPort);
  if (!listeners)
    return "Tessaron cannot tell which program is on port 5000: " + listeners.error().description();
  const std::optional<std::int32_t> launched = launchedProcess();
  const std::optional<fs::path> server = serverPaths().first;
  if (listeners.value().empty())
    return std::string("Tessaron's search server is not running just now; it is being started again.");
  for (const auto& listener : listeners.value())
    if (!isOurs(listener, launched, server))
      return std::string(listener.userId && *listener.userId != ::getuid()
                             ? "Port 5000 is held by a program of another user of this computer."
                             : "Port 5000 is held by a program that is not Tessaron's search server.");
  return std::nullopt;
}

}  // namespace tessaron
