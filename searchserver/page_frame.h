// What every page of the search server shares: its frame (head, header, navigation), how times and days are
// shown, and the plain answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "searchserver/html.h"
#include "searchserver/http_server.h"

namespace tessaron::search {

// The browsers add their own name to the page's title; the pages show the page's own. (Record files keep
// the whole title.)
std::string displayTitle(const std::string& title);
// "yyyyMMdd" as "yyyy-MM-dd".
std::string dashedDay(const std::string& day);
// A time in the local zone, by strftime's format, and as the pages show a moment.
std::string localClock(std::int64_t seconds, const char* format);
std::string localTime(std::int64_t seconds);
// "yyyy-mm-dd" in local time, as an HTML date input sends it, to seconds at local midnight (`addDays` later).
std::optional<std::int64_t> localDate(const std::string& text, int addDays = 0);
bool validUtf8Text(const std::string& text);
// A query argument's value, percent-encoded.
std::string encodeParam(const std::string& value);

// A page's head and the start of its body, up to its main part; and its end.
Html pageStart(const std::string& title);
std::string pageEnd(Html& html);

HttpResponse text(int status, std::string body);
HttpResponse page(int status, std::string html);

}  // namespace tessaron::search
