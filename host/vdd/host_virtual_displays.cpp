#include "host/vdd/host_virtual_displays.h"

#include <optional>
#include <string>
#include <utility>

#include "host/common/data_folder.h"
#include "host/vdd/vdd_backend.h"
#include "host/video/monitor_enumeration.h"

namespace orvane {

std::unique_ptr<IVirtualDisplayBackend> MakeVddBackend(vdd::IVddSystem* system, IVddRequests& requests,
                                                       IClock& clock) {
  if (system != nullptr) {
    auto backend = std::make_unique<VirtualDriversVddBackend>(*system, requests, clock);
    if (backend->QueryAvailability().state == VirtualDisplayState::kInstalled) return backend;
  }
  return std::make_unique<NotInstalledVirtualDisplayBackend>();
}

HostVirtualDisplays::HostVirtualDisplays(IClock& clock) : clock_(clock), system_(vdd::MakePlatformVddSystem()) {
  if (system_) switcher_ = std::make_unique<VirtualDriversVddBackend>(*system_, requests_, clock_);
  VirtualDisplayManagerConfig config;
  if (const std::optional<std::filesystem::path> folder = DataFolder()) {
    config.ledger_path = *folder / kVirtualDisplayLedgerFileName;
  }
  VddModeSwitch mode_switch;
  if (VirtualDriversVddBackend* switcher = switcher_.get()) {
    mode_switch = [switcher](const std::string& monitor_id, const VirtualDisplayMode& mode) {
      VirtualDisplayMode applied;
      return switcher->SetMonitorMode(monitor_id, mode, std::nullopt, &applied);
    };
  }
  manager_ = std::make_unique<VirtualDisplayManager>(
      [this] { return MakeVddBackend(system_.get(), requests_, clock_); },
      [] { return MakePlatformMonitorEnumerator()->EnumerateMonitors(); }, std::move(config), std::move(mode_switch),
      clock_);
}

HostVirtualDisplays::~HostVirtualDisplays() { manager_.reset(); }

}  // namespace orvane
