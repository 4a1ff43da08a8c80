#pragma once
// What the back-end asks of the driver's settings file: a resolution added
// for a monitor that could not take it, more monitors, and the event that a
// requested resolution is offered already. The back-end calls these under
// the manager's mutex, with the settings file's path (UTF-8) it read from
// the driver's registry value. SettingsFileVddRequests (vdd_settings_host.h)
// is the host's implementation.

#include <cstdint>
#include <string>

#include "host/vdd/virtual_display.h"

namespace orvane {

class IVddRequests {
 public:
  virtual ~IVddRequests() = default;
  // Asks the file to list `requested` (landscape form, larger side first)
  // for a monitor that now runs at `applied`. The effect is the file, the
  // log lines and the resolution events.
  virtual void RequestResolution(const std::string& settings_path, const VirtualDisplayMode& requested,
                                 const VirtualDisplayMode& applied) = 0;
  // True when a driver restart will provide `count` monitors.
  // `known_monitors` is the driver's last known monitor count (0: none
  // seen); *message says what happened either way.
  virtual bool RequestMonitorCount(const std::string& settings_path, uint32_t count, uint32_t known_monitors,
                                   std::string* message) = 0;
  // The monitor offers the requested resolution (landscape form).
  virtual void Offered(const VirtualDisplayMode& mode) = 0;
};

}  // namespace orvane
