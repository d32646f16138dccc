#include "searchserver/web.h"

#include <algorithm>
#include <ctime>

#include <nlohmann/json.hpp>

#include "archive/layout.h"
#include "base/search_address.h"
#include "base/web_address.h"
#include "platform/browsers.h"

namespace tessaron::search {

namespace fs = std::filesystem;

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

namespace {

constexpr const char* stylesheet = R"(
:root{color-scheme:light dark;--text:#1d2733;--muted:#4b5b6b;--line:#d5dbe3;--back:#fff;--link:#1a56a0;
--mark:#ffe48a;--panel:#f3f5f8}
@media (prefers-color-scheme:dark){:root{--text:#e6edf3;--muted:#a9b6c3;--line:#3a4654;--back:#12181f;
--link:#8cc4ff;--mark:#6b5300;--panel:#1b232c}}
body{font:15px/1.45 system-ui,sans-serif;max-width:64rem;margin:1.5rem auto;padding:0 1rem;color:var(--text);
background:var(--back)}
a{color:var(--link)}a:focus-visible,button:focus-visible,input:focus-visible,select:focus-visible,
summary:focus-visible{outline:3px solid var(--link);outline-offset:2px}
header{display:flex;gap:1.5rem;align-items:baseline;margin-bottom:1rem}
header .brand{font-size:1.3rem;font-weight:700;margin:0}header nav{display:flex;gap:1rem}
h1{font-size:1.3rem;margin:0 0 1rem}h2{font-size:1.1rem}
form{display:flex;flex-wrap:wrap;gap:.5rem;align-items:end;margin-bottom:1rem}
label{display:flex;flex-direction:column;font-size:.85rem;color:var(--muted)}
input,select,button{font:inherit;padding:.35rem .5rem;color:var(--text);background:var(--back);
border:1px solid var(--muted);border-radius:3px}input[name=q]{flex:1;min-width:16rem}
.result{display:flex;gap:1rem;padding:.8rem 0;border-top:1px solid var(--line)}
.result img,.moment img{border:1px solid var(--line);display:block;object-fit:cover;object-position:top}
.result img{width:200px;height:125px;flex:none}
.result h2{font-size:1.05rem;margin:0}.meta{font-size:.85rem;color:var(--muted);word-break:break-all}
.result p{margin:.3rem 0}details{font-size:.85rem;color:var(--muted)}details ul{margin:.3rem 0}
mark{background:var(--mark);color:var(--text)}.note{color:var(--muted)}.pages{display:flex;gap:1rem;margin:1rem 0}
.hour{border-top:1px solid var(--line);margin-top:1rem}
.moments{display:grid;grid-template-columns:repeat(auto-fill,minmax(200px,1fr));gap:1rem;list-style:none;
padding:0}
.moment a{text-decoration:none;color:var(--text);display:block}.moment img{width:100%;height:auto;
aspect-ratio:16/10}.moment span{display:block;font-size:.85rem}.moment time{color:var(--muted);font-size:.8rem}
.moment:target{outline:3px solid var(--link)}
.shot img{max-width:100%;height:auto;border:1px solid var(--line)}
.words{background:var(--panel);padding:.8rem;white-space:pre-wrap;word-break:break-word;max-height:30rem;
overflow:auto}
.around{display:flex;justify-content:space-between;gap:1rem;margin:1rem 0}
)";

// Keys for the pages: "/" to the query, arrows between results or moments, Enter opens one.
constexpr const char* pageScript = R"(
document.addEventListener('keydown', function (event) {
  if (event.altKey || event.ctrlKey || event.metaKey) return;
  var target = event.target;
  var typing = target.matches('input, select, textarea');
  if (event.key === '/' && !typing) {
    var query = document.querySelector('input[name=q]');
    if (query) { event.preventDefault(); query.focus(); query.select(); }
    return;
  }
  if (event.key !== 'ArrowDown' && event.key !== 'ArrowUp') return;
  if (typing && !(target.name === 'q' && event.key === 'ArrowDown')) return;
  var links = Array.prototype.slice.call(document.querySelectorAll('a.open'));
  if (!links.length) return;
  var at = links.indexOf(document.activeElement);
  var next = event.key === 'ArrowDown' ? Math.min(at + 1, links.length - 1) : Math.max(at - 1, 0);
  event.preventDefault();
  links[next].focus();
  links[next].scrollIntoView({block: 'nearest'});
});
)";

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

std::string pageStart(const std::string& title) {
  return "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
         "content=\"width=device-width,initial-scale=1\"><title>" +
         htmlEscape(title) +
         "</title><link rel=\"stylesheet\" href=\"/style.css\"><script src=\"/app.js\" defer></script></head>"
         "<body><header><p class=\"brand\">Tessaron</p><nav aria-label=\"Pages\"><a href=\"/\">Search</a>"
         "<a href=\"/timeline\">Timeline</a></nav></header><main>";
}

constexpr const char* pageEnd = "</main></body></html>";

std::string recordLink(const std::string& recordPath) {
  return "/record/" + recordPath;
}
std::string thumbnailLink(const std::string& recordPath) {
  return "/thumb/" + recordPath + ".webp";
}
// A record as a thumbnail with its title and time, in a list of moments (`anchor`: the item's id, if any).
std::string momentItem(const Hit& record, const std::string& time, const std::string& anchor = {}) {
  return "<li class=\"moment\"" + (anchor.empty() ? std::string() : " id=\"" + htmlEscape(anchor) + "\"") +
         "><a class=\"open\" href=\"" + htmlEscape(recordLink(record.recordPath)) + "\"><img src=\"" +
         htmlEscape(thumbnailLink(record.recordPath)) +
         "\" width=\"320\" height=\"200\" loading=\"lazy\" alt=\"\"><span>" +
         htmlEscape(displayTitle(record.title)) + "</span><time datetime=\"" + htmlEscape(record.stamp) +
         "\">" + htmlEscape(time) + "</time></a></li>";
}

std::string momentLink(const std::string& recordPath) {
  const auto place = archive::recordPlace(recordPath);
  if (!place) return "/timeline";
  return "/timeline?day=" + dashedDay(place->first) + "#t" + place->second;
}

bool allowedHost(const std::string& host) {
  return host == searchHostAndPort() || host == "localhost:" + std::to_string(searchPort);
}

// "yyyy-mm-dd" in local time, as an HTML date input sends it, to seconds at local midnight.
std::optional<std::int64_t> localDate(const std::string& text, int addDays = 0) {
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

// The query a request asks for, or why it cannot be asked (a short reason for a 400 answer).
struct ParsedQuery {
  Query query;
  std::string problem;
};

bool validUtf8Text(const std::string& text) {
  return text.find('\0') == std::string::npos && validUtf8(text) == text;
}

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

// Snippet markers (\x01 … \x02) to <mark>, everything else escaped.
std::string snippetHtml(const std::string& snippet) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= snippet.size(); ++i) {
    if (i == snippet.size() || snippet[i] == '\x01' || snippet[i] == '\x02') {
      out += htmlEscape(std::string_view(snippet).substr(start, i - start));
      if (i < snippet.size()) out += snippet[i] == '\x01' ? "<mark>" : "</mark>";
      start = i + 1;
    }
  }
  return out;
}

std::string plainSnippet(std::string snippet) {
  std::erase(snippet, '\x01');
  std::erase(snippet, '\x02');
  return snippet;
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

std::string pageLink(const HttpRequest& request, int page) {
  std::string link = "/?";
  for (const char* key : {"q", "from", "to", "site", "order"})
    link += std::string(key) + "=" + encodeParam(request.param(key)) + "&";
  return link + "page=" + std::to_string(page);
}

HttpResponse text(int status, std::string body) {
  return {status, "text/plain; charset=utf-8", std::move(body)};
}

// The search page for a query that has been checked: one entry per address, its newest matching visit first.
std::string searchPage(const HttpRequest& request, Query query, IndexKeeper& keeper, Storage storage,
                       settings::SettingsFile& settings) {
  query.groupByAddress = true;
  Results results = keeper.search(query);
  std::string html =
      pageStart(query.text.empty() ? "Tessaron search" : query.text + " \u2014 Tessaron search");
  html +=
      "<h1>Search</h1><form method=\"get\" action=\"/\" role=\"search\"><label>Words<input name=\"q\" "
      "placeholder=\"Search everything you have seen\" value=\"" +
      htmlEscape(query.text) + "\" autofocus></label>" +
      "<label>From<input type=\"date\" name=\"from\" value=\"" + htmlEscape(request.param("from")) +
      "\"></label><label>To<input type=\"date\" name=\"to\" value=\"" + htmlEscape(request.param("to")) +
      "\"></label><label>Site<input name=\"site\" value=\"" + htmlEscape(request.param("site")) +
      "\" placeholder=\"example.org\"></label><label>Order<select name=\"order\"><option "
      "value=\"newest\">Newest first</option><option value=\"relevance\"" +
      (query.newestFirst ? "" : " selected") +
      ">Relevance</option></select></label><button>Search</button></form>";
  settings.refresh();
  const settings::Settings rules = settings.current();
  const std::size_t excluded = rules.excludedSites.size();
  html += "<p class=\"note\">Not recorded: private windows, " + std::to_string(excluded) +
          (excluded == 1 ? " excluded site" : " excluded sites") +
          (rules.ocr ? "" : ", words in pictures (OCR is off)") + " (" +
          htmlEscape(settings.file().string()) + ")." +
          (storage == Storage::sealed
               ? " The archive is sealed: encrypted on the disk, open only while Tessaron runs."
               : " The archive is kept in plain files: anyone who can read the disk can read it.") +
          "</p>";
  if (const std::string notice = keeper.notice(); !notice.empty())
    html += "<p class=\"note\" role=\"status\">" + htmlEscape(notice) + "</p>";
  if (const auto progress = keeper.progress(); !progress.done)
    html += "<p class=\"note\">Indexing the archive: " + std::to_string(progress.days) + " of " +
            std::to_string(progress.daysTotal) + " days so far; search already covers what is done.</p>";
  if (results.timedOut)
    html +=
        "<p class=\"note\" role=\"status\">This search took too long and was stopped: the results may be "
        "incomplete. Fewer or rarer words answer faster.</p>";
  html += "<p class=\"note\">" +
          (results.totalIsLowerBound ? "At least " + std::to_string(results.total)
                                     : std::to_string(results.total)) +
          (results.total == 1 && !results.totalIsLowerBound ? " page" : " pages");
  if (!query.text.empty()) html += " for \u201c" + htmlEscape(query.text) + "\u201d";
  html += ".</p>";
  if (results.hits.empty())
    html += "<p>No results" +
            (query.text.empty() ? std::string() : " for \u201c" + htmlEscape(query.text) + "\u201d") +
            ". Try fewer words, or another date range or site.</p>";
  for (const auto& hit : results.hits) {
    const std::string title = htmlEscape(displayTitle(hit.title));
    html += "<article class=\"result\"><a href=\"" + htmlEscape(recordLink(hit.recordPath)) +
            "\" tabindex=\"-1\"><img src=\"" + htmlEscape(thumbnailLink(hit.recordPath)) +
            "\" width=\"200\" height=\"125\" loading=\"lazy\" alt=\"Screenshot of " + title +
            "\"></a><div><h2><a class=\"open\" href=\"" + htmlEscape(recordLink(hit.recordPath)) + "\">" +
            title + "</a></h2><div class=\"meta\">";
    if (web::isWebAddress(hit.address))
      html += "<a href=\"" + htmlEscape(hit.address) + "\" rel=\"noreferrer noopener\">" +
              htmlEscape(hit.address) + "</a>";
    else
      html += htmlEscape(hit.address);
    html += " \u00b7 <a href=\"" + htmlEscape(momentLink(hit.recordPath)) + "\">" +
            htmlEscape(localTime(hit.time)) + "</a></div><p>" + snippetHtml(hit.snippet) + "</p>";
    if (hit.visits.size() > 1) {
      html += "<details><summary>" + std::to_string(hit.visits.size()) + " visits</summary><ul>";
      for (const Visit& visit : hit.visits)
        html += "<li><a href=\"" + htmlEscape(recordLink(visit.recordPath)) + "\">" +
                htmlEscape(localTime(visit.time)) + "</a></li>";
      html += "</ul></details>";
    }
    html += "</div></article>";
  }
  const int page = query.offset / query.limit + 1;
  html += "<nav class=\"pages\" aria-label=\"Result pages\">";
  if (page > 1) html += "<a href=\"" + htmlEscape(pageLink(request, page - 1)) + "\">\u2190 Newer</a>";
  if (results.morePossible(query.offset, query.limit))
    html += "<a href=\"" + htmlEscape(pageLink(request, page + 1)) + "\">Older \u2192</a>";
  html += "</nav>";
  return html + pageEnd;
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
  std::string html = pageStart(shown + " \u2014 Tessaron timeline");
  html += "<h1>Timeline of " + htmlEscape(shown) +
          "</h1><form method=\"get\" action=\"/timeline\"><label>Day"
          "<input type=\"date\" name=\"day\" value=\"" +
          htmlEscape(shown) +
          "\"></label><button>Show</button>"
          "</form><nav class=\"around\" aria-label=\"Days\"><span>";
  if (previous)
    html += "<a href=\"/timeline?day=" + dashedDay(*previous) + "\">\u2190 " + dashedDay(*previous) + "</a>";
  html += "</span><span>";
  if (next) html += "<a href=\"/timeline?day=" + dashedDay(*next) + "\">" + dashedDay(*next) + " \u2192</a>";
  html += "</span></nav>";
  if (!read)
    html +=
        "<p>This day cannot be read just now (the index is busy, or being rebuilt): try again in a "
        "moment.</p>";
  else if (records.empty())
    html += "<p>Nothing was recorded on this day.</p>";
  std::string hour;
  for (const Hit& record : records) {
    const std::string recordHour = localClock(record.time, "%H:00");
    if (recordHour != hour) {
      if (!hour.empty()) html += "</ul></section>";
      hour = recordHour;
      html += "<section class=\"hour\"><h2>" + hour + "</h2><ul class=\"moments\">";
    }
    const auto place = archive::recordPlace(record.recordPath);
    html += momentItem(record, localClock(record.time, "%H:%M:%S"), "t" + (place ? place->second : ""));
  }
  if (!hour.empty()) html += "</ul></section>";
  if (records.size() >= timelineLimit)
    html += "<p class=\"note\">Only the first " + std::to_string(timelineLimit) +
            " records of the day are shown.</p>";
  return html + pageEnd;
}

std::optional<std::string> recordPage(const fs::path& archive, const std::string& day,
                                      const std::string& stem, IndexKeeper& keeper) {
  // The record's own file has the words; the index knows its neighbours and the other visits. Only a plain
  // file in a real day folder is read.
  const fs::path file = archive::makeRecordPaths(day, archive / day, stem).textPath;
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
  std::string html = pageStart(title + " \u2014 Tessaron");
  html += "<h1>" + htmlEscape(title) + "</h1><p class=\"meta\">";
  if (web::isWebAddress(record->address))
    html += "<a href=\"" + htmlEscape(record->address) + "\" rel=\"noreferrer noopener\">" +
            htmlEscape(record->address) + "</a>";
  else
    html += htmlEscape(record->address);
  html += " \u00b7 <a href=\"" + htmlEscape(momentLink(path)) + "\">" + htmlEscape(localTime(record->time)) +
          "</a></p><nav class=\"around\" aria-label=\"Records in time\"><span>";
  if (previous)
    html += "<a class=\"open\" href=\"" + htmlEscape(recordLink(previous->recordPath)) +
            "\" rel=\"prev\">\u2190 " + htmlEscape(displayTitle(previous->title)) + "</a>";
  html += "</span><span>";
  if (next)
    html += "<a class=\"open\" href=\"" + htmlEscape(recordLink(next->recordPath)) + "\" rel=\"next\">" +
            htmlEscape(displayTitle(next->title)) + " \u2192</a>";
  html += "</span></nav><p class=\"shot\"><img src=\"/shot/" + htmlEscape(path) +
          ".png\" alt=\"Screenshot of " + htmlEscape(title) +
          "\"></p><h2>Words</h2><div class=\"words\" tabindex=\"0\">" + htmlEscape(record->body) + "</div>";
  std::string others;
  std::size_t shownVisits = 0;
  for (const Hit& visit : visits) {
    if (visit.recordPath == path || shownVisits == 50) continue;
    ++shownVisits;
    others += "<li><a href=\"" + htmlEscape(recordLink(visit.recordPath)) + "\">" +
              htmlEscape(localTime(visit.time)) + "</a></li>";
  }
  if (!others.empty()) html += "<h2>Other visits</h2><ul>" + others + "</ul>";
  html += "<h2>Looks like this</h2>";
  const auto alike = keeper.read([&](Index& index) { return index.looksLike(path, 24); });
  if (!alike)
    html += "<p class=\"note\">The screenshots are still being compared; this shows once they are.</p>";
  else if (alike->empty())
    html += "<p class=\"note\">No other screenshot in the archive looks like this one.</p>";
  else {
    html += "<ul class=\"moments\">";
    for (const Hit& hit : *alike)
      html += momentItem(hit, localTime(hit.time));
    html += "</ul>";
  }
  return html + pageEnd;
}

}  // namespace

HttpHandler makeLockedHandler() {
  return [](const HttpRequest& request) -> HttpResponse {
    if (!allowedHost(request.header("Host"))) return text(403, "This server answers only 127.0.0.1:5000.\n");
    if (request.path == "/style.css") return {200, "text/css; charset=utf-8", stylesheet};
    if (request.path == "/app.js") return {200, "text/javascript; charset=utf-8", pageScript};
    HttpResponse locked{
        503, "text/html; charset=utf-8",
        pageStart("The archive is locked \u2014 Tessaron search") +
            "<h1>The archive is locked</h1><p class=\"note\" role=\"status\">Your archive is "
            "sealed, and Tessaron has not opened it yet: its key is kept in your desktop's "
            "keyring, or you open it with your passphrase or recovery key. Nothing is recorded "
            "until then. Tessaron says what it needs in its own alert; this page shows your "
            "archive as soon as it is open.</p>" +
            pageEnd};
    locked.headers["Retry-After"] = "5";
    return locked;
  };
}

HttpHandler makeHandler(const fs::path& archive, IndexKeeper& keeper, settings::SettingsFile& settings,
                        Thumbnails& thumbnails, Storage storage) {
  // A record's place ("<day>/<stem>") between a route's prefix and suffix, as the archive names them: no
  // "..", no other slashes, no other file.
  const auto placeIn = [](std::string_view path, std::string_view prefix, std::string_view suffix) {
    if (!path.starts_with(prefix) || !path.ends_with(suffix) || path.size() < prefix.size() + suffix.size())
      return std::optional<std::pair<std::string, std::string>>();
    return archive::recordPlace(path.substr(prefix.size(), path.size() - prefix.size() - suffix.size()));
  };
  auto route = [archive, &keeper, &settings, &thumbnails, placeIn,
                storage](const HttpRequest& request) -> HttpResponse {
    if (!allowedHost(request.header("Host"))) return text(403, "This server answers only 127.0.0.1:5000.\n");
    const std::string origin = request.header("Origin");
    if (!origin.empty() && origin != searchOrigin() &&
        origin != "http://localhost:" + std::to_string(searchPort))
      return text(403, "Cross-site requests are refused.\n");
    const std::string fetchSite = request.header("Sec-Fetch-Site");
    if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none")
      return text(403, "Cross-site requests are refused.\n");
    if (request.method != "GET" && request.method != "HEAD") {
      HttpResponse refused = text(405, "Only GET is served.\n");
      refused.headers["Allow"] = "GET, HEAD";
      return refused;
    }

    if (request.path == "/style.css") return {200, "text/css; charset=utf-8", stylesheet};
    if (request.path == "/app.js") return {200, "text/javascript; charset=utf-8", pageScript};

    if (request.path == "/api/search") {
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
                                {"image", "/shot/" + hit.recordPath + ".png"}};
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

    if (request.path == "/") {
      const ParsedQuery parsed = queryFrom(request);
      if (!parsed.problem.empty()) return text(400, parsed.problem + "\n");
      return {200, "text/html; charset=utf-8", searchPage(request, parsed.query, keeper, storage, settings)};
    }

    if (request.path == "/timeline") {
      const std::string wanted = request.param("day");
      std::optional<std::string> day = wanted.empty()
                                           ? std::optional(localClock(std::time(nullptr), "%Y%m%d"))
                                           : (validUtf8Text(wanted) ? dayFolderOf(wanted) : std::nullopt);
      if (!day) return text(400, "The day must be a date written yyyy-mm-dd.\n");
      return {200, "text/html; charset=utf-8", timelinePage(*day, keeper)};
    }

    if (auto place = placeIn(request.path, "/record/", "")) {
      if (auto page = recordPage(archive, place->first, place->second, keeper))
        return {200, "text/html; charset=utf-8", std::move(*page)};
      return {
          404, "text/html; charset=utf-8",
          pageStart("No such record") +
              "<h1>No such record</h1><p>This record is not in the archive (it may have been deleted), or "
              "it cannot be read.</p>" +
              pageEnd};
    }

    // A thumbnail always answers with a picture: a screenshot that is missing or cannot be read gets the
    // placeholder.
    if (auto place = placeIn(request.path, "/thumb/", ".webp")) {
      if (auto bytes = thumbnails.get(place->first, place->second))
        return {200, "image/webp", std::move(*bytes)};
      return {200, "image/svg+xml", Thumbnails::placeholder()};
    }

    // Screenshots by record path only; the file must be a plain file inside the archive (no symbolic links).
    if (auto place = placeIn(request.path, "/shot/", archive::screenshotExtension)) {
      const fs::path file =
          archive::makeRecordPaths(place->first, archive / place->first, place->second).imagePath;
      std::error_code ec;
      if (!fs::is_directory(fs::symlink_status(file.parent_path(), ec)))
        return text(404, "No such screenshot.\n");
      ArchiveFile opened(file, maxScreenshotBytes);
      if (!opened) return text(404, "No such screenshot.\n");
      const std::uint64_t size = opened.size();
      return {200, "image/png", {}, {}, std::make_shared<FileBody>(opened.release(), size)};
    }
    return text(404, "Not found.\n");
  };
  return [route](const HttpRequest& request) {
    HttpResponse response = route(request);
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

bool isHeavy(const HttpRequest& request) {
  return request.path.starts_with("/thumb/");
}

}  // namespace tessaron::search
