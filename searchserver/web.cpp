#include "searchserver/web.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/layout.h"
#include "base/search_address.h"
#include "base/web_address.h"
#include "platform/browsers.h"
#include "searchserver/assets.h"
#include "searchserver/forget_pages.h"
#include "searchserver/html.h"
#include "searchserver/page_frame.h"
#include "searchserver/storage_page.h"

namespace tessaron::search {

namespace fs = std::filesystem;

namespace {

std::string recordLink(const std::string& recordPath) {
  return "/record/" + recordPath;
}
std::string thumbnailLink(const std::string& recordPath) {
  return "/thumb/" + recordPath + ".webp";
}
// A record as a thumbnail with its title and time, in a list of moments (`anchor`: the item's id, if any).
void momentItem(Html& html, const Hit& record, const std::string& time, const std::string& anchor = {}) {
  html.open("li", {{"class", "moment"}, {"id", anchor.empty() ? std::nullopt : std::optional(anchor), true}})
      .open("a", {{"class", "open"}, {"href", recordLink(record.recordPath)}})
      .open("img", {{"src", thumbnailLink(record.recordPath)},
                    {"width", "320"},
                    {"height", "200"},
                    {"loading", "lazy"},
                    {"alt", ""}})
      .element("span", displayTitle(record.title))
      .element("time", {{"datetime", record.stamp}}, time)
      .close("a")
      .close("li");
}

// A record's address: a link when it is a web page's, else its text.
void addressOf(Html& html, const std::string& address) {
  if (web::isWebAddress(address))
    html.element("a", {{"href", address}, {"rel", "noreferrer noopener"}}, address);
  else
    html.text(address);
}

std::string momentLink(const std::string& recordPath) {
  const auto place = archive::recordPlace(recordPath);
  if (!place) return "/timeline";
  return "/timeline?day=" + dashedDay(place->first) + "#t" + place->second;
}

// The query a request asks for, or why it cannot be asked (a short reason for a 400 answer).
struct ParsedQuery {
  Query query;
  std::string problem;
};

ParsedQuery queryFrom(const HttpRequest& request) {
  ParsedQuery out;
  Query& q = out.query;
  for (const char* key : {"q", "from", "to", "site", "order", "page"})
    if (!validUtf8Text(request.param(key))) {
      out.problem = std::string("The parameter \"") + key + "\" must be text (UTF-8, no NUL).";
      return out;
    }
  q.text = request.param("q");
  if (queryTerms(q.text).size() > maxQueryTerms) {
    out.problem = "A search may have at most " + std::to_string(maxQueryTerms) + " different words.";
    return out;
  }
  for (const char* key : {"from", "to"})
    if (!request.param(key).empty() && !localDate(request.param(key))) {
      out.problem = std::string("The date \"") + key + "\" must be written yyyy-mm-dd.";
      return out;
    }
  q.from = localDate(request.param("from"));
  q.to = localDate(request.param("to"), 1);  // the "to" day is included
  const std::string site = request.param("site");
  q.site = web::siteOf("http://" + site);
  if (!site.empty() && ftsQuery(q.site).empty()) {
    out.problem = "The site must be a host name, such as example.org.";
    return out;
  }
  q.newestFirst = request.param("order") != "relevance";
  const std::string page = request.param("page");
  long number = 1;
  if (!page.empty()) {
    char* end = nullptr;
    number = std::strtol(page.c_str(), &end, 10);
    if (end == page.c_str() || *end != '\0' || number < 1) {
      out.problem = "The page must be a number from 1.";
      return out;
    }
  }
  q.limit = 20;
  q.offset = static_cast<int>(std::clamp<long>(number - 1, 0, 100000)) * q.limit;
  return out;
}

// Snippet markers (\x01 … \x02) as <mark>, everything else as text.
void snippet(Html& html, const std::string& snippet) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= snippet.size(); ++i) {
    if (i == snippet.size() || snippet[i] == '\x01' || snippet[i] == '\x02') {
      html.text(std::string_view(snippet).substr(start, i - start));
      if (i < snippet.size()) html.markup(snippet[i] == '\x01' ? "<mark>" : "</mark>");
      start = i + 1;
    }
  }
}

std::string plainSnippet(std::string snippet) {
  std::erase(snippet, '\x01');
  std::erase(snippet, '\x02');
  return snippet;
}

std::string pageLink(const HttpRequest& request, int page) {
  std::string link = "/?";
  for (const char* key : {"q", "from", "to", "site", "order"})
    link += std::string(key) + "=" + encodeParam(request.param(key)) + "&";
  return link + "page=" + std::to_string(page);
}

