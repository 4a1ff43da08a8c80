#pragma once
// The media datagrams the host sends to the tablet (before the secure frame
// envelope). Multi-byte integers are big-endian.
//
// Video fragment (20-byte header + at most 1200 payload bytes):
//   0 version 1 | 1 type 1 | 2 flags (bit 0 keyframe, on fragment 0 of a
//   keyframe only; bit 1 second flag) | 3 reserved 0 | 4 u32 sequence number |
//   8 u64 timestamp (us) | 16 u16 fragment index | 18 u16 fragment count |
//   20 payload: the next slice of the access unit
// Audio packet (16-byte header + one Opus packet of at most 1200 bytes):
//   0 version 1 | 1 type 2 | 2 reserved 0 | 3 duration (ms) |
//   4 u32 sequence number | 8 u64 timestamp | 16 payload
// FEC parity packet:
//   0 type 4 | 1 u32 first sequence number | 5 count c |
//   6 c x u16 length of each protected datagram (65535 at most) |
//   6 + 2c parity: XOR of the c datagrams, each padded with zeros to the
//   longest
//
// The builders write into caller buffers so the send path allocates nothing
// per datagram; the parsers are for tests and the tablet side.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/security/crypto.h"

namespace orvane::media {

using crypto::ByteView;

inline constexpr uint8_t kMediaVersion = 1;
inline constexpr uint8_t kTypeVideo = 1;
inline constexpr uint8_t kTypeAudio = 2;
inline constexpr uint8_t kTypeFecParity = 4;

inline constexpr uint8_t kVideoFlagKeyframe = 0x01;
inline constexpr uint8_t kVideoFlagSecond = 0x02;

inline constexpr size_t kMaxPayloadBytes = 1200;
inline constexpr size_t kVideoHeaderBytes = 20;
inline constexpr size_t kAudioHeaderBytes = 16;
inline constexpr size_t kMaxVideoDatagramBytes = kVideoHeaderBytes + kMaxPayloadBytes;  // 1220
inline constexpr size_t kMaxAudioDatagramBytes = kAudioHeaderBytes + kMaxPayloadBytes;  // 1216
inline constexpr size_t kFecHeaderBytes = 6;
// The fragment index and count are 16-bit.
inline constexpr size_t kMaxFragmentsPerFrame = 65535;

// Bytes a datagram costs on the wire, for pacing: IPv4 and UDP headers, plus
// the secure frame (13-byte header and 16-byte tag) when it is in use.
inline constexpr size_t kIpUdpOverheadBytes = 28;
inline constexpr size_t kEnvelopedOverheadBytes = 57;
inline constexpr size_t WireBytes(size_t datagram_bytes, bool enveloped) {
  return datagram_bytes + (enveloped ? kEnvelopedOverheadBytes : kIpUdpOverheadBytes);
}

// Fragments needed for an access unit of `length` bytes: ceil(length / 1200).
inline constexpr size_t FragmentCount(size_t length) { return (length + kMaxPayloadBytes - 1) / kMaxPayloadBytes; }

struct VideoHeader {
  uint8_t flags = 0;
  uint32_t sequence = 0;
  uint64_t timestamp_us = 0;
  uint16_t index = 0;
  uint16_t count = 0;
};

struct AudioHeader {
  uint8_t duration_ms = 0;
  uint32_t sequence = 0;
  uint64_t timestamp = 0;
};

// Header and payload into out (at least 20 + payload bytes); returns the
// datagram's length. The payload must be at most 1200 bytes.
size_t WriteVideoFragment(const VideoHeader& header, ByteView payload, uint8_t* out);
size_t WriteAudioPacket(const AudioHeader& header, ByteView payload, uint8_t* out);

// False for a datagram that is too short or not of that version and type.
bool ParseVideoHeader(ByteView datagram, VideoHeader* out);
bool ParseAudioHeader(ByteView datagram, AudioHeader* out);

struct FecParityView {
  uint32_t first_sequence = 0;
  std::vector<uint16_t> lengths;  // one per protected datagram, in group order
  ByteView parity;                // points into the parsed packet
};
// False for a packet that is not a parity packet or is shorter than its
// lengths say.
bool ParseFecParity(ByteView packet, FecParityView* out);

}  // namespace orvane::media
