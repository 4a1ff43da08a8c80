#include "host/vdd/vdd_backend.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/vdd/sim_vdd_system.h"
#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"
#include "vdd_settings/vdd_settings.h"

namespace orvane {
namespace {

using sim_vdd::SimLink;
using sim_vdd::SimMode;
using sim_vdd::SimVddWorld;

// Records what the back-end asks of the driver's settings file.
class RecordingVddRequests final : public IVddRequests {
 public:
  struct Resolution {
    std::string path;
    VirtualDisplayMode requested;
    VirtualDisplayMode applied;
  };
  struct Count {
    std::string path;
    uint32_t count;
    uint32_t known;
  };
  void RequestResolution(const std::string& path, const VirtualDisplayMode& requested,
                         const VirtualDisplayMode& applied) override {
    resolutions.push_back({path, requested, applied});
  }
  bool RequestMonitorCount(const std::string& path, uint32_t count, uint32_t known, std::string* message) override {
    counts.push_back(count);
    count_calls.push_back({path, count, known});
    *message = count_message;
    return count_answer;
  }
  void Offered(const VirtualDisplayMode& mode) override { offered.push_back(mode); }

  std::vector<Resolution> resolutions;
  std::vector<uint32_t> counts;
  std::vector<Count> count_calls;
  std::vector<VirtualDisplayMode> offered;
  bool count_answer = false;
  std::string count_message;
};

std::string Text(const VirtualDisplayMode& m) {
  return std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.refresh_hz);
}

// --- the simulated machine ---

// The instance id the back-end derives for driver monitor `index`.
std::string DriverTargetId(uint32_t index) { return SimVddWorld().TargetInstanceId(index); }
std::string Attached(uint32_t target) { return "attached@" + DriverTargetId(target); }

// The modes every driver monitor lists; a monitor runs the first of them
// (with none listed it keeps the one it had).
void SetDriverModes(SimVddWorld& w, const std::vector<SimMode>& modes) {
  w.state().device.modes = modes;
  if (modes.empty()) return;
  for (sim_vdd::SimMonitorState& t : w.state().targets) t.mode = modes.front();
}

// The running driver exposes `count` monitors, all detached.
void SetDriverMonitors(SimVddWorld& w, uint32_t count) {
  sim_vdd::SimMonitorState fresh;
  if (!w.state().device.modes.empty()) fresh.mode = w.state().device.modes.front();
  w.state().targets.assign(count, fresh);
}

// Driver monitor `target` on the desktop through driver source `source`
// before the host starts; a second monitor on a source clones the first.
void Extend(SimVddWorld& w, uint32_t target, uint32_t source, int32_t x = 5000) {
  sim_vdd::SimMonitorState& t = w.state().targets.at(target);
  t.link = SimLink::kAttached;
  t.source_id = source;
  t.x = x;
  t.y = 0;
}

void NoDriver(SimVddWorld& w) {
  sim_vdd::SimDevice& d = w.state().device;
  d.installed = d.present = d.started = false;
  w.state().targets.clear();
}

// The driver's device at `instance_id`, stopped with `problem`.
void StoppedDriver(SimVddWorld& w, const std::string& instance_id, bool present, uint32_t problem) {
  sim_vdd::SimDevice& d = w.state().device;
  d.instance_id = instance_id;
  d.present = present;
  d.started = false;
  d.problem = problem;
  w.state().targets.clear();
}

// A display-class device that is not the world's own.
sim_vdd::SimOtherDevice OtherDevice(const std::string& instance_id, std::vector<std::string> hardware_ids,
                                    const std::string& version = "1.0.0.0") {
  return {instance_id, std::move(hardware_ids), version, true, true, 0};
}

void NoPhysicalMonitor(SimVddWorld& w) {
  for (sim_vdd::SimPhysicalMonitor& m : w.state().physical.monitors) {
    m.state.link = SimLink::kDetached;
    m.state.primary = false;
  }
}

void SetUptimeMs(SimVddWorld& w, uint64_t ms) { w.state().uptime_base_ms = ms - w.state().now_ms; }

void SetVddPath(SimVddWorld& w, const std::string& folder) {
  w.state().registry.has_vdd_path = true;
  w.state().registry.vdd_path = folder;
}

void SetFirstOrvaneMonitor(SimVddWorld& w, uint32_t first) {
  w.state().registry.has_first_orvane_monitor = true;
  w.state().registry.first_orvane_monitor = first;
}

// Driver monitors (by index) on the desktop's paths.
std::vector<uint32_t> ActiveDriverTargets(const SimVddWorld& w) {
  std::vector<uint32_t> active;
  for (uint32_t i = 0; i < w.state().targets.size(); ++i) {
    if (w.state().targets[i].link == SimLink::kAttached) active.push_back(i);
  }
  return active;
}

// The host's usual machine: the driver running with `monitors` monitors
// (none attached, each listing 1920x1080@60), a primary 1920x1080 at (0,0)
// and a 1280x1024 at (1920,0), so a new monitor goes to (3200,0). The
// driver's sources are \\.\DISPLAY3 onwards. The world follows the clock,
// so monitors join while the back-end waits.
struct Machine {
  explicit Machine(uint32_t monitors = 2) {
    SetDriverModes(world, {{1920, 1080, 60}});
    SetDriverMonitors(world, monitors);
    sim_vdd::SimPhysicalAdapter& p = world.state().physical;
    p.sources = 2;
    p.monitors[0].state.mode = {1920, 1080, 60};
    sim_vdd::SimPhysicalMonitor second;
    second.edid = "PHY1002";
    second.target_id = sim_vdd::kFirstPhysicalTargetId + 1;
    second.modes = {{1280, 1024, 60}};
    second.state.link = SimLink::kAttached;
    second.state.source_id = 1;
    second.state.x = 1920;
    second.state.mode = {1280, 1024, 60};
    p.monitors.push_back(second);
  }
  uint64_t WaitedMs() { return clock.TickMs() - start_ms; }
  std::vector<uint32_t> ConfigFlags() const {
    std::vector<uint32_t> flags;
    for (const auto& call : calls.set_config) flags.push_back(call.flags);
    return flags;
  }

