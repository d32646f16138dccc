#include "platform/sim/ax_tree.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessaron::platform::sim {
namespace {

TEST(ExactConversion, AcceptsOnlyValuesThatConvertWithoutLoss) {
  EXPECT_EQ(exactInt32(Value{std::int64_t{2147483647}}), 2147483647);
  EXPECT_EQ(exactInt32(Value{7.0}), 7);
  EXPECT_EQ(exactInt32(Value{7.5}), std::nullopt);
  EXPECT_EQ(exactInt32(Value{std::numeric_limits<double>::quiet_NaN()}), std::nullopt);
  EXPECT_EQ(exactInt32(Value{std::string("7")}), std::nullopt);
  EXPECT_EQ(exactInt32(Value{true}), std::nullopt);
  EXPECT_EQ(exactInt32(Value{std::int64_t{-2147483648}}), -2147483648);
  EXPECT_EQ(exactInt32(Value{std::int64_t{2147483648}}), std::nullopt);
  EXPECT_EQ(exactInt32(Value{}), std::nullopt);
}

// The page reader's view of a scenario's tree: what the capture engine reads and the golden archives pin.
class SimPages : public testing::Test {
 protected:
  AXApplication app;
  TreeBuilder tree{*app.tree};
  std::vector<PageWindowRef> windows(const std::vector<std::size_t>& nodes,
                                     std::string_view browser = "Chromium") {
    app.root = tree.node({{"AXRole", std::string("AXApplication")}});
    app.tree->node(app.root).elementLists["AXWindows"] = nodes;
    return pageWindowsOf(app, *browserNamed(browser)).value();
  }
};

TEST_F(SimPages, APageNeedsATitleStringAndAUrlValueAndItsTitleAttributeIsTheBrowsers) {
  auto stringUrl = tree.webArea("String URL", Value(std::string("https://string/")),
                                {tree.webArea("Nested", Value(Url{"https://nested/"}), {})});
  auto noTitle = tree.webArea(std::nullopt, Value(Url{"https://untitled/"}), {});
  auto window =
      tree.window({}, {noTitle, stringUrl, tree.webArea("Later", Value(Url{"https://later/"}), {})});
  EXPECT_EQ(windows({window})[0]->page(), (Page{"Nested", "https://nested/"}));
  EXPECT_EQ(windows({window}, "Firefox")[0]->page(), std::nullopt) << "no page has an AXDescription";
  auto described = tree.window({}, {tree.webArea("Told", Value(Url{"https://d/"}), {}, "AXDescription")});
  EXPECT_EQ(windows({described}, "Firefox")[0]->page(), (Page{"Told", "https://d/"}));
  auto emptyTitle = tree.window({}, {tree.webArea("", Value(Url{"https://e/"}), {})});
  EXPECT_EQ(windows({emptyTitle})[0]->page(), (Page{"", "https://e/"}));

  app.tree->node(app.root).attributes["AXWindows"] = {AXStatus::success, std::string("not a list")};
  EXPECT_EQ(pageWindowsOf(app, *browserNamed("Chromium")), std::nullopt);
  EXPECT_EQ(pageWindowsOf(AXApplication{}, *browserNamed("Chromium")), std::nullopt) << "nobody runs it";
}

TEST_F(SimPages, TextKeepsOneSpaceBeforeEveryPieceAndChild) {
  auto window = tree.window({}, {tree.staticText("A"), tree.staticText("B")});
  EXPECT_EQ(windows({window})[0]->text(), "  A  B");
  auto nested = tree.window(
      {}, {tree.node({{"AXRole", std::string("AXGroup")}}, {tree.staticText("x", {tree.staticText("y")})}),
           tree.node({{"AXRole", std::string("AXButton")}, {"AXValue", std::string("skip")}})});
  EXPECT_EQ(windows({nested})[0]->text(), "   x  y ");
  auto quiet = tree.window({}, {tree.node({}), tree.node({}, {tree.node({})})});
  EXPECT_EQ(windows({quiet})[0]->text(), "   ") << "only spaces, one per element below the window";
}

TEST_F(SimPages, CyclicAndVeryDeepTreesEndWithoutCrashing) {
  // A window whose child lists the window again.
  auto window = tree.window({0, 0, 5, 5}, {});
  auto text = tree.staticText("loop");
  app.tree->node(window).elementLists["AXChildren"] = {text, window};
  auto ws = windows({window});
  EXPECT_EQ(ws[0]->text(), "  loop ");
  EXPECT_EQ(ws[0]->page(), std::nullopt);
  // A chain a hundred thousand levels deep with the page at the bottom: bounded, and not found.
  std::size_t below = tree.webArea("Deep", Value(Url{"https://deep/"}), {});
  for (int i = 0; i < 100000; ++i)
    below = tree.node({}, {below});
  auto deep = windows({tree.window({0, 0, 5, 5}, {below})});
  EXPECT_EQ(deep[0]->page(), std::nullopt);
  EXPECT_FALSE(deep[0]->text().empty());
}

}  // namespace
}  // namespace tessaron::platform::sim
