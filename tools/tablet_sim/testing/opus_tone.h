#pragma once
// For tests: a steady sine, as PCM and as the 20 ms Opus packets the host's
// pipeline makes of it (48 kHz stereo, 64 kbit/s, libopus).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/security/crypto.h"

namespace orvane::sim {

// Interleaved stereo PCM (both channels alike) of `frames` frames at 48 kHz,
// going on from *phase_at (frames since the sine began; advanced).
std::vector<int16_t> SinePcm(double hz, size_t frames, double amplitude, uint64_t* phase_at);

// One Opus packet per 20 ms of the sine; empty when libopus fails (the test
// reports it).
std::vector<crypto::Bytes> OpusTonePackets(double hz, size_t packets, double amplitude);

}  // namespace orvane::sim
