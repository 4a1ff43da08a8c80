// The setup tool's Windows calls: SetupAPI and the configuration manager
// for the display-class devices, newdev for the driver, the process token,
// the registry (64-bit view) and the file calls. Each call is made, checked
// and translated; the commands decide what to do with the answers.

#include "setup_tool/setup_system.h"

#include <windows.h>

// The class GUID and property keys of the headers below are defined in this
// file.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <cwchar>

#include "setup_tool/setup_text_win.h"

namespace orvane::vdd_setup {
namespace {

// MinGW's winerror.h lacks this one.
#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND && kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
              kErrorAccessDenied == ERROR_ACCESS_DENIED && kErrorGenFailure == ERROR_GEN_FAILURE &&
              kErrorInvalidParameter == ERROR_INVALID_PARAMETER && kErrorBusy == ERROR_BUSY &&
              kErrorStoppedOnSymlink == ERROR_STOPPED_ON_SYMLINK);
static_assert(kNodeStarted == DN_STARTED && kNodeHasProblem == DN_HAS_PROBLEM && kProblemDisabled == CM_PROB_DISABLED);

constexpr wchar_t kRunMutexName[] = L"Global\\OrvaneVddSetup";
constexpr wchar_t kDriverSettingsKey[] = L"SOFTWARE\\Telvenor\\VirtualDisplayDriver";
constexpr wchar_t kDriverFolderValue[] = L"VDDPATH";
constexpr wchar_t kOrvaneKey[] = L"SOFTWARE\\Orvane Display";
constexpr wchar_t kFirstMonitorValue[] = L"VddFirstOrvaneMonitor";
// The hardware id as a multi-string: the id and two terminating zeros.
constexpr wchar_t kHardwareIdMultiString[] = L"Root\\TvrVDD\0";
constexpr wchar_t kHardwareId[] = L"Root\\TvrVDD";
constexpr wchar_t kDeviceName[] = L"Display";
constexpr DWORD kHardwareIdBufferBytes = 2044;
constexpr DWORD kInfPathBufferBytes = 520;
constexpr DWORD kFolderBufferBytes = 520;
constexpr DWORD kFullPathChars = MAX_PATH;
constexpr DWORD kMaxEnumeratedItems = 4096;
constexpr DWORD kReadChunkBytes = 1 << 20;

uint32_t LastError() { return static_cast<uint32_t>(GetLastError()); }

// A call that returned failure, with whatever GetLastError says (maybe 0).
SysResult FailedCall() { return SysResult::Failure(LastError()); }
SysResult Checked(BOOL ok) { return ok ? SysResult::Success() : FailedCall(); }
// Registry calls answer their error themselves.
SysResult RegistryResult(LSTATUS status) {
  return status == ERROR_SUCCESS ? SysResult::Success() : SysResult::Failure(static_cast<uint32_t>(status));
}

// CM_MapCrToWin32Err is neither declared by MinGW nor exported by every
// cfgmgr32.dll; without it a failure reads as ERROR_GEN_FAILURE.
uint32_t CrError(CONFIGRET cr) {
  using MapFn = DWORD(WINAPI*)(CONFIGRET, DWORD);
  static const MapFn map = [] {
    HMODULE module = LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return static_cast<MapFn>(nullptr);
    return reinterpret_cast<MapFn>(reinterpret_cast<void*>(GetProcAddress(module, "CM_MapCrToWin32Err")));
  }();
  if (cr == CR_SUCCESS) return ERROR_SUCCESS;
  return map != nullptr ? static_cast<uint32_t>(map(cr, ERROR_GEN_FAILURE)) : ERROR_GEN_FAILURE;
}

SysResult CrFailure(CONFIGRET cr) { return SysResult::Failure(CrError(cr)); }

// DiUninstallDevice is in newdev.dll but not in MinGW's libnewdev.a.
using DiUninstallDeviceFn = BOOL(WINAPI*)(HWND, HDEVINFO, PSP_DEVINFO_DATA, DWORD, PBOOL);

DiUninstallDeviceFn LookUpDiUninstallDevice() {
  HMODULE module = LoadLibraryExW(L"newdev.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<DiUninstallDeviceFn>(reinterpret_cast<void*>(GetProcAddress(module, "DiUninstallDevice")));
}

std::wstring WideWithin(const BYTE* bytes, size_t byte_count) {
  const wchar_t* text = reinterpret_cast<const wchar_t*>(bytes);
  return std::wstring(text, wcsnlen(text, byte_count / sizeof(wchar_t)));
}

std::string NodeInstanceId(DEVINST node, CONFIGRET* failure) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  const CONFIGRET cr = CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN + 1, 0);
  if (failure != nullptr) *failure = cr;
  if (cr != CR_SUCCESS) return {};
  return WideToUtf8(std::wstring_view(id, wcsnlen(id, MAX_DEVICE_ID_LEN + 1)));
}

