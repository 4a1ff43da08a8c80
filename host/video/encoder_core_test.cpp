#include "host/video/encoder_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/video/color_convert.h"
#include "host/video/encoder_rules.h"
#include "host/video/testing/fake_gpu_platform.h"
#include "host/video/testing/fake_transform.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::FakeAsyncWaiter;
using testing::FakeCandidate;
using testing::FakeEncoderPlatform;
using testing::FakeEventPump;
using testing::FakeGpuPlatform;
using testing::FakeTransformScript;
using testing::LogCapture;
using testing::MakeFakeCandidate;
using testing::MakeLooseFakeTexture;
using Script = std::shared_ptr<FakeTransformScript>;

constexpr uint32_t kW = 640;
constexpr uint32_t kH = 360;
constexpr HResult kDeviceRemoved = static_cast<HResult>(0x887A0005u);
constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);
constexpr HResult kCustomError = static_cast<HResult>(0x80070015u);

std::vector<uint8_t> MakeFrame(uint32_t w, uint32_t h) {
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = static_cast<uint8_t>(i * 7);
    frame[i + 1] = static_cast<uint8_t>(i * 13);
    frame[i + 2] = static_cast<uint8_t>(i * 3);
    frame[i + 3] = 0xFF;
  }
  return frame;
}

OutputResult Unit(std::vector<uint8_t> bytes, bool has_clean_point, bool clean_point, bool has_time,
                  int64_t time_100ns) {
  OutputResult r;
  r.hr = kSOk;
  r.has_sample = true;
  r.data = std::move(bytes);
  r.has_clean_point = has_clean_point;
  r.clean_point = clean_point;
  r.has_time = has_time;
  r.time_100ns = time_100ns;
  return r;
}

OutputResult Failure(HResult hr, OutputStep step = OutputStep::kProcessOutput) {
  OutputResult r;
  r.hr = hr;
  r.failed_step = step;
  return r;
}

void ExpectResult(const HostResult& r, int code, const std::string& message, HResult hr) {
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.message, message);
  EXPECT_EQ(static_cast<uint32_t>(r.hr), static_cast<uint32_t>(hr));
}

class EncoderCoreTest : public ::testing::Test {
 protected:
  EncoderCoreTest() : frame_(MakeFrame(kW, kH)) {
    ClearFailedEncoderActivationsForTest();
    Rebuild(FakeEventPump::Mode::kImmediate);
  }
  ~EncoderCoreTest() override { encoder_.reset(); }

  // A fresh encoder over fresh fakes, its transforms' events delivered so.
  void Rebuild(FakeEventPump::Mode mode) {
    encoder_.reset();
    pump_ = std::make_unique<FakeEventPump>(mode);
    waiter_ = std::make_unique<FakeAsyncWaiter>(clock_, pump_.get());
    encoder_ = NewEncoder(&platform_, &gpu_);
  }

  std::unique_ptr<VideoEncoder> NewEncoder(FakeEncoderPlatform** platform, FakeGpuPlatform** gpu) {
    auto p = std::make_unique<FakeEncoderPlatform>();
    auto g = std::make_unique<FakeGpuPlatform>();
    p->pump = pump_.get();
    *platform = p.get();
    *gpu = g.get();
    return std::make_unique<VideoEncoder>(std::move(p), std::move(g), clock_, *waiter_, [this] {
      ++force_calls_;
      return force_cpu_;
    });
  }

  Script AddHardware(const std::string& name = "Fake HW", uint32_t clsid = 1, uint64_t luid = 0) {
    platform_->hardware.push_back(MakeFakeCandidate(name, clsid, luid));
    return platform_->hardware.back().script;
  }
  Script AddSoftware(const std::string& name = "Fake SW", uint32_t clsid = 100) {
    platform_->software.push_back(MakeFakeCandidate(name, clsid));
    return platform_->software.back().script;
  }
  // A software encoder alone, fed NV12 on the CPU or through the converter.
  Script SoftwareOnly() {
    encoder_->SetPreference(EncoderPreference::kSoftwareOnly);
    return AddSoftware();
  }

  bool Init(uint32_t w = kW, uint32_t h = kH, uint32_t fps = 60, uint32_t kbps = 4000,
            VideoCodec codec = VideoCodec::kH264) {
    return encoder_->Initialize(codec, w, h, fps, kbps);
  }
  bool Submit(int64_t timestamp_us) { return encoder_->EncodeBgra(frame_.data(), kW * 4, kW, kH, timestamp_us); }
  std::vector<EncodedAccessUnit> Drain() {
    std::vector<EncodedAccessUnit> units;
    EncodedAccessUnit unit;
    while (encoder_->ReceiveAccessUnit(&unit)) units.push_back(unit);
    return units;
  }
  HostResult Last() { return encoder_->GetLastResult(); }
  EncoderRuntimeInfo Info() { return encoder_->GetRuntimeInfo(); }

  ManualClock clock_;
  LogCapture log_;
  std::unique_ptr<FakeEventPump> pump_;
  std::unique_ptr<FakeAsyncWaiter> waiter_;
  FakeEncoderPlatform* platform_ = nullptr;  // owned by encoder_
  FakeGpuPlatform* gpu_ = nullptr;           // owned by encoder_
  int force_calls_ = 0;
  bool force_cpu_ = false;
  std::vector<uint8_t> frame_;
  std::unique_ptr<VideoEncoder> encoder_;
};

// ------------------------------------------------------------ frame rate

