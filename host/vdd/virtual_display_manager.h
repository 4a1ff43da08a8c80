#pragma once
// The virtual display manager: one per process. It owns the back-end of the
// virtual display driver and the per-session bookkeeping: which session holds
// which driver monitor, the crash ledger, the clean-up of driver monitors no
// session uses, the hand-over to a tablet that reconnected on another slot,
// and the display-change grace that capture reads.
//
// Every wait goes through the injected clock. The appear wait sleeps on it;
// condition-variable waits (the reconnect wait, the retry thread's interval)
// wait in bounded real-time slices and re-read the clock after each, so they
// end on time with the real clock and as soon as a test moves a ManualClock
// past their deadline. Deadlines are taken before anything a test can observe
// (a log line, a back-end call), so moving the clock after seeing it is never
// lost.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/vdd/vdd_ledger.h"
#include "host/vdd/virtual_display.h"
#include "host/vdd/virtual_display_backend.h"
#include "host/video/monitor_enumeration.h"

namespace orvane {

struct VirtualDisplayManagerConfig {
  std::filesystem::path ledger_path;  // empty: no crash ledger
  uint32_t appear_wait_ms = 5000;
  uint32_t poll_step_ms = 100;
  uint32_t display_change_grace_ms = 6000;
  uint32_t reconnect_wait_ms = 3000;
  uint32_t unused_retry_interval_ms = 30000;
  uint32_t unused_retries = 20;
  // The longest real-time stretch of one condition-variable wait before the
  // clock is read again.
  uint32_t wait_slice_ms = 100;
};

using VddBackendFactory = std::function<std::unique_ptr<IVirtualDisplayBackend>()>;
// The desktop's monitors now (id = GDI device name, width, height).
using VddMonitorList = std::function<std::vector<MonitorInfoData>()>;
// Switches a desktop monitor to a mode; true when it took it.
using VddModeSwitch = std::function<bool(const std::string& monitor_id, const VirtualDisplayMode& mode)>;

class VirtualDisplayManager final : public IVirtualDisplayManager {
 public:
  // Creates the back-end (a factory that gives none counts as no driver),
  // queries and publishes its availability and logs it. mode_switch may be
  // empty (monitors keep the mode the back-end gave them). The clock outlives
  // the manager.
  VirtualDisplayManager(VddBackendFactory backend_factory, VddMonitorList monitor_list,
                        VirtualDisplayManagerConfig config, VddModeSwitch mode_switch, IClock& clock);
  // Shuts down, then waits until no Acquire is inside the manager before the
  // back-end and the callbacks go.
  ~VirtualDisplayManager() override;

  VirtualDisplayManager(const VirtualDisplayManager&) = delete;
  VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

  // IVirtualDisplayManager.
  bool DriverAvailable() override;  // the published installed flag
  bool DefaultExtended() override;  // the extended-enabled flag
  VirtualDisplayAcquireResult Acquire(size_t session_id, const VirtualDisplayMode& mode) override;
  VirtualDisplayModeLimits GetModeLimits() override;
  bool HoldsMonitor(size_t session_id) override;
  std::string GetMonitorId(size_t session_id) override;
  void Release(size_t session_id, const std::string& reason) override;
  void MarkTabletReconnected(size_t session_id) override;

  // Extended display off: kind 3 without touching the manager; on: Acquire
  // for session 0.
  VirtualDisplayAcquireResult AcquireDefault(const VirtualDisplayMode& mode);
  // Removes the monitors a previous run left according to the ledger; the
  // number removed. Called once at start.
  uint32_t RecoverFromLedger();
  // Re-reads availability (a fresh back-end when there was no driver and no
  // session holds a monitor). Answers from the published flag when the
  // manager is busy.
  bool RefreshAvailability();
  void SetExtendedEnabled(bool enabled) { extended_enabled_.store(enabled); }

  // The grace end becomes the later of its current value and now + grace_ms;
  // the process-wide last display change becomes now.
  void NoteDisplayChange(uint32_t grace_ms);
  bool InDisplayChangeGrace();

  // Published for lock-free readers.
  bool IsInstalled() const { return installed_.load(); }
  VirtualDisplayState PublishedState() const { return static_cast<VirtualDisplayState>(state_.load()); }
  bool NoMonitor() const { return no_monitor_.load(); }
  const char* BackendId() const { return backend_id_.load(); }

  std::string GetAvailabilityDetail();
  std::string GetBackendName();

  // No acquire succeeds any more; every monitor is released with "host exit"
  // and the retry thread is stopped and joined.
  void Shutdown();

 private:
  struct Session {
    std::string token;
    VirtualDisplayMode mode;
    std::string monitor_id;
    std::string backend_id;
  };
  using Lock = std::unique_lock<std::mutex>;

  VirtualDisplayAcquireResult AcquireLocked(Lock& lock, size_t session_id, const VirtualDisplayMode& mode);
  // False when the manager shut down while waiting.
  bool WaitForReconnectedLocked(Lock& lock, uint32_t max_monitors);
  std::string FindAppearedMonitorLocked(size_t session_id, const VddAcquireResult& acquired,
                                        const VirtualDisplayMode& mode, const std::vector<MonitorInfoData>& before);
  std::vector<MonitorInfoData> Monitors();
  void ReleaseLocked(size_t session_id, const std::string& reason);
  void WriteLedgerLocked();
  void RunUnusedCheckLocked();
  void RetryUnusedCheck(uint64_t start_ms);
  // False when the stop flag was set before the deadline.
  bool WaitForStopUntil(uint64_t deadline_ms);
  void PublishLocked(const VirtualDisplayAvailability& availability);
  void NoteOwnDisplayChange() { NoteDisplayChange(config_.display_change_grace_ms); }
  uint32_t SliceMs(uint64_t now_ms, uint64_t deadline_ms) const;

  const VirtualDisplayManagerConfig config_;
  IClock& clock_;

  std::mutex mu_;
  VddBackendFactory backend_factory_;
  VddMonitorList monitor_list_;
  VddModeSwitch mode_switch_;
  std::unique_ptr<IVirtualDisplayBackend> backend_;
  VirtualDisplayAvailability availability_;
  std::map<size_t, Session> sessions_;
  std::set<size_t> reconnected_;
  VddLedgerList ledger_;
  bool shutting_down_ = false;
  std::condition_variable release_cv_;  // signalled on every release and at shutdown
  size_t acquires_inside_ = 0;
  std::condition_variable idle_cv_;  // signalled when the last Acquire leaves
  bool unused_deferred_ = false;
  bool retry_running_ = false;
  std::thread retry_thread_;

  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  bool stop_ = false;

  std::atomic<bool> installed_{false};
  std::atomic<int> state_{0};
  std::atomic<bool> no_monitor_{false};
  std::atomic<const char*> backend_id_{"none"};
  std::atomic<bool> extended_enabled_{false};
  std::atomic<uint64_t> grace_end_ms_{0};
};

// When this process last changed the display configuration (the clock's tick
// of the manager that noted it); 0 before the first change.
uint64_t LastDisplayChangeMs();

}  // namespace orvane
