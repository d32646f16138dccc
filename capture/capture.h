// The capture engine: every 5 seconds, each on-screen browser window is screenshotted, near-duplicates are
// dropped, and a new screenshot is archived with the page's address and text.
//
// Everything here runs on the capture task, one window after another; what passes keep (the registry, the
// visited words, the notes, the upkeep) is the engine's (engine.h), each behind its own lock held for single
// reads and writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/layout.h"
#include "archive/record_file.h"
#include "imagehash/os_image_hashing.h"
#include "platform/browsers.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace tessaron {

class Engine;

// ----- the registry

// One tracked browser window. The registry and the archive step running for it share the record.
struct TessaronWindow {
  OSData prevImage;  // PNG bytes of the last screenshot saved; empty until one is
  std::optional<platform::WindowDescription> window;  // refreshed every pass that reaches the window
  // The DCT hash of prevImage, kept so the previous image is never decoded again; none until one is saved.
  std::optional<OSHashType> prevImageHash;
  // The page address and title of the last record saved for the window, and of another page it showed at the
  // last pass: a page other than the saved one, seen on two passes in a row, is never taken for a
  // near-duplicate, however alike the two look. (One pass is not enough: while a page loads, the browser
  // reports the new address beside the old title and pixels.)
  std::optional<std::pair<std::string, std::string>> savedPage, pendingPage;
};

// The engine's registry of tracked windows, keyed by window number.
class WindowRegistry {
 public:
  std::shared_ptr<TessaronWindow> find(std::uint32_t windowID) const;
  // Inserts a new record unless one exists; returns the record now stored.
  std::shared_ptr<TessaronWindow> insertIfAbsent(std::uint32_t windowID,
                                                 std::shared_ptr<TessaronWindow> record);
  void remove(std::uint32_t windowID);
  std::vector<std::uint32_t> keys() const;
  std::size_t size() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::uint32_t, std::shared_ptr<TessaronWindow>> windows_;
};

// Why the archive step could not read a window's page: the pass logs it and goes on with the next window.
struct PageNotRead {
  std::string reason;
  // How the pass's log line gives it.
  std::string description() const;
};

inline constexpr std::string_view ownInterfaceTitle = "tessaron - Your Personal Web Archive";
// How a browser's windows are read: Chromium's family names its page in the tree's title and logs as its own;
// every other family is read as Firefox is.
enum class BrowserVariant { chromiumFamily, firefoxLike };
BrowserVariant variantOf(const platform::Browser& browser);

// ----- the loop

// Runs passes 5 seconds apart while the switch is on and this task is not cancelled.
void captureLoop(Engine& engine, std::stop_token stop);
// One pass over the current browser windows.
void capturePass(Engine& engine);

// ----- discovery

// The on-screen windows of the supported browsers that have a title in the window list; empty on failure.
std::vector<platform::WindowDescription> getBrowserWindows(Engine& engine);
bool isBrowserWindow(const platform::WindowDescription& window);

// ----- the archive step

// Matches the window's page, takes its screenshot and archives a new one with the page's address and words;
// what kept it from reading the page, if anything did.
std::optional<PageNotRead> archiveBrowserWindow(Engine& engine, const platform::Browser& browser,
                                                const platform::WindowDescription& window,
                                                const std::string& dayName,
                                                const std::filesystem::path& dayFolder,
                                                const std::shared_ptr<TessaronWindow>& record);

// ----- archive layout

inline constexpr std::size_t fullTextWordLimit = 10000;
inline constexpr std::size_t revisitWordLimit = 2;

// "yyyyMMdd" of a local date.
std::string dayName(const platform::LocalDateTime& local);
// The day folder under the data folder, created when missing; none when it cannot be created.
std::optional<std::filesystem::path> createDayFolder(const std::filesystem::path& parent,
                                                     const std::string& name);
// The current UTC time as "yyyy-MM-dd'T'HH:mm:ss'Z'".
std::string captureTimestamp(Engine& engine);
// How many words a new record of the address gets. The full text on the first record of an address in this
// run, and again whenever the page shows words that no record of the address holds yet (an article that
// arrived late, new comments, an application's new view; words with a digit, which tick, do not count); two
// words when the record would only repeat what the archive holds (`repeat`). An empty address prints "URL is
// empty." and gets the full text.
struct RecordWords {
  std::size_t limit = fullTextWordLimit;
  bool repeat = false;
};
RecordWords recordWords(Engine& engine, const std::string& address, std::string_view pageText);
// What the engine keeps of the words of visited addresses, at most: this many addresses, this many words
// (8 bytes each) for all of them together, and this many records of one address (past it, the address starts
// afresh). A month of reading without a restart stays within a few megabytes.
inline constexpr std::size_t visitedAddressLimit = 4000;
inline constexpr std::size_t visitedWordBudget = 1'000'000;
inline constexpr std::size_t recordsHeldPerAddress = 64;
// Notes the text file of a record saved with those words: once it is gone (deleted from the search pages or
// by hand), the address gets its full text again.
void noteVisitRecord(Engine& engine, const std::string& address, const std::filesystem::path& textFile);
// Forgets that the address was archived and the words its records held (they were deleted), so that it gets
// its full text again.
void forgetVisitedURL(Engine& engine, const std::string& address);
// ----- what is never recorded, and what the person takes back

