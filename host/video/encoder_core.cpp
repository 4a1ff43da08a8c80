#include "host/video/encoder_core.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <utility>

#include "host/common/logger.h"
#include "host/common/utf.h"
#include "host/video/color_convert.h"
#include "host/video/encoder_rules.h"

namespace orvane {

namespace {

constexpr int kEncoderCode = 6;   // encoder-level failures
constexpr int kResourceCode = 7;  // a platform call or resource failed

// The largest texture side Direct3D 11 guarantees; larger encoder sizes are
// refused before any buffer is sized for them.
constexpr uint32_t kMaxEncoderSide = 16384;

// Waits on an asynchronous transform, in milliseconds.
constexpr uint64_t kFirstInputWaitMs = 1000;
constexpr uint64_t kInputWaitMs = 200;
constexpr uint64_t kFirstOutputWaitMs = 200;
constexpr uint64_t kOutputWaitMs = 30;
constexpr uint32_t kTimeoutsBeforePipelined = 3;
constexpr uint64_t kCallbackEndWaitMs = 50;

bool Failed(HResult hr) { return hr < 0; }
unsigned long Hex(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }
unsigned long long Luid(uint64_t luid) { return static_cast<unsigned long long>(luid); }
const char* YesNo(bool v) { return v ? "yes" : "no"; }
const char* KindName(bool hardware) { return hardware ? "hardware" : "software"; }
HResult FailureOr(HResult hr, HResult fallback) { return Failed(hr) ? hr : fallback; }

// Microseconds into the transform's 100-ns units, saturating.
int64_t To100ns(int64_t us) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 10;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min() / 10;
  if (us > kMax) return std::numeric_limits<int64_t>::max();
  if (us < kMin) return std::numeric_limits<int64_t>::min();
  return us * 10;
}

// (transform, adapter) pairs that failed to activate in this process; later
// openings try them after every other candidate.
struct FailedActivation {
  TransformClsid clsid;
  uint64_t luid = 0;
};

std::mutex& FailedActivationMutex() {
  static std::mutex mu;
  return mu;
}

std::vector<FailedActivation>& FailedActivations() {
  static std::vector<FailedActivation>* list = new std::vector<FailedActivation>();
  return *list;
}

bool IsFailedActivation(const TransformClsid& clsid, uint64_t luid) {
  std::lock_guard<std::mutex> lock(FailedActivationMutex());
  for (const FailedActivation& f : FailedActivations()) {
    if (f.clsid == clsid && f.luid == luid) return true;
  }
  return false;
}

void RememberFailedActivation(const TransformClsid& clsid, uint64_t luid) {
  std::lock_guard<std::mutex> lock(FailedActivationMutex());
  for (const FailedActivation& f : FailedActivations()) {
    if (f.clsid == clsid && f.luid == luid) return;
  }
  FailedActivations().push_back({clsid, luid});
}

// Moves the items from `begin` on that satisfy `keep_first` ahead of the
// others, both groups in their order; returns where the others start.
template <typename T, typename Pred>
size_t StablePartition(std::vector<T>* items, size_t begin, Pred keep_first) {
  std::vector<T> first;
  std::vector<T> rest;
  for (size_t i = begin; i < items->size(); ++i) {
    if (keep_first((*items)[i])) {
      first.push_back(std::move((*items)[i]));
    } else {
      rest.push_back(std::move((*items)[i]));
    }
  }
  items->erase(items->begin() + static_cast<std::ptrdiff_t>(begin), items->end());
  const size_t split = begin + first.size();
  for (T& item : first) items->push_back(std::move(item));
  for (T& item : rest) items->push_back(std::move(item));
  return split;
}

// Stand-ins for a platform the encoder was given none of: nothing to
// enumerate, no device.
class NoEncoderPlatform final : public IEncoderPlatform {
 public:
  uint64_t FirstAdapterLuid() override { return 0; }
  TransformEnumeration EnumerateForAdapter(VideoCodec, uint64_t) override { return {kEFail, {}}; }
  TransformEnumeration Enumerate(VideoCodec, bool) override { return {kEFail, {}}; }
  HResult CreateDeviceManager(std::unique_ptr<IDxgiDeviceManager>* out) override {
    out->reset();
    return kENotImpl;
  }
  SampleResult MakeMemorySample(const uint8_t*, size_t, int64_t, int64_t) override {
    SampleResult r;
    r.hr = kENotImpl;
    r.failed_step = SampleStep::kAllocateBuffer;
    return r;
  }
  SampleResult MakeSurfaceSample(const GpuTexture&, int64_t, int64_t) override {
    SampleResult r;
    r.hr = kENotImpl;
    r.failed_step = SampleStep::kSurfaceBuffer;
    return r;
  }
};

class SystemWaiter final : public IAsyncWaiter {
 public:
  void WaitUntil(VideoEncoderAsyncState& state, std::unique_lock<std::mutex>& lock, uint64_t deadline_ms) override {
    const uint64_t now = SystemClock().TickMs();
    if (now >= deadline_ms) return;
    state.cv.wait_for(lock, std::chrono::milliseconds(deadline_ms - now));
  }
};

}  // namespace

// ---------------------------------------------------------------- lifetime

VideoEncoder::VideoEncoder(std::unique_ptr<IEncoderPlatform> platform, std::unique_ptr<IGpuPlatform> gpu,
                           IClock& clock, IAsyncWaiter& waiter, std::function<bool()> force_cpu_nv12)
    : platform_(platform ? std::move(platform) : std::make_unique<NoEncoderPlatform>()),
      gpu_(gpu ? std::move(gpu) : std::make_unique<UnavailableGpuPlatform>()),
      clock_(clock),
      waiter_(waiter),
      force_cpu_nv12_(std::move(force_cpu_nv12)),
      converter_(*gpu_, GpuConverterOwner{&info_, &last_result_, [this](HResult hr) { CountFailure(hr); }}) {}

VideoEncoder::~VideoEncoder() {
  std::lock_guard<std::mutex> lock(mu_);
  ShutdownLocked();
}

bool VideoEncoder::Fail(int code, const char* message, HResult hr) {
  last_result_ = HostResult::Failure(code, message, hr);
  return false;
}

// -------------------------------------------------------------- Initialize

bool VideoEncoder::Initialize(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  return InitializeLocked(codec, width, height, fps, kbps);
}

