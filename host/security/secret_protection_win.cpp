// Secret protection on Windows: DPAPI bound to the user, with the caller's
// entropy label, no description and never a prompt.

#include <windows.h>

#include <dpapi.h>

#include "host/common/logger.h"
#include "host/security/secret_protection.h"

namespace orvane::security {

namespace {

// DPAPI handles small secrets; the bound keeps a damaged caller from handing
// it an absurd buffer.
constexpr size_t kMaxSecretBytes = 16u * 1024u * 1024u;
constexpr size_t kMaxBlobBytes = kMaxSecretBytes + 64u * 1024u;

bool Fail(HostResult* result, SecretProtectionCode code, std::string message, HResult hr = kEFail) {
  if (result) *result = HostResult::Failure(code, std::move(message), hr);
  return false;
}

bool Succeed(HostResult* result) {
  if (result) *result = HostResult::Success();
  return true;
}

// DPAPI takes non-const input pointers where it only reads.
DATA_BLOB Blob(const void* data, size_t length) {
  DATA_BLOB blob;
  blob.cbData = static_cast<DWORD>(length);
  blob.pbData = const_cast<BYTE*>(static_cast<const BYTE*>(data));
  return blob;
}

// Errors that mean this blob will never open for this user: damaged data, a
// different entropy label, another user's or another machine's key. Anything
// else (the protected-storage service not yet running at log-on, low memory,
// RPC failures) may pass.
bool IsPermanentUnprotectError(DWORD error) {
  switch (error) {
    case ERROR_INVALID_DATA:
    case ERROR_INVALID_PARAMETER:
    case static_cast<DWORD>(NTE_BAD_DATA):
    case static_cast<DWORD>(NTE_BAD_KEY_STATE):
    case static_cast<DWORD>(NTE_BAD_KEY):
    case static_cast<DWORD>(NTE_BAD_SIGNATURE):
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ProtectSecret(crypto::ByteView plaintext, std::string_view entropy, crypto::Bytes* blob, HostResult* result) {
  if (blob == nullptr) return Fail(result, kSecretInvalidInput, "no output", kEInvalidArg);
  blob->clear();
  if (plaintext.empty() || plaintext.size() > kMaxSecretBytes || entropy.size() > kMaxSecretBytes) {
    return Fail(result, kSecretInvalidInput, "secret must be 1 byte to 16 MiB", kEInvalidArg);
  }
  DATA_BLOB in = Blob(plaintext.data(), plaintext.size());
  DATA_BLOB extra = Blob(entropy.data(), entropy.size());
  DATA_BLOB out{};
  if (!CryptProtectData(&in, nullptr, entropy.empty() ? nullptr : &extra, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    const DWORD err = GetLastError();
    LogError("[Crypto] CryptProtectData failed: %lu", static_cast<unsigned long>(err));
    return Fail(result, kSecretUnavailable, "CryptProtectData failed", HResultFromWin32(static_cast<int32_t>(err)));
  }
  blob->assign(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return Succeed(result);
}

bool UnprotectSecret(crypto::ByteView blob, std::string_view entropy, crypto::Bytes* plaintext,
                     HostResult* result) {
  if (plaintext == nullptr) return Fail(result, kSecretInvalidInput, "no output", kEInvalidArg);
  crypto::SecureWipe(*plaintext);
  if (blob.empty() || blob.size() > kMaxBlobBytes || entropy.size() > kMaxSecretBytes) {
    return Fail(result, kSecretInvalidInput, "not a protected blob", kEInvalidArg);
  }
  DATA_BLOB in = Blob(blob.data(), blob.size());
  DATA_BLOB extra = Blob(entropy.data(), entropy.size());
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, entropy.empty() ? nullptr : &extra, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    const DWORD err = GetLastError();
    LogError("[Crypto] CryptUnprotectData failed: %lu", static_cast<unsigned long>(err));
    const HResult hr = HResultFromWin32(static_cast<int32_t>(err));
    if (IsPermanentUnprotectError(err)) return Fail(result, kSecretRefused, "protected blob does not open", hr);
    return Fail(result, kSecretUnavailable, "CryptUnprotectData failed", hr);
  }
  if (out.cbData == 0 || out.pbData == nullptr) {
    if (out.pbData != nullptr) LocalFree(out.pbData);
    // ProtectSecret never makes a blob of an empty secret.
    return Fail(result, kSecretRefused, "protected blob holds no secret");
  }
  plaintext->assign(out.pbData, out.pbData + out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return Succeed(result);
}

}  // namespace orvane::security
