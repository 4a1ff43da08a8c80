// The crypto seam on OpenSSL 3, through its EVP interfaces only.

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <cstring>

#include "host/common/logger.h"
#include "host/security/crypto.h"
#include "host/security/crypto_internal.h"

namespace orvane::crypto {

namespace {

constexpr char kCurveName[] = "prime256v1";

// Takes the library's oldest queued error as text and empties the queue, so a
// later failure does not report a stale reason.
std::string TakeOpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no library error";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

HostResult Fail(const char* what) {
  const std::string reason = TakeOpenSslError();
  LogError("[Crypto] %s failed: %s", what, reason.c_str());
  return HostResult::Failure(kCryptoPlatformError, std::string(what) + " failed: " + reason);
}

HostResult Invalid(const char* what) {
  ERR_clear_error();
  return HostResult::Failure(kCryptoInvalidInput, what, kEInvalidArg);
}

struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct MacDeleter {
  void operator()(EVP_MAC* p) const { EVP_MAC_free(p); }
};
struct MacCtxDeleter {
  void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
};
struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct BnDeleter {
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct ParamBldDeleter {
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamDeleter {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct EcdsaSigDeleter {
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

// The 65-byte uncompressed encoding of a key's public point.
Bytes EncodePublicKey(EVP_PKEY* key, HostResult* result) {
  Bytes out(kP256PublicKeyBytes);
  size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &length) != 1) {
    *result = Fail("EVP_PKEY_get_octet_string_param(pub)");
    return {};
  }
  if (!detail::HasUncompressedPointShape(ByteView(out.data(), length))) {
    *result = Fail("public key encoding");
    return {};
  }
  return out;
}

// Imports a public point, or a key pair when private_key is not empty. The
// library checks that the point is on the curve, and for a pair that the
// point belongs to the scalar.
PkeyPtr ImportP256(ByteView private_key, ByteView public_key, HostResult* result) {
  if (!detail::HasUncompressedPointShape(public_key)) {
    *result = Invalid("public key must be a 65-byte uncompressed point");
    return nullptr;
  }
  const bool with_private = !private_key.empty();
  if (with_private && private_key.size() != kP256PrivateKeyBytes) {
    *result = Invalid("private key must be 32 bytes");
    return nullptr;
  }
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> bld(OSSL_PARAM_BLD_new());
  BnPtr priv;
  if (with_private) {
    priv.reset(BN_secure_new());
    if (priv == nullptr || BN_bin2bn(private_key.data(), static_cast<int>(private_key.size()), priv.get()) == nullptr) {
      *result = Fail("BN_bin2bn");
      return nullptr;
    }
  }
  if (bld == nullptr ||
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurveName, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, public_key.data(), public_key.size()) != 1 ||
      (with_private && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1)) {
    *result = Fail("OSSL_PARAM_BLD");
    return nullptr;
  }
  std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1) {
    *result = Fail("EVP_PKEY_fromdata_init");
    return nullptr;
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &raw, with_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    *result = Invalid("key import refused (point not on the curve?)");
    return nullptr;
  }
  PkeyPtr key(raw);
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (check == nullptr) {
    *result = Fail("EVP_PKEY_CTX_new_from_pkey");
    return nullptr;
  }
  const int ok = with_private ? EVP_PKEY_pairwise_check(check.get()) : EVP_PKEY_public_check(check.get());
  if (ok != 1) {
    *result = Invalid(with_private ? "private key does not match the public key" : "public point is not valid");
    return nullptr;
  }
  *result = HostResult::Success();
  return key;
}

PkeyPtr GenerateP256(HostResult* result) {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurveName));
  if (key == nullptr) {
    *result = Fail("EVP_PKEY_Q_keygen(P-256)");
    return nullptr;
  }
  *result = HostResult::Success();
  return key;
}

}  // namespace

