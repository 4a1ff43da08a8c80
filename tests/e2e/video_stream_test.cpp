// The first real stream end to end: the Linux host captures its synthetic
// monitor (no X display), encodes it with libx264 and paces it to the
// simulated tablet, which decodes every picture and checks it against the
// test pattern.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <cstdlib>
#include <atomic>
#include <map>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "host/video/test_pattern.h"
#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// After the project's headers: Xlib's macros (None, Status, ...) would clash.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 20s;
constexpr auto kRunDeadline = 60s;

// The key=value fields of the simulator's video summary line.
std::map<std::string, std::string> VideoSummary(const std::string& output) {
  std::map<std::string, std::string> fields;
  const std::string prefix = "[Sim] Video: ";
  const size_t at = output.find(prefix + "decoded=");
  if (at == std::string::npos) return fields;
  std::istringstream line(output.substr(at + prefix.size(), output.find('\n', at) - at - prefix.size()));
  std::string word;
  while (line >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return fields;
}

double Number(const std::map<std::string, std::string>& fields, const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() ? -1 : std::atof(it->second.c_str());
}

TEST(VideoStream, TenSecondsOfTheTestPatternArriveDecodedAndIntact) {
  testing::ScopedTempDir temp;
  HostEnvironment env;
  env.root = temp.path();
  ChildProcess host;
  uint16_t control_port = 0;
  ASSERT_TRUE(StartHostForTablets(host, env, 1, &control_port));
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host.Output();

  const std::string state = (temp.path() / "tablet.state").string();
  auto sim_args = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(control_port), "--id", "tab-video", "--name", "Video Tablet",
                               "--state-file", state, "--screen", "1280x720", "--fps", "30", "--codecs", "h264"});
    return args;
  };
  const std::string code = AskForPairingCode(host, sim_args({}), temp.path() / "ask.out", kStartDeadline);
  ASSERT_EQ(code.size(), 6u) << host.Output();

  const size_t seen = host.Output().size();
  ChildProcess sim;
  ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY,
                        sim_args({"--pairing-code", code, "--check-synthetic", "on", "--send",
                                  "capability,start-stream,wait:5000,keyframe,wait:5000,stop-stream,wait:500,end"}),
                        {}, temp.path() / "stream.out"));
  ASSERT_EQ(sim.Wait(kRunDeadline), std::optional<int>(0)) << sim.Output() << host.Output();
  const std::string tablet = sim.Output();
  const auto video = VideoSummary(tablet);
  ASSERT_FALSE(video.empty()) << tablet;
  // Every picture is the pattern the host painted, well kept by the encoder.
  EXPECT_EQ(Number(video, "picture_bad"), 0) << tablet;
  EXPECT_EQ(Number(video, "decode_errors"), 0) << tablet;
  EXPECT_GE(Number(video, "psnr_min"), 25.0) << tablet;
  EXPECT_GE(Number(video, "picture_ok"), Number(video, "decoded") - 1) << tablet;
  // About 300 pictures in 10 s at 30 fps; a busy machine may lose some.
  EXPECT_GE(Number(video, "decoded"), 150) << tablet;
  EXPECT_GE(Number(video, "first_frame_ms"), 0) << tablet;
  EXPECT_TRUE(HasLineWith(tablet, {"[Sim] Video: keyframe decoded ", " ms after the keyframe step"})) << tablet;
  EXPECT_TRUE(HasLineWith(tablet, {"[Sim] Media: datagrams=", " mismatched=0 "})) << tablet;

  const std::string host_out = host.Output().substr(seen);
  EXPECT_TRUE(HasLineWith(host_out, {"] Streaming to Video Tablet as mirror of output 1"})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[Encoder] Initialized: H264 1280x720 @30 fps"})) << host_out;
  EXPECT_TRUE(WaitForLineWith(host, {"[FrameLoop] Stopped after "}, kStartDeadline)) << host_out;
  EXPECT_TRUE(HasLineWith(host.Output().substr(seen), {"[FrameDiag] Final pipeline total_frames="}));
}

