#include "host/vdd/vdd_apply_launcher_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/vdd/vdd_apply.h"
#include "tests/support/test_support.h"

namespace orvane::vdd_apply {
namespace {

using orvane::testing::LogCapture;
using orvane::testing::ScopedEnv;
using orvane::testing::ScopedTempDir;
using orvane::testing::WaitFor;

// A stand-in for the setup tool: records its argument and the exit file it
// was given, waits for a "go" file when asked to, writes the exit file and
// exits with a status of its own.
class StandInTool {
 public:
  explicit StandInTool(const std::string& body) {
    path_ = dir_.path() / "OrvaneVddSetup";
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << "#!/bin/sh\n"
        << "printf '%s' \"$1\" > '" << (dir_.path() / "argument").string() << "'\n"
        << "printf '%s' \"$" << kExitFileVariable << "\" > '" << (dir_.path() / "exit-file-name").string() << "'\n"
        << "GO='" << (dir_.path() / "go").string() << "'\n"
        << body;
    out.close();
    chmod(path_.c_str(), 0755);
  }
  std::string path() const { return path_.string(); }
  std::string Argument() const { return ReadFileBounded(dir_.path() / "argument", 4096).bytes; }
  std::string ExitFileName() const { return ReadFileBounded(dir_.path() / "exit-file-name", 4096).bytes; }
  void Go() const { std::ofstream(dir_.path() / "go") << "1"; }

