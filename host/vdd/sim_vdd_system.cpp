#include "host/vdd/sim_vdd_system.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "tools/sim_vdd/sim_vdd_world_session.h"

namespace orvane::vdd {

namespace {

namespace sim = sim_vdd;

static_assert(sim::kWinSuccess == kErrorSuccess && sim::kWinFileNotFound == kErrorFileNotFound &&
              sim::kWinGenFailure == kErrorGenFailure && sim::kWinInvalidParameter == kErrorInvalidParameter &&
              sim::kWinInsufficientBuffer == kErrorInsufficientBuffer);
static_assert(sim::kDispSuccessful == kDispChangeSuccessful && sim::kDispFailed == kDispChangeFailed &&
              sim::kDispBadMode == kDispChangeBadMode && sim::kDispBadParam == kDispChangeBadParam);
static_assert(sim::kNoMode == kInvalidModeIndex && sim::kProblemDisabled == kProblemDisabled);

sim::SimLuid ToSim(const Luid& luid) { return {luid.low, luid.high}; }
Luid FromSim(const sim::SimLuid& luid) { return {luid.low, luid.high}; }

sim::SimSettings ToSim(const DisplaySettings& s) {
  sim::SimSettings out;
  out.has_position = (s.fields & kDmPosition) != 0;
  out.has_size = (s.fields & (kDmPelsWidth | kDmPelsHeight)) != 0;
  out.has_refresh = (s.fields & kDmDisplayFrequency) != 0;
  out.has_orientation = (s.fields & kDmDisplayOrientation) != 0;
  out.x = s.x;
  out.y = s.y;
  // A size needs both sides; one alone names no listed mode.
  out.width = (s.fields & kDmPelsWidth) ? s.width : 0;
  out.height = (s.fields & kDmPelsHeight) ? s.height : 0;
  out.refresh_hz = s.refresh_hz;
  out.orientation = s.orientation;
  return out;
}

DisplaySettings FromSim(const sim::SimSettings& s) {
  DisplaySettings out;
  out.fields = (s.has_position ? kDmPosition : 0u) | (s.has_size ? kDmPelsWidth | kDmPelsHeight : 0u) |
               (s.has_refresh ? kDmDisplayFrequency : 0u) | (s.has_orientation ? kDmDisplayOrientation : 0u);
  out.x = s.x;
  out.y = s.y;
  out.width = s.width;
  out.height = s.height;
  out.refresh_hz = s.refresh_hz;
  out.orientation = s.orientation;
  return out;
}

DeviceNode NodeOf(const std::string& instance_id, bool status_known, bool started, uint32_t problem) {
  DeviceNode node;
  node.instance_id = instance_id;
  node.status_known = status_known;
  node.status = (started ? kDnStarted : 0u) | (problem != 0 ? kDnHasProblem : 0u);
  node.problem = problem;
  return node;
}

class SimVddSystem final : public IVddSystem {
 public:
  SimVddSystem(sim::SimVddWorld& world, IClock* clock, SimVddCalls* calls = nullptr)
      : world_(world), clock_(clock), calls_(calls) {}

  int32_t ListDisplayClassDevices(std::vector<DisplayClassDevice>* devices) override {
    Follow();
    devices->clear();
    for (const sim::SimClassDevice& d : world_.DisplayClassDevices()) {
      DisplayClassDevice out;
      out.node = NodeOf(d.instance_id, d.present, d.started, d.problem);
      out.hardware_ids = d.hardware_ids;
      out.driver_version = d.driver_version;
      devices->push_back(std::move(out));
    }
    return kErrorSuccess;
  }

  int32_t ListChildNodes(const std::string& instance_id, std::vector<DeviceNode>* children) override {
    Follow();
    children->clear();
    std::vector<sim::SimNode> nodes;
    const int32_t error = world_.ChildNodes(instance_id, &nodes);
    if (error != kErrorSuccess) return error;
    for (const sim::SimNode& n : nodes) children->push_back(NodeOf(n.instance_id, true, n.started, n.problem));
    return kErrorSuccess;
  }

