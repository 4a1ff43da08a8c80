#include "setup_tool/setup_commands.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "vdd_settings/settings_text.h"
#include "vdd_settings/vdd_settings.h"

#if defined(__MINGW32__)
#define SETUP_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define SETUP_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

namespace orvane::vdd_setup {

namespace {

constexpr char kHardwareId[] = "Root\\TvrVDD";
constexpr char kShortHardwareId[] = "TvrVDD";
constexpr char kMonitorNodePrefix[] = "DISPLAY\\";
constexpr char kNotInstalledLine[] = "Virtual Display Driver device not installed\n";

std::string Format(const char* format, ...) SETUP_PRINTF(1, 2);
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsDriverDevice(const ClassDevice& device) {
  for (const std::string& id : device.hardware_ids) {
    if (EqualsNoCase(id, kHardwareId) || EqualsNoCase(id, kShortHardwareId)) return true;
  }
  return false;
}

// Earlier settings that hold nothing but white space bring nothing back:
// restoring them would leave the driver an empty settings file.
bool UsablePrevious(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f' && c != '\v'; });
}

uint32_t MonitorCountOr1(std::string_view text) {
  uint32_t count = 0;
  return tvr_vdd::ReadMonitorCount(text, &count) ? count : 1;
}

unsigned long long Wide(uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace

uint32_t StepFailureExitCode(uint32_t error) {
  static constexpr uint32_t kOwnCodes[] = {
      kExitDone,        kExitNotInstalled,   kExitExistsOrUnreadable, kExitInfNotFound, kExitNotStarted,
      kExitNotElevated, kExitNoCountToRaise, kExitPreviousNotSaved,   kExitUsage,       kExitBusy,
      kExitLinkRefused, kExitRebootRequired, kExitRolledBack,         kExitNoMonitor};
  for (const uint32_t own : kOwnCodes) {
    if (error == own) return kErrorGenFailure;
  }
  return error;
}

ParsedCommand ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommand parsed;
  if (args.empty()) return parsed;
  const std::string first = LowerAscii(args[0]);
  const size_t extra = args.size() - 1;
  if (first == "help" || first == "/?" || first == "-h" || first == "--help") {
    if (extra == 0) parsed.kind = CommandKind::kHelp;
  } else if (first == "status") {
    if (extra == 0) parsed.kind = CommandKind::kStatus;
  } else if (first == "install") {
    if (extra == 1 && !args[1].empty()) {
      parsed.kind = CommandKind::kInstall;
      parsed.inf_path = args[1];
    }
  } else if (first == "remove") {
    if (extra == 0) parsed.kind = CommandKind::kRemove;
  } else if (first == "restart") {
    if (extra == 0) parsed.kind = CommandKind::kRestart;
  } else if (first == "monitors") {
    if (extra == 1 && args[1].size() == 1 && args[1][0] >= '1' && args[1][0] <= '4') {
      parsed.kind = CommandKind::kMonitors;
      parsed.monitor_count = static_cast<uint32_t>(args[1][0] - '0');
    }
  } else if (first == "repair") {
    if (extra == 0) parsed.kind = CommandKind::kRepair;
  }
  return parsed;
}

uint32_t SetupCommands::Run(const std::vector<std::string>& args) {
  const ParsedCommand command = ParseCommandLine(args);
  switch (command.kind) {
    case CommandKind::kInvalid:
      Err(kUsageLine);
      return kExitUsage;
    case CommandKind::kHelp:
      Out(kUsageLine);
      return kExitDone;
    case CommandKind::kStatus:
      return Status();
    default:
      break;
  }
  if (!system_.IsElevated()) {
    Err(Format("OrvaneVddSetup %s needs administrator rights. Run it from an elevated prompt, or use the Orvane "
               "Display tray item \"Apply virtual display resolutions\".\n",
               args[0].c_str()));
    return kExitNotElevated;
  }
  uint32_t lock_error = kErrorSuccess;
  switch (system_.AcquireRunLock(&lock_error)) {
    case RunLock::kHeld:
      break;
    case RunLock::kBusy:
      Err("Another OrvaneVddSetup run is changing the Virtual Display Driver; try again when it has finished\n");
      return kExitBusy;
    case RunLock::kFailed:
      Err(Format("Taking the OrvaneVddSetup run lock failed (err=%d)\n", static_cast<int>(lock_error)));
      return StepFailureExitCode(lock_error);
  }
  switch (command.kind) {
    case CommandKind::kInstall:
      return Install(command.inf_path);
    case CommandKind::kRemove:
      return Remove();
    case CommandKind::kRestart:
      return Restart();
    case CommandKind::kMonitors:
      return Monitors(command.monitor_count);
    case CommandKind::kRepair:
      return Monitors(0);
    default:
      Err(kUsageLine);
      return kExitUsage;
  }
}

// --- devices ---

SetupCommands::Listing SetupCommands::ListDriverDevices(bool present_only) {
  Listing listing;
  std::vector<ClassDevice> devices;
  listing.result = system_.ListDisplayDevices(present_only, &devices);
  if (!listing.result.ok) {
    Err(Format("Listing the display devices failed (err=%d)\n", static_cast<int>(listing.result.error)));
    return listing;
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    if (IsDriverDevice(devices[i])) listing.devices.push_back({i, std::move(devices[i])});
  }
  return listing;
}

bool SetupCommands::NodeRunning(size_t index, uint32_t* problem) {
  NodeStatus node;
  if (!system_.ReadNodeStatus(index, &node).ok) return false;
  if (problem != nullptr) *problem = (node.status & kNodeHasProblem) != 0 ? node.problem : 0;
  return (node.status & kNodeStarted) != 0 && (node.status & kNodeHasProblem) == 0;
}

uint32_t SetupCommands::Status() {
  const Listing listing = ListDriverDevices(false);
  if (!listing.result.ok) return StepFailureExitCode(listing.result.error);
  bool any_present = false;
  for (const DriverDevice& d : listing.devices) {
    Out(Format("Virtual Display Driver device %s (%s, driver %s)\n", d.device.instance_id.c_str(),
               d.device.present ? "present" : "not present",
               d.device.inf_path.empty() ? "-" : d.device.inf_path.c_str()));
    any_present = any_present || d.device.present;
  }
  if (!any_present) {
    Out(kNotInstalledLine);
    return kExitNotInstalled;
  }
  return kExitDone;
}

uint32_t SetupCommands::Install(const std::string& inf_path) {
  std::string full;
  if (!system_.FullPath(inf_path, &full) || !system_.FileExists(full)) {
    Err(Format("INF not found: %s\n", inf_path.c_str()));
    return kExitInfNotFound;
  }
  const uint32_t status = Status();
  if (status == kExitDone) {
    Out("A Virtual Display Driver device already exists; leaving it as is.\n");
    return kExitExistsOrUnreadable;
  }
  if (status != kExitNotInstalled) return status;  // the listing failed: nothing is known
  const CreateAnswer created = system_.CreateDevice();
  if (created.failed_step != CreateStep::kDone) {
    Err(Format("Creating the Root\\TvrVDD device failed (err=%d)\n", static_cast<int>(created.error)));
    return StepFailureExitCode(created.error);
  }
  Out("Created the Root\\TvrVDD device\n");
  bool reboot = false;
  const SysResult installed = system_.UpdateDriver(full, &reboot);
  if (!installed.ok) {
    Err(Format("Installing %s failed (err=0x%08X); removing the device again\n", full.c_str(),
               static_cast<unsigned>(installed.error)));
    const SysResult removed = system_.RemoveCreatedDevice();
    if (!removed.ok) Err(Format("Removing the new device failed (err=%d)\n", static_cast<int>(removed.error)));
    return StepFailureExitCode(installed.error);
  }
  Out(Format("Installed the Virtual Display Driver%s\n", reboot ? " (restart required)" : ""));
  return reboot ? kExitRebootRequired : kExitDone;
}

uint32_t SetupCommands::Remove() {
  const Listing listing = ListDriverDevices(false);
  if (!listing.result.ok) return StepFailureExitCode(listing.result.error);
  bool failed = false;
  uint32_t failure = kErrorSuccess;
  bool reboot = false;
  std::vector<std::string> packages;
  for (const DriverDevice& d : listing.devices) {
    bool needs_reboot = false;
    const SysResult removed = system_.UninstallDevice(d.index, &needs_reboot);
    if (removed.ok) {
      Out(Format("Removed device %s\n", d.device.instance_id.c_str()));
      reboot = reboot || needs_reboot;
    } else {
      Err(Format("Removing device %s failed (err=%d)\n", d.device.instance_id.c_str(),
                 static_cast<int>(removed.error)));
      failed = true;
      failure = removed.error;
    }
    const std::string& inf = d.device.inf_path;
    if (StartsWithNoCase(inf, "oem") &&
        std::none_of(packages.begin(), packages.end(), [&](const std::string& p) { return EqualsNoCase(p, inf); })) {
      packages.push_back(inf);
    }
  }
  for (const std::string& inf : packages) {
    const SysResult deleted = system_.UninstallOemInf(inf);
    if (deleted.ok) {
      Out(Format("Deleted driver package %s\n", inf.c_str()));
    } else {
      Err(Format("Deleting driver package %s failed (err=%lu)\n", inf.c_str(),
                 static_cast<unsigned long>(deleted.error)));
    }
  }
  if (listing.devices.empty()) Out("No Virtual Display Driver device found\n");
  if (failed) return StepFailureExitCode(failure);
  return reboot ? kExitRebootRequired : kExitDone;
}

uint32_t SetupCommands::RestartDevices() {
  const Listing listing = ListDriverDevices(true);
  if (!listing.result.ok) return StepFailureExitCode(listing.result.error);
  size_t present = 0;
  bool failed = false;
  uint32_t failure = kErrorSuccess;
  bool reboot = false;
  bool not_started = false;
  for (const DriverDevice& d : listing.devices) {
    if (!d.device.present) continue;
    ++present;
    const char* id = d.device.instance_id.c_str();
    NodeStatus node;
    if (system_.ReadNodeStatus(d.index, &node).ok && (node.status & kNodeHasProblem) != 0 &&
        node.problem == kProblemDisabled) {
      Out(Format("Device %s is disabled in Device Manager; not restarting it\n", id));
      not_started = true;
      continue;
    }
    const RestartAnswer answer = system_.RestartDevice(d.index);
    if (!answer.result.ok) {
      Err(Format("Restarting device %s failed (err=0x%08X)\n", id, static_cast<unsigned>(answer.result.error)));
      failed = true;
      failure = answer.result.error;
      continue;
    }
    if (answer.needs_restart || answer.needs_reboot) {
      Out(Format("Device %s restarts after Windows restarts\n", id));
      reboot = true;
      continue;
    }
    const uint64_t start = system_.TickMs();
    for (;;) {
      uint32_t problem = 0;
      if (NodeRunning(d.index, &problem)) {
        Out(Format("Restarted device %s\n", id));
        break;
      }
      if (system_.TickMs() - start >= kDeviceStartLimitMs) {
        Err(Format("Device %s did not start again (problem code %lu)\n", id, static_cast<unsigned long>(problem)));
        not_started = true;
        break;
      }
      system_.SleepMs(kDeviceStartPollMs);
    }
  }
  if (present == 0) {
    Out(kNotInstalledLine);
    return kExitNotInstalled;
  }
  if (failed) return StepFailureExitCode(failure);
  if (reboot) return kExitRebootRequired;
  return not_started ? kExitNotStarted : kExitDone;
}

MonitorCount SetupCommands::CountDriverMonitors() {
  MonitorCount count;
  std::vector<ClassDevice> devices;
  if (!system_.ListDisplayDevices(true, &devices).ok) return count;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!IsDriverDevice(devices[i]) || !devices[i].present || !NodeRunning(i, nullptr)) continue;
    count.running = true;
    std::vector<ChildNode> children;
    if (!system_.ListChildNodes(i, &children).ok) continue;
    for (const ChildNode& child : children) {
      if (child.status_known && StartsWithNoCase(child.instance_id, kMonitorNodePrefix)) ++count.monitors;
    }
  }
  return count;
}

