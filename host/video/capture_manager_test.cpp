#include "host/video/capture_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/video/testing/fake_capture_source.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::FakeCaptureSet;
using testing::FakeCaptureSource;
using testing::LogCapture;

MonitorInfoData Monitor(const std::string& id, uint32_t index, bool primary, int32_t x = 0) {
  MonitorInfoData m;
  m.id = id;
  m.display_name = id;
  m.x = x;
  m.width = 1920;
  m.height = 1080;
  m.primary = primary;
  m.index = index;
  m.handle = 0x100 + index;
  return m;
}

CaptureTarget Target() {
  const std::vector<MonitorInfoData> list = {Monitor("\\\\.\\DISPLAY1", 0, true)};
  return SelectCaptureTarget(list, "", 0);
}

class FixedMonitors final : public IMonitorEnumerator {
 public:
  std::vector<MonitorInfoData> list;
  std::vector<MonitorInfoData> EnumerateMonitors() override { return list; }
};

constexpr uint64_t kT0 = 1'000'000;

TEST(CaptureTargetTest, LogsTheChoiceAndWhatIsMissing) {
  LogCapture log;
  EXPECT_FALSE(SelectCaptureTarget({}, "", 0).found);
  EXPECT_TRUE(log.Contains("[ERROR] [Capture] No monitor available for capture"));

  log.Clear();
  std::vector<MonitorInfoData> list = {Monitor("\\\\.\\DISPLAY1", 0, false), Monitor("\\\\.\\DISPLAY2", 1, true, 1920)};
  list[1].handle = 0;
  const CaptureTarget t = SelectCaptureTarget(list, "\\\\.\\DISPLAY9", 0);
  ASSERT_TRUE(t.found);
  EXPECT_EQ(t.params.monitor_id, "\\\\.\\DISPLAY2");
  EXPECT_EQ(t.params.left, 1920);
  EXPECT_EQ(t.params.right, 3840);
  EXPECT_EQ(t.params.bottom, 1080);
  EXPECT_TRUE(log.Contains(
      // The requested id comes from the tablet and is printed escaped.
      "[WARN ] [Capture] Requested source (id=\\\\\\\\.\\\\DISPLAY9 index=0) unavailable; using primary monitor \\\\.\\DISPLAY2"));
  EXPECT_TRUE(log.Contains("[WARN ] [Capture] Monitor \\\\.\\DISPLAY2 has no live HMONITOR; capture will fail over"));
  EXPECT_TRUE(log.Contains(
      "[INFO ] [Capture] Target monitor id=\\\\.\\DISPLAY2 index=1 rect=1920,0 1920x1080 matched_by=primary"));

  log.Clear();
  SelectCaptureTarget(list, "", 0);
  EXPECT_EQ(log.Count("unavailable; using"), 0u);
  EXPECT_TRUE(log.Contains("rect=0,0 1920x1080 matched_by=index"));
  log.Clear();
  SelectCaptureTarget(list, "", 5);
  EXPECT_TRUE(log.Contains("(id=- index=5) unavailable; using primary monitor \\\\.\\DISPLAY2"));
}

