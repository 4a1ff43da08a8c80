// Input injection on a real desktop (under Wine: the virtual X screen of
// 1920 x 1080 the test runner starts): the pointer functions user32 offers,
// SendInput moving the cursor and typing into a focused window, the monitor
// list and the keyboard layout.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "host/common/platform_info.h"
#include "host/input/injection_platform.h"
#include "host/input/testing/input_builders.h"
#include "host/input/testing/key_window_win.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::ExpectKeyDownThenUp;
using testing::KeyMessage;
using testing::KeyWindow;
using testing::PlatformKey;
using testing::UnderWineNote;
using testing::WaitForCursorAt;

bool User32Exports(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 != nullptr && GetProcAddress(user32, name) != nullptr;
}

// ---------------------------------------------------------- capabilities

TEST(InjectionPlatformWinDisplayTest, ReportsWhatUser32Offers) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  const bool synthetic = platform->HasSyntheticPointerApi();
  const bool touch = platform->HasTouchInjectionApi();
  const bool admin = platform->IsAdministrator();
  std::printf("synthetic pointer functions: %d, touch injection functions: %d, administrator: %d%s\n", synthetic,
              touch, admin, UnderWineNote());
  EXPECT_EQ(synthetic, User32Exports("CreateSyntheticPointerDevice") &&
                           User32Exports("InjectSyntheticPointerInput") &&
                           User32Exports("DestroySyntheticPointerDevice"));
  EXPECT_EQ(touch, User32Exports("InitializeTouchInjection") && User32Exports("InjectTouchInput"));

  // Without the functions: the lookup's error; without a device: a bad handle.
  unsigned long error = 0;
  if (!synthetic) {
    EXPECT_FALSE(platform->CreateSyntheticDevice(PointerDeviceKind::kTouch, 10, &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PROC_NOT_FOUND));
    EXPECT_FALSE(platform->CreateSyntheticDevice(PointerDeviceKind::kPen, 1, &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PROC_NOT_FOUND));
  }
  if (!touch) {
    EXPECT_FALSE(platform->InitializeTouchInjection(10, &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PROC_NOT_FOUND));
    EXPECT_FALSE(platform->InjectTouchFrame(TouchRoute::kTouchInjection, {TouchContactFrame{}}, &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PROC_NOT_FOUND));
  }
  EXPECT_FALSE(platform->InjectTouchFrame(TouchRoute::kSyntheticDevice, {TouchContactFrame{}}, &error));
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(platform->InjectPenFrame(PenFrame{}, &error));
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_INVALID_HANDLE));
  platform->DestroySyntheticDevice(PointerDeviceKind::kTouch);  // none: nothing happens
}

// One contact at (x, y) as the injector builds it.
TouchContactFrame Contact(int32_t x, int32_t y, uint32_t flags) {
  TouchContactFrame c;
  c.contact_id = 0;
  c.x = x;
  c.y = y;
  c.pointer_flags = flags;
  c.left = x - 2;
  c.top = y - 2;
  c.right = x + 2;
  c.bottom = y + 2;
  c.orientation = 90;
  c.pressure = 512;
  c.touch_mask = touch_mask::kContactArea | touch_mask::kOrientation | touch_mask::kPressure;
  return c;
}

constexpr uint32_t kTouchDown = pointer_flag::kDown | pointer_flag::kInRange | pointer_flag::kInContact;
constexpr uint32_t kTouchMove = pointer_flag::kUpdate | pointer_flag::kInRange | pointer_flag::kInContact;

TEST(InjectionPlatformWinDisplayTest, SyntheticTouchAndPenDevicesTakeFrames) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  ORVANE_SKIP_UNDER_WINE("Wine exports no synthetic pointer functions");
  if (!platform->HasSyntheticPointerApi()) {
    GTEST_SKIP() << "this Windows has no synthetic pointer functions (Windows 10 1809 and later have them)";
  }
  unsigned long error = 0;
  ASSERT_TRUE(platform->CreateSyntheticDevice(PointerDeviceKind::kTouch, 10, &error)) << error;
  EXPECT_TRUE(platform->InjectTouchFrame(TouchRoute::kSyntheticDevice, {Contact(600, 400, kTouchDown)}, &error))
      << error;
  EXPECT_TRUE(platform->InjectTouchFrame(TouchRoute::kSyntheticDevice, {Contact(604, 402, kTouchMove)}, &error))
      << error;
  EXPECT_TRUE(platform->InjectTouchFrame(TouchRoute::kSyntheticDevice, {Contact(604, 402, pointer_flag::kUp)}, &error))
      << error;
  platform->DestroySyntheticDevice(PointerDeviceKind::kTouch);

  ASSERT_TRUE(platform->CreateSyntheticDevice(PointerDeviceKind::kPen, 1, &error)) << error;
  PenFrame pen;
  pen.x = 600;
  pen.y = 400;
  pen.pen_mask = pen_mask::kPressure | pen_mask::kRotation | pen_mask::kTiltX | pen_mask::kTiltY;
  pen.pointer_flags = pointer_flag::kUpdate | pointer_flag::kInRange;  // hovering
  EXPECT_TRUE(platform->InjectPenFrame(pen, &error)) << error;
  pen.pointer_flags = pointer_flag::kUpdate;  // out of range
  EXPECT_TRUE(platform->InjectPenFrame(pen, &error)) << error;
  platform->DestroySyntheticDevice(PointerDeviceKind::kPen);
}

