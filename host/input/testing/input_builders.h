#pragma once
// Inputs as the display tests of both platforms write them: what the tablet
// sends the injector, and what the injector hands its platform.

#include <cstdint>

#include "host/input/injection_platform.h"
#include "host/input/input_injector.h"

namespace orvane::testing {

// A touch of pointer 7 at half pressure.
inline TouchInput TabletTouch(protocol::v1::TouchAction action, float x, float y) {
  TouchInput t;
  t.action = action;
  t.pointer_id = 7;
  t.x = x;
  t.y = y;
  t.pressure = 0.5f;
  return t;
}

inline KeyInput TabletKey(protocol::v1::KeyAction action, uint32_t key_code, uint32_t scan_code,
                          uint32_t modifiers = 0) {
  KeyInput k;
  k.action = action;
  k.key_code = key_code;
  k.scan_code = scan_code;
  k.modifiers = modifiers;
  return k;
}

// A key for the platform's SendInput: key_flag bits in `flags`.
inline PlatformInput PlatformKey(uint16_t virtual_key, uint16_t scan_code, uint32_t flags) {
  PlatformInput input;
  input.kind = PlatformInput::Kind::kKey;
  input.virtual_key = virtual_key;
  input.scan_code = scan_code;
  input.key_flags = flags;
  return input;
}

}  // namespace orvane::testing
