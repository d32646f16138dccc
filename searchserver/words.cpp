#include "searchserver/words.h"

#include <libstemmer.h>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace tessaron::search::words {

namespace {

// Folding and stemming the same words again and again is most of the work on a page of text; each thread
// keeps the words it did last, each in the one slot its hash picks (the word there before makes way), so a
// look-up that finds its word costs a hash and one comparison, where a hash map chased a node. Words follow
// Zipf's law, so the common ones stay. The table grows with the words a thread meets, so the threads that
// only read queries keep a small one.
class Memo {
 public:
  template <class Make>
  const std::string& get(std::string_view key, Make&& make) {
    if (misses_ >= 2 * slots_.size() && slots_.size() < largest) {
      slots_ = std::vector<Slot>(std::max<std::size_t>(smallest, slots_.size() * 4));
      misses_ = 0;
    }
    Slot& slot = slots_[std::hash<std::string_view>{}(key) & (slots_.size() - 1)];
    if (!slot.filled || slot.key != key) {
      ++misses_;
      slot.filled = false;  // until both are written: a failure leaves the slot empty
      slot.value = make();
      slot.key.assign(key);
      slot.filled = true;
    }
    return slot.value;
  }

 private:
  static constexpr std::size_t smallest = 64, largest = 16384;  // powers of two
  struct Slot {
    std::string key, value;
    bool filled = false;
  };
  std::vector<Slot> slots_;
  std::size_t misses_ = 0;
};

const icu::Normalizer2& normalizer(int which) {
  UErrorCode error = U_ZERO_ERROR;
  const icu::Normalizer2* n = which == 0   ? icu::Normalizer2::getNFKCCasefoldInstance(error)
                              : which == 1 ? icu::Normalizer2::getNFDInstance(error)
                                           : icu::Normalizer2::getNFCInstance(error);
  if (U_FAILURE(error) || !n) throw std::runtime_error("ICU's normalization data is missing");
  return *n;
}

bool isArabicOrHebrewPoint(UChar32 c) {
  return (c >= 0x0591 && c <= 0x05BD) || c == 0x05BF || c == 0x05C1 || c == 0x05C2 || c == 0x05C4 ||
         c == 0x05C5 || c == 0x05C7 || (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) ||
         c == 0x0670 || (c >= 0x06D6 && c <= 0x06DC) || (c >= 0x06DF && c <= 0x06E8) ||
         (c >= 0x06EA && c <= 0x06ED);
}

bool isAccent(UChar32 c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF);
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

icu::UnicodeString accentsRemoved(const icu::UnicodeString& caseFolded) {
  UErrorCode error = U_ZERO_ERROR;
  const icu::UnicodeString decomposed = normalizer(1).normalize(caseFolded, error);
  icu::UnicodeString kept;
  UScriptCode base = USCRIPT_COMMON;
  UChar32 baseCharacter = 0;
  for (int32_t i = 0; i < decomposed.length();) {
    const UChar32 c = decomposed.char32At(i);
    i += U16_LENGTH(c);
    if (isArabicOrHebrewPoint(c)) continue;
    if (isAccent(c)) {
      // Latin and Greek accents go; of Cyrillic only the diaeresis of ё, which Russian mostly leaves out
      // (й is a letter of its own).
      if (base == USCRIPT_LATIN || base == USCRIPT_GREEK || (baseCharacter == 0x0435 && c == 0x0308))
        continue;
    } else {
      UErrorCode scriptError = U_ZERO_ERROR;
      base = uscript_getScript(c, &scriptError);
      baseCharacter = c;
    }
    kept.append(c);
  }
  error = U_ZERO_ERROR;
  return normalizer(2).normalize(kept, error);
}

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Whether folding leaves a word as it is: most words of most scripts once they are lower case (Cyrillic,
// Hangul, Chinese and Japanese characters, Thai, Arabic without vowel points). Checked on the bytes, without
// converting them, as it is the common case.
bool foldsToItself(std::string_view raw) {
  UErrorCode error = U_ZERO_ERROR;
  if (!normalizer(0).isNormalizedUTF8(icu::StringPiece(raw.data(), static_cast<int32_t>(raw.size())),
                                      error) ||
      U_FAILURE(error))
    return false;
  // Folded already: what could still go are accents (of Latin and Greek letters, and ё) and vowel points.
  const auto size = static_cast<int32_t>(raw.size());
  for (int32_t i = 0; i < size;) {
    UChar32 c;
    U8_NEXT(raw.data(), i, size, c);
    if ((c >= 0xC0 && c <= 0x24F) || (c >= 0x370 && c <= 0x3FF) || c == 0x451 ||
        (c >= 0x1E00 && c <= 0x1FFF) || isAccent(c) || isArabicOrHebrewPoint(c))
      return false;
  }
  return true;
}

const std::string& folded(std::string_view raw, Kind kind) {
  thread_local Memo memo;
  thread_local std::string scratch;
  if (isAscii(raw)) {
    scratch = asciiLower(raw);
    return scratch;
  }
  if (foldsToItself(raw)) {
    scratch.assign(raw);
    return scratch;
  }
  auto make = [&] {
    UErrorCode error = U_ZERO_ERROR;
    const icu::UnicodeString caseFolded = normalizer(0).normalize(
        icu::UnicodeString::fromUTF8(icu::StringPiece(raw.data(), static_cast<int32_t>(raw.size()))), error);
    // Decomposing Hangul would take its syllables apart into letters.
    return toUtf8(kind == Kind::hangul ? caseFolded : accentsRemoved(caseFolded));
  };
  if (raw.size() > 256) {  // not worth keeping
    scratch = make();
    return scratch;
  }
  return memo.get(raw, make);
}

enum class RunKind { none, spaced, hangul, ideograph, dictionary };

RunKind runKindOf(UChar32 c) {
  if (c < 0x80)
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? RunKind::spaced
                                                                                      : RunKind::none;
  if (c < 0 || !(U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK))) return RunKind::none;
  // The blocks of the common scripts first: asking for a character's scripts costs more than the rest.
  if (c < 0x0E00) return RunKind::spaced;  // Latin, Greek, Cyrillic, Hebrew, Arabic, the scripts of India
  if (c <= 0x0EFF || (c >= 0x1000 && c <= 0x109F) || (c >= 0x1780 && c <= 0x17FF))
    return RunKind::dictionary;  // Thai, Lao, Burmese, Khmer
  if (c >= 0xAC00 && c <= 0xD7AF) return RunKind::hangul;
  if ((c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF))
    return RunKind::ideograph;  // kana, Han
  if (uscript_hasScript(c, USCRIPT_HAN) || uscript_hasScript(c, USCRIPT_HIRAGANA) ||
      uscript_hasScript(c, USCRIPT_KATAKANA))
    return RunKind::ideograph;
  UErrorCode error = U_ZERO_ERROR;
  switch (uscript_getScript(c, &error)) {
    case USCRIPT_HANGUL:
      return RunKind::hangul;
    case USCRIPT_THAI:
    case USCRIPT_LAO:
    case USCRIPT_KHMER:
    case USCRIPT_MYANMAR:
      return RunKind::dictionary;
    default:
      return RunKind::spaced;
  }
}

// Combining marks, and the half-width voicing marks of kana, which are letters but belong to the one before.
bool isMark(UChar32 c) {
  return c >= 0x80 && ((U_GET_GC_MASK(c) & U_GC_M_MASK) || c == 0xFF9E || c == 0xFF9F);
}

icu::BreakIterator& wordBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode error = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), error));
    if (U_FAILURE(error) || !made) throw std::runtime_error("ICU's word break data is missing");
    return made;
  }();
  return *iterator;
}

