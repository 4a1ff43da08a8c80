#include "host/video/synthetic_stream.h"

#include <algorithm>

namespace orvane {

namespace {

constexpr uint8_t kKeyframeMarker = 0x65;
constexpr uint8_t kFrameMarker = 0x41;
constexpr size_t kPrefixBytes = 5;  // 00 00 00 01 and the marker
constexpr size_t kMinimumLength = 64;

uint64_t NextRandom(uint64_t* state) {
  uint64_t x = *state;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  *state = x;
  return x;
}

uint64_t Seed(uint64_t timestamp_us) {
  // Never zero: xorshift stays at zero forever.
  return (timestamp_us * 0x9E3779B97F4A7C15ull) ^ 0xD1B54A32D192ED03ull;
}

}  // namespace

size_t SyntheticFrameLength(const SyntheticFrameShape& shape, uint64_t index, bool keyframe) {
  const uint64_t fps = std::max<uint32_t>(shape.fps, 1);
  const uint64_t bytes_per_frame = static_cast<uint64_t>(shape.bitrate_kbps) * 1000 / 8 / fps;
  uint64_t length = keyframe ? bytes_per_frame * 8 : bytes_per_frame;
  // +-25 % from frame to frame, the same for the same index.
  uint64_t state = Seed(index + 1);
  const uint64_t spread = length / 2;
  if (spread > 0) length = length - spread / 2 + NextRandom(&state) % spread;
  return static_cast<size_t>(std::max<uint64_t>(length, kMinimumLength));
}

void FillSyntheticFrame(uint64_t timestamp_us, bool keyframe, uint8_t* out, size_t length) {
  const uint8_t prefix[kPrefixBytes] = {0, 0, 0, 1, keyframe ? kKeyframeMarker : kFrameMarker};
  const size_t head = std::min(length, kPrefixBytes);
  std::copy(prefix, prefix + head, out);
  uint64_t state = Seed(timestamp_us);
  size_t at = head;
  while (at < length) {
    uint64_t r = NextRandom(&state);
    for (int i = 0; i < 8 && at < length; ++i, ++at) {
      out[at] = static_cast<uint8_t>(r);
      r >>= 8;
    }
  }
}

std::vector<uint8_t> MakeSyntheticFrame(uint64_t timestamp_us, bool keyframe, size_t length) {
  std::vector<uint8_t> frame(length);
  FillSyntheticFrame(timestamp_us, keyframe, frame.data(), length);
  return frame;
}

bool CheckSyntheticFrame(uint64_t timestamp_us, const uint8_t* data, size_t length) {
  if (data == nullptr || length < kPrefixBytes) return false;
  const bool keyframe = data[4] == kKeyframeMarker;
  if (!keyframe && data[4] != kFrameMarker) return false;
  uint8_t expected[256];
  uint64_t state = Seed(timestamp_us);
  const uint8_t prefix[kPrefixBytes] = {0, 0, 0, 1, data[4]};
  if (!std::equal(prefix, prefix + kPrefixBytes, data)) return false;
  size_t at = kPrefixBytes;
  while (at < length) {
    const size_t chunk = std::min(sizeof(expected), length - at);
    for (size_t i = 0; i < chunk;) {
      uint64_t r = NextRandom(&state);
      for (int b = 0; b < 8 && i < chunk; ++b, ++i) {
        expected[i] = static_cast<uint8_t>(r);
        r >>= 8;
      }
    }
    if (!std::equal(expected, expected + chunk, data + at)) return false;
    at += chunk;
  }
  return true;
}

}  // namespace orvane
