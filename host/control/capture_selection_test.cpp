#include "host/control/capture_selection.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(CaptureSelectionTest, ReasonNamesAndWhatTheTabletIsTold) {
  struct Case {
    int reason;
    const char* name;
    MirrorFallbackCause told;
  } cases[] = {
      {0, "none", MirrorFallbackCause::kNone},
      {1, "extended-mode-off", MirrorFallbackCause::kNone},
      {2, "driver-not-installed", MirrorFallbackCause::kDriverNotInstalled},
      {3, "client-selected-monitor", MirrorFallbackCause::kNone},
      {4, "virtual-create-failed", MirrorFallbackCause::kVirtualDisplayFailed},
      {5, "virtual-monitor-not-found", MirrorFallbackCause::kMonitorNotFound},
      {6, "no-free-virtual-monitor", MirrorFallbackCause::kNone},
      {7, "monitor-restart-pending", MirrorFallbackCause::kNone},
      {8, "unknown", MirrorFallbackCause::kNone},
      {-1, "unknown", MirrorFallbackCause::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(CaptureReasonName(c.reason), c.name) << c.reason;
    if (c.reason >= 0 && c.reason <= 7) {
      EXPECT_EQ(MirrorFallbackFor(StoredFallbackReason(static_cast<CaptureReason>(c.reason))), c.told) << c.reason;
    }
  }
}

TEST(CaptureSelectionTest, StreamOrientation) {
  struct Case {
    StreamSize asked;
    DeviceOrientation device;
    bool virtual_monitor;
    StreamSize streamed;
  } cases[] = {
      {{1200, 1920}, DeviceOrientation::kPortrait, false, {1920, 1200}},  // a mirror stays landscape
      {{1200, 1920}, DeviceOrientation::kUnspecified, false, {1920, 1200}},
      {{1920, 1200}, DeviceOrientation::kPortrait, true, {1200, 1920}},
      {{1200, 1920}, DeviceOrientation::kLandscape, true, {1920, 1200}},
      {{1200, 1920}, DeviceOrientation::kUnspecified, true, {1200, 1920}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OrientStream(c.asked, c.device, c.virtual_monitor), c.streamed)
        << c.asked.width << "x" << c.asked.height << " " << DeviceOrientationName(c.device);
  }
  EXPECT_EQ(DeviceOrientationFromWire(2), DeviceOrientation::kPortrait);
  EXPECT_EQ(DeviceOrientationFromWire(9), DeviceOrientation::kUnspecified);
}

TEST(CaptureSelectionTest, ExtendedSideFromTheCentre) {
  const MonitorRect primary{0, 0, 1920, 1080};
  struct Case {
    MonitorRect streamed;
    uint8_t side;
  } cases[] = {
      {{1920, 0, 1280, 800}, 1},  {{-1280, 0, 1280, 800}, 2}, {{0, -800, 1280, 800}, 3},
      {{0, 1080, 1280, 800}, 4},  {{100, 100, 200, 200}, 0},  {{1920, 0, 0, 800}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtendedSide(c.streamed, primary), c.side) << c.streamed.x << "," << c.streamed.y;
  EXPECT_EQ(ExtendedSide({1920, 0, 1280, 800}, {0, 0, 0, 0}), 0);
}

TEST(CaptureSelectionTest, AudioStopModeFromTheStopReason) {
  struct Case {
    int reason;
    bool other_plays;
    int mode;
  } cases[] = {{0, false, 2}, {1, false, 2}, {2, true, 2}, {2, false, 0}, {3, false, 1}, {4, true, 0}, {9, false, 0}};
  for (const auto& c : cases) EXPECT_EQ(AudioStopMode(c.reason, c.other_plays), c.mode) << c.reason;
}

}  // namespace
}  // namespace orvane
