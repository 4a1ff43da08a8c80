#pragma once
// A scripted video encoder for frame-loop and session tests: each submitted
// frame gives one access unit (optionally one frame late, optionally with
// keyframes of its own), marked 00 00 00 01 65 for keyframes and 41 else.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "host/video/video_encoder.h"

namespace orvane::testing {

class FakeVideoEncoder final : public IVideoEncoder {
 public:
  struct Submitted {
    int64_t timestamp_us = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool keyframe_requested = false;
    uint32_t bitrate_kbps = 0;
    uint32_t fps = 0;
    bool image_intact = true;  // the check below passed
  };

  // Settings (set before use).
  bool initialize_ok = true;
  bool lag_one = false;             // each unit comes out with the next submit
  uint32_t own_idr_every = 0;       // the encoder's own keyframe every N frames (0: never)
  size_t unit_bytes = 100;
  size_t keyframe_bytes = 1000;
  bool fail_encode = false;
  // Checks the pixels of each submitted frame (true: intact).
  std::function<bool(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height)> check_image;

  bool Initialize(VideoCodec, uint32_t width, uint32_t height, uint32_t, uint32_t) override;
  void Shutdown() override;
  bool Reset() override;
  bool NeedsReset() override { return false; }
  bool EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                  int64_t timestamp_us) override;
  bool EncodeTexture(const GpuTexture*, uint32_t, uint32_t, int64_t) override { return false; }
  bool ReceiveAccessUnit(EncodedAccessUnit* out) override;
  void RequestKeyframe() override;
  void SetBitrate(uint32_t kbps) override;
  void SetFrameSizeLimits(uint32_t vbv_bits, uint32_t min_qp) override;
  void SetFrameRate(uint32_t fps) override;
  void SetPreferredAdapter(uint64_t) override {}
  bool IsInitialized() override;
  bool IsGpuDirect() override { return false; }
  EncoderMode GetMode() override { return EncoderMode::kSw; }
  const char* GetModeName() override { return "SW"; }
  EncoderRuntimeInfo GetRuntimeInfo() override;
  std::shared_ptr<GpuDevice> GetDevice() override { return nullptr; }
  HostResult GetLastResult() override;
  void SetPreference(EncoderPreference) override {}

  std::vector<Submitted> SubmittedFrames();
  std::vector<std::pair<uint32_t, uint32_t>> Initializations();
  std::vector<std::pair<uint32_t, uint32_t>> FrameSizeLimits();

 private:
  std::mutex mu_;
  bool initialized_ = false;
  bool keyframe_pending_ = false;
  uint32_t bitrate_ = 0;
  uint32_t fps_ = 0;
  uint64_t frames_ = 0;
  std::deque<EncodedAccessUnit> ready_;
  std::deque<EncodedAccessUnit> held_;
  std::vector<Submitted> submitted_;
  std::vector<std::pair<uint32_t, uint32_t>> initializations_;
  std::vector<std::pair<uint32_t, uint32_t>> limits_;
  HostResult last_;
};

}  // namespace orvane::testing
