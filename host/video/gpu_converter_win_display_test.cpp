// The encoder's GPU converter over the real DXGI/Direct3D 11 platform (Wine
// under Xvfb in CI: devices exist there, the video processor does not).
#ifdef _WIN32

#include <windows.h>

#include <d3d11.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/common/platform_info.h"
#include "host/video/color_convert.h"
#include "host/video/gpu_converter.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

struct Converter {
  std::unique_ptr<IGpuPlatform> platform = MakePlatformGpuPlatform();
  EncoderRuntimeInfo info;
  HostResult last;
  std::vector<HResult> counted;
  std::unique_ptr<GpuConverter> converter;

  Converter() {
    converter = std::make_unique<GpuConverter>(
        *platform, GpuConverterOwner{&info, &last, [this](HResult hr) { counted.push_back(hr); }});
  }
  ~Converter() { converter.reset(); }
};

// Opens the converter at the size, or skips (Wine: no video processor) with
// the reason.
#define OPEN_OR_SKIP(c, w, h)                                                                          \
  do {                                                                                                 \
    if (!(c).converter->OpenConverter((w), (h), 30, nullptr, 0)) {                                     \
      ASSERT_EQ((c).last.code, 7) << (c).last.message;                                                 \
      ASSERT_TRUE(RunningUnderWine()) << "converter did not open: " << (c).last.ToString();            \
      const std::string reason = "no D3D11 video processor: " + (c).last.ToString();                   \
      std::printf("[  SKIPPED ] under Wine: %s\n", reason.c_str());                                    \
      GTEST_SKIP() << "under Wine: " << reason;                                                        \
    }                                                                                                  \
  } while (0)

TEST(GpuConverterDisplay, TheLadderMakesADeviceAndRecordsItsAdapter) {
  Converter c;
  GpuDeviceResult made;
  ASSERT_TRUE(c.converter->CreateDeviceOnAdapter("ColorConverter", 0, true, &made));
  ASSERT_TRUE(made.device);
  auto* device = static_cast<ID3D11Device*>(made.device->Native());
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->GetDeviceRemovedReason(), S_OK);
  EXPECT_EQ(c.platform->DeviceRemovedReason(*made.device), kSOk);
  EXPECT_GE(made.feature_level, 0xA000u);
  EXPECT_EQ(c.info.feature_level, made.feature_level);
  EXPECT_EQ(c.info.d3d_hr, kSOk);
  EXPECT_FALSE(c.info.adapter_name.empty());
  EXPECT_LE(c.info.adapter_name.size(), 255u);
  std::printf("device: adapter=%s vendor=0x%04X device=0x%04X luid=0x%016llX feature=0x%X\n",
              c.info.adapter_name.c_str(), c.info.vendor_id, c.info.device_id,
              static_cast<unsigned long long>(c.info.adapter_luid), c.info.feature_level);
  c.platform->SetMultithreadProtected(*made.device);
}

TEST(GpuConverterDisplay, AnEnumeratedAdapterIsFoundByItsLuid) {
  Converter c;
  std::vector<GpuAdapterEntry> adapters;
  ASSERT_TRUE(c.platform->EnumerateAdapters(&adapters));
  ASSERT_FALSE(adapters.empty());
  const GpuAdapterEntry* hardware = nullptr;
  for (const GpuAdapterEntry& a : adapters) {
    if (a.description_ok && !a.facts.software && a.facts.luid != 0) {
      hardware = &a;
      break;
    }
  }
  ASSERT_NE(hardware, nullptr);
  testing::LogCapture log;
  GpuDeviceResult made;
  ASSERT_TRUE(c.converter->CreateDeviceOnAdapter("GPU-direct", hardware->facts.luid, false, &made));
  EXPECT_TRUE(log.Contains("[Encoder] GPU-direct D3D11 device created on encoder adapter name="));
  EXPECT_EQ(c.info.adapter_luid, hardware->facts.luid);
  EXPECT_EQ(c.info.vendor_id, hardware->facts.vendor_id);
  EXPECT_EQ(made.device->AdapterLuid(), hardware->facts.luid);
}

TEST(GpuConverterDisplay, OpensOrFailsWithCodeSeven) {
  Converter c;
  const bool opened = c.converter->OpenConverter(320, 180, 30, nullptr, 0);
  if (!opened) {
    EXPECT_EQ(c.last.code, 7);
    EXPECT_FALSE(c.converter->Ready());
    // The converter's own device was made before the video processor failed.
    EXPECT_FALSE(c.info.adapter_name.empty());
  } else {
    EXPECT_TRUE(c.last.ok());
    EXPECT_TRUE(c.converter->Ready());
  }
  std::printf("OpenConverter: %s (%s)\n", opened ? "opened" : "failed", c.last.ToString().c_str());
  if (RunningUnderWine()) {
    EXPECT_FALSE(opened) << "Wine gained a D3D11 video processor: the conversion checks below now run";
  } else {
    EXPECT_TRUE(opened) << c.last.ToString();
  }
}

