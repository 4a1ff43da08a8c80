#include "host/video/cursor_sender.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "host/common/logger.h"
#include "host/video/color_convert.h"

namespace orvane {

namespace {

// round(num / den) for a non-negative denominator, halves away from zero.
int64_t RoundDiv(int64_t num, int64_t den) {
  if (den <= 0) return 0;
  return num >= 0 ? (num * 2 + den) / (den * 2) : -((-num * 2 + den) / (den * 2));
}

}  // namespace

MappedCursorPosition MapCursorPosition(int32_t x, int32_t y, const CursorCaptureRect& rect, CursorStreamSize stream) {
  MappedCursorPosition out{x, y, true};
  if (rect.width <= 0 || rect.height <= 0 || stream.width == 0 || stream.height == 0) return out;
  const int64_t dx = static_cast<int64_t>(x) - rect.left;
  const int64_t dy = static_cast<int64_t>(y) - rect.top;
  out.inside = dx >= 0 && dy >= 0 && dx < rect.width && dy < rect.height;
  const FitRectResult fit = FitRect(static_cast<uint32_t>(rect.width), static_cast<uint32_t>(rect.height),
                                    stream.width, stream.height);
  const int64_t px = static_cast<int64_t>(fit.x) + RoundDiv(dx * fit.w, rect.width);
  const int64_t py = static_cast<int64_t>(fit.y) + RoundDiv(dy * fit.h, rect.height);
  out.x = static_cast<int32_t>(std::clamp<int64_t>(px, INT32_MIN, INT32_MAX));
  out.y = static_cast<int32_t>(std::clamp<int64_t>(py, INT32_MIN, INT32_MAX));
  return out;
}

CursorSender::CursorSender(std::unique_ptr<CursorTracker> tracker, CursorSenderOptions options)
    : tracker_(std::move(tracker)),
      options_(std::move(options)),
      sleeper_(options_.sleeper ? *options_.sleeper : SystemPreciseSleeper()) {}

CursorSender::~CursorSender() { Stop(); }

bool CursorSender::Start() {
  if (loop_thread_.load() == std::this_thread::get_id()) return !stop_.load();
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  if (thread_.joinable()) {
    if (!stop_.load()) return true;
    thread_.join();  // a loop that was asked to end from within
  }
  if (!tracker_) return false;
  stop_ = false;
  tracker_->ForceFullUpdate();
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::system_error& e) {
    LogError("[Cursor] Could not start the update sender thread: %s", e.what());
    return false;
  }
  return true;
}

void CursorSender::Stop() {
  // Checked before the lock: a Stop from another thread may hold it while
  // joining this very thread.
  if (loop_thread_.load() == std::this_thread::get_id()) {
    stop_ = true;
    LogError("[Cursor] Stop called on the update sender's own thread; refused (the loop ends at its next check)");
    return;
  }
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  stop_ = true;
  if (!thread_.joinable()) return;
  thread_.join();
}

void CursorSender::Loop() {
  loop_thread_ = std::this_thread::get_id();
  LogInfo("[Cursor] Update sender started (poll_us=%llu)", static_cast<unsigned long long>(kCursorPollUs));
  while (!stop_.load()) {
    Tick();
    if (stop_.load()) break;
    sleeper_.SleepUs(kCursorPollUs);
  }
  LogInfo("[Cursor] Update sender stopped (sent=%llu)", static_cast<unsigned long long>(sent_.load()));
  loop_thread_ = std::thread::id();
}

void CursorSender::Tick() {
  if (!tracker_) return;
  CursorState state = tracker_->Poll();
  if (!state.changed && !retry_position_) return;
  const CursorStreamSize stream = options_.stream_size ? options_.stream_size() : CursorStreamSize{};
  const MappedCursorPosition pos = MapCursorPosition(state.x, state.y, options_.rect, stream);
  protocol::v1::CursorUpdate update;
  update.set_position_x(pos.x);
  update.set_position_y(pos.y);
  update.set_shape(state.shape);
  update.set_hotspot_x(state.hotspot_x);
  update.set_hotspot_y(state.hotspot_y);
  update.set_width(state.width);
  update.set_height(state.height);
  update.set_visible(state.visible && pos.inside);
  if (!state.image.empty()) update.set_bitmap_argb(state.image.data(), state.image.size());
  const bool ok = options_.send && options_.send(update);
  if (ok) {
    sent_ += 1;
    retry_position_ = false;
    return;
  }
  // Not sent: the next tick repeats it; a new shape with its picture.
  if (state.shape_changed) {
    tracker_->ForceFullUpdate();
  } else {
    retry_position_ = true;
  }
}

}  // namespace orvane