// The search page for a query that has been checked: one entry per address, its newest matching visit first.
std::string searchPage(const HttpRequest& request, Query query, IndexKeeper& keeper, Storage storage,
                       settings::SettingsFile& settings) {
  query.groupByAddress = true;
  Results results = keeper.search(query);
  Html html = pageStart(query.text.empty() ? "Tessaron search" : query.text + " \u2014 Tessaron search");
  html.element("h1", "Search")
      .open("form", {{"method", "get"}, {"action", "/"}, {"role", "search"}})
      .open("label")
      .text("Words")
      .open("input", {{"name", "q"},
                      {"placeholder", "Search everything you have seen"},
                      {"value", query.text},
                      {"autofocus"}})
      .close("label");
  for (const auto& [label, name] : {std::pair{"From", "from"}, std::pair{"To", "to"}})
    html.open("label")
        .text(label)
        .open("input", {{"type", "date"}, {"name", name}, {"value", request.param(name)}})
        .close("label");
  html.open("label")
      .text("Site")
      .open("input", {{"name", "site"}, {"value", request.param("site")}, {"placeholder", "example.org"}})
      .close("label")
      .open("label")
      .text("Order")
      .open("select", {{"name", "order"}})
      .element("option", {{"value", "newest"}}, "Newest first")
      .element("option",
               {{"value", "relevance"},
                {"selected", query.newestFirst ? std::nullopt : std::optional<std::string>(""), true}},
               "Relevance")
      .close("select")
      .close("label")
      .element("button", "Search")
      .close("form");
  settings.refresh();
  const settings::Settings rules = settings.current();
  const std::size_t excluded = rules.excludedSites.size();
  html.element("p", {{"class", "note"}},
               "Not recorded: private windows, " + std::to_string(excluded) +
                   (excluded == 1 ? " excluded site" : " excluded sites") +
                   (rules.ocr ? "" : ", words in pictures (OCR is off)") + " (" + settings.file().string() +
                   ")." +
                   (storage == Storage::sealed
                        ? " The archive is sealed: encrypted on the disk, open only while Tessaron runs."
                        : " The archive is kept in plain files: anyone who can read the disk can read it."));
  offerToForgetExcludedSites(html, keeper, rules);
  if (const std::string notice = keeper.notice(); !notice.empty())
    html.element("p", {{"class", "note"}, {"role", "status"}}, notice);
  if (const auto progress = keeper.progress(); !progress.done)
    html.element("p", {{"class", "note"}},
                 "Indexing the archive: " + std::to_string(progress.days) + " of " +
                     std::to_string(progress.daysTotal) +
                     " days so far; search already covers what is done.");
  if (results.timedOut)
    html.element("p", {{"class", "note"}, {"role", "status"}},
                 "This search took too long and was stopped: the results may be incomplete. Fewer or rarer "
                 "words answer faster.");
  const std::string forQuery = query.text.empty() ? std::string() : " for \u201c" + query.text + "\u201d";
  html.element("p", {{"class", "note"}},
               (results.totalIsLowerBound ? "At least " + std::to_string(results.total)
                                          : std::to_string(results.total)) +
                   (results.total == 1 && !results.totalIsLowerBound ? " page" : " pages") + forQuery + ".");
  if (results.hits.empty())
    html.element("p", "No results" + forQuery + ". Try fewer words, or another date range or site.");
  for (const auto& hit : results.hits) {
    const std::string title = displayTitle(hit.title);
    html.open("article", {{"class", "result"}})
        .open("a", {{"href", recordLink(hit.recordPath)}, {"tabindex", "-1"}})
        .open("img", {{"src", thumbnailLink(hit.recordPath)},
                      {"width", "200"},
                      {"height", "125"},
                      {"loading", "lazy"},
                      {"alt", "Screenshot of " + title}})
        .close("a")
        .open("div")
        .open("h2")
        .element("a", {{"class", "open"}, {"href", recordLink(hit.recordPath)}}, title)
        .close("h2")
        .open("div", {{"class", "meta"}});
    addressOf(html, hit.address);
    html.text(" \u00b7 ").element("a", {{"href", momentLink(hit.recordPath)}}, localTime(hit.time));
    if (const std::string site = web::siteOf(hit.address); !site.empty())
      html.text(" \u00b7 ")
          .element("a", {{"href", forgetSiteLink(site)}}, "Forget everything from this site");
    html.close("div");
    html.open("p");
    snippet(html, hit.snippet);
    html.close("p");
    if (hit.visits.size() > 1) {
      html.open("details").element("summary", std::to_string(hit.visits.size()) + " visits").open("ul");
      for (const Visit& visit : hit.visits)
        html.open("li")
            .element("a", {{"href", recordLink(visit.recordPath)}}, localTime(visit.time))
            .close("li");
      html.close("ul").close("details");
    }
    html.close("div").close("article");
  }
  // Newest first, the earlier pages hold newer visits; by relevance, better matches.
  const int page = query.offset / query.limit + 1;
  const char* back = query.newestFirst ? "\u2190 Newer" : "\u2190 Better matches";
  const char* on = query.newestFirst ? "Older \u2192" : "Weaker matches \u2192";
  html.open("nav", {{"class", "pages"}, {"aria-label", "Result pages"}});
  if (page > 1) html.element("a", {{"href", pageLink(request, page - 1)}}, back);
  if (results.morePossible(query.offset, query.limit))
    html.element("a", {{"href", pageLink(request, page + 1)}}, on);
  html.close("nav");
  // Taking out what was seen over a while: the page that asks says how many records that is.
  const std::int64_t now = std::time(nullptr);
  html.open("details", {{"class", "forget"}})
      .element("summary", "Forget a time range")
      .open("form", {{"method", "get"}, {"action", "/forget"}})
      .open("input", {{"type", "hidden"}, {"name", "kind"}, {"value", "range"}});
  for (const auto& [label, name, seconds] :
       {std::tuple{"From", "from", now - 3600}, std::tuple{"To", "to", now}})
    html.open("label")
        .text(label)
        .open("input",
              {{"type", "datetime-local"}, {"name", name}, {"value", localClock(seconds, "%Y-%m-%dT%H:%M")}})
        .close("label");
  html.element("button", "Forget\u2026").close("form").close("details");
  return pageEnd(html);
}

