#include "host/app/network_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

using Ports = std::vector<uint16_t>;

// Virtual time with a hook after every sleep, so a test can act "during" a wait.
class HookClock final : public IClock {
 public:
  int64_t NowUs() override { return inner_.NowUs(); }
  uint64_t TickMs() override { return inner_.TickMs(); }
  LocalTime LocalNow() override { return inner_.LocalNow(); }
  int64_t FileTimeNow() override { return inner_.FileTimeNow(); }
  void SleepMs(uint32_t ms) override {
    inner_.AdvanceMs(ms);
    if (on_sleep) on_sleep();
  }
  std::function<void()> on_sleep;

 private:
  ManualClock inner_;
};

// What one pool does: fail Initialize with `code`, or bind the ports and run.
struct Pass {
  int code = kSessionInitOk;
  uint16_t control_port = 9430;
  uint16_t input_port = 9432;
  std::function<void()> on_run;
};

Pass Fail(int code) {
  Pass pass;
  pass.code = code;
  return pass;
}

Pass Bind(uint16_t control_port = 9430, uint16_t input_port = 9432, std::function<void()> on_run = nullptr) {
  Pass pass;
  pass.control_port = control_port;
  pass.input_port = input_port;
  pass.on_run = std::move(on_run);
  return pass;
}

struct PoolRecord {
  HostPorts ports;
  uint64_t init_ms = 0;
  uint32_t tablet_count = 0;
  bool ran = false;
  bool stop_requested_before_run = false;
  int stop_calls = 0;
  std::vector<bool> clipboard;
  std::vector<bool> tablet_only_audio;
};

class FakePool final : public INetworkPool {
 public:
  FakePool(Pass pass, PoolRecord* record, IClock* clock, int* alive)
      : pass_(std::move(pass)), record_(record), clock_(clock), alive_(alive) {
    ++*alive_;
  }
  ~FakePool() override { --*alive_; }
  bool Initialize(const HostPorts& ports, SessionInitResult* result) override {
    record_->ports = ports;
    record_->init_ms = clock_->TickMs();
    result->code = pass_.code;
    result->message = pass_.code == 0 ? "" : "bind failed (code " + std::to_string(pass_.code) + ")";
    return pass_.code == 0;
  }
  uint16_t ControlPort() const override { return pass_.control_port; }
  uint16_t InputPort() const override { return pass_.input_port; }
  void SetClipboardSharing(bool enabled) override { record_->clipboard.push_back(enabled); }
  void SetTabletOnlyAudioAllowed(bool allowed) override { record_->tablet_only_audio.push_back(allowed); }
  void Run() override {
    record_->ran = true;
    record_->stop_requested_before_run = record_->stop_calls > 0;
    if (pass_.on_run) pass_.on_run();
  }
  void RequestStop() override { ++record_->stop_calls; }

 private:
  Pass pass_;
  PoolRecord* record_;
  IClock* clock_;
  int* alive_;
};

class NetworkLoopTest : public ::testing::Test {
 protected:
  // Builds the loop over the scripted passes; running out of script is a
  // test error and ends the loop.
  void Start(std::vector<Pass> passes, HostPorts ports = DefaultPorts()) {
    script_.assign(passes.begin(), passes.end());
    auto factory = [this](uint32_t tablet_count) -> std::unique_ptr<INetworkPool> {
      EXPECT_EQ(alive_, 0) << "the previous pool must be gone before the next is created";
      if (script_.empty()) {
        ADD_FAILURE() << "more passes than scripted";
        state_.shutdown_requested = true;
        return nullptr;
      }
      records_.emplace_back();
      records_.back().tablet_count = tablet_count;
      Pass pass = script_.front();
      script_.pop_front();
      return std::make_unique<FakePool>(std::move(pass), &records_.back(), &clock_, &alive_);
    };
    loop_ = std::make_unique<NetworkLoop>(state_, clock_, factory, 3, std::move(ports));
    NetworkLoopHooks hooks;
    hooks.register_dns_sd = [this](uint16_t port) {
      events_.push_back("register " + std::to_string(port));
      return register_ok_;
    };
    hooks.withdraw_dns_sd = [this] { events_.push_back("withdraw"); };
    hooks.reset_ui_status = [this](int status) { events_.push_back("status " + std::to_string(status)); };
    hooks.set_tray_tooltip = [this](int message) { events_.push_back("tooltip " + std::to_string(message)); };
    hooks.show_notification = [this](int message, int action) {
      events_.push_back("notify " + std::to_string(message) + "/" + std::to_string(action));
    };
    hooks.open_settings_window = [this] { events_.push_back("open settings"); };
    hooks.restore_speakers = [this] { events_.push_back("restore speakers"); };
    hooks.configure_pool = [this](INetworkPool&) {
      events_.push_back("configure");
      if (on_configure_) on_configure_();
    };
    loop_->SetHooks(std::move(hooks));
  }

