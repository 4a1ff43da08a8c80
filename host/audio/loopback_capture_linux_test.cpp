// The PulseAudio loopback capture against a private daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "host/audio/loopback_capture.h"
#include "host/common/clock.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;
using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::TonePlayer;
using testing::ToneFrequency;
using testing::WaitFor;

constexpr uint32_t kRate = 48000;
constexpr size_t kMaxKeptFrames = kRate * 20;  // what a recording keeps at most

// What the capture delivered, chunk by chunk.
class Recording {
 public:
  struct Chunk {
    uint32_t frames;
    uint32_t channels;
    int64_t timestamp_us;
    int64_t received_us;      // the host clock when the callback ran
    uint64_t frames_before;   // frames delivered before this chunk
  };

  PcmCallback Callback() {
    return [this](const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us) {
      const int64_t now = HostClockUs();
      if (stopped_.load()) ++late_calls_;
      std::lock_guard<std::mutex> lock(mu_);
      chunks_.push_back(Chunk{frames, channels, timestamp_us, now, frames_});
      frames_ += frames;
      if (samples_.size() / 2 + frames <= kMaxKeptFrames) {
        samples_.insert(samples_.end(), samples, samples + static_cast<size_t>(frames) * channels);
      }
    };
  }
  uint64_t Frames() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
  }
  std::vector<Chunk> Chunks() {
    std::lock_guard<std::mutex> lock(mu_);
    return chunks_;
  }
  // Stereo samples from frame `from` on.
  std::vector<int16_t> SamplesFrom(uint64_t from) {
    std::lock_guard<std::mutex> lock(mu_);
    const size_t at = std::min(samples_.size(), static_cast<size_t>(from) * 2);
    return std::vector<int16_t>(samples_.begin() + static_cast<std::ptrdiff_t>(at), samples_.end());
  }
  // From now on, any callback is a late one.
  void MarkStopped(bool stopped) { stopped_ = stopped; }
  int LateCalls() const { return late_calls_.load(); }

 private:
  std::mutex mu_;
  std::vector<Chunk> chunks_;
  std::vector<int16_t> samples_;
  uint64_t frames_ = 0;
  std::atomic<bool> stopped_{false};
  std::atomic<int> late_calls_{0};
};

double Frequency(const std::vector<int16_t>& stereo) {
  return ToneFrequency(stereo.data(), stereo.size() / 2, 2, kRate);
}

