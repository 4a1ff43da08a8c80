// The Windows monitor list and pointer against a real desktop (under Wine:
// the virtual X screen of 1920 x 1080 the test runner starts).
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/common/platform_info.h"
#include "host/video/cursor_source.h"
#include "host/video/cursor_tracker.h"
#include "host/video/monitor_enumeration.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::WaitFor;

// ------------------------------------------------------------ monitors

TEST(MonitorCursorWinDisplayTest, MonitorListOfTheDesktop) {
  struct Path {
    const char* name;
    std::vector<MonitorInfoData> (*enumerate)();
  };
  const Path paths[] = {
      {"platform enumerator", [] { return MakePlatformMonitorEnumerator()->EnumerateMonitors(); }},
      {"scan and completion",
       [] {
         std::optional<DesktopScan> scan = ScanDesktopMonitors();
         return scan ? CompleteMonitorList(std::move(*scan)) : std::vector<MonitorInfoData>{};
       }},
  };
  for (const Path& path : paths) {
    SCOPED_TRACE(path.name);
    const std::vector<MonitorInfoData> monitors = path.enumerate();
    ASSERT_FALSE(monitors.empty());
    size_t primaries = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
      const MonitorInfoData& m = monitors[i];
      SCOPED_TRACE(m.id);
      EXPECT_EQ(m.index, i);
      EXPECT_EQ(m.id.rfind("\\\\.\\DISPLAY", 0), 0u);
      EXPECT_FALSE(m.display_name.empty());
      EXPECT_GT(m.width, 0);
      EXPECT_GT(m.height, 0);
      EXPECT_GT(m.refresh_rate, 1u);
      EXPECT_TRUE(m.has_output);
      EXPECT_NE(m.adapter_luid, 0u);
      EXPECT_NE(m.handle, 0u);
      if (m.primary) ++primaries;
    }
    EXPECT_EQ(primaries, 1u);
    if (RunningUnderWine()) {
      // The runner's one virtual screen; Wine reports its frequency as 0,
      // which the list turns into 60.
      ASSERT_EQ(monitors.size(), 1u);
      const MonitorInfoData& m = monitors[0];
      EXPECT_EQ(m.id, "\\\\.\\DISPLAY1");
      EXPECT_EQ(m.x, 0);
      EXPECT_EQ(m.y, 0);
      EXPECT_EQ(m.width, 1920);
      EXPECT_EQ(m.height, 1080);
      EXPECT_TRUE(m.primary);
      EXPECT_EQ(m.refresh_rate, 60u);
      EXPECT_EQ(m.adapter_index, 0u);
      EXPECT_EQ(m.output_index, 0u);
      EXPECT_FALSE(m.hdr);
    }
  }
}

// ------------------------------------------------------------- pointer

LRESULT CALLBACK PointerWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A topmost borderless window whose class cursor is the one under test,
// with the pointer placed over its middle.
class PointerWindow {
 public:
  static constexpr int kLeft = 100;
  static constexpr int kTop = 120;
  static constexpr int kWidth = 400;
  static constexpr int kHeight = 300;
  static constexpr int kPointerX = kLeft + 150;
  static constexpr int kPointerY = kTop + 110;

