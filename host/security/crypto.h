#pragma once
// The host's cryptographic primitives behind one small interface, implemented
// with CNG on Windows (crypto_win.cpp) and OpenSSL 3 on Linux
// (crypto_linux.cpp). Everything above this seam is portable and produces
// identical bytes on both platforms.
//
// Byte orders: every integer that crosses this interface (curve coordinates,
// private scalars, the ECDH shared secret, ECDSA r and s) is a fixed-width
// big-endian byte string as in SEC1. Platform formats (CNG's little-endian raw
// secret, its key blobs, OpenSSL's DER signatures) never leave the
// implementation files.
//
// Failures are values: functions return false or an empty result and log one
// "[Crypto]" line with the library's status; no exception leaves the seam.
// Objects that hold secrets wipe them when they are destroyed.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "host/common/host_result.h"

namespace orvane::crypto {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline constexpr size_t kSha256Bytes = 32;
inline constexpr size_t kP256CoordinateBytes = 32;
inline constexpr size_t kP256PrivateKeyBytes = 32;
// Uncompressed X9.62 point: 0x04, X, Y.
inline constexpr size_t kP256PublicKeyBytes = 65;
inline constexpr uint8_t kP256UncompressedPrefix = 0x04;
inline constexpr size_t kP256SharedSecretBytes = 32;
// ECDSA signature as r then s, each 32 bytes big-endian (not DER).
inline constexpr size_t kEcdsaP256SignatureBytes = 64;
inline constexpr size_t kAesGcmNonceBytes = 12;
inline constexpr size_t kAesGcmTagBytes = 16;
// Bounds a single AES-GCM call; frames of every channel are far smaller.
inline constexpr size_t kAesGcmMaxInputBytes = 16u * 1024u * 1024u;

// HostResult codes of the objects below.
enum CryptoCode : int {
  kCryptoOk = 0,
  kCryptoInvalidInput = 1,   // wrong length, missing key, point not on the curve
  kCryptoPlatformError = 2,  // the library refused an operation
  kCryptoAuthFailed = 3,     // AES-GCM tag or ECDSA signature did not verify
};

using Digest = std::array<uint8_t, kSha256Bytes>;

// Overwrites memory in a way the compiler cannot remove.
void SecureWipe(void* data, size_t length);
// Wipes the bytes and leaves the vector empty.
void SecureWipe(Bytes& bytes);

// Compares in time that depends only on the lengths; different lengths are
// unequal.
bool ConstantTimeEqual(ByteView a, ByteView b);

// Fills the buffer from the system's cryptographic random generator.
bool RandomBytes(uint8_t* buffer, size_t length);

// Digest and MAC over the concatenation of the parts, so callers need not
// copy secrets into a temporary message. HMAC refuses an empty key.
bool Sha256(std::initializer_list<ByteView> parts, Digest* out);
bool HmacSha256(ByteView key, std::initializer_list<ByteView> parts, Digest* out);
// Single-part forms: 32 bytes, or empty on failure.
Bytes Sha256(ByteView data);
Bytes HmacSha256(ByteView key, ByteView data);

// An ECDH P-256 key pair. Not copyable; destroying it destroys the private
// key.
class EcdhP256KeyPair {
 public:
  EcdhP256KeyPair();
  ~EcdhP256KeyPair();
  EcdhP256KeyPair(EcdhP256KeyPair&&) noexcept;
  EcdhP256KeyPair& operator=(EcdhP256KeyPair&&) noexcept;
  EcdhP256KeyPair(const EcdhP256KeyPair&) = delete;
  EcdhP256KeyPair& operator=(const EcdhP256KeyPair&) = delete;

  // A fresh random pair (replaces any previous one).
  bool Generate();
  // A fixed pair, for known-answer tests: the 32-byte private scalar and its
  // 65-byte public point. A point off the curve or one that does not belong
  // to the scalar is refused.
  bool Import(ByteView private_key, ByteView public_key);

