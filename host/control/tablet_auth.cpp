#include "host/control/tablet_auth.h"

#include <utility>

#include "host/common/logger.h"
#include "host/common/utf.h"
#include "host/security/auth_transcript.h"
#include "host/security/key_agreement.h"

namespace orvane {

namespace pb = protocol::v1;

namespace {

crypto::ByteView View(const std::string& text) {
  return crypto::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The replay memory keeps digests, not keys: SHA-256 over the id's length,
// the id and the key.
std::string HelloDigest(const std::string& client_id, const std::string& ephemeral_key) {
  uint8_t length[8];
  uint64_t n = client_id.size();
  for (int i = 7; i >= 0; --i) {
    length[i] = static_cast<uint8_t>(n);
    n >>= 8;
  }
  crypto::Digest digest{};
  if (!crypto::Sha256({crypto::ByteView(length), View(client_id), View(ephemeral_key)}, &digest)) return {};
  return std::string(digest.begin(), digest.end());
}

constexpr size_t kStoredNameBytes = 128;

std::string Shown(const std::string& text) { return EscapeUntrusted(text.substr(0, 128)); }

}  // namespace

TabletAuthenticator::TabletAuthenticator(std::shared_ptr<security::DeviceTrust> trust,
                                         std::shared_ptr<const security::HostIdentity> identity)
    : trust_(std::move(trust)), identity_(std::move(identity)) {
  if (!IdentityAvailable()) LogError("[Protocol] Host identity unavailable; auth v2 clients will be rejected");
}

void TabletAuthenticator::SetCallbacks(TabletAuthCallbacks callbacks) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  callbacks_ = std::move(callbacks);
}

bool TabletAuthenticator::IdentityAvailable() const { return identity_ != nullptr && identity_->Available(); }

void TabletAuthenticator::Attach(ProtocolHandler& handler) {
  handler.SetHelloAuthenticator(
      [this](const pb::Hello& hello, security::ControlKeyState& keys) { return AuthenticateHello(hello, keys); });
  ControlSecurityHooks hooks;
  hooks.handle_auth_proof = [this, &handler](const pb::AuthProof& proof, bool encrypted) {
    HandleAuthProof(proof, encrypted, handler);
  };
  handler.SetSecurityHooks(std::move(hooks));
}

HelloAuthDecision TabletAuthenticator::AuthenticateHello(const pb::Hello& hello, security::ControlKeyState& keys) {
  if (trust_ == nullptr) return HelloAuthDecision{};
  return hello.auth_version() >= 2 ? AuthenticateV2(hello, keys) : AuthenticateV1(hello, keys);
}

pb::AuthResult TabletAuthenticator::DecidePairing(const std::string& client_name) {
  const security::PairingPrompt prompt = trust_->DecidePairing();
  if (!prompt.code.empty()) {
    std::function<void(const std::string&, const std::string&)> requested;
    {
      std::lock_guard<std::mutex> lock(callbacks_mu_);
      requested = callbacks_.pairing_code_requested;
    }
    if (requested) requested(client_name, prompt.code);
  }
  return prompt.decision == security::PairingDecision::kPairingRequired ? pb::AUTH_RESULT_PAIRING_REQUIRED
                                                                       : pb::AUTH_RESULT_REJECTED;
}

void TabletAuthenticator::TrustVerifiedDevice(const std::string& client_id, const std::string& client_name,
                                              const security::PairingProofResult& verified) {
  // The name is only for people; a long one is cut like in the logs.
  trust_->TrustDevice(client_id, Utf8Prefix(client_name, kStoredNameBytes), verified.new_credential);
  trust_->Save();
  if (verified.new_credential.empty()) return;
  std::function<void(const std::string&, size_t)> paired;
  {
    std::lock_guard<std::mutex> lock(callbacks_mu_);
    paired = callbacks_.tablet_paired;
  }
  if (paired) paired(client_name, trust_->Count());
}

bool TabletAuthenticator::SeenHello(const std::string& client_id, const std::string& ephemeral_key) {
  const std::string digest = HelloDigest(client_id, ephemeral_key);
  std::lock_guard<std::mutex> lock(hellos_mu_);
  return !digest.empty() && hello_set_.count(digest) != 0;
}

bool TabletAuthenticator::RememberHello(const std::string& client_id, const std::string& ephemeral_key) {
  const std::string digest = HelloDigest(client_id, ephemeral_key);
  if (digest.empty()) return true;
  std::lock_guard<std::mutex> lock(hellos_mu_);
  if (!hello_set_.insert(digest).second) return false;
  hello_order_.push_back(digest);
  if (hello_order_.size() > kRememberedHellos) {
    hello_set_.erase(hello_order_.front());
    hello_order_.pop_front();
  }
  return true;
}

HelloAuthDecision TabletAuthenticator::AuthenticateV1(const pb::Hello& hello, security::ControlKeyState& keys) {
  HelloAuthDecision decision;
  if (!keys.EstablishAuthV1Keys()) {
    LogWarn("[Protocol] Hello rejected: session key derivation failed");
    return decision;
  }
  const std::string& client_id = hello.client_id();
  const std::string& proof = hello.pairing_proof();
  if (!proof.empty()) {
    // The proof's challenge is the ephemeral key exactly as received.
    const std::string& challenge = hello.ephemeral_public_key();
    if (SeenHello(client_id, challenge)) {
      LogWarn("[Protocol] Hello rejected: %s repeated an authentication that was already accepted (replayed Hello)",
              Shown(client_id).c_str());
      return decision;
    }
    security::PairingProofResult verified = trust_->VerifyPairingProof(View(proof), client_id, View(challenge));
    if (verified.verified && RememberHello(client_id, challenge)) {
      TrustVerifiedDevice(client_id, hello.client_name(), verified);
      LogInfo("[Protocol] Device credential verified");
      decision.result = pb::AUTH_RESULT_OK;
      return decision;
    }
  }
  decision.result = DecidePairing(hello.client_name());
  if (decision.result == pb::AUTH_RESULT_PAIRING_REQUIRED) {
    LogWarn("[Protocol] Device credential missing or invalid; pairing required");
  }
  return decision;
}

HelloAuthDecision TabletAuthenticator::AuthenticateV2(const pb::Hello& hello, security::ControlKeyState& keys) {
  HelloAuthDecision decision;
  if (!IdentityAvailable()) {
    LogError("[Protocol] Auth v2 Hello rejected: host identity is unavailable");
    return decision;
  }
  const crypto::Bytes peer = keys.PeerEphemeralKey();
  const crypto::Bytes host_ephemeral = keys.HostEphemeralPublicKey();
  const crypto::Bytes& identity_key = identity_->PublicKey();
  const crypto::Bytes hash = security::AuthTranscriptHash(hello.client_id(), peer, host_ephemeral, identity_key);
  crypto::Bytes key;
  crypto::Bytes signature;
  if (hash.size() == security::kTranscriptHashBytes) {
    key = security::DeriveAuthV2SessionKey(keys.HostEphemeralKey(), peer, hash);
    signature = identity_->Sign(hash);
  }
  if (key.size() != security::kSessionKeyBytes || signature.size() != crypto::kEcdsaP256SignatureBytes) {
    crypto::SecureWipe(key);
    LogWarn("[Protocol] Auth v2 Hello rejected: transcript, key derivation or signature failed");
    return decision;
  }
  const size_t key_length = key.size();
  const std::string key_fp = security::KeyFingerprint(key);
  keys.InstallSessionKey(std::move(key));
  keys.SetAuthV2Pending(true, hash);
  LogInfo("[Protocol] Auth v2 session key derived (%zu bytes, epoch=%llu, fp=%s, transcript_fp=%s)", key_length,
          static_cast<unsigned long long>(keys.Epoch()), key_fp.c_str(), security::KeyFingerprint(hash).c_str());
  decision.result = pb::AUTH_RESULT_OK;
  decision.auth_v2_pending = true;
  decision.host_identity_public_key.assign(identity_key.begin(), identity_key.end());
  decision.host_signature.assign(signature.begin(), signature.end());
  return decision;
}

void TabletAuthenticator::HandleAuthProof(const pb::AuthProof& proof, bool encrypted, ProtocolHandler& handler) {
  security::ControlKeyState& keys = handler.Keys();
  if (handler.IsAuthenticated() || !keys.AuthV2Pending()) {
    LogWarn("[Protocol] AuthProof ignored: no auth v2 handshake is pending");
    return;
  }
  if (!encrypted) {
    LogWarn("[Protocol] AuthProof ignored: it must arrive encrypted under the handshake key");
    return;
  }
  // One AuthProof per handshake.
  const crypto::Bytes hash = keys.TranscriptHash();
  keys.SetAuthV2Pending(false, hash);
  const crypto::Bytes challenge = security::AuthProofChallenge(hash);
  const std::string client_id = handler.ClientId();
  const std::string client_name = handler.ClientName();
  if (trust_ != nullptr && !proof.proof().empty() && !challenge.empty()) {
    security::PairingProofResult verified = trust_->VerifyPairingProof(View(proof.proof()), client_id, challenge);
    if (verified.verified) {
      TrustVerifiedDevice(client_id, client_name, verified);
      handler.FinishAuthV2(pb::AUTH_RESULT_OK);
      LogInfo("[Protocol] Auth v2 device credential verified");
      return;
    }
  }
  const pb::AuthResult result = trust_ != nullptr ? DecidePairing(client_name) : pb::AUTH_RESULT_REJECTED;
  if (result == pb::AUTH_RESULT_PAIRING_REQUIRED) {
    LogWarn("[Protocol] Auth v2 credential missing or invalid; pairing required");
  }
  handler.FinishAuthV2(result);
}

}  // namespace orvane
