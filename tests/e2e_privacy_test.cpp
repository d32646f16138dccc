// What tessaron must never record, against real browsers on a private X11 desktop: a Chromium incognito
// window, Firefox private windows in English, German and French, a GNOME Web incognito window, a Chromium
// that never joined the accessibility bus, and windows on an excluded site in Firefox and in a Chromium
// started as a desktop launcher starts it, two sites excluded as people write them in Unicode (which Chromium
// shows under their ASCII names), beside an ordinary window. The ordinary page is archived; the
// others leave no file, and no log or output line names their title, address or words.
// The settings file is changed while tessaron runs, and the change takes effect without a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tests/archive_files.h"
#include "tests/desktop_suite.h"
#include "tests/sample_pages.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

const SamplePage ordinary{"/open/lighthouse.html", "Lighthouse Log", "lanternkeeper", "rgb(40, 110, 220)"};
const SamplePage incognito{"/incognito/garden.html",
                           "Secret Garden",
                           "incognitomarker",
                           "rgb(30, 140, 90)",
                           "left:0;top:0;width:1000px;height:420px",
                           "#000"};
const SamplePage privateWindow{"/private/diary.html", "Hidden Diary", "privatemarker", "rgb(220, 80, 40)"};
const SamplePage privateGerman{"/private-de/heft.html", "Stilles Heft", "privatemarkerde",
                               "rgb(200, 90, 60)"};
const SamplePage privateFrench{"/private-fr/carnet.html", "Carnet Secret", "privatemarkerfr",
                               "rgb(180, 70, 90)"};
const SamplePage incognitoWeb{"/incognito-web/pond.html", "Quiet Pond", "incognitowebmarker",
                              "rgb(60, 120, 140)"};
const SamplePage offTheBus{"/early/harbour.html", "Early Harbour", "offthebusmarker", "rgb(150, 150, 40)"};
const SamplePage plainExcluded{"/plain/ledger.html", "Ledger Sheet", "plainmarker", "rgb(90, 90, 90)"};
const SamplePage excluded{"/excluded/vault.html",
                          "Vault Statement",
                          "excludedmarker",
                          "rgb(120, 60, 160)",
                          "left:0;top:500px;width:900px;height:200px",
                          "#ff0"};
// Excluded as people write them (in Unicode) and shown by Chromium under their ASCII host names.
const SamplePage unicodeBooks{"/unicode/books.html", "Bookshop Orders", "buchermarker", "rgb(70, 130, 70)"};
const SamplePage unicodeBank{"/unicode/bank.html", "Account Overview", "bankreimarker", "rgb(130, 70, 70)"};

class PrivacyTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session =
        new DesktopSession(fs::temp_directory_path() / ("tessaron-privacy-" + std::to_string(::getpid())));
    for (const auto& page : {ordinary, incognito, privateWindow, privateGerman, privateFrench, incognitoWeb,
                             offTheBus, plainExcluded, excluded, unicodeBooks, unicodeBank})
      addSamplePage(session->pages(), page);
    writeSettings(
        R"({"excludedSites": ["localhost", "bücher.example", "*.bank.例え"], "encryptArchive": false})");
    // Started before accessibility was switched on, this Chromium never joins the bus: neither its address
    // nor its privacy can be read.
    offTheBusChromium = session->startChromium(session->pages().url(offTheBus.path), offTheBus.title,
                                               "chromium-early", {}, ChromiumStart::beforeAccessibility);
    session->startChromium(session->pages().url(ordinary.path), "Lighthouse Log");
    session->startChromium(session->pages().url(incognito.path), "Secret Garden", "chromium-incognito",
                           {"--incognito"});
    session->startFirefox(session->pages().url(privateWindow.path), "Hidden Diary", "firefox-private",
                          {"-private-window"});
    session->startFirefox(session->pages().url(privateGerman.path), privateGerman.title, "firefox-private-de",
                          {"-private-window"}, "de");
    session->startFirefox(session->pages().url(privateFrench.path), privateFrench.title, "firefox-private-fr",
                          {"-private-window"}, "fr");
    session->startFirefox(excludedAddress(excluded), "Vault Statement");
    session->startEpiphany(session->pages().url(incognitoWeb.path), incognitoWeb.title, "epiphany-incognito",
                           {"--incognito-mode"});
    // Its pages' accessibles come only when tessaron asks for them; until then its address is unknown.
    session->startChromium(excludedAddress(plainExcluded), plainExcluded.title, "chromium-plain", {},
                           ChromiumStart::asLaunched);
    const std::string mapped =
        "--host-resolver-rules=MAP xn--bcher-kva.example 127.0.0.1, "
        "MAP www.bank.xn--r8jz45g 127.0.0.1";
    session->startChromium(addressOn("bücher.example", unicodeBooks), unicodeBooks.title, "chromium-books",
                           {mapped});
    session->startChromium(addressOn("www.bank.例え", unicodeBank), unicodeBank.title, "chromium-bank",
                           {mapped});
    tessaron = session->startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
  }

  // The excluded page is served by the same server under another host name, so only the host tells it apart.
  static std::string excludedAddress(const SamplePage& page) { return addressOn("localhost", page); }

  static std::string addressOn(const std::string& host, const SamplePage& page) {
    std::string address = session->pages().url(page.path);
    address.replace(address.find("127.0.0.1"), 9, host);
    return address;
  }

  static void writeSettings(const std::string& text) {
    const fs::path folder = session->home() / ".config" / "tessaron";
    fs::create_directories(folder);
    std::ofstream(folder / "settings.json.new") << text;
    fs::rename(folder / "settings.json.new", folder / "settings.json");
  }

  static inline pid_t offTheBusChromium = 0;

  static bool archived(const SamplePage& page) {
    const auto all = records();
    return std::any_of(all.begin(), all.end(),
                       [&](const ArchivedRecord& record) { return record.title.starts_with(page.title); });
  }
};

