#pragma once
// The secure frame: the one envelope every encrypted control frame and every
// UDP datagram between host and tablet travels in.
//
//   offset 0   4 bytes  magic "OVD1"
//   offset 4   1 byte   flags; bit 0 = encrypted (always set on send)
//   offset 5   8 bytes  counter, big-endian
//   offset 13  n bytes  AES-128-GCM ciphertext of the plaintext
//   offset 13+n 16 bytes GCM tag
//
// The cipher key is the first 16 bytes of a 32-byte session key. The 12-byte
// nonce is a 4-byte direction prefix followed by the counter, both
// big-endian; there is no additional authenticated data, so the header is
// bound to the ciphertext only through the nonce.

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/security/crypto.h"

namespace orvane::security {

using crypto::ByteView;
using crypto::Bytes;

inline constexpr uint8_t kSecureFrameMagic[4] = {'O', 'V', 'D', '1'};
inline constexpr size_t kSecureFrameHeaderBytes = 13;
inline constexpr size_t kSecureFrameOverheadBytes = kSecureFrameHeaderBytes + crypto::kAesGcmTagBytes;
inline constexpr uint8_t kSecureFrameEncryptedFlag = 0x01;
// AES-128: the first 16 bytes of the session key.
inline constexpr size_t kEnvelopeKeyBytes = 16;

// Direction prefixes of the nonce.
inline constexpr uint32_t kNonceControlHostDirectional = 0x40000001u;
inline constexpr uint32_t kNonceControl = 0x00000001u;  // tablet -> host, and host -> tablet without directional nonces
inline constexpr uint32_t kNonceMedia = 0x00000002u;
inline constexpr uint32_t kNonceInput = 0x00000003u;

using Nonce = std::array<uint8_t, crypto::kAesGcmNonceBytes>;
Nonce BuildNonce(uint32_t prefix, uint64_t counter);

// AES-128-GCM under the first 16 bytes of key (at least 16 bytes), with the
// nonce built from prefix and counter. The context keeps its key schedule
// while the key bytes stay the same.
//   Seal: ciphertext || tag, empty on failure.
//   Open: true and the plaintext; false (plaintext empty) when the input is
//   shorter than a tag, the key is short or the tag does not verify.
Bytes SealAesGcm(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView plaintext);
bool OpenAesGcm(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView sealed,
                Bytes* plaintext);

// A complete secure frame (header, ciphertext, tag); empty on failure.
Bytes SealSecureFrame(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView plaintext);
// The same into *frame, reusing its storage (no allocation once it has
// grown to the largest frame); false and *frame empty on failure.
bool SealSecureFrameInto(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView plaintext,
                         Bytes* frame);

// The parts of a received frame. The payload points into the frame.
struct SecureFrameView {
  uint8_t flags = 0;
  uint64_t counter = 0;
  ByteView payload;  // ciphertext || tag
  bool encrypted() const { return (flags & kSecureFrameEncryptedFlag) != 0; }
};

// True when the bytes start with the magic (whatever their length).
bool HasSecureFrameMagic(ByteView bytes);
// True for at least 13 bytes starting with the magic; fills *out.
bool ParseSecureFrame(ByteView frame, SecureFrameView* out);

// The input channel's replay window: the highest accepted counter and a mask
// of the 64 counters up to it. Not synchronised; the owner holds its lock.
class ReplayWindow {
 public:
  static constexpr uint64_t kWidth = 64;

  // True (and the counter recorded) when the counter was not accepted
  // before and is at most 63 behind the highest one.
  bool Accept(uint64_t counter);
  // True when Accept would take the counter; changes nothing.
  bool WouldAccept(uint64_t counter) const;
  void Reset();

  bool seen() const { return seen_; }
  uint64_t highest() const { return highest_; }

 private:
  uint64_t highest_ = 0;
  uint64_t mask_ = 0;
  bool seen_ = false;
};

}  // namespace orvane::security
