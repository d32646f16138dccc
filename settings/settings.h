// The person's settings: an optional JSON file, $XDG_CONFIG_HOME/tessaron/settings.json, such as
//
//   {"excludedSites": ["bank.example", "*.health.example"], "keepDays": 0, "maxArchiveGB": 0, "minFreeGB": 5,
//    "ocr": false, "encryptArchive": true, "fullLogging": false}
//
// Read by tessaron (which sites it never records, how much archive it keeps) and by the search server (which
// shows the rules in force). A file that cannot be used never loosens them: the last good settings stay.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::settings {

// An exact host ("bank.example"), or a domain with every subdomain ("*.health.example" covers
// health.example and a.b.health.example). Matched whatever form the name is written in: Unicode or its
// "xn--" form, any case, with a trailing dot or a leading "www.".
struct HostPattern {
  std::string domain;       // the name's ASCII form, as browsers give hosts
  std::string olderDomain;  // its form under the older IDNA rules where that differs, else empty
  std::string written;      // lower case, as the person wrote it
  bool withSubdomains = false;

  bool matches(std::string_view host) const;
  // Whether both stand for the same sites, however each was written.
  bool sameSitesAs(const HostPattern& other) const;
  // As the person writes it.
  std::string text() const;
  // The pattern a setting stands for: a host, "*." and a domain, or an address whose host is meant; none when
  // the text is none of these.
  static std::optional<HostPattern> parse(std::string_view text);
  bool operator==(const HostPattern&) const = default;
};

struct Settings {
  std::vector<HostPattern> excludedSites;
  int keepDays = 0;         // 0: day folders are kept forever
  double maxArchiveGB = 0;  // 0: no limit on the archive's size (gigabytes of 10^9 bytes)
  // Records are saved only while the archive's file system has this much free; 0: no floor; unset: the larger
  // of 1 GB and 2 % of the file system.
  std::optional<double> minFreeGB;
  // Whether words that only a page's pixels carry (a canvas, a picture of text) are read with OCR.
  bool ocr = true;
  // Whether a new archive is sealed (encrypted, its key in the desktop's keyring); a sealed one stays sealed.
  bool encryptArchive = true;
  // Whether the log names the pages it works on (their titles and addresses), for a debugging session; else
  // it gives each a short tag instead.
  bool fullLogging = false;
  bool operator==(const Settings&) const = default;
};

// The outcome of reading a settings text: the settings, or none when the text cannot be used (not JSON, or a
// key of the wrong type); and what is wrong with it, one line each, naming the place and what was expected.
// Unknown keys are reported but do not make the text unusable.
struct Parsed {
  std::optional<Settings> settings;
  std::vector<std::string> problems;
};
Parsed parse(std::string_view text);

// Whether the settings keep the page at this address from being recorded.
bool isExcluded(const Settings& settings, std::string_view address);

// The free room records leave on the archive's file system: minFreeGB when set, else the larger of 1 GB and
// 2 % of the file system's size.
std::uint64_t freeSpaceFloor(const Settings& settings, std::uint64_t fileSystemBytes);

// Adds a site to the file's excluded sites, keeping everything else it says (its layout is written anew);
// makes the file when there is none. Nothing when the site was already excluded; otherwise what stopped it
// (a file that is not usable settings, a site that is not one, a write that failed), and the file is then as
// it was.
std::optional<std::string> addExcludedSite(const std::filesystem::path& file, std::string_view site);

// $XDG_CONFIG_HOME/tessaron/settings.json, else under $HOME/.config; none without either.
std::optional<std::filesystem::path> defaultFile();

// One settings file, read again whenever it changes. Problems are reported through `report` once for each
// version of the file, each line naming the file, at most `maxProblemLines` of them and one line for the
// rest. Only a regular file of at most `maxFileBytes` is read; anything else (a pipe, a device, a huge file)
// is reported and keeps the settings in force. Safe to use from any thread.
inline constexpr off_t maxFileBytes = 1 << 20;
inline constexpr std::size_t maxProblemLines = 10;
class SettingsFile {
 public:
  using Reporter = std::function<void(const std::string& line)>;
  SettingsFile(std::filesystem::path file, Reporter report);

  // Reads the file when it is new or changed since the last call; true when the settings in force changed.
  // A missing file means the defaults; an unreadable or unusable one keeps the settings in force.
  bool refresh();
  Settings current() const;
  const std::filesystem::path& file() const { return file_; }

 private:
  // What tells one version of the file from another without reading it.
  struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const Identity& other) const;
  };
  Identity identify() const;

  const std::filesystem::path file_;
  const Reporter report_;
  mutable std::mutex mutex_;
  std::optional<Identity> seen_;
  Settings current_;
};

}  // namespace tessaron::settings
