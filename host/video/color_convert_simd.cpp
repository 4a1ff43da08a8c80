// SSSE3 and AVX2 row kernels, built for their instruction sets function by
// function, so the program itself still runs on any x86-64 processor. They
// give the scalar kernel's bytes exactly, with 16-bit arithmetic throughout.
//
// Y: each pixel's B G R A becomes B G G R, so one pmaddubsw gives the pairs
// (16 B + 78 G) and (79 G + 47 R): 157 G split into two factors that fit a
// signed byte, each pair at most 32 130, so nothing saturates. phaddw adds
// the pairs with wrap-around; the sum, at most 56 100, and the same plus
// 128 + 16 x 256 (at most 60 324) still fit 16 bits read as unsigned, so a
// logical shift by 8 gives Y, which then lies in 16..235 without a clamp.
// Cb/Cr: the top-left pixel of each pair of columns is repeated, so one
// pmaddubsw with (112, -87 | -26, 0 | -10, -102 | 112, 0) and one phaddw give
// Cb and Cr side by side, in NV12 order, between -28 815 and 28 560. Adding
// 128 + 128 x 256 makes them 4 081..61 456 unsigned, so the logical shift
// by 8 floors exactly as the scalar arithmetic shift does. The result lies
// in 15..240: only the lower clamp (to 16) can act.
// Every load and store is unaligned. On Win64 the compiler keeps the stack
// 16-byte aligned only; the few spills it makes there are unaligned moves
// and VEX memory operands, which need no alignment.

#include "host/video/color_convert_kernels.h"

#ifdef ORVANE_COLOR_X86

#include <immintrin.h>

#include <cstddef>

#define ORVANE_SSSE3 __attribute__((target("ssse3")))
#define ORVANE_SSSE3_INLINE __attribute__((target("ssse3"), always_inline)) inline
#define ORVANE_AVX2 __attribute__((target("avx2")))
#define ORVANE_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace orvane::color_kernels {

namespace {

constexpr short kLumaBias = 128 + (16 << 8);
constexpr short kChromaBias = static_cast<short>(128 + (128 << 8));  // 32 896, as 16 bits

// ---- SSSE3: 16 pixels a step ----

struct Sse4Vectors {
  __m128i v0, v1, v2, v3;
};

ORVANE_SSSE3_INLINE Sse4Vectors LoadSse(const uint8_t* p) {
  return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48))};
}

// pmaddubsw pairs of two vectors summed (wrapping, so sums up to 65 535 read
// as unsigned), biased and shifted: 8 results below 256 in 16-bit lanes.
ORVANE_SSSE3_INLINE __m128i SumsSse(__m128i shuffled0, __m128i shuffled1, __m128i coefficients, short bias) {
  const __m128i sums =
      _mm_hadd_epi16(_mm_maddubs_epi16(shuffled0, coefficients), _mm_maddubs_epi16(shuffled1, coefficients));
  return _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(bias)), 8);
}

ORVANE_SSSE3_INLINE __m128i LumaSse(const Sse4Vectors& v) {
  const __m128i shuffle = _mm_setr_epi8(0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14);
  const __m128i coefficients = _mm_setr_epi8(16, 78, 79, 47, 16, 78, 79, 47, 16, 78, 79, 47, 16, 78, 79, 47);
  const __m128i w01 =
      SumsSse(_mm_shuffle_epi8(v.v0, shuffle), _mm_shuffle_epi8(v.v1, shuffle), coefficients, kLumaBias);
  const __m128i w23 =
      SumsSse(_mm_shuffle_epi8(v.v2, shuffle), _mm_shuffle_epi8(v.v3, shuffle), coefficients, kLumaBias);
  return _mm_packus_epi16(w01, w23);
}

