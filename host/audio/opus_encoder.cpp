#include "host/audio/opus_encoder.h"

#include <opus/opus.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "host/common/logger.h"

namespace orvane {

namespace {

static_assert(kOpusApplicationRestrictedLowDelay == OPUS_APPLICATION_RESTRICTED_LOWDELAY);

HostResult EncoderFailure(std::string message, HResult hr = kEFail) {
  return HostResult::Failure(kOpusEncoderErrorCode, std::move(message), hr);
}

HostResult LibopusFailure(const char* what, int err) {
  return EncoderFailure(std::string(what) + ": " + opus_strerror(err) + " (err=" + std::to_string(err) + ")");
}

// Samples per channel in a 20 ms frame (at least 1) and its whole ms.
uint32_t FrameSizeFor(uint32_t rate) { return std::max<uint32_t>(1, rate * 20 / 1000); }
uint8_t FrameDurationMsFor(uint32_t frame_size, uint32_t rate) {
  const uint64_t ms = static_cast<uint64_t>(frame_size) * 1000 / rate;
  return ms == 0 || ms > 255 ? 20 : static_cast<uint8_t>(ms);
}

// Rates and channel counts anyone may ask for; libopus itself takes fewer.
constexpr uint32_t kMaxSampleRate = 384'000;
constexpr uint32_t kMaxChannels = 8;

}  // namespace

const char* OpusBackendName(OpusBackend backend) {
  switch (backend) {
    case OpusBackend::kTransform: return "MFT";
    case OpusBackend::kLibopus: return "libopus";
    case OpusBackend::kNone: break;
  }
  return "none";
}

OpusEncoder::OpusEncoder(std::unique_ptr<IOpusTransform> transform) : transform_(std::move(transform)) {}

OpusEncoder::~OpusEncoder() {
  std::lock_guard<std::mutex> lock(mu_);
  ResetLocked();
}

void OpusEncoder::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  ResetLocked();
}

void OpusEncoder::ResetLocked() {
  if (backend_ == OpusBackend::kTransform && transform_) transform_->Reset();
  if (libopus_ != nullptr) {
    opus_encoder_destroy(libopus_);
    libopus_ = nullptr;
  }
  backend_ = OpusBackend::kNone;
  initialized_ = false;
  pending_.clear();
  pending_pts_us_ = 0;
  queue_.clear();
}

bool OpusEncoder::Initialize(uint32_t sample_rate, uint32_t channels, uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  ResetLocked();
  last_result_ = HostResult::Success();
  if (sample_rate == 0 || sample_rate > kMaxSampleRate || channels == 0 || channels > kMaxChannels) {
    last_result_ = EncoderFailure("Invalid Opus encoder format", kEInvalidArg);
    LogError("[OpusEnc] No Opus backend available (MFT + libopus fallback failed)");
    return false;
  }
  sample_rate_ = sample_rate;
  channels_ = channels;
  bitrate_kbps_ = kbps;
  expected_loss_ = 0;
  frame_size_ = FrameSizeFor(sample_rate);
  frame_duration_ms_ = FrameDurationMsFor(frame_size_, sample_rate);

  if (transform_) {
    if (transform_->Initialize(sample_rate, channels, kbps)) {
      transform_result_ = HostResult::Success();
      backend_ = OpusBackend::kTransform;
      initialized_ = true;
      return true;
    }
    transform_result_ = transform_->LastResult();
    transform_->Reset();
    LogInfo("[OpusEnc] %s; encoding with libopus", transform_result_.message.c_str());
  } else {
    transform_result_ = EncoderFailure("No Opus MFT encoder found");
  }
  if (InitializeLibopusLocked(kbps)) return true;
  LogError("[OpusEnc] No Opus backend available (MFT + libopus fallback failed)");
  return false;
}