bool VideoEncoder::InitializeLocked(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps,
                                    uint32_t kbps) {
  ShutdownLocked();

  last_result_ = HostResult::Success();
  codec_ = IsHevc(codec) ? VideoCodec::kHevc : VideoCodec::kH264;
  width_ = width;
  height_ = height;
  fps_ = NormalizeFrameRate(fps);
  kbps_ = kbps;
  initialized_ = false;

  converter_.Release();
  mode_ = EncoderMode::kSw;
  hardware_ = false;
  async_ = false;
  manager_rejected_ = false;
  rebind_tried_ = false;
  d3d11_aware_ = false;
  peak_vbr_ = false;
  gpu_direct_ = false;
  converter_active_ = false;
  input_is_nv12_ = false;
  queue_.clear();
  inputs_submitted_ = 0;
  outputs_produced_ = 0;
  output_wait_timeouts_ = 0;
  wait_for_output_per_input_ = true;
  needs_reset_ = false;
  consecutive_failures_ = 0;
  stream_info_warned_ = false;

  info_ = EncoderRuntimeInfo{};
  info_.fallback_reason = "none";

  config_ = Config{codec_, width, height, fps, kbps, true};

  // NV12 needs even sizes (the chroma plane is subsampled by two both ways).
  if (width == 0 || height == 0 || (width & 1u) != 0 || (height & 1u) != 0 || width > kMaxEncoderSide ||
      height > kMaxEncoderSide) {
    return Fail(kEncoderCode, "Invalid encoder dimensions", kEFail);
  }

  std::string collected;
  if (preference_ == EncoderPreference::kSoftwareOnly) {
    collected = hardware_disabled_ ? "hardware_disabled_after_resets" : "software_only_requested";
    info_.fallback_reason = collected;
  } else if (hardware_disabled_) {
    collected = "hardware_disabled_after_resets";
    info_.fallback_reason = collected;
  } else {
    if (OpenTransform(true)) {
      BindGpuDirect();
      if (Configure()) {
        initialized_ = true;
      } else {
        LogWarn("[Encoder] Hardware encoder type negotiation failed; falling back to software encoder");
        ReleaseTransform();
        hardware_ = false;
        info_.fallback_reason = "hardware_type_negotiation_failed";
      }
    } else {
      LogWarn("[Encoder] Hardware encoder activation failed; falling back to software encoder");
      ReleaseTransform();
      hardware_ = false;
    }
    if (!initialized_) collected = info_.fallback_reason;
  }

  if (!initialized_) {
    if (preference_ == EncoderPreference::kHardwareOnly) {
      return Fail(kEncoderCode, "Hardware encoder unavailable (hardware-only preference)", kEFail);
    }
    if (!OpenTransform(false)) {
      ReleaseTransform();
      info_.fallback_reason = collected;
      return Fail(kEncoderCode, "Failed to create hardware or software encoder", kEFail);
    }
    if (!Configure()) {
      ReleaseTransform();
      info_.fallback_reason = collected;
      return Fail(kEncoderCode, "Failed to configure software encoder", kEFail);
    }
    if (!collected.empty()) info_.fallback_reason = collected;
    initialized_ = true;
  }

  if (hardware_ && gpu_direct_) {
    mode_ = EncoderMode::kHwGpuDirect;
  } else if (hardware_) {
    mode_ = EncoderMode::kHwCpuFeed;
  } else {
    mode_ = EncoderMode::kSw;
  }
  last_result_ = HostResult::Success();
  LogInfo(
      "[Encoder] Initialized: %s %ux%u @%u fps, %u kbps mode=%s mft=%s async=%s rc=%s gop=%u adapter=%s "
      "feature=0x%X fallback=%s",
      VideoCodecName(codec_), width_, height_, fps_, kbps_, EncoderModeName(mode_),
      info_.mft_name.empty() ? "unknown" : info_.mft_name.c_str(), YesNo(async_),
      info_.rate_control.empty() ? "default" : info_.rate_control.c_str(), info_.gop_length,
      info_.adapter_name.empty() ? "unknown" : info_.adapter_name.c_str(), info_.feature_level,
      info_.fallback_reason.c_str());
  return true;
}

// ------------------------------------------------------- opening a transform

std::vector<VideoEncoder::Candidate> VideoEncoder::EnumerateCandidates(bool hardware, uint64_t* adapter_luid,
                                                                       size_t* bound_count, HResult* enum_hr) {
  std::vector<Candidate> candidates;
  std::vector<TransformClsid> seen;
  *adapter_luid = 0;
  *bound_count = 0;

  auto add = [&](std::unique_ptr<ITransformActivation> activation, uint64_t luid, bool bound) {
    Candidate c;
    // At most 255 bytes, never half a character.
    c.name = std::string(Utf8Prefix(activation->FriendlyName(), 255));
    if (c.name.empty()) c.name = "unknown";
    c.clsid = activation->Clsid();
    c.luid = luid;
    c.bound = bound;
    c.activation = std::move(activation);
    candidates.push_back(std::move(c));
  };

  if (hardware) {
    const uint64_t luid = preferred_luid_ != 0 ? preferred_luid_ : platform_->FirstAdapterLuid();
    *adapter_luid = luid;
    if (luid != 0) {
      TransformEnumeration bound = platform_->EnumerateForAdapter(codec_, luid);
      if (Failed(bound.hr)) {
        LogWarn("[Encoder] MFTEnum2 for adapter luid=0x%016llX failed: 0x%08lX", Luid(luid), Hex(bound.hr));
      } else {
        for (std::unique_ptr<ITransformActivation>& activation : bound.activations) {
          if (!activation) continue;
          seen.push_back(activation->Clsid());
          add(std::move(activation), luid, true);
        }
      }
      *bound_count = candidates.size();
    }
  }

  TransformEnumeration all = platform_->Enumerate(codec_, hardware);
  *enum_hr = all.hr;
  if (!Failed(all.hr)) {
    for (std::unique_ptr<ITransformActivation>& activation : all.activations) {
      if (!activation) continue;
      const TransformClsid clsid = activation->Clsid();
      if (std::find(seen.begin(), seen.end(), clsid) != seen.end()) continue;  // released here
      const uint64_t luid = activation->AdapterLuidAttribute();
      add(std::move(activation), luid, false);
    }
  }
  return candidates;
}

