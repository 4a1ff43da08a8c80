#include "host/video/mf_transform_win.h"

#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfobjects.h>
#include <mftransform.h>
#include <oleauto.h>
#include <strmif.h>
#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"
#include "host/common/utf.h"
#include "host/video/d3d11_util_win.h"

namespace orvane {

namespace {

using Microsoft::WRL::ComPtr;

// Not in the MinGW headers: the adapter filter of MFTEnum2 and the LUID an
// enumerated hardware transform carries.
const GUID kMftEnumAdapterLuid = {0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

// The codec settings (codecapi.h declares them in a way MinGW cannot link).
const GUID kCodecApiLowLatencyMode = {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};
const GUID kCodecApiRateControlMode = {0x1c0608e9, 0x370c, 0x4710, {0x8a, 0x58, 0xcb, 0x61, 0x81, 0xc4, 0x24, 0x23}};
const GUID kCodecApiMeanBitRate = {0xf7222374, 0x2144, 0x4815, {0xb5, 0x50, 0xa3, 0x7f, 0x8e, 0x12, 0xee, 0x52}};
const GUID kCodecApiMaxBitRate = {0x9651eae4, 0x39b9, 0x4ebf, {0x85, 0xef, 0xd7, 0xf4, 0x44, 0xec, 0x74, 0x65}};
const GUID kCodecApiGopSize = {0x95f31b26, 0x95a4, 0x41aa, {0x93, 0x03, 0x24, 0x6a, 0x7f, 0xc6, 0xee, 0xf1}};
const GUID kCodecApiBPictureCount = {0x8d390aac, 0xdc5c, 0x4200, {0xb5, 0x7f, 0x81, 0x4d, 0x04, 0xba, 0xba, 0xb2}};
const GUID kCodecApiBufferSize = {0x0db96574, 0xb6a4, 0x4c8b, {0x81, 0x06, 0x37, 0x73, 0xde, 0x03, 0x10, 0xcd}};
const GUID kCodecApiMinQp = {0x0ee22c6a, 0xa37c, 0x4568, {0xb5, 0xf1, 0x9d, 0x4c, 0x2b, 0x3a, 0xb8, 0x86}};
const GUID kCodecApiForceKeyFrame = {0x398c1b98, 0x8353, 0x475a, {0x9e, 0xf2, 0x8f, 0x26, 0x5d, 0x26, 0x03, 0x45}};

// MFTEnum2 is exported from Windows 10 1703 on; it is looked up at run time.
using MftEnum2Fn = HRESULT(WINAPI*)(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*, const MFT_REGISTER_TYPE_INFO*,
                                    IMFAttributes*, IMFActivate***, UINT32*);

constexpr UINT32 kEnumHardware = MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER;
constexpr UINT32 kEnumSoftware = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;
static_assert(kEnumHardware == 0x44 && kEnumSoftware == 0x41);
static_assert(MFT_OUTPUT_STREAM_PROVIDES_SAMPLES == kOutputProvidesSamples);
static_assert(MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES == kOutputCanProvideSamples);
static_assert(static_cast<HResult>(MF_E_NOTACCEPTING) == kMfENotAccepting);
static_assert(static_cast<HResult>(MF_E_TRANSFORM_STREAM_CHANGE) == kMfETransformStreamChange);
static_assert(static_cast<HResult>(MF_E_TRANSFORM_NEED_MORE_INPUT) == kMfETransformNeedMoreInput);
static_assert(static_cast<HResult>(MF_E_TRANSFORM_ASYNC_LOCKED) == kMfETransformAsyncLocked);
static_assert(static_cast<HResult>(MF_E_SHUTDOWN) == kMfEShutdown);
static_assert(MEError == VideoEncoderAsyncState::kEventError);
static_assert(METransformNeedInput == VideoEncoderAsyncState::kEventNeedInput);
static_assert(METransformHaveOutput == VideoEncoderAsyncState::kEventHaveOutput);

// Warnings of calls made once per frame or per event.
constexpr uint64_t kHotWarnIntervalMs = 1000;

RateLimiter& HotWarnLimiter() {
  static RateLimiter limiter(kHotWarnIntervalMs);
  return limiter;
}

// A per-frame call whose failure the seam cannot hand back.
void WarnHot(const char* what, HRESULT hr) {
  uint64_t suppressed = 0;
  if (HotWarnLimiter().Allow(TickCountMs(), &suppressed)) {
    LogWarn("[Encoder] %s failed: 0x%08lX (%llu similar suppressed)", what, HrBits(hr),
            static_cast<unsigned long long>(suppressed));
  }
}

HResult ToHResult(HRESULT hr) { return static_cast<HResult>(hr); }

// Takes over a reference the caller already owns. (MinGW's ComPtr::Attach
// adds one more, which would leak the object.)
template <typename T>
ComPtr<T> TakeReference(T* object) {
  ComPtr<T> out;
  *out.GetAddressOf() = object;
  return out;
}

bool SubtypeGuid(VideoSubtype subtype, GUID* out) {
  switch (subtype) {
    case VideoSubtype::kH264: *out = MFVideoFormat_H264; return true;
    case VideoSubtype::kHevc: *out = MFVideoFormat_HEVC; return true;
    case VideoSubtype::kNv12: *out = MFVideoFormat_NV12; return true;
    case VideoSubtype::kArgb32: *out = MFVideoFormat_ARGB32; return true;
    case VideoSubtype::kRgb32: *out = MFVideoFormat_RGB32; return true;
  }
  return false;
}

const GUID* CodecPropertyGuid(CodecProperty property) {
  switch (property) {
    case CodecProperty::kLowLatencyMode: return &kCodecApiLowLatencyMode;
    case CodecProperty::kRateControlMode: return &kCodecApiRateControlMode;
    case CodecProperty::kMeanBitRate: return &kCodecApiMeanBitRate;
    case CodecProperty::kMaxBitRate: return &kCodecApiMaxBitRate;
    case CodecProperty::kGopSize: return &kCodecApiGopSize;
    case CodecProperty::kBPictureCount: return &kCodecApiBPictureCount;
    case CodecProperty::kBufferSize: return &kCodecApiBufferSize;
    case CodecProperty::kMinQp: return &kCodecApiMinQp;
    case CodecProperty::kForceKeyFrame: return &kCodecApiForceKeyFrame;
  }
  return nullptr;
}

bool MessageType(TransformMessage message, MFT_MESSAGE_TYPE* out) {
  switch (message) {
    case TransformMessage::kBeginStreaming: *out = MFT_MESSAGE_NOTIFY_BEGIN_STREAMING; return true;
    case TransformMessage::kStartOfStream: *out = MFT_MESSAGE_NOTIFY_START_OF_STREAM; return true;
    case TransformMessage::kEndOfStream: *out = MFT_MESSAGE_NOTIFY_END_OF_STREAM; return true;
    case TransformMessage::kFlush: *out = MFT_MESSAGE_COMMAND_FLUSH; return true;
    case TransformMessage::kDrain: *out = MFT_MESSAGE_COMMAND_DRAIN; return true;
  }
  return false;
}

uint64_t PackPair(uint32_t high, uint32_t low) { return (static_cast<uint64_t>(high) << 32) | low; }

// A video media type: the description plus progressive, square pixels.
HRESULT MakeMediaType(const MediaTypeDesc& desc, bool output, ComPtr<IMFMediaType>* out) {
  GUID subtype;
  if (!SubtypeGuid(desc.subtype, &subtype)) return E_INVALIDARG;
  ComPtr<IMFMediaType> type;
  HRESULT hr = MFCreateMediaType(type.GetAddressOf());
  if (SUCCEEDED(hr) && !type) hr = E_POINTER;
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr) && output) hr = type->SetUINT32(MF_MT_AVG_BITRATE, desc.avg_bitrate);
  if (SUCCEEDED(hr)) hr = type->SetUINT64(MF_MT_FRAME_SIZE, PackPair(desc.width, desc.height));
  if (SUCCEEDED(hr)) hr = type->SetUINT64(MF_MT_FRAME_RATE, PackPair(desc.fps_numerator, desc.fps_denominator));
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, PackPair(1, 1));
  if (SUCCEEDED(hr) && output && desc.low_latency) hr = type->SetUINT32(MF_LOW_LATENCY, TRUE);
  if (FAILED(hr)) return hr;
  *out = std::move(type);
  return S_OK;
}

