#include "host/security/host_identity.h"

#include <cstring>
#include <map>
#include <system_error>
#include <utility>

#include "host/common/byte_order.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/security/secret_protection.h"

namespace orvane::security {

namespace {

constexpr size_t kCoord = crypto::kP256CoordinateBytes;

// The system error behind a protection failure, as the platform reports it:
// Win32 errors come back from their HRESULT form, other values (NTE_*) are
// printed whole.
unsigned long SystemErrorOf(const HostResult& result) {
  const uint32_t hr = static_cast<uint32_t>(result.hr);
  if ((hr & 0xFFFF0000u) == 0x80070000u) return hr & 0xFFFFu;
  return hr;
}

unsigned long Hex32(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

crypto::ByteView View(const std::string& bytes) {
  return crypto::ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

crypto::Bytes BuildIdentityPrivateBlob(crypto::ByteView public_key, crypto::ByteView private_key) {
  if (public_key.size() != crypto::kP256PublicKeyBytes || public_key[0] != crypto::kP256UncompressedPrefix ||
      private_key.size() != crypto::kP256PrivateKeyBytes) {
    return {};
  }
  crypto::Bytes blob(kIdentityPrivateBlobBytes);
  StoreLe32(blob.data(), kIdentityPrivateBlobMagic);
  StoreLe32(blob.data() + 4, kIdentityKeySizeBytes);
  std::memcpy(blob.data() + 8, public_key.data() + 1, 2 * kCoord);
  std::memcpy(blob.data() + 8 + 2 * kCoord, private_key.data(), kCoord);
  return blob;
}

bool ParseIdentityPrivateBlob(crypto::ByteView blob, crypto::Bytes* public_key, crypto::Bytes* private_key) {
  if (public_key == nullptr || private_key == nullptr) return false;
  public_key->clear();
  crypto::SecureWipe(*private_key);
  if (blob.size() != kIdentityPrivateBlobBytes || LoadLe32(blob.data()) != kIdentityPrivateBlobMagic ||
      LoadLe32(blob.data() + 4) != kIdentityKeySizeBytes) {
    return false;
  }
  public_key->reserve(crypto::kP256PublicKeyBytes);
  public_key->push_back(crypto::kP256UncompressedPrefix);
  public_key->insert(public_key->end(), blob.begin() + 8, blob.begin() + 8 + 2 * kCoord);
  private_key->assign(blob.begin() + 8 + 2 * kCoord, blob.end());
  return true;
}

std::string IdentityFingerprint(crypto::ByteView public_key) {
  crypto::Digest digest{};
  if (!crypto::Sha256({public_key}, &digest)) return "unavailable";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(47);
  for (size_t i = 0; i < 16; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::filesystem::path DefaultHostIdentityPath() {
  const auto folder = DataFolder();
  return folder ? *folder / kHostIdentityFileName : std::filesystem::path(kHostIdentityFileName);
}

const char* HostIdentityOriginName(HostIdentityOrigin origin) {
  switch (origin) {
    case HostIdentityOrigin::kNone: return "none";
    case HostIdentityOrigin::kLoaded: return "loaded";
    case HostIdentityOrigin::kCreated: return "created";
    case HostIdentityOrigin::kRunOnly: return "run-only";
  }
  return "unknown";
}

// What one attempt to read the file found.
enum class HostIdentity::LoadOutcome {
  kLoaded,
  kAbsent,
  kUnusable,     // never going to load: move it aside
  kUnavailable,  // could not be read or opened now; may pass
};

HostIdentity::HostIdentity() : HostIdentity(Environment{}) {}

HostIdentity::HostIdentity(Environment environment)
    : clock_(environment.clock ? *environment.clock : SystemClock()),
      protect_(environment.protect ? std::move(environment.protect) : ProtectFn(&ProtectSecret)),
      unprotect_(environment.unprotect ? std::move(environment.unprotect) : ProtectFn(&UnprotectSecret)) {}

HostIdentity::~HostIdentity() = default;  // the key object destroys the private key

void HostIdentity::Reset() {
  key_ = crypto::EcdsaP256Key();
  public_key_.clear();
  moved_aside_to_.clear();
  origin_ = HostIdentityOrigin::kNone;
}

bool HostIdentity::LoadOrCreate(const std::filesystem::path& path) {
  Reset();
  path_ = path.empty() ? DefaultHostIdentityPath() : path;
  const std::string where = PathToUtf8(path_);

  LoadOutcome outcome = TryLoad();
  if (outcome == LoadOutcome::kUnavailable) {
    LogWarn("[Identity] Host identity at %s cannot be opened right now; trying again in %u ms", where.c_str(),
            static_cast<unsigned>(kIdentityUnprotectRetryDelayMs));
    clock_.SleepMs(kIdentityUnprotectRetryDelayMs);
    outcome = TryLoad();
  }

  bool run_only = false;
  switch (outcome) {
    case LoadOutcome::kLoaded:
      origin_ = HostIdentityOrigin::kLoaded;
      LogInfo("[Identity] Host identity loaded fingerprint=%s", Fingerprint().c_str());
      return true;
    case LoadOutcome::kAbsent:
      break;
    case LoadOutcome::kUnusable:
      LogError("[Identity] Host identity at %s is unreadable; generating a new identity (paired clients will report "
               "an identity change)",
               where.c_str());
      // Never write over a file that could not be moved aside: it stays for
      // someone to look at, and this run uses a key of its own.
      run_only = !MoveAside();
      break;
    case LoadOutcome::kUnavailable:
      LogError("[Identity] Host identity at %s still cannot be opened; keeping the file and using a new identity for "
               "this run only (paired clients will report an identity change until it opens again)",
               where.c_str());
      run_only = true;
      break;
  }

  if (!Generate()) return false;
  if (run_only) {
    origin_ = HostIdentityOrigin::kRunOnly;
  } else if (Persist()) {
    origin_ = HostIdentityOrigin::kCreated;
  } else {
    LogError("[Identity] Failed to persist host identity to %s; it is valid for this run only", where.c_str());
    origin_ = HostIdentityOrigin::kRunOnly;
  }
  LogInfo("[Identity] Host identity created fingerprint=%s", Fingerprint().c_str());
  return true;
}

HostIdentity::LoadOutcome HostIdentity::TryLoad() {
  const std::string where = PathToUtf8(path_);
  const FileReadResult file = ReadFileBounded(path_, kHostIdentityMaxFileBytes);
  switch (file.status) {
    case FileReadStatus::kOk:
      break;
    case FileReadStatus::kAbsent:
      return LoadOutcome::kAbsent;
    case FileReadStatus::kUnreadable:
      LogError("[Identity] Cannot read host identity at %s (error %d)", where.c_str(), file.error);
      return LoadOutcome::kUnavailable;
    case FileReadStatus::kTooLarge:
      LogError("[Identity] Host identity at %s is larger than %zu bytes", where.c_str(), kHostIdentityMaxFileBytes);
      return LoadOutcome::kUnusable;
  }
  if (file.bytes.size() <= kHostIdentityHeaderBytes ||
      std::memcmp(file.bytes.data(), kHostIdentityHeader, kHostIdentityHeaderBytes) != 0) {
    LogError("[Identity] Host identity at %s does not start with the identity header", where.c_str());
    return LoadOutcome::kUnusable;
  }

  crypto::Bytes plain;
  HostResult result;
  if (!unprotect_(View(file.bytes).subspan(kHostIdentityHeaderBytes), kHostIdentityEntropy, &plain, &result)) {
    crypto::SecureWipe(plain);
    LogError("[Identity] DPAPI unprotect failed: %lu", SystemErrorOf(result));
    return result.code == kSecretUnavailable ? LoadOutcome::kUnavailable : LoadOutcome::kUnusable;
  }
  crypto::Bytes public_key;
  crypto::Bytes private_key;
  const bool parsed = ParseIdentityPrivateBlob(plain, &public_key, &private_key);
  crypto::SecureWipe(plain);
  if (!parsed) {
    crypto::SecureWipe(private_key);
    LogError("[Identity] Host identity at %s does not hold a P-256 private key blob", where.c_str());
    return LoadOutcome::kUnusable;
  }
  crypto::EcdsaP256Key key;
  const bool imported = key.Import(private_key, public_key);
  crypto::SecureWipe(private_key);
  if (!imported || key.public_key().size() != crypto::kP256PublicKeyBytes) {
    const HostResult& import_result = key.last_result();
    LogError("[Identity] Host identity key at %s was not accepted: %s", where.c_str(),
             import_result.ToString().c_str());
    // A key the library refuses is damaged; a library failure may pass.
    return import_result.code == crypto::kCryptoPlatformError ? LoadOutcome::kUnavailable : LoadOutcome::kUnusable;
  }
  key_ = std::move(key);
  public_key_ = key_.public_key();
  return LoadOutcome::kLoaded;
}

bool HostIdentity::MoveAside() {
  const std::string where = PathToUtf8(path_);
  for (int index = 0; index <= kIdentityMaxInvalidCopies; ++index) {
    std::filesystem::path target = path_;
    target += index == 0 ? std::string(".invalid") : ".invalid." + std::to_string(index);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(target, ec);
    // Only a name that is certainly free is used; one whose state is unknown
    // is skipped rather than risked.
    if (status.type() != std::filesystem::file_type::not_found) continue;
    std::filesystem::rename(path_, target, ec);
    if (ec) {
      LogError("[Identity] Could not move %s to %s: %s; the file is kept and a new identity is used for this run "
               "only",
               where.c_str(), PathToUtf8(target).c_str(), ec.message().c_str());
      return false;
    }
    moved_aside_to_ = target;
    LogWarn("[Identity] Moved the unreadable host identity to %s", PathToUtf8(target).c_str());
    return true;
  }
  LogError("[Identity] No free name to move %s aside (%d copies exist); the file is kept and a new identity is used "
           "for this run only",
           where.c_str(), kIdentityMaxInvalidCopies + 1);
  return false;
}

bool HostIdentity::Generate() {
  crypto::EcdsaP256Key key;
  if (!key.Generate() || key.public_key().size() != crypto::kP256PublicKeyBytes) {
    LogError("[Identity] BCryptGenerateKeyPair failed: 0x%08lX", Hex32(key.last_result().hr));
    return false;
  }
  key_ = std::move(key);
  public_key_ = key_.public_key();
  return true;
}

bool HostIdentity::Persist() {
  crypto::Bytes private_key = key_.ExportPrivateKey();
  crypto::Bytes blob = BuildIdentityPrivateBlob(public_key_, private_key);
  crypto::SecureWipe(private_key);
  if (blob.empty()) {
    LogError("[Identity] Could not export the host identity's private key: %s",
             key_.last_result().ToString().c_str());
    return false;
  }
  crypto::Bytes protected_blob;
  HostResult result;
  const bool protected_ok = protect_(blob, kHostIdentityEntropy, &protected_blob, &result);
  crypto::SecureWipe(blob);
  if (!protected_ok) {
    LogError("[Identity] DPAPI protect failed: %lu", SystemErrorOf(result));
    return false;
  }
  std::string file(kHostIdentityHeader, kHostIdentityHeaderBytes);
  file.append(reinterpret_cast<const char*>(protected_blob.data()), protected_blob.size());
  if (!SafeReplaceFile(path_, file, &result)) {
    LogError("[Identity] Could not write %s: %s", PathToUtf8(path_).c_str(), result.ToString().c_str());
    return false;
  }
  return true;
}

bool HostIdentity::Available() const {
  return origin_ != HostIdentityOrigin::kNone && key_.valid() &&
         public_key_.size() == crypto::kP256PublicKeyBytes;
}

std::string HostIdentity::Fingerprint() const {
  if (public_key_.empty()) return "unavailable";
  return IdentityFingerprint(public_key_);
}

crypto::Bytes HostIdentity::Sign(crypto::ByteView hash) const {
  if (hash.size() != crypto::kSha256Bytes || !Available()) return {};
  std::lock_guard<std::mutex> lock(sign_mu_);
  crypto::Bytes signature = key_.SignDigest(hash);
  if (signature.size() != crypto::kEcdsaP256SignatureBytes) {
    LogError("[Identity] BCryptSignHash failed: 0x%08lX", Hex32(key_.last_result().hr));
    return {};
  }
  return signature;
}

std::shared_ptr<const HostIdentity> SharedHostIdentity(const std::filesystem::path& path) {
  struct Registry {
    std::mutex mu;
    std::map<std::filesystem::path, std::shared_ptr<const HostIdentity>> identities;
  };
  static Registry registry;

  std::filesystem::path key = path.empty() ? DefaultHostIdentityPath() : path;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(key, ec);
  if (!ec) key = absolute.lexically_normal();

  // Held while loading, so that concurrent first calls load the file once.
  std::lock_guard<std::mutex> lock(registry.mu);
  const auto found = registry.identities.find(key);
  if (found != registry.identities.end()) return found->second;
  auto identity = std::make_shared<HostIdentity>();
  identity->LoadOrCreate(key);
  if (identity->Available()) registry.identities.emplace(key, identity);
  return identity;
}

}  // namespace orvane::security
