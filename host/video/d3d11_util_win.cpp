#include "host/video/d3d11_util_win.h"

#include <cstring>
#include <vector>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/win_text.h"
#include "host/video/capture_color.h"

namespace orvane {

namespace {

// Upper bounds for what the display configuration may report.
constexpr UINT32 kMaxDisplayPaths = 1024;
constexpr UINT32 kMaxDisplayModes = 2048;

bool SameDeviceName(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

RateLimiter& MapWarnLimiter() {
  static RateLimiter limiter(FrameBufferWarning::kIntervalMs);
  return limiter;
}

}  // namespace

HRESULT LastErrorHResult() {
  const DWORD error = GetLastError();
  return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

bool CheckHr(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  LogWarn("[Capture] %s failed: 0x%08lX", what, HrBits(hr));
  return false;
}

uint64_t AdapterLuidValue(const LUID& luid) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
}

// ------------------------------------------------------------ D3D11Device

std::shared_ptr<D3D11Device> D3D11Device::Create(IDXGIAdapter* adapter, const char* who, HRESULT* hr_out) {
  static const D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                              D3D_FEATURE_LEVEL_10_0};
  const D3D_DRIVER_TYPE driver = adapter != nullptr ? D3D_DRIVER_TYPE_UNKNOWN : D3D_DRIVER_TYPE_HARDWARE;
  std::shared_ptr<D3D11Device> out(new D3D11Device());
  D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_10_0;
  UINT flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
  HRESULT hr = D3D11CreateDevice(adapter, driver, nullptr, flags, kLevels, ARRAYSIZE(kLevels), D3D11_SDK_VERSION,
                                 out->device_.GetAddressOf(), &level, nullptr);
  if (hr == E_INVALIDARG) {
    // Runtimes without feature level 11.1 refuse the whole list.
    hr = D3D11CreateDevice(adapter, driver, nullptr, flags, kLevels + 1, ARRAYSIZE(kLevels) - 1, D3D11_SDK_VERSION,
                           out->device_.ReleaseAndGetAddressOf(), &level, nullptr);
  }
  if (FAILED(hr)) {
    // Drivers without video support still capture and convert; the encoder
    // then keeps to its own device.
    LogDebug("[Capture] %s D3D11 device with video support unavailable: 0x%08lX", who, HrBits(hr));
    flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT;
    hr = D3D11CreateDevice(adapter, driver, nullptr, flags, kLevels + 1, ARRAYSIZE(kLevels) - 1, D3D11_SDK_VERSION,
                           out->device_.ReleaseAndGetAddressOf(), &level, nullptr);
  }
  if (hr_out) *hr_out = hr;
  if (FAILED(hr) || !out->device_) {
    LogError("[Capture] %s D3D11 device creation failed: 0x%08lX", who, HrBits(FAILED(hr) ? hr : E_FAIL));
    if (hr_out && SUCCEEDED(hr)) *hr_out = E_FAIL;
    return nullptr;
  }
  if (!out->Finish()) {
    LogError("[Capture] %s D3D11 device creation failed: 0x%08lX", who, HrBits(E_NOINTERFACE));
    if (hr_out) *hr_out = E_NOINTERFACE;
    return nullptr;
  }
  return out;
}

std::shared_ptr<D3D11Device> D3D11Device::Wrap(ID3D11Device* device, std::shared_ptr<GpuDevice> owner) {
  if (device == nullptr) return nullptr;
  std::shared_ptr<D3D11Device> out(new D3D11Device());
  out->device_ = device;
  out->owner_ = std::move(owner);
  if (!out->Finish()) return nullptr;
  return out;
}

bool D3D11Device::Finish() {
  device_->GetImmediateContext(context_.GetAddressOf());
  if (!context_) {
    LogWarn("[Capture] D3D11 device has no immediate context");
    return false;
  }
  const HRESULT mt = device_->QueryInterface(__uuidof(ID3D10Multithread),
                                             reinterpret_cast<void**>(multithread_.GetAddressOf()));
  if (SUCCEEDED(mt) && multithread_) {
    multithread_->SetMultithreadProtected(TRUE);
  } else {
    // Without the interface the device is used by the capture thread alone.
    LogWarn("[Capture] D3D11 device offers no multithread protection: 0x%08lX", HrBits(mt));
    multithread_.Reset();
  }
  ComPtr<IDXGIDevice> dxgi;
  HRESULT hr = device_->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(dxgi.GetAddressOf()));
  ComPtr<IDXGIAdapter> adapter;
  if (SUCCEEDED(hr)) hr = dxgi->GetAdapter(adapter.GetAddressOf());
  DXGI_ADAPTER_DESC desc = {};
  if (SUCCEEDED(hr)) hr = adapter->GetDesc(&desc);
  if (SUCCEEDED(hr)) {
    luid_ = AdapterLuidValue(desc.AdapterLuid);
  } else {
    LogWarn("[Capture] D3D11 device adapter unknown: 0x%08lX", HrBits(hr));
  }
  return true;
}

