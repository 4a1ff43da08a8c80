#include "host/vdd/vdd_apply.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;
using testing::ScopedTempDir;
using testing::WaitFor;
using tvr_vdd::ResolutionEvent;
using vdd_apply::ApplyOutcome;
using vdd_apply::LaunchStatus;
using vdd_apply::PendingSize;
using vdd_apply::WaitStatus;

using Sizes = std::vector<PendingSize>;

constexpr const char* kHeader = "# Orvane Display - Virtual Display Driver resolutions waiting for a driver restart\n";
constexpr int64_t kBoot = 1'700'000'000;

// The tool as a script: what the launch gives, how the process ends. The
// test and the fake launcher share it; the controller's worker may keep the
// fake alive beyond a test's scope, so it is held by shared ownership.
struct FakeTool {
  std::mutex mu;
  std::condition_variable cv;
  ManualClock clock;

  // Script.
  bool present = true;
  LaunchStatus launch_status = LaunchStatus::kStarted;
  uint32_t launch_error = 0;
  bool no_process = false;
  bool ends_at_once = true;
  uint32_t exit_code = 0;
  bool exit_code_readable = true;
  bool block_launch = false;

  // What happened.
  std::vector<std::string> commands;
  bool launching = false;
  bool waiting = false;
  uint32_t wait_limit = 0;
  bool stopped = false;
  bool process_ended = false;
  int closed = 0;

  void AdvanceMs(uint64_t ms) {
    std::lock_guard<std::mutex> lock(mu);
    clock.AdvanceMs(ms);
    cv.notify_all();
  }
  void EndProcess() {
    std::lock_guard<std::mutex> lock(mu);
    process_ended = true;
    cv.notify_all();
  }
  void ReleaseLaunch() {
    std::lock_guard<std::mutex> lock(mu);
    block_launch = false;
    cv.notify_all();
  }
  template <typename T>
  T Get(T FakeTool::*field) {
    std::lock_guard<std::mutex> lock(mu);
    return this->*field;
  }
};

class FakeProcess final : public vdd_apply::IToolProcess {
 public:
  explicit FakeProcess(std::shared_ptr<FakeTool> tool) : tool_(std::move(tool)) {}
  ~FakeProcess() override {
    std::lock_guard<std::mutex> lock(tool_->mu);
    ++tool_->closed;
  }
  WaitStatus Wait(uint32_t limit_ms) override {
    std::unique_lock<std::mutex> lock(tool_->mu);
    tool_->wait_limit = limit_ms;
    tool_->waiting = true;
    tool_->cv.notify_all();
    const uint64_t start = tool_->clock.TickMs();
    tool_->cv.wait(lock, [&] {
      return tool_->process_ended || tool_->stopped || tool_->clock.TickMs() - start >= limit_ms;
    });
    tool_->waiting = false;
    if (tool_->process_ended) return WaitStatus::kEnded;
    return tool_->stopped ? WaitStatus::kStopped : WaitStatus::kTimedOut;
  }
  bool HasEnded() override {
    std::lock_guard<std::mutex> lock(tool_->mu);
    return tool_->process_ended;
  }
  bool ReadExitCode(uint32_t* code) override {
    std::lock_guard<std::mutex> lock(tool_->mu);
    if (!tool_->process_ended || !tool_->exit_code_readable) return false;
    *code = tool_->exit_code;
    return true;
  }

 private:
  std::shared_ptr<FakeTool> tool_;
};

class FakeLauncher final : public vdd_apply::IToolLauncher {
 public:
  explicit FakeLauncher(std::shared_ptr<FakeTool> tool) : tool_(std::move(tool)) {}
  std::string LocateTool() override {
    std::lock_guard<std::mutex> lock(tool_->mu);
    return tool_->present ? "/opt/orvane/OrvaneVddSetup" : "";
  }
  vdd_apply::LaunchResult Launch(const std::string& tool_path, bool repair) override {
    std::unique_lock<std::mutex> lock(tool_->mu);
    tool_->commands.push_back(tool_path + " " + (repair ? "repair" : "restart"));
    tool_->launching = true;
    tool_->cv.notify_all();
    tool_->cv.wait(lock, [&] { return !tool_->block_launch; });
    tool_->launching = false;
    vdd_apply::LaunchResult r;
    r.status = tool_->launch_status;
    r.error = tool_->launch_error;
    if (r.status == LaunchStatus::kStarted && !tool_->no_process) {
      tool_->process_ended = tool_->ends_at_once;
      r.process = std::make_unique<FakeProcess>(tool_);
    }
    return r;
  }
  void Stop() override {
    std::lock_guard<std::mutex> lock(tool_->mu);
    tool_->stopped = true;
    tool_->cv.notify_all();
  }

