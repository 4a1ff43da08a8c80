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
// This stage of the host has no session keys yet: a secure frame cannot be
// opened and is dropped (the connection stays open), and plain frames pass
// through unchanged. Opening secure frames, the replay rule and the
// rekey-on-repeated-failure logic belong in ControlFrameOpener when the key
// state exists.

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/common/clock.h"
#include "host/common/rate_limiter.h"

namespace orvane {

// The secure frame's magic, the first four bytes of an envelope.
inline constexpr char kSecureFrameMagic[4] = {'O', 'V', 'D', '1'};

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
};

// True when the bytes start with the secure frame's magic.
bool IsSecureFrame(const uint8_t* data, size_t length);

// Opens the control frames of one slot's connections; used only by the
// slot's control receive thread.
class ControlFrameOpener {
 public:
  static constexpr uint64_t kDropWarningIntervalMs = 1000;

  explicit ControlFrameOpener(IClock& clock = SystemClock()) : clock_(clock) {}

  OpenedControlFrame OpenControlFrame(const uint8_t* frame, size_t length);
  // Called when a connection ends: the next one starts with fresh state.
  void Reset();

 private:
  IClock& clock_;
  RateLimiter drop_warnings_{kDropWarningIntervalMs};
};

// For the control server's reconnect detection: true and the client_id when
// the payload is a plain ControlMessage carrying a Hello with a non-empty
// client_id.
bool PeekHelloClientId(const uint8_t* payload, size_t length, std::string* client_id);

}  // namespace orvane