bool RandomBytes(uint8_t* buffer, size_t length) {
  if (length == 0) return true;
  if (buffer == nullptr) return false;
  while (length > 0) {
    const int chunk = static_cast<int>(length > (1u << 20) ? (1u << 20) : length);
    if (RAND_bytes(buffer, chunk) != 1) {
      Fail("RAND_bytes");
      return false;
    }
    buffer += chunk;
    length -= static_cast<size_t>(chunk);
  }
  return true;
}

bool Sha256(std::initializer_list<ByteView> parts, Digest* out) {
  if (out == nullptr) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    Fail("EVP_DigestInit_ex(SHA-256)");
    return false;
  }
  for (ByteView part : parts) {
    if (!part.empty() && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) {
      Fail("EVP_DigestUpdate");
      return false;
    }
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out->data(), &length) != 1 || length != kSha256Bytes) {
    Fail("EVP_DigestFinal_ex");
    return false;
  }
  return true;
}

bool HmacSha256(ByteView key, std::initializer_list<ByteView> parts, Digest* out) {
  if (out == nullptr || key.empty()) return false;
  std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (mac == nullptr) {
    Fail("EVP_MAC_fetch(HMAC)");
    return false;
  }
  std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter> ctx(EVP_MAC_CTX_new(mac.get()));
  char digest_name[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                               OSSL_PARAM_construct_end()};
  if (ctx == nullptr || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1) {
    Fail("EVP_MAC_init(HMAC-SHA256)");
    return false;
  }
  for (ByteView part : parts) {
    if (!part.empty() && EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1) {
      Fail("EVP_MAC_update");
      return false;
    }
  }
  size_t length = 0;
  if (EVP_MAC_final(ctx.get(), out->data(), &length, out->size()) != 1 || length != kSha256Bytes) {
    Fail("EVP_MAC_final");
    SecureWipe(out->data(), out->size());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- ECDH

namespace {

// The key-pair steps shared by the ECDH and ECDSA keys: on failure both the
// key and its public point are left empty.
bool GenerateKeyPair(PkeyPtr* key_out, Bytes* public_out, HostResult* result) {
  key_out->reset();
  public_out->clear();
  PkeyPtr key = GenerateP256(result);
  if (key == nullptr) return false;
  Bytes pub = EncodePublicKey(key.get(), result);
  if (pub.empty()) return false;
  *key_out = std::move(key);
  *public_out = std::move(pub);
  return true;
}

bool ImportKeyPair(ByteView private_key, ByteView public_key, PkeyPtr* key_out, Bytes* public_out,
                   HostResult* result) {
  key_out->reset();
  public_out->clear();
  if (private_key.size() != kP256PrivateKeyBytes) {
    *result = Invalid("private key must be 32 bytes");
    return false;
  }
  PkeyPtr key = ImportP256(private_key, public_key, result);
  if (key == nullptr) return false;
  *key_out = std::move(key);
  public_out->assign(public_key.begin(), public_key.end());
  return true;
}

}  // namespace

struct EcdhP256KeyPair::Impl {
  PkeyPtr key;
};

EcdhP256KeyPair::EcdhP256KeyPair() : impl_(std::make_unique<Impl>()) {}
EcdhP256KeyPair::~EcdhP256KeyPair() = default;  // EVP_PKEY_free clears the scalar
EcdhP256KeyPair::EcdhP256KeyPair(EcdhP256KeyPair&&) noexcept = default;
EcdhP256KeyPair& EcdhP256KeyPair::operator=(EcdhP256KeyPair&&) noexcept = default;

bool EcdhP256KeyPair::valid() const { return impl_ != nullptr && impl_->key != nullptr; }

bool EcdhP256KeyPair::Generate() {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  return GenerateKeyPair(&impl_->key, &public_key_, &last_result_);
}

bool EcdhP256KeyPair::Import(ByteView private_key, ByteView public_key) {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  return ImportKeyPair(private_key, public_key, &impl_->key, &public_key_, &last_result_);
}

Bytes EcdhP256KeyPair::DeriveSharedSecret(ByteView peer_public_key) {
  if (!valid()) {
    last_result_ = Invalid("no key pair");
    return {};
  }
  PkeyPtr peer = ImportP256({}, peer_public_key, &last_result_);
  if (peer == nullptr) {
    LogError("[Crypto] ECDH peer public key refused: %s", last_result_.message.c_str());
    return {};
  }
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
  if (ctx == nullptr || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1) {
    last_result_ = Fail("EVP_PKEY_derive_init(ECDH)");
    return {};
  }
  size_t length = 0;
  if (EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1 || length != kP256SharedSecretBytes) {
    last_result_ = Fail("EVP_PKEY_derive(size)");
    return {};
  }
  // OpenSSL already gives the X coordinate big-endian, padded to 32 bytes.
  Bytes secret(length);
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != kP256SharedSecretBytes) {
    SecureWipe(secret);
    last_result_ = Fail("EVP_PKEY_derive");
    return {};
  }
  last_result_ = HostResult::Success();
  return secret;
}

// ---------------------------------------------------------------- ECDSA

struct EcdsaP256Key::Impl {
  PkeyPtr key;
};

EcdsaP256Key::EcdsaP256Key() : impl_(std::make_unique<Impl>()) {}
EcdsaP256Key::~EcdsaP256Key() = default;
EcdsaP256Key::EcdsaP256Key(EcdsaP256Key&&) noexcept = default;
EcdsaP256Key& EcdsaP256Key::operator=(EcdsaP256Key&&) noexcept = default;

bool EcdsaP256Key::valid() const { return impl_ != nullptr && impl_->key != nullptr; }

bool EcdsaP256Key::Generate() {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  return GenerateKeyPair(&impl_->key, &public_key_, &last_result_);
}

bool EcdsaP256Key::Import(ByteView private_key, ByteView public_key) {
  if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
  return ImportKeyPair(private_key, public_key, &impl_->key, &public_key_, &last_result_);
}

Bytes EcdsaP256Key::ExportPrivateKey() const {
  if (!valid()) {
    last_result_ = Invalid("no key");
    return {};
  }
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(impl_->key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) {
    last_result_ = Fail("EVP_PKEY_get_bn_param(priv)");
    return {};
  }
  BnPtr priv(raw);
  Bytes out(kP256PrivateKeyBytes);
  if (BN_bn2binpad(priv.get(), out.data(), static_cast<int>(out.size())) != static_cast<int>(out.size())) {
    SecureWipe(out);
    last_result_ = Fail("BN_bn2binpad");
    return {};
  }
  last_result_ = HostResult::Success();
  return out;
}

Bytes EcdsaP256Key::SignDigest(ByteView digest) const {
  if (!valid() || digest.size() != kSha256Bytes) {
    last_result_ = Invalid("signing needs a key and a 32-byte digest");
    return {};
  }
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
  size_t der_length = 0;
  if (ctx == nullptr || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &der_length, digest.data(), digest.size()) != 1) {
    last_result_ = Fail("EVP_PKEY_sign_init(ECDSA)");
    return {};
  }
  Bytes der(der_length);
  if (EVP_PKEY_sign(ctx.get(), der.data(), &der_length, digest.data(), digest.size()) != 1) {
    last_result_ = Fail("EVP_PKEY_sign(ECDSA)");
    return {};
  }
  // The library signs in DER; the wire form is r || s, 32 bytes each.
  const unsigned char* p = der.data();
  std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_length)));
  if (sig == nullptr) {
    last_result_ = Fail("d2i_ECDSA_SIG");
    return {};
  }
  Bytes out(kEcdsaP256SignatureBytes);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + 32, 32) != 32) {
    last_result_ = Fail("BN_bn2binpad(r, s)");
    return {};
  }
  last_result_ = HostResult::Success();
  return out;
}

