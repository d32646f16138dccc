// The real tessaron program on the simulated desktop: launch order, signals, one instance, the permission
// gate, and the port-5000 rules, with real processes, real signals and a real TCP port.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <thread>

#include "tests/archive_files.h"
#include "tests/process_harness.h"

namespace tessaron {
namespace {

using namespace tessaron::testing;
using namespace std::chrono_literals;

const fs::path bundle = TESSARON_BUNDLE_DIR;
const std::string tessaronPath = (bundle / "Contents/MacOS/tessaron").string();
const std::string serverPath = (bundle / "Contents/MacOS/server").string();

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

// Whether `first` occurs in `text` before `second`.
bool before(const std::string& text, const std::string& first, const std::string& second) {
  auto a = text.find(first), b = text.find(second);
  return a != std::string::npos && b != std::string::npos && a < b;
}

class TessaronProcess : public ::testing::Test {
 protected:
  // A server whose tessaron was killed comes to this process, which then ends it by its id.
  static void SetUpTestSuite() { adoptOrphans(); }

  void SetUp() override {
    home =
        fs::temp_directory_path() /
        ("tessaron-process-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(home);
    fs::create_directories(home / "runtime");
    fs::permissions(home / "runtime", fs::perms::owner_all);
    // These tests are about the program around the archive; the sealed archive's own test seals one.
    fs::create_directories(home / "config" / "tessaron");
    std::ofstream(home / "config" / "tessaron" / "settings.json") << R"({"encryptArchive": false})";
    ASSERT_TRUE(portFreed(5000)) << "port 5000 is held by a process this test did not start";
  }
  void TearDown() override {
    children.clear();
    // The servers of killed tessarons, adopted by this process: only they are left among its children.
    endChildProcesses();
    EXPECT_TRUE(portFreed(5000)) << "port 5000 is still held after the test ended what it started";
    fs::remove_all(home);
  }

  fs::path scenario(const std::string& name, const std::string& json) {
    fs::path file = home / (name + ".json");
    std::ofstream(file) << json;
    return file;
  }

  Child& start(const fs::path& scenarioFile, const std::string& name = "tessaron") {
    children.push_back(std::make_unique<Child>(
        std::vector<std::string>{tessaronPath},
        std::map<std::string, std::string>{{"TESSARON_PLATFORM", "sim"},
                                           {"TESSARON_SCENARIO", scenarioFile.string()},
                                           {"TESSARON_LOG", "stderr"},
                                           {"HOME", home.string()},
                                           {"XDG_DATA_HOME", (home / "share").string()},
                                           {"XDG_CONFIG_HOME", (home / "config").string()},
                                           {"XDG_RUNTIME_DIR", (home / "runtime").string()},
                                           {"TESSARON_SIM_KEYRING", (home / "keyring").string()}},
        home, name));
    return *children.back();
  }

  Child& startProgram(const std::vector<std::string>& argv, const std::string& name) {
    children.push_back(std::make_unique<Child>(argv, std::map<std::string, std::string>{}, home, name));
    return *children.back();
  }

  std::string dataFolder() const { return (home / "share" / "tessaron" / "AppData").string(); }

  fs::path home;
  std::vector<std::unique_ptr<Child>> children;
};

constexpr const char* granted = R"({"trace": true, "clock": {"speed": 20},
  "grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}}})";

TEST_F(TessaronProcess, BothGrantsStartTheServerThenCapturingAndSigtermEndsEverything) {
  Child& app = start(scenario("granted", granted));
  ASSERT_TRUE(eventually([&] { return app.errHas("Start Screen Capturing from logger"); })) << app.err();
  ASSERT_TRUE(eventually([] { return portListening(5000); }));
  const std::string log = app.err();
  EXPECT_TRUE(
      before(log, "User just granted Screen Capturing Priviledge.", "no current process using port 5000"));
  EXPECT_TRUE(before(log, "no current process using port 5000", "Server process (PID: "));
  EXPECT_TRUE(before(log, "Server process (PID: ", "Start Screen Capturing from logger"));
  EXPECT_EQ(countOf(log, "alert shown"), 0U);
  std::smatch pid;
  ASSERT_TRUE(std::regex_search(log, pid, std::regex("Server process \\(PID: (\\d+)\\) started\\.")));

  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
  const std::string out = app.out();
  EXPECT_EQ(out.rfind("com.marrowbeck.tessaron\n" + dataFolder() + "\n", 0), 0U) << out;
  EXPECT_NE(
      out.find("Shutting down app and server gracefully\nKilling process with PID: " + pid[1].str() + "\n"),
      std::string::npos)
      << out;
  EXPECT_TRUE(app.errHas("[Utils] default: Received termination signal (SIGTERM)"));
  EXPECT_TRUE(eventually([] { return !portListening(5000); }));
}

TEST_F(TessaronProcess, SigintWhileAnAlertIsOpenEndsWithoutTheSigtermLine) {
  Child& app = start(scenario("alert", R"({"trace": true, "alerts": {"holdSeconds": 60},
    "grants": {"accessibility": {"granted": false}}})"));
  ASSERT_TRUE(eventually([&] { return app.errHas("sim: alert shown: Accessibility Permissions Required"); }));
  app.signal(SIGINT);
  EXPECT_EQ(app.waitExit(5s), 0) << "the signal is handled while the main thread sits in the alert";
  EXPECT_TRUE(app.outHas("Shutting down app and server gracefully\n"));
  EXPECT_FALSE(app.errHas("Received termination signal"));
}

TEST_F(TessaronProcess, ASecondInstanceExitsBeforeRegisteringAnything) {
  const fs::path waiting =
      scenario("waiting", R"({"trace": true, "grants": {"accessibility": {"granted": true}}})");
  Child& first = start(waiting, "first");
  ASSERT_TRUE(eventually([&] { return first.errHas("sim: status item created"); }));
  Child& second = start(waiting, "second");
  EXPECT_EQ(second.waitExit(), 0);
  EXPECT_EQ(second.out(), "com.marrowbeck.tessaron\n");
  EXPECT_TRUE(second.errHas("[Tessaron App] error: App already running."));
  EXPECT_FALSE(second.errHas("login item"));
  EXPECT_FALSE(second.errHas("status item"));
  EXPECT_TRUE(first.running()) << "the first copy goes on unchanged";
  first.signal(SIGTERM);
  EXPECT_EQ(first.waitExit(), 0);
}

TEST_F(TessaronProcess, TwoCopiesStartedTogetherLeaveExactlyOne) {
  const fs::path waiting =
      scenario("waiting", R"({"trace": true, "grants": {"accessibility": {"granted": true}}})");
  for (int round = 0; round < 3; ++round) {
    Child& a = start(waiting, "a" + std::to_string(round));
    Child& b = start(waiting, "b" + std::to_string(round));
    ASSERT_TRUE(eventually([&] { return !a.running() || !b.running(); }));
    Child& loser = a.running() ? b : a;
    Child& winner = a.running() ? a : b;
    EXPECT_EQ(loser.waitExit(), 0);
    EXPECT_TRUE(loser.errHas("App already running."));
    EXPECT_TRUE(eventually([&] { return winner.errHas("sim: status item created"); }));
    EXPECT_TRUE(winner.running());
    winner.signal(SIGTERM);
    EXPECT_EQ(winner.waitExit(), 0);
  }
}

TEST_F(TessaronProcess, PermissionGateShowsEachAlertOnceAndStartsWhenBothGrantsArrive) {
  Child& app = start(scenario("gate", R"({"trace": true, "clock": {"speed": 20},
    "alerts": {"default": "second"},
    "grants": {"accessibility": {"granted": false, "grantedAfterSeconds": 3},
               "screenCapture": {"granted": false, "grantedAfterSeconds": 8}}})"));
  ASSERT_TRUE(eventually([&] { return app.errHas("Start Screen Capturing from logger"); })) << app.err();
  const std::string log = app.err();
  EXPECT_EQ(countOf(log, "alert shown: Accessibility Permissions Required"), 1U);
  EXPECT_EQ(countOf(log, "alert shown: Screen Recording Permissions Required"), 1U);
  EXPECT_TRUE(before(log, "alert shown: Accessibility", "alert shown: Screen Recording"));
  EXPECT_EQ(countOf(log, "User just granted Screen Capturing Priviledge."), 1U);
  EXPECT_TRUE(before(log, "User just granted", "Server process (PID: "));
  EXPECT_FALSE(app.errHas("sim: request")) << "Cancel requests nothing";
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
}

TEST_F(TessaronProcess, ASwitchOnMadeElsewhereClosesTheOpenAlertAndCapturingStarts) {
  Child& app = start(scenario("elsewhere", R"({"trace": true, "clock": {"speed": 20},
    "alerts": {"holdSeconds": 60},
    "grants": {"accessibility": {"granted": false, "grantedAfterSeconds": 2},
               "screenCapture": {"granted": true}}})"));
  ASSERT_TRUE(eventually([&] { return app.errHas("Start Screen Capturing from logger"); }, 30s)) << app.err();
  EXPECT_TRUE(app.errHas("sim: alert dismissed: Accessibility Permissions Required"));
  EXPECT_FALSE(app.errHas("sim: request")) << "the alert closed as Cancel would, asking for nothing";
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
}

TEST_F(TessaronProcess, OurOwnServerOnThePortIsLeftRunning) {
  Child& server = startProgram({serverPath, "--appdata=" + (home / "other").string()}, "server");
  ASSERT_TRUE(eventually([] { return portListening(5000); }));
  Child& app = start(scenario("granted", granted));
  ASSERT_TRUE(eventually([&] { return app.errHas("Start Screen Capturing from logger"); })) << app.err();
  EXPECT_TRUE(app.errHas("tessaron server is already running, skip"));
  EXPECT_FALSE(app.errHas("alert shown"));
  EXPECT_FALSE(app.errHas("Server process (PID: "));
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
  EXPECT_TRUE(app.outHas("Killing process with PID: " + std::to_string(server.pid())));
  EXPECT_EQ(server.waitExit(), 128 + SIGKILL);
}

constexpr const char* foreignListener =
    "import socket,time\n"
    "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)\n"
    "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"  // past the closed connections a server
                                                                 // leaves
    "s.bind(('127.0.0.1', 5000)); s.listen(); print('listening', flush=True); time.sleep(600)\n";

TEST_F(TessaronProcess, ForeignListenersAskAndNoQuitsWithStatusOne) {
  Child& one = startProgram({"/usr/bin/python3", "-c", foreignListener}, "one");
  Child& two = startProgram({"/usr/bin/python3", "-c", foreignListener}, "two");
  ASSERT_TRUE(eventually([&] { return one.outHas("listening") && two.outHas("listening"); }));
  // A client merely connected to the port is not a listener and is never killed.
  Child& client = startProgram({"/usr/bin/python3", "-c",
                                "import socket,time\ns=socket.create_connection(('127.0.0.1',5000))\n"
                                "print('connected',flush=True); time.sleep(600)\n"},
                               "client");
  ASSERT_TRUE(eventually([&] { return client.outHas("connected"); }));
  Child& app = start(scenario("refuse", R"({"trace": true, "alerts": {"answers": ["second"]},
    "grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}}})"));
  EXPECT_EQ(app.waitExit(), 1);
  EXPECT_TRUE(app.errHas("sim: alert shown: tessaron"));
  EXPECT_TRUE(app.errHas("[Utils] error: user rejected to kill the process using port 5000, quit tessaron"));
  EXPECT_TRUE(one.running() && two.running() && client.running());
}

// Every server tessaron has started so far, by the log.
std::vector<pid_t> serversStarted(const Child& app) {
  std::vector<pid_t> pids;
  const std::string err = app.err();
  static const std::regex started("Server process \\(PID: (\\d+)\\) started");
  for (auto it = std::sregex_iterator(err.begin(), err.end(), started); it != std::sregex_iterator(); ++it)
    pids.push_back(std::stoi((*it)[1].str()));
  return pids;
}

TEST_F(TessaronProcess, AServerThatEndsByItselfIsStartedAgainAndThatIsSaidOnce) {
  Child& app = start(scenario("granted", granted));
  ASSERT_TRUE(eventually([&] { return serversStarted(app).size() == 1 && portListening(5000); }))
      << app.err();
  // Ended as the OOM killer would end it, twice in a row.
  for (std::size_t ended = 1; ended <= 2; ++ended) {
    ASSERT_EQ(::kill(serversStarted(app).back(), SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return serversStarted(app).size() == ended + 1; })) << app.err();
  }
  EXPECT_TRUE(eventually([] { return portListening(5000); }));
  EXPECT_EQ(countOf(app.err(), "The search server ended by itself (signal 9): starting it again."), 1U);
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
  EXPECT_EQ(serversStarted(app).size(), 3U) << "a server ended on purpose is not started again";
}

TEST_F(TessaronProcess, APortHeldByAnotherUserIsSaidOnceAndTheServerWaitsForIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "a program of another user needs root to start";
  Child& other = startProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               "/usr/bin/python3", "-c", foreignListener},
                              "other-user");
  ASSERT_TRUE(eventually([&] { return other.outHas("listening"); })) << other.err();
  Child& app = start(scenario("granted", granted));
  ASSERT_TRUE(eventually([&] {
    return countOf(app.err(),
                   "Port 5000 is held by a program of another user of this computer (user 65534)") >= 2;
  })) << app.err();
  EXPECT_FALSE(app.errHas("no current process using port 5000"))
      << "its process cannot be seen, yet it is there";
  EXPECT_TRUE(serversStarted(app).empty());
  EXPECT_TRUE(other.running()) << "nobody here may end it";
  ASSERT_EQ(::kill(other.pid(), SIGKILL), 0);
  other.waitExit();
  EXPECT_TRUE(eventually([&] { return serversStarted(app).size() == 1; })) << "started once the port is free";
  EXPECT_EQ(countOf(app.err(), "alert shown: tessaron"), 1U) << "the person is told once";
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
}

