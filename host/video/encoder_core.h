#pragma once
// The encoder behind IVideoEncoder on every platform that encodes through an
// encoder transform: which transform to open and in what order, GPU-direct
// binding, codec settings, type negotiation, the submit paths, the
// asynchronous event waits, collecting access units, failure accounting and
// Reset. The transform itself is reached through IEncoderPlatform /
// IEncoderTransform (Media Foundation on Windows, a scripted fake in tests),
// the GPU through IGpuPlatform.
//
// Waits on an asynchronous transform take their deadlines from the injected
// clock and block through the injected waiter, so tests run them in virtual
// time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/rate_limiter.h"
#include "host/video/encoder_transform.h"
#include "host/video/gpu_converter.h"
#include "host/video/video_encoder.h"

namespace orvane {

class VideoEncoder final : public IVideoEncoder {
 public:
  // `force_cpu_nv12` answers whether the GPU BGRA->NV12 converter is switched
  // off (ORVANE_FORCE_CPU_NV12); it is asked at most once per NV12
  // negotiation.
  VideoEncoder(std::unique_ptr<IEncoderPlatform> platform, std::unique_ptr<IGpuPlatform> gpu, IClock& clock,
               IAsyncWaiter& waiter, std::function<bool()> force_cpu_nv12);
  ~VideoEncoder() override;
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  bool Initialize(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps) override;
  void Shutdown() override;
  bool Reset() override;
  bool NeedsReset() override;
  bool EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                  int64_t timestamp_us) override;
  bool EncodeTexture(const GpuTexture* texture, uint32_t width, uint32_t height, int64_t timestamp_us) override;
  bool ReceiveAccessUnit(EncodedAccessUnit* out) override;
  void RequestKeyframe() override;
  void SetBitrate(uint32_t kbps) override;
  void SetFrameSizeLimits(uint32_t vbv_buffer_bits, uint32_t min_qp) override;
  void SetFrameRate(uint32_t fps) override;
  void SetPreferredAdapter(uint64_t adapter_luid) override;
  bool IsInitialized() override;
  bool IsGpuDirect() override;
  EncoderMode GetMode() override;
  const char* GetModeName() override;
  EncoderRuntimeInfo GetRuntimeInfo() override;
  std::shared_ptr<GpuDevice> GetDevice() override;
  HostResult GetLastResult() override;
  void SetPreference(EncoderPreference preference) override;

 private:
  enum class PullResult { kGotOne, kNeedMoreInput, kStreamChanged, kFailed };
  enum class WaitResult { kReady, kFailed, kPullFailed };
  struct Candidate {
    std::unique_ptr<ITransformActivation> activation;
    uint64_t luid = 0;
    std::string name;
    TransformClsid clsid;
    bool bound = false;  // enumerated for the adapter
  };

  // Everything below runs with mu_ held.
  bool InitializeLocked(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps);
  void ShutdownLocked();
  bool OpenTransform(bool hardware);
  std::vector<Candidate> EnumerateCandidates(bool hardware, uint64_t* adapter_luid, size_t* bound_count,
                                             HResult* enum_hr);
  void BindGpuDirect();
  bool RebindDeviceManager(const char* label);
  bool Configure();
  void ApplyCodecSettings();
  void ApplyFrameSizeLimits(const char* label);
  bool NegotiateInputType();
  bool OfferGpuDirectNv12(bool* converter_failed);
  bool SetupAsyncEvents();
  void ReleaseTransform();
  void TeardownAsync();

  bool EncodeTextureLocked(const GpuTexture& texture, uint32_t width, uint32_t height, int64_t timestamp_us);
  bool SubmitMemory(const uint8_t* bytes, size_t size, int64_t timestamp_us);
  bool ProcessInputSample(EncoderSample& sample);
  WaitResult WaitForInputRequest(uint64_t limit_ms);
  bool CollectOutputs(uint64_t limit_ms);
  PullResult PullOneOutput();
  void CountFailure(HResult hr);
  bool Fail(int code, const char* message, HResult hr);
  void LogGpuConversionFallback();

  std::mutex mu_;
  const std::unique_ptr<IEncoderPlatform> platform_;
  const std::unique_ptr<IGpuPlatform> gpu_;
  IClock& clock_;
  IAsyncWaiter& waiter_;
  const std::function<bool()> force_cpu_nv12_;

  EncoderRuntimeInfo info_;
  HostResult last_result_;
  GpuConverter converter_;
  RateLimiter conversion_warnings_{1000};

  // Remembered configuration (Reset re-initialises with it).
  struct Config {
    VideoCodec codec = VideoCodec::kH264;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;  // as passed
    uint32_t kbps = 0;
    bool configured = false;
  } config_;

  VideoCodec codec_ = VideoCodec::kH264;
  uint32_t fps_ = 60;     // normalised
  uint32_t kbps_ = 8000;
  uint32_t width_ = 0;    // negotiated
  uint32_t height_ = 0;
  EncoderPreference preference_ = EncoderPreference::kAuto;
  uint64_t preferred_luid_ = 0;
  uint32_t vbv_buffer_bits_ = 0;
  uint32_t min_qp_ = 0;

  std::unique_ptr<ITransformActivation> activation_;
  std::unique_ptr<IEncoderTransform> transform_;
  bool has_output_type_ = false;
  bool has_input_type_ = false;
  VideoSubtype input_subtype_ = VideoSubtype::kNv12;

  bool initialized_ = false;
  bool hardware_ = false;
  bool async_ = false;
  bool d3d11_aware_ = false;
  bool gpu_direct_ = false;
  bool input_is_nv12_ = false;
  bool converter_active_ = false;
  bool manager_rejected_ = false;
  bool manager_attached_ = false;
  bool rebind_tried_ = false;
  bool peak_vbr_ = false;
  EncoderMode mode_ = EncoderMode::kSw;

  std::unique_ptr<IDxgiDeviceManager> device_manager_;
  std::shared_ptr<GpuDevice> gpu_direct_device_;
  uint32_t gpu_direct_feature_level_ = 0;

  uint64_t inputs_submitted_ = 0;
  uint64_t outputs_produced_ = 0;
  uint32_t output_wait_timeouts_ = 0;
  bool wait_for_output_per_input_ = true;
  uint32_t consecutive_failures_ = 0;
  bool needs_reset_ = false;
  bool stream_info_warned_ = false;

  uint32_t hardware_reset_count_ = 0;
  bool hardware_disabled_ = false;

  std::deque<EncodedAccessUnit> queue_;
  std::vector<uint8_t> nv12_staging_;
  std::vector<uint8_t> scaled_bgra_;

  std::shared_ptr<VideoEncoderAsyncState> async_state_;
};

// Hardware encoder transforms the platform enumerates for the codec; 0 when
// the enumeration fails.
uint32_t CountHardwareEncoders(IEncoderPlatform& platform, VideoCodec codec);

// The real waiter: sleeps on the state's condition variable until notified or
// until SystemClock().TickMs() reaches the deadline.
IAsyncWaiter& SystemAsyncWaiter();

// Empties the process-wide list of (transform, adapter) pairs that failed to
// activate. Tests only: in the product the list lives as long as the process.
void ClearFailedEncoderActivationsForTest();

}  // namespace orvane
