#include "archive/forgetting.h"

#include "archive/layout.h"
#include "archive/record_file.h"

namespace tessaron::archive {

namespace fs = std::filesystem;

fs::path StoredRecord::textFile() const {
  for (const fs::path& file : files)
    if (file.extension() == textExtension) return file;
  return {};
}

std::vector<StoredRecord> storedRecords(const fs::path& dayFolder) {
  std::map<std::string, std::vector<fs::path>> byStem;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dayFolder, ec)) {
    std::error_code typeError;
    if (!entry.is_regular_file(typeError) || entry.is_symlink(typeError)) continue;
    fs::path name = entry.path().filename();
    if (name.string().ends_with(partialSuffix))
      name = name.string().substr(0, name.string().size() - partialSuffix.size());
    const std::string extension = name.extension().string();
    if (extension != screenshotExtension && extension != textExtension) continue;
    const std::string stem = name.stem().string();
    if (stemTime(stem)) byStem[stem].push_back(entry.path());
  }
  std::vector<StoredRecord> records;
  records.reserve(byStem.size());
  for (auto& [stem, files] : byStem)
    records.push_back({stem, std::move(files)});
  return records;
}

DeletedRecords deleteRecords(const fs::path& dayFolder, const RecordChoice& select) {
  DeletedRecords deleted;
  for (const StoredRecord& record : storedRecords(dayFolder)) {
    if (!select(record)) continue;
    for (const fs::path& file : record.files) {
      if (file.extension() == textExtension)
        if (std::string address = recordAddress(file); !address.empty())
          deleted.addresses.push_back(std::move(address));
      std::error_code sizeError, removeError;
      const auto size = fs::file_size(file, sizeError);
      if (fs::remove(file, removeError) && !sizeError) deleted.bytes += size;
    }
    ++deleted.records;
  }
  std::error_code ec;
  fs::remove(dayFolder, ec);  // only when empty: what is not a record stays, and so does its folder
  return deleted;
}

}  // namespace tessaron::archive
