#include "seal/sealed_store.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tessaron::seal {

namespace fs = std::filesystem;

namespace {

// gocryptfs's own exit codes.
constexpr int exitWrongPassword = 12;

// A program's full path, looked up before forking (nothing after fork may allocate).
std::optional<std::string> findProgram(const std::string& name) {
  std::string path = "/usr/bin:/bin:/usr/sbin:/sbin";
  if (const char* env = std::getenv("PATH"); env && *env) path = std::string(env) + ":" + path;
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

struct Child {
  pid_t pid = -1;
  int input = -1;   // its standard input
  int output = -1;  // its standard output
  int errors = -1;  // its standard error
};

// Starts a program with pipes for its standard input, output and error. With
// `endWithThisThread`, the kernel sends it SIGTERM when the calling thread ends (the program's end included).
// With `outputOutlivesUs`, standard output and error go to a file in memory instead of pipes: whatever it
// says after this program has ended (a FUSE engine's last words as it unmounts) is written somewhere rather
// than ending it half-way with SIGPIPE. `output` is then that file, read from its start.
std::optional<Child> spawn(const std::string& program, const std::vector<std::string>& arguments,
                           bool endWithThisThread, bool outputOutlivesUs = false) {
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : storage)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  int in[2];
  int out[2];
  int err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    return std::nullopt;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    return std::nullopt;
  }
  if (outputOutlivesUs) {
    const int memory = ::memfd_create("tessaron-engine-output", MFD_CLOEXEC);
    if (memory < 0) {
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
        ::close(fd);
      return std::nullopt;
    }
    ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
    out[0] = memory, out[1] = memory, err[0] = -1, err[1] = memory;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {in[0], in[1], out[0], err[0]})
      if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    if (endWithThisThread) {
      // A group of its own: a signal to this program's group (a terminal's Ctrl-C, a supervisor's SIGTERM)
      // must not take the store down while this program may still be writing into it; it ends after this
      // program does.
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);  // the parent ended before the line above
    }
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    // Signals this program blocks must not stay blocked in the child, or it could not be told to end.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  if (!outputOutlivesUs) ::close(out[1]), ::close(err[1]);
  return Child{pid, in[1], out[0], err[0]};
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string lastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  const auto cut = text.rfind('\n');
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

// Runs a program to its end with `input` on its standard input; its exit status and what it said.
std::pair<int, std::string> runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                                     const std::string& input) {
  auto child = spawn(program, arguments, false);
  if (!child) return {-1, std::string("cannot start ") + program + ": " + std::strerror(errno)};
  writeAll(child->input, input);
  ::close(child->input);
  std::thread discard([fd = child->output] {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0 || errno == EINTR) {
    }
    ::close(fd);
  });
  std::string said;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(child->errors, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    said.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(child->errors);
  discard.join();
  return {waitFor(child->pid), lastLine(said)};
}

StoreError engineMissing() {
  return {
      StoreError::Kind::engineMissing,
      "gocryptfs is not installed: the sealed archive needs it (Debian and Ubuntu: apt install gocryptfs)"};
}

