#include "host/video/gpu_converter.h"

#include <cstring>
#include <utility>

#include "host/common/logger.h"
#include "host/common/utf.h"
#include "host/video/color_convert.h"

namespace orvane {

namespace {

constexpr int kConversionCode = 7;
// The largest texture side Direct3D 11 guarantees; bigger sizes are refused
// before anything is allocated for them.
constexpr uint32_t kMaxTextureSide = 16384;
constexpr size_t kMaxAdapterNameBytes = 255;
constexpr uint32_t kDefaultFps = 60;

bool Failed(HResult hr) { return hr < 0; }
unsigned long HrLog(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

// At most 255 bytes, cut before a UTF-8 continuation byte; "unknown" when empty.
std::string AdapterName(const std::string& name) {
  const std::string_view prefix = Utf8Prefix(name, kMaxAdapterNameBytes);
  return prefix.empty() ? "unknown" : std::string(prefix);
}

}  // namespace

struct GpuConverter::State {
  State(IGpuPlatform& p, GpuConverterOwner o) : platform(p), owner(std::move(o)) {}

  IGpuPlatform& platform;
  GpuConverterOwner owner;

  std::shared_ptr<GpuDevice> device;
  uint32_t feature_level = 0;
  bool gpu_direct = false;  // working on the encoder's GPU-direct device
  std::unique_ptr<IGpuVideo> video;
  bool processor = false;   // enumerator and processor exist
  std::shared_ptr<GpuTexture> upload;
  std::shared_ptr<GpuTexture> output;
  std::shared_ptr<GpuTexture> readback;
  std::vector<std::shared_ptr<GpuTexture>> pool;
  uint32_t width = 0;  // encoder size
  uint32_t height = 0;
  uint32_t fps = kDefaultFps;
  uint32_t source_width = 0;  // the size the resources were made for
  uint32_t source_height = 0;

  bool Fail(const char* message, HResult hr) {
    if (owner.last_result != nullptr) *owner.last_result = HostResult::Failure(kConversionCode, message, hr);
    return false;
  }
  bool FailCounted(const char* message, HResult hr) {
    Fail(message, hr);
    if (owner.count_failure) owner.count_failure(hr);
    return false;
  }
  void Succeed() {
    if (owner.last_result != nullptr) *owner.last_result = HostResult::Success();
  }

  // What the encoder's transform may still read is not free: the pool's (or
  // the converter's) own reference must be the only one, on both sides.
  bool OnlyPoolHolds(const std::shared_ptr<GpuTexture>& texture) {
    return texture && texture.use_count() == 1 && platform.OnlyPoolHolds(*texture);
  }

  void ReleaseConversionResources() {
    upload.reset();
    output.reset();
    readback.reset();
    if (video) video->ReleaseProcessor();
    processor = false;
  }

  void ReleaseAll() {
    pool.clear();
    ReleaseConversionResources();
    video.reset();
    device.reset();
    feature_level = 0;
    gpu_direct = false;
    source_width = 0;
    source_height = 0;
  }

