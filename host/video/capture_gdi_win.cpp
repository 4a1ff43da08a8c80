#include "host/video/capture_gdi_win.h"

#include "host/common/logger.h"
#include "host/video/d3d11_util_win.h"

namespace orvane {

namespace {

// A top-down 32-bit BGRA DIB section. It is selected into a device context
// only while a copy runs, so deleting it is always allowed.
class DibImage final : public CpuImage {
 public:
  static std::unique_ptr<CpuImage> Create(uint32_t width, uint32_t height) {
    if (!CaptureSizeAcceptable(width, height)) return nullptr;
    const uint64_t stride = static_cast<uint64_t>(width) * 4u;
    const uint64_t bytes = stride * height;
    if (bytes > 0xFFFFFFFFull) return nullptr;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = static_cast<LONG>(width);
    bi.bmiHeader.biHeight = -static_cast<LONG>(height);  // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr || bits == nullptr) {
      LogWarn("[Capture] GDI CreateDIBSection %ux%u failed: %lu", width, height, GetLastError());
      if (bitmap != nullptr) DeleteObject(bitmap);
      return nullptr;
    }
    return std::unique_ptr<CpuImage>(
        new DibImage(bitmap, static_cast<uint8_t*>(bits), static_cast<int32_t>(stride), width, height));
  }
  ~DibImage() override { DeleteObject(bitmap_); }
  HBITMAP bitmap() const { return bitmap_; }

