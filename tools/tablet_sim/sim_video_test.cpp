// The tablet's video stage: sequence order, skipping to keyframes, keyframe
// copies, size and picture checks and the summary, with a scripted decoder;
// then real H.264 and HEVC of the test pattern through the receiver and the
// build's decoder.

#include "tools/tablet_sim/sim_video.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/byte_order.h"
#include "host/common/clock.h"
#include "host/transport/media_packet.h"
#include "host/video/synthetic_stream.h"
#include "host/video/test_pattern.h"
#include "tools/tablet_sim/sim_media.h"
#include "tools/tablet_sim/testing/pattern_encoder.h"

namespace orvane::sim {
namespace {

using crypto::Bytes;
using crypto::ByteView;

ResolvedUnit Unit(uint32_t base, uint32_t count, bool complete = true) {
  ResolvedUnit u;
  u.base = base;
  u.count = count;
  u.timestamp_us = 1000 + base;
  u.complete = complete;
  return u;
}

std::vector<uint32_t> Bases(const std::vector<ResolvedUnit>& units) {
  std::vector<uint32_t> out;
  for (const ResolvedUnit& u : units) out.push_back(u.base);
  return out;
}

TEST(UnitOrdering, ReleasesInSequenceOrderWhateverTheOrderOfResolution) {
  const struct {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> units;  // base, count in stream order
    std::vector<size_t> resolved;                      // indices in the order they resolve
    std::vector<size_t> given_up;                      // indices resolved incomplete
  } cases[] = {
      {"in order", {{10, 3}, {13, 1}, {14, 5}}, {0, 1, 2}, {}},
      {"the second completes first", {{10, 3}, {13, 1}, {14, 5}}, {1, 2, 0}, {}},
      {"reversed", {{10, 3}, {13, 1}, {14, 5}, {19, 2}}, {3, 2, 1, 0}, {}},
      {"a unit given up keeps its place", {{10, 3}, {13, 1}, {14, 5}}, {2, 1, 0}, {1}},
      {"across the wrap", {{0xFFFFFFFEu, 3}, {1, 2}, {3, 1}}, {2, 0, 1}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnitOrdering ordering(1000);
    for (const auto& u : c.units) ordering.Seen(u.first);
    std::vector<ResolvedUnit> out;
    for (const size_t i : c.resolved) {
      const bool given_up = std::find(c.given_up.begin(), c.given_up.end(), i) != c.given_up.end();
      ordering.Add(Unit(c.units[i].first, c.units[i].second, !given_up), 5, &out);
    }
    std::vector<uint32_t> want;
    for (const auto& u : c.units) want.push_back(u.first);
    EXPECT_EQ(Bases(out), want);
    for (const ResolvedUnit& u : out) {
      const size_t i = static_cast<size_t>(std::find(want.begin(), want.end(), u.base) - want.begin());
      const bool given_up = std::find(c.given_up.begin(), c.given_up.end(), i) != c.given_up.end();
      EXPECT_EQ(u.complete, !given_up) << u.base;
    }
    EXPECT_EQ(ordering.held(), 0u);
    EXPECT_EQ(ordering.counters().released, c.units.size());
    EXPECT_EQ(ordering.counters().gaps, 0u);
  }
}

TEST(UnitOrdering, GivesUpNumbersOfNoUnitAfterTheWaitAndDropsWhatComesLate) {
  UnitOrdering ordering(1000);
  std::vector<ResolvedUnit> out;
  ordering.Add(Unit(0, 3), 100, &out);
  ordering.Add(Unit(6, 2), 200, &out);  // 3..5: a unit lost whole
  EXPECT_EQ(Bases(out), std::vector<uint32_t>{0});
  ordering.Poll(1199, &out);
  EXPECT_EQ(out.size(), 1u);
  ordering.Poll(1200, &out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(out[1].gap);
  EXPECT_FALSE(out[1].complete);
  EXPECT_EQ(out[1].base, 3u);
  EXPECT_EQ(out[1].count, 3u);
  EXPECT_EQ(out[2].base, 6u);
  // The lost unit turning up after all starts nothing.
  ordering.Add(Unit(3, 3), 1300, &out);
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(ordering.counters().late, 1u);
  EXPECT_EQ(ordering.counters().gaps, 1u);

  // Before anything was released, a unit seen earlier in the numbering opens
  // the order; afterwards it does not.
  UnitOrdering start(1000);
  out.clear();
  start.Seen(20);
  start.Seen(17);
  start.Add(Unit(20, 4), 0, &out);
  EXPECT_TRUE(out.empty());
  start.Add(Unit(17, 3), 0, &out);
  EXPECT_EQ(Bases(out), (std::vector<uint32_t>{17, 20}));
  start.Seen(5);
  start.Add(Unit(24, 1), 0, &out);
  EXPECT_EQ(Bases(out), (std::vector<uint32_t>{17, 20, 24}));

  // A jump far ahead is a new numbering: what is held goes out first.
  UnitOrdering jump(1000);
  out.clear();
  jump.Add(Unit(0, 1), 0, &out);
  jump.Add(Unit(5, 1), 0, &out);
  jump.Add(Unit(500000, 2), 0, &out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(Bases(out), (std::vector<uint32_t>{0, 1, 5, 500000}));
  EXPECT_TRUE(out[1].gap);
  EXPECT_EQ(jump.counters().restarts, 1u);

  // Holding more than allowed gives the gap up at once.
  UnitOrdering bounded(1000, 3, 1 << 20);
  out.clear();
  bounded.Add(Unit(0, 1), 0, &out);
  for (uint32_t b = 2; b < 6; ++b) bounded.Add(Unit(b, 1), 0, &out);
  EXPECT_EQ(Bases(out), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(bounded.counters().forced, 1u);
}

// ------------------------------------------------------ scripted decoder

// A unit's bytes tell the scripted decoder what to "decode": 'F', the
// counter, picture and source sizes, and how the picture comes out.
enum class Look : uint8_t { kExact = 'e', kGrey = 'g', kInverted = 'i', kNoPicture = 'n', kFail = 'x' };

Bytes Script(uint32_t counter, uint32_t pw, uint32_t ph, uint32_t sw, uint32_t sh, Look look) {
  Bytes b(14);
  b[0] = 'F';
  StoreBe32(b.data() + 1, counter);
  StoreBe16(b.data() + 5, static_cast<uint16_t>(pw));
  StoreBe16(b.data() + 7, static_cast<uint16_t>(ph));
  StoreBe16(b.data() + 9, static_cast<uint16_t>(sw));
  StoreBe16(b.data() + 11, static_cast<uint16_t>(sh));
  b[13] = static_cast<uint8_t>(look);
  return b;
}

struct DecodeLog {
  std::mutex mu;
  std::vector<uint32_t> counters;  // in decoding order
  std::vector<SimCodec> made;      // decoders made
};

class ScriptedDecoder final : public IVideoDecoder {
 public:
  explicit ScriptedDecoder(DecodeLog* log) : log_(log) {}
  DecodeStatus Decode(const uint8_t* data, size_t length, DecodedPicture* picture, std::string* why) override {
    if (length != 14 || data[0] != 'F') {
      *why = "not a scripted unit";
      return DecodeStatus::kFailed;
    }
    const uint32_t counter = LoadBe32(data + 1);
    const uint32_t pw = LoadBe16(data + 5), ph = LoadBe16(data + 7);
    const uint32_t sw = LoadBe16(data + 9), sh = LoadBe16(data + 11);
    const Look look = static_cast<Look>(data[13]);
    {
      std::lock_guard<std::mutex> lock(log_->mu);
      log_->counters.push_back(counter);
    }
    if (look == Look::kFail) {
      *why = "scripted failure";
      return DecodeStatus::kFailed;
    }
    if (look == Look::kNoPicture) return DecodeStatus::kNoPicture;
    const uint32_t stride = pw + 16;
    plane_.assign(static_cast<size_t>(stride) * ph, 128);
    if (look != Look::kGrey) TestPatternLuma(sw, sh, pw, ph).Build(counter, plane_.data(), stride);
    if (look == Look::kInverted) {
      // The blocks stay, the bands below them are turned over.
      for (uint32_t y = ph * 3 / 4; y < ph; ++y) {
        for (uint32_t x = 0; x < pw; ++x) plane_[static_cast<size_t>(y) * stride + x] ^= 0xFF;
      }
    }
    *picture = DecodedPicture{pw, ph, plane_.data(), stride};
    return DecodeStatus::kPicture;
  }

 private:
  DecodeLog* log_;
  std::vector<uint8_t> plane_;
};

VideoConfig ScriptedConfig(DecodeLog* log, bool check = true) {
  VideoConfig config;
  config.check_picture = check;
  config.make_decoder = [log](SimCodec codec, std::string*) -> std::unique_ptr<IVideoDecoder> {
    std::lock_guard<std::mutex> lock(log->mu);
    log->made.push_back(codec);
    return std::make_unique<ScriptedDecoder>(log);
  };
  return config;
}

// A stream of scripted units, picture counters from 1: K keyframe, k a
// keyframe given up, C the host's copy of the last keyframe (its picture
// again), P another frame, L one given up, X one that does not decode.
std::vector<ResolvedUnit> Stream(const std::string& events, uint32_t pw = 320, uint32_t ph = 180) {
  std::vector<ResolvedUnit> out;
  uint32_t seq = 100;
  uint32_t counter = 0;
  uint64_t last_key_ts = 0;
  for (const char e : events) {
    ResolvedUnit u;
    u.base = seq;
    u.count = 2;
    seq += 2;
    ++counter;
    u.timestamp_us = 1'000'000'000ull + counter * 33'333ull;
    u.complete = e != 'L' && e != 'k';
    u.keyframe = e == 'K' || e == 'k' || e == 'C';
    if (e == 'K' || e == 'k') last_key_ts = u.timestamp_us;
    if (e == 'C') {
      u.timestamp_us = last_key_ts;
      --counter;
    }
    if (u.complete) u.bytes = Script(counter, pw, ph, pw, ph, e == 'X' ? Look::kFail : Look::kExact);
    out.push_back(std::move(u));
  }
  return out;
}

TEST(VideoReceiver, SkipsToTheNextKeyframeAfterALossDecodesCopiesOnceAndAsksOnce) {
  const struct {
    const char* events;
    std::vector<uint32_t> fed;  // picture counters that reached the decoder, in order
    uint64_t skipped;
    uint64_t copies;
    uint64_t requests;
    uint64_t errors;
  } cases[] = {
      {"KPPP", {1, 2, 3, 4}, 0, 0, 0, 0},
      {"KCPP", {1, 2, 3}, 0, 1, 0, 0},         // the copy is not decoded again
      {"KPLPPKP", {1, 2, 6, 7}, 2, 0, 1, 0},   // skip to the keyframe after a loss, one request
      {"KPLPLPKP", {1, 2, 7, 8}, 2, 0, 1, 0},  // a second loss while waiting asks no more
      {"kCPP", {1, 2, 3}, 0, 0, 1, 0},         // the lost keyframe's copy ends the wait
      {"KLCPKP", {1, 4, 5}, 1, 1, 1, 0},       // a copy of a decoded keyframe does not
      {"PPKP", {3, 4}, 2, 0, 0, 0},            // the stream's first units wait without asking
      {"KXPPKP", {1, 2, 5, 6}, 2, 0, 1, 1},    // a unit that does not decode is a loss too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events);
    ManualClock clock;
    DecodeLog log;
    VideoReceiver video(ScriptedConfig(&log), clock);
    video.SetNegotiated(1, 320, 180);
    video.OnStreamStarted(320, 180, clock.TickMs());
    uint64_t requests_taken = 0;
    for (const ResolvedUnit& u : Stream(c.events)) {
      video.OnUnit(u);
      requests_taken += video.TakeKeyframeRequest() ? 1 : 0;
      clock.AdvanceMs(33);
    }
    const VideoCounters& n = video.counters();
    EXPECT_EQ(log.counters, c.fed);
    EXPECT_EQ(n.decoded, c.fed.size() - c.errors);
    EXPECT_EQ(n.skipped_to_keyframe, c.skipped);
    EXPECT_EQ(n.copies_skipped, c.copies);
    EXPECT_EQ(n.keyframe_requests, c.requests);
    EXPECT_EQ(requests_taken, c.requests);
    EXPECT_EQ(n.decode_errors, c.errors);
    EXPECT_EQ(n.picture_ok, n.decoded);
    EXPECT_EQ(n.picture_bad, 0u);
    EXPECT_EQ(n.mismatched, c.errors);
    EXPECT_EQ(log.made, std::vector<SimCodec>{SimCodec::kH264});
  }
}

TEST(VideoReceiver, AsksAgainAfterASecondWithoutAKeyframe) {
  ManualClock clock;
  DecodeLog log;
  VideoReceiver video(ScriptedConfig(&log), clock);
  video.OnStreamStarted(320, 180, clock.TickMs());
  const std::vector<ResolvedUnit> units = Stream("KL" + std::string(50, 'P'));
  uint64_t taken = 0;
  for (const ResolvedUnit& u : units) {
    video.OnUnit(u);
    taken += video.TakeKeyframeRequest() ? 1 : 0;
    clock.AdvanceMs(40);  // 50 P-frames: 2 s of waiting, asked at 0, 1 and 2 s
  }
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(video.counters().keyframe_requests, 3u);
}

TEST(VideoReceiver, ChecksEveryPictureAgainstThePatternItCarries) {
  const struct {
    const char* name;
    uint32_t pw, ph;    // the picture
    uint32_t sw, sh;    // the source the picture was made from
    Look look;
    uint32_t stream_sw, stream_sh;  // StreamStarted
    bool ok;
    bool unreadable;
    bool wrong_size;
  } cases[] = {
      {"exact", 320, 180, 320, 180, Look::kExact, 320, 180, true, false, false},
      {"letterboxed from a larger source", 320, 180, 640, 480, Look::kExact, 640, 480, true, false, false},
      {"no source size: the picture's own", 320, 180, 320, 180, Look::kExact, 0, 0, true, false, false},
      {"grey: no counter", 320, 180, 320, 180, Look::kGrey, 320, 180, false, true, false},
      {"the bands are wrong", 320, 180, 320, 180, Look::kInverted, 320, 180, false, false, false},
      {"shown through the wrong letterbox", 320, 180, 320, 180, Look::kExact, 640, 480, false, true, false},
      {"not the negotiated size", 160, 90, 320, 180, Look::kExact, 320, 180, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    DecodeLog log;
    VideoReceiver video(ScriptedConfig(&log), clock);
    video.SetNegotiated(1, 320, 180);
    video.OnStreamStarted(c.stream_sw, c.stream_sh, clock.TickMs());
    ResolvedUnit u = Unit(10, 1);
    u.keyframe = true;
    u.bytes = Script(77, c.pw, c.ph, c.sw, c.sh, c.look);
    video.OnUnit(u);
    const VideoCounters& n = video.counters();
    EXPECT_EQ(n.decoded, 1u);
    EXPECT_EQ(n.picture_ok, c.ok ? 1u : 0u);
    EXPECT_EQ(n.picture_bad, c.ok ? 0u : 1u);
    EXPECT_EQ(n.mismatched, n.picture_bad);
    EXPECT_EQ(n.counter_unreadable, c.unreadable ? 1u : 0u);
    EXPECT_EQ(n.size_mismatches, c.wrong_size ? 1u : 0u);
    const VideoSummary s = video.Summary();
    if (c.ok) {
      EXPECT_EQ(s.psnr_min, kPsnrIdenticalDb);
    } else if (!c.unreadable && !c.wrong_size) {
      EXPECT_LT(s.psnr_min, kPictureBadBelowDb);
    }
  }

  // Without the check the pictures are only counted; the size still is.
  ManualClock clock;
  DecodeLog log;
  VideoReceiver unchecked(ScriptedConfig(&log, false), clock);
  unchecked.SetNegotiated(1, 320, 180);
  unchecked.OnStreamStarted(320, 180, clock.TickMs());
  ResolvedUnit u = Unit(10, 1);
  u.keyframe = true;
  u.bytes = Script(1, 160, 90, 160, 90, Look::kGrey);
  unchecked.OnUnit(u);
  EXPECT_EQ(unchecked.counters().decoded, 1u);
  EXPECT_EQ(unchecked.counters().picture_bad + unchecked.counters().picture_ok + unchecked.counters().mismatched, 0u);
  EXPECT_EQ(unchecked.counters().size_mismatches, 1u);
}

TEST(VideoReceiver, AResizeAcceptsTheNewSizeAndTheOldOneUntilTheNewOneShows) {
  ManualClock clock;
  DecodeLog log;
  VideoReceiver video(ScriptedConfig(&log), clock);
  video.SetNegotiated(1, 320, 180);
  video.OnStreamStarted(320, 180, clock.TickMs());
  uint32_t seq = 0;
  uint32_t counter = 0;
  auto picture = [&](uint32_t w, uint32_t h, bool keyframe) {
    ResolvedUnit u = Unit(seq++, 1);
    u.keyframe = keyframe;
    u.timestamp_us = 5000 + seq;
    u.bytes = Script(++counter, w, h, 320, 180, Look::kExact);
    video.OnUnit(u);
    return video.counters().picture_bad;
  };
  EXPECT_EQ(picture(320, 180, true), 0u);
  video.OnStreamResize(240, 135);
  EXPECT_EQ(picture(320, 180, false), 0u);  // encoded before the change
  EXPECT_EQ(picture(240, 135, true), 0u);
  EXPECT_EQ(picture(240, 135, false), 0u);
  EXPECT_EQ(picture(320, 180, false), 0u);  // the negotiated size always counts
  EXPECT_EQ(picture(160, 90, false), 1u);
  video.OnStreamResize(160, 90);
  EXPECT_EQ(picture(240, 135, false), 1u);  // the size before, until the new one shows
  EXPECT_EQ(picture(160, 90, true), 1u);
  EXPECT_EQ(picture(240, 135, false), 2u);  // now it is gone
  EXPECT_EQ(video.counters().size_mismatches, 2u);
  EXPECT_EQ(video.counters().picture_ok, 7u);
  // The first picture of each new size is told, after the first one at all.
  std::vector<std::string> told;
  for (const std::string& note : video.TakeNotes()) {
    if (note.rfind("[Sim] Video: first picture", 0) == 0) told.push_back(note);
  }
  EXPECT_EQ(told, (std::vector<std::string>{
                      "[Sim] Video: first picture decoded: 320x180 h264 keyframe=yes ts=5001",
                      "[Sim] Video: first picture decoded after StreamResize: 240x135 h264 keyframe=yes ts=5003",
                      "[Sim] Video: first picture decoded after StreamResize: 160x90 h264 keyframe=yes ts=5008",
                  }));
  const std::string details = VideoDetailsLine(video.Summary());
  EXPECT_NE(details.find(" left_at_end=0 picture_sizes=320x180:3,240x135:4,160x90:2"), std::string::npos) << details;

  // A resize to the size already expected still tells its first picture.
  video.OnStreamResize(160, 90);
  picture(160, 90, false);
  ASSERT_EQ(video.TakeNotes(), std::vector<std::string>{
                                   "[Sim] Video: first picture decoded after StreamResize: 160x90 h264 keyframe=no "
                                   "ts=5010"});
}

TEST(VideoReceiver, CountsPicturesBySizeUpToALimit) {
  ManualClock clock;
  DecodeLog log;
  VideoReceiver video(ScriptedConfig(&log, false), clock);
  EXPECT_NE(VideoDetailsLine(video.Summary()).find(" picture_sizes=none"), std::string::npos);
  uint32_t seq = 0;
  for (uint32_t i = 0; i < kMaxPictureSizesCounted + 2; ++i) {
    ResolvedUnit u = Unit(seq++, 1);
    u.keyframe = true;
    u.timestamp_us = 9000 + seq;
    u.bytes = Script(i + 1, 64 + 16 * i, 36, 64, 36, Look::kExact);
    video.OnUnit(u);
  }
  const VideoSummary s = video.Summary();
  ASSERT_EQ(s.picture_sizes.size(), kMaxPictureSizesCounted);
  EXPECT_EQ(s.other_sizes, 2u);
  const std::string details = VideoDetailsLine(s);
  EXPECT_EQ(details.substr(details.find(" picture_sizes=")),
            " picture_sizes=64x36:1,80x36:1,96x36:1,112x36:1,128x36:1,144x36:1,160x36:1,176x36:1,other:2")
      << details;
}

TEST(VideoReceiver, FollowsTheCodecTheKeyframesShowAndCountsUnitsItCannotDecode) {
  ManualClock clock;
  DecodeLog log;
  VideoReceiver video(ScriptedConfig(&log), clock);
  video.SetNegotiated(1, 320, 180);
  video.OnStreamStarted(320, 180, clock.TickMs());
  ResolvedUnit hevc = Unit(0, 1);
  hevc.keyframe = true;
  hevc.bytes = {0, 0, 0, 1, 0x40, 0x01, 0x0C};  // a VPS
  video.OnUnit(hevc);
  EXPECT_EQ(log.made, std::vector<SimCodec>{SimCodec::kHevc});
  EXPECT_EQ(video.counters().decode_errors, 1u);  // the scripted decoder takes none of it

  // A run without a decoder counts video it cannot check as mismatched.
  VideoConfig none;
  VideoReceiver blind(none, clock);
  ResolvedUnit k = Unit(0, 1);
  k.keyframe = true;
  k.bytes = Script(1, 320, 180, 320, 180, Look::kExact);
  blind.OnUnit(k);
  ResolvedUnit synthetic = Unit(1, 1);
  synthetic.synthetic = true;
  blind.OnUnit(synthetic);
  EXPECT_EQ(blind.counters().undecodable, 1u);
  EXPECT_EQ(blind.counters().mismatched, 1u);
  EXPECT_EQ(blind.counters().synthetic, 1u);
  EXPECT_EQ(blind.Summary().decoder, "none");

  const struct {
    std::vector<uint8_t> bytes;
    SimCodec codec;
  } sniffs[] = {
      {{0, 0, 0, 1, 0x67, 0x64, 0x00}, SimCodec::kH264},  // SPS
      {{0, 0, 1, 0x09, 0xF0}, SimCodec::kH264},           // delimiter, three-byte start code
      {{0, 0, 0, 1, 0x65, 0x88}, SimCodec::kH264},        // IDR slice
      {{0, 0, 0, 1, 0x40, 0x01}, SimCodec::kHevc},        // VPS
      {{0, 0, 0, 1, 0x46, 0x01, 0x10}, SimCodec::kHevc},  // delimiter
      {{0, 0, 0, 1, 0x26, 0x01}, SimCodec::kHevc},        // IDR_W_RADL
      {{0, 0, 0, 1, 0x41, 0x9A}, SimCodec::kUnknown},     // a P slice says nothing
      {{1, 2, 3, 4}, SimCodec::kUnknown},
      {{0, 0, 0, 1}, SimCodec::kUnknown},
  };
  for (const auto& s : sniffs) EXPECT_EQ(SniffCodec(s.bytes.data(), s.bytes.size()), s.codec);
}

TEST(VideoReceiver, SummarisesFramesTimesAndQuality) {
  ManualClock clock(10'000);
  DecodeLog log;
  VideoReceiver video(ScriptedConfig(&log), clock);
  video.SetNegotiated(1, 320, 180);
  video.OnStreamStarted(320, 180, clock.TickMs());
  clock.AdvanceMs(120);
  uint32_t seq = 0;
  for (uint32_t i = 0; i < 31; ++i) {
    ResolvedUnit u = Unit(seq, 2);
    seq += 2;
    u.keyframe = i == 0;
    // Sent 5 ms before it is decoded (i = 30: 15 ms, the slowest).
    u.timestamp_us = static_cast<uint64_t>(clock.NowUs()) - (i == 30 ? 15'000 : 5'000);
    u.bytes = Script(i + 1, 320, 180, 320, 180, i == 30 ? Look::kInverted : Look::kExact);
    if (i == 20) video.OnStop(clock.TickMs());
    if (i == 25) video.OnStop(clock.TickMs() + 500);  // the first stop of the stream counts
    video.OnUnit(u);
    clock.AdvanceMs(i == 29 ? 40 : 20);
  }
  const VideoSummary s = video.Summary();
  EXPECT_EQ(s.counters.decoded, 31u);
  EXPECT_EQ(s.counters.keyframes, 1u);
  EXPECT_EQ(s.first_frame_ms, 120);
  EXPECT_DOUBLE_EQ(s.fps, 30.0 * 1000.0 / 620.0);
  EXPECT_DOUBLE_EQ(s.latency_p50_ms, 5.0);
  EXPECT_DOUBLE_EQ(s.latency_p99_ms, 15.0);
  EXPECT_EQ(s.stop_to_last_ms, 220);  // pictures 20..30 after the stop at picture 20
  EXPECT_EQ(s.counters.picture_ok, 30u);
  EXPECT_EQ(s.counters.picture_bad, 1u);
  EXPECT_LT(s.psnr_min, kPictureBadBelowDb);
  EXPECT_NEAR(s.psnr_avg, (30 * kPsnrIdenticalDb + s.psnr_min) / 31, 1e-9);

  VideoSummary fixed;
  fixed.counters.decoded = 300;
  fixed.counters.keyframes = 7;
  fixed.counters.picture_ok = 299;
  fixed.counters.picture_bad = 1;
  fixed.counters.skipped_to_keyframe = 4;
  fixed.counters.decode_errors = 2;
  fixed.fps = 29.96;
  fixed.first_frame_ms = 412;
  fixed.psnr_min = 31.234;
  fixed.psnr_avg = 38.5;
  fixed.latency_p50_ms = 12.25;
  fixed.latency_p99_ms = 30.0;
  fixed.stop_to_last_ms = 35;
  EXPECT_EQ(VideoSummaryLine(fixed),
            "[Sim] Video: decoded=300 fps=30.0 first_frame_ms=412 keyframes=7 picture_ok=299 picture_bad=1 "
            "psnr_min=31.23 psnr_avg=38.50 skipped_to_keyframe=4 decode_errors=2 latency_p50_ms=12.2 "
            "latency_p99_ms=30.0 stop_to_last_ms=35");
  const VideoSummary empty = VideoReceiver(ScriptedConfig(&log), clock).Summary();
  EXPECT_EQ(VideoSummaryLine(empty),
            "[Sim] Video: decoded=0 fps=0.0 first_frame_ms=-1 keyframes=0 picture_ok=0 picture_bad=0 psnr_min=0.00 "
            "psnr_avg=0.00 skipped_to_keyframe=0 decode_errors=0 latency_p50_ms=-1.0 latency_p99_ms=-1.0 "
            "stop_to_last_ms=-1");
  EXPECT_NE(VideoDetailsLine(s).find("[Sim] Video details: decoder=h264 units=31 "), std::string::npos);
}

TEST(VideoWorker, DecodesOnItsOwnThreadWhileTheSessionReadsAndDrainsAtClose) {
  DecodeLog log;
  VideoWorker worker(ScriptedConfig(&log), SystemClock());
  std::string error;
  ASSERT_TRUE(worker.Start(&error)) << error;
  worker.SetNegotiated(1, 320, 180);
  worker.OnStreamStarted(320, 180, SystemClock().TickMs());
  const uint64_t since = SystemClock().TickMs();
  std::vector<ResolvedUnit> units = Stream("KPPPPLPPPPKPPPPPPPPP");
  std::atomic<bool> done{false};
  uint64_t requests = 0;
  std::thread reader([&] {
    while (!done) {
      requests += worker.TakeKeyframeRequest() ? 1 : 0;
      (void)worker.Counters();
      (void)worker.TakeNotes();
      std::this_thread::yield();
    }
  });
  std::thread feeder([&] {
    for (ResolvedUnit& u : units) worker.OnUnit(std::move(u));
  });
  feeder.join();
  worker.OnStop(SystemClock().TickMs());
  worker.Close(60'000);
  done = true;
  reader.join();
  requests += worker.TakeKeyframeRequest() ? 1 : 0;
  const VideoSummary s = worker.Summary();
  EXPECT_EQ(s.counters.decoded, 15u);
  EXPECT_EQ(s.counters.skipped_to_keyframe, 4u);
  EXPECT_EQ(s.counters.picture_ok, 15u);
  EXPECT_EQ(s.counters.left_at_end, 0u);
  EXPECT_EQ(requests, 1u);
  EXPECT_TRUE(worker.KeyframeDecodedSince(since).has_value());
  EXPECT_FALSE(worker.KeyframeDecodedSince(SystemClock().TickMs() + 60'000).has_value());
  // Nothing is taken after Close.
  worker.OnUnit(std::move(Stream("K")[0]));
  EXPECT_EQ(worker.Summary().counters.units, 20u);
}

// ------------------------------------------------------ real video

// The fragments of one access unit, cut as the host cuts them.
std::vector<Bytes> Fragments(uint32_t first_sequence, uint64_t timestamp_us, bool keyframe, const Bytes& au) {
  const size_t count = media::FragmentCount(au.size());
  std::vector<Bytes> out;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = i * media::kMaxPayloadBytes;
    const size_t n = std::min(media::kMaxPayloadBytes, au.size() - at);
    media::VideoHeader h;
    h.flags = i == 0 && keyframe ? media::kVideoFlagKeyframe : 0;
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

// Takes the ordered units straight into a receiver, as the worker would.
class DirectSink final : public IUnitSink {
 public:
  explicit DirectSink(VideoReceiver* video) : video_(video) {}
  void OnUnit(ResolvedUnit&& unit) override { video_->OnUnit(unit); }

 private:
  VideoReceiver* video_;
};

TEST(SimVideoDecoding, TheTestPatternEncodedByTheLibrariesIsDecodedInOrderAndChecked) {
  const struct {
    const char* name;
    TestPatternEncoderOptions encoder;
  } cases[] = {
      {"H.264, letterboxed", {SimCodec::kH264, 640, 480, 320, 180, 30, 1500}},
      {"H.264, 1080p shown at 720p", {SimCodec::kH264, 1920, 1080, 1280, 720, 30, 7000}},
      {"HEVC", {SimCodec::kHevc, 320, 180, 320, 180, 30, 1000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    std::unique_ptr<TestPatternEncoder> encoder = MakeTestPatternEncoder(c.encoder, &why);
    if (!encoder) GTEST_SKIP() << "no encoder: " << why;
    ManualClock clock;
    VideoConfig config;
    config.make_decoder = MakeBuildVideoDecoder;
    VideoReceiver video(config, clock);
    video.SetNegotiated(static_cast<uint32_t>(c.encoder.codec), c.encoder.width, c.encoder.height);
    video.OnStreamStarted(c.encoder.source_width, c.encoder.source_height, clock.TickMs());
    DirectSink sink(&video);
    MediaReceiverConfig receiver_config;
    receiver_config.units = &sink;
    receiver_config.max_fragments = 0;
    MediaReceiver receiver(receiver_config);

    // Pictures 1..12: a keyframe and its copy, P-frames, picture 7 loses a
    // fragment, a keyframe at 10. The fragments of pictures 3 and 4 arrive
    // the other way round.
    uint32_t seq = 5000;
    std::vector<std::vector<Bytes>> held;
    for (uint64_t n = 1; n <= 12; ++n) {
      const bool keyframe = n == 1 || n == 10;
      EncodedUnit au;
      ASSERT_TRUE(encoder->Encode(n, keyframe, &au, &why)) << why;
      ASSERT_EQ(au.keyframe, keyframe) << n;
      const uint64_t ts = static_cast<uint64_t>(clock.NowUs());
      const std::vector<Bytes> fragments = Fragments(seq, ts, keyframe, au.bytes);
      seq += static_cast<uint32_t>(fragments.size());
      if (n == 3) {
        held.push_back(fragments);
        continue;
      }
      const size_t skip = n == 7 ? fragments.size() - 1 : fragments.size();
      for (size_t i = 0; i < fragments.size(); ++i) {
        if (i != skip) receiver.OnDatagram(fragments[i], clock.TickMs());
      }
      if (n == 4) {
        for (const Bytes& f : held.back()) receiver.OnDatagram(f, clock.TickMs());
      }
      if (n == 1) {
        // The host's copy: the same unit under new sequence numbers.
        const std::vector<Bytes> copy = Fragments(seq, ts, true, au.bytes);
        seq += static_cast<uint32_t>(copy.size());
        for (const Bytes& f : copy) receiver.OnDatagram(f, clock.TickMs());
      }
      clock.AdvanceMs(33);
    }
    clock.AdvanceMs(2000);
    receiver.Poll(clock.TickMs());  // gives up picture 7, then the rest goes on

    const VideoCounters& n = video.counters();
    // Decoded: 1-6, 10-12. Skipped: 8 and 9. One copy, one request.
    EXPECT_EQ(n.decoded, 9u);
    EXPECT_EQ(n.keyframes, 2u);
    EXPECT_EQ(n.copies_skipped, 1u);
    EXPECT_EQ(n.given_up, 1u);
    EXPECT_EQ(n.skipped_to_keyframe, 2u);
    EXPECT_EQ(n.keyframe_requests, 1u);
    EXPECT_EQ(n.decode_errors, 0u);
    EXPECT_EQ(n.picture_ok, 9u);
    EXPECT_EQ(n.picture_bad, 0u);
    EXPECT_EQ(n.mismatched, 0u);
    EXPECT_EQ(receiver.counters().mismatched, 0u);
    // Picture 7 lost its last fragment: given up by the receiver, or, when
    // that was its only one, by the ordering as numbers of no unit.
    EXPECT_EQ(receiver.counters().incomplete + receiver.ordering().gaps, 1u);
    const VideoSummary s = video.Summary();
    EXPECT_GE(s.psnr_min, 30.0);
    EXPECT_EQ(s.decoder, SimCodecName(c.encoder.codec));
  }
}

TEST(SimVideoDecoding, TheSyntheticByteStreamIsRecognisedAndNotDecoded) {
  ManualClock clock;
  DecodeLog log;
  VideoReceiver video(ScriptedConfig(&log), clock);
  DirectSink sink(&video);
  MediaReceiverConfig config;
  config.units = &sink;
  MediaReceiver receiver(config);
  uint32_t seq = 0;
  for (uint64_t i = 0; i < 5; ++i) {
    const uint64_t ts = 7'000'000 + i * 16'667;
    const Bytes au = MakeSyntheticFrame(ts, i == 0, 3000);
    for (const Bytes& f : Fragments(seq, ts, i == 0, au)) receiver.OnDatagram(f, clock.TickMs());
    seq += 3;
  }
  EXPECT_EQ(video.counters().synthetic, 5u);
  EXPECT_EQ(video.counters().decoded, 0u);
  EXPECT_TRUE(log.made.empty());
  EXPECT_EQ(receiver.counters().mismatched, 0u);
}

}  // namespace
}  // namespace orvane::sim
