#include "host/transport/stream_control.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "host/common/logger.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane {

namespace {

// Route classes are untrusted; a line carries at most this much of one.
constexpr size_t kRouteLoggedBytes = 64;

std::string LoggableRoute(std::string_view route_class) {
  return EscapeUntrusted(Utf8Prefix(route_class, kRouteLoggedBytes));
}

uint32_t SaturatingIncrement(uint32_t value) {
  return value == std::numeric_limits<uint32_t>::max() ? value : value + 1;
}

// ---------------------------------------------------------------------------
// Bitrate thresholds per route profile.

struct AbrProfile {
  float severe_loss_pct;
  float moderate_loss_pct;
  float rtt_limit_ms;
  float recv_drop_severe_pct;
  float recv_drop_moderate_pct;
  float decode_severe_pct;
  float decode_moderate_pct;
  float late_severe_pct;
  float late_moderate_pct;
  float jitter_severe_factor;
  float jitter_moderate_factor;
  // Bitrate multipliers in thousandths, so that products are exact.
  uint32_t severe_permille;
  uint32_t moderate_permille;
  uint32_t clean_permille;
  uint32_t severe_hold;
  uint32_t moderate_hold;
};

constexpr AbrProfile kUsbProfile = {4.0f, 2.0f, 140.0f, 6.0f, 2.0f, 100.0f, 85.0f, 6.0f, 2.5f, 3.0f, 2.0f,
                                    820,  920,  1080,   4,    2};
constexpr AbrProfile kWifiProfile = {7.5f, 2.8f, 105.0f, 8.0f, 3.5f, 115.0f, 90.0f, 12.0f, 6.0f, 3.5f, 2.5f,
                                     780,  900,  1050,   6,    4};
constexpr AbrProfile kUnknownProfile = {4.0f, 2.0f, 120.0f, 6.0f, 2.0f, 100.0f, 85.0f, 6.0f, 2.5f, 3.0f, 2.0f,
                                        800,  900,  1060,   4,    2};

const AbrProfile& ProfileFor(RouteProfile profile) {
  switch (profile) {
    case RouteProfile::kUsbLan: return kUsbProfile;
    case RouteProfile::kWifiLocal: return kWifiProfile;
    case RouteProfile::kUnknown: break;
  }
  return kUnknownProfile;
}

constexpr float kAbrJitterGateLossPct = 1.0f;
constexpr float kAbrCleanLossPct = 1.0f;
constexpr float kAbrCleanRecvDropPct = 1.0f;
constexpr float kAbrCleanDecodePct = 70.0f;
constexpr float kAbrCleanLatePct = 2.0f;
constexpr uint32_t kAbrCleanReportsToGrow = 3;
constexpr uint32_t kAbrCleanReportsToGrowFar = 2;  // while below 70 % of the target
constexpr uint32_t kAbrFarBelowTargetPermille = 1150;

// Below 70 % of the target, exactly.
bool FarBelowTarget(uint32_t current_kbps, uint32_t target_kbps) {
  return uint64_t{current_kbps} * 10 < uint64_t{target_kbps} * 7;
}

// Truncated product, clamped to the bounds.
uint32_t Scaled(uint32_t kbps, uint32_t permille, const StreamBounds& bounds) {
  const uint64_t product = uint64_t{kbps} * permille / 1000;
  const uint64_t clamped =
      std::clamp<uint64_t>(product, bounds.minimum_kbps, std::max(bounds.minimum_kbps, bounds.maximum_kbps));
  return static_cast<uint32_t>(clamped);
}

// ---------------------------------------------------------------------------
// Decoder-load thresholds.

constexpr float kLoadDecodeLimitPct = 100.0f;
constexpr float kLoadLateLimitPct = 5.0f;
constexpr float kLoadCleanLossPct = 2.0f;
constexpr float kLoadCleanRecvDropPct = 2.0f;
constexpr float kLoadHealthyDecodePct = 65.0f;
constexpr float kLoadHealthyLatePct = 0.5f;

// ---------------------------------------------------------------------------
// Startup ramp thresholds.

constexpr float kRampStableLossPct = 1.0f;
constexpr float kRampStableRecvDropPct = 0.0f;
constexpr float kRampStableDecodePct = 60.0f;
constexpr float kRampStableLatePct = 0.5f;
constexpr uint32_t kRampMinPermille = 100;
constexpr uint32_t kRampMaxPermille = 999;

constexpr uint32_t kDebugMinPermille = 100;
constexpr uint32_t kDebugMaxPermille = 999;

}  // namespace

