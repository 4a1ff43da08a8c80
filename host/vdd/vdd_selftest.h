#pragma once
// The virtual display self-test ("--vdd-selftest"): the whole virtual-monitor
// path once, without a tablet. It builds the virtual display manager as the
// host does, clears what a crashed run left, acquires a virtual monitor in
// the asked mode, lists the desktop's monitors, captures frames from the new
// monitor, holds it for the asked time and releases it. The exit code says
// how far it got.
//
// The manager, the monitor list, the capture and the hold's clock come from
// the caller: the host program wires the real ones (host/app), tests a
// simulated driver world and a scripted capture.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "host/common/clock.h"
#include "host/vdd/virtual_display.h"
#include "host/vdd/virtual_display_manager.h"
#include "host/video/monitor_enumeration.h"

namespace orvane {

// Exit codes of the self-test.
inline constexpr int kVddSelfTestPassed = 0;          // acquired, and at least one frame captured
inline constexpr int kVddSelfTestNoDriver = 2;        // the Virtual Display Driver is not installed
inline constexpr int kVddSelfTestAcquireFailed = 3;   // the acquire came to kind 3 or higher
inline constexpr int kVddSelfTestNoFrame = 4;         // acquired, but no frame came from the monitor
inline constexpr int kVddSelfTestHostRunning = 5;     // a running host owns the virtual monitors

inline constexpr VirtualDisplayMode kVddSelfTestDefaultMode{2400, 1080, 60};
inline constexpr uint32_t kVddSelfTestMaxSeconds = 120;
inline constexpr uint32_t kVddSelfTestFrameAttempts = 30;
inline constexpr uint32_t kVddSelfTestFrameWaitMs = 100;
// Each number of a mode text has 1 to this many digits.
inline constexpr size_t kVddSelfTestModeDigits = 5;

// "<width>x<height>@<refresh>", each 1 to 5 decimal digits and nothing else
// around them; nullopt for any other text.
std::optional<VirtualDisplayMode> ParseVddSelfTestMode(std::string_view text);

// The mode closest to the request that the limits allow: the orientation is
// kept, the size scaled down (never up) to fit, each side held within its
// limits and made even; refresh 0 means 60, then it is held within the
// refresh limits, or taken as the closest listed rate (the higher of two
// equally close). A request with a zero side means 1920x1080 landscape.
VirtualDisplayMode FitModeToLimits(uint32_t width, uint32_t height, uint32_t refresh_hz,
                                   const VirtualDisplayModeLimits& limits);

// One frame the capture took; its buffers are already released.
struct VddSelfTestFrame {
  bool has_image = false;  // a frame with image data came back
  uint32_t width = 0;
  uint32_t height = 0;
};

// The capture front-end for the self-test's monitor, with automatic back-end
// choice.
class IVddSelfTestCapture {
 public:
  virtual ~IVddSelfTestCapture() = default;
  // Starts the capture; false when no back-end could.
  virtual bool Initialize() = 0;
  // One attempt, waiting at most wait_ms.
  virtual VddSelfTestFrame TakeFrame(uint32_t wait_ms) = 0;
  // The back-end in use: "dxgi", "wgc", "gdi", or "none".
  virtual const char* BackendName() const = 0;
};

struct VddSelfTestEnvironment {
  // Builds the manager as the host does (crash ledger in the data folder);
  // whatever the manager runs on lives as long as the pointer. Null counts as
  // no driver.
  std::function<std::shared_ptr<VirtualDisplayManager>()> make_manager;
  // The desktop's monitors now.
  VddMonitorList list_monitors;
  // A capture front-end for one desktop monitor (null: none could be made).
  std::function<std::unique_ptr<IVddSelfTestCapture>(const MonitorInfoData& monitor)> make_capture;
  // Sleeps the hold; SystemClock() when null.
  IClock* clock = nullptr;
};

// Runs the self-test with the mode text (the default mode when it is empty
// or not a mode) and the hold time in seconds (at most 120); the exit code.
int VddSelfTest(std::string_view mode_text, uint32_t seconds, const VddSelfTestEnvironment& env);

}  // namespace orvane
