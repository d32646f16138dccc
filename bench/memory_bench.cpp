// What a month without a restart costs the capture engine's memory: a simulated month of reading (days of new
// pages across a few hundred sites, each page seen three times: new, again unchanged in words, and later with
// a few new words), every visit a whole capture pass of the engine over a browser window on the simulated
// desktop (its window list, page tree, screenshot, duplicate filter and a real record of PNG and text), its
// clock moved on between passes so that the month's days pass. Reported: the process's resident memory after
// the first day and after the last.
//
// Side by side, in a process of its own over the same month's pages: the peer, every address kept with a
// hash set of all its words for the whole run (how the engine kept them before it was bounded).
//
// Then the search server over the archive the month left (every record a whole record file): its resident
// memory once it has indexed everything, and its peak.
//
// Usage: bench_memory <work folder> [days, default 30] [new pages a day, default 800]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/record_file.h"
#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "platform/sim/ax_tree.h"
#include "platform/sim/sim_desktop.h"
#include "tests/process_harness.h"

namespace {

namespace fs = std::filesystem;

// A process's resident memory ("VmRSS") or its peak ("VmHWM"), in bytes.
std::size_t memoryOf(const std::string& process, const char* field = "VmRSS:") {
  std::ifstream status("/proc/" + process + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stoul(line.substr(std::strlen(field))) * 1024;
  return 0;
}
std::size_t residentBytes() {
  return memoryOf("self");
}

// Page texts as people read them: about 1,500 words each, drawn from a vocabulary of 50,000 by a Zipf-like
// law (a few words everywhere, most rare), so that pages share their common words and differ in the rest.
class Pages {
 public:
  explicit Pages(std::uint32_t seed) : random_(seed) {
    for (std::size_t i = 0; i < 50000; ++i)
      vocabulary_.push_back("w" + std::to_string(i * 7919 % 104729));
  }
  std::string page(std::size_t words) {
    std::string text;
    for (std::size_t i = 0; i < words; ++i) {
      const double u = std::uniform_real_distribution<double>(0, 1)(random_);
      const auto rank = static_cast<std::size_t>(std::pow(static_cast<double>(vocabulary_.size()), u)) - 1;
      text += vocabulary_[std::min(rank, vocabulary_.size() - 1)];
      text += ' ';
    }
    return text;
  }

 private:
  std::mt19937 random_;
  std::vector<std::string> vocabulary_;
};

// The engine's log lines go nowhere during the month: kept, they would be memory of the bench's own.
class Discarded final : public tessaron::log::Sink {
 public:
  void write(const tessaron::log::Message&) override {}
};

struct Month {
  std::size_t days, pagesPerDay;
};

// Runs the month's visits through `visit(address, title, text)`, the days' ends through `dayEnds()`; the
// resident memory after the first day and after the last.
template <class Visit, class DayEnds>
std::pair<std::size_t, std::size_t> runMonth(const Month& month, Visit&& visit, DayEnds&& dayEnds) {
  Pages pages(7);
  std::size_t afterFirstDay = 0;
  for (std::size_t day = 0; day < month.days; ++day) {
    for (std::size_t i = 0; i < month.pagesPerDay; ++i) {
      const std::size_t n = day * month.pagesPerDay + i;
      const std::string address =
          "https://site" + std::to_string(n % 300) + ".example/article/" + std::to_string(n);
      const std::string text = pages.page(1500);
      // The first visit, a revisit of the same words, and one a while later with new comments.
      std::string comment;  // words no page had before (words with digits are no news to the engine)
      for (std::size_t rest = n + 1; rest > 0; rest /= 26)
        comment += static_cast<char>('a' + rest % 26);
      for (const std::string& shown : {text, text, text + " replyq" + comment + " thanksq" + comment})
        visit(address, "Article " + std::to_string(n), shown);
    }
    dayEnds();
    if (day == 0) afterFirstDay = residentBytes();
  }
  return {afterFirstDay, residentBytes()};
}

// A Chromium window on the simulated desktop whose page is set before each pass.
class BrowserWindow {
 public:
  explicit BrowserWindow(tessaron::platform::sim::Desktop& desktop) : desktop_(desktop) {
    tessaron::platform::sim::Window window{
        .number = 7, .title = "Start", .frame = {0, 0, 320, 200}, .application = "Chromium"};
    window.processId = 100;
    desktop_.addWindow(window);
  }
  // A page whose screenshot differs from the last one, so that every pass saves a record.
  void show(const std::string& address, const std::string& title, const std::string& text) {
    using namespace tessaron::platform::sim;
    AXApplication app;
    TreeBuilder tree{*app.tree};
    auto page = tree.webArea(title, Value(Url{address}), {tree.staticText(text)});
    auto frame = tree.window({0, 0, 320, 200}, {page});
    app.root = tree.node({{"AXRole", std::string("AXApplication")}});
    app.tree->node(app.root).elementLists["AXWindows"] = {frame};
    desktop_.setApplication(100, app);
    Window& window = *desktop_.window(7);
    window.title = title;
    ++shown_;
    window.image = ImageSource::fromPattern(shown_ % 2 ? "noise" : "checker", shown_);
  }

 private:
  tessaron::platform::sim::Desktop& desktop_;
  std::uint32_t shown_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_memory <work folder> [days] [new pages a day]\n");
    return 2;
  }
  const fs::path work = fs::absolute(argv[1]);
  const Month month{argc > 2 ? std::stoul(argv[2]) : 30, argc > 3 ? std::stoul(argv[3]) : 800};
  fs::remove_all(work);

  // The peer in a child of its own, so that neither run's memory counts in the other's.
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return 1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::unordered_map<std::string, std::unordered_set<std::uint64_t>> kept;
    const std::hash<std::string_view> hash;
    const auto [first, last] = runMonth(
        month,
        [&](const std::string& address, const std::string&, const std::string& text) {
          auto& words = kept[address];
          for (std::string_view word : tessaron::archive::splitWords(text))
            if (words.size() < 100000) words.insert(hash(word));
        },
        [] {});
    const std::size_t both[2] = {first, last};
    if (::write(pipeFds[1], both, sizeof both) != sizeof both) ::_exit(1);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::size_t peer[2] = {0, 0};
  const bool peerRead = ::read(pipeFds[0], peer, sizeof peer) == sizeof peer;
  ::close(pipeFds[0]);
  ::waitpid(child, nullptr, 0);

  tessaron::platform::sim::ClockSettings clock;
  clock.speed = 0;
  auto desktop = std::make_shared<tessaron::platform::sim::Desktop>(clock);
  tessaron::platform::ScopedPlatform scoped(desktop->platform());
  const fs::path archive = work / "archive", settings = work / "settings.json";
  fs::create_directories(archive);
  std::ofstream(settings) << R"({"encryptArchive": false})";
  tessaron::Engine engine(tessaron::EngineSources{.platform = nullptr,
                                                  .dataFolder = [&] { return std::optional(archive); },
                                                  .settingsFile = [&] { return std::optional(settings); }});
  BrowserWindow window(*desktop);
  tessaron::log::setSink(std::make_shared<Discarded>());
  // Each saved record's word count goes to standard output: away with it until the report.
  std::fflush(stdout);
  const int reportTo = ::dup(STDOUT_FILENO);
  const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (reportTo < 0 || nowhere < 0 || ::dup2(nowhere, STDOUT_FILENO) < 0) return 1;
  ::close(nowhere);
  // The day's passes spread over its 24 hours.
  const auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::hours(24)) /
                    static_cast<std::int64_t>(3 * month.pagesPerDay);
  const auto dayStart = desktop->elapsed();
  std::size_t passes = 0, day = 0;
  const auto began = std::chrono::steady_clock::now();
  const auto [first, last] = runMonth(
      month,
      [&](const std::string& address, const std::string& title, const std::string& text) {
        window.show(address, title, text);
        tessaron::capturePass(engine);
        desktop->advance(step);
        ++passes;
      },
      [&] {
        const auto dayEnd = dayStart + std::chrono::hours(24) * static_cast<std::int64_t>(++day);
        if (desktop->elapsed() < dayEnd) desktop->advance(dayEnd - desktop->elapsed());
      });
  const double passSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::fflush(stdout);
  ::dup2(reportTo, STDOUT_FILENO);
  ::close(reportTo);
  std::size_t records = 0;
  for (const auto& entry : fs::recursive_directory_iterator(archive))
    records += entry.path().extension() == ".txt" ? 1 : 0;

