#pragma once
// The Linux video encoder: libx264 (H.264, fed NV12) and libx265 (HEVC, fed
// I420) through libavcodec, behind the same IVideoEncoder as the Windows
// transforms. It is a software encoder: mode SW, no GPU device, no textures.
//
// Both libraries budget bits per frame from the frame rate they were opened
// with, whatever the timestamps say. libx264 takes new rates between frames,
// so a frame-rate change scales its bit rate by opened fps / current fps;
// libx265 takes none, so it is opened again at the next frame (an IDR
// follows), at most once a second. A change of the minimum QP re-opens
// libx264 the same way.
//
// The libraries get a picture clock of their own (evenly spaced at the
// opened frame rate, always increasing); each access unit leaves with the
// timestamp of the frame it came from, duplicates and steps back included.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/video/video_encoder.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace orvane {

// The libavcodec encoder names: "libx264" for H.264, "libx265" for HEVC.
const char* LibavEncoderName(VideoCodec codec);

class LibavVideoEncoder final : public IVideoEncoder {
 public:
  // The clock paces the re-opens of libx265 (at most one a second).
  explicit LibavVideoEncoder(IClock& clock);
  ~LibavVideoEncoder() override;
  LibavVideoEncoder(const LibavVideoEncoder&) = delete;
  LibavVideoEncoder& operator=(const LibavVideoEncoder&) = delete;

  bool Initialize(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps) override;
  void Shutdown() override;
  bool Reset() override;
  bool NeedsReset() override;
  bool EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                  int64_t timestamp_us) override;
  bool EncodeTexture(const GpuTexture* texture, uint32_t width, uint32_t height, int64_t timestamp_us) override;
  bool ReceiveAccessUnit(EncodedAccessUnit* out) override;
  void RequestKeyframe() override;
  void SetBitrate(uint32_t kbps) override;
  void SetFrameSizeLimits(uint32_t vbv_buffer_bits, uint32_t min_qp) override;
  void SetFrameRate(uint32_t fps) override;
  void SetPreferredAdapter(uint64_t adapter_luid) override;
  bool IsInitialized() override;
  bool IsGpuDirect() override;
  EncoderMode GetMode() override;
  const char* GetModeName() override;
  EncoderRuntimeInfo GetRuntimeInfo() override;
  std::shared_ptr<GpuDevice> GetDevice() override;
  HostResult GetLastResult() override;
  void SetPreference(EncoderPreference preference) override;

  // The largest width or height Initialize accepts.
  static constexpr uint32_t kMaxDimension = 8192;

 private:
  // The rates and limits a libavcodec context is opened or updated with.
  struct RateSettings {
    uint32_t fps = 60;       // normalised
    uint32_t kbps = 0;
    uint32_t vbv_bits = 0;   // 0: a quarter second of the bit rate
    uint32_t min_qp = 0;     // 0: the library's own
  };
  struct OpenedCodec;
  class ConversionHelper;

  bool InitializeLocked(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps);
  void ShutdownLocked();
  // Opens a context with the current settings; false leaves *out empty and
  // *error the libavcodec failure (0 when the encoder does not exist).
  bool OpenCodec(std::unique_ptr<OpenedCodec>* out, int* error);
  // Brings the open context up to the current rates before a frame: new rates
  // for libx264, a re-open (paced) for libx265 and for a new minimum QP.
  void ApplyPendingSettings();
  // After a change of the rates or limits: what the open context needs.
  void MarkRatesChanged();
  // Moves every packet the context has ready into the queue; false (with the
  // last result set and the failure counted) when libavcodec fails.
  bool CollectPackets();
  bool SendFrame(AVFrame* frame);
  void Fail(int code, const char* message, HResult hr);
  void CountFailure(HResult hr);

  IClock& clock_;
  std::mutex mu_;

  // The configuration Reset re-initialises with.
  VideoCodec codec_ = VideoCodec::kH264;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t fps_as_passed_ = 0;
  uint32_t kbps_remembered_ = 0;
  bool configured_ = false;

  RateSettings current_;   // what the caller asked for last
  EncoderPreference preference_ = EncoderPreference::kAuto;
  uint64_t preferred_adapter_luid_ = 0;

  std::unique_ptr<OpenedCodec> opened_;
  std::unique_ptr<ConversionHelper> helper_;  // large pictures: a second converting thread
  bool initialized_ = false;
  bool keyframe_requested_ = false;
  bool rates_dirty_ = false;      // libx264: push current rates before the next frame
  bool reopen_pending_ = false;   // re-open before the next frame once the pace allows
  uint64_t last_open_ms_ = 0;

  uint64_t inputs_submitted_ = 0;
  uint64_t outputs_produced_ = 0;
  uint32_t consecutive_failures_ = 0;
  bool needs_reset_ = false;

  std::deque<EncodedAccessUnit> queue_;
  std::vector<uint8_t> scaled_;  // frames of another size, letterboxed to the encoder's
  EncoderRuntimeInfo info_;
  HostResult last_result_;
};

}  // namespace orvane
