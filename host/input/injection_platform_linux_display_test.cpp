// Input injection through XTEST against a private Xvfb server per test: the
// pointer's position and buttons as the server reports them, and the button
// and key events a focused window receives.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/input/injection_platform.h"
#include "host/input/testing/input_builders.h"
#include "host/input/testing/x11_test_window_linux.h"
#include "host/input/x11_keys_linux.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// Xlib last: its macros (Success, None, Bool) would clash with the headers above.
#include <X11/Xlib.h>

namespace orvane {
namespace {

using testing::PlatformKey;
using testing::ScopedEnv;
using testing::WaitFor;
using testing::X11TestWindow;
using testing::X11WindowEvent;

constexpr int32_t kScreenWidth = 1920;
constexpr int32_t kScreenHeight = 1080;

// The injector's conversion of a pixel to absolute virtual-desk coordinates.
PlatformInput MoveTo(int32_t x, int32_t y, uint32_t extra_flags = 0) {
  PlatformInput input;
  input.kind = PlatformInput::Kind::kMouse;
  input.dx = x * 65535 / (kScreenWidth - 1);
  input.dy = y * 65535 / (kScreenHeight - 1);
  input.mouse_flags = mouse_flag::kMove | mouse_flag::kVirtualDesk | mouse_flag::kAbsolute | extra_flags;
  return input;
}

PlatformInput Buttons(uint32_t flags) {
  PlatformInput input;
  input.kind = PlatformInput::Kind::kMouse;
  input.mouse_flags = flags;
  return input;
}

// A platform over the test's server (made while DISPLAY names it) and the
// test's own connection to the same server.
#define ORVANE_X11_INJECTION(xvfb, platform, x)                                  \
  ORVANE_X11_TEST_WINDOW(xvfb, x);                                               \
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr); \
  ASSERT_NE(platform, nullptr)

TEST(X11InjectionPlatform, WithoutADisplayThereIsNone) {
  ScopedEnv no_display("DISPLAY", "");
  EXPECT_EQ(MakePlatformInjection(nullptr), nullptr);
}

TEST(X11InjectionPlatform, OffersMouseAndKeysOnly) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  EXPECT_FALSE(platform->HasSyntheticPointerApi());
  EXPECT_FALSE(platform->HasTouchInjectionApi());
  EXPECT_EQ(platform->IsAdministrator(), geteuid() == 0);

  struct Call {
    const char* name;
    bool (*call)(IInjectionPlatform&, unsigned long*);
  };
  const Call calls[] = {
      {"touch device", [](IInjectionPlatform& p, unsigned long* e) {
         return p.CreateSyntheticDevice(PointerDeviceKind::kTouch, 10, e);
       }},
      {"pen device", [](IInjectionPlatform& p, unsigned long* e) {
         return p.CreateSyntheticDevice(PointerDeviceKind::kPen, 1, e);
       }},
      {"touch injection", [](IInjectionPlatform& p, unsigned long* e) { return p.InitializeTouchInjection(10, e); }},
      {"synthetic touch frame", [](IInjectionPlatform& p, unsigned long* e) {
         return p.InjectTouchFrame(TouchRoute::kSyntheticDevice, {TouchContactFrame{}}, e);
       }},
      {"legacy touch frame", [](IInjectionPlatform& p, unsigned long* e) {
         return p.InjectTouchFrame(TouchRoute::kTouchInjection, {TouchContactFrame{}}, e);
       }},
      {"pen frame", [](IInjectionPlatform& p, unsigned long* e) { return p.InjectPenFrame(PenFrame{}, e); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.name);
    unsigned long error = 0;
    EXPECT_FALSE(c.call(*platform, &error));
    EXPECT_EQ(error, 120ul);  // ERROR_CALL_NOT_IMPLEMENTED
  }
  platform->DestroySyntheticDevice(PointerDeviceKind::kTouch);
  platform->DestroySyntheticDevice(PointerDeviceKind::kPen);

  // The US layout whatever the server's keymap.
  EXPECT_EQ(platform->VirtualKeyToScanCode('A'), 0x1Eu);
  EXPECT_EQ(platform->VirtualKeyToScanCode(0x25), 0xE04Bu);  // left arrow
  EXPECT_EQ(platform->VirtualKeyToScanCode(0x07), 0u);
}

TEST(X11InjectionPlatform, TheRootWindowIsTheScreenAndTheMonitorsComeFromTheHost) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  const VirtualScreen screen = platform->GetVirtualScreen();
  EXPECT_EQ(screen.left, 0);
  EXPECT_EQ(screen.top, 0);
  EXPECT_EQ(screen.width, kScreenWidth);
  EXPECT_EQ(screen.height, kScreenHeight);

