#include "capture/capture_test_support.h"

namespace tessaron {
namespace {

using platform::Rect;
using platform::sim::AXApplication;
using platform::sim::TreeBuilder;
using platform::sim::Url;
using platform::sim::Value;

TEST(CleanTitle, DropsEmojiPresentationCharactersWhole) {
  EXPECT_EQ(cleanTitle("Flag \U0001F1E9\U0001F1EA here"), "Flag  here") << "a flag is one character";
  EXPECT_EQ(cleanTitle("\U0001F600 Smile"), "Smile");
  EXPECT_EQ(cleanTitle("Wave \U0001F44B\U0001F3FD!"), "Wave !") << "with its skin tone";
  EXPECT_EQ(cleanTitle("Family \U0001F468\u200D\U0001F469\u200D\U0001F467 end"), "Family  end");
  EXPECT_EQ(cleanTitle("#1 \u00A9 2024 \u2764 \u2764\uFE0F"), "#1 \u00A9 2024 \u2764 \u2764\uFE0F")
      << "emoji without the presentation property stay";
  EXPECT_EQ(cleanTitle("  \U0001F680 \U0001F525  "), "");
  EXPECT_EQ(cleanTitle("Inner  double  spaces"), "Inner  double  spaces");
  EXPECT_EQ(cleanTitle("\t\n\r\u0085\u00A0\u2028\u2029\u3000Title\u2003\n"), "Title");
  EXPECT_EQ(cleanTitle("\u200BZero width\u200B"), "\u200BZero width\u200B") << "not white space";
  EXPECT_EQ(cleanTitle(""), "");
}

TEST(Titles, CompareUnderCanonicalEquivalenceAndLowerCaseFully) {
  EXPECT_TRUE(titlesEqual("Caf\u00E9", "Cafe\u0301"));
  EXPECT_FALSE(titlesEqual("Cafe", "Caf\u00E9"));
  EXPECT_FALSE(titlesEqual("Title", "title"));
  EXPECT_EQ(lowercased("Google Chrome"), "google chrome");
  EXPECT_EQ(lowercased("SAFARI"), "safari");
  EXPECT_EQ(lowercased("\u0130stanbul"), "i\u0307stanbul") << "the full mapping, not one code unit each";
}

// A browser's accessibility tree, read through the platform's page reader.
class PageContent : public testing::SimDesktopTest {
 protected:
  AXApplication app;
  TreeBuilder tree{*app.tree};
  std::vector<platform::PageWindowRef> windows(const std::vector<std::size_t>& nodes,
                                               std::string_view browser = "Chromium") {
    app.root = tree.node({{"AXRole", std::string("AXApplication")}});
    app.tree->node(app.root).elementLists["AXWindows"] = nodes;
    desktop->setApplication(100, app);
    return platform::current().pages().windowsOf(100, *platform::browserNamed(browser)).value();
  }
};

TEST_F(PageContent, FrameDecidesAndTitleMustAgreeOnlyWhenThePageHasOne) {
  Rect frame{0, 25, 1280, 775};
  auto page = tree.webArea("Example", Value(Url{"https://example.org/"}), {});
  auto untitled = tree.webArea("", Value(Url{"https://blank/"}), {});
  auto ws =
      windows({tree.window({1, 1, 10, 10}, {}), tree.window(frame, {page}), tree.window(frame, {untitled})});
  EXPECT_EQ(findMatchingAXWindow(ws, "Example", frame, BrowserVariant::chromiumFamily), ws[1]);
  EXPECT_EQ(findMatchingAXWindow(ws, "Other", frame, BrowserVariant::chromiumFamily), ws[2])
      << "empty page title: frame alone";
  EXPECT_EQ(findMatchingAXWindow(ws, "Example", {0, 25, 1280, 776}, BrowserVariant::chromiumFamily), nullptr);
  // A page titled without the browser's name matches a window title that ends with it, and only with it.
  EXPECT_EQ(findMatchingAXWindow(ws, "Example \u2014 Konqueror", frame, BrowserVariant::firefoxLike), ws[1]);
  EXPECT_EQ(findMatchingAXWindow(ws, "Example \u2014 Notes", frame, BrowserVariant::firefoxLike), ws[2]);
  EXPECT_EQ(logs->texts(log::Category::chromiumPages)[0], "AXTitle: , SCTitle: " + log::seen("Example"))
      << "the window with no page gives an empty page title; the window's title is not named";
  for (const std::string& line : logs->texts())
    EXPECT_EQ(line.find("Example"), std::string::npos) << line;
}

TEST_F(PageContent, EqualFramesAndTitlesFirstWinsAndUnreadableFramesAreSkippedWithTheirReasons) {
  Rect frame{0, 0, 800, 600};
  platform::sim::AXNode failing;
  failing.attributes["AXFrame"] = {platform::sim::AXStatus::noValue, {}};
  auto noFrame = app.tree->add(failing);
  auto notRect = tree.node({{"AXFrame", std::string("0 0 800 600")}});
  auto first = tree.window(frame, {tree.webArea("Same", Value(Url{"https://one/"}), {})});
  auto second = tree.window(frame, {tree.webArea("Same", Value(Url{"https://two/"}), {})});
  auto firefoxWindows = windows({noFrame, notRect, first, second}, "Firefox");
  EXPECT_EQ(findMatchingAXWindow(firefoxWindows, "Different", frame, BrowserVariant::firefoxLike),
            firefoxWindows[2])
      << "Firefox's pages are titled by AXDescription, which these pages lack: no page, so the frame alone "
         "decides";
  logs->clear();
  const log::NamingWhatWasSeen naming;
  auto ws = windows({noFrame, notRect, first, second});
  EXPECT_EQ(findMatchingAXWindow(ws, "Same", frame, BrowserVariant::chromiumFamily), ws[2]);
  EXPECT_EQ(ws[2]->page()->address, "https://one/");
  auto messages = logs->messages();
  ASSERT_GE(messages.size(), 3U);
  EXPECT_EQ(messages[0].text, "Failed to read the window's frame: sim: AXFrame fails with -25212");
  EXPECT_EQ(messages[0].level, log::Level::error);
  EXPECT_EQ(messages[1].text, "Failed to read the window's frame: sim: AXFrame holds no rectangle");
  EXPECT_EQ(messages[2].text, "AXTitle: Same, SCTitle: Same");
  EXPECT_EQ(messages[2].category, "GetChromeContent");
}

TEST(BetweenPages, OnlyAWindowStillTitledAfterTheSavedPageWhoseDocumentMovedOn) {
  const auto saved =
      std::make_optional(std::make_pair(std::string("https://a/"), std::string("Alpha - Chromium")));
  int asked = 0;
  auto named = [&asked](std::string title) {
    return [&asked, title] {
      ++asked;
      return title;
    };
  };
  EXPECT_TRUE(betweenPages(saved, "https://b/", "Alpha - Chromium", named("Bravo")));
  EXPECT_FALSE(betweenPages(saved, "https://b/", "Alpha - Chromium", named("Alpha")))
      << "a new address under the same title (an application that moves in place)";
  EXPECT_FALSE(betweenPages(saved, "https://b/", "Alpha - Chromium", named(""))) << "a page without a title";
  EXPECT_EQ(asked, 3);
  EXPECT_FALSE(betweenPages(saved, "https://b/", "Bravo - Chromium", named("Bravo")))
      << "the window was renamed";
  EXPECT_FALSE(betweenPages(saved, "https://a/", "Alpha - Chromium", named("Bravo")))
      << "the saved page itself, retitled by the page";
  EXPECT_FALSE(betweenPages(std::nullopt, "https://b/", "Alpha - Chromium", named("Bravo")))
      << "nothing saved";
  EXPECT_EQ(asked, 3) << "an unchanged page (or one the window's title already tells apart) is not asked";
  const auto tide =
      std::make_optional(std::make_pair(std::string("https://a/"), std::string("Tide  tables - Chromium")));
  EXPECT_FALSE(betweenPages(tide, "https://b/", "Tide  tables - Chromium", named("Tide \U0001F30A tables")))
      << "the window's title is cleaned of emoji, so the page's must be too";
}

// Chromium builds its pages' trees only some time after it is first asked: a window whose page is not built
// yet is not recorded (said once), and is recorded whole once it is; a built page that truly gives no address
// is recorded as it is.
TEST_F(PageContent, AChromiumPageIsRecordedOnceItsTreeIsBuiltAndNeverWithoutItBefore) {
  platform::sim::Window window{
      .number = 7, .title = "Page", .frame = {0, 0, 64, 48}, .application = "Chromium"};
  window.processId = 100;
  window.image = platform::sim::ImageSource::fromPattern("noise", 1);
  desktop->addWindow(window);
  const auto frame = tree.window({0, 0, 64, 48}, {});
  app.tree->node(frame).attributes["AXPageNotBuilt"] = {platform::sim::AXStatus::success, Value(true)};
  windows({frame});
  const std::string day = dataFolder().string() + "/20240301";
  auto records = [&] {
    std::vector<std::string> texts;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(day, ec))
      if (entry.path().extension() == ".txt") texts.push_back(testing::readText(entry.path()));
    return texts;
  };
  capturePass(engine());
  capturePass(engine());
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(linesWith("has not built for reading yet: not recorded until it has"), 1U);

