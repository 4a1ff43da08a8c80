#pragma once
// Input checks shared by the platform implementations of the crypto seam.

#include "host/security/crypto.h"

namespace orvane::crypto::detail {

// 65 bytes starting with 0x04; whether the point is on the curve is decided
// by the library when the key is imported.
inline bool HasUncompressedPointShape(ByteView key) {
  return key.size() == kP256PublicKeyBytes && key[0] == kP256UncompressedPrefix;
}

inline bool IsAesKeyLength(size_t length) { return length == 16 || length == 32; }

}  // namespace orvane::crypto::detail
