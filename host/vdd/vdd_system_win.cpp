// The Virtual Display Driver back-end's platform calls on Windows: SetupAPI
// and the configuration manager, the display configuration, GDI's desktop
// devices and display settings, the registry (64-bit view) and the uptime.
// Each call is converted to and from the portable records and nothing more;
// a failing call is logged and answers its Windows error number.

#include "host/vdd/vdd_system.h"

#include <windows.h>

// The class GUIDs and property keys of the headers below are defined in this
// file (DEFINE_GUID and DEFINE_DEVPROPKEY make them selectany, so another
// file defining them too is harmless).
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string_view>

#include "host/common/logger.h"
#include "host/common/utf.h"
#include "host/common/win_text.h"

// winuser.h maps this name to its A or W form; here it is the seam's method.
#undef ChangeDisplaySettings

namespace orvane::vdd {
namespace {

static_assert(sizeof(DISPLAYCONFIG_PATH_INFO) == 72, "DISPLAYCONFIG_PATH_INFO travels as 72 raw bytes");
static_assert(sizeof(DISPLAYCONFIG_MODE_INFO) == 64, "DISPLAYCONFIG_MODE_INFO travels as 64 raw bytes");
static_assert(kInvalidModeIndex == DISPLAYCONFIG_PATH_MODE_IDX_INVALID);
static_assert(kDmPosition == DM_POSITION && kDmDisplayOrientation == DM_DISPLAYORIENTATION &&
              kDmPelsWidth == DM_PELSWIDTH && kDmPelsHeight == DM_PELSHEIGHT &&
              kDmDisplayFrequency == DM_DISPLAYFREQUENCY);
static_assert(kSdcApply == SDC_APPLY && kSdcUseSuppliedDisplayConfig == SDC_USE_SUPPLIED_DISPLAY_CONFIG &&
              kSdcAllowChanges == SDC_ALLOW_CHANGES && kSdcTopologySupplied == SDC_TOPOLOGY_SUPPLIED &&
              kSdcAllowPathOrderChanges == SDC_ALLOW_PATH_ORDER_CHANGES &&
              kSdcSaveToDatabase == SDC_SAVE_TO_DATABASE);
static_assert(kDnStarted == DN_STARTED && kDnHasProblem == DN_HAS_PROBLEM && kProblemDisabled == CM_PROB_DISABLED);
static_assert(kCdsUpdateRegistry == CDS_UPDATEREGISTRY && kCdsNoReset == CDS_NORESET);
static_assert(kDispChangeSuccessful == DISP_CHANGE_SUCCESSFUL && kDispChangeRestart == DISP_CHANGE_RESTART &&
              kDispChangeFailed == DISP_CHANGE_FAILED && kDispChangeBadMode == DISP_CHANGE_BADMODE &&
              kDispChangeBadParam == DISP_CHANGE_BADPARAM);
static_assert(kDmdoDefault == DMDO_DEFAULT && kDmdo90 == DMDO_90 && kDmdo180 == DMDO_180 && kDmdo270 == DMDO_270);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND && kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER &&
              kErrorMoreData == ERROR_MORE_DATA && kErrorNoMoreItems == ERROR_NO_MORE_ITEMS &&
              kErrorNotFound == ERROR_NOT_FOUND && kErrorInvalidParameter == ERROR_INVALID_PARAMETER &&
              kErrorGenFailure == ERROR_GEN_FAILURE && kErrorAccessDenied == ERROR_ACCESS_DENIED &&
              kErrorNotSupported == ERROR_NOT_SUPPORTED);

// Bounds on what the system hands back, so that a broken answer cannot make
// a loop run on or an allocation grow without end.
constexpr DWORD kMaxPropertyBytes = 64 * 1024;
constexpr DWORD kMaxRegistryStringChars = 32767;
constexpr DWORD kMaxEnumeratedItems = 4096;

int32_t LastError() { return static_cast<int32_t>(GetLastError()); }

std::string Narrow(const wchar_t* text, size_t max_chars) {
  return FromWide(std::wstring_view(text, wcsnlen(text, max_chars)));
}

Luid ToLuid(const LUID& luid) { return Luid{static_cast<uint32_t>(luid.LowPart), static_cast<int32_t>(luid.HighPart)}; }

LUID ToNativeLuid(const Luid& luid) {
  LUID native{};
  native.LowPart = static_cast<DWORD>(luid.low);
  native.HighPart = static_cast<LONG>(luid.high);
  return native;
}

// --- configuration manager ------------------------------------------------

// CM_MapCrToWin32Err is not declared by MinGW's cfgmgr32.h and not exported
// by Wine's cfgmgr32.dll, so it is looked up at run time. Without it, the
// answers these calls give are numbered here the way it numbers them.
using MapCrToWin32ErrFn = DWORD(WINAPI*)(CONFIGRET, DWORD);

MapCrToWin32ErrFn LookUpMapCrToWin32Err() {
  HMODULE module = LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<MapCrToWin32ErrFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "CM_MapCrToWin32Err")));
}

