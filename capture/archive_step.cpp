// One browser window in one pass: match its accessibility window, take the screenshot, and archive a new one
// with the page's address and text.
#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "capture/log_lines.h"
#include "capture/page_pixels.h"

namespace tessaron {

namespace {

const log::Channel& contentChannel(BrowserVariant variant) {
  return variant == BrowserVariant::chromiumFamily ? log::chromiumPages() : log::firefoxLikePages();
}

}  // namespace

std::optional<PageNotRead> archiveBrowserWindow(Engine& engine, const platform::Browser& browser,
                                                const platform::WindowDescription& window,
                                                const std::string& day,
                                                const std::filesystem::path& dayFolder,
                                                const std::shared_ptr<TessaronWindow>& record) {
  const BrowserVariant variant = variantOf(browser);
  // The page's address decides whether the window may be named at all; until it is known, lines that name the
  // window wait (and are written as they would have been when it may, or when the step fails).
  log::HeldLines namingLines;
  const auto& info = window.listed;
  if (!info) return std::nullopt;  // the window list has no entry for it

  const std::optional<std::int32_t> pid = info->processId;
  if (!pid || !info->title) return PageNotRead{lines::noProcessOrTitle};

  const std::string title = cleanTitle(*info->title);
  if (variant == BrowserVariant::chromiumFamily) log::chromiumPages().log("curr title: %s", log::seen(title));

  Engine::TimedPart matching(engine, "match");
  const auto windows = engine.platform().pages().windowsOf(*pid, browser);
  if (!windows) return PageNotRead{lines::noPageWindows};

  platform::PageWindowRef matched = findMatchingAXWindow(*windows, title, window.frame, variant);
  if (!matched) {
    std::string message = lines::noMatchingPageWindow + log::seen(title);
    if (variant == BrowserVariant::firefoxLike) standardOutputLine(message);
    return PageNotRead{message};
  }

  const auto page = matched->page();
  const std::string address = page ? page->address : std::string();
  // Not recorded now: nothing that would name the window is logged, and its title is read afresh next time.
  auto leaveUnrecorded = [&](Unrecorded reason) {
    namingLines.discard();
    if (record->window) record->window->title.reset();
    noteUnrecorded(engine, window.windowID, reason);
  };
  // A record without the page's address and words only because the browser had not built them yet would
  // stay so: the window waits for a later pass.
  const bool buildsPagesLate =
      variant == BrowserVariant::chromiumFamily || browser.family == platform::BrowserFamily::qtWebEngine;
  if (buildsPagesLate && !page && !matched->pageBuilt()) {
    leaveUnrecorded(Unrecorded::pageNotBuilt);
    if (browser.family == platform::BrowserFamily::qtWebEngine && platform::qtWebEngineHidesPages(*pid))
      notePagesHiddenByQtWebEngine(engine, browser);
    return std::nullopt;
  }
  if (page &&
      betweenPages(record->savedPage, address, cleanTitle(title), [&] { return matched->ownTitle(); })) {
    leaveUnrecorded(Unrecorded::betweenPages);
    return std::nullopt;
  }
  matching.stop();
  Engine::TimedPart checking(engine, "excluded sites");
  // Without its address a page cannot be checked against the excluded sites: then it is not recorded.
  if (address.empty() && !settingsInForce(engine).excludedSites.empty()) {
    leaveUnrecorded(Unrecorded::addressUnknown);
    return std::nullopt;
  }
  if (settings::isExcluded(settingsInForce(engine), address)) {
    leaveUnrecorded(Unrecorded::excludedSite);
    return std::nullopt;
  }
  checking.stop();
  namingLines.release();
  forgetUnrecorded(engine, window.windowID);

  const std::string recordTitle = cleanTitle(title);
  // Pages of one site often share a layout that the hash sees as unchanged, and an application can change its
  // address in place: a page other than the last one recorded, once it has settled, is archived however alike
  // the two look.
  const auto shown = std::make_pair(address, recordTitle);
  bool newPage = false;
  if (record->savedPage && *record->savedPage != shown) {
    newPage = record->pendingPage == shown;
    record->pendingPage = shown;
  }
  Engine::TimedPart naming(engine, "record name");
  const std::string stamp = captureTimestamp(engine);
  const archive::RecordPaths paths = archive::claimRecordPaths(day, dayFolder, stamp);
  naming.stop();
  if (!captureScreenshot(engine, *record, paths.imagePath, newPage)) {
    log::capturer().log("no screenshot captured so abort archiving this time.");
    return std::nullopt;
  }
  record->savedPage = shown;
  record->pendingPage.reset();

  const std::string text = matched->text();
  const RecordWords words = recordWords(engine, address, text);
  if (words.repeat)
    contentChannel(variant).log("Url %s already visited, don't save off-screen text again!",
                                log::seen(address));
  standardOutputLine(std::to_string(words.limit));
  if (auto error = archive::writeRecordText(paths.textPath, address, paths.recordPath, stamp, recordTitle,
                                            text, words.limit)) {
    // A record is whole or not at all: its screenshot goes too, and the window starts afresh, so the next
    // pass saves the page again and its words are not taken as archived.
    log::capturer().error("Error saving metadata: %s", *error);
    std::error_code ec;
    std::filesystem::remove(paths.imagePath, ec);
    record->prevImage.clear();
    record->prevImageHash.reset();
    record->savedPage.reset();
    record->pendingPage.reset();
    forgetVisitedURL(engine, address);
    return std::nullopt;
  }
  noteVisitRecord(engine, address, paths.textPath);
  contentChannel(variant).log("Metadata saved at: %s", paths.textPath.string());
  // A page recorded with its full text may draw words its tree does not have; one whose tree gives almost no
  // text has nothing else to go by, visit after visit.
  if (!words.repeat || text.size() < ocr::almostNoText)
    if (auto layout = matched->layout())
      readWordsInPictures(engine, *layout, window.frame.width, record->prevImage, text.size(), paths.textPath,
                          paths.recordPath);
  return std::nullopt;
}

}  // namespace tessaron
