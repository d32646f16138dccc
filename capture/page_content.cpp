// Finding, among a browser's windows as its page reader gives them, the one that was captured; and the title
// rules the whole engine uses.
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/log_lines.h"

namespace tessaron {

namespace {

icu::UnicodeString fromUtf8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

bool isEmojiPresentation(UChar32 c) {
  return u_hasBinaryProperty(c, UCHAR_EMOJI) && u_hasBinaryProperty(c, UCHAR_EMOJI_PRESENTATION);
}

// Space, tab, line ends U+000A-U+000D and U+0085, and every Unicode space, line and paragraph separator.
bool isWhitespaceOrNewline(UChar32 c) {
  if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  auto category = u_charType(c);
  return category == U_SPACE_SEPARATOR || category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

std::string cleanTitle(std::string_view text) {
  const icu::UnicodeString input = fromUtf8(text);
  UErrorCode status = U_ZERO_ERROR;
  // Grapheme-cluster breaking is what decides "one character": a flag, a skin-toned face or a family is one.
  thread_local std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !clusters) return std::string(text);
  clusters->setText(input);
  icu::UnicodeString kept;
  for (int32_t start = clusters->first(), end = clusters->next(); end != icu::BreakIterator::DONE;
       start = end, end = clusters->next()) {
    bool drop = false;
    for (int32_t i = start; i < end && !drop; i = input.moveIndex32(i, 1))
      drop = isEmojiPresentation(input.char32At(i));
    if (!drop) kept.append(input, start, end - start);
  }
  int32_t begin = 0, finish = kept.length();
  while (begin < finish && isWhitespaceOrNewline(kept.char32At(begin)))
    begin = kept.moveIndex32(begin, 1);
  while (finish > begin) {
    int32_t last = kept.moveIndex32(finish, -1);
    if (!isWhitespaceOrNewline(kept.char32At(last))) break;
    finish = last;
  }
  return toUtf8(icu::UnicodeString(kept, begin, finish - begin));
}

bool titlesEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString left = nfd->normalize(fromUtf8(a), status);
  icu::UnicodeString right = nfd->normalize(fromUtf8(b), status);
  return U_SUCCESS(status) && left == right;
}

std::string lowercased(std::string_view text) {
  icu::UnicodeString s = fromUtf8(text);
  s.toLower(icu::Locale::getRoot());
  return toUtf8(s);
}

platform::PageWindowRef findMatchingAXWindow(const std::vector<platform::PageWindowRef>& windows,
                                             const std::string& title, const platform::Rect& frame,
                                             BrowserVariant variant) {
  const log::Channel& channel =
      variant == BrowserVariant::chromiumFamily ? log::chromiumPages() : log::firefoxLikePages();
  for (const auto& window : windows) {
    if (!window) continue;
    auto place = window->frame();
    if (!place) {
      channel.error("Failed to read the window's frame: %s", place.error().text);
      continue;
    }
    const auto page = window->page();
    const std::string pageTitle = page ? cleanTitle(page->title) : std::string();
    channel.log(lines::titlesCompared, log::seen(pageTitle), log::seen(title));
    // Konqueror names its frame after the page alone, without the browser's name the window title ends with.
    const bool sameTitle = pageTitle.empty() || titlesEqual(pageTitle, title) ||
                           titlesEqual(pageTitle, platform::pageTitleIn(title));
    if (sameTitle && place.value() == frame) return window;
  }
  return nullptr;
}

bool betweenPages(const std::optional<std::pair<std::string, std::string>>& savedPage,
                  const std::string& address, const std::string& windowTitle,
                  const std::function<std::string()>& ownTitle) {
  if (!savedPage || windowTitle != savedPage->second || address == savedPage->first) return false;
  const std::string named = cleanTitle(ownTitle());
  return !named.empty() && !windowTitle.starts_with(named);
}

}  // namespace tessaron
