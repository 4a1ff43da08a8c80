#include "fuzz/fake_net.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "fuzz/fuzz_support.h"

namespace orvane::fuzz {

inline constexpr uint16_t kListenerPort = 9430;

namespace {

// Far above real descriptors, so a socket of this network is never mistaken
// for one of the process.
constexpr net::Socket kFirstSocket = 1 << 20;
// The accept thread re-checks its flags this often even when nothing
// happens; the harness never relies on it.
constexpr auto kIdleWaitCap = std::chrono::seconds(3);
constexpr auto kSettleLimit = std::chrono::seconds(10);

struct Sock {
  bool listener = false;
  bool shut = false;
  FakePeer peer;
  size_t pos = 0;
};

}  // namespace

struct FakeNetwork::State {
  mutable std::mutex mu;
  std::condition_variable cv;
  std::map<net::Socket, Sock> sockets;
  std::deque<std::pair<net::Socket, FakePeer>> backlog;  // connected, not accepted yet
  net::Socket next = kFirstSocket;
  uint64_t generation = 0;  // every change the accept thread may have to see
  bool idle = false;
  uint64_t idle_generation = 0;

  void ChangedLocked() {
    ++generation;
    cv.notify_all();
  }

  bool ReadableLocked(net::Socket s) const {
    const auto it = sockets.find(s);
    if (it == sockets.end()) return true;  // poll reports an invalid socket as ready
    const Sock& k = it->second;
    if (k.shut) return true;
    if (k.listener) return !backlog.empty();
    const size_t size = k.peer.bytes.size();
    const size_t arrived = std::min(k.peer.arrived, size);
    return k.pos < arrived || arrived == size;  // data, or the end of the stream
  }
};

FakeNetwork& FakeNetwork::Instance() {
  static FakeNetwork* network = new FakeNetwork();  // never destroyed: threads may use it up to exit
  return *network;
}

FakeNetwork::FakeNetwork() : state_(new State()) {}

void FakeNetwork::Reset() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->sockets.clear();
  state_->backlog.clear();
  state_->next = kFirstSocket;
  state_->idle = false;
  state_->ChangedLocked();
}

net::Socket FakeNetwork::Connect(FakePeer peer) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const net::Socket s = state_->next++;
  state_->backlog.emplace_back(s, std::move(peer));
  state_->ChangedLocked();
  return s;
}

void FakeNetwork::ArriveAll(net::Socket s) {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (auto it = state_->sockets.find(s); it != state_->sockets.end()) it->second.peer.arrived = SIZE_MAX;
  for (auto& entry : state_->backlog) {
    if (entry.first == s) entry.second.arrived = SIZE_MAX;
  }
  state_->ChangedLocked();
}

void FakeNetwork::Kick() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->ChangedLocked();
  }
  Settle();
}

void FakeNetwork::Settle() {
  std::unique_lock<std::mutex> lock(state_->mu);
  const bool settled = state_->cv.wait_for(lock, kSettleLimit, [this] {
    return state_->idle && state_->idle_generation == state_->generation;
  });
  FUZZ_CHECK(settled);  // the accept thread is stuck (or spins) on this input
}

bool FakeNetwork::IsShut(net::Socket s) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->sockets.find(s);
  if (it != state_->sockets.end()) return it->second.shut;
  for (const auto& entry : state_->backlog) {
    if (entry.first == s) return false;
  }
  return true;  // closed
}

size_t FakeNetwork::OpenSockets() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->sockets.size();
}

size_t FakeNetwork::Consumed(net::Socket s) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->sockets.find(s);
  return it == state_->sockets.end() ? 0 : it->second.pos;
}

net::Socket FakeNetwork::CreateSocket() {
  std::lock_guard<std::mutex> lock(state_->mu);
  const net::Socket s = state_->next++;
  state_->sockets[s].listener = true;  // the control server creates only its listener
  return s;
}

void FakeNetwork::CloseSocket(net::Socket s) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->sockets.erase(s);
  state_->ChangedLocked();
}

void FakeNetwork::Shutdown(net::Socket s) {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (auto it = state_->sockets.find(s); it != state_->sockets.end()) it->second.shut = true;
  state_->ChangedLocked();
}

net::Socket FakeNetwork::AcceptOne(net::Socket listener, net::Endpoint* peer, int* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->sockets.find(listener);
  if (it == state_->sockets.end() || !it->second.listener) {
    *error = net::kWsaENotSock;
    return net::kInvalidSocket;
  }
  if (state_->backlog.empty()) {
    *error = net::kWsaEWouldBlock;
    return net::kInvalidSocket;
  }
  auto [s, connecting] = std::move(state_->backlog.front());
  state_->backlog.pop_front();
  peer->address = connecting.address;
  peer->port = connecting.port;
  Sock& k = state_->sockets[s];
  k.peer = std::move(connecting);
  *error = 0;
  return s;
}

