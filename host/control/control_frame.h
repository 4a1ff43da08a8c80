#pragma once
// The receiving side of the control channel's frame envelope: every control
// frame a session receives goes through OpenControlFrame before the protocol
// handler sees it.
//
// A frame is either a plain serialised ControlMessage (what a tablet sends
// until the key agreement has given the connection a session key) or a
// secure frame that starts with the magic "OVD1". No valid ControlMessage can
// start with that magic ('O' would be field 9 with the unused wire type 7),
// so the first four bytes tell the two apart.
//
// Before the key agreement plain frames pass through; once the connection is
// authenticated they are refused. Secure frames are opened with the active
// key, then the compatibility key (promoting it when it fits), then the key
// before the last rotation while it may still be in use. Counters must rise
// strictly; repeated failures ask the tablet to rekey.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/printf_check.h"
#include "host/common/rate_limiter.h"
#include "host/security/control_key_state.h"
#include "host/security/crypto.h"

namespace orvane {

enum class ControlFrameVerdict {
  kPlaintext,  // dispatch as not encrypted
  kEncrypted,  // dispatch as encrypted (opened from a secure frame)
  kDrop,       // never reaches the protocol handler
};

struct OpenedControlFrame {
  ControlFrameVerdict verdict = ControlFrameVerdict::kDrop;
  // The plaintext ControlMessage bytes; valid while the received frame and
  // the opener are left unchanged.
  const uint8_t* data = nullptr;
  size_t length = 0;
  // The compatibility key opened this frame and is now the active key: the
  // session hands it to its UDP channels.
  bool promoted = false;
};

// True when the bytes start with the secure frame's magic.
bool IsSecureFrame(const uint8_t* data, size_t length);

// Opens the control frames of one slot's connections; used only by the
// slot's control receive thread.
class ControlFrameOpener {
 public:
  static constexpr uint64_t kDropWarningIntervalMs = 1000;
  // RekeyRequired on every sixth failure in a row, at most once per 1.5 s.
  static constexpr uint64_t kRekeyFailureStep = 6;
  static constexpr uint64_t kRekeyIntervalUs = 1'500'000;

  // Sends RekeyRequired (reason = the failure class, server_epoch = host
  // clock in microseconds).
  using RekeySender = std::function<void(const char* reason, uint64_t server_epoch)>;

  ControlFrameOpener(security::ControlKeyState& keys, IClock& clock = SystemClock());

  void SetRekeySender(RekeySender sender) { rekey_sender_ = std::move(sender); }

  // authenticated: the connection has completed authentication (raw frames
  // are refused from then on).
  OpenedControlFrame OpenControlFrame(const uint8_t* frame, size_t length, bool authenticated);
  // Called when a connection ends: the next one starts with fresh state.
  void Reset();

  // Diagnostics (tests).
  int64_t LastAcceptedCounter() const { return last_counter_; }
  uint64_t FailureStreak() const { return failure_streak_; }
  uint64_t DroppedWithoutKey() const { return dropped_without_key_; }
  uint64_t DroppedStale() const { return dropped_stale_; }

 private:
  // The counter and the failure streak start over whenever the keys were
  // reset (every Hello): a frame under an old key cannot open under the new
  // one, so replay protection does not depend on the old counter.
  void FollowKeyReset();
  void DropLine(const char* format, ...) ORVANE_PRINTF(2, 3);
  void Failed(const security::ReceiveKeys& keys, int64_t counter, size_t payload_length,
              crypto::ByteView payload);

  security::ControlKeyState& keys_;
  IClock& clock_;
  RekeySender rekey_sender_;
  crypto::AesGcm cipher_;  // this thread's own context
  std::vector<uint8_t> plaintext_;

  uint64_t key_generation_ = 0;
  int64_t last_counter_ = -1;
  uint64_t failure_streak_ = 0;
  uint64_t dropped_without_key_ = 0;
  uint64_t dropped_stale_ = 0;
  bool rekey_sent_ = false;
  uint64_t last_rekey_us_ = 0;
  RateLimiter drop_warnings_{kDropWarningIntervalMs};
};

// For the control server's reconnect detection: true and the client_id when
// the payload is a plain ControlMessage carrying a Hello with a non-empty
// client_id.
bool PeekHelloClientId(const uint8_t* payload, size_t length, std::string* client_id);

}  // namespace orvane
