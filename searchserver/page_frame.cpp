#include "searchserver/page_frame.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "platform/browsers.h"
#include "searchserver/record.h"

namespace tessaron::search {

// The browsers add their own name to the page's title; the pages show the page's own. (Record files keep
// the whole title.)
std::string displayTitle(const std::string& title) {
  return title.empty() ? "(untitled)" : std::string(platform::pageTitleIn(title));
}

// "yyyyMMdd" as "yyyy-MM-dd".
std::string dashedDay(const std::string& day) {
  return day.substr(0, 4) + "-" + day.substr(4, 2) + "-" + day.substr(6, 2);
}

std::string localClock(std::int64_t seconds, const char* format) {
  std::time_t t = seconds;
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[64];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

std::string localTime(std::int64_t seconds) {
  return localClock(seconds, "%Y-%m-%d %H:%M:%S %Z");
}

// A page's head and the start of its body, up to its main part.
Html pageStart(const std::string& title) {
  Html html;
  html.markup("<!doctype html>")
      .open("html", {{"lang", "en"}})
      .open("head")
      .open("meta", {{"charset", "utf-8"}})
      .open("meta", {{"name", "viewport"}, {"content", "width=device-width,initial-scale=1"}})
      .element("title", title)
      .open("link", {{"rel", "stylesheet"}, {"href", "/style.css"}})
      .open("script", {{"src", "/app.js"}, {"defer"}})
      .close("script")
      .close("head")
      .open("body")
      .open("header")
      .element("p", {{"class", "brand"}}, "Tessaron")
      .open("nav", {{"aria-label", "Pages"}})
      .element("a", {{"href", "/"}}, "Search")
      .element("a", {{"href", "/timeline"}}, "Timeline")
      .element("a", {{"href", "/storage"}}, "Storage")
      .close("nav")
      .close("header")
      .open("main");
  return html;
}

std::string pageEnd(Html& html) {
  return html.close("main").close("body").close("html").take();
}

// "yyyy-mm-dd" in local time, as an HTML date input sends it, to seconds at local midnight.
std::optional<std::int64_t> localDate(const std::string& text, int addDays) {
  int y = 0, m = 0, d = 0;
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3) return std::nullopt;
  std::tm parts{};
  parts.tm_year = y - 1900;
  parts.tm_mon = m - 1;
  parts.tm_mday = d + addDays;
  parts.tm_isdst = -1;
  std::time_t t = std::mktime(&parts);
  if (t == -1) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

bool validUtf8Text(const std::string& text) {
  return text.find('\0') == std::string::npos && validUtf8(text) == text;
}

std::string encodeParam(const std::string& value) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

HttpResponse text(int status, std::string body) {
  return {status, "text/plain; charset=utf-8", std::move(body)};
}

HttpResponse page(int status, std::string html) {
  return {status, "text/html; charset=utf-8", std::move(html)};
}

}  // namespace tessaron::search
