#pragma once
// Stream control: the decisions a running stream takes from the tablet's
// statistics reports (about one a second).
//
// - BitrateController ("[ABR]"): lowers the video bitrate quickly under
//   network stress and raises it slowly on a clean network, with thresholds
//   per route (USB link, Wi-Fi, unknown).
// - DecoderLoadController ("[Load]"): when the tablet's decoder rather than
//   the network is the bottleneck, caps the frame rate along a fixed ladder,
//   then shrinks the encode size, and undoes both step by step once the
//   tablet has recovered.
// - StartupRamp: on Wi-Fi routes a large stream starts at a reduced encode
//   size and goes to full size after 10 s of a stable link.
// - DebugResizeSchedule: a developer switch that alternates the encode size
//   to exercise the tablet's resize path.
// - DropReasonsLog: the tablet's own account of its drops, logged sparingly.
//
// StreamControl holds all of them for one stream. It is pure logic: no
// threads, no locks, no platform calls; the session calls it under its
// stream-control lock and publishes the outputs to the frame loop, the media
// sender and the retransmission budget. Time is the host clock in
// microseconds.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// The tablet's figures as the controllers use them. The protocol handler has
// sanitised them already: all finite, decode_pressure_pct 0..1000, the other
// percentages 0..100. The texts are untrusted and are escaped before they are
// logged.
struct LinkReport {
  float rtt_ms = 0;
  float packet_loss_pct = 0;
  float jitter_ms = 0;
  float receiver_drop_pct = 0;
  float decode_pressure_pct = 0;
  float late_drop_pct = 0;
  std::string route_class;
  std::string drop_reasons;
};

// Bitrate bounds of a stream (kbit/s), from its long side S, its short side s
// (so portrait and landscape get the same), the codec and the frame rate.
struct StreamBounds {
  uint32_t minimum_kbps = 0;
  uint32_t maximum_kbps = 0;
  static StreamBounds For(bool hevc, uint32_t width, uint32_t height, uint32_t fps);
  uint32_t Clamp(uint32_t kbps) const;
  bool operator==(const StreamBounds&) const = default;
};

// Elapsed microseconds from `from` to `to`; 0 when `to` is not later.
// Never overflows.
int64_t ElapsedUs(int64_t from_us, int64_t to_us);

// ---------------------------------------------------------------------------
// Recovery window: after the frame loop asks for a keyframe for its own
// reasons (resize, oversize drop, resume, stale frame, reset), receiver drops
// are not network stress and the load controller takes no action.

inline constexpr int64_t kRecoveryWindowUs = 4'000'000;

// True while window_start_us (0 = never started) is less than 4 s ago. A
// start slightly after now (another thread's clock read) counts as inside.
bool InRecoveryWindow(int64_t window_start_us, int64_t now_us);

// The flag that goes with the report's loss to the audio pipeline: loss of at
// least 4 % or receiver drops of at least 6 %.
inline constexpr float kAudioHeavyLossPct = 4.0f;
inline constexpr float kAudioHeavyRecvDropPct = 6.0f;
bool HeavyLossForAudio(const LinkReport& report);

// ---------------------------------------------------------------------------
// Bitrate controller.

// Threshold sets chosen from the report's route class.
enum class RouteProfile { kUsbLan, kWifiLocal, kUnknown };
// "usb_lan", "wifi_local", "unknown".
const char* RouteProfileName(RouteProfile profile);
// "usb_ncm", "lan" -> USB; "wifi_local", "wifi_lan" -> Wi-Fi; else unknown.
RouteProfile RouteProfileFor(std::string_view route_class);

enum class LinkVerdict { kNeither, kClean, kModerate, kSevere };
// "neither", "clean", "moderate", "severe".
const char* LinkVerdictName(LinkVerdict verdict);

inline constexpr int64_t kAbrDecisionIntervalUs = 1'000'000;

class BitrateController {
 public:
  // Resets for a new stream: current = target = the negotiated bitrate
  // clamped to the bounds.
  void Reset(const StreamBounds& bounds, uint32_t negotiated_kbps, uint32_t fps);

  // The client's quality profile (target_kbps != 0; 0 is ignored). The target
  // is clamped to the bounds; a target below the current bitrate lowers the
  // bitrate to it, resets the clean count and sets one grace (never more than
  // one, however many profiles arrive). True when the bitrate changed.
  bool ClientQualityProfile(uint32_t target_kbps);

  struct Decision {
    bool evaluated = false;  // false: within 1 s of the last decision
    LinkVerdict verdict = LinkVerdict::kNeither;
    bool grace_used = false;
    bool changed = false;
  };
  // One report; decoder_bound comes from the load controller of the same
  // report.
  Decision OnReport(const LinkReport& report, int64_t now_us, bool in_recovery_window, bool decoder_bound);

