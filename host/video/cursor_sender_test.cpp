#include "host/video/cursor_sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "host/common/clock.h"
#include "host/common/precise_sleep.h"
#include "host/video/testing/fake_cursor_source.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using protocol::v1::CursorUpdate;
using testing::FakeCursorSource;
using testing::FakeCursorState;
using testing::LogCapture;
using testing::WaitFor;

TEST(CursorMappingTest, FollowsTheLetterboxedPicture) {
  struct Case {
    const char* name;
    CursorCaptureRect rect;
    CursorStreamSize stream;
    int32_t x, y;
    MappedCursorPosition want;
  };
  const Case cases[] = {
      {"same aspect", {0, 0, 1920, 1080}, {1280, 800}, 960, 540, {640, 400, true}},
      {"rounded, last pixel", {0, 0, 1366, 768}, {1280, 800}, 1365, 767, {1279, 757, true}},
      {"monitor right of the origin", {960, 0, 960, 1080}, {1280, 800}, 1440, 540, {639, 400, true}},
      {"another monitor", {960, 0, 960, 1080}, {1280, 800}, 100, 100, {-352, 74, false}},
      {"no rectangle", {0, 0, 0, 0}, {1280, 800}, 123, 456, {123, 456, true}},
      {"no stream size", {0, 0, 1920, 1080}, {0, 0}, 123, 456, {123, 456, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MappedCursorPosition got = MapCursorPosition(c.x, c.y, c.rect, c.stream);
    EXPECT_EQ(got.x, c.want.x);
    EXPECT_EQ(got.y, c.want.y);
    EXPECT_EQ(got.inside, c.want.inside);
  }
}

struct SenderFixture {
  std::shared_ptr<FakeCursorState> state = std::make_shared<FakeCursorState>();
  ManualClock clock;
  ManualSleeper sleeper{clock};
  std::mutex mu;
  std::vector<CursorUpdate> sent;
  std::atomic<bool> accept{true};
  std::function<void()> on_send;
  std::unique_ptr<CursorSender> sender;

  SenderFixture() {
    state->SetShape(0x10, StandardCursor::kArrow, 32, 0xFF202020u, 2);
    state->MoveTo(960, 540);
    CursorSenderOptions options;
    options.send = [this](const CursorUpdate& u) {
      if (on_send) on_send();
      if (!accept.load()) return false;
      std::lock_guard<std::mutex> lock(mu);
      sent.push_back(u);
      return true;
    };
    options.stream_size = [] { return CursorStreamSize{1280, 800}; };
    options.rect = {0, 0, 1920, 1080};
    options.sleeper = &sleeper;
    sender = std::make_unique<CursorSender>(std::make_unique<CursorTracker>(std::make_unique<FakeCursorSource>(state)),
                                            std::move(options));
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mu);
    return sent.size();
  }
  CursorUpdate Last() {
    std::lock_guard<std::mutex> lock(mu);
    return sent.back();
  }
};

TEST(CursorSenderTest, SendsChangesAndRepeatsWhatDidNotLeave) {
  SenderFixture f;
  f.sender->Tick();
  ASSERT_EQ(f.Count(), 1u);
  CursorUpdate full = f.Last();
  EXPECT_EQ(full.position_x(), 640);
  EXPECT_EQ(full.position_y(), 400);
  EXPECT_EQ(full.shape(), "arrow");
  EXPECT_EQ(full.hotspot_x(), 2);
  EXPECT_EQ(full.width(), 32u);
  EXPECT_EQ(full.bitmap_argb().size(), 32u * 32u * 4u);
  EXPECT_TRUE(full.visible());
  f.sender->Tick();
  EXPECT_EQ(f.Count(), 1u);  // nothing changed

  // A new shape that does not leave is repeated with its picture.
  f.accept = false;
  f.state->SetShape(0x11, StandardCursor::kText, 32, 0xFF000000u, 5);
  f.sender->Tick();
  f.accept = true;
  f.sender->Tick();
  ASSERT_EQ(f.Count(), 2u);
  EXPECT_EQ(f.Last().shape(), "text");
  EXPECT_EQ(f.Last().bitmap_argb().size(), 32u * 32u * 4u);

  // A move that does not leave is repeated although nothing moved since.
  f.accept = false;
  f.state->MoveTo(0, 0);
  f.sender->Tick();
  f.accept = true;
  f.sender->Tick();
  ASSERT_EQ(f.Count(), 3u);
  EXPECT_EQ(f.Last().position_x(), 0);
  EXPECT_EQ(f.Last().position_y(), 40);  // the letterbox's top edge
  EXPECT_EQ(f.Last().shape(), "text");
  EXPECT_EQ(f.Last().hotspot_x(), 5);
  EXPECT_TRUE(f.Last().bitmap_argb().empty());
  EXPECT_EQ(f.sender->SentCount(), 3u);  // failed sends are not counted
}

TEST(CursorSenderTest, EachStartBeginsWithAFullUpdateAndPollsEvery8ms) {
  SenderFixture f;
  LogCapture log;
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(f.sender->Start());
    ASSERT_TRUE(WaitFor([&] { return f.Count() >= static_cast<size_t>(run); }));
    f.sender->Stop();
    f.sender->Stop();  // idempotent
    EXPECT_FALSE(f.sender->Running());
    EXPECT_EQ(f.Count(), static_cast<size_t>(run));  // the pointer never moved
    EXPECT_EQ(f.Last().bitmap_argb().size(), 32u * 32u * 4u);
  }
  const std::vector<int64_t> sleeps = f.sleeper.Sleeps();
  ASSERT_FALSE(sleeps.empty());
  for (int64_t us : sleeps) EXPECT_EQ(us, 8000);
  EXPECT_TRUE(log.Contains("[INFO ] [Cursor] Update sender stopped (sent=2)"));
}

TEST(CursorSenderTest, AStopFromItsOwnThreadIsRefused) {
  SenderFixture f;
  LogCapture log;
  std::atomic<bool> returned{false};
  f.on_send = [&] {
    f.sender->Stop();
    returned = true;
  };
  ASSERT_TRUE(f.sender->Start());
  ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
  EXPECT_TRUE(log.Contains("[ERROR] [Cursor] Stop called on the update sender's own thread; refused"));
  f.sender.reset();  // the destructor joins the loop, which was asked to end
  EXPECT_EQ(f.Count(), 1u);
}

}  // namespace
}  // namespace orvane
