// OSImageHashing: perceptual image hashes (average, difference and DCT), comparison, sorting by similarity
// and an all-pairs similarity search. Self-contained: it depends on no other part of the application.
//
// Inputs are encoded image data (PNG of every colour type, bit depth and interlacing; TIFF) or in-memory
// images (8-bit RGBA pixels). Every hash starts from a tiny canvas: the whole image, premultiplied by alpha
// and stretched (never cropped) to W x H by exact area averaging, read as grey = (R + G + B) / 3.0.
//
// Errors. An image that cannot be hashed (bytes that do not decode, a size beyond the decoding limits) gives
// the hash OSHashTypeError (-1), never an exception. A broken precondition (an absent input) and a call to an
// abstract operation throw OSImageHashingException carrying a fixed message, for example
// "Image data must not be null".
//
// Threads. Everything may be called from any thread at once: providers and the facade hold no mutable state,
// and the shared tables are built once, thread-safely.
//
// Names keep the library's keyword style: an operation called hashImageData:withProviderId: elsewhere is
// hashImageData(data, providerId) here; absent inputs are null pointers or empty callables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------------------
// Basic types

// A hash: 64 bits used as a bit set (bit k has the value 2^k). -1, all bits set, is reserved as the error.
using OSHashType = std::int64_t;
inline constexpr OSHashType OSHashTypeError = -1;

// The number of bits in which two hashes differ: 0 to 64.
using OSHashDistanceType = std::int64_t;

// Encoded image data (a PNG or TIFF file's bytes).
using OSData = std::vector<std::uint8_t>;

// The one exception type of the library: a broken precondition or an abstract call, with its fixed message.
class OSImageHashingException : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Provider IDs are bit flags, so one value may name a set of providers.
enum OSImageHashingProviderId : std::uint16_t {
  OSImageHashingProviderNone = 0,
  OSImageHashingProviderAHash = 1,
  OSImageHashingProviderDHash = 2,
  OSImageHashingProviderPHash = 4,
};
constexpr OSImageHashingProviderId operator|(OSImageHashingProviderId a, OSImageHashingProviderId b) {
  return static_cast<OSImageHashingProviderId>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
}

enum OSImageHashingQuality : std::uint16_t {
  OSImageHashingQualityLow = 0,
  OSImageHashingQualityMedium = 1,
  OSImageHashingQualityHigh = 2,
  OSImageHashingQualityNone = 3,
};

// The result of a comparator: -1 ascending (left first), 0 same, +1 descending.
enum OSComparisonResult : int {
  OSOrderedAscending = -1,
  OSOrderedSame = 0,
  OSOrderedDescending = 1,
};

// ---------------------------------------------------------------------------------------------------------
// Images and canvases

// Decoding limits: data describing a larger image yields no canvas (and the error hash) before any pixel
// memory is allocated, so a file claiming 100000 x 100000 pixels costs nothing.
struct OSImageDecodingLimits {
  std::uint32_t maxWidth = 16384;
  std::uint32_t maxHeight = 16384;
  std::uint64_t maxPixels = 40'000'000;  // about 160 MB of RGBA at most
};
// The limits in force for the whole process (the defaults above until changed).
OSImageDecodingLimits OSImageDecodingLimitsGet();
void OSImageDecodingLimitsSet(const OSImageDecodingLimits& limits);

// An in-memory image: 8-bit RGBA pixels, alpha not premultiplied, rows top to bottom, `stride` bytes apart.
class OSImage {
 public:
  OSImage() = default;
  // Takes the pixels as they are; throws OSImageHashingException when the buffer is too small for the size.
  OSImage(std::uint32_t width, std::uint32_t height, std::size_t stride, std::vector<std::uint8_t> pixels);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::size_t stride() const { return stride_; }
  const std::vector<std::uint8_t>& pixels() const { return pixels_; }
  bool empty() const { return width_ == 0 || height_ == 0; }
  // Hands the pixel buffer back to the caller; the image is empty afterwards.
  std::vector<std::uint8_t> takePixels();

 private:
  std::uint32_t width_ = 0, height_ = 0;
  std::size_t stride_ = 0;
  std::vector<std::uint8_t> pixels_;
};

// Decodes PNG or TIFF data into an image (the first image of a multi-image file); none when it does not
// decode or exceeds the decoding limits.
std::optional<OSImage> OSImageFromData(const OSData& data);

