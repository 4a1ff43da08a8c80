#include "tools/sim_vdd/sim_vdd_world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "vdd_settings/settings_text.h"
#include "vdd_settings/vdd_settings.h"

namespace orvane::sim_vdd {

namespace {

constexpr char kMonitorInterface[] = "#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
constexpr char kAdapterInterface[] = "#{5b45201d-f2f2-4f3b-85bb-30ff1f953599}";
constexpr char kDriverEdid[] = "TVR0001";
constexpr char kRootParent[] = "HTREE\\ROOT\\0";
constexpr char kPciParent[] = "ACPI\\PNP0A08\\0";
constexpr char kGdiPrefix[] = "\\\\.\\DISPLAY";
constexpr char kVddKey[] = "SOFTWARE\\Telvenor\\VirtualDisplayDriver";
constexpr char kVddPathValue[] = "VDDPATH";
constexpr char kOrvaneKey[] = "SOFTWARE\\Orvane Display";
constexpr char kFirstMonitorValue[] = "VddFirstOrvaneMonitor";

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

std::string Hex(uint32_t value, bool upper) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), upper ? "%X" : "%x", static_cast<unsigned>(value));
  return buf;
}

uint64_t AddSaturating(uint64_t a, uint64_t b) { return (b > kNever - a) ? kNever : a + b; }

bool Odd(uint32_t orientation) { return (orientation & 1u) != 0; }

uint32_t DesktopWidth(const SimMonitorState& m) { return Odd(m.orientation) ? m.mode.height : m.mode.width; }
uint32_t DesktopHeight(const SimMonitorState& m) { return Odd(m.orientation) ? m.mode.width : m.mode.height; }

bool Contains(const std::vector<uint32_t>& list, uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The listed mode a change asks for: its refresh, else the current one when
// listed at that size, else the highest listed at that size.
bool PickRefresh(const std::vector<SimMode>& modes, const SimSettings& change, uint32_t current_hz, SimMode* mode) {
  const auto listed = [&](uint32_t hz) {
    return std::find(modes.begin(), modes.end(), SimMode{mode->width, mode->height, hz}) != modes.end();
  };
  if (change.has_refresh) {
    if (!listed(change.refresh_hz)) return false;
    mode->refresh_hz = change.refresh_hz;
    return true;
  }
  if (listed(current_hz)) {
    mode->refresh_hz = current_hz;
    return true;
  }
  uint32_t best = 0;
  for (const SimMode& m : modes) {
    if (m.width == mode->width && m.height == mode->height) best = std::max(best, m.refresh_hz);
  }
  if (best == 0) return false;
  mode->refresh_hz = best;
  return true;
}

SimSettings SettingsOf(const SimMonitorState& m) {
  SimSettings s;
  s.has_position = s.has_size = s.has_refresh = s.has_orientation = true;
  s.x = m.x;
  s.y = m.y;
  s.width = DesktopWidth(m);
  s.height = DesktopHeight(m);
  s.refresh_hz = m.mode.refresh_hz;
  s.orientation = m.orientation;
  return s;
}

// Elements "<name>" or "<name ...>" outside comments.
uint32_t CountElements(std::string_view text, std::string_view name) {
  std::string open(1, '<');
  open.append(name);
  uint32_t n = 0;
  size_t at = 0;
  while ((at = text.find(open, at)) != std::string_view::npos) {
    const size_t next = at + open.size();
    if (next < text.size() &&
        (text[next] == '>' || text[next] == ' ' || text[next] == '\t' || text[next] == '\r' || text[next] == '\n') &&
        !tvr_vdd::InsideComment(text, at)) {
      ++n;
    }
    at = next;
  }
  return n;
}

std::string AdapterPathFromInstance(const std::string& instance_id) {
  std::string path = "\\\\?\\";
  for (const char c : instance_id) path.push_back(c == '\\' ? '#' : c);
  return path + kAdapterInterface;
}

}  // namespace

const char* SimLinkName(SimLink link) {
  switch (link) {
    case SimLink::kDetached:
      return "detached";
    case SimLink::kJoining:
      return "joining";
    case SimLink::kAttached:
      return "attached";
  }
  return "unknown";
}

