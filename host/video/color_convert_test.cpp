#include "host/video/color_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

// Counts this thread's allocations while a test asks for it. The whole test
// program uses these replacements; they only count inside an
// AllocationCounter's lifetime, on its thread.
namespace {
thread_local bool t_count_allocations = false;
thread_local size_t t_allocations = 0;
}  // namespace

// Out of line, so the compiler does not pair an inlined free() with the
// new-expression it came from and call it a mismatch.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (t_count_allocations) ++t_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](std::size_t size) { return ::operator new(size); }
// The nothrow forms too: otherwise the library's would allocate through the
// sanitizer while the frees below come through here.
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (t_count_allocations) ++t_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
__attribute__((noinline)) void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace orvane {
namespace {

class AllocationCounter {
 public:
  AllocationCounter() {
    t_allocations = 0;
    t_count_allocations = true;
  }
  ~AllocationCounter() { Stop(); }
  size_t Stop() {
    t_count_allocations = false;
    return t_allocations;
  }
};

constexpr ColorKernel kAllKernels[] = {ColorKernel::kScalar, ColorKernel::kSsse3, ColorKernel::kAvx2};
constexpr ColorKernel kSimdKernels[] = {ColorKernel::kSsse3, ColorKernel::kAvx2};

std::string KernelParamName(const ::testing::TestParamInfo<ColorKernel>& info) { return ColorKernelName(info.param); }

#define SKIP_UNLESS_SUPPORTED(kernel)                                                  \
  do {                                                                                 \
    if (!ColorKernelSupported(kernel)) {                                               \
      std::printf("[  SKIPPED ] this processor has no %s\n", ColorKernelName(kernel)); \
      GTEST_SKIP() << "this processor has no " << ColorKernelName(kernel);             \
    }                                                                                  \
  } while (0)

// A BGRA source whose buffer ends exactly after the last row's pixels, so a
// read past a row is caught by the sanitizers; the padding between rows and
// every alpha byte hold noise the conversion must ignore.
struct Source {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pitch = 0;
  std::vector<uint8_t> bytes;
  uint8_t* Pixel(uint32_t x, uint32_t row) { return bytes.data() + static_cast<size_t>(row) * pitch + x * 4; }
};

Source MakeSource(uint32_t width, uint32_t height, uint32_t padding, std::mt19937* rng) {
  Source s;
  s.width = width;
  s.height = height;
  s.pitch = width * 4 + padding;
  s.bytes.resize(static_cast<size_t>(height - 1) * s.pitch + width * 4);
  for (uint8_t& b : s.bytes) b = static_cast<uint8_t>((*rng)());
  return s;
}

void Paint(Source* s, uint32_t x, uint32_t row, uint8_t b, uint8_t g, uint8_t r) {
  uint8_t* p = s->Pixel(x, row);
  p[0] = b;
  p[1] = g;
  p[2] = r;
}

// Destination planes whose row padding is poisoned and whose buffers end
// exactly after the last byte a conversion may write.
constexpr uint8_t kPoison = 0xA5;

struct Nv12Target {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> y;
  std::vector<uint8_t> uv;
  Nv12Planes planes;
  Nv12Target(uint32_t w, uint32_t h, uint32_t y_padding, uint32_t uv_padding) : width(w), height(h) {
    planes.y_stride = w + y_padding;
    planes.uv_stride = (w + 1) / 2 * 2 + uv_padding;
    y.assign(static_cast<size_t>(h - 1) * planes.y_stride + w, kPoison);
    uv.assign(static_cast<size_t>((h + 1) / 2 - 1) * planes.uv_stride + (w + 1) / 2 * 2, kPoison);
    planes.y = y.data();
    planes.uv = uv.data();
  }
  uint8_t Y(uint32_t x, uint32_t row) const { return y[static_cast<size_t>(row) * planes.y_stride + x]; }
  uint8_t Cb(uint32_t pair, uint32_t chroma_row) const {
    return uv[static_cast<size_t>(chroma_row) * planes.uv_stride + pair * 2];
  }
  uint8_t Cr(uint32_t pair, uint32_t chroma_row) const {
    return uv[static_cast<size_t>(chroma_row) * planes.uv_stride + pair * 2 + 1];
  }
};

struct I420Target {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> y;
  std::vector<uint8_t> u;
  std::vector<uint8_t> v;
  I420Planes planes;
  I420Target(uint32_t w, uint32_t h, uint32_t padding) : width(w), height(h) {
    const uint32_t cw = (w + 1) / 2;
    const uint32_t ch = (h + 1) / 2;
    planes.y_stride = w + padding;
    planes.u_stride = cw + padding;
    planes.v_stride = cw + padding + 1;
    y.assign(static_cast<size_t>(h - 1) * planes.y_stride + w, kPoison);
    u.assign(static_cast<size_t>(ch - 1) * planes.u_stride + cw, kPoison);
    v.assign(static_cast<size_t>(ch - 1) * planes.v_stride + cw, kPoison);
    planes.y = y.data();
    planes.u = u.data();
    planes.v = v.data();
  }
  uint8_t Cb(uint32_t pair, uint32_t chroma_row) const {
    return u[static_cast<size_t>(chroma_row) * planes.u_stride + pair];
  }
  uint8_t Cr(uint32_t pair, uint32_t chroma_row) const {
    return v[static_cast<size_t>(chroma_row) * planes.v_stride + pair];
  }
};

// Every padding byte of a plane still holds the poison.
bool PaddingIntact(const std::vector<uint8_t>& plane, uint32_t stride, uint32_t row_bytes) {
  for (size_t i = 0; i < plane.size(); ++i) {
    if (i % stride >= row_bytes && plane[i] != kPoison) return false;
  }
  return true;
}

// ---- the colour maths ----

struct ColourCase {
  const char* name;
  uint8_t b, g, r;
  uint8_t y, cb, cr;
};

constexpr ColourCase kColours[] = {
    {"white", 255, 255, 255, 235, 127, 128},
    {"black", 0, 0, 0, 16, 128, 128},
    {"red", 0, 0, 255, 63, 102, 240},
    {"yellow", 0, 255, 255, 219, 16, 138},  // Cb clamped from 15
};

class ColorKernelTest : public ::testing::TestWithParam<ColorKernel> {};

TEST_P(ColorKernelTest, SolidColoursGiveTheirLimitedRangeValues) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  std::mt19937 rng(7);
  constexpr uint32_t kWidth = 67;  // whole vector steps and a tail
  constexpr uint32_t kHeight = 3;
  for (const ColourCase& c : kColours) {
    SCOPED_TRACE(c.name);
    Source src = MakeSource(kWidth, kHeight, 8, &rng);
    for (uint32_t row = 0; row < kHeight; ++row) {
      for (uint32_t x = 0; x < kWidth; ++x) Paint(&src, x, row, c.b, c.g, c.r);
    }
    Nv12Target nv12(kWidth, kHeight, 0, 0);
    I420Target i420(kWidth, kHeight, 0);
    ASSERT_TRUE(ConvertBgraToNv12With(GetParam(), src.bytes.data(), src.pitch, kWidth, kHeight, nv12.planes));
    ASSERT_TRUE(ConvertBgraToI420With(GetParam(), src.bytes.data(), src.pitch, kWidth, kHeight, i420.planes));
    for (uint8_t y : nv12.y) ASSERT_EQ(y, c.y);
    for (uint8_t y : i420.y) ASSERT_EQ(y, c.y);
    for (uint32_t row = 0; row < 2; ++row) {
      for (uint32_t pair = 0; pair < (kWidth + 1) / 2; ++pair) {
        ASSERT_EQ(nv12.Cb(pair, row), c.cb);
        ASSERT_EQ(nv12.Cr(pair, row), c.cr);
        ASSERT_EQ(i420.Cb(pair, row), c.cb);
        ASSERT_EQ(i420.Cr(pair, row), c.cr);
      }
    }
  }
}

// Each 2x2 block takes its chroma from its top-left pixel, not an average;
// with odd sizes the last column and row are blocks of their own.
TEST_P(ColorKernelTest, ChromaComesFromTheTopLeftPixel) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  std::mt19937 rng(11);
  const struct { uint32_t width, height; } sizes[] = {{2, 2}, {3, 3}, {35, 3}, {67, 5}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    Source src = MakeSource(size.width, size.height, 4, &rng);
    // Top-left pixels cycle through the table; every other pixel is blue,
    // which would move any average.
    for (uint32_t row = 0; row < size.height; ++row) {
      for (uint32_t x = 0; x < size.width; ++x) {
        if (row % 2 == 0 && x % 2 == 0) {
          const ColourCase& c = kColours[(x / 2 + row / 2) % 4];
          Paint(&src, x, row, c.b, c.g, c.r);
        } else {
          Paint(&src, x, row, 255, 0, 0);
        }
      }
    }
    Nv12Target nv12(size.width, size.height, 0, 0);
    I420Target i420(size.width, size.height, 0);
    ASSERT_TRUE(ConvertBgraToNv12With(GetParam(), src.bytes.data(), src.pitch, size.width, size.height, nv12.planes));
    ASSERT_TRUE(ConvertBgraToI420With(GetParam(), src.bytes.data(), src.pitch, size.width, size.height, i420.planes));
    for (uint32_t crow = 0; crow < (size.height + 1) / 2; ++crow) {
      for (uint32_t pair = 0; pair < (size.width + 1) / 2; ++pair) {
        const ColourCase& c = kColours[(pair + crow) % 4];
        EXPECT_EQ(nv12.Cb(pair, crow), c.cb) << pair << "," << crow;
        EXPECT_EQ(nv12.Cr(pair, crow), c.cr) << pair << "," << crow;
        EXPECT_EQ(i420.Cb(pair, crow), c.cb) << pair << "," << crow;
        EXPECT_EQ(i420.Cr(pair, crow), c.cr) << pair << "," << crow;
      }
    }
    EXPECT_EQ(nv12.Y(0, 0), kColours[0].y);
    EXPECT_EQ(nv12.Y(1, 0), 32);  // blue: ((16 x 255 + 128) >> 8) + 16
  }
}

