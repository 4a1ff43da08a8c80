// The system pointer of this platform.
#include "host/video/cursor_source.h"

namespace orvane {

std::unique_ptr<ICursorSource> MakePlatformCursorSource() { return nullptr; }

}  // namespace orvane
