#pragma once
// The tablet's side of authentication.
//
// A tablet proves a 32-byte device credential with
//   proof = HMAC-SHA256(key = credential, client_id || challenge).
// The credential is the one it stored after pairing, or one derived from the
// 6-digit code the host shows: HMAC-SHA256(key = the code's digits,
// client_id || "orvane-pairing-credential-v1").
//
// Auth v1: the challenge is the tablet's own 64-byte ephemeral key of this
// Hello, and the proof travels in the Hello.
// Auth v2: the host signs the transcript hash H of the handshake with its
// long-term identity key; the tablet checks the signature, recognises the
// identity key it saw before (or remembers it on first sight), derives the
// session key from H and sends AuthProof under it, with the challenge
// "OVD-AUTH2-PROOF" || H.

#include <cstdint>
#include <string>
#include <string_view>

#include "host/security/crypto.h"

namespace orvane::sim {

using crypto::Bytes;
using crypto::ByteView;

inline constexpr size_t kPairingCodeDigits = 6;

// Exactly six ASCII digits.
bool IsPairingCodeText(std::string_view text);

// The credential a pairing code gives this client_id; false (and empty) on
// failure.
bool CredentialFromCode(std::string_view code, std::string_view client_id, Bytes* credential);
// Auth v1: the Hello's pairing_proof over this Hello's ephemeral key.
bool BuildHelloProof(ByteView credential, std::string_view client_id, ByteView hello_public_key, Bytes* proof);
// Auth v2: the AuthProof's proof over "OVD-AUTH2-PROOF" || the 32-byte
// transcript hash.
bool BuildAuthProofV2(ByteView credential, std::string_view client_id, ByteView transcript_hash, Bytes* proof);

// Where the credential of a Hello comes from.
enum class CredentialSource : int {
  kNone = 0,    // no credential: the Hello (or AuthProof) carries no proof
  kStored = 1,  // the state file's, for this client_id
  kCode = 2,    // derived from --pairing-code
};
// "none", "stored", "code".
const char* CredentialSourceName(CredentialSource source);

// The host's auth v2 answer checked against the tablet's own Hello.
enum class HostProofCheck : int {
  kVerified = 0,       // the signature verifies; *transcript_hash is H
  kBadHostKey = 1,     // the host's ephemeral key is not 64 bytes
  kBadIdentity = 2,    // the identity key is not a 65-byte uncompressed point
  kBadSignature = 3,   // the signature is not 64 bytes
  kNoTranscript = 4,   // the transcript hash could not be computed
  kMismatch = 5,       // the signature does not verify
};
// "verified", "bad-host-key", "bad-identity", "bad-signature", "no-transcript", "mismatch".
const char* HostProofCheckName(HostProofCheck check);

// H = the transcript hash of (client_id, the tablet's key, the host's key,
// the identity key); the signature must verify over H with the identity key.
// *transcript_hash is H for kVerified and empty otherwise.
HostProofCheck CheckHostProof(std::string_view client_id, ByteView tablet_public_key, ByteView host_public_key,
                              ByteView identity_key, ByteView signature, Bytes* transcript_hash);

// The presented identity against the remembered one.
enum class IdentityPin : int {
  kFirstSight = 0,       // nothing remembered: remember this one
  kSame = 1,             // as remembered
  kChangedAccepted = 2,  // another key, accepted by --accept-new-identity: remember it
  kChangedRefused = 3,   // another key: refuse the host
};
// "first-sight", "same", "changed-accepted", "changed-refused".
const char* IdentityPinName(IdentityPin pin);

IdentityPin CheckIdentityPin(ByteView remembered, ByteView presented, bool accept_new_identity);

}  // namespace orvane::sim
