// Writing the search pages' HTML so that what the archive holds can only ever be text: every text and every
// attribute value given here is escaped. Markup the page's code spells out itself goes in through markup(),
// the one way to write unescaped, and never carries a value from elsewhere.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaron::search {

// What may stand in HTML text or a quoted attribute value for the text itself: & < > " ' escaped.
std::string htmlEscape(std::string_view text);

// One attribute: a name with a value (escaped when written), or alone (a boolean attribute such as
// "selected"). An attribute whose value is none is left out.
struct Attribute {
  Attribute(std::string_view alone) : name(alone) {}  // NOLINT(google-explicit-constructor): {"selected"}
  Attribute(std::string_view named, std::string text) : name(named), value(std::move(text)) {}
  Attribute(std::string_view named, const char* text) : name(named), value(std::string(text)) {}
  // Written only when `text` is some: {"id", maybe, true}.
  Attribute(std::string_view named, std::optional<std::string> text, bool)
      : name(named), value(std::move(text)), omitWithoutValue(true) {}
  std::string_view name;
  std::optional<std::string> value;
  bool omitWithoutValue = false;
};
using Attributes = std::initializer_list<Attribute>;

class Html {
 public:
  // Text, escaped.
  Html& text(std::string_view text);
  // A start tag with its attributes; elements without content (img, input, meta, link) need no close().
  Html& open(std::string_view tag, Attributes attributes = {});
  Html& close(std::string_view tag);
  // An element holding only text.
  Html& element(std::string_view tag, Attributes attributes, std::string_view text);
  Html& element(std::string_view tag, std::string_view text) { return element(tag, {}, text); }
  // Markup written out as it stands: only for fixed markup of the page's own code.
  Html& markup(std::string_view markup);

  const std::string& str() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace tessaron::search