const char* SimWorldFileStatusName(SimWorldFileStatus status) {
  switch (status) {
    case SimWorldFileStatus::kOk:
      return "ok";
    case SimWorldFileStatus::kAbsent:
      return "absent";
    case SimWorldFileStatus::kUnreadable:
      return "unreadable";
    case SimWorldFileStatus::kTooLarge:
      return "too large";
    case SimWorldFileStatus::kMalformed:
      return "malformed";
    case SimWorldFileStatus::kWriteFailed:
      return "write failed";
  }
  return "unknown";
}

std::vector<SimMode> DefaultDriverModes() {
  return {{1920, 1080, 60}, {1920, 1080, 120}, {1280, 720, 60},  {1366, 768, 60},
          {1920, 1200, 60}, {2560, 1440, 60},  {2560, 1600, 60}, {3840, 2160, 60}};
}

std::vector<SimMode> DefaultPhysicalModes() {
  return {{1920, 1080, 60}, {1680, 1050, 60}, {1280, 1024, 60}, {1024, 768, 60}};
}

uint64_t SettingsModeCount(std::string_view settings_text) {
  const uint64_t resolutions = CountElements(settings_text, "resolution");
  const uint64_t refreshes = CountElements(settings_text, "g_refresh_rate");
  return (refreshes + 1) * resolutions;
}

std::vector<SimMode> SettingsModes(std::string_view settings_text) {
  std::vector<uint32_t> globals;
  for (const double rate : tvr_vdd::ListGlobalRefreshRates(settings_text)) {
    globals.push_back(static_cast<uint32_t>(std::lround(rate)));
  }
  std::vector<SimMode> modes;
  const auto add = [&modes](const SimMode& mode) {
    if (std::find(modes.begin(), modes.end(), mode) == modes.end()) modes.push_back(mode);
  };
  for (const tvr_vdd::ListedMode& listed : tvr_vdd::ListResolutionModes(settings_text)) {
    if (listed.size.width > kMaxModeSide || listed.size.height > kMaxModeSide) continue;
    const uint32_t own = listed.refresh_hz > 0 ? static_cast<uint32_t>(std::lround(listed.refresh_hz))
                                               : kSettingsDefaultRefreshHz;
    add({listed.size.width, listed.size.height, own});
    for (const uint32_t rate : globals) add({listed.size.width, listed.size.height, rate});
  }
  return modes;
}

std::string GdiName(uint32_t number) { return kGdiPrefix + std::to_string(number); }

std::string SimModeText(const SimMode& m) {
  return std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.refresh_hz);
}

SimVddWorld::SimVddWorld() {
  state_.device.modes = DefaultDriverModes();
  SimPhysicalMonitor monitor;
  monitor.modes = DefaultPhysicalModes();
  monitor.state.link = SimLink::kAttached;
  monitor.state.mode = monitor.modes.front();
  monitor.state.primary = true;
  state_.physical.monitors.push_back(monitor);
  SimMonitorState target;
  target.mode = state_.device.modes.front();
  state_.targets.push_back(target);
}

// --- monitors ---

SimMonitorState& SimVddWorld::Monitor(MonitorRef ref) {
  return ref.driver ? state_.targets[ref.index] : state_.physical.monitors[ref.index].state;
}

const SimMonitorState& SimVddWorld::Monitor(MonitorRef ref) const {
  return ref.driver ? state_.targets[ref.index] : state_.physical.monitors[ref.index].state;
}

const std::vector<SimMode>& SimVddWorld::ModesOf(MonitorRef ref) const {
  return ref.driver ? state_.device.modes : state_.physical.monitors[ref.index].modes;
}

std::vector<SimVddWorld::MonitorRef> SimVddWorld::AllMonitors() const {
  std::vector<MonitorRef> all;
  for (size_t i = 0; i < state_.physical.monitors.size(); ++i) all.push_back({false, i});
  for (size_t i = 0; i < state_.targets.size(); ++i) all.push_back({true, i});
  return all;
}

bool SimVddWorld::FindTarget(const SimLuid& adapter, uint32_t target_id, MonitorRef* ref) const {
  if (adapter == state_.physical.luid) {
    for (size_t i = 0; i < state_.physical.monitors.size(); ++i) {
      if (state_.physical.monitors[i].target_id == target_id) {
        *ref = {false, i};
        return true;
      }
    }
    return false;
  }
  if (state_.device.started && adapter == state_.device.adapter_luid && target_id >= kFirstDriverTargetId &&
      target_id - kFirstDriverTargetId < state_.targets.size()) {
    *ref = {true, target_id - kFirstDriverTargetId};
    return true;
  }
  return false;
}