TEST_F(EncoderCoreTest, FrameRateGivesGopTypesAndSampleDuration) {
  struct Case {
    uint32_t fps;
    uint32_t normalised;
    uint32_t gop;
    int64_t duration_100ns;
  };
  const Case cases[] = {{0, 60, 240, 166'660}, {300, 240, 960, 41'660}, {7, 7, 28, 1'428'570}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    Rebuild(FakeEventPump::Mode::kImmediate);
    const Script sw = SoftwareOnly();
    ASSERT_TRUE(Init(kW, kH, c.fps));
    EXPECT_EQ(Info().gop_length, c.gop);
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kGopSize), std::vector<uint32_t>{c.gop});
    ASSERT_EQ(sw->output_types.size(), 1u);
    EXPECT_EQ(sw->output_types[0].fps_numerator, c.normalised);
    EXPECT_EQ(sw->output_types[0].fps_denominator, 1u);
    EXPECT_EQ(sw->input_types.back().fps_numerator, c.normalised);
    std::string rate = "@";
    rate += std::to_string(c.normalised);
    rate += " fps, 4000 kbps mode=SW";
    EXPECT_TRUE(log_.Contains(rate));
    ASSERT_TRUE(Submit(1'234));
    ASSERT_EQ(sw->inputs.size(), 1u);
    EXPECT_EQ(sw->inputs[0].duration_100ns, c.duration_100ns);
    EXPECT_EQ(sw->inputs[0].time_100ns, 12'340);
  }

  // A new rate changes the duration of later samples, not the types; Reset
  // goes back to the rate Initialize was given.
  encoder_->SetFrameRate(30);
  ASSERT_TRUE(Submit(2'000));
  const Script sw = platform_->software[0].script;
  EXPECT_EQ(sw->inputs.back().duration_100ns, 333'330);
  EXPECT_EQ(sw->output_types.size(), 1u);
  ASSERT_TRUE(encoder_->Reset());
  EXPECT_EQ(sw->output_types.back().fps_numerator, 7u);
  ASSERT_TRUE(Submit(3'000));
  EXPECT_EQ(sw->inputs.back().duration_100ns, 1'428'570);
}

// --------------------------------------------------------- Initialize

TEST_F(EncoderCoreTest, InitializeLadder) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t width;
    uint32_t height;
    bool ok;
    EncoderMode mode;
    const char* reason;
    const char* message;  // "" on success
  };
  auto hw = [this] { return platform_->hardware[0].script; };
  auto sw = [this] { return platform_->software[0].script; };
  const char* kHwOnly = "Hardware encoder unavailable (hardware-only preference)";
  const char* kNoEncoder = "Failed to create hardware or software encoder";
  const char* kSwConfig = "Failed to configure software encoder";
  const char* kDims = "Invalid encoder dimensions";
  const Case cases[] = {
      {"hardware on its GPU", [] {}, kW, kH, true, EncoderMode::kHwGpuDirect, "none", ""},
      {"asynchronous hardware", [&] { hw()->async = true; }, kW, kH, true, EncoderMode::kHwGpuDirect, "none", ""},
      {"hardware-only with hardware", [&] { encoder_->SetPreference(EncoderPreference::kHardwareOnly); }, kW, kH,
       true, EncoderMode::kHwGpuDirect, "none", ""},
      {"software only requested", [&] { encoder_->SetPreference(EncoderPreference::kSoftwareOnly); }, kW, kH, true,
       EncoderMode::kSw, "software_only_requested", ""},
      {"no hardware encoder", [&] { platform_->hardware.clear(); }, kW, kH, true, EncoderMode::kSw,
       "no_hardware_encoder", ""},
      {"hardware enumeration fails", [&] { platform_->hardware_enum_hr = kEFail; }, kW, kH, true, EncoderMode::kSw,
       "no_hardware_encoder", ""},
      {"hardware activation fails", [&] { platform_->hardware[0].activate_hr = kEFail; }, kW, kH, true,
       EncoderMode::kSw, "hardware_encoder_activation_failed", ""},
      {"hardware activation gives nothing", [&] { platform_->hardware[0].activate_empty = true; }, kW, kH, true,
       EncoderMode::kSw, "hardware_encoder_activation_failed", ""},
      {"hardware refuses the output type", [&] { hw()->output_type_hr = kEFail; }, kW, kH, true, EncoderMode::kSw,
       "hardware_type_negotiation_failed", ""},
      {"hardware refuses every input type",
       [&] {
         for (VideoSubtype s : {VideoSubtype::kNv12, VideoSubtype::kArgb32, VideoSubtype::kRgb32}) {
           hw()->input_type_hr[s] = kEFail;
         }
       },
       kW, kH, true, EncoderMode::kSw, "hardware_type_negotiation_failed", ""},
      {"hardware begin streaming fails", [&] { hw()->message_hr[TransformMessage::kBeginStreaming] = kEFail; }, kW,
       kH, true, EncoderMode::kSw, "hardware_type_negotiation_failed", ""},
      {"async hardware without event generator",
       [&] {
         hw()->async = true;
         hw()->event_setup = EventSetupResult{kNoInterface, EventSetupStep::kNoGenerator};
       },
       kW, kH, true, EncoderMode::kSw, "hardware_type_negotiation_failed", ""},
      {"no GPU-direct device", [&] { gpu_->default_rule.hr = kEFail; }, kW, kH, true, EncoderMode::kHwCpuFeed,
       "gpu_direct_device_create_failed", ""},
      {"no DXGI device manager", [&] { platform_->create_manager_hr = kEFail; }, kW, kH, true,
       EncoderMode::kHwCpuFeed, "dxgi_manager_create_failed", ""},
      {"transform rejects the manager", [&] { hw()->set_manager_hr = kENotImpl; }, kW, kH, true,
       EncoderMode::kHwCpuFeed, "d3d_manager_rejected", ""},
      {"ResetDevice fails once: rebound after the output type",
       [&] { platform_->reset_device_answers = {kEFail}; }, kW, kH, true, EncoderMode::kHwGpuDirect,
       "d3d_manager_rejected", ""},
      {"ResetDevice always fails", [&] { platform_->reset_device_hr = kEFail; }, kW, kH, true,
       EncoderMode::kHwCpuFeed, "gpu_direct_rebind_input_rejected", ""},
      {"hardware-only without hardware",
       [&] {
         encoder_->SetPreference(EncoderPreference::kHardwareOnly);
         platform_->hardware.clear();
       },
       kW, kH, false, EncoderMode::kSw, "no_hardware_encoder", kHwOnly},
      {"hardware-only, hardware cannot be configured",
       [&] {
         encoder_->SetPreference(EncoderPreference::kHardwareOnly);
         hw()->output_type_hr = kEFail;
       },
       kW, kH, false, EncoderMode::kSw, "hardware_type_negotiation_failed", kHwOnly},
      {"no encoder at all",
       [&] {
         platform_->hardware.clear();
         platform_->software.clear();
       },
       kW, kH, false, EncoderMode::kSw, "no_hardware_encoder", kNoEncoder},
      {"software activation fails",
       [&] {
         platform_->hardware.clear();
         platform_->software[0].activate_hr = kEFail;
       },
       kW, kH, false, EncoderMode::kSw, "no_hardware_encoder", kNoEncoder},
      {"software refuses the output type",
       [&] {
         platform_->hardware.clear();
         sw()->output_type_hr = kEFail;
       },
       kW, kH, false, EncoderMode::kSw, "no_hardware_encoder", kSwConfig},
      {"software start of stream fails",
       [&] {
         encoder_->SetPreference(EncoderPreference::kSoftwareOnly);
         sw()->message_hr[TransformMessage::kStartOfStream] = kEFail;
       },
       kW, kH, false, EncoderMode::kSw, "software_only_requested", kSwConfig},
      {"width 0", [] {}, 0, kH, false, EncoderMode::kSw, "none", kDims},
      {"height 0", [] {}, kW, 0, false, EncoderMode::kSw, "none", kDims},
      {"odd width", [] {}, 641, kH, false, EncoderMode::kSw, "none", kDims},
      {"odd height", [] {}, kW, 361, false, EncoderMode::kSw, "none", kDims},
      {"wider than a texture can be", [] {}, 16386, kH, false, EncoderMode::kSw, "none", kDims},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rebuild(FakeEventPump::Mode::kImmediate);
    ClearFailedEncoderActivationsForTest();
    AddHardware();
    AddSoftware();
    c.arrange();
    EXPECT_EQ(Init(c.width, c.height), c.ok);
    EXPECT_EQ(encoder_->IsInitialized(), c.ok);
    EXPECT_EQ(encoder_->GetMode(), c.mode);
    EXPECT_EQ(encoder_->IsGpuDirect(), c.mode == EncoderMode::kHwGpuDirect);
    EXPECT_EQ(encoder_->GetDevice() != nullptr, c.mode == EncoderMode::kHwGpuDirect);
    EXPECT_EQ(Info().fallback_reason, c.reason);
    if (c.ok) {
      ExpectResult(Last(), 0, "", kSOk);
    } else {
      ExpectResult(Last(), 6, c.message, kEFail);
    }
  }
}

TEST_F(EncoderCoreTest, InitializedLineAndRuntimeFacts) {
  const Script hw = AddHardware("Fake HW", 1);
  AddSoftware();
  ASSERT_TRUE(Init(1280, 720, 30, 6000, VideoCodec::kHevc));
  EXPECT_TRUE(log_.Contains(
      "[INFO ] [Encoder] Initialized: HEVC 1280x720 @30 fps, 6000 kbps mode=HW_GPU_DIRECT mft=Fake HW async=no "
      "rc=low_delay_vbr gop=120 adapter=Fake Default GPU feature=0xB100 fallback=none"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Codec API: low_latency=on rate_control=low_delay_vbr gop=120 b_frames=0"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Input type set: NV12 (GPU-direct D3D11 texture)"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] D3D manager attached (init)"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] GPU-direct encode enabled (feature_level=0xB100)"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] MFT encoder activated (hardware candidate=1/1 name=Fake HW "
                            "adapter=0x0000000000000000 async=no d3d11_aware=yes)."));
  const EncoderRuntimeInfo info = Info();
  EXPECT_EQ(info.mft_name, "Fake HW");
  EXPECT_EQ(info.adapter_name, "Fake Default GPU");
  EXPECT_EQ(info.vendor_id, 0x10DEu);
  EXPECT_EQ(info.feature_level, 0xB100u);
  EXPECT_EQ(info.rate_control, "low_delay_vbr");
  EXPECT_EQ(info.d3d_mgr_hr, kSOk);
  EXPECT_FALSE(info.async);
  EXPECT_EQ(info.resets, 0u);

  ASSERT_EQ(hw->output_types.size(), 1u);
  const MediaTypeDesc& out = hw->output_types[0];
  EXPECT_EQ(out.subtype, VideoSubtype::kHevc);
  EXPECT_EQ(out.width, 1280u);
  EXPECT_EQ(out.height, 720u);
  EXPECT_EQ(out.avg_bitrate, 6'000'000u);
  EXPECT_TRUE(out.low_latency);
  EXPECT_EQ(hw->Count("SetLowLatency"), 1u);
  EXPECT_EQ(gpu_->protect_calls, 1);
  EXPECT_EQ(hw->messages, (std::vector<TransformMessage>{TransformMessage::kBeginStreaming,
                                                          TransformMessage::kStartOfStream}));
  EXPECT_EQ(hw->ValuesOf(CodecProperty::kLowLatencyMode), std::vector<uint32_t>{1});
  EXPECT_EQ(hw->ValuesOf(CodecProperty::kBPictureCount), std::vector<uint32_t>{0});
  // No frame size limits were asked for.
  EXPECT_TRUE(hw->ValuesOf(CodecProperty::kMinQp).empty());
}

TEST_F(EncoderCoreTest, FailedHardwareIsReleasedBeforeSoftware) {
  const Script hw = AddHardware();
  const Script sw = AddSoftware();
  hw->message_hr[TransformMessage::kStartOfStream] = kEFail;
  ASSERT_TRUE(Init());
  EXPECT_TRUE(log_.Contains("[ERROR] [Encoder] Start of stream failed: 0x80004005"));
  EXPECT_TRUE(
      log_.Contains("[WARN ] [Encoder] Hardware encoder type negotiation failed; falling back to software encoder"));
  EXPECT_EQ(hw->activations, 1);
  EXPECT_EQ(hw->destroyed, 1);
  EXPECT_EQ(hw->managers, (std::vector<bool>{true, false}));  // attached, then detached
  EXPECT_EQ(platform_->shut_down, std::vector<std::string>{"Fake HW"});
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kSw);
  EXPECT_EQ(encoder_->GetDevice(), nullptr);
  EXPECT_EQ(Info().mft_name, "Fake SW");
  EXPECT_EQ(Info().mft_adapter_luid, 0u);
}

// ------------------------------------------------ candidates and their order

TEST_F(EncoderCoreTest, CandidateOrderAndFailedActivationsGoLast) {
  platform_->first_adapter_luid = 0x500;
  platform_->adapter_candidates = {MakeFakeCandidate("Bound", 10)};
  platform_->adapter_candidates[0].activate_hr = kEFail;
  platform_->hardware = {MakeFakeCandidate("Other GPU", 11, 0x999), MakeFakeCandidate("Bound", 10, 0x500),
                         MakeFakeCandidate("Same GPU", 12, 0x500)};
  platform_->hardware[2].activate_hr = kDeviceRemoved;
  AddSoftware();
  ASSERT_TRUE(Init());
  // The bound one, then the one on the same adapter, then the rest; the
  // duplicate of the bound one is dropped.
  EXPECT_EQ(platform_->adapter_enumerations, std::vector<uint64_t>{0x500});
  EXPECT_EQ(platform_->activated, (std::vector<std::string>{"Bound", "Same GPU", "Other GPU"}));
  EXPECT_EQ(platform_->shut_down, (std::vector<std::string>{"Bound", "Same GPU"}));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Enumerated 3 hardware H264 encoder candidate(s) (1 bound to adapter "
                            "luid=0x0000000000000500)"));
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Candidate 2/3 (Same GPU adapter=0x0000000000000500) activation "
                            "failed: 0x887A0005"));
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwGpuDirect);
  EXPECT_EQ(Info().mft_name, "Other GPU");
  EXPECT_EQ(Info().mft_adapter_luid, 0x999u);
  EXPECT_FALSE(log_.Contains("tried last"));

  // Another encoder of the same process tries those two after the one that
  // worked.
  log_.Clear();
  FakeEncoderPlatform* platform2 = nullptr;
  FakeGpuPlatform* gpu2 = nullptr;
  std::unique_ptr<VideoEncoder> second = NewEncoder(&platform2, &gpu2);
  platform2->first_adapter_luid = 0x500;
  platform2->adapter_candidates = platform_->adapter_candidates;
  platform2->hardware = platform_->hardware;
  platform2->hardware[0].activate_hr = kEFail;  // now the last one works
  platform2->adapter_candidates[0].activate_hr = kSOk;
  platform2->hardware[2].activate_hr = kEFail;
  ASSERT_TRUE(second->Initialize(VideoCodec::kH264, kW, kH, 60, 4000));
  EXPECT_EQ(platform2->activated, (std::vector<std::string>{"Other GPU", "Bound"}));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] 2 encoder candidate(s) that failed to activate earlier are tried last"));
  EXPECT_EQ(second->GetRuntimeInfo().mft_name, "Bound");

  // The same transform on another adapter is a different entry.
  log_.Clear();
  std::unique_ptr<VideoEncoder> third = NewEncoder(&platform2, &gpu2);
  platform2->hardware = {MakeFakeCandidate("Other GPU", 11, 0x777), MakeFakeCandidate("Fine", 13)};
  ASSERT_TRUE(third->Initialize(VideoCodec::kH264, kW, kH, 60, 4000));
  EXPECT_EQ(platform2->activated, std::vector<std::string>{"Other GPU"});
  EXPECT_FALSE(log_.Contains("tried last"));
}

