// WASAPI loopback capture: process loopback of every application except the
// host through the "VAD\Process_Loopback" virtual device, or loopback of the
// default render endpoint. Both deliver 48 kHz stereo 16-bit PCM, converted
// by the audio engine where it can and by the portable sample converter from
// the endpoint's mix format where it refuses.

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <propidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "host/audio/loopback_activation_win.h"
#include "host/audio/loopback_backend.h"
#include "host/audio/loopback_packet.h"
#include "host/audio/sample_convert.h"
#include "host/common/clock.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

using Microsoft::WRL::ComPtr;
// Ownership moves between ComPtrs with Swap: MinGW's move assignment copies
// (it adds a reference and leaves the source set).

// The process-loopback activation parameters of the Windows SDK's
// audioclientactivationparams.h, which MinGW-w64 does not ship. Same names,
// values and layout as there.
enum AUDIOCLIENT_ACTIVATION_TYPE {
  AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
  AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};
enum PROCESS_LOOPBACK_MODE {
  PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
  PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};
struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
  DWORD TargetProcessId;
  PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};
struct AUDIOCLIENT_ACTIVATION_PARAMS {
  AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
  union {
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
  };
};
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "layout of the SDK's activation parameters");
// VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK of the same header.
constexpr const wchar_t* kProcessLoopbackDevice = L"VAD\\Process_Loopback";

static_assert(static_cast<HResult>(AUDCLNT_E_DEVICE_INVALIDATED) == kAudioDeviceInvalidated);

// 20 ms in 100 ns units.
constexpr REFERENCE_TIME kBufferDuration = 200'000;
constexpr DWORD kLoopbackFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
// Process loopback: the engine converts to the format asked for.
constexpr DWORD kProcessLoopbackFlags = kLoopbackFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
static_assert(kProcessLoopbackFlags == 0x80060000);
// Endpoint loopback asks for the same conversion, with the engine's
// default-quality resampler.
constexpr DWORD kEndpointConvertFlags =
    kLoopbackFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
constexpr DWORD kActivationWaitMs = 3000;
constexpr DWORD kCaptureWaitMs = 100;
// HostResult code of failed reads on the capture thread.
constexpr int kCaptureReadErrorCode = 3;

HostResult ReadFailure(const char* message, HRESULT hr) {
  return HostResult::Failure(kCaptureReadErrorCode, message, static_cast<HResult>(hr));
}

// An HRESULT as the logger's 0x%08lX expects it.
unsigned long HrValue(HRESULT hr) { return static_cast<unsigned long>(hr); }