uint32_t SimVddWorld::SourceCount(const SimLuid& adapter, bool* known) const {
  *known = true;
  if (adapter == state_.physical.luid) return state_.physical.sources;
  if (state_.device.started && adapter == state_.device.adapter_luid) return MonitorCount();
  *known = false;
  return 0;
}

uint32_t SimVddWorld::GdiNumber(MonitorRef ref) const {
  const uint32_t source = Monitor(ref).source_id;
  return ref.driver ? state_.physical.sources + source + 1 : source + 1;
}

bool SimVddWorld::ResolveGdi(const std::string& device, bool* driver, uint32_t* source) const {
  const std::string_view prefix = kGdiPrefix;
  if (device.size() <= prefix.size() || device.size() > prefix.size() + 4 ||
      !EqualsNoCase(std::string_view(device).substr(0, prefix.size()), prefix)) {
    return false;
  }
  uint32_t number = 0;
  for (size_t i = prefix.size(); i < device.size(); ++i) {
    if (device[i] < '0' || device[i] > '9') return false;
    number = number * 10 + static_cast<uint32_t>(device[i] - '0');
  }
  if (number == 0) return false;
  if (number <= state_.physical.sources) {
    *driver = false;
    *source = number - 1;
    return true;
  }
  if (state_.device.started && number - state_.physical.sources <= MonitorCount()) {
    *driver = true;
    *source = number - state_.physical.sources - 1;
    return true;
  }
  return false;
}

bool SimVddWorld::FirstOnSource(bool driver, uint32_t source, MonitorRef* ref) const {
  for (const MonitorRef r : AllMonitors()) {
    const SimMonitorState& m = Monitor(r);
    if (r.driver == driver && m.link == SimLink::kAttached && m.source_id == source) {
      *ref = r;
      return true;
    }
  }
  return false;
}

bool SimVddWorld::Hidden(MonitorRef ref) const {
  return ref.driver && Contains(state_.faults.hidden_gdi, static_cast<uint32_t>(ref.index));
}

int32_t SimVddWorld::RightEdge(MonitorRef except) const {
  bool any = false;
  int64_t edge = 0;
  for (const MonitorRef r : AllMonitors()) {
    if (r.driver == except.driver && r.index == except.index) continue;
    const SimMonitorState& m = Monitor(r);
    if (m.link != SimLink::kAttached) continue;
    const int64_t right = static_cast<int64_t>(m.x) + DesktopWidth(m);
    edge = any ? std::max(edge, right) : right;
    any = true;
  }
  return static_cast<int32_t>(std::clamp<int64_t>(edge, INT32_MIN, INT32_MAX));
}

void SimVddWorld::BeginJoin(MonitorRef ref) {
  SimMonitorState& m = Monitor(ref);
  if (!ref.driver) {
    Join(ref);
    return;
  }
  const uint32_t index = static_cast<uint32_t>(ref.index);
  uint64_t delay = state_.device.join_delay_ms;
  const auto late = state_.faults.join_late_ms.find(index);
  if (late != state_.faults.join_late_ms.end()) delay = late->second;
  const bool never = Contains(state_.faults.join_never, index);
  m.link = SimLink::kJoining;
  m.join_at_ms = never ? kNever : AddSaturating(state_.now_ms, delay);
  ++changes_;
  if (!never && delay == 0) Join(ref);
}

void SimVddWorld::Join(MonitorRef ref) {
  SimMonitorState& m = Monitor(ref);
  if (!m.placed) {
    MonitorRef partner;
    if (FirstOnSource(ref.driver, m.source_id, &partner)) {
      // A second target on a source shows the same desktop area (clone).
      const SimMonitorState& p = Monitor(partner);
      m.x = p.x;
      m.y = p.y;
      m.orientation = p.orientation;
      const std::vector<SimMode>& modes = ModesOf(ref);
      if (std::find(modes.begin(), modes.end(), p.mode) != modes.end()) m.mode = p.mode;
    } else {
      m.x = RightEdge(ref);
      m.y = 0;
    }
  }
  m.link = SimLink::kAttached;
  m.placed = false;
  m.join_at_ms = 0;
  EnsurePrimary();
  ++changes_;
}

