#pragma once
// The host process's virtual displays: the platform's calls (none on Linux
// without a simulated driver), the settings-file requests, and the one
// VirtualDisplayManager with its crash ledger in the data folder.

#include <memory>

#include "host/common/clock.h"
#include "host/vdd/vdd_requests.h"
#include "host/vdd/vdd_settings_host.h"
#include "host/vdd/vdd_system.h"
#include "host/vdd/virtual_display_backend.h"
#include "host/vdd/virtual_display_manager.h"

namespace orvane {

class VirtualDriversVddBackend;

inline constexpr char kVirtualDisplayLedgerFileName[] = "virtual_display_ledger.ini";

// The Virtual Display Driver's back-end when the driver is installed
// (availability state 1), else the not-installed stand-in; also when there
// are no platform calls at all.
std::unique_ptr<IVirtualDisplayBackend> MakeVddBackend(vdd::IVddSystem* system, IVddRequests& requests,
                                                       IClock& clock);

class HostVirtualDisplays {
 public:
  // Logs the back-end and its availability.
  explicit HostVirtualDisplays(IClock& clock);
  ~HostVirtualDisplays();
  HostVirtualDisplays(const HostVirtualDisplays&) = delete;
  HostVirtualDisplays& operator=(const HostVirtualDisplays&) = delete;

  VirtualDisplayManager& manager() { return *manager_; }

 private:
  IClock& clock_;
  std::unique_ptr<vdd::IVddSystem> system_;
  SettingsFileVddRequests requests_;
  // Mode switches of the manager's monitors, outside its lock: a back-end of
  // its own over the same calls (switching reads no back-end state).
  std::unique_ptr<VirtualDriversVddBackend> switcher_;
  std::unique_ptr<VirtualDisplayManager> manager_;
};

}  // namespace orvane