MonitorWait SetupCommands::WaitForMonitors(std::string_view settings_text) {
  const uint32_t expected = MonitorCountOr1(settings_text);
  const uint64_t start = system_.TickMs();
  MonitorWait result = MonitorWait::kNone;
  uint32_t monitors = 0;
  uint64_t elapsed = 0;
  for (;;) {
    elapsed = system_.TickMs() - start;
    monitors = CountDriverMonitors().monitors;
    if (monitors >= expected && monitors >= 1) {
      result = MonitorWait::kOk;
      break;
    }
    if (elapsed > kMonitorWaitLimitMs) {
      result = monitors == 0 ? MonitorWait::kNone : MonitorWait::kPartial;
      break;
    }
    system_.SleepMs(kMonitorPollMs);
  }
  Out(Format("Virtual Display Driver monitors: %u of %u after %llu ms\n", static_cast<unsigned>(monitors),
             static_cast<unsigned>(expected), Wide(elapsed)));
  return result;
}

uint32_t SetupCommands::RestartAndVerify(bool have_previous, const std::string& previous) {
  uint32_t r = RestartDevices();
  if (r != kExitDone) return r;
  const std::string path = SettingsPath();
  const Settings current = ReadSettingsFile(path);
  if (current.refused) return kExitLinkRefused;
  const std::string current_text = current.status == ReadStatus::kOk ? current.text : std::string();
  if (WaitForMonitors(current_text) != MonitorWait::kNone) {
    DeletePrevious(path);
    return kExitDone;
  }
  if (!have_previous || !UsablePrevious(previous) || previous == current_text) {
    Err("The Virtual Display Driver runs without a monitor and there are no earlier settings to go back to\n");
    return kExitNoMonitor;
  }
  Err(Format("The Virtual Display Driver runs without a monitor with the new settings; restoring the previous %s\n",
             path.c_str()));
  // The rejected text is kept beside the file, so that going back never
  // loses what was there.
  if (current.status != ReadStatus::kAbsent) {
    const std::string rejected = path + kRejectedSuffix;
    if (current.status != ReadStatus::kOk) {
      Err(Format("%s cannot be read whole to keep a copy; not changing it\n", path.c_str()));
      return kExitPreviousNotSaved;
    }
    const Written saved = WriteSettingsFile(rejected, current.text);
    if (saved.refused) return kExitLinkRefused;
    if (!saved.ok) {
      Err(Format("Saving the rejected settings as %s failed (err=%d); not changing %s\n", rejected.c_str(),
                 static_cast<int>(saved.error), path.c_str()));
      return kExitPreviousNotSaved;
    }
  }
  const Written restored = WriteSettingsFile(path, previous);
  if (restored.refused) return kExitLinkRefused;
  if (!restored.ok) {
    Err(Format("Restoring %s failed (err=%d)\n", path.c_str(), static_cast<int>(restored.error)));
    return kExitNoMonitor;
  }
  r = RestartDevices();
  if (r != kExitDone) return r;
  if (WaitForMonitors(previous) == MonitorWait::kNone) {
    Err("The previous settings bring no monitor back either\n");
    return kExitNoMonitor;
  }
  DeletePrevious(path);
  Out("Restored the previous settings; the driver shows its monitors again\n");
  return kExitRolledBack;
}

