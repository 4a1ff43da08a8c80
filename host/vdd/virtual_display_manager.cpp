#include "host/vdd/virtual_display_manager.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

#include "host/common/logger.h"

namespace orvane {

namespace {

std::mutex g_last_change_mu;
uint64_t g_last_change_ms = 0;

bool SameMode(const VirtualDisplayMode& a, const VirtualDisplayMode& b) {
  return a.width == b.width && a.height == b.height && a.refresh_hz == b.refresh_hz;
}

bool Listed(const std::vector<MonitorInfoData>& monitors, const std::string& id) {
  if (id.empty()) return false;
  return std::any_of(monitors.begin(), monitors.end(), [&](const MonitorInfoData& m) { return m.id == id; });
}

unsigned SessionNumber(size_t session_id) { return static_cast<unsigned>(session_id); }

VirtualDisplayAcquireResult Refusal(VirtualDisplayAcquireKind kind, const VirtualDisplayMode& mode,
                                    std::string message) {
  VirtualDisplayAcquireResult r;
  r.kind = kind;
  r.mode = mode;
  r.message = std::move(message);
  return r;
}

VirtualDisplayAcquireResult Success(VirtualDisplayAcquireKind kind, const VirtualDisplayMode& mode,
                                    const std::string& monitor_id) {
  VirtualDisplayAcquireResult r;
  r.kind = kind;
  r.mode = mode;
  r.monitor_id = monitor_id;
  return r;
}

constexpr const char* kShuttingDown = "host is shutting down";

}  // namespace

uint64_t LastDisplayChangeMs() {
  std::lock_guard<std::mutex> lock(g_last_change_mu);
  return g_last_change_ms;
}

// ------------------------------------------------------------- lifetime

VirtualDisplayManager::VirtualDisplayManager(VddBackendFactory backend_factory, VddMonitorList monitor_list,
                                             VirtualDisplayManagerConfig config, VddModeSwitch mode_switch,
                                             IClock& clock)
    : config_(std::move(config)),
      clock_(clock),
      backend_factory_(std::move(backend_factory)),
      monitor_list_(std::move(monitor_list)),
      mode_switch_(std::move(mode_switch)) {
  std::lock_guard<std::mutex> lock(mu_);
  if (backend_factory_) backend_ = backend_factory_();
  if (!backend_) backend_ = std::make_unique<NotInstalledVirtualDisplayBackend>();
  PublishLocked(backend_->QueryAvailability());
  LogInfo("[VDD] Backend=%s availability=%s detail=%s", backend_->GetDisplayName(),
          VirtualDisplayStateName(static_cast<int>(availability_.state)), availability_.detail.c_str());
}

VirtualDisplayManager::~VirtualDisplayManager() {
  Shutdown();
  Lock lock(mu_);
  // An Acquire may still be inside with the mutex released (switching a
  // monitor's mode, or just woken from the reconnect wait): it finds the
  // manager shutting down and leaves; only then do its callbacks go.
  idle_cv_.wait(lock, [this] { return acquires_inside_ == 0; });
  backend_.reset();
  mode_switch_ = nullptr;
  monitor_list_ = nullptr;
  backend_factory_ = nullptr;
}

void VirtualDisplayManager::Shutdown() {
  std::thread retry;
  {
    Lock lock(mu_);
    shutting_down_ = true;
    std::vector<size_t> held;
    for (const auto& [id, session] : sessions_) held.push_back(id);
    for (const size_t id : held) ReleaseLocked(id, "host exit");
    release_cv_.notify_all();
    retry = std::move(retry_thread_);
  }
  // The retry thread takes the manager mutex around each check, so it is
  // stopped and joined with the mutex released.
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  if (retry.joinable()) {
    if (retry.get_id() == std::this_thread::get_id()) {
      retry.detach();
    } else {
      retry.join();
    }
  }
}

// ------------------------------------------------------------- readers

bool VirtualDisplayManager::DriverAvailable() { return installed_.load(); }

bool VirtualDisplayManager::DefaultExtended() { return extended_enabled_.load(); }

VirtualDisplayModeLimits VirtualDisplayManager::GetModeLimits() {
  std::lock_guard<std::mutex> lock(mu_);
  return backend_->GetModeLimits();
}

bool VirtualDisplayManager::HoldsMonitor(size_t session_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.count(session_id) != 0;
}

std::string VirtualDisplayManager::GetMonitorId(size_t session_id) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sessions_.find(session_id);
  return it == sessions_.end() ? std::string() : it->second.monitor_id;
}