// ------------------------------------------------------------ samples

class MfSample final : public EncoderSample {
 public:
  explicit MfSample(ComPtr<IMFSample> sample) : sample_(std::move(sample)) {}
  IMFSample* get() const { return sample_.Get(); }

 private:
  ComPtr<IMFSample> sample_;
};

SampleResult SampleFailure(HRESULT hr, SampleStep step) {
  SampleResult r;
  r.hr = ToHResult(hr);
  r.failed_step = step;
  return r;
}

// MFCreateSample, AddBuffer, time and duration; the time and duration count
// as part of binding the buffer.
SampleResult WrapBuffer(IMFMediaBuffer* buffer, int64_t time_100ns, int64_t duration_100ns) {
  ComPtr<IMFSample> sample;
  HRESULT hr = MFCreateSample(sample.GetAddressOf());
  if (SUCCEEDED(hr) && !sample) hr = E_POINTER;
  if (FAILED(hr)) return SampleFailure(hr, SampleStep::kAllocateSample);
  hr = sample->AddBuffer(buffer);
  if (SUCCEEDED(hr)) hr = sample->SetSampleTime(time_100ns);
  if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(duration_100ns);
  if (FAILED(hr)) return SampleFailure(hr, SampleStep::kAddBuffer);
  SampleResult r;
  r.sample = std::make_unique<MfSample>(std::move(sample));
  return r;
}