  static HostPorts DefaultPorts() {
    HostPorts ports;
    FillPortCandidates(&ports, std::nullopt, std::nullopt);
    return ports;
  }

  // A pass that binds the ports and ends the loop from inside Run, as the
  // tray's Exit would.
  Pass LastPass(uint16_t control = 9430, uint16_t input = 9432) {
    return Bind(control, input, [this] { loop_->RequestShutdown(); });
  }

  size_t CountEvent(const std::string& event) const {
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), event));
  }

  HostState state_;
  HookClock clock_;
  std::deque<Pass> script_;
  std::deque<PoolRecord> records_;  // stable addresses for the fakes
  int alive_ = 0;
  bool register_ok_ = true;
  std::function<void()> on_configure_;
  std::vector<std::string> events_;
  std::unique_ptr<NetworkLoop> loop_;
};

TEST_F(NetworkLoopTest, BackoffDoublesToFiveMinutesAndResetsAfterRecovery) {
  testing::LogCapture log;
  std::vector<Pass> passes(8, Fail(kSessionInitOtherFailure));
  passes.push_back(Bind());                          // recovers; its session ends normally
  passes.push_back(Fail(kSessionInitOtherFailure));  // fails again: back to 15 s
  passes.push_back(LastPass());
  Start(passes);
  loop_->Run();

  ASSERT_EQ(records_.size(), 11u);
  std::vector<uint64_t> gaps;
  for (size_t i = 1; i < records_.size(); ++i) gaps.push_back(records_[i].init_ms - records_[i - 1].init_ms);
  const std::vector<uint64_t> expected{15000, 30000, 60000, 120000, 240000, 300000, 300000, 300000,
                                       /* session ended */ 2000, /* reset */ 15000};
  EXPECT_EQ(gaps, expected);
  for (unsigned s : {30u, 60u, 120u, 240u}) {
    EXPECT_EQ(log.Count("[INFO ] [Main] Retrying network setup in " + std::to_string(s) + " s"), 1u) << s;
  }
  EXPECT_EQ(log.Count("[Main] Retrying network setup in 300 s"), 3u);
  EXPECT_EQ(log.Count("[Main] Retrying network setup in 15 s"), 2u);
  EXPECT_EQ(log.Count("[ERROR] [Main] Session initialization failed: bind failed (code 2)"), 9u);
  EXPECT_EQ(log.Count("[INFO ] [Main] Network setup recovered"), 2u);
  // The failure is announced once per run of failures, not on every retry.
  EXPECT_EQ(CountEvent("notify 32/0"), 2u);
  EXPECT_EQ(CountEvent("open settings"), 2u);
  EXPECT_EQ(CountEvent("tooltip 11"), 2u);
  EXPECT_EQ(log.Count("can't start: Windows reserved"), 0u);
  EXPECT_EQ(state_.network_state.load(), 0);
  EXPECT_EQ(loop_->backoff_ms(), 15000u);
  EXPECT_EQ(records_.front().tablet_count, 3u);
}

