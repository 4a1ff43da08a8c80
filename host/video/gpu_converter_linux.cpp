// The Linux build converts on the CPU: a platform without adapters whose
// device creation always fails, so the converter never opens.

#include "host/video/gpu_converter.h"

namespace orvane {

namespace {

constexpr HResult kDxgiErrorUnsupported = static_cast<HResult>(0x887A0004u);

class NoGpuPlatform final : public IGpuPlatform {
 public:
  bool EnumerateAdapters(std::vector<GpuAdapterEntry>* out) override {
    out->clear();
    return true;
  }
  GpuDeviceResult CreateDevice(GpuDriver, uint32_t) override {
    GpuDeviceResult result;
    result.hr = kDxgiErrorUnsupported;
    return result;
  }
  void SetMultithreadProtected(GpuDevice&) override {}
  HResult DeviceRemovedReason(GpuDevice&) override { return kSOk; }
  std::unique_ptr<IGpuVideo> OpenVideo(GpuDevice&, GpuVideoStep* failed_step, HResult* hr) override {
    *failed_step = GpuVideoStep::kVideoDevice;
    *hr = kENotImpl;
    return nullptr;
  }
  bool OnlyPoolHolds(const GpuTexture&) override { return false; }
};

}  // namespace

std::unique_ptr<IGpuPlatform> MakePlatformGpuPlatform() { return std::make_unique<NoGpuPlatform>(); }

}  // namespace orvane
