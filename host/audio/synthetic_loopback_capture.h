#pragma once
// A scripted loopback capture for tests and benchmarks: a sine tone (or
// silence) in chunks of a set size with timestamps on the host clock, gaps
// where nothing is delivered, timestamp jitter and silent packets, and the
// set-up results of each mode (process loopback unavailable, endpoint
// loopback at 44.1 kHz, ...). Chunks come from its own thread, or, in manual
// mode, on the caller's thread when the test asks for them.
//
// The script is set while the capture is stopped.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "host/audio/loopback_capture.h"
#include "host/common/clock.h"

namespace orvane {

struct SyntheticChunk {
  uint32_t frames = 0;    // 0: the capture's frames per callback
  int64_t gap_us = 0;     // time passing without samples before the chunk (moves every later timestamp)
  int64_t jitter_us = 0;  // added to this chunk's timestamp only
  bool silent = false;    // zeros, as a packet flagged silent
};

class SyntheticLoopbackCapture final : public ILoopbackCapture {
 public:
  enum class Delivery { kThread, kManual };

  // Largest format the capture makes (a one-second tone table).
  static constexpr uint32_t kMaxSampleRate = 192'000;
  static constexpr uint32_t kMaxChannels = 8;

  explicit SyntheticLoopbackCapture(Delivery delivery = Delivery::kThread, IClock& clock = SystemClock());
  ~SyntheticLoopbackCapture() override;
  SyntheticLoopbackCapture(const SyntheticLoopbackCapture&) = delete;
  SyntheticLoopbackCapture& operator=(const SyntheticLoopbackCapture&) = delete;

  // Script. Defaults: both modes 48 kHz stereo 16-bit and available, Start
  // succeeds, 10 ms chunks, a 1000 Hz tone at amplitude 8000, no limit.
  void SetFormat(int mode, AudioFormat format);
  // A failed process loopback falls back to endpoint loopback, with the
  // platform captures' warning; a failed endpoint loopback fails Initialize.
  void SetInitResult(int mode, HostResult result);
  void SetStartResult(HostResult result);
  void SetFramesPerCallback(uint32_t frames);  // 0: 10 ms at the rate
  void SetTone(uint32_t frequency_hz, int16_t amplitude);
  // Delivered first, in order; plain chunks follow.
  void SetChunks(std::vector<SyntheticChunk> chunks);
  // The thread stops delivering after this many chunks in all (0: no limit).
  void SetMaxChunks(uint64_t count);
  // The thread waits a chunk's duration between chunks (default: no pause).
  void SetRealTimePacing(bool paced);
  // Timestamp of the first frame after Start (default: the clock's now).
  void SetStartTimestampUs(int64_t timestamp_us);

  // Manual delivery: the next chunk(s) on the caller's thread. False when
  // not running or not in manual mode.
  bool DeliverNext();
  bool DeliverChunks(size_t count);
  // These samples (frames x channels) as they are, stamped timestamp_us.
  bool DeliverPcm(const int16_t* samples, uint32_t frames, int64_t timestamp_us);

  // Observations.
  uint32_t InitializeCalls() const;
  uint32_t StartCalls() const;
  uint64_t DeliveredChunks() const;
  bool Running() const;
  // The timestamp the next plain chunk gets.
  int64_t NextTimestampUs() const;

  // ILoopbackCapture.
  bool Initialize(int preferred_mode) override;
  bool Start(PcmCallback callback) override;
  void Stop() override;
  void Reset() override;
  bool Initialized() const override;
  AudioFormat Format() const override;
  int Mode() const override;
  HostResult LastResult() const override;

 private:
  struct Prepared {
    std::vector<int16_t>* samples = nullptr;
    uint32_t frames = 0;
    int64_t timestamp_us = 0;
  };
  // Takes the next chunk (script or plain) and fills buffer_; false when the
  // limit is reached.
  bool PrepareNextLocked(Prepared* out);
  void BuildToneLocked();
  void ThreadMain();
  void StopLocked(std::unique_lock<std::mutex>& lock);

  const Delivery delivery_;
  IClock& clock_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  AudioFormat formats_[2] = {{48'000, 2, 16}, {48'000, 2, 16}};
  HostResult init_results_[2];
  HostResult start_result_;
  uint32_t frames_per_callback_ = 0;
  uint32_t tone_hz_ = 1000;
  int16_t tone_amplitude_ = 8000;
  std::deque<SyntheticChunk> script_;
  uint64_t max_chunks_ = 0;
  bool paced_ = false;
  bool has_start_timestamp_ = false;
  int64_t start_timestamp_us_ = 0;

  bool initialized_ = false;
  int mode_ = kLoopbackModeEndpoint;
  AudioFormat format_;
  HostResult last_result_;
  bool running_ = false;
  PcmCallback callback_;
  std::thread thread_;
  uint32_t initialize_calls_ = 0;
  uint32_t start_calls_ = 0;
  uint64_t delivered_ = 0;

  // Timeline: timestamp = base + gaps + frames since base / rate.
  int64_t base_us_ = 0;
  int64_t gaps_us_ = 0;
  uint64_t frames_since_base_ = 0;
  uint64_t tone_position_ = 0;  // frame index into the one-second tone
  std::vector<int16_t> tone_;   // one second, interleaved
  std::vector<int16_t> buffer_;
};

}  // namespace orvane
