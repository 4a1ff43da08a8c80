// The Linux build converts on the CPU.

#include "host/video/gpu_converter.h"

namespace orvane {

std::unique_ptr<IGpuPlatform> MakePlatformGpuPlatform() { return std::make_unique<UnavailableGpuPlatform>(); }

}  // namespace orvane