// ---------------------------------------------------------------------------

StreamBounds StreamBounds::For(bool hevc, uint32_t width, uint32_t height, uint32_t fps) {
  const uint32_t S = std::max(width, height);
  const uint32_t s = std::min(width, height);
  const StreamBounds low{2500, 16000};
  const StreamBounds mid{3000, 25000};
  const StreamBounds high{6000, 35000};
  if (hevc) {
    if (S >= 3840 && s >= 2160) return fps < 120 ? StreamBounds{25000, 100000} : StreamBounds{50000, 160000};
    if (S <= 1919 || (S <= 2559 && s < 1080)) return low;
    if (S <= 2559) return mid;
    if (s < 1080) return low;
    if (s < 1440) return mid;
    return fps < 120 ? high : StreamBounds{14000, 45000};
  }
  if (S <= 1919 || (S < 2560 && s < 1080)) return low;
  if (S < 2560) return mid;
  if (s >= 1440) return high;
  if (s < 1080) return low;
  return mid;
}

uint32_t StreamBounds::Clamp(uint32_t kbps) const {
  return std::clamp(kbps, minimum_kbps, std::max(minimum_kbps, maximum_kbps));
}

int64_t ElapsedUs(int64_t from_us, int64_t to_us) {
  if (to_us <= from_us) return 0;
  const uint64_t diff = static_cast<uint64_t>(to_us) - static_cast<uint64_t>(from_us);
  return diff > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                          : static_cast<int64_t>(diff);
}

bool InRecoveryWindow(int64_t window_start_us, int64_t now_us) {
  if (window_start_us == 0) return false;
  return ElapsedUs(window_start_us, now_us) < kRecoveryWindowUs;
}

bool HeavyLossForAudio(const LinkReport& report) {
  return report.packet_loss_pct >= kAudioHeavyLossPct || report.receiver_drop_pct >= kAudioHeavyRecvDropPct;
}

// ---------------------------------------------------------------------------
// Bitrate controller.

const char* RouteProfileName(RouteProfile profile) {
  switch (profile) {
    case RouteProfile::kUsbLan: return "usb_lan";
    case RouteProfile::kWifiLocal: return "wifi_local";
    case RouteProfile::kUnknown: break;
  }
  return "unknown";
}

RouteProfile RouteProfileFor(std::string_view route_class) {
  if (route_class == "usb_ncm" || route_class == "lan") return RouteProfile::kUsbLan;
  if (route_class == "wifi_local" || route_class == "wifi_lan") return RouteProfile::kWifiLocal;
  return RouteProfile::kUnknown;
}

const char* LinkVerdictName(LinkVerdict verdict) {
  switch (verdict) {
    case LinkVerdict::kNeither: return "neither";
    case LinkVerdict::kClean: return "clean";
    case LinkVerdict::kModerate: return "moderate";
    case LinkVerdict::kSevere: return "severe";
  }
  return "neither";
}

float BitrateController::JitterUnitMs(uint32_t fps) {
  if (fps < 60) return 20.0f;
  if (fps < 90) return 10.0f;
  if (fps < 120) return 7.0f;
  return 5.0f;
}

