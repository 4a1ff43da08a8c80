// The crypto seam on CNG (the BCrypt functions).
//
// CNG hands out curve points and signatures big-endian already; the one
// exception is the raw ECDH secret, which comes least significant byte first
// and is reversed here so that callers see the same bytes as on Linux.

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "host/common/logger.h"
#include "host/security/crypto.h"
#include "host/security/crypto_internal.h"

namespace orvane::crypto {

namespace {

constexpr NTSTATUS kStatusAuthTagMismatch = static_cast<NTSTATUS>(0xC000A002L);
constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);
constexpr size_t kEccBlobHeaderBytes = sizeof(BCRYPT_ECCKEY_BLOB);  // magic, key size
constexpr size_t kEccPublicBlobBytes = kEccBlobHeaderBytes + 2 * kP256CoordinateBytes;
constexpr size_t kEccPrivateBlobBytes = kEccPublicBlobBytes + kP256PrivateKeyBytes;

unsigned long Hex32(NTSTATUS status) { return static_cast<unsigned long>(static_cast<uint32_t>(status)); }

HostResult Fail(const char* what, NTSTATUS status) {
  LogError("[Crypto] %s failed: 0x%08lX", what, Hex32(status));
  return HostResult::Failure(kCryptoPlatformError, std::string(what) + " failed", static_cast<HResult>(status));
}

HostResult Invalid(const char* what) { return HostResult::Failure(kCryptoInvalidInput, what, kEInvalidArg); }

// CNG takes non-const input pointers even where it only reads.
PUCHAR In(ByteView bytes) { return const_cast<PUCHAR>(bytes.data()); }

// The algorithm providers, opened once per process and closed at exit.
// Provider handles may be shared by threads.
class Providers {
 public:
  static Providers& Get() {
    static Providers instance;
    return instance;
  }
  BCRYPT_ALG_HANDLE sha256() { return sha256_; }
  BCRYPT_ALG_HANDLE hmac() { return hmac_; }
  BCRYPT_ALG_HANDLE aes_gcm() { return aes_gcm_; }
  BCRYPT_ALG_HANDLE ecdh() { return ecdh_; }
  BCRYPT_ALG_HANDLE ecdsa() { return ecdsa_; }

 private:
  Providers() {
    sha256_ = Open(BCRYPT_SHA256_ALGORITHM, 0, "BCryptOpenAlgorithmProvider(SHA-256)");
    hmac_ = Open(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG, "BCryptOpenAlgorithmProvider(HMAC-SHA256)");
    ecdh_ = Open(BCRYPT_ECDH_P256_ALGORITHM, 0, "BCryptOpenAlgorithmProvider(ECDH_P256)");
    ecdsa_ = Open(BCRYPT_ECDSA_P256_ALGORITHM, 0, "BCryptOpenAlgorithmProvider(ECDSA_P256)");
    aes_gcm_ = Open(BCRYPT_AES_ALGORITHM, 0, "BCryptOpenAlgorithmProvider(AES)");
    if (aes_gcm_ != nullptr) {
      const NTSTATUS st =
          BCryptSetProperty(aes_gcm_, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                            static_cast<ULONG>(sizeof(BCRYPT_CHAIN_MODE_GCM)), 0);
      if (!BCRYPT_SUCCESS(st)) {
        Fail("BCryptSetProperty(ChainingModeGCM)", st);
        BCryptCloseAlgorithmProvider(aes_gcm_, 0);
        aes_gcm_ = nullptr;
      }
    }
  }
  ~Providers() {
    for (BCRYPT_ALG_HANDLE h : {sha256_, hmac_, aes_gcm_, ecdh_, ecdsa_}) {
      if (h != nullptr) BCryptCloseAlgorithmProvider(h, 0);
    }
  }
  static BCRYPT_ALG_HANDLE Open(const wchar_t* name, ULONG flags, const char* what) {
    BCRYPT_ALG_HANDLE h = nullptr;
    const NTSTATUS st = BCryptOpenAlgorithmProvider(&h, name, nullptr, flags);
    if (!BCRYPT_SUCCESS(st)) {
      Fail(what, st);
      return nullptr;
    }
    return h;
  }

