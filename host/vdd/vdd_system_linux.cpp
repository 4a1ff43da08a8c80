// Linux has no Virtual Display Driver: the calls go to the simulated world
// that ORVANE_SIM_VDD names, or there is no driver at all.

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/common/logger.h"
#include "host/vdd/sim_vdd_system.h"
#include "host/vdd/vdd_system.h"
#include "host/video/monitor_enumeration.h"

namespace orvane::vdd {

namespace {

constexpr size_t kMaxFolderBytes = 4096;

// The world folder ORVANE_SIM_VDD names; empty when none (or too long).
std::string WorldFolder() {
  const char* folder = std::getenv("ORVANE_SIM_VDD");
  if (folder == nullptr || folder[0] == '\0') return {};
  if (std::strlen(folder) > kMaxFolderBytes) {
    LogWarn("[SimVDD] ORVANE_SIM_VDD is longer than %zu bytes; no simulated driver", kMaxFolderBytes);
    return {};
  }
  return folder;
}

}  // namespace

std::unique_ptr<IVddSystem> MakePlatformVddSystem() {
  const std::string folder = WorldFolder();
  if (folder.empty()) return nullptr;
  LogInfo("[SimVDD] Simulated Virtual Display Driver world in %s", folder.c_str());
  return MakeFileSimVddSystem(folder);
}

void UseSimulatedDesktopWhenPresent() {
  const std::string folder = WorldFolder();
  if (folder.empty()) return;
  SetDesktopScanner([folder]() -> std::optional<DesktopScan> {
    std::vector<sim_vdd::SimDesktopMonitor> monitors;
    if (!ListSimDesktopMonitors(folder, &monitors)) return std::nullopt;
    DesktopScan scan;
    for (const sim_vdd::SimDesktopMonitor& m : monitors) {
      MonitorInfoData monitor;
      monitor.id = m.gdi_name;
      monitor.display_name = m.gdi_name;
      monitor.x = m.x;
      monitor.y = m.y;
      monitor.width = static_cast<int32_t>(m.width);
      monitor.height = static_cast<int32_t>(m.height);
      monitor.primary = m.primary;
      scan.monitors.push_back(std::move(monitor));
    }
    return scan;
  });
}

}  // namespace orvane::vdd
