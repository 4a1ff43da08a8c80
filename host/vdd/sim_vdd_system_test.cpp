#include "host/vdd/sim_vdd_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/vdd/virtual_display.h"
#include "tests/support/test_support.h"

namespace orvane::vdd {
namespace {

using sim_vdd::SimVddWorld;

constexpr char kMonitorInterface[] = "#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";

const DisplayClassDevice* FindDriver(const std::vector<DisplayClassDevice>& devices) {
  for (const DisplayClassDevice& d : devices) {
    for (const std::string& id : d.hardware_ids) {
      if (id == "Root\\TvrVDD") return &d;
    }
  }
  return nullptr;
}

Luid DriverLuid(const SimVddWorld& world) {
  return {world.state().device.adapter_luid.low, world.state().device.adapter_luid.high};
}

// The back-end's attach: the active paths plus the first free path of the
// driver's adapter, marked active with no modes.
std::vector<DisplayPath> AttachPaths(IVddSystem& system, const Luid& driver, DisplayConfig* active) {
  DisplayConfig all;
  EXPECT_TRUE(system.QueryDisplayConfig(false, &all).ok());
  EXPECT_TRUE(system.QueryDisplayConfig(true, active).ok());
  std::vector<DisplayPath> paths = active->paths;
  for (const DisplayPath& p : all.paths) {
    if (p.active || !p.target_available || !(p.target_adapter == driver)) continue;
    bool used = false;
    for (const DisplayPath& a : active->paths)
      used = used || (a.source_adapter == driver && a.source_id == p.source_id);
    if (used) continue;
    DisplayPath chosen = p;
    chosen.active = true;
    chosen.source_mode_index = chosen.target_mode_index = kInvalidModeIndex;
    paths.push_back(chosen);
    break;
  }
  return paths;
}

const DesktopDevice* FindDesktop(const std::vector<DesktopDevice>& devices, const std::string& name) {
  for (const DesktopDevice& d : devices) {
    if (d.name == name) return &d;
  }
  return nullptr;
}

bool Attached(IVddSystem& system, const std::string& name) {
  const std::vector<DesktopDevice> devices = system.ListDesktopDevices();
  const DesktopDevice* d = FindDesktop(devices, name);
  return d != nullptr && d->attached_to_desktop;
}

TEST(SimVddSystemDevices, TheDriverAsTheConfigurationManagerShowsIt) {
  struct Case {
    const char* name;
    bool installed, present, started;
    uint32_t problem;
    bool status_known;
    uint32_t status;
    size_t children;
  };
  const Case cases[] = {
      {"running", true, true, true, 0, true, kDnStarted, 1},
      {"with a problem", true, true, false, 43, true, kDnHasProblem, 0},
      {"disabled", true, true, false, kProblemDisabled, true, kDnHasProblem, 0},
      {"not present", true, false, false, 0, false, 0, 0},
      {"not installed", false, false, false, 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimVddWorld world;
    sim_vdd::SimDevice& d = world.state().device;
    d.installed = c.installed;
    d.present = c.present;
    d.started = c.started;
    d.problem = c.problem;
    if (!c.started) world.state().targets.clear();
    const auto system = MakeSimVddSystem(world);
    std::vector<DisplayClassDevice> devices;
    ASSERT_EQ(system->ListDisplayClassDevices(&devices), kErrorSuccess);
    const DisplayClassDevice* driver = FindDriver(devices);
    if (!c.installed) {
      EXPECT_EQ(driver, nullptr);
      continue;
    }
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->node.instance_id, "ROOT\\DISPLAY\\0000");
    EXPECT_EQ(driver->node.status_known, c.status_known);
    EXPECT_EQ(driver->node.status, c.status);
    EXPECT_EQ(driver->node.problem, c.problem);
    EXPECT_EQ(driver->driver_version, "24.12.24.0");
    std::vector<DeviceNode> children;
    const int32_t error = system->ListChildNodes(driver->node.instance_id, &children);
    EXPECT_EQ(error, c.present ? kErrorSuccess : kErrorFileNotFound);
    ASSERT_EQ(children.size(), c.children);
    if (c.children == 0) continue;
    EXPECT_EQ(children[0].instance_id.rfind("DISPLAY\\", 0), 0u);
    EXPECT_TRUE(children[0].status_known);
    EXPECT_EQ(children[0].status, kDnStarted);
    std::string parent;
    ASSERT_EQ(system->GetParentInstanceId(children[0].instance_id, &parent), kErrorSuccess);
    EXPECT_EQ(parent, driver->node.instance_id);
  }
}

TEST(SimVddSystemPaths, RecordsAsTheBackEndReadsThem) {
  SimVddWorld world;
  world.state().targets.assign(2, world.state().targets.front());
  const auto system = MakeSimVddSystem(world);
  const Luid driver = DriverLuid(world);

  DisplayConfig all;
  const DisplayConfigAnswer answer = system->QueryDisplayConfig(false, &all);
  ASSERT_TRUE(answer.ok());
  // The physical monitor's active path, then every source x target pair of
  // the driver's adapter.
  ASSERT_EQ(all.paths.size(), 5u);
  EXPECT_TRUE(all.paths[0].active);
  EXPECT_FALSE(all.paths[0].source_adapter == driver);
  EXPECT_LT(all.paths[0].source_mode_index, all.modes.size());
  EXPECT_LT(all.paths[0].target_mode_index, all.modes.size());
  for (size_t i = 1; i < all.paths.size(); ++i) {
    const DisplayPath& p = all.paths[i];
    EXPECT_FALSE(p.active);
    EXPECT_TRUE(p.target_available);
    EXPECT_TRUE(p.source_adapter == driver && p.target_adapter == driver);
    EXPECT_EQ(p.source_mode_index, kInvalidModeIndex);
    EXPECT_TRUE(p.native.empty());
  }

  std::string adapter_path;
  ASSERT_EQ(system->GetAdapterDevicePath(driver, &adapter_path), kErrorSuccess);
  EXPECT_EQ(TargetIdFromDevicePath(adapter_path), "ROOT\\DISPLAY\\0000");

  std::vector<DeviceNode> children;
  ASSERT_EQ(system->ListChildNodes("ROOT\\DISPLAY\\0000", &children), kErrorSuccess);
  ASSERT_EQ(children.size(), 2u);
  for (size_t t = 0; t < 2; ++t) {
    const uint32_t target_id = all.paths[1 + 2 * t].target_id;
    std::string path;
    ASSERT_EQ(system->GetTargetDevicePath(driver, target_id, &path), kErrorSuccess);
    EXPECT_EQ(path.rfind("\\\\?\\DISPLAY#TVR0001#1&", 0), 0u) << path;
    EXPECT_NE(path.find("&0&UID" + std::to_string(target_id) + kMonitorInterface), std::string::npos) << path;
    // The target id the back-end derives is the monitor's node, a child of
    // the driver's device.
    EXPECT_EQ(TargetIdFromDevicePath(path), children[t].instance_id);
    std::string parent;
    ASSERT_EQ(system->GetParentInstanceId(TargetIdFromDevicePath(path), &parent), kErrorSuccess);
    EXPECT_EQ(parent, "ROOT\\DISPLAY\\0000");
  }

  std::string name;
  ASSERT_EQ(system->GetSourceGdiName(driver, 1, &name), kErrorSuccess);
  EXPECT_EQ(name, "\\\\.\\DISPLAY3");
  ASSERT_EQ(system->GetSourceGdiName(all.paths[0].source_adapter, 0, &name), kErrorSuccess);
  EXPECT_EQ(name, "\\\\.\\DISPLAY1");
  const Luid unknown{0x99, 0};
  EXPECT_EQ(system->GetSourceGdiName(driver, 2, &name), kErrorInvalidParameter);
  EXPECT_EQ(system->GetAdapterDevicePath(unknown, &name), kErrorInvalidParameter);
  EXPECT_EQ(system->GetTargetDevicePath(unknown, 256, &name), kErrorInvalidParameter);
}

TEST(SimVddSystemPaths, AttachAndDetachWithBothFlagSets) {
  struct Case {
    const char* name;
    int32_t supplied_fault;
  };
  for (const Case& c : {Case{"supplied configuration", 0}, Case{"topology only after a refused supply", 31}}) {
    SCOPED_TRACE(c.name);
    SimVddWorld world;
    world.state().faults.supplied_config_error = c.supplied_fault;
    const auto system = MakeSimVddSystem(world);
    const Luid driver = DriverLuid(world);
    DisplayConfig active;
    std::vector<DisplayPath> paths = AttachPaths(*system, driver, &active);
    ASSERT_EQ(paths.size(), 2u);
    std::string gdi;
    ASSERT_EQ(system->GetSourceGdiName(driver, paths[1].source_id, &gdi), kErrorSuccess);

    EXPECT_EQ(system->SetDisplayConfig(paths, &active.modes, kSdcSuppliedConfig), c.supplied_fault);
    if (c.supplied_fault != 0) {
      for (DisplayPath& p : paths) p.source_mode_index = p.target_mode_index = kInvalidModeIndex;
      ASSERT_EQ(system->SetDisplayConfig(paths, nullptr, kSdcTopologyOnly), kErrorSuccess);
    }
    EXPECT_TRUE(Attached(*system, gdi));
    DisplaySettings s;
    ASSERT_TRUE(system->GetCurrentSettings(gdi, &s));
    EXPECT_EQ(s.fields, kDmPosition | kDmPelsWidth | kDmPelsHeight | kDmDisplayFrequency | kDmDisplayOrientation);
    EXPECT_EQ(s.x, 1920);
    EXPECT_EQ(s.y, 0);
    EXPECT_EQ(s.width, 1920u);
    EXPECT_EQ(s.orientation, kDmdoDefault);

    // Detach: the active paths without the driver's, saved.
    world.state().faults.supplied_config_error = 0;
    DisplayConfig now;
    ASSERT_TRUE(system->QueryDisplayConfig(true, &now).ok());
    ASSERT_EQ(now.paths.size(), 2u);
    now.paths.pop_back();
    ASSERT_EQ(system->SetDisplayConfig(now.paths, &now.modes, kSdcSuppliedConfig | kSdcSaveToDatabase), kErrorSuccess);
    EXPECT_FALSE(Attached(*system, gdi));
    EXPECT_EQ(world.state().database_saves, 1u);
  }
}

TEST(SimVddSystemPaths, FlagsOutsideTheTwoSetsAreRefused) {
  SimVddWorld world;
  const auto system = MakeSimVddSystem(world);
  DisplayConfig active;
  const std::vector<DisplayPath> paths = AttachPaths(*system, DriverLuid(world), &active);
  for (const uint32_t flags :
       {0u, kSdcApply, kSdcSuppliedConfig | kSdcTopologySupplied, kSdcTopologyOnly | kSdcSaveToDatabase}) {
    SCOPED_TRACE(flags);
    EXPECT_EQ(system->SetDisplayConfig(paths, &active.modes, flags), kErrorInvalidParameter);
  }
  std::vector<DisplayPath> no_modes = paths;
  for (DisplayPath& p : no_modes) p.source_mode_index = p.target_mode_index = kInvalidModeIndex;
  EXPECT_EQ(system->SetDisplayConfig(no_modes, nullptr, kSdcTopologyOnly | kSdcSaveToDatabase), kErrorInvalidParameter);
  EXPECT_EQ(system->SetDisplayConfig(no_modes, &active.modes, kSdcTopologyOnly), kErrorInvalidParameter);
  EXPECT_FALSE(Attached(*system, "\\\\.\\DISPLAY2"));
}

TEST(SimVddSystemPaths, QueriesAnswer122WhileTheTopologyChanges) {
  SimVddWorld world;
  world.state().faults.query_busy = 3;
  const auto system = MakeSimVddSystem(world);
  DisplayConfig config;
  for (int i = 0; i < 3; ++i) {
    const DisplayConfigAnswer answer = system->QueryDisplayConfig(i % 2 == 0, &config);
    EXPECT_EQ(answer.sizes_error, kErrorSuccess);
    EXPECT_EQ(answer.query_error, kErrorInsufficientBuffer);
    EXPECT_TRUE(config.paths.empty());
  }
  EXPECT_TRUE(system->QueryDisplayConfig(true, &config).ok());
  EXPECT_EQ(config.paths.size(), 1u);
}

TEST(SimVddSystemGdi, ListedModesAndChanges) {
  SimVddWorld world;
  const auto system = MakeSimVddSystem(world);
  DisplayConfig active;
  const std::vector<DisplayPath> paths = AttachPaths(*system, DriverLuid(world), &active);
  ASSERT_EQ(system->SetDisplayConfig(paths, &active.modes, kSdcSuppliedConfig), kErrorSuccess);
  const std::string gdi = "\\\\.\\DISPLAY2";

  const std::vector<DisplaySettings> rotated = system->ListModes(gdi, true);
  ASSERT_EQ(rotated.size(), sim_vdd::DefaultDriverModes().size() * 4);
  EXPECT_EQ(rotated[1].fields & kDmDisplayOrientation, kDmDisplayOrientation);
  EXPECT_EQ(rotated[1].orientation, kDmdo90);
  EXPECT_EQ(rotated[1].width, rotated[0].height);
  for (const DisplaySettings& m : system->ListModes(gdi, false)) EXPECT_EQ(m.orientation, kDmdoDefault);
  EXPECT_TRUE(system->ListModes("\\\\.\\DISPLAY7", true).empty());

  DisplaySettings portrait;
  portrait.fields = kDmPelsWidth | kDmPelsHeight | kDmDisplayFrequency | kDmDisplayOrientation;
  portrait.width = 1080;
  portrait.height = 1920;
  portrait.refresh_hz = 60;
  portrait.orientation = kDmdo90;
  EXPECT_EQ(system->ChangeDisplaySettings(&gdi, &portrait, 0), kDispChangeSuccessful);
  DisplaySettings now;
  ASSERT_TRUE(system->GetCurrentSettings(gdi, &now));
  EXPECT_EQ(now.width, 1080u);
  EXPECT_EQ(now.height, 1920u);
  EXPECT_EQ(now.orientation, kDmdo90);

  DisplaySettings unlisted = portrait;
  unlisted.orientation = kDmdoDefault;
  EXPECT_EQ(system->ChangeDisplaySettings(&gdi, &unlisted, 0), kDispChangeBadMode);

  world.state().faults.position_change_fails = true;
  DisplaySettings moved = portrait;
  moved.fields |= kDmPosition;
  moved.x = 1920;
  EXPECT_EQ(system->ChangeDisplaySettings(&gdi, &moved, 0), kDispChangeFailed);
  EXPECT_EQ(system->ChangeDisplaySettings(&gdi, &portrait, 0), kDispChangeSuccessful);
}

TEST(SimVddSystemGdi, StoredSettingsAttachWhenApplied) {
  SimVddWorld world;
  const auto system = MakeSimVddSystem(world);
  const std::string gdi = "\\\\.\\DISPLAY2";
  DisplaySettings attach;
  attach.fields = kDmPosition | kDmPelsWidth | kDmPelsHeight;
  attach.x = 1920;
  attach.width = 1920;
  attach.height = 1080;
  ASSERT_EQ(system->ChangeDisplaySettings(&gdi, &attach, kCdsUpdateRegistry | kCdsNoReset), kDispChangeSuccessful);
  EXPECT_FALSE(Attached(*system, gdi));
  ASSERT_EQ(system->ChangeDisplaySettings(nullptr, nullptr, 0), kDispChangeSuccessful);
  EXPECT_TRUE(Attached(*system, gdi));
  DisplayConfig active;
  ASSERT_TRUE(system->QueryDisplayConfig(true, &active).ok());
  EXPECT_EQ(active.paths.size(), 2u);
}

TEST(SimVddSystemRegistry, ValuesAndUptime) {
  SimVddWorld world;
  world.state().registry = {true, "D:\\Drivers\\VDD", true, 1};
  const auto system = MakeSimVddSystem(world);
  std::string text;
  uint32_t number = 0;
  ASSERT_EQ(system->ReadRegistryString("SOFTWARE\\Telvenor\\VirtualDisplayDriver", "VDDPATH", &text), kErrorSuccess);
  EXPECT_EQ(text, "D:\\Drivers\\VDD");
  ASSERT_EQ(system->ReadRegistryDword("SOFTWARE\\Orvane Display", "VddFirstOrvaneMonitor", &number), kErrorSuccess);
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(system->ReadRegistryDword("SOFTWARE\\Telvenor\\VirtualDisplayDriver", "VDDPATH", &number), 1630);
  EXPECT_EQ(system->ReadRegistryString("SOFTWARE\\Orvane Display", "Other", &text), kErrorFileNotFound);
  world.state().registry = {};
  EXPECT_EQ(system->ReadRegistryString("SOFTWARE\\Telvenor\\VirtualDisplayDriver", "VDDPATH", &text),
            kErrorFileNotFound);
  EXPECT_EQ(system->UptimeMs(), world.state().uptime_base_ms);
}

TEST(SimVddSystemTime, TheWorldFollowsTheCallersClock) {
  ManualClock clock;
  SimVddWorld world;
  world.state().device.join_delay_ms = 1000;
  const auto system = MakeSimVddSystem(world, clock);
  const uint64_t up = system->UptimeMs();
  DisplayConfig active;
  const std::vector<DisplayPath> paths = AttachPaths(*system, DriverLuid(world), &active);
  ASSERT_EQ(system->SetDisplayConfig(paths, &active.modes, kSdcSuppliedConfig), kErrorSuccess);
  clock.SleepMs(900);
  EXPECT_FALSE(Attached(*system, "\\\\.\\DISPLAY2"));
  clock.SleepMs(100);
  EXPECT_TRUE(Attached(*system, "\\\\.\\DISPLAY2"));
  EXPECT_EQ(system->UptimeMs(), up + 1000);
}

TEST(SimVddSystemCalls, DisplayChangesAreNotedWithTheirAnswers) {
  ManualClock clock;
  SimVddWorld world;
  SimVddCalls calls;
  const auto system = MakeSimVddSystem(world, clock, &calls);
  DisplayConfig active;
  const std::vector<DisplayPath> paths = AttachPaths(*system, DriverLuid(world), &active);
  EXPECT_EQ(system->SetDisplayConfig(paths, nullptr, kSdcApply), kErrorInvalidParameter);
  world.state().faults.supplied_config_error = kErrorAccessDenied;
  EXPECT_EQ(system->SetDisplayConfig(paths, &active.modes, kSdcSuppliedConfig), kErrorAccessDenied);
  std::vector<DisplayPath> topology = paths;
  for (DisplayPath& p : topology) p.source_mode_index = p.target_mode_index = kInvalidModeIndex;
  ASSERT_EQ(system->SetDisplayConfig(topology, nullptr, kSdcTopologyOnly), kErrorSuccess);
  ASSERT_EQ(calls.set_config.size(), 3u);
  EXPECT_EQ(calls.set_config[0].flags, kSdcApply);
  EXPECT_EQ(calls.set_config[0].answer, kErrorInvalidParameter);
  EXPECT_TRUE(calls.set_config[1].with_modes);
  EXPECT_EQ(calls.set_config[1].path_count, 2u);
  EXPECT_EQ(calls.set_config[1].answer, kErrorAccessDenied);
  EXPECT_FALSE(calls.set_config[2].with_modes);
  EXPECT_EQ(calls.set_config[2].answer, kErrorSuccess);

  const std::string gdi = "\\\\.\\DISPLAY2";
  DisplaySettings change;
  change.fields = kDmPelsWidth | kDmPelsHeight;
  change.width = 1234;
  change.height = 567;
  EXPECT_EQ(system->ChangeDisplaySettings(&gdi, &change, kCdsUpdateRegistry), kDispChangeBadMode);
  EXPECT_EQ(system->ChangeDisplaySettings(nullptr, nullptr, 0), kDispChangeSuccessful);
  ASSERT_EQ(calls.changes.size(), 2u);
  EXPECT_EQ(calls.changes[0].device, gdi);
  EXPECT_EQ(calls.changes[0].settings.width, 1234u);
  EXPECT_EQ(calls.changes[0].flags, kCdsUpdateRegistry);
  EXPECT_EQ(calls.changes[0].answer, kDispChangeBadMode);
  EXPECT_EQ(calls.changes[1].device, "");
  EXPECT_EQ(calls.changes[1].answer, kDispChangeSuccessful);
}

TEST(FileSimVddSystem, ProcessesShareOneWorldThroughItsFile) {
  testing::ScopedTempDir dir;
  const std::string folder = PathToUtf8(dir.path() / "world");
  ManualClock clock;
  const auto host = MakeFileSimVddSystem(folder, clock);
  const auto other = MakeFileSimVddSystem(folder, clock);

  // An absent file starts as the default world and is written at once.
  std::vector<DisplayClassDevice> devices;
  ASSERT_EQ(host->ListDisplayClassDevices(&devices), kErrorSuccess);
  ASSERT_NE(FindDriver(devices), nullptr);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "world" / sim_vdd::kWorldFileName));

