#include "host/video/frame_queues.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace orvane {
namespace {

EncodeJob Job(uint64_t frame, bool keyframe, uint32_t copies = 1) {
  EncodeJob job;
  job.frame_number = frame;
  job.keyframe = keyframe;
  job.keyframe_copies = copies;
  return job;
}

TEST(EncodeQueueTest, AThirdJobDropsTheOldestAndKeepsItsKeyframe) {
  EncodeQueue queue;
  EXPECT_EQ(queue.Push(Job(1, true, 2)), 0u);
  EXPECT_EQ(queue.Push(Job(2, false)), 0u);
  EXPECT_EQ(queue.Push(Job(3, false)), 1u);
  EXPECT_EQ(queue.Depth(), 2u);
  EncodeJob out;
  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(out.frame_number, 2u);
  EXPECT_FALSE(out.keyframe);
  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(out.frame_number, 3u);
  EXPECT_TRUE(out.keyframe);
  EXPECT_EQ(out.keyframe_copies, 2u);
}

TEST(EncodeQueueTest, StopWakesAWaitingWorker) {
  EncodeQueue queue;
  bool popped = true;
  std::thread worker([&] {
    EncodeJob out;
    popped = queue.Pop(&out);
  });
  queue.Stop();
  worker.join();
  EXPECT_FALSE(popped);
}

// A send queue filled from a script: K keyframe, P other, with the time of
// each push.
struct Push {
  char kind;
  int64_t at_us;
};

std::string Contents(SendQueue& queue) {
  ManualClock clock;
  std::string s;
  SendItem item;
  while (queue.HasWaiting() && queue.Pop(&item, clock, nullptr)) {
    s += item.keyframe ? 'K' : 'P';
    s += std::to_string(item.frame_number);
    s += ' ';
  }
  return s;
}

TEST(SendQueueTest, PushTable) {
  struct Case {
    const char* name;
    std::vector<Push> before;
    Push push;
    bool wait_first;
    std::string after;
    uint64_t dropped;
    bool requested;
  };
  std::vector<Push> kp31 = {{'K', 0}};
  for (int i = 0; i < 31; ++i) kp31.push_back({'P', 1000 + i});
  std::vector<Push> p31k;
  for (int i = 0; i < 31; ++i) p31k.push_back({'P', i});
  p31k.push_back({'K', 31});
  const Case cases[] = {
      {"queued", {{'K', 0}, {'P', 16'000}}, {'P', 33'000}, false, "K0 P1 P2 ", 0, false},
      // A blocked sender: the oldest is older than 200 ms; the newest
      // keyframe and what follows it stay.
      {"blocked 250 ms", {{'K', 0}, {'P', 16'000}, {'K', 100'000}, {'P', 116'000}}, {'P', 250'000}, false,
       "K2 P3 P4 ", 2, false},
      // The newest keyframe is the oldest item and itself too old: all goes.
      {"old keyframe", {{'K', 0}, {'P', 16'000}}, {'P', 250'000}, false, "", 3, true},
      // 32 items behind an oldest keyframe: all dropped, one request.
      {"32 behind a keyframe", kp31, {'P', 2000}, false, "", 33, true},
      {"32 with a keyframe last", p31k, {'P', 40}, false, "K31 P32 ", 31, false},
      {"keyframe into a full queue", kp31, {'K', 2000}, false, "K32 ", 32, false},
      {"P while waiting", {}, {'P', 0}, true, "", 1, false},
      {"keyframe ends the wait", {}, {'K', 0}, true, "K0 ", 0, false},
  };
  for (const Case& c : cases) {
    SendQueue queue;
    if (c.wait_first) queue.WaitForKeyframe();
    uint64_t frame = 0;
    for (const Push& p : c.before) {
      SendItem item;
      item.keyframe = p.kind == 'K';
      item.frame_number = frame++;
      ASSERT_TRUE(queue.Push(std::move(item), p.at_us).queued) << c.name;
    }
    SendItem item;
    item.keyframe = c.push.kind == 'K';
    item.frame_number = frame;
    const SendPushResult r = queue.Push(std::move(item), c.push.at_us);
    EXPECT_EQ(r.dropped, c.dropped) << c.name;
    EXPECT_EQ(r.keyframe_requested, c.requested) << c.name;
    EXPECT_EQ(Contents(queue), c.after) << c.name;
  }
}

TEST(SendQueueTest, AKeyframeRequestIsRaisedOnceUntilServed) {
  SendQueue queue;
  EXPECT_TRUE(queue.WaitForKeyframe());
  EXPECT_FALSE(queue.WaitForKeyframe());
  SendItem p;
  EXPECT_FALSE(queue.Push(p, 0).keyframe_requested);
  EXPECT_TRUE(queue.WaitingForKeyframe());
  SendItem k;
  k.keyframe = true;
  EXPECT_TRUE(queue.Push(std::move(k), 0).queued);
  EXPECT_FALSE(queue.WaitingForKeyframe());
  EXPECT_TRUE(queue.WaitForKeyframe());
}

TEST(SendQueueTest, PopReportsTheWaitAndStopEndsIt) {
  SendQueue queue;
  ManualClock clock;
  SendItem item;
  item.keyframe = true;
  queue.Push(std::move(item), clock.NowUs());
  clock.AdvanceMs(7);
  SendItem out;
  int64_t waited = 0;
  ASSERT_TRUE(queue.Pop(&out, clock, &waited));
  EXPECT_EQ(waited, 7000);
  std::thread worker([&] { EXPECT_FALSE(queue.Pop(&out, clock, &waited)); });
  queue.Stop();
  worker.join();
}

}  // namespace
}  // namespace orvane
