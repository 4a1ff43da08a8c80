// host_identity.dat through the identity loader (HostIdentity::LoadOrCreate)
// with the protection replaced by stand-ins, and the private blob's reader
// and writer.
//
// Input: byte 0 chooses how the file is made and how the protection
// behaves; the rest is the material.
//   bit 0      framed: the file is "OVDHID1\0" + the rest protected the way
//              the loader's protection opens it, so the rest reaches the
//              blob reader and the key import; else the rest is the file
//   bits 1-3   the loader's unprotect:
//                0 the real UnprotectSecret
//                1 pass-through
//                2 unavailable (kSecretUnavailable) on every call
//                3 unavailable once, then pass-through
//                4 refused as damaged (kSecretRefused)
//                5 refused as not a blob (kSecretInvalidInput)
//                6 unavailable once, then the real UnprotectSecret
//                7 unavailable once, then refused as damaged
//              the protect that goes with it is the real ProtectSecret for
//              0 and 6, a pass-through otherwise
//   bit 4      the loader's protect fails (kSecretUnavailable)
//   bit 5      no file at all
//   bit 6      an older ".invalid" copy is already there
// The rest is also given straight to ParseIdentityPrivateBlob.
//
// Invariants:
// - the private blob reader accepts exactly the 104-byte blobs with the
//   magic and key size, gives 0x04 || X || Y and d, and the writer turns
//   these back into the same bytes; a refused blob leaves both outputs
//   empty;
// - the loader asks the protection exactly as often as the file calls for
//   (never for a missing file or a wrong header; once more, 500 ms later
//   on the injected clock, only after "unavailable"), with the bytes after
//   the header;
// - an identity is always available afterwards, and it signs: Sign(32-byte
//   hash) is 64 bytes that EcdsaP256VerifyDigest accepts with PublicKey();
// - the origin is the one the file calls for: kLoaded exactly when the
//   protection opened the file to a blob that parses and whose key imports
//   (checked with a key object of the harness); then the public key is the
//   blob's X, Y and the file is unchanged; a file that still cannot be
//   opened is left unchanged (kRunOnly); any other existing file is moved
//   aside unchanged to the first free ".invalid" name (moved_aside_to());
//   kCreated exactly when the protect works, and then a second loader
//   reads the new file to the same public key; when it fails the identity
//   is kRunOnly and nothing is written in the file's place;
// - an older ".invalid" copy is never touched.
// The data folder holds a protection key with fixed bytes, so seeds can
// carry files that the real protection opens.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/common/byte_order.h"
#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/security/host_identity.h"
#include "host/security/secret_protection.h"