uint32_t SetupCommands::Restart() {
  const Settings previous = ReadSettingsFile(SettingsPath() + kPreviousSuffix);
  if (previous.refused) return kExitLinkRefused;
  return RestartAndVerify(previous.status == ReadStatus::kOk, previous.text);
}

uint32_t SetupCommands::Monitors(uint32_t count) {
  const std::string path = SettingsPath();
  const std::string previous_path = path + kPreviousSuffix;
  const Settings old = ReadSettingsFile(path);
  if (old.refused) return kExitLinkRefused;
  if (old.status != ReadStatus::kOk) {
    Err(Format("%s is not readable\n", path.c_str()));
    return kExitExistsOrUnreadable;
  }
  const uint32_t old_count = MonitorCountOr1(old.text);
  std::string text = old.text;
  if (count != 0) {
    tvr_vdd::MonitorCountResult raised = tvr_vdd::SetMonitorCount(text, count);
    if (raised.outcome == tvr_vdd::MonitorCountOutcome::kNoCountElement ||
        raised.outcome == tvr_vdd::MonitorCountOutcome::kInvalidCount) {
      Err(Format("%s has no monitor count to raise\n", path.c_str()));
      return kExitNoCountToRaise;
    }
    text = std::move(raised.text);
    // The monitors the driver had before the host first raised the count
    // stay the user's own; a failure here only leaves that check off.
    uint32_t first = 0;
    if (!system_.ReadFirstOrvaneMonitor(&first).ok) system_.WriteFirstOrvaneMonitor(old_count);
  }
  tvr_vdd::RepairResult repaired = tvr_vdd::RepairTabletSizes(text, kRepairRefreshHz);
  Out(Format("%s: %llu -> %llu modes (budget %llu), %u tablet size(s) removed, %u added\n", path.c_str(),
             Wide(repaired.modes_before), Wide(repaired.modes_after), Wide(tvr_vdd::kModeBudget),
             static_cast<unsigned>(repaired.entries_removed), static_cast<unsigned>(repaired.sizes_added)));
  if (repaired.modes_after > tvr_vdd::kModeBudget) {
    Err(Format("%s still lists more modes than the driver handles; its own resolutions or refresh rates are left as "
               "they are\n",
               path.c_str()));
  }
  text = std::move(repaired.text);

  if (text == old.text) {
    const MonitorCount now = CountDriverMonitors();
    if (now.running && now.monitors == 0) {
      Out("The Virtual Display Driver runs without a monitor; restarting it\n");
      const Settings previous = ReadSettingsFile(previous_path);
      if (previous.refused) return kExitLinkRefused;
      return RestartAndVerify(previous.status == ReadStatus::kOk, previous.text);
    }
    Out(Format("%s already lists %u monitor(s) and the tablet sizes\n", path.c_str(),
               static_cast<unsigned>(old_count)));
    return kExitDone;
  }

  // ".orvane-previous" holds the file as it was before the first change not
  // yet confirmed by a restart: an existing one is that state and stays.
  Settings previous = ReadSettingsFile(previous_path);
  if (previous.refused) return kExitLinkRefused;
  if (previous.status == ReadStatus::kAbsent) {
    const Written saved = WriteSettingsFile(previous_path, old.text);
    if (saved.refused) return kExitLinkRefused;
    if (!saved.ok) {
      Err(Format("Saving the previous settings failed (err=%lu); not changing %s\n",
                 static_cast<unsigned long>(saved.error), path.c_str()));
      return kExitPreviousNotSaved;
    }
    previous.status = ReadStatus::kOk;
    previous.text = old.text;
  }
  const Written written = WriteSettingsFile(path, text);
  if (written.refused) return kExitLinkRefused;
  if (!written.ok) {
    // The write goes through a temporary file and a move, so a failure left
    // the settings file as it was.
    Err(Format("Writing %s failed (err=%d)\n", path.c_str(), static_cast<int>(written.error)));
    return StepFailureExitCode(written.error);
  }
  uint32_t new_count = old_count;
  tvr_vdd::ReadMonitorCount(text, &new_count);
  Out(Format("Updated %s: monitors %u -> %u\n", path.c_str(), static_cast<unsigned>(old_count),
             static_cast<unsigned>(new_count)));
  return RestartAndVerify(previous.status == ReadStatus::kOk, previous.text);
}

