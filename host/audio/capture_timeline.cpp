#include "host/audio/capture_timeline.h"

#include <algorithm>

namespace orvane {

int64_t CaptureTimeline::Stamp(int64_t estimate_us, uint32_t frames) {
  if (!anchored_ || estimate_us - Next() > kJumpUs) {
    anchored_ = true;
    base_us_ = estimate_us;
    frames_ = 0;
    last_chunk_us_ = 0;
  } else {
    const int64_t limit = last_chunk_us_ / 8;
    base_us_ += std::clamp((estimate_us - Next()) / 64, -limit, limit);
  }
  const int64_t stamp = Next();
  frames_ += frames;
  last_chunk_us_ = sample_rate_ == 0 ? 0 : static_cast<int64_t>(frames) * 1'000'000 / sample_rate_;
  return stamp;
}

int64_t CaptureTimeline::Next() const {
  if (sample_rate_ == 0) return base_us_;
  return base_us_ + static_cast<int64_t>(frames_ * 1'000'000 / sample_rate_);
}

}  // namespace orvane
