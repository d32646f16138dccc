// Day folders, record names and the record text file.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "archive/private_files.h"
#include "base/log.h"
#include "base/once.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "capture/log_lines.h"

namespace tessaron {

namespace fs = std::filesystem;

std::string dayName(const platform::LocalDateTime& local) {
  return archive::dayName(local.year, static_cast<unsigned>(local.month), static_cast<unsigned>(local.day));
}

std::optional<fs::path> createDayFolder(const fs::path& parent, const std::string& name) {
  fs::path folder = parent / name;
  std::error_code ec;
  const auto status = fs::symlink_status(folder, ec);
  if (fs::is_directory(status)) {
    log::capturer().log("%s already exists", folder.string());
    return folder;
  }
  if (fs::exists(status)) {
    // A link would put the person's records wherever it points, out of reach of forgetting and of the
    // search; a file is no folder at all.
    static log::Once<> refused;
    if (refused.first(folder.string()))
      log::capturer().error("%s is a link or a file, not a day folder: no record is written through it",
                            folder.string());
    return std::nullopt;
  }
  if (!archive::createPrivateFolders(folder, ec)) {
    log::capturer().error("Error creating directory: %s", ec.message());
    return std::nullopt;
  }
  log::capturer().log("Successfully created directory %s", folder.string());
  return folder;
}

std::string captureTimestamp(Engine& engine) {
  return archive::formatStamp(engine.platform().clock().now());
}

namespace {

// Past this many words an address's records are taken to hold, a page is simply given its full text again,
// which loses nothing.
constexpr std::size_t heldWordsPerAddress = 100000;

}  // namespace

namespace {

void drop(Engine::Visited& visited, std::unordered_map<std::string, Engine::HeldWords>::iterator held) {
  visited.words -= held->second.words.size();
  visited.recency.erase(held->second.recency);
  visited.addresses.erase(held);
}

bool allStillSaved(const std::vector<std::filesystem::path>& records) {
  return std::all_of(records.begin(), records.end(), [](const std::filesystem::path& file) {
    std::error_code ec;
    return std::filesystem::exists(file, ec);
  });
}

}  // namespace

RecordWords recordWords(Engine& engine, const std::string& address, std::string_view pageText) {
  if (address.empty()) {
    standardOutputLine(lines::addressEmpty);
    return {fullTextWordLimit, false};
  }
  std::vector<std::string_view> words = archive::splitWords(pageText);
  if (words.size() > fullTextWordLimit) words.resize(fullTextWordLimit);
  Engine::Visited& visited = engine.visited;
  std::lock_guard lock(visited.mutex);
  auto found = visited.addresses.find(address);
  if (found != visited.addresses.end() &&
      (found->second.records.size() >= recordsHeldPerAddress || !allStillSaved(found->second.records))) {
    drop(visited, found);
    found = visited.addresses.end();
  }
  const bool first = found == visited.addresses.end();
  if (first) {
    visited.recency.push_front(address);
    found = visited.addresses.emplace(address, Engine::HeldWords{{}, {}, visited.recency.begin()}).first;
  } else {
    visited.recency.splice(visited.recency.begin(), visited.recency, found->second.recency);
  }
  Engine::HeldWords& held = found->second;
  const std::hash<std::string_view> hash;
  auto isHeld = [&held](std::uint64_t word) {
    return std::binary_search(held.words.begin(), held.words.end(), word);
  };
  // Words with a digit in them (times, counters, prices that tick) are not news: a clock on the page would
  // otherwise bring the full text back on every record.
  const bool allHeld = !first && std::all_of(words.begin(), words.end(), [&](std::string_view word) {
    return std::any_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
           isHeld(hash(word));
  });
  if (allHeld) return {revisitWordLimit, true};
  std::vector<std::uint64_t> added;
  for (std::string_view word : words)
    if (const std::uint64_t hashed = hash(word); !isHeld(hashed)) added.push_back(hashed);
  std::sort(added.begin(), added.end());
  added.erase(std::unique(added.begin(), added.end()), added.end());
  added.resize(
      std::min(added.size(), heldWordsPerAddress - std::min(heldWordsPerAddress, held.words.size())));
  const auto middle = held.words.insert(held.words.end(), added.begin(), added.end());
  std::inplace_merge(held.words.begin(), middle, held.words.end());
  held.words.shrink_to_fit();  // kept for weeks: no room to spare
  visited.words += added.size();
  // The least recently recorded addresses make room; the one being recorded stays.
  while ((visited.addresses.size() > visitedAddressLimit || visited.words > visitedWordBudget) &&
         visited.recency.back() != address)
    drop(visited, visited.addresses.find(visited.recency.back()));
  return {fullTextWordLimit, false};
}

void noteVisitRecord(Engine& engine, const std::string& address, const std::filesystem::path& textFile) {
  Engine::Visited& visited = engine.visited;
  std::lock_guard lock(visited.mutex);
  if (auto held = visited.addresses.find(address); held != visited.addresses.end())
    held->second.records.push_back(textFile);
}

void forgetVisitedURL(Engine& engine, const std::string& address) {
  Engine::Visited& visited = engine.visited;
  std::lock_guard lock(visited.mutex);
  if (auto held = visited.addresses.find(address); held != visited.addresses.end()) drop(visited, held);
}

}  // namespace tessaron