// The encoded data of an in-memory image: TIFF, 8-bit RGBA with associated (premultiplied) alpha. Empty for
// an empty image.
OSData dataRepresentation(const OSImage& image);

// The canvas a provider reads: W x H pixels, premultiplied RGBA, rows `stride` bytes apart.
struct OSBitmap {
  std::uint32_t width = 0, height = 0;
  std::size_t stride = 0;
  std::vector<std::uint8_t> bytes;  // stride * height
};

// Row stride of a canvas: 32 bytes for width 8 (packed), else 4 * width rounded up to a multiple of 64.
std::size_t OSBitmapStrideForWidth(std::uint32_t width);

enum class OSImageInterpolation { defaultQuality = 0, none = 1, low = 2, high = 3, medium = 4 };

// Redraws the whole image stretched into a W x H canvas. Every quality but `none` (nearest sample) averages
// the exact area each canvas pixel covers.
OSBitmap imageRepFrom(const OSImage& image, std::uint32_t width, std::uint32_t height,
                      OSImageInterpolation interpolation);

// The canvas bytes (stride x H, a fresh copy) of the encoded image redrawn at W x H with high interpolation;
// none when the data does not decode.
std::optional<std::vector<std::uint8_t>> RGBABitmapDataForResizedImageWithWidth(const OSData& data,
                                                                                std::uint64_t width,
                                                                                std::uint64_t height);
// The same for an in-memory image (what its TIFF representation would give, without encoding it); none for an
// empty image.
std::optional<std::vector<std::uint8_t>> RGBABitmapDataForResizedImageWithWidth(const OSImage& image,
                                                                                std::uint64_t width,
                                                                                std::uint64_t height);

// The size in bytes of the bundle's resource (bundle/Contents/Resources/fileName); 0 when it or its
// attributes cannot be found.
std::uint64_t fileSizeOfElementInBundle(const std::string& fileName, const std::filesystem::path& bundle);

// ---------------------------------------------------------------------------------------------------------
// Providers

// What every provider, and the facade, offers.
class OSImageHashingProvider {
 public:
  virtual ~OSImageHashingProvider() = default;
  // The hash of the image's data ("Image must not be null").
  virtual OSHashType hashImage(const OSImage* image) const = 0;
  // The hash of encoded data, or OSHashTypeError when it yields no canvas ("Image data must not be null").
  virtual OSHashType hashImageData(const OSData* data) const = 0;
  // Bits in which the hashes differ; neither may be OSHashTypeError.
  virtual OSHashDistanceType hashDistance(OSHashType leftHand, OSHashType rightHand) const = 0;
  // Distances strictly below this count as similar.
  virtual OSHashDistanceType hashDistanceSimilarityThreshold() const = 0;
  // Whether both images hash and their distance is below the provider's own threshold.
  virtual bool compareImageData(const OSData* leftHand, const OSData* rightHand) const = 0;
  // Whether both images hash and their distance is below `threshold`.
  virtual bool compareImageData(const OSData* leftHand, const OSData* rightHand,
                                OSHashDistanceType threshold) const = 0;
  // Orders left and right by closeness to the base; unhashable ones last; 0 when the base does not hash.
  virtual OSComparisonResult imageSimilarityComparatorForImageForBaseImageData(
      const OSData* base, const OSData* leftHand, const OSData* rightHand) const = 0;
};

// Everything but the hash and the threshold, shared by the three providers.
class OSAbstractHash : public OSImageHashingProvider {
 public:
  OSHashType hashImage(const OSImage* image) const override;
  OSHashType hashImageData(const OSData* data) const override;  // abstract: throws "Abstract method called."
  OSHashDistanceType hashDistanceSimilarityThreshold() const override;  // abstract: throws
  OSHashDistanceType hashDistance(OSHashType leftHand, OSHashType rightHand) const override;
  bool compareImageData(const OSData* leftHand, const OSData* rightHand) const override;
  bool compareImageData(const OSData* leftHand, const OSData* rightHand,
                        OSHashDistanceType threshold) const override;
  OSComparisonResult imageSimilarityComparatorForImageForBaseImageData(
      const OSData* base, const OSData* leftHand, const OSData* rightHand) const override;
  static const OSAbstractHash& sharedInstance();  // abstract: throws "Abstract method called."

  // The hash of a canvas this provider prepared; what hashImageData and hashImage share.
  virtual OSHashType hashCanvas(const OSBitmap& canvas) const;
  // The canvas side this provider hashes (8, 9 or 32).
  virtual std::uint32_t canvasSide() const;
};