// Every B, G, R triple, each once as the top-left pixel of a 2x2 block (so
// it sets a Cb/Cr pair) and at least once as a Y pixel, in chunks of 4096 x 64
// pixels: the kernel must give the scalar reference's bytes.
class SimdKernelTest : public ::testing::TestWithParam<ColorKernel> {};

TEST_P(SimdKernelTest, EveryTripleMatchesTheScalarKernel) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  constexpr uint32_t kWidth = 4096;
  constexpr uint32_t kHeight = 64;
  constexpr uint32_t kTriplesPerChunk = kWidth / 2 * (kHeight / 2);
  std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 4);
  Nv12Target want(kWidth, kHeight, 0, 0);
  Nv12Target got(kWidth, kHeight, 0, 0);
  I420Target got_planar(kWidth, kHeight, 0);
  for (uint32_t first = 0; first < (1u << 24); first += kTriplesPerChunk) {
    for (uint32_t row = 0; row < kHeight; ++row) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        const uint32_t triple = first + (row / 2) * (kWidth / 2) + x / 2;
        // The other three pixels of a block carry other triples for Y.
        const uint32_t mix[4] = {0, 0x5A3C96u, 0xC3A50Fu, 0xFFFFFFu};
        const uint32_t value = triple ^ mix[(row % 2) * 2 + x % 2];
        uint8_t* p = frame.data() + (static_cast<size_t>(row) * kWidth + x) * 4;
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>(value >> 8);
        p[2] = static_cast<uint8_t>(value >> 16);
        p[3] = static_cast<uint8_t>(x * 7 + row * 13);
      }
    }
    ASSERT_TRUE(ConvertBgraToNv12With(ColorKernel::kScalar, frame.data(), kWidth * 4, kWidth, kHeight, want.planes));
    ASSERT_TRUE(ConvertBgraToNv12With(GetParam(), frame.data(), kWidth * 4, kWidth, kHeight, got.planes));
    ASSERT_TRUE(ConvertBgraToI420With(GetParam(), frame.data(), kWidth * 4, kWidth, kHeight, got_planar.planes));
    if (want.y != got.y || want.uv != got.uv || want.y != got_planar.y) {
      for (size_t i = 0; i < want.y.size(); ++i) {
        ASSERT_EQ(want.y[i], got.y[i]) << "Y of pixel " << i << " in the chunk from triple " << first;
        ASSERT_EQ(want.y[i], got_planar.y[i]) << "I420 Y of pixel " << i << " in the chunk from triple " << first;
      }
      for (size_t i = 0; i < want.uv.size(); ++i) {
        ASSERT_EQ(want.uv[i], got.uv[i]) << "chroma byte " << i << " of triple " << first + i / 2;
      }
    }
    for (uint32_t crow = 0; crow < kHeight / 2; ++crow) {
      for (uint32_t pair = 0; pair < kWidth / 2; ++pair) {
        const uint32_t triple = first + crow * (kWidth / 2) + pair;
        ASSERT_EQ(got_planar.Cb(pair, crow), want.Cb(pair, crow)) << "I420 Cb of triple " << triple;
        ASSERT_EQ(got_planar.Cr(pair, crow), want.Cr(pair, crow)) << "I420 Cr of triple " << triple;
      }
    }
  }
}

