#include "host/audio/audio_pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "host/audio/speaker_mute.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

// When the process last logged the encode warning, as tick + 1 (0: never):
// shared by every pipeline.
std::atomic<uint64_t> g_encode_warning_tick{0};

bool AllowOncePer(std::atomic<uint64_t>& last, uint64_t now_ms, uint64_t interval_ms) {
  uint64_t seen = last.load(std::memory_order_relaxed);
  for (;;) {
    if (seen != 0 && now_ms + 1 >= seen && now_ms + 1 - seen < interval_ms) return false;
    if (last.compare_exchange_weak(seen, now_ms + 1, std::memory_order_relaxed)) return true;
  }
}

unsigned long HrBits(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

// Formats the pipeline takes from a capture.
constexpr uint32_t kMaxRate = 384'000;
constexpr uint32_t kMaxChannels = 8;

}  // namespace

AudioPipeline::AudioPipeline(std::unique_ptr<ILoopbackCapture> capture, ISpeakerMuting& muting, IClock& clock,
                             std::unique_ptr<IOpusTransform> transform)
    : capture_(std::move(capture)),
      muting_(muting),
      clock_(clock),
      encoder_(transform ? std::move(transform) : MakePlatformOpusTransform()) {}

AudioPipeline::~AudioPipeline() {
  std::lock_guard<std::mutex> lock(mu_);
  StopCaptureLocked();
  if (muted_by_this_) {
    muting_.RestoreSpeakersNow();
    muted_by_this_ = false;
  }
  encoder_.Reset();
}

void AudioPipeline::ResetWarningLimitsForTest() {
  g_encode_warning_tick.store(0);
  SpeakersKeepPlayingWarningLimit().Reset();
}

void AudioPipeline::StopCaptureLocked() {
  if (capture_) capture_->Stop();
  capture_running_ = false;
}

void AudioPipeline::ClearFrameLocked() {
  buffered_frames_ = 0;
  pts_set_ = false;
  pts_us_ = 0;
}

void AudioPipeline::Prepare() {
  std::lock_guard<std::mutex> lock(mu_);
  if (prepared_ || !capture_) return;
  prepared_ = true;
  if (capture_->Initialized()) return;
  if (!capture_->Initialize(kLoopbackModeEndpoint)) {
    const HostResult r = capture_->LastResult();
    LogInfo("[AudioPipeline] Audio capture init failed code=%d msg=%s hr=0x%08lX -- audio will be unavailable", r.code,
            r.message.c_str(), HrBits(r.hr));
  }
}

void AudioPipeline::Start(const StreamAudioStart& start) {
  std::lock_guard<std::mutex> lock(mu_);
  // What the callback reads changes below.
  StopCaptureLocked();
  ClearFrameLocked();
  sink_ = start.sink;
  active_ = start.active;
  stream_audio_ = start.audio_enabled && start.sink != nullptr && capture_ != nullptr;
  if (start.audio_enabled && start.sink == nullptr) {
    LogWarn("[AudioPipeline] Stream audio has no packet sink; audio stays off");
  }
  if (stream_audio_) {
    int mode = kLoopbackModeEndpoint;
    if (tablet_only_ && !process_loopback_unavailable_) {
      mode = kLoopbackModeProcess;
    } else if (capture_->Initialized()) {
      mode = capture_->Mode();
    }
    RestartLocked(mode);
  }
  ApplySpeakerRuleLocked();
}

