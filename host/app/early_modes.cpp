#include "host/app/early_modes.h"

#include <algorithm>

namespace orvane {

int RunShutdownMode(IRunningHostProbe& probe, IClock& clock, const std::function<void()>& restore_speakers) {
  // A host that is not there cannot be signalled; the check below then
  // finds it gone at once.
  probe.SignalShutdown();
  const uint64_t start = clock.TickMs();
  while (probe.IsHostRunning()) {
    const uint64_t elapsed = clock.TickMs() - start;
    if (elapsed >= kShutdownWaitMs) return kExitHostStillRunning;
    clock.SleepMs(static_cast<uint32_t>(std::min<uint64_t>(kShutdownPollMs, kShutdownWaitMs - elapsed)));
  }
  if (restore_speakers) restore_speakers();
  return 0;
}

int RunRestoreSpeakersMode(IRunningHostProbe& probe, const std::function<void()>& restore_speakers) {
  // The running host owns the speaker state; restoring under it would undo
  // a tablet's mute while it plays.
  if (probe.IsHostRunning()) return kExitHostStillRunning;
  if (restore_speakers) restore_speakers();
  return 0;
}

}  // namespace orvane
