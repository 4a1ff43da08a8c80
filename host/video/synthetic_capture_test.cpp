#include "host/video/synthetic_capture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/video/capture_manager.h"
#include "host/video/test_pattern.h"

namespace orvane {
namespace {

uint64_t Checksum(const CpuImage& image) {
  uint64_t sum = 1469598103934665603ull;
  for (uint32_t y = 0; y < image.height(); ++y) {
    const uint8_t* row = image.bytes() + static_cast<size_t>(y) * static_cast<size_t>(image.stride());
    for (uint32_t x = 0; x < image.width() * 4; ++x) sum = (sum ^ row[x]) * 1099511628211ull;
  }
  return sum;
}

CaptureInitParams Params() {
  CaptureInitParams p;
  p.monitor_id = "\\\\.\\DISPLAY1";
  p.right = 64;
  p.bottom = 32;
  return p;
}

TEST(SyntheticCaptureTest, ChangePeriodsDeliverStillPeriodsTimeOut) {
  ManualClock clock;
  SyntheticCaptureSource source({64, 32, 100, 200, &clock});
  ASSERT_TRUE(source.Initialize(Params()));
  std::vector<CaptureStatus> seen;
  std::vector<uint64_t> pictures;
  // 10 ms waits over 600 ms: two change and two still periods.
  for (int i = 0; i < 60; ++i) {
    const CapturedFrame f = source.Acquire(10, false);
    seen.push_back(f.status);
    if (f.status == CaptureStatus::kFrame) {
      pictures.push_back(source.LastPicture());
      EXPECT_EQ(f.width, 64u);
      ASSERT_NE(f.image, nullptr);
      clock.AdvanceMs(10);  // a frame interval of the caller
    }
  }
  size_t frames = 0, timeouts = 0;
  for (CaptureStatus s : seen) (s == CaptureStatus::kFrame ? frames : timeouts) += 1;
  EXPECT_EQ(frames, 20u);
  EXPECT_EQ(timeouts, 40u);
  for (size_t i = 0; i < pictures.size(); ++i) EXPECT_EQ(pictures[i], i + 1);  // n + 1 per frame
  EXPECT_EQ(seen[0], CaptureStatus::kFrame);
  EXPECT_EQ(seen[10], CaptureStatus::kTimeout);  // 100 ms in: still
}

TEST(SyntheticCaptureTest, FirstAcquireAlwaysDeliversTheTestPatternOfItsNumber) {
  ManualClock clock;
  SyntheticCaptureSource source({64, 32, 1, 1000, &clock});
  ASSERT_TRUE(source.Initialize(Params()));
  clock.AdvanceMs(500);  // in a still period already
  const CapturedFrame f = source.Acquire(0, false);
  ASSERT_EQ(f.status, CaptureStatus::kFrame);
  const CpuImage& image = *f.image;
  for (uint32_t y : {0u, 7u, 31u}) {
    for (uint32_t x : {0u, 13u, 63u}) {
      const uint8_t* p = image.bytes() + y * static_cast<uint32_t>(image.stride()) + x * 4;
      const auto want = SyntheticCapturePixel(x, y, 1, 64, 32);
      EXPECT_EQ(std::vector<uint8_t>(p, p + 4), std::vector<uint8_t>(want.begin(), want.end())) << x << "," << y;
    }
  }
  EXPECT_EQ(ReadTestPatternCounterBgra(image.bytes(), static_cast<uint32_t>(image.stride()), 64, 32),
            std::optional<uint64_t>(1));
  // A band pixel: index (300 + 200 + 4 x 5) mod 256 = 8 gives B = 16, G = T(93), R = T(178).
  EXPECT_EQ(SyntheticCapturePixel(300, 200, 5, 1920, 1080), (std::array<uint8_t, 4>{16, 186, 155, 0xFF}));
  EXPECT_EQ(source.Acquire(0, false).status, CaptureStatus::kTimeout);
}

TEST(SyntheticCaptureTest, EveryPictureCarriesItsNumberAtTheDefaultSize) {
  SyntheticCaptureSource source(SyntheticCaptureOptions{});
  CaptureInitParams params = Params();
  params.right = 1920;
  params.bottom = 1080;
  ASSERT_TRUE(source.Initialize(params));
  for (uint64_t n = 1; n <= 3; ++n) {
    const CapturedFrame f = source.Acquire(0, false);
    ASSERT_EQ(f.status, CaptureStatus::kFrame);
    ASSERT_EQ(f.width, 1920u);
    EXPECT_EQ(ReadTestPatternCounterBgra(f.image->bytes(), static_cast<uint32_t>(f.image->stride()), 1920, 1080),
              std::optional<uint64_t>(n));
    const uint8_t* p = f.image->bytes() + 700 * static_cast<size_t>(f.image->stride()) + 900 * 4;
    const auto want = SyntheticCapturePixel(900, 700, n, 1920, 1080);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 4), std::vector<uint8_t>(want.begin(), want.end()));
  }
}

