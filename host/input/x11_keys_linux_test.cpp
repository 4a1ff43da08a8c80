#include "host/input/x11_keys_linux.h"

#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace orvane::x11keys {
namespace {

TEST(X11KeysTest, ScanCodesToXKeycodes) {
  struct Case {
    uint32_t scan;
    bool extended;
    uint32_t keycode;  // under the evdev XKB keycodes
  };
  const Case cases[] = {
      {0x01, false, 9},     // Escape
      {0x1E, false, 38},    // A
      {0x2A, false, 50},    // left shift
      {0x36, false, 62},    // right shift
      {0x1D, false, 37},    // left control
      {0x1C, false, 36},    // Return
      {0x53, false, 91},    // keypad delete
      {0x57, false, 95},    // F11
      {0x58, false, 96},    // F12
      {0x56, false, 94},    // the key beside left shift
      {0x1C, true, 104},    // keypad enter
      {0x1D, true, 105},    // right control
      {0x35, true, 106},    // keypad divide
      {0x38, true, 108},    // right alt
      {0x47, true, 110},    // Home
      {0x48, true, 111},    // Up
      {0x49, true, 112},    // Page Up
      {0x4B, true, 113},    // Left
      {0x4D, true, 114},    // Right
      {0x4F, true, 115},    // End
      {0x50, true, 116},    // Down
      {0x51, true, 117},    // Page Down
      {0x52, true, 118},    // Insert
      {0x53, true, 119},    // Delete
      {0x5B, true, 133},    // left Windows key
      {0x5C, true, 134},    // right Windows key
      {0x5D, true, 135},    // application key
      {0x37, true, 107},    // Print Screen
      {0x45, true, 77},     // Num Lock as Windows reports it
      {0xE04B, false, 113}, // the prefix in the high byte
      {0xE11D, false, 127}, // Pause
      {0x64, false, 191},   // F13
      {0x76, false, 202},   // F24
      {0x2A, true, 0},      // fake shift
      {0x00, false, 0},
      {0x55, false, 0},
      {0x60, true, 0},
      {0xE11E, false, 0},
      {0xE21E, false, 0},   // no such prefix
      {0x1001E, false, 0},  // beyond 16 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "scan=0x" << std::hex << c.scan << " extended=" << c.extended);
    EXPECT_EQ(XKeycodeOfScanCode(c.scan, c.extended), c.keycode);
    if (c.keycode != 0) {
      EXPECT_EQ(EvdevCodeOfScanCode(c.scan, c.extended), c.keycode - kEvdevKeycodeOffset);
    }
  }
}

TEST(X11KeysTest, VirtualKeysToKeysyms) {
  struct Case {
    uint32_t vk;
    bool extended;
    uint32_t keysym;
  };
  const Case cases[] = {
      {'A', false, XK_a},          {'Z', false, XK_z},          {'0', false, XK_0},
      {'9', false, XK_9},          {0x70, false, XK_F1},        {0x87, false, XK_F24},
      {0x60, false, XK_KP_0},      {0x69, false, XK_KP_9},      {0x0D, false, XK_Return},
      {0x0D, true, XK_KP_Enter},   {0x11, false, XK_Control_L}, {0x11, true, XK_Control_R},
      {0x12, false, XK_Alt_L},     {0x12, true, XK_Alt_R},      {0x10, false, XK_Shift_L},
      {0xA1, false, XK_Shift_R},   {0x25, true, XK_Left},       {0x28, false, XK_Down},
      {0x21, false, XK_Prior},     {0x2E, true, XK_Delete},     {0x5B, true, XK_Super_L},
      {0x1B, false, XK_Escape},    {0x08, false, XK_BackSpace}, {0x09, false, XK_Tab},
      {0x20, false, XK_space},     {0xBA, false, XK_semicolon}, {0xDE, false, XK_apostrophe},
      {0xAD, false, XF86XK_AudioMute},
      {0x00, false, 0},            {0x07, false, 0},            {0xFF, false, 0},
      {0x1001, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "vk=" << c.vk << " extended=" << c.extended);
    EXPECT_EQ(KeysymOfVirtualKey(c.vk, c.extended), c.keysym);
  }
}

TEST(X11KeysTest, UsLayoutScanCodes) {
  struct Case {
    uint32_t vk;
    uint32_t scan;
  };
  const Case cases[] = {
      {'A', 0x1E},   {'Q', 0x10},    {'M', 0x32},    {'Z', 0x2C},    {'1', 0x02},    {'0', 0x0B},
      {0x0D, 0x1C},  {0x1B, 0x01},   {0x20, 0x39},   {0x10, 0x2A},   {0xA1, 0x36},   {0xA3, 0xE01D},
      {0xA5, 0xE038}, {0x25, 0xE04B}, {0x2E, 0xE053}, {0x5B, 0xE05B}, {0x6F, 0xE035}, {0x90, 0xE045},
      {0x13, 0xE11D}, {0x70, 0x3B},   {0x79, 0x44},   {0x7A, 0x57},   {0x7B, 0x58},   {0x7C, 0x64},
      {0x87, 0x76},  {0x60, 0x52},   {0x69, 0x49},   {0xBF, 0x35},   {0xE2, 0x56},   {0x00, 0},
      {0x07, 0},     {0x6C, 0},      {0xFF, 0},      {0x10000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "vk=" << c.vk);
    EXPECT_EQ(UsScanCodeOfVirtualKey(c.vk), c.scan);
  }
}

// What the layout gives for a key can be typed through its scan code, and a
// key with a scan code has a keysym of its own as well.
TEST(X11KeysTest, EveryUsScanCodeReachesAKey) {
  for (uint32_t vk = 0; vk < 256; ++vk) {
    const uint32_t scan = UsScanCodeOfVirtualKey(vk);
    if (scan == 0) continue;
    SCOPED_TRACE(::testing::Message() << "vk=" << vk << " scan=0x" << std::hex << scan);
    EXPECT_NE(XKeycodeOfScanCode(scan, false), 0u);
    EXPECT_NE(KeysymOfVirtualKey(vk, (scan >> 8) == 0xE0), 0u);
  }
}

}  // namespace
}  // namespace orvane::x11keys
