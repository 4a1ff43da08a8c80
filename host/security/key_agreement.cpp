#include "host/security/key_agreement.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "host/common/logger.h"

namespace orvane::security {

Bytes HkdfSha256(ByteView ikm, ByteView salt, ByteView info, size_t length) {
  if (length == 0 || length > kHkdfMaxLength) return {};
  static constexpr std::array<uint8_t, crypto::kSha256Bytes> kZeroSalt{};
  const ByteView extract_key = salt.empty() ? ByteView(kZeroSalt) : salt;

  crypto::Digest prk{};
  if (!crypto::HmacSha256(extract_key, {ikm}, &prk)) {
    LogError("[Crypto] HKDF extract failed");
    return {};
  }
  Bytes output;
  output.reserve(length);
  crypto::Digest block{};
  size_t block_length = 0;  // T(0) is empty
  bool ok = true;
  for (uint8_t i = 1; output.size() < length; ++i) {
    const uint8_t counter[1] = {i};
    if (!crypto::HmacSha256(prk, {ByteView(block.data(), block_length), info, ByteView(counter)}, &block)) {
      LogError("[Crypto] HKDF expand failed");
      ok = false;
      break;
    }
    block_length = block.size();
    const size_t take = std::min(block.size(), length - output.size());
    output.insert(output.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
  }
  crypto::SecureWipe(prk.data(), prk.size());
  crypto::SecureWipe(block.data(), block.size());
  if (!ok) crypto::SecureWipe(output);
  return output;
}

bool EphemeralKeyPair::Generate() {
  public_key_.clear();
  if (!key_.Generate() || key_.public_key().size() != crypto::kP256PublicKeyBytes) {
    LogError("[Crypto] BCryptGenerateKeyPair failed: 0x%08lX",
             static_cast<unsigned long>(static_cast<uint32_t>(key_.last_result().hr)));
    key_ = crypto::EcdhP256KeyPair();
    return false;
  }
  public_key_.assign(key_.public_key().begin() + 1, key_.public_key().end());
  LogInfo("[Crypto] Generated ephemeral key pair (pub=%zu bytes)", public_key_.size());
  return true;
}

bool EphemeralKeyPair::Import(ByteView private_key, ByteView public_key64) {
  public_key_.clear();
  if (public_key64.size() != kEphemeralPublicKeyBytes) return false;
  Bytes point;
  point.reserve(crypto::kP256PublicKeyBytes);
  point.push_back(crypto::kP256UncompressedPrefix);
  point.insert(point.end(), public_key64.begin(), public_key64.end());
  if (!key_.Import(private_key, point)) return false;
  public_key_.assign(public_key64.begin(), public_key64.end());
  return true;
}

void EphemeralKeyPair::Clear() {
  key_ = crypto::EcdhP256KeyPair();
  public_key_.clear();
}

Bytes DeriveSessionKey(crypto::EcdhP256KeyPair& host_key, ByteView peer_public_key, ByteView salt,
                       bool p256_reverse) {
  if (!host_key.valid() || peer_public_key.empty()) return {};
  if (peer_public_key.size() != kEphemeralPublicKeyBytes && peer_public_key.size() != crypto::kP256CoordinateBytes) {
    LogError("[Crypto] Unsupported peer public key size: %u", static_cast<unsigned>(peer_public_key.size()));
    return {};
  }
  if (peer_public_key.size() == crypto::kP256CoordinateBytes) {
    // X alone names two points; the key import needs both coordinates.
    LogError("[Crypto] Import peer public key failed: 0x%08lX", static_cast<unsigned long>(0x80070057u));
    return {};
  }
  Bytes point;
  point.reserve(crypto::kP256PublicKeyBytes);
  point.push_back(crypto::kP256UncompressedPrefix);
  point.insert(point.end(), peer_public_key.begin(), peer_public_key.end());

  // The seam returns the X coordinate most significant byte first.
  Bytes raw = host_key.DeriveSharedSecret(point);
  if (raw.size() != crypto::kP256SharedSecretBytes) {
    const HostResult& failure = host_key.last_result();
    if (failure.code == crypto::kCryptoInvalidInput) {
      LogError("[Crypto] Import peer public key failed: 0x%08lX",
               static_cast<unsigned long>(static_cast<uint32_t>(failure.hr)));
    } else {
      LogError("[Crypto] BCryptSecretAgreement failed: 0x%08lX",
               static_cast<unsigned long>(static_cast<uint32_t>(failure.hr)));
    }
    crypto::SecureWipe(raw);
    return {};
  }
  if (!p256_reverse) std::reverse(raw.begin(), raw.end());

  Bytes key = HkdfSha256(raw, salt, AsBytes(kSessionKeyInfo), kSessionKeyBytes);
  const size_t raw_length = raw.size();
  crypto::SecureWipe(raw);
  if (key.size() != kSessionKeyBytes) {
    LogError("[Crypto] Session key HKDF failed");
    crypto::SecureWipe(key);
    return {};
  }
  LogInfo("[Crypto] Session key derived via ECDH + HKDF-SHA256 (%zu bytes, raw=%zu, p256_reverse=%d)", key.size(),
          raw_length, p256_reverse ? 1 : 0);
  return key;
}

Bytes DeriveAuthV2SessionKey(crypto::EcdhP256KeyPair& host_key, ByteView peer_public_key, ByteView transcript_hash) {
  if (peer_public_key.size() != kEphemeralPublicKeyBytes || transcript_hash.size() != kTranscriptHashBytes) return {};
  return DeriveSessionKey(host_key, peer_public_key, transcript_hash, true);
}

std::string KeyFingerprint(ByteView bytes) {
  uint32_t hash = 0x811C9DC5u;
  for (const uint8_t b : bytes) {
    hash ^= b;
    hash *= 16777619u;
  }
  char text[9];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(hash));
  return text;
}

std::string KeyFingerprint(std::string_view bytes) { return KeyFingerprint(AsBytes(bytes)); }

std::string KeyFingerprintOrNone(ByteView bytes) { return bytes.empty() ? std::string("none") : KeyFingerprint(bytes); }

std::string HexPrefix(ByteView bytes, size_t n) {
  if (bytes.empty()) return "none";
  static constexpr size_t kMaxBytes = 12;
  const size_t count = std::min({n, bytes.size(), kMaxBytes});
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace orvane::security
