// The WASAPI loopback capture on this machine, and the completion handler of
// the process-loopback activation against a scripted operation.

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/audio/loopback_activation_win.h"
#include "host/audio/loopback_capture.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using Microsoft::WRL::ComPtr;

#define SKIP_WITH_REASON(reason)                         \
  do {                                                   \
    const std::string why_ = (reason);                   \
    std::printf("[  SKIPPED ] %s\n", why_.c_str());      \
    GTEST_SKIP() << why_;                                \
  } while (0)

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The test thread in the multithreaded apartment.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }

 private:
  HRESULT hr_;
};

// ------------------------------------------------------------ activation handler

// An object whose references are counted and never freed (it lives on the
// test's stack), standing in for the activated audio client.
class CountedObject final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  ULONG refs() const { return refs_.load(); }

 private:
  std::atomic<ULONG> refs_{1};
};

// The platform's operation as the handler sees it: GetActivateResult gives
// the scripted results (and a new reference to the object, as the real one).
class ScriptedOperation final : public IActivateAudioInterfaceAsyncOperation {
 public:
  ScriptedOperation(HRESULT call_result, HRESULT activate_result, IUnknown* object)
      : call_result_(call_result), activate_result_(activate_result), object_(object) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** iface) override {
    *result = activate_result_;
    *iface = object_;
    if (object_ != nullptr) object_->AddRef();
    return call_result_;
  }

 private:
  HRESULT call_result_;
  HRESULT activate_result_;
  IUnknown* object_;
};

TEST(LoopbackActivationHandler, CompletionsTable) {
  struct Case {
    const char* name;
    HRESULT call_result;
    HRESULT activate_result;
    bool with_object;
    bool abandon_first;  // the capture gave up before the completion
    HRESULT expected;
    bool expected_object;
  };
  const Case cases[] = {
      {"activated", S_OK, S_OK, true, false, S_OK, true},
      {"activation failed", S_OK, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), false, false,
       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), false},
      {"failed with an interface", S_OK, E_ACCESSDENIED, true, false, E_ACCESSDENIED, false},
      {"result not readable", E_UNEXPECTED, S_OK, false, false, E_UNEXPECTED, false},
      {"success without an interface", S_OK, S_OK, false, false, E_NOINTERFACE, false},
      {"late completion", S_OK, S_OK, true, true, E_PENDING, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CountedObject object;
    ComPtr<LoopbackActivationHandler> handler;
    ASSERT_EQ(LoopbackActivationHandler::Create(&handler), S_OK);
    EXPECT_EQ(handler->Wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(handler->completed());
    if (c.abandon_first) handler->Abandon();
    ScriptedOperation operation(c.call_result, c.activate_result, c.with_object ? &object : nullptr);
    EXPECT_EQ(handler->ActivateCompleted(&operation), S_OK);
    EXPECT_TRUE(handler->completed());
    EXPECT_EQ(handler->Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
    ComPtr<IUnknown> taken;
    EXPECT_EQ(Hex(handler->TakeResult(&taken)), Hex(c.expected));
    EXPECT_EQ(taken.Get() != nullptr, c.expected_object);
    // Only a taken interface still holds a reference of the activation.
    EXPECT_EQ(object.refs(), c.expected_object ? 2u : 1u);
    taken.Reset();
    handler->Abandon();
    EXPECT_EQ(object.refs(), 1u);
  }
}

TEST(LoopbackActivationHandler, InterfacesAndNullOperation) {
  ComPtr<LoopbackActivationHandler> handler;
  ASSERT_EQ(LoopbackActivationHandler::Create(&handler), S_OK);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(handler->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())), S_OK);
  ComPtr<IActivateAudioInterfaceCompletionHandler> completion;
  EXPECT_EQ(handler.As(&completion), S_OK);
  // One identity for IUnknown.
  EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(completion.Get()));
  ComPtr<IAgileObject> agile;
  EXPECT_EQ(handler.As(&agile), S_OK);
  ComPtr<IAudioClient> not_offered;
  EXPECT_EQ(handler.As(&not_offered), E_NOINTERFACE);
  EXPECT_EQ(not_offered.Get(), nullptr);
  EXPECT_EQ(handler->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(handler->ActivateCompleted(nullptr), S_OK);
  ComPtr<IUnknown> taken;
  EXPECT_EQ(Hex(handler->TakeResult(&taken)), Hex(E_POINTER));
  EXPECT_EQ(taken.Get(), nullptr);
}