bool VideoEncoder::OpenTransform(bool hardware) {
  uint64_t adapter_luid = 0;
  size_t bound = 0;
  HResult enum_hr = kSOk;
  std::vector<Candidate> candidates = EnumerateCandidates(hardware, &adapter_luid, &bound, &enum_hr);
  if (candidates.empty()) {
    LogError("[Encoder] No %s encoder found for %s", KindName(hardware), VideoCodecName(codec_));
    if (hardware) info_.fallback_reason = "no_hardware_encoder";
    return Fail(kEncoderCode, "No compatible encoder found", enum_hr);
  }

  // Those bound to the adapter first, then the others on that adapter, then
  // the rest; whatever failed to activate before goes last.
  if (adapter_luid != 0) {
    StablePartition(&candidates, bound, [&](const Candidate& c) { return c.luid == adapter_luid; });
  }
  const size_t tried_first =
      StablePartition(&candidates, 0, [](const Candidate& c) { return !IsFailedActivation(c.clsid, c.luid); });
  const size_t failed_before = candidates.size() - tried_first;
  if (failed_before > 0) {
    LogInfo("[Encoder] %zu encoder candidate(s) that failed to activate earlier are tried last", failed_before);
  }
  const unsigned n = static_cast<unsigned>(candidates.size());
  LogInfo("[Encoder] Enumerated %u %s %s encoder candidate(s) (%zu bound to adapter luid=0x%016llX)", n,
          KindName(hardware), VideoCodecName(codec_), bound, Luid(adapter_luid));

  HResult last_error = kEFail;
  for (unsigned i = 0; i < n; ++i) {
    Candidate& c = candidates[i];
    std::unique_ptr<IEncoderTransform> transform;
    HResult hr = c.activation->Activate(&transform);
    if (Failed(hr) || !transform) {
      transform.reset();
      c.activation->ShutdownObject();
      RememberFailedActivation(c.clsid, c.luid);
      last_error = FailureOr(hr, kEFail);
      LogWarn("[Encoder] Candidate %u/%u (%s adapter=0x%016llX) activation failed: 0x%08lX", i + 1, n,
              c.name.c_str(), Luid(c.luid), Hex(last_error));
      continue;
    }
    async_ = false;
    d3d11_aware_ = false;
    if (transform->IsAsync()) {
      hr = transform->UnlockAsync();
      if (Failed(hr)) {
        // A locked asynchronous transform is not broken: no entry in the list.
        LogWarn("[Encoder] Failed to unlock async MFT: 0x%08lX", Hex(hr));
        transform.reset();
        c.activation->ShutdownObject();
        last_error = kMfETransformAsyncLocked;
        continue;
      }
      async_ = true;
    }
    d3d11_aware_ = transform->IsD3d11Aware();
    hr = transform->SetLowLatency();
    if (Failed(hr)) LogWarn("[Encoder] MF_LOW_LATENCY not set on the encoder: 0x%08lX", Hex(hr));

    transform_ = std::move(transform);
    activation_ = std::move(c.activation);
    hardware_ = hardware;
    info_.mft_adapter_luid = hardware ? c.luid : 0;
    info_.mft_name = c.name;
    info_.async = async_;
    if (!hardware) info_.fallback_reason = "software_encoder_selected";
    LogInfo("[Encoder] MFT encoder activated (%s candidate=%u/%u name=%s adapter=0x%016llX async=%s d3d11_aware=%s).",
            KindName(hardware), i + 1, n, c.name.c_str(), Luid(c.luid), YesNo(async_), YesNo(d3d11_aware_));
    return true;
  }

  LogError("[Encoder] All encoder candidates failed activation: 0x%08lX", Hex(last_error));
  if (hardware) info_.fallback_reason = "hardware_encoder_activation_failed";
  return Fail(kEncoderCode, "Encoder activation failed", last_error);
}

// ----------------------------------------------------------- GPU-direct

void VideoEncoder::BindGpuDirect() {
  gpu_direct_ = false;
  if (transform_ && manager_attached_) transform_->SetD3dManager(nullptr);
  manager_attached_ = false;
  device_manager_.reset();
  gpu_direct_device_.reset();
  gpu_direct_feature_level_ = 0;
  if (!transform_) return;

  GpuDeviceResult made;
  if (!converter_.CreateDeviceOnAdapter("GPU-direct", info_.mft_adapter_luid, false, &made) || !made.device) {
    info_.fallback_reason = "gpu_direct_device_create_failed";
    return;
  }
  gpu_direct_device_ = made.device;
  gpu_direct_feature_level_ = made.feature_level;
  // The transform uses the device from its own threads.
  gpu_->SetMultithreadProtected(*gpu_direct_device_);

  std::unique_ptr<IDxgiDeviceManager> manager;
  const HResult hr = platform_->CreateDeviceManager(&manager);
  if (Failed(hr) || !manager) {
    LogWarn("[Encoder] MFCreateDXGIDeviceManager failed: 0x%08lX", Hex(FailureOr(hr, kEFail)));
    gpu_direct_device_.reset();
    gpu_direct_feature_level_ = 0;
    info_.d3d_mgr_hr = FailureOr(hr, kEFail);
    info_.fallback_reason = "dxgi_manager_create_failed";
    return;
  }
  device_manager_ = std::move(manager);
  if (!RebindDeviceManager("init")) {
    info_.fallback_reason = "d3d_manager_rejected";
    return;
  }
  gpu_direct_ = true;
  LogInfo("[Encoder] GPU-direct encode enabled (feature_level=0x%X)", gpu_direct_feature_level_);
}

bool VideoEncoder::RebindDeviceManager(const char* label) {
  if (!transform_ || !device_manager_ || !gpu_direct_device_) return false;
  HResult hr = device_manager_->ResetDevice(*gpu_direct_device_);
  if (Failed(hr)) {
    info_.d3d_mgr_hr = hr;
    LogWarn("[Encoder] DXGI manager rebind (%s) ResetDevice failed: 0x%08lX", label, Hex(hr));
    return false;
  }
  hr = transform_->SetD3dManager(device_manager_.get());
  info_.d3d_mgr_hr = hr;
  if (Failed(hr)) {
    LogWarn("[Encoder] Encoder rejected D3D manager (%s): 0x%08lX", label, Hex(hr));
    manager_rejected_ = true;
    return false;
  }
  manager_rejected_ = false;
  manager_attached_ = true;
  LogInfo("[Encoder] D3D manager attached (%s)", label);
  return true;
}

// ------------------------------------------------------------- configure

