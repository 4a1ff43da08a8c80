#include "host/video/color_convert.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>

#include "host/video/color_convert_kernels.h"

namespace orvane {

namespace {

uint32_t EvenDown(uint32_t v) { return v > 1 ? (v & ~1u) : v; }

constexpr uint8_t kOpaqueBlack[4] = {0, 0, 0, 255};

void FillOpaqueBlack(uint8_t* dst, size_t pixel_count) {
  for (size_t i = 0; i < pixel_count; ++i) std::memcpy(dst + i * 4, kOpaqueBlack, 4);
}

// resize() keeps the capacity when it shrinks or stays within it; a size the
// allocator cannot give is a refusal, not an exception.
bool ResizeBuffer(std::vector<uint8_t>* buffer, size_t bytes) {
  try {
    buffer->resize(bytes);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool PitchCoversWidth(uint32_t pitch, uint32_t width) {
  return static_cast<uint64_t>(pitch) >= static_cast<uint64_t>(width) * 4;
}

uint64_t ChromaPairs(uint32_t width) { return (static_cast<uint64_t>(width) + 1) / 2; }

bool ValidSource(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height) {
  return pixels != nullptr && width != 0 && height != 0 && PitchCoversWidth(pitch, width);
}

struct Kernels {
  color_kernels::Nv12RowFn nv12 = nullptr;
  color_kernels::I420RowFn i420 = nullptr;
};

Kernels KernelsFor(ColorKernel kernel) {
  switch (kernel) {
#ifdef ORVANE_COLOR_X86
    case ColorKernel::kAvx2: return {color_kernels::Nv12RowAvx2, color_kernels::I420RowAvx2};
    case ColorKernel::kSsse3: return {color_kernels::Nv12RowSsse3, color_kernels::I420RowSsse3};
#endif
    case ColorKernel::kScalar: return {color_kernels::Nv12RowScalar, color_kernels::I420RowScalar};
    default: return {};
  }
}

ColorKernel DetectBestKernel() {
#ifdef ORVANE_COLOR_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return ColorKernel::kAvx2;
  if (__builtin_cpu_supports("ssse3")) return ColorKernel::kSsse3;
#endif
  return ColorKernel::kScalar;
}

inline uint8_t ClampByte(int v, int lo, int hi) { return static_cast<uint8_t>(std::clamp(v, lo, hi)); }

// BT.709 limited range scaled by 256. `>>` of a negative int is an arithmetic
// shift (C++20), so the chroma rounds toward minus infinity.
inline uint8_t Luma(const uint8_t* p) {
  const int b = p[0], g = p[1], r = p[2];
  return ClampByte(((16 * b + 157 * g + 47 * r + 128) >> 8) + 16, 16, 235);
}
inline uint8_t ChromaB(const uint8_t* p) {
  const int b = p[0], g = p[1], r = p[2];
  return ClampByte(((112 * b - 87 * g - 26 * r + 128) >> 8) + 128, 16, 240);
}
inline uint8_t ChromaR(const uint8_t* p) {
  const int b = p[0], g = p[1], r = p[2];
  return ClampByte(((112 * r - 102 * g - 10 * b + 128) >> 8) + 128, 16, 240);
}

}  // namespace

namespace color_kernels {

void Nv12RowScalar(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* uv) {
  for (uint32_t x = 0; x < width; ++x) y[x] = Luma(src + static_cast<size_t>(x) * 4);
  if (uv == nullptr) return;
  for (uint32_t x = 0; x < width; x += 2) {
    const uint8_t* p = src + static_cast<size_t>(x) * 4;
    uv[x] = ChromaB(p);
    uv[static_cast<size_t>(x) + 1] = ChromaR(p);
  }
}

void I420RowScalar(const uint8_t* src, uint32_t width, uint8_t* y, uint8_t* u, uint8_t* v) {
  for (uint32_t x = 0; x < width; ++x) y[x] = Luma(src + static_cast<size_t>(x) * 4);
  if (u == nullptr || v == nullptr) return;
  for (uint32_t x = 0; x < width; x += 2) {
    const uint8_t* p = src + static_cast<size_t>(x) * 4;
    u[x / 2] = ChromaB(p);
    v[x / 2] = ChromaR(p);
  }
}

}  // namespace color_kernels

FitRectResult FitRect(uint32_t sw, uint32_t sh, uint32_t tw, uint32_t th) {
  FitRectResult r{0, 0, tw, th};
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return r;
  const uint64_t wide = static_cast<uint64_t>(th) * sw;  // th x sw against tw x sh
  const uint64_t tall = static_cast<uint64_t>(tw) * sh;
  uint64_t w = 0;
  uint64_t h = 0;
  if (wide > tall) {
    w = tw;
    h = static_cast<uint64_t>(tw) * sh / sw;
  } else if (wide == tall) {
    w = tw;
    h = th;
  } else {
    h = th;
    w = static_cast<uint64_t>(th) * sw / sh;
  }
  r.w = EvenDown(static_cast<uint32_t>(w));
  r.h = EvenDown(static_cast<uint32_t>(h));
  r.w = std::max(r.w, std::min(tw, 2u));
  r.h = std::max(r.h, std::min(th, 2u));
  r.x = ((tw - std::min(r.w, tw)) / 2) & ~1u;
  r.y = ((th - std::min(r.h, th)) / 2) & ~1u;
  return r;
}

bool ScaleBgraLetterbox(const uint8_t* pixels, uint32_t pitch, uint32_t sw, uint32_t sh, uint32_t tw, uint32_t th,
                        std::vector<uint8_t>* out) {
  if (pixels == nullptr || out == nullptr || sw == 0 || sh == 0 || tw == 0 || th == 0) return false;
  if (!PitchCoversWidth(pitch, sw)) return false;
  // Resizing `out` could move the pixels being read.
  const std::less<const uint8_t*> before;
  if (!out->empty() && !before(pixels, out->data()) && before(pixels, out->data() + out->size())) return false;
  size_t row_bytes = 0;
  size_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<size_t>(tw), size_t{4}, &row_bytes) ||
      __builtin_mul_overflow(row_bytes, static_cast<size_t>(th), &bytes)) {
    return false;
  }
  if (!ResizeBuffer(out, bytes)) return false;