TEST(InjectionPlatformWinDisplayTest, TouchInjectionTakesFrames) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  ORVANE_SKIP_UNDER_WINE("Wine exports no touch-injection functions");
  if (!platform->HasTouchInjectionApi()) {
    GTEST_SKIP() << "this Windows has no touch-injection functions (Windows 8 and later have them)";
  }
  unsigned long error = 0;
  ASSERT_TRUE(platform->InitializeTouchInjection(10, &error)) << error;
  EXPECT_TRUE(platform->InjectTouchFrame(TouchRoute::kTouchInjection, {Contact(600, 400, kTouchDown)}, &error))
      << error;
  EXPECT_TRUE(platform->InjectTouchFrame(TouchRoute::kTouchInjection, {Contact(600, 400, pointer_flag::kUp)}, &error))
      << error;
}

// ------------------------------------------------------------- monitors

TEST(InjectionPlatformWinDisplayTest, MonitorsAndVirtualScreenOfTheDesktop) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  const std::vector<InjectionMonitor> monitors = platform->Monitors();
  ASSERT_FALSE(monitors.empty());
  const VirtualScreen screen = platform->GetVirtualScreen();
  // The virtual screen is the monitors' bounding box.
  int32_t left = monitors[0].left;
  int32_t top = monitors[0].top;
  int32_t right = monitors[0].right;
  int32_t bottom = monitors[0].bottom;
  size_t primaries = 0;
  for (const InjectionMonitor& m : monitors) {
    SCOPED_TRACE(m.device_name);
    EXPECT_EQ(m.device_name.rfind("\\\\.\\DISPLAY", 0), 0u);
    EXPECT_LT(m.left, m.right);
    EXPECT_LT(m.top, m.bottom);
    if (m.primary) {
      ++primaries;
      EXPECT_EQ(m.left, 0);
      EXPECT_EQ(m.top, 0);
    }
    left = std::min(left, m.left);
    top = std::min(top, m.top);
    right = std::max(right, m.right);
    bottom = std::max(bottom, m.bottom);
  }
  EXPECT_EQ(primaries, 1u);
  EXPECT_EQ(screen.left, left);
  EXPECT_EQ(screen.top, top);
  EXPECT_EQ(screen.width, right - left);
  EXPECT_EQ(screen.height, bottom - top);
  if (RunningUnderWine()) {
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_EQ(monitors[0].device_name, "\\\\.\\DISPLAY1");
    EXPECT_EQ(monitors[0].right, 1920);
    EXPECT_EQ(monitors[0].bottom, 1080);
  }
}

