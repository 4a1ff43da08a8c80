#include "host/audio/loopback_backend.h"

#include <utility>

#include "host/common/logger.h"

namespace orvane {

LoopbackCapture::LoopbackCapture(std::unique_ptr<ILoopbackBackend> backend) : backend_(std::move(backend)) {}

LoopbackCapture::~LoopbackCapture() { Reset(); }

bool LoopbackCapture::Initialize(int preferred_mode) {
  std::lock_guard<std::mutex> api(api_mu_);
  ReleaseLocked();
  SetResult(HostResult::Success());
  return SetUp(preferred_mode);
}

bool LoopbackCapture::Start(PcmCallback callback) {
  std::lock_guard<std::mutex> api(api_mu_);
  if (running_ && backend_->Delivering()) return true;
  // A thread that ended on its own (device gone) is joined first.
  if (running_) StopLocked();
  if (started_once_) {
    // A stopped client is not started again: a fresh one is set up in the
    // mode asked for last (the server may have restarted, the default
    // device changed).
    const int mode = requested_mode_;
    ReleaseLocked();
    if (!SetUp(mode)) {
      LogWarn("[Audio] Could not set up a fresh capture client for the restart");
      return false;
    }
  }
  if (!Initialized()) {
    SetResult(HostResult::Failure(kAudioCaptureErrorCode, "Audio capture was not initialized before Start()"));
    return false;
  }
  SetResult(HostResult::Success());
  HostResult result;
  if (!backend_->StartDelivery(std::move(callback), [this](HostResult r) { SetResult(std::move(r)); }, &result)) {
    SetResult(std::move(result));
    return false;
  }
  started_once_ = true;
  running_ = true;
  LogInfo("[Audio] Capture started");
  return true;
}

void LoopbackCapture::Stop() {
  std::lock_guard<std::mutex> api(api_mu_);
  StopLocked();
  SetResult(HostResult::Success());
}

void LoopbackCapture::Reset() {
  std::lock_guard<std::mutex> api(api_mu_);
  ReleaseLocked();
}

bool LoopbackCapture::Initialized() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return initialized_;
}

AudioFormat LoopbackCapture::Format() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return format_;
}

int LoopbackCapture::Mode() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return mode_;
}

HostResult LoopbackCapture::LastResult() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return last_;
}

bool LoopbackCapture::SetUp(int preferred_mode) {
  requested_mode_ = preferred_mode;
  AudioFormat format;
  HostResult result;
  int mode = kLoopbackModeEndpoint;
  bool ok = false;
  if (preferred_mode == kLoopbackModeProcess) {
    ok = backend_->SetUp(kLoopbackModeProcess, &format, &result);
    if (ok) {
      mode = kLoopbackModeProcess;
    } else {
      LogWarn("[Audio] Process loopback unavailable; using endpoint loopback");
      backend_->Release();
    }
  }
  if (!ok) {
    result = HostResult::Success();
    ok = backend_->SetUp(kLoopbackModeEndpoint, &format, &result);
  }
  if (!ok) {
    backend_->Release();
    SetResult(std::move(result));
    return false;
  }
  std::lock_guard<std::mutex> lock(state_mu_);
  initialized_ = true;
  mode_ = mode;
  format_ = format;
  return true;
}

void LoopbackCapture::StopLocked() {
  if (!running_) return;
  backend_->StopDelivery();
  running_ = false;
}

void LoopbackCapture::ReleaseLocked() {
  StopLocked();
  backend_->Release();
  started_once_ = false;
  std::lock_guard<std::mutex> lock(state_mu_);
  initialized_ = false;
  mode_ = kLoopbackModeEndpoint;
  format_ = AudioFormat{};
}

void LoopbackCapture::SetResult(HostResult result) {
  std::lock_guard<std::mutex> lock(state_mu_);
  last_ = std::move(result);
}

std::unique_ptr<ILoopbackCapture> MakePlatformLoopbackCapture() {
  return std::make_unique<LoopbackCapture>(MakePlatformLoopbackBackend());
}

}  // namespace orvane