 private:
  std::shared_ptr<FakeTool> tool_;
};

struct Calls {
  std::mutex mu;
  int offers = 0;
  int launched = 0;
  std::vector<ApplyOutcome> outcomes;
  int Offers() {
    std::lock_guard<std::mutex> lock(mu);
    return offers;
  }
  int Launched() {
    std::lock_guard<std::mutex> lock(mu);
    return launched;
  }
  std::vector<ApplyOutcome> Outcomes() {
    std::lock_guard<std::mutex> lock(mu);
    return outcomes;
  }
};

std::string ReadText(const std::filesystem::path& path) { return ReadFileBounded(path, 1 << 20).bytes; }

void WriteRaw(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class VddApplyTest : public ::testing::Test {
 protected:
  std::unique_ptr<VddApplyController> Make(int64_t boot = kBoot, std::string path = {}) {
    if (path.empty()) path = PathToUtf8(file_);
    VddApplyController::Platform platform;
    platform.launcher = std::make_unique<FakeLauncher>(tool_);
    platform.boot_time = [boot] { return boot; };
    platform.clock = &tool_->clock;
    auto calls = calls_;
    auto controller = std::make_unique<VddApplyController>(
        path,
        [calls] {
          std::lock_guard<std::mutex> lock(calls->mu);
          ++calls->offers;
        },
        [calls] {
          std::lock_guard<std::mutex> lock(calls->mu);
          ++calls->launched;
        },
        [calls](ApplyOutcome outcome) {
          std::lock_guard<std::mutex> lock(calls->mu);
          calls->outcomes.push_back(outcome);
        },
        std::move(platform));
    controller->Load();
    return controller;
  }

  // A fresh start with 2560x1600 pending, applied once to its outcome;
  // nullptr when no outcome came.
  std::unique_ptr<VddApplyController> ApplyOnce() {
    std::filesystem::remove(file_);
    calls_ = std::make_shared<Calls>();
    log_.Clear();
    auto c = Make();
    c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
    if (!c->StartApply(false) || !WaitForOutcomes(1)) return nullptr;
    return c;
  }

  bool WaitForOutcomes(size_t n) {
    return WaitFor([&] { return calls_->Outcomes().size() >= n; });
  }

  ScopedTempDir dir_;
  std::filesystem::path file_ = dir_.path() / "vdd_pending_apply.ini";
  std::shared_ptr<FakeTool> tool_ = std::make_shared<FakeTool>();
  std::shared_ptr<Calls> calls_ = std::make_shared<Calls>();
  LogCapture log_;
};

TEST(VddApplyNames, OutcomesAndExitCodes) {
  const std::pair<ApplyOutcome, const char*> names[] = {
      {ApplyOutcome::kApplied, "applied"},
      {ApplyOutcome::kRebootRequired, "reboot-required"},
      {ApplyOutcome::kNotInstalled, "not-installed"},
      {ApplyOutcome::kDeviceNotStarted, "device-not-started"},
      {ApplyOutcome::kCancelled, "cancelled"},
      {ApplyOutcome::kNotElevated, "not-elevated"},
      {ApplyOutcome::kHelperMissing, "helper-missing"},
      {ApplyOutcome::kTimedOut, "timed-out"},
      {ApplyOutcome::kFailed, "failed"},
      {ApplyOutcome::kRolledBack, "rolled-back"},
      {ApplyOutcome::kNoMonitor, "no-monitor"},
      {static_cast<ApplyOutcome>(11), "unknown"},
  };
  for (const auto& [outcome, name] : names) EXPECT_STREQ(vdd_apply::ApplyOutcomeName(outcome), name);
}

TEST(VddApplyFormat, ListForm) {
  EXPECT_EQ(vdd_apply::FormatPendingList({}), "");
  EXPECT_EQ(vdd_apply::FormatPendingList({{2560, 1600}}), "2560x1600");
  EXPECT_EQ(vdd_apply::FormatPendingList({{2560, 1600}, {1, 3}, {1920, 1200}}), "2560x1600,3 monitors,1920x1200");
}

TEST(VddApplyFormat, ParsesOnlyWellFormedLines) {
  struct Case {
    const char* text;
    int64_t boot;
    Sizes pending;
    Sizes restarted;
  };
  const Case cases[] = {
      {"# comment\r\n\r\nboot=1700000000\r\npending=2560x1600\r\nrestarted=1920x1200\r\n", kBoot, {{2560, 1600}},
       {{1920, 1200}}},
      {"pending=1x3\npending=2560x1600\npending=2560x1600\n", 0, {{1, 3}, {2560, 1600}}, {}},
      // Malformed sizes, each skipped on its own.
      {"pending=0x1080\npending=1920x\npending=x1080\npending=+1920x1080\npending=1920x1080x2\n"
       "pending=16385x100\npending=100000x1\npending=1920 x1080\npending=19a0x1080\npending=1920X1080\n"
       "pending=00001920x1080\n",
       0, {{1920, 1080}}, {}},
      // Keys are exact; a line without '=' is no entry.
      {"Pending=2560x1600\n pending=2560x1600\npending 2560x1600\nother=1\npending=800x600", 0, {{800, 600}}, {}},
      // A restarted entry that is pending again stays only in pending.
      {"restarted=2560x1600\nrestarted=1920x1200\npending=2560x1600\n", 0, {{2560, 1600}}, {{1920, 1200}}},
      // Boot: a whole number above 0 within 64 bits.
      {"boot=9223372036854775807\n", INT64_MAX, {}, {}},
      {"boot=9223372036854775808\n", 0, {}, {}},
      {"boot=99999999999999999999999\n", 0, {}, {}},
      {"boot=0\n", 0, {}, {}},
      {"boot=-5\n", 0, {}, {}},
      {"boot=+42\n", 42, {}, {}},
      {"boot=12a\n", 0, {}, {}},
      {"boot=\n", 0, {}, {}},
  };
  for (const Case& c : cases) {
    const vdd_apply::PendingFileContents got = vdd_apply::ParsePendingFile(c.text);
    EXPECT_EQ(got.boot, c.boot) << c.text;
    EXPECT_EQ(got.pending, c.pending) << c.text;
    EXPECT_EQ(got.restarted, c.restarted) << c.text;
  }
}

TEST(VddApplyFormat, ListsKeepAtMost64) {
  std::string text;
  for (uint32_t i = 0; i < 70; ++i) text += "pending=" + std::to_string(640 + i) + "x480\n";
  const auto got = vdd_apply::ParsePendingFile(text);
  ASSERT_EQ(got.pending.size(), 64u);
  EXPECT_EQ(got.pending.back(), (PendingSize{703, 480}));
}

TEST_F(VddApplyTest, AddedSizeWaitsOnceAndIsOfferedOnce) {
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
  EXPECT_EQ(ReadText(file_), std::string(kHeader) + "boot=1700000000\npending=2560x1600\n");
  EXPECT_EQ(calls_->Offers(), 1);
  EXPECT_EQ(log_.Count("[VddApply] 2560x1600 waits for a driver restart; offering to apply it"), 1u);

  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
  EXPECT_EQ(calls_->Offers(), 1);
  EXPECT_EQ(log_.Count("offering to apply it"), 1u);
}

TEST_F(VddApplyTest, MonitorCountShowsAsMonitors) {
  {
    auto c = Make();
    c->OnResolutionEvent(ResolutionEvent::Added, 1, 3);
    EXPECT_NE(ReadText(file_).find("\npending=1x3\n"), std::string::npos);
  }
  auto c = Make();
  EXPECT_TRUE(log_.Contains("[VddApply] Resolutions waiting for a driver restart: 3 monitors"));
  EXPECT_TRUE(c->StartApply(false));
  EXPECT_TRUE(log_.Contains("[VddApply] Restarting the Virtual Display Driver (elevated) to apply: 3 monitors"));
  ASSERT_TRUE(WaitForOutcomes(1));
}

TEST_F(VddApplyTest, OfferedSizeLeavesAndTheEmptyFileGoes) {
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  c->OnResolutionEvent(ResolutionEvent::Added, 1920, 1200);
  c->OnResolutionEvent(ResolutionEvent::Offered, 2560, 1600);
  EXPECT_EQ(c->Pending(), (Sizes{{1920, 1200}}));
  EXPECT_TRUE(std::filesystem::exists(file_));
  c->OnResolutionEvent(ResolutionEvent::Offered, 1920, 1200);
  EXPECT_FALSE(c->HasPending());
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(VddApplyTest, SizesOutOfRangeAreIgnored) {
  auto c = Make();
  for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{0, 1080}, {1920, 0}, {16385, 1080}, {1920, 16385}}) {
    c->OnResolutionEvent(ResolutionEvent::Added, w, h);
  }
  c->OnResolutionEvent(static_cast<ResolutionEvent>(7), 1920, 1080);
  EXPECT_FALSE(c->HasPending());
  EXPECT_EQ(calls_->Offers(), 0);
  c->OnResolutionEvent(ResolutionEvent::Added, 16384, 16384);
  EXPECT_TRUE(c->HasPending());
}

