#pragma once
// What the setup tool asks of the system: the display-class devices and
// their nodes, creating, installing, restarting and removing the Virtual
// Display Driver's device, the process's elevation, two registry values, the
// driver's settings files, a single-run lock and the clock. One thin
// implementation per platform (setup_system_win.cpp: SetupAPI, the
// configuration manager, newdev, the token, the registry and the file calls;
// setup_system_linux.cpp: the simulated driver world named by
// ORVANE_SIM_VDD). Every decision (which devices are the driver's, what a
// refused file is, how long to wait) is made by the commands in
// setup_commands.cpp.
//
// Text is UTF-8 on this side of the seam. A failed call answers a Windows
// error number (winerror.h); the Linux side translates its own errors into
// those.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::vdd_setup {

// The Windows error numbers the tool deals in.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorStoppedOnSymlink = 681;

// Configuration-manager node status bits and the "disabled" problem.
inline constexpr uint32_t kNodeStarted = 0x8;
inline constexpr uint32_t kNodeHasProblem = 0x400;
inline constexpr uint32_t kProblemDisabled = 22;

// How a call went. A failed call carries the system's error, which may be
// 0 (a call that failed without saying why): failure is the flag, never the
// number.
struct SysResult {
  bool ok = true;
  uint32_t error = kErrorSuccess;
  static SysResult Success() { return {}; }
  static SysResult Failure(uint32_t error) { return {false, error}; }
};

// One device of a display-class listing.
struct ClassDevice {
  std::vector<std::string> hardware_ids;
  std::string instance_id;  // empty when it cannot be read
  std::string inf_path;     // the driver's INF file name; empty when unknown
  bool present = false;     // its node status could be read
};

struct NodeStatus {
  uint32_t status = 0;
  uint32_t problem = 0;
};

struct ChildNode {
  std::string instance_id;
  bool status_known = false;
};

// Which step of creating the device failed.
enum class CreateStep { kDone, kList, kDevice, kHardwareId, kRegister };

struct CreateAnswer {
  CreateStep failed_step = CreateStep::kDone;
  uint32_t error = kErrorSuccess;
};

struct RestartAnswer {
  SysResult result;             // of the property change
  bool needs_restart = false;      // the device's install parameters after it
  bool needs_reboot = false;
};

// What is known about a file name without following links.
struct FileFacts {
  bool exists = false;
  bool link = false;         // a symbolic link, junction or other reparse point
  bool regular = false;      // an ordinary file (not a folder or device)
  uint32_t link_count = 0;   // names the file has (hard links)
  bool folder_link = false;  // the folder holding it is a link or junction
};

enum class ReadStatus { kOk, kAbsent, kUnreadable, kTooLarge };

struct FileRead {
  ReadStatus status = ReadStatus::kUnreadable;
  FileFacts facts;
  std::string text;  // the whole file as bytes, on kOk
  uint32_t error = kErrorSuccess;
};

enum class RunLock { kHeld, kBusy, kFailed };

class ISetupSystem {
 public:
  virtual ~ISetupSystem() = default;

  // --- devices ---
  // Lists the display-class devices, all of them or only the present ones.
  // The listing stays the current one until the next call; the device calls
  // below name its entries by their index.
  virtual SysResult ListDisplayDevices(bool present_only, std::vector<ClassDevice>* devices) = 0;
  virtual SysResult ReadNodeStatus(size_t index, NodeStatus* status) = 0;
  virtual SysResult ListChildNodes(size_t index, std::vector<ChildNode>* children) = 0;
  // A property change (stop and start) of the device.
  virtual RestartAnswer RestartDevice(size_t index) = 0;
  // Removes the device and its driver from the system.
  virtual SysResult UninstallDevice(size_t index, bool* needs_reboot) = 0;

  // Creates and registers a root device with the driver's hardware id; it
  // stays the created device until RemoveCreatedDevice or the end of the run.
  virtual CreateAnswer CreateDevice() = 0;
  virtual SysResult RemoveCreatedDevice() = 0;
  // Installs the INF's driver on every device with the driver's hardware id.
  virtual SysResult UpdateDriver(const std::string& full_inf_path, bool* needs_reboot) = 0;
  // Deletes a driver package from the driver store ("oemN.inf").
  virtual SysResult UninstallOemInf(const std::string& inf_name) = 0;

  // --- process ---
  // False when not elevated or when it cannot be told.
  virtual bool IsElevated() = 0;
  // The single-run lock of the commands that change something, held until
  // this object goes.
  virtual RunLock AcquireRunLock(uint32_t* error) = 0;

  // --- registry ---
  // The driver's settings folder (VDDPATH); empty when absent or unreadable.
  virtual std::string SettingsFolder() = 0;
  virtual SysResult ReadFirstOrvaneMonitor(uint32_t* value) = 0;
  virtual SysResult WriteFirstOrvaneMonitor(uint32_t value) = 0;

  // --- files ---
  // The full path of a path as typed; false when it cannot be formed.
  virtual bool FullPath(const std::string& path, std::string* full) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // Facts about the name itself (links are not followed).
  virtual FileFacts ProbeFile(const std::string& path) = 0;
  // Opens the name without following a link and reads it whole when it is
  // smaller than max_bytes; the facts describe what was opened.
  virtual FileRead ReadWholeFile(const std::string& path, size_t max_bytes) = 0;
  // Creates the file (it must not exist yet), writes every byte and flushes
  // it to the disk.
  virtual SysResult WriteNewFile(const std::string& path, std::string_view bytes) = 0;
  // Moves `from` over `to`, replacing it, through to the disk.
  virtual SysResult MoveReplacing(const std::string& from, const std::string& to) = 0;
  // A link is deleted, not what it points to.
  virtual SysResult RemoveFile(const std::string& path) = 0;

  // --- time ---
  virtual uint64_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The platform's system; `diagnostics` receives a line (ending in "\n")
// for a failed call that the commands do not report themselves.
using DiagnosticSink = void (*)(std::string_view line);
std::unique_ptr<ISetupSystem> MakePlatformSetupSystem(DiagnosticSink diagnostics);

}  // namespace orvane::vdd_setup
