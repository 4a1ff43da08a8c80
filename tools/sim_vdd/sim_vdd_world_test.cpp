#include "tools/sim_vdd/sim_vdd_world.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane::sim_vdd {
namespace {

std::string Utf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool SourceInUse(const SimPathList& active, const SimLuid& adapter, uint32_t source) {
  for (const SimPath& p : active.paths) {
    if (p.source_adapter == adapter && p.source_id == source) return true;
  }
  return false;
}

// What the back-end does to attach: the active paths plus a free path of
// the driver's adapter to target `index`.
int32_t Attach(SimVddWorld& world, size_t index, bool topology_only = false) {
  SimPathList all;
  SimPathList active;
  EXPECT_EQ(world.QueryPaths(false, &all), kWinSuccess);
  EXPECT_EQ(world.QueryPaths(true, &active), kWinSuccess);
  std::vector<SimPath> paths = active.paths;
  const SimLuid driver = world.state().device.adapter_luid;
  for (const SimPath& p : all.paths) {
    if (!p.active && p.target_adapter == driver && p.target_id == world.TargetId(index) &&
        !SourceInUse(active, driver, p.source_id)) {
      SimPath chosen = p;
      chosen.active = true;
      paths.push_back(chosen);
      break;
    }
  }
  SimApply how;
  how.topology_only = topology_only;
  if (topology_only) {
    for (SimPath& p : paths) p.source_mode = p.target_mode = kNoMode;
  } else {
    how.has_modes = true;
    how.mode_count = active.modes.size();
  }
  return world.ApplyPaths(paths, how);
}

int32_t Detach(SimVddWorld& world, size_t index, bool save) {
  SimPathList active;
  EXPECT_EQ(world.QueryPaths(true, &active), kWinSuccess);
  std::vector<SimPath> kept;
  for (const SimPath& p : active.paths) {
    if (!(p.target_adapter == world.state().device.adapter_luid && p.target_id == world.TargetId(index))) {
      kept.push_back(p);
    }
  }
  SimApply how;
  how.has_modes = true;
  how.mode_count = active.modes.size();
  how.save = save;
  return world.ApplyPaths(kept, how);
}

const SimDesktopDevice* FindDevice(const std::vector<SimDesktopDevice>& devices, const std::string& name) {
  for (const SimDesktopDevice& d : devices) {
    if (d.name == name) return &d;
  }
  return nullptr;
}

bool OnDesktop(const SimVddWorld& world, const std::string& name) {
  const std::vector<SimDesktopDevice> devices = world.DesktopDevices();
  const SimDesktopDevice* d = FindDevice(devices, name);
  return d != nullptr && d->attached;
}

size_t ActivePathCount(SimVddWorld& world) {
  SimPathList active;
  EXPECT_EQ(world.QueryPaths(true, &active), kWinSuccess);
  return active.paths.size();
}

SimSettings SizeChange(uint32_t width, uint32_t height) {
  SimSettings s;
  s.has_size = true;
  s.width = width;
  s.height = height;
  return s;
}

TEST(SimVddWorldDevice, TheDriverItsMonitorNodesAndTargetPaths) {
  SimVddWorld world;
  const std::vector<SimClassDevice> devices = world.DisplayClassDevices();
  ASSERT_EQ(devices.size(), 2u);
  const SimClassDevice& driver = devices[1];
  EXPECT_EQ(driver.instance_id, "ROOT\\DISPLAY\\0000");
  EXPECT_EQ(driver.hardware_ids, std::vector<std::string>{"Root\\TvrVDD"});
  EXPECT_TRUE(driver.present && driver.started);
  EXPECT_EQ(driver.problem, 0u);

  std::vector<SimNode> children;
  ASSERT_EQ(world.ChildNodes("root\\display\\0000", &children), kWinSuccess);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].instance_id, "DISPLAY\\TVR0001\\1&1A2F3&0&UID256");
  std::string parent;
  ASSERT_EQ(world.ParentOf("display\\tvr0001\\1&1a2f3&0&uid256", &parent), kWinSuccess);
  EXPECT_EQ(parent, "ROOT\\DISPLAY\\0000");
  EXPECT_EQ(world.ParentOf("DISPLAY\\NOPE\\1", &parent), kWinFileNotFound);

  std::string path;
  ASSERT_EQ(world.TargetDevicePath(world.state().device.adapter_luid, 256, &path), kWinSuccess);
  EXPECT_EQ(path, "\\\\?\\DISPLAY#TVR0001#1&1a2f3&0&UID256#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}");
  ASSERT_EQ(world.AdapterDevicePath(world.state().device.adapter_luid, &path), kWinSuccess);
  EXPECT_EQ(path, "\\\\?\\ROOT#DISPLAY#0000#{5b45201d-f2f2-4f3b-85bb-30ff1f953599}");
  EXPECT_EQ(world.TargetDevicePath(world.state().device.adapter_luid, 257, &path), kWinInvalidParameter);

  // All paths: the physical monitor's active one, then the driver's free one.
  SimPathList all;
  ASSERT_EQ(world.QueryPaths(false, &all), kWinSuccess);
  ASSERT_EQ(all.paths.size(), 2u);
  EXPECT_TRUE(all.paths[0].active);
  EXPECT_EQ(all.paths[0].source_adapter, world.state().physical.luid);
  EXPECT_LT(all.paths[0].source_mode, all.modes.size());
  EXPECT_FALSE(all.paths[1].active);
  EXPECT_TRUE(all.paths[1].available);
  EXPECT_EQ(all.paths[1].target_adapter, world.state().device.adapter_luid);
  EXPECT_EQ(all.paths[1].target_mode, kNoMode);

  std::string name;
  ASSERT_EQ(world.SourceGdiName(world.state().device.adapter_luid, 0, &name), kWinSuccess);
  EXPECT_EQ(name, "\\\\.\\DISPLAY2");
  const std::vector<SimDesktopDevice> desktop = world.DesktopDevices();
  ASSERT_EQ(desktop.size(), 2u);
  EXPECT_TRUE(desktop[0].attached && desktop[0].primary);
  EXPECT_EQ(desktop[0].name, "\\\\.\\DISPLAY1");
  EXPECT_FALSE(desktop[1].attached);
}