// Every width up to two AVX2 steps and a tail, odd and even heights, pitches
// with padding (not always a multiple of 4): the same bytes as the scalar
// kernel, nothing written into the destination padding or past the planes.
TEST_P(ColorKernelTest, EveryWidthMatchesTheScalarKernel) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  std::mt19937 rng(1234);
  for (uint32_t width = 1; width <= 67; ++width) {
    for (uint32_t height : {1u, 2u, 3u, 6u}) {
      for (uint32_t padding : {0u, 3u, 64u}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " padding " + std::to_string(padding));
        const Source src = MakeSource(width, height, padding, &rng);
        Nv12Target want(width, height, 0, 0);
        Nv12Target got(width, height, 5, 3);
        I420Target planar(width, height, 2);
        ASSERT_TRUE(
            ConvertBgraToNv12With(ColorKernel::kScalar, src.bytes.data(), src.pitch, width, height, want.planes));
        ASSERT_TRUE(ConvertBgraToNv12With(GetParam(), src.bytes.data(), src.pitch, width, height, got.planes));
        ASSERT_TRUE(ConvertBgraToI420With(GetParam(), src.bytes.data(), src.pitch, width, height, planar.planes));
        const uint32_t pairs = (width + 1) / 2;
        for (uint32_t row = 0; row < height; ++row) {
          for (uint32_t x = 0; x < width; ++x) {
            ASSERT_EQ(got.Y(x, row), want.Y(x, row)) << x << "," << row;
            ASSERT_EQ(planar.y[static_cast<size_t>(row) * planar.planes.y_stride + x], want.Y(x, row))
                << x << "," << row;
          }
        }
        for (uint32_t crow = 0; crow < (height + 1) / 2; ++crow) {
          for (uint32_t pair = 0; pair < pairs; ++pair) {
            ASSERT_EQ(got.Cb(pair, crow), want.Cb(pair, crow)) << pair << "," << crow;
            ASSERT_EQ(got.Cr(pair, crow), want.Cr(pair, crow)) << pair << "," << crow;
            ASSERT_EQ(planar.Cb(pair, crow), want.Cb(pair, crow)) << pair << "," << crow;
            ASSERT_EQ(planar.Cr(pair, crow), want.Cr(pair, crow)) << pair << "," << crow;
          }
        }
        EXPECT_TRUE(PaddingIntact(got.y, got.planes.y_stride, width));
        EXPECT_TRUE(PaddingIntact(got.uv, got.planes.uv_stride, pairs * 2));
        EXPECT_TRUE(PaddingIntact(planar.y, planar.planes.y_stride, width));
        EXPECT_TRUE(PaddingIntact(planar.u, planar.planes.u_stride, pairs));
        EXPECT_TRUE(PaddingIntact(planar.v, planar.planes.v_stride, pairs));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ColorKernelTest, ::testing::ValuesIn(kAllKernels), KernelParamName);
INSTANTIATE_TEST_SUITE_P(Kernels, SimdKernelTest, ::testing::ValuesIn(kSimdKernels), KernelParamName);

TEST(ColorConvertTest, BestKernelIsOneThisProcessorRuns) {
  EXPECT_TRUE(ColorKernelSupported(BestColorKernel()));
  EXPECT_TRUE(ColorKernelSupported(ColorKernel::kScalar));
  std::printf("colour conversion kernel: %s\n", ColorKernelName(BestColorKernel()));
  for (ColorKernel k : kSimdKernels) {
    if (!ColorKernelSupported(k)) std::printf("this processor has no %s: not compared\n", ColorKernelName(k));
  }
}

TEST(ColorConvertTest, RefusesInvalidArguments) {
  uint8_t pixels[16 * 4] = {};
  uint8_t y[64] = {};
  uint8_t uv[64] = {};
  uint8_t v[64] = {};
  const Nv12Planes good{y, 4, uv, 4};
  const struct {
    const char* name;
    const uint8_t* pixels;
    uint32_t pitch, width, height;
    Nv12Planes planes;
  } cases[] = {
      {"null pixels", nullptr, 16, 4, 2, good},
      {"zero width", pixels, 16, 0, 2, good},
      {"zero height", pixels, 16, 4, 0, good},
      {"short pitch", pixels, 15, 4, 2, good},
      {"width x 4 beyond 32 bits", pixels, 0xFFFFFFFFu, 0x40000000u, 1, good},
      {"null Y plane", pixels, 16, 4, 2, {nullptr, 4, uv, 4}},
      {"null chroma plane", pixels, 16, 4, 2, {y, 4, nullptr, 4}},
      {"short Y stride", pixels, 16, 4, 2, {y, 3, uv, 4}},
      {"short chroma stride", pixels, 16, 4, 2, {y, 4, uv, 3}},
      {"chroma stride without the odd column's pair", pixels, 12, 3, 2, {y, 3, uv, 3}},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ConvertBgraToNv12Cpu(c.pixels, c.pitch, c.width, c.height, c.planes)) << c.name;
  }
  EXPECT_TRUE(ConvertBgraToNv12Cpu(pixels, 12, 3, 2, {y, 3, uv, 4}));

  const I420Planes planar{y, 3, uv, 2, v, 2};
  const struct {
    const char* name;
    const uint8_t* pixels;
    uint32_t pitch, width, height;
    I420Planes planes;
  } planar_cases[] = {
      {"null pixels", nullptr, 12, 3, 2, planar},
      {"zero width", pixels, 12, 0, 2, planar},
      {"short pitch", pixels, 11, 3, 2, planar},
      {"null Cr plane", pixels, 12, 3, 2, {y, 3, uv, 2, nullptr, 2}},
      {"short Cb stride", pixels, 12, 3, 2, {y, 3, uv, 1, v, 2}},
      {"short Cr stride", pixels, 12, 3, 2, {y, 3, uv, 2, v, 1}},
  };
  for (const auto& c : planar_cases) {
    EXPECT_FALSE(ConvertBgraToI420Cpu(c.pixels, c.pitch, c.width, c.height, c.planes)) << c.name;
  }
  EXPECT_TRUE(ConvertBgraToI420Cpu(pixels, 12, 3, 2, planar));
}

