#include "app/application_menu.h"

#include <thread>

#include "archive/data_folder.h"
#include "archive/room.h"
#include "base/log.h"
#include "capture/capture.h"
#include "capture/capture_switch.h"
#include "capture/engine.h"
#include "server/server.h"

namespace tessaron {

namespace {
constexpr const char* actionTypeKey = "ActionType";
}

ContentView::ContentView(std::shared_ptr<platform::StatusItem> item, Engine& engine, ServerSupervisor& server)
    : item_(std::move(item)), engine_(engine), server_(server) {}

ActionType ContentView::actionType() const {
  auto stored = platform::current().preferences().string(actionTypeKey);
  auto action = stored ? actionTypeFromRawValue(*stored) : std::nullopt;
  return action.value_or(ActionType::toggle);
}

void ContentView::setActionType(ActionType action) {
  platform::current().preferences().setString(actionTypeKey, std::string(rawValue(action)));
}

void ContentView::setIsCapturing(bool value) {
  isCapturing_.store(value);
  if (item_) item_->setEntryTitle(0, buttonTitle(ActionType::toggle, value));
}

void ContentView::showArchiveSize() {
  if (!item_) return;
  // Where the archive is now, asked here and never making anything: a sealed archive's plain folder must not
  // appear, and a locked one is not walked.
  const auto location = archiveLocation();
  const bool locked = location && !location->open;
  const auto folder = location ? std::optional(location->dataFolder) : plainDataFolder();
  std::lock_guard lock(sizerMutex_);
  if (sizer_.joinable()) sizer_.join();
  archiveLocked_ = locked;
  sizer_ = std::jthread([item = item_, locked, folder] {
    std::error_code ec;
    if (locked)
      item->setPanelLine("Archive: locked");
    else if (folder && std::filesystem::is_directory(*folder, ec))
      item->setPanelLine("Archive: " + archive::bytesForPeople(archive::diskBytes(*folder)));
    else
      item->setPanelLine("Archive: nothing saved yet");
  });
}

void keepArchiveSizeShown(const std::weak_ptr<ContentView>& weakView) {
  const auto view = weakView.lock();
  if (!view) return;
  view->showArchiveSize();
  platform::current().mainQueue().runAfter(
      view->archiveLocked() ? lockedArchiveSizePeriod : archiveSizePeriod,
      [weakView] { keepArchiveSizeShown(weakView); });
}

void ContentView::press(ActionType action) {
  setActionType(action);
  // Each press gets its own short-lived task; presses are not serialised.
  std::thread([self = shared_from_this(), action] { performAction(action, *self); }).detach();
}

std::shared_ptr<ContentView> ApplicationMenu::createMenu(const std::shared_ptr<platform::StatusItem>& item,
                                                         Engine& engine, ServerSupervisor& server) {
  auto view = std::make_shared<ContentView>(item, engine, server);
  std::vector<platform::MenuEntry> entries;
  for (ActionType action : allActionTypes)
    entries.push_back({buttonTitle(action, view->isCapturing()), [view, action] { view->press(action); }});
  item->setMenu("logo", std::move(entries));
  return view;
}

std::string productPageAddress() {
  return "file://" + platform::current().installation().resourcePath("README.html").string();
}

void performAction(ActionType action, ContentView& view) {
  auto& p = platform::current();
  Engine& engine = view.engine();
  switch (action) {
    case ActionType::toggle:
      view.newPauseGeneration();
      if (engine.isCapturing.load()) {
        view.setIsCapturing(false);
        stopCaptureTask(engine);
        log::contentView().log("Pause action");
      } else {
        view.setIsCapturing(true);
        log::contentView().log("Start action");
        startCaptureTask(engine);
      }
      return;
    case ActionType::pauseForAnHour: {
      const std::uint64_t generation = view.newPauseGeneration();
      view.setIsCapturing(false);
      stopCaptureTask(engine);
      log::contentView().log("Paused for an hour");
      // On the main queue, by the platform's clock; the person's own choices in the meantime win.
      p.mainQueue().runAfter(timedPauseLength, [weakView = view.weak_from_this(), generation, &engine] {
        auto pausedView = weakView.lock();
        if (!pausedView || pausedView->pauseGeneration() != generation || engine.isCapturing.load()) return;
        pausedView->setIsCapturing(true);
        log::contentView().log("The hour's pause is over: capturing again");
        startCaptureTask(engine);
      });
      return;
    }
    case ActionType::forgetRecent:
      log::contentView().log("Forget action");
      forgetRecentRecords(engine);
      view.showArchiveSize();
      return;
    case ActionType::search:
      // Only Tessaron's own server may have the person's searches.
      if (auto why = view.server().whySearchIsUnavailable()) {
        log::contentView().error("The search page is not opened: %s", *why);
        p.shell().alerts().ask({"tessaron", *why, platform::AlertStyle::warning, {"OK"}, "AppIcon"});
        return;
      }
      p.shell().workspace().openURL(searchPageAddress());
      return;
    case ActionType::inspect:
      log::contentView().log("Inspect action");
      if (auto folder = appDataFolder()) p.shell().workspace().showInFileManager({*folder});
      return;
    case ActionType::learnMore:
      p.shell().workspace().openURL(productPageAddress());
      return;
    case ActionType::quit:
      log::contentView().log("Quit action");
      stopCaptureTask(engine);
      view.server().stop();
      p.mainQueue().post([&p] { p.mainQueue().stop(); });
      return;
  }
}

}  // namespace tessaron
