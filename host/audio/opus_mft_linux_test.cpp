#include <gtest/gtest.h>

#include <vector>

#include "host/audio/opus_encoder.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

TEST(OpusMftLinuxTest, WithoutAPlatformEncoderLibopusEncodes) {
  testing::LogCapture log;
  OpusEncoder encoder;
  ASSERT_TRUE(encoder.Initialize(48'000, 2, 64));
  EXPECT_EQ(encoder.Backend(), OpusBackend::kLibopus);
  EXPECT_EQ(encoder.TransformResult().message, "No Opus MFT encoder found");
  EXPECT_TRUE(log.Contains("[OpusEnc] No Opus MFT encoder found; encoding with libopus"));
  const std::vector<int16_t> silence(1920, 0);
  OpusPacket packet;
  EXPECT_TRUE(encoder.Encode(silence.data(), 960, 2, 0, &packet));
}

}  // namespace
}  // namespace orvane
