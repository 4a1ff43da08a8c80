#include "host/transport/media_packet.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane::media {
namespace {

using crypto::Bytes;

TEST(MediaPacketTest, VideoFragmentHasTheExactHeaderAndParsesBack) {
  const VideoHeader header{kVideoFlagKeyframe | kVideoFlagSecond, 0x01020304u, 0x1122334455667788ull, 0x0A0B,
                           0x0C0D};
  const uint8_t payload[] = {0xEE, 0xFF};
  uint8_t out[kMaxVideoDatagramBytes] = {};
  ASSERT_EQ(WriteVideoFragment(header, payload, out), 22u);
  const Bytes expected = {1, 1, 0x03, 0, 0x01, 0x02, 0x03, 0x04, 0x11, 0x22, 0x33, 0x44,
                          0x55, 0x66, 0x77, 0x88, 0x0A, 0x0B, 0x0C, 0x0D, 0xEE, 0xFF};
  EXPECT_EQ(Bytes(out, out + 22), expected);

  VideoHeader parsed;
  ASSERT_TRUE(ParseVideoHeader(expected, &parsed));
  EXPECT_EQ(parsed.flags, header.flags);
  EXPECT_EQ(parsed.sequence, header.sequence);
  EXPECT_EQ(parsed.timestamp_us, header.timestamp_us);
  EXPECT_EQ(parsed.index, header.index);
  EXPECT_EQ(parsed.count, header.count);
}

TEST(MediaPacketTest, AudioPacketHasTheExactHeaderAndParsesBack) {
  const AudioHeader header{20, 0xA0B0C0D0u, 0x0102030405060708ull};
  const uint8_t payload[] = {0x42};
  uint8_t out[kMaxAudioDatagramBytes] = {};
  ASSERT_EQ(WriteAudioPacket(header, payload, out), 17u);
  const Bytes expected = {1, 2, 0, 20, 0xA0, 0xB0, 0xC0, 0xD0, 1, 2, 3, 4, 5, 6, 7, 8, 0x42};
  EXPECT_EQ(Bytes(out, out + 17), expected);
  AudioHeader parsed;
  ASSERT_TRUE(ParseAudioHeader(expected, &parsed));
  EXPECT_EQ(parsed.duration_ms, 20);
  EXPECT_EQ(parsed.sequence, header.sequence);
  EXPECT_EQ(parsed.timestamp, header.timestamp);
}

TEST(MediaPacketTest, ParsersRefuseWhatIsNotTheirs) {
  Bytes video(kVideoHeaderBytes, 0);
  video[0] = 1;
  video[1] = kTypeVideo;
  VideoHeader v;
  AudioHeader a;
  FecParityView f;
  EXPECT_TRUE(ParseVideoHeader(video, &v));
  EXPECT_FALSE(ParseVideoHeader(crypto::ByteView(video).first(19), &v));
  EXPECT_FALSE(ParseAudioHeader(video, &a));
  Bytes other_version = video;
  other_version[0] = 2;
  EXPECT_FALSE(ParseVideoHeader(other_version, &v));
  EXPECT_FALSE(ParseFecParity(video, &f));
  // A parity packet whose count promises more lengths than it has.
  const Bytes short_parity = {kTypeFecParity, 0, 0, 0, 1, 3, 0, 5, 0, 6};
  EXPECT_FALSE(ParseFecParity(short_parity, &f));
  const Bytes parity = {kTypeFecParity, 0, 0, 0, 1, 2, 0, 5, 0, 6, 0xAA};
  ASSERT_TRUE(ParseFecParity(parity, &f));
  EXPECT_EQ(f.first_sequence, 1u);
  EXPECT_EQ(f.lengths, (std::vector<uint16_t>{5, 6}));
  EXPECT_EQ(Bytes(f.parity.begin(), f.parity.end()), Bytes{0xAA});
}

TEST(MediaPacketTest, FragmentCountAndWireSize) {
  struct Case {
    size_t length;
    size_t fragments;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 1}, Case{1200, 1}, Case{1201, 2}, Case{2400, 2}, Case{2401, 3},
                        Case{65535 * 1200, 65535}, Case{65535 * 1200 + 1, 65536}}) {
    EXPECT_EQ(FragmentCount(c.length), c.fragments) << c.length;
  }
  EXPECT_EQ(WireBytes(kMaxVideoDatagramBytes, false), 1248u);
  EXPECT_EQ(WireBytes(kMaxVideoDatagramBytes, true), 1277u);
}

}  // namespace
}  // namespace orvane::media
