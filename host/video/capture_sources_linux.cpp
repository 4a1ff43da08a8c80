// The capture back-ends of the Linux build: the X server's root window
// through MIT-SHM when there is an X display, the synthetic source otherwise.
#include "host/common/logger.h"
#include "host/video/capture_source.h"
#include "host/video/capture_x11_linux.h"
#include "host/video/synthetic_capture.h"

namespace orvane {

CaptureSourceSet MakePlatformCaptureSources() {
  CaptureSourceSet set;
  set.dxgi = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kDxgi);
  set.wgc = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kWgc);
  // The probe connection only tells whether the server answers; the source
  // opens its own at Initialize.
  if (x11::DisplayConfigured() && x11::Connection::Open("Capture") != nullptr) {
    set.gdi = std::make_unique<X11ShmCaptureSource>();
  } else {
    LogInfo("[Capture] No X display; the screen copy uses the synthetic picture");
    SyntheticCaptureOptions options;
    options.size_from_monitor = true;
    set.gdi = std::make_unique<SyntheticCaptureSource>(options);
  }
  return set;
}

}  // namespace orvane
