#include "tools/tablet_sim/sim_audio.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "host/common/printf_check.h"

namespace orvane::sim {
namespace {

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }
long long S(int64_t value) { return static_cast<long long>(value); }

std::string Format(const char* format, ...) ORVANE_PRINTF(1, 2);
std::string Format(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

std::string Ms(const std::optional<double>& ms) { return ms ? Format("%.1f", *ms) : std::string("none"); }

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 != 0) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

// |a - b| without overflow.
uint64_t Distance(int64_t a, int64_t b) {
  const uint64_t ua = static_cast<uint64_t>(a);
  const uint64_t ub = static_cast<uint64_t>(b);
  return a >= b ? ua - ub : ub - ua;
}

}  // namespace

// -------------------------------------------------------------- ToneMeter

void ToneMeter::Add(const int16_t* samples, size_t frames, int channels) {
  if (samples == nullptr || channels <= 0) return;
  for (size_t i = 0; i < frames; ++i, ++at_) {
    const int s = samples[i * static_cast<size_t>(channels)];
    if (crossings_ > 0 && static_cast<double>(at_) - last_ > kToneMaxPeriodSamples) EndRun();  // silence
    if (have_prev_) {
      if (s <= -kToneHysteresis) armed_ = true;
      if (armed_ && prev_ < 0 && s >= 0) {
        armed_ = false;
        const double position = static_cast<double>(at_ - 1) + static_cast<double>(-prev_) / (s - prev_);
        if (crossings_ == 0) first_ = position;
        last_ = position;
        ++crossings_;
        if (last_ - first_ >= kToneMaxRunSamples) EndRun();
      }
    } else if (s <= -kToneHysteresis) {
      armed_ = true;
    }
    prev_ = s;
    have_prev_ = true;
  }
}

void ToneMeter::Break() {
  EndRun();
  have_prev_ = false;
  armed_ = false;
}

std::optional<double> ToneMeter::RunHz() const {
  if (crossings_ < 3 || last_ - first_ < kToneMinRunSamples) return std::nullopt;
  return (crossings_ - 1) * static_cast<double>(kAudioSampleRate) / (last_ - first_);
}

void ToneMeter::EndRun() {
  const std::optional<double> hz = RunHz();
  if (hz && runs_hz_.size() < kMaxToneRuns) runs_hz_.push_back(*hz);
  crossings_ = 0;
}

size_t ToneMeter::runs() const { return runs_hz_.size() + (RunHz() ? 1 : 0); }

double ToneMeter::MedianHz() const {
  std::vector<double> all = runs_hz_;
  if (const std::optional<double> hz = RunHz()) all.push_back(*hz);
  return Median(std::move(all));
}

// ---------------------------------------------------------- AudioReceiver

void AudioReceiver::DecoderDeleter::operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }

AudioReceiver::AudioReceiver() : pcm_(static_cast<size_t>(kMaxOpusFrameSamples) * kAudioChannels) {}

AudioReceiver::~AudioReceiver() = default;

void AudioReceiver::OnVideoTimestamp(uint64_t timestamp_us) {
  // The host's video timestamps rise strictly; a resent fragment carries an
  // older one.
  if (!have_video_ || timestamp_us > newest_video_us_) newest_video_us_ = timestamp_us;
  have_video_ = true;
}

