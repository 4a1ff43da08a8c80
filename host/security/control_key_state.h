#pragma once
// ControlKeyState: the keys of one slot's control connection.
//
// Every Hello starts a handshake: the host makes a new ephemeral pair and
// keeps the tablet's ephemeral key. An auth v1 tablet then gets two session
// keys from one ECDH secret: the active key (raw secret least significant
// byte first) and the compatibility key (most significant byte first). The
// host sends under the active key; on receive it tries the active key first
// and, when a tablet turns out to use the other byte order, promotes the
// compatibility key once.
//
// The tablet may rotate the key at any time with KeyRotation: the host
// answers with its own fresh public key under the old key, switches, and
// confirms with KeyRotationAck under the new key. Frames the tablet sent
// under the old key before it saw the answer are still in flight, so the
// previous active key stays a receive-only candidate until a frame opens
// under a current key or kPreviousKeyGraceUs pass.
//
// Threads: handshake, rotation and promotion run on the session's receive
// thread; the send path (any thread) takes the key and the counter through
// TakeSendKey. The key lock guards the key bytes and the directional flag and
// is never held across a cipher call or a send; the counters and states are
// atomics.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "host/common/clock.h"
#include "host/security/crypto.h"
#include "host/security/key_agreement.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane::security {

enum class KeyState : int { kIdle = 0, kPendingAck = 1, kActive = 2 };

// "idle", "pending_ack", "active"; "idle" for any other value.
const char* KeyStateName(int value);

struct HandshakeResult {
  bool usable = false;
  bool directional = false;  // echoed in HelloAck.directional_control_nonce
};

// The keys the receive path may try, copied under the key lock.
struct ReceiveKeys {
  Bytes active;
  Bytes compat;
  bool compat_promoted = false;
  // The active key before the last rotation, while it may still open frames.
  Bytes previous;
  ~ReceiveKeys();
};

class ControlKeyState {
 public:
  static constexpr uint64_t kPreviousKeyGraceUs = 5'000'000;
  // Sends one control message on the connection (the handler's send path,
  // which encrypts under the active key of the moment).
  using MessageSender = std::function<bool(protocol::v1::ControlMessage*)>;

  // Makes the first host ephemeral pair.
  explicit ControlKeyState(IClock& clock = SystemClock());
  ~ControlKeyState();
  ControlKeyState(const ControlKeyState&) = delete;
  ControlKeyState& operator=(const ControlKeyState&) = delete;

  // On every Hello (before StartHandshake) and when the connection ends:
  // every key, counter and state back to its start value. The host pair
  // stays until the next handshake.
  void ResetKeys();
  // Directional nonces as the Hello asks, a new host pair, and whether the
  // Hello's identity and ephemeral key are usable (32 or 64 bytes for
  // auth v1, exactly 64 for auth v2). A usable Hello's key is kept.
  HandshakeResult StartHandshake(const protocol::v1::Hello& hello);
  // Both auth v1 keys from the kept peer key; false (nothing installed) when
  // the active one cannot be derived.
  bool EstablishAuthV1Keys();
  // Installs a session key established elsewhere (auth v2; tests may add a
  // compatibility key): key ready, epoch = host clock, state active.
  void InstallSessionKey(Bytes key, Bytes compat = {});
  // Tablet-initiated rotation; every outcome answers KeyRotationAck.
  void HandleKeyRotation(const protocol::v1::KeyRotation& rotation, const MessageSender& send);
  void HandleKeyRotationAck(const protocol::v1::KeyRotationAck& ack);
  void HandleRekeyRequired(const protocol::v1::RekeyRequired& rekey);
  // The compatibility key opened a frame: it becomes the active key, once
  // per key pair. True when it was promoted now.
  bool PromoteCompatKey();

  // Copies taken under the key lock; the caller wipes them.
  Bytes ActiveKey() const;
  Bytes CompatKey() const;
  bool HasActiveKey() const;
  bool HasCompatKey() const;
  // A compatibility key exists and has not been promoted.
  bool CompatAvailable() const;
  bool CompatPromoted() const;
  bool Directional() const;

  // The send path: a copy of the active key, the next send counter and the
  // directional flag, all under one acquisition of the key lock. False (and
  // no counter used) without an active key.
  bool TakeSendKey(Bytes* key, uint64_t* counter, bool* directional);
  uint64_t NextSendCounter() { return send_counter_.fetch_add(1); }

  // The receive path's candidates. The previous key is included only within
  // its grace period after a rotation.
  ReceiveKeys ReceiveCandidates();
  // A frame opened under the active or compatibility key: the tablet has the
  // current keys, the previous one is forgotten.
  void ForgetPreviousKey();

  // Incremented by every ResetKeys: the receive side starts its counter and
  // failure streak over when it changes.
  uint64_t ResetGeneration() const { return reset_generation_.load(); }
  bool KeyReady() const { return key_ready_.load(); }
  uint64_t Epoch() const { return epoch_.load(); }
  uint64_t PendingEpoch() const { return pending_epoch_.load(); }
  uint64_t CompatPromotions() const { return compat_promotions_.load(); }
  KeyState State() const { return static_cast<KeyState>(key_state_.load()); }
  const char* StateName() const { return KeyStateName(key_state_.load()); }

  // The host's current ephemeral public key (64 bytes) and the tablet's
  // from the last usable Hello.
  Bytes HostEphemeralPublicKey() const;
  Bytes PeerEphemeralKey() const;
  // The host's ephemeral private key, for the auth v2 derivation on the
  // receive thread.
  crypto::EcdhP256KeyPair& HostEphemeralKey() { return host_pair_.key(); }

  // Auth v2 bookkeeping.
  uint32_t AuthVersion() const { return auth_version_.load(); }
  bool AuthV2Pending() const { return auth_v2_pending_.load(); }
  void SetAuthV2Pending(bool pending, ByteView transcript_hash);
  Bytes TranscriptHash() const;

 private:
  void InstallLocked(Bytes active, Bytes compat);

  IClock& clock_;

  mutable std::mutex mu_;  // the key lock
  EphemeralKeyPair host_pair_;
  Bytes peer_key_;
  Bytes active_;
  Bytes compat_;
  Bytes previous_;
  uint64_t previous_until_us_ = 0;
  bool compat_promoted_ = false;
  bool directional_ = false;
  Bytes transcript_hash_;
  uint64_t promotion_time_us_ = 0;

  std::atomic<uint64_t> send_counter_{0};
  std::atomic<bool> key_ready_{false};
  std::atomic<uint64_t> epoch_{0};
  std::atomic<uint64_t> pending_epoch_{0};
  std::atomic<uint64_t> compat_promotions_{0};
  std::atomic<int> key_state_{static_cast<int>(KeyState::kIdle)};
  std::atomic<uint32_t> auth_version_{0};
  std::atomic<bool> auth_v2_pending_{false};
  std::atomic<uint64_t> reset_generation_{0};
};

}  // namespace orvane::security
