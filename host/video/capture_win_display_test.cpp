// The Windows capture back-ends on a real desktop (Wine under Xvfb in CI).
#ifdef _WIN32

#include <windows.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/platform_info.h"
#include "host/common/win_text.h"
#include "host/video/capture_color.h"
#include "host/video/capture_converter_win.h"
#include "host/video/capture_dxgi_win.h"
#include "host/video/capture_gdi_win.h"
#include "host/video/capture_manager.h"
#include "host/video/capture_wgc_win.h"
#include "host/video/d3d11_util_win.h"
#include "host/video/monitor_enumeration.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

constexpr int kWindowX = 100;
constexpr int kWindowY = 100;
constexpr int kWindowSize = 200;
constexpr int kProbe = 150;  // a desktop point inside the window

// A topmost window that paints itself in one colour.
class ColourWindow {
 public:
  ColourWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &ColourWindow::Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"OrvaneCaptureTestWindow";
    RegisterClassW(&wc);  // already registered by an earlier test: fine
    hwnd_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, L"capture test", WS_POPUP | WS_VISIBLE,
                            kWindowX, kWindowY, kWindowSize, kWindowSize, nullptr, nullptr, wc.hInstance, nullptr);
    if (hwnd_ != nullptr) SetWindowPos(hwnd_, HWND_TOPMOST, kWindowX, kWindowY, kWindowSize, kWindowSize, SWP_SHOWWINDOW);
  }
  ~ColourWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    Pump();
  }
  bool ok() const { return hwnd_ != nullptr; }

  void Fill(COLORREF colour) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, static_cast<LONG_PTR>(colour));
    InvalidateRect(hwnd_, nullptr, TRUE);
    UpdateWindow(hwnd_);
    Pump();
  }
  static void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_ERASEBKGND) return 1;
    if (msg == WM_PAINT) {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(dc, &r, brush);
      DeleteObject(brush);
      EndPaint(hwnd, &ps);
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  HWND hwnd_ = nullptr;
};

// The monitor that shows the probe point.
CaptureInitParams ProbeMonitor() {
  CaptureInitParams p;
  const POINT pt = {kProbe, kProbe};
  HMONITOR monitor = MonitorFromPoint(pt, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) return p;
  p.monitor_id = FromWide(info.szDevice);
  p.monitor_handle = reinterpret_cast<uintptr_t>(monitor);
  p.left = info.rcMonitor.left;
  p.top = info.rcMonitor.top;
  p.right = info.rcMonitor.right;
  p.bottom = info.rcMonitor.bottom;
  return p;
}

// B, G, R at a desktop point of an image of `p`'s monitor.
std::array<uint8_t, 3> PixelAt(const CpuImage& image, const CaptureInitParams& p, int x, int y) {
  const uint8_t* px = image.bytes() + static_cast<size_t>(y - p.top) * static_cast<size_t>(image.stride()) +
                      static_cast<size_t>(x - p.left) * 4u;
  return {px[0], px[1], px[2]};
}

std::array<uint8_t, 3> Bgr(COLORREF c) { return {GetBValue(c), GetGValue(c), GetRValue(c)}; }

uint64_t Checksum(const CpuImage& image) {
  uint64_t h = 1469598103934665603ull;
  for (uint32_t y = 0; y < image.height(); ++y) {
    const uint8_t* row = image.bytes() + static_cast<size_t>(y) * static_cast<size_t>(image.stride());
    for (uint32_t i = 0; i < image.width() * 4u; ++i) h = (h ^ row[i]) * 1099511628211ull;
  }
  return h;
}

// Captures until the probe point shows `colour` (the window system draws
// asynchronously); the matching frame is returned.
CapturedFrame CaptureColour(GdiCaptureSource& source, const CaptureInitParams& p, COLORREF colour) {
  CapturedFrame found;
  testing::WaitFor([&] {
    ColourWindow::Pump();
    CapturedFrame f = source.Acquire(0, false);
    if (f.status != CaptureStatus::kFrame || !f.image) return false;
    if (PixelAt(*f.image, p, kProbe, kProbe) != Bgr(colour)) return false;
    found = std::move(f);
    return true;
  });
  return found;
}

// ------------------------------------------------------------------ GDI

