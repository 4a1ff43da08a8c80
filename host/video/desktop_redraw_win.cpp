#include <windows.h>

#include "host/common/logger.h"
#include "host/video/desktop_redraw.h"

namespace orvane {

bool RedrawDesktop() {
  if (!RedrawWindow(nullptr, nullptr, nullptr, RDW_ALLCHILDREN | RDW_ERASE | RDW_INVALIDATE)) {
    LogWarn("[FrameLoop] RedrawWindow failed: %lu", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  return true;
}

}  // namespace orvane
