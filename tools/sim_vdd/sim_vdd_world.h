#pragma once
// A simulated Virtual Display Driver world for Linux runs and tests: the
// driver's device and its monitors, a physical graphics adapter with its own
// monitors, the display paths between sources and targets, the GDI desktop,
// two registry values and the uptime, all in virtual time (AdvanceMs; nothing
// here sleeps or reads a real clock).
//
// What the world does, as the real system does it:
// - The driver's device is a display-class device (hardware id
//   "Root\TvrVDD", instance id "ROOT\DISPLAY\0000" by default). While it runs
//   it exposes `count` monitors: one "DISPLAY\TVR0001\1&<HEX>&0&UID<n>" child
//   node each, and one display target each on its own adapter, which also has
//   `count` sources. Every monitor lists the driver's modes.
// - Paths: the active ones, or all of them (the active ones first, then every
//   other source x target pair of the same adapter, targets available).
// - ApplyPaths (SetDisplayConfig) makes the given active paths the whole
//   active set. A driver target that becomes active first joins: after the
//   join delay (0: at once) it shows in the active paths and as a GDI source
//   "\\.\DISPLAYn", placed at the right edge of the desktop (y 0). A target
//   left out is detached at once. Physical monitors join at once.
// - GDI sources are numbered per adapter source: the physical adapter's
//   first (DISPLAY1...), then the driver's. ChangeSettings only takes listed
//   modes; orientation 90 or 270 swaps width and height.
// - RestartDevice stops the device (its paths, GDI sources and child nodes
//   vanish) and starts it restart_delay_ms later reading its settings file
//   (SettingsFileInFolder of the VDDPATH value): the monitor count is the
//   file's count (1 when the file is absent, unreadable or has no count) and
//   the driver's modes become SettingsModes of the file (the modes set before
//   stay when the file is absent or unreadable or lists no resolution); a
//   file that lists more than 96 modes starts the driver with no monitor at
//   all. Every target starts detached.
// - Faults (SimFaults) make calls fail the way the real system can.
//
// Results are Windows numbers (winerror.h, DISP_CHANGE_*) because that is
// what the simulated calls answer. One world is not safe for concurrent use;
// callers serialize.
//
// File form: <folder>/world.ini, read whole (at most 64 KiB), written by
// safe replace (world.ini.tmp, flushed to the disk, renamed over) under an
// exclusive lock on <folder>/world.lock (SimWorldLock; Load and Save do not
// lock by themselves). Lines are "key=value" under "[section]" or
// "[section N]" headers; blank lines and lines starting with '#' or ';' are
// ignored; keys and values are trimmed of spaces and tabs. Every section
// and key is optional (the default world fills in), but an unknown section
// or key, a repeated one, a bad number or an inconsistent world refuses the
// whole file.
//
//   [world]     now_ms, uptime_base_ms, clock_ms (the follower's clock at
//               which now_ms was last brought up to date; 0 none),
//               database_saves, elevated (0/1: whether the setup tool runs
//               with administrator rights; 1 when absent)
//   [device]    installed, present, started (0/1), problem, instance_id,
//               hardware_id, driver_version, adapter_luid (LOW:HIGH, 8 hex
//               digits each), modes (WxH@R,WxH@R,...; at most 96), count
//               (monitors while started, at most 16; 0 otherwise),
//               restart_delay_ms, join_delay_ms, starting (0/1),
//               start_at_ms
//   [physical]  instance_id, hardware_id, driver_version, adapter_luid,
//               sources
//   [monitor N] a physical monitor, N from 0 without gaps (at most 8; no
//               such section: the default monitor): edid (upper-case letters
//               and digits), target_id, modes, then its state keys
//   [target N]  the state of driver target N (N < count; absent: detached)
//     state keys: link (detached, joining, attached), source, join_at_ms
//               (a number, or "never"), placed (0/1: keeps x,y at the join),
//               x, y, mode (WxH@R, native orientation), orientation (0-3),
//               primary
//   [class N]   another display-class device (N from 0 without gaps, at most
//               8; absent: none), listed after the physical adapter and the
//               driver's device: instance_id (unlike every other device's),
//               hardware_ids (ID,ID,...; at most 8), driver_version, present,
//               started (0/1), problem. It has no child nodes and no adapter;
//               one with the driver's hardware id stands for another copy of
//               the driver (the [device] may then be left uninstalled).
//   [registry]  vdd_path (the VDDPATH string), first_orvane_monitor
//               (VddFirstOrvaneMonitor); absent: no such value
//   [faults]    supplied_config_error, topology_only_error (numbers
//               SetDisplayConfig answers with that flag set; 0 none),
//               query_busy (the next n queries answer 122), join_late
//               (I:MS,...: target I joins after MS), join_never (I,...),
//               hidden_gdi (I,...: target I's GDI source is left out of the
//               desktop device and monitor lists), position_change_fails,
//               restart_never_starts, adapter_path_fails (0/1: the driver's
//               adapter has no device path; its monitors still name their
//               parent)
//   [pending N] a change stored for "\\.\DISPLAYN" until applied: position
//               (X,Y), size (WxH), refresh, orientation; each optional

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim_vdd {

// What the simulated calls answer (winerror.h).
inline constexpr int32_t kWinSuccess = 0;
inline constexpr int32_t kWinFileNotFound = 2;
inline constexpr int32_t kWinGenFailure = 31;
inline constexpr int32_t kWinInvalidParameter = 87;
inline constexpr int32_t kWinInsufficientBuffer = 122;
inline constexpr int32_t kWinUnsupportedType = 1630;
// ChangeSettings answers (DISP_CHANGE_*).
inline constexpr int32_t kDispSuccessful = 0;
inline constexpr int32_t kDispFailed = -1;
inline constexpr int32_t kDispBadMode = -2;
inline constexpr int32_t kDispBadParam = -5;
// The configuration manager's "disabled" problem.
inline constexpr uint32_t kProblemDisabled = 22;

inline constexpr uint64_t kNever = UINT64_MAX;
inline constexpr uint32_t kNoMode = 0xFFFFFFFFu;  // a path that names no mode

// Bounds of a world description.
inline constexpr size_t kMaxPhysicalMonitors = 8;
inline constexpr size_t kMaxOtherDevices = 8;
inline constexpr size_t kMaxHardwareIds = 8;
inline constexpr uint32_t kMaxPhysicalSources = 16;
inline constexpr uint32_t kMaxTargets = 16;    // a settings file asking for more gets this many
inline constexpr size_t kMaxListedModes = 96;  // what the driver handles
inline constexpr uint32_t kMaxModeSide = 16384;
inline constexpr uint32_t kMaxRefreshHz = 1000;
inline constexpr size_t kMaxTextBytes = 260;
inline constexpr uint32_t kFirstDriverTargetId = 256;
inline constexpr uint32_t kFirstPhysicalTargetId = 4352;

inline constexpr char kWorldFileName[] = "world.ini";
inline constexpr char kWorldLockFileName[] = "world.lock";
inline constexpr size_t kMaxWorldFileBytes = 64 * 1024;
// FollowClock moves at most this far at once (a world left from another
// boot does not leap ahead by days).
inline constexpr uint64_t kMaxFollowStepMs = 3'600'000;

struct SimLuid {
  uint32_t low = 0;
  int32_t high = 0;
  friend bool operator==(const SimLuid&, const SimLuid&) = default;
};

struct SimMode {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refresh_hz = 0;
  friend bool operator==(const SimMode&, const SimMode&) = default;
};

enum class SimLink { kDetached, kJoining, kAttached };
// "detached", "joining", "attached".
const char* SimLinkName(SimLink link);

// Where one monitor stands on the desktop.
struct SimMonitorState {
  SimLink link = SimLink::kDetached;
  uint32_t source_id = 0;
  uint64_t join_at_ms = 0;  // joining: when it joins (kNever: it never does)
  bool placed = false;      // joining: keep x,y instead of the right edge
  int32_t x = 0;
  int32_t y = 0;
  SimMode mode;              // native orientation; remembered while detached
  uint32_t orientation = 0;  // 0, 90, 180, 270 degrees as 0..3
  bool primary = false;
  friend bool operator==(const SimMonitorState&, const SimMonitorState&) = default;
};

struct SimPhysicalMonitor {
  std::string edid = "PHY1001";
  uint32_t target_id = kFirstPhysicalTargetId;
  std::vector<SimMode> modes;
  SimMonitorState state;
  friend bool operator==(const SimPhysicalMonitor&, const SimPhysicalMonitor&) = default;
};

struct SimPhysicalAdapter {
  std::string instance_id = "PCI\\VEN_1AF4&DEV_1050&SUBSYS_11001AF4\\3&267A616A&0&10";
  std::string hardware_id = "PCI\\VEN_1AF4&DEV_1050&SUBSYS_11001AF4";
  std::string driver_version = "31.0.101.5590";
  SimLuid luid{0x0000C2B1, 0};
  uint32_t sources = 1;
  std::vector<SimPhysicalMonitor> monitors;
  friend bool operator==(const SimPhysicalAdapter&, const SimPhysicalAdapter&) = default;
};

struct SimDevice {
  bool installed = true;
  bool present = true;
  bool started = true;
  uint32_t problem = 0;
  std::string instance_id = "ROOT\\DISPLAY\\0000";
  std::string hardware_id = "Root\\TvrVDD";
  std::string driver_version = "24.12.24.0";
  SimLuid adapter_luid{0x0001A2F3, 0};
  std::vector<SimMode> modes;  // what every monitor of the driver lists
  uint64_t restart_delay_ms = 1500;
  uint64_t join_delay_ms = 0;
  bool starting = false;  // a restart waits for start_at_ms
  uint64_t start_at_ms = 0;
  friend bool operator==(const SimDevice&, const SimDevice&) = default;
};

// A display-class device beside the world's adapter and the driver's
// device: seen by the device listing only.
struct SimOtherDevice {
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::string driver_version;
  bool present = true;
  bool started = true;
  uint32_t problem = 0;
  friend bool operator==(const SimOtherDevice&, const SimOtherDevice&) = default;
};

struct SimRegistry {
  bool has_vdd_path = false;
  std::string vdd_path;
  bool has_first_orvane_monitor = false;
  uint32_t first_orvane_monitor = 0;
  friend bool operator==(const SimRegistry&, const SimRegistry&) = default;
};

struct SimFaults {
  int32_t supplied_config_error = 0;          // SetDisplayConfig with the supplied configuration
  int32_t topology_only_error = 0;            // SetDisplayConfig with the topology only
  uint32_t query_busy = 0;                    // queries left that answer 122
  std::map<uint32_t, uint64_t> join_late_ms;  // driver target index -> join delay
  std::vector<uint32_t> join_never;           // driver target indices, ascending
  std::vector<uint32_t> hidden_gdi;           // driver target indices, ascending
  bool position_change_fails = false;         // ChangeSettings with a position
  bool restart_never_starts = false;
  bool adapter_path_fails = false;  // the driver's adapter path (DisplayConfigGetDeviceInfo)
  friend bool operator==(const SimFaults&, const SimFaults&) = default;
};

// A display settings record: the current settings, a listed mode, or a
// change. Sizes are as the desktop sees them (swapped at 90 and 270).
struct SimSettings {
  bool has_position = false;
  bool has_size = false;
  bool has_refresh = false;
  bool has_orientation = false;
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refresh_hz = 0;
  uint32_t orientation = 0;
  friend bool operator==(const SimSettings&, const SimSettings&) = default;
};

struct SimWorldState {
  uint64_t now_ms = 0;
  uint64_t uptime_base_ms = 3'600'000;
  uint64_t clock_ms = 0;
  uint32_t database_saves = 0;  // SetDisplayConfig calls that saved to the database
  bool elevated = true;         // the setup tool runs with administrator rights
  SimDevice device;
  SimPhysicalAdapter physical;
  std::vector<SimMonitorState> targets;  // the driver's monitors while it runs
  std::vector<SimOtherDevice> other_devices;
  SimRegistry registry;
  SimFaults faults;
  std::map<uint32_t, SimSettings> pending;  // GDI number -> change waiting to be applied
  friend bool operator==(const SimWorldState&, const SimWorldState&) = default;
};

// --- the records the world answers with ---

struct SimClassDevice {
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::string driver_version;
  bool present = false;
  bool started = false;
  uint32_t problem = 0;
};

struct SimNode {
  std::string instance_id;
  bool started = false;
  uint32_t problem = 0;
};

struct SimPath {
  SimLuid source_adapter;
  uint32_t source_id = 0;
  uint32_t source_mode = kNoMode;
  SimLuid target_adapter;
  uint32_t target_id = 0;
  uint32_t target_mode = kNoMode;
  bool available = false;
  bool active = false;
};

// Paths with the modes their indices name (opaque text to the caller).
struct SimPathList {
  std::vector<SimPath> paths;
  std::vector<std::string> modes;
};

// How ApplyPaths was asked: supplied configuration (modes given) or
// topology only (no modes, every mode index kNoMode); saving to the database
// goes only with the supplied configuration.
struct SimApply {
  bool topology_only = false;
  bool has_modes = false;
  size_t mode_count = 0;
  bool save = false;
};

struct SimDesktopDevice {
  std::string name;
  bool attached = false;
  bool primary = false;
};

// A monitor on the desktop as monitor enumeration sees it.
struct SimDesktopMonitor {
  std::string gdi_name;
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool primary = false;
};

enum class SimWorldFileStatus { kOk, kAbsent, kUnreadable, kTooLarge, kMalformed, kWriteFailed };
// "ok", "absent", "unreadable", "too large", "malformed", "write failed".
const char* SimWorldFileStatusName(SimWorldFileStatus status);

struct SimWorldFileResult {
  SimWorldFileStatus status = SimWorldFileStatus::kOk;
  std::string detail;  // which line and why, or the system error
  bool ok() const { return status == SimWorldFileStatus::kOk; }
};

// The default modes of the driver's monitors and of the physical monitor.
std::vector<SimMode> DefaultDriverModes();
std::vector<SimMode> DefaultPhysicalModes();

// Modes a settings file makes the driver offer: (g_refresh_rate elements +
// 1) x resolution elements, outside comments.
uint64_t SettingsModeCount(std::string_view settings_text);
// A resolution entry without a usable refresh_rate (a number of 1 to 1000)
// is offered at this rate.
inline constexpr uint32_t kSettingsDefaultRefreshHz = 60;
// The modes a started driver lists for a settings file: each resolution
// entry's size (sides up to kMaxModeSide) at its own refresh_rate, then at
// every g_refresh_rate, rates rounded to whole hertz, each mode once, in
// file order.
std::vector<SimMode> SettingsModes(std::string_view settings_text);

// "\\.\DISPLAY<n>".
std::string GdiName(uint32_t number);
// "WxH@R".
std::string SimModeText(const SimMode& mode);

class SimVddWorld {
 public:
  // One physical 1920x1080 monitor (primary, at 0,0) and the driver running
  // with one detached monitor.
  SimVddWorld();

  // The description and state; tests and tools change it directly.
  SimWorldState& state() { return state_; }
  const SimWorldState& state() const { return state_; }
  // Goes up on every change the world makes itself (calls that change
  // something, events that happen as time passes).
  uint64_t change_count() const { return changes_; }
  void MarkChanged() { ++changes_; }

  // --- time ---
  // Moves virtual time on; restarts and joins due meanwhile happen at their
  // time, in order.
  void AdvanceMs(uint64_t ms);
  uint64_t NowMs() const { return state_.now_ms; }
  uint64_t UptimeMs() const { return state_.uptime_base_ms + state_.now_ms; }
  // Follows another clock: moves on by how far it moved since the last call
  // (at most kMaxFollowStepMs; a clock behind the last reading only resets
  // it). For a world that several processes share through its file.
  void FollowClock(uint64_t clock_ms);

  // --- the driver's device ---
  // A property change: stops the device and starts it again after the
  // restart delay. False (and nothing changes) when it is not installed, not
  // present or disabled.
  bool RestartDevice();
  uint32_t MonitorCount() const { return static_cast<uint32_t>(state_.targets.size()); }
  // The monitor device path and instance id of driver target `index`.
  std::string TargetDevicePath(size_t index) const;
  std::string TargetInstanceId(size_t index) const;
  uint32_t TargetId(size_t index) const { return kFirstDriverTargetId + static_cast<uint32_t>(index); }
  std::string PhysicalDevicePath(size_t index) const;
  std::string PhysicalInstanceId(size_t index) const;

  // --- device tree ---
  std::vector<SimClassDevice> DisplayClassDevices() const;
  int32_t ChildNodes(const std::string& instance_id, std::vector<SimNode>* children) const;
  int32_t ParentOf(const std::string& instance_id, std::string* parent) const;

  // --- display configuration ---
  // kWinInsufficientBuffer while the query_busy fault lasts (each such
  // answer uses one up).
  int32_t QueryPaths(bool active_only, SimPathList* list);
  int32_t ApplyPaths(const std::vector<SimPath>& paths, const SimApply& how);
  int32_t AdapterDevicePath(const SimLuid& adapter, std::string* path) const;
  int32_t TargetDevicePath(const SimLuid& adapter, uint32_t target_id, std::string* path) const;
  int32_t SourceGdiName(const SimLuid& adapter, uint32_t source_id, std::string* name) const;

  // --- GDI ---
  std::vector<SimDesktopDevice> DesktopDevices() const;
  bool CurrentSettings(const std::string& device, SimSettings* settings) const;
  // all_orientations: every listed mode in every orientation; else only in
  // the current one. Empty for a source that is not on the desktop.
  std::vector<SimSettings> ListedModes(const std::string& device, bool all_orientations) const;
  // device and settings null: apply every stored change; settings null:
  // apply the device's stored change; device null: the primary's source.
  // defer stores the change until applied. A source that is not on the
  // desktop is attached (to its adapter's first free target, joining as
  // ApplyPaths does), at the position given or at the right edge.
  int32_t ChangeSettings(const std::string* device, const SimSettings* settings, bool defer);
  std::vector<SimDesktopMonitor> DesktopMonitors() const;

  // --- registry (HKEY_LOCAL_MACHINE) ---
  // VDDPATH under SOFTWARE\Telvenor\VirtualDisplayDriver and
  // VddFirstOrvaneMonitor under SOFTWARE\Orvane Display (names compared
  // without regard to case); anything else is absent.
  int32_t ReadRegistryString(const std::string& key, const std::string& value, std::string* text) const;
  int32_t ReadRegistryDword(const std::string& key, const std::string& value, uint32_t* number) const;

  // --- file form ---
  std::string ToIni() const;
  // Replaces the state only when the whole text is valid.
  SimWorldFileResult FromIni(std::string_view text);
  SimWorldFileResult Load(const std::filesystem::path& folder);
  SimWorldFileResult Save(const std::filesystem::path& folder) const;

 private:
  struct MonitorRef {
    bool driver = false;
    size_t index = 0;
  };
  SimMonitorState& Monitor(MonitorRef ref);
  const SimMonitorState& Monitor(MonitorRef ref) const;
  const std::vector<SimMode>& ModesOf(MonitorRef ref) const;
  std::vector<MonitorRef> AllMonitors() const;
  bool FindTarget(const SimLuid& adapter, uint32_t target_id, MonitorRef* ref) const;
  uint32_t SourceCount(const SimLuid& adapter, bool* known) const;
  uint32_t GdiNumber(MonitorRef ref) const;
  bool ResolveGdi(const std::string& device, bool* driver, uint32_t* source) const;
  bool FirstOnSource(bool driver, uint32_t source, MonitorRef* ref) const;
  bool Hidden(MonitorRef ref) const;
  const SimOtherDevice* OtherDevice(const std::string& instance_id) const;
  int32_t RightEdge(MonitorRef except) const;
  void BeginJoin(MonitorRef ref);
  void Join(MonitorRef ref);
  void EnsurePrimary();
  void StartDevice();
  int32_t ApplyPending(const uint32_t* only);
  int32_t PlanChange(uint32_t number, const SimSettings& change, bool apply);

  SimWorldState state_;
  uint64_t changes_ = 0;
};

// Holds <folder>/world.lock exclusively while alive, waiting for another
// holder (another process) to let go. Creates the folder when needed.
class SimWorldLock {
 public:
  explicit SimWorldLock(const std::filesystem::path& folder);
  ~SimWorldLock();
  SimWorldLock(const SimWorldLock&) = delete;
  SimWorldLock& operator=(const SimWorldLock&) = delete;
  bool locked() const { return handle_ != -1; }
  int error() const { return error_; }

 private:
  intptr_t handle_ = -1;
  int error_ = 0;
};

}  // namespace orvane::sim_vdd
