// Ending the process. Exits are immediate: other threads (a capture pass, a modal alert) may be running, and
// must not see the process's statics destroyed under them.
#pragma once

#include <string_view>

namespace tessaron {

// Flushes standard output and error, then ends the process with the status at once.
[[noreturn]] void exitProcess(int status);
// Writes the message to standard error and ends the process abnormally.
[[noreturn]] void fatalError(std::string_view message);

}  // namespace tessaron