// Why a listed browser window was not recorded; logged once when it starts, never naming the page.
enum class Unrecorded {
  privateBrowsing,
  maybePrivate,
  excludedSite,
  addressUnknown,
  pageNotBuilt,
  betweenPages
};
// Logs the reason when it is new for the window; forgetUnrecorded ends it (the window is recorded again).
void noteUnrecorded(Engine& engine, std::uint32_t windowID, Unrecorded reason);
void forgetUnrecorded(Engine& engine, std::uint32_t windowID);
// Drops the notes of windows no longer listed.
void pruneUnrecorded(Engine& engine, const std::vector<std::uint32_t>& listed);
// Says once per process, in the log and in a desktop notice, that a browser's pages cannot be read because it
// is not on the accessibility bus.
void noteUnreadablePages(Engine& engine, const platform::RunningApplication& application);
// Says once per process, in the log and in a desktop notice, that none of a browser's windows is recorded
// because its private windows cannot be told from its others.
void noteUntellablePrivateWindows(Engine& engine, const platform::Browser& browser);
// Once per browser: a QtWebEngine browser started without offering its pages, and what to do about it.
void notePagesHiddenByQtWebEngine(Engine& engine, const platform::Browser& browser);

// The settings file is read again (when it changed) at the start of each pass; a change is logged without
// naming any site.
settings::Settings refreshSettings(Engine& engine);
// The settings as the last read left them.
settings::Settings settingsInForce(Engine& engine);

inline constexpr std::chrono::minutes forgetWindow{15};
// Deletes every record (screenshot and text) whose stamp is at or after `since`, waiting for a pass that is
// writing one; returns how many records went.
std::size_t forgetRecords(Engine& engine, std::chrono::system_clock::time_point since);
// Forgets the records of the last 15 minutes by the platform's clock and logs how many went.
std::size_t forgetRecentRecords(Engine& engine);
// Deletes the records of the day folders that the settings' keepDays and maxArchiveGB leave out, oldest
// first; never today's folder, nor anything in a day folder but its records. The caller holds the engine's
// archive lock.
std::size_t enforceArchiveBudget(Engine& engine, const settings::Settings& budget,
                                 const std::filesystem::path& dataFolder, const std::string& today);
inline constexpr std::chrono::hours budgetCheckPeriod{1};
// Before a pass: the settings read again, and the budget enforced at the first pass, hourly, and when the
// settings change.
void archiveUpkeepBeforePass(Engine& engine, const std::filesystem::path& dataFolder,
                             const std::string& today);

// Whether a pass may save records: not while the data folder's file system has less free than the floor.
// Each change is logged once and shown as a notice; a file system that cannot be asked counts as roomy (a
// write that then fails leaves nothing behind).
bool roomToSave(Engine& engine, const settings::Settings& settings, const std::filesystem::path& dataFolder);

// ----- page content

// The title without emoji characters and without white space or line ends at either end.
std::string cleanTitle(std::string_view text);
// Equality under canonical equivalence.
bool titlesEqual(std::string_view a, std::string_view b);
// The application name lower-cased with the full Unicode mapping.
std::string lowercased(std::string_view text);

// Of the browser's windows as its page reader gives them, the one at exactly `frame` whose page, if it has a
// title, bears `title`; the first such, or none. Each window it tries is logged with its page's title.
platform::PageWindowRef findMatchingAXWindow(const std::vector<platform::PageWindowRef>& windows,
                                             const std::string& title, const platform::Rect& frame,
                                             BrowserVariant variant);

// Whether a window is caught between two pages: still titled after the page last saved from it while its page
// shows another address and gives itself another title. Chromium renames its window a moment after its
// document moved on; a record then would pair one page's title with the next one's words.
// The page's own title is asked for only then.
bool betweenPages(const std::optional<std::pair<std::string, std::string>>& savedPage,
                  const std::string& address, const std::string& windowTitle,
                  const std::function<std::string()>& ownTitle);

// ----- screenshots and the duplicate filter

// Captures the record's window and saves it to `destination` unless it is a near-duplicate of the last saved
// image (never when `newPage`: the window shows another page than its last record); true only when a new
// screenshot was written and stored in the record.
bool captureScreenshot(Engine& engine, TessaronWindow& record, const std::filesystem::path& destination,
                       bool newPage = false);
// Whether two encoded images are near-duplicates under the DCT hash (distance below its threshold).
bool isSimilarImage(const OSData& previous, const OSData& current);
// The decision of isSimilarImage for two hashes, with its log line; an error hash never counts as similar.
bool isSimilarHash(OSHashType previous, OSHashType current);

// Lossless PNG encoding of a screenshot (RGB when every pixel is opaque, else RGBA); empty when it cannot
// encode.
OSData encodePng(const platform::RgbaImage& image);
// Whether encodePng can encode the image: not empty, and its buffer covers its rows.
bool isEncodable(const platform::RgbaImage& image);

}  // namespace tessaron
