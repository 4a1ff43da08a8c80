#include "tools/tablet_sim/sim_media.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/common/byte_order.h"
#include "host/transport/media_packet.h"
#include "host/video/synthetic_stream.h"

namespace orvane::sim {
namespace {

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

// a comes after b in the wrapping sequence space (by less than half of it).
int32_t Ahead(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace

// ---------------------------------------------------------- MediaReceiver

MediaReceiver::MediaReceiver(const MediaReceiverConfig& config)
    : config_(config), ring_(kDatagramRingSlots), ordering_(config.give_up_ms) {
  units_.reserve(config_.max_units);
}

void MediaReceiver::SetRoundTripMs(double rtt_ms) { rtt_ms_ = rtt_ms > 0 ? rtt_ms : 0; }

uint64_t MediaReceiver::RetryIntervalMs() const {
  const double twice = 2 * rtt_ms_;
  if (!(twice > static_cast<double>(config_.nack_retry_min_ms))) return config_.nack_retry_min_ms;
  if (twice > static_cast<double>(config_.nack_retry_max_ms)) return config_.nack_retry_max_ms;
  return static_cast<uint64_t>(twice);
}

std::vector<std::string> MediaReceiver::TakeNotes() {
  std::vector<std::string> out;
  out.swap(notes_);
  for (std::string& note : audio_.TakeNotes()) out.push_back(std::move(note));
  return out;
}

void MediaReceiver::Note(NoteKind kind, const char* format, ...) {
  uint32_t& count = notes_of_kind_[static_cast<int>(kind)];
  // Parity size lines: the last one allowed says that the rest are counted.
  if (count >= (kind == NoteKind::kParitySize ? kMaxParitySizeNotes + 1 : kMaxNotesPerKind)) return;
  ++count;
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  notes_.emplace_back(line);
}

void MediaReceiver::OnDatagram(crypto::ByteView datagram, uint64_t now_ms) {
  // Parity packets have no version byte: their first byte is the type.
  if (!datagram.empty() && datagram[0] == media::kTypeFecParity) {
    OnParity(datagram, now_ms);
    return;
  }
  if (datagram.size() >= 2 && datagram[0] == media::kMediaVersion && datagram[1] == media::kTypeAudio) {
    media::AudioHeader audio;
    if (media::ParseAudioHeader(datagram, &audio) &&
        datagram.size() <= media::kMaxAudioDatagramBytes) {
      ++counters_.audio;
      audio_.OnPacket(audio, datagram.subspan(media::kAudioHeaderBytes), now_ms);
    } else {
      ++counters_.malformed;
    }
    return;
  }
  OnVideo(datagram, now_ms, false);
}

bool MediaReceiver::OnVideo(crypto::ByteView datagram, uint64_t now_ms, bool rebuilt) {
  media::VideoHeader h;
  if (!media::ParseVideoHeader(datagram, &h) || h.count == 0 || h.index >= h.count ||
      datagram.size() <= media::kVideoHeaderBytes || datagram.size() > media::kMaxVideoDatagramBytes) {
    if (rebuilt) {
      ++counters_.fec_refused;
      Note(NoteKind::kRefused, "[Sim] Media: refused a rebuilt datagram (%zu bytes): not a usable video fragment",
           datagram.size());
    } else {
      ++counters_.malformed;
    }
    return false;
  }
  audio_.OnVideoTimestamp(h.timestamp_us);
  if (!rebuilt) ++counters_.video;
  if (Present(h.sequence)) {
    ++counters_.duplicates;
    return false;
  }
  Store(h.sequence, datagram);
  bool after_request = false;
  const auto missing = missing_.find(h.sequence);
  if (missing != missing_.end()) {
    if (!rebuilt && missing->second.requests > 0) {
      after_request = true;
      ++counters_.nack_recovered;
    }
    missing_.erase(missing);
  }
  ExtendTo(h.sequence, now_ms);
  OnFragment(h, datagram.subspan(media::kVideoHeaderBytes), now_ms, rebuilt, after_request);
  if (!recovering_) TryParityCovering(h.sequence, now_ms);
  return true;
}

void MediaReceiver::OnFragment(const media::VideoHeader& h, crypto::ByteView payload, uint64_t now_ms, bool rebuilt,
                               bool after_request) {
  const uint32_t sequence = h.sequence;
  const uint64_t timestamp_us = h.timestamp_us;
  const uint16_t index = h.index;
  const uint16_t count = h.count;
  const uint32_t base = sequence - index;
  if (Finished(base)) {
    ++counters_.late;
    return;
  }
  size_t at = units_.size();
  for (size_t i = 0; i < units_.size(); ++i) {
    if (units_[i].base == base) {
      at = i;
      break;
    }
  }
  if (at == units_.size()) {
    const uint32_t limit = config_.max_fragments == 0 ? kUnlimitedFragmentsCap : config_.max_fragments;
    if (count > limit) {
      ++counters_.oversized;
      MarkFinished(base);
      Note(NoteKind::kOversized, "[Sim] Media: refused access unit seq=%u with %u fragments (at most %u)", base,
           static_cast<unsigned>(count), limit);
      ordering_.Seen(base);
      ResolvedUnit refused;
      refused.base = base;
      refused.count = count;
      refused.timestamp_us = timestamp_us;
      Resolve(std::move(refused), now_ms);
      return;
    }
    while (!units_.empty() &&
           (units_.size() >= config_.max_units || buffered_bytes_ + payload.size() > kMaxBufferedPayloadBytes)) {
      size_t oldest = 0;
      for (size_t i = 1; i < units_.size(); ++i) {
        if (units_[i].first_seen_ms < units_[oldest].first_seen_ms) oldest = i;
      }
      GiveUp(oldest, "no room", now_ms);
    }
    Unit unit;
    unit.base = base;
    unit.timestamp_us = timestamp_us;
    unit.count = count;
    unit.payloads.resize(count);
    unit.first_seen_ms = now_ms;
    units_.push_back(std::move(unit));
    at = units_.size() - 1;
    if (config_.units != nullptr) ordering_.Seen(base);
    // The fragments before this one were sent before it; those that never
    // came (say, before the tablet's punch moved the stream here) are
    // missing. The ones after it may still be on their way (the host paces a
    // unit's fragments), so they count only once something later arrives.
    for (uint32_t i = 0; i < index; ++i) {
      const uint32_t q = base + i;
      if (!Present(q) && missing_.find(q) == missing_.end()) AddMissing(q, now_ms);
    }
  } else if (units_[at].timestamp_us != timestamp_us || units_[at].count != count) {
    ++counters_.inconsistent;
    Note(NoteKind::kInconsistent,
         "[Sim] Media: fragment seq=%u (ts=%llu, %u of %u) does not fit its access unit seq=%u (ts=%llu, %u "
         "fragments); dropped",
         sequence, U(timestamp_us), static_cast<unsigned>(index), static_cast<unsigned>(count), base,
         U(units_[at].timestamp_us), static_cast<unsigned>(units_[at].count));
    return;
  }
  Unit& unit = units_[at];
  if (!unit.payloads[index].empty()) {
    ++counters_.duplicates;
    return;
  }
  unit.payloads[index].assign(payload.begin(), payload.end());
  unit.bytes += payload.size();
  buffered_bytes_ += payload.size();
  ++unit.received;
  if (index == 0) unit.keyframe = (h.flags & media::kVideoFlagKeyframe) != 0;
  if (rebuilt) unit.by_fec = true;
  if (after_request) unit.by_nack = true;
  if (unit.received == unit.count) Complete(at, now_ms);
}

void MediaReceiver::Complete(size_t unit_index, uint64_t now_ms) {
  Unit& unit = units_[unit_index];
  crypto::Bytes frame;
  frame.reserve(unit.bytes);
  for (const crypto::Bytes& p : unit.payloads) frame.insert(frame.end(), p.begin(), p.end());
  ++counters_.complete;
  if (unit.by_fec) ++counters_.complete_by_fec;
  if (unit.by_nack) ++counters_.complete_by_nack;
  const bool sink = config_.units != nullptr;
  const bool synthetic =
      (config_.check_synthetic || sink) && CheckSyntheticFrame(unit.timestamp_us, frame.data(), frame.size());
  if (config_.check_synthetic && !synthetic && !sink) {
    ++counters_.mismatched;
    Note(NoteKind::kMismatch,
         "[Sim] Media: access unit seq=%u ts=%llu (%zu bytes, %u fragments) is not the synthetic stream's content",
         unit.base, U(unit.timestamp_us), frame.size(), static_cast<unsigned>(unit.count));
  }
  if (!first_noted_) {
    first_noted_ = true;
    notes_.push_back([&] {
      char line[256];
      std::snprintf(line, sizeof line,
                    "[Sim] Media: first access unit complete: seq=%u ts=%llu %zu bytes in %u fragments keyframe=%s",
                    unit.base, U(unit.timestamp_us), frame.size(), static_cast<unsigned>(unit.count),
                    unit.keyframe ? "yes" : "no");
      return std::string(line);
    }());
  }
  MarkFinished(unit.base);
  buffered_bytes_ -= unit.bytes;
  ResolvedUnit resolved;
  resolved.base = unit.base;
  resolved.count = unit.count;
  resolved.timestamp_us = unit.timestamp_us;
  resolved.keyframe = unit.keyframe;
  resolved.complete = true;
  resolved.synthetic = synthetic;
  resolved.bytes = std::move(frame);
  units_.erase(units_.begin() + static_cast<std::ptrdiff_t>(unit_index));
  Resolve(std::move(resolved), now_ms);
}

void MediaReceiver::Resolve(ResolvedUnit unit, uint64_t now_ms) {
  if (config_.units == nullptr) return;
  ordering_.Add(std::move(unit), now_ms, &released_);
  for (ResolvedUnit& r : released_) config_.units->OnUnit(std::move(r));
  released_.clear();
}

void MediaReceiver::GiveUp(size_t unit_index, const char* why, uint64_t now_ms) {
  Unit& unit = units_[unit_index];
  ++counters_.incomplete;
  Note(NoteKind::kGaveUp, "[Sim] Media: gave up access unit seq=%u ts=%llu with %u of %u fragments (%s)", unit.base,
       U(unit.timestamp_us), static_cast<unsigned>(unit.received), static_cast<unsigned>(unit.count), why);
  // What is still missing of it is not worth asking for any more.
  for (uint32_t i = 0; i < unit.count; ++i) {
    if (unit.payloads[i].empty()) missing_.erase(unit.base + i);
  }
  MarkFinished(unit.base);
  buffered_bytes_ -= unit.bytes;
  ResolvedUnit resolved;
  resolved.base = unit.base;
  resolved.count = unit.count;
  resolved.timestamp_us = unit.timestamp_us;
  resolved.keyframe = unit.keyframe;
  units_.erase(units_.begin() + static_cast<std::ptrdiff_t>(unit_index));
  Resolve(std::move(resolved), now_ms);
}

bool MediaReceiver::Present(uint32_t sequence) const {
  const Slot& slot = ring_[sequence & (kDatagramRingSlots - 1)];
  return slot.valid && slot.sequence == sequence;
}

void MediaReceiver::Store(uint32_t sequence, crypto::ByteView datagram) {
  Slot& slot = ring_[sequence & (kDatagramRingSlots - 1)];
  slot.sequence = sequence;
  slot.valid = true;
  slot.bytes.assign(datagram.begin(), datagram.end());
}

void MediaReceiver::ExtendTo(uint32_t last, uint64_t now_ms) {
  if (!seen_) {
    seen_ = true;
    highest_ = last;
    counters_.sequence_span += 1;
    return;
  }
  const int32_t ahead = Ahead(last, highest_);
  if (ahead <= 0) return;
  counters_.sequence_span += static_cast<uint64_t>(ahead);
  if (static_cast<uint32_t>(ahead) > kMaxSequenceGap) {
    ++counters_.discontinuities;
    highest_ = last;
    return;
  }
  for (uint32_t q = highest_ + 1; q != last + 1u; ++q) {
    if (!Present(q)) AddMissing(q, now_ms);
  }
  highest_ = last;
}

void MediaReceiver::AddMissing(uint32_t sequence, uint64_t now_ms) {
  ++counters_.losses_seen;
  if (missing_.size() >= kMaxMissingTracked) {
    ++counters_.untracked;
    return;
  }
  Missing& m = missing_[sequence];
  m.seen_ms = now_ms;
  m.last_request_ms = 0;
  m.requests = 0;
}

bool MediaReceiver::Finished(uint32_t base) const {
  return std::find(finished_.begin(), finished_.end(), base) != finished_.end();
}

void MediaReceiver::MarkFinished(uint32_t base) {
  if (finished_.size() >= kRecentlyFinishedUnits) finished_.pop_front();
  finished_.push_back(base);
}

void MediaReceiver::OnParity(crypto::ByteView packet, uint64_t now_ms) {
  media::FecParityView view;
  if (!media::ParseFecParity(packet, &view) || view.lengths.empty() || view.parity.size() <= media::kVideoHeaderBytes ||
      view.parity.size() > media::kMaxVideoDatagramBytes) {
    ++counters_.malformed;
    return;
  }
  ++counters_.parity;
  CountParityGroup(view.lengths.size());
  // The group's datagrams were all sent before its parity.
  ExtendTo(view.first_sequence + static_cast<uint32_t>(view.lengths.size()) - 1u, now_ms);
  Parity parity;
  parity.first = view.first_sequence;
  parity.lengths = std::move(view.lengths);
  parity.bytes.assign(view.parity.begin(), view.parity.end());
  parity.arrived_ms = now_ms;
  if (TryRecover(parity, now_ms)) return;
  if (parities_.size() >= kMaxParityKept) parities_.pop_front();
  parities_.push_back(std::move(parity));
}

void MediaReceiver::CountParityGroup(size_t size) {
  // The count is one byte of the header: 1..255 once parsed.
  ParityGroupSizes& g = counters_.parity_groups;
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, g.groups.size() - 1));
  ++g.groups[n];
  if (n == g.last) return;
  if (g.last != 0) ++g.changes;
  g.last = n;
  if (notes_of_kind_[static_cast<int>(NoteKind::kParitySize)] == kMaxParitySizeNotes) {
    Note(NoteKind::kParitySize, "[Sim] Media: further changes of the parity group size are only counted");
  } else {
    Note(NoteKind::kParitySize, "[Sim] Parity group size %u", n);
  }
}

void MediaReceiver::TryParityCovering(uint32_t sequence, uint64_t now_ms) {
  for (size_t i = 0; i < parities_.size();) {
    const Parity& p = parities_[i];
    if (sequence - p.first < p.lengths.size() && TryRecover(p, now_ms)) {
      parities_.erase(parities_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

bool MediaReceiver::TryRecover(const Parity& parity, uint64_t now_ms) {
  const size_t count = parity.lengths.size();
  size_t missing_index = count;
  for (size_t j = 0; j < count; ++j) {
    if (Present(parity.first + static_cast<uint32_t>(j))) continue;
    if (missing_index != count) return false;  // two or more missing: wait
    missing_index = j;
  }
  if (missing_index == count) return true;  // nothing to rebuild

  const uint32_t wanted = parity.first + static_cast<uint32_t>(missing_index);
  auto refuse = [&](const char* why) {
    ++counters_.fec_refused;
    Note(NoteKind::kRefused, "[Sim] Media: refused to rebuild seq=%u from parity (first=%u count=%zu): %s", wanted,
         parity.first, count, why);
    return true;
  };
  crypto::Bytes rebuilt = parity.bytes;
  for (size_t j = 0; j < count; ++j) {
    if (j == missing_index) continue;
    const crypto::Bytes& d = ring_[(parity.first + static_cast<uint32_t>(j)) & (kDatagramRingSlots - 1)].bytes;
    // The parity was built over these exact datagrams: another length means
    // it belongs to other datagrams, and its XOR would be garbage.
    if (d.size() != parity.lengths[j] || d.size() > rebuilt.size()) return refuse("a datagram's length differs");
    for (size_t b = 0; b < d.size(); ++b) rebuilt[b] ^= d[b];
  }
  const size_t length = parity.lengths[missing_index];
  if (length <= media::kVideoHeaderBytes || length > rebuilt.size()) return refuse("its length is out of range");
  rebuilt.resize(length);
  if (rebuilt[0] != media::kMediaVersion || rebuilt[1] != media::kTypeVideo ||
      LoadBe32(rebuilt.data() + 4) != wanted) {
    return refuse("the rebuilt header is not the expected video header");
  }
  recovering_ = true;
  const bool used = OnVideo(rebuilt, now_ms, true);
  recovering_ = false;
  if (used) ++counters_.fec_recovered;
  return true;
}

std::vector<uint32_t> MediaReceiver::Poll(uint64_t now_ms) {
  for (size_t i = 0; i < units_.size();) {
    if (now_ms - units_[i].first_seen_ms >= config_.give_up_ms) {
      GiveUp(i, "too late", now_ms);
      continue;
    }
    ++i;
  }
  if (config_.units != nullptr) {
    ordering_.Poll(now_ms, &released_);
    for (ResolvedUnit& r : released_) config_.units->OnUnit(std::move(r));
    released_.clear();
  }
  while (!parities_.empty() && now_ms - parities_.front().arrived_ms >= config_.give_up_ms) parities_.pop_front();

  const uint64_t retry = RetryIntervalMs();
  std::vector<uint32_t> due;
  for (auto it = missing_.begin(); it != missing_.end();) {
    Missing& m = it->second;
    if (now_ms - m.seen_ms >= config_.give_up_ms) {
      it = missing_.erase(it);
      continue;
    }
    const bool first = m.requests == 0 && now_ms - m.seen_ms >= config_.nack_delay_ms;
    const bool again = m.requests > 0 && m.requests < config_.max_nacks && now_ms - m.last_request_ms >= retry;
    if (first || again) {
      ++m.requests;
      m.last_request_ms = now_ms;
      due.push_back(it->first);
    }
    ++it;
  }
  // Oldest first, in the wrapping sequence space.
  const uint32_t top = highest_;
  std::sort(due.begin(), due.end(), [top](uint32_t a, uint32_t b) { return top - a > top - b; });
  counters_.sequence_numbers_requested += due.size();
  return due;
}

// --------------------------------------------------------- DeliberateLoss

bool DeliberateLoss::Drop() {
  if (percent_ == 0) return false;
  // splitmix64: every seed gives a well-mixed sequence.
  state_ += 0x9E3779B97F4A7C15ull;
  uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return z % 100 < percent_;
}

// ------------------------------------------------------------ MediaIntake

void MediaIntake::OnDatagram(crypto::ByteView raw, uint64_t now_ms) {
  ++counters_.datagrams;
  if (loss_.Drop()) {
    ++counters_.dropped_on_purpose;
    return;
  }
  uint64_t counter = 0;
  switch (opener_.Open(raw, &plaintext_, &counter)) {
    case MediaOpenStatus::kOpened:
      ++counters_.opened;
      counters_.opened_bytes += plaintext_.size();
      receiver_.OnDatagram(plaintext_, now_ms);
      break;
    case MediaOpenStatus::kNoKey: ++counters_.no_key; break;
    case MediaOpenStatus::kNotSecure: ++counters_.not_secure; break;
    case MediaOpenStatus::kFailed: ++counters_.open_failed; break;
    case MediaOpenStatus::kReplayed: ++counters_.replayed; break;
  }
  crypto::SecureWipe(plaintext_);
}

// ---------------------------------------------------------------- summary

std::string MediaSummaryLine(const MediaSummary& s) {
  char line[512];
  std::snprintf(line, sizeof line,
                "[Sim] Media: datagrams=%llu opened=%llu dropped_on_purpose=%llu access_units complete=%llu "
                "(by_fec=%llu by_nack=%llu) incomplete=%llu mismatched=%llu nacks_sent=%llu "
                "sequence_numbers_requested=%llu",
                U(s.intake.datagrams), U(s.intake.opened), U(s.intake.dropped_on_purpose), U(s.media.complete),
                U(s.media.complete_by_fec), U(s.media.complete_by_nack), U(s.media.incomplete), U(s.media.mismatched),
                U(s.nacks_sent), U(s.media.sequence_numbers_requested));
  return line;
}

std::string MediaDetailsLine(const MediaSummary& s) {
  char line[768];
  std::snprintf(line, sizeof line,
                "[Sim] Media details: video=%llu parity=%llu audio=%llu no_key=%llu not_secure=%llu open_failed=%llu "
                "replayed=%llu malformed=%llu duplicates=%llu late=%llu inconsistent=%llu oversized=%llu "
                "losses_seen=%llu fec_recovered=%llu fec_refused=%llu nack_recovered=%llu untracked=%llu "
                "discontinuities=%llu in_flight=%zu stats_sent=%llu receive_errors=%llu",
                U(s.media.video), U(s.media.parity), U(s.media.audio), U(s.intake.no_key), U(s.intake.not_secure),
                U(s.intake.open_failed), U(s.intake.replayed), U(s.media.malformed), U(s.media.duplicates),
                U(s.media.late), U(s.media.inconsistent), U(s.media.oversized), U(s.media.losses_seen),
                U(s.media.fec_recovered), U(s.media.fec_refused), U(s.media.nack_recovered), U(s.media.untracked),
                U(s.media.discontinuities), s.in_flight, U(s.stats_sent), U(s.receive_errors));
  return line;
}

std::string ParityGroupsLine(const MediaSummary& s) {
  const ParityGroupSizes& g = s.media.parity_groups;
  std::string line = "[Sim] Parity groups:";
  bool any = false;
  for (size_t size = 1; size < g.groups.size(); ++size) {
    if (g.groups[size] == 0) continue;
    any = true;
    char pair[64];
    std::snprintf(pair, sizeof pair, " size=%zu count=%llu", size, U(g.groups[size]));
    line += pair;
  }
  if (!any) return line + " none";
  char changes[40];
  std::snprintf(changes, sizeof changes, " changes=%llu", U(g.changes));
  return line + changes;
}

}  // namespace orvane::sim