std::string VirtualDisplayManager::GetAvailabilityDetail() {
  std::lock_guard<std::mutex> lock(mu_);
  return availability_.detail;
}

std::string VirtualDisplayManager::GetBackendName() {
  std::lock_guard<std::mutex> lock(mu_);
  return backend_->GetDisplayName();
}

void VirtualDisplayManager::MarkTabletReconnected(size_t session_id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (sessions_.count(session_id) != 0) reconnected_.insert(session_id);
}

void VirtualDisplayManager::PublishLocked(const VirtualDisplayAvailability& availability) {
  availability_ = availability;
  backend_id_.store(backend_->GetId());
  no_monitor_.store(availability.no_monitor);
  state_.store(static_cast<int>(availability.state));
  installed_.store(availability.state == VirtualDisplayState::kInstalled);
}

// ------------------------------------------------------- display changes

void VirtualDisplayManager::NoteDisplayChange(uint32_t grace_ms) {
  const uint64_t now = clock_.TickMs();
  const uint64_t end = now + grace_ms;
  uint64_t current = grace_end_ms_.load();
  // A short grace never cuts a longer one that is running.
  while (current < end && !grace_end_ms_.compare_exchange_weak(current, end)) {
  }
  std::lock_guard<std::mutex> lock(g_last_change_mu);
  g_last_change_ms = now;
}

bool VirtualDisplayManager::InDisplayChangeGrace() { return clock_.TickMs() < grace_end_ms_.load(); }

// ------------------------------------------------------------- acquire

VirtualDisplayAcquireResult VirtualDisplayManager::AcquireDefault(const VirtualDisplayMode& mode) {
  if (!extended_enabled_.load()) {
    return Refusal(VirtualDisplayAcquireKind::kExtendedModeOff, mode, "extended display is off");
  }
  return Acquire(0, mode);
}

VirtualDisplayAcquireResult VirtualDisplayManager::Acquire(size_t session_id, const VirtualDisplayMode& mode) {
  Lock lock(mu_);
  ++acquires_inside_;
  VirtualDisplayAcquireResult result = AcquireLocked(lock, session_id, mode);
  if (result.monitor_count == 0) result.monitor_count = backend_->GetMaxMonitors();
  if (--acquires_inside_ == 0) idle_cv_.notify_all();
  return result;
}

