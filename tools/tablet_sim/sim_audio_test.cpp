// The tablet's audio figures: tone frequency by zero crossings, and packets
// of a tone encoded here with libopus, fed with scripted sequence numbers,
// presentation times, arrival times and video timestamps.

#include "tools/tablet_sim/sim_audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "host/transport/media_packet.h"
#include "tools/tablet_sim/sim_media.h"
#include "tools/tablet_sim/testing/opus_tone.h"

namespace orvane::sim {
namespace {

using crypto::Bytes;
using crypto::ByteView;

constexpr int kFrame = 960;  // 20 ms at 48 kHz

const std::vector<Bytes>& Tone1k() {
  static const std::vector<Bytes> packets = OpusTonePackets(1000, 200, 0.3);
  return packets;
}

media::AudioHeader Header(uint32_t sequence, uint64_t pts) {
  media::AudioHeader h;
  h.duration_ms = 20;
  h.sequence = sequence;
  h.timestamp = pts;
  return h;
}

// One scripted arrival: a video timestamp first when video_us is not 0.
struct Arrival {
  uint32_t sequence;
  uint64_t pts;
  uint64_t at_ms;
  uint64_t video_us;
};

// The payloads follow the tone from packet `from` on.
void Feed(AudioReceiver& receiver, const std::vector<Arrival>& arrivals, size_t from = 0) {
  for (size_t i = from; i < arrivals.size(); ++i) {
    const Arrival& a = arrivals[i];
    if (a.video_us != 0) receiver.OnVideoTimestamp(a.video_us);
    receiver.OnPacket(Header(a.sequence, a.pts), Tone1k()[i % Tone1k().size()], a.at_ms);
  }
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

constexpr uint64_t kPts0 = 5'000'000'000;  // host clock us (about 83 minutes of uptime)

// n packets every 20 ms from sequence number `first`, each after a video
// timestamp `offset_ms` before its pts.
std::vector<Arrival> Steady(uint32_t first, size_t n, uint64_t pts, uint64_t at_ms, int64_t offset_ms) {
  std::vector<Arrival> out;
  for (size_t k = 0; k < n; ++k) {
    const uint64_t p = pts + k * 20'000;
    out.push_back({first + static_cast<uint32_t>(k), p, at_ms + k * 20,
                   static_cast<uint64_t>(static_cast<int64_t>(p) - offset_ms * 1000)});
  }
  return out;
}

TEST(ToneMeter, MeasuresTheFrequencyOfPcm) {
  struct Case {
    const char* name;
    double hz;
    double amplitude;
    double seconds;
    double expected_hz;  // 0: no tone
    size_t runs;
  };
  const Case cases[] = {
      {"1 kHz", 1000, 0.3, 3, 1000, 3},
      {"440 Hz, quiet", 440, 0.05, 2, 440, 2},
      {"7.5 kHz", 7500, 0.5, 1.5, 7500, 2},
      {"below the hysteresis: no tone", 1000, 0.005, 2, 0, 0},
      {"too short for a run", 1000, 0.3, 0.15, 0, 0},
      {"below 40 Hz is no tone", 30, 0.5, 2, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToneMeter meter;
    uint64_t phase = 0;
    const std::vector<int16_t> pcm = SinePcm(c.hz, static_cast<size_t>(c.seconds * 48000), c.amplitude, &phase);
    // In packets of 20 ms, as decoded.
    for (size_t at = 0; at < pcm.size() / 2; at += kFrame) {
      meter.Add(pcm.data() + 2 * at, std::min<size_t>(kFrame, pcm.size() / 2 - at), 2);
    }
    EXPECT_NEAR(meter.MedianHz(), c.expected_hz, 0.05);
    EXPECT_EQ(meter.runs(), c.runs);
  }
}

TEST(ToneMeter, SilenceAndBreaksEndRunsWithoutBendingTheTone) {
  ToneMeter meter;
  uint64_t phase = 0;
  std::vector<int16_t> tone = SinePcm(1000, 24000, 0.3, &phase);
  meter.Add(tone.data(), 24000, 2);
  const std::vector<int16_t> silence(2 * 48000, 0);
  meter.Add(silence.data(), 48000, 2);  // a second of silence between two halves
  tone = SinePcm(1000, 24000, 0.3, &phase);
  meter.Add(tone.data(), 12000, 2);
  meter.Break();  // and a break of the stream in the second half
  meter.Add(tone.data() + 24000, 12000, 2);
  EXPECT_EQ(meter.runs(), 3u);
  EXPECT_NEAR(meter.MedianHz(), 1000, 0.05);
}

TEST(AudioReceiver, SteadyToneDecodesWithEveryFigureInStep) {
  ASSERT_EQ(Tone1k().size(), 200u) << "libopus encodes the tone";
  AudioReceiver receiver;
  const std::vector<Arrival> arrivals = Steady(7, 150, kPts0, 1000, 30);
  std::vector<Arrival> head(arrivals.begin(), arrivals.begin() + 100);
  Feed(receiver, head);
  // A resent video fragment with an older timestamp is not the newest.
  receiver.OnVideoTimestamp(arrivals[100].video_us);
  receiver.OnVideoTimestamp(arrivals[100].pts - 500'000);
  std::vector<Arrival> rest = arrivals;
  rest[100].video_us = 0;
  Feed(receiver, rest, 100);

  const AudioSummary s = receiver.Summary();
  EXPECT_EQ(s.packets, 150u);
  EXPECT_EQ(s.decoded, 150u);
  EXPECT_EQ(s.decode_errors, 0u);
  EXPECT_EQ(s.duration_other, 0u);
  EXPECT_DOUBLE_EQ(s.packets_per_second, 50.0);
  EXPECT_EQ(s.sequence_gaps, 0u);
  EXPECT_EQ(s.pts_steps, 149u);
  EXPECT_EQ(s.pts_steps_other, 0u);
  EXPECT_EQ(s.farthest_step_us, 20'000);
  EXPECT_NEAR(s.tone_hz, 1000, 1.0);
  EXPECT_GE(s.tone_runs, 2u);
  ASSERT_TRUE(s.offset_median_ms && s.offset_max_ms && s.offset_min_ms);
  EXPECT_DOUBLE_EQ(*s.offset_median_ms, 30.0);
  EXPECT_DOUBLE_EQ(*s.offset_min_ms, 30.0);
  EXPECT_DOUBLE_EQ(*s.offset_max_ms, 30.0);
  EXPECT_EQ(s.without_video, 0u);
  EXPECT_FALSE(s.gap.has_value());

  const std::vector<std::string> notes = receiver.TakeNotes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "[Sim] Audio: first packet seq=7 pts=5000000000 duration_ms=20 " +
                          std::to_string(Tone1k()[0].size()) +
                          " bytes decoded=960 samples per channel av_offset_ms=30.0");
  EXPECT_TRUE(receiver.TakeNotes().empty());
}

TEST(AudioReceiver, CountsGapsLateDuplicatesRestartsAndSteps) {
  ASSERT_EQ(Tone1k().size(), 200u) << "libopus encodes the tone";
  struct Case {
    const char* name;
    std::vector<uint32_t> sequences;
    std::vector<int64_t> pts_steps_us;  // from the packet before; empty: 20000 per number
    uint64_t packets, gaps, late, duplicates, restarts, steps_other;
    int64_t farthest_us;
  };
  const Case cases[] = {
      {"in order", {0, 1, 2, 3}, {}, 4, 0, 0, 0, 0, 0, 20'000},
      {"two missing", {0, 1, 2, 5, 6}, {}, 5, 2, 0, 0, 0, 0, 20'000},
      {"late one fills its gap", {0, 1, 3, 2, 4}, {}, 5, 0, 1, 0, 0, 0, 20'000},
      {"late before the first", {5, 4, 6}, {}, 3, 0, 1, 0, 0, 0, 20'000},
      {"duplicates not taken", {0, 1, 1, 2, 0}, {}, 3, 0, 0, 2, 0, 0, 20'000},
      {"across the wrap", {0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}, {}, 4, 0, 0, 0, 0, 0, 20'000},
      {"a new numbering", {100, 101, 102, 9000, 9001}, {}, 5, 0, 0, 0, 1, 0, 20'000},
      {"back beyond the window", {5000, 5001, 3000}, {}, 3, 0, 0, 0, 1, 0, 20'000},
      {"steps other than 20 ms", {0, 1, 2, 3, 4, 5}, {0, 20'000, 25'000, 20'000, -5'000, 19'999}, 6, 0, 0, 0, 0, 3,
       -5'000},
      {"a re-anchored jump", {0, 1, 2, 3}, {0, 20'000, 2'020'000, 20'000}, 4, 0, 0, 0, 0, 1, 2'020'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioReceiver receiver;
    std::vector<Arrival> arrivals;
    uint64_t pts = kPts0;
    for (size_t i = 0; i < c.sequences.size(); ++i) {
      if (!c.pts_steps_us.empty()) {
        pts = static_cast<uint64_t>(static_cast<int64_t>(pts) + c.pts_steps_us[i]);
      } else {
        // 20 ms per number from the first, across the wrap.
        const int64_t numbers = static_cast<int32_t>(c.sequences[i] - c.sequences[0]);
        pts = static_cast<uint64_t>(static_cast<int64_t>(kPts0) + numbers * 20'000);
      }
      arrivals.push_back({c.sequences[i], pts, 100 + 20 * i, 0});
    }
    Feed(receiver, arrivals);
    const AudioSummary s = receiver.Summary();
    EXPECT_EQ(s.packets, c.packets);
    EXPECT_EQ(s.sequence_gaps, c.gaps);
    EXPECT_EQ(s.late, c.late);
    EXPECT_EQ(s.duplicates, c.duplicates);
    EXPECT_EQ(s.sequence_restarts, c.restarts);
    EXPECT_EQ(s.pts_steps_other, c.steps_other);
    EXPECT_EQ(s.farthest_step_us, c.farthest_us);
    EXPECT_EQ(s.decode_errors, 0u);
    EXPECT_EQ(s.without_video, c.packets);
    EXPECT_FALSE(s.offset_median_ms.has_value());
  }
}

TEST(AudioReceiver, TheOffsetAfterAPauseComesBackOrNot) {
  ASSERT_EQ(Tone1k().size(), 200u) << "libopus encodes the tone";
  // 50 packets in step (offset 10 ms), a pause of 2 s while the video goes
  // on, then 50 more.
  struct Case {
    const char* name;
    uint32_t lagging;  // packets after the pause whose pts still lag by the pause
    uint64_t pause_ms;
    const char* after_gap;  // the line's after_gap_ms field
  };
  const Case cases[] = {
      {"re-anchored at once", 0, 2000,
       "after_gap_ms=0 (gap_pause_ms=2000 gap_pts_step_us=2020000 first_offset_ms=10.0)"},
      {"re-anchored after three packets", 3, 2000,
       "after_gap_ms=60 (gap_pause_ms=2000 gap_pts_step_us=20000 first_offset_ms=-1990.0)"},
      {"never re-anchored", 50, 2000,
       "after_gap_ms=never (gap_pause_ms=2000 gap_pts_step_us=20000 first_offset_ms=-1990.0)"},
      {"a short pause is no gap", 0, 150, "after_gap_ms=none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioReceiver receiver;
    std::vector<Arrival> arrivals = Steady(0, 50, kPts0, 0, 10);
    // The host's clock went on by the pause (plus the frame before it).
    const uint64_t resumed_pts = kPts0 + 50 * 20'000 + c.pause_ms * 1000;
    const uint64_t resumed_ms = 49 * 20 + c.pause_ms;
    for (uint32_t k = 0; k < 50; ++k) {
      const uint64_t real = resumed_pts + k * 20'000;
      const uint64_t pts = k < c.lagging ? kPts0 + (50 + k) * 20'000 : real;
      arrivals.push_back({50 + k, pts, resumed_ms + k * 20, real - 10'000});
    }
    Feed(receiver, arrivals);
    const AudioSummary s = receiver.Summary();
    EXPECT_EQ(s.sequence_gaps, 0u);
    EXPECT_EQ(s.packets, 100u);
    const std::string line = AudioSummaryLine(s);
    EXPECT_NE(line.find(std::string(" ") + c.after_gap + " decode_errors=0"), std::string::npos) << line;
    if (c.lagging == 50) {
      EXPECT_DOUBLE_EQ(*s.offset_min_ms, -1990.0);
      EXPECT_DOUBLE_EQ(*s.offset_max_ms, 10.0);
    }
    EXPECT_NEAR(s.tone_hz, 1000, 1.0);
  }
}

TEST(AudioReceiver, PacketsThatDoNotDecodeAreCountedAndNoted) {
  ASSERT_EQ(Tone1k().size(), 200u) << "libopus encodes the tone";
  AudioReceiver receiver;
  const Bytes zero_frames = {0x03, 0x00};  // code 3 with no frame: not a packet
  receiver.OnPacket(Header(1, kPts0), Tone1k()[0], 0);
  receiver.OnPacket(Header(2, kPts0 + 20'000), zero_frames, 20);
  receiver.OnPacket(Header(3, kPts0 + 40'000), ByteView(), 40);
  receiver.OnPacket(Header(4, kPts0 + 60'000), Tone1k()[1], 60);
  const AudioSummary s = receiver.Summary();
  EXPECT_EQ(s.packets, 4u);
  EXPECT_EQ(s.decoded, 2u);
  EXPECT_EQ(s.decode_errors, 2u);
  const std::vector<std::string> notes = receiver.TakeNotes();
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].rfind("[Sim] Audio: first packet seq=1 ", 0), 0u) << notes[0];
  EXPECT_TRUE(EndsWith(notes[0], " decoded=960 samples per channel av_offset_ms=none (no video yet)")) << notes[0];
  EXPECT_EQ(notes[1].rfind("[Sim] Audio: packet seq=2 (2 bytes) does not decode: ", 0), 0u) << notes[1];
  EXPECT_EQ(notes[2].rfind("[Sim] Audio: packet seq=3 (0 bytes) does not decode: ", 0), 0u) << notes[2];
}

TEST(AudioSummaryLine, PrintsEveryFigure) {
  EXPECT_EQ(AudioSummaryLine(AudioSummary{}), "[Sim] Audio: none");
  AudioSummary s;
  s.packets = 500;
  s.packets_per_second = 49.96;
  s.sequence_gaps = 1;
  s.pts_steps_other = 2;
  s.farthest_step_us = -4000;
  s.tone_hz = 1000.04;
  s.tone_runs = 9;
  s.offset_median_ms = 12.25;
  s.offset_max_ms = 40;
  s.offset_min_ms = -3.5;
  s.decode_errors = 3;
  s.duplicates = 4;
  s.late = 5;
  s.sequence_restarts = 6;
  s.duration_other = 7;
  s.without_video = 8;
  EXPECT_EQ(AudioSummaryLine(s),
            "[Sim] Audio: packets=500 pps=50.0 seq_gaps=1 pts_steps_other=2 (max_step_us=-4000) tone_hz=1000.0 "
            "av_offset_ms median=12.2 max=40.0 min=-3.5 after_gap_ms=none decode_errors=3 duplicates=4 late=5 "
            "seq_restarts=6 duration_other=7 without_video=8 tone_runs=9");
}

TEST(MediaReceiver, DecodesAudioAgainstTheVideoTimestamps) {
  ASSERT_EQ(Tone1k().size(), 200u) << "libopus encodes the tone";
  MediaReceiver receiver;
  uint8_t datagram[media::kMaxVideoDatagramBytes];
  const uint8_t video_payload[100] = {};
  for (uint32_t k = 0; k < 60; ++k) {
    const uint64_t pts = kPts0 + k * 20'000;
    // A one-fragment video unit 25 ms before each audio packet's pts.
    media::VideoHeader v;
    v.sequence = k;
    v.timestamp_us = pts - 25'000;
    v.count = 1;
    size_t n = media::WriteVideoFragment(v, ByteView(video_payload, sizeof video_payload), datagram);
    receiver.OnDatagram(ByteView(datagram, n), k * 20);
    n = media::WriteAudioPacket(Header(k, pts), Tone1k()[k], datagram);
    receiver.OnDatagram(ByteView(datagram, n), k * 20);
  }
  EXPECT_EQ(receiver.counters().audio, 60u);
  const AudioSummary s = receiver.audio().Summary();
  EXPECT_EQ(s.decoded, 60u);
  EXPECT_EQ(s.sequence_gaps, 0u);
  EXPECT_DOUBLE_EQ(*s.offset_median_ms, 25.0);
  EXPECT_NEAR(s.tone_hz, 1000, 1.0);
  bool noted = false;
  for (const std::string& note : receiver.TakeNotes()) {
    if (note.rfind("[Sim] Audio: first packet seq=0 ", 0) == 0) noted = true;
  }
  EXPECT_TRUE(noted);
}

}  // namespace
}  // namespace orvane::sim