TEST(SyntheticCaptureTest, ThePictureTakesTheMonitorsSizeWhenAsked) {
  struct Case {
    bool from_monitor;
    int32_t right;
    int32_t bottom;
    uint32_t width;
    uint32_t height;
  };
  const Case cases[] = {
      {true, 2560, 1600, 2560, 1600},  {true, 1080, 1920, 1080, 1920},
      {true, 0, 0, 1920, 1080},        {true, 100000, 1080, 1920, 1080},
      {false, 2560, 1600, 1920, 1080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.right) + "x" + std::to_string(c.bottom));
    SyntheticCaptureOptions options;
    options.size_from_monitor = c.from_monitor;
    SyntheticCaptureSource source(options);
    CaptureInitParams params = Params();
    params.right = c.right;
    params.bottom = c.bottom;
    ASSERT_TRUE(source.Initialize(params));
    const CapturedFrame f = source.Acquire(0, false);
    ASSERT_EQ(f.status, CaptureStatus::kFrame);
    EXPECT_EQ(f.width, c.width);
    EXPECT_EQ(f.height, c.height);
  }
}

TEST(SyntheticCaptureTest, HeldImagesKeepTheirPixelsAndTheEighthHolderBlocks) {
  SyntheticCaptureSource source({64, 32, 1000, 0, nullptr});
  ASSERT_TRUE(source.Initialize(Params()));
  std::vector<std::shared_ptr<const CpuImage>> held;
  std::vector<uint64_t> sums;
  for (int i = 0; i < 8; ++i) {
    CapturedFrame f = source.Acquire(0, false);
    ASSERT_EQ(f.status, CaptureStatus::kFrame);
    sums.push_back(Checksum(*f.image));
    held.push_back(std::move(f.image));
  }
  EXPECT_EQ(source.Acquire(0, false).status, CaptureStatus::kFailed);
  // Another thread reads what it holds while capture goes on.
  std::vector<std::shared_ptr<const CpuImage>> other(held.begin() + 4, held.end());
  held.resize(4);
  std::thread reader([&] {
    for (int round = 0; round < 50; ++round) {
      for (size_t i = 0; i < other.size(); ++i) EXPECT_EQ(Checksum(*other[i]), sums[4 + i]);
    }
  });
  for (int i = 0; i < 50; ++i) {
    held.erase(held.begin());
    CapturedFrame f = source.Acquire(0, false);
    ASSERT_EQ(f.status, CaptureStatus::kFrame);
    held.push_back(std::move(f.image));
  }
  reader.join();
}

TEST(SyntheticCaptureTest, AnImageReleasedAfterItsSourceIsGoneFreesItself) {
  std::shared_ptr<const CpuImage> survivor;
  uint64_t sum = 0;
  {
    SyntheticCaptureSource source({64, 32, 1000, 0, nullptr});
    ASSERT_TRUE(source.Initialize(Params()));
    survivor = source.Acquire(0, false).image;
    sum = Checksum(*survivor);
  }
  EXPECT_EQ(Checksum(*survivor), sum);
  std::thread([s = std::move(survivor)]() mutable { s.reset(); }).join();
}

TEST(SyntheticCaptureTest, TheManagerFallsBackToIt) {
  CaptureSourceSet set;
  set.dxgi = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kDxgi);
  set.wgc = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kWgc);
  set.gdi = std::make_unique<SyntheticCaptureSource>(SyntheticCaptureOptions{64, 32, 1000, 0, nullptr});
  CaptureManager manager(CaptureBackendChoice::kAuto,
                         SelectCaptureTarget(SyntheticMonitorEnumerator().EnumerateMonitors(), "", 0), std::move(set));
  ASSERT_TRUE(manager.Start(true));
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kGdi);
  EXPECT_EQ(manager.Acquire(16, false, 1000).status, CaptureStatus::kFrame);
  const HostResult r = UnavailableCaptureSource(CaptureBackendKind::kWgc).LastResult();
  EXPECT_TRUE(r.ok());
}

}  // namespace
}  // namespace orvane
