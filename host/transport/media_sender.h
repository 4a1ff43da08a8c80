#pragma once
// The session's media socket: one unconnected IPv4 UDP socket that sends
// video, parity and audio to the tablet's address and media port.
//
// Every datagram leaves in the secure frame envelope ("OVD1", flags 0x01,
// the 64-bit media counter, AES-128-GCM ciphertext and tag) under the media
// key, with nonce prefix 2. Nothing is ever sent in plain: without a key or
// without a destination a datagram is refused and nothing leaves. Disable()
// drops the destination and the key, so after it nothing leaves until both
// are configured again.
//
// Nonce safety: the counter of a key is never handed out twice. The sender
// remembers the SHA-256 digests of the last few cipher keys it was given
// together with the counter each one reached; installing one of those keys
// again (after Disable, ClearMediaKey, or another key in between) continues
// from where it stopped. A key it has not seen starts at counter 0.
//
// One send lock covers the key, the counter and sendto, so counters leave in
// the order they were taken. The sender owns its AES-GCM context; the key
// schedule is made once per key.
//
// Results: every operation returns bool and records LastResult():
//   code 1 "UDP sender socket() failed"      (CreateSocket; hr from the Winsock error)
//   code 1 "Invalid UDP remote address"      (SetRemote)
//   code 2 "UDP remote is not configured"    (SendDatagram without socket or destination)
//   code 2 "sendto() failed for encrypted UDP payload" (hr from the Winsock error)
//   code 7 "No media key installed: datagram not sent"
//   code 7 "Failed to encrypt UDP payload"
//   code 7 "Media key must be at least 16 bytes" / "Media key could not be installed" (SetMediaKey)

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/net.h"
#include "host/common/rate_limiter.h"
#include "host/security/crypto.h"
#include "host/security/secure_frame.h"

namespace orvane {

// Send buffer of the media socket: 8 MiB absorbs what the pacer lets through.
inline constexpr int kMediaSendBufferBytes = 8 * 1024 * 1024;
// How many recently installed media keys keep their counter.
inline constexpr size_t kRememberedMediaKeys = 4;
// Send-path warnings (refusals, encryption and sendto failures): at most one
// line per interval, with the number suppressed.
inline constexpr uint64_t kMediaSendLogIntervalMs = 1000;

class MediaSender {
 public:
  explicit MediaSender(IClock& clock = SystemClock());
  ~MediaSender();
  MediaSender(const MediaSender&) = delete;
  MediaSender& operator=(const MediaSender&) = delete;

  // Opens the IPv4 UDP socket (an open one is kept). False and LastResult()
  // on failure.
  bool CreateSocket();
  // The tablet's dotted IPv4 address and media port. An address that does not
  // parse, or port 0, is refused and clears any previous destination.
  bool SetRemote(const std::string& ipv4, uint16_t port);
  // Clears the key and the destination; nothing is sent afterwards. The
  // socket stays open for the next tablet, and the remembered counters stay.
  void Disable();
  // True while the socket is open and a destination is configured.
  bool Enabled() const;
  // The configured destination; false when there is none.
  bool Remote(net::Endpoint* out) const;
  // Closes the socket; the destination and the key are cleared as well.
  void CloseSocket();

  // Installs the media key: a copy of its first 16 bytes (the AES-128 cipher
  // key) is kept. A key shorter than 16 bytes is refused and leaves no key
  // installed. The counter continues where this cipher key stopped when it is
  // one of the remembered ones, else it starts at 0.
  bool SetMediaKey(crypto::ByteView key);
  // Wipes the key; its counter is remembered.
  void ClearMediaKey();
  bool HasMediaKey() const;

  // The envelope of one datagram under the current key and the next counter
  // (taken under the send lock). False, and *out empty, without a key or when
  // encryption fails.
  bool SealMediaDatagram(crypto::ByteView datagram, crypto::Bytes* out);
  // Seals and sends one datagram to the destination, under one lock. Refused
  // (nothing sent) without socket, destination or key.
  bool SendDatagram(const uint8_t* data, size_t length);

  HostResult LastResult() const;

 private:
  // The digest of a cipher key and the next counter to use with it.
  struct KeyCounter {
    crypto::Digest digest{};
    uint64_t next_counter = 0;
    bool valid = false;
  };

  bool SealLocked(crypto::ByteView datagram, crypto::Bytes* out, HostResult* failure);
  void SetResult(HostResult result);
  void ClearKeysLocked();
  void LogSendProblem(const char* what, int error);

  IClock& clock_;

  mutable std::mutex send_mu_;  // socket, destination, key, counters, cipher context
  net::Socket socket_ = net::kInvalidSocket;
  net::Endpoint remote_;
  bool remote_configured_ = false;
  std::array<uint8_t, security::kEnvelopeKeyBytes> key_{};
  bool has_key_ = false;
  // [0] is the installed key (or the last one installed); the others are
  // older keys, most recent first.
  std::array<KeyCounter, kRememberedMediaKeys> keys_seen_{};
  crypto::AesGcm aes_;

  RateLimiter send_log_{kMediaSendLogIntervalMs};

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
