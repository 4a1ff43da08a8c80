#include "setup_tool/setup_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <set>

#include "vdd_settings/settings_text.h"
#include "vdd_settings/vdd_settings.h"

namespace orvane::vdd_setup {
namespace {

constexpr char kDriverId[] = "ROOT\\DISPLAY\\0000";

// A settings file asking for `count` monitors with one listed size.
std::string SettingsText(uint32_t count, const char* extra = "") {
  return std::string("<vdd_settings>\n  <monitors>\n    <count>") + std::to_string(count) +
         "</count>\n  </monitors>\n  <resolutions>\n    <resolution>\n      <width>1920</width>\n"
         "      <height>1080</height>\n      <refresh_rate>60</refresh_rate>\n    </resolution>\n"
         "  </resolutions>\n" +
         extra + "</vdd_settings>\n";
}

struct FakeDevice {
  ClassDevice device;
  bool started = true;
  uint32_t problem = 0;
  bool starting = false;
  uint64_t start_at_ms = 0;
  bool never_starts = false;
  uint32_t monitors = 1;
  uint32_t restart_error = kErrorSuccess;  // with restart_fails
  bool restart_fails = false;
  bool needs_reboot = false;
  bool uninstall_fails = false;
  uint32_t uninstall_error = kErrorSuccess;
};

struct FakeFile {
  std::string text;
  FileFacts facts{true, false, true, 1, false};
};

// The system in memory, on a virtual clock: devices start restart_delay_ms
// after a restart and then show the monitors `monitors_for` gives for the
// settings file as it is at that moment.
class FakeSetupSystem final : public ISetupSystem {
 public:
  FakeSetupSystem() {
    FakeDevice gpu;
    gpu.device = {{"PCI\\VEN_1AF4&DEV_1050"}, "PCI\\VEN_1AF4&DEV_1050\\3&0", "oem1.inf", true};
    gpu.monitors = 0;
    devices.push_back(gpu);
  }

  FakeDevice& AddDriver(const std::string& id = kDriverId, bool present = true) {
    FakeDevice d;
    d.device = {{"Root\\TvrVDD"}, id, "oem7.inf", present};
    d.started = present;
    devices.push_back(d);
    return devices.back();
  }

  std::string SettingsPath() const { return tvr_vdd::SettingsFileInFolder(folder); }
  void SetSettings(const std::string& text) { files[SettingsPath()].text = text; }
  void SetPrevious(const std::string& text) { files[SettingsPath() + kPreviousSuffix].text = text; }
  std::optional<std::string> Text(const std::string& path) const {
    const auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second.text;
  }
  std::optional<std::string> Settings() const { return Text(SettingsPath()); }
  std::optional<std::string> Previous() const { return Text(SettingsPath() + kPreviousSuffix); }
  std::optional<std::string> Rejected() const { return Text(SettingsPath() + kRejectedSuffix); }

  // --- ISetupSystem ---

  SysResult ListDisplayDevices(bool present_only, std::vector<ClassDevice>* out) override {
    Update();
    out->clear();
    listed_.clear();
    if (list_failure) return SysResult::Failure(*list_failure);
    for (size_t i = 0; i < devices.size(); ++i) {
      if (present_only && !devices[i].device.present) continue;
      out->push_back(devices[i].device);
      listed_.push_back(i);
    }
    return {};
  }

  SysResult ReadNodeStatus(size_t index, NodeStatus* status) override {
    Update();
    FakeDevice* d = Listed(index);
    if (d == nullptr || !d->device.present) return SysResult::Failure(1168);
    status->status = (d->started ? kNodeStarted : 0u) | (d->problem != 0 ? kNodeHasProblem : 0u);
    status->problem = d->problem;
    return {};
  }

  SysResult ListChildNodes(size_t index, std::vector<ChildNode>* children) override {
    Update();
    children->clear();
    FakeDevice* d = Listed(index);
    if (d == nullptr) return SysResult::Failure(1168);
    // A node that is no monitor does not count.
    children->push_back({"SWD\\REMOTEDISPLAYENUM\\1", true});
    if (d->started) {
      for (uint32_t i = 0; i < d->monitors; ++i) {
        children->push_back({"display\\TVR0001\\1&0&UID" + std::to_string(i), true});
      }
    }
    return {};
  }

