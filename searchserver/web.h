// The search page, the JSON API and the screenshots, over HTTP on 127.0.0.1:5000 only.
//
// The archive is the user's whole browsing history, and any page the user visits can send requests to
// 127.0.0.1. So: only the two loopback host names are answered (DNS rebinding), cross-site requests are
// refused (Origin, Sec-Fetch-Site), only GET and HEAD exist, every archived string is escaped wherever it
// appears, a strict Content-Security-Policy forbids scripts altogether, and only screenshots inside the
// archive are served.
#pragma once

#include <filesystem>
#include <string>

#include "searchserver/http_server.h"
#include "searchserver/index.h"
#include "searchserver/index_keeper.h"
#include "settings/settings.h"

namespace tessaron::search {

std::string htmlEscape(std::string_view text);

// Answers every request by the rules above: the search page, the JSON API, screenshots and the stylesheet.
// Bad parameters get a 400 with a short reason. The page shows what the settings keep out of the archive,
// read again from `settings` when the file changes.
HttpHandler makeHandler(const std::filesystem::path& archive, IndexKeeper& keeper,
                        settings::SettingsFile& settings);

}  // namespace tessaron::search
