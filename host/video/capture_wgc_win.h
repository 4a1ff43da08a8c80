#pragma once
// Windows Graphics Capture (Windows build only).

#include <cstdint>
#include <memory>

#include "host/common/clock.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_converter_win.h"
#include "host/video/capture_source.h"
#include "host/video/d3d11_util_win.h"

namespace orvane {

class WgcCaptureSource final : public ICaptureSource {
 public:
  // clock: SystemClock() when null.
  explicit WgcCaptureSource(IClock* clock = nullptr);
  ~WgcCaptureSource() override;
  WgcCaptureSource(const WgcCaptureSource&) = delete;
  WgcCaptureSource& operator=(const WgcCaptureSource&) = delete;

  CaptureBackendKind Kind() const override { return CaptureBackendKind::kWgc; }
  bool Initialize(const CaptureInitParams& params) override;
  // Revokes the frame-arrived subscription, closes the session and the frame
  // pool, and only then closes the event.
  void Shutdown() override;
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return handoff_; }
  HostResult LastResult() const override { return result_; }

 private:
  struct Session;  // the platform objects of one initialisation
  bool Fail(int code, const char* message, HRESULT hr);

  IClock& clock_;
  std::unique_ptr<Session> session_;
  bool handoff_ = false;
  bool logged_frames_ = false;
  uint32_t last_format_ = 0;
  uint32_t last_rotation_ = 0;
  bool warned_unrotated_ = false;
  CaptureConverter converter_;
  GpuFrameDelivery delivery_{"WGC"};
  RateLimiter warn_limiter_{FrameBufferWarning::kIntervalMs};
  HostResult result_;
};

}  // namespace orvane