// The capture gives up and drops its reference while the platform still
// holds one: the late completion finds a live handler with its own event,
// releases the late interface, and the platform's Release frees it.
TEST(LoopbackActivationHandler, OutlivesTheCaptureThatGaveUp) {
  CountedObject object;
  ComPtr<LoopbackActivationHandler> handler;
  ASSERT_EQ(LoopbackActivationHandler::Create(&handler), S_OK);
  LoopbackActivationHandler* platform_ref = handler.Get();
  EXPECT_EQ(platform_ref->AddRef(), 2u);  // as ActivateAudioInterfaceAsync does
  handler->Abandon();
  handler.Reset();  // the capture's reference

  ScriptedOperation operation(S_OK, S_OK, &object);
  EXPECT_EQ(platform_ref->ActivateCompleted(&operation), S_OK);
  EXPECT_EQ(object.refs(), 1u);                           // the late client was released
  EXPECT_EQ(platform_ref->Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));  // its own event
  EXPECT_EQ(platform_ref->Release(), 0u);                 // freed with the last reference
}

// ------------------------------------------------------------ the machine's capture

// Whether this machine has a default render endpoint; the reason when not.
bool HasRenderEndpoint(std::string* reason) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                IID_PPV_ARGS(enumerator.GetAddressOf()));
  if (FAILED(hr)) {
    *reason = "no audio device enumerator (" + Hex(hr) + ")";
    return false;
  }
  ComPtr<IMMDevice> device;
  hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf());
  if (FAILED(hr)) {
    *reason = "no default render endpoint (" + Hex(hr) + ")";
    if (RunningUnderWine()) *reason += ": Wine has no audio driver with a usable device in this prefix";
    return false;
  }
  return true;
}

TEST(WasapiLoopbackCapture, StartBeforeInitializeFails) {
  ComScope com;
  auto capture = MakePlatformLoopbackCapture();
  capture->Stop();
  capture->Reset();
  EXPECT_FALSE(capture->Initialized());
  EXPECT_EQ(capture->Format(), AudioFormat{});
  EXPECT_FALSE(capture->Start([](const int16_t*, uint32_t, uint32_t, int64_t) {}));
  const HostResult result = capture->LastResult();
  EXPECT_EQ(result.code, kAudioCaptureErrorCode);
  EXPECT_EQ(result.message, "Audio capture was not initialized before Start()");
  EXPECT_EQ(result.hr, kEFail);
}

