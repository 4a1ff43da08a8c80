#pragma once
// Where the audio pipeline's Opus packets go: the session's media sender, or
// a recording sink in tests.

#include <cstddef>
#include <cstdint>

namespace orvane {

class IAudioPacketSink {
 public:
  virtual ~IAudioPacketSink() = default;
  // One packet with its sequence number, presentation time (host clock, us)
  // and duration in ms. Called on the capture thread.
  virtual bool SendAudioPacket(uint32_t sequence, uint64_t timestamp_us, uint8_t duration_ms, const uint8_t* data,
                               size_t length) = 0;
};

}  // namespace orvane