TEST(CaptureManagerTest, StartOrderFollowsTheChoice) {
  struct Case {
    const char* name;
    CaptureBackendChoice choice;
    bool dxgi_ok, wgc_ok, gdi_ok;
    bool allow_gdi;
    bool started;
    CaptureBackendKind active;
    const char* line;  // expected, or ""
  };
  const Case cases[] = {
      {"auto takes dxgi", CaptureBackendChoice::kAuto, true, true, true, true, true, CaptureBackendKind::kDxgi,
       "[INFO ] [Capture] Active backend=dxgi monitor=\\\\.\\DISPLAY1 index=0"},
      {"wgc failing falls to dxgi", CaptureBackendChoice::kWgc, true, false, true, true, true,
       CaptureBackendKind::kDxgi, "[WARN ] [Capture] wgc requested but unavailable; trying dxgi"},
      {"dxgi failing falls to wgc", CaptureBackendChoice::kDxgi, false, true, true, true, true,
       CaptureBackendKind::kWgc, "[WARN ] [Capture] dxgi requested but unavailable; trying wgc"},
      {"auto does not warn", CaptureBackendChoice::kAuto, false, true, true, true, true, CaptureBackendKind::kWgc,
       "[INFO ] [Capture] Active backend=wgc"},
      {"both failing: gdi", CaptureBackendChoice::kWgc, false, false, true, true, true, CaptureBackendKind::kGdi,
       "[WARN ] [Capture] Active backend=gdi fallback monitor=\\\\.\\DISPLAY1"},
      {"gdi not allowed", CaptureBackendChoice::kAuto, false, false, true, false, false, CaptureBackendKind::kNone,
       "[ERROR] [Capture] Failed to initialize any capture backend"},
      {"all failing", CaptureBackendChoice::kAuto, false, false, false, true, false, CaptureBackendKind::kNone,
       "[ERROR] [Capture] Failed to initialize any capture backend"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    FakeCaptureSet set;
    set.dxgi->init_ok = c.dxgi_ok;
    set.wgc->init_ok = c.wgc_ok;
    set.gdi->init_ok = c.gdi_ok;
    CaptureManager manager(c.choice, Target(), std::move(set.sources));
    EXPECT_EQ(manager.Start(c.allow_gdi), c.started);
    EXPECT_EQ(manager.ActiveKind(), c.active);
    EXPECT_TRUE(log.Contains(c.line)) << c.line;
    EXPECT_TRUE(log.Contains(
        "[INFO ] [Capture] Known limitation: Desktop Duplication may contend with other capture apps in same session"));
    EXPECT_TRUE(log.Contains(std::string("[INFO ] [Capture] Requested source index=0 id=\\\\.\\DISPLAY1 backend=") +
                             CaptureBackendChoiceName(c.choice)));
    EXPECT_EQ(manager.Counters().backend_switch, c.started ? 1u : 0u);
  }
}

TEST(CaptureManagerTest, FrequentInvalidationForcesTheOtherBackEnd) {
  struct Case {
    uint64_t apart_ms;
    bool forced;
  };
  for (const Case c : {Case{2000, true}, Case{3000, true}, Case{4000, false}}) {
    SCOPED_TRACE(c.apart_ms);
    LogCapture log;
    FakeCaptureSet set;
    FakeCaptureSource* dxgi = set.dxgi;
    FakeCaptureSource* wgc = set.wgc;
    dxgi->init_ok = true;
    wgc->init_ok = true;
    CaptureManager manager(CaptureBackendChoice::kAuto, Target(), std::move(set.sources));
    ASSERT_TRUE(manager.Start(true));
    dxgi->script = {CaptureStatus::kLost};
    EXPECT_EQ(manager.Acquire(16, false, kT0).status, CaptureStatus::kLost);
    EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kDxgi);  // re-created at once
    EXPECT_TRUE(log.Contains(
        "[WARN ] [Capture] Desktop Duplication invalidated; releasing and recreating capture objects"));
    EXPECT_TRUE(log.Contains("[INFO ] [Capture] Desktop Duplication recreated successfully (reinit=1)"));
    dxgi->script = {CaptureStatus::kLost};
    manager.Acquire(16, false, kT0 + c.apart_ms);
    EXPECT_EQ(manager.ActiveKind(), c.forced ? CaptureBackendKind::kWgc : CaptureBackendKind::kDxgi);
    EXPECT_EQ(log.Contains("[WARN ] [Capture] Frequent DXGI invalidation detected; forcing WGC on next reinit attempt"),
              c.forced);
    const CaptureCounters counters = manager.Counters();
    EXPECT_EQ(counters.wgc_reinit, c.forced ? 1u : 0u);
    EXPECT_EQ(counters.dup_reinit, c.forced ? 1u : 2u);
    // start, two invalidations, and the switch to wgc
    EXPECT_EQ(counters.backend_switch, c.forced ? 4u : 3u);
  }
}

