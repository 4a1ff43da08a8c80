#include "host/input/x11_keys_linux.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <linux/input-event-codes.h>

namespace orvane::x11keys {

namespace {

constexpr uint32_t kExtendedPrefix = 0xE0;
constexpr uint32_t kPausePrefix = 0xE1;

// Scan codes without a prefix beyond the range where set 1 and evdev agree.
uint32_t EvdevOfPlainScanCode(uint32_t code) {
  if ((code >= 0x01 && code <= 0x53) || (code >= 0x56 && code <= 0x58)) return code;
  switch (code) {
    case 0x54: return KEY_SYSRQ;  // Alt+Print Screen
    case 0x59: return KEY_KPEQUAL;
    case 0x64: return KEY_F13;
    case 0x65: return KEY_F14;
    case 0x66: return KEY_F15;
    case 0x67: return KEY_F16;
    case 0x68: return KEY_F17;
    case 0x69: return KEY_F18;
    case 0x6A: return KEY_F19;
    case 0x6B: return KEY_F20;
    case 0x6C: return KEY_F21;
    case 0x6D: return KEY_F22;
    case 0x6E: return KEY_F23;
    case 0x70: return KEY_KATAKANAHIRAGANA;
    case 0x73: return KEY_RO;
    case 0x76: return KEY_F24;
    case 0x79: return KEY_HENKAN;
    case 0x7B: return KEY_MUHENKAN;
    case 0x7D: return KEY_YEN;
    case 0x7E: return KEY_KPCOMMA;
    case 0xF1: return KEY_HANJA;
    case 0xF2: return KEY_HANGEUL;
    default: return 0;
  }
}

uint32_t EvdevOfExtendedScanCode(uint32_t code) {
  switch (code) {
    case 0x10: return KEY_PREVIOUSSONG;
    case 0x19: return KEY_NEXTSONG;
    case 0x1C: return KEY_KPENTER;
    case 0x1D: return KEY_RIGHTCTRL;
    case 0x20: return KEY_MUTE;
    case 0x21: return KEY_CALC;
    case 0x22: return KEY_PLAYPAUSE;
    case 0x24: return KEY_STOPCD;
    case 0x2E: return KEY_VOLUMEDOWN;
    case 0x30: return KEY_VOLUMEUP;
    case 0x32: return KEY_HOMEPAGE;
    case 0x35: return KEY_KPSLASH;
    case 0x37: return KEY_SYSRQ;  // Print Screen
    case 0x38: return KEY_RIGHTALT;
    case 0x45: return KEY_NUMLOCK;  // Windows marks Num Lock extended
    case 0x46: return KEY_PAUSE;    // Ctrl+Break
    case 0x47: return KEY_HOME;
    case 0x48: return KEY_UP;
    case 0x49: return KEY_PAGEUP;
    case 0x4B: return KEY_LEFT;
    case 0x4D: return KEY_RIGHT;
    case 0x4F: return KEY_END;
    case 0x50: return KEY_DOWN;
    case 0x51: return KEY_PAGEDOWN;
    case 0x52: return KEY_INSERT;
    case 0x53: return KEY_DELETE;
    case 0x5B: return KEY_LEFTMETA;
    case 0x5C: return KEY_RIGHTMETA;
    case 0x5D: return KEY_COMPOSE;
    case 0x5E: return KEY_POWER;
    case 0x5F: return KEY_SLEEP;
    case 0x63: return KEY_WAKEUP;
    case 0x65: return KEY_SEARCH;
    case 0x66: return KEY_BOOKMARKS;
    case 0x67: return KEY_REFRESH;
    case 0x68: return KEY_STOP;
    case 0x69: return KEY_FORWARD;
    case 0x6A: return KEY_BACK;
    case 0x6B: return KEY_COMPUTER;
    case 0x6C: return KEY_MAIL;
    case 0x6D: return KEY_MEDIA;
    default: return 0;  // E0 2A and E0 36 are the fake shifts
  }
}

}  // namespace

uint32_t EvdevCodeOfScanCode(uint32_t scan_code, bool extended) {
  if (scan_code > 0xFFFF) return 0;
  const uint32_t prefix = scan_code >> 8;
  const uint32_t code = scan_code & 0xFF;
  if (prefix == kPausePrefix) return code == 0x1D ? KEY_PAUSE : 0;
  if (prefix != 0 && prefix != kExtendedPrefix) return 0;
  if (prefix == kExtendedPrefix || extended) return EvdevOfExtendedScanCode(code);
  return EvdevOfPlainScanCode(code);
}

uint32_t XKeycodeOfScanCode(uint32_t scan_code, bool extended) {
  const uint32_t evdev = EvdevCodeOfScanCode(scan_code, extended);
  if (evdev == 0 || evdev + kEvdevKeycodeOffset > 255) return 0;
  return evdev + kEvdevKeycodeOffset;
}

uint32_t KeysymOfVirtualKey(uint32_t virtual_key, bool extended) {
  if (virtual_key >= 'A' && virtual_key <= 'Z') return XK_a + (virtual_key - 'A');
  if (virtual_key >= '0' && virtual_key <= '9') return XK_0 + (virtual_key - '0');
  if (virtual_key >= 0x60 && virtual_key <= 0x69) return XK_KP_0 + (virtual_key - 0x60);  // VK_NUMPAD0..9
  if (virtual_key >= 0x70 && virtual_key <= 0x87) return XK_F1 + (virtual_key - 0x70);    // VK_F1..F24
  switch (virtual_key) {
    case 0x03: return XK_Break;      // VK_CANCEL
    case 0x08: return XK_BackSpace;  // VK_BACK
    case 0x09: return XK_Tab;
    case 0x0C: return XK_Clear;
    case 0x0D: return extended ? XK_KP_Enter : XK_Return;
    case 0x10: return XK_Shift_L;  // VK_SHIFT
    case 0x11: return extended ? XK_Control_R : XK_Control_L;
    case 0x12: return extended ? XK_Alt_R : XK_Alt_L;  // VK_MENU
    case 0x13: return XK_Pause;
    case 0x14: return XK_Caps_Lock;  // VK_CAPITAL
    case 0x1B: return XK_Escape;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;  // VK_PRIOR (page up)
    case 0x22: return XK_Next;   // VK_NEXT (page down)
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x29: return XK_Select;
    case 0x2A: return XK_Print;  // VK_PRINT
    case 0x2B: return XK_Execute;
    case 0x2C: return XK_Print;  // VK_SNAPSHOT
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x2F: return XK_Help;
    case 0x5B: return XK_Super_L;  // VK_LWIN
    case 0x5C: return XK_Super_R;  // VK_RWIN
    case 0x5D: return XK_Menu;     // VK_APPS
    case 0x5F: return XF86XK_Sleep;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6C: return XK_KP_Separator;
    case 0x6D: return XK_KP_Subtract;
    case 0x6E: return XK_KP_Decimal;
    case 0x6F: return XK_KP_Divide;
    case 0x90: return XK_Num_Lock;
    case 0x91: return XK_Scroll_Lock;
    case 0xA0: return XK_Shift_L;  // VK_LSHIFT
    case 0xA1: return XK_Shift_R;
    case 0xA2: return XK_Control_L;
    case 0xA3: return XK_Control_R;
    case 0xA4: return XK_Alt_L;  // VK_LMENU
    case 0xA5: return XK_Alt_R;
    case 0xA6: return XF86XK_Back;  // VK_BROWSER_BACK
    case 0xA7: return XF86XK_Forward;
    case 0xA8: return XF86XK_Refresh;
    case 0xA9: return XF86XK_Stop;
    case 0xAA: return XF86XK_Search;
    case 0xAB: return XF86XK_Favorites;
    case 0xAC: return XF86XK_HomePage;
    case 0xAD: return XF86XK_AudioMute;  // VK_VOLUME_MUTE
    case 0xAE: return XF86XK_AudioLowerVolume;
    case 0xAF: return XF86XK_AudioRaiseVolume;
    case 0xB0: return XF86XK_AudioNext;  // VK_MEDIA_NEXT_TRACK
    case 0xB1: return XF86XK_AudioPrev;
    case 0xB2: return XF86XK_AudioStop;
    case 0xB3: return XF86XK_AudioPlay;  // VK_MEDIA_PLAY_PAUSE
    case 0xB4: return XF86XK_Mail;       // VK_LAUNCH_MAIL
    case 0xB5: return XF86XK_AudioMedia;
    case 0xB6: return XF86XK_MyComputer;  // VK_LAUNCH_APP1
    case 0xB7: return XF86XK_Calculator;
    case 0xBA: return XK_semicolon;  // VK_OEM_1
    case 0xBB: return XK_equal;      // VK_OEM_PLUS
    case 0xBC: return XK_comma;
    case 0xBD: return XK_minus;
    case 0xBE: return XK_period;
    case 0xBF: return XK_slash;  // VK_OEM_2
    case 0xC0: return XK_grave;  // VK_OEM_3
    case 0xDB: return XK_bracketleft;
    case 0xDC: return XK_backslash;
    case 0xDD: return XK_bracketright;
    case 0xDE: return XK_apostrophe;  // VK_OEM_7
    case 0xE2: return XK_less;        // VK_OEM_102
    default: return 0;
  }
}

uint32_t UsScanCodeOfVirtualKey(uint32_t virtual_key) {
  // Letters in alphabetical order.
  static constexpr uint8_t kLetters[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                                           0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                                           0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
  // VK_NUMPAD0..9.
  static constexpr uint8_t kKeypad[10] = {0x52, 0x4F, 0x50, 0x51, 0x4B, 0x4C, 0x4D, 0x47, 0x48, 0x49};
  // VK_F13..F24.
  static constexpr uint8_t kHighFunctionKeys[12] = {0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
                                                    0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x76};
  if (virtual_key >= 'A' && virtual_key <= 'Z') return kLetters[virtual_key - 'A'];
  if (virtual_key == '0') return 0x0B;
  if (virtual_key >= '1' && virtual_key <= '9') return 0x02 + (virtual_key - '1');
  if (virtual_key >= 0x60 && virtual_key <= 0x69) return kKeypad[virtual_key - 0x60];
  if (virtual_key >= 0x70 && virtual_key <= 0x79) return 0x3B + (virtual_key - 0x70);  // F1..F10
  if (virtual_key >= 0x7C && virtual_key <= 0x87) return kHighFunctionKeys[virtual_key - 0x7C];
  switch (virtual_key) {
    case 0x03: return 0xE046;  // VK_CANCEL (Ctrl+Break)
    case 0x08: return 0x0E;
    case 0x09: return 0x0F;
    case 0x0C: return 0x4C;  // VK_CLEAR: keypad 5
    case 0x0D: return 0x1C;
    case 0x10: return 0x2A;
    case 0x11: return 0x1D;
    case 0x12: return 0x38;
    case 0x13: return 0xE11D;  // VK_PAUSE
    case 0x14: return 0x3A;
    case 0x1B: return 0x01;
    case 0x20: return 0x39;
    case 0x21: return 0xE049;
    case 0x22: return 0xE051;
    case 0x23: return 0xE04F;
    case 0x24: return 0xE047;
    case 0x25: return 0xE04B;
    case 0x26: return 0xE048;
    case 0x27: return 0xE04D;
    case 0x28: return 0xE050;
    case 0x2C: return 0xE037;  // VK_SNAPSHOT: the Print Screen key itself
    case 0x2D: return 0xE052;
    case 0x2E: return 0xE053;
    case 0x5B: return 0xE05B;
    case 0x5C: return 0xE05C;
    case 0x5D: return 0xE05D;
    case 0x5F: return 0xE05F;
    case 0x6A: return 0x37;
    case 0x6B: return 0x4E;
    case 0x6D: return 0x4A;
    case 0x6E: return 0x53;
    case 0x6F: return 0xE035;
    case 0x7A: return 0x57;  // F11
    case 0x7B: return 0x58;  // F12
    case 0x90: return 0xE045;  // VK_NUMLOCK
    case 0x91: return 0x46;
    case 0xA0: return 0x2A;
    case 0xA1: return 0x36;
    case 0xA2: return 0x1D;
    case 0xA3: return 0xE01D;
    case 0xA4: return 0x38;
    case 0xA5: return 0xE038;
    case 0xA6: return 0xE06A;
    case 0xA7: return 0xE069;
    case 0xA8: return 0xE067;
    case 0xA9: return 0xE068;
    case 0xAA: return 0xE065;
    case 0xAB: return 0xE066;
    case 0xAC: return 0xE032;
    case 0xAD: return 0xE020;
    case 0xAE: return 0xE02E;
    case 0xAF: return 0xE030;
    case 0xB0: return 0xE019;
    case 0xB1: return 0xE010;
    case 0xB2: return 0xE024;
    case 0xB3: return 0xE022;
    case 0xB4: return 0xE06C;
    case 0xB5: return 0xE06D;
    case 0xB6: return 0xE06B;
    case 0xB7: return 0xE021;
    case 0xBA: return 0x27;
    case 0xBB: return 0x0D;
    case 0xBC: return 0x33;
    case 0xBD: return 0x0C;
    case 0xBE: return 0x34;
    case 0xBF: return 0x35;
    case 0xC0: return 0x29;
    case 0xDB: return 0x1A;
    case 0xDC: return 0x2B;
    case 0xDD: return 0x1B;
    case 0xDE: return 0x28;
    case 0xE2: return 0x56;
    default: return 0;
  }
}

}  // namespace orvane::x11keys
