#pragma once
// Protection of small secrets at rest (device credentials, the host
// identity's private key), bound to the user.
//
// Windows: DPAPI (CryptProtectData / CryptUnprotectData) with the caller's
// entropy label, no description, no prompt, CRYPTPROTECT_UI_FORBIDDEN.
// Linux: AES-256-GCM under a random 32-byte key kept in a file readable by
// the user only (mode 0600) in the data folder, created on first use; the
// entropy label is the additional authenticated data, so a blob protected
// for one purpose does not open for another. The blob is
//   0x01 (format) || 12-byte random nonce || ciphertext || 16-byte tag.
//
// Blobs are opaque to callers and not portable between the two platforms or
// between users.

#include <string_view>

#include "host/common/host_result.h"
#include "host/security/crypto.h"

namespace orvane::security {

enum SecretProtectionCode : int {
  kSecretOk = 0,
  kSecretInvalidInput = 1,  // empty secret, or a blob that is not one of ours
  kSecretUnavailable = 2,   // the platform (or the key file) failed: may pass
  kSecretRefused = 3,       // the blob does not open (other user, damaged)
};

// Protects the plaintext; false and *result on failure.
bool ProtectSecret(crypto::ByteView plaintext, std::string_view entropy, crypto::Bytes* blob,
                   HostResult* result = nullptr);
// Opens a blob made by ProtectSecret with the same entropy label; false and
// *result on failure (the plaintext is left empty).
bool UnprotectSecret(crypto::ByteView blob, std::string_view entropy, crypto::Bytes* plaintext,
                     HostResult* result = nullptr);

}  // namespace orvane::security
