#include "archive/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "archive/layout.h"
#include "base/web_address.h"

namespace tessaron::archive {

namespace fs = std::filesystem;

std::vector<std::string_view> splitWords(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    auto space = text.find(' ');
    std::string_view word = text.substr(0, space);
    if (!word.empty()) words.push_back(word);
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  return words;
}

std::string recordText(std::string_view address, std::string_view recordPath, std::string_view stamp,
                       std::string_view title, std::string_view pageText, std::size_t wordLimit) {
  std::string content;
  for (std::string_view piece : {address, recordPath, stamp, title}) {
    content += piece;
    content.push_back('\n');
  }
  const std::vector<std::string_view> words = splitWords(pageText);
  for (std::size_t i = 0; i < std::min(wordLimit, words.size()); ++i) {
    if (i) content.push_back(' ');
    content.append(words[i]);
  }
  return content;
}

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t length = c < 0x80                   ? 1
                         : (c >= 0xC2 && c <= 0xDF) ? 2
                         : (c >= 0xE0 && c <= 0xEF) ? 3
                         : (c >= 0xF0 && c <= 0xF4) ? 4
                                                    : 0;
    bool ok = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; ok && k < length; ++k)
      ok = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
    if (ok && length == 3) {
      const auto second = static_cast<unsigned char>(bytes[i + 1]);
      ok = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0);  // overlong or a surrogate
    }
    if (ok && length == 4) {
      const auto second = static_cast<unsigned char>(bytes[i + 1]);
      ok = !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second >= 0x90);
    }
    if (ok) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string recordAddress(const fs::path& textFile) {
  std::ifstream in(textFile, std::ios::binary);
  std::string line;
  std::getline(in, line);
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

std::optional<Record> parseRecord(std::string_view bytes) {
  std::string_view lines[4];
  std::size_t at = 0;
  for (auto& line : lines) {
    const std::size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) return std::nullopt;  // still being written
    line = bytes.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);  // a record saved with CRLF line ends reads the same
    at = end + 1;
  }
  auto time = parseStamp(lines[2]);
  if (!time) return std::nullopt;
  Record record;
  record.address = validUtf8(lines[0]);
  record.recordPath = validUtf8(lines[1]);
  record.stamp = std::string(lines[2]);
  record.time = *time;
  record.title = validUtf8(lines[3]);
  if (record.title.size() > maxTitleBytes) {
    std::size_t end = maxTitleBytes;
    while (end > 0 && (static_cast<unsigned char>(record.title[end]) & 0xC0) == 0x80)
      --end;
    record.title.resize(end);
    record.title += "\u2026";
  }
  record.body = validUtf8(bytes.substr(at));
  record.site = web::siteOf(record.address);
  return record;
}

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}
}  // namespace

std::optional<std::string> writeRecordText(const fs::path& textPath, std::string_view address,
                                           std::string_view recordPath, std::string_view stamp,
                                           std::string_view title, std::string_view pageText,
                                           std::size_t wordLimit) {
  if (auto error =
          writeArchiveFile(textPath, recordText(address, recordPath, stamp, title, pageText, wordLimit)))
    return error;
  // The record's names (the screenshot's and this one) survive a power cut only once the folder is flushed.
  syncFolder(textPath.parent_path());
  return std::nullopt;
}

std::optional<std::string> addRecordWords(const fs::path& textPath, std::string_view words,
                                          std::size_t wordLimit) {
  std::string content;
  {
    const int fd = ::open(textPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      return "The record \"" + textPath.filename().string() + "\" is gone: " + std::strerror(errno);
    }
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
      content.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) {
      return "The record \"" + textPath.filename().string() + "\" cannot be read: " + std::strerror(errno);
    }
  }
  // The words follow the four lines of address, record path, stamp and title.
  std::size_t bodyStart = 0;
  for (int line = 0; line < 4; ++line) {
    const std::size_t end = content.find('\n', bodyStart);
    if (end == std::string::npos) {
      return "The record \"" + textPath.filename().string() + "\" is not whole";
    }
    bodyStart = end + 1;
  }
  const std::size_t held = splitWords(std::string_view(content).substr(bodyStart)).size();
  const std::vector<std::string_view> added = splitWords(words);
  const std::size_t room = wordLimit > held ? wordLimit - held : 0;
  if (room == 0 || added.empty()) return std::nullopt;
  for (std::size_t i = 0; i < std::min(room, added.size()); ++i) {
    if (content.size() > bodyStart) content.push_back(' ');
    content.append(added[i]);
  }
  if (auto error = writeArchiveFile(textPath, content, Replacing::anExistingFile)) return error;
  syncFolder(textPath.parent_path());
  return std::nullopt;
}

std::optional<std::string> writeArchiveFile(const fs::path& path, std::string_view bytes,
                                            Replacing replacing) {
  const fs::path partial = path.string() + std::string(partialSuffix);
  auto fail = [&](int code) -> std::optional<std::string> {
    std::string error =
        "The file \"" + path.filename().string() + "\" couldn't be saved: " + std::strerror(code);
    ::unlink(partial.c_str());
    return error;
  };
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno);
  // Written and flushed under the temporary name: what the name later points at is whole on the disk.
  if (!writeAll(fd, bytes) || ::fdatasync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return fail(code);
  }
  if (::close(fd) != 0) return fail(errno);
  if (replacing == Replacing::anExistingFile) {
    // The new version takes the place of the old in one step; a record forgotten meanwhile stays forgotten.
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return fail(errno);
    if (::rename(partial.c_str(), path.c_str()) != 0) return fail(errno);
    return std::nullopt;
  }
  // The name is taken only if no other file holds it: a record never replaces another.
  if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
    return std::nullopt;
  if (errno != EINVAL && errno != ENOSYS) return fail(errno);
  // A file system without that kind of rename: a hard link refuses an existing name just as well.
  if (::link(partial.c_str(), path.c_str()) != 0) return fail(errno);
  ::unlink(partial.c_str());
  return std::nullopt;
}

void syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::size_t removeInterruptedWrites(const fs::path& dataFolder) {
  std::size_t removed = 0;
  std::error_code ec;
  for (const auto& day : fs::directory_iterator(dataFolder, ec)) {
    std::error_code typeError;
    // Day folders only: any other folder is the person's, whatever its files are called.
    if (day.is_symlink(typeError) || !day.is_directory(typeError) ||
        !dayOfFolder(day.path().filename().string()))
      continue;
    for (const auto& entry : fs::directory_iterator(day.path(), typeError)) {
      const std::string name = entry.path().filename().string();
      // A screenshot is named before its text: one whose text never came is the first half of a record.
      if (entry.path().extension() == ".png" && stemTime(entry.path().stem().string())) {
        fs::path text = entry.path();
        text.replace_extension(".txt");
        if (!fs::exists(text, typeError) && !typeError && fs::remove(entry.path(), typeError)) ++removed;
        continue;
      }
      if (!name.ends_with(partialSuffix)) continue;
      // Only "<stem>.png.partial" and "<stem>.txt.partial" of a record's stem: a file of the person's own
      // that happens to end the same way is no leftover of ours.
      const fs::path written = name.substr(0, name.size() - partialSuffix.size());
      if ((written.extension() != ".png" && written.extension() != ".txt") ||
          !stemTime(written.stem().string()))
        continue;
      if (fs::remove(entry.path(), typeError)) ++removed;
    }
  }
  return removed;
}

}  // namespace tessaron::archive
