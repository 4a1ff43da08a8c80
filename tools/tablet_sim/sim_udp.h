#pragma once
// The tablet's side of the two UDP channels' envelopes.
//
// Both channels use one key: the control session key the host held at the
// moment the tablet was authenticated, or at the host's last promotion of its
// compatibility key. A later key rotation does not change it. HostUdpKey
// follows that rule from what the tablet knows: an msb tablet (auth v1)
// makes the host promote with its first sealed control frame after every new
// set of keys, and the host re-installs the UDP keys then.
//
// Media (host -> tablet) is sealed with nonce prefix 2 under a counter that
// rises with every datagram and starts over only with a new key; MediaOpener
// opens it with a replay window per key and keeps the previous key for the
// datagrams still in flight when the key changes. Input (tablet -> host) is
// sealed with prefix 3 by InputSealer under a counter that only rises.
//
// Not synchronised: the owner holds its lock.

#include <cstddef>
#include <cstdint>

#include "host/security/crypto.h"
#include "host/security/secure_frame.h"
#include "tools/tablet_sim/sim_keys.h"

namespace orvane::sim {

// The media punch: sent on the input channel from the tablet's media socket,
// it tells the host where to send the media.
inline constexpr uint8_t kMediaPunch[6] = {'O', 'V', 'D', 'M', 'P', '1'};

// Which key the host holds for the UDP channels.
class HostUdpKey {
 public:
  HostUdpKey() = default;
  ~HostUdpKey();
  HostUdpKey(const HostUdpKey&) = delete;
  HostUdpKey& operator=(const HostUdpKey&) = delete;

  // The host authenticated the tablet: it installs its active key of this
  // moment, which for an msb tablet of auth v1 is the tablet's other key
  // (the host's active key is the lsb one until it promotes).
  void OnAuthenticated(const TabletKeys& keys);
  // The tablet sealed a control frame under the key in use. True when this
  // makes the host promote its compatibility key and so change the UDP key.
  bool OnSealedFrame(const TabletKeys& keys);
  // A key rotation switched the control keys: the UDP key stays, but an msb
  // tablet's next sealed frame makes the host promote again.
  void OnRotation(const TabletKeys& keys);
  // A new Hello: the host drops every key.
  void Clear();

  bool has_key() const { return !key_.empty(); }
  const crypto::Bytes& key() const { return key_; }
  // Counts every change of the key (0 before the first).
  uint64_t generation() const { return generation_; }

 private:
  void Set(const crypto::Bytes& key);

  crypto::Bytes key_;
  bool promotion_pending_ = false;
  uint64_t generation_ = 0;
};

// What became of one media datagram.
enum class MediaOpenStatus : int {
  kOpened = 0,
  kNoKey = 1,        // no UDP key yet
  kNotSecure = 2,    // not a secure frame, or the encrypted flag is clear
  kFailed = 3,       // the tag verified under neither key
  kReplayed = 4,     // the counter was accepted before or is too old
};
// "opened", "no-key", "not-secure", "failed", "replayed".
const char* MediaOpenStatusName(MediaOpenStatus status);

class MediaOpener {
 public:
  MediaOpener() = default;
  ~MediaOpener();
  MediaOpener(const MediaOpener&) = delete;
  MediaOpener& operator=(const MediaOpener&) = delete;

  // A new UDP key: the current one becomes the previous one (both with their
  // replay windows). The same key again changes nothing; an empty key forgets
  // both.
  void SetKey(crypto::ByteView key);
  bool has_key() const { return !current_.key.empty(); }

  // *plaintext holds the media datagram on kOpened; *counter the envelope's
  // counter once the envelope parsed.
  MediaOpenStatus Open(crypto::ByteView datagram, crypto::Bytes* plaintext, uint64_t* counter);

 private:
  struct KeyWindow {
    crypto::Bytes key;
    security::ReplayWindow window;
    crypto::AesGcm aes;  // one context per key keeps its schedule
    void Forget();
  };

  KeyWindow current_;
  KeyWindow previous_;
};

class InputSealer {
 public:
  InputSealer() = default;
  ~InputSealer();
  InputSealer(const InputSealer&) = delete;
  InputSealer& operator=(const InputSealer&) = delete;

  // The counter keeps rising across keys: the host empties its replay window
  // with every new key, so any rising counter is accepted.
  void SetKey(crypto::ByteView key);
  bool has_key() const { return !key_.empty(); }
  // The counter the next datagram will carry.
  uint64_t next_counter() const { return counter_; }

  // "OVD1", 0x01, the next counter, AES-128-GCM with prefix 3. False (no
  // counter used) without a key or when the cipher fails.
  bool Seal(crypto::ByteView plaintext, crypto::Bytes* datagram, uint64_t* counter);

 private:
  crypto::Bytes key_;
  crypto::AesGcm aes_;
  uint64_t counter_ = 0;
};

}  // namespace orvane::sim
