// Helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

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

}  // namespace bench