// ---- the staging buffer ----

TEST(ColorConvertStagingTest, LaysOutYThenChromaAtWidthTimesHeight) {
  std::mt19937 rng(3);
  const Source src = MakeSource(6, 4, 12, &rng);
  std::vector<uint8_t> staging;
  ASSERT_TRUE(ConvertBgraToNv12Staging(src.bytes.data(), src.pitch, 6, 4, &staging));
  ASSERT_EQ(staging.size(), 36u);
  Nv12Target want(6, 4, 0, 0);
  ASSERT_TRUE(ConvertBgraToNv12With(ColorKernel::kScalar, src.bytes.data(), src.pitch, 6, 4, want.planes));
  EXPECT_EQ(std::vector<uint8_t>(staging.begin(), staging.begin() + 24), want.y);
  EXPECT_EQ(std::vector<uint8_t>(staging.begin() + 24, staging.end()), want.uv);
}

TEST(ColorConvertStagingTest, RefusesOddAndInvalidSizes) {
  uint8_t pixels[4 * 4 * 4] = {};
  std::vector<uint8_t> staging;
  const struct {
    const char* name;
    const uint8_t* pixels;
    uint32_t pitch, width, height;
    std::vector<uint8_t>* out;
  } cases[] = {
      {"odd width", pixels, 16, 3, 2, &staging},    {"odd height", pixels, 16, 4, 3, &staging},
      {"width 1", pixels, 16, 1, 2, &staging},      {"zero width", pixels, 16, 0, 2, &staging},
      {"zero height", pixels, 16, 4, 0, &staging},  {"short pitch", pixels, 15, 4, 2, &staging},
      {"null pixels", nullptr, 16, 4, 2, &staging}, {"null buffer", pixels, 16, 4, 2, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ConvertBgraToNv12Staging(c.pixels, c.pitch, c.width, c.height, c.out)) << c.name;
    EXPECT_TRUE(staging.empty()) << c.name;
  }
}

