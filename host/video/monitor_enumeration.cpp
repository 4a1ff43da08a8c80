#include "host/video/monitor_enumeration.h"

#include <mutex>
#include <unordered_map>

#include "host/common/logger.h"

namespace orvane {

std::vector<MonitorInfoData> SyntheticMonitorEnumerator::EnumerateMonitors() {
  MonitorInfoData monitor;
  monitor.id = kMonitorId;
  monitor.display_name = kDisplayName;
  monitor.width = 1920;
  monitor.height = 1080;
  monitor.primary = true;
  monitor.refresh_rate = 60;
  monitor.index = 0;
  monitor.handle = 1;
  return {monitor};
}

namespace {

std::mutex g_scanner_mu;
std::function<std::optional<DesktopScan>()> g_scanner;

}  // namespace

void SetDesktopScanner(std::function<std::optional<DesktopScan>()> scanner) {
  std::lock_guard<std::mutex> lock(g_scanner_mu);
  g_scanner = std::move(scanner);
}

std::unique_ptr<IMonitorEnumerator> MakePlatformMonitorEnumerator() {
  std::lock_guard<std::mutex> lock(g_scanner_mu);
  if (g_scanner) return std::make_unique<ScanningMonitorEnumerator>(g_scanner);
  return std::make_unique<ScanningMonitorEnumerator>(&ScanDesktopMonitors);
}

// ----------------------------------------------------------------- choice

MonitorChoice ChooseMonitor(const std::vector<MonitorInfoData>& monitors, const std::string& requested_id,
                            uint32_t requested_index) {
  MonitorChoice choice;
  if (monitors.empty()) {
    choice.matched_by = "none";
    return choice;
  }
  if (!requested_id.empty()) {
    for (const MonitorInfoData& m : monitors) {
      if (m.id == requested_id) {
        choice.monitor = m;
        choice.matched_by = "id";
        choice.exact = true;
        return choice;
      }
    }
  } else {
    for (const MonitorInfoData& m : monitors) {
      if (m.index == requested_index) {
        choice.monitor = m;
        choice.matched_by = "index";
        choice.exact = true;
        return choice;
      }
    }
  }
  for (const MonitorInfoData& m : monitors) {
    if (m.primary) {
      choice.monitor = m;
      choice.matched_by = "primary";
      return choice;
    }
  }
  choice.monitor = monitors.front();
  choice.matched_by = "first";
  return choice;
}

// ------------------------------------------------------- platform seam

uint32_t NormalizeRefreshRate(uint32_t hz) { return hz <= 1 ? 60 : hz; }

std::vector<MonitorInfoData> CompleteMonitorList(DesktopScan scan) {
  // The first output recorded for a device name wins.
  std::unordered_map<std::string, const MonitorOutputRecord*> outputs;
  for (const MonitorOutputRecord& o : scan.outputs) outputs.emplace(o.device_name, &o);
  std::vector<MonitorInfoData> list = std::move(scan.monitors);
  for (size_t i = 0; i < list.size(); ++i) {
    MonitorInfoData& m = list[i];
    m.index = static_cast<uint32_t>(i);
    m.refresh_rate = NormalizeRefreshRate(m.refresh_rate);
    if (m.display_name.empty()) m.display_name = m.id;
    const auto it = outputs.find(m.id);
    if (it == outputs.end()) {
      m.has_output = false;
      m.adapter_index = 0;
      m.output_index = 0;
      m.adapter_luid = 0;
      m.hdr = false;
      continue;
    }
    m.has_output = true;
    m.adapter_index = it->second->adapter_index;
    m.output_index = it->second->output_index;
    m.adapter_luid = it->second->adapter_luid;
    m.hdr = it->second->hdr;
  }
  return list;
}

ScanningMonitorEnumerator::ScanningMonitorEnumerator(ScanFunction scan, IClock* clock)
    : scan_(std::move(scan)), clock_(clock ? *clock : SystemClock()) {}

std::vector<MonitorInfoData> ScanningMonitorEnumerator::EnumerateMonitors() {
  std::optional<DesktopScan> scan = scan_ ? scan_() : std::nullopt;
  std::vector<MonitorInfoData> list =
      scan ? CompleteMonitorList(std::move(*scan)) : SyntheticMonitorEnumerator().EnumerateMonitors();
  LogMonitorCount(list, clock_.TickMs());
  return list;
}

// ---------------------------------------------------------- count line

namespace {

struct CountLog {
  std::mutex mu;
  bool logged = false;
  std::string signature;
  uint64_t last_ms = 0;
};

CountLog& CountLogState() {
  static CountLog* state = new CountLog();  // never destroyed: enumerations may run during exit
  return *state;
}

}  // namespace

void LogMonitorCount(const std::vector<MonitorInfoData>& monitors, uint64_t now_ms) {
  std::string signature = std::to_string(monitors.size());
  for (const MonitorInfoData& m : monitors) {
    signature += '|';
    signature += m.id;
  }
  CountLog& state = CountLogState();
  {
    std::lock_guard<std::mutex> lock(state.mu);
    if (state.logged && state.signature == signature && now_ms - state.last_ms < kMonitorCountLogIntervalMs) return;
    state.logged = true;
    state.signature = std::move(signature);
    state.last_ms = now_ms;
  }
  LogInfo("[MonitorEnum] Found %zu monitors", monitors.size());
}

void ResetMonitorCountLogForTest() {
  CountLog& state = CountLogState();
  std::lock_guard<std::mutex> lock(state.mu);
  state.logged = false;
  state.signature.clear();
  state.last_ms = 0;
}

}  // namespace orvane
