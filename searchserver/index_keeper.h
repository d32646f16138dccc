// Keeps a usable index whatever happens to its cache, so that no fault of the cache ever ends the server:
//
// - a damaged index (found when it is opened or by any statement, a search's included) is set aside and
//   rebuilt from the archive while the server answers, with partial results meanwhile;
// - a cache that cannot be written (a read-only folder, a full disk) gives way to an index kept in memory (a
//   file in the user's runtime folder, which is a memory file system), said once in the log and on the page;
//   when the cache can be written again, the index is copied back and used from there.
//
// It also keeps the index in step with the archive: a full pass at start, then every period the day folders
// that changed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>

#include "base/once.h"
#include "searchserver/index.h"
#include "searchserver/indexer.h"

namespace tessaron::search {

struct IndexPlaces {
  std::filesystem::path preferred;  // the index file in the cache folder
  std::filesystem::path fallback;   // the index file kept in memory, when the cache cannot be written
};

class IndexKeeper {
 public:
  using Log = std::function<void(const std::string& line)>;
  // Told what left the index once it is gone from the index's files too.
  using WhenForgotten = std::function<void(const Forgotten&)>;
  IndexKeeper(std::filesystem::path archive, IndexPlaces places, Log log, WhenForgotten whenForgotten = {});

  // Opens, builds and follows the index until stopped, recovering from every fault of its cache.
  void run(std::stop_token stop, std::chrono::milliseconds period);

  // Searches the index in use; an empty result, with a notice, while there is none or when it fails (a
  // damaged index is then rebuilt).
  Results search(const Query& query);
  // Any other read of the index in use, by the same rules: its empty result while there is no index or when
  // the read fails.
  template <class Read>
  auto read(Read&& work) -> decltype(work(std::declval<Index&>()));

  // What the page should tell about the index: a state the person should know of, or empty.
  std::string notice() const;
  // The first pass over the archive: whether it is done, and day folders done and in all.
  struct Progress {
    bool done = false;
    std::size_t days = 0, daysTotal = 0;
  };
  Progress progress() const;

  // How often a cache that could not be written is tried again.
  std::chrono::milliseconds retryPeriod{30000};

 private:
  enum class Place { preferred, fallback };
  // Takes the fault's consequence: what to use next, and what the log and the page say.
  void handleFault(const IndexError& error, Place place);
  // Closes the index in use, once no search holds it any more, and then does to its files what a fault asked.
  void retire();
  bool preferredUsableAgain(Index& fallbackIndex);
  void say(const std::string& line);
  void publish(std::shared_ptr<Index> index, std::shared_ptr<Indexer> indexer);
  bool waitFor(std::stop_token stop, std::chrono::milliseconds period);
  // Rewrites the index until what left it is gone from its files, a step at a time (searches go in between).
  void forgetFully(std::stop_token stop, Index& index, Indexer& indexer);

  const std::filesystem::path archive_;
  const IndexPlaces places_;
  const Log log_;
  const WhenForgotten whenForgotten_;
  bool journalToEmpty_ = false;  // a checkpoint after forgetting that a search held up

  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  std::shared_ptr<Index> index_;
  std::shared_ptr<Indexer> indexer_;
  Place place_ = Place::preferred;
  std::string notice_;
  bool rebuildAsked_ = false;
  enum class Cleanup { none, setAside, remove };
  std::pair<std::filesystem::path, Cleanup> cleanup_{{}, Cleanup::none};
  std::chrono::steady_clock::time_point nextRetry_;
  log::Once<> said_;  // log lines of faults said since the index last worked
};

template <class Read>
auto IndexKeeper::read(Read&& work) -> decltype(work(std::declval<Index&>())) {
  std::shared_ptr<Index> index;
  Place place;
  {
    std::lock_guard lock(mutex_);
    index = index_;
    place = place_;
  }
  if (!index) return {};
  try {
    return work(*index);
  } catch (const IndexError& error) {
    {
      std::lock_guard lock(mutex_);
      if (index != index_) return {};  // replaced meanwhile: that index's faults are over
    }
    if (error.damaged() || error.unwritable()) handleFault(error, place);
    return {};
  }
}

}  // namespace tessaron::search
