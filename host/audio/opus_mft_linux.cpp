// Linux has no platform Opus encoder: libopus encodes.

#include "host/audio/opus_encoder.h"

namespace orvane {

namespace {

class NoOpusTransform final : public IOpusTransform {
 public:
  bool Initialize(uint32_t, uint32_t, uint32_t) override { return false; }
  bool Encode(const int16_t*, uint32_t, uint32_t, int64_t, OpusPacket*) override { return false; }
  bool SetBitrate(uint32_t) override { return false; }
  void Reset() override {}
  HostResult LastResult() const override {
    return HostResult::Failure(kOpusEncoderErrorCode, "No Opus MFT encoder found");
  }
};

}  // namespace

std::unique_ptr<IOpusTransform> MakePlatformOpusTransform() { return std::make_unique<NoOpusTransform>(); }

}  // namespace orvane