TEST(SimVddWorldDevice, OtherDisplayClassDevicesAreListedOnly) {
  SimVddWorld world;
  world.state().other_devices = {{"ROOT\\DISPLAY\\0001", {"PCI\\X", "Root\\TvrVDD"}, "1.2", true, false, 28},
                                 {"ROOT\\DISPLAY\\0002", {"Root\\TvrVDD"}, "1.3", false, false, 0}};
  const std::vector<SimClassDevice> devices = world.DisplayClassDevices();
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[1].instance_id, "ROOT\\DISPLAY\\0000");
  EXPECT_EQ(devices[2].instance_id, "ROOT\\DISPLAY\\0001");
  EXPECT_EQ(devices[2].hardware_ids, (std::vector<std::string>{"PCI\\X", "Root\\TvrVDD"}));
  EXPECT_EQ(devices[2].driver_version, "1.2");
  EXPECT_TRUE(devices[2].present);
  EXPECT_FALSE(devices[2].started);
  EXPECT_EQ(devices[2].problem, 28u);
  EXPECT_FALSE(devices[3].present);

  std::vector<SimNode> children;
  EXPECT_EQ(world.ChildNodes("root\\display\\0001", &children), kWinSuccess);
  EXPECT_TRUE(children.empty());
  EXPECT_EQ(world.ChildNodes("ROOT\\DISPLAY\\0002", &children), kWinFileNotFound);
  std::string parent;
  ASSERT_EQ(world.ParentOf("ROOT\\DISPLAY\\0001", &parent), kWinSuccess);
  EXPECT_EQ(parent, "HTREE\\ROOT\\0");
  EXPECT_EQ(world.ParentOf("ROOT\\DISPLAY\\0002", &parent), kWinFileNotFound);

  // Without the driver's adapter path, its monitors still name their parent.
  world.state().faults.adapter_path_fails = true;
  std::string path;
  EXPECT_EQ(world.AdapterDevicePath(world.state().device.adapter_luid, &path), kWinInvalidParameter);
  EXPECT_EQ(world.AdapterDevicePath(world.state().physical.luid, &path), kWinSuccess);
  ASSERT_EQ(world.ParentOf(world.TargetInstanceId(0), &parent), kWinSuccess);
  EXPECT_EQ(parent, "ROOT\\DISPLAY\\0000");
}

TEST(SimVddWorldPaths, AttachGoesRightOfTheDesktopAndDetachTakesItAway) {
  struct Case {
    const char* name;
    bool second_monitor;
    bool topology_only;
    int32_t x;
  };
  const Case cases[] = {
      {"primary only", false, false, 1920},
      {"primary and a 1280x1024 right of it", true, false, 3200},
      {"topology only", false, true, 1920},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimVddWorld world;
    if (c.second_monitor) {
      SimPhysicalMonitor m;
      m.edid = "PHY1002";
      m.target_id = kFirstPhysicalTargetId + 1;
      m.modes = {{1280, 1024, 60}};
      m.state.link = SimLink::kAttached;
      m.state.source_id = 1;
      m.state.x = 1920;
      m.state.mode = m.modes.front();
      world.state().physical.sources = 2;
      world.state().physical.monitors.push_back(m);
    }
    const std::string gdi = GdiName(world.state().physical.sources + 1);
    ASSERT_EQ(Attach(world, 0, c.topology_only), kWinSuccess);
    EXPECT_TRUE(OnDesktop(world, gdi));
    SimSettings s;
    ASSERT_TRUE(world.CurrentSettings(gdi, &s));
    EXPECT_EQ(s.x, c.x);
    EXPECT_EQ(s.y, 0);
    EXPECT_EQ(s.width, 1920u);
    EXPECT_EQ(s.height, 1080u);
    EXPECT_EQ(s.refresh_hz, 60u);
    EXPECT_EQ(world.DesktopMonitors().size(), c.second_monitor ? 3u : 2u);

    ASSERT_EQ(Detach(world, 0, true), kWinSuccess);
    EXPECT_FALSE(OnDesktop(world, gdi));
    EXPECT_FALSE(world.CurrentSettings(gdi, &s));
    EXPECT_EQ(world.state().database_saves, 1u);
    EXPECT_EQ(ActivePathCount(world), c.second_monitor ? 2u : 1u);
  }
}