void SimVddWorld::EnsurePrimary() {
  bool have = false;
  for (const MonitorRef r : AllMonitors()) {
    SimMonitorState& m = Monitor(r);
    if (m.link != SimLink::kAttached) m.primary = false;
    if (m.link == SimLink::kAttached && m.primary) {
      if (have) m.primary = false;
      have = true;
    }
  }
  if (have) return;
  for (const MonitorRef r : AllMonitors()) {
    SimMonitorState& m = Monitor(r);
    if (m.link == SimLink::kAttached) {
      m.primary = true;
      return;
    }
  }
}

// --- time ---

void SimVddWorld::AdvanceMs(uint64_t ms) {
  const uint64_t end = AddSaturating(state_.now_ms, ms);
  for (;;) {
    uint64_t next = kNever;
    bool start = false;
    size_t join = 0;
    bool have = false;
    if (state_.device.starting && state_.device.start_at_ms <= end) {
      next = state_.device.start_at_ms;
      start = have = true;
    }
    for (size_t i = 0; i < state_.targets.size(); ++i) {
      const SimMonitorState& t = state_.targets[i];
      if (t.link == SimLink::kJoining && t.join_at_ms != kNever && t.join_at_ms <= end &&
          (!have || t.join_at_ms < next)) {
        next = t.join_at_ms;
        join = i;
        start = false;
        have = true;
      }
    }
    if (!have) break;
    state_.now_ms = std::max(state_.now_ms, next);
    if (start) {
      StartDevice();
    } else {
      Join({true, join});
    }
  }
  state_.now_ms = end;
}

void SimVddWorld::FollowClock(uint64_t clock_ms) {
  if (state_.clock_ms == 0 || clock_ms < state_.clock_ms) {
    state_.clock_ms = clock_ms;
    ++changes_;
    return;
  }
  uint64_t delta = clock_ms - state_.clock_ms;
  if (delta > kMaxFollowStepMs) {
    delta = kMaxFollowStepMs;
    ++changes_;
  }
  state_.clock_ms = clock_ms;
  AdvanceMs(delta);
}

// --- the driver's device ---

void SimVddWorld::StartDevice() {
  uint32_t count = 1;
  const std::string folder = state_.registry.has_vdd_path ? state_.registry.vdd_path : std::string();
  const tvr_vdd::SettingsText settings = tvr_vdd::ReadSettingsText(tvr_vdd::SettingsFileInFolder(folder));
  SimDevice& d = state_.device;
  if (settings.opened) {
    uint32_t asked = 0;
    if (tvr_vdd::ReadMonitorCount(settings.text, &asked)) count = asked;
    std::vector<SimMode> listed = SettingsModes(settings.text);
    if (SettingsModeCount(settings.text) > kMaxListedModes || listed.size() > kMaxListedModes) {
      count = 0;
    } else if (!listed.empty()) {
      d.modes = std::move(listed);
    }
  }
  count = std::min(count, kMaxTargets);
  d.started = true;
  d.starting = false;
  d.start_at_ms = 0;
  d.problem = 0;
  SimMonitorState fresh;
  if (!d.modes.empty()) fresh.mode = d.modes.front();
  state_.targets.assign(count, fresh);
  ++changes_;
}

bool SimVddWorld::RestartDevice() {
  SimDevice& d = state_.device;
  if (!d.installed || !d.present || d.problem == kProblemDisabled) return false;
  state_.targets.clear();
  d.started = false;
  d.problem = 0;
  for (auto it = state_.pending.begin(); it != state_.pending.end();) {
    it = (it->first > state_.physical.sources) ? state_.pending.erase(it) : std::next(it);
  }
  EnsurePrimary();
  ++changes_;
  if (state_.faults.restart_never_starts) {
    d.starting = false;
    d.start_at_ms = 0;
    return true;
  }
  d.starting = true;
  d.start_at_ms = AddSaturating(state_.now_ms, d.restart_delay_ms);
  if (d.restart_delay_ms == 0) StartDevice();
  return true;
}

std::string SimVddWorld::TargetDevicePath(size_t index) const {
  return std::string("\\\\?\\DISPLAY#") + kDriverEdid + "#1&" + Hex(state_.device.adapter_luid.low, false) + "&0&UID" +
         std::to_string(TargetId(index)) + kMonitorInterface;
}

std::string SimVddWorld::TargetInstanceId(size_t index) const {
  return std::string("DISPLAY\\") + kDriverEdid + "\\1&" + Hex(state_.device.adapter_luid.low, true) + "&0&UID" +
         std::to_string(TargetId(index));
}

