// The capture back-ends of the Linux build.
#include "host/video/capture_source.h"
#include "host/video/synthetic_capture.h"

namespace orvane {

CaptureSourceSet MakePlatformCaptureSources() {
  CaptureSourceSet set;
  set.dxgi = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kDxgi);
  set.wgc = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kWgc);
  set.gdi = std::make_unique<SyntheticCaptureSource>(SyntheticCaptureOptions{});
  return set;
}

}  // namespace orvane
