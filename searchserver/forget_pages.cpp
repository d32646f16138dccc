#include "searchserver/forget_pages.h"

#include <glib.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "archive/forgetting.h"
#include "archive/layout.h"
#include "base/web_address.h"
#include "searchserver/page_frame.h"

namespace tessaron::search {

namespace fs = std::filesystem;

namespace {

// "yyyy-mm-ddTHH:MM" (or with ":SS"), as a datetime-local input sends it, in local time, to seconds.
std::optional<std::int64_t> localDateTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char rest = 0;
  const int read = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &rest);
  if ((read != 5 && read != 6) || text.size() < 16 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
      mi > 59 || s > 59)
    return std::nullopt;
  std::tm parts{};
  parts.tm_year = y - 1900;
  parts.tm_mon = mo - 1;
  parts.tm_mday = d;
  parts.tm_hour = h;
  parts.tm_min = mi;
  parts.tm_sec = s;
  parts.tm_isdst = -1;
  const std::time_t t = std::mktime(&parts);
  if (t == -1) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

// To the second, so that the form posted back asks for exactly the range its token was made for.
std::string inputTime(std::int64_t seconds) {
  return localClock(seconds, "%Y-%m-%dT%H:%M:%S");
}

std::string recordsCount(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " record" : " records");
}

// The day folders a request may have records in: records are filed under the local day their pass began, a
// day either side of their UTC stamp.
bool mayHold(const ForgetRequest& request, const std::string& day) {
  switch (request.kind) {
    case ForgetRequest::Kind::moment:
      return archive::recordPlace(request.record)->first == day;
    case ForgetRequest::Kind::day:
      return request.day == day;
    case ForgetRequest::Kind::range:
      return day >= localClock(request.from - 86400, "%Y%m%d") &&
             day <= localClock(request.to + 86400, "%Y%m%d");
    case ForgetRequest::Kind::site:
      return true;
  }
  return false;
}

// What the request forgets, in words.
std::string what(const ForgetRequest& request) {
  switch (request.kind) {
    case ForgetRequest::Kind::moment: {
      const auto stamp = archive::stemTime(archive::recordPlace(request.record)->second);
      return "the moment of " + localTime(std::chrono::system_clock::to_time_t(*stamp));
    }
    case ForgetRequest::Kind::site:
      return "everything from " + request.site->text();
    case ForgetRequest::Kind::day:
      return "the day " + dashedDay(request.day);
    case ForgetRequest::Kind::range:
      return "everything from " + localClock(request.from, "%Y-%m-%d %H:%M") + " to " +
             localClock(request.to, "%Y-%m-%d %H:%M");
  }
  return {};
}

bool alreadyExcluded(const settings::Settings& rules, const settings::HostPattern& site) {
  return std::any_of(rules.excludedSites.begin(), rules.excludedSites.end(),
                     [&site](const settings::HostPattern& excluded) { return excluded.sameSitesAs(site); });
}

void hiddenFields(Html& html, const ForgetRequest& request, const FormTokens& tokens) {
  auto hidden = [&html](const char* name, const std::string& value) {
    html.open("input", {{"type", "hidden"}, {"name", name}, {"value", value}});
  };
  switch (request.kind) {
    case ForgetRequest::Kind::moment:
      hidden("kind", "moment");
      hidden("record", request.record);
      break;
    case ForgetRequest::Kind::site:
      hidden("kind", "site");
      hidden("site", request.site->text());
      break;
    case ForgetRequest::Kind::day:
      hidden("kind", "day");
      hidden("day", dashedDay(request.day));
      break;
    case ForgetRequest::Kind::range:
      hidden("kind", "range");
      hidden("from", inputTime(request.from));
      hidden("to", inputTime(request.to));
      break;
  }
  hidden("token", tokens.tokenFor(request.scope()));
}

}  // namespace

std::string ForgetRequest::scope() const {
  switch (kind) {
    case Kind::moment:
      return "moment\n" + record;
    case Kind::site:
      return "site\n" + site->text();
    case Kind::day:
      return "day\n" + day;
    case Kind::range:
      return "range\n" + std::to_string(from) + "\n" + std::to_string(to);
  }
  return {};
}

bool ForgetRequest::picks(const std::string& inDay, const std::string& stem, const fs::path& textFile) const {
  switch (kind) {
    case Kind::moment:
      return record == inDay + "/" + stem;
    case Kind::day:
      return day == inDay;
    case Kind::range: {
      const auto stamp = archive::stemTime(stem);
      if (!stamp) return false;
      const auto seconds = std::chrono::system_clock::to_time_t(*stamp);
      return seconds >= from && seconds < to;
    }
    case Kind::site: {
      if (textFile.empty()) return false;  // a record cut short has no address to tell its site by
      settings::Settings only;
      only.excludedSites = {*site};
      return settings::isExcluded(only, archive::recordAddress(textFile));
    }
  }
  return false;
}