  BCRYPT_ALG_HANDLE sha256_ = nullptr;
  BCRYPT_ALG_HANDLE hmac_ = nullptr;
  BCRYPT_ALG_HANDLE aes_gcm_ = nullptr;
  BCRYPT_ALG_HANDLE ecdh_ = nullptr;
  BCRYPT_ALG_HANDLE ecdsa_ = nullptr;
};

// Owns one key handle.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() { reset(); }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  BCRYPT_KEY_HANDLE get() const { return h_; }
  BCRYPT_KEY_HANDLE* out() {
    reset();
    return &h_;
  }
  void reset() {
    if (h_ != nullptr) BCryptDestroyKey(h_);
    h_ = nullptr;
  }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

class SecretHandle {
 public:
  ~SecretHandle() {
    if (h_ != nullptr) BCryptDestroySecret(h_);
  }
  BCRYPT_SECRET_HANDLE* out() { return &h_; }
  BCRYPT_SECRET_HANDLE get() const { return h_; }

 private:
  BCRYPT_SECRET_HANDLE h_ = nullptr;
};

// CNG key blob: magic, key size 32, X, Y (and d for a private blob).
Bytes MakeBlob(ULONG magic, ByteView public_key, ByteView private_key) {
  Bytes blob(kEccPublicBlobBytes + private_key.size());
  BCRYPT_ECCKEY_BLOB header{magic, static_cast<ULONG>(kP256CoordinateBytes)};
  std::memcpy(blob.data(), &header, sizeof(header));
  std::memcpy(blob.data() + kEccBlobHeaderBytes, public_key.data() + 1, 2 * kP256CoordinateBytes);
  if (!private_key.empty()) std::memcpy(blob.data() + kEccPublicBlobBytes, private_key.data(), private_key.size());
  return blob;
}

bool ImportBlob(BCRYPT_ALG_HANDLE alg, const wchar_t* type, ByteView blob, KeyHandle* key, HostResult* result) {
  if (alg == nullptr) {
    *result = HostResult::Failure(kCryptoPlatformError, "algorithm provider unavailable");
    return false;
  }
  const NTSTATUS st =
      BCryptImportKeyPair(alg, nullptr, type, key->out(), In(blob), static_cast<ULONG>(blob.size()), 0);
  if (!BCRYPT_SUCCESS(st)) {
    // The library refuses points that are not on the curve.
    *result = HostResult::Failure(kCryptoInvalidInput, "key import refused", static_cast<HResult>(st));
    return false;
  }
  *result = HostResult::Success();
  return true;
}

bool ImportPublic(BCRYPT_ALG_HANDLE alg, ULONG magic, ByteView public_key, KeyHandle* key, HostResult* result) {
  if (!detail::HasUncompressedPointShape(public_key)) {
    *result = Invalid("public key must be a 65-byte uncompressed point");
    return false;
  }
  return ImportBlob(alg, BCRYPT_ECCPUBLIC_BLOB, MakeBlob(magic, public_key, {}), key, result);
}

bool ImportPrivate(BCRYPT_ALG_HANDLE alg, ULONG magic, ByteView private_key, ByteView public_key, KeyHandle* key,
                   HostResult* result) {
  if (private_key.size() != kP256PrivateKeyBytes || !detail::HasUncompressedPointShape(public_key)) {
    *result = Invalid("key pair needs a 32-byte scalar and a 65-byte uncompressed point");
    return false;
  }
  Bytes blob = MakeBlob(magic, public_key, private_key);
  const bool ok = ImportBlob(alg, BCRYPT_ECCPRIVATE_BLOB, blob, key, result);
  SecureWipe(blob);
  return ok;
}

Bytes ExportBlob(BCRYPT_KEY_HANDLE key, const wchar_t* type, size_t expected, HostResult* result) {
  Bytes blob(expected);
  ULONG written = 0;
  const NTSTATUS st = BCryptExportKey(key, nullptr, type, blob.data(), static_cast<ULONG>(blob.size()), &written, 0);
  if (!BCRYPT_SUCCESS(st) || written != expected) {
    SecureWipe(blob);
    *result = Fail("BCryptExportKey", BCRYPT_SUCCESS(st) ? static_cast<NTSTATUS>(0xC0000023L) : st);
    return {};
  }
  return blob;
}

Bytes ExportPublicPoint(BCRYPT_KEY_HANDLE key, HostResult* result) {
  const Bytes blob = ExportBlob(key, BCRYPT_ECCPUBLIC_BLOB, kEccPublicBlobBytes, result);
  if (blob.empty()) return {};
  Bytes point(kP256PublicKeyBytes);
  point[0] = kP256UncompressedPrefix;
  std::memcpy(point.data() + 1, blob.data() + kEccBlobHeaderBytes, 2 * kP256CoordinateBytes);
  return point;
}

bool GenerateP256(BCRYPT_ALG_HANDLE alg, KeyHandle* key, HostResult* result) {
  if (alg == nullptr) {
    *result = HostResult::Failure(kCryptoPlatformError, "algorithm provider unavailable");
    return false;
  }
  NTSTATUS st = BCryptGenerateKeyPair(alg, key->out(), 256, 0);
  if (!BCRYPT_SUCCESS(st)) {
    *result = Fail("BCryptGenerateKeyPair", st);
    return false;
  }
  st = BCryptFinalizeKeyPair(key->get(), 0);
  if (!BCRYPT_SUCCESS(st)) {
    key->reset();
    *result = Fail("BCryptFinalizeKeyPair", st);
    return false;
  }
  return true;
}

bool SignWith(BCRYPT_KEY_HANDLE key, ByteView digest, uint8_t* signature, HostResult* result) {
  ULONG written = 0;
  const NTSTATUS st = BCryptSignHash(key, nullptr, In(digest), static_cast<ULONG>(digest.size()), signature,
                                     static_cast<ULONG>(kEcdsaP256SignatureBytes), &written, 0);
  if (!BCRYPT_SUCCESS(st) || written != kEcdsaP256SignatureBytes) {
    *result = Fail("BCryptSignHash", BCRYPT_SUCCESS(st) ? static_cast<NTSTATUS>(0xC0000023L) : st);
    return false;
  }
  return true;
}

// The library does not promise to check that an imported point belongs to the
// imported scalar, so a signature made with the scalar must verify under the
// point.
bool PairMatches(ByteView private_key, ByteView public_key, HostResult* result) {
  BCRYPT_ALG_HANDLE alg = Providers::Get().ecdsa();
  KeyHandle priv;
  if (!ImportPrivate(alg, BCRYPT_ECDSA_PRIVATE_P256_MAGIC, private_key, public_key, &priv, result)) return false;
  const uint8_t digest[kSha256Bytes] = {'o', 'r', 'v', 'a', 'n', 'e', '-', 'k', 'e', 'y', '-', 'c', 'h', 'e', 'c', 'k'};
  uint8_t signature[kEcdsaP256SignatureBytes];
  if (!SignWith(priv.get(), digest, signature, result)) return false;
  if (!EcdsaP256VerifyDigest(public_key, digest, signature)) {
    *result = Invalid("private key does not match the public key");
    return false;
  }
  return true;
}

}  // namespace

