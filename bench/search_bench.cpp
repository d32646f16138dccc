// The search index at a million records of mixed-language text, split into words in every script (ours) and
// at spaces and punctuation only (SQLite's unicode61, the peer), side by side: indexing rate on one core,
// index size, query latency (p50, p95) and what each query finds, the process's memory, and what forgetting
// the newest records costs.
//
//   bench_search FOLDER [RECORDS]     (default 1,000,000; the indexes are built in FOLDER)
//   bench_search FOLDER RECORDS LANGUAGE    indexing only, of one language's pages (en, de, zh, ...) or of
//                                           the mixed pages (mixed)
//
// Records are generated with realistic sizes: a third are first visits with a few hundred words of page
// text, the rest revisits that keep two words. Pages are English (40 %), German, French, Russian, Chinese,
// Japanese (10 % each), Korean (6 %), Thai and Arabic (2 % each). Words follow a Zipf-like distribution over
// each language's vocabulary: made-up stems with the language's endings and its real commonest words; German
// pages join some words into compounds, Chinese and Japanese write no spaces, Korean words carry particles,
// Thai is real words run together. Sites are 2,000 hosts, stamps two years. Last, 20,000 real record files
// are indexed through the indexer, read from disk.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/record_file.h"
#include "searchserver/index.h"
#include "searchserver/indexer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tessaron::search::Index;
using tessaron::search::Query;

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// One language's words with their Zipf weights, and how its text is written.
struct Language {
  const char* name;
  double share;
  std::vector<std::string> words;
  std::vector<double> cumulative;
  std::vector<std::string> endings;  // appended at random to stems
  std::vector<std::string> common;   // the language's commonest words, a third of its text
  std::string space = " ";           // between words
  double compounds = 0;              // share of words joined to the next one
};

struct Generator {
  std::mt19937_64 random{2024};
  std::vector<Language> languages;

  static std::vector<std::string> syllableWords(const std::vector<std::string>& syllables, int count) {
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) {
      std::string word;
      for (int n = i + 1; n > 0; n /= static_cast<int>(syllables.size()))
        word += syllables[static_cast<std::size_t>(n) % syllables.size()];
      words.push_back(word);
    }
    return words;
  }
  static std::vector<std::string> charWords(char32_t first, int range, int count, int maxLength,
                                            std::mt19937_64& random) {
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) {
      std::string word;
      const int length = 1 + static_cast<int>(random() % static_cast<unsigned>(maxLength));
      for (int k = 0; k < length; ++k)
        word += utf8(first + static_cast<char32_t>(random() % static_cast<unsigned>(range)));
      words.push_back(word);
    }
    return words;
  }
  void add(Language language) {
    double total = 0;
    for (std::size_t i = 0; i < language.words.size(); ++i) {
      total += 1.0 / static_cast<double>(i + 1);
      language.cumulative.push_back(total);
    }
    for (double& c : language.cumulative)
      c /= total;
    languages.push_back(std::move(language));
  }

  Generator() {
    add({"en",
         0.40,
         syllableWords({"ka", "lo", "ri", "mes", "ta", "vin", "or", "pel", "su", "dra"}, 30000),
         {},
         {"", "", "s", "ed", "ing"},
         {"the", "and", "of", "to", "is", "in", "that", "it", "was", "for"}});
    add({"de",
         0.10,
         syllableWords({"hau", "ber", "stein", "wal", "kin", "dorf", "sch", "lan", "mer", "tig"}, 20000),
         {},
         {"", "", "en", "er", "ung"},
         {"der", "die", "und", "das", "ist", "nicht", "mit", "den", "sich"},
         " ",
         0.15});
    add({"fr",
         0.10,
         syllableWords({"pa", "ré", "mon", "lu", "chè", "ven", "dou", "bri", "ssa", "gné"}, 20000),
         {},
         {"", "", "s", "e", "es"},
         {"le", "la", "les", "et", "des", "est", "une", "du", "que", "dans"}});
    add({"ru",
         0.10,
         syllableWords({"ра", "ко", "ми", "сто", "вел", "ну", "жа", "про", "ды", "лен"}, 20000),
         {},
         {"", "", "а", "ы", "ами", "ов"},
         {"и", "в", "не", "на", "что", "он", "как", "это", "по"}});
    add({"zh", 0.10, charWords(0x4E00, 3000, 20000, 3, random), {}, {}, {"的", "了", "是", "在", "和"}, ""});
    add({"ja",
         0.10,
         charWords(0x4E00, 3000, 20000, 2, random),
         {},
         {},
         {"の", "は", "を", "に", "が", "で", "と", "カード", "データ"},
         ""});
    add({"ko",
         0.06,
         charWords(0xAC00, 11172, 20000, 3, random),
         {},
         {"", "은", "는", "을", "를", "에서", "의"},
         {"그리고", "하지만", "있다"}});
    add({"th",
         0.02,
         {"ภาษา", "ไทย",     "ประเทศ", "คน",   "การ", "บ้าน",    "เมือง",    "รถ",    "น้ำ",  "อาหาร",
          "เรียน", "โรงเรียน", "ทำงาน",  "ตลาด", "ข่าว", "สวยงาม", "ครอบครัว", "หนังสือ", "ถนน", "ฝน"},
         {},
         {},
         {"ที่", "เป็น", "และ", "ของ", "ใน", "มี"},
         ""});
    add({"ar",
         0.02,
         syllableWords({"كا", "لم", "سي", "تب", "نو", "رع", "دا", "حي", "فل", "بر"}, 20000),
         {},
         {"", "", "ات", "ون"},
         {"في", "من", "على", "إلى", "أن"}});
  }

  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[random() % from.size()];
  }
  const std::string& zipf(const Language& language) {
    const double u = std::uniform_real_distribution<double>(0, 1)(random);
    return language.words[static_cast<std::size_t>(
        std::lower_bound(language.cumulative.begin(), language.cumulative.end(), u) -
        language.cumulative.begin())];
  }
  std::string word(const Language& language) {
    if (random() % 3 == 0) return pick(language.common);
    std::string word = zipf(language);
    if (!language.endings.empty()) word += pick(language.endings);
    if (language.compounds > 0 && std::uniform_real_distribution<double>(0, 1)(random) < language.compounds)
      word += zipf(language);
    return word;
  }
  std::string text(const Language& language, int words) {
    std::string out;
    for (int i = 0; i < words; ++i) {
      if (i) out += i % 12 == 0 && language.space.empty() ? std::string(" ") : language.space;
      out += word(language);
    }
    return out;
  }
  const Language& languageOf(std::int64_t n) const {
    // Spread by record number so that every language has pages in every part of the archive.
    double u = std::fmod(static_cast<double>(n) * 0.6180339887, 1.0), sum = 0;
    for (const Language& language : languages)
      if (u < (sum += language.share)) return language;
    return languages.front();
  }
  tessaron::search::Record record(std::int64_t n, const Language* only = nullptr) {
    tessaron::search::Record r;
    const Language& language = only ? *only : languageOf(n);
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
    r.title = text(language, 6);
    r.body = text(language, n % 3 == 0 ? 150 + static_cast<int>(random() % 500) : 2);
    return r;
  }
  const Language& named(std::string_view name) const {
    return *std::find_if(languages.begin(), languages.end(),
                         [&](const Language& l) { return l.name == name; });
  }
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1,
                         static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// The time this thread has run: the indexing rate "on one core", whatever else the machine is doing.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long residentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

