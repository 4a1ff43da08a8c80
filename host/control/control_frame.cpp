#include "host/control/control_frame.h"

#include <climits>
#include <cstdarg>
#include <cstring>

#include "host/common/logger.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane {

bool IsSecureFrame(const uint8_t* data, size_t length) {
  return data != nullptr && security::HasSecureFrameMagic(crypto::ByteView(data, length));
}

namespace {
unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }
long long S(int64_t value) { return static_cast<long long>(value); }
unsigned PayloadLength(size_t length) { return length > UINT_MAX ? UINT_MAX : static_cast<unsigned>(length); }
}  // namespace

ControlFrameOpener::ControlFrameOpener(security::ControlKeyState& keys, IClock& clock)
    : keys_(keys), clock_(clock), key_generation_(keys.ResetGeneration()) {}

void ControlFrameOpener::FollowKeyReset() {
  const uint64_t generation = keys_.ResetGeneration();
  if (generation == key_generation_) return;
  key_generation_ = generation;
  last_counter_ = -1;
  failure_streak_ = 0;
}

void ControlFrameOpener::DropLine(const char* format, ...) {
  if (!drop_warnings_.Allow(clock_.TickMs())) return;
  va_list args;
  va_start(args, format);
  Logger::Instance().VLog(LogLevel::kWarn, format, args);
  va_end(args);
}

OpenedControlFrame ControlFrameOpener::OpenControlFrame(const uint8_t* frame, size_t length, bool authenticated) {
  OpenedControlFrame opened;
  FollowKeyReset();
  const crypto::ByteView bytes(frame, frame == nullptr ? 0 : length);
  security::SecureFrameView view;
  if (!security::ParseSecureFrame(bytes, &view)) {
    if (authenticated) {
      LogWarn("[Protocol] Dropping raw control frame after authentication");
      return opened;
    }
    opened.verdict = ControlFrameVerdict::kPlaintext;
    opened.data = frame;
    opened.length = length;
    return opened;
  }
  if (!view.encrypted()) {
    LogWarn("[Protocol] Dropping plaintext secure-frame wrapper");
    return opened;
  }
  const int64_t counter = static_cast<int64_t>(view.counter);
  const unsigned payload_length = PayloadLength(view.payload.size());
  security::ReceiveKeys keys = keys_.ReceiveCandidates();
  if (keys.active.empty()) {
    ++dropped_without_key_;
    DropLine("[Protocol] Dropping encrypted control frame before session key is ready (count=%llu, ctr=%lld, "
             "payload=%u)",
             U(dropped_without_key_), S(counter), payload_length);
    return opened;
  }
  // A counter with the top bit set is negative here and therefore stale.
  if (counter <= last_counter_) {
    ++dropped_stale_;
    DropLine("[Protocol] Dropping replayed/stale secure control frame (count=%llu, ctr=%lld, last_ctr=%lld, "
             "key_state=%s)",
             U(dropped_stale_), S(counter), S(last_counter_), keys_.StateName());
    return opened;
  }

  bool ok = security::OpenAesGcm(cipher_, keys.active, security::kNonceControl, view.counter, view.payload,
                                 &plaintext_);
  if (ok) {
    if (!keys.previous.empty()) keys_.ForgetPreviousKey();
  } else if (!keys.compat.empty()) {
    ok = security::OpenAesGcm(cipher_, keys.compat, security::kNonceControl, view.counter, view.payload,
                              &plaintext_);
    if (ok) {
      LogWarn("[Protocol] Decrypted control frame with compatibility session key (ctr=%lld, payload=%u, "
              "compat_key_fp=%s)",
              S(counter), payload_length, security::KeyFingerprint(keys.compat).c_str());
      opened.promoted = keys_.PromoteCompatKey();
    }
  }
  if (!ok && !keys.previous.empty()) {
    // Sent before the tablet saw the host's rotation answer.
    ok = security::OpenAesGcm(cipher_, keys.previous, security::kNonceControl, view.counter, view.payload,
                              &plaintext_);
  }
  if (!ok) {
    Failed(keys, counter, view.payload.size(), view.payload);
    return opened;
  }
  last_counter_ = counter;
  failure_streak_ = 0;
  opened.verdict = ControlFrameVerdict::kEncrypted;
  opened.data = plaintext_.data();
  opened.length = plaintext_.size();
  return opened;
}

void ControlFrameOpener::Failed(const security::ReceiveKeys& keys, int64_t counter, size_t payload_length,
                                crypto::ByteView payload) {
  ++failure_streak_;
  // The promoted flag is tested before the key: a promotion empties the
  // compatibility key.
  const char* failure_class = keys_.PendingEpoch() != 0 ? "epoch-mismatch"
                              : keys.compat_promoted    ? "compat-exhausted"
                                                        : "auth-failed";
  DropLine("[Protocol] Failed to decrypt secure control frame (class=%s count=%llu, ctr=%lld, payload=%u, "
           "key_len=%zu, key_fp=%s, payload_prefix=%s, key_state=%s compat_promotions=%llu)",
           failure_class, U(failure_streak_), S(counter), PayloadLength(payload_length), keys.active.size(),
           security::KeyFingerprintOrNone(keys.active).c_str(), security::HexPrefix(payload, 4).c_str(),
           keys_.StateName(), U(keys_.CompatPromotions()));
  if (failure_streak_ % kRekeyFailureStep != 0) return;
  const int64_t now_signed = clock_.NowUs();
  const uint64_t now = now_signed > 0 ? static_cast<uint64_t>(now_signed) : 0;
  if (rekey_sent_ && now - last_rekey_us_ <= kRekeyIntervalUs) return;
  rekey_sent_ = true;
  last_rekey_us_ = now;
  if (rekey_sender_) rekey_sender_(failure_class, now);
}

void ControlFrameOpener::Reset() {
  drop_warnings_.Reset();
  key_generation_ = keys_.ResetGeneration();
  last_counter_ = -1;
  failure_streak_ = 0;
  dropped_without_key_ = 0;
  dropped_stale_ = 0;
  rekey_sent_ = false;
  last_rekey_us_ = 0;
  crypto::SecureWipe(plaintext_);
}

bool PeekHelloClientId(const uint8_t* payload, size_t length, std::string* client_id) {
  if (payload == nullptr || client_id == nullptr || IsSecureFrame(payload, length)) return false;
  if (length > static_cast<size_t>(INT32_MAX)) return false;
  protocol::v1::ControlMessage message;
  if (!message.ParseFromArray(payload, static_cast<int>(length))) return false;
  if (!message.has_hello() || message.hello().client_id().empty()) return false;
  *client_id = message.hello().client_id();
  return true;
}

}  // namespace orvane