// "yyyy-mm-dd" to a day folder's name, or none.
std::optional<std::string> dayFolderOf(const std::string& text) {
  if (!localDate(text)) return std::nullopt;
  return text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
}

// At most this many records of one day are shown (a busy day has about 2,000).
constexpr std::size_t timelineLimit = 5000;

std::string timelinePage(const std::string& day, IndexKeeper& keeper) {
  // A read that failed (a busy or rebuilt index) is none at all, never an empty day.
  const std::optional<std::vector<Hit>> read = keeper.read(
      [&](Index& index) -> std::optional<std::vector<Hit>> { return index.dayRecords(day, timelineLimit); });
  const std::vector<Hit> records = read.value_or(std::vector<Hit>());
  const auto [previous, next] = keeper.read([&](Index& index) { return index.adjacentDays(day); });
  const std::string shown = dashedDay(day);
  Html html = pageStart(shown + " \u2014 Tessaron timeline");
  html.element("h1", "Timeline of " + shown)
      .open("form", {{"method", "get"}, {"action", "/timeline"}})
      .open("label")
      .text("Day")
      .open("input", {{"type", "date"}, {"name", "day"}, {"value", shown}})
      .close("label")
      .element("button", "Show")
      .close("form")
      .open("nav", {{"class", "around"}, {"aria-label", "Days"}})
      .open("span");
  if (previous)
    html.element("a", {{"href", "/timeline?day=" + dashedDay(*previous)}}, "\u2190 " + dashedDay(*previous));
  html.close("span").open("span");
  if (next) html.element("a", {{"href", "/timeline?day=" + dashedDay(*next)}}, dashedDay(*next) + " \u2192");
  html.close("span").close("nav");
  if (!read)
    html.element(
        "p",
        "This day cannot be read just now (the index is busy, or being rebuilt): try again in a moment.");
  else if (records.empty())
    html.element("p", "Nothing was recorded on this day.");
  std::string hour;
  for (const Hit& record : records) {
    const std::string recordHour = localClock(record.time, "%H:00");
    if (recordHour != hour) {
      if (!hour.empty()) html.close("ul").close("section");
      hour = recordHour;
      html.open("section", {{"class", "hour"}}).element("h2", hour).open("ul", {{"class", "moments"}});
    }
    const auto place = archive::recordPlace(record.recordPath);
    momentItem(html, record, localClock(record.time, "%H:%M:%S"), "t" + (place ? place->second : ""));
  }
  if (!hour.empty()) html.close("ul").close("section");
  if (!records.empty())
    html.open("p", {{"class", "forget"}})
        .element("a", {{"href", forgetDayLink(day)}}, "Forget this day")
        .close("p");
  if (records.size() >= timelineLimit)
    html.element("p", {{"class", "note"}},
                 "Only the first " + std::to_string(timelineLimit) + " records of the day are shown.");
  return pageEnd(html);
}