TEST(GdiCaptureDisplay, ReadsTheWindowColourAtTheProbePoint) {
  ColourWindow window;
  ASSERT_TRUE(window.ok());
  window.Fill(RGB(0x33, 0x66, 0x99));
  const CaptureInitParams p = ProbeMonitor();
  ASSERT_FALSE(p.monitor_id.empty());
  testing::LogCapture log;
  GdiCaptureSource source;
  ASSERT_TRUE(source.Initialize(p));
  EXPECT_TRUE(log.Contains("[Capture] GDI fallback initialized (monitor=" + p.monitor_id + " rect="));
  EXPECT_FALSE(source.GpuHandoff());
  const CapturedFrame frame = CaptureColour(source, p, RGB(0x33, 0x66, 0x99));
  ASSERT_TRUE(frame.image);
  EXPECT_EQ(frame.width, static_cast<uint32_t>(p.Width()));
  EXPECT_EQ(frame.height, static_cast<uint32_t>(p.Height()));
  EXPECT_EQ(frame.image->stride(), static_cast<int32_t>(frame.width * 4));
  const std::array<uint8_t, 3> bgr = PixelAt(*frame.image, p, kProbe, kProbe);
  EXPECT_EQ(bgr[0], 0x99);
  EXPECT_EQ(bgr[1], 0x66);
  EXPECT_EQ(bgr[2], 0x33);
}

// Images handed to another thread keep their pixels while capture goes on,
// and outlive the source that made them.
TEST(GdiCaptureDisplay, HeldImagesKeepTheirPixelsAcrossThreadsAndTheSourcesEnd) {
  ColourWindow window;
  ASSERT_TRUE(window.ok());
  const CaptureInitParams p = ProbeMonitor();
  auto source = std::make_unique<GdiCaptureSource>();
  ASSERT_TRUE(source->Initialize(p));

  struct Held {
    std::shared_ptr<const CpuImage> image;
    COLORREF colour;
    uint64_t checksum;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Held> inbox;
  std::vector<Held> kept;
  bool done = false;
  std::thread holder([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (true) {
      cv.wait(lock, [&] { return done || !inbox.empty(); });
      while (!inbox.empty()) {
        Held h = std::move(inbox.front());
        inbox.pop_front();
        h.checksum = Checksum(*h.image);
        kept.push_back(std::move(h));
      }
      if (done) return;
    }
  });

  const COLORREF colours[] = {RGB(0x33, 0x66, 0x99), RGB(0x99, 0x33, 0x66), RGB(0x66, 0x99, 0x33),
                              RGB(0x12, 0x34, 0x56)};
  for (COLORREF c : colours) {
    window.Fill(c);
    CapturedFrame f = CaptureColour(*source, p, c);
    ASSERT_TRUE(f.image) << "colour " << c << " never reached the screen";
    std::lock_guard<std::mutex> lock(mu);
    inbox.push_back(Held{std::move(f.image), c, 0});
    cv.notify_one();
  }
  window.Fill(RGB(0, 0, 0));
  ASSERT_TRUE(CaptureColour(*source, p, RGB(0, 0, 0)).image);
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
    cv.notify_one();
  }
  holder.join();
  source.reset();  // the images outlive their source

  ASSERT_EQ(kept.size(), std::size(colours));
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(Checksum(*kept[i].image), kept[i].checksum) << "image " << i << " was written after it was handed out";
    EXPECT_EQ(PixelAt(*kept[i].image, p, kProbe, kProbe), Bgr(kept[i].colour)) << "image " << i;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(kept[i].image->bytes(), kept[j].image->bytes());
  }
  kept.clear();  // the last references free the pool on this thread
}