  SimVddWorld world;
  vdd::SimVddCalls calls;
  ManualClock clock;
  std::unique_ptr<vdd::IVddSystem> sys = vdd::MakeSimVddSystem(world, clock, &calls);
  RecordingVddRequests requests;
  uint64_t start_ms = clock.TickMs();
  VirtualDriversVddBackend backend{*sys, requests, clock};
};

constexpr uint32_t kAttachFlags = vdd::kSdcSuppliedConfig;            // 0x4A0
constexpr uint32_t kTopologyFlags = vdd::kSdcTopologyOnly;            // 0x2090
constexpr uint32_t kSavedDetachFlags = vdd::kSdcSuppliedConfig | vdd::kSdcSaveToDatabase;  // 0x6A0

TEST(VirtualDriversVddBackend, IdentityLimitsAndMonitorCountRequests) {
  Machine m;
  EXPECT_STREQ(m.backend.GetId(), "tvr-vdd");
  EXPECT_STREQ(m.backend.GetDisplayName(), "Virtual Display Driver (VirtualDrivers)");
  const VirtualDisplayModeLimits limits = m.backend.GetModeLimits();
  EXPECT_EQ(limits.min_width, 640u);
  EXPECT_EQ(limits.max_height, 4320u);
  EXPECT_EQ(limits.max_refresh_hz, 240u);
  EXPECT_TRUE(limits.refresh_rates.empty());

  m.requests.count_answer = true;
  m.requests.count_message = "restart the driver";
  std::string message;
  EXPECT_TRUE(m.backend.RequestMonitorCount(3, &message));
  EXPECT_EQ(message, "restart the driver");
  EXPECT_EQ(m.requests.counts, std::vector<uint32_t>{3});
  // The settings file from VDDPATH, and the driver's monitor count once one
  // was seen (0 before).
  ASSERT_EQ(m.requests.count_calls.size(), 1u);
  EXPECT_EQ(m.requests.count_calls[0].path, tvr_vdd::SettingsFileInFolder(""));
  EXPECT_EQ(m.requests.count_calls[0].known, 0u);
  SetVddPath(m.world, "D:\\Drivers\\VDD\\");
  SetDriverMonitors(m.world, 2);
  m.backend.QueryAvailability();
  m.requests.count_answer = false;
  EXPECT_FALSE(m.backend.RequestMonitorCount(5, &message));
  ASSERT_EQ(m.requests.count_calls.size(), 2u);
  EXPECT_EQ(m.requests.count_calls[1].path, tvr_vdd::SettingsFileInFolder("D:\\Drivers\\VDD\\"));
  EXPECT_EQ(m.requests.count_calls[1].count, 5u);
  EXPECT_EQ(m.requests.count_calls[1].known, 2u);
}

// --- the device ---

TEST(VirtualDriversVddBackend, Availability) {
  struct Case {
    const char* name;
    std::function<void(SimVddWorld&)> setup;
    VirtualDisplayState state;
    std::string detail;
    bool no_monitor;
  };
  const std::string folder = "D:\\Drivers\\VDD\\";
  const Case cases[] = {
      {"no driver, another display device",
       [](SimVddWorld& w) {
         NoDriver(w);
         w.state().other_devices = {OtherDevice("PCI\\VEN_10DE\\1", {"PCI\\VEN_10DE&DEV_2484"})};
       },
       VirtualDisplayState::kNotInstalled, "Virtual Display Driver (Root\\TvrVDD) not installed", false},
      {"found, not present", [](SimVddWorld& w) { StoppedDriver(w, "ROOT\\DISPLAY\\0001", false, 0); },
       VirtualDisplayState::kNotInstalled, "Virtual Display Driver device ROOT\\DISPLAY\\0001 is not present", false},
      {"disabled",
       [](SimVddWorld& w) { StoppedDriver(w, "ROOT\\DISPLAY\\0001", true, vdd::kProblemDisabled); },
       VirtualDisplayState::kUnavailable,
       "Virtual Display Driver device has problem code 22 (disabled in Device Manager)", false},
      {"another problem", [](SimVddWorld& w) { StoppedDriver(w, "ROOT\\DISPLAY\\0001", true, 28); },
       VirtualDisplayState::kUnavailable, "Virtual Display Driver device has problem code 28", false},
      {"present, no problem, not started", [](SimVddWorld& w) { StoppedDriver(w, "ROOT\\DISPLAY\\0001", true, 0); },
       VirtualDisplayState::kUnavailable, "Virtual Display Driver device is not running", false},
      {"running with two monitors", [&folder](SimVddWorld& w) { SetVddPath(w, folder); },
       VirtualDisplayState::kInstalled,
       "Virtual Display Driver 24.12.24.0 (ROOT\\DISPLAY\\0000, 2 monitor(s), settings " +
           tvr_vdd::SettingsFileInFolder(folder) + ")",
       false},
      {"running without monitors, hardware id in another case, default folder",
       [](SimVddWorld& w) {
         NoDriver(w);
         w.state().other_devices = {OtherDevice("ROOT\\DISPLAY\\0000", {"PCI\\X", "tvrvdd"}, "1.2")};
         SetVddPath(w, "");
       },
       VirtualDisplayState::kInstalled,
       "Virtual Display Driver 1.2 (ROOT\\DISPLAY\\0000, 0 monitor(s), settings " +
           tvr_vdd::SettingsFileInFolder(tvr_vdd::kDefaultSettingsFolder) + ")",
       true},
      {"a hardware id that only starts like the driver's",
       [](SimVddWorld& w) {
         NoDriver(w);
         w.state().other_devices = {OtherDevice("ROOT\\DISPLAY\\0001", {"Root\\TvrVDD2"})};
       },
       VirtualDisplayState::kNotInstalled, "Virtual Display Driver (Root\\TvrVDD) not installed", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    c.setup(m.world);
    const VirtualDisplayAvailability a = m.backend.QueryAvailability();
    EXPECT_EQ(a.state, c.state);
    EXPECT_EQ(a.detail, c.detail);
    EXPECT_EQ(a.no_monitor, c.no_monitor);
  }
}

TEST(VirtualDriversVddBackend, FindVddDeviceRanksMatches) {
  struct Device {
    const char* id;
    bool present;
    uint32_t status;
  };
  struct Case {
    const char* name;
    std::vector<Device> devices;
    const char* kept;
    bool running;
  };
  const uint32_t started = vdd::kDnStarted;
  const uint32_t problem = vdd::kDnHasProblem;
  const Case cases[] = {
      {"running beats present and found",
       {{"ROOT\\DISPLAY\\0001", false, 0}, {"ROOT\\DISPLAY\\0002", true, started}, {"ROOT\\DISPLAY\\0003", true, problem}},
       "ROOT\\DISPLAY\\0002", true},
      {"present beats found",
       {{"ROOT\\DISPLAY\\0001", false, 0}, {"ROOT\\DISPLAY\\0002", true, problem}, {"ROOT\\DISPLAY\\0003", false, 0}},
       "ROOT\\DISPLAY\\0002", false},
      {"the first of equals stays",
       {{"ROOT\\DISPLAY\\0001", true, started}, {"ROOT\\DISPLAY\\0002", true, started}, {"ROOT\\DISPLAY\\0003", true, started}},
       "ROOT\\DISPLAY\\0001", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    NoDriver(m.world);  // the copies below are every match
    for (const Device& d : c.devices) {
      sim_vdd::SimOtherDevice copy = OtherDevice(d.id, {"Root\\TvrVDD"});
      copy.present = d.present;
      copy.started = (d.status & started) != 0;
      copy.problem = (d.status & problem) != 0 ? 10 : 0;
      m.world.state().other_devices.push_back(copy);
    }
    const VddDeviceInfo info = m.backend.FindVddDevice();
    EXPECT_TRUE(info.found);
    EXPECT_EQ(info.instance_id, c.kept);
    EXPECT_EQ(info.running, c.running);
    EXPECT_EQ(info.driver_version, "1.0.0.0");
  }
}

TEST(VirtualDriversVddBackend, MaxMonitorsFollowsTheLastCountSeen) {
  struct Case {
    uint32_t monitors;
    uint32_t max;
  };
  for (const Case c : {Case{0, 1}, Case{1, 1}, Case{3, 3}, Case{4, 4}, Case{5, 4}, Case{8, 4}}) {
    SCOPED_TRACE(c.monitors);
    Machine m(c.monitors);
    EXPECT_EQ(m.backend.GetMaxMonitors(), 1u);
    m.backend.QueryAvailability();
    EXPECT_EQ(m.backend.GetMaxMonitors(), c.max);
  }
}

// --- attach ---

TEST(VirtualDriversVddBackend, AcquireAttachesRightOfTheDesktop) {
  Machine m;
  testing::LogCapture log;
  VddAcquireResult result;
  std::string error;
  ASSERT_TRUE(m.backend.AcquireMonitor({1920, 1080, 60}, &result, &error)) << error;
  EXPECT_EQ(result.token, Attached(0));
  EXPECT_EQ(result.monitor_id, "\\\\.\\DISPLAY3");
  EXPECT_EQ(Text(result.applied_mode), "1920x1080@60");
  EXPECT_EQ(ActiveDriverTargets(m.world), std::vector<uint32_t>{0});
  EXPECT_EQ(m.ConfigFlags(), std::vector<uint32_t>{kAttachFlags});

  const auto& changes = m.calls.changes;
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].device, "\\\\.\\DISPLAY3");
  EXPECT_NE(changes[0].settings.fields & vdd::kDmPosition, 0u);
  EXPECT_EQ(changes[0].settings.x, 3200);
  EXPECT_EQ(changes[0].settings.y, 0);
  EXPECT_EQ(changes[0].flags, 0u);
  vdd::DisplaySettings now;
  ASSERT_TRUE(m.sys->GetCurrentSettings("\\\\.\\DISPLAY3", &now));
  EXPECT_EQ(now.x, 3200);

  EXPECT_TRUE(log.Contains("[VDD] Using Virtual Display Driver monitor " + DriverTargetId(0) +
                           " (detached; 2 monitor(s), 0 in use)"));
  EXPECT_TRUE(log.Contains("[VDD] Virtual monitor \\\\.\\DISPLAY3 attached in extend mode (position 3200,0)"));
  ASSERT_EQ(m.requests.offered.size(), 1u);
  EXPECT_EQ(Text(m.requests.offered[0]), "1920x1080@60");
  EXPECT_EQ(m.backend.GetMaxMonitors(), 2u);
}

TEST(VirtualDriversVddBackend, AttachFallbacksAndFaults) {
  struct Case {
    const char* name;
    std::function<void(SimVddWorld&)> setup;
    bool ok;
    const char* error;
    const char* logged;
    std::vector<uint32_t> flags;
    std::vector<uint32_t> active_after;
    uint64_t waited_ms;
  };
  const Case cases[] = {
      {"supplied configuration refused, topology only works",
       [](SimVddWorld& w) { w.state().faults.supplied_config_error = vdd::kErrorGenFailure; }, true, "",
       "[VDD] SetDisplayConfig(attach, supplied config) failed (err=31); retrying with topology only",
       {kAttachFlags, kTopologyFlags}, {0}, 0},
      {"both refused: the display settings attach at the position",
       [](SimVddWorld& w) {
         w.state().faults.supplied_config_error = vdd::kErrorGenFailure;
         w.state().faults.topology_only_error = vdd::kErrorInvalidParameter;
       },
       true, "", "[VDD] SetDisplayConfig(attach) failed (err=87)", {kAttachFlags, kTopologyFlags}, {0}, 0},
      {"both refused and the display settings too",
       [](SimVddWorld& w) {
         w.state().faults.supplied_config_error = vdd::kErrorGenFailure;
         w.state().faults.topology_only_error = vdd::kErrorInvalidParameter;
         w.state().faults.position_change_fails = true;
       },
       false, "SetDisplayConfig(attach) failed (err=87)", "[VDD] ChangeDisplaySettingsEx(attach) failed (err=-1)",
       {kAttachFlags, kTopologyFlags}, {}, 0},
      {"the topology changes three times while querying", [](SimVddWorld& w) { w.state().faults.query_busy = 3; },
       true, "", nullptr, {kAttachFlags}, {0}, 0},
      {"the topology keeps changing", [](SimVddWorld& w) { w.state().faults.query_busy = 4; }, false,
       "QueryDisplayConfig kept changing", nullptr, {}, {}, 0},
      {"the monitor joins three polls later", [](SimVddWorld& w) { w.state().device.join_delay_ms = 300; }, true, "",
       nullptr, {kAttachFlags}, {0}, 300},
      {"the monitor never reaches the desktop: detached again",
       [](SimVddWorld& w) { w.state().faults.hidden_gdi = {0}; }, false,
       "the virtual monitor did not join the desktop", nullptr, {kAttachFlags, kAttachFlags}, {}, 4000},
      {"the driver's adapter known only through the monitors' parent",
       [](SimVddWorld& w) { w.state().faults.adapter_path_fails = true; }, true, "", nullptr, {kAttachFlags}, {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    c.setup(m.world);
    testing::LogCapture log;
    VddAcquireResult result;
    std::string error;
    EXPECT_EQ(m.backend.AcquireMonitor({1920, 1080, 60}, &result, &error), c.ok);
    EXPECT_EQ(error, c.error);
    if (c.ok) {
      EXPECT_EQ(result.token, Attached(0));
      EXPECT_EQ(result.monitor_id, "\\\\.\\DISPLAY3");
    }
    if (c.logged != nullptr) {
      EXPECT_TRUE(log.Contains(c.logged));
    }
    EXPECT_EQ(m.ConfigFlags(), c.flags);
    EXPECT_EQ(ActiveDriverTargets(m.world), c.active_after);
    EXPECT_EQ(m.WaitedMs(), c.waited_ms);
  }
}

TEST(VirtualDriversVddBackend, DisplaySettingsAttachStoresThenApplies) {
  Machine m;
  m.world.state().faults.supplied_config_error = vdd::kErrorGenFailure;
  m.world.state().faults.topology_only_error = vdd::kErrorGenFailure;
  VddAcquireResult result;
  std::string error;
  ASSERT_TRUE(m.backend.AcquireMonitor({1920, 1080, 60}, &result, &error)) << error;
  const auto& changes = m.calls.changes;
  ASSERT_GE(changes.size(), 2u);
  EXPECT_EQ(changes[0].device, "\\\\.\\DISPLAY3");
  EXPECT_EQ(changes[0].settings.fields, vdd::kDmPosition | vdd::kDmPelsWidth | vdd::kDmPelsHeight);
  EXPECT_EQ(changes[0].settings.x, 3200);
  EXPECT_EQ(changes[0].settings.y, 0);
  EXPECT_EQ(changes[0].settings.width, 1920u);
  EXPECT_EQ(changes[0].settings.height, 1080u);
  EXPECT_EQ(changes[0].flags, vdd::kCdsUpdateRegistry | vdd::kCdsNoReset);
  EXPECT_EQ(changes[1].device, "");
  EXPECT_EQ(changes[1].flags, 0u);
}

TEST(VirtualDriversVddBackend, AcquireChoosesExtendedThenClonedThenDetached) {
  struct Case {
    const char* name;
    uint32_t monitors;
    std::function<void(SimVddWorld&)> setup;
    std::vector<std::string> in_use;
    std::string token;  // empty: the acquire fails with `error`
    const char* error;
    std::vector<uint32_t> flags;
  };
  const std::string t0 = DriverTargetId(0);
  const Case cases[] = {
      {"an extended monitor is taken as it is", 3, [](SimVddWorld& w) { Extend(w, 1, 1); }, {},
       "preexisting@" + DriverTargetId(1), "", {}},
      {"the extended one serves another tablet", 3, [](SimVddWorld& w) { Extend(w, 1, 1); }, {Attached(1)},
       Attached(0), "", {kAttachFlags}},
      {"a cloned monitor leaves clone mode first", 3,
       [](SimVddWorld& w) {
         Extend(w, 0, 0);
         Extend(w, 2, 0);
       },
       {"preexisting@" + t0, "garbage", "attached"}, Attached(2), "", {kAttachFlags, kAttachFlags}},
      {"every monitor in use", 2, [](SimVddWorld&) {}, {Attached(0), Attached(1)}, "",
       "every Virtual Display Driver monitor serves another tablet", {}},
      {"no monitor at all", 0, [](SimVddWorld&) {}, {}, "",
       "the Virtual Display Driver runs but exposes no monitor (vdd_settings.xml may list more modes than it "
       "handles; Check setup can repair it)",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m(c.monitors);
    c.setup(m.world);
    VddAcquireResult result;
    std::string error;
    const bool ok = m.backend.AcquireMonitorExcluding({1920, 1080, 60}, c.in_use, &result, &error);
    EXPECT_EQ(ok, !c.token.empty());
    EXPECT_EQ(error, c.error);
    if (ok) {
      EXPECT_EQ(result.token, c.token);
    }
    EXPECT_EQ(m.ConfigFlags(), c.flags);
  }
}

TEST(VirtualDriversVddBackend, AcquireNeedsARunningDriver) {
  struct Case {
    const char* name;
    std::function<void(SimVddWorld&)> setup;
    const char* error;
  };
  const Case cases[] = {
      {"not installed", [](SimVddWorld& w) { NoDriver(w); }, "Virtual Display Driver not installed"},
      {"disabled", [](SimVddWorld& w) { StoppedDriver(w, "ROOT\\DISPLAY\\0001", true, vdd::kProblemDisabled); },
       "Virtual Display Driver device is not running"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    c.setup(m.world);
    VddAcquireResult result;
    std::string error;
    EXPECT_FALSE(m.backend.AcquireMonitor({1920, 1080, 60}, &result, &error));
    EXPECT_EQ(error, c.error);
  }
  Machine m;
  VddAcquireResult result;
  std::string error;
  EXPECT_FALSE(m.backend.AcquireMonitor({1920, 0, 60}, &result, &error));
  EXPECT_EQ(error, "invalid mode");
  EXPECT_TRUE(m.calls.set_config.empty());
}

// --- modes and what the settings file is asked for ---

TEST(VirtualDriversVddBackend, AcquiredModeAndSettingsRequests) {
  struct Case {
    const char* name;
    std::vector<SimMode> listed;
    VirtualDisplayMode request;
    const char* applied;
    const char* offered;    // empty: none
    const char* requested;  // "requested/applied" of RequestResolution; empty: none
    const char* logged;
  };
  const Case cases[] = {
      {"a portrait tablet on a landscape listing turns the monitor", {{2000, 1200, 60}}, {1200, 2000, 60},
       "1200x2000@60", "2000x1200@60", "",
       "[VDD] \\\\.\\DISPLAY3 set to 1200x2000@60 orientation=portrait (90) (was 2000x1200 orientation=0; requested "
       "1200x2000@60)"},
      {"1080x1920 on a driver listing 1920x1080", {{1920, 1080, 60}}, {1080, 1920, 60}, "1080x1920@60",
       "1920x1080@60", "", "orientation=portrait (90)"},
      {"an unlisted size runs at the closest mode and is asked for", {{2560, 1440, 60}, {1920, 1200, 60}},
       {2560, 1600, 60}, "1920x1200@60", "", "2560x1600@60/1920x1200@60",
       "[VDD] \\\\.\\DISPLAY3 runs at the closest listed mode 1920x1200@60 (requested 2560x1600@60)"},
      {"an unlisted portrait size is asked for in landscape form", {{2560, 1440, 60}, {1920, 1200, 60}},
       {1600, 2560, 60}, "1200x1920@60", "", "2560x1600@60/1200x1920@60", "orientation=portrait (90)"},
      {"no listed mode works: the current mode is kept", {}, {2000, 1200, 60}, "1920x1080@60", "",
       "2000x1200@60/1920x1080@60", "[VDD] Could not switch \\\\.\\DISPLAY3 to 2000x1200@60; capturing its current mode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    SetDriverModes(m.world, c.listed);
    testing::LogCapture log;
    VddAcquireResult result;
    std::string error;
    ASSERT_TRUE(m.backend.AcquireMonitor(c.request, &result, &error)) << error;
    EXPECT_EQ(Text(result.applied_mode), c.applied);
    std::string offered;
    for (const auto& o : m.requests.offered) offered += Text(o);
    EXPECT_EQ(offered, c.offered);
    std::string requested;
    for (const auto& r : m.requests.resolutions) {
      requested += Text(r.requested) + "/" + Text(r.applied);
      EXPECT_EQ(r.path, m.backend.SettingsFilePath());
    }
    EXPECT_EQ(requested, c.requested);
    EXPECT_TRUE(log.Contains(c.logged));
  }
}

TEST(VirtualDriversVddBackend, SetMonitorModeCandidatesAndPosition) {
  Machine m;
  Extend(m.world, 0, 0, 3200);  // \\.\DISPLAY3 runs 1920x1080@60
  const std::string display = "\\\\.\\DISPLAY3";
  VirtualDisplayMode applied;

  // Already there: nothing changes.
  EXPECT_TRUE(m.backend.SetMonitorMode(display, {1920, 1080, 60}, std::nullopt, &applied));
  EXPECT_TRUE(m.calls.changes.empty());

  // Turned, then asked again at another refresh: the turned mode is current.
  ASSERT_TRUE(m.backend.SetMonitorMode(display, {1080, 1920, 60}, std::nullopt, &applied));
  EXPECT_EQ(Text(applied), "1080x1920@60");
  ASSERT_EQ(m.calls.changes.size(), 1u);
  EXPECT_EQ(m.calls.changes[0].settings.orientation, vdd::kDmdo90);
  ASSERT_TRUE(m.backend.SetMonitorMode(display, {1080, 1920, 30}, std::nullopt, &applied));
  EXPECT_EQ(Text(applied), "1080x1920@60");
  EXPECT_EQ(m.calls.changes.size(), 1u);

  // A refused position: once more without it.
  testing::LogCapture log;
  m.world.state().faults.position_change_fails = true;
  ASSERT_TRUE(m.backend.SetMonitorMode(display, {1920, 1080, 60}, vdd::DesktopPosition{3200, 0}, &applied));
  EXPECT_TRUE(log.Contains("[VDD] Mode+position change on \\\\.\\DISPLAY3 failed (-1); retrying without position"));
  const auto& calls = m.calls.changes;
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].answer, vdd::kDispChangeFailed);
  EXPECT_EQ(calls[2].settings.fields & vdd::kDmPosition, 0u);
  EXPECT_EQ(calls[2].answer, vdd::kDispChangeSuccessful);

  // Nothing the monitor takes: every candidate fails.
  SetDriverModes(m.world, {});
  EXPECT_FALSE(m.backend.SetMonitorMode(display, {1200, 2000, 60}, std::nullopt, &applied));
  EXPECT_TRUE(log.Contains("[VDD] ChangeDisplaySettingsEx(\\\\.\\DISPLAY3, 1200x2000@60, unrotated) failed: -2"));
  EXPECT_TRUE(log.Contains("[VDD] ChangeDisplaySettingsEx(\\\\.\\DISPLAY3, 1200x2000@60, rotated) failed: -2"));

  EXPECT_FALSE(m.backend.SetMonitorMode("", {1920, 1080, 60}, std::nullopt, &applied));
  EXPECT_FALSE(m.backend.SetMonitorMode(display, {1920, 1080, 0}, std::nullopt, &applied));
}

// --- release ---

TEST(VirtualDriversVddBackend, ReleaseByToken) {
  struct Case {
    const char* name;
    bool driver;
    bool physical;
    std::string token;
    bool ok;
    const char* error;
    std::vector<uint32_t> flags;
    std::vector<uint32_t> active_after;
    const char* logged;
  };
  const Case cases[] = {
      {"not a token", true, true, "monitor@X", false, "not a Virtual Display Driver token", {}, {0, 1}, nullptr},
      {"a preexisting monitor stays", true, true, "preexisting@" + DriverTargetId(0), true, "", {}, {0, 1}, nullptr},
      {"an attached token without a target", true, true, "attached", false, "token names no monitor", {}, {0, 1},
       nullptr},
      {"an attached monitor is detached and saved", true, true, Attached(0), true, "", {kSavedDetachFlags}, {1},
       nullptr},
      {"the only active display stays", true, false, Attached(0), false,
       "the virtual monitor is the only active display; not detaching it", {}, {0}, nullptr},
      {"no driver: nothing to detach", false, true, Attached(0), true, "", {}, {},
       "[VDD] Nothing to detach: Virtual Display Driver not installed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m(2);
    if (!c.physical) NoPhysicalMonitor(m.world);
    if (c.driver) {
      Extend(m.world, 0, 0);
      if (c.physical) Extend(m.world, 1, 1);
    } else {
      NoDriver(m.world);
    }
    testing::LogCapture log;
    for (const bool leftover : {false, true}) {
      std::string error;
      EXPECT_EQ(leftover ? m.backend.ReleaseLeftoverMonitor(c.token, &error) : m.backend.ReleaseMonitor(c.token, &error),
                c.ok);
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(m.ConfigFlags(), c.flags);
    EXPECT_EQ(ActiveDriverTargets(m.world), c.active_after);
    if (c.logged != nullptr) {
      EXPECT_TRUE(log.Contains(c.logged));
    }
  }
}

TEST(VirtualDriversVddBackend, DetachTargetsKeepsOtherDisplays) {
  Machine m(3);
  Extend(m.world, 0, 0);
  Extend(m.world, 1, 1);
  std::string error;
  const std::string id = m.world.state().device.instance_id;
  EXPECT_TRUE(m.backend.DetachTargets(id, DriverTargetId(2), true, &error)) << error;
  EXPECT_TRUE(m.calls.set_config.empty());  // nothing to drop
  EXPECT_TRUE(m.backend.DetachTargets(id, "", false, &error)) << error;
  EXPECT_TRUE(ActiveDriverTargets(m.world).empty());
  ASSERT_EQ(m.calls.set_config.size(), 1u);
  EXPECT_EQ(m.calls.set_config[0].flags, kAttachFlags);
  EXPECT_TRUE(m.calls.set_config[0].with_modes);
  EXPECT_EQ(m.calls.set_config[0].path_count, 2u);  // the two physical monitors

  // Refused both ways: the GDI name is still handed out.
  sim_vdd::SimFaults& faults = m.world.state().faults;
  faults.supplied_config_error = vdd::kErrorAccessDenied;
  faults.topology_only_error = vdd::kErrorAccessDenied;
  std::string gdi;
  EXPECT_FALSE(m.backend.AttachTarget(id, DriverTargetId(1), &gdi, &error));
  EXPECT_EQ(error, "SetDisplayConfig(attach) failed (err=5)");
  EXPECT_EQ(gdi, "\\\\.\\DISPLAY3");  // the first free source
  faults.topology_only_error = vdd::kErrorSuccess;
  EXPECT_TRUE(m.backend.AttachTarget(id, DriverTargetId(1), &gdi, &error)) << error;
  EXPECT_EQ(ActiveDriverTargets(m.world), std::vector<uint32_t>{1});
  EXPECT_FALSE(m.calls.set_config.back().with_modes);
  // The supplied configuration is still refused, so is the saved detach.
  EXPECT_FALSE(m.backend.DetachTargets(id, DriverTargetId(1), true, &error));
  EXPECT_EQ(error, "SetDisplayConfig(detach) failed (err=5)");
  EXPECT_EQ(m.calls.set_config.back().flags, kSavedDetachFlags);
  EXPECT_FALSE(m.backend.AttachTarget(id, "DISPLAY\\NOPE\\1", &gdi, &error));
  EXPECT_EQ(error, "no free display path for the virtual monitor (is the VDD monitor connected?)");
}

const VddTarget* FindTarget(const std::vector<VddTarget>& targets, const std::string& id) {
  for (const VddTarget& t : targets) {
    if (t.target_id == id) return &t;
  }
  return nullptr;
}

TEST(VirtualDriversVddBackend, EnumerateTargetsStates) {
  Machine m(3);
  Extend(m.world, 0, 0);
  Extend(m.world, 2, 0);  // both on source 0: cloned
  const std::string id = m.world.state().device.instance_id;
  std::vector<VddTarget> targets;
  std::string error;
  ASSERT_TRUE(m.backend.EnumerateVddTargets(id, &targets, &error)) << error;
  ASSERT_EQ(targets.size(), 3u);
  const VddTarget* t0 = FindTarget(targets, DriverTargetId(0));
  const VddTarget* t1 = FindTarget(targets, DriverTargetId(1));
  const VddTarget* t2 = FindTarget(targets, DriverTargetId(2));
  ASSERT_TRUE(t0 != nullptr && t1 != nullptr && t2 != nullptr);
  EXPECT_EQ(t0->state, VddTargetState::kCloned);
  EXPECT_EQ(t0->gdi_source_name, "\\\\.\\DISPLAY3");
  EXPECT_EQ(t1->state, VddTargetState::kDetached);
  EXPECT_EQ(t1->gdi_source_name, "");
  EXPECT_EQ(t2->state, VddTargetState::kCloned);

  ASSERT_TRUE(m.backend.DetachTargets(id, DriverTargetId(2), false, &error));
  ASSERT_TRUE(m.backend.EnumerateVddTargets(id, &targets, &error)) << error;
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(FindTarget(targets, DriverTargetId(0))->state, VddTargetState::kExtended);
  EXPECT_EQ(FindTarget(targets, DriverTargetId(2))->state, VddTargetState::kDetached);
}

TEST(VirtualDriversVddBackend, MonitorIdForToken) {
  Machine m(2);
  Extend(m.world, 1, 1);  // \\.\DISPLAY4, extended
  const VddAcquireResult stored_only{Attached(1), "stored", {}};
  EXPECT_EQ(m.backend.GetMonitorIdForToken(stored_only), "stored");  // no device known yet
  m.backend.QueryAvailability();
  struct Case {
    std::string token;
    const char* id;
  };
  const Case cases[] = {
      {Attached(1), "\\\\.\\DISPLAY4"},
      {"preexisting@" + DriverTargetId(1), "\\\\.\\DISPLAY4"},
      {Attached(0), "stored"},  // detached
      {"attached", "\\\\.\\DISPLAY4"},
      {"nonsense", "stored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(m.backend.GetMonitorIdForToken({c.token, "stored", {}}), c.id);
  }
}

// --- unused monitors ---

TEST(VirtualDriversVddBackend, DetachUnusedMonitors) {
  struct Case {
    const char* name;
    std::function<void(SimVddWorld&)> setup;
    std::optional<uint32_t> first_orvane;
    uint32_t settings_count;  // 0: no settings file
    std::vector<std::string> in_use;
    uint32_t detached;
    bool deferred;
    std::vector<uint32_t> active_after;
    std::string logged;  // empty: not checked
  };
  auto all_extended = [](SimVddWorld& w) {
    for (uint32_t i = 0; i < 3; ++i) Extend(w, i, i);
  };
  const Case cases[] = {
      {"the check is off without the setup tool's value", all_extended, std::nullopt, 0, {}, 0, false, {0, 1, 2}, ""},
      {"deferred during the first two minutes",
       [&](SimVddWorld& w) {
         all_extended(w);
         SetUptimeMs(w, 119'999);
       },
       1, 0, {}, 0, true, {0, 1, 2},
       "[VDD] Unused virtual monitors: check deferred (3 of 1 monitor(s) present, uptime 119 s)"},
      {"checked from two minutes on",
       [&](SimVddWorld& w) {
         all_extended(w);
         SetUptimeMs(w, 120'000);
       },
       1, 0, {Attached(1)}, 1, false, {0, 1},
       "[VDD] Unused virtual monitors: checking (3 of 1 monitor(s) present, uptime 120 s)"},
      {"deferred while fewer monitors are present than the settings ask for", all_extended, 1, 4, {}, 0, true,
       {0, 1, 2}, "(3 of 4 monitor(s) present, uptime 3600 s)"},
      {"the settings file's count is read", all_extended, 1, 3, {Attached(1)}, 1, false, {0, 1},
       "[VDD] Detached unused virtual monitor " + DriverTargetId(2) + " (no tablet uses it)"},
      {"the user's own monitor goes only when cloned",
       [](SimVddWorld& w) {
         Extend(w, 0, 0);
         Extend(w, 1, 0);
         Extend(w, 2, 2);
       },
       1, 0, {Attached(1)}, 2, false, {1}, ""},
      {"every unused monitor from the first", all_extended, 0, 0, {"preexisting@nothing"}, 3, false, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m(3);
    c.setup(m.world);
    if (c.first_orvane) SetFirstOrvaneMonitor(m.world, *c.first_orvane);
    testing::ScopedTempDir dir;
    if (c.settings_count != 0) {
      const std::string folder = dir.path().string();
      std::ofstream(tvr_vdd::SettingsFileInFolder(folder), std::ios::binary)
          << "<vdd_settings><monitors><count>" << c.settings_count << "</count></monitors></vdd_settings>";
      SetVddPath(m.world, folder);
    }
    testing::LogCapture log;
    const VddUnusedCheck check = m.backend.DetachUnusedMonitors(c.in_use);
    EXPECT_EQ(check.detached, c.detached);
    EXPECT_EQ(check.deferred, c.deferred);
    EXPECT_EQ(ActiveDriverTargets(m.world), c.active_after);
    if (!c.logged.empty()) {
      EXPECT_TRUE(log.Contains(c.logged));
    }
  }
}

TEST(VirtualDriversVddBackend, UnusedCheckLogsOnlyAChangedVerdict) {
  Machine m(2);
  SetFirstOrvaneMonitor(m.world, 1);
  SetUptimeMs(m.world, 60'000);
  testing::LogCapture log;
  EXPECT_TRUE(m.backend.DetachUnusedMonitors({}).deferred);
  EXPECT_TRUE(m.backend.DetachUnusedMonitors({}).deferred);
  EXPECT_EQ(log.Count("Unused virtual monitors: check deferred"), 1u);
  SetUptimeMs(m.world, 200'000);
  EXPECT_FALSE(m.backend.DetachUnusedMonitors({}).deferred);
  EXPECT_FALSE(m.backend.DetachUnusedMonitors({}).deferred);
  EXPECT_EQ(log.Count("Unused virtual monitors: checking"), 1u);

  Machine none;
  NoDriver(none.world);
  SetFirstOrvaneMonitor(none.world, 1);
  const VddUnusedCheck check = none.backend.DetachUnusedMonitors({});
  EXPECT_EQ(check.detached, 0u);
  EXPECT_FALSE(check.deferred);
}

}  // namespace
}  // namespace orvane
