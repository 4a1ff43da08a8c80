#include "host/video/synthetic_stream.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(SyntheticStreamTest, FramesFollowFromTheirTimestamp) {
  for (const size_t length : {size_t{5}, size_t{64}, size_t{1200}, size_t{1201}, size_t{150'000}}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> key = MakeSyntheticFrame(16'666, true, length);
    const std::vector<uint8_t> delta = MakeSyntheticFrame(16'666, false, length);
    EXPECT_EQ(key[4], 0x65);
    EXPECT_EQ(delta[4], 0x41);
    EXPECT_TRUE(CheckSyntheticFrame(16'666, key.data(), key.size()));
    EXPECT_TRUE(CheckSyntheticFrame(16'666, delta.data(), delta.size()));
    if (length > 5) {
      // Only the prefix exists in a 5-byte unit; longer ones name their time.
      EXPECT_FALSE(CheckSyntheticFrame(33'333, key.data(), key.size()));
      std::vector<uint8_t> damaged = key;
      damaged[length - 1] ^= 0x01;
      EXPECT_FALSE(CheckSyntheticFrame(16'666, damaged.data(), damaged.size()));
    }
  }
  EXPECT_FALSE(CheckSyntheticFrame(1, nullptr, 0));
}

TEST(SyntheticStreamTest, SizesFollowTheBitrate) {
  const SyntheticFrameShape shape{60, 8000, 120};
  // 8000 kbit/s at 60 fps: about 16.7 kB per frame, keyframes about 8 times that.
  for (uint64_t i = 0; i < 50; ++i) {
    const size_t delta = SyntheticFrameLength(shape, i, false);
    EXPECT_GE(delta, 12'000u);
    EXPECT_LE(delta, 21'000u);
    EXPECT_EQ(delta, SyntheticFrameLength(shape, i, false));
  }
  EXPECT_GE(SyntheticFrameLength(shape, 0, true), 100'000u);
  EXPECT_EQ(SyntheticFrameLength(SyntheticFrameShape{60, 0, 1}, 3, false), 64u);
}

}  // namespace
}  // namespace orvane
