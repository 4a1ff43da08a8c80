#include "host/video/gpu_converter.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/video/testing/fake_gpu_platform.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::FakeAdapter;
using testing::FakeGpuPlatform;
using testing::FakeGpuTexture;
using testing::FakeGpuVideoScript;
using testing::LogCapture;

constexpr HResult kUnsupported = static_cast<HResult>(0x887A0004u);   // DXGI_ERROR_UNSUPPORTED
constexpr HResult kDeviceRemoved = static_cast<HResult>(0x887A0005u);  // DXGI_ERROR_DEVICE_REMOVED
constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);

struct Harness {
  FakeGpuPlatform platform;
  EncoderRuntimeInfo info;
  HostResult last;
  std::vector<HResult> counted;
  std::unique_ptr<GpuConverter> converter;

  Harness() {
    converter = std::make_unique<GpuConverter>(
        platform, GpuConverterOwner{&info, &last, [this](HResult hr) { counted.push_back(hr); }});
  }
  FakeGpuVideoScript& video() { return *platform.video; }
  bool Open(uint32_t w, uint32_t h, uint32_t fps = 30) { return converter->OpenConverter(w, h, fps, nullptr, 0); }
};

// Three adapters: a hardware one, a software one, another hardware one.
void ThreeAdapters(FakeGpuPlatform& p) {
  p.adapters = {FakeAdapter("GPU A", 0xA), FakeAdapter("Basic Render", 0xB, true), FakeAdapter("GPU C", 0xC)};
}

struct Call {
  GpuDriver driver;
  uint32_t index;
};

// ------------------------------------------------------------ the ladder

