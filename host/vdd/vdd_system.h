#pragma once
// The platform calls the Virtual Display Driver back-end makes, as portable
// records with Windows error numbering on both builds: the configuration
// manager's display-class devices and device nodes, the display
// configuration's paths (QueryDisplayConfig / SetDisplayConfig /
// DisplayConfigGetDeviceInfo), GDI's desktop devices and display settings,
// registry reads (HKEY_LOCAL_MACHINE, 64-bit view) and the uptime.
//
// Windows: vdd_system_win.cpp, the calls themselves. Linux:
// vdd_system_linux.cpp, a simulated world when ORVANE_SIM_VDD names one,
// else a machine without the driver. Text is UTF-8 here; the Windows side
// converts at each call.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvane::vdd {

// Windows error numbers (winerror.h) as the calls answer them.
inline constexpr int32_t kErrorSuccess = 0;
inline constexpr int32_t kErrorFileNotFound = 2;
inline constexpr int32_t kErrorAccessDenied = 5;
inline constexpr int32_t kErrorGenFailure = 31;
inline constexpr int32_t kErrorNotSupported = 50;
inline constexpr int32_t kErrorInvalidParameter = 87;
inline constexpr int32_t kErrorInsufficientBuffer = 122;
inline constexpr int32_t kErrorMoreData = 234;
inline constexpr int32_t kErrorNoMoreItems = 259;
inline constexpr int32_t kErrorNotFound = 1168;

// Configuration-manager node status (DN_*) and problem numbers.
inline constexpr uint32_t kDnStarted = 0x8;
inline constexpr uint32_t kDnHasProblem = 0x400;
inline constexpr uint32_t kProblemDisabled = 22;

// SetDisplayConfig flags (SDC_*).
inline constexpr uint32_t kSdcTopologySupplied = 0x10;
inline constexpr uint32_t kSdcUseSuppliedDisplayConfig = 0x20;
inline constexpr uint32_t kSdcApply = 0x80;
inline constexpr uint32_t kSdcSaveToDatabase = 0x200;
inline constexpr uint32_t kSdcAllowChanges = 0x400;
inline constexpr uint32_t kSdcAllowPathOrderChanges = 0x2000;
// The two flag sets of an attach or detach: supplied configuration, and
// topology only.
inline constexpr uint32_t kSdcSuppliedConfig = kSdcApply | kSdcUseSuppliedDisplayConfig | kSdcAllowChanges;
inline constexpr uint32_t kSdcTopologyOnly = kSdcApply | kSdcTopologySupplied | kSdcAllowPathOrderChanges;
static_assert(kSdcSuppliedConfig == 0x4A0 && kSdcTopologyOnly == 0x2090);

// ChangeDisplaySettingsEx answers (DISP_CHANGE_*), fields (DM_*), flags
// (CDS_*) and orientations (DMDO_*).
inline constexpr int32_t kDispChangeSuccessful = 0;
inline constexpr int32_t kDispChangeRestart = 1;
inline constexpr int32_t kDispChangeFailed = -1;
inline constexpr int32_t kDispChangeBadMode = -2;
inline constexpr int32_t kDispChangeBadParam = -5;
inline constexpr uint32_t kDmPosition = 0x20;
inline constexpr uint32_t kDmDisplayOrientation = 0x80;
inline constexpr uint32_t kDmPelsWidth = 0x80000;
inline constexpr uint32_t kDmPelsHeight = 0x100000;
inline constexpr uint32_t kDmDisplayFrequency = 0x400000;
inline constexpr uint32_t kCdsUpdateRegistry = 0x1;
inline constexpr uint32_t kCdsNoReset = 0x10000000;
inline constexpr uint32_t kDmdoDefault = 0;
inline constexpr uint32_t kDmdo90 = 1;
inline constexpr uint32_t kDmdo180 = 2;
inline constexpr uint32_t kDmdo270 = 3;

// Mode index of a path that names no mode (DISPLAYCONFIG_PATH_MODE_IDX_INVALID).
inline constexpr uint32_t kInvalidModeIndex = 0xFFFFFFFFu;

// A device node of the configuration manager.
struct DeviceNode {
  std::string instance_id;
  bool status_known = false;  // CM_Get_DevNode_Status succeeded
  uint32_t status = 0;        // DN_* bits
  uint32_t problem = 0;       // problem number when DN_HAS_PROBLEM is set
};

// A device of the display class, present or not.
struct DisplayClassDevice {
  DeviceNode node;                        // instance id from CM_Get_Device_IDW
  std::vector<std::string> hardware_ids;  // SPDRP_HARDWAREID
  std::string driver_version;             // DEVPKEY_Device_DriverVersion; empty when none
};

struct Luid {
  uint32_t low = 0;
  int32_t high = 0;
  friend bool operator==(const Luid&, const Luid&) = default;
};

