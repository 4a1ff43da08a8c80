#pragma once
// The capture schedule of a stream: the n-th frame after the anchor is due
// at anchor + n x 1 000 000 / fps us, so the average rate stays exact; the
// rate follows the decoder-load cap (never below 15 fps, timed at most at
// 240), and a capture that falls more than a frame behind re-anchors.

#include <cstdint>

namespace orvane {

class FramePacer {
 public:
  static constexpr uint32_t kMinimumFps = 15;
  static constexpr uint32_t kMaximumTimedFps = 240;

  explicit FramePacer(int64_t start_us) : anchor_us_(start_us) {}

  // Once per pass: the stream's frame rate for this pass from the
  // negotiated rate and the decoder-load cap (0 = none). A change of the cap
  // is logged; a change of the rate moves the anchor to the current due
  // time.
  uint32_t Update(uint32_t negotiated_fps, uint32_t fps_cap);

  int64_t DueUs() const;
  // One frame interval at the timed rate.
  int64_t IntervalUs() const;
  uint32_t Fps() const { return fps_; }

  // After the capture of a pass. With a new image, a capture more than one
  // interval behind its due time re-anchors at `now_us` (true is returned).
  // Then the next frame becomes due; after each full second the anchor moves
  // on by a second and the count by the rate, the due time unchanged.
  bool FinishPass(bool new_image, int64_t now_us);

  uint64_t Reanchors() const { return reanchors_; }

 private:
  static int64_t Offset(uint64_t n, uint32_t fps);

  int64_t anchor_us_;
  uint64_t frames_since_anchor_ = 0;
  uint32_t fps_ = 0;       // timed rate; 0 until the first Update
  uint32_t last_cap_ = 0;
  uint64_t reanchors_ = 0;
};

}  // namespace orvane