// Paints the test pattern onto an X screen, a new counter each time, in one
// shared-memory request per picture so that no capture sees half of one.
class PatternPainter {
 public:
  explicit PatternPainter(const std::string& display_name) {
    display_ = XOpenDisplay(display_name.c_str());
    if (display_ == nullptr || !XShmQueryExtension(display_)) return;
    const int screen = DefaultScreen(display_);
    width_ = static_cast<uint32_t>(DisplayWidth(display_, screen));
    height_ = static_cast<uint32_t>(DisplayHeight(display_, screen));
    image_ = XShmCreateImage(display_, DefaultVisual(display_, screen), 24, ZPixmap, nullptr, &shm_, width_, height_);
    if (image_ == nullptr) return;
    shm_.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image_->bytes_per_line) * height_, IPC_CREAT | 0600);
    if (shm_.shmid < 0) return;
    shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
    shm_.readOnly = False;
    attached_ = XShmAttach(display_, &shm_) != 0;
    XSync(display_, False);
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    if (!attached_) return;
    thread_ = std::thread([this] { Loop(); });
  }
  ~PatternPainter() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    if (attached_) XShmDetach(display_, &shm_);
    if (image_ != nullptr) {
      image_->data = nullptr;
      XDestroyImage(image_);
    }
    if (shm_.shmaddr != nullptr) shmdt(shm_.shmaddr);
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  bool ok() const { return attached_; }
  uint64_t Painted() const { return painted_.load(); }

 private:
  void Loop() {
    const Window root = DefaultRootWindow(display_);
    GC gc = XCreateGC(display_, root, 0, nullptr);
    for (uint64_t n = 1; running_; ++n) {
      RenderTestPattern(n, width_, height_, reinterpret_cast<uint8_t*>(image_->data),
                        static_cast<uint32_t>(image_->bytes_per_line));
      XShmPutImage(display_, root, gc, image_, 0, 0, 0, 0, width_, height_, False);
      XSync(display_, False);
      painted_ = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
    XFreeGC(display_, gc);
  }

  Display* display_ = nullptr;
  XImage* image_ = nullptr;
  XShmSegmentInfo shm_{};
  bool attached_ = false;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::atomic<bool> running_{true};
  std::atomic<uint64_t> painted_{0};
  std::thread thread_;
};

TEST(VideoStream, TheXDesktopArrivesAsPainted) {
  ORVANE_START_XVFB_OR_SKIP(xvfb);
  PatternPainter painter(xvfb->display_name());
  ASSERT_TRUE(painter.ok());
  testing::ScopedTempDir temp;
  HostEnvironment env;
  env.root = temp.path();
  env.display = xvfb->display_name();
  ChildProcess host;
  uint16_t control_port = 0;
  ASSERT_TRUE(StartHostForTablets(host, env, 1, &control_port));
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host.Output();
  const std::string state = (temp.path() / "tablet.state").string();
  const std::vector<std::string> base = {"--port", std::to_string(control_port), "--id", "tab-x", "--name",
                                         "X Tablet", "--state-file", state, "--screen", "1280x720", "--fps", "30",
                                         "--codecs", "h264"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::string code = AskForPairingCode(host, with({}), temp.path() / "ask.out", kStartDeadline);
  ASSERT_EQ(code.size(), 6u) << host.Output();
  ChildProcess sim;
  ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY,
                        with({"--pairing-code", code, "--check-synthetic", "on", "--send",
                              "capability,start-stream,wait-decoded:60:20000,stop-stream,wait:300,end"}),
                        {}, temp.path() / "x.out"));
  ASSERT_EQ(sim.Wait(kRunDeadline), std::optional<int>(0)) << sim.Output() << host.Output();
  const auto video = VideoSummary(sim.Output());
  EXPECT_GE(Number(video, "decoded"), 60) << sim.Output();
  EXPECT_EQ(Number(video, "picture_bad"), 0) << sim.Output();
  EXPECT_GE(Number(video, "psnr_min"), 25.0) << sim.Output();
  EXPECT_GT(painter.Painted(), 30u);
}