std::optional<std::string> recordPage(const fs::path& archive, const std::string& day,
                                      const std::string& stem, IndexKeeper& keeper) {
  // The record's own file has the words; the index knows its neighbours and the other visits. Only a plain
  // file in a real day folder is read.
  const fs::path file = archive::recordFiles(archive, day, stem).textPath;
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(file, ec)) ||
      !fs::is_directory(fs::symlink_status(file.parent_path(), ec)))
    return std::nullopt;
  const auto bytes = readTextRecord(file);
  if (!bytes) return std::nullopt;
  const auto record = parseRecord(*bytes);
  if (!record) return std::nullopt;
  const std::string path = day + "/" + stem;
  const auto [previous, next] = keeper.read([&](Index& index) { return index.neighbours(path); });
  const auto visits = keeper.read([&](Index& index) { return index.visitsOf(record->address, 51); });
  const std::string title = displayTitle(record->title);
  Html html = pageStart(title + " \u2014 Tessaron");
  html.element("h1", title).open("p", {{"class", "meta"}});
  addressOf(html, record->address);
  html.text(" \u00b7 ")
      .element("a", {{"href", momentLink(path)}}, localTime(record->time))
      .close("p")
      .open("nav", {{"class", "around"}, {"aria-label", "Records in time"}})
      .open("span");
  if (previous)
    html.element("a", {{"class", "open"}, {"href", recordLink(previous->recordPath)}, {"rel", "prev"}},
                 "\u2190 " + displayTitle(previous->title));
  html.close("span").open("span");
  if (next)
    html.element("a", {{"class", "open"}, {"href", recordLink(next->recordPath)}, {"rel", "next"}},
                 displayTitle(next->title) + " \u2192");
  html.close("span")
      .close("nav")
      .open("p", {{"class", "shot"}})
      .open("img", {{"src", "/shot/" + path + std::string(archive::screenshotExtension)},
                    {"alt", "Screenshot of " + title}})
      .close("p")
      .element("h2", "Words")
      .element("div", {{"class", "words"}, {"tabindex", "0"}}, record->body);
  std::size_t shownVisits = 0;
  for (const Hit& visit : visits) {
    if (visit.recordPath == path || shownVisits == 50) continue;
    if (shownVisits++ == 0) html.element("h2", "Other visits").open("ul");
    html.open("li").element("a", {{"href", recordLink(visit.recordPath)}}, localTime(visit.time)).close("li");
  }
  if (shownVisits > 0) html.close("ul");
  html.element("h2", "Looks like this");
  const auto alike = keeper.read([&](Index& index) { return index.looksLike(path, 24); });
  if (!alike) {
    html.element("p", {{"class", "note"}},
                 "The screenshots are still being compared; this shows once they are.");
  } else if (alike->empty()) {
    html.element("p", {{"class", "note"}}, "No other screenshot in the archive looks like this one.");
  } else {
    html.open("ul", {{"class", "moments"}});
    for (const Hit& hit : *alike)
      momentItem(html, hit, localTime(hit.time));
    html.close("ul");
  }
  html.element("h2", "Forget")
      .open("p", {{"class", "forget"}})
      .element("a", {{"href", forgetMomentLink(path)}}, "Forget this moment");
  if (const std::string site = web::siteOf(record->address); !site.empty())
    html.text(" \u00b7 ").element("a", {{"href", forgetSiteLink(site)}}, "Forget everything from this site");
  html.close("p");
  return pageEnd(html);
}

}  // namespace