bool OpusEncoder::InitializeLibopusLocked(uint32_t kbps) {
  int err = OPUS_OK;
  ::OpusEncoder* enc = opus_encoder_create(static_cast<opus_int32>(sample_rate_), static_cast<int>(channels_),
                                           OPUS_APPLICATION_RESTRICTED_LOWDELAY, &err);
  if (enc == nullptr || err != OPUS_OK) {
    if (enc != nullptr) opus_encoder_destroy(enc);
    last_result_ = LibopusFailure("libopus init failed", err == OPUS_OK ? OPUS_ALLOC_FAIL : err);
    return false;
  }
  struct Setting {
    const char* name;
    int rc;
  };
  const opus_int32 bps = static_cast<opus_int32>(std::min<uint32_t>(kbps, 512) * 1000);
  const Setting settings[] = {
      {"OPUS_SET_BITRATE", kbps > 0 ? opus_encoder_ctl(enc, OPUS_SET_BITRATE(bps)) : OPUS_OK},
      {"OPUS_SET_VBR", opus_encoder_ctl(enc, OPUS_SET_VBR(1))},
      {"OPUS_SET_VBR_CONSTRAINT", opus_encoder_ctl(enc, OPUS_SET_VBR_CONSTRAINT(1))},
      {"OPUS_SET_INBAND_FEC", opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(1))},
      {"OPUS_SET_DTX", opus_encoder_ctl(enc, OPUS_SET_DTX(1))},
      {"OPUS_SET_COMPLEXITY", opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(kOpusComplexity))},
      {"OPUS_SET_PACKET_LOSS_PERC", opus_encoder_ctl(enc, OPUS_SET_PACKET_LOSS_PERC(0))},
  };
  for (const Setting& s : settings) {
    if (s.rc != OPUS_OK) {
      opus_encoder_destroy(enc);
      LogWarn("[OpusEnc] %s failed: %s", s.name, opus_strerror(s.rc));
      last_result_ = LibopusFailure("libopus init failed", s.rc);
      return false;
    }
  }
  libopus_ = enc;
  backend_ = OpusBackend::kLibopus;
  initialized_ = true;
  pending_.reserve(static_cast<size_t>(frame_size_) * channels_);
  LogInfo("[OpusEnc] Opus libopus fallback initialized: %uHz, %uch, %ukbps", sample_rate_, channels_, kbps);
  return true;
}

bool OpusEncoder::FailLocked(HostResult result, HostResult* failure) {
  last_result_ = std::move(result);
  if (failure != nullptr) *failure = last_result_;
  return false;
}

bool OpusEncoder::Encode(const int16_t* pcm, uint32_t frames, uint32_t channels, int64_t pts_us, OpusPacket* out,
                         HostResult* failure) {
  std::lock_guard<std::mutex> lock(mu_);
  if (out == nullptr || (pcm == nullptr && frames > 0) || frames > kMaxOpusEncodeFrames) {
    return FailLocked(EncoderFailure("Invalid PCM for Opus encoding", kEInvalidArg), failure);
  }
  if (initialized_ && channels != channels_) {
    return FailLocked(EncoderFailure("Audio channel count changed during Opus encoding", kEInvalidArg), failure);
  }
  if (!initialized_) return FailLocked(EncoderFailure("Opus encoder is not initialized"), failure);
  switch (backend_) {
    case OpusBackend::kTransform:
      if (!transform_->Encode(pcm, frames, channels, pts_us, out)) return FailLocked(transform_->LastResult(), failure);
      if (out->data.size() > kMaxOpusPacketBytes) {
        return FailLocked(EncoderFailure("Opus packet exceeds the audio payload limit"), failure);
      }
      last_result_ = HostResult::Success();
      return true;
    case OpusBackend::kLibopus:
      if (!EncodeLibopusLocked(pcm, frames, pts_us, out)) {
        if (failure != nullptr) *failure = last_result_;
        return false;
      }
      last_result_ = HostResult::Success();
      return true;
    case OpusBackend::kNone: break;
  }
  return FailLocked(EncoderFailure("No Opus backend is active"), failure);
}

bool OpusEncoder::EncodeOneLibopusFrameLocked(const int16_t* frame, int64_t pts_us, OpusPacket* target) {
  target->data.resize(kMaxOpusPacketBytes);
  const opus_int32 n = opus_encode(libopus_, frame, static_cast<int>(frame_size_), target->data.data(),
                                   static_cast<opus_int32>(kMaxOpusPacketBytes));
  if (n < 0) {
    target->data.clear();
    pending_.clear();
    queue_.clear();
    last_result_ = LibopusFailure("libopus encode failed", n);
    return false;
  }
  target->data.resize(static_cast<size_t>(n));
  target->pts_us = pts_us;
  target->duration_ms = frame_duration_ms_;
  return true;
}

bool OpusEncoder::EncodeLibopusLocked(const int16_t* pcm, uint32_t frames, int64_t pts_us, OpusPacket* out) {
  const size_t frame_samples = static_cast<size_t>(frame_size_) * channels_;
  bool have_out = false;
  if (!queue_.empty()) {
    *out = std::move(queue_.front());
    queue_.pop_front();
    have_out = true;
  }
  // Where the next packet goes: *out first, then the queue.
  auto target = [&]() -> OpusPacket* {
    if (!have_out) {
      have_out = true;
      return out;
    }
    return &queue_.emplace_back();
  };
  size_t offset = 0;  // frames of this call consumed
  if (!pending_.empty()) {
    const size_t missing = (frame_samples - pending_.size()) / channels_;
    const size_t take = std::min<size_t>(missing, frames);
    pending_.insert(pending_.end(), pcm, pcm + take * channels_);
    offset = take;
    if (pending_.size() == frame_samples) {
      if (!EncodeOneLibopusFrameLocked(pending_.data(), pending_pts_us_, target())) return false;
      pending_.clear();
    }
  }
  while (frames - offset >= frame_size_) {
    const int64_t frame_pts = pts_us + static_cast<int64_t>(offset * 1'000'000 / sample_rate_);
    if (!EncodeOneLibopusFrameLocked(pcm + offset * channels_, frame_pts, target())) return false;
    offset += frame_size_;
  }
  if (offset < frames) {
    if (pending_.empty()) pending_pts_us_ = pts_us + static_cast<int64_t>(offset * 1'000'000 / sample_rate_);
    pending_.insert(pending_.end(), pcm + offset * channels_, pcm + static_cast<size_t>(frames) * channels_);
  }
  if (!have_out) {
    last_result_ = EncoderFailure("libopus requires more PCM input");
    return false;
  }
  return true;
}

