#pragma once
// The completion handler of the asynchronous process-loopback activation
// (Windows build only).
//
// The activation may complete on a platform thread long after the capture
// gave up waiting for it and was reset. So the handler owns what the
// completion touches: its own event, the activation result and the
// activated interface, all kept alive by the handler's COM references, never
// anything of the capture. Once the capture has abandoned it, a late
// interface is released at once.

#include <windows.h>

#include <mmdeviceapi.h>
#include <objidl.h>
#include <wrl/client.h>

#include <atomic>
#include <mutex>

namespace orvane {

class LoopbackActivationHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
 public:
  // A new handler (one reference, held by *out) with its own auto-reset
  // event. E_OUTOFMEMORY or the event's error on failure.
  static HRESULT Create(Microsoft::WRL::ComPtr<LoopbackActivationHandler>* out);

  // IUnknown; the object is its own agile, free-threaded implementation.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // Records GetActivateResult's outcome (the call's own failure, or the
  // activation's result and interface) and signals the event.
  HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

  // Waits up to `timeout_ms` for the completion: WAIT_OBJECT_0, WAIT_TIMEOUT
  // or WAIT_FAILED.
  DWORD Wait(DWORD timeout_ms) const;
  // After a completion: the activation's result (S_OK with *out set, or the
  // failure; E_NOINTERFACE when it succeeded without an interface). The
  // interface passes to the caller.
  HRESULT TakeResult(Microsoft::WRL::ComPtr<IUnknown>* out);
  // The capture stops caring: an interface not taken yet is released now,
  // one that arrives later is released on arrival.
  void Abandon();

  bool completed() const;

 private:
  explicit LoopbackActivationHandler(HANDLE event) : event_(event) {}
  ~LoopbackActivationHandler();

  std::atomic<ULONG> refs_{1};
  const HANDLE event_;
  mutable std::mutex mu_;  // guards the fields below
  bool completed_ = false;
  bool abandoned_ = false;
  HRESULT result_ = E_PENDING;
  Microsoft::WRL::ComPtr<IUnknown> activated_;
};

}  // namespace orvane