 private:
  DibImage(HBITMAP bitmap, uint8_t* bits, int32_t stride, uint32_t width, uint32_t height)
      : CpuImage(bits, stride, width, height), bitmap_(bitmap) {}
  HBITMAP bitmap_;
};

bool LookUpDesktopMonitor(const std::string& device_name, RECT* rect) {
  LiveMonitor live;
  if (!FindMonitorByDeviceName(device_name, &live)) return false;
  *rect = live.rect;
  return true;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

GdiCaptureSource::GdiCaptureSource(IClock* clock, MonitorLookup lookup)
    : clock_(clock ? *clock : SystemClock()),
      lookup_(lookup ? std::move(lookup) : MonitorLookup(&LookUpDesktopMonitor)),
      pool_(FramePool<CpuImage>::Create()) {}

GdiCaptureSource::~GdiCaptureSource() { Shutdown(); }

bool GdiCaptureSource::Initialize(const CaptureInitParams& params) {
  Shutdown();
  monitor_id_ = params.monitor_id;
  RECT rect = {params.left, params.top, params.right, params.bottom};
  RECT live = {};
  tracked_ = lookup_(params.monitor_id, &live);
  if (tracked_) rect = live;  // the monitor's rectangle now
  const int64_t width = static_cast<int64_t>(rect.right) - rect.left;
  const int64_t height = static_cast<int64_t>(rect.bottom) - rect.top;
  if (!CaptureSizeAcceptable(width, height)) {
    LogWarn("[Capture] GDI fallback has no valid monitor rectangle for %s", params.monitor_id.c_str());
    result_ = HostResult::Failure(1, "no valid monitor rectangle", kEInvalidArg);
    tracked_ = false;
    return false;
  }
  screen_dc_ = GetDC(nullptr);
  if (screen_dc_ == nullptr) {
    LogWarn("[Capture] GDI GetDC failed: %lu", GetLastError());
    result_ = HostResult::Failure(2, "screen device context", LastErrorHResult());
    Shutdown();
    return false;
  }
  memory_dc_ = CreateCompatibleDC(screen_dc_);
  if (memory_dc_ == nullptr) {
    LogWarn("[Capture] GDI CreateCompatibleDC failed: %lu", GetLastError());
    result_ = HostResult::Failure(3, "memory device context", LastErrorHResult());
    Shutdown();
    return false;
  }
  rect_ = rect;
  // The first bitmap now, so that a size the system cannot back fails here.
  FramePoolTake took = FramePoolTake::kOk;
  std::shared_ptr<CpuImage> first = pool_->Take(
      FramePoolKey{static_cast<uint32_t>(width), static_cast<uint32_t>(height), 0},
      [](const FramePoolKey& key) { return DibImage::Create(key.width, key.height); }, &took);
  if (!first && took == FramePoolTake::kCreateFailed) {
    result_ = HostResult::Failure(4, "section bitmap", kEOutOfMemory);
    Shutdown();
    return false;
  }
  first.reset();
  lost_ = false;
  rect_check_.Restart(clock_.TickMs());
  LogInfo("[Capture] GDI fallback initialized (monitor=%s rect=%ld,%ld %ux%u)", params.monitor_id.c_str(),
          static_cast<long>(rect.left), static_cast<long>(rect.top), static_cast<unsigned>(width),
          static_cast<unsigned>(height));
  result_ = HostResult::Success();
  return true;
}

void GdiCaptureSource::Shutdown() {
  if (memory_dc_ != nullptr) DeleteDC(memory_dc_);
  memory_dc_ = nullptr;
  if (screen_dc_ != nullptr) ReleaseDC(nullptr, screen_dc_);
  screen_dc_ = nullptr;
  tracked_ = false;
  lost_ = false;
}

bool GdiCaptureSource::MonitorChanged(uint64_t now_ms) {
  if (!tracked_ || !rect_check_.Due(now_ms)) return false;
  RECT now = {};
  const bool found = lookup_(monitor_id_, &now);
  if (found && SameRect(now, rect_)) return false;
  if (found) {
    LogInfo("[Capture] GDI fallback monitor %s moved to rect=%ld,%ld %ldx%ld; capture must be re-created",
            monitor_id_.c_str(), static_cast<long>(now.left), static_cast<long>(now.top),
            static_cast<long>(now.right - now.left), static_cast<long>(now.bottom - now.top));
  } else {
    LogInfo("[Capture] GDI fallback monitor %s is gone; capture must be re-created", monitor_id_.c_str());
  }
  return true;
}

CapturedFrame GdiCaptureSource::Acquire(uint32_t, bool) {
  CapturedFrame frame;
  if (memory_dc_ == nullptr || screen_dc_ == nullptr) {
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  const uint64_t now = clock_.TickMs();
  if (!lost_ && MonitorChanged(now)) lost_ = true;
  if (lost_) {
    result_ = HostResult::Failure(5, "monitor rectangle changed", kEFail);
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  const uint32_t width = static_cast<uint32_t>(rect_.right - rect_.left);
  const uint32_t height = static_cast<uint32_t>(rect_.bottom - rect_.top);
  FramePoolTake took = FramePoolTake::kOk;
  std::shared_ptr<CpuImage> image = pool_->Take(
      FramePoolKey{width, height, 0}, [](const FramePoolKey& key) { return DibImage::Create(key.width, key.height); },
      &took);
  if (!image) {
    buffer_warning_.Report("GDI fallback", took, width, height, now);
    result_ = HostResult::Failure(took == FramePoolTake::kAllHeld ? 6 : 7,
                                  took == FramePoolTake::kAllHeld ? "every frame buffer is held" : "out of memory",
                                  kEOutOfMemory);
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  DibImage* dib = static_cast<DibImage*>(image.get());
  HGDIOBJ previous = SelectObject(memory_dc_, dib->bitmap());
  if (previous == nullptr || previous == HGDI_ERROR) {
    if (blit_warn_.Allow(now)) LogWarn("[Capture] GDI SelectObject failed: %lu", GetLastError());
    result_ = HostResult::Failure(8, "select bitmap", LastErrorHResult());
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  const BOOL copied = BitBlt(memory_dc_, 0, 0, static_cast<int>(width), static_cast<int>(height), screen_dc_,
                             rect_.left, rect_.top, SRCCOPY | CAPTUREBLT);
  const DWORD error = copied ? 0 : GetLastError();
  GdiFlush();
  SelectObject(memory_dc_, previous);
  if (!copied) {
    if (blit_warn_.Allow(now)) LogWarn("[Capture] GDI BitBlt failed: %lu", error);
    result_ = HostResult::Failure(9, "BitBlt", error != 0 ? HRESULT_FROM_WIN32(error) : kEFail);
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  result_ = HostResult::Success();
  frame.status = CaptureStatus::kFrame;
  frame.width = width;
  frame.height = height;
  frame.image = std::move(image);
  return frame;
}

}  // namespace orvane
