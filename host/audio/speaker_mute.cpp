#include "host/audio/speaker_mute.h"

#include <chrono>
#include <system_error>

#include "host/common/logger.h"

namespace orvane {

using endpoint_mute::EndpointState;
using host_output_mute::MuteRecord;
using host_output_mute::MuteRecordLoad;

struct SpeakerMuteController::EmergencyRun {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool restored = false;
};

const char* EarlierRunOutcomeName(EarlierRunOutcome outcome) {
  switch (outcome) {
    case EarlierRunOutcome::kNone: return "none";
    case EarlierRunOutcome::kRestored: return "restored";
    case EarlierRunOutcome::kUntouched: return "untouched";
    case EarlierRunOutcome::kFailed: return "failed";
  }
  return "unknown";
}

RateLimiter& SpeakersKeepPlayingWarningLimit() {
  static RateLimiter* limit = new RateLimiter(kKeepPlayingWarningIntervalMs);
  return *limit;
}

void WarnSpeakersKeepPlaying(uint64_t now_ms, RateLimiter& limit) {
  if (limit.Allow(now_ms)) LogWarn("[AudioMute] Could not mute the PC speakers; they keep playing");
}

SpeakerMuteController::SpeakerMuteController(endpoint_mute::IEndpointVolume& endpoint,
                                             host_output_mute::IMuteRecordStore& store, IClock& clock,
                                             RateLimiter* keep_playing_limit)
    : endpoint_(endpoint),
      store_(store),
      clock_(clock),
      keep_playing_limit_(keep_playing_limit ? *keep_playing_limit : SpeakersKeepPlayingWarningLimit()) {}

SpeakerMuteController::~SpeakerMuteController() {
  StopTimer();
  std::lock_guard<std::mutex> guard(emergency_mu_);
  if (emergency_thread_.joinable()) emergency_thread_.join();
}

// ---- the mute itself ----

SpeakerMuteController::EarlierRecordResult SpeakerMuteController::ApplyEarlierRecordLocked(const MuteRecord& record) {
  EarlierRecordResult r;
  if (record.device_id.empty()) {
    store_.Delete();
    r.outcome = EarlierRunOutcome::kFailed;
    return r;
  }
  EndpointState state;
  if (!endpoint_.GetState(record.device_id, &state, nullptr)) {
    r.outcome = EarlierRunOutcome::kFailed;
    r.kept = true;
    return r;
  }
  if (!state.muted || record.muted) {
    // Unmuted by the user meanwhile, or muted before the host touched it.
    store_.Delete();
    r.outcome = EarlierRunOutcome::kUntouched;
    return r;
  }
  if (!endpoint_.SetMute(record.device_id, false, nullptr)) {
    r.outcome = EarlierRunOutcome::kFailed;
    r.kept = true;
    return r;
  }
  store_.Delete();
  r.outcome = EarlierRunOutcome::kRestored;
  return r;
}

bool SpeakerMuteController::MuteLocked() {
  if (muted_by_host_) return true;
  const auto loaded = store_.Load();
  // A record that cannot be read, or whose device could not be put back, is
  // never saved over: it may be the only note of speakers left muted.
  if (loaded.status == MuteRecordLoad::kUnreadable) return false;
  if (loaded.status == MuteRecordLoad::kLoaded) {
    const EarlierRecordResult earlier = ApplyEarlierRecordLocked(loaded.record);
    if (earlier.kept) return false;
    LogInfo("[AudioMute] Speaker state from an earlier run: %s", EarlierRunOutcomeName(earlier.outcome));
  }
  std::u16string id;
  if (!endpoint_.DefaultRenderDeviceId(&id, nullptr) || id.empty()) return false;
  EndpointState state;
  if (!endpoint_.GetState(id, &state, nullptr)) return false;
  MuteRecord record;
  record.device_id = id;
  record.muted = state.muted;
  record.volume = state.volume;
  if (!store_.Save(record, nullptr)) return false;
  if (!state.muted && !endpoint_.SetMute(id, true, nullptr)) {
    store_.Delete();
    return false;
  }
  current_ = std::move(record);
  muted_by_host_ = true;
  return true;
}

void SpeakerMuteController::TryMuteLocked(uint64_t now_ms) {
  if (MuteLocked()) {
    attempted_ = false;
    last_device_check_ms_ = now_ms;
  } else {
    attempted_ = true;
    last_attempt_ms_ = now_ms;
  }
}

bool SpeakerMuteController::RestoreLocked() {
  if (!muted_by_host_) return false;
  muted_by_host_ = false;
  EndpointState state;
  bool done = false;
  if (endpoint_.GetState(current_.device_id, &state, nullptr)) {
    // Only a device that the host muted and that is still muted is unmuted;
    // the volume is never changed.
    done = (!current_.muted && state.muted) ? endpoint_.SetMute(current_.device_id, false, nullptr) : true;
  }
  // Otherwise the record stays for the next start.
  if (done) store_.Delete();
  return true;
}

// ---- ISpeakerMuting ----

void SpeakerMuteController::SetTabletMuting(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t now = clock_.TickMs();
  const bool was_muted = muted_by_host_;
  const bool was_pending = restore_pending_;
  bool kept_muted = false;
  if (on && !shutting_down_) {
    restore_pending_ = false;
    if (!muted_by_host_) {
      if (!attempted_ || now - last_attempt_ms_ >= kMuteAttemptIntervalMs) TryMuteLocked(now);
    } else {
      if (now - last_device_check_ms_ >= kMuteDeviceCheckIntervalMs) {
        last_device_check_ms_ = now;
        std::u16string id;
        if (endpoint_.DefaultRenderDeviceId(&id, nullptr) && !id.empty() && id != current_.device_id) {
          // The sound moved to other speakers: give the old ones back and
          // mute the new ones.
          RestoreLocked();
          TryMuteLocked(now);
        }
      }
      kept_muted = was_pending && muted_by_host_;
    }
  } else {
    restore_pending_ = false;
    RestoreLocked();
  }
  PublishLocked();
  if (kept_muted) {
    LogInfo("[AudioMute] PC speakers stay muted (sound plays on a tablet again)");
  } else if (muted_by_host_ != was_muted || (was_pending && !muted_by_host_)) {
    LogInfo("[AudioMute] PC speakers %s", muted_by_host_ ? "muted (sound plays on the tablet only)" : "restored");
  }
  if (on && !muted_by_host_) WarnSpeakersKeepPlaying(now, keep_playing_limit_);
}

void SpeakerMuteController::RestoreSpeakersAfter(uint32_t ms, const char* reason) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool was_muted = muted_by_host_;
  if (muted_by_host_) {
    if (shutting_down_ || ms == 0) {
      restore_pending_ = false;
      RestoreLocked();
    } else {
      restore_pending_ = true;
      restore_deadline_ms_ = clock_.TickMs() + ms;
    }
  }
  PublishLocked();
  if (!restore_pending_) {
    if (was_muted && !muted_by_host_) LogInfo("[AudioMute] PC speakers restored");
    return;
  }
  LogInfo("[AudioMute] PC speakers stay muted for up to %u ms %s", static_cast<unsigned>(ms), reason ? reason : "");
  if (!StartTimerLocked()) {
    // Without a timer nothing would end the wait: restore now.
    restore_pending_ = false;
    RestoreLocked();
    PublishLocked();
    LogInfo("[AudioMute] PC speakers restored");
    return;
  }
  ++timer_seq_;
  timer_cv_.notify_all();
}

