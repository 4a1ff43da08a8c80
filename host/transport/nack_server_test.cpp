#include "host/transport/nack_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

// The sender's side: which numbers it still holds, and what it resent.
struct FakeHistory {
  std::set<uint32_t> missing;
  std::vector<uint32_t> resent;
  bool Retransmit(uint32_t sequence) {
    if (missing.count(sequence) != 0) return false;
    resent.push_back(sequence);
    return true;
  }
};

class NackServerTest : public ::testing::Test {
 protected:
  NackServerTest() { server_.Reset(4000); }

  void Serve(std::vector<uint32_t> sequences) { server_.Serve(kNackStreamTypeVideo, sequences); }
  static std::vector<uint32_t> Range(uint32_t first, uint32_t count) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < count; ++i) out.push_back(first + i);
    return out;
  }

  ManualClock clock_;
  FakeHistory history_;
  NackServer server_{clock_, [this](uint32_t s) { return history_.Retransmit(s); }};
};

std::string Describe(const NackCounters& c) {
  return "requested=" + std::to_string(c.requested) + " sent=" + std::to_string(c.sent) +
         " duplicate=" + std::to_string(c.duplicate) + " over_budget=" + std::to_string(c.over_budget) +
         " exhausted=" + std::to_string(c.exhausted) + " missing=" + std::to_string(c.missing);
}

TEST(NackSequenceHashTest, IsFnv1a64OverTheFourBytesLowByteFirst) {
  struct Case {
    uint32_t sequence;
    uint64_t hash;
  };
  const Case cases[] = {
      {0x00000000u, 0x4d25767f9dce13f5ull},
      {0x00000001u, 0xad2aca7747985764ull},
      {0x12345678u, 0xcccfd053e47c3365ull},  // bytes 78 56 34 12
      {0xFFFFFFFFu, 0x994f76653e2a3951ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sequence);
    EXPECT_EQ(NackSequenceHash(c.sequence), c.hash);
  }
}