LinkVerdict BitrateController::Classify(const LinkReport& r, uint32_t fps, bool in_window, bool decoder_bound) {
  const AbrProfile& p = ProfileFor(RouteProfileFor(r.route_class));
  const float w = JitterUnitMs(fps);
  // Jitter is believed only with some loss, or when it is plausible against a
  // measured round trip.
  const bool jitter_counts =
      r.packet_loss_pct >= kAbrJitterGateLossPct || (r.rtt_ms > 0.0f && r.jitter_ms <= 2.0f * r.rtt_ms);
  const float j = jitter_counts ? r.jitter_ms : 0.0f;
  const bool decoder_counts = !decoder_bound && !in_window;

  const bool severe = r.packet_loss_pct >= p.severe_loss_pct ||
                      (!in_window && r.receiver_drop_pct >= p.recv_drop_severe_pct) ||
                      (decoder_counts &&
                       (r.decode_pressure_pct >= p.decode_severe_pct || r.late_drop_pct >= p.late_severe_pct)) ||
                      j >= w * p.jitter_severe_factor;
  if (severe) return LinkVerdict::kSevere;

  const bool moderate = r.packet_loss_pct >= p.moderate_loss_pct || r.rtt_ms >= p.rtt_limit_ms ||
                        j >= w * p.jitter_moderate_factor ||
                        (!in_window && r.receiver_drop_pct >= p.recv_drop_moderate_pct) ||
                        (decoder_counts && (r.decode_pressure_pct >= p.decode_moderate_pct ||
                                            r.late_drop_pct >= p.late_moderate_pct));
  if (moderate) return LinkVerdict::kModerate;

  const bool clean = !decoder_bound && !in_window && r.packet_loss_pct < kAbrCleanLossPct &&
                     r.rtt_ms < p.rtt_limit_ms && j < w && r.receiver_drop_pct < kAbrCleanRecvDropPct &&
                     r.decode_pressure_pct < kAbrCleanDecodePct && r.late_drop_pct < kAbrCleanLatePct;
  return clean ? LinkVerdict::kClean : LinkVerdict::kNeither;
}

void BitrateController::Reset(const StreamBounds& bounds, uint32_t negotiated_kbps, uint32_t fps) {
  bounds_ = bounds;
  current_kbps_ = bounds.Clamp(negotiated_kbps);
  target_kbps_ = current_kbps_;
  fps_ = fps;
  clean_count_ = 0;
  hold_ = 0;
  grace_ = 0;
  has_decision_ = false;
  last_decision_us_ = 0;
}

bool BitrateController::ClientQualityProfile(uint32_t target_kbps) {
  if (target_kbps == 0) return false;
  target_kbps_ = bounds_.Clamp(target_kbps);
  const uint32_t before = current_kbps_;
  if (target_kbps_ < current_kbps_) {
    current_kbps_ = target_kbps_;
    clean_count_ = 0;
    // Set, not added: a burst of profiles must not bank forgiveness.
    grace_ = 1;
  }
  LogInfo("[ABR] Client quality profile target=%u kbps -- bitrate %u -> %u kbps", target_kbps_, before,
          current_kbps_);
  return current_kbps_ != before;
}

