#include "host/transport/pacer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace orvane::media {
namespace {

TEST(PacingRateTest, FollowsTheFormulaOverTheWholeBitrateRange) {
  struct Case {
    uint32_t bitrate;
    int loss;
    uint64_t pacing_kbps;
    uint64_t bytes_per_second;
    uint64_t burst;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0},
      {999, 0, 0, 0, 0},  // pacing off
      {1000, 0, 12000, 1'500'000, 24000},  // 2.5 x (1200 + 192) = 3480: the floor holds
      // k = 10: (1 + 0.1 + 0.1) x 8000 = 9600; 2.5 x 9792 = 24480 kbit/s = 3.06 bytes/us.
      {8000, 0, 24480, 3'060'000, 24000},
      // k = 6: floor(20000 x 76 / 60) = 25333; floor(2.5 x 25525) = 63812.
      {20000, 5, 63812, 7'976'500, 24000},
      // k = 4: 100000 x 1.35 = 135000; 2.5 x 135192 = 337980; 2 ms of it is 84495 bytes.
      {100000, 10, 337980, 42'247'500, 84495},
      // Loss is clamped to 0..40.
      {100000, 90, 337980, 42'247'500, 84495},
      {8000, -4, 24480, 3'060'000, 24000},
      // The largest bitrate still computes without overflow:
      // floor(4294967295 x 1.35) = 5798205848; 2.5 x 5798206040 = 14495515100.
      {std::numeric_limits<uint32_t>::max(), 40, 14'495'515'100, 1'811'939'387'500, 3'623'878'775},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bitrate) + " kbit/s, loss " + std::to_string(c.loss));
    const PacingRate rate = ComputePacingRate(c.bitrate, c.loss);
    EXPECT_EQ(rate.pacing_kbps, c.pacing_kbps);
    EXPECT_EQ(rate.bytes_per_second, c.bytes_per_second);
    EXPECT_EQ(rate.burst_bytes, c.burst);
    EXPECT_EQ(rate.enabled(), c.pacing_kbps != 0);
  }
}

class PacerTest : public ::testing::Test {
 protected:
  // 8 Mbit/s, no loss: 3.06 bytes/us, burst 24000 bytes, 20 ms of debt =
  // 61200 bytes.
  void SetUp() override { pacer_.SetBitrate(8000, now_); }
  int64_t now_ = 5'000'000;
  Pacer pacer_;
};

TEST_F(PacerTest, StartsWithAFullBucketAndWaitsOnlyForDebtOfAtLeast250Us) {
  EXPECT_EQ(pacer_.balance_bytes(), 24000);
  // The burst goes without waiting.
  EXPECT_EQ(pacer_.Charge(24000, true, now_), 0);
  EXPECT_EQ(pacer_.balance_bytes(), 0);
  // 765 bytes of debt is exactly 250 us at 3.06 bytes/us: the first wait.
  EXPECT_EQ(pacer_.Charge(764, true, now_), 0);
  EXPECT_EQ(pacer_.Charge(1, true, now_), 250);
  // After those 250 us the balance is back at 0.
  now_ += 250;
  EXPECT_EQ(pacer_.Charge(0, true, now_), 0);
  EXPECT_EQ(pacer_.balance_bytes(), 0);
  // 3060 bytes = 1000 us.
  EXPECT_EQ(pacer_.Charge(3060, true, now_), 1000);
}

TEST_F(PacerTest, DebtStopsAt20MsAndNoWaitIsLonger) {
  EXPECT_EQ(pacer_.Charge(24000 + 100000, true, now_), 20000);
  EXPECT_EQ(pacer_.balance_bytes(), -61200);
  EXPECT_EQ(pacer_.Charge(50000, true, now_), 20000);
  EXPECT_EQ(pacer_.balance_bytes(), -61200);
  // 20 ms later the debt is paid.
  now_ += 20000;
  EXPECT_EQ(pacer_.Charge(0, true, now_), 0);
  EXPECT_EQ(pacer_.balance_bytes(), 0);
  // A long pause refills no more than the burst.
  now_ += 10'000'000;
  EXPECT_EQ(pacer_.Charge(0, true, now_), 0);
  EXPECT_EQ(pacer_.balance_bytes(), 24000);
}

TEST_F(PacerTest, UnpacedDatagramsAreCountedButNeverWait) {
  EXPECT_EQ(pacer_.Charge(30000, false, now_), 0);
  EXPECT_EQ(pacer_.balance_bytes(), -6000);
  // The next paced datagram pays for them.
  EXPECT_EQ(pacer_.Charge(1200, true, now_), (int64_t{7200} * 1'000'000 + 3'059'999) / 3'060'000);
}

TEST_F(PacerTest, ReconfiguringCutsTheBalanceToTheNewBurstAndOffToOnStartsFull) {
  pacer_.SetBitrate(100000, now_);  // k = 10: 100000 x 1.2 -> 300480 kbit/s, 75120-byte burst
  EXPECT_EQ(pacer_.rate().pacing_kbps, 300480u);
  EXPECT_EQ(pacer_.balance_bytes(), 24000) << "a running bucket is not refilled by a change of rate";
  EXPECT_EQ(pacer_.Charge(24000, true, now_), 0);
  now_ += 100;
  pacer_.SetLoss(10, now_);  // refills 100 us at the old rate first
  EXPECT_EQ(pacer_.balance_bytes(), 3756);

  pacer_.SetBitrate(999, now_);
  EXPECT_FALSE(pacer_.rate().enabled());
  EXPECT_EQ(pacer_.Charge(1'000'000, true, now_), 0) << "pacing off counts nothing";
  EXPECT_EQ(pacer_.balance_bytes(), 0);
  pacer_.SetBitrate(8000, now_ + 7);
  EXPECT_EQ(pacer_.balance_bytes(), 24000);
  EXPECT_EQ(pacer_.loss_percent(), 10);
}

}  // namespace
}  // namespace orvane::media
