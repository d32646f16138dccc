// The search index at a million records: indexing rate, query latency (p50, p95) for common words, rare
// words, phrases and site filters, and the process's memory.
//
//   bench_search FOLDER [RECORDS]     (default 1,000,000; the index is built in FOLDER)
//
// Records are generated with realistic sizes: a third are first visits with a few hundred words of page
// text, the rest revisits that keep two words. Words follow a Zipf-like distribution over a 50,000-word
// vocabulary, sites over 2,000 hosts, stamps over two years. A second measurement indexes 20,000 real record
// files through the indexer, reading them from disk.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "searchserver/index.h"
#include "searchserver/indexer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Generator {
  std::mt19937_64 random{2024};
  std::vector<std::string> words;
  std::vector<double> cumulative;
  Generator() {
    const char* syllables[] = {"ka", "lo",  "ri",  "mes", "ta", "vin", "or",  "pel",
                               "su", "dra", "nek", "qui", "zo", "fa",  "bre", "tis"};
    double total = 0;
    for (int i = 0; i < 50000; ++i) {
      std::string word;
      for (int n = i + 1; n > 0; n /= 16)
        word += syllables[n % 16];
      words.push_back(word);
      total += 1.0 / (i + 1);
      cumulative.push_back(total);
    }
    for (double& c : cumulative)
      c /= total;
  }
  const std::string& word() {
    double u = std::uniform_real_distribution<double>(0, 1)(random);
    return words[static_cast<std::size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), u) -
                                          cumulative.begin())];
  }
  tessaron::search::Record record(std::int64_t n) {
    tessaron::search::Record r;
    r.site = "site" + std::to_string(random() % 2000) + ".example";
    r.address = "https://" + r.site + "/page/" + std::to_string(random() % 100000);
    r.time = 1700000000 + static_cast<std::int64_t>(random() % (2 * 365 * 86400));
    char stamp[32];
    std::time_t t = r.time;
    std::tm parts{};
    gmtime_r(&t, &parts);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
    r.stamp = stamp;
    r.recordPath = std::string(stamp).substr(0, 4) + std::string(stamp).substr(5, 2) +
                   std::string(stamp).substr(8, 2) + "/" + stamp + "-" + std::to_string(n);
    for (int i = 0; i < 6; ++i)
      r.title += (i ? " " : "") + word();
    const int bodyWords = n % 3 == 0 ? 150 + static_cast<int>(random() % 500) : 2;
    for (int i = 0; i < bodyWords; ++i)
      r.body += (i ? " " : "") + word();
    return r;
  }
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

long residentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_search FOLDER [RECORDS]\n");
    return 2;
  }
  const fs::path folder = argv[1];
  const std::int64_t count = argc > 2 ? std::atoll(argv[2]) : 1'000'000;
  fs::remove_all(folder);
  fs::create_directories(folder);
  Generator generate;
  {
    tessaron::search::Index index(folder / "index.sqlite");
    double seconds = 0;  // indexing only: making up the records is left out
    std::vector<tessaron::search::Record> batch;
    // As the server's first pass does it.
    index.beginBulkLoad();
    for (std::int64_t n = 0; n < count; n += 10000) {
      batch.clear();
      for (std::int64_t k = n; k < std::min(count, n + 10000); ++k)
        batch.push_back(generate.record(k));
      const auto start = Clock::now();
      index.begin();
      for (const auto& r : batch)
        index.put(r.recordPath, static_cast<std::int64_t>(r.body.size()), r);
      index.commit();
      seconds += std::chrono::duration<double>(Clock::now() - start).count();
      if ((n / 10000) % 20 == 0)
        std::fprintf(stderr, "bench_search: %lld records indexed\n", static_cast<long long>(n));
    }
    const auto closing = Clock::now();
    index.endBulkLoad();
    seconds += std::chrono::duration<double>(Clock::now() - closing).count();
    std::printf("indexing %lld generated records: %.1f s, %.0f records/s\n", static_cast<long long>(count),
                seconds, static_cast<double>(count) / seconds);
    // Searches work at once; the server then merges the segments the bulk load left, step by step.
    const auto merging = Clock::now();
    int steps = 0;
    while (index.mergeStep())
      ++steps;
    std::printf("merging after the first build: %d steps, %.1f s (searches wait one step at most)\n", steps,
                std::chrono::duration<double>(Clock::now() - merging).count());
  }
  std::printf("index file: %.0f MB\n", static_cast<double>(fs::file_size(folder / "index.sqlite")) / 1e6);

  // Queries on a freshly opened index, as the server would run them.
  tessaron::search::Index index(folder / "index.sqlite");
  struct Kind {
    const char* name;
    std::function<tessaron::search::Query(int)> make;
  };
  const Kind kinds[] = {
      {"common word, newest first",
       [&](int i) { return tessaron::search::Query{.text = generate.words[i % 10]}; }},
      {"common word, by relevance",
       [&](int i) { return tessaron::search::Query{.text = generate.words[i % 10], .newestFirst = false}; }},
      {"rare word",
       [&](int i) { return tessaron::search::Query{.text = generate.words[20000 + i * 97 % 20000]}; }},
      {"two-word phrase",
       [&](int i) {
         return tessaron::search::Query{.text = "\"" + generate.words[i % 50] + " " +
                                                generate.words[(i * 7) % 50] + "\""};
       }},
      {"common word + site filter",
       [&](int i) {
         return tessaron::search::Query{.text = generate.words[i % 10],
                                        .site = "site" + std::to_string(i * 13 % 2000) + ".example"};
       }},
      {"site filter alone",
       [&](int i) {
         return tessaron::search::Query{.site = "site" + std::to_string(i * 17 % 2000) + ".example"};
       }},
      {"grouped: common word",
       [&](int i) {
         return tessaron::search::Query{.text = generate.words[i % 10], .groupByAddress = true};
       }},
      {"grouped: common, relevance",
       [&](int i) {
         return tessaron::search::Query{
             .text = generate.words[i % 10], .newestFirst = false, .groupByAddress = true};
       }},
      {"grouped: rare word",
       [&](int i) {
         return tessaron::search::Query{.text = generate.words[20000 + i * 97 % 20000],
                                        .groupByAddress = true};
       }},
      {"grouped: no words",
       [&](int i) { return tessaron::search::Query{.groupByAddress = true, .offset = i % 5 * 20}; }},
      {"common word + date range",
       [&](int i) {
         return tessaron::search::Query{.text = generate.words[i % 10],
                                        .from = 1710000000 + i * 86400,
                                        .to = 1710000000 + i * 86400 + 7 * 86400};
       }},
  };
  std::printf("query latency over %lld records (ms):\n", static_cast<long long>(count));
  for (const auto& kind : kinds) {
    std::vector<double> times;
    std::int64_t hits = 0;
    for (int i = 0; i < 100; ++i) {
      const auto start = Clock::now();
      auto results = index.search(kind.make(i));
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      hits += results.total;
    }
    std::printf("  %-28s p50 %7.2f   p95 %7.2f   (mean matches %lld)\n", kind.name, percentile(times, 0.5),
                percentile(times, 0.95), static_cast<long long>(hits / 100));
  }
  // The timeline's reads: the busiest day's records in time order and the days around it.
  {
    std::string busiest;
    std::size_t most = 0;
    for (int i = 0; i < 730; i += 7) {
      std::time_t t = 1700000000 + static_cast<std::time_t>(i) * 86400;
      std::tm parts{};
      gmtime_r(&t, &parts);
      char day[16];
      std::strftime(day, sizeof day, "%Y%m%d", &parts);
      const std::size_t n = index.dayRecords(day, 10000).size();
      if (n > most) most = n, busiest = day;
    }
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
      const auto start = Clock::now();
      const auto records = index.dayRecords(busiest, 5000);
      (void)index.adjacentDays(busiest);
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("  %-28s p50 %7.2f   p95 %7.2f   (%zu records on %s)\n", "timeline: a day's records",
                percentile(times, 0.5), percentile(times, 0.95), most, busiest.c_str());
  }
  std::printf("peak resident memory of this process: %ld MB\n", residentMegabytes());

  // Real files through the indexer.
  const fs::path archive = folder / "AppData";
  for (int n = 0; n < 20000; ++n) {
    auto r = generate.record(n);
    const fs::path file = archive / (r.recordPath + ".txt");
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << r.address << '\n'
                                          << r.recordPath << '\n'
                                          << r.stamp << '\n'
                                          << r.title << '\n'
                                          << r.body;
  }
  tessaron::search::Index files(folder / "files.sqlite");
  tessaron::search::Indexer indexer(archive, files);
  const auto start = Clock::now();
  const std::size_t indexed = indexer.scanAll();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("indexing %zu record files from disk: %.2f s, %.0f records/s\n", indexed, seconds,
              indexed / seconds);
  return 0;
}
