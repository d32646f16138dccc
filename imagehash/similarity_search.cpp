// The all-pairs similarity search and the library's parallel loop.
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <bit>
#include <mutex>
#include <semaphore>
#include <thread>

#include "imagehash/image_internal.h"

namespace osimagehashing {

void parallelFor(std::size_t count, const std::function<void(std::size_t)>& body) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i)
                        body(i);
                    });
}

namespace {

// Rows i .. i+3 of the triangle at once: each later hash is loaded once and compared with four, which keeps
// the processor's units busy on four independent counts. The popcnt clone makes each count one instruction
// where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("popcnt", "default")))
#endif
void scanRows(const std::uint64_t* hashes, std::size_t i, std::size_t rows, std::size_t n, int threshold,
              const std::function<void(std::size_t, std::size_t)>& report) {
  // The small triangle among the block's own rows first.
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t j = i + r + 1; j < i + rows && j < n; ++j)
      if (__builtin_popcountll(hashes[i + r] ^ hashes[j]) <= threshold) report(i + r, j);
  if (rows == 4) {
    const std::uint64_t h0 = hashes[i], h1 = hashes[i + 1], h2 = hashes[i + 2], h3 = hashes[i + 3];
    for (std::size_t j = i + 4; j < n; ++j) {
      const std::uint64_t other = hashes[j];
      const bool any =
          (__builtin_popcountll(h0 ^ other) <= threshold) | (__builtin_popcountll(h1 ^ other) <= threshold) |
          (__builtin_popcountll(h2 ^ other) <= threshold) | (__builtin_popcountll(h3 ^ other) <= threshold);
      if (__builtin_expect(any, 0))
        for (std::size_t r = 0; r < 4; ++r)
          if (__builtin_popcountll(hashes[i + r] ^ other) <= threshold) report(i + r, j);
    }
    return;
  }
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t j = i + rows; j < n; ++j)
      if (__builtin_popcountll(hashes[i + r] ^ hashes[j]) <= threshold) report(i + r, j);
}

unsigned processorCount() {
  return std::max(1U, std::thread::hardware_concurrency());
}

}  // namespace

}  // namespace osimagehashing

using namespace osimagehashing;

const OSSimilaritySearch& OSSimilaritySearch::sharedInstance() {
  static const OSSimilaritySearch instance;
  return instance;
}

void OSSimilaritySearch::scanPairs(const std::vector<OSHashType>& hashes, OSHashDistanceType threshold,
                                   const std::function<void(std::size_t, std::size_t)>& report) {
  if (hashes.size() < 2 || threshold < 0) return;
  const int limit = static_cast<int>(std::min<OSHashDistanceType>(threshold, 64));
  const auto* data = reinterpret_cast<const std::uint64_t*>(hashes.data());
  const std::size_t n = hashes.size();
  parallelFor((n + 3) / 4, [&](std::size_t block) {
    const std::size_t i = block * 4;
    scanRows(data, i, std::min<std::size_t>(4, n - i), n, limit, report);
  });
}

void OSSimilaritySearch::similarImagesWithProvider(OSImageHashingProviderId providerId,
                                                   OSHashDistanceType threshold,
                                                   const OSImageStreamHandler& imageStreamHandler,
                                                   const OSResultHandler& resultHandler) const {
  if (!imageStreamHandler) throw OSImageHashingException("Image stream handler must not be nil");
  if (!resultHandler) throw OSImageHashingException("Result handler must not be nil");
  const OSAbstractHash* provider = OSImageHashingProviderForId(providerId);
  if (!provider) return;

  std::vector<OSHashResultTuple> results;
  std::mutex resultsMutex;
  {
    const unsigned processors = processorCount();
    std::counting_semaphore<> inFlight(processors);
    // The calling thread blocks on the semaphore instead of hashing, so the scheduler may use one worker per
    // processor; without this it keeps one processor for the (idle) caller.
    tbb::global_control workers(tbb::global_control::max_allowed_parallelism, processors + 1);
    tbb::task_group group;
    while (auto tuple = imageStreamHandler()) {
      if (!tuple->second) continue;
      inFlight.acquire();
      group.run([&, tuple] {
        const OSHashType hash = provider->hashImageData(tuple->second.get());
        if (hash != OSHashTypeError) {
          std::lock_guard lock(resultsMutex);
          results.push_back({tuple->first, hash});
        }
        inFlight.release();
      });
    }
    group.wait();
  }

  std::vector<OSHashType> hashes;
  hashes.reserve(results.size());
  for (const auto& r : results)
    hashes.push_back(r.hashResult);
  scanPairs(hashes, threshold, [&](std::size_t a, std::size_t b) {
    const auto& left = results[a].first;
    const auto& right = results[b].first;
    resultHandler(left ? *left : OSImageIdentifier(), right ? *right : OSImageIdentifier());
  });
}

std::vector<std::shared_ptr<OSPairTuple>> OSSimilaritySearch::similarImagesWithProvider(
    OSImageHashingProviderId providerId, OSHashDistanceType threshold,
    const OSImageStreamHandler& imageStreamHandler) const {
  if (!imageStreamHandler) throw OSImageHashingException("Image stream handler must not be nil");
  std::vector<std::shared_ptr<OSPairTuple>> pairs;
  std::mutex mutex;
  similarImagesWithProvider(providerId, threshold, imageStreamHandler,
                            [&](const OSImageIdentifier& left, const OSImageIdentifier& right) {
                              auto tuple = OSPairTuple::tupleWithFirst(
                                  std::make_shared<const OSImageIdentifier>(left),
                                  std::make_shared<const OSImageIdentifier>(right));
                              std::lock_guard lock(mutex);
                              pairs.push_back(std::move(tuple));
                            });
  return pairs;
}

std::vector<std::shared_ptr<OSPairTuple>> OSSimilaritySearch::similarImagesWithProvider(
    OSImageHashingProviderId providerId, OSHashDistanceType threshold,
    const std::vector<std::shared_ptr<OSImageTuple>>* images) const {
  if (!images) throw OSImageHashingException("Image tuple array must not be nil");
  std::size_t next = 0;
  return similarImagesWithProvider(providerId, threshold, [&]() -> std::shared_ptr<OSImageTuple> {
    while (next < images->size()) {
      if (auto item = (*images)[next++]) return item;
    }
    return nullptr;
  });
}

OSSimilarImagesGroups OSSimilaritySearch::dictionaryFromSimilarImagesResult(
    const std::vector<std::shared_ptr<OSPairTuple>>* similarImageTuples) const {
  if (!similarImageTuples) throw OSImageHashingException("Similar image tuple array must not be nil");
  std::map<OSImageIdentifier, OSImageIdentifier> representative;
  OSSimilarImagesGroups groups;
  for (const auto& pair : *similarImageTuples) {
    if (!pair || !pair->first || !pair->second) continue;
    const OSImageIdentifier& a = *pair->first;
    const OSImageIdentifier& b = *pair->second;
    auto [it, inserted] = representative.try_emplace(a, a);
    if (inserted) groups[a];
    const OSImageIdentifier rep = it->second;
    representative.try_emplace(b, rep);
    groups[rep].insert(b);
  }
  return groups;
}