struct Built {
  double recordsPerSecond = 0;
  double megabytes = 0;
  double mergeSeconds = 0;  // after the build, in the background
};

Built build(const fs::path& file, Index::Splitting splitting, std::int64_t count,
            std::string_view onlyLanguage = {}) {
  Generator generate;  // the same records for both
  const Language* only = onlyLanguage.empty() ? nullptr : &generate.named(onlyLanguage);
  Built built;
  {
    Index index(file, splitting);
    double seconds = 0;  // processor time of indexing only: making up the records is left out
    std::vector<tessaron::search::Record> batch;
    index.beginBulkLoad();  // as the server's first pass does it
    for (std::int64_t n = 0; n < count; n += 10000) {
      batch.clear();
      for (std::int64_t k = n; k < std::min(count, n + 10000); ++k)
        batch.push_back(generate.record(k, only));
      const double start = threadSeconds();
      index.begin();
      for (const auto& r : batch)
        index.put(r.recordPath, static_cast<std::int64_t>(r.body.size()), r);
      index.commit();
      seconds += threadSeconds() - start;
      if ((n / 10000) % 20 == 0 && only == nullptr)
        std::fprintf(stderr, "bench_search: %lld records indexed\n", static_cast<long long>(n));
    }
    const double closing = threadSeconds();
    index.endBulkLoad();
    seconds += threadSeconds() - closing;
    built.recordsPerSecond = static_cast<double>(count) / seconds;
    // Searches work at once; the server then merges the segments the bulk load left into one, step by step.
    const double merging = threadSeconds();
    while (index.purgeStep()) {
    }
    built.mergeSeconds = threadSeconds() - merging;
  }
  built.megabytes = static_cast<double>(fs::file_size(file)) / 1e6;
  return built;
}

}  // namespace

