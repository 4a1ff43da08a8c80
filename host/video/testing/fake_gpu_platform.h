#pragma once
// A scripted GPU platform for the converter's and the encoder's tests:
// adapters, per-call results, textures with a count of outside holders (the
// encoder's transform keeping a surface) and a record of every call.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "host/video/gpu_converter.h"

namespace orvane::testing {

class FakeGpuDevice final : public GpuDevice {
 public:
  FakeGpuDevice(int id, uint64_t luid, std::shared_ptr<int> live);
  ~FakeGpuDevice() override;
  uint64_t AdapterLuid() const override { return luid_; }
  void* Native() const override { return const_cast<FakeGpuDevice*>(this); }
  int id() const { return id_; }
  bool multithread_protected = false;

 private:
  int id_;
  uint64_t luid_;
  std::shared_ptr<int> live_;
};

class FakeGpuTexture final : public GpuTexture {
 public:
  FakeGpuTexture(int id, GpuTextureKind kind, uint32_t width, uint32_t height, std::shared_ptr<int> live);
  ~FakeGpuTexture() override;
  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  uint32_t Format() const override { return kind_ == GpuTextureKind::kBgraUpload ? kDxgiFormatBgra : kDxgiFormatNv12; }
  void* Native() const override { return const_cast<FakeGpuTexture*>(this); }
  int id() const { return id_; }
  GpuTextureKind kind() const { return kind_; }

  // References held outside the converter (a sample the transform keeps);
  // OnlyPoolHolds is true only at 0.
  int outside_holders = 0;
  // The texture's bytes: BGRA rows of width x 4, or NV12 with row_pitch
  // (Y rows, then the chroma rows at height x row_pitch).
  std::vector<uint8_t> bytes;
  uint32_t row_pitch = 0;

 private:
  int id_;
  GpuTextureKind kind_;
  uint32_t width_;
  uint32_t height_;
  std::shared_ptr<int> live_;
};

// A texture that no fake made (the encoder's BGRA source in blit tests).
std::shared_ptr<FakeGpuTexture> MakeLooseFakeTexture(GpuTextureKind kind, uint32_t width, uint32_t height);

// The video processing side: what it answers and what it saw. Shared by the
// platform and every FakeGpuVideo it opened, so a test may script it at any
// time.
struct FakeGpuVideoScript {
  HResult enumerator_hr = kSOk;
  HResult processor_hr = kSOk;
  std::map<GpuTextureKind, HResult> texture_hr;  // missing: success
  // Fail the creation of NV12 pool surfaces after this many (-1: never).
  int surfaces_before_failure = -1;
  HResult input_view_hr = kSOk;
  HResult output_view_hr = kSOk;
  HResult blt_hr = kSOk;
  HResult map_hr = kSOk;
  // Bytes the read-back texture's rows carry beyond the width.
  uint32_t row_padding = 16;

  struct ProcessorCall {
    uint32_t source_width, source_height, target_width, target_height, fps;
  };
  struct TextureCall {
    GpuTextureKind kind;
    uint32_t width, height;
    HResult hr;
  };
  struct BltCall {
    int source_id, target_id;
    GpuBltRequest request;
  };
  struct UploadCall {
    int texture_id;
    uint32_t pitch;
  };
  std::vector<ProcessorCall> processors;
  std::vector<TextureCall> textures;
  std::vector<BltCall> blts;
  std::vector<UploadCall> uploads;
  int copies = 0;
  int maps = 0;
  int unmaps = 0;
  int processor_releases = 0;
  int videos_open = 0;
  int surfaces_made = 0;
  std::shared_ptr<int> live_textures = std::make_shared<int>(0);
  int next_texture_id = 1;
};

class FakeGpuVideo final : public IGpuVideo {
 public:
  explicit FakeGpuVideo(std::shared_ptr<FakeGpuVideoScript> script);
  ~FakeGpuVideo() override;
  void CreateProcessor(uint32_t source_width, uint32_t source_height, uint32_t target_width, uint32_t target_height,
                       uint32_t fps, HResult* enumerator_hr, HResult* processor_hr) override;
  void ReleaseProcessor() override;
  HResult CreateTexture(GpuTextureKind kind, uint32_t width, uint32_t height,
                        std::shared_ptr<GpuTexture>* out) override;
  void Upload(const GpuTexture& texture, const uint8_t* pixels, uint32_t pitch) override;
  HResult Blt(const GpuTexture& source, const GpuTexture& target, const GpuBltRequest& request,
              GpuBltStep* failed_step) override;
  void CopyResource(const GpuTexture& target, const GpuTexture& source) override;
  GpuMapping Map(const GpuTexture& texture) override;
  void Unmap(const GpuTexture& texture) override;

 private:
  std::shared_ptr<FakeGpuVideoScript> script_;
  bool has_processor_ = false;
};

// The NV12 bytes the fake's blit writes at (row, column) of the Y plane and
// of the chroma plane (column counts bytes, pairs included).
uint8_t FakeBltLuma(uint32_t row, uint32_t column);
uint8_t FakeBltChroma(uint32_t row, uint32_t column);

struct FakeDeviceRule {
  HResult hr = kSOk;
  bool with_device = true;  // false: the call "succeeds" without a device
  uint32_t feature_level = 0xB100;
};

class FakeGpuPlatform final : public IGpuPlatform {
 public:
  FakeGpuPlatform();

  // EnumerateAdapters' answer.
  bool factory_ok = true;
  std::vector<GpuAdapterEntry> adapters;
  // CreateDevice: enumerated adapters by index (missing: success), the
  // default adapter (with the facts it reports), WARP.
  std::map<uint32_t, FakeDeviceRule> adapter_rules;
  FakeDeviceRule default_rule;
  bool default_has_facts = true;
  GpuAdapterFacts default_facts;
  FakeDeviceRule warp_rule;
  // OpenVideo.
  HResult video_device_hr = kSOk;
  HResult video_context_hr = kSOk;
  HResult removed_reason = kSOk;
  std::shared_ptr<FakeGpuVideoScript> video = std::make_shared<FakeGpuVideoScript>();

  struct DeviceCall {
    GpuDriver driver;
    uint32_t adapter_index;
    int live_devices;  // fake devices alive when the call came
  };
  std::vector<DeviceCall> device_calls;
  int enumerations = 0;
  int open_video_calls = 0;
  int protect_calls = 0;
  std::shared_ptr<int> live_devices = std::make_shared<int>(0);

  bool EnumerateAdapters(std::vector<GpuAdapterEntry>* out) override;
  GpuDeviceResult CreateDevice(GpuDriver driver, uint32_t adapter_index) override;
  void SetMultithreadProtected(GpuDevice& device) override;
  HResult DeviceRemovedReason(GpuDevice& device) override;
  std::unique_ptr<IGpuVideo> OpenVideo(GpuDevice& device, GpuVideoStep* failed_step, HResult* hr) override;
  bool OnlyPoolHolds(const GpuTexture& texture) override;

  // A device the fake made (for sharing with OpenConverter).
  std::shared_ptr<GpuDevice> MakeDevice(uint64_t luid);

 private:
  int next_device_id_ = 1;
};

// An adapter entry with readable facts.
GpuAdapterEntry FakeAdapter(const char* name, uint64_t luid, bool software = false);

}  // namespace orvane::testing
