#pragma once
// The two bounded queues of a stream: captured frames waiting for the
// encoder (two at most, the oldest dropped) and access units waiting for the
// network (32 at most and 200 ms of age, a backlog replaced by a keyframe).
// One producer and one consumer each; Pop blocks until an item or Stop.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "host/common/clock.h"
#include "host/video/capture_source.h"
#include "host/video/gpu_device.h"

namespace orvane {

struct EncodeJob {
  uint64_t frame_number = 0;
  int64_t timestamp_us = 0;
  // The captured image, owned: a pooled image or a texture of the capture
  // device (nothing pooled is reused while a job holds it).
  std::shared_ptr<const CpuImage> image;
  std::shared_ptr<const GpuTexture> texture;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  uint32_t bitrate_kbps = 0;
  bool keyframe = false;
  bool repeat = false;
  uint32_t keyframe_copies = 1;
  uint64_t encoder_generation = 0;
};

class EncodeQueue {
 public:
  static constexpr size_t kCapacity = 2;

  // Queues the job; beyond two the oldest is dropped, and a dropped
  // keyframe's keyframe flag and copies pass to the newest job. Returns the
  // number dropped.
  uint64_t Push(EncodeJob job);
  // The oldest job; false once stopped.
  bool Pop(EncodeJob* out);
  void Stop();
  size_t Depth();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<EncodeJob> jobs_;
  bool stopped_ = false;
};

struct SendItem {
  std::vector<uint8_t> data;
  uint64_t frame_number = 0;
  int64_t timestamp_us = 0;
  bool keyframe = false;
  bool second_flag = false;
  uint32_t send_count = 1;
  int64_t enqueue_us = 0;
  int64_t encode_start_us = 0;  // the job's submit to the encoder
  int64_t encode_end_us = 0;    // the unit came out
};

struct SendPushResult {
  bool queued = false;
  uint64_t dropped = 0;               // items dropped by this push, the pushed one included
  bool keyframe_requested = false;    // a new keyframe request was raised (counted once until served)
};

class SendQueue {
 public:
  static constexpr size_t kCapacity = 32;
  static constexpr int64_t kMaxAgeUs = 200'000;

  SendPushResult Push(SendItem item, int64_t now_us);
  // The oldest item and how long it waited by `clock`; false once stopped.
  bool Pop(SendItem* out, IClock& clock, int64_t* waited_us);
  // A newer item is waiting (the repeats of a keyframe copy are skipped).
  bool HasWaiting();
  // Later frames are useless until a keyframe (an oversized or failed
  // access unit): non-keyframes are dropped until one is pushed. True when
  // this raised a new keyframe request.
  bool WaitForKeyframe();
  bool WaitingForKeyframe();
  void Stop();
  size_t Depth();

 private:
  bool FullLocked(int64_t now_us) const;
  bool RaiseRequestLocked();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<SendItem> items_;
  bool waiting_for_keyframe_ = false;
  bool request_outstanding_ = false;
  bool stopped_ = false;
};

}  // namespace orvane
