#include "settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <glib.h>

#include <nlohmann/json.hpp>

#include "base/web_address.h"
#include "base/xdg.h"

namespace tessaron::settings {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string placeOf(const json::json_pointer& pointer) {
  const std::string text = pointer.to_string();
  return text.empty() ? "/" : text;
}

// The file's bytes, or why it cannot be read (not a regular file, too large, no permission, an I/O error).
// Opened without blocking, so that a pipe in its place never holds up the reader.
std::optional<std::string> readWholeFile(const fs::path& file, std::string& text) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  struct stat info {};
  std::optional<std::string> problem;
  if (::fstat(fd, &info) != 0)
    problem = std::strerror(errno);
  else if (!S_ISREG(info.st_mode))
    problem = "it is not a regular file";
  else if (info.st_size > maxFileBytes)
    problem = "it is larger than " + std::to_string(maxFileBytes / 1024) + " KB";
  char buffer[16384];
  while (!problem) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) problem = std::strerror(errno);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > static_cast<std::size_t>(maxFileBytes))  // grown while read
      problem = "it is larger than " + std::to_string(maxFileBytes / 1024) + " KB";
  }
  ::close(fd);
  return problem;
}

// A problem as the log shows it: one line of bounded length, whatever the file held.
std::string shortened(std::string line) {
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  constexpr std::size_t longest = 200;
  if (line.size() > longest) {
    std::size_t cut = longest;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)  // not inside a character
      --cut;
    line = line.substr(0, cut) + "…";
  }
  return line;
}

constexpr std::string_view sitesExpected =
    "an array of host names, such as \"bank.example\", or \"*.\" and a domain, such as \"*.health.example\"";

}  // namespace

bool HostPattern::matches(std::string_view host) const {
  // "www.bank.example" and "bank.example" are one site whichever of them is written.
  host = web::withoutWww(host);
  for (const std::string* form : {&domain, &olderDomain}) {
    const std::string_view name = web::withoutWww(*form);
    if (name.empty()) continue;
    if (host == name) return true;
    if (withSubdomains && host.size() > name.size() && host.ends_with(name) &&
        host[host.size() - name.size() - 1] == '.')
      return true;
  }
  return false;
}

bool HostPattern::sameSitesAs(const HostPattern& other) const {
  return withSubdomains == other.withSubdomains && web::withoutWww(domain) == web::withoutWww(other.domain);
}

std::string HostPattern::text() const {
  return (withSubdomains ? "*." : "") + written;
}

std::optional<HostPattern> HostPattern::parse(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  HostPattern pattern;
  std::string name;
  if (text.find("://") != std::string_view::npos) {
    // People paste addresses; the site meant is the address's host.
    name = web::hostOf(text);
  } else {
    if (text.starts_with("*.")) {
      pattern.withSubdomains = true;
      text.remove_prefix(2);
    }
    name = std::string(text);
  }
  auto ascii = web::asciiHost(name);
  if (!ascii) return std::nullopt;
  pattern.domain = std::move(*ascii);
  pattern.olderDomain = web::olderAsciiHost(name).value_or("");
  gchar* lowered = g_utf8_strdown(name.data(), static_cast<gssize>(name.size()));
  pattern.written = lowered;
  g_free(lowered);
  if (pattern.written.ends_with('.')) pattern.written.pop_back();
  return pattern;
}

Parsed parse(std::string_view text) {
  Parsed out;
  json document;
  try {
    document = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& error) {
    // "[json.exception.parse_error.101] parse error at line 2, column 5: ..." keeps its place and reason.
    std::string what = error.what();
    if (auto at = what.find("parse error at "); at != std::string::npos) what = what.substr(at + 15);
    out.problems.push_back(what);
    return out;
  }
  if (!document.is_object()) {
    out.problems.push_back(
        "/: expected an object of settings, such as {\"excludedSites\": [\"bank.example\"]}");
    return out;
  }
  Settings settings;
  bool usable = true;
  auto wrong = [&](const json::json_pointer& place, std::string_view expected) {
    out.problems.push_back(placeOf(place) + ": expected " + std::string(expected));
    usable = false;
  };
  for (const auto& [key, value] : document.items()) {
    const json::json_pointer place = json::json_pointer() / key;
    if (key == "excludedSites") {
      if (!value.is_array()) {
        wrong(place, sitesExpected);
        continue;
      }
      for (std::size_t i = 0; i < value.size(); ++i) {
        const json& item = value[i];
        std::optional<HostPattern> pattern;
        if (item.is_string()) pattern = HostPattern::parse(item.get_ref<const std::string&>());
        if (pattern)
          settings.excludedSites.push_back(std::move(*pattern));
        else
          wrong(place / i, sitesExpected);
      }
    } else if (key == "keepDays") {
      if (value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0))
        settings.keepDays = static_cast<int>(std::min<std::uint64_t>(value.get<std::uint64_t>(), 1000000));
      else
        wrong(place, "a whole number of days, 0 or more (0 keeps every day)");
    } else if (key == "maxArchiveGB") {
      if (value.is_number() && value.get<double>() >= 0)
        settings.maxArchiveGB = value.get<double>();
      else
        wrong(place, "a number of gigabytes, 0 or more (0: no limit)");
    } else if (key == "minFreeGB") {
      if (value.is_number() && value.get<double>() >= 0)
        settings.minFreeGB = value.get<double>();
      else
        wrong(place, "a number of gigabytes, 0 or more (0: no floor)");
    } else if (key == "ocr") {
      if (value.is_boolean())
        settings.ocr = value.get<bool>();
      else
        wrong(place, "true or false (false: words in pictures are not read)");
    } else if (key == "encryptArchive") {
      if (value.is_boolean())
        settings.encryptArchive = value.get<bool>();
      else
        wrong(place, "true or false (false: a new archive is kept in plain files)");
    } else if (key == "fullLogging") {
      if (value.is_boolean())
        settings.fullLogging = value.get<bool>();
      else
        wrong(place, "true or false (true: the log names the pages it works on)");
    } else {
      out.problems.push_back(placeOf(place) +
                             ": unknown setting, ignored (known: excludedSites, keepDays, maxArchiveGB, "
                             "minFreeGB, ocr, encryptArchive, "
                             "fullLogging)");
    }
  }
  if (usable) out.settings = std::move(settings);
  return out;
}

