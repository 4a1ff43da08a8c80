// The converter's platform on Windows: DXGI adapters, Direct3D 11 devices and
// the D3D11 video processor. Mechanical: every decision is in
// gpu_converter.cpp.

#include <windows.h>

#include <d3d11_1.h>
#include <dxgi1_2.h>

#include <cwchar>

#include "host/common/logger.h"
#include "host/common/win_text.h"
#include "host/video/d3d11_util_win.h"
#include "host/video/gpu_converter.h"

namespace orvane {

namespace {

// More adapters than any machine has; the enumeration stops there.
constexpr UINT kMaxAdapters = 64;
constexpr UINT kBindShaderRender = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;  // 0x28

GpuAdapterFacts FactsOf(const DXGI_ADAPTER_DESC1& desc) {
  GpuAdapterFacts facts;
  facts.name = FromWide(std::wstring_view(desc.Description, wcsnlen(desc.Description, ARRAYSIZE(desc.Description))));
  facts.vendor_id = desc.VendorId;
  facts.device_id = desc.DeviceId;
  facts.subsystem_id = desc.SubSysId;
  facts.revision = desc.Revision;
  facts.luid = AdapterLuidValue(desc.AdapterLuid);
  facts.software = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
  return facts;
}

ID3D11Texture2D* TextureOf(const GpuTexture& texture) { return static_cast<ID3D11Texture2D*>(texture.Native()); }

// Enters the device's multithread lock for the scope (the encoder's
// transform uses the same immediate context from its own threads).
class MultithreadScope {
 public:
  explicit MultithreadScope(ID3D10Multithread* mt) : mt_(mt) {
    if (mt_ != nullptr) mt_->Enter();
  }
  ~MultithreadScope() {
    if (mt_ != nullptr) mt_->Leave();
  }
  MultithreadScope(const MultithreadScope&) = delete;
  MultithreadScope& operator=(const MultithreadScope&) = delete;

 private:
  ID3D10Multithread* mt_;
};

DXGI_COLOR_SPACE_TYPE DxgiColorSpace(GpuColorSpace space) {
  return space == GpuColorSpace::kRgbFullRange ? DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709
                                               : DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P709;
}

D3D11_VIDEO_PROCESSOR_COLOR_SPACE LegacyColorSpace(GpuColorSpace space) {
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE cs = {};
  cs.Usage = 0;  // playback
  if (space == GpuColorSpace::kRgbFullRange) {
    cs.RGB_Range = 0;  // 0-255
    cs.YCbCr_Matrix = 1;
    cs.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_0_255;
  } else {
    cs.RGB_Range = 1;     // 16-235
    cs.YCbCr_Matrix = 1;  // BT.709
    cs.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235;
  }
  return cs;
}

class D3D11GpuVideo final : public IGpuVideo {
 public:
  D3D11GpuVideo(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context, ComPtr<ID3D11VideoDevice> video,
                ComPtr<ID3D11VideoContext> video_context, ComPtr<ID3D11VideoContext1> video_context1,
                ComPtr<ID3D10Multithread> multithread)
      : device_(std::move(device)),
        context_(std::move(context)),
        video_(std::move(video)),
        video_context_(std::move(video_context)),
        video_context1_(std::move(video_context1)),
        multithread_(std::move(multithread)) {}

  void CreateProcessor(uint32_t source_width, uint32_t source_height, uint32_t target_width, uint32_t target_height,
                       uint32_t fps, HResult* enumerator_hr, HResult* processor_hr) override {
    ReleaseProcessor();
    D3D11_VIDEO_PROCESSOR_CONTENT_DESC desc = {};
    desc.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
    desc.InputFrameRate = DXGI_RATIONAL{fps, 1};
    desc.InputWidth = source_width;
    desc.InputHeight = source_height;
    desc.OutputFrameRate = DXGI_RATIONAL{fps, 1};
    desc.OutputWidth = target_width;
    desc.OutputHeight = target_height;
    desc.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
    *processor_hr = S_OK;
    *enumerator_hr = video_->CreateVideoProcessorEnumerator(&desc, enumerator_.GetAddressOf());
    if (FAILED(*enumerator_hr) || !enumerator_) {
      if (SUCCEEDED(*enumerator_hr)) *enumerator_hr = E_FAIL;
      enumerator_.Reset();
      return;
    }
    *processor_hr = video_->CreateVideoProcessor(enumerator_.Get(), 0, processor_.GetAddressOf());
    if (FAILED(*processor_hr) || !processor_) {
      if (SUCCEEDED(*processor_hr)) *processor_hr = E_FAIL;
      ReleaseProcessor();
    }
  }

