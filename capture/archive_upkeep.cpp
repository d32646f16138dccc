// What the person controls beyond capturing: the settings in force, forgetting recent records, and keeping
// the archive within its disk budget. Deletions touch only record files inside day folders; anything else
// found there (a stray file, a folder) is left where it is, and so is the day folder that holds it.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <utility>

#include "archive/forgetting.h"
#include "archive/room.h"
#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"

namespace tessaron {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

// The day folders of the archive with their dates, oldest first.
std::vector<std::pair<std::chrono::sys_days, fs::path>> dayFolders(const fs::path& dataFolder) {
  std::vector<std::pair<std::chrono::sys_days, fs::path>> days;
  for (const std::string& name : archive::dayFolders(dataFolder))
    days.emplace_back(*archive::dayOfFolder(name), dataFolder / name);
  return days;
}

// Deletes the records of a day folder whose stamp `select` picks, forgetting their addresses as visited.
archive::DeletedRecords deleteRecords(Engine& engine, const fs::path& dayFolder,
                                      const std::function<bool(Clock::time_point)>& select) {
  archive::DeletedRecords deleted = archive::deleteRecords(
      dayFolder,
      [&](const archive::StoredRecord& record) { return select(*archive::stemTime(record.stem)); });
  for (const std::string& address : deleted.addresses)
    forgetVisitedURL(engine, address);
  return deleted;
}

void logSettings(const settings::Settings& in) {
  const std::string keep =
      in.keepDays > 0 ? fmt::format("keeping {} days", in.keepDays) : "keeping every day";
  const std::string limit =
      in.maxArchiveGB > 0 ? fmt::format("at most {:g} GB", in.maxArchiveGB) : "no size limit";
  log::tessaronApp().log("Settings in force: %ld excluded sites, %s, %s",
                         static_cast<long>(in.excludedSites.size()), keep, limit);
}

}  // namespace

bool roomToSave(Engine& engine, const settings::Settings& settings, const fs::path& dataFolder) {
  const auto space = archive::diskSpace(dataFolder);
  if (!space) return true;
  const std::uint64_t available = space->available;
  const std::uint64_t floor = settings::freeSpaceFloor(settings, space->total);
  const bool stop = available < floor;
  Engine::Upkeep& state = engine.upkeep;
  {
    std::lock_guard lock(state.mutex);
    if (state.savingStopped == stop) return !stop;
    state.savingStopped = stop;
  }
  platform::Notice notice;
  if (stop) {
    log::capturer().error("Saving stopped: %s free on the archive's disk, less than the %s it keeps free",
                          archive::bytesForPeople(available), archive::bytesForPeople(floor));
    notice = {"Tessaron has stopped saving pages",
              "The disk that holds your archive has " + archive::bytesForPeople(available) +
                  " free. Saving starts again by itself once more than " + archive::bytesForPeople(floor) +
                  " are free."};
  } else {
    log::capturer().log("Saving resumed: %s free on the archive's disk", archive::bytesForPeople(available));
    notice = {"Tessaron saves pages again",
              "The disk that holds your archive has " + archive::bytesForPeople(available) + " free."};
  }
  engine.platform().shell().statusBar().postNotice(notice);
  return !stop;
}

settings::Settings settingsInForce(Engine& engine) {
  Engine::Upkeep& state = engine.upkeep;
  std::lock_guard lock(state.mutex);
  return state.file ? state.file->current() : settings::Settings{};
}

settings::Settings refreshSettings(Engine& engine) {
  Engine::Upkeep& state = engine.upkeep;
  std::lock_guard lock(state.mutex);
  if (!state.file) {
    auto file = engine.settingsFile();
    state.file = std::make_unique<settings::SettingsFile>(
        file.value_or(fs::path()), [](const std::string& line) { log::tessaronApp().error("%s", line); });
  }
  const bool firstRead = !std::exchange(state.settingsRead, true);
  const settings::Settings before = state.file->current();
  if (state.file->refresh()) {
    const settings::Settings& now = state.file->current();
    log::nameWhatWasSeen(now.fullLogging);
    logSettings(now);
    state.lastBudgetCheck.reset();  // new limits apply at once
    // What was saved from a site before it was excluded stays until the person says otherwise.
    for (const settings::HostPattern& site : now.excludedSites) {
      if (firstRead || std::any_of(before.excludedSites.begin(), before.excludedSites.end(),
                                   [&](const settings::HostPattern& old) { return old.sameSitesAs(site); }))
        continue;
      log::tessaronApp().log(
          "An excluded site was added; the search page offers to forget what was saved from it");
      engine.platform().shell().statusBar().postNotice(
          {"Tessaron no longer records " + site.text(),
           "Pages saved from it before stay in your archive: if there are any, the search page offers to "
           "forget them."});
    }
  }
  return state.file->current();
}

