// The Virtual Display Driver back-end's Windows calls on a real desktop (Wine
// under Xvfb in CI): the display-class devices and their nodes, the display
// configuration's paths and their names, the desktop devices and their modes.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/clock.h"
#include "host/common/platform_info.h"
#include "host/vdd/host_virtual_displays.h"
#include "host/vdd/vdd_backend.h"
#include "host/vdd/vdd_settings_host.h"
#include "host/vdd/vdd_system.h"
#include "host/vdd/virtual_display.h"
#include "tests/support/test_support.h"

namespace orvane::vdd {
namespace {

constexpr char kFirstDisplay[] = "\\\\.\\DISPLAY1";

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool IsDriverDevice(const DisplayClassDevice& device) {
  for (const std::string& id : device.hardware_ids) {
    if (SameText(id, "Root\\TvrVDD") || SameText(id, "TvrVDD")) return true;
  }
  return false;
}

// Skips the rest of a test, printing why.
#define ORVANE_SKIP_TEST(reason)                   \
  do {                                             \
    const std::string why = (reason);              \
    std::printf("[  SKIPPED ] %s\n", why.c_str()); \
    GTEST_SKIP() << why;                           \
  } while (0)

// The logged lines, one after another, for a skip's reason.
std::string Joined(const testing::LogCapture& log) {
  std::string text;
  for (const std::string& line : log.Lines()) text += (text.empty() ? "" : " / ") + line;
  return text;
}

DisplayConfig QueryActive(IVddSystem& system) {
  DisplayConfig config;
  const DisplayConfigAnswer answer = system.QueryDisplayConfig(true, &config);
  EXPECT_TRUE(answer.ok()) << "sizes " << answer.sizes_error << ", query " << answer.query_error;
  return config;
}

TEST(VddSystemWinDisplayTest, ListsTheDisplayClassDevices) {
  auto system = MakePlatformVddSystem();
  ASSERT_NE(system, nullptr);
  std::vector<DisplayClassDevice> devices;
  testing::LogCapture log;
  ASSERT_EQ(system->ListDisplayClassDevices(&devices), kErrorSuccess);
  // What a device could not tell (a device not present has no status, one
  // without a driver no version).
  for (const std::string& line : log.Lines()) std::printf("logged: %s\n", line.c_str());
  size_t driver_devices = 0;
  for (const DisplayClassDevice& device : devices) {
    std::string ids;
    for (const std::string& id : device.hardware_ids) ids += (ids.empty() ? "" : ", ") + id;
    std::printf("display-class device %s: status %s0x%x, problem %u, driver %s, hardware ids [%s]\n",
                device.node.instance_id.c_str(), device.node.status_known ? "" : "unknown ", device.node.status,
                device.node.problem, device.driver_version.empty() ? "-" : device.driver_version.c_str(), ids.c_str());
    EXPECT_FALSE(device.node.instance_id.empty());
    if (IsDriverDevice(device)) ++driver_devices;
  }
  ASSERT_FALSE(devices.empty()) << "a desktop has a display adapter";
  if (RunningUnderWine()) {
    EXPECT_EQ(driver_devices, 0u) << "Wine has no Virtual Display Driver";
  }
}

// A PC without the driver: the back-end over the real calls says so, and the
// host takes the not-installed stand-in.
TEST(VddSystemWinDisplayTest, WithoutTheDriverTheBackEndReportsItNotInstalled) {
  auto system = MakePlatformVddSystem();
  ASSERT_NE(system, nullptr);
  std::vector<DisplayClassDevice> devices;
  ASSERT_EQ(system->ListDisplayClassDevices(&devices), kErrorSuccess);
  for (const DisplayClassDevice& d : devices) {
    if (IsDriverDevice(d)) ORVANE_SKIP_TEST("this PC has the Virtual Display Driver installed: " + d.node.instance_id);
  }
  SettingsFileVddRequests requests;
  VirtualDriversVddBackend backend(*system, requests, SystemClock());
  const VirtualDisplayAvailability availability = backend.QueryAvailability();
  EXPECT_EQ(availability.state, VirtualDisplayState::kNotInstalled);
  EXPECT_EQ(availability.detail, "Virtual Display Driver (Root\\TvrVDD) not installed");
  EXPECT_STREQ(MakeVddBackend(system.get(), requests, SystemClock())->GetId(), "none");
}

TEST(VddSystemWinDisplayTest, ActivePathsCarryTheirRecordsAndNames) {
  auto system = MakePlatformVddSystem();
  const DisplayConfig config = QueryActive(*system);
  ASSERT_FALSE(config.paths.empty());
  for (const std::vector<uint8_t>& mode : config.modes) EXPECT_EQ(mode.size(), sizeof(DISPLAYCONFIG_MODE_INFO));
  bool first_display = false;
  for (const DisplayPath& path : config.paths) {
    EXPECT_TRUE(path.active);
    ASSERT_EQ(path.native.size(), sizeof(DISPLAYCONFIG_PATH_INFO));
    DISPLAYCONFIG_PATH_INFO native;
    std::memcpy(&native, path.native.data(), sizeof(native));
    EXPECT_EQ(path.source_adapter.low, native.sourceInfo.adapterId.LowPart);
    EXPECT_EQ(path.source_adapter.high, native.sourceInfo.adapterId.HighPart);
    EXPECT_EQ(path.source_id, native.sourceInfo.id);
    EXPECT_EQ(path.source_mode_index, native.sourceInfo.modeInfoIdx);
    EXPECT_EQ(path.target_adapter.low, native.targetInfo.adapterId.LowPart);
    EXPECT_EQ(path.target_id, native.targetInfo.id);
    EXPECT_EQ(path.target_mode_index, native.targetInfo.modeInfoIdx);
    EXPECT_EQ(path.target_available, native.targetInfo.targetAvailable != FALSE);
    for (const uint32_t index : {path.source_mode_index, path.target_mode_index}) {
      if (index != kInvalidModeIndex) {
        EXPECT_LT(index, config.modes.size());
      }
    }

    std::string gdi_name;
    std::string target_path;
    EXPECT_EQ(system->GetSourceGdiName(path.source_adapter, path.source_id, &gdi_name), kErrorSuccess);
    EXPECT_EQ(system->GetTargetDevicePath(path.target_adapter, path.target_id, &target_path), kErrorSuccess);
    EXPECT_EQ(target_path.rfind("\\\\?\\", 0), 0u) << target_path;
    std::printf("active path: source %u (%s), target %u (%s)\n", path.source_id, gdi_name.c_str(), path.target_id,
                target_path.c_str());
    if (gdi_name == kFirstDisplay) first_display = true;
  }
  EXPECT_TRUE(first_display) << "no active path feeds " << kFirstDisplay;

  // Every path of the full list, the active ones among them.
  DisplayConfig all;
  const DisplayConfigAnswer answer = system->QueryDisplayConfig(false, &all);
  ASSERT_TRUE(answer.ok()) << "sizes " << answer.sizes_error << ", query " << answer.query_error;
  EXPECT_GE(all.paths.size(), config.paths.size());
}

TEST(VddSystemWinDisplayTest, AnActiveTargetsAdapterHasADevicePath) {
  auto system = MakePlatformVddSystem();
  const DisplayConfig config = QueryActive(*system);
  ASSERT_FALSE(config.paths.empty());
  std::string adapter_path = "left over";
  const int32_t error = system->GetAdapterDevicePath(config.paths[0].target_adapter, &adapter_path);
  if (error != kErrorSuccess && RunningUnderWine()) {
    ORVANE_SKIP_TEST("under Wine: DisplayConfigGetDeviceInfo gives no adapter name (err=" + std::to_string(error) +
                     ")");
  }
  ASSERT_EQ(error, kErrorSuccess);
  EXPECT_EQ(adapter_path.rfind("\\\\?\\", 0), 0u) << adapter_path;
  std::printf("adapter of the first active target: %s\n", adapter_path.c_str());
}

TEST(VddSystemWinDisplayTest, TheQueriedConfigurationValidatesWhenHandedBack) {
  auto system = MakePlatformVddSystem();
  const DisplayConfig config = QueryActive(*system);
  ASSERT_FALSE(config.paths.empty());
  // SDC_VALIDATE checks the configuration without applying it.
  const int32_t error =
      system->SetDisplayConfig(config.paths, &config.modes, SDC_VALIDATE | kSdcUseSuppliedDisplayConfig);
  if (error != kErrorSuccess && RunningUnderWine()) {
    ORVANE_SKIP_TEST("under Wine: SetDisplayConfig does not validate a supplied configuration (err=" +
                     std::to_string(error) + ")");
  }
  EXPECT_EQ(error, kErrorSuccess);
}

TEST(VddSystemWinDisplayTest, PartialRecordsAreRefusedBeforeTheCall) {
  auto system = MakePlatformVddSystem();
  testing::LogCapture log;
  DisplayPath cut;
  cut.native.assign(10, 0);
  EXPECT_EQ(system->SetDisplayConfig({cut}, nullptr, SDC_VALIDATE | kSdcTopologySupplied), kErrorInvalidParameter);
  EXPECT_TRUE(log.Contains("path 0 carries 10 bytes, not a whole record"));
  const std::vector<std::vector<uint8_t>> modes = {std::vector<uint8_t>(3, 0)};
  EXPECT_EQ(system->SetDisplayConfig({DisplayPath{}}, &modes, SDC_VALIDATE | kSdcUseSuppliedDisplayConfig),
            kErrorInvalidParameter);
  EXPECT_TRUE(log.Contains("mode 0 carries 3 bytes, not a whole record"));
}

TEST(VddSystemWinDisplayTest, AMonitorHangsBelowADisplayClassDevice) {
  auto system = MakePlatformVddSystem();
  const DisplayConfig config = QueryActive(*system);
  ASSERT_FALSE(config.paths.empty());
  std::string target_path;
  ASSERT_EQ(system->GetTargetDevicePath(config.paths[0].target_adapter, config.paths[0].target_id, &target_path),
            kErrorSuccess);
  const std::string monitor = TargetIdFromDevicePath(target_path);
  ASSERT_FALSE(monitor.empty()) << target_path;
  std::string parent;
  testing::LogCapture log;
  const int32_t error = system->GetParentInstanceId(monitor, &parent);
  if (error != kErrorSuccess && RunningUnderWine()) {
    ORVANE_SKIP_TEST("under Wine: the monitor " + monitor + " has no device node with a parent (err=" +
                     std::to_string(error) + ": " + Joined(log) + ")");
  }
  ASSERT_EQ(error, kErrorSuccess) << monitor;
  std::printf("monitor %s hangs below %s\n", monitor.c_str(), parent.c_str());

  std::vector<DisplayClassDevice> devices;
  ASSERT_EQ(system->ListDisplayClassDevices(&devices), kErrorSuccess);
  bool listed = false;
  for (const DisplayClassDevice& device : devices) listed = listed || SameText(device.node.instance_id, parent);
  EXPECT_TRUE(listed) << parent << " is not a display-class device";

  std::vector<DeviceNode> children;
  ASSERT_EQ(system->ListChildNodes(parent, &children), kErrorSuccess);
  bool found = false;
  for (const DeviceNode& child : children) {
    if (!SameText(child.instance_id, monitor)) continue;
    found = true;
    EXPECT_TRUE(child.status_known);
    EXPECT_NE(child.status & kDnStarted, 0u);
  }
  EXPECT_TRUE(found) << monitor << " is not a child of " << parent;
}

TEST(VddSystemWinDisplayTest, TheFirstDisplayHasSettingsAndModes) {
  auto system = MakePlatformVddSystem();
  bool listed = false;
  for (const DesktopDevice& device : system->ListDesktopDevices()) {
    if (device.name != kFirstDisplay) continue;
    listed = true;
    EXPECT_TRUE(device.attached_to_desktop);
    EXPECT_TRUE(device.primary);
  }
  EXPECT_TRUE(listed);

  DisplaySettings current;
  ASSERT_TRUE(system->GetCurrentSettings(kFirstDisplay, &current));
  EXPECT_EQ(current.fields & (kDmPelsWidth | kDmPelsHeight), kDmPelsWidth | kDmPelsHeight);
  EXPECT_GT(current.width, 0u);
  EXPECT_GT(current.height, 0u);
  std::printf("%s: %ux%u@%u at %d,%d, orientation %u, fields 0x%x\n", kFirstDisplay, current.width, current.height,
              current.refresh_hz, current.x, current.y, current.orientation, current.fields);

  for (const bool rotated : {false, true}) {
    SCOPED_TRACE(rotated ? "rotated" : "unrotated");
    const std::vector<DisplaySettings> modes = system->ListModes(kFirstDisplay, rotated);
    ASSERT_FALSE(modes.empty());
    bool has_current = false;
    for (const DisplaySettings& mode : modes) {
      has_current = has_current || (mode.width == current.width && mode.height == current.height);
    }
    EXPECT_TRUE(has_current) << modes.size() << " modes";
  }

  // CDS_TEST: the current mode is accepted without anything changing.
  DisplaySettings same = current;
  same.fields = kDmPelsWidth | kDmPelsHeight;
  const std::string device = kFirstDisplay;
  EXPECT_EQ(system->ChangeDisplaySettings(&device, &same, CDS_TEST), kDispChangeSuccessful);
}

TEST(VddSystemWinDisplayTest, AnUnknownDisplayIsRefusedAndLogged) {
  auto system = MakePlatformVddSystem();
  const std::string unknown = "\\\\.\\DISPLAY99";
  testing::LogCapture log;
  DisplaySettings settings;
  EXPECT_FALSE(system->GetCurrentSettings(unknown, &settings));
  EXPECT_TRUE(log.Contains("[VDD] EnumDisplaySettingsW(" + unknown + ", current) failed"));
  EXPECT_TRUE(system->ListModes(unknown, true).empty());
  EXPECT_TRUE(log.Contains("[VDD] EnumDisplaySettingsExW(" + unknown + ") listed no mode"));
  settings.fields = kDmPelsWidth | kDmPelsHeight;
  settings.width = 1024;
  settings.height = 768;
  EXPECT_NE(system->ChangeDisplaySettings(&unknown, &settings, CDS_TEST), kDispChangeSuccessful);
  EXPECT_TRUE(log.Contains("[VDD] ChangeDisplaySettingsExW(" + unknown + ", 1024x768@0"));
  std::string name = "left over";
  EXPECT_NE(system->GetSourceGdiName(Luid{0xDEAD, 0x7E57}, 0, &name), kErrorSuccess);
  EXPECT_TRUE(name.empty());
  EXPECT_TRUE(log.Contains("[VDD] DisplayConfigGetDeviceInfo(source name, adapter 00007E57:0000DEAD, id 0) failed"));
}

}  // namespace
}  // namespace orvane::vdd