int32_t CrToWin32(CONFIGRET cr) {
  static const MapCrToWin32ErrFn map = LookUpMapCrToWin32Err();
  if (map != nullptr) return static_cast<int32_t>(map(cr, ERROR_GEN_FAILURE));
  switch (cr) {
    case CR_SUCCESS: return ERROR_SUCCESS;
    case CR_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CR_INVALID_POINTER: return ERROR_INVALID_USER_BUFFER;
    case CR_INVALID_FLAG: return ERROR_INVALID_FLAGS;
    case CR_INVALID_DEVNODE:
    case CR_INVALID_DEVICE_ID:
    case CR_INVALID_DATA: return ERROR_INVALID_DATA;
    case CR_NO_SUCH_DEVNODE:
    case CR_NO_SUCH_VALUE: return ERROR_NOT_FOUND;
    case CR_BUFFER_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case CR_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case CR_CALL_NOT_IMPLEMENTED: return ERROR_CALL_NOT_IMPLEMENTED;
    default: return ERROR_GEN_FAILURE;
  }
}

int32_t LogCrFailure(const char* call, const std::string& subject, CONFIGRET cr) {
  const int32_t error = CrToWin32(cr);
  LogWarn("[VDD] %s(%s) failed (cr=0x%lx, err=%ld)", call, subject.c_str(), static_cast<unsigned long>(cr),
          static_cast<long>(error));
  return error;
}

// The instance id of a node; empty (logged) when it cannot be read.
std::string NodeInstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  const CONFIGRET cr = CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN + 1, 0);
  if (cr != CR_SUCCESS) {
    LogCrFailure("CM_Get_Device_IDW", "node " + std::to_string(node), cr);
    return {};
  }
  return Narrow(id, MAX_DEVICE_ID_LEN + 1);
}

DeviceNode ReadNode(DEVINST node) {
  DeviceNode out;
  out.instance_id = NodeInstanceId(node);
  ULONG status = 0;
  ULONG problem = 0;
  const CONFIGRET cr = CM_Get_DevNode_Status(&status, &problem, node, 0);
  if (cr == CR_SUCCESS) {
    out.status_known = true;
    out.status = static_cast<uint32_t>(status);
    out.problem = static_cast<uint32_t>(problem);
  } else {
    LogCrFailure("CM_Get_DevNode_Status", out.instance_id, cr);
  }
  return out;
}

int32_t LocateNode(const std::string& instance_id, DEVINST* node) {
  std::wstring id = ToWide(instance_id);
  const CONFIGRET cr = CM_Locate_DevNodeW(node, id.data(), CM_LOCATE_DEVNODE_NORMAL);
  if (cr != CR_SUCCESS) return LogCrFailure("CM_Locate_DevNodeW", instance_id, cr);
  return kErrorSuccess;
}

// --- SetupAPI --------------------------------------------------------------

