#pragma once
// The session's media socket: one unconnected IPv4 UDP socket that sends
// video, parity and audio to the tablet's address and media port.
//
// Video access units are cut into fragments of at most 1200 payload bytes,
// each with a 20-byte header (media_packet.h). Every fragment is kept for
// 800 ms so that the tablet can ask for it again (Retransmit), and groups of
// fragments are followed by an XOR parity packet (fec_group.h). Video and
// parity are paced (pacer.h); audio and resends are counted by the pacer but
// never wait. Pacing sleeps happen outside every lock, through the injected
// IPreciseSleeper.
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
// Stream state: the resend history and the running FEC group hold the
// screen's content. They are emptied when the keys are cleared (Disable,
// ClearMediaKey, CloseSocket) so that the next tablet of this slot can never
// have the previous one's fragments sent to it, by a resend or inside a
// parity packet. Installing a key where there was none empties them too, so
// nothing built while no key was installed goes out under it. Installing a
// new key over an existing one (a compatibility promotion) keeps them: the
// stream goes on.
//
// A fragment whose send fails has still used its sequence number: it is kept
// in the history and offered to FEC like any other, so a later resend or the
// group's parity can still deliver it. The rest of its access unit is not
// sent.
//
// Locks: send lock (socket, destination, keys, counters, the sink), pacing
// lock, history lock, FEC lock, result lock; never two at once. The client
// fragment limit, the loss and the encrypted flag are atomics.
//
// Results: every operation returns bool and records LastResult():
//   code 1 "UDP sender socket() failed"      (CreateSocket; hr from the Winsock error)
//   code 1 "Invalid UDP remote address"      (SetRemote)
//   code 2 "UDP remote is not configured"    (no socket or destination)
//   code 2 "Media stream was reset: datagram not sent" (the keys were cleared or
//          ResetStreamState ran while a frame or resend was on its way)
//   code 2 "sendto() failed for encrypted UDP payload" (hr from the Winsock error)
//   code 2 "Video frame exceeds the client's fragment limit"
//   code 2 "Audio packet exceeds UDP MTU-safe payload"
//   code 7 "Video frame payload is empty"
//   code 7 "No media key installed: datagram not sent"
//   code 7 "Failed to encrypt UDP payload"
//   code 7 "Media key must be at least 16 bytes" / "Media key could not be installed" (SetMediaKey)
// Retransmit of a fragment that is no longer held returns false and leaves
// LastResult() as it was: that is not a failure of the sender.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/net.h"
#include "host/common/precise_sleep.h"
#include "host/common/rate_limiter.h"
#include "host/security/crypto.h"
#include "host/security/secure_frame.h"
#include "host/transport/fec_group.h"
#include "host/transport/pacer.h"
#include "host/transport/retransmit_history.h"

namespace orvane {

// Send buffer of the media socket: 8 MiB absorbs what the pacer lets through.
inline constexpr int kMediaSendBufferBytes = 8 * 1024 * 1024;
// How many recently installed media keys keep their counter.
inline constexpr size_t kRememberedMediaKeys = 4;
// Send-path warnings (refusals, encryption and sendto failures): at most one
// line per interval, with the number suppressed.
inline constexpr uint64_t kMediaSendLogIntervalMs = 1000;

// Where sealed datagrams go. Called under the sender's send lock, so
// datagrams arrive in counter order. Returns 0 when the datagram left whole,
// else a Winsock error.
class IDatagramSink {
 public:
  virtual ~IDatagramSink() = default;
  virtual int SendTo(net::Socket socket, const net::Endpoint& to, const uint8_t* data, size_t length) = 0;
};

// The real sink: one sendto on the socket. A short count is kWsaEMsgSize.
IDatagramSink& SocketDatagramSink();

class MediaSender {
 public:
  explicit MediaSender(IClock& clock = SystemClock(), IPreciseSleeper& sleeper = SystemPreciseSleeper(),
                       IDatagramSink& sink = SocketDatagramSink());
  ~MediaSender();
  MediaSender(const MediaSender&) = delete;
  MediaSender& operator=(const MediaSender&) = delete;

  // Opens the IPv4 UDP socket (an open one is kept). False and LastResult()
  // on failure.
  bool CreateSocket();
  // The tablet's dotted IPv4 address and media port. An address that does not
  // parse, or port 0, is refused and clears any previous destination.
  bool SetRemote(const std::string& ipv4, uint16_t port);
  // Clears the key, the destination and the stream state; nothing is sent
  // afterwards. The socket stays open for the next tablet, and the remembered
  // counters stay.
  void Disable();
  // True while the socket is open and a destination is configured.
  bool Enabled() const;
  // The configured destination; false when there is none.
  bool Remote(net::Endpoint* out) const;
  // Closes the socket; the destination, the key and the stream state are
  // cleared as well.
  void CloseSocket();