  int32_t GetParentInstanceId(const std::string& instance_id, std::string* parent) override {
    Follow();
    return world_.ParentOf(instance_id, parent);
  }

  DisplayConfigAnswer QueryDisplayConfig(bool active_only, DisplayConfig* config) override {
    Follow();
    config->paths.clear();
    config->modes.clear();
    DisplayConfigAnswer answer;
    sim::SimPathList list;
    answer.query_error = world_.QueryPaths(active_only, &list);
    if (!answer.ok()) return answer;
    for (const sim::SimPath& p : list.paths) {
      DisplayPath out;
      out.source_adapter = FromSim(p.source_adapter);
      out.source_id = p.source_id;
      out.source_mode_index = p.source_mode;
      out.target_adapter = FromSim(p.target_adapter);
      out.target_id = p.target_id;
      out.target_mode_index = p.target_mode;
      out.target_available = p.available;
      out.active = p.active;
      config->paths.push_back(std::move(out));
    }
    for (const std::string& m : list.modes) config->modes.emplace_back(m.begin(), m.end());
    return answer;
  }

  int32_t SetDisplayConfig(const std::vector<DisplayPath>& paths, const std::vector<std::vector<uint8_t>>* modes,
                           uint32_t flags) override {
    const int32_t answer = ApplyPaths(paths, modes, flags);
    if (calls_ != nullptr) calls_->set_config.push_back({flags, modes != nullptr, paths.size(), answer});
    return answer;
  }

  int32_t ApplyPaths(const std::vector<DisplayPath>& paths, const std::vector<std::vector<uint8_t>>* modes,
                     uint32_t flags) {
    Follow();
    sim::SimApply how;
    const uint32_t base = flags & ~kSdcSaveToDatabase;
    if (base == kSdcSuppliedConfig) {
      how.topology_only = false;
    } else if (base == kSdcTopologyOnly) {
      how.topology_only = true;
    } else {
      return kErrorInvalidParameter;
    }
    how.save = (flags & kSdcSaveToDatabase) != 0;
    how.has_modes = modes != nullptr;
    how.mode_count = modes != nullptr ? modes->size() : 0;
    std::vector<sim::SimPath> list;
    for (const DisplayPath& p : paths) {
      sim::SimPath s;
      s.source_adapter = ToSim(p.source_adapter);
      s.source_id = p.source_id;
      s.source_mode = p.source_mode_index;
      s.target_adapter = ToSim(p.target_adapter);
      s.target_id = p.target_id;
      s.target_mode = p.target_mode_index;
      s.available = p.target_available;
      s.active = p.active;
      list.push_back(s);
    }
    return world_.ApplyPaths(list, how);
  }

  int32_t GetAdapterDevicePath(const Luid& adapter, std::string* path) override {
    Follow();
    return world_.AdapterDevicePath(ToSim(adapter), path);
  }

  int32_t GetTargetDevicePath(const Luid& adapter, uint32_t target_id, std::string* path) override {
    Follow();
    return world_.TargetDevicePath(ToSim(adapter), target_id, path);
  }

  int32_t GetSourceGdiName(const Luid& adapter, uint32_t source_id, std::string* name) override {
    Follow();
    return world_.SourceGdiName(ToSim(adapter), source_id, name);
  }

  std::vector<DesktopDevice> ListDesktopDevices() override {
    Follow();
    std::vector<DesktopDevice> devices;
    for (const sim::SimDesktopDevice& d : world_.DesktopDevices()) devices.push_back({d.name, d.attached, d.primary});
    return devices;
  }

  bool GetCurrentSettings(const std::string& device, DisplaySettings* settings) override {
    Follow();
    sim::SimSettings s;
    if (!world_.CurrentSettings(device, &s)) return false;
    *settings = FromSim(s);
    return true;
  }

