#pragma once
// The session's input channel: a UDP socket bound to the slot's input port and
// one thread that reads datagrams and hands those from the tablet to the
// session.
//
// Only secure frames (nonce prefix 3) under the input key, from the expected
// peer's IPv4 address, with a counter the replay window has not seen, are
// delivered, and what is delivered is the plaintext. The source port is not
// checked: the session uses it for the media punch. Without a key or an
// expected peer everything is dropped. The decisions live in
// InputDatagramGate, which is portable and tested without sockets.
//
// The session pool probes the slot's port and hands the still-bound socket
// over with AdoptSocket(); the receiver keeps it bound across Stop() so the
// port stays reserved for the slot, and only Close() gives it up.
//
// Stop() never waits on a blocked receive: the thread waits in poll with a
// short time-out and re-checks its running flag, so a stop returns within
// about one poll interval on every platform. The socket is never shut down
// or closed under the thread (an adopted socket must stay usable for the next
// Start, and a closed handle could be reused by another socket before the
// thread notices): the thread is joined first, then its socket is closed.
//
// Anyone on the network can send here, so nothing a datagram or a receive
// error causes is logged per datagram: datagrams longer than the protocol's
// 2048 bytes (or cut short by the stack) are dropped and counted silently
// before any other check, unexpected receive errors are logged at most once
// per second with the number suppressed, and after several in a row the
// thread pauses briefly between receives instead of spinning.
//
// Results (LastResult()):
//   code 1 "UDP receiver socket() failed" / "UDP receiver bind() failed"
//   code 3 "recvfrom() failed on UDP input channel"
//   code 4 "Plaintext UDP input is not permitted"
//   code 4 "Failed to decrypt secure UDP input payload"
//   code 4 "Input key must be at least 16 bytes" (SetInputKey)
// Datagrams dropped silently (no key, wrong peer, replayed, too old, key
// replaced during decryption, counter with the top bit set) change no result;
// every drop is counted (VerdictCount).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/net.h"
#include "host/common/rate_limiter.h"
#include "host/security/crypto.h"
#include "host/security/secure_frame.h"

namespace orvane {

// Receive buffer of the input socket (SO_RCVBUF).
inline constexpr int kInputReceiveBufferBytes = 512 * 1024;
// Largest input datagram the tablet sends. The receive buffer has one byte
// more, so a longer datagram shows as one that filled it (or, on Windows, as
// WSAEMSGSIZE) and is dropped.
inline constexpr size_t kMaxInputDatagramBytes = 2048;
// How long the receive thread waits before it looks at its running flag.
inline constexpr int kInputPollIntervalMs = 100;

// Input-channel problems caused by the network (plaintext, failed
// decryption): at most one log line per interval, with the number suppressed.
inline constexpr uint64_t kInputDropLogIntervalMs = 1000;
// Unexpected receive errors: at most one line per interval, and after this
// many in a row a pause before each further receive.
inline constexpr uint64_t kInputRecvErrorLogIntervalMs = 1000;
inline constexpr uint32_t kInputRecvErrorsBeforeBackOff = 8;
inline constexpr uint32_t kInputRecvErrorBackOffMs = 10;

using Ipv4Address = std::array<uint8_t, 4>;

// Dotted IPv4 text to its four bytes; false for anything the sockets would
// not accept.
bool ParseIpv4Address(const std::string& text, Ipv4Address* out);

// What became of one received datagram.
enum class InputVerdict : int {
  kAccepted = 0,
  kNoKeyOrPeer,      // no input key or no expected peer: silent
  kWrongPeer,        // source address is not the tablet's: silent
  kNotSecureFrame,   // code 4 "Plaintext UDP input is not permitted"
  kCounterTooLarge,  // counter with the top bit set: silent
  kDecryptFailed,    // code 4 "Failed to decrypt secure UDP input payload"
  kKeyChanged,       // the key was replaced while it was being decrypted: silent
  kReplayed,         // counter already accepted, or more than 63 behind: silent
  kOversized,        // longer than 2048 bytes or cut short by the stack: silent
};
inline constexpr size_t kInputVerdictCount = 9;
static_assert(static_cast<size_t>(InputVerdict::kOversized) + 1 == kInputVerdictCount);
// Fixed names for logs and test output ("accepted", "no-key-or-peer", ...).
const char* InputVerdictName(InputVerdict verdict);

// The decision logic of the input channel: the input key, its generation, the
// replay window and the expected peer, under one lock (the receiver lock).
//
// Opening a datagram runs in three phases so that decryption, the expensive
// part, happens outside the lock:
//   1. Snapshot (locked): peer check, copy of the key and its generation.
//   2. Decrypt (unlocked): envelope checks and AES-GCM with the caller's
//      context (one per thread).
//   3. Commit (locked): a key installed or cleared since the snapshot drops
//      the datagram; otherwise the replay window decides.
// The counter enters the window only after the tag verified, so forged
// datagrams cannot move it.
class InputDatagramGate {
 public:
  // A copy of the cipher key and its generation, wiped when destroyed.
  struct KeySnapshot {
    std::array<uint8_t, security::kEnvelopeKeyBytes> key{};
    uint64_t generation = 0;
    KeySnapshot() = default;
    ~KeySnapshot() { crypto::SecureWipe(key.data(), key.size()); }
    KeySnapshot(const KeySnapshot&) = delete;
    KeySnapshot& operator=(const KeySnapshot&) = delete;
  };

