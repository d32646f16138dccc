// What the search server's tests share: writing the files of a made-up archive, and the real server program
// started over it on 127.0.0.1:5000.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "archive/record_file.h"
#include "tests/process_harness.h"

namespace tessaron::search::testing {

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// One record of a made-up archive: its text and, unless `screenshot` is false, a sample screenshot.
inline void writeRecord(const std::filesystem::path& archive, const std::string& day, const std::string& stem,
                        const std::string& address, const std::string& title, const std::string& body,
                        bool screenshot = true) {
  writeFile(archive / day / (stem + ".txt"),
            tessaron::archive::recordText(address, day + "/" + stem, stem.substr(0, 20), title, body));
  if (screenshot)
    std::filesystem::copy_file(TESSARON_SAMPLE_IMAGE, archive / day / (stem + ".png"),
                               std::filesystem::copy_options::overwrite_existing);
}

// The server over `archive`, its cache and settings under `root`, once it has indexed `records` records.
inline std::unique_ptr<tessaron::testing::Child> startServer(
    const std::filesystem::path& root, const std::filesystem::path& archive, std::size_t records,
    std::map<std::string, std::string> environment = {}) {
  environment.emplace("XDG_CACHE_HOME", (root / "cache").string());
  environment.emplace("XDG_CONFIG_HOME", (root / "config").string());
  auto server = std::make_unique<tessaron::testing::Child>(
      std::vector<std::string>{TESSARON_SERVER_PATH, "--appdata=" + archive.string()}, environment, root,
      "server");
  const std::string indexed = "indexed " + std::to_string(records);
  if (!tessaron::testing::eventually([&] { return server->errHas(indexed); })) {
    std::fprintf(stderr, "the server did not index the archive:\n%s\n", server->err().c_str());
    return nullptr;
  }
  return server;
}

// Whether any file under `folder` holds the bytes (the index, its journal, a thumbnail).
inline bool anyFileHolds(const std::filesystem::path& folder, const std::string& bytes) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec))
    if (entry.is_regular_file() && tessaron::testing::slurp(entry.path()).find(bytes) != std::string::npos)
      return true;
  return false;
}

// What another user (nobody) gets from the server for a raw request, read until the server closes. Needs
// root.
inline std::string answerToAnotherUser(const std::string& request) {
  constexpr uid_t nobody = 65534;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {  // only async-signal-safe calls from here
    ::close(pipeFds[0]);
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(2);
    const int fd = tessaron::testing::connectToLoopback(5000);
    if (fd < 0) ::_exit(3);
    if (::write(fd, request.data(), request.size()) < 0) ::_exit(4);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
      if (::write(pipeFds[1], buffer, static_cast<std::size_t>(n)) < 0) break;
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string answer;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
    answer.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return answer;
}

}  // namespace tessaron::search::testing
