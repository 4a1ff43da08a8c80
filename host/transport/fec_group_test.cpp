#include "host/transport/fec_group.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/transport/media_packet.h"

namespace orvane::media {
namespace {

using crypto::ByteView;
using crypto::Bytes;

TEST(FecGroupSizeTest, FollowsTheLossAndTheKeyframeStart) {
  struct Case {
    int loss;
    bool keyframe_start;
    int k;
  };
  const Case cases[] = {
      {0, false, 10}, {1, false, 8},  {2, false, 8},  {3, false, 6}, {5, false, 6}, {6, false, 4},
      {40, false, 4}, {99, false, 4}, {-3, false, 10}, {0, true, 4}, {2, true, 4},  {7, true, 4},
  };
  for (const Case& c : cases) EXPECT_EQ(FecGroupSize(c.loss, c.keyframe_start), c.k) << c.loss << " " << c.keyframe_start;
}

Bytes Datagram(size_t length, uint8_t seed) {
  Bytes d(length);
  for (size_t i = 0; i < length; ++i) d[i] = static_cast<uint8_t>(seed + i * 7);
  return d;
}

// The parity packet a group of these datagrams must produce.
Bytes ExpectedParity(uint32_t first, const std::vector<Bytes>& group) {
  size_t longest = 0;
  for (const Bytes& d : group) longest = std::max(longest, d.size());
  Bytes packet = {kTypeFecParity, static_cast<uint8_t>(first >> 24), static_cast<uint8_t>(first >> 16),
                  static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first), static_cast<uint8_t>(group.size())};
  for (const Bytes& d : group) {
    const size_t length = std::min<size_t>(d.size(), 65535);
    packet.push_back(static_cast<uint8_t>(length >> 8));
    packet.push_back(static_cast<uint8_t>(length));
  }
  Bytes x(longest, 0);
  for (const Bytes& d : group)
    for (size_t i = 0; i < d.size(); ++i) x[i] ^= d[i];
  packet.insert(packet.end(), x.begin(), x.end());
  return packet;
}

struct Offer {
  uint32_t sequence;
  size_t length;
  int loss;
  bool keyframe_start;
};

// Feeds the offers and returns every parity packet with the index of the
// offer that produced it.
std::vector<std::pair<size_t, Bytes>> Feed(FecGroup& group, const std::vector<Offer>& offers,
                                           std::vector<Bytes>* datagrams) {
  std::vector<std::pair<size_t, Bytes>> out;
  Bytes parity;
  for (size_t i = 0; i < offers.size(); ++i) {
    datagrams->push_back(Datagram(offers[i].length, static_cast<uint8_t>(i * 31)));
    if (group.Add(offers[i].sequence, datagrams->back(), offers[i].loss, offers[i].keyframe_start, &parity)) {
      out.emplace_back(i, parity);
    }
  }
  return out;
}

TEST(FecGroupTest, ClosesGroupsAtTheirSizeOnAChangeOfSizeAndOnAGapInSequenceNumbers) {
  struct Expected {
    size_t closed_by;  // offer index whose Add returned the parity
    uint32_t first;
    std::vector<size_t> members;  // offer indexes
  };
  struct Case {
    const char* name;
    std::vector<Offer> offers;
    std::vector<Expected> parities;
    size_t left_open;
  };
  const Case cases[] = {
      {"four at 7 % loss, lengths differ",
       {{10, 1220, 7, false}, {11, 300, 7, false}, {12, 1220, 7, false}, {13, 21, 7, false}, {14, 50, 7, false}},
       {{3, 10, {0, 1, 2, 3}}},
       1},
      {"a keyframe start closes a running group of another size and starts one of four",
       {{1, 1220, 0, false}, {2, 1220, 0, false}, {3, 1220, 0, true}, {4, 1220, 0, false}},
       {{2, 1, {0, 1}}, {3, 3, {2}}},
       1},
      {"a change of loss changes the size",
       {{5, 100, 0, false}, {6, 100, 0, false}, {7, 100, 3, false}, {8, 100, 3, false}},
       {{2, 5, {0, 1}}},
       2},
      {"a gap in sequence numbers closes the group",
       {{5, 100, 0, false}, {7, 100, 0, false}},
       {{1, 5, {0}}},
       1},
      {"a group runs across the wrap of the counter",
       {{0xFFFFFFFEu, 1220, 6, false}, {0xFFFFFFFFu, 900, 6, false}, {0, 1220, 6, false}, {1, 10, 6, false}},
       {{3, 0xFFFFFFFEu, {0, 1, 2, 3}}},
       0},
      // Only video datagrams are protected in practice; the format still
      // caps a length at 65535.
      {"a length over 65535 is written as 65535",
       {{1, 70000, 7, false}, {2, 10, 7, false}, {3, 10, 7, false}, {4, 10, 7, false}},
       {{3, 1, {0, 1, 2, 3}}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FecGroup group;
    std::vector<Bytes> datagrams;
    const auto parities = Feed(group, c.offers, &datagrams);
    ASSERT_EQ(parities.size(), c.parities.size());
    for (size_t p = 0; p < parities.size(); ++p) {
      std::vector<Bytes> members;
      for (size_t m : c.parities[p].members) members.push_back(datagrams[m]);
      EXPECT_EQ(parities[p].first, c.parities[p].closed_by);
      EXPECT_EQ(parities[p].second, ExpectedParity(c.parities[p].first, members)) << "parity " << p;
    }
    EXPECT_EQ(group.size(), c.left_open);
  }
}

TEST(FecGroupTest, ResetForgetsTheRunningGroup) {
  FecGroup group;
  Bytes parity;
  const Bytes old_datagram = Datagram(1220, 1);
  EXPECT_FALSE(group.Add(1, old_datagram, 0, false, &parity));
  EXPECT_FALSE(group.Add(2, old_datagram, 0, false, &parity));
  group.Reset();
  EXPECT_EQ(group.size(), 0u);
  // The next group starts fresh: nothing of the old datagrams is in its parity.
  std::vector<Bytes> fresh;
  for (uint32_t s = 100; s < 104; ++s) {
    fresh.push_back(Datagram(40, static_cast<uint8_t>(s)));
    const bool closed = group.Add(s, fresh.back(), 7, false, &parity);
    EXPECT_EQ(closed, s == 103);
  }
  EXPECT_EQ(parity, ExpectedParity(100, fresh));
}

}  // namespace
}  // namespace orvane::media
