#pragma once
// What the GPU back-ends decide about each captured frame: the format class,
// the rotation to correct, the shader's mapping and parameters, and the path
// the frame takes. Also a CPU reference of the converter's pixel shader, so
// the shader's results can be checked against it.

#include <array>
#include <cstdint>

namespace orvane {

// DXGI_FORMAT numbers the capture meets.
inline constexpr uint32_t kDxgiFormatUnknown = 0;
inline constexpr uint32_t kDxgiFormatR16G16B16A16Typeless = 9;
inline constexpr uint32_t kDxgiFormatR16G16B16A16Float = 10;
inline constexpr uint32_t kDxgiFormatR10G10B10A2Typeless = 23;
inline constexpr uint32_t kDxgiFormatR10G10B10A2Unorm = 24;
inline constexpr uint32_t kDxgiFormatR8G8B8A8Typeless = 27;
inline constexpr uint32_t kDxgiFormatR8G8B8A8Unorm = 28;
inline constexpr uint32_t kDxgiFormatB8G8R8A8Unorm = 87;
inline constexpr uint32_t kDxgiFormatB8G8R8A8Typeless = 90;
inline constexpr uint32_t kDxgiFormatB8G8R8A8UnormSrgb = 91;

// "R16G16B16A16_FLOAT", "R10G10B10A2_UNORM", "R8G8B8A8_UNORM", "B8G8R8A8_UNORM",
// "B8G8R8A8_UNORM_SRGB", "UNKNOWN", else "other".
const char* CaptureFormatName(uint32_t format);
// The typed format a shader view uses for a captured format (typeless ones
// mapped to their typed form; others unchanged).
uint32_t ShaderViewFormat(uint32_t format);

enum class CaptureFormatClass { kFp16, kTenBit, kRgba8, kBgra8, kOther };
CaptureFormatClass ClassifyCaptureFormat(uint32_t format);

// Output rotation in degrees: 0, 90, 180 or 270.
// "0", "90", "180", "270" ("0" for anything else).
const char* RotationName(uint32_t degrees);
// DXGI_MODE_ROTATION (1 identity, 2 rotate90, 3 rotate180, 4 rotate270) to degrees; anything else 0.
uint32_t RotationFromDxgi(uint32_t dxgi_rotation);

// The rotation to correct: the output's, except that a 90/270 output whose
// frame already has the upright desktop size (and is not square) gets 0.
uint32_t RotationCorrection(uint32_t output_rotation, uint32_t frame_width, uint32_t frame_height,
                            uint32_t desktop_width, uint32_t desktop_height);

// The shader's source mapping: source pixel = (mapX.x*x + mapX.y*y + mapX.z,
// mapY.x*x + mapY.y*y + mapY.z) for output pixel (x, y) (fourth values 0).
struct RotationMap {
  std::array<int32_t, 4> map_x{};
  std::array<int32_t, 4> map_y{};
  uint32_t upright_width = 0;
  uint32_t upright_height = 0;
};
RotationMap MakeRotationMap(uint32_t rotation, uint32_t source_width, uint32_t source_height);

// The Params constant buffer of the pixel shader, 48 bytes.
struct ConverterParams {
  std::array<int32_t, 4> map_x{};
  std::array<int32_t, 4> map_y{};
  float sdr_white_scale = 1.0f;
  uint32_t tone_map = 0;
  float highlight_desaturation = 0.5f;
  uint32_t pad0 = 0;
};
static_assert(sizeof(ConverterParams) == 48, "the shader's constant buffer is 48 bytes");

// White level / 80 clamped to 1.0..12.5; 1.0 when the level is not positive.
float SdrWhiteScale(float sdr_white_nits);

// SDR white level in nits from the display configuration's report (x 80 / 1000).
float SdrWhiteNitsFromReport(uint32_t reported);

enum class CapturePath { kToneMapToSdr, kConvert, kPassthrough };
// "gpu-tone-map-to-sdr", "gpu-convert", "passthrough".
const char* CapturePathName(CapturePath path);

struct FramePlan {
  CaptureFormatClass format_class = CaptureFormatClass::kBgra8;
  uint32_t rotation = 0;  // the correction applied
  CapturePath path = CapturePath::kPassthrough;
  bool tone_map = false;
  float sdr_white_scale = 1.0f;
  // The frame cannot be delivered: it needs the converter, which is unavailable.
  bool needs_unavailable_converter = false;
  // A rotated bgra8 frame goes out unrotated (no converter).
  bool unrotated_fallback = false;
};

struct FramePlanInput {
  uint32_t format = kDxgiFormatB8G8R8A8Unorm;
  uint32_t frame_width = 0;
  uint32_t frame_height = 0;
  uint32_t output_rotation = 0;  // degrees
  uint32_t desktop_width = 0;    // upright desktop size of the output
  uint32_t desktop_height = 0;
  bool hdr = false;
  float sdr_white_nits = 80.0f;
  bool converter_ready = false;
};
FramePlan PlanCapturedFrame(const FramePlanInput& in);

// The converter's parameters for a plan and a source size.
ConverterParams MakeConverterParams(const FramePlan& plan, uint32_t source_width, uint32_t source_height);

// The pixel shader on the CPU, for one pixel: linear rgb in, 8-bit channels
// out (rounded to nearest, as a UNORM target stores them). Tone mapping
// (with its sRGB encoding) only when params.tone_map is set; otherwise the
// colour is already gamma-encoded and only saturated.
std::array<uint8_t, 3> ReferenceConvertPixel(const std::array<float, 3>& rgb, const ConverterParams& params);

// Where the source pixel of output pixel (x, y) lies.
void MapOutputPixel(const ConverterParams& params, int32_t x, int32_t y, int32_t* sx, int32_t* sy);

}  // namespace orvane