// Average hash: 8 x 8 canvas, each pixel against the mean grey; threshold 10.
class OSAHash final : public OSAbstractHash {
 public:
  OSHashType hashImageData(const OSData* data) const override;
  OSHashDistanceType hashDistanceSimilarityThreshold() const override { return 10; }
  static const OSAHash& sharedInstance();
  OSHashType hashCanvas(const OSBitmap& canvas) const override;
  std::uint32_t canvasSide() const override { return 8; }
};

// Difference hash: 9 x 9 canvas, each pixel against its right-hand neighbour; threshold 9.
class OSDHash final : public OSAbstractHash {
 public:
  OSHashType hashImageData(const OSData* data) const override;
  OSHashDistanceType hashDistanceSimilarityThreshold() const override { return 9; }
  static const OSDHash& sharedInstance();
  OSHashType hashCanvas(const OSBitmap& canvas) const override;
  std::uint32_t canvasSide() const override { return 9; }
};

// DCT hash: 32 x 32 canvas, the 7 x 7 low frequencies (row and column 0 left out) against the mean of the
// 63 non-constant coefficients of the top-left 8 x 8 block; threshold 10. Bits 0-8, 16, 24, 32, 40, 48 and 56
// are always 0, so a DCT hash never equals OSHashTypeError.
class OSPHash final : public OSAbstractHash {
 public:
  OSHashType hashImageData(const OSData* data) const override;
  OSHashDistanceType hashDistanceSimilarityThreshold() const override { return 10; }
  static const OSPHash& sharedInstance();
  OSHashType hashCanvas(const OSBitmap& canvas) const override;
  std::uint32_t canvasSide() const override { return 32; }
};

// ---------------------------------------------------------------------------------------------------------
// Names, IDs and qualities

// "aHash" 1, "dHash" 2, "pHash" 4, any other text 0 (exact, case-sensitive). Null: throws
// "Image hashing provider name must not be null".
OSImageHashingProviderId OSImageHashingProviderIdFromString(const std::string* name);
// "Low" 0, "Medium" 1, "High" 2, any other text 3. Null: throws "Image hashing quality name must not be
// null".
OSImageHashingQuality OSImageHashingQualityFromString(const std::string* name);
// 0 "None", 1 "aHash", 2 "dHash", 4 "pHash"; none for every other value.
std::optional<std::string> OSImageHashingProviderIdName(OSImageHashingProviderId providerId);
// 0 "Low", 1 "Medium", 2 "High", 3 "None"; none above 3.
std::optional<std::string> OSImageHashingQualityName(OSImageHashingQuality quality);
std::vector<OSImageHashingProviderId> OSImageHashingAllProviderIds();  // 1, 2, 4
std::vector<std::string> OSImageHashingAllProviderNames();             // "aHash", "dHash", "pHash"
std::vector<OSImageHashingQuality> OSImageHashingAllQualities();       // 0, 1, 2
std::vector<std::string> OSImageHashingAllQualityNames();              // "Low", "Medium", "High"
OSImageHashingProviderId OSImageHashingDefaultProviderId();            // dHash
// None for quality 3, dHash for every other value.
OSImageHashingProviderId OSImageHashingProviderIdForQuality(OSImageHashingQuality quality);
// The shared providers whose bits are set, in the fixed order dHash, pHash, aHash; empty for 0.
std::vector<const OSAbstractHash*> OSImageHashingProvidersForIds(OSImageHashingProviderId providerIds);
// The first of those, or null: dHash wins over pHash, pHash over aHash.
const OSAbstractHash* OSImageHashingProviderForId(OSImageHashingProviderId providerId);

// ---------------------------------------------------------------------------------------------------------
// Pairs and the similarity search

// A pair of strong references, either of which may be absent. It serves as an input image (identifier, data),
// a found pair (identifier, identifier) and a generic pair of array items.
template <class First, class Second>
class OSTuple {
 public:
  OSTuple(std::shared_ptr<First> firstValue, std::shared_ptr<Second> secondValue)
      : first(std::move(firstValue)), second(std::move(secondValue)) {}
  static std::shared_ptr<OSTuple> tupleWithFirst(std::shared_ptr<First> firstValue,
                                                 std::shared_ptr<Second> secondValue) {
    return std::make_shared<OSTuple>(std::move(firstValue), std::move(secondValue));
  }
  // "<OSTuple: 0x…, first: …, second: …>"
  std::string description() const;