  RestartAnswer RestartDevice(size_t index) override {
    Update();
    FakeDevice* d = Listed(index);
    calls.push_back("restart " + d->device.instance_id);
    if (d->restart_fails) return {SysResult::Failure(d->restart_error), false, false};
    if (d->needs_reboot) return {SysResult::Success(), false, true};
    d->started = false;
    d->monitors = 0;
    d->starting = !d->never_starts;
    d->start_at_ms = now_ms + restart_delay_ms;
    return {};
  }

  SysResult UninstallDevice(size_t index, bool* needs_reboot) override {
    FakeDevice* d = Listed(index);
    calls.push_back("uninstall " + d->device.instance_id);
    *needs_reboot = false;
    return d->uninstall_fails ? SysResult::Failure(d->uninstall_error) : SysResult::Success();
  }

  CreateAnswer CreateDevice() override {
    calls.push_back("create");
    return create_answer;
  }
  SysResult RemoveCreatedDevice() override {
    calls.push_back("remove created");
    return {};
  }
  SysResult UpdateDriver(const std::string& inf, bool* needs_reboot) override {
    calls.push_back("update " + inf);
    *needs_reboot = false;
    return update_failure ? SysResult::Failure(*update_failure) : SysResult::Success();
  }
  SysResult UninstallOemInf(const std::string& inf) override {
    calls.push_back("delete package " + inf);
    return {};
  }

  bool IsElevated() override {
    ++elevation_queries;
    return elevated;
  }
  RunLock AcquireRunLock(uint32_t*) override {
    calls.push_back("lock");
    return lock_busy ? RunLock::kBusy : RunLock::kHeld;
  }

  std::string SettingsFolder() override { return folder; }
  SysResult ReadFirstOrvaneMonitor(uint32_t* value) override {
    if (!first_monitor) return SysResult::Failure(kErrorFileNotFound);
    *value = *first_monitor;
    return {};
  }
  SysResult WriteFirstOrvaneMonitor(uint32_t value) override {
    first_monitor = value;
    return {};
  }

  bool FullPath(const std::string& path, std::string* full) override {
    *full = "C:\\drivers\\" + path;
    return true;
  }
  bool FileExists(const std::string& path) override { return infs.count(path) != 0; }
  FileFacts ProbeFile(const std::string& path) override {
    const auto it = files.find(path);
    FileFacts facts = it == files.end() ? FileFacts{} : it->second.facts;
    facts.folder_link = folder_link;
    return facts;
  }
  FileRead ReadWholeFile(const std::string& path, size_t max_bytes) override {
    FileRead read;
    read.facts.folder_link = folder_link;
    const auto it = files.find(path);
    if (it == files.end()) {
      read.status = ReadStatus::kAbsent;
      return read;
    }
    read.facts = it->second.facts;
    read.facts.folder_link = folder_link;
    if (read.facts.link) {
      read.status = ReadStatus::kUnreadable;  // not opened through the link
      return read;
    }
    if (it->second.text.size() >= max_bytes) {
      read.status = ReadStatus::kTooLarge;
      return read;
    }
    read.status = ReadStatus::kOk;
    read.text = it->second.text;
    return read;
  }
  SysResult WriteNewFile(const std::string& path, std::string_view bytes) override {
    if (files.count(path) != 0) return SysResult::Failure(80);
    files[path].text = std::string(bytes);
    const auto fail = write_errors.find(path);
    if (fail != write_errors.end()) return SysResult::Failure(fail->second);  // a partial file stays behind
    return {};
  }
  SysResult MoveReplacing(const std::string& from, const std::string& to) override {
    const auto fail = move_errors.find(to);
    if (fail != move_errors.end()) return SysResult::Failure(fail->second);
    FakeFile moved = files[from];
    files.erase(from);
    files[to] = moved;
    writes.push_back({to, moved.text});
    return {};
  }
  SysResult RemoveFile(const std::string& path) override {
    return files.erase(path) != 0 ? SysResult::Success() : SysResult::Failure(kErrorFileNotFound);
  }

  uint64_t TickMs() override { return now_ms; }
  void SleepMs(uint32_t ms) override {
    now_ms += ms;
    Update();
  }

