// The index's own FTS5 tokenizer, built on the word splitting of words.h, and the queries that use it.
//
// A page's text is given to the index tagged with its language ("\x1F" code "\x1F" text). Every word is a
// token; beside it, at the same position, go the derived tokens that searches for other forms use, each
// behind a mark that no word can contain:
//   "\x1B" drow   a long word of a language that builds compounds, backwards: its head is a prefix
//   "\x1D" tail   a Korean word after one of its syllables: a noun before its particles, a compound's end
//   "\x1E" code stem   the word's stem in the page's language, where it differs from the word
// Snippets read the untagged text and find the same words at the same positions, as derived tokens take no
// position of their own.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

#include "searchserver/words.h"

namespace tessaron::search {

inline constexpr const char* wordTokenizer = "tessaron_words";
// Changes whenever the same text would give other tokens: an index made with another version is rebuilt.
inline constexpr const char* wordTokenizerVersion = "1";

// Makes the tokenizer and the SQL function tagged_text(code, text) known to a connection.
void registerWordTokenizer(sqlite3* db);

// The words and "quoted phrases" of user text, each once (compared without case), in their order.
std::vector<std::string> queryTerms(std::string_view text);
// A query asks for at most this many different words and phrases.
inline constexpr std::size_t maxQueryTerms = 32;
// User text as an FTS5 query, all of its terms required. A "quoted phrase" (or a quoted word) is matched
// exactly; a word also matches its other forms in each of `languages` written in its script, and, where
// one of them builds compounds, as the head of a longer word; a Korean word matches with particles after it
// and at the end of a compound.
// Empty when the text has no words.
std::string ftsQuery(std::string_view text, const std::vector<const words::Language*>& languages = {});

}  // namespace tessaron::search
