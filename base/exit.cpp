#include "base/exit.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tessaron {

void exitProcess(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

void fatalError(std::string_view message) {
  std::fprintf(stderr, "Fatal error: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(nullptr);
  std::abort();
}

}  // namespace tessaron
