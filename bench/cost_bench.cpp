// What the archive costs in room for a stretch of real reading: Chromium and Firefox on a private X11 desktop
// browse the Python documentation (Debian's python3-doc), each taking a new page or scrolling every few
// seconds, while the real tessaron records them; then the archive is measured: bytes per record (screenshot
// and text apart), records per hour and bytes per hour of browsing, per browser and in all.
//
// Beside it, the peer of today's screenshot encoder (libdeflate level 1, Up-filtered rows): every screenshot
// the run saved, encoded again at the other levels, with bytes and milliseconds per record as ratios to
// today's, each file checked to decode to the same pixels.
//
// Usage: bench_cost <work folder> [minutes, default 20] [seconds between steps, default 4]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "archive/forgetting.h"
#include "archive/layout.h"
#include "archive/record_file.h"
#include "archive/room.h"
#include "imagehash/os_image_hashing.h"
#include "imagehash/png.h"
#include "tests/desktop_session.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;
using tessaron::testing::DesktopSession;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The documentation's pages in a fixed order: the library reference, the tutorial, the language reference and
// the how-tos, each with its title.
struct DocPage {
  fs::path file;
  std::string title;
};
std::vector<DocPage> documentationPages() {
  fs::path root;
  for (const char* candidate : {"/usr/share/doc/python3-doc/html", "/usr/share/doc/python3/html"})
    if (fs::is_regular_file(fs::path(candidate) / "library/index.html")) root = fs::canonical(candidate);
  std::vector<DocPage> pages;
  if (root.empty()) return pages;
  const std::regex titlePattern("<title>([^<]*)</title>");
  for (const char* part : {"library", "tutorial", "reference", "howto"}) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(root / part))
      if (entry.path().extension() == ".html") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      std::smatch found;
      const std::string html = readFile(file);
      if (std::regex_search(html, found, titlePattern)) pages.push_back({file, found[1].str()});
    }
  }
  return pages;
}

struct Tally {
  std::size_t records = 0;
  std::uintmax_t screenshotBytes = 0, textBytes = 0;
};

