#pragma once
// The encoder's GPU side: the Direct3D 11 device ladder, the video processor
// that turns BGRA into NV12 (scaled into the encoder size with black bars),
// the read-back into the NV12 staging buffer, and the pool of NV12 surfaces
// for GPU-direct encoding.
//
// GpuConverter holds every decision; IGpuPlatform is the mechanical seam
// (gpu_converter_win.cpp over DXGI/D3D11; tests use fakes). Everything runs
// under the owning encoder's mutex and reports through the encoder's last
// result (code 7), its runtime facts and its failure accounting.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/common/host_result.h"
#include "host/video/gpu_device.h"
#include "host/video/video_encoder.h"

namespace orvane {

inline constexpr uint32_t kDxgiFormatBgra = 87;  // DXGI_FORMAT_B8G8R8A8_UNORM
inline constexpr uint32_t kDxgiFormatNv12 = 103;  // DXGI_FORMAT_NV12
inline constexpr size_t kNv12SurfacePoolSize = 8;

struct GpuAdapterFacts {
  std::string name;  // UTF-8 of the description (at most 255 bytes); empty when not convertible
  uint32_t vendor_id = 0;
  uint32_t device_id = 0;
  uint32_t subsystem_id = 0;
  uint32_t revision = 0;
  uint64_t luid = 0;
  bool software = false;  // DXGI_ADAPTER_FLAG_SOFTWARE
};

// One EnumAdapters1 entry; description_ok false when GetDesc1 failed.
struct GpuAdapterEntry {
  bool description_ok = false;
  GpuAdapterFacts facts;
};

enum class GpuDriver : uint32_t {
  kAdapter,          // an enumerated adapter, D3D_DRIVER_TYPE_UNKNOWN
  kDefaultHardware,  // null adapter, D3D_DRIVER_TYPE_HARDWARE
  kWarp,             // null adapter, D3D_DRIVER_TYPE_WARP (BGRA support only)
};

struct GpuDeviceResult {
  HResult hr = kSOk;                   // D3D11CreateDevice
  std::shared_ptr<GpuDevice> device;   // null unless the call succeeded with device and context
  uint32_t feature_level = 0;
  bool has_facts = false;              // the adapter's description could be read
  GpuAdapterFacts facts;
};

// Textures the converter makes (all MipLevels 1, ArraySize 1, no MSAA).
enum class GpuTextureKind : uint32_t {
  kBgraUpload,    // BGRA, DEFAULT, shader resource | render target
  kNv12Output,    // NV12, DEFAULT, shader resource | render target
  kNv12Readback,  // NV12, STAGING, CPU read
  kNv12Surface,   // NV12, DEFAULT, shader resource | render target (pool)
};

struct GpuRect {
  uint32_t left = 0;
  uint32_t top = 0;
  uint32_t right = 0;
  uint32_t bottom = 0;
  friend bool operator==(const GpuRect&, const GpuRect&) = default;
};

// The colour spaces the video processor is told about.
enum class GpuColorSpace : uint32_t {
  kUnset,                // nothing set: the driver's default (BT.601 on most)
  kRgbFullRange,         // RGB 0-255
  kYcbcrBt709Studio,     // YCbCr BT.709, 16-235
};

// One VideoProcessorBlt: background opaque black, progressive, source rect,
// destination rect, the whole target, and the colour spaces of stream 0 and
// of the output.
struct GpuBltRequest {
  GpuRect source;
  GpuRect destination;
  GpuColorSpace stream_color_space = GpuColorSpace::kUnset;
  GpuColorSpace output_color_space = GpuColorSpace::kUnset;
};

enum class GpuBltStep : uint32_t { kNone, kInputView, kOutputView, kBlt };

struct GpuMapping {
  HResult hr = kSOk;
  const uint8_t* data = nullptr;
  uint32_t row_pitch = 0;
};

// The video processing objects of one device (ID3D11VideoDevice/Context,
// enumerator, processor, textures). Destroying it releases them.
class IGpuVideo {
 public:
  virtual ~IGpuVideo() = default;
  // CreateVideoProcessorEnumerator (progressive, both rates fps/1, the
  // sizes, PLAYBACK_NORMAL) into *enumerator_hr, then CreateVideoProcessor
  // (index 0) into *processor_hr; replaces any earlier pair.
  virtual void CreateProcessor(uint32_t source_width, uint32_t source_height, uint32_t target_width,
                               uint32_t target_height, uint32_t fps, HResult* enumerator_hr,
                               HResult* processor_hr) = 0;
  virtual void ReleaseProcessor() = 0;
  virtual HResult CreateTexture(GpuTextureKind kind, uint32_t width, uint32_t height,
                                std::shared_ptr<GpuTexture>* out) = 0;
  // UpdateSubresource of the whole texture from `pixels` with `pitch`.
  virtual void Upload(const GpuTexture& texture, const uint8_t* pixels, uint32_t pitch) = 0;
  // The views and the blit; the views are released in every case.
  virtual HResult Blt(const GpuTexture& source, const GpuTexture& target, const GpuBltRequest& request,
                      GpuBltStep* failed_step) = 0;
  virtual void CopyResource(const GpuTexture& target, const GpuTexture& source) = 0;
  virtual GpuMapping Map(const GpuTexture& texture) = 0;  // D3D11_MAP_READ
  virtual void Unmap(const GpuTexture& texture) = 0;
};

enum class GpuVideoStep : uint32_t { kNone, kVideoDevice, kVideoContext };

class IGpuPlatform {
 public:
  virtual ~IGpuPlatform() = default;
  // CreateDXGIFactory1 and EnumAdapters1 from 0 until DXGI_ERROR_NOT_FOUND;
  // false when the factory could not be made.
  virtual bool EnumerateAdapters(std::vector<GpuAdapterEntry>* out) = 0;
  // D3D11CreateDevice with feature levels 11_1, 11_0, 10_1, 10_0; flags
  // BGRA | VIDEO support (0x820), BGRA only (0x20) for WARP.
  // `adapter_index` is the EnumAdapters1 index for kAdapter.
  virtual GpuDeviceResult CreateDevice(GpuDriver driver, uint32_t adapter_index) = 0;
  // ID3D10Multithread::SetMultithreadProtected(TRUE) when available.
  virtual void SetMultithreadProtected(GpuDevice& device) = 0;
  // GetDeviceRemovedReason.
  virtual HResult DeviceRemovedReason(GpuDevice& device) = 0;
  // Queries ID3D11VideoDevice and ID3D11VideoContext; null with the failing
  // step and hr.
  virtual std::unique_ptr<IGpuVideo> OpenVideo(GpuDevice& device, GpuVideoStep* failed_step, HResult* hr) = 0;
  // True when nobody but the pool holds the texture (an AddRef/Release
  // that gives 1).
  virtual bool OnlyPoolHolds(const GpuTexture& texture) = 0;
};

// The build's platform: DXGI/Direct3D 11 on Windows; on Linux one without
// adapters whose device creation always fails (the CPU converts there).
std::unique_ptr<IGpuPlatform> MakePlatformGpuPlatform();

// A platform without a GPU (the Linux build, or an encoder given none): no
// adapters, every device creation fails with DXGI_ERROR_UNSUPPORTED, so the
// converter never opens and frames are converted on the CPU.
class UnavailableGpuPlatform final : public IGpuPlatform {
 public:
  static constexpr HResult kUnsupported = static_cast<HResult>(0x887A0004u);
  bool EnumerateAdapters(std::vector<GpuAdapterEntry>* out) override {
    out->clear();
    return true;
  }
  GpuDeviceResult CreateDevice(GpuDriver, uint32_t) override {
    GpuDeviceResult result;
    result.hr = kUnsupported;
    return result;
  }
  void SetMultithreadProtected(GpuDevice&) override {}
  HResult DeviceRemovedReason(GpuDevice&) override { return kSOk; }
  std::unique_ptr<IGpuVideo> OpenVideo(GpuDevice&, GpuVideoStep* failed_step, HResult* hr) override {
    *failed_step = GpuVideoStep::kVideoDevice;
    *hr = kUnsupported;
    return nullptr;
  }
  bool OnlyPoolHolds(const GpuTexture&) override { return false; }
};

// What the converter writes back into its encoder.
struct GpuConverterOwner {
  EncoderRuntimeInfo* info = nullptr;     // adapter facts, feature level, d3d_hr
  HostResult* last_result = nullptr;      // code 7 failures
  std::function<void(HResult)> count_failure;  // the encoder's failure accounting
};

class GpuConverter {
 public:
  GpuConverter(IGpuPlatform& platform, GpuConverterOwner owner);
  ~GpuConverter();
  GpuConverter(const GpuConverter&) = delete;
  GpuConverter& operator=(const GpuConverter&) = delete;

