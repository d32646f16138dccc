// What it costs to save a record so that it survives a kill or a power cut: a screenshot and a text written
// under temporary names, flushed, named, and the folder flushed (what tessaron does), side by side with plain
// writes that flush nothing. Record sizes are those of a 1920x1080 screenshot and a full-text record.
// Usage: bench_record_write FOLDER [RECORDS=200]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "base/log.h"
#include "capture/capture.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_record_write FOLDER [RECORDS]\n");
    return 2;
  }
  const fs::path folder = argv[1];
  const int records = argc > 2 ? std::atoi(argv[2]) : 200;
  std::mt19937 random(1);
  std::string png(290'000, '\0'), words;
  for (char& c : png)
    c = static_cast<char>(random());
  for (int i = 0; i < 3000; ++i)
    words += "word" + std::to_string(random() % 5000) + " ";
  tessaron::OutputCapture quiet;  // the word-limit lines

  auto run = [&](const char* name, auto&& save) {
    fs::remove_all(folder / name);
    fs::create_directories(folder / name);
    const auto started = Clock::now();
    for (int i = 0; i < records; ++i)
      save(folder / name / ("2024-03-01T14:05:09Z-" + std::to_string(i + 2)));
    const double each = std::chrono::duration<double, std::milli>(Clock::now() - started).count() / records;
    fs::remove_all(folder / name);
    return each;
  };
  const double plain = run("plain", [&](const fs::path& stem) {
    std::ofstream(stem.string() + ".png", std::ios::binary) << png;
    std::ofstream(stem.string() + ".txt", std::ios::binary) << "https://a/\nd/s\ns\nt\n" << words;
  });
  const double durable = run("durable", [&](const fs::path& stem) {
    tessaron::archive::writeArchiveFile(stem.string() + ".png", png);
    tessaron::archive::writeRecordText(stem.string() + ".txt", "https://a/", "d/s", "s", "t", words,
                                       tessaron::fullTextWordLimit);
  });
  std::printf("saving a record (%zu KB screenshot, %zu KB text), %d records:\n", png.size() / 1000,
              words.size() / 1000, records);
  std::printf("  plain writes, nothing flushed: %.2f ms\n", plain);
  std::printf("  whole or nothing, flushed (tessaron): %.2f ms, %.2f ms more per record (%.1fx)\n", durable,
              durable - plain, durable / plain);
  return 0;
}