double perRecord(std::uintmax_t bytes, std::size_t records) {
  return records ? static_cast<double>(bytes) / static_cast<double>(records) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_cost <work folder> [minutes] [seconds between steps]\n");
    return 2;
  }
  const fs::path work = fs::absolute(argv[1]);
  const double minutes = argc > 2 ? std::stod(argv[2]) : 20;
  const double stepSeconds = argc > 3 ? std::stod(argv[3]) : 4;
  const std::vector<DocPage> pages = documentationPages();
  if (pages.size() < 50) {
    std::fprintf(stderr, "bench_cost: the Python documentation is not installed (scripts/setup --bench)\n");
    return 1;
  }

  std::map<std::string, Tally> byBrowser;
  Tally all;
  fs::path archive;
  double hours = 0;
  {
    DesktopSession session(work / "session");
    // Plain files, so that what is measured is the screenshots' and texts' own size.
    fs::create_directories(session.home() / ".config/tessaron");
    std::ofstream(session.home() / ".config/tessaron/settings.json") << R"({"encryptArchive": false})";
    archive = session.home() / ".local/share/tessaron/AppData";
    struct Browser {
      const char* name;
      const char* windowClass;
      std::size_t nextPage;
      std::size_t steps = 0;
    };
    std::vector<Browser> browsers = {{"Chromium", "chromium", 0}, {"Firefox", "firefox", pages.size() / 2}};
    session.startChromium("file://" + pages[0].file.string(), pages[0].title.substr(0, 12));
    const DocPage& firefoxFirst = pages[pages.size() / 2];
    session.startFirefox("file://" + firefoxFirst.file.string(), firefoxFirst.title.substr(0, 12));
    const pid_t tessaron = session.startTessaron("tessaron", {{"TESSARON_PLATFORM", "x11"}});
    std::fprintf(stderr, "browsing %zu pages for %.0f minutes, a step every %.0f s\n", pages.size(), minutes,
                 stepSeconds);

    const auto start = steady_clock::now();
    const auto end = start + duration_cast<steady_clock::duration>(duration<double, std::ratio<60>>(minutes));
    std::size_t step = 0, failedSteps = 0;
    while (steady_clock::now() < end) {
      Browser& browser = browsers[step % browsers.size()];
      // The window is raised and focused first; the keys then go as a person's do (xdotool sends keys meant
      // for a named window as synthetic events, which browsers ignore).
      std::vector<std::vector<std::string>> commands = {
          {"xdotool", "search", "--onlyvisible", "--class", browser.windowClass, "windowactivate", "--sync"}};
      // A new page every third step of a browser, two screens of scrolling between.
      if (browser.steps++ % 3 == 0) {
        browser.nextPage = (browser.nextPage + 1) % pages.size();
        commands.push_back({"xdotool", "key", "--clearmodifiers", "ctrl+l"});
        commands.push_back(
            {"xdotool", "type", "--delay", "2", "file://" + pages[browser.nextPage].file.string()});
        commands.push_back({"xdotool", "key", "Return"});
      } else {
        commands.push_back({"xdotool", "key", "--clearmodifiers", "Page_Down", "Page_Down"});
      }
      for (const auto& command : commands)
        if (const int status = session.run("xdotool", command, 15s); status != 0 && ++failedSteps <= 3)
          std::fprintf(stderr, "a step in %s failed (%d): %s\n", browser.name, status,
                       session.log("xdotool").c_str());
      ++step;
      std::this_thread::sleep_until(start + duration_cast<steady_clock::duration>(
                                                duration<double>(stepSeconds * static_cast<double>(step))));
    }
    hours = duration<double, std::ratio<3600>>(steady_clock::now() - start).count();
    session.stop(tessaron, 10s);

    for (const std::string& day : tessaron::archive::dayFolders(archive))
      for (const auto& record : tessaron::archive::storedRecords(archive / day)) {
        Tally one;
        one.records = 1;
        std::string browser = "other";
        for (const fs::path& file : record.files) {
          const auto size = fs::file_size(file);
          if (file.extension() == tessaron::archive::screenshotExtension) one.screenshotBytes += size;
          if (file.extension() == tessaron::archive::textExtension) {
            one.textBytes += size;
            const auto parsed = tessaron::archive::parseRecord(readFile(file));
            if (parsed && parsed->title.find("Chromium") != std::string::npos) browser = "Chromium";
            if (parsed && parsed->title.find("Firefox") != std::string::npos) browser = "Firefox";
          }
        }
        for (Tally* tally : {&byBrowser[browser], &all}) {
          tally->records += one.records;
          tally->screenshotBytes += one.screenshotBytes;
          tally->textBytes += one.textBytes;
        }
      }
  }

  const std::uintmax_t onDisk = tessaron::archive::diskBytes(archive);
  std::printf("the archive's cost over %.2f hours of reading in two browsers (Python documentation, X11):\n",
              hours);
  for (const auto& [name, tally] : byBrowser)
    std::printf("  %-9s %5zu records  %7.1f records/hour  screenshot %8.0f B/record  text %7.0f B/record\n",
                name.c_str(), tally.records, static_cast<double>(tally.records) / hours,
                perRecord(tally.screenshotBytes, tally.records), perRecord(tally.textBytes, tally.records));
  std::printf(
      "  in all    %5zu records  %7.1f records/hour  %8.0f B/record  %.1f MB/hour on the disk  "
      "(%.0f MB for an 8-hour day)\n\n",
      all.records, static_cast<double>(all.records) / hours,
      perRecord(all.screenshotBytes + all.textBytes, all.records), static_cast<double>(onDisk) / 1e6 / hours,
      static_cast<double>(onDisk) / 1e6 / hours * 8);

  // Every screenshot of the run, encoded again at each level, against today's.
  std::vector<OSImage> shots;
  for (const std::string& day : tessaron::archive::dayFolders(archive))
    for (const auto& entry : fs::directory_iterator(archive / day))
      if (entry.path().extension() == tessaron::archive::screenshotExtension) {
        const std::string bytes = readFile(entry.path());
        if (auto image = OSImageFromData(OSData(bytes.begin(), bytes.end())))
          shots.push_back(std::move(*image));
      }
  if (shots.empty()) {
    std::printf("no screenshot was saved: nothing to encode\n");
    return 1;
  }
  std::printf(
      "the run's %zu screenshots encoded again (Up-filtered rows, libdeflate; each decodes to the same "
      "pixels):\n",
      shots.size());
  // Each level is timed over all screenshots three times, the best kept, after one warm pass of every level
  // (each has compressor tables to make on first use).
  const std::vector<int> levels = {osimagehashing::screenshotPngLevel, 2, 3, 4, 6, 9, 12};
  auto encodeAll = [&](int level, std::uintmax_t& bytes) {
    bytes = 0;
    const auto begun = steady_clock::now();
    for (const auto& shot : shots)
      bytes +=
          osimagehashing::encodePng(shot.width(), shot.height(), shot.stride(), shot.pixels().data(), level)
              .size();
    return duration<double, std::milli>(steady_clock::now() - begun).count() /
           static_cast<double>(shots.size());
  };
  for (const int level : levels) {
    const auto png = osimagehashing::encodePng(shots.front().width(), shots.front().height(),
                                               shots.front().stride(), shots.front().pixels().data(), level);
    const auto decoded = OSImageFromData(OSData(png.begin(), png.end()));
    if (!decoded || decoded->pixels() != shots.front().pixels()) {
      std::printf("  level %d: MISMATCH, the file does not decode to the same pixels\n", level);
      return 1;
    }
  }
  double todayBytes = 0, todayMs = 0;
  for (const int level : levels) {
    std::uintmax_t bytes = 0;
    double ms = encodeAll(level, bytes);
    for (int round = 1; round < 3; ++round)
      ms = std::min(ms, encodeAll(level, bytes));
    const double perShot = static_cast<double>(bytes) / static_cast<double>(shots.size());
    if (level == osimagehashing::screenshotPngLevel) todayBytes = perShot, todayMs = ms;
    std::printf("  level %2d%s %9.0f B/record (%.3fx today's)  %7.2f ms/record (%.2fx today's)\n", level,
                level == osimagehashing::screenshotPngLevel ? " (today)" : "        ", perShot,
                perShot / todayBytes, ms, ms / todayMs);
  }
  return 0;
}
