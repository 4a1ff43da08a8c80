#pragma once
// The session's input channel: a UDP socket bound to the slot's input port and
// one thread that reads datagrams and hands those from the tablet to the
// session.
//
// Only datagrams whose source IPv4 address equals the expected peer are
// delivered (the source port is not checked: the session uses it for the
// media punch). Without an expected peer everything is dropped.
//
// The session pool probes the slot's port and hands the still-bound socket
// over with AdoptSocket(); the receiver keeps it bound across Stop() so the
// port stays reserved for the slot, and only Close() gives it up.
//
// Stop() never waits on a blocked receive: the thread waits in poll with a
// short time-out and re-checks its running flag, so a stop returns within
// about one poll interval on every platform.
//
// Results (LastResult()):
//   code 1 "UDP receiver socket() failed" / "UDP receiver bind() failed"
//   code 3 "recvfrom() failed on UDP input channel"

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

namespace orvane {

// Receive buffer of the input socket (SO_RCVBUF).
inline constexpr int kInputReceiveBufferBytes = 512 * 1024;
// Largest payload an IPv4 UDP datagram can carry (65535 - 20 - 8); the
// receive buffer is sized to it once so no datagram is ever cut short.
inline constexpr size_t kMaxUdpDatagramBytes = 65507;
// How long the receive thread waits before it looks at its running flag.
inline constexpr int kInputPollIntervalMs = 100;

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
  // Forgets the expected peer and the keys: every datagram is dropped until a
  // new peer is set.
  void ClearPeerAndKeys();

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
  void HandleDatagram(const uint8_t* data, size_t length, const net::Endpoint& from);
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

  // The receiver lock: expected peer (and, later, the input key and replay
  // window).
  mutable std::mutex mu_;
  std::array<uint8_t, 4> expected_peer_{};
  bool expected_peer_set_ = false;

  RateLimiter recv_error_log_{2000};

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