  const FitRectResult fit = FitRect(sw, sh, tw, th);
  const uint32_t w = std::min(fit.w, tw);
  const uint32_t h = std::min(fit.h, th);
  const uint32_t x0 = std::min(fit.x, tw - w);
  const uint32_t y0 = std::min(fit.y, th - h);
  uint8_t* const base = out->data();

  // Only the bars are painted: every other byte is overwritten by the copy.
  FillOpaqueBlack(base, static_cast<size_t>(y0) * tw);
  FillOpaqueBlack(base + (static_cast<size_t>(y0) + h) * row_bytes, static_cast<size_t>(th - y0 - h) * tw);
  if (w == 0 || h == 0) return true;

  // Column j takes source column sw x j / w: its quotient and remainder step
  // by sw / w and sw % w, so no table (and no allocation) is needed.
  const uint32_t step_q = sw / w;
  const uint32_t step_r = sw % w;
  uint64_t previous_source_row = UINT64_MAX;
  for (uint32_t i = 0; i < h; ++i) {
    uint8_t* dst_row = base + (static_cast<size_t>(y0) + i) * row_bytes;
    FillOpaqueBlack(dst_row, x0);
    FillOpaqueBlack(dst_row + (static_cast<size_t>(x0) + w) * 4, tw - x0 - w);
    uint8_t* dst = dst_row + static_cast<size_t>(x0) * 4;
    const uint64_t source_row = static_cast<uint64_t>(sh) * i / h;
    if (source_row == previous_source_row) {
      std::memcpy(dst, dst - row_bytes, static_cast<size_t>(w) * 4);
      continue;
    }
    previous_source_row = source_row;
    const uint8_t* src = pixels + static_cast<size_t>(source_row) * pitch;
    if (w == sw) {
      std::memcpy(dst, src, static_cast<size_t>(w) * 4);
      continue;
    }
    uint32_t column = 0;
    uint32_t remainder = 0;
    for (uint32_t j = 0; j < w; ++j) {
      std::memcpy(dst + static_cast<size_t>(j) * 4, src + static_cast<size_t>(column) * 4, 4);
      column += step_q;
      remainder += step_r;
      if (remainder >= w) {
        remainder -= w;
        ++column;
      }
    }
  }
  return true;
}

bool FitToNegotiatedSize(BgraFrame* frame, uint32_t encoder_width, uint32_t encoder_height,
                         std::vector<uint8_t>* scaled) {
  if (frame == nullptr || scaled == nullptr || frame->pixels == nullptr) return false;
  const uint64_t encoder_pitch = static_cast<uint64_t>(encoder_width) * 4;
  if (encoder_width == 0 || encoder_height == 0 || encoder_pitch > UINT32_MAX) return false;
  if (frame->width == encoder_width && frame->height == encoder_height && frame->pitch == encoder_pitch) return true;
  if (!ScaleBgraLetterbox(frame->pixels, frame->pitch, frame->width, frame->height, encoder_width, encoder_height,
                          scaled)) {
    return false;
  }
  frame->pixels = scaled->data();
  frame->pitch = static_cast<uint32_t>(encoder_pitch);
  frame->width = encoder_width;
  frame->height = encoder_height;
  return true;
}

const char* ColorKernelName(ColorKernel kernel) {
  switch (kernel) {
    case ColorKernel::kScalar: return "scalar";
    case ColorKernel::kSsse3: return "ssse3";
    case ColorKernel::kAvx2: return "avx2";
  }
  return "unknown";
}

bool ColorKernelSupported(ColorKernel kernel) {
  switch (kernel) {
    case ColorKernel::kScalar: return true;
    case ColorKernel::kSsse3:
      return BestColorKernel() == ColorKernel::kSsse3 || BestColorKernel() == ColorKernel::kAvx2;
    case ColorKernel::kAvx2: return BestColorKernel() == ColorKernel::kAvx2;
  }
  return false;
}

ColorKernel BestColorKernel() {
  static const ColorKernel best = DetectBestKernel();
  return best;
}

bool ConvertBgraToNv12With(ColorKernel kernel, const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                           const Nv12Planes& out) {
  if (!ColorKernelSupported(kernel)) return false;
  const Kernels kernels = KernelsFor(kernel);
  if (kernels.nv12 == nullptr || !ValidSource(pixels, pitch, width, height)) return false;
  if (out.y == nullptr || out.uv == nullptr || out.y_stride < width || out.uv_stride < 2 * ChromaPairs(width)) {
    return false;
  }
  for (uint32_t row = 0; row < height; ++row) {
    uint8_t* uv = (row & 1) != 0 ? nullptr : out.uv + static_cast<size_t>(row / 2) * out.uv_stride;
    kernels.nv12(pixels + static_cast<size_t>(row) * pitch, width, out.y + static_cast<size_t>(row) * out.y_stride, uv);
  }
  return true;
}

bool ConvertBgraToI420With(ColorKernel kernel, const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                           const I420Planes& out) {
  if (!ColorKernelSupported(kernel)) return false;
  const Kernels kernels = KernelsFor(kernel);
  if (kernels.i420 == nullptr || !ValidSource(pixels, pitch, width, height)) return false;
  if (out.y == nullptr || out.u == nullptr || out.v == nullptr || out.y_stride < width ||
      out.u_stride < ChromaPairs(width) || out.v_stride < ChromaPairs(width)) {
    return false;
  }
  for (uint32_t row = 0; row < height; ++row) {
    const bool chroma = (row & 1) == 0;
    uint8_t* u = chroma ? out.u + static_cast<size_t>(row / 2) * out.u_stride : nullptr;
    uint8_t* v = chroma ? out.v + static_cast<size_t>(row / 2) * out.v_stride : nullptr;
    kernels.i420(pixels + static_cast<size_t>(row) * pitch, width, out.y + static_cast<size_t>(row) * out.y_stride, u,
                 v);
  }
  return true;
}

bool ConvertBgraToNv12Cpu(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                          const Nv12Planes& out) {
  return ConvertBgraToNv12With(BestColorKernel(), pixels, pitch, width, height, out);
}

bool ConvertBgraToI420Cpu(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                          const I420Planes& out) {
  return ConvertBgraToI420With(BestColorKernel(), pixels, pitch, width, height, out);
}

bool ConvertBgraToNv12Staging(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                              std::vector<uint8_t>* out) {
  if (out == nullptr || !ValidSource(pixels, pitch, width, height)) return false;
  if ((width & 1) != 0 || (height & 1) != 0) return false;
  size_t luma_bytes = 0;
  if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &luma_bytes) ||
      luma_bytes > SIZE_MAX / 3 * 2) {
    return false;
  }
  if (!ResizeBuffer(out, luma_bytes / 2 * 3)) return false;
  Nv12Planes planes;
  planes.y = out->data();
  planes.y_stride = width;
  planes.uv = out->data() + luma_bytes;
  planes.uv_stride = width;
  return ConvertBgraToNv12Cpu(pixels, pitch, width, height, planes);
}

}  // namespace orvane
