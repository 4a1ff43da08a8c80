#include "host/input/input_injector.h"

#include "host/common/logger.h"

#include <climits>
#include <cmath>

namespace orvane {

namespace pb = protocol::v1;

namespace {

float Finite(float value) { return std::isfinite(value) ? value : 0.0f; }

float Unit(float value) {
  const float v = Finite(value);
  return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}

}  // namespace

void RecordingInputInjector::Record(RecordedInput event) {
  std::lock_guard<std::mutex> lock(mu_);
  if (events_.size() >= kCapacity) events_.pop_front();
  events_.push_back(std::move(event));
}

void RecordingInputInjector::ReleaseAllKeys() {
  std::lock_guard<std::mutex> lock(mu_);
  ++key_releases_;
}

void RecordingInputInjector::ReleaseAllPointers() {
  std::lock_guard<std::mutex> lock(mu_);
  ++pointer_releases_;
}

std::vector<RecordedInput> RecordingInputInjector::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::vector<RecordedInput>(events_.begin(), events_.end());
}

size_t RecordingInputInjector::KeyReleaseCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return key_releases_;
}

size_t RecordingInputInjector::PointerReleaseCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pointer_releases_;
}

InputDispatchResult DispatchInputEvent(const uint8_t* data, size_t length, IInputInjector& injector) {
  if (data == nullptr || length > static_cast<size_t>(INT_MAX)) return InputDispatchResult::kMalformed;
  pb::InputEvent event;
  if (!event.ParseFromArray(data, static_cast<int>(length))) return InputDispatchResult::kMalformed;

  switch (event.event_case()) {
    case pb::InputEvent::kTouch: {
      const pb::TouchEvent& in = event.touch();
      if (!pb::TouchAction_IsValid(in.action())) return InputDispatchResult::kMalformed;
      TouchInput touch;
      touch.action = in.action();
      touch.pointer_id = in.pointer_id();
      touch.x = Unit(in.x_normalized());
      touch.y = Unit(in.y_normalized());
      touch.pressure = Unit(in.pressure());
      injector.InjectTouch(touch);
      return InputDispatchResult::kDispatched;
    }
    case pb::InputEvent::kPen: {
      const pb::PenEvent& in = event.pen();
      if (!pb::PenAction_IsValid(in.action()) || !pb::PenToolType_IsValid(in.tool_type())) {
        return InputDispatchResult::kMalformed;
      }
      PenInput pen;
      pen.action = in.action();
      pen.x = Unit(in.x_normalized());
      pen.y = Unit(in.y_normalized());
      pen.pressure = Unit(in.pressure());
      pen.tilt_x = Finite(in.tilt_x());
      pen.tilt_y = Finite(in.tilt_y());
      pen.orientation = Finite(in.orientation());
      pen.button_state = in.button_state();
      pen.tool_type = in.tool_type();
      injector.InjectPen(pen);
      return InputDispatchResult::kDispatched;
    }
    case pb::InputEvent::kKey: {
      const pb::KeyEvent& in = event.key();
      if (!pb::KeyAction_IsValid(in.action())) return InputDispatchResult::kMalformed;
      KeyInput key;
      key.action = in.action();
      key.key_code = in.key_code();
      key.modifiers = in.modifiers();
      key.scan_code = in.scan_code();
      key.extended_key = in.extended_key();
      key.physical_key = in.physical_key();
      injector.InjectKey(key);
      return InputDispatchResult::kDispatched;
    }
    case pb::InputEvent::kMouse: {
      const pb::MouseEvent& in = event.mouse();
      if (!pb::MouseAction_IsValid(in.action()) || !pb::MouseButton_IsValid(in.button())) {
        return InputDispatchResult::kMalformed;
      }
      MouseInput mouse;
      mouse.action = in.action();
      mouse.button = in.button();
      mouse.x = Unit(in.x_normalized());
      mouse.y = Unit(in.y_normalized());
      injector.InjectMouse(mouse);
      return InputDispatchResult::kDispatched;
    }
    case pb::InputEvent::EVENT_NOT_SET:
      break;
  }
  return InputDispatchResult::kNoEvent;
}

void RecordingInputInjector::SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width,
                                       int32_t height, uint32_t stream_width, uint32_t stream_height) {
  std::lock_guard<std::mutex> lock(mu_);
  target_ = InputTarget{false, monitor_name, left, top, width, height, stream_width, stream_height};
}

void RecordingInputInjector::SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) {
  std::lock_guard<std::mutex> lock(mu_);
  target_ = InputTarget{};
  target_.stream_width = stream_width;
  target_.stream_height = stream_height;
}

bool RecordingInputInjector::PenDegraded(PenDegradation* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!pen_) return false;
  if (out != nullptr) *out = *pen_;
  return true;
}

InputTarget RecordingInputInjector::Target() const {
  std::lock_guard<std::mutex> lock(mu_);
  return target_;
}

void RecordingInputInjector::SetPenDegradation(std::optional<PenDegradation> degradation) {
  std::lock_guard<std::mutex> lock(mu_);
  pen_ = std::move(degradation);
}

void LoggingInputInjector::SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width,
                                     int32_t height, uint32_t stream_width, uint32_t stream_height) {
  LogInfo("[Input] Mapping onto %s at %d,%d %dx%d (stream %ux%u)", EscapeUntrusted(monitor_name).c_str(), left, top,
          width, height, stream_width, stream_height);
}

void LoggingInputInjector::SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) {
  LogInfo("[Input] Mapping onto the primary monitor (stream %ux%u)", stream_width, stream_height);
}

bool LoggingInputInjector::Counted() {
  std::lock_guard<std::mutex> lock(mu_);
  return ++events_ <= kLoggedEvents;
}

void LoggingInputInjector::InjectTouch(const TouchInput& touch) {
  if (!Counted()) return;
  LogInfo("[Input] touch action=%d pointer=%u x=%.3f y=%.3f pressure=%.2f", static_cast<int>(touch.action),
          touch.pointer_id, touch.x, touch.y, touch.pressure);
}

void LoggingInputInjector::InjectPen(const PenInput& pen) {
  if (!Counted()) return;
  LogInfo("[Input] pen action=%d x=%.3f y=%.3f pressure=%.2f buttons=%u", static_cast<int>(pen.action), pen.x, pen.y,
          pen.pressure, pen.button_state);
}

void LoggingInputInjector::InjectKey(const KeyInput& key) {
  if (!Counted()) return;
  LogInfo("[Input] key action=%d code=%u modifiers=%u", static_cast<int>(key.action), key.key_code, key.modifiers);
}

void LoggingInputInjector::InjectMouse(const MouseInput& mouse) {
  if (!Counted()) return;
  LogInfo("[Input] mouse action=%d button=%d x=%.3f y=%.3f", static_cast<int>(mouse.action),
          static_cast<int>(mouse.button), mouse.x, mouse.y);
}

void LoggingInputInjector::ReleaseAllPointers() {
  uint64_t events = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    events = events_;
    events_ = 0;
  }
  if (events > 0) {
    LogInfo("[Input] %llu input events received; pointers released", static_cast<unsigned long long>(events));
  }
}

}  // namespace orvane
