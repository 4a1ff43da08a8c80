#include "host/control/capture_selection.h"

#include <algorithm>

namespace orvane {

const char* CaptureReasonName(int reason) {
  static const char* const kNames[] = {"none",
                                       "extended-mode-off",
                                       "driver-not-installed",
                                       "client-selected-monitor",
                                       "virtual-create-failed",
                                       "virtual-monitor-not-found",
                                       "no-free-virtual-monitor",
                                       "monitor-restart-pending"};
  if (reason < 0 || reason >= static_cast<int>(std::size(kNames))) return "unknown";
  return kNames[reason];
}

CaptureReason StoredFallbackReason(CaptureReason reason) {
  switch (reason) {
    case CaptureReason::kDriverNotInstalled:
    case CaptureReason::kVirtualCreateFailed:
    case CaptureReason::kVirtualMonitorNotFound:
      return reason;
    default:
      return CaptureReason::kNone;
  }
}

MirrorFallbackCause MirrorFallbackFor(CaptureReason stored) {
  switch (stored) {
    case CaptureReason::kDriverNotInstalled:
      return MirrorFallbackCause::kDriverNotInstalled;
    case CaptureReason::kVirtualCreateFailed:
      return MirrorFallbackCause::kVirtualDisplayFailed;
    case CaptureReason::kVirtualMonitorNotFound:
      return MirrorFallbackCause::kMonitorNotFound;
    default:
      return MirrorFallbackCause::kNone;
  }
}

DeviceOrientation DeviceOrientationFromWire(uint32_t value) {
  switch (value) {
    case 1:
      return DeviceOrientation::kLandscape;
    case 2:
      return DeviceOrientation::kPortrait;
    default:
      return DeviceOrientation::kUnspecified;
  }
}

const char* DeviceOrientationName(DeviceOrientation orientation) {
  switch (orientation) {
    case DeviceOrientation::kLandscape:
      return "landscape";
    case DeviceOrientation::kPortrait:
      return "portrait";
    default:
      return "unspecified";
  }
}

StreamSize OrientStream(StreamSize requested, DeviceOrientation device, bool virtual_monitor) {
  const uint32_t long_side = std::max(requested.width, requested.height);
  const uint32_t short_side = std::min(requested.width, requested.height);
  if (!virtual_monitor) return {long_side, short_side};
  switch (device) {
    case DeviceOrientation::kLandscape:
      return {long_side, short_side};
    case DeviceOrientation::kPortrait:
      return {short_side, long_side};
    default:
      return requested;
  }
}

uint8_t ExtendedSide(const MonitorRect& p, const MonitorRect& q) {
  if (p.width <= 0 || p.height <= 0 || q.width <= 0 || q.height <= 0) return 0;
  const int64_t cx = static_cast<int64_t>(p.x) + p.width / 2;
  const int64_t cy = static_cast<int64_t>(p.y) + p.height / 2;
  if (cx >= static_cast<int64_t>(q.x) + q.width) return 1;
  if (cx < q.x) return 2;
  if (cy >= static_cast<int64_t>(q.y) + q.height) return 4;
  if (cy < q.y) return 3;
  return 0;
}

int AudioStopMode(int stop_reason, bool other_tablet_plays_audio) {
  switch (stop_reason) {
    case 0:
    case 1:
      return 2;
    case 2:
      return other_tablet_plays_audio ? 2 : 0;
    case 3:
      return 1;
    default:
      return 0;
  }
}

}  // namespace orvane