TEST_F(EncoderCoreTest, PreferredAdapterIsEnumeratedFirstAndItsFailureIsNotFatal) {
  encoder_->SetPreferredAdapter(0xABC);
  platform_->first_adapter_luid = 0x500;
  platform_->adapter_enum_hr = kENotImpl;
  AddHardware("Fake HW", 1, 0xABC);
  AddSoftware();
  ASSERT_TRUE(Init());
  EXPECT_EQ(platform_->adapter_enumerations, std::vector<uint64_t>{0xABC});
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] MFTEnum2 for adapter luid=0x0000000000000ABC failed: 0x80004001"));
  EXPECT_TRUE(log_.Contains("(0 bound to adapter luid=0x0000000000000ABC)"));
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwGpuDirect);
  EXPECT_EQ(Info().mft_adapter_luid, 0xABCu);
}

TEST_F(EncoderCoreTest, LockedAsyncTransformIsSkippedWithoutEnteringTheFailedList) {
  const Script locked = AddHardware("Locked", 20);
  locked->async = true;
  locked->unlock_hr = kEFail;
  AddHardware("Open", 21);
  AddSoftware();
  ASSERT_TRUE(Init());
  EXPECT_EQ(platform_->activated, (std::vector<std::string>{"Locked", "Open"}));
  EXPECT_EQ(platform_->shut_down, std::vector<std::string>{"Locked"});
  EXPECT_EQ(locked->destroyed, 1);
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Failed to unlock async MFT: 0x80004005"));
  EXPECT_EQ(Info().mft_name, "Open");

  log_.Clear();
  FakeEncoderPlatform* platform2 = nullptr;
  FakeGpuPlatform* gpu2 = nullptr;
  std::unique_ptr<VideoEncoder> second = NewEncoder(&platform2, &gpu2);
  platform2->hardware = platform_->hardware;
  ASSERT_TRUE(second->Initialize(VideoCodec::kH264, kW, kH, 60, 4000));
  EXPECT_EQ(platform2->activated, (std::vector<std::string>{"Locked", "Open"}));
  EXPECT_FALSE(log_.Contains("tried last"));

  // With nothing else, the opening fails with the lock as its result.
  log_.Clear();
  std::unique_ptr<VideoEncoder> third = NewEncoder(&platform2, &gpu2);
  third->SetPreference(EncoderPreference::kHardwareOnly);
  platform2->hardware = {platform_->hardware[0]};
  EXPECT_FALSE(third->Initialize(VideoCodec::kH264, kW, kH, 60, 4000));
  EXPECT_TRUE(log_.Contains("[ERROR] [Encoder] All encoder candidates failed activation: 0xC00D6D77"));
  EXPECT_EQ(third->GetRuntimeInfo().fallback_reason, "hardware_encoder_activation_failed");
}

// --------------------------------------------------------- rate control

TEST_F(EncoderCoreTest, RateControlLadder) {
  struct Case {
    std::set<uint32_t> refused;
    uint32_t kbps;
    const char* text;
    std::vector<uint32_t> max_bitrate;
    std::vector<uint32_t> mean_bitrate;
  };
  const uint32_t kMax = std::numeric_limits<uint32_t>::max();
  const Case cases[] = {
      {{}, 4000, "low_delay_vbr", {}, {4'000'000}},
      {{4}, 4000, "cbr", {}, {4'000'000}},
      {{4, 0}, 4000, "peak_vbr", {6'000'000}, {4'000'000}},
      {{4, 0}, 3'000'000, "peak_vbr", {kMax}, {3'000'000'000}},
      {{4, 0, 1}, 5'000'000, "default", {}, {kMax}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Rebuild(FakeEventPump::Mode::kImmediate);
    const Script sw = SoftwareOnly();
    sw->refused_rate_controls = c.refused;
    ASSERT_TRUE(Init(kW, kH, 60, c.kbps));
    EXPECT_EQ(Info().rate_control, c.text);
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kMaxBitRate), c.max_bitrate);
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kMeanBitRate), c.mean_bitrate);
    std::vector<uint32_t> tried = {4, 0, 1};
    tried.resize(std::min<size_t>(c.refused.size() + 1, 3));
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kRateControlMode), tried);
    EXPECT_EQ(sw->output_types[0].avg_bitrate, c.mean_bitrate[0]);
    EXPECT_TRUE(log_.Contains(std::string("rate_control=") + c.text + " gop=240 b_frames=0"));

    // A new bit rate follows the same rule; the same one again is not sent.
    encoder_->SetBitrate(2000);
    encoder_->SetBitrate(2000);
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kMeanBitRate).back(), 2'000'000u);
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kMeanBitRate).size(), 2u);
    EXPECT_EQ(sw->ValuesOf(CodecProperty::kMaxBitRate).size(), c.max_bitrate.size() * 2);
  }
}

TEST_F(EncoderCoreTest, WithoutCodecApiTheEncoderDefaultsApply) {
  const Script sw = SoftwareOnly();
  sw->has_codec_api = false;
  sw->codec_hr[CodecProperty::kBPictureCount] = kEFail;
  encoder_->SetFrameSizeLimits(1'000'000, 20);
  ASSERT_TRUE(Init());
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] ICodecAPI unavailable; using encoder defaults"));
  EXPECT_EQ(Info().rate_control, "default");
  EXPECT_EQ(Info().gop_length, 0u);
  EXPECT_TRUE(sw->codec_values.empty());
  EXPECT_TRUE(log_.Contains("rc=default gop=0"));
  encoder_->SetBitrate(1000);
  encoder_->RequestKeyframe();
  EXPECT_TRUE(sw->codec_values.empty());
  EXPECT_FALSE(log_.Contains("Frame size limits"));
}

TEST_F(EncoderCoreTest, CodecSettingFailuresAreLoggedAsSuch) {
  const Script sw = SoftwareOnly();
  sw->codec_hr[CodecProperty::kLowLatencyMode] = kENotImpl;
  sw->codec_hr[CodecProperty::kGopSize] = kENotImpl;
  sw->codec_hr[CodecProperty::kBPictureCount] = kENotImpl;
  ASSERT_TRUE(Init());
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Codec API: low_latency=unsupported rate_control=low_delay_vbr gop=0 "
                            "b_frames=default"));
  EXPECT_EQ(Info().gop_length, 0u);
}