TEST_F(VddApplyTest, BootTimesFurtherThan120SecondsApartMeanTheSystemRestarted) {
  struct Case {
    int64_t later_boot;
    bool restarted;
  };
  for (const Case& k : {Case{kBoot + 119, false}, Case{kBoot - 119, false}, Case{kBoot + 121, true},
                        Case{kBoot - 121, true}}) {
    SCOPED_TRACE(k.later_boot - kBoot);
    std::filesystem::remove(file_);
    log_.Clear();
    Make(kBoot)->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
    auto c = Make(k.later_boot);
    if (k.restarted) {
      EXPECT_TRUE(log_.Contains(
          "[VddApply] Windows restarted since resolutions were added; the driver offers them now"));
      EXPECT_FALSE(c->HasPending());
      EXPECT_EQ(c->Restarted(), (Sizes{{2560, 1600}}));
      EXPECT_EQ(ReadText(file_),
                std::string(kHeader) + "boot=" + std::to_string(k.later_boot) + "\nrestarted=2560x1600\n");
      EXPECT_FALSE(log_.Contains("Resolutions waiting for a driver restart"));
    } else {
      EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
      EXPECT_TRUE(log_.Contains("[VddApply] Resolutions waiting for a driver restart: 2560x1600"));
    }
  }
}

