// Compiled by CTest with one CASE_* macro at a time: CASE_GOOD must compile, every other case must not,
// proving that a log call whose arguments do not fit its placeholders is a compile error.
#include <cstdint>
#include <string>

#include "base/log_format.h"

using tessaron::log::Format;

template <class... Args>
void logLike(Format<std::type_identity_t<Args>...>, const Args&...) {}

void check() {
#if defined(CASE_GOOD)
  logLike("WindowID %{public}u gone, %s, %lld", std::uint32_t{1}, std::string("x"), std::int64_t{2});
#elif defined(CASE_STRING_FOR_NUMBER)
  logLike("Server process (PID: %d) started.", std::string("4711"));
#elif defined(CASE_NUMBER_FOR_STRING)
  logLike("Metadata saved at: %s", 42);
#elif defined(CASE_TOO_FEW_ARGUMENTS)
  logLike("Hashed distance: %lld, Threshold: %lld", std::int64_t{9});
#elif defined(CASE_TOO_MANY_ARGUMENTS)
  logLike("Quit action", 1);
#elif defined(CASE_SIGNED_FOR_UNSIGNED)
  logLike("WindowID %{public}u is no longer active", -1);
#elif defined(CASE_UNKNOWN_PLACEHOLDER)
  logLike("value %f", 1.0);
#endif
}
