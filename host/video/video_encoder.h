#pragma once
// The video encoder as the frame loop and the session see it: desktop frames
// in (system-memory BGRA or a GPU texture), H.264/HEVC access units out.
//
// Windows encodes with a Media Foundation encoder transform (hardware first,
// software after), Linux with libavcodec (libx264/libx265). Every operation
// takes the encoder's one mutex for its whole run, so the frame loop's encode
// worker and the session thread may call from different threads.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/host_result.h"
#include "host/video/gpu_device.h"

namespace orvane {

// Values are fixed: they are logged and compared.
enum class VideoCodec : uint32_t { kH264 = 0, kHevc = 1 };
// The control protocol's codec field (1 H.264, 2 HEVC) as an encoder codec;
// anything else is H.264.
VideoCodec VideoCodecFromWire(uint32_t wire_codec);
// "H264" / "HEVC"; any value but H.264 counts as HEVC.
const char* VideoCodecName(VideoCodec codec);
inline bool IsHevc(VideoCodec codec) { return codec != VideoCodec::kH264; }

enum class EncoderPreference : uint32_t { kAuto = 0, kHardwareOnly = 1, kSoftwareOnly = 2 };
// "auto", "hardware", "software".
const char* EncoderPreferenceName(EncoderPreference preference);

enum class EncoderMode : uint32_t { kHwGpuDirect = 0, kHwCpuFeed = 1, kSw = 2 };
// "HW_GPU_DIRECT", "HW_CPU_FEED", "SW".
const char* EncoderModeName(EncoderMode mode);

struct EncodedAccessUnit {
  std::vector<uint8_t> data;  // Annex-B byte stream, as the encoder produced it
  bool keyframe = false;
  int64_t timestamp_us = 0;   // 0 when the output carried no time
  uint64_t reserved = 0;
};

struct EncoderRuntimeInfo {
  std::string adapter_name;  // "WARP" for the WARP device; empty until a device was made
  uint32_t vendor_id = 0;
  uint32_t device_id = 0;
  uint32_t subsystem_id = 0;
  uint32_t revision = 0;
  uint64_t adapter_luid = 0;
  uint32_t feature_level = 0xB000;
  HResult d3d_hr = kSOk;      // last Direct3D device creation
  HResult d3d_mgr_hr = kSOk;  // last DXGI device manager step
  std::string fallback_reason = "none";
  std::string mft_name;       // "unknown" when the transform has none
  uint64_t mft_adapter_luid = 0;
  bool async = false;
  std::string rate_control;   // "default", "low_delay_vbr", "cbr", "peak_vbr"
  uint32_t gop_length = 0;
  uint64_t resets = 0;        // successful Reset calls
};

// Slots 0-19 are in the order the frame loop and the session rely on;
// SetPreference follows them.
class IVideoEncoder {
 public:
  virtual ~IVideoEncoder() = default;
  virtual bool Initialize(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps) = 0;
  virtual void Shutdown() = 0;
  virtual bool Reset() = 0;
  virtual bool NeedsReset() = 0;
  virtual bool EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                          int64_t timestamp_us) = 0;
  // The texture's own size is used; width and height are not.
  virtual bool EncodeTexture(const GpuTexture* texture, uint32_t width, uint32_t height, int64_t timestamp_us) = 0;
  virtual bool ReceiveAccessUnit(EncodedAccessUnit* out) = 0;
  virtual void RequestKeyframe() = 0;
  virtual void SetBitrate(uint32_t kbps) = 0;
  virtual void SetFrameSizeLimits(uint32_t vbv_buffer_bits, uint32_t min_qp) = 0;
  virtual void SetFrameRate(uint32_t fps) = 0;
  virtual void SetPreferredAdapter(uint64_t adapter_luid) = 0;
  virtual bool IsInitialized() = 0;
  virtual bool IsGpuDirect() = 0;
  virtual EncoderMode GetMode() = 0;
  virtual const char* GetModeName() = 0;
  virtual EncoderRuntimeInfo GetRuntimeInfo() = 0;
  // The GPU-direct device (shared with the capture for GPU hand-off), or null.
  virtual std::shared_ptr<GpuDevice> GetDevice() = 0;
  virtual HostResult GetLastResult() = 0;
  // Acts at the next Initialize or Reset.
  virtual void SetPreference(EncoderPreference preference) = 0;
};

// The platform's encoder: Media Foundation on Windows, libavcodec on Linux.
std::unique_ptr<IVideoEncoder> MakePlatformVideoEncoder();

// Hardware encoder transforms for the codec (0 when none or the enumeration
// fails; always 0 on Linux).
uint32_t CountHardwareEncoders(VideoCodec codec);

}  // namespace orvane
