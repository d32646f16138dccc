#include "searchserver/fts_words.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <stdexcept>

namespace tessaron::search {

namespace {

constexpr char backwardsMark = '\x1B', partMark = '\x1D', stemMark = '\x1E', languageTag = '\x1F';

bool isMark(char c) {
  return c == backwardsMark || c == partMark || c == stemMark;
}

// FTS5 makes one tokenizer per table and connection; this one needs no state of its own.
struct Tokenizer {};

using TokenCallback = int (*)(void*, int, const char*, int, int, int);

int tokenizeText(void* context, int flags, const char* data, int size, TokenCallback emit) {
  std::string_view text(data, static_cast<std::size_t>(std::max(size, 0)));
  // The derived tokens of a query are written out by ftsQuery, mark and all.
  if ((flags & FTS5_TOKENIZE_QUERY) && !text.empty() && isMark(text[0]))
    return emit(context, 0, text.data(), static_cast<int>(text.size()), 0, static_cast<int>(text.size()));
  const words::Language* language = nullptr;
  std::size_t offset = 0;
  if (!text.empty() && text[0] == languageTag) {
    const std::size_t close = text.find(languageTag, 1);
    if (close != std::string_view::npos) {
      language = words::languageOfCode(text.substr(1, close - 1));
      offset = close + 1;
    }
  }
  const bool document = flags == FTS5_TOKENIZE_DOCUMENT;
  const words::Script languageScript = language ? words::scriptOfLanguage(*language) : words::Script::other;
  std::string derived;
  auto colocated = [&](char mark, std::string_view prefix, std::string_view token, const words::Word& word) {
    derived.assign(1, mark);
    derived += prefix;
    derived += token;
    return emit(context, FTS5_TOKEN_COLOCATED, derived.data(), static_cast<int>(derived.size()),
                static_cast<int>(word.start + offset), static_cast<int>(word.end + offset));
  };
  words::Splitter splitter(text.substr(offset));
  words::Word word;
  while (splitter.next(word)) {
    if (int rc = emit(context, 0, word.folded.data(), static_cast<int>(word.folded.size()),
                      static_cast<int>(word.start + offset), static_cast<int>(word.end + offset));
        rc != SQLITE_OK)
      return rc;
    if (!document) continue;
    int rc = SQLITE_OK;
    const std::string_view raw = text.substr(offset + word.start, word.end - word.start);
    // A word of another script than the page's (a brand in Latin letters on a Russian page) is not stemmed;
    // nor is a word too long to be one.
    if (language && word.kind == words::Kind::spaced && raw.size() <= 256 &&
        words::scriptOf(word.folded) == languageScript) {
      const std::string& stem = words::stemOf(*language, raw);
      if (stem != word.folded) rc = colocated(stemMark, language->code, stem, word);
    }
    if (word.kind == words::Kind::hangul) {
      for (std::string_view tail : words::koreanTails(word.folded))
        if (rc == SQLITE_OK) rc = colocated(partMark, {}, tail, word);
    } else if (rc == SQLITE_OK && language && language->compounds && word.kind == words::Kind::spaced) {
      if (const std::string reversed = words::compoundBackwards(word.folded); !reversed.empty())
        rc = colocated(backwardsMark, {}, reversed, word);
    }
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// SQLite calls this from C: nothing may be thrown through it.
int tokenize(Fts5Tokenizer*, void* context, int flags, const char* data, int size, TokenCallback emit) {
  try {
    return tokenizeText(context, flags, data, size, emit);
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception&) {
    return SQLITE_ERROR;
  }
}

fts5_api* fts5Of(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(statement, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  return api;
}

// The words and "quoted phrases" of what the user typed, unquoted, dropping any without a word character.
struct Term {
  std::string text;
  bool quoted = false;
};

std::vector<Term> splitTerms(std::string_view text) {
  std::vector<Term> terms;
  std::size_t i = 0;
  while (i < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    Term term;
    if (text[i] == '"') {
      term.quoted = true;
      const std::size_t close = text.find('"', i + 1);
      if (close != std::string_view::npos) {
        term.text = std::string(text.substr(i + 1, close - i - 1));
        i = close + 1;
      } else {
        term.text = std::string(text.substr(i + 1));
        i = text.size();
      }
    } else {
      std::size_t end = i;
      while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
        ++end;
      term.text = std::string(text.substr(i, end - i));
      i = end;
    }
    // Control characters are no part of a word, and the index's marks are made of them.
    for (char& c : term.text)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    if (!words::foldedWords(term.text).empty()) terms.push_back(std::move(term));
  }
  return terms;
}

std::vector<Term> distinctTerms(std::string_view text) {
  std::vector<Term> terms;
  std::vector<std::string> keys;
  for (Term& term : splitTerms(text)) {
    // The index folds case, so "The" and "the" are one term; a term asked for twice matches what it matches
    // once, and repeating it only multiplies the work of every snippet.
    std::string key = (term.quoted ? "\"" : "") + term.text;
    for (char& c : key)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    keys.push_back(std::move(key));
    terms.push_back(std::move(term));
  }
  return terms;
}

// Inside an FTS5 string a double quote is written twice; everything else is taken literally.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text)
    out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// What one term matches: the word or phrase itself, or one of the other forms it stands for.
std::string termQuery(const Term& term, const std::vector<const words::Language*>& languages) {
  std::vector<std::string> branches = {quoted(term.text)};
  std::vector<std::string> folded;
  std::vector<words::Kind> kinds;
  std::string raw;
  {
    words::Splitter splitter(term.text);
    words::Word word;
    while (splitter.next(word)) {
      if (folded.empty()) {
        raw = term.text.substr(word.start, word.end - word.start);
      }
      folded.emplace_back(word.folded);
      kinds.push_back(word.kind);
    }
  }
  if (!term.quoted && folded.size() == 1 && kinds[0] == words::Kind::spaced) {
    const words::Script script = words::scriptOf(folded[0]);
    bool compounds = false;
    for (const words::Language* language : languages) {
      if (words::scriptOfLanguage(*language) != script) continue;
      compounds = compounds || language->compounds;
      const std::string stem = words::stemOf(*language, raw);  // a copy: the next call replaces it
      // A word that is its own stem carries no stem token: it is found as the word.
      branches.push_back(quoted(stemMark + std::string(language->code) + stem));
      if (stem != folded[0]) branches.push_back(quoted(stem));
    }
    if (compounds && words::characterCount(folded[0]) >= words::shortestHead)
      branches.push_back(quoted(backwardsMark + words::backwards(folded[0])) + " *");
  } else if (!term.quoted && folded.size() == 1 && kinds[0] == words::Kind::hangul) {
    branches.push_back(quoted(term.text) + " *");
    if (words::characterCount(folded[0]) >= 2) branches.push_back(quoted(partMark + folded[0]) + " *");
  }
  std::sort(branches.begin() + 1, branches.end());
  branches.erase(std::unique(branches.begin() + 1, branches.end()), branches.end());
  if (branches.size() == 1) return branches[0];
  std::string out = "(";
  for (std::size_t b = 0; b < branches.size(); ++b)
    out += (b ? " OR " : "") + branches[b];
  return out + ")";
}

}  // namespace

void registerWordTokenizer(sqlite3* db) {
  fts5_api* api = fts5Of(db);
  if (!api) throw std::runtime_error("index: this SQLite has no FTS5");
  static fts5_tokenizer tokenizer = {
      [](void*, const char**, int, Fts5Tokenizer** made) {
        *made = reinterpret_cast<Fts5Tokenizer*>(new Tokenizer);
        return SQLITE_OK;
      },
      [](Fts5Tokenizer* made) { delete reinterpret_cast<Tokenizer*>(made); },
      tokenize,
  };
  if (api->xCreateTokenizer(api, wordTokenizer, nullptr, &tokenizer, nullptr) != SQLITE_OK)
    throw std::runtime_error("index: cannot register the word tokenizer");
  sqlite3_create_function(
      db, "tagged_text", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
      [](sqlite3_context* context, int, sqlite3_value** values) {
        const auto* code = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[1]));
        const std::string_view body(text ? text : "",
                                    static_cast<std::size_t>(sqlite3_value_bytes(values[1])));
        if (!code || !*code) {
          sqlite3_result_text(context, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
          return;
        }
        try {
          std::string tagged(1, languageTag);
          tagged += code;
          tagged += languageTag;
          tagged += body;
          sqlite3_result_text(context, tagged.data(), static_cast<int>(tagged.size()), SQLITE_TRANSIENT);
        } catch (const std::bad_alloc&) {
          sqlite3_result_error_nomem(context);
        }
      },
      nullptr, nullptr);
}

std::vector<std::string> queryTerms(std::string_view text) {
  std::vector<std::string> out;
  for (Term& term : distinctTerms(text))
    out.push_back(std::move(term.text));
  return out;
}

std::string ftsQuery(std::string_view text, const std::vector<const words::Language*>& languages) {
  std::string query;
  for (const Term& term : distinctTerms(text))
    query += (query.empty() ? "" : " AND ") + termQuery(term, languages);
  return query;
}

}  // namespace tessaron::search