// Flat bars of even width, so every 2x2 block is one colour and the GPU's
// chroma filter and the CPU's top-left sample agree.
std::vector<uint8_t> Bars(uint32_t w, uint32_t h) {
  static const uint8_t kColours[][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                        {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {16, 16, 16}};
  std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* rgb = kColours[(x * 8 / w) % 8];
      uint8_t* p = &pixels[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = rgb[2];
      p[1] = rgb[1];
      p[2] = rgb[0];
      p[3] = 255;
    }
  }
  return pixels;
}

TEST(GpuConverterDisplay, ReadbackMatchesTheCpuConversion) {
  constexpr uint32_t kW = 320;
  constexpr uint32_t kH = 180;
  Converter c;
  OPEN_OR_SKIP(c, kW, kH);
  const std::vector<uint8_t> pixels = Bars(kW, kH);
  std::vector<uint8_t> gpu;
  ASSERT_TRUE(c.converter->ConvertOnGpuWithReadback(pixels.data(), kW * 4, kW, kH, &gpu)) << c.last.ToString();
  std::vector<uint8_t> cpu;
  ASSERT_TRUE(ConvertBgraToNv12Staging(pixels.data(), kW * 4, kW, kH, &cpu));
  ASSERT_EQ(gpu.size(), cpu.size());
  // Away from the bar edges (where the scaler filters), within a small
  // tolerance: drivers round differently.
  int worst_y = 0;
  int worst_c = 0;
  const uint32_t bar = kW / 8;
  for (uint32_t y = 0; y < kH; ++y) {
    for (uint32_t x = 0; x < kW; ++x) {
      const uint32_t in_bar = x % bar;
      if (in_bar < 4 || in_bar >= bar - 4) continue;
      const size_t i = static_cast<size_t>(y) * kW + x;
      worst_y = std::max(worst_y, std::abs(int{gpu[i]} - int{cpu[i]}));
      if (y < kH / 2) {
        const size_t j = static_cast<size_t>(kW) * kH + i;
        worst_c = std::max(worst_c, std::abs(int{gpu[j]} - int{cpu[j]}));
      }
    }
  }
  std::printf("GPU against CPU: worst Y difference %d, worst chroma difference %d\n", worst_y, worst_c);
  EXPECT_LE(worst_y, 3);
  EXPECT_LE(worst_c, 4);
}

TEST(GpuConverterDisplay, ScalesIntoTheEncoderSizeWithBlackBars) {
  Converter c;
  OPEN_OR_SKIP(c, 320, 180);
  // A portrait source: black bars left and right.
  const std::vector<uint8_t> pixels = Bars(90, 160);
  std::vector<uint8_t> gpu;
  ASSERT_TRUE(c.converter->ConvertOnGpuWithReadback(pixels.data(), 90 * 4, 90, 160, &gpu)) << c.last.ToString();
  ASSERT_EQ(gpu.size(), 320u * 180u * 3u / 2u);
  const FitRectResult fit = FitRect(90, 160, 320, 180);
  ASSERT_GT(fit.x, 4u);
  for (uint32_t y = 0; y < 180; ++y) {
    EXPECT_NEAR(gpu[y * 320 + 1], 16, 2) << "row " << y;
    EXPECT_NEAR(gpu[y * 320 + 318], 16, 2) << "row " << y;
  }
}

TEST(GpuConverterDisplay, PoolSurfacesTakeBlitsAndComeBack) {
  Converter c;
  GpuDeviceResult made;
  ASSERT_TRUE(c.converter->CreateDeviceOnAdapter("GPU-direct", 0, false, &made) ||
              c.converter->CreateDeviceOnAdapter("GPU-direct", 0, true, &made));
  if (!c.converter->OpenConverter(320, 180, 30, made.device, made.feature_level)) {
    ASSERT_EQ(c.last.code, 7);
    ASSERT_TRUE(RunningUnderWine()) << c.last.ToString();
    const std::string reason = "no D3D11 video processor: " + c.last.ToString();
    std::printf("[  SKIPPED ] under Wine: %s\n", reason.c_str());
    GTEST_SKIP() << "under Wine: " << reason;
  }
  const std::vector<uint8_t> pixels = Bars(640, 360);
  ASSERT_TRUE(c.converter->UploadBgra(pixels.data(), 640 * 4, 640, 360)) << c.last.ToString();
  std::shared_ptr<GpuTexture> surface = c.converter->AcquireNv12Surface();
  ASSERT_TRUE(surface);
  EXPECT_EQ(surface->Format(), kDxgiFormatNv12);
  ASSERT_TRUE(c.converter->BlitToNv12(*c.converter->UploadTexture(), 640, 360, *surface)) << c.last.ToString();
  const GpuTexture* raw = surface.get();
  surface.reset();
  EXPECT_EQ(c.converter->AcquireNv12Surface().get(), raw);
  // A platform reference (a sample keeping the surface) holds it too.
  auto* native = static_cast<ID3D11Texture2D*>(raw->Native());
  native->AddRef();
  std::shared_ptr<GpuTexture> other = c.converter->AcquireNv12Surface();
  ASSERT_TRUE(other);
  EXPECT_NE(other.get(), raw);
  native->Release();
  EXPECT_TRUE(c.counted.empty());
}

}  // namespace
}  // namespace orvane

#endif  // _WIN32
