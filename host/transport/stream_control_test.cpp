#include "host/transport/stream_control.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;

constexpr int64_t kSec = 1'000'000;
constexpr int64_t kT0 = 100 * kSec;  // stream start on the host clock

// A report every controller calls clean and stable.
LinkReport Clean(const std::string& route = "wifi_local") {
  LinkReport r;
  r.rtt_ms = 10;
  r.jitter_ms = 1;
  r.decode_pressure_pct = 20;
  r.route_class = route;
  return r;
}

LinkReport Lossy(const std::string& route, float loss) {
  LinkReport r = Clean(route);
  r.packet_loss_pct = loss;
  return r;
}

LinkReport Decode(float decode, const std::string& route = "wifi_local") {
  LinkReport r = Clean(route);
  r.decode_pressure_pct = decode;
  return r;
}

StreamControlStart StartOf(uint32_t width, uint32_t height, uint32_t fps, bool resize, const std::string& route,
                           uint32_t kbps) {
  StreamControlStart s;
  s.width = width;
  s.height = height;
  s.fps = fps;
  s.supports_resize = resize;
  s.route_class = route;
  s.negotiated_kbps = kbps;
  s.now_us = kT0;
  return s;
}

// ---------------------------------------------------------------------------
// Bounds, start, recovery window.

TEST(StreamBoundsTest, FollowTheTableAtEveryEdgeAndIgnoreOrientation) {
  struct Case {
    bool hevc;
    uint32_t width, height, fps;
    uint32_t minimum, maximum;
  };
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  const Case cases[] = {
      // H.264
      {false, 1919, 1080, 60, 2500, 16000},
      {false, 1920, 1080, 60, 3000, 25000},
      {false, 1920, 1079, 60, 2500, 16000},
      {false, 1920, 1200, 60, 3000, 25000},
      {false, 2559, 1440, 60, 3000, 25000},
      {false, 2560, 1440, 60, 6000, 35000},
      {false, 2560, 1600, 60, 6000, 35000},
      {false, 2560, 1439, 60, 3000, 25000},
      {false, 2560, 1080, 60, 3000, 25000},
      {false, 2560, 1079, 60, 2500, 16000},
      {false, 3840, 2160, 240, 6000, 35000},
      {false, 0, 0, 0, 2500, 16000},
      // HEVC
      {true, 1919, 1080, 60, 2500, 16000},
      {true, 1920, 1080, 60, 3000, 25000},
      {true, 2559, 1079, 60, 2500, 16000},
      {true, 2559, 1080, 60, 3000, 25000},
      {true, 2560, 1079, 60, 2500, 16000},
      {true, 2560, 1080, 60, 3000, 25000},
      {true, 2560, 1439, 60, 3000, 25000},
      {true, 2560, 1440, 60, 6000, 35000},
      {true, 2560, 1440, 120, 14000, 45000},
      {true, 3840, 2160, 119, 25000, 100000},
      {true, 3840, 2160, 120, 50000, 160000},
      {true, 3840, 2159, 119, 6000, 35000},
      {true, 3839, 2160, 120, 14000, 45000},
      {true, 7680, 4320, 60, 25000, 100000},
      {true, kMax, kMax, kMax, 50000, 160000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.hevc ? "HEVC " : "H.264 ") + std::to_string(c.width) + "x" +
                 std::to_string(c.height) + "@" + std::to_string(c.fps));
    const StreamBounds landscape = StreamBounds::For(c.hevc, c.width, c.height, c.fps);
    EXPECT_EQ(landscape.minimum_kbps, c.minimum);
    EXPECT_EQ(landscape.maximum_kbps, c.maximum);
    EXPECT_EQ(StreamBounds::For(c.hevc, c.height, c.width, c.fps), landscape);
  }
}

TEST(StreamControlTest, StartClampsTheNegotiatedBitrateAndReportsEveryOutput) {
  struct Case {
    uint32_t negotiated, expected;
  };
  const Case cases[] = {{160000, 25000}, {1000, 3000}, {0, 3000}, {12000, 12000}, {25000, 25000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.negotiated);
    StreamControl control;
    const StreamControlOutput out = control.Start(StartOf(1920, 1080, 60, true, "wifi_local", c.negotiated));
    EXPECT_EQ(out.bitrate_kbps, c.expected);
    EXPECT_EQ(control.Bitrate().TargetKbps(), c.expected);
    EXPECT_EQ(out.fps_cap, 0u);
    EXPECT_EQ(out.encode_scale_permille, 1000u);
    EXPECT_TRUE(out.bitrate_changed && out.fps_cap_changed && out.encode_scale_changed);
    EXPECT_EQ(control.Bounds(), (StreamBounds{3000, 25000}));
  }
}

TEST(StreamControlTest, DoesNothingBeforeStart) {
  StreamControl control;
  const StreamControlOutput a = control.OnReport(Lossy("wifi_local", 9), kT0, false);
  const StreamControlOutput b = control.ClientQualityProfile(5000);
  for (const StreamControlOutput& out : {a, b}) {
    EXPECT_FALSE(out.bitrate_changed || out.fps_cap_changed || out.encode_scale_changed);
  }
  EXPECT_FALSE(control.Started());
}

