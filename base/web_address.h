// What a page's address says about where the page is from, read the way browsers read it: one parser for
// the excluded sites, the archive's site of a record and the search's site filter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaron::web {

// A host name in the form browsers put in a page's address: ASCII (a Unicode name in its IDNA "xn--" form),
// lower case, without a trailing dot; an IPv6 literal in brackets. None when the text cannot be a host name.
std::optional<std::string> asciiHost(std::string_view host);

// The same name under the older IDNA rules that some browsers still follow ("straße" becomes "strasse"
// there, "xn--strae-oqa" under today's); none when both rules give the same name.
std::optional<std::string> olderAsciiHost(std::string_view host);

// The host of a page address in its ASCII form; empty when the address has none (about:, data: and file:
// addresses). A backslash ends the host of a web address, as browsers read it.
std::string hostOf(std::string_view address);

// Whether the address is of a web page (http or https).
bool isWebAddress(std::string_view address);

// The site a web address is of: its ASCII host without a leading "www."; empty for anything that is not a
// web address.
std::string siteOf(std::string_view address);

// A host without a leading "www.", so that "www.bank.example" and "bank.example" name one site.
std::string_view withoutWww(std::string_view host);

}  // namespace tessaron::web