// ------------------------------------------------------------ device manager

class MfDeviceManager final : public IDxgiDeviceManager {
 public:
  MfDeviceManager(ComPtr<IMFDXGIDeviceManager> manager, UINT token) : manager_(std::move(manager)), token_(token) {}

  HResult ResetDevice(GpuDevice& device) override {
    auto* d3d = static_cast<ID3D11Device*>(device.Native());
    if (d3d == nullptr) return ToHResult(E_POINTER);
    return ToHResult(manager_->ResetDevice(d3d, token_));
  }

  IMFDXGIDeviceManager* get() const { return manager_.Get(); }

 private:
  ComPtr<IMFDXGIDeviceManager> manager_;
  UINT token_;
};

// ------------------------------------------------------------ events

// The transform's event generator as its callback reaches it. The transform
// clears it when it goes, so a request still queued inside the transform
// holds no reference back to it.
class EventLink {
 public:
  explicit EventLink(ComPtr<IMFMediaEventGenerator> generator) : generator_(std::move(generator)) {}

  ComPtr<IMFMediaEventGenerator> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return generator_;
  }
  void Clear() {
    ComPtr<IMFMediaEventGenerator> old;
    {
      std::lock_guard<std::mutex> lock(mu_);
      old.Swap(generator_);
    }
  }

 private:
  std::mutex mu_;
  ComPtr<IMFMediaEventGenerator> generator_;
};

// Receives the asynchronous transform's events on Media Foundation threads
// and keeps one event request outstanding until the encoder stops.
class AsyncEventCallback final : public IMFAsyncCallback {
 public:
  AsyncEventCallback(std::shared_ptr<VideoEncoderAsyncState> state, std::shared_ptr<EventLink> link)
      : state_(std::move(state)), link_(std::move(link)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMFAsyncCallback)) {
      *object = static_cast<IMFAsyncCallback*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }

  STDMETHODIMP Invoke(IMFAsyncResult* result) override {
    const ComPtr<IMFMediaEventGenerator> generator = link_->Take();
    if (!generator) {
      state_->OnNoGenerator();
      return S_OK;
    }
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = generator->EndGetEvent(result, event.GetAddressOf());
    if (SUCCEEDED(hr) && !event) hr = E_POINTER;
    if (FAILED(hr)) {
      state_->OnEventRequestFailed(ToHResult(hr));
      return S_OK;
    }
    MediaEventType type = MEUnknown;
    HRESULT hr_type = event->GetType(&type);
    if (FAILED(hr_type)) {
      // An event of no known type changes nothing.
      WarnHot("IMFMediaEvent::GetType", hr_type);
      type = MEUnknown;
    }
    HRESULT status = S_OK;
    const HRESULT hr_status = event->GetStatus(&status);
    if (FAILED(hr_status)) {
      WarnHot("IMFMediaEvent::GetStatus", hr_status);
      status = hr_status;
    }
    event.Reset();
    state_->OnEvent(static_cast<uint32_t>(type), ToHResult(status));
    if (state_->IsStopping()) return S_OK;
    hr = generator->BeginGetEvent(this, nullptr);
    if (FAILED(hr)) state_->OnEventRequestFailed(ToHResult(hr));
    return S_OK;
  }

 private:
  ~AsyncEventCallback() = default;

  std::atomic<ULONG> refs_{1};
  const std::shared_ptr<VideoEncoderAsyncState> state_;
  const std::shared_ptr<EventLink> link_;
};

