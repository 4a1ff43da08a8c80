#include "host/video/keyframe_policy.h"

#include <algorithm>

namespace orvane {

EncodeDecision KeyframePolicy::Decide(int64_t now_us, bool new_image, bool has_previous) {
  const bool startup = InStartup(now_us);
  bool wanted = Pending();
  if (wanted && has_keyframe_ && now_us - last_keyframe_us_ < kKeyframeSpacingUs) {
    if (!suppression_counted_) {
      ++suppressions_;
      suppression_counted_ = true;
    }
    wanted = false;
  }

  EncodeDecision d;
  bool idle_keyframe = false;
  if (new_image) {
    d.action = EncodeAction::kNewImage;
  } else if (wanted && has_previous) {
    d.action = EncodeAction::kRepeat;
  } else if (!Pending() && has_previous && has_encode_ &&
             now_us - last_encode_us_ >= (startup ? kStartupIdleRefreshUs : kIdleRefreshUs)) {
    d.action = EncodeAction::kIdleRefresh;
    idle_keyframe = new_content_since_refresh_ || !has_keyframe_ || now_us - last_keyframe_us_ >= kIdleKeyframeUs;
    ++idle_refreshes_;
  } else {
    return d;
  }

  const uint64_t job = ++jobs_;  // 1-based within the stream
  const bool opening = job <= kOpeningKeyframes || (startup && (job - 1) % kStartupKeyframeEvery == 0);
  const bool client = wanted && client_wants_;
  d.keyframe = wanted || opening || idle_keyframe;
  d.keyframe_copies = (startup || client) ? 2 : 1;

  has_encode_ = true;
  last_encode_us_ = now_us;
  if (d.action == EncodeAction::kNewImage) new_content_since_refresh_ = true;
  if (d.action == EncodeAction::kIdleRefresh) new_content_since_refresh_ = false;
  if (d.keyframe) {
    has_keyframe_ = true;
    last_keyframe_us_ = now_us;
    client_wants_ = false;
    pipeline_wants_ = false;
    suppression_counted_ = false;
  }
  return d;
}

uint32_t StartupBitrateKbps(uint32_t current_kbps, uint32_t negotiated_kbps, uint32_t width, uint32_t height,
                            uint32_t fps, int64_t since_start_us) {
  const uint32_t current = current_kbps == 0 ? negotiated_kbps : current_kbps;
  if (since_start_us < 0) since_start_us = 0;
  if (since_start_us >= KeyframePolicy::kStartupUs) return current;
  const uint32_t long_side = std::max(width, height);
  const uint32_t short_side = std::min(width, height);
  const uint64_t floor = (long_side >= 2560 && short_side >= 1440 && fps >= 120) ? 18000 : 12000;
  // (600 + 400 t / 3 s) per mille of the negotiated bitrate.
  const uint64_t permille = 600 + static_cast<uint64_t>(since_start_us) * 400 / KeyframePolicy::kStartupUs;
  const uint64_t ramp = static_cast<uint64_t>(negotiated_kbps) * permille / 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(current, std::max(floor, ramp)));
}

}  // namespace orvane