TEST_F(TessaronProcess, QuitEndsOnlyItsOwnServerNotWhatTookThePortSince) {
  // The person's own program on the port is asked about when the server is started again; they say No.
  Child& app = start(scenario("granted-no", R"({"trace": true, "clock": {"speed": 20},
    "alerts": {"default": "second"},
    "grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}}})"));
  ASSERT_TRUE(eventually([&] { return app.errHas("Server process (PID: "); })) << app.err();
  std::smatch pid;
  const std::string err = app.err();
  ASSERT_TRUE(std::regex_search(err, pid, std::regex("Server process \\(PID: (\\d+)\\) started")));
  const pid_t server = std::stoi(pid[1].str());
  // The server dies (as the OOM killer would end it), and the person starts a program of their own there.
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  ASSERT_TRUE(eventually([] { return !portListening(5000); }));
  Child& foreign = startProgram({"/usr/bin/python3", "-c", foreignListener}, "foreign");
  ASSERT_TRUE(eventually([&] { return foreign.outHas("listening"); }));
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
  EXPECT_FALSE(app.outHas("Killing process with PID: " + std::to_string(foreign.pid()))) << app.out();
  EXPECT_TRUE(foreign.running());
}

TEST_F(TessaronProcess, ForeignListenerKilledOnYesThenTheServerStarts) {
  Child& foreign = startProgram({"/usr/bin/python3", "-c", foreignListener}, "foreign");
  ASSERT_TRUE(eventually([&] { return foreign.outHas("listening"); }));
  Child& app = start(scenario("accept", R"({"trace": true, "alerts": {"answers": ["first"]},
    "grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}}})"));
  ASSERT_TRUE(eventually([&] { return app.errHas("Server process (PID: "); })) << app.err();
  EXPECT_TRUE(app.outHas("Killing process with PID: " + std::to_string(foreign.pid()) + "\n"));
  EXPECT_TRUE(before(app.err(), "killed the current process using port 5000", "Server process (PID: "));
  EXPECT_EQ(foreign.waitExit(), 128 + SIGKILL);
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitExit(), 0);
}