// ---- fitting ----

TEST(FitRectTest, LetterboxesEvenly) {
  const struct {
    uint32_t sw, sh, tw, th;
    FitRectResult fit;
  } cases[] = {
      {1920, 1080, 1920, 1200, {0, 60, 1920, 1080}},
      {1080, 1920, 1920, 1080, {656, 0, 606, 1080}},
      {2560, 1600, 1920, 1080, {96, 0, 1728, 1080}},
      {3, 1, 1920, 1080, {0, 220, 1920, 640}},
      {1, 1, 1, 1, {0, 0, 1, 1}},
      {1920, 1080, 1280, 800, {0, 40, 1280, 720}},
      {1366, 768, 1280, 800, {0, 40, 1280, 718}},
      {1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},
      {0, 1080, 1280, 800, {0, 0, 1280, 800}},
      {1920, 1080, 0, 800, {0, 0, 0, 800}},
      {10000, 1, 4, 4, {0, 0, 4, 2}},  // a sliver still gets two rows
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitRect(c.sw, c.sh, c.tw, c.th), c.fit) << c.sw << "x" << c.sh << " in " << c.tw << "x" << c.th;
  }
}

// ---- scaling ----

// The letterbox picture pixel by pixel: nearest-neighbour source pixels in
// the FitRect, opaque black elsewhere.
std::vector<uint8_t> ExpectedLetterbox(const Source& src, uint32_t tw, uint32_t th) {
  const FitRectResult fit = FitRect(src.width, src.height, tw, th);
  std::vector<uint8_t> out(static_cast<size_t>(tw) * th * 4);
  for (uint32_t row = 0; row < th; ++row) {
    for (uint32_t x = 0; x < tw; ++x) {
      uint8_t* dst = out.data() + (static_cast<size_t>(row) * tw + x) * 4;
      if (row < fit.y || row >= fit.y + fit.h || x < fit.x || x >= fit.x + fit.w) {
        dst[0] = dst[1] = dst[2] = 0;
        dst[3] = 255;
        continue;
      }
      const uint64_t sr = static_cast<uint64_t>(src.height) * (row - fit.y) / fit.h;
      const uint32_t sc = static_cast<uint32_t>(static_cast<uint64_t>(src.width) * (x - fit.x) / fit.w);
      std::memcpy(dst, src.bytes.data() + sr * src.pitch + sc * 4, 4);
    }
  }
  return out;
}

