#pragma once
// Watches for the first desktop image after a stream (re)start or a capture
// re-creation. While none has come and there is no previous image, from
// 750 ms on and at most once a second it asks for a desktop redraw twice,
// then for a re-created capture, and round again.

#include <cstdint>

namespace orvane {

enum class FirstImageAction : uint32_t { kNone, kRedraw, kRecreateCapture };

class FirstImageWatch {
 public:
  static constexpr uint64_t kFirstActionMs = 750;
  static constexpr uint64_t kActionIntervalMs = 1000;
  static constexpr uint64_t kSlowImageMs = 999;

  explicit FirstImageWatch(uint64_t start_ms) { Restart(start_ms); }

  // A stream (re)start or a capture re-creation.
  void Restart(uint64_t now_ms);

  // A pass without an image. Logs the warning of the action it asks for.
  FirstImageAction Poll(uint64_t now_ms, bool has_previous_image, bool keyframe_pending, uint32_t next_video_seq);

  // An image arrived: logs how long it took when a redraw or re-creation
  // happened or it took over 999 ms (once per watch).
  void OnImage(uint64_t now_ms);

  bool Waiting() const { return waiting_; }
  uint32_t Actions() const { return actions_; }

 private:
  uint64_t start_ms_ = 0;
  bool waiting_ = true;
  bool acted_ = false;
  uint64_t last_action_ms_ = 0;
  uint32_t cycle_ = 0;
  uint32_t actions_ = 0;  // redraws and re-creations since the stream started
};

}  // namespace orvane
