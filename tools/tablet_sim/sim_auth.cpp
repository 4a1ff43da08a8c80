#include "tools/tablet_sim/sim_auth.h"

#include <algorithm>

#include "host/security/auth_transcript.h"
#include "host/security/device_trust.h"
#include "host/security/key_agreement.h"

namespace orvane::sim {
namespace {

bool ToBytes(bool ok, crypto::Digest& digest, Bytes* out) {
  crypto::SecureWipe(*out);
  if (ok) out->assign(digest.begin(), digest.end());
  crypto::SecureWipe(digest.data(), digest.size());
  return ok;
}

}  // namespace

bool IsPairingCodeText(std::string_view text) {
  return text.size() == kPairingCodeDigits &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool CredentialFromCode(std::string_view code, std::string_view client_id, Bytes* credential) {
  crypto::Digest digest{};
  const bool ok = IsPairingCodeText(code) && security::DeriveDeviceCredential(code, client_id, &digest);
  return ToBytes(ok, digest, credential);
}

bool BuildHelloProof(ByteView credential, std::string_view client_id, ByteView hello_public_key, Bytes* proof) {
  crypto::Digest digest{};
  const bool ok = credential.size() == security::kDeviceCredentialBytes &&
                  hello_public_key.size() == security::kEphemeralPublicKeyBytes &&
                  security::ComputePairingProof(credential, client_id, hello_public_key, &digest);
  return ToBytes(ok, digest, proof);
}

bool BuildAuthProofV2(ByteView credential, std::string_view client_id, ByteView transcript_hash, Bytes* proof) {
  crypto::Digest digest{};
  const Bytes challenge = security::AuthProofChallenge(transcript_hash);
  const bool ok = credential.size() == security::kDeviceCredentialBytes && !challenge.empty() &&
                  security::ComputePairingProof(credential, client_id, challenge, &digest);
  return ToBytes(ok, digest, proof);
}

const char* CredentialSourceName(CredentialSource source) {
  switch (source) {
    case CredentialSource::kNone: return "none";
    case CredentialSource::kStored: return "stored";
    case CredentialSource::kCode: return "code";
  }
  return "none";
}

const char* HostProofCheckName(HostProofCheck check) {
  switch (check) {
    case HostProofCheck::kVerified: return "verified";
    case HostProofCheck::kBadHostKey: return "bad-host-key";
    case HostProofCheck::kBadIdentity: return "bad-identity";
    case HostProofCheck::kBadSignature: return "bad-signature";
    case HostProofCheck::kNoTranscript: return "no-transcript";
    case HostProofCheck::kMismatch: return "mismatch";
  }
  return "mismatch";
}

HostProofCheck CheckHostProof(std::string_view client_id, ByteView tablet_public_key, ByteView host_public_key,
                              ByteView identity_key, ByteView signature, Bytes* transcript_hash) {
  transcript_hash->clear();
  if (host_public_key.size() != security::kEphemeralPublicKeyBytes) return HostProofCheck::kBadHostKey;
  if (identity_key.size() != crypto::kP256PublicKeyBytes || identity_key[0] != crypto::kP256UncompressedPrefix) {
    return HostProofCheck::kBadIdentity;
  }
  if (signature.size() != crypto::kEcdsaP256SignatureBytes) return HostProofCheck::kBadSignature;
  Bytes hash = security::AuthTranscriptHash(client_id, tablet_public_key, host_public_key, identity_key);
  if (hash.size() != security::kTranscriptHashBytes) return HostProofCheck::kNoTranscript;
  if (!crypto::EcdsaP256VerifyDigest(identity_key, hash, signature)) return HostProofCheck::kMismatch;
  *transcript_hash = std::move(hash);
  return HostProofCheck::kVerified;
}

const char* IdentityPinName(IdentityPin pin) {
  switch (pin) {
    case IdentityPin::kFirstSight: return "first-sight";
    case IdentityPin::kSame: return "same";
    case IdentityPin::kChangedAccepted: return "changed-accepted";
    case IdentityPin::kChangedRefused: return "changed-refused";
  }
  return "changed-refused";
}

IdentityPin CheckIdentityPin(ByteView remembered, ByteView presented, bool accept_new_identity) {
  if (remembered.empty()) return IdentityPin::kFirstSight;
  if (std::equal(remembered.begin(), remembered.end(), presented.begin(), presented.end())) return IdentityPin::kSame;
  return accept_new_identity ? IdentityPin::kChangedAccepted : IdentityPin::kChangedRefused;
}

}  // namespace orvane::sim
