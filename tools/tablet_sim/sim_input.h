#pragma once
// Input events as the tablet sends them on the input channel: a touch
// gesture of one contact, a mouse press with the left button, a pen stroke
// and a key press, each event an InputEvent with a rising sequence number.

#include <cstdint>
#include <string>
#include <vector>

#include "orvane_protocol_v1.pb.h"
#include "tools/tablet_sim/sim_script.h"

namespace orvane::sim {

// The contact of the simulated finger.
inline constexpr uint32_t kSimTouchPointerId = 1;
// button_state of a pen event with the barrel button held.
inline constexpr uint32_t kPenBarrelButton = 0x02;

// Numbers the events and stamps them with the tablet's clock.
class InputEventFactory {
 public:
  // count events (kMinTouchEvents..kMaxTouchEvents, clamped) of one contact:
  // down, moves, up, each further right and down than the one before.
  std::vector<protocol::v1::InputEvent> TouchGesture(uint32_t count, uint64_t now_us);
  // A move to the start, then a press of the left button of count events
  // (kMinTouchEvents..kMaxTouchEvents, clamped): down, moves, and the up
  // unless release is false (the button then stays down). Each event is
  // further right and down than the one before; moves carry no button.
  std::vector<protocol::v1::InputEvent> MouseGesture(uint32_t count, bool release, uint64_t now_us);
  // A pen stroke: hover enter, count contact events (clamped like a touch
  // gesture: down, moves, up) with the pressure rising until the up, hover
  // exit; each event further right and down, the tool a pen, every event
  // with this button_state.
  std::vector<protocol::v1::InputEvent> PenStroke(uint32_t count, uint32_t button_state, uint64_t now_us);
  // Key down and key up of one virtual-key code.
  std::vector<protocol::v1::InputEvent> KeyPress(uint32_t key_code, uint64_t now_us);

  uint32_t next_sequence() const { return next_sequence_; }

 private:
  protocol::v1::InputEvent NewEvent(uint64_t now_us);

  uint32_t next_sequence_ = 1;
};

// "touch action=down pointer_id=1 x=0.250 y=0.400 pressure=0.50 seq=1",
// "mouse action=down button=left x=0.300 y=0.420 seq=2",
// "pen action=hover-enter x=0.250 y=0.400 pressure=0.00 buttons=0x02 tool=pen seq=3",
// "key action=down key_code=65 seq=4".
std::string DescribeInputEvent(const protocol::v1::InputEvent& event);

}  // namespace orvane::sim