bool VideoEncoder::Configure() {
  if (!transform_) return false;
  ApplyCodecSettings();

  MediaTypeDesc output;
  output.subtype = CodecSubtype(codec_);
  output.width = width_;
  output.height = height_;
  output.fps_numerator = fps_;
  output.fps_denominator = 1;
  output.avg_bitrate = BitsPerSecond(kbps_);
  output.low_latency = true;
  HResult hr = transform_->SetOutputType(output);
  if (Failed(hr)) {
    LogError("[Encoder] SetOutputType failed: 0x%08lX", Hex(hr));
    return false;
  }
  has_output_type_ = true;

  if (!NegotiateInputType()) return false;
  if (async_ && !SetupAsyncEvents()) return false;

  hr = transform_->ProcessMessage(TransformMessage::kBeginStreaming);
  if (Failed(hr)) {
    LogError("[Encoder] Begin streaming failed: 0x%08lX", Hex(hr));
    return Fail(kEncoderCode, "Encoder begin streaming failed", hr);
  }
  hr = transform_->ProcessMessage(TransformMessage::kStartOfStream);
  if (Failed(hr)) {
    LogError("[Encoder] Start of stream failed: 0x%08lX", Hex(hr));
    return Fail(kEncoderCode, "Encoder start of stream failed", hr);
  }
  return true;
}

void VideoEncoder::ApplyCodecSettings() {
  info_.rate_control = "default";
  info_.gop_length = 0;
  peak_vbr_ = false;
  if (!transform_->HasCodecApi()) {
    LogWarn("[Encoder] ICodecAPI unavailable; using encoder defaults");
    return;
  }
  const bool low_latency = !Failed(transform_->SetCodecValue(CodecProperty::kLowLatencyMode, 1));

  struct RateControl {
    uint32_t value;
    const char* name;
  };
  static constexpr RateControl kModes[] = {{4, "low_delay_vbr"}, {0, "cbr"}, {1, "peak_vbr"}};
  for (const RateControl& mode : kModes) {
    if (Failed(transform_->SetCodecValue(CodecProperty::kRateControlMode, mode.value))) continue;
    info_.rate_control = mode.name;
    peak_vbr_ = mode.value == 1;
    break;
  }
  transform_->SetCodecValue(CodecProperty::kMeanBitRate, BitsPerSecond(kbps_));
  if (peak_vbr_) transform_->SetCodecValue(CodecProperty::kMaxBitRate, PeakBitsPerSecond(kbps_));
  const uint32_t gop = GopLength(fps_);
  if (!Failed(transform_->SetCodecValue(CodecProperty::kGopSize, gop))) info_.gop_length = gop;
  const bool no_b_frames = !Failed(transform_->SetCodecValue(CodecProperty::kBPictureCount, 0));
  ApplyFrameSizeLimits("init");
  LogInfo("[Encoder] Codec API: low_latency=%s rate_control=%s gop=%u b_frames=%s", low_latency ? "on" : "unsupported",
          info_.rate_control.c_str(), info_.gop_length, no_b_frames ? "0" : "default");
}

void VideoEncoder::ApplyFrameSizeLimits(const char* label) {
  if (!transform_ || (vbv_buffer_bits_ == 0 && min_qp_ == 0) || !transform_->HasCodecApi()) return;
  HResult vbv_hr = 1;
  if (vbv_buffer_bits_ != 0) vbv_hr = transform_->SetCodecValue(CodecProperty::kBufferSize, vbv_buffer_bits_);
  const HResult qp_hr = transform_->SetCodecValue(CodecProperty::kMinQp, min_qp_);
  LogInfo("[Encoder] Frame size limits (%s): vbv_buffer=%u bits (hr=0x%08lX) min_qp=%u (hr=0x%08lX)", label,
          vbv_buffer_bits_, Hex(vbv_hr), min_qp_, Hex(qp_hr));
}

// ---------------------------------------------------- input negotiation

bool VideoEncoder::OfferGpuDirectNv12(bool* converter_failed) {
  MediaTypeDesc type;
  type.subtype = VideoSubtype::kNv12;
  type.width = width_;
  type.height = height_;
  type.fps_numerator = fps_;
  type.fps_denominator = 1;
  const HResult hr = transform_->SetInputType(type);
  if (Failed(hr)) {
    // NV12 surfaces must never reach a transform set for another type.
    LogWarn("[Encoder] GPU-direct NV12 input type rejected: 0x%08lX", Hex(hr));
    gpu_direct_ = false;
    return false;
  }
  has_input_type_ = true;
  input_subtype_ = VideoSubtype::kNv12;
  input_is_nv12_ = false;
  if (converter_.OpenConverter(width_, height_, fps_, gpu_direct_device_, gpu_direct_feature_level_)) {
    LogInfo("[Encoder] Input type set: NV12 (GPU-direct D3D11 texture)");
    return true;
  }
  LogWarn("[Encoder] GPU-direct NV12 input accepted but color converter init failed; disabling GPU-direct path");
  converter_.Release();
  gpu_direct_ = false;
  info_.fallback_reason = "gpu_direct_color_converter_failed";
  *converter_failed = true;
  return false;
}

