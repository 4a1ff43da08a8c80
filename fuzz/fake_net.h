#pragma once
// An in-memory network behind the socket seam (host/common/net.h), for the
// control server's fuzz target: the TcpServer runs unchanged, its peers are
// byte streams the harness scripts.
//
// fake_net.cpp defines every function of net.h. It is linked into that one
// target only, ahead of orvane_core, so the archive's net_linux.o is never
// pulled in (a function of net.h missing here would pull it in and the link
// would fail on the duplicates, which is the wanted signal).
//
// Time: nothing waits in real time except the accept thread, which blocks in
// Poll while nothing is ready for it. The harness changes one thing at a time
// and then calls Settle(), which returns once the accept thread has dealt with
// the change and is blocked again, so every run takes the same path.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/common/net.h"

namespace orvane::fuzz {

// What a peer sends on one connection.
struct FakePeer {
  std::string address = "192.0.2.10";
  uint16_t port = 50000;
  std::vector<uint8_t> bytes;
  // Bytes one Recv hands out at most (0: as many as asked).
  size_t segment = 0;
  // Bytes that have arrived when the connection is accepted; the rest
  // arrives when ArriveAll() is called or when a reader waits in PollOne.
  size_t arrived = SIZE_MAX;
  // 0: an orderly close after the bytes; otherwise the Winsock error the
  // receive after the last byte fails with.
  int end_error = 0;
};

class FakeNetwork {
 public:
  static FakeNetwork& Instance();

  // Between inputs: forgets every socket and counter.
  void Reset();

  // Queues a connection for the listener's next Accept; returns the socket
  // the server will get for it.
  net::Socket Connect(FakePeer peer);
  // Every byte of the connection has arrived.
  void ArriveAll(net::Socket s);

  // Wakes the accept thread after a change it cannot see (the harness moved
  // the clock), then waits until it is blocked in Poll again.
  void Kick();
  // Waits until the accept thread has seen every change so far and is
  // blocked in Poll with nothing ready; fails the run when it does not get
  // there within a few seconds (a hang).
  void Settle();

  // State for the harness's checks.
  bool IsShut(net::Socket s) const;   // shut down by the server (or closed)
  size_t OpenSockets() const;         // created or accepted and not closed yet
  size_t Consumed(net::Socket s) const;  // bytes the server has received

  // The seam's implementation.
  net::Socket CreateSocket();
  void CloseSocket(net::Socket s);
  void Shutdown(net::Socket s);
  net::Socket AcceptOne(net::Socket listener, net::Endpoint* peer, int* error);
  long Receive(net::Socket s, void* buf, size_t len, bool peek, int* error);
  long SendBytes(net::Socket s, size_t len, int* error);
  int Poll(std::vector<net::PollEntry>& entries, int timeout_ms, int* error);
  int PollOne(net::Socket s, bool want_read, bool want_write, int timeout_ms, int* error);

  struct State;

 private:
  FakeNetwork();
  State* state_;
};

}  // namespace orvane::fuzz
