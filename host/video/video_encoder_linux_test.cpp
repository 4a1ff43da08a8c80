#include "host/video/video_encoder_linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/video/color_convert.h"
#include "host/video/encoder_rules.h"
#include "tests/support/test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

// libx265 3.5 keeps one parameter block of every encoder it opens (its own
// leak, not this encoder's); the sanitizer build's leak check skips that
// library.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\n";
}

namespace orvane {
namespace {

// ---- Pictures -------------------------------------------------------------

struct Bgra {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // pitch = width x 4
  uint32_t pitch() const { return width * 4; }
  void Put(uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 4];
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 255;
  }
};

uint32_t Hash(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352dU;
  v ^= v >> 15;
  v *= 0x846ca68bU;
  v ^= v >> 16;
  return v;
}

// A gradient with a square gliding over it: little changes from frame to
// frame, so the encoder has no reason for a keyframe of its own.
Bgra GlidingSquare(uint32_t w, uint32_t h, uint32_t frame) {
  Bgra p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
  const uint32_t sx = 16 + 4 * frame;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const bool square = x >= sx && x < sx + 64 && y >= 32 && y < 96;
      if (square) {
        p.Put(x, y, 240, 240, 240);
      } else {
        p.Put(x, y, static_cast<uint8_t>(x * 255 / w), static_cast<uint8_t>(y * 255 / h), 96);
      }
    }
  }
  return p;
}

// Fresh random 4x4 blocks every frame: nothing to predict and more detail
// than a few Mbit/s carry, so the rate control alone sets each unit's size.
Bgra BusyNoise(uint32_t w, uint32_t h, uint32_t frame) {
  Bgra p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t v = Hash((x / 4) * 7919 + (y / 4) * 104729 + frame * 15485863u);
      p.Put(x, y, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16));
    }
  }
  return p;
}

// Colour bars on top, a grey ramp in the middle, and rows of small
// one-pixel-stroke glyphs, black on white, below.
Bgra TestCard(uint32_t w, uint32_t h) {
  Bgra p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
  static constexpr uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  const uint32_t third = h / 3;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      if (y < third) {
        const uint8_t* c = kBars[x * 8 / w];
        p.Put(x, y, c[0], c[1], c[2]);
      } else if (y < 2 * third) {
        const uint8_t g = static_cast<uint8_t>(x * 255 / (w - 1));
        p.Put(x, y, g, g, g);
      } else {
        // Cells of 8 x 12 holding a 5 x 9 glyph made of strokes the hash picks.
        const uint32_t cx = x / 8, cy = (y - 2 * third) / 12, gx = x % 8, gy = (y - 2 * third) % 12;
        const uint32_t bits = Hash(cx * 131 + cy * 977);
        bool ink = false;
        if (gx < 5 && gy < 9) {
          ink = ((bits & 1) && gx == 0) || ((bits & 2) && gx == 4) || ((bits & 4) && gx == 2) ||
                ((bits & 8) && gy == 0) || ((bits & 16) && gy == 4) || ((bits & 32) && gy == 8);
        }
        const uint8_t v = ink ? 0 : 255;
        p.Put(x, y, v, v, v);
      }
    }
  }
  return p;
}

// ---- Access units ---------------------------------------------------------

std::vector<int> NalTypes(VideoCodec codec, const std::vector<uint8_t>& data) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    types.push_back(IsHevc(codec) ? (header >> 1) & 0x3F : header & 0x1F);
    i += 2;
  }
  return types;
}

bool Has(const std::vector<int>& types, int type) { return std::find(types.begin(), types.end(), type) != types.end(); }

// An IDR picture with its parameter sets in the same unit.
bool IsIdrWithParameterSets(VideoCodec codec, const std::vector<uint8_t>& data) {
  const std::vector<int> t = NalTypes(codec, data);
  if (IsHevc(codec)) {
    return Has(t, 32) && Has(t, 33) && Has(t, 34) && (Has(t, 19) || Has(t, 20)) && !Has(t, 21);
  }
  return Has(t, 7) && Has(t, 8) && Has(t, 5);
}

