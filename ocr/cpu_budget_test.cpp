#include "ocr/cpu_budget.h"

#include <gtest/gtest.h>

namespace tessaron::ocr {
namespace {

using namespace std::chrono_literals;

TEST(CpuBudget, WorkStaysUnderItsShareOfACoreOverTheWindow) {
  CpuBudget budget(0.10, 60s);
  const auto start = CpuBudget::Clock::time_point{} + 1h;
  EXPECT_TRUE(budget.allows(start));
  // Four OCR'd records of 1.3 s each: 5.2 s of the minute's 6 s.
  for (int i = 0; i < 4; ++i)
    budget.spend(start + i * 2s, 1300ms);
  EXPECT_TRUE(budget.allows(start + 8s));
  budget.spend(start + 9s, 1300ms);  // 6.5 s: over
  EXPECT_FALSE(budget.allows(start + 10s));
  // Allowed again once the first one has left the window and the rest are under the share.
  EXPECT_EQ(budget.waitFrom(start + 10s), 50s);
  EXPECT_FALSE(budget.allows(start + 59s));
  EXPECT_TRUE(budget.allows(start + 60s + 1ms));
  EXPECT_EQ(budget.waitFrom(start + 61s), 0s);
  EXPECT_TRUE(budget.allows(start + 200s)) << "an idle minute forgets everything";
}

TEST(CpuBudget, OneLongPieceOfWorkWaitsUntilItHasLeftTheWindow) {
  CpuBudget budget(0.10, 60s);
  const auto start = CpuBudget::Clock::time_point{} + 1h;
  budget.spend(start, 20s);  // a whole frame of a huge screen, say
  EXPECT_FALSE(budget.allows(start + 30s));
  EXPECT_EQ(budget.waitFrom(start + 30s), 30s);
  EXPECT_TRUE(budget.allows(start + 61s));
}

}  // namespace
}  // namespace tessaron::ocr
