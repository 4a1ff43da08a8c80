#pragma once
// The tablet's audio: every Opus packet the host sends is decoded (48 kHz
// stereo, as the tablet announces), and the run's audio figures are kept:
//
//   - Sequence: numbers missing between the highest one and a newer one are
//     gaps; a packet behind the highest that was not seen fills one (late); a
//     number seen recently again is a duplicate (not taken); a jump of more
//     than kMaxAudioSequenceJump either way is a new numbering (restart).
//   - Presentation time: between packets in sequence order the time must
//     advance by 20000 us per sequence number; other steps are counted and
//     the one farthest from that is kept.
//   - Tone: the left channel of the decoded PCM in sequence order, its upward
//     zero crossings (with hysteresis, so that noise near zero does not
//     count), interpolated between samples. A run of crossings ends at a
//     break of the stream (gap, late packet, step, restart), at a silence
//     (no crossing for kToneMaxPeriodSamples) or after a second; each run of
//     at least kToneMinRunSamples gives a frequency, and the run's tone is the
//     median of them.
//   - A/V offset: a packet's presentation time minus the newest video
//     timestamp received before it (both are host clock microseconds).
//   - Gap: the longest pause between two arrivals, when it lasts at least
//     kAudioGapMs (a suspended sound device, say). From the first packet after
//     it: its offset, its presentation time step, and how long it took until
//     a packet's offset was within kAvOffsetGoodMs again.
//   - Packets per second over the span between the first and last arrival.
//
// Memory is bounded: offsets are sampled (reservoir) beyond
// kMaxAudioOffsetSamples, tone runs beyond kMaxToneRuns are not kept.
// Time comes in as arguments. Not synchronised: the owner holds its lock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/security/crypto.h"
#include "host/transport/media_packet.h"

struct OpusDecoder;

namespace orvane::sim {

inline constexpr int kAudioSampleRate = 48000;
inline constexpr int kAudioChannels = 2;
// The presentation time step of one packet.
inline constexpr int64_t kAudioFrameUs = 20000;
// The longest Opus packet: 120 ms.
inline constexpr int kMaxOpusFrameSamples = kAudioSampleRate * 120 / 1000;
// A sequence number this far from the highest one is a new numbering.
inline constexpr uint32_t kMaxAudioSequenceJump = 1024;
// Recent sequence numbers remembered for duplicates; a power of two.
inline constexpr size_t kAudioSequenceRing = 1024;
// A pause between arrivals of at least this long is a gap.
inline constexpr uint64_t kAudioGapMs = 200;
// The A/V offset that counts as in step.
inline constexpr double kAvOffsetGoodMs = 80;
inline constexpr size_t kMaxAudioOffsetSamples = 65536;
// Tone measurement: crossings count after the signal went below minus this;
// a run lasts at most a second, counts from 0.2 s, and ends after 25 ms
// without a crossing (nothing below 40 Hz is a tone here).
inline constexpr int kToneHysteresis = 300;
inline constexpr uint32_t kToneMaxRunSamples = kAudioSampleRate;
inline constexpr uint32_t kToneMinRunSamples = kAudioSampleRate / 5;
inline constexpr uint32_t kToneMaxPeriodSamples = kAudioSampleRate / 40;
inline constexpr size_t kMaxToneRuns = 4096;
// Lines of one kind worth printing per run.
inline constexpr uint32_t kMaxAudioNotesPerKind = 5;

// The frequency of a tone in PCM by its zero crossings (see above).
class ToneMeter {
 public:
  // Interleaved samples; the first channel is measured.
  void Add(const int16_t* samples, size_t frames, int channels);
  // The stream broke here: the current run ends.
  void Break();
  // The median of the runs' frequencies (the current run included); 0 when
  // no run was long enough.
  double MedianHz() const;
  size_t runs() const;

 private:
  void EndRun();
  std::optional<double> RunHz() const;

