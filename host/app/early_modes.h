#pragma once
// The two early modes that run before anything else (no log is open yet):
// "--shutdown" asks a running host to exit and waits for it to be gone;
// "--restore-speakers" restores the PC speakers when no host runs.
//
//   auto probe = CreateRunningHostProbe();
//   return RunShutdownMode(*probe, SystemClock(), restore_speakers);

#include <cstdint>
#include <functional>
#include <memory>

#include "host/app/single_instance.h"
#include "host/common/clock.h"

namespace orvane {

inline constexpr uint32_t kShutdownWaitMs = 5000;
inline constexpr uint32_t kShutdownPollMs = 100;
// Exit code when a host is still running.
inline constexpr int kExitHostStillRunning = 2;

// What the early modes ask of the platform.
class IRunningHostProbe {
 public:
  virtual ~IRunningHostProbe() = default;
  // Asks a running host to exit. Windows: opens the shutdown event with
  // EVENT_MODIFY_STATE and sets it; Linux: sends "shutdown" over the instance
  // socket. False when no host could be reached.
  virtual bool SignalShutdown() = 0;
  // Windows: the shutdown event or the mutex can be opened with SYNCHRONIZE,
  // or opening either fails with ERROR_ACCESS_DENIED. Linux: the lock file is
  // locked by another open file, or the instance socket accepts.
  virtual bool IsHostRunning() = 0;
};

// The platform probe (implemented beside SingleInstance).
std::unique_ptr<IRunningHostProbe> CreateRunningHostProbe(const InstanceNames& names = {});

// "--shutdown": signal, then check every 100 ms for at most 5000 ms until the
// host is gone. Still running: 2. Gone (or never there): restore_speakers, 0.
int RunShutdownMode(IRunningHostProbe& probe, IClock& clock, const std::function<void()>& restore_speakers);

// "--restore-speakers": a running host gives 2; otherwise restore_speakers, 0.
int RunRestoreSpeakersMode(IRunningHostProbe& probe, const std::function<void()>& restore_speakers);

}  // namespace orvane
