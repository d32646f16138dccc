// Image hashing speed and memory, side by side with OpenCV's img_hash PHash pipeline in the same run.
//
//   bench_imagehash CORPUS_DIR
//
// 1. pHash of every PNG screenshot of the corpus from its encoded bytes, single-threaded: ours through the
//    facade versus cv::imdecode + cv::img_hash::PHash::compute. Best of several rounds; ratio reported.
// 2. All pairs of 100,000 precomputed hashes at threshold 10: time and pairs per second.
// 3. Peak heap while hashing the largest screenshot, in decoded copies of it (RGBA).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#if TESSARON_HAVE_OPENCV
#include <opencv2/img_hash.hpp>
#include <opencv2/imgcodecs.hpp>
#endif

#include "bench/bench_support.h"
#include "imagehash/os_image_hashing.h"

// Heap accounting for the memory figure: every operator new of the process goes through here.
namespace {
std::atomic<std::size_t> liveBytes{0}, peakBytes{0};
}
void* operator new(std::size_t size) {
  void* p = std::malloc(size + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = size;
  std::size_t now = liveBytes += size;
  std::size_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  void* base = static_cast<char*>(p) - 16;
  liveBytes -= *static_cast<std::size_t*>(base);
  std::free(base);
}
void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete[](void* p) noexcept {
  operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  operator delete(p);
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Seconds per item of the best of several rounds.
template <class F>
double bestSecondsPerItem(std::size_t items, int rounds, F&& body) {
  return bench::bestMilliseconds(rounds, body) / 1e3 / static_cast<double>(items);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_imagehash CORPUS_DIR (made by bench/corpus/make_corpus.sh)\n");
    return 2;
  }
  std::vector<std::pair<std::string, OSData>> corpus;
  for (const auto& entry : fs::directory_iterator(argv[1]))
    if (entry.path().extension() == ".png")
      corpus.emplace_back(entry.path().filename().string(), bench::readFile(entry.path()));
  std::sort(corpus.begin(), corpus.end());
  if (corpus.empty()) {
    std::fprintf(stderr, "bench_imagehash: no PNG files in %s\n", argv[1]);
    return 1;
  }
  std::printf("corpus: %zu PNG screenshots from %s\n\n", corpus.size(), argv[1]);

  const auto& hashing = OSImageHashing::sharedInstance();
  volatile std::int64_t sink = 0;
  double ours = bestSecondsPerItem(corpus.size(), 5, [&] {
    for (const auto& [name, data] : corpus)
      sink = sink + hashing.hashImageData(&data, OSImageHashingProviderPHash);
  });
  std::printf("pHash of a PNG screenshot, one thread:\n");
  std::printf("  ours (hashImageData, pHash)            %8.2f ms\n", ours * 1e3);
#if TESSARON_HAVE_OPENCV
  cv::setNumThreads(1);
  auto phash = cv::img_hash::PHash::create();
  double opencv = bestSecondsPerItem(corpus.size(), 5, [&] {
    for (const auto& [name, data] : corpus) {
      cv::Mat image = cv::imdecode(
          cv::Mat(1, static_cast<int>(data.size()), CV_8UC1, const_cast<std::uint8_t*>(data.data())),
          cv::IMREAD_COLOR);
      cv::Mat hash;
      phash->compute(image, hash);
      sink = sink + hash.at<std::uint8_t>(0);
    }
  });
  std::printf("  OpenCV imdecode + img_hash::PHash      %8.2f ms\n", opencv * 1e3);
  std::printf("  ratio (OpenCV / ours)                  %8.2fx faster\n\n", opencv / ours);
#else
  std::printf("  OpenCV peer: not built (install libopencv-contrib-dev: scripts/setup --bench)\n\n");
#endif

  // All pairs of 100,000 hashes.
  std::mt19937_64 random(42);
  std::vector<OSHashType> hashes(100'000);
  for (auto& h : hashes)
    h = static_cast<OSHashType>(random() & ~std::uint64_t{0x01010101010101FF});
  std::atomic<std::size_t> found = 0;
  auto start = Clock::now();
  OSSimilaritySearch::scanPairs(hashes, 10, [&](std::size_t, std::size_t) { ++found; });
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  double pairs = 100'000.0 * 99'999.0 / 2.0;
  std::printf(
      "all pairs of 100,000 hashes (threshold 10): %.3f s, %.2f billion pairs/s, %zu within threshold\n\n",
      seconds, pairs / seconds / 1e9, found.load());

  // Peak heap while hashing the largest screenshot.
  auto largest = std::max_element(corpus.begin(), corpus.end(), [](const auto& a, const auto& b) {
    return a.second.size() < b.second.size();
  });
  auto image = OSImageFromData(largest->second);
  const double decoded = static_cast<double>(image->width()) * image->height() * 4;
  image.reset();
  std::size_t before = liveBytes.load();
  peakBytes = before;
  sink = sink + hashing.hashImageData(&largest->second, OSImageHashingProviderPHash);
  std::printf("peak heap while hashing %s: %.1f MB above the encoded input = %.2f decoded RGBA copies\n",
              largest->first.c_str(), static_cast<double>(peakBytes.load() - before) / 1e6,
              static_cast<double>(peakBytes.load() - before) / decoded);
  return 0;
}