class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~DeviceInfoSet() {
    if (ok()) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool ok() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

// The strings of a multi-string within its byte count.
std::vector<std::string> SplitMultiString(const std::vector<BYTE>& bytes, DWORD byte_count) {
  const size_t units = std::min<size_t>(byte_count, bytes.size()) / sizeof(char16_t);
  std::u16string text(units, u'\0');
  if (units != 0) std::memcpy(text.data(), bytes.data(), units * sizeof(char16_t));
  return SplitUtf16MultiString(text);
}

std::vector<std::string> ReadHardwareIds(HDEVINFO set, SP_DEVINFO_DATA* device, const std::string& subject) {
  std::vector<BYTE> buffer(2048);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD type = 0;
    DWORD required = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &required)) {
      if (type != REG_MULTI_SZ && type != REG_SZ) {
        LogWarn("[VDD] SetupDiGetDeviceRegistryPropertyW(%s, SPDRP_HARDWAREID) gave type %lu, not a multi-string",
                subject.c_str(), static_cast<unsigned long>(type));
        return {};
      }
      // The rest of the buffer is zero, so a size left unset reads the same.
      const DWORD returned =
          required != 0 && required <= buffer.size() ? required : static_cast<DWORD>(buffer.size());
      return SplitMultiString(buffer, returned);
    }
    const int32_t error = LastError();
    if (error == ERROR_INSUFFICIENT_BUFFER && attempt == 0 && required > buffer.size() &&
        required <= kMaxPropertyBytes) {
      buffer.assign(required, 0);
      continue;
    }
    LogWarn("[VDD] SetupDiGetDeviceRegistryPropertyW(%s, SPDRP_HARDWAREID) failed (err=%ld, size=%lu)",
            subject.c_str(), static_cast<long>(error), static_cast<unsigned long>(required));
    return {};
  }
  return {};
}

std::string ReadDriverVersion(HDEVINFO set, SP_DEVINFO_DATA* device, const std::string& subject) {
  std::vector<BYTE> buffer(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    DWORD required = 0;
    if (SetupDiGetDevicePropertyW(set, device, &DEVPKEY_Device_DriverVersion, &type, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &required, 0)) {
      if (type != DEVPROP_TYPE_STRING) {
        LogWarn("[VDD] SetupDiGetDevicePropertyW(%s, DriverVersion) gave type 0x%lx, not a string", subject.c_str(),
                static_cast<unsigned long>(type));
        return {};
      }
      const size_t bytes = required != 0 ? std::min<size_t>(required, buffer.size()) : buffer.size();
      return Narrow(reinterpret_cast<const wchar_t*>(buffer.data()), bytes / sizeof(wchar_t));
    }
    const int32_t error = LastError();
    if (error == ERROR_INSUFFICIENT_BUFFER && attempt == 0 && required > buffer.size() &&
        required <= kMaxPropertyBytes) {
      buffer.assign(required, 0);
      continue;
    }
    LogWarn("[VDD] SetupDiGetDevicePropertyW(%s, DriverVersion) failed (err=%ld)", subject.c_str(),
            static_cast<long>(error));
    return {};
  }
  return {};
}

// --- display configuration -------------------------------------------------

DisplayPath ToPath(const DISPLAYCONFIG_PATH_INFO& native) {
  DisplayPath path;
  path.source_adapter = ToLuid(native.sourceInfo.adapterId);
  path.source_id = native.sourceInfo.id;
  path.source_mode_index = native.sourceInfo.modeInfoIdx;
  path.target_adapter = ToLuid(native.targetInfo.adapterId);
  path.target_id = native.targetInfo.id;
  path.target_mode_index = native.targetInfo.modeInfoIdx;
  path.target_available = native.targetInfo.targetAvailable != FALSE;
  path.active = (native.flags & DISPLAYCONFIG_PATH_ACTIVE) != 0;
  path.native.resize(sizeof(native));
  std::memcpy(path.native.data(), &native, sizeof(native));
  return path;
}

