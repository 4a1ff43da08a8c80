// A tablet gets a virtual monitor of its own end to end: the Linux host runs
// against a simulated Virtual Display Driver world (a 1920x1080 physical
// monitor, the driver running 2 monitors), attaches a driver monitor at the
// tablet's mode, streams it, and takes it away again; a crashed host's
// monitor is removed by the next start.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 20s;
constexpr auto kRunDeadline = 60s;

// A physical 1920x1080 monitor and the driver running 2 monitors that list
// three modes; up for an hour, so that the unused-monitor check runs.
constexpr char kWorld[] =
    "[world]\n"
    "uptime_base_ms=3600000\n"
    "[device]\n"
    "installed=1\n"
    "present=1\n"
    "started=1\n"
    "count=2\n"
    "modes=1920x1080@60,2560x1600@60,1920x1200@60\n";

class VirtualDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = temp_.path() / "world";
    std::filesystem::create_directories(world_);
    std::ofstream(world_ / sim_vdd::kWorldFileName, std::ios::binary) << kWorld;
    env_.root = temp_.path();
  }

  // The host with the world (or without, when `with_world` is false).
  void StartHost(ChildProcess& host, bool with_world = true, int tablets = 2) {
    world_env_.reset();  // the previous one puts back what it found
    world_env_ = std::make_unique<testing::ScopedEnv>("ORVANE_SIM_VDD", with_world ? world_.string() : "");
    ASSERT_TRUE(StartHostForTablets(host, env_, tablets, &control_port_, "host" + std::to_string(++hosts_) + ".out"));
    ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host.Output();
  }

  std::vector<std::string> SimArgs(const std::string& id, std::vector<std::string> extra) const {
    std::vector<std::string> args = {"--port",       std::to_string(control_port_),
                                     "--id",         id,
                                     "--name",       "Tablet " + id,
                                     "--state-file", (temp_.path() / (id + ".state")).string(),
                                     "--screen",     "2560x1600",
                                     "--fps",        "60",
                                     "--codecs",     "hevc"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  std::string Pair(const ChildProcess& host, const std::string& id) {
    return AskForPairingCode(host, SimArgs(id, {}), temp_.path() / (id + ".ask"), kStartDeadline);
  }

  // The host is a sanitised build in the test run: what it reports fails the test.
  static void ExpectNoSanitizerReport(const ChildProcess& host) {
    EXPECT_EQ(CountLinesWith(host.Output(), "Sanitizer"), 0u) << host.Output();
  }

  std::string World() const { return ReadTextFile(world_ / sim_vdd::kWorldFileName); }
  // The link of driver target n in world.ini ("detached" when it has no
  // section).
  std::string TargetLink(int n) const {
    const std::string world = World();
    const size_t section = world.find("[target " + std::to_string(n) + "]");
    if (section == std::string::npos) return "detached";
    const size_t key = world.find("\nlink=", section);
    const size_t next = world.find("\n[", section + 1);
    if (key == std::string::npos || (next != std::string::npos && key > next)) return "detached";
    const size_t end = world.find('\n', key + 1);
    return world.substr(key + 6, end == std::string::npos ? std::string::npos : end - key - 6);
  }
  std::filesystem::path Ledger() const { return env_.data_folder() / "virtual_display_ledger.ini"; }

  testing::ScopedTempDir temp_;
  std::filesystem::path world_;
  HostEnvironment env_;
  std::unique_ptr<testing::ScopedEnv> world_env_;
  uint16_t control_port_ = 0;
  int hosts_ = 0;
};

TEST_F(VirtualDisplay, ATabletStreamsAVirtualMonitorAtItsModeAndStopRemovesIt) {
  ChildProcess host;
  StartHost(host);
  if (HasFatalFailure()) return;
  const std::string code = Pair(host, "tab-vdd");
  ASSERT_EQ(code.size(), 6u) << host.Output();
  const size_t seen = host.Output().size();

  ChildProcess sim;
  ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY,
                        SimArgs("tab-vdd", {"--pairing-code", code, "--send",
                                            "capability,start-stream,wait-media:30,stop-stream,wait:500,end"}),
                        {}, temp_.path() / "sim.out"));
  ASSERT_EQ(sim.Wait(kRunDeadline), std::optional<int>(0)) << sim.Output() << host.Output();
  const std::string tablet = sim.Output();
  const std::string host_out = host.Output().substr(seen);
  EXPECT_TRUE(HasLineWith(tablet, {"StreamStarted", "extended=yes", "source=2560x1600"})) << tablet << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[VDD] Virtual monitor \\\\.\\DISPLAY2 created via "
                                     "Virtual Display Driver (VirtualDrivers) at 2560x1600@60"}))
      << host_out;
  EXPECT_TRUE(HasLineWith(tablet, {"[Sim] Video details: ", "picture_sizes=2560x1600:"})) << tablet;
  EXPECT_TRUE(WaitForLineWith(host, {"[VDD] Virtual monitor \\\\.\\DISPLAY2 of session ", "removed (stream stopped)"},
                              kStartDeadline))
      << host.Output().substr(seen);
  EXPECT_FALSE(std::filesystem::exists(Ledger()));
  ExpectNoSanitizerReport(host);
}

