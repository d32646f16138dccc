// Reading a browser window through accessibility: the window that matches a captured one, its page element
// with title and address, its static text; and the title rules the whole engine uses.
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <unordered_set>

#include "base/log.h"
#include "capture/capture.h"

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

namespace {

// Walks are bounded: a platform may report cycles or absurdly deep trees. A node that is its own ancestor, or
// lies deeper than this, counts as an element with nothing in it.
constexpr int maxDepth = 512;

class Walk {
 public:
  bool enter(const platform::ElementRef& element, int depth) {
    if (!element || depth > maxDepth) return false;
    return path_.insert(element->identity()).second;
  }
  void leave(const platform::ElementRef& element) { path_.erase(element->identity()); }

 private:
  std::unordered_set<std::uintptr_t> path_;
};

const platform::ElementArray* children(const platform::ElementRef& element,
                                       platform::AttributeResult& holder) {
  holder = element->copyAttributeValue("AXChildren");
  if (holder.status != platform::AXStatus::success) return nullptr;
  return platform::valueAs<platform::ElementArray>(holder.value);
}

bool hasRole(const platform::ElementRef& element, std::string_view role) {
  auto result = element->copyAttributeValue("AXRole");
  if (result.status != platform::AXStatus::success) return false;
  const auto* value = platform::valueAs<std::string>(result.value);
  return value && *value == role;
}

WebArea findWebArea(const platform::ElementRef& element, BrowserVariant variant, Walk& walk, int depth) {
  if (!walk.enter(element, depth)) return {};
  WebArea found;
  bool done = false;
  if (hasRole(element, "AXWebArea")) {
    auto title = element->copyAttributeValue(variant == BrowserVariant::chrome ? "AXTitle" : "AXDescription");
    auto url = element->copyAttributeValue("AXURL");
    const auto* titleText = platform::valueAs<std::string>(title.value);
    const auto* address = platform::valueAs<platform::Url>(url.value);
    if (titleText && address) {
      found = {*titleText, address->absoluteString};
      done = true;
    }
  }
  if (!done) {
    platform::AttributeResult holder;
    if (const auto* kids = children(element, holder)) {
      for (const auto& child : *kids) {
        WebArea result = findWebArea(child, variant, walk, depth + 1);
        if (!result.address.empty()) {
          found = std::move(result);
          break;
        }
      }
    }
  }
  walk.leave(element);
  return found;
}

void collectStaticText(const platform::ElementRef& element, std::string& out, Walk& walk, int depth) {
  if (!walk.enter(element, depth)) return;
  if (hasRole(element, "AXStaticText")) {
    auto value = element->copyAttributeValue("AXValue");
    if (const auto* text = platform::valueAs<std::string>(value.value)) {
      out.push_back(' ');
      out += *text;
    }
  }
  platform::AttributeResult holder;
  if (const auto* kids = children(element, holder)) {
    for (const auto& child : *kids) {
      out.push_back(' ');
      collectStaticText(child, out, walk, depth + 1);
    }
  }
  walk.leave(element);
}

}  // namespace

WebArea findWebArea(const platform::ElementRef& element, BrowserVariant variant) {
  Walk walk;
  return findWebArea(element, variant, walk, 0);
}

std::string collectStaticText(const platform::ElementRef& element) {
  Walk walk;
  std::string text;
  collectStaticText(element, text, walk, 0);
  return text;
}

std::optional<platform::PageLayout> pageLayoutOf(const platform::ElementRef& element) {
  if (!element) return std::nullopt;
  if (hasRole(element, "AXWebArea")) return element->pageLayout();
  platform::AttributeResult holder;
  if (const auto* kids = children(element, holder))
    for (const auto& child : *kids)
      if (hasRole(child, "AXWebArea")) return child->pageLayout();
  return std::nullopt;
}

platform::ElementRef findMatchingAXWindow(const platform::ElementArray& windows, const std::string& title,
                                          const platform::Rect& frame, BrowserVariant variant) {
  const log::Channel& channel =
      variant == BrowserVariant::chrome ? log::getChromeContent() : log::getSafariContent();
  for (const auto& window : windows) {
    if (!window) continue;
    auto frameValue = window->copyAttributeValue("AXFrame");
    if (frameValue.status != platform::AXStatus::success) {
      channel.error("Failed to copy attribute value to axFrameValue. Error code: %d",
                    static_cast<std::int32_t>(frameValue.status));
      continue;
    }
    const auto* rect = platform::valueAs<platform::Rect>(frameValue.value);
    if (!rect) {
      channel.error("Failed to extract CGRect value from AXValue");
      continue;
    }
    const std::string pageTitle = cleanTitle(findWebArea(window, variant).title);
    channel.log("AXTitle: %s, SCTitle: %s", pageTitle, title);
    if ((pageTitle.empty() || titlesEqual(pageTitle, title)) && *rect == frame) return window;
  }
  return nullptr;
}

}  // namespace tessaron
