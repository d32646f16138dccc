// The search page, the timeline, the record view, the JSON API, screenshots and their thumbnails, over HTTP
// on 127.0.0.1:5000 only.
//
// The archive is the user's whole browsing history, and any page the user visits can send requests to
// 127.0.0.1. So: only the two loopback host names are answered (DNS rebinding), cross-site requests are
// refused (Origin, Sec-Fetch-Site), GET and HEAD only read, the one POST (forgetting) must come from a form
// of these pages with its token (forget_pages.h), every archived string is escaped wherever it appears, a
// strict Content-Security-Policy allows no script but the server's own file (no inline script, nothing from
// elsewhere), and only records and screenshots inside the archive are served, by names that admit nothing
// else. Every page works without script.
#pragma once

#include <filesystem>
#include <string>

#include "searchserver/html.h"
#include "searchserver/http_server.h"
#include "searchserver/index.h"
#include "searchserver/index_keeper.h"
#include "searchserver/thumbnails.h"
#include "settings/settings.h"

namespace tessaron::search {

// Answers every request by the rules above.
// Bad parameters get a 400 with a short reason. The page shows what the settings keep out of the archive,
// read again from `settings` when the file changes.
// How the archive is kept on the disk, which the page says beside what is not recorded.
enum class Storage { plainFiles, sealed };
HttpHandler makeHandler(const std::filesystem::path& archive, IndexKeeper& keeper,
                        settings::SettingsFile& settings, Thumbnails& thumbnails,
                        Storage storage = Storage::plainFiles);

// While a sealed archive is locked: every page says so (503), and nothing else is served but the style.
HttpHandler makeLockedHandler();

// Whether a request's work is heavy (a thumbnail may have to be made from a screenshot).
bool isHeavy(const HttpRequest& request);

}  // namespace tessaron::search
