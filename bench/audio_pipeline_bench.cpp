// The cost of the audio path per 20 ms frame, beside bare libopus encoding
// the same frames in the same run.
//
//   BM_AudioPipeline  AudioPipeline fed by the synthetic loopback capture in
//                     manual mode: two 10 ms PCM callbacks per frame (cut into
//                     frames, encoded by OpusEncoder over libopus, stamped
//                     and handed to a sink that drops the packets).
//   BM_OpusEncode     opus_encode of the same 20 ms frames with the same
//                     settings (restricted low delay, 64 kbit/s, constrained
//                     VBR, in-band FEC, DTX, complexity 8) into 1200 bytes.
//
// The PCM is two seconds of 48 kHz stereo music-like sound (chords with a
// moving envelope and a little noise), looped. CPU time per frame; by default
// each runs 10 repetitions interleaved at random with the other and the
// medians are compared (flags given on the command line take precedence).
// The last line gives both figures and their ratio; the pipeline should cost
// at most 1.10 times bare libopus.

#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "host/audio/audio_pipeline.h"
#include "host/audio/synthetic_loopback_capture.h"
#include "host/common/clock.h"
#include "host/common/logger.h"

namespace {

constexpr uint32_t kRate = 48'000;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kFrame = 960;     // 20 ms
constexpr uint32_t kCallback = 480;  // 10 ms
constexpr uint32_t kLoopFrames = 100;

const std::vector<int16_t>& Music() {
  static const std::vector<int16_t> pcm = [] {
    std::vector<int16_t> out(static_cast<size_t>(kFrame) * kLoopFrames * kChannels);
    constexpr double kTwoPi = 6.283185307179586;
    const double chord[] = {220.0, 277.18, 329.63, 440.0, 659.25};
    uint32_t seed = 0x2468ACEu;
    for (size_t i = 0; i < out.size() / kChannels; ++i) {
      const double t = static_cast<double>(i) / kRate;
      const double envelope = 0.55 + 0.45 * std::sin(kTwoPi * 0.7 * t);
      double left = 0;
      double right = 0;
      for (size_t k = 0; k < 5; ++k) {
        const double v = std::sin(kTwoPi * chord[k] * (1.0 + 0.01 * std::sin(kTwoPi * 0.25 * t)) * t);
        left += v * (k % 2 == 0 ? 0.22 : 0.12);
        right += v * (k % 2 == 0 ? 0.12 : 0.22);
      }
      seed = seed * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(seed >> 16) / 65536.0 - 0.5) * 0.04;
      out[i * 2] = static_cast<int16_t>(std::lround((left * envelope + noise) * 12000));
      out[i * 2 + 1] = static_cast<int16_t>(std::lround((right * envelope - noise) * 12000));
    }
    return out;
  }();
  return pcm;
}

class CountingSink final : public orvane::IAudioPacketSink {
 public:
  bool SendAudioPacket(uint32_t, uint64_t, uint8_t, const uint8_t*, size_t length) override {
    ++packets;
    bytes += length;
    return true;
  }
  uint64_t packets = 0;
  uint64_t bytes = 0;
};

class NoMuting final : public orvane::ISpeakerMuting {
 public:
  void SetTabletMuting(bool) override {}
  void RestoreSpeakersAfter(uint32_t, const char*) override {}
  void RestoreSpeakersNow() override {}
  bool SpeakersMutedByHost() const override { return false; }
};

void BM_AudioPipeline(benchmark::State& state) {
  const std::vector<int16_t>& pcm = Music();
  NoMuting muting;
  CountingSink sink;
  orvane::ManualClock clock;
  auto owned =
      std::make_unique<orvane::SyntheticLoopbackCapture>(orvane::SyntheticLoopbackCapture::Delivery::kManual, clock);
  orvane::SyntheticLoopbackCapture* capture = owned.get();
  orvane::AudioPipeline pipeline(std::move(owned), muting, clock);
  orvane::StreamAudioStart start;
  start.audio_enabled = true;
  start.sink = &sink;
  pipeline.Start(start);
  if (!capture->Running() || pipeline.Encoder().Backend() != orvane::OpusBackend::kLibopus) {
    state.SkipWithError("the pipeline did not start over libopus");
    return;
  }
  int64_t timestamp_us = clock.NowUs();
  size_t frame = 0;
  for (auto _ : state) {
    const int16_t* at = pcm.data() + frame * kFrame * kChannels;
    capture->DeliverPcm(at, kCallback, timestamp_us);
    capture->DeliverPcm(at + kCallback * kChannels, kCallback, timestamp_us + 10'000);
    timestamp_us += 20'000;
    frame = (frame + 1) % kLoopFrames;
  }
  pipeline.Stop(orvane::kAudioStopEnded);
  if (sink.packets != static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("not one packet per frame");
    return;
  }
  state.counters["bytes/packet"] = static_cast<double>(sink.bytes) / static_cast<double>(sink.packets);
}

void BM_OpusEncode(benchmark::State& state) {
  const std::vector<int16_t>& pcm = Music();
  int err = OPUS_OK;
  OpusEncoder* enc = opus_encoder_create(kRate, kChannels, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &err);
  if (enc == nullptr || err != OPUS_OK) {
    state.SkipWithError("opus_encoder_create failed");
    return;
  }
  opus_encoder_ctl(enc, OPUS_SET_BITRATE(64'000));
  opus_encoder_ctl(enc, OPUS_SET_VBR(1));
  opus_encoder_ctl(enc, OPUS_SET_VBR_CONSTRAINT(1));
  opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(1));
  opus_encoder_ctl(enc, OPUS_SET_DTX(1));
  opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(8));
  opus_encoder_ctl(enc, OPUS_SET_PACKET_LOSS_PERC(0));
  std::vector<unsigned char> packet(1200);
  uint64_t bytes = 0;
  size_t frame = 0;
  for (auto _ : state) {
    const opus_int32 n = opus_encode(enc, pcm.data() + frame * kFrame * kChannels, kFrame, packet.data(),
                                     static_cast<opus_int32>(packet.size()));
    if (n < 0) {
      state.SkipWithError("opus_encode failed");
      break;
    }
    bytes += static_cast<uint64_t>(n);
    benchmark::DoNotOptimize(packet.data());
    frame = (frame + 1) % kLoopFrames;
  }
  opus_encoder_destroy(enc);
  if (state.iterations() > 0) {
    state.counters["bytes/packet"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
  }
}

}  // namespace

int main(int argc, char** argv) {
  orvane::Logger::Instance().SetStdoutEnabled(false);
  benchmark::RegisterBenchmark("BM_AudioPipeline", BM_AudioPipeline)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_OpusEncode", BM_OpusEncode)->Unit(benchmark::kMicrosecond);
  if (!orvane::bench::InitializeWithDefaults(argc, argv, orvane::bench::DefaultFlags())) return 1;
  orvane::bench::MedianReporter reporter(orvane::bench::TimeKind::kCpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.Ms("BM_AudioPipeline");
  const double bare = reporter.Ms("BM_OpusEncode");
  if (ours >= 0 && bare > 0) {
    std::printf(
        "audio: pipeline (two 10 ms callbacks, libopus): %.4f ms/frame; opus_encode: %.4f ms/frame; "
        "pipeline / opus_encode = %.3f (target <= 1.100)\n",
        ours, bare, ours / bare);
  }
  benchmark::Shutdown();
  return 0;
}
