#pragma once
// Monitor enumeration: which monitors the desktop has.
//
// Every user of the monitor list (the monitor list sent to a tablet, the
// capture target choice, the virtual display back-end) calls one operation,
// EnumerateMonitors, which returns a fresh list each time; nothing is cached.
// The platform scan (Windows: GDI monitors and the DXGI outputs that drive
// them; Linux: the X server's RandR monitors) sits behind a small seam; the
// list is completed here: indices, the output map, refresh rates, the count
// line. Without a desktop to read (Linux without an X display) the list is
// the synthetic monitor.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"

namespace orvane {

// The host-side monitor record; the wire record MonitorInfo is filled from it.
struct MonitorInfoData {
  std::string id;            // GDI device name of the display source ("\\.\DISPLAY1")
  std::string display_name;  // the attached monitor's description; the id when unknown
  int32_t x = 0;             // top-left corner in virtual-desktop pixels
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool primary = false;
  uint32_t refresh_rate = 60;  // Hz; 60 when the current settings cannot be read
  bool hdr = false;
  uint32_t index = 0;  // position in the list
  bool has_output = false;
  uint32_t adapter_index = 0;
  uint32_t output_index = 0;
  uint64_t adapter_luid = 0;
  // The platform's handle of the monitor when it was enumerated (HMONITOR on
  // Windows, the monitor's name atom on Linux); 0 when there is none.
  uintptr_t handle = 0;
};

class IMonitorEnumerator {
 public:
  virtual ~IMonitorEnumerator() = default;
  // Never fails; an empty list means no monitor could be read. Safe to call
  // from several threads at once.
  virtual std::vector<MonitorInfoData> EnumerateMonitors() = 0;
};

// One synthetic primary monitor, 1920 x 1080 at 60 Hz at the origin, with the
// id of the first display source. It models what the core relies on: a
// non-empty list with exactly one primary entry.
class SyntheticMonitorEnumerator final : public IMonitorEnumerator {
 public:
  static constexpr const char* kMonitorId = "\\\\.\\DISPLAY1";
  static constexpr const char* kDisplayName = "Synthetic Display";
  std::vector<MonitorInfoData> EnumerateMonitors() override;
};

// The enumeration the host uses on this platform.
std::unique_ptr<IMonitorEnumerator> MakePlatformMonitorEnumerator();

// ----------------------------------------------------------------- choice

struct MonitorChoice {
  std::optional<MonitorInfoData> monitor;  // none for an empty list
  std::string matched_by;                  // "id", "index", "primary", "first" or "none"
  bool exact = false;
};

// A non-empty requested id picks that monitor (the index is not considered);
// an empty id picks the monitor of the requested index. Without an exact
// match: the first primary monitor, else the first one.
MonitorChoice ChooseMonitor(const std::vector<MonitorInfoData>& monitors, const std::string& requested_id,
                            uint32_t requested_index);

// ------------------------------------------------------- platform seam

// A DXGI output and the adapter that drives it (Windows).
struct MonitorOutputRecord {
  std::string device_name;
  uint32_t adapter_index = 0;
  uint32_t output_index = 0;
  uint64_t adapter_luid = 0;  // 0 when the adapter's description could not be read
  bool hdr = false;
};

// What the platform scan read. Monitors carry their raw refresh rate (0 when
// it could not be read) and need no index; outputs are in enumeration order.
struct DesktopScan {
  std::vector<MonitorInfoData> monitors;
  std::vector<MonitorOutputRecord> outputs;
};

// The platform scan; nullopt when this machine has no desktop to read.
std::optional<DesktopScan> ScanDesktopMonitors();

// A desktop that stands in for the platform's (the world of a simulated
// display driver): once set, the platform enumerator scans it instead of
// ScanDesktopMonitors. Set at start, before any enumerator is made; an empty
// function goes back to the platform.
void SetDesktopScanner(std::function<std::optional<DesktopScan>()> scanner);

// The rate reported to tablets and setup checks: 0 and 1 (unreadable or
// "hardware default") become 60.
uint32_t NormalizeRefreshRate(uint32_t hz);

// The list from a scan: indices in order, refresh rates normalised, and each
// monitor matched to the first output of its device name (has output,
// adapter and output index, LUID, hdr).
std::vector<MonitorInfoData> CompleteMonitorList(DesktopScan scan);

// The enumerator over a scan function (the platform's, or a test's).
// A scan without a desktop gives the synthetic monitor. Every enumeration
// writes the count line (LogMonitorCount) on the clock's tick.
class ScanningMonitorEnumerator final : public IMonitorEnumerator {
 public:
  using ScanFunction = std::function<std::optional<DesktopScan>()>;
  // clock: SystemClock() when null.
  explicit ScanningMonitorEnumerator(ScanFunction scan, IClock* clock = nullptr);
  std::vector<MonitorInfoData> EnumerateMonitors() override;

 private:
  ScanFunction scan_;
  IClock& clock_;
};

// ---------------------------------------------------------- count line

inline constexpr uint64_t kMonitorCountLogIntervalMs = 60'000;

// Writes "[MonitorEnum] Found %zu monitors" when the list's signature (count
// and ids) differs from the one logged last or 60 s passed since; the last
// signature and time are process-wide.
void LogMonitorCount(const std::vector<MonitorInfoData>& monitors, uint64_t now_ms);
void ResetMonitorCountLogForTest();

}  // namespace orvane
