// Starting real programs for tests: environment, captured output, waiting for conditions, signals.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tessaron::testing {

namespace fs = std::filesystem;

inline std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Polls until the condition holds or the time is up; no fixed sleeps in tests.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// A connection to 127.0.0.1:port, or -1 when nothing accepts it.
inline int connectToLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool portListening(std::uint16_t port) {
  const int fd = connectToLoopback(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Waits until nothing accepts connections on the port: a process killed a moment ago may still hold it.
inline bool portFreed(std::uint16_t port, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return eventually([port] { return !portListening(port); }, limit);
}

// Makes this process the parent of its orphaned descendants (a server whose tessaron was killed), so that a
// test can end them by their id and reap them, whatever the machine's init does with orphans.
inline void adoptOrphans() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

// The processes whose parent is this process, from the kernel's process table.
inline std::set<pid_t> childProcesses() {
  std::set<pid_t> children;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = slurp(entry.path() / "stat");
    // "pid (command) state ppid ...": the command may hold spaces and parentheses, the last ')' ends it.
    const auto end = stat.rfind(')');
    if (end == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &parent) == 2 && parent == ::getpid())
      children.insert(std::stoi(name));
  }
  return children;
}

// Kills and reaps every child of this process not in `keep`: with adoptOrphans(), what the programs a test
// started left behind.
inline void endChildProcesses(const std::set<pid_t>& keep = {}) {
  for (const pid_t pid : childProcesses()) {
    if (keep.contains(pid)) continue;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

// What posix_spawn takes, owned: the argument vector, and this process's environment with `overrides` set.
class SpawnArguments {
 public:
  SpawnArguments(const std::vector<std::string>& argv, const std::map<std::string, std::string>& overrides)
      : arguments_(argv) {
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (!overrides.contains(entry.substr(0, entry.find('=')))) environment_.push_back(std::move(entry));
    }
    for (const auto& [key, value] : overrides)
      environment_.push_back(key + "=" + value);
    // Pointers only once both lists are complete, so that none moves under them.
    for (auto& a : arguments_)
      argv_.push_back(a.data());
    argv_.push_back(nullptr);
    for (auto& e : environment_)
      envp_.push_back(e.data());
    envp_.push_back(nullptr);
  }
  SpawnArguments(const SpawnArguments&) = delete;
  SpawnArguments& operator=(const SpawnArguments&) = delete;

  char* const* argv() const { return argv_.data(); }
  char* const* envp() const { return envp_.data(); }

 private:
  std::vector<std::string> arguments_, environment_;
  std::vector<char*> argv_, envp_;
};

// A child process with its standard output and error in files.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
        const fs::path& folder, const std::string& name)
      : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
    const SpawnArguments spawn(argv, environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&pid_, spawn.argv()[0], &actions, &attributes, spawn.argv(), spawn.envp()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const { return slurp(out_); }
  std::string err() const { return slurp(err_); }
  bool errHas(const std::string& text) const { return err().find(text) != std::string::npos; }
  bool outHas(const std::string& text) const { return out().find(text) != std::string::npos; }
  void signal(int sig) const { ::kill(pid_, sig); }
  bool running() {
    if (exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) record(status);
    return !exited_;
  }
  // The exit status (128 + signal for a signal), or -1 when it did not end in time (then it is killed).
  int waitExit(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    if (!eventually([&] { return !running(); }, limit)) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      exited_ = true;
      return -1;
    }
    return status_;
  }

 private:
  void record(int status) {
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  fs::path out_, err_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace tessaron::testing
