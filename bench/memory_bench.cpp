// What a month without a restart costs the capture engine's memory of visited pages: a simulated month of
// reading (days of new pages across a few hundred sites, each page recorded on its first visit and seen again
// later with a few new words, every record a real file), through the engine's own record-words step, with the
// process's resident memory after the first day and after the last.
//
// Side by side, in a process of its own over the same month: the peer, every address kept with a hash set of
// all its words for the whole run (how the engine kept them before it was bounded).
//
// Then the search server over the archive the month left (every record a whole record file): its resident
// memory once it has indexed everything, and its peak.
//
// Usage: bench_memory <work folder> [days, default 30] [new pages a day, default 800]
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

#include "archive/layout.h"
#include "archive/record_file.h"
#include "capture/capture.h"
#include "capture/engine.h"
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

struct Month {
  std::size_t days, pagesPerDay;
};

// Runs the month through `record(address, text, file)`; the resident memory after the first and last day.
template <class Record>
std::pair<std::size_t, std::size_t> runMonth(const Month& month, const fs::path& folder, Record&& record) {
  Pages pages(7);
  std::size_t afterFirstDay = 0, recordNumber = 0;
  for (std::size_t day = 0; day < month.days; ++day) {
    const std::string dayName = tessaron::archive::dayName(2024, 3, static_cast<unsigned>(day % 28 + 1));
    const fs::path dayFolder = folder / dayName;
    fs::create_directories(dayFolder);
    for (std::size_t i = 0; i < month.pagesPerDay; ++i) {
      const std::size_t n = day * month.pagesPerDay + i;
      const std::string address =
          "https://site" + std::to_string(n % 300) + ".example/article/" + std::to_string(n);
      const std::string text = pages.page(1500);
      // The first visit, a revisit of the same words, and one a while later with new comments.
      std::string comment;  // words no page had before (words with digits are no news to the engine)
      for (std::size_t rest = n + 1; rest > 0; rest /= 26)
        comment += static_cast<char>('a' + rest % 26);
      for (const std::string& shown : {text, text, text + " replyq" + comment + " thanksq" + comment}) {
        const auto stamp = tessaron::archive::formatStamp(
            std::chrono::sys_days{std::chrono::year{2024} / 3 / 1} + std::chrono::seconds(recordNumber++));
        const fs::path file = dayFolder / (stamp + ".txt");
        std::ofstream(file) << tessaron::archive::recordText(address, dayName + "/" + stamp, stamp,
                                                             "Article " + std::to_string(n), shown);
        record(address, shown, file);
      }
    }
    if (day == 0) afterFirstDay = residentBytes();
  }
  return {afterFirstDay, residentBytes()};
}

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
        month, work / "peer", [&](const std::string& address, const std::string& text, const fs::path&) {
          auto& words = kept[address];
          for (std::string_view word : tessaron::archive::splitWords(text))
            if (words.size() < 100000) words.insert(hash(word));
        });
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
  desktop->applicationSupportOverride = work / "share";
  tessaron::platform::ScopedPlatform scoped(desktop->platform());
  tessaron::Engine engine;
  std::size_t repeats = 0;
  const auto [first, last] = runMonth(
      month, work / "engine", [&](const std::string& address, const std::string& text, const fs::path& file) {
        repeats += tessaron::recordWords(engine, address, text).repeat ? 1 : 0;
        tessaron::noteVisitRecord(engine, address, file);
      });

  // The search server over what the month saved, once every record is searchable.
  std::size_t serverResident = 0, serverPeak = 0;
  double indexingSeconds = 0;
  {
    tessaron::testing::Child server({TESSARON_SERVER_PATH, "--appdata=" + (work / "engine").string()},
                                    {{"XDG_CACHE_HOME", (work / "cache").string()}}, work, "server");
    const std::string indexed = "indexed " + std::to_string(3 * month.days * month.pagesPerDay);
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
      "memory of visited pages over %zu days of %zu new pages (each seen three times; %zu addresses):\n",
      month.days, month.pagesPerDay, month.days * month.pagesPerDay);
  std::printf(
      "  engine: %.1f MB after the first day, %.1f MB after the last: %+.1f MB  (%zu revisits that "
      "repeated only what was saved)\n",
      static_cast<double>(first) / mb, static_cast<double>(last) / mb,
      (static_cast<double>(last) - static_cast<double>(first)) / mb, repeats);
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
        3 * month.days * month.pagesPerDay, static_cast<double>(serverResident) / mb, indexingSeconds,
        static_cast<double>(serverPeak) / mb);
  return 0;
}
