// The whole input injector over XTEST against a private Xvfb server per test
// (1920 x 1080), with the real clock and the keep-alive thread running: what
// it reports it can do, where emulated touch puts the pointer, the buttons
// and keys a focused full-screen window receives, and the release of every
// held button.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/input/injection_platform.h"
#include "host/input/injector.h"
#include "host/input/testing/input_builders.h"
#include "host/input/testing/x11_test_window_linux.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// Xlib last: its macros (Success, None, Bool) would clash with the headers above.
#include <X11/Xlib.h>

namespace orvane {
namespace {

namespace pb = protocol::v1;
using testing::LogCapture;
using testing::TabletKey;
using testing::TabletTouch;
using testing::WaitFor;
using testing::X11TestWindow;
using testing::X11WindowEvent;

constexpr int32_t kScreenWidth = 1920;
constexpr int32_t kScreenHeight = 1080;

// The injector over the test's server, made while DISPLAY names it, aimed at
// the whole screen with a stream of the screen's size; the test's own
// connection is `x`. The injector goes first, while the server is still up.
#define ORVANE_X11_INJECTOR(xvfb, x, injector)                                    \
  ORVANE_X11_TEST_WINDOW(xvfb, x);                                                \
  std::unique_ptr<IInjectionPlatform> platform_ = MakePlatformInjection(nullptr); \
  ASSERT_NE(platform_, nullptr);                                                  \
  InputInjector injector(std::move(platform_), SystemClock());                    \
  injector.SetTarget("", 0, 0, kScreenWidth, kScreenHeight, kScreenWidth, kScreenHeight)

PenInput Pen(pb::PenAction action, uint32_t button_state, pb::PenToolType tool = pb::PEN_TOOL_TYPE_PEN) {
  PenInput p;
  p.action = action;
  p.x = 0.5f;
  p.y = 0.5f;
  p.pressure = 0.5f;
  p.button_state = button_state;
  p.tool_type = tool;
  return p;
}

MouseInput Mouse(pb::MouseAction action, pb::MouseButton button) {
  MouseInput m;
  m.action = action;
  m.button = button;
  m.x = 0.3f;
  m.y = 0.6f;
  return m;
}

TEST(InjectorX11DisplayTest, ReportsMouseEmulationForTouchAndPen) {
  LogCapture logs;
  ORVANE_X11_INJECTOR(xvfb, x, injector);
  const std::string expected = std::string("[INFO ] [Input] Capability summary touch_backend=none synthetic_pen=0 ") +
                               "admin=" + (geteuid() == 0 ? "1" : "0") +
                               " touch_reason=native_touch_api_unavailable touch_err=0 "
                               "pen_reason=synthetic_pen_api_unavailable pen_err=0";
  const std::vector<std::string> lines = logs.Lines();
  const auto summary = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("[Input] Capability summary ") != std::string::npos;
  });
  ASSERT_NE(summary, lines.end());
  EXPECT_EQ(*summary, expected);
  EXPECT_EQ(logs.Count("[Input] Capability summary "), 1u);

  const InjectorCapabilities& caps = injector.Capabilities();
  EXPECT_EQ(caps.touch_backend, TouchBackend::kNone);
  EXPECT_FALSE(caps.synthetic_pen);
  PenDegradation degradation;
  ASSERT_TRUE(injector.PenDegraded(&degradation));
  EXPECT_EQ(degradation.reason, "synthetic_pen_api_unavailable");
  EXPECT_FALSE(degradation.native_touch);
}

