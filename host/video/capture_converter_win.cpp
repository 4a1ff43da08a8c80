#include "host/video/capture_converter_win.h"

#include <d3dcompiler.h>

#include <string>

#include "host/common/logger.h"

namespace orvane {

namespace {

// One triangle that covers the target, from the vertex index alone.
constexpr char kVertexShader[] = R"(
float4 main(uint id : SV_VertexID) : SV_Position
{
    float2 uv = float2((id * 2) & 2, id & 2);
    return float4(uv.x * 2.0 - 1.0, 1.0 - uv.y * 2.0, 0.0, 1.0);
}
)";

// Written for the oldest compilers the program meets: no conditional
// operator, no helper functions and no step().
constexpr char kPixelShader[] = R"(
cbuffer Params : register(b0)
{
    int4 mapX;
    int4 mapY;
    float sdrWhiteScale;
    uint toneMap;
    float highlightDesaturation;
    uint pad0;
};
Texture2D<float4> frameTexture : register(t0);

float4 main(float4 position : SV_Position) : SV_Target
{
    int2 p = int2(position.xy);
    int2 s;
    s.x = mapX.x * p.x + mapX.y * p.y + mapX.z;
    s.y = mapY.x * p.x + mapY.y * p.y + mapY.z;
    float3 rgb = frameTexture.Load(int3(s, 0)).rgb;
    if (toneMap != 0)
    {
        rgb = max(rgb, 0.0) / max(sdrWhiteScale, 1.0);
        float peak = max(rgb.r, max(rgb.g, rgb.b));
        if (peak > 1.0)
        {
            float excess = peak - 1.0;
            float toWhite = highlightDesaturation * excess / (1.0 + excess);
            float3 hue = rgb / peak;
            rgb = hue + (1.0 - hue) * toWhite;
        }
        float3 c = saturate(rgb);
        float3 encoded = 1.055 * pow(c, 1.0 / 2.4) - 0.055;
        float3 linearPart = 12.92 * c;
        if (c.r <= 0.0031308) encoded.r = linearPart.r;
        if (c.g <= 0.0031308) encoded.g = linearPart.g;
        if (c.b <= 0.0031308) encoded.b = linearPart.b;
        rgb = encoded;
    }
    return float4(saturate(rgb), 1.0);
}
)";

constexpr size_t kMaxCompilerMessage = 512;