// ICU's word boundaries within a run, as byte offsets from its start, and whether the piece after each one
// is a word.
std::vector<std::pair<std::size_t, bool>> dictionaryBoundaries(std::string_view run) {
  UErrorCode error = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  utext_openUTF8(&text, run.data(), static_cast<int64_t>(run.size()), &error);
  icu::BreakIterator& breaks = wordBreaks();
  breaks.setText(&text, error);
  std::vector<std::pair<std::size_t, bool>> out;
  if (U_SUCCESS(error)) {
    for (int32_t at = breaks.first(); at != icu::BreakIterator::DONE; at = breaks.next())
      out.emplace_back(static_cast<std::size_t>(at), breaks.getRuleStatus() != UBRK_WORD_NONE);
  }
  utext_close(&text);
  // The status belongs to the piece before a boundary; shift it to the piece's start.
  for (std::size_t i = 0; i + 1 < out.size(); ++i)
    out[i].second = out[i + 1].second;
  if (!out.empty()) out.back().second = false;
  return out;
}

}  // namespace

struct Splitter::Run {
  RunKind kind = RunKind::none;
  std::size_t begin = 0, end = 0, at = 0;
  std::vector<std::pair<std::size_t, bool>> boundaries;  // of a dictionary run
  std::size_t boundary = 0;
};