bool isExcluded(const Settings& settings, std::string_view address) {
  if (settings.excludedSites.empty()) return false;
  const std::string host = web::hostOf(address);
  if (host.empty()) return false;
  return std::any_of(settings.excludedSites.begin(), settings.excludedSites.end(),
                     [&](const HostPattern& pattern) { return pattern.matches(host); });
}

std::uint64_t freeSpaceFloor(const Settings& settings, std::uint64_t fileSystemBytes) {
  if (settings.minFreeGB) return static_cast<std::uint64_t>(*settings.minFreeGB * 1e9);
  return std::max<std::uint64_t>(1'000'000'000, fileSystemBytes / 50);
}

std::optional<std::string> addExcludedSite(const fs::path& file, std::string_view site) {
  const auto pattern = HostPattern::parse(site);
  if (!pattern) return "\"" + std::string(site) + "\" is not a site";
  std::string text;
  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(file, ec));
  if (exists) {
    if (auto problem = readWholeFile(file, text)) return file.string() + " cannot be read: " + *problem;
    const Parsed parsed = parse(text);
    if (!parsed.settings)
      return file.string() + " is not usable settings" +
             (parsed.problems.empty() ? std::string() : ": " + parsed.problems.front());
    const auto& sites = parsed.settings->excludedSites;
    if (std::any_of(sites.begin(), sites.end(),
                    [&](const HostPattern& excluded) { return excluded.sameSitesAs(*pattern); }))
      return std::nullopt;
  }
  json document = exists ? json::parse(text) : json::object();
  json& sites = document["excludedSites"];
  if (sites.is_null()) sites = json::array();
  sites.push_back(pattern->text());
  const std::string written = document.dump(2) + "\n";
  // A new version takes the file's place whole (never a half-written file that would loosen the rules), with
  // the old one's permissions.
  fs::create_directories(file.parent_path(), ec);
  std::string temporary = (file.parent_path() / ".settings.json-XXXXXX").string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return "cannot write beside " + file.string() + ": " + std::strerror(errno);
  struct stat old {};
  if (exists && ::stat(file.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
  std::size_t done = 0;
  while (done < written.size()) {
    const ssize_t wrote = ::write(fd, written.data() + done, written.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  const bool whole = done == written.size() && ::fsync(fd) == 0;
  const int savedErrno = errno;
  ::close(fd);
  if (!whole || ::rename(temporary.c_str(), file.c_str()) != 0) {
    const std::string reason = std::strerror(whole ? errno : savedErrno);
    ::unlink(temporary.c_str());
    return "cannot write " + file.string() + ": " + reason;
  }
  return std::nullopt;
}

std::optional<fs::path> defaultFile() {
  if (auto config = xdg::configHome()) return *config / "tessaron" / "settings.json";
  return std::nullopt;
}

bool SettingsFile::Identity::operator==(const Identity& other) const {
  return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

SettingsFile::SettingsFile(fs::path file, Reporter report)
    : file_(std::move(file)), report_(std::move(report)) {}

SettingsFile::Identity SettingsFile::identify() const {
  struct stat info {};
  if (::stat(file_.c_str(), &info) != 0) return {};
  return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

bool SettingsFile::refresh() {
  std::lock_guard lock(mutex_);
  const Identity now = identify();
  if (seen_ && *seen_ == now) return false;
  const bool firstLook = !seen_;
  seen_ = now;
  const Settings before = current_;
  const std::string name = file_.string();
  if (!now.exists) {
    if (!firstLook && before != Settings{}) report_("Settings file " + name + " is gone: using the defaults");
    current_ = Settings{};
    return current_ != before;
  }
  std::string text;
  if (const auto problem = readWholeFile(file_, text)) {
    report_("Settings file " + name + " cannot be read (" + *problem + "): keeping the settings in force");
    return false;
  }
  Parsed parsed = parse(text);
  const bool kept = !parsed.settings;
  for (std::size_t i = 0; i < parsed.problems.size() && i < maxProblemLines; ++i)
    report_("Settings file " + name + ": " + shortened(parsed.problems[i]) +
            (kept ? " (keeping the settings in force)" : ""));
  if (parsed.problems.size() > maxProblemLines)
    report_("Settings file " + name + ": " + std::to_string(parsed.problems.size() - maxProblemLines) +
            " more problems");
  if (kept) return false;
  current_ = std::move(*parsed.settings);
  return current_ != before;
}

Settings SettingsFile::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

}  // namespace tessaron::settings
