// tessaron: the status-bar web archive. No command-line options; the platform comes from the environment
// (TESSARON_PLATFORM, and TESSARON_SCENARIO for the simulated desktop).
#include <cstdio>

#include "app/app_delegate.h"
#include "base/exit.h"
#include "base/log.h"
#include "capture/engine.h"
#include "server/server.h"

int main() {
  using namespace tessaron;
  blockTerminationSignals();
  std::shared_ptr<platform::Platform> selected;
  try {
    selected = platform::createPlatformFromEnvironment();
  } catch (const platform::SelectionError& error) {
    std::fprintf(stderr, "tessaron: %s\n", error.message.c_str());
    return error.exitStatus;
  }
  platform::install(selected);
  log::setSubsystem(selected->installation().bundleIdentifier().value_or("tessaron"));
  log::tessaronApp().log("Platform backend: %s", std::string(selected->name()));
  platform::setNoticeHandler([](const std::string& text) { log::tessaronApp().log("%s", text); });
  TessaronApp app(programEngine(), programServer());
  app.run();
  exitProcess(0);
}
