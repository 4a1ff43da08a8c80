#include "host/video/frame_pacer.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

// Runs passes in virtual time: each pass waits for its due time (never going
// back), captures, and may stall.
struct PacedRun {
  FramePacer pacer{0};
  int64_t now = 0;
  std::vector<int64_t> passes;

  void Pass(uint32_t fps, uint32_t cap, int64_t stall_us = 0) {
    pacer.Update(fps, cap);
    now = std::max(now, pacer.DueUs());
    passes.push_back(now);
    now += stall_us;
    pacer.FinishPass(true, now);
  }
};

TEST(FramePacerTest, DecoderLoadCapRunsAtTheFloorAndIsLoggedOnce) {
  testing::LogCapture log;
  PacedRun run;
  for (int i = 0; i < 30; ++i) run.Pass(60, 10);
  EXPECT_EQ(run.pacer.Fps(), 15u);
  EXPECT_EQ(run.passes[15] - run.passes[0], 1'000'000);
  EXPECT_EQ(log.Count("[FrameLoop] Decoder load frame-rate cap 0 -> 10 (stream fps=60)"), 1u);
  EXPECT_EQ(log.Count("Decoder load frame-rate cap"), 1u);
}

TEST(FramePacerTest, NinetyFramesASecondAverageExactlyWithoutGaps) {
  PacedRun run;
  for (int i = 0; i < 901; ++i) run.Pass(90, 0);
  EXPECT_EQ(run.passes[900] - run.passes[0], 10'000'000);
  for (size_t i = 1; i < run.passes.size(); ++i) {
    const int64_t gap = run.passes[i] - run.passes[i - 1];
    ASSERT_GE(gap, 11'111) << i;
    ASSERT_LE(gap, 11'112) << i;
  }
  EXPECT_EQ(run.pacer.Reanchors(), 0u);
}

TEST(FramePacerTest, AStallReanchorsOnceAndTheScheduleGoesOnFromThere) {
  PacedRun run;
  for (int i = 0; i < 10; ++i) run.Pass(60, 0);
  run.Pass(60, 0, 40'000);
  const int64_t resumed = run.now;
  for (int i = 0; i < 60; ++i) run.Pass(60, 0);
  EXPECT_EQ(run.pacer.Reanchors(), 1u);
  EXPECT_EQ(run.passes[11], resumed + 16'666);
  EXPECT_EQ(run.passes.back() - run.passes[11], 59 * 1'000'000 / 60 + 1);
}

TEST(FramePacerTest, ARateChangeKeepsTheCurrentDueTime) {
  FramePacer pacer(0);
  pacer.Update(60, 0);
  for (int i = 0; i < 3; ++i) pacer.FinishPass(false, pacer.DueUs());
  const int64_t due = pacer.DueUs();
  pacer.Update(30, 0);
  EXPECT_EQ(pacer.DueUs(), due);
  pacer.FinishPass(false, due);
  EXPECT_EQ(pacer.DueUs(), due + 33'333);
}

TEST(FramePacerTest, RatesAreTimedBetweenFifteenAndTwoHundredForty) {
  struct Case {
    uint32_t fps, cap, stream_fps, interval_us;
  } cases[] = {{60, 0, 60, 16'666}, {10, 0, 15, 66'666}, {300, 0, 300, 4'166}, {120, 90, 90, 11'111}, {60, 90, 60, 16'666}};
  for (const auto& c : cases) {
    FramePacer pacer(0);
    EXPECT_EQ(pacer.Update(c.fps, c.cap), c.stream_fps) << c.fps << "/" << c.cap;
    EXPECT_EQ(pacer.IntervalUs(), c.interval_us) << c.fps << "/" << c.cap;
  }
}

}  // namespace
}  // namespace orvane
