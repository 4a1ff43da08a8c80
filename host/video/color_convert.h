#pragma once
// BGRA desktop frames into the encoder's picture: fitting without distortion
// (the letterbox rectangle, shared with the cursor mapping so the pointer
// lands where the picture is), nearest-neighbour scaling with black bars,
// and the BT.709 limited-range conversion to NV12 (and I420) on the CPU.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

struct FitRectResult {
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t w = 0;
  uint32_t h = 0;
  friend bool operator==(const FitRectResult&, const FitRectResult&) = default;
};

// The largest rectangle of the source's aspect inside the target, centred:
// widths and heights above 1 rounded down to even, at least min(target, 2),
// offsets rounded down to even. {0, 0, tw, th} when any argument is 0.
FitRectResult FitRect(uint32_t source_width, uint32_t source_height, uint32_t target_width, uint32_t target_height);

// A system-memory BGRA frame (4 bytes a pixel, B first).
struct BgraFrame {
  const uint8_t* pixels = nullptr;
  uint32_t pitch = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// Nearest-neighbour copy of the source into a target_width x target_height
// picture, aspect kept, the rest opaque black. `out` keeps its capacity.
// False for null pixels, a zero size, pitch < width x 4, a target whose
// byte count overflows (or cannot be allocated), or pixels inside `out`.
bool ScaleBgraLetterbox(const uint8_t* pixels, uint32_t pitch, uint32_t source_width, uint32_t source_height,
                        uint32_t target_width, uint32_t target_height, std::vector<uint8_t>* out);

// A frame of exactly the encoder size with pitch width x 4 is left as it is;
// any other is scaled into `scaled` and *frame then points at it. False (the
// frame untouched) for null pixels, a zero encoder size, or when the scaler
// refuses.
bool FitToNegotiatedSize(BgraFrame* frame, uint32_t encoder_width, uint32_t encoder_height,
                         std::vector<uint8_t>* scaled);

// Destination planes with their strides in bytes. NV12: a Y plane of
// height rows and an interleaved Cb/Cr plane of (height + 1) / 2 rows holding
// (width + 1) / 2 pairs. I420: Y, then Cb and Cr planes of (width + 1) / 2
// by (height + 1) / 2.
struct Nv12Planes {
  uint8_t* y = nullptr;
  uint32_t y_stride = 0;
  uint8_t* uv = nullptr;
  uint32_t uv_stride = 0;
};
struct I420Planes {
  uint8_t* y = nullptr;
  uint32_t y_stride = 0;
  uint8_t* u = nullptr;
  uint32_t u_stride = 0;
  uint8_t* v = nullptr;
  uint32_t v_stride = 0;
};

// BT.709 limited range, integer maths: Y for every pixel, Cb/Cr from the
// top-left pixel of each 2x2 block. The fastest kernel this processor runs
// (AVX2, SSSE3, scalar); all give the same bytes. False for null pointers,
// a zero size, pitch < width x 4, or strides too short for the width.
bool ConvertBgraToNv12Cpu(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                          const Nv12Planes& out);
bool ConvertBgraToI420Cpu(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                          const I420Planes& out);

// The conversion kernels. The scalar one is the reference the others must
// match byte for byte; tests and benchmarks name a kernel, everything else
// takes the best one this processor runs (chosen once, at first use).
enum class ColorKernel { kScalar, kSsse3, kAvx2 };
const char* ColorKernelName(ColorKernel kernel);
bool ColorKernelSupported(ColorKernel kernel);
ColorKernel BestColorKernel();

// As ConvertBgraToNv12Cpu / ConvertBgraToI420Cpu with the given kernel; also
// false when this processor cannot run it.
bool ConvertBgraToNv12With(ColorKernel kernel, const uint8_t* pixels, uint32_t pitch, uint32_t width,
                           uint32_t height, const Nv12Planes& out);
bool ConvertBgraToI420With(ColorKernel kernel, const uint8_t* pixels, uint32_t pitch, uint32_t width,
                           uint32_t height, const I420Planes& out);

// The staging layout the encoder feeds its transform: stride = width, the
// chroma plane at width x height. `out` is resized to width x height x 3 / 2
// (capacity kept); false as ConvertBgraToNv12Cpu, or for odd sizes.
bool ConvertBgraToNv12Staging(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                              std::vector<uint8_t>* out);

}  // namespace orvane
