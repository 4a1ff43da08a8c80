#include "host/video/frame_loop.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "host/video/monitor_enumeration.h"
#include "host/video/synthetic_capture.h"
#include "host/video/test_pattern.h"
#include "host/video/testing/fake_video_encoder.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::FakeVideoEncoder;

struct SentUnit {
  uint32_t first_seq = 0;
  uint64_t timestamp_us = 0;
  bool keyframe = false;
  size_t bytes = 0;
};

class RecordingSink final : public IVideoFrameSink {
 public:
  // When set, a send blocks until ResetStreamState (or 5 s) and fails.
  std::atomic<bool> block{false};
  std::atomic<bool> blocked_send_cut{false};

  bool SendVideoFrame(uint32_t& next_video_seq, uint64_t timestamp_us, bool keyframe, bool, const uint8_t*,
                      size_t length) override {
    std::unique_lock<std::mutex> lock(mu_);
    if (block) {
      blocking_ = true;
      cv_.notify_all();
      blocked_send_cut = cv_.wait_for(lock, std::chrono::seconds(5), [&] { return reset_; });
      return false;
    }
    units_.push_back({next_video_seq, timestamp_us, keyframe, length});
    next_video_seq += static_cast<uint32_t>((length + 1199) / 1200);
    return true;
  }
  void ResetStreamState() override {
    std::lock_guard<std::mutex> lock(mu_);
    reset_ = true;
    cv_.notify_all();
  }
  void SetClientFragmentLimit(uint32_t fragments) override { fragment_limit_ = fragments; }

  std::vector<SentUnit> Units() {
    std::lock_guard<std::mutex> lock(mu_);
    return units_;
  }
  bool WaitUntilBlocking() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return blocking_; });
  }
  std::atomic<uint32_t> fragment_limit_{0};

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<SentUnit> units_;
  bool reset_ = false;
  bool blocking_ = false;
};

class FakeSession final : public IFrameLoopSession {
 public:
  explicit FakeSession(IClock& clock) : clock_(clock) {}
  std::atomic<int64_t> end_us{INT64_MAX};
  std::atomic<bool> stop{false};
  std::atomic<bool> client_keyframe{false};
  std::atomic<int> first_frames{0};
  std::atomic<int> stats{0};
  std::mutex mu;
  std::vector<std::vector<uint32_t>> resizes;

  bool Streaming() override { return !stop && clock_.NowUs() < end_us; }
  bool TakeClientKeyframeRequest() override { return client_keyframe.exchange(false); }
  bool VideoPaused() override { return false; }
  void FirstFrameProduced() override { first_frames++; }
  void StreamResize(uint32_t ew, uint32_t eh, uint32_t lw, uint32_t lh, uint32_t scale) override {
    std::lock_guard<std::mutex> lock(mu);
    resizes.push_back({ew, eh, lw, lh, scale});
  }
  void StatsReport(uint32_t) override { stats++; }
  void ErrorMessage(int, const std::string&) override {}

 private:
  IClock& clock_;
};

// Virtual time that moves only once the loop's workers are through
// everything captured so far, so each run is the same.
class SettlingSleeper final : public IPreciseSleeper {
 public:
  explicit SettlingSleeper(ManualClock& clock) : clock_(clock) {}
  FrameLoop* loop = nullptr;
  void SleepUs(int64_t us) override {
    if (loop != nullptr) {
      ASSERT_TRUE(testing::WaitFor([&] { return loop->WorkersIdle(); }));
    }
    if (us > 0) clock_.AdvanceUs(us);
  }

 private:
  ManualClock& clock_;
};

struct Rig {
  ManualClock clock{1'000'000};
  SettlingSleeper sleeper{clock};
  FakeVideoEncoder encoder;
  RecordingSink sink;
  FakeSession session{clock};
  std::atomic<uint32_t> bitrate{0}, fps_cap{0}, scale{1000}, seq{0};
  std::atomic<bool> keyframe_request{false};
  std::atomic<uint64_t> frame_counter{0};
  std::atomic<int64_t> own_keyframe_us{0};
  FrameLoopSettings settings;
  uint32_t still_ms = 0;
  std::unique_ptr<FrameLoop> loop;

