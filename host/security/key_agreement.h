#pragma once
// Key agreement of the control connection: ephemeral ECDH P-256 key pairs,
// HKDF-SHA256 and the 32-byte session key, plus the fingerprints that log
// lines show instead of key bytes.
//
// Ephemeral public keys travel as 64 bytes, X then Y, each 32 bytes
// big-endian (the uncompressed point without its 0x04 prefix).
//
// The byte order of the raw secret: the tablets' first implementations fed
// HKDF with the X coordinate least significant byte first, later ones most
// significant byte first. `p256_reverse` selects the latter; the connection
// derives both and keeps the other one as its compatibility key.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/security/crypto.h"

namespace orvane::security {

using crypto::ByteView;
using crypto::Bytes;

inline constexpr size_t kSessionKeyBytes = 32;
inline constexpr size_t kEphemeralPublicKeyBytes = 64;
inline constexpr size_t kHkdfMaxLength = 255 * crypto::kSha256Bytes;  // 8160
inline constexpr size_t kTranscriptHashBytes = 32;
// The HKDF info of every session key (no terminating zero).
inline constexpr std::string_view kSessionKeyInfo = "orvane-display-session-v1";

// RFC 5869 with SHA-256. An empty salt stands for 32 zero bytes. Empty for
// length 0 or above 8160, or when a primitive fails. Intermediate material is
// wiped.
Bytes HkdfSha256(ByteView ikm, ByteView salt, ByteView info, size_t length);

// An ephemeral ECDH P-256 key pair with its public key in the 64-byte wire
// form.
class EphemeralKeyPair {
 public:
  // A fresh pair; false (and the pair empty) on failure.
  bool Generate();
  // A fixed pair for tests: the 32-byte scalar and the 64-byte public key.
  bool Import(ByteView private_key, ByteView public_key64);
  // Destroys the private key.
  void Clear();

  bool valid() const { return key_.valid() && public_key_.size() == kEphemeralPublicKeyBytes; }
  // X || Y (64 bytes); empty without a pair.
  const Bytes& public_key() const { return public_key_; }
  crypto::EcdhP256KeyPair& key() { return key_; }

 private:
  crypto::EcdhP256KeyPair key_;
  Bytes public_key_;
};

// Session key = HKDF-SHA256(ikm = raw secret, salt, info = kSessionKeyInfo,
// 32 bytes), where the raw secret is the ECDH X coordinate, least
// significant byte first unless p256_reverse is set. The peer key must be 64
// bytes (a 32-byte X alone cannot be imported and fails like a point off the
// curve). Empty on failure, with one "[Crypto]" line.
Bytes DeriveSessionKey(crypto::EcdhP256KeyPair& host_key, ByteView peer_public_key, ByteView salt,
                       bool p256_reverse);
// The second authentication version's key: the transcript hash as salt and
// p256_reverse set; only for a 64-byte peer key and a 32-byte hash.
Bytes DeriveAuthV2SessionKey(crypto::EcdhP256KeyPair& host_key, ByteView peer_public_key, ByteView transcript_hash);

// FNV-1a (32 bit) of the bytes as 8 upper-case hex digits.
std::string KeyFingerprint(ByteView bytes);
std::string KeyFingerprint(std::string_view bytes);
// KeyFingerprint, or "none" for empty bytes (what log lines print).
std::string KeyFingerprintOrNone(ByteView bytes);
// The first min(n, 12) bytes as upper-case hex; "none" for empty input.
std::string HexPrefix(ByteView bytes, size_t n);

inline ByteView AsBytes(std::string_view text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace orvane::security
