#pragma once
// The stream's pure decisions: why a stream mirrors a monitor instead of
// showing a virtual one (and what the tablet is told), how the stream is
// oriented to the tablet, on which side of the primary monitor the extended
// display lies, and how audio stops with the stream.

#include <cstdint>

#include "host/control/protocol_handler.h"

namespace orvane {

// The session's capture reasons, logged by name.
enum class CaptureReason : int {
  kNone = 0,
  kExtendedModeOff = 1,
  kDriverNotInstalled = 2,
  kClientSelectedMonitor = 3,
  kVirtualCreateFailed = 4,
  kVirtualMonitorNotFound = 5,
  kNoFreeVirtualMonitor = 6,
  kMonitorRestartPending = 7,
};
// "none", "extended-mode-off", "driver-not-installed", "client-selected-monitor",
// "virtual-create-failed", "virtual-monitor-not-found", "no-free-virtual-monitor",
// "monitor-restart-pending"; "unknown" for any other value.
const char* CaptureReasonName(int reason);
// Only 2, 4 and 5 are kept as the stream's mirror fallback reason.
CaptureReason StoredFallbackReason(CaptureReason reason);
// StreamStarted's field: 2 driver not installed, 4 virtual display failed,
// 5 monitor not found, else none.
MirrorFallbackCause MirrorFallbackFor(CaptureReason stored);

enum class CaptureSelection : int {
  kSelected = 0,
  kKeptPrevious = 1,  // the requested monitor was invalid
  kRefused = 2,       // ErrorMessage and StreamStopped were sent
};

// The tablet's orientation as DisplayOrientationUpdate carries it.
enum class DeviceOrientation : uint32_t { kUnspecified = 0, kLandscape = 1, kPortrait = 2 };
DeviceOrientation DeviceOrientationFromWire(uint32_t value);
// "landscape", "portrait", "unspecified".
const char* DeviceOrientationName(DeviceOrientation orientation);

struct StreamSize {
  uint32_t width = 0;
  uint32_t height = 0;
  friend bool operator==(const StreamSize&, const StreamSize&) = default;
};

// A virtual monitor takes the tablet's orientation (unspecified: as asked);
// a mirrored monitor is always streamed landscape.
StreamSize OrientStream(StreamSize requested, DeviceOrientation device, bool virtual_monitor);

struct MonitorRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// The side of the primary monitor on which the streamed monitor's centre
// lies: 1 right, 2 left, 3 above, 4 below, 0 none (either without a
// positive size).
uint8_t ExtendedSide(const MonitorRect& streamed, const MonitorRect& primary);

// The stop reasons of a stream.
enum class StreamStopReason : int { kRestart = 0, kByTablet = 2, kLinkDropped = 3, kSessionEnds = 4 };

// How the audio pipeline stops: 0 and 1 give 2; 2 gives 2 when another
// tablet plays the audio, else 0; 3 gives 1; others 0.
int AudioStopMode(int stop_reason, bool other_tablet_plays_audio);

}  // namespace orvane
