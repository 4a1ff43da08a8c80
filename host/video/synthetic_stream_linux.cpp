#include "host/video/synthetic_stream.h"

namespace orvane {

// The Linux build has no desktop capture: its sessions stream the test source.
bool PlatformUsesSyntheticStream() { return true; }

}  // namespace orvane