// Each step requests numbers at a time offset (from the previous step) and
// checks the counters afterwards.
TEST_F(NackServerTest, ResendsEachNumberAtMostThreeTimesAndNeverTwiceWithinTheRetryInterval) {
  struct Step {
    int64_t advance_us;
    uint32_t sequence;
    const char* counters;
  };
  const Step steps[] = {
      {0, 7, "requested=1 sent=1 duplicate=0 over_budget=0 exhausted=0 missing=0"},
      {19'999, 7, "requested=2 sent=1 duplicate=1 over_budget=0 exhausted=0 missing=0"},  // within 20 ms
      {1, 7, "requested=3 sent=2 duplicate=1 over_budget=0 exhausted=0 missing=0"},       // 20 ms after the resend
      {20'000, 7, "requested=4 sent=3 duplicate=1 over_budget=0 exhausted=0 missing=0"},
      {20'000, 7, "requested=5 sent=3 duplicate=1 over_budget=0 exhausted=1 missing=0"},  // a fourth time
      {500'000, 7, "requested=6 sent=3 duplicate=1 over_budget=0 exhausted=2 missing=0"},
      {0, 8, "requested=7 sent=4 duplicate=1 over_budget=0 exhausted=2 missing=0"},       // others are unaffected
  };
  for (const Step& s : steps) {
    clock_.AdvanceUs(s.advance_us);
    Serve({s.sequence});
    EXPECT_EQ(Describe(server_.Counters()), s.counters) << "after sequence " << s.sequence;
  }
  EXPECT_EQ(history_.resent, (std::vector<uint32_t>{7, 7, 7, 8}));
  uint32_t resends = 0;
  ASSERT_TRUE(server_.LedgerEntry(7, nullptr, &resends));
  EXPECT_EQ(resends, 3u);
}

TEST_F(NackServerTest, TheSameNumberTwiceInOneRequestIsOneResendAndOneDuplicate) {
  Serve({42, 42});
  EXPECT_EQ(Describe(server_.Counters()), "requested=2 sent=1 duplicate=1 over_budget=0 exhausted=0 missing=0");
  EXPECT_EQ(history_.resent, std::vector<uint32_t>{42});
}

TEST_F(NackServerTest, RetryIntervalIsTwiceTheRoundTripWithinLimits) {
  struct Case {
    float rtt_ms;
    int64_t interval_us;
  };
  const Case cases[] = {
      {150.0f, 200'000},  // 300 ms capped
      {100.0f, 200'000},
      {60.0f, 120'000},
      {10.0f, 20'000},
      {5.0f, 20'000},  // 10 ms raised
      {0.0f, 20'000},
      {-1.0f, 20'000},
      {std::numeric_limits<float>::quiet_NaN(), 20'000},
      {std::numeric_limits<float>::infinity(), 20'000},
      {-std::numeric_limits<float>::infinity(), 20'000},
      {std::numeric_limits<float>::max(), 200'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rtt_ms);
    server_.UpdateRetryInterval(150.0f);  // start from a non-default value
    server_.UpdateRetryInterval(c.rtt_ms);
    EXPECT_EQ(server_.RetryIntervalUs(), c.interval_us);
  }
  // The interval is what separates a duplicate from a resend.
  server_.UpdateRetryInterval(60.0f);
  Serve({1});
  clock_.AdvanceUs(119'999);
  Serve({1});
  clock_.AdvanceUs(1);
  Serve({1});
  EXPECT_EQ(Describe(server_.Counters()), "requested=3 sent=2 duplicate=1 over_budget=0 exhausted=0 missing=0");
  // A stream start returns to 20 ms.
  server_.Reset(4000);
  EXPECT_EQ(server_.RetryIntervalUs(), kNackMinRetryIntervalUs);
}

TEST_F(NackServerTest, BudgetIsAQuarterOfTheBitrateWithAFloorWithoutOverflow) {
  struct Case {
    uint32_t bitrate_kbps;
    double budget_kbps;
  };
  const Case cases[] = {
      {4000, 2000.0},  // 1000 is below the floor
      {0, 2000.0},
      {8000, 2000.0},
      {20000, 5000.0},
      {100000, 25000.0},
      {4'000'000'000u, 1'000'000'000.0},       // times 1000 does not fit 32 bits
      {UINT32_MAX, UINT32_MAX * 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitrate_kbps);
    const double bytes_per_us = c.budget_kbps * 1000.0 * 0.125 / 1'000'000.0;
    server_.UpdateBudgetRate(c.bitrate_kbps);
    EXPECT_DOUBLE_EQ(server_.BudgetBytesPerUs(), bytes_per_us);
    server_.Reset(c.bitrate_kbps);
    EXPECT_DOUBLE_EQ(server_.BudgetBytesPerUs(), bytes_per_us);
  }
}

TEST_F(NackServerTest, BucketHoldsSixtyFourDatagramsAndRefillsAtTheBudgetRate) {
  // 4000 kbit/s: the floor of 2000 kbit/s, 0.25 bytes per microsecond.
  Serve(Range(0, 65));
  EXPECT_EQ(Describe(server_.Counters()), "requested=65 sent=64 duplicate=0 over_budget=1 exhausted=0 missing=0");
  EXPECT_EQ(history_.resent, Range(0, 64));
  EXPECT_DOUBLE_EQ(server_.Tokens(), 0.0);

  struct Step {
    int64_t advance_us;
    uint32_t sequence;
    bool sent;
  };
  const Step steps[] = {
      {5'199, 100, false},  // 1299.75 bytes
      {1, 101, true},       // 1300
      {5'200, 102, true},
      {0, 103, false},
      {10'000'000, 104, true},  // a long pause fills the bucket, no more
  };
  uint64_t sent = 64;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.sequence);
    clock_.AdvanceUs(s.advance_us);
    Serve({s.sequence});
    if (s.sent) ++sent;
    EXPECT_EQ(server_.Counters().sent, sent);
  }
  EXPECT_DOUBLE_EQ(server_.Tokens(), kNackBucketCapacityBytes - kNackDatagramCostBytes);
  // A higher bitrate refills faster: 40000 kbit/s is 1.25 bytes per microsecond.
  Serve(Range(200, 63));
  EXPECT_DOUBLE_EQ(server_.Tokens(), 0.0);
  server_.UpdateBudgetRate(40000);
  clock_.AdvanceUs(1'040);
  Serve({300});
  EXPECT_EQ(server_.Counters().sent, sent + 63 + 1);
  // A stream start fills the bucket again.
  server_.Reset(4000);
  EXPECT_DOUBLE_EQ(server_.Tokens(), kNackBucketCapacityBytes);
}

TEST_F(NackServerTest, ADatagramNoLongerHeldCostsNoBudgetAndLeavesTheLedgerAlone) {
  history_.missing = {5};
  Serve({5});
  EXPECT_EQ(Describe(server_.Counters()), "requested=1 sent=0 duplicate=0 over_budget=0 exhausted=0 missing=1");
  EXPECT_DOUBLE_EQ(server_.Tokens(), kNackBucketCapacityBytes);
  EXPECT_EQ(server_.LedgerSize(), 0u);
  EXPECT_FALSE(server_.LedgerEntry(5, nullptr, nullptr));

  // Held again (say it was a transient refusal): it is resent at once, not
  // taken for a duplicate, and has all three resends.
  history_.missing.clear();
  Serve({5});
  EXPECT_EQ(Describe(server_.Counters()), "requested=2 sent=1 duplicate=0 over_budget=0 exhausted=0 missing=1");

  // An entry that exists is not touched by a failed resend either.
  int64_t last_us = 0;
  uint32_t resends = 0;
  ASSERT_TRUE(server_.LedgerEntry(5, &last_us, &resends));
  clock_.AdvanceUs(kNackMinRetryIntervalUs);
  history_.missing = {5};
  Serve({5});
  int64_t last_after = 0;
  uint32_t resends_after = 0;
  ASSERT_TRUE(server_.LedgerEntry(5, &last_after, &resends_after));
  EXPECT_EQ(last_after, last_us);
  EXPECT_EQ(resends_after, resends);
  // 20 ms refilled the one datagram spent; the failed resend took nothing.
  EXPECT_DOUBLE_EQ(server_.Tokens(), kNackBucketCapacityBytes);
  EXPECT_EQ(Describe(server_.Counters()), "requested=3 sent=1 duplicate=0 over_budget=0 exhausted=0 missing=2");

  // Missing datagrams never use up the bucket for the ones still held.
  history_.missing.clear();
  for (uint32_t s = 1000; s < 1100; ++s) history_.missing.insert(s);
  Serve(Range(1000, 100));
  Serve(Range(0, 63));
  EXPECT_EQ(server_.Counters().sent, 1u + 63u);
  EXPECT_EQ(server_.Counters().over_budget, 0u);
}

TEST_F(NackServerTest, OtherStreamTypesChangeNothing) {
  for (const uint32_t stream_type : {0u, 2u, 3u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(stream_type);
    server_.Serve(stream_type, Range(0, 10));
    EXPECT_EQ(Describe(server_.Counters()), Describe(NackCounters{}));
    EXPECT_EQ(server_.LedgerSize(), 0u);
    EXPECT_DOUBLE_EQ(server_.Tokens(), kNackBucketCapacityBytes);
  }
  EXPECT_TRUE(history_.resent.empty());
}

TEST_F(NackServerTest, LedgerEntriesLiveOneSecond) {
  // Three resends in the first 40 ms; after that the number is exhausted until
  // its entry is older than one second.
  const int64_t first_us = clock_.NowUs();
  Serve({9});
  clock_.AdvanceUs(20'000);
  Serve({9});
  clock_.AdvanceUs(20'000);
  Serve({9});
  struct Step {
    int64_t at_us;  // since the first resend
    bool sent;
  };
  const Step steps[] = {
      {500'000, false},
      {1'000'000, false},  // exactly one second: still there
      {1'000'001, true},   // pruned: a new entry
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at_us);
    const uint64_t sent_before = server_.Counters().sent;
    clock_.AdvanceUs(first_us + s.at_us - clock_.NowUs());
    Serve({9});
    EXPECT_EQ(server_.Counters().sent - sent_before, s.sent ? 1u : 0u);
  }
  uint32_t resends = 0;
  ASSERT_TRUE(server_.LedgerEntry(9, nullptr, &resends));
  EXPECT_EQ(resends, 1u);
  EXPECT_EQ(server_.LedgerSize(), 1u);
}

TEST_F(NackServerTest, LedgerHoldsAtMost8192EntriesDroppingTheOldest) {
  // Budget enough for one datagram every 11 us: 4 Gbit/s, a quarter of it
  // refills 1375 bytes in 11 us.
  server_.Reset(4'000'000);
  for (uint32_t s = 0; s <= kNackLedgerMaxEntries; ++s) {
    clock_.AdvanceUs(11);
    Serve({s});
  }
  ASSERT_EQ(server_.Counters().sent, kNackLedgerMaxEntries + 1);
  // 8193 entries: the next request prunes the oldest before adding its own.
  EXPECT_EQ(server_.LedgerSize(), kNackLedgerMaxEntries + 1);
  clock_.AdvanceUs(11);
  Serve({100'000});
  EXPECT_EQ(server_.LedgerSize(), kNackLedgerMaxEntries + 1);
  EXPECT_FALSE(server_.LedgerEntry(0, nullptr, nullptr));
  EXPECT_TRUE(server_.LedgerEntry(1, nullptr, nullptr));
  // Every further request at the limit drops the oldest first. The pruned
  // number 0 is new again: resent although its last resend is less than the
  // 200 ms retry interval old, while number 5000 is still a duplicate.
  server_.UpdateRetryInterval(100.0f);
  clock_.AdvanceUs(11);
  Serve({0, 5000});
  EXPECT_EQ(Describe(server_.Counters()),
            "requested=8196 sent=8195 duplicate=1 over_budget=0 exhausted=0 missing=0");
  EXPECT_FALSE(server_.LedgerEntry(1, nullptr, nullptr));
  EXPECT_FALSE(server_.LedgerEntry(2, nullptr, nullptr));
  EXPECT_EQ(server_.LedgerSize(), kNackLedgerMaxEntries);  // the duplicate added nothing
}

TEST_F(NackServerTest, LogsTheIncreaseAtMostEveryFiveSecondsWhenSomethingWasRequested) {
  testing::LogCapture log;
  const std::string prefix = "[INFO ] [Retransmit] last ";
  struct Step {
    uint64_t advance_ms;
    std::vector<uint32_t> sequences;
    const char* line;  // nullptr: none expected
  };
  const Step steps[] = {
      {0, {}, nullptr},  // nothing requested yet
      {0, {1, 1}, "0ms: requested=2 sent=1 duplicate=1 over_budget=0 exhausted=0 retry_interval_ms=20 missing=0"},
      {1000, {2}, nullptr},  // too soon
      {3999, {3}, nullptr},
      {1, {}, "5000ms: requested=2 sent=2 duplicate=0 over_budget=0 exhausted=0 retry_interval_ms=20 missing=0"},
      {6000, {}, nullptr},  // nothing new
      {1000, {4}, "7000ms: requested=1 sent=1 duplicate=0 over_budget=0 exhausted=0 retry_interval_ms=20 missing=0"},
  };
  size_t lines = 0;
  for (const Step& s : steps) {
    clock_.AdvanceMs(s.advance_ms);
    if (!s.sequences.empty()) Serve(s.sequences);
    server_.MaybeLog();
    if (s.line) ++lines;
    ASSERT_EQ(log.Count(prefix), lines) << (s.line ? s.line : "no line");
    if (s.line) {
      EXPECT_EQ(log.Lines().back(), prefix + s.line);
    }
  }
  // A stream start forgets the last line: the next one is the first again.
  server_.Reset(4000);
  server_.UpdateRetryInterval(100.0f);
  history_.missing = {9};
  Serve({9});
  server_.MaybeLog();
  EXPECT_EQ(log.Lines().back(),
            prefix + "0ms: requested=1 sent=0 duplicate=0 over_budget=0 exhausted=0 retry_interval_ms=200 missing=1");
}

}  // namespace
}  // namespace orvane