  // The verdict for one report (no state): exposed for the threshold tables.
  static LinkVerdict Classify(const LinkReport& report, uint32_t fps, bool in_recovery_window,
                              bool decoder_bound);
  // Jitter unit w: 20 below 60 fps, 10 below 90, 7 below 120, else 5.
  static float JitterUnitMs(uint32_t fps);

  uint32_t BitrateKbps() const { return current_kbps_; }
  uint32_t TargetKbps() const { return target_kbps_; }
  const StreamBounds& Bounds() const { return bounds_; }
  uint32_t Hold() const { return hold_; }
  uint32_t Grace() const { return grace_; }
  uint32_t CleanCount() const { return clean_count_; }

 private:
  StreamBounds bounds_;
  uint32_t current_kbps_ = 0;
  uint32_t target_kbps_ = 0;
  uint32_t fps_ = 0;
  uint32_t clean_count_ = 0;
  uint32_t hold_ = 0;   // clean reports still to skip
  uint32_t grace_ = 0;  // stress reports still to forgive (0 or 1)
  bool has_decision_ = false;
  int64_t last_decision_us_ = 0;
};

// ---------------------------------------------------------------------------
// Decoder-load controller.

enum class LoadAction { kNone, kFpsDown, kResolutionDown, kResolutionUp, kFpsUp };
// "none", "fps_down", "resolution_down", "resolution_up", "fps_up".
const char* LoadActionName(LoadAction action);

inline constexpr uint32_t kLoadFpsLadder[] = {90, 60, 45, 30, 24, 20};
inline constexpr uint32_t kLoadScaleLadder[] = {1000, 750, 500};
inline constexpr uint32_t kLoadFpsFloor = 20;
inline constexpr uint32_t kLoadFpsFloorWithResize = 30;
inline constexpr uint32_t kLoadMinEncodeLongSide = 640;
inline constexpr uint32_t kLoadMinEncodeShortSide = 360;
inline constexpr int64_t kLoadStartQuietUs = 8'000'000;
inline constexpr int64_t kLoadActionPauseUs = 3'000'000;
inline constexpr int64_t kLoadInitialUpgradeHoldUs = 15'000'000;
inline constexpr int64_t kLoadMaxUpgradeHoldUs = 160'000'000;
inline constexpr int64_t kLoadFlapWindowUs = 20'000'000;
inline constexpr uint32_t kLoadBoundReportsToAct = 2;
inline constexpr uint32_t kLoadHealthyReportsToUndo = 10;

class DecoderLoadController {
 public:
  void Reset(uint32_t width, uint32_t height, uint32_t fps, bool supports_resize, int64_t now_us);

  struct Decision {
    LoadAction action = LoadAction::kNone;
    uint32_t fps_cap = 0;  // 0 = none
    uint32_t scale_permille = 1000;
    // Decoder-bound now and this controller is handling it (acted now or has
    // a further step): the bitrate controller then does not count decode
    // pressure and late drops as network stress.
    bool decoder_bound = false;
  };
  Decision OnReport(const LinkReport& report, int64_t now_us, bool in_recovery_window);

  uint32_t FpsCap() const { return fps_cap_; }
  uint32_t ScalePermille() const { return kLoadScaleLadder[scale_index_]; }
  size_t ScaleIndex() const { return scale_index_; }
  int64_t UpgradeHoldUs() const { return upgrade_hold_us_; }
  // Whether a further downgrade exists from the current state.
  bool CanStepDown() const;

 private:
  std::optional<uint32_t> NextFpsDown() const;
  bool CanScaleDown() const;
  LoadAction StepDown(int64_t now_us);
  LoadAction StepUp(int64_t now_us);

  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t fps_ = 0;
  bool supports_resize_ = false;
  int64_t start_us_ = 0;
  uint32_t fps_cap_ = 0;
  size_t scale_index_ = 0;
  uint32_t bound_count_ = 0;
  uint32_t healthy_count_ = 0;
  bool has_action_ = false;
  int64_t last_action_us_ = 0;
  // An upgrade not yet followed by a downgrade.
  bool upgrade_pending_ = false;
  int64_t last_upgrade_us_ = 0;
  int64_t upgrade_hold_us_ = kLoadInitialUpgradeHoldUs;
};

// ---------------------------------------------------------------------------
// Startup ramp.

inline constexpr uint32_t kRampWifiLongSideCap = 2560;
inline constexpr int64_t kRampStableUs = 10'000'000;

class StartupRamp {
 public:
  // Computes the starting scale and logs it when below full size.
  void Reset(const std::string& route_class, uint32_t width, uint32_t height, bool supports_resize);
  // The long-side cap for a route class: 0 (no ramp) when it contains "usb",
  // else the Wi-Fi cap.
  static uint32_t LongSideCapFor(std::string_view route_class);
  // True when the ramp ended at this report.
  bool OnReport(const LinkReport& report, int64_t now_us, bool in_recovery_window);
  uint32_t ScalePermille() const { return scale_permille_; }

