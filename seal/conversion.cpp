#include "seal/conversion.h"

#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "archive/layout.h"
#include "archive/private_files.h"
#include "archive/record_file.h"

namespace tessaron::seal {

namespace fs = std::filesystem;

namespace {

struct DayContents {
  std::set<std::string> stems;      // records: a stem with its text or its screenshot
  std::vector<fs::path> leftovers;  // files a cut-short write left behind
  std::size_t personsOwn = 0;
};

DayContents contentsOf(const fs::path& dayFolder) {
  DayContents contents;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dayFolder, ec)) {
    const fs::path name = entry.path().filename();
    const std::string text = name.string();
    if (text.ends_with(archive::partialSuffix)) {
      contents.leftovers.push_back(entry.path());
      continue;
    }
    const std::string extension = name.extension().string();
    const std::string stem = name.stem().string();
    if ((extension == ".txt" || extension == ".png") && archive::stemTime(stem) && entry.is_regular_file(ec))
      contents.stems.insert(stem);
    else
      ++contents.personsOwn;
  }
  return contents;
}

std::optional<std::string> readWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// Copies one record into the store whole (screenshot first, as the engine writes them), then removes it from
// the plain folder (text first, so that a screenshot left alone there is still copied at the next run).
std::optional<std::string> moveRecord(const fs::path& from, const fs::path& to, const std::string& stem) {
  for (const char* extension : {".png", ".txt"}) {
    const fs::path source = from / (stem + extension);
    std::error_code ec;
    if (!fs::exists(source, ec)) continue;
    auto bytes = readWhole(source);
    if (!bytes) return "cannot read " + source.string();
    // A run cut short may have left this file whole in the store already: then it is written over.
    const fs::path target = to / (stem + extension);
    const auto replacing =
        fs::exists(target, ec) ? archive::Replacing::anExistingFile : archive::Replacing::never;
    if (auto error = archive::writeArchiveFile(target, *bytes, replacing)) return error;
  }
  for (const char* extension : {".txt", ".png"}) {
    std::error_code ec;
    fs::remove(from / (stem + extension), ec);
    if (ec) return "cannot remove " + (from / (stem + extension)).string() + ": " + ec.message();
  }
  return std::nullopt;
}

}  // namespace

std::size_t countPlainRecords(const fs::path& plain) {
  std::size_t count = 0;
  for (const std::string& day : archive::dayFolders(plain))
    count += contentsOf(plain / day).stems.size();
  return count;
}

Conversion movePlainRecords(const fs::path& plain, const fs::path& sealedData,
                            const std::function<void(std::size_t, std::size_t)>& progress) {
  Conversion result;
  const std::size_t total = countPlainRecords(plain);
  if (progress) progress(0, total);
  for (const std::string& day : archive::dayFolders(plain)) {
    const fs::path from = plain / day;
    const fs::path to = sealedData / day;
    std::error_code ec;
    if (!archive::createPrivateFolders(to, ec)) {
      result.error = "cannot make " + to.string() + ": " + ec.message();
      return result;
    }
    DayContents contents = contentsOf(from);
    for (const fs::path& leftover : contents.leftovers)
      fs::remove(leftover, ec);
    for (const std::string& stem : contents.stems) {
      if (auto error = moveRecord(from, to, stem)) {
        result.error = *error;
        return result;
      }
      ++result.moved;
      if (progress) progress(result.moved, total);
    }
    result.personsOwn += contents.personsOwn;
    fs::remove(from, ec);  // only when empty
  }
  archive::syncFolder(sealedData);
  std::error_code ec;
  fs::remove(plain, ec);  // only when empty: what is the person's own stays
  return result;
}

}  // namespace tessaron::seal