ParsedForget parseForget(const std::function<std::string(const std::string&)>& field) {
  ParsedForget out;
  for (const char* key : {"kind", "record", "site", "day", "from", "to"})
    if (!validUtf8Text(field(key))) {
      out.problem = std::string("The field \"") + key + "\" must be text (UTF-8, no NUL).";
      return out;
    }
  ForgetRequest request;
  const std::string kind = field("kind");
  if (kind == "moment") {
    request.kind = ForgetRequest::Kind::moment;
    if (!archive::recordPlace(field("record"))) {
      out.problem = "The record must be a record's place, yyyyMMdd/<stamp>.";
      return out;
    }
    request.record = field("record");
  } else if (kind == "site") {
    request.kind = ForgetRequest::Kind::site;
    request.site = settings::HostPattern::parse(field("site"));
    if (!request.site) {
      out.problem =
          "The site must be a host name, such as example.org, or *.example.org for every subdomain.";
      return out;
    }
  } else if (kind == "day") {
    request.kind = ForgetRequest::Kind::day;
    const std::string day = field("day");
    if (!localDate(day)) {
      out.problem = "The day must be a date written yyyy-mm-dd.";
      return out;
    }
    request.day = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
  } else if (kind == "range") {
    request.kind = ForgetRequest::Kind::range;
    const auto from = localDateTime(field("from"));
    const auto to = localDateTime(field("to"));
    if (!from || !to) {
      out.problem = "The range needs a start and an end, each written yyyy-mm-ddTHH:MM.";
      return out;
    }
    if (*to <= *from) {
      out.problem = "The range must end after it starts.";
      return out;
    }
    request.from = *from;
    request.to = *to;
  } else {
    out.problem = "The kind must be moment, site, day or range.";
    return out;
  }
  out.request = std::move(request);
  return out;
}

std::size_t countForgotten(const fs::path& archive, const ForgetRequest& request) {
  std::size_t count = 0;
  for (const std::string& day : archive::dayFolders(archive)) {
    if (!mayHold(request, day)) continue;
    for (const archive::StoredRecord& record : archive::storedRecords(archive / day))
      count += request.picks(day, record.stem, record.textFile()) ? 1 : 0;
  }
  return count;
}

std::size_t forget(const fs::path& archive, const ForgetRequest& request) {
  std::size_t count = 0;
  for (const std::string& day : archive::dayFolders(archive)) {
    if (!mayHold(request, day)) continue;
    count += archive::deleteRecords(archive / day, [&](const archive::StoredRecord& record) {
               return request.picks(day, record.stem, record.textFile());
             }).records;
  }
  return count;
}

FormTokens::FormTokens() {
  std::size_t got = 0;
  while (got < secret_.size()) {
    const ssize_t read = ::getrandom(secret_.data() + got, secret_.size() - got, 0);
    if (read > 0) got += static_cast<std::size_t>(read);
  }
}

std::string FormTokens::tokenFor(const std::string& scope) const {
  GHmac* hmac = g_hmac_new(G_CHECKSUM_SHA256, secret_.data(), secret_.size());
  g_hmac_update(hmac, reinterpret_cast<const guchar*>(scope.data()), static_cast<gssize>(scope.size()));
  std::string token = g_hmac_get_string(hmac);
  g_hmac_unref(hmac);
  return token;
}

bool FormTokens::valid(const std::string& scope, const std::string& token) const {
  const std::string expected = tokenFor(scope);
  if (token.size() != expected.size()) return false;
  unsigned char difference = 0;  // every byte compared, whatever the first difference
  for (std::size_t i = 0; i < token.size(); ++i)
    difference |= static_cast<unsigned char>(token[i] ^ expected[i]);
  return difference == 0;
}

