#include "host/video/capture_dxgi_win.h"

#include <algorithm>

#include "host/common/logger.h"
#include "host/video/capture_color.h"
#include "host/video/capture_manager.h"

namespace orvane {

namespace {

constexpr uint64_t kWhiteLevelRefreshMs = 3000;

enum class DupPlan { kDuplicateOutput1, kDuplicateOutput, kDeferToWgc };

const char* DupPlanName(DupPlan plan) {
  switch (plan) {
    case DupPlan::kDuplicateOutput1: return "duplicate_output1";
    case DupPlan::kDeferToWgc: return "defer_to_wgc";
    case DupPlan::kDuplicateOutput: return "duplicate_output";
  }
  return "duplicate_output";
}

}  // namespace

DxgiCaptureSource::DxgiCaptureSource(IClock* clock) : clock_(clock ? *clock : SystemClock()) {}

DxgiCaptureSource::~DxgiCaptureSource() { Shutdown(); }

bool DxgiCaptureSource::Fail(int code, const char* message, HRESULT hr) {
  Shutdown();
  result_ = HostResult::Failure(code, message, hr);
  return false;
}

bool DxgiCaptureSource::Initialize(const CaptureInitParams& params) {
  Shutdown();
  params_ = params;

  // 1. The output that drives the monitor (the handle is looked up now by the
  //    monitor's device name; the one in the target may be stale).
  HMONITOR monitor = reinterpret_cast<HMONITOR>(params.monitor_handle);
  LiveMonitor live;
  if (FindMonitorByDeviceName(params.monitor_id, &live)) monitor = live.handle;
  DxgiOutputMatch match;
  if (!FindDxgiOutput(monitor, &match)) {
    LogWarn("[Capture] No DXGI output drives monitor %s; Desktop Duplication unavailable", params.monitor_id.c_str());
    return Fail(1, "no DXGI output for the monitor", static_cast<HResult>(DXGI_ERROR_NOT_FOUND));
  }
  LogInfo("[Capture] DXGI output for monitor found adapter=%u output=%u", match.adapter_index, match.output_index);
  ComPtr<IDXGIOutput1> output1;
  HRESULT hr = match.output->QueryInterface(__uuidof(IDXGIOutput1), reinterpret_cast<void**>(output1.GetAddressOf()));
  if (FAILED(hr) || !output1) {
    LogError("[Capture] Failed to query IDXGIOutput1: 0x%08lX", HrBits(hr));
    return Fail(2, "IDXGIOutput1", FAILED(hr) ? hr : E_NOINTERFACE);
  }

  // 2. The device: the encoder's when it runs on the output's adapter.
  DXGI_ADAPTER_DESC1 adapter_desc = {};
  hr = match.adapter->GetDesc1(&adapter_desc);
  const bool luid_known = CheckHr(hr, "IDXGIAdapter1::GetDesc1");
  const uint64_t output_luid = luid_known ? AdapterLuidValue(adapter_desc.AdapterLuid) : 0;
  if (params.shared_device && luid_known && params.shared_device->AdapterLuid() == output_luid) {
    device_ = D3D11Device::Wrap(static_cast<ID3D11Device*>(params.shared_device->Native()), params.shared_device);
    handoff_ = device_ != nullptr;
  }
  if (!device_) {
    if (params.shared_device) {
      LogInfo("[Capture] Monitor is on a different adapter than the encoder; using CPU readback");
    }
    HRESULT created = S_OK;
    device_ = D3D11Device::Create(match.adapter.Get(), "DXGI", &created);
    if (!device_) return Fail(3, "D3D11 device", created);
    handoff_ = false;
  }

  // 3. Output description, colour and the converter.
  device_name_.assign(match.desc.DeviceName);
  color_ = ReadOutputColor(match.output.Get(), device_name_.c_str());
  const RECT& dc = match.desc.DesktopCoordinates;
  desktop_width_ = static_cast<uint32_t>(std::max<LONG>(0, dc.right - dc.left));
  desktop_height_ = static_cast<uint32_t>(std::max<LONG>(0, dc.bottom - dc.top));
  converter_.Create(device_);
  delivery_.Start(device_);
  white_read_ = false;

  // 4. Plan.
  ComPtr<IDXGIOutput5> output5;
  const HRESULT qi5 =
      match.output->QueryInterface(__uuidof(IDXGIOutput5), reinterpret_cast<void**>(output5.GetAddressOf()));
  const bool has5 = SUCCEEDED(qi5) && output5;
  const bool deep = color_.hdr || color_.bits > 8;
  DupPlan plan = DupPlan::kDuplicateOutput;
  const char* reason = "DuplicateOutput1 unavailable";
  if (has5 && converter_.Ready()) {
    plan = DupPlan::kDuplicateOutput1;
    reason = "fp16 and bgra8 frames, converted to sdr bgra8 on the gpu";
  } else {
    plan = deep ? DupPlan::kDeferToWgc : DupPlan::kDuplicateOutput;
    if (has5) {
      reason = deep ? "no gpu converter for hdr/10-bit frames" : "gpu converter unavailable; sdr 8-bit desktop";
    } else {
      reason = deep ? "DuplicateOutput1 unavailable for an hdr/10-bit desktop" : "DuplicateOutput1 unavailable";
    }
  }
  LogInfo("[Capture] Desktop Duplication color plan=%s (%s) hdr=%s bits=%u sdr_white=%.0f nits converter=%s",
          DupPlanName(plan), reason, color_.hdr ? "on" : "off", color_.bits,
          static_cast<double>(color_.sdr_white_nits), converter_.Ready() ? "ready" : "unavailable");

  // 5.-7. Duplicate.
  hr = E_FAIL;
  bool attempted = false;
  if (plan == DupPlan::kDuplicateOutput1) {
    const DXGI_FORMAT formats[] = {DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_B8G8R8A8_UNORM};
    hr = output5->DuplicateOutput1(device_->device(), 0, ARRAYSIZE(formats), formats, duplication_.GetAddressOf());
    attempted = true;
    if (FAILED(hr) && hr != DXGI_ERROR_NOT_CURRENTLY_AVAILABLE) {
      plan = deep ? DupPlan::kDeferToWgc : DupPlan::kDuplicateOutput;
      LogWarn("[Capture] DuplicateOutput1 failed: 0x%08lX; falling back to %s", HrBits(hr), DupPlanName(plan));
      duplication_.Reset();
      attempted = false;
    }
  }
  if (plan == DupPlan::kDeferToWgc) {
    LogWarn("[Capture] Desktop Duplication cannot convert this HDR/10-bit desktop; Windows Graphics Capture takes over");
    return Fail(4, "HDR/10-bit desktop without a converter", kENotImpl);
  }
  if (!attempted) {
    hr = output1->DuplicateOutput(device_->device(), duplication_.GetAddressOf());
  }

  // 8. Result.
  if (SUCCEEDED(hr) && duplication_) {
    DXGI_OUTDUPL_DESC dd = {};
    duplication_->GetDesc(&dd);
    rotation_ = RotationFromDxgi(static_cast<uint32_t>(dd.Rotation));
    NoteDuplicationStarted();
    LogInfo("[Capture] Desktop Duplication initialized (monitor=%s %ux%u gpu_handoff=%s api=%s desktop_format=%s "
            "rotation=%s)",
            params.monitor_id.c_str(), static_cast<unsigned>(params.Width()), static_cast<unsigned>(params.Height()),
            handoff_ ? "yes" : "no", DupPlanName(plan), CaptureFormatName(static_cast<uint32_t>(dd.ModeDesc.Format)),
            RotationName(rotation_));
    result_ = HostResult::Success();
    return true;
  }
  if (hr == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE) {
    RecordDuplicationLoss();
    LogWarn("[Capture] Desktop Duplication unavailable (possibly interface limit reached by other capture apps)");
    return Fail(5, "Desktop Duplication not currently available", hr);
  }
  const HRESULT shown = FAILED(hr) ? hr : E_FAIL;
  LogWarn("[Capture] DuplicateOutput failed: 0x%08lX; trying the next capture back-end", HrBits(shown));
  return Fail(6, "DuplicateOutput", shown);
}

void DxgiCaptureSource::ReleaseHeldFrame() {
  if (!holding_frame_) return;
  holding_frame_ = false;
  if (!duplication_ || !device_) return;
  D3D11DeviceLock lock(*device_);
  const HRESULT hr = duplication_->ReleaseFrame();
  if (FAILED(hr) && hr != DXGI_ERROR_ACCESS_LOST && hr != DXGI_ERROR_INVALID_CALL) {
    LogDebug("[Capture] ReleaseFrame failed: 0x%08lX", HrBits(hr));
  }
}

void DxgiCaptureSource::Shutdown() {
  ReleaseHeldFrame();
  duplication_.Reset();
  converter_.Reset();
  delivery_.Stop();
  device_.reset();
  handoff_ = false;
  delivered_first_ = false;
  logged_frames_ = false;
  warned_unrotated_ = false;
  rotation_ = 0;
}

void DxgiCaptureSource::RefreshWhiteLevel(uint64_t now_ms) {
  if (!color_.hdr) return;
  if (white_read_ && now_ms - white_read_ms_ < kWhiteLevelRefreshMs) return;
  white_read_ = true;
  white_read_ms_ = now_ms;
  float nits = 0.0f;
  if (!ReadSdrWhiteNits(device_name_.c_str(), &nits)) return;
  if (nits != color_.sdr_white_nits) {
    LogInfo("[Capture] SDR white level %.0f -> %.0f nits", static_cast<double>(color_.sdr_white_nits),
            static_cast<double>(nits));
    color_.sdr_white_nits = nits;
  }
}

CapturedFrame DxgiCaptureSource::Acquire(uint32_t wait_ms, bool want_texture) {
  CapturedFrame frame;
  ReleaseHeldFrame();
  if (!duplication_ || !device_) {
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  DXGI_OUTDUPL_FRAME_INFO info = {};
  ComPtr<IDXGIResource> resource;
  HRESULT hr = S_OK;
  {
    D3D11DeviceLock lock(*device_);
    hr = duplication_->AcquireNextFrame(wait_ms, &info, resource.GetAddressOf());
  }
  const uint64_t now = clock_.TickMs();
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) {
    frame.status = CaptureStatus::kTimeout;
    return frame;
  }
  if (hr == DXGI_ERROR_ACCESS_LOST) {
    RecordDuplicationLoss();
    result_ = HostResult::Failure(7, "duplication access lost", hr);
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  if (hr == DXGI_ERROR_INVALID_CALL || hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET ||
      hr == DXGI_ERROR_SESSION_DISCONNECTED) {
    result_ = HostResult::Failure(7, "duplication invalidated", hr);
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  if (SUCCEEDED(hr)) holding_frame_ = true;
  if (FAILED(hr) || !resource) {
    if (acquire_warn_.Allow(now)) LogWarn("[Capture] AcquireNextFrame failed: 0x%08lX", HrBits(hr));
    result_ = HostResult::Failure(8, "AcquireNextFrame", FAILED(hr) ? hr : E_POINTER);
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  if (delivered_first_ && info.LastPresentTime.QuadPart == 0) {
    // Only the pointer moved.
    ReleaseHeldFrame();
    frame.status = CaptureStatus::kTimeout;
    return frame;
  }
  ComPtr<ID3D11Texture2D> texture;
  hr = resource->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture.GetAddressOf()));
  if (FAILED(hr) || !texture) {
    ReleaseHeldFrame();
    if (acquire_warn_.Allow(now)) LogWarn("[Capture] Duplicated frame has no texture: 0x%08lX", HrBits(hr));
    result_ = HostResult::Failure(9, "frame texture", FAILED(hr) ? hr : E_NOINTERFACE);
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  D3D11_TEXTURE2D_DESC desc = {};
  texture->GetDesc(&desc);
  frame.protected_content = info.ProtectedContentMaskedOut != FALSE;
  RefreshWhiteLevel(now);

  FramePlanInput in;
  in.format = static_cast<uint32_t>(desc.Format);
  in.frame_width = desc.Width;
  in.frame_height = desc.Height;
  in.output_rotation = rotation_;
  in.desktop_width = desktop_width_;
  in.desktop_height = desktop_height_;
  in.hdr = color_.hdr;
  in.sdr_white_nits = color_.sdr_white_nits;
  in.converter_ready = converter_.Ready();
  const FramePlan plan = PlanCapturedFrame(in);
  if (plan.needs_unavailable_converter) {
    ReleaseHeldFrame();
    if (converter_warn_.Allow(now)) {
      LogWarn("[Capture] %s frame needs the GPU converter, which is unavailable", CaptureFormatName(in.format));
    }
    result_ = HostResult::Failure(10, "frame needs the GPU converter", kENotImpl);
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  if (plan.unrotated_fallback && !warned_unrotated_) {
    warned_unrotated_ = true;
    LogWarn("[Capture] Output is rotated %s but the GPU converter is unavailable; streaming it unrotated",
            RotationName(rotation_));
  }
  if (!logged_frames_ || last_format_ != in.format || last_rotation_ != plan.rotation) {
    logged_frames_ = true;
    last_format_ = in.format;
    last_rotation_ = plan.rotation;
    LogInfo("[Capture] Desktop Duplication frames: format=%s %ux%u rotation=%s (reported %s) path=%s "
            "sdr_white_scale=%.2f",
            CaptureFormatName(in.format), desc.Width, desc.Height, RotationName(plan.rotation),
            RotationName(rotation_), CapturePathName(plan.path), static_cast<double>(plan.sdr_white_scale));
  }
  const CaptureStatus status =
      delivery_.Deliver(texture.Get(), plan, want_texture, handoff_, &converter_, now, &frame, &result_);
  if (status != CaptureStatus::kFrame) {
    CapturedFrame failed;
    failed.status = CaptureStatus::kFailed;
    failed.protected_content = frame.protected_content;
    return failed;
  }
  delivered_first_ = true;
  return frame;
}

}  // namespace orvane
