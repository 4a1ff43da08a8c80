#pragma once
// Desktop Duplication capture (Windows build only).

#include <cstdint>
#include <memory>
#include <string>

#include "host/common/clock.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_converter_win.h"
#include "host/video/capture_source.h"
#include "host/video/d3d11_util_win.h"

namespace orvane {

class DxgiCaptureSource final : public ICaptureSource {
 public:
  // clock: SystemClock() when null.
  explicit DxgiCaptureSource(IClock* clock = nullptr);
  ~DxgiCaptureSource() override;
  DxgiCaptureSource(const DxgiCaptureSource&) = delete;
  DxgiCaptureSource& operator=(const DxgiCaptureSource&) = delete;

  CaptureBackendKind Kind() const override { return CaptureBackendKind::kDxgi; }
  bool Initialize(const CaptureInitParams& params) override;
  void Shutdown() override;
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return handoff_; }
  HostResult LastResult() const override { return result_; }

 private:
  bool Fail(int code, const char* message, HRESULT hr);
  void ReleaseHeldFrame();
  void RefreshWhiteLevel(uint64_t now_ms);

  IClock& clock_;
  CaptureInitParams params_;
  std::shared_ptr<D3D11Device> device_;
  ComPtr<IDXGIOutputDuplication> duplication_;
  bool holding_frame_ = false;
  bool handoff_ = false;
  bool delivered_first_ = false;
  std::wstring device_name_;
  OutputColor color_;
  uint32_t desktop_width_ = 0;
  uint32_t desktop_height_ = 0;
  uint32_t rotation_ = 0;  // degrees, from the duplication
  bool white_read_ = false;
  uint64_t white_read_ms_ = 0;
  bool logged_frames_ = false;
  uint32_t last_format_ = 0;
  uint32_t last_rotation_ = 0;
  bool warned_unrotated_ = false;
  CaptureConverter converter_;
  GpuFrameDelivery delivery_{"Desktop Duplication"};
  RateLimiter acquire_warn_{FrameBufferWarning::kIntervalMs};
  RateLimiter converter_warn_{FrameBufferWarning::kIntervalMs};
  HostResult result_;
};

}  // namespace orvane