void OpusEncoder::SetBitrate(uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  bitrate_kbps_ = kbps;
  if (!initialized_ || kbps == 0) return;
  if (backend_ == OpusBackend::kLibopus) {
    const int rc =
        opus_encoder_ctl(libopus_, OPUS_SET_BITRATE(static_cast<opus_int32>(std::min<uint32_t>(kbps, 512) * 1000)));
    if (rc != OPUS_OK) LogWarn("[OpusEnc] OPUS_SET_BITRATE(%u kbps) failed: %s", kbps, opus_strerror(rc));
  } else if (backend_ == OpusBackend::kTransform) {
    if (!transform_->SetBitrate(kbps)) LogDebug("[OpusEnc] The Opus MFT keeps its bitrate (asked %u kbps)", kbps);
  }
}

void OpusEncoder::SetExpectedLoss(int percent) {
  std::lock_guard<std::mutex> lock(mu_);
  expected_loss_ = std::clamp(percent, 0, kOpusMaxExpectedLossPercent);
  if (!initialized_ || backend_ != OpusBackend::kLibopus) return;
  const int rc = opus_encoder_ctl(libopus_, OPUS_SET_PACKET_LOSS_PERC(expected_loss_));
  if (rc != OPUS_OK) LogWarn("[OpusEnc] OPUS_SET_PACKET_LOSS_PERC(%d) failed: %s", expected_loss_, opus_strerror(rc));
}

bool OpusEncoder::Initialized() const {
  std::lock_guard<std::mutex> lock(mu_);
  return initialized_;
}

OpusBackend OpusEncoder::Backend() const {
  std::lock_guard<std::mutex> lock(mu_);
  return backend_;
}

uint32_t OpusEncoder::SampleRate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sample_rate_;
}

uint32_t OpusEncoder::Channels() const {
  std::lock_guard<std::mutex> lock(mu_);
  return channels_;
}

uint32_t OpusEncoder::BitrateKbps() const {
  std::lock_guard<std::mutex> lock(mu_);
  return bitrate_kbps_;
}

int OpusEncoder::ExpectedLossPercent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return expected_loss_;
}

uint32_t OpusEncoder::FrameSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frame_size_;
}

uint8_t OpusEncoder::FrameDurationMs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frame_duration_ms_;
}

HostResult OpusEncoder::LastResult() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_result_;
}

HostResult OpusEncoder::TransformResult() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transform_result_;
}

bool OpusEncoder::ReadLibopusSettings(LibopusSettings* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (out == nullptr || backend_ != OpusBackend::kLibopus || libopus_ == nullptr) return false;
  LibopusSettings s;
  opus_int32 bitrate = 0;
  opus_int32 rate = 0;
  const int rcs[] = {
      opus_encoder_ctl(libopus_, OPUS_GET_APPLICATION(&s.application)),
      opus_encoder_ctl(libopus_, OPUS_GET_BITRATE(&bitrate)),
      opus_encoder_ctl(libopus_, OPUS_GET_VBR(&s.vbr)),
      opus_encoder_ctl(libopus_, OPUS_GET_VBR_CONSTRAINT(&s.vbr_constraint)),
      opus_encoder_ctl(libopus_, OPUS_GET_INBAND_FEC(&s.inband_fec)),
      opus_encoder_ctl(libopus_, OPUS_GET_DTX(&s.dtx)),
      opus_encoder_ctl(libopus_, OPUS_GET_COMPLEXITY(&s.complexity)),
      opus_encoder_ctl(libopus_, OPUS_GET_PACKET_LOSS_PERC(&s.packet_loss_percent)),
      opus_encoder_ctl(libopus_, OPUS_GET_SAMPLE_RATE(&rate)),
  };
  for (int rc : rcs) {
    if (rc != OPUS_OK) return false;
  }
  s.bitrate_bps = static_cast<int>(bitrate);
  s.sample_rate = static_cast<int>(rate);
  s.channels = static_cast<int>(channels_);
  *out = s;
  return true;
}

}  // namespace orvane
