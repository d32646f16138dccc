#include "searchserver/screenshot_hashes.h"
#include "archive/layout.h"

#include "imagehash/os_image_hashing.h"
#include "searchserver/record.h"

namespace tessaron::search {

namespace fs = std::filesystem;

namespace {

// The hash of a screenshot file, or none when it is missing, not a plain file, or cannot be decoded.
std::optional<std::int64_t> screenshotHash(const fs::path& file) {
  ArchiveFile opened(file, maxScreenshotBytes);
  const auto bytes = opened.read<OSData>(maxScreenshotBytes);
  if (!bytes) return std::nullopt;
  try {
    const OSHashType hash = OSPHash::sharedInstance().hashImageData(&*bytes);
    if (hash == OSHashTypeError) return std::nullopt;
    return hash;
  } catch (const OSImageHashingException&) {
    return std::nullopt;
  }
}

}  // namespace

std::size_t ScreenshotHasher::hashSome(Index& index, std::chrono::milliseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  if (!sweeping_) {
    const std::uint64_t generation = index.generation();
    if (started_ && generation == sweptGeneration_) return 0;
    sweeping_ = true;
    sweptGeneration_ = generation;
    // A first sweep looks at everything; later ones at what is newer than all seen so far.
    above_ = started_ ? newestSeen_ : std::numeric_limits<std::int64_t>::min();
    below_ = std::numeric_limits<std::int64_t>::max();
    started_ = true;
  }
  std::size_t settled = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto batch = index.unhashed(above_, below_, 16);
    if (batch.empty()) {
      sweeping_ = false;
      break;
    }
    std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> hashes;
    for (const auto& record : batch) {
      hashes.emplace_back(record.id, screenshotHash(archive_ / (record.recordPath +
                                                                std::string(archive::screenshotExtension))));
      below_ = std::min(below_, record.id);
      newestSeen_ = std::max(newestSeen_, record.id);
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
    index.putImageHashes(hashes);
    settled += hashes.size();
  }
  return settled;
}

}  // namespace tessaron::search