TEST_F(VddApplyTest, BootBeyond64BitsIsIgnored) {
  WriteRaw(file_, "boot=99999999999999999999\npending=2560x1600\n");
  auto c = Make(kBoot);
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
  EXPECT_FALSE(log_.Contains("Windows restarted"));
}

TEST_F(VddApplyTest, PendingRestartOfARestartedSizeWarnsAboutAnotherSettingsFile) {
  const std::string text = std::string(kHeader) + "boot=1700000000\nrestarted=2560x1600\n";
  WriteRaw(file_, text);
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::PendingRestart, 2560, 1600);
  EXPECT_TRUE(log_.Contains(
      "[VddApply] 2560x1600 is still not offered although the driver restarted after it was added; the driver may "
      "read a different vdd_settings.xml (VDDPATH)"));
  EXPECT_FALSE(c->HasPending());
  EXPECT_EQ(c->Restarted(), (Sizes{{2560, 1600}}));
  EXPECT_EQ(ReadText(file_), text);
  EXPECT_EQ(calls_->Offers(), 0);

  // A size the controller never saw waits like an added one.
  c->OnResolutionEvent(ResolutionEvent::PendingRestart, 1920, 1200);
  EXPECT_EQ(c->Pending(), (Sizes{{1920, 1200}}));
  EXPECT_EQ(calls_->Offers(), 1);
}

