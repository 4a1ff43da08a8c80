#pragma once
// The encoder transform as the portable encoder core drives it: enumerating
// and activating encoder transforms, their attributes and codec settings,
// media types as plain descriptions, messages, samples in, access units out,
// and the transform's asynchronous events.
//
// Windows implements it over Media Foundation (mf_transform_win.cpp); tests
// use a scripted fake (testing/fake_transform.h). Implementations are
// mechanical: call, check, hand back the HRESULT. Every decision (order,
// fallbacks, messages, accounting) is the core's.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/common/host_result.h"
#include "host/video/gpu_device.h"
#include "host/video/video_encoder.h"

namespace orvane {

// HRESULTs the core compares.
inline constexpr HResult kMfENotAccepting = static_cast<HResult>(0xC00D36B5u);
inline constexpr HResult kMfETransformStreamChange = static_cast<HResult>(0xC00D6D61u);
inline constexpr HResult kMfETransformNeedMoreInput = static_cast<HResult>(0xC00D6D72u);
inline constexpr HResult kMfETransformAsyncLocked = static_cast<HResult>(0xC00D6D77u);
inline constexpr HResult kMfEShutdown = static_cast<HResult>(0xC00D3E85u);
inline constexpr HResult kHrTimeout = static_cast<HResult>(0x800705B4u);

enum class VideoSubtype : uint32_t { kH264, kHevc, kNv12, kArgb32, kRgb32 };
// "H264", "HEVC", "NV12", "ARGB32", "RGB32".
const char* VideoSubtypeName(VideoSubtype subtype);
inline VideoSubtype CodecSubtype(VideoCodec codec) {
  return IsHevc(codec) ? VideoSubtype::kHevc : VideoSubtype::kH264;
}

// A video media type. Every type the core makes is progressive with square
// pixels; the platform adds those.
struct MediaTypeDesc {
  VideoSubtype subtype = VideoSubtype::kNv12;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps_numerator = 0;
  uint32_t fps_denominator = 1;
  uint32_t avg_bitrate = 0;  // bits/s; output types only (MF_MT_AVG_BITRATE)
  bool low_latency = false;  // output types only (MF_LOW_LATENCY)
  friend bool operator==(const MediaTypeDesc&, const MediaTypeDesc&) = default;
};

// MFT_TRANSFORM_CLSID_Attribute; all zero when missing.
struct TransformClsid {
  std::array<uint8_t, 16> bytes{};
  friend bool operator==(const TransformClsid&, const TransformClsid&) = default;
};

// Codec settings through ICodecAPI. Values are VT_UI4, except kLowLatencyMode
// (VT_BOOL: non-zero is true).
enum class CodecProperty : uint32_t {
  kLowLatencyMode,    // CODECAPI_AVLowLatencyMode
  kRateControlMode,   // CODECAPI_AVEncCommonRateControlMode
  kMeanBitRate,       // CODECAPI_AVEncCommonMeanBitRate
  kMaxBitRate,        // CODECAPI_AVEncCommonMaxBitRate
  kGopSize,           // CODECAPI_AVEncMPVGOPSize
  kBPictureCount,     // CODECAPI_AVEncMPVDefaultBPictureCount
  kBufferSize,        // CODECAPI_AVEncCommonBufferSize
  kMinQp,             // CODECAPI_AVEncVideoMinQP
  kForceKeyFrame,     // CODECAPI_AVEncVideoForceKeyFrame
};

enum class TransformMessage : uint32_t {
  kBeginStreaming,  // MFT_MESSAGE_NOTIFY_BEGIN_STREAMING
  kStartOfStream,   // MFT_MESSAGE_NOTIFY_START_OF_STREAM
  kEndOfStream,     // MFT_MESSAGE_NOTIFY_END_OF_STREAM
  kFlush,           // MFT_MESSAGE_COMMAND_FLUSH
  kDrain,           // MFT_MESSAGE_COMMAND_DRAIN
};

// Output stream flags the core reads.
inline constexpr uint32_t kOutputProvidesSamples = 0x100;     // MFT_OUTPUT_STREAM_PROVIDES_SAMPLES
inline constexpr uint32_t kOutputCanProvideSamples = 0x200;   // MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES

struct OutputStreamInfo {
  HResult hr = kSOk;
  uint32_t flags = 0;
  uint32_t buffer_size = 0;  // cbSize
};

// An input sample made by the platform (IMFSample with its buffer, time and
// duration set).
class EncoderSample {
 public:
  virtual ~EncoderSample() = default;
};

enum class SampleStep : uint32_t {
  kNone,
  kAllocateBuffer,     // MFCreateMemoryBuffer
  kLockBuffer,         // IMFMediaBuffer::Lock
  kAllocateSample,     // MFCreateSample
  kSurfaceBuffer,      // MFCreateDXGISurfaceBuffer
  kAddBuffer,          // IMFSample::AddBuffer
};

struct SampleResult {
  HResult hr = kSOk;
  SampleStep failed_step = SampleStep::kNone;
  std::unique_ptr<EncoderSample> sample;  // set on success
};

enum class OutputStep : uint32_t {
  kNone,
  kCreateSample,   // MFCreateSample of the supplied sample
  kCreateBuffer,   // MFCreateMemoryBuffer of the supplied sample
  kProcessOutput,  // ProcessOutput itself (hr may be a stream change or need more input)
  kFlatten,        // ConvertToContiguousBuffer
  kLockBuffer,     // Lock of the flattened buffer
};

// One ProcessOutput call, with the sample read out on success.
struct OutputResult {
  HResult hr = kSOk;
  OutputStep failed_step = OutputStep::kNone;
  bool has_sample = false;     // ProcessOutput succeeded and returned a sample
  std::vector<uint8_t> data;   // the sample's bytes (current length)
  bool has_clean_point = false;
  bool clean_point = false;    // MFSampleExtension_CleanPoint
  bool has_time = false;
  int64_t time_100ns = 0;
};

// The shared state of an asynchronous transform's events: written by the
// platform's event callback on Media Foundation threads, read by the core
// under the same mutex. Shared-owned so that a late callback still finds it.
struct VideoEncoderAsyncState {
  static constexpr uint32_t kEventError = 1;         // MEError
  static constexpr uint32_t kEventNeedInput = 601;   // METransformNeedInput
  static constexpr uint32_t kEventHaveOutput = 602;  // METransformHaveOutput

