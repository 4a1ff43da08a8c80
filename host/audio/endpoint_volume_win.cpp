// CoreAudioEndpointVolume: the default render endpoint (console role) through
// the MMDevice API and IAudioEndpointVolume. COM is initialised for each call
// (multithreaded); a thread already in another apartment is usable as it is
// and is not uninitialised.

#include <windows.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <cmath>
#include <cstring>
#include <string>

#include "host/audio/endpoint_volume.h"
#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"

namespace orvane::endpoint_mute {

namespace {

using Microsoft::WRL::ComPtr;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

unsigned long HrBits(HRESULT hr) { return static_cast<unsigned long>(hr); }

GUID HostEventContext() {
  GUID g;
  g.Data1 = kHostEventContext.data1;
  g.Data2 = kHostEventContext.data2;
  g.Data3 = kHostEventContext.data3;
  std::memcpy(g.Data4, kHostEventContext.data4, sizeof g.Data4);
  return g;
}

void SetResult(HostResult* result, int code, const char* message, HRESULT hr) {
  if (result) *result = HostResult::Failure(code, message, static_cast<HResult>(hr));
}

// COM for the duration of one call.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  // RPC_E_CHANGED_MODE: the thread is in a single-threaded apartment, where
  // the endpoint objects work as well.
  bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

class CoreAudioEndpointVolume final : public IEndpointVolume {
 public:
  bool DefaultRenderDeviceId(std::u16string* id, HostResult* result) override {
    ComScope com;
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (!Enumerator(com, &enumerator, result)) return false;
    ComPtr<IMMDevice> device;
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
    if (FAILED(hr)) {
      // E_NOTFOUND: a PC without speakers, not worth a warning.
      if (hr != HRESULT_FROM_WIN32(ERROR_NOT_FOUND) && AllowWarning()) {
        LogWarn("[AudioMute] GetDefaultAudioEndpoint failed: 0x%08lX", HrBits(hr));
      }
      SetResult(result, kEndpointNoDevice, "GetDefaultAudioEndpoint failed", hr);
      return false;
    }
    LPWSTR text = nullptr;
    hr = device->GetId(&text);
    if (FAILED(hr) || text == nullptr) {
      if (AllowWarning()) LogWarn("[AudioMute] IMMDevice::GetId failed: 0x%08lX", HrBits(hr));
      SetResult(result, kEndpointCallFailed, "GetId failed", FAILED(hr) ? hr : E_POINTER);
      return false;
    }
    id->assign(reinterpret_cast<const char16_t*>(text));
    CoTaskMemFree(text);
    if (result) *result = HostResult::Success();
    return true;
  }

  bool GetState(std::u16string_view id, EndpointState* state, HostResult* result) override {
    ComScope com;
    ComPtr<IAudioEndpointVolume> volume;
    if (!Open(com, id, &volume, result)) return false;
    BOOL muted = FALSE;
    HRESULT hr = volume->GetMute(&muted);
    if (FAILED(hr)) {
      if (AllowWarning()) LogWarn("[AudioMute] GetMute failed: 0x%08lX", HrBits(hr));
      SetResult(result, kEndpointCallFailed, "GetMute failed", hr);
      return false;
    }
    float level = 0.0f;
    hr = volume->GetMasterVolumeLevelScalar(&level);
    if (FAILED(hr)) {
      if (AllowWarning()) LogWarn("[AudioMute] GetMasterVolumeLevelScalar failed: 0x%08lX", HrBits(hr));
      SetResult(result, kEndpointCallFailed, "GetMasterVolumeLevelScalar failed", hr);
      return false;
    }
    state->muted = muted != FALSE;
    state->volume = level;
    if (result) *result = HostResult::Success();
    return true;
  }

  bool SetMute(std::u16string_view id, bool muted, HostResult* result) override {
    ComScope com;
    ComPtr<IAudioEndpointVolume> volume;
    HRESULT hr = E_FAIL;
    if (Open(com, id, &volume, result, &hr)) {
      const GUID context = HostEventContext();
      hr = volume->SetMute(muted ? TRUE : FALSE, &context);
      if (SUCCEEDED(hr)) {
        if (result) *result = HostResult::Success();
        return true;
      }
      SetResult(result, kEndpointCallFailed, "SetMute failed", hr);
    }
    return false;
  }

  bool SetVolume(std::u16string_view id, float scalar, HostResult* result) override {
    ComScope com;
    ComPtr<IAudioEndpointVolume> volume;
    if (!Open(com, id, &volume, result)) return false;
    const GUID context = HostEventContext();
    const HRESULT hr = volume->SetMasterVolumeLevelScalar(scalar, &context);
    if (FAILED(hr)) {
      SetResult(result, kEndpointCallFailed, "SetMasterVolumeLevelScalar failed", hr);
      return false;
    }
    if (result) *result = HostResult::Success();
    return true;
  }

 private:
  // Without audio every mute attempt fails the same way; one line per 10 s.
  bool AllowWarning() { return limit_.Allow(TickCountMs()); }

  bool Enumerator(const ComScope& com, ComPtr<IMMDeviceEnumerator>* out, HostResult* result,
                  HRESULT* hr_out = nullptr) {
    if (!com.usable()) {
      if (AllowWarning()) LogWarn("[AudioMute] CoInitializeEx failed: 0x%08lX", HrBits(com.hr()));
      SetResult(result, kEndpointUnavailable, "CoInitializeEx failed", com.hr());
      if (hr_out) *hr_out = com.hr();
      return false;
    }
    const HRESULT hr =
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(out->GetAddressOf()));
    if (FAILED(hr)) {
      if (AllowWarning()) LogWarn("[AudioMute] MMDeviceEnumerator could not be created: 0x%08lX", HrBits(hr));
      SetResult(result, kEndpointUnavailable, "CoCreateInstance(MMDeviceEnumerator) failed", hr);
      if (hr_out) *hr_out = hr;
      return false;
    }
    return true;
  }

  bool Open(const ComScope& com, std::u16string_view id, ComPtr<IAudioEndpointVolume>* out, HostResult* result,
            HRESULT* hr_out = nullptr) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (!Enumerator(com, &enumerator, result, hr_out)) return false;
    const std::wstring wide(reinterpret_cast<const wchar_t*>(id.data()), id.size());
    ComPtr<IMMDevice> device;
    HRESULT hr = wide.empty() ? E_INVALIDARG : enumerator->GetDevice(wide.c_str(), &device);
    if (FAILED(hr)) {
      if (AllowWarning()) LogWarn("[AudioMute] IMMDeviceEnumerator::GetDevice failed: 0x%08lX", HrBits(hr));
      SetResult(result, kEndpointNotFound, "GetDevice failed", hr);
      if (hr_out) *hr_out = hr;
      return false;
    }
    hr = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(out->GetAddressOf()));
    if (FAILED(hr)) {
      if (AllowWarning()) LogWarn("[AudioMute] Activate(IAudioEndpointVolume) failed: 0x%08lX", HrBits(hr));
      SetResult(result, kEndpointNotFound, "Activate(IAudioEndpointVolume) failed", hr);
      if (hr_out) *hr_out = hr;
      return false;
    }
    return true;
  }

  RateLimiter limit_{10'000};
};

}  // namespace

std::unique_ptr<IEndpointVolume> MakeEndpointVolumeBackend() { return std::make_unique<CoreAudioEndpointVolume>(); }

}  // namespace orvane::endpoint_mute
