// The portable part of the crypto seam: wiping, constant-time comparison and
// the single-part forms of the digests.

#include "host/security/crypto.h"

namespace orvane::crypto {

void SecureWipe(void* data, size_t length) {
  if (data == nullptr) return;
  // Volatile stores cannot be elided, even for memory that dies right after.
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) p[i] = 0;
}

void SecureWipe(Bytes& bytes) {
  SecureWipe(bytes.data(), bytes.size());
  bytes.clear();
}

bool ConstantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
  // Read through a volatile so the loop is not turned into an early exit.
  volatile uint8_t result = diff;
  return result == 0;
}

Bytes Sha256(ByteView data) {
  Digest digest{};
  if (!Sha256({data}, &digest)) return {};
  return Bytes(digest.begin(), digest.end());
}

Bytes HmacSha256(ByteView key, ByteView data) {
  Digest mac{};
  if (!HmacSha256(key, {data}, &mac)) return {};
  Bytes out(mac.begin(), mac.end());
  SecureWipe(mac.data(), mac.size());
  return out;
}

}  // namespace orvane::crypto
