#include "host/audio/audio_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/audio/synthetic_loopback_capture.h"
#include "host/audio/testing/recording_speaker_muting.h"
#include "host/audio/testing/scripted_opus_transform.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::RecordingSpeakerMuting;
using testing::ScriptedOpusTransform;
using Delivery = SyntheticLoopbackCapture::Delivery;

struct SentPacket {
  uint32_t sequence = 0;
  uint64_t pts_us = 0;
  uint8_t duration_ms = 0;
  size_t bytes = 0;
};

class RecordingSink final : public IAudioPacketSink {
 public:
  bool SendAudioPacket(uint32_t sequence, uint64_t timestamp_us, uint8_t duration_ms, const uint8_t*,
                       size_t length) override {
    std::lock_guard<std::mutex> lock(mu_);
    packets_.push_back({sequence, timestamp_us, duration_ms, length});
    return true;
  }
  std::vector<SentPacket> Packets() const {
    std::lock_guard<std::mutex> lock(mu_);
    return packets_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return packets_.size();
  }

 private:
  mutable std::mutex mu_;
  std::vector<SentPacket> packets_;
};

constexpr AudioFormat kStereo48k{48'000, 2, 16};
constexpr AudioFormat kStereo44k{44'100, 2, 16};
const char kKeepPlaying[] = "[AudioMute] Could not mute the PC speakers; they keep playing";

class AudioPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { AudioPipeline::ResetWarningLimitsForTest(); }

  // A pipeline over a synthetic capture; libopus encodes unless a
  // transform is given.
  void Make(Delivery delivery = Delivery::kManual, std::unique_ptr<IOpusTransform> transform = nullptr) {
    auto capture = std::make_unique<SyntheticLoopbackCapture>(delivery, clock_);
    capture_ = capture.get();
    pipeline_ = std::make_unique<AudioPipeline>(std::move(capture), muting_, clock_,
                                                transform ? std::move(transform) : ScriptedOpusTransform::Absent());
  }

  void StartStream(bool audio_enabled = true, IAudioPacketSink* sink = nullptr) {
    StreamAudioStart start;
    start.audio_enabled = audio_enabled;
    start.sink = sink != nullptr ? sink : &sink_;
    start.active = &active_;
    pipeline_->Start(start);
  }

  int64_t StartUs() const { return 1'000'000'000; }  // the clock's now when the capture starts

  ManualClock clock_;
  RecordingSpeakerMuting muting_;
  RecordingSink sink_;
  std::atomic<bool> active_{true};
  SyntheticLoopbackCapture* capture_ = nullptr;
  std::unique_ptr<AudioPipeline> pipeline_;
};

void ExpectContiguous(const std::vector<SentPacket>& packets, uint32_t first_sequence = 0) {
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].sequence, first_sequence + i) << "packet " << i;
    EXPECT_LE(packets[i].bytes, kMaxOpusPacketBytes) << "packet " << i;
  }
}

