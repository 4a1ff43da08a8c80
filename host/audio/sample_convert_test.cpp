#include "host/audio/sample_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace orvane {
namespace {

constexpr double kPi = 3.14159265358979323846;

template <typename T>
std::vector<uint8_t> Bytes(const std::vector<T>& values) {
  std::vector<uint8_t> out(values.size() * sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

// Frequency of the left channel of 48 kHz stereo by its rising zero
// crossings, interpolated between samples.
double LeftFrequency(const std::vector<int16_t>& stereo) {
  const size_t frames = stereo.size() / 2;
  double first = -1.0;
  double last = -1.0;
  int rising = 0;
  for (size_t i = 1; i < frames; ++i) {
    const double a = stereo[(i - 1) * 2];
    const double b = stereo[i * 2];
    if (a < 0.0 && b >= 0.0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (first < 0.0) first = at;
      last = at;
      ++rising;
    }
  }
  if (rising < 2) return 0.0;
  return (rising - 1) * static_cast<double>(kConvertedSampleRate) / (last - first);
}

SourceFormat Format(SampleEncoding encoding, uint32_t rate, uint32_t channels, uint32_t bits, uint32_t mask = 0) {
  return SourceFormat{encoding, rate, channels, bits, mask};
}

TEST(SampleConvert, SamplesTable) {
  struct FloatCase {
    float in;
    int16_t out;
  };
  const FloatCase floats[] = {
      {1.5f, 32767},     {-2.0f, -32767},   {0.99999f, 32766}, {-0.5f, -16383},
      {0.0f, 0},         {1.0f, 32767},     {-1.0f, -32767},   {std::numeric_limits<float>::quiet_NaN(), 0},
      {std::numeric_limits<float>::infinity(), 32767},         {-std::numeric_limits<float>::infinity(), -32767},
  };
  // Each value on the left channel of a 48 kHz stereo float stream, so the
  // whole path (not only the sample function) is checked.
  SampleConverter conv;
  ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kFloat, 48000, 2, 32)));
  EXPECT_FALSE(conv.passthrough());
  std::vector<int16_t> out;
  for (const FloatCase& c : floats) {
    EXPECT_EQ(Float32ToInt16(c.in), c.out) << c.in;
    ASSERT_TRUE(conv.Convert(Bytes(std::vector<float>{c.in, 0.25f}).data(), 1, &out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], c.out) << c.in;
    EXPECT_EQ(out[1], 8191);
  }

  struct IntCase {
    uint32_t bits;
    std::vector<uint8_t> sample;  // little-endian, one sample
    int16_t out;
  };
  const IntCase ints[] = {
      {32, {0x00, 0x00, 0xFF, 0x7F}, 32767},   // 0x7FFF0000
      {32, {0xFF, 0xFF, 0xFF, 0xFF}, -1},      // -1 keeps its upper half
      {32, {0x00, 0x00, 0x00, 0x80}, -32768},  // INT32_MIN
      {24, {0x00, 0x00, 0x80}, -32768},        // 0x800000
      {24, {0xFF, 0xFF, 0x7F}, 32767},         // 0x7FFFFF
      {24, {0x80, 0x34, 0x12}, 0x1234},
      {16, {0x34, 0x12}, 0x1234},
      {16, {0x00, 0x80}, -32768},
      {8, {0x80}, 0},
      {8, {0x00}, -32768},
      {8, {0xFF}, 32512},
  };
  for (const IntCase& c : ints) {
    ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kPcm, 48000, 1, c.bits)));
    ASSERT_TRUE(conv.Convert(c.sample.data(), 1, &out));
    ASSERT_EQ(out.size(), 2u) << c.bits;
    EXPECT_EQ(out[0], c.out) << c.bits << " bits";
    EXPECT_EQ(out[1], c.out) << "mono is duplicated";
  }
  EXPECT_EQ(Int32ToInt16(0x7FFF0000), 32767);
  const uint8_t min24[] = {0x00, 0x00, 0x80};
  EXPECT_EQ(Int24ToInt16(min24), -32768);
}