TEST_F(VddApplyTest, TheSixtyFifthSizeIsNotAdded) {
  auto c = Make();
  for (uint32_t i = 0; i < 65; ++i) c->OnResolutionEvent(ResolutionEvent::Added, 640 + i, 480);
  EXPECT_EQ(c->Pending().size(), 64u);
  EXPECT_EQ(calls_->Offers(), 64);
  EXPECT_EQ(ReadText(file_).find("704x480"), std::string::npos);
}

TEST_F(VddApplyTest, ExitCodesBecomeOutcomes) {
  struct Case {
    uint32_t exit_code;
    ApplyOutcome outcome;
    bool stays_pending;
    bool restarted;
  };
  const Case cases[] = {
      {0, ApplyOutcome::kApplied, false, true},
      {1, ApplyOutcome::kNotInstalled, false, false},
      {4, ApplyOutcome::kDeviceNotStarted, true, false},
      {5, ApplyOutcome::kNotElevated, true, false},
      {3010, ApplyOutcome::kRebootRequired, true, false},
      {3020, ApplyOutcome::kRolledBack, false, false},
      {3021, ApplyOutcome::kNoMonitor, false, false},
      {7, ApplyOutcome::kFailed, true, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.exit_code);
    tool_->exit_code = k.exit_code;
    auto c = ApplyOnce();
    ASSERT_TRUE(c);
    EXPECT_EQ(calls_->Outcomes(), std::vector<ApplyOutcome>{k.outcome});
    EXPECT_EQ(calls_->Launched(), 1);
    EXPECT_TRUE(log_.Contains(std::string("[VddApply] OrvaneVddSetup restart: outcome=") +
                              vdd_apply::ApplyOutcomeName(k.outcome) + " exit=" + std::to_string(k.exit_code) +
                              " launch_error=0 timed_out=0"));
    EXPECT_EQ(c->Pending(), (k.stays_pending ? Sizes{{2560, 1600}} : Sizes{}));
    EXPECT_EQ(c->Restarted(), (k.restarted ? Sizes{{2560, 1600}} : Sizes{}));
    EXPECT_TRUE(log_.Contains(std::string("[VddApply] Pending resolutions now: ") +
                              (k.stays_pending ? "2560x1600" : "")));
    EXPECT_EQ(std::filesystem::exists(file_), k.stays_pending || k.restarted);
    EXPECT_FALSE(c->IsApplying());
  }
  EXPECT_EQ(tool_->Get(&FakeTool::commands).back(), "/opt/orvane/OrvaneVddSetup restart");
}