// ------------------------------------------------------------ transform

class MfTransform final : public IEncoderTransform {
 public:
  explicit MfTransform(ComPtr<IMFTransform> transform) : transform_(std::move(transform)) {}
  ~MfTransform() override {
    if (events_) events_->Clear();
  }

  bool IsAsync() override { return ReadFlag(MF_TRANSFORM_ASYNC); }
  HResult UnlockAsync() override { return WriteFlag(MF_TRANSFORM_ASYNC_UNLOCK); }
  bool IsD3d11Aware() override { return ReadFlag(MF_SA_D3D11_AWARE); }
  HResult SetLowLatency() override { return WriteFlag(MF_LOW_LATENCY); }

  bool HasCodecApi() override { return CodecApi() != nullptr; }

  HResult SetCodecValue(CodecProperty property, uint32_t value) override {
    const GUID* api = CodecPropertyGuid(property);
    if (api == nullptr) return ToHResult(E_INVALIDARG);
    ICodecAPI* codec = CodecApi();
    if (codec == nullptr) return ToHResult(E_NOINTERFACE);
    VARIANT var;
    VariantInit(&var);
    if (property == CodecProperty::kLowLatencyMode) {
      var.vt = VT_BOOL;
      var.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
      var.vt = VT_UI4;
      var.ulVal = value;
    }
    const HRESULT hr = codec->SetValue(api, &var);
    VariantClear(&var);
    return ToHResult(hr);
  }

  HResult SetOutputType(const MediaTypeDesc& desc) override {
    ComPtr<IMFMediaType> type;
    const HRESULT hr = MakeMediaType(desc, /*output=*/true, &type);
    if (FAILED(hr)) return ToHResult(hr);
    return ToHResult(transform_->SetOutputType(0, type.Get(), 0));
  }

  HResult SetInputType(const MediaTypeDesc& desc) override {
    ComPtr<IMFMediaType> type;
    const HRESULT hr = MakeMediaType(desc, /*output=*/false, &type);
    if (FAILED(hr)) return ToHResult(hr);
    return ToHResult(transform_->SetInputType(0, type.Get(), 0));
  }

  void AdoptAvailableOutputType(HResult* available_hr, HResult* set_hr) override {
    ComPtr<IMFMediaType> type;
    HRESULT hr = transform_->GetOutputAvailableType(0, 0, type.GetAddressOf());
    if (SUCCEEDED(hr) && !type) hr = MF_E_NO_MORE_TYPES;
    if (available_hr != nullptr) *available_hr = ToHResult(hr);
    if (FAILED(hr)) return;
    hr = transform_->SetOutputType(0, type.Get(), 0);
    if (set_hr != nullptr) *set_hr = ToHResult(hr);
  }

  HResult ProcessMessage(TransformMessage message) override {
    MFT_MESSAGE_TYPE type;
    if (!MessageType(message, &type)) return ToHResult(E_INVALIDARG);
    return ToHResult(transform_->ProcessMessage(type, 0));
  }

