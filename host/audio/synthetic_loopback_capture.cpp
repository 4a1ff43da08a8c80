#include "host/audio/synthetic_loopback_capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#include "host/common/logger.h"

namespace orvane {

namespace {

int ModeIndex(int mode) { return mode == kLoopbackModeProcess ? 1 : 0; }

bool UsableFormat(const AudioFormat& f) {
  return f.sample_rate > 0 && f.sample_rate <= SyntheticLoopbackCapture::kMaxSampleRate && f.channels > 0 &&
         f.channels <= SyntheticLoopbackCapture::kMaxChannels && f.bits_per_sample == 16;
}

HostResult CaptureFailure(const char* message, HResult hr = kEFail) {
  return HostResult::Failure(kAudioCaptureErrorCode, message, hr);
}

}  // namespace

SyntheticLoopbackCapture::SyntheticLoopbackCapture(Delivery delivery, IClock& clock)
    : delivery_(delivery), clock_(clock) {}

SyntheticLoopbackCapture::~SyntheticLoopbackCapture() { Stop(); }

void SyntheticLoopbackCapture::SetFormat(int mode, AudioFormat format) {
  std::lock_guard<std::mutex> lock(mu_);
  formats_[ModeIndex(mode)] = format;
}

void SyntheticLoopbackCapture::SetInitResult(int mode, HostResult result) {
  std::lock_guard<std::mutex> lock(mu_);
  init_results_[ModeIndex(mode)] = std::move(result);
}

void SyntheticLoopbackCapture::SetStartResult(HostResult result) {
  std::lock_guard<std::mutex> lock(mu_);
  start_result_ = std::move(result);
}

void SyntheticLoopbackCapture::SetFramesPerCallback(uint32_t frames) {
  std::lock_guard<std::mutex> lock(mu_);
  frames_per_callback_ = frames;
}

void SyntheticLoopbackCapture::SetTone(uint32_t frequency_hz, int16_t amplitude) {
  std::lock_guard<std::mutex> lock(mu_);
  tone_hz_ = frequency_hz;
  tone_amplitude_ = amplitude;
  if (initialized_) BuildToneLocked();
}

void SyntheticLoopbackCapture::SetChunks(std::vector<SyntheticChunk> chunks) {
  std::lock_guard<std::mutex> lock(mu_);
  script_.assign(chunks.begin(), chunks.end());
}

void SyntheticLoopbackCapture::SetMaxChunks(uint64_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  max_chunks_ = count;
  cv_.notify_all();
}

void SyntheticLoopbackCapture::SetRealTimePacing(bool paced) {
  std::lock_guard<std::mutex> lock(mu_);
  paced_ = paced;
}

void SyntheticLoopbackCapture::SetStartTimestampUs(int64_t timestamp_us) {
  std::lock_guard<std::mutex> lock(mu_);
  has_start_timestamp_ = true;
  start_timestamp_us_ = timestamp_us;
}

void SyntheticLoopbackCapture::BuildToneLocked() {
  const size_t frames = format_.sample_rate;
  const size_t channels = format_.channels;
  tone_.assign(frames * channels, 0);
  if (tone_hz_ == 0 || tone_amplitude_ == 0) return;
  constexpr double kTwoPi = 6.283185307179586;
  for (size_t i = 0; i < frames; ++i) {
    const double phase = kTwoPi * static_cast<double>(tone_hz_) * static_cast<double>(i) / static_cast<double>(frames);
    const auto v = static_cast<int16_t>(std::lround(std::sin(phase) * tone_amplitude_));
    for (size_t c = 0; c < channels; ++c) tone_[i * channels + c] = v;
  }
}

bool SyntheticLoopbackCapture::Initialize(int preferred_mode) {
  Reset();
  std::lock_guard<std::mutex> lock(mu_);
  ++initialize_calls_;
  last_result_ = HostResult::Success();
  int mode = preferred_mode == kLoopbackModeProcess ? kLoopbackModeProcess : kLoopbackModeEndpoint;
  if (mode == kLoopbackModeProcess && !init_results_[1].ok()) {
    LogWarn("[Audio] Process loopback unavailable; using endpoint loopback");
    mode = kLoopbackModeEndpoint;
  }
  if (!init_results_[ModeIndex(mode)].ok()) {
    last_result_ = init_results_[ModeIndex(mode)];
    return false;
  }
  const AudioFormat format = formats_[ModeIndex(mode)];
  if (!UsableFormat(format)) {
    last_result_ = CaptureFailure("Audio format is not supported", kEInvalidArg);
    return false;
  }
  format_ = format;
  mode_ = mode;
  initialized_ = true;
  BuildToneLocked();
  return true;
}

bool SyntheticLoopbackCapture::Start(PcmCallback callback) {
  std::unique_lock<std::mutex> lock(mu_);
  if (running_) StopLocked(lock);
  if (!initialized_) {
    last_result_ = CaptureFailure("Audio capture was not initialized before Start()");
    return false;
  }
  if (!start_result_.ok()) {
    last_result_ = start_result_;
    return false;
  }
  ++start_calls_;
  callback_ = std::move(callback);
  base_us_ = has_start_timestamp_ ? start_timestamp_us_ : clock_.NowUs();
  gaps_us_ = 0;
  frames_since_base_ = 0;
  running_ = true;
  last_result_ = HostResult::Success();
  if (delivery_ == Delivery::kThread) thread_ = std::thread([this] { ThreadMain(); });
  return true;
}

void SyntheticLoopbackCapture::StopLocked(std::unique_lock<std::mutex>& lock) {
  running_ = false;
  cv_.notify_all();
  if (thread_.joinable()) {
    std::thread thread = std::move(thread_);
    lock.unlock();
    thread.join();
    lock.lock();
  }
  callback_ = nullptr;
}

void SyntheticLoopbackCapture::Stop() {
  std::unique_lock<std::mutex> lock(mu_);
  StopLocked(lock);
}

void SyntheticLoopbackCapture::Reset() {
  std::unique_lock<std::mutex> lock(mu_);
  StopLocked(lock);
  initialized_ = false;
  mode_ = kLoopbackModeEndpoint;
  format_ = AudioFormat{};
  tone_.clear();
}

bool SyntheticLoopbackCapture::PrepareNextLocked(Prepared* out) {
  if (max_chunks_ != 0 && delivered_ >= max_chunks_) return false;
  SyntheticChunk chunk;
  if (!script_.empty()) {
    chunk = script_.front();
    script_.pop_front();
  }
  const uint32_t rate = format_.sample_rate;
  const uint32_t channels = format_.channels;
  uint32_t frames = chunk.frames != 0 ? chunk.frames : frames_per_callback_ != 0 ? frames_per_callback_ : rate / 100;
  frames = std::clamp<uint32_t>(frames, 1, rate);  // at most one second per callback
  gaps_us_ += chunk.gap_us;
  out->timestamp_us =
      base_us_ + gaps_us_ + static_cast<int64_t>(frames_since_base_ * 1'000'000 / rate) + chunk.jitter_us;
  out->frames = frames;
  buffer_.resize(static_cast<size_t>(frames) * channels);
  if (chunk.silent || tone_.empty()) {
    std::fill(buffer_.begin(), buffer_.end(), int16_t{0});
  } else {
    size_t done = 0;
    while (done < frames) {
      const size_t at = tone_position_ % rate;
      const size_t n = std::min<size_t>(frames - done, rate - at);
      std::memcpy(buffer_.data() + done * channels, tone_.data() + at * channels, n * channels * sizeof(int16_t));
      done += n;
      tone_position_ += n;
    }
  }
  frames_since_base_ += frames;
  out->samples = &buffer_;
  return true;
}

bool SyntheticLoopbackCapture::DeliverNext() { return DeliverChunks(1); }

bool SyntheticLoopbackCapture::DeliverChunks(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    std::unique_lock<std::mutex> lock(mu_);
    if (delivery_ != Delivery::kManual || !running_) return false;
    Prepared p;
    if (!PrepareNextLocked(&p)) return false;
    const uint32_t channels = format_.channels;
    // Only Start and Stop replace the callback, and in manual mode they run
    // on the thread that delivers.
    const PcmCallback* callback = &callback_;
    lock.unlock();
    if (*callback) (*callback)(p.samples->data(), p.frames, channels, p.timestamp_us);
    lock.lock();
    ++delivered_;
  }
  return true;
}

