#include <gtest/gtest.h>

#include "imagehash/os_image_hashing.h"
#include "imagehash/test_images.h"

namespace {

using namespace testimages;

const OSImageHashing& hashing = OSImageHashing::sharedInstance();

TEST(Names, ConvertBothWaysExactly) {
  auto id = [](std::string s) { return OSImageHashingProviderIdFromString(&s); };
  auto quality = [](std::string s) { return OSImageHashingQualityFromString(&s); };
  EXPECT_EQ(id("aHash"), 1);
  EXPECT_EQ(id("dHash"), 2);
  EXPECT_EQ(id("pHash"), 4);
  EXPECT_EQ(id("None"), 0);
  EXPECT_EQ(id(""), 0);
  EXPECT_EQ(id("phash"), 0) << "case-sensitive";
  EXPECT_EQ(quality("Low"), 0);
  EXPECT_EQ(quality("Medium"), 1);
  EXPECT_EQ(quality("High"), 2);
  EXPECT_EQ(quality("low"), 3);
  EXPECT_EQ(thrownMessage([] { OSImageHashingProviderIdFromString(nullptr); }),
            "Image hashing provider name must not be null");
  EXPECT_EQ(thrownMessage([] { OSImageHashingQualityFromString(nullptr); }),
            "Image hashing quality name must not be null");

  EXPECT_EQ(OSImageHashingProviderIdName(OSImageHashingProviderNone), "None");
  EXPECT_EQ(OSImageHashingProviderIdName(OSImageHashingProviderPHash), "pHash");
  EXPECT_EQ(OSImageHashingProviderIdName(OSImageHashingProviderAHash | OSImageHashingProviderDHash),
            std::nullopt);
  EXPECT_EQ(OSImageHashingProviderIdName(static_cast<OSImageHashingProviderId>(8)), std::nullopt);
  EXPECT_EQ(OSImageHashingQualityName(OSImageHashingQualityNone), "None");
  EXPECT_EQ(OSImageHashingQualityName(static_cast<OSImageHashingQuality>(4)), std::nullopt);
  EXPECT_EQ(OSImageHashingAllProviderIds(),
            (std::vector<OSImageHashingProviderId>{OSImageHashingProviderAHash, OSImageHashingProviderDHash,
                                                   OSImageHashingProviderPHash}));
  EXPECT_EQ(OSImageHashingAllProviderNames(), (std::vector<std::string>{"aHash", "dHash", "pHash"}));
  EXPECT_EQ(OSImageHashingAllQualityNames(), (std::vector<std::string>{"Low", "Medium", "High"}));
  EXPECT_EQ(OSImageHashingAllQualities().size(), 3U);
  EXPECT_EQ(OSImageHashingDefaultProviderId(), OSImageHashingProviderDHash);
  EXPECT_EQ(OSImageHashingProviderIdForQuality(OSImageHashingQualityLow), OSImageHashingProviderDHash);
  EXPECT_EQ(OSImageHashingProviderIdForQuality(OSImageHashingQualityNone), OSImageHashingProviderNone);
}

TEST(Providers, AreChosenInTheFixedOrder) {
  auto all = OSImageHashingProviderAHash | OSImageHashingProviderDHash | OSImageHashingProviderPHash;
  EXPECT_EQ(OSImageHashingProvidersForIds(all),
            (std::vector<const OSAbstractHash*>{&OSDHash::sharedInstance(), &OSPHash::sharedInstance(),
                                                &OSAHash::sharedInstance()}));
  EXPECT_TRUE(OSImageHashingProvidersForIds(OSImageHashingProviderNone).empty());
  EXPECT_EQ(OSImageHashingProviderForId(OSImageHashingProviderNone), nullptr);
  EXPECT_EQ(OSImageHashingProviderForId(static_cast<OSImageHashingProviderId>(8)), nullptr);

  EXPECT_EQ(hashing.hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderAHash), 10);
  EXPECT_EQ(hashing.hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderPHash), 10);
  EXPECT_EQ(hashing.hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderDHash), 9);
  EXPECT_EQ(hashing.hashDistanceSimilarityThresholdWithProvider(all), 9) << "dHash first";
  EXPECT_EQ(hashing.hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderAHash |
                                                                OSImageHashingProviderPHash),
            10);
  EXPECT_EQ(hashing.hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderNone), 0);
  EXPECT_EQ(hashing.hashDistanceSimilarityThreshold(), 9) << "the default provider is dHash";
}

