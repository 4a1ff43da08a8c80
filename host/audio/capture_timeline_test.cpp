#include "host/audio/capture_timeline.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace orvane {
namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kChunk = 960;  // 20 ms
constexpr int64_t kChunkUs = 20'000;
constexpr int64_t kStart = 5'000'000;

TEST(CaptureTimeline, TheFirstChunkAnchorsAndLaterOnesFollowTheSampleCount) {
  struct Case {
    const char* name;
    int64_t second_estimate;  // the arrival estimate of the second chunk
    int64_t second_stamp;
  };
  const Case cases[] = {
      {"on time", kStart + kChunkUs, kStart + kChunkUs},
      // Pulled by a sixty-fourth of the difference.
      {"10 ms late arrival", kStart + kChunkUs + 10'000, kStart + kChunkUs + 10'000 / 64},
      {"10 ms early arrival", kStart + kChunkUs - 10'000, kStart + kChunkUs - 10'000 / 64},
      {"40 ms late", kStart + kChunkUs + 40'000, kStart + kChunkUs + 40'000 / 64},
      {"exactly the jump limit", kStart + kChunkUs + CaptureTimeline::kJumpUs,
       kStart + kChunkUs + CaptureTimeline::kJumpUs / 64},
      // More than 50 ms ahead: the sink played nothing meanwhile.
      {"after a pause", kStart + 2'000'000, kStart + 2'000'000},
      // Back by at most an eighth of the previous chunk per step.
      {"a second behind", kStart - 1'000'000, kStart + kChunkUs - kChunkUs / 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureTimeline timeline(kRate);
    EXPECT_EQ(timeline.Stamp(kStart, kChunk), kStart);
    EXPECT_EQ(timeline.Stamp(c.second_estimate, kChunk), c.second_stamp);
  }
}

TEST(CaptureTimeline, StampsKeepIncreasingWhileArrivalsLagAndRestartAnchorsAnew) {
  CaptureTimeline timeline(kRate);
  int64_t previous = timeline.Stamp(kStart, kChunk);
  // Every chunk arrives with the same old estimate: the stamps still advance.
  for (int i = 0; i < 100; ++i) {
    const int64_t stamp = timeline.Stamp(kStart, kChunk);
    EXPECT_GT(stamp, previous) << i;
    previous = stamp;
  }
  timeline.Restart();
  EXPECT_EQ(timeline.Stamp(kStart - 3'000'000, kChunk), kStart - 3'000'000);
}

TEST(CaptureTimeline, UnevenChunksAdvanceByTheirOwnDuration) {
  CaptureTimeline timeline(kRate);
  EXPECT_EQ(timeline.Stamp(kStart, 441), kStart);
  // 441 frames at 48 kHz: 9187.5 us, counted in whole frames from the anchor.
  EXPECT_EQ(timeline.Stamp(kStart + 9'187, 480), kStart + 9'187);
  EXPECT_EQ(timeline.Stamp(kStart + 19'187, 480), kStart + 19'187);
}

}  // namespace
}  // namespace orvane