// Cb Cr of pixels 0, 2, ..., 14: 16 bytes.
ORVANE_SSSE3_INLINE __m128i ChromaSse(const Sse4Vectors& v) {
  const __m128i shuffle = _mm_setr_epi8(0, 1, 2, -1, 0, 1, 2, -1, 8, 9, 10, -1, 8, 9, 10, -1);
  const __m128i coefficients = _mm_setr_epi8(112, -87, -26, 0, -10, -102, 112, 0, 112, -87, -26, 0, -10, -102, 112, 0);
  const __m128i w01 =
      SumsSse(_mm_shuffle_epi8(v.v0, shuffle), _mm_shuffle_epi8(v.v1, shuffle), coefficients, kChromaBias);
  const __m128i w23 =
      SumsSse(_mm_shuffle_epi8(v.v2, shuffle), _mm_shuffle_epi8(v.v3, shuffle), coefficients, kChromaBias);
  const __m128i packed = _mm_packus_epi16(w01, w23);
  return _mm_max_epu8(packed, _mm_set1_epi8(16));
}

// ---- AVX2: 32 pixels a step ----

struct Avx4Vectors {
  __m256i v0, v1, v2, v3;
};

ORVANE_AVX2_INLINE Avx4Vectors LoadAvx(const uint8_t* p) {
  return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64)),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 96))};
}

// pmaddubsw pairs of two vectors summed (wrapping, so sums up to 65 535 read
// as unsigned), biased and shifted: 16 results below 256 in 16-bit lanes.
ORVANE_AVX2_INLINE __m256i SumsAvx(__m256i shuffled0, __m256i shuffled1, __m256i coefficients, short bias) {
  const __m256i sums =
      _mm256_hadd_epi16(_mm256_maddubs_epi16(shuffled0, coefficients), _mm256_maddubs_epi16(shuffled1, coefficients));
  return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(bias)), 8);
}

// The adds and packs work per 128-bit lane, which leaves groups of four
// bytes in the order 0 2 4 6 | 1 3 5 7.
ORVANE_AVX2_INLINE __m256i PackAvx(__m256i w01, __m256i w23) {
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

ORVANE_AVX2_INLINE __m256i LumaAvx(const Avx4Vectors& v) {
  const __m256i shuffle = _mm256_setr_epi8(0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14,  //
                                           0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14);
  const __m256i coefficients = _mm256_setr_epi8(16, 78, 79, 47, 16, 78, 79, 47, 16, 78, 79, 47, 16, 78, 79, 47,  //
                                                16, 78, 79, 47, 16, 78, 79, 47, 16, 78, 79, 47, 16, 78, 79, 47);
  const __m256i w01 =
      SumsAvx(_mm256_shuffle_epi8(v.v0, shuffle), _mm256_shuffle_epi8(v.v1, shuffle), coefficients, kLumaBias);
  const __m256i w23 =
      SumsAvx(_mm256_shuffle_epi8(v.v2, shuffle), _mm256_shuffle_epi8(v.v3, shuffle), coefficients, kLumaBias);
  return PackAvx(w01, w23);
}

// Cb Cr of pixels 0, 2, ..., 30: 32 bytes.
ORVANE_AVX2_INLINE __m256i ChromaAvx(const Avx4Vectors& v) {
  const __m256i shuffle = _mm256_setr_epi8(0, 1, 2, -1, 0, 1, 2, -1, 8, 9, 10, -1, 8, 9, 10, -1,  //
                                           0, 1, 2, -1, 0, 1, 2, -1, 8, 9, 10, -1, 8, 9, 10, -1);
  const __m256i coefficients =
      _mm256_setr_epi8(112, -87, -26, 0, -10, -102, 112, 0, 112, -87, -26, 0, -10, -102, 112, 0,  //
                       112, -87, -26, 0, -10, -102, 112, 0, 112, -87, -26, 0, -10, -102, 112, 0);
  const __m256i w01 =
      SumsAvx(_mm256_shuffle_epi8(v.v0, shuffle), _mm256_shuffle_epi8(v.v1, shuffle), coefficients, kChromaBias);
  const __m256i w23 =
      SumsAvx(_mm256_shuffle_epi8(v.v2, shuffle), _mm256_shuffle_epi8(v.v3, shuffle), coefficients, kChromaBias);
  return _mm256_max_epu8(PackAvx(w01, w23), _mm256_set1_epi8(16));
}

}  // namespace

