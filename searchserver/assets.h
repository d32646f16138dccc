// The files under searchserver/assets (the pages' style sheet and script, the thumbnails' placeholder),
// built into the executable.
#pragma once

#include <string_view>

namespace tessaron::search {

// The bytes of the asset with this file name; empty for a name that is none.
std::string_view asset(std::string_view name);

}  // namespace tessaron::search
