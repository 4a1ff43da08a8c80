#pragma once
// A stand-in for the process's speaker controller: records every call and
// models the speakers (muted by the host or not, a restore pending after a
// grace time) so tests can tell whether the speakers ever became audible.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/audio/speaker_muting.h"

namespace orvane::testing {

class RecordingSpeakerMuting final : public ISpeakerMuting {
 public:
  // Calls in order: "mute on", "mute off", "restore after <ms> <reason>",
  // "restore now".
  std::vector<std::string> Calls() const;
  void ClearCalls();

  // The modelled speakers.
  bool Muted() const;
  bool RestorePending() const;
  // Times the speakers went from muted to audible.
  uint32_t Unmutes() const;
  // Muting is refused (the speakers keep playing).
  void SetMuteFails(bool fails);
  // The pending grace time runs out: the speakers are restored.
  void ExpirePendingRestore();

  void SetTabletMuting(bool on) override;
  void RestoreSpeakersAfter(uint32_t ms, const char* reason) override;
  void RestoreSpeakersNow() override;
  bool SpeakersMutedByHost() const override;

 private:
  void UnmuteLocked();

  mutable std::mutex mu_;
  std::vector<std::string> calls_;
  bool muted_ = false;
  bool pending_ = false;
  bool mute_fails_ = false;
  uint32_t unmutes_ = 0;
};

}  // namespace orvane::testing
