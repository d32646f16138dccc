#include "ocr/regions.h"

#include <gtest/gtest.h>

namespace tessaron::ocr {
namespace {

const Box page{0, 80, 1280, 700};

PageLayout textPage(std::vector<PagePart> parts) {
  return {page, 5000, std::move(parts)};
}

TEST(Regions, OnlyWhatTheTreeCannotGiveIsRead) {
  EXPECT_TRUE(regionsToRead(textPage({})).empty()) << "an ordinary page is never read from its pixels";

  const Box chart{100, 200, 600, 300}, photo{720, 200, 400, 300}, plugin{100, 520, 400, 200};
  const auto regions = regionsToRead(textPage({
      {PartKind::canvas, chart},
      {PartKind::image, photo, 0},  // no description
      {PartKind::embedded, plugin},
      {PartKind::image, {720, 520, 400, 200}, 80},  // described at length: its words are in the tree
      {PartKind::image, {10, 90, 32, 32}, 0},       // an icon
  }));
  EXPECT_EQ(regions, (std::vector<Box>{chart, photo, plugin})) << "largest first";

  // A description far shorter than the picture's size suggests (an infographic called "chart").
  EXPECT_EQ(regionsToRead(textPage({{PartKind::image, photo, 5}})), std::vector<Box>{photo});
}

TEST(Regions, APageWithAlmostNoTextIsReadWholeButNeverAPasswordField) {
  EXPECT_EQ(regionsToRead({page, 40, {{PartKind::canvas, {100, 200, 600, 300}}}}), std::vector<Box>{page});
  EXPECT_TRUE(regionsToRead({page, 40, {{PartKind::password, {500, 400, 200, 30}}}}).empty())
      << "a sign-in page: its password field's pixels are never read";

  const Box canvas{100, 200, 600, 300};
  EXPECT_TRUE(regionsToRead(textPage({{PartKind::canvas, canvas}, {PartKind::password, {150, 250, 200, 30}}}))
                  .empty());
  EXPECT_EQ(regionsToRead(textPage({{PartKind::canvas, canvas}, {PartKind::password, {800, 600, 200, 30}}})),
            std::vector<Box>{canvas});
}

TEST(Regions, RegionsAreCutToThePageAndNoneIsReadTwice) {
  // Partly scrolled out of view, and a picture inside a canvas's area.
  const auto regions = regionsToRead(textPage({
      {PartKind::canvas, {-200, 40, 600, 300}},
      {PartKind::image, {10, 100, 200, 100}, 0},
  }));
  EXPECT_EQ(regions, (std::vector<Box>{{0, 80, 400, 260}}));

  std::vector<PagePart> many;
  for (int i = 0; i < 20; ++i)
    many.push_back({PartKind::canvas, {i * 60, 100, 50, 20 + i}});
  const auto kept = regionsToRead(textPage(many));
  ASSERT_EQ(kept.size(), maxRegions);
  EXPECT_EQ(kept.front().height, 39) << "the largest";
}

}  // namespace
}  // namespace tessaron::ocr
