#pragma once
// Monitor enumeration: which monitors the desktop has.
//
// Every user of the monitor list (the monitor list sent to a tablet, the
// capture target choice, the virtual display back-end) calls one operation,
// EnumerateMonitors, which returns a fresh list each time; nothing is cached.
// The platform enumeration sits behind IMonitorEnumerator so that the core is
// tested with fixed lists; until the capture back-ends bring the real desktop
// enumeration, both builds use the synthetic stand-in below.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

}  // namespace orvane
