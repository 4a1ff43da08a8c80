#pragma once
// The GDI screen copy, last resort of the capture (Windows build only).
//
// Every frame is copied into a DIB section of its own, taken from the
// source's FramePool and selected into the memory device context only for
// the copy, so an image stays intact while the pipeline holds it.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/common/clock.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_source.h"
#include "host/video/frame_pool.h"

namespace orvane {

class GdiCaptureSource final : public ICaptureSource {
 public:
  // The current rectangle of the monitor with this device name; false when
  // no such monitor exists now.
  using MonitorLookup = std::function<bool(const std::string& device_name, RECT* rect)>;
  // How often Acquire checks that the monitor kept its rectangle.

  // clock: SystemClock() when null; lookup: the desktop's monitors when empty.
  explicit GdiCaptureSource(IClock* clock = nullptr, MonitorLookup lookup = nullptr);
  ~GdiCaptureSource() override;
  GdiCaptureSource(const GdiCaptureSource&) = delete;
  GdiCaptureSource& operator=(const GdiCaptureSource&) = delete;

  CaptureBackendKind Kind() const override { return CaptureBackendKind::kGdi; }
  bool Initialize(const CaptureInitParams& params) override;
  void Shutdown() override;
  // Ignores the wait and the texture wish. Status 2 once the monitor is gone
  // or its rectangle changed.
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return false; }
  HostResult LastResult() const override { return result_; }

  // Bitmaps in the pool, held or free (diagnostics and tests).
  size_t PooledBuffers() const { return pool_->Size(); }

 private:
  bool MonitorChanged(uint64_t now_ms);

  IClock& clock_;
  MonitorLookup lookup_;
  // Kept across re-initialisations: bitmaps of the same size are reused, and
  // idle ones of another size are freed by the next frame.
  std::shared_ptr<FramePool<CpuImage>> pool_;
  std::string monitor_id_;
  RECT rect_{};
  bool tracked_ = false;  // the monitor was found by name, so changes are detected
  bool lost_ = false;
  MonitorRectCheck rect_check_;
  HDC screen_dc_ = nullptr;
  HDC memory_dc_ = nullptr;
  FrameBufferWarning buffer_warning_;
  RateLimiter blit_warn_{FrameBufferWarning::kIntervalMs};
  HostResult result_;
};

}  // namespace orvane
