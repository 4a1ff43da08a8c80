#pragma once
// Virtual monitors of the Virtual Display Driver: the data every layer shares
// (modes, acquire results, availability, limits, the driver's device and
// targets, tokens, target ids) and what the tablet sessions and the session
// pool need from the manager that owns the driver.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// What a tablet gets: "not-installed" (0), "installed" (1), "unavailable"
// (2); "unknown" for any other value.
enum class VirtualDisplayState : int { kNotInstalled = 0, kInstalled = 1, kUnavailable = 2 };
const char* VirtualDisplayStateName(int state);

struct VirtualDisplayAvailability {
  VirtualDisplayState state = VirtualDisplayState::kNotInstalled;
  std::string detail;
  bool no_monitor = false;  // installed, but the driver exposes no monitor
};

struct VirtualDisplayModeLimits {
  uint32_t min_width = 640;
  uint32_t min_height = 480;
  uint32_t max_width = 7680;
  uint32_t max_height = 4320;
  uint32_t min_refresh_hz = 24;
  uint32_t max_refresh_hz = 240;
  std::vector<uint32_t> refresh_rates;  // supported refresh rates; empty
};

// The driver's device as the configuration manager shows it.
struct VddDeviceInfo {
  bool found = false;
  bool present = false;
  bool running = false;
  bool has_problem = false;  // DN_HAS_PROBLEM
  uint32_t problem_code = 0;
  std::string instance_id;
  std::string driver_version;
};

// "detached" (0), "cloned" (1), "extended" (2); "unknown" otherwise.
enum class VddTargetState : int { kDetached = 0, kCloned = 1, kExtended = 2 };
const char* VddTargetStateName(int state);

// One display target of the driver's adapter.
struct VddTarget {
  std::string target_id;
  VddTargetState state = VddTargetState::kDetached;
  std::string gdi_source_name;  // when active
};

// The device instance id of a target's monitor from its device path
// ("\\?\DISPLAY#ABC1234#5&1a2b&0&UID256#{e6f07b5f-...}" →
// "DISPLAY\ABC1234\5&1A2B&0&UID256"): the leading "\\?\" dropped, cut at
// the first "#{", every '#' made '\', upper case. Empty path: empty.
std::string TargetIdFromDevicePath(std::string_view device_path);
// "TARGET-%08lX-%u" of the adapter LUID's low part and the target number,
// for a target whose device path is not known.
std::string FallbackTargetId(uint32_t adapter_luid_low, uint32_t target_number);

// Names one acquired monitor: "attached" (the host attached it) or
// "preexisting" (it was extended before; left extended at release), then
// "@" and the target id; the word alone without a target id.
struct VddToken {
  bool attached = false;  // false: preexisting
  std::string target_id;  // may be empty
};
std::string FormatVddToken(const VddToken& token);
// Splits at the first '@': the word must be exactly "attached" or
// "preexisting", and an '@' needs a non-empty target id after it.
std::optional<VddToken> ParseVddToken(std::string_view text);

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
  // The modes a virtual monitor takes.
  virtual VirtualDisplayModeLimits GetModeLimits() = 0;
  virtual bool HoldsMonitor(size_t session_id) = 0;
  // Empty when the session holds no monitor.
  virtual std::string GetMonitorId(size_t session_id) = 0;
  virtual void Release(size_t session_id, const std::string& reason) = 0;
  // The tablet of this session showed up on another slot; its monitor is
  // kept for the hand-over.
  virtual void MarkTabletReconnected(size_t session_id) = 0;
};

}  // namespace orvane