TEST(PulseLoopbackCapture, RecordsTheToneWithHostClockTimestamps) {
  ORVANE_START_PULSE_OR_SKIP(server);
  ScopedEnv env("PULSE_SERVER", server->server());
  TonePlayer tone(server->server(), 1000.0);
  ASSERT_TRUE(WaitFor([&] { return tone.ok(); }));

  auto capture = MakePlatformLoopbackCapture();
  ASSERT_TRUE(capture->Initialize(kLoopbackModeEndpoint)) << capture->LastResult().ToString();
  EXPECT_TRUE(capture->Initialized());
  EXPECT_EQ(capture->Format(), (AudioFormat{48000, 2, 16}));
  EXPECT_EQ(capture->Mode(), kLoopbackModeEndpoint);
  Recording rec;
  ASSERT_TRUE(capture->Start(rec.Callback())) << capture->LastResult().ToString();
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() >= kRate * 3 / 2; }, 10'000)) << rec.Frames();
  capture->Stop();
  EXPECT_TRUE(capture->LastResult().ok());

  // The tone, after the first 300 ms (which may precede it).
  const std::vector<int16_t> tail = rec.SamplesFrom(kRate * 3 / 10);
  EXPECT_NEAR(Frequency(tail), 1000.0, 5.0);
  int peak = 0;
  for (int16_t s : tail) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_NEAR(peak, 16384, 1000) << "half scale in, half scale out";

  const std::vector<Recording::Chunk> chunks = rec.Chunks();
  ASSERT_GT(chunks.size(), 10u);
  for (size_t i = 0; i < chunks.size(); ++i) {
    const Recording::Chunk& c = chunks[i];
    EXPECT_EQ(c.channels, 2u);
    EXPECT_GT(c.frames, 0u);
    // Played not long before it arrived (a monitor's data can also arrive
    // a little before the sink plays it: at most the sink's buffer).
    EXPECT_LE(c.received_us - c.timestamp_us, 100'000) << i;
    EXPECT_GE(c.received_us - c.timestamp_us, -50'000) << i;
    // The timestamps move with the samples.
    const int64_t by_samples = static_cast<int64_t>(c.frames_before) * 1'000'000 / kRate;
    EXPECT_NEAR(static_cast<double>(c.timestamp_us - chunks[0].timestamp_us), static_cast<double>(by_samples),
                30'000.0)
        << i;
    if (i > 0) {
      EXPECT_GT(c.timestamp_us, chunks[i - 1].timestamp_us) << i;
    }
  }
}

TEST(PulseLoopbackCapture, WithoutAServerInitializeFailsWithTheCaptureCode) {
  ScopedTempDir dir;
  ScopedEnv env("PULSE_SERVER", "unix:" + (dir.path() / "missing" / "native").string());
  LogCapture log;
  auto capture = MakePlatformLoopbackCapture();
  for (const int mode : {kLoopbackModeEndpoint, kLoopbackModeProcess}) {
    EXPECT_FALSE(capture->Initialize(mode));
    const HostResult r = capture->LastResult();
    EXPECT_EQ(r.code, kAudioCaptureErrorCode);
    EXPECT_NE(r.message.find("audio will be unavailable"), std::string::npos) << r.message;
    EXPECT_FALSE(capture->Initialized());
    EXPECT_EQ(capture->Format(), AudioFormat{});
  }
  Recording rec;
  EXPECT_FALSE(capture->Start(rec.Callback()));
  EXPECT_EQ(capture->LastResult().code, kAudioCaptureErrorCode);
  EXPECT_EQ(capture->LastResult().message, "Audio capture was not initialized before Start()");
  capture->Stop();
  capture->Reset();
  EXPECT_EQ(rec.Frames(), 0u);
}

TEST(PulseLoopbackCapture, ProcessLoopbackFallsBackToEndpointLoopback) {
  ORVANE_START_PULSE_OR_SKIP(server);
  ScopedEnv env("PULSE_SERVER", server->server());
  LogCapture log;
  auto capture = MakePlatformLoopbackCapture();
  ASSERT_TRUE(capture->Initialize(kLoopbackModeProcess)) << capture->LastResult().ToString();
  EXPECT_EQ(capture->Mode(), kLoopbackModeEndpoint);
  EXPECT_EQ(log.Count("[Audio] Process loopback unavailable; using endpoint loopback"), 1u);
  EXPECT_TRUE(log.Contains("[Audio] PulseAudio endpoint loopback initialized (client 1)"));

  // A restart keeps asking for process loopback and falls back again.
  Recording rec;
  ASSERT_TRUE(capture->Start(rec.Callback()));
  capture->Stop();
  ASSERT_TRUE(capture->Start(rec.Callback())) << capture->LastResult().ToString();
  capture->Stop();
  EXPECT_EQ(log.Count("[Audio] Process loopback unavailable; using endpoint loopback"), 2u);
  EXPECT_EQ(capture->Mode(), kLoopbackModeEndpoint);
}

TEST(PulseLoopbackCapture, StartAfterStopRebuildsAndNothingArrivesAfterStop) {
  ORVANE_START_PULSE_OR_SKIP(server);
  ScopedEnv env("PULSE_SERVER", server->server());
  LogCapture log;
  auto capture = MakePlatformLoopbackCapture();
  ASSERT_TRUE(capture->Initialize(kLoopbackModeEndpoint)) << capture->LastResult().ToString();
  Recording rec;
  for (unsigned run = 1; run <= 3; ++run) {
    rec.MarkStopped(false);
    const uint64_t before = rec.Frames();
    ASSERT_TRUE(capture->Start(rec.Callback())) << run << ": " << capture->LastResult().ToString();
    EXPECT_TRUE(capture->Start(rec.Callback())) << "a running capture takes a second Start as done";
    ASSERT_TRUE(WaitFor([&] { return rec.Frames() >= before + kRate / 10; })) << run;
    capture->Stop();
    rec.MarkStopped(true);
    EXPECT_TRUE(capture->Initialized()) << "Stop keeps the set-up";
    EXPECT_EQ(capture->Format(), (AudioFormat{48000, 2, 16}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(rec.LateCalls(), 0) << run;
  }
  EXPECT_EQ(log.Count("[Audio] Capture started"), 3u);
  EXPECT_TRUE(log.Contains("(client 3)")) << "each restart sets up a fresh client";
  capture->Stop();  // stopping a stopped capture is harmless
  capture->Reset();
  EXPECT_FALSE(capture->Initialized());
  EXPECT_FALSE(capture->Start(rec.Callback()));
  EXPECT_EQ(capture->LastResult().code, kAudioCaptureErrorCode);
}

TEST(PulseLoopbackCapture, ASuspendedSinkLeavesAGapAndCaptureResumes) {
  ORVANE_START_PULSE_OR_SKIP(server);
  ScopedEnv env("PULSE_SERVER", server->server());
  TonePlayer tone(server->server(), 1000.0);
  ASSERT_TRUE(WaitFor([&] { return tone.ok(); }));
  auto capture = MakePlatformLoopbackCapture();
  ASSERT_TRUE(capture->Initialize(kLoopbackModeEndpoint)) << capture->LastResult().ToString();
  Recording rec;
  ASSERT_TRUE(capture->Start(rec.Callback()));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() >= kRate / 2; }, 10'000));

  ASSERT_TRUE(server->SuspendSink(true));
  // What was already on its way may still arrive; then nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const uint64_t suspended_at = rec.Frames();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const uint64_t during = rec.Frames() - suspended_at;
  EXPECT_LT(during, kRate / 10) << "a suspended sink's monitor delivers (almost) nothing";
  ASSERT_TRUE(server->SuspendSink(false));

  const uint64_t resumed_at = rec.Frames();
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() >= resumed_at + kRate; }, 10'000)) << "capture resumes";
  capture->Stop();
  EXPECT_TRUE(capture->LastResult().ok()) << capture->LastResult().ToString();
  EXPECT_NEAR(Frequency(rec.SamplesFrom(resumed_at + kRate / 5)), 1000.0, 5.0);

  // The gap shows in the timestamps: one step is far longer than the chunk
  // before it lasted.
  const std::vector<Recording::Chunk> chunks = rec.Chunks();
  int64_t longest_gap = 0;
  for (size_t i = 1; i < chunks.size(); ++i) {
    const int64_t duration = static_cast<int64_t>(chunks[i - 1].frames) * 1'000'000 / kRate;
    longest_gap = std::max(longest_gap, chunks[i].timestamp_us - chunks[i - 1].timestamp_us - duration);
  }
  EXPECT_GE(longest_gap, 700'000);
  EXPECT_LE(longest_gap, 2'000'000);
}

TEST(PulseLoopbackCapture, AServerThatGoesAwayEndsTheRunWithoutHanging) {
  ORVANE_START_PULSE_OR_SKIP(server);
  ScopedEnv env("PULSE_SERVER", server->server());
  LogCapture log;
  auto capture = MakePlatformLoopbackCapture();
  ASSERT_TRUE(capture->Initialize(kLoopbackModeEndpoint)) << capture->LastResult().ToString();
  Recording rec;
  ASSERT_TRUE(capture->Start(rec.Callback()));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() >= kRate / 10; }));

  server.reset();  // the daemon ends
  EXPECT_TRUE(WaitFor([&] { return log.Contains("[Audio] PulseAudio capture failed"); }));
  EXPECT_EQ(capture->LastResult().code, 3);
  capture->Stop();
  EXPECT_FALSE(capture->Start(rec.Callback())) << "the restart finds no server";
  EXPECT_EQ(capture->LastResult().code, kAudioCaptureErrorCode);
  EXPECT_TRUE(log.Contains("[Audio] Could not set up a fresh capture client for the restart"));
  EXPECT_EQ(log.Count("[Audio] PulseAudio capture failed"), 1u) << "the first failure of a run is logged once";
}

}  // namespace
}  // namespace orvane
