#include "host/video/frame_diagnostics.h"

#include <gtest/gtest.h>

#include "host/video/first_image_watch.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

FrameDiagContext Context() {
  FrameDiagContext x;
  x.active_backend = "gdi";
  x.last_frame = 42;
  x.ts_us = 123456;
  x.enc_mode = "SW";
  x.enc_mft = "libx264";
  x.enc_adapter = "unknown";
  x.enc_feature = 0xB000;
  x.enc_fallback = "software_encoder_selected";
  x.key_state = "v2";
  return x;
}

TEST(FrameDiagnosticsTest, LinesAreWrittenAsTheOperatorReadsThem) {
  testing::LogCapture log;
  FrameDiagnostics diag(0);
  diag.counters().total_frames = 7;
  diag.counters().queue_drop = 1;
  diag.LogPipeline(Context());
  diag.LogFinal(Context());
  EXPECT_TRUE(log.Contains(
      "[FrameDiag] Pipeline total_frames=7 capture_fail=0 dup_reinit=0 wgc_reinit=0 dup_timeout=0 wgc_timeout=0 "
      "backend_switch=0 active_backend=gdi encode_fail=0 access_units=0 empty_access_units=0 send_fail=0 "
      "queue_depth=0 queue_peak=0 queue_drop=1 send_queue_depth=0 send_queue_peak=0 send_queue_drop=0 "
      "send_queue_delay_peak_us=0 kf_copy_skip=0 idle_refresh=0 kf_requests=0 enc_resets=0 stale_drop=0 "
      "oversize_drop=0 pacing_reanchor=0 last_frame=42 ts_us=123456 enc_mode=SW enc_mft=libx264 "
      "enc_adapter=unknown enc_feature=0xB000 enc_fallback=software_encoder_selected key_state=v2 "
      "compat_promotions=0"));
  EXPECT_TRUE(log.Contains(
      "[FrameDiag] Final pipeline total_frames=7 capture_fail=0 dup_reinit=0 wgc_reinit=0 dup_timeout=0 "
      "wgc_timeout=0 backend_switch=0 active_backend=gdi encode_fail=0 access_units=0 empty_access_units=0 "
      "send_fail=0 queue_peak=0 queue_drop=1 send_queue_peak=0 send_queue_drop=0 send_queue_delay_peak_us=0 "
      "kf_copy_skip=0 idle_refresh=0 kf_requests=0 enc_resets=0 stale_drop=0 oversize_drop=0 enc_mode=SW "
      "enc_mft=libx264 enc_adapter=unknown enc_feature=0xB000 enc_fallback=software_encoder_selected key_state=v2 "
      "compat_promotions=0"));
}

TEST(FrameDiagnosticsTest, PipelineLineOnFailuresAtMostEveryTwoSecondsElseEveryThirty) {
  FrameDiagnostics diag(0);
  const FrameDiagContext x = Context();
  EXPECT_FALSE(diag.MaybeLog(2000, x));  // nothing moved
  diag.counters().encode_fail++;
  EXPECT_TRUE(diag.MaybeLog(2000, x));
  diag.counters().encode_fail++;
  EXPECT_FALSE(diag.MaybeLog(3999, x));  // too soon
  EXPECT_TRUE(diag.MaybeLog(4000, x));
  EXPECT_FALSE(diag.MaybeLog(33'999, x));
  EXPECT_TRUE(diag.MaybeLog(34'000, x));  // quiet for 30 s
}

TEST(FrameDiagnosticsTest, PeaksOnlyRise) {
  std::atomic<uint64_t> peak{5};
  FrameCounters::RaisePeak(peak, 3);
  EXPECT_EQ(peak.load(), 5u);
  FrameCounters::RaisePeak(peak, 9);
  EXPECT_EQ(peak.load(), 9u);
}

TEST(FirstImageWatchTest, RedrawsTwiceThenRecreatesOncePerSecondFrom750Ms) {
  testing::LogCapture log;
  FirstImageWatch watch(1000);
  std::vector<std::pair<uint64_t, FirstImageAction>> actions;
  for (uint64_t now = 1000; now <= 4800; now += 50) {
    const FirstImageAction a = watch.Poll(now, false, true, 17);
    if (a != FirstImageAction::kNone) actions.emplace_back(now - 1000, a);
  }
  ASSERT_EQ(actions.size(), 4u);
  EXPECT_EQ(actions[0], std::make_pair(uint64_t{750}, FirstImageAction::kRedraw));
  EXPECT_EQ(actions[1], std::make_pair(uint64_t{1750}, FirstImageAction::kRedraw));
  EXPECT_EQ(actions[2], std::make_pair(uint64_t{2750}, FirstImageAction::kRecreateCapture));
  EXPECT_EQ(actions[3], std::make_pair(uint64_t{3750}, FirstImageAction::kRedraw));
  EXPECT_TRUE(log.Contains(
      "[FrameLoop] No desktop image 750 ms after the stream (re)start (keyframe pending=yes, next video seq=17); "
      "asking Windows to redraw the desktop"));
  EXPECT_TRUE(log.Contains(
      "[FrameLoop] Still no desktop image 2750 ms after the stream (re)start; recreating the capture"));
  watch.OnImage(5000);
  EXPECT_TRUE(log.Contains(
      "[FrameLoop] First desktop image 4000 ms after the stream (re)start or capture reinit (redraws/reinits=4)"));
  EXPECT_FALSE(watch.Waiting());
}

TEST(FirstImageWatchTest, AQuickImageIsNotLoggedAndAPreviousImageNeedsNoWatch) {
  testing::LogCapture log;
  FirstImageWatch watch(0);
  EXPECT_EQ(watch.Poll(900, true, false, 0), FirstImageAction::kNone);
  watch.OnImage(400);
  EXPECT_FALSE(log.Contains("First desktop image"));
  watch.Restart(10'000);
  watch.OnImage(11'000);  // over 999 ms
  EXPECT_TRUE(log.Contains("[FrameLoop] First desktop image 1000 ms after"));
}

}  // namespace
}  // namespace orvane
