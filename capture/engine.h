// Everything the capture engine keeps from one pass to the next, in one object, built from what it works
// with (the desktop, where the archive is, the settings file): the capture switch and the task that runs the
// loop, the window registry, the words each address's records hold, the windows and applications already
// said in the log, the archive's lock, its upkeep and the settings in force.
//
// Everything of the capture path takes the engine it works for, so work that finishes late (a reading of
// pictures) completes the record of the engine that asked. The program has one engine for its whole run
// (never destroyed: at exit a running capture thread must not be joined); a test makes its own, so nothing
// one test leaves behind reaches the next.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/once.h"
#include "capture/capture.h"
#include "capture/capture_switch.h"
#include "settings/settings.h"

namespace tessaron {

// What an engine works with. Each that is not given is the program's own: the installed platform, the
// person's data folder (appDataFolder) and settings file (settings::defaultFile).
struct EngineSources {
  platform::Platform* platform = nullptr;
  // Asked at each pass and each deletion: the folder may appear, or become unusable, while the program runs.
  std::function<std::optional<std::filesystem::path>()> dataFolder;
  std::function<std::optional<std::filesystem::path>()> settingsFile;
};

// A mutex that tells how many threads wait for it, so that a test can see a deletion waiting for a pass.
class ArchiveMutex {
 public:
  void lock() {
    ++waiting_;
    mutex_.lock();
    --waiting_;
  }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }
  int waiting() const { return waiting_.load(); }

 private:
  std::mutex mutex_;
  std::atomic<int> waiting_{0};
};

class Engine {
 public:
  explicit Engine(EngineSources sources = {});
  // Switches off, cancels its capture task and waits for the task's pass to end.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  platform::Platform& platform() const;
  // The archive's folder, created when missing; none when there is none.
  std::optional<std::filesystem::path> dataFolder() const;
  std::optional<std::filesystem::path> settingsFile() const;

  // Capture is switched on. The loop tests it before each pass.
  std::atomic<bool> isCapturing{false};

  // The task most recently started (none before the first), and the body new tasks run: the capture loop,
  // unless a test puts its own.
  struct Task {
    std::mutex mutex;
    std::shared_ptr<CaptureTask> handle;
    CaptureTask::Body body;
  } task;
  std::shared_ptr<CaptureTask> taskHandle();

  // The tracked browser windows, keyed by window number.
  WindowRegistry windows;

  // Held by each pass from its start to its end, and by whatever deletes or completes records: no record is
  // deleted half-written, and no pass writes into a day folder that is being deleted.
  ArchiveMutex archiveMutex;

  // For each recently archived address, the words its records hold (hashed, sorted) and those records' text
  // files: a record deleted by anyone else (from the search pages, by hand) takes its words with it. Bounded
  // for runs of weeks (visitedAddressLimit, visitedWordBudget): the addresses recorded least recently go
  // first, and their next record simply has its full text again.
  struct HeldWords {
    std::vector<std::uint64_t> words;
    std::vector<std::filesystem::path> records;
    std::list<std::string>::iterator recency;
  };
  struct Visited {
    std::mutex mutex;
    std::unordered_map<std::string, HeldWords> addresses;
    std::list<std::string> recency;  // most recently recorded first
    std::size_t words = 0;           // held for all addresses together
  } visited;

  // What the log has said once and need not say again.
  struct Notes {
    std::mutex mutex;
    std::unordered_map<std::uint32_t, Unrecorded> unrecordedWindows;  // why each window is not recorded
    log::Once<std::int32_t> unreadableProcesses;  // browsers said to be off the accessibility bus
    log::Once<> unknownApplications;              // applications on screen that are no browser we know
    log::Once<> untellableBrowsers;               // browsers none of whose windows is recorded, said why
    log::Once<> browsersHidingPages;              // QtWebEngine browsers started without their pages offered
    log::Once<> daysWithoutFolder;                // days whose folder could not be made
  } notes;

  // The archive's upkeep between passes, and the settings file.
  struct Upkeep {
    std::mutex mutex;
    bool leftoversRemoved = false;
    std::unique_ptr<settings::SettingsFile> file;
    bool settingsRead = false;  // the first reading counts nothing as newly excluded
    std::optional<std::chrono::system_clock::time_point> lastBudgetCheck;
    bool savingStopped = false;
  } upkeep;

  // Where passes spend their time, part by part, summed over passes: measured only while a benchmark has set
  // it (and only the pass thread writes it then).
  struct PassParts {
    std::map<std::string, std::chrono::nanoseconds> spent;
  };
  PassParts* passParts = nullptr;

  // Adds the time from its making to its end to a part of the pass, when passes are measured.
  class TimedPart {
   public:
    TimedPart(Engine& engine, const char* part)
        : parts_(engine.passParts), part_(part), start_(std::chrono::steady_clock::now()) {}
    ~TimedPart() { stop(); }
    TimedPart(const TimedPart&) = delete;
    TimedPart& operator=(const TimedPart&) = delete;
    void stop() {
      if (parts_) parts_->spent[part_] += std::chrono::steady_clock::now() - start_;
      parts_ = nullptr;
    }

   private:
    PassParts* parts_;
    const char* part_;
    std::chrono::steady_clock::time_point start_;
  };

 private:
  EngineSources sources_;
};

// The program's engine, made on first use from the installed platform and the person's folders.
Engine& programEngine();

}  // namespace tessaron