  void ReleaseProcessor() override {
    processor_.Reset();
    enumerator_.Reset();
  }

  HResult CreateTexture(GpuTextureKind kind, uint32_t width, uint32_t height,
                        std::shared_ptr<GpuTexture>* out) override {
    out->reset();
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.MiscFlags = 0;
    desc.Format = kind == GpuTextureKind::kBgraUpload ? DXGI_FORMAT_B8G8R8A8_UNORM : DXGI_FORMAT_NV12;
    if (kind == GpuTextureKind::kNv12Readback) {
      desc.Usage = D3D11_USAGE_STAGING;
      desc.BindFlags = 0;
      desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    } else {
      desc.Usage = D3D11_USAGE_DEFAULT;
      desc.BindFlags = kBindShaderRender;
      desc.CPUAccessFlags = 0;
    }
    ComPtr<ID3D11Texture2D> texture;
    HRESULT hr = device_->CreateTexture2D(&desc, nullptr, texture.GetAddressOf());
    if (SUCCEEDED(hr) && !texture) hr = E_FAIL;
    if (FAILED(hr)) return hr;
    *out = std::make_shared<D3D11Texture>(std::move(texture), width, height, static_cast<uint32_t>(desc.Format));
    return S_OK;
  }

  void Upload(const GpuTexture& texture, const uint8_t* pixels, uint32_t pitch) override {
    MultithreadScope lock(multithread_.Get());
    context_->UpdateSubresource(TextureOf(texture), 0, nullptr, pixels, pitch, 0);
  }