 private:
  ScopedTempDir dir_;
  std::filesystem::path path_;
};

constexpr const char* kWaitForGo = "while [ ! -e \"$GO\" ]; do sleep 0.02; done\n";

struct Ended {
  WaitStatus wait;
  bool read;
  uint32_t code;
};

Ended RunToEnd(IToolLauncher& launcher, const std::string& tool, bool repair) {
  LaunchResult launch = launcher.Launch(tool, repair);
  EXPECT_EQ(launch.status, LaunchStatus::kStarted);
  if (!launch.process) return {WaitStatus::kFailed, false, 0};
  Ended e{};
  e.wait = launch.process->Wait(kToolWaitLimitMs);
  e.read = launch.process->ReadExitCode(&e.code);
  return e;
}

TEST(VddApplyLinuxLauncher, ExitCodeFromTheExitFileElseTheStatus) {
  struct Case {
    const char* body;
    uint32_t code;
  };
  const Case cases[] = {
      {"echo 3020 > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\nexit 255\n", 3020},
      {"printf '4294967295' > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\nexit 255\n", 4294967295u},
      {"exit 4\n", 4},                                                    // no exit file
      {"echo 4294967296 > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\nexit 7\n", 7},  // beyond 32 bits
      {"echo nonsense > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\nexit 5\n", 5},
      {"kill -9 $$\n", 128 + 9},
  };
  ManualClock clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    StandInTool tool(c.body);
    auto launcher = MakeLinuxToolLauncher(tool.path(), clock);
    EXPECT_EQ(launcher->LocateTool(), tool.path());
    const Ended e = RunToEnd(*launcher, tool.path(), false);
    EXPECT_EQ(e.wait, WaitStatus::kEnded);
    EXPECT_TRUE(e.read);
    EXPECT_EQ(e.code, c.code);
  }
}

TEST(VddApplyLinuxLauncher, PassesTheCommandAndItsOwnExitFile) {
  // An exit file named in the host's environment is not the tool's.
  ScopedEnv inherited(kExitFileVariable, "/nonexistent/exit-code");
  StandInTool tool("echo 0 > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\n");
  ManualClock clock;
  auto launcher = MakeLinuxToolLauncher(tool.path(), clock);
  for (const bool repair : {false, true}) {
    LaunchResult launch = launcher->Launch(tool.path(), repair);
    ASSERT_EQ(launch.status, LaunchStatus::kStarted);
    ASSERT_EQ(launch.process->Wait(kToolWaitLimitMs), WaitStatus::kEnded);
    EXPECT_TRUE(launch.process->HasEnded());
    uint32_t code = 99;
    ASSERT_TRUE(launch.process->ReadExitCode(&code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(tool.Argument(), repair ? "repair" : "restart");
    const std::filesystem::path exit_file = tool.ExitFileName();
    EXPECT_NE(exit_file.string(), "/nonexistent/exit-code");
    EXPECT_TRUE(std::filesystem::exists(exit_file));
    launch.process.reset();  // closing removes the run's folder
    EXPECT_FALSE(std::filesystem::exists(exit_file.parent_path()));
  }
}

TEST(VddApplyLinuxLauncher, MissingToolAndFailedStart) {
  ScopedTempDir dir;
  ManualClock clock;
  const std::string missing = (dir.path() / "OrvaneVddSetup").string();
  auto launcher = MakeLinuxToolLauncher(missing, clock);
  EXPECT_EQ(launcher->LocateTool(), "");
  EXPECT_EQ(MakeLinuxToolLauncher(dir.path().string(), clock)->LocateTool(), "");  // a folder is no tool
  std::ofstream(missing) << "not a program";  // not executable
  const LaunchResult launch = launcher->Launch(missing, false);
  EXPECT_EQ(launch.status, LaunchStatus::kFailed);
  EXPECT_NE(launch.error, 0u);
  EXPECT_EQ(launch.process, nullptr);
}

TEST(VddApplyLinuxLauncher, TheWaitEndsAtItsLimitAndTheToolGoesOn) {
  StandInTool tool(std::string(kWaitForGo) + "echo 3010 > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\n");
  ManualClock clock;
  auto launcher = MakeLinuxToolLauncher(tool.path(), clock);
  LaunchResult launch = launcher->Launch(tool.path(), false);
  ASSERT_EQ(launch.status, LaunchStatus::kStarted);
  std::atomic<bool> done{false};
  WaitStatus status = WaitStatus::kFailed;
  std::thread waiter([&] {
    status = launch.process->Wait(kToolWaitLimitMs);
    done = true;
  });
  // The limit passes in virtual time.
  EXPECT_TRUE(WaitFor([&] {
    clock.AdvanceMs(kToolWaitLimitMs);
    return done.load();
  }));
  waiter.join();
  EXPECT_EQ(status, WaitStatus::kTimedOut);
  EXPECT_FALSE(launch.process->HasEnded());
  uint32_t code = 0;
  EXPECT_FALSE(launch.process->ReadExitCode(&code));

  tool.Go();
  ASSERT_TRUE(WaitFor([&] { return launch.process->HasEnded(); }));
  ASSERT_TRUE(launch.process->ReadExitCode(&code));
  EXPECT_EQ(code, 3010u);
}

TEST(VddApplyLinuxLauncher, StopEndsAWaitEarlyAndEveryLaterOne) {
  StandInTool tool(kWaitForGo);
  ManualClock clock;
  auto launcher = MakeLinuxToolLauncher(tool.path(), clock);
  LaunchResult launch = launcher->Launch(tool.path(), false);
  ASSERT_EQ(launch.status, LaunchStatus::kStarted);
  WaitStatus status = WaitStatus::kFailed;
  std::thread waiter([&] { status = launch.process->Wait(kToolWaitLimitMs); });
  launcher->Stop();
  waiter.join();
  EXPECT_EQ(status, WaitStatus::kStopped);
  EXPECT_EQ(launch.process->Wait(kToolWaitLimitMs), WaitStatus::kStopped);
  launcher->Stop();  // setting it again changes nothing
  EXPECT_EQ(launch.process->Wait(kToolWaitLimitMs), WaitStatus::kStopped);

  tool.Go();
  ASSERT_TRUE(WaitFor([&] { return launch.process->HasEnded(); }));
  EXPECT_EQ(launch.process->Wait(kToolWaitLimitMs), WaitStatus::kEnded);  // an ended tool comes first
}

TEST(VddApplyLinuxLauncher, TheControllerAppliesThroughTheStandIn) {
  LogCapture log;
  ScopedTempDir dir;
  StandInTool tool("echo 0 > \"$ORVANE_VDD_SETUP_EXIT_FILE\"\n");
  ManualClock clock;
  std::atomic<int> outcomes{0};
  std::atomic<int> last{-1};
  VddApplyController::Platform platform;
  platform.launcher = MakeLinuxToolLauncher(tool.path(), clock);
  platform.clock = &clock;
  VddApplyController controller(
      PathToUtf8(dir.path() / "vdd_pending_apply.ini"), [] {}, [] {},
      [&](ApplyOutcome outcome) {
        last = static_cast<int>(outcome);
        ++outcomes;
      },
      std::move(platform));
  controller.Load();
  controller.OnResolutionEvent(tvr_vdd::ResolutionEvent::Added, 2000, 1200);
  ASSERT_TRUE(controller.StartApply(false));
  ASSERT_TRUE(WaitFor([&] { return outcomes.load() == 1; }));
  EXPECT_EQ(last.load(), static_cast<int>(ApplyOutcome::kApplied));
  EXPECT_TRUE(log.Contains("[VddApply] OrvaneVddSetup restart: outcome=applied exit=0 launch_error=0 timed_out=0"));
  EXPECT_EQ(controller.Restarted(), (std::vector<PendingSize>{{2000, 1200}}));
}

// The real setup tool, which the build puts beside the host and this test
// program, restarting a simulated driver.
TEST(VddApplyLinuxLauncher, TheRealToolRestartsASimulatedDriver) {
  const struct {
    const char* elevated;
    ApplyOutcome outcome;
  } cases[] = {{"1", ApplyOutcome::kApplied}, {"0", ApplyOutcome::kNotElevated}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.elevated);
    ScopedTempDir dir;
    const std::filesystem::path world = dir.path() / "world";
    std::filesystem::create_directories(world);
    std::ofstream(world / "world.ini", std::ios::binary)
        << "[world]\nelevated=" << c.elevated
        << "\n[device]\ninstalled=1\npresent=1\nstarted=1\ncount=1\nrestart_delay_ms=100\n";
    ScopedEnv world_env("ORVANE_SIM_VDD", world.string());
    std::atomic<int> last{-1};
    VddApplyController::Platform platform;
    platform.launcher = MakeLinuxToolLauncher("", SystemClock());
    ASSERT_NE(platform.launcher->LocateTool(), "");
    VddApplyController controller(
        "", [] {}, [] {}, [&](ApplyOutcome outcome) { last = static_cast<int>(outcome); }, std::move(platform));
    controller.Load();
    ASSERT_TRUE(controller.StartApply(false));
    ASSERT_TRUE(WaitFor([&] { return last.load() >= 0; }, 30000));
    EXPECT_EQ(last.load(), static_cast<int>(c.outcome));
  }
}

TEST(VddApplyLinuxLauncher, BootTimeIsInThePast) {
  const int64_t boot = PlatformBootTimeSeconds();
  EXPECT_GT(boot, 0);
  EXPECT_LE(boot, static_cast<int64_t>(time(nullptr)));
}

}  // namespace
}  // namespace orvane::vdd_apply
