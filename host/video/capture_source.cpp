#include "host/video/capture_source.h"

#include <new>

#include "host/common/logger.h"

namespace orvane {

const char* CaptureStatusName(CaptureStatus status) {
  switch (status) {
    case CaptureStatus::kFrame: return "frame";
    case CaptureStatus::kTimeout: return "timeout";
    case CaptureStatus::kLost: return "lost";
    case CaptureStatus::kFailed: return "failed";
  }
  return "failed";
}

const char* CaptureBackendName(CaptureBackendKind kind) {
  switch (kind) {
    case CaptureBackendKind::kDxgi: return "dxgi";
    case CaptureBackendKind::kWgc: return "wgc";
    case CaptureBackendKind::kGdi: return "gdi";
    case CaptureBackendKind::kNone: break;
  }
  return "none";
}

const char* CaptureBackendChoiceName(CaptureBackendChoice choice) {
  switch (choice) {
    case CaptureBackendChoice::kDxgi: return "dxgi";
    case CaptureBackendChoice::kWgc: return "wgc";
    case CaptureBackendChoice::kAuto: break;
  }
  return "auto";
}

CaptureBackendChoice CaptureBackendChoiceFromInt(int value) {
  switch (value) {
    case 1: return CaptureBackendChoice::kDxgi;
    case 2: return CaptureBackendChoice::kWgc;
    default: return CaptureBackendChoice::kAuto;
  }
}

bool CaptureSizeAcceptable(int64_t width, int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxCaptureSide && height <= kMaxCaptureSide;
}

std::unique_ptr<HeapCpuImage> HeapCpuImage::Create(uint32_t width, uint32_t height) {
  if (!CaptureSizeAcceptable(width, height)) return nullptr;
  const uint64_t bytes = static_cast<uint64_t>(width) * 4u * height;
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[bytes]);
  if (!storage) return nullptr;
  return std::unique_ptr<HeapCpuImage>(new (std::nothrow) HeapCpuImage(std::move(storage), width, height));
}

HeapCpuImage::HeapCpuImage(std::unique_ptr<uint8_t[]> storage, uint32_t width, uint32_t height)
    : CpuImage(storage.get(), static_cast<int32_t>(width * 4u), width, height), storage_(std::move(storage)) {}

void FrameBufferWarning::Report(const char* source, FramePoolTake why, uint32_t width, uint32_t height,
                                uint64_t now_ms) {
  uint64_t suppressed = 0;
  if (!limiter_.Allow(now_ms, &suppressed)) return;
  if (why == FramePoolTake::kAllHeld) {
    LogWarn("[Capture] %s: all %zu frame buffers are held by the pipeline; frame dropped (%llu similar suppressed)",
            source, FramePool<CpuImage>::kCapacity, static_cast<unsigned long long>(suppressed));
  } else {
    LogWarn("[Capture] %s: could not make a %ux%u frame buffer; frame dropped (%llu similar suppressed)", source, width,
            height, static_cast<unsigned long long>(suppressed));
  }
}

bool UnavailableCaptureSource::Initialize(const CaptureInitParams&) {
  const char* name = CaptureBackendName(kind_);
  LogInfo("[Capture] %s is not available on this platform", name);
  result_ = HostResult::Failure(1, std::string(name) + " is not available on this platform", kENotImpl);
  return false;
}

CapturedFrame UnavailableCaptureSource::Acquire(uint32_t, bool) {
  CapturedFrame frame;
  frame.status = CaptureStatus::kLost;
  return frame;
}

}  // namespace orvane