TEST(GdiCaptureDisplay, EveryBufferHeldFailsTheFrameUntilOneIsReleased) {
  ManualClock clock;
  GdiCaptureSource source(&clock);
  CaptureInitParams p;
  p.monitor_id = "test-region";  // no such monitor: the rectangle is used as given
  p.right = 64;
  p.bottom = 48;
  ASSERT_TRUE(source.Initialize(p));
  testing::LogCapture log;
  std::vector<CapturedFrame> held;
  for (size_t i = 0; i < FramePool<CpuImage>::kCapacity; ++i) {
    held.push_back(source.Acquire(0, false));
    ASSERT_EQ(held.back().status, CaptureStatus::kFrame) << i;
  }
  struct Step {
    uint64_t advance_ms;
    size_t lines;  // warning lines so far
    const char* text;
  };
  const Step steps[] = {
      {0, 1, "[Capture] GDI fallback: all 8 frame buffers are held by the pipeline; frame dropped (0 similar suppressed)"},
      {1999, 1, nullptr},
      {1, 2, "[Capture] GDI fallback: all 8 frame buffers are held by the pipeline; frame dropped (1 similar suppressed)"},
  };
  for (const Step& s : steps) {
    clock.AdvanceMs(s.advance_ms);
    const CapturedFrame f = source.Acquire(0, false);
    EXPECT_EQ(f.status, CaptureStatus::kFailed);
    EXPECT_FALSE(f.HasImage());
    EXPECT_EQ(log.Count("frame buffers are held"), s.lines);
    if (s.text != nullptr) {
      EXPECT_TRUE(log.Contains(s.text)) << s.text;
    }
  }
  const uint8_t* freed = held[3].image->bytes();
  held.erase(held.begin() + 3);
  const CapturedFrame again = source.Acquire(0, false);
  ASSERT_EQ(again.status, CaptureStatus::kFrame);
  EXPECT_EQ(again.image->bytes(), freed);  // the released entry is reused
  EXPECT_EQ(source.PooledBuffers(), FramePool<CpuImage>::kCapacity);
}

TEST(GdiCaptureDisplay, ASizeChangeFreesTheIdleBuffersOfTheOldSize) {
  GdiCaptureSource source;
  CaptureInitParams p;
  p.monitor_id = "test-region";
  p.right = 64;
  p.bottom = 48;
  ASSERT_TRUE(source.Initialize(p));
  CapturedFrame kept = source.Acquire(0, false);
  {
    const CapturedFrame a = source.Acquire(0, false);
    const CapturedFrame b = source.Acquire(0, false);
    ASSERT_EQ(b.status, CaptureStatus::kFrame);
  }
  ASSERT_EQ(kept.status, CaptureStatus::kFrame);
  EXPECT_EQ(source.PooledBuffers(), 3u);  // one held, two idle
  const uint64_t sum = Checksum(*kept.image);

  p.right = 32;
  p.bottom = 24;
  ASSERT_TRUE(source.Initialize(p));
  EXPECT_EQ(source.PooledBuffers(), 2u);  // the held old one and a new one
  const CapturedFrame small = source.Acquire(0, false);
  ASSERT_EQ(small.status, CaptureStatus::kFrame);
  EXPECT_EQ(small.width, 32u);
  EXPECT_EQ(small.height, 24u);
  EXPECT_EQ(kept.image->width(), 64u);
  EXPECT_EQ(Checksum(*kept.image), sum);
}

