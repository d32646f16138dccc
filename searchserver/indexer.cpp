#include "searchserver/indexer.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "archive/layout.h"

namespace tessaron::search {

namespace fs = std::filesystem;

Indexer::Indexer(fs::path archive, Index& index) : archive_(std::move(archive)), index_(index) {
  events_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (events_ >= 0 &&
      ::inotify_add_watch(events_, archive_.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    ::close(events_);
    events_ = -1;
  }
}

Indexer::~Indexer() {
  if (events_ >= 0) ::close(events_);
}

void Indexer::watchDay(const std::string& day) {
  if (events_ < 0) return;
  const int watch = ::inotify_add_watch(
      events_, (archive_ / day).c_str(),
      IN_CLOSE_WRITE | IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
  if (watch >= 0) watchedDays_[watch] = day;
}

std::set<std::string> Indexer::changedDays() {
  std::set<std::string> days;
  if (events_ < 0) return days;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(events_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_Q_OVERFLOW) {
        // Too many events to keep: every folder counts as changed.
        for (const auto& [watch, day] : watchedDays_)
          days.insert(day);
      } else if (auto it = watchedDays_.find(event->wd); it != watchedDays_.end()) {
        days.insert(it->second);
        if (event->mask & IN_IGNORED) watchedDays_.erase(it);  // the folder is gone
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return days;
}

std::size_t Indexer::scanDay(const std::string& day) {
  std::unordered_map<std::string, std::int64_t> known;
  for (auto& [path, size] : index_.indexedSizes(day))
    known.emplace(std::move(path), size);
  std::size_t changed = 0;
  std::error_code ec;
  bool inTransaction = false;
  auto beginOnce = [&] {
    if (!inTransaction) index_.begin(), inTransaction = true;
  };
  for (const auto& entry : fs::directory_iterator(archive_ / day, ec)) {
    const fs::path relative = fs::path(day) / entry.path().filename();
    std::error_code statError;
    if (!isRecordFile(relative)) continue;
    if (!entry.is_regular_file(statError) || entry.is_symlink(statError)) {
      noteSkipped(entry.path(), "not a plain file");
      continue;
    }
    const auto size = static_cast<std::int64_t>(entry.file_size(statError));
    if (statError) continue;
    std::string recordPath = relative.string();
    recordPath.resize(recordPath.size() - 4);
    auto it = known.find(recordPath);
    const bool unchanged = it != known.end() && it->second == size;
    if (it != known.end()) known.erase(it);  // what is left in `known` at the end was deleted
    if (unchanged) continue;
    const auto bytes = readTextRecord(entry.path());
    if (!bytes) continue;  // it went, or is no plain file after all
    // A file still being written may not hold a whole record yet; the next scan sees it grown. One that
    // holds none in all that is read of it never will.
    auto record = parseRecord(*bytes);
    if (!record) {
      if (bytes->size() < maxTextBytes)
        incomplete_.insert(day);
      else
        noteSkipped(entry.path(), "no record in its first " + std::to_string(maxTextBytes) + " bytes");
      continue;
    }
    beginOnce();
    // What was read, so that a file that grew meanwhile is read again; a file cut at the limit is known by
    // its size, or it would be read again at every scan.
    index_.put(recordPath, bytes->size() < maxTextBytes ? static_cast<std::int64_t>(bytes->size()) : size,
               *record);
    ++changed;
  }
  // Records whose files are gone (forgotten, or deleted to keep the archive small) leave the index too; a
  // folder that could not be listed says nothing about its records.
  if (!ec)
    for (const auto& [recordPath, size] : known) {
      beginOnce();
      index_.remove(recordPath);
      forgotten_.records.push_back(recordPath);
      ++changed;
    }
  if (inTransaction) index_.commit();
  return changed;
}

std::size_t Indexer::scanAll() {
  const bool firstBuild = !index_.isComplete();
  if (firstBuild) index_.beginBulkLoad();
  const auto days = archive::dayFolders(archive_);
  for (const std::string& day : index_.indexedDays())
    if (!std::binary_search(days.begin(), days.end(), day)) {
      index_.removeDay(day);
      forgotten_.days.push_back(day);
    }
  daysTotal = days.size();
  daysDone = 0;
  std::size_t changed = 0;
  auto lastReport = std::chrono::steady_clock::now();
  for (const auto& day : days) {
    if (cancelled_) return changed;
    std::error_code ec;
    seen_[day] = fs::last_write_time(archive_ / day, ec);
    watchDay(day);  // before the scan, so that nothing written during it goes unnoticed
    changed += scanDay(day);
    ++daysDone;
    if (std::chrono::steady_clock::now() - lastReport > std::chrono::seconds(1)) {
      lastReport = std::chrono::steady_clock::now();
      std::fprintf(stderr, "server: indexing: %zu of %zu days, %zu records\n", daysDone.load(), days.size(),
                   changed);
    }
  }
  if (firstBuild) index_.endBulkLoad();
  firstPassDone = true;
  return changed;
}

std::size_t Indexer::scanChanged() {
  const auto days = archive::dayFolders(archive_);
  std::set<std::string> touched = changedDays();
  // Without the kernel's events a file changed in place shows nowhere but in the file: look at every day now
  // and then.
  const bool sweep = events_ < 0 && std::chrono::steady_clock::now() - lastSweep_ > std::chrono::minutes(5);
  if (sweep) lastSweep_ = std::chrono::steady_clock::now();
  std::size_t changed = 0;
  for (auto it = seen_.begin(); it != seen_.end();) {
    if (std::binary_search(days.begin(), days.end(), it->first)) {
      ++it;
      continue;
    }
    index_.removeDay(it->first);  // the whole day folder was deleted
    forgotten_.days.push_back(it->first);
    incomplete_.erase(it->first);
    it = seen_.erase(it);
    ++changed;
  }
  for (const auto& day : days) {
    if (cancelled_) return changed;
    std::error_code ec;
    const auto time = fs::last_write_time(archive_ / day, ec);
    auto it = seen_.find(day);
    // Files grow inside the newest day, or where one was caught half-written; elsewhere a new or deleted file
    // changes the folder's time. File times are coarse (a clock tick), so a folder changed within the last
    // few seconds is read again even when its time looks the same: a second change in the same tick shows.
    const bool settled = ec || fs::file_time_type::clock::now() - time > std::chrono::seconds(5);
    if (it != seen_.end() && it->second == time && settled && day != days.back() &&
        !incomplete_.contains(day) && !touched.contains(day) && !sweep)
      continue;
    if (it == seen_.end()) watchDay(day);
    seen_[day] = time;
    incomplete_.erase(day);
    changed += scanDay(day);
  }
  return changed;
}

}  // namespace tessaron::search
