// Monitors of the X server (RandR); filled in by the X11 back-end.
#include "host/video/monitor_enumeration.h"

namespace orvane {

std::optional<DesktopScan> ScanDesktopMonitors() { return std::nullopt; }

}  // namespace orvane