TEST(ScaleBgraLetterboxTest, CopiesNearestPixelsIntoOpaqueBlackBars) {
  const struct {
    uint32_t sw, sh, padding, tw, th;
  } cases[] = {
      {1080, 1920, 0, 1920, 1080},    // portrait: bars left and right
      {1920, 1080, 0, 1920, 1200},    // bars above and below
      {2560, 1600, 36, 1920, 1080},   // down, padded pitch
      {3, 1, 0, 1920, 1080},          // up from a sliver
      {7, 5, 4, 64, 36},              // up, steps that do not divide
      {1920, 1080, 512, 1920, 1080},  // 1:1 with a wide pitch
  };
  std::mt19937 rng(5);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " into " + std::to_string(c.tw) + "x" +
                 std::to_string(c.th));
    Source src = MakeSource(c.sw, c.sh, c.padding, &rng);
    for (uint32_t row = 0; row < c.sh; ++row) {
      for (uint32_t x = 0; x < c.sw; ++x) src.Pixel(x, row)[3] = 255;
    }
    std::vector<uint8_t> out;
    ASSERT_TRUE(ScaleBgraLetterbox(src.bytes.data(), src.pitch, c.sw, c.sh, c.tw, c.th, &out));
    ASSERT_EQ(out.size(), static_cast<size_t>(c.tw) * c.th * 4);
    EXPECT_TRUE(out == ExpectedLetterbox(src, c.tw, c.th));
  }
}

