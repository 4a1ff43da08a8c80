// The whole input injector on a real desktop (under Wine: the virtual X
// screen of 1920 x 1080 the test runner starts), with the real clock and the
// keep-alive thread running: what it reports it can do, where a touch puts
// the cursor, and a key typed into a focused window.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/platform_info.h"
#include "host/input/injection_platform.h"
#include "host/input/injector.h"
#include "host/input/testing/input_builders.h"
#include "host/input/testing/key_window_win.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;
using testing::ExpectKeyDownThenUp;
using testing::KeyMessage;
using testing::KeyWindow;
using testing::LogCapture;
using testing::PumpMessagesUntil;
using testing::TabletKey;
using testing::TabletTouch;
using testing::UnderWineNote;
using testing::WaitForCursorAt;

// The test thread per-monitor DPI aware for the scope, as the injector's
// platform calls are, so that cursor positions are physical pixels. Without
// the function (before Windows 10 1607) the thread keeps the process's
// awareness.
class PerMonitorDpiForTest {
 public:
  PerMonitorDpiForTest() {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return;
    set_ = reinterpret_cast<SetFn>(reinterpret_cast<void*>(GetProcAddress(user32, "SetThreadDpiAwarenessContext")));
    if (set_ == nullptr) return;
    previous_ = set_(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (previous_ == nullptr) previous_ = set_(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
  }
  ~PerMonitorDpiForTest() {
    if (previous_ != nullptr) set_(previous_);
  }
  PerMonitorDpiForTest(const PerMonitorDpiForTest&) = delete;
  PerMonitorDpiForTest& operator=(const PerMonitorDpiForTest&) = delete;

 private:
  using SetFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
  SetFn set_ = nullptr;
  DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

// The primary monitor as the platform reports it (physical pixels); empty
// device name when there is none.
InjectionMonitor PrimaryMonitor() {
  std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection(nullptr);
  if (platform == nullptr) return {};
  for (const InjectionMonitor& m : platform->Monitors()) {
    if (m.primary) return m;
  }
  return {};
}

bool LeftButtonDown() {
  const int button = GetSystemMetrics(SM_SWAPBUTTON) ? VK_RBUTTON : VK_LBUTTON;
  return (GetAsyncKeyState(button) & 0x8000) != 0;
}

// ---------------------------------------------------------- capabilities

TEST(InjectorWinDisplayTest, TheCapabilitySummaryNamesWhatThisWindowsOffers) {
  std::unique_ptr<IInjectionPlatform> probe = MakePlatformInjection(nullptr);
  ASSERT_NE(probe, nullptr);
  const bool admin = probe->IsAdministrator();
  LogCapture logs;
  InputInjector injector(MakePlatformInjection(nullptr), SystemClock());
  const std::vector<std::string> lines = logs.Lines();
  const auto summary = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("[Input] Capability summary ") != std::string::npos;
  });
  ASSERT_NE(summary, lines.end());
  EXPECT_EQ(logs.Count("[Input] Capability summary "), 1u);
  std::printf("%s%s\n", summary->c_str(), UnderWineNote());

  const InjectorCapabilities& caps = injector.Capabilities();
  EXPECT_EQ(caps.admin, admin);
  // The line states what the injector decided.
  char expected[512];
  std::snprintf(expected, sizeof(expected),
                "[INFO ] [Input] Capability summary touch_backend=%s synthetic_pen=%d admin=%d touch_reason=%s "
                "touch_err=%lu pen_reason=%s pen_err=%lu",
                TouchBackendName(caps.touch_backend), caps.synthetic_pen ? 1 : 0, caps.admin ? 1 : 0,
                caps.touch_reason.c_str(), caps.touch_error, caps.pen_reason.c_str(), caps.pen_error);
  EXPECT_EQ(*summary, expected);
  PenDegradation degradation;
  EXPECT_EQ(injector.PenDegraded(&degradation), caps.pen_reason != "ok");

  if (RunningUnderWine()) {
    // Wine exports none of the pointer-injection functions: mouse emulation.
    const std::string wine_line =
        std::string("[INFO ] [Input] Capability summary touch_backend=none synthetic_pen=0 admin=") +
        (admin ? "1" : "0") +
        " touch_reason=native_touch_api_unavailable touch_err=0 pen_reason=synthetic_pen_api_unavailable pen_err=0";
    EXPECT_EQ(*summary, wine_line);
    EXPECT_EQ(degradation.reason, "synthetic_pen_api_unavailable");
  }
}

// ------------------------------------------------------------------ touch

// Without a touch method a touch is the left button at the touched pixel;
// with one, the cursor goes there as well. The stream has the monitor's
// size, so no letterbox: pixel = left + round(x * (width - 1)).
TEST(InjectorWinDisplayTest, ATouchPutsTheCursorOnTheMappedPixel) {
  PerMonitorDpiForTest dpi;
  const InjectionMonitor primary = PrimaryMonitor();
  ASSERT_FALSE(primary.device_name.empty());
  const int32_t width = primary.right - primary.left;
  const int32_t height = primary.bottom - primary.top;
  ASSERT_GT(width, 2);
  ASSERT_GT(height, 2);
  InputInjector injector(MakePlatformInjection(nullptr), SystemClock());
  injector.SetTarget(primary.device_name, primary.left, primary.top, width, height, static_cast<uint32_t>(width),
                     static_cast<uint32_t>(height));
  const bool emulated = injector.Capabilities().touch_backend == TouchBackend::kNone;

  struct Position {
    float x;
    float y;
  };
  const Position positions[] = {{0.25f, 0.4f}, {0.0f, 0.0f}, {0.5f, 0.5f}, {1.0f, 1.0f}, {0.9f, 0.1f}};
  for (const Position& p : positions) {
    const LONG px = primary.left + static_cast<LONG>(std::lround(static_cast<double>(p.x) * (width - 1)));
    const LONG py = primary.top + static_cast<LONG>(std::lround(static_cast<double>(p.y) * (height - 1)));
    SCOPED_TRACE(::testing::Message() << p.x << "," << p.y << " -> " << px << "," << py);
    injector.InjectTouch(TabletTouch(pb::TOUCH_ACTION_DOWN, p.x, p.y));
    POINT at = {-1, -1};
    EXPECT_TRUE(WaitForCursorAt(px, py, &at));
    EXPECT_EQ(at.x, px);
    EXPECT_EQ(at.y, py);
    if (emulated) {
      EXPECT_TRUE(PumpMessagesUntil([] { return LeftButtonDown(); }));
    }
    injector.InjectTouch(TabletTouch(pb::TOUCH_ACTION_UP, p.x, p.y));
    EXPECT_TRUE(PumpMessagesUntil([] { return !LeftButtonDown(); }));
  }
}

// --------------------------------------------------------------- keyboard

// A key with a scan code goes out by the foreground layout's scan code, one
// without by its virtual key. Wine 8 delivers scan-code input without the
// virtual key (wParam 0), so the key counts as arrived with either its
// virtual key or its scan code.
TEST(InjectorWinDisplayTest, AKeyReachesTheFocusedWindow) {
  InputInjector injector(MakePlatformInjection(nullptr), SystemClock());
  KeyWindow window;
  ASSERT_TRUE(window.ok());
  struct Case {
    const char* name;
    uint32_t scan_code;
  };
  const Case cases[] = {{"virtual key 65", 0}, {"virtual key 65 with scan code 0x1E", 0x1E}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.ClearKeys();
    injector.InjectKey(TabletKey(pb::KEY_ACTION_KEY_DOWN, 65, c.scan_code));
    injector.InjectKey(TabletKey(pb::KEY_ACTION_KEY_UP, 65, c.scan_code));
    ASSERT_TRUE(window.WaitForKeyUp());
    const std::vector<KeyMessage> keys = window.keys();
    ASSERT_NO_FATAL_FAILURE(ExpectKeyDownThenUp(keys));
    for (const KeyMessage& k : keys) {
      const bool by_virtual_key = k.wparam == 'A';
      const bool by_scan_code = k.scan_code() == 0x1E;
      EXPECT_TRUE(by_virtual_key || by_scan_code) << "wParam " << k.wparam << " scan " << k.scan_code();
    }
    const KeyMessage& down = keys[0];
    std::printf("%s: WM_KEYDOWN arrived with %s (wParam 0x%02X, scan code 0x%02X)%s\n", c.name,
                down.wparam == 'A' ? (down.scan_code() == 0x1E ? "virtual key 'A' and scan code 0x1E"
                                                               : "virtual key 'A'")
                                   : "scan code 0x1E only",
                static_cast<unsigned>(down.wparam), down.scan_code(), UnderWineNote());
  }
}

}  // namespace
}  // namespace orvane