TEST(WasapiLoopbackCapture, InitializeFallsBackToEndpointLoopback) {
  ComScope com;
  std::string no_endpoint;
  const bool has_endpoint = HasRenderEndpoint(&no_endpoint);
  const AudioFormat converted{48000, 2, 16};
  struct Case {
    int preferred_mode;
  };
  for (const Case c : {Case{kLoopbackModeProcess}, Case{kLoopbackModeEndpoint}}) {
    SCOPED_TRACE(c.preferred_mode);
    testing::LogCapture log;
    auto capture = MakePlatformLoopbackCapture();
    const bool ok = capture->Initialize(c.preferred_mode);
    const HostResult result = capture->LastResult();
    std::printf("Initialize(%d): %s, mode %d, %s%s\n", c.preferred_mode, ok ? "ok" : "failed", capture->Mode(),
                result.ToString().c_str(), RunningUnderWine() ? " (under Wine)" : "");
    if (c.preferred_mode == kLoopbackModeProcess && capture->Mode() == kLoopbackModeProcess) {
      // A system with process loopback.
      EXPECT_TRUE(ok);
      EXPECT_TRUE(log.Contains("[Audio] Process loopback (all apps except the host): 48000Hz, 2ch, 16bit"));
      EXPECT_TRUE(log.Contains("[Audio] WASAPI process loopback initialized (client 1)"));
      EXPECT_EQ(capture->Format(), converted);
      continue;
    }
    EXPECT_EQ(capture->Mode(), kLoopbackModeEndpoint);
    EXPECT_EQ(log.Count("[Audio] Process loopback unavailable; using endpoint loopback"),
              c.preferred_mode == kLoopbackModeProcess ? 1u : 0u);
    if (c.preferred_mode == kLoopbackModeProcess) {
      EXPECT_EQ(log.Count("[Audio] Process loopback activation did not complete: 0x") +
                    log.Count("[Audio] ActivateAudioInterfaceAsync(process loopback) failed: 0x") +
                    log.Count("[Audio] Process loopback Initialize failed: 0x"),
                1u);
    }
    if (!has_endpoint) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(result.code, kAudioCaptureErrorCode);
      EXPECT_EQ(result.message, "Default audio endpoint is unavailable");
      EXPECT_TRUE(log.Contains("[Audio] GetDefaultAudioEndpoint failed: 0x"));
      continue;
    }
    EXPECT_TRUE(log.Contains("[Audio] Mix format: "));
    if (!ok) {
      EXPECT_EQ(result.code, kAudioCaptureErrorCode);
      // Wine 8 takes loopback Initialize on a render endpoint but offers no
      // capture client for it.
      if (RunningUnderWine()) {
        EXPECT_EQ(result.message, "Audio capture service creation failed");
      } else {
        ADD_FAILURE() << "endpoint loopback failed: " << result.ToString();
      }
      continue;
    }
    EXPECT_TRUE(log.Contains("[Audio] WASAPI endpoint loopback initialized (client 1)"));
    EXPECT_TRUE(capture->Initialized());
    EXPECT_EQ(capture->Format(), converted);
  }
  if (!has_endpoint) SKIP_WITH_REASON("endpoint loopback not exercised: " + no_endpoint);
}

TEST(WasapiLoopbackCapture, StartStopRestartReset) {
  ComScope com;
  std::string no_endpoint;
  if (!HasRenderEndpoint(&no_endpoint)) SKIP_WITH_REASON(no_endpoint);
  testing::LogCapture log;
  auto capture = MakePlatformLoopbackCapture();
  if (!capture->Initialize(kLoopbackModeEndpoint)) {
    std::string why = "endpoint loopback is not available here: " + capture->LastResult().ToString();
    if (RunningUnderWine()) why += " (Wine offers no loopback capture client on a render endpoint)";
    SKIP_WITH_REASON(why);
  }

  std::mutex mu;
  uint32_t callbacks = 0;
  uint32_t bad_channels = 0;
  auto callback = [&](const int16_t* samples, uint32_t frames, uint32_t channels, int64_t) {
    std::lock_guard<std::mutex> lock(mu);
    ++callbacks;
    if (channels != 2 || frames == 0 || samples == nullptr) ++bad_channels;
  };
  ASSERT_TRUE(capture->Start(callback)) << capture->LastResult().ToString();
  EXPECT_EQ(log.Count("[Audio] Capture started"), 1u);
  EXPECT_TRUE(capture->Start(callback));  // already running: nothing to do
  EXPECT_EQ(log.Count("[Audio] Capture started"), 1u);
  capture->Stop();
  EXPECT_TRUE(capture->LastResult().ok());
  EXPECT_TRUE(capture->Initialized());

  // A second start runs on a fresh client.
  ASSERT_TRUE(capture->Start(callback)) << capture->LastResult().ToString();
  EXPECT_TRUE(log.Contains("[Audio] WASAPI endpoint loopback initialized (client 2)"));
  EXPECT_EQ(log.Count("[Audio] Capture started"), 2u);
  capture->Stop();

  capture->Reset();
  EXPECT_FALSE(capture->Initialized());
  EXPECT_FALSE(capture->Start(callback));
  EXPECT_EQ(capture->LastResult().message, "Audio capture was not initialized before Start()");
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(bad_channels, 0u);
  std::printf("%u callbacks while running\n", callbacks);
}

}  // namespace
}  // namespace orvane
