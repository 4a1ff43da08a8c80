#include "host/video/first_image_watch.h"

#include "host/common/logger.h"

namespace orvane {

void FirstImageWatch::Restart(uint64_t now_ms) {
  start_ms_ = now_ms;
  waiting_ = true;
  acted_ = false;
  last_action_ms_ = 0;
}

FirstImageAction FirstImageWatch::Poll(uint64_t now_ms, bool has_previous_image, bool keyframe_pending,
                                       uint32_t next_video_seq) {
  if (!waiting_ || has_previous_image) return FirstImageAction::kNone;
  const uint64_t elapsed = now_ms - start_ms_;
  if (elapsed < kFirstActionMs) return FirstImageAction::kNone;
  if (acted_ && now_ms - last_action_ms_ < kActionIntervalMs) return FirstImageAction::kNone;
  acted_ = true;
  last_action_ms_ = now_ms;
  ++actions_;
  const uint32_t step = cycle_++ % 3;
  const auto elapsed_ll = static_cast<unsigned long long>(elapsed);
  if (step < 2) {
    LogWarn(
        "[FrameLoop] No desktop image %llu ms after the stream (re)start (keyframe pending=%s, next video seq=%u); "
        "asking Windows to redraw the desktop",
        elapsed_ll, keyframe_pending ? "yes" : "no", next_video_seq);
    return FirstImageAction::kRedraw;
  }
  LogWarn("[FrameLoop] Still no desktop image %llu ms after the stream (re)start; recreating the capture", elapsed_ll);
  return FirstImageAction::kRecreateCapture;
}

void FirstImageWatch::OnImage(uint64_t now_ms) {
  if (!waiting_) return;
  waiting_ = false;
  const uint64_t elapsed = now_ms - start_ms_;
  if (actions_ > 0 || elapsed > kSlowImageMs) {
    LogInfo(
        "[FrameLoop] First desktop image %llu ms after the stream (re)start or capture reinit (redraws/reinits=%u)",
        static_cast<unsigned long long>(elapsed), actions_);
  }
}

}  // namespace orvane
