#include "searchserver/html.h"

namespace tessaron::search {

std::string htmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

Html& Html::text(std::string_view text) {
  out_ += htmlEscape(text);
  return *this;
}

Html& Html::open(std::string_view tag, Attributes attributes) {
  out_ += '<';
  out_ += tag;
  for (const Attribute& attribute : attributes) {
    if (attribute.omitWithoutValue && !attribute.value) continue;
    out_ += ' ';
    out_ += attribute.name;
    if (attribute.value) {
      out_ += "=\"";
      out_ += htmlEscape(*attribute.value);
      out_ += '"';
    }
  }
  out_ += '>';
  return *this;
}

Html& Html::close(std::string_view tag) {
  out_ += "</";
  out_ += tag;
  out_ += '>';
  return *this;
}

Html& Html::element(std::string_view tag, Attributes attributes, std::string_view text) {
  return open(tag, attributes).text(text).close(tag);
}

Html& Html::markup(std::string_view markup) {
  out_ += markup;
  return *this;
}

}  // namespace tessaron::search
