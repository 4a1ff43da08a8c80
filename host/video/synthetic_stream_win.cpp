#include "host/video/synthetic_stream.h"

namespace orvane {

// The product streams the desktop; the test source is never sent to a tablet.
bool PlatformUsesSyntheticStream() { return false; }

}  // namespace orvane