  // Without the host's list: the root window as the one primary monitor.
  const std::vector<InjectionMonitor> root = platform->Monitors();
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].left, 0);
  EXPECT_EQ(root[0].top, 0);
  EXPECT_EQ(root[0].right, kScreenWidth);
  EXPECT_EQ(root[0].bottom, kScreenHeight);
  EXPECT_TRUE(root[0].primary);

  const std::vector<InjectionMonitor> host_list = {{"LEFT", 0, 0, 960, 1080, false},
                                                   {"RIGHT", 960, 0, 1920, 1080, true}};
  std::unique_ptr<IInjectionPlatform> listed = MakePlatformInjection([&] { return host_list; });
  ASSERT_NE(listed, nullptr);
  const std::vector<InjectionMonitor> monitors = listed->Monitors();
  ASSERT_EQ(monitors.size(), 2u);
  for (size_t i = 0; i < monitors.size(); ++i) {
    EXPECT_EQ(monitors[i].device_name, host_list[i].device_name);
    EXPECT_EQ(monitors[i].left, host_list[i].left);
    EXPECT_EQ(monitors[i].right, host_list[i].right);
    EXPECT_EQ(monitors[i].primary, host_list[i].primary);
  }
}

TEST(X11InjectionPlatform, AnAbsoluteMovePutsThePointerOnThePixel) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  struct Pixel {
    int32_t x;
    int32_t y;
  };
  const Pixel pixels[] = {{700, 400}, {0, 0}, {960, 540}, {1919, 1079}, {1234, 77}, {1, 1078}};
  for (const Pixel& p : pixels) {
    SCOPED_TRACE(::testing::Message() << p.x << "," << p.y);
    unsigned long error = 99;
    ASSERT_TRUE(platform->SendInputs({MoveTo(p.x, p.y)}, &error));
    EXPECT_EQ(error, 0ul);
    EXPECT_TRUE(WaitFor([&] {
      const X11TestWindow::Pointer now = x.QueryPointer();
      return now.x == p.x && now.y == p.y;
    }));
    const X11TestWindow::Pointer now = x.QueryPointer();
    EXPECT_EQ(now.x, p.x);
    EXPECT_EQ(now.y, p.y);
  }
}

TEST(X11InjectionPlatform, ButtonsReachTheWindowInTheFlagsOrder) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  ASSERT_TRUE(x.OpenInputWindow());
  unsigned long error = 0;
  // One input with a move and a click, then the other buttons one by one.
  ASSERT_TRUE(platform->SendInputs({MoveTo(500, 300, mouse_flag::kLeftDown | mouse_flag::kLeftUp),
                                    Buttons(mouse_flag::kRightDown), Buttons(mouse_flag::kRightUp),
                                    Buttons(mouse_flag::kMiddleDown | mouse_flag::kMiddleUp)},
                                   &error));
  EXPECT_TRUE(x.WaitForEvent([](const X11WindowEvent& e) { return e.type == ButtonRelease && e.detail == 2; }));
  const std::vector<std::pair<int, unsigned int>> expected = {{ButtonPress, 1}, {ButtonRelease, 1},
                                                              {ButtonPress, 3}, {ButtonRelease, 3},
                                                              {ButtonPress, 2}, {ButtonRelease, 2}};
  EXPECT_EQ(x.InputEvents(), expected);
  const X11TestWindow::Pointer now = x.QueryPointer();
  EXPECT_EQ(now.x, 500);
  EXPECT_EQ(now.y, 300);
}

TEST(X11InjectionPlatform, AHeldButtonIsReleasedByItsUpInput) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  unsigned long error = 0;
  ASSERT_TRUE(platform->SendInputs({MoveTo(200, 200, mouse_flag::kLeftDown)}, &error));
  EXPECT_TRUE(WaitFor([&] { return (x.QueryPointer().buttons & Button1Mask) != 0; }));
  ASSERT_TRUE(platform->SendInputs({MoveTo(260, 210, mouse_flag::kLeftUp)}, &error));
  EXPECT_TRUE(WaitFor([&] { return x.QueryPointer().buttons == 0; }));
  EXPECT_EQ(x.QueryPointer().buttons, 0u);
}