bool VideoEncoder::NegotiateInputType() {
  bool converter_failed = false;
  if (gpu_direct_ && OfferGpuDirectNv12(&converter_failed)) return true;

  // The transform did not take the manager's device at binding time, or
  // refused NV12 with it: bind once more now that it has its output type.
  // A converter that failed on the device would fail again; no rebind then.
  if (hardware_ && !gpu_direct_ && !converter_failed && !manager_rejected_ && !rebind_tried_ && device_manager_ &&
      gpu_direct_device_) {
    rebind_tried_ = true;
    if (RebindDeviceManager("post-input-type")) {
      gpu_direct_ = true;
      if (OfferGpuDirectNv12(&converter_failed)) return true;
    }
    gpu_direct_ = false;
    info_.fallback_reason = "gpu_direct_rebind_input_rejected";
  }

  static constexpr VideoSubtype kOrder[] = {VideoSubtype::kNv12, VideoSubtype::kArgb32, VideoSubtype::kRgb32};
  bool accepted = false;
  VideoSubtype chosen = VideoSubtype::kNv12;
  for (VideoSubtype subtype : kOrder) {
    MediaTypeDesc type;
    type.subtype = subtype;
    type.width = width_;
    type.height = height_;
    type.fps_numerator = fps_;
    type.fps_denominator = 1;
    const HResult hr = transform_->SetInputType(type);
    if (!Failed(hr)) {
      accepted = true;
      chosen = subtype;
      break;
    }
    LogWarn("[Encoder] Input type %s not accepted: 0x%08lX", VideoSubtypeName(subtype), Hex(hr));
  }
  if (!accepted) {
    if (hardware_) {
      LogWarn("[Encoder] No compatible input type found on hardware encoder");
      info_.fallback_reason = "hardware_input_type_rejected";
    } else {
      LogError("[Encoder] No compatible input type found");
    }
    return false;
  }

  has_input_type_ = true;
  input_subtype_ = chosen;
  input_is_nv12_ = chosen == VideoSubtype::kNv12;
  const char* name = VideoSubtypeName(chosen);
  if (!input_is_nv12_) {
    nv12_staging_.clear();
    converter_.Release();
    converter_active_ = false;
    LogInfo("[Encoder] Input type set: %s (direct GPU-friendly BGRA feed)", name);
    return true;
  }

  nv12_staging_.resize(static_cast<size_t>(Yuv420Bytes(width_, height_)));
  const bool forced = force_cpu_nv12_ ? force_cpu_nv12_() : false;
  const bool opened = !forced && converter_.OpenConverter(width_, height_, fps_, nullptr, 0);
  converter_active_ = opened;
  if (!opened) converter_.Release();
  if (forced) {
    if (hardware_) info_.fallback_reason = "forced_cpu_nv12";
    LogWarn("[Encoder] Input type set: %s (GPU BGRA->NV12 converter disabled by ORVANE_FORCE_CPU_NV12, using CPU "
            "fallback)",
            name);
  } else if (!opened) {
    if (hardware_) info_.fallback_reason = "gpu_converter_unavailable";
    LogWarn("[Encoder] Input type set: %s (GPU converter unavailable, using CPU fallback)", name);
  } else {
    LogInfo("[Encoder] Input type set: %s (GPU BGRA->NV12 converter enabled)", name);
  }
  return true;
}

// -------------------------------------------------------- async events

bool VideoEncoder::SetupAsyncEvents() {
  auto state = std::make_shared<VideoEncoderAsyncState>();
  const EventSetupResult r = transform_->StartEvents(state);
  if (r.failed_step == EventSetupStep::kNoGenerator) {
    LogError("[Encoder] Async MFT has no IMFMediaEventGenerator: 0x%08lX", Hex(FailureOr(r.hr, kEFail)));
    return false;
  }
  if (r.failed_step == EventSetupStep::kBeginGetEvent || Failed(r.hr)) {
    LogError("[Encoder] BeginGetEvent failed: 0x%08lX", Hex(FailureOr(r.hr, kEFail)));
    return false;
  }
  async_state_ = std::move(state);
  return true;
}

void VideoEncoder::TeardownAsync() {
  if (!async_state_) return;
  const std::shared_ptr<VideoEncoderAsyncState> state = std::move(async_state_);
  async_state_.reset();
  {
    std::lock_guard<std::mutex> lock(state->mu);
    state->stopping = true;
  }
  state->cv.notify_all();
  if (transform_ && async_) transform_->ShutdownTransform();
  const uint64_t deadline = clock_.TickMs() + kCallbackEndWaitMs;
  std::unique_lock<std::mutex> lock(state->mu);
  while (!state->callback_ended && clock_.TickMs() < deadline) waiter_.WaitUntil(*state, lock, deadline);
}

// ----------------------------------------------------------- releasing

void VideoEncoder::ReleaseTransform() {
  if (transform_ && manager_attached_) transform_->SetD3dManager(nullptr);
  manager_attached_ = false;
  TeardownAsync();
  transform_.reset();
  if (activation_) {
    activation_->ShutdownObject();
    activation_.reset();
  }
  has_output_type_ = false;
  has_input_type_ = false;
  device_manager_.reset();
  gpu_direct_device_.reset();
  gpu_direct_feature_level_ = 0;
  converter_.Release();
  gpu_direct_ = false;
  converter_active_ = false;
  input_is_nv12_ = false;
  async_ = false;
  queue_.clear();
}

void VideoEncoder::Shutdown() {
  std::lock_guard<std::mutex> lock(mu_);
  ShutdownLocked();
}

void VideoEncoder::ShutdownLocked() {
  if (transform_) {
    transform_->ProcessMessage(TransformMessage::kEndOfStream);
    transform_->ProcessMessage(async_ ? TransformMessage::kFlush : TransformMessage::kDrain);
  }
  ReleaseTransform();
  queue_.clear();
  nv12_staging_.clear();
  nv12_staging_.shrink_to_fit();
  scaled_bgra_.clear();
  scaled_bgra_.shrink_to_fit();
  initialized_ = false;
}

// ------------------------------------------------------------ submitting

bool VideoEncoder::EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                              int64_t timestamp_us) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialized_ || !transform_) return Fail(kEncoderCode, "Encoder is not initialized", kEFail);
  if (needs_reset_) return Fail(kEncoderCode, "Encoder requires reset", last_result_.hr);
  if (pixels == nullptr || width == 0 || height == 0 ||
      static_cast<uint64_t>(pitch) < static_cast<uint64_t>(width) * 4 || width_ == 0 || height_ == 0) {
    return Fail(kResourceCode, "Invalid BGRA frame dimensions or pitch", kEFail);
  }

  if (gpu_direct_) {
    if (!converter_.UploadBgra(pixels, pitch, width, height)) return false;
    const std::shared_ptr<GpuTexture> upload = converter_.UploadTexture();
    if (!upload) return Fail(kResourceCode, "GPU-direct color conversion resources are unavailable", kEFail);
    return EncodeTextureLocked(*upload, width, height, timestamp_us);
  }

  const size_t nv12_bytes = static_cast<size_t>(Yuv420Bytes(width_, height_));
  if (input_is_nv12_ && converter_active_) {
    if (converter_.ConvertOnGpuWithReadback(pixels, pitch, width, height, &nv12_staging_) &&
        nv12_staging_.size() >= nv12_bytes) {
      return SubmitMemory(nv12_staging_.data(), nv12_bytes, timestamp_us);
    }
    // This frame goes through the CPU; the next one tries the GPU again.
    LogGpuConversionFallback();
  }

  BgraFrame frame{pixels, pitch, width, height};
  if (!FitToNegotiatedSize(&frame, width_, height_, &scaled_bgra_)) {
    return Fail(kResourceCode, "Failed to scale BGRA frame to negotiated encoder dimensions", kEFail);
  }
  if (input_is_nv12_) {
    if (!ConvertBgraToNv12Staging(frame.pixels, frame.pitch, width_, height_, &nv12_staging_) ||
        nv12_staging_.size() < nv12_bytes) {
      return Fail(kResourceCode, "Failed to convert BGRA frame to NV12", kEFail);
    }
    return SubmitMemory(nv12_staging_.data(), nv12_bytes, timestamp_us);
  }
  return SubmitMemory(frame.pixels, static_cast<size_t>(width_) * 4 * height_, timestamp_us);
}