  Rig() {
    settings.width = 64;
    settings.height = 32;
    settings.fps = 60;
    settings.bitrate_kbps = 8000;
    encoder.Initialize(VideoCodec::kH264, 64, 32, 60, 8000);
  }

  void Make() {
    FrameLoopShared shared{&bitrate, &fps_cap, &scale, &keyframe_request, &frame_counter, &seq, &own_keyframe_us};
    FrameLoopDeps deps;
    deps.clock = &clock;
    deps.sleeper = &sleeper;
    deps.encoder = &encoder;
    deps.sink = &sink;
    deps.make_capture = [this](std::shared_ptr<GpuDevice>) {
      CaptureSourceSet set;
      set.dxgi = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kDxgi);
      set.wgc = std::make_unique<UnavailableCaptureSource>(CaptureBackendKind::kWgc);
      set.gdi = std::make_unique<SyntheticCaptureSource>(SyntheticCaptureOptions{64, 32, still_ms != 0 ? 1u : 60'000u, still_ms, &clock});
      return std::make_unique<CaptureManager>(
          CaptureBackendChoice::kAuto, SelectCaptureTarget(SyntheticMonitorEnumerator().EnumerateMonitors(), "", 0),
          std::move(set));
    };
    deps.redraw_desktop = [] { return true; };
    loop = std::make_unique<FrameLoop>(settings, shared, session, deps);
    sleeper.loop = loop.get();
  }

  // Runs the loop for `seconds` of virtual time.
  void RunFor(double seconds) {
    if (!loop) Make();
    session.end_us = clock.NowUs() + static_cast<int64_t>(seconds * 1e6);
    ASSERT_TRUE(loop->Run());
  }
};

TEST(FrameLoopTest, ACappedStreamRunsAtFifteenFramesASecond) {
  testing::LogCapture log;
  Rig rig;
  rig.fps_cap = 10;
  rig.RunFor(4.0);
  const uint64_t frames = rig.loop->Counters().total_frames.load();
  EXPECT_GE(frames, 59u);
  EXPECT_LE(frames, 61u);
  EXPECT_EQ(log.Count("[FrameLoop] Decoder load frame-rate cap 0 -> 10 (stream fps=60)"), 1u);
  EXPECT_EQ(rig.encoder.SubmittedFrames().size(), frames);
  EXPECT_EQ(rig.sink.Units().size(), rig.loop->Counters().access_units.load());
  EXPECT_TRUE(log.Contains("[FrameLoop] Stopped after"));
  EXPECT_TRUE(log.Contains("[FrameDiag] Final pipeline total_frames="));
  EXPECT_EQ(rig.session.first_frames.load(), 1);
}

TEST(FrameLoopTest, EveryJobSeesItsOwnImage) {
  Rig rig;
  std::atomic<int> torn{0};
  rig.encoder.check_image = [&](const uint8_t* p, uint32_t pitch, uint32_t w, uint32_t h) {
    // The picture carries its number; the whole image must be that picture.
    const std::optional<uint64_t> n = ReadTestPatternCounterBgra(p, pitch, w, h);
    std::vector<uint8_t> want(static_cast<size_t>(w) * 4 * h);
    if (n) RenderTestPattern(*n, w, h, want.data(), w * 4);
    for (uint32_t y = 0; n && y < h; ++y) {
      if (std::memcmp(p + static_cast<size_t>(y) * pitch, want.data() + static_cast<size_t>(y) * w * 4,
                      static_cast<size_t>(w) * 4) != 0) {
        torn++;
        return false;
      }
    }
    if (!n) torn++;
    return n.has_value();
  };
  rig.RunFor(1.0);
  const auto frames = rig.encoder.SubmittedFrames();
  ASSERT_GE(frames.size(), 55u);
  EXPECT_EQ(torn.load(), 0);
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i].timestamp_us, frames[i - 1].timestamp_us);
}

