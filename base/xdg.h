// The user's folders as the freedesktop base-directory rules name them: a variable that holds an absolute
// path wins, anything else (unset, empty, relative) falls back to its place under $HOME.
#pragma once

#include <filesystem>
#include <optional>

namespace tessaron::xdg {

// $XDG_DATA_HOME, else $HOME/.local/share; none without either.
std::optional<std::filesystem::path> dataHome();
// $XDG_CONFIG_HOME, else $HOME/.config; none without either.
std::optional<std::filesystem::path> configHome();
// $XDG_CACHE_HOME, else $HOME/.cache; none without either.
std::optional<std::filesystem::path> cacheHome();
// $XDG_RUNTIME_DIR: memory, the user's alone, gone at logout; none when unset or not absolute.
std::optional<std::filesystem::path> runtimeDir();

}  // namespace tessaron::xdg