// The folder of a path, for its reparse-point check ("C:\" for "C:\x").
std::wstring ParentFolder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L".";
  std::wstring folder = path.substr(0, slash);
  if (folder.empty() || folder.back() == L':') folder += L'\\';
  return folder;
}

bool FolderIsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ParentFolder(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool Missing(uint32_t error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What an open handle names (opened with FILE_FLAG_OPEN_REPARSE_POINT, so a
// link is the link itself).
bool HandleFacts(HANDLE file, FileFacts* facts, uint32_t* error) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    *error = LastError();
    return false;
  }
  facts->exists = true;
  facts->link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  facts->regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && GetFileType(file) == FILE_TYPE_DISK;
  facts->link_count = static_cast<uint32_t>(info.nNumberOfLinks);
  return true;
}

// Facts without a handle: the name's own attributes (not followed).
FileFacts AttributeFacts(const std::wstring& path) {
  FileFacts facts;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    facts.exists = !Missing(LastError());
    return facts;
  }
  facts.exists = true;
  facts.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  facts.regular = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  facts.link_count = 1;
  return facts;
}

class DeviceInfoList {
 public:
  DeviceInfoList() = default;
  ~DeviceInfoList() { Reset(INVALID_HANDLE_VALUE); }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;
  void Reset(HDEVINFO set) {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    set_ = set;
  }
  bool ok() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

class WinSetupSystem final : public ISetupSystem {
 public:
  explicit WinSetupSystem(DiagnosticSink diagnostics) : diagnostics_(diagnostics) {}

  ~WinSetupSystem() override {
    if (run_mutex_ != nullptr) {
      ReleaseMutex(run_mutex_);
      CloseHandle(run_mutex_);
    }
  }

  // --- devices ---

  SysResult ListDisplayDevices(bool present_only, std::vector<ClassDevice>* devices) override {
    devices->clear();
    listed_.clear();
    listing_.Reset(SetupDiGetClassDevsW(&GUID_DEVCLASS_DISPLAY, nullptr, nullptr, present_only ? DIGCF_PRESENT : 0));
    if (!listing_.ok()) return FailedCall();
    for (DWORD index = 0; index < kMaxEnumeratedItems; ++index) {
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof(data);
      if (!SetupDiEnumDeviceInfo(listing_.get(), index, &data)) {
        const uint32_t error = LastError();
        if (error == ERROR_NO_MORE_ITEMS) return SysResult::Success();
        listed_.clear();
        devices->clear();
        return SysResult::Failure(error);
      }
      ClassDevice device;
      CONFIGRET id_failure = CR_SUCCESS;
      device.instance_id = NodeInstanceId(data.DevInst, &id_failure);
      if (id_failure != CR_SUCCESS) Note("CM_Get_Device_IDW", "device " + std::to_string(index), CrError(id_failure));
      const std::string& subject = device.instance_id;
      device.hardware_ids = HardwareIds(&data, subject);
      device.inf_path = InfPath(&data, subject);
      ULONG status = 0;
      ULONG problem = 0;
      device.present = CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0) == CR_SUCCESS;
      listed_.push_back(data);
      devices->push_back(std::move(device));
    }
    Note("SetupDiEnumDeviceInfo", "display class", ERROR_MORE_DATA);
    return SysResult::Success();
  }

  SysResult ReadNodeStatus(size_t index, NodeStatus* status) override {
    if (index >= listed_.size()) return SysResult::Failure(ERROR_INVALID_PARAMETER);
    ULONG node_status = 0;
    ULONG problem = 0;
    const CONFIGRET cr = CM_Get_DevNode_Status(&node_status, &problem, listed_[index].DevInst, 0);
    if (cr != CR_SUCCESS) return CrFailure(cr);
    status->status = static_cast<uint32_t>(node_status);
    status->problem = static_cast<uint32_t>(problem);
    return SysResult::Success();
  }

