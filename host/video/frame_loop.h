#pragma once
// FrameLoop: one stream of one session. The capture thread (Run) captures
// the monitor on the paced schedule and decides what to encode; the encode
// worker feeds the encoder and collects access units; the send worker hands
// them to the media sender. Two bounded queues join the three threads.
//
// The loop reads what the session decides elsewhere (bitrate, decoder-load
// frame-rate cap and encode scale, keyframe requests, pause) once per pass
// and reports through the session's senders (first frame, stream resize,
// statistics, the protected-content notice).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/common/clock.h"
#include "host/common/precise_sleep.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_manager.h"
#include "host/video/encode_scale.h"
#include "host/video/frame_diagnostics.h"
#include "host/video/frame_queues.h"
#include "host/video/oversize_governor.h"
#include "host/video/video_encoder.h"

namespace orvane {

// What the loop needs of its session (called from the loop's threads).
class IFrameLoopSession {
 public:
  virtual ~IFrameLoopSession() = default;
  // The session runs and streams.
  virtual bool Streaming() = 0;
  // The tablet's keyframe request, consumed.
  virtual bool TakeClientKeyframeRequest() = 0;
  virtual bool VideoPaused() = 0;
  virtual void FirstFrameProduced() = 0;
  virtual void StreamResize(uint32_t encoded_width, uint32_t encoded_height, uint32_t logical_width,
                            uint32_t logical_height, uint32_t scale_permille) = 0;
  virtual void StatsReport(uint32_t current_bitrate_kbps) = 0;
  virtual void ErrorMessage(int code, const std::string& message) = 0;
};

// Where access units go: the media sender, or a recording sink in tests.
class IVideoFrameSink {
 public:
  virtual ~IVideoFrameSink() = default;
  virtual bool SendVideoFrame(uint32_t& next_video_seq, uint64_t timestamp_us, bool keyframe, bool second_flag,
                              const uint8_t* data, size_t length) = 0;
  // Cuts an access unit in flight short (stop).
  virtual void ResetStreamState() = 0;
  virtual void SetClientFragmentLimit(uint32_t fragments) = 0;
};

// Timings of one access unit (host clock, us), for tests and the benchmark.
struct FrameTiming {
  uint64_t frame_number = 0;
  int64_t capture_us = 0;
  int64_t encode_start_us = 0;
  int64_t encode_end_us = 0;
  int64_t send_start_us = 0;      // the first send began (its pacer waits lie in between)
  int64_t last_datagram_us = 0;   // when the first send's last datagram left
  bool keyframe = false;
  size_t bytes = 0;
};

class IFrameObserver {
 public:
  virtual ~IFrameObserver() = default;
  virtual void OnFrameSent(const FrameTiming& timing) = 0;
};

struct FrameLoopSettings {
  uint32_t width = 0;   // negotiated stream size
  uint32_t height = 0;
  uint32_t fps = 60;
  uint32_t bitrate_kbps = 0;  // negotiated
  VideoCodec codec = VideoCodec::kH264;
  uint32_t fragment_limit = 256;  // the limit the sender enforces
  bool supports_resize = false;
  bool second_flag = false;
  uint32_t monitor_index = 0;
  uint64_t capture_adapter_luid = 0;  // 0: unknown
};

// The session's shared state (not owned; must outlive the loop).
struct FrameLoopShared {
  std::atomic<uint32_t>* bitrate_kbps = nullptr;
  std::atomic<uint32_t>* fps_cap = nullptr;
  std::atomic<uint32_t>* encode_scale_permille = nullptr;
  std::atomic<bool>* keyframe_request = nullptr;  // the pipeline's own request
  std::atomic<uint64_t>* frame_counter = nullptr;
  std::atomic<uint32_t>* next_video_seq = nullptr;  // written by the send worker only
  // Host-clock time (us) of the loop's latest keyframe of its own (resize,
  // oversize drop, resume, stale frame, reset); the tablet's drops in the
  // seconds after it are the loop's doing, not the network's. May be null.
  std::atomic<int64_t>* own_keyframe_us = nullptr;
};

struct FrameLoopDeps {
  IClock* clock = nullptr;
  IPreciseSleeper* sleeper = nullptr;
  IVideoEncoder* encoder = nullptr;  // null: no pipeline
  IVideoFrameSink* sink = nullptr;
  // The capture front-end for the stream, on the encoder's device when it
  // runs GPU-direct (null device otherwise). Null when none can be made.
  std::function<std::unique_ptr<CaptureManager>(std::shared_ptr<GpuDevice>)> make_capture;
  std::function<bool()> redraw_desktop;
  IFrameObserver* observer = nullptr;
};

class FrameLoop {
 public:
  static constexpr uint32_t kPausePollMs = 50;
  static constexpr uint64_t kStatsIntervalMs = 5000;
  static constexpr uint64_t kProtectedNoticeIntervalMs = 3000;
  static constexpr int kProtectedContentError = 2101;

