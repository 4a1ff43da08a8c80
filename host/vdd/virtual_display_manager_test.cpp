#include "host/vdd/virtual_display_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/vdd/testing/fake_vdd_backend.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::FakeVddBackend;
using testing::FakeVddState;
using testing::LogCapture;
using testing::ScopedTempDir;
using testing::WaitFor;
using Kind = VirtualDisplayAcquireKind;

constexpr const char* kHeader = "# Orvane virtual display ledger (removed on next host start)\n";
constexpr VirtualDisplayMode kFullHd{1920, 1080, 60};
constexpr VirtualDisplayMode kTabletMode{2560, 1600, 120};

// Holds a callback until the test opens it.
class Gate {
 public:
  void Park() {
    std::unique_lock<std::mutex> lock(mu_);
    parked_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  bool Parked() {
    std::lock_guard<std::mutex> lock(mu_);
    return parked_;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool parked_ = false;
  bool open_ = false;
};

std::string ReadText(const std::filesystem::path& path) { return ReadFileBounded(path, 1 << 20).bytes; }

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A manager over the fake back-end, a ManualClock and a ledger in a fresh
// folder. Waits slice at 1 ms of real time so moving the clock is seen soon.
struct Rig {
  ManualClock clock;
  std::shared_ptr<FakeVddState> state = std::make_shared<FakeVddState>();
  ScopedTempDir dir;
  VirtualDisplayManagerConfig config;
  bool with_switch = true;
  // The factory hands out the not-installed stand-in while the fake's driver
  // is not installed (as the host's factory does).
  bool factory_follows_availability = false;

  std::atomic<bool> switch_works{true};
  std::atomic<int> switch_calls{0};
  std::atomic<Gate*> switch_gate{nullptr};
  std::atomic<Gate*> list_gate{nullptr};
  // A monitor of someone else's that joins the desktop with the first driver
  // monitor (listed before it).
  std::atomic<bool> stray_enabled{false};
  MonitorInfoData stray;

  std::unique_ptr<VirtualDisplayManager> manager;

  Rig() {
    config.ledger_path = Ledger();
    config.wait_slice_ms = 1;
  }
  ~Rig() { manager.reset(); }

  std::filesystem::path Ledger() const { return dir.path() / "virtual_display_ledger.ini"; }

  std::vector<MonitorInfoData> Monitors() {
    if (Gate* gate = list_gate.load()) gate->Park();
    std::vector<MonitorInfoData> list = state->Desktop();
    if (stray_enabled.load() && state->AttachedCount() > 0) list.insert(list.begin() + 1, stray);
    return list;
  }

  bool Switch(const std::string& monitor_id, const VirtualDisplayMode& mode) {
    ++switch_calls;
    if (Gate* gate = switch_gate.load()) gate->Park();
    if (!switch_works.load()) return false;
    std::lock_guard<std::mutex> lock(state->mu);
    for (uint32_t n = 0; n < state->modes.size(); ++n) {
      if (FakeVddState::GdiName(n) == monitor_id) state->modes[n] = mode;
    }
    return true;
  }

  VirtualDisplayManager& Make() {
    auto shared = state;
    const bool follow = factory_follows_availability;
    VddBackendFactory factory = [shared, follow]() -> std::unique_ptr<IVirtualDisplayBackend> {
      if (follow) {
        std::lock_guard<std::mutex> lock(shared->mu);
        if (shared->availability.state != VirtualDisplayState::kInstalled) {
          return std::make_unique<NotInstalledVirtualDisplayBackend>();
        }
      }
      return std::make_unique<FakeVddBackend>(shared);
    };
    VddModeSwitch mode_switch;
    if (with_switch) {
      mode_switch = [this](const std::string& id, const VirtualDisplayMode& mode) { return Switch(id, mode); };
    }
    manager = std::make_unique<VirtualDisplayManager>(
        std::move(factory), [this] { return Monitors(); }, config, std::move(mode_switch), clock);
    return *manager;
  }
};

std::string LedgerLine(uint32_t target) { return "display=tvr-vdd|" + FakeVddState::Token(target) + "\n"; }

// ---------------------------------------------------------------- acquire

TEST(VirtualDisplayManager, CreatesAMonitorRecordsItAndRemovesIt) {
  LogCapture log;
  Rig rig;
  VirtualDisplayManager& m = rig.Make();
  EXPECT_TRUE(log.Contains("[VDD] Backend=Virtual Display Driver (VirtualDrivers) availability=installed "
                           "detail=driver running"));
  EXPECT_TRUE(m.DriverAvailable());
  EXPECT_STREQ(m.BackendId(), "tvr-vdd");

  const VirtualDisplayAcquireResult r = m.Acquire(1, kFullHd);
  EXPECT_EQ(r.kind, Kind::kCreated);
  EXPECT_EQ(r.monitor_id, FakeVddState::GdiName(0));
  EXPECT_EQ(r.monitor_count, 2u);
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(rig.switch_calls.load(), 1);
  EXPECT_TRUE(log.Contains("[VDD] Virtual monitor \\\\.\\DISPLAY2 created via Virtual Display Driver (VirtualDrivers) "
                           "at 1920x1080@60 for session 1 (token=attached@DISPLAY\\TVR\\0, 1 of 2 in use)"));
  EXPECT_TRUE(m.HoldsMonitor(1));
  EXPECT_EQ(m.GetMonitorId(1), FakeVddState::GdiName(0));
  EXPECT_EQ(m.GetMonitorId(2), "");
  EXPECT_EQ(ReadText(rig.Ledger()), std::string(kHeader) + LedgerLine(0));
  EXPECT_TRUE(m.InDisplayChangeGrace());
  EXPECT_EQ(LastDisplayChangeMs(), rig.clock.TickMs());

  m.Release(1, "");
  EXPECT_TRUE(log.Contains("[VDD] Virtual monitor \\\\.\\DISPLAY2 of session 1 removed (release)"));
  EXPECT_FALSE(m.HoldsMonitor(1));
  EXPECT_EQ(rig.state->AttachedCount(), 0u);
  EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
  EXPECT_EQ(rig.state->unused_checks, 1u);
  m.Release(1, "again");  // nothing held: nothing happens
  EXPECT_EQ(rig.state->unused_checks, 1u);
}

TEST(VirtualDisplayManager, EveryMonitorInUse) {
  struct Case {
    bool restart;
    const char* backend_message;
    Kind kind;
    const char* message;
  };
  const Case cases[] = {
      {false, "", Kind::kNoFreeMonitor, "all 2 virtual monitors are in use"},
      {false, "the settings file cannot be changed", Kind::kNoFreeMonitor, "the settings file cannot be changed"},
      {true, "", Kind::kRestartPending, "all 2 virtual monitors are in use"},
      {true, "3 monitors after the driver restarts", Kind::kRestartPending, "3 monitors after the driver restarts"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    LogCapture log;
    Rig rig;
    rig.state->restart_on_request = c.restart;
    rig.state->request_message = c.backend_message;
    VirtualDisplayManager& m = rig.Make();
    EXPECT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
    EXPECT_EQ(m.Acquire(2, kTabletMode).kind, Kind::kCreated);
    m.MarkTabletReconnected(3);  // holds nothing: no wait
    const VirtualDisplayAcquireResult third = m.Acquire(3, kFullHd);
    EXPECT_EQ(third.kind, c.kind);
    EXPECT_EQ(third.message, c.message);
    EXPECT_EQ(third.monitor_count, 2u);
    EXPECT_TRUE(third.monitor_id.empty());
    EXPECT_EQ(rig.state->monitor_count_requests, std::vector<uint32_t>{3});
    EXPECT_EQ(rig.state->acquire_calls, 2u);
    ASSERT_EQ(rig.state->excluded_tokens.size(), 2u);
    EXPECT_EQ(rig.state->excluded_tokens[1], std::vector<std::string>{FakeVddState::Token(0)});
    EXPECT_FALSE(m.HoldsMonitor(3));
    EXPECT_FALSE(log.Contains("waiting up to"));
    EXPECT_EQ(ReadText(rig.Ledger()), std::string(kHeader) + LedgerLine(0) + LedgerLine(1));
  }
}

TEST(VirtualDisplayManager, AcquireAgainForTheSameSession) {
  struct Case {
    const char* name;
    VirtualDisplayMode second;
    bool with_switch;
    bool switch_works;
    bool vanish;
    Kind kind;
    uint32_t acquires;
    const char* line;
  };
  const Case cases[] = {
      {"same mode", kFullHd, true, true, false, Kind::kReused, 1, nullptr},
      {"another mode, switched", kTabletMode, true, true, false, Kind::kReconfigured, 1,
       "[VDD] Virtual monitor \\\\.\\DISPLAY2 of session 4 switched in place 1920x1080@60 -> 2560x1600@120"},
      {"another mode, switch fails", kTabletMode, true, false, false, Kind::kCreated, 2,
       "[VDD] Could not switch \\\\.\\DISPLAY2 to 2560x1600@120 in place; re-creating it"},
      {"another mode, no switch", kTabletMode, false, true, false, Kind::kCreated, 2,
       "[VDD] Virtual monitor \\\\.\\DISPLAY2 of session 4 removed (stream mode changed)"},
      {"same mode, monitor vanished", kFullHd, true, true, true, Kind::kMonitorNotFound, 2,
       "[VDD] Virtual monitor \\\\.\\DISPLAY2 of session 4 removed (virtual monitor vanished)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Rig rig;
    rig.with_switch = c.with_switch;
    VirtualDisplayManager& m = rig.Make();
    ASSERT_EQ(m.Acquire(4, kFullHd).kind, Kind::kCreated);
    rig.switch_works = c.switch_works;
    if (c.vanish) {
      std::lock_guard<std::mutex> lock(rig.state->mu);
      rig.state->monitors_appear = false;
    }
    const int switches_before = rig.switch_calls.load();
    const VirtualDisplayAcquireResult r = m.Acquire(4, c.second);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.mode.width, c.second.width);
    EXPECT_EQ(rig.state->acquire_calls, c.acquires);
    if (c.line) {
      EXPECT_EQ(log.Count(c.line), 1u);
    }
    if (c.kind == Kind::kReused) {
      EXPECT_EQ(r.monitor_id, FakeVddState::GdiName(0));
      EXPECT_EQ(rig.switch_calls.load(), switches_before);  // the display was not touched
    }
    if (c.kind == Kind::kReconfigured) {
      EXPECT_EQ(r.monitor_id, FakeVddState::GdiName(0));
      EXPECT_EQ(rig.switch_calls.load(), switches_before + 1);
      EXPECT_EQ(m.Acquire(4, kTabletMode).kind, Kind::kReused);  // the new mode is stored
    }
    if (c.kind == Kind::kCreated) {
      EXPECT_EQ(rig.state->released, std::vector<std::string>{FakeVddState::Token(0)});
      EXPECT_TRUE(m.HoldsMonitor(4));
      EXPECT_EQ(rig.state->AttachedCount(), 1u);
    }
    if (c.kind == Kind::kMonitorNotFound) {
      EXPECT_FALSE(m.HoldsMonitor(4));
    }
  }
}

TEST(VirtualDisplayManager, Refusals) {
  struct Case {
    const char* name;
    VirtualDisplayMode mode;
    VirtualDisplayAvailability availability;
    bool acquire_fails;
    const char* acquire_error;
    bool shut_down;
    Kind kind;
    const char* message;
  };
  const VirtualDisplayAvailability ok{VirtualDisplayState::kInstalled, "driver running", false};
  const Case cases[] = {
      {"invalid mode", {1920, 0, 60}, ok, false, "", false, Kind::kAddFailed, "invalid mode"},
      {"zero refresh", {1920, 1080, 0}, ok, false, "", false, Kind::kAddFailed, "invalid mode"},
      {"not installed", kFullHd, {VirtualDisplayState::kNotInstalled, "device not found", false}, false, "", false,
       Kind::kDriverNotInstalled, "not-installed: device not found"},
      {"unavailable", kFullHd, {VirtualDisplayState::kUnavailable, "problem code 43", false}, false, "", false,
       Kind::kDriverNotInstalled, "unavailable: problem code 43"},
      {"driver says why", kFullHd, ok, true, "no target left", false, Kind::kAddFailed, "no target left"},
      {"driver says nothing", kFullHd, ok, true, "", false, Kind::kAddFailed, "driver rejected the request"},
      {"shut down", kFullHd, ok, false, "", true, Kind::kAddFailed, "host is shutting down"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    VirtualDisplayManager& m = rig.Make();
    {
      std::lock_guard<std::mutex> lock(rig.state->mu);
      rig.state->availability = c.availability;
      rig.state->acquire_fails = c.acquire_fails;
      rig.state->acquire_error = c.acquire_error;
    }
    if (c.shut_down) m.Shutdown();
    const VirtualDisplayAcquireResult r = m.Acquire(1, c.mode);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.monitor_count, 2u);
    EXPECT_TRUE(r.monitor_id.empty());
    EXPECT_FALSE(m.HoldsMonitor(1));
    EXPECT_EQ(rig.state->AttachedCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
    if (c.availability.state != VirtualDisplayState::kInstalled) {
      EXPECT_FALSE(m.DriverAvailable());
    }
  }
}

TEST(VirtualDisplayManager, AMonitorThatNeverAppearsIsReleasedAfterTheAppearWait) {
  LogCapture log;
  Rig rig;
  rig.state->monitors_appear = false;
  VirtualDisplayManager& m = rig.Make();
  const uint64_t start = rig.clock.TickMs();
  const VirtualDisplayAcquireResult r = m.Acquire(1, kFullHd);
  EXPECT_EQ(rig.clock.TickMs() - start, 5000u);
  EXPECT_EQ(r.kind, Kind::kMonitorNotFound);
  EXPECT_EQ(r.message, "virtual monitor did not appear within 5000 ms");
  EXPECT_EQ(r.monitor_count, 2u);
  EXPECT_FALSE(m.HoldsMonitor(1));
  EXPECT_EQ(rig.state->AttachedCount(), 0u);
  EXPECT_EQ(rig.state->released, std::vector<std::string>{FakeVddState::Token(0)});
  EXPECT_TRUE(log.Contains("[VDD] Virtual monitor - of session 1 removed (no desktop monitor appeared)"));
  EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
  EXPECT_EQ(rig.switch_calls.load(), 0);
}

TEST(VirtualDisplayManager, FindsTheNewMonitorWhenTheBackEndCannotNameIt) {
  struct Case {
    int32_t stray_width, stray_height;
    const char* expected;
  };
  const Case cases[] = {
      {1024, 768, "\\\\.\\DISPLAY2"},   // the one of the requested size wins
      {1920, 1080, "\\\\.\\DISPLAY9"},  // both match: the first new one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Rig rig;
    rig.state->name_monitor = false;
    rig.stray.id = "\\\\.\\DISPLAY9";
    rig.stray.width = c.stray_width;
    rig.stray.height = c.stray_height;
    rig.stray_enabled = true;
    VirtualDisplayManager& m = rig.Make();
    const VirtualDisplayAcquireResult first = m.Acquire(1, kFullHd);
    EXPECT_EQ(first.kind, Kind::kCreated);
    EXPECT_EQ(first.monitor_id, c.expected);
    // The next session's monitor is the one that is new to it.
    const VirtualDisplayAcquireResult second = m.Acquire(2, kTabletMode);
    EXPECT_EQ(second.kind, Kind::kCreated);
    EXPECT_EQ(second.monitor_id, "\\\\.\\DISPLAY3");
  }
}

TEST(VirtualDisplayManager, ATokenThatIsNotLedgerSafeIsHeldButNotRecorded) {
  const char* const tokens[] = {"attached@DISPLAY|1", "attached@DISPLAY#1", "attached@DISPLAY 1"};
  for (const char* token : tokens) {
    SCOPED_TRACE(token);
    LogCapture log;
    Rig rig;
    rig.state->token_override = token;
    VirtualDisplayManager& m = rig.Make();
    EXPECT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
    EXPECT_EQ(log.Count("[VDD] Virtual monitor token is not ledger-safe; crash recovery disabled for it"), 1u);
    EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
    EXPECT_TRUE(m.HoldsMonitor(1));
  }
}

TEST(VirtualDisplayManager, TheLedgerListHoldsSixteenEntries) {
  LogCapture log;
  Rig rig;
  rig.state->targets = 17;
  VirtualDisplayManager& m = rig.Make();
  std::string expected = kHeader;
  for (uint32_t n = 0; n < 17; ++n) {
    ASSERT_EQ(m.Acquire(n + 1, kFullHd).kind, Kind::kCreated);
    if (n < 16) expected += LedgerLine(n);
  }
  EXPECT_EQ(log.Count("[VDD] Virtual monitor token is not ledger-safe; crash recovery disabled for it"), 1u);
  EXPECT_EQ(ReadText(rig.Ledger()), expected);
}

TEST(VirtualDisplayManager, AFailedReleaseKeepsTheLedgerEntry) {
  LogCapture log;
  Rig rig;
  VirtualDisplayManager& m = rig.Make();
  ASSERT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
  rig.state->release_fails = true;
  m.Release(1, "tablet left");
  EXPECT_TRUE(log.Contains("[VDD] Failed to remove virtual monitor token=attached@DISPLAY\\TVR\\0 (tablet left): "
                           "the driver refused"));
  EXPECT_FALSE(m.HoldsMonitor(1));
  EXPECT_EQ(ReadText(rig.Ledger()), std::string(kHeader) + LedgerLine(0));
}

TEST(VirtualDisplayManager, AcquireDefaultFollowsTheExtendedSetting) {
  Rig rig;
  VirtualDisplayManager& m = rig.Make();
  EXPECT_FALSE(m.DefaultExtended());
  const VirtualDisplayAcquireResult off = m.AcquireDefault(kFullHd);
  EXPECT_EQ(off.kind, Kind::kExtendedModeOff);
  EXPECT_EQ(off.message, "extended display is off");
  EXPECT_EQ(rig.state->acquire_calls, 0u);
  m.SetExtendedEnabled(true);
  EXPECT_TRUE(m.DefaultExtended());
  EXPECT_EQ(m.AcquireDefault(kFullHd).kind, Kind::kCreated);
  EXPECT_TRUE(m.HoldsMonitor(0));
}

TEST(VirtualDisplayManager, ShutdownReleasesEverythingAndRefusesLaterAcquires) {
  LogCapture log;
  Rig rig;
  VirtualDisplayManager& m = rig.Make();
  ASSERT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
  ASSERT_EQ(m.Acquire(2, kFullHd).kind, Kind::kCreated);
  m.Shutdown();
  EXPECT_EQ(log.Count("removed (host exit)"), 2u);
  EXPECT_EQ(rig.state->AttachedCount(), 0u);
  EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
  const VirtualDisplayAcquireResult r = m.Acquire(1, kFullHd);
  EXPECT_EQ(r.kind, Kind::kAddFailed);
  EXPECT_EQ(r.message, "host is shutting down");
  EXPECT_EQ(m.GetModeLimits().max_width, 7680u);
  m.Shutdown();  // twice is harmless
  rig.manager.reset();
  EXPECT_EQ(rig.state->backends_destroyed, 1u);
}

// ---------------------------------------------------------- reconnect wait

TEST(VirtualDisplayManager, ATabletThatReconnectedHandsOverItsMonitor) {
  enum class Then { kOldSessionReleased, kWaitRunsOut, kShutdown };
  struct Case {
    const char* name;
    Then then;
    Kind kind;
    uint64_t waited_ms;
  };
  const Case cases[] = {
      {"released from another thread", Then::kOldSessionReleased, Kind::kCreated, 0},
      {"never released", Then::kWaitRunsOut, Kind::kCreated, 3000},
      {"host exits meanwhile", Then::kShutdown, Kind::kAddFailed, 0},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(c.name);
      LogCapture log;
      Rig rig;
      rig.state->targets = 1;
      VirtualDisplayManager& m = rig.Make();
      ASSERT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
      m.MarkTabletReconnected(1);
      const uint64_t start = rig.clock.TickMs();
      VirtualDisplayAcquireResult b;
      std::thread acquire([&] { b = m.Acquire(2, kFullHd); });
      ASSERT_TRUE(WaitFor([&] {
        return log.Contains("[VDD] Every virtual monitor is in use and one belongs to a tablet that reconnected; "
                            "waiting up to 3000 ms for its release");
      }));
      switch (c.then) {
        case Then::kOldSessionReleased: m.Release(1, "tablet left"); break;
        case Then::kWaitRunsOut: rig.clock.AdvanceMs(3000); break;
        case Then::kShutdown: m.Shutdown(); break;
      }
      acquire.join();
      EXPECT_EQ(b.kind, c.kind);
      EXPECT_EQ(rig.clock.TickMs() - start, c.waited_ms);
      EXPECT_FALSE(m.HoldsMonitor(1));
      const bool handed_over = log.Contains(
          "[VDD] Virtual monitor \\\\.\\DISPLAY2 of session 1 removed (its tablet reconnected on another slot)");
      EXPECT_EQ(handed_over, c.then == Then::kWaitRunsOut);
      if (c.kind == Kind::kCreated) {
        EXPECT_TRUE(m.HoldsMonitor(2));
        EXPECT_EQ(b.monitor_id, FakeVddState::GdiName(0));
      } else {
        EXPECT_EQ(b.message, "host is shutting down");
      }
    }
  }
}

// --------------------------------------------------------------- recovery

TEST(VirtualDisplayManager, RecoversFromTheLedger) {
  const std::string token0 = FakeVddState::Token(0);
  struct Case {
    const char* name;
    std::string text;
    uint32_t removed;
    std::vector<std::string> leftovers;  // what the back-end was asked to remove
    const char* line;
    bool display_changed;
  };
  const Case cases[] = {
      {"left attached", std::string(kHeader) + "display=tvr-vdd|" + token0 + "\r\n", 1, {token0},
       "[VDD] Removed virtual monitor left by a previous run (token=attached@DISPLAY\\TVR\\0)", true},
      {"was extended before", std::string(kHeader) + "display=tvr-vdd|preexisting@DISPLAY\\TVR\\0\n", 0, {}, nullptr,
       false},
      {"another back-end", "display=other-vdd|" + token0 + "\n", 0, {},
       "[VDD] Dropping stale ledger entry for backend other-vdd (current=tvr-vdd)", false},
      {"attached without a target", "display=tvr-vdd|attached\n", 0, {"attached"},
       "[VDD] Stale virtual monitor token=attached not removed (token names no target of the driver); dropping "
       "entry",
       false},
      {"nothing valid", std::string(kHeader) + "display=tvr-vdd|\n", 0, {}, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Rig rig;
    rig.state->SetAttached(0, true);
    WriteText(rig.Ledger(), c.text);
    VirtualDisplayManager& m = rig.Make();
    EXPECT_EQ(m.RecoverFromLedger(), c.removed);
    EXPECT_EQ(rig.state->leftovers_released, c.leftovers);
    EXPECT_EQ(rig.state->AttachedCount(), c.removed == 0 ? 1u : 0u);
    if (c.line) {
      EXPECT_EQ(log.Count(c.line), 1u);
    }
    if (c.removed == 0) {
      EXPECT_FALSE(log.Contains("[VDD] Removed virtual monitor"));
    }
    EXPECT_EQ(m.InDisplayChangeGrace(), c.display_changed);
    EXPECT_FALSE(std::filesystem::exists(rig.Ledger()));
    EXPECT_EQ(rig.state->unused_checks, 1u);
  }
}

TEST(VirtualDisplayManager, WithoutALedgerOnlyTheUnusedCheckRuns) {
  for (const bool empty_path : {true, false}) {
    Rig rig;
    if (empty_path) rig.config.ledger_path.clear();
    VirtualDisplayManager& m = rig.Make();
    EXPECT_EQ(m.RecoverFromLedger(), 0u);
    EXPECT_EQ(rig.state->unused_checks, 1u);
    EXPECT_TRUE(rig.state->leftovers_released.empty());
  }
}

TEST(VirtualDisplayManager, AMonitorLeftByAKilledHostIsRemovedAtTheNextStart) {
  LogCapture log;
  Rig first;
  ASSERT_EQ(first.Make().Acquire(1, kFullHd).kind, Kind::kCreated);
  const std::string ledger = ReadText(first.Ledger());
  EXPECT_EQ(ledger, std::string(kHeader) + "display=tvr-vdd|attached@DISPLAY\\TVR\\0\n");

  // The next start finds the monitor still attached and the ledger on disk.
  Rig next;
  next.state->SetAttached(0, true);
  WriteText(next.Ledger(), ledger);
  VirtualDisplayManager& m = next.Make();
  EXPECT_EQ(m.RecoverFromLedger(), 1u);
  EXPECT_EQ(next.state->leftovers_released, std::vector<std::string>{"attached@DISPLAY\\TVR\\0"});
  EXPECT_EQ(next.state->AttachedCount(), 0u);
  EXPECT_TRUE(log.Contains("[VDD] Removed virtual monitor left by a previous run (token=attached@DISPLAY\\TVR\\0)"));
  EXPECT_FALSE(std::filesystem::exists(next.Ledger()));
}

// ------------------------------------------------------- availability, grace

TEST(VirtualDisplayManager, RefreshAvailabilityReplacesTheStandInWhenTheDriverArrives) {
  LogCapture log;
  Rig rig;
  rig.factory_follows_availability = true;
  rig.config.unused_retries = 0;
  rig.state->availability = {VirtualDisplayState::kNotInstalled, "device not found", false};
  VirtualDisplayManager& m = rig.Make();
  EXPECT_TRUE(log.Contains("[VDD] Backend=no virtual display driver availability=not-installed "
                           "detail=no supported virtual display driver found"));
  EXPECT_FALSE(m.DriverAvailable());
  EXPECT_STREQ(m.BackendId(), "none");
  EXPECT_EQ(m.GetBackendName(), "no virtual display driver");
  EXPECT_FALSE(m.RefreshAvailability());
  EXPECT_FALSE(log.Contains("Driver availability changed"));

  {
    std::lock_guard<std::mutex> lock(rig.state->mu);
    rig.state->availability = {VirtualDisplayState::kInstalled, "driver running", true};
    rig.state->unused_deferred = true;
  }
  EXPECT_TRUE(m.RefreshAvailability());
  EXPECT_EQ(log.Count("[VDD] Driver availability changed: not-installed -> installed (driver running)"), 1u);
  EXPECT_TRUE(m.DriverAvailable());
  EXPECT_EQ(m.PublishedState(), VirtualDisplayState::kInstalled);
  EXPECT_TRUE(m.NoMonitor());
  EXPECT_STREQ(m.BackendId(), "tvr-vdd");
  EXPECT_EQ(m.GetBackendName(), "Virtual Display Driver (VirtualDrivers)");
  EXPECT_EQ(m.GetAvailabilityDetail(), "driver running");
  EXPECT_EQ(rig.state->backends_created, 1u);

  // A deferred clean-up is retried once the driver is there.
  EXPECT_EQ(m.RecoverFromLedger(), 0u);
  EXPECT_EQ(rig.state->unused_checks, 1u);
  EXPECT_TRUE(m.RefreshAvailability());
  EXPECT_EQ(rig.state->unused_checks, 2u);
  EXPECT_EQ(rig.state->backends_created, 1u);  // an installed back-end is kept
  EXPECT_EQ(log.Count("Driver availability changed"), 1u);
}

TEST(VirtualDisplayManager, RefreshAvailabilityAnswersFromThePublishedFlagWhileBusy) {
  Rig rig;
  VirtualDisplayManager& m = rig.Make();
  Gate gate;
  rig.list_gate = &gate;
  VirtualDisplayAcquireResult r;
  std::thread acquire([&] { r = m.Acquire(1, kFullHd); });
  ASSERT_TRUE(WaitFor([&] { return gate.Parked(); }));
  {
    std::lock_guard<std::mutex> lock(rig.state->mu);
    rig.state->availability = {VirtualDisplayState::kNotInstalled, "gone", false};
  }
  EXPECT_TRUE(m.RefreshAvailability());  // the acquire holds the manager: the published flag answers
  gate.Open();
  acquire.join();
  EXPECT_EQ(r.kind, Kind::kCreated);
  rig.list_gate = nullptr;
  EXPECT_FALSE(m.RefreshAvailability());
  EXPECT_FALSE(m.DriverAvailable());
}

TEST(VirtualDisplayManager, DisplayChangeGraceKeepsTheLaterEnd) {
  struct Step {
    uint64_t advance_ms;
    int grace_ms;  // -1: only look
    bool in_grace;
  };
  const Step steps[] = {
      {0, -1, false},   {0, 60000, true},  {10000, 6000, true},  // a short note does not cut the long one
      {49999, -1, true}, {1, -1, false},    {0, 6000, true},     {5999, -1, true},
      {1, -1, false},
  };
  Rig rig;
  VirtualDisplayManager& m = rig.Make();
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    rig.clock.AdvanceMs(steps[i].advance_ms);
    if (steps[i].grace_ms >= 0) {
      m.NoteDisplayChange(static_cast<uint32_t>(steps[i].grace_ms));
      EXPECT_EQ(LastDisplayChangeMs(), rig.clock.TickMs());
    }
    EXPECT_EQ(m.InDisplayChangeGrace(), steps[i].in_grace);
  }
}

// ------------------------------------------------------ unused-check retries

TEST(VirtualDisplayManager, ADeferredUnusedCheckIsRetriedTwentyTimes) {
  LogCapture log;
  Rig rig;
  rig.state->unused_deferred = true;
  VirtualDisplayManager& m = rig.Make();
  const auto checks = [&] {
    std::lock_guard<std::mutex> lock(rig.state->mu);
    return rig.state->unused_checks;
  };
  EXPECT_EQ(m.RecoverFromLedger(), 0u);
  EXPECT_EQ(checks(), 1u);
  for (uint32_t round = 1; round <= 20; ++round) {
    rig.clock.AdvanceMs(30000);
    ASSERT_TRUE(WaitFor([&] { return checks() == 1 + round; })) << round;
  }
  ASSERT_TRUE(WaitFor([&] {
    return log.Contains("[VDD] Unused virtual monitors: still deferred after 20 retries; the next release checks "
                        "again");
  }));
  EXPECT_EQ(checks(), 21u);

  // The next release checks again and starts a new round of retries, which
  // ends as soon as the check is no longer deferred.
  ASSERT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
  m.Release(1, "tablet left");
  EXPECT_EQ(checks(), 22u);
  {
    std::lock_guard<std::mutex> lock(rig.state->mu);
    rig.state->unused_deferred = false;
    rig.state->unused_detached = 1;
  }
  rig.clock.AdvanceMs(30000);
  ASSERT_TRUE(WaitFor([&] { return checks() == 23u; }));
  EXPECT_TRUE(WaitFor([&] { return m.InDisplayChangeGrace(); }));  // the check detached a monitor
  rig.clock.AdvanceMs(30000);
  m.Shutdown();
  EXPECT_EQ(checks(), 23u);
  EXPECT_EQ(log.Count("still deferred after"), 1u);
}

// ------------------------------------------------------------------ races

TEST(VirtualDisplayManagerRace, ShutdownWhileTheRetryThreadWakes) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Rig rig;
    rig.state->unused_deferred = true;
    VirtualDisplayManager& m = rig.Make();
    ASSERT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
    m.RecoverFromLedger();  // deferred: the retry thread starts
    std::thread waker([&] { rig.clock.AdvanceMs(30000); });
    m.Shutdown();
    waker.join();
    uint32_t after_shutdown = 0;
    {
      std::lock_guard<std::mutex> lock(rig.state->mu);
      after_shutdown = rig.state->unused_checks;
    }
    EXPECT_EQ(m.Acquire(2, kFullHd).kind, Kind::kAddFailed);
    rig.clock.AdvanceMs(60000);
    rig.manager.reset();
    EXPECT_EQ(rig.state->unused_checks, after_shutdown);  // the thread was joined
    EXPECT_EQ(rig.state->AttachedCount(), 0u);
  }
}

TEST(VirtualDisplayManagerRace, TheDestructorWaitsForAnAcquireSwitchingAMode) {
  struct Case {
    const char* name;
    bool park_second;  // park the in-place switch of a second acquire, not the first one's
    Kind kind;
    const char* message;
  };
  const Case cases[] = {
      {"new monitor", false, Kind::kMonitorNotFound, "virtual monitor was released while switching its mode"},
      {"in place", true, Kind::kAddFailed, "host is shutting down"},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(c.name);
      LogCapture log;
      Rig rig;
      VirtualDisplayManager& m = rig.Make();
      if (c.park_second) {
        ASSERT_EQ(m.Acquire(1, kFullHd).kind, Kind::kCreated);
      }
      Gate gate;
      rig.switch_gate = &gate;
      VirtualDisplayAcquireResult r;
      std::thread acquire([&] { r = m.Acquire(1, c.park_second ? kTabletMode : kFullHd); });
      ASSERT_TRUE(WaitFor([&] { return gate.Parked(); }));
      std::thread destroy([&] { rig.manager.reset(); });
      // The destructor's shutdown releases the parked session...
      ASSERT_TRUE(WaitFor([&] { return log.Contains("of session 1 removed (host exit)"); }));
      // ...and then must not drop the back-end before the acquire is out. A
      // destructor that does not wait has the chance to here.
      WaitFor(
          [&] {
            std::lock_guard<std::mutex> lock(rig.state->mu);
            return rig.state->backends_destroyed != 0;
          },
          20);
      uint32_t destroyed_while_parked = 0;
      {
        std::lock_guard<std::mutex> lock(rig.state->mu);
        destroyed_while_parked = rig.state->backends_destroyed;
      }
      gate.Open();
      acquire.join();
      destroy.join();
      EXPECT_EQ(destroyed_while_parked, 0u);
      EXPECT_EQ(rig.state->backends_destroyed, 1u);
      EXPECT_EQ(r.kind, c.kind);
      EXPECT_EQ(r.message, c.message);
      EXPECT_EQ(rig.state->AttachedCount(), 0u);
    }
  }
}

}  // namespace
}  // namespace orvane
