#include "host/vdd/vdd_selftest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/vdd/host_virtual_displays.h"
#include "host/vdd/sim_vdd_system.h"
#include "host/vdd/vdd_ledger.h"
#include "host/vdd/vdd_requests.h"
#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane {
namespace {

using sim_vdd::SimLink;
using sim_vdd::SimVddWorld;
using testing::LogCapture;

std::string Text(const VirtualDisplayMode& m) {
  return std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.refresh_hz);
}

// --------------------------------------------------------------- modes

TEST(VddSelfTestMode, OnlyDigitsXDigitsAtDigitsIsAMode) {
  struct Case {
    const char* text;
    std::optional<std::string> mode;
  };
  const Case cases[] = {
      {"2400x1080@60", "2400x1080@60"},
      {"1600x2560@0", "1600x2560@0"},
      {"0x1080@60", "0x1080@60"},
      {"99999x99999@99999", "99999x99999@99999"},
      {"00001x2@3", "1x2@3"},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"1920x1080@60abc", std::nullopt},
      {"-1x1080@60", std::nullopt},
      {"123456x1@1", std::nullopt},
      {"1x123456@1", std::nullopt},
      {"1x1@123456", std::nullopt},
      {"+1920x1080@60", std::nullopt},
      {" 1920x1080@60", std::nullopt},
      {"1920x1080@60 ", std::nullopt},
      {"1920X1080@60", std::nullopt},
      {"1920x1080", std::nullopt},
      {"1920x1080@", std::nullopt},
      {"x1080@60", std::nullopt},
      {"1920x@60", std::nullopt},
      {"1920x1080x60@60", std::nullopt},
      {"1920x1080@60@60", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<VirtualDisplayMode> mode = ParseVddSelfTestMode(c.text);
    ASSERT_EQ(mode.has_value(), c.mode.has_value());
    if (mode) {
      EXPECT_EQ(Text(*mode), *c.mode);
    }
  }
}

