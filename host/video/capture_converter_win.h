#pragma once
// The GPU side of the capture converter (Windows build only): a full-screen
// triangle and a pixel shader that loads the captured texture through the
// rotation map, tone-maps scRGB to SDR when asked and writes upright 8-bit
// BGRA. Its results match ReferenceConvertPixel.
//
// GpuFrameDelivery turns one captured texture into a CapturedFrame along the
// planned path: converted or copied into a pooled owned texture for GPU
// hand-off, else read back into a pooled system-memory image.

#include <cstdint>
#include <memory>

#include "host/common/host_result.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_color.h"
#include "host/video/capture_source.h"
#include "host/video/d3d11_util_win.h"
#include "host/video/frame_pool.h"

namespace orvane {

class CaptureConverter {
 public:
  // Compiles the shaders and creates the pipeline objects on `device`; a
  // failure is logged and leaves the converter unavailable.
  bool Create(std::shared_ptr<D3D11Device> device);
  void Reset();
  bool Ready() const { return ready_; }

  // Draws `source` into `target` (B8G8R8A8_UNORM of the upright size, a
  // render target) with `params`, under the device lock.
  bool Convert(ID3D11Texture2D* source, const ConverterParams& params, ID3D11Texture2D* target, HostResult* result);
  // The converter's own target of the upright size, kept while the size stays.
  ID3D11Texture2D* OwnTarget(uint32_t width, uint32_t height, HostResult* result);

 private:
  bool SourceView(ID3D11Texture2D* source, ComPtr<ID3D11ShaderResourceView>* view, HostResult* result);

  std::shared_ptr<D3D11Device> device_;
  bool ready_ = false;
  ComPtr<ID3D11VertexShader> vs_;
  ComPtr<ID3D11PixelShader> ps_;
  ComPtr<ID3D11Buffer> params_;
  // A copy of a source that cannot be bound as a shader resource.
  ComPtr<ID3D11Texture2D> copy_;
  ComPtr<ID3D11ShaderResourceView> copy_view_;
  uint32_t copy_width_ = 0;
  uint32_t copy_height_ = 0;
  uint32_t copy_format_ = 0;
  bool logged_copy_ = false;
  ComPtr<ID3D11Texture2D> target_;
  uint32_t target_width_ = 0;
  uint32_t target_height_ = 0;
};

class GpuFrameDelivery {
 public:
  // `source` names the back-end in warnings ("Desktop Duplication", "WGC").
  explicit GpuFrameDelivery(const char* source);
  // Starts on `device`: a fresh texture pool (textures belong to one device);
  // the system-memory pool is kept.
  void Start(std::shared_ptr<D3D11Device> device);
  // Drops the device and every object on it (handed-out textures stay valid).
  void Stop();

  // Delivers `frame` as planned. kFrame with the image or texture set, or
  // kFailed (logged).
  CaptureStatus Deliver(ID3D11Texture2D* frame, const FramePlan& plan, bool want_texture, bool handoff,
                        CaptureConverter* converter, uint64_t now_ms, CapturedFrame* out, HostResult* result);

  // Entries of the two pools (diagnostics and tests).
  size_t PooledImages() const { return images_->Size(); }
  size_t PooledTextures() const { return textures_ ? textures_->Size() : 0; }

 private:
  std::shared_ptr<D3D11Texture> TakeTexture(uint32_t width, uint32_t height, uint64_t now_ms, HostResult* result);

  const char* source_;
  std::shared_ptr<D3D11Device> device_;
  std::shared_ptr<FramePool<D3D11Texture>> textures_;
  std::shared_ptr<FramePool<CpuImage>> images_;
  StagingReadback readback_;
  FrameBufferWarning buffer_warning_;
  RateLimiter warn_limiter_{FrameBufferWarning::kIntervalMs};
};

}  // namespace orvane
