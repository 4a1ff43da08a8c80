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

// The actions of a sequence, one letter each: m move, d down, u up, e hover
// enter, h hover move, x hover exit.
std::string Actions(const std::vector<pb::InputEvent>& events) {
  std::string out;
  for (const pb::InputEvent& e : events) {
    if (e.event_case() == pb::InputEvent::kMouse) {
      out += e.mouse().action() == pb::MOUSE_ACTION_DOWN ? 'd' : e.mouse().action() == pb::MOUSE_ACTION_UP ? 'u' : 'm';
    } else if (e.event_case() == pb::InputEvent::kPen) {
      switch (e.pen().action()) {
        case pb::PEN_ACTION_DOWN: out += 'd'; break;
        case pb::PEN_ACTION_MOVE: out += 'm'; break;
        case pb::PEN_ACTION_UP: out += 'u'; break;
        case pb::PEN_ACTION_HOVER_ENTER: out += 'e'; break;
        case pb::PEN_ACTION_HOVER_MOVE: out += 'h'; break;
        default: out += 'x'; break;
      }
    } else {
      out += '?';
    }
  }
  return out;
}

float X(const pb::InputEvent& e) { return e.has_mouse() ? e.mouse().x_normalized() : e.pen().x_normalized(); }
float Y(const pb::InputEvent& e) { return e.has_mouse() ? e.mouse().y_normalized() : e.pen().y_normalized(); }

// Every event of a gesture: numbered from 1, stamped, on the monitor, and
// further right and down than the one before.
void ExpectAStroke(const std::vector<pb::InputEvent>& events) {
  for (size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].sequence_number(), i + 1);
    EXPECT_EQ(events[i].timestamp_us(), 777u);
    EXPECT_GE(X(events[i]), 0.0f);
    EXPECT_LE(X(events[i]), 1.0f);
    if (i > 0) {
      EXPECT_GT(X(events[i]), X(events[i - 1]));
      EXPECT_GT(Y(events[i]), Y(events[i - 1]));
    }
  }
}

TEST(SimInput, AMouseGestureIsAMoveThenALeftPressWithOrWithoutTheRelease) {
  const struct {
    uint32_t asked;
    bool release;
    std::string actions;
  } cases[] = {
      {4, true, "mdmmu"},
      {2, true, "mdu"},
      {3, true, "mdmu"},
      {4, false, "mdmm"},
      {2, false, "md"},
      {0, true, "mdu"},  // clamped like a touch gesture
      {500, true, std::string("md").append(kMaxTouchEvents - 2, 'm').append("u")},
      {500, false, std::string("md").append(kMaxTouchEvents - 2, 'm')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.asked) + (c.release ? " released" : " held"));
    InputEventFactory factory;
    const std::vector<pb::InputEvent> events = factory.MouseGesture(c.asked, c.release, 777);
    EXPECT_EQ(Actions(events), c.actions);
    ExpectAStroke(events);
    for (const pb::InputEvent& e : events) {
      // The press and the release name the left button; moves none.
      const bool press = e.mouse().action() != pb::MOUSE_ACTION_MOVE;
      EXPECT_EQ(e.mouse().button(), press ? pb::MOUSE_BUTTON_LEFT : pb::MOUSE_BUTTON_NONE);
    }
  }
}

TEST(SimInput, APenStrokeHoversPressesWithRisingPressureAndLeaves) {
  const struct {
    uint32_t asked;
    uint32_t buttons;
    std::string actions;
  } cases[] = {
      {4, 0, "edmmux"},
      {2, 0, "edux"},
      {5, kPenBarrelButton, "edmmmux"},
      {1, kPenBarrelButton, "edux"},  // clamped like a touch gesture
      {500, 0, std::string("ed").append(kMaxTouchEvents - 2, 'm').append("ux")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.asked) + " buttons " + std::to_string(c.buttons));
    InputEventFactory factory;
    const std::vector<pb::InputEvent> events = factory.PenStroke(c.asked, c.buttons, 777);
    EXPECT_EQ(Actions(events), c.actions);
    ExpectAStroke(events);
    float pressure = 0.0f;
    for (size_t i = 0; i < events.size(); ++i) {
      SCOPED_TRACE(i);
      const pb::PenEvent& p = events[i].pen();
      EXPECT_EQ(p.button_state(), c.buttons);
      EXPECT_EQ(p.tool_type(), pb::PEN_TOOL_TYPE_PEN);
      if (c.actions[i] == 'd' || c.actions[i] == 'm') {
        // On the screen: pressure rises from the down on.
        EXPECT_GT(p.pressure(), pressure);
        EXPECT_LE(p.pressure(), 1.0f);
        pressure = p.pressure();
      } else {
        EXPECT_EQ(p.pressure(), 0.0f);  // hovering, or lifted
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
  const std::vector<pb::InputEvent> mouse = factory.MouseGesture(2, true, 3);
  EXPECT_EQ(DescribeInputEvent(mouse[0]), "mouse action=move button=none x=0.250 y=0.400 seq=6");
  EXPECT_EQ(DescribeInputEvent(mouse[1]), "mouse action=down button=left x=0.500 y=0.500 seq=7");
  EXPECT_EQ(DescribeInputEvent(mouse[2]), "mouse action=up button=left x=0.750 y=0.600 seq=8");
  const std::vector<pb::InputEvent> pen = factory.PenStroke(3, kPenBarrelButton, 4);
  EXPECT_EQ(DescribeInputEvent(pen[0]),
            "pen action=hover-enter x=0.250 y=0.400 pressure=0.00 buttons=0x02 tool=pen seq=9");
  EXPECT_EQ(DescribeInputEvent(pen[1]), "pen action=down x=0.375 y=0.450 pressure=0.20 buttons=0x02 tool=pen seq=10");
  EXPECT_EQ(DescribeInputEvent(pen[2]), "pen action=move x=0.500 y=0.500 pressure=0.80 buttons=0x02 tool=pen seq=11");
  EXPECT_EQ(DescribeInputEvent(pen[4]),
            "pen action=hover-exit x=0.750 y=0.600 pressure=0.00 buttons=0x02 tool=pen seq=13");
  EXPECT_EQ(factory.next_sequence(), 14u);
  // What the host parses is what was built.
  pb::InputEvent parsed;
  ASSERT_TRUE(parsed.ParseFromString(touch[1].SerializeAsString()));
  EXPECT_EQ(parsed.touch().action(), pb::TOUCH_ACTION_MOVE);
  ASSERT_TRUE(parsed.ParseFromString(pen[1].SerializeAsString()));
  EXPECT_EQ(parsed.pen().action(), pb::PEN_ACTION_DOWN);
  EXPECT_EQ(parsed.pen().button_state(), kPenBarrelButton);
  ASSERT_TRUE(parsed.ParseFromString(mouse[2].SerializeAsString()));
  EXPECT_EQ(parsed.mouse().button(), pb::MOUSE_BUTTON_LEFT);
}

}  // namespace
}  // namespace orvane::sim