  HResult Blt(const GpuTexture& source, const GpuTexture& target, const GpuBltRequest& request,
              GpuBltStep* failed_step) override {
    *failed_step = GpuBltStep::kNone;
    if (!processor_ || !enumerator_) {
      *failed_step = GpuBltStep::kBlt;
      return E_FAIL;
    }
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC input_desc = {};
    input_desc.FourCC = 0;
    input_desc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    input_desc.Texture2D.MipSlice = 0;
    input_desc.Texture2D.ArraySlice = 0;
    ComPtr<ID3D11VideoProcessorInputView> input;
    HRESULT hr = video_->CreateVideoProcessorInputView(TextureOf(source), enumerator_.Get(), &input_desc,
                                                       input.GetAddressOf());
    if (SUCCEEDED(hr) && !input) hr = E_FAIL;
    if (FAILED(hr)) {
      *failed_step = GpuBltStep::kInputView;
      return hr;
    }
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC output_desc = {};
    output_desc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    output_desc.Texture2D.MipSlice = 0;
    ComPtr<ID3D11VideoProcessorOutputView> output;
    hr = video_->CreateVideoProcessorOutputView(TextureOf(target), enumerator_.Get(), &output_desc,
                                                output.GetAddressOf());
    if (SUCCEEDED(hr) && !output) hr = E_FAIL;
    if (FAILED(hr)) {
      *failed_step = GpuBltStep::kOutputView;
      return hr;
    }

    MultithreadScope lock(multithread_.Get());
    ID3D11VideoProcessor* processor = processor_.Get();
    D3D11_VIDEO_COLOR background = {};
    background.RGBA.R = 0.0f;
    background.RGBA.G = 0.0f;
    background.RGBA.B = 0.0f;
    background.RGBA.A = 1.0f;
    video_context_->VideoProcessorSetOutputBackgroundColor(processor, FALSE, &background);
    video_context_->VideoProcessorSetStreamFrameFormat(processor, 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
    const RECT source_rect = {static_cast<LONG>(request.source.left), static_cast<LONG>(request.source.top),
                              static_cast<LONG>(request.source.right), static_cast<LONG>(request.source.bottom)};
    video_context_->VideoProcessorSetStreamSourceRect(processor, 0, TRUE, &source_rect);
    const RECT dest_rect = {static_cast<LONG>(request.destination.left), static_cast<LONG>(request.destination.top),
                            static_cast<LONG>(request.destination.right),
                            static_cast<LONG>(request.destination.bottom)};
    video_context_->VideoProcessorSetStreamDestRect(processor, 0, TRUE, &dest_rect);
    video_context_->VideoProcessorSetOutputTargetRect(processor, FALSE, nullptr);
    if (video_context1_) {
      if (request.stream_color_space != GpuColorSpace::kUnset) {
        video_context1_->VideoProcessorSetStreamColorSpace1(processor, 0, DxgiColorSpace(request.stream_color_space));
      }
      if (request.output_color_space != GpuColorSpace::kUnset) {
        video_context1_->VideoProcessorSetOutputColorSpace1(processor, DxgiColorSpace(request.output_color_space));
      }
    } else {
      if (request.stream_color_space != GpuColorSpace::kUnset) {
        const D3D11_VIDEO_PROCESSOR_COLOR_SPACE cs = LegacyColorSpace(request.stream_color_space);
        video_context_->VideoProcessorSetStreamColorSpace(processor, 0, &cs);
      }
      if (request.output_color_space != GpuColorSpace::kUnset) {
        const D3D11_VIDEO_PROCESSOR_COLOR_SPACE cs = LegacyColorSpace(request.output_color_space);
        video_context_->VideoProcessorSetOutputColorSpace(processor, &cs);
      }
    }
    D3D11_VIDEO_PROCESSOR_STREAM stream = {};
    stream.Enable = TRUE;
    stream.pInputSurface = input.Get();
    hr = video_context_->VideoProcessorBlt(processor, output.Get(), 0, 1, &stream);
    if (FAILED(hr)) {
      *failed_step = GpuBltStep::kBlt;
      return hr;
    }
    return S_OK;
  }

  void CopyResource(const GpuTexture& target, const GpuTexture& source) override {
    MultithreadScope lock(multithread_.Get());
    context_->CopyResource(TextureOf(target), TextureOf(source));
  }

  GpuMapping Map(const GpuTexture& texture) override {
    GpuMapping mapping;
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    MultithreadScope lock(multithread_.Get());
    const HRESULT hr = context_->Map(TextureOf(texture), 0, D3D11_MAP_READ, 0, &mapped);
    mapping.hr = hr;
    if (SUCCEEDED(hr)) {
      mapping.data = static_cast<const uint8_t*>(mapped.pData);
      mapping.row_pitch = mapped.RowPitch;
    }
    return mapping;
  }

  void Unmap(const GpuTexture& texture) override {
    MultithreadScope lock(multithread_.Get());
    context_->Unmap(TextureOf(texture), 0);
  }

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11VideoDevice> video_;
  ComPtr<ID3D11VideoContext> video_context_;
  ComPtr<ID3D11VideoContext1> video_context1_;  // null before Windows 8.1
  ComPtr<ID3D10Multithread> multithread_;
  ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  ComPtr<ID3D11VideoProcessor> processor_;
};

class D3D11GpuPlatform final : public IGpuPlatform {
 public:
  bool EnumerateAdapters(std::vector<GpuAdapterEntry>* out) override {
    out->clear();
    adapters_.clear();
    ComPtr<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr) || !factory) {
      LogWarn("[Encoder] CreateDXGIFactory1 failed: 0x%08lX", HrBits(FAILED(hr) ? hr : E_FAIL));
      return false;
    }
    for (UINT i = 0; i < kMaxAdapters; ++i) {
      ComPtr<IDXGIAdapter1> adapter;
      hr = factory->EnumAdapters1(i, adapter.GetAddressOf());
      if (hr == DXGI_ERROR_NOT_FOUND) break;
      if (FAILED(hr) || !adapter) {
        LogWarn("[Encoder] EnumAdapters1(%u) failed: 0x%08lX", static_cast<unsigned>(i),
                HrBits(FAILED(hr) ? hr : E_FAIL));
        break;
      }
      GpuAdapterEntry entry;
      DXGI_ADAPTER_DESC1 desc = {};
      hr = adapter->GetDesc1(&desc);
      if (SUCCEEDED(hr)) {
        entry.description_ok = true;
        entry.facts = FactsOf(desc);
      } else {
        LogWarn("[Encoder] GetDesc1 of adapter %u failed: 0x%08lX", static_cast<unsigned>(i), HrBits(hr));
      }
      out->push_back(std::move(entry));
      adapters_.push_back(std::move(adapter));
    }
    return true;
  }

  GpuDeviceResult CreateDevice(GpuDriver driver, uint32_t adapter_index) override {
    static const D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                                D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};
    GpuDeviceResult result;
    IDXGIAdapter* adapter = nullptr;
    D3D_DRIVER_TYPE type = D3D_DRIVER_TYPE_HARDWARE;
    UINT flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;  // 0x820
    switch (driver) {
      case GpuDriver::kAdapter:
        if (adapter_index >= adapters_.size()) {
          result.hr = DXGI_ERROR_NOT_FOUND;
          return result;
        }
        adapter = adapters_[adapter_index].Get();
        type = D3D_DRIVER_TYPE_UNKNOWN;
        break;
      case GpuDriver::kDefaultHardware:
        break;
      case GpuDriver::kWarp:
        type = D3D_DRIVER_TYPE_WARP;
        flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT;  // 0x20
        break;
    }
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    D3D_FEATURE_LEVEL level = static_cast<D3D_FEATURE_LEVEL>(0);
    const HRESULT hr = D3D11CreateDevice(adapter, type, nullptr, flags, kLevels, ARRAYSIZE(kLevels),
                                         D3D11_SDK_VERSION, device.GetAddressOf(), &level, context.GetAddressOf());
    result.hr = hr;
    result.feature_level = static_cast<uint32_t>(level);
    if (FAILED(hr) || !device || !context) return result;
    ReadFacts(device.Get(), &result);
    result.device = D3D11Device::Wrap(device.Get(), nullptr);
    return result;
  }

