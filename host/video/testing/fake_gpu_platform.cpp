#include "host/video/testing/fake_gpu_platform.h"

#include <algorithm>
#include <cstring>

namespace orvane::testing {

namespace {

bool Failed(HResult hr) { return hr < 0; }

FakeGpuTexture& AsFake(const GpuTexture& texture) {
  return *static_cast<FakeGpuTexture*>(texture.Native());
}

}  // namespace

FakeGpuDevice::FakeGpuDevice(int id, uint64_t luid, std::shared_ptr<int> live)
    : id_(id), luid_(luid), live_(std::move(live)) {
  ++*live_;
}
FakeGpuDevice::~FakeGpuDevice() { --*live_; }

FakeGpuTexture::FakeGpuTexture(int id, GpuTextureKind kind, uint32_t width, uint32_t height,
                               std::shared_ptr<int> live)
    : id_(id), kind_(kind), width_(width), height_(height), live_(std::move(live)) {
  ++*live_;
}
FakeGpuTexture::~FakeGpuTexture() { --*live_; }

std::shared_ptr<FakeGpuTexture> MakeLooseFakeTexture(GpuTextureKind kind, uint32_t width, uint32_t height) {
  return std::make_shared<FakeGpuTexture>(-1, kind, width, height, std::make_shared<int>(0));
}

uint8_t FakeBltLuma(uint32_t row, uint32_t column) { return static_cast<uint8_t>(16 + (row * 7 + column) % 200); }
uint8_t FakeBltChroma(uint32_t row, uint32_t column) {
  return static_cast<uint8_t>(100 + (row * 3 + column * 5) % 100);
}

// ------------------------------------------------------------ FakeGpuVideo

FakeGpuVideo::FakeGpuVideo(std::shared_ptr<FakeGpuVideoScript> script) : script_(std::move(script)) {
  ++script_->videos_open;
}
FakeGpuVideo::~FakeGpuVideo() {
  ReleaseProcessor();
  --script_->videos_open;
}

void FakeGpuVideo::CreateProcessor(uint32_t source_width, uint32_t source_height, uint32_t target_width,
                                   uint32_t target_height, uint32_t fps, HResult* enumerator_hr,
                                   HResult* processor_hr) {
  ReleaseProcessor();
  script_->processors.push_back({source_width, source_height, target_width, target_height, fps});
  *enumerator_hr = script_->enumerator_hr;
  *processor_hr = Failed(script_->enumerator_hr) ? kSOk : script_->processor_hr;
  has_processor_ = !Failed(*enumerator_hr) && !Failed(*processor_hr);
}

void FakeGpuVideo::ReleaseProcessor() {
  if (!has_processor_) return;
  has_processor_ = false;
  ++script_->processor_releases;
}

HResult FakeGpuVideo::CreateTexture(GpuTextureKind kind, uint32_t width, uint32_t height,
                                    std::shared_ptr<GpuTexture>* out) {
  out->reset();
  HResult hr = kSOk;
  auto it = script_->texture_hr.find(kind);
  if (it != script_->texture_hr.end()) hr = it->second;
  if (kind == GpuTextureKind::kNv12Surface && script_->surfaces_before_failure >= 0 &&
      script_->surfaces_made >= script_->surfaces_before_failure) {
    hr = kEOutOfMemory;
  }
  script_->textures.push_back({kind, width, height, hr});
  if (Failed(hr)) return hr;
  if (kind == GpuTextureKind::kNv12Surface) ++script_->surfaces_made;
  auto texture = std::make_shared<FakeGpuTexture>(script_->next_texture_id++, kind, width, height,
                                                  script_->live_textures);
  if (kind == GpuTextureKind::kBgraUpload) {
    texture->row_pitch = width * 4;
    texture->bytes.assign(static_cast<size_t>(width) * height * 4, 0);
  } else {
    texture->row_pitch = width + script_->row_padding;
    // Padding bytes stay 0xEE so a copy that reads them shows.
    texture->bytes.assign(static_cast<size_t>(texture->row_pitch) * (height + height / 2), 0xEE);
  }
  *out = std::move(texture);
  return kSOk;
}

void FakeGpuVideo::Upload(const GpuTexture& texture, const uint8_t* pixels, uint32_t pitch) {
  FakeGpuTexture& t = AsFake(texture);
  script_->uploads.push_back({t.id(), pitch});
  for (uint32_t row = 0; row < t.Height() && !t.bytes.empty(); ++row) {
    std::memcpy(t.bytes.data() + static_cast<size_t>(row) * t.row_pitch, pixels + static_cast<size_t>(row) * pitch,
                static_cast<size_t>(t.Width()) * 4);
  }
}

HResult FakeGpuVideo::Blt(const GpuTexture& source, const GpuTexture& target, const GpuBltRequest& request,
                          GpuBltStep* failed_step) {
  *failed_step = GpuBltStep::kNone;
  FakeGpuTexture& s = AsFake(source);
  FakeGpuTexture& t = AsFake(target);
  if (Failed(script_->input_view_hr)) {
    *failed_step = GpuBltStep::kInputView;
    return script_->input_view_hr;
  }
  if (Failed(script_->output_view_hr)) {
    *failed_step = GpuBltStep::kOutputView;
    return script_->output_view_hr;
  }
  script_->blts.push_back({s.id(), t.id(), request});
  if (Failed(script_->blt_hr)) {
    *failed_step = GpuBltStep::kBlt;
    return script_->blt_hr;
  }
  if (t.kind() != GpuTextureKind::kBgraUpload && !t.bytes.empty()) {
    const size_t pitch = t.row_pitch;
    for (uint32_t row = 0; row < t.Height(); ++row) {
      for (uint32_t col = 0; col < t.Width(); ++col) t.bytes[row * pitch + col] = FakeBltLuma(row, col);
    }
    const size_t chroma = static_cast<size_t>(t.Height()) * pitch;
    for (uint32_t row = 0; row < t.Height() / 2; ++row) {
      for (uint32_t col = 0; col < t.Width(); ++col) t.bytes[chroma + row * pitch + col] = FakeBltChroma(row, col);
    }
  }
  return kSOk;
}

void FakeGpuVideo::CopyResource(const GpuTexture& target, const GpuTexture& source) {
  ++script_->copies;
  FakeGpuTexture& t = AsFake(target);
  const FakeGpuTexture& s = AsFake(source);
  if (t.bytes.size() == s.bytes.size()) t.bytes = s.bytes;
}

GpuMapping FakeGpuVideo::Map(const GpuTexture& texture) {
  ++script_->maps;
  GpuMapping mapping;
  mapping.hr = script_->map_hr;
  if (Failed(mapping.hr)) return mapping;
  FakeGpuTexture& t = AsFake(texture);
  mapping.data = t.bytes.data();
  mapping.row_pitch = t.row_pitch;
  return mapping;
}

void FakeGpuVideo::Unmap(const GpuTexture&) { ++script_->unmaps; }

// --------------------------------------------------------- FakeGpuPlatform

FakeGpuPlatform::FakeGpuPlatform() {
  default_facts.name = "Fake Default GPU";
  default_facts.vendor_id = 0x10DE;
  default_facts.device_id = 0x1234;
  default_facts.subsystem_id = 0x5678;
  default_facts.revision = 0xA1;
  default_facts.luid = 0x100;
}

bool FakeGpuPlatform::EnumerateAdapters(std::vector<GpuAdapterEntry>* out) {
  ++enumerations;
  out->clear();
  if (!factory_ok) return false;
  *out = adapters;
  return true;
}

GpuDeviceResult FakeGpuPlatform::CreateDevice(GpuDriver driver, uint32_t adapter_index) {
  device_calls.push_back({driver, adapter_index, *live_devices});
  FakeDeviceRule rule;
  uint64_t luid = 0;
  GpuDeviceResult result;
  switch (driver) {
    case GpuDriver::kAdapter: {
      auto it = adapter_rules.find(adapter_index);
      if (it != adapter_rules.end()) rule = it->second;
      if (adapter_index < adapters.size()) {
        luid = adapters[adapter_index].facts.luid;
        result.has_facts = adapters[adapter_index].description_ok;
        result.facts = adapters[adapter_index].facts;
      }
      break;
    }
    case GpuDriver::kDefaultHardware:
      rule = default_rule;
      luid = default_facts.luid;
      result.has_facts = default_has_facts;
      if (default_has_facts) result.facts = default_facts;
      break;
    case GpuDriver::kWarp:
      rule = warp_rule;
      luid = 0x1414;
      break;
  }
  result.hr = rule.hr;
  result.feature_level = rule.feature_level;
  // A failing call may still leave a device behind (as some drivers do); the
  // converter must drop it.
  if (rule.with_device) result.device = std::make_shared<FakeGpuDevice>(next_device_id_++, luid, live_devices);
  return result;
}

std::shared_ptr<GpuDevice> FakeGpuPlatform::MakeDevice(uint64_t luid) {
  return std::make_shared<FakeGpuDevice>(next_device_id_++, luid, live_devices);
}

void FakeGpuPlatform::SetMultithreadProtected(GpuDevice& device) {
  ++protect_calls;
  static_cast<FakeGpuDevice&>(device).multithread_protected = true;
}

HResult FakeGpuPlatform::DeviceRemovedReason(GpuDevice&) { return removed_reason; }

std::unique_ptr<IGpuVideo> FakeGpuPlatform::OpenVideo(GpuDevice&, GpuVideoStep* failed_step, HResult* hr) {
  ++open_video_calls;
  *failed_step = GpuVideoStep::kNone;
  *hr = kSOk;
  if (Failed(video_device_hr)) {
    *failed_step = GpuVideoStep::kVideoDevice;
    *hr = video_device_hr;
    return nullptr;
  }
  if (Failed(video_context_hr)) {
    *failed_step = GpuVideoStep::kVideoContext;
    *hr = video_context_hr;
    return nullptr;
  }
  return std::make_unique<FakeGpuVideo>(video);
}

bool FakeGpuPlatform::OnlyPoolHolds(const GpuTexture& texture) { return AsFake(texture).outside_holders == 0; }

GpuAdapterEntry FakeAdapter(const char* name, uint64_t luid, bool software) {
  GpuAdapterEntry entry;
  entry.description_ok = true;
  entry.facts.name = name;
  entry.facts.vendor_id = 0x1002;
  entry.facts.device_id = static_cast<uint32_t>(0x7000 + luid);
  entry.facts.subsystem_id = 0x11;
  entry.facts.revision = 0x2;
  entry.facts.luid = luid;
  entry.facts.software = software;
  return entry;
}

}  // namespace orvane::testing
