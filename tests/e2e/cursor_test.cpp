// The pointer on a real X desktop reaches a streaming tablet: the host runs on
// a private Xvfb split into two RandR monitors, the simulated tablet picks the
// right one, and the host's cursor updates carry the pointer mapped into the
// tablet's picture.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// After every test header: Xlib defines None and other short macros.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 30s;
constexpr auto kAnswerDeadline = 20s;

// A client of the test's own server that arranges monitors and moves the
// pointer.
class Desktop {
 public:
  explicit Desktop(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
  ~Desktop() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

  void AddMonitor(const char* name, int x, int width, bool primary, bool with_output) {
    XRRMonitorInfo* monitor = XRRAllocateMonitor(display_, with_output ? 1 : 0);
    monitor->name = XInternAtom(display_, name, False);
    monitor->primary = primary ? True : False;
    monitor->automatic = False;
    monitor->x = x;
    monitor->y = 0;
    monitor->width = width;
    monitor->height = 1080;
    monitor->mwidth = width / 4;
    monitor->mheight = 1080 / 4;
    if (with_output) {
      XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, Root());
      if (resources != nullptr && resources->noutput > 0) monitor->outputs[0] = resources->outputs[0];
      if (resources != nullptr) XRRFreeScreenResources(resources);
    }
    XRRSetMonitor(display_, Root(), monitor);
    XFree(monitor);
    XSync(display_, False);
  }

  void MovePointer(int x, int y) {
    XWarpPointer(display_, None, Root(), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

 private:
  Window Root() const { return DefaultRootWindow(display_); }
  Display* display_;
};

TEST(CursorOnTheDesktop, TheSelectedMonitorsPointerReachesTheTablet) {
  ORVANE_START_XVFB_OR_SKIP(xvfb);
  Desktop desktop(xvfb->display_name());
  ASSERT_TRUE(desktop.ok());
  desktop.AddMonitor("LEFT", 0, 960, false, true);
  desktop.AddMonitor("RIGHT", 960, 960, true, false);
  desktop.MovePointer(1440, 540);  // the middle of RIGHT

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
    args.insert(args.begin(), {"--port", std::to_string(control_port), "--id", "tab-cursor", "--name", "Cursor Tablet",
                               "--state-file", state, "--screen", "1280x800"});
    return args;
  };
  // Pairing first: the stream needs a trusted tablet.
  const std::string code = AskForPairingCode(host, sim_args({}), temp.path() / "ask.out", kAnswerDeadline);
  ASSERT_EQ(code.size(), 6u) << host.Output();

  ChildProcess sim;
  ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY,
                        sim_args({"--pairing-code", code, "--send",
                                  "capability,quality:2000/30/0,monitors,select-monitor:RIGHT,start-stream,"
                                  "wait-cursor:1:15000,wait-cursor:2:15000,stop-stream,end"}),
                        {}, temp.path() / "stream.out"));
  ASSERT_TRUE(sim.WaitForOutput("[Sim] Cursor: ", kAnswerDeadline)) << sim.Output() << host.Output();
  desktop.MovePointer(100, 100);  // on LEFT, outside the streamed monitor
  EXPECT_EQ(sim.Wait(kAnswerDeadline), std::optional<int>(0)) << sim.Output();
  const std::string tablet = sim.Output();

  // The list holds both monitors, the primary one first.
  const size_t right = tablet.find("id='RIGHT'");
  const size_t left = tablet.find("id='LEFT'");
  ASSERT_NE(right, std::string::npos) << tablet;
  ASSERT_NE(left, std::string::npos) << tablet;
  EXPECT_LT(right, left);

  const size_t first = tablet.find("Received CursorUpdate ");
  ASSERT_NE(first, std::string::npos) << tablet;
  const std::string first_line = tablet.substr(first, tablet.find('\n', first) - first);
  EXPECT_NE(first_line.find("position=639,400 visible=yes"), std::string::npos) << first_line;
  EXPECT_EQ(first_line.find(" bitmap=0 bytes"), std::string::npos) << first_line;
  EXPECT_EQ(first_line.find("does not match"), std::string::npos) << first_line;
  EXPECT_TRUE(HasLineWith(tablet, {"Received CursorUpdate ", " visible=no "})) << tablet;

  kill(host.pid(), SIGTERM);
  EXPECT_EQ(host.Wait(20s), std::optional<int>(0)) << host.Output();
}

}  // namespace
}  // namespace orvane::e2e
