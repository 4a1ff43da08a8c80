#include "host/video/capture_color.h"

#include <algorithm>
#include <cmath>

namespace orvane {

const char* CaptureFormatName(uint32_t format) {
  switch (format) {
    case kDxgiFormatR16G16B16A16Float: return "R16G16B16A16_FLOAT";
    case kDxgiFormatR10G10B10A2Unorm: return "R10G10B10A2_UNORM";
    case kDxgiFormatR8G8B8A8Unorm: return "R8G8B8A8_UNORM";
    case kDxgiFormatB8G8R8A8Unorm: return "B8G8R8A8_UNORM";
    case kDxgiFormatB8G8R8A8UnormSrgb: return "B8G8R8A8_UNORM_SRGB";
    case kDxgiFormatUnknown: return "UNKNOWN";
    default: return "other";
  }
}

uint32_t ShaderViewFormat(uint32_t format) {
  switch (format) {
    case kDxgiFormatR16G16B16A16Typeless: return kDxgiFormatR16G16B16A16Float;
    case kDxgiFormatR10G10B10A2Typeless: return kDxgiFormatR10G10B10A2Unorm;
    case kDxgiFormatR8G8B8A8Typeless: return kDxgiFormatR8G8B8A8Unorm;
    case kDxgiFormatB8G8R8A8Typeless: return kDxgiFormatB8G8R8A8Unorm;
    default: return format;
  }
}

CaptureFormatClass ClassifyCaptureFormat(uint32_t format) {
  switch (format) {
    case kDxgiFormatR16G16B16A16Typeless:
    case kDxgiFormatR16G16B16A16Float: return CaptureFormatClass::kFp16;
    case kDxgiFormatR10G10B10A2Typeless:
    case kDxgiFormatR10G10B10A2Unorm: return CaptureFormatClass::kTenBit;
    case kDxgiFormatR8G8B8A8Typeless:
    case kDxgiFormatR8G8B8A8Unorm: return CaptureFormatClass::kRgba8;
    case kDxgiFormatB8G8R8A8Unorm:
    case kDxgiFormatB8G8R8A8Typeless: return CaptureFormatClass::kBgra8;
    default: return CaptureFormatClass::kOther;
  }
}

const char* RotationName(uint32_t degrees) {
  switch (degrees) {
    case 90: return "90";
    case 180: return "180";
    case 270: return "270";
    default: return "0";
  }
}

uint32_t RotationFromDxgi(uint32_t dxgi_rotation) {
  switch (dxgi_rotation) {
    case 2: return 90;
    case 3: return 180;
    case 4: return 270;
    default: return 0;
  }
}

uint32_t RotationCorrection(uint32_t output_rotation, uint32_t frame_width, uint32_t frame_height,
                            uint32_t desktop_width, uint32_t desktop_height) {
  if (output_rotation != 90 && output_rotation != 180 && output_rotation != 270) return 0;
  if ((output_rotation == 90 || output_rotation == 270) && frame_width != frame_height &&
      frame_width == desktop_width && frame_height == desktop_height) {
    return 0;  // the frame already arrives upright
  }
  return output_rotation;
}

RotationMap MakeRotationMap(uint32_t rotation, uint32_t w, uint32_t h) {
  RotationMap m;
  const int32_t wm1 = static_cast<int32_t>(w) - 1;
  const int32_t hm1 = static_cast<int32_t>(h) - 1;
  switch (rotation) {
    case 90:
      m.map_x = {0, 1, 0, 0};
      m.map_y = {-1, 0, hm1, 0};
      m.upright_width = h;
      m.upright_height = w;
      break;
    case 180:
      m.map_x = {-1, 0, wm1, 0};
      m.map_y = {0, -1, hm1, 0};
      m.upright_width = w;
      m.upright_height = h;
      break;
    case 270:
      m.map_x = {0, -1, wm1, 0};
      m.map_y = {1, 0, 0, 0};
      m.upright_width = h;
      m.upright_height = w;
      break;
    default:
      m.map_x = {1, 0, 0, 0};
      m.map_y = {0, 1, 0, 0};
      m.upright_width = w;
      m.upright_height = h;
      break;
  }
  return m;
}

float SdrWhiteScale(float sdr_white_nits) {
  if (!(sdr_white_nits > 0.0f)) return 1.0f;
  return std::clamp(sdr_white_nits / 80.0f, 1.0f, 12.5f);
}

float SdrWhiteNitsFromReport(uint32_t reported) { return static_cast<float>(reported) * 80.0f / 1000.0f; }

const char* CapturePathName(CapturePath path) {
  switch (path) {
    case CapturePath::kToneMapToSdr: return "gpu-tone-map-to-sdr";
    case CapturePath::kConvert: return "gpu-convert";
    case CapturePath::kPassthrough: return "passthrough";
  }
  return "passthrough";
}

FramePlan PlanCapturedFrame(const FramePlanInput& in) {
  FramePlan plan;
  plan.format_class = ClassifyCaptureFormat(in.format);
  plan.rotation = RotationCorrection(in.output_rotation, in.frame_width, in.frame_height, in.desktop_width,
                                     in.desktop_height);
  switch (plan.format_class) {
    case CaptureFormatClass::kFp16:
      // scRGB is linear: always tone-mapped and sRGB-encoded; the white level
      // counts only for an HDR output.
      plan.path = CapturePath::kToneMapToSdr;
      plan.tone_map = true;
      plan.sdr_white_scale = in.hdr ? SdrWhiteScale(in.sdr_white_nits) : 1.0f;
      break;
    case CaptureFormatClass::kTenBit:
    case CaptureFormatClass::kRgba8:
    case CaptureFormatClass::kOther:
      plan.path = CapturePath::kConvert;
      break;
    case CaptureFormatClass::kBgra8:
      plan.path = plan.rotation != 0 ? CapturePath::kConvert : CapturePath::kPassthrough;
      break;
  }
  if (!in.converter_ready && plan.path != CapturePath::kPassthrough) {
    if (plan.format_class == CaptureFormatClass::kBgra8) {
      plan.unrotated_fallback = true;
      plan.path = CapturePath::kPassthrough;
      plan.rotation = 0;
    } else {
      plan.needs_unavailable_converter = true;
    }
  }
  return plan;
}

ConverterParams MakeConverterParams(const FramePlan& plan, uint32_t source_width, uint32_t source_height) {
  const RotationMap map = MakeRotationMap(plan.rotation, source_width, source_height);
  ConverterParams p;
  p.map_x = map.map_x;
  p.map_y = map.map_y;
  p.sdr_white_scale = plan.sdr_white_scale;
  p.tone_map = plan.tone_map ? 1u : 0u;
  p.highlight_desaturation = 0.5f;
  return p;
}

namespace {

float Saturate(float v) { return std::clamp(v, 0.0f, 1.0f); }

float SrgbEncode(float c) {
  c = Saturate(c);
  return c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}

uint8_t ToUnorm8(float v) {
  if (std::isnan(v)) return 0;
  return static_cast<uint8_t>(std::lround(Saturate(v) * 255.0f));
}

}  // namespace

std::array<uint8_t, 3> ReferenceConvertPixel(const std::array<float, 3>& in, const ConverterParams& params) {
  std::array<float, 3> rgb = in;
  if (params.tone_map != 0) {
    const float scale = std::max(params.sdr_white_scale, 1.0f);
    for (float& c : rgb) c = std::max(c, 0.0f) / scale;
    const float peak = std::max({rgb[0], rgb[1], rgb[2]});
    if (peak > 1.0f) {
      const float excess = peak - 1.0f;
      const float to_white = params.highlight_desaturation * excess / (1.0f + excess);
      for (float& c : rgb) {
        const float hue = c / peak;
        c = hue + (1.0f - hue) * to_white;
      }
    }
    for (float& c : rgb) c = SrgbEncode(c);
  }
  return {ToUnorm8(rgb[0]), ToUnorm8(rgb[1]), ToUnorm8(rgb[2])};
}

void MapOutputPixel(const ConverterParams& p, int32_t x, int32_t y, int32_t* sx, int32_t* sy) {
  *sx = p.map_x[0] * x + p.map_x[1] * y + p.map_x[2];
  *sy = p.map_y[0] * x + p.map_y[1] * y + p.map_y[2];
}

}  // namespace orvane
