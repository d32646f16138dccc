// The pages of the real search server over a busy day: 2,000 records of one day, each with a 1920x1080
// screenshot from the corpus. Measured over HTTP on loopback:
//   - the first thumbnail of a 1920x1080 screenshot (made, then kept) and the same one again (from the
//   cache);
//   - the timeline of the day once every thumbnail is kept (goal under 100 ms), p50 and p95 of 20;
//   - what a results page of 20 entries weighs with its pictures (goal under 300 KB), beside the same 20
//     entries shown as full screenshots.
// Usage: bench_timeline FOLDER CORPUS_FOLDER
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "archive/record_file.h"
#include "bench/bench_support.h"
#include "tests/process_harness.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using bench::percentile;

double ms(Clock::duration d) {
  return bench::milliseconds(d);
}

httplib::Result get(const std::string& path) {
  httplib::Client client("127.0.0.1", 5000);
  client.set_read_timeout(60s);
  return client.Get(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_timeline FOLDER CORPUS_FOLDER\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const fs::path folder = argv[1];
  std::vector<fs::path> screenshots;
  for (const auto& entry : fs::directory_iterator(argv[2]))
    if (entry.path().filename().string().find("1920x1080") != std::string::npos)
      screenshots.push_back(entry.path());
  std::sort(screenshots.begin(), screenshots.end());
  if (screenshots.empty()) {
    std::fprintf(stderr, "bench_timeline: no 1920x1080 screenshots in %s\n", argv[2]);
    return 1;
  }
  fs::remove_all(folder);
  const fs::path day = folder / "AppData" / "20240301";
  fs::create_directories(day);
  // 2,000 records from 07:00 on, one every 20 s; 300 pages, each read several times.
  for (int n = 0; n < 2000; ++n) {
    const int seconds = 7 * 3600 + n * 20;
    char stem[32];
    std::snprintf(stem, sizeof stem, "2024-03-01T%02d:%02d:%02dZ", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    const std::string page = std::to_string(n % 300);
    std::ofstream(day / (std::string(stem) + ".txt")) << tessaron::archive::recordText(
        "https://site" + std::to_string(n % 40) + ".example/page/" + page, std::string("20240301/") + stem,
        stem, "Page " + page + " of a busy day - Chromium",
        "words of page " + page + " busyword and more words");
    fs::copy_file(screenshots[static_cast<std::size_t>(n) % screenshots.size()],
                  day / (std::string(stem) + ".png"));
  }
  tessaron::testing::Child server({TESSARON_SERVER_PATH, "--appdata=" + (folder / "AppData").string()},
                                  {{"XDG_CACHE_HOME", (folder / "cache").string()}, {"TZ", "UTC"}}, folder,
                                  "server");
  const auto start = Clock::now();
  while (Clock::now() - start < 120s) {
    auto answer = get("/api/search?q=busyword");
    if (answer && answer->status == 200 && answer->body.find("\"total\":2000") != std::string::npos) break;
    std::this_thread::sleep_for(200ms);
  }

  auto timed = [](const std::string& path, std::size_t* bytes = nullptr) {
    const auto begin = Clock::now();
    auto answer = get(path);
    const double taken = ms(Clock::now() - begin);
    if (!answer || answer->status != 200) std::fprintf(stderr, "bench_timeline: %s failed\n", path.c_str());
    if (bytes && answer) *bytes = answer->body.size();
    return taken;
  };
  const double first = timed("/thumb/20240301/2024-03-01T07:00:00Z.webp");
  const double again = timed("/thumb/20240301/2024-03-01T07:00:00Z.webp");
  std::printf("first thumbnail of a 1920x1080 screenshot: %.1f ms; from the cache: %.2f ms\n", first, again);

  // Every thumbnail of the day, as a browser scrolling the timeline would ask for them.
  std::size_t pageBytes = 0;
  timed("/timeline?day=2024-03-01", &pageBytes);
  const std::string page = get("/timeline?day=2024-03-01")->body;
  const std::regex thumbnail(R"(src="(/thumb/[^"]+))");
  const auto made = Clock::now();
  std::size_t thumbnails = 0;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), thumbnail); it != std::sregex_iterator();
       ++it) {
    timed((*it)[1].str());
    ++thumbnails;
  }
  std::printf("making the day's %zu thumbnails: %.1f s\n", thumbnails, ms(Clock::now() - made) / 1000);
  std::vector<double> times;
  for (int i = 0; i < 20; ++i)
    times.push_back(timed("/timeline?day=2024-03-01"));
  std::printf(
      "timeline of a day of 2,000 records, thumbnails kept: p50 %.1f ms, p95 %.1f ms (%zu KB of HTML)\n",
      percentile(times, 0.5), percentile(times, 0.95), pageBytes / 1000);

  // A results page of 20 entries with its pictures, and the same entries as full screenshots.
  std::size_t html = 0, style = 0, script = 0;
  timed("/?q=busyword", &html);
  timed("/style.css", &style);
  timed("/app.js", &script);
  const std::string results = get("/?q=busyword")->body;
  std::size_t pictures = 0, full = 0, entries = 0;
  for (auto it = std::sregex_iterator(results.begin(), results.end(), thumbnail);
       it != std::sregex_iterator(); ++it) {
    std::size_t bytes = 0;
    timed((*it)[1].str(), &bytes);
    pictures += bytes;
    std::string shot = (*it)[1].str();
    shot.replace(0, 7, "/shot/");
    shot.replace(shot.size() - 5, 5, ".png");
    timed(shot, &bytes);
    full += bytes;
    ++entries;
  }
  const std::size_t text = html + style + script;
  std::printf(
      "results page of %zu entries: %zu KB with thumbnails (goal < 300 KB), %zu KB with full screenshots "
      "(%.0fx)\n",
      entries, (text + pictures) / 1000, (text + full) / 1000,
      static_cast<double>(text + full) / static_cast<double>(text + pictures));
  return 0;
}
