#include "host/security/control_key_state.h"

#include <utility>

#include "host/common/logger.h"

namespace orvane::security {

namespace pb = protocol::v1;

const char* KeyStateName(int value) {
  switch (value) {
    case static_cast<int>(KeyState::kPendingAck):
      return "pending_ack";
    case static_cast<int>(KeyState::kActive):
      return "active";
    default:
      return "idle";
  }
}

ReceiveKeys::~ReceiveKeys() {
  crypto::SecureWipe(active);
  crypto::SecureWipe(compat);
  crypto::SecureWipe(previous);
}

namespace {

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

uint64_t NowUs(IClock& clock) {
  const int64_t now = clock.NowUs();
  return now > 0 ? static_cast<uint64_t>(now) : 0;
}

void SendRotationAck(const ControlKeyState::MessageSender& send, uint64_t epoch, bool accepted) {
  pb::ControlMessage message;
  pb::KeyRotationAck* ack = message.mutable_key_rotation_ack();
  ack->set_next_epoch(epoch);
  ack->set_accepted(accepted);
  if (send) send(&message);
}

}  // namespace

ControlKeyState::ControlKeyState(IClock& clock) : clock_(clock) { host_pair_.Generate(); }

ControlKeyState::~ControlKeyState() {
  std::lock_guard<std::mutex> lock(mu_);
  crypto::SecureWipe(active_);
  crypto::SecureWipe(compat_);
  crypto::SecureWipe(previous_);
  crypto::SecureWipe(transcript_hash_);
}

void ControlKeyState::ResetKeys() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    crypto::SecureWipe(active_);
    crypto::SecureWipe(compat_);
    crypto::SecureWipe(previous_);
    previous_until_us_ = 0;
    compat_promoted_ = false;
    send_counter_ = 0;
    directional_ = false;
    peer_key_.clear();
    crypto::SecureWipe(transcript_hash_);
    promotion_time_us_ = 0;
  }
  key_ready_ = false;
  epoch_ = 0;
  pending_epoch_ = 0;
  compat_promotions_ = 0;
  key_state_ = static_cast<int>(KeyState::kIdle);
  auth_version_ = 0;
  auth_v2_pending_ = false;
  ++reset_generation_;
}

HandshakeResult ControlKeyState::StartHandshake(const pb::Hello& hello) {
  HandshakeResult result;
  result.directional = hello.auth_version() > 1 || hello.directional_control_nonce();
  const size_t peer_length = hello.ephemeral_public_key().size();
  const bool auth_v2 = hello.auth_version() >= 2;
  const bool length_ok =
      auth_v2 ? peer_length == kEphemeralPublicKeyBytes
              : (peer_length == kEphemeralPublicKeyBytes || peer_length == crypto::kP256CoordinateBytes);

  EphemeralKeyPair fresh;
  const bool generated = fresh.Generate();
  Bytes host_public;
  {
    std::lock_guard<std::mutex> lock(mu_);
    directional_ = result.directional;
    host_pair_ = std::move(fresh);
    host_public = host_pair_.public_key();
  }
  auth_version_ = auth_v2 ? 2u : 0u;
  if (hello.client_id().empty() || !generated || !length_ok) return result;

  const Bytes peer(hello.ephemeral_public_key().begin(), hello.ephemeral_public_key().end());
  {
    std::lock_guard<std::mutex> lock(mu_);
    peer_key_ = peer;
  }
  LogInfo("[Protocol] Peer ephemeral key len=%zu fp=%s", peer.size(), KeyFingerprint(peer).c_str());
  LogInfo("[Protocol] Host ephemeral key len=%zu fp=%s", host_public.size(), KeyFingerprint(host_public).c_str());
  result.usable = true;
  return result;
}

void ControlKeyState::InstallLocked(Bytes active, Bytes compat) {
  crypto::SecureWipe(active_);
  crypto::SecureWipe(compat_);
  crypto::SecureWipe(previous_);
  previous_until_us_ = 0;
  active_ = std::move(active);
  compat_ = std::move(compat);
  compat_promoted_ = false;
}

