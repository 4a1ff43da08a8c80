#include "tools/tablet_sim/sim_video.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <utility>

namespace orvane::sim {
namespace {

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

// Recent keyframe timestamps kept to recognise copies, and decode ticks kept
// for the keyframe step.
constexpr size_t kRecentKeyframes = 16;

}  // namespace

// ----------------------------------------------------------- UnitOrdering

UnitOrdering::UnitOrdering(uint64_t gap_give_up_ms, size_t max_units, size_t max_bytes)
    : gap_give_up_ms_(gap_give_up_ms), max_units_(max_units), max_bytes_(max_bytes) {
  held_.reserve(max_units_ + 1);
}

int64_t UnitOrdering::Ahead(uint32_t base) const { return static_cast<int32_t>(base - next_); }

void UnitOrdering::Seen(uint32_t base) {
  if (!started_) {
    started_ = true;
    next_ = base;
    return;
  }
  if (released_any_) return;
  const int64_t ahead = Ahead(base);
  if (ahead < 0 && -ahead < kOrderingWindow) next_ = base;
}

void UnitOrdering::Add(ResolvedUnit unit, uint64_t now_ms, std::vector<ResolvedUnit>* out) {
  if (!started_) {
    started_ = true;
    next_ = unit.base;
  }
  const int64_t ahead = Ahead(unit.base);
  if (ahead < 0 && -ahead < kOrderingWindow) {
    ++counters_.late;
    return;
  }
  if (ahead < 0 || ahead >= kOrderingWindow) {
    // A new numbering: what is held belongs to the old one and goes first.
    ++counters_.restarts;
    while (!held_.empty()) GiveUpGap(out);
    next_ = unit.base;
  }
  for (const Held& h : held_) {
    if (h.unit.base == unit.base) {
      ++counters_.late;
      return;
    }
  }
  held_bytes_ += unit.bytes.size();
  held_.push_back(Held{std::move(unit), now_ms});
  Drain(out);
  while (!held_.empty() && (held_.size() > max_units_ || held_bytes_ > max_bytes_)) {
    ++counters_.forced;
    GiveUpGap(out);
  }
}

void UnitOrdering::Poll(uint64_t now_ms, std::vector<ResolvedUnit>* out) {
  while (!held_.empty()) {
    uint64_t oldest = held_.front().added_ms;
    for (const Held& h : held_) oldest = std::min(oldest, h.added_ms);
    if (now_ms - oldest < gap_give_up_ms_) return;
    GiveUpGap(out);
  }
}

void UnitOrdering::Drain(std::vector<ResolvedUnit>* out) {
  for (;;) {
    size_t at = held_.size();
    for (size_t i = 0; i < held_.size(); ++i) {
      if (held_[i].unit.base == next_) {
        at = i;
        break;
      }
    }
    if (at == held_.size()) return;
    ResolvedUnit unit = std::move(held_[at].unit);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(at));
    held_bytes_ -= unit.bytes.size();
    next_ = unit.base + unit.count;
    Emit(std::move(unit), out);
  }
}

void UnitOrdering::GiveUpGap(std::vector<ResolvedUnit>* out) {
  if (held_.empty()) return;
  size_t first = 0;
  for (size_t i = 1; i < held_.size(); ++i) {
    if (Ahead(held_[i].unit.base) < Ahead(held_[first].unit.base)) first = i;
  }
  const uint32_t to = held_[first].unit.base;
  if (to != next_) {
    ResolvedUnit gap;
    gap.base = next_;
    gap.count = to - next_;
    gap.gap = true;
    ++counters_.gaps;
    next_ = to;
    Emit(std::move(gap), out);
  }
  Drain(out);
}

void UnitOrdering::Emit(ResolvedUnit unit, std::vector<ResolvedUnit>* out) {
  released_any_ = true;
  if (!unit.gap) ++counters_.released;
  out->push_back(std::move(unit));
}

// ------------------------------------------------------------ codec helpers

const char* SimCodecName(SimCodec codec) {
  switch (codec) {
    case SimCodec::kH264: return "h264";
    case SimCodec::kHevc: return "hevc";
    case SimCodec::kUnknown: break;
  }
  return "unknown";
}

