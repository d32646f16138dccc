#include "searchserver/storage_page.h"

#include <fmt/format.h>
#include <algorithm>
#include <ctime>

#include "archive/layout.h"
#include "searchserver/forget_pages.h"
#include "searchserver/page_frame.h"

namespace tessaron::search {

namespace fs = std::filesystem;

namespace {

std::chrono::sys_days localToday() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return std::chrono::year{parts.tm_year + 1900} / (parts.tm_mon + 1) / parts.tm_mday;
}

std::string dayText(std::chrono::sys_days day) {
  const std::chrono::year_month_day date{day};
  return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                     static_cast<unsigned>(date.day()));
}

std::string gigabytes(double value) {
  return fmt::format("{:g} GB", value);
}

}  // namespace

BudgetOutlook outlook(const archive::ArchiveRoom& room, const settings::Settings& budget,
                      std::chrono::sys_days today) {
  BudgetOutlook out;
  std::uintmax_t lastWeek = 0, lastWeekFiles = 0;
  for (const archive::DayRoom& day : room.days) {
    const auto date = archive::dayOfFolder(day.day);
    if (date && *date > today - std::chrono::days(7) && *date <= today) {
      lastWeek += day.bytes;
      lastWeekFiles += day.fileBytes;
    }
  }
  out.bytesPerDay = lastWeek / 7;
  out.fileBytesPerDay = lastWeekFiles / 7;
  auto consider = [&out, today](std::chrono::sys_days when, const char* rule) {
    when = std::max(when, today);
    if (!out.firstRemoval || when < *out.firstRemoval) {
      out.firstRemoval = when;
      out.rule = rule;
    }
  };
  // The budget keeps the day being written and never removes a day after it.
  std::optional<std::chrono::sys_days> oldest;
  for (const archive::DayRoom& day : room.days)
    if (const auto date = archive::dayOfFolder(day.day); date && *date < today) {
      oldest = *date;
      break;
    }
  // A day is removed once it is keepDays old or more.
  if (budget.keepDays > 0 && oldest) consider(*oldest + std::chrono::days(budget.keepDays), "keepDays");
  if (budget.maxArchiveGB > 0 && oldest) {
    const auto limit = static_cast<std::uintmax_t>(budget.maxArchiveGB * 1e9);
    if (room.fileBytes > limit)
      consider(today, "maxArchiveGB");
    else if (out.fileBytesPerDay > 0)
      consider(today + std::chrono::days((limit - room.fileBytes) / out.fileBytesPerDay + 1), "maxArchiveGB");
  }
  return out;
}

std::string storagePage(const fs::path& archive, settings::SettingsFile& settings) {
  settings.refresh();
  const settings::Settings budget = settings.current();
  const archive::ArchiveRoom room = archive::measureRoom(archive);
  const auto today = localToday();
  const BudgetOutlook ahead = outlook(room, budget, today);
  std::size_t records = 0;
  for (const archive::DayRoom& day : room.days)
    records += day.records;

  Html html = pageStart("Storage \u2014 Tessaron");
  html.element("h1", "Storage")
      .element("p", "Your archive takes " + archive::bytesForPeople(room.bytes) + " on the disk (" +
                        std::to_string(room.bytes) + " bytes): " + std::to_string(records) +
                        (records == 1 ? " record" : " records") + " in " + std::to_string(room.days.size()) +
                        (room.days.size() == 1 ? " day" : " days") + ", in " + archive.string() + ".")
      .element("p", "Over the last seven days it grew by " + archive::bytesForPeople(ahead.bytesPerDay) +
                        " a day on average.");

  html.element("h2", "What is kept").open("ul");
  html.element("li", budget.keepDays > 0 ? "keepDays: the last " + std::to_string(budget.keepDays) + " days"
                                         : "keepDays: every day (0)");
  html.element("li", budget.maxArchiveGB > 0
                         ? "maxArchiveGB: at most " + gigabytes(budget.maxArchiveGB) +
                               " (the records' files take " + archive::bytesForPeople(room.fileBytes) + ")"
                         : "maxArchiveGB: no limit (0)");
  if (const auto space = archive::diskSpace(archive)) {
    const std::uint64_t available = space->available;
    const std::uint64_t floor = settings::freeSpaceFloor(budget, space->total);
    std::string line = "minFreeGB: saving pauses while the disk has less than " +
                       archive::bytesForPeople(floor) + " free (" + archive::bytesForPeople(available) +
                       " free now";
    if (available > floor && ahead.bytesPerDay > 0)
      line += "; at this rate in " + std::to_string((available - floor) / ahead.bytesPerDay + 1) + " days";
    html.element("li", line + ")");
  }
  html.close("ul");
  if (ahead.firstRemoval)
    html.element("p", {{"class", "outlook"}},
                 *ahead.firstRemoval == today
                     ? "The budget removes old days now (" + ahead.rule + ")."
                     : "At the current rate, the budget starts removing old days on " +
                           dayText(*ahead.firstRemoval) + " (" + ahead.rule + ").");
  else if (budget.keepDays > 0 || budget.maxArchiveGB > 0)
    html.element("p", {{"class", "outlook"}}, "At the current rate, the budget removes no day yet.");
  else
    html.element("p", {{"class", "outlook"}},
                 "No budget is set: nothing is removed by itself. keepDays or maxArchiveGB in " +
                     settings.file().string() + " keep the archive within bounds.");

  html.element("h2", "Days");
  if (room.days.empty()) {
    html.element("p", "Nothing has been recorded yet.");
  } else {
    html.open("table")
        .open("thead")
        .open("tr")
        .element("th", {{"scope", "col"}}, "Day")
        .element("th", {{"scope", "col"}}, "Records")
        .element("th", {{"scope", "col"}}, "Size")
        .element("th", {{"scope", "col"}}, "Bytes")
        .close("tr")
        .close("thead")
        .open("tbody");
    for (auto day = room.days.rbegin(); day != room.days.rend(); ++day)
      html.open("tr")
          .open("th", {{"scope", "row"}})
          .element("a", {{"href", "/timeline?day=" + dashedDay(day->day)}}, dashedDay(day->day))
          .close("th")
          .element("td", std::to_string(day->records))
          .element("td", archive::bytesForPeople(day->bytes))
          .element("td", std::to_string(day->bytes))
          .close("tr");
    html.close("tbody").close("table");
  }
  return pageEnd(html);
}

}  // namespace tessaron::search
