#include "host/video/testing/fake_video_encoder.h"

namespace orvane::testing {

bool FakeVideoEncoder::Initialize(VideoCodec, uint32_t width, uint32_t height, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> lock(mu_);
  initializations_.emplace_back(width, height);
  initialized_ = initialize_ok;
  last_ = initialize_ok ? HostResult::Success() : HostResult::Failure(6, "Failed to create hardware or software encoder");
  keyframe_pending_ = true;  // a new encoder opens with an IDR
  held_.clear();
  return initialized_;
}

void FakeVideoEncoder::Shutdown() {
  std::lock_guard<std::mutex> lock(mu_);
  initialized_ = false;
}

bool FakeVideoEncoder::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  initialized_ = initialize_ok;
  keyframe_pending_ = true;
  return initialized_;
}

bool FakeVideoEncoder::EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                                  int64_t timestamp_us) {
  const bool intact = !check_image || check_image(pixels, pitch, width, height);
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialized_ || fail_encode) {
    last_ = HostResult::Failure(6, "Encoder process input failed");
    return false;
  }
  ++frames_;
  const bool own_idr = own_idr_every != 0 && frames_ % own_idr_every == 0;
  const bool keyframe = keyframe_pending_ || own_idr;
  submitted_.push_back({timestamp_us, width, height, keyframe_pending_, bitrate_, fps_, intact});
  keyframe_pending_ = false;
  EncodedAccessUnit unit;
  unit.data.assign(keyframe ? keyframe_bytes : unit_bytes, 0xAB);
  unit.data[0] = 0;
  unit.data[1] = 0;
  unit.data[2] = 0;
  unit.data[3] = 1;
  unit.data[4] = keyframe ? 0x65 : 0x41;
  unit.keyframe = keyframe;
  unit.timestamp_us = timestamp_us;
  if (lag_one) {
    held_.push_back(std::move(unit));
    if (held_.size() > 1) {
      ready_.push_back(std::move(held_.front()));
      held_.pop_front();
    }
  } else {
    ready_.push_back(std::move(unit));
  }
  last_ = HostResult::Success();
  return true;
}

bool FakeVideoEncoder::ReceiveAccessUnit(EncodedAccessUnit* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ready_.empty()) return false;
  *out = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

void FakeVideoEncoder::RequestKeyframe() {
  std::lock_guard<std::mutex> lock(mu_);
  keyframe_pending_ = true;
}

void FakeVideoEncoder::SetBitrate(uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  bitrate_ = kbps;
}

void FakeVideoEncoder::SetFrameSizeLimits(uint32_t vbv_bits, uint32_t min_qp) {
  std::lock_guard<std::mutex> lock(mu_);
  limits_.emplace_back(vbv_bits, min_qp);
}

void FakeVideoEncoder::SetFrameRate(uint32_t fps) {
  std::lock_guard<std::mutex> lock(mu_);
  fps_ = fps;
}

bool FakeVideoEncoder::IsInitialized() {
  std::lock_guard<std::mutex> lock(mu_);
  return initialized_;
}

EncoderRuntimeInfo FakeVideoEncoder::GetRuntimeInfo() {
  EncoderRuntimeInfo info;
  info.mft_name = "fake";
  info.fallback_reason = "software_encoder_selected";
  return info;
}

HostResult FakeVideoEncoder::GetLastResult() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_;
}

std::vector<FakeVideoEncoder::Submitted> FakeVideoEncoder::SubmittedFrames() {
  std::lock_guard<std::mutex> lock(mu_);
  return submitted_;
}

std::vector<std::pair<uint32_t, uint32_t>> FakeVideoEncoder::Initializations() {
  std::lock_guard<std::mutex> lock(mu_);
  return initializations_;
}

std::vector<std::pair<uint32_t, uint32_t>> FakeVideoEncoder::FrameSizeLimits() {
  std::lock_guard<std::mutex> lock(mu_);
  return limits_;
}

}  // namespace orvane::testing