BitrateController::Decision BitrateController::OnReport(const LinkReport& r, int64_t now_us, bool in_window,
                                                        bool decoder_bound) {
  Decision d;
  if (has_decision_ && ElapsedUs(last_decision_us_, now_us) < kAbrDecisionIntervalUs) return d;
  has_decision_ = true;
  last_decision_us_ = now_us;
  d.evaluated = true;

  const RouteProfile profile = RouteProfileFor(r.route_class);
  const AbrProfile& p = ProfileFor(profile);
  d.verdict = Classify(r, fps_, in_window, decoder_bound);

  const bool stress = d.verdict == LinkVerdict::kSevere || d.verdict == LinkVerdict::kModerate;
  if (stress && grace_ > 0 && r.packet_loss_pct < p.severe_loss_pct) {
    --grace_;
    d.grace_used = true;
    return d;
  }

  const uint32_t before = current_kbps_;
  switch (d.verdict) {
    case LinkVerdict::kSevere:
    case LinkVerdict::kModerate: {
      const bool severe = d.verdict == LinkVerdict::kSevere;
      current_kbps_ = Scaled(current_kbps_, severe ? p.severe_permille : p.moderate_permille, bounds_);
      hold_ = std::max(hold_, severe ? p.severe_hold : p.moderate_hold);
      clean_count_ = 0;
      if (current_kbps_ != before) {
        const std::string route = LoggableRoute(r.route_class);
        if (severe) {
          LogWarn("[ABR] Severe stress route=%s(profile=%s) loss=%.2f%% rtt=%.0fms jitter=%.1fms recv_drop=%.2f%% "
                  "decode=%.1f%% late=%.2f%% -- bitrate %u -> %u kbps",
                  route.c_str(), RouteProfileName(profile), double{r.packet_loss_pct}, double{r.rtt_ms},
                  double{r.jitter_ms}, double{r.receiver_drop_pct}, double{r.decode_pressure_pct},
                  double{r.late_drop_pct}, before, current_kbps_);
        } else {
          LogWarn("[ABR] Moderate stress route=%s(profile=%s) loss=%.2f%% rtt=%.0fms jitter=%.1fms "
                  "recv_drop=%.2f%% decode=%.1f%% late=%.2f%% -- bitrate %u -> %u kbps",
                  route.c_str(), RouteProfileName(profile), double{r.packet_loss_pct}, double{r.rtt_ms},
                  double{r.jitter_ms}, double{r.receiver_drop_pct}, double{r.decode_pressure_pct},
                  double{r.late_drop_pct}, before, current_kbps_);
        }
      }
      break;
    }
    case LinkVerdict::kClean: {
      if (hold_ > 0) {
        --hold_;
        break;
      }
      clean_count_ = SaturatingIncrement(clean_count_);
      const bool far_below = FarBelowTarget(current_kbps_, target_kbps_);
      if (clean_count_ < (far_below ? kAbrCleanReportsToGrowFar : kAbrCleanReportsToGrow)) break;
      clean_count_ = 0;
      current_kbps_ = Scaled(current_kbps_, far_below ? kAbrFarBelowTargetPermille : p.clean_permille, bounds_);
      if (current_kbps_ != before) {
        const std::string route = LoggableRoute(r.route_class);
        LogInfo("[ABR] Clean network route=%s(profile=%s) loss=%.2f%% rtt=%.0fms jitter=%.1fms recv_drop=%.2f%% "
                "decode=%.1f%% hold=%u -- bitrate %u -> %u kbps",
                route.c_str(), RouteProfileName(profile), double{r.packet_loss_pct}, double{r.rtt_ms},
                double{r.jitter_ms}, double{r.receiver_drop_pct}, double{r.decode_pressure_pct}, hold_, before,
                current_kbps_);
      }
      break;
    }
    case LinkVerdict::kNeither:
      if (!in_window) clean_count_ = 0;
      break;
  }
  d.changed = current_kbps_ != before;
  return d;
}

// ---------------------------------------------------------------------------
// Decoder-load controller.

const char* LoadActionName(LoadAction action) {
  switch (action) {
    case LoadAction::kNone: return "none";
    case LoadAction::kFpsDown: return "fps_down";
    case LoadAction::kResolutionDown: return "resolution_down";
    case LoadAction::kResolutionUp: return "resolution_up";
    case LoadAction::kFpsUp: return "fps_up";
  }
  return "none";
}

void DecoderLoadController::Reset(uint32_t width, uint32_t height, uint32_t fps, bool supports_resize,
                                  int64_t now_us) {
  *this = DecoderLoadController();
  width_ = width;
  height_ = height;
  fps_ = fps;
  supports_resize_ = supports_resize;
  start_us_ = now_us;
}

std::optional<uint32_t> DecoderLoadController::NextFpsDown() const {
  const uint32_t limit = (fps_cap_ != 0 && fps_cap_ < fps_) ? fps_cap_ : fps_;
  const uint32_t floor = supports_resize_ ? kLoadFpsFloorWithResize : kLoadFpsFloor;
  for (uint32_t f : kLoadFpsLadder) {
    if (f < limit && f >= floor) return f;
  }
  return std::nullopt;
}

bool DecoderLoadController::CanScaleDown() const {
  if (!supports_resize_) return false;
  const size_t next = scale_index_ + 1;
  if (next >= std::size(kLoadScaleLadder)) return false;
  // Orientation-free: the long side against 640 and the short side against
  // 360, so portrait streams shrink like landscape ones.
  const uint64_t w = uint64_t{width_} * kLoadScaleLadder[next] / 1000;
  const uint64_t h = uint64_t{height_} * kLoadScaleLadder[next] / 1000;
  return std::max(w, h) >= kLoadMinEncodeLongSide && std::min(w, h) >= kLoadMinEncodeShortSide;
}

