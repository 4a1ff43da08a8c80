#pragma once
// A scriptable stand-in for the machine's injection facilities. The script
// (which functions exist, what device creation and touch initialisation
// return, the monitors, the virtual screen, the keyboard layout, failures to
// come) and the record of every call live in an InjectionPlatformRecorder
// that the test keeps, so they outlive the injector that owns the platform.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/input/injection_platform.h"

namespace orvane::testing {

struct RecordedTouchFrame {
  TouchRoute route = TouchRoute::kSyntheticDevice;
  std::vector<TouchContactFrame> contacts;
};

class InjectionPlatformRecorder {
 public:
  // Each record keeps at most this many entries (later ones are counted in
  // Dropped()).
  static constexpr size_t kMaxRecords = 65536;

  // Script. The defaults: not an administrator, both APIs present, every
  // call succeeds, one primary monitor 1920x1080 at the origin and a
  // virtual screen of the same size, an empty keyboard layout.
  void SetAdministrator(bool admin);
  void SetSyntheticPointerApi(bool present);
  void SetTouchInjectionApi(bool present);
  void SetCreateDeviceResult(PointerDeviceKind kind, bool ok, unsigned long error);
  void SetInitializeTouchResult(bool ok, unsigned long error);
  void SetMonitors(std::vector<InjectionMonitor> monitors);
  void SetVirtualScreen(VirtualScreen screen);
  // What the layout maps a virtual key to (0 removes it).
  void SetScanCode(uint32_t virtual_key, uint32_t scan_code);
  // The next count calls of the kind fail with error.
  void FailNextTouchFrames(uint32_t count, unsigned long error);
  void FailNextPenFrames(uint32_t count, unsigned long error);
  void FailNextSendInputs(uint32_t count, unsigned long error);

  // Record: device and initialisation calls in order, as
  // "create touch 10", "create pen 1", "initialize 10", "destroy touch",
  // "destroy pen".
  std::vector<std::string> Calls() const;
  std::vector<RecordedTouchFrame> TouchFrames() const;
  std::vector<PenFrame> PenFrames() const;
  std::vector<std::vector<PlatformInput>> Batches() const;
  size_t MonitorQueries() const;
  size_t Dropped() const;
  // Forgets the frames and batches recorded so far (the script stays).
  void ClearInjections();

  // The platform's side.
  bool IsAdministrator();
  bool HasSyntheticPointerApi();
  bool HasTouchInjectionApi();
  bool CreateSyntheticDevice(PointerDeviceKind kind, uint32_t max_contacts, unsigned long* error);
  void DestroySyntheticDevice(PointerDeviceKind kind);
  bool InitializeTouchInjection(uint32_t max_contacts, unsigned long* error);
  bool InjectTouchFrame(TouchRoute route, const std::vector<TouchContactFrame>& contacts, unsigned long* error);
  bool InjectPenFrame(const PenFrame& frame, unsigned long* error);
  bool SendInputs(const std::vector<PlatformInput>& inputs, unsigned long* error);
  std::vector<InjectionMonitor> Monitors();
  VirtualScreen GetVirtualScreen();
  uint32_t VirtualKeyToScanCode(uint32_t virtual_key);

 private:
  struct Failure {
    uint32_t count = 0;
    unsigned long error = 0;
  };
  struct Result {
    bool ok = true;
    unsigned long error = 0;
  };
  // True when the call fails now (and counts it off).
  static bool Take(Failure& failure, unsigned long* error);
  template <typename T>
  void Keep(std::vector<T>& record, T entry);

  mutable std::mutex mu_;
  bool admin_ = false;
  bool synthetic_api_ = true;
  bool touch_api_ = true;
  Result create_touch_;
  Result create_pen_;
  Result initialize_;
  std::vector<InjectionMonitor> monitors_{InjectionMonitor{"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}};
  VirtualScreen screen_{0, 0, 1920, 1080};
  std::map<uint32_t, uint32_t> layout_;
  Failure touch_failures_;
  Failure pen_failures_;
  Failure send_failures_;

  std::vector<std::string> calls_;
  std::vector<RecordedTouchFrame> touch_frames_;
  std::vector<PenFrame> pen_frames_;
  std::vector<std::vector<PlatformInput>> batches_;
  size_t monitor_queries_ = 0;
  size_t dropped_ = 0;
};

// The IInjectionPlatform over a recorder.
class RecordingInjectionPlatform final : public IInjectionPlatform {
 public:
  explicit RecordingInjectionPlatform(std::shared_ptr<InjectionPlatformRecorder> recorder)
      : recorder_(std::move(recorder)) {}

  bool IsAdministrator() override { return recorder_->IsAdministrator(); }
  bool HasSyntheticPointerApi() override { return recorder_->HasSyntheticPointerApi(); }
  bool HasTouchInjectionApi() override { return recorder_->HasTouchInjectionApi(); }
  bool CreateSyntheticDevice(PointerDeviceKind kind, uint32_t max_contacts, unsigned long* error) override {
    return recorder_->CreateSyntheticDevice(kind, max_contacts, error);
  }
  void DestroySyntheticDevice(PointerDeviceKind kind) override { recorder_->DestroySyntheticDevice(kind); }
  bool InitializeTouchInjection(uint32_t max_contacts, unsigned long* error) override {
    return recorder_->InitializeTouchInjection(max_contacts, error);
  }
  bool InjectTouchFrame(TouchRoute route, const std::vector<TouchContactFrame>& contacts,
                        unsigned long* error) override {
    return recorder_->InjectTouchFrame(route, contacts, error);
  }
  bool InjectPenFrame(const PenFrame& frame, unsigned long* error) override {
    return recorder_->InjectPenFrame(frame, error);
  }
  bool SendInputs(const std::vector<PlatformInput>& inputs, unsigned long* error) override {
    return recorder_->SendInputs(inputs, error);
  }
  std::vector<InjectionMonitor> Monitors() override { return recorder_->Monitors(); }
  VirtualScreen GetVirtualScreen() override { return recorder_->GetVirtualScreen(); }
  uint32_t VirtualKeyToScanCode(uint32_t virtual_key) override { return recorder_->VirtualKeyToScanCode(virtual_key); }

 private:
  std::shared_ptr<InjectionPlatformRecorder> recorder_;
};

}  // namespace orvane::testing
