// Telling Firefox's private windows by their titles, in every language Firefox is translated into.
#pragma once

#include <span>
#include <string_view>

namespace tessaron::platform {

// A private window's own title in one language: `before`, the browser's name, `after`.
struct FirefoxPrivateTitleForm {
  std::string_view language;  // the language pack's code, "de", "pt-br"; "en-us" for the built-in English
  std::string_view before;
  std::string_view after;
};

std::span<const FirefoxPrivateTitleForm> firefoxPrivateTitleForms();

// Whether the title is that of a private window in any language: the private window's own title, alone or
// after the page's title and " — ".
bool isFirefoxPrivateTitle(std::string_view title);

}  // namespace tessaron::platform