HRESULT LastErrorHResult() {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// Joins the multithreaded apartment for a scope. A thread already in an
// apartment of the other kind (RPC_E_CHANGED_MODE) keeps it and is not
// uninitialised.
class ScopedMta {
 public:
  ScopedMta() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {
    if (FAILED(hr_) && hr_ != RPC_E_CHANGED_MODE) LogWarn("[Audio] CoInitializeEx failed: 0x%08lX", HrValue(hr_));
  }
  ~ScopedMta() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ScopedMta(const ScopedMta&) = delete;
  ScopedMta& operator=(const ScopedMta&) = delete;

 private:
  HRESULT hr_;
};

struct CoTaskMemDeleter {
  void operator()(void* p) const { CoTaskMemFree(p); }
};

// The format both paths ask the engine for: PCM 48 kHz, stereo, 16 bits.
WAVEFORMATEX ConvertedWaveFormat() {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = static_cast<WORD>(kConvertedChannels);
  f.nSamplesPerSec = kConvertedSampleRate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<WORD>(f.nChannels * f.wBitsPerSample / 8);
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
  f.cbSize = 0;
  return f;
}

constexpr SourceFormat kConvertedSource{SampleEncoding::kPcm, kConvertedSampleRate, kConvertedChannels, 16, 0};

// The sample converter's description of a mix format.
SourceFormat SourceFromWaveFormat(const WAVEFORMATEX& wave) {
  SourceFormat source;
  source.sample_rate = wave.nSamplesPerSec;
  source.channels = wave.nChannels;
  source.bits_per_sample = wave.wBitsPerSample;
  const bool extensible = wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                          wave.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  WaveGuid sub_format;
  if (extensible) {
    const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(wave);
    sub_format.data1 = ext.SubFormat.Data1;
    sub_format.data2 = ext.SubFormat.Data2;
    sub_format.data3 = ext.SubFormat.Data3;
    for (size_t i = 0; i < sub_format.data4.size(); ++i) sub_format.data4[i] = ext.SubFormat.Data4[i];
    source.channel_mask = ext.dwChannelMask;
  }
  source.encoding = EncodingFromWaveFormat(wave.wFormatTag, extensible ? &sub_format : nullptr);
  return source;
}

using ActivateAudioInterfaceAsyncFn = decltype(&::ActivateAudioInterfaceAsync);

// ActivateAudioInterfaceAsync from mmdevapi.dll, resolved at run time so that
// the program also loads where the system does not export it.
ActivateAudioInterfaceAsyncFn ResolveActivateAudioInterfaceAsync(HRESULT* hr) {
  struct Resolved {
    ActivateAudioInterfaceAsyncFn fn = nullptr;
    HRESULT hr = S_OK;
  };
  static const Resolved resolved = [] {
    Resolved r;
    HMODULE module = LoadLibraryExW(L"mmdevapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
      r.hr = LastErrorHResult();
      return r;
    }
    r.fn = reinterpret_cast<ActivateAudioInterfaceAsyncFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "ActivateAudioInterfaceAsync")));
    if (r.fn == nullptr) r.hr = LastErrorHResult();
    return r;
  }();
  *hr = resolved.hr;
  return resolved.fn;
}

// The activation parameters: this process, its process tree excluded. They
// live for the whole process, so an activation that is still running after
// the capture gave up on it never reads freed memory.
PROPVARIANT* ProcessLoopbackActivationParams() {
  static AUDIOCLIENT_ACTIVATION_PARAMS params = [] {
    AUDIOCLIENT_ACTIVATION_PARAMS p{};
    p.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    p.ProcessLoopbackParams.TargetProcessId = GetCurrentProcessId();
    p.ProcessLoopbackParams.ProcessLoopbackMode = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    return p;
  }();
  static PROPVARIANT variant = [] {
    PROPVARIANT v{};
    v.vt = VT_BLOB;
    v.blob.cbSize = sizeof(params);
    v.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    return v;
  }();
  return &variant;
}

class WasapiLoopbackBackend final : public ILoopbackBackend {
 public:
  WasapiLoopbackBackend() = default;
  ~WasapiLoopbackBackend() override { Release(); }
  WasapiLoopbackBackend(const WasapiLoopbackBackend&) = delete;
  WasapiLoopbackBackend& operator=(const WasapiLoopbackBackend&) = delete;

  bool SetUp(int mode, AudioFormat* format, HostResult* result) override {
    ScopedMta com;
    result_ = result;
    const bool ok = mode == kLoopbackModeProcess ? InitProcessLoopback() : InitEndpointLoopback();
    result_ = nullptr;
    if (ok) *format = LoopbackPacketDelivery::kOutputFormat;
    return ok;
  }

  bool StartDelivery(PcmCallback callback, CaptureResultReport report, HostResult* result) override {
    ScopedMta com;
    result_ = result;
    const bool ok = StartThread(std::move(callback), std::move(report));
    result_ = nullptr;
    return ok;
  }

  bool Delivering() const override { return running_.load(); }

  void StopDelivery() override {
    ScopedMta com;
    StopThread();
    StopClient();
    callback_ = nullptr;
    report_ = nullptr;
  }

