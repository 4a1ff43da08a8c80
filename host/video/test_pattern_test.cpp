#include "host/video/test_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/video/color_convert.h"

namespace orvane {
namespace {

struct Size {
  uint32_t w;
  uint32_t h;
};

std::vector<uint8_t> Render(uint64_t counter, Size s, uint32_t pitch = 0) {
  if (pitch == 0) pitch = s.w * 4;
  std::vector<uint8_t> out(static_cast<size_t>(pitch) * s.h, 0xCD);
  RenderTestPattern(counter, s.w, s.h, out.data(), pitch);
  return out;
}

// The way the host gets there: the pattern, letterboxed into the encoder
// size, then the Y plane of the NV12 conversion.
std::vector<uint8_t> HostLuma(uint64_t counter, Size source, Size picture) {
  const std::vector<uint8_t> bgra = Render(counter, source);
  std::vector<uint8_t> scaled;
  EXPECT_TRUE(ScaleBgraLetterbox(bgra.data(), source.w * 4, source.w, source.h, picture.w, picture.h, &scaled));
  std::vector<uint8_t> y(static_cast<size_t>(picture.w) * picture.h);
  std::vector<uint8_t> uv(static_cast<size_t>((picture.w + 1) / 2 * 2) * ((picture.h + 1) / 2));
  Nv12Planes planes{y.data(), picture.w, uv.data(), (picture.w + 1) / 2 * 2};
  EXPECT_TRUE(ConvertBgraToNv12Cpu(scaled.data(), picture.w * 4, picture.w, picture.h, planes));
  return y;
}

TEST(TestPattern, RenderingMatchesThePixelReferenceAtEverySize) {
  const struct {
    Size size;
    uint32_t pitch;
  } cases[] = {
      {{64, 32}, 0},       // blocks of 8 px fill the whole picture
      {{301, 77}, 1300},   // odd sizes, padded rows, blocks of 19 px
      {{20, 10}, 0},       // too small for the counter: bands only
      {{1000, 200}, 0},    // wider than a band period several times
      {{256, 128}, 0},     // exactly the full-size grid
  };
  for (const auto& c : cases) {
    for (const uint64_t counter : {0ull, 1ull, 63ull, 64ull, 0xFFFFFFull, 0x1000005ull}) {
      SCOPED_TRACE(std::to_string(c.size.w) + "x" + std::to_string(c.size.h) + " counter " + std::to_string(counter));
      const uint32_t pitch = c.pitch != 0 ? c.pitch : c.size.w * 4;
      const std::vector<uint8_t> image = Render(counter, c.size, pitch);
      size_t wrong = 0;
      for (uint32_t y = 0; y < c.size.h; ++y) {
        for (uint32_t x = 0; x < c.size.w; ++x) {
          const auto want = TestPatternPixel(counter, x, y, c.size.w, c.size.h);
          wrong += std::memcmp(image.data() + static_cast<size_t>(y) * pitch + x * 4, want.data(), 4) != 0;
        }
        // The padding is not touched.
        for (uint32_t b = c.size.w * 4; b < pitch; ++b) ASSERT_EQ(image[static_cast<size_t>(y) * pitch + b], 0xCD);
      }
      EXPECT_EQ(wrong, 0u);
    }
  }
  // Pictures n and n + 2^24 are the same picture.
  EXPECT_EQ(Render(5, {301, 77}), Render(5 + (1ull << 24), {301, 77}));
}

TEST(TestPattern, TheBackgroundMovesEveryFrameAndTheBlocksHoldTheWord) {
  const Size s{640, 360};
  for (uint64_t n = 0; n < 70; ++n) {
    // Below the block grid the bands have moved by 4 px.
    const auto now = TestPatternPixel(n, 300, 200, s.w, s.h);
    const auto next = TestPatternPixel(n + 1, 300, 200, s.w, s.h);
    EXPECT_NE(now, next) << n;
    EXPECT_EQ(next, TestPatternPixel(n, 304, 200, s.w, s.h)) << n;
  }
  // Counter 1: the word is 1 << 8 | CRC-8 of the bytes 00 00 01 (0x07) ^ 0x55.
  EXPECT_EQ(TestPatternWord(1), 0x00000152u);
  EXPECT_EQ(TestPatternWord(0), 0x00000055u);
  EXPECT_EQ(TestPatternWord(0xFFFFFF), 0xFFFFFF5Au);
  EXPECT_EQ(TestPatternBlockSide(1920, 1080), 32u);
  EXPECT_EQ(TestPatternBlockSide(64, 32), 8u);
  EXPECT_EQ(TestPatternBlockSide(31, 100), 0u);
  // Block 23 (column 7, row 2) holds the counter's lowest bit: white for 1.
  EXPECT_EQ(TestPatternPixel(1, 7 * 32 + 16, 2 * 32 + 16, 1920, 1080), (std::array<uint8_t, 4>{255, 255, 255, 255}));
  EXPECT_EQ(TestPatternPixel(2, 7 * 32 + 16, 2 * 32 + 16, 1920, 1080), (std::array<uint8_t, 4>{0, 0, 0, 255}));
}

TEST(TestPattern, TheExpectedLumaIsWhatTheHostsFitAndConversionMake) {
  const struct {
    Size source;
    Size picture;
  } cases[] = {
      {{1920, 1080}, {1280, 720}},   // scaled down, same aspect
      {{1920, 1080}, {1920, 1080}},  // as captured
      {{1920, 1080}, {2560, 1600}},  // bars above and below
      {{1280, 1024}, {1280, 720}},   // bars left and right
      {{640, 480}, {333, 201}},      // odd picture
      {{64, 32}, {64, 32}},
      {{300, 200}, {900, 700}},      // scaled up
  };
  for (const auto& c : cases) {
    for (const uint64_t counter : {7ull, 0xABCDEFull}) {
      SCOPED_TRACE(std::to_string(c.source.w) + "x" + std::to_string(c.source.h) + " in " +
                   std::to_string(c.picture.w) + "x" + std::to_string(c.picture.h));
      const std::vector<uint8_t> host = HostLuma(counter, c.source, c.picture);
      const TestPatternLuma model(c.source.w, c.source.h, c.picture.w, c.picture.h);
      const uint32_t stride = c.picture.w + 9;
      std::vector<uint8_t> built(static_cast<size_t>(stride) * c.picture.h, 0xCD);
      model.Build(counter, built.data(), stride);
      size_t wrong = 0;
      for (uint32_t y = 0; y < c.picture.h; ++y) {
        wrong += std::memcmp(built.data() + static_cast<size_t>(y) * stride,
                             host.data() + static_cast<size_t>(y) * c.picture.w, c.picture.w) != 0;
      }
      EXPECT_EQ(wrong, 0u) << "rows differ";
      EXPECT_EQ(ReadTestPatternCounter(host.data(), c.picture.w, c.picture.w, c.picture.h, c.source.w, c.source.h),
                std::optional<uint64_t>(counter));
    }
  }
}

TEST(TestPattern, TheCounterSurvivesNoiseAndIsRefusedWhenItCannotBeTrusted) {
  const Size source{1920, 1080};
  const Size picture{1280, 720};
  const uint64_t counter = 0x5A5A5A;
  std::vector<uint8_t> y = HostLuma(counter, source, picture);

  // Coding noise of up to +-40 levels leaves every block readable.
  std::vector<uint8_t> noisy = y;
  uint32_t state = 12345;
  for (uint8_t& v : noisy) {
    state = state * 1664525u + 1013904223u;
    const int n = static_cast<int>((state >> 24) % 81) - 40;
    v = static_cast<uint8_t>(std::clamp(v + n, 0, 255));
  }
  EXPECT_EQ(ReadTestPatternCounter(noisy.data(), picture.w, picture.w, picture.h, source.w, source.h),
            std::optional<uint64_t>(counter));
  // Read with a padded stride.
  const uint32_t stride = picture.w + 64;
  std::vector<uint8_t> padded(static_cast<size_t>(stride) * picture.h, 0);
  for (uint32_t r = 0; r < picture.h; ++r) {
    std::memcpy(padded.data() + static_cast<size_t>(r) * stride, y.data() + static_cast<size_t>(r) * picture.w,
                picture.w);
  }
  EXPECT_EQ(ReadTestPatternCounter(padded.data(), stride, picture.w, picture.h, source.w, source.h),
            std::optional<uint64_t>(counter));

  // One block painted the other way: the check bits disagree.
  std::vector<uint8_t> flipped = y;
  const uint32_t side = 32 * 2 / 3;  // block 5 of the top row, scaled
  for (uint32_t r = 2; r < side - 2; ++r) {
    for (uint32_t x = 5 * side + 2; x < 6 * side - 2; ++x) {
      uint8_t& v = flipped[static_cast<size_t>(r) * picture.w + x];
      v = v > 128 ? 16 : 235;
    }
  }
  EXPECT_EQ(ReadTestPatternCounter(flipped.data(), picture.w, picture.w, picture.h, source.w, source.h), std::nullopt);
  // Grey, black or white where the blocks should be, and pictures that cannot hold them.
  for (const uint8_t level : {uint8_t{128}, uint8_t{16}, uint8_t{235}}) {
    const std::vector<uint8_t> flat(static_cast<size_t>(picture.w) * picture.h, level);
    EXPECT_EQ(ReadTestPatternCounter(flat.data(), picture.w, picture.w, picture.h, source.w, source.h), std::nullopt)
        << static_cast<int>(level);
  }
  EXPECT_EQ(ReadTestPatternCounter(y.data(), picture.w, picture.w, picture.h, 0, source.h), std::nullopt);
  EXPECT_EQ(ReadTestPatternCounter(nullptr, picture.w, picture.w, picture.h, source.w, source.h), std::nullopt);
  const std::vector<uint8_t> tiny = Render(3, {20, 10});
  EXPECT_EQ(ReadTestPatternCounterBgra(tiny.data(), 80, 20, 10), std::nullopt);
  // 64 x 32 shown at 16 x 8: blocks of 2 px are too small to trust.
  const std::vector<uint8_t> small = HostLuma(3, {64, 32}, {16, 8});
  EXPECT_EQ(ReadTestPatternCounter(small.data(), 16, 16, 8, 64, 32), std::nullopt);
  const std::vector<uint8_t> full = Render(0x123456, {1920, 1080});
  EXPECT_EQ(ReadTestPatternCounterBgra(full.data(), 1920 * 4, 1920, 1080), std::optional<uint64_t>(0x123456));
}

}  // namespace
}  // namespace orvane