TEST(CaptureManagerTest, FrequentWgcInvalidationForcesDesktopDuplication) {
  LogCapture log;
  FakeCaptureSet set;
  FakeCaptureSource* dxgi = set.dxgi;
  FakeCaptureSource* wgc = set.wgc;
  dxgi->init_ok = true;
  wgc->init_ok = true;
  CaptureManager manager(CaptureBackendChoice::kWgc, Target(), std::move(set.sources));
  ASSERT_TRUE(manager.Start(true));
  ASSERT_EQ(manager.ActiveKind(), CaptureBackendKind::kWgc);
  wgc->script = {CaptureStatus::kLost};
  manager.Acquire(16, false, kT0);
  wgc->script = {CaptureStatus::kLost};
  manager.Acquire(16, false, kT0 + 1000);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kDxgi);
  EXPECT_TRUE(log.Contains(
      "[WARN ] [Capture] Frequent WGC invalidation detected; forcing Desktop Duplication on next reinit attempt"));
  EXPECT_TRUE(log.Contains("[WARN ] [Capture] WGC invalidated; releasing and recreating capture objects"));
  EXPECT_TRUE(log.Contains("[INFO ] [Capture] WGC capture recreated successfully (reinit=1)"));
}

TEST(CaptureManagerTest, ReinitialisationAttemptsAreSpacedAndFailuresSummedUp) {
  LogCapture log;
  FakeCaptureSet set;
  FakeCaptureSource* dxgi = set.dxgi;
  FakeCaptureSource* gdi = set.gdi;
  dxgi->init_ok = true;
  CaptureManager manager(CaptureBackendChoice::kAuto, Target(), std::move(set.sources));
  ASSERT_TRUE(manager.Start(true));
  dxgi->init_ok = false;
  dxgi->script = {CaptureStatus::kLost};
  EXPECT_EQ(manager.Acquire(16, false, kT0).status, CaptureStatus::kLost);
  EXPECT_EQ(dxgi->initialize_calls, 2);
  EXPECT_EQ(gdi->initialize_calls, 1);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kNone);
  EXPECT_EQ(log.Count("[ERROR] [Capture] Failed to initialize any capture backend"), 1u);

  // Nothing active: 400 ms later the attempt is skipped, 500 ms later made.
  EXPECT_EQ(manager.Acquire(16, false, kT0 + 400).status, CaptureStatus::kLost);
  EXPECT_EQ(dxgi->initialize_calls, 2);
  log.Clear();
  manager.Acquire(16, false, kT0 + 500);
  EXPECT_EQ(dxgi->initialize_calls, 3);
  // Later failures of the series are quiet; a summary every 10 s.
  EXPECT_EQ(log.Count("Fake dxgi refused to start"), 0u);
  EXPECT_EQ(log.Count("Failed to initialize any capture backend"), 0u);
  for (uint64_t t = kT0 + 1000; t <= kT0 + 20'000; t += 500) manager.Acquire(16, false, t);
  EXPECT_EQ(log.Count("[WARN ] [Capture] Capture still cannot be re-created ("), 2u);
  EXPECT_TRUE(log.Contains("last: dxgi code=7 msg=fake refused"));

  log.Clear();
  dxgi->init_ok = true;
  EXPECT_EQ(manager.Acquire(16, false, kT0 + 20'500).status, CaptureStatus::kFrame);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kDxgi);
  EXPECT_TRUE(log.Contains("[INFO ] [Capture] Capture re-created after 41 failed attempts"));
  EXPECT_TRUE(log.Contains("[INFO ] [Capture] Desktop Duplication recreated successfully (reinit=1)"));
}

TEST(CaptureManagerTest, CountsTimeoutsFailuresAndSwitches) {
  FakeCaptureSet set;
  FakeCaptureSource* dxgi = set.dxgi;
  dxgi->init_ok = true;
  CaptureManager manager(CaptureBackendChoice::kAuto, Target(), std::move(set.sources));
  ASSERT_TRUE(manager.Start(true));
  dxgi->script = {CaptureStatus::kTimeout, CaptureStatus::kTimeout, CaptureStatus::kFailed, CaptureStatus::kFrame};
  EXPECT_EQ(manager.Acquire(16, false, kT0).status, CaptureStatus::kTimeout);
  EXPECT_EQ(manager.Acquire(16, false, kT0 + 16).status, CaptureStatus::kTimeout);
  EXPECT_EQ(manager.Acquire(16, false, kT0 + 32).status, CaptureStatus::kFailed);
  const CapturedFrame frame = manager.Acquire(16, false, kT0 + 48);
  EXPECT_EQ(frame.status, CaptureStatus::kFrame);
  EXPECT_NE(frame.image, nullptr);
  const CaptureCounters c = manager.Counters();
  EXPECT_EQ(c.dup_timeout, 2u);
  EXPECT_EQ(c.wgc_timeout, 0u);
  EXPECT_EQ(c.capture_fail, 1u);
  EXPECT_EQ(c.backend_switch, 1u);
}

TEST(CaptureManagerTest, ANewSharedDeviceRecreatesTheCaptureAtOnce) {
  class Device final : public GpuDevice {
   public:
    uint64_t AdapterLuid() const override { return 42; }
    void* Native() const override { return nullptr; }
  };
  FakeCaptureSet set;
  FakeCaptureSource* dxgi = set.dxgi;
  dxgi->init_ok = true;
  CaptureManager manager(CaptureBackendChoice::kAuto, Target(), std::move(set.sources));
  ASSERT_TRUE(manager.Start(true));
  dxgi->script = {CaptureStatus::kLost};
  manager.Acquire(16, false, kT0);  // a re-initialisation attempt at kT0
  ASSERT_EQ(dxgi->initialize_calls, 2);

  auto device = std::make_shared<Device>();
  const int shutdowns = dxgi->shutdown_calls;
  manager.SetSharedDevice(device);
  EXPECT_EQ(dxgi->shutdown_calls, shutdowns + 1);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kNone);
  // 100 ms after the last attempt: not spaced out, because the device changed.
  EXPECT_EQ(manager.Acquire(16, false, kT0 + 100).status, CaptureStatus::kFrame);
  EXPECT_EQ(dxgi->initialize_calls, 3);
  EXPECT_EQ(dxgi->last_params.shared_device, device);
  // The same device again changes nothing.
  manager.SetSharedDevice(device);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kDxgi);
}