TEST(ScaleBgraLetterboxTest, PortraitIntoLandscapeHasOpaqueBlackBars) {
  std::mt19937 rng(9);
  Source src = MakeSource(1080, 1920, 0, &rng);
  for (uint32_t row = 0; row < 1920; ++row) {
    for (uint32_t x = 0; x < 1080; ++x) src.Pixel(x, row)[3] = 255;
  }
  std::vector<uint8_t> out;
  ASSERT_TRUE(ScaleBgraLetterbox(src.bytes.data(), src.pitch, 1080, 1920, 1920, 1080, &out));
  size_t opaque = 0;
  size_t black_bar_pixels = 0;
  for (uint32_t row = 0; row < 1080; ++row) {
    for (uint32_t x = 0; x < 1920; ++x) {
      const uint8_t* p = out.data() + (static_cast<size_t>(row) * 1920 + x) * 4;
      opaque += p[3] == 255;
      if (x < 656 || x >= 656 + 606) black_bar_pixels += p[0] == 0 && p[1] == 0 && p[2] == 0;
    }
  }
  EXPECT_EQ(opaque, 1920u * 1080u);
  EXPECT_EQ(black_bar_pixels, (1920u - 606u) * 1080u);
}

TEST(ScaleBgraLetterboxTest, RefusesInvalidArguments) {
  uint8_t pixels[64] = {};
  std::vector<uint8_t> out;
  const struct {
    const char* name;
    const uint8_t* pixels;
    uint32_t pitch, sw, sh, tw, th;
    std::vector<uint8_t>* out;
  } cases[] = {
      {"null pixels", nullptr, 16, 4, 4, 8, 8, &out},
      {"null buffer", pixels, 16, 4, 4, 8, 8, nullptr},
      {"zero source width", pixels, 16, 0, 4, 8, 8, &out},
      {"zero source height", pixels, 16, 4, 0, 8, 8, &out},
      {"zero target width", pixels, 16, 4, 4, 0, 8, &out},
      {"zero target height", pixels, 16, 4, 4, 8, 0, &out},
      {"short pitch", pixels, 15, 4, 4, 8, 8, &out},
      {"width x 4 beyond 32 bits", pixels, 0xFFFFFFFFu, 0x40000000u, 1, 8, 8, &out},
      {"target bytes overflow", pixels, 16, 4, 4, 0xFFFFFFFFu, 0xFFFFFFFFu, &out},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ScaleBgraLetterbox(c.pixels, c.pitch, c.sw, c.sh, c.tw, c.th, c.out)) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(FitToNegotiatedSizeTest, TightFrameOfTheEncoderSizeIsUsedAsIs) {
  std::vector<uint8_t> pixels(static_cast<size_t>(7680) * 1080, 0x40);
  std::vector<uint8_t> scaled;
  BgraFrame frame{pixels.data(), 7680, 1920, 1080};
  ASSERT_TRUE(FitToNegotiatedSize(&frame, 1920, 1080, &scaled));
  EXPECT_EQ(frame.pixels, pixels.data());
  EXPECT_EQ(frame.pitch, 7680u);
  EXPECT_EQ(frame.width, 1920u);
  EXPECT_EQ(frame.height, 1080u);
  EXPECT_TRUE(scaled.empty());
}

TEST(FitToNegotiatedSizeTest, WidePitchIsCopiedOneToOne) {
  std::mt19937 rng(13);
  const Source src = MakeSource(1920, 1080, 8192 - 7680, &rng);
  std::vector<uint8_t> scaled;
  BgraFrame frame{src.bytes.data(), 8192, 1920, 1080};
  ASSERT_TRUE(FitToNegotiatedSize(&frame, 1920, 1080, &scaled));
  EXPECT_EQ(frame.pixels, scaled.data());
  EXPECT_EQ(frame.pitch, 7680u);
  EXPECT_EQ(frame.width, 1920u);
  EXPECT_EQ(frame.height, 1080u);
  ASSERT_EQ(scaled.size(), static_cast<size_t>(7680) * 1080);
  for (uint32_t row = 0; row < 1080; ++row) {
    ASSERT_EQ(std::memcmp(scaled.data() + static_cast<size_t>(row) * 7680,
                          src.bytes.data() + static_cast<size_t>(row) * 8192, 7680),
              0)
        << "row " << row;
  }
}

TEST(FitToNegotiatedSizeTest, OtherSizesAreLetterboxedAndRefusalsLeaveTheFrame) {
  std::mt19937 rng(17);
  const Source src = MakeSource(640, 480, 0, &rng);
  std::vector<uint8_t> scaled;
  BgraFrame frame{src.bytes.data(), src.pitch, 640, 480};
  ASSERT_TRUE(FitToNegotiatedSize(&frame, 1280, 720, &scaled));
  EXPECT_EQ(frame.pixels, scaled.data());
  EXPECT_EQ(frame.pitch, 1280u * 4);
  EXPECT_EQ(frame.width, 1280u);
  EXPECT_EQ(frame.height, 720u);
  EXPECT_TRUE(scaled == ExpectedLetterbox(src, 1280, 720));

  BgraFrame short_pitch{src.bytes.data(), 640 * 4 - 4, 640, 480};
  EXPECT_FALSE(FitToNegotiatedSize(&short_pitch, 1280, 720, &scaled));
  EXPECT_EQ(short_pitch.pixels, src.bytes.data());
  EXPECT_EQ(short_pitch.width, 640u);
  BgraFrame zero{src.bytes.data(), src.pitch, 640, 480};
  EXPECT_FALSE(FitToNegotiatedSize(&zero, 0, 720, &scaled));
  EXPECT_EQ(zero.pixels, src.bytes.data());
  // The scaled buffer cannot be its own source: resizing it could move it.
  BgraFrame own{scaled.data(), 1280 * 4, 1280, 720};
  EXPECT_FALSE(FitToNegotiatedSize(&own, 640, 360, &scaled));
}

// ---- no allocation per frame ----

TEST(ColorConvertAllocationTest, NothingIsAllocatedAfterTheFirstFrameOfASize) {
  {
    AllocationCounter counter;  // the counter itself counts
    std::vector<uint8_t> probe(16);
    EXPECT_EQ(counter.Stop(), 1u);
  }
  std::mt19937 rng(19);
  const Source capture = MakeSource(1280, 800, 256, &rng);
  std::vector<uint8_t> scaled;
  std::vector<uint8_t> staging;
  Nv12Target nv12(1920, 1080, 0, 0);
  I420Target i420(1920, 1080, 0);
  auto encode_frame = [&](uint32_t encoder_width, uint32_t encoder_height) {
    BgraFrame frame{capture.bytes.data(), capture.pitch, capture.width, capture.height};
    return FitToNegotiatedSize(&frame, encoder_width, encoder_height, &scaled) &&
           ConvertBgraToNv12Staging(frame.pixels, frame.pitch, frame.width, frame.height, &staging) &&
           ConvertBgraToNv12Cpu(frame.pixels, frame.pitch, frame.width, frame.height, nv12.planes) &&
           ConvertBgraToI420Cpu(frame.pixels, frame.pitch, frame.width, frame.height, i420.planes);
  };
  ASSERT_TRUE(encode_frame(1920, 1080));  // the first frame of the size sizes the buffers
  bool ok = true;
  AllocationCounter counter;
  for (int i = 0; i < 3; ++i) ok = encode_frame(1920, 1080) && ok;
  ok = encode_frame(1280, 720) && ok;  // a smaller size fits the capacity
  ok = encode_frame(1920, 1080) && ok;
  const size_t allocations = counter.Stop();
  EXPECT_TRUE(ok);
  EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace orvane
