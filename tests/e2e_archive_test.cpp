// Every page a person sees reaches the archive with its words, against real browsers on a private X11
// desktop. Each browser window walks through pages by itself: an article whose words arrive seconds after the
// page loads, two pages of one template that differ only in their words (one title for both), and an
// application that changes its words and address in place. A third window scrolls a long page with a ticking
// clock, which must not fill the archive. At the end, the pipelined text read is checked against the serial
// walk on the pages the windows show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "capture/capture.h"
#include "platform/freedesktop/atspi.h"
#include "tests/archive_files.h"
#include "tests/desktop_suite.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

// One template for every page: a big coloured header and a column of text, so that pages differ only in
// their words and the screenshot hash sees them as one.
std::string page(const std::string& title, const std::string& words, const std::string& script = {}) {
  std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
                     "</title><style>body{margin:0;font:14px sans-serif}header{height:300px;"
                     "background:rgb(40,110,220)}main{padding:8px;width:600px}</style></head><body>"
                     "<header></header><main id=\"main\"><p>" +
                     words + "</p></main>";
  if (!script.empty()) html += "<script>" + script + "</script>";
  return html + "</body></html>";
}

// The pages one browser walks through; `prefix` names the browser in every path and marker word.
struct Walk {
  std::string prefix;

  std::string path(const std::string& name) const { return "/" + prefix + "/" + name; }
  std::string marker(const std::string& name) const { return prefix + name; }

  void addTo(PageServer& pages) const {
    // The article (a picture and words) arrives 7 s after the page; 22 s after it, the window moves on.
    pages.add(path("late.html"),
              page("Late Article", "Loading",
                   "setTimeout(()=>{document.getElementById('main').innerHTML='<div style=\"height:300px;"
                   "background:rgb(200,60,60)\"></div><p>Marmalade treatise " +
                       marker("latealpha") + " oranges sugar and patience " + marker("lateomega") +
                       "</p>'},7000);setTimeout(()=>{location.href='template-a.html'},22000);"));
    pages.add(path("template-a.html"),
              page("Catalogue Entry", "Entry about copper kettles " + marker("templatealpha"),
                   "setTimeout(()=>{location.href='template-b.html'},16000);"));
    pages.add(path("template-b.html"),
              page("Catalogue Entry", "Entry about brass lamps " + marker("templatebravo"),
                   "setTimeout(()=>{location.href='app.html'},16000);"));
    // The application's second view keeps the layout and the title; only words and address change.
    pages.add(path("app.html"),
              page("Ledger App", "First view " + marker("appalpha"),
                   "setTimeout(()=>{document.getElementById('main').innerHTML='<p>Second view " +
                       marker("appbravo") + "</p>';history.pushState({},'','app-next')},16000);"));
  }

  std::vector<std::pair<std::string, std::string>> expected(const PageServer& pages) const {
    return {{pages.url(path("late.html")), marker("latealpha")},
            {pages.url(path("late.html")), marker("lateomega")},
            {pages.url(path("template-a.html")), marker("templatealpha")},
            {pages.url(path("template-b.html")), marker("templatebravo")},
            {pages.url(path("app.html")), marker("appalpha")},
            {pages.url(path("app-next")), marker("appbravo")}};
  }
};

const Walk chromiumWalk{"chromium"};
const Walk firefoxWalk{"firefox"};

// A long page of big blocks that scrolls by itself every two seconds, with a clock that ticks every second.
std::string scrollingPage() {
  std::string rows;
  for (int i = 0; i < 200; ++i)
    rows += "<div style=\"height:" + std::to_string(120 + i * 53 % 260) +
            "px;background:" + (i % 2 ? "#123" : "#fed") + ";color:#888\">Section " + std::to_string(i) +
            " of the long register</div>";
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Long Register</title></head><body>"
         "<div id=\"clock\" style=\"position:fixed;top:0;right:0;background:#fff\"></div>" +
         rows +
         "<script>setInterval(()=>{document.getElementById('clock').textContent=new "
         "Date().toLocaleTimeString()},1000);setInterval(()=>window.scrollBy(0,230),2000);</script></body></"
         "html>";
}

class ArchiveTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session =
        new DesktopSession(fs::temp_directory_path() / ("tessaron-archive-" + std::to_string(::getpid())));
    chromiumWalk.addTo(session->pages());
    firefoxWalk.addTo(session->pages());
    session->pages().add("/scroll/register.html", scrollingPage());
    chromium = session->startChromium(session->pages().url(chromiumWalk.path("late.html")), "Late Article");
    firefox = session->startFirefox(session->pages().url(firefoxWalk.path("late.html")), "Late Article");
    scroller = session->startChromium(session->pages().url("/scroll/register.html"), "Long Register",
                                      "chromium-scroll");
    tessaron = session->startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
  }

  static bool archived(const std::string& address, const std::string& word) {
    const auto all = records();
    return std::any_of(all.begin(), all.end(), [&](const ArchivedRecord& record) {
      return record.address == address && record.body.find(word) != std::string::npos;
    });
  }

  static std::vector<std::pair<std::string, std::string>> missing() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Walk* walk : {&chromiumWalk, &firefoxWalk})
      for (auto& [address, word] : walk->expected(session->pages()))
        if (!archived(address, word)) out.emplace_back(address, word);
    return out;
  }

  static inline pid_t chromium = 0, firefox = 0, scroller = 0;
};

TEST_F(ArchiveTest, EveryWordSeenReachesTheArchive) {
  const bool complete = waitFor([] { return missing().empty(); }, 150s);
  std::string list;
  for (auto& [address, word] : missing())
    list += "  " + word + " at " + address + "\n";
  EXPECT_TRUE(complete) << "words that never reached the archive:\n" << list << session->log("tessaron");

  // Records and bytes per page: what each kind of page costs the archive.
  std::map<std::string, std::pair<std::size_t, std::uintmax_t>> perAddress;
  for (const auto& record : records()) {
    auto& [count, bytes] = perAddress[record.address];
    ++count;
    fs::path image = record.text;
    image.replace_extension(".png");
    std::error_code ec;
    bytes += fs::file_size(record.text, ec) + fs::file_size(image, ec);
  }
  for (const auto& [address, figures] : perAddress)
    std::printf("archive: %-60s %2zu records %8ju bytes\n", address.c_str(), figures.first,
                static_cast<std::uintmax_t>(figures.second));
}

TEST_F(ArchiveTest, AScrollingPageWithATickingClockDoesNotFillTheArchive) {
  const std::string address = session->pages().url("/scroll/register.html");
  std::size_t passes = countInLog("Start Screen Capturing from logger");
  std::size_t fullText = 0, all = 0, textBytes = 0;
  for (const auto& record : records())
    if (record.address == address) {
      ++all;
      // A repeat holds two words; a record with the page's words again holds many more.
      fullText += std::count(record.body.begin(), record.body.end(), ' ') > 2;
      textBytes += fs::file_size(record.text);
    }
  std::printf(
      "archive: the scrolling page over %zu passes: %zu records, %zu of them with the full text, %zu bytes "
      "of "
      "text in all\n",
      passes, all, fullText, textBytes);
  EXPECT_GE(all, 1U) << "the page itself is archived";
  EXPECT_LE(fullText, 1 + passes / 6) << "the page's words are not written again on every scroll";
}

TEST_F(ArchiveTest, ThePipelinedTextReadGivesTheSerialWalksText) {
  platform::freedesktop::AtspiPages serial(platform::freedesktop::TextReading::serial);
  platform::freedesktop::AtspiPages pipelined(platform::freedesktop::TextReading::pipelined);
  struct Window {
    pid_t pid;
    const char* browser;
    const char* title;
  };
  // The windows' last pages (the long register's clock would change its text between the two reads).
  for (const Window& window :
       {Window{chromium, "Chromium", "Ledger App"}, Window{firefox, "Firefox", "Ledger App"}}) {
    auto text = [&](platform::PageReader& reader) -> std::optional<std::string> {
      auto windows = reader.windowsOf(window.pid, *platform::browserNamed(window.browser));
      if (!windows) return std::nullopt;
      for (const auto& candidate : *windows) {
        const auto page = candidate->page();
        if (page && page->title.starts_with(window.title)) return candidate->text();
      }
      return std::nullopt;
    };
    const auto fast = text(pipelined);
    const auto reference = text(serial);
    ASSERT_TRUE(fast && reference) << window.title;
    EXPECT_GT(reference->size(), 10U) << window.title;
    EXPECT_EQ(*fast, *reference) << window.title;
  }
}

}  // namespace
}  // namespace tessaron::testing
