// Monitors of the desktop (GDI and DXGI); filled in by the Windows back-end.
#include "host/video/monitor_enumeration.h"

namespace orvane {

std::optional<DesktopScan> ScanDesktopMonitors() { return std::nullopt; }

}  // namespace orvane
