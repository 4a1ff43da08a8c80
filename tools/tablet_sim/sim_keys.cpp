#include "tools/tablet_sim/sim_keys.h"

#include <cstdint>
#include <utility>

#include "host/security/secure_frame.h"

namespace orvane::sim {
namespace {

// AuthResult numbers after which the host holds no session keys.
constexpr int kAuthResultVersionMismatch = 2;
constexpr int kAuthResultHostBusy = 5;

// Both orders' keys from one ECDH secret; the caller picks by order.
struct BothOrders {
  Bytes lsb;
  Bytes msb;
  ~BothOrders() {
    crypto::SecureWipe(lsb);
    crypto::SecureWipe(msb);
  }
};

void Derive(security::EphemeralKeyPair& pair, ByteView peer, ByteView salt, BothOrders* out) {
  out->lsb = security::DeriveSessionKey(pair.key(), peer, salt, false);
  out->msb = security::DeriveSessionKey(pair.key(), peer, salt, true);
}

}  // namespace

const char* KeyOrderName(KeyOrder order) { return order == KeyOrder::kMsb ? "msb" : "lsb"; }

const char* OpenStatusName(OpenStatus status) {
  switch (status) {
    case OpenStatus::kPlain: return "plain";
    case OpenStatus::kOpened: return "opened";
    case OpenStatus::kNoKey: return "no-key";
    case OpenStatus::kNotEncrypted: return "not-encrypted";
    case OpenStatus::kStale: return "stale";
    case OpenStatus::kFailed: return "failed";
  }
  return "failed";
}

TabletKeys::TabletKeys(KeyOrder order) : order_(order) {}

TabletKeys::~TabletKeys() {
  crypto::SecureWipe(in_use_);
  crypto::SecureWipe(other_);
}

bool TabletKeys::NewHelloPair() {
  hello_pair_.Clear();
  return hello_pair_.Generate();
}

void TabletKeys::HelloSent() {
  sealing_ = false;
  send_counter_ = 0;
  DropRotation();
}

HelloAckKeys TabletKeys::OnHelloAck(int result, ByteView host_public_key, bool directional) {
  // Every HelloAck answers a Hello, and every Hello made the host drop its
  // keys: whatever happens here, the old keys are gone.
  ReplaceKeys({}, {}, false);
  HelloAckKeys outcome = HelloAckKeys::kDerived;
  if (result == kAuthResultVersionMismatch || result == kAuthResultHostBusy) {
    outcome = HelloAckKeys::kHostHasNone;
  } else if (host_public_key.empty()) {
    outcome = HelloAckKeys::kNoHostKey;
  } else if (host_public_key.size() != security::kEphemeralPublicKeyBytes) {
    outcome = HelloAckKeys::kBadHostKey;
  } else if (!hello_pair_.valid()) {
    outcome = HelloAckKeys::kNoPair;
  } else {
    BothOrders keys;
    Derive(hello_pair_, host_public_key, {}, &keys);
    Bytes& in_use = order_ == KeyOrder::kMsb ? keys.msb : keys.lsb;
    Bytes& other = order_ == KeyOrder::kMsb ? keys.lsb : keys.msb;
    if (in_use.empty()) {
      outcome = HelloAckKeys::kDeriveFailed;
    } else {
      ReplaceKeys(std::move(in_use), std::move(other), directional);
    }
  }
  // The pair served its one handshake.
  hello_pair_.Clear();
  return outcome;
}

HelloAckKeys TabletKeys::OnAuthV2HelloAck(ByteView host_public_key, ByteView transcript_hash, bool directional) {
  ReplaceKeys({}, {}, false);
  HelloAckKeys outcome = HelloAckKeys::kDerived;
  if (host_public_key.empty()) {
    outcome = HelloAckKeys::kNoHostKey;
  } else if (host_public_key.size() != security::kEphemeralPublicKeyBytes) {
    outcome = HelloAckKeys::kBadHostKey;
  } else if (!hello_pair_.valid()) {
    outcome = HelloAckKeys::kNoPair;
  } else {
    Bytes key = security::DeriveAuthV2SessionKey(hello_pair_.key(), host_public_key, transcript_hash);
    if (key.empty()) {
      outcome = HelloAckKeys::kDeriveFailed;
    } else {
      ReplaceKeys(std::move(key), {}, directional);
    }
  }
  hello_pair_.Clear();
  return outcome;
}

void TabletKeys::DropHelloKeys() {
  ReplaceKeys({}, {}, false);
  hello_pair_.Clear();
}

void TabletKeys::InstallKeys(Bytes in_use, Bytes other, bool directional) {
  ReplaceKeys(std::move(in_use), std::move(other), directional);
}

void TabletKeys::ReplaceKeys(Bytes in_use, Bytes other, bool directional) {
  crypto::SecureWipe(in_use_);
  crypto::SecureWipe(other_);
  in_use_ = std::move(in_use);
  other_ = std::move(other);
  other_accepted_ = order_ == KeyOrder::kMsb && !other_.empty();
  directional_ = directional;
  sealing_ = !in_use_.empty();
  send_counter_ = 0;
  last_receive_counter_ = -1;
  DropRotation();
}

bool TabletKeys::Seal(ByteView plaintext, Bytes* frame, uint64_t* counter) {
  frame->clear();
  // Counters with the top bit set read as negative, and so stale, on the host.
  if (!Sealing() || send_counter_ > static_cast<uint64_t>(INT64_MAX)) return false;
  *frame = security::SealSecureFrame(cipher_, in_use_, security::kNonceControl, send_counter_, plaintext);
  if (frame->empty()) return false;
  *counter = send_counter_++;
  return true;
}

OpenResult TabletKeys::Open(ByteView frame, Bytes* plaintext) {
  OpenResult result;
  crypto::SecureWipe(*plaintext);
  security::SecureFrameView view;
  // Shorter than a header: a plain frame as far as the envelope goes (the
  // magic cannot start a ControlMessage, so it will not parse either).
  if (!security::ParseSecureFrame(frame, &view)) {
    result.status = OpenStatus::kPlain;
    return result;
  }
  result.counter = view.counter;
  if (!view.encrypted()) {
    result.status = OpenStatus::kNotEncrypted;
    return result;
  }
  if (in_use_.empty()) {
    result.status = OpenStatus::kNoKey;
    return result;
  }
  const int64_t counter = static_cast<int64_t>(view.counter);
  if (counter <= last_receive_counter_) {
    result.status = OpenStatus::kStale;
    return result;
  }
  const uint32_t prefix = directional_ ? security::kNonceControlHostDirectional : security::kNonceControl;
  bool ok = security::OpenAesGcm(cipher_, in_use_, prefix, view.counter, view.payload, plaintext);
  if (ok) {
    other_accepted_ = false;  // the host uses this tablet's order now
  } else if (other_accepted_) {
    ok = security::OpenAesGcm(cipher_, other_, prefix, view.counter, view.payload, plaintext);
    result.other_order = ok;
  }
  if (!ok) {
    result.status = OpenStatus::kFailed;
    return result;
  }
  last_receive_counter_ = counter;
  result.status = OpenStatus::kOpened;
  return result;
}

uint64_t TabletKeys::FreshEpoch(IClock& clock) const {
  const int64_t file_time = clock.FileTimeNow();
  const uint64_t wall_us = file_time > 0 ? static_cast<uint64_t>(file_time) / 10 : 0;
  const uint64_t next = last_epoch_ == UINT64_MAX ? last_epoch_ : last_epoch_ + 1;
  return wall_us > next ? wall_us : next;
}

bool TabletKeys::BeginRotation(uint64_t epoch, Bytes* public_key) {
  DropRotation();
  public_key->clear();
  if (!rotation_pair_.Generate()) return false;
  *public_key = rotation_pair_.public_key();
  pending_ = true;
  pending_epoch_ = epoch;
  switched_ = false;
  if (epoch > last_epoch_) last_epoch_ = epoch;
  return true;
}

RotationStep TabletKeys::OnHostRotation(uint64_t epoch, ByteView host_public_key) {
  if (!pending_ || switched_) return RotationStep::kNotPending;
  if (epoch != pending_epoch_) return RotationStep::kOtherEpoch;
  if (host_public_key.size() != security::kEphemeralPublicKeyBytes) {
    DropRotation();
    return RotationStep::kBadHostKey;
  }
  // The key in use is the salt: the host salts with its active key, which
  // is this tablet's key (promoted, for an msb tablet, by the very frame that
  // carried the KeyRotation).
  BothOrders keys;
  Derive(rotation_pair_, host_public_key, in_use_, &keys);
  rotation_pair_.Clear();
  Bytes& in_use = order_ == KeyOrder::kMsb ? keys.msb : keys.lsb;
  Bytes& other = order_ == KeyOrder::kMsb ? keys.lsb : keys.msb;
  if (in_use.empty()) {
    DropRotation();
    return RotationStep::kDeriveFailed;
  }
  // Counters and the direction rule carry over; only the keys change.
  crypto::SecureWipe(in_use_);
  crypto::SecureWipe(other_);
  in_use_ = std::move(in_use);
  other_ = std::move(other);
  other_accepted_ = order_ == KeyOrder::kMsb && !other_.empty();
  switched_ = true;
  return RotationStep::kSwitched;
}

RotationAckStep TabletKeys::OnHostRotationAck(uint64_t epoch, bool accepted) {
  if (!pending_ || epoch != pending_epoch_) return RotationAckStep::kUnexpected;
  const bool switched = switched_;
  DropRotation();
  if (!switched) return RotationAckStep::kKeptKey;
  return accepted ? RotationAckStep::kConfirmed : RotationAckStep::kUnexpected;
}

void TabletKeys::DropRotation() {
  rotation_pair_.Clear();
  pending_ = false;
  pending_epoch_ = 0;
  switched_ = false;
}

}  // namespace orvane::sim
