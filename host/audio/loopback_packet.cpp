#include "host/audio/loopback_packet.h"

#include "host/common/logger.h"

namespace orvane {

bool LoopbackPacketDelivery::Configure(const SourceFormat& source) {
  configured_ = converter_.Configure(source);
  passthrough_ = configured_ && converter_.passthrough();
  out_.clear();
  return configured_;
}

bool LoopbackPacketDelivery::Deliver(const CapturedPacket& packet, const PcmCallback& callback, IClock& clock) {
  if (!configured_ || packet.frames > kMaxConvertFrames) return false;
  if (packet.frames == 0) return true;
  if (!packet.silent && packet.data == nullptr) return false;
  const int64_t timestamp_us =
      HostClockUsFromQpcPosition(packet.qpc_position_100ns, packet.timestamp_error, clock);
  if (passthrough_ && !packet.silent) {
    if (callback) callback(static_cast<const int16_t*>(packet.data), packet.frames, kConvertedChannels, timestamp_us);
    return true;
  }
  if (packet.discontinuity) converter_.ResetStream();
  const bool converted =
      packet.silent ? converter_.ConvertSilence(packet.frames, &out_) : converter_.Convert(packet.data, packet.frames, &out_);
  if (!converted) return false;
  const auto frames = static_cast<uint32_t>(out_.size() / kConvertedChannels);
  if (frames > 0 && callback) callback(out_.data(), frames, kConvertedChannels, timestamp_us);
  return true;
}

bool CaptureFailureWatch::OnFailure(const char* call, HResult hr) {
  if (failures_++ == 0) LogWarn("[Audio] %s failed: 0x%08lX", call, static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  if (hr != kAudioDeviceInvalidated) return false;
  LogWarn("[Audio] The audio device was invalidated; capture stops until the next start");
  return true;
}

}  // namespace orvane
