#include "ocr/text_reader.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace tessaron::ocr {

namespace fs = std::filesystem;

fs::path languageDataFolder() {
  if (const char* prefix = std::getenv("TESSDATA_PREFIX"); prefix && *prefix) return prefix;
  for (const char* folder : {"/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tesseract-ocr/4.00/tessdata"})
    if (std::error_code ec; fs::exists(fs::path(folder) / "eng.traineddata", ec)) return folder;
  return "/usr/share/tesseract-ocr/5/tessdata";
}

std::vector<std::string> localeLanguages(const std::string& locale, const fs::path& dataFolder) {
  // ISO 639-1 (and a country where the script depends on it) to Tesseract's names.
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 30> names{{
      {"ar", "ara"}, {"bg", "bul"}, {"cs", "ces"}, {"da", "dan"}, {"de", "deu"},     {"el", "ell"},
      {"es", "spa"}, {"fi", "fin"}, {"fr", "fra"}, {"he", "heb"}, {"hi", "hin"},     {"hu", "hun"},
      {"it", "ita"}, {"ja", "jpn"}, {"ko", "kor"}, {"nb", "nor"}, {"nl", "nld"},     {"no", "nor"},
      {"pl", "pol"}, {"pt", "por"}, {"ro", "ron"}, {"ru", "rus"}, {"sk", "slk"},     {"sv", "swe"},
      {"th", "tha"}, {"tr", "tur"}, {"uk", "ukr"}, {"vi", "vie"}, {"zh", "chi_sim"}, {"zh_TW", "chi_tra"},
  }};
  std::vector<std::string> languages{"eng"};
  const std::string_view whole = locale;
  const std::string_view language = whole.substr(0, whole.find_first_of("_.@"));
  const std::string_view withCountry = whole.substr(0, whole.find_first_of(".@"));
  std::string_view wanted;
  for (const auto& [code, name] : names)
    if (code == withCountry || (wanted.empty() && code == language)) wanted = name;
  std::error_code ec;
  if (!wanted.empty() && wanted != "eng" &&
      fs::exists(dataFolder / (std::string(wanted) + ".traineddata"), ec))
    languages.emplace_back(wanted);
  return languages;
}

TextReader::TextReader(const std::vector<std::string>& languages, const fs::path& dataFolder)
    : api_(std::make_unique<tesseract::TessBaseAPI>()) {
  std::string joined;
  for (const auto& language : languages)
    joined += (joined.empty() ? "" : "+") + language;
  if (api_->Init(dataFolder.c_str(), joined.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
    throw std::runtime_error("Tesseract cannot load " + joined + " from " + dataFolder.string());
  api_->SetPageSegMode(tesseract::PSM_AUTO);
  // Its remarks ("Empty page!!", and Leptonica's) would land in the program's log.
  api_->SetVariable("debug_file", "/dev/null");
  setMsgSeverity(L_SEVERITY_NONE);
}

TextReader::~TextReader() {
  api_->End();
}

std::string TextReader::read(const std::uint8_t* rgba, int width, int height, int stride) {
  api_->SetImage(rgba, width, height, 4, stride);
  api_->SetSourceResolution(96);  // a screen's
  std::string words;
  if (api_->Recognize(nullptr) != 0) return words;
  std::unique_ptr<tesseract::ResultIterator> word(api_->GetIterator());
  if (!word) return words;
  do {
    if (word->Confidence(tesseract::RIL_WORD) < minConfidence) continue;
    std::unique_ptr<char[]> text(word->GetUTF8Text(tesseract::RIL_WORD));
    if (!text || text[0] == '\0') continue;
    if (!words.empty()) words += ' ';
    words += text.get();
  } while (word->Next(tesseract::RIL_WORD));
  api_->Clear();
  return words;
}

}  // namespace tessaron::ocr
