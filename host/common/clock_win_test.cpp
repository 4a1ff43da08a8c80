// The capture position of the audio engine and the host clock count from the
// same performance counter.
#include <windows.h>

#include <gtest/gtest.h>

#include "host/common/clock.h"

namespace orvane {
namespace {

// What WASAPI reports as a buffer's performance-counter position: the
// counter in 100 ns units.
uint64_t CounterIn100ns() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_TRUE(QueryPerformanceCounter(&counter));
  const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
  const uint64_t c = static_cast<uint64_t>(counter.QuadPart);
  return c / f * 10'000'000ull + c % f * 10'000'000ull / f;
}

TEST(QpcPosition, SharesTheHostClockBase) {
  const int64_t before = HostClockUs();
  const int64_t position_us = HostClockUsFromQpcPosition(CounterIn100ns(), false);
  const int64_t after = HostClockUs();
  // Both read the same counter; only rounding (below 1 us each) separates them.
  EXPECT_GE(position_us, before - 2);
  EXPECT_LE(position_us, after + 2);
}

}  // namespace
}  // namespace orvane