TEST(RecoveryWindowTest, LastsFourSecondsFromItsStart) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    int64_t start, now;
    bool inside;
  };
  const Case cases[] = {
      {0, kT0, false},                     // never started
      {kT0, kT0, true},
      {kT0, kT0 + kRecoveryWindowUs - 1, true},
      {kT0, kT0 + kRecoveryWindowUs, false},
      {kT0 + 1000, kT0, true},             // started on a later clock read
      {kMin, kMax, false},                 // no overflow
      {kMax, kMin, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InRecoveryWindow(c.start, c.now), c.inside) << c.start << " " << c.now;
  }
  EXPECT_EQ(ElapsedUs(kMin, kMax), kMax);
  EXPECT_EQ(ElapsedUs(kT0, kT0 - 1), 0);
}

TEST(AudioLossFlagTest, IsSetByHeavyLossOrReceiverDrops) {
  struct Case {
    float loss, recv;
    bool heavy;
  };
  const Case cases[] = {{0, 0, false}, {3.99f, 5.99f, false}, {4, 0, true}, {0, 6, true}, {100, 100, true}};
  for (const Case& c : cases) {
    LinkReport r;
    r.packet_loss_pct = c.loss;
    r.receiver_drop_pct = c.recv;
    EXPECT_EQ(HeavyLossForAudio(r), c.heavy) << c.loss << " " << c.recv;
  }
}

// ---------------------------------------------------------------------------
// Bitrate controller.

TEST(BitrateControllerTest, ChoosesTheProfileFromTheExactRouteClass) {
  const std::pair<const char*, RouteProfile> cases[] = {
      {"usb_ncm", RouteProfile::kUsbLan},    {"lan", RouteProfile::kUsbLan},
      {"wifi_local", RouteProfile::kWifiLocal}, {"wifi_lan", RouteProfile::kWifiLocal},
      {"USB_NCM", RouteProfile::kUnknown},   {"usb", RouteProfile::kUnknown},
      {"", RouteProfile::kUnknown},          {"cellular", RouteProfile::kUnknown},
  };
  for (const auto& [route, profile] : cases) EXPECT_EQ(RouteProfileFor(route), profile) << route;
  EXPECT_STREQ(RouteProfileName(RouteProfile::kUsbLan), "usb_lan");
  EXPECT_STREQ(RouteProfileName(RouteProfile::kWifiLocal), "wifi_local");
  EXPECT_STREQ(RouteProfileName(RouteProfile::kUnknown), "unknown");
}

TEST(BitrateControllerTest, ClassifiesReportsByTheRouteThresholds) {
  struct Case {
    const char* route = "x";
    uint32_t fps = 60;  // jitter unit 10 ms
    float loss = 0, rtt = 10, jitter = 1, recv = 0, decode = 20, late = 0;
    bool window = false, bound = false;
    LinkVerdict expected = LinkVerdict::kClean;
  };
  using V = LinkVerdict;
  const Case cases[] = {
      {.route = "x"},
      {.route = "usb_ncm"},
      {.route = "wifi_local"},
      // Loss.
      {.route = "wifi_local", .loss = 2.79f, .expected = V::kNeither},
      {.route = "wifi_local", .loss = 2.8f, .expected = V::kModerate},
      {.route = "wifi_local", .loss = 7.5f, .expected = V::kSevere},
      {.route = "x", .loss = 0.99f},
      {.route = "x", .loss = 2.0f, .expected = V::kModerate},
      {.route = "x", .loss = 4.0f, .expected = V::kSevere},
      {.route = "x", .loss = 4.0f, .window = true, .expected = V::kSevere},
      // Round trip.
      {.route = "usb_ncm", .rtt = 139},
      {.route = "lan", .rtt = 140, .expected = V::kModerate},
      {.route = "x", .rtt = 120, .expected = V::kModerate},
      {.route = "wifi_lan", .rtt = 104.9f},
      {.route = "wifi_lan", .rtt = 105, .expected = V::kModerate},
      // Receiver drops, not counted inside the recovery window.
      {.route = "x", .recv = 0.99f},
      {.route = "x", .recv = 1.0f, .expected = V::kNeither},
      {.route = "x", .recv = 2.0f, .expected = V::kModerate},
      {.route = "x", .recv = 6.0f, .expected = V::kSevere},
      {.route = "wifi_local", .recv = 3.5f, .expected = V::kModerate},
      {.route = "wifi_local", .recv = 8.0f, .expected = V::kSevere},
      {.route = "x", .recv = 10.0f, .window = true, .expected = V::kNeither},
      {.route = "x", .window = true, .expected = V::kNeither},
      // Decode pressure and late drops, not counted while decoder-bound.
      {.route = "x", .decode = 69.9f},
      {.route = "x", .decode = 70, .expected = V::kNeither},
      {.route = "x", .decode = 85, .expected = V::kModerate},
      {.route = "x", .decode = 100, .expected = V::kSevere},
      {.route = "x", .decode = 120, .bound = true, .expected = V::kNeither},
      {.route = "x", .decode = 120, .window = true, .expected = V::kNeither},
      {.route = "wifi_local", .decode = 90, .expected = V::kModerate},
      {.route = "wifi_local", .decode = 115, .expected = V::kSevere},
      {.route = "x", .late = 2.0f, .expected = V::kNeither},
      {.route = "x", .late = 2.5f, .expected = V::kModerate},
      {.route = "x", .late = 6.0f, .expected = V::kSevere},
      {.route = "wifi_local", .late = 6.0f, .expected = V::kModerate},
      {.route = "wifi_local", .late = 12.0f, .expected = V::kSevere},
      // Jitter counts only with loss >= 1 or when at most twice a measured
      // round trip.
      {.route = "x", .rtt = 10, .jitter = 35},
      {.route = "x", .rtt = 0, .jitter = 35},
      {.route = "x", .rtt = 20, .jitter = 35, .expected = V::kSevere},
      {.route = "x", .loss = 1.0f, .rtt = 0, .jitter = 25, .expected = V::kModerate},
      {.route = "x", .rtt = 10, .jitter = 15, .expected = V::kNeither},
      {.route = "x", .rtt = 10, .jitter = 9.9f},
      {.route = "wifi_local", .rtt = 20, .jitter = 34, .expected = V::kModerate},
      {.route = "wifi_local", .rtt = 20, .jitter = 35, .expected = V::kSevere},
      // The jitter unit follows the frame rate.
      {.route = "x", .fps = 30, .rtt = 20, .jitter = 39, .expected = V::kNeither},
      {.route = "x", .fps = 30, .rtt = 20, .jitter = 40, .expected = V::kModerate},
      {.route = "x", .fps = 100, .rtt = 10, .jitter = 14, .expected = V::kModerate},
      {.route = "x", .fps = 120, .rtt = 10, .jitter = 15, .expected = V::kSevere},
      {.route = "x", .fps = 144, .rtt = 10, .jitter = 4.9f},
  };
  for (const Case& c : cases) {
    LinkReport r;
    r.route_class = c.route;
    r.packet_loss_pct = c.loss;
    r.rtt_ms = c.rtt;
    r.jitter_ms = c.jitter;
    r.receiver_drop_pct = c.recv;
    r.decode_pressure_pct = c.decode;
    r.late_drop_pct = c.late;
    const LinkVerdict v = BitrateController::Classify(r, c.fps, c.window, c.bound);
    EXPECT_EQ(v, c.expected) << c.route << " fps=" << c.fps << " loss=" << c.loss << " rtt=" << c.rtt
                             << " jitter=" << c.jitter << " recv=" << c.recv << " decode=" << c.decode
                             << " late=" << c.late << " window=" << c.window << " bound=" << c.bound << ": got "
                             << LinkVerdictName(v);
  }
}

