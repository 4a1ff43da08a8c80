// A tablet size the driver does not list yet, end to end: the Linux host
// streams at the closest listed mode, adds the size to the driver's settings
// file and keeps it waiting for a driver restart; the setup tool restarts
// the driver, and the tablet's next stream runs at its own size.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 20s;
constexpr auto kRunDeadline = 60s;

std::string Resolution(uint32_t width, uint32_t height) {
  return "    <resolution>\n      <width>" + std::to_string(width) + "</width>\n      <height>" +
         std::to_string(height) + "</height>\n      <refresh_rate>60</refresh_rate>\n    </resolution>\n";
}

// A driver settings file with one monitor, the given entries and global
// refresh rates.
std::string SettingsFile(const std::string& entries, const std::string& globals) {
  return "<?xml version='1.0' encoding='utf-8'?>\n<vdd_settings>\n  <monitors>\n    <count>1</count>\n"
         "  </monitors>\n  <resolutions>\n" +
         entries + "  </resolutions>\n  <global>\n" + globals + "  </global>\n</vdd_settings>\n";
}

class VddApplyRun : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = temp_.path() / "world";
    settings_folder_ = temp_.path() / "VirtualDisplayDriver";
    std::filesystem::create_directories(world_);
    std::filesystem::create_directories(settings_folder_);
    env_.root = temp_.path();
  }

  // The driver runs one monitor listing `modes`; its settings file is
  // `settings`. Restarts are quick so that the tool's checks end soon.
  void WriteWorld(const std::string& modes, const std::string& settings) {
    std::ofstream(world_ / sim_vdd::kWorldFileName, std::ios::binary | std::ios::trunc)
        << "[world]\nuptime_base_ms=3600000\n[device]\ninstalled=1\npresent=1\nstarted=1\ncount=1\n"
           "restart_delay_ms=200\nmodes="
        << modes << "\n[registry]\nvdd_path=" << settings_folder_.string() << "\n";
    std::ofstream(SettingsPath(), std::ios::binary | std::ios::trunc) << settings;
  }

  void StartHost(ChildProcess& host) {
    world_env_ = std::make_unique<testing::ScopedEnv>("ORVANE_SIM_VDD", world_.string());
    ASSERT_TRUE(StartHostForTablets(host, env_, 1, &control_port_));
    ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host.Output();
  }

  std::vector<std::string> SimArgs(std::vector<std::string> extra) const {
    std::vector<std::string> args = {"--port",       std::to_string(control_port_),
                                     "--id",         "tab-apply",
                                     "--name",       "Tablet apply",
                                     "--state-file", (temp_.path() / "tab.state").string(),
                                     "--screen",     "2000x1200",
                                     "--fps",        "60",
                                     "--codecs",     "hevc"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // One stream from the tablet; its output.
  std::string Stream(const std::vector<std::string>& pairing, const std::string& name) {
    std::vector<std::string> extra = pairing;
    extra.insert(extra.end(), {"--send", "capability,start-stream,wait-media:10,stop-stream,wait:500,end"});
    ChildProcess sim;
    EXPECT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY, SimArgs(extra), {}, temp_.path() / name));
    EXPECT_EQ(sim.Wait(kRunDeadline), std::optional<int>(0)) << sim.Output();
    return sim.Output();
  }

  std::filesystem::path SettingsPath() const { return settings_folder_ / "vdd_settings.xml"; }
  std::filesystem::path PendingFile() const { return env_.data_folder() / "vdd_pending_apply.ini"; }

  static void ExpectNoSanitizerReport(const ChildProcess& host) {
    EXPECT_EQ(CountLinesWith(host.Output(), "Sanitizer"), 0u) << host.Output();
  }

  testing::ScopedTempDir temp_;
  std::filesystem::path world_;
  std::filesystem::path settings_folder_;
  HostEnvironment env_;
  std::unique_ptr<testing::ScopedEnv> world_env_;
  uint16_t control_port_ = 0;
};