  std::mutex mu;
  std::condition_variable cv;
  int need_input = 0;
  int have_output = 0;
  HResult error = kSOk;  // negative: the transform reported an error
  bool stopping = false;
  bool callback_ended = false;

  // The callback's bookkeeping, each under the mutex with every waiter
  // notified after unlocking.
  // An event of `type` with `status` arrived (EndGetEvent succeeded).
  void OnEvent(uint32_t type, HResult status);
  // EndGetEvent or the re-arming BeginGetEvent failed: the callback ends.
  void OnEventRequestFailed(HResult hr);
  // The callback found no event generator: it ends.
  void OnNoGenerator();
  bool IsStopping();
};

// Blocks on the state's condition variable (its lock held by `lock`) until
// notified or until the clock's TickMs reaches `deadline_ms`; may wake early.
// Tests replace it to run in virtual time.
class IAsyncWaiter {
 public:
  virtual ~IAsyncWaiter() = default;
  virtual void WaitUntil(VideoEncoderAsyncState& state, std::unique_lock<std::mutex>& lock,
                         uint64_t deadline_ms) = 0;
};

enum class EventSetupStep : uint32_t {
  kNone,
  kNoGenerator,    // QueryInterface(IMFMediaEventGenerator)
  kBeginGetEvent,  // the first BeginGetEvent
};

struct EventSetupResult {
  HResult hr = kSOk;
  EventSetupStep failed_step = EventSetupStep::kNone;
};

class IDxgiDeviceManager;

// An activated encoder transform (IMFTransform and its attributes).
class IEncoderTransform {
 public:
  // Releases the transform.
  virtual ~IEncoderTransform() = default;

  // Attributes of the transform.
  virtual bool IsAsync() = 0;                // MF_TRANSFORM_ASYNC non-zero
  virtual HResult UnlockAsync() = 0;         // MF_TRANSFORM_ASYNC_UNLOCK = 1
  virtual bool IsD3d11Aware() = 0;           // MF_SA_D3D11_AWARE non-zero
  virtual HResult SetLowLatency() = 0;       // MF_LOW_LATENCY = 1