void AudioPipeline::RestartLocked(int mode) {
  StopCaptureLocked();
  ClearFrameLocked();
  encoder_.Reset();
  if (!capture_->Initialized() || capture_->Mode() != mode) {
    if (!capture_->Initialize(mode)) {
      const HostResult r = capture_->LastResult();
      LogWarn("[AudioPipeline] Audio capture init failed code=%d msg=%s hr=0x%08lX", r.code, r.message.c_str(),
              HrBits(r.hr));
      return;
    }
    if (mode == kLoopbackModeProcess && capture_->Mode() != kLoopbackModeProcess) {
      process_loopback_unavailable_ = true;
    }
  }
  // The frame follows the format the capture delivers now (a restart may
  // have changed mode and format).
  const AudioFormat format = capture_->Format();
  if (format.sample_rate == 0 || format.sample_rate > kMaxRate || format.channels == 0 ||
      format.channels > kMaxChannels) {
    const HostResult r =
        HostResult::Failure(kAudioCaptureErrorCode, "Audio capture format is not usable", kEInvalidArg);
    LogWarn("[AudioPipeline] Audio capture init failed code=%d msg=%s hr=0x%08lX", r.code, r.message.c_str(),
            HrBits(r.hr));
    return;
  }
  rate_ = format.sample_rate;
  channels_ = format.channels;
  frame_size_ = std::max<uint32_t>(1, rate_ * 20 / 1000);
  frame_duration_us_ = std::max<int64_t>(1000, static_cast<int64_t>(frame_size_) * 1'000'000 / rate_);
  frame_.assign(static_cast<size_t>(frame_size_) * channels_, 0);

  if (!encoder_.Initialize(rate_, channels_, kBitrateKbps)) {
    const HostResult r = encoder_.LastResult();
    LogWarn("[AudioPipeline] Opus encoder init issue code=%d msg=%s hr=0x%08lX", r.code, r.message.c_str(),
            HrBits(r.hr));
    // Without an encoder the capture would only feed failures.
    return;
  }
  if (!capture_->Start([this](const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us) {
        OnPcm(samples, frames, channels, timestamp_us);
      })) {
    const HostResult r = capture_->LastResult();
    LogWarn("[AudioPipeline] Audio capture start failed code=%d msg=%s hr=0x%08lX", r.code, r.message.c_str(),
            HrBits(r.hr));
    return;
  }
  capture_running_ = true;
}

void AudioPipeline::ApplySpeakerRuleLocked() {
  const bool process_loopback_runs =
      capture_running_ && capture_->Mode() == kLoopbackModeProcess && encoder_.Initialized();
  if (tablet_only_ && stream_audio_ && process_loopback_runs) {
    muting_.SetTabletMuting(true);
    muted_by_this_ = true;
    return;
  }
  if (muted_by_this_) {
    muting_.SetTabletMuting(false);
    muted_by_this_ = false;
  }
  // Muting the endpoint would silence an endpoint loopback too: the speakers
  // keep playing. The controller is not asked, so the pipeline gives its
  // warning, under the controller's process-wide 10 s limit.
  if (tablet_only_ && stream_audio_) WarnSpeakersKeepPlaying(clock_.TickMs());
}

void AudioPipeline::Stop(int stop_mode) {
  std::lock_guard<std::mutex> lock(mu_);
  if (muted_by_this_) {
    switch (stop_mode) {
      case kAudioStopLinkLost: muting_.RestoreSpeakersAfter(kLinkLostGraceMs, "while the tablet reconnects"); break;
      case kAudioStopRestartOrMove:
        muting_.RestoreSpeakersAfter(kRestartGraceMs, "while the stream restarts or moves");
        break;
      default: muting_.RestoreSpeakersNow(); break;
    }
    muted_by_this_ = false;
  }
  StopCaptureLocked();
  encoder_.Reset();
  ClearFrameLocked();
  stream_audio_ = false;
  sink_ = nullptr;
  active_ = nullptr;
}

void AudioPipeline::SetTabletOnlySound(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  tablet_only_ = on;
  if (on && stream_audio_ && capture_->Initialized() && !process_loopback_unavailable_ &&
      capture_->Mode() != kLoopbackModeProcess) {
    RestartLocked(kLoopbackModeProcess);
  }
  ApplySpeakerRuleLocked();
}

void AudioPipeline::SetNetworkConditions(float loss_pct, bool constrained) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!stream_audio_ || !encoder_.Initialized()) return;
  const float loss = std::isfinite(loss_pct) ? std::clamp(loss_pct, 0.0f, 100.0f) : 0.0f;
  encoder_.SetExpectedLoss(static_cast<int>(std::lround(loss)));
  encoder_.SetBitrate(constrained ? kConstrainedBitrateKbps : kBitrateKbps);
}

