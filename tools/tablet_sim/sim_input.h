#pragma once
// Input events as the tablet sends them on the input channel: a touch
// gesture of one contact and a key press, each event an InputEvent with a
// rising sequence number.

#include <cstdint>
#include <string>
#include <vector>

#include "orvane_protocol_v1.pb.h"
#include "tools/tablet_sim/sim_script.h"

namespace orvane::sim {

// The contact of the simulated finger.
inline constexpr uint32_t kSimTouchPointerId = 1;

// Numbers the events and stamps them with the tablet's clock.
class InputEventFactory {
 public:
  // count events (kMinTouchEvents..kMaxTouchEvents, clamped) of one contact:
  // down, moves, up, each further right and down than the one before.
  std::vector<protocol::v1::InputEvent> TouchGesture(uint32_t count, uint64_t now_us);
  // Key down and key up of one virtual-key code.
  std::vector<protocol::v1::InputEvent> KeyPress(uint32_t key_code, uint64_t now_us);

  uint32_t next_sequence() const { return next_sequence_; }

 private:
  protocol::v1::InputEvent NewEvent(uint64_t now_us);

  uint32_t next_sequence_ = 1;
};

// "touch action=down pointer_id=1 x=0.250 y=0.400 pressure=0.50 seq=1",
// "key action=down key_code=65 seq=4".
std::string DescribeInputEvent(const protocol::v1::InputEvent& event);

}  // namespace orvane::sim