  InputDatagramGate() = default;
  ~InputDatagramGate();
  InputDatagramGate(const InputDatagramGate&) = delete;
  InputDatagramGate& operator=(const InputDatagramGate&) = delete;

  // Both bump the key generation and empty the replay window. SetKey keeps a
  // copy of the first 16 bytes; a shorter key is refused and leaves no key.
  bool SetKey(crypto::ByteView key);
  void ClearKey();
  void SetExpectedPeer(const Ipv4Address& address);
  // Forgets peer and key (generation bumped, window emptied).
  void ClearPeerAndKey();
  bool HasKey() const;
  bool HasExpectedPeer() const;

  InputVerdict Snapshot(const Ipv4Address& source, KeySnapshot* out) const;
  // *counter is filled once the envelope parsed; *plaintext on kAccepted.
  static InputVerdict Decrypt(crypto::AesGcm& aes, const KeySnapshot& key, crypto::ByteView datagram,
                              uint64_t* counter, crypto::Bytes* plaintext);
  InputVerdict Commit(uint64_t generation, uint64_t counter);

  // The three phases in order. *plaintext holds the datagram's plaintext on
  // kAccepted.
  InputVerdict Open(crypto::AesGcm& aes, crypto::ByteView datagram, const Ipv4Address& source,
                    crypto::Bytes* plaintext);

 private:
  void ResetKeyLocked();

  mutable std::mutex mu_;
  std::array<uint8_t, security::kEnvelopeKeyBytes> key_{};
  bool has_key_ = false;
  uint64_t generation_ = 0;
  security::ReplayWindow window_;
  Ipv4Address expected_peer_{};
  bool expected_peer_set_ = false;
};

// How the receive thread treats a failed receive (or wait). Portable, so the
// rate limit and back-off are tested without a failing socket.
class InputRecvErrorPolicy {
 public:
  enum class Kind {
    kHarmless,    // interrupted, nothing queued after all, an earlier send's ICMP reset: ignored
    kOversized,   // the datagram did not fit the buffer (WSAEMSGSIZE): dropped and counted
    kUnexpected,  // anything else: result code 3, rate-limited line, back-off
  };
  struct Step {
    bool log = false;         // write the error line now
    uint64_t suppressed = 0;  // lines swallowed since the last one (when log)
    bool back_off = false;    // pause kInputRecvErrorBackOffMs before receiving again
  };

