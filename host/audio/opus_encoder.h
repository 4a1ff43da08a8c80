#pragma once
// Opus encoding of the captured PCM: a platform encoder transform where the
// machine has one (Media Foundation on Windows), otherwise libopus. Each
// packet carries the presentation time given with the PCM of its frame and
// fits the media sender's audio payload (1200 bytes).
//
// One mutex guards the encoder: Encode runs on the capture thread while the
// setters come from the session's threads.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "host/common/host_result.h"
#include "host/transport/media_packet.h"

struct OpusEncoder;  // libopus

namespace orvane {

// HostResult code of encoder failures.
inline constexpr int kOpusEncoderErrorCode = 6;
// The largest packet the media sender takes as one audio datagram.
inline constexpr size_t kMaxOpusPacketBytes = media::kMaxPayloadBytes;
// libopus's restricted low-delay application (OPUS_APPLICATION_RESTRICTED_LOWDELAY,
// 2051; 2049 is OPUS_APPLICATION_AUDIO): CELT only, the shortest look-ahead.
inline constexpr int kOpusApplicationRestrictedLowDelay = 2051;
inline constexpr int kOpusComplexity = 8;
inline constexpr int kOpusMaxExpectedLossPercent = 20;
// One Encode call takes at most this much PCM (one second at 48 kHz).
inline constexpr uint32_t kMaxOpusEncodeFrames = 48'000;

enum class OpusBackend : int { kNone = 0, kTransform = 1, kLibopus = 2 };
const char* OpusBackendName(OpusBackend backend);  // "none", "MFT", "libopus"

struct OpusPacket {
  std::vector<uint8_t> data;
  int64_t pts_us = 0;
  uint8_t duration_ms = 0;
};

// The machine's own Opus encoder (Media Foundation transform on Windows; none
// elsewhere). Called with the OpusEncoder's mutex held.
class IOpusTransform {
 public:
  virtual ~IOpusTransform() = default;
  // Sets up for 16-bit PCM of that rate and channel count. False with
  // LastResult() ("No Opus MFT encoder found" where the machine has none).
  virtual bool Initialize(uint32_t sample_rate, uint32_t channels, uint32_t kbps) = 0;
  // One frame of interleaved PCM in; its packet (stamped pts_us) out. False
  // with LastResult(), also when the transform holds the frame for more input.
  virtual bool Encode(const int16_t* pcm, uint32_t frames, uint32_t channels, int64_t pts_us, OpusPacket* out) = 0;
  // False when the running transform cannot change its rate.
  virtual bool SetBitrate(uint32_t kbps) = 0;
  virtual void Reset() = 0;
  virtual HostResult LastResult() const = 0;
};

// Media Foundation on Windows; on Linux a transform that never initialises.
std::unique_ptr<IOpusTransform> MakePlatformOpusTransform();

// What libopus reports through its OPUS_GET_* requests.
struct LibopusSettings {
  int application = 0;
  int bitrate_bps = 0;
  int vbr = 0;
  int vbr_constraint = 0;
  int inband_fec = 0;
  int dtx = 0;
  int complexity = 0;
  int packet_loss_percent = 0;
  int sample_rate = 0;
  int channels = 0;
};

class OpusEncoder {
 public:
  // transform: the platform transform to try first (null: libopus only).
  explicit OpusEncoder(std::unique_ptr<IOpusTransform> transform = MakePlatformOpusTransform());
  ~OpusEncoder();
  OpusEncoder(const OpusEncoder&) = delete;
  OpusEncoder& operator=(const OpusEncoder&) = delete;

  // Resets, then sets up the transform or else libopus for 16-bit PCM of that
  // rate and channel count at kbps. False with LastResult() when neither works.
  bool Initialize(uint32_t sample_rate, uint32_t channels, uint32_t kbps);

  // Interleaved PCM (frames x channels samples, at most kMaxOpusEncodeFrames
  // frames) whose first frame is presented at pts_us. True with the oldest
  // finished packet in *out; a frame that starts within this call carries
  // pts_us plus its offset. False with the result in *failure (when given) and
  // LastResult(), e.g. "libopus requires more PCM input" while no frame is
  // complete.
  bool Encode(const int16_t* pcm, uint32_t frames, uint32_t channels, int64_t pts_us, OpusPacket* out,
              HostResult* failure = nullptr);

  void SetBitrate(uint32_t kbps);
  // Clamped to 0..kOpusMaxExpectedLossPercent.
  void SetExpectedLoss(int percent);
  // Back to no backend; buffered PCM and packets are dropped.
  void Reset();

  bool Initialized() const;
  OpusBackend Backend() const;
  uint32_t SampleRate() const;
  uint32_t Channels() const;
  uint32_t BitrateKbps() const;
  int ExpectedLossPercent() const;
  // Samples per channel in one 20 ms frame, and its duration in ms.
  uint32_t FrameSize() const;
  uint8_t FrameDurationMs() const;
  HostResult LastResult() const;
  // Why the transform was not used at the last Initialize (success when it was).
  HostResult TransformResult() const;
  // libopus's own view of its settings; false when libopus is not the backend.
  bool ReadLibopusSettings(LibopusSettings* out) const;

 private:
  void ResetLocked();
  bool InitializeLibopusLocked(uint32_t kbps);
  bool EncodeLibopusLocked(const int16_t* pcm, uint32_t frames, int64_t pts_us, OpusPacket* out);
  bool EncodeOneLibopusFrameLocked(const int16_t* frame, int64_t pts_us, OpusPacket* target);
  bool FailLocked(HostResult result, HostResult* failure);

  mutable std::mutex mu_;
  std::unique_ptr<IOpusTransform> transform_;
  OpusBackend backend_ = OpusBackend::kNone;
  bool initialized_ = false;
  uint32_t sample_rate_ = 0;
  uint32_t channels_ = 0;
  uint32_t bitrate_kbps_ = 0;
  int expected_loss_ = 0;
  uint32_t frame_size_ = 0;
  uint8_t frame_duration_ms_ = 20;
  ::OpusEncoder* libopus_ = nullptr;
  // PCM of a frame begun by an earlier call, and the time of its first sample.
  std::vector<int16_t> pending_;
  int64_t pending_pts_us_ = 0;
  std::deque<OpusPacket> queue_;
  HostResult last_result_;
  HostResult transform_result_;
};

}  // namespace orvane
