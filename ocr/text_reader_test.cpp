#include "ocr/text_reader.h"

#include <gtest/gtest.h>
#include <spng.h>

#include <fstream>
#include <iterator>

namespace tessaron::ocr {
namespace {

namespace fs = std::filesystem;

struct Picture {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
};

Picture decode(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  spng_ctx* context = spng_ctx_new(0);
  spng_set_png_buffer(context, bytes.data(), bytes.size());
  spng_ihdr header{};
  std::size_t size = 0;
  Picture picture;
  if (spng_get_ihdr(context, &header) == 0 && spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size) == 0) {
    picture = {header.width, header.height, std::vector<std::uint8_t>(size)};
    if (spng_decode_image(context, picture.rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) picture = {};
  }
  spng_ctx_free(context);
  return picture;
}

TEST(TextReader, ReadsTheWordsACanvasDrewAndNothingFromABlankPicture) {
  TextReader reader({"eng"}, languageDataFolder());
  // Drawn on a <canvas> by Chromium and saved as its screenshot.
  const Picture canvas = decode(fs::path(TESSARON_OCR_TESTDATA) / "canvas-words.png");
  ASSERT_GT(canvas.width, 0u);
  const std::string words =
      reader.read(canvas.rgba.data(), static_cast<int>(canvas.width), static_cast<int>(canvas.height),
                  static_cast<int>(canvas.width * 4));
  for (const char* word : {"Quarterly", "harvest", "rose", "sharply", "November"})
    EXPECT_NE(words.find(word), std::string::npos) << word << " in: " << words;

  // A part of it: what lies outside the crop is not read.
  const int stride = static_cast<int>(canvas.width * 4);
  const std::string top = reader.read(canvas.rgba.data(), static_cast<int>(canvas.width), 80, stride);
  EXPECT_NE(top.find("harvest"), std::string::npos) << top;
  EXPECT_EQ(top.find("November"), std::string::npos) << top;

  const std::vector<std::uint8_t> blank(200 * 100 * 4, 255);
  EXPECT_EQ(reader.read(blank.data(), 200, 100, 800), "");
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