TEST(VddSelfTestMode, FitModeToLimits) {
  const VirtualDisplayModeLimits driver;  // 640x480..7680x4320, 24..240 Hz
  VirtualDisplayModeLimits small;
  small.max_width = 1920;
  small.max_height = 1080;
  VirtualDisplayModeLimits listed;
  listed.refresh_rates = {30, 60, 90};
  VirtualDisplayModeLimits inverted;  // a maximum refresh below the minimum
  inverted.min_refresh_hz = 60;
  inverted.max_refresh_hz = 30;
  VirtualDisplayModeLimits no_minimum;
  no_minimum.min_refresh_hz = 0;
  struct Case {
    uint32_t width, height, refresh;
    const VirtualDisplayModeLimits* limits;
    const char* fitted;
  };
  const Case cases[] = {
      {2400, 1080, 60, &driver, "2400x1080@60"},
      {1600, 2560, 0, &driver, "1600x2560@60"},
      {0, 1080, 60, &driver, "1920x1080@60"},
      {2560, 0, 60, &driver, "1920x1080@60"},
      {8000, 4500, 300, &driver, "7680x4320@240"},
      {4500, 8000, 10, &driver, "4320x7680@24"},
      {100, 50, 60, &driver, "640x480@60"},
      {1921, 1081, 60, &driver, "1920x1080@60"},
      {3840, 3840, 60, &driver, "3840x3840@60"},
      {2560, 1600, 60, &small, "1728x1080@60"},
      {1600, 2560, 60, &small, "1080x1728@60"},
      {1920, 1080, 75, &listed, "1920x1080@90"},
      {1920, 1080, 45, &listed, "1920x1080@60"},
      {1920, 1080, 0, &listed, "1920x1080@60"},
      {1920, 1080, 200, &listed, "1920x1080@90"},
      {1920, 1080, 1, &listed, "1920x1080@30"},
      {1920, 1080, 144, &inverted, "1920x1080@60"},
      {1920, 1080, 20, &inverted, "1920x1080@60"},
      {1920, 1080, 0, &no_minimum, "1920x1080@60"},
      {1920, 1080, 1, &no_minimum, "1920x1080@1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "@" + std::to_string(c.refresh));
    EXPECT_EQ(Text(FitModeToLimits(c.width, c.height, c.refresh, *c.limits)), c.fitted);
  }
}

// ------------------------------------------------------- over a world

// The driver's settings file is not edited here.
class NoVddRequests final : public IVddRequests {
 public:
  void RequestResolution(const std::string&, const VirtualDisplayMode&, const VirtualDisplayMode&) override {}
  bool RequestMonitorCount(const std::string&, uint32_t, uint32_t, std::string* message) override {
    message->clear();
    return false;
  }
  void Offered(const VirtualDisplayMode&) override {}
};

// What the capture of the self-test's monitor does: whether it starts, and
// how many attempts come back empty before frames of the monitor's size.
struct CaptureScript {
  bool starts = true;
  uint32_t empty_attempts = 0;
  // What happened.
  std::vector<std::string> monitors;  // one per capture made
  uint32_t attempts = 0;
  uint64_t ended_ms = 0;  // when the last capture was destroyed
};

class ScriptedCapture final : public IVddSelfTestCapture {
 public:
  ScriptedCapture(CaptureScript& script, const MonitorInfoData& monitor, IClock& clock)
      : script_(script), monitor_(monitor), clock_(clock) {}
  ~ScriptedCapture() override { script_.ended_ms = clock_.TickMs(); }
  bool Initialize() override {
    started_ = script_.starts;
    return started_;
  }
  VddSelfTestFrame TakeFrame(uint32_t) override {
    if (++script_.attempts <= script_.empty_attempts) return {};
    return {true, static_cast<uint32_t>(monitor_.width), static_cast<uint32_t>(monitor_.height)};
  }
  const char* BackendName() const override { return started_ ? "gdi" : "none"; }

 private:
  CaptureScript& script_;
  MonitorInfoData monitor_;
  IClock& clock_;
  bool started_ = false;
};

// The host's manager over a simulated driver world in memory (a physical
// 1920x1080 monitor, the driver running one detached monitor), on virtual
// time, with its ledger in a fresh folder.
struct Rig {
  ManualClock clock;
  SimVddWorld world;
  std::unique_ptr<vdd::IVddSystem> system = vdd::MakeSimVddSystem(world, clock);
  NoVddRequests requests;
  testing::ScopedTempDir dir;
  CaptureScript capture;

  std::filesystem::path Ledger() const { return dir.path() / kVirtualDisplayLedgerFileName; }

  // The world's desktop as monitor enumeration lists it.
  std::vector<MonitorInfoData> Desktop() const {
    DesktopScan scan;
    for (const sim_vdd::SimDesktopMonitor& m : world.DesktopMonitors()) {
      MonitorInfoData monitor;
      monitor.id = m.gdi_name;
      monitor.x = m.x;
      monitor.y = m.y;
      monitor.width = static_cast<int32_t>(m.width);
      monitor.height = static_cast<int32_t>(m.height);
      monitor.primary = m.primary;
      scan.monitors.push_back(monitor);
    }
    return CompleteMonitorList(std::move(scan));
  }

  VddSelfTestEnvironment Env() {
    VddSelfTestEnvironment env;
    env.make_manager = [this] {
      VirtualDisplayManagerConfig config;
      config.ledger_path = Ledger();
      config.wait_slice_ms = 1;
      return std::make_shared<VirtualDisplayManager>(
          [this] { return MakeVddBackend(system.get(), requests, clock); }, [this] { return Desktop(); }, config,
          VddModeSwitch{}, clock);
    };
    env.list_monitors = [this] { return Desktop(); };
    env.make_capture = [this](const MonitorInfoData& monitor) -> std::unique_ptr<IVddSelfTestCapture> {
      capture.monitors.push_back(monitor.id);
      return std::make_unique<ScriptedCapture>(capture, monitor, clock);
    };
    env.clock = &clock;
    return env;
  }

  std::vector<SimLink> DriverLinks() const {
    std::vector<SimLink> links;
    for (const sim_vdd::SimMonitorState& t : world.state().targets) links.push_back(t.link);
    return links;
  }
};

const char kDriverMonitor[] = "\\\\.\\DISPLAY2";

TEST(VddSelfTest, WithoutTheDriverItEndsAfterTheBackendLine) {
  LogCapture log;
  Rig rig;
  sim_vdd::SimDevice& d = rig.world.state().device;
  d.installed = d.present = d.started = false;
  rig.world.state().targets.clear();

  EXPECT_EQ(VddSelfTest("", 0, rig.Env()), kVddSelfTestNoDriver);
  EXPECT_EQ(log.Count("[VddSelfTest] backend="), 1u);
  EXPECT_TRUE(log.Contains("[VddSelfTest] backend=no virtual display driver available=0 detail="));
  EXPECT_TRUE(log.Contains(" recovered=0"));
  EXPECT_FALSE(log.Contains("[VddSelfTest] acquire"));
  EXPECT_TRUE(rig.capture.monitors.empty());
}

TEST(VddSelfTest, AcquiresCapturesHoldsAndReleases) {
  LogCapture log;
  Rig rig;
  // A monitor a crashed run left on the desktop, with its ledger.
  sim_vdd::SimMonitorState& left = rig.world.state().targets.at(0);
  left.link = SimLink::kAttached;
  left.x = 1920;
  left.mode = {1920, 1080, 60};
  {
    std::ofstream(rig.Ledger(), std::ios::binary)
        << FormatVddLedger({{"tvr-vdd", "attached@" + rig.world.TargetInstanceId(0)}});
  }
  rig.capture.empty_attempts = 2;

  EXPECT_EQ(VddSelfTest("1600x2560@0", 0, rig.Env()), kVddSelfTestPassed);
  EXPECT_TRUE(log.Contains("[VddSelfTest] backend=Virtual Display Driver (VirtualDrivers) available=1 detail="
                           "Virtual Display Driver 24.12.24.0 (ROOT\\DISPLAY\\0000, 1 monitor(s), settings "));
  EXPECT_TRUE(log.Contains(" recovered=1"));
  EXPECT_TRUE(log.Contains(std::string("[VddSelfTest] acquire 1600x2560@60 -> created monitor=") + kDriverMonitor +
                           " detail="));
  EXPECT_TRUE(log.Contains("[VddSelfTest] monitor \\\\.\\DISPLAY1 at 0,0 1920x1080@60 primary=1"));
  EXPECT_EQ(log.Count(std::string("[VddSelfTest] monitor ") + kDriverMonitor + " at 1920,0 "), 1u);
  EXPECT_EQ(rig.capture.monitors, std::vector<std::string>{kDriverMonitor});
  EXPECT_EQ(rig.capture.attempts, kVddSelfTestFrameAttempts);
  EXPECT_EQ(log.Count("[VddSelfTest] first frame "), 1u);
  EXPECT_TRUE(log.Contains("[VddSelfTest] first frame 1600x2560 via gdi"));
  EXPECT_TRUE(log.Contains(std::string("[VddSelfTest] captured 28 frame(s) of ") + kDriverMonitor + " via gdi"));
  EXPECT_TRUE(log.Contains("[VddSelfTest] released; 1 monitor(s) on the desktop now"));
  EXPECT_EQ(rig.DriverLinks(), std::vector<SimLink>{SimLink::kDetached});
  EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
}

TEST(VddSelfTest, ATextThatIsNoModeAsksForTheDefault) {
  LogCapture log;
  Rig rig;
  // A driver that lists the default mode, so the monitor runs at it.
  rig.world.state().device.modes = {{2400, 1080, 60}};
  for (sim_vdd::SimMonitorState& t : rig.world.state().targets) t.mode = {2400, 1080, 60};
  EXPECT_EQ(VddSelfTest("abc", 0, rig.Env()), kVddSelfTestPassed);
  EXPECT_TRUE(log.Contains("[VddSelfTest] acquire 2400x1080@60 -> created"));
  EXPECT_TRUE(log.Contains("[VddSelfTest] first frame 2400x1080 via gdi"));
}

TEST(VddSelfTest, TheMonitorIsReleasedAfterTheHold) {
  struct Case {
    uint32_t seconds;
    uint64_t held_ms;
  };
  const Case cases[] = {{0, 0}, {5, 5000}, {121, 120'000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    LogCapture log;
    Rig rig;
    std::vector<SimLink> links_at_final_list;
    VddSelfTestEnvironment env = rig.Env();
    // The last list (after the hold) is taken once the monitor is released.
    env.list_monitors = [&rig, &links_at_final_list] {
      links_at_final_list = rig.DriverLinks();
      return rig.Desktop();
    };
    EXPECT_EQ(VddSelfTest("", c.seconds, env), kVddSelfTestPassed);
    EXPECT_EQ(rig.clock.TickMs() - rig.capture.ended_ms, c.held_ms);
    EXPECT_EQ(links_at_final_list, std::vector<SimLink>{SimLink::kDetached});
    EXPECT_TRUE(log.Contains("[VddSelfTest] released; 1 monitor(s) on the desktop now"));
  }
}

TEST(VddSelfTest, AFailedAcquireShutsTheManagerDown) {
  LogCapture log;
  Rig rig;
  // Neither display-configuration attach nor the display-settings fallback works.
  rig.world.state().faults.supplied_config_error = vdd::kErrorGenFailure;
  rig.world.state().faults.topology_only_error = vdd::kErrorInvalidParameter;
  rig.world.state().faults.position_change_fails = true;

  EXPECT_EQ(VddSelfTest("2400x1080@60", 0, rig.Env()), kVddSelfTestAcquireFailed);
  EXPECT_TRUE(log.Contains("[VddSelfTest] acquire 2400x1080@60 -> add-failed monitor= detail="));
  EXPECT_FALSE(log.Contains("[VddSelfTest] monitor "));
  EXPECT_FALSE(log.Contains("[VddSelfTest] released"));
  EXPECT_TRUE(rig.capture.monitors.empty());
  EXPECT_EQ(rig.DriverLinks(), std::vector<SimLink>{SimLink::kDetached});
  EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
}

TEST(VddSelfTest, WithoutAFrameTheMonitorIsStillReleased) {
  struct Case {
    const char* name;
    bool starts;
    uint32_t empty_attempts;
    const char* captured;
  };
  const Case cases[] = {
      {"the capture does not start", false, 0, "[VddSelfTest] captured 0 frame(s) of \\\\.\\DISPLAY2 via none"},
      {"every attempt comes back empty", true, kVddSelfTestFrameAttempts,
       "[VddSelfTest] captured 0 frame(s) of \\\\.\\DISPLAY2 via gdi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Rig rig;
    rig.capture.starts = c.starts;
    rig.capture.empty_attempts = c.empty_attempts;
    EXPECT_EQ(VddSelfTest("", 0, rig.Env()), kVddSelfTestNoFrame);
    EXPECT_TRUE(log.Contains(c.captured));
    EXPECT_FALSE(log.Contains("[VddSelfTest] first frame"));
    EXPECT_TRUE(log.Contains("[VddSelfTest] released; 1 monitor(s) on the desktop now"));
    EXPECT_EQ(rig.DriverLinks(), std::vector<SimLink>{SimLink::kDetached});
  }
}

TEST(VddSelfTest, AMonitorMissingFromTheDesktopGivesNoFrame) {
  LogCapture log;
  Rig rig;
  VddSelfTestEnvironment env = rig.Env();
  env.list_monitors = [&rig] {
    std::vector<MonitorInfoData> list = rig.Desktop();
    std::erase_if(list, [](const MonitorInfoData& m) { return m.id == kDriverMonitor; });
    return list;
  };
  EXPECT_EQ(VddSelfTest("", 0, env), kVddSelfTestNoFrame);
  EXPECT_TRUE(log.Contains("[VddSelfTest] The virtual monitor \\\\.\\DISPLAY2 is not among the desktop monitors"));
  EXPECT_TRUE(rig.capture.monitors.empty());
  EXPECT_EQ(rig.DriverLinks(), std::vector<SimLink>{SimLink::kDetached});
}

}  // namespace
}  // namespace orvane
