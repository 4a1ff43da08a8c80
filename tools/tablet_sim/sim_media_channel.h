#pragma once
// The tablet's UDP socket: it receives the host's media and sends the media
// punch and the input events (so the punch's source port is where the media
// comes to).
//
// A receive thread (owned, joined by Close) reads datagrams and passes them
// through MediaIntake under the channel's lock; the session's thread takes
// the sequence numbers to ask for, the notes and the counters, and sends
// input. The thread waits in poll with a short time-out and re-checks its
// running flag, so Close returns within about one poll interval.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/net.h"
#include "host/security/crypto.h"
#include "tools/tablet_sim/sim_media.h"
#include "tools/tablet_sim/sim_udp.h"

namespace orvane::sim {

// The receive buffer asked for: a keyframe burst fits.
inline constexpr int kMediaReceiveBufferBytes = 4 * 1024 * 1024;
// Media datagrams are at most 1249 bytes; longer ones are not the host's.
inline constexpr size_t kMaxMediaDatagramBytes = 2048;
inline constexpr int kMediaPollIntervalMs = 50;

class MediaChannel {
 public:
  MediaChannel(IClock& clock, const MediaReceiverConfig& config, uint32_t drop_percent, uint64_t drop_seed);
  ~MediaChannel();
  MediaChannel(const MediaChannel&) = delete;
  MediaChannel& operator=(const MediaChannel&) = delete;

  // An IPv4 UDP socket on an ephemeral port of every local address, and the
  // receive thread. 0, or the Winsock-numbered error (nothing left open).
  int Open();
  bool is_open() const { return socket_ != net::kInvalidSocket; }
  uint16_t local_port() const { return port_; }
  // The receive buffer could not be enlarged (0 = it was); the channel works
  // without it.
  int receive_buffer_error() const { return receive_buffer_error_; }

  // The host's UDP key: media opens under it, input is sealed under it.
  // Empty: nothing opens and nothing is sent.
  void SetKey(crypto::ByteView key);
  // Seals one input-channel plaintext (prefix 3) and sends it to the host's
  // address and port. False with *error (0 when sealing failed).
  bool SendInput(const std::string& host, uint16_t port, crypto::ByteView plaintext, uint64_t* counter,
                 size_t* bytes, int* error);

  // The receiver's give-ups and the sequence numbers to ask for now.
  std::vector<uint32_t> Poll(uint64_t now_ms);
  void SetRoundTripMs(double rtt_ms);
  std::vector<std::string> TakeNotes();
  uint64_t completed() const;
  // Counters; nacks_sent and stats_sent are the caller's.
  MediaSummary Summary() const;
  // The audio figures (their medians are worked out here: not for every
  // statistics interval).
  AudioSummary AudioReport() const;

  // Stops and joins the thread, closes the socket.
  void Close();

 private:
  void ReceiveLoop();

  IClock& clock_;
  net::Socket socket_ = net::kInvalidSocket;
  uint16_t port_ = 0;
  int receive_buffer_error_ = 0;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> receive_errors_{0};

  mutable std::mutex mu_;  // the intake and the sealer
  MediaIntake intake_;
  InputSealer sealer_;
};

}  // namespace orvane::sim
