#include "base/xdg.h"

#include <cstdlib>

namespace tessaron::xdg {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> absolute(const char* variable) {
  if (const char* value = std::getenv(variable); value && *value == '/') return fs::path(value);
  return std::nullopt;
}

std::optional<fs::path> underHome(const char* variable, const char* fallbackUnderHome) {
  if (auto set = absolute(variable)) return set;
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / fallbackUnderHome;
  return std::nullopt;
}

}  // namespace

std::optional<fs::path> dataHome() {
  return underHome("XDG_DATA_HOME", ".local/share");
}

std::optional<fs::path> configHome() {
  return underHome("XDG_CONFIG_HOME", ".config");
}

std::optional<fs::path> cacheHome() {
  return underHome("XDG_CACHE_HOME", ".cache");
}

std::optional<fs::path> runtimeDir() {
  return absolute("XDG_RUNTIME_DIR");
}

}  // namespace tessaron::xdg
