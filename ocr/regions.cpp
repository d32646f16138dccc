#include "ocr/regions.h"

#include <algorithm>
#include <cmath>

namespace tessaron::ocr {

Box Box::intersection(const Box& other) const {
  const int left = std::max(x, other.x), top = std::max(y, other.y);
  const int right = std::min(x + width, other.x + other.width);
  const int bottom = std::min(y + height, other.y + other.height);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

bool Box::contains(const Box& other) const {
  return other.x >= x && other.y >= y && other.x + other.width <= x + width &&
         other.y + other.height <= y + height;
}

namespace {

bool wordsOnlyInPixels(const PagePart& part) {
  switch (part.kind) {
    case PartKind::canvas:
    case PartKind::embedded:
      return true;
    case PartKind::image:
      return static_cast<long long>(part.descriptionCharacters) * pixelsPerDescribedCharacter <
             part.box.area();
    case PartKind::password:
      return false;
  }
  return false;
}

bool bigEnough(const Box& box) {
  return box.width >= minRegionWidth && box.height >= minRegionHeight;
}

}  // namespace

std::vector<Box> regionsToRead(const PageLayout& layout) {
  std::vector<Box> passwords;
  for (const auto& part : layout.parts)
    if (part.kind == PartKind::password) passwords.push_back(part.box);
  auto coversPassword = [&](const Box& box) {
    return std::any_of(passwords.begin(), passwords.end(),
                       [&](const Box& password) { return !box.intersection(password).empty(); });
  };

  std::vector<Box> regions;
  if (layout.textCharacters < almostNoText && bigEnough(layout.page)) {
    regions.push_back(layout.page);
  } else {
    for (const auto& part : layout.parts) {
      if (!wordsOnlyInPixels(part)) continue;
      const Box box = part.box.intersection(layout.page);
      if (bigEnough(box)) regions.push_back(box);
    }
  }
  // A password field's pixels are never read, not even as part of a larger region.
  std::erase_if(regions, coversPassword);
  std::sort(regions.begin(), regions.end(), [](const Box& a, const Box& b) { return a.area() > b.area(); });
  std::vector<Box> kept;
  for (const Box& box : regions) {
    if (std::any_of(kept.begin(), kept.end(), [&](const Box& larger) { return larger.contains(box); }))
      continue;
    kept.push_back(box);
    if (kept.size() == maxRegions) break;
  }
  return kept;
}

bool mayHoldWords(const std::uint8_t* rgba, int width, int height, int stride) {
  if (width <= 0 || height <= 0) return false;
  // Colours at 4 bits a channel, from a grid of at most about 10,000 pixels.
  std::vector<std::uint32_t> counts(4096, 0);
  const int step = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(width) * height / 10000.0)));
  std::uint32_t sampled = 0;
  for (int y = 0; y < height; y += step)
    for (int x = 0; x < width; x += step) {
      const std::uint8_t* pixel =
          rgba + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
      ++counts[(pixel[0] >> 4) << 8 | (pixel[1] >> 4) << 4 | (pixel[2] >> 4)];
      ++sampled;
    }
  const std::uint32_t commonest = *std::max_element(counts.begin(), counts.end());
  return commonest >= plainGroundShare * sampled;
}

}  // namespace tessaron::ocr