SimCodec SimCodecFromWire(uint32_t codec) {
  if (codec == 1) return SimCodec::kH264;
  if (codec == 2) return SimCodec::kHevc;
  return SimCodec::kUnknown;
}

SimCodec SniffCodec(const uint8_t* data, size_t length) {
  if (data == nullptr) return SimCodec::kUnknown;
  size_t at = 0;
  if (length >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
    at = 4;
  } else if (length >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
    at = 3;
  } else {
    return SimCodec::kUnknown;
  }
  if (at >= length) return SimCodec::kUnknown;
  const uint8_t b0 = data[at];
  // HEVC: a two-byte header, layer 0 and temporal id 0 (second byte 1);
  // parameter sets, delimiter, prefix SEI or an IRAP slice.
  if (at + 1 < length && data[at + 1] == 0x01 && (b0 & 0x81) == 0) {
    const uint8_t type = (b0 >> 1) & 0x3F;
    if ((type >= 32 && type <= 35) || type == 39 || (type >= 19 && type <= 21)) return SimCodec::kHevc;
  }
  // H.264: IDR slice, SEI, SPS, PPS or delimiter.
  if ((b0 & 0x80) == 0) {
    const uint8_t type = b0 & 0x1F;
    if (type >= 5 && type <= 9) return SimCodec::kH264;
  }
  return SimCodec::kUnknown;
}

double LumaPsnr(const uint8_t* a, uint32_t a_stride, const uint8_t* b, uint32_t b_stride, uint32_t width,
                uint32_t height) {
  if (a == nullptr || b == nullptr || width == 0 || height == 0) return 0;
  uint64_t sum = 0;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* pa = a + static_cast<size_t>(y) * a_stride;
    const uint8_t* pb = b + static_cast<size_t>(y) * b_stride;
    uint32_t row = 0;  // at most 255^2 x 16384 per row: fits
    for (uint32_t x = 0; x < width; ++x) {
      const int d = static_cast<int>(pa[x]) - static_cast<int>(pb[x]);
      row += static_cast<uint32_t>(d * d);
    }
    sum += row;
  }
  if (sum == 0) return kPsnrIdenticalDb;
  const double mse = static_cast<double>(sum) / (static_cast<double>(width) * height);
  return std::min(kPsnrIdenticalDb, 10.0 * std::log10(255.0 * 255.0 / mse));
}

// ---------------------------------------------------------------- summary

std::string VideoSummaryLine(const VideoSummary& s) {
  char line[640];
  std::snprintf(line, sizeof line,
                "[Sim] Video: decoded=%llu fps=%.1f first_frame_ms=%lld keyframes=%llu picture_ok=%llu "
                "picture_bad=%llu psnr_min=%.2f psnr_avg=%.2f skipped_to_keyframe=%llu decode_errors=%llu "
                "latency_p50_ms=%.1f latency_p99_ms=%.1f stop_to_last_ms=%lld",
                U(s.counters.decoded), s.fps, static_cast<long long>(s.first_frame_ms), U(s.counters.keyframes),
                U(s.counters.picture_ok), U(s.counters.picture_bad), s.psnr_min, s.psnr_avg,
                U(s.counters.skipped_to_keyframe), U(s.counters.decode_errors), s.latency_p50_ms,
                s.latency_p99_ms, static_cast<long long>(s.stop_to_last_ms));
  return line;
}

std::string VideoDetailsLine(const VideoSummary& s) {
  char line[768];
  const VideoCounters& c = s.counters;
  std::snprintf(line, sizeof line,
                "[Sim] Video details: decoder=%s units=%llu synthetic=%llu given_up=%llu copies_skipped=%llu "
                "keyframe_requests=%llu no_picture=%llu undecodable=%llu size_mismatches=%llu "
                "counter_unreadable=%llu unchecked=%llu mismatched=%llu queue_dropped=%llu left_at_end=%llu "
                "picture_sizes=",
                s.decoder.c_str(), U(c.units), U(c.synthetic), U(c.given_up), U(c.copies_skipped),
                U(c.keyframe_requests), U(c.no_picture), U(c.undecodable), U(c.size_mismatches),
                U(c.counter_unreadable), U(c.unchecked), U(c.mismatched), U(c.queue_dropped), U(c.left_at_end));
  std::string text = line;
  if (s.picture_sizes.empty() && s.other_sizes == 0) text += "none";
  for (size_t i = 0; i < s.picture_sizes.size(); ++i) {
    const PictureSizeCount& p = s.picture_sizes[i];
    char size[64];
    std::snprintf(size, sizeof size, "%s%ux%u:%llu", i == 0 ? "" : ",", p.width, p.height, U(p.pictures));
    text += size;
  }
  if (s.other_sizes > 0) {
    char other[48];
    std::snprintf(other, sizeof other, "%sother:%llu", s.picture_sizes.empty() ? "" : ",", U(s.other_sizes));
    text += other;
  }
  return text;
}