namespace {

HttpResponse asset(std::string_view name, std::string contentType) {
  return {200, std::move(contentType), std::string(search::asset(name))};
}

// The checks every request passes before any route: the server's own host name (no DNS rebinding), no other
// site's page behind it (Origin, Sec-Fetch-Site), and only reading.
std::optional<HttpResponse> refusal(const HttpRequest& request) {
  if (!isSearchHost(request.header("Host")))
    return text(403, "This server answers only " + searchHostAndPort() + ".\n");
  const std::string origin = request.header("Origin");
  if (!origin.empty() &&
      !(origin.starts_with("http://") && isSearchHost(std::string_view(origin).substr(7)))) {
    if (request.method == "POST")
      std::fprintf(stderr, "server: refused a request to forget: another page sent it\n");
    return text(403, "Cross-site requests are refused.\n");
  }
  const std::string fetchSite = request.header("Sec-Fetch-Site");
  if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none")
    return text(403, "Cross-site requests are refused.\n");
  if (request.method == "POST" && request.path == "/forget") {
    // What changes the archive comes only from a form of these pages: the browser names their origin and
    // says the request is the page's own (both are sent with every form a browser posts).
    // Said in the log, never naming the page that asked (it is one the person saw).
    const auto refused = [](int status, const char* why) {
      std::fprintf(stderr, "server: refused a request to forget: %s\n", why);
      return text(status, "Only Tessaron's own pages may ask this.\n");
    };
    if (origin.empty()) return refused(403, "it names no page it came from");
    if (!fetchSite.empty() && fetchSite != "same-origin") return refused(403, "another page sent it");
    if (!request.header("Content-Type").starts_with("application/x-www-form-urlencoded"))
      return refused(415, "it is not a form");
    return std::nullopt;
  }
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse refused = text(405, "Only GET is served here.\n");
    refused.headers["Allow"] = "GET, HEAD";
    return refused;
  }
  return std::nullopt;
}

// One route: a fixed path, or a record's place ("<day>/<stem>") between a prefix and a suffix, as the archive
// names them (no "..", no other slashes, no other file).
struct Route {
  using Place = std::pair<std::string, std::string>;
  std::string_view path;  // the whole path, or the prefix of a place
  std::optional<std::string_view> placeSuffix;
  std::function<HttpResponse(const HttpRequest&, const Place&)> answer;

  std::optional<Place> match(std::string_view requested) const {
    if (!placeSuffix) return requested == path ? std::optional<Place>(Place{}) : std::nullopt;
    if (!requested.starts_with(path) || !requested.ends_with(*placeSuffix) ||
        requested.size() < path.size() + placeSuffix->size())
      return std::nullopt;
    return archive::recordPlace(
        requested.substr(path.size(), requested.size() - path.size() - placeSuffix->size()));
  }
};

// The routes in order, the first that matches answering; `otherwise` answers what none matches.
HttpHandler withHeaders(std::vector<Route> routes, std::function<HttpResponse()> otherwise) {
  return [routes = std::move(routes), otherwise = std::move(otherwise)](const HttpRequest& request) {
    HttpResponse response = [&] {
      if (auto refused = refusal(request)) return *refused;
      for (const Route& route : routes)
        if (auto place = route.match(request.path)) return route.answer(request, *place);
      return otherwise();
    }();
    response.headers.insert({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; img-src 'self'; style-src 'self'; form-action 'self'; "
         "base-uri 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
        {"Cache-Control", "no-store"},
    });
    return response;
  };
}

std::vector<Route> assetRoutes() {
  return {{"/style.css", {}, [](auto&, auto&) { return asset("style.css", "text/css; charset=utf-8"); }},
          {"/app.js", {}, [](auto&, auto&) { return asset("app.js", "text/javascript; charset=utf-8"); }}};
}

HttpResponse searchApi(const HttpRequest& request, IndexKeeper& keeper) {
  ParsedQuery parsed = queryFrom(request);
  if (!parsed.problem.empty()) return text(400, parsed.problem + "\n");
  const std::string group = request.param("group");
  if (group != "" && group != "address") return text(400, "The grouping must be \"address\" or none.\n");
  Query& query = parsed.query;
  query.groupByAddress = group == "address";
  Results results = keeper.search(query);
  nlohmann::json out = {{"query", query.text},
                        {"total", results.total},
                        {"totalIsLowerBound", results.totalIsLowerBound || results.total > countLimit},
                        {"timedOut", results.timedOut},
                        {"results", nlohmann::json::array()}};
  for (const auto& hit : results.hits) {
    nlohmann::json entry = {{"address", hit.address},
                            {"title", hit.title},
                            {"stamp", hit.stamp},
                            {"recordPath", hit.recordPath},
                            {"snippet", plainSnippet(hit.snippet)},
                            {"image", "/shot/" + hit.recordPath + std::string(archive::screenshotExtension)}};
    if (query.groupByAddress) {
      entry["visits"] = nlohmann::json::array();
      for (const Visit& visit : hit.visits)
        entry["visits"].push_back({{"recordPath", visit.recordPath}, {"time", visit.time}});
    }
    out["results"].push_back(std::move(entry));
  }
  return {200, "application/json; charset=utf-8",
          out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

HttpResponse screenshot(const fs::path& archive, const Route::Place& place) {
  // By record path only; the file must be a plain file inside the archive (no symbolic links).
  const fs::path file = archive::recordFiles(archive, place.first, place.second).imagePath;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(file.parent_path(), ec)))
    return text(404, "No such screenshot.\n");
  ArchiveFile opened(file, maxScreenshotBytes);
  if (!opened) return text(404, "No such screenshot.\n");
  const std::uint64_t size = opened.size();
  return {200, "image/png", {}, {}, std::make_shared<FileBody>(opened.release(), size)};
}

}  // namespace

