#pragma once
// The second authentication version binds the session key to a transcript of
// the handshake that the host signs with its identity:
//
//   "OVD-AUTH2"
//   u32 length || client_id (as received)
//   u32 length || the tablet's ephemeral public key (64 bytes)
//   u32 length || the host's ephemeral public key (64 bytes)
//   u32 length || the host identity public key (65 bytes)
//
// (lengths big-endian). Its SHA-256 is the HKDF salt of the session key, the
// digest the host signs, and, after "OVD-AUTH2-PROOF", the challenge of the
// tablet's proof.

#include <string_view>

#include "host/security/crypto.h"

namespace orvane::security {

inline constexpr std::string_view kAuthTranscriptLabel = "OVD-AUTH2";
inline constexpr std::string_view kAuthProofLabel = "OVD-AUTH2-PROOF";

crypto::Bytes BuildAuthTranscript(std::string_view client_id, crypto::ByteView tablet_ephemeral_key,
                                  crypto::ByteView host_ephemeral_key, crypto::ByteView host_identity_key);
// SHA-256 of the transcript; empty on failure.
crypto::Bytes AuthTranscriptHash(std::string_view client_id, crypto::ByteView tablet_ephemeral_key,
                                 crypto::ByteView host_ephemeral_key, crypto::ByteView host_identity_key);
// "OVD-AUTH2-PROOF" || hash for a 32-byte hash; empty otherwise.
crypto::Bytes AuthProofChallenge(crypto::ByteView transcript_hash);

}  // namespace orvane::security
