#pragma once
// SyntheticCaptureSource: the screen-copy slot where there is no desktop to
// copy (Linux without an X display, and tests). Picture n is the test pattern
// (host/video/test_pattern.h) with counter n, so a receiver reads n from the
// picture and can check every pixel.
//
// Time alternates between change periods (change_ms long), in which every
// Acquire delivers the next picture n + 1, and still periods (still_ms), in
// which Acquire waits out its wait on the clock and times out. The first
// Acquire after Initialize always delivers a picture.
//

#include <array>
#include <cstdint>
#include <memory>

#include "host/common/clock.h"
#include "host/video/capture_source.h"
#include "host/video/frame_pool.h"

namespace orvane {

// Pixel (x, y) of the synthetic picture n of this size, as bytes B, G, R, A.
std::array<uint8_t, 4> SyntheticCapturePixel(uint32_t x, uint32_t y, uint64_t n, uint32_t width, uint32_t height);

struct SyntheticCaptureOptions {
  uint32_t width = 1920;
  uint32_t height = 1080;
  uint32_t change_ms = 1000;
  uint32_t still_ms = 0;  // 0: the picture changes on every Acquire
  IClock* clock = nullptr;  // SystemClock() when null
  // The picture takes the size of the monitor it is initialised for (when
  // its rectangle is a capturable size), as a screen copy would.
  bool size_from_monitor = false;
};

class SyntheticCaptureSource final : public ICaptureSource {
 public:
  explicit SyntheticCaptureSource(SyntheticCaptureOptions options);
  ~SyntheticCaptureSource() override;

  CaptureBackendKind Kind() const override { return CaptureBackendKind::kGdi; }
  bool Initialize(const CaptureInitParams& params) override;
  void Shutdown() override;
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return false; }
  HostResult LastResult() const override { return result_; }

  // The number of the last picture delivered (0 before the first).
  uint64_t LastPicture() const { return picture_; }

 private:
  SyntheticCaptureOptions options_;
  IClock& clock_;
  bool initialized_ = false;
  bool delivered_first_ = false;
  uint64_t start_ms_ = 0;
  uint64_t picture_ = 0;
  std::shared_ptr<FramePool<CpuImage>> pool_;
  FrameBufferWarning buffer_warning_;
  HostResult result_;
};

}  // namespace orvane