  HResult SetD3dManager(IDxgiDeviceManager* manager) override {
    ULONG_PTR param = 0;
    if (manager != nullptr) {
      auto* mf = dynamic_cast<MfDeviceManager*>(manager);
      if (mf == nullptr) return ToHResult(E_INVALIDARG);
      param = reinterpret_cast<ULONG_PTR>(static_cast<IUnknown*>(mf->get()));
    }
    return ToHResult(transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, param));
  }

  HResult ProcessInput(EncoderSample& sample) override {
    auto* mf = dynamic_cast<MfSample*>(&sample);
    if (mf == nullptr || mf->get() == nullptr) return ToHResult(E_INVALIDARG);
    return ToHResult(transform_->ProcessInput(0, mf->get(), 0));
  }

  OutputStreamInfo GetOutputStreamInfo() override {
    MFT_OUTPUT_STREAM_INFO info = {};
    OutputStreamInfo out;
    out.hr = ToHResult(transform_->GetOutputStreamInfo(0, &info));
    if (SUCCEEDED(out.hr)) {
      out.flags = info.dwFlags;
      out.buffer_size = info.cbSize;
    }
    return out;
  }

  OutputResult ProcessOutput(uint32_t supply_bytes) override {
    OutputResult r;
    auto fail = [&r](HRESULT hr, OutputStep step) {
      r.hr = ToHResult(hr);
      r.failed_step = step;
      return std::move(r);
    };
    ComPtr<IMFSample> supplied;
    if (supply_bytes != 0) {
      HRESULT hr = MFCreateSample(supplied.GetAddressOf());
      if (SUCCEEDED(hr) && !supplied) hr = E_POINTER;
      if (FAILED(hr)) return fail(hr, OutputStep::kCreateSample);
      ComPtr<IMFMediaBuffer> buffer;
      hr = MFCreateMemoryBuffer(supply_bytes, buffer.GetAddressOf());
      if (SUCCEEDED(hr) && !buffer) hr = E_POINTER;
      if (SUCCEEDED(hr)) hr = supplied->AddBuffer(buffer.Get());
      if (FAILED(hr)) return fail(hr, OutputStep::kCreateBuffer);
    }

    MFT_OUTPUT_DATA_BUFFER data = {};
    data.dwStreamID = 0;
    data.pSample = supplied.Get();
    DWORD status = 0;
    const HRESULT hr = transform_->ProcessOutput(0, 1, &data, &status);
    if (data.pEvents != nullptr) data.pEvents->Release();
    // A sample the transform provided comes with a reference for us.
    ComPtr<IMFSample> produced;
    if (data.pSample != nullptr) {
      if (data.pSample == supplied.Get()) {
        produced = supplied;
      } else {
        produced = TakeReference(data.pSample);
      }
    }
    if (FAILED(hr)) return fail(hr, OutputStep::kProcessOutput);
    r.hr = ToHResult(hr);
    if (!produced) return r;

    ComPtr<IMFMediaBuffer> flat;
    HRESULT step = produced->ConvertToContiguousBuffer(flat.GetAddressOf());
    if (SUCCEEDED(step) && !flat) step = E_POINTER;
    if (FAILED(step)) return fail(step, OutputStep::kFlatten);
    BYTE* bytes = nullptr;
    DWORD length = 0;
    step = flat->Lock(&bytes, nullptr, &length);
    if (SUCCEEDED(step) && bytes == nullptr && length != 0) {
      flat->Unlock();
      step = E_POINTER;
    }
    if (FAILED(step)) return fail(step, OutputStep::kLockBuffer);
    r.data.assign(bytes, bytes + length);
    step = flat->Unlock();
    if (FAILED(step)) WarnHot("Encoded frame buffer Unlock", step);

    r.has_sample = true;
    UINT32 clean_point = 0;
    if (SUCCEEDED(produced->GetUINT32(MFSampleExtension_CleanPoint, &clean_point))) {
      r.has_clean_point = true;
      r.clean_point = clean_point != 0;
    }
    LONGLONG time = 0;
    if (SUCCEEDED(produced->GetSampleTime(&time))) {
      r.has_time = true;
      r.time_100ns = time;
    }
    return r;
  }

  EventSetupResult StartEvents(std::shared_ptr<VideoEncoderAsyncState> state) override {
    EventSetupResult r;
    ComPtr<IMFMediaEventGenerator> generator;
    HRESULT hr = transform_->QueryInterface(IID_IMFMediaEventGenerator,
                                            reinterpret_cast<void**>(generator.GetAddressOf()));
    if (SUCCEEDED(hr) && !generator) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
      r.hr = ToHResult(hr);
      r.failed_step = EventSetupStep::kNoGenerator;
      return r;
    }
    if (!state) {
      r.hr = ToHResult(E_POINTER);
      r.failed_step = EventSetupStep::kBeginGetEvent;
      return r;
    }
    if (events_) events_->Clear();
    events_ = std::make_shared<EventLink>(generator);
    const ComPtr<IMFAsyncCallback> callback =
        TakeReference<IMFAsyncCallback>(new AsyncEventCallback(std::move(state), events_));
    hr = generator->BeginGetEvent(callback.Get(), nullptr);
    if (FAILED(hr)) {
      events_->Clear();
      events_.reset();
      r.hr = ToHResult(hr);
      r.failed_step = EventSetupStep::kBeginGetEvent;
    }
    // The outstanding request holds the callback from here on.
    return r;
  }

  void ShutdownTransform() override {
    ComPtr<IMFShutdown> shutdown;
    HRESULT hr = transform_->QueryInterface(IID_IMFShutdown, reinterpret_cast<void**>(shutdown.GetAddressOf()));
    if (SUCCEEDED(hr) && !shutdown) hr = E_NOINTERFACE;
    if (SUCCEEDED(hr)) hr = shutdown->Shutdown();
    if (FAILED(hr)) LogWarn("[Encoder] IMFShutdown::Shutdown of the transform failed: 0x%08lX", HrBits(hr));
  }

 private:
  // Transforms without an attribute store have none of the flags.
  ComPtr<IMFAttributes> Attributes(HRESULT* hr_out) {
    ComPtr<IMFAttributes> attributes;
    HRESULT hr = transform_->GetAttributes(attributes.GetAddressOf());
    if (SUCCEEDED(hr) && !attributes) hr = E_NOINTERFACE;
    if (hr_out != nullptr) *hr_out = hr;
    if (FAILED(hr)) return nullptr;
    return attributes;
  }
  bool ReadFlag(REFGUID key) {
    HRESULT hr = S_OK;
    const ComPtr<IMFAttributes> attributes = Attributes(&hr);
    if (!attributes) {
      LogDebug("[Encoder] Transform attributes unavailable: 0x%08lX", HrBits(hr));
      return false;
    }
    UINT32 value = 0;
    return SUCCEEDED(attributes->GetUINT32(key, &value)) && value != 0;
  }
  HResult WriteFlag(REFGUID key) {
    HRESULT hr = S_OK;
    const ComPtr<IMFAttributes> attributes = Attributes(&hr);
    if (!attributes) return ToHResult(hr);
    return ToHResult(attributes->SetUINT32(key, TRUE));
  }
  ICodecAPI* CodecApi() {
    if (!codec_api_) {
      const HRESULT hr =
          transform_->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec_api_.ReleaseAndGetAddressOf()));
      if (FAILED(hr)) codec_api_.Reset();
    }
    return codec_api_.Get();
  }

  ComPtr<IMFTransform> transform_;
  ComPtr<ICodecAPI> codec_api_;
  std::shared_ptr<EventLink> events_;
};

