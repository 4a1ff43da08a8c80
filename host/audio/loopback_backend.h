#pragma once
// A loopback capture in two halves. LoopbackCapture (portable) keeps the
// state every platform shares: one lifecycle call at a time, the mode asked
// for and the one set up, the process-loopback fallback, the delivered
// format, the last result, and a fresh client for every run after the first.
// ILoopbackBackend (WASAPI; PulseAudio on Linux) owns the platform's clients
// and the capture thread, and is called only from LoopbackCapture, one call
// at a time.

#include <functional>
#include <memory>
#include <mutex>

#include "host/audio/loopback_capture.h"
#include "host/common/host_result.h"

namespace orvane {

// How the capture thread reports a read failure (and Success once reads
// work again); callable from the capture thread at any time while it runs.
using CaptureResultReport = std::function<void(HostResult)>;

class ILoopbackBackend {
 public:
  virtual ~ILoopbackBackend() = default;
  // Sets up a client in `mode`; true with *format (always 16-bit samples).
  // False with *result, the reason logged; process loopback is false where
  // the platform has none. A failed set-up is followed by Release().
  virtual bool SetUp(int mode, AudioFormat* format, HostResult* result) = 0;
  // Starts the capture thread delivering to `callback`. False with *result.
  virtual bool StartDelivery(PcmCallback callback, CaptureResultReport report, HostResult* result) = 0;
  // False once the capture thread ended on its own (the device went away).
  virtual bool Delivering() const = 0;
  // Stops delivering and ends the capture thread: no callback runs after
  // it returns. The client stays until Release().
  virtual void StopDelivery() = 0;
  // Stops and frees every client and handle.
  virtual void Release() = 0;
};

// The machine's backend.
std::unique_ptr<ILoopbackBackend> MakePlatformLoopbackBackend();

class LoopbackCapture final : public ILoopbackCapture {
 public:
  explicit LoopbackCapture(std::unique_ptr<ILoopbackBackend> backend);
  ~LoopbackCapture() override;
  LoopbackCapture(const LoopbackCapture&) = delete;
  LoopbackCapture& operator=(const LoopbackCapture&) = delete;

  bool Initialize(int preferred_mode) override;
  // A capture whose thread ended on its own is started on a fresh client.
  bool Start(PcmCallback callback) override;
  void Stop() override;
  void Reset() override;
  bool Initialized() const override;
  AudioFormat Format() const override;
  int Mode() const override;
  HostResult LastResult() const override;

 private:
  // api_mu_ held.
  bool SetUp(int preferred_mode);
  void StopLocked();
  void ReleaseLocked();
  void SetResult(HostResult result);

  std::mutex api_mu_;  // one lifecycle call at a time (outermost lock)
  std::unique_ptr<ILoopbackBackend> backend_;
  int requested_mode_ = kLoopbackModeEndpoint;
  bool started_once_ = false;
  bool running_ = false;

  mutable std::mutex state_mu_;  // the fields below, read from any thread
  bool initialized_ = false;
  int mode_ = kLoopbackModeEndpoint;
  AudioFormat format_{};
  HostResult last_{};
};

}  // namespace orvane