// ---------------------------------------------------------- VideoReceiver

VideoReceiver::VideoReceiver(const VideoConfig& config, IClock& clock) : config_(config), clock_(clock) {}

VideoReceiver::~VideoReceiver() = default;

void VideoReceiver::Note(NoteKind kind, const char* format, ...) {
  uint32_t& count = notes_of_kind_[static_cast<int>(kind)];
  if (count >= (kind == NoteKind::kResized ? kMaxResizeNotes : kMaxVideoNotesPerKind)) return;
  ++count;
  char line[320];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  notes_.emplace_back(line);
}

std::vector<std::string> VideoReceiver::TakeNotes() {
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

bool VideoReceiver::TakeKeyframeRequest() { return std::exchange(request_pending_, false); }

void VideoReceiver::SetNegotiated(uint32_t codec, uint32_t width, uint32_t height) {
  negotiated_codec_ = SimCodecFromWire(codec);
  negotiated_w_ = width;
  negotiated_h_ = height;
  expected_w_ = width;
  expected_h_ = height;
  previous_w_ = previous_h_ = 0;
}

void VideoReceiver::OnStreamStarted(uint32_t source_width, uint32_t source_height, uint64_t now_ms) {
  source_w_ = source_width;
  source_h_ = source_height;
  stream_started_ = true;
  if (!started_ms_) started_ms_ = now_ms;
  stopped_since_start_ = false;
}

void VideoReceiver::OnStreamResize(uint32_t width, uint32_t height) {
  resize_watch_ = true;
  resize_w_ = width;
  resize_h_ = height;
  if (width == expected_w_ && height == expected_h_) return;
  previous_w_ = expected_w_;
  previous_h_ = expected_h_;
  expected_w_ = width;
  expected_h_ = height;
}

void VideoReceiver::OnStop(uint64_t now_ms) {
  if (stopped_since_start_) return;
  stopped_since_start_ = true;
  stop_ms_ = now_ms;
  last_picture_after_stop_ms_.reset();
}

bool VideoReceiver::SizeExpected(uint32_t width, uint32_t height) const {
  if (expected_w_ == 0 || expected_h_ == 0) return true;  // nothing negotiated: any size
  return (width == expected_w_ && height == expected_h_) || (width == previous_w_ && height == previous_h_) ||
         (width == negotiated_w_ && height == negotiated_h_);
}

void VideoReceiver::WaitForKeyframe(bool ask, uint64_t now_ms) {
  need_keyframe_ = true;
  if (!ask || requested_) return;
  requested_ = true;
  last_request_ms_ = now_ms;
  request_pending_ = true;
  ++counters_.keyframe_requests;
}

void VideoReceiver::OnUnit(const ResolvedUnit& unit) {
  const uint64_t now_ms = clock_.TickMs();
  ++counters_.units;
  if (unit.synthetic) {
    ++counters_.synthetic;
    return;
  }
  if (!unit.complete) {
    ++counters_.given_up;
    if (unit.gap && unit.count == 0) {
      Note(NoteKind::kSkip, "[Sim] Video: access units before seq=%u found the decoder's queue full; skipping to the "
           "next keyframe", unit.base);
    } else if (unit.gap) {
      Note(NoteKind::kSkip, "[Sim] Video: sequence numbers %u..%u came in no access unit; skipping to the next keyframe",
           unit.base, unit.base + unit.count - 1u);
    } else {
      Note(NoteKind::kSkip, "[Sim] Video: access unit seq=%u ts=%llu was given up; skipping to the next keyframe",
           unit.base, U(unit.timestamp_us));
    }
    WaitForKeyframe(true, now_ms);
    return;
  }
  if (need_keyframe_ && !unit.keyframe) {
    ++counters_.skipped_to_keyframe;
    if (requested_ && now_ms - last_request_ms_ >= config_.rerequest_ms) {
      last_request_ms_ = now_ms;
      request_pending_ = true;
      ++counters_.keyframe_requests;
    }
    return;
  }
  if (unit.keyframe && std::find(decoded_keyframe_ts_.begin(), decoded_keyframe_ts_.end(), unit.timestamp_us) !=
                           decoded_keyframe_ts_.end()) {
    ++counters_.copies_skipped;
    return;
  }

  // The decoder for the keyframes' codec.
  SimCodec codec = decoder_codec_;
  if (unit.keyframe || codec == SimCodec::kUnknown) {
    const SimCodec shown = unit.keyframe ? SniffCodec(unit.bytes.data(), unit.bytes.size()) : SimCodec::kUnknown;
    codec = shown != SimCodec::kUnknown              ? shown
            : negotiated_codec_ != SimCodec::kUnknown ? negotiated_codec_
            : codec != SimCodec::kUnknown             ? codec
                                                      : SimCodec::kH264;
  }
  if (codec != decoder_codec_ || (!decoder_ && !decoder_missing_)) {
    decoder_.reset();
    decoder_codec_ = codec;
    decoder_missing_ = false;
    decoder_why_.clear();
    if (config_.make_decoder) decoder_ = config_.make_decoder(codec, &decoder_why_);
    if (!decoder_) {
      decoder_missing_ = true;
      if (decoder_why_.empty()) decoder_why_ = "no decoder in this run";
    }
  }
  if (!decoder_) {
    ++counters_.undecodable;
    if (config_.check_picture) ++counters_.mismatched;
    Note(NoteKind::kNoDecoder,
         "[Sim] Video: access unit seq=%u ts=%llu (%zu bytes) is not the synthetic stream's content and cannot be "
         "decoded (%s: %s)",
         unit.base, U(unit.timestamp_us), unit.bytes.size(), SimCodecName(codec), decoder_why_.c_str());
    return;
  }

  DecodedPicture picture;
  std::string why;
  DecodeStatus status = decoder_->Decode(unit.bytes.data(), unit.bytes.size(), &picture, &why);
  if (status == DecodeStatus::kPicture &&
      (picture.y == nullptr || picture.width == 0 || picture.height == 0 || picture.width > kMaxPictureSide ||
       picture.height > kMaxPictureSide || picture.y_stride < picture.width)) {
    status = DecodeStatus::kFailed;
    why = "the decoder gave a picture out of range";
  }
  if (status == DecodeStatus::kFailed) {
    ++counters_.decode_errors;
    if (config_.check_picture) ++counters_.mismatched;
    Note(NoteKind::kDecode, "[Sim] Video: access unit seq=%u ts=%llu (%zu bytes, keyframe=%s) does not decode: %s",
         unit.base, U(unit.timestamp_us), unit.bytes.size(), unit.keyframe ? "yes" : "no", why.c_str());
    WaitForKeyframe(true, now_ms);
    return;
  }
  if (unit.keyframe) {
    need_keyframe_ = false;
    requested_ = false;
    if (decoded_keyframe_ts_.size() >= kRecentKeyframes) decoded_keyframe_ts_.pop_front();
    decoded_keyframe_ts_.push_back(unit.timestamp_us);
  }
  if (status == DecodeStatus::kNoPicture) {
    ++counters_.no_picture;
    return;
  }
  OnPicture(unit, picture, clock_.TickMs(), clock_.NowUs());
}

void VideoReceiver::AddLatency(double ms) {
  ++latency_seen_;
  if (latencies_.size() < kMaxLatencySamples) {
    latencies_.push_back(ms);
    return;
  }
  // Reservoir sampling keeps an even share of the whole run.
  sample_state_ = sample_state_ * 6364136223846793005ull + 1442695040888963407ull;
  const uint64_t slot = (sample_state_ >> 11) % latency_seen_;
  if (slot < latencies_.size()) latencies_[slot] = ms;
}

void VideoReceiver::OnPicture(const ResolvedUnit& unit, const DecodedPicture& picture, uint64_t now_ms,
                              int64_t now_us) {
  ++counters_.decoded;
  if (unit.keyframe) {
    ++counters_.keyframes;
    if (keyframe_ticks_.size() >= kRecentKeyframes) keyframe_ticks_.pop_front();
    keyframe_ticks_.push_back(now_ms);
  }
  if (!first_picture_ms_) first_picture_ms_ = now_ms;
  last_picture_ms_ = now_ms;
  if (stop_ms_ && now_ms >= *stop_ms_) last_picture_after_stop_ms_ = now_ms;
  if (now_us >= 0 && static_cast<uint64_t>(now_us) >= unit.timestamp_us) {
    AddLatency(static_cast<double>(static_cast<uint64_t>(now_us) - unit.timestamp_us) / 1000.0);
  }
  if (picture.width == expected_w_ && picture.height == expected_h_) previous_w_ = previous_h_ = 0;

  const bool size_ok = SizeExpected(picture.width, picture.height);
  if (!size_ok) {
    ++counters_.size_mismatches;
    Note(NoteKind::kBad, "[Sim] Video: picture ts=%llu is %ux%u, expected %ux%u", U(unit.timestamp_us),
         picture.width, picture.height, expected_w_, expected_h_);
  }
  CountSize(picture.width, picture.height);
  if (!first_noted_) {
    first_noted_ = true;
    char line[256];
    std::snprintf(line, sizeof line, "[Sim] Video: first picture decoded: %ux%u %s keyframe=%s ts=%llu",
                  picture.width, picture.height, SimCodecName(decoder_codec_), unit.keyframe ? "yes" : "no",
                  U(unit.timestamp_us));
    notes_.emplace_back(line);
  }
  if (resize_watch_ && picture.width == resize_w_ && picture.height == resize_h_) {
    resize_watch_ = false;
    Note(NoteKind::kResized, "[Sim] Video: first picture decoded after StreamResize: %ux%u %s keyframe=%s ts=%llu",
         picture.width, picture.height, SimCodecName(decoder_codec_), unit.keyframe ? "yes" : "no",
         U(unit.timestamp_us));
  }
  if (!config_.check_picture) return;
  if (!size_ok) {
    ++counters_.picture_bad;
    ++counters_.mismatched;
    return;
  }
  CheckPicture(unit, picture);
}

void VideoReceiver::CountSize(uint32_t width, uint32_t height) {
  for (PictureSizeCount& p : sizes_) {
    if (p.width == width && p.height == height) {
      ++p.pictures;
      return;
    }
  }
  if (sizes_.size() < kMaxPictureSizesCounted) {
    sizes_.push_back(PictureSizeCount{width, height, 1});
  } else {
    ++other_sizes_;
  }
}

void VideoReceiver::CheckPicture(const ResolvedUnit& unit, const DecodedPicture& picture) {
  if (!stream_started_) {
    // Without StreamStarted the source size is not known yet.
    ++counters_.unchecked;
    return;
  }
  const uint32_t sw = source_w_ != 0 && source_h_ != 0 ? source_w_ : picture.width;
  const uint32_t sh = source_w_ != 0 && source_h_ != 0 ? source_h_ : picture.height;
  const std::optional<uint64_t> counter =
      ReadTestPatternCounter(picture.y, picture.y_stride, picture.width, picture.height, sw, sh);
  if (!counter) {
    ++counters_.counter_unreadable;
    ++counters_.picture_bad;
    ++counters_.mismatched;
    Note(NoteKind::kBad, "[Sim] Video: picture ts=%llu (%ux%u, source %ux%u) carries no readable test pattern counter",
         U(unit.timestamp_us), picture.width, picture.height, sw, sh);
    return;
  }
  if (!model_ || model_->source_width() != sw || model_->source_height() != sh ||
      model_->picture_width() != picture.width || model_->picture_height() != picture.height) {
    model_ = std::make_unique<TestPatternLuma>(sw, sh, picture.width, picture.height);
    expected_.assign(static_cast<size_t>(picture.width) * picture.height, 0);
  }
  model_->Build(*counter, expected_.data(), picture.width);
  const double psnr =
      LumaPsnr(picture.y, picture.y_stride, expected_.data(), picture.width, picture.width, picture.height);
  psnr_min_ = psnr_count_ == 0 ? psnr : std::min(psnr_min_, psnr);
  psnr_sum_ += psnr;
  ++psnr_count_;
  if (psnr < config_.bad_below_db) {
    ++counters_.picture_bad;
    ++counters_.mismatched;
    Note(NoteKind::kBad, "[Sim] Video: picture ts=%llu counter=%llu is not the test pattern (Y-PSNR %.2f dB, below %.1f)",
         U(unit.timestamp_us), U(*counter), psnr, config_.bad_below_db);
    return;
  }
  ++counters_.picture_ok;
}

VideoSummary VideoReceiver::Summary() const {
  VideoSummary s;
  s.counters = counters_;
  if (counters_.decoded >= 2 && last_picture_ms_ > *first_picture_ms_) {
    s.fps = static_cast<double>(counters_.decoded - 1) * 1000.0 /
            static_cast<double>(last_picture_ms_ - *first_picture_ms_);
  }
  if (first_picture_ms_ && started_ms_) {
    s.first_frame_ms = *first_picture_ms_ >= *started_ms_ ? static_cast<int64_t>(*first_picture_ms_ - *started_ms_) : 0;
  }
  if (psnr_count_ > 0) {
    s.psnr_min = psnr_min_;
    s.psnr_avg = psnr_sum_ / static_cast<double>(psnr_count_);
  }
  if (!latencies_.empty()) {
    std::vector<double> sorted = latencies_;
    std::sort(sorted.begin(), sorted.end());
    // Nearest rank.
    const auto rank = [&](double p) {
      const size_t r = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
      return sorted[std::clamp<size_t>(r, 1, sorted.size()) - 1];
    };
    s.latency_p50_ms = rank(0.50);
    s.latency_p99_ms = rank(0.99);
  }
  if (stop_ms_) {
    s.stop_to_last_ms = last_picture_after_stop_ms_ ? static_cast<int64_t>(*last_picture_after_stop_ms_ - *stop_ms_) : 0;
  }
  s.decoder = decoder_ ? SimCodecName(decoder_codec_) : "none";
  s.picture_sizes = sizes_;
  s.other_sizes = other_sizes_;
  return s;
}

// ------------------------------------------------------------ VideoWorker

VideoWorker::VideoWorker(const VideoConfig& config, IClock& clock) : clock_(clock), receiver_(config, clock) {}

VideoWorker::~VideoWorker() { Close(0); }

bool VideoWorker::Start(std::string* error) {
  if (thread_.joinable()) return true;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    *error = e.what();
    return false;
  }
  return true;
}

