// The capture back-ends of the Windows build.
#include "host/video/capture_source.h"

namespace orvane {

CaptureSourceSet MakePlatformCaptureSources() {
  CaptureSourceSet set;
  set.dxgi = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kDxgi);
  set.wgc = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kWgc);
  set.gdi = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kGdi);
  return set;
}

}  // namespace orvane
