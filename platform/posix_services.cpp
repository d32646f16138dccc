#include "platform/posix_services.h"
#include "base/xdg.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

extern char** environ;

namespace tessaron::platform::posix {

namespace fs = std::filesystem;

namespace {

std::string errnoText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Children start with default signal handling: the application ignores and blocks its termination signals,
// and a spawned program must not inherit that.
struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() {
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

std::vector<char*> argv(const std::string& program, const std::vector<std::string>& arguments,
                        std::vector<std::string>& storage) {
  storage.clear();
  storage.push_back(program);
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> out;
  for (auto& s : storage)
    out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Outcome<ProcessOutput> PosixProcesses::run(const std::string& program,
                                           const std::vector<std::string>& arguments) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return PlatformError{errnoText("pipe", errno)};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  SpawnAttributes attributes;
  std::vector<std::string> storage;
  auto args = argv(program, arguments, storage);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes.attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return PlatformError{errnoText("cannot run " + program, rc)};
  }
  ProcessOutput output;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0)
      output.standardOutput.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
      break;
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  output.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return output;
}

Outcome<std::int32_t> PosixProcesses::launch(const fs::path& program,
                                             const std::vector<std::string>& arguments, WhenEnded whenEnded) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes;
  std::vector<std::string> storage;
  auto args = argv(program.string(), arguments, storage);
  pid_t pid = 0;
  // A bare name ("xdg-open") is looked for on PATH, as a shell would.
  int rc =
      program.has_parent_path()
          ? ::posix_spawn(&pid, program.c_str(), &actions, &attributes.attributes, args.data(), environ)
          : ::posix_spawnp(&pid, program.c_str(), &actions, &attributes.attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return PlatformError{errnoText("cannot launch " + program.string(), rc)};
  // Reap the child whenever it ends, so a killed server leaves no zombie behind.
  std::thread([pid, whenEnded = std::move(whenEnded)] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (whenEnded) whenEnded(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }).detach();
  return static_cast<std::int32_t>(pid);
}

namespace {

// Socket inodes in LISTEN state on the port, from /proc/net/tcp and tcp6, with their users.
std::map<std::string, std::uint32_t> listeningInodes(std::uint16_t port) {
  std::map<std::string, std::uint32_t> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      auto colon = local.rfind(':');
      if (colon == std::string::npos || state != "0A") continue;  // 0A: TCP_LISTEN
      if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port)
        inodes.emplace("socket:[" + inode + "]", static_cast<std::uint32_t>(std::stoul(uid)));
    }
  }
  return inodes;
}

}  // namespace

Outcome<std::vector<PortListener>> PosixProcesses::listenersOnPort(std::uint16_t port) {
  auto inodes = listeningInodes(port);
  std::vector<PortListener> listeners;
  if (inodes.empty()) return listeners;
  std::set<std::string> seen;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::error_code fdError;
    bool listed = false;  // once per process, which may listen on both IPv4 and IPv6
    for (const auto& fd : fs::directory_iterator(entry.path() / "fd", fdError)) {
      std::error_code linkError;
      auto target = fs::read_symlink(fd.path(), linkError);
      auto socket = linkError ? inodes.end() : inodes.find(target.string());
      if (socket == inodes.end()) continue;
      seen.insert(socket->first);
      if (std::exchange(listed, true)) continue;
      std::error_code exeError;
      auto exe = fs::read_symlink(entry.path() / "exe", exeError);
      listeners.push_back({std::stoi(name), exeError ? std::string() : exe.string(), socket->second});
    }
  }
  if (ec) return PlatformError{"cannot list /proc: " + ec.message()};
  // Another user's process keeps its descriptors to itself; the kernel's table still says whose the socket
  // is.
  for (const auto& [inode, user] : inodes)
    if (!seen.contains(inode)) listeners.push_back({0, std::string(), user});
  std::sort(listeners.begin(), listeners.end(),
            [](const PortListener& a, const PortListener& b) { return a.processId < b.processId; });
  return listeners;
}

std::chrono::system_clock::time_point SystemClock::now() {
  return std::chrono::system_clock::now();
}

