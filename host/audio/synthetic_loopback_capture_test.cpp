#include "host/audio/synthetic_loopback_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

using Delivery = SyntheticLoopbackCapture::Delivery;

struct Delivered {
  uint32_t frames = 0;
  uint32_t channels = 0;
  int64_t timestamp_us = 0;
  bool all_zero = true;
  int16_t peak = 0;
};

class Recorder {
 public:
  PcmCallback Callback() {
    return [this](const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us) {
      Delivered d{frames, channels, timestamp_us, true, 0};
      for (size_t i = 0; i < static_cast<size_t>(frames) * channels; ++i) {
        if (samples[i] != 0) d.all_zero = false;
        d.peak = std::max<int16_t>(d.peak, static_cast<int16_t>(std::abs(samples[i])));
      }
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back(d);
    };
  }
  std::vector<Delivered> Calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<Delivered> calls_;
};

TEST(SyntheticLoopbackCaptureTest, ModesFormatsAndTheProcessLoopbackFallback) {
  struct Case {
    const char* name;
    bool process_available;
    bool endpoint_available;
    int asked;
    bool ok;
    int mode;
    uint32_t rate;
  };
  const Case cases[] = {
      {"process loopback", true, true, kLoopbackModeProcess, true, kLoopbackModeProcess, 48'000},
      {"process loopback unavailable", false, true, kLoopbackModeProcess, true, kLoopbackModeEndpoint, 44'100},
      {"endpoint loopback", true, true, kLoopbackModeEndpoint, true, kLoopbackModeEndpoint, 44'100},
      {"no endpoint", false, false, kLoopbackModeProcess, false, kLoopbackModeEndpoint, 0},
  };
  for (const Case& c : cases) {
    testing::LogCapture log;
    ManualClock clock;
    SyntheticLoopbackCapture capture(Delivery::kManual, clock);
    capture.SetFormat(kLoopbackModeEndpoint, {44'100, 2, 16});
    const HostResult failure = HostResult::Failure(kAudioCaptureErrorCode, "Audio client activation failed");
    if (!c.process_available) capture.SetInitResult(kLoopbackModeProcess, failure);
    if (!c.endpoint_available) capture.SetInitResult(kLoopbackModeEndpoint, failure);
    EXPECT_EQ(capture.Initialize(c.asked), c.ok) << c.name;
    EXPECT_EQ(capture.Mode(), c.mode) << c.name;
    EXPECT_EQ(capture.Format().sample_rate, c.rate) << c.name;
    EXPECT_EQ(log.Count("[Audio] Process loopback unavailable; using endpoint loopback"),
              c.asked == kLoopbackModeProcess && !c.process_available ? 1u : 0u)
        << c.name;
    if (!c.ok) {
      EXPECT_EQ(capture.LastResult().message, "Audio client activation failed");
    }
  }
}

TEST(SyntheticLoopbackCaptureTest, ScriptedChunksCarryGapsJitterAndSilence) {
  ManualClock clock;
  SyntheticLoopbackCapture capture(Delivery::kManual, clock);
  capture.SetChunks({{480}, {480, 0, 0, /*silent=*/true}, {1000, 2'000'000}, {480, 0, -3'000}, {0}});
  ASSERT_TRUE(capture.Initialize(kLoopbackModeEndpoint));
  Recorder recorder;
  EXPECT_FALSE(capture.DeliverNext()) << "not started";
  ASSERT_TRUE(capture.Start(recorder.Callback()));
  ASSERT_TRUE(capture.DeliverChunks(5));
  const std::vector<Delivered> calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 5u);
  const int64_t t0 = clock.NowUs();
  const int64_t expected_ts[] = {t0, t0 + 10'000, t0 + 2'020'000, t0 + 2'020'000 + 20'833 - 3'000,
                                 t0 + 2'030'000 + 20'833};
  const uint32_t expected_frames[] = {480, 480, 1000, 480, 480};
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].frames, expected_frames[i]) << i;
    EXPECT_EQ(calls[i].channels, 2u);
    EXPECT_EQ(calls[i].timestamp_us, expected_ts[i]) << i;
    EXPECT_EQ(calls[i].all_zero, i == 1) << i;  // 480 silent frames: 960 zeros
  }
  EXPECT_NEAR(calls[0].peak, 8000, 10);
  capture.Stop();
  EXPECT_FALSE(capture.DeliverNext());
}

TEST(SyntheticLoopbackCaptureTest, TheThreadDeliversUpToItsLimitAndStopJoinsIt) {
  ManualClock clock;
  SyntheticLoopbackCapture capture(Delivery::kThread, clock);
  capture.SetMaxChunks(25);
  ASSERT_TRUE(capture.Initialize(kLoopbackModeEndpoint));
  Recorder recorder;
  ASSERT_TRUE(capture.Start(recorder.Callback()));
  ASSERT_TRUE(testing::WaitFor([&] { return capture.DeliveredChunks() == 25; }));
  EXPECT_FALSE(capture.DeliverNext()) << "manual delivery is for manual mode";
  capture.Stop();
  EXPECT_EQ(recorder.Calls().size(), 25u);
  EXPECT_FALSE(capture.Running());
}

TEST(SyntheticLoopbackCaptureTest, StartNeedsAnInitializedCaptureAndHonoursTheScriptedResult) {
  ManualClock clock;
  SyntheticLoopbackCapture capture(Delivery::kManual, clock);
  Recorder recorder;
  EXPECT_FALSE(capture.Start(recorder.Callback()));
  EXPECT_EQ(capture.LastResult().message, "Audio capture was not initialized before Start()");
  EXPECT_EQ(capture.LastResult().code, kAudioCaptureErrorCode);
  ASSERT_TRUE(capture.Initialize(kLoopbackModeEndpoint));
  capture.SetStartResult(HostResult::Failure(kAudioCaptureErrorCode, "Audio client start failed"));
  EXPECT_FALSE(capture.Start(recorder.Callback()));
  EXPECT_EQ(capture.LastResult().message, "Audio client start failed");
  capture.Reset();
  EXPECT_FALSE(capture.Initialized());
}

}  // namespace
}  // namespace orvane
