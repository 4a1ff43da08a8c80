#pragma once
// CursorSender: the pointer's updates for one stream, on a thread of its own.
//
// Every 8 ms it polls the tracker and, when something changed, sends a
// CursorUpdate with the position translated into the stream picture (which
// is letterboxed like the picture, FitRect). Its first update after Start is
// a full one, so a new stream shows the pointer before it moves.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/common/precise_sleep.h"
#include "host/video/cursor_tracker.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane {

inline constexpr int64_t kCursorPollUs = 8000;

// The captured monitor's rectangle (all 0 when it is empty).
struct CursorCaptureRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
};

struct CursorStreamSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// A desktop position in the stream picture: x' = fit.x + round((x - left) x
// fit.w / capture width), y likewise, with fit = FitRect(capture, stream);
// inside = the position lies in the capture rectangle. Without a rectangle or
// a stream size the position is unchanged and inside is true.
struct MappedCursorPosition {
  int32_t x = 0;
  int32_t y = 0;
  bool inside = true;
};
MappedCursorPosition MapCursorPosition(int32_t x, int32_t y, const CursorCaptureRect& rect, CursorStreamSize stream);

struct CursorSenderOptions {
  // Sends one update on the control channel; false when it did not leave.
  std::function<bool(const protocol::v1::CursorUpdate&)> send;
  // The stream's negotiated size, read before every update.
  std::function<CursorStreamSize()> stream_size;
  CursorCaptureRect rect;
  // The timer between polls; SystemPreciseSleeper() when null.
  IPreciseSleeper* sleeper = nullptr;
};

class CursorSender {
 public:
  CursorSender(std::unique_ptr<CursorTracker> tracker, CursorSenderOptions options);
  // Stops. Never destroy a sender from its own thread (its send callback).
  ~CursorSender();

  CursorSender(const CursorSender&) = delete;
  CursorSender& operator=(const CursorSender&) = delete;

  bool Start();
  // Sets the stop flag and joins. Idempotent; refused (with an error line)
  // on the sender's own thread, where it only asks the loop to end.
  void Stop();
  bool Running() const { return thread_.joinable(); }

  // Updates that left.
  uint64_t SentCount() const { return sent_.load(); }

  // One pass of the loop without the wait: poll and send when changed.
  void Tick();

 private:
  void Loop();

  std::unique_ptr<CursorTracker> tracker_;
  CursorSenderOptions options_;
  IPreciseSleeper& sleeper_;
  std::mutex lifecycle_mu_;
  std::thread thread_;
  std::atomic<std::thread::id> loop_thread_{};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  // A failed update is repeated next tick; one that carried a shape is
  // repeated with its picture.
  bool retry_position_ = false;
};

}  // namespace orvane