  SysResult ListChildNodes(size_t index, std::vector<ChildNode>* children) override {
    children->clear();
    if (index >= listed_.size()) return SysResult::Failure(ERROR_INVALID_PARAMETER);
    DEVINST child = 0;
    CONFIGRET cr = CM_Get_Child(&child, listed_[index].DevInst, 0);
    if (cr == CR_NO_SUCH_DEVNODE) return SysResult::Success();
    if (cr != CR_SUCCESS) return CrFailure(cr);
    for (DWORD count = 0; count < kMaxEnumeratedItems; ++count) {
      ChildNode node;
      node.instance_id = NodeInstanceId(child, nullptr);
      ULONG status = 0;
      ULONG problem = 0;
      node.status_known = CM_Get_DevNode_Status(&status, &problem, child, 0) == CR_SUCCESS;
      children->push_back(std::move(node));
      DEVINST next = 0;
      cr = CM_Get_Sibling(&next, child, 0);
      if (cr == CR_NO_SUCH_DEVNODE) return SysResult::Success();
      if (cr != CR_SUCCESS) return CrFailure(cr);
      child = next;
    }
    return SysResult::Success();
  }

  RestartAnswer RestartDevice(size_t index) override {
    RestartAnswer answer;
    if (index >= listed_.size()) {
      answer.result = SysResult::Failure(ERROR_INVALID_PARAMETER);
      return answer;
    }
    SP_DEVINFO_DATA* data = &listed_[index];
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(listing_.get(), data, &params.ClassInstallHeader, sizeof(params)) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, listing_.get(), data)) {
      answer.result = FailedCall();
      return answer;
    }
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof(install);
    if (!SetupDiGetDeviceInstallParamsW(listing_.get(), data, &install)) {
      Note("SetupDiGetDeviceInstallParamsW", "device " + std::to_string(index), LastError());
      return answer;
    }
    answer.needs_restart = (install.Flags & DI_NEEDRESTART) != 0;
    answer.needs_reboot = (install.Flags & DI_NEEDREBOOT) != 0;
    return answer;
  }

  SysResult UninstallDevice(size_t index, bool* needs_reboot) override {
    *needs_reboot = false;
    if (index >= listed_.size()) return SysResult::Failure(ERROR_INVALID_PARAMETER);
    static const DiUninstallDeviceFn uninstall = LookUpDiUninstallDevice();
    if (uninstall == nullptr) return SysResult::Failure(ERROR_PROC_NOT_FOUND);
    BOOL reboot = FALSE;
    if (!uninstall(nullptr, listing_.get(), &listed_[index], 0, &reboot)) return FailedCall();
    *needs_reboot = reboot != FALSE;
    return SysResult::Success();
  }

  CreateAnswer CreateDevice() override {
    created_.Reset(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_DISPLAY, nullptr));
    if (!created_.ok()) return {CreateStep::kList, LastError()};
    created_data_ = SP_DEVINFO_DATA{};
    created_data_.cbSize = sizeof(created_data_);
    if (!SetupDiCreateDeviceInfoW(created_.get(), kDeviceName, &GUID_DEVCLASS_DISPLAY, nullptr, nullptr,
                                  DICD_GENERATE_ID, &created_data_)) {
      return Failed(CreateStep::kDevice);
    }
    if (!SetupDiSetDeviceRegistryPropertyW(created_.get(), &created_data_, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kHardwareIdMultiString),
                                           sizeof(kHardwareIdMultiString))) {
      return Failed(CreateStep::kHardwareId);
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, created_.get(), &created_data_)) {
      return Failed(CreateStep::kRegister);
    }
    registered_ = true;
    return {};
  }

  SysResult RemoveCreatedDevice() override {
    if (!registered_) return SysResult::Failure(ERROR_INVALID_PARAMETER);
    registered_ = false;
    const SysResult removed = Checked(SetupDiCallClassInstaller(DIF_REMOVE, created_.get(), &created_data_));
    created_.Reset(INVALID_HANDLE_VALUE);
    return removed;
  }

  SysResult UpdateDriver(const std::string& full_inf_path, bool* needs_reboot) override {
    *needs_reboot = false;
    const std::wstring inf = Utf8ToWide(full_inf_path);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
      return FailedCall();
    }
    *needs_reboot = reboot != FALSE;
    return SysResult::Success();
  }

  SysResult UninstallOemInf(const std::string& inf_name) override {
    const std::wstring name = Utf8ToWide(inf_name);
    return Checked(SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr));
  }

  // --- process ---

  bool IsElevated() override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      Note("OpenProcessToken", "TOKEN_QUERY", LastError());
      return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool read = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) != FALSE;
    const uint32_t error = read ? ERROR_SUCCESS : LastError();
    CloseHandle(token);
    if (!read) {
      Note("GetTokenInformation", "TokenElevation", error);
      return false;
    }
    return elevation.TokenIsElevated != 0;
  }

  RunLock AcquireRunLock(uint32_t* error) override {
    if (run_mutex_ != nullptr) return RunLock::kHeld;
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, kRunMutexName);
    if (mutex == nullptr) {
      *error = LastError();
      return RunLock::kFailed;
    }
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      run_mutex_ = mutex;
      return RunLock::kHeld;
    }
    const uint32_t wait_error = waited == WAIT_TIMEOUT ? ERROR_SUCCESS : LastError();
    CloseHandle(mutex);
    if (waited == WAIT_TIMEOUT) return RunLock::kBusy;
    *error = wait_error;
    return RunLock::kFailed;
  }

  // --- registry ---

  std::string SettingsFolder() override {
    BYTE buffer[kFolderBufferBytes] = {};
    DWORD size = sizeof(buffer);
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kDriverSettingsKey, kDriverFolderValue,
                                        RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buffer, &size);
    if (status != ERROR_SUCCESS) {
      if (!Missing(static_cast<uint32_t>(status))) Note("RegGetValueW", "VDDPATH", static_cast<uint32_t>(status));
      return {};
    }
    return WideToUtf8(WideWithin(buffer, std::min<size_t>(size, sizeof(buffer))));
  }

  SysResult ReadFirstOrvaneMonitor(uint32_t* value) override {
    DWORD number = 0;
    DWORD size = sizeof(number);
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kOrvaneKey, kFirstMonitorValue,
                                        RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &number, &size);
    if (status != ERROR_SUCCESS) return RegistryResult(status);
    *value = static_cast<uint32_t>(number);
    return SysResult::Success();
  }

  SysResult WriteFirstOrvaneMonitor(uint32_t value) override {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOrvaneKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
      Note("RegCreateKeyExW", "SOFTWARE\\Orvane Display", static_cast<uint32_t>(status));
      return RegistryResult(status);
    }
    const DWORD number = value;
    status = RegSetValueExW(key, kFirstMonitorValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                            sizeof(number));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) Note("RegSetValueExW", "VddFirstOrvaneMonitor", static_cast<uint32_t>(status));
    return RegistryResult(status);
  }

  // --- files ---

  bool FullPath(const std::string& path, std::string* full) override {
    const std::wstring wide = Utf8ToWide(path);
    if (wide.empty()) return false;
    wchar_t buffer[kFullPathChars] = {};
    const DWORD length = GetFullPathNameW(wide.c_str(), kFullPathChars, buffer, nullptr);
    if (length == 0 || length >= kFullPathChars) return false;
    *full = WideToUtf8(std::wstring_view(buffer, length));
    return true;
  }

  bool FileExists(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  FileFacts ProbeFile(const std::string& path) override {
    const std::wstring wide = Utf8ToWide(path);
    FileFacts facts;
    const HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      facts = AttributeFacts(wide);
    } else {
      uint32_t error = ERROR_SUCCESS;
      if (!HandleFacts(file, &facts, &error)) facts = AttributeFacts(wide);
      CloseHandle(file);
    }
    facts.folder_link = FolderIsLink(wide);
    return facts;
  }

  FileRead ReadWholeFile(const std::string& path, size_t max_bytes) override {
    const std::wstring wide = Utf8ToWide(path);
    FileRead read;
    read.facts.folder_link = FolderIsLink(wide);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      read.error = LastError();
      read.status = Missing(read.error) ? ReadStatus::kAbsent : ReadStatus::kUnreadable;
      if (read.status != ReadStatus::kAbsent) {
        const bool folder_link = read.facts.folder_link;
        read.facts = AttributeFacts(wide);
        read.facts.folder_link = folder_link;
      }
      return read;
    }
    read.status = ReadOpened(file, max_bytes, &read);
    CloseHandle(file);
    return read;
  }

  SysResult WriteNewFile(const std::string& path, std::string_view bytes) override {
    const HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FailedCall();
    SysResult result;
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kReadChunkBytes));
      DWORD written = 0;
      if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
        result = FailedCall();
        break;
      }
      if (written == 0) {
        result = SysResult::Failure(ERROR_WRITE_FAULT);
        break;
      }
      done += written;
    }
    if (result.ok) result = Checked(FlushFileBuffers(file));
    const SysResult closed = Checked(CloseHandle(file));
    return result.ok ? closed : result;
  }

  SysResult MoveReplacing(const std::string& from, const std::string& to) override {
    return Checked(MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  }

  SysResult RemoveFile(const std::string& path) override {
    return Checked(DeleteFileW(Utf8ToWide(path).c_str()));
  }

  // --- time ---

  uint64_t TickMs() override { return GetTickCount64(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }

 private:
  CreateAnswer Failed(CreateStep step) {
    const uint32_t error = LastError();
    created_.Reset(INVALID_HANDLE_VALUE);
    return {step, error};
  }

  std::vector<std::string> HardwareIds(SP_DEVINFO_DATA* data, const std::string& subject) {
    BYTE buffer[kHardwareIdBufferBytes] = {};
    DWORD type = 0;
    DWORD returned = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(listing_.get(), data, SPDRP_HARDWAREID, &type, buffer, sizeof(buffer),
                                           &returned)) {
      const uint32_t error = LastError();
      if (error != ERROR_INVALID_DATA) Note("SetupDiGetDeviceRegistryPropertyW(SPDRP_HARDWAREID)", subject, error);
      return {};
    }
    if (type != REG_MULTI_SZ && type != REG_SZ) return {};
    // Only the bytes the call reports are read; an id running into the end
    // of them ends there.
    const size_t units = std::min<size_t>(returned, sizeof(buffer)) / sizeof(wchar_t);
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer);
    std::vector<std::string> ids;
    size_t start = 0;
    while (start < units) {
      size_t end = start;
      while (end < units && text[end] != L'\0') ++end;
      if (end == start) break;  // the empty string that ends the list
      ids.push_back(WideToUtf8(std::wstring_view(text + start, end - start)));
      start = end + 1;
    }
    return ids;
  }

  std::string InfPath(SP_DEVINFO_DATA* data, const std::string& subject) {
    BYTE buffer[kInfPathBufferBytes] = {};
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    DWORD returned = 0;
    if (!SetupDiGetDevicePropertyW(listing_.get(), data, &DEVPKEY_Device_DriverInfPath, &type, buffer,
                                   sizeof(buffer), &returned, 0)) {
      const uint32_t error = LastError();
      if (error != ERROR_NOT_FOUND) Note("SetupDiGetDevicePropertyW(DriverInfPath)", subject, error);
      return {};
    }
    if (type != DEVPROP_TYPE_STRING) return {};
    return WideToUtf8(WideWithin(buffer, std::min<size_t>(returned, sizeof(buffer))));
  }

  ReadStatus ReadOpened(HANDLE file, size_t max_bytes, FileRead* read) {
    const bool folder_link = read->facts.folder_link;
    if (!HandleFacts(file, &read->facts, &read->error)) return ReadStatus::kUnreadable;
    read->facts.folder_link = folder_link;
    if (!read->facts.regular) return ReadStatus::kUnreadable;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
      read->error = LastError();
      return ReadStatus::kUnreadable;
    }
    if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) >= max_bytes) return ReadStatus::kTooLarge;
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < text.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, kReadChunkBytes));
      DWORD got = 0;
      if (!ReadFile(file, text.data() + done, chunk, &got, nullptr)) {
        read->error = LastError();
        return ReadStatus::kUnreadable;
      }
      if (got == 0) return ReadStatus::kUnreadable;  // a short read
      done += got;
    }
    read->text = std::move(text);
    return ReadStatus::kOk;
  }

  void Note(const char* call, const std::string& subject, uint32_t error) {
    if (diagnostics_ == nullptr) return;
    diagnostics_(std::string(call) + " on " + subject + " failed (err=" + std::to_string(error) + ")\n");
  }

  const DiagnosticSink diagnostics_;
  DeviceInfoList listing_;
  std::vector<SP_DEVINFO_DATA> listed_;
  DeviceInfoList created_;
  SP_DEVINFO_DATA created_data_{};
  bool registered_ = false;
  HANDLE run_mutex_ = nullptr;
};

}  // namespace

std::unique_ptr<ISetupSystem> MakePlatformSetupSystem(DiagnosticSink diagnostics) {
  return std::make_unique<WinSetupSystem>(diagnostics);
}

}  // namespace orvane::vdd_setup