TEST(BitrateControllerTest, StressCutsTheBitrateByProfileAndSetsTheHold) {
  struct Case {
    const char* route;
    float loss;
    uint32_t expected_kbps, expected_hold;
  };
  const Case cases[] = {
      {"usb_ncm", 8, 16400, 4}, {"wifi_local", 8, 15600, 6}, {"", 8, 16000, 4},
      {"lan", 3, 18400, 2},     {"wifi_lan", 3, 18000, 4},   {"cellular", 3, 18000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.route);
    BitrateController abr;
    abr.Reset({3000, 25000}, 20000, 60);
    const BitrateController::Decision d = abr.OnReport(Lossy(c.route, c.loss), kT0, false, false);
    EXPECT_TRUE(d.evaluated && d.changed);
    EXPECT_EQ(abr.BitrateKbps(), c.expected_kbps);
    EXPECT_EQ(abr.Hold(), c.expected_hold);
  }

  LogCapture log;
  BitrateController abr;
  abr.Reset({3000, 25000}, 20000, 60);
  abr.OnReport(Lossy("usb_ncm", 8), kT0, false, false);
  EXPECT_TRUE(log.Contains("[WARN ] [ABR] Severe stress route=usb_ncm(profile=usb_lan) loss=8.00% rtt=10ms "
                           "jitter=1.0ms recv_drop=0.00% decode=20.0% late=0.00% -- bitrate 20000 -> 16400 kbps"));
  // A moderate report keeps the longer hold of the severe one.
  abr.OnReport(Lossy("usb_ncm", 3), kT0 + kSec, false, false);
  EXPECT_EQ(abr.BitrateKbps(), 15088u);
  EXPECT_EQ(abr.Hold(), 4u);
}

TEST(BitrateControllerTest, StaysWithinTheBoundsAndLogsOnlyChanges) {
  LogCapture log;
  BitrateController abr;
  abr.Reset({3000, 25000}, 3500, 60);
  abr.OnReport(Lossy("x", 9), kT0, false, false);
  EXPECT_EQ(abr.BitrateKbps(), 3000u);  // 2800 clamped
  EXPECT_FALSE(abr.OnReport(Lossy("x", 9), kT0 + kSec, false, false).changed);
  EXPECT_EQ(log.Count("[ABR] Severe stress"), 1u);

  abr.Reset({3000, 25000}, 24000, 60);
  for (int i = 1; i <= 6; ++i) abr.OnReport(Clean("x"), kT0 + i * kSec, false, false);
  EXPECT_EQ(abr.BitrateKbps(), 25000u);  // 25440 clamped, then no change
  EXPECT_EQ(log.Count("[ABR] Clean network"), 1u);
}

TEST(StreamControlTest, WifiModerateLossCutsTenPercentAndSkipsFourCleanReports) {
  LogCapture log;
  StreamControl control;
  control.Start(StartOf(1920, 1080, 60, false, "wifi_local", 20000));

  StreamControlOutput out = control.OnReport(Lossy("wifi_local", 3), kT0 + kSec, false);
  EXPECT_TRUE(out.bitrate_changed);
  EXPECT_EQ(out.bitrate_kbps, 18000u);
  EXPECT_TRUE(log.Contains("[WARN ] [ABR] Moderate stress route=wifi_local(profile=wifi_local) loss=3.00% rtt=10ms "
                           "jitter=1.0ms recv_drop=0.00% decode=20.0% late=0.00% -- bitrate 20000 -> 18000 kbps"));

  // Half a second later even severe loss is not looked at.
  out = control.OnReport(Lossy("wifi_local", 9), kT0 + kSec + kSec / 2, false);
  EXPECT_FALSE(out.bitrate_changed);
  EXPECT_EQ(control.BitrateKbps(), 18000u);

  // Four clean reports are skipped, then three more grow the bitrate.
  for (int t = 2; t <= 7; ++t) {
    out = control.OnReport(Clean(), kT0 + t * kSec, false);
    EXPECT_FALSE(out.bitrate_changed) << t;
    EXPECT_EQ(control.Bitrate().Hold(), static_cast<uint32_t>(t <= 5 ? 5 - t : 0)) << t;
  }
  out = control.OnReport(Clean(), kT0 + 8 * kSec, false);
  EXPECT_TRUE(out.bitrate_changed);
  EXPECT_EQ(out.bitrate_kbps, 18900u);
  EXPECT_TRUE(log.Contains("[INFO ] [ABR] Clean network route=wifi_local(profile=wifi_local) loss=0.00% rtt=10ms "
                           "jitter=1.0ms recv_drop=0.00% decode=20.0% hold=0 -- bitrate 18000 -> 18900 kbps"));
}