void VideoWorker::Push(Item item) {
  std::lock_guard<std::mutex> lock(queue_mu_);
  if (closing_) return;  // after the end: nothing is taken
  if (item.kind == ItemKind::kUnit) {
    const size_t bytes = item.unit.bytes.size();
    if (queue_.size() >= kMaxQueuedVideoItems || queued_bytes_ + bytes > kMaxQueuedVideoBytes) {
      ++queue_dropped_;
      lost_in_queue_ = true;
      return;
    }
    if (lost_in_queue_) {
      // Where the dropped units were: a given-up unit, so the decoder waits
      // for a keyframe.
      lost_in_queue_ = false;
      Item lost;
      lost.unit.base = item.unit.base;
      lost.unit.count = 0;
      lost.unit.gap = true;
      queue_.push_back(std::move(lost));
    }
    queued_bytes_ += bytes;
  } else if (queue_.size() >= 2 * kMaxQueuedVideoItems) {
    ++queue_dropped_;
    return;
  }
  queue_.push_back(std::move(item));
  queue_cv_.notify_one();
}

void VideoWorker::OnUnit(ResolvedUnit&& unit) {
  Item item;
  item.kind = ItemKind::kUnit;
  item.unit = std::move(unit);
  Push(std::move(item));
}

void VideoWorker::SetNegotiated(uint32_t codec, uint32_t width, uint32_t height) {
  Item item;
  item.kind = ItemKind::kNegotiated;
  item.a = codec;
  item.b = width;
  item.c = height;
  Push(std::move(item));
}