bool CompileShader(const char* text, size_t length, const char* name, const char* target, ComPtr<ID3DBlob>* code) {
  ComPtr<ID3DBlob> errors;
  const HRESULT hr = D3DCompile(text, length, name, nullptr, nullptr, "main", target, D3DCOMPILE_OPTIMIZATION_LEVEL3,
                                0, code->GetAddressOf(), errors.GetAddressOf());
  if (SUCCEEDED(hr) && *code) return true;
  std::string message;
  if (errors && errors->GetBufferPointer() != nullptr) {
    message.assign(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize());
    while (!message.empty() && (message.back() == '\0' || message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    if (message.size() > kMaxCompilerMessage) message.resize(kMaxCompilerMessage);
  }
  LogWarn("[Capture] Converter %s shader compile failed: 0x%08lX %s", name, HrBits(FAILED(hr) ? hr : E_FAIL),
          EscapeUntrusted(message).c_str());
  return false;
}

D3D11_TEXTURE2D_DESC TargetDesc(uint32_t width, uint32_t height) {
  D3D11_TEXTURE2D_DESC d = {};
  d.Width = width;
  d.Height = height;
  d.MipLevels = 1;
  d.ArraySize = 1;
  d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  d.SampleDesc.Count = 1;
  d.Usage = D3D11_USAGE_DEFAULT;
  d.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  return d;
}

}  // namespace

// ------------------------------------------------------- CaptureConverter

bool CaptureConverter::Create(std::shared_ptr<D3D11Device> device) {
  Reset();
  if (!device) return false;
  ComPtr<ID3DBlob> vs_code;
  ComPtr<ID3DBlob> ps_code;
  if (!CompileShader(kVertexShader, sizeof(kVertexShader) - 1, "capture_vs", "vs_4_0", &vs_code)) return false;
  if (!CompileShader(kPixelShader, sizeof(kPixelShader) - 1, "capture_ps", "ps_4_0", &ps_code)) return false;
  ID3D11Device* dev = device->device();
  HRESULT hr = dev->CreateVertexShader(vs_code->GetBufferPointer(), vs_code->GetBufferSize(), nullptr,
                                       vs_.GetAddressOf());
  if (SUCCEEDED(hr)) {
    hr = dev->CreatePixelShader(ps_code->GetBufferPointer(), ps_code->GetBufferSize(), nullptr, ps_.GetAddressOf());
  }
  if (SUCCEEDED(hr)) {
    D3D11_BUFFER_DESC bd = {};
    bd.ByteWidth = sizeof(ConverterParams);
    bd.Usage = D3D11_USAGE_DEFAULT;
    bd.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    hr = dev->CreateBuffer(&bd, nullptr, params_.GetAddressOf());
  }
  if (FAILED(hr)) {
    LogWarn("[Capture] Converter shader objects could not be created: 0x%08lX", HrBits(hr));
    Reset();
    return false;
  }
  device_ = std::move(device);
  ready_ = true;
  return true;
}

void CaptureConverter::Reset() {
  ready_ = false;
  vs_.Reset();
  ps_.Reset();
  params_.Reset();
  copy_view_.Reset();
  copy_.Reset();
  copy_width_ = copy_height_ = copy_format_ = 0;
  target_.Reset();
  target_width_ = target_height_ = 0;
  device_.reset();
}

ID3D11Texture2D* CaptureConverter::OwnTarget(uint32_t width, uint32_t height, HostResult* result) {
  if (!ready_) return nullptr;
  if (target_ && target_width_ == width && target_height_ == height) return target_.Get();
  target_.Reset();
  const D3D11_TEXTURE2D_DESC d = TargetDesc(width, height);
  const HRESULT hr = device_->device()->CreateTexture2D(&d, nullptr, target_.GetAddressOf());
  if (FAILED(hr) || !target_) {
    LogWarn("[Capture] Converter target texture could not be created: 0x%08lX", HrBits(hr));
    target_.Reset();
    *result = HostResult::Failure(6, "converter target", FAILED(hr) ? hr : kEFail);
    return nullptr;
  }
  target_width_ = width;
  target_height_ = height;
  return target_.Get();
}

bool CaptureConverter::SourceView(ID3D11Texture2D* source, ComPtr<ID3D11ShaderResourceView>* view,
                                  HostResult* result) {
  D3D11_TEXTURE2D_DESC desc = {};
  source->GetDesc(&desc);
  const DXGI_FORMAT view_format = static_cast<DXGI_FORMAT>(ShaderViewFormat(static_cast<uint32_t>(desc.Format)));
  D3D11_SHADER_RESOURCE_VIEW_DESC vd = {};
  vd.Format = view_format;
  vd.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
  vd.Texture2D.MostDetailedMip = 0;
  vd.Texture2D.MipLevels = 1;
  ID3D11Device* dev = device_->device();
  if ((desc.BindFlags & D3D11_BIND_SHADER_RESOURCE) != 0 && desc.SampleDesc.Count == 1) {
    const HRESULT hr = dev->CreateShaderResourceView(source, &vd, view->ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr) && *view) return true;
    LogDebug("[Capture] Converter cannot view the captured surface directly: 0x%08lX", HrBits(hr));
  }
  // Not shader-readable: copy it into a texture of the same size and format.
  if (!logged_copy_) {
    LogInfo("[Capture] Converter copies the captured surface first (not shader-readable)");
    logged_copy_ = true;
  }
  const uint32_t format = static_cast<uint32_t>(desc.Format);
  if (!copy_ || copy_width_ != desc.Width || copy_height_ != desc.Height || copy_format_ != format) {
    copy_view_.Reset();
    copy_.Reset();
    copy_width_ = copy_height_ = copy_format_ = 0;
    D3D11_TEXTURE2D_DESC cd = {};
    cd.Width = desc.Width;
    cd.Height = desc.Height;
    cd.MipLevels = 1;
    cd.ArraySize = 1;
    cd.Format = desc.Format;
    cd.SampleDesc.Count = 1;
    cd.Usage = D3D11_USAGE_DEFAULT;
    cd.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    HRESULT hr = dev->CreateTexture2D(&cd, nullptr, copy_.GetAddressOf());
    if (SUCCEEDED(hr)) hr = dev->CreateShaderResourceView(copy_.Get(), &vd, copy_view_.GetAddressOf());
    if (FAILED(hr) || !copy_view_) {
      const HRESULT shown = FAILED(hr) ? hr : E_FAIL;
      LogWarn("[Capture] Converter cannot stage a %s source: 0x%08lX", CaptureFormatName(format), HrBits(shown));
      copy_view_.Reset();
      copy_.Reset();
      *result = HostResult::Failure(7, "converter copy texture", shown);
      return false;
    }
    copy_width_ = desc.Width;
    copy_height_ = desc.Height;
    copy_format_ = format;
  }
  {
    D3D11DeviceLock lock(*device_);
    device_->context()->CopySubresourceRegion(copy_.Get(), 0, 0, 0, 0, source, 0, nullptr);
  }
  *view = copy_view_;
  return true;
}