// -------------------------------------------------------- StagingReadback

std::shared_ptr<CpuImage> TakeHeapImage(FramePool<CpuImage>& pool, uint32_t width, uint32_t height,
                                        FramePoolTake* took) {
  return pool.Take(
      FramePoolKey{width, height, 0},
      [](const FramePoolKey& key) -> std::unique_ptr<CpuImage> { return HeapCpuImage::Create(key.width, key.height); },
      took);
}

CaptureStatus StagingReadback::Read(const D3D11Device& device, ID3D11Texture2D* texture, FramePool<CpuImage>& pool,
                                    uint64_t now_ms, std::shared_ptr<CpuImage>* out, HostResult* result) {
  D3D11_TEXTURE2D_DESC desc = {};
  texture->GetDesc(&desc);
  if (!CaptureSizeAcceptable(desc.Width, desc.Height)) {
    *result = HostResult::Failure(1, "frame size out of range", kEInvalidArg);
    return CaptureStatus::kFailed;
  }
  FramePoolTake took = FramePoolTake::kOk;
  std::shared_ptr<CpuImage> image = TakeHeapImage(pool, desc.Width, desc.Height, &took);
  if (!image) {
    buffer_warning_.Report(source_, took, desc.Width, desc.Height, now_ms);
    *result = HostResult::Failure(took == FramePoolTake::kAllHeld ? 3 : 2,
                                  took == FramePoolTake::kAllHeld ? "every frame buffer is held" : "out of memory",
                                  kEOutOfMemory);
    return CaptureStatus::kFailed;
  }
  if (!staging_ || width_ != desc.Width || height_ != desc.Height || format_ != static_cast<uint32_t>(desc.Format)) {
    staging_.Reset();
    D3D11_TEXTURE2D_DESC sd = {};
    sd.Width = desc.Width;
    sd.Height = desc.Height;
    sd.MipLevels = 1;
    sd.ArraySize = 1;
    sd.Format = desc.Format;
    sd.SampleDesc.Count = 1;
    sd.Usage = D3D11_USAGE_STAGING;
    sd.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    const HRESULT hr = device.device()->CreateTexture2D(&sd, nullptr, staging_.GetAddressOf());
    if (FAILED(hr) || !staging_) {
      LogError("[Capture] Failed to create staging texture: 0x%08lX", HrBits(hr));
      staging_.Reset();
      *result = HostResult::Failure(4, "staging texture", FAILED(hr) ? hr : kEFail);
      return CaptureStatus::kFailed;
    }
    width_ = desc.Width;
    height_ = desc.Height;
    format_ = static_cast<uint32_t>(desc.Format);
  }
  const size_t row_bytes = static_cast<size_t>(desc.Width) * 4u;
  D3D11DeviceLock lock(device);
  ID3D11DeviceContext* ctx = device.context();
  ctx->CopySubresourceRegion(staging_.Get(), 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  const HRESULT hr = ctx->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(hr) || mapped.pData == nullptr || mapped.RowPitch < row_bytes) {
    if (SUCCEEDED(hr)) ctx->Unmap(staging_.Get(), 0);
    const HRESULT shown = FAILED(hr) ? hr : E_UNEXPECTED;
    if (MapWarnLimiter().Allow(now_ms)) LogWarn("[Capture] Map on staging texture failed: 0x%08lX", HrBits(shown));
    *result = HostResult::Failure(5, "map staging texture", shown);
    return CaptureStatus::kFailed;
  }
  const uint8_t* src = static_cast<const uint8_t*>(mapped.pData);
  uint8_t* dst = image->mutable_bytes();
  const size_t dst_stride = static_cast<size_t>(image->stride());
  for (uint32_t y = 0; y < desc.Height; ++y) {
    std::memcpy(dst + static_cast<size_t>(y) * dst_stride, src + static_cast<size_t>(y) * mapped.RowPitch, row_bytes);
  }
  ctx->Unmap(staging_.Get(), 0);
  *out = std::move(image);
  *result = HostResult::Success();
  return CaptureStatus::kFrame;
}

// --------------------------------------------------------------- monitors

namespace {

struct MonitorSearch {
  std::wstring name;
  LiveMonitor found;
  bool ok = false;
};

BOOL CALLBACK MatchMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
  MonitorSearch* search = reinterpret_cast<MonitorSearch*>(param);
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) return TRUE;
  if (!SameDeviceName(info.szDevice, search->name.c_str())) return TRUE;
  search->found.handle = monitor;
  search->found.rect = info.rcMonitor;
  search->ok = true;
  return FALSE;
}

}  // namespace

bool FindMonitorByDeviceName(const std::string& device_name, LiveMonitor* out) {
  if (device_name.empty() || device_name.size() >= CCHDEVICENAME) return false;
  MonitorSearch search;
  search.name = ToWide(device_name);
  // The enumeration reports failure when the callback stops it early.
  EnumDisplayMonitors(nullptr, nullptr, &MatchMonitor, reinterpret_cast<LPARAM>(&search));
  if (!search.ok) return false;
  *out = search.found;
  return true;
}