TEST(BitrateControllerTest, GrowsFasterFarBelowTheTargetAndRestartsCountingAfterAMixedReport) {
  LogCapture log;
  BitrateController abr;
  abr.Reset({3000, 25000}, 20000, 60);
  int64_t t = kT0;
  auto feed = [&](const LinkReport& r) {
    t += kSec;
    abr.OnReport(r, t, false, false);
    return abr.BitrateKbps();
  };
  EXPECT_EQ(feed(Lossy("ethernet", 5)), 16000u);
  EXPECT_EQ(feed(Lossy("ethernet", 5)), 12800u);  // below 70 % of 20000
  for (int i = 0; i < 4; ++i) EXPECT_EQ(feed(Clean("ethernet")), 12800u);  // hold
  EXPECT_EQ(feed(Clean("ethernet")), 12800u);
  EXPECT_EQ(feed(Clean("ethernet")), 14720u);  // two reports, x1.15
  EXPECT_TRUE(log.Contains("[INFO ] [ABR] Clean network route=ethernet(profile=unknown) loss=0.00% rtt=10ms "
                           "jitter=1.0ms recv_drop=0.00% decode=20.0% hold=0 -- bitrate 12800 -> 14720 kbps"));
  EXPECT_EQ(feed(Clean("ethernet")), 14720u);
  EXPECT_EQ(feed(Clean("ethernet")), 14720u);
  EXPECT_EQ(feed(Clean("ethernet")), 15603u);  // three reports, x1.06 truncated
  EXPECT_EQ(feed(Clean("ethernet")), 15603u);
  EXPECT_EQ(feed(Clean("ethernet")), 15603u);
  LinkReport mixed = Clean("ethernet");
  mixed.late_drop_pct = 2.0f;  // neither clean nor stress
  EXPECT_EQ(feed(mixed), 15603u);
  EXPECT_EQ(abr.CleanCount(), 0u);
  EXPECT_EQ(feed(Clean("ethernet")), 15603u);
  EXPECT_EQ(feed(Clean("ethernet")), 15603u);
  EXPECT_EQ(feed(Clean("ethernet")), 16539u);
}

TEST(BitrateControllerTest, AClientProfileGrantsOneGraceThatRepeatedProfilesDoNotBank) {
  LogCapture log;
  BitrateController abr;
  abr.Reset({3000, 25000}, 20000, 60);
  EXPECT_TRUE(abr.ClientQualityProfile(15000));
  EXPECT_TRUE(log.Contains("[INFO ] [ABR] Client quality profile target=15000 kbps -- bitrate 20000 -> 15000 kbps"));
  EXPECT_TRUE(abr.ClientQualityProfile(12000));
  EXPECT_EQ(abr.Grace(), 1u);

  BitrateController::Decision d = abr.OnReport(Lossy("x", 2.5f), kT0 + kSec, false, false);
  EXPECT_TRUE(d.grace_used);
  EXPECT_FALSE(d.changed);
  d = abr.OnReport(Lossy("x", 2.5f), kT0 + 2 * kSec, false, false);
  EXPECT_FALSE(d.grace_used);
  EXPECT_EQ(abr.BitrateKbps(), 10800u);

  // A target above the bitrate changes nothing and grants nothing; 0 is no
  // profile at all.
  log.Clear();
  EXPECT_FALSE(abr.ClientQualityProfile(30000));
  EXPECT_EQ(abr.TargetKbps(), 25000u);
  EXPECT_EQ(abr.Grace(), 0u);
  EXPECT_TRUE(log.Contains("[INFO ] [ABR] Client quality profile target=25000 kbps -- bitrate 10800 -> 10800 kbps"));
  EXPECT_FALSE(abr.ClientQualityProfile(0));
  EXPECT_EQ(log.Count("Client quality profile"), 1u);
  EXPECT_TRUE(abr.ClientQualityProfile(100));
  EXPECT_EQ(abr.BitrateKbps(), 3000u);

  // Severe loss is never forgiven; the grace waits for other stress.
  abr.Reset({3000, 25000}, 20000, 60);
  abr.ClientQualityProfile(15000);
  d = abr.OnReport(Lossy("x", 5), kT0 + kSec, false, false);
  EXPECT_FALSE(d.grace_used);
  EXPECT_EQ(abr.BitrateKbps(), 12000u);
  EXPECT_EQ(abr.Grace(), 1u);
  LinkReport drops = Clean("x");
  drops.receiver_drop_pct = 10;
  d = abr.OnReport(drops, kT0 + 2 * kSec, false, false);
  EXPECT_TRUE(d.grace_used);
  EXPECT_EQ(abr.BitrateKbps(), 12000u);
}