TEST(SimVddWorldPaths, ConfigurationsTheSystemRefuses) {
  SimVddWorld world;
  SimPathList all;
  SimPathList active;
  ASSERT_EQ(world.QueryPaths(false, &all), kWinSuccess);
  ASSERT_EQ(world.QueryPaths(true, &active), kWinSuccess);
  const SimPath physical = active.paths[0];
  SimPath free = all.paths[1];
  free.active = true;
  const SimApply supplied{false, true, active.modes.size(), false};
  const SimApply topology{true, false, 0, false};

  struct Case {
    const char* name;
    std::vector<SimPath> paths;
    SimApply how;
  };
  SimPath cross = free;
  cross.source_adapter = world.state().physical.luid;
  SimPath unknown_target = free;
  unknown_target.target_id = 999;
  SimPath bad_source = free;
  bad_source.source_id = 5;
  SimPath bad_mode = physical;
  bad_mode.target_mode = static_cast<uint32_t>(active.modes.size());
  SimPath inactive = physical;
  inactive.active = false;
  SimPath clone_target = free;
  const std::vector<Case> cases = {
      {"source and target on different adapters", {physical, cross}, supplied},
      {"unknown target", {physical, unknown_target}, supplied},
      {"source out of range", {physical, bad_source}, supplied},
      {"mode index past the modes", {bad_mode}, supplied},
      {"topology only with modes", {free}, SimApply{true, true, 0, false}},
      {"supplied configuration without modes", {free}, SimApply{false, false, 0, false}},
      {"topology only naming a mode", {physical}, topology},
      {"saving a topology", {free}, SimApply{true, false, 0, true}},
      {"no active path", {inactive}, supplied},
      {"one target twice", {physical, clone_target, free}, supplied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(world.ApplyPaths(c.paths, c.how), kWinInvalidParameter);
    EXPECT_EQ(ActivePathCount(world), 1u);
  }
}

TEST(SimVddWorldRestart, TheNewCountComesFromTheSettingsFile) {
  struct Case {
    const char* name;
    const char* settings;  // nullptr: no file
    uint32_t count;
  };
  std::string many_modes = "<vdd_settings><count>2</count><resolutions>";
  for (int i = 0; i < 97; ++i) many_modes += "<resolution><width>800</width></resolution>";
  many_modes += "</resolutions></vdd_settings>";
  const Case cases[] = {
      {"no settings file", nullptr, 1},
      {"three monitors", "<vdd_settings><monitors><count>3</count></monitors></vdd_settings>", 3},
      {"count in a comment only", "<!-- <count>3</count> --><vdd_settings/>", 1},
      {"not a number", "<count>three</count>", 1},
      {"more than the world holds", "<count>40</count>", kMaxTargets},
      {"more modes than the driver handles", many_modes.c_str(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    if (c.settings != nullptr) WriteText(dir.path() / "vdd_settings.xml", c.settings);
    SimVddWorld world;
    world.state().registry.has_vdd_path = true;
    world.state().registry.vdd_path = Utf8(dir.path());
    ASSERT_EQ(Attach(world, 0), kWinSuccess);

    ASSERT_TRUE(world.RestartDevice());
    // Stopped: no monitor nodes, no driver paths, no driver GDI source.
    EXPECT_FALSE(world.state().device.started);
    std::vector<SimNode> children;
    EXPECT_EQ(world.ChildNodes(world.state().device.instance_id, &children), kWinSuccess);
    EXPECT_TRUE(children.empty());
    SimPathList all;
    ASSERT_EQ(world.QueryPaths(false, &all), kWinSuccess);
    EXPECT_EQ(all.paths.size(), 1u);
    EXPECT_EQ(world.DesktopDevices().size(), 1u);
    std::string path;
    EXPECT_EQ(world.AdapterDevicePath(world.state().device.adapter_luid, &path), kWinInvalidParameter);

    world.AdvanceMs(world.state().device.restart_delay_ms - 1);
    EXPECT_FALSE(world.state().device.started);
    world.AdvanceMs(1);
    EXPECT_TRUE(world.state().device.started);
    EXPECT_EQ(world.MonitorCount(), c.count);
    EXPECT_EQ(world.ChildNodes(world.state().device.instance_id, &children), kWinSuccess);
    EXPECT_EQ(children.size(), c.count);
    for (const SimMonitorState& t : world.state().targets) EXPECT_EQ(t.link, SimLink::kDetached);
    EXPECT_EQ(ActivePathCount(world), 1u);
  }
}

std::string ModesText(const std::vector<SimMode>& modes) {
  std::string text;
  for (const SimMode& m : modes) {
    if (!text.empty()) text += ',';
    text += SimModeText(m);
  }
  return text;
}

std::string SettingsEntry(uint32_t width, uint32_t height, const std::string& refresh) {
  std::string entry = "  <resolution><width>" + std::to_string(width) + "</width><height>" + std::to_string(height) +
                      "</height>";
  if (!refresh.empty()) entry += "<refresh_rate>" + refresh + "</refresh_rate>";
  return entry + "</resolution>\n";
}

TEST(SimVddWorldRestart, TheModesComeFromTheSettingsFile) {
  const std::string listed =
      "<vdd_settings><count>2</count><resolutions>\n" + SettingsEntry(1920, 1080, "144") +
      SettingsEntry(2000, 1200, "") + SettingsEntry(1280, 800, "59.94") + SettingsEntry(1024, 768, "fast") + SettingsEntry(20000, 800, "60") +
      "<!--" + SettingsEntry(640, 480, "30") + "-->\n</resolutions>\n"
      "<g_refresh_rate>60</g_refresh_rate><g_refresh_rate>120</g_refresh_rate></vdd_settings>\n";
  std::string at_budget = "<vdd_settings><resolutions>\n";
  for (uint32_t i = 0; i < 32; ++i) at_budget += SettingsEntry(1000 + i, 700, "60");
  at_budget += "</resolutions><g_refresh_rate>90</g_refresh_rate><g_refresh_rate>120</g_refresh_rate></vdd_settings>";
  std::string over_budget = at_budget;
  over_budget.insert(over_budget.find("</resolutions>"), SettingsEntry(1100, 700, "60"));
  const std::string configured = ModesText(DefaultDriverModes());

  struct Case {
    const char* name;
    const std::string* settings;  // nullptr: no file
    uint32_t count;
    std::string modes;
  };
  const std::string count_only = "<vdd_settings><count>1</count></vdd_settings>";
  const Case cases[] = {
      {"no settings file: the configured modes", nullptr, 1, configured},
      {"no resolution listed: the configured modes", &count_only, 1, configured},
      {"each size at its own rate, then the global rates",
       &listed,
       2,
       "1920x1080@144,1920x1080@60,1920x1080@120,2000x1200@60,2000x1200@120,1280x800@60,1280x800@120,"
       "1024x768@60,1024x768@120"},
      {"96 modes", &at_budget, 1, ""},
      {"97 and more: no monitor, the modes stay", &over_budget, 0, configured},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    if (c.settings != nullptr) WriteText(dir.path() / "vdd_settings.xml", *c.settings);
    SimVddWorld world;
    world.state().registry.has_vdd_path = true;
    world.state().registry.vdd_path = Utf8(dir.path());
    ASSERT_TRUE(world.RestartDevice());
    world.AdvanceMs(world.state().device.restart_delay_ms);
    ASSERT_TRUE(world.state().device.started);
    EXPECT_EQ(world.MonitorCount(), c.count);
    const std::vector<SimMode>& modes = world.state().device.modes;
    if (c.modes.empty()) {
      EXPECT_EQ(modes.size(), kMaxListedModes);
    } else {
      EXPECT_EQ(ModesText(modes), c.modes);
    }
    // A started monitor runs the first of them, and the world still saves.
    for (const SimMonitorState& t : world.state().targets) EXPECT_EQ(t.mode, modes.front());
    SimVddWorld copy;
    EXPECT_TRUE(copy.FromIni(world.ToIni()).ok());
  }
  EXPECT_EQ(SettingsModeCount(over_budget), 99u);
  EXPECT_EQ(ModesText(SettingsModes(listed)),
            "1920x1080@144,1920x1080@60,1920x1080@120,2000x1200@60,2000x1200@120,1280x800@60,1280x800@120,"
            "1024x768@60,1024x768@120");
}

TEST(SimVddWorldRestart, RefusedOrNeverStarting) {
  SimVddWorld disabled;
  disabled.state().device.started = false;
  disabled.state().device.problem = kProblemDisabled;
  disabled.state().targets.clear();
  EXPECT_FALSE(disabled.RestartDevice());

  SimVddWorld absent;
  absent.state().device.present = false;
  absent.state().device.started = false;
  absent.state().targets.clear();
  EXPECT_FALSE(absent.RestartDevice());
  std::vector<SimNode> children;
  EXPECT_EQ(absent.ChildNodes(absent.state().device.instance_id, &children), kWinFileNotFound);

  SimVddWorld stuck;
  stuck.state().faults.restart_never_starts = true;
  ASSERT_TRUE(stuck.RestartDevice());
  stuck.AdvanceMs(kMaxFollowStepMs);
  EXPECT_FALSE(stuck.state().device.started);
  EXPECT_EQ(stuck.MonitorCount(), 0u);
  // Without the fault the next restart brings it back.
  stuck.state().faults.restart_never_starts = false;
  ASSERT_TRUE(stuck.RestartDevice());
  stuck.AdvanceMs(stuck.state().device.restart_delay_ms);
  EXPECT_TRUE(stuck.state().device.started);
  EXPECT_EQ(stuck.MonitorCount(), 1u);
}

TEST(SimVddWorldJoin, AnAttachedTargetJoinsAfterItsDelay) {
  struct Case {
    const char* name;
    uint64_t join_delay_ms;
    bool late;                // join_late 0:2000 overrides the delay
    bool never;               // join_never 0
    uint64_t joins_after_ms;  // kNever: not within an hour
  };
  const Case cases[] = {
      {"at once", 0, false, false, 0},
      {"after the join delay", 500, false, false, 500},
      {"late target", 500, true, false, 2000},
      {"never", 0, false, true, kNever},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimVddWorld world;
    world.state().device.join_delay_ms = c.join_delay_ms;
    if (c.late) world.state().faults.join_late_ms[0] = 2000;
    if (c.never) world.state().faults.join_never = {0};
    ASSERT_EQ(Attach(world, 0), kWinSuccess);
    const std::string gdi = GdiName(2);
    if (c.joins_after_ms == kNever) {
      world.AdvanceMs(kMaxFollowStepMs);
      EXPECT_FALSE(OnDesktop(world, gdi));
      EXPECT_EQ(ActivePathCount(world), 1u);
      EXPECT_EQ(world.state().targets[0].link, SimLink::kJoining);
      // A configuration without it gives it up.
      ASSERT_EQ(Detach(world, 0, false), kWinSuccess);
      EXPECT_EQ(world.state().targets[0].link, SimLink::kDetached);
      continue;
    }
    if (c.joins_after_ms > 0) {
      world.AdvanceMs(c.joins_after_ms - 1);
      EXPECT_FALSE(OnDesktop(world, gdi));
      EXPECT_EQ(ActivePathCount(world), 1u);
      world.AdvanceMs(1);
    }
    EXPECT_TRUE(OnDesktop(world, gdi));
    EXPECT_EQ(ActivePathCount(world), 2u);
    SimSettings s;
    ASSERT_TRUE(world.CurrentSettings(gdi, &s));
    EXPECT_EQ(s.x, 1920);
  }
}

TEST(SimVddWorldFaults, SetDisplayConfigFailsPerFlagSet) {
  struct Case {
    int32_t supplied_error;
    int32_t topology_error;
  };
  for (const Case c : {Case{31, 0}, Case{0, 5}}) {
    SimVddWorld world;
    world.state().faults.supplied_config_error = c.supplied_error;
    world.state().faults.topology_only_error = c.topology_error;
    EXPECT_EQ(Attach(world, 0, false), c.supplied_error);
    EXPECT_EQ(Attach(world, 0, true), c.topology_error);
    EXPECT_EQ(ActivePathCount(world), 2u);
  }
}

TEST(SimVddWorldFaults, QueriesAnswerInsufficientBufferWhileBusy) {
  SimVddWorld world;
  world.state().faults.query_busy = 2;
  SimPathList list;
  EXPECT_EQ(world.QueryPaths(true, &list), kWinInsufficientBuffer);
  EXPECT_EQ(world.QueryPaths(false, &list), kWinInsufficientBuffer);
  EXPECT_EQ(world.QueryPaths(true, &list), kWinSuccess);
  EXPECT_EQ(world.state().faults.query_busy, 0u);
}

TEST(SimVddWorldFaults, HiddenSourceProblemCodeAndPositionChanges) {
  SimVddWorld world;
  world.state().faults.hidden_gdi = {0};
  ASSERT_EQ(Attach(world, 0), kWinSuccess);
  EXPECT_EQ(FindDevice(world.DesktopDevices(), GdiName(2)), nullptr);
  EXPECT_EQ(world.DesktopMonitors().size(), 1u);
  EXPECT_EQ(ActivePathCount(world), 2u);
  SimSettings s;
  EXPECT_TRUE(world.CurrentSettings(GdiName(2), &s));

  world.state().faults.position_change_fails = true;
  const std::string gdi = GdiName(2);
  SimSettings move = SizeChange(1920, 1080);
  move.has_position = true;
  move.x = 4000;
  EXPECT_EQ(world.ChangeSettings(&gdi, &move, false), kDispFailed);
  EXPECT_EQ(world.ChangeSettings(&gdi, &s, false), kDispFailed);  // current settings carry a position
  const SimSettings size_only = SizeChange(2560, 1440);
  EXPECT_EQ(world.ChangeSettings(&gdi, &size_only, false), kDispSuccessful);

  SimVddWorld broken;
  broken.state().device.started = false;
  broken.state().device.problem = 43;
  broken.state().targets.clear();
  const SimClassDevice driver = broken.DisplayClassDevices()[1];
  EXPECT_TRUE(driver.present);
  EXPECT_FALSE(driver.started);
  EXPECT_EQ(driver.problem, 43u);
  SimPathList all;
  ASSERT_EQ(broken.QueryPaths(false, &all), kWinSuccess);
  EXPECT_EQ(all.paths.size(), 1u);
}

TEST(SimVddWorldGdi, OnlyListedModesAndTurnedSides) {
  SimVddWorld world;
  ASSERT_EQ(Attach(world, 0), kWinSuccess);
  const std::string gdi = GdiName(2);
  EXPECT_EQ(world.ListedModes(gdi, true).size(), DefaultDriverModes().size() * 4);
  const std::vector<SimSettings> current = world.ListedModes(gdi, false);
  ASSERT_EQ(current.size(), DefaultDriverModes().size());
  EXPECT_EQ(current[0].orientation, 0u);

  struct Case {
    const char* name;
    uint32_t width, height;
    int refresh;      // -1: not given
    int orientation;  // -1: not given
    int32_t answer;
    uint32_t now_width, now_height, now_refresh, now_orientation;
  };
  const Case cases[] = {
      {"listed mode", 2560, 1440, 60, 0, kDispSuccessful, 2560, 1440, 60, 0},
      {"not listed", 1000, 700, 60, 0, kDispBadMode, 1920, 1080, 60, 0},
      {"refresh not listed", 2560, 1440, 75, 0, kDispBadMode, 1920, 1080, 60, 0},
      {"no refresh: the current one", 1920, 1200, -1, -1, kDispSuccessful, 1920, 1200, 60, 0},
      {"portrait sides at 90", 1080, 1920, 60, 1, kDispSuccessful, 1080, 1920, 60, 1},
      {"portrait sides unturned", 1080, 1920, 60, 0, kDispBadMode, 1920, 1080, 60, 0},
      {"bad orientation", 1920, 1080, 60, 4, kDispBadParam, 1920, 1080, 60, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimVddWorld w = world;
    SimSettings change = SizeChange(c.width, c.height);
    change.has_refresh = c.refresh >= 0;
    change.refresh_hz = c.refresh >= 0 ? static_cast<uint32_t>(c.refresh) : 0;
    change.has_orientation = c.orientation >= 0;
    change.orientation = c.orientation >= 0 ? static_cast<uint32_t>(c.orientation) : 0;
    EXPECT_EQ(w.ChangeSettings(&gdi, &change, false), c.answer);
    SimSettings s;
    ASSERT_TRUE(w.CurrentSettings(gdi, &s));
    EXPECT_EQ(s.width, c.now_width);
    EXPECT_EQ(s.height, c.now_height);
    EXPECT_EQ(s.refresh_hz, c.now_refresh);
    EXPECT_EQ(s.orientation, c.now_orientation);
  }

  const std::string unknown = "\\\\.\\DISPLAY9";
  const SimSettings any = SizeChange(1920, 1080);
  EXPECT_EQ(world.ChangeSettings(&unknown, &any, false), kDispBadParam);
}

TEST(SimVddWorldGdi, StoredChangeAttachesAFreeSourceWhenApplied) {
  SimVddWorld world;
  const std::string gdi = GdiName(2);
  SimSettings attach = SizeChange(1920, 1080);
  attach.has_position = true;
  attach.x = 1920;
  attach.y = 0;
  ASSERT_EQ(world.ChangeSettings(&gdi, &attach, true), kDispSuccessful);
  EXPECT_FALSE(OnDesktop(world, gdi));
  EXPECT_EQ(world.state().pending.size(), 1u);
  ASSERT_EQ(world.ChangeSettings(nullptr, nullptr, false), kDispSuccessful);
  EXPECT_TRUE(world.state().pending.empty());
  EXPECT_TRUE(OnDesktop(world, gdi));
  SimSettings s;
  ASSERT_TRUE(world.CurrentSettings(gdi, &s));
  EXPECT_EQ(s.x, 1920);
  EXPECT_EQ(ActivePathCount(world), 2u);
}

TEST(SimVddWorldTime, FollowingAnotherClock) {
  SimVddWorld world;
  world.FollowClock(50'000);  // first reading: nothing moves
  EXPECT_EQ(world.NowMs(), 0u);
  world.FollowClock(50'700);
  EXPECT_EQ(world.NowMs(), 700u);
  world.FollowClock(10'000);  // a clock behind the last reading
  EXPECT_EQ(world.NowMs(), 700u);
  world.FollowClock(10'000 + 5 * kMaxFollowStepMs);
  EXPECT_EQ(world.NowMs(), 700u + kMaxFollowStepMs);
  EXPECT_EQ(world.UptimeMs(), world.state().uptime_base_ms + world.NowMs());
}

// A world with every field away from its default.
SimVddWorld BusyWorld() {
  SimVddWorld world;
  SimWorldState& st = world.state();
  st.uptime_base_ms = 42;
  st.clock_ms = 777;
  st.device.instance_id = "ROOT\\DISPLAY\\0001";
  st.device.driver_version = "1.2.3.4";
  st.device.adapter_luid = {0xABCDEF01, -2};
  st.device.modes = {{1920, 1080, 60}, {1080, 1920, 60}, {3840, 2160, 144}};
  st.device.restart_delay_ms = 900;
  st.device.join_delay_ms = 300;
  st.physical.sources = 2;
  SimPhysicalMonitor second;
  second.edid = "ABC1234";
  second.target_id = 9;
  second.modes = {{1280, 1024, 75}};
  second.state.source_id = 1;
  second.state.mode = {1280, 1024, 75};
  st.physical.monitors.push_back(second);
  st.physical.monitors[0].state.orientation = 2;
  st.targets.assign(3, SimMonitorState{});
  for (SimMonitorState& t : st.targets) t.mode = st.device.modes.front();
  EXPECT_EQ(Attach(world, 1), kWinSuccess);
  world.AdvanceMs(300);  // target 1 joins
  EXPECT_EQ(Attach(world, 2), kWinSuccess);
  st.targets[2].join_at_ms = kNever;
  st.targets[2].placed = true;
  st.targets[2].x = -1280;
  st.targets[2].y = 64;
  st.targets[2].orientation = 1;
  st.database_saves = 5;
  st.registry = {true, "C:\\Virtual Display", true, 2};
  st.faults.supplied_config_error = 31;
  st.faults.topology_only_error = -7;
  st.faults.query_busy = 3;
  st.faults.join_late_ms = {{0, 5000}, {4, 1}};
  st.faults.join_never = {1, 15};
  st.faults.hidden_gdi = {2};
  st.faults.position_change_fails = true;
  st.faults.restart_never_starts = true;
  st.faults.adapter_path_fails = true;
  st.other_devices = {{"PCI\\VEN_10DE\\1", {"PCI\\VEN_10DE&DEV_2484", "PCI\\VEN_10DE"}, "31.0", true, true, 0},
                      {"ROOT\\DISPLAY\\0002", {"Root\\TvrVDD"}, "1.0.0.0", false, false, 0}};
  SimSettings pending = SizeChange(1080, 1920);
  pending.has_orientation = true;
  pending.orientation = 1;
  st.pending[4] = pending;
  SimSettings moved;
  moved.has_position = true;
  moved.x = -5;
  moved.y = 7;
  moved.has_refresh = true;
  moved.refresh_hz = 60;
  st.pending[1] = moved;
  return world;
}

TEST(SimVddWorldFile, SaveAndLoadKeepEveryField) {
  testing::ScopedTempDir dir;
  const SimVddWorld world = BusyWorld();
  ASSERT_EQ(world.state().targets[1].link, SimLink::kAttached);
  {
    SimWorldLock lock(dir.path() / "shared");
    ASSERT_TRUE(lock.locked());
    const SimWorldFileResult saved = world.Save(dir.path() / "shared");
    ASSERT_TRUE(saved.ok()) << saved.detail;
  }
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "shared" / kWorldLockFileName));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "shared" / "world.ini.tmp"));
  SimVddWorld loaded;
  const SimWorldFileResult read = loaded.Load(dir.path() / "shared");
  ASSERT_TRUE(read.ok()) << read.detail;
  EXPECT_TRUE(loaded.state() == world.state());
  EXPECT_EQ(loaded.ToIni(), world.ToIni());

  // A stopped, restarting device and a world without registry values.
  SimVddWorld stopped;
  stopped.state().device.restart_delay_ms = 10;
  ASSERT_TRUE(stopped.RestartDevice());
  SimVddWorld again;
  ASSERT_TRUE(again.FromIni(stopped.ToIni()).ok());
  EXPECT_TRUE(again.state() == stopped.state());
  again.AdvanceMs(10);
  EXPECT_EQ(again.MonitorCount(), 1u);
}

TEST(SimVddWorldFile, AHandWrittenWorld) {
  SimVddWorld world;
  const SimWorldFileResult r = world.FromIni(
      "# two monitors of the driver, the second on the desktop\n"
      "[device]\r\n"
      "  count = 2  \n"
      "modes=1920x1080@60, 2560x1600@120\n"
      "[target 1]\n"
      "link=attached\n"
      "source=1\n"
      "x=1920\n"
      "; registry values\n"
      "[registry]\n"
      "first_orvane_monitor=1\n"
      "[class 0]\n"
      "instance_id=PCI\\VEN_10DE\\1\n"
      "hardware_ids=PCI\\VEN_10DE&DEV_2484, PCI\\VEN_10DE\n");
  ASSERT_TRUE(r.ok()) << r.detail;
  ASSERT_EQ(world.state().other_devices.size(), 1u);
  EXPECT_EQ(world.state().other_devices[0].hardware_ids,
            (std::vector<std::string>{"PCI\\VEN_10DE&DEV_2484", "PCI\\VEN_10DE"}));
  EXPECT_TRUE(world.state().other_devices[0].started);
  EXPECT_EQ(world.MonitorCount(), 2u);
  EXPECT_EQ(world.state().targets[0].mode, (SimMode{1920, 1080, 60}));
  EXPECT_TRUE(OnDesktop(world, GdiName(3)));
  EXPECT_FALSE(world.state().registry.has_vdd_path);
  uint32_t first = 0;
  EXPECT_EQ(world.ReadRegistryDword("software\\orvane display", "VddFirstOrvaneMonitor", &first), kWinSuccess);
  EXPECT_EQ(first, 1u);
  std::string text;
  EXPECT_EQ(world.ReadRegistryString("SOFTWARE\\Telvenor\\VirtualDisplayDriver", "VDDPATH", &text), kWinFileNotFound);
  EXPECT_EQ(world.ReadRegistryString("SOFTWARE\\Orvane Display", "VddFirstOrvaneMonitor", &text), kWinUnsupportedType);
}

TEST(SimVddWorldFile, MalformedWorldsAreRefusedWhole) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"[nonsense]\n", "unknown section"},
      {"[device]\nspeed=1\n", "unknown key"},
      {"[device]\ncount=1\ncount=2\n", "key repeated"},
      {"[world]\n[world]\n", "section repeated"},
      {"[world]\nnow_ms=12a\n", "line 2: bad value for now_ms"},
      {"[world]\nnow_ms=99999999999999999999\n", "bad value for now_ms"},
      {"now_ms=1\n", "key outside a section"},
      {"[world]\nnow_ms\n", "not key=value"},
      {"[world\n", "unclosed"},
      {"[device 1]\n", "unknown section"},
      {"[target]\n", "unknown section"},
      {"[target 1]\nlink=attached\n", "target beyond count"},
      {"[device]\nstarted=0\ncount=1\n", "count needs started=1"},
      {"[device]\nproblem=43\n", "a device with a problem is not started"},
      {"[monitor 1]\n", "gap"},
      {"[target 0]\nprimary=1\n", "primary needs link=attached"},
      {"[target 0]\nlink=attached\nprimary=1\n", "more than one primary"},
      {"[target 0]\nlink=gone\n", "bad value for link"},
      {"[monitor 0]\nlink=joining\n", "does not join later"},
      {"[device]\nadapter_luid=1234\n", "bad value for adapter_luid"},
      {"[device]\nadapter_luid=0000C2B1:00000000\n", "share one LUID"},
      {"[device]\nmodes=1920x1080\n", "bad value for modes"},
      {"[faults]\njoin_never=2,1\n", "bad value for join_never"},
      {"[faults]\njoin_late=0:5,0:6\n", "bad value for join_late"},
      {"[pending 0]\n", "bad display number"},
      {"[class 1]\ninstance_id=A\nhardware_ids=B\n", "class numbers have a gap"},
      {"[class 0]\nhardware_ids=B\n", "empty device id"},
      {"[class 0]\ninstance_id=A\n", "no hardware id"},
      {"[class 0]\ninstance_id=A\nhardware_ids=B,,C\n", "bad value for hardware_ids"},
      {"[class 0]\ninstance_id=A\nhardware_ids=B\nproblem=10\n", "a device with a problem is not started"},
      {"[class 0]\ninstance_id=root\\display\\0000\nhardware_ids=B\n", "instance_id repeated"},
      {"[device]\ninstance_id=A\x01"
       "B\n",
       "control character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SimVddWorld world;
    world.state().now_ms = 5;
    const SimWorldState before = world.state();
    const SimWorldFileResult r = world.FromIni(c.text);
    EXPECT_EQ(r.status, SimWorldFileStatus::kMalformed);
    EXPECT_NE(r.detail.find(c.why), std::string::npos) << r.detail;
    EXPECT_TRUE(world.state() == before);
  }
  std::string many = "[device]\nmodes=";
  for (size_t i = 0; i <= kMaxListedModes; ++i) many += (i ? ",800x600@" : "800x600@") + std::to_string(i + 1);
  SimVddWorld world;
  EXPECT_EQ(world.FromIni(many + "\n").status, SimWorldFileStatus::kMalformed);
}

TEST(SimVddWorldFile, ReadsAreBounded) {
  testing::ScopedTempDir dir;
  SimVddWorld world;
  EXPECT_EQ(world.Load(dir.path()).status, SimWorldFileStatus::kAbsent);

  std::string at_limit = "[world]\nnow_ms=9\n#";
  at_limit.resize(kMaxWorldFileBytes, 'x');
  WriteText(dir.path() / kWorldFileName, at_limit);
  ASSERT_TRUE(world.Load(dir.path()).ok());
  EXPECT_EQ(world.NowMs(), 9u);

  WriteText(dir.path() / kWorldFileName, at_limit + "x");
  EXPECT_EQ(world.Load(dir.path()).status, SimWorldFileStatus::kTooLarge);
  EXPECT_EQ(world.NowMs(), 9u);
  EXPECT_EQ(world.FromIni(at_limit + "x").status, SimWorldFileStatus::kTooLarge);

  std::filesystem::remove(dir.path() / kWorldFileName);
  std::filesystem::create_directory(dir.path() / kWorldFileName);
  EXPECT_EQ(world.Load(dir.path()).status, SimWorldFileStatus::kUnreadable);
}

TEST(SimVddWorldSettings, ModeCountOfASettingsFile) {
  EXPECT_EQ(SettingsModeCount(""), 0u);
  EXPECT_EQ(SettingsModeCount("<resolutions><resolution>a</resolution><resolution >b</resolution></resolutions>"), 2u);
  EXPECT_EQ(SettingsModeCount("<resolution>a</resolution><g_refresh_rate>60</g_refresh_rate>"
                              "<g_refresh_rate>120</g_refresh_rate><!-- <resolution>c</resolution> -->"),
            3u);
}

}  // namespace
}  // namespace orvane::sim_vdd