  void Record(const GpuAdapterFacts& facts, const std::string& name, uint32_t level) {
    EncoderRuntimeInfo* info = owner.info;
    if (info == nullptr) return;
    info->adapter_name = name;
    info->vendor_id = facts.vendor_id;
    info->device_id = facts.device_id;
    info->subsystem_id = facts.subsystem_id;
    info->revision = facts.revision;
    info->adapter_luid = facts.luid;
    info->feature_level = level;
  }
};

GpuConverter::GpuConverter(IGpuPlatform& platform, GpuConverterOwner owner)
    : state_(std::make_unique<State>(platform, std::move(owner))) {}

GpuConverter::~GpuConverter() { state_->ReleaseAll(); }

bool GpuConverter::CreateDeviceOnAdapter(const char* label, uint64_t luid, bool allow_warp, GpuDeviceResult* out) {
  State& s = *state_;
  if (label == nullptr) label = "";
  GpuDeviceResult result;
  // Each attempt drops whatever the one before left, made or not.
  auto attempt = [&](GpuDriver driver, uint32_t index) {
    result = GpuDeviceResult{};
    result = s.platform.CreateDevice(driver, index);
    if (s.owner.info != nullptr) s.owner.info->d3d_hr = result.hr;
    if (Failed(result.hr) || !result.device) {
      result.device.reset();
      return false;
    }
    return true;
  };
  auto finish = [&](const GpuAdapterFacts& facts, const std::string& name) {
    result.facts = facts;
    result.facts.name = name;
    s.Record(facts, name, result.feature_level);
    if (out != nullptr) *out = std::move(result);
    return true;
  };

  std::vector<GpuAdapterEntry> adapters;
  if (luid != 0) {
    bool made = false;
    if (s.platform.EnumerateAdapters(&adapters)) {
      for (size_t i = 0; i < adapters.size(); ++i) {
        if (!adapters[i].description_ok || adapters[i].facts.luid != luid) continue;
        made = attempt(GpuDriver::kAdapter, static_cast<uint32_t>(i));
        if (made) {
          const std::string name = AdapterName(adapters[i].facts.name);
          LogInfo("[Encoder] %s D3D11 device created on encoder adapter name=%s feature=0x%X", label, name.c_str(),
                  result.feature_level);
          return finish(adapters[i].facts, name);
        }
        break;
      }
    }
    LogWarn("[Encoder] %s could not create a device on adapter luid=0x%016llX; using default adapter", label,
            static_cast<unsigned long long>(luid));
  }

  if (attempt(GpuDriver::kDefaultHardware, 0)) {
    GpuAdapterFacts facts;
    if (result.has_facts) {
      facts = result.facts;
    } else {
      facts.luid = result.device->AdapterLuid();
    }
    const std::string name = AdapterName(facts.name);
    LogInfo("[Encoder] %s D3D11 device created via default adapter name=%s feature=0x%X", label, name.c_str(),
            result.feature_level);
    return finish(facts, name);
  }

  if (s.platform.EnumerateAdapters(&adapters)) {
    for (size_t i = 0; i < adapters.size(); ++i) {
      if (!adapters[i].description_ok || adapters[i].facts.software) continue;
      if (!attempt(GpuDriver::kAdapter, static_cast<uint32_t>(i))) continue;
      const std::string name = AdapterName(adapters[i].facts.name);
      LogInfo("[Encoder] %s D3D11 device created via enumerated adapter[%u]=%s feature=0x%X", label,
              static_cast<unsigned>(i), name.c_str(), result.feature_level);
      return finish(adapters[i].facts, name);
    }
  }

  if (allow_warp && attempt(GpuDriver::kWarp, 0)) {
    GpuAdapterFacts facts;
    if (result.has_facts) facts = result.facts;
    LogWarn("[Encoder] %s fell back to WARP device feature=0x%X", label, result.feature_level);
    return finish(facts, "WARP");
  }

  LogWarn("[Encoder] %s D3D11 device creation failed hr=0x%08lX", label, HrLog(result.hr));
  return false;
}

bool GpuConverter::OpenConverter(uint32_t width, uint32_t height, uint32_t fps,
                                 std::shared_ptr<GpuDevice> shared_device, uint32_t shared_feature_level) {
  State& s = *state_;
  s.ReleaseAll();
  s.width = width;
  s.height = height;
  s.fps = fps != 0 ? fps : kDefaultFps;

  if (shared_device) {
    s.device = std::move(shared_device);
    s.feature_level = shared_feature_level;
    s.gpu_direct = true;
  } else {
    GpuDeviceResult made;
    if (!CreateDeviceOnAdapter("ColorConverter", 0, true, &made)) {
      const HResult hr = s.owner.info != nullptr ? s.owner.info->d3d_hr : made.hr;
      return s.Fail("Failed to create D3D11 device for BGRA->NV12 conversion", hr);
    }
    s.device = std::move(made.device);
    s.feature_level = made.feature_level;
  }

  GpuVideoStep step = GpuVideoStep::kNone;
  HResult hr = kSOk;
  s.video = s.platform.OpenVideo(*s.device, &step, &hr);
  if (!s.video) {
    if (!Failed(hr)) hr = kEFail;
    return s.Fail(step == GpuVideoStep::kVideoContext ? "Failed to query ID3D11VideoContext"
                                                      : "Failed to query ID3D11VideoDevice",
                  hr);
  }
  if (!EnsureConversionResources(width, height)) return false;
  LogInfo("[Encoder] GPU BGRA->NV12 video processor initialized (feature_level=0x%X)", s.feature_level);
  s.Succeed();
  return true;
}

bool GpuConverter::EnsureConversionResources(uint32_t source_width, uint32_t source_height) {
  State& s = *state_;
  if (source_width == 0 || source_height == 0 || s.width == 0 || s.height == 0 || !s.device || !s.video ||
      source_width > kMaxTextureSide || source_height > kMaxTextureSide || s.width > kMaxTextureSide ||
      s.height > kMaxTextureSide) {
    return s.Fail("Invalid dimensions or device for color conversion", kEFail);
  }
  if (s.upload && s.output && (s.readback || s.gpu_direct) && s.processor && source_width == s.source_width &&
      source_height == s.source_height) {
    s.Succeed();
    return true;
  }

  s.ReleaseConversionResources();
  s.source_width = source_width;
  s.source_height = source_height;

  HResult enumerator_hr = kSOk;
  HResult processor_hr = kSOk;
  s.video->CreateProcessor(source_width, source_height, s.width, s.height, s.fps, &enumerator_hr, &processor_hr);
  if (Failed(enumerator_hr)) return s.Fail("Failed to create video processor enumerator", enumerator_hr);
  if (Failed(processor_hr)) return s.Fail("Failed to create D3D11 video processor", processor_hr);
  s.processor = true;

  auto make = [&](GpuTextureKind kind, uint32_t w, uint32_t h, std::shared_ptr<GpuTexture>* texture,
                  const char* message) {
    HResult hr = s.video->CreateTexture(kind, w, h, texture);
    if (!Failed(hr) && *texture) return true;
    texture->reset();
    return s.Fail(message, Failed(hr) ? hr : kEFail);
  };
  if (!make(GpuTextureKind::kBgraUpload, source_width, source_height, &s.upload,
            "Failed to create BGRA upload texture for color conversion")) {
    return false;
  }
  if (!make(GpuTextureKind::kNv12Output, s.width, s.height, &s.output,
            "Failed to create NV12 output texture for color conversion")) {
    return false;
  }
  if (!s.gpu_direct && !make(GpuTextureKind::kNv12Readback, s.width, s.height, &s.readback,
                             "Failed to create NV12 readback texture for color conversion")) {
    return false;
  }
  s.Succeed();
  return true;
}

bool GpuConverter::BlitToNv12(const GpuTexture& source, uint32_t source_width, uint32_t source_height,
                              const GpuTexture& target) {
  State& s = *state_;
  if (!s.video || !s.processor) return s.Fail("GPU color converter is not initialized", kEFail);
  if (source_width == 0 || source_height == 0 || source_width > source.Width() ||
      source_height > source.Height() || target.Width() < s.width || target.Height() < s.height) {
    return s.Fail("Invalid dimensions or device for color conversion", kEFail);
  }
  const FitRectResult fit = FitRect(source_width, source_height, s.width, s.height);
  GpuBltRequest request;
  request.source = GpuRect{0, 0, source_width, source_height};
  request.destination = GpuRect{fit.x, fit.y, fit.x + fit.w, fit.y + fit.h};
  // The CPU path writes BT.709 studio range; the GPU must match it, or a
  // stream that falls back frame by frame shifts colour.
  request.stream_color_space = GpuColorSpace::kRgbFullRange;
  request.output_color_space = GpuColorSpace::kYcbcrBt709Studio;

  GpuBltStep step = GpuBltStep::kNone;
  const HResult hr = s.video->Blt(source, target, request, &step);
  if (!Failed(hr) && step == GpuBltStep::kNone) return true;
  const HResult failure = Failed(hr) ? hr : kEFail;
  switch (step) {
    case GpuBltStep::kInputView:
      return s.FailCounted("Failed to create video processor input view", failure);
    case GpuBltStep::kOutputView:
      return s.FailCounted("Failed to create video processor output view", failure);
    case GpuBltStep::kNone:
    case GpuBltStep::kBlt:
      break;
  }
  return s.FailCounted("VideoProcessorBlt failed for NV12 conversion", failure);
}

bool GpuConverter::ConvertOnGpuWithReadback(const uint8_t* pixels, uint32_t pitch, uint32_t source_width,
                                            uint32_t source_height, std::vector<uint8_t>* staging) {
  State& s = *state_;
  if (!s.video || !s.processor || !s.device) return s.Fail("GPU color converter is not initialized", kEFail);
  if (s.gpu_direct) {
    // GPU-direct encoding has no read-back texture: the encoder takes NV12
    // surfaces instead.
    return s.Fail("NV12 readback is unavailable with GPU-direct encoding", kEFail);
  }
  if (pixels == nullptr || staging == nullptr ||
      static_cast<uint64_t>(pitch) < static_cast<uint64_t>(source_width) * 4) {
    return s.Fail("Invalid BGRA frame for color conversion", kEInvalidArg);
  }
  if (!EnsureConversionResources(source_width, source_height)) return false;
  s.video->Upload(*s.upload, pixels, pitch);
  if (!BlitToNv12(*s.upload, source_width, source_height, *s.output)) return false;

  s.video->CopyResource(*s.readback, *s.output);
  const GpuMapping mapped = s.video->Map(*s.readback);
  if (Failed(mapped.hr) || mapped.data == nullptr || mapped.row_pitch < s.width) {
    if (!Failed(mapped.hr)) s.video->Unmap(*s.readback);
    return s.Fail("Failed to map NV12 readback texture", Failed(mapped.hr) ? mapped.hr : kEFail);
  }
  const size_t w = s.width;
  const size_t h = s.height;
  const size_t row_pitch = mapped.row_pitch;
  staging->resize(w * h * 3 / 2);
  uint8_t* dst = staging->data();
  for (size_t row = 0; row < h; ++row) std::memcpy(dst + row * w, mapped.data + row * row_pitch, w);
  if (h > 1) {
    const uint8_t* chroma = mapped.data + h * row_pitch;
    for (size_t row = 0; row < h / 2; ++row) std::memcpy(dst + w * h + row * w, chroma + row * row_pitch, w);
  }
  s.video->Unmap(*s.readback);
  s.Succeed();
  return true;
}

std::shared_ptr<GpuTexture> GpuConverter::AcquireNv12Surface() {
  State& s = *state_;
  for (const std::shared_ptr<GpuTexture>& surface : s.pool) {
    if (s.OnlyPoolHolds(surface)) return surface;
  }
  if (s.video && s.pool.size() < kNv12SurfacePoolSize) {
    std::shared_ptr<GpuTexture> surface;
    HResult hr = s.video->CreateTexture(GpuTextureKind::kNv12Surface, s.width, s.height, &surface);
    if (!Failed(hr) && surface) {
      s.pool.push_back(surface);
      return surface;
    }
    LogWarn("[Encoder] Failed to create NV12 input surface: 0x%08lX", HrLog(Failed(hr) ? hr : kEFail));
    return s.OnlyPoolHolds(s.output) ? s.output : nullptr;
  }
  // Every surface is in the transform's hands: none rather than one it may
  // still read.
  if (s.pool.empty() && s.OnlyPoolHolds(s.output)) return s.output;
  return nullptr;
}

bool GpuConverter::UploadBgra(const uint8_t* pixels, uint32_t pitch, uint32_t source_width,
                              uint32_t source_height) {
  State& s = *state_;
  if (pixels == nullptr || static_cast<uint64_t>(pitch) < static_cast<uint64_t>(source_width) * 4) {
    return s.Fail("Invalid BGRA frame for color conversion", kEInvalidArg);
  }
  if (!EnsureConversionResources(source_width, source_height)) return false;
  s.video->Upload(*s.upload, pixels, pitch);
  return true;
}

std::shared_ptr<GpuTexture> GpuConverter::UploadTexture() const { return state_->upload; }

bool GpuConverter::Ready() const { return state_->video && state_->processor; }

std::shared_ptr<GpuDevice> GpuConverter::Device() const { return state_->device; }

uint32_t GpuConverter::FeatureLevel() const { return state_->feature_level; }

std::shared_ptr<GpuTexture> GpuConverter::OutputTexture() const { return state_->output; }

size_t GpuConverter::PoolSize() const { return state_->pool.size(); }

void GpuConverter::SetFrameRate(uint32_t fps) { state_->fps = fps != 0 ? fps : kDefaultFps; }

void GpuConverter::Release() {
  state_->ReleaseAll();
  state_->width = 0;
  state_->height = 0;
}

}  // namespace orvane