  DisplayConfig active;
  const std::vector<DisplayPath> paths = AttachPaths(*host, Luid{0x0001A2F3, 0}, &active);
  ASSERT_EQ(host->SetDisplayConfig(paths, &active.modes, kSdcSuppliedConfig), kErrorSuccess);
  EXPECT_TRUE(Attached(*other, "\\\\.\\DISPLAY2"));

  // Another process restarts the driver with a settings file asking for two
  // monitors.
  {
    std::ofstream(dir.path() / "vdd_settings.xml") << "<vdd_settings><count>2</count></vdd_settings>";
    sim_vdd::SimWorldLock lock(PathFromUtf8(folder));
    ASSERT_TRUE(lock.locked());
    SimVddWorld world;
    ASSERT_TRUE(world.Load(PathFromUtf8(folder)).ok());
    world.state().registry.has_vdd_path = true;
    world.state().registry.vdd_path = PathToUtf8(dir.path());
    ASSERT_TRUE(world.RestartDevice());
    ASSERT_TRUE(world.Save(PathFromUtf8(folder)).ok());
  }
  std::vector<DeviceNode> children;
  ASSERT_EQ(host->ListChildNodes("ROOT\\DISPLAY\\0000", &children), kErrorSuccess);
  EXPECT_TRUE(children.empty());
  EXPECT_FALSE(Attached(*host, "\\\\.\\DISPLAY2"));
  clock.AdvanceMs(1499);
  ASSERT_EQ(other->ListChildNodes("ROOT\\DISPLAY\\0000", &children), kErrorSuccess);
  EXPECT_TRUE(children.empty());
  clock.AdvanceMs(1);
  ASSERT_EQ(other->ListChildNodes("ROOT\\DISPLAY\\0000", &children), kErrorSuccess);
  EXPECT_EQ(children.size(), 2u);
  ASSERT_EQ(host->ListChildNodes("ROOT\\DISPLAY\\0000", &children), kErrorSuccess);
  EXPECT_EQ(children.size(), 2u);

