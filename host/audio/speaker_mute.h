#pragma once
// Mutes the PC's default speakers while a tablet alone plays the sound and
// puts them back exactly as they were: one process-wide controller shared by
// every audio pipeline, the start-up code and the crash handler.
//
// Before it mutes, the controller writes what it changes to the record store
// (speaker_state.ini); the record is deleted only after a successful restore,
// so a crash or kill is undone by RestoreFromEarlierRun at the next start.
// It only unmutes a device that it muted itself and that is still muted: a
// user who changed the speakers meanwhile is not overridden.
//
// Every operation runs under one lock. A delayed restore waits on the
// controller's own timer thread (started with the first delay, stopped by
// HostShuttingDown and joined by the destructor); its deadline is read from
// the injected clock.
//
//   SpeakerMuteController& mute = ProcessSpeakerMute();
//   mute.SetTabletMuting(true);
//   mute.RestoreSpeakersAfter(5000, "while the tablet reconnects");

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/audio/endpoint_volume.h"
#include "host/audio/mute_record_store.h"
#include "host/audio/speaker_muting.h"
#include "host/common/clock.h"
#include "host/common/rate_limiter.h"

namespace orvane {

inline constexpr uint64_t kMuteAttemptIntervalMs = 1000;     // a failed mute is retried after this
inline constexpr uint64_t kMuteDeviceCheckIntervalMs = 1000;  // default-device comparison while muted
inline constexpr uint64_t kKeepPlayingWarningIntervalMs = 10'000;
inline constexpr int kEmergencyLockTries = 20;
inline constexpr uint32_t kEmergencyLockRetryMs = 25;

// What RestoreFromEarlierRun found; the log names are "restored",
// "untouched" and "failed" ("none": no record, nothing logged).
enum class EarlierRunOutcome { kNone, kRestored, kUntouched, kFailed };
const char* EarlierRunOutcomeName(EarlierRunOutcome outcome);

// The process-wide limit of "[AudioMute] Could not mute the PC speakers;
// they keep playing" (one per 10 s), shared by the controller and the
// pipelines that decide not to mute.
RateLimiter& SpeakersKeepPlayingWarningLimit();
void WarnSpeakersKeepPlaying(uint64_t now_ms, RateLimiter& limit = SpeakersKeepPlayingWarningLimit());

class SpeakerMuteController final : public ISpeakerMuting {
 public:
  // The endpoint, store and clock outlive the controller. keep_playing_limit
  // null: the process-wide limit.
  SpeakerMuteController(endpoint_mute::IEndpointVolume& endpoint, host_output_mute::IMuteRecordStore& store,
                        IClock& clock, RateLimiter* keep_playing_limit = nullptr);
  // Stops and joins the timer thread (a pending restore does not run) and
  // waits for an emergency restore still under way.
  ~SpeakerMuteController() override;
  SpeakerMuteController(const SpeakerMuteController&) = delete;
  SpeakerMuteController& operator=(const SpeakerMuteController&) = delete;

  // ISpeakerMuting.
  void SetTabletMuting(bool on) override;
  void RestoreSpeakersAfter(uint32_t ms, const char* reason) override;
  void RestoreSpeakersNow() override;
  bool SpeakersMutedByHost() const override { return muted_mirror_.load(); }

  // Start-up and "--restore-speakers": undoes what a record of an earlier
  // run says, and logs "[AudioMute] Speaker state from an earlier run: %s"
  // unless there was none. A file that cannot be read is "failed" and kept.
  EarlierRunOutcome RestoreFromEarlierRun();

  // The host or Windows is ending: restore now, refuse to mute until
  // ShutdownCancelled, stop the timer thread.
  void HostShuttingDown();
  void ShutdownCancelled();

  // For the crash path. RestoreForCrash restores on the calling thread when
  // the host holds the speakers muted, trying the lock 20 times 25 ms apart
  // (a crashed thread may hold it); true when it restored. EmergencyRestore
  // runs it on a thread of its own and waits for it at most wait_ms (real
  // time); the thread is joined by the destructor or the next call.
  bool RestoreForCrash();
  bool EmergencyRestore(uint32_t wait_ms);

  // Wakes the timer thread to compare the clock with the deadline and
  // returns once it has (the real clock wakes it by itself; tests on a
  // ManualClock advance it and poke). Returns at once without a timer thread.
  void PokeTimer();
  bool TimerThreadRunning() const;

 private:
  struct EarlierRecordResult {
    EarlierRunOutcome outcome = EarlierRunOutcome::kNone;
    bool kept = false;  // the record is still stored
  };
  struct EmergencyRun;

  // All under mu_.
  bool MuteLocked();
  void TryMuteLocked(uint64_t now_ms);
  bool RestoreLocked();  // true when the host had muted
  EarlierRecordResult ApplyEarlierRecordLocked(const host_output_mute::MuteRecord& record);
  void PublishLocked() { muted_mirror_.store(muted_by_host_); }
  bool StartTimerLocked();
  void TimerLoop(uint64_t generation);
  void StopTimer();

  endpoint_mute::IEndpointVolume& endpoint_;
  host_output_mute::IMuteRecordStore& store_;
  IClock& clock_;
  RateLimiter& keep_playing_limit_;

  mutable std::mutex mu_;
  // The mute itself.
  bool muted_by_host_ = false;
  host_output_mute::MuteRecord current_;  // the device muted and its state before
  bool attempted_ = false;                // a mute attempt failed at last_attempt_ms_
  uint64_t last_attempt_ms_ = 0;
  uint64_t last_device_check_ms_ = 0;
  // The delayed restore.
  bool restore_pending_ = false;
  uint64_t restore_deadline_ms_ = 0;
  bool shutting_down_ = false;
  std::atomic<bool> muted_mirror_{false};

  // The timer thread: it runs while timer_running_ and its generation is
  // current; timer_seq_ counts wake-ups (new deadlines, pokes) and
  // timer_handled_seq_ the last one it has looked at.
  std::thread timer_thread_;
  bool timer_running_ = false;
  uint64_t timer_generation_ = 0;
  uint64_t timer_seq_ = 0;
  uint64_t timer_handled_seq_ = 0;
  std::condition_variable timer_cv_;
  std::condition_variable timer_done_cv_;

  std::mutex emergency_mu_;
  std::thread emergency_thread_;
  std::shared_ptr<EmergencyRun> emergency_run_;
};

// The process's controller, created on first use over the platform's
// endpoint and speaker_state.ini in the data folder, on the system clock.
// Never destroyed (threads may reach it up to the end of the process);
// HostShuttingDown stops its timer thread.
SpeakerMuteController& ProcessSpeakerMute();

}  // namespace orvane
