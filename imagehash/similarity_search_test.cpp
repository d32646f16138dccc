#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <mutex>
#include <set>
#include <thread>

#include "imagehash/os_image_hashing.h"
#include "imagehash/test_images.h"

namespace {

using namespace testimages;

const OSSimilaritySearch& search = OSSimilaritySearch::sharedInstance();

std::shared_ptr<OSImageTuple> input(std::string name, std::optional<OSData> data) {
  return OSImageTuple::tupleWithFirst(std::make_shared<const std::string>(std::move(name)),
                                      data ? std::make_shared<const OSData>(std::move(*data)) : nullptr);
}

std::set<std::pair<std::string, std::string>> unordered(
    const std::vector<std::shared_ptr<OSPairTuple>>& pairs) {
  std::set<std::pair<std::string, std::string>> out;
  for (const auto& p : pairs)
    out.insert(std::minmax(*p->first, *p->second));
  return out;
}

std::shared_ptr<OSPairTuple> pair(std::string a, std::string b) {
  return OSPairTuple::tupleWithFirst(std::make_shared<const std::string>(a),
                                     std::make_shared<const std::string>(b));
}

TEST(Search, FindsSimilarPairsAndLeavesOutWhatCannotBeHashed) {
  OSImage base = scene(160, 100, 3);
  std::vector<std::shared_ptr<OSImageTuple>> images = {
      input("a", png(base)),          input("a-copy", png(base)),  input("other", png(scene(160, 100, 40))),
      input("no-data", std::nullopt), input("junk", OSData{1, 2}), nullptr,
  };
  auto pairs = search.similarImagesWithProvider(OSImageHashingProviderPHash, 0, &images);
  EXPECT_EQ(unordered(pairs), (std::set<std::pair<std::string, std::string>>{{"a", "a-copy"}}))
      << "identical data pairs at threshold 0; absent or undecodable data never pairs";
  auto all = search.similarImagesWithProvider(OSImageHashingProviderPHash, 64, &images);
  EXPECT_EQ(all.size(), 3U) << "every pair of the three hashable images is within 64";
}

TEST(Search, EmptyOrSingleStreamsReportNothingAndNoProviderReadsNothing) {
  std::vector<std::shared_ptr<OSImageTuple>> none;
  EXPECT_TRUE(search.similarImagesWithProvider(OSImageHashingProviderPHash, 64, &none).empty());
  std::vector<std::shared_ptr<OSImageTuple>> one = {input("only", png(scene(20, 20, 1)))};
  EXPECT_TRUE(search.similarImagesWithProvider(OSImageHashingProviderPHash, 64, &one).empty());
  int calls = 0;
  search.similarImagesWithProvider(OSImageHashingProviderNone, 64, [&] {
    ++calls;
    return std::shared_ptr<OSImageTuple>();
  });
  EXPECT_EQ(calls, 0);
}

TEST(Search, StreamIsReadOnTheCallingThreadUntilItEnds) {
  const auto caller = std::this_thread::get_id();
  int served = 0, callsAfterEnd = 0;
  bool ended = false;
  std::vector<OSData> data;
  for (std::uint32_t i = 0; i < 12; ++i)
    data.push_back(png(scene(50, 40, i % 3)));
  std::atomic<int> reports = 0;
  search.similarImagesWithProvider(
      OSImageHashingProviderDHash, 0,
      [&]() -> std::shared_ptr<OSImageTuple> {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        if (ended) ++callsAfterEnd;
        if (served == static_cast<int>(data.size())) {
          ended = true;
          return nullptr;
        }
        ++served;
        return input(std::to_string(served), data[served - 1]);
      },
      [&](const std::string&, const std::string&) { ++reports; });
  EXPECT_EQ(callsAfterEnd, 0);
  EXPECT_EQ(reports, 3 * 6) << "three groups of four identical images: six pairs each";
}

TEST(Search, ReportsADistanceEqualToTheThreshold) {
  std::vector<OSHashType> hashes = {0, 0b1111, 0b11111, -1};
  std::mutex mutex;
  std::set<std::pair<std::size_t, std::size_t>> found;
  OSSimilaritySearch::scanPairs(hashes, 4, [&](std::size_t a, std::size_t b) {
    std::lock_guard lock(mutex);
    found.insert({a, b});
  });
  EXPECT_EQ(found, (std::set<std::pair<std::size_t, std::size_t>>{{0, 1}, {1, 2}}));
}

TEST(Search, BlockedPairScanFindsExactlyWhatBruteForceFinds) {
  for (std::size_t n : {0U, 1U, 2U, 5U, 8U, 9U, 31U, 200U}) {
    std::vector<OSHashType> hashes(n);
    std::uint64_t state = 0x9e3779b97f4a7c15ULL * (n + 1);
    for (auto& h : hashes) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      h = static_cast<OSHashType>(state & 0x0000FFFF0000FF0FULL);  // few bits, so many pairs are close
    }
    std::set<std::pair<std::size_t, std::size_t>> expected, found;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j)
        if (std::popcount(static_cast<std::uint64_t>(hashes[i] ^ hashes[j])) <= 9) expected.insert({i, j});
    std::mutex mutex;
    OSSimilaritySearch::scanPairs(hashes, 9, [&](std::size_t a, std::size_t b) {
      std::lock_guard lock(mutex);
      EXPECT_TRUE(found.insert({a, b}).second) << "reported twice";
    });
    EXPECT_EQ(found, expected) << n << " hashes";
  }
}