HttpHandler makeLockedHandler() {
  // Any other path: the page that says so.
  return withHeaders(assetRoutes(), [] {
    Html html = pageStart("The archive is locked \u2014 Tessaron search");
    html.element("h1", "The archive is locked")
        .element("p", {{"class", "note"}, {"role", "status"}},
                 "Your archive is sealed, and Tessaron has not opened it yet: its key is kept in "
                 "your desktop's keyring, or you open it with your passphrase or recovery key. "
                 "Nothing is recorded until then. Tessaron says what it needs in its own alert; "
                 "this page shows your archive as soon as it is open.");
    HttpResponse locked = page(503, pageEnd(html));
    locked.headers["Retry-After"] = "5";
    return locked;
  });
}

HttpHandler makeHandler(const fs::path& archive, IndexKeeper& keeper, settings::SettingsFile& settings,
                        Thumbnails& thumbnails, Storage storage) {
  std::vector<Route> routes = assetRoutes();
  routes.push_back({"/api/search", {}, [&keeper](const HttpRequest& request, auto&) {
                      return searchApi(request, keeper);
                    }});
  routes.push_back({"/", {}, [&keeper, &settings, storage](const HttpRequest& request, auto&) {
                      const ParsedQuery parsed = queryFrom(request);
                      if (!parsed.problem.empty()) return text(400, parsed.problem + "\n");
                      return page(200, searchPage(request, parsed.query, keeper, storage, settings));
                    }});
  auto tokens = std::make_shared<FormTokens>();
  routes.push_back({"/forget", {}, [archive, &settings, tokens](const HttpRequest& request, auto&) {
                      return request.method == "POST" ? forgetAsked(request, archive, settings, *tokens)
                                                      : askToForget(request, archive, settings, *tokens);
                    }});
  routes.push_back({"/storage", {}, [archive, &settings](const HttpRequest&, auto&) {
                      return page(200, storagePage(archive, settings));
                    }});
  routes.push_back({"/timeline", {}, [&keeper](const HttpRequest& request, auto&) {
                      const std::string wanted = request.param("day");
                      std::optional<std::string> day =
                          wanted.empty() ? std::optional(localClock(std::time(nullptr), "%Y%m%d"))
                                         : (validUtf8Text(wanted) ? dayFolderOf(wanted) : std::nullopt);
                      if (!day) return text(400, "The day must be a date written yyyy-mm-dd.\n");
                      return page(200, timelinePage(*day, keeper));
                    }});
  routes.push_back({"/record/", "", [archive, &keeper](const HttpRequest&, const Route::Place& place) {
                      if (auto found = recordPage(archive, place.first, place.second, keeper))
                        return page(200, std::move(*found));
                      Html html = pageStart("No such record");
                      html.element("h1", "No such record")
                          .element(
                              "p",
                              "This record is not in the archive (it may have been deleted), or it cannot "
                              "be read.");
                      return page(404, pageEnd(html));
                    }});
  // A thumbnail always answers with a picture: a screenshot that is missing or cannot be read gets the
  // placeholder.
  routes.push_back({"/thumb/", ".webp", [&thumbnails](const HttpRequest&, const Route::Place& place) {
                      if (auto bytes = thumbnails.get(place.first, place.second))
                        return HttpResponse{200, "image/webp", std::move(*bytes)};
                      return HttpResponse{200, "image/svg+xml", Thumbnails::placeholder()};
                    }});
  routes.push_back(
      {"/shot/", archive::screenshotExtension,
       [archive](const HttpRequest&, const Route::Place& place) { return screenshot(archive, place); }});
  return withHeaders(std::move(routes), [] { return text(404, "Not found.\n"); });
}

bool isHeavy(const HttpRequest& request) {
  // A thumbnail may have to be made; forgetting and measuring read through the whole archive.
  return request.path.starts_with("/thumb/") || request.path == "/forget" || request.path == "/storage";
}

}  // namespace tessaron::search