TEST_F(TessaronProcess, AMissingServerQuitsAndAnUnrunnableOneIsLoggedAndSkipped) {
  fs::path missing = home / "Missing.app";
  fs::create_directories(missing / "Contents" / "MacOS");
  Child& quits =
      start(scenario("missing",
                     R"({"grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}},
    "bundle": {"path": ")" +
                         missing.string() + R"("}})"),
            "quits");
  EXPECT_EQ(quits.waitExit(), 1);
  EXPECT_TRUE(
      quits.errHas("Server executable not found at: " + (missing / "Contents/MacOS/server").string()));
  EXPECT_TRUE(quits.errHas("[Utils] error: Server executable not found."));
  EXPECT_TRUE(quits.errHas("tessaron cannot start its search server, quit tessaron"));
  EXPECT_FALSE(quits.errHas("user rejected")) << "nobody was asked";

  // A data folder that cannot be made (read-only, or a file in the way) is what the log says, not the server.
  std::ofstream(home / "in-the-way") << "a plain file";
  Child& noData = start(scenario("no-data", R"({"grants": {"accessibility": {"granted": true},
    "screenCapture": {"granted": true}}, "bundle": {"applicationSupport": ")" +
                                                (home / "in-the-way" / "share").string() + R"("}})"),
                        "no-data");
  EXPECT_EQ(noData.waitExit(), 1);
  EXPECT_TRUE(noData.errHas("The data folder cannot be used, so the search server cannot start."))
      << noData.err();
  EXPECT_FALSE(noData.errHas("Server executable not found."));
  EXPECT_FALSE(noData.errHas("user rejected"));

  fs::path broken = home / "Broken.app";
  fs::create_directories(broken / "Contents" / "MacOS");
  std::ofstream(broken / "Contents" / "MacOS" / "server") << "not a program";
  Child& goesOn = start(scenario("broken", R"({"clock": {"speed": 20},
    "grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}},
    "bundle": {"path": ")" + broken.string() + R"("}})"),
                        "goes-on");
  ASSERT_TRUE(eventually([&] { return goesOn.errHas("Start Screen Capturing from logger"); }))
      << goesOn.err();
  EXPECT_TRUE(goesOn.errHas("[Utils] error: Error starting server process: "));
  goesOn.signal(SIGTERM);
  EXPECT_EQ(goesOn.waitExit(), 0);
}

