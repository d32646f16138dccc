#include "platform/value.h"

#include <limits>

namespace tessaron::platform {

namespace {
template <class Int>
std::optional<Int> exactInteger(const Value& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (*i < std::numeric_limits<Int>::min() || *i > std::numeric_limits<Int>::max()) return std::nullopt;
    return static_cast<Int>(*i);
  }
  if (const auto* d = std::get_if<double>(&value)) {
    if (!std::isfinite(*d) || std::trunc(*d) != *d) return std::nullopt;
    if (*d < static_cast<double>(std::numeric_limits<Int>::min()) ||
        *d > static_cast<double>(std::numeric_limits<Int>::max()))
      return std::nullopt;
    return static_cast<Int>(*d);
  }
  return std::nullopt;
}
}  // namespace

std::optional<std::int32_t> exactInt32(const Value& value) {
  return exactInteger<std::int32_t>(value);
}

}  // namespace tessaron::platform
