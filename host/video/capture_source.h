#pragma once
// The capture back-ends behind one interface, and what they hand out.
//
// Three back-ends fill the manager's slots in a fixed order: Desktop
// Duplication (kind 1), Windows Graphics Capture (kind 2) and a plain screen
// copy (kind 3: GDI on Windows, X11 shared memory on Linux, or the synthetic
// source where there is no desktop). A back-end that the platform lacks is an
// UnavailableCaptureSource, which fails every Initialize.
//
// Ownership: a CapturedFrame carries either `image` (BGRA in system memory)
// or `texture` (an upright B8G8R8A8_UNORM texture on the shared device), both
// counted references into the source's FramePool. They stay valid while
// anyone holds them, on any thread; the source never writes into a buffer
// that is still referenced.

#include <cstdint>
#include <memory>
#include <string>

#include "host/common/host_result.h"
#include "host/common/rate_limiter.h"
#include "host/video/frame_pool.h"
#include "host/video/gpu_device.h"

namespace orvane {

enum class CaptureStatus : int {
  kFrame = 0,
  kTimeout = 1,  // no new image within the wait
  kLost = 2,     // the capture must be re-created
  kFailed = 3,
};
const char* CaptureStatusName(CaptureStatus status);  // "frame", "timeout", "lost", "failed"

// Back-end kinds; the numbers are fixed.
enum class CaptureBackendKind : int { kNone = 0, kDxgi = 1, kWgc = 2, kGdi = 3 };
const char* CaptureBackendName(CaptureBackendKind kind);  // "none", "dxgi", "wgc", "gdi"

// The user's back-end choice (capture settings): 0 auto, 1 dxgi, 2 wgc.
enum class CaptureBackendChoice : int { kAuto = 0, kDxgi = 1, kWgc = 2 };
const char* CaptureBackendChoiceName(CaptureBackendChoice choice);  // "auto", "dxgi", "wgc"
// Values outside 0..2 are auto.
CaptureBackendChoice CaptureBackendChoiceFromInt(int value);

// Widths and heights a source accepts (1..16384 each).
inline constexpr uint32_t kMaxCaptureSide = 16384;
// True when both sides lie in 1..kMaxCaptureSide.
bool CaptureSizeAcceptable(int64_t width, int64_t height);

struct CaptureInitParams {
  std::string monitor_id;      // MonitorInfoData::id
  uintptr_t monitor_handle = 0;  // the platform monitor handle (HMONITOR) found now; 0 when missing
  int32_t left = 0;            // monitor rectangle, virtual-desktop pixels
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  uint32_t index = 0;  // the monitor's enumeration index
  // The encoder's device when it runs GPU-direct, else null.
  std::shared_ptr<GpuDevice> shared_device;

  int64_t Width() const { return static_cast<int64_t>(right) - left; }
  int64_t Height() const { return static_cast<int64_t>(bottom) - top; }
};

// BGRA pixels in system memory, top row first, owned by a frame pool entry.
// Platform storage (a shared-memory segment, a DIB section) derives from it.
class CpuImage {
 public:
  CpuImage(uint8_t* data, int32_t stride, uint32_t width, uint32_t height)
      : data_(data), stride_(stride), width_(width), height_(height) {}
  virtual ~CpuImage() = default;
  CpuImage(const CpuImage&) = delete;
  CpuImage& operator=(const CpuImage&) = delete;

  const uint8_t* bytes() const { return data_; }
  uint8_t* mutable_bytes() { return data_; }  // for the source, before it hands the image out
  int32_t stride() const { return stride_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

 protected:
  uint8_t* data_;
  int32_t stride_;
  uint32_t width_;
  uint32_t height_;
};

// A CpuImage on the heap (stride = width x 4). Null when the size is not
// acceptable or the memory cannot be had.
class HeapCpuImage final : public CpuImage {
 public:
  static std::unique_ptr<HeapCpuImage> Create(uint32_t width, uint32_t height);

 private:
  HeapCpuImage(std::unique_ptr<uint8_t[]> storage, uint32_t width, uint32_t height);
  std::unique_ptr<uint8_t[]> storage_;
};

struct CapturedFrame {
  CaptureStatus status = CaptureStatus::kTimeout;
  std::shared_ptr<const CpuImage> image;      // empty when a texture is returned
  std::shared_ptr<const GpuTexture> texture;  // empty when an image is returned
  uint32_t width = 0;                         // after rotation correction
  uint32_t height = 0;
  bool protected_content = false;  // Desktop Duplication masked protected content

  bool HasImage() const { return image != nullptr || texture != nullptr; }
};

class ICaptureSource {
 public:
  virtual ~ICaptureSource() = default;
  virtual CaptureBackendKind Kind() const = 0;
  // Releases any previous state first; a failed Initialize leaves the source
  // shut down.
  virtual bool Initialize(const CaptureInitParams& params) = 0;
  // Releases every platform object; the source can be initialised again.
  // Images already handed out stay valid.
  virtual void Shutdown() = 0;
  virtual CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) = 0;
  // The source captures on the shared device, so textures can go to the
  // encoder directly.
  virtual bool GpuHandoff() const = 0;
  // The last failure (code 0 after a success).
  virtual HostResult LastResult() const = 0;
};

// A back-end this platform does not have: every Initialize fails with
// "[Capture] %s is not available on this platform".
class UnavailableCaptureSource final : public ICaptureSource {
 public:
  explicit UnavailableCaptureSource(CaptureBackendKind kind) : kind_(kind) {}
  CaptureBackendKind Kind() const override { return kind_; }
  bool Initialize(const CaptureInitParams& params) override;
  void Shutdown() override {}
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return false; }
  HostResult LastResult() const override { return result_; }

 private:
  CaptureBackendKind kind_;
  HostResult result_;
};

// When a source that copies a fixed rectangle (GDI, X11) looks again at its
// monitor's rectangle: at most once per second, so that a mode or topology
// change is noticed (the frame is then lost) without a platform query per
// frame.
class MonitorRectCheck {
 public:
  static constexpr uint64_t kIntervalMs = 1000;
  void Restart(uint64_t now_ms) { last_ms_ = now_ms; }
  // True when a check is due now (and counts it as done).
  bool Due(uint64_t now_ms) {
    if (now_ms - last_ms_ < kIntervalMs) return false;
    last_ms_ = now_ms;
    return true;
  }

 private:
  uint64_t last_ms_ = 0;
};

// A source's warning when its frame pool cannot give it a buffer (every
// entry held by the pipeline, or none could be made): at most every 2 s,
// with the number suppressed. The frame fails (status 3).
class FrameBufferWarning {
 public:
  static constexpr uint64_t kIntervalMs = 2000;
  void Report(const char* source, FramePoolTake why, uint32_t width, uint32_t height, uint64_t now_ms);

 private:
  RateLimiter limiter_{kIntervalMs};
};

// The three back-ends of this platform, in slot order (dxgi, wgc, screen copy).
struct CaptureSourceSet {
  std::unique_ptr<ICaptureSource> dxgi;
  std::unique_ptr<ICaptureSource> wgc;
  std::unique_ptr<ICaptureSource> gdi;
};
CaptureSourceSet MakePlatformCaptureSources();

}  // namespace orvane
