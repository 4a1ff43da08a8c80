// The stream adapts to the tablet's link and decoder end to end: a lossy
// link makes the host protect its packets harder and lower the bitrate; a
// tablet whose decoder cannot keep up gets a smaller picture.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 20s;
constexpr auto kRunDeadline = 90s;

// Every number that follows `key` in the output, in order.
std::vector<long> NumbersAfter(const std::string& output, const std::string& key) {
  std::vector<long> numbers;
  for (size_t at = output.find(key); at != std::string::npos; at = output.find(key, at + key.size())) {
    numbers.push_back(std::strtol(output.c_str() + at + key.size(), nullptr, 10));
  }
  return numbers;
}

class StreamControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.root = temp_.path();
    ASSERT_TRUE(StartHostForTablets(host_, env_, 1, &control_port_));
    ASSERT_TRUE(host_.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host_.Output();
  }

  std::vector<std::string> SimArgs(std::vector<std::string> args) {
    const std::string state = (temp_.path() / "tablet.state").string();
    args.insert(args.begin(), {"--port", std::to_string(control_port_), "--id", "tab-adapt", "--name",
                               "Adapting Tablet", "--state-file", state, "--screen", "1280x720", "--fps", "30",
                               "--codecs", "h264"});
    return args;
  }

  // Pairs, then runs one stream with the extra arguments; the simulator's output.
  std::string Stream(const std::vector<std::string>& extra, const std::string& script) {
    const std::string code = AskForPairingCode(host_, SimArgs({}), temp_.path() / "ask.out", kStartDeadline);
    EXPECT_EQ(code.size(), 6u) << host_.Output();
    if (code.size() != 6) return "";
    seen_ = host_.Output().size();
    std::vector<std::string> args = {"--pairing-code", code, "--send", script};
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess sim;
    EXPECT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY, SimArgs(args), {}, temp_.path() / "stream.out"));
    EXPECT_EQ(sim.Wait(kRunDeadline), std::optional<int>(0)) << sim.Output() << host_.Output();
    return sim.Output();
  }

  std::string HostSince() const { return host_.Output().substr(seen_); }

  testing::ScopedTempDir temp_;
  HostEnvironment env_;
  ChildProcess host_;
  uint16_t control_port_ = 0;
  size_t seen_ = 0;
};

TEST_F(StreamControlTest, ALossyLinkGetsStrongerParityAndALowerBitrate) {
  const std::string tablet =
      Stream({"--drop-percent", "8"}, "capability,start-stream,wait:12000,stop-stream,wait:500,end");
  ASSERT_FALSE(tablet.empty());
  // Each loss report makes the host close its parity groups after 4 packets.
  EXPECT_TRUE(HasLineWith(tablet, {"[Sim] Parity group size 4"})) << tablet;
  const std::string host = HostSince();
  EXPECT_TRUE(HasLineWith(host, {"[ABR] Severe stress route=wifi_local(profile=wifi_local) loss="})) << host;
  // 1280 x 720 H.264 runs between 2500 and 16000 kbit/s: severe reports a
  // second apart take the negotiated 7000 down to the floor, step by step.
  EXPECT_GE(CountLinesWith(host, "[ABR] Severe stress"), 3u) << host;
  EXPECT_TRUE(HasLineWith(host, {"[ABR] Severe stress", "-- bitrate 7000 -> 5460 kbps"})) << host;
  const std::vector<long> bitrates = NumbersAfter(tablet, "Host bitrate current_bitrate_kbps=");
  ASSERT_FALSE(bitrates.empty()) << tablet;
  EXPECT_LE(bitrates.back(), 4000) << tablet;
  EXPECT_GE(bitrates.back(), 2500) << tablet;
}

TEST_F(StreamControlTest, ADecoderThatCannotKeepUpGetsASmallerPicture) {
  const std::string tablet =
      Stream({"--report-decode", "120"}, "capability,start-stream,wait:15000,stop-stream,wait:500,end");
  ASSERT_FALSE(tablet.empty());
  // 30 fps is the floor with resize: the size goes down instead.
  EXPECT_TRUE(HasLineWith(tablet, {"StreamResize encoded=960x540 logical=1280x720 scale=750/1000"})) << tablet;
  EXPECT_TRUE(HasLineWith(tablet, {"[Sim] Video: first picture decoded after StreamResize: 960x540"})) << tablet;
  const std::string host = HostSince();
  EXPECT_TRUE(HasLineWith(host, {"[Load] Decoder-bound client action=resolution_down decode=120.0%",
                                 "fps_cap=0 scale=750/1000"}))
      << host;
}

}  // namespace
}  // namespace orvane::e2e
