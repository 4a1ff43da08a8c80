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

const char* MouseActionName(pb::MouseAction action) {
  switch (action) {
    case pb::MOUSE_ACTION_MOVE: return "move";
    case pb::MOUSE_ACTION_DOWN: return "down";
    case pb::MOUSE_ACTION_UP: return "up";
    default: return "unknown";
  }
}

const char* MouseButtonName(pb::MouseButton button) {
  switch (button) {
    case pb::MOUSE_BUTTON_NONE: return "none";
    case pb::MOUSE_BUTTON_LEFT: return "left";
    case pb::MOUSE_BUTTON_RIGHT: return "right";
    case pb::MOUSE_BUTTON_MIDDLE: return "middle";
    default: return "unknown";
  }
}

const char* PenActionName(pb::PenAction action) {
  switch (action) {
    case pb::PEN_ACTION_DOWN: return "down";
    case pb::PEN_ACTION_MOVE: return "move";
    case pb::PEN_ACTION_UP: return "up";
    case pb::PEN_ACTION_HOVER_ENTER: return "hover-enter";
    case pb::PEN_ACTION_HOVER_MOVE: return "hover-move";
    case pb::PEN_ACTION_HOVER_EXIT: return "hover-exit";
    default: return "unknown";
  }
}

const char* PenToolName(pb::PenToolType tool) {
  switch (tool) {
    case pb::PEN_TOOL_TYPE_PEN: return "pen";
    case pb::PEN_TOOL_TYPE_ERASER: return "eraser";
    default: return "unknown";
  }
}

// Point i of n on the stroke from (0.25, 0.40) to (0.75, 0.60) across the
// streamed monitor.
float StrokeT(uint32_t i, uint32_t n) { return static_cast<float>(i) / static_cast<float>(n - 1); }
float StrokeX(uint32_t i, uint32_t n) { return 0.25f + 0.5f * StrokeT(i, n); }
float StrokeY(uint32_t i, uint32_t n) { return 0.40f + 0.2f * StrokeT(i, n); }

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
    pb::InputEvent event = NewEvent(now_us);
    pb::TouchEvent* touch = event.mutable_touch();
    touch->set_action(i == 0 ? pb::TOUCH_ACTION_DOWN : i + 1 == count ? pb::TOUCH_ACTION_UP : pb::TOUCH_ACTION_MOVE);
    touch->set_pointer_id(kSimTouchPointerId);
    touch->set_x_normalized(StrokeX(i, count));
    touch->set_y_normalized(StrokeY(i, count));
    touch->set_pressure(i + 1 == count ? 0.0f : 0.5f);
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<pb::InputEvent> InputEventFactory::MouseGesture(uint32_t count, bool release, uint64_t now_us) {
  count = std::clamp(count, kMinTouchEvents, kMaxTouchEvents);
  // The move to the start, then the press; without the release its last
  // event is a move with the button still down.
  const uint32_t total = release ? count + 1 : count;
  std::vector<pb::InputEvent> events;
  events.reserve(total);
  for (uint32_t i = 0; i < total; ++i) {
    pb::InputEvent event = NewEvent(now_us);
    pb::MouseEvent* mouse = event.mutable_mouse();
    const bool down = i == 1;
    const bool up = release && i + 1 == total;
    mouse->set_action(down ? pb::MOUSE_ACTION_DOWN : up ? pb::MOUSE_ACTION_UP : pb::MOUSE_ACTION_MOVE);
    mouse->set_button(down || up ? pb::MOUSE_BUTTON_LEFT : pb::MOUSE_BUTTON_NONE);
    mouse->set_x_normalized(StrokeX(i, total));
    mouse->set_y_normalized(StrokeY(i, total));
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<pb::InputEvent> InputEventFactory::PenStroke(uint32_t count, uint32_t button_state, uint64_t now_us) {
  count = std::clamp(count, kMinTouchEvents, kMaxTouchEvents);
  const uint32_t total = count + 2;  // hover enter and hover exit around the contact
  std::vector<pb::InputEvent> events;
  events.reserve(total);
  for (uint32_t i = 0; i < total; ++i) {
    pb::InputEvent event = NewEvent(now_us);
    pb::PenEvent* pen = event.mutable_pen();
    pb::PenAction action = pb::PEN_ACTION_HOVER_ENTER;
    float pressure = 0.0f;
    if (i + 1 == total) {
      action = pb::PEN_ACTION_HOVER_EXIT;
    } else if (i > 0) {
      // Contact event c of count: the down, the moves, then the up.
      const uint32_t c = i - 1;
      if (c + 1 == count) {
        action = pb::PEN_ACTION_UP;
      } else {
        action = c == 0 ? pb::PEN_ACTION_DOWN : pb::PEN_ACTION_MOVE;
        // From 0.20 at the down to 0.80 at the last move.
        pressure = count == 2 ? 0.2f : 0.2f + 0.6f * static_cast<float>(c) / static_cast<float>(count - 2);
      }
    }
    pen->set_action(action);
    pen->set_x_normalized(StrokeX(i, total));
    pen->set_y_normalized(StrokeY(i, total));
    pen->set_pressure(pressure);
    pen->set_button_state(button_state);
    pen->set_tool_type(pb::PEN_TOOL_TYPE_PEN);
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
    case pb::InputEvent::kMouse: {
      const pb::MouseEvent& m = event.mouse();
      std::snprintf(text, sizeof text, "mouse action=%s button=%s x=%.3f y=%.3f seq=%u", MouseActionName(m.action()),
                    MouseButtonName(m.button()), static_cast<double>(m.x_normalized()),
                    static_cast<double>(m.y_normalized()), event.sequence_number());
      break;
    }
    case pb::InputEvent::kPen: {
      const pb::PenEvent& p = event.pen();
      std::snprintf(text, sizeof text, "pen action=%s x=%.3f y=%.3f pressure=%.2f buttons=0x%02X tool=%s seq=%u",
                    PenActionName(p.action()), static_cast<double>(p.x_normalized()),
                    static_cast<double>(p.y_normalized()), static_cast<double>(p.pressure()), p.button_state(),
                    PenToolName(p.tool_type()), event.sequence_number());
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
