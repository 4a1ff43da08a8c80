#include "host/common/precise_sleep.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "host/common/platform_info.h"

namespace orvane {
namespace {

TEST(ManualSleeperTest, AdvancesTheClockByEachSleepAndRecordsIt) {
  ManualClock clock;
  ManualSleeper sleeper(clock);
  const int64_t start = clock.NowUs();
  sleeper.SleepUs(250);
  sleeper.SleepUs(0);
  sleeper.SleepUs(-5);
  sleeper.SleepUs(20000);
  EXPECT_EQ(clock.NowUs() - start, 20250);
  EXPECT_EQ(sleeper.Sleeps(), (std::vector<int64_t>{250, 20000}));
}

// The only real-time check here: a lower bound, which cannot be flaky. How
// much later the sleeper wakes is the machine's business.
TEST(SystemPreciseSleeperTest, NeverReturnsEarlyOnAnyThread) {
  using std::chrono::steady_clock;
  auto slept_us = [](int64_t us) {
    const auto start = steady_clock::now();
    SystemPreciseSleeper().SleepUs(us);
    return std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - start).count();
  };
  // Timers and the steady clock may tick on slightly different sources.
  constexpr int64_t kToleranceUs = 200;
  for (const int64_t us : {int64_t{300}, int64_t{2000}}) {
    SCOPED_TRACE(us);
    EXPECT_GE(slept_us(us), us - kToleranceUs);
  }
  // Each thread has its own timer; two sleeping at once both wake.
  int64_t other = 0;
  std::thread t([&] { other = slept_us(1500); });
  const int64_t here = slept_us(1500);
  t.join();
  EXPECT_GE(here, 1500 - kToleranceUs);
  EXPECT_GE(other, 1500 - kToleranceUs);
  // Nothing to wait for.
  SystemPreciseSleeper().SleepUs(0);
  SystemPreciseSleeper().SleepUs(-1);
}

TEST(SystemPreciseSleeperTest, ReportsItsMethod) {
  const std::string method = PreciseSleepMethod();
  std::printf("precise sleep method: %s\n", method.c_str());
#ifdef _WIN32
  if (RunningUnderWine()) {
    // Wine may refuse the high-resolution flag; the fallback still sleeps.
    EXPECT_TRUE(method == "high-resolution waitable timer" || method == "waitable timer") << method;
  } else {
    EXPECT_EQ(method, "high-resolution waitable timer");
  }
#else
  EXPECT_EQ(method, "absolute monotonic clock_nanosleep");
#endif
}

}  // namespace
}  // namespace orvane
