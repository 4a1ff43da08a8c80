#include "host/input/input_injector.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;

InputDispatchResult Dispatch(const pb::InputEvent& event, RecordingInputInjector& injector) {
  const std::string bytes = event.SerializeAsString();
  return DispatchInputEvent(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), injector);
}

TEST(InputInjectorTest, EventsReachTheInjectorSanitised) {
  RecordingInputInjector injector;
  pb::InputEvent touch;
  touch.mutable_touch()->set_action(pb::TOUCH_ACTION_MOVE);
  touch.mutable_touch()->set_pointer_id(3);
  touch.mutable_touch()->set_x_normalized(1.5f);
  touch.mutable_touch()->set_y_normalized(std::numeric_limits<float>::quiet_NaN());
  touch.mutable_touch()->set_pressure(0.25f);
  EXPECT_EQ(Dispatch(touch, injector), InputDispatchResult::kDispatched);

  pb::InputEvent pen;
  pen.mutable_pen()->set_action(pb::PEN_ACTION_HOVER_MOVE);
  pen.mutable_pen()->set_tilt_x(std::numeric_limits<float>::infinity());
  pen.mutable_pen()->set_tilt_y(-12.5f);
  pen.mutable_pen()->set_button_state(2);
  pen.mutable_pen()->set_tool_type(pb::PEN_TOOL_TYPE_ERASER);
  EXPECT_EQ(Dispatch(pen, injector), InputDispatchResult::kDispatched);

  pb::InputEvent key;
  key.mutable_key()->set_action(pb::KEY_ACTION_KEY_UP);
  key.mutable_key()->set_key_code(65);
  key.mutable_key()->set_scan_code(30);
  key.mutable_key()->set_extended_key(true);
  EXPECT_EQ(Dispatch(key, injector), InputDispatchResult::kDispatched);

  pb::InputEvent mouse;
  mouse.mutable_mouse()->set_action(pb::MOUSE_ACTION_DOWN);
  mouse.mutable_mouse()->set_button(pb::MOUSE_BUTTON_RIGHT);
  mouse.mutable_mouse()->set_x_normalized(-0.5f);
  mouse.mutable_mouse()->set_y_normalized(0.5f);
  EXPECT_EQ(Dispatch(mouse, injector), InputDispatchResult::kDispatched);

  const auto events = injector.Events();
  ASSERT_EQ(events.size(), 4u);
  const auto& t = std::get<TouchInput>(events[0]);
  EXPECT_EQ(t.action, pb::TOUCH_ACTION_MOVE);
  EXPECT_EQ(t.pointer_id, 3u);
  EXPECT_EQ(t.x, 1.0f);
  EXPECT_EQ(t.y, 0.0f);
  EXPECT_EQ(t.pressure, 0.25f);
  const auto& p = std::get<PenInput>(events[1]);
  EXPECT_EQ(p.action, pb::PEN_ACTION_HOVER_MOVE);
  EXPECT_EQ(p.tilt_x, 0.0f);
  EXPECT_EQ(p.tilt_y, -12.5f);
  EXPECT_EQ(p.button_state, 2u);
  EXPECT_EQ(p.tool_type, pb::PEN_TOOL_TYPE_ERASER);
  const auto& k = std::get<KeyInput>(events[2]);
  EXPECT_EQ(k.action, pb::KEY_ACTION_KEY_UP);
  EXPECT_EQ(k.key_code, 65u);
  EXPECT_EQ(k.scan_code, 30u);
  EXPECT_TRUE(k.extended_key);
  EXPECT_FALSE(k.physical_key);
  const auto& m = std::get<MouseInput>(events[3]);
  EXPECT_EQ(m.action, pb::MOUSE_ACTION_DOWN);
  EXPECT_EQ(m.button, pb::MOUSE_BUTTON_RIGHT);
  EXPECT_EQ(m.x, 0.0f);
  EXPECT_EQ(m.y, 0.5f);
}

TEST(InputInjectorTest, BadDatagramsAreRefused) {
  RecordingInputInjector injector;
  const uint8_t junk[] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(DispatchInputEvent(junk, sizeof junk, injector), InputDispatchResult::kMalformed);

  pb::InputEvent unknown_action;
  unknown_action.mutable_touch()->set_action(static_cast<pb::TouchAction>(42));
  EXPECT_EQ(Dispatch(unknown_action, injector), InputDispatchResult::kMalformed);

  pb::InputEvent unknown_button;
  unknown_button.mutable_mouse()->set_button(static_cast<pb::MouseButton>(9));
  EXPECT_EQ(Dispatch(unknown_button, injector), InputDispatchResult::kMalformed);

  EXPECT_EQ(Dispatch(pb::InputEvent(), injector), InputDispatchResult::kNoEvent);
  EXPECT_TRUE(injector.Events().empty());
}

TEST(InputInjectorTest, RecorderKeepsTheLatestEvents) {
  RecordingInputInjector injector;
  for (uint32_t i = 0; i < RecordingInputInjector::kCapacity + 5; ++i) {
    TouchInput touch;
    touch.pointer_id = i;
    injector.InjectTouch(touch);
  }
  const auto events = injector.Events();
  ASSERT_EQ(events.size(), RecordingInputInjector::kCapacity);
  EXPECT_EQ(std::get<TouchInput>(events.front()).pointer_id, 5u);
  injector.ReleaseAllPointers();
  EXPECT_EQ(injector.PointerReleaseCount(), 1u);
  EXPECT_EQ(injector.KeyReleaseCount(), 0u);
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

TEST(LoggingInputInjectorTest, LogsTheFirstEventsAndCountsTheRest) {
  testing::LogCapture log;
  LoggingInputInjector injector;
  TouchInput touch;
  touch.pointer_id = 4;
  touch.x = 0.25f;
  injector.InjectTouch(touch);
  KeyInput key;
  key.key_code = 65;
  injector.InjectKey(key);
  EXPECT_TRUE(log.Contains("[INFO ] [Input] touch action=0 pointer=4 x=0.250 y=0.000 pressure=0.00"));
  EXPECT_TRUE(log.Contains("[INFO ] [Input] key action=0 code=65 modifiers=0"));
  for (uint64_t i = 2; i < LoggingInputInjector::kLoggedEvents + 10; ++i) injector.InjectMouse(MouseInput{});
  EXPECT_EQ(log.Count("[Input] mouse"), LoggingInputInjector::kLoggedEvents - 2);
  injector.ReleaseAllPointers();
  EXPECT_TRUE(log.Contains("[INFO ] [Input] 74 input events received; pointers released"));
}

}  // namespace
}  // namespace orvane
