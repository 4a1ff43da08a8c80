#include "host/video/monitor_enumeration.h"

namespace orvane {

std::vector<MonitorInfoData> SyntheticMonitorEnumerator::EnumerateMonitors() {
  MonitorInfoData monitor;
  monitor.id = kMonitorId;
  monitor.display_name = kDisplayName;
  monitor.width = 1920;
  monitor.height = 1080;
  monitor.primary = true;
  monitor.refresh_rate = 60;
  monitor.index = 0;
  return {monitor};
}

std::unique_ptr<IMonitorEnumerator> MakePlatformMonitorEnumerator() {
  // The desktop enumeration of the capture back-ends replaces this on Windows.
  return std::make_unique<SyntheticMonitorEnumerator>();
}

}  // namespace orvane