TEST_F(NetworkLoopTest, FirstFailureIsReportedByItsKind) {
  const struct {
    const char* name;
    int code;
    bool help_logged;
    int network_state;
    const char* notification;
  } cases[] = {
      {"ports reserved or in use", kSessionInitPortsUnavailable, true, 1, "notify 31/2"},
      {"other failure", kSessionInitOtherFailure, false, 2, "notify 32/0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    state_.shutdown_requested = false;
    events_.clear();
    records_.clear();
    // Shut down during the first back-off so the state after the failure stays visible.
    clock_.on_sleep = [this] { loop_->RequestShutdown(); };
    Start({Fail(c.code)});
    loop_->Run();
    clock_.on_sleep = nullptr;
    EXPECT_EQ(state_.network_state.load(), c.network_state);
    EXPECT_EQ(log.Count(
                  "[ERROR] [Main] Orvane Display can't start: Windows reserved its network ports. Hyper-V / WinNAT "
                  "(WSL2, Docker, Windows Sandbox) reserves TCP/UDP port ranges at boot and the ranges move "
                  "between boots. Check: netsh int ipv4 show excludedportrange protocol=tcp (and protocol=udp). "
                  "Fix: restart the PC, or as administrator run: net stop winnat, netsh int ipv4 add "
                  "excludedportrange protocol=tcp startport=9430 numberofports=1 store=persistent, net start "
                  "winnat."),
              c.help_logged ? 1u : 0u);
    const std::vector<std::string> expected{"status 0", "tooltip 11", c.notification, "open settings",
                                            "restore speakers"};
    EXPECT_EQ(events_, expected);
  }
}

TEST_F(NetworkLoopTest, MissingPoolCountsAsAFailure) {
  testing::LogCapture log;
  loop_ = std::make_unique<NetworkLoop>(state_, clock_, [](uint32_t) { return nullptr; }, 4, DefaultPorts());
  clock_.on_sleep = [this] { state_.shutdown_requested = true; };
  loop_->Run();
  EXPECT_EQ(log.Count("[ERROR] [Main] Session initialization failed: the session pool could not be created"), 1u);
  EXPECT_EQ(state_.network_state.load(), 2);
}

TEST_F(NetworkLoopTest, ShutdownDuringBackoffStopsWithinOneStep) {
  Start({Fail(kSessionInitOtherFailure)});
  uint64_t requested_at = 0;
  clock_.on_sleep = [&] {
    if (requested_at == 0 && clock_.TickMs() >= records_[0].init_ms + 5050) {
      requested_at = clock_.TickMs();
      loop_->RequestShutdown();
    }
  };
  loop_->Run();
  ASSERT_NE(requested_at, 0u);
  EXPECT_LE(clock_.TickMs() - requested_at, kShutdownPollStepMs);
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_EQ(alive_, 0);
}

TEST_F(NetworkLoopTest, ShutdownBeforeRunStopsThePoolAtOnce) {
  Start({Bind()});
  // Requested while the pool is being configured: there is no active pool yet.
  on_configure_ = [this] { loop_->RequestShutdown(); };
  testing::LogCapture log;
  loop_->Run();
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_TRUE(records_[0].ran);
  EXPECT_TRUE(records_[0].stop_requested_before_run);
  EXPECT_EQ(records_[0].stop_calls, 1);
  EXPECT_FALSE(log.Contains("Session ended"));
  EXPECT_EQ(alive_, 0);
}

TEST_F(NetworkLoopTest, RequestShutdownStopsTheRunningPool) {
  state_.share_clipboard = false;
  state_.tablet_only_audio = true;
  Start({LastPass()});
  testing::LogCapture log;
  loop_->Run();
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].stop_calls, 1);
  EXPECT_FALSE(records_[0].stop_requested_before_run);
  EXPECT_EQ(records_[0].clipboard, std::vector<bool>{false});
  EXPECT_EQ(records_[0].tablet_only_audio, std::vector<bool>{true});
  EXPECT_TRUE(state_.shutdown_requested.load());
  EXPECT_FALSE(state_.relaunch_on_console_close.load());
  EXPECT_EQ(CountEvent("restore speakers"), 1u);
  EXPECT_FALSE(log.Contains("Session ended"));
  // No pool is active once the loop is done.
  loop_->StopActivePool();
  EXPECT_EQ(records_[0].stop_calls, 1);
}

TEST_F(NetworkLoopTest, StopActivePoolReachesTheRunningPool) {
  Start({Bind(9430, 9432, [this] {
           state_.shutdown_requested = true;  // as the console handler does
           loop_->StopActivePool();
         })});
  loop_->Run();
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].stop_calls, 1);
  EXPECT_TRUE(state_.relaunch_on_console_close.load());  // only the tray's Exit clears it
}

TEST_F(NetworkLoopTest, SessionEndPausesTwoSecondsAndReconnects) {
  testing::LogCapture log;
  Start({Bind(), LastPass()});
  loop_->Run();
  ASSERT_EQ(records_.size(), 2u);
  EXPECT_EQ(records_[1].init_ms - records_[0].init_ms, 2000u);
  EXPECT_EQ(log.Count("[INFO ] [Main] Session ended. Reconnecting in 2 seconds..."), 1u);
  EXPECT_EQ(log.Count("[INFO ] \n[Main] Ready. Waiting for mobile client..."), 2u);  // the logger drops the line end
  const std::vector<std::string> expected{
      "register 9430", "configure", "tooltip 7", "status 1",  // first pool ready
      "status 4",      "tooltip 9",                            // its sessions ended
      "configure",     "tooltip 7", "status 1",                // same port: no new registration
      "restore speakers"};
  EXPECT_EQ(events_, expected);
  EXPECT_EQ(state_.listening_control_port.load(), 9430);
}

