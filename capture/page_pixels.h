// Words that only a page's pixels carry (a canvas, a picture of text): read from the saved screenshot, on a
// worker of their own, and added to the record's text once read. Only the parts of the page whose words the
// accessibility tree does not have are read, and only for a record with the page's full text.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "imagehash/os_image_hashing.h"
#include "ocr/regions.h"
#include "platform/pages.h"

namespace tessaron {

class Engine;

// The page's layout in the screenshot's pixels: the window's frame is `windowWidth` wide in the layout's
// units, the screenshot `imageWidth` x `imageHeight` pixels.
ocr::PageLayout layoutInPixels(const platform::PageLayout& layout, double windowWidth,
                               std::uint32_t imageWidth, std::uint32_t imageHeight,
                               std::size_t textCharacters);

// Reads the words of the page's parts that the tree lacks from `screenshot` (PNG bytes) and adds them to the
// record's text (`textPath`), unless the settings switch reading off. Returns at once: the reading is queued.
void readWordsInPictures(Engine& engine, const platform::PageLayout& layout, double windowWidth,
                         const OSData& screenshot, std::size_t textCharacters,
                         const std::filesystem::path& textPath, const std::string& recordPath);

// Waits until every reading queued so far is done.
void waitForWordsInPictures();

}  // namespace tessaron