void SpeakerMuteController::RestoreSpeakersNow() {
  std::lock_guard<std::mutex> lock(mu_);
  restore_pending_ = false;
  const bool was_muted = RestoreLocked();
  PublishLocked();
  if (was_muted) LogInfo("[AudioMute] PC speakers restored");
}

// ---- start-up, shutdown, crash ----

EarlierRunOutcome SpeakerMuteController::RestoreFromEarlierRun() {
  std::lock_guard<std::mutex> lock(mu_);
  // While this run holds a mute, the stored record is its own.
  if (muted_by_host_) return EarlierRunOutcome::kNone;
  const auto loaded = store_.Load();
  EarlierRunOutcome outcome = EarlierRunOutcome::kNone;
  switch (loaded.status) {
    case MuteRecordLoad::kNone:
    case MuteRecordLoad::kInvalid:
      return EarlierRunOutcome::kNone;
    case MuteRecordLoad::kUnreadable:
      outcome = EarlierRunOutcome::kFailed;  // kept for a later start
      break;
    case MuteRecordLoad::kLoaded:
      outcome = ApplyEarlierRecordLocked(loaded.record).outcome;
      break;
  }
  LogInfo("[AudioMute] Speaker state from an earlier run: %s", EarlierRunOutcomeName(outcome));
  return outcome;
}

void SpeakerMuteController::HostShuttingDown() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    shutting_down_ = true;
    restore_pending_ = false;
    const bool was_muted = RestoreLocked();
    PublishLocked();
    if (was_muted) LogInfo("[AudioMute] PC speakers restored (host is shutting down)");
  }
  StopTimer();
}

void SpeakerMuteController::ShutdownCancelled() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!shutting_down_) return;
  shutting_down_ = false;
  LogInfo("[AudioMute] Windows sign-out or shutdown was cancelled");
}