LocalDateTime SystemClock::localTime(std::chrono::system_clock::time_point time) {
  std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  ::localtime_r(&t, &parts);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
}

bool SystemClock::sleepFor(std::chrono::nanoseconds duration, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  return !wake.wait_for(lock, stop, duration, [] { return false; }) && !stop.stop_requested();
}

int otherInstancesHoldingLock(const std::optional<std::string>& bundleIdentifier) {
  static std::mutex mutex;
  static int held = -1;  // the lock's descriptor once taken
  std::lock_guard lock(mutex);
  if (held >= 0) return 0;
  fs::path folder;
  if (auto runtime = xdg::runtimeDir()) {
    folder = *runtime;
  } else {
    folder = fs::temp_directory_path() / ("tessaron-" + std::to_string(::getuid()));
    ::mkdir(folder.c_str(), 0700);
    // Anyone may make folders there: one that another user made first (and could hold the lock in, or link
    // elsewhere) is not ours to use.
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid() ||
        (status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
      return 0;  // as where no lock can be kept at all
  }
  const fs::path file = folder / (bundleIdentifier.value_or("no-bundle-identifier") + ".instance.lock");
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return 0;  // nowhere to keep a lock: behave as the only instance rather than refuse to run
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    held = fd;
    return 0;
  }
  ::close(fd);
  return 1;
}

std::optional<fs::path> bundleAround(const fs::path& executable) {
  for (fs::path p = executable.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path())
    if (p.extension() == ".app") return p;
  return std::nullopt;
}

std::optional<InstalledLayout> layoutAround(const fs::path& executable) {
  if (auto bundle = bundleAround(executable))
    return InstalledLayout{*bundle / "Contents" / "MacOS", *bundle / "Contents" / "Resources"};
  const fs::path folder = executable.parent_path();
  if (folder.filename() == "tessaron" && folder.parent_path().filename() == "lib")
    return InstalledLayout{folder, folder.parent_path().parent_path() / "share" / "tessaron"};
  return std::nullopt;
}

namespace {
std::optional<InstalledLayout> runningLayout() {
  std::error_code ec;
  auto exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return layoutAround(exe);
}
}  // namespace

std::optional<std::string> ExecutableInstallation::bundleIdentifier() {
  return std::string(TESSARON_BUNDLE_ID);
}

std::optional<fs::path> ExecutableInstallation::bundlePath() {
  std::error_code ec;
  auto exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return bundleAround(exe);
}

std::optional<fs::path> ExecutableInstallation::executablePath(const std::string& name) {
  auto layout = runningLayout();
  if (!layout) return std::nullopt;
  return layout->executables / name;
}

fs::path ExecutableInstallation::resourcePath(const std::string& fileName) {
  auto layout = runningLayout();
  return layout ? layout->resources / fileName : fs::path(fileName);
}

Outcome<fs::path> ExecutableInstallation::applicationSupportFolder() {
  auto folder = xdg::dataHome();
  if (!folder) return PlatformError{"neither XDG_DATA_HOME nor HOME is set"};
  return *folder;
}

FilePreferences::FilePreferences(fs::path file) : file_(std::move(file)) {}

fs::path FilePreferences::defaultFile() {
  auto config = xdg::configHome();
  return (config ? *config : fs::temp_directory_path()) / "tessaron" / "defaults.json";
}

namespace {
nlohmann::json readDefaults(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return nlohmann::json::object();
  auto parsed = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  return parsed.is_object() ? parsed : nlohmann::json::object();
}
}  // namespace

std::optional<std::string> FilePreferences::string(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto defaults = readDefaults(file_);
  auto it = defaults.find(key);
  if (it == defaults.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

void FilePreferences::setString(const std::string& key, const std::string& value) {
  std::lock_guard lock(mutex_);
  auto defaults = readDefaults(file_);
  defaults[key] = value;
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  // Write beside and rename, so a crash never leaves half a file that would lose every other default.
  fs::path temporary = file_;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << defaults.dump(2) << '\n';
    if (!out) return;
  }
  fs::rename(temporary, file_, ec);
}

}  // namespace tessaron::platform::posix
