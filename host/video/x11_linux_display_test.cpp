// The X11 back-ends against a private Xvfb server per test: RandR monitors,
// the MIT-SHM screen copy and the XFixes pointer.
#include <atomic>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/video/capture_source.h"
#include "host/video/capture_x11_linux.h"
#include "host/video/cursor_source.h"
#include "host/video/monitor_enumeration.h"
#include "host/video/synthetic_capture.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// Xlib last: its macros (Success, None, Bool) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

namespace orvane {
namespace {

using testing::LogCapture;
using testing::ScopedEnv;
using testing::WaitFor;

constexpr uint32_t kColorA = 0x336699;
constexpr uint32_t kColorB = 0xC08040;

// The test's own connection to its server, for drawing and configuring. It
// is closed before the server is ended.
class TestDisplay {
 public:
  explicit TestDisplay(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
  ~TestDisplay() { Close(); }
  void Close() {
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
  }
  bool ok() const { return display_ != nullptr; }
  Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

  void Fill(int x, int y, unsigned width, unsigned height, uint32_t rgb) {
    GC gc = XCreateGC(display_, root(), 0, nullptr);
    XSetForeground(display_, gc, rgb);
    XFillRectangle(display_, root(), gc, x, y, width, height);
    XFreeGC(display_, gc);
    XSync(display_, False);
  }

  // A RandR monitor of that name; with_output gives it the server's output.
  void SetMonitor(const char* name, int x, int y, int width, int height, bool primary, bool with_output) {
    XRRMonitorInfo* monitor = XRRAllocateMonitor(display_, with_output ? 1 : 0);
    monitor->name = XInternAtom(display_, name, False);
    monitor->primary = primary ? True : False;
    monitor->automatic = False;
    monitor->x = x;
    monitor->y = y;
    monitor->width = width;
    monitor->height = height;
    monitor->mwidth = width / 4;
    monitor->mheight = height / 4;
    if (with_output) {
      XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root());
      ASSERT_NE(resources, nullptr);
      ASSERT_GT(resources->noutput, 0);
      monitor->outputs[0] = resources->outputs[0];
      XRRFreeScreenResources(resources);
    }
    XRRSetMonitor(display_, root(), monitor);
    XFree(monitor);
    XSync(display_, False);
  }

  // The server refuses a second monitor of the same name: the old one goes
  // first.
  void MoveMonitor(const char* name, int x, int y, int width, int height, bool primary) {
    XRRDeleteMonitor(display_, root(), XInternAtom(display_, name, False));
    SetMonitor(name, x, y, width, height, primary, false);
  }

  // The two monitors side by side: LEFT holds the output, RIGHT is primary.
  void SplitIntoLeftAndRight() {
    SetMonitor("LEFT", 0, 0, 960, 1080, false, true);
    SetMonitor("RIGHT", 960, 0, 960, 1080, true, false);
  }

 private:
  Display* display_;
};

CaptureInitParams Rect(const char* id, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  CaptureInitParams p;
  p.monitor_id = id;
  p.left = left;
  p.top = top;
  p.right = right;
  p.bottom = bottom;
  return p;
}

uint64_t Checksum(const CpuImage& image) {
  uint64_t h = 1469598103934665603ull;
  for (uint32_t y = 0; y < image.height(); ++y) {
    const uint8_t* row = image.bytes() + static_cast<size_t>(y) * static_cast<size_t>(image.stride());
    for (uint32_t i = 0; i < image.width() * 4; ++i) h = (h ^ row[i]) * 1099511628211ull;
  }
  return h;
}

// The colour (0xRRGGBB) of pixel (x, y) of a BGRA image.
uint32_t PixelAt(const CpuImage& image, uint32_t x, uint32_t y) {
  const uint8_t* p = image.bytes() + static_cast<size_t>(y) * static_cast<size_t>(image.stride()) + x * 4u;
  return (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

// Pixels of the image whose colour differs from the expected one at that
// column.
template <typename Expected>
size_t WrongPixels(const CpuImage& image, Expected expected) {
  size_t wrong = 0;
  for (uint32_t y = 0; y < image.height(); ++y) {
    for (uint32_t x = 0; x < image.width(); ++x) wrong += PixelAt(image, x, y) != expected(x) ? 1 : 0;
  }
  return wrong;
}

#define ORVANE_X11_DESKTOP(xvfb, x)                          \
  ORVANE_START_XVFB_OR_SKIP(xvfb);                           \
  ScopedEnv display_env_("DISPLAY", xvfb->display_name());   \
  TestDisplay x(xvfb->display_name());                       \
  ASSERT_TRUE(x.ok())

// ------------------------------------------------------------ no display

TEST(X11Desktop, WithoutADisplayTheStandInsAreUsed) {
  ScopedEnv no_display("DISPLAY", "");
  EXPECT_FALSE(ScanDesktopMonitors().has_value());
  const std::vector<MonitorInfoData> list = MakePlatformMonitorEnumerator()->EnumerateMonitors();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].display_name, SyntheticMonitorEnumerator::kDisplayName);
  CaptureSourceSet set = MakePlatformCaptureSources();
  EXPECT_NE(dynamic_cast<SyntheticCaptureSource*>(set.gdi.get()), nullptr);
  EXPECT_EQ(MakePlatformCursorSource(), nullptr);
}

// -------------------------------------------------------------- monitors

TEST(X11Monitors, ReadsTheRandrMonitors) {
  ORVANE_X11_DESKTOP(xvfb, x);
  const std::unique_ptr<IMonitorEnumerator> enumerator = MakePlatformMonitorEnumerator();
  std::vector<MonitorInfoData> list = enumerator->EnumerateMonitors();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].display_name, "screen");
  EXPECT_FALSE(list[0].primary);
  EXPECT_EQ(list[0].refresh_rate, 60u);
  EXPECT_EQ(list[0].width, 1920);
  EXPECT_EQ(list[0].height, 1080);
  EXPECT_FALSE(list[0].has_output);
  EXPECT_NE(list[0].handle, 0u);

