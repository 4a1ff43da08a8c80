#pragma once
// What an audio pipeline asks of the PC speakers: muted while the tablet
// alone plays the sound, restored now or after a grace time. The process
// has one SpeakerMuteController behind it; tests use a recording fake.

#include <cstdint>

namespace orvane {

class ISpeakerMuting {
 public:
  virtual ~ISpeakerMuting() = default;
  // on: mute the default speakers (cancelling a pending restore); off: restore.
  virtual void SetTabletMuting(bool on) = 0;
  // Restore after `ms` unless muting is asked again first; reason ends the
  // log line ("while the tablet reconnects").
  virtual void RestoreSpeakersAfter(uint32_t ms, const char* reason) = 0;
  virtual void RestoreSpeakersNow() = 0;
  // The host holds the speakers muted (lock-free).
  virtual bool SpeakersMutedByHost() const = 0;
};

}  // namespace orvane
