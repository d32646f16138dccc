// Forgetting from the search pages: a moment, everything from a site, a day or a time range. A link or a
// button only leads to a page that asks, with the count of records that would go; only that page's form,
// posted back with its token, takes them out. The token is made for that one request by a secret of this
// server's run, so another site's page can neither send the form (the request checks refuse it before) nor
// guess what it would have to carry.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "searchserver/html.h"
#include "searchserver/http_server.h"
#include "searchserver/index_keeper.h"
#include "settings/settings.h"

namespace tessaron::search {

// What a person asks to forget.
struct ForgetRequest {
  enum class Kind { moment, site, day, range };
  Kind kind = Kind::moment;
  std::string record;  // moment: "<day>/<stem>"
  std::optional<settings::HostPattern> site;
  std::string day;                // "yyyyMMdd"
  std::int64_t from = 0, to = 0;  // range: seconds since 1970, from included, to not

  // The request's fields as a form carries them, and what its token is made for.
  std::string scope() const;
  // Whether a record is one this request forgets (`textFile`: its text, which names its address).
  bool picks(const std::string& day, const std::string& stem, const std::filesystem::path& textFile) const;
};

// The request that the fields name ("kind" and "record", "site", "day" or "from"/"to"), or why none.
struct ParsedForget {
  std::optional<ForgetRequest> request;
  std::string problem;
};
ParsedForget parseForget(const std::function<std::string(const std::string&)>& field);

// How many records of the archive a request takes; and takes them out (what a pass is writing meanwhile may
// be left), returning how many went.
std::size_t countForgotten(const std::filesystem::path& archive, const ForgetRequest& request);
std::size_t forget(const std::filesystem::path& archive, const ForgetRequest& request);

// Tokens for the forms that change the archive: an HMAC of what the form asks, keyed by a secret made when
// the server starts.
class FormTokens {
 public:
  FormTokens();
  std::string tokenFor(const std::string& scope) const;
  bool valid(const std::string& scope, const std::string& token) const;

 private:
  std::array<unsigned char, 32> secret_{};
};

// GET /forget: the page that asks. POST /forget: the forgetting, and an excluded site added when asked.
HttpResponse askToForget(const HttpRequest& request, const std::filesystem::path& archive,
                         settings::SettingsFile& settings, const FormTokens& tokens);
HttpResponse forgetAsked(const HttpRequest& request, const std::filesystem::path& archive,
                         settings::SettingsFile& settings, const FormTokens& tokens);

// On the search page: for each excluded site whose pages the index still holds (saved before it was
// excluded), the offer to forget them.
void offerToForgetExcludedSites(Html& html, IndexKeeper& keeper, const settings::Settings& rules);

// Links that lead to the asking page.
std::string forgetSiteLink(const std::string& site);
std::string forgetMomentLink(const std::string& recordPath);
std::string forgetDayLink(const std::string& day);

}  // namespace tessaron::search
