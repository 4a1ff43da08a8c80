#pragma once
// A stand-in video source for builds without capture and encoding: access
// units of realistic sizes whose bytes follow from their timestamp, so a
// receiver can check every byte it reassembled without a decoder.
//
// An access unit starts with an Annex-B start code and a one-byte marker
// (0x65 for a keyframe, 0x41 otherwise, the H.264 NAL header of an IDR or a
// non-IDR slice), followed by bytes from a xorshift generator seeded with the
// timestamp.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

struct SyntheticFrameShape {
  uint32_t fps = 60;
  uint32_t bitrate_kbps = 8000;
  uint32_t keyframe_interval = 120;  // frames between keyframes
};

// The size of access unit `index` (0-based) of a stream with this shape:
// keyframes about 8 frames' worth of bits, the others the bitrate's share
// with a little variation. At least 64 bytes.
size_t SyntheticFrameLength(const SyntheticFrameShape& shape, uint64_t index, bool keyframe);

// The bytes of the access unit with this timestamp and length.
void FillSyntheticFrame(uint64_t timestamp_us, bool keyframe, uint8_t* out, size_t length);
std::vector<uint8_t> MakeSyntheticFrame(uint64_t timestamp_us, bool keyframe, size_t length);

// True when the bytes are exactly what FillSyntheticFrame makes for this
// timestamp (the keyframe flag is read from the marker).
bool CheckSyntheticFrame(uint64_t timestamp_us, const uint8_t* data, size_t length);

}  // namespace orvane