  x.SplitIntoLeftAndRight();
  list = enumerator->EnumerateMonitors();
  struct Expected {
    const char* id;
    const char* display_name;
    int32_t x;
    bool primary;
  };
  const Expected expected[] = {{"RIGHT", "RIGHT", 960, true}, {"LEFT", "screen", 0, false}};
  ASSERT_EQ(list.size(), std::size(expected));
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(list[i].id, expected[i].id);
    EXPECT_EQ(list[i].display_name, expected[i].display_name);
    EXPECT_EQ(list[i].x, expected[i].x);
    EXPECT_EQ(list[i].y, 0);
    EXPECT_EQ(list[i].width, 960);
    EXPECT_EQ(list[i].height, 1080);
    EXPECT_EQ(list[i].primary, expected[i].primary);
    EXPECT_EQ(list[i].index, i);
    EXPECT_EQ(list[i].refresh_rate, 60u);
    EXPECT_FALSE(list[i].hdr);
  }
}

// --------------------------------------------------------------- capture

TEST(X11ShmCapture, CopiesTheMonitorsRectangle) {
  ORVANE_X11_DESKTOP(xvfb, x);
  x.Fill(0, 0, 960, 1080, kColorA);
  x.Fill(960, 0, 960, 1080, kColorB);
  x.SplitIntoLeftAndRight();

  // The platform's screen-copy slot is this source when a display answers.
  CaptureSourceSet set = MakePlatformCaptureSources();
  ASSERT_NE(dynamic_cast<X11ShmCaptureSource*>(set.gdi.get()), nullptr);
  EXPECT_FALSE(set.dxgi->Initialize(Rect("RIGHT", 960, 0, 1920, 1080)));
  EXPECT_FALSE(set.wgc->Initialize(Rect("RIGHT", 960, 0, 1920, 1080)));

  struct Case {
    CaptureInitParams params;
    uint32_t width;
    uint32_t (*expected)(uint32_t x);
  };
  const Case cases[] = {
      {Rect("RIGHT", 960, 0, 1920, 1080), 960, [](uint32_t) { return kColorB; }},
      {Rect("LEFT", 0, 0, 960, 1080), 960, [](uint32_t) { return kColorA; }},
      {Rect("", 0, 0, 1920, 1080), 1920, [](uint32_t col) { return col < 960 ? kColorA : kColorB; }},
      {Rect("", 900, 100, 1000, 300), 100, [](uint32_t col) { return col < 60 ? kColorA : kColorB; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params.left);
    ASSERT_TRUE(set.gdi->Initialize(c.params));
    const CapturedFrame frame = set.gdi->Acquire(100, false);
    ASSERT_EQ(frame.status, CaptureStatus::kFrame);
    ASSERT_NE(frame.image, nullptr);
    EXPECT_EQ(frame.texture, nullptr);
    EXPECT_EQ(frame.width, c.width);
    EXPECT_EQ(frame.image->width(), c.width);
    EXPECT_EQ(frame.image->height(), static_cast<uint32_t>(c.params.Height()));
    EXPECT_GE(frame.image->stride(), static_cast<int32_t>(c.width * 4));
    EXPECT_EQ(WrongPixels(*frame.image, c.expected), 0u);
    EXPECT_TRUE(set.gdi->LastResult().ok());
  }
}

TEST(X11ShmCapture, RectanglesItCannotReadFailAndTheSourceRecovers) {
  ORVANE_X11_DESKTOP(xvfb, x);
  struct Case {
    CaptureInitParams params;
    const char* line;
  };
  const Case cases[] = {
      {Rect("empty", 100, 100, 100, 500), "GDI fallback has no valid monitor rectangle for empty"},
      {Rect("huge", 0, 0, 20000, 1080), "GDI fallback has no valid monitor rectangle for huge"},
      {Rect("beyond", 1800, 0, 2100, 1080), "lies outside the root window 1920x1080"},
      {Rect("negative", -10, 0, 500, 1080), "lies outside the root window 1920x1080"},
  };
  X11ShmCaptureSource source;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params.monitor_id);
    LogCapture log;
    EXPECT_FALSE(source.Initialize(c.params));
    EXPECT_TRUE(log.Contains(c.line));
    EXPECT_FALSE(source.LastResult().ok());
    EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kLost);
  }
  ASSERT_TRUE(source.Initialize(Rect("", 0, 0, 1920, 1080)));
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kFrame);
}