TEST_F(EncoderCoreTest, FrameSizeLimitsAtInitAndOnChange) {
  const Script sw = SoftwareOnly();
  encoder_->SetFrameSizeLimits(500'000, 20);
  ASSERT_TRUE(Init());
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Frame size limits (init): vbv_buffer=500000 bits (hr=0x00000000) "
                            "min_qp=20 (hr=0x00000000)"));
  sw->codec_hr[CodecProperty::kMinQp] = kEInvalidArg;
  encoder_->SetFrameSizeLimits(0, 18);
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Frame size limits (update): vbv_buffer=0 bits (hr=0x00000001) "
                            "min_qp=18 (hr=0x80070057)"));
  encoder_->SetFrameSizeLimits(0, 18);
  EXPECT_EQ(log_.Count("Frame size limits"), 2u);
  EXPECT_EQ(sw->ValuesOf(CodecProperty::kBufferSize), std::vector<uint32_t>{500'000});
  EXPECT_EQ(sw->ValuesOf(CodecProperty::kMinQp), (std::vector<uint32_t>{20, 18}));
  // Both back to 0: stored, nothing to apply.
  encoder_->SetFrameSizeLimits(0, 0);
  EXPECT_EQ(log_.Count("Frame size limits"), 2u);
}

TEST_F(EncoderCoreTest, RequestedKeyframeComesNext) {
  const Script sw = SoftwareOnly();
  ASSERT_TRUE(Init());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Submit(i * 1000));
  encoder_->RequestKeyframe();
  EXPECT_EQ(sw->ValuesOf(CodecProperty::kForceKeyFrame), std::vector<uint32_t>{1});
  ASSERT_TRUE(Submit(3000));
  ASSERT_TRUE(Submit(4000));
  const std::vector<EncodedAccessUnit> units = Drain();
  ASSERT_EQ(units.size(), 5u);
  const bool expected[] = {true, false, false, true, false};
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].keyframe, expected[i]) << i;
    EXPECT_EQ(units[i].timestamp_us, static_cast<int64_t>(i) * 1000);
  }
}

// --------------------------------------------------------- negotiation

TEST_F(EncoderCoreTest, GpuDirectNv12RefusedEndsOnCpuFeed) {
  const Script hw = AddHardware();
  AddSoftware();
  hw->input_type_hr[VideoSubtype::kNv12] = kEInvalidArg;
  ASSERT_TRUE(Init());
  // Refused with the manager's device, bound once more and refused again,
  // then the CPU types.
  EXPECT_EQ(hw->calls, (std::vector<std::string>{"SetLowLatency", "SetOutputType", "SetInputType NV12",
                                                  "SetInputType NV12", "SetInputType NV12", "SetInputType ARGB32"}));
  EXPECT_EQ(hw->managers, (std::vector<bool>{true, true}));
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] GPU-direct NV12 input type rejected: 0x80070057"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] D3D manager attached (post-input-type)"));
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Input type NV12 not accepted: 0x80070057"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Input type set: ARGB32 (direct GPU-friendly BGRA feed)"));
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwCpuFeed);
  EXPECT_FALSE(encoder_->IsGpuDirect());
  EXPECT_EQ(encoder_->GetDevice(), nullptr);
  EXPECT_EQ(Info().fallback_reason, "gpu_direct_rebind_input_rejected");

  // Frames reach the transform as BGRA in system memory, never as surfaces.
  ASSERT_TRUE(Submit(1000));
  ASSERT_EQ(hw->inputs.size(), 1u);
  EXPECT_FALSE(hw->inputs[0].surface);
  EXPECT_EQ(hw->inputs[0].size, static_cast<size_t>(kW) * 4 * kH);
  EXPECT_EQ(platform_->last_memory_bytes, frame_);
  const auto texture = MakeLooseFakeTexture(GpuTextureKind::kBgraUpload, kW, kH);
  EXPECT_FALSE(encoder_->EncodeTexture(texture.get(), kW, kH, 2000));
  ExpectResult(Last(), 6, "GPU-direct encode path is unavailable", kEFail);
}

TEST_F(EncoderCoreTest, GpuDirectNv12TakenAfterTheRebind) {
  const Script hw = AddHardware();
  AddSoftware();
  hw->input_type_answers = {kEInvalidArg};
  ASSERT_TRUE(Init());
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwGpuDirect);
  EXPECT_EQ(hw->managers, (std::vector<bool>{true, true}));
  EXPECT_EQ(Info().fallback_reason, "none");
  ASSERT_TRUE(Submit(1000));
  ASSERT_EQ(hw->inputs.size(), 1u);
  EXPECT_TRUE(hw->inputs[0].surface);
}

TEST_F(EncoderCoreTest, ConverterFailureOnTheGpuDirectDevice) {
  const Script hw = AddHardware();
  AddSoftware();
  gpu_->video_device_hr = kNoInterface;
  // NV12 taken for GPU-direct; refused afterwards, so the reason stays.
  hw->input_type_answers = {kSOk, kEInvalidArg};
  ASSERT_TRUE(Init());
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] GPU-direct NV12 input accepted but color converter init failed; "
                            "disabling GPU-direct path"));
  EXPECT_EQ(hw->managers, std::vector<bool>{true});  // no rebind: the device is not the problem
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwCpuFeed);
  EXPECT_EQ(Info().fallback_reason, "gpu_direct_color_converter_failed");
}