// The record as the system gave it, with the spelled-out fields written
// back; false when `native` is neither empty nor one whole record.
bool ToNativePath(const DisplayPath& path, DISPLAYCONFIG_PATH_INFO* native) {
  *native = {};
  if (path.native.size() == sizeof(*native)) {
    std::memcpy(native, path.native.data(), sizeof(*native));
  } else if (!path.native.empty()) {
    return false;
  }
  native->sourceInfo.adapterId = ToNativeLuid(path.source_adapter);
  native->sourceInfo.id = path.source_id;
  native->sourceInfo.modeInfoIdx = path.source_mode_index;
  native->targetInfo.adapterId = ToNativeLuid(path.target_adapter);
  native->targetInfo.id = path.target_id;
  native->targetInfo.modeInfoIdx = path.target_mode_index;
  native->targetInfo.targetAvailable = path.target_available ? TRUE : FALSE;
  if (path.active) {
    native->flags |= DISPLAYCONFIG_PATH_ACTIVE;
  } else {
    native->flags &= ~static_cast<UINT32>(DISPLAYCONFIG_PATH_ACTIVE);
  }
  return true;
}

int32_t GetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER* header, const char* what, const Luid& adapter, uint32_t id) {
  const LONG error = DisplayConfigGetDeviceInfo(header);
  if (error != ERROR_SUCCESS) {
    LogWarn("[VDD] DisplayConfigGetDeviceInfo(%s, adapter %08lX:%08lX, id %u) failed (err=%ld)", what,
            static_cast<unsigned long>(static_cast<uint32_t>(adapter.high)), static_cast<unsigned long>(adapter.low),
            id, static_cast<long>(error));
  }
  return static_cast<int32_t>(error);
}

// --- GDI -------------------------------------------------------------------

DEVMODEW EmptyDevMode() {
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  return mode;
}

DisplaySettings ToSettings(const DEVMODEW& mode) {
  DisplaySettings settings;
  settings.fields = mode.dmFields;
  settings.x = mode.dmPosition.x;
  settings.y = mode.dmPosition.y;
  settings.width = mode.dmPelsWidth;
  settings.height = mode.dmPelsHeight;
  settings.refresh_hz = mode.dmDisplayFrequency;
  settings.orientation = mode.dmDisplayOrientation;
  return settings;
}

// --- registry --------------------------------------------------------------

constexpr DWORD kRegistryView = RRF_SUBKEY_WOW6464KEY;

void LogRegistryFailure(const std::string& key, const std::string& value, LONG error) {
  // An absent value is an answer (the driver's folder unset, the setup tool
  // never ran), asked after every release: not worth a warning each time.
  if (error == ERROR_FILE_NOT_FOUND) {
    LogDebug("[VDD] RegGetValueW(HKLM\\%s, %s): no such value", key.c_str(), value.c_str());
    return;
  }
  LogWarn("[VDD] RegGetValueW(HKLM\\%s, %s) failed (err=%ld)", key.c_str(), value.c_str(), static_cast<long>(error));
}

class WinVddSystem final : public IVddSystem {
 public:
  int32_t ListDisplayClassDevices(std::vector<DisplayClassDevice>* devices) override {
    devices->clear();
    DeviceInfoSet set(SetupDiGetClassDevsW(&GUID_DEVCLASS_DISPLAY, nullptr, nullptr, 0));
    if (!set.ok()) {
      const int32_t error = LastError();
      LogWarn("[VDD] SetupDiGetClassDevsW(display class) failed (err=%ld)", static_cast<long>(error));
      return error;
    }
    for (DWORD index = 0; index < kMaxEnumeratedItems; ++index) {
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof(data);
      if (!SetupDiEnumDeviceInfo(set.get(), index, &data)) {
        const int32_t error = LastError();
        if (error == ERROR_NO_MORE_ITEMS) return kErrorSuccess;
        LogWarn("[VDD] SetupDiEnumDeviceInfo(display class, %lu) failed (err=%ld)", static_cast<unsigned long>(index),
                static_cast<long>(error));
        return error;
      }
      DisplayClassDevice device;
      device.node = ReadNode(data.DevInst);
      const std::string& subject = device.node.instance_id;
      device.hardware_ids = ReadHardwareIds(set.get(), &data, subject);
      device.driver_version = ReadDriverVersion(set.get(), &data, subject);
      devices->push_back(std::move(device));
    }
    LogWarn("[VDD] SetupDiEnumDeviceInfo(display class) listed more than %lu devices; the rest are left out",
            static_cast<unsigned long>(kMaxEnumeratedItems));
    return kErrorSuccess;
  }

