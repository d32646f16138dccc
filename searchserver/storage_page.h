// The room the archive takes: its size, its days, what a day costs lately, the budget in force and when it
// will start removing old days.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "archive/room.h"
#include "settings/settings.h"

namespace tessaron::search {

// What the budget will do at the rate of the last week.
struct BudgetOutlook {
  std::uintmax_t bytesPerDay = 0;      // on the disk, the last seven days (today's included) over seven
  std::uintmax_t fileBytesPerDay = 0;  // the same in files' sizes, as maxArchiveGB counts
  // The first day the budget removes an old day (none: it never will at this rate), and which rule.
  std::optional<std::chrono::sys_days> firstRemoval;
  std::string rule;  // "keepDays" or "maxArchiveGB"
};
BudgetOutlook outlook(const archive::ArchiveRoom& room, const settings::Settings& budget,
                      std::chrono::sys_days today);

std::string storagePage(const std::filesystem::path& archive, settings::SettingsFile& settings);

}  // namespace tessaron::search
