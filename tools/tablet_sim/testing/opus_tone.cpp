#include "tools/tablet_sim/testing/opus_tone.h"

#include <opus/opus.h>

#include <cmath>

namespace orvane::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kFrame = 960;  // 20 ms at 48 kHz

}  // namespace

std::vector<int16_t> SinePcm(double hz, size_t frames, double amplitude, uint64_t* phase_at) {
  std::vector<int16_t> pcm(frames * 2);
  for (size_t i = 0; i < frames; ++i, ++*phase_at) {
    const double v = amplitude * 32767.0 * std::sin(2 * kPi * hz * static_cast<double>(*phase_at) / 48000.0);
    pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(std::lround(v));
  }
  return pcm;
}

std::vector<crypto::Bytes> OpusTonePackets(double hz, size_t packets, double amplitude) {
  int error = OPUS_OK;
  OpusEncoder* encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
  if (encoder == nullptr || error != OPUS_OK) return {};
  std::vector<crypto::Bytes> out;
  if (opus_encoder_ctl(encoder, OPUS_SET_BITRATE(64000)) == OPUS_OK) {
    uint64_t phase = 0;
    for (size_t p = 0; p < packets; ++p) {
      const std::vector<int16_t> pcm = SinePcm(hz, kFrame, amplitude, &phase);
      crypto::Bytes packet(1200);
      const int n = opus_encode(encoder, pcm.data(), kFrame, packet.data(), static_cast<opus_int32>(packet.size()));
      if (n <= 0) {
        out.clear();
        break;
      }
      packet.resize(static_cast<size_t>(n));
      out.push_back(std::move(packet));
    }
  }
  opus_encoder_destroy(encoder);
  return out;
}

}  // namespace orvane::sim
