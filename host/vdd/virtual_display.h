#pragma once
// What the tablet sessions and the session pool need from the virtual display
// back-end: whether the driver is there, which slot holds a virtual monitor,
// and releasing it. The manager that owns the driver implements it.

#include <cstddef>
#include <string>

namespace orvane {

class IVirtualDisplayManager {
 public:
  virtual ~IVirtualDisplayManager() = default;

  // The virtual display driver is installed and usable.
  virtual bool DriverAvailable() = 0;
  // A driver restart must happen before another monitor can appear.
  virtual bool RestartPending() = 0;
  virtual bool HoldsMonitor(size_t session_id) = 0;
  // Empty when the session holds no monitor.
  virtual std::string GetMonitorId(size_t session_id) = 0;
  virtual void Release(size_t session_id, const std::string& reason) = 0;
  // The tablet of this session showed up on another slot; its monitor is
  // kept for the hand-over.
  virtual void MarkTabletReconnected(size_t session_id) = 0;
};

}  // namespace orvane
