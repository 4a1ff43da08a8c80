#include "tools/tablet_sim/sim_input.h"

#include <algorithm>
#include <cstdio>

namespace orvane::sim {
namespace {

namespace pb = ::orvane::protocol::v1;

const char* TouchActionName(pb::TouchAction action) {
  switch (action) {
    case pb::TOUCH_ACTION_DOWN: return "down";
    case pb::TOUCH_ACTION_MOVE: return "move";
    case pb::TOUCH_ACTION_UP: return "up";
    case pb::TOUCH_ACTION_CANCEL: return "cancel";
    default: return "unknown";
  }
}

}  // namespace

pb::InputEvent InputEventFactory::NewEvent(uint64_t now_us) {
  pb::InputEvent event;
  event.set_timestamp_us(now_us);
  event.set_sequence_number(next_sequence_++);
  return event;
}

std::vector<pb::InputEvent> InputEventFactory::TouchGesture(uint32_t count, uint64_t now_us) {
  count = std::clamp(count, kMinTouchEvents, kMaxTouchEvents);
  std::vector<pb::InputEvent> events;
  events.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    // A stroke from (0.25, 0.40) to (0.75, 0.60) across the streamed monitor.
    const float t = static_cast<float>(i) / static_cast<float>(count - 1);
    pb::InputEvent event = NewEvent(now_us);
    pb::TouchEvent* touch = event.mutable_touch();
    touch->set_action(i == 0 ? pb::TOUCH_ACTION_DOWN : i + 1 == count ? pb::TOUCH_ACTION_UP : pb::TOUCH_ACTION_MOVE);
    touch->set_pointer_id(kSimTouchPointerId);
    touch->set_x_normalized(0.25f + 0.5f * t);
    touch->set_y_normalized(0.40f + 0.2f * t);
    touch->set_pressure(i + 1 == count ? 0.0f : 0.5f);
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<pb::InputEvent> InputEventFactory::KeyPress(uint32_t key_code, uint64_t now_us) {
  std::vector<pb::InputEvent> events;
  for (const pb::KeyAction action : {pb::KEY_ACTION_KEY_DOWN, pb::KEY_ACTION_KEY_UP}) {
    pb::InputEvent event = NewEvent(now_us);
    pb::KeyEvent* key = event.mutable_key();
    key->set_action(action);
    key->set_key_code(key_code);
    key->set_physical_key(true);
    events.push_back(std::move(event));
  }
  return events;
}

std::string DescribeInputEvent(const pb::InputEvent& event) {
  char text[160];
  switch (event.event_case()) {
    case pb::InputEvent::kTouch: {
      const pb::TouchEvent& t = event.touch();
      std::snprintf(text, sizeof text, "touch action=%s pointer_id=%u x=%.3f y=%.3f pressure=%.2f seq=%u",
                    TouchActionName(t.action()), t.pointer_id(), static_cast<double>(t.x_normalized()),
                    static_cast<double>(t.y_normalized()), static_cast<double>(t.pressure()),
                    event.sequence_number());
      break;
    }
    case pb::InputEvent::kKey:
      std::snprintf(text, sizeof text, "key action=%s key_code=%u seq=%u",
                    event.key().action() == pb::KEY_ACTION_KEY_DOWN ? "down" : "up", event.key().key_code(),
                    event.sequence_number());
      break;
    default:
      std::snprintf(text, sizeof text, "event type=%d seq=%u", static_cast<int>(event.event_case()),
                    event.sequence_number());
      break;
  }
  return text;
}

}  // namespace orvane::sim
