#pragma once
// Windows key numbering translated for the X server: set-1 scan codes to
// Linux evdev codes and X keycodes, virtual keys to keysyms, and the US
// layout's virtual-key to scan-code table (what MapVirtualKeyEx with
// MAPVK_VK_TO_VSC_EX gives for the US keyboard). Pure tables, no Xlib.

#include <cstdint>

namespace orvane::x11keys {

// X keycode = evdev code + 8 under the server's evdev XKB keycodes (Xvfb's
// default and every evdev-driven server).
inline constexpr uint32_t kEvdevKeycodeOffset = 8;

// The evdev code of a set-1 scan code; 0 when it has none. The high byte of
// scan_code may carry the prefix (0xE0 extended, 0xE1 for Pause); otherwise
// `extended` stands for 0xE0. The fake shifts (E0 2A, E0 36) have none.
uint32_t EvdevCodeOfScanCode(uint32_t scan_code, bool extended);

// The X keycode of that scan code (8..255); 0 when it has none.
uint32_t XKeycodeOfScanCode(uint32_t scan_code, bool extended);

// The keysym a virtual key stands for (letters as lower case, the extended
// flag picking the right-hand control and alt and the keypad's enter); 0 when
// the key has none here.
uint32_t KeysymOfVirtualKey(uint32_t virtual_key, bool extended);

// The US layout's scan code of a virtual key with its prefix in the high
// byte (0xE0 or 0xE1); 0 when the layout has none.
uint32_t UsScanCodeOfVirtualKey(uint32_t virtual_key);

}  // namespace orvane::x11keys
