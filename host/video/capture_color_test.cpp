#include "host/video/capture_color.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane {
namespace {

TEST(CaptureColorTest, SdrWhiteScaleIsClamped) {
  const struct {
    float nits;
    float scale;
  } cases[] = {{240, 3.0f}, {40, 1.0f}, {2000, 12.5f}, {0, 1.0f}, {-5, 1.0f}, {80, 1.0f}, {120, 1.5f}};
  for (const auto& c : cases) EXPECT_FLOAT_EQ(SdrWhiteScale(c.nits), c.scale) << c.nits;
  EXPECT_FLOAT_EQ(SdrWhiteNitsFromReport(3000), 240.0f);
}

TEST(CaptureColorTest, RotationCorrectionSkipsFramesThatArriveUpright) {
  const struct {
    uint32_t output, fw, fh, dw, dh, applied;
  } cases[] = {
      {90, 1080, 1920, 1920, 1080, 90},   // a portrait frame for a landscape desktop: rotate
      {90, 1920, 1080, 1920, 1080, 0},    // already upright
      {270, 1920, 1080, 1920, 1080, 0},
      {270, 1080, 1920, 1920, 1080, 270},
      {90, 1000, 1000, 1000, 1000, 90},   // square: always rotated
      {180, 1920, 1080, 1920, 1080, 180}, // 180 keeps the size, so it is always corrected
      {0, 1080, 1920, 1920, 1080, 0},
      {45, 10, 10, 10, 10, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RotationCorrection(c.output, c.fw, c.fh, c.dw, c.dh), c.applied) << c.output << " " << c.fw;
  }
  EXPECT_EQ(RotationFromDxgi(2), 90u);
  EXPECT_EQ(RotationFromDxgi(3), 180u);
  EXPECT_EQ(RotationFromDxgi(4), 270u);
  EXPECT_EQ(RotationFromDxgi(1), 0u);
  EXPECT_EQ(RotationFromDxgi(0), 0u);
  EXPECT_STREQ(RotationName(270), "270");
  EXPECT_STREQ(RotationName(7), "0");
}

// The 3 x 2 pattern 0..5 (row-major) through the shader's mapping.
std::vector<std::vector<int>> Rotate(uint32_t rotation) {
  const int w = 3, h = 2;
  const RotationMap map = MakeRotationMap(rotation, w, h);
  ConverterParams p;
  p.map_x = map.map_x;
  p.map_y = map.map_y;
  std::vector<std::vector<int>> rows(map.upright_height, std::vector<int>(map.upright_width));
  for (uint32_t y = 0; y < map.upright_height; ++y) {
    for (uint32_t x = 0; x < map.upright_width; ++x) {
      int32_t sx = 0, sy = 0;
      MapOutputPixel(p, static_cast<int32_t>(x), static_cast<int32_t>(y), &sx, &sy);
      EXPECT_TRUE(sx >= 0 && sx < w && sy >= 0 && sy < h);
      rows[y][x] = sy * w + sx;
    }
  }
  return rows;
}

TEST(CaptureColorTest, RotationMapsTurnThePictureUpright) {
  using Rows = std::vector<std::vector<int>>;
  EXPECT_EQ(Rotate(0), (Rows{{0, 1, 2}, {3, 4, 5}}));
  EXPECT_EQ(Rotate(90), (Rows{{3, 0}, {4, 1}, {5, 2}}));
  EXPECT_EQ(Rotate(180), (Rows{{5, 4, 3}, {2, 1, 0}}));
  EXPECT_EQ(Rotate(270), (Rows{{2, 5}, {1, 4}, {0, 3}}));
}

TEST(CaptureColorTest, ReferencePixelShader) {
  ConverterParams tone1;
  tone1.tone_map = 1;
  tone1.sdr_white_scale = 1.0f;
  ConverterParams tone3 = tone1;
  tone3.sdr_white_scale = 3.0f;
  ConverterParams plain;  // UNORM input: already gamma-encoded
  using Px = std::array<uint8_t, 3>;
  const struct {
    const char* name;
    std::array<float, 3> in;
    const ConverterParams* params;
    Px out;
  } cases[] = {
      {"mid grey encoded", {0.5f, 0.5f, 0.5f}, &tone1, {188, 188, 188}},
      {"highlight desaturated", {6, 3, 0}, &tone1, {255, 219, 173}},
      {"white level 240 nits", {6, 3, 0}, &tone3, {255, 207, 137}},
      {"negative clamps", {-1, 0, 0}, &tone1, {0, 0, 0}},
      {"plain keeps its encoding", {0.5f, 0.25f, 1.0f}, &plain, {128, 64, 255}},
      {"plain saturates", {2.0f, -1.0f, 0.0f}, &plain, {255, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReferenceConvertPixel(c.in, *c.params), c.out);
  }
}

TEST(CaptureColorTest, FramePlans) {
  const struct {
    const char* name;
    FramePlanInput in;
    CapturePath path;
    uint32_t rotation;
    bool tone_map;
    float scale;
    bool needs_converter;
    bool unrotated;
  } cases[] = {
      {"fp16 hdr", {kDxgiFormatR16G16B16A16Float, 1920, 1080, 0, 1920, 1080, true, 240, true},
       CapturePath::kToneMapToSdr, 0, true, 3.0f, false, false},
      {"fp16 without hdr", {kDxgiFormatR16G16B16A16Float, 1920, 1080, 0, 1920, 1080, false, 240, true},
       CapturePath::kToneMapToSdr, 0, true, 1.0f, false, false},
      {"10-bit", {kDxgiFormatR10G10B10A2Unorm, 1920, 1080, 0, 1920, 1080, false, 80, true}, CapturePath::kConvert, 0,
       false, 1.0f, false, false},
      {"rgba8", {kDxgiFormatR8G8B8A8Unorm, 1920, 1080, 0, 1920, 1080, false, 80, true}, CapturePath::kConvert, 0,
       false, 1.0f, false, false},
      {"other", {kDxgiFormatB8G8R8A8UnormSrgb, 1920, 1080, 0, 1920, 1080, false, 80, true}, CapturePath::kConvert, 0,
       false, 1.0f, false, false},
      {"bgra8 upright", {kDxgiFormatB8G8R8A8Unorm, 1920, 1080, 0, 1920, 1080, false, 80, true},
       CapturePath::kPassthrough, 0, false, 1.0f, false, false},
      {"bgra8 rotated", {kDxgiFormatB8G8R8A8Typeless, 1080, 1920, 90, 1920, 1080, false, 80, true},
       CapturePath::kConvert, 90, false, 1.0f, false, false},
      {"bgra8 rotated, no converter", {kDxgiFormatB8G8R8A8Unorm, 1080, 1920, 90, 1920, 1080, false, 80, false},
       CapturePath::kPassthrough, 0, false, 1.0f, false, true},
      {"fp16, no converter", {kDxgiFormatR16G16B16A16Float, 1920, 1080, 0, 1920, 1080, true, 80, false},
       CapturePath::kToneMapToSdr, 0, true, 1.0f, true, false},
      {"bgra8 upright, no converter", {kDxgiFormatB8G8R8A8Unorm, 1920, 1080, 0, 1920, 1080, false, 80, false},
       CapturePath::kPassthrough, 0, false, 1.0f, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FramePlan plan = PlanCapturedFrame(c.in);
    EXPECT_EQ(plan.path, c.path);
    EXPECT_EQ(plan.rotation, c.rotation);
    EXPECT_EQ(plan.tone_map, c.tone_map);
    EXPECT_FLOAT_EQ(plan.sdr_white_scale, c.scale);
    EXPECT_EQ(plan.needs_unavailable_converter, c.needs_converter);
    EXPECT_EQ(plan.unrotated_fallback, c.unrotated);
  }
  const FramePlan rotated = PlanCapturedFrame({kDxgiFormatB8G8R8A8Unorm, 3, 2, 270, 2, 3, false, 80, true});
  const ConverterParams p = MakeConverterParams(rotated, 3, 2);
  EXPECT_EQ(p.map_x, (std::array<int32_t, 4>{0, -1, 2, 0}));
  EXPECT_EQ(p.map_y, (std::array<int32_t, 4>{1, 0, 0, 0}));
  EXPECT_EQ(p.tone_map, 0u);
  EXPECT_FLOAT_EQ(p.highlight_desaturation, 0.5f);
}

TEST(CaptureColorTest, FormatNamesClassesAndViews) {
  const struct {
    uint32_t format;
    const char* name;
    CaptureFormatClass cls;
    uint32_t view;
  } cases[] = {
      {kDxgiFormatR16G16B16A16Float, "R16G16B16A16_FLOAT", CaptureFormatClass::kFp16, kDxgiFormatR16G16B16A16Float},
      {kDxgiFormatR16G16B16A16Typeless, "other", CaptureFormatClass::kFp16, kDxgiFormatR16G16B16A16Float},
      {kDxgiFormatR10G10B10A2Unorm, "R10G10B10A2_UNORM", CaptureFormatClass::kTenBit, kDxgiFormatR10G10B10A2Unorm},
      {kDxgiFormatR10G10B10A2Typeless, "other", CaptureFormatClass::kTenBit, kDxgiFormatR10G10B10A2Unorm},
      {kDxgiFormatR8G8B8A8Unorm, "R8G8B8A8_UNORM", CaptureFormatClass::kRgba8, kDxgiFormatR8G8B8A8Unorm},
      {kDxgiFormatR8G8B8A8Typeless, "other", CaptureFormatClass::kRgba8, kDxgiFormatR8G8B8A8Unorm},
      {kDxgiFormatB8G8R8A8Unorm, "B8G8R8A8_UNORM", CaptureFormatClass::kBgra8, kDxgiFormatB8G8R8A8Unorm},
      {kDxgiFormatB8G8R8A8Typeless, "other", CaptureFormatClass::kBgra8, kDxgiFormatB8G8R8A8Unorm},
      {kDxgiFormatB8G8R8A8UnormSrgb, "B8G8R8A8_UNORM_SRGB", CaptureFormatClass::kOther, kDxgiFormatB8G8R8A8UnormSrgb},
      {kDxgiFormatUnknown, "UNKNOWN", CaptureFormatClass::kOther, kDxgiFormatUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(CaptureFormatName(c.format), c.name) << c.format;
    EXPECT_EQ(ClassifyCaptureFormat(c.format), c.cls) << c.format;
    EXPECT_EQ(ShaderViewFormat(c.format), c.view) << c.format;
  }
  EXPECT_STREQ(CapturePathName(CapturePath::kToneMapToSdr), "gpu-tone-map-to-sdr");
  EXPECT_STREQ(CapturePathName(CapturePath::kConvert), "gpu-convert");
  EXPECT_STREQ(CapturePathName(CapturePath::kPassthrough), "passthrough");
}

}  // namespace
}  // namespace orvane
