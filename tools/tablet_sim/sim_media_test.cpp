// The tablet's media receiver: reassembly, parity, requests for lost
// datagrams in virtual time, bounds, deliberate loss, and the whole way from
// the host's own media sender.

#include "tools/tablet_sim/sim_media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/common/byte_order.h"
#include "host/common/clock.h"
#include "host/common/precise_sleep.h"
#include "host/security/secure_frame.h"
#include "host/transport/fec_group.h"
#include "host/transport/media_packet.h"
#include "host/transport/media_sender.h"
#include "host/video/synthetic_stream.h"

namespace orvane::sim {
namespace {

using crypto::Bytes;
using crypto::ByteView;

// The fragments of one access unit, cut as the host cuts them.
std::vector<Bytes> Fragments(uint32_t first_sequence, uint64_t timestamp_us, const Bytes& au) {
  const size_t count = media::FragmentCount(au.size());
  std::vector<Bytes> out;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = i * media::kMaxPayloadBytes;
    const size_t n = std::min(media::kMaxPayloadBytes, au.size() - at);
    media::VideoHeader h;
    h.sequence = first_sequence + static_cast<uint32_t>(i);
    h.timestamp_us = timestamp_us;
    h.index = static_cast<uint16_t>(i);
    h.count = static_cast<uint16_t>(count);
    Bytes d(media::kVideoHeaderBytes + n);
    media::WriteVideoFragment(h, ByteView(au.data() + at, n), d.data());
    out.push_back(std::move(d));
  }
  return out;
}

// A synthetic access unit of `fragments` fragments (the last one shorter).
Bytes Unit(uint64_t timestamp_us, size_t fragments) {
  return MakeSyntheticFrame(timestamp_us, false, fragments * media::kMaxPayloadBytes - 300);
}

// The parity packet of consecutive datagrams, by the host's own group.
Bytes ParityOf(const std::vector<Bytes>& group, uint32_t first_sequence) {
  media::FecGroup fec;
  Bytes parity;
  bool closed = false;
  for (size_t i = 0; i < group.size(); ++i) {
    // 10 % loss asks for groups of four.
    closed = fec.Add(first_sequence + static_cast<uint32_t>(i), group[i], 10, false, &parity);
  }
  EXPECT_TRUE(closed) << "the test's groups have four datagrams";
  return parity;
}

// A parity packet written by hand from the table of its fields.
Bytes HandParity(uint32_t first, const std::vector<Bytes>& datagrams) {
  size_t longest = 0;
  for (const Bytes& d : datagrams) longest = std::max(longest, d.size());
  Bytes p(media::kFecHeaderBytes + 2 * datagrams.size() + longest, 0);
  p[0] = media::kTypeFecParity;
  StoreBe32(p.data() + 1, first);
  p[5] = static_cast<uint8_t>(datagrams.size());
  for (size_t i = 0; i < datagrams.size(); ++i) {
    StoreBe16(p.data() + media::kFecHeaderBytes + 2 * i, static_cast<uint16_t>(datagrams[i].size()));
    for (size_t b = 0; b < datagrams[i].size(); ++b) {
      p[media::kFecHeaderBytes + 2 * datagrams.size() + b] ^= datagrams[i][b];
    }
  }
  return p;
}

TEST(MediaReceiver, ReassemblesInAnyOrderAndAcrossTheSequenceWrap) {
  const struct {
    const char* name;
    uint32_t first;
    size_t fragments;
    std::vector<size_t> order;
  } cases[] = {
      {"in order", 100, 3, {0, 1, 2}},
      {"reversed", 100, 3, {2, 1, 0}},
      {"shuffled", 7, 5, {3, 0, 4, 2, 1}},
      {"one fragment", 9, 1, {0}},
      {"sequence wraps inside the unit", 0xFFFFFFFEu, 5, {0, 1, 2, 3, 4}},
      {"wraps, out of order", 0xFFFFFFFDu, 5, {4, 0, 3, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    MediaReceiver receiver;
    const uint64_t ts = 5'000'000 + c.first;
    const std::vector<Bytes> fragments = Fragments(c.first, ts, Unit(ts, c.fragments));
    ASSERT_EQ(fragments.size(), c.fragments);
    for (size_t i = 0; i < c.order.size(); ++i) {
      EXPECT_EQ(receiver.counters().complete, 0u);
      receiver.OnDatagram(fragments[c.order[i]], clock.TickMs());
    }
    EXPECT_EQ(receiver.counters().complete, 1u);
    EXPECT_EQ(receiver.counters().mismatched, 0u);
    EXPECT_EQ(receiver.units_in_flight(), 0u);
    EXPECT_EQ(receiver.buffered_bytes(), 0u);
    clock.AdvanceMs(500);
    EXPECT_TRUE(receiver.Poll(clock.TickMs()).empty());
    EXPECT_EQ(receiver.counters().incomplete, 0u);
    // A copy arriving later starts nothing.
    receiver.OnDatagram(fragments[0], clock.TickMs());
    EXPECT_EQ(receiver.counters().duplicates, 1u);
    EXPECT_EQ(receiver.units_in_flight(), 0u);
  }
}

TEST(MediaReceiver, RebuildsAnySingleMissingDatagramOfAParityGroup) {
  // One unit of four fragments, and two units of two fragments in one group
  // (groups run across units).
  const uint64_t ts1 = 1'000'000, ts2 = 1'016'667;
  std::vector<Bytes> one = Fragments(40, ts1, Unit(ts1, 4));
  std::vector<Bytes> two = Fragments(40, ts1, Unit(ts1, 2));
  const std::vector<Bytes> second = Fragments(42, ts2, Unit(ts2, 2));
  two.insert(two.end(), second.begin(), second.end());
  const struct {
    const char* name;
    const std::vector<Bytes>& group;
    uint64_t units;
  } groups[] = {{"one unit", one, 1}, {"two units", two, 2}};
  for (const auto& g : groups) {
    const Bytes parity = ParityOf(g.group, 40);
    for (size_t missing = 0; missing < g.group.size(); ++missing) {
      SCOPED_TRACE(std::string(g.name) + ", missing " + std::to_string(missing));
      ManualClock clock;
      MediaReceiver receiver;
      for (size_t i = 0; i < g.group.size(); ++i) {
        if (i != missing) receiver.OnDatagram(g.group[i], clock.TickMs());
      }
      receiver.OnDatagram(parity, clock.TickMs());
      EXPECT_EQ(receiver.counters().fec_recovered, 1u);
      EXPECT_EQ(receiver.counters().fec_refused, 0u);
      EXPECT_EQ(receiver.counters().complete, g.units);
      EXPECT_EQ(receiver.counters().complete_by_fec, 1u);
      EXPECT_EQ(receiver.counters().mismatched, 0u);
      EXPECT_EQ(receiver.parity_kept(), 0u);
      // Nothing is left to ask for.
      clock.AdvanceMs(100);
      EXPECT_TRUE(receiver.Poll(clock.TickMs()).empty());
    }
  }
}

TEST(MediaReceiver, AParityWaitsForASecondLossToBeRepairedByARequest) {
  const uint64_t ts = 2'000'000;
  const std::vector<Bytes> f = Fragments(0, ts, Unit(ts, 4));
  ManualClock clock;
  MediaReceiver receiver;
  receiver.OnDatagram(f[0], clock.TickMs());
  receiver.OnDatagram(f[3], clock.TickMs());
  receiver.OnDatagram(ParityOf(f, 0), clock.TickMs());
  EXPECT_EQ(receiver.parity_kept(), 1u);
  clock.AdvanceMs(30);
  EXPECT_EQ(receiver.Poll(clock.TickMs()), (std::vector<uint32_t>{1, 2}));
  // The resend of one of them lets the parity rebuild the other.
  receiver.OnDatagram(f[2], clock.TickMs());
  EXPECT_EQ(receiver.counters().complete, 1u);
  EXPECT_EQ(receiver.counters().complete_by_fec, 1u);
  EXPECT_EQ(receiver.counters().complete_by_nack, 1u);
  EXPECT_EQ(receiver.counters().nack_recovered, 1u);
  EXPECT_EQ(receiver.counters().fec_recovered, 1u);
}

TEST(MediaReceiver, RefusesARebuiltDatagramThatIsNotTheMissingOne) {
  const uint64_t ts = 3'000'000;
  const std::vector<Bytes> f = Fragments(10, ts, Unit(ts, 4));
  // The missing datagram is f[2] (sequence number 12) in every case.
  std::vector<Bytes> other_seq = f;
  StoreBe32(other_seq[2].data() + 4, 99);
  std::vector<Bytes> not_video = f;
  not_video[2][1] = media::kTypeAudio;
  std::vector<Bytes> shorter = f;
  shorter[1].pop_back();
  Bytes short_length = HandParity(10, f);
  StoreBe16(short_length.data() + media::kFecHeaderBytes + 2 * 2, 20);  // only a header
  const struct {
    const char* name;
    Bytes parity;
  } cases[] = {
      {"another sequence number", HandParity(10, other_seq)},
      {"not a video header", HandParity(10, not_video)},
      {"a datagram's length differs", HandParity(10, shorter)},
      {"no payload", short_length},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    MediaReceiver receiver;
    for (const size_t i : {0, 1, 3}) receiver.OnDatagram(f[i], clock.TickMs());
    receiver.OnDatagram(c.parity, clock.TickMs());
    EXPECT_EQ(receiver.counters().fec_refused, 1u);
    EXPECT_EQ(receiver.counters().fec_recovered, 0u);
    EXPECT_EQ(receiver.counters().complete, 0u);
    EXPECT_EQ(receiver.counters().mismatched, 0u);
    EXPECT_FALSE(receiver.TakeNotes().empty());
    // The datagram is still asked for.
    clock.AdvanceMs(30);
    EXPECT_EQ(receiver.Poll(clock.TickMs()), (std::vector<uint32_t>{12}));
    receiver.OnDatagram(f[2], clock.TickMs());
    EXPECT_EQ(receiver.counters().complete, 1u);
  }
  // The host's correct parity by hand, for contrast: it rebuilds.
  ManualClock clock;
  MediaReceiver receiver;
  for (const size_t i : {0, 1, 3}) receiver.OnDatagram(f[i], clock.TickMs());
  receiver.OnDatagram(HandParity(10, f), clock.TickMs());
  EXPECT_EQ(receiver.counters().fec_recovered, 1u);
  EXPECT_EQ(receiver.counters().complete, 1u);
}

TEST(MediaReceiver, AsksForALossAfterTheDelayThenAfterEachRetryIntervalAtMostThreeTimes) {
  const struct {
    double rtt_ms;
    uint64_t retry_ms;
  } cases[] = {{0, 50}, {10, 50}, {60, 120}, {150, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rtt_ms);
    const uint64_t ts = 4'000'000;
    const std::vector<Bytes> f = Fragments(500, ts, Unit(ts, 4));
    ManualClock clock;
    MediaReceiver receiver;
    receiver.SetRoundTripMs(c.rtt_ms);
    EXPECT_EQ(receiver.RetryIntervalMs(), c.retry_ms);
    receiver.OnDatagram(f[0], clock.TickMs());
    receiver.OnDatagram(f[1], clock.TickMs());
    receiver.OnDatagram(f[3], clock.TickMs());  // 502 is seen missing now
    const std::vector<uint32_t> none;
    const std::vector<uint32_t> lost{502};
    clock.AdvanceMs(29);
    EXPECT_EQ(receiver.Poll(clock.TickMs()), none);
    clock.AdvanceMs(1);
    EXPECT_EQ(receiver.Poll(clock.TickMs()), lost);
    EXPECT_EQ(receiver.Poll(clock.TickMs()), none);
    for (int again = 0; again < 2; ++again) {
      clock.AdvanceMs(c.retry_ms - 1);
      EXPECT_EQ(receiver.Poll(clock.TickMs()), none);
      clock.AdvanceMs(1);
      EXPECT_EQ(receiver.Poll(clock.TickMs()), lost);
    }
    clock.AdvanceMs(c.retry_ms);
    EXPECT_EQ(receiver.Poll(clock.TickMs()), none);  // three times at most
    EXPECT_EQ(receiver.counters().sequence_numbers_requested, 3u);
    // The resend completes the unit.
    receiver.OnDatagram(f[2], clock.TickMs());
    EXPECT_EQ(receiver.counters().complete, 1u);
    EXPECT_EQ(receiver.counters().complete_by_nack, 1u);
    EXPECT_EQ(receiver.counters().nack_recovered, 1u);
  }
}

TEST(MediaReceiver, FindsATailLossOnlyWhenSomethingLaterArrives) {
  const uint64_t ts1 = 6'000'000, ts2 = 6'016'667;
  const std::vector<Bytes> a = Fragments(0, ts1, Unit(ts1, 3));
  const std::vector<Bytes> b = Fragments(3, ts2, Unit(ts2, 2));
  ManualClock clock;
  MediaReceiver receiver;
  receiver.OnDatagram(a[0], clock.TickMs());
  receiver.OnDatagram(a[1], clock.TickMs());
  // The rest of a paced unit may still be on its way: nothing is asked for.
  clock.AdvanceMs(200);
  EXPECT_TRUE(receiver.Poll(clock.TickMs()).empty());
  receiver.OnDatagram(b[0], clock.TickMs());
  clock.AdvanceMs(30);
  EXPECT_EQ(receiver.Poll(clock.TickMs()), (std::vector<uint32_t>{2}));
  // The loss of the last datagrams of a group shows through its parity.
  MediaReceiver second;
  const std::vector<Bytes> g = Fragments(20, ts1, Unit(ts1, 4));
  second.OnDatagram(g[0], clock.TickMs());
  second.OnDatagram(g[1], clock.TickMs());
  second.OnDatagram(ParityOf(g, 20), clock.TickMs());
  clock.AdvanceMs(30);
  EXPECT_EQ(second.Poll(clock.TickMs()), (std::vector<uint32_t>{22, 23}));
}

TEST(MediaReceiver, GivesUpAUnitAfterASecondAndIgnoresItsLateFragments) {
  const uint64_t ts = 7'000'000;
  const std::vector<Bytes> f = Fragments(0, ts, Unit(ts, 3));
  ManualClock clock;
  MediaReceiver receiver;
  receiver.OnDatagram(f[0], clock.TickMs());
  receiver.OnDatagram(f[2], clock.TickMs());
  clock.AdvanceMs(999);
  receiver.Poll(clock.TickMs());
  EXPECT_EQ(receiver.units_in_flight(), 1u);
  clock.AdvanceMs(1);
  EXPECT_TRUE(receiver.Poll(clock.TickMs()).empty());
  EXPECT_EQ(receiver.counters().incomplete, 1u);
  EXPECT_EQ(receiver.units_in_flight(), 0u);
  EXPECT_EQ(receiver.missing_tracked(), 0u);
  EXPECT_EQ(receiver.buffered_bytes(), 0u);
  receiver.OnDatagram(f[1], clock.TickMs());
  EXPECT_EQ(receiver.counters().late, 1u);
  EXPECT_EQ(receiver.counters().complete, 0u);
  EXPECT_EQ(receiver.units_in_flight(), 0u);
}

TEST(MediaReceiver, RefusesWhatDoesNotFitAndBoundsWhatItHolds) {
  ManualClock clock;
  MediaReceiverConfig config;
  config.max_fragments = 8;
  MediaReceiver receiver(config);
  // More fragments than the tablet allows: refused before anything is held.
  media::VideoHeader big;
  big.sequence = 1000;
  big.timestamp_us = 1;
  big.index = 0;
  big.count = 9;
  Bytes d(media::kVideoHeaderBytes + 100, 0);
  media::WriteVideoFragment(big, ByteView(d.data() + media::kVideoHeaderBytes, 100), d.data());
  receiver.OnDatagram(d, clock.TickMs());
  EXPECT_EQ(receiver.counters().oversized, 1u);
  EXPECT_EQ(receiver.units_in_flight(), 0u);

  // A fragment whose timestamp is not its unit's.
  const uint64_t ts = 8'000'000;
  std::vector<Bytes> f = Fragments(2000, ts, Unit(ts, 3));
  StoreBe64(f[1].data() + 8, ts + 1);
  receiver.OnDatagram(f[0], clock.TickMs());
  receiver.OnDatagram(f[1], clock.TickMs());
  EXPECT_EQ(receiver.counters().inconsistent, 1u);

  // Headers out of range.
  Bytes bad_index = f[2];
  StoreBe16(bad_index.data() + 16, 3);
  const Bytes cases[] = {Bytes{1, 1, 0}, bad_index, Bytes(f[0].begin(), f[0].begin() + media::kVideoHeaderBytes),
                         Bytes{1, 3, 0, 0}, Bytes{media::kTypeFecParity, 0, 0, 0, 0, 5, 0}};
  for (const Bytes& c : cases) receiver.OnDatagram(c, clock.TickMs());
  EXPECT_EQ(receiver.counters().malformed, std::size(cases));

  // More units in flight than allowed: the oldest is given up.
  MediaReceiver many;
  for (uint32_t u = 0; u < kMaxUnitsInFlight + 1; ++u) {
    const uint64_t t = 9'000'000 + u;
    many.OnDatagram(Fragments(u * 2, t, Unit(t, 2))[0], clock.TickMs() + u);
  }
  EXPECT_EQ(many.units_in_flight(), kMaxUnitsInFlight);
  EXPECT_EQ(many.counters().incomplete, 1u);

  // A jump far ahead is a new start, not a flood of requests.
  MediaReceiver jump;
  const uint64_t t = 10'000'000;
  jump.OnDatagram(Fragments(0, t, Unit(t, 1))[0], clock.TickMs());
  jump.OnDatagram(Fragments(kMaxSequenceGap + 10, t + 1, Unit(t + 1, 1))[0], clock.TickMs());
  EXPECT_EQ(jump.counters().discontinuities, 1u);
  clock.AdvanceMs(30);
  EXPECT_TRUE(jump.Poll(clock.TickMs()).empty());
  EXPECT_EQ(jump.counters().complete, 2u);
}

TEST(MediaReceiver, CountsUnitsThatAreNotTheSyntheticStreamWhenAsked) {
  for (const bool check : {true, false}) {
    SCOPED_TRACE(check);
    MediaReceiverConfig config;
    config.check_synthetic = check;
    MediaReceiver receiver(config);
    const uint64_t ts = 11'000'000;
    Bytes au = Unit(ts, 2);
    au[1500] ^= 0x40;
    for (const Bytes& d : Fragments(0, ts, au)) receiver.OnDatagram(d, 0);
    // Another unit's bytes under this timestamp.
    for (const Bytes& d : Fragments(2, ts + 1, Unit(ts + 2, 1))) receiver.OnDatagram(d, 0);
    EXPECT_EQ(receiver.counters().complete, 2u);
    EXPECT_EQ(receiver.counters().mismatched, check ? 2u : 0u);
  }
}

// With a unit sink every unit resolved goes to it in sequence order: complete
// ones with their bytes (and whether they are the synthetic stream), given-up
// and refused ones without; what is not the synthetic stream is the sink's
// to check.
TEST(MediaReceiver, HandsEveryResolvedUnitToTheSinkInSequenceOrder) {
  struct Recorder final : IUnitSink {
    std::vector<ResolvedUnit> units;
    void OnUnit(ResolvedUnit&& unit) override { units.push_back(std::move(unit)); }
  } sink;
  ManualClock clock;
  MediaReceiverConfig config;
  config.units = &sink;
  config.max_fragments = 3;
  MediaReceiver receiver(config);
  const uint64_t ts = 20'000'000;
  const std::vector<Bytes> a = Fragments(10, ts, Unit(ts, 2));             // synthetic, arrives last
  const std::vector<Bytes> b = Fragments(12, ts + 1, Unit(ts + 1, 4));     // too many fragments
  const std::vector<Bytes> c = Fragments(16, ts + 2, Unit(ts + 2, 2));     // loses a fragment
  Bytes other = Unit(ts + 3, 1);
  other[100] ^= 1;
  const std::vector<Bytes> d = Fragments(18, ts + 3, other);               // not the synthetic stream
  receiver.OnDatagram(a[1], clock.TickMs());
  receiver.OnDatagram(b[0], clock.TickMs());
  receiver.OnDatagram(c[0], clock.TickMs());
  receiver.OnDatagram(d[0], clock.TickMs());
  EXPECT_TRUE(sink.units.empty());  // everything waits for the first unit
  receiver.OnDatagram(a[0], clock.TickMs());
  ASSERT_EQ(sink.units.size(), 2u);  // a, and b refused; c is still open
  clock.AdvanceMs(1000);
  receiver.Poll(clock.TickMs());
  ASSERT_EQ(sink.units.size(), 4u);
  const struct {
    uint32_t base;
    bool complete;
    bool synthetic;
    size_t bytes;
  } want[] = {{10, true, true, a[0].size() + a[1].size() - 2 * media::kVideoHeaderBytes},
              {12, false, false, 0},
              {16, false, false, 0},
              {18, true, false, other.size()}};
  for (size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sink.units[i].base, want[i].base);
    EXPECT_EQ(sink.units[i].complete, want[i].complete);
    EXPECT_EQ(sink.units[i].synthetic, want[i].synthetic);
    EXPECT_EQ(sink.units[i].bytes.size(), want[i].bytes);
  }
  EXPECT_EQ(sink.units[1].count, 4u);
  EXPECT_EQ(receiver.counters().mismatched, 0u);
  EXPECT_EQ(receiver.counters().oversized, 1u);
  EXPECT_EQ(receiver.counters().incomplete, 1u);
  EXPECT_EQ(receiver.ordering().released, 4u);
}

// The lines about the parity group size among a receiver's notes.
std::vector<std::string> ParityNotes(MediaReceiver& receiver) {
  std::vector<std::string> out;
  for (std::string& note : receiver.TakeNotes()) {
    if (note.rfind("[Sim] Parity group size ", 0) == 0 || note.rfind("[Sim] Media: further changes", 0) == 0) {
      out.push_back(std::move(note));
    }
  }
  return out;
}

TEST(MediaReceiver, CountsParityGroupsBySizeAndTellsEachChange) {
  const struct {
    const char* name;
    std::vector<size_t> sizes;  // parity packets in arrival order, by group size
    std::vector<std::string> notes;
    const char* line;
  } cases[] = {
      {"none", {}, {}, "[Sim] Parity groups: none"},
      {"one size", {10, 10, 10}, {"[Sim] Parity group size 10"}, "[Sim] Parity groups: size=10 count=3 changes=0"},
      {"changes",
       {10, 10, 3, 1, 4, 4, 10},
       {"[Sim] Parity group size 10", "[Sim] Parity group size 3", "[Sim] Parity group size 1",
        "[Sim] Parity group size 4", "[Sim] Parity group size 10"},
       "[Sim] Parity groups: size=1 count=1 size=3 count=1 size=4 count=2 size=10 count=3 changes=4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MediaReceiver receiver;
    uint32_t first = 1000;
    for (const size_t n : c.sizes) {
      const uint64_t ts = 7'000'000 + first;
      receiver.OnDatagram(HandParity(first, Fragments(first, ts, Unit(ts, n))), 0);
      first += static_cast<uint32_t>(n);
    }
    EXPECT_EQ(ParityNotes(receiver), c.notes);
    MediaSummary summary;
    summary.media = receiver.counters();
    EXPECT_EQ(ParityGroupsLine(summary), c.line);
  }

  // A parity packet that does not parse counts for no group.
  MediaReceiver receiver;
  Bytes cut = HandParity(5, Fragments(5, 9, Unit(9, 4)));
  cut.resize(media::kFecHeaderBytes + 3);
  receiver.OnDatagram(cut, 0);
  EXPECT_EQ(receiver.counters().malformed, 1u);
  EXPECT_TRUE(ParityNotes(receiver).empty());

  // A size that keeps changing: the first changes are told, then that the
  // rest are only counted.
  uint32_t first = 0;
  for (int i = 0; i < 40; ++i) {
    const size_t n = i % 2 == 0 ? 4 : 10;
    receiver.OnDatagram(HandParity(first, Fragments(first, 100 + first, Unit(100 + first, n))), 0);
    first += static_cast<uint32_t>(n);
  }
  const std::vector<std::string> notes = ParityNotes(receiver);
  ASSERT_EQ(notes.size(), kMaxParitySizeNotes + 1u);
  EXPECT_EQ(notes[kMaxParitySizeNotes - 1], "[Sim] Parity group size 10");
  EXPECT_EQ(notes.back(), "[Sim] Media: further changes of the parity group size are only counted");
  MediaSummary summary;
  summary.media = receiver.counters();
  EXPECT_EQ(ParityGroupsLine(summary), "[Sim] Parity groups: size=4 count=20 size=10 count=20 changes=39");
}

TEST(DeliberateLoss, TheSameSeedDropsTheSameDatagramsAndAboutTheShareAsked) {
  auto drops = [](uint32_t percent, uint64_t seed) {
    DeliberateLoss loss(percent, seed);
    std::vector<size_t> out;
    for (size_t i = 0; i < 10'000; ++i) {
      if (loss.Drop()) out.push_back(i);
    }
    return out;
  };
  EXPECT_TRUE(drops(0, 7).empty());
  for (const uint32_t percent : {1u, 5u, 20u, 50u}) {
    SCOPED_TRACE(percent);
    const std::vector<size_t> a = drops(percent, 7);
    EXPECT_EQ(a, drops(percent, 7));
    EXPECT_NE(a, drops(percent, 8));
    EXPECT_NEAR(static_cast<double>(a.size()), 100.0 * percent, 100.0 * percent * 0.2 + 30);
  }
}

// ---- through the envelope, from the host's own sender

class RecordingSink final : public IDatagramSink {
 public:
  int SendTo(net::Socket, const net::Endpoint&, const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.emplace_back(data, data + length);
    return 0;
  }
  std::vector<Bytes> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Bytes> out;
    out.swap(sent_);
    return out;
  }

 private:
  std::mutex mu_;
  std::vector<Bytes> sent_;
};

struct HostSide {
  HostSide() {
    EXPECT_TRUE(sender.CreateSocket());
    EXPECT_TRUE(sender.SetRemote("127.0.0.1", 9431));
    EXPECT_TRUE(sender.SetMediaKey(key));
  }
  ManualClock clock;
  ManualSleeper sleeper{clock};
  RecordingSink sink;
  MediaSender sender{clock, sleeper, sink};
  Bytes key = Bytes(32, 0x5A);
};

TEST(MediaIntake, OpensCountsAndDropsReplaysBeforeTheReceiver) {
  HostSide host;
  uint32_t seq = 0;
  const uint64_t ts = 12'000'000;
  const Bytes au = Unit(ts, 2);
  ASSERT_TRUE(host.sender.SendVideoFrame(seq, ts, false, false, au.data(), au.size()));
  const std::vector<Bytes> sent = host.sink.Take();
  ASSERT_EQ(sent.size(), 2u);

  MediaIntake intake(MediaReceiverConfig{}, 0, 1);
  intake.OnDatagram(sent[0], 0);  // before the key
  intake.SetKey(host.key);
  intake.OnDatagram(sent[0], 0);
  intake.OnDatagram(sent[0], 0);  // replayed
  Bytes plain(sent[1].begin() + security::kSecureFrameHeaderBytes, sent[1].end());
  intake.OnDatagram(plain, 0);  // no envelope
  Bytes tampered = sent[1];
  tampered[20] ^= 1;
  intake.OnDatagram(tampered, 0);
  intake.OnDatagram(sent[1], 0);
  const IntakeCounters& c = intake.counters();
  EXPECT_EQ(c.datagrams, 6u);
  EXPECT_EQ(c.no_key, 1u);
  EXPECT_EQ(c.opened, 2u);
  EXPECT_EQ(c.replayed, 1u);
  EXPECT_EQ(c.not_secure, 1u);
  EXPECT_EQ(c.open_failed, 1u);
  EXPECT_EQ(intake.receiver().counters().video, 2u);
  EXPECT_EQ(intake.receiver().counters().duplicates, 0u);
  EXPECT_EQ(intake.receiver().counters().complete, 1u);
  EXPECT_EQ(intake.receiver().counters().mismatched, 0u);
}

// The group sizes the host's sender chooses for the loss it is told, as the
// tablet sees them in the parity packets.
TEST(MediaIntake, SeesTheParityGroupSizesTheHostsLossFiguresAskFor) {
  HostSide host;
  MediaIntake intake(MediaReceiverConfig{}, 0, 1);
  intake.SetKey(host.key);
  uint32_t seq = 0;
  uint64_t ts = 30'000'000;
  // Units of three fragments: at no loss groups of 10 (the last five of the
  // 15 datagrams wait), at 10 % groups of 4, at 3 % groups of 6.
  const struct {
    int loss;
    int units;
  } phases[] = {{0, 5}, {10, 4}, {3, 4}};
  for (const auto& phase : phases) {
    host.sender.SetLoss(phase.loss);
    for (int i = 0; i < phase.units; ++i) {
      ts += 16'667;
      const Bytes au = Unit(ts, 3);
      ASSERT_TRUE(host.sender.SendVideoFrame(seq, ts, false, false, au.data(), au.size()));
    }
  }
  for (const Bytes& d : host.sink.Take()) intake.OnDatagram(d, 0);
  // The change to groups of 4 closes the waiting five early.
  EXPECT_EQ(ParityNotes(intake.receiver()),
            (std::vector<std::string>{"[Sim] Parity group size 10", "[Sim] Parity group size 5",
                                      "[Sim] Parity group size 4", "[Sim] Parity group size 6"}));
  MediaSummary summary;
  summary.media = intake.receiver().counters();
  EXPECT_EQ(ParityGroupsLine(summary),
            "[Sim] Parity groups: size=4 count=3 size=5 count=1 size=6 count=2 size=10 count=1 changes=3");
  EXPECT_EQ(summary.media.complete, 13u);
}

TEST(MediaIntake, TheHostsStreamThroughDeliberateLossIsRepairedAndVerified) {
  constexpr int kFrames = 60;
  HostSide host;
  host.sender.SetLoss(10);  // parity groups of four
  MediaIntake intake(MediaReceiverConfig{}, 10, 3);
  intake.SetKey(host.key);
  const SyntheticFrameShape shape{60, 8000, 30};
  uint32_t seq = 0xFFFFFF00u;  // the sequence number wraps during the run
  auto deliver = [&] {
    for (const Bytes& d : host.sink.Take()) intake.OnDatagram(d, host.clock.TickMs());
  };
  auto serve_requests = [&] {
    for (const uint32_t s : intake.receiver().Poll(host.clock.TickMs())) host.sender.Retransmit(s);
    deliver();
  };
  for (int i = 0; i < kFrames; ++i) {
    const bool keyframe = i % 30 == 0;
    const uint64_t ts = 20'000'000 + static_cast<uint64_t>(i) * 16'667;
    const Bytes au = MakeSyntheticFrame(ts, keyframe, SyntheticFrameLength(shape, static_cast<uint64_t>(i), keyframe));
    ASSERT_TRUE(host.sender.SendVideoFrame(seq, ts, keyframe, false, au.data(), au.size()));
    deliver();
    for (int step = 0; step < 4; ++step) {
      host.clock.AdvanceMs(4);
      serve_requests();
    }
  }
  // Losses at the very end show only through what comes after them: a few
  // small units close the last parity group.
  for (uint64_t tail = 0; tail < 5; ++tail) {
    const uint64_t ts = 99'000'000 + tail;
    const Bytes au = MakeSyntheticFrame(ts, false, 64);
    ASSERT_TRUE(host.sender.SendVideoFrame(seq, ts, false, false, au.data(), au.size()));
  }
  deliver();
  for (int step = 0; step < 100 && intake.receiver().units_in_flight() > 0; ++step) {
    host.clock.AdvanceMs(10);
    serve_requests();
  }
  const IntakeCounters& in = intake.counters();
  const MediaCounters& m = intake.receiver().counters();
  EXPECT_GT(in.dropped_on_purpose, 0u);
  EXPECT_EQ(in.open_failed + in.replayed + in.not_secure, 0u);
  EXPECT_GE(m.complete, static_cast<uint64_t>(kFrames));
  EXPECT_EQ(m.incomplete, 0u);
  EXPECT_EQ(m.mismatched, 0u);
  EXPECT_EQ(m.inconsistent + m.malformed + m.fec_refused, 0u);
  EXPECT_GT(m.complete_by_fec, 0u);
  EXPECT_GT(m.complete_by_nack, 0u);
  EXPECT_GT(m.sequence_numbers_requested, 0u);
  // At 10 % every group has four datagrams, keyframes too.
  EXPECT_EQ(m.parity_groups.groups[4], m.parity);
  EXPECT_EQ(m.parity_groups.changes, 0u);
}

}  // namespace
}  // namespace orvane::sim
