#pragma once
// What the tablet sessions and the session pool need from the virtual display
// back-end: whether the driver is there, which slot holds a virtual monitor,
// and releasing it. The manager that owns the driver implements it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

struct VirtualDisplayMode {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refresh_hz = 0;
  bool Valid() const { return width != 0 && height != 0 && refresh_hz != 0; }
};

// What an acquire came to (values are fixed; logged by name).
enum class VirtualDisplayAcquireKind : int {
  kCreated = 0,
  kReused = 1,
  kReconfigured = 2,
  kExtendedModeOff = 3,
  kDriverNotInstalled = 4,
  kAddFailed = 5,
  kMonitorNotFound = 6,
  kNoFreeMonitor = 7,
  kRestartPending = 8,
};
// "created", "reused", "reconfigured", "extended-mode-off",
// "driver-not-installed", "add-failed", "monitor-not-found",
// "no-free-monitor", "restart-pending"; "unknown" for any other value.
const char* VirtualDisplayAcquireKindName(int kind);
inline bool IsAcquireSuccess(VirtualDisplayAcquireKind kind) {
  return kind == VirtualDisplayAcquireKind::kCreated || kind == VirtualDisplayAcquireKind::kReused ||
         kind == VirtualDisplayAcquireKind::kReconfigured;
}

struct VirtualDisplayAcquireResult {
  VirtualDisplayAcquireKind kind = VirtualDisplayAcquireKind::kAddFailed;
  std::string monitor_id;  // as monitor enumeration names it; empty when none
  VirtualDisplayMode mode;
  std::string message;     // why, for the failure kinds
  uint32_t monitor_count = 0;
};

class IVirtualDisplayManager {
 public:
  virtual ~IVirtualDisplayManager() = default;

  // The virtual display driver is installed and usable.
  virtual bool DriverAvailable() = 0;
  // Whether tablets get a virtual monitor when the pool has no choice for
  // them.
  virtual bool DefaultExtended() = 0;
  // A virtual monitor in `mode` for the session (may take seconds: callers
  // run it on a worker thread).
  virtual VirtualDisplayAcquireResult Acquire(size_t session_id, const VirtualDisplayMode& mode) = 0;
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
