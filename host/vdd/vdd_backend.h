#pragma once
// The back-end that drives the Virtual Display Driver (device Root\TvrVDD):
// finds the driver's device and judges it, reads the display paths and the
// driver's targets, attaches a target to the desktop in extend mode right of
// the other monitors and detaches it, sets a monitor's mode (turning it for
// portrait tablets), releases monitors by token and detaches driver monitors
// no tablet uses. Every platform call goes through vdd::IVddSystem and every
// wait through the IClock.
//
// The manager calls the interface under its mutex. SetMonitorMode is also
// called without it (the manager's mode switch); it reads no state of the
// back-end.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/vdd/vdd_modes.h"
#include "host/vdd/vdd_requests.h"
#include "host/vdd/vdd_system.h"
#include "host/vdd/virtual_display.h"
#include "host/vdd/virtual_display_backend.h"

namespace orvane {

// Where the driver keeps its folder and the setup tool's notes.
inline constexpr char kVddDriverRegistryKey[] = "SOFTWARE\\Telvenor\\VirtualDisplayDriver";
inline constexpr char kVddPathValue[] = "VDDPATH";
inline constexpr char kOrvaneRegistryKey[] = "SOFTWARE\\Orvane Display";
inline constexpr char kVddFirstOrvaneMonitorValue[] = "VddFirstOrvaneMonitor";

// The unused-monitor check waits this long after boot (the driver's
// monitors may still be arriving).
inline constexpr uint64_t kVddUnusedCheckMinUptimeMs = 120'000;
// Waiting for an attached monitor to join the desktop.
inline constexpr uint32_t kVddJoinPollMs = 100;
inline constexpr uint32_t kVddJoinWaitMs = 4000;

class VirtualDriversVddBackend final : public IVirtualDisplayBackend {
 public:
  VirtualDriversVddBackend(vdd::IVddSystem& system, IVddRequests& requests, IClock& clock);

  const char* GetId() const override { return "tvr-vdd"; }
  const char* GetDisplayName() const override { return "Virtual Display Driver (VirtualDrivers)"; }
  VirtualDisplayAvailability QueryAvailability() override;
  VirtualDisplayModeLimits GetModeLimits() override { return {}; }
  bool AcquireMonitor(const VirtualDisplayMode& mode, VddAcquireResult* result, std::string* error) override;
  bool AcquireMonitorExcluding(const VirtualDisplayMode& mode, const std::vector<std::string>& in_use_tokens,
                               VddAcquireResult* result, std::string* error) override;
  uint32_t GetMaxMonitors() override;
  bool RequestMonitorCount(uint32_t count, std::string* message) override;
  bool ReleaseMonitor(const std::string& token, std::string* error) override;
  VddUnusedCheck DetachUnusedMonitors(const std::vector<std::string>& in_use_tokens) override;
  bool ReleaseLeftoverMonitor(const std::string& token, std::string* error) override;
  std::string GetMonitorIdForToken(const VddAcquireResult& result) override;

  // The driver's device among the display-class devices: the best of the
  // matches (running over present over found; the first of equals).
  VddDeviceInfo FindVddDevice();
  // The driver's targets that are available or active, once per target id,
  // in the order the display configuration lists them.
  bool EnumerateVddTargets(const std::string& instance_id, std::vector<VddTarget>* targets, std::string* error);
  // Activates a free path of the driver's adapter to the target (any target
  // of the driver when target_id is empty). *gdi_name is the path's GDI
  // source name, also when the activation failed (for the display-settings
  // fallback).
  bool AttachTarget(const std::string& instance_id, const std::string& target_id, std::string* gdi_name,
                    std::string* error);
  // Attaches a GDI source to the desktop at `position` through the display
  // settings (1920×1080, stored, then applied).
  bool AttachWithDisplaySettings(const std::string& gdi_name, const vdd::DesktopPosition& position,
                                 std::string* error);
  // Deactivates the driver's active paths (only those to target_id when one
  // is given); never the last active display. save: into the display
  // database.
  bool DetachTargets(const std::string& instance_id, const std::string& target_id, bool save, std::string* error);
  // Switches the GDI device to the listed mode closest to `mode`, at
  // `position` when one is given. *applied is the mode set (only on
  // success).
  bool SetMonitorMode(const std::string& device, const VirtualDisplayMode& mode,
                      const std::optional<vdd::DesktopPosition>& position, VirtualDisplayMode* applied);

  // The driver's settings file, from VDDPATH or the default folder.
  std::string SettingsFilePath();

 private:
  bool CheckReady(std::string* error);
  uint32_t CountDriverMonitors(const std::string& instance_id);
  bool QueryDisplayPaths(bool active_only, vdd::DisplayConfig* config, std::string* error);
  bool PathBelongsToDriver(const vdd::DisplayPath& path, const std::string& instance_id);
  std::string TargetIdOf(const vdd::DisplayPath& path);
  bool OnDesktop(const std::string& device);
  bool WaitForJoin(const std::string& instance_id, const std::string& target_id, VddTarget* joined);
  std::vector<vdd::DesktopRect> DesktopMonitorsExcept(const std::string& device);
  void NoteMonitorCount(uint32_t count);

  vdd::IVddSystem& system_;
  IVddRequests& requests_;
  IClock& clock_;
  std::string instance_id_;        // of the running device, once seen
  uint32_t monitor_count_ = 0;     // last non-zero count seen
  std::optional<bool> unused_deferred_;  // the unused check's last verdict
};

}  // namespace orvane
