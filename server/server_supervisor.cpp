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

#include "app/exit.h"
#include "app/log.h"
#include "platform/platform.h"
#include "server/server.h"

namespace tessaron {

namespace fs = std::filesystem;

namespace {

std::mutex serverMutex;
// Whether the last port check ended on the person's "No", so that the way out says what really happened.
std::atomic<bool> refusedByPerson{false};
std::optional<std::int32_t>& serverSlot() {
  static auto* slot = new std::optional<std::int32_t>();
  return *slot;
}

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

bool portReleased(platform::Processes& processes, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto listeners = processes.listenersOnPort(serverPort);
    if (listeners && listeners.value().empty()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::optional<std::int32_t> gServerProcess() {
  std::lock_guard lock(serverMutex);
  return serverSlot();
}

std::pair<std::optional<fs::path>, std::optional<fs::path>> serverPaths() {
  auto data = appDataFolder();
  if (!data) {
    log::utils().log("Unable to get application support folder URL.");
    return {std::nullopt, std::nullopt};
  }
  log::utils().log("appDataPath: %s", data->string());
  auto bundle = platform::current().bundle().bundlePath();
  if (!bundle) fatalError("Unable to locate the application bundle.");
  fs::path server = *bundle / "Contents" / "MacOS" / "server";
  std::error_code ec;
  if (fs::exists(server, ec)) {
    log::utils().log("Server executable found at: %s", server.string());
    return {server, data};
  }
  log::utils().log("Server executable not found at: %s", server.string());
  return {std::nullopt, data};
}

PortCheckResult checkPort() {
  auto listeners = platform::current().processes().listenersOnPort(serverPort);
  std::string output;
  if (listeners)
    for (const auto& listener : listeners.value())
      output += listener.executablePath + "\n";
  refusedByPerson = false;
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
  if (platform::current().alerts().runModal(alert) != platform::alertFirstButtonReturn) {
    refusedByPerson = true;
    return PortCheckResult::abort;
  }
  stopServer(Listeners::all);
  log::utils().log("killed the current process using port 5000");
  return PortCheckResult::proceed;
}

void startServer() {
  switch (checkPort()) {
    case PortCheckResult::alreadyRunning:
      return;
    case PortCheckResult::abort:
      if (refusedByPerson)
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
    std::lock_guard lock(serverMutex);
    serverSlot() = 0;  // a handle without a process yet; stopServer empties it
  }
  auto handleGone = [] {
    std::lock_guard lock(serverMutex);
    return !serverSlot().has_value();
  };
  if (handleGone()) {
    log::utils().error("Failed to retrieve server process ID.");
    return;
  }
  standardOutputLine(data->string());
  auto pid = platform::current().processes().launch(*server, {"--appdata=" + data->string()});
  if (!pid) {
    log::utils().error("Error starting server process: %@", pid.error());
    return;
  }
  {
    std::lock_guard lock(serverMutex);
    if (serverSlot()) serverSlot() = pid.value();
  }
  if (handleGone()) {
    log::utils().error("Failed to retrieve server process ID.");
    return;
  }
  log::utils().log("Server process (PID: %d) started.", pid.value());
}

void stopServer(Listeners which) {
  auto& processes = platform::current().processes();
  auto listeners = processes.listenersOnPort(serverPort);
  const std::optional<fs::path> server = serverPaths().first;
  std::optional<std::int32_t> launched;
  {
    std::lock_guard lock(serverMutex);
    if (serverSlot() && *serverSlot() > 0) launched = *serverSlot();
  }
  auto ours = [&](const auto& listener) {
    return listener.processId == launched ||
           (server && trimmed(listener.executablePath) == trimmed(server->string()));
  };
  if (!listeners) {
    standardOutputLine("Failed to get process list.");
  } else {
    std::erase_if(listeners.value(),
                  [&](const auto& listener) { return which == Listeners::ours && !ours(listener); });
    for (const auto& listener : listeners.value()) {
      const std::string pid = std::to_string(listener.processId);
      standardOutputLine("Killing process with PID: " + pid);
      (void)processes.run("/bin/kill", {"-9", pid});
    }
    // A killed process lets go of the port only once it has ended: wait for that, bounded, so that a server
    // started right after a stop finds the port free.
    if (!listeners.value().empty() && !portReleased(processes, portReleaseLimit))
      log::utils().error("Port %d is still held %d seconds after its listeners were killed.",
                         static_cast<int>(serverPort), static_cast<int>(portReleaseLimit.count()));
  }
  std::lock_guard lock(serverMutex);
  serverSlot().reset();
}

}  // namespace tessaron
