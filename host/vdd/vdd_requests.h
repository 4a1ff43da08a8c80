#pragma once
// What the back-end asks of the driver's settings file: a resolution added
// for a monitor that could not take it, more monitors, and the event that a
// requested resolution is offered already. DecliningVddRequests stands in
// until the settings editor is wired: it logs and declines.

#include <cstdint>
#include <string>

#include "host/common/logger.h"
#include "host/vdd/virtual_display.h"

namespace orvane {

class IVddRequests {
 public:
  virtual ~IVddRequests() = default;
  // Adds `requested` (landscape form, larger side first) for a monitor that
  // now runs at `applied`. True when a driver restart will offer it.
  virtual bool RequestResolution(const VirtualDisplayMode& requested, const VirtualDisplayMode& applied,
                                 std::string* message) = 0;
  // True when a driver restart will provide `count` monitors.
  virtual bool RequestMonitorCount(uint32_t count, std::string* message) = 0;
  // The monitor offers the requested resolution (landscape form).
  virtual void Offered(const VirtualDisplayMode& mode) = 0;
};

class DecliningVddRequests final : public IVddRequests {
 public:
  bool RequestResolution(const VirtualDisplayMode& requested, const VirtualDisplayMode&,
                         std::string* message) override {
    LogInfo("[VDD] Adding %ux%u@%u to the driver's settings is not available", requested.width, requested.height,
            requested.refresh_hz);
    message->clear();
    return false;
  }
  bool RequestMonitorCount(uint32_t count, std::string* message) override {
    LogInfo("[VDD] Raising the driver's monitor count to %u is not available", count);
    message->clear();
    return false;
  }
  void Offered(const VirtualDisplayMode&) override {}
};

}  // namespace orvane