bool IsIdr(VideoCodec codec, const std::vector<uint8_t>& data) {
  const std::vector<int> t = NalTypes(codec, data);
  return IsHevc(codec) ? Has(t, 19) || Has(t, 20) : Has(t, 5);
}

// ---- FFmpeg's decoder -----------------------------------------------------

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
};

class Decoder {
 public:
  explicit Decoder(VideoCodec codec) {
    const AVCodec* decoder = avcodec_find_decoder(IsHevc(codec) ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (decoder == nullptr) return;
    context_ = avcodec_alloc_context3(decoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (context_ == nullptr || packet_ == nullptr || frame_ == nullptr) return;
    context_->thread_count = 1;  // no frame threads: a picture per unit, at once
    ok_ = avcodec_open2(context_, decoder, nullptr) >= 0;
  }
  ~Decoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }
  bool ok() const { return ok_; }

  // Decodes one access unit; the pictures that came out are appended.
  bool Decode(const std::vector<uint8_t>& unit, std::vector<Picture>* out) {
    if (!ok_ || av_new_packet(packet_, static_cast<int>(unit.size())) < 0) return false;
    std::memcpy(packet_->data, unit.data(), unit.size());
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    return sent >= 0 && Drain(out);
  }
  // End of stream: whatever the decoder still holds.
  bool Flush(std::vector<Picture>* out) { return ok_ && avcodec_send_packet(context_, nullptr) >= 0 && Drain(out); }

 private:
  bool Drain(std::vector<Picture>* out) {
    for (;;) {
      const int r = avcodec_receive_frame(context_, frame_);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0 || frame_->format != AV_PIX_FMT_YUV420P) return false;
      Picture p;
      p.width = frame_->width;
      p.height = frame_->height;
      p.range = frame_->color_range;
      p.matrix = frame_->colorspace;
      p.primaries = frame_->color_primaries;
      p.transfer = frame_->color_trc;
      CopyPlane(frame_->data[0], frame_->linesize[0], p.width, p.height, &p.y);
      CopyPlane(frame_->data[1], frame_->linesize[1], (p.width + 1) / 2, (p.height + 1) / 2, &p.u);
      CopyPlane(frame_->data[2], frame_->linesize[2], (p.width + 1) / 2, (p.height + 1) / 2, &p.v);
      out->push_back(std::move(p));
      av_frame_unref(frame_);
    }
  }
  static void CopyPlane(const uint8_t* data, int stride, int w, int h, std::vector<uint8_t>* out) {
    out->resize(static_cast<size_t>(w) * h);
    for (int row = 0; row < h; ++row) {
      std::memcpy(out->data() + static_cast<size_t>(row) * w, data + static_cast<ptrdiff_t>(row) * stride,
                  static_cast<size_t>(w));
    }
  }

  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  bool ok_ = false;
};

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

// ---- Fixture --------------------------------------------------------------

class LibavEncoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { av_log_set_level(AV_LOG_ERROR); }

  // Encodes one frame and takes every unit it produced.
  std::vector<EncodedAccessUnit> Encode(const Bgra& picture, int64_t timestamp_us) {
    std::vector<EncodedAccessUnit> units;
    EXPECT_TRUE(encoder_.EncodeBgra(picture.pixels.data(), picture.pitch(), picture.width, picture.height,
                                    timestamp_us))
        << encoder_.GetLastResult().ToString();
    EncodedAccessUnit unit;
    while (encoder_.ReceiveAccessUnit(&unit)) units.push_back(std::move(unit));
    return units;
  }

  ManualClock clock_;
  LibavVideoEncoder encoder_{clock_};
};

struct StreamCase {
  VideoCodec codec;
  uint32_t width;
  uint32_t height;
};

class LibavEncoderStreamTest : public LibavEncoderTest, public ::testing::WithParamInterface<StreamCase> {};