 private:
  uint32_t scale_permille_ = 1000;
  bool stable_ = false;
  int64_t stable_since_us_ = 0;
};

// ---------------------------------------------------------------------------
// Debug resize schedule (ORVANE_DEBUG_FORCE_RESIZE_PERMILLE).

inline constexpr const char* kDebugResizeEnvName = "ORVANE_DEBUG_FORCE_RESIZE_PERMILLE";
inline constexpr int64_t kDebugResizeFirstUs = 6'000'000;
inline constexpr int64_t kDebugResizePeriodUs = 8'000'000;
inline constexpr size_t kDebugResizeMaxDigits = 4;
inline constexpr size_t kDebugResizeLoggedBytes = 32;

class DebugResizeSchedule {
 public:
  // env_value: the variable's text, nullopt when it is not set. Logs the
  // schedule's state when set.
  void Reset(const std::optional<std::string>& env_value, bool supports_resize, int64_t start_us);
  // 100..999 from 1 to 4 decimal digits; anything else is ignored.
  static std::optional<uint32_t> ParsePermille(std::string_view text);
  // The scale the schedule sets at this report, when it changes.
  std::optional<uint32_t> OnReport(int64_t now_us);
  bool Enabled() const { return enabled_; }
  // The scale the schedule currently imposes (0 while it imposes none).
  uint32_t AppliedPermille() const { return applied_permille_; }

 private:
  bool enabled_ = false;
  uint32_t permille_ = 0;
  int64_t start_us_ = 0;
  uint32_t applied_permille_ = 0;
};

// ---------------------------------------------------------------------------
// Drop reasons.

inline constexpr int64_t kDropReasonsBusyIntervalUs = 5'000'000;
inline constexpr int64_t kDropReasonsQuietIntervalUs = 30'000'000;
inline constexpr size_t kDropReasonsLoggedBytes = 512;

class DropReasonsLog {
 public:
  void Reset();
  // True when a line was logged.
  bool OnReport(const LinkReport& report, int64_t now_us);
  // Bytes outside printable ASCII become '?'.
  static std::string Printable(std::string_view text);

 private:
  bool has_line_ = false;
  int64_t last_line_us_ = 0;
  std::string last_text_;
};

// ---------------------------------------------------------------------------
// All of one stream.

struct StreamControlStart {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  bool hevc = false;
  bool supports_resize = false;
  std::string route_class;
  uint32_t negotiated_kbps = 0;
  int64_t now_us = 0;
  std::optional<std::string> debug_env;  // ORVANE_DEBUG_FORCE_RESIZE_PERMILLE, nullopt when unset
};

struct StreamControlOutput {
  uint32_t bitrate_kbps = 0;
  uint32_t fps_cap = 0;  // 0 = none
  uint32_t encode_scale_permille = 1000;
  bool bitrate_changed = false;
  bool fps_cap_changed = false;
  bool encode_scale_changed = false;
};

class StreamControl {
 public:
  // Resets everything for a new stream; the initial outputs, all marked
  // changed.
  StreamControlOutput Start(const StreamControlStart& start);
  // A client quality profile with target_kbps != 0 (0 changes nothing).
  StreamControlOutput ClientQualityProfile(uint32_t target_kbps);
  // One report, in order: load, bitrate, ramp, debug schedule, drop reasons.
  StreamControlOutput OnReport(const LinkReport& report, int64_t now_us, bool in_recovery_window);

  uint32_t BitrateKbps() const { return bitrate_.BitrateKbps(); }
  uint32_t FpsCap() const { return load_.FpsCap(); }
  uint32_t EncodeScalePermille() const { return encode_scale_permille_; }
  StreamBounds Bounds() const { return bitrate_.Bounds(); }
  bool Started() const { return started_; }

  const BitrateController& Bitrate() const { return bitrate_; }
  const DecoderLoadController& Load() const { return load_; }
  const StartupRamp& Ramp() const { return ramp_; }
  const DebugResizeSchedule& DebugSchedule() const { return debug_; }

 private:
  StreamControlOutput Output(uint32_t old_bitrate, uint32_t old_fps_cap, uint32_t old_scale) const;
  // The debug schedule's scale while it imposes one, else min(ramp, load).
  uint32_t ComputeEncodeScale() const;

  bool started_ = false;
  BitrateController bitrate_;
  DecoderLoadController load_;
  StartupRamp ramp_;
  DebugResizeSchedule debug_;
  DropReasonsLog drops_;
  uint32_t encode_scale_permille_ = 1000;
};

}  // namespace orvane
