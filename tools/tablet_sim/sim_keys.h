#pragma once
// The tablet's side of the control channel's keys: an ephemeral P-256 pair
// per Hello, the two session keys derived from the host's HelloAck, the
// secure frames in both directions and the tablet-initiated key rotation.
//
// Both ends derive two keys from one ECDH secret: the "lsb" key (raw secret
// least significant byte first, the host's active key) and the "msb" key
// (most significant byte first, the host's compatibility key). A tablet uses
// one of them; an msb tablet makes the host promote its compatibility key
// with its first secure frame. Until the host has been seen sending under the
// msb key, an msb tablet also opens host frames under the lsb key (the host
// cannot know the order before the tablet's first frame, and after a
// rotation it confirms under its new lsb key).
//
// Nonces: tablet -> host frames always use the prefix 0x00000001; host ->
// tablet frames 0x40000001 when the HelloAck confirmed directional nonces,
// else 0x00000001. The tablet's send counter starts at 0 with every Hello;
// the host's counters must rise strictly and start over with every set of
// keys from a HelloAck (a rotation keeps the counters).
//
// Not thread-safe: one simulated connection uses it from one thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/common/clock.h"
#include "host/security/crypto.h"
#include "host/security/key_agreement.h"

namespace orvane::sim {

using crypto::Bytes;
using crypto::ByteView;

enum class KeyOrder : int { kLsb = 0, kMsb = 1 };

// "lsb", "msb".
const char* KeyOrderName(KeyOrder order);

// What a HelloAck did to the keys.
enum class HelloAckKeys : int {
  kDerived = 0,       // new session keys; frames are sealed from now on
  kHostHasNone = 1,   // version mismatch or host busy: the host keeps no keys
  kNoHostKey = 2,     // the HelloAck carries no ephemeral key
  kBadHostKey = 3,    // a host key that is not 64 bytes
  kNoPair = 4,        // the tablet's Hello carried no key of its own
  kDeriveFailed = 5,  // the derivation failed (a "[Crypto]" line says why)
};

// Outcome of opening one frame from the host.
enum class OpenStatus : int {
  kPlain = 0,         // not a secure frame: a plain ControlMessage, untouched
  kOpened = 1,        // opened; the plaintext is the ControlMessage
  kNoKey = 2,         // a secure frame while the tablet has no session key
  kNotEncrypted = 3,  // a secure frame with flags bit 0 clear
  kStale = 4,         // the counter is not above the last accepted one
  kFailed = 5,        // the tag verified under none of the keys
};

// "plain", "opened", "no-key", "not-encrypted", "stale", "failed".
const char* OpenStatusName(OpenStatus status);

struct OpenResult {
  OpenStatus status = OpenStatus::kFailed;
  uint64_t counter = 0;
  // kOpened: the frame opened under the other order's key (an msb tablet
  // whose host has not promoted its compatibility key yet).
  bool other_order = false;
};

// What the host's KeyRotation did.
enum class RotationStep : int {
  kSwitched = 0,       // the keys of the pending epoch are in use now
  kNotPending = 1,     // no rotation of the tablet is waiting for an answer
  kOtherEpoch = 2,     // the answer names another epoch; ignored
  kBadHostKey = 3,     // the host's key is not 64 bytes; the rotation is dropped
  kDeriveFailed = 4,   // the derivation failed; the rotation is dropped
};

// What the host's KeyRotationAck meant.
enum class RotationAckStep : int {
  kConfirmed = 0,  // after the host's KeyRotation: the new keys are confirmed
  kKeptKey = 1,    // no KeyRotation came first: the host kept the current key
                   // (accepted: a repeated epoch; refused: stale or invalid)
  kUnexpected = 2, // for no pending epoch, or a refusal after the switch
};

class TabletKeys {
 public:
  explicit TabletKeys(KeyOrder order = KeyOrder::kLsb);
  ~TabletKeys();
  TabletKeys(const TabletKeys&) = delete;
  TabletKeys& operator=(const TabletKeys&) = delete;

  KeyOrder order() const { return order_; }