TEST(GpuConverterLadder, FallsBackInOrderAndRecordsTheDevice) {
  struct Case {
    const char* name;
    const char* label;
    uint64_t luid;
    bool allow_warp;
    std::function<void(FakeGpuPlatform&)> setup;
    bool made;
    std::vector<Call> calls;
    std::string adapter_name;  // in the runtime facts ("" = untouched)
    uint64_t adapter_luid;
    uint32_t feature_level;
    HResult d3d_hr;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"adapter by luid", "GPU-direct", 0xC, false, [](FakeGpuPlatform&) {}, true, {{GpuDriver::kAdapter, 2}},
       "GPU C", 0xC, 0xB100, kSOk,
       {"[INFO ] [Encoder] GPU-direct D3D11 device created on encoder adapter name=GPU C feature=0xB100"}},
      {"luid not found: default adapter", "GPU-direct", 0xDD, false, [](FakeGpuPlatform&) {}, true,
       {{GpuDriver::kDefaultHardware, 0}}, "Fake Default GPU", 0x100, 0xB100, kSOk,
       {"[WARN ] [Encoder] GPU-direct could not create a device on adapter luid=0x00000000000000DD; using default "
        "adapter",
        "[INFO ] [Encoder] GPU-direct D3D11 device created via default adapter name=Fake Default GPU feature=0xB100"}},
      {"luid found, device fails: default adapter", "GPU-direct", 0xA, false,
       [](FakeGpuPlatform& p) { p.adapter_rules[0].hr = kUnsupported; }, true,
       {{GpuDriver::kAdapter, 0}, {GpuDriver::kDefaultHardware, 0}}, "Fake Default GPU", 0x100, 0xB100, kSOk,
       {"[WARN ] [Encoder] GPU-direct could not create a device on adapter luid=0x000000000000000A; using default "
        "adapter",
        "[INFO ] [Encoder] GPU-direct D3D11 device created via default adapter name=Fake Default GPU feature=0xB100"}},
      {"luid of an adapter without description: default", "GPU-direct", 0xA, false,
       [](FakeGpuPlatform& p) { p.adapters[0].description_ok = false; }, true, {{GpuDriver::kDefaultHardware, 0}},
       "Fake Default GPU", 0x100, 0xB100, kSOk,
       {"[WARN ] [Encoder] GPU-direct could not create a device on adapter luid=0x000000000000000A; using default "
        "adapter",
        "[INFO ] [Encoder] GPU-direct D3D11 device created via default adapter name=Fake Default GPU feature=0xB100"}},
      {"default fails: enumerated, software skipped", "ColorConverter", 0, true,
       [](FakeGpuPlatform& p) {
         p.default_rule.hr = kEFail;
         p.adapter_rules[0].hr = kEInvalidArg;
         p.adapter_rules[2].feature_level = 0xB000;
       },
       true, {{GpuDriver::kDefaultHardware, 0}, {GpuDriver::kAdapter, 0}, {GpuDriver::kAdapter, 2}}, "GPU C", 0xC,
       0xB000, kSOk,
       {"[INFO ] [Encoder] ColorConverter D3D11 device created via enumerated adapter[2]=GPU C feature=0xB000"}},
      {"default made without a device counts as failed", "ColorConverter", 0, true,
       [](FakeGpuPlatform& p) { p.default_rule.with_device = false; }, true,
       {{GpuDriver::kDefaultHardware, 0}, {GpuDriver::kAdapter, 0}}, "GPU A", 0xA, 0xB100, kSOk,
       {"[INFO ] [Encoder] ColorConverter D3D11 device created via enumerated adapter[0]=GPU A feature=0xB100"}},
      {"default without readable facts", "ColorConverter", 0, true,
       [](FakeGpuPlatform& p) { p.default_has_facts = false; }, true, {{GpuDriver::kDefaultHardware, 0}}, "unknown",
       0x100, 0xB100, kSOk,
       {"[INFO ] [Encoder] ColorConverter D3D11 device created via default adapter name=unknown feature=0xB100"}},
      {"everything fails: WARP", "ColorConverter", 0, true,
       [](FakeGpuPlatform& p) {
         p.default_rule.hr = kEFail;
         p.adapter_rules[0].hr = kUnsupported;
         p.adapter_rules[2].hr = kUnsupported;
         p.warp_rule.feature_level = 0xA100;
       },
       true,
       {{GpuDriver::kDefaultHardware, 0},
        {GpuDriver::kAdapter, 0},
        {GpuDriver::kAdapter, 2},
        {GpuDriver::kWarp, 0}},
       "WARP", 0, 0xA100, kSOk, {"[WARN ] [Encoder] ColorConverter fell back to WARP device feature=0xA100"}},
      {"WARP not allowed: fails with the last hr", "GPU-direct", 0xC, false,
       [](FakeGpuPlatform& p) {
         p.default_rule.hr = kEFail;
         p.adapter_rules[0].hr = kEInvalidArg;
         p.adapter_rules[2].hr = kUnsupported;
       },
       false,
       {{GpuDriver::kAdapter, 2},
        {GpuDriver::kDefaultHardware, 0},
        {GpuDriver::kAdapter, 0},
        {GpuDriver::kAdapter, 2}},
       "", 0, 0xB000, kUnsupported,
       {"[WARN ] [Encoder] GPU-direct could not create a device on adapter luid=0x000000000000000C; using default "
        "adapter",
        "[WARN ] [Encoder] GPU-direct D3D11 device creation failed hr=0x887A0004"}},
      {"WARP fails too: its hr is the last", "ColorConverter", 0, true,
       [](FakeGpuPlatform& p) {
         p.default_rule.hr = kEFail;
         p.adapters.clear();
         p.warp_rule.hr = kDeviceRemoved;
       },
       false, {{GpuDriver::kDefaultHardware, 0}, {GpuDriver::kWarp, 0}}, "", 0, 0xB000, kDeviceRemoved,
       {"[WARN ] [Encoder] ColorConverter D3D11 device creation failed hr=0x887A0005"}},
      {"no DXGI factory: default, then WARP", "GPU-direct", 0xA, true,
       [](FakeGpuPlatform& p) {
         p.factory_ok = false;
         p.default_rule.hr = kEFail;
       },
       true, {{GpuDriver::kDefaultHardware, 0}, {GpuDriver::kWarp, 0}}, "WARP", 0, 0xB100, kSOk,
       {"[WARN ] [Encoder] GPU-direct could not create a device on adapter luid=0x000000000000000A; using default "
        "adapter",
        "[WARN ] [Encoder] GPU-direct fell back to WARP device feature=0xB100"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ThreeAdapters(h.platform);
    c.setup(h.platform);
    GpuDeviceResult out;
    LogCapture log;
    EXPECT_EQ(h.converter->CreateDeviceOnAdapter(c.label, c.luid, c.allow_warp, &out), c.made);
    EXPECT_EQ(log.Lines(), c.lines);
    ASSERT_EQ(h.platform.device_calls.size(), c.calls.size());
    for (size_t i = 0; i < c.calls.size(); ++i) {
      EXPECT_EQ(h.platform.device_calls[i].driver, c.calls[i].driver) << "call " << i;
      if (c.calls[i].driver == GpuDriver::kAdapter) {
        EXPECT_EQ(h.platform.device_calls[i].adapter_index, c.calls[i].index) << "call " << i;
      }
      // Whatever an earlier attempt left (the fake leaves a device even on
      // failure) is gone before the next one.
      EXPECT_EQ(h.platform.device_calls[i].live_devices, 0) << "call " << i;
    }
    EXPECT_EQ(h.info.d3d_hr, c.d3d_hr);
    EXPECT_EQ(h.info.adapter_name, c.adapter_name);
    EXPECT_EQ(h.info.feature_level, c.feature_level);
    if (c.made) {
      ASSERT_TRUE(out.device);
      EXPECT_EQ(out.feature_level, c.feature_level);
      EXPECT_EQ(*h.platform.live_devices, 1);
      EXPECT_EQ(h.info.adapter_luid, c.adapter_luid);
    } else {
      EXPECT_FALSE(out.device);
      EXPECT_EQ(*h.platform.live_devices, 0);
    }
  }
}

TEST(GpuConverterLadder, WritesTheAdapterFacts) {
  Harness h;
  ThreeAdapters(h.platform);
  h.platform.adapters[2].facts.vendor_id = 0x8086;
  h.platform.adapters[2].facts.device_id = 0x46A6;
  h.platform.adapters[2].facts.subsystem_id = 0x30D017AA;
  h.platform.adapters[2].facts.revision = 0x0C;
  GpuDeviceResult out;
  ASSERT_TRUE(h.converter->CreateDeviceOnAdapter("GPU-direct", 0xC, false, &out));
  EXPECT_EQ(h.info.vendor_id, 0x8086u);
  EXPECT_EQ(h.info.device_id, 0x46A6u);
  EXPECT_EQ(h.info.subsystem_id, 0x30D017AAu);
  EXPECT_EQ(h.info.revision, 0x0Cu);
  EXPECT_EQ(h.info.adapter_luid, 0xCu);
  EXPECT_EQ(out.facts.name, "GPU C");
}

TEST(GpuConverterLadder, AdapterNamesAreBoundedAndNeverEmpty) {
  // 254 ASCII bytes, then a 3-byte character across the 255-byte limit.
  const std::string long_name = std::string(254, 'x') + "\xE2\x82\xAC" + "tail";
  struct Case {
    std::string name;
    std::string recorded;
  };
  const std::vector<Case> cases = {
      {"", "unknown"},
      {"Radeon \xC3\xA9", "Radeon \xC3\xA9"},
      {std::string(255, 'y'), std::string(255, 'y')},
      {long_name, std::string(254, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recorded.size());
    Harness h;
    h.platform.adapters = {FakeAdapter("", 0xA)};
    h.platform.adapters[0].facts.name = c.name;
    ASSERT_TRUE(h.converter->CreateDeviceOnAdapter("GPU-direct", 0xA, false, nullptr));
    EXPECT_EQ(h.info.adapter_name, c.recorded);
  }
}

// ------------------------------------------------------------ opening

TEST(GpuConverterOpen, OwnDeviceMakesProcessorAndAllTextures) {
  Harness h;
  LogCapture log;
  ASSERT_TRUE(h.Open(1280, 720, 30));
  EXPECT_TRUE(h.last.ok());
  EXPECT_TRUE(h.converter->Ready());
  EXPECT_EQ(h.converter->FeatureLevel(), 0xB100u);
  EXPECT_TRUE(log.Contains("[INFO ] [Encoder] ColorConverter D3D11 device created via default adapter"));
  EXPECT_TRUE(log.Contains("[INFO ] [Encoder] GPU BGRA->NV12 video processor initialized (feature_level=0xB100)"));
  const auto& v = h.video();
  ASSERT_EQ(v.processors.size(), 1u);
  EXPECT_EQ(v.processors[0].source_width, 1280u);
  EXPECT_EQ(v.processors[0].source_height, 720u);
  EXPECT_EQ(v.processors[0].target_width, 1280u);
  EXPECT_EQ(v.processors[0].target_height, 720u);
  EXPECT_EQ(v.processors[0].fps, 30u);
  ASSERT_EQ(v.textures.size(), 3u);
  EXPECT_EQ(v.textures[0].kind, GpuTextureKind::kBgraUpload);
  EXPECT_EQ(v.textures[1].kind, GpuTextureKind::kNv12Output);
  EXPECT_EQ(v.textures[2].kind, GpuTextureKind::kNv12Readback);
  for (const auto& t : v.textures) {
    EXPECT_EQ(t.width, 1280u);
    EXPECT_EQ(t.height, 720u);
  }
}

TEST(GpuConverterOpen, SharedDeviceMakesNoDeviceAndNoReadback) {
  Harness h;
  std::shared_ptr<GpuDevice> shared = h.platform.MakeDevice(0xA);
  LogCapture log;
  ASSERT_TRUE(h.converter->OpenConverter(1920, 1080, 60, shared, 0xC100));
  EXPECT_TRUE(h.platform.device_calls.empty());
  EXPECT_EQ(h.converter->Device(), shared);
  EXPECT_TRUE(log.Contains("[Encoder] GPU BGRA->NV12 video processor initialized (feature_level=0xC100)"));
  ASSERT_EQ(h.video().textures.size(), 2u);
  EXPECT_EQ(h.video().textures[0].kind, GpuTextureKind::kBgraUpload);
  EXPECT_EQ(h.video().textures[1].kind, GpuTextureKind::kNv12Output);
  // The converter holds its reference until it lets go.
  h.converter->Release();
  EXPECT_EQ(shared.use_count(), 1);
  EXPECT_FALSE(h.converter->Ready());
}

TEST(GpuConverterOpen, EachFailureReportsCodeSevenWithItsCall) {
  struct Case {
    const char* message;
    HResult hr;
    std::function<void(Harness&)> setup;
  };
  const std::vector<Case> cases = {
      {"Failed to create D3D11 device for BGRA->NV12 conversion", kDeviceRemoved,
       [](Harness& h) {
         h.platform.default_rule.hr = kEFail;
         h.platform.warp_rule.hr = kDeviceRemoved;
       }},
      {"Failed to query ID3D11VideoDevice", kNoInterface, [](Harness& h) { h.platform.video_device_hr = kNoInterface; }},
      {"Failed to query ID3D11VideoContext", kENotImpl, [](Harness& h) { h.platform.video_context_hr = kENotImpl; }},
      {"Failed to create video processor enumerator", kUnsupported,
       [](Harness& h) { h.video().enumerator_hr = kUnsupported; }},
      {"Failed to create D3D11 video processor", kEInvalidArg,
       [](Harness& h) { h.video().processor_hr = kEInvalidArg; }},
      {"Failed to create BGRA upload texture for color conversion", kEOutOfMemory,
       [](Harness& h) { h.video().texture_hr[GpuTextureKind::kBgraUpload] = kEOutOfMemory; }},
      {"Failed to create NV12 output texture for color conversion", kEInvalidArg,
       [](Harness& h) { h.video().texture_hr[GpuTextureKind::kNv12Output] = kEInvalidArg; }},
      {"Failed to create NV12 readback texture for color conversion", kEOutOfMemory,
       [](Harness& h) { h.video().texture_hr[GpuTextureKind::kNv12Readback] = kEOutOfMemory; }},
      {"Invalid dimensions or device for color conversion", kEFail, [](Harness&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Harness h;
    c.setup(h);
    LogCapture log;
    // The last case opens with a zero width.
    const uint32_t width = c.hr == kEFail ? 0 : 640;
    EXPECT_FALSE(h.Open(width, 360));
    EXPECT_EQ(h.last.code, 7);
    EXPECT_EQ(h.last.message, c.message);
    EXPECT_EQ(h.last.hr, c.hr);
    EXPECT_FALSE(log.Contains("video processor initialized"));
    EXPECT_TRUE(h.counted.empty());
  }
}

TEST(GpuConverterOpen, ReopeningReleasesEverythingFirst) {
  Harness h;
  ASSERT_TRUE(h.Open(640, 360));
  ASSERT_TRUE(h.converter->AcquireNv12Surface());
  ASSERT_TRUE(h.Open(1280, 720));
  // One device, one video object, the three new textures: the old ones and
  // the pool are gone.
  EXPECT_EQ(*h.platform.live_devices, 1);
  EXPECT_EQ(h.video().videos_open, 1);
  EXPECT_EQ(*h.video().live_textures, 3);
  EXPECT_EQ(h.converter->PoolSize(), 0u);
  h.converter.reset();
  EXPECT_EQ(*h.platform.live_devices, 0);
  EXPECT_EQ(*h.video().live_textures, 0);
  EXPECT_EQ(h.video().videos_open, 0);
}

// ------------------------------------------------------ resources

TEST(GpuConverterResources, RecreatedOnlyWhenTheSourceSizeChanges) {
  Harness h;
  ASSERT_TRUE(h.Open(1280, 720, 30));
  auto& v = h.video();
  ASSERT_EQ(v.processors.size(), 1u);
  ASSERT_EQ(v.textures.size(), 3u);

  ASSERT_TRUE(h.converter->EnsureConversionResources(1280, 720));
  EXPECT_EQ(v.processors.size(), 1u);
  EXPECT_EQ(v.textures.size(), 3u);

  h.converter->SetFrameRate(60);
  ASSERT_TRUE(h.converter->EnsureConversionResources(1920, 1080));
  ASSERT_EQ(v.processors.size(), 2u);
  EXPECT_EQ(v.processor_releases, 1);
  EXPECT_EQ(v.processors[1].source_width, 1920u);
  EXPECT_EQ(v.processors[1].source_height, 1080u);
  EXPECT_EQ(v.processors[1].target_width, 1280u);
  EXPECT_EQ(v.processors[1].target_height, 720u);
  EXPECT_EQ(v.processors[1].fps, 60u);
  ASSERT_EQ(v.textures.size(), 6u);
  EXPECT_EQ(v.textures[3].kind, GpuTextureKind::kBgraUpload);
  EXPECT_EQ(v.textures[3].width, 1920u);
  EXPECT_EQ(v.textures[4].width, 1280u);
  EXPECT_EQ(v.textures[5].width, 1280u);
  EXPECT_EQ(*v.live_textures, 3);

  ASSERT_TRUE(h.converter->EnsureConversionResources(1920, 1080));
  EXPECT_EQ(v.processors.size(), 2u);
  EXPECT_EQ(v.textures.size(), 6u);
}

TEST(GpuConverterResources, AFailedCreationIsRetriedAtTheSameSize) {
  Harness h;
  ASSERT_TRUE(h.Open(1280, 720));
  auto& v = h.video();
  v.texture_hr[GpuTextureKind::kNv12Output] = kEOutOfMemory;
  EXPECT_FALSE(h.converter->EnsureConversionResources(1920, 1080));
  EXPECT_EQ(h.last.message, "Failed to create NV12 output texture for color conversion");
  v.texture_hr.clear();
  const size_t before = v.textures.size();
  ASSERT_TRUE(h.converter->EnsureConversionResources(1920, 1080));
  EXPECT_TRUE(h.last.ok());
  EXPECT_EQ(v.textures.size(), before + 3);
}

TEST(GpuConverterResources, RefusesSizesAndMissingDevice) {
  struct Case {
    const char* name;
    bool open;
    uint32_t w, h;
  };
  const std::vector<Case> cases = {
      {"zero width", true, 0, 720},
      {"zero height", true, 1280, 0},
      {"wider than any texture", true, 16385, 720},
      {"not opened", false, 1280, 720},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    if (c.open) {
      ASSERT_TRUE(h.Open(1280, 720));
    }
    const size_t textures = h.video().textures.size();
    EXPECT_FALSE(h.converter->EnsureConversionResources(c.w, c.h));
    EXPECT_EQ(h.last.code, 7);
    EXPECT_EQ(h.last.message, "Invalid dimensions or device for color conversion");
    EXPECT_EQ(h.last.hr, kEFail);
    EXPECT_EQ(h.video().textures.size(), textures);
  }
}

// ------------------------------------------------------------ blits

TEST(GpuConverterBlit, DestinationIsTheFitRectAndColourSpacesAreSet) {
  struct Case {
    uint32_t sw, sh, ew, eh;
    GpuRect destination;
  };
  const std::vector<Case> cases = {
      {1920, 1080, 1920, 1200, {0, 60, 1920, 1140}},
      {1080, 1920, 1920, 1080, {656, 0, 1262, 1080}},
      {2560, 1600, 1920, 1080, {96, 0, 1824, 1080}},
      {3, 1, 1920, 1080, {0, 220, 1920, 860}},
      {1280, 720, 1280, 720, {0, 0, 1280, 720}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sw << "x" << c.sh << " -> " << c.ew << "x" << c.eh);
    Harness h;
    ASSERT_TRUE(h.converter->OpenConverter(c.ew, c.eh, 60, h.platform.MakeDevice(0xA), 0xB100));
    ASSERT_TRUE(h.converter->EnsureConversionResources(c.sw, c.sh));
    std::shared_ptr<GpuTexture> surface = h.converter->AcquireNv12Surface();
    ASSERT_TRUE(surface);
    h.last = HostResult::Failure(6, "earlier", kEFail);
    ASSERT_TRUE(h.converter->BlitToNv12(*h.converter->UploadTexture(), c.sw, c.sh, *surface));
    // Success leaves the last result alone.
    EXPECT_EQ(h.last.message, "earlier");
    ASSERT_EQ(h.video().blts.size(), 1u);
    const GpuBltRequest& r = h.video().blts[0].request;
    EXPECT_EQ(r.source, (GpuRect{0, 0, c.sw, c.sh}));
    EXPECT_EQ(r.destination, c.destination);
    EXPECT_EQ(r.stream_color_space, GpuColorSpace::kRgbFullRange);
    EXPECT_EQ(r.output_color_space, GpuColorSpace::kYcbcrBt709Studio);
    EXPECT_EQ(h.video().blts[0].target_id, static_cast<FakeGpuTexture*>(surface->Native())->id());
  }
}

TEST(GpuConverterBlit, ViewAndBlitFailuresAreCounted) {
  struct Case {
    const char* message;
    std::function<void(FakeGpuVideoScript&)> setup;
    HResult hr;
  };
  const std::vector<Case> cases = {
      {"Failed to create video processor input view", [](FakeGpuVideoScript& v) { v.input_view_hr = kEInvalidArg; },
       kEInvalidArg},
      {"Failed to create video processor output view",
       [](FakeGpuVideoScript& v) { v.output_view_hr = kDeviceRemoved; }, kDeviceRemoved},
      {"VideoProcessorBlt failed for NV12 conversion", [](FakeGpuVideoScript& v) { v.blt_hr = kDeviceRemoved; },
       kDeviceRemoved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Harness h;
    ASSERT_TRUE(h.Open(640, 360));
    c.setup(h.video());
    EXPECT_FALSE(h.converter->BlitToNv12(*h.converter->UploadTexture(), 640, 360, *h.converter->OutputTexture()));
    EXPECT_EQ(h.last.code, 7);
    EXPECT_EQ(h.last.message, c.message);
    EXPECT_EQ(h.last.hr, c.hr);
    EXPECT_EQ(h.counted, std::vector<HResult>{c.hr});
  }
}

TEST(GpuConverterBlit, RefusedBeforeOpeningAndForBadRects) {
  Harness h;
  auto source = testing::MakeLooseFakeTexture(GpuTextureKind::kBgraUpload, 640, 360);
  auto target = testing::MakeLooseFakeTexture(GpuTextureKind::kNv12Surface, 640, 360);
  EXPECT_FALSE(h.converter->BlitToNv12(*source, 640, 360, *target));
  EXPECT_EQ(h.last.message, "GPU color converter is not initialized");
  EXPECT_EQ(h.last.hr, kEFail);

  ASSERT_TRUE(h.Open(640, 360));
  // A source rect beyond the texture, a target smaller than the encoder.
  EXPECT_FALSE(h.converter->BlitToNv12(*source, 641, 360, *target));
  EXPECT_EQ(h.last.message, "Invalid dimensions or device for color conversion");
  auto small = testing::MakeLooseFakeTexture(GpuTextureKind::kNv12Surface, 320, 180);
  EXPECT_FALSE(h.converter->BlitToNv12(*source, 640, 360, *small));
  EXPECT_TRUE(h.video().blts.empty());
  EXPECT_TRUE(h.counted.empty());
}

// ------------------------------------------------------------ read-back

std::vector<uint8_t> Bgra(uint32_t w, uint32_t h, uint32_t pitch) {
  std::vector<uint8_t> pixels(static_cast<size_t>(pitch) * h);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 13);
  (void)w;
  return pixels;
}

TEST(GpuConverterReadback, CopiesRowsByRowPitchIntoTheStaging) {
  Harness h;
  const uint32_t w = 64, ht = 36;
  ASSERT_TRUE(h.Open(w, ht));
  h.video().row_padding = 48;
  // The read-back texture was made before the padding changed; a new source
  // size makes it again.
  const uint32_t sw = 80, sh = 40, pitch = sw * 4 + 12;
  const std::vector<uint8_t> pixels = Bgra(sw, sh, pitch);
  std::vector<uint8_t> staging;
  h.last = HostResult::Failure(7, "earlier", kEFail);
  ASSERT_TRUE(h.converter->ConvertOnGpuWithReadback(pixels.data(), pitch, sw, sh, &staging));
  EXPECT_TRUE(h.last.ok());
  ASSERT_EQ(staging.size(), size_t{w} * ht * 3 / 2);
  for (uint32_t row = 0; row < ht; ++row) {
    for (uint32_t col = 0; col < w; ++col) {
      ASSERT_EQ(staging[row * w + col], testing::FakeBltLuma(row, col)) << row << "," << col;
    }
  }
  for (uint32_t row = 0; row < ht / 2; ++row) {
    for (uint32_t col = 0; col < w; ++col) {
      ASSERT_EQ(staging[w * ht + row * w + col], testing::FakeBltChroma(row, col)) << row << "," << col;
    }
  }
  const auto& v = h.video();
  ASSERT_EQ(v.uploads.size(), 1u);
  EXPECT_EQ(v.uploads[0].pitch, pitch);
  ASSERT_EQ(v.blts.size(), 1u);
  EXPECT_EQ(v.copies, 1);
  EXPECT_EQ(v.maps, 1);
  EXPECT_EQ(v.unmaps, 1);
  EXPECT_EQ(v.blts[0].request.source, (GpuRect{0, 0, sw, sh}));
}

TEST(GpuConverterReadback, AnyFailingStepReturnsFalse) {
  struct Case {
    const char* message;
    std::function<void(FakeGpuVideoScript&)> setup;
    HResult hr;
    int blts, maps, unmaps;
    size_t counted;
  };
  const std::vector<Case> cases = {
      {"Failed to create BGRA upload texture for color conversion",
       [](FakeGpuVideoScript& v) { v.texture_hr[GpuTextureKind::kBgraUpload] = kEOutOfMemory; }, kEOutOfMemory, 0, 0,
       0, 0},
      {"VideoProcessorBlt failed for NV12 conversion", [](FakeGpuVideoScript& v) { v.blt_hr = kDeviceRemoved; },
       kDeviceRemoved, 1, 0, 0, 1},
      {"Failed to map NV12 readback texture", [](FakeGpuVideoScript& v) { v.map_hr = kDeviceRemoved; },
       kDeviceRemoved, 1, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Harness h;
    ASSERT_TRUE(h.Open(64, 36));
    c.setup(h.video());
    // A new source size, so the resources are made again for it.
    const std::vector<uint8_t> pixels = Bgra(32, 18, 128);
    std::vector<uint8_t> staging(7, 0x5A);
    EXPECT_FALSE(h.converter->ConvertOnGpuWithReadback(pixels.data(), 128, 32, 18, &staging));
    EXPECT_EQ(h.last.code, 7);
    EXPECT_EQ(h.last.message, c.message);
    EXPECT_EQ(h.last.hr, c.hr);
    EXPECT_EQ(static_cast<int>(h.video().blts.size()), c.blts);
    EXPECT_EQ(h.video().maps, c.maps);
    EXPECT_EQ(h.video().unmaps, c.unmaps);
    EXPECT_EQ(h.counted.size(), c.counted);
    // The caller's buffer is not passed off as a converted frame.
    EXPECT_EQ(staging, std::vector<uint8_t>(7, 0x5A));
  }
}

TEST(GpuConverterReadback, RefusedWithoutConverterOrFrame) {
  Harness h;
  const std::vector<uint8_t> pixels = Bgra(64, 36, 256);
  std::vector<uint8_t> staging;
  EXPECT_FALSE(h.converter->ConvertOnGpuWithReadback(pixels.data(), 256, 64, 36, &staging));
  EXPECT_EQ(h.last.message, "GPU color converter is not initialized");
  ASSERT_TRUE(h.Open(64, 36));
  EXPECT_FALSE(h.converter->ConvertOnGpuWithReadback(nullptr, 256, 64, 36, &staging));
  EXPECT_EQ(h.last.code, 7);
  EXPECT_FALSE(h.converter->ConvertOnGpuWithReadback(pixels.data(), 255, 64, 36, &staging));
  EXPECT_EQ(h.last.code, 7);
  EXPECT_TRUE(h.video().uploads.empty());
  // GPU-direct keeps no read-back texture.
  ASSERT_TRUE(h.converter->OpenConverter(64, 36, 60, h.platform.MakeDevice(0xA), 0xB100));
  EXPECT_FALSE(h.converter->ConvertOnGpuWithReadback(pixels.data(), 256, 64, 36, &staging));
  EXPECT_EQ(h.last.code, 7);
  EXPECT_TRUE(h.video().uploads.empty());
}

TEST(GpuConverterUpload, UploadsIntoTheUploadTexture) {
  Harness h;
  ASSERT_TRUE(h.converter->OpenConverter(64, 36, 60, h.platform.MakeDevice(0xA), 0xB100));
  const std::vector<uint8_t> pixels = Bgra(16, 8, 80);
  ASSERT_TRUE(h.converter->UploadBgra(pixels.data(), 80, 16, 8));
  auto* upload = static_cast<FakeGpuTexture*>(h.converter->UploadTexture()->Native());
  EXPECT_EQ(upload->Width(), 16u);
  ASSERT_EQ(h.video().uploads.size(), 1u);
  EXPECT_EQ(h.video().uploads[0].texture_id, upload->id());
  EXPECT_EQ(upload->bytes[64], pixels[80]);  // row 1 starts at pitch 80
  EXPECT_FALSE(h.converter->UploadBgra(pixels.data(), 63, 16, 8));
  EXPECT_FALSE(h.converter->UploadBgra(pixels.data(), 80, 0, 8));
  EXPECT_EQ(h.video().uploads.size(), 1u);
}

// ------------------------------------------------------------ the pool

// How the encoder keeps a surface: its own reference, or a sample inside
// the transform (a platform reference the converter cannot see).
enum class Hold { kReference, kSample };

TEST(GpuConverterPool, ReusesFreeSurfacesAndHandsOutNoneWhenAllAreHeld) {
  for (Hold hold : {Hold::kReference, Hold::kSample}) {
    SCOPED_TRACE(hold == Hold::kReference ? "reference" : "sample");
    Harness h;
    ASSERT_TRUE(h.converter->OpenConverter(640, 360, 60, h.platform.MakeDevice(0xA), 0xB100));

    // Handed back at once: the same surface again.
    std::shared_ptr<GpuTexture> first = h.converter->AcquireNv12Surface();
    ASSERT_TRUE(first);
    EXPECT_NE(first, h.converter->OutputTexture());
    EXPECT_EQ(first->Width(), 640u);
    EXPECT_EQ(first->Height(), 360u);
    const GpuTexture* first_raw = first.get();
    first.reset();

    std::vector<std::shared_ptr<GpuTexture>> held;
    std::vector<FakeGpuTexture*> fakes;
    for (size_t i = 0; i < kNv12SurfacePoolSize; ++i) {
      std::shared_ptr<GpuTexture> s = h.converter->AcquireNv12Surface();
      ASSERT_TRUE(s);
      if (i == 0) {
        EXPECT_EQ(s.get(), first_raw);
      }
      fakes.push_back(static_cast<FakeGpuTexture*>(s->Native()));
      if (hold == Hold::kSample) {
        fakes.back()->outside_holders = 1;
      } else {
        held.push_back(std::move(s));
      }
    }
    EXPECT_EQ(h.converter->PoolSize(), kNv12SurfacePoolSize);
    EXPECT_EQ(h.video().surfaces_made, 8);

    // All eight in use, the output texture free: still none, and no ninth.
    LogCapture log;
    EXPECT_FALSE(h.converter->AcquireNv12Surface());
    EXPECT_EQ(h.video().surfaces_made, 8);
    EXPECT_TRUE(log.Lines().empty());

    // The third comes back.
    if (hold == Hold::kSample) {
      fakes[2]->outside_holders = 0;
    } else {
      held[2].reset();
    }
    std::shared_ptr<GpuTexture> back = h.converter->AcquireNv12Surface();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Native(), fakes[2]);
    EXPECT_EQ(h.converter->PoolSize(), kNv12SurfacePoolSize);
  }
}

TEST(GpuConverterPool, OutputTextureOnlyWhenFree) {
  struct Case {
    const char* name;
    int surfaces_before_failure;
    bool output_held;
    bool expect_output;
  };
  const std::vector<Case> cases = {
      {"creation fails, output free", 0, false, true},
      {"creation fails, output held", 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_TRUE(h.converter->OpenConverter(640, 360, 60, h.platform.MakeDevice(0xA), 0xB100));
    h.video().surfaces_before_failure = c.surfaces_before_failure;
    std::shared_ptr<GpuTexture> output_ref;
    if (c.output_held) output_ref = h.converter->OutputTexture();
    LogCapture log;
    std::shared_ptr<GpuTexture> got = h.converter->AcquireNv12Surface();
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"[WARN ] [Encoder] Failed to create NV12 input surface: 0x8007000E"});
    if (c.expect_output) {
      EXPECT_EQ(got, h.converter->OutputTexture());
    } else {
      EXPECT_FALSE(got);
    }
    EXPECT_EQ(h.converter->PoolSize(), 0u);
  }
}

TEST(GpuConverterPool, OutputTextureHeldByTheTransformIsNotHandedOut) {
  Harness h;
  ASSERT_TRUE(h.converter->OpenConverter(640, 360, 60, h.platform.MakeDevice(0xA), 0xB100));
  h.video().surfaces_before_failure = 0;
  std::shared_ptr<GpuTexture> output = h.converter->AcquireNv12Surface();
  ASSERT_EQ(output, h.converter->OutputTexture());
  static_cast<FakeGpuTexture*>(output->Native())->outside_holders = 1;
  output.reset();
  EXPECT_FALSE(h.converter->AcquireNv12Surface());
  auto* fake_output = static_cast<FakeGpuTexture*>(h.converter->OutputTexture()->Native());
  fake_output->outside_holders = 0;
  std::shared_ptr<GpuTexture> again = h.converter->AcquireNv12Surface();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Native(), fake_output);
}

TEST(GpuConverterPool, NoneWithoutADevice) {
  Harness h;
  EXPECT_FALSE(h.converter->AcquireNv12Surface());
  ASSERT_TRUE(h.converter->OpenConverter(640, 360, 60, h.platform.MakeDevice(0xA), 0xB100));
  ASSERT_TRUE(h.converter->AcquireNv12Surface());
  h.converter->Release();
  EXPECT_FALSE(h.converter->AcquireNv12Surface());
  EXPECT_EQ(h.converter->PoolSize(), 0u);
  EXPECT_EQ(*h.video().live_textures, 0);
}

#ifndef _WIN32
// The Linux build converts on the CPU: its platform has no device to give.
TEST(GpuConverterLinux, NeverOpens) {
  std::unique_ptr<IGpuPlatform> platform = MakePlatformGpuPlatform();
  EncoderRuntimeInfo info;
  HostResult last;
  GpuConverter converter(*platform, GpuConverterOwner{&info, &last, nullptr});
  LogCapture log;
  EXPECT_FALSE(converter.OpenConverter(1280, 720, 60, nullptr, 0));
  EXPECT_EQ(last.code, 7);
  EXPECT_EQ(last.message, "Failed to create D3D11 device for BGRA->NV12 conversion");
  EXPECT_EQ(last.hr, kUnsupported);
  EXPECT_EQ(info.d3d_hr, kUnsupported);
  EXPECT_TRUE(log.Contains("[WARN ] [Encoder] ColorConverter D3D11 device creation failed hr=0x887A0004"));
  EXPECT_FALSE(converter.AcquireNv12Surface());
}
#endif

}  // namespace
}  // namespace orvane