TEST(SampleConvert, SupportedFormats) {
  struct Case {
    SourceFormat format;
    bool supported;
  };
  const Case cases[] = {
      {Format(SampleEncoding::kPcm, 48000, 2, 16), true},
      {Format(SampleEncoding::kPcm, 44100, 6, 24), true},
      {Format(SampleEncoding::kPcm, 192000, 8, 32), true},
      {Format(SampleEncoding::kFloat, 48000, 2, 32), true},
      {Format(SampleEncoding::kFloat, 48000, 2, 64), false},  // doubles are not taken
      {Format(SampleEncoding::kFloat, 48000, 2, 16), false},
      {Format(SampleEncoding::kPcm, 48000, 2, 20), false},
      {Format(SampleEncoding::kUnknown, 48000, 2, 16), false},
      {Format(SampleEncoding::kPcm, 48000, 0, 16), false},
      {Format(SampleEncoding::kPcm, 48000, kMaxSourceChannels + 1, 16), false},
      {Format(SampleEncoding::kPcm, kMinSourceSampleRate - 1, 2, 16), false},
      {Format(SampleEncoding::kPcm, kMaxSourceSampleRate + 1, 2, 16), false},
  };
  for (const Case& c : cases) {
    SampleConverter conv;
    EXPECT_EQ(IsSupportedSourceFormat(c.format), c.supported)
        << c.format.sample_rate << "/" << c.format.channels << "/" << c.format.bits_per_sample;
    EXPECT_EQ(conv.Configure(c.format), c.supported);
    std::vector<int16_t> out(4, 7);
    const uint8_t zeros[64] = {};
    EXPECT_EQ(conv.Convert(zeros, 1, &out), c.supported);
    if (!c.supported) {
      EXPECT_TRUE(out.empty());
    }
  }
}

TEST(SampleConvert, WaveFormatSubFormats) {
  const WaveGuid pcm{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  const WaveGuid ieee{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  const WaveGuid alaw{0x00000006, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  const WaveGuid other_tail{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x72}};
  struct Case {
    uint16_t tag;
    const WaveGuid* sub;
    SampleEncoding encoding;
  };
  const Case cases[] = {
      {1, nullptr, SampleEncoding::kPcm},          {3, nullptr, SampleEncoding::kFloat},
      {0xFFFE, &pcm, SampleEncoding::kPcm},        {0xFFFE, &ieee, SampleEncoding::kFloat},
      {0xFFFE, &alaw, SampleEncoding::kUnknown},   {0xFFFE, &other_tail, SampleEncoding::kUnknown},
      {0xFFFE, nullptr, SampleEncoding::kUnknown}, {0x0092, nullptr, SampleEncoding::kUnknown},  // AC-3
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodingFromWaveFormat(c.tag, c.sub), c.encoding) << c.tag;
  }
  // A non-PCM sub-format is refused by the converter.
  SampleConverter conv;
  EXPECT_FALSE(conv.Configure(Format(EncodingFromWaveFormat(0xFFFE, &alaw), 48000, 2, 16)));
  EXPECT_FALSE(conv.configured());
}

TEST(SampleConvert, StereoAtFortyEightKilohertzPassesAndSilenceIsZeros) {
  SampleConverter conv;
  ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kPcm, 48000, 2, 16)));
  EXPECT_TRUE(conv.passthrough());
  const std::vector<int16_t> in{1, -2, 32767, -32768, 100, 200};
  std::vector<int16_t> out;
  ASSERT_TRUE(conv.Convert(in.data(), 3, &out));
  EXPECT_EQ(out, in);

  // A silent packet of 480 stereo frames.
  ASSERT_TRUE(conv.ConvertSilence(480, &out));
  EXPECT_EQ(out, std::vector<int16_t>(960, 0));

  EXPECT_FALSE(conv.Convert(in.data(), kMaxConvertFrames + 1, &out));
  EXPECT_FALSE(conv.ConvertSilence(kMaxConvertFrames + 1, &out));
}