// One DISPLAYCONFIG_PATH_INFO. The fields the back-end reads and changes are
// spelled out; `native` carries the rest of the record as the system gave
// it, written back unchanged (empty in the simulated world).
struct DisplayPath {
  Luid source_adapter;
  uint32_t source_id = 0;
  uint32_t source_mode_index = kInvalidModeIndex;
  Luid target_adapter;
  uint32_t target_id = 0;
  uint32_t target_mode_index = kInvalidModeIndex;
  bool target_available = false;
  bool active = false;  // DISPLAYCONFIG_PATH_ACTIVE
  std::vector<uint8_t> native;
};

// The paths and modes of one QueryDisplayConfig; modes are carried
// opaquely from the query to SetDisplayConfig.
struct DisplayConfig {
  std::vector<DisplayPath> paths;
  std::vector<std::vector<uint8_t>> modes;
};

// Which step of a query failed: GetDisplayConfigBufferSizes, then
// QueryDisplayConfig (kErrorInsufficientBuffer when the topology changed
// between the two).
struct DisplayConfigAnswer {
  int32_t sizes_error = kErrorSuccess;
  int32_t query_error = kErrorSuccess;
  bool ok() const { return sizes_error == kErrorSuccess && query_error == kErrorSuccess; }
};

// A desktop device of EnumDisplayDevicesW.
struct DesktopDevice {
  std::string name;  // "\\.\DISPLAY1"
  bool attached_to_desktop = false;
  bool primary = false;
};

// Display settings (DEVMODE): the current ones, a listed mode, or a change.
struct DisplaySettings {
  uint32_t fields = 0;  // DM_* bits that are set
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refresh_hz = 0;
  uint32_t orientation = kDmdoDefault;  // DMDO_*
};

class IVddSystem {
 public:
  virtual ~IVddSystem() = default;

  // --- configuration manager and SetupAPI ---
  // Every display-class device (SetupDiGetClassDevsW without flags).
  virtual int32_t ListDisplayClassDevices(std::vector<DisplayClassDevice>* devices) = 0;
  // The child nodes of a device node (CM_Locate_DevNodeW, CM_Get_Child,
  // CM_Get_Sibling), each with its status.
  virtual int32_t ListChildNodes(const std::string& instance_id, std::vector<DeviceNode>* children) = 0;
  // The instance id of a device's parent node (CM_Get_Parent).
  virtual int32_t GetParentInstanceId(const std::string& instance_id, std::string* parent) = 0;

  // --- display configuration ---
  virtual DisplayConfigAnswer QueryDisplayConfig(bool active_only, DisplayConfig* config) = 0;
  // modes null: SetDisplayConfig without a mode array.
  virtual int32_t SetDisplayConfig(const std::vector<DisplayPath>& paths,
                                   const std::vector<std::vector<uint8_t>>* modes, uint32_t flags) = 0;
  // DisplayConfigGetDeviceInfo: the adapter's device path, the target's
  // monitor device path, the source's GDI device name.
  virtual int32_t GetAdapterDevicePath(const Luid& adapter, std::string* path) = 0;
  virtual int32_t GetTargetDevicePath(const Luid& adapter, uint32_t target_id, std::string* path) = 0;
  virtual int32_t GetSourceGdiName(const Luid& adapter, uint32_t source_id, std::string* name) = 0;

  // --- GDI ---
  virtual std::vector<DesktopDevice> ListDesktopDevices() = 0;
  // ENUM_CURRENT_SETTINGS; false when they cannot be read.
  virtual bool GetCurrentSettings(const std::string& device, DisplaySettings* settings) = 0;
  // Every listed mode; rotated: EnumDisplaySettingsExW with
  // EDS_ROTATEDMODE (orientation set with DM_DISPLAYORIENTATION), else
  // EnumDisplaySettingsW.
  virtual std::vector<DisplaySettings> ListModes(const std::string& device, bool rotated) = 0;
  // ChangeDisplaySettingsExW; device and settings null: apply what was
  // stored with CDS_NORESET. Returns DISP_CHANGE_*.
  virtual int32_t ChangeDisplaySettings(const std::string* device, const DisplaySettings* settings,
                                        uint32_t flags) = 0;

  // --- registry (HKEY_LOCAL_MACHINE, 64-bit view) and uptime ---
  // A string value read whole (at most 32767 characters).
  virtual int32_t ReadRegistryString(const std::string& key, const std::string& value, std::string* text) = 0;
  virtual int32_t ReadRegistryDword(const std::string& key, const std::string& value, uint32_t* number) = 0;
  virtual uint64_t UptimeMs() = 0;
};

// The machine's calls (Windows), or the simulated world named by
// ORVANE_SIM_VDD (Linux); null on Linux without one.
std::unique_ptr<IVddSystem> MakePlatformVddSystem();

// Where the calls answer from a simulated world (ORVANE_SIM_VDD on Linux),
// monitor enumeration reads that world's desktop as well; elsewhere nothing
// changes. Called once at start.
void UseSimulatedDesktopWhenPresent();

}  // namespace orvane::vdd
