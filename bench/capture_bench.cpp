// The cost of one screen copy through the X11 shared-memory source, beside
// libavdevice's x11grab reading the same display in the same run.
//
//   BM_X11ShmCapture  X11ShmCaptureSource::Acquire of the whole 1920x1080
//                     root window and the release of the image it returned.
//   BM_FfmpegX11grab  av_read_frame of one 1920x1080 packet from x11grab
//                     (framerate 10000, so its pacing never waits; pointer
//                     not drawn) and the release of the packet.
//
// Both read a private Xvfb server holding a drawn pattern and are measured in
// real time, in ms per frame. Both mostly wait for the server's copy into
// shared memory, whose speed drifts with the machine's load, so by default
// each runs 10 repetitions interleaved at random with the other's and the
// medians are compared (flags given on the command line take precedence).
// The last line gives both figures and their ratio; the screen copy should
// cost at most 1.2 times x11grab's.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_support.h"
#include "host/common/logger.h"
#include "host/video/capture_source.h"
#include "host/video/capture_x11_linux.h"
#include "tests/support/xvfb_server.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::string& DisplayName() {
  static std::string name;
  return name;
}

// Fills the root window with a picture that is not flat (gradients and a
// checkerboard), so no path can take a short cut on uniform memory.
bool DrawPattern(const std::string& display_name) {
  Display* display = XOpenDisplay(display_name.c_str());
  if (display == nullptr) return false;
  const int screen = DefaultScreen(display);
  const size_t bytes = static_cast<size_t>(kWidth) * kHeight * 4;
  char* data = static_cast<char*>(std::malloc(bytes));
  if (data == nullptr) {
    XCloseDisplay(display);
    return false;
  }
  for (int y = 0; y < kHeight; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(data) + static_cast<size_t>(y) * kWidth;
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t check = ((x / 64) ^ (y / 64)) & 1 ? 0x40u : 0u;
      row[x] = ((static_cast<uint32_t>(x * 255 / kWidth) ^ check) << 16) |
               (static_cast<uint32_t>(y * 255 / kHeight) << 8) | static_cast<uint32_t>((x ^ y) & 0xFF);
    }
  }
  XImage* image = XCreateImage(display, DefaultVisual(display, screen), static_cast<unsigned>(DefaultDepth(display, screen)),
                               ZPixmap, 0, data, kWidth, kHeight, 32, 0);
  if (image == nullptr) {
    std::free(data);
    XCloseDisplay(display);
    return false;
  }
  const Window root = RootWindow(display, screen);
  GC gc = XCreateGC(display, root, 0, nullptr);
  XPutImage(display, root, gc, image, 0, 0, 0, 0, kWidth, kHeight);
  XFreeGC(display, gc);
  XSync(display, False);
  XDestroyImage(image);  // frees data
  XCloseDisplay(display);
  return true;
}

void BM_X11ShmCapture(benchmark::State& state) {
  orvane::X11ShmCaptureSource source;
  orvane::CaptureInitParams params;
  params.monitor_id = "screen";
  params.right = kWidth;
  params.bottom = kHeight;
  if (!source.Initialize(params)) {
    state.SkipWithError(source.LastResult().ToString().c_str());
    return;
  }
  for (auto _ : state) {
    orvane::CapturedFrame frame = source.Acquire(0, false);
    if (frame.status != orvane::CaptureStatus::kFrame || !frame.image) {
      state.SkipWithError(source.LastResult().ToString().c_str());
      break;
    }
    benchmark::DoNotOptimize(frame.image->bytes());
  }  // each frame's image is released at the end of its iteration
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}

void BM_FfmpegX11grab(benchmark::State& state) {
  const AVInputFormat* format = av_find_input_format("x11grab");
  if (format == nullptr) {
    state.SkipWithError("libavdevice has no x11grab");
    return;
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "video_size", "1920x1080", 0);
  av_dict_set(&options, "framerate", "10000", 0);
  av_dict_set(&options, "draw_mouse", "0", 0);
  AVFormatContext* context = nullptr;
  const int opened = avformat_open_input(&context, DisplayName().c_str(), format, &options);
  av_dict_free(&options);
  if (opened < 0) {
    state.SkipWithError("avformat_open_input(x11grab) failed");
    return;
  }
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) {
    avformat_close_input(&context);
    state.SkipWithError("av_packet_alloc failed");
    return;
  }
  for (auto _ : state) {
    if (av_read_frame(context, packet) < 0) {
      state.SkipWithError("av_read_frame failed");
      break;
    }
    benchmark::DoNotOptimize(packet->data);
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&context);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}

BENCHMARK(BM_X11ShmCapture)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegX11grab)->Unit(benchmark::kMillisecond)->UseRealTime();

void PrintRatio(const orvane::bench::MedianReporter& reporter) {
  const double shm = reporter.Ms("BM_X11ShmCapture");
  const double grab = reporter.Ms("BM_FfmpegX11grab");
  if (shm < 0 || grab <= 0) return;
  std::printf("x11 shm capture: %.3f ms/frame; ffmpeg x11grab: %.3f ms/frame; shm capture / x11grab = %.3f "
              "(target <= 1.200)\n",
              shm, grab, shm / grab);
}

}  // namespace

int main(int argc, char** argv) {
  if (!orvane::bench::InitializeWithDefaults(argc, argv, orvane::bench::DefaultFlags(10))) return 1;
  orvane::Logger::Instance().SetStdoutEnabled(false);
  if (orvane::testing::XvfbServer::FindProgram().empty()) {
    std::printf("capture_bench skipped: Xvfb is not installed (no Xvfb on PATH)\n");
    return 0;
  }
  std::string error;
  std::unique_ptr<orvane::testing::XvfbServer> server = orvane::testing::XvfbServer::Start(&error);
  if (!server) {
    std::fprintf(stderr, "capture_bench: %s\n", error.c_str());
    return 1;
  }
  DisplayName() = server->display_name();
  // The source opens the display named by DISPLAY: this process's own server.
  setenv("DISPLAY", server->display_name().c_str(), 1);
  if (!DrawPattern(server->display_name())) {
    std::fprintf(stderr, "capture_bench: cannot draw on %s\n", server->display_name().c_str());
    return 1;
  }
  avdevice_register_all();
  av_log_set_level(AV_LOG_ERROR);
  orvane::bench::MedianReporter reporter(orvane::bench::TimeKind::kReal);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatio(reporter);
  benchmark::Shutdown();
  return 0;
}