  PointerWindow(const wchar_t* class_name, HCURSOR cursor) : class_name_(class_name) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &PointerWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = cursor;
    wc.lpszClassName = class_name;
    atom_ = RegisterClassExW(&wc);
    if (atom_ == 0) return;
    hwnd_ = CreateWindowExW(WS_EX_TOPMOST, class_name, L"pointer", WS_POPUP | WS_VISIBLE, kLeft, kTop, kWidth,
                            kHeight, nullptr, nullptr, wc.hInstance, nullptr);
    if (hwnd_ == nullptr) return;
    SetForegroundWindow(hwnd_);
    PumpMessages();
    SetCursorPos(kPointerX, kPointerY);
  }
  ~PointerWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    PumpMessages();
    if (atom_ != 0) UnregisterClassW(class_name_, GetModuleHandleW(nullptr));
  }
  PointerWindow(const PointerWindow&) = delete;
  PointerWindow& operator=(const PointerWindow&) = delete;

  bool ok() const { return hwnd_ != nullptr; }

  // Pumps messages until the system pointer shows `cursor` (the window's
  // WM_SETCURSOR sets the class cursor once the pointer is over it).
  bool WaitForCursor(ICursorSource& source, HCURSOR cursor) {
    const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(cursor));
    return WaitFor([&] {
      PumpMessages();
      CursorSample sample;
      if (source.Sample(&sample) && sample.shape_key == key) return true;
      SetCursorPos(kPointerX, kPointerY);
      return false;
    });
  }

 private:
  const wchar_t* class_name_;
  ATOM atom_ = 0;
  HWND hwnd_ = nullptr;
};

TEST(MonitorCursorWinDisplayTest, StandardCursorIsNamedAndReadOnRequest) {
  const HCURSOR beam = LoadCursorW(nullptr, IDC_IBEAM);
  ASSERT_NE(beam, nullptr);
  PointerWindow window(L"OrvaneBeamWindow", beam);
  ASSERT_TRUE(window.ok());
  std::unique_ptr<ICursorSource> source = MakePlatformCursorSource();
  ASSERT_NE(source, nullptr);
  ASSERT_TRUE(window.WaitForCursor(*source, beam));

  CursorSample sample;
  ASSERT_TRUE(source->Sample(&sample));
  EXPECT_EQ(sample.standard, StandardCursor::kText);
  EXPECT_STREQ(CursorShapeName(sample.standard), "text");
  EXPECT_EQ(sample.x, PointerWindow::kPointerX);
  EXPECT_EQ(sample.y, PointerWindow::kPointerY);
  EXPECT_TRUE(sample.visible);

  // The system cursor size (32 x 32 unless the user enlarged the pointer).
  const uint32_t side_x = static_cast<uint32_t>(GetSystemMetrics(SM_CXCURSOR));
  const uint32_t side_y = static_cast<uint32_t>(GetSystemMetrics(SM_CYCURSOR));
  if (RunningUnderWine()) {
    EXPECT_EQ(side_x, 32u);
    EXPECT_EQ(side_y, 32u);
  }
  const size_t count = static_cast<size_t>(side_x) * side_y;

  // The picture only when both sides fit the bound; the size always.
  struct Case {
    uint32_t max_side;
    bool picture;
  };
  for (const Case& c : {Case{kCursorImageMaxSide, true}, Case{16, false}}) {
    SCOPED_TRACE(c.max_side);
    CursorShapeData shape;
    ASSERT_TRUE(source->ReadShape(c.max_side, &shape));
    EXPECT_EQ(shape.width, side_x);
    EXPECT_EQ(shape.height, side_y);
    EXPECT_GE(shape.hotspot_x, 0);
    EXPECT_LT(shape.hotspot_x, static_cast<int32_t>(side_x));
    EXPECT_GE(shape.hotspot_y, 0);
    EXPECT_LT(shape.hotspot_y, static_cast<int32_t>(side_y));
    EXPECT_EQ(shape.pixels.size(), c.picture ? count : size_t{0});
    EXPECT_EQ(shape.and_mask.size(), c.picture ? count : size_t{0});
    EXPECT_EQ(shape.xor_pixels.size(), c.picture ? count : size_t{0});
  }

  // Through the tracker: one update with the name, size and a picture that
  // shows something.
  CursorTracker tracker(std::move(source));
  const CursorState state = tracker.Poll();
  EXPECT_TRUE(state.changed);
  EXPECT_TRUE(state.shape_changed);
  EXPECT_EQ(state.shape, "text");
  EXPECT_EQ(state.width, side_x);
  EXPECT_EQ(state.height, side_y);
  ASSERT_EQ(state.image.size(), count * 4);
  size_t opaque = 0;
  for (size_t i = 3; i < state.image.size(); i += 4) opaque += state.image[i] != 0 ? 1 : 0;
  EXPECT_GT(opaque, 0u);
  EXPECT_LT(opaque, count);
}