TEST(X11ShmCapture, AChangedMonitorIsLostAtTheNextCheck) {
  ORVANE_X11_DESKTOP(xvfb, x);
  x.SplitIntoLeftAndRight();
  ManualClock clock;
  X11ShmCaptureSource source(&clock);
  ASSERT_TRUE(source.Initialize(Rect("RIGHT", 960, 0, 1920, 1080)));
  ASSERT_EQ(source.Acquire(10, false).status, CaptureStatus::kFrame);
  x.MoveMonitor("RIGHT", 1000, 0, 920, 1080, true);
  clock.AdvanceMs(MonitorRectCheck::kIntervalMs - 1);
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kFrame);  // not checked yet
  clock.AdvanceMs(1);
  LogCapture log;
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kLost);
  EXPECT_TRUE(log.Contains("monitor RIGHT changed"));
  ASSERT_TRUE(source.Initialize(Rect("RIGHT", 1000, 0, 1920, 1080)));
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kFrame);
}

TEST(X11ShmCapture, HeldImagesKeepTheirPixelsWhileCaptureGoesOn) {
  ORVANE_X11_DESKTOP(xvfb, x);
  X11ShmCaptureSource source;
  ASSERT_TRUE(source.Initialize(Rect("", 0, 0, 1920, 1080)));
  // Three images held by another thread, each checked over and over while
  // this thread keeps capturing new pictures into the other buffers.
  std::vector<std::shared_ptr<const CpuImage>> held;
  std::vector<uint64_t> sums;
  for (uint32_t i = 0; i < 3; ++i) {
    x.Fill(0, 0, 1920, 1080, 0x101010u * (i + 1));
    CapturedFrame frame = source.Acquire(10, false);
    ASSERT_EQ(frame.status, CaptureStatus::kFrame);
    EXPECT_EQ(PixelAt(*frame.image, 5, 5), 0x101010u * (i + 1));
    sums.push_back(Checksum(*frame.image));
    held.push_back(std::move(frame.image));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> rounds{0};
  std::thread holder([&, images = std::move(held)]() mutable {
    while (!stop.load() || rounds.load() == 0) {
      for (size_t i = 0; i < images.size(); ++i) mismatches += Checksum(*images[i]) != sums[i] ? 1 : 0;
      ++rounds;
    }
    images.clear();  // released on this thread
  });
  for (uint32_t i = 0; i < 20; ++i) {
    x.Fill(0, 0, 1920, 1080, 0xA00000u + i);
    const CapturedFrame frame = source.Acquire(10, false);
    ASSERT_EQ(frame.status, CaptureStatus::kFrame);
    EXPECT_EQ(PixelAt(*frame.image, 1919, 1079), 0xA00000u + i);
  }
  stop = true;
  holder.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(rounds.load(), 0);
}

TEST(X11ShmCapture, AnImageReleasedAfterItsSourceDiedFreesItself) {
  ORVANE_X11_DESKTOP(xvfb, x);
  x.Fill(0, 0, 1920, 1080, kColorA);
  auto source = std::make_unique<X11ShmCaptureSource>();
  ASSERT_TRUE(source->Initialize(Rect("", 0, 0, 1920, 1080)));
  CapturedFrame kept = source->Acquire(10, false);
  ASSERT_EQ(kept.status, CaptureStatus::kFrame);
  const uint64_t sum = Checksum(*kept.image);
  source.reset();  // its connection is closed; the segment stays mapped
  EXPECT_EQ(Checksum(*kept.image), sum);
  EXPECT_EQ(WrongPixels(*kept.image, [](uint32_t) { return kColorA; }), 0u);
  kept.image.reset();  // unmaps the segment and frees the pool
}

TEST(X11ShmCapture, AllBuffersHeldFailsUntilOneIsReleased) {
  ORVANE_X11_DESKTOP(xvfb, x);
  X11ShmCaptureSource source;
  ASSERT_TRUE(source.Initialize(Rect("", 0, 0, 640, 480)));
  std::vector<CapturedFrame> held;
  for (size_t i = 0; i < FramePool<CpuImage>::kCapacity; ++i) {
    held.push_back(source.Acquire(10, false));
    ASSERT_EQ(held.back().status, CaptureStatus::kFrame);
  }
  LogCapture log;
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kFailed);
  EXPECT_TRUE(log.Contains("[WARN ] [Capture] X11 capture: all 8 frame buffers are held by the pipeline"));
  EXPECT_FALSE(source.LastResult().ok());
  held.erase(held.begin() + 3);
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kFrame);
  EXPECT_TRUE(source.LastResult().ok());
}