// ICU counts in 32-bit offsets; SQLite hands over no more text than that either.
Splitter::Splitter(std::string_view text)
    : text_(text.substr(0, std::min<std::size_t>(text.size(), INT32_MAX))), run_(std::make_unique<Run>()) {}
Splitter::~Splitter() = default;

bool Splitter::next(Word& word) {
  while (true) {
    if (run_->kind != RunKind::none && nextInRun(word)) return true;
    run_->kind = RunKind::none;
    // The next run: characters of one kind, with the marks that follow them.
    const auto size = static_cast<int32_t>(text_.size());
    auto i = static_cast<int32_t>(at_);
    RunKind kind = RunKind::none;
    int32_t begin = i;
    while (i < size && kind == RunKind::none) {
      begin = i;
      UChar32 c;
      U8_NEXT(text_.data(), i, size, c);
      kind = runKindOf(c);
      if (kind != RunKind::none && isMark(c)) kind = RunKind::none;  // a mark with nothing to sit on
    }
    if (kind == RunKind::none) {
      at_ = text_.size();
      return false;
    }
    int32_t end = i;
    while (i < size) {
      UChar32 c;
      U8_NEXT(text_.data(), i, size, c);
      const RunKind next = runKindOf(c);
      if (next == RunKind::none || (next != kind && !isMark(c))) break;
      end = i;
    }
    at_ = static_cast<std::size_t>(end);
    *run_ = {kind,
             static_cast<std::size_t>(begin),
             static_cast<std::size_t>(end),
             static_cast<std::size_t>(begin),
             {},
             0};
    if (kind == RunKind::dictionary)
      run_->boundaries = dictionaryBoundaries(text_.substr(run_->begin, run_->end - run_->begin));
  }
}

bool Splitter::nextInRun(Word& word) {
  Run& run = *run_;
  if (run.at >= run.end) return false;
  switch (run.kind) {
    case RunKind::spaced:
    case RunKind::hangul: {
      word.start = run.begin;
      word.end = run.end;
      word.kind = run.kind == RunKind::hangul ? Kind::hangul : Kind::spaced;
      run.at = run.end;
      break;
    }
    case RunKind::dictionary: {
      // The pieces ICU calls words; spaces and punctuation never reach here, so that is all of them.
      while (run.boundary + 1 < run.boundaries.size() && !run.boundaries[run.boundary].second)
        ++run.boundary;
      if (run.boundary + 1 >= run.boundaries.size()) {
        run.at = run.end;
        return false;
      }
      word.start = run.begin + run.boundaries[run.boundary].first;
      word.end = run.begin + run.boundaries[run.boundary + 1].first;
      word.kind = Kind::dictionary;
      ++run.boundary;
      run.at = word.end;
      break;
    }
    case RunKind::ideograph: {
      auto i = static_cast<int32_t>(run.at);
      UChar32 c;
      U8_NEXT(text_.data(), i, static_cast<int32_t>(run.end), c);
      while (i < static_cast<int32_t>(run.end)) {  // its marks (the voicing marks of kana) go with it
        int32_t after = i;
        UChar32 mark;
        U8_NEXT(text_.data(), after, static_cast<int32_t>(run.end), mark);
        if (!isMark(mark)) break;
        i = after;
      }
      word.start = run.at;
      word.end = static_cast<std::size_t>(i);
      word.kind = Kind::ideograph;
      run.at = word.end;
      break;
    }
    case RunKind::none:
      return false;
  }
  folded_ = folded(text_.substr(word.start, word.end - word.start), word.kind);
  word.folded = folded_;
  return true;
}