  void Release() override {
    ScopedMta com;
    StopDelivery();
    capture_.Reset();
    client_.Reset();
    device_.Reset();
    enumerator_.Reset();
    if (event_ != nullptr) {
      if (!CloseHandle(event_)) LogWarn("[Audio] CloseHandle(capture event) failed: %lu", GetLastError());
      event_ = nullptr;
    }
  }

 private:
  // A failure of the set-up or start under way.
  bool Fail(const char* message, HRESULT hr) {
    if (result_ != nullptr) *result_ = HostResult::Failure(kAudioCaptureErrorCode, message, static_cast<HResult>(hr));
    return false;
  }
  // A failure (or recovery) on the capture thread.
  void Report(HostResult result) {
    if (report_) report_(std::move(result));
  }

  bool StartThread(PcmCallback callback, CaptureResultReport report) {
    if (!client_ || !capture_) {
      return Fail("Audio capture was not initialized before Start()", E_FAIL);
    }
    callback_ = std::move(callback);
    report_ = std::move(report);
    const HRESULT hr = client_->Start();
    if (FAILED(hr)) {
      LogError("[Audio] IAudioClient::Start failed: 0x%08lX", HrValue(hr));
      callback_ = nullptr;
      report_ = nullptr;
      return Fail("Audio client start failed", hr);
    }
    running_ = true;
    delivering_ = true;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
      running_ = false;
      delivering_ = false;
      LogError("[Audio] Could not start the capture thread: %s", e.what());
      StopClient();
      callback_ = nullptr;
      report_ = nullptr;
      return Fail("Audio capture thread creation failed", E_FAIL);
    }
    return true;
  }

  bool InitProcessLoopback() {
    ComPtr<LoopbackActivationHandler> handler;
    HRESULT hr = LoopbackActivationHandler::Create(&handler);
    if (FAILED(hr)) return Fail("Loopback handler allocation failed", E_FAIL);

    ActivateAudioInterfaceAsyncFn activate = ResolveActivateAudioInterfaceAsync(&hr);
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    if (activate != nullptr) {
      hr = activate(kProcessLoopbackDevice, __uuidof(IAudioClient), ProcessLoopbackActivationParams(), handler.Get(),
                    operation.GetAddressOf());
    }
    if (FAILED(hr)) {
      LogWarn("[Audio] ActivateAudioInterfaceAsync(process loopback) failed: 0x%08lX", HrValue(hr));
      handler->Abandon();
      return Fail("Process loopback activation failed", hr);
    }

    ComPtr<IUnknown> activated;
    const DWORD wait = handler->Wait(kActivationWaitMs);
    if (wait == WAIT_OBJECT_0) {
      hr = handler->TakeResult(&activated);
    } else if (wait == WAIT_TIMEOUT) {
      hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    } else {
      hr = LastErrorHResult();
    }
    // From here on a late completion only releases what it brings.
    handler->Abandon();
    handler.Reset();
    operation.Reset();
    ComPtr<IAudioClient> client;
    if (SUCCEEDED(hr)) hr = activated.As(&client);
    if (FAILED(hr)) {
      LogWarn("[Audio] Process loopback activation did not complete: 0x%08lX", HrValue(hr));
      return Fail("Process loopback activation failed", hr);
    }

    WAVEFORMATEX format = ConvertedWaveFormat();
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, kProcessLoopbackFlags, kBufferDuration, 0, &format, nullptr);
    if (FAILED(hr)) {
      LogWarn("[Audio] Process loopback Initialize failed: 0x%08lX", HrValue(hr));
      return Fail("Process loopback initialization failed", hr);
    }
    LogInfo("[Audio] Process loopback (all apps except the host): %uHz, %uch, %ubit",
            static_cast<unsigned>(format.nSamplesPerSec), static_cast<unsigned>(format.nChannels),
            static_cast<unsigned>(format.wBitsPerSample));
    client_.Swap(client);
    return FinishClient(kConvertedSource, "process loopback");
  }

  bool ActivateEndpointClient(ComPtr<IAudioClient>* client) {
    const HRESULT hr = device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                         reinterpret_cast<void**>(client->ReleaseAndGetAddressOf()));
    if (FAILED(hr) || !*client) {
      LogError("[Audio] Activate IAudioClient failed: 0x%08lX", HrValue(FAILED(hr) ? hr : E_POINTER));
      client->Reset();
      return Fail("Audio client activation failed", FAILED(hr) ? hr : E_POINTER);
    }
    return true;
  }

  bool InitEndpointLoopback() {
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(enumerator_.GetAddressOf()));
    if (FAILED(hr)) {
      LogError("[Audio] CoCreateInstance MMDeviceEnumerator failed: 0x%08lX", HrValue(hr));
      return Fail("Audio device enumerator creation failed", hr);
    }
    hr = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, device_.GetAddressOf());
    if (FAILED(hr)) {
      LogError("[Audio] GetDefaultAudioEndpoint failed: 0x%08lX", HrValue(hr));
      return Fail("Default audio endpoint is unavailable", hr);
    }
    ComPtr<IAudioClient> client;
    if (!ActivateEndpointClient(&client)) return false;

    WAVEFORMATEX* mix_raw = nullptr;
    hr = client->GetMixFormat(&mix_raw);
    std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter> mix(mix_raw);
    if (FAILED(hr) || !mix) {
      if (SUCCEEDED(hr)) hr = E_POINTER;
      LogError("[Audio] GetMixFormat failed: 0x%08lX", HrValue(hr));
      return Fail("Audio mix format query failed", hr);
    }
    LogInfo("[Audio] Mix format: %uHz, %uch, %ubit", static_cast<unsigned>(mix->nSamplesPerSec),
            static_cast<unsigned>(mix->nChannels), static_cast<unsigned>(mix->wBitsPerSample));

    // The engine converts the mix to 48 kHz stereo 16-bit where it can.
    WAVEFORMATEX converted = ConvertedWaveFormat();
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEndpointConvertFlags, kBufferDuration, 0, &converted, nullptr);
    if (SUCCEEDED(hr)) {
      client_.Swap(client);
      return FinishClient(kConvertedSource, "endpoint loopback");
    }

    // Where it refuses, the mix format is captured and converted here.
    const SourceFormat source = SourceFromWaveFormat(*mix);
    if (!IsSupportedSourceFormat(source)) {
      LogError("[Audio] Loopback with PCM conversion refused (0x%08lX) and the mix format (tag 0x%04X) is not supported",
               HrValue(hr), static_cast<unsigned>(mix->wFormatTag));
      return Fail("Audio mix format is not supported", AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    LogInfo("[Audio] Loopback with PCM conversion refused (0x%08lX); converting the mix format", HrValue(hr));
    // A client whose Initialize failed is not initialised again.
    if (!ActivateEndpointClient(&client)) return false;
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, kLoopbackFlags, kBufferDuration, 0, mix.get(), nullptr);
    if (FAILED(hr)) {
      LogError("[Audio] IAudioClient::Initialize loopback failed: 0x%08lX", HrValue(hr));
      return Fail("Audio loopback initialization failed", hr);
    }
    client_.Swap(client);
    return FinishClient(source, "endpoint loopback");
  }

  // The tail shared by both modes: event, capture client, format.
  bool FinishClient(const SourceFormat& source, const char* label) {
    if (!delivery_.Configure(source)) {
      return Fail("Audio mix format is not supported", AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    if (event_ == nullptr) {
      event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
      if (event_ == nullptr) {
        const HRESULT hr = LastErrorHResult();
        LogError("[Audio] CreateEventW(capture event) failed: 0x%08lX", HrValue(hr));
        return Fail("Audio event handle registration failed", hr);
      }
    }
    HRESULT hr = client_->SetEventHandle(event_);
    if (FAILED(hr)) {
      LogError("[Audio] SetEventHandle failed: 0x%08lX", HrValue(hr));
      return Fail("Audio event handle registration failed", hr);
    }
    hr = client_->GetService(IID_PPV_ARGS(capture_.GetAddressOf()));
    if (FAILED(hr) || !capture_) {
      if (SUCCEEDED(hr)) hr = E_POINTER;
      capture_.Reset();
      LogError("[Audio] GetService IAudioCaptureClient failed: 0x%08lX", HrValue(hr));
      return Fail("Audio capture service creation failed", hr);
    }
    ++clients_created_;
    LogInfo("[Audio] WASAPI %s initialized (client %u)", label, clients_created_);
    return true;
  }

  void StopThread() {
    delivering_ = false;
    running_ = false;
    if (event_ != nullptr && !SetEvent(event_)) {
      LogWarn("[Audio] SetEvent(capture event) failed: %lu", GetLastError());
    }
    if (thread_.joinable()) thread_.join();
  }

  void StopClient() {
    if (!client_) return;
    const HRESULT hr = client_->Stop();
    if (FAILED(hr)) LogWarn("[Audio] IAudioClient::Stop failed: 0x%08lX", HrValue(hr));
  }

  // The capture thread: drains every packet the engine signals. It ends
  // when stopped, when the device is invalidated (the next Start rebuilds
  // the client) or when the event can no longer be waited on.
  void Run() {
    ScopedMta com;
    IAudioCaptureClient* capture = capture_.Get();  // kept by capture_ until the join
    CaptureFailureWatch failures;
    bool failed = false;
    bool dropped_logged = false;
    bool end = false;
    while (running_.load() && !end) {
      const DWORD wait = WaitForSingleObject(event_, kCaptureWaitMs);
      if (wait == WAIT_TIMEOUT) continue;
      if (wait != WAIT_OBJECT_0) {
        const HRESULT hr = LastErrorHResult();
        LogError("[Audio] Waiting for the capture event failed: 0x%08lX", HrValue(hr));
        Report(ReadFailure("Audio capture event wait failed", hr));
        break;
      }
      while (running_.load()) {
        UINT32 next_frames = 0;
        HRESULT hr = capture->GetNextPacketSize(&next_frames);
        if (FAILED(hr)) {
          Report(ReadFailure("Audio capture GetNextPacketSize() failed", hr));
          failed = true;
          end = failures.OnFailure("IAudioCaptureClient::GetNextPacketSize", hr);
          break;
        }
        if (next_frames == 0) break;
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 device_position = 0;
        UINT64 qpc_position = 0;
        hr = capture->GetBuffer(&data, &frames, &flags, &device_position, &qpc_position);
        if (FAILED(hr)) {
          Report(ReadFailure("Audio capture GetBuffer() failed", hr));
          failed = true;
          end = failures.OnFailure("IAudioCaptureClient::GetBuffer", hr);
          break;
        }
        if (hr == AUDCLNT_S_BUFFER_EMPTY) break;  // nothing to read or release
        if (delivering_.load() && frames > 0) {
          CapturedPacket packet;
          packet.data = data;
          packet.frames = frames;
          packet.silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
          packet.discontinuity = (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
          packet.timestamp_error = (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) != 0;
          packet.qpc_position_100ns = qpc_position;
          if (!delivery_.Deliver(packet, callback_, SystemClock()) && !dropped_logged) {
            dropped_logged = true;
            LogWarn("[Audio] A captured packet of %u frames was dropped", static_cast<unsigned>(frames));
          }
        }
        hr = capture->ReleaseBuffer(frames);
        if (FAILED(hr)) {
          Report(ReadFailure("Audio capture ReleaseBuffer() failed", hr));
          failed = true;
          end = failures.OnFailure("IAudioCaptureClient::ReleaseBuffer", hr);
          break;
        }
        if (failed) {
          Report(HostResult::Success());
          failed = false;
        }
      }
    }
    // Also when it ended on its own: the capture no longer runs, and the
    // next Start sets up a new client.
    delivering_ = false;
    running_ = false;
  }

  // Used by the calling thread, and by the capture thread between Start and
  // the join in Stop.
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ComPtr<IMMDevice> device_;
  ComPtr<IAudioClient> client_;
  ComPtr<IAudioCaptureClient> capture_;
  HANDLE event_ = nullptr;
  LoopbackPacketDelivery delivery_;
  PcmCallback callback_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> delivering_{false};
  CaptureResultReport report_;
  HostResult* result_ = nullptr;  // where the failure of a set-up or start goes
  unsigned clients_created_ = 0;
};

}  // namespace

// ------------------------------------------------------------ activation handler

HRESULT LoopbackActivationHandler::Create(ComPtr<LoopbackActivationHandler>* out) {
  out->Reset();
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) {
    const HRESULT hr = LastErrorHResult();
    LogWarn("[Audio] CreateEventW(activation event) failed: 0x%08lX", HrValue(hr));
    return hr;
  }
  auto* handler = new (std::nothrow) LoopbackActivationHandler(event);
  if (handler == nullptr) {
    CloseHandle(event);
    return E_OUTOFMEMORY;
  }
  // The new object's one reference passes to the pointer (MinGW's Attach
  // would add another).
  *out->GetAddressOf() = handler;
  return S_OK;
}

