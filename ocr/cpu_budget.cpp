#include "ocr/cpu_budget.h"

namespace tessaron::ocr {

CpuBudget::Clock::duration CpuBudget::spentSince(Clock::time_point start) const {
  Clock::duration total{0};
  for (const auto& [at, cpu] : spent_)
    if (at > start) total += cpu;
  return total;
}

void CpuBudget::forgetBefore(Clock::time_point start) {
  while (!spent_.empty() && spent_.front().first <= start)
    spent_.pop_front();
}

bool CpuBudget::allows(Clock::time_point now) {
  forgetBefore(now - window_);
  return spentSince(now - window_) < std::chrono::duration_cast<Clock::duration>(window_ * share_);
}

CpuBudget::Clock::duration CpuBudget::waitFrom(Clock::time_point now) {
  forgetBefore(now - window_);
  const auto allowance = std::chrono::duration_cast<Clock::duration>(window_ * share_);
  // Work leaves the window oldest first; wait until enough has left.
  Clock::duration total = spentSince(now - window_);
  for (const auto& [at, cpu] : spent_) {
    if (total < allowance) break;
    total -= cpu;
    if (total < allowance) return at + window_ - now;
  }
  return Clock::duration::zero();
}

void CpuBudget::spend(Clock::time_point at, Clock::duration cpu) {
  spent_.emplace_back(at, cpu);
}

}  // namespace tessaron::ocr
