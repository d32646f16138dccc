// The search server under load, as a client would meet it: the real server program on 127.0.0.1:5000 over a
// generated archive, then
//   1. a normal search while 1,000 idle and 8 slow (one header line a second) connections are open;
//   2. a hostile query (one word 255 times, and 30 different common words) and, meanwhile, a rare word from
//      another client;
//   3. `clients` connections searching a query mix for `seconds` seconds: requests/s, p50/p95/p99, errors.
// Usage: bench_server_load FOLDER [RECORDS=50000] [CLIENTS=100] [SECONDS=60]
// Every request goes to loopback; every loop is bounded in count and time.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
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

// Records over a year, with Zipf-like common words and a word of their own each.
void makeArchive(const fs::path& archive, int records) {
  std::mt19937 random(42);
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 20000; ++i)
    vocabulary.push_back("w" + std::to_string(i));
  vocabulary[0] = "the";
  for (int i = 0; i < records; ++i) {
    const int dayOfYear = i * 365 / records;
    const auto day = std::chrono::sys_days{std::chrono::year{2024} / 1 / 1} + std::chrono::days(dayOfYear);
    const std::chrono::year_month_day date{day};
    char folder[16], stamp[32];
    std::snprintf(folder, sizeof folder, "%04d%02u%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    std::snprintf(stamp, sizeof stamp, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), i / 3600 % 24,
                  i / 60 % 60, i % 60);
    std::string body = "rare" + std::to_string(i);
    const int words = i % 3 == 0 ? 150 + static_cast<int>(random() % 500) : 2;
    for (int w = 0; w < words; ++w) {
      const double u = std::uniform_real_distribution<double>(0, 1)(random);
      body += " " + vocabulary[static_cast<std::size_t>(std::pow(20000.0, u)) - 1];
    }
    fs::create_directories(archive / folder);
    std::ofstream(archive / folder / (std::string(stamp) + ".txt")) << tessaron::archive::recordText(
        "https://site" + std::to_string(i % 2000) + ".example/page" + std::to_string(i),
        std::string(folder) + "/" + stamp, stamp, "Page " + std::to_string(i), body);
  }
}

