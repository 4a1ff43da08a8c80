#pragma once
// A scripted capture back-end for the front-end's tests.

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/common/logger.h"
#include "host/video/capture_source.h"

namespace orvane::testing {

class FakeCaptureSource final : public ICaptureSource {
 public:
  explicit FakeCaptureSource(CaptureBackendKind kind) : kind_(kind) {}

  // Whether Initialize succeeds from now on.
  bool init_ok = false;
  // What Acquire returns next; kFrame when the script is empty.
  std::deque<CaptureStatus> script;
  bool handoff = false;

  int initialize_calls = 0;
  int shutdown_calls = 0;
  int acquire_calls = 0;
  bool initialized = false;
  CaptureInitParams last_params;

  CaptureBackendKind Kind() const override { return kind_; }
  bool Initialize(const CaptureInitParams& params) override {
    Shutdown();
    ++initialize_calls;
    last_params = params;
    if (!init_ok) {
      LogWarn("[Capture] Fake %s refused to start", CaptureBackendName(kind_));
      result_ = HostResult::Failure(7, "fake refused", kENotImpl);
      return false;
    }
    initialized = true;
    result_ = HostResult::Success();
    return true;
  }
  void Shutdown() override {
    ++shutdown_calls;
    initialized = false;
  }
  CapturedFrame Acquire(uint32_t, bool) override {
    ++acquire_calls;
    CapturedFrame frame;
    frame.status = CaptureStatus::kFrame;
    if (!script.empty()) {
      frame.status = script.front();
      script.pop_front();
    }
    if (frame.status == CaptureStatus::kFrame) {
      frame.image = HeapCpuImage::Create(4, 2);
      frame.width = 4;
      frame.height = 2;
    }
    return frame;
  }
  bool GpuHandoff() const override { return handoff; }
  HostResult LastResult() const override { return result_; }

 private:
  CaptureBackendKind kind_;
  HostResult result_;
};

// The three fakes, kept reachable by the test after the manager took them.
struct FakeCaptureSet {
  FakeCaptureSource* dxgi = nullptr;
  FakeCaptureSource* wgc = nullptr;
  FakeCaptureSource* gdi = nullptr;
  CaptureSourceSet sources;

  FakeCaptureSet() {
    auto d = std::make_unique<FakeCaptureSource>(CaptureBackendKind::kDxgi);
    auto w = std::make_unique<FakeCaptureSource>(CaptureBackendKind::kWgc);
    auto g = std::make_unique<FakeCaptureSource>(CaptureBackendKind::kGdi);
    dxgi = d.get();
    wgc = w.get();
    gdi = g.get();
    sources.dxgi = std::move(d);
    sources.wgc = std::move(w);
    sources.gdi = std::move(g);
  }
};

}  // namespace orvane::testing
