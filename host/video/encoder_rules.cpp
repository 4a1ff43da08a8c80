#include "host/video/encoder_rules.h"

#include <algorithm>
#include <limits>

namespace orvane {

namespace {

uint32_t Saturate(uint64_t v) {
  return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

VideoCodec VideoCodecFromWire(uint32_t wire_codec) {
  return wire_codec == 2 ? VideoCodec::kHevc : VideoCodec::kH264;
}

const char* VideoCodecName(VideoCodec codec) { return IsHevc(codec) ? "HEVC" : "H264"; }

const char* EncoderPreferenceName(EncoderPreference preference) {
  switch (preference) {
    case EncoderPreference::kHardwareOnly:
      return "hardware";
    case EncoderPreference::kSoftwareOnly:
      return "software";
    case EncoderPreference::kAuto:
      break;
  }
  return "auto";
}

const char* EncoderModeName(EncoderMode mode) {
  switch (mode) {
    case EncoderMode::kHwGpuDirect:
      return "HW_GPU_DIRECT";
    case EncoderMode::kHwCpuFeed:
      return "HW_CPU_FEED";
    case EncoderMode::kSw:
      break;
  }
  return "SW";
}

uint32_t NormalizeFrameRate(uint32_t fps) { return fps == 0 ? 60 : std::clamp<uint32_t>(fps, 1, 240); }

int64_t FrameDuration100ns(uint32_t fps) { return static_cast<int64_t>(1'000'000 / NormalizeFrameRate(fps)) * 10; }

uint32_t GopLength(uint32_t fps) { return 4 * NormalizeFrameRate(fps); }

uint32_t BitsPerSecond(uint32_t kbps) { return Saturate(static_cast<uint64_t>(kbps) * 1000); }

uint32_t PeakBitsPerSecond(uint32_t kbps) { return Saturate(static_cast<uint64_t>(kbps) * 1500); }

bool ScanForKeyframe(VideoCodec codec, const uint8_t* data, size_t size) {
  if (data == nullptr) return false;
  // A start code is 00 00 01; a four-byte one is the same with a zero before.
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if (IsHevc(codec)) {
      const uint8_t type = (header >> 1) & 0x3F;
      if (type >= 16 && type <= 21) return true;
    } else if ((header & 0x1F) == 5) {
      return true;
    }
  }
  return false;
}

bool IsDeviceLostHResult(HResult hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80041000u:
    case 0x80041001u:
    case 0x88760870u:
    case 0xC00D3704u:
    case 0xC00D3E85u:  // MF_E_SHUTDOWN
    case 0x887A0005u:  // DXGI_ERROR_DEVICE_REMOVED
    case 0x887A0006u:  // DXGI_ERROR_DEVICE_HUNG
    case 0x887A0007u:  // DXGI_ERROR_DEVICE_RESET
    case 0x887A0020u:  // DXGI_ERROR_DRIVER_INTERNAL_ERROR
      return true;
    default:
      return false;
  }
}

uint32_t OutputBufferBytes(uint32_t transform_size, uint32_t width, uint32_t height) {
  if (transform_size != 0) return transform_size;
  return Saturate(std::max<uint64_t>(Yuv420Bytes(width, height), 1'048'576));
}

uint64_t Yuv420Bytes(uint32_t width, uint32_t height) { return static_cast<uint64_t>(width) * height * 3 / 2; }

}  // namespace orvane
