#pragma once
// A platform Opus transform for tests: present or absent, and failing on the
// frames it is told to fail. Its packets are a few bytes carrying the frame's
// index; the script lives in a shared ScriptedOpusTransform::Script so the
// test keeps it after the encoder took the transform. Like the platform
// transform it relies on the encoder's mutex: the rate in use is written by
// Initialize and SetBitrate and read by Encode without a lock of its own, so
// ThreadSanitizer sees an encoder that calls it unguarded.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/audio/opus_encoder.h"

namespace orvane::testing {

class ScriptedOpusTransform final : public IOpusTransform {
 public:
  struct Script {
    std::mutex mu;
    bool present = true;      // false: "No Opus MFT encoder found"
    size_t packet_bytes = 8;  // size of each packet
    // Frame index (counted over every Encode call) -> failure message.
    std::map<uint64_t, std::string> failures;
    uint64_t encodes = 0;
    std::vector<int64_t> pts;  // of every Encode call
    uint32_t bitrate_kbps = 0;
  };

  explicit ScriptedOpusTransform(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  bool Initialize(uint32_t, uint32_t, uint32_t kbps) override {
    std::lock_guard<std::mutex> lock(script_->mu);
    if (!script_->present) {
      result_ = HostResult::Failure(kOpusEncoderErrorCode, "No Opus MFT encoder found");
      return false;
    }
    script_->bitrate_kbps = kbps;
    kbps_in_use_ = kbps;
    result_ = HostResult::Success();
    return true;
  }
  bool Encode(const int16_t*, uint32_t, uint32_t, int64_t pts_us, OpusPacket* out) override {
    std::lock_guard<std::mutex> lock(script_->mu);
    const uint64_t index = script_->encodes++;
    script_->pts.push_back(pts_us);
    const auto failure = script_->failures.find(index);
    if (failure != script_->failures.end()) {
      result_ = HostResult::Failure(kOpusEncoderErrorCode, failure->second);
      return false;
    }
    out->data.assign(script_->packet_bytes, static_cast<uint8_t>(index));
    if (!out->data.empty()) out->data[0] = static_cast<uint8_t>(kbps_in_use_);
    out->pts_us = pts_us;
    out->duration_ms = 20;
    result_ = HostResult::Success();
    return true;
  }
  bool SetBitrate(uint32_t kbps) override {
    kbps_in_use_ = kbps;
    std::lock_guard<std::mutex> lock(script_->mu);
    script_->bitrate_kbps = kbps;
    return true;
  }
  void Reset() override {}
  HostResult LastResult() const override { return result_; }

  // An absent transform: the encoder falls back to libopus.
  static std::unique_ptr<IOpusTransform> Absent() {
    auto script = std::make_shared<Script>();
    script->present = false;
    return std::make_unique<ScriptedOpusTransform>(std::move(script));
  }

 private:
  std::shared_ptr<Script> script_;
  HostResult result_;
  uint32_t kbps_in_use_ = 0;
};

}  // namespace orvane::testing