TEST_F(VddApplyTest, LaunchFailuresBecomeOutcomes) {
  struct Case {
    const char* name;
    bool present;
    LaunchStatus status;
    uint32_t error;
    bool no_process;
    bool exit_readable;
    ApplyOutcome outcome;
    const char* line;
  };
  const Case cases[] = {
      {"missing", false, LaunchStatus::kStarted, 0, false, true, ApplyOutcome::kHelperMissing,
       "outcome=helper-missing exit=0 launch_error=0 timed_out=0"},
      {"declined", true, LaunchStatus::kCancelled, 1223, false, true, ApplyOutcome::kCancelled,
       "outcome=cancelled exit=0 launch_error=1223 timed_out=0"},
      {"failed", true, LaunchStatus::kFailed, 2, false, true, ApplyOutcome::kFailed,
       "outcome=failed exit=0 launch_error=2 timed_out=0"},
      {"no process", true, LaunchStatus::kStarted, 0, true, true, ApplyOutcome::kFailed,
       "outcome=failed exit=0 launch_error=0 timed_out=0"},
      {"exit code unreadable", true, LaunchStatus::kStarted, 0, false, false, ApplyOutcome::kTimedOut,
       "outcome=timed-out exit=0 launch_error=0 timed_out=1"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    tool_->present = k.present;
    tool_->launch_status = k.status;
    tool_->launch_error = k.error;
    tool_->no_process = k.no_process;
    tool_->exit_code_readable = k.exit_readable;
    auto c = ApplyOnce();
    ASSERT_TRUE(c);
    EXPECT_EQ(calls_->Outcomes(), std::vector<ApplyOutcome>{k.outcome});
    EXPECT_TRUE(log_.Contains(std::string("[VddApply] OrvaneVddSetup restart: ") + k.line));
    EXPECT_EQ(calls_->Launched(), k.present && k.status == LaunchStatus::kStarted && !k.no_process ? 1 : 0);
    EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
    EXPECT_TRUE(c->CanApply(false));
  }
}

TEST_F(VddApplyTest, RepairRunsTheRepairCommand) {
  auto c = Make();
  EXPECT_FALSE(c->HasWork(false));
  EXPECT_FALSE(c->CanApply(false));
  EXPECT_TRUE(c->HasWork(true));
  EXPECT_TRUE(c->CanApply(true));
  ASSERT_TRUE(c->StartApply(true));
  ASSERT_TRUE(WaitForOutcomes(1));
  EXPECT_TRUE(log_.Contains(
      "[VddApply] The Virtual Display Driver runs without a monitor; repairing its settings (elevated)"));
  EXPECT_TRUE(log_.Contains("[VddApply] OrvaneVddSetup repair: outcome=applied"));
  EXPECT_EQ(tool_->Get(&FakeTool::commands), std::vector<std::string>{"/opt/orvane/OrvaneVddSetup repair"});
}

TEST_F(VddApplyTest, SizesArrivingWhileTheToolRunsStayPending) {
  tool_->ends_at_once = false;
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  ASSERT_TRUE(c->StartApply(false));
  ASSERT_TRUE(WaitFor([&] { return tool_->Get(&FakeTool::waiting); }));
  EXPECT_TRUE(c->IsApplying());
  EXPECT_FALSE(c->CanApply(true));
  EXPECT_FALSE(c->StartApply(false));
  c->OnResolutionEvent(ResolutionEvent::Added, 1920, 1200);
  tool_->EndProcess();
  ASSERT_TRUE(WaitForOutcomes(1));
  EXPECT_EQ(calls_->Outcomes(), std::vector<ApplyOutcome>{ApplyOutcome::kApplied});
  EXPECT_EQ(c->Pending(), (Sizes{{1920, 1200}}));
  EXPECT_EQ(c->Restarted(), (Sizes{{2560, 1600}}));
  EXPECT_EQ(ReadText(file_),
            std::string(kHeader) + "boot=1700000000\npending=1920x1200\nrestarted=2560x1600\n");
}

TEST_F(VddApplyTest, AToolStillRunningAfterItsWaitBlocksTheNextApply) {
  tool_->ends_at_once = false;
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  ASSERT_TRUE(c->StartApply(false));
  ASSERT_TRUE(WaitFor([&] { return tool_->Get(&FakeTool::waiting); }));
  EXPECT_EQ(tool_->Get(&FakeTool::wait_limit), 60000u);
  tool_->AdvanceMs(60000);
  ASSERT_TRUE(WaitForOutcomes(1));
  EXPECT_EQ(calls_->Outcomes(), std::vector<ApplyOutcome>{ApplyOutcome::kTimedOut});
  EXPECT_TRUE(log_.Contains("outcome=timed-out exit=0 launch_error=0 timed_out=1"));
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
  EXPECT_FALSE(c->IsApplying());

  // The first tool may still be restarting the driver: no second one.
  EXPECT_EQ(tool_->Get(&FakeTool::closed), 0);
  EXPECT_FALSE(c->CanApply(true));
  EXPECT_FALSE(c->StartApply(false));
  EXPECT_TRUE(log_.Contains("[VddApply] The setup tool started earlier still runs; not starting another"));
  EXPECT_EQ(tool_->Get(&FakeTool::commands).size(), 1u);

  tool_->EndProcess();
  EXPECT_TRUE(c->CanApply(false));
  {
    std::lock_guard<std::mutex> lock(tool_->mu);
    tool_->ends_at_once = true;  // the second tool ends at once
  }
  ASSERT_TRUE(c->StartApply(false));
  ASSERT_TRUE(WaitForOutcomes(2));
  EXPECT_EQ(tool_->Get(&FakeTool::commands).size(), 2u);
  EXPECT_EQ(tool_->Get(&FakeTool::closed), 2);
}

TEST_F(VddApplyTest, ShutdownEndsTheWaitAndSilencesEveryCallback) {
  tool_->ends_at_once = false;
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  ASSERT_TRUE(c->StartApply(false));
  ASSERT_TRUE(WaitFor([&] { return tool_->Get(&FakeTool::waiting); }));
  c->Shutdown();
  // The worker ended within Shutdown, at once, with the wait's outcome.
  EXPECT_EQ(calls_->Outcomes(), std::vector<ApplyOutcome>{ApplyOutcome::kTimedOut});
  EXPECT_TRUE(log_.Contains("outcome=timed-out exit=0 launch_error=0 timed_out=1"));
  EXPECT_EQ(tool_->Get(&FakeTool::closed), 1);
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));

  c->OnResolutionEvent(ResolutionEvent::Added, 1920, 1200);
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}, {1920, 1200}}));  // still kept and saved
  EXPECT_NE(ReadText(file_).find("pending=1920x1200"), std::string::npos);
  EXPECT_EQ(calls_->Offers(), 1);
  EXPECT_FALSE(c->StartApply(false));
  EXPECT_FALSE(c->CanApply(true));
  c.reset();
  EXPECT_EQ(calls_->Outcomes().size(), 1u);
  EXPECT_EQ(calls_->Launched(), 1);
}

