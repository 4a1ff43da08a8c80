#include "host/video/capture_manager.h"

#include <utility>

#include "host/common/logger.h"

namespace orvane {

namespace {

const char* InvalidatedName(CaptureBackendKind kind) {
  switch (kind) {
    case CaptureBackendKind::kDxgi: return "Desktop Duplication";
    case CaptureBackendKind::kWgc: return "WGC";
    default: return "GDI";
  }
}

CaptureInitParams ParamsFromMonitor(const MonitorInfoData& m) {
  CaptureInitParams p;
  p.monitor_id = m.id;
  p.monitor_handle = m.handle;
  p.left = m.x;
  p.top = m.y;
  p.right = static_cast<int32_t>(static_cast<int64_t>(m.x) + m.width);
  p.bottom = static_cast<int32_t>(static_cast<int64_t>(m.y) + m.height);
  p.index = m.index;
  return p;
}

unsigned RectSide(int64_t side) { return side > 0 ? static_cast<unsigned>(side) : 0u; }

}  // namespace

CaptureTarget SelectCaptureTarget(const std::vector<MonitorInfoData>& monitors, const std::string& monitor_id,
                                  uint32_t output_index) {
  CaptureTarget target;
  const MonitorChoice choice = ChooseMonitor(monitors, monitor_id, output_index);
  target.matched_by = choice.matched_by;
  if (!choice.monitor) {
    LogError("[Capture] No monitor available for capture");
    return target;
  }
  target.found = true;
  target.params = ParamsFromMonitor(*choice.monitor);
  if (!choice.exact) {
    LogWarn("[Capture] Requested source (id=%s index=%u) unavailable; using %s monitor %s",
            monitor_id.empty() ? "-" : EscapeUntrusted(monitor_id).c_str(), output_index, choice.matched_by.c_str(),
            target.params.monitor_id.c_str());
  }
  if (target.params.monitor_handle == 0) {
    LogWarn("[Capture] Monitor %s has no live HMONITOR; capture will fail over", target.params.monitor_id.c_str());
  }
  LogInfo("[Capture] Target monitor id=%s index=%u rect=%ld,%ld %ux%u matched_by=%s", target.params.monitor_id.c_str(),
          target.params.index, static_cast<long>(target.params.left), static_cast<long>(target.params.top),
          RectSide(target.params.Width()), RectSide(target.params.Height()), target.matched_by.c_str());
  return target;
}

CaptureManager::CaptureManager(CaptureBackendChoice choice, CaptureTarget target, CaptureSourceSet sources,
                               std::shared_ptr<IMonitorEnumerator> monitors)
    : choice_(choice), target_(std::move(target)), sources_(std::move(sources)), monitors_(std::move(monitors)) {}

CaptureManager::~CaptureManager() {
  if (active_ != nullptr) active_->Shutdown();
  active_ = nullptr;
}

ICaptureSource* CaptureManager::Slot(CaptureBackendKind kind) const {
  switch (kind) {
    case CaptureBackendKind::kDxgi: return sources_.dxgi.get();
    case CaptureBackendKind::kWgc: return sources_.wgc.get();
    case CaptureBackendKind::kGdi: return sources_.gdi.get();
    case CaptureBackendKind::kNone: break;
  }
  return nullptr;
}

void CaptureManager::SetSharedDevice(std::shared_ptr<GpuDevice> device) {
  if (device == shared_device_) return;
  shared_device_ = std::move(device);
  if (active_ != nullptr) {
    // The old device's textures must not reach the new encoder: re-create
    // the capture on the new device at the next acquisition.
    active_->Shutdown();
    active_ = nullptr;
    active_kind_ = CaptureBackendKind::kNone;
    gdi_from_reinit_ = false;
  }
  reinit_now_ = true;
}

bool CaptureManager::Activate(CaptureBackendKind kind) {
  ICaptureSource* source = Slot(kind);
  if (source == nullptr) return false;
  CaptureInitParams params = target_.params;
  params.shared_device = shared_device_;
  if (!source->Initialize(params)) return false;
  if (kind != last_kind_) backend_switch_ += 1;
  last_kind_ = kind;
  active_ = source;
  active_kind_ = kind;
  if (kind == CaptureBackendKind::kGdi) {
    LogWarn("[Capture] Active backend=gdi fallback monitor=%s", params.monitor_id.c_str());
  } else {
    LogInfo("[Capture] Active backend=%s monitor=%s index=%u", CaptureBackendName(kind), params.monitor_id.c_str(),
            params.index);
  }
  return true;
}

bool CaptureManager::RunGpuOrder() {
  const bool wgc_first = choice_ == CaptureBackendChoice::kWgc;
  const CaptureBackendKind first = wgc_first ? CaptureBackendKind::kWgc : CaptureBackendKind::kDxgi;
  const CaptureBackendKind second = wgc_first ? CaptureBackendKind::kDxgi : CaptureBackendKind::kWgc;
  if (Activate(first)) return true;
  if (choice_ != CaptureBackendChoice::kAuto) {
    LogWarn("[Capture] %s requested but unavailable; trying %s", CaptureBackendName(first), CaptureBackendName(second));
  }
  return Activate(second);
}

bool CaptureManager::RunOrder(bool allow_gdi) {
  if (RunGpuOrder()) return true;
  if (allow_gdi && Activate(CaptureBackendKind::kGdi)) return true;
  return false;
}

bool CaptureManager::Start(bool allow_gdi) {
  LogInfo("[Capture] Known limitation: Desktop Duplication may contend with other capture apps in same session");
  LogInfo("[Capture] Requested source index=%u id=%s backend=%s", target_.params.index,
          target_.params.monitor_id.c_str(), CaptureBackendChoiceName(choice_));
  gdi_from_reinit_ = false;
  if (RunOrder(allow_gdi)) return true;
  LogError("[Capture] Failed to initialize any capture backend");
  return false;
}

void CaptureManager::RefreshTarget() {
  if (!monitors_ || target_.params.monitor_id.empty()) return;
  const std::vector<MonitorInfoData> list = monitors_->EnumerateMonitors();
  for (const MonitorInfoData& m : list) {
    if (m.id != target_.params.monitor_id) continue;
    const CaptureInitParams fresh = ParamsFromMonitor(m);
    if (fresh.left != target_.params.left || fresh.top != target_.params.top || fresh.right != target_.params.right ||
        fresh.bottom != target_.params.bottom) {
      LogInfo("[Capture] Target monitor %s is now at rect=%ld,%ld %ux%u", fresh.monitor_id.c_str(),
              static_cast<long>(fresh.left), static_cast<long>(fresh.top), RectSide(fresh.Width()),
              RectSide(fresh.Height()));
    }
    target_.params = fresh;
    return;
  }
  // The monitor is gone (for now): keep the last target.
}

void CaptureManager::Reinitialize(uint64_t now_ms) {
  if (!reinit_now_ && reinit_attempted_ && now_ms - last_reinit_ms_ < kCaptureReinitMinIntervalMs) return;
  reinit_now_ = false;
  reinit_attempted_ = true;
  last_reinit_ms_ = now_ms;

  // A series of failed attempts is logged in full once, then summed up.
  std::optional<ScopedLogDemotion> quiet;
  if (reinit_failures_ > 0) quiet.emplace();

  RefreshTarget();
  CaptureBackendKind activated = CaptureBackendKind::kNone;
  if (force_wgc_) {
    LogWarn("[Capture] Frequent DXGI invalidation detected; forcing WGC on next reinit attempt");
    if (Activate(CaptureBackendKind::kWgc)) activated = CaptureBackendKind::kWgc;
    force_wgc_ = false;
  } else if (force_dxgi_) {
    LogWarn("[Capture] Frequent WGC invalidation detected; forcing Desktop Duplication on next reinit attempt");
    if (Activate(CaptureBackendKind::kDxgi)) activated = CaptureBackendKind::kDxgi;
    force_dxgi_ = false;
  }
  if (activated == CaptureBackendKind::kNone) {
    if (!RunOrder(true)) {
      if (reinit_failures_ == 0) LogError("[Capture] Failed to initialize any capture backend");
      ++reinit_failures_;
      quiet.reset();
      uint64_t suppressed = 0;
      if (reinit_failure_log_.Allow(now_ms, &suppressed) && reinit_failures_ > 1) {
        LogWarn("[Capture] Capture still cannot be re-created (%llu failed attempts; last: %s)",
                static_cast<unsigned long long>(reinit_failures_), LastFailureText().c_str());
      }
      return;
    }
    activated = active_kind_.load();
  }
  quiet.reset();
  if (reinit_failures_ > 0) {
    LogInfo("[Capture] Capture re-created after %llu failed attempts", static_cast<unsigned long long>(reinit_failures_));
    reinit_failures_ = 0;
    reinit_failure_log_.Reset();
  }
  NoteRecreated(activated, now_ms);
}

void CaptureManager::NoteRecreated(CaptureBackendKind kind, uint64_t now_ms) {
  switch (kind) {
    case CaptureBackendKind::kDxgi:
      LogInfo("[Capture] Desktop Duplication recreated successfully (reinit=%llu)",
              static_cast<unsigned long long>(++dup_reinit_));
      gdi_from_reinit_ = false;
      break;
    case CaptureBackendKind::kWgc:
      LogInfo("[Capture] WGC capture recreated successfully (reinit=%llu)",
              static_cast<unsigned long long>(++wgc_reinit_));
      gdi_from_reinit_ = false;
      break;
    case CaptureBackendKind::kGdi:
      gdi_from_reinit_ = true;
      last_gpu_retry_ms_ = now_ms;
      break;
    case CaptureBackendKind::kNone: break;
  }
}

std::string CaptureManager::LastFailureText() const {
  for (CaptureBackendKind kind : {CaptureBackendKind::kDxgi, CaptureBackendKind::kWgc, CaptureBackendKind::kGdi}) {
    const ICaptureSource* source = Slot(kind);
    if (source == nullptr) continue;
    const HostResult r = source->LastResult();
    if (!r.ok()) return std::string(CaptureBackendName(kind)) + " " + r.ToString();
  }
  return "no details";
}

void CaptureManager::MaybeRetryGpu(uint64_t now_ms) {
  if (!gdi_from_reinit_ || active_kind_.load() != CaptureBackendKind::kGdi) return;
  if (now_ms - last_gpu_retry_ms_ < kCaptureGpuRetryIntervalMs) return;
  last_gpu_retry_ms_ = now_ms;
  ICaptureSource* gdi = active_;
  bool back = false;
  {
    ScopedLogDemotion quiet;
    back = RunGpuOrder();
  }
  if (!back) {
    uint64_t suppressed = 0;
    if (gpu_retry_log_.Allow(now_ms, &suppressed)) {
      LogWarn("[Capture] GPU capture still unavailable; staying on the GDI fallback (%s) (%llu similar suppressed)",
              LastFailureText().c_str(), static_cast<unsigned long long>(suppressed));
    }
    return;
  }
  gdi->Shutdown();
  gpu_retry_log_.Reset();
  LogInfo("[Capture] GPU capture available again; leaving the GDI fallback for %s",
          CaptureBackendName(active_kind_.load()));
  NoteRecreated(active_kind_.load(), now_ms);
}

void CaptureManager::NoteInvalidation(CaptureBackendKind kind, uint64_t now_ms) {
  InvalidationWindow* window = nullptr;
  bool* force_other = nullptr;
  if (kind == CaptureBackendKind::kDxgi) {
    window = &dxgi_window_;
    force_other = &force_wgc_;
  } else if (kind == CaptureBackendKind::kWgc) {
    window = &wgc_window_;
    force_other = &force_dxgi_;
  } else {
    return;
  }
  if (!window->open || now_ms - window->start_ms > kCaptureInvalidationWindowMs) {
    window->open = true;
    window->start_ms = now_ms;
    window->count = 0;
  }
  if (window->count >= 1) *force_other = true;
  window->count += 1;
}

CapturedFrame CaptureManager::Acquire(uint32_t wait_ms, bool want_texture, uint64_t now_ms) {
  MaybeRetryGpu(now_ms);
  if (active_ == nullptr) {
    Reinitialize(now_ms);
    if (active_ == nullptr) {
      CapturedFrame lost;
      lost.status = CaptureStatus::kLost;
      return lost;
    }
  }
  const CaptureBackendKind kind = active_kind_.load();
  CapturedFrame frame = active_->Acquire(wait_ms, want_texture);
  switch (frame.status) {
    case CaptureStatus::kTimeout:
      if (kind == CaptureBackendKind::kDxgi) dup_timeout_ += 1;
      if (kind == CaptureBackendKind::kWgc) wgc_timeout_ += 1;
      break;
    case CaptureStatus::kLost:
      active_->Shutdown();
      NoteInvalidation(kind, now_ms);
      backend_switch_ += 1;
      active_ = nullptr;
      active_kind_ = CaptureBackendKind::kNone;
      gdi_from_reinit_ = false;
      if (!logged_invalidation_ || now_ms - last_invalidation_log_ms_ >= kCaptureInvalidationLogIntervalMs) {
        logged_invalidation_ = true;
        last_invalidation_log_ms_ = now_ms;
        LogWarn("[Capture] %s invalidated; releasing and recreating capture objects", InvalidatedName(kind));
      }
      Reinitialize(now_ms);
      break;
    case CaptureStatus::kFailed:
      capture_fail_ += 1;
      break;
    case CaptureStatus::kFrame:
      break;
  }
  return frame;
}

CaptureCounters CaptureManager::Counters() const {
  CaptureCounters c;
  c.capture_fail = capture_fail_.load();
  c.dup_reinit = dup_reinit_.load();
  c.wgc_reinit = wgc_reinit_.load();
  c.dup_timeout = dup_timeout_.load();
  c.wgc_timeout = wgc_timeout_.load();
  c.backend_switch = backend_switch_.load();
  return c;
}

// ------------------------------------------------------------ loss ledger

DuplicationLossLedger& DuplicationLossLedger::Instance() {
  static DuplicationLossLedger* ledger = new DuplicationLossLedger();  // never destroyed
  return *ledger;
}

void DuplicationLossLedger::NoteExpectedDisplayChange(uint64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  expected_ = true;
  expected_ms_ = now_ms;
}

void DuplicationLossLedger::NoteDuplicationStarted() {
  std::lock_guard<std::mutex> lock(mu_);
  losses_since_start_ = 0;
}

bool DuplicationLossLedger::RecordLoss(uint64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  losses_since_start_ += 1;
  const bool explained = expected_ && now_ms >= expected_ms_ && now_ms - expected_ms_ <= kExplainWindowMs &&
                         losses_since_start_ <= kExplainedLossesPerStart;
  if (explained) {
    totals_.explained += 1;
  } else {
    totals_.unexplained += 1;
  }
  return explained;
}

DuplicationLossLedger::Totals DuplicationLossLedger::TakeTotals() const {
  std::lock_guard<std::mutex> lock(mu_);
  return totals_;
}

void DuplicationLossLedger::ResetForTest() {
  std::lock_guard<std::mutex> lock(mu_);
  losses_since_start_ = 0;
  expected_ = false;
  expected_ms_ = 0;
  totals_ = Totals{};
}

void NoteExpectedDisplayChange() { DuplicationLossLedger::Instance().NoteExpectedDisplayChange(TickCountMs()); }
void NoteDuplicationStarted() { DuplicationLossLedger::Instance().NoteDuplicationStarted(); }
bool RecordDuplicationLoss() { return DuplicationLossLedger::Instance().RecordLoss(TickCountMs()); }
DuplicationLossLedger::Totals TakeDuplicationLossTotals() { return DuplicationLossLedger::Instance().TakeTotals(); }

}  // namespace orvane