bool RandomBytes(uint8_t* buffer, size_t length) {
  if (length == 0) return true;
  if (buffer == nullptr) return false;
  while (length > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(length, 1u << 20));
    const NTSTATUS st = BCryptGenRandom(nullptr, buffer, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(st)) {
      Fail("BCryptGenRandom", st);
      return false;
    }
    buffer += chunk;
    length -= chunk;
  }
  return true;
}

namespace {

bool HashParts(BCRYPT_ALG_HANDLE alg, ByteView key, std::initializer_list<ByteView> parts, Digest* out,
               const char* what) {
  if (alg == nullptr || out == nullptr) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  NTSTATUS st = BCryptCreateHash(alg, &hash, nullptr, 0, key.empty() ? nullptr : In(key),
                                 static_cast<ULONG>(key.size()), 0);
  if (!BCRYPT_SUCCESS(st)) {
    Fail(what, st);
    return false;
  }
  for (ByteView part : parts) {
    if (part.empty()) continue;
    st = BCryptHashData(hash, In(part), static_cast<ULONG>(part.size()), 0);
    if (!BCRYPT_SUCCESS(st)) break;
  }
  if (BCRYPT_SUCCESS(st)) st = BCryptFinishHash(hash, out->data(), static_cast<ULONG>(out->size()), 0);
  BCryptDestroyHash(hash);
  if (!BCRYPT_SUCCESS(st)) {
    SecureWipe(out->data(), out->size());
    Fail(what, st);
    return false;
  }
  return true;
}

}  // namespace