TEST_F(VddApplyTest, AWorkerStuckBeyondShutdownFinishesTheListsAndCallsNothing) {
  tool_->block_launch = true;  // the elevation prompt is still open
  auto c = Make();
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  ASSERT_TRUE(c->StartApply(false));
  ASSERT_TRUE(WaitFor([&] { return tool_->Get(&FakeTool::launching); }));

  std::atomic<bool> returned{false};
  std::thread shutdown([&] {
    c->Shutdown();
    returned = true;
  });
  // Shutdown's 3 s pass in virtual time.
  EXPECT_TRUE(WaitFor([&] {
    tool_->AdvanceMs(500);
    return returned.load();
  }));
  shutdown.join();
  EXPECT_TRUE(log_.Contains("[VddApply] The apply worker did not end within 3 s"));
  c.reset();  // the worker still holds the shared state

  tool_->ReleaseLaunch();
  ASSERT_TRUE(WaitFor([&] { return tool_.use_count() == 1; }));  // worker gone, state released
  EXPECT_TRUE(log_.Contains("[VddApply] OrvaneVddSetup restart: outcome=applied"));
  EXPECT_EQ(ReadText(file_), std::string(kHeader) + "boot=1700000000\nrestarted=2560x1600\n");
  EXPECT_EQ(calls_->Launched(), 0);
  EXPECT_TRUE(calls_->Outcomes().empty());
}

TEST_F(VddApplyTest, AnOversizedPendingFileIsNeitherLoadedNorReplaced) {
  std::string text = std::string(kHeader) + "boot=1700000000\npending=2560x1600\n";
  text.push_back('#');
  text.append(vdd_apply::kMaxPendingFileBytes + 1 - text.size(), 'x');  // one byte over
  WriteRaw(file_, text);
  auto c = Make(kBoot + 1000);
  EXPECT_TRUE(log_.Contains("is larger than 65536 bytes; not reading it"));
  EXPECT_FALSE(c->HasPending());
  c->OnResolutionEvent(ResolutionEvent::Offered, 2560, 1600);
  EXPECT_EQ(ReadText(file_), text);

  text.pop_back();  // exactly at the bound: read
  WriteRaw(file_, text);
  EXPECT_EQ(Make(kBoot)->Pending(), (Sizes{{2560, 1600}}));
}

TEST_F(VddApplyTest, AnUnwritableFileCostsOnlyPersistence) {
  const std::string path = PathToUtf8(dir_.path() / "missing-folder" / "vdd_pending_apply.ini");
  auto c = Make(kBoot, path);
  c->OnResolutionEvent(ResolutionEvent::Added, 2560, 1600);
  EXPECT_TRUE(log_.Contains("[VddApply] Cannot write " + path));
  EXPECT_EQ(c->Pending(), (Sizes{{2560, 1600}}));
  EXPECT_EQ(calls_->Offers(), 1);
}

}  // namespace
}  // namespace orvane
