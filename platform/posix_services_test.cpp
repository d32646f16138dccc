#include "platform/posix_services.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace tessaron::platform::posix {
namespace {

namespace fs = std::filesystem;

TEST(PosixProcesses, RunReadsStandardOutputToTheEndAndTheExitStatus) {
  PosixProcesses processes;
  auto out = processes.run("/bin/sh", {"-c", "printf 'a\\nb\\n'; exit 3"});
  ASSERT_TRUE(out.ok()) << out.error().text;
  EXPECT_EQ(out.value().standardOutput, "a\nb\n");
  EXPECT_EQ(out.value().exitStatus, 3);

  auto missing = processes.run("/nonexistent/program", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().text.find("/nonexistent/program"), std::string::npos);
}

TEST(PosixProcesses, ChildrenStartWithDefaultTerminationSignals) {
  // The application ignores SIGTERM; a child it starts must still end on it.
  struct sigaction previous {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &previous);
  PosixProcesses processes;
  auto out = processes.run("/bin/sh", {"-c", "kill -TERM $$; sleep 5; echo survived"});
  sigaction(SIGTERM, &previous, nullptr);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.value().standardOutput, "");
  EXPECT_EQ(out.value().exitStatus, 128 + SIGTERM);
}

// A listening socket on a free loopback port, and a client connected to it.
struct Listener {
  int server = -1, client = -1;
  std::uint16_t port = 0;
  Listener() {
    server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(server, 4);
    socklen_t length = sizeof address;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    client = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~Listener() {
    ::close(client);
    ::close(server);
  }
};

TEST(PosixProcesses, ListenersOnPortFindsOnlyTheListeningProcessWithItsExecutable) {
  Listener listener;
  PosixProcesses processes;
  auto found = processes.listenersOnPort(listener.port);
  ASSERT_TRUE(found.ok()) << found.error().text;
  // This process both listens and is connected; it is reported once, as the listener.
  ASSERT_EQ(found.value().size(), 1U);
  EXPECT_EQ(found.value()[0].processId, ::getpid());
  EXPECT_EQ(found.value()[0].executablePath, fs::read_symlink("/proc/self/exe").string());

  ::close(listener.server);
  listener.server = -1;
  auto after = processes.listenersOnPort(listener.port);
  ASSERT_TRUE(after.ok());
  EXPECT_TRUE(after.value().empty()) << "a merely connected client is not a listener";
}

TEST(PosixProcesses, LaunchStartsADetachedChild) {
  fs::path marker = fs::temp_directory_path() / ("tessaron-launch-" + std::to_string(::getpid()));
  fs::remove(marker);
  PosixProcesses processes;
  auto pid = processes.launch("/bin/sh", {"-c", "echo ignored; touch '" + marker.string() + "'"});
  ASSERT_TRUE(pid.ok());
  EXPECT_GT(pid.value(), 0);
  for (int i = 0; i < 200 && !fs::exists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(marker));
  fs::remove(marker);
}

TEST(Installation, IsTheAppFolderAsBuiltOrLibAndShareAsInstalled) {
  EXPECT_EQ(bundleAround("/opt/x/Tessaron.app/Contents/MacOS/tessaron"), fs::path("/opt/x/Tessaron.app"));
  EXPECT_EQ(bundleAround("/usr/bin/tessaron"), std::nullopt);
  auto built = layoutAround("/opt/x/Tessaron.app/Contents/MacOS/tessaron");
  ASSERT_TRUE(built);
  EXPECT_EQ(built->executables, fs::path("/opt/x/Tessaron.app/Contents/MacOS"));
  EXPECT_EQ(built->resources, fs::path("/opt/x/Tessaron.app/Contents/Resources"));
  auto installed = layoutAround("/usr/lib/tessaron/tessaron");
  ASSERT_TRUE(installed);
  EXPECT_EQ(installed->executables, fs::path("/usr/lib/tessaron"));
  EXPECT_EQ(installed->resources, fs::path("/usr/share/tessaron"));
  // Anywhere else is no known layout (a copied binary must not take /usr/share/… for its resources).
  EXPECT_EQ(layoutAround("/usr/bin/tessaron"), std::nullopt);
  EXPECT_EQ(layoutAround("/home/me/lib/other/tessaron"), std::nullopt);
}

TEST(FilePreferences, SurviveANewInstanceAndKeepOtherKeys) {
  fs::path folder = fs::temp_directory_path() / ("tessaron-defaults-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  {
    FilePreferences defaults(folder / "defaults.json");
    EXPECT_EQ(defaults.string("ActionType"), std::nullopt);
    defaults.setString("ActionType", "Inspect Data");
    defaults.setString("Other", "kept");
  }
  FilePreferences reopened(folder / "defaults.json");
  EXPECT_EQ(reopened.string("ActionType"), "Inspect Data");
  reopened.setString("ActionType", "Toggle");
  EXPECT_EQ(reopened.string("ActionType"), "Toggle");
  EXPECT_EQ(reopened.string("Other"), "kept");
  fs::remove_all(folder);
}

TEST(SystemClock, SleepEndsAtOnceWhenCancelled) {
  SystemClock clock;
  std::stop_source stop;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.request_stop();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(clock.sleepFor(std::chrono::seconds(5), stop.get_token()));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  canceller.join();
  EXPECT_TRUE(clock.sleepFor(std::chrono::milliseconds(1), std::stop_token{}));
}

}  // namespace
}  // namespace tessaron::platform::posix