HttpResponse askToForget(const HttpRequest& request, const fs::path& archive,
                         settings::SettingsFile& settings, const FormTokens& tokens) {
  const ParsedForget parsed =
      parseForget([&request](const std::string& name) { return request.param(name); });
  if (!parsed.request) return text(400, parsed.problem + "\n");
  const ForgetRequest& asked = *parsed.request;
  const std::size_t count = countForgotten(archive, asked);
  settings.refresh();
  const bool excluded = asked.site && alreadyExcluded(settings.current(), *asked.site);
  const std::string subject = what(asked);
  Html html = pageStart("Forget " + subject + "? \u2014 Tessaron");
  html.element("h1", "Forget " + subject + "?");
  if (count == 0)
    html.element("p", "The archive holds no record of this: there is nothing to forget.");
  else
    html.element("p",
                 "This takes " + recordsCount(count) +
                     " out of your archive for good: the screenshots, the words, and what search and its "
                     "thumbnails knew of them. It cannot be undone.");
  if (asked.site && excluded)
    html.element("p", {{"class", "note"}},
                 asked.site->text() + " is an excluded site: Tessaron does not record it.");
  if (count > 0 || (asked.site && !excluded)) {
    html.open("form", {{"method", "post"}, {"action", "/forget"}, {"class", "confirm"}});
    hiddenFields(html, asked, tokens);
    if (count == 0)  // then the one thing left to ask
      html.open("input", {{"type", "hidden"}, {"name", "exclude"}, {"value", "yes"}});
    else if (asked.site && !excluded)
      html.open("p")
          .open("label")
          .open("input", {{"type", "checkbox"}, {"name", "exclude"}, {"value", "yes"}})
          .text(" Also stop recording " + asked.site->text() + ": add it to the excluded sites")
          .close("label")
          .close("p");
    html.open("p")
        .element("button", {{"type", "submit"}},
                 count > 0 ? "Forget " + recordsCount(count) : "Stop recording " + asked.site->text())
        .text(" ")
        .element("a", {{"href", "/"}}, "Keep everything")
        .close("p")
        .close("form");
  } else {
    html.open("p").element("a", {{"href", "/"}}, "Back to search").close("p");
  }
  HttpResponse asking = page(200, pageEnd(html));
  // Browsers send a form's origin only where the page lets them tell whence a request comes (with
  // "no-referrer" a posted form says "null"): this page tells only itself.
  asking.headers["Referrer-Policy"] = "same-origin";
  return asking;
}

HttpResponse forgetAsked(const HttpRequest& request, const fs::path& archive,
                         settings::SettingsFile& settings, const FormTokens& tokens) {
  const ParsedForget parsed =
      parseForget([&request](const std::string& name) { return request.field(name); });
  if (!parsed.request) return text(400, parsed.problem + "\n");
  const ForgetRequest& asked = *parsed.request;
  if (!tokens.valid(asked.scope(), request.field("token"))) {
    std::fprintf(stderr, "server: refused a request to forget: its token is not this page's\n");
    return text(403,
                "This form is not one of this search server's pages (or the server has restarted since): "
                "open the page again and ask once more.\n");
  }
  const std::size_t count = forget(archive, asked);
  const bool exclude = asked.site && request.field("exclude") == "yes";
  Html html = pageStart("Forgotten \u2014 Tessaron");
  html.element("h1", count > 0 || !exclude ? "Forgotten" : "Excluded");
  if (count > 0 || !exclude)
    html.element("p", {{"role", "status"}},
                 recordsCount(count) + (count == 1 ? " was" : " were") + " taken out of your archive (" +
                     what(asked) + "). Search stops finding " + (count == 1 ? "it" : "them") +
                     " within a few seconds.");
  if (exclude) {
    const auto problem = settings::addExcludedSite(settings.file(), asked.site->text());
    if (problem)
      html.element("p", {{"role", "alert"}},
                   asked.site->text() + " could not be added to the excluded sites (" + *problem +
                       "). Add it to " + settings.file().string() + " yourself.");
    else
      html.element("p", asked.site->text() + " is now an excluded site: Tessaron no longer records it.");
  }
  html.open("p").element("a", {{"href", "/"}}, "Back to search").close("p");
  return page(200, pageEnd(html));
}

void offerToForgetExcludedSites(Html& html, IndexKeeper& keeper, const settings::Settings& rules) {
  for (const settings::HostPattern& site : rules.excludedSites) {
    // The index keeps a record's site as its address gave it, Unicode or not.
    bool held = false;
    for (const std::string& name : {site.domain, std::string(web::withoutWww(site.written))}) {
      Query query;
      query.site = name;
      query.limit = 20;
      const Results found = keeper.search(query);
      held = held || std::any_of(found.hits.begin(), found.hits.end(), [&site](const Hit& hit) {
               const std::string host = web::hostOf(hit.address);
               return !host.empty() && site.matches(host);
             });
    }
    if (!held) continue;
    html.open("p", {{"class", "note"}, {"role", "status"}})
        .text("Pages from " + site.text() + " were saved before it was excluded. ")
        .element("a", {{"href", forgetSiteLink(site.text())}}, "Forget them\u2026")
        .close("p");
  }
}

std::string forgetSiteLink(const std::string& site) {
  return "/forget?kind=site&site=" + encodeParam(site);
}
std::string forgetMomentLink(const std::string& recordPath) {
  return "/forget?kind=moment&record=" + encodeParam(recordPath);
}
std::string forgetDayLink(const std::string& day) {
  return "/forget?kind=day&day=" + dashedDay(day);
}

}  // namespace tessaron::search
