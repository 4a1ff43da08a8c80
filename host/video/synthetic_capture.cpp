#include "host/video/synthetic_capture.h"

#include <algorithm>

#include "host/common/logger.h"

namespace orvane {

std::array<uint8_t, 4> SyntheticCapturePixel(uint32_t x, uint32_t y, uint64_t n) {
  return {static_cast<uint8_t>((x + n) & 0xFF), static_cast<uint8_t>((y + 2 * n) & 0xFF),
          static_cast<uint8_t>((x ^ y ^ n) & 0xFF), 0xFF};
}

SyntheticCaptureSource::SyntheticCaptureSource(SyntheticCaptureOptions options)
    : options_(options), clock_(options.clock ? *options.clock : SystemClock()) {}

SyntheticCaptureSource::~SyntheticCaptureSource() { Shutdown(); }

bool SyntheticCaptureSource::Initialize(const CaptureInitParams& params) {
  Shutdown();
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
  uint8_t* rows = image->mutable_bytes();
  for (uint32_t y = 0; y < options_.height; ++y) {
    uint8_t* p = rows + static_cast<size_t>(y) * static_cast<size_t>(image->stride());
    for (uint32_t x = 0; x < options_.width; ++x, p += 4) {
      const std::array<uint8_t, 4> px = SyntheticCapturePixel(x, y, n);
      std::copy(px.begin(), px.end(), p);
    }
  }
  picture_ = n;
  delivered_first_ = true;
  frame.status = CaptureStatus::kFrame;
  frame.width = options_.width;
  frame.height = options_.height;
  frame.image = std::move(image);
  return frame;
}

}  // namespace orvane