TEST_F(VddApplyRun, AnAddedSizeWaitsForTheDriverRestartAndTheNextStreamHasIt) {
  WriteWorld("1920x1080@60", SettingsFile(Resolution(1920, 1080), ""));
  ChildProcess host;
  StartHost(host);
  if (HasFatalFailure()) return;
  const std::string code = AskForPairingCode(host, SimArgs({}), temp_.path() / "ask", kStartDeadline);
  ASSERT_EQ(code.size(), 6u) << host.Output();

  const std::string first = Stream({"--pairing-code", code}, "first.out");
  EXPECT_TRUE(HasLineWith(first, {"StreamStarted", "source=1920x1080"})) << first << host.Output();
  ASSERT_TRUE(WaitForLineWith(host, {"[VddApply] 2000x1200 waits for a driver restart; offering to apply it"},
                              kStartDeadline))
      << host.Output();
  EXPECT_TRUE(HasLineWith(host.Output(), {"[VDD] Added 2000x1200@60 to ", SettingsPath().string()}))
      << host.Output();
  EXPECT_NE(ReadTextFile(PendingFile()).find("\npending=2000x1200\n"), std::string::npos)
      << ReadTextFile(PendingFile());
  EXPECT_TRUE(std::filesystem::exists(SettingsPath().string() + ".orvane-previous"));

  // What the tray's apply runs elevated.
  const std::filesystem::path exit_file = temp_.path() / "setup.exit";
  ChildProcess tool;
  ASSERT_TRUE(tool.Start(ORVANE_VDD_SETUP_BINARY, {"restart"},
                         {"ORVANE_SIM_VDD=" + world_.string(), "ORVANE_VDD_SETUP_EXIT_FILE=" + exit_file.string()},
                         temp_.path() / "setup.out"));
  EXPECT_EQ(tool.Wait(kRunDeadline), std::optional<int>(0)) << tool.Output();
  EXPECT_EQ(ReadTextFile(exit_file), "0") << tool.Output();
  EXPECT_FALSE(std::filesystem::exists(SettingsPath().string() + ".orvane-previous"));

  const std::string second = Stream({}, "second.out");
  EXPECT_TRUE(HasLineWith(second, {"StreamStarted", "source=2000x1200"})) << second << host.Output();
  // The size is offered now: nothing waits any more.
  for (int i = 0; i < 100 && std::filesystem::exists(PendingFile()); ++i) std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(std::filesystem::exists(PendingFile())) << ReadTextFile(PendingFile());
  ExpectNoSanitizerReport(host);
}

TEST_F(VddApplyRun, AFileAtTheModeBudgetGetsNoMoreSizes) {
  // 32 sizes outside the tablet catalogue at two global rates: 96 modes.
  std::string entries;
  for (uint32_t i = 0; i < 32; ++i) entries += Resolution(1000 + 2 * i, 700);
  WriteWorld("1920x1080@60", SettingsFile(entries, "    <g_refresh_rate>60</g_refresh_rate>\n"
                                          "    <g_refresh_rate>120</g_refresh_rate>\n"));
  const std::string before = ReadTextFile(SettingsPath());
  ChildProcess host;
  StartHost(host);
  if (HasFatalFailure()) return;
  const std::string code = AskForPairingCode(host, SimArgs({}), temp_.path() / "ask", kStartDeadline);
  ASSERT_EQ(code.size(), 6u) << host.Output();
  const std::string tablet = Stream({"--pairing-code", code}, "full.out");
  EXPECT_TRUE(HasLineWith(tablet, {"StreamStarted", "source=1920x1080"})) << tablet << host.Output();
  EXPECT_TRUE(HasLineWith(host.Output(), {"[VDD] Not adding 2000x1200 to ", "it lists 96 modes"})) << host.Output();
  EXPECT_EQ(ReadTextFile(SettingsPath()), before);
  EXPECT_FALSE(std::filesystem::exists(PendingFile()));
  ExpectNoSanitizerReport(host);
}

}  // namespace
}  // namespace orvane::e2e