  FrameLoop(FrameLoopSettings settings, FrameLoopShared shared, IFrameLoopSession& session, FrameLoopDeps deps);
  ~FrameLoop();
  FrameLoop(const FrameLoop&) = delete;
  FrameLoop& operator=(const FrameLoop&) = delete;

  // The capture thread's body; returns when the session stops streaming.
  // False when the loop could not start (no pipeline).
  bool Run();

  const FrameCounters& Counters() const { return diag_.counters(); }
  // Every job captured so far is encoded (or dropped) and every access unit
  // sent (or dropped): tests in virtual time wait for it before moving on.
  bool WorkersIdle() const;

 private:
  struct RecentJob {
    int64_t timestamp_us = 0;
    uint64_t frame_number = 0;
    uint32_t copies = 1;
  };

  bool SetUp();
  void MatchAdapter();
  void CaptureLoop();
  void StopWorkers();
  void EncodeWorker();
  void SendWorker();
  void Encode(EncodeJob& job);
  void ResizeIfAsked();
  bool StartEncoderAt(uint32_t width, uint32_t height);
  void ResetEncoder();
  void Collect(const EncodeJob& job, int64_t encode_start_us);
  void PushAccessUnit(EncodedAccessUnit& unit, const EncodeJob& job, int64_t encode_start_us);
  void RequestPipelineKeyframe() {
    MarkOwnKeyframe();
    shared_.keyframe_request->store(true);
  }
  void MarkOwnKeyframe() {
    if (shared_.own_keyframe_us != nullptr) shared_.own_keyframe_us->store(std::max<int64_t>(clock_.NowUs(), 1));
  }
  FrameDiagContext DiagContext();
  void RecreateCapture();

  const FrameLoopSettings settings_;
  const FrameLoopShared shared_;
  IFrameLoopSession& session_;
  const FrameLoopDeps deps_;
  IClock& clock_;

  std::unique_ptr<CaptureManager> capture_;
  EncodeQueue encode_queue_;
  SendQueue send_queue_;
  std::atomic<bool> stopping_{false};
  std::thread encode_thread_;
  std::thread send_thread_;

  std::atomic<uint64_t> generation_{0};
  std::atomic<uint64_t> jobs_in_{0}, jobs_out_{0}, units_in_{0}, units_out_{0};
  FrameDiagnostics diag_;
  int64_t stream_start_us_ = 0;

  // Encode worker only.
  OversizeGovernor governor_;
  EncodeScalePlanner planner_;
  uint32_t encode_width_ = 0;
  uint32_t encode_height_ = 0;
  uint32_t consecutive_failures_ = 0;
  uint64_t last_reset_ms_ = 0;
  bool has_reset_ = false;
  bool first_frame_sent_ = false;
  RateLimiter encode_fail_log_{1000};
  RateLimiter empty_unit_log_{1000};
  RateLimiter oversize_log_{2000};
  std::mutex recent_mu_;
  RecentJob recent_[8];
  size_t recent_next_ = 0;

  RateLimiter overflow_log_{2000};  // capture thread

  // Send worker and encode worker.
  RateLimiter send_queue_log_{2000};
};

}  // namespace orvane