  // The search server over what the month saved, once every record is searchable.
  std::size_t serverResident = 0, serverPeak = 0;
  double indexingSeconds = 0;
  {
    tessaron::testing::Child server({TESSARON_SERVER_PATH, "--appdata=" + archive.string()},
                                    {{"XDG_CACHE_HOME", (work / "cache").string()}}, work, "server");
    const std::string indexed = "indexed " + std::to_string(records);
    const auto begun = std::chrono::steady_clock::now();
    if (tessaron::testing::eventually([&] { return server.errHas(indexed); }, std::chrono::minutes(30))) {
      indexingSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
      std::this_thread::sleep_for(std::chrono::seconds(5));  // what indexing let go is given back
      serverResident = memoryOf(std::to_string(server.pid()));
      serverPeak = memoryOf(std::to_string(server.pid()), "VmHWM:");
    } else {
      std::fprintf(stderr, "the server did not index the month:\n%s\n", server.err().c_str());
    }
  }
  fs::remove_all(work);

  const double mb = 1e6;
  std::printf(
      "memory over %zu days of %zu new pages (each seen three times; %zu addresses), %zu capture passes on "
      "the "
      "simulated desktop in %.0f s, %zu records saved:\n",
      month.days, month.pagesPerDay, month.days * month.pagesPerDay, passes, passSeconds, records);
  std::printf("  engine: %.1f MB after the first day, %.1f MB after the last: %+.1f MB\n",
              static_cast<double>(first) / mb, static_cast<double>(last) / mb,
              (static_cast<double>(last) - static_cast<double>(first)) / mb);
  if (peerRead)
    std::printf(
        "  peer (every address's words kept): %.1f MB after the first day, %.1f MB after the last: "
        "%+.1f MB  (%.1fx the engine's growth)\n",
        static_cast<double>(peer[0]) / mb, static_cast<double>(peer[1]) / mb,
        (static_cast<double>(peer[1]) - static_cast<double>(peer[0])) / mb,
        (static_cast<double>(peer[1]) - static_cast<double>(peer[0])) /
            std::max(1.0, static_cast<double>(last) - static_cast<double>(first)));
  if (serverResident)
    std::printf(
        "  search server over the month's %zu records: %.1f MB resident once all were indexed (%.0f s), "
        "%.1f MB at its peak\n",
        records, static_cast<double>(serverResident) / mb, indexingSeconds,
        static_cast<double>(serverPeak) / mb);
  return 0;
}