bool EcdsaP256VerifyDigest(ByteView public_key, ByteView digest, ByteView signature) {
  if (digest.size() != kSha256Bytes || signature.size() != kEcdsaP256SignatureBytes) return false;
  HostResult result;
  PkeyPtr key = ImportP256({}, public_key, &result);
  if (key == nullptr) return false;
  std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (sig == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    Fail("ECDSA_SIG_set0");
    return false;
  }
  unsigned char* der = nullptr;
  const int der_length = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_length <= 0) {
    Fail("i2d_ECDSA_SIG");
    return false;
  }
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  bool ok = false;
  if (ctx == nullptr || EVP_PKEY_verify_init(ctx.get()) != 1) {
    Fail("EVP_PKEY_verify_init(ECDSA)");
  } else {
    ok = EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(der_length), digest.data(), digest.size()) == 1;
    ERR_clear_error();  // a refused signature is an answer, not a failure
  }
  OPENSSL_free(der);
  return ok;
}

// ---------------------------------------------------------------- AES-GCM

struct AesGcm::Impl {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> enc;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> dec;
};

AesGcm::AesGcm() = default;

AesGcm::~AesGcm() {
  // EVP_CIPHER_CTX_free clears the key schedule; the copy is ours to wipe.
  SecureWipe(key_);
}

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
  const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm();
  auto impl = std::make_unique<Impl>();
  impl->enc.reset(EVP_CIPHER_CTX_new());
  impl->dec.reset(EVP_CIPHER_CTX_new());
  if (impl->enc == nullptr || impl->dec == nullptr ||
      EVP_EncryptInit_ex(impl->enc.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(impl->enc.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kAesGcmNonceBytes), nullptr) != 1 ||
      EVP_EncryptInit_ex(impl->enc.get(), nullptr, nullptr, key.data(), nullptr) != 1 ||
      EVP_DecryptInit_ex(impl->dec.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(impl->dec.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kAesGcmNonceBytes), nullptr) != 1 ||
      EVP_DecryptInit_ex(impl->dec.get(), nullptr, nullptr, key.data(), nullptr) != 1) {
    last_result_ = Fail("AES-GCM key set-up");
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
  EVP_CIPHER_CTX* ctx = impl_->enc.get();
  int length = 0;
  bool ok = EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) == 1;
  if (ok && !aad.empty()) ok = EVP_EncryptUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aad.size())) == 1;
  int written = 0;
  if (ok && !plaintext.empty()) {
    ok = EVP_EncryptUpdate(ctx, out, &length, plaintext.data(), static_cast<int>(plaintext.size())) == 1;
    written = length;
  }
  if (ok) {
    ok = EVP_EncryptFinal_ex(ctx, out + written, &length) == 1;
    written += length;
  }
  ok = ok && static_cast<size_t>(written) == plaintext.size() &&
       EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kAesGcmTagBytes), out + plaintext.size()) == 1;
  if (!ok) {
    SecureWipe(out, plaintext.size() + kAesGcmTagBytes);
    last_result_ = Fail("AES-GCM seal");
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
  EVP_CIPHER_CTX* ctx = impl_->dec.get();
  const size_t text_length = sealed.size() - kAesGcmTagBytes;
  Bytes out(text_length);
  // The library compares the tag in constant time.
  uint8_t tag[kAesGcmTagBytes];
  std::memcpy(tag, sealed.data() + text_length, sizeof(tag));
  int length = 0;
  bool ok = EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) == 1;
  if (ok && !aad.empty()) ok = EVP_DecryptUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aad.size())) == 1;
  int written = 0;
  if (ok && text_length > 0) {
    ok = EVP_DecryptUpdate(ctx, out.data(), &length, sealed.data(), static_cast<int>(text_length)) == 1;
    written = length;
  }
  if (ok) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(sizeof(tag)), tag) == 1;
  if (!ok) {
    SecureWipe(out);
    last_result_ = Fail("AES-GCM open");
    return false;
  }
  if (EVP_DecryptFinal_ex(ctx, out.data() + written, &length) != 1 ||
      static_cast<size_t>(written + length) != text_length) {
    SecureWipe(out);
    ERR_clear_error();
    last_result_ = HostResult::Failure(kCryptoAuthFailed, "AES-GCM tag did not verify");
    return false;
  }
  *plaintext = std::move(out);
  last_result_ = HostResult::Success();
  return true;
}

}  // namespace orvane::crypto
