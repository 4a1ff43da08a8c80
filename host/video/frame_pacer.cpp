#include "host/video/frame_pacer.h"

#include <algorithm>

#include "host/common/logger.h"

namespace orvane {

int64_t FramePacer::Offset(uint64_t n, uint32_t fps) {
  return fps == 0 ? 0 : static_cast<int64_t>(n * 1'000'000ull / fps);
}

uint32_t FramePacer::Update(uint32_t negotiated_fps, uint32_t fps_cap) {
  uint32_t f = negotiated_fps;
  if (fps_cap != 0 && fps_cap < f) f = fps_cap;
  f = std::max(f, kMinimumFps);
  if (fps_cap != last_cap_) {
    LogInfo("[FrameLoop] Decoder load frame-rate cap %u -> %u (stream fps=%u)", last_cap_, fps_cap, negotiated_fps);
    last_cap_ = fps_cap;
  }
  const uint32_t timed = std::min(f, kMaximumTimedFps);
  if (timed != fps_) {
    if (fps_ != 0) anchor_us_ = DueUs();
    frames_since_anchor_ = 0;
    fps_ = timed;
  }
  return f;
}

int64_t FramePacer::DueUs() const { return anchor_us_ + Offset(frames_since_anchor_, fps_); }

int64_t FramePacer::IntervalUs() const { return fps_ == 0 ? 0 : 1'000'000 / fps_; }

bool FramePacer::FinishPass(bool new_image, int64_t now_us) {
  bool reanchored = false;
  if (new_image && now_us - DueUs() > IntervalUs()) {
    anchor_us_ = now_us;
    frames_since_anchor_ = 0;
    ++reanchors_;
    reanchored = true;
  }
  ++frames_since_anchor_;
  if (fps_ != 0 && frames_since_anchor_ >= fps_) {
    anchor_us_ += 1'000'000;
    frames_since_anchor_ -= fps_;
  }
  return reanchored;
}

}  // namespace orvane