// A tablet paired with the host: its simulator arguments.
class PairedTablet {
 public:
  PairedTablet(ChildProcess& host, const std::filesystem::path& dir, uint16_t port, const std::string& id)
      : host_(host), dir_(dir), id_(id) {
    base_ = {"--port", std::to_string(port), "--id", id, "--name", "Tablet " + id, "--state-file",
             (dir / (id + ".state")).string(), "--screen", "640x360", "--fps", "30", "--codecs", "h264"};
  }
  // Pairs with the code the host prints for this tablet; the state file
  // keeps the credential for the later runs.
  bool Pair() {
    const std::string code = AskForPairingCode(host_, Args({}), dir_ / (id_ + ".ask.out"), kStartDeadline);
    if (code.size() != 6) return false;
    // Pair now: the host offers a new code once one was used.
    ChildProcess pair;
    if (!pair.Start(ORVANE_TABLET_SIM_BINARY, Args({"--pairing-code", code, "--hold", "1"}), {},
                    dir_ / (id_ + ".pair.out"))) {
      return false;
    }
    return pair.Wait(kStartDeadline) == std::optional<int>(0);
  }
  bool Run(ChildProcess& sim, const std::string& script, const std::string& name) {
    return sim.Start(ORVANE_TABLET_SIM_BINARY, Args({"--send", script}), {}, dir_ / (id_ + "." + name + ".out"));
  }

 private:
  std::vector<std::string> Args(std::vector<std::string> extra) const {
    std::vector<std::string> args = base_;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  ChildProcess& host_;
  std::filesystem::path dir_;
  std::string id_;
  std::vector<std::string> base_;
};

// Two software encoders at most: the third tablet is refused until one of
// the others stops.
TEST(VideoStream, AThirdTabletWaitsForAFreeEncoder) {
  testing::ScopedTempDir temp;
  HostEnvironment env;
  env.root = temp.path();
  ChildProcess host;
  uint16_t control_port = 0;
  ASSERT_TRUE(StartHostForTablets(host, env, 3, &control_port));
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host.Output();
  PairedTablet a(host, temp.path(), control_port, "a");
  PairedTablet b(host, temp.path(), control_port, "b");
  PairedTablet c(host, temp.path(), control_port, "c");
  ASSERT_TRUE(a.Pair()) << host.Output();
  ASSERT_TRUE(b.Pair()) << host.Output();
  ASSERT_TRUE(c.Pair()) << host.Output();

  const size_t seen = host.Output().size();
  ChildProcess first;
  ChildProcess second;
  ASSERT_TRUE(a.Run(first, "capability,start-stream,wait-decoded:10:20000,wait:1500,stop-stream,wait:300,end", "run"));
  ASSERT_TRUE(b.Run(second, "capability,start-stream,wait-decoded:10:20000,wait:8000,stop-stream,wait:300,end", "run"));
  // Both stream before the third asks.
  ASSERT_TRUE(first.WaitForOutput(" pictures decoded after ", kRunDeadline)) << first.Output();
  ASSERT_TRUE(second.WaitForOutput(" pictures decoded after ", kRunDeadline)) << second.Output();
  ASSERT_TRUE(WaitForLineWith(host, {"Streaming to Tablet a"}, kRunDeadline)) << host.Output();
  ASSERT_TRUE(WaitForLineWith(host, {"Streaming to Tablet b"}, kRunDeadline)) << host.Output();
  ChildProcess refused;
  ASSERT_TRUE(c.Run(refused, "capability,start-stream,wait:1500,end", "refused"));
  EXPECT_EQ(refused.Wait(kRunDeadline), std::optional<int>(0)) << refused.Output();
  EXPECT_TRUE(HasLineWith(refused.Output(), {"error_code=2501"})) << refused.Output();
  EXPECT_TRUE(HasLineWith(refused.Output(), {"StreamStopped"})) << refused.Output();
  EXPECT_TRUE(HasLineWith(host.Output().substr(seen), {"Stream refused: no video encoder is free"})) << host.Output();

  // The first tablet stops: its encoder unit is free again.
  EXPECT_EQ(first.Wait(kRunDeadline), std::optional<int>(0)) << first.Output();
  ChildProcess later;
  ASSERT_TRUE(c.Run(later, "capability,start-stream,wait-decoded:10:20000,stop-stream,wait:300,end", "later"));
  EXPECT_EQ(later.Wait(kRunDeadline), std::optional<int>(0)) << later.Output() << host.Output();
  EXPECT_TRUE(HasLineWith(later.Output(), {"[Sim] Video: decoded=", " picture_bad=0 "})) << later.Output();
  EXPECT_TRUE(HasLineWith(host.Output().substr(seen), {"Streaming to Tablet c"})) << host.Output();
  EXPECT_EQ(second.Wait(kRunDeadline), std::optional<int>(0)) << second.Output();
}

}  // namespace
}  // namespace orvane::e2e
