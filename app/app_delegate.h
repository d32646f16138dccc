// The application: process entry, the termination signals, and the launch sequence.
#pragma once

#include <memory>
#include <vector>

#include "app/application_menu.h"
#include "app/archive_access.h"
#include "platform/platform.h"

namespace tessaron {

class Engine;
class ServerSupervisor;

// What the serial signal thread is named after.
inline constexpr const char* signalQueueLabel = "com.marrowbeck.interupt";

// Blocks SIGTERM and SIGINT in the calling thread (and so in every thread it starts from now on). Called
// first thing in main, before any thread exists.
void blockTerminationSignals();

// Starts the serial signal thread: each SIGTERM or SIGINT runs handleSignal there.
void installSignalHandlers(ServerSupervisor& server);
// Prints the shutdown line, logs SIGTERM, stops the server and exits with status 0.
[[noreturn]] void handleSignal(int signal, ServerSupervisor& server);

// Registers the application to start at login unless it is registered or awaits approval; logs the outcome.
void registerLoginItem();

class AppDelegate {
 public:
  AppDelegate(Engine& engine, ServerSupervisor& server) : engine_(engine), server_(server) {}
  // The launch sequence: bundle identifier on standard output, single instance, login item, status item and
  // menu, the accessibility alert when needed, then the permission checks.
  void applicationDidFinishLaunching();

  std::shared_ptr<platform::StatusItem> statusBarItem();
  std::shared_ptr<ContentView> panel() const { return panel_; }

 private:
  Engine& engine_;
  ServerSupervisor& server_;
  std::shared_ptr<platform::StatusItem> statusBarItem_;
  std::unique_ptr<ArchiveAccess> archive_;
  ApplicationMenu menu_;
  std::shared_ptr<ContentView> panel_;
};

// The application object: owns the delegate; its creation installs the signal handlers.
class TessaronApp {
 public:
  TessaronApp(Engine& engine, ServerSupervisor& server);
  AppDelegate& delegate() { return delegate_; }
  // Runs the launch sequence on the main queue, then the main loop until Quit.
  void run();

 private:
  AppDelegate delegate_;
};

}  // namespace tessaron