std::string SimVddWorld::PhysicalDevicePath(size_t index) const {
  const SimPhysicalMonitor& m = state_.physical.monitors[index];
  return "\\\\?\\DISPLAY#" + m.edid + "#4&" + Hex(state_.physical.luid.low, false) + "&0&UID" +
         std::to_string(m.target_id) + kMonitorInterface;
}

std::string SimVddWorld::PhysicalInstanceId(size_t index) const {
  const SimPhysicalMonitor& m = state_.physical.monitors[index];
  return "DISPLAY\\" + m.edid + "\\4&" + Hex(state_.physical.luid.low, true) + "&0&UID" + std::to_string(m.target_id);
}

// --- device tree ---

std::vector<SimClassDevice> SimVddWorld::DisplayClassDevices() const {
  std::vector<SimClassDevice> devices;
  const SimPhysicalAdapter& p = state_.physical;
  devices.push_back({p.instance_id, {p.hardware_id}, p.driver_version, true, true, 0});
  const SimDevice& d = state_.device;
  if (d.installed)
    devices.push_back({d.instance_id, {d.hardware_id}, d.driver_version, d.present, d.started, d.problem});
  for (const SimOtherDevice& o : state_.other_devices) {
    devices.push_back({o.instance_id, o.hardware_ids, o.driver_version, o.present, o.started, o.problem});
  }
  return devices;
}

int32_t SimVddWorld::ChildNodes(const std::string& instance_id, std::vector<SimNode>* children) const {
  children->clear();
  const SimDevice& d = state_.device;
  if (d.installed && EqualsNoCase(instance_id, d.instance_id)) {
    if (!d.present) return kWinFileNotFound;
    for (size_t i = 0; i < state_.targets.size(); ++i) children->push_back({TargetInstanceId(i), true, 0});
    return kWinSuccess;
  }
  if (EqualsNoCase(instance_id, state_.physical.instance_id)) {
    for (size_t i = 0; i < state_.physical.monitors.size(); ++i) {
      children->push_back({PhysicalInstanceId(i), true, 0});
    }
    return kWinSuccess;
  }
  if (const SimOtherDevice* o = OtherDevice(instance_id)) return o->present ? kWinSuccess : kWinFileNotFound;
  std::string parent;
  return ParentOf(instance_id, &parent);  // a monitor has no children
}

int32_t SimVddWorld::ParentOf(const std::string& instance_id, std::string* parent) const {
  const SimDevice& d = state_.device;
  for (size_t i = 0; i < state_.targets.size(); ++i) {
    if (EqualsNoCase(instance_id, TargetInstanceId(i))) {
      *parent = d.instance_id;
      return kWinSuccess;
    }
  }
  for (size_t i = 0; i < state_.physical.monitors.size(); ++i) {
    if (EqualsNoCase(instance_id, PhysicalInstanceId(i))) {
      *parent = state_.physical.instance_id;
      return kWinSuccess;
    }
  }
  if (d.installed && d.present && EqualsNoCase(instance_id, d.instance_id)) {
    *parent = kRootParent;
    return kWinSuccess;
  }
  if (EqualsNoCase(instance_id, state_.physical.instance_id)) {
    *parent = kPciParent;
    return kWinSuccess;
  }
  const SimOtherDevice* o = OtherDevice(instance_id);
  if (o != nullptr && o->present) {
    *parent = kRootParent;
    return kWinSuccess;
  }
  return kWinFileNotFound;
}

const SimOtherDevice* SimVddWorld::OtherDevice(const std::string& instance_id) const {
  for (const SimOtherDevice& o : state_.other_devices) {
    if (EqualsNoCase(instance_id, o.instance_id)) return &o;
  }
  return nullptr;
}

// --- display configuration ---