void VideoEncoder::LogGpuConversionFallback() {
  uint64_t suppressed = 0;
  if (!conversion_warnings_.Allow(clock_.TickMs(), &suppressed)) return;
  if (suppressed > 0) {
    LogWarn("[Encoder] GPU BGRA->NV12 conversion failed code=%d msg=%s hr=0x%08lX -- falling back to CPU (%llu "
            "similar suppressed)",
            last_result_.code, last_result_.message.c_str(), Hex(last_result_.hr),
            static_cast<unsigned long long>(suppressed));
  } else {
    LogWarn("[Encoder] GPU BGRA->NV12 conversion failed code=%d msg=%s hr=0x%08lX -- falling back to CPU",
            last_result_.code, last_result_.message.c_str(), Hex(last_result_.hr));
  }
}

bool VideoEncoder::EncodeTexture(const GpuTexture* texture, uint32_t /*width*/, uint32_t /*height*/,
                                 int64_t timestamp_us) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialized_ || !transform_ || !gpu_direct_ || texture == nullptr) {
    return Fail(kEncoderCode, "GPU-direct encode path is unavailable", kEFail);
  }
  if (needs_reset_) return Fail(kEncoderCode, "Encoder requires reset", last_result_.hr);
  const uint32_t w = texture->Width();
  const uint32_t h = texture->Height();
  if (w == 0 || h == 0) return Fail(kResourceCode, "GPU-direct source texture has invalid dimensions", kEFail);
  return EncodeTextureLocked(*texture, w, h, timestamp_us);
}

bool VideoEncoder::EncodeTextureLocked(const GpuTexture& texture, uint32_t width, uint32_t height,
                                       int64_t timestamp_us) {
  if (!converter_.EnsureConversionResources(width, height) || !converter_.Ready()) {
    return Fail(kResourceCode, "GPU-direct color conversion resources are unavailable", kEFail);
  }
  // Only a surface nobody else holds: one the transform may still read would
  // tear. None is a failure that counts, so a transform that keeps every
  // surface ends in a reset rather than a frozen stream.
  const std::shared_ptr<GpuTexture> surface = converter_.AcquireNv12Surface();
  if (!surface) {
    Fail(kResourceCode, "GPU-direct has no NV12 input surface", kEFail);
    CountFailure(kEFail);
    return false;
  }
  if (!converter_.BlitToNv12(texture, width, height, *surface)) return false;

  SampleResult made = platform_->MakeSurfaceSample(*surface, To100ns(timestamp_us), FrameDuration100ns(fps_));
  if (Failed(made.hr) || !made.sample) {
    const HResult hr = FailureOr(made.hr, kEFail);
    switch (made.failed_step) {
      case SampleStep::kAllocateSample:
        return Fail(kResourceCode, "GPU-direct failed to allocate input sample", hr);
      case SampleStep::kAddBuffer:
        return Fail(kResourceCode, "GPU-direct failed to bind DXGI buffer to sample", hr);
      default:
        Fail(kResourceCode, "GPU-direct failed to create DXGI surface buffer", hr);
        CountFailure(hr);
        return false;
    }
  }
  return ProcessInputSample(*made.sample);
}

bool VideoEncoder::SubmitMemory(const uint8_t* bytes, size_t size, int64_t timestamp_us) {
  SampleResult made = platform_->MakeMemorySample(bytes, size, To100ns(timestamp_us), FrameDuration100ns(fps_));
  if (Failed(made.hr) || !made.sample) {
    const HResult hr = FailureOr(made.hr, kEFail);
    switch (made.failed_step) {
      case SampleStep::kAllocateBuffer:
        return Fail(kResourceCode, "Failed to allocate encoder input buffer", hr);
      case SampleStep::kLockBuffer:
        return Fail(kResourceCode, "Failed to lock encoder input buffer", hr);
      default:
        return Fail(kResourceCode, "Failed to allocate encoder input sample", hr);
    }
  }
  return ProcessInputSample(*made.sample);
}

bool VideoEncoder::ProcessInputSample(EncoderSample& sample) {
  bool pull_failed = false;
  if (!async_) {
    HResult hr = transform_->ProcessInput(sample);
    if (hr == kMfENotAccepting) {
      // Full: take what it has finished, then offer the frame once more.
      PullResult pulled = PullResult::kGotOne;
      while ((pulled = PullOneOutput()) == PullResult::kGotOne) {
      }
      pull_failed = pulled == PullResult::kFailed;
      hr = transform_->ProcessInput(sample);
    }
    if (Failed(hr)) {
      LogError("[Encoder] ProcessInput failed: 0x%08lX", Hex(hr));
      Fail(kEncoderCode, "Encoder process input failed", hr);
      CountFailure(hr);
      return false;
    }
    ++inputs_submitted_;
  } else {
    const WaitResult waited = WaitForInputRequest(inputs_submitted_ == 0 ? kFirstInputWaitMs : kInputWaitMs);
    if (waited == WaitResult::kFailed) {
      CountFailure(last_result_.hr);
      return false;
    }
    if (waited == WaitResult::kPullFailed) return false;  // counted by the pull
    const HResult hr = transform_->ProcessInput(sample);
    if (Failed(hr)) {
      LogError("[Encoder] Async ProcessInput failed: 0x%08lX", Hex(hr));
      Fail(kEncoderCode, "Encoder process input failed", hr);
      CountFailure(hr);
      return false;
    }
    ++inputs_submitted_;
    const uint64_t limit =
        !wait_for_output_per_input_ ? 0 : (inputs_submitted_ == 1 ? kFirstOutputWaitMs : kOutputWaitMs);
    pull_failed = CollectOutputs(limit);
  }
  // An accepted input is no proof of health: the failure count goes back to
  // 0 only when an access unit comes out, and a failed pull stays the result.
  if (pull_failed) return false;
  last_result_ = HostResult::Success();
  return true;
}

