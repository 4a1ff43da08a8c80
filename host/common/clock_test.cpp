#include "host/common/clock.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(QpcPosition, BecomesMicrosecondsOrNow) {
  ManualClock clock(5'000);  // now = 5 000 000 us
  struct Case {
    uint64_t position_100ns;
    bool timestamp_error;
    int64_t expected_us;
  };
  const Case cases[] = {
      {0, false, 5'000'000},                                   // no position: now
      {123'456'789, true, 5'000'000},                          // flagged: now
      {123'456'789, false, 12'345'678},                        // truncated to whole microseconds
      {20'000'000'000'000ull, false, 2'000'000'000'000},       // 23 days of uptime, exact
      {18'446'744'073'709'551'610ull, false, 1'844'674'407'370'955'161},  // the top of the range
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostClockUsFromQpcPosition(c.position_100ns, c.timestamp_error, clock), c.expected_us)
        << c.position_100ns << " error=" << c.timestamp_error;
  }
}

TEST(QpcPosition, NowComesFromTheHostClock) {
  for (const bool error : {false, true}) {
    const int64_t before = HostClockUs();
    const int64_t now = HostClockUsFromQpcPosition(error ? 777 : 0, error);
    const int64_t after = HostClockUs();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
  }
}

}  // namespace
}  // namespace orvane