namespace orvane::fuzz {
namespace {

namespace fs = std::filesystem;
using security::HostIdentity;
using security::HostIdentityOrigin;

// The file's bytes; nullopt-like: `present` false when it does not exist.
struct FileState {
  bool present = false;
  std::string bytes;
};

FileState ReadState(const fs::path& path) {
  FileReadResult r = ReadFileBounded(path, 1u << 20);
  FUZZ_CHECK(r.status == FileReadStatus::kOk || r.status == FileReadStatus::kAbsent);
  return FileState{r.status == FileReadStatus::kOk, std::move(r.bytes)};
}

std::string Header() { return std::string(security::kHostIdentityHeader, security::kHostIdentityHeaderBytes); }

bool Refuse(HostResult* result, int code) {
  if (result) *result = HostResult::Failure(code, "stand-in protection refused", kEFail);
  return false;
}

bool PassThrough(ByteView in, std::string_view, Bytes* out, HostResult* result) {
  out->assign(in.begin(), in.end());
  if (result) *result = HostResult::Success();
  return true;
}

enum class Unprotect { kReal, kPass, kUnavailable, kUnavailableThenPass, kRefused, kInvalid, kUnavailableThenReal,
                       kUnavailableThenRefused };

bool RealProtection(Unprotect u) { return u == Unprotect::kReal || u == Unprotect::kUnavailableThenReal; }

// One call the loader made to its unprotect.
struct Call {
  Bytes blob;
  bool ok = false;
  int code = 0;
  Bytes plain;
};

// The stand-in unprotect: behaves as chosen and records every call.
HostIdentity::ProtectFn MakeUnprotect(Unprotect mode, std::vector<Call>* calls) {
  return [mode, calls](ByteView blob, std::string_view label, Bytes* out, HostResult* result) {
    FUZZ_CHECK(label == security::kHostIdentityEntropy);
    Call call;
    call.blob.assign(blob.begin(), blob.end());
    const bool first = calls->empty();
    HostResult local;
    bool ok = false;
    switch (mode) {
      case Unprotect::kReal: ok = security::UnprotectSecret(blob, label, out, &local); break;
      case Unprotect::kPass: ok = PassThrough(blob, label, out, &local); break;
      case Unprotect::kUnavailable: ok = Refuse(&local, security::kSecretUnavailable); break;
      case Unprotect::kUnavailableThenPass:
        ok = first ? Refuse(&local, security::kSecretUnavailable) : PassThrough(blob, label, out, &local);
        break;
      case Unprotect::kRefused: ok = Refuse(&local, security::kSecretRefused); break;
      case Unprotect::kInvalid: ok = Refuse(&local, security::kSecretInvalidInput); break;
      case Unprotect::kUnavailableThenReal:
        ok = first ? Refuse(&local, security::kSecretUnavailable) : security::UnprotectSecret(blob, label, out, &local);
        break;
      case Unprotect::kUnavailableThenRefused:
        ok = Refuse(&local, first ? security::kSecretUnavailable : security::kSecretRefused);
        break;
    }
    call.ok = ok;
    call.code = local.code;
    if (ok) call.plain = *out;
    calls->push_back(std::move(call));
    if (result) *result = local;
    return ok;
  };
}

HostIdentity::ProtectFn MakeProtect(bool real, bool fails) {
  if (fails) {
    return [](ByteView, std::string_view, Bytes*, HostResult* result) {
      return Refuse(result, security::kSecretUnavailable);
    };
  }
  if (real) return HostIdentity::ProtectFn(&security::ProtectSecret);
  return HostIdentity::ProtectFn(&PassThrough);
}

void CheckBlobReader(ByteView material) {
  Bytes public_key{1, 2, 3};
  Bytes private_key{4, 5, 6};
  const bool ok = security::ParseIdentityPrivateBlob(material, &public_key, &private_key);
  const bool shaped = material.size() == security::kIdentityPrivateBlobBytes &&
                      LoadLe32(material.data()) == security::kIdentityPrivateBlobMagic &&
                      LoadLe32(material.data() + 4) == security::kIdentityKeySizeBytes;
  FUZZ_CHECK(ok == shaped);
  if (!ok) {
    FUZZ_CHECK(public_key.empty() && private_key.empty());
    return;
  }
  FUZZ_CHECK(public_key.size() == crypto::kP256PublicKeyBytes && public_key[0] == crypto::kP256UncompressedPrefix);
  FUZZ_CHECK(private_key.size() == crypto::kP256PrivateKeyBytes);
  const Bytes rebuilt = security::BuildIdentityPrivateBlob(public_key, private_key);
  FUZZ_CHECK(rebuilt.size() == material.size() && std::memcmp(rebuilt.data(), material.data(), material.size()) == 0);
}

// Whether a plaintext the protection handed back is an identity the loader
// must take, and its public key.
bool Importable(const Bytes& plain, Bytes* public_key) {
  Bytes private_key;
  if (!security::ParseIdentityPrivateBlob(plain, public_key, &private_key)) return false;
  crypto::EcdsaP256Key key;
  const bool ok = key.Import(private_key, *public_key);
  crypto::SecureWipe(private_key);
  // A library failure (rather than a refused key) would make the loader
  // wait and keep the file; the harness's inputs never cause one.
  FUZZ_CHECK(ok || key.last_result().code != crypto::kCryptoPlatformError);
  return ok;
}

void CheckLoader(uint8_t mode, ByteView material) {
  const fs::path path = EmptyStoreFolder() / security::kHostIdentityFileName;

  const bool framed = (mode & 1) != 0;
  const Unprotect unprotect_mode = static_cast<Unprotect>((mode >> 1) & 7);
  const bool protect_fails = (mode & 0x10) != 0;
  const bool absent = (mode & 0x20) != 0;
  const bool older_copy = (mode & 0x40) != 0;
  const bool real = RealProtection(unprotect_mode);

  std::string original;
  if (framed) {
    Bytes sealed;
    if (real) {
      if (!security::ProtectSecret(material, security::kHostIdentityEntropy, &sealed)) sealed.clear();
    } else {
      sealed.assign(material.begin(), material.end());
    }
    original = Header() + AsString(sealed);
  } else {
    original = AsString(material);
  }
  if (!absent) WriteFile(path, original);
  const fs::path first_aside = WithSuffix(path, ".invalid");
  const std::string older = "an older unreadable identity";
  if (older_copy) WriteFile(first_aside, older);

  ManualClock clock;
  const uint64_t start_ms = clock.TickMs();
  std::vector<Call> calls;
  HostIdentity::Environment env;
  env.clock = &clock;
  env.unprotect = MakeUnprotect(unprotect_mode, &calls);
  env.protect = MakeProtect(real, protect_fails);
  HostIdentity identity(std::move(env));
  FUZZ_CHECK(identity.LoadOrCreate(path));
  FUZZ_CHECK(identity.path() == path);

  // What the file calls for.
  const bool headed = !absent && original.size() > security::kHostIdentityHeaderBytes &&
                      original.compare(0, security::kHostIdentityHeaderBytes, Header()) == 0;
  size_t expected_calls = 0;
  if (headed) expected_calls = !calls.empty() && !calls[0].ok && calls[0].code == security::kSecretUnavailable ? 2 : 1;
  FUZZ_CHECK(calls.size() == expected_calls);
  for (const Call& call : calls) {
    FUZZ_CHECK(AsString(call.blob) == original.substr(security::kHostIdentityHeaderBytes));
  }
  FUZZ_CHECK(clock.TickMs() - start_ms == (expected_calls == 2 ? security::kIdentityUnprotectRetryDelayMs : 0u));

  Bytes blob_public;
  const bool loadable = !calls.empty() && calls.back().ok && Importable(calls.back().plain, &blob_public);
  const bool still_closed = !calls.empty() && !calls.back().ok && calls.back().code == security::kSecretUnavailable;
  const bool unusable = !absent && !loadable && !still_closed;

  FUZZ_CHECK(identity.Available());
  const Bytes public_key = identity.PublicKey();
  FUZZ_CHECK(public_key.size() == crypto::kP256PublicKeyBytes && public_key[0] == crypto::kP256UncompressedPrefix);
  FUZZ_CHECK(identity.Fingerprint().size() == 47);

  const FileState now = ReadState(path);
  const HostIdentityOrigin origin = identity.origin();
  if (loadable) {
    FUZZ_CHECK(origin == HostIdentityOrigin::kLoaded);
    FUZZ_CHECK(public_key == blob_public);
    FUZZ_CHECK(now.present && now.bytes == original);
    FUZZ_CHECK(identity.moved_aside_to().empty());
  } else if (still_closed) {
    FUZZ_CHECK(origin == HostIdentityOrigin::kRunOnly);
    FUZZ_CHECK(now.present && now.bytes == original);
    FUZZ_CHECK(identity.moved_aside_to().empty());
  } else {
    FUZZ_CHECK(origin == (protect_fails ? HostIdentityOrigin::kRunOnly : HostIdentityOrigin::kCreated));
    if (unusable) {
      const fs::path aside = older_copy ? WithSuffix(path, ".invalid.1") : first_aside;
      FUZZ_CHECK(identity.moved_aside_to() == aside);
      const FileState kept = ReadState(aside);
      FUZZ_CHECK(kept.present && kept.bytes == original);
    } else {
      FUZZ_CHECK(identity.moved_aside_to().empty());
    }
    if (protect_fails) {
      FUZZ_CHECK(!now.present);
    } else {
      FUZZ_CHECK(now.present && now.bytes.size() > security::kHostIdentityHeaderBytes &&
                 now.bytes.compare(0, security::kHostIdentityHeaderBytes, Header()) == 0);
      HostIdentity::Environment again_env;
      again_env.clock = &clock;
      again_env.unprotect = real ? HostIdentity::ProtectFn(&security::UnprotectSecret) : HostIdentity::ProtectFn(&PassThrough);
      again_env.protect = MakeProtect(real, false);
      HostIdentity again(std::move(again_env));
      FUZZ_CHECK(again.LoadOrCreate(path));
      FUZZ_CHECK(again.origin() == HostIdentityOrigin::kLoaded);
      FUZZ_CHECK(again.PublicKey() == public_key);
      FUZZ_CHECK(ReadState(path).bytes == now.bytes);
    }
  }
  if (older_copy) {
    const FileState kept = ReadState(first_aside);
    FUZZ_CHECK(kept.present && kept.bytes == older);
  }
  FUZZ_CHECK(!ReadState(WithSuffix(path, ".tmp")).present);

  const Bytes hash = crypto::Sha256(material);
  FUZZ_CHECK(hash.size() == crypto::kSha256Bytes);
  const Bytes signature = identity.Sign(hash);
  FUZZ_CHECK(signature.size() == crypto::kEcdsaP256SignatureBytes);
  FUZZ_CHECK(crypto::EcdsaP256VerifyDigest(public_key, hash, signature));
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane::fuzz;
  QuietLogs();
  FuzzReader in(data, size);
  const uint8_t mode = in.Byte();
  const ByteView material = in.Rest();
  CheckBlobReader(material);
  CheckLoader(mode, material);
  return 0;
}