std::string unescapeMountField(std::string_view field) {
  // Mount points escape space, tab, newline and backslash as three octal digits.
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string_view::npos) {
        out.push_back(static_cast<char>(std::stoi(std::string(digits), nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// The folder's full path as the mount table spells it. Only its parent is resolved: asking the mount point
// itself would wait on a FUSE engine that may be ending, and never come back.
fs::path comparable(const fs::path& folder) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(folder, ec).lexically_normal();
  const fs::path name = absolute.has_filename() ? absolute.filename() : absolute.parent_path().filename();
  const fs::path parent = fs::weakly_canonical(
      absolute.has_filename() ? absolute.parent_path() : absolute.parent_path().parent_path(), ec);
  return ec ? absolute : parent / name;
}

// Ends a FUSE engine: asked first (it unmounts as it ends), then, if it cannot finish within a few seconds
// (a request of its own mount left unanswered), its mount is detached and it is killed.
void endEngine(pid_t pid, const fs::path& mountPoint) {
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  unmount(mountPoint);
  ::kill(pid, SIGKILL);
  waitFor(pid);
}

}  // namespace

namespace {

// The minor device number of what is mounted at `folder` (a FUSE connection's number), or none.
std::optional<unsigned> mountDevice(const fs::path& folder) {
  const std::string wanted = comparable(folder).string();
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  std::optional<unsigned> found;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (unescapeMountField(point) != wanted) continue;
    const auto colon = device.find(':');
    found = colon == std::string::npos ? 0U : static_cast<unsigned>(std::stoul(device.substr(colon + 1)));
  }
  return found;  // the last one listed is the one on top
}

}  // namespace

bool isMountPoint(const fs::path& folder) {
  return mountDevice(folder).has_value();
}

bool unmount(const fs::path& folder) {
  if (!isMountPoint(folder)) return true;
  const std::string where = comparable(folder).string();
  // A FUSE engine that ended without unmounting can leave requests nobody will answer: whoever waits on them,
  // the engine's own end included, waits forever unless its connection is cut first.
  if (auto device = mountDevice(folder)) {
    std::ofstream abort("/sys/fs/fuse/connections/" + std::to_string(*device) + "/abort");
    abort << "1";
  }
  for (const char* tool : {"fusermount3", "fusermount"})
    if (auto program = findProgram(tool)) {
      runToEnd(*program, {"-u", "-z", "-q", where}, "");
      if (!isMountPoint(folder)) return true;
    }
  // Whoever may not use the FUSE helpers (a system without them) may still be allowed to unmount.
  if (auto program = findProgram("umount")) runToEnd(*program, {"-l", where}, "");
  return !isMountPoint(folder);
}

SealedStore::SealedStore(StorePlaces places) : places_(std::move(places)) {}

SealedStore::~SealedStore() {
  close();
}

bool SealedStore::exists() const {
  std::error_code ec;
  return fs::exists(places_.sealed / "gocryptfs.conf", ec);
}

bool SealedStore::hasPassphrase() const {
  std::error_code ec;
  return !places_.passphrase.empty() && fs::exists(places_.passphrase, ec);
}

std::optional<StoreError> SealedStore::create(const std::string& key) {
  if (exists())
    return StoreError{StoreError::Kind::failed, "a sealed archive exists at " + places_.sealed.string()};
  auto program = findProgram("gocryptfs");
  if (!program) return engineMissing();
  std::error_code ec;
  fs::create_directories(places_.sealed, ec);
  fs::permissions(places_.sealed, fs::perms::owner_all, ec);
  // The folder may hold what a run cut short before it had a key: an empty store is made over it.
  for (const auto& entry : fs::directory_iterator(places_.sealed, ec))
    fs::remove_all(entry.path(), ec);
  auto [status, said] = runToEnd(*program, {"-init", "-q", "--", places_.sealed.string()}, key + "\n");
  if (status != 0) return StoreError{StoreError::Kind::failed, "gocryptfs -init failed: " + said};
  return std::nullopt;
}

std::optional<StoreError> SealedStore::setPassphrase(const std::string& key, const std::string& passphrase) {
  auto program = findProgram("gocryptfs");
  if (!program) return engineMissing();
  if (passphrase.empty() || passphrase.find('\n') != std::string::npos)
    return StoreError{StoreError::Kind::failed, "a passphrase must be one line and not empty"};
  // The second way in is a copy of the key's wrapping, then wrapped again with the passphrase.
  const fs::path next = places_.passphrase.string() + ".new";
  std::error_code ec;
  fs::remove(next, ec);
  fs::copy_file(places_.sealed / "gocryptfs.conf", next, ec);
  if (ec) return StoreError{StoreError::Kind::failed, "cannot copy the key's wrapping: " + ec.message()};
  fs::permissions(next, fs::perms::owner_read | fs::perms::owner_write, ec);
  auto [status, said] =
      runToEnd(*program, {"-passwd", "-q", "-config", next.string(), "--", places_.sealed.string()},
               key + "\n" + passphrase + "\n");
  if (status != 0) {
    fs::remove(next, ec);
    if (status == exitWrongPassword)
      return StoreError{StoreError::Kind::wrongKey, "the key does not open the archive"};
    return StoreError{StoreError::Kind::failed, "gocryptfs -passwd failed: " + said};
  }
  fs::rename(next, places_.passphrase, ec);
  if (ec) return StoreError{StoreError::Kind::failed, "cannot keep the passphrase: " + ec.message()};
  return std::nullopt;
}

std::optional<StoreError> SealedStore::open(const std::string& secret) {
  if (isOpen()) return std::nullopt;
  if (!exists())
    return StoreError{StoreError::Kind::failed, "no sealed archive at " + places_.sealed.string()};
  if (!unmount(places_.open))
    return StoreError{StoreError::Kind::failed,
                      places_.open.string() + " is mounted and cannot be unmounted"};
  auto error = mount(secret, places_.sealed / "gocryptfs.conf");
  if (error && error->kind == StoreError::Kind::wrongKey && hasPassphrase())
    error = mount(secret, places_.passphrase);
  return error;
}

std::optional<StoreError> SealedStore::mount(const std::string& secret, const fs::path& config) {
  auto program = findProgram("gocryptfs");
  if (!program) return engineMissing();
  std::error_code ec;
  fs::create_directories(places_.open, ec);
  fs::permissions(places_.open, fs::perms::owner_all, ec);
  // Whatever a program wrote there while the store was not open (one that still held the path when the store
  // closed) is not the archive's, and the store cannot open over it.
  for (const auto& entry : fs::directory_iterator(places_.open, ec))
    fs::remove_all(entry.path(), ec);
  // -kernel_cache: the kernel keeps what it has read across opens, as on a plain disk (the search index's
  // pages most of all: without it a search's slowest answers took twice as long). Only this mount writes the
  // ciphertext while it is open, so what is kept cannot go stale.
  auto child = spawn(*program,
                     {"-fg", "-kernel_cache", "-config", config.string(), "--", places_.sealed.string(),
                      places_.open.string()},
                     true, true);
  if (!child)
    return StoreError{StoreError::Kind::failed,
                      std::string("cannot start gocryptfs: ") + std::strerror(errno)};
  writeAll(child->input, secret + "\n");
  ::close(child->input);
  std::string told;
  auto readTold = [&] {
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(child->output, buffer, sizeof buffer, static_cast<off_t>(told.size()))) > 0)
      told.append(buffer, static_cast<std::size_t>(n));
  };
  // Ready once it says so: from then on it unmounts when told to end. Until then an end would leave a mount
  // that nobody serves (its own handle on the mount waiting for an answer from itself).
  auto ready = [&] {
    return told.find("mounted and ready") != std::string::npos && isMountPoint(places_.open);
  };
  // Unwrapping the key is deliberately slow (scrypt): a second or two on a busy machine, never minutes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    readTold();
    if (ready()) break;
    int status = 0;
    if (::waitpid(child->pid, &status, WNOHANG) == child->pid) {
      readTold();
      ::close(child->output);
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (code == exitWrongPassword)
        return StoreError{StoreError::Kind::wrongKey, "the key does not open the archive"};
      return StoreError{StoreError::Kind::failed, "gocryptfs ended (" + std::to_string(code) + ")" +
                                                      (told.empty() ? "" : ": " + lastLine(told))};
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::close(child->output);
      endEngine(child->pid, places_.open);
      return StoreError{StoreError::Kind::failed, "gocryptfs did not mount the archive within a minute"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // It sets up its handling of the end right after saying it is ready.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  engine_ = child->pid;
  ::close(child->output);  // what it says from now on stays in its own memory file
  return std::nullopt;
}

bool SealedStore::isOpen() const {
  if (engine_ < 0) return false;
  int status = 0;
  if (::waitpid(engine_, &status, WNOHANG) == engine_) {
    engine_ = -1;  // reaped: it ended by itself
    return false;
  }
  return isMountPoint(places_.open);
}

void SealedStore::close() {
  if (engine_ >= 0) {
    endEngine(engine_, places_.open);
    engine_ = -1;
  }
  unmount(places_.open);
}

}  // namespace tessaron::seal