std::size_t forgetRecords(Engine& engine, Clock::time_point since) {
  std::lock_guard archive(engine.archiveMutex);
  auto dataFolder = engine.dataFolder();
  if (!dataFolder) return 0;
  auto& clock = engine.platform().clock();
  // Records are filed under the local day their pass began; a day back covers every time zone's shift.
  const std::string firstDay = dayName(clock.localTime(since - std::chrono::hours(24)));
  std::size_t forgotten = 0;
  for (const auto& [day, folder] : dayFolders(*dataFolder)) {
    if (folder.filename().string() < firstDay) continue;
    forgotten +=
        deleteRecords(engine, folder, [since](Clock::time_point stamp) { return stamp >= since; }).records;
  }
  return forgotten;
}

std::size_t forgetRecentRecords(Engine& engine) {
  const auto since = engine.platform().clock().now() - forgetWindow;
  const std::size_t forgotten = forgetRecords(engine, since);
  log::tessaronApp().log("Forgot %ld records of the last 15 minutes", static_cast<long>(forgotten));
  return forgotten;
}

std::size_t enforceArchiveBudget(Engine& engine, const settings::Settings& budget, const fs::path& dataFolder,
                                 const std::string& today) {
  if (budget.keepDays <= 0 && budget.maxArchiveGB <= 0) return 0;
  const auto todayDate = archive::dayOfFolder(today);
  auto days = dayFolders(dataFolder);
  std::size_t deletedRecords = 0;
  auto prune = [&](const fs::path& folder, const char* reason) {
    const archive::DeletedRecords deleted =
        deleteRecords(engine, folder, [](Clock::time_point) { return true; });
    deletedRecords += deleted.records;
    log::tessaronApp().log("Deleted %ld records (%lld bytes) of day %s: %s",
                           static_cast<long>(deleted.records), static_cast<long long>(deleted.bytes),
                           folder.filename().string(), reason);
  };
  // The day being written is never deleted, nor a day after it (a clock set back).
  std::erase_if(days, [&](const auto& day) { return !todayDate || day.first >= *todayDate; });
  if (budget.keepDays > 0) {
    const auto oldestKept = *todayDate - std::chrono::days(budget.keepDays - 1);
    std::erase_if(days, [&](const auto& day) {
      if (day.first >= oldestKept) return false;
      prune(day.second, "older than keepDays");
      return true;
    });
  }
  if (budget.maxArchiveGB > 0) {
    const auto limit = static_cast<std::uintmax_t>(budget.maxArchiveGB * 1e9);
    std::uintmax_t total = 0;
    for (const auto& [day, folder] : dayFolders(dataFolder))
      total += archive::fileBytes(folder);
    for (const auto& [day, folder] : days) {
      if (total <= limit) break;
      const std::uintmax_t before = archive::fileBytes(folder);
      prune(folder, "the archive is larger than maxArchiveGB");
      total -= before - std::min(before, archive::fileBytes(folder));
    }
  }
  return deletedRecords;
}

void archiveUpkeepBeforePass(Engine& engine, const fs::path& dataFolder, const std::string& today) {
  const settings::Settings in = refreshSettings(engine);
  const auto now = engine.platform().clock().now();
  {
    Engine::Upkeep& state = engine.upkeep;
    std::lock_guard lock(state.mutex);
    // What a write cut short (a kill, a power cut) left behind goes before the first pass writes anything.
    if (!std::exchange(state.leftoversRemoved, true))
      if (const std::size_t removed = archive::removeInterruptedWrites(dataFolder))
        log::capturer().log("Removed %ld files of records whose writing was cut short",
                            static_cast<long>(removed));
    if (state.lastBudgetCheck && now - *state.lastBudgetCheck < budgetCheckPeriod) return;
    state.lastBudgetCheck = now;
  }
  enforceArchiveBudget(engine, in, dataFolder, today);
}

}  // namespace tessaron
