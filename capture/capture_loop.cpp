// The capture loop, one pass, and the window registry.
#include <algorithm>

#include <fmt/format.h>

#include "archive/data_folder.h"
#include "base/log.h"
#include "capture/capture.h"
#include "capture/capture_switch.h"
#include "capture/engine.h"
#include "capture/log_lines.h"

namespace tessaron {

std::shared_ptr<TessaronWindow> WindowRegistry::find(std::uint32_t windowID) const {
  std::lock_guard lock(mutex_);
  auto it = windows_.find(windowID);
  return it == windows_.end() ? nullptr : it->second;
}

std::shared_ptr<TessaronWindow> WindowRegistry::insertIfAbsent(std::uint32_t windowID,
                                                               std::shared_ptr<TessaronWindow> record) {
  std::lock_guard lock(mutex_);
  return windows_.try_emplace(windowID, std::move(record)).first->second;
}

void WindowRegistry::remove(std::uint32_t windowID) {
  std::lock_guard lock(mutex_);
  windows_.erase(windowID);
}

std::vector<std::uint32_t> WindowRegistry::keys() const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint32_t> out;
  out.reserve(windows_.size());
  for (const auto& [key, record] : windows_)
    out.push_back(key);
  std::sort(out.begin(), out.end());  // a stable order for the pass's log lines
  return out;
}

std::size_t WindowRegistry::size() const {
  std::lock_guard lock(mutex_);
  return windows_.size();
}

void WindowRegistry::clear() {
  std::lock_guard lock(mutex_);
  windows_.clear();
}

std::string PageNotRead::description() const {
  return fmt::format(lines::pageNotReadReason, reason);
}

void noteUnreadablePages(Engine& engine, const platform::RunningApplication& application) {
  if (!engine.notes.unreadableProcesses.first(application.processId)) return;
  const platform::Browser* browser = platform::browserNamed(application.applicationName);
  const std::string name = browser ? std::string(browser->name) : application.applicationName;
  log::capturer().log(
      "%{public}s (process %d) is not on the accessibility bus: its pages' addresses and words "
      "cannot be read until it is restarted",
      name, application.processId);
  engine.platform().shell().statusBar().postNotice(
      {"Tessaron cannot read " + name + "'s pages",
       name +
           " was started before accessibility was switched on, so Tessaron gets neither the address nor "
           "the words of its pages. Restart " +
           name + " to have them recorded."});
}

void noteUntellablePrivateWindows(Engine& engine, const platform::Browser& browser) {
  const std::string name(browser.name);
  if (!engine.notes.untellableBrowsers.first(name)) return;
  log::capturer().log(
      "%{public}s shows private windows beside its others with nothing outside it to tell them apart: none "
      "of "
      "its windows is recorded",
      name);
  engine.platform().shell().statusBar().postNotice(
      {"Tessaron does not record " + name,
       name +
           " shows private windows beside its other windows, and nothing outside it tells them apart. So "
           "that "
           "a private window is never recorded, Tessaron records none of " +
           name + "'s windows."});
}

void notePagesHiddenByQtWebEngine(Engine& engine, const platform::Browser& browser) {
  const std::string name(browser.name);
  if (!engine.notes.browsersHidingPages.first(name)) return;
  log::capturer().log(
      "%{public}s was started without QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=1, so it keeps its pages from "
      "the accessibility bus: none of its windows is recorded until it is started with it",
      name);
  engine.platform().shell().statusBar().postNotice(
      {"Tessaron cannot read " + name + "'s pages",
       name +
           " offers its pages for reading only when it is started with "
           "QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY=1 "
           "in its environment. Add that line to ~/.config/environment.d/qtwebengine.conf, log in again and "
           "restart " +
           name + " to have its pages recorded."});
}

void noteUnrecorded(Engine& engine, std::uint32_t windowID, Unrecorded reason) {
  {
    Engine::Notes& notes = engine.notes;
    std::lock_guard lock(notes.mutex);
    auto [it, added] = notes.unrecordedWindows.try_emplace(windowID, reason);
    if (!added && it->second == reason) return;
    it->second = reason;
  }
  switch (reason) {
    case Unrecorded::privateBrowsing:
      log::capturer().log("Window %{public}u is a private browsing window: not recorded", windowID);
      return;
    case Unrecorded::maybePrivate:
      log::capturer().log("Window %{public}u may be a private browsing window: not recorded", windowID);
      return;
    case Unrecorded::excludedSite:
      log::capturer().log("Window %{public}u shows an excluded site: not recorded", windowID);
      return;
    case Unrecorded::addressUnknown:
      log::capturer().log(
          "Window %{public}u shows a page whose address cannot be read, and sites are excluded: not recorded",
          windowID);
      return;
    case Unrecorded::pageNotBuilt:
      log::capturer().log(
          "Window %{public}u shows a page the browser has not built for reading yet: not recorded until it "
          "has",
          windowID);
      return;
    case Unrecorded::betweenPages:
      log::capturer().log("Window %{public}u is between two pages: not recorded until its title follows",
                          windowID);
      return;
  }
}