bool SpeakerMuteController::RestoreForCrash() {
  if (!muted_mirror_.load()) return false;
  std::unique_lock<std::mutex> lock(mu_, std::defer_lock);
  for (int attempt = 0; attempt < kEmergencyLockTries; ++attempt) {
    if (lock.try_lock()) break;
    if (attempt + 1 < kEmergencyLockTries) clock_.SleepMs(kEmergencyLockRetryMs);
  }
  if (!lock.owns_lock()) return false;
  restore_pending_ = false;
  const bool was_muted = RestoreLocked();
  PublishLocked();
  // The crashed thread may hold the logger's lock.
  if (was_muted) Logger::Instance().LogIfUnlocked(LogLevel::kInfo, "[AudioMute] PC speakers restored");
  return was_muted;
}

bool SpeakerMuteController::EmergencyRestore(uint32_t wait_ms) {
  if (!muted_mirror_.load()) return false;
  std::shared_ptr<EmergencyRun> run;
  {
    std::lock_guard<std::mutex> guard(emergency_mu_);
    bool under_way = false;
    if (emergency_run_) {
      std::lock_guard<std::mutex> run_lock(emergency_run_->mu);
      under_way = !emergency_run_->done;
    }
    if (under_way) {
      run = emergency_run_;  // wait for the restore already running
    } else {
      if (emergency_thread_.joinable()) emergency_thread_.join();  // it has finished
      run = std::make_shared<EmergencyRun>();
      try {
        emergency_thread_ = std::thread([this, run] {
          const bool restored = RestoreForCrash();
          std::lock_guard<std::mutex> run_lock(run->mu);
          run->restored = restored;
          run->done = true;
          run->cv.notify_all();
        });
      } catch (const std::system_error& e) {
        Logger::Instance().LogIfUnlocked(LogLevel::kWarn, "[AudioMute] Emergency restore thread failed: %s", e.what());
        return false;
      }
      emergency_run_ = run;
    }
  }
  std::unique_lock<std::mutex> run_lock(run->mu);
  run->cv.wait_for(run_lock, std::chrono::milliseconds(wait_ms), [&run] { return run->done; });
  return run->done && run->restored;
}

// ---- the timer thread ----

bool SpeakerMuteController::StartTimerLocked() {
  if (timer_running_) return true;
  const uint64_t generation = ++timer_generation_;
  try {
    timer_thread_ = std::thread(&SpeakerMuteController::TimerLoop, this, generation);
  } catch (const std::system_error& e) {
    LogWarn("[AudioMute] Restore timer thread failed: %s", e.what());
    return false;
  }
  timer_running_ = true;
  return true;
}

void SpeakerMuteController::TimerLoop(uint64_t generation) {
  std::unique_lock<std::mutex> lock(mu_);
  while (generation == timer_generation_) {
    const uint64_t seen = timer_seq_;
    if (restore_pending_ && clock_.TickMs() >= restore_deadline_ms_) {
      restore_pending_ = false;
      const bool was_muted = RestoreLocked();
      PublishLocked();
      if (was_muted) LogInfo("[AudioMute] PC speakers restored (the tablet did not come back)");
    }
    timer_handled_seq_ = seen;
    timer_done_cv_.notify_all();
    const auto woken = [this, generation, seen] { return generation != timer_generation_ || timer_seq_ != seen; };
    if (restore_pending_) {
      const uint64_t now = clock_.TickMs();
      const uint64_t wait_ms = restore_deadline_ms_ > now ? restore_deadline_ms_ - now : 0;
      timer_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), woken);
    } else {
      timer_cv_.wait(lock, woken);
    }
  }
}

void SpeakerMuteController::StopTimer() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++timer_generation_;
    timer_running_ = false;
    thread = std::move(timer_thread_);
    timer_cv_.notify_all();
    timer_done_cv_.notify_all();
  }
  if (thread.joinable()) thread.join();
}

void SpeakerMuteController::PokeTimer() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!timer_running_) return;
  const uint64_t seq = ++timer_seq_;
  timer_cv_.notify_all();
  timer_done_cv_.wait(lock, [this, seq] { return !timer_running_ || timer_handled_seq_ >= seq; });
}

bool SpeakerMuteController::TimerThreadRunning() const {
  std::lock_guard<std::mutex> lock(mu_);
  return timer_running_;
}

// ---- the process's controller ----

namespace {

struct ProcessMute {
  std::unique_ptr<endpoint_mute::IEndpointVolume> endpoint = endpoint_mute::MakePlatformEndpointVolume();
  host_output_mute::FileMuteRecordStore store{host_output_mute::FileMuteRecordStore::DefaultPath()};
  SpeakerMuteController controller{*endpoint, store, SystemClock()};
};

}  // namespace

SpeakerMuteController& ProcessSpeakerMute() {
  static ProcessMute* process = new ProcessMute();
  return process->controller;
}

}  // namespace orvane