TEST_F(EncoderCoreTest, Nv12ConverterChoices) {
  struct Case {
    const char* name;
    bool hardware;
    bool force;
    bool converter_works;
    const char* reason;
    const char* line;
  };
  const Case cases[] = {
      {"hardware, converter works", true, false, true, "gpu_direct_device_create_failed",
       "[INFO ] [Encoder] Input type set: NV12 (GPU BGRA->NV12 converter enabled)"},
      {"hardware, converter unavailable", true, false, false, "gpu_converter_unavailable",
       "[WARN ] [Encoder] Input type set: NV12 (GPU converter unavailable, using CPU fallback)"},
      {"hardware, forced", true, true, true, "forced_cpu_nv12",
       "[WARN ] [Encoder] Input type set: NV12 (GPU BGRA->NV12 converter disabled by ORVANE_FORCE_CPU_NV12, using "
       "CPU fallback)"},
      {"software, forced", false, true, true, "software_only_requested",
       "[WARN ] [Encoder] Input type set: NV12 (GPU BGRA->NV12 converter disabled by ORVANE_FORCE_CPU_NV12, using "
       "CPU fallback)"},
      {"software, converter unavailable", false, false, false, "software_only_requested",
       "[WARN ] [Encoder] Input type set: NV12 (GPU converter unavailable, using CPU fallback)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rebuild(FakeEventPump::Mode::kImmediate);
    log_.Clear();
    force_calls_ = 0;
    force_cpu_ = c.force;
    if (c.hardware) {
      AddHardware();
      // No GPU-direct device: the default adapter fails, WARP is not allowed.
      gpu_->default_rule.hr = kEFail;
    } else {
      encoder_->SetPreference(EncoderPreference::kSoftwareOnly);
    }
    AddSoftware();
    if (!c.converter_works) gpu_->video_device_hr = kNoInterface;
    ASSERT_TRUE(Init());
    EXPECT_EQ(force_calls_, 1);
    EXPECT_TRUE(log_.Contains(c.line));
    EXPECT_EQ(Info().fallback_reason, c.reason);
    EXPECT_EQ(encoder_->GetMode(), c.hardware ? EncoderMode::kHwCpuFeed : EncoderMode::kSw);

    // The CPU path writes exactly the converter's bytes; the GPU path reads
    // back the processor's.
    const size_t blts = gpu_->video->blts.size();
    ASSERT_TRUE(Submit(1000));
    std::vector<uint8_t> expected;
    ASSERT_TRUE(ConvertBgraToNv12Staging(frame_.data(), kW * 4, kW, kH, &expected));
    const bool gpu_used = c.converter_works && !c.force;
    EXPECT_EQ(gpu_->video->blts.size(), blts + (gpu_used ? 1 : 0));
    EXPECT_EQ(platform_->last_memory_bytes.size(), 345'600u);
    if (gpu_used) {
      EXPECT_EQ(platform_->last_memory_bytes[0], testing::FakeBltLuma(0, 0));
    } else {
      EXPECT_EQ(platform_->last_memory_bytes, expected);
    }
  }
}

TEST_F(EncoderCoreTest, SoftwareInputTypesAndRefusal) {
  const Script sw = SoftwareOnly();
  sw->input_type_hr[VideoSubtype::kNv12] = kEInvalidArg;
  sw->input_type_hr[VideoSubtype::kArgb32] = kEInvalidArg;
  ASSERT_TRUE(Init());
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Input type set: RGB32 (direct GPU-friendly BGRA feed)"));
  EXPECT_EQ(force_calls_, 0);
  EXPECT_EQ(gpu_->open_video_calls, 0);

  Rebuild(FakeEventPump::Mode::kImmediate);
  const Script none = SoftwareOnly();
  for (VideoSubtype s : {VideoSubtype::kNv12, VideoSubtype::kArgb32, VideoSubtype::kRgb32}) {
    none->input_type_hr[s] = kEInvalidArg;
  }
  EXPECT_FALSE(Init());
  EXPECT_TRUE(log_.Contains("[ERROR] [Encoder] No compatible input type found"));
  ExpectResult(Last(), 6, "Failed to configure software encoder", kEFail);
}

// ------------------------------------------------------------ submitting

TEST_F(EncoderCoreTest, SubmitChecks) {
  const auto texture = MakeLooseFakeTexture(GpuTextureKind::kBgraUpload, kW, kH);
  EXPECT_FALSE(Submit(0));
  ExpectResult(Last(), 6, "Encoder is not initialized", kEFail);
  EncodedAccessUnit unit;
  EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
  ExpectResult(Last(), 6, "Encoder is not initialized", kEFail);
  EXPECT_FALSE(encoder_->EncodeTexture(texture.get(), kW, kH, 0));
  ExpectResult(Last(), 6, "GPU-direct encode path is unavailable", kEFail);

  AddHardware();
  AddSoftware();
  ASSERT_TRUE(Init());
  struct Case {
    const uint8_t* pixels;
    uint32_t pitch, width, height;
  };
  const Case bad[] = {{nullptr, kW * 4, kW, kH},
                      {frame_.data(), kW * 4 - 1, kW, kH},
                      {frame_.data(), kW * 4, 0, kH},
                      {frame_.data(), kW * 4, kW, 0},
                      {frame_.data(), 0xFFFFFFFFu, 0x40000000u, 1}};
  for (const Case& c : bad) {
    EXPECT_FALSE(encoder_->EncodeBgra(c.pixels, c.pitch, c.width, c.height, 0));
    ExpectResult(Last(), 7, "Invalid BGRA frame dimensions or pitch", kEFail);
  }
  EXPECT_FALSE(encoder_->EncodeTexture(nullptr, kW, kH, 0));
  ExpectResult(Last(), 6, "GPU-direct encode path is unavailable", kEFail);
  const auto empty = MakeLooseFakeTexture(GpuTextureKind::kBgraUpload, 0, kH);
  EXPECT_FALSE(encoder_->EncodeTexture(empty.get(), kW, kH, 0));
  ExpectResult(Last(), 7, "GPU-direct source texture has invalid dimensions", kEFail);
  EXPECT_TRUE(encoder_->EncodeTexture(texture.get(), 1, 1, 0));  // the texture's own size counts
}

TEST_F(EncoderCoreTest, MemorySampleFailures) {
  struct Case {
    SampleStep step;
    const char* message;
  };
  const Case cases[] = {{SampleStep::kAllocateBuffer, "Failed to allocate encoder input buffer"},
                        {SampleStep::kLockBuffer, "Failed to lock encoder input buffer"},
                        {SampleStep::kAllocateSample, "Failed to allocate encoder input sample"},
                        {SampleStep::kAddBuffer, "Failed to allocate encoder input sample"}};
  SoftwareOnly();
  ASSERT_TRUE(Init());
  for (const Case& c : cases) {
    platform_->memory_failure = c.step;
    EXPECT_FALSE(Submit(0));
    ExpectResult(Last(), 7, c.message, kEOutOfMemory);
  }
  platform_->memory_failure = SampleStep::kNone;
  EXPECT_TRUE(Submit(0));
  ExpectResult(Last(), 0, "", kSOk);
}

TEST_F(EncoderCoreTest, GpuDirectSubmitsSurfaces) {
  const Script hw = AddHardware();
  AddSoftware();
  ASSERT_TRUE(Init());
  // System-memory frames are uploaded and blitted into a surface.
  ASSERT_TRUE(Submit(1000));
  ASSERT_EQ(gpu_->video->uploads.size(), 1u);
  EXPECT_EQ(gpu_->video->uploads[0].pitch, kW * 4);
  const auto texture = MakeLooseFakeTexture(GpuTextureKind::kBgraUpload, 1920, 1080);
  ASSERT_TRUE(encoder_->EncodeTexture(texture.get(), 0, 0, 2000));
  ASSERT_EQ(hw->inputs.size(), 2u);
  EXPECT_TRUE(hw->inputs[0].surface);
  EXPECT_TRUE(hw->inputs[1].surface);
  EXPECT_EQ(hw->inputs[1].time_100ns, 20'000);
  // A surface the transform let go of is handed out again.
  EXPECT_EQ(hw->inputs[0].surface_id, hw->inputs[1].surface_id);
  ASSERT_EQ(gpu_->video->blts.size(), 2u);
  EXPECT_EQ(gpu_->video->blts[1].request.source, (GpuRect{0, 0, 1920, 1080}));
  EXPECT_EQ(gpu_->video->processors.back().source_width, 1920u);

  struct Case {
    SampleStep step;
    const char* message;
  };
  const Case cases[] = {{SampleStep::kSurfaceBuffer, "GPU-direct failed to create DXGI surface buffer"},
                        {SampleStep::kAllocateSample, "GPU-direct failed to allocate input sample"},
                        {SampleStep::kAddBuffer, "GPU-direct failed to bind DXGI buffer to sample"}};
  for (const Case& c : cases) {
    platform_->surface_failure = c.step;
    EXPECT_FALSE(encoder_->EncodeTexture(texture.get(), 0, 0, 3000));
    ExpectResult(Last(), 7, c.message, kEOutOfMemory);
  }
  platform_->surface_failure = SampleStep::kNone;

  // A failed blit fails the frame with the converter's result.
  gpu_->video->blt_hr = kEFail;
  EXPECT_FALSE(encoder_->EncodeTexture(texture.get(), 0, 0, 4000));
  ExpectResult(Last(), 7, "VideoProcessorBlt failed for NV12 conversion", kEFail);
}

TEST_F(EncoderCoreTest, HeldSurfacesEndInNeedsReset) {
  const Script hw = AddHardware();
  AddSoftware();
  hw->retain_inputs = std::numeric_limits<size_t>::max();
  ASSERT_TRUE(Init());
  const auto texture = MakeLooseFakeTexture(GpuTextureKind::kBgraUpload, kW, kH);
  std::vector<int> ids;
  for (size_t i = 0; i < kNv12SurfacePoolSize; ++i) {
    ASSERT_TRUE(encoder_->EncodeTexture(texture.get(), kW, kH, static_cast<int64_t>(i)));
    ids.push_back(hw->inputs.back().surface_id);
  }
  // Every surface is still held: none is handed out twice.
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
  for (uint32_t i = 1; i <= kEncoderFailuresBeforeReset; ++i) {
    EXPECT_FALSE(encoder_->EncodeTexture(texture.get(), kW, kH, 100 + i));
    ExpectResult(Last(), 7, "GPU-direct has no NV12 input surface", kEFail);
    EXPECT_EQ(encoder_->NeedsReset(), i == kEncoderFailuresBeforeReset) << i;
  }
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Encoder needs reset (device_lost=no consecutive_failures=30 "
                            "hr=0x80004005)"));
  EXPECT_FALSE(encoder_->EncodeTexture(texture.get(), kW, kH, 200));
  ExpectResult(Last(), 6, "Encoder requires reset", kEFail);
  EXPECT_EQ(hw->inputs.size(), kNv12SurfacePoolSize);
}

TEST_F(EncoderCoreTest, GpuReadbackFailureFallsBackToCpuWithRateLimitedWarning) {
  SoftwareOnly();
  ASSERT_TRUE(Init());
  std::vector<uint8_t> expected;
  ASSERT_TRUE(ConvertBgraToNv12Staging(frame_.data(), kW * 4, kW, kH, &expected));
  gpu_->video->blt_hr = kEFail;
  const std::string line =
      "[WARN ] [Encoder] GPU BGRA->NV12 conversion failed code=7 msg=VideoProcessorBlt failed for NV12 conversion "
      "hr=0x80004005 -- falling back to CPU";
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Submit(i));
    EXPECT_EQ(platform_->last_memory_bytes, expected);
    ExpectResult(Last(), 0, "", kSOk);
  }
  EXPECT_EQ(log_.Count(line), 1u);
  clock_.AdvanceMs(1000);
  ASSERT_TRUE(Submit(4));
  EXPECT_TRUE(log_.Contains(line + " (2 similar suppressed)"));
  EXPECT_EQ(log_.Count(line), 2u);

  // The converter stays on: the next good frame goes through the GPU.
  gpu_->video->blt_hr = kSOk;
  clock_.AdvanceMs(1000);
  ASSERT_TRUE(Submit(5));
  EXPECT_EQ(platform_->last_memory_bytes[0], testing::FakeBltLuma(0, 0));
  EXPECT_EQ(log_.Count(line), 2u);

  // A read-back that cannot be mapped falls back the same way.
  gpu_->video->map_hr = kEFail;
  ASSERT_TRUE(Submit(6));
  EXPECT_EQ(platform_->last_memory_bytes, expected);
  EXPECT_TRUE(log_.Contains("msg=Failed to map NV12 readback texture hr=0x80004005 -- falling back to CPU"));
}

TEST_F(EncoderCoreTest, ScaledFramesFitTheNegotiatedSize) {
  const Script sw = SoftwareOnly();
  sw->input_type_hr[VideoSubtype::kNv12] = kEInvalidArg;  // ARGB32
  ASSERT_TRUE(Init());
  const std::vector<uint8_t> big = MakeFrame(1280, 720);
  ASSERT_TRUE(encoder_->EncodeBgra(big.data(), 1280 * 4, 1280, 720, 0));
  EXPECT_EQ(sw->inputs.back().size, static_cast<size_t>(kW) * 4 * kH);
  std::vector<uint8_t> expected;
  ASSERT_TRUE(ScaleBgraLetterbox(big.data(), 1280 * 4, 1280, 720, kW, kH, &expected));
  EXPECT_EQ(platform_->last_memory_bytes, expected);
}

// ------------------------------------------------------- synchronous path

TEST_F(EncoderCoreTest, NotAcceptingPullsPendingOutputsAndOffersTheInputOnceMore) {
  const Script sw = SoftwareOnly();
  sw->not_accepting_at = 1;
  ASSERT_TRUE(Init());
  ASSERT_TRUE(Submit(1000));
  sw->calls.clear();
  ASSERT_TRUE(Submit(2000));
  EXPECT_EQ(sw->calls, (std::vector<std::string>{"ProcessInput", "ProcessOutput", "ProcessOutput", "ProcessInput"}));
  const std::vector<EncodedAccessUnit> units = Drain();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].timestamp_us, 1000);
  EXPECT_EQ(units[1].timestamp_us, 2000);

  // Refused twice: the frame fails.
  sw->input_answers = {kMfENotAccepting, kMfENotAccepting};
  EXPECT_FALSE(Submit(3000));
  ExpectResult(Last(), 6, "Encoder process input failed", kMfENotAccepting);
  EXPECT_TRUE(log_.Contains("[ERROR] [Encoder] ProcessInput failed: 0xC00D36B5"));
}