VideoEncoder::WaitResult VideoEncoder::WaitForInputRequest(uint64_t limit_ms) {
  const std::shared_ptr<VideoEncoderAsyncState> state = async_state_;
  if (!state) {
    Fail(kEncoderCode, "Async encoder did not request input in time", kMfENotAccepting);
    return WaitResult::kFailed;
  }
  const uint64_t deadline = clock_.TickMs() + limit_ms;
  std::unique_lock<std::mutex> lock(state->mu);
  for (;;) {
    if (state->error < 0) {
      const HResult error = state->error;
      lock.unlock();
      Fail(kEncoderCode, "Async encoder reported an error event", error);
      needs_reset_ = true;
      return WaitResult::kFailed;
    }
    if (state->need_input > 0) {
      --state->need_input;
      return WaitResult::kReady;
    }
    if (state->have_output > 0) {
      --state->have_output;
      lock.unlock();
      const PullResult pulled = PullOneOutput();
      lock.lock();
      if (pulled == PullResult::kFailed) return WaitResult::kPullFailed;
      continue;
    }
    if (clock_.TickMs() >= deadline) {
      lock.unlock();
      Fail(kEncoderCode, "Async encoder did not request input in time", kMfENotAccepting);
      return WaitResult::kFailed;
    }
    waiter_.WaitUntil(*state, lock, deadline);
  }
}

bool VideoEncoder::CollectOutputs(uint64_t limit_ms) {
  const std::shared_ptr<VideoEncoderAsyncState> state = async_state_;
  if (!state) return false;
  const uint64_t deadline = clock_.TickMs() + limit_ms;
  bool pull_failed = false;
  bool timed_out = false;
  bool caught_up = false;
  std::unique_lock<std::mutex> lock(state->mu);
  for (;;) {
    if (state->have_output > 0) {
      --state->have_output;
      lock.unlock();
      const PullResult pulled = PullOneOutput();
      lock.lock();
      if (pulled == PullResult::kFailed) {
        pull_failed = true;
        break;
      }
      continue;
    }
    if (outputs_produced_ >= inputs_submitted_) {
      caught_up = true;
      break;
    }
    if (limit_ms == 0 || state->error < 0) break;
    if (clock_.TickMs() >= deadline) {
      timed_out = true;
      break;
    }
    waiter_.WaitUntil(*state, lock, deadline);
  }
  lock.unlock();

  // Only collections that wait count: one that ran out of time without the
  // newest input's unit is a time-out, one that caught up clears the count.
  if (limit_ms > 0) {
    if (timed_out) {
      ++output_wait_timeouts_;
      if (output_wait_timeouts_ >= kTimeoutsBeforePipelined && wait_for_output_per_input_) {
        wait_for_output_per_input_ = false;
        LogWarn("[Encoder] Async encoder holds frames (pipelined output); no longer waiting for output per input");
      }
    } else if (caught_up) {
      output_wait_timeouts_ = 0;
    }
  }
  return pull_failed;
}

// -------------------------------------------------------------- outputs

VideoEncoder::PullResult VideoEncoder::PullOneOutput() {
  bool stream_changed = false;
  for (;;) {
    OutputStreamInfo stream = transform_->GetOutputStreamInfo();
    if (Failed(stream.hr)) {
      if (!stream_info_warned_) {
        stream_info_warned_ = true;
        LogWarn("[Encoder] GetOutputStreamInfo failed: 0x%08lX; supplying default output buffers", Hex(stream.hr));
      }
      stream.flags = 0;
      stream.buffer_size = 0;
    }
    const bool provides = (stream.flags & (kOutputProvidesSamples | kOutputCanProvideSamples)) != 0;
    const uint32_t supply = provides ? 0 : OutputBufferBytes(stream.buffer_size, width_, height_);
    OutputResult out = transform_->ProcessOutput(supply);

    const char* resource_failure = nullptr;
    switch (out.failed_step) {
      case OutputStep::kCreateSample:
        resource_failure = "Failed to create encoder output sample";
        break;
      case OutputStep::kCreateBuffer:
        resource_failure = "Failed to create encoder output buffer";
        break;
      case OutputStep::kFlatten:
        resource_failure = "Failed to flatten encoded frame buffer";
        break;
      case OutputStep::kLockBuffer:
        resource_failure = "Failed to lock encoded frame buffer";
        break;
      case OutputStep::kNone:
      case OutputStep::kProcessOutput:
        break;
    }
    if (resource_failure != nullptr) {
      const HResult hr = FailureOr(out.hr, kEFail);
      Fail(kResourceCode, resource_failure, hr);
      CountFailure(hr);
      return PullResult::kFailed;
    }

    if (out.hr == kMfETransformStreamChange) {
      if (stream_changed) {
        // A second change inside one pull: the transform cannot settle on a
        // type.
        LogError("[Encoder] ProcessOutput failed: 0x%08lX", Hex(out.hr));
        Fail(kEncoderCode, "Encoder stream change renegotiation failed", kMfETransformStreamChange);
        CountFailure(kMfETransformStreamChange);
        return PullResult::kFailed;
      }
      HResult available_hr = kSOk;
      HResult set_hr = kSOk;
      transform_->AdoptAvailableOutputType(&available_hr, &set_hr);
      if (Failed(available_hr)) {
        LogError("[Encoder] Stream change: no output type available: 0x%08lX", Hex(available_hr));
      } else if (Failed(set_hr)) {
        LogError("[Encoder] Stream change: SetOutputType failed: 0x%08lX", Hex(set_hr));
      }
      if (Failed(available_hr) || Failed(set_hr)) {
        Fail(kEncoderCode, "Encoder stream change renegotiation failed", kMfETransformStreamChange);
        CountFailure(kMfETransformStreamChange);
        return PullResult::kFailed;
      }
      has_output_type_ = true;
      LogInfo("[Encoder] Output type renegotiated after MF_E_TRANSFORM_STREAM_CHANGE");
      if (async_) return PullResult::kStreamChanged;
      stream_changed = true;
      continue;
    }
    if (out.hr == kMfETransformNeedMoreInput) return PullResult::kNeedMoreInput;
    if (Failed(out.hr) || out.failed_step == OutputStep::kProcessOutput) {
      const HResult hr = FailureOr(out.hr, kEFail);
      LogError("[Encoder] ProcessOutput failed: 0x%08lX", Hex(hr));
      Fail(kEncoderCode, "Encoder process output failed", hr);
      CountFailure(hr);
      return PullResult::kFailed;
    }
    if (!out.has_sample) {
      Fail(kResourceCode, "Encoder returned empty output sample", kEFail);
      CountFailure(kEFail);
      return PullResult::kFailed;
    }

    EncodedAccessUnit unit;
    unit.data = std::move(out.data);
    unit.keyframe =
        out.has_clean_point ? out.clean_point : ScanForKeyframe(codec_, unit.data.data(), unit.data.size());
    unit.timestamp_us = out.has_time ? out.time_100ns / 10 : 0;
    queue_.push_back(std::move(unit));
    ++outputs_produced_;
    consecutive_failures_ = 0;
    last_result_ = HostResult::Success();
    return PullResult::kGotOne;
  }
}