  static Kind Classify(int error);
  // One unexpected error at now_ms.
  Step OnUnexpected(uint64_t now_ms);
  // A datagram was received: the run of errors is over.
  void OnReceived() { consecutive_ = 0; }

 private:
  RateLimiter log_{kInputRecvErrorLogIntervalMs};
  uint32_t consecutive_ = 0;
};

class InputReceiver {
 public:
  using DatagramCallback = std::function<void(const uint8_t* data, size_t length, const net::Endpoint& from)>;

  explicit InputReceiver(IClock& clock = SystemClock());
  ~InputReceiver();
  InputReceiver(const InputReceiver&) = delete;
  InputReceiver& operator=(const InputReceiver&) = delete;

  // The pool's probed, still-bound UDP socket for the slot's port; owned from
  // now on. A previously adopted socket is closed (after a stop when it is the
  // one in use).
  void AdoptSocket(net::Socket bound_socket, uint16_t port);
  // The tablet's dotted IPv4 address; false (and nothing changes) for an
  // address that does not parse.
  bool SetExpectedPeer(const std::string& ipv4);
  // Forgets the expected peer and the input key: every datagram is dropped
  // until both are set again.
  void ClearPeerAndKeys();
  // The input key (its first 16 bytes are the AES-128 key). Installing or
  // clearing it empties the replay window; a datagram being decrypted with the
  // previous key meanwhile is dropped. A key shorter than 16 bytes is refused
  // and leaves no key.
  bool SetInputKey(crypto::ByteView key);
  void ClearInputKey();
  // How many received datagrams ended with the verdict (since construction).
  uint64_t VerdictCount(InputVerdict verdict) const;

  // Starts the receive thread on port: the adopted socket when its port
  // matches, else a socket created and bound here (closed again by Stop).
  // True when already running.
  bool Start(uint16_t port, DatagramCallback callback);
  // Wakes and joins the thread (never from the thread itself). An adopted
  // socket stays bound for the next Start.
  void Stop();
  // Stop, then close every socket, the adopted one included.
  void Close();
  bool Running() const;
  // The port the running thread listens on (0 when stopped).
  uint16_t Port() const;
  HostResult LastResult() const;

 private:
  void ReceiveLoop(net::Socket socket);
  // An unexpected poll or recvfrom failure: result, rate-limited line,
  // back-off.
  enum class FailedCall { kPoll, kRecvFrom };
  void HandleUnexpectedError(InputRecvErrorPolicy& policy, FailedCall call, int error);
  void CountVerdict(InputVerdict verdict);
  void HandleDatagram(crypto::AesGcm& aes, crypto::Bytes& plaintext, const uint8_t* data, size_t length,
                      const net::Endpoint& from);
  void ReportDrop(HostResult result, const net::Endpoint& from);
  void SetResult(HostResult result);
  void StopLocked();
  // Joins a finished thread and closes the socket Start created.
  void ReleaseLocked();

  IClock& clock_;

  // Serialises Start, Stop, Close and AdoptSocket.
  std::mutex lifecycle_mu_;
  net::Socket adopted_socket_ = net::kInvalidSocket;
  uint16_t adopted_port_ = 0;
  // Created by Start (or a replaced adopted socket still in use); closed once
  // the thread is joined.
  net::Socket own_socket_ = net::kInvalidSocket;
  std::atomic<uint16_t> bound_port_{0};
  std::thread thread_;
  std::atomic<bool> running_{false};
  DatagramCallback callback_;  // written only while the thread is not running

  // The receiver lock lives in the gate: expected peer, input key, key
  // generation and replay window.
  InputDatagramGate gate_;
  std::array<std::atomic<uint64_t>, kInputVerdictCount> verdicts_{};

  RateLimiter drop_log_{kInputDropLogIntervalMs};

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
