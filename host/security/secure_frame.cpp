#include "host/security/secure_frame.h"

#include <cstring>

#include "host/common/byte_order.h"

namespace orvane::security {

Nonce BuildNonce(uint32_t prefix, uint64_t counter) {
  Nonce nonce{};
  StoreBe32(nonce.data(), prefix);
  StoreBe64(nonce.data() + 4, counter);
  return nonce;
}

Bytes SealAesGcm(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView plaintext) {
  if (key.size() < kEnvelopeKeyBytes) return {};
  // SetKey keeps the schedule when the bytes are the ones already set.
  if (!context.SetKey(key.first(kEnvelopeKeyBytes))) return {};
  const Nonce nonce = BuildNonce(prefix, counter);
  return context.Seal(nonce, plaintext);
}

bool OpenAesGcm(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView sealed,
                Bytes* plaintext) {
  plaintext->clear();
  if (key.size() < kEnvelopeKeyBytes || sealed.size() < crypto::kAesGcmTagBytes) return false;
  if (!context.SetKey(key.first(kEnvelopeKeyBytes))) return false;
  const Nonce nonce = BuildNonce(prefix, counter);
  return context.Open(nonce, sealed, plaintext);
}

Bytes SealSecureFrame(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView plaintext) {
  Bytes frame;
  if (!SealSecureFrameInto(context, key, prefix, counter, plaintext, &frame)) return {};
  return frame;
}

bool SealSecureFrameInto(crypto::AesGcm& context, ByteView key, uint32_t prefix, uint64_t counter, ByteView plaintext,
                         Bytes* frame) {
  frame->clear();
  if (key.size() < kEnvelopeKeyBytes || plaintext.size() > crypto::kAesGcmMaxInputBytes) return false;
  if (!context.SetKey(key.first(kEnvelopeKeyBytes))) return false;
  frame->resize(kSecureFrameHeaderBytes + plaintext.size() + crypto::kAesGcmTagBytes);
  std::memcpy(frame->data(), kSecureFrameMagic, sizeof(kSecureFrameMagic));
  (*frame)[4] = kSecureFrameEncryptedFlag;
  StoreBe64(frame->data() + 5, counter);
  const Nonce nonce = BuildNonce(prefix, counter);
  if (!context.SealInto(nonce, plaintext, frame->data() + kSecureFrameHeaderBytes)) {
    frame->clear();
    return false;
  }
  return true;
}

bool HasSecureFrameMagic(ByteView bytes) {
  return bytes.size() >= sizeof(kSecureFrameMagic) &&
         std::memcmp(bytes.data(), kSecureFrameMagic, sizeof(kSecureFrameMagic)) == 0;
}

bool ParseSecureFrame(ByteView frame, SecureFrameView* out) {
  if (frame.size() < kSecureFrameHeaderBytes || !HasSecureFrameMagic(frame)) return false;
  out->flags = frame[4];
  out->counter = LoadBe64(frame.data() + 5);
  out->payload = frame.subspan(kSecureFrameHeaderBytes);
  return true;
}

bool ReplayWindow::WouldAccept(uint64_t counter) const {
  if (!seen_ || counter > highest_) return true;
  const uint64_t behind = highest_ - counter;
  if (behind >= kWidth) return false;
  return (mask_ & (uint64_t{1} << behind)) == 0;
}

bool ReplayWindow::Accept(uint64_t counter) {
  if (!seen_) {
    highest_ = counter;
    mask_ = 1;
    seen_ = true;
    return true;
  }
  if (counter > highest_) {
    const uint64_t ahead = counter - highest_;
    mask_ = ahead < kWidth ? ((mask_ << ahead) | 1) : 1;
    highest_ = counter;
    return true;
  }
  const uint64_t behind = highest_ - counter;
  if (behind >= kWidth) return false;
  const uint64_t bit = uint64_t{1} << behind;
  if ((mask_ & bit) != 0) return false;
  mask_ |= bit;
  return true;
}

void ReplayWindow::Reset() {
  highest_ = 0;
  mask_ = 0;
  seen_ = false;
}

}  // namespace orvane::security