  bool valid() const;
  // 65 bytes 0x04 || X || Y; empty without a key.
  const Bytes& public_key() const { return public_key_; }

  // The X coordinate of private * peer as 32 bytes, most significant byte
  // first (SEC1 field-element order). The peer key must be a 65-byte
  // uncompressed point on the curve. Empty on failure. The caller wipes the
  // result.
  Bytes DeriveSharedSecret(ByteView peer_public_key);

  const HostResult& last_result() const { return last_result_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  Bytes public_key_;
  HostResult last_result_;
};

// An ECDSA P-256 signing key.
class EcdsaP256Key {
 public:
  EcdsaP256Key();
  ~EcdsaP256Key();
  EcdsaP256Key(EcdsaP256Key&&) noexcept;
  EcdsaP256Key& operator=(EcdsaP256Key&&) noexcept;
  EcdsaP256Key(const EcdsaP256Key&) = delete;
  EcdsaP256Key& operator=(const EcdsaP256Key&) = delete;

  bool Generate();
  // The 32-byte private scalar and its 65-byte public point, as returned by
  // ExportPrivateKey() and public_key(); a mismatching pair is refused.
  bool Import(ByteView private_key, ByteView public_key);
  // The 32-byte private scalar, big-endian; empty on failure. The caller
  // wipes it.
  Bytes ExportPrivateKey() const;

  bool valid() const;
  const Bytes& public_key() const { return public_key_; }

  // Signs a 32-byte SHA-256 digest: 64 bytes r || s, or empty on failure.
  Bytes SignDigest(ByteView digest) const;

  const HostResult& last_result() const { return last_result_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  Bytes public_key_;
  mutable HostResult last_result_;
};

// Verifies a 64-byte r || s signature over a 32-byte digest with a 65-byte
// public point. False for any malformed input or a signature that fails.
bool EcdsaP256VerifyDigest(ByteView public_key, ByteView digest, ByteView signature);

// AES-GCM with a 12-byte nonce and a 16-byte tag. The key schedule is cached:
// SetKey with the bytes already set costs nothing, other bytes replace it.
// Calls are serialised by an internal lock, so one object may be shared, but
// each hot thread should own one to avoid contention.
class AesGcm {
 public:
  AesGcm();
  ~AesGcm();
  AesGcm(const AesGcm&) = delete;
  AesGcm& operator=(const AesGcm&) = delete;

  // A 16-byte (AES-128) or 32-byte (AES-256) key.
  bool SetKey(ByteView key);
  // Forgets and wipes the key.
  void ClearKey();
  bool has_key() const;

  // ciphertext || tag (plaintext length + 16 bytes); empty on failure.
  Bytes Seal(ByteView nonce, ByteView plaintext, ByteView aad = {});
  // The same into out, which holds plaintext length + 16 bytes (no
  // allocation; for the per-datagram paths). On failure out is wiped.
  bool SealInto(ByteView nonce, ByteView plaintext, uint8_t* out, ByteView aad = {});
  // Opens ciphertext || tag into *plaintext. False (and *plaintext empty)
  // when the input is malformed or the tag does not verify.
  bool Open(ByteView nonce, ByteView sealed, ByteView aad, Bytes* plaintext);
  bool Open(ByteView nonce, ByteView sealed, Bytes* plaintext) { return Open(nonce, sealed, {}, plaintext); }

  // Number of key schedules created so far (for tests of the cache).
  uint64_t key_schedules_created() const { return key_schedules_created_.load(); }
  HostResult last_result() const;

  struct Impl;

 private:
  bool SetKeyLocked(ByteView key);

  mutable std::mutex mu_;
  std::unique_ptr<Impl> impl_;
  Bytes key_;  // copy of the bytes the schedule was made from
  std::atomic<uint64_t> key_schedules_created_{0};
  HostResult last_result_;
};

}  // namespace orvane::crypto
