// Template definitions of os_image_hashing.h; included at its end, not meant to be included alone.
#pragma once

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>

namespace osimagehashing {

// Runs body(i) for i in [0, count) on the library's worker threads; returns when all have ended.
void parallelFor(std::size_t count, const std::function<void(std::size_t)>& body);

inline std::string describe(const std::string& text) {
  return text;
}
inline std::string describe(const OSData& data) {
  return "{length = " + std::to_string(data.size()) + "}";
}
template <class T>
std::string describe(const T& value) {
  if constexpr (requires { value.description(); }) {
    return value.description();
  } else if constexpr (std::is_arithmetic_v<T>) {
    return std::to_string(value);
  } else {
    return "<object>";
  }
}
template <class T>
std::string describePointer(const std::shared_ptr<T>& value) {
  return value ? describe(*value) : std::string("(null)");
}

}  // namespace osimagehashing

template <class First, class Second>
std::string OSTuple<First, Second>::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<OSTuple: ") + address + ", first: " + osimagehashing::describePointer(first) +
         ", second: " + osimagehashing::describePointer(second) + ">";
}

template <class T, class Block>
void enumeratePairCombinationsUsingBlock(const std::vector<T>& items, const Block& block) {
  const std::size_t n = items.size();
  if (n < 2) return;
  osimagehashing::parallelFor(n - 1, [&](std::size_t i) {
    for (std::size_t j = i + 1; j < n; ++j)
      block(items[i], items[j]);
  });
}

template <class T>
std::vector<std::shared_ptr<OSTuple<const T, const T>>> arrayWithPairCombinations(
    const std::vector<T>& items) {
  using Pair = OSTuple<const T, const T>;
  std::vector<std::shared_ptr<Pair>> pairs;
  std::mutex mutex;
  // Items are shared by the tuples, so each is copied once, not once per pair.
  std::vector<std::shared_ptr<const T>> shared;
  shared.reserve(items.size());
  for (const T& item : items)
    shared.push_back(std::make_shared<const T>(item));
  enumeratePairCombinationsUsingBlock(shared, [&](const auto& a, const auto& b) {
    auto tuple = Pair::tupleWithFirst(a, b);
    std::lock_guard lock(mutex);
    pairs.push_back(std::move(tuple));
  });
  return pairs;
}

template <class T>
std::vector<T> OSImageHashing::sortedArrayUsingImageSimilartyComparator(
    const OSData* baseImage, const std::vector<T>* array, OSImageHashingProviderId providerId,
    const OSImageConverter<T>* imageConverter) const {
  if (!baseImage) throw OSImageHashingException("Base image must not be null");
  if (!array) throw OSImageHashingException("Array must not be null");
  if (!imageConverter || !*imageConverter) throw OSImageHashingException("Image converter must not be null");
  std::vector<T> sorted = *array;
  // A stable merge sort asking "does a come strictly before b": the comparator itself answers "descending"
  // for two unhashable items in either order, which an introsort must never see as an ordering.
  std::stable_sort(sorted.begin(), sorted.end(), [&](const T& a, const T& b) {
    return imageSimilarityComparatorForImageForBaseImageData(
               baseImage, (*imageConverter)(a), (*imageConverter)(b), providerId) == OSOrderedAscending;
  });
  return sorted;
}
