#include "host/video/frame_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/video/capture_source.h"

namespace orvane {
namespace {

struct Buffer {
  explicit Buffer(std::atomic<int>* live) : live(live) { ++*live; }
  ~Buffer() { --*live; }
  std::atomic<int>* live;
  int value = 0;
};

FramePool<Buffer>::Factory Maker(std::atomic<int>* live, int* made) {
  return [live, made](const FramePoolKey&) {
    ++*made;
    return std::make_unique<Buffer>(live);
  };
}

TEST(FramePoolTest, ReusesFreeEntriesAndCountsHolders) {
  std::atomic<int> live{0};
  int made = 0;
  auto pool = FramePool<Buffer>::Create();
  const FramePoolKey key{64, 32, 0};
  FramePoolTake took;
  std::shared_ptr<Buffer> a = pool->Take(key, Maker(&live, &made), &took);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(took, FramePoolTake::kOk);
  std::shared_ptr<Buffer> copy = a;  // a second holder of the same entry
  a.reset();
  std::shared_ptr<Buffer> b = pool->Take(key, Maker(&live, &made), &took);
  EXPECT_NE(b.get(), copy.get());  // still held: never handed out twice
  EXPECT_EQ(made, 2);
  Buffer* first = copy.get();
  copy.reset();
  std::shared_ptr<Buffer> c = pool->Take(key, Maker(&live, &made), &took);
  EXPECT_EQ(c.get(), first);  // free again: reused, nothing made
  EXPECT_EQ(made, 2);
  EXPECT_EQ(pool->Size(), 2u);
  EXPECT_EQ(pool->InUse(), 2u);
}

TEST(FramePoolTest, AllHeldFailsUntilOneIsReleased) {
  std::atomic<int> live{0};
  int made = 0;
  auto pool = FramePool<Buffer>::Create();
  std::vector<std::shared_ptr<Buffer>> held;
  FramePoolTake took;
  for (size_t i = 0; i < FramePool<Buffer>::kCapacity; ++i) {
    held.push_back(pool->Take({8, 8, 0}, Maker(&live, &made), &took));
    ASSERT_NE(held.back(), nullptr);
  }
  EXPECT_EQ(pool->Take({8, 8, 0}, Maker(&live, &made), &took), nullptr);
  EXPECT_EQ(took, FramePoolTake::kAllHeld);
  held.erase(held.begin());
  EXPECT_NE(pool->Take({8, 8, 0}, Maker(&live, &made), &took), nullptr);
  EXPECT_EQ(took, FramePoolTake::kOk);
  EXPECT_EQ(made, 8);
  // A factory that fails leaves nothing behind.
  held.clear();
  EXPECT_EQ(pool->Take({9, 9, 0}, [](const FramePoolKey&) { return std::unique_ptr<Buffer>(); }, &took), nullptr);
  EXPECT_EQ(took, FramePoolTake::kCreateFailed);
}

TEST(FramePoolTest, ASizeChangeFreesIdleEntriesOfTheOldSize) {
  std::atomic<int> live{0};
  int made = 0;
  auto pool = FramePool<Buffer>::Create();
  FramePoolTake took;
  std::shared_ptr<Buffer> held = pool->Take({1920, 1080, 0}, Maker(&live, &made), &took);
  { auto idle = pool->Take({1920, 1080, 0}, Maker(&live, &made), &took); }
  { auto idle = pool->Take({1920, 1080, 87}, Maker(&live, &made), &took); }  // another format
  EXPECT_EQ(pool->Size(), 2u);  // the idle entry of the first format went when the second was asked for
  std::shared_ptr<Buffer> bigger = pool->Take({2560, 1440, 0}, Maker(&live, &made), &took);
  EXPECT_EQ(pool->Size(), 2u);  // the held old one stays until released
  EXPECT_EQ(live.load(), 2);
  held.reset();
  pool->Take({2560, 1440, 0}, Maker(&live, &made), &took);
  EXPECT_EQ(live.load(), 2);
}

TEST(FramePoolTest, AnEntryOutlivingItsPoolOwnerFreesItself) {
  std::atomic<int> live{0};
  int made = 0;
  std::shared_ptr<Buffer> survivor;
  {
    auto pool = FramePool<Buffer>::Create();
    FramePoolTake took;
    survivor = pool->Take({4, 4, 0}, Maker(&live, &made), &took);
    pool->Take({4, 4, 1}, Maker(&live, &made), &took);
  }
  EXPECT_EQ(live.load(), 2);  // the pool lives on in its entry
  survivor->value = 7;
  std::thread([s = std::move(survivor)]() mutable { s.reset(); }).join();
  EXPECT_EQ(live.load(), 0);
}

TEST(FramePoolTest, ReleasesFromOtherThreadsWhileTaking) {
  std::atomic<int> live{0};
  int made = 0;
  auto pool = FramePool<Buffer>::Create();
  std::atomic<bool> done{false};
  std::vector<std::shared_ptr<Buffer>> handoff;
  std::mutex mu;
  std::thread consumer([&] {
    while (!done.load()) {
      std::lock_guard<std::mutex> lock(mu);
      handoff.clear();
    }
  });
  int got = 0;
  for (int i = 0; i < 2000; ++i) {
    FramePoolTake took;
    std::shared_ptr<Buffer> b = pool->Take({16, 16, 0}, Maker(&live, &made), &took);
    if (!b) continue;
    ++got;
    b->value = i;
    std::lock_guard<std::mutex> lock(mu);
    handoff.push_back(std::move(b));
  }
  done = true;
  consumer.join();
  handoff.clear();
  EXPECT_GT(got, 0);
  EXPECT_LE(made, 8);
  EXPECT_EQ(pool->InUse(), 0u);
}

TEST(HeapCpuImageTest, AcceptsOnlySaneSizes) {
  const struct {
    uint32_t w, h;
    bool ok;
  } cases[] = {{1, 1, true}, {16384, 1, true}, {0, 10, false}, {10, 0, false}, {16385, 1, false}, {1, 16385, false}};
  for (const auto& c : cases) {
    const auto image = HeapCpuImage::Create(c.w, c.h);
    EXPECT_EQ(image != nullptr, c.ok) << c.w << "x" << c.h;
    if (image) {
      EXPECT_EQ(image->stride(), static_cast<int32_t>(c.w * 4));
      EXPECT_EQ(image->width(), c.w);
    }
  }
}

}  // namespace
}  // namespace orvane
