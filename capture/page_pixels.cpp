#include "capture/page_pixels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "imagehash/png.h"
#include "ocr/ocr_worker.h"
#include "ocr/text_reader.h"

namespace tessaron {

namespace {

ocr::Box toPixels(const platform::Rect& rect, double scale) {
  return {static_cast<int>(std::lround(rect.x * scale)), static_cast<int>(std::lround(rect.y * scale)),
          static_cast<int>(std::lround(rect.width * scale)),
          static_cast<int>(std::lround(rect.height * scale))};
}

ocr::PartKind kindOf(platform::PagePartKind kind) {
  switch (kind) {
    case platform::PagePartKind::canvas:
      return ocr::PartKind::canvas;
    case platform::PagePartKind::image:
      return ocr::PartKind::image;
    case platform::PagePartKind::embedded:
      return ocr::PartKind::embedded;
    case platform::PagePartKind::password:
      return ocr::PartKind::password;
  }
  return ocr::PartKind::password;
}

// The locale's language for reading, as the person's desktop says it.
std::string localeName() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(variable); value && *value) return value;
  return {};
}

std::atomic<bool> workerMade{false};

// Made when first needed, and never taken down: a process that ends mid-read leaves the record's text whole.
ocr::OcrWorker& worker() {
  static ocr::OcrWorker* shared = [] {
    workerMade.store(true);
    const auto folder = ocr::languageDataFolder();
    return new ocr::OcrWorker({ocr::localeLanguages(localeName(), folder), folder},
                              [](const std::string& line) { log::capturer().log("%s", line); });
  }();
  return *shared;
}

}  // namespace

ocr::PageLayout layoutInPixels(const platform::PageLayout& layout, double windowWidth,
                               std::uint32_t imageWidth, std::uint32_t imageHeight,
                               std::size_t textCharacters) {
  const double scale = windowWidth > 0 ? imageWidth / windowWidth : 1;
  const ocr::Box image{0, 0, static_cast<int>(imageWidth), static_cast<int>(imageHeight)};
  ocr::PageLayout pixels{toPixels(layout.page, scale).intersection(image), textCharacters, {}};
  for (const auto& part : layout.parts)
    pixels.parts.push_back({kindOf(part.kind), toPixels(part.frame, scale), part.descriptionCharacters});
  return pixels;
}

void readWordsInPictures(Engine& engine, const platform::PageLayout& layout, double windowWidth,
                         const OSData& screenshot, std::size_t textCharacters,
                         const std::filesystem::path& textPath, const std::string& recordPath) {
  if (!settingsInForce(engine).ocr) return;
  const auto size = osimagehashing::pngSize(screenshot);
  if (!size) return;
  const auto [width, height] = *size;
  const std::vector<ocr::Box> regions =
      ocr::regionsToRead(layoutInPixels(layout, windowWidth, width, height, textCharacters));
  if (regions.empty()) return;
  log::capturer().log("Reading the words of %d pictures of %s", static_cast<std::int32_t>(regions.size()),
                      recordPath);
  worker().submit(
      {recordPath,
       [screenshot, regions] {
         std::vector<ocr::Crop> crops;
         const auto image = OSImageFromData(screenshot);
         if (!image) return crops;
         for (const ocr::Box& box : regions) {
           const std::uint8_t* origin = image->pixels().data() +
                                        static_cast<std::size_t>(box.y) * image->stride() +
                                        static_cast<std::size_t>(box.x) * 4;
           if (!ocr::mayHoldWords(origin, box.width, box.height, static_cast<int>(image->stride()))) continue;
           ocr::Crop crop{box.width, box.height,
                          std::vector<std::uint8_t>(static_cast<std::size_t>(box.width) * box.height * 4)};
           for (int y = 0; y < box.height; ++y)
             std::copy_n(image->pixels().data() + static_cast<std::size_t>(box.y + y) * image->stride() +
                             static_cast<std::size_t>(box.x) * 4,
                         static_cast<std::size_t>(box.width) * 4,
                         crop.rgba.data() + static_cast<std::size_t>(y) * box.width * 4);
           crops.push_back(std::move(crop));
         }
         return crops;
       },
       [&engine, textPath, recordPath](const std::string& words) {
         if (words.empty()) {
           log::capturer().log("No words in the pictures of %s", recordPath);
           return;
         }
         // Forgetting and the passes hold the archive: the record is completed between them, or not at all.
         std::lock_guard archive(engine.archiveMutex);
         if (auto error = archive::addRecordWords(textPath, words, fullTextWordLimit))
           log::capturer().error("The words in the pictures of %s are not added: %s", recordPath, *error);
         else
           log::capturer().log("Added the words in the pictures of %s", recordPath);
       }});
}

void waitForWordsInPictures() {
  if (workerMade.load()) worker().drain();
}

}  // namespace tessaron