// Two software encoders are all this machine runs at once, so the driver
// gets one monitor here: the second tablet finds it in use.
TEST_F(VirtualDisplay, ATabletFindsEveryVirtualMonitorInUse) {
  std::string world = kWorld;
  world.replace(world.find("count=2"), 7, "count=1");
  std::ofstream(world_ / sim_vdd::kWorldFileName, std::ios::binary | std::ios::trunc) << world;
  ChildProcess host;
  StartHost(host);
  if (HasFatalFailure()) return;
  // One pairing code at a time: each tablet pairs before the next asks.
  auto start = [&](ChildProcess& sim, const std::string& id, const std::string& steps, const char* wait_for) {
    const std::string code = Pair(host, id);
    ASSERT_EQ(code.size(), 6u) << host.Output();
    ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY, SimArgs(id, {"--pairing-code", code, "--send", steps}), {},
                          temp_.path() / (id + ".out")));
    ASSERT_TRUE(sim.WaitForOutput(wait_for, kStartDeadline)) << sim.Output() << host.Output();
  };
  ChildProcess a;
  ChildProcess b;
  start(a, "tab-a", "capability,start-stream,wait-media:10,wait:8000,stop-stream,wait:300,end",
        "Received StreamStarted");
  if (HasFatalFailure()) return;
  start(b, "tab-b", "capability,start-stream,wait:2000,end", "Sent StartStream");
  if (HasFatalFailure()) return;
  b.Wait(kRunDeadline);
  EXPECT_TRUE(HasLineWith(b.Output(), {"Received ErrorMessage", "error_code=2502", "(1)"})) << b.Output()
                                                                                          << host.Output();
  EXPECT_EQ(a.Wait(kRunDeadline), std::optional<int>(0)) << a.Output();
  EXPECT_TRUE(HasLineWith(a.Output(), {"StreamStarted", "extended=yes"})) << a.Output();
  ExpectNoSanitizerReport(host);
}

TEST_F(VirtualDisplay, TheNextStartRemovesTheMonitorOfAKilledHost) {
  {
    ChildProcess host;
    StartHost(host);
    if (HasFatalFailure()) return;
    const std::string code = Pair(host, "tab-crash");
    ASSERT_EQ(code.size(), 6u) << host.Output();
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY,
                          SimArgs("tab-crash", {"--pairing-code", code, "--send",
                                                "capability,start-stream,wait-media:10,wait:20000,end"}),
                          {}, temp_.path() / "crash.out"));
    ASSERT_TRUE(WaitForLineWith(host, {"[VDD] Virtual monitor ", " created via "}, kStartDeadline)) << host.Output();
    host.Kill();
    sim.Kill();
  }
  const std::string ledger = ReadTextFile(Ledger());
  EXPECT_EQ(ledger.rfind("# Orvane virtual display ledger (removed on next host start)\n", 0), 0u) << ledger;
  EXPECT_NE(ledger.find("\ndisplay=tvr-vdd|attached@DISPLAY\\TVR0001\\"), std::string::npos) << ledger;
  EXPECT_EQ(TargetLink(0), "attached") << World();

  ChildProcess again;
  StartHost(again);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(HasLineWith(again.Output(), {"[VDD] Removed virtual monitor left by a previous run (token=attached@"}))
      << again.Output();
  EXPECT_EQ(TargetLink(0), "detached") << World();
  EXPECT_EQ(TargetLink(1), "detached") << World();
  EXPECT_FALSE(std::filesystem::exists(Ledger()));
}

TEST_F(VirtualDisplay, WithoutADriverWorldThereIsNoVirtualDisplayDriver) {
  ChildProcess host;
  StartHost(host, false);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(HasLineWith(host.Output(), {"[VDD] Backend=no virtual display driver availability=not-installed"}))
      << host.Output();
}

}  // namespace
}  // namespace orvane::e2e