TEST(Facade, ForwardsToTheChosenProviderOrAnswersZero) {
  OSData data = png(scene(64, 48, 4));
  EXPECT_EQ(hashing.hashImageData(&data, OSImageHashingProviderPHash),
            OSPHash::sharedInstance().hashImageData(&data));
  EXPECT_EQ(hashing.hashImageData(&data), OSDHash::sharedInstance().hashImageData(&data));
  EXPECT_EQ(hashing.hashImageData(&data, OSImageHashingProviderNone), 0);
  EXPECT_EQ(hashing.hashImageData(nullptr, OSImageHashingProviderNone), 0) << "no provider, no precondition";
  EXPECT_EQ(hashing.hashDistance(-1, -1, OSImageHashingProviderNone), 0);
  EXPECT_EQ(hashing.hashDistance(1, 6, OSImageHashingProviderPHash), 3);
  EXPECT_EQ(thrownMessage([&] { hashing.hashDistance(-1, 0, OSImageHashingProviderPHash); }),
            "Left hand hash must not be OSHashTypeError");
  OSImage image = scene(30, 30, 1);
  EXPECT_EQ(hashing.hashImage(&image, OSImageHashingProviderAHash),
            OSAHash::sharedInstance().hashImage(&image));
  EXPECT_EQ(hashing.imageSimilarityComparatorForImageForBaseImageData(&data, &data, &data,
                                                                      OSImageHashingProviderNone),
            OSOrderedSame);
}

TEST(Facade, CombinedIdsDemandEveryProviderUnderTheFirstOnesThreshold) {
  OSImage base = scene(240, 150, 11);
  OSData a = png(base), b = png(touched(base, 5));
  auto all = OSImageHashingProviderAHash | OSImageHashingProviderDHash | OSImageHashingProviderPHash;
  bool expected = true;
  for (const OSAbstractHash* p : OSImageHashingProvidersForIds(all))
    expected = expected && p->compareImageData(&a, &b, 9);
  EXPECT_EQ(hashing.compareImageData(&a, &b, all), expected);
  EXPECT_TRUE(hashing.compareImageData(&a, &a, all));
  EXPECT_TRUE(hashing.compareImageData(&a, &b, OSImageHashingProviderNone)) << "no provider says no";
  EXPECT_TRUE(hashing.compareImageData(&a, &b, OSImageHashingQualityNone));
  for (auto quality : {OSImageHashingQualityLow, OSImageHashingQualityMedium, OSImageHashingQualityHigh})
    EXPECT_EQ(hashing.compareImageData(&a, &b, quality),
              hashing.compareImageData(&a, &b, OSImageHashingProviderDHash));
  OSData c = png(scene(240, 150, 12));
  EXPECT_FALSE(hashing.compareImageData(&a, &c, OSHashDistanceType{0}, OSImageHashingProviderPHash));
}

TEST(Sorting, NearerFirstUnhashableLastAndNothingCached) {
  OSImage base = scene(120, 90, 21);
  OSData baseData = png(base);
  // The near-duplicate may hash equal to the base; the sort is stable, so the base stays before it.
  std::vector<OSData> items = {png(scene(120, 90, 30)), OSData{'n', 'o'}, baseData, png(touched(base, 2))};
  auto sorted =
      hashing.sortedArrayUsingImageSimilartyComparator(&baseData, &items, OSImageHashingProviderPHash);
  ASSERT_EQ(sorted.size(), 4U);
  EXPECT_EQ(sorted[0], baseData);
  EXPECT_EQ(sorted[1], items[3]);
  EXPECT_EQ(sorted[2], items[0]);
  EXPECT_EQ(sorted[3], items[1]);

  // A converter form: the items are names, the converter finds their data, and is asked every time.
  std::vector<std::string> names = {"far", "junk", "same", "near"};
  std::map<std::string, OSData> byName{
      {"far", items[0]}, {"junk", items[1]}, {"same", baseData}, {"near", items[3]}};
  int conversions = 0;
  OSImageHashing::OSImageConverter<std::string> converter = [&](const std::string& name) {
    ++conversions;
    return &byName.at(name);
  };
  auto sortedNames = hashing.sortedArrayUsingImageSimilartyComparator(
      &baseData, &names, OSImageHashingProviderPHash, &converter);
  EXPECT_EQ(sortedNames, (std::vector<std::string>{"same", "near", "far", "junk"}));
  EXPECT_GE(conversions, 2 * 3) << "each comparison converts both items";

  OSData junk{'x'};
  auto unchanged = hashing.sortedArrayUsingImageSimilartyComparator(&junk, &names,
                                                                    OSImageHashingProviderPHash, &converter);
  EXPECT_EQ(unchanged, names) << "an unhashable base compares everything equal; the sort is stable";

  EXPECT_EQ(thrownMessage([&] { hashing.sortedArrayUsingImageSimilartyComparator(nullptr, &items); }),
            "Base image must not be null");
  EXPECT_EQ(thrownMessage([&] {
              hashing.sortedArrayUsingImageSimilartyComparator(
                  &baseData, static_cast<const std::vector<OSData>*>(nullptr));
            }),
            "Array must not be null");
  EXPECT_EQ(thrownMessage([&] {
              hashing.sortedArrayUsingImageSimilartyComparator<std::string>(&baseData, &names, nullptr);
            }),
            "Image converter must not be null");
}

}  // namespace
