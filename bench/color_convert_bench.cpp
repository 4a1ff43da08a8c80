// The CPU conversion of one BGRA desktop frame into NV12, beside libyuv's
// ARGBToNV12 converting the same frame into the same planes in the same run.
//
//   BM_OrvaneNv12/WxH        ConvertBgraToNv12Cpu (the kernel this processor
//                            gets at run time).
//   BM_OrvaneNv12_<kernel>   The same with one kernel named (for comparison
//                            between kernels; scalar is the reference).
//   BM_LibyuvARGBToNV12/WxH  libyuv::ARGBToNV12 (BT.601 with averaged chroma,
//                            so only the time compares, not the bytes).
//
// Sizes 1920x1080 and 3840x2160, one thread, CPU time per frame. The frame
// looks like a desktop: a gradient wallpaper, flat title bars and taskbar,
// windows of dark anti-aliased text on white, and a photo-like area. By
// default each benchmark runs 5 repetitions interleaved at random with the
// others and the medians are compared (flags given on the command line take
// precedence). The last lines give both figures per size and their ratio;
// the conversion should cost at most 1.2 times libyuv's.

#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_support.h"
#include "host/video/color_convert.h"

namespace {

struct Size {
  uint32_t width;
  uint32_t height;
};
constexpr Size kSizes[] = {{1920, 1080}, {3840, 2160}};

std::string SizeName(const Size& size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

uint32_t Hash(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7FEB352Du;
  v ^= v >> 15;
  v *= 0x846CA68Bu;
  v ^= v >> 16;
  return v;
}

class DesktopFrame {
 public:
  explicit DesktopFrame(Size size) : size_(size), pixels_(static_cast<size_t>(size.width) * size.height * 4) {
    const uint32_t s = size.height / 1080;  // layout scale: 1 at 1080p, 2 at 4K
    for (uint32_t y = 0; y < size.height; ++y) {
      for (uint32_t x = 0; x < size.width; ++x) {
        Put(x, y, static_cast<uint8_t>(40 + x * 120 / size.width), static_cast<uint8_t>(60 + y * 100 / size.height),
            static_cast<uint8_t>(90 + (x + y) * 60 / (size.width + size.height)));
      }
    }
    Window(80 * s, 60 * s, 1100 * s, 760 * s, s, /*photo=*/false);
    Window(900 * s, 200 * s, 900 * s, 700 * s, s, /*photo=*/true);
    Fill(0, size.height - 40 * s, size.width, 40 * s, 32, 32, 32);  // taskbar
  }
  const uint8_t* data() const { return pixels_.data(); }
  uint32_t pitch() const { return size_.width * 4; }

 private:
  void Put(uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    if (x >= size_.width || y >= size_.height) return;
    uint8_t* p = pixels_.data() + (static_cast<size_t>(y) * size_.width + x) * 4;
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 255;
  }
  void Fill(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b) {
    for (uint32_t y = y0; y < y0 + h; ++y) {
      for (uint32_t x = x0; x < x0 + w; ++x) Put(x, y, r, g, b);
    }
  }
  // A window: border, flat title bar, then either lines of text on white or
  // a photo-like area of smooth shapes with grain.
  void Window(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, uint32_t s, bool photo) {
    Fill(x0, y0, w, h, 120, 120, 120);
    Fill(x0 + s, y0 + s, w - 2 * s, 30 * s, 0, 90, 180);
    const uint32_t bx = x0 + s;
    const uint32_t by = y0 + 31 * s;
    const uint32_t bw = w - 2 * s;
    const uint32_t bh = h - 32 * s;
    Fill(bx, by, bw, bh, 255, 255, 255);
    if (photo) {
      for (uint32_t y = 0; y < bh; ++y) {
        for (uint32_t x = 0; x < bw; ++x) {
          const uint32_t grain = Hash(x * 7919 + y * 104729) & 15;
          Put(bx + x, by + y, static_cast<uint8_t>((x * 200 / bw + grain) & 255),
              static_cast<uint8_t>((120 + ((x / (8 * s)) ^ (y / (8 * s))) % 64 + grain) & 255),
              static_cast<uint8_t>((y * 220 / bh + grain) & 255));
        }
      }
      return;
    }
    // 8 x 16 character cells; each glyph a few strokes, edges anti-aliased.
    const uint32_t cw = 8 * s;
    const uint32_t ch = 16 * s;
    for (uint32_t row = 0; (row + 1) * ch + 8 * s < bh; ++row) {
      const uint32_t line_length = 40 + Hash(row) % 90;
      for (uint32_t col = 0; col < line_length && (col + 2) * cw < bw; ++col) {
        const uint32_t glyph = Hash(row * 131 + col);
        if (glyph % 7 == 0) continue;  // a space
        for (uint32_t gy = 2 * s; gy < 13 * s; ++gy) {
          for (uint32_t gx = s; gx < 7 * s; ++gx) {
            const uint32_t stroke_x = (gx / s == 1 + glyph % 5);
            const uint32_t stroke_y = ((glyph >> 8) & 3) == gy / (3 * s);
            const uint32_t edge = (gx / s == 2 + glyph % 4) && ((glyph >> 12) & 1);
            if (stroke_x || stroke_y) {
              Put(bx + 4 * s + col * cw + gx, by + 4 * s + row * ch + gy, 20, 20, 20);
            } else if (edge) {
              Put(bx + 4 * s + col * cw + gx, by + 4 * s + row * ch + gy, 150, 150, 160);
            }
          }
        }
      }
    }
  }

  Size size_;
  std::vector<uint8_t> pixels_;
};

struct Planes {
  explicit Planes(Size size)
      : y(static_cast<size_t>(size.width) * size.height), uv(static_cast<size_t>(size.width) * size.height / 2) {}
  std::vector<uint8_t> y;
  std::vector<uint8_t> uv;
};

const DesktopFrame& FrameFor(Size size) {
  static std::map<uint32_t, DesktopFrame> frames;
  auto it = frames.find(size.width);
  if (it == frames.end()) it = frames.emplace(size.width, DesktopFrame(size)).first;
  return it->second;
}

void ConvertOurs(benchmark::State& state, Size size, bool named, orvane::ColorKernel kernel) {
  if (named && !orvane::ColorKernelSupported(kernel)) {
    state.SkipWithError("this processor cannot run the kernel");
    return;
  }
  const DesktopFrame& frame = FrameFor(size);
  Planes planes(size);
  const orvane::Nv12Planes out{planes.y.data(), size.width, planes.uv.data(), size.width};
  for (auto _ : state) {
    const bool ok = named ? orvane::ConvertBgraToNv12With(kernel, frame.data(), frame.pitch(), size.width,
                                                          size.height, out)
                          : orvane::ConvertBgraToNv12Cpu(frame.data(), frame.pitch(), size.width, size.height, out);
    if (!ok) {
      state.SkipWithError("conversion refused the frame");
      break;
    }
    benchmark::DoNotOptimize(planes.y.data());
    benchmark::DoNotOptimize(planes.uv.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size.width * size.height * 4);
}

void ConvertLibyuv(benchmark::State& state, Size size) {
  const DesktopFrame& frame = FrameFor(size);
  Planes planes(size);
  const int w = static_cast<int>(size.width);
  const int h = static_cast<int>(size.height);
  for (auto _ : state) {
    if (libyuv::ARGBToNV12(frame.data(), static_cast<int>(frame.pitch()), planes.y.data(), w, planes.uv.data(), w, w,
                           h) != 0) {
      state.SkipWithError("ARGBToNV12 failed");
      break;
    }
    benchmark::DoNotOptimize(planes.y.data());
    benchmark::DoNotOptimize(planes.uv.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size.width * size.height * 4);
}

void PrintRatios(const orvane::bench::MedianReporter& reporter) {
  for (const Size& size : kSizes) {
    const double ours = reporter.Ms("BM_OrvaneNv12/" + SizeName(size));
    const double yuv = reporter.Ms("BM_LibyuvARGBToNV12/" + SizeName(size));
    if (ours < 0 || yuv <= 0) continue;
    std::printf("%s: BGRA->NV12 (%s): %.3f ms/frame; libyuv ARGBToNV12: %.3f ms/frame; ours / libyuv = %.3f "
                "(target <= 1.200)\n",
                SizeName(size).c_str(), orvane::ColorKernelName(orvane::BestColorKernel()), ours, yuv, ours / yuv);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const Size& size : kSizes) {
    const std::string name = SizeName(size);
    benchmark::RegisterBenchmark(("BM_OrvaneNv12/" + name).c_str(), ConvertOurs, size, false,
                                 orvane::BestColorKernel())
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_LibyuvARGBToNV12/" + name).c_str(), ConvertLibyuv, size)
        ->Unit(benchmark::kMillisecond);
    for (orvane::ColorKernel kernel :
         {orvane::ColorKernel::kScalar, orvane::ColorKernel::kSsse3, orvane::ColorKernel::kAvx2}) {
      benchmark::RegisterBenchmark(
          ("BM_OrvaneNv12_" + std::string(orvane::ColorKernelName(kernel)) + "/" + name).c_str(), ConvertOurs, size,
          true, kernel)
          ->Unit(benchmark::kMillisecond);
    }
  }
  if (!orvane::bench::InitializeWithDefaults(argc, argv, orvane::bench::DefaultFlags(5))) return 1;
  orvane::bench::MedianReporter reporter(orvane::bench::TimeKind::kCpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter);
  benchmark::Shutdown();
  return 0;
}