// Processor seconds the process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Milliseconds of one search from a fresh client, or -1 on failure.
double timedSearch(const std::string& path) {
  httplib::Client client("127.0.0.1", 5000);
  client.set_read_timeout(120, 0);
  const auto started = Clock::now();
  auto answer = client.Get(path);
  return answer && answer->status == 200 ? ms(Clock::now() - started) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_server_load FOLDER [RECORDS] [CLIENTS] [SECONDS]\n");
    return 2;
  }
  const fs::path folder = argv[1];
  const int records = argc > 2 ? std::atoi(argv[2]) : 50000;
  const int clients = argc > 3 ? std::atoi(argv[3]) : 100;
  const int seconds = argc > 4 ? std::atoi(argv[4]) : 60;
  signal(SIGPIPE, SIG_IGN);
  const fs::path archive = folder / "AppData";
  if (!fs::exists(archive / ".complete")) {
    fs::remove_all(folder);
    std::fprintf(stderr, "making %d records...\n", records);
    makeArchive(archive, records);
    std::ofstream(archive / ".complete") << records;
  }

  tessaron::testing::Child server({TESSARON_SERVER_PATH, "--appdata=" + archive.string()},
                                  {{"XDG_CACHE_HOME", (folder / "cache").string()}}, folder, "server");
  const pid_t pid = server.pid();
  if (pid <= 0) return 1;
  // Ready once every record is searchable.
  const auto indexing = Clock::now();
  while (Clock::now() - indexing < 600s) {
    httplib::Client client("127.0.0.1", 5000);
    auto answer = client.Get("/api/search?q=rare" + std::to_string(records - 1));
    if (answer && answer->status == 200 && answer->body.find("\"total\":1") != std::string::npos) break;
    std::this_thread::sleep_for(200ms);
  }
  std::printf("server ready over %d records after %.1f s\n", records, ms(Clock::now() - indexing) / 1000);

  // 1. Idle and slow connections beside a normal search.
  {
    std::vector<int> open;
    for (int i = 0; i < 1000; ++i)
      if (int fd = tessaron::testing::connectToLoopback(5000); fd >= 0) open.push_back(fd);
    std::vector<int> slow;
    for (int i = 0; i < 8; ++i)
      if (int fd = tessaron::testing::connectToLoopback(5000); fd >= 0) {
        ::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        slow.push_back(fd);
      }
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
      for (int fd : slow)
        ::send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
      times.push_back(timedSearch("/api/search?q=rare" + std::to_string(i * 97)));
      std::this_thread::sleep_for(100ms);
    }
    std::printf("normal search beside %zu idle and %zu slow connections: p50 %.1f ms, max %.1f ms\n",
                open.size(), slow.size(), percentile(times, 0.5), percentile(times, 1.0));
    for (int fd : open)
      ::close(fd);
    for (int fd : slow)
      ::close(fd);
  }

  // 2. Hostile queries, and a rare word from another client meanwhile.
  // (Spaces as %20: the client would send a "+" as the character itself.)
  auto repeated = [](const std::string& word, int times, bool phrase) {
    std::string q = phrase ? "%22" : "";
    for (int i = 0; i < times; ++i)
      q += (i ? "%20" : "") + word;
    return q + (phrase ? "%22" : "");
  };
  std::string wide = "/?order=relevance&q=";
  for (int i = 1; i <= 30; ++i)
    wide += (i > 1 ? "%20w" : "w") + std::to_string(i);
  for (const std::string& hostile :
       {"/?q=" + repeated("the", 255, false), "/?q=" + repeated("the", 255, true), wide}) {
    std::atomic<bool> done{false};
    double hostileTime = 0;
    std::thread attacker([&] {
      hostileTime = timedSearch(hostile);
      done = true;
    });
    std::vector<double> others;
    while (!done && others.size() < 200)
      others.push_back(timedSearch("/api/search?q=rare" + std::to_string(others.size() * 31)));
    attacker.join();
    std::printf(
        "hostile query (%s...): %.0f ms; a rare word meanwhile: p50 %.1f ms, max %.1f ms (%zu searches)\n",
        hostile.substr(0, 30).c_str(), hostileTime, percentile(others, 0.5), percentile(others, 1.0),
        others.size());
  }

  // 3. Load: `clients` keep-alive connections, a query mix, for `seconds` seconds.
  {
    const std::vector<std::string> mix = {"/api/search?q=the",
                                          "/api/search?q=w3+w7",
                                          "/api/search?q=%22w1+w2%22",
                                          "/?q=w5&order=relevance",
                                          "/api/search?q=w11&site=site7.example",
                                          "/api/search?q=rare"};
    std::atomic<long> errors{0};
    const double cpuBefore = cpuSeconds(pid);
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&, c] {
        httplib::Client client("127.0.0.1", 5000);
        client.set_keep_alive(true);
        client.set_read_timeout(30, 0);
        for (long i = 0; Clock::now() < end && i < 1000000; ++i) {
          std::string path = mix[static_cast<std::size_t>(i + c) % mix.size()];
          if (path.ends_with("rare")) path += std::to_string((i * 131 + c) % records);
          const auto started = Clock::now();
          auto answer = client.Get(path);
          if (!answer || answer->status != 200)
            ++errors;
          else
            latencies[static_cast<std::size_t>(c)].push_back(ms(Clock::now() - started));
        }
      });
    for (auto& thread : threads)
      thread.join();
    std::vector<double> all;
    for (const auto& l : latencies)
      all.insert(all.end(), l.begin(), l.end());
    std::printf(
        "%d connections for %d s: %.0f requests/s, p50 %.1f ms, p95 %.1f ms, p99 %.1f ms, max %.1f ms, "
        "%ld errors; the server used %.2f of the %u cores it shares with this client\n",
        clients, seconds, static_cast<double>(all.size()) / seconds, percentile(all, 0.5),
        percentile(all, 0.95), percentile(all, 0.99), percentile(all, 1.0), errors.load(),
        (cpuSeconds(pid) - cpuBefore) / seconds, std::thread::hardware_concurrency());
  }
  server.signal(SIGTERM);
  return server.waitExit() == 0 ? 0 : 1;
}
