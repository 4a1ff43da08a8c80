#pragma once
// Resolution changes that wait for a driver restart, and applying them.
//
// The Virtual Display Driver reads its settings only when it starts. When
// the host adds a tablet's resolution or raises the monitor count, the new
// modes appear only after a driver restart, which needs administrator
// rights. VddApplyController keeps the list of such changes across host
// restarts (vdd_pending_apply.ini), notices when the operating system itself
// restarted in between, offers to apply them and, on request, runs the setup
// tool elevated with "restart" (or "repair" when the driver has no monitor),
// waits for it and turns its exit code into an outcome.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/clock.h"
#include "host/vdd/vdd_apply_launcher.h"
#include "host/vdd/vdd_settings_host.h"

namespace orvane {

namespace vdd_apply {

enum class ApplyOutcome : int {
  kApplied = 0,           // "applied": tool exit code 0
  kRebootRequired = 1,    // "reboot-required": 3010
  kNotInstalled = 2,      // "not-installed": 1
  kDeviceNotStarted = 3,  // "device-not-started": 4
  kCancelled = 4,         // "cancelled": the user declined elevation
  kNotElevated = 5,       // "not-elevated": 5
  kHelperMissing = 6,     // "helper-missing": the tool is not beside the host program
  kTimedOut = 7,          // "timed-out": no end within 60 s, or shut down while waiting
  kFailed = 8,            // "failed": launch failed otherwise, or any other exit code
  kRolledBack = 9,        // "rolled-back": 3020
  kNoMonitor = 10,        // "no-monitor": 3021
};
// The log names above; "unknown" for any other value.
const char* ApplyOutcomeName(ApplyOutcome outcome);
// The outcome of a tool that ended with this exit code.
ApplyOutcome OutcomeForExitCode(uint32_t exit_code);

// How long the controller waits for the tool.
inline constexpr uint32_t kToolWaitLimitMs = 60'000;
// How long Shutdown gives a running worker.
inline constexpr uint64_t kShutdownWaitMs = 3'000;
// Entries per list.
inline constexpr size_t kMaxListEntries = 64;
// Largest width or height of an entry.
inline constexpr uint32_t kMaxSide = 16384;
// Boot times further apart than this mean the system restarted.
inline constexpr int64_t kBootToleranceSeconds = 120;
// The pending file is read only up to this size.
inline constexpr size_t kMaxPendingFileBytes = 64 * 1024;

// A size (width, height), or a monitor count n as (1, n).
struct PendingSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const PendingSize&) const = default;
};

// "2560x1600,3 monitors": each entry as width "x" height, (1, n) as
// n " monitors", joined by ","; empty for an empty list.
std::string FormatPendingList(const std::vector<PendingSize>& list);

// What the pending file holds.
struct PendingFileContents {
  int64_t boot = 0;  // 0: absent or invalid
  std::vector<PendingSize> pending;
  std::vector<PendingSize> restarted;
};
// Parses the file's text; malformed lines are skipped one by one, duplicates
// and entries beyond 64 per list are ignored, and a restarted entry that is
// also pending is dropped from restarted.
PendingFileContents ParsePendingFile(std::string_view text);
// The whole file text; empty when both lists are empty (the file is then
// deleted instead).
std::string FormatPendingFile(const PendingFileContents& contents);

// What the controller runs on; empty members take the platform's.
struct ControllerPlatform {
  std::unique_ptr<IToolLauncher> launcher;  // MakePlatformToolLauncher()
  std::function<int64_t()> boot_time;       // PlatformBootTimeSeconds
  IClock* clock = nullptr;                  // SystemClock(); times Shutdown's wait
};

}  // namespace vdd_apply

class VddApplyController {
 public:
  using OfferCallback = std::function<void()>;
  using LaunchedCallback = std::function<void()>;
  using OutcomeCallback = std::function<void(vdd_apply::ApplyOutcome)>;

  using Platform = vdd_apply::ControllerPlatform;

  // pending_file_path: UTF-8 path of vdd_pending_apply.ini (empty: no file).
  // offer: a change newly waits for a restart. It runs on the thread that
  //   raised the resolution event (under the virtual display manager's
  //   mutex), so it must only post and return.
  // launched: the setup tool was started (apply worker thread).
  // outcome: an apply ended (apply worker thread).
  // No callback runs after Shutdown has returned. A callback must not call
  // Shutdown (or destroy the controller): Shutdown waits for the callback's
  // own worker.
  VddApplyController(std::string pending_file_path, OfferCallback offer, LaunchedCallback launched,
                     OutcomeCallback outcome, Platform platform = {});
  // Shuts down and drops this handle's reference on the shared state.
  ~VddApplyController();
  VddApplyController(const VddApplyController&) = delete;
  VddApplyController& operator=(const VddApplyController&) = delete;

  // Reads the pending file; called once after construction.
  void Load();
  // The handler of the settings editor's resolution events.
  void OnResolutionEvent(tvr_vdd::ResolutionEvent event, uint32_t width, uint32_t height);
  // Starts the setup tool ("repair" or "restart") on a worker thread; false
  // when an apply runs, the tool started earlier still runs, or after
  // Shutdown.
  bool StartApply(bool repair);

  // For the settings window.
  bool HasWork(bool force) const;   // force or something is pending
  bool CanApply(bool force) const;  // no apply or earlier tool running, and HasWork(force)
  bool HasPending() const;
  bool IsApplying() const;
  std::vector<vdd_apply::PendingSize> Pending() const;
  std::vector<vdd_apply::PendingSize> Restarted() const;

  // Ends a running wait for the tool (its outcome is "timed-out"), gives a
  // running worker up to 3 s, then silences the callbacks. A worker still
  // running afterwards keeps the shared state alive, finishes the lists and
  // the file, and calls nothing.
  void Shutdown();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace orvane
