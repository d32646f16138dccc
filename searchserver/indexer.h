// Keeps the index in step with the archive: a full pass at start (search works meanwhile), then every few
// seconds only the day folders that changed and the newest one (where records grow).
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "searchserver/index.h"

namespace tessaron::search {

// What left the index (its files were deleted): single records ("yyyyMMdd/<stem>") and whole day folders.
struct Forgotten {
  std::vector<std::string> records;
  std::vector<std::string> days;
  bool empty() const { return records.empty() && days.empty(); }
};

class Indexer {
 public:
  Indexer(std::filesystem::path archive, Index& index);
  ~Indexer();
  Indexer(const Indexer&) = delete;
  Indexer& operator=(const Indexer&) = delete;

  // Indexes every new or grown record of every day folder; returns how many records were (re)indexed.
  std::size_t scanAll();
  // Indexes new, grown, changed and deleted records of the day folders that changed since the last scan, and
  // of the newest. A file changed in place (words appended to an old record) is noticed through the kernel's
  // file events; without them, every day folder is looked through every few minutes.
  std::size_t scanChanged();
  // What left the index since the last call.
  Forgotten takeForgotten() { return std::exchange(forgotten_, {}); }
  // Ends a scan under way at its next day folder (its index is being replaced).
  void cancel() { cancelled_ = true; }

  // Progress of the first full pass: day folders done and in all; done when they are equal.
  std::atomic<std::size_t> daysDone{0}, daysTotal{0};
  std::atomic<bool> firstPassDone{false};

 private:
  std::size_t scanDay(const std::string& day);
  // Day folders that the kernel says changed since the last call; watches new day folders as it goes.
  std::set<std::string> changedDays();
  void watchDay(const std::string& day);
  std::filesystem::path archive_;
  Index& index_;
  std::map<std::string, std::filesystem::file_time_type> seen_;  // day folder -> its time at the last scan
  std::set<std::string> incomplete_;  // day folders holding a record still being written
  Forgotten forgotten_;
  std::atomic<bool> cancelled_{false};
  int events_ = -1;                         // inotify, or -1 where it cannot be had
  std::map<int, std::string> watchedDays_;  // watch -> day folder
  std::chrono::steady_clock::time_point lastSweep_ = std::chrono::steady_clock::now();
};

}  // namespace tessaron::search