  // --- the world ---
  std::vector<FakeDevice> devices;
  std::map<std::string, FakeFile> files;
  std::set<std::string> infs;
  std::map<std::string, uint32_t> write_errors;  // temporary file path -> error
  std::map<std::string, uint32_t> move_errors;   // target path -> error
  std::vector<std::pair<std::string, std::string>> writes;  // target, text
  std::vector<std::string> calls;
  std::string folder = "vdd";
  bool folder_link = false;
  bool elevated = true;
  int elevation_queries = 0;
  bool lock_busy = false;
  std::optional<uint32_t> list_failure;
  CreateAnswer create_answer;
  std::optional<uint32_t> update_failure;
  std::optional<uint32_t> first_monitor;
  uint64_t now_ms = 1000;
  uint64_t restart_delay_ms = 700;
  // Monitors a started driver shows for its settings text (nullopt: no
  // file): none above the mode budget, else the count (1 without one).
  std::function<uint32_t(const std::optional<std::string>&)> monitors_for = [](const std::optional<std::string>& text) {
    if (!text) return 1u;
    if (tvr_vdd::ModeCount(tvr_vdd::ParseSettings(*text)) > tvr_vdd::kModeBudget) return 0u;
    uint32_t count = 1;
    tvr_vdd::ReadMonitorCount(*text, &count);
    return count;
  };

