#include "platform/browsers.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "platform/windows.h"

extern char** environ;

namespace tessaron::platform {
namespace {

namespace fs = std::filesystem;

TEST(Browsers, EveryBrowserIsKnownByEachOfItsNamesAndNoNameBelongsToTwo) {
  std::map<std::string, std::string_view> owner;
  for (const auto& browser : knownBrowsers()) {
    SCOPED_TRACE(std::string(browser.name));
    EXPECT_FALSE(browser.accessibleNames.empty());
    for (const auto* identifiers :
         {&browser.accessibleNames, &browser.windowClasses, &browser.executables, &browser.sandboxIds})
      for (const auto identifier : *identifiers) {
        EXPECT_EQ(browserNamed(identifier), &browser) << identifier;
        const auto [it, added] = owner.try_emplace(std::string(identifier), browser.name);
        EXPECT_TRUE(added || it->second == browser.name) << identifier << " is also " << it->second;
      }
    EXPECT_EQ(browser.privateWindows == PrivateWindows::processFlag, !browser.privateFlags.empty());
  }
  EXPECT_EQ(browserNamed("Google-chrome"), browserNamed("google chrome")) << "X11 class, any case";
  EXPECT_EQ(browserNamed("Brave Browser")->family, BrowserFamily::chromium);
  EXPECT_EQ(browserNamed("org.gnome.Epiphany")->family, BrowserFamily::webKitGtk);
  EXPECT_EQ(browserNamed("firefox-esr")->family, BrowserFamily::firefox);
  for (const char* other : {"xterm", "TextEdit", "", "chrom", "Firefox Private Browsing"})
    EXPECT_EQ(browserNamed(other), nullptr) << other;
}

TEST(Browsers, EachFamilyTellsItsPrivateWindowsItsOwnWay) {
  const Rect frame{0, 0, 800, 600};
  auto noFrames = [] { return std::optional<std::vector<AccessibleFrame>>{}; };
  auto arguments = [](std::vector<std::string> list) { return [list] { return std::optional(list); }; };
  auto unreadable = [] { return std::optional<std::vector<std::string>>{}; };
  const std::string title = "Tide tables - Brave";
  EXPECT_EQ(
      browsingPrivacy("Brave Browser", title, frame,
                      [&] {
                        return std::optional(std::vector<AccessibleFrame>{{title + " (Private)", frame}});
                      }),
      WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("LibreWolf", "Notes \xE2\x80\x94 LibreWolf Private Browsing", frame, noFrames),
            WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("Epiphany", "Notes", frame, noFrames, arguments({"--incognito-mode"})),
            WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("Epiphany", "Notes", frame, noFrames, arguments({"https://example.org/"})),
            WindowPrivacy::ordinary);
  EXPECT_EQ(browsingPrivacy("Epiphany", "Notes", frame, noFrames, unreadable), WindowPrivacy::undetermined)
      << "in doubt, private";
  EXPECT_EQ(browsingPrivacy("falkon", "Notes", frame, noFrames, arguments({"-i"})),
            WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("qutebrowser", "Notes", frame, noFrames), WindowPrivacy::undetermined);
  EXPECT_EQ(browsingPrivacy("Tor Browser", "Notes", frame, noFrames), WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("Mullvad Browser", "Notes", frame, noFrames), WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("Konqueror", "Notes", frame, noFrames), WindowPrivacy::ordinary);
}

// A real process whose executable carries a browser's file name, with arguments of our choosing.
class NamedProcess {
 public:
  NamedProcess(const fs::path& folder, const std::string& fileName, const std::vector<std::string>& arguments,
               std::vector<std::string> environment = {}) {
    fs::create_directories(folder);
    const fs::path program = folder / fileName;
    // A shell under the browser's name, waiting on a pipe that stays open while it lives: it keeps its
    // arguments as given and leaves no child behind.
    fs::copy_file("/bin/sh", program, fs::copy_options::overwrite_existing);
    std::vector<std::string> argv{program.string(), "-c", "read line", fileName};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& argument : argv)
      pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    if (::pipe(input_) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input_[0], 0);
    posix_spawn_file_actions_addclose(&actions, input_[1]);
    std::vector<char*> variables;
    for (auto& variable : environment)
      variables.push_back(variable.data());
    variables.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers.data(), variables.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // The spawn may return before the program has taken over the process (it does under the sanitizers):
    // wait, with a deadline, until the process runs it.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
      std::error_code ec;
      const auto running = fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec);
      if (!ec && running.filename() == fileName && processArguments(pid_)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~NamedProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (const int fd : input_)
      if (fd >= 0) ::close(fd);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_[2] = {-1, -1};
};

TEST(Browsers, ARunningProcessIsKnownByItsExecutableAndItsArgumentsAreRead) {
  const fs::path folder = fs::temp_directory_path() / ("tessaron-browsers-" + std::to_string(::getpid()));
  {
    NamedProcess falkon(folder, "falkon", {"--private-browsing"});
    ASSERT_GT(falkon.pid(), 0);
    EXPECT_EQ(browserOfProcess(falkon.pid()), browserNamed("Falkon"));
    const auto arguments = processArguments(falkon.pid());
    ASSERT_TRUE(arguments);
    EXPECT_EQ(*arguments, (std::vector<std::string>{"-c", "read line", "falkon", "--private-browsing"}));
    EXPECT_EQ(browsingPrivacy("Falkon", "Notes", {}, nullptr, [&] { return processArguments(falkon.pid()); }),
              WindowPrivacy::privateBrowsing);
    NamedProcess other(folder, "notabrowser", {});
    EXPECT_EQ(browserOfProcess(other.pid()), nullptr);
  }
  EXPECT_EQ(browserOfProcess(0), nullptr);
  EXPECT_FALSE(processArguments(-1));
  fs::remove_all(folder);
}

TEST(Browsers, AQtWebEngineKeepsItsPagesFromTheBusUnlessItsEnvironmentOffersThem) {
  const fs::path folder = fs::temp_directory_path() / ("tessaron-qtwebengine-" + std::to_string(::getpid()));
  {
    NamedProcess plain(folder / "plain", "falkon", {},
                       {"HOME=/nowhere", "QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=0"});
    NamedProcess offered(folder / "offered", "falkon", {},
                         {"HOME=/nowhere", "QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=1"});
    NamedProcess forced(folder / "forced", "falkon", {},
                        {"QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu --force-renderer-accessibility"});
    ASSERT_GT(plain.pid(), 0);
    EXPECT_TRUE(qtWebEngineHidesPages(plain.pid()));
    EXPECT_FALSE(qtWebEngineHidesPages(offered.pid()));
    EXPECT_FALSE(qtWebEngineHidesPages(forced.pid()));
  }
  EXPECT_FALSE(qtWebEngineHidesPages(-1)) << "what cannot be read is not said to hide anything";
  EXPECT_FALSE(qtWebEngineHidesPages(0));
  fs::remove_all(folder);
}

TEST(Browsers, ThePageTitleIsTheWindowTitleWithoutTheBrowsersSignature) {
  EXPECT_EQ(pageTitleIn("Harbour Notes - Chromium"), "Harbour Notes");
  EXPECT_EQ(pageTitleIn("Orchard \u2014 Mozilla Firefox"), "Orchard");
  EXPECT_EQ(pageTitleIn("Garnet Atlas \u2014 Konqueror"), "Garnet Atlas");
  EXPECT_EQ(pageTitleIn("Rust - Brave"), "Rust");
  EXPECT_EQ(pageTitleIn("Chromium - the browser"), "Chromium - the browser") << "only at the end";
  EXPECT_EQ(pageTitleIn(" - Chromium"), " - Chromium") << "nothing left would be no title";
  EXPECT_EQ(pageTitleIn("Notes - Chromiumish"), "Notes - Chromiumish");
}

}  // namespace
}  // namespace tessaron::platform
