#include "host/common/precise_sleep.h"

#include <cerrno>
#include <ctime>

namespace orvane {

namespace {

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
// Far beyond any pacing sleep; keeps the deadline arithmetic in range.
constexpr int64_t kMaxSleepUs = int64_t{24} * 3600 * 1'000'000;

class MonotonicSleeper final : public IPreciseSleeper {
 public:
  void SleepUs(int64_t us) override {
    if (us <= 0) return;
    if (us > kMaxSleepUs) us = kMaxSleepUs;
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
      // Cannot happen for CLOCK_MONOTONIC; a relative sleep still waits.
      timespec relative{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000 * kNsPerUs)};
      while (nanosleep(&relative, &relative) != 0 && errno == EINTR) {
      }
      return;
    }
    const int64_t ns = static_cast<int64_t>(deadline.tv_nsec) + us * kNsPerUs;
    deadline.tv_sec += static_cast<time_t>(ns / kNsPerSecond);
    deadline.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    // A signal interrupts the sleep; the absolute deadline lets it resume
    // without drifting. Any other result (EINVAL) ends the wait.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
  }
};

}  // namespace

IPreciseSleeper& SystemPreciseSleeper() {
  static MonotonicSleeper sleeper;  // stateless: safe during static destruction
  return sleeper;
}

const char* PreciseSleepMethod() { return "absolute monotonic clock_nanosleep"; }

}  // namespace orvane