  std::shared_ptr<First> first;
  std::shared_ptr<Second> second;
};

using OSImageIdentifier = std::string;
using OSImageTuple = OSTuple<const OSImageIdentifier, const OSData>;            // an input image
using OSPairTuple = OSTuple<const OSImageIdentifier, const OSImageIdentifier>;  // a found pair

struct OSHashResultTuple {
  std::shared_ptr<const OSImageIdentifier> first;
  OSHashType hashResult = OSHashTypeError;
};

// Returns the next input, or null when the stream is exhausted. Called on the searching thread only.
using OSImageStreamHandler = std::function<std::shared_ptr<OSImageTuple>()>;
// Receives one found pair; called from several threads at once.
using OSResultHandler =
    std::function<void(const OSImageIdentifier& leftHand, const OSImageIdentifier& rightHand)>;
// Identifier to the identifiers grouped under it.
using OSSimilarImagesGroups = std::map<OSImageIdentifier, std::set<OSImageIdentifier>>;

class OSSimilaritySearch {
 public:
  static const OSSimilaritySearch& sharedInstance();

  // Hashes every streamed image (at most as many at once as there are processors; unhashable and data-less
  // inputs left out), then reports every pair at distance <= threshold. Returns after the last report.
  // Empty handlers throw "Image stream handler must not be nil" / "Result handler must not be nil".
  void similarImagesWithProvider(OSImageHashingProviderId providerId, OSHashDistanceType threshold,
                                 const OSImageStreamHandler& imageStreamHandler,
                                 const OSResultHandler& resultHandler) const;
  // The same, collecting the pairs.
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithProvider(
      OSImageHashingProviderId providerId, OSHashDistanceType threshold,
      const OSImageStreamHandler& imageStreamHandler) const;
  // The same over an array of inputs, in index order ("Image tuple array must not be nil").
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithProvider(
      OSImageHashingProviderId providerId, OSHashDistanceType threshold,
      const std::vector<std::shared_ptr<OSImageTuple>>* images) const;
  // Folds pairs into groups under the first identifier seen ("Similar image tuple array must not be nil").
  OSSimilarImagesGroups dictionaryFromSimilarImagesResult(
      const std::vector<std::shared_ptr<OSPairTuple>>* similarImageTuples) const;

  // The pair scan over precomputed hashes, exposed for callers that keep hashes themselves: reports every
  // pair (i < j by position) at distance <= threshold, from several threads at once.
  static void scanPairs(const std::vector<OSHashType>& hashes, OSHashDistanceType threshold,
                        const std::function<void(std::size_t, std::size_t)>& report);
};

// Visits every unordered pair of the items once, earlier item first; different first items run in parallel.
template <class T, class Block>
void enumeratePairCombinationsUsingBlock(const std::vector<T>& items, const Block& block);
// One tuple (earlier, later) per unordered pair, in the order the parallel visits produce.
template <class T>
std::vector<std::shared_ptr<OSTuple<const T, const T>>> arrayWithPairCombinations(
    const std::vector<T>& items);

// ---------------------------------------------------------------------------------------------------------
// The facade: providers by ID or quality, with dHash as the default.

class OSImageHashing final : public OSImageHashingProvider {
 public:
  static const OSImageHashing& sharedInstance();

  // The provider interface, with the default provider.
  OSHashType hashImage(const OSImage* image) const override;
  OSHashType hashImageData(const OSData* data) const override;
  OSHashDistanceType hashDistance(OSHashType leftHand, OSHashType rightHand) const override;
  OSHashDistanceType hashDistanceSimilarityThreshold() const override;
  bool compareImageData(const OSData* leftHand, const OSData* rightHand) const override;
  bool compareImageData(const OSData* leftHand, const OSData* rightHand,
                        OSHashDistanceType threshold) const override;
  OSComparisonResult imageSimilarityComparatorForImageForBaseImageData(
      const OSData* base, const OSData* leftHand, const OSData* rightHand) const override;