bool VideoEncoder::ReceiveAccessUnit(EncodedAccessUnit* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialized_ || !transform_) return Fail(kEncoderCode, "Encoder is not initialized", kEFail);
  if (out == nullptr) return false;
  if (async_) {
    CollectOutputs(0);
  } else if (queue_.empty()) {
    PullOneOutput();
  }
  if (queue_.empty()) return false;
  *out = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

// --------------------------------------------------- failures and Reset

void VideoEncoder::CountFailure(HResult hr) {
  ++consecutive_failures_;
  bool device_lost = IsDeviceLostHResult(hr);
  if (!device_lost && gpu_direct_device_) device_lost = Failed(gpu_->DeviceRemovedReason(*gpu_direct_device_));
  if (!device_lost && consecutive_failures_ < kEncoderFailuresBeforeReset) return;
  if (needs_reset_) return;
  LogWarn("[Encoder] Encoder needs reset (device_lost=%s consecutive_failures=%u hr=0x%08lX)", YesNo(device_lost),
          consecutive_failures_, Hex(hr));
  needs_reset_ = true;
}

bool VideoEncoder::NeedsReset() {
  std::lock_guard<std::mutex> lock(mu_);
  return needs_reset_;
}

bool VideoEncoder::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!config_.configured) return Fail(kEncoderCode, "Encoder is not initialized", kEFail);
  const bool failure_reset = needs_reset_ || !initialized_;
  if (failure_reset && hardware_) {
    ++hardware_reset_count_;
    if (hardware_reset_count_ > kHardwareResetsBeforeSoftware && !hardware_disabled_) {
      hardware_disabled_ = true;
      LogWarn("[Encoder] Hardware encoder reset %u times; using the software encoder for this session",
              hardware_reset_count_);
    }
  }
  LogWarn("[Encoder] Resetting encoder (mode=%s last_hr=0x%08lX)", EncoderModeName(mode_), Hex(last_result_.hr));
  const uint64_t resets = info_.resets;
  const Config config = config_;
  ShutdownLocked();
  const bool ok = InitializeLocked(config.codec, config.width, config.height, config.fps, config.kbps);
  // Successful resets are counted across re-initialisations; a failed one
  // keeps the count it had.
  info_.resets = ok ? resets + 1 : resets;
  return ok;
}

// --------------------------------------------------------------- setters

void VideoEncoder::RequestKeyframe() {
  std::lock_guard<std::mutex> lock(mu_);
  if (transform_ && transform_->HasCodecApi()) transform_->SetCodecValue(CodecProperty::kForceKeyFrame, 1);
}

void VideoEncoder::SetBitrate(uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  if (kbps == kbps_) return;
  kbps_ = kbps;
  if (config_.configured) config_.kbps = kbps;
  if (!transform_ || !transform_->HasCodecApi()) return;
  transform_->SetCodecValue(CodecProperty::kMeanBitRate, BitsPerSecond(kbps));
  if (peak_vbr_) transform_->SetCodecValue(CodecProperty::kMaxBitRate, PeakBitsPerSecond(kbps));
}

void VideoEncoder::SetFrameSizeLimits(uint32_t vbv_buffer_bits, uint32_t min_qp) {
  std::lock_guard<std::mutex> lock(mu_);
  if (vbv_buffer_bits == vbv_buffer_bits_ && min_qp == min_qp_) return;
  vbv_buffer_bits_ = vbv_buffer_bits;
  min_qp_ = min_qp;
  if (transform_) ApplyFrameSizeLimits("update");
}

void VideoEncoder::SetFrameRate(uint32_t fps) {
  std::lock_guard<std::mutex> lock(mu_);
  fps_ = NormalizeFrameRate(fps);
  converter_.SetFrameRate(fps_);
}

void VideoEncoder::SetPreferredAdapter(uint64_t adapter_luid) {
  std::lock_guard<std::mutex> lock(mu_);
  preferred_luid_ = adapter_luid;
}

void VideoEncoder::SetPreference(EncoderPreference preference) {
  std::lock_guard<std::mutex> lock(mu_);
  preference_ = preference;
}

// --------------------------------------------------------------- queries

bool VideoEncoder::IsInitialized() {
  std::lock_guard<std::mutex> lock(mu_);
  return initialized_;
}

bool VideoEncoder::IsGpuDirect() {
  std::lock_guard<std::mutex> lock(mu_);
  return gpu_direct_;
}

EncoderMode VideoEncoder::GetMode() {
  std::lock_guard<std::mutex> lock(mu_);
  return mode_;
}

const char* VideoEncoder::GetModeName() {
  std::lock_guard<std::mutex> lock(mu_);
  return EncoderModeName(mode_);
}

EncoderRuntimeInfo VideoEncoder::GetRuntimeInfo() {
  std::lock_guard<std::mutex> lock(mu_);
  return info_;
}

std::shared_ptr<GpuDevice> VideoEncoder::GetDevice() {
  std::lock_guard<std::mutex> lock(mu_);
  return gpu_direct_ ? gpu_direct_device_ : nullptr;
}

HostResult VideoEncoder::GetLastResult() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_result_;
}

// ------------------------------------------------------------ free functions

uint32_t CountHardwareEncoders(IEncoderPlatform& platform, VideoCodec codec) {
  const TransformEnumeration found = platform.Enumerate(codec, true);
  if (Failed(found.hr)) return 0;
  return static_cast<uint32_t>(found.activations.size());
}

IAsyncWaiter& SystemAsyncWaiter() {
  static SystemWaiter* waiter = new SystemWaiter();
  return *waiter;
}

void ClearFailedEncoderActivationsForTest() {
  std::lock_guard<std::mutex> lock(FailedActivationMutex());
  FailedActivations().clear();
}

}  // namespace orvane
