#pragma once
// The counters of one stream and their periodic "[FrameDiag] Pipeline" line
// (at most every 2 s, and only when a failure counter moved or 30 s passed),
// plus the final line at stop. Counters are atomics: the capture thread, the
// encode worker and the send worker each write their own.

#include <atomic>
#include <cstdint>
#include <string>

namespace orvane {

struct FrameCounters {
  std::atomic<uint64_t> total_frames{0}, capture_fail{0}, dup_reinit{0}, wgc_reinit{0}, dup_timeout{0},
      wgc_timeout{0}, backend_switch{0}, encode_fail{0}, access_units{0}, empty_access_units{0}, send_fail{0},
      queue_depth{0}, queue_peak{0}, queue_drop{0}, send_queue_depth{0}, send_queue_peak{0}, send_queue_drop{0},
      send_queue_delay_peak_us{0}, kf_copy_skip{0}, idle_refresh{0}, kf_requests{0}, enc_resets{0}, stale_drop{0},
      oversize_drop{0}, pacing_reanchor{0};

  // Raises a peak by compare-and-swap.
  static void RaisePeak(std::atomic<uint64_t>& peak, uint64_t value);
  // The sum of the failure counters (a change is worth a line).
  uint64_t FailureSum() const;
};

// What the lines say besides the counters.
struct FrameDiagContext {
  std::string active_backend = "none";  // "dxgi", "wgc", "gdi" or "none"
  uint64_t last_frame = 0;
  uint64_t ts_us = 0;
  std::string enc_mode;
  std::string enc_mft;
  std::string enc_adapter;
  uint32_t enc_feature = 0;
  std::string enc_fallback;
  std::string key_state;
  uint64_t compat_promotions = 0;
};

class FrameDiagnostics {
 public:
  static constexpr uint64_t kMinimumIntervalMs = 2000;
  static constexpr uint64_t kQuietIntervalMs = 30'000;

  explicit FrameDiagnostics(uint64_t start_ms) : last_ms_(start_ms) {}

  FrameCounters& counters() { return counters_; }
  const FrameCounters& counters() const { return counters_; }

  // Writes the pipeline line when it is due; true when it did.
  bool MaybeLog(uint64_t now_ms, const FrameDiagContext& context);
  void LogPipeline(const FrameDiagContext& context);
  void LogFinal(const FrameDiagContext& context);

 private:
  FrameCounters counters_;
  uint64_t last_ms_;
  uint64_t last_failures_ = 0;
};

}  // namespace orvane