TEST(InjectorX11DisplayTest, AnEmulatedTouchPressesTheLeftButtonOnTheMappedPixel) {
  ORVANE_X11_INJECTOR(xvfb, x, injector);
  ASSERT_TRUE(x.OpenInputWindow());
  struct Case {
    float x;
    float y;
    int pixel_x;  // round(x * 1919)
    int pixel_y;  // round(y * 1079)
  };
  const Case cases[] = {{0.25f, 0.4f, 480, 432}, {0.0f, 0.0f, 0, 0}, {0.5f, 0.5f, 960, 540}, {1.0f, 1.0f, 1919, 1079}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << "," << c.y);
    x.ClearEvents();
    injector.InjectTouch(TabletTouch(pb::TOUCH_ACTION_DOWN, c.x, c.y));
    ASSERT_TRUE(x.WaitForEventOfType(ButtonPress));
    const X11WindowEvent* press = x.FirstOfType(ButtonPress);
    EXPECT_EQ(press->detail, 1u);
    EXPECT_EQ(press->x_root, c.pixel_x);
    EXPECT_EQ(press->y_root, c.pixel_y);
    EXPECT_TRUE(x.WaitForPointerAt(c.pixel_x, c.pixel_y));
    const X11TestWindow::Pointer down = x.QueryPointer();
    EXPECT_EQ(down.x, c.pixel_x);
    EXPECT_EQ(down.y, c.pixel_y);
    EXPECT_EQ(down.buttons, static_cast<unsigned int>(Button1Mask));

    injector.InjectTouch(TabletTouch(pb::TOUCH_ACTION_UP, c.x, c.y));
    ASSERT_TRUE(x.WaitForEventOfType(ButtonRelease));
    const std::vector<std::pair<int, unsigned int>> expected = {{ButtonPress, 1}, {ButtonRelease, 1}};
    EXPECT_EQ(x.InputEvents(), expected);
    const X11WindowEvent* release = x.FirstOfType(ButtonRelease);
    EXPECT_EQ(release->x_root, c.pixel_x);
    EXPECT_EQ(release->y_root, c.pixel_y);
    EXPECT_EQ(x.QueryPointer().buttons, 0u);
  }
}

// Something that presses a button and what releases it.
struct ButtonCase {
  const char* name;
  std::function<void(InputInjector&)> press;
  std::function<void(InputInjector&)> release;
  unsigned int button;
  unsigned int mask;
};

std::vector<ButtonCase> ButtonCases() {
  return {
      {"mouse left", [](InputInjector& i) { i.InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_LEFT)); },
       [](InputInjector& i) { i.InjectMouse(Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_LEFT)); }, 1, Button1Mask},
      {"mouse right", [](InputInjector& i) { i.InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_RIGHT)); },
       [](InputInjector& i) { i.InjectMouse(Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_RIGHT)); }, 3, Button3Mask},
      {"mouse middle",
       [](InputInjector& i) { i.InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_MIDDLE)); },
       [](InputInjector& i) { i.InjectMouse(Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_MIDDLE)); }, 2, Button2Mask},
      {"touch", [](InputInjector& i) { i.InjectTouch(TabletTouch(pb::TOUCH_ACTION_DOWN, 0.5f, 0.5f)); },
       [](InputInjector& i) { i.InjectTouch(TabletTouch(pb::TOUCH_ACTION_UP, 0.5f, 0.5f)); }, 1, Button1Mask},
      {"pen tip", [](InputInjector& i) { i.InjectPen(Pen(pb::PEN_ACTION_DOWN, 0)); },
       [](InputInjector& i) { i.InjectPen(Pen(pb::PEN_ACTION_UP, 0)); }, 1, Button1Mask},
      {"barrel pen", [](InputInjector& i) { i.InjectPen(Pen(pb::PEN_ACTION_DOWN, 0x02)); },
       [](InputInjector& i) { i.InjectPen(Pen(pb::PEN_ACTION_UP, 0x02)); }, 3, Button3Mask},
      {"eraser",
       [](InputInjector& i) { i.InjectPen(Pen(pb::PEN_ACTION_DOWN, 0, pb::PEN_TOOL_TYPE_ERASER)); },
       [](InputInjector& i) { i.InjectPen(Pen(pb::PEN_ACTION_UP, 0, pb::PEN_TOOL_TYPE_ERASER)); }, 3, Button3Mask},
  };
}

