#pragma once
// CaptureManager: the capture front-end of one stream.
//
// It owns the three back-ends (slot order dxgi, wgc, screen copy), chooses the
// order from the user's choice, fails over when a back-end cannot start,
// re-creates the capture when the platform invalidates it and switches
// back-end when invalidations come too often. All of it runs on the frame
// loop's capture thread; the counters are atomics for the diagnostics.
//
// The process-wide duplication-loss ledger tells losses the host caused
// itself (a display change it announced) from unexplained ones.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/common/rate_limiter.h"
#include "host/video/capture_source.h"
#include "host/video/monitor_enumeration.h"

namespace orvane {

// Timing of the front-end.
inline constexpr uint64_t kCaptureReinitMinIntervalMs = 500;
inline constexpr uint64_t kCaptureInvalidationWindowMs = 3000;
inline constexpr uint64_t kCaptureInvalidationLogIntervalMs = 1000;
// While the screen copy stands in for a failed GPU back-end, the GPU order is
// tried again this often; its failures are summed up at most every 10 s.
inline constexpr uint64_t kCaptureGpuRetryIntervalMs = 5000;
inline constexpr uint64_t kCaptureGpuRetryLogIntervalMs = 10'000;

// The result of the target selection (before the manager is created).
struct CaptureTarget {
  bool found = false;  // a monitor was chosen
  CaptureInitParams params;
  std::string matched_by;  // ChooseMonitor's
};

// Chooses the monitor to capture (ChooseMonitor with the capture settings'
// monitor id and output index) and logs the choice.
CaptureTarget SelectCaptureTarget(const std::vector<MonitorInfoData>& monitors, const std::string& monitor_id,
                                  uint32_t output_index);

struct CaptureCounters {
  uint64_t capture_fail = 0;
  uint64_t dup_reinit = 0;
  uint64_t wgc_reinit = 0;
  uint64_t dup_timeout = 0;
  uint64_t wgc_timeout = 0;
  uint64_t backend_switch = 0;
};

class CaptureManager {
 public:
  // `monitors` refreshes the target by id when the capture is re-created
  // (null: the target stays as given).
  CaptureManager(CaptureBackendChoice choice, CaptureTarget target, CaptureSourceSet sources,
                 std::shared_ptr<IMonitorEnumerator> monitors = nullptr);
  ~CaptureManager();  // shuts the active back-end down

  CaptureManager(const CaptureManager&) = delete;
  CaptureManager& operator=(const CaptureManager&) = delete;

  // The encoder's device for GPU hand-off (null: none). A different device
  // shuts the active back-end down; the next Acquire re-creates the capture
  // at once, on the new device.
  void SetSharedDevice(std::shared_ptr<GpuDevice> device);

  bool Start(bool allow_gdi);
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture, uint64_t now_ms);

  CaptureBackendKind ActiveKind() const { return active_kind_.load(); }
  CaptureCounters Counters() const;
  const CaptureInitParams& Target() const { return target_.params; }

 private:
  struct InvalidationWindow {
    uint64_t start_ms = 0;
    uint32_t count = 0;
    bool open = false;
  };

  ICaptureSource* Slot(CaptureBackendKind kind) const;
  bool Activate(CaptureBackendKind kind);
  bool RunGpuOrder();
  bool RunOrder(bool allow_gdi);
  void Reinitialize(uint64_t now_ms);
  void NoteRecreated(CaptureBackendKind kind, uint64_t now_ms);
  void RefreshTarget();
  void MaybeRetryGpu(uint64_t now_ms);
  void NoteInvalidation(CaptureBackendKind kind, uint64_t now_ms);
  std::string LastFailureText() const;

  CaptureBackendChoice choice_;
  CaptureTarget target_;
  CaptureSourceSet sources_;
  std::shared_ptr<IMonitorEnumerator> monitors_;
  std::shared_ptr<GpuDevice> shared_device_;

  ICaptureSource* active_ = nullptr;
  std::atomic<CaptureBackendKind> active_kind_{CaptureBackendKind::kNone};
  // The kind activated last (kept while none is active): a switch is an
  // activation of another kind.
  CaptureBackendKind last_kind_ = CaptureBackendKind::kNone;

  std::atomic<uint64_t> capture_fail_{0};
  std::atomic<uint64_t> dup_reinit_{0};
  std::atomic<uint64_t> wgc_reinit_{0};
  std::atomic<uint64_t> dup_timeout_{0};
  std::atomic<uint64_t> wgc_timeout_{0};
  std::atomic<uint64_t> backend_switch_{0};

  InvalidationWindow dxgi_window_;
  InvalidationWindow wgc_window_;
  bool force_wgc_ = false;
  bool force_dxgi_ = false;
  bool reinit_attempted_ = false;
  uint64_t last_reinit_ms_ = 0;
  bool reinit_now_ = false;
  bool logged_invalidation_ = false;
  uint64_t last_invalidation_log_ms_ = 0;

  // Failed re-creations in a row: the first is logged in full, later ones
  // are summed up at most every 10 s.
  uint64_t reinit_failures_ = 0;
  RateLimiter reinit_failure_log_{kCaptureGpuRetryLogIntervalMs};

  // The screen copy came from Reinitialize: the GPU order is retried.
  bool gdi_from_reinit_ = false;
  uint64_t last_gpu_retry_ms_ = 0;
  RateLimiter gpu_retry_log_{kCaptureGpuRetryLogIntervalMs};
};

// The process-wide duplication-loss ledger.
class DuplicationLossLedger {
 public:
  static constexpr uint64_t kExplainWindowMs = 10'000;
  static constexpr uint32_t kExplainedLossesPerStart = 2;

  struct Totals {
    uint64_t unexplained = 0;
    uint64_t explained = 0;
  };

  static DuplicationLossLedger& Instance();

  // The host is about to change the display topology.
  void NoteExpectedDisplayChange(uint64_t now_ms);
  // A successful Desktop Duplication start.
  void NoteDuplicationStarted();
  // Records one loss; true when it was explained.
  bool RecordLoss(uint64_t now_ms);
  // The totals so far; reading does not reset them.
  Totals TakeTotals() const;

  void ResetForTest();

 private:
  mutable std::mutex mu_;
  uint32_t losses_since_start_ = 0;
  bool expected_ = false;
  uint64_t expected_ms_ = 0;
  Totals totals_;
};

// Process-wide shorthands on the system tick.
void NoteExpectedDisplayChange();
void NoteDuplicationStarted();
// True when the loss was explained.
bool RecordDuplicationLoss();
DuplicationLossLedger::Totals TakeDuplicationLossTotals();

}  // namespace orvane