TEST(CaptureManagerTest, GdiFromReinitialisationReturnsToTheGpuWhenItWorksAgain) {
  LogCapture log;
  FakeCaptureSet set;
  FakeCaptureSource* dxgi = set.dxgi;
  FakeCaptureSource* gdi = set.gdi;
  dxgi->init_ok = true;
  gdi->init_ok = true;
  CaptureManager manager(CaptureBackendChoice::kAuto, Target(), std::move(set.sources));
  ASSERT_TRUE(manager.Start(true));
  dxgi->init_ok = false;  // the secure desktop refuses duplication
  dxgi->script = {CaptureStatus::kLost};
  manager.Acquire(16, false, kT0);
  ASSERT_EQ(manager.ActiveKind(), CaptureBackendKind::kGdi);
  const int tries = dxgi->initialize_calls;

  // Retries every 5 s, quietly, with a summary at most every 10 s.
  log.Clear();
  for (uint64_t t = kT0 + 100; t < kT0 + 22'000; t += 100) manager.Acquire(16, false, t);
  EXPECT_EQ(dxgi->initialize_calls, tries + 4);  // +5, +10, +15, +20 s
  EXPECT_EQ(log.Count("Fake dxgi refused"), 0u);
  EXPECT_EQ(log.Count("[WARN ] [Capture] GPU capture still unavailable; staying on the GDI fallback (dxgi code=7"),
            2u);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kGdi);

  dxgi->init_ok = true;
  const int gdi_shutdowns = gdi->shutdown_calls;
  for (uint64_t t = kT0 + 22'000; t < kT0 + 25'000; t += 100) manager.Acquire(16, false, t);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kGdi);  // not before 5 s since the last try
  manager.Acquire(16, false, kT0 + 25'000);
  EXPECT_EQ(manager.ActiveKind(), CaptureBackendKind::kDxgi);
  EXPECT_EQ(gdi->shutdown_calls, gdi_shutdowns + 1);
  EXPECT_TRUE(log.Contains("[INFO ] [Capture] GPU capture available again; leaving the GDI fallback for dxgi"));
  EXPECT_TRUE(log.Contains("[INFO ] [Capture] Desktop Duplication recreated successfully (reinit=1)"));

  // A GDI chosen at Start (no GPU back-end at all) is not retried.
  FakeCaptureSet plain;
  FakeCaptureSource* plain_dxgi = plain.dxgi;
  plain.gdi->init_ok = true;
  CaptureManager start_gdi(CaptureBackendChoice::kAuto, Target(), std::move(plain.sources));
  ASSERT_TRUE(start_gdi.Start(true));
  for (uint64_t t = kT0; t < kT0 + 20'000; t += 1000) start_gdi.Acquire(16, false, t);
  EXPECT_EQ(plain_dxgi->initialize_calls, 1);
}

TEST(CaptureManagerTest, ReinitialisationRefreshesTheTargetById) {
  auto monitors = std::make_shared<FixedMonitors>();
  FakeCaptureSet set;
  FakeCaptureSource* gdi = set.gdi;
  gdi->init_ok = true;
  CaptureManager manager(CaptureBackendChoice::kAuto, Target(), std::move(set.sources), monitors);
  ASSERT_TRUE(manager.Start(true));
  // The mode changed: the monitor is now 2560 wide.
  MonitorInfoData moved = Monitor("\\\\.\\DISPLAY1", 0, true);
  moved.width = 2560;
  moved.handle = 0x999;
  monitors->list = {moved};
  gdi->script = {CaptureStatus::kLost};
  manager.Acquire(16, false, kT0);
  EXPECT_EQ(gdi->last_params.right, 2560);
  EXPECT_EQ(gdi->last_params.monitor_handle, 0x999u);
  // The monitor is gone for a moment: the last target is kept.
  monitors->list = {Monitor("\\\\.\\DISPLAY7", 0, true)};
  gdi->script = {CaptureStatus::kLost};
  manager.Acquire(16, false, kT0 + 1000);
  EXPECT_EQ(gdi->last_params.monitor_id, "\\\\.\\DISPLAY1");
  EXPECT_EQ(gdi->last_params.right, 2560);
}

TEST(DuplicationLossLedgerTest, LossesShortlyAfterAnAnnouncedChangeAreExplained) {
  struct Case {
    const char* name;
    std::vector<uint64_t> losses_after_ms;
    uint64_t explained, unexplained;
  };
  const Case cases[] = {
      {"first two explained, third not", {1000, 2000, 3000}, 2, 1},
      {"outside the window", {10'001}, 0, 1},
      {"at the window's end", {10'000}, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DuplicationLossLedger ledger;
    ledger.NoteDuplicationStarted();
    ledger.NoteExpectedDisplayChange(kT0);
    for (uint64_t after : c.losses_after_ms) ledger.RecordLoss(kT0 + after);
    EXPECT_EQ(ledger.TakeTotals().explained, c.explained);
    EXPECT_EQ(ledger.TakeTotals().unexplained, c.unexplained);  // reading twice: not reset
  }
  DuplicationLossLedger ledger;
  EXPECT_FALSE(ledger.RecordLoss(kT0));  // nothing announced
  ledger.NoteExpectedDisplayChange(kT0);
  EXPECT_TRUE(ledger.RecordLoss(kT0 + 10));   // the second since the start is still explained...
  EXPECT_FALSE(ledger.RecordLoss(kT0 + 20));  // ...the third is not
  ledger.NoteDuplicationStarted();
  EXPECT_TRUE(ledger.RecordLoss(kT0 + 30));  // a new start counts afresh
}

}  // namespace
}  // namespace orvane