TEST_F(EncoderCoreTest, OutputBufferSize) {
  struct Case {
    uint32_t width, height, buffer_size, flags, supplied;
  };
  const Case cases[] = {
      {640, 360, 0, 0, 1'048'576},    {3840, 2160, 0, 0, 12'441'600},        {640, 360, 5000, 0, 5000},
      {640, 360, 0, kOutputProvidesSamples, 0}, {640, 360, 5000, kOutputCanProvideSamples, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    Rebuild(FakeEventPump::Mode::kImmediate);
    gpu_->video_device_hr = kNoInterface;  // no textures for the big size
    const Script sw = SoftwareOnly();
    sw->stream_info.buffer_size = c.buffer_size;
    sw->stream_info.flags = c.flags;
    ASSERT_TRUE(Init(c.width, c.height));
    EncodedAccessUnit unit;
    EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));  // nothing yet: needs more input
    ExpectResult(Last(), 0, "", kSOk);
    ASSERT_EQ(sw->supplied.size(), 1u);
    EXPECT_EQ(sw->supplied[0], c.supplied);
  }
}

TEST_F(EncoderCoreTest, OutputFailures) {
  struct Case {
    OutputResult answer;
    int code;
    const char* message;
    HResult hr;
  };
  OutputResult empty;
  const Case cases[] = {
      {empty, 7, "Encoder returned empty output sample", kEFail},
      {Failure(kEOutOfMemory, OutputStep::kCreateSample), 7, "Failed to create encoder output sample", kEOutOfMemory},
      {Failure(kEOutOfMemory, OutputStep::kCreateBuffer), 7, "Failed to create encoder output buffer", kEOutOfMemory},
      {Failure(kEFail, OutputStep::kFlatten), 7, "Failed to flatten encoded frame buffer", kEFail},
      {Failure(kEFail, OutputStep::kLockBuffer), 7, "Failed to lock encoded frame buffer", kEFail},
      {Failure(kCustomError), 6, "Encoder process output failed", kCustomError},
  };
  const Script sw = SoftwareOnly();
  ASSERT_TRUE(Init());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    sw->output_answers = {c.answer};
    EncodedAccessUnit unit;
    EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
    ExpectResult(Last(), c.code, c.message, c.hr);
  }
  EXPECT_TRUE(log_.Contains("[ERROR] [Encoder] ProcessOutput failed: 0x80070015"));
}

TEST_F(EncoderCoreTest, AlwaysFailingOutputReachesNeedsResetSync) {
  const Script sw = SoftwareOnly();
  sw->output_hr = kEFail;
  ASSERT_TRUE(Init());
  EncodedAccessUnit unit;
  for (uint32_t i = 1; i <= kEncoderFailuresBeforeReset; ++i) {
    // Accepted inputs do not clear the count; only units coming out do.
    ASSERT_TRUE(Submit(i));
    EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
    ExpectResult(Last(), 6, "Encoder process output failed", kEFail);
    EXPECT_EQ(encoder_->NeedsReset(), i == kEncoderFailuresBeforeReset) << i;
  }
  EXPECT_EQ(log_.Count("[WARN ] [Encoder] Encoder needs reset (device_lost=no consecutive_failures=30 "
                       "hr=0x80004005)"),
            1u);
  EXPECT_FALSE(Submit(100));
  ExpectResult(Last(), 6, "Encoder requires reset", kEFail);
}

TEST_F(EncoderCoreTest, AUnitComingOutClearsTheFailureCount) {
  const Script sw = SoftwareOnly();
  ASSERT_TRUE(Init());
  EncodedAccessUnit unit;
  for (int round = 0; round < 3; ++round) {
    sw->output_answers.assign(kEncoderFailuresBeforeReset - 1, Failure(kEFail));
    for (uint32_t i = 0; i + 1 < kEncoderFailuresBeforeReset; ++i) EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
    ASSERT_TRUE(Submit(round));
    EXPECT_TRUE(encoder_->ReceiveAccessUnit(&unit));
    EXPECT_FALSE(encoder_->NeedsReset());
  }
}

TEST_F(EncoderCoreTest, StreamChanges) {
  const Script sw = SoftwareOnly();
  ASSERT_TRUE(Init());
  ASSERT_TRUE(Submit(1000));
  OutputResult change = Failure(kMfETransformStreamChange);
  sw->output_answers = {change};
  EncodedAccessUnit unit;
  ASSERT_TRUE(encoder_->ReceiveAccessUnit(&unit));
  EXPECT_EQ(unit.timestamp_us, 1000);
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Output type renegotiated after MF_E_TRANSFORM_STREAM_CHANGE"));
  EXPECT_EQ(sw->Count("AdoptAvailableOutputType"), 1u);

  struct Case {
    std::function<void()> arrange;
    const char* line;
  };
  const Case cases[] = {
      {[&] { sw->output_answers = {change, change}; }, "[ERROR] [Encoder] ProcessOutput failed: 0xC00D6D61"},
      {[&] {
         sw->output_answers = {change};
         sw->available_type_hr = kMfETransformNeedMoreInput;
       },
       "[ERROR] [Encoder] Stream change: no output type available: 0xC00D6D72"},
      {[&] {
         sw->output_answers = {change};
         sw->available_type_hr = kSOk;
         sw->adopt_type_hr = kEInvalidArg;
       },
       "[ERROR] [Encoder] Stream change: SetOutputType failed: 0x80070057"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    c.arrange();
    EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
    ExpectResult(Last(), 6, "Encoder stream change renegotiation failed", kMfETransformStreamChange);
    EXPECT_TRUE(log_.Contains(c.line));
  }

  // A transform that keeps changing its stream counts towards a reset.
  sw->adopt_type_hr = kSOk;
  for (uint32_t i = 3; i < kEncoderFailuresBeforeReset; ++i) {
    sw->output_answers = {change, change};
    EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
  }
  EXPECT_TRUE(encoder_->NeedsReset());
  EXPECT_TRUE(log_.Contains("consecutive_failures=30 hr=0xC00D6D61"));
}

TEST_F(EncoderCoreTest, KeyframeAndTimeOfUnits) {
  const Script sw = SoftwareOnly();
  ASSERT_TRUE(Init());
  const std::vector<uint8_t> idr = testing::FakeUnitBytes(VideoSubtype::kH264, true, 1);
  const std::vector<uint8_t> slice = testing::FakeUnitBytes(VideoSubtype::kH264, false, 2);
  struct Case {
    OutputResult answer;
    bool keyframe;
    int64_t timestamp_us;
  };
  const Case cases[] = {
      {Unit(idr, true, false, true, 12'345'670), false, 1'234'567},  // the clean point wins over the bytes
      {Unit(slice, true, true, true, 10), true, 1},
      {Unit(idr, false, false, false, 99), true, 0},  // no clean point: the scan; no time: 0
      {Unit(slice, false, false, true, -20), false, -2},
  };
  for (const Case& c : cases) {
    sw->output_answers = {c.answer};
    EncodedAccessUnit unit;
    ASSERT_TRUE(encoder_->ReceiveAccessUnit(&unit));
    EXPECT_EQ(unit.data, c.answer.data);
    EXPECT_EQ(unit.keyframe, c.keyframe);
    EXPECT_EQ(unit.timestamp_us, c.timestamp_us);
    EXPECT_EQ(unit.reserved, 0u);
  }

  // HEVC units go through the HEVC scan.
  Rebuild(FakeEventPump::Mode::kImmediate);
  SoftwareOnly();
  ASSERT_TRUE(Init(kW, kH, 60, 4000, VideoCodec::kHevc));
  ASSERT_TRUE(Submit(0));
  ASSERT_TRUE(Submit(1));
  const std::vector<EncodedAccessUnit> units = Drain();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_TRUE(units[0].keyframe);
  EXPECT_FALSE(units[1].keyframe);
}

TEST_F(EncoderCoreTest, DeviceLossAsksForResetAtOnce) {
  struct Case {
    HResult input_hr;
    HResult removed_reason;
  };
  const Case cases[] = {{kDeviceRemoved, kSOk}, {kMfEShutdown, kSOk}, {kEFail, kDeviceRemoved}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input_hr);
    Rebuild(FakeEventPump::Mode::kImmediate);
    log_.Clear();
    const Script hw = AddHardware();
    AddSoftware();
    ASSERT_TRUE(Init());
    hw->input_hr = c.input_hr;
    gpu_->removed_reason = c.removed_reason;
    EXPECT_FALSE(Submit(0));
    EXPECT_TRUE(encoder_->NeedsReset());
    char line[128];
    std::snprintf(line, sizeof(line), "[Encoder] Encoder needs reset (device_lost=yes consecutive_failures=1 hr=0x%08X)",
                  static_cast<unsigned>(c.input_hr));
    EXPECT_TRUE(log_.Contains(line));
  }
}

// ------------------------------------------------------ asynchronous path

