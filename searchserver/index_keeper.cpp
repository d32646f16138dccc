#include "searchserver/index_keeper.h"

#include "searchserver/screenshot_hashes.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <utility>

namespace tessaron::search {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

void removeIndexFiles(const fs::path& file) {
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", ".copy", ".copy-journal"})
    fs::remove(file.string() + suffix, ec);
}

std::uintmax_t indexBytes(const fs::path& file) {
  std::uintmax_t bytes = 0;
  for (const char* suffix : {"", "-wal"}) {
    std::error_code ec;
    const auto size = fs::file_size(file.string() + suffix, ec);
    if (!ec) bytes += size;
  }
  return bytes;
}

// Whether a file can be made in the folder now (a read-only mount or folder says no, even to root).
bool canWriteIn(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path probe = folder / ".tessaron-write-probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, "x", 1) == 1;
  ::close(fd);
  ::unlink(probe.c_str());
  return written;
}

}  // namespace

IndexKeeper::IndexKeeper(fs::path archive, IndexPlaces places, Log log, WhenForgotten whenForgotten)
    : archive_(std::move(archive)),
      places_(std::move(places)),
      log_(std::move(log)),
      whenForgotten_(std::move(whenForgotten)) {}

void IndexKeeper::forgetFully(std::stop_token stop, Index& index, Indexer& indexer) {
  const Forgotten gone = indexer.takeForgotten();
  if (!gone.empty()) {
    while (!stop.stop_requested() && index.purgeStep()) {
    }
    journalToEmpty_ = true;
    if (whenForgotten_) whenForgotten_(gone);
  }
  if (journalToEmpty_ && index.checkpoint()) journalToEmpty_ = false;
}

void IndexKeeper::publish(std::shared_ptr<Index> index, std::shared_ptr<Indexer> indexer) {
  std::lock_guard lock(mutex_);
  index_ = std::move(index);
  indexer_ = std::move(indexer);
  rebuildAsked_ = false;
}

bool IndexKeeper::waitFor(std::stop_token stop, std::chrono::milliseconds period) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, stop, period, [this] { return rebuildAsked_; });
  return !stop.stop_requested() && !rebuildAsked_;
}