bool SyntheticLoopbackCapture::DeliverPcm(const int16_t* samples, uint32_t frames, int64_t timestamp_us) {
  std::unique_lock<std::mutex> lock(mu_);
  if (delivery_ != Delivery::kManual || !running_ || samples == nullptr) return false;
  const uint32_t channels = format_.channels;
  const PcmCallback* callback = &callback_;  // as in DeliverChunks
  lock.unlock();
  if (*callback) (*callback)(samples, frames, channels, timestamp_us);
  lock.lock();
  ++delivered_;
  return true;
}

void SyntheticLoopbackCapture::ThreadMain() {
  std::unique_lock<std::mutex> lock(mu_);
  while (running_) {
    Prepared p;
    if (!PrepareNextLocked(&p)) {
      cv_.wait(lock, [this] { return !running_ || max_chunks_ == 0 || delivered_ < max_chunks_; });
      continue;
    }
    const uint32_t channels = format_.channels;
    const int64_t duration_us = static_cast<int64_t>(p.frames) * 1'000'000 / format_.sample_rate;
    lock.unlock();
    callback_(p.samples->data(), p.frames, channels, p.timestamp_us);
    lock.lock();
    ++delivered_;
    cv_.notify_all();
    if (paced_) cv_.wait_for(lock, std::chrono::microseconds(duration_us), [this] { return !running_; });
  }
}

uint32_t SyntheticLoopbackCapture::InitializeCalls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return initialize_calls_;
}

uint32_t SyntheticLoopbackCapture::StartCalls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return start_calls_;
}

uint64_t SyntheticLoopbackCapture::DeliveredChunks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delivered_;
}

bool SyntheticLoopbackCapture::Running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

int64_t SyntheticLoopbackCapture::NextTimestampUs() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (format_.sample_rate == 0) return base_us_ + gaps_us_;
  return base_us_ + gaps_us_ + static_cast<int64_t>(frames_since_base_ * 1'000'000 / format_.sample_rate);
}

bool SyntheticLoopbackCapture::Initialized() const {
  std::lock_guard<std::mutex> lock(mu_);
  return initialized_;
}

AudioFormat SyntheticLoopbackCapture::Format() const {
  std::lock_guard<std::mutex> lock(mu_);
  return format_;
}

int SyntheticLoopbackCapture::Mode() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mode_;
}

HostResult SyntheticLoopbackCapture::LastResult() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_result_;
}

}  // namespace orvane