  // "GPU-direct" on the transform's adapter without WARP, "ColorConverter"
  // on none with WARP: by LUID, the default adapter, the enumerated
  // hardware adapters, WARP.
  bool CreateDeviceOnAdapter(const char* label, uint64_t luid, bool allow_warp, GpuDeviceResult* out);

  // The encoder's size and frame rate; with `shared_device` (GPU-direct on)
  // the converter works on that device, else on a device of its own.
  bool OpenConverter(uint32_t width, uint32_t height, uint32_t fps, std::shared_ptr<GpuDevice> shared_device,
                     uint32_t shared_feature_level);
  bool EnsureConversionResources(uint32_t source_width, uint32_t source_height);
  bool BlitToNv12(const GpuTexture& source, uint32_t source_width, uint32_t source_height,
                  const GpuTexture& target);
  // NV12 of the BGRA pixels into `staging` (encoder width x height x 3 / 2
  // bytes, Y rows then interleaved chroma rows, stride = width). False (and
  // `staging` untouched) when the resources, the blit or the map fail, and
  // with GPU-direct on (no read-back texture then).
  bool ConvertOnGpuWithReadback(const uint8_t* pixels, uint32_t pitch, uint32_t source_width,
                                uint32_t source_height, std::vector<uint8_t>* staging);
  // A pool surface that only the pool holds (no other shared_ptr and no
  // other platform reference), a new one while fewer than 8 exist, the NV12
  // output texture when a creation failed and it is free, else null: never
  // one the encoder's transform may still read.
  std::shared_ptr<GpuTexture> AcquireNv12Surface();

  // GPU-direct encoding: upload BGRA pixels into the upload texture.
  bool UploadBgra(const uint8_t* pixels, uint32_t pitch, uint32_t source_width, uint32_t source_height);
  std::shared_ptr<GpuTexture> UploadTexture() const;

  // The converter's objects exist (video device/context, enumerator, processor).
  bool Ready() const;
  // The converter's device (shared or its own) and its feature level; null / 0
  // before OpenConverter made or shared one.
  std::shared_ptr<GpuDevice> Device() const;
  uint32_t FeatureLevel() const;
  // The shared NV12 output texture (encoder size), or null.
  std::shared_ptr<GpuTexture> OutputTexture() const;
  size_t PoolSize() const;
  void SetFrameRate(uint32_t fps);
  // Releases every converter object and the pool; the source size becomes 0 x 0.
  void Release();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace orvane