 private:
  FakeDevice* Listed(size_t index) { return index < listed_.size() ? &devices[listed_[index]] : nullptr; }
  void Update() {
    for (FakeDevice& d : devices) {
      if (d.starting && now_ms >= d.start_at_ms) {
        d.starting = false;
        d.started = true;
        d.monitors = monitors_for(Settings());
      }
    }
  }
  std::vector<size_t> listed_;
};

struct Captured final : ISetupOutput {
  void Out(std::string_view text) override { out += text; }
  void Err(std::string_view text) override { err += text; }
  std::string out;
  std::string err;
};

struct ToolRun {
  uint32_t code = 0;
  std::string out;
  std::string err;
};

ToolRun RunTool(FakeSetupSystem& system, const std::vector<std::string>& args) {
  Captured output;
  SetupCommands commands(system, output);
  ToolRun run;
  run.code = commands.Run(args);
  run.out = output.out;
  run.err = output.err;
  return run;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t CountOf(const std::vector<std::string>& calls, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& c : calls) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// --- command line ---

TEST(SetupCommandLineTest, UsageErrorsComeBeforeElevation) {
  struct Case {
    std::vector<std::string> args;
    uint32_t code;
    bool usage_on_stdout;
  };
  const Case cases[] = {
      {{}, 87, false},
      {{"HELP"}, 0, true},
      {{"/?"}, 0, true},
      {{"-h"}, 0, true},
      {{"--Help"}, 0, true},
      {{"help", "me"}, 87, false},
      {{"status", "now"}, 87, false},
      {{"install"}, 87, false},
      {{"install", ""}, 87, false},
      {{"restart", "x"}, 87, false},
      {{"monitors"}, 87, false},
      {{"monitors", "0"}, 87, false},
      {{"monitors", "5"}, 87, false},
      {{"monitors", "12"}, 87, false},
      {{"monitors", "01"}, 87, false},
      {{"monitors", "3", "4"}, 87, false},
      {{"frobnicate"}, 87, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0] + " (" + std::to_string(c.args.size()) + ")");
    FakeSetupSystem system;
    system.elevated = false;
    const ToolRun run = RunTool(system, c.args);
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(c.usage_on_stdout ? run.out : run.err, kUsageLine);
    EXPECT_EQ(c.usage_on_stdout ? run.err : run.out, "");
    EXPECT_EQ(system.elevation_queries, 0);
  }
}

TEST(SetupCommandLineTest, CommandsAreParsedWithTheirArguments) {
  const ParsedCommand monitors = ParseCommandLine({"Monitors", "3"});
  EXPECT_EQ(monitors.kind, CommandKind::kMonitors);
  EXPECT_EQ(monitors.monitor_count, 3u);
  const ParsedCommand install = ParseCommandLine({"INSTALL", "TvrVDD.inf"});
  EXPECT_EQ(install.kind, CommandKind::kInstall);
  EXPECT_EQ(install.inf_path, "TvrVDD.inf");
  EXPECT_EQ(ParseCommandLine({"rePair"}).kind, CommandKind::kRepair);
  EXPECT_EQ(ParseCommandLine({"remove"}).kind, CommandKind::kRemove);
  EXPECT_EQ(ParseCommandLine({"Status"}).kind, CommandKind::kStatus);
}

TEST(SetupCommandLineTest, UnelevatedChangeNamesTheCommandAsTyped) {
  FakeSetupSystem system;
  system.elevated = false;
  system.AddDriver();
  const ToolRun run = RunTool(system, {"ReStart"});
  EXPECT_EQ(run.code, 5u);
  EXPECT_EQ(run.err,
            "OrvaneVddSetup ReStart needs administrator rights. Run it from an elevated prompt, or use the Orvane "
            "Display tray item \"Apply virtual display resolutions\".\n");
  EXPECT_TRUE(system.calls.empty());

  // "Monitors 3" passes the command line and reaches the elevation check.
  EXPECT_EQ(RunTool(system, {"Monitors", "3"}).code, 5u);
}

TEST(SetupCommandLineTest, HeldRunLockStopsChangingCommands) {
  for (const char* command : {"restart", "remove", "repair"}) {
    SCOPED_TRACE(command);
    FakeSetupSystem system;
    system.AddDriver();
    system.SetSettings(SettingsText(1));
    system.lock_busy = true;
    const ToolRun run = RunTool(system, {command});
    EXPECT_EQ(run.code, 170u);
    EXPECT_EQ(run.err,
              "Another OrvaneVddSetup run is changing the Virtual Display Driver; try again when it has finished\n");
    EXPECT_EQ(system.calls, std::vector<std::string>{"lock"});
    EXPECT_EQ(system.Settings(), SettingsText(1));
  }
  // status changes nothing and takes no lock.
  FakeSetupSystem system;
  system.AddDriver();
  system.lock_busy = true;
  EXPECT_EQ(RunTool(system, {"status"}).code, 0u);
  EXPECT_EQ(CountOf(system.calls, "lock"), 0u);
}

// --- status, install, remove ---

TEST(SetupStatusTest, RegisteredButNotPresentIsNotInstalled) {
  FakeSetupSystem system;
  system.AddDriver("ROOT\\DISPLAY\\0001", false);
  const ToolRun run = RunTool(system, {"status"});
  EXPECT_EQ(run.code, 1u);
  EXPECT_EQ(run.out,
            "Virtual Display Driver device ROOT\\DISPLAY\\0001 (not present, driver oem7.inf)\n"
            "Virtual Display Driver device not installed\n");

  FakeSetupSystem none;
  const ToolRun empty = RunTool(none, {"status"});
  EXPECT_EQ(empty.code, 1u);
  EXPECT_EQ(empty.out, "Virtual Display Driver device not installed\n");
}

TEST(SetupStatusTest, ListingFailureKeepsItsErrorOnStandardError) {
  for (const uint32_t error : {0u, 13u, 1784u}) {
    SCOPED_TRACE(error);
    FakeSetupSystem system;
    system.AddDriver();
    system.list_failure = error;
    const ToolRun run = RunTool(system, {"status"});
    EXPECT_EQ(run.code, error == 1784u ? 1784u : 31u);
    EXPECT_EQ(run.err, "Listing the display devices failed (err=" + std::to_string(error) + ")\n");
    EXPECT_EQ(run.out, "");
  }
}

TEST(SetupInstallTest, PresentDeviceIsLeftAsItIs) {
  FakeSetupSystem system;
  system.AddDriver().device.inf_path.clear();
  system.infs.insert("C:\\drivers\\TvrVDD.inf");
  const ToolRun run = RunTool(system, {"install", "TvrVDD.inf"});
  EXPECT_EQ(run.code, 2u);
  EXPECT_EQ(run.out,
            "Virtual Display Driver device ROOT\\DISPLAY\\0000 (present, driver -)\n"
            "A Virtual Display Driver device already exists; leaving it as is.\n");
  EXPECT_EQ(CountOf(system.calls, "create"), 0u);
}

TEST(SetupInstallTest, CreatesTheDeviceAndInstallsTheDriver) {
  FakeSetupSystem system;
  system.infs.insert("C:\\drivers\\TvrVDD.inf");
  const ToolRun run = RunTool(system, {"install", "TvrVDD.inf"});
  EXPECT_EQ(run.code, 0u);
  EXPECT_TRUE(Has(run.out, "Created the Root\\TvrVDD device\nInstalled the Virtual Display Driver\n"));
  EXPECT_EQ(system.calls, (std::vector<std::string>{"lock", "create", "update C:\\drivers\\TvrVDD.inf"}));

  const ToolRun missing = RunTool(system, {"install", "other.inf"});
  EXPECT_EQ(missing.code, 3u);
  EXPECT_EQ(missing.err, "INF not found: other.inf\n");
}

TEST(SetupInstallTest, FailedStepsExitWithTheirErrorUnlessItReadsAsAnOutcome) {
  struct Case {
    uint32_t error;
    uint32_t code;
  };
  for (const Case c : {Case{0, 31}, Case{1, 31}, Case{3010, 31}, Case{0xE0000203u, 0xE0000203u}}) {
    SCOPED_TRACE(c.error);
    FakeSetupSystem system;
    system.infs.insert("C:\\drivers\\TvrVDD.inf");
    system.update_failure = c.error;
    const ToolRun run = RunTool(system, {"install", "TvrVDD.inf"});
    EXPECT_EQ(run.code, c.code);
    char line[160];
    std::snprintf(line, sizeof(line),
                  "Installing C:\\drivers\\TvrVDD.inf failed (err=0x%08X); removing the device again\n",
                  static_cast<unsigned>(c.error));
    EXPECT_EQ(run.err, line);
    EXPECT_EQ(CountOf(system.calls, "remove created"), 1u);
  }
  FakeSetupSystem system;
  system.infs.insert("C:\\drivers\\TvrVDD.inf");
  system.create_answer = {CreateStep::kRegister, 0};
  const ToolRun run = RunTool(system, {"install", "TvrVDD.inf"});
  EXPECT_EQ(run.code, 31u);
  EXPECT_EQ(run.err, "Creating the Root\\TvrVDD device failed (err=0)\n");
}

TEST(SetupRemoveTest, SharedDriverPackageIsDeletedOnce) {
  FakeSetupSystem system;
  system.AddDriver("ROOT\\DISPLAY\\0000").device.inf_path = "oem5.inf";
  system.AddDriver("ROOT\\DISPLAY\\0001", false).device.inf_path = "OEM5.INF";
  const ToolRun run = RunTool(system, {"remove"});
  EXPECT_EQ(run.code, 0u);
  EXPECT_EQ(run.out,
            "Removed device ROOT\\DISPLAY\\0000\nRemoved device ROOT\\DISPLAY\\0001\n"
            "Deleted driver package oem5.inf\n");
  EXPECT_EQ(CountOf(system.calls, "delete package"), 1u);
  EXPECT_EQ(CountOf(system.calls, "uninstall"), 2u);
}

TEST(SetupRemoveTest, RemovalFailureWithErrorZeroIsNoSuccess) {
  FakeSetupSystem system;
  FakeDevice& d = system.AddDriver();
  d.uninstall_fails = true;
  d.uninstall_error = 0;
  const ToolRun run = RunTool(system, {"remove"});
  EXPECT_EQ(run.code, 31u);
  EXPECT_EQ(run.err, "Removing device ROOT\\DISPLAY\\0000 failed (err=0)\n");
  // The package still goes.
  EXPECT_EQ(CountOf(system.calls, "delete package oem7.inf"), 1u);
}

// --- restart ---

TEST(SetupRestartTest, RestartsAndConfirmsTheSettings) {
  FakeSetupSystem system;
  system.AddDriver();
  system.SetSettings(SettingsText(1));
  system.SetPrevious(SettingsText(1, "  <!-- before -->\n"));
  const ToolRun run = RunTool(system, {"restart"});
  EXPECT_EQ(run.code, 0u);
  EXPECT_EQ(run.out,
            "Restarted device ROOT\\DISPLAY\\0000\nVirtual Display Driver monitors: 1 of 1 after 0 ms\n");
  EXPECT_EQ(system.Previous(), std::nullopt);
  EXPECT_EQ(CountOf(system.calls, "restart"), 1u);
}

TEST(SetupRestartTest, FailedRestartStepsMapErrorsThatReadAsOutcomes) {
  struct Case {
    uint32_t error;
    uint32_t code;
  };
  for (const Case c : {Case{0, 31}, Case{1, 31}, Case{5, 31}, Case{3020, 31}, Case{1223, 1223}}) {
    SCOPED_TRACE(c.error);
    FakeSetupSystem system;
    FakeDevice& d = system.AddDriver();
    d.restart_fails = true;
    d.restart_error = c.error;
    system.SetSettings(SettingsText(1));
    const ToolRun run = RunTool(system, {"restart"});
    EXPECT_EQ(run.code, c.code);
    char line[96];
    std::snprintf(line, sizeof(line), "Restarting device ROOT\\DISPLAY\\0000 failed (err=0x%08X)\n",
                  static_cast<unsigned>(c.error));
    EXPECT_EQ(run.err, line);
  }
}

TEST(SetupRestartTest, DeviceOutcomesBeforeAnyMonitorCheck) {
  {
    FakeSetupSystem system;
    system.AddDriver().never_starts = true;
    system.SetSettings(SettingsText(1));
    const ToolRun run = RunTool(system, {"restart"});
    EXPECT_EQ(run.code, 4u);
    EXPECT_EQ(run.err, "Device ROOT\\DISPLAY\\0000 did not start again (problem code 0)\n");
    EXPECT_EQ(system.now_ms, 1000u + 10'000u);  // virtual time: the last check at 10 s
  }
  {
    FakeSetupSystem system;
    system.AddDriver().needs_reboot = true;
    const ToolRun run = RunTool(system, {"restart"});
    EXPECT_EQ(run.code, 3010u);
    EXPECT_EQ(run.out, "Device ROOT\\DISPLAY\\0000 restarts after Windows restarts\n");
  }
  {
    FakeSetupSystem system;
    FakeDevice& d = system.AddDriver();
    d.started = false;
    d.problem = kProblemDisabled;
    const ToolRun run = RunTool(system, {"restart"});
    EXPECT_EQ(run.code, 4u);
    EXPECT_EQ(run.out, "Device ROOT\\DISPLAY\\0000 is disabled in Device Manager; not restarting it\n");
    EXPECT_EQ(CountOf(system.calls, "restart"), 0u);
  }
  {
    FakeSetupSystem system;
    system.AddDriver("ROOT\\DISPLAY\\0001", false);
    const ToolRun run = RunTool(system, {"restart"});
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(run.out, "Virtual Display Driver device not installed\n");
  }
}

TEST(SetupRestartTest, NoMonitorWithinFifteenSecondsRestoresThePrevious) {
  FakeSetupSystem system;
  system.AddDriver();
  const std::string broken = SettingsText(1, "  <!-- new -->\n");
  const std::string good = SettingsText(1);
  system.monitors_for = [&](const std::optional<std::string>& text) { return text == broken ? 0u : 1u; };
  system.SetSettings(broken);
  system.SetPrevious(good);
  const ToolRun run = RunTool(system, {"restart"});
  EXPECT_EQ(run.code, 3020u);
  const std::string path = system.SettingsPath();
  EXPECT_EQ(run.err,
            "The Virtual Display Driver runs without a monitor with the new settings; restoring the previous " + path +
                "\n");
  EXPECT_TRUE(Has(run.out, "Virtual Display Driver monitors: 0 of 1 after 15"));
  EXPECT_TRUE(Has(run.out, "Restored the previous settings; the driver shows its monitors again\n"));
  EXPECT_EQ(system.Settings(), good);
  EXPECT_EQ(system.Rejected(), broken);
  EXPECT_EQ(system.Previous(), std::nullopt);
  EXPECT_EQ(CountOf(system.calls, "restart"), 2u);
  // Every write went through the temporary file.
  EXPECT_EQ(system.files.count(path + kSetupTempSuffix), 0u);
  EXPECT_EQ(system.writes, (std::vector<std::pair<std::string, std::string>>{{path + kRejectedSuffix, broken},
                                                                             {path, good}}));
}

TEST(SetupRestartTest, BlankPreviousIsNoEarlierSettings) {
  for (const char* blank : {"", " \r\n\t\n"}) {
    SCOPED_TRACE(std::string("\"") + blank + "\"");
    FakeSetupSystem system;
    system.AddDriver();
    const std::string broken = SettingsText(1, "<!-- new -->\n");
    system.monitors_for = [](const std::optional<std::string>&) { return 0u; };
    system.SetSettings(broken);
    system.SetPrevious(blank);
    const ToolRun run = RunTool(system, {"restart"});
    EXPECT_EQ(run.code, 3021u);
    EXPECT_EQ(run.err,
              "The Virtual Display Driver runs without a monitor and there are no earlier settings to go back to\n");
    EXPECT_EQ(system.Settings(), broken);
    EXPECT_TRUE(system.writes.empty());
    EXPECT_EQ(system.Previous(), blank);
  }
}

TEST(SetupRestartTest, PreviousWithoutMonitorEitherKeepsTheRejectedText) {
  FakeSetupSystem system;
  system.AddDriver();
  const std::string newer = SettingsText(2);
  const std::string older = SettingsText(1);
  system.monitors_for = [](const std::optional<std::string>&) { return 0u; };
  system.SetSettings(newer);
  system.SetPrevious(older);
  const ToolRun run = RunTool(system, {"restart"});
  EXPECT_EQ(run.code, 3021u);
  EXPECT_TRUE(Has(run.err, "The previous settings bring no monitor back either\n"));
  EXPECT_EQ(system.Rejected(), newer);
  EXPECT_EQ(system.Settings(), older);
  EXPECT_EQ(system.Previous(), older);
}

// --- monitors and repair ---

TEST(SetupMonitorsTest, RaisesTheCountAndChecksForTheNewMonitors) {
  struct Case {
    std::optional<uint32_t> first_before;
    uint32_t first_after;
  };
  for (const Case c : {Case{std::nullopt, 1}, Case{0, 0}}) {
    FakeSetupSystem system;
    system.AddDriver();
    system.first_monitor = c.first_before;
    const std::string old = SettingsText(1);
    system.SetSettings(old);
    const ToolRun run = RunTool(system, {"monitors", "2"});
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(system.first_monitor, c.first_after);
    const std::string path = system.SettingsPath();
    EXPECT_TRUE(Has(run.out, path + ": 1 -> 18 modes (budget 96), 0 tablet size(s) removed, 17 added\n"));
    EXPECT_TRUE(Has(run.out, "Updated " + path + ": monitors 1 -> 2\nRestarted device ROOT\\DISPLAY\\0000\n"
                             "Virtual Display Driver monitors: 2 of 2 after "));
    ASSERT_EQ(system.writes.size(), 2u);
    EXPECT_EQ(system.writes[0], std::make_pair(path + kPreviousSuffix, old));
    EXPECT_EQ(system.writes[1].first, path);
    uint32_t count = 0;
    ASSERT_TRUE(tvr_vdd::ReadMonitorCount(*system.Settings(), &count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(system.Previous(), std::nullopt);  // confirmed by the restart
  }
}

TEST(SetupMonitorsTest, UnchangedTextWithMonitorsIsDone) {
  FakeSetupSystem system;
  system.AddDriver();
  const std::string full = tvr_vdd::RepairTabletSizes(SettingsText(3), kRepairRefreshHz).text;
  system.SetSettings(full);
  const ToolRun run = RunTool(system, {"monitors", "2"});
  EXPECT_EQ(run.code, 0u);
  EXPECT_TRUE(Has(run.out, system.SettingsPath() + " already lists 3 monitor(s) and the tablet sizes\n"));
  EXPECT_EQ(system.first_monitor, 3u);
  EXPECT_TRUE(system.writes.empty());
  EXPECT_EQ(CountOf(system.calls, "restart"), 0u);
}

TEST(SetupMonitorsTest, NoMonitorAfterTheChangeRollsBack) {
  FakeSetupSystem system;
  system.AddDriver();
  const std::string old = SettingsText(1);
  system.SetSettings(old);
  system.monitors_for = [&](const std::optional<std::string>& text) { return text == old ? 1u : 0u; };
  const ToolRun run = RunTool(system, {"monitors", "2"});
  EXPECT_EQ(run.code, 3020u);
  EXPECT_EQ(system.Settings(), old);
  ASSERT_TRUE(system.Rejected().has_value());
  EXPECT_NE(*system.Rejected(), old);
  EXPECT_EQ(system.Previous(), std::nullopt);
}

TEST(SetupMonitorsTest, ExistingPreviousIsTheStateToGoBackTo) {
  // The host edited the file (not confirmed yet); its previous text is the
  // last good one and survives the tool's own change.
  FakeSetupSystem system;
  system.AddDriver();
  const std::string good = SettingsText(1, "  <!-- as confirmed -->\n");
  const std::string unconfirmed = SettingsText(1);
  system.SetPrevious(good);
  system.SetSettings(unconfirmed);
  system.monitors_for = [&](const std::optional<std::string>& text) { return text == good ? 1u : 0u; };
  const ToolRun run = RunTool(system, {"monitors", "2"});
  EXPECT_EQ(run.code, 3020u);
  EXPECT_EQ(system.Settings(), good);
  for (const auto& [path, text] : system.writes) EXPECT_NE(path, system.SettingsPath() + kPreviousSuffix);
}

TEST(SetupMonitorsTest, FailedWritesLeaveTheSettingsAsTheyWere) {
  const std::string old = SettingsText(1);
  {
    // The previous settings cannot be saved: nothing changes.
    FakeSetupSystem system;
    system.AddDriver();
    system.SetSettings(old);
    const std::string path = system.SettingsPath();
    system.write_errors[path + kPreviousSuffix + kSetupTempSuffix] = 112;
    const ToolRun run = RunTool(system, {"monitors", "2"});
    EXPECT_EQ(run.code, 29u);
    EXPECT_EQ(run.err, "Saving the previous settings failed (err=112); not changing " + path + "\n");
    EXPECT_EQ(system.Settings(), old);
    EXPECT_EQ(system.Previous(), std::nullopt);
    EXPECT_EQ(system.files.count(path + kPreviousSuffix + kSetupTempSuffix), 0u);
  }
  for (const uint32_t error : {0u, 112u}) {
    // The move over the settings file fails: the file stays, the temporary
    // file goes.
    SCOPED_TRACE(error);
    FakeSetupSystem system;
    system.AddDriver();
    system.SetSettings(old);
    const std::string path = system.SettingsPath();
    system.move_errors[path] = error;
    const ToolRun run = RunTool(system, {"monitors", "2"});
    EXPECT_EQ(run.code, error == 0 ? 31u : error);
    EXPECT_TRUE(Has(run.err, "Writing " + path + " failed (err=" + std::to_string(error) + ")\n"));
    EXPECT_EQ(system.Settings(), old);
    EXPECT_EQ(system.files.count(path + kSetupTempSuffix), 0u);
    EXPECT_EQ(CountOf(system.calls, "restart"), 0u);
  }
  {
    // A temporary file left behind is replaced, not written through.
    FakeSetupSystem system;
    system.AddDriver();
    system.SetSettings(old);
    const std::string temp = system.SettingsPath() + kSetupTempSuffix;
    system.files[temp].text = "stale";
    EXPECT_EQ(RunTool(system, {"monitors", "2"}).code, 0u);
    EXPECT_EQ(system.files.count(temp), 0u);
  }
}

TEST(SetupMonitorsTest, UnreadableOrCountlessSettings) {
  {
    FakeSetupSystem system;
    system.AddDriver();
    const ToolRun run = RunTool(system, {"repair"});
    EXPECT_EQ(run.code, 2u);
    EXPECT_EQ(run.err, system.SettingsPath() + " is not readable\n");
  }
  {
    FakeSetupSystem system;
    system.AddDriver();
    const std::string text = "<vdd_settings><count /><resolutions></resolutions></vdd_settings>";
    system.SetSettings(text);
    const ToolRun run = RunTool(system, {"monitors", "2"});
    EXPECT_EQ(run.code, 13u);
    EXPECT_EQ(run.err, system.SettingsPath() + " has no monitor count to raise\n");
    EXPECT_EQ(system.Settings(), text);
  }
}

// --- links ---

TEST(SetupLinkTest, LinkedSettingsFilesAreRefused) {
  enum class Where { kPreviousLink, kSettingsHardLink, kFolderLink };
  struct Case {
    Where where;
    const char* command;
    const char* line_end;
  };
  const Case cases[] = {
      {Where::kPreviousLink, "restart", ".orvane-previous: it is a link or has more than one name\n"},
      {Where::kPreviousLink, "repair", ".orvane-previous: it is a link or has more than one name\n"},
      {Where::kSettingsHardLink, "monitors", ": it is a link or has more than one name\n"},
      {Where::kFolderLink, "restart", ".orvane-previous: its folder is a link or junction\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    FakeSetupSystem system;
    system.AddDriver();
    const std::string old = SettingsText(1);
    system.SetSettings(old);
    system.SetPrevious(SettingsText(1, "<!-- earlier -->\n"));
    const std::string path = system.SettingsPath();
    if (c.where == Where::kPreviousLink) system.files[path + kPreviousSuffix].facts.link = true;
    if (c.where == Where::kSettingsHardLink) system.files[path].facts.link_count = 2;
    if (c.where == Where::kFolderLink) system.folder_link = true;
    std::vector<std::string> args{c.command};
    if (std::string(c.command) == "monitors") args.push_back("2");
    const ToolRun run = RunTool(system, args);
    EXPECT_EQ(run.code, 681u);
    EXPECT_TRUE(Has(run.err, "Not using " + path)) << run.err;
    EXPECT_TRUE(Has(run.err, c.line_end)) << run.err;
    EXPECT_TRUE(system.writes.empty());
    EXPECT_EQ(system.Settings(), old);
    EXPECT_EQ(CountOf(system.calls, "restart"), 0u);
  }
}

TEST(SetupExitCodeTest, OwnCodesAndZeroBecomeGeneralFailure) {
  for (const uint32_t own : {0u, 1u, 2u, 3u, 4u, 5u, 13u, 29u, 87u, 170u, 681u, 3010u, 3020u, 3021u}) {
    EXPECT_EQ(StepFailureExitCode(own), 31u) << own;
  }
  for (const uint32_t other : {6u, 31u, 112u, 1223u, 0xE0000203u}) EXPECT_EQ(StepFailureExitCode(other), other);
}

}  // namespace
}  // namespace orvane::vdd_setup
