#include "app/app_delegate.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

#include "base/exit.h"
#include "base/log.h"
#include "permissions/permissions.h"
#include "server/server.h"

namespace tessaron {

namespace {
sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

void blockTerminationSignals() {
  sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a closed pipe is an error to handle, not a reason to die
}

void installSignalHandlers(ServerSupervisor& server) {
  // The signals stay blocked everywhere; this one thread takes them, one at a time, in order of arrival.
  std::thread([&server] {
    std::string_view label = signalQueueLabel;
    pthread_setname_np(pthread_self(), std::string(label.substr(label.rfind('.') + 1)).c_str());
    sigset_t set = terminationSignals();
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) == 0) handleSignal(signal, server);
    }
  }).detach();
}

void handleSignal(int signal, ServerSupervisor& server) {
  standardOutputLine("Shutting down app and server gracefully");
  if (signal == SIGTERM) log::utils().log("Received termination signal (SIGTERM)");
  server.stop();
  exitProcess(0);
}

void registerLoginItem() {
  auto& items = platform::current().shell().loginItems();
  const platform::LoginItemStatus status = items.status();
  if (status != platform::LoginItemStatus::notRegistered && status != platform::LoginItemStatus::notFound) {
    if (status == platform::LoginItemStatus::enabled)
      log::tessaronApp().log("Service is already registered.");
    else
      log::tessaronApp().log("Service registration requires approval.");
    return;
  }
  if (auto error = items.registerToStartAtLogin())
    log::tessaronApp().error("Error occurred: %@", *error);
  else
    log::tessaronApp().log("Service registration successful.");
}

std::shared_ptr<platform::StatusItem> AppDelegate::statusBarItem() {
  if (!statusBarItem_) statusBarItem_ = platform::current().shell().statusBar().addStatusItem();
  return statusBarItem_;
}

void AppDelegate::applicationDidFinishLaunching() {
  auto& p = platform::current();
  const std::optional<std::string> identifier = p.installation().bundleIdentifier();
  standardOutputLine(identifier.value_or(""));

  int sameIdentifier = 0;
  for (const auto& app : p.shell().workspace().runningApplications())
    if (app.bundleIdentifier == identifier) ++sameIdentifier;
  if (sameIdentifier >= 2) {
    log::tessaronApp().error("App already running.");
    exitProcess(0);
  }

  registerLoginItem();

  auto item = statusBarItem();
  if (item->hasButton()) item->setButtonImage("logo");
  panel_ = menu_.createMenu(item, engine_, server_);

  // The archive is opened (or said to be locked) before anything may record into it or serve it.
  if (auto places = ArchiveAccess::forThisUser()) {
    archive_ = std::make_unique<ArchiveAccess>(*places);
    setArchiveLocation([archive = archive_.get()] { return std::optional(archive->location()); });
    archive_->open();
  }
  // Once launching is done, where the program has said the archive is.
  p.mainQueue().post([panel = std::weak_ptr(panel_)] { keepArchiveSizeShown(panel); });

  if (!p.shell().grants().isAccessibilityTrusted()) showAccessibilityAlert();

  std::make_shared<PermissionsService>(engine_, server_)->schedulePermissionCheck();
}

TessaronApp::TessaronApp(Engine& engine, ServerSupervisor& server) : delegate_(engine, server) {
  installSignalHandlers(server);
}

void TessaronApp::run() {
  auto& queue = platform::current().mainQueue();
  queue.post([this] { delegate_.applicationDidFinishLaunching(); });
  queue.run();
}

}  // namespace tessaron