TEST(X11InjectionPlatform, KeysReachTheFocusedWindow) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  ASSERT_TRUE(x.OpenInputWindow());
  struct Case {
    const char* name;
    uint16_t virtual_key;
    uint16_t scan_code;
    uint32_t flags;
    unsigned int keycode;
  };
  const Case cases[] = {
      {"virtual key A", 'A', 0, 0, 38},
      {"scan code of A", 0, 0x1E, key_flag::kScanCode, 38},
      {"scan code of A with a virtual key", 'Q', 0x1E, key_flag::kScanCode, 38},
      {"extended scan code of left", 0, 0x4B, key_flag::kScanCode | key_flag::kExtendedKey, 113},
      {"virtual key left", 0x25, 0, key_flag::kExtendedKey, 113},
      {"extended virtual key control", 0x11, 0, key_flag::kExtendedKey, 105},
      {"scan code of keypad enter", 0, 0x1C, key_flag::kScanCode | key_flag::kExtendedKey, 104},
      {"virtual key F5", 0x74, 0, 0, 71},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    x.ClearEvents();
    unsigned long error = 99;
    ASSERT_TRUE(platform->SendInputs({PlatformKey(c.virtual_key, c.scan_code, c.flags),
                                      PlatformKey(c.virtual_key, c.scan_code, c.flags | key_flag::kKeyUp)},
                                     &error));
    EXPECT_EQ(error, 0ul);
    EXPECT_TRUE(x.WaitForEventOfType(KeyRelease));
    const std::vector<std::pair<int, unsigned int>> expected = {{KeyPress, c.keycode}, {KeyRelease, c.keycode}};
    EXPECT_EQ(x.InputEvents(), expected);
  }
}

// The injector's input and keep-alive threads share the one connection.
TEST(X11InjectionPlatform, TwoThreadsShareTheConnection) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  std::thread pointer([&] {
    for (int32_t i = 0; i < 200; ++i) {
      unsigned long error = 0;
      EXPECT_TRUE(platform->SendInputs({MoveTo(100 + i, 100 + i)}, &error));
      EXPECT_EQ(platform->GetVirtualScreen().width, kScreenWidth);
    }
  });
  std::thread keys([&] {
    for (int i = 0; i < 200; ++i) {
      unsigned long error = 0;
      EXPECT_TRUE(platform->SendInputs({PlatformKey('A', 0, 0), PlatformKey('A', 0, key_flag::kKeyUp)}, &error));
      EXPECT_EQ(platform->Monitors().size(), 1u);
    }
  });
  pointer.join();
  keys.join();
  EXPECT_TRUE(WaitFor([&] {
    const X11TestWindow::Pointer now = x.QueryPointer();
    return now.x == 299 && now.y == 299;
  }));
}

// The key a virtual key's scan code reaches carries that virtual key's keysym
// wherever the server's keymap has it: both ways of sending a key type the
// same thing.
TEST(X11InjectionPlatform, AVirtualKeysScanCodeReachesAKeyWithItsKeysym) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  size_t compared = 0;
  for (uint32_t vk = 1; vk < 255; ++vk) {
    const uint32_t scan = platform->VirtualKeyToScanCode(vk);
    if (scan == 0) continue;
    const uint32_t keysym = x11keys::KeysymOfVirtualKey(vk, (scan >> 8) == 0xE0);
    if (x.KeycodeOfKeysym(keysym) == 0) continue;  // not in this keymap
    SCOPED_TRACE(::testing::Message() << "vk=" << vk << " scan=0x" << std::hex << scan);
    const std::vector<uint32_t> on_key = x.KeysymsOfKey(x11keys::XKeycodeOfScanCode(scan, false));
    EXPECT_NE(std::find(on_key.begin(), on_key.end(), keysym), on_key.end());
    ++compared;
  }
  EXPECT_GT(compared, 90u);
}

TEST(X11InjectionPlatform, AnInputWithoutAnXEquivalentIsRefusedAndTheRestSent) {
  ORVANE_X11_INJECTION(xvfb, platform, x);
  ASSERT_TRUE(x.OpenInputWindow());
  unsigned long error = 0;
  EXPECT_FALSE(platform->SendInputs({PlatformKey(0x07, 0, 0), PlatformKey('A', 0, 0),
                                     PlatformKey(0, 0x55, key_flag::kScanCode), PlatformKey('A', 0, key_flag::kKeyUp)},
                                    &error));
  EXPECT_EQ(error, 87ul);  // ERROR_INVALID_PARAMETER
  EXPECT_TRUE(x.WaitForEventOfType(KeyRelease));
  const std::vector<std::pair<int, unsigned int>> expected = {{KeyPress, 38}, {KeyRelease, 38}};
  EXPECT_EQ(x.InputEvents(), expected);

  // A batch beyond the bound is refused whole.
  const std::vector<PlatformInput> flood(1025, PlatformKey('A', 0, key_flag::kKeyUp));
  error = 0;
  EXPECT_FALSE(platform->SendInputs(flood, &error));
  EXPECT_EQ(error, 87ul);
  EXPECT_TRUE(platform->SendInputs({}, &error));
  EXPECT_EQ(error, 0ul);
}

}  // namespace
}  // namespace orvane
