#include "ocr/ocr_worker.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "ocr/ocr_test_support.h"
#include "ocr/text_reader.h"

namespace tessaron::ocr {
namespace {

using namespace std::chrono_literals;

struct Logged {
  std::mutex mutex;
  std::vector<std::string> lines;
  OcrWorker::Log log() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  std::size_t count(const std::string& part) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    }));
  }
};

TEST(OcrWorker, ReadsEveryCropOfAJobOnALowPriorityThreadOfItsOwn) {
  Logged logged;
  OcrWorker worker({{"eng"}, languageDataFolder()}, logged.log());
  const Crop canvas = testing::canvasWords();
  std::string words;
  int niceness = 0;
  pid_t readerThread = 0;
  worker.submit({"the chart",
                 [&] {
                   return std::vector<Crop>{canvas, canvas};
                 },
                 [&](const std::string& read) {
                   words = read;
                   readerThread = static_cast<pid_t>(::syscall(SYS_gettid));
                   niceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(readerThread));
                 }});
  worker.drain();
  EXPECT_EQ(std::count(words.begin(), words.end(), 'Q'), 2) << "both crops, in order: " << words;
  EXPECT_NE(words.find("November"), std::string::npos);
  EXPECT_NE(readerThread, static_cast<pid_t>(::syscall(SYS_gettid)));
  EXPECT_EQ(niceness, 19);
  EXPECT_GT(worker.secondsSpent(), 0);
  EXPECT_EQ(logged.count("Words in pictures are read in: eng"), 1u);
}

TEST(OcrWorker, WorkOverItsShareWaitsAndTooMuchWaitingIsDroppedEachSaidOnce) {
  Logged logged;
  // A share so small that one read uses the whole window's.
  OcrWorker worker({{"eng"}, languageDataFolder(), 0.0001, 300ms, 2}, logged.log());
  const Crop canvas = testing::canvasWords();
  std::atomic<int> done{0};
  std::vector<std::string> order;
  std::mutex orderMutex;
  auto job = [&](const std::string& name) {
    return OcrJob{name, [&] { return std::vector<Crop>{canvas}; },
                  [&, name](const std::string&) {
                    std::lock_guard lock(orderMutex);
                    order.push_back(name);
                    ++done;
                  }};
  };
  worker.submit(job("first"));
  // Wait until the first is read: then the share is used up and the others wait.
  for (int i = 0; i < 2000 && done == 0; ++i)
    std::this_thread::sleep_for(5ms);
  for (const char* name : {"second", "third", "fourth"})
    worker.submit(job(name));
  const auto start = std::chrono::steady_clock::now();
  worker.drain();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms) << "the window had to pass first";
  EXPECT_EQ(order, (std::vector<std::string>{"first", "third", "fourth"}))
      << "the oldest waiting was dropped";
  EXPECT_EQ(logged.count("has used its share of a core"), 1u);
  EXPECT_EQ(logged.count("fell behind: the words in pictures of second"), 1u);
}

}  // namespace
}  // namespace tessaron::ocr
