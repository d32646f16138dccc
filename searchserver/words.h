// Words as the index keeps them, split and folded the same way for the pages and for what a person types.
//
// - Scripts that separate words by spaces or punctuation (Latin, Cyrillic, Greek, Arabic, Hangul, ...): a
// word
//   is a run of letters, marks and digits, as it always was; an apostrophe or a period splits ("l'école" is
//   "l" and "école").
// - Thai, Lao, Khmer and Burmese write no spaces between words: ICU's dictionaries split their runs.
// - Chinese and Japanese are kept character by character, so that a search finds any sequence of characters
//   where it stands (東京 inside 東京都, 北京 inside 北京市, which ICU's dictionary keeps as one word).
//   Keeping ICU's dictionary words beside them, to rank pages where the sequence is a word first, cost a
//   third of the time of indexing Chinese text and found nothing more.
// - Folding: compatibility forms, case (full folding: "Straße" is "strasse") and the accents of Latin, Greek
//   and Cyrillic letters and the vowel points of Arabic and Hebrew go; the marks other scripts spell with
//   stay.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::search::words {

enum class Kind {
  spaced,      // a word of a script that separates its words
  hangul,      // a Korean word, its particles attached
  ideograph,   // one Chinese or Japanese character
  dictionary,  // a word of Thai, Lao, Khmer or Burmese, as ICU's dictionary splits it
};

struct Word {
  std::string_view folded;         // valid until the next word
  std::size_t start = 0, end = 0;  // its bytes in the text
  Kind kind = Kind::spaced;
};

// Steps through the words of a UTF-8 text (invalid bytes split words and are otherwise skipped).
class Splitter {
 public:
  explicit Splitter(std::string_view text);
  ~Splitter();
  Splitter(const Splitter&) = delete;
  Splitter& operator=(const Splitter&) = delete;
  bool next(Word& word);

 private:
  struct Run;
  bool nextInRun(Word& word);
  std::string_view text_;
  std::size_t at_ = 0;
  std::unique_ptr<Run> run_;
  std::string folded_;
};

// Every word of a text, folded.
std::vector<std::string> foldedWords(std::string_view text);

// Case and compatibility folding alone, accents kept: what a stemmer reads.
std::string caseFolded(std::string_view word);
// The accents taken off a case-folded word.
std::string withoutAccents(std::string_view caseFoldedWord);

// The languages whose word forms are reduced to a stem, each with Snowball's name for its algorithm and the
// short code the index marks its stems with.
struct Language {
  const char* code;
  const char* algorithm;
  bool compounds;  // builds long compound words (German, Dutch, the Nordic languages)
};
const std::vector<Language>& stemmedLanguages();
const Language* languageOfCode(std::string_view code);

// A cheap guess at a page's language from its script and its commonest words; null when its words are not
// stemmed (Chinese, Japanese, Korean, Thai, ... or an unknown language).
const Language* guessLanguage(std::string_view title, std::string_view body);

// The stem of a word as written, in a language: case-folded, stemmed, then its accents taken off (stemmers
// know their language's accents). Stemmers are kept per thread; the stem is good until the thread's next
// call.
const std::string& stemOf(const Language& language, std::string_view word);

// A compound of German, Dutch or the Nordic languages ends in its head ("Bundesausbildungsförderung" is a
// kind of "förderung"): such a long word is also kept backwards, so that a search for the head is a prefix
// search among the backward words. One token a word; a table of every tail was twice the index and half
// the indexing speed. Empty for words under 8 or over 64 characters.
inline constexpr std::size_t shortestHead = 4;
std::string backwards(std::string_view folded);
std::string compoundBackwards(std::string_view folded);

// The tails of a Korean word after each of its syllables that keep two or more, so that a noun is found
// before its particles (도서관 in 도서관을) and at the end of a compound noun (도서관 in 국립중앙도서관에서).
// Empty for words under 3 or over 64 syllables.
std::vector<std::string_view> koreanTails(std::string_view folded);

// The script family of a word, so that a query word is stemmed only by languages written in its script.
enum class Script { latin, cyrillic, greek, arabic, armenian, devanagari, tamil, other };
Script scriptOf(std::string_view folded);
Script scriptOfLanguage(const Language& language);

// Characters counted, not bytes.
std::size_t characterCount(std::string_view utf8);

}  // namespace tessaron::search::words