bool Sha256(std::initializer_list<ByteView> parts, Digest* out) {
  return HashParts(Providers::Get().sha256(), {}, parts, out, "SHA-256");
}

bool HmacSha256(ByteView key, std::initializer_list<ByteView> parts, Digest* out) {
  if (key.empty()) return false;
  return HashParts(Providers::Get().hmac(), key, parts, out, "HMAC-SHA256");
}

// ---------------------------------------------------------------- ECDH

struct EcdhP256KeyPair::Impl {
  KeyHandle key;
};

EcdhP256KeyPair::EcdhP256KeyPair() : impl_(std::make_unique<Impl>()) {}
EcdhP256KeyPair::~EcdhP256KeyPair() = default;  // destroying the handle destroys the key
EcdhP256KeyPair::EcdhP256KeyPair(EcdhP256KeyPair&&) noexcept = default;
EcdhP256KeyPair& EcdhP256KeyPair::operator=(EcdhP256KeyPair&&) noexcept = default;

bool EcdhP256KeyPair::valid() const { return impl_ != nullptr && impl_->key.get() != nullptr; }

bool EcdhP256KeyPair::Generate() {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  impl_->key.reset();
  public_key_.clear();
  if (!GenerateP256(Providers::Get().ecdh(), &impl_->key, &last_result_)) return false;
  Bytes pub = ExportPublicPoint(impl_->key.get(), &last_result_);
  if (pub.empty()) {
    impl_->key.reset();
    return false;
  }
  public_key_ = std::move(pub);
  last_result_ = HostResult::Success();
  return true;
}

bool EcdhP256KeyPair::Import(ByteView private_key, ByteView public_key) {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  impl_->key.reset();
  public_key_.clear();
  if (!PairMatches(private_key, public_key, &last_result_)) return false;
  if (!ImportPrivate(Providers::Get().ecdh(), BCRYPT_ECDH_PRIVATE_P256_MAGIC, private_key, public_key, &impl_->key,
                     &last_result_)) {
    return false;
  }
  public_key_.assign(public_key.begin(), public_key.end());
  return true;
}