bool ControlKeyState::EstablishAuthV1Keys() {
  Bytes peer = PeerEphemeralKey();
  // The derivations run on the receive thread, which alone replaces the
  // host pair, so the key lock is not needed around them.
  Bytes active = DeriveSessionKey(host_pair_.key(), peer, {}, false);
  if (active.empty()) return false;
  Bytes compat = DeriveSessionKey(host_pair_.key(), peer, {}, true);
  const size_t active_length = active.size();
  const std::string active_fp = KeyFingerprint(active);
  const std::string compat_fp = KeyFingerprintOrNone(compat);
  {
    std::lock_guard<std::mutex> lock(mu_);
    InstallLocked(std::move(active), std::move(compat));
  }
  key_ready_ = true;
  epoch_ = NowUs(clock_);
  key_state_ = static_cast<int>(KeyState::kActive);
  LogInfo("[Protocol] Session key derived (%zu bytes, epoch=%llu, fp=%s, compat_fp=%s, key_state=%s)", active_length,
          U(epoch_.load()), active_fp.c_str(), compat_fp.c_str(), StateName());
  return true;
}

void ControlKeyState::InstallSessionKey(Bytes key, Bytes compat) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    InstallLocked(std::move(key), std::move(compat));
  }
  key_ready_ = true;
  epoch_ = NowUs(clock_);
  key_state_ = static_cast<int>(KeyState::kActive);
}

void ControlKeyState::HandleKeyRotation(const pb::KeyRotation& rotation, const MessageSender& send) {
  const uint64_t next = rotation.next_epoch();
  const std::string& peer_text = rotation.ephemeral_public_key();
  auto reject = [&](uint64_t epoch) {
    if (key_state_.load() == static_cast<int>(KeyState::kPendingAck)) key_state_ = static_cast<int>(KeyState::kIdle);
    SendRotationAck(send, epoch, false);
  };
  if (next == 0 || peer_text.empty()) {
    LogWarn("[Protocol] KeyRotation rejected: missing epoch or peer key");
    reject(next);
    return;
  }
  if (peer_text.size() != kEphemeralPublicKeyBytes && peer_text.size() != crypto::kP256CoordinateBytes) {
    LogWarn("[Protocol] KeyRotation rejected: unsupported peer key size=%zu", peer_text.size());
    reject(next);
    return;
  }
  Bytes previous = ActiveKey();
  if (previous.empty()) {
    LogWarn("[Protocol] KeyRotation rejected: session key is not available");
    reject(next);
    return;
  }
  const uint64_t current = epoch_.load();
  if (current != 0 && next <= current) {
    const bool accepted = next == current;
    LogInfo("[Protocol] KeyRotation duplicate/stale epoch=%llu current=%llu accepted=%d", U(next), U(current),
            accepted ? 1 : 0);
    crypto::SecureWipe(previous);
    if (accepted) {
      SendRotationAck(send, next, true);
      key_state_ = static_cast<int>(KeyState::kActive);
    } else {
      reject(next);
    }
    return;
  }
  EphemeralKeyPair response;
  if (!response.Generate()) {
    LogWarn("[Protocol] KeyRotation rejected: failed to generate response key pair");
    crypto::SecureWipe(previous);
    reject(next);
    return;
  }
  const ByteView peer = AsBytes(peer_text);
  Bytes active = DeriveSessionKey(response.key(), peer, previous, false);
  Bytes compat = active.empty() ? Bytes() : DeriveSessionKey(response.key(), peer, previous, true);
  const Bytes response_public = response.public_key();
  response.Clear();
  if (active.empty()) {
    LogWarn("[Protocol] KeyRotation rejected: key derivation failed for epoch=%llu", U(next));
    crypto::SecureWipe(previous);
    reject(next);
    return;
  }

  // The answer leaves under the key the tablet still holds.
  pb::ControlMessage answer;
  pb::KeyRotation* reply = answer.mutable_key_rotation();
  reply->set_next_epoch(next);
  reply->set_ephemeral_public_key(response_public.data(), response_public.size());
  if (send) send(&answer);
  pending_epoch_ = next;
  key_state_ = static_cast<int>(KeyState::kPendingAck);

  const std::string active_fp = KeyFingerprint(active);
  const std::string compat_fp = KeyFingerprintOrNone(compat);
  {
    std::lock_guard<std::mutex> lock(mu_);
    crypto::SecureWipe(active_);
    crypto::SecureWipe(compat_);
    crypto::SecureWipe(previous_);
    // Frames the tablet sent before it saw the answer still use the old key.
    previous_ = std::move(previous);
    previous_until_us_ = NowUs(clock_) + kPreviousKeyGraceUs;
    active_ = std::move(active);
    compat_ = std::move(compat);
    compat_promoted_ = false;
  }
  epoch_ = next;
  pending_epoch_ = next;
  key_state_ = static_cast<int>(KeyState::kPendingAck);
  LogInfo("[Protocol] Key rotation applied epoch=%llu fp=%s compat_fp=%s state=%s", U(next), active_fp.c_str(),
          compat_fp.c_str(), StateName());

  // The confirmation leaves under the new key.
  SendRotationAck(send, next, true);
  key_state_ = static_cast<int>(KeyState::kActive);
}

