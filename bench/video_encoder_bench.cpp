// The cost of one frame through the Linux H.264 encoder, beside bare
// libavcodec doing the same encoding in the same run.
//
//   BM_EncoderX264  LibavVideoEncoder::EncodeBgra of a BGRA desktop frame
//                   (conversion to NV12 included) and ReceiveAccessUnit until
//                   it returns false.
//   BM_BareX264     avcodec_send_frame of the same frame converted to NV12
//                   beforehand, and avcodec_receive_packet until it has no
//                   more; libx264 opened with the encoder's options (preset
//                   ultrafast, tune zerolatency, sliced threads, no B-frames,
//                   GOP 4 x fps, bit rate = maximum rate, a quarter-second
//                   VBV buffer, BT.709 limited range).
//
// Both run at 1280x720 and 1920x1080, 60 fps, on a loop of eight frames of a
// scrolling page of glyphs with a square gliding across it, measured in real
// time (the encoder's threads work while the caller waits), in ms per frame.
// x264's speed drifts with the machine's load, so by default each runs 10
// repetitions interleaved at random with the others and the medians are
// compared (flags given on the command line take precedence). The last lines
// give both figures per size and their ratio; the encoder should cost at most
// 1.1 times bare libavcodec.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_support.h"
#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/video/color_convert.h"
#include "host/video/video_encoder.h"
#include "host/video/video_encoder_linux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {

constexpr uint32_t kFps = 60;
constexpr size_t kLoopFrames = 8;

uint32_t BitrateKbps(uint32_t height) { return height >= 1080 ? 10'000 : 6'000; }

uint32_t Hash(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352dU;
  v ^= v >> 15;
  v *= 0x846ca68bU;
  v ^= v >> 16;
  return v;
}

// A page of one-pixel glyphs scrolling up four rows a frame, a title bar, and
// a coloured square gliding across: what a desktop stream mostly carries.
std::vector<uint8_t> DesktopFrame(uint32_t w, uint32_t h, uint32_t frame) {
  std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
  const uint32_t square_x = (frame * 24) % (w - 128);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &pixels[(static_cast<size_t>(y) * w + x) * 4];
      uint8_t r, g, b;
      if (y < 32) {
        r = 40, g = 60, b = static_cast<uint8_t>(120 + x * 100 / w);
      } else if (x >= square_x && x < square_x + 128 && y >= h / 2 && y < h / 2 + 128) {
        r = 220, g = static_cast<uint8_t>(frame * 30), b = 40;
      } else {
        const uint32_t py = y + frame * 4;  // scrolled page row
        const uint32_t cx = x / 8, cy = py / 14, gx = x % 8, gy = py % 14;
        const uint32_t bits = Hash(cx * 131 + cy * 977);
        const bool ink = (bits & 0xC0) != 0 && gx < 5 && gy < 9 &&
                         (((bits & 1) && gx == 0) || ((bits & 2) && gx == 4) || ((bits & 4) && gx == 2) ||
                          ((bits & 8) && gy == 0) || ((bits & 16) && gy == 4) || ((bits & 32) && gy == 8));
        const uint8_t v = ink ? 20 : 245;
        r = g = b = v;
      }
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 255;
    }
  }
  return pixels;
}

const std::vector<std::vector<uint8_t>>& Frames(uint32_t w, uint32_t h) {
  static std::map<uint64_t, std::vector<std::vector<uint8_t>>> cache;
  std::vector<std::vector<uint8_t>>& frames = cache[static_cast<uint64_t>(w) << 32 | h];
  if (frames.empty()) {
    for (uint32_t i = 0; i < kLoopFrames; ++i) frames.push_back(DesktopFrame(w, h, i));
  }
  return frames;
}

void BM_EncoderX264(benchmark::State& state) {
  const auto w = static_cast<uint32_t>(state.range(0));
  const auto h = static_cast<uint32_t>(state.range(1));
  const std::vector<std::vector<uint8_t>>& frames = Frames(w, h);
  orvane::LibavVideoEncoder encoder(orvane::SystemClock());
  if (!encoder.Initialize(orvane::VideoCodec::kH264, w, h, kFps, BitrateKbps(h))) {
    state.SkipWithError(encoder.GetLastResult().ToString().c_str());
    return;
  }
  orvane::EncodedAccessUnit unit;
  uint64_t bytes = 0;
  int64_t timestamp = 0;
  size_t index = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& frame = frames[index++ % kLoopFrames];
    if (!encoder.EncodeBgra(frame.data(), w * 4, w, h, timestamp)) {
      state.SkipWithError(encoder.GetLastResult().ToString().c_str());
      break;
    }
    timestamp += 1'000'000 / kFps;
    while (encoder.ReceiveAccessUnit(&unit)) bytes += unit.data.size();
  }
  state.counters["bytes_per_frame"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
}

