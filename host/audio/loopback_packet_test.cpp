#include "host/audio/loopback_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

constexpr int64_t kNowUs = 5'000'000'000;

// What one callback received.
struct Delivered {
  const int16_t* pointer = nullptr;
  std::vector<int16_t> samples;
  uint32_t frames = 0;
  uint32_t channels = 0;
  int64_t timestamp_us = 0;
};

struct Recorder {
  std::vector<Delivered> calls;
  PcmCallback Callback() {
    return [this](const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us) {
      Delivered d;
      d.pointer = samples;
      d.samples.assign(samples, samples + static_cast<size_t>(frames) * channels);
      d.frames = frames;
      d.channels = channels;
      d.timestamp_us = timestamp_us;
      calls.push_back(std::move(d));
    };
  }
};

constexpr SourceFormat kPcm48Stereo{SampleEncoding::kPcm, 48000, 2, 16, 0};
constexpr SourceFormat kFloat48Stereo{SampleEncoding::kFloat, 48000, 2, 32, 0};
constexpr SourceFormat kFloat441Stereo{SampleEncoding::kFloat, 44100, 2, 32, 0};

TEST(LoopbackPacketDelivery, SixteenBitStereoAt48kHzIsHandedOverUnchanged) {
  LoopbackPacketDelivery delivery;
  ASSERT_TRUE(delivery.Configure(kPcm48Stereo));
  EXPECT_TRUE(delivery.passthrough());
  std::vector<int16_t> buffer(480 * 2);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<int16_t>(i * 7 - 3000);
  ManualClock clock(kNowUs / 1000);
  Recorder rec;
  CapturedPacket packet;
  packet.data = buffer.data();
  packet.frames = 480;
  packet.qpc_position_100ns = 123'456'789;
  ASSERT_TRUE(delivery.Deliver(packet, rec.Callback(), clock));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0].pointer, buffer.data());
  EXPECT_EQ(rec.calls[0].samples, buffer);
  EXPECT_EQ(rec.calls[0].frames, 480u);
  EXPECT_EQ(rec.calls[0].channels, 2u);
  EXPECT_EQ(rec.calls[0].timestamp_us, 12'345'678);
}

TEST(LoopbackPacketDelivery, SilentPacketsDeliverZeros) {
  struct Case {
    const char* name;
    SourceFormat source;
    uint32_t frames;
    uint32_t expected_frames;
  };
  const Case cases[] = {
      {"48 kHz stereo int16", kPcm48Stereo, 480, 480},
      {"48 kHz stereo float", kFloat48Stereo, 480, 480},
      {"48 kHz 5.1 float", SourceFormat{SampleEncoding::kFloat, 48000, 6, 32, 0}, 480, 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPacketDelivery delivery;
    ASSERT_TRUE(delivery.Configure(c.source));
    // Whatever the buffer holds, a silent packet is zeros.
    std::vector<uint8_t> garbage(static_cast<size_t>(c.frames) * c.source.channels * c.source.bits_per_sample / 8, 0x5A);
    ManualClock clock(kNowUs / 1000);
    Recorder rec;
    CapturedPacket packet;
    packet.data = garbage.data();
    packet.frames = c.frames;
    packet.silent = true;
    packet.qpc_position_100ns = 10'000;
    ASSERT_TRUE(delivery.Deliver(packet, rec.Callback(), clock));
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].frames, c.expected_frames);
    EXPECT_EQ(rec.calls[0].channels, 2u);
    EXPECT_EQ(rec.calls[0].samples, std::vector<int16_t>(c.expected_frames * 2, 0));
    EXPECT_EQ(rec.calls[0].timestamp_us, 1000);
  }
}

TEST(LoopbackPacketDelivery, TimestampsFromThePerformanceCounterPosition) {
  struct Case {
    const char* name;
    uint64_t position;
    bool timestamp_error;
    int64_t expected_us;
  };
  const Case cases[] = {
      {"position 0 is now", 0, false, kNowUs},
      {"flagged position is now", 77'000'000, true, kNowUs},
      {"100 ns units to us", 77'000'000, false, 7'700'000},
      {"23 days of uptime", 200'000'000'000'000ull, false, 20'000'000'000'000},
      {"largest position", std::numeric_limits<uint64_t>::max(), false,
       static_cast<int64_t>(std::numeric_limits<uint64_t>::max() / 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPacketDelivery delivery;
    ASSERT_TRUE(delivery.Configure(kPcm48Stereo));
    std::vector<int16_t> buffer(96, 1);
    ManualClock clock(kNowUs / 1000);
    Recorder rec;
    CapturedPacket packet;
    packet.data = buffer.data();
    packet.frames = 48;
    packet.qpc_position_100ns = c.position;
    packet.timestamp_error = c.timestamp_error;
    ASSERT_TRUE(delivery.Deliver(packet, rec.Callback(), clock));
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].timestamp_us, c.expected_us);
  }
}