  virtual bool HasCodecApi() = 0;
  virtual HResult SetCodecValue(CodecProperty property, uint32_t value) = 0;

  virtual HResult SetOutputType(const MediaTypeDesc& type) = 0;
  virtual HResult SetInputType(const MediaTypeDesc& type) = 0;
  // After MF_E_TRANSFORM_STREAM_CHANGE: GetOutputAvailableType(0, 0) into
  // *available_hr (a failure when there is none), then SetOutputType(0, that
  // type) into *set_hr (left untouched when there was no type).
  virtual void AdoptAvailableOutputType(HResult* available_hr, HResult* set_hr) = 0;

  virtual HResult ProcessMessage(TransformMessage message) = 0;
  // MFT_MESSAGE_SET_D3D_MANAGER with the device manager, or null to detach.
  virtual HResult SetD3dManager(IDxgiDeviceManager* manager) = 0;

  virtual HResult ProcessInput(EncoderSample& sample) = 0;
  virtual OutputStreamInfo GetOutputStreamInfo() = 0;
  // ProcessOutput on stream 0. When `supply_bytes` is non-zero the platform
  // supplies a sample with a buffer of that size; 0 means the transform
  // provides its own. Returned event collections are released.
  virtual OutputResult ProcessOutput(uint32_t supply_bytes) = 0;

  // Asynchronous transforms: connects the event generator to `state` and
  // requests the first event.
  virtual EventSetupResult StartEvents(std::shared_ptr<VideoEncoderAsyncState> state) = 0;
  // IMFShutdown::Shutdown (asynchronous transforms).
  virtual void ShutdownTransform() = 0;
};

// One enumerated transform (IMFActivate). Destroying it releases it.
class ITransformActivation {
 public:
  virtual ~ITransformActivation() = default;
  // MFT_FRIENDLY_NAME_Attribute in UTF-8; empty when absent, empty or not
  // convertible.
  virtual std::string FriendlyName() = 0;
  virtual TransformClsid Clsid() = 0;
  // Its own MFT_ENUM_ADAPTER_LUID blob when that is exactly 8 bytes, else 0.
  virtual uint64_t AdapterLuidAttribute() = 0;
  // ActivateObject(IID_IMFTransform). A success that yields no transform
  // leaves *out empty.
  virtual HResult Activate(std::unique_ptr<IEncoderTransform>* out) = 0;
  virtual void ShutdownObject() = 0;
};

struct TransformEnumeration {
  HResult hr = kSOk;
  std::vector<std::unique_ptr<ITransformActivation>> activations;
};

// The DXGI device manager a GPU-direct transform shares the device through.
class IDxgiDeviceManager {
 public:
  virtual ~IDxgiDeviceManager() = default;
  virtual HResult ResetDevice(GpuDevice& device) = 0;
};

// Process-level encoder platform calls.
class IEncoderPlatform {
 public:
  virtual ~IEncoderPlatform() = default;
  // LUID of the adapter EnumAdapters1(0) returns; 0 when DXGI fails.
  virtual uint64_t FirstAdapterLuid() = 0;
  // MFTEnum2 (hardware | sort-and-filter) restricted to the adapter; the
  // hr of a missing MFTEnum2 is a failure.
  virtual TransformEnumeration EnumerateForAdapter(VideoCodec codec, uint64_t adapter_luid) = 0;
  // MFTEnumEx: hardware | sort-and-filter (0x44) or sync | sort-and-filter (0x41).
  virtual TransformEnumeration Enumerate(VideoCodec codec, bool hardware) = 0;

  // MFCreateDXGIDeviceManager.
  virtual HResult CreateDeviceManager(std::unique_ptr<IDxgiDeviceManager>* out) = 0;
  // A system-memory sample of `size` bytes copied from `bytes`, with its
  // time and duration (100-ns units).
  virtual SampleResult MakeMemorySample(const uint8_t* bytes, size_t size, int64_t time_100ns,
                                        int64_t duration_100ns) = 0;
  // A sample over an NV12 surface (MFCreateDXGISurfaceBuffer of the texture).
  virtual SampleResult MakeSurfaceSample(const GpuTexture& surface, int64_t time_100ns, int64_t duration_100ns) = 0;
};

}  // namespace orvane