  int32_t ListChildNodes(const std::string& instance_id, std::vector<DeviceNode>* children) override {
    children->clear();
    DEVINST parent = 0;
    if (const int32_t error = LocateNode(instance_id, &parent); error != kErrorSuccess) return error;
    DEVINST child = 0;
    CONFIGRET cr = CM_Get_Child(&child, parent, 0);
    if (cr == CR_NO_SUCH_DEVNODE) return kErrorSuccess;  // no children
    if (cr != CR_SUCCESS) return LogCrFailure("CM_Get_Child", instance_id, cr);
    for (DWORD count = 0; count < kMaxEnumeratedItems; ++count) {
      children->push_back(ReadNode(child));
      DEVINST next = 0;
      cr = CM_Get_Sibling(&next, child, 0);
      if (cr == CR_NO_SUCH_DEVNODE) return kErrorSuccess;  // the last child
      if (cr != CR_SUCCESS) return LogCrFailure("CM_Get_Sibling", children->back().instance_id, cr);
      child = next;
    }
    LogWarn("[VDD] CM_Get_Sibling(%s) listed more than %lu children; the rest are left out", instance_id.c_str(),
            static_cast<unsigned long>(kMaxEnumeratedItems));
    return kErrorSuccess;
  }

  int32_t GetParentInstanceId(const std::string& instance_id, std::string* parent) override {
    parent->clear();
    DEVINST node = 0;
    if (const int32_t error = LocateNode(instance_id, &node); error != kErrorSuccess) return error;
    DEVINST parent_node = 0;
    const CONFIGRET cr = CM_Get_Parent(&parent_node, node, 0);
    if (cr != CR_SUCCESS) return LogCrFailure("CM_Get_Parent", instance_id, cr);
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    const CONFIGRET id_cr = CM_Get_Device_IDW(parent_node, id, MAX_DEVICE_ID_LEN + 1, 0);
    if (id_cr != CR_SUCCESS) return LogCrFailure("CM_Get_Device_IDW", "parent of " + instance_id, id_cr);
    *parent = Narrow(id, MAX_DEVICE_ID_LEN + 1);
    return kErrorSuccess;
  }