TEST(InjectorX11DisplayTest, MouseAndEmulatedPenButtonsReachTheWindow) {
  ORVANE_X11_INJECTOR(xvfb, x, injector);
  ASSERT_TRUE(x.OpenInputWindow());
  for (const ButtonCase& c : ButtonCases()) {
    SCOPED_TRACE(c.name);
    x.ClearEvents();
    c.press(injector);
    ASSERT_TRUE(x.WaitForEventOfType(ButtonPress));
    EXPECT_TRUE(WaitFor([&] { return x.QueryPointer().buttons == c.mask; }));
    c.release(injector);
    ASSERT_TRUE(x.WaitForEventOfType(ButtonRelease));
    const std::vector<std::pair<int, unsigned int>> expected = {{ButtonPress, c.button}, {ButtonRelease, c.button}};
    EXPECT_EQ(x.InputEvents(), expected);
    EXPECT_EQ(x.QueryPointer().buttons, 0u);
  }
}

TEST(InjectorX11DisplayTest, ReleasingAllPointersLetsGoOfEveryHeldButton) {
  ORVANE_X11_INJECTOR(xvfb, x, injector);
  for (const ButtonCase& c : ButtonCases()) {
    SCOPED_TRACE(c.name);
    c.press(injector);
    ASSERT_TRUE(WaitFor([&] { return x.QueryPointer().buttons == c.mask; }));
    injector.ReleaseAllPointers();
    EXPECT_TRUE(WaitFor([&] { return x.QueryPointer().buttons == 0; }));
    EXPECT_EQ(x.QueryPointer().buttons, 0u);
  }
  // Everything at once.
  injector.InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_MIDDLE));
  injector.InjectTouch(TabletTouch(pb::TOUCH_ACTION_DOWN, 0.5f, 0.5f));
  ASSERT_TRUE(WaitFor([&] {
    return x.QueryPointer().buttons == static_cast<unsigned int>(Button1Mask | Button2Mask);
  }));
  injector.ReleaseAllPointers();
  EXPECT_TRUE(WaitFor([&] { return x.QueryPointer().buttons == 0; }));
}

TEST(InjectorX11DisplayTest, KeysReachTheFocusedWindow) {
  ORVANE_X11_INJECTOR(xvfb, x, injector);
  ASSERT_TRUE(x.OpenInputWindow());
  constexpr unsigned int kA = 38;
  constexpr unsigned int kShiftL = 50;
  struct Case {
    const char* name;
    uint32_t scan_code;
    uint32_t modifiers;
    std::vector<std::pair<int, unsigned int>> expected;
  };
  const Case cases[] = {
      {"virtual key", 0, 0, {{KeyPress, kA}, {KeyRelease, kA}}},
      {"virtual key and scan code", 0x1E, 0, {{KeyPress, kA}, {KeyRelease, kA}}},
      // The tablet's shift without its own shift press: synthesised around the key.
      {"with shift", 0, 1, {{KeyPress, kShiftL}, {KeyPress, kA}, {KeyRelease, kA}, {KeyRelease, kShiftL}}},
      {"with shift, by scan code", 0x1E, 1,
       {{KeyPress, kShiftL}, {KeyPress, kA}, {KeyRelease, kA}, {KeyRelease, kShiftL}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    x.ClearEvents();
    injector.InjectKey(TabletKey(pb::KEY_ACTION_KEY_DOWN, 65, c.scan_code, c.modifiers));
    injector.InjectKey(TabletKey(pb::KEY_ACTION_KEY_UP, 65, c.scan_code, c.modifiers));
    const unsigned int last = c.expected.back().second;
    ASSERT_TRUE(x.WaitForEvent([last](const X11WindowEvent& e) { return e.type == KeyRelease && e.detail == last; }));
    EXPECT_EQ(x.InputEvents(), c.expected);
  }
}

}  // namespace
}  // namespace orvane