TEST(Search, PreconditionsThrowTheirMessages) {
  auto message = [](auto&& call) { return thrownMessage(call); };
  EXPECT_EQ(message([] {
              search.similarImagesWithProvider(OSImageHashingProviderPHash, 1, OSImageStreamHandler());
            }),
            "Image stream handler must not be nil");
  EXPECT_EQ(message([] {
              search.similarImagesWithProvider(
                  OSImageHashingProviderPHash, 1, [] { return std::shared_ptr<OSImageTuple>(); },
                  OSResultHandler());
            }),
            "Result handler must not be nil");
  EXPECT_EQ(message([] {
              search.similarImagesWithProvider(
                  OSImageHashingProviderPHash, 1,
                  static_cast<const std::vector<std::shared_ptr<OSImageTuple>>*>(nullptr));
            }),
            "Image tuple array must not be nil");
  EXPECT_EQ(message([] { search.dictionaryFromSimilarImagesResult(nullptr); }),
            "Similar image tuple array must not be nil");
}

TEST(Grouping, FoldsPairsUnderTheFirstRepresentative) {
  std::vector<std::shared_ptr<OSPairTuple>> chain = {pair("A", "B"), pair("B", "C")};
  EXPECT_EQ(search.dictionaryFromSimilarImagesResult(&chain), (OSSimilarImagesGroups{{"A", {"B", "C"}}}));
  std::vector<std::shared_ptr<OSPairTuple>> shared = {pair("A", "B"), pair("C", "B")};
  EXPECT_EQ(search.dictionaryFromSimilarImagesResult(&shared),
            (OSSimilarImagesGroups{{"A", {"B"}}, {"C", {"B"}}}));
  std::vector<std::shared_ptr<OSPairTuple>> partial = {
      OSPairTuple::tupleWithFirst(std::make_shared<const std::string>("A"), nullptr), pair("D", "E"),
      nullptr};
  EXPECT_EQ(OSImageHashing::sharedInstance().dictionaryFromSimilarImagesResult(&partial),
            (OSSimilarImagesGroups{{"D", {"E"}}}));
}

TEST(PairCombinations, VisitEveryUnorderedPairOnceEarlierFirst) {
  std::vector<int> items = {10, 20, 30};
  auto pairs = arrayWithPairCombinations(items);
  std::set<std::pair<int, int>> seen;
  for (const auto& p : pairs)
    seen.insert({*p->first, *p->second});
  EXPECT_EQ(seen, (std::set<std::pair<int, int>>{{10, 20}, {10, 30}, {20, 30}}));
  EXPECT_EQ(pairs.size(), 3U);
  EXPECT_TRUE(arrayWithPairCombinations(std::vector<int>{1}).empty());
  EXPECT_TRUE(arrayWithPairCombinations(std::vector<int>{}).empty());

  std::vector<int> many(200);
  for (int i = 0; i < 200; ++i)
    many[i] = i;
  std::atomic<long> visits = 0, wrongOrder = 0;
  enumeratePairCombinationsUsingBlock(many, [&](int a, int b) {
    ++visits;
    if (a >= b) ++wrongOrder;
  });
  EXPECT_EQ(visits, 200 * 199 / 2);
  EXPECT_EQ(wrongOrder, 0);
}

TEST(Tuple, DescribesItself) {
  auto tuple = pair("left", "right");
  std::string text = tuple->description();
  EXPECT_EQ(text.rfind("<OSTuple: 0x", 0), 0U) << text;
  EXPECT_NE(text.find(", first: left, second: right>"), std::string::npos) << text;
  auto image = input("shot", OSData{1, 2, 3});
  EXPECT_NE(image->description().find("second: {length = 3}"), std::string::npos);
  auto empty = OSPairTuple::tupleWithFirst(nullptr, nullptr);
  EXPECT_NE(empty->description().find("first: (null), second: (null)"), std::string::npos);
}

}  // namespace