TEST(SampleConvert, MultichannelDownmix) {
  // 5.1 (FL FR FC LFE BL BR) int16 at 48 kHz: one channel at a time.
  struct Case {
    uint32_t channels;
    uint32_t mask;
    uint32_t channel;  // the only channel carrying 10000
    int16_t left;
    int16_t right;
  };
  const Case cases[] = {
      {6, 0, 0, 10000, 0},          // front left
      {6, 0, 1, 0, 10000},          // front right
      {6, 0, 2, 7071, 7071},        // centre to both at -3 dB
      {6, 0, 3, 0, 0},              // LFE left out
      {6, 0, 4, 7071, 0},           // back left
      {6, 0, 5, 0, 7071},           // back right
      {6, 0x60F, 4, 7071, 0},       // 5.1 with side channels
      {4, 0, 2, 7071, 0},           // quad: back left
      {3, 0, 2, 7071, 7071},        // L R C
      {8, 0, 7, 0, 7071},           // 7.1: side right
      {6, 0x3, 5, 0, 0},            // a mask for fewer channels: the rest is silent
      {4, 0x2 | 0x20 | 0x80 | 0x400, 0, 10000, 0},  // nothing on the left: the usual quad
  };
  for (const Case& c : cases) {
    SampleConverter conv;
    ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kPcm, 48000, c.channels, 16, c.mask)));
    std::vector<int16_t> in(c.channels, 0);
    in[c.channel] = 10000;
    std::vector<int16_t> out;
    ASSERT_TRUE(conv.Convert(in.data(), 1, &out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], c.left) << c.channels << "ch, channel " << c.channel;
    EXPECT_EQ(out[1], c.right) << c.channels << "ch, channel " << c.channel;
  }

  // Full scale on every 5.1 float channel saturates instead of wrapping.
  SampleConverter conv;
  ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kFloat, 48000, 6, 32)));
  std::vector<int16_t> out;
  ASSERT_TRUE(conv.Convert(Bytes(std::vector<float>(6, -1.0f)).data(), 1, &out));
  EXPECT_EQ(out, (std::vector<int16_t>{-32768, -32768}));
}

TEST(SampleConvert, ResamplesToFortyEightKilohertz) {
  struct Case {
    uint32_t rate;
    uint32_t chunk;  // source frames per call
  };
  for (const Case c : {Case{44100, 441}, Case{44100, 1000}, Case{32000, 320}, Case{96000, 960}, Case{16000, 7}}) {
    SampleConverter conv;
    ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kFloat, c.rate, 2, 32)));
    // Two seconds of a 1 kHz tone at half scale.
    const uint32_t total = c.rate * 2;
    std::vector<float> tone(static_cast<size_t>(total) * 2);
    for (uint32_t i = 0; i < total; ++i) {
      const float v = static_cast<float>(0.5 * std::sin(2.0 * kPi * 1000.0 * i / c.rate));
      tone[i * 2] = v;
      tone[i * 2 + 1] = -v;
    }
    std::vector<int16_t> all;
    std::vector<int16_t> out;
    for (uint32_t at = 0; at < total; at += c.chunk) {
      const uint32_t n = std::min(c.chunk, total - at);
      ASSERT_TRUE(conv.Convert(reinterpret_cast<const uint8_t*>(tone.data()) + static_cast<size_t>(at) * 8, n, &out));
      all.insert(all.end(), out.begin(), out.end());
    }
    // One source frame of latency: every output frame lies between two
    // source frames.
    const double frames = static_cast<double>(all.size() / 2);
    EXPECT_NEAR(frames, 96000.0, 48000.0 / c.rate + 1.0) << c.rate;
    EXPECT_NEAR(LeftFrequency(all), 1000.0, 5.0) << c.rate;
    int peak = 0;
    for (size_t i = 0; i < all.size(); i += 2) {
      peak = std::max(peak, std::abs(static_cast<int>(all[i])));
      EXPECT_EQ(all[i], -all[i + 1]);
    }
    EXPECT_NEAR(peak, 16383, c.rate < 48000 ? 300 : 1500) << c.rate;

    // The same stream in one call gives the same samples: the position
    // carries across calls.
    SampleConverter whole;
    ASSERT_TRUE(whole.Configure(Format(SampleEncoding::kFloat, c.rate, 2, 32)));
    ASSERT_TRUE(whole.Convert(tone.data(), total, &out));
    EXPECT_EQ(out, all) << c.rate;
  }
}

TEST(SampleConvert, ResampledSilenceKeepsTheRate) {
  SampleConverter conv;
  ASSERT_TRUE(conv.Configure(Format(SampleEncoding::kPcm, 44100, 2, 16)));
  std::vector<int16_t> out;
  size_t frames = 0;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(conv.ConvertSilence(441, &out));
    for (int16_t s : out) ASSERT_EQ(s, 0);
    frames += out.size() / 2;
  }
  EXPECT_NEAR(static_cast<double>(frames), 48000.0, 2.0);
  conv.ResetStream();
  const std::vector<int16_t> one{5, 5};
  ASSERT_TRUE(conv.Convert(one.data(), 1, &out));
  EXPECT_TRUE(out.empty()) << "after a reset the first source frame only primes the resampler";
}

}  // namespace
}  // namespace orvane
