#include "host/video/encoder_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace orvane {
namespace {

constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();

TEST(EncoderRulesTest, FrameRateDurationAndGop) {
  struct Case {
    uint32_t fps;
    uint32_t normalised;
    int64_t duration_100ns;
    uint32_t gop;
  };
  const Case cases[] = {
      {0, 60, 166'660, 240},     {60, 60, 166'660, 240},     {300, 240, 41'660, 960},  {240, 240, 41'660, 960},
      {7, 7, 1'428'570, 28},     {1, 1, 10'000'000, 4},      {30, 30, 333'330, 120},   {kMax32, 240, 41'660, 960},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    EXPECT_EQ(NormalizeFrameRate(c.fps), c.normalised);
    EXPECT_EQ(FrameDuration100ns(c.fps), c.duration_100ns);
    EXPECT_EQ(GopLength(c.fps), c.gop);
  }
}

TEST(EncoderRulesTest, BitRateProductsSaturate) {
  struct Case {
    uint32_t kbps;
    uint32_t mean;
    uint32_t peak;
  };
  const Case cases[] = {
      {0, 0, 0},
      {8000, 8'000'000, 12'000'000},
      {2'863'311, 2'863'311'000, 4'294'966'500},  // the last peak that fits
      {2'863'312, 2'863'312'000, kMax32},
      {4'294'967, 4'294'967'000, kMax32},  // the last mean that fits
      {4'294'968, kMax32, kMax32},
      {kMax32, kMax32, kMax32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kbps);
    EXPECT_EQ(BitsPerSecond(c.kbps), c.mean);
    EXPECT_EQ(PeakBitsPerSecond(c.kbps), c.peak);
  }
}

TEST(EncoderRulesTest, KeyframeScan) {
  struct Case {
    const char* name;
    VideoCodec codec;
    std::vector<uint8_t> bytes;
    bool keyframe;
  };
  const Case cases[] = {
      {"H.264 SPS then a 3-byte start code IDR", VideoCodec::kH264,
       {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0, 0, 1, 0x65, 0x88}, true},
      {"H.264 4-byte start code IDR", VideoCodec::kH264, {0, 0, 0, 1, 0x65, 0x88}, true},
      {"H.264 IDR with nal_ref_idc bits clear", VideoCodec::kH264, {0, 0, 1, 0x05, 0x11}, true},
      {"H.264 non-IDR slice", VideoCodec::kH264, {0, 0, 0, 1, 0x41, 0x9A}, false},
      {"H.264 parameter sets only", VideoCodec::kH264, {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}, false},
      {"H.264 start code at the last byte", VideoCodec::kH264, {0x41, 0x9A, 0, 0, 1}, false},
      {"H.264 IDR byte without a start code", VideoCodec::kH264, {0, 1, 0x65, 0x88}, false},
      {"HEVC VPS SPS PPS then TRAIL_R", VideoCodec::kHevc,
       {0, 0, 0, 1, 0x40, 0x01, 0, 0, 0, 1, 0x42, 0x01, 0, 0, 0, 1, 0x44, 0x01, 0, 0, 1, 0x02, 0x01}, false},
      {"HEVC CRA (21)", VideoCodec::kHevc, {0, 0, 0, 1, 21 << 1, 0x01, 0xAF}, true},
      {"HEVC BLA_W_LP (16)", VideoCodec::kHevc, {0, 0, 1, 16 << 1, 0x01}, true},
      {"HEVC IDR_W_RADL (19)", VideoCodec::kHevc, {0, 0, 1, 19 << 1, 0x01}, true},
      {"HEVC reserved 15", VideoCodec::kHevc, {0, 0, 1, 15 << 1, 0x01}, false},
      {"HEVC reserved 22", VideoCodec::kHevc, {0, 0, 1, 22 << 1, 0x01}, false},
      {"HEVC IDR type as H.264 would read it", VideoCodec::kHevc, {0, 0, 1, 0x65, 0x01}, false},
      {"HEVC start code at the last byte", VideoCodec::kHevc, {0x02, 0x01, 0, 0, 0, 1}, false},
      {"empty", VideoCodec::kH264, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ScanForKeyframe(c.codec, c.bytes.data(), c.bytes.size()), c.keyframe);
  }
  EXPECT_FALSE(ScanForKeyframe(VideoCodec::kH264, nullptr, 8));
}

TEST(EncoderRulesTest, DeviceLostResults) {
  struct Case {
    uint32_t hr;
    bool lost;
  };
  const Case cases[] = {
      {0x80041000u, true},  {0x80041001u, true},  {0x88760870u, true},  {0xC00D3704u, true},
      {0xC00D3E85u, true},  {0x887A0005u, true},  {0x887A0006u, true},  {0x887A0007u, true},
      {0x887A0020u, true},  {0x887A0004u, false}, {0x887A0008u, false}, {0x80004005u, false},
      {0xC00D36B5u, false}, {0xC00D6D61u, false}, {0x00000000u, false}, {0x80041002u, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hr);
    EXPECT_EQ(IsDeviceLostHResult(static_cast<HResult>(c.hr)), c.lost);
  }
}

TEST(EncoderRulesTest, WireCodec) {
  EXPECT_EQ(VideoCodecFromWire(1), VideoCodec::kH264);
  EXPECT_EQ(VideoCodecFromWire(2), VideoCodec::kHevc);
  EXPECT_EQ(VideoCodecFromWire(0), VideoCodec::kH264);
  EXPECT_EQ(VideoCodecFromWire(3), VideoCodec::kH264);
  EXPECT_EQ(VideoCodecFromWire(kMax32), VideoCodec::kH264);
  EXPECT_STREQ(VideoCodecName(VideoCodec::kH264), "H264");
  EXPECT_STREQ(VideoCodecName(VideoCodec::kHevc), "HEVC");
  // Inside the encoder any non-zero codec is HEVC.
  EXPECT_STREQ(VideoCodecName(static_cast<VideoCodec>(7)), "HEVC");
}

TEST(EncoderRulesTest, Names) {
  EXPECT_STREQ(EncoderModeName(EncoderMode::kHwGpuDirect), "HW_GPU_DIRECT");
  EXPECT_STREQ(EncoderModeName(EncoderMode::kHwCpuFeed), "HW_CPU_FEED");
  EXPECT_STREQ(EncoderModeName(EncoderMode::kSw), "SW");
  EXPECT_STREQ(EncoderPreferenceName(EncoderPreference::kAuto), "auto");
  EXPECT_STREQ(EncoderPreferenceName(EncoderPreference::kHardwareOnly), "hardware");
  EXPECT_STREQ(EncoderPreferenceName(EncoderPreference::kSoftwareOnly), "software");
}

TEST(EncoderRulesTest, OutputBufferAndFrameBytes) {
  struct Case {
    uint32_t transform_size, width, height, bytes;
  };
  const Case cases[] = {
      {0, 640, 360, 1'048'576},     {0, 3840, 2160, 12'441'600}, {0, 1920, 1080, 3'110'400},
      {0, 2, 2, 1'048'576},         {5000, 3840, 2160, 5000},    {0, 65535, 65535, kMax32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    EXPECT_EQ(OutputBufferBytes(c.transform_size, c.width, c.height), c.bytes);
  }
  EXPECT_EQ(Yuv420Bytes(640, 360), 345'600u);
  EXPECT_EQ(Yuv420Bytes(65535, 65535), 6'442'254'337u);
}

}  // namespace
}  // namespace orvane
