#include "host/audio/opus_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/audio/testing/scripted_opus_transform.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::ScriptedOpusTransform;

// Interleaved stereo: a 1 kHz tone, or full-scale noise when noise is set.
std::vector<int16_t> Pcm(uint32_t frames, uint32_t channels = 2, bool noise = false) {
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
  uint32_t seed = 12345;
  for (uint32_t i = 0; i < frames; ++i) {
    for (uint32_t c = 0; c < channels; ++c) {
      if (noise) {
        seed = seed * 1664525u + 1013904223u;
        pcm[i * channels + c] = static_cast<int16_t>(seed >> 16);
      } else {
        pcm[i * channels + c] =
            static_cast<int16_t>(std::lround(8000 * std::sin(6.283185307179586 * 1000 * i / 48000)));
      }
    }
  }
  return pcm;
}

std::unique_ptr<OpusEncoder> LibopusEncoder(uint32_t rate = 48'000, uint32_t channels = 2, uint32_t kbps = 64) {
  auto encoder = std::make_unique<OpusEncoder>(ScriptedOpusTransform::Absent());
  EXPECT_TRUE(encoder->Initialize(rate, channels, kbps)) << encoder->LastResult().message;
  return encoder;
}

TEST(OpusEncoderTest, LibopusIsSetUpForLowDelayStreaming) {
  testing::LogCapture log;
  auto encoder = LibopusEncoder();
  EXPECT_EQ(encoder->Backend(), OpusBackend::kLibopus);
  EXPECT_EQ(encoder->TransformResult().message, "No Opus MFT encoder found");
  EXPECT_EQ(log.Count("[OpusEnc] No Opus MFT encoder found; encoding with libopus"), 1u);
  EXPECT_EQ(log.Count("[OpusEnc] Opus libopus fallback initialized: 48000Hz, 2ch, 64kbps"), 1u);
  LibopusSettings s;
  ASSERT_TRUE(encoder->ReadLibopusSettings(&s));
  EXPECT_EQ(s.application, kOpusApplicationRestrictedLowDelay);
  EXPECT_EQ(s.bitrate_bps, 64'000);
  EXPECT_EQ(s.vbr, 1);
  EXPECT_EQ(s.vbr_constraint, 1);
  EXPECT_EQ(s.inband_fec, 1);
  EXPECT_EQ(s.dtx, 1);
  EXPECT_EQ(s.complexity, 8);
  EXPECT_EQ(s.packet_loss_percent, 0);
  EXPECT_EQ(s.sample_rate, 48'000);
  EXPECT_EQ(encoder->FrameSize(), 960u);
  EXPECT_EQ(encoder->FrameDurationMs(), 20);
}

TEST(OpusEncoderTest, SettersReachLibopusWithTheLossClamped) {
  struct Case {
    int loss;
    uint32_t kbps;
    int expected_loss;
    int expected_bps;
  };
  const Case cases[] = {{35, 48, 20, 48'000}, {-3, 64, 0, 64'000}, {7, 64, 7, 64'000}, {20, 32, 20, 32'000}};
  auto encoder = LibopusEncoder();
  for (const Case& c : cases) {
    encoder->SetExpectedLoss(c.loss);
    encoder->SetBitrate(c.kbps);
    LibopusSettings s;
    ASSERT_TRUE(encoder->ReadLibopusSettings(&s));
    EXPECT_EQ(s.packet_loss_percent, c.expected_loss) << c.loss;
    EXPECT_EQ(encoder->ExpectedLossPercent(), c.expected_loss) << c.loss;
    EXPECT_EQ(s.bitrate_bps, c.expected_bps) << c.kbps;
  }
}

// Each packet carries the time given with the PCM its frame begins in.
TEST(OpusEncoderTest, PacketsCarryTheTimeOfTheirFrame) {
  struct Call {
    uint32_t frames;
    int64_t pts_us;
  };
  struct Case {
    const char* name;
    std::vector<Call> calls;
    std::vector<int64_t> packet_pts;  // one entry per call; -1: no packet
  };
  const Case cases[] = {
      {"whole frames", {{960, 1'000'000}, {960, 1'020'000}, {960, 5'000'000}}, {1'000'000, 1'020'000, 5'000'000}},
      {"halves",
       {{480, 2'000'000}, {480, 2'010'000}, {480, 2'020'000}, {480, 2'030'000}},
       {-1, 2'000'000, -1, 2'020'000}},
      {"frame begun in an earlier call", {{1440, 3'000'000}, {480, 9'000'000}}, {3'000'000, 3'020'000}},
  };
  for (const Case& c : cases) {
    auto encoder = LibopusEncoder();
    for (size_t i = 0; i < c.calls.size(); ++i) {
      const std::vector<int16_t> pcm = Pcm(c.calls[i].frames);
      OpusPacket packet;
      HostResult failure;
      const bool ok = encoder->Encode(pcm.data(), c.calls[i].frames, 2, c.calls[i].pts_us, &packet, &failure);
      if (c.packet_pts[i] < 0) {
        EXPECT_FALSE(ok) << c.name << " call " << i;
        EXPECT_EQ(failure.message, "libopus requires more PCM input") << c.name;
        EXPECT_EQ(failure.code, kOpusEncoderErrorCode);
        continue;
      }
      ASSERT_TRUE(ok) << c.name << " call " << i << ": " << failure.message;
      EXPECT_EQ(packet.pts_us, c.packet_pts[i]) << c.name << " call " << i;
      EXPECT_EQ(packet.duration_ms, 20) << c.name;
      EXPECT_FALSE(packet.data.empty());
    }
  }
}

TEST(OpusEncoderTest, PacketsFitTheSendersAudioPayloadAtAnyBitrate) {
  static_assert(kMaxOpusPacketBytes == 1200);
  auto encoder = LibopusEncoder(48'000, 2, 510);
  const std::vector<int16_t> noise = Pcm(960 * 50, 2, /*noise=*/true);
  size_t largest = 0;
  for (uint32_t f = 0; f < 50; ++f) {
    OpusPacket packet;
    ASSERT_TRUE(encoder->Encode(noise.data() + f * 1920, 960, 2, f * 20'000, &packet));
    largest = std::max(largest, packet.data.size());
  }
  EXPECT_LE(largest, kMaxOpusPacketBytes);
  EXPECT_GT(largest, 1000u);  // the limit is what bounds them here
}

TEST(OpusEncoderTest, FailuresAreResultsWithCodeSix) {
  struct Case {
    const char* name;
    uint32_t rate;
    uint32_t init_channels;
    uint32_t encode_channels;
    bool initialize;
    const char* message_start;
  };
  const Case cases[] = {
      {"not initialised", 48'000, 2, 2, false, "Opus encoder is not initialized"},
      {"channel count changed", 48'000, 2, 1, true, "Audio channel count changed during Opus encoding"},
      {"44.1 kHz refused by libopus", 44'100, 2, 2, true, "libopus init failed: invalid argument (err=-1)"},
      {"six channels refused by libopus", 48'000, 6, 6, true, "libopus init failed: invalid argument (err=-1)"},
  };
  for (const Case& c : cases) {
    testing::LogCapture log;
    OpusEncoder encoder(ScriptedOpusTransform::Absent());
    bool initialized = false;
    if (c.initialize) initialized = encoder.Initialize(c.rate, c.init_channels, 64);
    HostResult result = encoder.LastResult();
    if (initialized) {
      const std::vector<int16_t> pcm = Pcm(960, c.encode_channels);
      OpusPacket packet;
      EXPECT_FALSE(encoder.Encode(pcm.data(), 960, c.encode_channels, 0, &packet, &result)) << c.name;
    } else if (!c.initialize) {
      const std::vector<int16_t> pcm = Pcm(960);
      OpusPacket packet;
      EXPECT_FALSE(encoder.Encode(pcm.data(), 960, 2, 0, &packet, &result)) << c.name;
    } else {
      EXPECT_EQ(log.Count("[OpusEnc] No Opus backend available (MFT + libopus fallback failed)"), 1u) << c.name;
      EXPECT_EQ(encoder.Backend(), OpusBackend::kNone);
    }
    EXPECT_EQ(result.code, kOpusEncoderErrorCode) << c.name;
    EXPECT_EQ(result.message, c.message_start) << c.name;
  }
}

TEST(OpusEncoderTest, APlatformTransformIsPreferredAndItsPacketsAreChecked) {
  auto script = std::make_shared<ScriptedOpusTransform::Script>();
  OpusEncoder encoder(std::make_unique<ScriptedOpusTransform>(script));
  ASSERT_TRUE(encoder.Initialize(48'000, 2, 64));
  EXPECT_EQ(encoder.Backend(), OpusBackend::kTransform);
  EXPECT_TRUE(encoder.TransformResult().ok());
  const std::vector<int16_t> pcm = Pcm(960);
  OpusPacket packet;
  ASSERT_TRUE(encoder.Encode(pcm.data(), 960, 2, 777, &packet));
  EXPECT_EQ(packet.pts_us, 777);
  encoder.SetBitrate(48);
  EXPECT_EQ(script->bitrate_kbps, 48u);

  script->packet_bytes = kMaxOpusPacketBytes + 1;
  HostResult failure;
  EXPECT_FALSE(encoder.Encode(pcm.data(), 960, 2, 20'777, &packet, &failure));
  EXPECT_EQ(failure.message, "Opus packet exceeds the audio payload limit");

  encoder.Reset();
  EXPECT_FALSE(encoder.Initialized());
  EXPECT_EQ(encoder.Backend(), OpusBackend::kNone);
}

}  // namespace
}  // namespace orvane