bool CaptureConverter::Convert(ID3D11Texture2D* source, const ConverterParams& params, ID3D11Texture2D* target,
                               HostResult* result) {
  if (!ready_) {
    *result = HostResult::Failure(8, "converter unavailable", kENotImpl);
    return false;
  }
  D3D11_TEXTURE2D_DESC sd = {};
  source->GetDesc(&sd);
  const ConverterParams& p = params;
  // The upright size follows from the map: a quarter turn swaps the sides.
  const bool swaps = p.map_x[0] == 0;
  const uint32_t upright_w = swaps ? sd.Height : sd.Width;
  const uint32_t upright_h = swaps ? sd.Width : sd.Height;
  D3D11_TEXTURE2D_DESC td = {};
  target->GetDesc(&td);
  if (td.Width != upright_w || td.Height != upright_h || (td.BindFlags & D3D11_BIND_RENDER_TARGET) == 0 ||
      td.Format != DXGI_FORMAT_B8G8R8A8_UNORM) {
    LogWarn("[Capture] Converter target %ux%u does not fit the upright frame %ux%u", td.Width, td.Height, upright_w,
            upright_h);
    *result = HostResult::Failure(9, "converter target does not fit", kEInvalidArg);
    return false;
  }
  ComPtr<ID3D11ShaderResourceView> view;
  if (!SourceView(source, &view, result)) return false;
  ComPtr<ID3D11RenderTargetView> rtv;
  D3D11_RENDER_TARGET_VIEW_DESC rd = {};
  rd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  rd.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
  const HRESULT hr = device_->device()->CreateRenderTargetView(target, &rd, rtv.GetAddressOf());
  if (FAILED(hr) || !rtv) {
    const HRESULT shown = FAILED(hr) ? hr : E_FAIL;
    LogWarn("[Capture] Converter render target view failed: 0x%08lX", HrBits(shown));
    *result = HostResult::Failure(10, "converter render target view", shown);
    return false;
  }
  D3D11DeviceLock lock(*device_);
  ID3D11DeviceContext* ctx = device_->context();
  ctx->UpdateSubresource(params_.Get(), 0, nullptr, &params, 0, 0);
  D3D11_VIEWPORT viewport = {};
  viewport.Width = static_cast<float>(td.Width);
  viewport.Height = static_cast<float>(td.Height);
  viewport.MaxDepth = 1.0f;
  ID3D11RenderTargetView* targets[] = {rtv.Get()};
  ID3D11ShaderResourceView* views[] = {view.Get()};
  ID3D11Buffer* buffers[] = {params_.Get()};
  ctx->OMSetRenderTargets(1, targets, nullptr);
  ctx->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
  ctx->OMSetDepthStencilState(nullptr, 0);
  ctx->RSSetState(nullptr);
  ctx->RSSetViewports(1, &viewport);
  ctx->IASetInputLayout(nullptr);
  ctx->IASetVertexBuffers(0, 0, nullptr, nullptr, nullptr);
  ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  ctx->VSSetShader(vs_.Get(), nullptr, 0);
  ctx->GSSetShader(nullptr, nullptr, 0);
  ctx->PSSetShader(ps_.Get(), nullptr, 0);
  ctx->PSSetShaderResources(0, 1, views);
  ctx->PSSetConstantBuffers(0, 1, buffers);
  ctx->Draw(3, 0);
  // Unbind, so that the target can be read and the source reused at once.
  ID3D11ShaderResourceView* no_views[] = {nullptr};
  ctx->PSSetShaderResources(0, 1, no_views);
  ctx->OMSetRenderTargets(0, nullptr, nullptr);
  *result = HostResult::Success();
  return true;
}

// ------------------------------------------------------- GpuFrameDelivery

GpuFrameDelivery::GpuFrameDelivery(const char* source)
    : source_(source), images_(FramePool<CpuImage>::Create()), readback_(source) {}

void GpuFrameDelivery::Start(std::shared_ptr<D3D11Device> device) {
  Stop();
  device_ = std::move(device);
  textures_ = FramePool<D3D11Texture>::Create();
}

void GpuFrameDelivery::Stop() {
  readback_.Reset();
  textures_.reset();  // textures still held keep their entries and the pool
  device_.reset();
}