long FakeNetwork::Receive(net::Socket s, void* buf, size_t len, bool peek, int* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->sockets.find(s);
  if (it == state_->sockets.end()) {
    *error = net::kWsaENotSock;
    return -1;
  }
  Sock& k = it->second;
  if (k.shut) return 0;
  const size_t size = k.peer.bytes.size();
  const size_t arrived = std::min(k.peer.arrived, size);
  if (k.pos < arrived) {
    size_t n = std::min(len, arrived - k.pos);
    if (!peek && k.peer.segment > 0) n = std::min(n, k.peer.segment);
    std::memcpy(buf, k.peer.bytes.data() + k.pos, n);
    if (!peek) k.pos += n;
    return static_cast<long>(n);
  }
  if (arrived < size) {
    *error = net::kWsaEWouldBlock;
    return -1;
  }
  if (k.peer.end_error != 0) {
    *error = k.peer.end_error;
    return -1;
  }
  return 0;
}

long FakeNetwork::SendBytes(net::Socket s, size_t len, int* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->sockets.find(s);
  if (it == state_->sockets.end()) {
    *error = net::kWsaENotSock;
    return -1;
  }
  if (it->second.shut) {
    *error = net::kWsaEShutdown;
    return -1;
  }
  return static_cast<long>(len);
}

int FakeNetwork::Poll(std::vector<net::PollEntry>& entries, int timeout_ms, int* error) {
  *error = 0;
  std::unique_lock<std::mutex> lock(state_->mu);
  auto ready = [&] {
    int n = 0;
    for (net::PollEntry& e : entries) {
      e.readable = e.want_read && state_->ReadableLocked(e.socket);
      e.writable = e.want_write;
      if (e.readable || e.writable) ++n;
    }
    return n;
  };
  const int n = ready();
  if (n > 0 || timeout_ms == 0) return n;
  // Nothing to do: this is where the harness waits for the thread.
  state_->idle = true;
  state_->idle_generation = state_->generation;
  state_->cv.notify_all();
  state_->cv.wait_for(lock, kIdleWaitCap, [this] { return state_->generation != state_->idle_generation; });
  state_->idle = false;
  return ready();
}

int FakeNetwork::PollOne(net::Socket s, bool want_read, bool want_write, int /*timeout_ms*/, int* error) {
  *error = 0;
  std::lock_guard<std::mutex> lock(state_->mu);
  if (want_read && !state_->ReadableLocked(s)) {
    // A reader waits: the rest of the stream arrives.
    if (auto it = state_->sockets.find(s); it != state_->sockets.end()) it->second.peer.arrived = SIZE_MAX;
    state_->ChangedLocked();
  }
  return (want_read || want_write) ? 1 : 0;
}

}  // namespace orvane::fuzz

// ------------------------------------------------------------ the seam

namespace orvane::net {

using fuzz::FakeNetwork;

int Startup() { return 0; }
void Cleanup() {}
int LastError() { return 0; }

// Only the mapping's contract (0 stays 0, anything else is a failure) matters
// to this target.
int ErrorFromErrno(int errno_value) { return errno_value == 0 ? 0 : kWsaESysCallFailure; }

Socket Create(Kind /*kind*/, int* error) {
  *error = 0;
  return FakeNetwork::Instance().CreateSocket();
}
void Close(Socket s) {
  if (s != kInvalidSocket) FakeNetwork::Instance().CloseSocket(s);
}
void ShutdownBoth(Socket s) {
  if (s != kInvalidSocket) FakeNetwork::Instance().Shutdown(s);
}

int SetListenerAddressOptions(Socket) { return 0; }
int SetNoDelay(Socket, bool) { return 0; }
int SetNonBlocking(Socket, bool) { return 0; }
int SetKeepAlive(Socket, uint32_t, uint32_t, int) { return 0; }
int SetKeepAliveProbes(Socket, int) { return 0; }
int SetUserTimeout(Socket, uint32_t) { return 0; }
int SetReceiveBuffer(Socket, int) { return 0; }
int SetSendBuffer(Socket, int) { return 0; }

int Bind(Socket, const std::string& address, uint16_t) {
  return address.empty() || IsValidIpv4(address) ? 0 : kWsaEInval;
}
int Listen(Socket) { return 0; }
uint16_t LocalPort(Socket, int* error) {
  if (error) *error = 0;
  return fuzz::kListenerPort;
}

Socket Accept(Socket listener, Endpoint* peer, int* error) {
  return FakeNetwork::Instance().AcceptOne(listener, peer, error);
}
int Connect(Socket, const std::string&, uint16_t) { return kWsaEConnRefused; }

long Recv(Socket s, void* buf, size_t len, int* error) {
  return FakeNetwork::Instance().Receive(s, buf, len, false, error);
}
long Peek(Socket s, void* buf, size_t len, int* error) {
  return FakeNetwork::Instance().Receive(s, buf, len, true, error);
}
long Send(Socket s, const void*, size_t len, int* error) { return FakeNetwork::Instance().SendBytes(s, len, error); }

long SendTo(Socket, const void*, size_t, const Endpoint&, int* error) {
  *error = kWsaEOpNotSupp;
  return -1;
}
long RecvFrom(Socket, void*, size_t, Endpoint*, int* error) {
  *error = kWsaEOpNotSupp;
  return -1;
}

int Poll(std::vector<PollEntry>& entries, int timeout_ms, int* error) {
  return FakeNetwork::Instance().Poll(entries, timeout_ms, error);
}
int PollOne(Socket s, bool want_read, bool want_write, int timeout_ms, int* error) {
  return FakeNetwork::Instance().PollOne(s, want_read, want_write, timeout_ms, error);
}

bool IsValidIpv4(const std::string& address) {
  in_addr parsed{};
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

}  // namespace orvane::net