std::vector<std::string> foldedWords(std::string_view text) {
  std::vector<std::string> out;
  Splitter splitter(text);
  Word word;
  while (splitter.next(word))
    out.emplace_back(word.folded);
  return out;
}

std::string caseFolded(std::string_view word) {
  if (isAscii(word)) return asciiLower(word);
  UErrorCode error = U_ZERO_ERROR;
  return toUtf8(normalizer(0).normalize(
      icu::UnicodeString::fromUTF8(icu::StringPiece(word.data(), static_cast<int32_t>(word.size()))), error));
}

std::string withoutAccents(std::string_view caseFoldedWord) {
  if (isAscii(caseFoldedWord)) return std::string(caseFoldedWord);
  return toUtf8(accentsRemoved(icu::UnicodeString::fromUTF8(
      icu::StringPiece(caseFoldedWord.data(), static_cast<int32_t>(caseFoldedWord.size())))));
}

std::size_t characterCount(std::string_view utf8) {
  return static_cast<std::size_t>(std::count_if(
      utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

const std::vector<Language>& stemmedLanguages() {
  static const std::vector<Language> languages = {
      {"en", "english", false},  {"de", "german", true},   {"fr", "french", false},
      {"es", "spanish", false},  {"it", "italian", false}, {"pt", "portuguese", false},
      {"nl", "dutch", true},     {"sv", "swedish", true},  {"da", "danish", true},
      {"no", "norwegian", true}, {"fi", "finnish", false}, {"hu", "hungarian", false},
      {"ro", "romanian", false}, {"tr", "turkish", false}, {"id", "indonesian", false},
      {"ca", "catalan", false},  {"ru", "russian", false}, {"sr", "serbian", false},
      {"el", "greek", false},    {"ar", "arabic", false},  {"hy", "armenian", false},
      {"hi", "hindi", false},    {"ta", "tamil", false},
  };
  return languages;
}

const Language* languageOfCode(std::string_view code) {
  for (const Language& language : stemmedLanguages())
    if (code == language.code) return &language;
  return nullptr;
}

Script scriptOfLanguage(const Language& language) {
  const std::string_view code = language.code;
  if (code == "ru" || code == "sr") return Script::cyrillic;
  if (code == "el") return Script::greek;
  if (code == "ar") return Script::arabic;
  if (code == "hy") return Script::armenian;
  if (code == "hi") return Script::devanagari;
  if (code == "ta") return Script::tamil;
  return Script::latin;
}

namespace {

// The script of a letter; none for what is not a letter.
std::optional<Script> scriptOfLetter(UChar32 c) {
  if (c < 0x80)
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? std::optional(Script::latin) : std::nullopt;
  if (c < 0 || !(U_GET_GC_MASK(c) & U_GC_L_MASK)) return std::nullopt;
  UErrorCode error = U_ZERO_ERROR;
  switch (uscript_getScript(c, &error)) {
    case USCRIPT_LATIN:
      return Script::latin;
    case USCRIPT_CYRILLIC:
      return Script::cyrillic;
    case USCRIPT_GREEK:
      return Script::greek;
    case USCRIPT_ARABIC:
      return Script::arabic;
    case USCRIPT_ARMENIAN:
      return Script::armenian;
    case USCRIPT_DEVANAGARI:
      return Script::devanagari;
    case USCRIPT_TAMIL:
      return Script::tamil;
    default:
      return Script::other;
  }
}

}  // namespace

Script scriptOf(std::string_view folded) {
  const auto size = static_cast<int32_t>(folded.size());
  for (int32_t i = 0; i < size;) {
    UChar32 c;
    U8_NEXT(folded.data(), i, size, c);
    if (const auto script = scriptOfLetter(c)) return *script;
  }
  return Script::other;
}

namespace {

// The commonest words of each Latin-script language that is stemmed, folded as the index folds them. Their
// counts on a page tell its language well enough to choose a stemmer.
const std::unordered_map<std::string_view, std::uint32_t>& commonWords() {
  static const auto table = [] {
    const std::vector<std::pair<const char*, const char*>> lists = {
        {"en", "the and of to is in that it was for with are this you on be have from by not"},
        {"de", "der die und das ist nicht mit den sich auf ein eine dem von zu des auch wird fur bei"},
        {"fr", "le la les et des est une du que dans pour pas qui sur au avec ce sont il par"},
        {"es", "el la los las y que de en es por una con para del se su al lo como mas"},
        {"it", "il di che e la per un non della sono con del gli una le nel alla anche si da"},
        {"pt", "o de que e do da em um para com nao uma os no se na por mais as dos"},
        {"nl", "de het een en van is dat niet zijn op te met voor ook maar bij er aan om"},
        {"sv", "och att det som en pa ar av for med till den inte har jag om var ett"},
        {"da", "og at det er en til af som pa med for ikke har den de jeg var et"},
        {"no", "og er det som pa til av med for ikke har en jeg de var ble seg et"},
        {"fi", "ja on ei etta oli se mutta kun han ovat tai myos ole joka kanssa"},
        {"hu", "a az es hogy nem egy is van meg de ez volt mint csak mar"},
        {"ro", "si in de la cu pe care este nu o din pentru sa un mai fost"},
        {"tr", "ve bir bu da de icin ile cok olarak daha gibi ne olan en"},
        {"id", "yang dan di ini itu dengan untuk dari tidak dalam akan ke pada juga"},
        {"ca", "el la i de que els les amb per una del es va no dels al"},
    };
    std::unordered_map<std::string_view, std::uint32_t> words;
    const auto& languages = stemmedLanguages();
    for (const auto& [code, list] : lists) {
      const auto index = std::find_if(languages.begin(), languages.end(),
                                      [&](const Language& l) { return std::string_view(l.code) == code; }) -
                         languages.begin();
      std::string_view rest = list;
      while (!rest.empty()) {
        const std::size_t space = rest.find(' ');
        words[rest.substr(0, space)] |= 1u << index;
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
      }
    }
    return words;
  }();
  return table;
}

}  // namespace

const Language* guessLanguage(std::string_view title, std::string_view body) {
  // A page's first two thousand bytes tell its script and language as well as all of it.
  constexpr std::size_t sample = 2048;
  std::string text(title.substr(0, sample));
  text += '\n';
  text += body.substr(0, sample);
  std::array<std::size_t, 8> letters{};  // by Script
  std::size_t ukrainian = 0, serbian = 0, persian = 0;
  const auto size = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < size;) {
    UChar32 c;
    U8_NEXT(text.data(), i, size, c);
    const auto script = scriptOfLetter(c);
    if (!script) continue;
    ++letters[static_cast<std::size_t>(*script)];
    // Letters that only some languages of the script have.
    ukrainian += c == 0x0456 || c == 0x0457 || c == 0x0454 || c == 0x0491;
    serbian += c == 0x0452 || c == 0x045B || c == 0x045F || c == 0x0459 || c == 0x045A || c == 0x0458;
    persian += c == 0x067E || c == 0x0686 || c == 0x0698 || c == 0x06AF || c == 0x06CC || c == 0x06A9;
  }
  const std::size_t other = letters[static_cast<std::size_t>(Script::other)];
  letters[static_cast<std::size_t>(Script::other)] = 0;
  const auto most = std::max_element(letters.begin(), letters.end());
  if (*most == 0 || *most < other) return nullptr;  // Chinese, Japanese, Korean, Thai, ... or no letters
  switch (static_cast<Script>(most - letters.begin())) {
    case Script::cyrillic:
      if (ukrainian >= 3) return nullptr;  // no stemmer of its own; Russian's would mangle it
      return languageOfCode(serbian >= 3 ? "sr" : "ru");
    case Script::greek:
      return languageOfCode("el");
    case Script::arabic:
      return persian >= 3 ? nullptr : languageOfCode("ar");
    case Script::armenian:
      return languageOfCode("hy");
    case Script::devanagari:
      return languageOfCode("hi");
    case Script::tamil:
      return languageOfCode("ta");
    case Script::latin:
      break;
    default:
      return nullptr;
  }
  const auto& common = commonWords();
  std::array<int, 32> score{};
  Splitter splitter(text);
  Word word;
  for (int n = 0; n < 200 && splitter.next(word); ++n)
    if (auto it = common.find(word.folded); it != common.end())
      for (std::size_t l = 0; l < score.size(); ++l)
        score[l] += (it->second >> l) & 1u;
  const auto best = std::max_element(score.begin(), score.end());  // the first of equals: English first
  return &stemmedLanguages()[*best > 0 ? static_cast<std::size_t>(best - score.begin()) : 0];
}

const std::string& stemOf(const Language& language, std::string_view word) {
  // A stemmer and the words it stemmed, per language and thread.
  struct Stemmer {
    sb_stemmer* stemmer = nullptr;
    Memo memo;
    ~Stemmer() {
      if (stemmer) sb_stemmer_delete(stemmer);
    }
  };
  thread_local std::unordered_map<const Language*, Stemmer> stemmers;
  // Pages come in one language at a time.
  thread_local const Language* lastLanguage = nullptr;
  thread_local Stemmer* lastStemmer = nullptr;
  if (lastLanguage != &language) {
    lastStemmer = &stemmers[&language];
    lastLanguage = &language;
  }
  Stemmer& own = *lastStemmer;
  if (!own.stemmer) own.stemmer = sb_stemmer_new(language.algorithm, "UTF_8");
  auto stem = [&](std::string_view caseFoldedWord) -> std::string_view {
    const sb_symbol* stemmed =
        own.stemmer ? sb_stemmer_stem(own.stemmer, reinterpret_cast<const sb_symbol*>(caseFoldedWord.data()),
                                      static_cast<int>(caseFoldedWord.size()))
                    : nullptr;
    if (!stemmed) return caseFoldedWord;
    return {reinterpret_cast<const char*>(stemmed), static_cast<std::size_t>(sb_stemmer_length(own.stemmer))};
  };
  return own.memo.get(word, [&] {
    const std::string caseFoldedWord = caseFolded(word);
    return withoutAccents(stem(caseFoldedWord));
  });
}

namespace {

std::vector<std::size_t> characterStarts(std::string_view utf8) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < utf8.size(); ++i)
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) starts.push_back(i);
  return starts;
}

}  // namespace

std::string backwards(std::string_view folded) {
  const std::vector<std::size_t> starts = characterStarts(folded);
  std::string out;
  out.reserve(folded.size());
  for (std::size_t c = starts.size(); c-- > 0;)
    out += folded.substr(starts[c], (c + 1 < starts.size() ? starts[c + 1] : folded.size()) - starts[c]);
  return out;
}

std::string compoundBackwards(std::string_view folded) {
  const std::size_t characters = characterCount(folded);
  return characters >= 8 && characters <= 64 ? backwards(folded) : std::string();
}

std::vector<std::string_view> koreanTails(std::string_view folded) {
  const std::vector<std::size_t> starts = characterStarts(folded);
  std::vector<std::string_view> tails;
  if (starts.size() < 3 || starts.size() > 64) return tails;
  for (std::size_t c = 1; c + 2 <= starts.size(); ++c)
    tails.push_back(folded.substr(starts[c]));
  return tails;
}

}  // namespace tessaron::search::words