void ControlKeyState::HandleKeyRotationAck(const pb::KeyRotationAck& ack) {
  const uint64_t epoch = ack.next_epoch();
  LogInfo("[Protocol] KeyRotationAck epoch=%llu accepted=%d", U(epoch), ack.accepted() ? 1 : 0);
  const uint64_t pending = pending_epoch_.load();
  if (pending == 0 || pending != epoch) return;
  if (ack.accepted()) {
    epoch_ = epoch;
    key_state_ = static_cast<int>(KeyState::kActive);
    LogInfo("[Protocol] KeyRotation confirmed for epoch=%llu", U(epoch));
  } else {
    key_state_ = static_cast<int>(KeyState::kIdle);
    LogWarn("[Protocol] KeyRotation rejected by peer for epoch=%llu", U(epoch));
  }
  pending_epoch_ = 0;
}

void ControlKeyState::HandleRekeyRequired(const pb::RekeyRequired& rekey) {
  const std::string& reason = rekey.reason();
  LogWarn("[Protocol] Client requested rekey: reason=%s epoch=%llu",
          EscapeUntrusted(reason.substr(0, 64)).c_str(), U(rekey.server_epoch()));
}

bool ControlKeyState::PromoteCompatKey() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (compat_promoted_) {
      LogWarn("[Protocol] Compatibility session key promotion suppressed (already promoted once)");
      return false;
    }
    if (compat_.empty()) return false;
    crypto::SecureWipe(active_);
    active_ = std::move(compat_);
    compat_.clear();
    compat_promoted_ = true;
    crypto::SecureWipe(previous_);
    previous_until_us_ = 0;
    promotion_time_us_ = NowUs(clock_);
  }
  const uint64_t count = ++compat_promotions_;
  uint64_t when = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    when = promotion_time_us_;
  }
  LogWarn("[Protocol] Promoted compatibility session key as active (count=%llu ts_us=%llu)", U(count), U(when));
  return true;
}

Bytes ControlKeyState::ActiveKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return active_;
}

Bytes ControlKeyState::CompatKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return compat_;
}

bool ControlKeyState::HasActiveKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !active_.empty();
}

bool ControlKeyState::HasCompatKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !compat_.empty();
}

bool ControlKeyState::CompatAvailable() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !compat_.empty() && !compat_promoted_;
}

bool ControlKeyState::CompatPromoted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return compat_promoted_;
}

bool ControlKeyState::Directional() const {
  std::lock_guard<std::mutex> lock(mu_);
  return directional_;
}

bool ControlKeyState::TakeSendKey(Bytes* key, uint64_t* counter, bool* directional) {
  std::lock_guard<std::mutex> lock(mu_);
  if (active_.empty()) return false;
  *key = active_;
  *counter = send_counter_.fetch_add(1);
  *directional = directional_;
  return true;
}

ReceiveKeys ControlKeyState::ReceiveCandidates() {
  ReceiveKeys keys;
  const uint64_t now = NowUs(clock_);
  std::lock_guard<std::mutex> lock(mu_);
  keys.active = active_;
  keys.compat = compat_;
  keys.compat_promoted = compat_promoted_;
  if (!previous_.empty()) {
    if (now < previous_until_us_) {
      keys.previous = previous_;
    } else {
      crypto::SecureWipe(previous_);
      previous_until_us_ = 0;
    }
  }
  return keys;
}

void ControlKeyState::ForgetPreviousKey() {
  std::lock_guard<std::mutex> lock(mu_);
  crypto::SecureWipe(previous_);
  previous_until_us_ = 0;
}

Bytes ControlKeyState::HostEphemeralPublicKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return host_pair_.public_key();
}

Bytes ControlKeyState::PeerEphemeralKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return peer_key_;
}

void ControlKeyState::SetAuthV2Pending(bool pending, ByteView transcript_hash) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    crypto::SecureWipe(transcript_hash_);
    transcript_hash_.assign(transcript_hash.begin(), transcript_hash.end());
  }
  auth_v2_pending_ = pending;
}

Bytes ControlKeyState::TranscriptHash() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transcript_hash_;
}

}  // namespace orvane::security
