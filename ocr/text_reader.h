// Words read from pixels, with Tesseract (libtesseract).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tesseract {
class TessBaseAPI;
}

namespace tessaron::ocr {

// Where Tesseract's language data is: $TESSDATA_PREFIX, else Debian's folder.
std::filesystem::path languageDataFolder();

// The languages to read in: those of the locale (LC_ALL, LC_MESSAGES or LANG, as "de_DE.UTF-8") whose data is
// installed in `dataFolder`, and English, which comes with the program's packages, always first.
std::vector<std::string> localeLanguages(const std::string& locale, const std::filesystem::path& dataFolder);

class TextReader {
 public:
  // Throws std::runtime_error when Tesseract cannot load the languages.
  TextReader(const std::vector<std::string>& languages, const std::filesystem::path& dataFolder);
  ~TextReader();
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;

  // The words Tesseract is fairly sure of in a picture (4 bytes a pixel, RGBA), space-separated in reading
  // order.
  std::string read(const std::uint8_t* rgba, int width, int height, int stride);

  // Below this confidence (0-100) a word is taken as noise: pictures without words give a few of those.
  static constexpr float minConfidence = 60;

 private:
  std::unique_ptr<tesseract::TessBaseAPI> api_;
};

}  // namespace tessaron::ocr
