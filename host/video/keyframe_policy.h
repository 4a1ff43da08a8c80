#pragma once
// What the capture thread encodes on each pass, and whether as a keyframe:
// keyframes the tablet or the pipeline want (at most one per 300 ms), the
// opening keyframes of a stream, re-encodes of the previous image for a
// wanted keyframe, and idle refreshes of a still desktop. Also the bitrate
// ramp of a stream's first seconds.
//
// Counted on the stream's own jobs, so a restarted stream opens with
// keyframes whatever the session's frame counter says.

#include <cstdint>

namespace orvane {

enum class EncodeAction : uint32_t {
  kNothing,
  kNewImage,     // encode the image captured on this pass
  kRepeat,       // re-encode the previous image as a wanted keyframe
  kIdleRefresh,  // re-encode the previous image of a still desktop
};

struct EncodeDecision {
  EncodeAction action = EncodeAction::kNothing;
  bool keyframe = false;
  uint32_t keyframe_copies = 1;  // 2 in the first 3 s or when the tablet asked
};

class KeyframePolicy {
 public:
  static constexpr int64_t kKeyframeSpacingUs = 300'000;
  static constexpr int64_t kStartupUs = 3'000'000;
  static constexpr uint64_t kOpeningKeyframes = 4;
  static constexpr uint64_t kStartupKeyframeEvery = 30;
  static constexpr int64_t kIdleRefreshUs = 1'000'000;
  static constexpr int64_t kStartupIdleRefreshUs = 200'000;
  static constexpr int64_t kIdleKeyframeUs = 5'000'000;

  explicit KeyframePolicy(int64_t stream_start_us) : start_us_(stream_start_us) {}

  // The tablet asked for a keyframe (it gets two copies in any case).
  void RequestFromClient() { client_wants_ = true; }
  // The pipeline wants one (stale or oversized frames, resize, reset, resume).
  void RequestFromPipeline() { pipeline_wants_ = true; }
  bool Pending() const { return client_wants_ || pipeline_wants_; }

  // One pass of the capture thread.
  EncodeDecision Decide(int64_t now_us, bool new_image, bool has_previous);

  // Wanted keyframes postponed by the 300 ms spacing (each want counted once).
  uint64_t Suppressions() const { return suppressions_; }
  uint64_t IdleRefreshes() const { return idle_refreshes_; }
  uint64_t JobsInStream() const { return jobs_; }

 private:
  bool InStartup(int64_t now_us) const { return now_us - start_us_ < kStartupUs; }

  int64_t start_us_;
  bool client_wants_ = false;
  bool pipeline_wants_ = false;
  bool suppression_counted_ = false;
  bool has_keyframe_ = false;
  int64_t last_keyframe_us_ = 0;
  bool has_encode_ = false;
  int64_t last_encode_us_ = 0;
  bool new_content_since_refresh_ = false;
  uint64_t jobs_ = 0;
  uint64_t suppressions_ = 0;
  uint64_t idle_refreshes_ = 0;
};

// The bitrate of a job. The current bitrate (0 = the negotiated one); in the
// first 3 s at most min(current, max(floor, (0.6 + 0.4 t / 3 s) x negotiated))
// with a floor of 18 000 kbit/s for streams of at least 2560 x 1440 at
// 120 fps, else 12 000.
uint32_t StartupBitrateKbps(uint32_t current_kbps, uint32_t negotiated_kbps, uint32_t width, uint32_t height,
                            uint32_t fps, int64_t since_start_us);

}  // namespace orvane
