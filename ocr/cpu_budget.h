// Reading pixels is kept under a share of one core, averaged over a window: whatever the pages, it never
// weighs on the person's machine more than that.
#pragma once

#include <chrono>
#include <deque>
#include <utility>

namespace tessaron::ocr {

class CpuBudget {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CpuBudget(double share = 0.10, Clock::duration window = std::chrono::minutes(1))
      : share_(share), window_(window) {}

  // Whether work may start at `now`: what was spent within the window before it is under the share.
  bool allows(Clock::time_point now);
  // How long from `now` until it allows work again (zero when it does now).
  Clock::duration waitFrom(Clock::time_point now);
  // Processor time spent by work that ended at `at`.
  void spend(Clock::time_point at, Clock::duration cpu);

 private:
  Clock::duration spentSince(Clock::time_point start) const;
  void forgetBefore(Clock::time_point start);

  double share_;
  Clock::duration window_;
  std::deque<std::pair<Clock::time_point, Clock::duration>> spent_;  // oldest first
};

}  // namespace tessaron::ocr