TEST_F(EncoderCoreTest, AsyncTransformThatNeverAsksForInput) {
  const Script hw = AddHardware();
  hw->async = true;
  hw->initial_input_requests = 0;
  AddSoftware();
  ASSERT_TRUE(Init());
  ASSERT_TRUE(Info().async);
  for (uint32_t i = 1; i <= kEncoderFailuresBeforeReset; ++i) {
    const uint64_t before = clock_.TickMs();
    EXPECT_FALSE(Submit(i));
    EXPECT_EQ(clock_.TickMs() - before, 1000u);  // no input went in: the first-input wait every time
    ExpectResult(Last(), 6, "Async encoder did not request input in time", kMfENotAccepting);
    EXPECT_EQ(encoder_->NeedsReset(), i == kEncoderFailuresBeforeReset) << i;
  }
  EXPECT_EQ(log_.Count("[WARN ] [Encoder] Encoder needs reset (device_lost=no consecutive_failures=30 "
                       "hr=0xC00D36B5)"),
            1u);
  const uint64_t before = clock_.TickMs();
  EXPECT_FALSE(Submit(100));
  ExpectResult(Last(), 6, "Encoder requires reset", kMfENotAccepting);
  EXPECT_EQ(clock_.TickMs(), before);
  EXPECT_EQ(hw->Count("ProcessInput"), 0u);
}

TEST_F(EncoderCoreTest, AsyncErrorEventAsksForResetAtOnce) {
  const Script hw = AddHardware();
  hw->async = true;
  hw->error_after_inputs = 1;
  hw->error_status = kCustomError;
  AddSoftware();
  ASSERT_TRUE(Init());
  const uint64_t start = clock_.TickMs();
  ASSERT_TRUE(Submit(0));
  EXPECT_FALSE(encoder_->NeedsReset());
  EXPECT_FALSE(Submit(1));
  ExpectResult(Last(), 6, "Async encoder reported an error event", kCustomError);
  EXPECT_TRUE(encoder_->NeedsReset());
  EXPECT_FALSE(Submit(2));
  ExpectResult(Last(), 6, "Encoder requires reset", kCustomError);
  EXPECT_EQ(clock_.TickMs(), start);
  EXPECT_EQ(hw->Count("ProcessInput"), 1u);
}

TEST_F(EncoderCoreTest, AsyncEventStateBookkeeping) {
  struct Case {
    const char* name;
    std::function<void(VideoEncoderAsyncState&)> act;
    int need_input, have_output;
    HResult error;
    bool ended;
  };
  const Case cases[] = {
      {"need input", [](VideoEncoderAsyncState& s) { s.OnEvent(601, kSOk); }, 1, 0, kSOk, false},
      {"have output", [](VideoEncoderAsyncState& s) { s.OnEvent(602, kSOk); }, 0, 1, kSOk, false},
      {"error with status", [](VideoEncoderAsyncState& s) { s.OnEvent(1, kCustomError); }, 0, 0, kCustomError, false},
      {"error without status", [](VideoEncoderAsyncState& s) { s.OnEvent(1, kSOk); }, 0, 0, kEFail, false},
      {"other event", [](VideoEncoderAsyncState& s) { s.OnEvent(603, kSOk); }, 0, 0, kSOk, false},
      {"event while stopping",
       [](VideoEncoderAsyncState& s) {
         s.stopping = true;
         s.OnEvent(602, kSOk);
       },
       0, 1, kSOk, true},
      {"request failed", [](VideoEncoderAsyncState& s) { s.OnEventRequestFailed(kMfEShutdown); }, 0, 0, kMfEShutdown,
       true},
      {"request failed while stopping",
       [](VideoEncoderAsyncState& s) {
         s.stopping = true;
         s.OnEventRequestFailed(kMfEShutdown);
       },
       0, 0, kSOk, true},
      {"no generator", [](VideoEncoderAsyncState& s) { s.OnNoGenerator(); }, 0, 0, kSOk, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VideoEncoderAsyncState state;
    c.act(state);
    EXPECT_EQ(state.need_input, c.need_input);
    EXPECT_EQ(state.have_output, c.have_output);
    EXPECT_EQ(state.error, c.error);
    EXPECT_EQ(state.callback_ended, c.ended);
  }
}

TEST_F(EncoderCoreTest, AsyncPipelinedAfterThreeTimeouts) {
  const Script hw = AddHardware();
  hw->async = true;
  hw->latency = 5;
  AddSoftware();
  ASSERT_TRUE(Init());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Submit(i * 1000)) << i;
  // 200 ms after the first input, 30 ms after the next two, none after that.
  EXPECT_EQ(waiter_->waits, (std::vector<uint64_t>{200, 30, 30}));
  EXPECT_EQ(log_.Count("[WARN ] [Encoder] Async encoder holds frames (pipelined output); no longer waiting for "
                       "output per input"),
            1u);
  const std::vector<EncodedAccessUnit> units = Drain();
  ASSERT_EQ(units.size(), 5u);
  for (size_t i = 0; i < units.size(); ++i) EXPECT_EQ(units[i].timestamp_us, static_cast<int64_t>(i) * 1000);

  // A new Initialize waits per input again.
  waiter_->waits.clear();
  ASSERT_TRUE(Init());
  ASSERT_TRUE(Submit(0));
  EXPECT_EQ(waiter_->waits, std::vector<uint64_t>{200});
}

TEST_F(EncoderCoreTest, AsyncEncoderThatKeepsUpIsNotPipelined) {
  Rebuild(FakeEventPump::Mode::kOnWait);
  const Script hw = AddHardware();
  hw->async = true;
  AddSoftware();
  ASSERT_TRUE(Init());
  const uint64_t start = clock_.TickMs();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(Submit(i * 1000)) << i;
    EncodedAccessUnit unit;
    ASSERT_TRUE(encoder_->ReceiveAccessUnit(&unit));
    EXPECT_EQ(unit.timestamp_us, i * 1000);
  }
  // Every wait ended with an event: no virtual time passed.
  EXPECT_EQ(clock_.TickMs(), start);
  EXPECT_FALSE(log_.Contains("pipelined"));
  EXPECT_FALSE(waiter_->waits.empty());
}

TEST_F(EncoderCoreTest, AsyncUnitsComeOldestFirst) {
  const Script hw = AddHardware();
  hw->async = true;
  AddSoftware();
  ASSERT_TRUE(Init());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Submit(i * 1000));
  const std::vector<EncodedAccessUnit> units = Drain();
  ASSERT_EQ(units.size(), 4u);
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].timestamp_us, static_cast<int64_t>(i) * 1000);
    EXPECT_EQ(units[i].data.back(), static_cast<uint8_t>(i));
  }
  EXPECT_TRUE(units[0].keyframe);
}

TEST_F(EncoderCoreTest, AlwaysFailingOutputReachesNeedsResetAsync) {
  const Script hw = AddHardware();
  hw->async = true;
  hw->output_hr = kCustomError;
  AddSoftware();
  ASSERT_TRUE(Init());
  for (uint32_t i = 1; i <= kEncoderFailuresBeforeReset; ++i) {
    // The input is taken, the failed pull stays the result.
    EXPECT_FALSE(Submit(i));
    ExpectResult(Last(), 6, "Encoder process output failed", kCustomError);
    EXPECT_EQ(encoder_->NeedsReset(), i == kEncoderFailuresBeforeReset) << i;
  }
  EXPECT_EQ(hw->Count("ProcessInput"), kEncoderFailuresBeforeReset);
  EXPECT_TRUE(log_.Contains("consecutive_failures=30 hr=0x80070015"));
}

TEST_F(EncoderCoreTest, AsyncStreamChangeKeepsTheUnit) {
  const Script hw = AddHardware();
  hw->async = true;
  hw->output_answers = {Failure(kMfETransformStreamChange)};
  AddSoftware();
  ASSERT_TRUE(Init());
  ASSERT_TRUE(Submit(5000));
  const std::vector<EncodedAccessUnit> units = Drain();
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].timestamp_us, 5000);
  EXPECT_TRUE(log_.Contains("[INFO ] [Encoder] Output type renegotiated after MF_E_TRANSFORM_STREAM_CHANGE"));
}

TEST_F(EncoderCoreTest, AsyncProcessInputFailure) {
  const Script hw = AddHardware();
  hw->async = true;
  hw->input_answers = {kCustomError};
  AddSoftware();
  ASSERT_TRUE(Init());
  EXPECT_FALSE(Submit(0));
  ExpectResult(Last(), 6, "Encoder process input failed", kCustomError);
  EXPECT_TRUE(log_.Contains("[ERROR] [Encoder] Async ProcessInput failed: 0x80070015"));
}

TEST_F(EncoderCoreTest, AsyncEventsFromAnotherThread) {
  Rebuild(FakeEventPump::Mode::kThread);
  const Script hw = AddHardware();
  hw->async = true;
  hw->latency = 1;
  AddSoftware();
  ASSERT_TRUE(Init());
  std::vector<EncodedAccessUnit> units;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(Submit(i * 100)) << i;
    EncodedAccessUnit unit;
    while (encoder_->ReceiveAccessUnit(&unit)) units.push_back(unit);
  }
  // The last unit's event may still be on its way.
  ASSERT_TRUE(testing::WaitFor([&] { return pump_->Pending() == 0; }));
  EncodedAccessUnit unit;
  while (encoder_->ReceiveAccessUnit(&unit)) units.push_back(unit);
  ASSERT_EQ(units.size(), 39u);
  for (size_t i = 0; i < units.size(); ++i) EXPECT_EQ(units[i].timestamp_us, static_cast<int64_t>(i) * 100);
  EXPECT_EQ(log_.Count("pipelined output"), 1u);
  encoder_->Shutdown();
  EXPECT_EQ(hw->Count("ShutdownTransform"), 1u);
  EXPECT_EQ(hw->destroyed, 1);
}

// ------------------------------------------------------------- shutdown