// --- files ---

std::string SetupCommands::SettingsPath() { return tvr_vdd::SettingsFileInFolder(system_.SettingsFolder()); }

bool SetupCommands::Refused(const std::string& path, const FileFacts& facts) {
  if (facts.folder_link) {
    Err(Format("Not using %s: its folder is a link or junction\n", path.c_str()));
    return true;
  }
  if (facts.exists && (facts.link || facts.link_count > 1)) {
    Err(Format("Not using %s: it is a link or has more than one name\n", path.c_str()));
    return true;
  }
  return false;
}

SetupCommands::Settings SetupCommands::ReadSettingsFile(const std::string& path) {
  Settings settings;
  FileRead read = system_.ReadWholeFile(path, tvr_vdd::kMaxSettingsFileBytes);
  if (read.status != ReadStatus::kAbsent && Refused(path, read.facts)) {
    settings.refused = true;
    return settings;
  }
  settings.status = read.status;
  if (read.status == ReadStatus::kOk && !read.facts.regular) settings.status = ReadStatus::kUnreadable;
  if (settings.status == ReadStatus::kOk) settings.text = std::move(read.text);
  return settings;
}

SetupCommands::Written SetupCommands::WriteSettingsFile(const std::string& path, std::string_view text) {
  if (Refused(path, system_.ProbeFile(path))) return {false, true, kErrorStoppedOnSymlink};
  const std::string temp = path + kSetupTempSuffix;
  // A temporary file left by an interrupted run (or planted) goes first;
  // the new one is created afresh, never opened through a name that exists.
  if (system_.ProbeFile(temp).exists) {
    const SysResult removed = system_.RemoveFile(temp);
    if (!removed.ok) return {false, false, removed.error};
  }
  SysResult result = system_.WriteNewFile(temp, text);
  if (result.ok) result = system_.MoveReplacing(temp, path);
  if (!result.ok) system_.RemoveFile(temp);
  return {result.ok, false, result.error};
}

void SetupCommands::DeletePrevious(const std::string& settings_path) {
  const std::string previous = settings_path + kPreviousSuffix;
  const SysResult removed = system_.RemoveFile(previous);
  if (!removed.ok && removed.error != kErrorFileNotFound && removed.error != kErrorPathNotFound) {
    Err(Format("Deleting %s failed (err=%d)\n", previous.c_str(), static_cast<int>(removed.error)));
  }
}

}  // namespace orvane::vdd_setup
