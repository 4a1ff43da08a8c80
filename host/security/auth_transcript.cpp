#include "host/security/auth_transcript.h"

#include <cstring>

#include "host/common/byte_order.h"

namespace orvane::security {

namespace {

crypto::ByteView View(std::string_view text) {
  return crypto::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Writes the part at *offset (with its length before it when asked) into a
// buffer sized for the whole transcript.
void Put(crypto::Bytes& out, size_t* offset, crypto::ByteView part, bool with_length) {
  if (with_length) {
    StoreBe32(out.data() + *offset, static_cast<uint32_t>(part.size()));
    *offset += 4;
  }
  if (!part.empty()) std::memcpy(out.data() + *offset, part.data(), part.size());
  *offset += part.size();
}

}  // namespace

crypto::Bytes BuildAuthTranscript(std::string_view client_id, crypto::ByteView tablet_ephemeral_key,
                                  crypto::ByteView host_ephemeral_key, crypto::ByteView host_identity_key) {
  crypto::Bytes transcript(kAuthTranscriptLabel.size() + 16 + client_id.size() + tablet_ephemeral_key.size() +
                           host_ephemeral_key.size() + host_identity_key.size());
  size_t offset = 0;
  Put(transcript, &offset, View(kAuthTranscriptLabel), false);
  Put(transcript, &offset, View(client_id), true);
  Put(transcript, &offset, tablet_ephemeral_key, true);
  Put(transcript, &offset, host_ephemeral_key, true);
  Put(transcript, &offset, host_identity_key, true);
  return transcript;
}

crypto::Bytes AuthTranscriptHash(std::string_view client_id, crypto::ByteView tablet_ephemeral_key,
                                 crypto::ByteView host_ephemeral_key, crypto::ByteView host_identity_key) {
  return crypto::Sha256(BuildAuthTranscript(client_id, tablet_ephemeral_key, host_ephemeral_key, host_identity_key));
}

crypto::Bytes AuthProofChallenge(crypto::ByteView transcript_hash) {
  if (transcript_hash.size() != crypto::kSha256Bytes) return {};
  crypto::Bytes challenge(kAuthProofLabel.size() + transcript_hash.size());
  size_t offset = 0;
  Put(challenge, &offset, View(kAuthProofLabel), false);
  Put(challenge, &offset, transcript_hash, false);
  return challenge;
}

}  // namespace orvane::security