  // Installs the media key: a copy of its first 16 bytes (the AES-128 cipher
  // key) is kept. A key shorter than 16 bytes is refused and leaves no key
  // installed. The counter continues where this cipher key stopped when it is
  // one of the remembered ones, else it starts at 0. Over an installed key
  // the stream state stays; without one it starts empty.
  bool SetMediaKey(crypto::ByteView key);
  // Wipes the key (its counter is remembered) and clears the stream state.
  void ClearMediaKey();
  bool HasMediaKey() const;
  // Empties the resend history and the running FEC group; a frame being sent
  // on another thread stops at its next fragment.
  void ResetStreamState();

  // The envelope of one datagram under the current key and the next counter
  // (taken under the send lock). False, and *out empty, without a key or when
  // encryption fails.
  bool SealMediaDatagram(crypto::ByteView datagram, crypto::Bytes* out);
  // Seals and sends one datagram to the destination, unpaced and unrecorded.
  // Refused (nothing sent) without socket, destination or key.
  bool SendDatagram(const uint8_t* data, size_t length);

  // Sends one access unit as fragments, paced, with parity. Each fragment
  // takes next_video_seq and increments it (wrapping at 2^32); a refused
  // access unit leaves it unchanged. keyframe sets flag bit 0 on fragment 0;
  // second_flag sets bit 1 on every fragment. False when any fragment or
  // parity packet could not be sent; the fragments after it are not sent.
  bool SendVideoFrame(uint32_t& next_video_seq, uint64_t timestamp_us, bool keyframe, bool second_flag,
                      const uint8_t* data, size_t length);
  // Sends one audio packet (at most 1200 bytes), unpaced and unrecorded.
  bool SendAudioPacket(uint32_t sequence, uint64_t timestamp, uint8_t duration_ms, const uint8_t* data,
                       size_t length);
  // Sends a stored video datagram again, unpaced, in a new envelope. True
  // only when it was held (at most 800 ms old) and the send succeeded.
  bool Retransmit(uint32_t sequence);

  // The video bitrate in kbit/s (below 1000: pacing off) and the tablet's
  // loss in percent (clamped to 0..40), which sets the pacing rate and the
  // FEC group size.
  void SetBitrate(uint32_t kbps);
  void SetLoss(int percent);
  // The tablet's max_fragments_per_frame; 0 = no limit.
  void SetClientFragmentLimit(uint32_t fragments);
  media::PacingRate Pacing() const;

  HostResult LastResult() const;

 private:
  // The digest of a cipher key and the next counter to use with it.
  struct KeyCounter {
    crypto::Digest digest{};
    uint64_t next_counter = 0;
    bool valid = false;
  };
  // Any stream generation: for datagrams that belong to no stream.
  static constexpr uint64_t kAnyGeneration = ~uint64_t{0};

  bool SealLocked(crypto::ByteView datagram, crypto::Bytes* out, HostResult* failure);
  // Seals and hands one datagram to the sink under the send lock. Refused
  // when the stream state was reset since `generation` was read.
  bool SendSealed(const uint8_t* data, size_t length, uint64_t generation, HostResult* failure, int* error);
  // Counts a datagram in the pacer and, for a paced one, sleeps as told
  // (after the pacing lock is released).
  void Pace(size_t datagram_bytes, bool paced);
  // History and FEC steps of one built fragment; skipped when the stream
  // state was reset since `generation` was read.
  void Remember(uint32_t sequence, crypto::ByteView datagram, uint64_t generation);
  bool OfferToFec(uint32_t sequence, crypto::ByteView datagram, bool keyframe_first_fragment, uint64_t generation,
                  crypto::Bytes* parity);
  void ClearStreamState();
  void SetResult(HostResult result);
  void ClearKeysLocked();
  void LogSendProblem(const char* what, int error);

  IClock& clock_;
  IPreciseSleeper& sleeper_;
  crypto::Bytes seal_buffer_;  // under send_mu_
  IDatagramSink& sink_;

  mutable std::mutex send_mu_;  // socket, destination, key, counters, cipher context, sink
  net::Socket socket_ = net::kInvalidSocket;
  net::Endpoint remote_;
  bool remote_configured_ = false;
  std::array<uint8_t, security::kEnvelopeKeyBytes> key_{};
  bool has_key_ = false;
  // [0] is the installed key (or the last one installed); the others are
  // older keys, most recent first.
  std::array<KeyCounter, kRememberedMediaKeys> keys_seen_{};
  crypto::AesGcm aes_;
  // Changed only under the send lock: by every clearing of the keys and by
  // ResetStreamState.
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> encrypted_{false};

  mutable std::mutex pacing_mu_;
  media::Pacer pacer_;
  std::atomic<bool> pacing_on_{false};  // mirrors pacer_.rate().enabled()

  std::atomic<int> loss_percent_{0};
  std::atomic<uint32_t> fragment_limit_{0};

  std::mutex fec_mu_;
  media::FecGroup fec_;

  std::mutex history_mu_;
  media::RetransmitHistory history_;

  RateLimiter send_log_{kMediaSendLogIntervalMs};

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
