#pragma once
// Row kernels of the BGRA conversion, private to color_convert*.cpp.
//
// A row kernel converts `width` pixels of one BGRA row: Y for every pixel,
// and on a row that carries chroma (uv, or u and v, non-null) the Cb/Cr of
// every even column. Chroma pointers address the pair of column 0: NV12 has
// Cb at uv[x] and Cr at uv[x + 1] for even x, I420 has them at u[x / 2] and
// v[x / 2]. Kernels read exactly width x 4 bytes of the row and write
// exactly width Y bytes and (width + 1) / 2 chroma pairs.

#include <cstdint>

namespace orvane::color_kernels {

using Nv12RowFn = void (*)(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv);
using I420RowFn = void (*)(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v);

void Nv12RowScalar(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv);
void I420RowScalar(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v);

// The x86 kernels exist in every x86-64 build (the instruction sets are
// chosen per function); callers check the processor first.
#if defined(__x86_64__) || defined(__i386__)
#define ORVANE_COLOR_X86 1
void Nv12RowSsse3(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv);
void I420RowSsse3(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v);
void Nv12RowAvx2(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv);
void I420RowAvx2(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v);
#endif

}  // namespace orvane::color_kernels
