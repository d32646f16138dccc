#include "ocr/text_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "ocr/ocr_test_support.h"
#include "ocr/regions.h"

namespace tessaron::ocr {
namespace {

namespace fs = std::filesystem;

TEST(TextReader, ReadsTheWordsACanvasDrewAndNothingFromABlankPicture) {
  TextReader reader({"eng"}, languageDataFolder());
  const Crop canvas = testing::canvasWords();
  ASSERT_GT(canvas.width, 0);
  const std::string words = reader.read(canvas.rgba.data(), canvas.width, canvas.height, canvas.width * 4);
  for (const char* word : {"Quarterly", "harvest", "rose", "sharply", "November"})
    EXPECT_NE(words.find(word), std::string::npos) << word << " in: " << words;

  // A part of it: what lies outside the crop is not read.
  const std::string top = reader.read(canvas.rgba.data(), canvas.width, 80, canvas.width * 4);
  EXPECT_NE(top.find("harvest"), std::string::npos) << top;
  EXPECT_EQ(top.find("November"), std::string::npos) << top;

  const std::vector<std::uint8_t> blank(200 * 100 * 4, 255);
  EXPECT_EQ(reader.read(blank.data(), 200, 100, 800), "");
}

TEST(TextReader, OnlyRegionsOnAPlainGroundAreTakenAsHoldingWords) {
  const Crop canvas = testing::canvasWords();
  EXPECT_TRUE(mayHoldWords(canvas.rgba.data(), canvas.width, canvas.height, canvas.width * 4));
  // A photograph: colours spread over the whole region.
  std::vector<std::uint8_t> photo(320 * 200 * 4);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < photo.size(); ++i)
    photo[i] = static_cast<std::uint8_t>((state = state * 1664525 + 1013904223) >> 24);
  EXPECT_FALSE(mayHoldWords(photo.data(), 320, 200, 320 * 4));
  // A gradient, as a sky is.
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 320; ++x)
      for (int c = 0; c < 3; ++c)
        photo[(static_cast<std::size_t>(y) * 320 + static_cast<std::size_t>(x)) * 4 +
              static_cast<std::size_t>(c)] = static_cast<std::uint8_t>((x + y * (c + 1)) % 256);
  EXPECT_FALSE(mayHoldWords(photo.data(), 320, 200, 320 * 4));
  EXPECT_FALSE(mayHoldWords(photo.data(), 0, 200, 0));
}

TEST(TextReader, TheLocalesLanguageIsAddedWhereItsDataIsInstalled) {
  const fs::path folder = fs::temp_directory_path() / ("tessaron-tessdata-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  std::ofstream(folder / "deu.traineddata") << "stand-in";
  std::ofstream(folder / "chi_tra.traineddata") << "stand-in";
  EXPECT_EQ(localeLanguages("de_DE.UTF-8", folder), (std::vector<std::string>{"eng", "deu"}));
  EXPECT_EQ(localeLanguages("de_AT", folder), (std::vector<std::string>{"eng", "deu"}));
  EXPECT_EQ(localeLanguages("zh_TW.UTF-8", folder), (std::vector<std::string>{"eng", "chi_tra"}));
  EXPECT_EQ(localeLanguages("fr_FR.UTF-8", folder), (std::vector<std::string>{"eng"})) << "not installed";
  EXPECT_EQ(localeLanguages("C.UTF-8", folder), (std::vector<std::string>{"eng"}));
  EXPECT_EQ(localeLanguages("", folder), (std::vector<std::string>{"eng"}));
  fs::remove_all(folder);
  EXPECT_THROW(TextReader({"xyz"}, languageDataFolder()), std::runtime_error);
}

}  // namespace
}  // namespace tessaron::ocr
