#include "searchserver/web.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>

#include <nlohmann/json.hpp>

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
body{font:15px/1.45 system-ui,sans-serif;max-width:60rem;margin:1.5rem auto;padding:0 1rem;color:#1d2733}
h1{font-size:1.3rem;margin:0 0 1rem}h1 span{color:#2463aa}
form{display:flex;flex-wrap:wrap;gap:.5rem;align-items:end;margin-bottom:1rem}
label{display:flex;flex-direction:column;font-size:.8rem;color:#555}
input,select,button{font:inherit;padding:.35rem .5rem}input[name=q]{flex:1;min-width:16rem}
.result{display:flex;gap:1rem;padding:.8rem 0;border-top:1px solid #e4e8ee}
.result img{width:200px;height:125px;object-fit:cover;object-position:top;border:1px solid #d5dbe3;flex:none}
.result h2{font-size:1.05rem;margin:0}.meta{font-size:.85rem;color:#4b5b6b;word-break:break-all}
mark{background:#ffe48a}.note{color:#555}.pages{display:flex;gap:1rem;margin:1rem 0}
)";

bool allowedHost(const std::string& host) {
  return host == "127.0.0.1:5000" || host == "localhost:5000";
}

std::string localTime(std::int64_t seconds) {
  std::time_t t = seconds;
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &parts);
  return text;
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
  q.site = siteOf("http://" + site);
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

bool isWebAddress(const std::string& address) {
  return address.starts_with("https://") || address.starts_with("http://");
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

// The search page for a query that has been checked.
std::string searchPage(const HttpRequest& request, const Query& query, IndexKeeper& keeper,
                       settings::SettingsFile& settings) {
  Results results = keeper.search(query);
  std::string html =
      "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tessaron search</title>"
      "<link rel=\"stylesheet\" href=\"/style.css\"></head><body><h1><span>Tessaron</span> search</h1>"
      "<form method=\"get\" action=\"/\"><input name=\"q\" placeholder=\"Search everything you have seen\" "
      "value=\"" +
      htmlEscape(query.text) + "\" autofocus>" + "<label>From<input type=\"date\" name=\"from\" value=\"" +
      htmlEscape(request.param("from")) + "\"></label><label>To<input type=\"date\" name=\"to\" value=\"" +
      htmlEscape(request.param("to")) + "\"></label><label>Site<input name=\"site\" value=\"" +
      htmlEscape(request.param("site")) +
      "\" placeholder=\"example.org\"></label><label>Order<select name=\"order\"><option "
      "value=\"newest\">Newest "
      "first</option><option value=\"relevance\"" +
      (query.newestFirst ? "" : " selected") +
      ">Relevance</option></select></label><button>Search</button></form>";
  settings.refresh();
  const std::size_t excluded = settings.current().excludedSites.size();
  html += "<p class=\"note\">Not recorded: private windows, " + std::to_string(excluded) +
          (excluded == 1 ? " excluded site" : " excluded sites") + " (" +
          htmlEscape(settings.file().string()) + ").</p>";
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
          (results.total > countLimit  ? "More than " + std::to_string(countLimit)
           : results.totalIsLowerBound ? "At least " + std::to_string(results.total)
                                       : std::to_string(results.total)) +
          (results.total == 1 && !results.totalIsLowerBound ? " record" : " records");
  if (!query.text.empty()) html += " for “" + htmlEscape(query.text) + "”";
  html += ".</p>";
  if (results.hits.empty())
    html += "<p>No results" + (query.text.empty() ? std::string() : " for “" + htmlEscape(query.text) + "”") +
            ". Try fewer words, or another date range or site.</p>";
  for (const auto& hit : results.hits) {
    const std::string image = "/shot/" + htmlEscape(hit.recordPath) + ".png";
    html += "<div class=\"result\"><a href=\"" + image + "\"><img src=\"" + image +
            "\" loading=\"lazy\" alt=\"\"></a><div><h2>" +
            htmlEscape(hit.title.empty() ? "(untitled)" : hit.title) + "</h2><div class=\"meta\">";
    if (isWebAddress(hit.address))
      html += "<a href=\"" + htmlEscape(hit.address) + "\" rel=\"noreferrer noopener\">" +
              htmlEscape(hit.address) + "</a>";
    else
      html += htmlEscape(hit.address);
    html +=
        " · " + htmlEscape(localTime(hit.time)) + "</div><p>" + snippetHtml(hit.snippet) + "</p></div></div>";
  }
  const int page = query.offset / query.limit + 1;
  html += "<div class=\"pages\">";
  if (page > 1) html += "<a href=\"" + htmlEscape(pageLink(request, page - 1)) + "\">← Newer</a>";
  if (results.morePossible(query.offset, query.limit))
    html += "<a href=\"" + htmlEscape(pageLink(request, page + 1)) + "\">Older →</a>";
  html += "</div></body></html>";
  return html;
}

}  // namespace

HttpHandler makeHandler(const fs::path& archive, IndexKeeper& keeper, settings::SettingsFile& settings) {
  static const std::regex shotPath(
      R"(/shot/(\d{8})/([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z(?:-[0-9]+)?)\.png)");
  auto route = [archive, &keeper, &settings](const HttpRequest& request) -> HttpResponse {
    if (!allowedHost(request.header("Host"))) return text(403, "This server answers only 127.0.0.1:5000.\n");
    const std::string origin = request.header("Origin");
    if (!origin.empty() && origin != "http://127.0.0.1:5000" && origin != "http://localhost:5000")
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

    if (request.path == "/api/search") {
      const ParsedQuery parsed = queryFrom(request);
      if (!parsed.problem.empty()) return text(400, parsed.problem + "\n");
      const Query& query = parsed.query;
      Results results = keeper.search(query);
      nlohmann::json out = {{"query", query.text},
                            {"total", results.total},
                            {"totalIsLowerBound", results.totalIsLowerBound || results.total > countLimit},
                            {"timedOut", results.timedOut},
                            {"results", nlohmann::json::array()}};
      for (const auto& hit : results.hits)
        out["results"].push_back({{"address", hit.address},
                                  {"title", hit.title},
                                  {"stamp", hit.stamp},
                                  {"recordPath", hit.recordPath},
                                  {"snippet", plainSnippet(hit.snippet)},
                                  {"image", "/shot/" + hit.recordPath + ".png"}});
      return {200, "application/json; charset=utf-8",
              out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
    }

    if (request.path == "/") {
      const ParsedQuery parsed = queryFrom(request);
      if (!parsed.problem.empty()) return text(400, parsed.problem + "\n");
      return {200, "text/html; charset=utf-8", searchPage(request, parsed.query, keeper, settings)};
    }

    // Screenshots by record path only; the name pattern admits no "..", slashes or other files, and the file
    // must be a plain file inside the archive (no symbolic links).
    std::smatch match;
    if (std::regex_match(request.path, match, shotPath)) {
      const fs::path file = archive / match[1].str() / (match[2].str() + ".png");
      std::error_code ec;
      const auto status = fs::symlink_status(file, ec);
      const auto folder = fs::symlink_status(file.parent_path(), ec);
      if (ec || !fs::is_regular_file(status) || !fs::is_directory(folder))
        return text(404, "No such screenshot.\n");
      std::ifstream in(file, std::ios::binary);
      return {200, "image/png",
              std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
    }
    return text(404, "Not found.\n");
  };
  return [route](const HttpRequest& request) {
    HttpResponse response = route(request);
    response.headers.insert({
        {"Content-Security-Policy",
         "default-src 'none'; img-src 'self'; style-src 'self'; form-action 'self'; base-uri 'none'; "
         "frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
        {"Cache-Control", "no-store"},
    });
    return response;
  };
}

}  // namespace tessaron::search
