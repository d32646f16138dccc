// Which parts of a page to read from its pixels: only those whose words the accessibility tree does not have.
// Most pages give all their words through the tree, and reading pixels costs about a second of a core for a
// whole screen, so a page is read from its pixels only where it draws words the tree cannot give: a canvas,
// an embedded object, a picture with no description or one far shorter than its size suggests, or a page that
// gives almost no text at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaron::ocr {

// A rectangle in the screenshot's pixels.
struct Box {
  int x = 0, y = 0, width = 0, height = 0;
  long long area() const { return static_cast<long long>(width) * height; }
  bool empty() const { return width <= 0 || height <= 0; }
  Box intersection(const Box& other) const;
  bool contains(const Box& other) const;
  bool operator==(const Box&) const = default;
};

enum class PartKind { canvas, image, embedded, password };

// A part of the page as its accessibility tree shows it.
struct PagePart {
  PartKind kind = PartKind::image;
  Box box;
  std::size_t descriptionCharacters = 0;  // an image's alternative text, in characters
};

struct PageLayout {
  Box page;                        // the page's own area in the screenshot (no browser toolbars)
  std::size_t textCharacters = 0;  // the words the tree gave, in characters
  std::vector<PagePart> parts;
};

// Regions too small to hold a line of words are left out: an icon has nothing to read.
inline constexpr int minRegionWidth = 48;
inline constexpr int minRegionHeight = 16;
// A picture's description is taken as covering its words when it has a character per this many pixels.
inline constexpr long long pixelsPerDescribedCharacter = 4000;
// A page whose tree gives fewer characters than this is read whole.
inline constexpr std::size_t almostNoText = 200;
// At most this many regions of a page, the largest first.
inline constexpr std::size_t maxRegions = 8;

// The regions to read, inside the page, none overlapping a password field, none inside another, largest
// first.
std::vector<Box> regionsToRead(const PageLayout& layout);

// Whether a region's pixels (4 bytes a pixel, rows `stride` bytes apart) may hold words: words are drawn on a
// plain ground, so one colour covers much of a region that holds them (a chart, a whiteboard, a notice),
// while a photograph or a map spreads over many. Reading a photograph costs as much as reading words and
// finds none.
bool mayHoldWords(const std::uint8_t* rgba, int width, int height, int stride);
// The share of a region that its commonest colour must cover.
inline constexpr double plainGroundShare = 0.35;

}  // namespace tessaron::ocr
