#include "host/input/testing/recording_injection_platform.h"

#include <utility>

namespace orvane::testing {

namespace {

const char* KindName(PointerDeviceKind kind) { return kind == PointerDeviceKind::kTouch ? "touch" : "pen"; }

}  // namespace

void InjectionPlatformRecorder::SetAdministrator(bool admin) {
  std::lock_guard<std::mutex> lock(mu_);
  admin_ = admin;
}

void InjectionPlatformRecorder::SetSyntheticPointerApi(bool present) {
  std::lock_guard<std::mutex> lock(mu_);
  synthetic_api_ = present;
}

void InjectionPlatformRecorder::SetTouchInjectionApi(bool present) {
  std::lock_guard<std::mutex> lock(mu_);
  touch_api_ = present;
}

void InjectionPlatformRecorder::SetCreateDeviceResult(PointerDeviceKind kind, bool ok, unsigned long error) {
  std::lock_guard<std::mutex> lock(mu_);
  (kind == PointerDeviceKind::kTouch ? create_touch_ : create_pen_) = Result{ok, error};
}

void InjectionPlatformRecorder::SetInitializeTouchResult(bool ok, unsigned long error) {
  std::lock_guard<std::mutex> lock(mu_);
  initialize_ = Result{ok, error};
}

void InjectionPlatformRecorder::SetMonitors(std::vector<InjectionMonitor> monitors) {
  std::lock_guard<std::mutex> lock(mu_);
  monitors_ = std::move(monitors);
}

void InjectionPlatformRecorder::SetVirtualScreen(VirtualScreen screen) {
  std::lock_guard<std::mutex> lock(mu_);
  screen_ = screen;
}

void InjectionPlatformRecorder::SetScanCode(uint32_t virtual_key, uint32_t scan_code) {
  std::lock_guard<std::mutex> lock(mu_);
  if (scan_code == 0) {
    layout_.erase(virtual_key);
  } else {
    layout_[virtual_key] = scan_code;
  }
}

void InjectionPlatformRecorder::FailNextTouchFrames(uint32_t count, unsigned long error) {
  std::lock_guard<std::mutex> lock(mu_);
  touch_failures_ = Failure{count, error};
}

void InjectionPlatformRecorder::FailNextPenFrames(uint32_t count, unsigned long error) {
  std::lock_guard<std::mutex> lock(mu_);
  pen_failures_ = Failure{count, error};
}

void InjectionPlatformRecorder::FailNextSendInputs(uint32_t count, unsigned long error) {
  std::lock_guard<std::mutex> lock(mu_);
  send_failures_ = Failure{count, error};
}

std::vector<std::string> InjectionPlatformRecorder::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

std::vector<RecordedTouchFrame> InjectionPlatformRecorder::TouchFrames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return touch_frames_;
}

std::vector<PenFrame> InjectionPlatformRecorder::PenFrames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pen_frames_;
}

std::vector<std::vector<PlatformInput>> InjectionPlatformRecorder::Batches() const {
  std::lock_guard<std::mutex> lock(mu_);
  return batches_;
}

size_t InjectionPlatformRecorder::MonitorQueries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return monitor_queries_;
}

size_t InjectionPlatformRecorder::Dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dropped_;
}

void InjectionPlatformRecorder::ClearInjections() {
  std::lock_guard<std::mutex> lock(mu_);
  touch_frames_.clear();
  pen_frames_.clear();
  batches_.clear();
}

bool InjectionPlatformRecorder::Take(Failure& failure, unsigned long* error) {
  if (failure.count == 0) return false;
  --failure.count;
  if (error != nullptr) *error = failure.error;
  return true;
}

template <typename T>
void InjectionPlatformRecorder::Keep(std::vector<T>& record, T entry) {
  if (record.size() >= kMaxRecords) {
    ++dropped_;
    return;
  }
  record.push_back(std::move(entry));
}

bool InjectionPlatformRecorder::IsAdministrator() {
  std::lock_guard<std::mutex> lock(mu_);
  return admin_;
}

bool InjectionPlatformRecorder::HasSyntheticPointerApi() {
  std::lock_guard<std::mutex> lock(mu_);
  return synthetic_api_;
}

bool InjectionPlatformRecorder::HasTouchInjectionApi() {
  std::lock_guard<std::mutex> lock(mu_);
  return touch_api_;
}

bool InjectionPlatformRecorder::CreateSyntheticDevice(PointerDeviceKind kind, uint32_t max_contacts,
                                                      unsigned long* error) {
  std::lock_guard<std::mutex> lock(mu_);
  Keep(calls_, std::string("create ") + KindName(kind) + " " + std::to_string(max_contacts));
  const Result& result = kind == PointerDeviceKind::kTouch ? create_touch_ : create_pen_;
  if (!result.ok && error != nullptr) *error = result.error;
  return result.ok;
}

void InjectionPlatformRecorder::DestroySyntheticDevice(PointerDeviceKind kind) {
  std::lock_guard<std::mutex> lock(mu_);
  Keep(calls_, std::string("destroy ") + KindName(kind));
}

bool InjectionPlatformRecorder::InitializeTouchInjection(uint32_t max_contacts, unsigned long* error) {
  std::lock_guard<std::mutex> lock(mu_);
  Keep(calls_, "initialize " + std::to_string(max_contacts));
  if (!initialize_.ok && error != nullptr) *error = initialize_.error;
  return initialize_.ok;
}

bool InjectionPlatformRecorder::InjectTouchFrame(TouchRoute route, const std::vector<TouchContactFrame>& contacts,
                                                 unsigned long* error) {
  std::lock_guard<std::mutex> lock(mu_);
  Keep(touch_frames_, RecordedTouchFrame{route, contacts});
  return !Take(touch_failures_, error);
}

bool InjectionPlatformRecorder::InjectPenFrame(const PenFrame& frame, unsigned long* error) {
  std::lock_guard<std::mutex> lock(mu_);
  Keep(pen_frames_, frame);
  return !Take(pen_failures_, error);
}

bool InjectionPlatformRecorder::SendInputs(const std::vector<PlatformInput>& inputs, unsigned long* error) {
  std::lock_guard<std::mutex> lock(mu_);
  Keep(batches_, inputs);
  return !Take(send_failures_, error);
}

std::vector<InjectionMonitor> InjectionPlatformRecorder::Monitors() {
  std::lock_guard<std::mutex> lock(mu_);
  ++monitor_queries_;
  return monitors_;
}

VirtualScreen InjectionPlatformRecorder::GetVirtualScreen() {
  std::lock_guard<std::mutex> lock(mu_);
  return screen_;
}

uint32_t InjectionPlatformRecorder::VirtualKeyToScanCode(uint32_t virtual_key) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = layout_.find(virtual_key);
  return it == layout_.end() ? 0u : it->second;
}

}  // namespace orvane::testing
