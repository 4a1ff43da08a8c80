#pragma once
// The back-end of the virtual display manager: what drives one kind of
// virtual display driver. VirtualDriversVddBackend (vdd_backend.h) drives the
// Virtual Display Driver; NotInstalledVirtualDisplayBackend stands in when no
// driver is installed. The manager calls every operation under its mutex.

#include <cstdint>
#include <string>
#include <vector>

#include "host/vdd/virtual_display.h"

namespace orvane {

// What the back-end hands the manager for one acquired monitor.
struct VddAcquireResult {
  std::string token;       // FormatVddToken
  std::string monitor_id;  // GDI device name ("\\.\DISPLAY2")
  VirtualDisplayMode applied_mode;
};

struct VddUnusedCheck {
  uint32_t detached = 0;
  bool deferred = false;
};

// Operations in the order of the interface's slots.
class IVirtualDisplayBackend {
 public:
  virtual ~IVirtualDisplayBackend() = default;
  virtual const char* GetId() const = 0;
  virtual const char* GetDisplayName() const = 0;
  virtual VirtualDisplayAvailability QueryAvailability() = 0;
  virtual VirtualDisplayModeLimits GetModeLimits() = 0;
  virtual bool AcquireMonitor(const VirtualDisplayMode& mode, VddAcquireResult* result, std::string* error) = 0;
  virtual bool AcquireMonitorExcluding(const VirtualDisplayMode& mode, const std::vector<std::string>& in_use_tokens,
                                       VddAcquireResult* result, std::string* error) = 0;
  virtual uint32_t GetMaxMonitors() = 0;
  // True when a driver restart will provide `count` monitors.
  virtual bool RequestMonitorCount(uint32_t count, std::string* message) = 0;
  virtual bool ReleaseMonitor(const std::string& token, std::string* error) = 0;
  virtual VddUnusedCheck DetachUnusedMonitors(const std::vector<std::string>& in_use_tokens) = 0;
  virtual bool ReleaseLeftoverMonitor(const std::string& token, std::string* error) = 0;
  virtual std::string GetMonitorIdForToken(const VddAcquireResult& result) = 0;
};

// No driver: nothing can be acquired.
class NotInstalledVirtualDisplayBackend final : public IVirtualDisplayBackend {
 public:
  const char* GetId() const override { return "none"; }
  const char* GetDisplayName() const override { return "no virtual display driver"; }
  VirtualDisplayAvailability QueryAvailability() override {
    return {VirtualDisplayState::kNotInstalled, "no supported virtual display driver found", false};
  }
  VirtualDisplayModeLimits GetModeLimits() override { return {}; }
  bool AcquireMonitor(const VirtualDisplayMode&, VddAcquireResult*, std::string* error) override {
    *error = "virtual display driver is not installed";
    return false;
  }
  bool AcquireMonitorExcluding(const VirtualDisplayMode& mode, const std::vector<std::string>&,
                               VddAcquireResult* result, std::string* error) override {
    return AcquireMonitor(mode, result, error);
  }
  uint32_t GetMaxMonitors() override { return 1; }
  bool RequestMonitorCount(uint32_t, std::string* message) override {
    *message = "the virtual display driver supports no more monitors";
    return false;
  }
  bool ReleaseMonitor(const std::string&, std::string* error) override {
    *error = "virtual display driver is not installed";
    return false;
  }
  VddUnusedCheck DetachUnusedMonitors(const std::vector<std::string>&) override { return {}; }
  bool ReleaseLeftoverMonitor(const std::string& token, std::string* error) override {
    return ReleaseMonitor(token, error);
  }
  std::string GetMonitorIdForToken(const VddAcquireResult& result) override { return result.monitor_id; }
};

}  // namespace orvane
