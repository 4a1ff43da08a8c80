#include "tools/tablet_sim/sim_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::sim {
namespace {

namespace pb = ::orvane::protocol::v1;

TEST(SimInput, ATouchGestureIsDownMovesAndUpOfOneContactMovingRightAndDown) {
  const struct {
    uint32_t asked;
    size_t events;
  } cases[] = {{2, 2}, {3, 3}, {7, 7}, {0, kMinTouchEvents}, {500, kMaxTouchEvents}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    InputEventFactory factory;
    const std::vector<pb::InputEvent> events = factory.TouchGesture(c.asked, 1234);
    ASSERT_EQ(events.size(), c.events);
    for (size_t i = 0; i < events.size(); ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(events[i].event_case(), pb::InputEvent::kTouch);
      const pb::TouchEvent& t = events[i].touch();
      const pb::TouchAction expected = i == 0                   ? pb::TOUCH_ACTION_DOWN
                                       : i + 1 == events.size() ? pb::TOUCH_ACTION_UP
                                                                : pb::TOUCH_ACTION_MOVE;
      EXPECT_EQ(t.action(), expected);
      EXPECT_EQ(t.pointer_id(), kSimTouchPointerId);
      EXPECT_EQ(events[i].sequence_number(), i + 1);
      EXPECT_EQ(events[i].timestamp_us(), 1234u);
      EXPECT_GE(t.x_normalized(), 0.0f);
      EXPECT_LE(t.x_normalized(), 1.0f);
      if (i > 0) {
        EXPECT_GT(t.x_normalized(), events[i - 1].touch().x_normalized());
        EXPECT_GT(t.y_normalized(), events[i - 1].touch().y_normalized());
      }
    }
  }
}

TEST(SimInput, KeyPressAndNumberingAcrossEvents) {
  InputEventFactory factory;
  const std::vector<pb::InputEvent> touch = factory.TouchGesture(3, 1);
  const std::vector<pb::InputEvent> key = factory.KeyPress(13, 2);
  ASSERT_EQ(key.size(), 2u);
  EXPECT_EQ(key[0].key().action(), pb::KEY_ACTION_KEY_DOWN);
  EXPECT_EQ(key[1].key().action(), pb::KEY_ACTION_KEY_UP);
  EXPECT_EQ(key[0].key().key_code(), 13u);
  EXPECT_TRUE(key[0].key().physical_key());
  EXPECT_EQ(key[0].sequence_number(), 4u);
  EXPECT_EQ(key[1].sequence_number(), 5u);
  EXPECT_EQ(factory.next_sequence(), 6u);
  EXPECT_EQ(DescribeInputEvent(touch[0]), "touch action=down pointer_id=1 x=0.250 y=0.400 pressure=0.50 seq=1");
  EXPECT_EQ(DescribeInputEvent(touch[2]), "touch action=up pointer_id=1 x=0.750 y=0.600 pressure=0.00 seq=3");
  EXPECT_EQ(DescribeInputEvent(key[1]), "key action=up key_code=13 seq=5");
  // What the host parses is what was built.
  pb::InputEvent parsed;
  ASSERT_TRUE(parsed.ParseFromString(touch[1].SerializeAsString()));
  EXPECT_EQ(parsed.touch().action(), pb::TOUCH_ACTION_MOVE);
}

}  // namespace
}  // namespace orvane::sim