ORVANE_SSSE3 void Nv12RowSsse3(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv) {
  const uint32_t done = width / 16 * 16;
  if (uv == nullptr) {
    for (uint32_t x = 0; x < done; x += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), LumaSse(LoadSse(src + static_cast<size_t>(x) * 4)));
    }
  } else {
    for (uint32_t x = 0; x < done; x += 16) {
      const Sse4Vectors v = LoadSse(src + static_cast<size_t>(x) * 4);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), LumaSse(v));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x), ChromaSse(v));
    }
  }
  Nv12RowScalar(src + static_cast<size_t>(done) * 4, width - done, y + done, uv == nullptr ? nullptr : uv + done);
}

ORVANE_SSSE3 void I420RowSsse3(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v) {
  const uint32_t done = width / 16 * 16;
  if (u == nullptr || v == nullptr) {
    for (uint32_t x = 0; x < done; x += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), LumaSse(LoadSse(src + static_cast<size_t>(x) * 4)));
    }
    Nv12RowScalar(src + static_cast<size_t>(done) * 4, width - done, y + done, nullptr);
    return;
  }
  const __m128i split = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  for (uint32_t x = 0; x < done; x += 16) {
    const Sse4Vectors pixels = LoadSse(src + static_cast<size_t>(x) * 4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), LumaSse(pixels));
    const __m128i planar = _mm_shuffle_epi8(ChromaSse(pixels), split);  // Cb x 8, Cr x 8
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), planar);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_unpackhi_epi64(planar, planar));
  }
  I420RowScalar(src + static_cast<size_t>(done) * 4, width - done, y + done, u + done / 2, v + done / 2);
}

ORVANE_AVX2 void Nv12RowAvx2(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv) {
  const uint32_t done = width / 32 * 32;
  if (uv == nullptr) {
    for (uint32_t x = 0; x < done; x += 32) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), LumaAvx(LoadAvx(src + static_cast<size_t>(x) * 4)));
    }
  } else {
    for (uint32_t x = 0; x < done; x += 32) {
      const Avx4Vectors v = LoadAvx(src + static_cast<size_t>(x) * 4);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), LumaAvx(v));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), ChromaAvx(v));
    }
  }
  Nv12RowScalar(src + static_cast<size_t>(done) * 4, width - done, y + done, uv == nullptr ? nullptr : uv + done);
}

ORVANE_AVX2 void I420RowAvx2(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v) {
  const uint32_t done = width / 32 * 32;
  if (u == nullptr || v == nullptr) {
    for (uint32_t x = 0; x < done; x += 32) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), LumaAvx(LoadAvx(src + static_cast<size_t>(x) * 4)));
    }
    Nv12RowScalar(src + static_cast<size_t>(done) * 4, width - done, y + done, nullptr);
    return;
  }
  // Per lane Cb x 8 then Cr x 8; the quadword permute joins the lanes.
  const __m256i split = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15,  //
                                         0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  for (uint32_t x = 0; x < done; x += 32) {
    const Avx4Vectors pixels = LoadAvx(src + static_cast<size_t>(x) * 4);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), LumaAvx(pixels));
    const __m256i planar = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(ChromaAvx(pixels), split), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x / 2), _mm256_castsi256_si128(planar));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x / 2), _mm256_extracti128_si256(planar, 1));
  }
  I420RowScalar(src + static_cast<size_t>(done) * 4, width - done, y + done, u + done / 2, v + done / 2);
}

}  // namespace orvane::color_kernels

#endif  // ORVANE_COLOR_X86
