#include <gtest/gtest.h>

#include "platform/windows.h"

namespace tessaron::platform {
namespace {

constexpr Rect left{0, 0, 1000, 800};
constexpr Rect right{920, 0, 1000, 800};

auto framesOf(std::vector<AccessibleFrame> frames) {
  return [frames] { return std::optional(frames); };
}

TEST(BrowsingPrivacy, FirefoxTellsByItsTitle) {
  auto noFrames = [] { return std::optional<std::vector<AccessibleFrame>>{}; };
  EXPECT_EQ(browsingPrivacy("Firefox", "Notes — Mozilla Firefox Private Browsing", left, noFrames),
            WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("Firefox", "Mozilla Firefox Private Browsing", left, noFrames),
            WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("firefox-esr", "Notes — Mozilla Firefox", left, noFrames),
            WindowPrivacy::ordinary);
}

TEST(BrowsingPrivacy, ChromiumTellsByTheAccessibleFrameAtTheWindowsPlace) {
  const std::string title = "Tide tables - Chromium";
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{title, left}, {"", std::nullopt}})),
            WindowPrivacy::ordinary);
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{title + " (Incognito)", left}})),
            WindowPrivacy::privateBrowsing);
  EXPECT_EQ(browsingPrivacy("Google Chrome", title, left, framesOf({{title + " (Guest)", left}})),
            WindowPrivacy::privateBrowsing);

  // An ordinary and an incognito window with one title, side by side: the place decides.
  auto both = framesOf({{title, left}, {title + " (Incognito)", right}});
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, both), WindowPrivacy::ordinary);
  EXPECT_EQ(browsingPrivacy("Chromium", title, right, both), WindowPrivacy::privateBrowsing);
  // ...and on top of each other (new windows open at the same place), nothing tells them apart.
  EXPECT_EQ(
      browsingPrivacy("Chromium", title, left, framesOf({{title, left}, {title + " (Incognito)", left}})),
      WindowPrivacy::privateBrowsing);
  // Extents that could not be read leave the names to decide.
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{title + " (Incognito)", std::nullopt}})),
            WindowPrivacy::privateBrowsing);
}

TEST(BrowsingPrivacy, ChromiumsMarkInItsTranslationsBrackets) {
  const std::string title = "Tide tables - Chromium";
  for (const std::string& mark :
       std::vector<std::string>{" (Incognito)",
                                "\xEF\xBC\x88\xE3\x82\xB7\xE3\x83\xBC\xE3\x82\xAF\xE3\x83\xAC"
                                "\xE3\x83\x83\xE3\x83\x88\xEF\xBC\x89",
                                " [Incognito]", " \xE3\x80\x90x\xE3\x80\x91", "(Gast)"})
    EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{title + mark, left}})),
              WindowPrivacy::privateBrowsing)
        << mark;
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{title + " ()", left}})),
            WindowPrivacy::undetermined)
      << "an empty mark is no mark";
}

TEST(BrowsingPrivacy, AFrameThatMayBeAPrivateWindowsIsToldByItsNameAlone) {
  const Browser& chromium = *browserNamed("Chromium");
  const Browser& firefox = *browserNamed("Firefox");
  EXPECT_TRUE(frameMayBePrivate(chromium, "Tide tables - Chromium (Incognito)"));
  EXPECT_FALSE(frameMayBePrivate(chromium, "Tide tables - Chromium"));
  EXPECT_TRUE(frameMayBePrivate(firefox, "Tide tables \u2014 Mozilla Firefox Private Browsing"));
  EXPECT_FALSE(frameMayBePrivate(firefox, "Tide tables \u2014 Mozilla Firefox"));
  EXPECT_FALSE(frameMayBePrivate(firefox, "Tide tables - Chromium (Incognito)")) << "Firefox marks no frame";
  EXPECT_TRUE(frameMayBePrivate(*browserNamed("qutebrowser"), "Tide tables - qutebrowser"))
      << "its private windows cannot be told";

  EXPECT_TRUE(endsInFrameMark("Tide tables - Chromium (Incognito)"));
  EXPECT_TRUE(endsInFrameMark("Tide tables - Chromium\xEF\xBC\x88\xE3\x82\xB7\xEF\xBC\x89"));
  EXPECT_TRUE(endsInFrameMark("(Guest)"));
  EXPECT_FALSE(endsInFrameMark("Inbox (3) - Chromium")) << "an ordinary frame ends in the browser's name";
  EXPECT_FALSE(endsInFrameMark("Tide tables - Chromium ()"));
  EXPECT_FALSE(endsInFrameMark("Tide tables - Chromium)"));
}

TEST(BrowsingPrivacy, ChromiumWithoutAFrameToGoByIsInDoubt) {
  const std::string title = "Tide tables - Chromium";
  EXPECT_EQ(
      browsingPrivacy("Chromium", title, left, [] { return std::optional<std::vector<AccessibleFrame>>{}; }),
      WindowPrivacy::undetermined)
      << "the browser is not on the accessibility bus";
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{"Other page - Chromium", left}})),
            WindowPrivacy::undetermined)
      << "the title changed between the two reads";
  EXPECT_EQ(browsingPrivacy("Chromium", title, left, framesOf({{title + " (Incognito", left}})),
            WindowPrivacy::undetermined);
  EXPECT_EQ(browsingPrivacy("Safari", title, left, nullptr), WindowPrivacy::ordinary)
      << "browsers without a known private mode are not asked";
}

}  // namespace
}  // namespace tessaron::platform