VirtualDisplayAcquireResult VirtualDisplayManager::AcquireLocked(Lock& lock, size_t session_id,
                                                                 const VirtualDisplayMode& mode) {
  using Kind = VirtualDisplayAcquireKind;
  if (shutting_down_) return Refusal(Kind::kAddFailed, mode, kShuttingDown);
  if (!mode.Valid()) return Refusal(Kind::kAddFailed, mode, "invalid mode");
  reconnected_.erase(session_id);

  if (auto it = sessions_.find(session_id); it != sessions_.end()) {
    const Session held = it->second;
    const bool present = Listed(Monitors(), held.monitor_id);
    std::string reason;
    if (!SameMode(held.mode, mode)) {
      if (present && mode_switch_) {
        lock.unlock();
        const bool switched = mode_switch_(held.monitor_id, mode);
        lock.lock();
        NoteOwnDisplayChange();
        it = sessions_.find(session_id);
        if (switched && it != sessions_.end() && it->second.token == held.token &&
            it->second.monitor_id == held.monitor_id) {
          it->second.mode = mode;
          LogInfo("[VDD] Virtual monitor %s of session %u switched in place %ux%u@%u -> %ux%u@%u",
                  held.monitor_id.c_str(), SessionNumber(session_id), held.mode.width, held.mode.height,
                  held.mode.refresh_hz, mode.width, mode.height, mode.refresh_hz);
          return Success(Kind::kReconfigured, mode, held.monitor_id);
        }
        if (shutting_down_) return Refusal(Kind::kAddFailed, mode, kShuttingDown);
      }
      LogWarn("[VDD] Could not switch %s to %ux%u@%u in place; re-creating it", held.monitor_id.c_str(), mode.width,
              mode.height, mode.refresh_hz);
      reason = "stream mode changed";
    } else if (present) {
      return Success(Kind::kReused, mode, held.monitor_id);
    } else {
      reason = "virtual monitor vanished";
    }
    ReleaseLocked(session_id, reason);
  }

  PublishLocked(backend_->QueryAvailability());
  if (availability_.state != VirtualDisplayState::kInstalled) {
    return Refusal(Kind::kDriverNotInstalled, mode,
                   std::string(VirtualDisplayStateName(static_cast<int>(availability_.state))) + ": " +
                       availability_.detail);
  }

  const uint32_t max_monitors = backend_->GetMaxMonitors();
  if (!WaitForReconnectedLocked(lock, max_monitors)) {
    VirtualDisplayAcquireResult r = Refusal(Kind::kAddFailed, mode, kShuttingDown);
    r.monitor_count = max_monitors;
    return r;
  }

  if (sessions_.empty() || sessions_.size() < max_monitors) {
    std::vector<std::string> in_use_tokens;
    for (const auto& [id, session] : sessions_) in_use_tokens.push_back(session.token);
    const std::vector<MonitorInfoData> before = Monitors();

    VddAcquireResult acquired;
    std::string error;
    if (!backend_->AcquireMonitorExcluding(mode, in_use_tokens, &acquired, &error)) {
      VirtualDisplayAcquireResult r =
          Refusal(Kind::kAddFailed, mode, error.empty() ? std::string("driver rejected the request") : error);
      r.monitor_count = max_monitors;
      return r;
    }
    NoteOwnDisplayChange();
    const std::string backend_id = backend_->GetId();
    sessions_[session_id] = Session{acquired.token, mode, std::string(), backend_id};
    if (!ledger_.Add({backend_id, acquired.token})) {
      LogWarn("[VDD] Virtual monitor token is not ledger-safe; crash recovery disabled for it");
    }
    WriteLedgerLocked();

    // The desktop takes a moment to show the new monitor.
    const uint64_t give_up_ms = clock_.TickMs() + config_.appear_wait_ms;
    const uint32_t step_ms = std::max<uint32_t>(1, config_.poll_step_ms);
    std::string monitor_id;
    for (;;) {
      monitor_id = FindAppearedMonitorLocked(session_id, acquired, mode, before);
      if (!monitor_id.empty() || clock_.TickMs() >= give_up_ms) break;
      clock_.SleepMs(step_ms);
    }
    if (monitor_id.empty()) {
      ReleaseLocked(session_id, "no desktop monitor appeared");
      VirtualDisplayAcquireResult r =
          Refusal(Kind::kMonitorNotFound, mode,
                  "virtual monitor did not appear within " + std::to_string(config_.appear_wait_ms) + " ms");
      r.monitor_count = max_monitors;
      return r;
    }
    sessions_[session_id].monitor_id = monitor_id;

    if (mode_switch_) {
      lock.unlock();
      const bool switched = mode_switch_(monitor_id, mode);
      lock.lock();
      NoteOwnDisplayChange();
      const auto it = sessions_.find(session_id);
      if (it == sessions_.end() || it->second.token != acquired.token) {
        VirtualDisplayAcquireResult r =
            Refusal(Kind::kMonitorNotFound, mode, "virtual monitor was released while switching its mode");
        r.monitor_count = max_monitors;
        return r;
      }
      if (!switched) {
        LogWarn("[VDD] Could not apply %ux%u@%u to %s; capturing its current mode", mode.width, mode.height,
                mode.refresh_hz, monitor_id.c_str());
      }
    }
    LogInfo("[VDD] Virtual monitor %s created via %s at %ux%u@%u for session %u (token=%s, %zu of %u in use)",
            monitor_id.c_str(), backend_->GetDisplayName(), mode.width, mode.height, mode.refresh_hz,
            SessionNumber(session_id), acquired.token.c_str(), sessions_.size(), max_monitors);
    VirtualDisplayAcquireResult r = Success(Kind::kCreated, mode, monitor_id);
    r.monitor_count = max_monitors;
    return r;
  }

  std::string message;
  const bool restart = backend_->RequestMonitorCount(static_cast<uint32_t>(sessions_.size() + 1), &message);
  if (message.empty()) message = "all " + std::to_string(max_monitors) + " virtual monitors are in use";
  VirtualDisplayAcquireResult r =
      Refusal(restart ? Kind::kRestartPending : Kind::kNoFreeMonitor, mode, std::move(message));
  r.monitor_count = max_monitors;
  return r;
}

std::vector<MonitorInfoData> VirtualDisplayManager::Monitors() {
  return monitor_list_ ? monitor_list_() : std::vector<MonitorInfoData>();
}