TEST_F(TessaronProcess, ABadScenarioIsAClearErrorWithStatusTwo) {
  Child& app = start(scenario("bad", R"({"windows": [{"number": "eleven"}]})"));
  EXPECT_EQ(app.waitExit(), 2);
  EXPECT_TRUE(app.errHas("bad.json: /windows/0/number: expected a whole number from 0 to 4294967295"))
      << app.err();
  EXPECT_EQ(app.out(), "") << "nothing ran half-configured";
}

// A scenario in which every pass saves a large record: the window's picture changes each time.
// The records of the busy scenario in a data folder, each checked whole: its screenshot decodes, its text
// names the page, and nothing else lies beside them. How many there are.
std::size_t countWholeRecords(const fs::path& data, unsigned seed) {
  std::size_t records = 0;
  for (const auto& day : fs::directory_iterator(data)) {
    for (const auto& entry : fs::directory_iterator(day.path())) {
      const fs::path file = entry.path();
      SCOPED_TRACE(file.string() + " (seed " + std::to_string(seed) + ")");
      EXPECT_TRUE(file.extension() == ".png" || file.extension() == ".txt") << "a leftover";
      fs::path other = file;
      other.replace_extension(file.extension() == ".png" ? ".txt" : ".png");
      EXPECT_TRUE(fs::exists(other)) << "half a record";
      if (file.extension() == ".png") {
        EXPECT_TRUE(decodePngFile(file)) << "a screenshot no reader can open";
        continue;
      }
      ++records;
      std::ifstream in(file);
      std::string address, recordPath, stamp, title;
      std::getline(in, address);
      std::getline(in, recordPath);
      std::getline(in, stamp);
      std::getline(in, title);
      EXPECT_EQ(address, "https://busy.example/");
      EXPECT_EQ(recordPath, day.path().filename().string() + "/" + file.stem().string());
      EXPECT_TRUE(file.stem().string().starts_with(stamp)) << stamp;
      EXPECT_EQ(title, "Busy");
    }
  }
  return records;
}