std::shared_ptr<D3D11Texture> GpuFrameDelivery::TakeTexture(uint32_t width, uint32_t height, uint64_t now_ms,
                                                            HostResult* result) {
  ID3D11Device* dev = device_->device();
  HRESULT made = S_OK;
  FramePoolTake took = FramePoolTake::kOk;
  std::shared_ptr<D3D11Texture> texture = textures_->Take(
      FramePoolKey{width, height, static_cast<uint32_t>(DXGI_FORMAT_B8G8R8A8_UNORM)},
      [dev, &made](const FramePoolKey& key) -> std::unique_ptr<D3D11Texture> {
        const D3D11_TEXTURE2D_DESC d = TargetDesc(key.width, key.height);
        ComPtr<ID3D11Texture2D> t;
        made = dev->CreateTexture2D(&d, nullptr, t.GetAddressOf());
        if (FAILED(made) || !t) return nullptr;
        return std::make_unique<D3D11Texture>(std::move(t), key.width, key.height, key.format);
      },
      &took);
  if (texture) return texture;
  if (took == FramePoolTake::kCreateFailed) {
    LogWarn("[Capture] Failed to create owned frame texture: 0x%08lX", HrBits(FAILED(made) ? made : E_FAIL));
    *result = HostResult::Failure(2, "owned frame texture", FAILED(made) ? made : kEFail);
  } else {
    buffer_warning_.Report(source_, took, width, height, now_ms);
    *result = HostResult::Failure(3, "every frame buffer is held", kEOutOfMemory);
  }
  return nullptr;
}

CaptureStatus GpuFrameDelivery::Deliver(ID3D11Texture2D* frame, const FramePlan& plan, bool want_texture,
                                        bool handoff, CaptureConverter* converter, uint64_t now_ms,
                                        CapturedFrame* out, HostResult* result) {
  if (!device_ || frame == nullptr) {
    *result = HostResult::Failure(1, "no capture device", kEFail);
    return CaptureStatus::kFailed;
  }
  D3D11_TEXTURE2D_DESC desc = {};
  frame->GetDesc(&desc);
  if (!CaptureSizeAcceptable(desc.Width, desc.Height)) {
    uint64_t suppressed = 0;
    if (warn_limiter_.Allow(now_ms, &suppressed)) {
      LogWarn("[Capture] %s frame size %ux%u is out of range; frame dropped (%llu similar suppressed)", source_,
              desc.Width, desc.Height, static_cast<unsigned long long>(suppressed));
    }
    *result = HostResult::Failure(1, "frame size out of range", kEInvalidArg);
    return CaptureStatus::kFailed;
  }
  const bool to_texture = want_texture && handoff;
  if (plan.path != CapturePath::kPassthrough) {
    if (converter == nullptr || !converter->Ready()) {
      *result = HostResult::Failure(8, "converter unavailable", kENotImpl);
      return CaptureStatus::kFailed;
    }
    const ConverterParams params = MakeConverterParams(plan, desc.Width, desc.Height);
    const RotationMap map = MakeRotationMap(plan.rotation, desc.Width, desc.Height);
    if (to_texture) {
      std::shared_ptr<D3D11Texture> owned = TakeTexture(map.upright_width, map.upright_height, now_ms, result);
      if (!owned) return CaptureStatus::kFailed;
      if (!converter->Convert(frame, params, owned->texture(), result)) return CaptureStatus::kFailed;
      out->texture = std::move(owned);
    } else {
      ID3D11Texture2D* target = converter->OwnTarget(map.upright_width, map.upright_height, result);
      if (target == nullptr) return CaptureStatus::kFailed;
      if (!converter->Convert(frame, params, target, result)) return CaptureStatus::kFailed;
      std::shared_ptr<CpuImage> image;
      if (readback_.Read(*device_, target, *images_, now_ms, &image, result) != CaptureStatus::kFrame) {
        return CaptureStatus::kFailed;
      }
      out->image = std::move(image);
    }
    out->width = map.upright_width;
    out->height = map.upright_height;
  } else {
    if (to_texture) {
      std::shared_ptr<D3D11Texture> owned = TakeTexture(desc.Width, desc.Height, now_ms, result);
      if (!owned) return CaptureStatus::kFailed;
      {
        D3D11DeviceLock lock(*device_);
        device_->context()->CopySubresourceRegion(owned->texture(), 0, 0, 0, 0, frame, 0, nullptr);
      }
      out->texture = std::move(owned);
    } else {
      std::shared_ptr<CpuImage> image;
      if (readback_.Read(*device_, frame, *images_, now_ms, &image, result) != CaptureStatus::kFrame) {
        return CaptureStatus::kFailed;
      }
      out->image = std::move(image);
    }
    out->width = desc.Width;
    out->height = desc.Height;
  }
  *result = HostResult::Success();
  out->status = CaptureStatus::kFrame;
  return CaptureStatus::kFrame;
}

}  // namespace orvane
