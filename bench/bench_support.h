// Helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "imagehash/os_image_hashing.h"

namespace bench {

inline OSData readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return OSData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The best of several rounds: the run least disturbed by the rest of the machine.
template <class F>
double bestMilliseconds(int rounds, F&& body) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    body();
    best = std::min(
        best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

inline double milliseconds(std::chrono::steady_clock::duration taken) {
  return std::chrono::duration<double, std::milli>(taken).count();
}

// The value below which a share `p` (0 to 1) of the values lie; 0 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1,
                         static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

}  // namespace bench