LoopbackActivationHandler::~LoopbackActivationHandler() {
  if (!CloseHandle(event_)) LogWarn("[Audio] CloseHandle(activation event) failed: %lu", GetLastError());
}

HRESULT STDMETHODCALLTYPE LoopbackActivationHandler::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IActivateAudioInterfaceCompletionHandler))) {
    *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
  } else if (IsEqualIID(iid, __uuidof(IAgileObject))) {
    *out = static_cast<IAgileObject*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE LoopbackActivationHandler::AddRef() { return ++refs_; }

ULONG STDMETHODCALLTYPE LoopbackActivationHandler::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE LoopbackActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
  HRESULT result = E_POINTER;
  ComPtr<IUnknown> activated;
  if (operation != nullptr) {
    HRESULT activate_result = E_FAIL;
    const HRESULT hr = operation->GetActivateResult(&activate_result, activated.GetAddressOf());
    result = FAILED(hr) ? hr : activate_result;
    if (FAILED(result)) {
      activated.Reset();
    } else if (!activated) {
      result = E_NOINTERFACE;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    completed_ = true;
    if (!abandoned_) {
      result_ = result;
      activated_.Swap(activated);
    }
  }
  // An abandoned handler's late interface is released here, outside the lock.
  activated.Reset();
  if (!SetEvent(event_)) LogWarn("[Audio] SetEvent(activation event) failed: %lu", GetLastError());
  return S_OK;
}

DWORD LoopbackActivationHandler::Wait(DWORD timeout_ms) const { return WaitForSingleObject(event_, timeout_ms); }

HRESULT LoopbackActivationHandler::TakeResult(ComPtr<IUnknown>* out) {
  std::lock_guard<std::mutex> lock(mu_);
  out->Reset();
  if (!completed_ || abandoned_) return E_PENDING;
  out->Swap(activated_);
  return result_;
}

void LoopbackActivationHandler::Abandon() {
  ComPtr<IUnknown> unused;
  std::lock_guard<std::mutex> lock(mu_);
  abandoned_ = true;
  unused.Swap(activated_);
}

bool LoopbackActivationHandler::completed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return completed_;
}

std::unique_ptr<ILoopbackBackend> MakePlatformLoopbackBackend() { return std::make_unique<WasapiLoopbackBackend>(); }

}  // namespace orvane
