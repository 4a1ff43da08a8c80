#include "host/vdd/vdd_backend.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "host/common/logger.h"
#include "vdd_settings/vdd_settings.h"

namespace orvane {

namespace {

using vdd::DesktopPosition;
using vdd::DisplayConfig;
using vdd::DisplayPath;
using vdd::DisplaySettings;

constexpr char kNoMonitorText[] =
    "the Virtual Display Driver runs but exposes no monitor (vdd_settings.xml may list more modes than it "
    "handles; Check setup can repair it)";
constexpr char kAllInUseText[] = "every Virtual Display Driver monitor serves another tablet";
constexpr char kOnlyDisplayText[] = "the virtual monitor is the only active display; not detaching it";
// QueryDisplayConfig is asked again this often when the topology changed
// between sizing and querying.
constexpr int kQueryRetries = 3;
// The display-settings attach sets this size; the mode switch follows.
constexpr uint32_t kFallbackAttachWidth = 1920;
constexpr uint32_t kFallbackAttachHeight = 1080;

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string Failed(const char* what, int32_t err) {
  char text[160];
  std::snprintf(text, sizeof text, "%s failed (err=%ld)", what, static_cast<long>(err));
  return text;
}

bool SameMode(const VirtualDisplayMode& a, const VirtualDisplayMode& b) {
  return a.width == b.width && a.height == b.height && a.refresh_hz == b.refresh_hz;
}

// Larger side first.
VirtualDisplayMode Landscape(const VirtualDisplayMode& mode) {
  return {std::max(mode.width, mode.height), std::min(mode.width, mode.height), mode.refresh_hz};
}

std::vector<std::string> InUseTargetIds(const std::vector<std::string>& tokens) {
  std::vector<std::string> ids;
  for (const std::string& text : tokens) {
    const std::optional<VddToken> token = ParseVddToken(text);
    if (token && !token->target_id.empty()) ids.push_back(token->target_id);
  }
  return ids;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool SameSource(const DisplayPath& a, const DisplayPath& b) {
  return a.source_adapter == b.source_adapter && a.source_id == b.source_id;
}

bool SameTarget(const DisplayPath& a, const DisplayPath& b) {
  return a.target_adapter == b.target_adapter && a.target_id == b.target_id;
}

}  // namespace

VirtualDriversVddBackend::VirtualDriversVddBackend(vdd::IVddSystem& system, IVddRequests& requests, IClock& clock)
    : system_(system), requests_(requests), clock_(clock) {}

// --- the device ---

VddDeviceInfo VirtualDriversVddBackend::FindVddDevice() {
  std::vector<vdd::DisplayClassDevice> devices;
  const int32_t err = system_.ListDisplayClassDevices(&devices);
  if (err != vdd::kErrorSuccess) {
    LogWarn("[VDD] Listing the display-class devices failed (err=%ld)", static_cast<long>(err));
    return {};
  }
  VddDeviceInfo best;
  int best_rank = 0;
  for (const vdd::DisplayClassDevice& device : devices) {
    const bool match = std::any_of(device.hardware_ids.begin(), device.hardware_ids.end(), [](const std::string& id) {
      return EqualsIgnoreCase(id, "Root\\TvrVDD") || EqualsIgnoreCase(id, "TvrVDD");
    });
    if (!match) continue;
    VddDeviceInfo info;
    info.found = true;
    info.instance_id = device.node.instance_id;
    info.driver_version = device.driver_version;
    info.present = device.node.status_known;
    const bool has_problem = info.present && (device.node.status & vdd::kDnHasProblem) != 0;
    info.running = info.present && (device.node.status & vdd::kDnStarted) != 0 && !has_problem;
    info.has_problem = has_problem;
    info.problem_code = has_problem ? device.node.problem : 0;
    const int rank = info.running ? 3 : info.present ? 2 : 1;
    if (rank > best_rank) {
      best = std::move(info);
      best_rank = rank;
    }
  }
  return best;
}

uint32_t VirtualDriversVddBackend::CountDriverMonitors(const std::string& instance_id) {
  std::vector<vdd::DeviceNode> children;
  const int32_t err = system_.ListChildNodes(instance_id, &children);
  if (err != vdd::kErrorSuccess) {
    LogWarn("[VDD] Listing the monitors of %s failed (err=%ld)", instance_id.c_str(), static_cast<long>(err));
    return 0;
  }
  uint32_t count = 0;
  for (const vdd::DeviceNode& child : children) {
    if (child.status_known && StartsWithIgnoreCase(child.instance_id, "DISPLAY\\")) ++count;
  }
  return count;
}

void VirtualDriversVddBackend::NoteMonitorCount(uint32_t count) {
  if (count != 0) monitor_count_ = count;
}

uint32_t VirtualDriversVddBackend::GetMaxMonitors() {
  if (monitor_count_ == 0) return 1;
  return std::min<uint32_t>(monitor_count_, 4);
}

std::string VirtualDriversVddBackend::SettingsFilePath() {
  std::string folder;
  const int32_t err = system_.ReadRegistryString(kVddDriverRegistryKey, kVddPathValue, &folder);
  if (err != vdd::kErrorSuccess) {
    if (err != vdd::kErrorFileNotFound) {
      LogWarn("[VDD] Reading %s failed (err=%ld); using the default folder", kVddPathValue, static_cast<long>(err));
    }
    folder.clear();
  }
  // A stored terminator ends the text.
  const size_t nul = folder.find('\0');
  if (nul != std::string::npos) folder.resize(nul);
  return tvr_vdd::SettingsFileInFolder(folder);
}

VirtualDisplayAvailability VirtualDriversVddBackend::QueryAvailability() {
  const VddDeviceInfo info = FindVddDevice();
  if (!info.found) {
    return {VirtualDisplayState::kNotInstalled, "Virtual Display Driver (Root\\TvrVDD) not installed", false};
  }
  if (!info.present) {
    return {VirtualDisplayState::kNotInstalled,
            "Virtual Display Driver device " + info.instance_id + " is not present", false};
  }
  if (!info.running && !info.has_problem) {
    // Present and without a problem, but not started (a restart under way).
    return {VirtualDisplayState::kUnavailable, "Virtual Display Driver device is not running", false};
  }
  if (!info.running) {
    char text[128];
    std::snprintf(text, sizeof text, "Virtual Display Driver device has problem code %lu%s",
                  static_cast<unsigned long>(info.problem_code),
                  info.problem_code == vdd::kProblemDisabled ? " (disabled in Device Manager)" : "");
    return {VirtualDisplayState::kUnavailable, text, false};
  }
  instance_id_ = info.instance_id;
  const uint32_t count = CountDriverMonitors(info.instance_id);
  NoteMonitorCount(count);
  std::string detail = "Virtual Display Driver " + info.driver_version + " (" + info.instance_id + ", " +
                       std::to_string(count) + " monitor(s), settings " + SettingsFilePath() + ")";
  return {VirtualDisplayState::kInstalled, std::move(detail), count == 0};
}

bool VirtualDriversVddBackend::CheckReady(std::string* error) {
  const VddDeviceInfo info = FindVddDevice();
  if (!info.running) {
    *error = info.found ? "Virtual Display Driver device is not running" : "Virtual Display Driver not installed";
    return false;
  }
  instance_id_ = info.instance_id;
  return true;
}

bool VirtualDriversVddBackend::RequestMonitorCount(uint32_t count, std::string* message) {
  return requests_.RequestMonitorCount(SettingsFilePath(), count, monitor_count_, message);
}

// --- display paths and targets ---

bool VirtualDriversVddBackend::QueryDisplayPaths(bool active_only, DisplayConfig* config, std::string* error) {
  for (int attempt = 0; attempt <= kQueryRetries; ++attempt) {
    DisplayConfig answer;
    const vdd::DisplayConfigAnswer a = system_.QueryDisplayConfig(active_only, &answer);
    if (a.sizes_error != vdd::kErrorSuccess) {
      *error = Failed("GetDisplayConfigBufferSizes", a.sizes_error);
      return false;
    }
    if (a.query_error == vdd::kErrorInsufficientBuffer) continue;  // the topology changed meanwhile
    if (a.query_error != vdd::kErrorSuccess) {
      *error = Failed("QueryDisplayConfig", a.query_error);
      return false;
    }
    *config = std::move(answer);
    return true;
  }
  *error = "QueryDisplayConfig kept changing";
  return false;
}

bool VirtualDriversVddBackend::PathBelongsToDriver(const DisplayPath& path, const std::string& instance_id) {
  if (instance_id.empty()) return false;
  std::string adapter_path;
  const int32_t adapter_err = system_.GetAdapterDevicePath(path.target_adapter, &adapter_path);
  if (adapter_err == vdd::kErrorSuccess && EqualsIgnoreCase(TargetIdFromDevicePath(adapter_path), instance_id)) {
    return true;
  }
  if (adapter_err != vdd::kErrorSuccess) {
    LogDebug("[VDD] No device path for adapter %08lX (err=%ld)", static_cast<unsigned long>(path.target_adapter.low),
             static_cast<long>(adapter_err));
  }
  std::string monitor_path;
  const int32_t target_err = system_.GetTargetDevicePath(path.target_adapter, path.target_id, &monitor_path);
  if (target_err != vdd::kErrorSuccess || monitor_path.empty()) return false;
  std::string parent;
  const int32_t parent_err = system_.GetParentInstanceId(TargetIdFromDevicePath(monitor_path), &parent);
  if (parent_err != vdd::kErrorSuccess) {
    LogDebug("[VDD] No parent device for target %u (err=%ld)", path.target_id, static_cast<long>(parent_err));
    return false;
  }
  return EqualsIgnoreCase(parent, instance_id);
}

std::string VirtualDriversVddBackend::TargetIdOf(const DisplayPath& path) {
  std::string device_path;
  if (system_.GetTargetDevicePath(path.target_adapter, path.target_id, &device_path) == vdd::kErrorSuccess) {
    std::string id = TargetIdFromDevicePath(device_path);
    if (!id.empty()) return id;
  }
  return FallbackTargetId(path.target_adapter.low, path.target_id);
}

bool VirtualDriversVddBackend::EnumerateVddTargets(const std::string& instance_id, std::vector<VddTarget>* targets,
                                                   std::string* error) {
  targets->clear();
  DisplayConfig all;
  DisplayConfig active;
  if (!QueryDisplayPaths(false, &all, error) || !QueryDisplayPaths(true, &active, error)) return false;

  std::vector<const DisplayPath*> seen;  // one look-up per target
  auto consider = [&](const DisplayPath& path, bool from_active) {
    if (!from_active && !path.target_available && !path.active) return;
    for (const DisplayPath* s : seen) {
      if (SameTarget(*s, path)) return;
    }
    seen.push_back(&path);
    if (!PathBelongsToDriver(path, instance_id)) return;
    VddTarget target;
    target.target_id = TargetIdOf(path);
    for (const VddTarget& known : *targets) {
      if (known.target_id == target.target_id) return;
    }
    const DisplayPath* shown = nullptr;
    for (const DisplayPath& a : active.paths) {
      if (SameTarget(a, path)) {
        shown = &a;
        break;
      }
    }
    if (shown != nullptr) {
      const bool shared = std::any_of(active.paths.begin(), active.paths.end(), [shown](const DisplayPath& other) {
        return &other != shown && SameSource(other, *shown);
      });
      target.state = shared ? VddTargetState::kCloned : VddTargetState::kExtended;
      const int32_t err = system_.GetSourceGdiName(shown->source_adapter, shown->source_id, &target.gdi_source_name);
      if (err != vdd::kErrorSuccess) {
        target.gdi_source_name.clear();
        LogWarn("[VDD] No GDI name for source %u of target %s (err=%ld)", shown->source_id, target.target_id.c_str(),
                static_cast<long>(err));
      }
    }
    targets->push_back(std::move(target));
  };
  for (const DisplayPath& path : all.paths) consider(path, false);
  for (const DisplayPath& path : active.paths) consider(path, true);
  return true;
}

// --- attach and detach ---

bool VirtualDriversVddBackend::AttachTarget(const std::string& instance_id, const std::string& target_id,
                                            std::string* gdi_name, std::string* error) {
  gdi_name->clear();
  DisplayConfig config;
  if (!QueryDisplayPaths(false, &config, error)) return false;
  std::vector<DisplayPath> paths;
  for (const DisplayPath& p : config.paths) {
    if (p.active) paths.push_back(p);
  }
  const DisplayPath* chosen = nullptr;
  for (const DisplayPath& p : config.paths) {
    if (p.active || !p.target_available || !(p.source_adapter == p.target_adapter)) continue;
    const bool source_used =
        std::any_of(paths.begin(), paths.end(), [&p](const DisplayPath& a) { return SameSource(a, p); });
    if (source_used || !PathBelongsToDriver(p, instance_id)) continue;
    if (!target_id.empty() && TargetIdOf(p) != target_id) continue;
    chosen = &p;
    break;
  }
  if (chosen == nullptr) {
    *error = "no free display path for the virtual monitor (is the VDD monitor connected?)";
    return false;
  }
  const int32_t name_err = system_.GetSourceGdiName(chosen->source_adapter, chosen->source_id, gdi_name);
  if (name_err != vdd::kErrorSuccess) {
    gdi_name->clear();
    LogWarn("[VDD] No GDI name for source %u of the driver's adapter (err=%ld)", chosen->source_id,
            static_cast<long>(name_err));
  }

  DisplayPath added = *chosen;
  added.active = true;
  added.source_mode_index = vdd::kInvalidModeIndex;
  added.target_mode_index = vdd::kInvalidModeIndex;
  paths.push_back(std::move(added));
  int32_t err = system_.SetDisplayConfig(paths, &config.modes, vdd::kSdcSuppliedConfig);
  if (err == vdd::kErrorSuccess) return true;
  LogWarn("[VDD] SetDisplayConfig(attach, supplied config) failed (err=%ld); retrying with topology only",
          static_cast<long>(err));
  for (DisplayPath& p : paths) {
    p.source_mode_index = vdd::kInvalidModeIndex;
    p.target_mode_index = vdd::kInvalidModeIndex;
  }
  err = system_.SetDisplayConfig(paths, nullptr, vdd::kSdcTopologyOnly);
  if (err == vdd::kErrorSuccess) return true;
  *error = Failed("SetDisplayConfig(attach)", err);
  return false;
}

bool VirtualDriversVddBackend::AttachWithDisplaySettings(const std::string& gdi_name, const DesktopPosition& position,
                                                         std::string* error) {
  if (gdi_name.empty()) {
    *error = "no GDI source for the virtual monitor";
    return false;
  }
  DisplaySettings settings;
  settings.fields = vdd::kDmPosition | vdd::kDmPelsWidth | vdd::kDmPelsHeight;
  settings.x = position.x;
  settings.y = position.y;
  settings.width = kFallbackAttachWidth;
  settings.height = kFallbackAttachHeight;
  int32_t answer = system_.ChangeDisplaySettings(&gdi_name, &settings, vdd::kCdsUpdateRegistry | vdd::kCdsNoReset);
  if (answer == vdd::kDispChangeSuccessful) answer = system_.ChangeDisplaySettings(nullptr, nullptr, 0);
  if (answer != vdd::kDispChangeSuccessful) {
    *error = Failed("ChangeDisplaySettingsEx(attach)", answer);
    return false;
  }
  return true;
}

bool VirtualDriversVddBackend::DetachTargets(const std::string& instance_id, const std::string& target_id, bool save,
                                             std::string* error) {
  DisplayConfig config;
  if (!QueryDisplayPaths(true, &config, error)) return false;
  std::vector<DisplayPath> remaining;
  size_t dropped = 0;
  for (const DisplayPath& p : config.paths) {
    const bool drop = PathBelongsToDriver(p, instance_id) && (target_id.empty() || TargetIdOf(p) == target_id);
    if (drop) {
      ++dropped;
    } else {
      remaining.push_back(p);
    }
  }
  if (dropped == 0) return true;
  if (remaining.empty()) {
    *error = kOnlyDisplayText;
    return false;
  }
  const uint32_t flags = vdd::kSdcSuppliedConfig | (save ? vdd::kSdcSaveToDatabase : 0u);
  const int32_t err = system_.SetDisplayConfig(remaining, &config.modes, flags);
  if (err != vdd::kErrorSuccess) {
    *error = Failed("SetDisplayConfig(detach)", err);
    return false;
  }
  return true;
}

bool VirtualDriversVddBackend::OnDesktop(const std::string& device) {
  if (device.empty()) return false;
  for (const vdd::DesktopDevice& d : system_.ListDesktopDevices()) {
    if (d.attached_to_desktop && EqualsIgnoreCase(d.name, device)) return true;
  }
  return false;
}

bool VirtualDriversVddBackend::WaitForJoin(const std::string& instance_id, const std::string& target_id,
                                           VddTarget* joined) {
  constexpr uint32_t kChecks = kVddJoinWaitMs / kVddJoinPollMs + 1;
  std::string last_error;
  for (uint32_t i = 0; i < kChecks; ++i) {
    if (i > 0) clock_.SleepMs(kVddJoinPollMs);
    std::vector<VddTarget> targets;
    std::string error;
    if (!EnumerateVddTargets(instance_id, &targets, &error)) {
      last_error = error;
      continue;
    }
    for (const VddTarget& t : targets) {
      if (t.target_id == target_id && t.state == VddTargetState::kExtended && OnDesktop(t.gdi_source_name)) {
        *joined = t;
        return true;
      }
    }
  }
  if (!last_error.empty()) LogWarn("[VDD] %s", last_error.c_str());
  return false;
}

std::vector<vdd::DesktopRect> VirtualDriversVddBackend::DesktopMonitorsExcept(const std::string& device) {
  std::vector<vdd::DesktopRect> rects;
  for (const vdd::DesktopDevice& d : system_.ListDesktopDevices()) {
    if (!d.attached_to_desktop || EqualsIgnoreCase(d.name, device)) continue;
    DisplaySettings s;
    if (!system_.GetCurrentSettings(d.name, &s)) {
      LogDebug("[VDD] No current settings for %s", d.name.c_str());
      continue;
    }
    rects.push_back({d.name, s.x, s.y, s.width, s.height, d.primary});
  }
  return rects;
}

// --- modes ---

bool VirtualDriversVddBackend::SetMonitorMode(const std::string& device, const VirtualDisplayMode& mode,
                                              const std::optional<DesktopPosition>& position,
                                              VirtualDisplayMode* applied) {
  if (device.empty() || !mode.Valid()) return false;
  DisplaySettings current;
  const bool have_current = system_.GetCurrentSettings(device, &current);
  if (!have_current) current = {};
  if (have_current && !position && current.width == mode.width && current.height == mode.height &&
      current.refresh_hz == mode.refresh_hz) {
    *applied = mode;
    return true;
  }
  const std::vector<vdd::ModeCandidate> candidates = vdd::ModeCandidatesToTry(system_.ListModes(device, true), mode);
  for (const vdd::ModeCandidate& c : candidates) {
    if (have_current && !position && vdd::CandidateIsCurrent(c, current)) {
      *applied = {c.width, c.height, c.refresh_hz};
      return true;
    }
    DisplaySettings change = vdd::CandidateSettings(c, position);
    int32_t answer = system_.ChangeDisplaySettings(&device, &change, 0);
    if (answer != vdd::kDispChangeSuccessful && position) {
      LogWarn("[VDD] Mode+position change on %s failed (%ld); retrying without position", device.c_str(),
              static_cast<long>(answer));
      change = vdd::CandidateSettings(c, std::nullopt);
      answer = system_.ChangeDisplaySettings(&device, &change, 0);
    }
    if (answer != vdd::kDispChangeSuccessful) {
      LogWarn("[VDD] ChangeDisplaySettingsEx(%s, %ux%u@%u, %s) failed: %ld", device.c_str(), c.width, c.height,
              c.refresh_hz, c.rotated ? "rotated" : "unrotated", static_cast<long>(answer));
      continue;
    }
    LogInfo("[VDD] %s set to %ux%u@%u orientation=%s (was %ux%u orientation=%lu; requested %ux%u@%u)",
            device.c_str(), c.width, c.height, c.refresh_hz, c.rotated ? "portrait (90)" : "default", current.width,
            current.height, static_cast<unsigned long>(current.orientation), mode.width, mode.height,
            mode.refresh_hz);
    *applied = {c.width, c.height, c.refresh_hz};
    return true;
  }
  return false;
}

// --- acquire and release ---

bool VirtualDriversVddBackend::AcquireMonitor(const VirtualDisplayMode& mode, VddAcquireResult* result,
                                              std::string* error) {
  return AcquireMonitorExcluding(mode, {}, result, error);
}

bool VirtualDriversVddBackend::AcquireMonitorExcluding(const VirtualDisplayMode& mode,
                                                       const std::vector<std::string>& in_use_tokens,
                                                       VddAcquireResult* result, std::string* error) {
  error->clear();
  if (!mode.Valid()) {
    *error = "invalid mode";
    return false;
  }
  if (!CheckReady(error)) return false;
  const std::string instance_id = instance_id_;

  std::vector<VddTarget> targets;
  if (!EnumerateVddTargets(instance_id, &targets, error)) return false;
  NoteMonitorCount(static_cast<uint32_t>(std::min<size_t>(targets.size(), UINT32_MAX)));
  const std::vector<std::string> in_use = InUseTargetIds(in_use_tokens);

  const VddTarget* chosen = nullptr;
  for (const VddTargetState state : {VddTargetState::kExtended, VddTargetState::kCloned, VddTargetState::kDetached}) {
    for (const VddTarget& t : targets) {
      if (t.state == state && !Contains(in_use, t.target_id)) {
        chosen = &t;
        break;
      }
    }
    if (chosen != nullptr) break;
  }
  if (chosen == nullptr) {
    *error = targets.empty() ? kNoMonitorText : kAllInUseText;
    return false;
  }
  const VddTarget target = *chosen;
  LogInfo("[VDD] Using Virtual Display Driver monitor %s (%s; %zu monitor(s), %zu in use)", target.target_id.c_str(),
          VddTargetStateName(static_cast<int>(target.state)), targets.size(), in_use.size());

  const bool preexisting = target.state == VddTargetState::kExtended;
  std::string monitor_id = target.gdi_source_name;
  std::optional<DesktopPosition> position;
  if (!preexisting) {
    if (target.state == VddTargetState::kCloned) {
      std::string detach_error;
      if (!DetachTargets(instance_id, target.target_id, false, &detach_error)) {
        *error = "leaving clone mode failed: " + detach_error;
        return false;
      }
    }
    std::string gdi_name;
    std::string attach_error;
    if (!AttachTarget(instance_id, target.target_id, &gdi_name, &attach_error)) {
      LogWarn("[VDD] %s", attach_error.c_str());
      if (gdi_name.empty()) {
        *error = attach_error;
        return false;
      }
      const DesktopPosition at = vdd::PositionRightOf(DesktopMonitorsExcept(gdi_name));
      std::string fallback_error;
      if (!AttachWithDisplaySettings(gdi_name, at, &fallback_error)) {
        LogWarn("[VDD] %s", fallback_error.c_str());
        *error = attach_error;
        return false;
      }
    }
    VddTarget joined;
    if (!WaitForJoin(instance_id, target.target_id, &joined)) {
      std::string detach_error;
      if (!DetachTargets(instance_id, target.target_id, false, &detach_error)) {
        LogWarn("[VDD] Could not detach the virtual monitor that did not join the desktop: %s", detach_error.c_str());
      }
      *error = "the virtual monitor did not join the desktop";
      return false;
    }
    monitor_id = joined.gdi_source_name;
    position = vdd::PositionRightOf(DesktopMonitorsExcept(monitor_id));
  }

  VirtualDisplayMode applied = mode;
  if (SetMonitorMode(monitor_id, mode, position, &applied)) {
    if (!SameMode(applied, mode)) {
      LogInfo("[VDD] %s runs at the closest listed mode %ux%u@%u (requested %ux%u@%u)", monitor_id.c_str(),
              applied.width, applied.height, applied.refresh_hz, mode.width, mode.height, mode.refresh_hz);
    }
  } else {
    LogWarn("[VDD] Could not switch %s to %ux%u@%u; capturing its current mode", monitor_id.c_str(), mode.width,
            mode.height, mode.refresh_hz);
    DisplaySettings current;
    if (!monitor_id.empty() && system_.GetCurrentSettings(monitor_id, &current) && current.width != 0 &&
        current.height != 0) {
      applied = {current.width, current.height, current.refresh_hz};
    }
  }

  // Whether the driver offers the tablet's size in either orientation; if
  // not, its settings file is asked to list it.
  if (!monitor_id.empty()) {
    const std::vector<DisplaySettings> offered = system_.ListModes(monitor_id, false);
    const bool listed = std::any_of(offered.begin(), offered.end(), [&mode](const DisplaySettings& m) {
      return (m.width == mode.width && m.height == mode.height) || (m.width == mode.height && m.height == mode.width);
    });
    if (listed) {
      requests_.Offered(Landscape(mode));
    } else {
      requests_.RequestResolution(SettingsFilePath(), Landscape(mode), applied);
    }
  }

  DesktopPosition shown = position.value_or(DesktopPosition{});
  if (!position) {
    DisplaySettings current;
    if (!monitor_id.empty() && system_.GetCurrentSettings(monitor_id, &current)) shown = {current.x, current.y};
  }
  LogInfo("[VDD] Virtual monitor %s %s (position %d,%d)", monitor_id.c_str(),
          preexisting ? "was already extended; leaving it extended afterwards" : "attached in extend mode", shown.x,
          shown.y);
  result->token = FormatVddToken({!preexisting, target.target_id});
  result->monitor_id = monitor_id;
  result->applied_mode = applied;
  return true;
}

bool VirtualDriversVddBackend::ReleaseMonitor(const std::string& token_text, std::string* error) {
  const std::optional<VddToken> token = ParseVddToken(token_text);
  if (!token) {
    *error = "not a Virtual Display Driver token";
    return false;
  }
  if (!token->attached) return true;  // it was extended before the host took it
  if (token->target_id.empty()) {
    // Without a target the detach would take every driver monitor away.
    *error = "token names no monitor";
    return false;
  }
  std::string why;
  if (!CheckReady(&why)) {
    LogInfo("[VDD] Nothing to detach: %s", why.c_str());
    return true;
  }
  return DetachTargets(instance_id_, token->target_id, true, error);
}

bool VirtualDriversVddBackend::ReleaseLeftoverMonitor(const std::string& token, std::string* error) {
  return ReleaseMonitor(token, error);
}

std::string VirtualDriversVddBackend::GetMonitorIdForToken(const VddAcquireResult& result) {
  if (instance_id_.empty()) return result.monitor_id;
  const std::optional<VddToken> token = ParseVddToken(result.token);
  if (!token) return result.monitor_id;
  std::vector<VddTarget> targets;
  std::string error;
  if (!EnumerateVddTargets(instance_id_, &targets, &error)) {
    LogDebug("[VDD] %s", error.c_str());
    return result.monitor_id;
  }
  for (const VddTarget& t : targets) {
    if (t.state != VddTargetState::kExtended || t.gdi_source_name.empty()) continue;
    if (token->target_id.empty() || t.target_id == token->target_id) return t.gdi_source_name;
  }
  return result.monitor_id;
}

// --- unused monitors ---

VddUnusedCheck VirtualDriversVddBackend::DetachUnusedMonitors(const std::vector<std::string>& in_use_tokens) {
  uint32_t first_orvane = 0;
  const int32_t err = system_.ReadRegistryDword(kOrvaneRegistryKey, kVddFirstOrvaneMonitorValue, &first_orvane);
  if (err != vdd::kErrorSuccess) {
    if (err != vdd::kErrorFileNotFound) {
      LogWarn("[VDD] Reading %s failed (err=%ld); unused virtual monitors are left alone",
              kVddFirstOrvaneMonitorValue, static_cast<long>(err));
    }
    return {};
  }
  std::string why;
  if (!CheckReady(&why)) return {};

  uint32_t expected = 1;
  const tvr_vdd::SettingsText settings = tvr_vdd::ReadSettingsText(SettingsFilePath());
  if (!settings.opened || !tvr_vdd::ReadMonitorCount(settings.text, &expected)) expected = 1;
  const uint32_t present = CountDriverMonitors(instance_id_);
  const uint64_t uptime_ms = system_.UptimeMs();
  const bool deferred = uptime_ms < kVddUnusedCheckMinUptimeMs || present == 0 || present < expected;
  if (!unused_deferred_ || *unused_deferred_ != deferred) {
    LogInfo("[VDD] Unused virtual monitors: %s (%u of %u monitor(s) present, uptime %llu s)",
            deferred ? "check deferred" : "checking", present, expected,
            static_cast<unsigned long long>(uptime_ms / 1000));
    unused_deferred_ = deferred;
  }
  if (deferred) return {0, true};

  std::vector<VddTarget> targets;
  std::string error;
  if (!EnumerateVddTargets(instance_id_, &targets, &error)) {
    LogWarn("[VDD] Unused virtual monitors: %s", error.c_str());
    return {};
  }
  std::sort(targets.begin(), targets.end(),
            [](const VddTarget& a, const VddTarget& b) { return a.target_id < b.target_id; });
  const std::vector<std::string> in_use = InUseTargetIds(in_use_tokens);
  VddUnusedCheck check;
  for (size_t i = 0; i < targets.size(); ++i) {
    const VddTarget& t = targets[i];
    if (t.state == VddTargetState::kDetached || Contains(in_use, t.target_id)) continue;
    if (i < first_orvane && t.state != VddTargetState::kCloned) continue;  // the user's own monitor
    std::string detach_error;
    if (DetachTargets(instance_id_, t.target_id, true, &detach_error)) {
      ++check.detached;
      LogInfo("[VDD] Detached unused virtual monitor %s (no tablet uses it)", t.target_id.c_str());
    } else {
      LogWarn("[VDD] Could not detach unused virtual monitor %s: %s", t.target_id.c_str(), detach_error.c_str());
    }
  }
  return check;
}

}  // namespace orvane