  std::vector<DisplaySettings> ListModes(const std::string& device, bool rotated) override {
    Follow();
    std::vector<DisplaySettings> modes;
    for (const sim::SimSettings& s : world_.ListedModes(device, rotated)) modes.push_back(FromSim(s));
    return modes;
  }

  int32_t ChangeDisplaySettings(const std::string* device, const DisplaySettings* settings, uint32_t flags) override {
    Follow();
    sim::SimSettings change;
    if (settings != nullptr) change = ToSim(*settings);
    const int32_t answer =
        world_.ChangeSettings(device, settings != nullptr ? &change : nullptr, (flags & kCdsNoReset) != 0);
    if (calls_ != nullptr) {
      calls_->changes.push_back({device != nullptr ? *device : std::string(),
                                 settings != nullptr ? *settings : DisplaySettings{}, flags, answer});
    }
    return answer;
  }

  int32_t ReadRegistryString(const std::string& key, const std::string& value, std::string* text) override {
    Follow();
    return world_.ReadRegistryString(key, value, text);
  }

  int32_t ReadRegistryDword(const std::string& key, const std::string& value, uint32_t* number) override {
    Follow();
    return world_.ReadRegistryDword(key, value, number);
  }

  uint64_t UptimeMs() override {
    Follow();
    return world_.UptimeMs();
  }

 private:
  void Follow() {
    if (clock_ != nullptr) world_.FollowClock(clock_->TickMs());
  }

  sim::SimVddWorld& world_;
  IClock* clock_;
  SimVddCalls* calls_;
};

// Every call: lock the folder, load the world, follow the clock, make the
// call, save when something changed.
class FileSimVddSystem final : public IVddSystem {
 public:
  FileSimVddSystem(std::string folder, IClock& clock)
      : folder_text_(std::move(folder)), folder_(PathFromUtf8(folder_text_)), clock_(clock), inner_(world_, nullptr) {}

  int32_t ListDisplayClassDevices(std::vector<DisplayClassDevice>* devices) override {
    return Run(kErrorGenFailure, [&] { return inner_.ListDisplayClassDevices(devices); });
  }
  int32_t ListChildNodes(const std::string& instance_id, std::vector<DeviceNode>* children) override {
    return Run(kErrorGenFailure, [&] { return inner_.ListChildNodes(instance_id, children); });
  }
  int32_t GetParentInstanceId(const std::string& instance_id, std::string* parent) override {
    return Run(kErrorGenFailure, [&] { return inner_.GetParentInstanceId(instance_id, parent); });
  }
  DisplayConfigAnswer QueryDisplayConfig(bool active_only, DisplayConfig* config) override {
    return Run(DisplayConfigAnswer{kErrorGenFailure, kErrorSuccess},
               [&] { return inner_.QueryDisplayConfig(active_only, config); });
  }
  int32_t SetDisplayConfig(const std::vector<DisplayPath>& paths, const std::vector<std::vector<uint8_t>>* modes,
                           uint32_t flags) override {
    return Run(kErrorGenFailure, [&] { return inner_.SetDisplayConfig(paths, modes, flags); });
  }
  int32_t GetAdapterDevicePath(const Luid& adapter, std::string* path) override {
    return Run(kErrorGenFailure, [&] { return inner_.GetAdapterDevicePath(adapter, path); });
  }
  int32_t GetTargetDevicePath(const Luid& adapter, uint32_t target_id, std::string* path) override {
    return Run(kErrorGenFailure, [&] { return inner_.GetTargetDevicePath(adapter, target_id, path); });
  }
  int32_t GetSourceGdiName(const Luid& adapter, uint32_t source_id, std::string* name) override {
    return Run(kErrorGenFailure, [&] { return inner_.GetSourceGdiName(adapter, source_id, name); });
  }
  std::vector<DesktopDevice> ListDesktopDevices() override {
    return Run(std::vector<DesktopDevice>{}, [&] { return inner_.ListDesktopDevices(); });
  }
  bool GetCurrentSettings(const std::string& device, DisplaySettings* settings) override {
    return Run(false, [&] { return inner_.GetCurrentSettings(device, settings); });
  }
  std::vector<DisplaySettings> ListModes(const std::string& device, bool rotated) override {
    return Run(std::vector<DisplaySettings>{}, [&] { return inner_.ListModes(device, rotated); });
  }
  int32_t ChangeDisplaySettings(const std::string* device, const DisplaySettings* settings, uint32_t flags) override {
    return Run(kDispChangeFailed, [&] { return inner_.ChangeDisplaySettings(device, settings, flags); });
  }
  int32_t ReadRegistryString(const std::string& key, const std::string& value, std::string* text) override {
    return Run(kErrorGenFailure, [&] { return inner_.ReadRegistryString(key, value, text); });
  }
  int32_t ReadRegistryDword(const std::string& key, const std::string& value, uint32_t* number) override {
    return Run(kErrorGenFailure, [&] { return inner_.ReadRegistryDword(key, value, number); });
  }
  uint64_t UptimeMs() override {
    return Run(uint64_t{0}, [&] { return inner_.UptimeMs(); });
  }