std::string busyScenario() {
  std::string json = R"({"clock": {"speed": 100},
    "grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}},
    "windows": [{"number": 11, "title": "Busy", "frame": [0, 0, 1280, 800], "application": "Chromium", "pid": 100,
                 "image": {"pattern": "noise", "seed": 1, "width": 1280, "height": 800}}],
    "applications": [{"pid": 100, "name": "Chromium", "windows": [
      {"role": "AXWindow", "frame": [0, 0, 1280, 800], "children": [
        {"role": "AXWebArea", "title": "Busy", "url": "https://busy.example/", "children": [
          {"role": "AXStaticText", "value": "Words of a busy page"}]}]}]}],
    "timeline": [)";
  for (int pass = 2; pass < 2000; ++pass)
    json += (pass > 2 ? "," : "") + std::string(R"({"pass": )") + std::to_string(pass) +
            R"(, "image": {"window": 11, "image": {"pattern": ")" + (pass % 2 ? "noise" : "stripes") +
            R"(", "seed": )" + std::to_string(pass) + R"(, "width": 1280, "height": 800}}})";
  return json + "]}";
}

TEST_F(TessaronProcess, KilledAtRandomMomentsItLeavesOnlyWholeRecordsAfterTheNextStart) {
  const fs::path busy = scenario("busy", busyScenario());
  const auto seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment(0, 1500);
  // Each start removes what the kill before it cut short.
  std::size_t startsThatFoundLeftovers = 0;
  for (int run = 0; run < 12; ++run) {
    Child& app = start(busy, "run" + std::to_string(run));
    // From its first saved record on, however long a busy machine takes to get there: the kill then falls
    // anywhere in the writing of the next ones.
    ASSERT_TRUE(eventually([&] { return app.errHas("Metadata saved at: "); }, 60s)) << app.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    startsThatFoundLeftovers += app.errHas("whose writing was cut short");
    app.signal(SIGKILL);
    app.waitExit();
  }
  // The next start, with nothing to capture, removes what the kills cut short before its first pass.
  Child& next = start(scenario("quiet", granted), "next");
  ASSERT_TRUE(eventually([&] { return next.errHas("Start Screen Capturing from logger"); })) << next.err();
  next.signal(SIGTERM);
  EXPECT_EQ(next.waitExit(), 0);

  const std::size_t records = countWholeRecords(dataFolder(), seed);
  EXPECT_GE(records, 12U) << "each run saved a record before it was killed";
  startsThatFoundLeftovers += next.errHas("whose writing was cut short");
  std::printf("killed 12 times (seed %u): %zu whole records; %zu of 12 next starts removed leftovers\n", seed,
              records, startsThatFoundLeftovers);
}

