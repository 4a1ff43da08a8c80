#include "host/transport/media_packet.h"

#include <cstring>

#include "host/common/byte_order.h"

namespace orvane::media {

size_t WriteVideoFragment(const VideoHeader& header, ByteView payload, uint8_t* out) {
  out[0] = kMediaVersion;
  out[1] = kTypeVideo;
  out[2] = header.flags;
  out[3] = 0;
  StoreBe32(out + 4, header.sequence);
  StoreBe64(out + 8, header.timestamp_us);
  StoreBe16(out + 16, header.index);
  StoreBe16(out + 18, header.count);
  if (!payload.empty()) std::memcpy(out + kVideoHeaderBytes, payload.data(), payload.size());
  return kVideoHeaderBytes + payload.size();
}

size_t WriteAudioPacket(const AudioHeader& header, ByteView payload, uint8_t* out) {
  out[0] = kMediaVersion;
  out[1] = kTypeAudio;
  out[2] = 0;
  out[3] = header.duration_ms;
  StoreBe32(out + 4, header.sequence);
  StoreBe64(out + 8, header.timestamp);
  if (!payload.empty()) std::memcpy(out + kAudioHeaderBytes, payload.data(), payload.size());
  return kAudioHeaderBytes + payload.size();
}

bool ParseVideoHeader(ByteView datagram, VideoHeader* out) {
  if (datagram.size() < kVideoHeaderBytes || datagram[0] != kMediaVersion || datagram[1] != kTypeVideo) return false;
  const uint8_t* p = datagram.data();
  out->flags = p[2];
  out->sequence = LoadBe32(p + 4);
  out->timestamp_us = LoadBe64(p + 8);
  out->index = LoadBe16(p + 16);
  out->count = LoadBe16(p + 18);
  return true;
}

bool ParseAudioHeader(ByteView datagram, AudioHeader* out) {
  if (datagram.size() < kAudioHeaderBytes || datagram[0] != kMediaVersion || datagram[1] != kTypeAudio) return false;
  const uint8_t* p = datagram.data();
  out->duration_ms = p[3];
  out->sequence = LoadBe32(p + 4);
  out->timestamp = LoadBe64(p + 8);
  return true;
}

bool ParseFecParity(ByteView packet, FecParityView* out) {
  if (packet.size() < kFecHeaderBytes || packet[0] != kTypeFecParity) return false;
  const size_t count = packet[5];
  const size_t lengths_end = kFecHeaderBytes + 2 * count;
  if (packet.size() < lengths_end) return false;
  out->first_sequence = LoadBe32(packet.data() + 1);
  out->lengths.resize(count);
  for (size_t i = 0; i < count; ++i) out->lengths[i] = LoadBe16(packet.data() + kFecHeaderBytes + 2 * i);
  out->parity = packet.subspan(lengths_end);
  return true;
}

}  // namespace orvane::media
