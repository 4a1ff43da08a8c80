// The pipeline with the real speaker controller over a fake endpoint: what
// the user hears, and the lines the log shows.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "host/audio/audio_pipeline.h"
#include "host/audio/speaker_mute.h"
#include "host/audio/synthetic_loopback_capture.h"
#include "host/audio/testing/scripted_opus_transform.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

class Speakers final : public endpoint_mute::IEndpointVolume {
 public:
  bool DefaultRenderDeviceId(std::u16string* id, HostResult*) override {
    *id = u"speakers";
    return true;
  }
  bool GetState(std::u16string_view, endpoint_mute::EndpointState* state, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    state->muted = muted_;
    state->volume = 0.5f;
    return true;
  }
  bool SetMute(std::u16string_view, bool muted, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (muted_ && !muted) ++unmutes_;
    if (muted) ++mutes_;
    muted_ = muted;
    return true;
  }
  bool SetVolume(std::u16string_view, float, HostResult*) override { return true; }

  bool Muted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return muted_;
  }
  int Mutes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return mutes_;
  }
  int Unmutes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return unmutes_;
  }

 private:
  mutable std::mutex mu_;
  bool muted_ = false;
  int mutes_ = 0;
  int unmutes_ = 0;
};

class MemoryStore final : public host_output_mute::IMuteRecordStore {
 public:
  host_output_mute::MuteRecordLoadResult Load() override {
    std::lock_guard<std::mutex> lock(mu_);
    host_output_mute::MuteRecordLoadResult r;
    if (has_) {
      r.status = host_output_mute::MuteRecordLoad::kLoaded;
      r.record = record_;
    }
    return r;
  }
  bool Save(const host_output_mute::MuteRecord& record, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    record_ = record;
    has_ = true;
    return true;
  }
  bool Delete() override {
    std::lock_guard<std::mutex> lock(mu_);
    has_ = false;
    return true;
  }

 private:
  std::mutex mu_;
  bool has_ = false;
  host_output_mute::MuteRecord record_;
};

class NullSink final : public IAudioPacketSink {
 public:
  bool SendAudioPacket(uint32_t, uint64_t, uint8_t, const uint8_t*, size_t) override { return true; }
};

class AudioPipelineMuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AudioPipeline::ResetWarningLimitsForTest();
    auto capture = std::make_unique<SyntheticLoopbackCapture>(SyntheticLoopbackCapture::Delivery::kManual, clock_);
    capture_ = capture.get();
    pipeline_ = std::make_unique<AudioPipeline>(std::move(capture), controller_, clock_,
                                                testing::ScriptedOpusTransform::Absent());
  }
  void StartStream() {
    StreamAudioStart start;
    start.audio_enabled = true;
    start.sink = &sink_;
    pipeline_->Start(start);
  }

  ManualClock clock_;
  Speakers speakers_;
  MemoryStore store_;
  SpeakerMuteController controller_{speakers_, store_, clock_};
  NullSink sink_;
  SyntheticLoopbackCapture* capture_ = nullptr;
  std::unique_ptr<AudioPipeline> pipeline_;
};

TEST_F(AudioPipelineMuteTest, ALostLinkThatComesBackKeepsTheSpeakersMutedWithoutAGap) {
  testing::LogCapture log;
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  EXPECT_TRUE(speakers_.Muted());
  EXPECT_TRUE(log.Contains("[AudioMute] PC speakers muted (sound plays on the tablet only)"));
  pipeline_->Stop(kAudioStopLinkLost);
  EXPECT_TRUE(log.Contains("[AudioMute] PC speakers stay muted for up to 5000 ms while the tablet reconnects"));
  clock_.AdvanceMs(3000);
  controller_.PokeTimer();
  EXPECT_TRUE(speakers_.Muted());
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  EXPECT_TRUE(log.Contains("[AudioMute] PC speakers stay muted (sound plays on a tablet again)"));
  EXPECT_TRUE(speakers_.Muted());
  EXPECT_EQ(speakers_.Unmutes(), 0);
  pipeline_->Stop(kAudioStopEnded);
  EXPECT_FALSE(speakers_.Muted());
  EXPECT_TRUE(log.Contains("[AudioMute] PC speakers restored"));
}

TEST_F(AudioPipelineMuteTest, ARestartOrMoveWaitsThreeSeconds) {
  testing::LogCapture log;
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  pipeline_->Stop(kAudioStopRestartOrMove);
  EXPECT_TRUE(log.Contains("[AudioMute] PC speakers stay muted for up to 3000 ms while the stream restarts or moves"));
  EXPECT_TRUE(speakers_.Muted());
}

TEST_F(AudioPipelineMuteTest, EndpointLoopbackNeverMutesAndSharesTheControllersWarningLimit) {
  testing::LogCapture log;
  capture_->SetInitResult(kLoopbackModeProcess,
                          HostResult::Failure(kAudioCaptureErrorCode, "Process loopback activation failed"));
  pipeline_->SetTabletOnlySound(true);
  StartStream();
  EXPECT_EQ(capture_->Mode(), kLoopbackModeEndpoint);
  EXPECT_EQ(speakers_.Mutes(), 0);
  EXPECT_EQ(log.Count("[AudioMute] Could not mute the PC speakers; they keep playing"), 1u);
  clock_.AdvanceMs(4000);
  pipeline_->SetTabletOnlySound(true);
  pipeline_->Stop(kAudioStopLinkLost);
  StartStream();
  EXPECT_EQ(log.Count("[AudioMute] Could not mute the PC speakers; they keep playing"), 1u);
  EXPECT_EQ(speakers_.Mutes(), 0);
  EXPECT_FALSE(log.Contains("stay muted"));
}

}  // namespace
}  // namespace orvane
