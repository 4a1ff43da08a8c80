#pragma once
// OrvaneVddSetup's commands: the command line, the usage and elevation
// messages, status, install, remove, restart, monitors and repair, over the
// platform's ISetupSystem. Portable; every wait runs on the system's clock.
//
// Exit codes are the contract with the host's apply controller: 0 done, 1 no
// present device, 2 a device exists / settings not readable, 3 INF not
// found, 4 a device did not start again, 5 needs administrator rights, 13 no
// monitor count to raise, 29 the earlier settings could not be saved
// (nothing changed), 87 wrong command line, 170 another run is changing the
// driver, 681 a settings file is a link (refused), 3010 completes after a
// Windows restart, 3020 rolled back to the earlier settings, 3021 no monitor
// and no earlier settings bring one back. A failed step exits with its
// Windows error, or with 31 when that error is 0 or one of these codes (the
// error stays in its standard-error line).
//
// Settings files are written through path + ".orvane-setup-tmp", flushed and
// moved over the target, so a failure leaves the target as it was. A file
// that is a link, has more than one name, or lies in a linked folder is
// never read or written: the folder is writable by every user, and the tool
// runs as an administrator.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "setup_tool/setup_system.h"

namespace orvane::vdd_setup {

// Exit codes of the tool's own (see above).
inline constexpr uint32_t kExitDone = 0;
inline constexpr uint32_t kExitNotInstalled = 1;
inline constexpr uint32_t kExitExistsOrUnreadable = 2;
inline constexpr uint32_t kExitInfNotFound = 3;
inline constexpr uint32_t kExitNotStarted = 4;
inline constexpr uint32_t kExitNotElevated = 5;
inline constexpr uint32_t kExitNoCountToRaise = 13;
inline constexpr uint32_t kExitPreviousNotSaved = 29;
inline constexpr uint32_t kExitUsage = 87;
inline constexpr uint32_t kExitBusy = kErrorBusy;
inline constexpr uint32_t kExitLinkRefused = kErrorStoppedOnSymlink;
inline constexpr uint32_t kExitRebootRequired = 3010;
inline constexpr uint32_t kExitRolledBack = 3020;
inline constexpr uint32_t kExitNoMonitor = 3021;

inline constexpr char kUsageLine[] =
    "usage: OrvaneVddSetup status | install <TvrVDD.inf> | remove | restart | monitors <1-4> | repair\n";

// Suffixes beside the settings file.
inline constexpr char kPreviousSuffix[] = ".orvane-previous";
inline constexpr char kRejectedSuffix[] = ".orvane-rejected";
inline constexpr char kSetupTempSuffix[] = ".orvane-setup-tmp";

// Waits.
inline constexpr uint64_t kDeviceStartLimitMs = 10'000;
inline constexpr uint32_t kDeviceStartPollMs = 100;
inline constexpr uint64_t kMonitorWaitLimitMs = 14'999;  // a check after this long is the last
inline constexpr uint32_t kMonitorPollMs = 250;
inline constexpr uint32_t kRepairRefreshHz = 60;

// A failed step's error as an exit code: the error itself, or 31 when it is
// 0 or would read as one of the tool's own codes.
uint32_t StepFailureExitCode(uint32_t error);

enum class CommandKind { kInvalid, kHelp, kStatus, kInstall, kRemove, kRestart, kMonitors, kRepair };

struct ParsedCommand {
  CommandKind kind = CommandKind::kInvalid;
  std::string inf_path;        // install
  uint32_t monitor_count = 0;  // monitors: 1 to 4
};

// The arguments after the program name; the first is compared after
// lower-casing ASCII letters.
ParsedCommand ParseCommandLine(const std::vector<std::string>& args);

// Where the lines go; each text ends with "\n".
class ISetupOutput {
 public:
  virtual ~ISetupOutput() = default;
  virtual void Out(std::string_view text) = 0;
  virtual void Err(std::string_view text) = 0;
};

enum class MonitorWait { kOk, kPartial, kNone };

struct MonitorCount {
  bool running = false;
  uint32_t monitors = 0;
};

// One run of the tool.
class SetupCommands {
 public:
  SetupCommands(ISetupSystem& system, ISetupOutput& output) : system_(system), output_(output) {}

  // The whole run: parse, check elevation, take the run lock, run the
  // command; the exit code.
  uint32_t Run(const std::vector<std::string>& args);

  uint32_t Status();
  uint32_t Install(const std::string& inf_path);
  uint32_t Remove();
  uint32_t Restart();
  // count 0: repair only.
  uint32_t Monitors(uint32_t count);

  // Restarts every present driver device and waits for each to start.
  uint32_t RestartDevices();
  MonitorCount CountDriverMonitors();
  // Waits until the driver shows the monitors `settings_text` asks for.
  MonitorWait WaitForMonitors(std::string_view settings_text);
  // Restarts, checks the monitors, and rolls back to `previous` when the
  // new settings leave the driver without any.
  uint32_t RestartAndVerify(bool have_previous, const std::string& previous);

  std::string SettingsPath();

 private:
  struct DriverDevice {
    size_t index = 0;
    ClassDevice device;
  };
  struct Listing {
    SysResult result;
    std::vector<DriverDevice> devices;
  };
  struct Settings {
    ReadStatus status = ReadStatus::kUnreadable;
    bool refused = false;
    std::string text;
  };

  Listing ListDriverDevices(bool present_only);
  bool NodeRunning(size_t index, uint32_t* problem);
  // Reads a settings file; a refused one has its line printed.
  Settings ReadSettingsFile(const std::string& path);
  struct Written {
    bool ok = true;
    bool refused = false;  // a link: its line is printed
    uint32_t error = kErrorSuccess;
  };
  // Through the temporary file: the target is either as it was or holds
  // the whole text.
  Written WriteSettingsFile(const std::string& path, std::string_view text);
  // Prints the refusal line when the facts make the file unusable.
  bool Refused(const std::string& path, const FileFacts& facts);
  void DeletePrevious(const std::string& settings_path);

  void Out(const std::string& text) { output_.Out(text); }
  void Err(const std::string& text) { output_.Err(text); }

  ISetupSystem& system_;
  ISetupOutput& output_;
};

}  // namespace orvane::vdd_setup
