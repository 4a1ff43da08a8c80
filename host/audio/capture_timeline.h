#pragma once
// The timestamps of a capture run whose chunks arrive in blocks. A sink
// renders into its monitor a block at a time, so the time a chunk arrives
// tells when it was played only to within a block: the timestamps follow the
// sample count instead, pulled slowly (a sixty-fourth of the difference, at
// most an eighth of the previous chunk's duration at a time, so that they keep
// increasing) towards the arrival estimate, and jump forward to it when it
// runs more than kJumpUs ahead (the sink was suspended or played nothing).
// A capture thread starved on a busy machine can fall tens of milliseconds
// behind without anything missing: that is pulled in, not jumped, so the
// presentation time does not start anew for it.
// They never jump back. Not synchronised: the capture thread owns it.

#include <cstdint>

namespace orvane {

class CaptureTimeline {
 public:
  static constexpr int64_t kJumpUs = 150'000;

  explicit CaptureTimeline(uint32_t sample_rate) : sample_rate_(sample_rate) {}

  // A new run: the next chunk anchors the timeline at its estimate.
  void Restart() { anchored_ = false; }

  // The timestamp (us) of a chunk of `frames` whose first frame the arrival
  // puts at estimate_us.
  int64_t Stamp(int64_t estimate_us, uint32_t frames);

 private:
  int64_t Next() const;

  uint32_t sample_rate_;
  bool anchored_ = false;
  int64_t base_us_ = 0;
  uint64_t frames_ = 0;  // since base_us_
  int64_t last_chunk_us_ = 0;
};

}  // namespace orvane
