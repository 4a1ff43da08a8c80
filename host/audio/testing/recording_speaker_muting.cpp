#include "host/audio/testing/recording_speaker_muting.h"

namespace orvane::testing {

std::vector<std::string> RecordingSpeakerMuting::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

void RecordingSpeakerMuting::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

bool RecordingSpeakerMuting::Muted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return muted_;
}

bool RecordingSpeakerMuting::RestorePending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_;
}

uint32_t RecordingSpeakerMuting::Unmutes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unmutes_;
}

void RecordingSpeakerMuting::SetMuteFails(bool fails) {
  std::lock_guard<std::mutex> lock(mu_);
  mute_fails_ = fails;
}

void RecordingSpeakerMuting::ExpirePendingRestore() {
  std::lock_guard<std::mutex> lock(mu_);
  if (pending_) UnmuteLocked();
}

void RecordingSpeakerMuting::UnmuteLocked() {
  if (muted_) ++unmutes_;
  muted_ = false;
  pending_ = false;
}

void RecordingSpeakerMuting::SetTabletMuting(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back(on ? "mute on" : "mute off");
  if (!on) {
    UnmuteLocked();
    return;
  }
  pending_ = false;
  if (!mute_fails_) muted_ = true;
}

void RecordingSpeakerMuting::RestoreSpeakersAfter(uint32_t ms, const char* reason) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back("restore after " + std::to_string(ms) + " " + (reason != nullptr ? reason : ""));
  if (!muted_) return;
  if (ms == 0) {
    UnmuteLocked();
  } else {
    pending_ = true;
  }
}

void RecordingSpeakerMuting::RestoreSpeakersNow() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back("restore now");
  UnmuteLocked();
}

bool RecordingSpeakerMuting::SpeakersMutedByHost() const { return Muted(); }

}  // namespace orvane::testing
