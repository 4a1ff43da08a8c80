#include "host/transport/retransmit_history.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane::media {
namespace {

using crypto::Bytes;

Bytes Datagram(uint32_t sequence, size_t length = 40) {
  Bytes d(length);
  for (size_t i = 0; i < length; ++i) d[i] = static_cast<uint8_t>(sequence * 13 + i);
  return d;
}

constexpr int64_t kT0 = 9'000'000;

TEST(RetransmitHistoryTest, HashIsFnv1aOverTheLowByteFirst) {
  // FNV-1a of the bytes 00 00 00 00 and of 01 00 00 00.
  EXPECT_EQ(HistoryHash(0), 0x4B95F515u);
  EXPECT_EQ(HistoryHash(1), 0xFB69B604u);
}

TEST(RetransmitHistoryTest, EntriesLiveFor800Ms) {
  struct Case {
    int64_t age_us;
    bool found;
  };
  for (const Case& c : {Case{0, true}, Case{799'000, true}, Case{800'000, true}, Case{801'000, false}}) {
    SCOPED_TRACE(c.age_us);
    RetransmitHistory history;
    history.Store(7, Datagram(7), kT0);
    Bytes out;
    EXPECT_EQ(history.Lookup(7, kT0 + c.age_us, &out), c.found);
    EXPECT_EQ(out, c.found ? Datagram(7) : Bytes{});
    EXPECT_EQ(history.size(), c.found ? 1u : 0u) << "an expired entry is removed";
  }
}

TEST(RetransmitHistoryTest, HoldsAtMost8192AndDropsTheOldestFirst) {
  RetransmitHistory history;
  // Sequence numbers running across the wrap of the counter.
  const uint32_t first = 0xFFFFF000u;
  for (uint32_t i = 0; i < kHistoryMaxEntries; ++i) history.Store(first + i, Datagram(first + i), kT0 + i);
  EXPECT_EQ(history.size(), kHistoryMaxEntries);
  Bytes out;
  ASSERT_TRUE(history.Lookup(first, kT0 + 10'000, &out));
  // The 8193rd entry pushes out the first, and only it.
  history.Store(first + 8192, Datagram(first + 8192), kT0 + 10'000);
  EXPECT_EQ(history.size(), kHistoryMaxEntries);
  EXPECT_FALSE(history.Lookup(first, kT0 + 10'000, &out));
  for (uint32_t i = 1; i <= kHistoryMaxEntries; ++i) {
    ASSERT_TRUE(history.Lookup(first + i, kT0 + 10'000, &out)) << i;
    ASSERT_EQ(out, Datagram(first + i));
  }
}

TEST(RetransmitHistoryTest, AgeOutKeepsTheRestFindable) {
  // Entries stored 1 ms apart; the oldest half ages out, the rest must stay
  // reachable through the index after the removals.
  RetransmitHistory history;
  for (uint32_t s = 0; s < 1600; ++s) history.Store(s * 977u, Datagram(s), kT0 + int64_t{s} * 1000);
  const int64_t now = kT0 + 1'599'000;
  Bytes out;
  EXPECT_FALSE(history.Lookup(0, now, &out));
  EXPECT_EQ(history.size(), 801u);
  for (uint32_t s = 0; s < 1600; ++s) {
    const bool expected = s >= 799;
    ASSERT_EQ(history.Lookup(s * 977u, now, &out), expected) << s;
    if (expected) {
      ASSERT_EQ(out, Datagram(s));
    }
  }
}

TEST(RetransmitHistoryTest, StoringASequenceNumberAgainReplacesItInPlace) {
  RetransmitHistory history;
  history.Store(5, Datagram(5), kT0);
  history.Store(6, Datagram(6), kT0 + 100'000);
  // Same number, new bytes and time; it keeps its place at the front.
  history.Store(5, Datagram(55, 1220), kT0 + 500'000);
  EXPECT_EQ(history.size(), 2u);
  Bytes out;
  // 6 is now the first to expire, though it stands behind 5.
  EXPECT_FALSE(history.Lookup(6, kT0 + 950'000, &out));
  ASSERT_TRUE(history.Lookup(5, kT0 + 950'000, &out));
  EXPECT_EQ(out, Datagram(55, 1220));
  EXPECT_EQ(history.size(), 1u);
  EXPECT_FALSE(history.Lookup(5, kT0 + 1'301'000, &out));
  EXPECT_EQ(history.size(), 0u);
  // The ring goes on working after removals out of order.
  for (uint32_t s = 0; s < kHistoryMaxEntries + 10; ++s) history.Store(s, Datagram(s), kT0 + 2'000'000);
  EXPECT_EQ(history.size(), kHistoryMaxEntries);
  EXPECT_TRUE(history.Lookup(kHistoryMaxEntries + 9, kT0 + 2'000'000, &out));
}

TEST(RetransmitHistoryTest, ClearForgetsEverything) {
  RetransmitHistory history;
  for (uint32_t s = 0; s < 10; ++s) history.Store(s, Datagram(s), kT0);
  history.Clear();
  EXPECT_EQ(history.size(), 0u);
  Bytes out;
  EXPECT_FALSE(history.Lookup(3, kT0, &out));
  history.Store(3, Datagram(3), kT0);
  EXPECT_TRUE(history.Lookup(3, kT0, &out));
}

}  // namespace
}  // namespace orvane::media