bool DecoderLoadController::CanStepDown() const { return NextFpsDown().has_value() || CanScaleDown(); }

LoadAction DecoderLoadController::StepDown(int64_t now_us) {
  LoadAction action = LoadAction::kNone;
  if (const std::optional<uint32_t> fps = NextFpsDown()) {
    fps_cap_ = *fps;
    action = LoadAction::kFpsDown;
  } else if (CanScaleDown()) {
    ++scale_index_;
    action = LoadAction::kResolutionDown;
  } else {
    return action;
  }
  // Falling back soon after an upgrade means the upgrade came too early:
  // wait twice as long before the next one.
  if (upgrade_pending_ && ElapsedUs(last_upgrade_us_, now_us) <= kLoadFlapWindowUs) {
    upgrade_hold_us_ = std::min(upgrade_hold_us_ * 2, kLoadMaxUpgradeHoldUs);
  }
  upgrade_pending_ = false;
  return action;
}

LoadAction DecoderLoadController::StepUp(int64_t now_us) {
  LoadAction action = LoadAction::kNone;
  if (scale_index_ > 0) {
    --scale_index_;
    action = LoadAction::kResolutionUp;
  } else if (fps_cap_ != 0) {
    uint32_t next = 0;  // the smallest ladder value above the cap
    for (uint32_t f : kLoadFpsLadder) {
      if (f > fps_cap_ && (next == 0 || f < next)) next = f;
    }
    fps_cap_ = (next == 0 || next >= fps_) ? 0 : next;
    action = LoadAction::kFpsUp;
  } else {
    return action;
  }
  upgrade_pending_ = true;
  last_upgrade_us_ = now_us;
  return action;
}

DecoderLoadController::Decision DecoderLoadController::OnReport(const LinkReport& r, int64_t now_us,
                                                                bool in_window) {
  const bool network_clean = r.packet_loss_pct < kLoadCleanLossPct && r.receiver_drop_pct < kLoadCleanRecvDropPct;
  const bool bound =
      (r.decode_pressure_pct >= kLoadDecodeLimitPct || r.late_drop_pct >= kLoadLateLimitPct) && network_clean;

  LoadAction action = LoadAction::kNone;
  if (ElapsedUs(start_us_, now_us) >= kLoadStartQuietUs && !in_window) {
    if (bound) {
      bound_count_ = SaturatingIncrement(bound_count_);
      healthy_count_ = 0;
    } else {
      bound_count_ = 0;
      const bool healthy = r.decode_pressure_pct < kLoadHealthyDecodePct &&
                           r.late_drop_pct < kLoadHealthyLatePct && network_clean;
      healthy_count_ = healthy ? SaturatingIncrement(healthy_count_) : 0;
    }
    const int64_t since_action = has_action_ ? ElapsedUs(last_action_us_, now_us) : 0;
    if (bound_count_ >= kLoadBoundReportsToAct && (!has_action_ || since_action >= kLoadActionPauseUs)) {
      action = StepDown(now_us);
    } else if (healthy_count_ >= kLoadHealthyReportsToUndo && (!has_action_ || since_action >= upgrade_hold_us_)) {
      action = StepUp(now_us);
    }
    if (action != LoadAction::kNone) {
      has_action_ = true;
      last_action_us_ = now_us;
      bound_count_ = 0;
      healthy_count_ = 0;
      LogWarn("[Load] Decoder-bound client action=%s decode=%.1f%% late=%.2f%% loss=%.2f%% fps_cap=%u "
              "scale=%u/1000 upgrade_hold_s=%llu",
              LoadActionName(action), double{r.decode_pressure_pct}, double{r.late_drop_pct},
              double{r.packet_loss_pct}, fps_cap_, ScalePermille(),
              static_cast<unsigned long long>(upgrade_hold_us_ / 1'000'000));
    }
  }

  Decision d;
  d.action = action;
  d.fps_cap = fps_cap_;
  d.scale_permille = ScalePermille();
  d.decoder_bound = bound && (action != LoadAction::kNone || CanStepDown());
  return d;
}

// ---------------------------------------------------------------------------
// Startup ramp.

