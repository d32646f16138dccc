// The facade: provider names, IDs and qualities, and every operation by provider ID or quality.
#include "imagehash/image_internal.h"

// ----- names, IDs, qualities

OSImageHashingProviderId OSImageHashingProviderIdFromString(const std::string* name) {
  if (!name) throw OSImageHashingException("Image hashing provider name must not be null");
  if (*name == "aHash") return OSImageHashingProviderAHash;
  if (*name == "dHash") return OSImageHashingProviderDHash;
  if (*name == "pHash") return OSImageHashingProviderPHash;
  return OSImageHashingProviderNone;
}

OSImageHashingQuality OSImageHashingQualityFromString(const std::string* name) {
  if (!name) throw OSImageHashingException("Image hashing quality name must not be null");
  if (*name == "Low") return OSImageHashingQualityLow;
  if (*name == "Medium") return OSImageHashingQualityMedium;
  if (*name == "High") return OSImageHashingQualityHigh;
  return OSImageHashingQualityNone;
}

std::optional<std::string> OSImageHashingProviderIdName(OSImageHashingProviderId providerId) {
  switch (providerId) {
    case OSImageHashingProviderNone:
      return "None";
    case OSImageHashingProviderAHash:
      return "aHash";
    case OSImageHashingProviderDHash:
      return "dHash";
    case OSImageHashingProviderPHash:
      return "pHash";
  }
  return std::nullopt;
}

std::optional<std::string> OSImageHashingQualityName(OSImageHashingQuality quality) {
  switch (quality) {
    case OSImageHashingQualityLow:
      return "Low";
    case OSImageHashingQualityMedium:
      return "Medium";
    case OSImageHashingQualityHigh:
      return "High";
    case OSImageHashingQualityNone:
      return "None";
  }
  return std::nullopt;
}

std::vector<OSImageHashingProviderId> OSImageHashingAllProviderIds() {
  return {OSImageHashingProviderAHash, OSImageHashingProviderDHash, OSImageHashingProviderPHash};
}

std::vector<std::string> OSImageHashingAllProviderNames() {
  std::vector<std::string> names;
  for (auto id : OSImageHashingAllProviderIds())
    names.push_back(*OSImageHashingProviderIdName(id));
  return names;
}

std::vector<OSImageHashingQuality> OSImageHashingAllQualities() {
  return {OSImageHashingQualityLow, OSImageHashingQualityMedium, OSImageHashingQualityHigh};
}

std::vector<std::string> OSImageHashingAllQualityNames() {
  std::vector<std::string> names;
  for (auto quality : OSImageHashingAllQualities())
    names.push_back(*OSImageHashingQualityName(quality));
  return names;
}

OSImageHashingProviderId OSImageHashingDefaultProviderId() {
  return OSImageHashingProviderDHash;
}

OSImageHashingProviderId OSImageHashingProviderIdForQuality(OSImageHashingQuality quality) {
  return quality == OSImageHashingQualityNone ? OSImageHashingProviderNone : OSImageHashingProviderDHash;
}

std::vector<const OSAbstractHash*> OSImageHashingProvidersForIds(OSImageHashingProviderId providerIds) {
  std::vector<const OSAbstractHash*> providers;
  if (providerIds & OSImageHashingProviderDHash) providers.push_back(&OSDHash::sharedInstance());
  if (providerIds & OSImageHashingProviderPHash) providers.push_back(&OSPHash::sharedInstance());
  if (providerIds & OSImageHashingProviderAHash) providers.push_back(&OSAHash::sharedInstance());
  return providers;
}

const OSAbstractHash* OSImageHashingProviderForId(OSImageHashingProviderId providerId) {
  auto providers = OSImageHashingProvidersForIds(providerId);
  return providers.empty() ? nullptr : providers.front();
}

// ----- the facade

const OSImageHashing& OSImageHashing::sharedInstance() {
  static const OSImageHashing instance;
  return instance;
}

OSHashType OSImageHashing::hashImage(const OSImage* image) const {
  return hashImage(image, OSImageHashingDefaultProviderId());
}
OSHashType OSImageHashing::hashImageData(const OSData* data) const {
  return hashImageData(data, OSImageHashingDefaultProviderId());
}
OSHashDistanceType OSImageHashing::hashDistance(OSHashType leftHand, OSHashType rightHand) const {
  return hashDistance(leftHand, rightHand, OSImageHashingDefaultProviderId());
}
OSHashDistanceType OSImageHashing::hashDistanceSimilarityThreshold() const {
  return hashDistanceSimilarityThresholdWithProvider(OSImageHashingDefaultProviderId());
}
bool OSImageHashing::compareImageData(const OSData* leftHand, const OSData* rightHand) const {
  return compareImageData(leftHand, rightHand, OSImageHashingDefaultProviderId());
}
bool OSImageHashing::compareImageData(const OSData* leftHand, const OSData* rightHand,
                                      OSHashDistanceType threshold) const {
  return compareImageData(leftHand, rightHand, threshold, OSImageHashingDefaultProviderId());
}
OSComparisonResult OSImageHashing::imageSimilarityComparatorForImageForBaseImageData(
    const OSData* base, const OSData* leftHand, const OSData* rightHand) const {
  return imageSimilarityComparatorForImageForBaseImageData(base, leftHand, rightHand,
                                                           OSImageHashingDefaultProviderId());
}

OSHashType OSImageHashing::hashImage(const OSImage* image, OSImageHashingProviderId providerId) const {
  const OSAbstractHash* provider = OSImageHashingProviderForId(providerId);
  return provider ? provider->hashImage(image) : 0;
}