Bytes EcdhP256KeyPair::DeriveSharedSecret(ByteView peer_public_key) {
  if (!valid()) {
    last_result_ = Invalid("no key pair");
    return {};
  }
  KeyHandle peer;
  if (!ImportPublic(Providers::Get().ecdh(), BCRYPT_ECDH_PUBLIC_P256_MAGIC, peer_public_key, &peer, &last_result_)) {
    LogError("[Crypto] ECDH peer public key refused: 0x%08lX", Hex32(last_result_.hr));
    return {};
  }
  SecretHandle secret;
  NTSTATUS st = BCryptSecretAgreement(impl_->key.get(), peer.get(), secret.out(), 0);
  if (!BCRYPT_SUCCESS(st)) {
    last_result_ = Fail("BCryptSecretAgreement", st);
    return {};
  }
  ULONG size = 0;
  st = BCryptDeriveKey(secret.get(), BCRYPT_KDF_RAW_SECRET, nullptr, nullptr, 0, &size, 0);
  if (!BCRYPT_SUCCESS(st) || size != kP256SharedSecretBytes) {
    last_result_ = Fail("BCryptDeriveKey(RAW_SECRET size)", BCRYPT_SUCCESS(st) ? static_cast<NTSTATUS>(0xC0000023L) : st);
    return {};
  }
  Bytes raw(size);
  st = BCryptDeriveKey(secret.get(), BCRYPT_KDF_RAW_SECRET, nullptr, raw.data(), size, &size, 0);
  if (!BCRYPT_SUCCESS(st) || size != kP256SharedSecretBytes) {
    SecureWipe(raw);
    last_result_ = Fail("BCryptDeriveKey(RAW_SECRET)", BCRYPT_SUCCESS(st) ? static_cast<NTSTATUS>(0xC0000023L) : st);
    return {};
  }
  // CNG gives the raw secret least significant byte first.
  std::reverse(raw.begin(), raw.end());
  last_result_ = HostResult::Success();
  return raw;
}

// ---------------------------------------------------------------- ECDSA

struct EcdsaP256Key::Impl {
  KeyHandle key;
};

EcdsaP256Key::EcdsaP256Key() : impl_(std::make_unique<Impl>()) {}
EcdsaP256Key::~EcdsaP256Key() = default;
EcdsaP256Key::EcdsaP256Key(EcdsaP256Key&&) noexcept = default;
EcdsaP256Key& EcdsaP256Key::operator=(EcdsaP256Key&&) noexcept = default;

bool EcdsaP256Key::valid() const { return impl_ != nullptr && impl_->key.get() != nullptr; }

bool EcdsaP256Key::Generate() {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  impl_->key.reset();
  public_key_.clear();
  if (!GenerateP256(Providers::Get().ecdsa(), &impl_->key, &last_result_)) return false;
  Bytes pub = ExportPublicPoint(impl_->key.get(), &last_result_);
  if (pub.empty()) {
    impl_->key.reset();
    return false;
  }
  public_key_ = std::move(pub);
  last_result_ = HostResult::Success();
  return true;
}

bool EcdsaP256Key::Import(ByteView private_key, ByteView public_key) {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  impl_->key.reset();
  public_key_.clear();
  if (!PairMatches(private_key, public_key, &last_result_)) return false;
  if (!ImportPrivate(Providers::Get().ecdsa(), BCRYPT_ECDSA_PRIVATE_P256_MAGIC, private_key, public_key, &impl_->key,
                     &last_result_)) {
    return false;
  }
  public_key_.assign(public_key.begin(), public_key.end());
  return true;
}

Bytes EcdsaP256Key::ExportPrivateKey() const {
  if (!valid()) {
    last_result_ = Invalid("no key");
    return {};
  }
  Bytes blob = ExportBlob(impl_->key.get(), BCRYPT_ECCPRIVATE_BLOB, kEccPrivateBlobBytes, &last_result_);
  if (blob.empty()) return {};
  Bytes out(blob.begin() + kEccPublicBlobBytes, blob.end());
  SecureWipe(blob);
  last_result_ = HostResult::Success();
  return out;
}

Bytes EcdsaP256Key::SignDigest(ByteView digest) const {
  if (!valid() || digest.size() != kSha256Bytes) {
    last_result_ = Invalid("signing needs a key and a 32-byte digest");
    return {};
  }
  Bytes signature(kEcdsaP256SignatureBytes);
  if (!SignWith(impl_->key.get(), digest, signature.data(), &last_result_)) return {};
  last_result_ = HostResult::Success();
  return signature;
}

