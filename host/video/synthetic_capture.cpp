#include "host/video/synthetic_capture.h"

#include "host/common/logger.h"
#include "host/video/test_pattern.h"

namespace orvane {

std::array<uint8_t, 4> SyntheticCapturePixel(uint32_t x, uint32_t y, uint64_t n, uint32_t width, uint32_t height) {
  return TestPatternPixel(n, x, y, width, height);
}

SyntheticCaptureSource::SyntheticCaptureSource(SyntheticCaptureOptions options)
    : options_(options), clock_(options.clock ? *options.clock : SystemClock()) {}

SyntheticCaptureSource::~SyntheticCaptureSource() { Shutdown(); }

bool SyntheticCaptureSource::Initialize(const CaptureInitParams& params) {
  Shutdown();
  if (options_.size_from_monitor && CaptureSizeAcceptable(params.Width(), params.Height())) {
    options_.width = static_cast<uint32_t>(params.Width());
    options_.height = static_cast<uint32_t>(params.Height());
  }
  if (!CaptureSizeAcceptable(options_.width, options_.height)) {
    LogWarn("[Capture] GDI fallback has no valid monitor rectangle for %s", params.monitor_id.c_str());
    result_ = HostResult::Failure(1, "synthetic picture size out of range", kEInvalidArg);
    return false;
  }
  pool_ = FramePool<CpuImage>::Create();
  start_ms_ = clock_.TickMs();
  delivered_first_ = false;
  initialized_ = true;
  result_ = HostResult::Success();
  LogInfo("[Capture] Synthetic capture initialized (monitor=%s %ux%u change_ms=%u still_ms=%u)",
          params.monitor_id.c_str(), options_.width, options_.height, options_.change_ms, options_.still_ms);
  return true;
}

void SyntheticCaptureSource::Shutdown() {
  initialized_ = false;
  pool_.reset();  // images handed out keep their entries (and the pool) alive
}

CapturedFrame SyntheticCaptureSource::Acquire(uint32_t wait_ms, bool) {
  CapturedFrame frame;
  if (!initialized_) {
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  if (delivered_first_ && options_.still_ms > 0) {
    const uint64_t period = static_cast<uint64_t>(options_.change_ms) + options_.still_ms;
    const uint64_t phase = (clock_.TickMs() - start_ms_) % period;
    if (phase >= options_.change_ms) {
      // A still desktop: nothing new arrives within the wait.
      clock_.SleepMs(wait_ms);
      frame.status = CaptureStatus::kTimeout;
      return frame;
    }
  }
  FramePoolTake took = FramePoolTake::kOk;
  std::shared_ptr<CpuImage> image = pool_->Take(
      FramePoolKey{options_.width, options_.height, 0},
      [](const FramePoolKey& key) -> std::unique_ptr<CpuImage> { return HeapCpuImage::Create(key.width, key.height); },
      &took);
  if (!image) {
    buffer_warning_.Report("Synthetic capture", took, options_.width, options_.height, clock_.TickMs());
    frame.status = CaptureStatus::kFailed;
    result_ = HostResult::Failure(took == FramePoolTake::kAllHeld ? 3 : 2,
                                  took == FramePoolTake::kAllHeld ? "every frame buffer is held" : "out of memory",
                                  kEOutOfMemory);
    return frame;
  }
  const uint64_t n = picture_ + 1;
  RenderTestPattern(n, options_.width, options_.height, image->mutable_bytes(), static_cast<uint32_t>(image->stride()));
  picture_ = n;
  delivered_first_ = true;
  frame.status = CaptureStatus::kFrame;
  frame.width = options_.width;
  frame.height = options_.height;
  frame.image = std::move(image);
  return frame;
}

}  // namespace orvane