// Where a sealed archive's store is open: the one folder tessaron names after it in the runtime folder.
fs::path openFolderIn(const fs::path& runtime) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(runtime / "tessaron", ec))
    if (entry.path().filename().string().starts_with("Archive-")) return entry.path();
  return {};
}

bool anythingMountedUnder(const fs::path& folder) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line))
    if (line.find(folder.string()) != std::string::npos) return true;
  return false;
}

TEST_F(TessaronProcess,
       ASealedArchiveKilledAtRandomMomentsKeepsWholeRecordsInCiphertextAndLeavesNothingMounted) {
  fs::remove(home / "config" / "tessaron" / "settings.json");  // sealed, as on a fresh machine
  const fs::path busy = scenario("busy", busyScenario());
  const auto seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment(0, 1500);
  for (int run = 0; run < 4; ++run) {
    Child& app = start(busy, "run" + std::to_string(run));
    ASSERT_TRUE(eventually([&] { return app.errHas("Metadata saved at: "); }, 60s)) << app.err();
    EXPECT_TRUE(app.errHas(run == 0 ? "A sealed archive was made; its recovery key was shown once."
                                    : "The sealed archive is open."))
        << app.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    app.signal(SIGKILL);
    app.waitExit();
    EXPECT_TRUE(eventually([&] { return !anythingMountedUnder(home); }, 30s))
        << "the plain view outlived the killed program (seed " << seed << ")";
  }
  Child& next = start(scenario("quiet", granted), "next");
  ASSERT_TRUE(eventually([&] { return next.errHas("Start Screen Capturing from logger"); })) << next.err();
  const fs::path open = openFolderIn(home / "runtime");
  ASSERT_FALSE(open.empty());
  const std::size_t records = countWholeRecords(open / "AppData", seed);
  EXPECT_GE(records, 4U);
  next.signal(SIGTERM);
  EXPECT_EQ(next.waitExit(), 0);
  EXPECT_TRUE(eventually([&] { return !anythingMountedUnder(home); }, 30s));

  // Nothing of it in plain form anywhere under the home: not the address, not a title, not a day's name.
  EXPECT_TRUE(!fs::exists(dataFolder()) || fs::is_empty(dataFolder())) << "a plain record";
  for (const auto& entry : fs::recursive_directory_iterator(home)) {
    if (entry.path().filename() == "busy.json" || !entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* plain : {"busy.example", "Busy"})
      EXPECT_EQ(bytes.find(plain), std::string::npos) << entry.path() << " holds " << plain;
  }
}

}  // namespace
}  // namespace tessaron