  std::vector<sim_vdd::SimDesktopMonitor> monitors;
  ASSERT_TRUE(ListSimDesktopMonitors(folder, &monitors));
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].gdi_name, "\\\\.\\DISPLAY1");
}

TEST(FileSimVddSystem, AnUnreadableWorldFailsEveryCallAndSaysSoOnce) {
  testing::ScopedTempDir dir;
  const std::string folder = PathToUtf8(dir.path());
  std::ofstream(dir.path() / sim_vdd::kWorldFileName) << "[device]\ncolour=blue\n";
  ManualClock clock;
  testing::LogCapture log;
  const auto system = MakeFileSimVddSystem(folder, clock);

  std::vector<DisplayClassDevice> devices;
  EXPECT_EQ(system->ListDisplayClassDevices(&devices), kErrorGenFailure);
  DisplayConfig config;
  EXPECT_EQ(system->QueryDisplayConfig(true, &config).sizes_error, kErrorGenFailure);
  EXPECT_EQ(system->SetDisplayConfig({}, nullptr, kSdcTopologyOnly), kErrorGenFailure);
  EXPECT_TRUE(system->ListDesktopDevices().empty());
  DisplaySettings s;
  EXPECT_FALSE(system->GetCurrentSettings("\\\\.\\DISPLAY1", &s));
  EXPECT_EQ(system->ChangeDisplaySettings(nullptr, nullptr, 0), kDispChangeFailed);
  std::string text;
  EXPECT_EQ(system->ReadRegistryString("SOFTWARE\\Telvenor\\VirtualDisplayDriver", "VDDPATH", &text), kErrorGenFailure);
  EXPECT_EQ(system->UptimeMs(), 0u);
  EXPECT_EQ(log.Count("[SimVDD] World "), 1u);
  EXPECT_TRUE(log.Contains("malformed (line 2: unknown key colour)"));

  std::ofstream(dir.path() / sim_vdd::kWorldFileName, std::ios::trunc) << "[world]\nnow_ms=5\n";
  EXPECT_EQ(system->UptimeMs(), 3'600'005u);
  EXPECT_TRUE(log.Contains("is usable again"));
}

}  // namespace
}  // namespace orvane::vdd
