#pragma once
// Rules every video encoder of the host follows, whatever library encodes:
// frame-rate normalisation, sample duration and GOP, bit-rate products,
// the keyframe scan of an access unit, the device-lost HRESULTs and the
// failure count that asks for a reset.

#include <cstddef>
#include <cstdint>

#include "host/common/host_result.h"
#include "host/video/video_encoder.h"

namespace orvane {

// 0 means 60; anything else is clamped to 1..240.
uint32_t NormalizeFrameRate(uint32_t fps);
// (1 000 000 / normalised fps) x 10, in 100-ns units: 166 660 at 60 fps.
int64_t FrameDuration100ns(uint32_t fps);
// 4 x the normalised frame rate.
uint32_t GopLength(uint32_t fps);

// kbps x 1000 and kbps x 1500 in 64 bits, saturating at UINT32_MAX.
uint32_t BitsPerSecond(uint32_t kbps);
uint32_t PeakBitsPerSecond(uint32_t kbps);

// Walks the start codes 00 00 01 and 00 00 00 01 that have at least one byte
// after them: H.264 is a keyframe at NAL type 5, HEVC at types 16..21.
bool ScanForKeyframe(VideoCodec codec, const uint8_t* data, size_t size);

// The HRESULTs after which the encoder's device counts as lost.
bool IsDeviceLostHResult(HResult hr);

// Consecutive failures at which an encoder asks for a reset.
inline constexpr uint32_t kEncoderFailuresBeforeReset = 30;
// Failure resets of a hardware encoder after which it stays on software.
inline constexpr uint32_t kHardwareResetsBeforeSoftware = 3;

// Bytes of an output buffer the encoder supplies: the transform's own size,
// else max(w x h x 3 / 2, 1 MiB).
uint32_t OutputBufferBytes(uint32_t transform_size, uint32_t width, uint32_t height);

// Width x height x 3 / 2 in 64 bits (NV12 and I420 frames).
uint64_t Yuv420Bytes(uint32_t width, uint32_t height);

}  // namespace orvane
