// The virtual display self-test of the real host program against a
// simulated Virtual Display Driver world: it acquires a driver monitor,
// captures it and takes it away again; beside a running host it leaves the
// host's monitors and ledger alone.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/app/single_instance.h"
#include "host/vdd/vdd_ledger.h"
#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunDeadline = 60s;

class VddSelfTestRun : public ::testing::Test {
 protected:
  // A physical 1920x1080 monitor and the driver running one monitor that
  // lists two modes; up for an hour.
  void SetUp() override {
    env_.root = temp_.path();
    world_folder_ = temp_.path() / "world";
    sim_vdd::SimWorldState& s = world_.state();
    s.uptime_base_ms = 3'600'000;
    s.device.modes = {{1920, 1080, 60}, {2560, 1600, 60}};
    s.targets.assign(1, sim_vdd::SimMonitorState{});
    s.targets[0].mode = s.device.modes.front();
  }

  void SaveWorld() { ASSERT_TRUE(world_.Save(world_folder_).ok()); }

  // Runs "OrvaneHost --vdd-selftest <args>" to its end; the exit code.
  std::optional<int> RunSelfTest(ChildProcess& host, const std::vector<std::string>& args) {
    std::vector<std::string> line = {"--vdd-selftest"};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<std::string> env = env_.Env();
    env.push_back("ORVANE_SIM_VDD=" + world_folder_.string());
    if (!host.Start(ORVANE_HOST_BINARY, line, env, temp_.path() / "selftest.out")) return std::nullopt;
    return host.Wait(kRunDeadline);
  }

  std::string WorldText() const { return ReadTextFile(world_folder_ / sim_vdd::kWorldFileName); }
  std::filesystem::path Ledger() const { return env_.data_folder() / "virtual_display_ledger.ini"; }

  // The host is a sanitised build in the test run: what it reports fails the test.
  static void ExpectNoSanitizerReport(const ChildProcess& host) {
    EXPECT_EQ(CountLinesWith(host.Output(), "Sanitizer"), 0u) << host.Output();
  }

  testing::ScopedTempDir temp_;
  HostEnvironment env_;
  std::filesystem::path world_folder_;
  sim_vdd::SimVddWorld world_;
};

TEST_F(VddSelfTestRun, APortraitModeIsAcquiredCapturedAndReleased) {
  SaveWorld();
  if (HasFatalFailure()) return;
  ChildProcess host;
  EXPECT_EQ(RunSelfTest(host, {"1600x2560@0", "0"}), std::optional<int>(0)) << host.Output();
  const std::string out = host.Output();
  EXPECT_TRUE(HasLineWith(out, {"[VddSelfTest] backend=Virtual Display Driver (VirtualDrivers) available=1 detail=",
                                " recovered=0"}))
      << out;
  EXPECT_TRUE(HasLineWith(out, {"[VddSelfTest] acquire 1600x2560@60 -> created monitor=\\\\.\\DISPLAY2 detail="}))
      << out;
  EXPECT_TRUE(HasLineWith(out, {"[VddSelfTest] monitor \\\\.\\DISPLAY2 at 1920,0 "})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[VddSelfTest] first frame ", " via gdi"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[VddSelfTest] captured ", " frame(s) of \\\\.\\DISPLAY2 via gdi"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[VddSelfTest] released; 1 monitor(s) on the desktop now"})) << out;
  ExpectNoSanitizerReport(host);
  EXPECT_FALSE(std::filesystem::exists(Ledger()));
  sim_vdd::SimVddWorld after;
  ASSERT_TRUE(after.Load(world_folder_).ok()) << WorldText();
  ASSERT_EQ(after.state().targets.size(), 1u);
  EXPECT_EQ(after.state().targets[0].link, sim_vdd::SimLink::kDetached) << WorldText();
}

TEST_F(VddSelfTestRun, ARunningHostKeepsItsMonitorAndLedger) {
  // The host's monitor on the desktop, recorded in its ledger.
  sim_vdd::SimMonitorState& held = world_.state().targets[0];
  held.link = sim_vdd::SimLink::kAttached;
  held.x = 1920;
  SaveWorld();
  if (HasFatalFailure()) return;
  std::filesystem::create_directories(env_.data_folder());
  const std::string ledger = FormatVddLedger({{"tvr-vdd", "attached@" + world_.TargetInstanceId(0)}});
  {
    std::ofstream(Ledger(), std::ios::binary) << ledger;
  }
  const std::string world_before = WorldText();

  // The host's instance, held as a running host holds it.
  env_.Env();  // creates the runtime folder
  InstanceNames names;
  names.folder = env_.runtime_dir();
  SingleInstance running(names);
  ASSERT_EQ(running.Acquire(false), InstanceStatus::kOwner);

  ChildProcess host;
  EXPECT_EQ(RunSelfTest(host, {"1920x1080@60", "0"}), std::optional<int>(5)) << host.Output();
  const std::string out = host.Output();
  EXPECT_TRUE(HasLineWith(out, {"ERROR", "[VddSelfTest] A running host owns the virtual monitors; stop it first"}))
      << out;
  EXPECT_EQ(CountLinesWith(out, "[VddSelfTest] backend="), 0u) << out;
  EXPECT_EQ(CountLinesWith(out, "[VDD] "), 0u) << out;
  EXPECT_EQ(ReadTextFile(Ledger()), ledger);
  EXPECT_EQ(WorldText(), world_before);
  ExpectNoSanitizerReport(host);
}

}  // namespace
}  // namespace orvane::e2e