  std::vector<double> runs_hz_;
  uint64_t at_ = 0;  // samples since the run began
  int prev_ = 0;
  bool have_prev_ = false;
  bool armed_ = false;  // went below -kToneHysteresis since the last crossing
  uint32_t crossings_ = 0;
  double first_ = 0;  // crossing positions in samples since the run began
  double last_ = 0;
};

struct AudioGap {
  uint64_t pause_ms = 0;         // between the arrivals around it
  uint64_t at_ms = 0;            // arrival of the first packet after it
  int64_t pts_step_us = 0;       // from the packet before (0: not in sequence order)
  std::optional<double> first_offset_ms;  // of the first packet after it
  std::optional<uint64_t> back_in_step_ms;  // until a packet's offset was within kAvOffsetGoodMs
};

// Everything the run's audio line prints.
struct AudioSummary {
  uint64_t packets = 0;  // taken (duplicates not included)
  uint64_t decoded = 0;
  uint64_t decode_errors = 0;
  uint64_t duration_other = 0;  // decoded to another length than the duration byte says
  uint64_t duplicates = 0;
  uint64_t late = 0;
  uint64_t sequence_gaps = 0;  // sequence numbers missing at the end
  uint64_t sequence_restarts = 0;
  uint64_t pts_steps = 0;
  uint64_t pts_steps_other = 0;
  int64_t farthest_step_us = 0;  // the step farthest from 20000 us per number (0: no step)
  double packets_per_second = 0;
  double tone_hz = 0;
  size_t tone_runs = 0;
  uint64_t without_video = 0;  // packets before any video timestamp (no offset)
  std::optional<double> offset_median_ms;
  std::optional<double> offset_min_ms;
  std::optional<double> offset_max_ms;
  std::optional<AudioGap> gap;
};

class AudioReceiver {
 public:
  AudioReceiver();
  ~AudioReceiver();
  AudioReceiver(const AudioReceiver&) = delete;
  AudioReceiver& operator=(const AudioReceiver&) = delete;

  // A video fragment with this timestamp arrived.
  void OnVideoTimestamp(uint64_t timestamp_us);
  // One audio packet: its parsed header and its Opus payload.
  void OnPacket(const media::AudioHeader& header, crypto::ByteView payload, uint64_t now_ms);

  AudioSummary Summary() const;
  // Lines worth printing (the first packet, the first few decode errors and
  // restarts); taken once.
  std::vector<std::string> TakeNotes();

 private:
  struct DecoderDeleter {
    void operator()(OpusDecoder* decoder) const;
  };
  enum class Order { kFirst, kNext, kLate, kDuplicate, kRestart };
  // Where the packet stands in the numbering; *ahead: how far past the
  // highest number it is (kNext).
  Order Place(uint32_t sequence, uint32_t* ahead);
  void Remember(uint32_t sequence);
  // Decoded samples per channel into pcm_, or -1 (counted and noted).
  int Decode(const media::AudioHeader& header, crypto::ByteView payload);
  void AddOffset(double ms);
  void Note(const std::string& line, uint32_t* count);

  std::unique_ptr<OpusDecoder, DecoderDeleter> decoder_;
  bool decoder_failed_ = false;
  std::vector<int16_t> pcm_;
  AudioSummary counts_;  // the counters; the figures are made by Summary

  uint32_t highest_ = 0;
  uint32_t lowest_ = 0;  // the first number of the numbering (or a late one before it)
  std::array<uint32_t, kAudioSequenceRing> ring_{};
  std::array<bool, kAudioSequenceRing> ring_valid_{};
  uint64_t previous_pts_ = 0;
  uint64_t farthest_deviation_us_ = 0;

  uint64_t first_ms_ = 0;
  uint64_t last_ms_ = 0;
  bool have_video_ = false;
  uint64_t newest_video_us_ = 0;

  std::vector<double> offsets_;
  uint64_t offsets_seen_ = 0;
  uint64_t sample_state_ = 0x853C49E6748FEA9Bull;
  double offset_min_ms_ = 0;
  double offset_max_ms_ = 0;
  bool tracking_gap_ = false;

  ToneMeter tone_;
  bool first_noted_ = false;
  uint32_t error_notes_ = 0;
  uint32_t restart_notes_ = 0;
  std::vector<std::string> notes_;
};

// "[Sim] Audio: packets=N pps=50.0 seq_gaps=0 pts_steps_other=0
// (max_step_us=20000) tone_hz=1000.0 av_offset_ms median=M max=M min=M
// after_gap_ms=none decode_errors=0 ..." (after_gap_ms=N|never (gap_pause_ms=N
// gap_pts_step_us=N first_offset_ms=M) with a gap), or "[Sim] Audio: none"
// when no audio packet arrived.
std::string AudioSummaryLine(const AudioSummary& summary);

}  // namespace orvane::sim
