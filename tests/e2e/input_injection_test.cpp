// The tablet's touch, mouse, pen and key input reaches the desktop end to
// end: the Linux host runs on a private X server, the simulated tablet sends
// its gestures on the input channel, and a window of the test covering the
// screen sees the presses where the host mapped them.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/input/testing/x11_test_window_linux.h"
#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// After the project's headers: Xlib's macros (None, Status, ...) would clash.
#include <X11/Xlib.h>

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 20s;
constexpr auto kRunDeadline = 60s;

using Press = testing::X11WindowEvent;

// The normalised position of the simulator's n-th "<kind> action=down" event.
std::optional<std::pair<double, double>> DownPosition(const std::string& tablet, const std::string& kind, int n) {
  const std::string key = "[Sim] Sent input " + kind + " action=down ";
  size_t at = 0;
  for (int i = 0; i <= n; ++i) {
    at = tablet.find(key, i == 0 ? 0 : at + key.size());
    if (at == std::string::npos) return std::nullopt;
  }
  const size_t x = tablet.find(" x=", at);
  const size_t y = tablet.find(" y=", at);
  if (x == std::string::npos || y == std::string::npos) return std::nullopt;
  return std::make_pair(std::atof(tablet.c_str() + x + 3), std::atof(tablet.c_str() + y + 3));
}

// Stream and screen are both 1920 x 1080: no letterbox.
void ExpectAt(const Press& press, const std::pair<double, double>& normalised) {
  EXPECT_NEAR(press.x_root, std::lround(normalised.first * 1919.0), 1);
  EXPECT_NEAR(press.y_root, std::lround(normalised.second * 1079.0), 1);
}

TEST(InputInjection, TouchMousePenAndKeysReachTheDesktopWhereTheTabletPutThem) {
  ORVANE_START_XVFB_OR_SKIP(xvfb);
  // A window over the whole screen that keeps the focus and records presses.
  testing::X11TestWindow recorder(xvfb->display_name());
  ASSERT_TRUE(recorder.ok());
  ASSERT_TRUE(recorder.OpenInputWindow());

  testing::ScopedTempDir temp;
  HostEnvironment env;
  env.root = temp.path();
  env.display = xvfb->display_name();
  ChildProcess host;
  uint16_t control_port = 0;
  ASSERT_TRUE(StartHostForTablets(host, env, 1, &control_port));
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host.Output();

  const std::string state = (temp.path() / "tablet.state").string();
  auto sim_args = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(control_port), "--id", "tab-input", "--name", "Input Tablet",
                               "--state-file", state, "--screen", "1920x1080", "--fps", "30", "--codecs", "h264"});
    return args;
  };
  const std::string code = AskForPairingCode(host, sim_args({}), temp.path() / "ask.out", kStartDeadline);
  ASSERT_EQ(code.size(), 6u) << host.Output();
  const size_t seen = host.Output().size();
  recorder.TakeInputEvents();  // nothing of the pairing run counts

  ChildProcess sim;
  ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY,
                        sim_args({"--pairing-code", code, "--send",
                                  "capability,start-stream,wait:3000,touch,wait:300,mouse,wait:300,pen,wait:300,"
                                  "pen-barrel,wait:300,key,wait:300,mouse-hold,wait:500,stop-stream,wait:1000,end"}),
                        {}, temp.path() / "input.out"));
  ASSERT_EQ(sim.Wait(kRunDeadline), std::optional<int>(0)) << sim.Output() << host.Output();
  const std::string tablet = sim.Output();
  const std::string host_out = host.Output().substr(seen);
  EXPECT_TRUE(HasLineWith(host_out, {"[Input] Capability summary touch_backend=none synthetic_pen=0",
                                     "touch_reason=native_touch_api_unavailable",
                                     "pen_reason=synthetic_pen_api_unavailable"}))
      << host_out;

  const std::vector<Press> presses = recorder.TakeInputEvents();
  std::vector<Press> buttons;
  std::vector<Press> keys;
  for (const Press& p : presses) {
    if (p.type == KeyPress) keys.push_back(p);
    if (p.type == ButtonPress || p.type == ButtonRelease) buttons.push_back(p);
  }
  // touch, mouse, pen, barrel pen: press and release each; the held mouse
  // button: its press, and its release when the stream stopped.
  ASSERT_EQ(buttons.size(), 10u) << tablet << host_out;
  const unsigned int expected_buttons[] = {1, 1, 1, 1, 1, 1, 3, 3, 1, 1};
  for (size_t i = 0; i < buttons.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(buttons[i].type, i % 2 == 0 ? ButtonPress : ButtonRelease);
    EXPECT_EQ(buttons[i].detail, expected_buttons[i]);
  }
  const struct {
    const char* kind;
    int nth;
    size_t press;
  } downs[] = {{"touch", 0, 0}, {"mouse", 0, 2}, {"pen", 0, 4}, {"pen", 1, 6}, {"mouse", 1, 8}};
  for (const auto& d : downs) {
    SCOPED_TRACE(d.kind);
    const auto position = DownPosition(tablet, d.kind, d.nth);
    ASSERT_TRUE(position.has_value()) << tablet;
    ExpectAt(buttons[d.press], *position);
  }
  // 'A' (virtual key 65) is the X key code 38 of the default layout.
  ASSERT_EQ(keys.size(), 1u) << tablet;
  EXPECT_EQ(keys[0].detail, 38u);
  EXPECT_EQ(recorder.QueryPointer().buttons & (Button1Mask | Button2Mask | Button3Mask), 0u);
}

}  // namespace
}  // namespace orvane::e2e