  void SetMultithreadProtected(GpuDevice& device) override {
    auto* d3d = static_cast<ID3D11Device*>(device.Native());
    ComPtr<ID3D10Multithread> mt;
    const HRESULT hr = d3d->QueryInterface(__uuidof(ID3D10Multithread), reinterpret_cast<void**>(mt.GetAddressOf()));
    if (FAILED(hr) || !mt) {
      LogWarn("[Encoder] D3D11 device offers no multithread protection: 0x%08lX", HrBits(FAILED(hr) ? hr : E_FAIL));
      return;
    }
    mt->SetMultithreadProtected(TRUE);
  }

  HResult DeviceRemovedReason(GpuDevice& device) override {
    return static_cast<ID3D11Device*>(device.Native())->GetDeviceRemovedReason();
  }

  std::unique_ptr<IGpuVideo> OpenVideo(GpuDevice& device, GpuVideoStep* failed_step, HResult* hr_out) override {
    *failed_step = GpuVideoStep::kNone;
    *hr_out = S_OK;
    ComPtr<ID3D11Device> d3d(static_cast<ID3D11Device*>(device.Native()));
    ComPtr<ID3D11VideoDevice> video;
    HRESULT hr = d3d->QueryInterface(__uuidof(ID3D11VideoDevice), reinterpret_cast<void**>(video.GetAddressOf()));
    if (FAILED(hr) || !video) {
      *failed_step = GpuVideoStep::kVideoDevice;
      *hr_out = FAILED(hr) ? hr : E_NOINTERFACE;
      return nullptr;
    }
    ComPtr<ID3D11DeviceContext> context;
    d3d->GetImmediateContext(context.GetAddressOf());
    ComPtr<ID3D11VideoContext> video_context;
    hr = context ? context->QueryInterface(__uuidof(ID3D11VideoContext),
                                           reinterpret_cast<void**>(video_context.GetAddressOf()))
                 : E_POINTER;
    if (FAILED(hr) || !video_context) {
      *failed_step = GpuVideoStep::kVideoContext;
      *hr_out = FAILED(hr) ? hr : E_NOINTERFACE;
      return nullptr;
    }
    // Optional: the colour spaces then go through the DXGI colour space types.
    ComPtr<ID3D11VideoContext1> video_context1;
    if (FAILED(video_context.As(&video_context1))) video_context1.Reset();
    ComPtr<ID3D10Multithread> multithread;
    if (FAILED(d3d.As(&multithread))) multithread.Reset();
    return std::make_unique<D3D11GpuVideo>(std::move(d3d), std::move(context), std::move(video),
                                           std::move(video_context), std::move(video_context1),
                                           std::move(multithread));
  }

  bool OnlyPoolHolds(const GpuTexture& texture) override {
    ID3D11Texture2D* native = TextureOf(texture);
    if (native == nullptr) return false;
    native->AddRef();
    return native->Release() == 1;
  }

 private:
  // The description of the adapter the device runs on, when it can be read.
  static void ReadFacts(ID3D11Device* device, GpuDeviceResult* result) {
    ComPtr<IDXGIDevice> dxgi;
    if (FAILED(device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(dxgi.GetAddressOf())))) return;
    ComPtr<IDXGIAdapter> adapter;
    if (FAILED(dxgi->GetAdapter(adapter.GetAddressOf())) || !adapter) return;
    ComPtr<IDXGIAdapter1> adapter1;
    if (FAILED(adapter.As(&adapter1))) return;
    DXGI_ADAPTER_DESC1 desc = {};
    if (FAILED(adapter1->GetDesc1(&desc))) return;
    result->has_facts = true;
    result->facts = FactsOf(desc);
  }

  // The adapters of the last enumeration, by EnumAdapters1 index.
  std::vector<ComPtr<IDXGIAdapter1>> adapters_;
};

}  // namespace

std::unique_ptr<IGpuPlatform> MakePlatformGpuPlatform() { return std::make_unique<D3D11GpuPlatform>(); }

}  // namespace orvane