int32_t SimVddWorld::QueryPaths(bool active_only, SimPathList* list) {
  list->paths.clear();
  list->modes.clear();
  if (state_.faults.query_busy > 0) {
    --state_.faults.query_busy;
    ++changes_;
    return kWinInsufficientBuffer;
  }
  std::map<std::pair<bool, uint32_t>, uint32_t> source_modes;
  for (const MonitorRef r : AllMonitors()) {
    const SimMonitorState& m = Monitor(r);
    if (m.link != SimLink::kAttached) continue;
    const SimLuid luid = r.driver ? state_.device.adapter_luid : state_.physical.luid;
    SimPath path;
    path.source_adapter = path.target_adapter = luid;
    path.source_id = m.source_id;
    path.target_id = r.driver ? TargetId(r.index) : state_.physical.monitors[r.index].target_id;
    const auto key = std::make_pair(r.driver, m.source_id);
    const auto found = source_modes.find(key);
    if (found == source_modes.end()) {
      path.source_mode = static_cast<uint32_t>(list->modes.size());
      source_modes[key] = path.source_mode;
      list->modes.push_back("source " + GdiName(GdiNumber(r)) + " " + std::to_string(DesktopWidth(m)) + "x" +
                            std::to_string(DesktopHeight(m)) + " at " + std::to_string(m.x) + "," +
                            std::to_string(m.y));
    } else {
      path.source_mode = found->second;
    }
    path.target_mode = static_cast<uint32_t>(list->modes.size());
    list->modes.push_back("target " + std::to_string(path.target_id) + " " + SimModeText(m.mode));
    path.available = true;
    path.active = true;
    list->paths.push_back(path);
  }
  if (active_only) return kWinSuccess;
  for (const MonitorRef r : AllMonitors()) {
    const SimMonitorState& m = Monitor(r);
    const SimLuid luid = r.driver ? state_.device.adapter_luid : state_.physical.luid;
    const uint32_t sources = r.driver ? MonitorCount() : state_.physical.sources;
    for (uint32_t s = 0; s < sources; ++s) {
      if (m.link == SimLink::kAttached && m.source_id == s) continue;
      SimPath path;
      path.source_adapter = path.target_adapter = luid;
      path.source_id = s;
      path.target_id = r.driver ? TargetId(r.index) : state_.physical.monitors[r.index].target_id;
      path.available = true;
      list->paths.push_back(path);
    }
  }
  return kWinSuccess;
}

int32_t SimVddWorld::ApplyPaths(const std::vector<SimPath>& paths, const SimApply& how) {
  if (how.topology_only && how.save) return kWinInvalidParameter;
  const int32_t fault = how.topology_only ? state_.faults.topology_only_error : state_.faults.supplied_config_error;
  if (fault != kWinSuccess) return fault;
  if (how.topology_only == how.has_modes) return kWinInvalidParameter;
  const std::vector<MonitorRef> all = AllMonitors();
  // The source each monitor gets, -1 for none.
  std::vector<int64_t> wanted(all.size(), -1);
  bool any = false;
  for (const SimPath& p : paths) {
    if (!p.active) continue;
    if (!(p.source_adapter == p.target_adapter)) return kWinInvalidParameter;
    MonitorRef ref;
    if (!FindTarget(p.target_adapter, p.target_id, &ref)) return kWinInvalidParameter;
    bool known = false;
    if (p.source_id >= SourceCount(p.source_adapter, &known) || !known) return kWinInvalidParameter;
    for (const uint32_t index : {p.source_mode, p.target_mode}) {
      if (index == kNoMode) continue;
      if (how.topology_only || index >= how.mode_count) return kWinInvalidParameter;
    }
    const size_t slot = ref.driver ? state_.physical.monitors.size() + ref.index : ref.index;
    if (wanted[slot] != -1) return kWinInvalidParameter;
    wanted[slot] = p.source_id;
    any = true;
  }
  if (!any) return kWinInvalidParameter;

  std::vector<MonitorRef> joins;
  for (size_t slot = 0; slot < all.size(); ++slot) {
    SimMonitorState& m = Monitor(all[slot]);
    if (wanted[slot] == -1) {
      m.link = SimLink::kDetached;
      m.join_at_ms = 0;
      m.placed = false;
      continue;
    }
    m.source_id = static_cast<uint32_t>(wanted[slot]);
    if (m.link == SimLink::kDetached) joins.push_back(all[slot]);
  }
  EnsurePrimary();
  for (const MonitorRef r : joins) {
    Monitor(r).placed = false;
    BeginJoin(r);
  }
  if (how.save) ++state_.database_saves;
  ++changes_;
  return kWinSuccess;
}

int32_t SimVddWorld::AdapterDevicePath(const SimLuid& adapter, std::string* path) const {
  if (adapter == state_.physical.luid) {
    *path = AdapterPathFromInstance(state_.physical.instance_id);
    return kWinSuccess;
  }
  if (state_.device.started && adapter == state_.device.adapter_luid && !state_.faults.adapter_path_fails) {
    *path = AdapterPathFromInstance(state_.device.instance_id);
    return kWinSuccess;
  }
  return kWinInvalidParameter;
}