// Forgetting the newest records, as the tray's Forget does. The peer is what deleting alone costs (the
// deleted words then stay in the index's older segments); ours also rewrites the index, a step at a time,
// until none of them is left in its files.
void forgetNewest(Index& index, const char* label, std::size_t howMany) {
  std::vector<std::string> paths;
  const auto days = index.indexedDays();
  for (auto day = days.rbegin(); day != days.rend() && paths.size() < howMany; ++day)
    for (const auto& [path, size] : index.indexedSizes(*day))
      if (paths.size() < howMany) paths.push_back(path);
  auto start = Clock::now();
  index.begin();
  for (const auto& path : paths)
    index.remove(path);
  index.commit();
  const double deleting = std::chrono::duration<double>(Clock::now() - start).count();
  start = Clock::now();
  int steps = 0;
  double longestStep = 0;
  for (bool more = true; more; ++steps) {
    const auto step = Clock::now();
    more = index.purgeStep();
    longestStep =
        std::max(longestStep, std::chrono::duration<double, std::milli>(Clock::now() - step).count());
  }
  index.checkpoint();
  const double purging = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "forgetting the newest %zu of %s: deleting %.3f s (the peer's whole cost); rewriting until gone "
      "%.2f s in %d steps, the longest %.0f ms (%.0f x the peer)\n",
      paths.size(), label, deleting, purging, steps, longestStep, (deleting + purging) / deleting);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_search FOLDER [RECORDS]\n");
    return 2;
  }
  const fs::path folder = argv[1];
  const std::int64_t count = argc > 2 ? std::atoll(argv[2]) : 1'000'000;
  fs::remove_all(folder);
  fs::create_directories(folder);
  if (argc > 3) {
    const std::string language = argv[3];
    const Generator known;
    if (language != "mixed" && std::none_of(known.languages.begin(), known.languages.end(),
                                            [&](const Language& l) { return l.name == language; })) {
      std::fprintf(stderr, "bench_search: no language %s\n", language.c_str());
      return 2;
    }
    const std::string_view only = language == "mixed" ? std::string_view() : std::string_view(language);
    const Built one = build(folder / "one.sqlite", Index::Splitting::everyScript, count, only);
    const Built onePeer = build(folder / "one-peer.sqlite", Index::Splitting::spacesOnly, count, only);
    std::printf("%s alone, %lld records: records/s %8.0f    %8.0f    %5.2f;  MB %6.1f  %6.1f  %5.2f\n",
                language.c_str(), static_cast<long long>(count), one.recordsPerSecond,
                onePeer.recordsPerSecond, one.recordsPerSecond / onePeer.recordsPerSecond, one.megabytes,
                onePeer.megabytes, one.megabytes / onePeer.megabytes);
    return 0;
  }
  const fs::path ours = folder / "words.sqlite", peer = folder / "unicode61.sqlite";
  const Built oursBuilt = build(ours, Index::Splitting::everyScript, count);
  const Built peerBuilt = build(peer, Index::Splitting::spacesOnly, count);
  std::printf("%lld records of mixed-language text          every script   unicode61   ratio\n",
              static_cast<long long>(count));
  std::printf("  indexing, records/s on one core               %8.0f    %8.0f    %5.2f\n",
              oursBuilt.recordsPerSecond, peerBuilt.recordsPerSecond,
              oursBuilt.recordsPerSecond / peerBuilt.recordsPerSecond);
  std::printf("  index file, MB                                %8.0f    %8.0f    %5.2f\n",
              oursBuilt.megabytes, peerBuilt.megabytes, oursBuilt.megabytes / peerBuilt.megabytes);
  std::printf("  then merged into one segment, s               %8.1f    %8.1f    %5.2f\n",
              oursBuilt.mergeSeconds, peerBuilt.mergeSeconds,
              oursBuilt.mergeSeconds / peerBuilt.mergeSeconds);
  // Each language alone: what its words cost.
  for (const Language& language : Generator().languages) {
    const Built one = build(folder / "one.sqlite", Index::Splitting::everyScript, 10000, language.name);
    const Built onePeer =
        build(folder / "one-peer.sqlite", Index::Splitting::spacesOnly, 10000, language.name);
    std::printf("    %s alone: records/s %8.0f    %8.0f    %5.2f;  MB per 10,000 %6.1f  %6.1f  %5.2f\n",
                language.name, one.recordsPerSecond, onePeer.recordsPerSecond,
                one.recordsPerSecond / onePeer.recordsPerSecond, one.megabytes, onePeer.megabytes,
                one.megabytes / onePeer.megabytes);
    for (const char* name : {"one.sqlite", "one-peer.sqlite"})
      fs::remove(folder / name);
  }

  // Queries on freshly opened indexes, as the server would run them.
  const Generator words;
  const auto& en = words.named("en").words;
  const auto& de = words.named("de").words;
  const auto& zh = words.named("zh").words;
  const auto& ko = words.named("ko").words;
  auto twoCharacters = [&](int i) {  // the first Chinese word of two characters from the i-th on
    for (auto k = static_cast<std::size_t>(i);; ++k)
      if (zh[k % zh.size()].size() == 6) return zh[k % zh.size()];
  };
  struct Kind {
    const char* name;
    std::function<Query(int)> make;
  };
  const Kind kinds[] = {
      {"common word, newest first", [&](int i) { return Query{.text = en[i % 10]}; }},
      {"common word, by relevance", [&](int i) { return Query{.text = en[i % 10], .newestFirst = false}; }},
      {"rare word", [&](int i) { return Query{.text = en[10000 + i * 97 % 20000]}; }},
      {"another form of a word", [&](int i) { return Query{.text = en[200 + i] + "ing"}; }},
      {"two-word phrase",
       [&](int i) { return Query{.text = "\"" + en[i % 50] + " " + en[(i * 7) % 50] + "\""}; }},
      {"Chinese, two characters", [&](int i) { return Query{.text = twoCharacters(i * 37)}; }},
      {"Korean noun", [&](int i) { return Query{.text = ko[i * 13 % 2000]}; }},
      {"German compound part", [&](int i) { return Query{.text = de[100 + i * 7]}; }},
      {"common word + site filter",
       [&](int i) {
         return Query{.text = en[i % 10], .site = "site" + std::to_string(i * 13 % 2000) + ".example"};
       }},
      {"site filter alone",
       [&](int i) { return Query{.site = "site" + std::to_string(i * 17 % 2000) + ".example"}; }},
      {"grouped: common word", [&](int i) { return Query{.text = en[i % 10], .groupByAddress = true}; }},
      {"grouped: common, relevance",
       [&](int i) { return Query{.text = en[i % 10], .newestFirst = false, .groupByAddress = true}; }},
      {"grouped: rare word",
       [&](int i) { return Query{.text = en[10000 + i * 97 % 20000], .groupByAddress = true}; }},
      {"grouped: word form",
       [&](int i) { return Query{.text = en[200 + i] + "ing", .groupByAddress = true}; }},
      {"grouped: Chinese",
       [&](int i) { return Query{.text = twoCharacters(i * 37), .groupByAddress = true}; }},
      {"grouped: Korean noun",
       [&](int i) { return Query{.text = ko[i * 13 % 2000], .groupByAddress = true}; }},
      {"grouped: no words", [&](int i) { return Query{.groupByAddress = true, .offset = i % 5 * 20}; }},
      {"common word + date range",
       [&](int i) {
         return Query{
             .text = en[i % 10], .from = 1710000000 + i * 86400, .to = 1710000000 + i * 86400 + 7 * 86400};
       }},
  };
  Index oursIndex(ours, Index::Splitting::everyScript), peerIndex(peer, Index::Splitting::spacesOnly);
  std::printf(
      "query latency, ms: p50 / p95 (mean matches)     every script              unicode61           "
      "p95 ratio\n");
  for (const auto& kind : kinds) {
    std::vector<double> times[2];
    std::int64_t hits[2] = {0, 0};
    for (int i = 0; i < 100; ++i) {
      for (int which = 0; which < 2; ++which) {
        Index& index = which == 0 ? oursIndex : peerIndex;
        const auto start = Clock::now();
        const auto results = index.search(kind.make(i));
        times[which].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        hits[which] += results.total;
      }
    }
    std::printf("  %-28s %7.2f / %7.2f (%6lld)   %7.2f / %7.2f (%6lld)   %5.2f\n", kind.name,
                percentile(times[0], 0.5), percentile(times[0], 0.95), static_cast<long long>(hits[0] / 100),
                percentile(times[1], 0.5), percentile(times[1], 0.95), static_cast<long long>(hits[1] / 100),
                percentile(times[0], 0.95) / std::max(percentile(times[1], 0.95), 1e-3));
  }
  std::printf("peak resident memory of this process: %ld MB\n", residentMegabytes());

  // Real files through the indexer.
  const fs::path archive = folder / "AppData";
  Generator generate;
  for (int n = 0; n < 20000; ++n) {
    auto r = generate.record(n);
    const fs::path file = archive / (r.recordPath + ".txt");
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        << tessaron::archive::recordText(r.address, r.recordPath, r.stamp, r.title, r.body);
  }
  Index files(folder / "files.sqlite");
  tessaron::search::Indexer indexer(archive, files);
  const auto start = Clock::now();
  const std::size_t indexed = indexer.scanAll();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("indexing %zu record files from disk: %.2f s, %.0f records/s\n", indexed, seconds,
              static_cast<double>(indexed) / seconds);
  forgetNewest(files, "20,000 record files", 100);
  forgetNewest(oursIndex, "the large index", 100);
  return 0;
}
