// Reading words from pixels on a worker of its own: at the lowest priority (nice 19, idle I/O), never in the
// way of a capture pass, and within its share of a core (CpuBudget). Work beyond the share waits; when too
// much waits, the oldest is dropped. Each of those is said once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/once.h"
#include "ocr/cpu_budget.h"

namespace tessaron::ocr {

// A region of a screenshot, 4 bytes (RGBA) a pixel, rows without padding.
struct Crop {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
};

struct OcrJob {
  std::string name;  // for the log
  // The regions to read, made on the worker (decoding a screenshot is work too).
  std::function<std::vector<Crop>()> crops;
  // Called on the worker with the words read in all the crops, in their order (empty when none).
  std::function<void(const std::string& words)> done;
};

class OcrWorker {
 public:
  using Log = std::function<void(const std::string& line)>;
  struct Options {
    std::vector<std::string> languages;
    std::filesystem::path dataFolder;
    double share = 0.10;
    CpuBudget::Clock::duration window = std::chrono::minutes(1);
    std::size_t queueLimit = 16;
  };

  OcrWorker(Options options, Log log);
  // Stops at once: work not begun is dropped.
  ~OcrWorker();
  OcrWorker(const OcrWorker&) = delete;
  OcrWorker& operator=(const OcrWorker&) = delete;

  void submit(OcrJob job);
  // Waits until every job submitted so far is done or dropped.
  void drain();
  // Processor time spent reading so far, in seconds.
  double secondsSpent() const;

 private:
  void run(std::stop_token stop);

  const Options options_;
  const Log log_;
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<OcrJob> waiting_;
  bool working_ = false;
  log::OnceOnly saidOverShare_, saidDropped_;
  double secondsSpent_ = 0;
  std::jthread thread_;
};

}  // namespace tessaron::ocr