TEST(FrameLoopTest, HeadersCarryTheLaggingEncodersTimestampsAndKeyframes) {
  Rig rig;
  rig.encoder.lag_one = true;
  rig.encoder.own_idr_every = 25;
  rig.RunFor(5.0);
  const auto submitted = rig.encoder.SubmittedFrames();
  const auto units = rig.sink.Units();
  ASSERT_GT(units.size(), 200u);
  std::map<uint64_t, bool> keyframe_at;
  for (const auto& s : submitted) keyframe_at[static_cast<uint64_t>(s.timestamp_us)] = false;
  size_t own_idrs = 0;
  for (const auto& u : units) {
    ASSERT_TRUE(keyframe_at.count(u.timestamp_us)) << u.timestamp_us;  // a submitted frame's own time
    EXPECT_EQ(u.keyframe, u.bytes == rig.encoder.keyframe_bytes);
    if (u.keyframe) ++own_idrs;
  }
  EXPECT_GT(own_idrs, 5u);
}

TEST(FrameLoopTest, AStillDesktopIsRefreshed) {
  Rig rig;
  rig.still_ms = 60'000;  // one picture, then stillness
  rig.RunFor(5.0);
  // After the first picture only refreshes: every 200 ms for 3 s, then every second.
  EXPECT_GE(rig.loop->Counters().idle_refresh.load(), 15u);
  EXPECT_LE(rig.loop->Counters().idle_refresh.load(), 18u);
  const auto submitted = rig.encoder.SubmittedFrames();
  ASSERT_FALSE(submitted.empty());
  EXPECT_TRUE(submitted[0].keyframe_requested);
}

