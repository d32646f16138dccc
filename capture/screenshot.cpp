// Screenshots and the duplicate filter.
//
// The decision is that of comparing the PNG files: DCT-hash distance to the last saved image below the
// threshold means a near-duplicate. PNG is lossless, so the hash of the captured pixels equals the hash of
// their PNG file; the hash of the saved image is kept with the record. An unchanged window therefore costs
// one canvas and one DCT, with no PNG encoded or decoded; PNG is encoded only for a screenshot that is saved.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "capture/log_lines.h"
#include "imagehash/png.h"

namespace tessaron {

namespace {

const OSImageHashing& sharedHasher() {
  return OSImageHashing::sharedInstance();
}

OSHashDistanceType similarityThreshold() {
  static const OSHashDistanceType threshold =
      sharedHasher().hashDistanceSimilarityThresholdWithProvider(OSImageHashingProviderPHash);
  return threshold;
}

}  // namespace

bool isSimilarHash(OSHashType previous, OSHashType current) {
  // A hash the library could not compute cannot be compared (its distance is refused): such an image is
  // never a duplicate, so it is saved rather than silently dropped.
  if (previous == OSHashTypeError || current == OSHashTypeError) return false;
  const OSHashDistanceType distance =
      sharedHasher().hashDistance(previous, current, OSImageHashingProviderPHash);
  const OSHashDistanceType threshold = similarityThreshold();
  log::utils().log("Hashed distance: %lld, Threshold: %lld", static_cast<long long>(distance),
                   static_cast<long long>(threshold));
  return distance < threshold;
}

bool isSimilarImage(const OSData& previous, const OSData& current) {
  const OSHashType previousHash = sharedHasher().hashImageData(&previous, OSImageHashingProviderPHash);
  const OSHashType currentHash = sharedHasher().hashImageData(&current, OSImageHashingProviderPHash);
  return isSimilarHash(previousHash, currentHash);
}

bool isEncodable(const platform::RgbaImage& image) {
  return !image.empty() && image.stride >= std::size_t{image.width} * 4 &&
         image.pixels.size() >= image.stride * (image.height - 1) + std::size_t{image.width} * 4;
}

OSData encodePng(const platform::RgbaImage& image) {
  if (!isEncodable(image)) return {};
  return osimagehashing::encodePng(image.width, image.height, image.stride, image.pixels.data());
}

bool captureScreenshot(Engine& engine, TessaronWindow& record, const std::filesystem::path& destination,
                       bool newPage) {
  if (!record.window) {
    log::capturer().error("Failed to fetch screenshot.");
    return false;
  }
  Engine::TimedPart grab(engine, "screenshot");
  auto shot = engine.platform().windows().captureWindow(*record.window);
  grab.stop();
  if (!shot || shot.value().empty()) {
    log::capturer().error("Failed to fetch screenshot.");
    return false;
  }
  platform::RgbaImage& image = shot.value();
  // Checked before hashing, so that an image that cannot be encoded is reported at the same point as when
  // encoding came first.
  if (!isEncodable(image)) {
    log::capturer().error(lines::notEncodable);
    return false;
  }
  auto hashPixels = [&] {
    OSImage view(image.width, image.height, image.stride, std::move(image.pixels));
    OSHashType hash = sharedHasher().hashImage(&view, OSImageHashingProviderPHash);
    image.pixels = view.takePixels();
    return hash;
  };
  std::optional<OSHashType> currentHash;
  if (!record.prevImage.empty() && !newPage) {
    Engine::TimedPart hashing(engine, "hash");
    currentHash = hashPixels();
    const OSHashType previousHash =
        record.prevImageHash ? *record.prevImageHash
                             : sharedHasher().hashImageData(&record.prevImage, OSImageHashingProviderPHash);
    if (isSimilarHash(previousHash, *currentHash)) {
      log::capturer().log("Close to duplicate image found, won't archive!");
      return false;
    }
  }
  OSData png = encodePng(image);
  if (png.empty()) {
    log::capturer().error(lines::notEncodable);
    return false;
  }
  if (auto error = archive::writeArchiveFile(
          destination, std::string_view(reinterpret_cast<const char*>(png.data()), png.size()))) {
    log::capturer().error("Error saving screenshot: %s", *error);
    return false;
  }
  record.prevImageHash = currentHash ? *currentHash : hashPixels();
  record.prevImage = std::move(png);
  log::capturer().log("Screenshot saved at: %s", destination.string());
  return true;
}

}  // namespace tessaron
