#pragma once
// Direct3D 11 and monitor helpers shared by the Windows capture back-ends
// (Windows build only).
//
// Every use of a device's immediate context (copies, Map/Unmap, draws, frame
// acquisition) runs inside D3D11DeviceLock: the encoder works on the same
// device from another thread, so the device's multithread protection is
// switched on and the lock enters and leaves it.

#include <windows.h>

#include <d3d10.h>
#include <d3d11.h>
#include <dxgi1_6.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/common/host_result.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_source.h"
#include "host/video/frame_pool.h"
#include "host/video/gpu_device.h"

namespace orvane {

using Microsoft::WRL::ComPtr;

// An HRESULT as the logger's 0x%08lX expects it.
inline unsigned long HrBits(HRESULT hr) { return static_cast<unsigned long>(hr); }
// The Win32 error of the last call as an HRESULT (E_FAIL when none was set).
HRESULT LastErrorHResult();
// Logs "[Capture] <what> failed: 0x%08lX" (warning) and returns false for a
// failed HRESULT, true otherwise: for platform calls without a line of their own.
bool CheckHr(HRESULT hr, const char* what);

uint64_t AdapterLuidValue(const LUID& luid);

// A Direct3D 11 device with its immediate context and multithread protection.
class D3D11Device final : public GpuDevice {
 public:
  // A device of its own on `adapter` (null: the default hardware adapter),
  // BGRA and video support on. Logs "[Capture] %s D3D11 device creation
  // failed: 0x%08lX" with `who` and returns null on failure.
  static std::shared_ptr<D3D11Device> Create(IDXGIAdapter* adapter, const char* who, HRESULT* hr_out);
  // Wraps an existing device (another reference is taken) and switches its
  // multithread protection on. `owner` keeps the object that lent the device
  // alive. Null when the device or its context cannot be reached.
  static std::shared_ptr<D3D11Device> Wrap(ID3D11Device* device, std::shared_ptr<GpuDevice> owner);

  uint64_t AdapterLuid() const override { return luid_; }
  void* Native() const override { return device_.Get(); }

  ID3D11Device* device() const { return device_.Get(); }
  ID3D11DeviceContext* context() const { return context_.Get(); }
  ID3D10Multithread* multithread() const { return multithread_.Get(); }

 private:
  D3D11Device() = default;
  bool Finish();  // context, protection, LUID

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D10Multithread> multithread_;
  std::shared_ptr<GpuDevice> owner_;
  uint64_t luid_ = 0;
};

// Holds the device's multithread lock for its scope.
class D3D11DeviceLock {
 public:
  explicit D3D11DeviceLock(const D3D11Device& device) : mt_(device.multithread()) {
    if (mt_ != nullptr) mt_->Enter();
  }
  ~D3D11DeviceLock() {
    if (mt_ != nullptr) mt_->Leave();
  }
  D3D11DeviceLock(const D3D11DeviceLock&) = delete;
  D3D11DeviceLock& operator=(const D3D11DeviceLock&) = delete;

 private:
  ID3D10Multithread* mt_;
};

// A texture handed out by a GPU back-end (an entry of its FramePool).
class D3D11Texture final : public GpuTexture {
 public:
  D3D11Texture(ComPtr<ID3D11Texture2D> texture, uint32_t width, uint32_t height, uint32_t format)
      : texture_(std::move(texture)), width_(width), height_(height), format_(format) {}
  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  uint32_t Format() const override { return format_; }
  void* Native() const override { return texture_.Get(); }
  ID3D11Texture2D* texture() const { return texture_.Get(); }

 private:
  ComPtr<ID3D11Texture2D> texture_;
  uint32_t width_;
  uint32_t height_;
  uint32_t format_;
};

// Copies a 4-byte-per-pixel BGRA texture into a pooled system-memory image:
// a staging texture kept per source (re-made when size or format change),
// copy, Map, rows copied into the image, Unmap, all under one device lock.
class StagingReadback {
 public:
  // `source` names the back-end in the frame-buffer warning.
  explicit StagingReadback(const char* source) : source_(source) {}
  // kFrame with *out set, or kFailed (logged).
  CaptureStatus Read(const D3D11Device& device, ID3D11Texture2D* texture, FramePool<CpuImage>& pool,
                     uint64_t now_ms, std::shared_ptr<CpuImage>* out, HostResult* result);
  void Reset() { staging_.Reset(); }

 private:
  const char* source_;
  ComPtr<ID3D11Texture2D> staging_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t format_ = 0;
  FrameBufferWarning buffer_warning_;
};

// A pooled system-memory BGRA image (stride = width x 4).
std::shared_ptr<CpuImage> TakeHeapImage(FramePool<CpuImage>& pool, uint32_t width, uint32_t height,
                                        FramePoolTake* took);

// ------------------------------------------------------------ monitors

// The monitor whose GDI device name is `device_name`, looked up now.
struct LiveMonitor {
  HMONITOR handle = nullptr;
  RECT rect{};
};
bool FindMonitorByDeviceName(const std::string& device_name, LiveMonitor* out);

// The DXGI output that drives `monitor` (first match over all adapters and
// outputs).
struct DxgiOutputMatch {
  ComPtr<IDXGIAdapter1> adapter;
  ComPtr<IDXGIOutput> output;
  UINT adapter_index = 0;
  UINT output_index = 0;
  DXGI_OUTPUT_DESC desc{};
};
bool FindDxgiOutput(HMONITOR monitor, DxgiOutputMatch* out);

// The colour description of an output: HDR (G2084 / BT.2020), bits per
// colour, SDR white level in nits.
struct OutputColor {
  bool hdr = false;
  uint32_t bits = 8;
  float sdr_white_nits = 80.0f;
};
OutputColor ReadOutputColor(IDXGIOutput* output, const wchar_t* device_name);
// The SDR white level of the display path whose source is `device_name`;
// false when it cannot be read.
bool ReadSdrWhiteNits(const wchar_t* device_name, float* nits);

}  // namespace orvane