  DisplayConfigAnswer QueryDisplayConfig(bool active_only, DisplayConfig* config) override {
    config->paths.clear();
    config->modes.clear();
    DisplayConfigAnswer answer;
    const UINT32 flags = active_only ? QDC_ONLY_ACTIVE_PATHS : QDC_ALL_PATHS;
    const char* which = active_only ? "active paths" : "all paths";
    UINT32 path_count = 0;
    UINT32 mode_count = 0;
    const LONG sizes_error = GetDisplayConfigBufferSizes(flags, &path_count, &mode_count);
    if (sizes_error != ERROR_SUCCESS) {
      LogWarn("[VDD] GetDisplayConfigBufferSizes(%s) failed (err=%ld)", which, static_cast<long>(sizes_error));
      answer.sizes_error = static_cast<int32_t>(sizes_error);
      return answer;
    }
    if (path_count > kMaxEnumeratedItems || mode_count > kMaxEnumeratedItems) {
      LogWarn("[VDD] GetDisplayConfigBufferSizes(%s) asked for %u paths and %u modes; more than %lu", which,
              path_count, mode_count, static_cast<unsigned long>(kMaxEnumeratedItems));
      answer.sizes_error = ERROR_INVALID_DATA;
      return answer;
    }
    std::vector<DISPLAYCONFIG_PATH_INFO> paths(path_count);
    std::vector<DISPLAYCONFIG_MODE_INFO> modes(mode_count);
    const LONG query_error = ::QueryDisplayConfig(flags, &path_count, paths.data(), &mode_count, modes.data(), nullptr);
    if (query_error != ERROR_SUCCESS) {
      LogWarn("[VDD] QueryDisplayConfig(%s) failed (err=%ld)", which, static_cast<long>(query_error));
      answer.query_error = static_cast<int32_t>(query_error);
      return answer;
    }
    paths.resize(std::min<size_t>(path_count, paths.size()));
    modes.resize(std::min<size_t>(mode_count, modes.size()));
    for (const DISPLAYCONFIG_PATH_INFO& path : paths) config->paths.push_back(ToPath(path));
    for (const DISPLAYCONFIG_MODE_INFO& mode : modes) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(&mode);
      config->modes.emplace_back(bytes, bytes + sizeof(mode));
    }
    return answer;
  }

  int32_t SetDisplayConfig(const std::vector<DisplayPath>& paths, const std::vector<std::vector<uint8_t>>* modes,
                           uint32_t flags) override {
    std::vector<DISPLAYCONFIG_PATH_INFO> native_paths(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
      if (!ToNativePath(paths[i], &native_paths[i])) {
        LogWarn("[VDD] SetDisplayConfig(flags 0x%x) not called: path %zu carries %zu bytes, not a whole record", flags,
                i, paths[i].native.size());
        return kErrorInvalidParameter;
      }
    }
    std::vector<DISPLAYCONFIG_MODE_INFO> native_modes;
    if (modes != nullptr) {
      native_modes.resize(modes->size());
      for (size_t i = 0; i < modes->size(); ++i) {
        if ((*modes)[i].size() != sizeof(DISPLAYCONFIG_MODE_INFO)) {
          LogWarn("[VDD] SetDisplayConfig(flags 0x%x) not called: mode %zu carries %zu bytes, not a whole record",
                  flags, i, (*modes)[i].size());
          return kErrorInvalidParameter;
        }
        std::memcpy(&native_modes[i], (*modes)[i].data(), sizeof(DISPLAYCONFIG_MODE_INFO));
      }
    }
    const LONG error = ::SetDisplayConfig(static_cast<UINT32>(native_paths.size()),
                                          native_paths.empty() ? nullptr : native_paths.data(),
                                          static_cast<UINT32>(native_modes.size()),
                                          native_modes.empty() ? nullptr : native_modes.data(), flags);
    if (error != ERROR_SUCCESS) {
      LogWarn("[VDD] SetDisplayConfig(%zu paths, %zu modes, flags 0x%x) failed (err=%ld)", native_paths.size(),
              native_modes.size(), flags, static_cast<long>(error));
    }
    return static_cast<int32_t>(error);
  }

  int32_t GetAdapterDevicePath(const Luid& adapter, std::string* path) override {
    path->clear();
    DISPLAYCONFIG_ADAPTER_NAME name{};
    name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_ADAPTER_NAME;
    name.header.size = sizeof(name);
    name.header.adapterId = ToNativeLuid(adapter);
    const int32_t error = GetDeviceInfo(&name.header, "adapter name", adapter, 0);
    if (error == kErrorSuccess) *path = Narrow(name.adapterDevicePath, std::size(name.adapterDevicePath));
    return error;
  }

  int32_t GetTargetDevicePath(const Luid& adapter, uint32_t target_id, std::string* path) override {
    path->clear();
    DISPLAYCONFIG_TARGET_DEVICE_NAME name{};
    name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
    name.header.size = sizeof(name);
    name.header.adapterId = ToNativeLuid(adapter);
    name.header.id = target_id;
    const int32_t error = GetDeviceInfo(&name.header, "target name", adapter, target_id);
    if (error == kErrorSuccess) *path = Narrow(name.monitorDevicePath, std::size(name.monitorDevicePath));
    return error;
  }

  int32_t GetSourceGdiName(const Luid& adapter, uint32_t source_id, std::string* gdi_name) override {
    gdi_name->clear();
    DISPLAYCONFIG_SOURCE_DEVICE_NAME name{};
    name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
    name.header.size = sizeof(name);
    name.header.adapterId = ToNativeLuid(adapter);
    name.header.id = source_id;
    const int32_t error = GetDeviceInfo(&name.header, "source name", adapter, source_id);
    if (error == kErrorSuccess) *gdi_name = Narrow(name.viewGdiDeviceName, std::size(name.viewGdiDeviceName));
    return error;
  }

  std::vector<DesktopDevice> ListDesktopDevices() override {
    std::vector<DesktopDevice> devices;
    for (DWORD index = 0; index < kMaxEnumeratedItems; ++index) {
      DISPLAY_DEVICEW device{};
      device.cb = sizeof(device);
      if (!EnumDisplayDevicesW(nullptr, index, &device, 0)) {
        // The end of the list; a list without any device is worth a line.
        if (index == 0) LogWarn("[VDD] EnumDisplayDevicesW listed no display device");
        return devices;
      }
      DesktopDevice out;
      out.name = Narrow(device.DeviceName, std::size(device.DeviceName));
      out.attached_to_desktop = (device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
      out.primary = (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
      devices.push_back(std::move(out));
    }
    return devices;
  }

  bool GetCurrentSettings(const std::string& device, DisplaySettings* settings) override {
    *settings = {};
    const std::wstring name = ToWide(device);
    DEVMODEW mode = EmptyDevMode();
    if (!EnumDisplaySettingsW(name.c_str(), ENUM_CURRENT_SETTINGS, &mode)) {
      LogWarn("[VDD] EnumDisplaySettingsW(%s, current) failed (err=%ld)", device.c_str(),
              static_cast<long>(LastError()));
      return false;
    }
    *settings = ToSettings(mode);
    return true;
  }

  std::vector<DisplaySettings> ListModes(const std::string& device, bool rotated) override {
    std::vector<DisplaySettings> modes;
    const std::wstring name = ToWide(device);
    for (DWORD index = 0; index < kMaxEnumeratedItems; ++index) {
      DEVMODEW mode = EmptyDevMode();
      const BOOL listed = rotated ? EnumDisplaySettingsExW(name.c_str(), index, &mode, EDS_ROTATEDMODE)
                                  : EnumDisplaySettingsW(name.c_str(), index, &mode);
      if (!listed) {
        // The end of the list; a device without any mode is worth a line.
        if (index == 0) {
          LogWarn("[VDD] %s(%s) listed no mode (err=%ld)", rotated ? "EnumDisplaySettingsExW" : "EnumDisplaySettingsW",
                  device.c_str(), static_cast<long>(LastError()));
        }
        return modes;
      }
      modes.push_back(ToSettings(mode));
    }
    LogWarn("[VDD] EnumDisplaySettings(%s) listed more than %lu modes; the rest are left out", device.c_str(),
            static_cast<unsigned long>(kMaxEnumeratedItems));
    return modes;
  }

  int32_t ChangeDisplaySettings(const std::string* device, const DisplaySettings* settings, uint32_t flags) override {
    std::wstring name;
    if (device != nullptr) name = ToWide(*device);
    DEVMODEW mode = EmptyDevMode();
    if (settings != nullptr) {
      mode.dmFields = settings->fields;
      mode.dmPosition.x = settings->x;
      mode.dmPosition.y = settings->y;
      mode.dmPelsWidth = settings->width;
      mode.dmPelsHeight = settings->height;
      mode.dmDisplayFrequency = settings->refresh_hz;
      mode.dmDisplayOrientation = settings->orientation;
    }
    const LONG result = ChangeDisplaySettingsExW(device != nullptr ? name.c_str() : nullptr,
                                                 settings != nullptr ? &mode : nullptr, nullptr, flags, nullptr);
    if (result != DISP_CHANGE_SUCCESSFUL) {
      if (settings != nullptr) {
        LogWarn("[VDD] ChangeDisplaySettingsExW(%s, %ux%u@%u at %d,%d orientation %u, fields 0x%x, flags 0x%x) "
                "answered %ld",
                device != nullptr ? device->c_str() : "-", settings->width, settings->height, settings->refresh_hz,
                settings->x, settings->y, settings->orientation, settings->fields, flags, static_cast<long>(result));
      } else {
        LogWarn("[VDD] ChangeDisplaySettingsExW(%s, no settings, flags 0x%x) answered %ld",
                device != nullptr ? device->c_str() : "-", flags, static_cast<long>(result));
      }
    }
    return static_cast<int32_t>(result);
  }

  int32_t ReadRegistryString(const std::string& key, const std::string& value, std::string* text) override {
    text->clear();
    const std::wstring wide_key = ToWide(key);
    const std::wstring wide_value = ToWide(value);
    constexpr DWORD kFlags = RRF_RT_REG_SZ | kRegistryView;
    constexpr DWORD kMaxBytes = (kMaxRegistryStringChars + 1) * sizeof(wchar_t);
    for (int attempt = 0; attempt < 2; ++attempt) {
      DWORD bytes = 0;
      LONG error = RegGetValueW(HKEY_LOCAL_MACHINE, wide_key.c_str(), wide_value.c_str(), kFlags, nullptr, nullptr,
                                &bytes);
      if (error != ERROR_SUCCESS) {
        LogRegistryFailure(key, value, error);
        return static_cast<int32_t>(error);
      }
      if (bytes > kMaxBytes) {
        LogWarn("[VDD] RegGetValueW(HKLM\\%s, %s) holds %lu bytes; more than %lu characters", key.c_str(),
                value.c_str(), static_cast<unsigned long>(bytes), static_cast<unsigned long>(kMaxRegistryStringChars));
        return kErrorMoreData;
      }
      // One character more than asked for, in case the stored text lacks its
      // terminator.
      std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
      DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
      error = RegGetValueW(HKEY_LOCAL_MACHINE, wide_key.c_str(), wide_value.c_str(), kFlags, nullptr, buffer.data(),
                           &size);
      if (error == ERROR_MORE_DATA && attempt == 0) continue;  // the value grew in between
      if (error != ERROR_SUCCESS) {
        LogRegistryFailure(key, value, error);
        return static_cast<int32_t>(error);
      }
      const size_t chars = std::min<size_t>(size / sizeof(wchar_t), buffer.size());
      const size_t length = wcsnlen(buffer.data(), chars);
      if (length > kMaxRegistryStringChars) {
        LogWarn("[VDD] RegGetValueW(HKLM\\%s, %s) holds more than %lu characters", key.c_str(), value.c_str(),
                static_cast<unsigned long>(kMaxRegistryStringChars));
        return kErrorMoreData;
      }
      *text = FromWide(std::wstring_view(buffer.data(), length));
      return kErrorSuccess;
    }
    LogRegistryFailure(key, value, ERROR_MORE_DATA);
    return kErrorMoreData;
  }

  int32_t ReadRegistryDword(const std::string& key, const std::string& value, uint32_t* number) override {
    *number = 0;
    const std::wstring wide_key = ToWide(key);
    const std::wstring wide_value = ToWide(value);
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LONG error = RegGetValueW(HKEY_LOCAL_MACHINE, wide_key.c_str(), wide_value.c_str(),
                                    RRF_RT_REG_DWORD | kRegistryView, nullptr, &data, &size);
    if (error != ERROR_SUCCESS) {
      LogRegistryFailure(key, value, error);
      return static_cast<int32_t>(error);
    }
    *number = static_cast<uint32_t>(data);
    return kErrorSuccess;
  }

  uint64_t UptimeMs() override { return GetTickCount64(); }
};

}  // namespace

std::unique_ptr<IVddSystem> MakePlatformVddSystem() { return std::make_unique<WinVddSystem>(); }

// Windows enumerates its own desktop.
void UseSimulatedDesktopWhenPresent() {}

}  // namespace orvane::vdd
