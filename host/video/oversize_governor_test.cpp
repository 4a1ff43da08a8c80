#include "host/video/oversize_governor.h"

#include <gtest/gtest.h>

#include "host/video/encode_scale.h"

namespace orvane {
namespace {

TEST(OversizeGovernorTest, CapAndLimitsFromTheFragmentLimit) {
  struct Case {
    uint32_t fragments, cap, vbv_bits;
  } cases[] = {{50, 60'000, 408'000}, {256, 307'200, 2'088'960}, {1024, 1'228'800, 8'355'840},
               {0, 0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& c : cases) {
    OversizeGovernor g(c.fragments);
    EXPECT_EQ(g.CapBytes(), c.cap) << c.fragments;
    EXPECT_EQ(g.Limits().vbv_bits, c.vbv_bits) << c.fragments;
    EXPECT_EQ(g.Limits().min_qp, 0u);
  }
}

TEST(OversizeGovernorTest, AnOversizedUnitTightensAndStableUnitsLoosen) {
  OversizeGovernor g(50);  // 60 000 bytes
  OversizeVerdict v = g.Check(70'000);
  EXPECT_TRUE(v.drop);
  EXPECT_TRUE(v.level_changed);
  EXPECT_EQ(g.Level(), 1u);
  EXPECT_EQ(g.Limits().vbv_bits, 336'000u);
  EXPECT_EQ(g.Limits().min_qp, 24u);
  // 899 small units, one mid-sized (resets the run), then 900 small ones.
  for (int i = 0; i < 899; ++i) ASSERT_FALSE(g.Check(36'000).level_changed);
  EXPECT_FALSE(g.Check(36'001).drop);
  for (int i = 0; i < 899; ++i) ASSERT_FALSE(g.Check(1000).level_changed);
  v = g.Check(1000);
  EXPECT_TRUE(v.level_changed);
  EXPECT_EQ(g.Level(), 0u);
  EXPECT_EQ(g.Drops(), 1u);
}

TEST(OversizeGovernorTest, LevelsStopAtFourAndNoCapMeansNoDrops) {
  OversizeGovernor g(50);
  const uint32_t qps[] = {24, 30, 36, 42, 42};
  for (uint32_t qp : qps) {
    g.Check(1'000'000);
    EXPECT_EQ(g.Limits().min_qp, qp);
  }
  EXPECT_EQ(g.Limits().vbv_bits, 60'000u * 350 * 8 / 1000);
  OversizeGovernor none(0);
  EXPECT_FALSE(none.Check(100'000'000).drop);
}

TEST(EncodeScaleTest, SizesAreEvenScaledDimensions) {
  EXPECT_EQ(ScaledEncodeSize(750, 1920, 1080), (EncodeSize{1440, 810}));
  EXPECT_EQ(ScaledEncodeSize(1000, 1920, 1080), (EncodeSize{1920, 1080}));
  EXPECT_EQ(ScaledEncodeSize(333, 2560, 1600), (EncodeSize{852, 532}));
}

TEST(EncodeScaleTest, AFailedScaleIsSkippedUntilAResizeSucceeds) {
  EncodeScalePlanner planner;
  EXPECT_FALSE(planner.Next(1000, true));
  EXPECT_EQ(planner.Next(50, true), 100u);      // clamped
  EXPECT_FALSE(planner.Next(500, false));       // the tablet cannot resize
  ASSERT_EQ(planner.Next(750, true), 750u);
  planner.Failed(750);
  EXPECT_FALSE(planner.Next(750, true));
  ASSERT_EQ(planner.Next(600, true), 600u);
  planner.Succeeded(600);
  EXPECT_EQ(planner.Current(), 600u);
  EXPECT_EQ(planner.Next(750, true), 750u);     // forgotten after a success
}

}  // namespace
}  // namespace orvane