TEST(GdiCaptureDisplay, AMovedOrVanishedMonitorLosesTheCaptureAtTheNextCheck) {
  struct Case {
    const char* name;
    bool found_later;
    RECT later;
  };
  const Case cases[] = {
      {"moved", true, RECT{0, 0, 32, 24}},
      {"gone", false, RECT{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    bool found = true;
    RECT rect = {0, 0, 64, 48};
    GdiCaptureSource source(&clock, [&](const std::string& name, RECT* out) {
      if (name != "\\\\.\\DISPLAY7" || !found) return false;
      *out = rect;
      return true;
    });
    CaptureInitParams p;
    p.monitor_id = "\\\\.\\DISPLAY7";
    p.right = 10;  // replaced by the monitor's own rectangle
    p.bottom = 10;
    ASSERT_TRUE(source.Initialize(p));
    CapturedFrame first = source.Acquire(0, false);
    ASSERT_EQ(first.status, CaptureStatus::kFrame);
    EXPECT_EQ(first.width, 64u);
    found = c.found_later;
    rect = c.later;
    clock.AdvanceMs(MonitorRectCheck::kIntervalMs - 1);
    EXPECT_EQ(source.Acquire(0, false).status, CaptureStatus::kFrame);  // not checked yet
    clock.AdvanceMs(1);
    EXPECT_EQ(source.Acquire(0, false).status, CaptureStatus::kLost);
    EXPECT_EQ(source.Acquire(0, false).status, CaptureStatus::kLost);  // stays lost until re-created
    if (c.found_later) {
      ASSERT_TRUE(source.Initialize(p));
      const CapturedFrame again = source.Acquire(0, false);
      ASSERT_EQ(again.status, CaptureStatus::kFrame);
      EXPECT_EQ(again.width, 32u);
    }
  }
}

TEST(GdiCaptureDisplay, RectanglesOutsideTheAcceptedSizesAreRefused) {
  const RECT rects[] = {{0, 0, 0, 100}, {0, 0, 100, 0}, {10, 10, 5, 20}, {0, 0, 16385, 10}, {0, 0, 10, 16385}};
  for (const RECT& r : rects) {
    testing::LogCapture log;
    GdiCaptureSource source;
    CaptureInitParams p;
    p.monitor_id = "test-region";
    p.left = r.left;
    p.top = r.top;
    p.right = r.right;
    p.bottom = r.bottom;
    EXPECT_FALSE(source.Initialize(p));
    EXPECT_TRUE(log.Contains("[Capture] GDI fallback has no valid monitor rectangle for test-region"));
    EXPECT_EQ(source.Acquire(0, false).status, CaptureStatus::kLost);
  }
}

// ------------------------------------------------------- GPU back-ends

TEST(GpuCaptureDisplay, DesktopDuplicationAndWgcStartOrFailCleanly) {
  struct Case {
    const char* name;
    std::unique_ptr<ICaptureSource> source;
    HResult wine_hr;        // 0: any failure
    const char* wine_line;  // part of the failure's line
  };
  Case cases[] = {
      {"dxgi", std::make_unique<DxgiCaptureSource>(), kENotImpl,
       "[Capture] DuplicateOutput failed: 0x80004001; trying the next capture back-end"},
      // Wine stops WGC at the first missing piece (the WinRT device wrapper or
      // the capture classes), each logged with its HRESULT.
      {"wgc", std::make_unique<WgcCaptureSource>(), 0, " failed: 0x8"},
  };
  const CaptureInitParams p = ProbeMonitor();
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    const bool started = c.source->Initialize(p);
    if (RunningUnderWine()) {
      // Wine has neither Desktop Duplication nor Windows Graphics Capture.
      EXPECT_FALSE(started);
      EXPECT_FALSE(c.source->LastResult().ok());
      EXPECT_NE(c.source->LastResult().hr, kSOk);
      if (c.wine_hr != 0) {
        EXPECT_EQ(c.source->LastResult().hr, c.wine_hr);
      }
      EXPECT_TRUE(log.Contains(c.wine_line));
      EXPECT_EQ(c.source->Acquire(10, false).status, CaptureStatus::kLost);
      c.source->Shutdown();
      c.source->Shutdown();
      continue;
    }
    ASSERT_TRUE(started) << c.source->LastResult().ToString();
    CapturedFrame f;
    for (int i = 0; i < 20 && f.status != CaptureStatus::kFrame; ++i) f = c.source->Acquire(100, false);
    ASSERT_EQ(f.status, CaptureStatus::kFrame);
    ASSERT_TRUE(f.image);
    EXPECT_TRUE(CaptureSizeAcceptable(f.width, f.height));
    c.source->Shutdown();
    EXPECT_EQ(c.source->Acquire(10, false).status, CaptureStatus::kLost);
    EXPECT_GT(f.image->width(), 0u);  // still valid after the shutdown
  }
}

TEST(GpuCaptureDisplay, TheManagerOverThePlatformSourcesDeliversFrames) {
  std::unique_ptr<IMonitorEnumerator> monitors = MakePlatformMonitorEnumerator();
  CaptureTarget target = SelectCaptureTarget(monitors->EnumerateMonitors(), "", 0);
  ASSERT_TRUE(target.found);
  testing::LogCapture log;
  CaptureManager manager(CaptureBackendChoice::kAuto, target, MakePlatformCaptureSources());
  ASSERT_TRUE(manager.Start(true));
  if (RunningUnderWine()) {
    EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kGdi);
    EXPECT_TRUE(log.Contains("[Capture] Active backend=gdi fallback monitor=" + target.params.monitor_id));
  }
  CapturedFrame f;
  for (int i = 0; i < 20 && f.status != CaptureStatus::kFrame; ++i) f = manager.Acquire(100, false, TickCountMs());
  ASSERT_EQ(f.status, CaptureStatus::kFrame);
  ASSERT_TRUE(f.image);
  EXPECT_EQ(f.width, static_cast<uint32_t>(target.params.Width()));
  EXPECT_EQ(f.height, static_cast<uint32_t>(target.params.Height()));
}