void VideoWorker::OnStreamStarted(uint32_t source_width, uint32_t source_height, uint64_t now_ms) {
  Item item;
  item.kind = ItemKind::kStarted;
  item.a = source_width;
  item.b = source_height;
  item.now_ms = now_ms;
  Push(std::move(item));
}

void VideoWorker::OnStreamResize(uint32_t width, uint32_t height) {
  Item item;
  item.kind = ItemKind::kResize;
  item.a = width;
  item.b = height;
  Push(std::move(item));
}

void VideoWorker::OnStop(uint64_t now_ms) {
  Item item;
  item.kind = ItemKind::kStop;
  item.now_ms = now_ms;
  Push(std::move(item));
}

void VideoWorker::Apply(Item& item) {
  switch (item.kind) {
    case ItemKind::kUnit: receiver_.OnUnit(item.unit); break;
    case ItemKind::kNegotiated: receiver_.SetNegotiated(item.a, item.b, item.c); break;
    case ItemKind::kStarted: receiver_.OnStreamStarted(item.a, item.b, item.now_ms); break;
    case ItemKind::kResize: receiver_.OnStreamResize(item.a, item.b); break;
    case ItemKind::kStop: receiver_.OnStop(item.now_ms); break;
  }
}

void VideoWorker::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(queue_mu_);
      queue_cv_.wait(lock, [&] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) break;
      if (closing_ && clock_.TickMs() >= drain_deadline_ms_) {
        for (const Item& left : queue_) {
          if (left.kind == ItemKind::kUnit && left.unit.complete && !left.unit.synthetic) ++left_at_end_;
        }
        queue_.clear();
        queued_bytes_ = 0;
        break;
      }
      item = std::move(queue_.front());
      queue_.pop_front();
      if (item.kind == ItemKind::kUnit) queued_bytes_ -= item.unit.bytes.size();
    }
    Apply(item);
    Publish();
  }
  Publish();
}

