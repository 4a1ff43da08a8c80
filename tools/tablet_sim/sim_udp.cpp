#include "tools/tablet_sim/sim_udp.h"

#include <algorithm>
#include <cstdint>

namespace orvane::sim {

// ------------------------------------------------------------- HostUdpKey

HostUdpKey::~HostUdpKey() { crypto::SecureWipe(key_); }

void HostUdpKey::Set(const crypto::Bytes& key) {
  if (key == key_) return;
  crypto::SecureWipe(key_);
  key_ = key;
  ++generation_;
}

void HostUdpKey::OnAuthenticated(const TabletKeys& keys) {
  // Until an msb tablet's first sealed frame the host's active key is the
  // lsb one, which this tablet holds as its other key.
  const bool msb_with_compat = keys.order() == KeyOrder::kMsb && !keys.OtherKey().empty();
  Set(msb_with_compat ? keys.OtherKey() : keys.KeyInUse());
  promotion_pending_ = msb_with_compat;
}

bool HostUdpKey::OnSealedFrame(const TabletKeys& keys) {
  if (!promotion_pending_) return false;
  promotion_pending_ = false;
  const uint64_t before = generation_;
  Set(keys.KeyInUse());
  return generation_ != before;
}

void HostUdpKey::OnRotation(const TabletKeys& keys) {
  // The host derives a fresh compatibility key with every rotation and
  // promotes it when the tablet's next frame opens only under it.
  promotion_pending_ = keys.order() == KeyOrder::kMsb && !keys.OtherKey().empty() && !key_.empty();
}

void HostUdpKey::Clear() {
  if (!key_.empty()) {
    crypto::SecureWipe(key_);
    ++generation_;
  }
  promotion_pending_ = false;
}

// ------------------------------------------------------------ MediaOpener

const char* MediaOpenStatusName(MediaOpenStatus status) {
  switch (status) {
    case MediaOpenStatus::kOpened: return "opened";
    case MediaOpenStatus::kNoKey: return "no-key";
    case MediaOpenStatus::kNotSecure: return "not-secure";
    case MediaOpenStatus::kFailed: return "failed";
    case MediaOpenStatus::kReplayed: return "replayed";
  }
  return "failed";
}

void MediaOpener::KeyWindow::Forget() {
  crypto::SecureWipe(key);
  window.Reset();
  aes.ClearKey();
}

MediaOpener::~MediaOpener() {
  current_.Forget();
  previous_.Forget();
}

void MediaOpener::SetKey(crypto::ByteView key) {
  if (key.empty()) {
    current_.Forget();
    previous_.Forget();
    return;
  }
  if (std::equal(key.begin(), key.end(), current_.key.begin(), current_.key.end())) return;
  // The previous key keeps its window: datagrams sealed under it may still
  // be on their way.
  previous_.Forget();
  std::swap(previous_.key, current_.key);
  std::swap(previous_.window, current_.window);
  current_.key.assign(key.begin(), key.end());
  current_.window.Reset();
}

MediaOpenStatus MediaOpener::Open(crypto::ByteView datagram, crypto::Bytes* plaintext, uint64_t* counter) {
  crypto::SecureWipe(*plaintext);
  security::SecureFrameView view;
  if (!security::ParseSecureFrame(datagram, &view) || !view.encrypted()) return MediaOpenStatus::kNotSecure;
  *counter = view.counter;
  if (current_.key.empty()) return MediaOpenStatus::kNoKey;
  for (KeyWindow* k : {&current_, &previous_}) {
    if (k->key.empty()) continue;
    if (!security::OpenAesGcm(k->aes, k->key, security::kNonceMedia, view.counter, view.payload, plaintext)) continue;
    // The counter enters the window only after the tag verified, so forged
    // datagrams cannot move it.
    if (k->window.Accept(view.counter)) return MediaOpenStatus::kOpened;
    crypto::SecureWipe(*plaintext);
    return MediaOpenStatus::kReplayed;
  }
  return MediaOpenStatus::kFailed;
}

// ------------------------------------------------------------ InputSealer

InputSealer::~InputSealer() { crypto::SecureWipe(key_); }

void InputSealer::SetKey(crypto::ByteView key) {
  crypto::SecureWipe(key_);
  key_.assign(key.begin(), key.end());
  if (key_.empty()) aes_.ClearKey();
}

bool InputSealer::Seal(crypto::ByteView plaintext, crypto::Bytes* datagram, uint64_t* counter) {
  datagram->clear();
  // The host drops counters with the top bit set.
  if (key_.empty() || counter_ > static_cast<uint64_t>(INT64_MAX)) return false;
  *datagram = security::SealSecureFrame(aes_, key_, security::kNonceInput, counter_, plaintext);
  if (datagram->empty()) return false;
  *counter = counter_++;
  return true;
}

}  // namespace orvane::sim
