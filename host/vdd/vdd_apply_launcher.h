#pragma once
// Starting the driver setup tool for the apply controller: where the tool
// is, starting it (elevated on Windows) with "restart" or "repair", waiting
// for it with a limit and a stop signal, and its exit code. The decisions
// (outcomes, lists, time limits) stay in the controller; the launchers only
// make the platform calls and report what happened.

#include <cstdint>
#include <memory>
#include <string>

namespace orvane::vdd_apply {

// How waiting for a started tool ended.
enum class WaitStatus {
  kEnded,     // the process ended
  kTimedOut,  // the limit passed first
  kStopped,   // the launcher's stop signal was set
  kFailed,    // the wait itself failed (logged)
};

// A started tool. Destroying it closes the handle; a tool that still runs
// goes on running.
class IToolProcess {
 public:
  virtual ~IToolProcess() = default;
  // Waits until the process ends, the launcher's stop signal is set or
  // limit_ms have passed, whichever comes first.
  virtual WaitStatus Wait(uint32_t limit_ms) = 0;
  // Whether the process has ended, without waiting.
  virtual bool HasEnded() = 0;
  // The exit code of a process that ended; false when it cannot be read.
  virtual bool ReadExitCode(uint32_t* code) = 0;
};

enum class LaunchStatus {
  kStarted,    // process holds the started tool
  kCancelled,  // the user declined the elevation prompt
  kFailed,     // error holds the system error; or started without a process
};

struct LaunchResult {
  LaunchStatus status = LaunchStatus::kFailed;
  uint32_t error = 0;
  std::unique_ptr<IToolProcess> process;
};

class IToolLauncher {
 public:
  virtual ~IToolLauncher() = default;
  // Full path (UTF-8) of the setup tool beside the host program; empty when
  // it is not there.
  virtual std::string LocateTool() = 0;
  // Starts the tool with the argument "repair" or "restart". Called on the
  // apply worker's thread.
  virtual LaunchResult Launch(const std::string& tool_path, bool repair) = 0;
  // Sets the stop signal: a running wait, and every later one, ends with
  // kStopped. It stays set. Safe from any thread.
  virtual void Stop() = 0;
};

// The launcher of this platform: the tool beside the host program
// (OrvaneVddSetup.exe on Windows, OrvaneVddSetup on Linux).
std::unique_ptr<IToolLauncher> MakePlatformToolLauncher();

// When the running operating-system session started, in seconds since 1970;
// 0 when it cannot be told.
int64_t PlatformBootTimeSeconds();

}  // namespace orvane::vdd_apply