TEST(FrameLoopTest, AnOversizedKeyframeTightensTheLimitsAndHoldsBackFrames) {
  testing::LogCapture log;
  Rig rig;
  rig.settings.fragment_limit = 50;  // 60 000 bytes
  rig.encoder.keyframe_bytes = 70'000;
  rig.Make();
  // The first keyframes are too big; then the encoder behaves.
  rig.session.end_us = rig.clock.NowUs() + 100'000;
  ASSERT_TRUE(rig.loop->Run());
  EXPECT_EQ(rig.sink.fragment_limit_.load(), 50u);
  const auto limits = rig.encoder.FrameSizeLimits();
  ASSERT_GE(limits.size(), 2u);
  EXPECT_EQ(limits[0], std::make_pair(408'000u, 0u));
  EXPECT_EQ(limits[1], std::make_pair(336'000u, 24u));
  EXPECT_GT(rig.loop->Counters().oversize_drop.load(), 0u);
  EXPECT_GE(rig.own_keyframe_us.load(), 1'000'000'000);  // the loop's start or later
  // Nothing but keyframes may follow a dropped keyframe, and none fit.
  EXPECT_TRUE(rig.sink.Units().empty());
  EXPECT_TRUE(log.Contains("[FrameLoop] Dropped keyframe of 70000 bytes over the client's 60000-byte frame limit"));
  EXPECT_TRUE(log.Contains("[FrameLoop] Frame size cap 60000 bytes (50 fragments)"));
}

TEST(FrameLoopTest, DecoderLoadResizesTheEncoderAndRestoresOnFailure) {
  testing::LogCapture log;
  Rig rig;
  rig.settings.width = 1920;
  rig.settings.height = 1080;
  rig.settings.supports_resize = true;
  rig.scale = 750;
  rig.RunFor(0.2);
  {
    std::lock_guard<std::mutex> lock(rig.session.mu);
    ASSERT_EQ(rig.session.resizes.size(), 1u);
    EXPECT_EQ(rig.session.resizes[0], (std::vector<uint32_t>{1440, 810, 1920, 1080, 750}));
  }
  EXPECT_EQ(rig.encoder.Initializations().back(), std::make_pair(1440u, 810u));
  // The resize's keyframe is the loop's own: it is time-stamped for the
  // session's feedback.
  EXPECT_GE(rig.own_keyframe_us.load(), 1'000'000'000);  // the loop's start or later

  Rig failing;
  failing.settings.width = 1920;
  failing.settings.height = 1080;
  failing.settings.supports_resize = true;
  failing.scale = 500;
  failing.encoder.initialize_ok = false;
  failing.RunFor(0.2);
  EXPECT_TRUE(log.Contains("[FrameLoop] Encoder could not start at 960x540"));
  EXPECT_TRUE(log.Contains("[FrameLoop] Encoder restore at 1920x1080 failed; the reset path will retry"));
  std::lock_guard<std::mutex> lock(failing.session.mu);
  ASSERT_EQ(failing.session.resizes.size(), 2u);  // the failed scale is not asked again
  EXPECT_EQ(failing.session.resizes[1], (std::vector<uint32_t>{1920, 1080, 1920, 1080, 1000}));
}

TEST(FrameLoopTest, StopCutsABlockedSendShort) {
  ManualClock unused;
  RecordingSink sink;
  FakeVideoEncoder encoder;
  encoder.Initialize(VideoCodec::kH264, 64, 32, 60, 8000);
  FakeSession session(SystemClock());
  std::atomic<uint32_t> bitrate{0}, fps_cap{0}, scale{1000}, seq{0};
  std::atomic<bool> keyframe_request{false};
  std::atomic<uint64_t> frame_counter{500};
  FrameLoopSettings settings;
  settings.width = 64;
  settings.height = 32;
  FrameLoopDeps deps;
  deps.clock = &SystemClock();
  deps.sleeper = &SystemPreciseSleeper();
  deps.encoder = &encoder;
  deps.sink = &sink;
  deps.make_capture = [](std::shared_ptr<GpuDevice>) {
    CaptureSourceSet set;
    set.gdi = std::make_unique<SyntheticCaptureSource>(SyntheticCaptureOptions{64, 32, 60'000, 0, nullptr});
    return std::make_unique<CaptureManager>(
        CaptureBackendChoice::kAuto, SelectCaptureTarget(SyntheticMonitorEnumerator().EnumerateMonitors(), "", 0),
        std::move(set));
  };
  FrameLoop loop(settings, {&bitrate, &fps_cap, &scale, &keyframe_request, &frame_counter, &seq}, session, deps);
  sink.block = true;
  std::thread runner([&] { EXPECT_TRUE(loop.Run()); });
  ASSERT_TRUE(sink.WaitUntilBlocking());
  session.stop = true;
  runner.join();
  EXPECT_TRUE(sink.blocked_send_cut.load());
  // The session's frame counter goes on from where it was.
  EXPECT_GE(frame_counter.load(), 501u);
}

TEST(FrameLoopTest, NoPipelineEndsAtSetUp) {
  testing::LogCapture log;
  ManualClock clock;
  ManualSleeper sleeper(clock);
  RecordingSink sink;
  FakeSession session(clock);
  std::atomic<uint32_t> a{0}, b{0}, c{1000}, seq{0};
  std::atomic<bool> k{false};
  std::atomic<uint64_t> n{0};
  FrameLoopDeps deps;
  deps.clock = &clock;
  deps.sleeper = &sleeper;
  deps.sink = &sink;
  FrameLoop none({}, {&a, &b, &c, &k, &n, &seq}, session, deps);
  EXPECT_FALSE(none.Run());
  EXPECT_TRUE(log.Contains("[FrameLoop] No monitor pipeline is available"));
  FakeVideoEncoder encoder;  // never initialised
  deps.encoder = &encoder;
  FrameLoop not_ready({}, {&a, &b, &c, &k, &n, &seq}, session, deps);
  EXPECT_FALSE(not_ready.Run());
  EXPECT_TRUE(log.Contains("[FrameLoop] No active monitor encoder pipeline is ready"));
}

}  // namespace
}  // namespace orvane