// ------------------------------------------------------------ converter

uint16_t Half(float v) {
  uint32_t bits = 0;
  std::memcpy(&bits, &v, sizeof(bits));
  if ((bits & 0x7FFFFFFFu) == 0) return static_cast<uint16_t>(bits >> 16);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const int32_t exponent = static_cast<int32_t>((bits >> 23) & 0xFF) - 127 + 15;
  return static_cast<uint16_t>(sign | (static_cast<uint32_t>(exponent) << 10) | ((bits >> 13) & 0x3FFu));
}

ComPtr<ID3D11Texture2D> MakeTexture(ID3D11Device* dev, uint32_t w, uint32_t h, DXGI_FORMAT format, UINT bind,
                                    const void* pixels, UINT pitch) {
  D3D11_TEXTURE2D_DESC d = {};
  d.Width = w;
  d.Height = h;
  d.MipLevels = 1;
  d.ArraySize = 1;
  d.Format = format;
  d.SampleDesc.Count = 1;
  d.Usage = D3D11_USAGE_DEFAULT;
  d.BindFlags = bind;
  D3D11_SUBRESOURCE_DATA data = {pixels, pitch, 0};
  ComPtr<ID3D11Texture2D> t;
  const HRESULT hr = dev->CreateTexture2D(&d, pixels ? &data : nullptr, t.GetAddressOf());
  EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << static_cast<unsigned long>(hr);
  return t;
}

class ConverterDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    HRESULT hr = S_OK;
    device_ = D3D11Device::Create(nullptr, "Test", &hr);
    ASSERT_TRUE(device_) << std::hex << static_cast<unsigned long>(hr);
    ASSERT_TRUE(converter_.Create(device_));
    pool_ = FramePool<CpuImage>::Create();
  }
  // Converts `source` and reads the upright result back.
  std::shared_ptr<CpuImage> Run(ID3D11Texture2D* source, const ConverterParams& params, uint32_t w, uint32_t h) {
    HostResult result;
    ID3D11Texture2D* target = converter_.OwnTarget(w, h, &result);
    if (target == nullptr || !converter_.Convert(source, params, target, &result)) return nullptr;
    std::shared_ptr<CpuImage> image;
    if (readback_.Read(*device_, target, *pool_, 0, &image, &result) != CaptureStatus::kFrame) return nullptr;
    return image;
  }
  std::shared_ptr<D3D11Device> device_;
  CaptureConverter converter_;
  std::shared_ptr<FramePool<CpuImage>> pool_;
  StagingReadback readback_{"Test"};
};

TEST_F(ConverterDisplay, ToneMapsScRgbLikeTheReference) {
  struct Case {
    std::array<float, 3> rgb;
    float scale;
    std::array<uint8_t, 3> expected;  // r, g, b
  };
  const Case cases[] = {
      {{0.5f, 0.5f, 0.5f}, 1.0f, {188, 188, 188}},
      {{6.0f, 3.0f, 0.0f}, 1.0f, {255, 219, 173}},
      {{6.0f, 3.0f, 0.0f}, 3.0f, {255, 207, 137}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.rgb) + " scale " + std::to_string(c.scale));
    FramePlan plan;
    plan.format_class = CaptureFormatClass::kFp16;
    plan.path = CapturePath::kToneMapToSdr;
    plan.tone_map = true;
    plan.sdr_white_scale = c.scale;
    const ConverterParams params = MakeConverterParams(plan, 1, 1);
    const std::array<uint8_t, 3> reference = ReferenceConvertPixel(c.rgb, params);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(reference[i], c.expected[i], 1) << "channel " << i;

    const uint16_t px[4] = {Half(c.rgb[0]), Half(c.rgb[1]), Half(c.rgb[2]), Half(1.0f)};
    ComPtr<ID3D11Texture2D> source = MakeTexture(device_->device(), 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT,
                                                 D3D11_BIND_SHADER_RESOURCE, px, sizeof(px));
    ASSERT_TRUE(source);
    std::shared_ptr<CpuImage> out = Run(source.Get(), params, 1, 1);
    ASSERT_TRUE(out);
    const uint8_t* bgra = out->bytes();
    EXPECT_NEAR(bgra[2], reference[0], 1);
    EXPECT_NEAR(bgra[1], reference[1], 1);
    EXPECT_NEAR(bgra[0], reference[2], 1);
    EXPECT_EQ(bgra[3], 255);
  }
}

