#pragma once
// The X server as the Linux build's desktop.
//
// X11ShmCaptureSource is the screen-copy slot: the monitor's rectangle of the
// root window read with XShmGetImage into MIT-SHM segments taken from a
// FramePool. Each image is one segment; the source detaches its segments from
// the server when it shuts down, and an image released after that only
// unmaps its memory, so it may outlive the source and its connection.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "host/common/clock.h"
#include "host/common/x11_connection_linux.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_source.h"
#include "host/video/frame_pool.h"

namespace orvane {

class X11ShmCaptureSource final : public ICaptureSource {
 public:
  // The monitor's rectangle is checked against the server at most this often.

  // clock: SystemClock() when null.
  explicit X11ShmCaptureSource(IClock* clock = nullptr);
  ~X11ShmCaptureSource() override;

  CaptureBackendKind Kind() const override { return CaptureBackendKind::kGdi; }
  bool Initialize(const CaptureInitParams& params) override;
  void Shutdown() override;
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return false; }
  HostResult LastResult() const override { return result_; }

  struct Impl;

 private:
  CapturedFrame Lost(const char* why);
  CapturedFrame Failed(int code, const std::string& why, bool log);
  bool RectUnchanged();

  IClock& clock_;
  std::unique_ptr<Impl> impl_;
  std::shared_ptr<FramePool<CpuImage>> pool_;
  FrameBufferWarning buffer_warning_;
  RateLimiter failure_limiter_{FrameBufferWarning::kIntervalMs};
  HostResult result_;
};

}  // namespace orvane