uint32_t AudioPipeline::FrameSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frame_size_;
}

uint32_t AudioPipeline::Channels() const {
  std::lock_guard<std::mutex> lock(mu_);
  return channels_;
}

int64_t AudioPipeline::FrameDurationUs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frame_duration_us_;
}

bool AudioPipeline::SpeakersMutedByThisPipeline() const {
  std::lock_guard<std::mutex> lock(mu_);
  return muted_by_this_;
}

bool AudioPipeline::ProcessLoopbackUnavailable() const {
  std::lock_guard<std::mutex> lock(mu_);
  return process_loopback_unavailable_;
}

void AudioPipeline::WarnEncodeFailure(const HostResult& r) {
  if (r.message.find("requires more PCM input") != std::string::npos ||
      r.message.find("requires more input") != std::string::npos) {
    return;
  }
  if (!AllowOncePer(g_encode_warning_tick, clock_.TickMs(), kEncodeWarningIntervalMs)) return;
  LogWarn("[AudioPipeline] Encode skipped/failure code=%d msg=%s hr=0x%08lX", r.code, r.message.c_str(), HrBits(r.hr));
}

void AudioPipeline::EncodeAndSendFrame() {
  HostResult failure;
  if (encoder_.Encode(frame_.data(), frame_size_, channels_, pts_us_, &packet_, &failure)) {
    const uint64_t pts = packet_.pts_us > 0 ? static_cast<uint64_t>(packet_.pts_us) : 0;
    const uint32_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
    // The sender logs what it refuses.
    (void)sink_->SendAudioPacket(sequence, pts, packet_.duration_ms, packet_.data.data(), packet_.data.size());
  } else {
    WarnEncodeFailure(failure);
  }
  // A dropped frame still takes its time, so later packets keep their times.
  pts_us_ += frame_duration_us_;
  buffered_frames_ = 0;
}

void AudioPipeline::OnPcm(const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us) {
  if (!stream_audio_ || sink_ == nullptr) return;
  if (active_ != nullptr && !active_->load(std::memory_order_acquire)) return;
  if (samples == nullptr || frames == 0 || channels == 0) return;
  if (channels != channels_) {
    WarnEncodeFailure(
        HostResult::Failure(kOpusEncoderErrorCode, "Audio channel count changed during Opus encoding", kEInvalidArg));
    return;
  }
  if (!pts_set_) {
    pts_us_ = timestamp_us;
    pts_set_ = true;
  } else {
    // The capture delivers nothing while the PC is quiet: samples that come
    // after such a spell start a new timeline at their own time.
    const int64_t buffered_until = pts_us_ + static_cast<int64_t>(buffered_frames_) * 1'000'000 / rate_;
    const int64_t ahead_us = timestamp_us - buffered_until;
    if (ahead_us > kReanchorThresholdUs) {
      if (buffered_frames_ > 0) {
        std::fill(frame_.begin() + static_cast<ptrdiff_t>(buffered_frames_) * channels_, frame_.end(), int16_t{0});
        EncodeAndSendFrame();
      }
      pts_us_ = timestamp_us;
      buffered_frames_ = 0;
      reanchors_.fetch_add(1, std::memory_order_relaxed);
      LogDebug("[AudioPipeline] Audio resumed %lld ms after its last samples; presentation time re-anchored",
               static_cast<long long>(ahead_us / 1000));
    }
  }
  size_t offset = 0;
  while (offset < frames) {
    const size_t n = std::min<size_t>(frame_size_ - buffered_frames_, frames - offset);
    std::memcpy(frame_.data() + static_cast<size_t>(buffered_frames_) * channels_, samples + offset * channels_,
                n * channels_ * sizeof(int16_t));
    buffered_frames_ += static_cast<uint32_t>(n);
    offset += n;
    if (buffered_frames_ == frame_size_) EncodeAndSendFrame();
  }
}

}  // namespace orvane
