// The real frame loop from glass to wire: the synthetic 1920x1080 moving
// desktop, libx264 through the host's encoder, and the media sender pacing
// into a loopback socket that a thread drains.
//
// For 300 frames after a 3 s start it reports p50/p99 of glass-to-wire
// (capture time to the last datagram of the first send), of the encoder's own
// time (submit to the unit coming out: the reference, in the same run) and of
// the pacer's waits inside that send. Target: p50(glass-to-wire - pacer wait)
// <= p50(encode) + 1 ms. The pacer is shown, not hidden: a 1080p P-frame is
// paced out over a few milliseconds by design.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/net.h"
#include "host/common/precise_sleep.h"
#include "host/transport/media_sender.h"
#include "host/video/capture_manager.h"
#include "host/video/frame_loop.h"
#include "host/video/monitor_enumeration.h"
#include "host/video/synthetic_capture.h"
#include "host/video/video_encoder.h"

namespace {

using namespace orvane;

constexpr int64_t kWarmUpUs = 3'000'000;
constexpr size_t kMeasuredFrames = 300;

// Sums the sleeps of the calling thread (the pacer's waits).
thread_local int64_t t_slept_us = 0;
class CountingSleeper final : public IPreciseSleeper {
 public:
  void SleepUs(int64_t us) override {
    if (us <= 0) return;
    const int64_t start = HostClockUs();
    SystemPreciseSleeper().SleepUs(us);
    t_slept_us += HostClockUs() - start;
  }
};

// The media sender as the loop's sink, noting the pacer's waits of each
// unit's first send.
class PacedSink final : public IVideoFrameSink {
 public:
  explicit PacedSink(MediaSender& sender) : sender_(sender) {}
  bool SendVideoFrame(uint32_t& seq, uint64_t ts, bool keyframe, bool second, const uint8_t* data,
                      size_t length) override {
    const int64_t before = t_slept_us;
    const bool ok = sender_.SendVideoFrame(seq, ts, keyframe, second, data, length);
    std::lock_guard<std::mutex> lock(mu_);
    waits_.emplace(ts, t_slept_us - before);  // the first send of a timestamp stays
    return ok;
  }
  void ResetStreamState() override { sender_.ResetStreamState(); }
  void SetClientFragmentLimit(uint32_t fragments) override { sender_.SetClientFragmentLimit(fragments); }
  int64_t WaitFor(uint64_t ts) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = waits_.find(ts);
    return it == waits_.end() ? 0 : it->second;
  }

 private:
  MediaSender& sender_;
  std::mutex mu_;
  std::map<uint64_t, int64_t> waits_;
};