  // By provider ID: the provider OSImageHashingProviderForId gives; with none, every answer is 0 (hash 0,
  // distance 0, threshold 0, comparator 0).
  OSHashType hashImage(const OSImage* image, OSImageHashingProviderId providerId) const;
  OSHashType hashImageData(const OSData* data, OSImageHashingProviderId providerId) const;
  OSHashDistanceType hashDistance(OSHashType leftHand, OSHashType rightHand,
                                  OSImageHashingProviderId providerId) const;
  OSHashDistanceType hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderId providerId) const;
  OSComparisonResult imageSimilarityComparatorForImageForBaseImageData(
      const OSData* base, const OSData* leftHand, const OSData* rightHand,
      OSImageHashingProviderId providerId) const;
  // Similar under the ID's provider's threshold, by every provider the ID names (true when it names none).
  bool compareImageData(const OSData* leftHand, const OSData* rightHand,
                        OSImageHashingProviderId providerId) const;
  bool compareImageData(const OSData* leftHand, const OSData* rightHand, OSHashDistanceType threshold,
                        OSImageHashingProviderId providerId) const;
  bool compareImageData(const OSData* leftHand, const OSData* rightHand, OSImageHashingQuality quality) const;

  // Sorting by similarity to a base image: nearer first, unhashable items last; nothing cached between
  // comparisons. Null base, array or converter throw "Base image must not be null", "Array must not be null",
  // "Image converter must not be null". Without a converter the items are image data themselves.
  template <class T>
  using OSImageConverter = std::function<const OSData*(const T&)>;
  template <class T>
  std::vector<T> sortedArrayUsingImageSimilartyComparator(const OSData* baseImage,
                                                          const std::vector<T>* array,
                                                          OSImageHashingProviderId providerId,
                                                          const OSImageConverter<T>* imageConverter) const;
  template <class T>
  std::vector<T> sortedArrayUsingImageSimilartyComparator(const OSData* baseImage,
                                                          const std::vector<T>* array,
                                                          const OSImageConverter<T>* imageConverter) const {
    return sortedArrayUsingImageSimilartyComparator(baseImage, array, OSImageHashingDefaultProviderId(),
                                                    imageConverter);
  }
  template <class T>
  std::vector<T> sortedArrayUsingImageSimilartyComparator(const OSData* baseImage,
                                                          const std::vector<T>* array,
                                                          OSImageHashingQuality quality,
                                                          const OSImageConverter<T>* imageConverter) const {
    return sortedArrayUsingImageSimilartyComparator(
        baseImage, array, OSImageHashingProviderIdForQuality(quality), imageConverter);
  }
  std::vector<OSData> sortedArrayUsingImageSimilartyComparator(const OSData* baseImage,
                                                               const std::vector<OSData>* array) const;
  std::vector<OSData> sortedArrayUsingImageSimilartyComparator(const OSData* baseImage,
                                                               const std::vector<OSData>* array,
                                                               OSImageHashingProviderId providerId) const;
  std::vector<OSData> sortedArrayUsingImageSimilartyComparator(const OSData* baseImage,
                                                               const std::vector<OSData>* array,
                                                               OSImageHashingQuality quality) const;

  // The similarity search of OSSimilaritySearch, by provider ID or quality, with the provider's threshold
  // where none is given.
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithProvider(
      OSImageHashingProviderId providerId, OSHashDistanceType threshold,
      const OSImageStreamHandler& imageStreamHandler) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithProvider(
      OSImageHashingProviderId providerId, OSHashDistanceType threshold,
      const std::vector<std::shared_ptr<OSImageTuple>>* images) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithProvider(
      OSImageHashingProviderId providerId, const OSImageStreamHandler& imageStreamHandler) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithProvider(
      OSImageHashingProviderId providerId, const std::vector<std::shared_ptr<OSImageTuple>>* images) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithHashingQuality(
      OSImageHashingQuality quality, OSHashDistanceType threshold,
      const OSImageStreamHandler& imageStreamHandler) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithHashingQuality(
      OSImageHashingQuality quality, OSHashDistanceType threshold,
      const std::vector<std::shared_ptr<OSImageTuple>>* images) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithHashingQuality(
      OSImageHashingQuality quality, const OSImageStreamHandler& imageStreamHandler) const;
  std::vector<std::shared_ptr<OSPairTuple>> similarImagesWithHashingQuality(
      OSImageHashingQuality quality, const std::vector<std::shared_ptr<OSImageTuple>>* images) const;
  OSSimilarImagesGroups dictionaryFromSimilarImagesResult(
      const std::vector<std::shared_ptr<OSPairTuple>>* similarImageTuples) const;
};

#include "imagehash/os_image_hashing_templates.h"