bool EcdsaP256VerifyDigest(ByteView public_key, ByteView digest, ByteView signature) {
  if (digest.size() != kSha256Bytes || signature.size() != kEcdsaP256SignatureBytes) return false;
  HostResult result;
  KeyHandle key;
  if (!ImportPublic(Providers::Get().ecdsa(), BCRYPT_ECDSA_PUBLIC_P256_MAGIC, public_key, &key, &result)) return false;
  const NTSTATUS st = BCryptVerifySignature(key.get(), nullptr, In(digest), static_cast<ULONG>(digest.size()),
                                            In(signature), static_cast<ULONG>(signature.size()), 0);
  if (BCRYPT_SUCCESS(st)) return true;
  if (st != kStatusInvalidSignature) Fail("BCryptVerifySignature", st);
  return false;
}

// ---------------------------------------------------------------- AES-GCM

struct AesGcm::Impl {
  KeyHandle key;
};

AesGcm::AesGcm() = default;

AesGcm::~AesGcm() { SecureWipe(key_); }

bool AesGcm::has_key() const {
  std::lock_guard<std::mutex> lock(mu_);
  return impl_ != nullptr;
}

HostResult AesGcm::last_result() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_result_;
}

void AesGcm::ClearKey() {
  std::lock_guard<std::mutex> lock(mu_);
  impl_.reset();
  SecureWipe(key_);
}

bool AesGcm::SetKey(ByteView key) {
  std::lock_guard<std::mutex> lock(mu_);
  return SetKeyLocked(key);
}

bool AesGcm::SetKeyLocked(ByteView key) {
  if (!detail::IsAesKeyLength(key.size())) {
    last_result_ = Invalid("AES key must be 16 or 32 bytes");
    return false;
  }
  if (impl_ != nullptr && ConstantTimeEqual(key, key_)) return true;
  impl_.reset();
  SecureWipe(key_);
  BCRYPT_ALG_HANDLE alg = Providers::Get().aes_gcm();
  if (alg == nullptr) {
    last_result_ = HostResult::Failure(kCryptoPlatformError, "AES-GCM provider unavailable");
    return false;
  }
  auto impl = std::make_unique<Impl>();
  const NTSTATUS st =
      BCryptGenerateSymmetricKey(alg, impl->key.out(), nullptr, 0, In(key), static_cast<ULONG>(key.size()), 0);
  if (!BCRYPT_SUCCESS(st)) {
    last_result_ = Fail("BCryptGenerateSymmetricKey(AES-GCM)", st);
    return false;
  }
  impl_ = std::move(impl);
  key_.assign(key.begin(), key.end());
  key_schedules_created_.fetch_add(1);
  last_result_ = HostResult::Success();
  return true;
}

Bytes AesGcm::Seal(ByteView nonce, ByteView plaintext, ByteView aad) {
  if (plaintext.size() > kAesGcmMaxInputBytes) {
    std::lock_guard<std::mutex> lock(mu_);
    last_result_ = Invalid("seal needs a key, a 12-byte nonce and bounded input");
    return {};
  }
  Bytes out(plaintext.size() + kAesGcmTagBytes);
  if (!SealInto(nonce, plaintext, out.data(), aad)) return {};
  return out;
}

