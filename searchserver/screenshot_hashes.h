// "Looks like this": the DCT hash of every indexed record's screenshot, made in the background a little at a
// time, newest records first, and kept in the index. It never holds up indexing or a search for long: each
// turn stops after its budget.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>

#include "searchserver/index.h"

namespace tessaron::search {

class ScreenshotHasher {
 public:
  explicit ScreenshotHasher(std::filesystem::path archive) : archive_(std::move(archive)) {}

  // Hashes screenshots for about `budget`; how many records it settled (hashed, or found unreadable).
  std::size_t hashSome(Index& index, std::chrono::milliseconds budget);

 private:
  std::filesystem::path archive_;
  // The first sweep goes through every record; later ones only through records newer than any seen before
  // (records are numbered in time order), started when the index has changed.
  bool sweeping_ = false;
  std::uint64_t sweptGeneration_ = 0;
  std::int64_t above_ = std::numeric_limits<std::int64_t>::min();
  std::int64_t below_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t newestSeen_ = std::numeric_limits<std::int64_t>::min();
  bool started_ = false;
};

}  // namespace tessaron::search