TEST(X11ShmCapture, ALostServerIsReportedAndTheHostLives) {
  ORVANE_X11_DESKTOP(xvfb, x);
  x.Fill(0, 0, 1920, 1080, kColorB);
  x.Close();  // only the back-ends are connected when the server goes
  X11ShmCaptureSource source;
  ASSERT_TRUE(source.Initialize(Rect("", 0, 0, 1920, 1080)));
  CapturedFrame kept = source.Acquire(10, false);
  ASSERT_EQ(kept.status, CaptureStatus::kFrame);
  std::unique_ptr<ICursorSource> cursor = MakePlatformCursorSource();
  ASSERT_NE(cursor, nullptr);
  CursorSample sample;
  ASSERT_TRUE(cursor->Sample(&sample));

  LogCapture log;
  xvfb.reset();
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kLost);
  EXPECT_EQ(source.Acquire(10, false).status, CaptureStatus::kLost);
  EXPECT_FALSE(cursor->Sample(&sample));
  EXPECT_FALSE(ScanDesktopMonitors().has_value());
  EXPECT_TRUE(log.Contains("[Capture] Lost the connection to the X server"));
  EXPECT_EQ(WrongPixels(*kept.image, [](uint32_t) { return kColorB; }), 0u);
  source.Shutdown();
  kept.image.reset();
}

// ---------------------------------------------------------------- cursor

TEST(X11Cursor, FollowsTheShapeAndThePosition) {
  ORVANE_X11_DESKTOP(xvfb, x);
  std::unique_ptr<ICursorSource> cursor = MakePlatformCursorSource();
  ASSERT_NE(cursor, nullptr);
  CursorSample sample;
  ASSERT_TRUE(cursor->Sample(&sample));
  uint64_t last_key = sample.shape_key;

  struct Case {
    unsigned int font_shape;
    const char* x_name;
    const char* shape;
  };
  const Case cases[] = {{XC_xterm, "xterm", "text"}, {XC_hand2, "hand2", "hand"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shape);
    const Cursor shape = XCreateFontCursor(x.get(), c.font_shape);
    // A themed cursor library names the cursors it loads; the core font
    // cursor of a machine without a theme gets the same name here.
    XFixesSetCursorName(x.get(), shape, c.x_name);
    XDefineCursor(x.get(), x.root(), shape);
    XSync(x.get(), False);
    EXPECT_TRUE(WaitFor([&] {
      return cursor->Sample(&sample) && std::string(CursorShapeName(sample.standard)) == c.shape;
    }));
    EXPECT_NE(sample.shape_key, 0u);
    EXPECT_NE(sample.shape_key, last_key);
    last_key = sample.shape_key;
    CursorShapeData data;
    ASSERT_TRUE(cursor->ReadShape(256, &data));
    EXPECT_GT(data.width, 0u);
    EXPECT_GT(data.height, 0u);
    ASSERT_EQ(data.pixels.size(), static_cast<size_t>(data.width) * data.height);
    size_t opaque = 0;
    for (uint32_t p : data.pixels) opaque += (p >> 24) == 0xFF ? 1 : 0;
    EXPECT_GT(opaque, 0u);
    XFreeCursor(x.get(), shape);
  }

  XWarpPointer(x.get(), None, x.root(), 0, 0, 0, 0, 700, 500);
  XSync(x.get(), False);
  ASSERT_TRUE(cursor->Sample(&sample));
  EXPECT_EQ(sample.x, 700);
  EXPECT_EQ(sample.y, 500);
  EXPECT_TRUE(sample.visible);
  EXPECT_EQ(sample.shape_key, last_key);
}

}  // namespace
}  // namespace orvane