std::vector<std::string> AudioReceiver::TakeNotes() {
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

void AudioReceiver::Note(const std::string& line, uint32_t* count) {
  if (*count >= kMaxAudioNotesPerKind) return;
  ++*count;
  notes_.push_back(line);
}

void AudioReceiver::Remember(uint32_t sequence) {
  const size_t slot = sequence & (kAudioSequenceRing - 1);
  ring_[slot] = sequence;
  ring_valid_[slot] = true;
}

AudioReceiver::Order AudioReceiver::Place(uint32_t sequence, uint32_t* ahead) {
  *ahead = 0;
  if (counts_.packets == 0) {
    highest_ = sequence;
    lowest_ = sequence;
    Remember(sequence);
    return Order::kFirst;
  }
  const uint32_t forward = sequence - highest_;
  const uint32_t back = highest_ - sequence;
  if (forward == 0) return Order::kDuplicate;
  if (forward <= kMaxAudioSequenceJump) {
    counts_.sequence_gaps += forward - 1;
    highest_ = sequence;
    Remember(sequence);
    *ahead = forward;
    return Order::kNext;
  }
  if (back < kAudioSequenceRing) {
    const size_t slot = sequence & (kAudioSequenceRing - 1);
    if (ring_valid_[slot] && ring_[slot] == sequence) return Order::kDuplicate;
    Remember(sequence);
    ++counts_.late;
    // Behind the first packet of the numbering it was never counted missing.
    if (static_cast<int32_t>(sequence - lowest_) < 0) {
      lowest_ = sequence;
    } else if (counts_.sequence_gaps > 0) {
      --counts_.sequence_gaps;
    }
    return Order::kLate;
  }
  ++counts_.sequence_restarts;
  ring_valid_.fill(false);
  highest_ = sequence;
  lowest_ = sequence;
  Remember(sequence);
  return Order::kRestart;
}

int AudioReceiver::Decode(const media::AudioHeader& header, crypto::ByteView payload) {
  if (!decoder_ && !decoder_failed_) {
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(kAudioSampleRate, kAudioChannels, &error);
    if (decoder == nullptr || error != OPUS_OK) {
      if (decoder != nullptr) opus_decoder_destroy(decoder);
      decoder_failed_ = true;
      notes_.push_back(Format("[Sim] Audio: no Opus decoder: %s (err=%d); packets are only counted",
                              opus_strerror(error), error));
    } else {
      decoder_.reset(decoder);
    }
  }
  if (!decoder_) {
    ++counts_.decode_errors;
    return -1;
  }
  // An empty payload would ask the decoder to conceal a lost packet.
  const int samples =
      payload.empty() ? OPUS_INVALID_PACKET
                      : opus_decode(decoder_.get(), payload.data(), static_cast<opus_int32>(payload.size()),
                                    pcm_.data(), kMaxOpusFrameSamples, 0);
  if (samples < 0) {
    ++counts_.decode_errors;
    Note(Format("[Sim] Audio: packet seq=%u (%zu bytes) does not decode: %s (err=%d)", header.sequence,
                payload.size(), opus_strerror(samples), samples),
         &error_notes_);
    return -1;
  }
  ++counts_.decoded;
  if (samples != static_cast<int>(header.duration_ms) * (kAudioSampleRate / 1000)) ++counts_.duration_other;
  return samples;
}

void AudioReceiver::AddOffset(double ms) {
  if (offsets_seen_ == 0) {
    offset_min_ms_ = ms;
    offset_max_ms_ = ms;
  } else {
    offset_min_ms_ = std::min(offset_min_ms_, ms);
    offset_max_ms_ = std::max(offset_max_ms_, ms);
  }
  ++offsets_seen_;
  if (offsets_.size() < kMaxAudioOffsetSamples) {
    offsets_.push_back(ms);
    return;
  }
  // Reservoir sampling keeps an even share of the whole run.
  sample_state_ = sample_state_ * 6364136223846793005ull + 1442695040888963407ull;
  const uint64_t slot = (sample_state_ >> 11) % offsets_seen_;
  if (slot < offsets_.size()) offsets_[slot] = ms;
}

void AudioReceiver::OnPacket(const media::AudioHeader& header, crypto::ByteView payload, uint64_t now_ms) {
  uint32_t ahead = 0;
  const Order order = Place(header.sequence, &ahead);
  if (order == Order::kDuplicate) {
    ++counts_.duplicates;
    return;
  }
  const bool first = counts_.packets == 0;
  ++counts_.packets;
  uint64_t pause_ms = 0;
  if (first) {
    first_ms_ = now_ms;
    last_ms_ = now_ms;
  } else if (now_ms > last_ms_) {
    pause_ms = now_ms - last_ms_;
    last_ms_ = now_ms;
  }

  // The presentation time, between packets in sequence order.
  bool broken = order == Order::kLate || order == Order::kRestart;
  int64_t step_us = 0;
  if (order == Order::kNext) {
    step_us = static_cast<int64_t>(header.timestamp - previous_pts_);
    const int64_t expected = kAudioFrameUs * static_cast<int64_t>(ahead);
    ++counts_.pts_steps;
    if (step_us != expected) {
      ++counts_.pts_steps_other;
      broken = true;
    }
    if (ahead > 1) broken = true;
    const uint64_t deviation = Distance(step_us, expected);
    if (counts_.pts_steps == 1 || deviation > farthest_deviation_us_) {
      farthest_deviation_us_ = deviation;
      counts_.farthest_step_us = step_us;
    }
  }
  if (order != Order::kLate) previous_pts_ = header.timestamp;
  if (order == Order::kRestart) {
    Note(Format("[Sim] Audio: the sequence numbers start anew at seq=%u pts=%llu", header.sequence,
                U(header.timestamp)),
         &restart_notes_);
  }

  const int samples = Decode(header, payload);
  if (broken || samples < 0) tone_.Break();
  if (samples > 0 && order != Order::kLate) tone_.Add(pcm_.data(), static_cast<size_t>(samples), kAudioChannels);

  std::optional<double> offset_ms;
  if (have_video_) {
    offset_ms = static_cast<double>(static_cast<int64_t>(header.timestamp - newest_video_us_)) / 1000.0;
    AddOffset(*offset_ms);
  } else {
    ++counts_.without_video;
  }

  if (!first && pause_ms >= kAudioGapMs && (!counts_.gap || pause_ms > counts_.gap->pause_ms)) {
    AudioGap gap;
    gap.pause_ms = pause_ms;
    gap.at_ms = now_ms;
    gap.pts_step_us = step_us;
    gap.first_offset_ms = offset_ms;
    counts_.gap = gap;
    tracking_gap_ = true;
  }
  if (tracking_gap_ && offset_ms && std::fabs(*offset_ms) <= kAvOffsetGoodMs) {
    counts_.gap->back_in_step_ms = now_ms - counts_.gap->at_ms;
    tracking_gap_ = false;
  }

  if (!first_noted_) {
    first_noted_ = true;
    notes_.push_back(Format("[Sim] Audio: first packet seq=%u pts=%llu duration_ms=%u %zu bytes decoded=%s "
                            "av_offset_ms=%s",
                            header.sequence, U(header.timestamp), static_cast<unsigned>(header.duration_ms),
                            payload.size(),
                            samples < 0 ? "no" : Format("%d samples per channel", samples).c_str(),
                            offset_ms ? Format("%.1f", *offset_ms).c_str() : "none (no video yet)"));
  }
}

AudioSummary AudioReceiver::Summary() const {
  AudioSummary s = counts_;
  if (s.packets >= 2 && last_ms_ > first_ms_) {
    s.packets_per_second = static_cast<double>(s.packets - 1) * 1000.0 / static_cast<double>(last_ms_ - first_ms_);
  }
  s.tone_hz = tone_.MedianHz();
  s.tone_runs = tone_.runs();
  if (offsets_seen_ > 0) {
    s.offset_median_ms = Median(offsets_);
    s.offset_min_ms = offset_min_ms_;
    s.offset_max_ms = offset_max_ms_;
  }
  return s;
}

std::string AudioSummaryLine(const AudioSummary& s) {
  if (s.packets == 0 && s.duplicates == 0) return "[Sim] Audio: none";
  std::string after_gap = "none";
  if (s.gap) {
    after_gap = (s.gap->back_in_step_ms ? Format("%llu", U(*s.gap->back_in_step_ms)) : std::string("never")) +
                Format(" (gap_pause_ms=%llu gap_pts_step_us=%lld first_offset_ms=%s)", U(s.gap->pause_ms),
                       S(s.gap->pts_step_us), Ms(s.gap->first_offset_ms).c_str());
  }
  return Format("[Sim] Audio: packets=%llu pps=%.1f seq_gaps=%llu pts_steps_other=%llu (max_step_us=%lld) "
                "tone_hz=%.1f av_offset_ms median=%s max=%s min=%s after_gap_ms=%s decode_errors=%llu",
                U(s.packets), s.packets_per_second, U(s.sequence_gaps), U(s.pts_steps_other), S(s.farthest_step_us),
                s.tone_hz, Ms(s.offset_median_ms).c_str(), Ms(s.offset_max_ms).c_str(), Ms(s.offset_min_ms).c_str(),
                after_gap.c_str(), U(s.decode_errors)) +
         Format(" duplicates=%llu late=%llu seq_restarts=%llu duration_other=%llu without_video=%llu tone_runs=%zu",
                U(s.duplicates), U(s.late), U(s.sequence_restarts), U(s.duration_other), U(s.without_video),
                s.tone_runs);
}

}  // namespace orvane::sim