// The lookups leave the thread's DPI awareness as they found it.
TEST(InjectionPlatformWinDisplayTest, TheThreadsDpiAwarenessIsRestored) {
  using GetFn = DPI_AWARENESS_CONTEXT(WINAPI*)();
  using EqualFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  ASSERT_NE(user32, nullptr);
  auto get = reinterpret_cast<GetFn>(reinterpret_cast<void*>(GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
  auto equal =
      reinterpret_cast<EqualFn>(reinterpret_cast<void*>(GetProcAddress(user32, "AreDpiAwarenessContextsEqual")));
  if (get == nullptr || equal == nullptr) {
    GTEST_SKIP() << "this Windows has no per-thread DPI awareness (Windows 10 1607 and later have it)";
  }
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  const DPI_AWARENESS_CONTEXT before = get();
  EXPECT_FALSE(platform->Monitors().empty());
  EXPECT_GT(platform->GetVirtualScreen().width, 0);
  unsigned long error = 0;
  EXPECT_TRUE(platform->SendInputs({}, &error));
  EXPECT_TRUE(equal(get(), before));
}

// ------------------------------------------------------------ SendInput

TEST(InjectionPlatformWinDisplayTest, AnAbsoluteMovePutsTheCursorOnThePixel) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  const VirtualScreen screen = platform->GetVirtualScreen();
  ASSERT_GT(screen.width, 2);
  ASSERT_GT(screen.height, 2);
  struct Pixel {
    int32_t x;
    int32_t y;
  };
  const Pixel pixels[] = {{700, 400}, {0, 0}, {960, 540}, {1234, 77}, {screen.width - 1, screen.height - 1}};
  for (const Pixel& p : pixels) {
    SCOPED_TRACE(::testing::Message() << p.x << "," << p.y);
    // The injector's conversion to absolute virtual-desk coordinates.
    PlatformInput move;
    move.kind = PlatformInput::Kind::kMouse;
    move.dx = (p.x - screen.left) * 65535 / (screen.width - 1);
    move.dy = (p.y - screen.top) * 65535 / (screen.height - 1);
    move.mouse_flags = mouse_flag::kMove | mouse_flag::kVirtualDesk | mouse_flag::kAbsolute;
    unsigned long error = 99;
    ASSERT_TRUE(platform->SendInputs({move}, &error)) << error;
    EXPECT_EQ(error, 0ul);
    POINT at = {-1, -1};
    EXPECT_TRUE(WaitForCursorAt(p.x, p.y, &at));
    EXPECT_EQ(at.x, p.x);
    EXPECT_EQ(at.y, p.y);
  }
}

struct KeyCase {
  const char* name;
  uint16_t virtual_key;
  uint16_t scan_code;
  uint32_t flags;
  WPARAM expected_key;
  bool expected_extended;
};

// Each key goes down and up in one batch; the window sees WM_KEYDOWN and
// WM_KEYUP with the virtual key, the scan code and the extended bit.
void ExpectKeysReachTheWindow(const std::vector<KeyCase>& cases) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  KeyWindow window;
  ASSERT_TRUE(window.ok());
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    window.ClearKeys();
    unsigned long error = 99;
    ASSERT_TRUE(platform->SendInputs({PlatformKey(c.virtual_key, c.scan_code, c.flags),
                                      PlatformKey(c.virtual_key, c.scan_code, c.flags | key_flag::kKeyUp)},
                                     &error))
        << error;
    EXPECT_EQ(error, 0ul);
    ASSERT_TRUE(window.WaitForKeyUp());
    const std::vector<KeyMessage> keys = window.keys();
    ASSERT_NO_FATAL_FAILURE(ExpectKeyDownThenUp(keys));
    for (const KeyMessage& k : keys) {
      EXPECT_EQ(k.wparam, c.expected_key);
      EXPECT_EQ(k.scan_code(), static_cast<unsigned>(c.scan_code));
      EXPECT_EQ(k.extended(), c.expected_extended);
    }
  }
}

TEST(InjectionPlatformWinDisplayTest, VirtualKeysReachTheFocusedWindow) {
  ExpectKeysReachTheWindow({
      {"A", 'A', 0x1E, 0, 'A', false},
      {"F5", VK_F5, 0x3F, 0, VK_F5, false},
      {"left, extended", VK_LEFT, 0x4B, key_flag::kExtendedKey, VK_LEFT, true},
  });
}

TEST(InjectionPlatformWinDisplayTest, ScanCodesReachTheFocusedWindow) {
  ORVANE_SKIP_UNDER_WINE("Wine 8 delivers scan-code input without its virtual key (wParam 0)");
  ExpectKeysReachTheWindow({
      {"A", 0, 0x1E, key_flag::kScanCode, 'A', false},
      {"A, with another virtual key", 'Q', 0x1E, key_flag::kScanCode, 'A', false},
      {"left, extended", 0, 0x4B, key_flag::kScanCode | key_flag::kExtendedKey, VK_LEFT, true},
  });
}

struct LayoutCase {
  uint32_t vk;
  uint32_t scan;
};

void ExpectLayoutScanCodes(const std::vector<LayoutCase>& cases) {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  ASSERT_NE(platform, nullptr);
  KeyWindow window;  // the foreground window whose layout is asked
  ASSERT_TRUE(window.ok());
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.vk);
    EXPECT_EQ(platform->VirtualKeyToScanCode(c.vk), c.scan);
  }
}

// Keys whose place is the same in every layout.
TEST(InjectionPlatformWinDisplayTest, TheForegroundLayoutGivesScanCodes) {
  ExpectLayoutScanCodes({{VK_SPACE, 0x39}, {VK_RETURN, 0x1C}, {VK_ESCAPE, 0x01}, {VK_F5, 0x3F},
                         {VK_RSHIFT, 0x36}, {VK_RCONTROL, 0xE01D}, {VK_RMENU, 0xE038}, {0, 0}, {0x100, 0}});
  if (RunningUnderWine()) {
    std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
    EXPECT_EQ(platform->VirtualKeyToScanCode('A'), 0x1Eu);  // the X server's US keymap
  }
}

TEST(InjectionPlatformWinDisplayTest, TheLayoutMarksTheNavigationKeysExtended) {
  ORVANE_SKIP_UNDER_WINE("Wine 8's MapVirtualKeyExW(MAPVK_VK_TO_VSC_EX) leaves the 0xE0 prefix off these keys");
  ExpectLayoutScanCodes({{VK_LEFT, 0xE04B}, {VK_HOME, 0xE047}, {VK_DELETE, 0xE053}, {VK_PRIOR, 0xE049},
                         {VK_LWIN, 0xE05B}, {VK_APPS, 0xE05D}, {VK_DIVIDE, 0xE035}});
}

}  // namespace
}  // namespace orvane
