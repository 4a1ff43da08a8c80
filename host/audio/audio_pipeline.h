#pragma once
// The PC sound of one session: loopback capture cut into 20 ms frames, each
// encoded into one Opus packet and handed to the session's audio packet sink
// with a sequence number, a presentation time on the host clock and its
// duration. It also decides whether the PC speakers are muted while the
// tablet plays the sound: only while the capture runs in process loopback,
// since an endpoint loopback tap goes quiet with the endpoint on most drivers.
//
// Start, Stop, SetTabletOnlySound and SetNetworkConditions are serialised by
// the pipeline's lock; the PCM callback runs on the capture thread without
// it (the capture is stopped before anything it uses changes), and the
// encoder has a mutex of its own for encoding and its setters.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/audio/audio_packet_sink.h"
#include "host/audio/loopback_capture.h"
#include "host/audio/opus_encoder.h"
#include "host/audio/speaker_muting.h"
#include "host/audio/stream_audio.h"
#include "host/common/clock.h"

namespace orvane {

// How audio ends (IStreamAudio::Stop).
inline constexpr int kAudioStopEnded = 0;
inline constexpr int kAudioStopLinkLost = 1;
inline constexpr int kAudioStopRestartOrMove = 2;

class AudioPipeline final : public IStreamAudio {
 public:
  static constexpr uint32_t kBitrateKbps = 64;
  static constexpr uint32_t kConstrainedBitrateKbps = 48;
  // A callback stamped later than this past the time of the samples already
  // buffered starts a new presentation timeline (audio resumed after quiet).
  static constexpr int64_t kReanchorThresholdUs = 40'000;
  static constexpr uint32_t kLinkLostGraceMs = 5000;
  static constexpr uint32_t kRestartGraceMs = 3000;
  static constexpr uint64_t kEncodeWarningIntervalMs = 1000;

  // transform: the platform Opus transform tried before libopus (null: the
  // machine's, MakePlatformOpusTransform()).
  AudioPipeline(std::unique_ptr<ILoopbackCapture> capture, ISpeakerMuting& muting, IClock& clock = SystemClock(),
                std::unique_ptr<IOpusTransform> transform = nullptr);
  ~AudioPipeline() override;
  AudioPipeline(const AudioPipeline&) = delete;
  AudioPipeline& operator=(const AudioPipeline&) = delete;

  void Prepare() override;
  void Start(const StreamAudioStart& start) override;
  // kAudioStopEnded restores the speakers now, kAudioStopLinkLost after
  // 5000 ms, kAudioStopRestartOrMove after 3000 ms (when this pipeline had
  // muted them); other values count as kAudioStopEnded.
  void Stop(int stop_mode) override;
  void SetMuteWish(bool tablet_only) override { SetTabletOnlySound(tablet_only); }
  void SetTabletOnlySound(bool on);
  // Expected loss (NaN as 0; the encoder takes 0..20) and 48 kbit/s when
  // constrained, else 64, while stream audio runs with a ready encoder.
  void SetNetworkConditions(float loss_pct, bool constrained) override;

  // Observations for tests and diagnostics.
  uint32_t FrameSize() const;  // samples per channel in one frame
  uint32_t Channels() const;
  int64_t FrameDurationUs() const;
  uint32_t NextSequence() const { return sequence_.load(std::memory_order_relaxed); }
  uint64_t Reanchors() const { return reanchors_.load(std::memory_order_relaxed); }
  bool SpeakersMutedByThisPipeline() const;
  bool ProcessLoopbackUnavailable() const;
  // Internally synchronised.
  OpusEncoder& Encoder() { return encoder_; }

  // Forgets when the process-wide warnings were last logged (tests).
  static void ResetWarningLimitsForTest();

 private:
  void StopCaptureLocked();
  void ClearFrameLocked();
  void RestartLocked(int mode);
  void ApplySpeakerRuleLocked();
  void OnPcm(const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us);
  void EncodeAndSendFrame();
  void WarnEncodeFailure(const HostResult& result);

  mutable std::mutex mu_;
  std::unique_ptr<ILoopbackCapture> capture_;
  ISpeakerMuting& muting_;
  IClock& clock_;
  OpusEncoder encoder_;

  // Under mu_.
  bool prepared_ = false;
  bool tablet_only_ = false;
  bool process_loopback_unavailable_ = false;
  bool muted_by_this_ = false;
  bool capture_running_ = false;

  // Written under mu_ while the capture is stopped; read (and the frame
  // state updated) by the capture thread while it runs.
  bool stream_audio_ = false;
  IAudioPacketSink* sink_ = nullptr;
  const std::atomic<bool>* active_ = nullptr;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  uint32_t frame_size_ = 0;
  int64_t frame_duration_us_ = 0;
  std::vector<int16_t> frame_;  // frame_size_ x channels_
  uint32_t buffered_frames_ = 0;
  bool pts_set_ = false;
  int64_t pts_us_ = 0;
  OpusPacket packet_;

  std::atomic<uint32_t> sequence_{0};  // never reset while the pipeline exists
  std::atomic<uint64_t> reanchors_{0};
};

// The pipeline over the machine's loopback capture and Opus encoder.
std::unique_ptr<IStreamAudio> MakeAudioPipeline(ISpeakerMuting& muting);

}  // namespace orvane
