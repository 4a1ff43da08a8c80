// The cost of the video send path per byte, beside the cost of the
// encryption it cannot avoid.
//
//   BM_MediaPath  access units through MediaSender::SendVideoFrame:
//                 fragmenting, history, FEC parity and sealing, into a sink
//                 that drops the datagrams (no socket I/O), pacing off.
//   BM_SealOnly   the same access-unit bytes cut into 1220-byte datagrams and
//                 sealed with security::SealSecureFrameInto, nothing else.
//
// The access units are one group of pictures of a 1080p stream: a 150 kB
// keyframe and 29 P-frames of 15 to 40 kB. Both report bytes_per_second over
// the access-unit bytes; the media path also reports the bytes it sealed
// (headers and parity make them about 12 % more). The last line gives the
// ratio of the two throughputs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/precise_sleep.h"
#include "host/security/crypto.h"
#include "host/security/secure_frame.h"
#include "host/transport/media_packet.h"
#include "host/transport/media_sender.h"

namespace {

using orvane::crypto::Bytes;
using orvane::crypto::ByteView;

const std::vector<Bytes>& GroupOfPictures() {
  static const std::vector<Bytes> gop = [] {
    std::vector<Bytes> units;
    uint32_t state = 0x12345678u;
    auto next = [&] {
      state = state * 1664525u + 1013904223u;
      return state;
    };
    auto unit = [&](size_t length) {
      Bytes b(length);
      for (uint8_t& v : b) v = static_cast<uint8_t>(next() >> 24);
      return b;
    };
    units.push_back(unit(150'000));
    for (int i = 0; i < 29; ++i) units.push_back(unit(15'000 + next() % 25'001));
    return units;
  }();
  return gop;
}

size_t GroupBytes() {
  size_t total = 0;
  for (const Bytes& b : GroupOfPictures()) total += b.size();
  return total;
}

Bytes BenchKey() {
  Bytes key(32);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x40 + i);
  return key;
}

class CountingSink final : public orvane::IDatagramSink {
 public:
  int SendTo(orvane::net::Socket, const orvane::net::Endpoint&, const uint8_t* data, size_t length) override {
    benchmark::DoNotOptimize(data);
    bytes_ += length;
    ++datagrams_;
    return 0;
  }
  uint64_t bytes() const { return bytes_; }
  uint64_t datagrams() const { return datagrams_; }

 private:
  uint64_t bytes_ = 0;
  uint64_t datagrams_ = 0;
};

void BM_MediaPath(benchmark::State& state) {
  CountingSink sink;
  orvane::MediaSender sender(orvane::SystemClock(), orvane::SystemPreciseSleeper(), sink);
  if (!sender.CreateSocket() || !sender.SetRemote("127.0.0.1", 9) || !sender.SetMediaKey(BenchKey())) {
    state.SkipWithError("sender set-up failed");
    return;
  }
  const std::vector<Bytes>& gop = GroupOfPictures();
  uint32_t seq = 0;
  uint64_t timestamp = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < gop.size(); ++i) {
      timestamp += 16'667;
      if (!sender.SendVideoFrame(seq, timestamp, i == 0, false, gop[i].data(), gop[i].size())) {
        state.SkipWithError(sender.LastResult().ToString().c_str());
        return;
      }
    }
  }
  const double iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(GroupBytes()));
  // Sealed frames less their 29-byte envelope: the plaintext datagrams.
  const double sealed = static_cast<double>(sink.bytes() - sink.datagrams() * orvane::security::kSecureFrameOverheadBytes);
  state.counters["sealed_bytes_per_second"] = benchmark::Counter(sealed, benchmark::Counter::kIsRate);
  state.counters["datagrams_per_gop"] = static_cast<double>(sink.datagrams()) / iterations;
}

void BM_SealOnly(benchmark::State& state) {
  orvane::crypto::AesGcm aes;
  const Bytes key = BenchKey();
  const std::vector<Bytes>& gop = GroupOfPictures();
  uint64_t counter = 0;
  Bytes frame;  // reused, as the sender reuses its envelope buffer
  for (auto _ : state) {
    for (const Bytes& unit : gop) {
      for (size_t offset = 0; offset < unit.size(); offset += orvane::media::kMaxVideoDatagramBytes) {
        const size_t n = std::min(orvane::media::kMaxVideoDatagramBytes, unit.size() - offset);
        if (!orvane::security::SealSecureFrameInto(aes, key, orvane::security::kNonceMedia, counter++,
                                                   ByteView(unit.data() + offset, n), &frame)) {
          state.SkipWithError("seal failed");
          return;
        }
        benchmark::DoNotOptimize(frame.data());
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(GroupBytes()));
}

BENCHMARK(BM_MediaPath)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SealOnly)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps each benchmark's throughput for the ratio.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      // Repetitions report aggregates; the mean stands for them.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
      throughput_[run.run_name.function_name] = it->second.value;
      const auto sealed = run.counters.find("sealed_bytes_per_second");
      if (sealed != run.counters.end()) sealed_[run.run_name.function_name] = sealed->second.value;
    }
  }
  void PrintRatio() const {
    const auto path = throughput_.find("BM_MediaPath");
    const auto seal = throughput_.find("BM_SealOnly");
    if (path == throughput_.end() || seal == throughput_.end() || seal->second <= 0) return;
    std::printf("media path: %.1f MB/s of access units; raw seal: %.1f MB/s; media path / raw seal = %.3f\n",
                path->second / 1e6, seal->second / 1e6, path->second / seal->second);
    if (const auto s = sealed_.find("BM_MediaPath"); s != sealed_.end()) {
      std::printf("media path sealed %.1f MB/s of datagrams (headers and parity included): %.3f of the raw seal\n",
                  s->second / 1e6, s->second / seal->second);
    }
  }

 private:
  std::map<std::string, double> throughput_;
  std::map<std::string, double> sealed_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}
