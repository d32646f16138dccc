#include "ocr/regions.h"

#include <algorithm>

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

}  // namespace tessaron::ocr
