#pragma once
// Short sleeps with sub-millisecond precision, for the media pacer: it sleeps
// between 250 us and 20 ms at a time, where the default Windows timer
// (15.6 ms ticks) would turn every wait into a burst.
//
// Windows: a waitable timer per thread, of the high-resolution kind
// (CREATE_WAITABLE_TIMER_HIGH_RESOLUTION) where the system has it; older
// systems and Wine refuse that flag, and there an ordinary waitable timer is
// used. Linux: clock_nanosleep on an absolute CLOCK_MONOTONIC deadline, so an
// interrupted sleep resumes towards the same end instead of starting over.
//
// Tests inject ManualSleeper, which advances a ManualClock instead of waiting.

#include <cstdint>
#include <mutex>
#include <vector>

#include "host/common/clock.h"

namespace orvane {

class IPreciseSleeper {
 public:
  virtual ~IPreciseSleeper() = default;
  // Returns after about `us` microseconds (never noticeably earlier); at once
  // for us <= 0. Safe to call from several threads.
  virtual void SleepUs(int64_t us) = 0;
};

// The platform's sleeper.
IPreciseSleeper& SystemPreciseSleeper();

// How the platform's sleeper waits, as a fixed name for log lines:
//   "absolute monotonic clock_nanosleep"  (Linux)
//   "high-resolution waitable timer"      (Windows 10 1803 and later)
//   "waitable timer"                      (the high-resolution kind is refused)
//   "Sleep"                               (no waitable timer could be created)
const char* PreciseSleepMethod();

// Virtual time: every sleep advances the clock by exactly its length and is
// recorded.
class ManualSleeper final : public IPreciseSleeper {
 public:
  explicit ManualSleeper(ManualClock& clock) : clock_(clock) {}

  void SleepUs(int64_t us) override {
    if (us <= 0) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      sleeps_.push_back(us);
    }
    clock_.AdvanceUs(us);
  }

  std::vector<int64_t> Sleeps() const {
    std::lock_guard<std::mutex> lock(mu_);
    return sleeps_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    sleeps_.clear();
  }

 private:
  ManualClock& clock_;
  mutable std::mutex mu_;
  std::vector<int64_t> sleeps_;
};

}  // namespace orvane