void VideoWorker::Publish() {
  VideoCounters counters = receiver_.counters();
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    counters.queue_dropped = queue_dropped_;
    counters.left_at_end = left_at_end_;
  }
  std::vector<std::string> notes = receiver_.TakeNotes();
  const bool request = receiver_.TakeKeyframeRequest();
  std::lock_guard<std::mutex> lock(shared_mu_);
  published_ = counters;
  published_keyframe_ticks_ = receiver_.keyframe_ticks();
  for (std::string& n : notes) notes_.push_back(std::move(n));
  request_ = request_ || request;
}

bool VideoWorker::TakeKeyframeRequest() {
  std::lock_guard<std::mutex> lock(shared_mu_);
  return std::exchange(request_, false);
}

std::vector<std::string> VideoWorker::TakeNotes() {
  std::lock_guard<std::mutex> lock(shared_mu_);
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

VideoCounters VideoWorker::Counters() const {
  std::lock_guard<std::mutex> lock(shared_mu_);
  return published_;
}

std::optional<uint64_t> VideoWorker::KeyframeDecodedSince(uint64_t since_ms) const {
  std::lock_guard<std::mutex> lock(shared_mu_);
  for (const uint64_t tick : published_keyframe_ticks_) {
    if (tick >= since_ms) return tick;
  }
  return std::nullopt;
}

void VideoWorker::Close(uint64_t drain_ms) {
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    if (!closing_) {
      closing_ = true;
      drain_deadline_ms_ = clock_.TickMs() + drain_ms;
    }
  }
  queue_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    for (const Item& left : queue_) {
      if (left.kind == ItemKind::kUnit && left.unit.complete && !left.unit.synthetic) ++left_at_end_;
    }
    queue_.clear();
    queued_bytes_ = 0;
  }
  Publish();
  std::lock_guard<std::mutex> lock(shared_mu_);
  closed_ = true;
}

VideoSummary VideoWorker::Summary() const {
  {
    std::lock_guard<std::mutex> lock(shared_mu_);
    if (!closed_) {
      VideoSummary s;
      s.counters = published_;
      s.decoder = "running";
      return s;
    }
  }
  // The thread is joined: the receiver is only this thread's now.
  VideoSummary s = receiver_.Summary();
  std::lock_guard<std::mutex> lock(queue_mu_);
  s.counters.queue_dropped = queue_dropped_;
  s.counters.left_at_end = left_at_end_;
  return s;
}

}  // namespace orvane::sim
