#include "base/web_address.h"

#include <glib.h>
#include <idn2.h>

#include <algorithm>
#include <memory>

namespace tessaron::web {

namespace {

std::string lowerAscii(std::string_view text) {
  gchar* lowered = g_ascii_strdown(text.data(), static_cast<gssize>(text.size()));
  std::string out(lowered, text.size());
  g_free(lowered);
  return out;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Letters, digits, '-' and '_' in dot-separated labels, or an IPv6 literal in brackets.
bool isAsciiHostName(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[')
    return host.size() > 2 && host.back() == ']' &&
           host.find_first_not_of("0123456789abcdef:.", 1) == host.size() - 1;
  std::size_t labelLength = 0;
  for (char c : host) {
    if (c == '.') {
      if (labelLength == 0) return false;
      labelLength = 0;
    } else if (g_ascii_isalnum(c) || c == '-' || c == '_') {
      ++labelLength;
    } else {
      return false;
    }
  }
  return labelLength > 0;
}

std::optional<std::string> toAscii(std::string_view host, int rules) {
  std::string text(host);
  if (text.ends_with('.')) text.pop_back();
  if (text.empty()) return std::nullopt;
  if (text.front() != '[' && text.find(':') != std::string::npos) text = "[" + text + "]";
  if (!isAscii(text)) {
    char* converted = nullptr;
    if (idn2_to_ascii_8z(text.c_str(), &converted, rules | IDN2_NFC_INPUT) != IDN2_OK) return std::nullopt;
    text = converted;
    idn2_free(converted);
  }
  text = lowerAscii(text);
  if (!isAsciiHostName(text)) return std::nullopt;
  return text;
}

struct UriDeleter {
  void operator()(GUri* uri) const { g_uri_unref(uri); }
};

}  // namespace

std::optional<std::string> asciiHost(std::string_view host) {
  return toAscii(host, IDN2_NONTRANSITIONAL);
}

std::optional<std::string> olderAsciiHost(std::string_view host) {
  auto today = asciiHost(host);
  auto older = toAscii(host, IDN2_TRANSITIONAL);
  if (!older || older == today) return std::nullopt;
  return older;
}

bool isWebAddress(std::string_view address) {
  const std::string scheme = lowerAscii(address.substr(0, std::min<std::size_t>(address.size(), 8)));
  return scheme.starts_with("https://") || scheme.starts_with("http://");
}

std::string hostOf(std::string_view address) {
  std::string text(address);
  const std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) return {};
  // Browsers read a backslash in a web address as a slash; "http://evil.example\@bank.example/" is
  // evil.example's.
  const std::string scheme = lowerAscii(std::string_view(text).substr(0, schemeEnd));
  if (scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss" || scheme == "ftp")
    std::replace(text.begin() + static_cast<std::ptrdiff_t>(schemeEnd), text.end(), '\\', '/');
  // The host is decoded (percent escapes) and kept as written; its IDNA form is made below.
  std::unique_ptr<GUri, UriDeleter> uri(
      g_uri_parse(text.c_str(), GUriFlags(G_URI_FLAGS_PARSE_RELAXED | G_URI_FLAGS_NON_DNS), nullptr));
  if (!uri || !g_uri_get_host(uri.get())) return {};
  const std::string_view host = g_uri_get_host(uri.get());
  if (host.empty()) return {};
  if (auto ascii = asciiHost(host)) return *ascii;
  // A host no rule can convert still names its page: it is kept as written, lower case, so that nothing
  // mistakes it for having no host.
  gchar* lowered = g_utf8_strdown(host.data(), static_cast<gssize>(host.size()));
  std::string out = lowered ? lowered : std::string(host);
  g_free(lowered);
  return out;
}

std::string_view withoutWww(std::string_view host) {
  if (host.starts_with("www.") && host.size() > 4) host.remove_prefix(4);
  return host;
}

std::string siteOf(std::string_view address) {
  if (!isWebAddress(address)) return {};
  return std::string(withoutWww(hostOf(address)));
}

}  // namespace tessaron::web
