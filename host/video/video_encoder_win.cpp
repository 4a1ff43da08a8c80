// The Windows encoder: the portable core over Media Foundation transforms
// and the DXGI/Direct3D 11 converter.

#include <cstdlib>
#include <memory>

#include "host/common/clock.h"
#include "host/video/encoder_core.h"
#include "host/video/gpu_converter.h"
#include "host/video/mf_transform_win.h"
#include "host/video/video_encoder.h"

namespace orvane {

namespace {

// ORVANE_FORCE_CPU_NV12, read once per process: set and starting with
// anything but '0' keeps BGRA->NV12 conversion on the CPU.
bool ForceCpuNv12() {
  static const bool forced = [] {
    const char* value = std::getenv("ORVANE_FORCE_CPU_NV12");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
  }();
  return forced;
}

}  // namespace

std::unique_ptr<IVideoEncoder> MakePlatformVideoEncoder() {
  return std::make_unique<VideoEncoder>(MakeMediaFoundationEncoderPlatform(), MakePlatformGpuPlatform(),
                                        SystemClock(), SystemAsyncWaiter(), &ForceCpuNv12);
}

uint32_t CountHardwareEncoders(VideoCodec codec) {
  const std::unique_ptr<IEncoderPlatform> platform = MakeMediaFoundationEncoderPlatform();
  return CountHardwareEncoders(*platform, codec);
}

}  // namespace orvane
