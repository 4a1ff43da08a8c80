#include "host/video/desktop_redraw.h"

namespace orvane {

bool RedrawDesktop() { return true; }

}  // namespace orvane