TEST_F(PrivacyTest, PrivateWindowsAndExcludedSitesLeaveNoTrace) {
  ASSERT_TRUE(waitFor([] { return archived(ordinary); }, 60s)) << session->log("tessaron");
  ASSERT_TRUE(waitForPasses(2)) << session->log("tessaron");

  for (const auto& record : records()) {
    EXPECT_TRUE(record.title.starts_with(ordinary.title)) << record.text;
    EXPECT_NE(record.body.find(ordinary.marker), std::string::npos);
  }
  std::size_t files = 0;
  for (const auto& entry :
       fs::recursive_directory_iterator(session->home() / ".local/share/tessaron/AppData"))
    files += entry.is_regular_file();
  EXPECT_EQ(files, 2 * records().size()) << "a screenshot and a text per record, nothing else";

  // Standard output and standard error both land in this log.
  const std::string log = session->log("tessaron");
  for (const auto& page : {incognito, privateWindow, privateGerman, privateFrench, incognitoWeb, offTheBus,
                           plainExcluded, excluded, unicodeBooks, unicodeBank})
    for (const std::string& trace : {page.title, page.marker, page.path})
      EXPECT_EQ(log.find(trace), std::string::npos) << "the log names \"" << trace << "\"";
  for (const char* host : {"localhost", "xn--bcher-kva", "xn--r8jz45g", "bücher", "例え"})
    EXPECT_EQ(log.find(host), std::string::npos) << host;
  for (const char* words : {"Private Browsing", "Privater Modus", "Navigation priv"})
    EXPECT_EQ(log.find(words), std::string::npos) << words;
  EXPECT_EQ(log.find("Can't find matching AXWindow"), std::string::npos);
  EXPECT_EQ(countInLog("is a private browsing window: not recorded"), 5U) << log;
  EXPECT_EQ(countInLog("shows an excluded site: not recorded"), 4U) << log;
  EXPECT_EQ(countInLog("may be a private browsing window: not recorded"), 1U) << log;
  EXPECT_EQ(countInLog("Chromium (process " + std::to_string(offTheBusChromium) +
                       ") is not on the accessibility bus"),
            1U)
      << log;
}

TEST_F(PrivacyTest, AChangedSettingsFileTakesEffectWithoutARestart) {
  writeSettings(R"({"excludedSites": [], "encryptArchive": false})");
  EXPECT_TRUE(waitFor([] { return archived(excluded); }, 60s)) << session->log("tessaron");
  EXPECT_NE(session->log("tessaron").find("Settings in force: 0 excluded sites"), std::string::npos);
  for (const auto& page : {incognito, privateWindow, privateGerman, privateFrench, incognitoWeb, offTheBus})
    EXPECT_FALSE(archived(page)) << page.title;
}

}  // namespace
}  // namespace tessaron::testing