std::string VirtualDisplayManager::FindAppearedMonitorLocked(size_t session_id, const VddAcquireResult& acquired,
                                                             const VirtualDisplayMode& mode,
                                                             const std::vector<MonitorInfoData>& before) {
  const std::vector<MonitorInfoData> now = Monitors();
  const auto held_by_other = [&](const std::string& id) {
    for (const auto& [other, session] : sessions_) {
      if (other != session_id && session.monitor_id == id) return true;
    }
    return false;
  };
  const std::string named = backend_->GetMonitorIdForToken(acquired);
  if (Listed(now, named) && !held_by_other(named)) return named;
  const MonitorInfoData* first_new = nullptr;
  for (const MonitorInfoData& m : now) {
    if (m.id.empty() || Listed(before, m.id) || held_by_other(m.id)) continue;
    if (m.width >= 0 && m.height >= 0 && static_cast<uint32_t>(m.width) == mode.width &&
        static_cast<uint32_t>(m.height) == mode.height) {
      return m.id;
    }
    if (!first_new) first_new = &m;
  }
  return first_new ? first_new->id : std::string();
}

uint32_t VirtualDisplayManager::SliceMs(uint64_t now_ms, uint64_t deadline_ms) const {
  const uint64_t left = deadline_ms - now_ms;
  return static_cast<uint32_t>(std::min<uint64_t>(left, std::max<uint32_t>(1, config_.wait_slice_ms)));
}

bool VirtualDisplayManager::WaitForReconnectedLocked(Lock& lock, uint32_t max_monitors) {
  const auto full = [&] { return !sessions_.empty() && sessions_.size() >= max_monitors; };
  const auto reconnected_holds = [&] {
    return std::any_of(reconnected_.begin(), reconnected_.end(),
                       [&](size_t id) { return sessions_.count(id) != 0; });
  };
  if (!full() || !reconnected_holds()) return true;

  const uint64_t deadline = clock_.TickMs() + config_.reconnect_wait_ms;
  LogInfo("[VDD] Every virtual monitor is in use and one belongs to a tablet that reconnected; waiting up to %u ms "
          "for its release",
          config_.reconnect_wait_ms);
  // The mutex is released while waiting, so a release on another thread ends
  // the wait; the held count is read again after every wake.
  for (;;) {
    if (shutting_down_) return false;
    if (!full()) break;
    const uint64_t now = clock_.TickMs();
    if (now >= deadline) break;
    release_cv_.wait_for(lock, std::chrono::milliseconds(SliceMs(now, deadline)));
  }
  if (full()) {
    std::vector<size_t> stale;
    for (const size_t id : reconnected_) {
      if (sessions_.count(id) != 0) stale.push_back(id);
    }
    for (const size_t id : stale) ReleaseLocked(id, "its tablet reconnected on another slot");
  }
  return true;
}

// ------------------------------------------------------------- release

void VirtualDisplayManager::Release(size_t session_id, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mu_);
  ReleaseLocked(session_id, reason);
}

void VirtualDisplayManager::ReleaseLocked(size_t session_id, const std::string& reason) {
  const auto it = sessions_.find(session_id);
  if (it == sessions_.end()) return;
  const Session session = it->second;
  std::string error;
  const bool removed = backend_->ReleaseMonitor(session.token, &error);
  NoteOwnDisplayChange();
  const std::string why = reason.empty() ? std::string("release") : reason;
  if (removed) {
    LogInfo("[VDD] Virtual monitor %s of session %u removed (%s)",
            session.monitor_id.empty() ? "-" : session.monitor_id.c_str(), SessionNumber(session_id), why.c_str());
    ledger_.Remove({session.backend_id, session.token});
  } else {
    LogWarn("[VDD] Failed to remove virtual monitor token=%s (%s): %s", session.token.c_str(), why.c_str(),
            error.c_str());
  }
  sessions_.erase(session_id);
  reconnected_.erase(session_id);
  WriteLedgerLocked();
  RunUnusedCheckLocked();
  release_cv_.notify_all();
}

void VirtualDisplayManager::WriteLedgerLocked() { WriteVddLedger(config_.ledger_path, ledger_); }

// ------------------------------------------------------------- recovery