OSHashType OSImageHashing::hashImageData(const OSData* data, OSImageHashingProviderId providerId) const {
  const OSAbstractHash* provider = OSImageHashingProviderForId(providerId);
  return provider ? provider->hashImageData(data) : 0;
}

OSHashDistanceType OSImageHashing::hashDistance(OSHashType leftHand, OSHashType rightHand,
                                                OSImageHashingProviderId providerId) const {
  const OSAbstractHash* provider = OSImageHashingProviderForId(providerId);
  return provider ? provider->hashDistance(leftHand, rightHand) : 0;
}

OSHashDistanceType OSImageHashing::hashDistanceSimilarityThresholdWithProvider(
    OSImageHashingProviderId providerId) const {
  const OSAbstractHash* provider = OSImageHashingProviderForId(providerId);
  return provider ? provider->hashDistanceSimilarityThreshold() : 0;
}

OSComparisonResult OSImageHashing::imageSimilarityComparatorForImageForBaseImageData(
    const OSData* base, const OSData* leftHand, const OSData* rightHand,
    OSImageHashingProviderId providerId) const {
  const OSAbstractHash* provider = OSImageHashingProviderForId(providerId);
  return provider ? provider->imageSimilarityComparatorForImageForBaseImageData(base, leftHand, rightHand)
                  : OSOrderedSame;
}

bool OSImageHashing::compareImageData(const OSData* leftHand, const OSData* rightHand,
                                      OSImageHashingProviderId providerId) const {
  return compareImageData(leftHand, rightHand, hashDistanceSimilarityThresholdWithProvider(providerId),
                          providerId);
}

bool OSImageHashing::compareImageData(const OSData* leftHand, const OSData* rightHand,
                                      OSHashDistanceType threshold,
                                      OSImageHashingProviderId providerId) const {
  for (const OSAbstractHash* provider : OSImageHashingProvidersForIds(providerId))
    if (!provider->compareImageData(leftHand, rightHand, threshold)) return false;
  return true;
}

bool OSImageHashing::compareImageData(const OSData* leftHand, const OSData* rightHand,
                                      OSImageHashingQuality quality) const {
  return compareImageData(leftHand, rightHand, OSImageHashingProviderIdForQuality(quality));
}

namespace {
const OSImageHashing::OSImageConverter<OSData> identityConverter = [](const OSData& item) { return &item; };
}  // namespace

std::vector<OSData> OSImageHashing::sortedArrayUsingImageSimilartyComparator(
    const OSData* baseImage, const std::vector<OSData>* array) const {
  return sortedArrayUsingImageSimilartyComparator(baseImage, array, &identityConverter);
}

std::vector<OSData> OSImageHashing::sortedArrayUsingImageSimilartyComparator(
    const OSData* baseImage, const std::vector<OSData>* array, OSImageHashingProviderId providerId) const {
  return sortedArrayUsingImageSimilartyComparator(baseImage, array, providerId, &identityConverter);
}

std::vector<OSData> OSImageHashing::sortedArrayUsingImageSimilartyComparator(
    const OSData* baseImage, const std::vector<OSData>* array, OSImageHashingQuality quality) const {
  return sortedArrayUsingImageSimilartyComparator(baseImage, array, quality, &identityConverter);
}

// ----- the search, by provider ID or quality

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithProvider(
    OSImageHashingProviderId providerId, OSHashDistanceType threshold,
    const OSImageStreamHandler& imageStreamHandler) const {
  return OSSimilaritySearch::sharedInstance().similarImagesWithProvider(providerId, threshold,
                                                                        imageStreamHandler);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithProvider(
    OSImageHashingProviderId providerId, OSHashDistanceType threshold,
    const std::vector<std::shared_ptr<OSImageTuple>>* images) const {
  return OSSimilaritySearch::sharedInstance().similarImagesWithProvider(providerId, threshold, images);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithProvider(
    OSImageHashingProviderId providerId, const OSImageStreamHandler& imageStreamHandler) const {
  return similarImagesWithProvider(providerId, hashDistanceSimilarityThresholdWithProvider(providerId),
                                   imageStreamHandler);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithProvider(
    OSImageHashingProviderId providerId, const std::vector<std::shared_ptr<OSImageTuple>>* images) const {
  return similarImagesWithProvider(providerId, hashDistanceSimilarityThresholdWithProvider(providerId),
                                   images);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithHashingQuality(
    OSImageHashingQuality quality, OSHashDistanceType threshold,
    const OSImageStreamHandler& imageStreamHandler) const {
  return similarImagesWithProvider(OSImageHashingProviderIdForQuality(quality), threshold,
                                   imageStreamHandler);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithHashingQuality(
    OSImageHashingQuality quality, OSHashDistanceType threshold,
    const std::vector<std::shared_ptr<OSImageTuple>>* images) const {
  return similarImagesWithProvider(OSImageHashingProviderIdForQuality(quality), threshold, images);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithHashingQuality(
    OSImageHashingQuality quality, const OSImageStreamHandler& imageStreamHandler) const {
  return similarImagesWithProvider(OSImageHashingProviderIdForQuality(quality), imageStreamHandler);
}

std::vector<std::shared_ptr<OSPairTuple>> OSImageHashing::similarImagesWithHashingQuality(
    OSImageHashingQuality quality, const std::vector<std::shared_ptr<OSImageTuple>>* images) const {
  return similarImagesWithProvider(OSImageHashingProviderIdForQuality(quality), images);
}

OSSimilarImagesGroups OSImageHashing::dictionaryFromSimilarImagesResult(
    const std::vector<std::shared_ptr<OSPairTuple>>* similarImageTuples) const {
  return OSSimilaritySearch::sharedInstance().dictionaryFromSimilarImagesResult(similarImageTuples);
}