class Session final : public IFrameLoopSession {
 public:
  std::atomic<bool> streaming{true};
  bool Streaming() override { return streaming; }
  bool TakeClientKeyframeRequest() override { return false; }
  bool VideoPaused() override { return false; }
  void FirstFrameProduced() override {}
  void StreamResize(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {}
  void StatsReport(uint32_t) override {}
  void ErrorMessage(int, const std::string&) override {}
};

class Recorder final : public IFrameObserver {
 public:
  explicit Recorder(int64_t start_us) : start_us_(start_us) {}
  void OnFrameSent(const FrameTiming& t) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (t.capture_us - start_us_ < kWarmUpUs || frames_.size() >= kMeasuredFrames) return;
    frames_.push_back(t);
  }
  std::vector<FrameTiming> Frames() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_.size() >= kMeasuredFrames;
  }

 private:
  const int64_t start_us_;
  std::mutex mu_;
  std::vector<FrameTiming> frames_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void BM_FrameLoop(benchmark::State& state) {
  const uint32_t width = static_cast<uint32_t>(state.range(0));
  const uint32_t height = static_cast<uint32_t>(state.range(1));
  const uint32_t kbps = static_cast<uint32_t>(state.range(2));
  for (auto _ : state) {
    // The tablet's end: a loopback socket drained as fast as datagrams come.
    int error = 0;
    net::Socket drain = net::Create(net::Kind::kUdp, &error);
    net::Bind(drain, "127.0.0.1", 0);
    const uint16_t port = net::LocalPort(drain, &error);
    std::atomic<bool> draining{true};
    std::thread drainer([&] {
      uint8_t buffer[2048];
      while (draining) {
        int e = 0;
        if (net::PollOne(drain, true, false, 50, &e) != 1) continue;
        net::Endpoint from;
        net::RecvFrom(drain, buffer, sizeof buffer, &from, &e);
      }
    });

    CountingSleeper sleeper;
    MediaSender sender(SystemClock(), sleeper);
    sender.CreateSocket();
    sender.SetRemote("127.0.0.1", port);
    const std::vector<uint8_t> key(16, 0x5A);
    sender.SetMediaKey(crypto::ByteView(key.data(), key.size()));
    sender.SetBitrate(kbps);
    PacedSink sink(sender);

    std::unique_ptr<IVideoEncoder> encoder = MakePlatformVideoEncoder();
    encoder->SetPreference(EncoderPreference::kSoftwareOnly);
    if (!encoder->Initialize(VideoCodec::kH264, width, height, 30, kbps)) {
      state.SkipWithError("the encoder did not start");
      draining = false;
      drainer.join();
      net::Close(drain);
      return;
    }
    Session session;
    std::atomic<uint32_t> bitrate{kbps}, fps_cap{0}, scale{1000}, seq{0};
    std::atomic<bool> keyframe_request{false};
    std::atomic<uint64_t> frame_counter{0};
    FrameLoopSettings settings;
    settings.width = width;
    settings.height = height;
    settings.fps = 30;
    settings.bitrate_kbps = kbps;
    settings.fragment_limit = 1024;
    const int64_t start_us = HostClockUs();
    Recorder recorder(start_us);
    FrameLoopDeps deps;
    deps.clock = &SystemClock();
    deps.sleeper = &SystemPreciseSleeper();
    deps.encoder = encoder.get();
    deps.sink = &sink;
    deps.observer = &recorder;
    deps.make_capture = [](std::shared_ptr<GpuDevice>) {
      CaptureSourceSet set;
      set.gdi = std::make_unique<SyntheticCaptureSource>(SyntheticCaptureOptions{1920, 1080, 60'000, 0, nullptr});
      return std::make_unique<CaptureManager>(
          CaptureBackendChoice::kAuto, SelectCaptureTarget(SyntheticMonitorEnumerator().EnumerateMonitors(), "", 0),
          std::move(set));
    };
    FrameLoop loop(settings, {&bitrate, &fps_cap, &scale, &keyframe_request, &frame_counter, &seq}, session, deps);
    std::thread runner([&] { loop.Run(); });
    while (!recorder.Done() && HostClockUs() - start_us < 60'000'000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    session.streaming = false;
    runner.join();
    draining = false;
    drainer.join();
    net::Close(drain);

    std::vector<double> glass, encode, pacer, unpaced;
    for (const FrameTiming& t : recorder.Frames()) {
      const double wait_ms = static_cast<double>(sink.WaitFor(static_cast<uint64_t>(t.capture_us))) / 1000.0;
      const double g2w = static_cast<double>(t.last_datagram_us - t.capture_us) / 1000.0;
      glass.push_back(g2w);
      encode.push_back(static_cast<double>(t.encode_end_us - t.encode_start_us) / 1000.0);
      pacer.push_back(wait_ms);
      unpaced.push_back(g2w - wait_ms);
    }
    state.SetIterationTime(1);
    state.counters["frames"] = static_cast<double>(glass.size());
    const double g50 = Percentile(glass, 0.5), e50 = Percentile(encode, 0.5), u50 = Percentile(unpaced, 0.5);
    std::printf(
        "frame loop %ux%u@30 %u kbit/s over %zu frames: glass-to-wire p50 %.2f p99 %.2f ms; encode p50 %.2f p99 %.2f "
        "ms (reference); pacer wait p50 %.2f p99 %.2f ms; glass-to-wire / encode = %.3f; p50(glass-to-wire - pacer) "
        "%.2f ms against p50(encode) + 1 = %.2f ms (%s)\n",
        width, height, kbps, glass.size(), g50, Percentile(glass, 0.99), e50, Percentile(encode, 0.99),
        Percentile(pacer, 0.5), Percentile(pacer, 0.99), e50 > 0 ? g50 / e50 : -1.0, u50, e50 + 1,
        u50 <= e50 + 1 ? "met" : "missed");
  }
}

BENCHMARK(BM_FrameLoop)->Args({1280, 720, 7000})->Args({1920, 1080, 12000})->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  orvane::Logger::Instance().SetStdoutEnabled(false);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
