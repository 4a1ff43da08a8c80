#include "host/video/keyframe_policy.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane {
namespace {

constexpr int64_t kFrame60 = 16'667;

TEST(KeyframePolicyTest, OpeningKeyframesThenEveryThirtiethUntilThreeSeconds) {
  KeyframePolicy policy(0);
  std::vector<uint64_t> keyframes;
  for (uint64_t job = 1; job <= 240; ++job) {
    const EncodeDecision d = policy.Decide(static_cast<int64_t>(job - 1) * kFrame60, true, true);
    ASSERT_EQ(d.action, EncodeAction::kNewImage);
    if (d.keyframe) keyframes.push_back(job);
    EXPECT_EQ(d.keyframe_copies, job <= 180 ? 2u : 1u) << job;
  }
  EXPECT_EQ(keyframes, (std::vector<uint64_t>{1, 2, 3, 4, 31, 61, 91, 121, 151}));
}

TEST(KeyframePolicyTest, ARestartedStreamOpensWithItsOwnKeyframes) {
  // A new stream counts its own jobs, whatever frame number the session is at.
  KeyframePolicy policy(5'000'000);
  int keyframes = 0;
  for (int i = 0; i < 4; ++i) keyframes += policy.Decide(5'000'000 + i * kFrame60, true, true).keyframe ? 1 : 0;
  EXPECT_EQ(keyframes, 4);
}

TEST(KeyframePolicyTest, RequestsEveryHundredMillisecondsGiveOneKeyframePerThreeHundred) {
  KeyframePolicy policy(0);
  int64_t now = 0;
  for (; now < 4'000'000; now += kFrame60) policy.Decide(now, true, true);  // past the start-up
  std::vector<int64_t> keyframes;
  for (int64_t end = now + 3'000'000; now < end; now += kFrame60) {
    if (now % 100'000 < kFrame60) policy.RequestFromClient();
    const EncodeDecision d = policy.Decide(now, true, true);
    if (d.keyframe) {
      keyframes.push_back(now);
      EXPECT_EQ(d.keyframe_copies, 2u);
    }
  }
  ASSERT_GE(keyframes.size(), 8u);
  for (size_t i = 1; i < keyframes.size(); ++i) EXPECT_GE(keyframes[i] - keyframes[i - 1], 300'000);
  EXPECT_GT(policy.Suppressions(), 0u);
}

TEST(KeyframePolicyTest, AWantedKeyframeWithoutNewContentRepeatsThePreviousImage) {
  KeyframePolicy policy(0);
  for (int64_t now = 0; now < 4'000'000; now += kFrame60) policy.Decide(now, true, true);
  policy.RequestFromPipeline();
  const EncodeDecision d = policy.Decide(4'000'000, false, true);
  EXPECT_EQ(d.action, EncodeAction::kRepeat);
  EXPECT_TRUE(d.keyframe);
  EXPECT_EQ(d.keyframe_copies, 1u);
  EXPECT_FALSE(policy.Pending());
  // Without a previous image the want waits.
  KeyframePolicy empty(0);
  empty.RequestFromClient();
  EXPECT_EQ(empty.Decide(0, false, false).action, EncodeAction::kNothing);
  EXPECT_TRUE(empty.Pending());
}

TEST(KeyframePolicyTest, AStillDesktopIsRefreshedTheFirstRefreshAKeyframe) {
  struct Case {
    int64_t idle_from_us;
    int64_t first_refresh_after_us;
  } cases[] = {{500'000, 200'000}, {5'000'000, 1'000'000}};
  for (const auto& c : cases) {
    KeyframePolicy policy(0);
    int64_t now = 0;
    for (; now < c.idle_from_us; now += kFrame60) policy.Decide(now, true, true);
    const int64_t last_new = now - kFrame60;
    std::vector<std::pair<int64_t, bool>> refreshes;
    for (const int64_t end = now + 2'000'000; now < end; now += kFrame60) {
      const EncodeDecision d = policy.Decide(now, false, true);
      if (d.action == EncodeAction::kIdleRefresh) refreshes.emplace_back(now - last_new, d.keyframe);
      else EXPECT_EQ(d.action, EncodeAction::kNothing);
    }
    ASSERT_FALSE(refreshes.empty()) << c.idle_from_us;
    EXPECT_GE(refreshes[0].first, c.first_refresh_after_us);
    EXPECT_LT(refreshes[0].first, c.first_refresh_after_us + kFrame60);
    EXPECT_TRUE(refreshes[0].second);
    if (refreshes.size() > 1) {
      EXPECT_FALSE(refreshes[1].second);  // the next is a plain refresh
    }
    EXPECT_EQ(policy.IdleRefreshes(), refreshes.size());
  }
}

TEST(KeyframePolicyTest, AnIdleRefreshFiveSecondsAfterTheLastKeyframeIsAKeyframe) {
  KeyframePolicy policy(0);
  int64_t now = 0;
  for (; now < 4'000'000; now += kFrame60) policy.Decide(now, true, true);
  int keyframes = 0;
  for (const int64_t end = now + 12'000'000; now < end; now += kFrame60) {
    const EncodeDecision d = policy.Decide(now, false, true);
    if (d.action == EncodeAction::kIdleRefresh && d.keyframe) ++keyframes;
  }
  // The first refresh after new content, then one every 5 s.
  EXPECT_EQ(keyframes, 3);
}

TEST(StartupBitrateTest, RampsFromSixtyPercentOverThreeSeconds) {
  struct Case {
    uint32_t current, negotiated, w, h, fps;
    int64_t t_us;
    uint32_t kbps;
  } cases[] = {
      {30000, 30000, 2560, 1440, 60, 0, 18000},
      {30000, 30000, 2560, 1440, 60, 1'500'000, 24000},
      {30000, 30000, 2560, 1440, 60, 3'000'000, 30000},
      {0, 30000, 2560, 1440, 60, 1'500'000, 24000},   // 0 means negotiated, in the ramp too
      {0, 30000, 2560, 1440, 60, 5'000'000, 30000},
      {8000, 30000, 2560, 1440, 60, 0, 8000},         // never above the current bitrate
      {20000, 20000, 1920, 1080, 60, 0, 12000},       // floor 12000
      {40000, 20000, 2560, 1600, 120, 0, 18000},      // floor 18000 for big fast streams
      {40000, 20000, 1600, 2560, 120, 0, 18000},      // portrait too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StartupBitrateKbps(c.current, c.negotiated, c.w, c.h, c.fps, c.t_us), c.kbps)
        << c.current << " " << c.w << "x" << c.h << "@" << c.fps << " t=" << c.t_us;
  }
}

}  // namespace
}  // namespace orvane
