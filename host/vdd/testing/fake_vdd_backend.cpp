#include "host/vdd/testing/fake_vdd_backend.h"

#include <algorithm>
#include <optional>

namespace orvane::testing {

std::vector<MonitorInfoData> FakeVddState::Desktop() const {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<MonitorInfoData> list;
  MonitorInfoData main;
  main.id = "\\\\.\\DISPLAY1";
  main.display_name = main.id;
  main.width = static_cast<int32_t>(desktop_width);
  main.height = static_cast<int32_t>(desktop_height);
  main.primary = true;
  list.push_back(main);
  if (!monitors_appear) return list;
  int32_t x = main.width;
  for (uint32_t n = 0; n < attached.size(); ++n) {
    if (!attached[n]) continue;
    MonitorInfoData m;
    m.id = GdiName(n);
    m.display_name = m.id;
    m.x = x;
    m.width = static_cast<int32_t>(modes[n].width);
    m.height = static_cast<int32_t>(modes[n].height);
    m.refresh_rate = modes[n].refresh_hz;
    m.index = static_cast<uint32_t>(list.size());
    x += m.width;
    list.push_back(m);
  }
  return list;
}

uint32_t FakeVddState::AttachedCount() const {
  std::lock_guard<std::mutex> lock(mu);
  return static_cast<uint32_t>(std::count(attached.begin(), attached.end(), true));
}

void FakeVddState::SetAttached(uint32_t target, bool on) {
  std::lock_guard<std::mutex> lock(mu);
  if (attached.size() <= target) {
    attached.resize(target + 1, false);
    modes.resize(target + 1);
  }
  attached[target] = on;
  if (on && !modes[target].Valid()) modes[target] = {1920, 1080, 60};
}

FakeVddBackend::FakeVddBackend(std::shared_ptr<FakeVddState> state) : state_(std::move(state)) {
  std::lock_guard<std::mutex> lock(state_->mu);
  ++state_->backends_created;
  if (state_->attached.size() < state_->targets) {
    state_->attached.resize(state_->targets, false);
    state_->modes.resize(state_->targets);
  }
}

FakeVddBackend::~FakeVddBackend() {
  std::lock_guard<std::mutex> lock(state_->mu);
  ++state_->backends_destroyed;
}

const char* FakeVddBackend::GetId() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->id;
}

const char* FakeVddBackend::GetDisplayName() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->display_name;
}

VirtualDisplayAvailability FakeVddBackend::QueryAvailability() {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->availability;
}

int FakeVddBackend::TargetOf(const std::string& token) const {
  const std::optional<VddToken> parsed = ParseVddToken(token);
  if (!parsed || parsed->target_id.empty()) return -1;
  for (uint32_t n = 0; n < state_->attached.size(); ++n) {
    if (FakeVddState::TargetId(n) == parsed->target_id) return static_cast<int>(n);
  }
  return -1;
}

bool FakeVddBackend::AcquireMonitorExcluding(const VirtualDisplayMode& mode,
                                             const std::vector<std::string>& in_use_tokens,
                                             VddAcquireResult* result, std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  ++state_->acquire_calls;
  state_->excluded_tokens.push_back(in_use_tokens);
  if (state_->acquire_fails) {
    *error = state_->acquire_error;
    return false;
  }
  for (uint32_t n = 0; n < state_->attached.size(); ++n) {
    const std::string token = FakeVddState::Token(n);
    if (state_->attached[n] ||
        std::find(in_use_tokens.begin(), in_use_tokens.end(), token) != in_use_tokens.end()) {
      continue;
    }
    state_->attached[n] = true;
    state_->modes[n] = mode;
    result->token = state_->token_override.empty() ? token : state_->token_override;
    result->monitor_id = FakeVddState::GdiName(n);
    result->applied_mode = mode;
    return true;
  }
  *error = "no free driver monitor";
  return false;
}

uint32_t FakeVddBackend::GetMaxMonitors() {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->targets;
}

bool FakeVddBackend::RequestMonitorCount(uint32_t count, std::string* message) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->monitor_count_requests.push_back(count);
  *message = state_->request_message;
  return state_->restart_on_request;
}

bool FakeVddBackend::ReleaseMonitor(const std::string& token, std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->release_fails) {
    *error = "the driver refused";
    return false;
  }
  int target = TargetOf(token);
  if (target < 0 && token == state_->token_override) {
    // A scripted token names the first attached target.
    const auto it = std::find(state_->attached.begin(), state_->attached.end(), true);
    if (it != state_->attached.end()) target = static_cast<int>(it - state_->attached.begin());
  }
  if (target < 0) {
    *error = "token names no target of the driver";
    return false;
  }
  state_->attached[static_cast<size_t>(target)] = false;
  state_->released.push_back(token);
  return true;
}

VddUnusedCheck FakeVddBackend::DetachUnusedMonitors(const std::vector<std::string>&) {
  std::lock_guard<std::mutex> lock(state_->mu);
  ++state_->unused_checks;
  return {state_->unused_detached, state_->unused_deferred};
}

bool FakeVddBackend::ReleaseLeftoverMonitor(const std::string& token, std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->leftovers_released.push_back(token);
  const int target = TargetOf(token);
  if (target < 0) {
    *error = "token names no target of the driver";
    return false;
  }
  state_->attached[static_cast<size_t>(target)] = false;
  return true;
}

std::string FakeVddBackend::GetMonitorIdForToken(const VddAcquireResult& result) {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->name_monitor ? result.monitor_id : std::string();
}

}  // namespace orvane::testing
