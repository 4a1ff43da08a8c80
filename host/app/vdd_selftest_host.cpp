#include "host/app/vdd_selftest_host.h"

#include <memory>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/vdd/host_virtual_displays.h"
#include "host/vdd/vdd_selftest.h"
#include "host/vdd/vdd_system.h"
#include "host/video/capture_manager.h"
#include "host/video/capture_source.h"
#include "host/video/monitor_enumeration.h"

namespace orvane {

namespace {

// The capture front-end a stream uses, for one monitor, with automatic
// back-end choice and images in system memory.
class FrontEndCapture final : public IVddSelfTestCapture {
 public:
  FrontEndCapture(const MonitorInfoData& monitor, std::shared_ptr<IMonitorEnumerator> monitors)
      : capture_(CaptureBackendChoice::kAuto, SelectCaptureTarget({monitor}, monitor.id, monitor.index),
                 MakePlatformCaptureSources(), std::move(monitors)) {}

  bool Initialize() override { return capture_.Start(/*allow_gdi=*/true); }

  VddSelfTestFrame TakeFrame(uint32_t wait_ms) override {
    const CapturedFrame frame = capture_.Acquire(wait_ms, /*want_texture=*/false, SystemClock().TickMs());
    VddSelfTestFrame taken;
    taken.has_image = frame.status == CaptureStatus::kFrame && frame.HasImage();
    taken.width = frame.width;
    taken.height = frame.height;
    return taken;  // the frame's buffers go back to the source here
  }

  const char* BackendName() const override { return CaptureBackendName(capture_.ActiveKind()); }

 private:
  CaptureManager capture_;
};

}  // namespace

int RunVddSelfTestAsHost(SingleInstance& instance, const std::string& mode_text, uint32_t seconds) {
  const InstanceStatus status = instance.Acquire(/*relaunched=*/false);
  if (status == InstanceStatus::kAlreadyRunning) {
    LogError("[VddSelfTest] A running host owns the virtual monitors; stop it first");
    return kVddSelfTestHostRunning;
  }
  if (status != InstanceStatus::kOwner) {
    // Whether a host runs is unknown: its monitors and ledger are left alone.
    LogError("[VddSelfTest] The single-instance lock could not be taken (%s); not touching the virtual monitors",
             InstanceStatusName(status));
    return kVddSelfTestHostRunning;
  }

  // The desktop scanner is set before any enumerator is made.
  vdd::UseSimulatedDesktopWhenPresent();
  const std::shared_ptr<IMonitorEnumerator> monitors(MakePlatformMonitorEnumerator());

  VddSelfTestEnvironment env;
  env.make_manager = [] {
    auto displays = std::make_shared<HostVirtualDisplays>(SystemClock());
    return std::shared_ptr<VirtualDisplayManager>(displays, &displays->manager());
  };
  env.list_monitors = [monitors] { return monitors->EnumerateMonitors(); };
  env.make_capture = [monitors](const MonitorInfoData& monitor) -> std::unique_ptr<IVddSelfTestCapture> {
    return std::make_unique<FrontEndCapture>(monitor, monitors);
  };
  env.clock = &SystemClock();
  return VddSelfTest(mode_text, seconds, env);
}

}  // namespace orvane