uint32_t StartupRamp::LongSideCapFor(std::string_view route_class) {
  // Anything not naming a USB link (an empty or too short class included)
  // follows the Wi-Fi rules.
  if (route_class.find("usb") != std::string_view::npos) return 0;
  return kRampWifiLongSideCap;
}

void StartupRamp::Reset(const std::string& route_class, uint32_t width, uint32_t height, bool supports_resize) {
  scale_permille_ = 1000;
  stable_ = false;
  stable_since_us_ = 0;
  if (!supports_resize || width == 0 || height == 0) return;
  const uint32_t cap = LongSideCapFor(route_class);
  const uint32_t long_side = std::max(width, height);
  if (cap == 0 || long_side <= cap) return;
  const uint64_t scale = uint64_t{1000} * cap / long_side;
  scale_permille_ = static_cast<uint32_t>(std::clamp<uint64_t>(scale, kRampMinPermille, kRampMaxPermille));
  const std::string route = route_class.empty() ? std::string("not_reported(wifi_rules)") : LoggableRoute(route_class);
  LogInfo("[Load] Startup ramp: route=%s starts the encode at %u/1000 of %ux%u; full size after a stable period",
          route.c_str(), scale_permille_, width, height);
}

bool StartupRamp::OnReport(const LinkReport& r, int64_t now_us, bool in_window) {
  if (scale_permille_ >= 1000 || in_window) return false;
  const bool stable = r.packet_loss_pct <= kRampStableLossPct && r.receiver_drop_pct <= kRampStableRecvDropPct &&
                      r.decode_pressure_pct <= kRampStableDecodePct && r.late_drop_pct <= kRampStableLatePct;
  if (!stable) {
    stable_ = false;
    return false;
  }
  if (!stable_) {
    stable_ = true;
    stable_since_us_ = now_us;
  }
  const int64_t stable_for = ElapsedUs(stable_since_us_, now_us);
  if (stable_for < kRampStableUs) return false;
  const uint32_t before = scale_permille_;
  scale_permille_ = 1000;
  stable_ = false;
  LogInfo("[Load] Startup ramp: link stable for %llu s; encode size %u/1000 -> full",
          static_cast<unsigned long long>(stable_for / 1'000'000), before);
  return true;
}

// ---------------------------------------------------------------------------
// Debug resize schedule.

std::optional<uint32_t> DebugResizeSchedule::ParsePermille(std::string_view text) {
  const std::optional<uint32_t> value = ParseDecimalDigits(text, kDebugResizeMaxDigits);
  if (!value || *value < kDebugMinPermille || *value > kDebugMaxPermille) return std::nullopt;
  return value;
}

void DebugResizeSchedule::Reset(const std::optional<std::string>& env_value, bool supports_resize,
                                int64_t start_us) {
  enabled_ = false;
  permille_ = 0;
  start_us_ = start_us;
  applied_permille_ = 0;
  if (!env_value) return;
  const std::optional<uint32_t> value = ParsePermille(*env_value);
  const char* state = "ignored";
  if (value) {
    permille_ = *value;
    enabled_ = supports_resize;
    state = supports_resize ? "enabled" : "inactive";
  }
  const std::string raw = EscapeUntrusted(Utf8Prefix(*env_value, kDebugResizeLoggedBytes));
  LogWarn("[Load] Debug encode resize schedule %s (permille=%s client_support=%s)", state, raw.c_str(),
          supports_resize ? "yes" : "no");
}

std::optional<uint32_t> DebugResizeSchedule::OnReport(int64_t now_us) {
  if (!enabled_) return std::nullopt;
  const int64_t elapsed = ElapsedUs(start_us_, now_us);
  if (elapsed < kDebugResizeFirstUs) return std::nullopt;
  const int64_t period = (elapsed - kDebugResizeFirstUs) / kDebugResizePeriodUs;
  const uint32_t want = period % 2 == 0 ? permille_ : 1000;
  if (want == applied_permille_) return std::nullopt;
  applied_permille_ = want;
  LogWarn("[Load] Debug encode resize -> %u/1000", want);
  return want;
}

// ---------------------------------------------------------------------------
// Drop reasons.