  bool Monitors(std::vector<sim::SimDesktopMonitor>* monitors) {
    return Run(false, [&] {
      *monitors = world_.DesktopMonitors();
      return true;
    });
  }

 private:
  template <typename T, typename F>
  T Run(T failure, F&& body) {
    std::lock_guard<std::mutex> guard(mu_);
    std::optional<T> result;
    const sim::SimWorldFileResult visit =
        sim::VisitWorldFile(folder_, clock_.TickMs(), world_, [&](sim::SimVddWorld&) { result = body(); });
    if (!visit.ok()) {
      Note(result ? "not saved: " + visit.detail
                  : std::string(sim::SimWorldFileStatusName(visit.status)) + " (" + visit.detail + ")");
      return failure;
    }
    Note({});
    return *result;
  }

  // Logs when the world's trouble changes, not on every call.
  void Note(const std::string& trouble) {
    if (trouble == trouble_) return;
    if (trouble.empty()) {
      LogInfo("[SimVDD] World %s is usable again", folder_text_.c_str());
    } else {
      LogWarn("[SimVDD] World %s: %s", folder_text_.c_str(), trouble.c_str());
    }
    trouble_ = trouble;
  }

  const std::string folder_text_;
  const std::filesystem::path folder_;
  IClock& clock_;
  std::mutex mu_;
  sim::SimVddWorld world_;
  SimVddSystem inner_;
  std::string trouble_;
};

}  // namespace

std::unique_ptr<IVddSystem> MakeSimVddSystem(sim_vdd::SimVddWorld& world) {
  return std::make_unique<SimVddSystem>(world, nullptr);
}

std::unique_ptr<IVddSystem> MakeSimVddSystem(sim_vdd::SimVddWorld& world, IClock& clock) {
  return std::make_unique<SimVddSystem>(world, &clock);
}

std::unique_ptr<IVddSystem> MakeSimVddSystem(sim_vdd::SimVddWorld& world, IClock& clock, SimVddCalls* calls) {
  return std::make_unique<SimVddSystem>(world, &clock, calls);
}

std::unique_ptr<IVddSystem> MakeFileSimVddSystem(const std::string& world_folder) {
  return std::make_unique<FileSimVddSystem>(world_folder, SystemClock());
}

std::unique_ptr<IVddSystem> MakeFileSimVddSystem(const std::string& world_folder, IClock& clock) {
  return std::make_unique<FileSimVddSystem>(world_folder, clock);
}

bool ListSimDesktopMonitors(const std::string& world_folder, std::vector<sim_vdd::SimDesktopMonitor>* monitors) {
  FileSimVddSystem system(world_folder, SystemClock());
  return system.Monitors(monitors);
}

}  // namespace orvane::vdd