TEST(BitrateControllerTest, TheRecoveryWindowSparesReceiverDropsAndKeepsTheCleanCount) {
  BitrateController abr;
  abr.Reset({3000, 25000}, 20000, 60);
  LinkReport drops = Clean("x");
  drops.receiver_drop_pct = 10;
  abr.OnReport(Clean("x"), kT0 + 1 * kSec, false, false);
  abr.OnReport(Clean("x"), kT0 + 2 * kSec, false, false);
  const BitrateController::Decision d = abr.OnReport(drops, kT0 + 3 * kSec, true, false);
  EXPECT_EQ(d.verdict, LinkVerdict::kNeither);
  EXPECT_EQ(abr.CleanCount(), 2u);
  abr.OnReport(Clean("x"), kT0 + 4 * kSec, false, false);
  EXPECT_EQ(abr.BitrateKbps(), 21200u);
  abr.OnReport(drops, kT0 + 5 * kSec, false, false);
  EXPECT_EQ(abr.BitrateKbps(), 16960u);
}

// ---------------------------------------------------------------------------
// Decoder-load controller.

struct LoadEvent {
  int64_t second;
  LoadAction action;
  uint32_t fps_cap, scale;
  bool operator==(const LoadEvent&) const = default;
};

std::ostream& operator<<(std::ostream& os, const LoadEvent& e) {
  return os << "{" << e.second << "s " << LoadActionName(e.action) << " cap=" << e.fps_cap << " scale=" << e.scale
            << "}";
}

// Feeds one report a second from first_second to last_second (report(t)
// gives each) and returns the actions taken.
std::vector<LoadEvent> Drive(DecoderLoadController& load, int64_t first_second, int64_t last_second,
                             const std::function<LinkReport(int64_t)>& report) {
  std::vector<LoadEvent> events;
  for (int64_t t = first_second; t <= last_second; ++t) {
    const DecoderLoadController::Decision d = load.OnReport(report(t), kT0 + t * kSec, false);
    if (d.action != LoadAction::kNone) events.push_back({t, d.action, d.fps_cap, d.scale_permille});
  }
  return events;
}

