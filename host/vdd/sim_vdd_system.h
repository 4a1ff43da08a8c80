#pragma once
// The platform calls of the Virtual Display Driver back-end answered by a
// simulated world (tools/sim_vdd): Linux runs use it in place of Windows,
// and tests drive the back-end against it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/vdd/vdd_system.h"
#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane::vdd {

// Calls on a world in memory, which the caller keeps alive and does not use
// from another thread meanwhile. With a clock, the world follows it before
// every call (a back-end that waits on a ManualClock sees joins and restarts
// happen); without one, only the caller moves the world's time.
std::unique_ptr<IVddSystem> MakeSimVddSystem(sim_vdd::SimVddWorld& world);
std::unique_ptr<IVddSystem> MakeSimVddSystem(sim_vdd::SimVddWorld& world, IClock& clock);

// The display changes asked of a world in memory, call by call as the
// back-end made them, with the world's answers.
struct SimVddCalls {
  struct SetConfig {
    uint32_t flags = 0;
    bool with_modes = false;
    size_t path_count = 0;
    int32_t answer = 0;
  };
  struct Change {
    std::string device;  // empty: the call without device and settings
    DisplaySettings settings;
    uint32_t flags = 0;
    int32_t answer = 0;
  };
  std::vector<SetConfig> set_config;  // SetDisplayConfig
  std::vector<Change> changes;        // ChangeDisplaySettingsEx
};
// As above, noting every SetDisplayConfig and ChangeDisplaySettingsEx call
// in *calls (kept alive by the caller).
std::unique_ptr<IVddSystem> MakeSimVddSystem(sim_vdd::SimVddWorld& world, IClock& clock, SimVddCalls* calls);

// Calls on the world in <world_folder>/world.ini, shared with other
// processes: under the folder's lock every call loads the file, lets the
// world follow the clock, and saves it when the call changed something. An
// absent file starts as the default world. A file that cannot be read or
// written makes the calls fail (logged when that changes).
std::unique_ptr<IVddSystem> MakeFileSimVddSystem(const std::string& world_folder);
std::unique_ptr<IVddSystem> MakeFileSimVddSystem(const std::string& world_folder, IClock& clock);

// The monitors on the world's desktop as monitor enumeration would list
// them; false when the world file cannot be read.
bool ListSimDesktopMonitors(const std::string& world_folder, std::vector<sim_vdd::SimDesktopMonitor>* monitors);

}  // namespace orvane::vdd