  // ---- Hello
  // A fresh ephemeral pair for the next Hello; false (and no pair) when the
  // platform cannot make one. The session keys stay until HelloSent.
  bool NewHelloPair();
  // The pair's public key (64 bytes, X || Y); empty without a pair.
  const Bytes& HelloPublicKey() const { return hello_pair_.public_key(); }
  // The Hello left (sealed under the old keys, if any): nothing is sealed
  // until the HelloAck, the send counter starts over and a pending rotation
  // is forgotten. The old keys still open what the host sends before its
  // HelloAck.
  void HelloSent();
  // The host's answer: result is the HelloAck's AuthResult number.
  HelloAckKeys OnHelloAck(int result, ByteView host_public_key, bool directional);

  // Auth v2: the one session key, bound to the transcript hash the tablet
  // verified the host's signature over (raw secret most significant byte
  // first; there is no other order's key). The caller checked that the
  // HelloAck accepted the Hello.
  HelloAckKeys OnAuthV2HelloAck(ByteView host_public_key, ByteView transcript_hash, bool directional);
  // A HelloAck that leaves no keys on either side (an auth v2 refusal) or
  // that the tablet refuses: the old keys and the Hello's pair are gone.
  void DropHelloKeys();

  // Installs keys made elsewhere (tests): the key in use and the other
  // order's key (may be empty), with the direction rule. Counters start over.
  void InstallKeys(Bytes in_use, Bytes other, bool directional);

  // ---- envelopes
  // Session keys exist and the tablet seals what it sends.
  bool Sealing() const { return sealing_ && !in_use_.empty(); }
  bool HasKeys() const { return !in_use_.empty(); }
  bool directional() const { return directional_; }
  const Bytes& KeyInUse() const { return in_use_; }
  const Bytes& OtherKey() const { return other_; }
  std::string InUseFingerprint() const { return security::KeyFingerprintOrNone(in_use_); }
  std::string OtherFingerprint() const { return security::KeyFingerprintOrNone(other_); }
  // The counter the next sealed frame will carry.
  uint64_t next_send_counter() const { return send_counter_; }
  // The last host counter accepted; -1 before the first one.
  int64_t last_receive_counter() const { return last_receive_counter_; }

  // "OVD1", 0x01, the next counter, AES-128-GCM under the key in use with the
  // prefix 0x00000001. False without keys or when the cipher fails (the
  // counter is used either way only on success).
  bool Seal(ByteView plaintext, Bytes* frame, uint64_t* counter);
  // One frame from the host; *plaintext receives the ControlMessage bytes of
  // kOpened (and is wiped otherwise).
  OpenResult Open(ByteView frame, Bytes* plaintext);

  // ---- rotation
  // An epoch above every one this tablet used: wall-clock microseconds
  // (since 1601), so that it also lies above the host's own epochs (readings
  // of its monotonic clock), or the last one plus one.
  uint64_t FreshEpoch(IClock& clock) const;
  uint64_t last_epoch() const { return last_epoch_; }
  // A new pair for a KeyRotation of this epoch; false when none can be made.
  // A rotation still pending is replaced.
  bool BeginRotation(uint64_t epoch, Bytes* public_key);
  bool RotationPending() const { return pending_; }
  uint64_t pending_epoch() const { return pending_epoch_; }
  // The host's KeyRotation (opened under the current key): derives the next
  // keys with the current key in use as salt and switches to them.
  RotationStep OnHostRotation(uint64_t epoch, ByteView host_public_key);
  // The host's KeyRotationAck.
  RotationAckStep OnHostRotationAck(uint64_t epoch, bool accepted);

 private:
  void ReplaceKeys(Bytes in_use, Bytes other, bool directional);
  void DropRotation();

  const KeyOrder order_;
  crypto::AesGcm cipher_;
  security::EphemeralKeyPair hello_pair_;
  Bytes in_use_;
  Bytes other_;
  // The host may still send under the other order's key (msb tablets only,
  // until a frame opens under the key in use).
  bool other_accepted_ = false;
  bool directional_ = false;
  bool sealing_ = false;
  uint64_t send_counter_ = 0;
  int64_t last_receive_counter_ = -1;

  security::EphemeralKeyPair rotation_pair_;
  // A KeyRotation of this tablet awaits the host's answer (any epoch, 0
  // included, so that the host's refusal of 0 can be tried).
  bool pending_ = false;
  uint64_t pending_epoch_ = 0;
  // The host's KeyRotation for the pending epoch switched the keys; its ack
  // is awaited.
  bool switched_ = false;
  uint64_t last_epoch_ = 0;
};

}  // namespace orvane::sim
