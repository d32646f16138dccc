// What has been said already: a line that a pass, a retry or a request would repeat every few seconds is said
// the first time only, and again after its condition has ended (forget). Safe to use from any thread.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>

namespace tessaron::log {

template <class Key = std::string>
class Once {
 public:
  // True the first time `key` is asked about since it was last forgotten: the caller says it then.
  bool first(const Key& key) {
    std::lock_guard lock(mutex_);
    return said_.insert(key).second;
  }
  void forget(const Key& key) {
    std::lock_guard lock(mutex_);
    said_.erase(key);
  }
  void forgetAll() {
    std::lock_guard lock(mutex_);
    said_.clear();
  }

 private:
  std::mutex mutex_;
  std::set<Key> said_;
};

// One thing said once per process (or per owner).
class OnceOnly {
 public:
  bool first() { return !said_.exchange(true); }

 private:
  std::atomic<bool> said_{false};
};

}  // namespace tessaron::log