void DropReasonsLog::Reset() {
  has_line_ = false;
  last_line_us_ = 0;
  last_text_.clear();
}

std::string DropReasonsLog::Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b >= 0x7F) c = '?';
  }
  return out;
}

bool DropReasonsLog::OnReport(const LinkReport& r, int64_t now_us) {
  if (r.drop_reasons.empty()) return false;
  const std::string_view text = std::string_view(r.drop_reasons).substr(0, kDropReasonsLoggedBytes);
  if (has_line_ && text == last_text_) return false;
  const bool dropping = r.receiver_drop_pct > 0.0f || r.late_drop_pct > 0.0f;
  const int64_t interval = dropping ? kDropReasonsBusyIntervalUs : kDropReasonsQuietIntervalUs;
  if (has_line_ && ElapsedUs(last_line_us_, now_us) < interval) return false;
  has_line_ = true;
  last_line_us_ = now_us;
  last_text_.assign(text);
  const std::string route = LoggableRoute(r.route_class);
  const std::string shown = Printable(text);
  LogInfo("[ClientDrops] route=%s recv_drop=%.2f%% late=%.2f%% decode=%.1f%% since_start: %s", route.c_str(),
          double{r.receiver_drop_pct}, double{r.late_drop_pct}, double{r.decode_pressure_pct}, shown.c_str());
  return true;
}

// ---------------------------------------------------------------------------
// StreamControl.

uint32_t StreamControl::ComputeEncodeScale() const {
  if (debug_.AppliedPermille() != 0) return debug_.AppliedPermille();
  return std::min(ramp_.ScalePermille(), load_.ScalePermille());
}

StreamControlOutput StreamControl::Output(uint32_t old_bitrate, uint32_t old_fps_cap, uint32_t old_scale) const {
  StreamControlOutput out;
  out.bitrate_kbps = BitrateKbps();
  out.fps_cap = FpsCap();
  out.encode_scale_permille = encode_scale_permille_;
  out.bitrate_changed = out.bitrate_kbps != old_bitrate;
  out.fps_cap_changed = out.fps_cap != old_fps_cap;
  out.encode_scale_changed = out.encode_scale_permille != old_scale;
  return out;
}

StreamControlOutput StreamControl::Start(const StreamControlStart& start) {
  started_ = true;
  const StreamBounds bounds = StreamBounds::For(start.hevc, start.width, start.height, start.fps);
  bitrate_.Reset(bounds, start.negotiated_kbps, start.fps);
  load_.Reset(start.width, start.height, start.fps, start.supports_resize, start.now_us);
  ramp_.Reset(start.route_class, start.width, start.height, start.supports_resize);
  debug_.Reset(start.debug_env, start.supports_resize, start.now_us);
  drops_.Reset();
  encode_scale_permille_ = ComputeEncodeScale();
  StreamControlOutput out = Output(0, 0, 0);
  out.bitrate_changed = true;
  out.fps_cap_changed = true;
  out.encode_scale_changed = true;
  return out;
}

StreamControlOutput StreamControl::ClientQualityProfile(uint32_t target_kbps) {
  const uint32_t old_bitrate = BitrateKbps();
  if (started_ && target_kbps != 0) bitrate_.ClientQualityProfile(target_kbps);
  return Output(old_bitrate, FpsCap(), encode_scale_permille_);
}

StreamControlOutput StreamControl::OnReport(const LinkReport& report, int64_t now_us, bool in_recovery_window) {
  const uint32_t old_bitrate = BitrateKbps();
  const uint32_t old_fps_cap = FpsCap();
  const uint32_t old_scale = encode_scale_permille_;
  if (!started_) return Output(old_bitrate, old_fps_cap, old_scale);
  const DecoderLoadController::Decision load = load_.OnReport(report, now_us, in_recovery_window);
  bitrate_.OnReport(report, now_us, in_recovery_window, load.decoder_bound);
  ramp_.OnReport(report, now_us, in_recovery_window);
  debug_.OnReport(now_us);
  drops_.OnReport(report, now_us);
  encode_scale_permille_ = ComputeEncodeScale();
  return Output(old_bitrate, old_fps_cap, old_scale);
}

}  // namespace orvane
