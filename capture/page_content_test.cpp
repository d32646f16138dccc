#include "capture/capture_test_support.h"

namespace tessaron {
namespace {

using platform::Rect;
using platform::Url;
using platform::Value;
using platform::sim::AXApplication;
using platform::sim::TreeBuilder;

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

// Builds a browser's accessibility tree in tests.
class PageContent : public testing::SimDesktopTest {
 protected:
  AXApplication app;
  TreeBuilder tree{*app.tree};
  std::vector<platform::ElementRef> windows(const std::vector<std::size_t>& nodes) {
    app.root = tree.node({{"AXRole", std::string("AXApplication")}});
    app.tree->node(app.root).elementLists["AXWindows"] = nodes;
    desktop->setApplication(100, app);
    auto element = platform::current().accessibility().createApplication(100);
    return std::get<platform::ElementArray>(element->copyAttributeValue("AXWindows").value);
  }
};

TEST_F(PageContent, FrameDecidesAndTitleMustAgreeOnlyWhenThePageHasOne) {
  Rect frame{0, 25, 1280, 775};
  auto page = tree.webArea("Example", Value(Url{"https://example.org/"}), {});
  auto untitled = tree.webArea("", Value(Url{"https://blank/"}), {});
  auto ws =
      windows({tree.window({1, 1, 10, 10}, {}), tree.window(frame, {page}), tree.window(frame, {untitled})});
  EXPECT_EQ(findMatchingAXWindow(ws, "Example", frame, BrowserVariant::chrome), ws[1]);
  EXPECT_EQ(findMatchingAXWindow(ws, "Other", frame, BrowserVariant::chrome), ws[2])
      << "empty page title: frame alone";
  EXPECT_EQ(findMatchingAXWindow(ws, "Example", {0, 25, 1280, 776}, BrowserVariant::chrome), nullptr);
  EXPECT_EQ(logs->texts(log::Category::getChromeContent)[0], "AXTitle: , SCTitle: Example")
      << "the window with no page gives an empty page title";
}

TEST_F(PageContent, EqualFramesAndTitlesFirstWinsAndBadFramesAreSkippedWithTheirErrors) {
  Rect frame{0, 0, 800, 600};
  platform::sim::AXNode failing;
  failing.attributes["AXFrame"] = {platform::AXStatus::noValue, {}};
  auto noFrame = app.tree->add(failing);
  auto notRect = tree.node({{"AXFrame", std::string("0 0 800 600")}});
  auto first = tree.window(frame, {tree.webArea("Same", Value(Url{"https://one/"}), {})});
  auto second = tree.window(frame, {tree.webArea("Same", Value(Url{"https://two/"}), {})});
  auto ws = windows({noFrame, notRect, first, second});
  EXPECT_EQ(findMatchingAXWindow(ws, "Different", frame, BrowserVariant::safari), ws[2])
      << "the Safari variant reads AXDescription, which these pages lack: no page, so the frame alone "
         "decides";
  logs->clear();
  EXPECT_EQ(findMatchingAXWindow(ws, "Same", frame, BrowserVariant::chrome), ws[2]);
  auto messages = logs->messages();
  ASSERT_GE(messages.size(), 3U);
  EXPECT_EQ(messages[0].text, "Failed to copy attribute value to axFrameValue. Error code: -25212");
  EXPECT_EQ(messages[0].level, log::Level::error);
  EXPECT_EQ(messages[1].text, "Failed to extract CGRect value from AXValue");
  EXPECT_EQ(messages[2].text, "AXTitle: Same, SCTitle: Same");
  EXPECT_EQ(messages[2].category, "GetChromeContent");
}

TEST_F(PageContent, WebAreaNeedsATitleStringAndAUrlValue) {
  auto stringUrl = tree.webArea("String URL", Value(std::string("https://string/")),
                                {tree.webArea("Nested", Value(Url{"https://nested/"}), {})});
  auto noTitle = tree.webArea(std::nullopt, Value(Url{"https://untitled/"}), {});
  auto window =
      tree.window({}, {noTitle, stringUrl, tree.webArea("Later", Value(Url{"https://later/"}), {})});
  auto ws = windows({window});
  WebArea found = findWebArea(ws[0], BrowserVariant::chrome);
  EXPECT_EQ(found.title, "Nested");
  EXPECT_EQ(found.address, "https://nested/");
  auto safari = findWebArea(ws[0], BrowserVariant::safari);
  EXPECT_EQ(safari.address, "") << "no page has an AXDescription";
  auto emptyTitle = tree.window({}, {tree.webArea("", Value(Url{"https://e/"}), {})});
  EXPECT_EQ(findWebArea(windows({emptyTitle})[0], BrowserVariant::chrome).address, "https://e/");
}

TEST_F(PageContent, StaticTextKeepsOneSpaceBeforeEveryPieceAndChild) {
  auto window = tree.window({}, {tree.staticText("A"), tree.staticText("B")});
  EXPECT_EQ(collectStaticText(windows({window})[0]), "  A  B");
  auto nested = tree.window(
      {}, {tree.node({{"AXRole", std::string("AXGroup")}}, {tree.staticText("x", {tree.staticText("y")})}),
           tree.node({{"AXRole", std::string("AXButton")}, {"AXValue", std::string("skip")}})});
  EXPECT_EQ(collectStaticText(windows({nested})[0]), "   x  y ");
  auto quiet = tree.window({}, {tree.node({}), tree.node({}, {tree.node({})})});
  EXPECT_EQ(collectStaticText(windows({quiet})[0]), "   ") << "only spaces, one per element below the window";
}

TEST_F(PageContent, CyclicAndVeryDeepTreesEndWithoutCrashing) {
  // A window whose child lists the window again.
  auto window = tree.window({0, 0, 5, 5}, {});
  auto text = tree.staticText("loop");
  app.tree->node(window).elementLists["AXChildren"] = {text, window};
  auto ws = windows({window});
  EXPECT_EQ(collectStaticText(ws[0]), "  loop ");
  EXPECT_EQ(findWebArea(ws[0], BrowserVariant::chrome).address, "");
  // A chain a hundred thousand levels deep with the page at the bottom: bounded, and not found.
  std::size_t below = tree.webArea("Deep", Value(Url{"https://deep/"}), {});
  for (int i = 0; i < 100000; ++i)
    below = tree.node({}, {below});
  auto deep = windows({tree.window({0, 0, 5, 5}, {below})});
  EXPECT_EQ(findWebArea(deep[0], BrowserVariant::chrome).address, "");
  EXPECT_FALSE(collectStaticText(deep[0]).empty());
}

}  // namespace
}  // namespace tessaron
