#pragma once
// What a loopback capture does with each packet the audio engine hands it,
// kept free of platform calls so that every rule is tested on its own:
//
//   LoopbackPacketDelivery delivery;
//   delivery.Configure(source_format);          // false: format refused
//   delivery.Deliver(packet, callback, clock);  // per captured packet
//
// The callback always receives 48 kHz stereo int16 (AudioFormat
// {48000, 2, 16}); a source already in that layout is handed over as it is,
// anything else goes through the sample converter. Silent packets deliver
// zeros. The timestamp is the packet's performance-counter position in host
// microseconds (the host clock's now when the position is 0 or flagged bad).

#include <cstdint>
#include <vector>

#include "host/audio/loopback_capture.h"
#include "host/audio/sample_convert.h"
#include "host/common/clock.h"
#include "host/common/host_result.h"

namespace orvane {

// AUDCLNT_E_DEVICE_INVALIDATED: the endpoint went away (unplugged, disabled,
// or its format changed); the client is dead until it is rebuilt.
inline constexpr HResult kAudioDeviceInvalidated = static_cast<HResult>(0x88890004u);

// One packet as the capture client returned it.
struct CapturedPacket {
  const void* data = nullptr;  // frames x source block bytes; unused when silent
  uint32_t frames = 0;
  bool silent = false;            // AUDCLNT_BUFFERFLAGS_SILENT
  bool discontinuity = false;     // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
  bool timestamp_error = false;   // AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR
  uint64_t qpc_position_100ns = 0;
};

class LoopbackPacketDelivery {
 public:
  // The layout the callback receives.
  static constexpr AudioFormat kOutputFormat{kConvertedSampleRate, kConvertedChannels, 16};

  // Prepares for packets of `source`; false when the converter does not take
  // it (then Deliver refuses every packet).
  bool Configure(const SourceFormat& source);
  bool configured() const { return configured_; }
  // The source is already 48 kHz stereo int16: packets go out unconverted.
  bool passthrough() const { return passthrough_; }

  // Hands one packet to `callback` (nothing for 0 frames, nor when
  // resampling yields no whole frame yet). False when the packet is refused:
  // not configured, more than kMaxConvertFrames frames, or no data.
  bool Deliver(const CapturedPacket& packet, const PcmCallback& callback, IClock& clock);

 private:
  SampleConverter converter_;
  bool configured_ = false;
  bool passthrough_ = false;
  std::vector<int16_t> out_;  // converted or silent samples, capacity reused
};

// The capture thread's bookkeeping of failed capture calls within one run:
// the first failure of the run is logged (warning, with the HRESULT), later
// ones are not; device invalidation ends the run so that the next Start
// rebuilds the client.
class CaptureFailureWatch {
 public:
  // Logs "[Audio] %s failed: 0x%08lX" with `call` for the first failure of
  // the run, and "[Audio] The audio device was invalidated; capture stops
  // until the next start" when `hr` is kAudioDeviceInvalidated. True when
  // the capture thread must end.
  bool OnFailure(const char* call, HResult hr);
  // Failed calls seen in this run.
  uint32_t failures() const { return failures_; }

 private:
  uint32_t failures_ = 0;
};

}  // namespace orvane