void forgetUnrecorded(Engine& engine, std::uint32_t windowID) {
  Engine::Notes& notes = engine.notes;
  std::lock_guard lock(notes.mutex);
  notes.unrecordedWindows.erase(windowID);
}

void pruneUnrecorded(Engine& engine, const std::vector<std::uint32_t>& listed) {
  Engine::Notes& notes = engine.notes;
  std::lock_guard lock(notes.mutex);
  std::erase_if(notes.unrecordedWindows, [&](const auto& entry) {
    return std::find(listed.begin(), listed.end(), entry.first) == listed.end();
  });
}

void captureLoop(Engine& engine, std::stop_token stop) {
  using namespace std::chrono_literals;
  auto& clock = engine.platform().clock();
  // A cancelled task retires at its switch test even when the switch is on again: a newer task has taken
  // over, and this one's sleeps would all fail at once.
  while (engine.isCapturing.load() && !stop.stop_requested()) {
    capturePass(engine);
    if (!clock.sleepFor(5s, stop))
      log::tessaronApp().error("Error starting screen capture: %{public}s", "CancellationError()");
  }
}

void capturePass(Engine& engine) {
  std::lock_guard archive(engine.archiveMutex);
  log::capturer().log(lines::passStarts);
  platform::Platform& p = engine.platform();
  // The day is fixed once per pass: a pass that runs past midnight files everything under the day it began.
  const std::string day = dayName(p.clock().localTime(p.clock().now()));
  // A sealed archive that is locked records nothing, and says so once where it is opened.
  if (archiveIsLocked()) return;
  Engine::TimedPart folders(engine, "archive folders and upkeep");
  auto dataFolder = engine.dataFolder();
  if (!dataFolder) {
    log::capturer().log(lines::noDataFolder);
    return;
  }
  archiveUpkeepBeforePass(engine, *dataFolder, day);
  if (!roomToSave(engine, settingsInForce(engine), *dataFolder)) return;
  const std::optional<std::filesystem::path> dayFolder = createDayFolder(*dataFolder, day);
  // Without its day folder a record has no place: it is never written anywhere else.
  if (!dayFolder) {
    // Said once a day: the reason, logged with it, does not change from one pass to the next.
    if (engine.notes.daysWithoutFolder.first(day))
      log::capturer().error("No day folder in %s, so nothing is saved in this pass", dataFolder->string());
    return;
  }
  folders.stop();
  Engine::TimedPart listing(engine, "list");
  const std::vector<platform::WindowDescription> windows = getBrowserWindows(engine);
  listing.stop();

  std::vector<std::uint32_t> listed;
  for (const auto& w : windows)
    listed.push_back(w.windowID);
  WindowRegistry& registry = engine.windows;
  for (std::uint32_t key : registry.keys()) {
    if (std::find(listed.begin(), listed.end(), key) != listed.end()) continue;
    log::capturer().log(lines::windowGone, key);
    registry.remove(key);
  }
  pruneUnrecorded(engine, listed);

  for (const auto& window : windows) {
    if (!window.onAccessibilityBus && window.owningApplication)
      noteUnreadablePages(engine, *window.owningApplication);
    // A private window is passed over before anything of it is kept, compared or logged but its number.
    if (window.privacy != platform::WindowPrivacy::ordinary) {
      if (window.browser && window.browser->privateWindows == platform::PrivateWindows::untellable)
        noteUntellablePrivateWindows(engine, *window.browser);
      noteUnrecorded(engine, window.windowID,
                     window.privacy == platform::WindowPrivacy::privateBrowsing ? Unrecorded::privateBrowsing
                                                                                : Unrecorded::maybePrivate);
      continue;
    }
    if (window.title && *window.title == ownInterfaceTitle) {
      log::capturer().log("Tessaron's own interface found, won't archive!");
      continue;
    }
    auto record = registry.find(window.windowID);
    if (!record) record = registry.insertIfAbsent(window.windowID, std::make_shared<TessaronWindow>());
    record->window = window;
    // Listed browser windows all have their application and their row in the browser table.
    if (auto notRead = archiveBrowserWindow(engine, *window.browser, window, day, *dayFolder, record))
      log::capturer().error(lines::pageNotRead, notRead->description());
  }
}

}  // namespace tessaron