void BM_BareX264(benchmark::State& state) {
  const auto w = static_cast<uint32_t>(state.range(0));
  const auto h = static_cast<uint32_t>(state.range(1));
  const std::vector<std::vector<uint8_t>>& frames = Frames(w, h);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* packet = av_packet_alloc();
  std::vector<AVFrame*> pictures;
  auto release = [&] {
    for (AVFrame*& f : pictures) av_frame_free(&f);
    av_packet_free(&packet);
    avcodec_free_context(&context);
  };
  if (context == nullptr || packet == nullptr) {
    release();
    state.SkipWithError("libx264 unavailable");
    return;
  }
  const int64_t bit_rate = static_cast<int64_t>(BitrateKbps(h)) * 1000;
  context->width = static_cast<int>(w);
  context->height = static_cast<int>(h);
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->time_base = AVRational{1, 1'000'000};
  context->framerate = AVRational{static_cast<int>(kFps), 1};
  context->gop_size = static_cast<int>(4 * kFps);
  context->max_b_frames = 0;
  context->color_range = AVCOL_RANGE_MPEG;
  context->colorspace = AVCOL_SPC_BT709;
  context->color_primaries = AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_BT709;
  context->bit_rate = bit_rate;
  context->rc_max_rate = bit_rate;
  context->rc_buffer_size = static_cast<int>(bit_rate / 4);
  context->thread_count = 0;
  context->thread_type = FF_THREAD_SLICE;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", "ultrafast", 0);
  av_dict_set(&options, "tune", "zerolatency", 0);
  av_dict_set(&options, "forced-idr", "1", 0);
  const int opened = avcodec_open2(context, codec, &options);
  av_dict_free(&options);
  if (opened < 0) {
    release();
    state.SkipWithError("avcodec_open2(libx264) failed");
    return;
  }
  for (const std::vector<uint8_t>& bgra : frames) {
    AVFrame* f = av_frame_alloc();
    pictures.push_back(f);
    if (f == nullptr) break;
    f->format = AV_PIX_FMT_NV12;
    f->width = static_cast<int>(w);
    f->height = static_cast<int>(h);
    if (av_frame_get_buffer(f, 0) < 0 ||
        !orvane::ConvertBgraToNv12Cpu(bgra.data(), w * 4, w, h,
                                      orvane::Nv12Planes{f->data[0], static_cast<uint32_t>(f->linesize[0]), f->data[1],
                                                         static_cast<uint32_t>(f->linesize[1])})) {
      release();
      state.SkipWithError("cannot prepare the NV12 frames");
      return;
    }
  }
  uint64_t bytes = 0;
  int64_t pts = 0;
  size_t index = 0;
  for (auto _ : state) {
    AVFrame* f = pictures[index++ % kLoopFrames];
    f->pts = pts;
    pts += 1'000'000 / kFps;
    if (avcodec_send_frame(context, f) < 0) {
      state.SkipWithError("avcodec_send_frame failed");
      break;
    }
    while (avcodec_receive_packet(context, packet) >= 0) {
      bytes += static_cast<uint64_t>(packet->size);
      av_packet_unref(packet);
    }
  }
  state.counters["bytes_per_frame"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
  release();
}

BENCHMARK(BM_EncoderX264)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareX264)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();

void PrintRatios(const orvane::bench::MedianReporter& reporter) {
  for (const char* size : {"1280/720", "1920/1080"}) {
    const double ours = reporter.Ms(std::string("BM_EncoderX264/") + size);
    const double bare = reporter.Ms(std::string("BM_BareX264/") + size);
    if (ours < 0 || bare <= 0) continue;
    std::printf("x264 %s: encoder %.3f ms/frame; bare libavcodec %.3f ms/frame; encoder / bare = %.3f "
                "(target <= 1.100)\n",
                size, ours, bare, ours / bare);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!orvane::bench::InitializeWithDefaults(argc, argv, orvane::bench::DefaultFlags(10))) return 1;
  orvane::Logger::Instance().SetStdoutEnabled(false);
  av_log_set_level(AV_LOG_ERROR);
  orvane::bench::MedianReporter reporter(orvane::bench::TimeKind::kReal);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter);
  benchmark::Shutdown();
  return 0;
}
