// The capture back-ends of the Windows build.
#include "host/video/capture_dxgi_win.h"
#include "host/video/capture_gdi_win.h"
#include "host/video/capture_source.h"
#include "host/video/capture_wgc_win.h"

namespace orvane {

CaptureSourceSet MakePlatformCaptureSources() {
  CaptureSourceSet set;
  set.dxgi = std::make_unique<DxgiCaptureSource>();
  set.wgc = std::make_unique<WgcCaptureSource>();
  set.gdi = std::make_unique<GdiCaptureSource>();
  return set;
}

}  // namespace orvane