TEST(DecoderLoadControllerTest, StepsDownTheLadderThreeSecondsApartAfterTheQuietStart) {
  using A = LoadAction;
  struct Case {
    const char* name;
    uint32_t width, height, fps;
    bool resize;
    std::vector<LoadEvent> expected;
  };
  const Case cases[] = {
      {"60 fps, no resize: floor 20", 1920, 1080, 60, false,
       {{9, A::kFpsDown, 45, 1000}, {12, A::kFpsDown, 30, 1000}, {15, A::kFpsDown, 24, 1000},
        {18, A::kFpsDown, 20, 1000}}},
      {"60 fps with resize: floor 30, then the size", 1920, 1080, 60, true,
       {{9, A::kFpsDown, 45, 1000}, {12, A::kFpsDown, 30, 1000}, {15, A::kResolutionDown, 30, 750},
        {18, A::kResolutionDown, 30, 500}}},
      {"portrait shrinks like landscape (600x960)", 1200, 1920, 60, true,
       {{9, A::kFpsDown, 45, 1000}, {12, A::kFpsDown, 30, 1000}, {15, A::kResolutionDown, 30, 750},
        {18, A::kResolutionDown, 30, 500}}},
      {"500/1000 would be 500x300", 1000, 600, 60, true,
       {{9, A::kFpsDown, 45, 1000}, {12, A::kFpsDown, 30, 1000}, {15, A::kResolutionDown, 30, 750}}},
      {"120 fps starts at 90", 2560, 1600, 120, true,
       {{9, A::kFpsDown, 90, 1000}, {12, A::kFpsDown, 60, 1000}, {15, A::kFpsDown, 45, 1000},
        {18, A::kFpsDown, 30, 1000}, {21, A::kResolutionDown, 30, 750}, {24, A::kResolutionDown, 30, 500}}},
      {"30 fps with resize goes straight to the size", 1920, 1080, 30, true,
       {{9, A::kResolutionDown, 0, 750}, {12, A::kResolutionDown, 0, 500}}},
      {"30 fps without resize", 1920, 1080, 30, false, {{9, A::kFpsDown, 24, 1000}, {12, A::kFpsDown, 20, 1000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderLoadController load;
    load.Reset(c.width, c.height, c.fps, c.resize, kT0);
    EXPECT_EQ(Drive(load, 1, 40, [](int64_t) { return Decode(120); }), c.expected);
    EXPECT_FALSE(load.CanStepDown());
  }
}

TEST(DecoderLoadControllerTest, LogsEachActionAndFlagsTheDecoderBoundWhileItCanStillHelp) {
  LogCapture log;
  DecoderLoadController load;
  load.Reset(1920, 1080, 60, true, kT0);
  // Bound but handled during the quiet start.
  EXPECT_TRUE(load.OnReport(Decode(120), kT0 + kSec, false).decoder_bound);
  Drive(load, 2, 17, [](int64_t) { return Decode(120); });
  // The last step is still flagged; after it nothing is left to try.
  EXPECT_TRUE(load.OnReport(Decode(120), kT0 + 18 * kSec, false).decoder_bound);
  EXPECT_FALSE(load.OnReport(Decode(120), kT0 + 19 * kSec, false).decoder_bound);
  EXPECT_TRUE(log.Contains("[WARN ] [Load] Decoder-bound client action=fps_down decode=120.0% late=0.00% "
                           "loss=0.00% fps_cap=45 scale=1000/1000 upgrade_hold_s=15"));
  EXPECT_TRUE(log.Contains("[WARN ] [Load] Decoder-bound client action=resolution_down decode=120.0% late=0.00% "
                           "loss=0.00% fps_cap=30 scale=500/1000 upgrade_hold_s=15"));
  EXPECT_EQ(log.Count("[Load] Decoder-bound client"), 4u);
  EXPECT_EQ(log.Count("action=none"), 0u);
}

TEST(DecoderLoadControllerTest, ActsOnlyOnDecoderBoundReportsOverACleanNetworkOutsideTheWindow) {
  struct Case {
    const char* name;
    float decode, late, loss, recv;
    bool window;
    bool acts;
  };
  const Case cases[] = {
      {"decode 100", 100, 0, 0, 0, false, true},
      {"late 5", 20, 5, 0, 0, false, true},
      {"decode 99.9, late 4.9", 99.9f, 4.9f, 0, 0, false, false},
      {"loss 2 means the network", 120, 0, 2, 0, false, false},
      {"recv_drop 2 means the network", 120, 0, 0, 2, false, false},
      {"recovery window", 120, 0, 0, 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderLoadController load;
    load.Reset(1920, 1080, 60, false, kT0);
    LinkReport r = Decode(c.decode);
    r.late_drop_pct = c.late;
    r.packet_loss_pct = c.loss;
    r.receiver_drop_pct = c.recv;
    bool acted = false;
    for (int64_t t = 1; t <= 12; ++t) {
      acted |= load.OnReport(r, kT0 + t * kSec, c.window).action != LoadAction::kNone;
    }
    EXPECT_EQ(acted, c.acts);
  }
  // A healthy report between two bound ones breaks the run.
  DecoderLoadController load;
  load.Reset(1920, 1080, 60, false, kT0);
  EXPECT_EQ(Drive(load, 8, 20, [](int64_t t) { return t % 2 == 0 ? Decode(120) : Decode(30); }),
            std::vector<LoadEvent>{});
}

TEST(DecoderLoadControllerTest, TenHealthyReportsAfterTheHoldUndoTheSizeBeforeTheFrameRate) {
  using A = LoadAction;
  struct Case {
    const char* name;
    int64_t unhealthy_second;  // one report of decode 80 (0: none)
    std::vector<LoadEvent> expected;
  };
  const Case cases[] = {
      {"steady",
       0,
       {{33, A::kResolutionUp, 30, 750},
        {48, A::kResolutionUp, 30, 1000},
        {63, A::kFpsUp, 45, 1000},
        {78, A::kFpsUp, 0, 1000}}},
      {"a busy report restarts the count",
       27,
       {{37, A::kResolutionUp, 30, 750},
        {52, A::kResolutionUp, 30, 1000},
        {67, A::kFpsUp, 45, 1000},
        {82, A::kFpsUp, 0, 1000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    DecoderLoadController load;
    load.Reset(1920, 1080, 60, true, kT0);
    ASSERT_EQ(Drive(load, 1, 18, [](int64_t) { return Decode(120); }).size(), 4u);
    EXPECT_EQ(Drive(load, 19, 120,
                    [&](int64_t t) { return t == c.unhealthy_second ? Decode(80) : Decode(30); }),
              c.expected);
    EXPECT_EQ(load.UpgradeHoldUs(), 15 * kSec);
    EXPECT_TRUE(log.Contains("[WARN ] [Load] Decoder-bound client action=fps_up decode=30.0% late=0.00% "
                             "loss=0.00% fps_cap=0 scale=1000/1000 upgrade_hold_s=15"));
  }
}

TEST(DecoderLoadControllerTest, TheUpgradeHoldDoublesUpTo160SecondsWhenAnUpgradeFailsSoon) {
  DecoderLoadController load;
  load.Reset(1920, 1080, 60, false, kT0);
  bool bound_phase = true;
  int64_t last_down = 0;
  std::vector<int64_t> holds_s;  // after each downgrade
  for (int64_t t = 1; t <= 1000 && holds_s.size() < 6; ++t) {
    const DecoderLoadController::Decision d =
        load.OnReport(bound_phase ? Decode(120) : Decode(30), kT0 + t * kSec, false);
    if (d.action == LoadAction::kFpsDown) {
      holds_s.push_back(load.UpgradeHoldUs() / kSec);
      last_down = t;
      bound_phase = false;
    } else if (d.action == LoadAction::kFpsUp) {
      // The upgrade comes exactly one hold after the downgrade.
      EXPECT_EQ((t - last_down) * kSec, load.UpgradeHoldUs()) << t;
      bound_phase = true;
    }
  }
  EXPECT_EQ(holds_s, (std::vector<int64_t>{15, 30, 60, 120, 160, 160}));

  // A downgrade more than 20 s after the upgrade keeps the hold.
  load.Reset(1920, 1080, 60, false, kT0);
  const auto events = Drive(load, 1, 46, [](int64_t t) {
    if (t <= 9) return Decode(120);
    if (t <= 24) return Decode(30);  // upgrade at 24
    if (t <= 44) return Decode(80);  // neither bound nor healthy
    return Decode(120);              // downgrade at 46
  });
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].second, 46);
  EXPECT_EQ(load.UpgradeHoldUs(), 15 * kSec);
}

TEST(StreamControlTest, TheBitrateLeavesDecodePressureToTheLoadControllerUntilItRunsOutOfSteps) {
  StreamControl control;
  control.Start(StartOf(1920, 1080, 60, false, "wifi_local", 20000));
  std::vector<uint32_t> caps;
  for (int64_t t = 1; t <= 18; ++t) {
    const StreamControlOutput out = control.OnReport(Decode(120), kT0 + t * kSec, false);
    EXPECT_FALSE(out.bitrate_changed) << t;
    if (out.fps_cap_changed) caps.push_back(out.fps_cap);
  }
  EXPECT_EQ(caps, (std::vector<uint32_t>{45, 30, 24, 20}));
  EXPECT_EQ(control.FpsCap(), 20u);
  const StreamControlOutput out = control.OnReport(Decode(120), kT0 + 19 * kSec, false);
  EXPECT_TRUE(out.bitrate_changed);
  EXPECT_EQ(out.bitrate_kbps, 15600u);  // Wi-Fi severe: decode >= 115
}

// ---------------------------------------------------------------------------
// Startup ramp.

TEST(StartupRampTest, StartsLargeWifiStreamsReduced) {
  struct Case {
    const char* route;
    uint32_t width, height;
    bool resize;
    uint32_t expected;
  };
  const Case cases[] = {
      {"wifi_local", 3840, 2160, true, 666}, {"wifi_local", 2160, 3840, true, 666},
      {"", 3840, 2160, true, 666},           {"xy", 3840, 2160, true, 666},
      {"lan", 3840, 2160, true, 666},        {"usb_ncm", 3840, 2160, true, 1000},
      {"my_usb_link", 3840, 2160, true, 1000}, {"wifi_local", 2560, 1600, true, 1000},
      {"wifi_local", 3840, 2160, false, 1000}, {"wifi_local", 0, 2160, true, 1000},
      {"wifi_local", 30000, 100, true, 100},   {"wifi_local", 4294967295u, 1, true, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.route) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    StartupRamp ramp;
    ramp.Reset(c.route, c.width, c.height, c.resize);
    EXPECT_EQ(ramp.ScalePermille(), c.expected);
  }
  LogCapture log;
  StartupRamp ramp;
  ramp.Reset("wifi_local", 3840, 2160, true);
  ramp.Reset("", 2160, 3840, true);
  ramp.Reset("usb_ncm", 3840, 2160, true);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "[INFO ] [Load] Startup ramp: route=wifi_local starts the encode at 666/1000 of "
                             "3840x2160; full size after a stable period",
                             "[INFO ] [Load] Startup ramp: route=not_reported(wifi_rules) starts the encode at "
                             "666/1000 of 2160x3840; full size after a stable period",
                         }));
}

TEST(StartupRampTest, GoesToFullSizeAfterTenSecondsOfStableReports) {
  struct Case {
    const char* name;
    int64_t unstable_second;  // 0: none
    int64_t window_second;    // an unstable report inside the window (0: none)
    int64_t full_second;
  };
  const Case cases[] = {
      {"stable from 1 s", 0, 0, 11},
      {"loss at 5 s restarts the period", 5, 0, 16},
      {"the recovery window neither ends nor extends it", 0, 5, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    StreamControl control;
    EXPECT_EQ(control.Start(StartOf(3840, 2160, 60, true, "wifi_local", 30000)).encode_scale_permille, 666u);
    int64_t full = 0;
    for (int64_t t = 1; t <= 30 && full == 0; ++t) {
      const bool odd = t == c.unstable_second || t == c.window_second;
      const StreamControlOutput out =
          control.OnReport(odd ? Lossy("wifi_local", 1.5f) : Clean(), kT0 + t * kSec, t == c.window_second);
      if (out.encode_scale_changed) {
        EXPECT_EQ(out.encode_scale_permille, 1000u);
        full = t;
      }
    }
    EXPECT_EQ(full, c.full_second);
    EXPECT_TRUE(log.Contains("[INFO ] [Load] Startup ramp: link stable for 10 s; encode size 666/1000 -> full"));
  }

  // Over USB there is no ramp at all.
  StreamControl control;
  EXPECT_EQ(control.Start(StartOf(3840, 2160, 60, true, "usb_ncm", 30000)).encode_scale_permille, 1000u);
}

TEST(StreamControlTest, TheEncodeScaleIsTheSmallerOfRampAndLoad) {
  StreamControl control;
  control.Start(StartOf(3840, 2160, 60, true, "wifi_local", 30000));
  std::vector<std::pair<int64_t, uint32_t>> scales;
  for (int64_t t = 1; t <= 40; ++t) {
    const StreamControlOutput out = control.OnReport(t <= 15 ? Decode(120) : Decode(30), kT0 + t * kSec, false);
    if (out.encode_scale_changed) scales.emplace_back(t, out.encode_scale_permille);
  }
  // The load goes to 750 at 15 s under the ramp's 666; the ramp ends at 26 s
  // (stable from 16 s), leaving 750; the load undoes it at 30 s.
  EXPECT_EQ(scales, (std::vector<std::pair<int64_t, uint32_t>>{{26, 750}, {30, 1000}}));
}

// ---------------------------------------------------------------------------
// Debug resize schedule.

TEST(DebugResizeScheduleTest, UsesOnlyThreeDigitValuesAndLogsTheRawTextEscaped) {
  struct Case {
    std::optional<std::string> env;
    bool resize;
    bool enabled;
    std::string line;  // empty: none
  };
  const Case cases[] = {
      {"500", true, true, "[WARN ] [Load] Debug encode resize schedule enabled (permille=500 client_support=yes)"},
      {"500", false, false,
       "[WARN ] [Load] Debug encode resize schedule inactive (permille=500 client_support=no)"},
      {"0100", true, true, "[WARN ] [Load] Debug encode resize schedule enabled (permille=0100 client_support=yes)"},
      {"99", true, false, "[WARN ] [Load] Debug encode resize schedule ignored (permille=99 client_support=yes)"},
      {"1000", true, false,
       "[WARN ] [Load] Debug encode resize schedule ignored (permille=1000 client_support=yes)"},
      {"5x", true, false, "[WARN ] [Load] Debug encode resize schedule ignored (permille=5x client_support=yes)"},
      {"", true, false, "[WARN ] [Load] Debug encode resize schedule ignored (permille= client_support=yes)"},
      {"\n500\x01\\" + std::string(40, '9'), true, false,
       "[WARN ] [Load] Debug encode resize schedule ignored (permille=\\x0A500\\x01\\\\" + std::string(26, '9') +
           " client_support=yes)"},
      {std::nullopt, true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    DebugResizeSchedule schedule;
    schedule.Reset(c.env, c.resize, kT0);
    EXPECT_EQ(schedule.Enabled(), c.enabled);
    EXPECT_EQ(log.Lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
  }
  EXPECT_EQ(DebugResizeSchedule::ParsePermille("999"), 999u);
  EXPECT_EQ(DebugResizeSchedule::ParsePermille("00500"), std::nullopt);
  EXPECT_EQ(DebugResizeSchedule::ParsePermille("-500"), std::nullopt);
  EXPECT_EQ(DebugResizeSchedule::ParsePermille(" 500"), std::nullopt);
  EXPECT_EQ(DebugResizeSchedule::ParsePermille("99999999999999999999"), std::nullopt);
}

TEST(DebugResizeScheduleTest, AlternatesInEightSecondPeriodsFromSixSeconds) {
  LogCapture log;
  StreamControl control;
  StreamControlStart start = StartOf(1920, 1080, 60, true, "wifi_local", 20000);
  start.debug_env = "500";
  control.Start(start);
  std::vector<std::pair<int64_t, uint32_t>> scales;
  for (int64_t t = 1; t <= 40; ++t) {
    const StreamControlOutput out = control.OnReport(Clean(), kT0 + t * kSec, false);
    if (out.encode_scale_changed) scales.emplace_back(t, out.encode_scale_permille);
  }
  EXPECT_EQ(scales, (std::vector<std::pair<int64_t, uint32_t>>{{6, 500}, {14, 1000}, {22, 500}, {30, 1000},
                                                                {38, 500}}));
  EXPECT_EQ(log.Count("[WARN ] [Load] Debug encode resize -> 500/1000"), 3u);
  EXPECT_EQ(log.Count("[WARN ] [Load] Debug encode resize -> 1000/1000"), 2u);

  // Without resize support nothing changes.
  start.supports_resize = false;
  control.Start(start);
  for (int64_t t = 1; t <= 20; ++t) EXPECT_FALSE(control.OnReport(Clean(), kT0 + t * kSec, false).encode_scale_changed);
}

// ---------------------------------------------------------------------------
// Drop reasons.

TEST(DropReasonsLogTest, LogsNewTextFiveSecondsApartWhileDroppingAndThirtyOtherwise) {
  LogCapture log;
  DropReasonsLog drops;
  drops.Reset();
  struct Step {
    int64_t second;
    std::string text;
    float recv, late;
    bool logged;
  };
  const Step steps[] = {
      {1, "", 1, 0, false},                 // nothing to say
      {2, "decoder:3\x01\n", 1, 0, true},   // the first line at once
      {4, "decoder:4", 1, 0, false},        // 2 s later
      {7, "decoder:4", 0, 0.5f, true},      // 5 s, still dropping
      {13, "decoder:4", 1, 0, false},       // the same text
      {20, "decoder:5", 0, 0, false},       // nothing dropping: 30 s
      {37, "decoder:5", 0, 0, true},
      {40, "decoder:\xC3\xA9", 1, 0, false},
      {42, "decoder:\xC3\xA9", 1, 0, true},
  };
  for (const Step& s : steps) {
    LinkReport r = Clean();
    r.drop_reasons = s.text;
    r.receiver_drop_pct = s.recv;
    r.late_drop_pct = s.late;
    EXPECT_EQ(drops.OnReport(r, kT0 + s.second * kSec), s.logged) << s.second;
  }
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "[INFO ] [ClientDrops] route=wifi_local recv_drop=1.00% late=0.00% decode=20.0% since_start: "
                "decoder:3??",
                "[INFO ] [ClientDrops] route=wifi_local recv_drop=0.00% late=0.50% decode=20.0% since_start: "
                "decoder:4",
                "[INFO ] [ClientDrops] route=wifi_local recv_drop=0.00% late=0.00% decode=20.0% since_start: "
                "decoder:5",
                "[INFO ] [ClientDrops] route=wifi_local recv_drop=1.00% late=0.00% decode=20.0% since_start: "
                "decoder:??",
            }));
}

TEST(DropReasonsLogTest, EscapesTheRouteAndBoundsTheText) {
  LogCapture log;
  StreamControl control;
  control.Start(StartOf(1920, 1080, 60, false, "wifi_local", 20000));
  LinkReport r = Clean("wifi\n\\x");
  r.drop_reasons = std::string(5000, 'a');
  control.OnReport(r, kT0 + kSec, false);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], "[INFO ] [ClientDrops] route=wifi\\x0A\\\\x recv_drop=0.00% late=0.00% decode=20.0% "
                            "since_start: " +
                                std::string(kDropReasonsLoggedBytes, 'a'));
}

}  // namespace
}  // namespace orvane
