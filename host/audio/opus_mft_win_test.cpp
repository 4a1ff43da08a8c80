#include <windows.h>

#include <mfapi.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/audio/opus_encoder.h"
#include "host/common/platform_info.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

// COM and Media Foundation as the host's start-up sets them up.
class OpusMftWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(com)) << "CoInitializeEx failed: " << std::hex << static_cast<unsigned long>(com);
    com_ = true;
    const HRESULT mf = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    ASSERT_TRUE(SUCCEEDED(mf)) << "MFStartup failed: " << std::hex << static_cast<unsigned long>(mf);
    mf_ = true;
  }
  void TearDown() override {
    if (mf_) MFShutdown();
    if (com_) CoUninitialize();
  }

 private:
  bool com_ = false;
  bool mf_ = false;
};

// Wine registers no Opus encoder transform; real Windows may have one.
TEST_F(OpusMftWinTest, TheTransformIsTriedFirstThenLibopusEncodes) {
  testing::LogCapture log;
  OpusEncoder encoder;
  ASSERT_TRUE(encoder.Initialize(48'000, 2, 64)) << encoder.LastResult().message;
  if (RunningUnderWine()) {
    EXPECT_EQ(encoder.TransformResult().message, "No Opus MFT encoder found");
    EXPECT_TRUE(log.Contains("[OpusEnc] No Opus MFT encoder found; encoding with libopus"));
  }
  if (encoder.Backend() == OpusBackend::kLibopus) {
    EXPECT_FALSE(encoder.TransformResult().ok());
    EXPECT_TRUE(log.Contains("[OpusEnc] Opus libopus fallback initialized: 48000Hz, 2ch, 64kbps"));
  } else {
    EXPECT_EQ(encoder.Backend(), OpusBackend::kTransform);
    EXPECT_TRUE(log.Contains("[OpusEnc] Opus MFT encoder initialized: 48000Hz, 2ch, 64kbps"));
  }
  std::vector<int16_t> pcm(1920 * 3);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<int16_t>(8000 * std::sin(0.13 * static_cast<double>(i / 2)));
  size_t packets = 0;
  for (int f = 0; f < 3; ++f) {
    OpusPacket packet;
    if (encoder.Encode(pcm.data() + f * 1920, 960, 2, 1'000'000 + f * 20'000, &packet)) {
      ++packets;
      EXPECT_LE(packet.data.size(), kMaxOpusPacketBytes);
      EXPECT_EQ(packet.duration_ms, 20);
    }
  }
  EXPECT_GE(packets, 1u);
}

}  // namespace
}  // namespace orvane