bool FindDxgiOutput(HMONITOR monitor, DxgiOutputMatch* out) {
  if (monitor == nullptr) return false;
  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
  if (!CheckHr(hr, "CreateDXGIFactory1")) return false;
  for (UINT a = 0;; ++a) {
    ComPtr<IDXGIAdapter1> adapter;
    hr = factory->EnumAdapters1(a, adapter.GetAddressOf());
    if (hr == DXGI_ERROR_NOT_FOUND) break;
    if (!CheckHr(hr, "IDXGIFactory1::EnumAdapters1")) break;
    for (UINT o = 0;; ++o) {
      ComPtr<IDXGIOutput> output;
      hr = adapter->EnumOutputs(o, output.GetAddressOf());
      if (hr == DXGI_ERROR_NOT_FOUND) break;
      if (!CheckHr(hr, "IDXGIAdapter::EnumOutputs")) break;
      DXGI_OUTPUT_DESC desc = {};
      if (!CheckHr(output->GetDesc(&desc), "IDXGIOutput::GetDesc")) continue;
      if (desc.Monitor != monitor) continue;
      out->adapter = adapter;
      out->output = output;
      out->adapter_index = a;
      out->output_index = o;
      out->desc = desc;
      return true;
    }
  }
  return false;
}

bool ReadSdrWhiteNits(const wchar_t* device_name, float* nits) {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  LONG status = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 3 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    UINT32 path_count = 0;
    UINT32 mode_count = 0;
    status = GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &path_count, &mode_count);
    if (status != ERROR_SUCCESS) break;
    if (path_count > kMaxDisplayPaths || mode_count > kMaxDisplayModes) {
      status = ERROR_INVALID_DATA;
      break;
    }
    paths.assign(path_count, DISPLAYCONFIG_PATH_INFO{});
    modes.assign(mode_count, DISPLAYCONFIG_MODE_INFO{});
    status = QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &path_count, paths.data(), &mode_count, modes.data(), nullptr);
    if (status == ERROR_SUCCESS) paths.resize(path_count);
  }
  if (status != ERROR_SUCCESS) {
    LogDebug("[Capture] QueryDisplayConfig failed: %ld", static_cast<long>(status));
    return false;
  }
  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    DISPLAYCONFIG_SOURCE_DEVICE_NAME source = {};
    source.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
    source.header.size = sizeof(source);
    source.header.adapterId = path.sourceInfo.adapterId;
    source.header.id = path.sourceInfo.id;
    if (DisplayConfigGetDeviceInfo(&source.header) != ERROR_SUCCESS) continue;
    if (!SameDeviceName(source.viewGdiDeviceName, device_name)) continue;
    DISPLAYCONFIG_SDR_WHITE_LEVEL white = {};
    white.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SDR_WHITE_LEVEL;
    white.header.size = sizeof(white);
    white.header.adapterId = path.targetInfo.adapterId;
    white.header.id = path.targetInfo.id;
    const LONG got = DisplayConfigGetDeviceInfo(&white.header);
    if (got != ERROR_SUCCESS) {
      LogDebug("[Capture] SDR white level query failed: %ld", static_cast<long>(got));
      return false;
    }
    *nits = SdrWhiteNitsFromReport(static_cast<uint32_t>(white.SDRWhiteLevel));
    return true;
  }
  return false;
}

OutputColor ReadOutputColor(IDXGIOutput* output, const wchar_t* device_name) {
  OutputColor color;
  ComPtr<IDXGIOutput6> output6;
  const HRESULT qi = output->QueryInterface(__uuidof(IDXGIOutput6), reinterpret_cast<void**>(output6.GetAddressOf()));
  if (FAILED(qi) || !output6) {
    // Older systems report no colour space: an SDR 8-bit output.
    LogDebug("[Capture] IDXGIOutput6 not available: 0x%08lX", HrBits(qi));
    return color;
  }
  DXGI_OUTPUT_DESC1 desc1 = {};
  const HRESULT hr = output6->GetDesc1(&desc1);
  if (FAILED(hr)) {
    LogDebug("[Capture] IDXGIOutput6::GetDesc1 failed: 0x%08lX", HrBits(hr));
    return color;
  }
  color.hdr = desc1.ColorSpace == DXGI_COLOR_SPACE_RGB_FULL_G2084_NONE_P2020;
  color.bits = desc1.BitsPerColor != 0 ? desc1.BitsPerColor : 8u;
  if (color.hdr) {
    float nits = 0.0f;
    if (ReadSdrWhiteNits(device_name, &nits)) {
      color.sdr_white_nits = nits;
    } else {
      color.sdr_white_nits = 200.0f;
      LogWarn("[Capture] SDR white level unavailable for an HDR output; assuming %.0f nits",
              static_cast<double>(color.sdr_white_nits));
    }
  }
  return color;
}

}  // namespace orvane
