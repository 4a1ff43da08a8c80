#pragma once
// The host's long-term identity: an ECDSA P-256 key pair kept in
// host_identity.dat, protected for the current user (secret_protection.h).
// Tablets that have seen the host before recognise it by the public key; the
// host signs each handshake transcript with the private key.
//
// host_identity.dat is "OVDHID1\0" followed by the protected 104-byte private
// blob: magic "ECS2" (0x32534345, little-endian), key size 32
// (little-endian), then X, Y and d, each 32 bytes big-endian. The blob layout
// is the same on every platform; only the protection differs.
//
// One identity per process: SharedHostIdentity() loads or creates it on the
// first call and hands the same read-only object to every protocol handler.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/security/crypto.h"

namespace orvane::security {

inline constexpr char kHostIdentityFileName[] = "host_identity.dat";
inline constexpr char kHostIdentityHeader[8] = {'O', 'V', 'D', 'H', 'I', 'D', '1', '\0'};
inline constexpr size_t kHostIdentityHeaderBytes = sizeof(kHostIdentityHeader);
// The entropy label of the protection (23 bytes, no terminating zero).
inline constexpr std::string_view kHostIdentityEntropy = "orvane-machine-guard-v1";
// A real file is a few hundred bytes; anything larger is not ours.
inline constexpr size_t kHostIdentityMaxFileBytes = 64u * 1024u;
inline constexpr uint32_t kIdentityPrivateBlobMagic = 0x32534345;  // "ECS2"
inline constexpr uint32_t kIdentityKeySizeBytes = 32;
inline constexpr size_t kIdentityPrivateBlobBytes = 8 + 3 * crypto::kP256CoordinateBytes;  // 104
// When the protection is unavailable (it may pass, e.g. early at log-on), the
// file is tried once more after this delay before anything is decided.
inline constexpr uint32_t kIdentityUnprotectRetryDelayMs = 500;
// ".invalid", ".invalid.1" ... ".invalid.<this>": older unusable files are
// never replaced.
inline constexpr int kIdentityMaxInvalidCopies = 1000;

// "ECS2", 32, X, Y, d from the 65-byte public point (0x04 || X || Y) and the
// 32-byte private scalar; empty when the lengths are wrong. The caller wipes
// the result.
crypto::Bytes BuildIdentityPrivateBlob(crypto::ByteView public_key, crypto::ByteView private_key);
// The reverse: false unless the blob is 104 bytes with the right magic and
// key size. The caller wipes *private_key.
bool ParseIdentityPrivateBlob(crypto::ByteView blob, crypto::Bytes* public_key, crypto::Bytes* private_key);

// SHA-256 of the public key, first 16 bytes as lower-case hex pairs joined by
// ':' (47 characters); "unavailable" when the digest cannot be computed.
std::string IdentityFingerprint(crypto::ByteView public_key);

// The data folder's host_identity.dat (the relative name when the data
// folder is not available).
std::filesystem::path DefaultHostIdentityPath();

// How the current identity came to be.
enum class HostIdentityOrigin {
  kNone,         // no key (LoadOrCreate not called, or key generation failed)
  kLoaded,       // read from the file
  kCreated,      // new, and written to the file
  kRunOnly,      // new, for this run only: the file could not be written, or
                 // an existing file could not be opened for now and was kept
};

const char* HostIdentityOriginName(HostIdentityOrigin origin);

class HostIdentity {
 public:
  // The protection calls, replaceable by tests (signature of
  // ProtectSecret / UnprotectSecret).
  using ProtectFn = std::function<bool(crypto::ByteView, std::string_view, crypto::Bytes*, HostResult*)>;

  struct Environment {
    IClock* clock = nullptr;  // nullptr: SystemClock()
    ProtectFn protect;        // empty: ProtectSecret
    ProtectFn unprotect;      // empty: UnprotectSecret
  };

  HostIdentity();
  explicit HostIdentity(Environment environment);
  ~HostIdentity();
  HostIdentity(const HostIdentity&) = delete;
  HostIdentity& operator=(const HostIdentity&) = delete;

  // Loads the identity from path (empty: DefaultHostIdentityPath()), or
  // creates and saves a new one. True when an identity is available
  // afterwards, even one that is valid for this run only.
  //
  // An unusable file (wrong header, size or contents, or a blob the
  // protection refuses) is moved aside to the first free name of
  // ".invalid", ".invalid.1", ... and a new identity takes its place. When
  // the protection is unavailable, the file is tried again after
  // kIdentityUnprotectRetryDelayMs; if it still cannot be opened it is kept
  // as it is and a new identity is used for this run only.
  bool LoadOrCreate(const std::filesystem::path& path = {});

  // A key exists and the public key is 65 bytes.
  bool Available() const;
  // 65 bytes 0x04 || X || Y; empty when not available.
  const crypto::Bytes& PublicKey() const { return public_key_; }
  std::string Fingerprint() const;
  // Signs a 32-byte hash: 64 bytes r || s, or empty. Safe to call from
  // several threads at once.
  crypto::Bytes Sign(crypto::ByteView hash) const;

  const std::filesystem::path& path() const { return path_; }
  HostIdentityOrigin origin() const { return origin_; }
  // Where an unusable file was moved by the last LoadOrCreate (empty if none).
  const std::filesystem::path& moved_aside_to() const { return moved_aside_to_; }

 private:
  enum class LoadOutcome;
  LoadOutcome TryLoad();
  bool MoveAside();
  bool Generate();
  bool Persist();
  void Reset();

  IClock& clock_;
  ProtectFn protect_;
  ProtectFn unprotect_;
  mutable std::mutex sign_mu_;  // the key object is not safe for concurrent use
  crypto::EcdsaP256Key key_;
  crypto::Bytes public_key_;
  std::filesystem::path path_;
  std::filesystem::path moved_aside_to_;
  HostIdentityOrigin origin_ = HostIdentityOrigin::kNone;
};

// The process's identity at path (empty: DefaultHostIdentityPath()), loaded
// or created on the first call for that path; later calls return the same
// object. Safe to call from several threads: concurrent first calls load
// once. An identity that could not be made at all (no key) is not kept, so
// the next call tries again.
std::shared_ptr<const HostIdentity> SharedHostIdentity(const std::filesystem::path& path = {});

}  // namespace orvane::security
