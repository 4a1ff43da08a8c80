#pragma once
// A scripted virtual display back-end over a small model of the driver and
// the desktop: the driver has a number of targets ("DISPLAY\TVR\<n>"), each
// attached target shows up on the desktop as "\\.\DISPLAY<n+2>" after the
// desktop's own "\\.\DISPLAY1". Tests script answers and read what was called
// through the shared state, which outlives the back-end (the manager owns and
// replaces back-ends).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/vdd/virtual_display_backend.h"
#include "host/video/monitor_enumeration.h"

namespace orvane::testing {

struct FakeVddState {
  mutable std::mutex mu;

  // Script.
  const char* id = "tvr-vdd";
  const char* display_name = "Virtual Display Driver (VirtualDrivers)";
  VirtualDisplayAvailability availability{VirtualDisplayState::kInstalled, "driver running", false};
  uint32_t targets = 2;  // also GetMaxMonitors
  std::string acquire_error;  // AcquireMonitorExcluding fails with it when acquire_fails
  bool acquire_fails = false;
  std::string token_override;  // a token to hand out instead of "attached@<target>"
  bool monitors_appear = true;  // attached targets show up on the desktop
  bool name_monitor = true;     // GetMonitorIdForToken names the GDI device
  bool restart_on_request = false;
  std::string request_message;
  bool release_fails = false;
  bool unused_deferred = false;
  uint32_t unused_detached = 0;

  // The model.
  std::vector<bool> attached;  // per target
  uint32_t desktop_width = 1920, desktop_height = 1080;

  // What happened.
  uint32_t backends_created = 0;
  uint32_t backends_destroyed = 0;
  uint32_t acquire_calls = 0;
  std::vector<std::vector<std::string>> excluded_tokens;  // per acquire
  std::vector<std::string> released;           // ReleaseMonitor tokens that succeeded
  std::vector<std::string> leftovers_released;  // ReleaseLeftoverMonitor calls
  uint32_t unused_checks = 0;
  std::vector<uint32_t> monitor_count_requests;

  static std::string TargetId(uint32_t n) { return "DISPLAY\\TVR\\" + std::to_string(n); }
  static std::string GdiName(uint32_t n) { return "\\\\.\\DISPLAY" + std::to_string(n + 2); }
  static std::string Token(uint32_t n) { return "attached@" + TargetId(n); }

  // The desktop: its own monitor, then each attached target (when monitors
  // appear) at the mode it was acquired with.
  std::vector<MonitorInfoData> Desktop() const;
  uint32_t AttachedCount() const;
  void SetAttached(uint32_t target, bool on);

  // Per attached target: the mode its monitor shows.
  std::vector<VirtualDisplayMode> modes;
};

class FakeVddBackend final : public IVirtualDisplayBackend {
 public:
  explicit FakeVddBackend(std::shared_ptr<FakeVddState> state);
  ~FakeVddBackend() override;

  const char* GetId() const override;
  const char* GetDisplayName() const override;
  VirtualDisplayAvailability QueryAvailability() override;
  VirtualDisplayModeLimits GetModeLimits() override { return {}; }
  bool AcquireMonitor(const VirtualDisplayMode& mode, VddAcquireResult* result, std::string* error) override {
    return AcquireMonitorExcluding(mode, {}, result, error);
  }
  bool AcquireMonitorExcluding(const VirtualDisplayMode& mode, const std::vector<std::string>& in_use_tokens,
                               VddAcquireResult* result, std::string* error) override;
  uint32_t GetMaxMonitors() override;
  bool RequestMonitorCount(uint32_t count, std::string* message) override;
  bool ReleaseMonitor(const std::string& token, std::string* error) override;
  VddUnusedCheck DetachUnusedMonitors(const std::vector<std::string>& in_use_tokens) override;
  bool ReleaseLeftoverMonitor(const std::string& token, std::string* error) override;
  std::string GetMonitorIdForToken(const VddAcquireResult& result) override;

 private:
  // The target a token names, or -1.
  int TargetOf(const std::string& token) const;
  std::shared_ptr<FakeVddState> state_;
};

}  // namespace orvane::testing
