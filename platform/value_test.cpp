#include "platform/value.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessaron::platform {
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

}  // namespace
}  // namespace tessaron::platform