void IndexKeeper::retire() {
  std::weak_ptr<Index> old;
  std::pair<fs::path, Cleanup> cleanup;
  {
    std::lock_guard lock(mutex_);
    old = index_;
    index_.reset();
    indexer_.reset();
    cleanup = std::exchange(cleanup_, {fs::path(), Cleanup::none});
  }
  // Files are moved or made anew only once no connection of the old index is open: SQLite's locks are the
  // process's, and a file replaced under an open connection fails the new one with I/O errors. Searches
  // hold the old index for a moment at most.
  for (int wait = 0; wait < 1000 && !old.expired(); ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto& [file, action] = cleanup;
  if (action == Cleanup::setAside) {
    std::error_code ec;
    fs::rename(file, file.string() + ".damaged", ec);
  }
  if (action != Cleanup::none) removeIndexFiles(file);
}

void IndexKeeper::handleFault(const IndexError& error, Place place) {
  const fs::path& file = place == Place::preferred ? places_.preferred : places_.fallback;
  std::string line;
  {
    std::lock_guard lock(mutex_);
    if (error.damaged()) {
      cleanup_ = {file, Cleanup::setAside};
      notice_ =
          "The index was damaged and is being rebuilt from the archive: results may be incomplete until "
          "that is done.";
      line = "server: the index " + file.string() + " is damaged (" + error.what() + "): set aside as " +
             file.string() + ".damaged; rebuilding it from the archive";
    } else if (error.unwritable() && place == Place::preferred) {
      // A half-built cache is worth nothing, and on a full disk its space is what is missing.
      cleanup_ = {file, Cleanup::remove};
      place_ = Place::fallback;
      nextRetry_ = SteadyClock::now() + retryPeriod;
      notice_ = "The index cache " + file.parent_path().string() + " cannot be written (" + error.what() +
                "); the index is kept in memory until it can.";
      line = "server: the index cache " + file.parent_path().string() + " cannot be written (" +
             error.what() + "): keeping the index in memory until it can";
    } else if (error.unwritable()) {
      cleanup_ = {file, Cleanup::remove};
      place_ = Place::preferred;
      notice_ = "Search is unavailable for now: the index can be kept neither in its cache nor in memory (" +
                std::string(error.what()) + "); trying again.";
      line = "server: the index can be kept neither in its cache nor in memory (" +
             std::string(error.what()) + "); trying again in " + std::to_string(retryPeriod.count() / 1000) +
             " s";
    } else {
      line = std::string("server: indexing failed: ") + error.what();
    }
    rebuildAsked_ = true;
    if (indexer_) indexer_->cancel();
  }
  wake_.notify_all();
  say(line);
}

void IndexKeeper::say(const std::string& line) {
  // A fault that persists is said once, not at every retry.
  if (said_.first(line)) log_(line);
}

bool IndexKeeper::preferredUsableAgain(Index& fallbackIndex) {
  if (!canWriteIn(places_.preferred.parent_path())) return false;
  struct statvfs space {};
  if (::statvfs(places_.preferred.parent_path().c_str(), &space) != 0) return false;
  const auto free = static_cast<std::uintmax_t>(space.f_bavail) * space.f_frsize;
  // Room for the index as it is and for its growth, or the same fault comes straight back.
  if (free < indexBytes(fallbackIndex.file()) * 3 / 2 + (16u << 20)) return false;
  const fs::path copy = places_.preferred.string() + ".copy";
  try {
    fallbackIndex.copyTo(copy);
  } catch (const IndexError&) {
    removeIndexFiles(places_.preferred);
    return false;
  }
  // The copy replaces the file whole; a journal left beside the old one must not be replayed into it.
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm"})
    fs::remove(places_.preferred.string() + suffix, ec);
  fs::rename(copy, places_.preferred, ec);
  return !ec;
}

void IndexKeeper::run(std::stop_token stop, std::chrono::milliseconds period) {
  while (!stop.stop_requested()) {
    retire();
    Place place;
    {
      std::lock_guard lock(mutex_);
      place = place_;
    }
    const fs::path& file = place == Place::preferred ? places_.preferred : places_.fallback;
    std::shared_ptr<Index> index;
    try {
      index = std::make_shared<Index>(file);
    } catch (const IndexError& error) {
      handleFault(error, place);
      // Neither place can hold an index now: nothing to do but wait.
      if (place == Place::fallback) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, stop, retryPeriod, [] { return false; });
      }
      continue;
    }
    if (const auto& damage = index->damageFound()) {
      // Found on opening, and already set aside: only said.
      {
        std::lock_guard lock(mutex_);
        notice_ =
            "The index was damaged and is being rebuilt from the archive: results may be incomplete until "
            "that is done.";
      }
      say("server: the index " + file.string() + " is damaged (" + *damage + "): set aside as " +
          file.string() + ".damaged; rebuilding it from the archive");
    }
    if (index->outdatedFound()) {
      {
        std::lock_guard lock(mutex_);
        notice_ =
            "The index is being rebuilt to find words in every language: results may be incomplete until "
            "that "
            "is done.";
      }
      say("server: the index " + file.string() + " splits words the old way: rebuilding it from the archive");
    }
    auto indexer = std::make_shared<Indexer>(archive_, *index);
    publish(index, indexer);
    try {
      const auto started = SteadyClock::now();
      log_("server: indexing " + archive_.string());
      const bool firstBuild = !index->isComplete();
      const std::size_t first = indexer->scanAll();
      if (!waitFor(stop, std::chrono::milliseconds(0))) continue;
      char done[96];
      std::snprintf(done, sizeof done, "server: indexed %zu new or changed records in %.1f s", first,
                    std::chrono::duration<double>(SteadyClock::now() - started).count());
      log_(done);
      {
        std::lock_guard lock(mutex_);
        said_.forgetAll();                               // working again: a new fault is news
        if (place == Place::preferred) notice_.clear();  // rebuilt: nothing missing any more
      }
      // Merged step by step, so that a search waits for one step at most. A first build leaves its records in
      // segments of a transaction's words each; merged into one, which it is rewritten to only this once, a
      // common word's newest pages are found in less than half the time.
      while (waitFor(stop, std::chrono::milliseconds(0)) &&
             (firstBuild ? index->purgeStep() : index->mergeStep())) {
      }
      forgetFully(stop, *index, *indexer);
      ScreenshotHasher hasher(archive_);
      while (waitFor(stop, period)) {
        indexer->scanChanged();
        forgetFully(stop, *index, *indexer);
        // A quarter of each turn at most, so that "looks like this" catches up without weighing on anyone.
        hasher.hashSome(*index, period / 4);
        if (place == Place::fallback && SteadyClock::now() >= nextRetry_) {
          nextRetry_ = SteadyClock::now() + retryPeriod;
          if (preferredUsableAgain(*index)) {
            {
              std::lock_guard lock(mutex_);
              place_ = Place::preferred;
              notice_.clear();
              cleanup_ = {places_.fallback, Cleanup::remove};  // memory is given back
            }
            log_("server: the index cache " + places_.preferred.parent_path().string() +
                 " can be written again: the index is kept there");
            break;
          }
        }
      }
    } catch (const IndexError& error) {
      handleFault(error, place);
    } catch (const std::exception& error) {
      say(std::string("server: indexing failed: ") + error.what());
      waitFor(stop, period);
    }
  }
}

Results IndexKeeper::search(const Query& query) {
  return read([&](Index& index) { return index.search(query); });
}

std::string IndexKeeper::notice() const {
  std::lock_guard lock(mutex_);
  return notice_;
}

IndexKeeper::Progress IndexKeeper::progress() const {
  std::lock_guard lock(mutex_);
  if (!indexer_) return {};
  return {indexer_->firstPassDone.load(), indexer_->daysDone.load(), indexer_->daysTotal.load()};
}

}  // namespace tessaron::search