TEST_F(EncoderCoreTest, ShutdownSequences) {
  const Script hw = AddHardware();
  AddSoftware();
  ASSERT_TRUE(Init());
  ASSERT_TRUE(Submit(0));
  encoder_->Shutdown();
  EXPECT_EQ(hw->messages, (std::vector<TransformMessage>{TransformMessage::kBeginStreaming,
                                                          TransformMessage::kStartOfStream,
                                                          TransformMessage::kEndOfStream, TransformMessage::kDrain}));
  EXPECT_EQ(hw->managers, (std::vector<bool>{true, false}));
  EXPECT_EQ(hw->destroyed, 1);
  EXPECT_EQ(platform_->shut_down, std::vector<std::string>{"Fake HW"});
  EXPECT_FALSE(encoder_->IsInitialized());
  EXPECT_FALSE(encoder_->IsGpuDirect());
  EXPECT_EQ(*gpu_->live_devices, 0);
  EXPECT_EQ(*gpu_->video->live_textures, 0);
  EncodedAccessUnit unit;
  EXPECT_FALSE(encoder_->ReceiveAccessUnit(&unit));
  ExpectResult(Last(), 6, "Encoder is not initialized", kEFail);

  // An asynchronous transform is flushed and shut down; a callback that never
  // ends is waited for 50 ms.
  Rebuild(FakeEventPump::Mode::kImmediate);
  const Script async = AddHardware();
  async->async = true;
  async->end_callback_on_shutdown = false;
  AddSoftware();
  ASSERT_TRUE(Init());
  const uint64_t before = clock_.TickMs();
  encoder_->Shutdown();
  EXPECT_EQ(async->messages.back(), TransformMessage::kFlush);
  EXPECT_EQ(async->Count("ShutdownTransform"), 1u);
  EXPECT_EQ(clock_.TickMs() - before, 50u);
  // Shut down again: nothing left to do.
  encoder_->Shutdown();
  EXPECT_EQ(async->Count("ShutdownTransform"), 1u);
}

TEST_F(EncoderCoreTest, DestructorShutsDown) {
  const Script hw = AddHardware();
  hw->async = true;
  AddSoftware();
  ASSERT_TRUE(Init());
  const uint64_t before = clock_.TickMs();
  encoder_.reset();
  EXPECT_EQ(hw->destroyed, 1);
  EXPECT_EQ(hw->messages.back(), TransformMessage::kFlush);
  EXPECT_EQ(clock_.TickMs(), before);  // the callback ended at once
}

// ---------------------------------------------------------------- Reset

TEST_F(EncoderCoreTest, ResetBeforeInitializeFails) {
  EXPECT_FALSE(encoder_->Reset());
  ExpectResult(Last(), 6, "Encoder is not initialized", kEFail);
}

TEST_F(EncoderCoreTest, RepeatedHardwareFailureResetsLandOnSoftware) {
  const Script hw = AddHardware();
  const Script sw = AddSoftware();
  hw->input_hr = kDeviceRemoved;
  sw->input_hr = kDeviceRemoved;
  ASSERT_TRUE(Init());
  const std::string disabled = "[WARN ] [Encoder] Hardware encoder reset 4 times; using the software encoder for "
                               "this session";
  for (uint64_t n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(Submit(0));
    ASSERT_TRUE(encoder_->NeedsReset());
    ASSERT_TRUE(encoder_->Reset());
    EXPECT_EQ(Info().resets, n);
    EXPECT_FALSE(encoder_->NeedsReset());
    if (n < 4) {
      EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwGpuDirect);
      EXPECT_FALSE(log_.Contains("Hardware encoder reset"));
    } else {
      EXPECT_EQ(encoder_->GetMode(), EncoderMode::kSw);
      EXPECT_EQ(Info().fallback_reason, "hardware_disabled_after_resets");
      EXPECT_EQ(log_.Count(disabled), 1u);
    }
  }
  EXPECT_EQ(log_.Count("Hardware encoder reset"), 1u);
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Resetting encoder (mode=HW_GPU_DIRECT last_hr=0x887A0005)"));
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Resetting encoder (mode=SW last_hr=0x887A0005)"));
  EXPECT_EQ(hw->activations, 4);

  // For the rest of its life this encoder opens software only; a direct
  // Initialize clears the count of resets.
  ASSERT_TRUE(Init());
  EXPECT_EQ(Info().resets, 0u);
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kSw);
  EXPECT_EQ(Info().fallback_reason, "hardware_disabled_after_resets");
  encoder_->SetPreference(EncoderPreference::kSoftwareOnly);
  ASSERT_TRUE(Init());
  EXPECT_EQ(Info().fallback_reason, "hardware_disabled_after_resets");
  encoder_->SetPreference(EncoderPreference::kHardwareOnly);
  EXPECT_FALSE(encoder_->Reset());
  ExpectResult(Last(), 6, "Hardware encoder unavailable (hardware-only preference)", kEFail);
  EXPECT_EQ(Info().fallback_reason, "hardware_disabled_after_resets");
  EXPECT_EQ(hw->activations, 4);
}

TEST_F(EncoderCoreTest, HealthyResetDoesNotCountAndResetsCarryOver) {
  const Script hw = AddHardware("Fake HW", 1, 0x500);
  AddSoftware();
  ASSERT_TRUE(Init(kW, kH, 60, 4000));
  auto failure_reset = [&] {
    hw->input_answers = {kDeviceRemoved};
    EXPECT_FALSE(Submit(0));
    ASSERT_TRUE(encoder_->NeedsReset());
    ASSERT_TRUE(encoder_->Reset());
  };
  for (int i = 0; i < 3; ++i) failure_reset();
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwGpuDirect);

  // Moving to the monitor's adapter on a healthy encoder is not a failure.
  encoder_->SetPreferredAdapter(0x500);
  encoder_->SetBitrate(2500);
  ASSERT_TRUE(encoder_->Reset());
  EXPECT_EQ(platform_->adapter_enumerations, std::vector<uint64_t>{0x500});
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kHwGpuDirect);
  EXPECT_EQ(Info().resets, 4u);
  EXPECT_EQ(hw->output_types.back().avg_bitrate, 2'500'000u);  // the remembered bit rate followed
  EXPECT_TRUE(log_.Contains("[WARN ] [Encoder] Resetting encoder (mode=HW_GPU_DIRECT last_hr=0x00000000)"));

  failure_reset();
  EXPECT_EQ(encoder_->GetMode(), EncoderMode::kSw);
  EXPECT_EQ(Info().resets, 5u);
  EXPECT_TRUE(log_.Contains("Hardware encoder reset 4 times"));

  // A reset that fails keeps the count of those that worked.
  platform_->software.clear();
  EXPECT_FALSE(encoder_->Reset());
  EXPECT_EQ(Info().resets, 5u);
}

TEST_F(EncoderCoreTest, ResetAfterFailedInitializeRetriesTheRememberedConfiguration) {
  SoftwareOnly()->output_type_hr = kEFail;
  EXPECT_FALSE(Init(1280, 720, 30, 3000));
  platform_->software[0].script->output_type_hr = kSOk;
  ASSERT_TRUE(encoder_->Reset());
  EXPECT_TRUE(log_.Contains("Initialized: H264 1280x720 @30 fps, 3000 kbps mode=SW"));
  EXPECT_EQ(Info().resets, 1u);
}

// -------------------------------------------------------- free functions

TEST(EncoderCoreFunctionsTest, CountHardwareEncoders) {
  FakeEncoderPlatform platform;
  platform.hardware = {MakeFakeCandidate("A", 1), MakeFakeCandidate("B", 2)};
  platform.software = {MakeFakeCandidate("S", 3)};
  EXPECT_EQ(CountHardwareEncoders(platform, VideoCodec::kH264), 2u);
  platform.hardware_enum_hr = kEFail;
  EXPECT_EQ(CountHardwareEncoders(platform, VideoCodec::kHevc), 0u);
  EXPECT_EQ(platform.software_enumerations, 0);
}

TEST(EncoderCoreFunctionsTest, SystemWaiterReturnsAtTheDeadlineOrWhenNotified) {
  VideoEncoderAsyncState state;
  IAsyncWaiter& waiter = SystemAsyncWaiter();
  {
    std::unique_lock<std::mutex> lock(state.mu);
    waiter.WaitUntil(state, lock, 0);  // long past
    EXPECT_TRUE(lock.owns_lock());
  }
  std::thread notifier([&] {
    std::lock_guard<std::mutex> lock(state.mu);
    state.have_output = 1;
    state.cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(state.mu);
    const uint64_t far = SystemClock().TickMs() + 600'000;
    while (state.have_output == 0) waiter.WaitUntil(state, lock, far);
    EXPECT_TRUE(lock.owns_lock());
  }
  notifier.join();
}

TEST(EncoderCoreFunctionsTest, WithoutPlatformsNothingOpens) {
  ManualClock clock;
  FakeAsyncWaiter waiter(clock);
  VideoEncoder encoder(nullptr, nullptr, clock, waiter, nullptr);
  EXPECT_FALSE(encoder.Initialize(VideoCodec::kH264, kW, kH, 60, 4000));
  EXPECT_EQ(encoder.GetLastResult().message, "Failed to create hardware or software encoder");
  EXPECT_EQ(encoder.GetRuntimeInfo().fallback_reason, "no_hardware_encoder");
  EXPECT_EQ(encoder.GetMode(), EncoderMode::kSw);
  EXPECT_STREQ(encoder.GetModeName(), "SW");
}

}  // namespace
}  // namespace orvane