// ------------------------------------------------------------ activation

class MfActivation final : public ITransformActivation {
 public:
  explicit MfActivation(ComPtr<IMFActivate> activate) : activate_(std::move(activate)) {}

  std::string FriendlyName() override {
    WCHAR* name = nullptr;
    UINT32 length = 0;
    if (FAILED(activate_->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length)) || name == nullptr) {
      return {};
    }
    std::string out;
    if (length > 0 && length <= static_cast<UINT32>(std::numeric_limits<int>::max())) {
      const int wide = static_cast<int>(length);
      const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, wide, nullptr, 0, nullptr, nullptr);
      if (bytes > 0) {
        out.resize(static_cast<size_t>(bytes));
        if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, wide, out.data(), bytes, nullptr, nullptr) !=
            bytes) {
          out.clear();
        }
      }
    }
    CoTaskMemFree(name);
    return out;
  }

  TransformClsid Clsid() override {
    TransformClsid out;
    GUID clsid = {};
    if (SUCCEEDED(activate_->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid))) {
      static_assert(sizeof(clsid) == sizeof(out.bytes));
      std::memcpy(out.bytes.data(), &clsid, sizeof(clsid));
    }
    return out;
  }

  uint64_t AdapterLuidAttribute() override {
    UINT32 size = 0;
    if (FAILED(activate_->GetBlobSize(kMftEnumAdapterLuid, &size)) || size != sizeof(LUID)) return 0;
    LUID luid = {};
    UINT32 got = 0;
    if (FAILED(activate_->GetBlob(kMftEnumAdapterLuid, reinterpret_cast<UINT8*>(&luid), sizeof(luid), &got)) ||
        got != sizeof(luid)) {
      return 0;
    }
    return AdapterLuidValue(luid);
  }

  HResult Activate(std::unique_ptr<IEncoderTransform>* out) override {
    ComPtr<IMFTransform> transform;
    const HRESULT hr =
        activate_->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(transform.GetAddressOf()));
    if (SUCCEEDED(hr) && transform && out != nullptr) *out = std::make_unique<MfTransform>(std::move(transform));
    return ToHResult(hr);
  }

  void ShutdownObject() override {
    const HRESULT hr = activate_->ShutdownObject();
    if (FAILED(hr)) LogWarn("[Encoder] IMFActivate::ShutdownObject failed: 0x%08lX", HrBits(hr));
  }

 private:
  ComPtr<IMFActivate> activate_;
};