TEST_F(AudioPipelineTest, FramesAreTwentyMillisecondsOfTheDeliveredFormat) {
  struct Case {
    AudioFormat format;
    uint32_t frame_size;
    uint32_t frame_samples;
  };
  const Case cases[] = {{kStereo48k, 960, 1920}, {{24'000, 1, 16}, 480, 480}, {{16'000, 2, 16}, 320, 640}};
  for (const Case& c : cases) {
    RecordingSink sink;
    auto capture = std::make_unique<SyntheticLoopbackCapture>(Delivery::kManual, clock_);
    SyntheticLoopbackCapture* cap = capture.get();
    cap->SetFormat(kLoopbackModeEndpoint, c.format);
    AudioPipeline pipeline(std::move(capture), muting_, clock_, ScriptedOpusTransform::Absent());
    StreamAudioStart start;
    start.audio_enabled = true;
    start.sink = &sink;
    pipeline.Start(start);
    ASSERT_TRUE(cap->Running()) << c.format.sample_rate;
    EXPECT_EQ(pipeline.FrameSize(), c.frame_size);
    EXPECT_EQ(pipeline.FrameSize() * pipeline.Channels(), c.frame_samples);
    EXPECT_EQ(pipeline.FrameDurationUs(), 20'000);
    ASSERT_TRUE(cap->DeliverChunks(8));  // 10 ms each
    const std::vector<SentPacket> packets = sink.Packets();
    ASSERT_EQ(packets.size(), 4u) << c.format.sample_rate;
    ExpectContiguous(packets);
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(packets[i].duration_ms, 20);
      EXPECT_EQ(packets[i].pts_us, static_cast<uint64_t>(StartUs() + static_cast<int64_t>(i) * 20'000));
    }
    pipeline.Stop(kAudioStopEnded);
  }
}

TEST_F(AudioPipelineTest, ACallbackOfAThousandFramesGivesOnePacketAndKeepsForty) {
  Make();
  capture_->SetChunks({{1000}, {919}, {1}});
  StartStream();
  ASSERT_TRUE(capture_->DeliverNext());
  EXPECT_EQ(sink_.Count(), 1u);
  ASSERT_TRUE(capture_->DeliverNext());
  EXPECT_EQ(sink_.Count(), 1u);  // 40 + 919 frames: one short
  ASSERT_TRUE(capture_->DeliverNext());
  const std::vector<SentPacket> packets = sink_.Packets();
  ASSERT_EQ(packets.size(), 2u);
  ExpectContiguous(packets);
  EXPECT_EQ(packets[1].pts_us - packets[0].pts_us, 20'000u);
}

TEST_F(AudioPipelineTest, AFailedEncodeDropsItsFrameAndTimeGoesOn) {
  struct Case {
    const char* message;
    size_t warnings;
  };
  const Case cases[] = {{"Opus MFT ProcessOutput failed", 1},
                        {"Opus MFT requires more input", 0},
                        {"libopus requires more PCM input", 0}};
  for (const Case& c : cases) {
    AudioPipeline::ResetWarningLimitsForTest();
    testing::LogCapture log;
    RecordingSink sink;
    auto script = std::make_shared<ScriptedOpusTransform::Script>();
    script->failures[2] = c.message;
    auto capture = std::make_unique<SyntheticLoopbackCapture>(Delivery::kManual, clock_);
    SyntheticLoopbackCapture* cap = capture.get();
    AudioPipeline pipeline(std::move(capture), muting_, clock_, std::make_unique<ScriptedOpusTransform>(script));
    StreamAudioStart start;
    start.audio_enabled = true;
    start.sink = &sink;
    pipeline.Start(start);
    ASSERT_TRUE(cap->DeliverChunks(10));
    const std::vector<SentPacket> packets = sink.Packets();
    ASSERT_EQ(packets.size(), 4u) << c.message;
    ExpectContiguous(packets);
    const uint64_t t0 = static_cast<uint64_t>(StartUs());
    EXPECT_EQ(packets[1].pts_us, t0 + 20'000);
    EXPECT_EQ(packets[2].pts_us, t0 + 60'000) << "the dropped frame keeps its 20 ms";
    EXPECT_EQ(packets[3].pts_us, t0 + 80'000);
    EXPECT_EQ(
        log.Count("[AudioPipeline] Encode skipped/failure code=6 msg=" + std::string(c.message) + " hr=0x80004005"),
        c.warnings);
    pipeline.Stop(kAudioStopEnded);
  }
}

TEST_F(AudioPipelineTest, TheEncodeWarningIsLoggedOncePerSecondAcrossPipelines) {
  testing::LogCapture log;
  auto failing = [] {
    auto script = std::make_shared<ScriptedOpusTransform::Script>();
    for (uint64_t i = 0; i < 100; ++i) script->failures[i] = "Opus MFT ProcessInput failed";
    return std::make_unique<ScriptedOpusTransform>(script);
  };
  RecordingSink sink;
  std::vector<SyntheticLoopbackCapture*> captures;
  std::vector<std::unique_ptr<AudioPipeline>> pipelines;
  for (int i = 0; i < 2; ++i) {
    auto capture = std::make_unique<SyntheticLoopbackCapture>(Delivery::kManual, clock_);
    captures.push_back(capture.get());
    pipelines.push_back(std::make_unique<AudioPipeline>(std::move(capture), muting_, clock_, failing()));
    StreamAudioStart start;
    start.audio_enabled = true;
    start.sink = &sink;
    pipelines.back()->Start(start);
  }
  const std::string line = "[AudioPipeline] Encode skipped/failure code=6 msg=Opus MFT ProcessInput failed";
  for (SyntheticLoopbackCapture* c : captures) ASSERT_TRUE(c->DeliverChunks(6));
  EXPECT_EQ(log.Count(line), 1u);
  clock_.AdvanceMs(999);
  for (SyntheticLoopbackCapture* c : captures) ASSERT_TRUE(c->DeliverChunks(2));
  EXPECT_EQ(log.Count(line), 1u);
  clock_.AdvanceMs(1);
  for (SyntheticLoopbackCapture* c : captures) ASSERT_TRUE(c->DeliverChunks(2));
  EXPECT_EQ(log.Count(line), 2u);
  EXPECT_EQ(sink.Count(), 0u);
}

TEST_F(AudioPipelineTest, NetworkConditionsSetLossAndBitrateWhileAudioRuns) {
  Make();
  pipeline_->SetNetworkConditions(10, true);  // before Start: no encoder yet
  StartStream();
  LibopusSettings s;
  ASSERT_TRUE(pipeline_->Encoder().ReadLibopusSettings(&s));
  EXPECT_EQ(s.bitrate_bps, 64'000);
  EXPECT_EQ(s.packet_loss_percent, 0);
  struct Case {
    float loss;
    bool constrained;
    int expected_loss;
    int expected_bps;
  };
  const Case cases[] = {{35, false, 20, 64'000},
                        {-3, true, 0, 48'000},
                        {12.4f, false, 12, 64'000},
                        {std::numeric_limits<float>::quiet_NaN(), true, 0, 48'000},
                        {std::numeric_limits<float>::infinity(), false, 0, 64'000}};
  for (const Case& c : cases) {
    pipeline_->SetNetworkConditions(c.loss, c.constrained);
    ASSERT_TRUE(pipeline_->Encoder().ReadLibopusSettings(&s));
    EXPECT_EQ(s.packet_loss_percent, c.expected_loss) << c.loss;
    EXPECT_EQ(s.bitrate_bps, c.expected_bps) << c.loss;
  }
  pipeline_->Stop(kAudioStopEnded);
  pipeline_->SetNetworkConditions(5, true);
  EXPECT_FALSE(pipeline_->Encoder().Initialized());
}

TEST_F(AudioPipelineTest, AudioAfterAQuietSpellStartsANewTimelineOnce) {
  Make();
  std::vector<SyntheticChunk> chunks(7, SyntheticChunk{480});
  chunks.push_back({480, /*gap_us=*/2'000'000});
  for (int i = 0; i < 4; ++i) chunks.push_back({480});
  capture_->SetChunks(chunks);
  StartStream();
  ASSERT_TRUE(capture_->DeliverChunks(chunks.size()));
  const std::vector<SentPacket> packets = sink_.Packets();
  ASSERT_EQ(packets.size(), 6u);
  ExpectContiguous(packets);
  EXPECT_EQ(pipeline_->Reanchors(), 1u);
  const uint64_t t0 = static_cast<uint64_t>(StartUs());
  // The half frame before the gap goes out padded with silence, at its time.
  EXPECT_EQ(packets[3].pts_us, t0 + 60'000);
  const uint64_t gap_end = t0 + 70'000 + 2'000'000;
  EXPECT_GE(packets[4].pts_us + 20'000, gap_end);
  EXPECT_LE(packets[4].pts_us, gap_end + 20'000);
  EXPECT_EQ(packets[5].pts_us - packets[4].pts_us, 20'000u);
}

TEST_F(AudioPipelineTest, TimestampJitterUpToFortyMillisecondsKeepsTheTimeline) {
  struct Case {
    const char* name;
    std::vector<int64_t> jitter_us;  // per chunk, repeated
    uint64_t reanchors;
  };
  const Case cases[] = {{"10 ms either way", {10'000, -10'000, 0, 7'000}, 0},
                        {"40 ms late", {0, 40'000, 0}, 0},
                        {"41 ms late once", {0, 0, 0, 0, 0, 41'000}, 1}};
  for (const Case& c : cases) {
    Make();
    std::vector<SyntheticChunk> chunks;
    for (size_t i = 0; i < 24; ++i) {
      const int64_t jitter = i < 12 ? c.jitter_us[i % c.jitter_us.size()] : 0;
      chunks.push_back({480, 0, jitter});
    }
    capture_->SetChunks(chunks);
    RecordingSink sink;
    StartStream(true, &sink);
    ASSERT_TRUE(capture_->DeliverChunks(chunks.size()));
    EXPECT_EQ(pipeline_->Reanchors(), c.reanchors) << c.name;
    const std::vector<SentPacket> packets = sink.Packets();
    ExpectContiguous(packets);
    if (c.reanchors == 0) {
      ASSERT_EQ(packets.size(), 12u) << c.name;
      for (size_t i = 1; i < packets.size(); ++i) EXPECT_EQ(packets[i].pts_us - packets[i - 1].pts_us, 20'000u);
    }
    pipeline_->Stop(kAudioStopEnded);
    pipeline_.reset();
  }
}

// Endpoint loopback at 44.1 kHz, process loopback at 48 kHz: the frame
// follows whichever the capture delivers after the restart.
TEST_F(AudioPipelineTest, FrameSizeFollowsTheFormatAfterEachRestart) {
  struct Case {
    const char* name;
    bool prepare_and_wish_first;
  };
  const Case cases[] = {{"wish during the stream", false}, {"wish before Start", true}};
  for (const Case& c : cases) {
    testing::LogCapture log;
    RecordingSink sink;
    Make();
    capture_->SetFormat(kLoopbackModeEndpoint, kStereo44k);
    capture_->SetFormat(kLoopbackModeProcess, kStereo48k);
    if (c.prepare_and_wish_first) {
      pipeline_->Prepare();
      pipeline_->SetTabletOnlySound(true);
      StartStream(true, &sink);
    } else {
      StartStream(true, &sink);
      EXPECT_EQ(pipeline_->FrameSize(), 882u) << c.name;
      EXPECT_EQ(log.Count("[AudioPipeline] Opus encoder init issue code=6 msg=libopus init failed: invalid argument "
                          "(err=-1) hr=0x80004005"),
                1u);
      pipeline_->SetTabletOnlySound(true);
    }
    EXPECT_EQ(capture_->Mode(), kLoopbackModeProcess) << c.name;
    EXPECT_EQ(pipeline_->FrameSize(), 960u) << c.name;
    EXPECT_EQ(pipeline_->FrameDurationUs(), 20'000) << c.name;
    ASSERT_TRUE(capture_->DeliverChunks(4));
    const std::vector<SentPacket> packets = sink.Packets();
    ASSERT_EQ(packets.size(), 2u) << c.name;
    EXPECT_EQ(packets[1].pts_us - packets[0].pts_us, 20'000u);
    EXPECT_TRUE(muting_.Muted()) << c.name;
    pipeline_->Stop(kAudioStopEnded);
    pipeline_.reset();
  }
}

TEST_F(AudioPipelineTest, TabletOnlySoundMutesOnlyWhileProcessLoopbackRuns) {
  Make();
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  EXPECT_EQ(capture_->Mode(), kLoopbackModeProcess);
  EXPECT_EQ(muting_.Calls(), std::vector<std::string>({"mute on"}));
  EXPECT_TRUE(pipeline_->SpeakersMutedByThisPipeline());
  pipeline_->SetTabletOnlySound(false);
  EXPECT_EQ(muting_.Calls(), std::vector<std::string>({"mute on", "mute off"}));
  EXPECT_FALSE(muting_.Muted());
  EXPECT_EQ(capture_->Mode(), kLoopbackModeProcess);  // no restart for the PC's own sound
}

TEST_F(AudioPipelineTest, InEndpointLoopbackTheSpeakersKeepPlayingWithAWarningEveryTenSeconds) {
  testing::LogCapture log;
  Make();
  capture_->SetInitResult(kLoopbackModeProcess,
                          HostResult::Failure(kAudioCaptureErrorCode, "Process loopback activation failed"));
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  EXPECT_EQ(capture_->Mode(), kLoopbackModeEndpoint);
  EXPECT_TRUE(capture_->Running());
  EXPECT_TRUE(pipeline_->ProcessLoopbackUnavailable());
  EXPECT_TRUE(log.Contains("[Audio] Process loopback unavailable; using endpoint loopback"));
  EXPECT_TRUE(muting_.Calls().empty());
  EXPECT_EQ(log.Count(kKeepPlaying), 1u);
  const uint32_t inits = capture_->InitializeCalls();

  clock_.AdvanceMs(9'999);
  pipeline_->SetTabletOnlySound(true);
  EXPECT_EQ(log.Count(kKeepPlaying), 1u);
  EXPECT_EQ(capture_->InitializeCalls(), inits) << "process loopback is not tried again";
  clock_.AdvanceMs(1);
  pipeline_->SetTabletOnlySound(true);
  EXPECT_EQ(log.Count(kKeepPlaying), 2u);
  EXPECT_TRUE(muting_.Calls().empty());
  ASSERT_TRUE(capture_->DeliverChunks(2));
  EXPECT_EQ(sink_.Count(), 1u) << "the tablet still gets the sound";
}

TEST_F(AudioPipelineTest, StopRestoresTheSpeakersNowOrAfterAGraceTime) {
  struct Case {
    int stop_mode;
    const char* call;
  };
  const Case cases[] = {{kAudioStopLinkLost, "restore after 5000 while the tablet reconnects"},
                        {kAudioStopRestartOrMove, "restore after 3000 while the stream restarts or moves"},
                        {kAudioStopEnded, "restore now"},
                        {7, "restore now"}};
  for (const Case& c : cases) {
    RecordingSpeakerMuting muting;
    auto capture = std::make_unique<SyntheticLoopbackCapture>(Delivery::kManual, clock_);
    SyntheticLoopbackCapture* cap = capture.get();
    AudioPipeline pipeline(std::move(capture), muting, clock_, ScriptedOpusTransform::Absent());
    pipeline.SetTabletOnlySound(true);
    StreamAudioStart start;
    start.audio_enabled = true;
    start.sink = &sink_;
    pipeline.Start(start);
    pipeline.Stop(c.stop_mode);
    EXPECT_EQ(muting.Calls(), std::vector<std::string>({"mute on", c.call})) << c.stop_mode;
    EXPECT_FALSE(cap->Running());
    EXPECT_FALSE(pipeline.Encoder().Initialized());
    pipeline.Stop(c.stop_mode);  // nothing more to restore
    EXPECT_EQ(muting.Calls().size(), 2u);
  }
}

TEST_F(AudioPipelineTest, AReconnectWithinTheGraceTimeKeepsTheSpeakersMutedAndTheSequenceGoesOn) {
  Make();
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  ASSERT_TRUE(capture_->DeliverChunks(6));
  pipeline_->Stop(kAudioStopLinkLost);
  EXPECT_TRUE(muting_.RestorePending());
  clock_.AdvanceMs(3000);
  pipeline_->SetTabletOnlySound(true);  // the session passes the wish before starting
  StartStream();
  EXPECT_EQ(muting_.Calls(),
            std::vector<std::string>({"mute on", "restore after 5000 while the tablet reconnects", "mute on"}));
  EXPECT_FALSE(muting_.RestorePending());
  EXPECT_TRUE(muting_.Muted());
  EXPECT_EQ(muting_.Unmutes(), 0u) << "the speakers never became audible";
  ASSERT_TRUE(capture_->DeliverChunks(4));
  const std::vector<SentPacket> packets = sink_.Packets();
  ASSERT_EQ(packets.size(), 5u);
  ExpectContiguous(packets);
  EXPECT_EQ(packets[3].pts_us, static_cast<uint64_t>(StartUs() + 3'000'000));
}

TEST_F(AudioPipelineTest, WithoutStreamAudioNothingIsCapturedOrMuted) {
  testing::LogCapture log;
  Make();
  pipeline_->SetTabletOnlySound(true);
  StartStream(/*audio_enabled=*/false);
  EXPECT_FALSE(capture_->Running());
  EXPECT_TRUE(muting_.Calls().empty());
  EXPECT_FALSE(log.Contains(kKeepPlaying));
  pipeline_->Stop(kAudioStopEnded);
  EXPECT_TRUE(muting_.Calls().empty());
}

TEST_F(AudioPipelineTest, NothingIsSentWhileTheSessionsAudioIsInactive) {
  Make();
  StartStream();
  active_ = false;
  ASSERT_TRUE(capture_->DeliverChunks(6));
  EXPECT_EQ(sink_.Count(), 0u);
  active_ = true;
  ASSERT_TRUE(capture_->DeliverChunks(4));
  const std::vector<SentPacket> packets = sink_.Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].pts_us, static_cast<uint64_t>(StartUs() + 60'000)) << "time of the samples, not of the start";
}

TEST_F(AudioPipelineTest, PrepareProbesTheCaptureOnce) {
  testing::LogCapture log;
  Make();
  capture_->SetInitResult(kLoopbackModeEndpoint,
                          HostResult::Failure(kAudioCaptureErrorCode, "Default audio endpoint is unavailable",
                                              static_cast<HResult>(0x80070490u)));
  pipeline_->Prepare();
  pipeline_->Prepare();
  EXPECT_EQ(capture_->InitializeCalls(), 1u);
  EXPECT_EQ(log.Count("[AudioPipeline] Audio capture init failed code=7 msg=Default audio endpoint is unavailable "
                      "hr=0x80070490 -- audio will be unavailable"),
            1u);
  StartStream();
  EXPECT_EQ(log.Count("[AudioPipeline] Audio capture init failed code=7 msg=Default audio endpoint is unavailable "
                      "hr=0x80070490"),
            2u);
  EXPECT_FALSE(capture_->Running());
}

// Run under TSan: the encoder's setters come from another thread while the
// capture thread encodes, through libopus and through a platform transform
// (which, unlike the uninstrumented libopus, lets TSan see an unguarded call).
TEST_F(AudioPipelineTest, NetworkConditionsFromAnotherThreadWhileEncoding) {
  for (const bool libopus : {true, false}) {
    RecordingSink sink;
    Make(
        Delivery::kThread,
        libopus ? nullptr : std::make_unique<ScriptedOpusTransform>(std::make_shared<ScriptedOpusTransform::Script>()));
    capture_->SetMaxChunks(20'000);  // the thread delivers without pauses
    StartStream(true, &sink);
    ASSERT_TRUE(testing::WaitFor([&] { return sink.Count() >= 10; })) << libopus;
    std::thread control([&] {
      for (int i = 0; i < 5000; ++i) pipeline_->SetNetworkConditions(static_cast<float>(i % 30), i % 2 == 0);
    });
    control.join();
    const size_t during = sink.Count();
    pipeline_->Stop(kAudioStopEnded);
    const std::vector<SentPacket> packets = sink.Packets();
    EXPECT_GT(packets.size(), 10u) << libopus;
    EXPECT_GE(packets.size(), during);
    ExpectContiguous(packets);
    pipeline_.reset();
  }
}

}  // namespace
}  // namespace orvane