bool AesGcm::SealInto(ByteView nonce, ByteView plaintext, uint8_t* out, ByteView aad) {
  std::lock_guard<std::mutex> lock(mu_);
  if (impl_ == nullptr || out == nullptr || nonce.size() != kAesGcmNonceBytes ||
      plaintext.size() > kAesGcmMaxInputBytes || aad.size() > kAesGcmMaxInputBytes) {
    last_result_ = Invalid("seal needs a key, a 12-byte nonce and bounded input");
    return false;
  }
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = In(nonce);
  info.cbNonce = static_cast<ULONG>(nonce.size());
  info.pbAuthData = aad.empty() ? nullptr : In(aad);
  info.cbAuthData = static_cast<ULONG>(aad.size());
  info.pbTag = out + plaintext.size();
  info.cbTag = static_cast<ULONG>(kAesGcmTagBytes);
  ULONG written = 0;
  // A null output buffer is a size query to CNG, which then neither writes
  // the tag nor checks it; an empty text gets a dummy buffer instead.
  uint8_t empty_in[1] = {0};
  uint8_t empty_out[1] = {0};
  const NTSTATUS st = BCryptEncrypt(impl_->key.get(), plaintext.empty() ? empty_in : In(plaintext),
                                    static_cast<ULONG>(plaintext.size()), &info, nullptr, 0,
                                    plaintext.empty() ? empty_out : out, static_cast<ULONG>(plaintext.size()),
                                    &written, 0);
  if (!BCRYPT_SUCCESS(st) || written != plaintext.size()) {
    SecureWipe(out, plaintext.size() + kAesGcmTagBytes);
    last_result_ = Fail("BCryptEncrypt(AES-GCM)", BCRYPT_SUCCESS(st) ? static_cast<NTSTATUS>(0xC0000023L) : st);
    return false;
  }
  if (!last_result_.ok()) last_result_ = HostResult::Success();
  return true;
}

bool AesGcm::Open(ByteView nonce, ByteView sealed, ByteView aad, Bytes* plaintext) {
  if (plaintext == nullptr) return false;
  plaintext->clear();
  std::lock_guard<std::mutex> lock(mu_);
  if (impl_ == nullptr || nonce.size() != kAesGcmNonceBytes || sealed.size() < kAesGcmTagBytes ||
      sealed.size() > kAesGcmMaxInputBytes + kAesGcmTagBytes || aad.size() > kAesGcmMaxInputBytes) {
    last_result_ = Invalid("open needs a key, a 12-byte nonce and 16 to 16 MiB + 16 bytes");
    return false;
  }
  const size_t text_length = sealed.size() - kAesGcmTagBytes;
  Bytes out(text_length);
  uint8_t tag[kAesGcmTagBytes];
  std::memcpy(tag, sealed.data() + text_length, sizeof(tag));
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = In(nonce);
  info.cbNonce = static_cast<ULONG>(nonce.size());
  info.pbAuthData = aad.empty() ? nullptr : In(aad);
  info.cbAuthData = static_cast<ULONG>(aad.size());
  info.pbTag = tag;
  info.cbTag = static_cast<ULONG>(sizeof(tag));
  ULONG written = 0;
  // The library checks the tag (in constant time) and reports a mismatch.
  // Never a null output buffer: that is a size query and skips the tag check.
  uint8_t empty_in[1] = {0};
  uint8_t empty_out[1] = {0};
  const NTSTATUS st = BCryptDecrypt(impl_->key.get(), text_length == 0 ? empty_in : In(sealed),
                                    static_cast<ULONG>(text_length), &info, nullptr, 0,
                                    text_length == 0 ? empty_out : out.data(), static_cast<ULONG>(text_length),
                                    &written, 0);
  if (st == kStatusAuthTagMismatch) {
    SecureWipe(out);
    last_result_ = HostResult::Failure(kCryptoAuthFailed, "AES-GCM tag did not verify", static_cast<HResult>(st));
    return false;
  }
  if (!BCRYPT_SUCCESS(st) || written != text_length) {
    SecureWipe(out);
    last_result_ = Fail("BCryptDecrypt(AES-GCM)", BCRYPT_SUCCESS(st) ? static_cast<NTSTATUS>(0xC0000023L) : st);
    return false;
  }
  *plaintext = std::move(out);
  last_result_ = HostResult::Success();
  return true;
}

}  // namespace orvane::crypto
