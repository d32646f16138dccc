#include "ocr/ocr_worker.h"

#include <omp.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "ocr/text_reader.h"

namespace tessaron::ocr {

namespace {

// The worker's own thread gives way to everything else: the lowest processor priority and idle I/O.
void lowerThisThreadsPriority() {
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 19);
  constexpr int ioprioWhoProcess = 1, ioprioClassIdle = 3, ioprioClassShift = 13;
  ::syscall(SYS_ioprio_set, ioprioWhoProcess, static_cast<int>(thread), ioprioClassIdle << ioprioClassShift);
  // Tesseract would spread a page over every core; one is enough for work that waits for nobody.
  omp_set_num_threads(1);
}

std::chrono::nanoseconds threadCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

OcrWorker::OcrWorker(Options options, Log log)
    : options_(std::move(options)),
      log_(std::move(log)),
      thread_([this](std::stop_token stop) { run(stop); }) {}

OcrWorker::~OcrWorker() {
  thread_.request_stop();
  wake_.notify_all();
}

void OcrWorker::submit(OcrJob job) {
  std::lock_guard lock(mutex_);
  if (waiting_.size() >= options_.queueLimit) {
    if (saidDropped_.first())
      log_("Reading words from pictures fell behind: the words in pictures of " + waiting_.front().name +
           " and of other pages like it are not read.");
    waiting_.pop_front();
  }
  waiting_.push_back(std::move(job));
  wake_.notify_all();
}

void OcrWorker::drain() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return waiting_.empty() && !working_; });
}

double OcrWorker::secondsSpent() const {
  std::lock_guard lock(mutex_);
  return secondsSpent_;
}

void OcrWorker::run(std::stop_token stop) {
  lowerThisThreadsPriority();
  CpuBudget budget(options_.share, options_.window);
  std::unique_ptr<TextReader> reader;
  bool readerFailed = false;
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    wake_.wait(lock, stop, [this] { return !waiting_.empty(); });
    if (stop.stop_requested()) break;
    // Over the share, the next job waits until enough of the window has passed.
    if (const auto wait = budget.waitFrom(CpuBudget::Clock::now());
        wait > CpuBudget::Clock::duration::zero()) {
      if (saidOverShare_.first())
        log_("Reading words from pictures has used its share of a core (" +
             std::to_string(static_cast<int>(options_.share * 100)) +
             " % over a minute): pages wait for it.");
      wake_.wait_for(lock, stop, wait, [] { return false; });
      continue;
    }
    OcrJob job = std::move(waiting_.front());
    waiting_.pop_front();
    working_ = true;
    lock.unlock();

    std::string words;
    if (!reader && !readerFailed) {
      try {
        reader = std::make_unique<TextReader>(options_.languages, options_.dataFolder);
        std::string names;
        for (const auto& language : options_.languages)
          names += (names.empty() ? "" : "+") + language;
        log_("Words in pictures are read in: " + names);
      } catch (const std::exception& error) {
        readerFailed = true;
        log_(std::string("Words in pictures cannot be read: ") + error.what());
      }
    }
    const auto cpuBefore = threadCpuTime();
    if (reader && job.crops)
      for (const Crop& crop : job.crops()) {
        const std::string read = reader->read(crop.rgba.data(), crop.width, crop.height, crop.width * 4);
        if (!read.empty()) words += (words.empty() ? "" : " ") + read;
      }
    const auto spent = threadCpuTime() - cpuBefore;
    budget.spend(CpuBudget::Clock::now(), std::chrono::duration_cast<CpuBudget::Clock::duration>(spent));
    if (job.done) job.done(words);

    lock.lock();
    secondsSpent_ += std::chrono::duration<double>(spent).count();
    working_ = false;
    wake_.notify_all();
  }
  waiting_.clear();
  working_ = false;
  wake_.notify_all();
}

}  // namespace tessaron::ocr