// Cursors without alpha, built from an AND mask and an XOR colour; their
// patterns have periods that are not multiples of 8, so that a swapped bit
// order, row order or mask half shows.
constexpr int kMaskSide = 32;
constexpr int kHotspotX = 3;
constexpr int kHotspotY = 5;
bool AndBit(int x, int y) { return ((x / 3) + y) % 2 == 1; }
bool XorSet(int x, int y) { return ((x + 2 * y) / 5) % 2 == 1; }
// The XOR colour (0x00RRGGBB) of the colour cursor: non-zero where set.
uint32_t XorColor(int x, int y) {
  return XorSet(x, y) ? 0x00400000u | (static_cast<uint32_t>(x) * 4u) << 8 | static_cast<uint32_t>(y) * 4u : 0u;
}
uint32_t WhiteWhereSet(int x, int y) { return XorSet(x, y) ? 0x00FFFFFFu : 0u; }

std::vector<uint8_t> MaskBits(bool (*bit)(int, int)) {
  constexpr int kStride = kMaskSide / 8;  // 4 bytes: already WORD-aligned
  std::vector<uint8_t> bits(static_cast<size_t>(kStride) * kMaskSide, 0);
  for (int y = 0; y < kMaskSide; ++y) {
    for (int x = 0; x < kMaskSide; ++x) {
      if (bit(x, y)) bits[static_cast<size_t>(y) * kStride + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
  }
  return bits;
}

HCURSOR MakeMonochromeCursor() {
  const std::vector<uint8_t> and_bits = MaskBits(&AndBit);
  const std::vector<uint8_t> xor_bits = MaskBits(&XorSet);
  return CreateCursor(GetModuleHandleW(nullptr), kHotspotX, kHotspotY, kMaskSide, kMaskSide, and_bits.data(),
                      xor_bits.data());
}

// A 32-bit colour cursor whose alpha is 0 everywhere, with a 1-bit AND mask.
HCURSOR MakeColourCursor() {
  BITMAPINFO bmi = {};
  bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
  bmi.bmiHeader.biWidth = kMaskSide;
  bmi.bmiHeader.biHeight = -kMaskSide;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP color = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (color == nullptr || bits == nullptr) return nullptr;
  auto* pixels = static_cast<uint32_t*>(bits);
  for (int y = 0; y < kMaskSide; ++y) {
    for (int x = 0; x < kMaskSide; ++x) pixels[y * kMaskSide + x] = XorColor(x, y);
  }
  const std::vector<uint8_t> and_bits = MaskBits(&AndBit);
  HBITMAP mask = CreateBitmap(kMaskSide, kMaskSide, 1, 1, and_bits.data());
  HCURSOR cursor = nullptr;
  if (mask != nullptr) {
    ICONINFO info = {};
    info.fIcon = FALSE;
    info.xHotspot = kHotspotX;
    info.yHotspot = kHotspotY;
    info.hbmMask = mask;
    info.hbmColor = color;
    cursor = CreateIconIndirect(&info);  // copies both bitmaps
    DeleteObject(mask);
  }
  DeleteObject(color);
  return cursor;
}

TEST(MonitorCursorWinDisplayTest, CursorsWithoutAlphaAreComposedFromTheirMasks) {
  struct Fixture {
    const char* name;
    HCURSOR (*make)();
    uint32_t (*xor_color)(int, int);
  };
  const Fixture fixtures[] = {
      {"monochrome", &MakeMonochromeCursor, &WhiteWhereSet},
      {"colour without alpha", &MakeColourCursor, &XorColor},
  };
  // What each mask combination becomes.
  struct Rule {
    bool and_bit;
    bool xor_set;
    uint8_t alpha;
    bool keeps_color;  // the XOR colour; otherwise black
  };
  static constexpr Rule kRules[] = {
      {false, false, 0xFF, true},  // opaque, the (black) XOR colour
      {false, true, 0xFF, true},   // opaque, the XOR colour
      {true, false, 0x00, false},  // the screen shows through
      {true, true, 0xFF, false},   // inverts the screen: opaque black
  };
  for (const Fixture& fixture : fixtures) {
    SCOPED_TRACE(fixture.name);
    const HCURSOR cursor = fixture.make();
    ASSERT_NE(cursor, nullptr) << GetLastError();
    {
      PointerWindow window(L"OrvaneMaskCursorWindow", cursor);
      ASSERT_TRUE(window.ok());
      std::unique_ptr<ICursorSource> source = MakePlatformCursorSource();
      ASSERT_NE(source, nullptr);
      ASSERT_TRUE(window.WaitForCursor(*source, cursor));
      CursorSample sample;
      ASSERT_TRUE(source->Sample(&sample));
      EXPECT_EQ(sample.standard, StandardCursor::kCustom);

      CursorShapeData shape;
      ASSERT_TRUE(source->ReadShape(kCursorImageMaxSide, &shape));
      EXPECT_EQ(shape.hotspot_x, kHotspotX);
      EXPECT_EQ(shape.hotspot_y, kHotspotY);
      ASSERT_EQ(shape.width, static_cast<uint32_t>(kMaskSide));
      ASSERT_EQ(shape.height, static_cast<uint32_t>(kMaskSide));
      const size_t count = static_cast<size_t>(kMaskSide) * kMaskSide;
      ASSERT_EQ(shape.pixels.size(), count);
      ASSERT_EQ(shape.and_mask.size(), count);
      ASSERT_EQ(shape.xor_pixels.size(), count);
      const std::vector<uint8_t> image = ComposeCursorImage(shape);
      ASSERT_EQ(image.size(), count * 4);

      std::array<size_t, 4> seen = {};
      size_t mismatches = 0;
      for (int y = 0; y < kMaskSide; ++y) {
        for (int x = 0; x < kMaskSide; ++x) {
          const size_t i = static_cast<size_t>(y) * kMaskSide + x;
          const bool a = AndBit(x, y);
          const size_t r = (a ? 2 : 0) + (XorSet(x, y) ? 1 : 0);
          ++seen[r];
          const uint32_t color = fixture.xor_color(x, y);
          const uint32_t composed = static_cast<uint32_t>(image[i * 4]) | static_cast<uint32_t>(image[i * 4 + 1]) << 8 |
                                    static_cast<uint32_t>(image[i * 4 + 2]) << 16 |
                                    static_cast<uint32_t>(image[i * 4 + 3]) << 24;
          const uint32_t expected = static_cast<uint32_t>(kRules[r].alpha) << 24 | (kRules[r].keeps_color ? color : 0u);
          const bool ok = shape.and_mask[i] == (a ? 1 : 0) && shape.xor_pixels[i] == color &&
                          (shape.pixels[i] & 0x00FFFFFFu) == color &&  // drawn over zeros: the XOR colour
                          composed == expected;
          if (!ok && mismatches++ < 4) {
            ADD_FAILURE() << "pixel (" << x << ", " << y << "): and " << int{shape.and_mask[i]} << std::hex
                          << " xor 0x" << shape.xor_pixels[i] << " drawn 0x" << shape.pixels[i] << " composed 0x"
                          << composed << " expected 0x" << expected;
          }
        }
      }
      EXPECT_EQ(mismatches, 0u);
      for (size_t r = 0; r < seen.size(); ++r) EXPECT_GT(seen[r], 0u) << "mask combination " << r;
    }
    // A cursor still shown cannot be destroyed.
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_TRUE(DestroyCursor(cursor)) << GetLastError();
  }
}

}  // namespace
}  // namespace orvane