TEST_F(ConverterDisplay, RotatesThroughTheMapAndCopiesUnreadableSources) {
  // A 3 x 2 pattern, values 0..5 row-major, in a texture the shader cannot read.
  constexpr uint32_t kW = 3;
  constexpr uint32_t kH = 2;
  constexpr uint8_t kStep = 40;
  std::array<uint8_t, kW * kH * 4> pixels{};
  for (uint32_t i = 0; i < kW * kH; ++i) {
    const uint8_t v = static_cast<uint8_t>(i * kStep);
    pixels[i * 4 + 0] = v;
    pixels[i * 4 + 1] = v;
    pixels[i * 4 + 2] = v;
    pixels[i * 4 + 3] = 255;
  }
  ComPtr<ID3D11Texture2D> source =
      MakeTexture(device_->device(), kW, kH, DXGI_FORMAT_B8G8R8A8_UNORM, 0, pixels.data(), kW * 4);
  ASSERT_TRUE(source);
  struct Case {
    uint32_t rotation;
    uint32_t w;
    uint32_t h;
    std::vector<int> values;  // row-major, upright
  };
  const Case cases[] = {
      {90, 2, 3, {3, 0, 4, 1, 5, 2}},
      {180, 3, 2, {5, 4, 3, 2, 1, 0}},
      {270, 2, 3, {2, 5, 1, 4, 0, 3}},
  };
  testing::LogCapture log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rotation);
    FramePlan plan;
    plan.rotation = c.rotation;
    plan.path = CapturePath::kConvert;
    const ConverterParams params = MakeConverterParams(plan, kW, kH);
    std::shared_ptr<CpuImage> out = Run(source.Get(), params, c.w, c.h);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->width(), c.w);
    ASSERT_EQ(out->height(), c.h);
    for (uint32_t y = 0; y < c.h; ++y) {
      for (uint32_t x = 0; x < c.w; ++x) {
        const uint8_t* px = out->bytes() + static_cast<size_t>(y) * out->stride() + x * 4u;
        const int expected = c.values[y * c.w + x] * kStep;
        EXPECT_NEAR(px[0], expected, 1) << "at " << x << "," << y;
        EXPECT_NEAR(px[2], expected, 1) << "at " << x << "," << y;
        // The map agrees with the CPU side.
        int32_t sx = 0;
        int32_t sy = 0;
        MapOutputPixel(params, static_cast<int32_t>(x), static_cast<int32_t>(y), &sx, &sy);
        EXPECT_EQ(static_cast<int>(sy * kW + sx), c.values[y * c.w + x]);
      }
    }
  }
  EXPECT_EQ(log.Count("[Capture] Converter copies the captured surface first (not shader-readable)"), 1u);

  // A target of the unrotated size is refused for a quarter turn.
  FramePlan plan;
  plan.rotation = 90;
  plan.path = CapturePath::kConvert;
  ComPtr<ID3D11Texture2D> wrong = MakeTexture(device_->device(), kW, kH, DXGI_FORMAT_B8G8R8A8_UNORM,
                                              D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, nullptr, 0);
  HostResult result;
  EXPECT_FALSE(converter_.Convert(source.Get(), MakeConverterParams(plan, kW, kH), wrong.Get(), &result));
  EXPECT_TRUE(log.Contains("[Capture] Converter target 3x2 does not fit the upright frame 2x3"));
}

}  // namespace
}  // namespace orvane

#endif  // _WIN32
