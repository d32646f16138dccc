// libFuzzer target: any bytes through every decoder and provider. Must never crash, leak or read out of
// bounds; undecodable data simply gives the error hash.
#include <cstddef>
#include <cstdint>

#include "imagehash/os_image_hashing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static const bool limited = [] {
    // Keep single inputs cheap: the limits themselves are what stops a size bomb.
    OSImageDecodingLimitsSet({.maxWidth = 4096, .maxHeight = 4096, .maxPixels = 4'000'000});
    return true;
  }();
  (void)limited;
  OSData data(bytes, bytes + size);
  const OSHashType p = OSPHash::sharedInstance().hashImageData(&data);
  const OSHashType a = OSAHash::sharedInstance().hashImageData(&data);
  const OSHashType d = OSDHash::sharedInstance().hashImageData(&data);
  // Data that does not decode gives the error hash from every provider (a decodable image may still give
  // all ones from aHash or dHash, never from pHash).
  if (p == OSHashTypeError && (a != OSHashTypeError || d != OSHashTypeError)) __builtin_trap();
  // A PNG decodes to straight-alpha pixels exactly, so hashing them gives the same hash as hashing the data.
  if (size >= 8 && bytes[0] == 0x89 && bytes[1] == 'P') {
    if (auto image = OSImageFromData(data); image && OSPHash::sharedInstance().hashImage(&*image) != p)
      __builtin_trap();
  }
  return 0;
}