int32_t SimVddWorld::TargetDevicePath(const SimLuid& adapter, uint32_t target_id, std::string* path) const {
  MonitorRef ref;
  if (!FindTarget(adapter, target_id, &ref)) return kWinInvalidParameter;
  *path = ref.driver ? TargetDevicePath(ref.index) : PhysicalDevicePath(ref.index);
  return kWinSuccess;
}

int32_t SimVddWorld::SourceGdiName(const SimLuid& adapter, uint32_t source_id, std::string* name) const {
  bool known = false;
  const uint32_t sources = SourceCount(adapter, &known);
  if (!known || source_id >= sources) return kWinInvalidParameter;
  const bool driver = !(adapter == state_.physical.luid);
  *name = GdiName(driver ? state_.physical.sources + source_id + 1 : source_id + 1);
  return kWinSuccess;
}

// --- GDI ---

std::vector<SimDesktopDevice> SimVddWorld::DesktopDevices() const {
  std::vector<SimDesktopDevice> devices;
  const uint32_t total = state_.physical.sources + (state_.device.started ? MonitorCount() : 0);
  for (uint32_t number = 1; number <= total; ++number) {
    const bool driver = number > state_.physical.sources;
    const uint32_t source = driver ? number - state_.physical.sources - 1 : number - 1;
    bool on_desktop = false;
    bool shown = false;
    bool primary = false;
    for (const MonitorRef r : AllMonitors()) {
      const SimMonitorState& m = Monitor(r);
      if (r.driver != driver || m.link != SimLink::kAttached || m.source_id != source) continue;
      on_desktop = true;
      if (!Hidden(r)) shown = true;
      if (m.primary) primary = true;
    }
    if (on_desktop && !shown) continue;
    devices.push_back({GdiName(number), on_desktop, primary});
  }
  return devices;
}

bool SimVddWorld::CurrentSettings(const std::string& device, SimSettings* settings) const {
  bool driver = false;
  uint32_t source = 0;
  MonitorRef ref;
  if (!ResolveGdi(device, &driver, &source) || !FirstOnSource(driver, source, &ref)) return false;
  *settings = SettingsOf(Monitor(ref));
  return true;
}

std::vector<SimSettings> SimVddWorld::ListedModes(const std::string& device, bool all_orientations) const {
  std::vector<SimSettings> list;
  bool driver = false;
  uint32_t source = 0;
  MonitorRef ref;
  if (!ResolveGdi(device, &driver, &source) || !FirstOnSource(driver, source, &ref)) return list;
  const uint32_t current = Monitor(ref).orientation;
  for (const SimMode& mode : ModesOf(ref)) {
    for (uint32_t o = 0; o < 4; ++o) {
      if (!all_orientations && o != current) continue;
      SimSettings s;
      s.has_size = s.has_refresh = s.has_orientation = true;
      s.width = Odd(o) ? mode.height : mode.width;
      s.height = Odd(o) ? mode.width : mode.height;
      s.refresh_hz = mode.refresh_hz;
      s.orientation = o;
      list.push_back(s);
    }
  }
  return list;
}

int32_t SimVddWorld::ChangeSettings(const std::string* device, const SimSettings* settings, bool defer) {
  if (device == nullptr && settings == nullptr) return ApplyPending(nullptr);
  uint32_t number = 0;
  if (device != nullptr) {
    bool driver = false;
    uint32_t source = 0;
    if (!ResolveGdi(*device, &driver, &source)) return kDispBadParam;
    number = driver ? state_.physical.sources + source + 1 : source + 1;
  } else {
    for (const MonitorRef r : AllMonitors()) {
      if (Monitor(r).link == SimLink::kAttached && Monitor(r).primary) number = GdiNumber(r);
    }
    if (number == 0) return kDispBadParam;
  }
  if (settings == nullptr) return ApplyPending(&number);
  if (settings->has_position && state_.faults.position_change_fails) return kDispFailed;
  const int32_t planned = PlanChange(number, *settings, !defer);
  if (planned != kDispSuccessful || !defer) return planned;
  state_.pending[number] = *settings;
  ++changes_;
  return kDispSuccessful;
}

