#include "host/vdd/virtual_display.h"

#include <iterator>

namespace orvane {

const char* VirtualDisplayAcquireKindName(int kind) {
  static const char* const kNames[] = {"created",          "reused",        "reconfigured",
                                       "extended-mode-off", "driver-not-installed", "add-failed",
                                       "monitor-not-found", "no-free-monitor",      "restart-pending"};
  if (kind < 0 || kind >= static_cast<int>(std::size(kNames))) return "unknown";
  return kNames[kind];
}

}  // namespace orvane