// One unit per input, at once and in order, carrying the input's timestamp
// even when timestamps repeat or step back; the first unit and the one after
// a keyframe request are IDR pictures with their parameter sets, which a
// decoder that starts there decodes.
TEST_P(LibavEncoderStreamTest, OneUnitPerInputWithItsTimestampAndIdrOnRequest) {
  const StreamCase c = GetParam();
  ASSERT_TRUE(encoder_.Initialize(c.codec, c.width, c.height, 60, 4000)) << encoder_.GetLastResult().ToString();
  const int64_t timestamps[] = {1'000, 17'666, 34'333, 34'333, 20'000, 51'000, 67'666, 84'333, 101'000, 117'666};
  constexpr size_t kKeyframeAt = 7;
  std::vector<EncodedAccessUnit> units;
  for (size_t i = 0; i < std::size(timestamps); ++i) {
    if (i == kKeyframeAt) encoder_.RequestKeyframe();
    std::vector<EncodedAccessUnit> out =
        Encode(GlidingSquare(c.width, c.height, static_cast<uint32_t>(i)), timestamps[i]);
    ASSERT_EQ(out.size(), 1u) << "frame " << i;
    EXPECT_EQ(out[0].timestamp_us, timestamps[i]) << "frame " << i;
    EXPECT_EQ(out[0].reserved, 0u);
    units.push_back(std::move(out[0]));
  }

  for (size_t i = 0; i < units.size(); ++i) {
    const bool expect_idr = i == 0 || i == kKeyframeAt;
    EXPECT_EQ(units[i].keyframe, expect_idr) << "unit " << i;
    EXPECT_EQ(IsIdr(c.codec, units[i].data), expect_idr) << "unit " << i;
    if (expect_idr) {
      EXPECT_TRUE(IsIdrWithParameterSets(c.codec, units[i].data)) << "unit " << i;
    }
    ASSERT_GE(units[i].data.size(), 4u);
    EXPECT_EQ(0, std::memcmp(units[i].data.data(), "\0\0\0\1", 4)) << "Annex-B start code, unit " << i;
  }

  // A decoder joining at either IDR decodes from there on.
  for (size_t start : {size_t{0}, kKeyframeAt}) {
    Decoder decoder(c.codec);
    ASSERT_TRUE(decoder.ok());
    std::vector<Picture> pictures;
    for (size_t i = start; i < units.size(); ++i) ASSERT_TRUE(decoder.Decode(units[i].data, &pictures)) << i;
    ASSERT_TRUE(decoder.Flush(&pictures));
    ASSERT_EQ(pictures.size(), units.size() - start) << "joined at " << start;
    EXPECT_EQ(pictures[0].width, static_cast<int>(c.width));
    EXPECT_EQ(pictures[0].height, static_cast<int>(c.height));
  }
  EXPECT_EQ(encoder_.GetLastResult().code, 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, LibavEncoderStreamTest,
                         ::testing::Values(StreamCase{VideoCodec::kH264, 640, 360},
                                           StreamCase{VideoCodec::kH264, 1280, 720},
                                           StreamCase{VideoCodec::kHevc, 640, 360}),
                         [](const ::testing::TestParamInfo<StreamCase>& info) {
                           return std::string(VideoCodecName(info.param.codec)) + "_" +
                                  std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

class LibavEncoderCodecTest : public LibavEncoderTest, public ::testing::WithParamInterface<VideoCodec> {};

// Bytes and count of the units measured in one phase of a run.
struct RunBytes {
  uint64_t bytes = 0;
  size_t frames = 0;
};

// 4000 -> 500 kbit/s makes the units several times smaller: libx264 takes the
// new rate at the next frame, libx265 is opened again.
TEST_P(LibavEncoderCodecTest, LowerBitrateShrinksTheUnitsSeveralFold) {
  const VideoCodec codec = GetParam();
  ASSERT_TRUE(encoder_.Initialize(codec, 320, 180, 30, 4000)) << encoder_.GetLastResult().ToString();
  constexpr uint32_t kPhase = 24;
  constexpr uint32_t kSettle = 8;
  RunBytes high, low;
  for (uint32_t i = 0; i < 2 * kPhase; ++i) {
    if (i == kPhase) encoder_.SetBitrate(500);
    clock_.AdvanceMs(34);  // past the once-a-second pace of libx265 by the switch
    const std::vector<EncodedAccessUnit> out = Encode(BusyNoise(320, 180, i), 1'000'000 + i * 33'333);
    ASSERT_EQ(out.size(), 1u) << "frame " << i;
    RunBytes& run = i < kPhase ? high : low;
    if (i % kPhase >= kSettle) {
      run.bytes += out[0].data.size();
      ++run.frames;
    }
  }
  ASSERT_GT(low.bytes, 0u);
  const double ratio = static_cast<double>(high.bytes) / static_cast<double>(low.bytes);
  EXPECT_GE(ratio, 4.0) << "4000 kbit/s: " << high.bytes << " bytes, 500 kbit/s: " << low.bytes << " bytes";
}

// 30-fps input into an encoder opened for 60 fps, told the real rate, lands
// on the asked bit rate (without the correction it gets half).
TEST_P(LibavEncoderCodecTest, FrameRateBelowTheOpenedOneKeepsTheBitrate) {
  const VideoCodec codec = GetParam();
  ASSERT_TRUE(encoder_.Initialize(codec, 320, 180, 60, 2000)) << encoder_.GetLastResult().ToString();
  encoder_.SetFrameRate(30);
  constexpr uint32_t kFrames = 75;
  constexpr uint32_t kMeasureFrom = 40;  // after libx265's re-open and the settling of both
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < kFrames; ++i) {
    clock_.AdvanceUs(33'333);
    const std::vector<EncodedAccessUnit> out = Encode(BusyNoise(320, 180, i), 5'000'000 + i * 33'333);
    ASSERT_EQ(out.size(), 1u) << "frame " << i;
    if (i >= kMeasureFrom) bytes += out[0].data.size();
  }
  const double seconds = (kFrames - kMeasureFrom) / 30.0;
  const double kbps = static_cast<double>(bytes) * 8 / seconds / 1000;
  EXPECT_NEAR(kbps, 2000, 300) << "measured " << kbps << " kbit/s";
}

// A still test card through the encoder and FFmpeg's decoder: every picture,
// the first included, within 35 dB of the CPU conversion in each plane, and
// tagged BT.709 limited range.
TEST_P(LibavEncoderCodecTest, DecodedTestCardMatchesTheConversion) {
  const VideoCodec codec = GetParam();
  constexpr uint32_t kW = 640, kH = 360;
  ASSERT_TRUE(encoder_.Initialize(codec, kW, kH, 60, 4000)) << encoder_.GetLastResult().ToString();
  const Bgra card = TestCard(kW, kH);

  std::vector<uint8_t> nv12(static_cast<size_t>(Yuv420Bytes(kW, kH)));
  ASSERT_TRUE(ConvertBgraToNv12Cpu(card.pixels.data(), card.pitch(), kW, kH,
                                   Nv12Planes{nv12.data(), kW, nv12.data() + kW * kH, kW}));
  std::vector<uint8_t> ref_y(nv12.begin(), nv12.begin() + kW * kH), ref_u, ref_v;
  for (size_t i = kW * kH; i + 1 < nv12.size(); i += 2) {
    ref_u.push_back(nv12[i]);
    ref_v.push_back(nv12[i + 1]);
  }

  Decoder decoder(codec);
  ASSERT_TRUE(decoder.ok());
  std::vector<Picture> pictures;
  constexpr int kFrames = 30;
  for (int i = 0; i < kFrames; ++i) {
    for (const EncodedAccessUnit& unit : Encode(card, i * 16'666)) ASSERT_TRUE(decoder.Decode(unit.data, &pictures));
  }
  ASSERT_TRUE(decoder.Flush(&pictures));
  ASSERT_EQ(pictures.size(), static_cast<size_t>(kFrames));
  for (size_t i = 0; i < pictures.size(); ++i) {
    const Picture& p = pictures[i];
    ASSERT_EQ(p.width, static_cast<int>(kW));
    ASSERT_EQ(p.height, static_cast<int>(kH));
    EXPECT_GE(Psnr(p.y, ref_y), 35.0) << "Y, picture " << i;
    EXPECT_GE(Psnr(p.u, ref_u), 35.0) << "Cb, picture " << i;
    EXPECT_GE(Psnr(p.v, ref_v), 35.0) << "Cr, picture " << i;
    EXPECT_EQ(p.range, AVCOL_RANGE_MPEG) << i;
    EXPECT_EQ(p.matrix, AVCOL_SPC_BT709) << i;
    EXPECT_EQ(p.primaries, AVCOL_PRI_BT709) << i;
    EXPECT_EQ(p.transfer, AVCOL_TRC_BT709) << i;
  }
}

// IDRs come every 4 x fps frames and nowhere else.
TEST_P(LibavEncoderCodecTest, KeyframesFollowTheGop) {
  const VideoCodec codec = GetParam();
  ASSERT_TRUE(encoder_.Initialize(codec, 64, 64, 5, 500)) << encoder_.GetLastResult().ToString();
  EXPECT_EQ(encoder_.GetRuntimeInfo().gop_length, 20u);
  for (uint32_t i = 0; i <= 40; ++i) {
    const std::vector<EncodedAccessUnit> out = Encode(GlidingSquare(64, 64, i % 8), i * 200'000);
    ASSERT_EQ(out.size(), 1u) << "frame " << i;
    EXPECT_EQ(out[0].keyframe, i % 20 == 0) << "frame " << i;
  }
}

// A minimum QP reaches the encoder through a re-open at the next frame once
// a second has passed since the last one; the re-opened stream starts with
// an IDR, far smaller than the unlimited one.
TEST_P(LibavEncoderCodecTest, MinimumQpReopensWithAnIdr) {
  const VideoCodec codec = GetParam();
  const Bgra card = TestCard(320, 180);
  ASSERT_TRUE(encoder_.Initialize(codec, 320, 180, 30, 4000)) << encoder_.GetLastResult().ToString();
  std::vector<EncodedAccessUnit> first = Encode(card, 0);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(first[0].keyframe);
  encoder_.SetFrameSizeLimits(0, 45);
  clock_.AdvanceMs(500);  // too early: the running encoder goes on
  std::vector<EncodedAccessUnit> out = Encode(card, 33'333);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].keyframe);
  clock_.AdvanceMs(500);
  out = Encode(card, 66'666);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].keyframe);
  EXPECT_TRUE(IsIdrWithParameterSets(codec, out[0].data));
  EXPECT_EQ(out[0].timestamp_us, 66'666);
  EXPECT_LT(out[0].data.size() * 3, first[0].data.size())
      << "unlimited IDR " << first[0].data.size() << " bytes, at QP 45 or more " << out[0].data.size();
}

INSTANTIATE_TEST_SUITE_P(Codecs, LibavEncoderCodecTest, ::testing::Values(VideoCodec::kH264, VideoCodec::kHevc),
                         [](const ::testing::TestParamInfo<VideoCodec>& info) {
                           return std::string(VideoCodecName(info.param));
                         });

// ---- Set-up and refusals --------------------------------------------------

TEST_F(LibavEncoderTest, InitializeRefusesWhatItCannotEncode) {
  const struct {
    VideoCodec codec;
    uint32_t width, height;
    EncoderPreference preference;
    const char* message;
    const char* reason;
  } cases[] = {
      {VideoCodec::kH264, 0, 360, EncoderPreference::kAuto, "Invalid encoder dimensions", "none"},
      {VideoCodec::kHevc, 640, 0, EncoderPreference::kAuto, "Invalid encoder dimensions", "none"},
      {VideoCodec::kH264, 641, 360, EncoderPreference::kAuto, "Invalid encoder dimensions", "none"},
      {VideoCodec::kHevc, 640, 361, EncoderPreference::kSoftwareOnly, "Invalid encoder dimensions", "none"},
      {VideoCodec::kH264, 16384, 360, EncoderPreference::kAuto, "Invalid encoder dimensions", "none"},
      {VideoCodec::kH264, 640, 360, EncoderPreference::kHardwareOnly,
       "Hardware encoder unavailable (hardware-only preference)", "no_hardware_encoder"},
      {VideoCodec::kHevc, 640, 360, EncoderPreference::kHardwareOnly,
       "Hardware encoder unavailable (hardware-only preference)", "no_hardware_encoder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
                 EncoderPreferenceName(c.preference));
    // A working encoder first: a failed Initialize leaves nothing of it.
    encoder_.SetPreference(EncoderPreference::kAuto);
    ASSERT_TRUE(encoder_.Initialize(c.codec, 64, 64, 30, 1000));
    encoder_.SetPreference(c.preference);
    EXPECT_FALSE(encoder_.Initialize(c.codec, c.width, c.height, 30, 1000));
    EXPECT_FALSE(encoder_.IsInitialized());
    const HostResult r = encoder_.GetLastResult();
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.hr, kEFail);
    EXPECT_EQ(encoder_.GetRuntimeInfo().fallback_reason, c.reason);
    EXPECT_EQ(encoder_.GetMode(), EncoderMode::kSw);
    EncodedAccessUnit unit;
    EXPECT_FALSE(encoder_.ReceiveAccessUnit(&unit));
    EXPECT_EQ(encoder_.GetLastResult().message, "Encoder is not initialized");
  }
}

TEST_F(LibavEncoderTest, InitializeReportsASoftwareEncoder) {
  const struct {
    VideoCodec codec;
    EncoderPreference preference;
    const char* name;
    const char* reason;
    const char* log_line;
  } cases[] = {
      {VideoCodec::kH264, EncoderPreference::kAuto, "libx264", "software_encoder_selected",
       "[Encoder] Initialized: H264 640x360 @60 fps, 3000 kbps mode=SW mft=libx264 async=no rc=cbr gop=240 "
       "adapter=unknown feature=0xB000 fallback=software_encoder_selected"},
      {VideoCodec::kHevc, EncoderPreference::kSoftwareOnly, "libx265", "software_only_requested",
       "[Encoder] Initialized: HEVC 640x360 @60 fps, 3000 kbps mode=SW mft=libx265 async=no rc=cbr gop=240 "
       "adapter=unknown feature=0xB000 fallback=software_only_requested"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    encoder_.SetPreference(c.preference);
    ASSERT_TRUE(encoder_.Initialize(c.codec, 640, 360, 0, 3000)) << encoder_.GetLastResult().ToString();
    EXPECT_TRUE(encoder_.IsInitialized());
    EXPECT_EQ(encoder_.GetMode(), EncoderMode::kSw);
    EXPECT_STREQ(encoder_.GetModeName(), "SW");
    EXPECT_FALSE(encoder_.IsGpuDirect());
    EXPECT_EQ(encoder_.GetDevice(), nullptr);
    const EncoderRuntimeInfo info = encoder_.GetRuntimeInfo();
    EXPECT_EQ(info.mft_name, c.name);
    EXPECT_EQ(info.fallback_reason, c.reason);
    EXPECT_FALSE(info.async);
    EXPECT_EQ(info.gop_length, 240u);
    EXPECT_EQ(info.mft_adapter_luid, 0u);
    EXPECT_EQ(info.resets, 0u);
    EXPECT_EQ(log.Count(c.log_line), 1u);
    EXPECT_EQ(encoder_.GetLastResult().code, 0);
  }
  EXPECT_EQ(CountHardwareEncoders(VideoCodec::kH264), 0u);
  EXPECT_EQ(CountHardwareEncoders(VideoCodec::kHevc), 0u);
  EXPECT_STREQ(LibavEncoderName(VideoCodecFromWire(1)), "libx264");
  EXPECT_STREQ(LibavEncoderName(VideoCodecFromWire(2)), "libx265");
  EXPECT_STREQ(LibavEncoderName(VideoCodecFromWire(0)), "libx264");
}

TEST_F(LibavEncoderTest, TexturesAreNeverEncoded) {
  EXPECT_FALSE(encoder_.EncodeTexture(nullptr, 640, 360, 0));
  EXPECT_EQ(encoder_.GetLastResult().message, "GPU-direct encode path is unavailable");
  ASSERT_TRUE(encoder_.Initialize(VideoCodec::kH264, 640, 360, 60, 2000));
  EXPECT_FALSE(encoder_.EncodeTexture(nullptr, 640, 360, 0));
  const HostResult r = encoder_.GetLastResult();
  EXPECT_EQ(r.code, 6);
  EXPECT_EQ(r.message, "GPU-direct encode path is unavailable");
  EXPECT_EQ(r.hr, kEFail);
  EXPECT_FALSE(encoder_.NeedsReset());
}

TEST_F(LibavEncoderTest, ResetNeedsAnEarlierInitialize) {
  EXPECT_FALSE(encoder_.Reset());
  HostResult r = encoder_.GetLastResult();
  EXPECT_EQ(r.code, 6);
  EXPECT_EQ(r.message, "Encoder is not initialized");
  EXPECT_EQ(r.hr, kEFail);
  const Bgra picture = GlidingSquare(64, 64, 0);
  EXPECT_FALSE(encoder_.EncodeBgra(picture.pixels.data(), picture.pitch(), 64, 64, 0));
  EXPECT_EQ(encoder_.GetLastResult().message, "Encoder is not initialized");

  // Once configured, a reset starts the same stream again with an IDR and is
  // counted.
  ASSERT_TRUE(encoder_.Initialize(VideoCodec::kH264, 64, 64, 30, 1000));
  ASSERT_EQ(Encode(picture, 10).size(), 1u);
  ASSERT_EQ(Encode(GlidingSquare(64, 64, 1), 20).size(), 1u);
  ASSERT_TRUE(encoder_.Reset());
  EXPECT_EQ(encoder_.GetRuntimeInfo().resets, 1u);
  const std::vector<EncodedAccessUnit> out = Encode(picture, 30);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].keyframe);
  EXPECT_TRUE(IsIdrWithParameterSets(VideoCodec::kH264, out[0].data));
  // A direct Initialize clears the count.
  ASSERT_TRUE(encoder_.Initialize(VideoCodec::kH264, 64, 64, 30, 1000));
  EXPECT_EQ(encoder_.GetRuntimeInfo().resets, 0u);
}

// Units not taken yet wait in order and leave oldest first.
TEST_F(LibavEncoderTest, WaitingUnitsLeaveOldestFirst) {
  ASSERT_TRUE(encoder_.Initialize(VideoCodec::kHevc, 64, 64, 30, 1000));
  const int64_t timestamps[] = {30, 10, 20, 20};
  for (uint32_t i = 0; i < std::size(timestamps); ++i) {
    const Bgra picture = GlidingSquare(64, 64, i);
    ASSERT_TRUE(encoder_.EncodeBgra(picture.pixels.data(), picture.pitch(), 64, 64, timestamps[i]));
  }
  EncodedAccessUnit unit;
  for (const int64_t expected : timestamps) {
    ASSERT_TRUE(encoder_.ReceiveAccessUnit(&unit));
    EXPECT_EQ(unit.timestamp_us, expected);
  }
  EXPECT_FALSE(encoder_.ReceiveAccessUnit(&unit));
  EXPECT_EQ(encoder_.GetLastResult().code, 0);
}

TEST_F(LibavEncoderTest, FramesAreCheckedAndFittedToTheEncoderSize) {
  ASSERT_TRUE(encoder_.Initialize(VideoCodec::kH264, 128, 64, 30, 1000));
  const Bgra small = GlidingSquare(64, 48, 0);
  const struct {
    const uint8_t* pixels;
    uint32_t pitch, width, height;
  } refused[] = {
      {nullptr, 256, 64, 48},
      {small.pixels.data(), 256, 0, 48},
      {small.pixels.data(), 256, 64, 0},
      {small.pixels.data(), 255, 64, 48},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(encoder_.EncodeBgra(c.pixels, c.pitch, c.width, c.height, 0));
    const HostResult r = encoder_.GetLastResult();
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.message, "Invalid BGRA frame dimensions or pitch");
    EXPECT_EQ(r.hr, kEFail);
  }
  // A frame of another size is letterboxed into the encoder's.
  const std::vector<EncodedAccessUnit> out = Encode(small, 7);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].timestamp_us, 7);
  Decoder decoder(VideoCodec::kH264);
  std::vector<Picture> pictures;
  ASSERT_TRUE(decoder.Decode(out[0].data, &pictures));
  ASSERT_TRUE(decoder.Flush(&pictures));
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(pictures[0].width, 128);
  EXPECT_EQ(pictures[0].height, 64);
  EXPECT_FALSE(encoder_.NeedsReset());
}

}  // namespace
}  // namespace orvane