int32_t SimVddWorld::ApplyPending(const uint32_t* only) {
  int32_t first_failure = kDispSuccessful;
  for (auto it = state_.pending.begin(); it != state_.pending.end();) {
    if (only != nullptr && it->first != *only) {
      ++it;
      continue;
    }
    const int32_t r = PlanChange(it->first, it->second, true);
    if (r != kDispSuccessful && first_failure == kDispSuccessful) first_failure = r;
    it = state_.pending.erase(it);
    ++changes_;
  }
  return first_failure;
}

int32_t SimVddWorld::PlanChange(uint32_t number, const SimSettings& change, bool apply) {
  bool driver = false;
  uint32_t source = 0;
  if (!ResolveGdi(GdiName(number), &driver, &source)) return kDispBadParam;
  if (change.has_orientation && change.orientation > 3) return kDispBadParam;
  MonitorRef ref;
  const bool on_desktop = FirstOnSource(driver, source, &ref);
  if (!on_desktop) {
    // Not on the desktop: the adapter's first free target takes the source.
    bool found = false;
    for (const MonitorRef r : AllMonitors()) {
      if (r.driver == driver && Monitor(r).link == SimLink::kDetached) {
        ref = r;
        found = true;
        break;
      }
    }
    if (!found) return kDispFailed;
  }
  const SimMonitorState& cur = Monitor(ref);
  const uint32_t orientation = change.has_orientation ? change.orientation : cur.orientation;
  SimMode mode = cur.mode;
  if (change.has_size) {
    mode.width = Odd(orientation) ? change.height : change.width;
    mode.height = Odd(orientation) ? change.width : change.height;
  }
  if (!PickRefresh(ModesOf(ref), change, cur.mode.refresh_hz, &mode)) return kDispBadMode;
  if (!apply) return kDispSuccessful;

  if (on_desktop) {
    for (const MonitorRef r : AllMonitors()) {
      SimMonitorState& m = Monitor(r);
      if (r.driver != driver || m.link != SimLink::kAttached || m.source_id != source) continue;
      m.mode = mode;
      m.orientation = orientation;
      if (change.has_position) {
        m.x = change.x;
        m.y = change.y;
      }
    }
    ++changes_;
    return kDispSuccessful;
  }
  SimMonitorState& m = Monitor(ref);
  m.source_id = source;
  m.mode = mode;
  m.orientation = orientation;
  m.placed = change.has_position;
  if (change.has_position) {
    m.x = change.x;
    m.y = change.y;
  }
  BeginJoin(ref);
  ++changes_;
  return kDispSuccessful;
}

std::vector<SimDesktopMonitor> SimVddWorld::DesktopMonitors() const {
  std::vector<SimDesktopMonitor> monitors;
  std::vector<uint32_t> seen;
  for (const MonitorRef r : AllMonitors()) {
    const SimMonitorState& m = Monitor(r);
    if (m.link != SimLink::kAttached || Hidden(r)) continue;
    const uint32_t number = GdiNumber(r);
    if (Contains(seen, number)) continue;
    seen.push_back(number);
    monitors.push_back({GdiName(number), m.x, m.y, DesktopWidth(m), DesktopHeight(m), m.primary});
  }
  return monitors;
}

// --- registry ---

int32_t SimVddWorld::ReadRegistryString(const std::string& key, const std::string& value, std::string* text) const {
  const SimRegistry& reg = state_.registry;
  if (EqualsNoCase(key, kVddKey) && EqualsNoCase(value, kVddPathValue)) {
    if (!reg.has_vdd_path) return kWinFileNotFound;
    *text = reg.vdd_path;
    return kWinSuccess;
  }
  if (EqualsNoCase(key, kOrvaneKey) && EqualsNoCase(value, kFirstMonitorValue)) {
    return reg.has_first_orvane_monitor ? kWinUnsupportedType : kWinFileNotFound;
  }
  return kWinFileNotFound;
}

int32_t SimVddWorld::ReadRegistryDword(const std::string& key, const std::string& value, uint32_t* number) const {
  const SimRegistry& reg = state_.registry;
  if (EqualsNoCase(key, kOrvaneKey) && EqualsNoCase(value, kFirstMonitorValue)) {
    if (!reg.has_first_orvane_monitor) return kWinFileNotFound;
    *number = reg.first_orvane_monitor;
    return kWinSuccess;
  }
  if (EqualsNoCase(key, kVddKey) && EqualsNoCase(value, kVddPathValue)) {
    return reg.has_vdd_path ? kWinUnsupportedType : kWinFileNotFound;
  }
  return kWinFileNotFound;
}

}  // namespace orvane::sim_vdd