TEST(LoopbackPacketDelivery, MixFormatsAreConvertedTo48kHzStereo16Bit) {
  LoopbackPacketDelivery delivery;
  ASSERT_TRUE(delivery.Configure(kFloat48Stereo));
  EXPECT_FALSE(delivery.passthrough());
  const float in[] = {1.5f, -2.0f, std::numeric_limits<float>::quiet_NaN(), -0.5f};
  ManualClock clock(kNowUs / 1000);
  Recorder rec;
  CapturedPacket packet;
  packet.data = in;
  packet.frames = 2;
  packet.qpc_position_100ns = 50;
  ASSERT_TRUE(delivery.Deliver(packet, rec.Callback(), clock));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0].samples, (std::vector<int16_t>{32767, -32767, 0, -16383}));
  EXPECT_EQ(rec.calls[0].channels, 2u);
  EXPECT_EQ(rec.calls[0].timestamp_us, 5);

  // 44.1 kHz comes out at 48 kHz: one second in gives one second out.
  LoopbackPacketDelivery resampling;
  ASSERT_TRUE(resampling.Configure(kFloat441Stereo));
  std::vector<float> second(44100 * 2, 0.25f);
  rec.calls.clear();
  packet.data = second.data();
  packet.frames = 44100;
  ASSERT_TRUE(resampling.Deliver(packet, rec.Callback(), clock));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_NEAR(static_cast<double>(rec.calls[0].frames), 48000.0, 2.0);
}

TEST(LoopbackPacketDelivery, DiscontinuityRestartsTheResampler) {
  std::vector<float> ramp(441 * 2);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i % 200) / 400.0f;
  CapturedPacket packet;
  packet.data = ramp.data();
  packet.frames = 441;
  packet.qpc_position_100ns = 1000;
  ManualClock clock(kNowUs / 1000);

  // After a discontinuity the packet comes out as from a fresh stream.
  LoopbackPacketDelivery continued;
  ASSERT_TRUE(continued.Configure(kFloat441Stereo));
  Recorder rec;
  ASSERT_TRUE(continued.Deliver(packet, rec.Callback(), clock));
  CapturedPacket after_gap = packet;
  after_gap.discontinuity = true;
  ASSERT_TRUE(continued.Deliver(after_gap, rec.Callback(), clock));

  LoopbackPacketDelivery fresh;
  ASSERT_TRUE(fresh.Configure(kFloat441Stereo));
  Recorder fresh_rec;
  ASSERT_TRUE(fresh.Deliver(packet, fresh_rec.Callback(), clock));
  ASSERT_EQ(rec.calls.size(), 2u);
  ASSERT_EQ(fresh_rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[1].samples, fresh_rec.calls[0].samples);
}

TEST(LoopbackPacketDelivery, RefusedPacketsAndFormats) {
  ManualClock clock(kNowUs / 1000);
  std::vector<int16_t> buffer(64, 0);
  struct Case {
    const char* name;
    bool configure;
    SourceFormat source;
    uint32_t frames;
    bool with_data;
    bool expected;
  };
  const Case cases[] = {
      {"not configured", false, kPcm48Stereo, 16, true, false},
      {"unknown sub-format", true, SourceFormat{SampleEncoding::kUnknown, 48000, 2, 32, 0}, 16, true, false},
      {"too many frames", true, kPcm48Stereo, kMaxConvertFrames + 1, true, false},
      {"no data", true, kPcm48Stereo, 16, false, false},
      {"no frames", true, kPcm48Stereo, 0, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPacketDelivery delivery;
    if (c.configure) {
      EXPECT_EQ(delivery.Configure(c.source), c.source.encoding != SampleEncoding::kUnknown);
    }
    Recorder rec;
    CapturedPacket packet;
    packet.data = c.with_data ? buffer.data() : nullptr;
    packet.frames = c.frames;
    EXPECT_EQ(delivery.Deliver(packet, rec.Callback(), clock), c.expected);
    EXPECT_TRUE(rec.calls.empty());
  }
}

TEST(CaptureFailureWatch, LogsTheFirstFailureOfARunAndEndsOnInvalidation) {
  constexpr HResult kFail = static_cast<HResult>(0x80004005u);
  struct Case {
    const char* name;
    std::vector<HResult> failures;
    size_t expected_failure_lines;
    bool expected_end;  // after the last failure
  };
  const Case cases[] = {
      {"repeated failures log once", {kFail, kFail, kFail}, 1, false},
      {"invalidation ends the run", {kAudioDeviceInvalidated}, 1, true},
      {"invalidation after a failure", {kFail, kAudioDeviceInvalidated}, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    CaptureFailureWatch watch;
    bool end = false;
    for (HResult hr : c.failures) {
      EXPECT_FALSE(end);
      end = watch.OnFailure("IAudioCaptureClient::GetBuffer", hr);
    }
    EXPECT_EQ(end, c.expected_end);
    EXPECT_EQ(watch.failures(), c.failures.size());
    EXPECT_EQ(log.Count("[Audio] IAudioCaptureClient::GetBuffer failed: 0x"), c.expected_failure_lines);
    const std::string first = c.failures[0] == kFail ? "0x80004005" : "0x88890004";
    EXPECT_TRUE(log.Contains("[Audio] IAudioCaptureClient::GetBuffer failed: " + first));
    EXPECT_EQ(log.Count("[Audio] The audio device was invalidated; capture stops until the next start"),
              c.expected_end ? 1u : 0u);
  }
}

}  // namespace
}  // namespace orvane
