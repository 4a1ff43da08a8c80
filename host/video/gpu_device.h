#pragma once
// Platform GPU objects as the portable video code sees them: opaque handles
// that only the platform files look into.
//
// On Windows a GpuDevice is an ID3D11Device (the encoder's, shared with the
// capture for GPU hand-off) and a GpuTexture an ID3D11Texture2D; the Linux
// build has neither and never makes one.

#include <cstdint>

namespace orvane {

class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  // The locally unique id of the adapter the device runs on (high part x 2^32
  // + low part); 0 when unknown.
  virtual uint64_t AdapterLuid() const = 0;
  // The platform device (ID3D11Device*), owned by this object.
  virtual void* Native() const = 0;
};

class GpuTexture {
 public:
  virtual ~GpuTexture() = default;
  virtual uint32_t Width() const = 0;
  virtual uint32_t Height() const = 0;
  // The platform's format number (DXGI_FORMAT).
  virtual uint32_t Format() const = 0;
  // The platform texture (ID3D11Texture2D*), owned by this object.
  virtual void* Native() const = 0;
};

}  // namespace orvane