  AXApplication built;
  TreeBuilder builder{*built.tree};
  const auto page =
      builder.webArea("Page", Value(Url{"https://page.example/"}), {builder.staticText("Tide")});
  built.root = builder.node({{"AXRole", std::string("AXApplication")}});
  built.tree->node(built.root).elementLists["AXWindows"] = {builder.window({0, 0, 64, 48}, {page})};
  desktop->setApplication(100, built);
  desktop->advance(std::chrono::seconds(5));
  capturePass(engine());
  ASSERT_EQ(records().size(), 1U);
  EXPECT_NE(records()[0].find("https://page.example/"), std::string::npos) << records()[0];
  EXPECT_NE(records()[0].find("Tide"), std::string::npos) << records()[0];

  AXApplication noAddress;
  TreeBuilder bare{*noAddress.tree};
  const auto untitled = bare.webArea("Page", std::nullopt, {bare.staticText("Harbour")});
  noAddress.root = bare.node({{"AXRole", std::string("AXApplication")}});
  noAddress.tree->node(noAddress.root).elementLists["AXWindows"] = {bare.window({0, 0, 64, 48}, {untitled})};
  desktop->setApplication(100, noAddress);
  desktop->window(7)->image = platform::sim::ImageSource::fromPattern("checker", 2);
  desktop->advance(std::chrono::seconds(5));
  capturePass(engine());
  EXPECT_EQ(records().size(), 2U) << "a built page without an address is recorded";
}

}  // namespace
}  // namespace tessaron