TEST_F(NetworkLoopTest, ShutdownDuringReconnectPauseStartsNoNewPool) {
  Start({Bind()});
  clock_.on_sleep = [this] { loop_->RequestShutdown(); };
  loop_->Run();
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_LE(clock_.TickMs() - records_[0].init_ms, kShutdownPollStepMs);
}

TEST_F(NetworkLoopTest, BoundPortsMoveToTheFrontOfTheCandidateLists) {
  testing::LogCapture log;
  Start({Bind(19430, 9432), Bind(9430, 29432), LastPass(51000, 9432)});
  loop_->Run();
  ASSERT_EQ(records_.size(), 3u);
  EXPECT_EQ(records_[0].ports.control_candidates, Ports({9430, 19430, 29430, 39430, 0}));
  EXPECT_EQ(records_[1].ports.control_candidates, Ports({19430, 9430, 29430, 39430, 0}));
  EXPECT_EQ(records_[1].ports.input_candidates, Ports({9432, 19432, 29432, 39432, 0}));
  EXPECT_EQ(records_[2].ports.control_candidates, Ports({9430, 19430, 29430, 39430, 0}));
  EXPECT_EQ(records_[2].ports.input_candidates, Ports({29432, 9432, 19432, 39432, 0}));
  EXPECT_EQ(loop_->ports().control_candidates, Ports({51000, 9430, 19430, 29430, 39430, 0}));

  EXPECT_EQ(log.Count("[INFO ] [Main] Listening: control TCP 19430, input UDP 9432 (fallback control port; manual "
                      "IP entry on the phone needs this port)"),
            1u);
  EXPECT_EQ(log.Count("[INFO ] [Main] Control port changed 19430 -> 9430; updating mDNS"), 1u);
  EXPECT_EQ(log.Count("[INFO ] [Main] Listening: control TCP 9430, input UDP 29432"), 1u);
  EXPECT_FALSE(log.Contains("Listening: control TCP 9430, input UDP 29432 (fallback"));
  EXPECT_EQ(log.Count("[INFO ] [Main] Control port changed 9430 -> 51000; updating mDNS"), 1u);
  EXPECT_EQ(CountEvent("withdraw"), 2u);
  EXPECT_EQ(CountEvent("register 51000"), 1u);
}

TEST_F(NetworkLoopTest, ExplicitPortsKeepTheirSingleCandidate) {
  HostPorts ports;
  ports.control_port = 5000;
  ports.control_explicit = true;
  ports.input_candidates = {7000, 7001};
  FillPortCandidates(&ports, std::nullopt, ports.input_candidates);
  Start({Bind(5000, 7001), LastPass(5000, 7001)}, ports);
  loop_->Run();
  ASSERT_EQ(records_.size(), 2u);
  EXPECT_EQ(records_[1].ports.control_candidates, Ports({5000}));
  EXPECT_EQ(records_[1].ports.input_candidates, Ports({7001, 7000}));
}

TEST_F(NetworkLoopTest, DnsSdFailureIsAnnouncedOncePerRunAndRetried) {
  testing::LogCapture log;
  register_ok_ = false;
  Start({Bind(), Bind(), LastPass()});
  on_configure_ = [this] {
    if (records_.size() == 2) {
      EXPECT_TRUE(state_.mdns_failed.load());
      register_ok_ = true;  // the next attempt works
    }
    if (records_.size() == 3) {
      EXPECT_FALSE(state_.mdns_failed.load());
    }
  };
  loop_->Run();
  EXPECT_EQ(CountEvent("register 9430"), 3u);
  EXPECT_EQ(CountEvent("notify 27/0"), 1u);
  EXPECT_EQ(log.Count("[INFO ] [Main] mDNS registration failed -- manual IP entry required on mobile"), 1u);
  EXPECT_EQ(CountEvent("tooltip 10"), 2u);
  EXPECT_EQ(CountEvent("tooltip 7"), 1u);
  EXPECT_FALSE(state_.mdns_failed.load());
}

}  // namespace
}  // namespace orvane