uint32_t VirtualDisplayManager::RecoverFromLedger() {
  std::lock_guard<std::mutex> lock(mu_);
  const VddLedgerRead read = ReadVddLedger(config_.ledger_path);
  if (!read.present) {
    RunUnusedCheckLocked();
    return 0;
  }
  const std::string current = backend_->GetId();
  uint32_t removed = 0;
  for (const VddLedgerEntry& entry : read.entries) {
    const bool live = std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& item) {
      return item.second.backend_id == entry.backend_id && item.second.token == entry.token;
    });
    if (live) continue;
    if (entry.backend_id != current) {
      LogInfo("[VDD] Dropping stale ledger entry for backend %s (current=%s)", entry.backend_id.c_str(),
              current.c_str());
      continue;
    }
    // A monitor that was extended before the host took it was left extended
    // at release: there is nothing to take away.
    const std::optional<VddToken> token = ParseVddToken(entry.token);
    if (token && !token->attached) {
      LogDebug("[VDD] Ledger entry token=%s was extended before the host took it; dropping entry",
               entry.token.c_str());
      continue;
    }
    std::string error;
    if (backend_->ReleaseLeftoverMonitor(entry.token, &error)) {
      ++removed;
      NoteOwnDisplayChange();
      LogInfo("[VDD] Removed virtual monitor left by a previous run (token=%s)", entry.token.c_str());
    } else {
      LogInfo("[VDD] Stale virtual monitor token=%s not removed (%s); dropping entry", entry.token.c_str(),
              error.c_str());
    }
  }
  ledger_.Clear();
  for (const auto& [id, session] : sessions_) ledger_.Add({session.backend_id, session.token});
  WriteLedgerLocked();
  RunUnusedCheckLocked();
  return removed;
}

// --------------------------------------------------------- unused check

void VirtualDisplayManager::RunUnusedCheckLocked() {
  std::vector<std::string> tokens;
  for (const auto& [id, session] : sessions_) tokens.push_back(session.token);
  const VddUnusedCheck check = backend_->DetachUnusedMonitors(tokens);
  if (check.detached != 0) NoteOwnDisplayChange();
  if (!check.deferred || shutting_down_) {
    unused_deferred_ = false;
    return;
  }
  unused_deferred_ = true;
  if (retry_running_ || config_.unused_retries == 0) return;
  // A thread that finished has already left the mutex for good.
  if (retry_thread_.joinable()) retry_thread_.join();
  retry_running_ = true;
  retry_thread_ = std::thread(&VirtualDisplayManager::RetryUnusedCheck, this, clock_.TickMs());
}

void VirtualDisplayManager::RetryUnusedCheck(uint64_t start_ms) {
  // Each round waits one interval from the end of the previous one.
  uint64_t deadline = start_ms;
  for (uint32_t round = 0; round < config_.unused_retries; ++round) {
    deadline += config_.unused_retry_interval_ms;
    const bool due = WaitForStopUntil(deadline);
    std::lock_guard<std::mutex> lock(mu_);
    if (!due || shutting_down_ || !unused_deferred_) {
      retry_running_ = false;
      return;
    }
    RunUnusedCheckLocked();
    if (!unused_deferred_) {
      retry_running_ = false;
      return;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  retry_running_ = false;
  LogInfo("[VDD] Unused virtual monitors: still deferred after %u retries; the next release checks again",
          config_.unused_retries);
}

bool VirtualDisplayManager::WaitForStopUntil(uint64_t deadline_ms) {
  Lock lock(stop_mu_);
  for (;;) {
    if (stop_) return false;
    const uint64_t now = clock_.TickMs();
    if (now >= deadline_ms) return true;
    stop_cv_.wait_for(lock, std::chrono::milliseconds(SliceMs(now, deadline_ms)));
  }
}

// --------------------------------------------------------- availability

bool VirtualDisplayManager::RefreshAvailability() {
  Lock lock(mu_, std::try_to_lock);
  if (!lock.owns_lock()) return installed_.load();
  const VirtualDisplayState old_state = availability_.state;
  if (old_state != VirtualDisplayState::kInstalled && sessions_.empty() && backend_factory_ && !shutting_down_) {
    std::unique_ptr<IVirtualDisplayBackend> fresh = backend_factory_();
    backend_ = fresh ? std::move(fresh) : std::make_unique<NotInstalledVirtualDisplayBackend>();
  }
  PublishLocked(backend_->QueryAvailability());
  if (availability_.state != old_state) {
    LogInfo("[VDD] Driver availability changed: %s -> %s (%s)", VirtualDisplayStateName(static_cast<int>(old_state)),
            VirtualDisplayStateName(static_cast<int>(availability_.state)), availability_.detail.c_str());
  }
  const bool installed = availability_.state == VirtualDisplayState::kInstalled;
  if (installed && unused_deferred_) RunUnusedCheckLocked();
  return installed;
}

}  // namespace orvane