// Takes over an enumeration's array: every object is wrapped (or released
// when null) and the array freed.
void TakeActivations(IMFActivate** array, UINT32 count, TransformEnumeration* out) {
  if (array == nullptr) return;
  out->activations.reserve(count);
  for (UINT32 i = 0; i < count; ++i) {
    if (array[i] == nullptr) continue;
    out->activations.push_back(std::make_unique<MfActivation>(TakeReference(array[i])));
  }
  CoTaskMemFree(array);
}

MftEnum2Fn LookUpMftEnum2(HRESULT* hr_out) {
  HMODULE module = GetModuleHandleW(L"mfplat.dll");
  if (module == nullptr) module = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  FARPROC proc = module != nullptr ? GetProcAddress(module, "MFTEnum2") : nullptr;
  if (proc == nullptr) {
    const DWORD error = GetLastError();
    *hr_out = HRESULT_FROM_WIN32(error != 0 ? error : ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  *hr_out = S_OK;
  return reinterpret_cast<MftEnum2Fn>(reinterpret_cast<void*>(proc));
}

// ------------------------------------------------------------ platform

class MfEncoderPlatform final : public IEncoderPlatform {
 public:
  uint64_t FirstAdapterLuid() override {
    ComPtr<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(IID_IDXGIFactory1, reinterpret_cast<void**>(factory.GetAddressOf()));
    if (SUCCEEDED(hr) && !factory) hr = E_POINTER;
    if (FAILED(hr)) {
      LogWarn("[Encoder] CreateDXGIFactory1 failed: 0x%08lX", HrBits(hr));
      return 0;
    }
    ComPtr<IDXGIAdapter1> adapter;
    hr = factory->EnumAdapters1(0, adapter.GetAddressOf());
    if (SUCCEEDED(hr) && !adapter) hr = E_POINTER;
    if (FAILED(hr)) {
      LogWarn("[Encoder] EnumAdapters1(0) failed: 0x%08lX", HrBits(hr));
      return 0;
    }
    DXGI_ADAPTER_DESC1 desc = {};
    hr = adapter->GetDesc1(&desc);
    if (FAILED(hr)) {
      LogWarn("[Encoder] IDXGIAdapter1::GetDesc1 failed: 0x%08lX", HrBits(hr));
      return 0;
    }
    return AdapterLuidValue(desc.AdapterLuid);
  }

  TransformEnumeration EnumerateForAdapter(VideoCodec codec, uint64_t adapter_luid) override {
    TransformEnumeration out;
    HRESULT hr = S_OK;
    const MftEnum2Fn enum2 = LookUpMftEnum2(&hr);
    if (enum2 == nullptr) {
      out.hr = ToHResult(hr);
      return out;
    }
    ComPtr<IMFAttributes> filter;
    hr = MFCreateAttributes(filter.GetAddressOf(), 1);
    if (SUCCEEDED(hr) && !filter) hr = E_POINTER;
    LUID luid = {};
    luid.LowPart = static_cast<DWORD>(adapter_luid & 0xFFFFFFFFu);
    luid.HighPart = static_cast<LONG>(static_cast<uint32_t>(adapter_luid >> 32));
    if (SUCCEEDED(hr)) hr = filter->SetBlob(kMftEnumAdapterLuid, reinterpret_cast<const UINT8*>(&luid), sizeof(luid));
    if (FAILED(hr)) {
      out.hr = ToHResult(hr);
      return out;
    }
    MFT_REGISTER_TYPE_INFO output = {};
    output.guidMajorType = MFMediaType_Video;
    SubtypeGuid(CodecSubtype(codec), &output.guidSubtype);
    IMFActivate** array = nullptr;
    UINT32 count = 0;
    hr = enum2(MFT_CATEGORY_VIDEO_ENCODER, kEnumHardware, nullptr, &output, filter.Get(), &array, &count);
    out.hr = ToHResult(hr);
    TakeActivations(array, SUCCEEDED(hr) ? count : 0, &out);
    return out;
  }

  TransformEnumeration Enumerate(VideoCodec codec, bool hardware) override {
    TransformEnumeration out;
    MFT_REGISTER_TYPE_INFO output = {};
    output.guidMajorType = MFMediaType_Video;
    SubtypeGuid(CodecSubtype(codec), &output.guidSubtype);
    IMFActivate** array = nullptr;
    UINT32 count = 0;
    const HRESULT hr = MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, hardware ? kEnumHardware : kEnumSoftware, nullptr,
                                 &output, &array, &count);
    out.hr = ToHResult(hr);
    TakeActivations(array, SUCCEEDED(hr) ? count : 0, &out);
    return out;
  }

  HResult CreateDeviceManager(std::unique_ptr<IDxgiDeviceManager>* out) override {
    UINT token = 0;
    ComPtr<IMFDXGIDeviceManager> manager;
    HRESULT hr = MFCreateDXGIDeviceManager(&token, manager.GetAddressOf());
    if (SUCCEEDED(hr) && !manager) hr = E_POINTER;
    if (SUCCEEDED(hr) && out != nullptr) *out = std::make_unique<MfDeviceManager>(std::move(manager), token);
    return ToHResult(hr);
  }

  SampleResult MakeMemorySample(const uint8_t* bytes, size_t size, int64_t time_100ns,
                                int64_t duration_100ns) override {
    if (size > std::numeric_limits<DWORD>::max()) return SampleFailure(E_INVALIDARG, SampleStep::kAllocateBuffer);
    if (bytes == nullptr && size != 0) return SampleFailure(E_POINTER, SampleStep::kAllocateBuffer);
    const DWORD length = static_cast<DWORD>(size);
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = MFCreateMemoryBuffer(length, buffer.GetAddressOf());
    if (SUCCEEDED(hr) && !buffer) hr = E_POINTER;
    if (FAILED(hr)) return SampleFailure(hr, SampleStep::kAllocateBuffer);
    BYTE* target = nullptr;
    DWORD capacity = 0;
    hr = buffer->Lock(&target, &capacity, nullptr);
    if (SUCCEEDED(hr) && (target == nullptr || capacity < length)) {
      buffer->Unlock();
      hr = E_UNEXPECTED;
    }
    if (FAILED(hr)) return SampleFailure(hr, SampleStep::kLockBuffer);
    if (length != 0) std::memcpy(target, bytes, length);
    // Unlocking and setting the length finish filling the buffer.
    hr = buffer->Unlock();
    if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(length);
    if (FAILED(hr)) return SampleFailure(hr, SampleStep::kLockBuffer);
    return WrapBuffer(buffer.Get(), time_100ns, duration_100ns);
  }

  SampleResult MakeSurfaceSample(const GpuTexture& surface, int64_t time_100ns, int64_t duration_100ns) override {
    auto* texture = static_cast<ID3D11Texture2D*>(surface.Native());
    if (texture == nullptr) return SampleFailure(E_POINTER, SampleStep::kSurfaceBuffer);
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = MFCreateDXGISurfaceBuffer(IID_ID3D11Texture2D, texture, 0, FALSE, buffer.GetAddressOf());
    if (SUCCEEDED(hr) && !buffer) hr = E_POINTER;
    if (FAILED(hr)) return SampleFailure(hr, SampleStep::kSurfaceBuffer);
    return WrapBuffer(buffer.Get(), time_100ns, duration_100ns);
  }
};

}  // namespace

std::unique_ptr<IEncoderPlatform> MakeMediaFoundationEncoderPlatform() {
  return std::make_unique<MfEncoderPlatform>();
}

std::unique_ptr<IEncoderTransform> WrapMediaFoundationTransform(IMFTransform* transform) {
  if (transform == nullptr) return nullptr;
  return std::make_unique<MfTransform>(ComPtr<IMFTransform>(transform));
}

}  // namespace orvane
