#include "host/control/tcp_server.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "host/common/byte_order.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr size_t kHeaderBytes = 4;

unsigned PortArg(uint16_t port) { return static_cast<unsigned>(port); }

HResult HResultOrFail(int error) { return error > 0 ? HResultFromWin32(error) : kEFail; }

std::string TrafficPart(uint64_t frames, uint64_t bytes, int64_t last_ms, uint64_t up_ms) {
  std::string text = std::to_string(frames) + " frames/" + std::to_string(bytes / 1024) + " KB, last ";
  if (last_ms < 0) return text + "never";
  const uint64_t last = static_cast<uint64_t>(last_ms);
  return text + std::to_string(up_ms > last ? up_ms - last : 0) + " ms ago";
}

}  // namespace

const char* DisconnectReasonText(DisconnectReason reason) {
  switch (reason) {
    case DisconnectReason::kClosedByPeer: return "closed by the peer (FIN)";
    case DisconnectReason::kResetByPeer: return "reset by the peer (RST)";
    case DisconnectReason::kAbortedLocally: return "aborted by this PC's network stack";
    case DisconnectReason::kDroppedByHost: return "dropped by the host";
    case DisconnectReason::kSocketError: return "socket error";
  }
  return "unknown";
}

const char* TransferPhaseText(TransferPhase phase) {
  switch (phase) {
    case TransferPhase::kWaitingForHeader: return "waiting for a frame header";
    case TransferPhase::kReadingPayload: return "reading a frame payload";
    case TransferPhase::kSending: return "sending a frame";
  }
  return "unknown";
}

DisconnectReason ClassifyDisconnect(bool closing, bool peer_closed, int wsa_error) {
  if (closing) return DisconnectReason::kDroppedByHost;
  if (peer_closed) return DisconnectReason::kClosedByPeer;
  if (wsa_error == net::kWsaEConnReset) return DisconnectReason::kResetByPeer;
  if (wsa_error == net::kWsaEConnAborted || wsa_error == net::kWsaETimedOut) return DisconnectReason::kAbortedLocally;
  return DisconnectReason::kSocketError;
}

std::string FormatDisconnectCause(DisconnectReason reason, TransferPhase phase, int wsa_error,
                                  const ConnectionTraffic& t) {
  std::string text = DisconnectReasonText(reason);
  text += " while ";
  text += TransferPhaseText(phase);
  if (reason != DisconnectReason::kClosedByPeer && reason != DisconnectReason::kDroppedByHost) {
    text += " (wsa=" + std::to_string(wsa_error) + ")";
  }
  text += "; up " + std::to_string(t.up_ms) + " ms";
  text += "; rx " + TrafficPart(t.rx_frames, t.rx_bytes, t.last_rx_ms, t.up_ms);
  text += "; tx " + TrafficPart(t.tx_frames, t.tx_bytes, t.last_tx_ms, t.up_ms);
  return text;
}

// One accepted connection. The server, the queue and a session may each hold
// a reference; the socket is closed when the last one goes, so no thread ever
// works on a closed (and possibly reused) handle.
struct TcpServer::Connection {
  Connection(net::Socket s, net::Endpoint peer, uint64_t k, uint64_t now_ms)
      : socket(s), address(std::move(peer.address)), port(peer.port), key(k), connected_at_ms(now_ms) {}
  ~Connection() { net::Close(socket); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Marks the connection as being torn down and shuts the socket down (which
  // wakes its readers and writers); only the first caller does so.
  void Shut() {
    if (!closing.exchange(true)) net::ShutdownBoth(socket);
  }

  const net::Socket socket;
  const std::string address;
  const uint16_t port;
  const uint64_t key;
  const uint64_t connected_at_ms;
  std::atomic<bool> closing{false};
  std::atomic<bool> peek_pending{false};
  std::atomic<uint64_t> rx_frames{0};
  std::atomic<uint64_t> rx_bytes{0};
  std::atomic<int64_t> last_rx_ms{-1};
  std::atomic<uint64_t> tx_frames{0};
  std::atomic<uint64_t> tx_bytes{0};
  std::atomic<int64_t> last_tx_ms{-1};
};

TcpServer::TcpServer(size_t slot_count, TcpServerOptions options)
    : clock_(options.clock ? options.clock : &SystemClock()),
      options_(options),
      slots_(slot_count == 0 ? 1 : slot_count),
      peek_buffer_(kHeaderBytes + kMaxPeekFrameBytes) {}

TcpServer::~TcpServer() { Stop(); }

HostResult TcpServer::LastResult() const {
  std::lock_guard<std::mutex> lock(result_mu_);
  return last_result_;
}

void TcpServer::SetResult(int code, const char* message, HResult hr) {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = HostResult::Failure(code, message, hr);
}

void TcpServer::SetSuccess() {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = HostResult::Success();
}

void TcpServer::SetHelloPeek(HelloPeek peek) {
  std::lock_guard<std::mutex> lock(peek_mu_);
  hello_peek_ = std::move(peek);
}

// ---------------------------------------------------------------- start/stop

bool TcpServer::Start(uint16_t port, const std::string& bind_address) {
  std::lock_guard<std::mutex> lock(start_stop_mu_);
  StopUnlocked();
  listening_port_ = 0;
  last_socket_error_ = 0;
  if (accept_thread_.joinable()) {
    // Called from the accept thread itself, which cannot join itself.
    LogError("[TCP] Start() called from the accept thread");
    SetResult(1, "Start() called from the accept thread", kEFail);
    return false;
  }

  int error = 0;
  net::Socket s = net::Create(net::Kind::kTcp, &error);
  if (s == net::kInvalidSocket) {
    last_socket_error_ = error;
    LogError("[TCP] socket() failed: %d", error);
    SetResult(1, "socket() failed", HResultOrFail(error));
    return false;
  }
  auto fail = [&](int err, const char* message, HResult hr) {
    last_socket_error_ = err;
    net::Close(s);
    SetResult(1, message, hr);
    return false;
  };

  if (int e = net::SetListenerAddressOptions(s)) LogWarn("[TCP] Listener address option failed: %d", e);
  if (int e = net::SetNoDelay(s, true)) LogWarn("[TCP] TCP_NODELAY failed on the listener: %d", e);

  if (!bind_address.empty() && !net::IsValidIpv4(bind_address)) {
    LogError("[TCP] Invalid bind address: %s", EscapeUntrusted(bind_address).c_str());
    return fail(net::kWsaEInval, "Invalid bind address", kEFail);
  }
  if (int e = net::Bind(s, bind_address, port)) {
    LogError("[TCP] bind() failed on port %u: %d", PortArg(port), e);
    return fail(e, "bind() failed", HResultOrFail(e));
  }
  if (int e = net::Listen(s)) {
    LogError("[TCP] listen() failed: %d", e);
    return fail(e, "listen() failed", HResultOrFail(e));
  }
  // The accept thread waits with poll and must never block in accept().
  if (int e = net::SetNonBlocking(s, true)) {
    LogError("[TCP] ioctlsocket(FIONBIO) failed on the listener: %d", e);
    return fail(e, "ioctlsocket() failed", HResultOrFail(e));
  }
  const uint16_t bound = net::LocalPort(s, &error);
  if (bound == 0) {
    LogError("[TCP] getsockname() failed: %d", error);
    return fail(error, "getsockname() failed", HResultOrFail(error));
  }

  listener_ = s;
  running_ = true;
  try {
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  } catch (const std::system_error& e) {
    running_ = false;
    listener_ = net::kInvalidSocket;
    LogError("[TCP] Could not start the accept thread: %s", e.what());
    return fail(0, "Could not start the accept thread", kEFail);
  }
  listening_port_ = bound;
  LogInfo("[TCP] Listening on port %u", PortArg(bound));
  SetSuccess();
  return true;
}

void TcpServer::Stop() {
  std::lock_guard<std::mutex> lock(start_stop_mu_);
  StopUnlocked();
}

void TcpServer::StopUnlocked() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
  }
  cv_.notify_all();

  // From the accept thread itself (an owner's callback) the thread cannot be
  // joined here; it leaves its loop on its own and the next Start, Stop or
  // the destructor joins it and closes the listener.
  const bool on_accept_thread =
      accept_thread_.joinable() && accept_thread_.get_id() == std::this_thread::get_id();
  if (!on_accept_thread) {
    if (accept_thread_.joinable()) {
      net::ShutdownBoth(listener_);  // wakes the poll at once where the platform does
      accept_thread_.join();
    }
    if (listener_ != net::kInvalidSocket) {
      net::Close(listener_);
      listener_ = net::kInvalidSocket;
    }
  }
  listening_port_ = 0;

  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& slot : slots_) {
      if (slot.client) slot.client->Shut();
      if (slot.candidate) slot.candidate->Shut();
      slot.client.reset();
      slot.candidate.reset();
      slot.active = false;
      slot.client_id.clear();
    }
    for (auto& c : queue_) c->Shut();
    queue_.clear();
  }
  cv_.notify_all();
}

// ------------------------------------------------------------ accept thread

void TcpServer::AcceptLoop() {
  struct Candidate {
    size_t slot;
    ConnectionPtr connection;
    size_t entry;  // index in the poll set, or SIZE_MAX when peek-pending
  };
  std::vector<Candidate> candidates;
  std::vector<net::PollEntry> entries;
  candidates.reserve(slots_.size());
  entries.reserve(slots_.size() + 1);

  while (running_) {
    candidates.clear();
    entries.clear();
    entries.push_back(net::PollEntry{listener_, true, false, false, false});
    {
      // At most one candidate per slot, so the set stays bounded.
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].candidate) candidates.push_back(Candidate{i, slots_[i].candidate, SIZE_MAX});
      }
    }
    for (auto& c : candidates) {
      if (c.connection->peek_pending) continue;
      c.entry = entries.size();
      entries.push_back(net::PollEntry{c.connection->socket, true, false, false, false});
    }

    int error = 0;
    const int rc = net::Poll(entries, kAcceptWaitMs, &error);
    if (!running_) break;
    if (rc < 0) {
      LogWarn("[TCP] select() on listener failed: %d", error);
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(kAcceptWaitMs), [this] { return !running_; });
      continue;
    }
    for (auto& c : candidates) {
      const bool readable = c.connection->peek_pending || (c.entry != SIZE_MAX && entries[c.entry].readable);
      CheckCandidate(c.slot, c.connection, readable);
    }
    if (entries[0].readable) AcceptOne();
  }
}

void TcpServer::AcceptOne() {
  net::Endpoint peer;
  int error = 0;
  const net::Socket s = net::Accept(listener_, &peer, &error);
  if (s == net::kInvalidSocket) {
    if (error != net::kWsaEIntr && error != net::kWsaEWouldBlock && error != net::kWsaEConnReset) {
      LogWarn("[TCP] accept() transient failure: %d", error);
      // Out of descriptors or buffers: the listener stays readable, so pause
      // instead of spinning.
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(kAcceptWaitMs), [this] { return !running_; });
    }
    return;
  }

  // Every read and write waits with poll first, so the socket stays
  // non-blocking: no call can block beyond its bound.
  if (int e = net::SetNonBlocking(s, true)) {
    LogWarn("[TCP] ioctlsocket(FIONBIO) failed on %s:%u: %d", peer.address.c_str(), PortArg(peer.port), e);
    net::Close(s);
    return;
  }
  if (int e = net::SetNoDelay(s, true)) LogWarn("[TCP] TCP_NODELAY failed: %d", e);
  if (int e = net::SetKeepAlive(s, kKeepAliveIdleMs, kKeepAliveIntervalMs, 0)) {
    LogWarn("[TCP] SIO_KEEPALIVE_VALS failed: %d", e);
  }
  if (int e = net::SetKeepAliveProbes(s, kKeepAliveProbes)) {
    // Older Windows versions lack the option and keep their own count; say so
    // once rather than on every connection.
    if (!keepcnt_warned_.exchange(true)) LogWarn("[TCP] TCP_KEEPCNT failed: %d (the system's probe count applies)", e);
  }
  if (int e = net::SetUserTimeout(s, options_.user_timeout_ms)) LogWarn("[TCP] TCP_USER_TIMEOUT failed: %d", e);

  std::lock_guard<std::mutex> lock(mu_);
  auto c = std::make_shared<Connection>(s, std::move(peer), next_key_++, clock_->TickMs());
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (!slot.client || slot.client_id.empty() || slot.client->address != c->address) continue;
    if (slot.candidate) {
      LogInfo("[TCP] Superseding reconnect candidate %s:%u", slot.candidate->address.c_str(),
              PortArg(slot.candidate->port));
      slot.candidate->Shut();
    }
    slot.candidate = c;
    LogInfo("[TCP] Connection %s:%u from the address of slot %zu held until its Hello", c->address.c_str(),
            PortArg(c->port), i);
    cv_.notify_all();
    return;
  }
  PlaceLocked(c);
  cv_.notify_all();
}

TcpServer::PeekOutcome TcpServer::PeekFirstFrame(const ConnectionPtr& c, std::string* client_id) {
  client_id->clear();
  int error = 0;
  const long n = net::Peek(c->socket, peek_buffer_.data(), peek_buffer_.size(), &error);
  if (n < 0 && (error == net::kWsaEWouldBlock || error == net::kWsaEIntr)) return PeekOutcome::kIncomplete;
  if (n <= 0) return PeekOutcome::kClosed;
  const size_t got = static_cast<size_t>(n);
  if (got < kHeaderBytes) return PeekOutcome::kIncomplete;
  const uint32_t length = LoadBe32(peek_buffer_.data());
  if (length == 0 || length > kMaxPeekFrameBytes) return PeekOutcome::kComplete;
  if (got < kHeaderBytes + length) return PeekOutcome::kIncomplete;

  HelloPeek peek;
  {
    std::lock_guard<std::mutex> lock(peek_mu_);
    peek = hello_peek_;
  }
  if (peek) {
    std::string id;
    bool is_hello = false;
    try {
      is_hello = peek(peek_buffer_.data() + kHeaderBytes, length, &id);
    } catch (...) {
      is_hello = false;  // an owner's parser must not end the accept thread
    }
    if (is_hello) *client_id = std::move(id);
  }
  return PeekOutcome::kComplete;
}

void TcpServer::CheckCandidate(size_t s, const ConnectionPtr& c, bool readable) {
  const uint64_t now = clock_->TickMs();
  const bool young = now - c->connected_at_ms < kReconnectHoldMs;
  PeekOutcome outcome = PeekOutcome::kIncomplete;
  std::string id;
  if (readable) {
    outcome = PeekFirstFrame(c, &id);
    if (outcome == PeekOutcome::kIncomplete && young) {
      c->peek_pending = true;
      return;
    }
  } else if (young) {
    return;
  }
  c->peek_pending = false;

  std::lock_guard<std::mutex> lock(mu_);
  Slot& slot = slots_[s];
  if (slot.candidate != c) return;
  slot.candidate.reset();

  if (outcome == PeekOutcome::kComplete && !id.empty() && id == slot.client_id) {
    const uint16_t old_port = slot.client ? slot.client->port : 0;
    LogInfo("[TCP] Client %s reconnected (port %u); replacing its stale connection (port %u, slot %zu)",
            c->address.c_str(), PortArg(c->port), PortArg(old_port), s);
    if (slot.client) slot.client->Shut();
    InstallLocked(slot, c);
  } else if (outcome == PeekOutcome::kClosed || !readable) {
    LogInfo("[TCP] Discarding connection %s:%u from the address of slot %zu (%s)", c->address.c_str(),
            PortArg(c->port), s, readable ? "closed without sending data" : "no data before timeout");
    c->Shut();
  } else {
    LogInfo("[TCP] Connection %s:%u is not the client of slot %zu; placing it as a new client", c->address.c_str(),
            PortArg(c->port), s);
    PlaceLocked(c);
  }
  cv_.notify_all();
}

// ------------------------------------------------------- slots and the queue

void TcpServer::InstallLocked(Slot& slot, const ConnectionPtr& c) {
  slot.client = c;
  slot.active = false;
  slot.client_id.clear();
}

void TcpServer::PlaceLocked(const ConnectionPtr& c) {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].client) continue;
    LogInfo("[TCP] Client connected from %s:%u (slot %zu)", c->address.c_str(), PortArg(c->port), i);
    InstallLocked(slots_[i], c);
    return;
  }
  // Only the newest waiting connection is kept: an older one is most likely
  // a tablet that has already given up and retried.
  if (!queue_.empty()) {
    queue_.front()->Shut();
    queue_.pop_front();
    LogWarn("[TCP] Replaced stale queued client with newer candidate");
  }
  queue_.push_back(c);
  LogInfo("[TCP] Queued client %s:%u (queue=%zu)", c->address.c_str(), PortArg(c->port), queue_.size());
}

void TcpServer::PromoteLocked(size_t s) {
  Slot& slot = slots_[s];
  slot.client.reset();
  slot.active = false;
  slot.client_id.clear();
  if (slot.candidate) {
    ConnectionPtr c = std::move(slot.candidate);
    slot.candidate.reset();
    c->peek_pending = false;
    LogInfo("[TCP] Promoted reconnecting client %s:%u (slot %zu)", c->address.c_str(), PortArg(c->port), s);
    InstallLocked(slot, c);
    return;
  }
  while (!queue_.empty()) {
    ConnectionPtr c = std::move(queue_.front());
    queue_.pop_front();
    if (c->closing) continue;
    LogInfo("[TCP] Promoted queued client %s:%u to slot %zu (remaining queue=%zu)", c->address.c_str(),
            PortArg(c->port), s, queue_.size());
    InstallLocked(slot, c);
    return;
  }
}

// ------------------------------------------------------------------ sessions

bool TcpServer::AcceptClient(size_t s, uint64_t* connection_key) {
  if (s >= slots_.size()) return false;
  std::unique_lock<std::mutex> lock(mu_);
  // Woken by every change of any slot: only this slot's client (or the end
  // of the server) ends the wait.
  cv_.wait(lock, [&] { return !running_ || slots_[s].client != nullptr; });
  Slot& slot = slots_[s];
  if (!running_ || !slot.client) {
    lock.unlock();
    SetResult(3, "No active client available", kEFail);
    return false;
  }
  slot.active = true;
  if (connection_key) *connection_key = slot.client->key;
  lock.unlock();
  SetSuccess();
  return true;
}

bool TcpServer::ReadExact(Connection& c, uint8_t* buf, size_t len, int* error, bool* peer_closed) {
  *error = 0;
  *peer_closed = false;
  size_t got = 0;
  while (got < len) {
    if (c.closing) {
      *error = net::kWsaEConnAborted;
      return false;
    }
    int e = 0;
    const int rc = net::PollOne(c.socket, true, false, kReadWaitMs, &e);
    if (rc < 0) {
      *error = e;
      return false;
    }
    if (rc == 0) continue;
    const long n = net::Recv(c.socket, buf + got, len - got, &e);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (e == net::kWsaEWouldBlock || e == net::kWsaEIntr)) continue;
    if (c.closing) {
      *error = net::kWsaEConnAborted;
    } else if (n == 0) {
      *peer_closed = true;
    } else {
      *error = e;
    }
    return false;
  }
  return true;
}

bool TcpServer::WriteAll(Connection& c, const uint8_t* buf, size_t len, int* error) {
  using Steady = std::chrono::steady_clock;
  *error = 0;
  size_t sent = 0;
  auto last_progress = Steady::now();
  while (sent < len) {
    if (c.closing) {
      *error = net::kWsaEConnAborted;
      return false;
    }
    int e = 0;
    const long n = net::Send(c.socket, buf + sent, len - sent, &e);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      last_progress = Steady::now();
      continue;
    }
    if (n < 0 && e != net::kWsaEWouldBlock && e != net::kWsaEIntr) {
      *error = c.closing ? net::kWsaEConnAborted : e;
      return false;
    }
    // The peer's window is full: wait for room, in slices short enough to
    // notice closing, and give up when nothing moved for the stall bound.
    const auto stalled =
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - last_progress).count();
    if (stalled >= static_cast<long long>(options_.send_stall_ms)) {
      *error = net::kWsaETimedOut;
      return false;
    }
    const long long left = static_cast<long long>(options_.send_stall_ms) - stalled;
    const int wait_ms = static_cast<int>(std::min<long long>(left, kReadWaitMs));
    if (net::PollOne(c.socket, false, true, wait_ms, &e) < 0) {
      *error = c.closing ? net::kWsaEConnAborted : e;
      return false;
    }
  }
  return true;
}

ConnectionTraffic TcpServer::TrafficOf(const Connection& c) const {
  ConnectionTraffic t;
  const uint64_t now = clock_->TickMs();
  t.up_ms = now > c.connected_at_ms ? now - c.connected_at_ms : 0;
  t.rx_frames = c.rx_frames;
  t.rx_bytes = c.rx_bytes;
  t.last_rx_ms = c.last_rx_ms;
  t.tx_frames = c.tx_frames;
  t.tx_bytes = c.tx_bytes;
  t.last_tx_ms = c.last_tx_ms;
  return t;
}

void TcpServer::DisconnectAfterFailure(size_t s, const ConnectionPtr& c, const std::string* cause) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A connection that was already replaced, dropped or stopped is not the
    // slot's business any more.
    if (slots_[s].client != c) return;
    if (cause) {
      LogInfo("[TCP] Client disconnected (%s:%u, slot %zu): %s", c->address.c_str(), PortArg(c->port), s,
              cause->c_str());
    } else {
      LogInfo("[TCP] Client disconnected (%s:%u, slot %zu)", c->address.c_str(), PortArg(c->port), s);
    }
    c->Shut();
    PromoteLocked(s);
  }
  cv_.notify_all();
}

bool TcpServer::ReceiveFrame(size_t s, std::vector<uint8_t>* out, uint64_t expected_key) {
  if (out) out->clear();
  ConnectionPtr c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (s < slots_.size() && out) {
      const Slot& slot = slots_[s];
      if (slot.client && slot.active && (expected_key == 0 || slot.client->key == expected_key)) c = slot.client;
    }
  }
  if (!c) {
    SetResult(3, "No active TCP client", kEFail);
    return false;
  }

  auto fail = [&](const char* message, TransferPhase phase, int error, bool peer_closed) {
    out->clear();
    SetResult(3, message, HResultOrFail(error));
    const DisconnectReason reason = ClassifyDisconnect(c->closing, peer_closed, error);
    const std::string cause = FormatDisconnectCause(reason, phase, error, TrafficOf(*c));
    DisconnectAfterFailure(s, c, &cause);
    return false;
  };

  uint8_t header[kHeaderBytes];
  int error = 0;
  bool peer_closed = false;
  if (!ReadExact(*c, header, sizeof header, &error, &peer_closed)) {
    return fail("Failed to receive frame header", TransferPhase::kWaitingForHeader, error, peer_closed);
  }
  // The length comes from the peer, possibly before it authenticated: check
  // it before anything is allocated for the payload.
  const uint32_t length = LoadBe32(header);
  if (length - 1u > kMaxFrameBytes - 1u) {
    LogError("[TCP] Invalid frame size: %u", length);
    SetResult(4, "Invalid TCP frame size", kEFail);
    DisconnectAfterFailure(s, c, nullptr);
    return false;
  }
  out->resize(length);
  if (!ReadExact(*c, out->data(), length, &error, &peer_closed)) {
    return fail("Failed to receive frame payload", TransferPhase::kReadingPayload, error, peer_closed);
  }
  c->rx_frames += 1;
  c->rx_bytes += static_cast<uint64_t>(length) + kHeaderBytes;
  const uint64_t now = clock_->TickMs();
  c->last_rx_ms = static_cast<int64_t>(now > c->connected_at_ms ? now - c->connected_at_ms : 0);
  SetSuccess();
  return true;
}

bool TcpServer::SendFrame(size_t s, const uint8_t* data, size_t length) {
  if (s >= slots_.size()) {
    SetResult(3, "No active TCP client", kEFail);
    return false;
  }
  // A peer with the same limit would reject the frame and drop the
  // connection, so such a frame never leaves; the connection stays.
  if (length > kMaxFrameBytes) {
    LogError("[TCP] Refusing to send a frame of %zu bytes on slot %zu (limit %u)", length, s, kMaxFrameBytes);
    SetResult(2, "Frame too large to send", kEInvalidArg);
    return false;
  }
  if (data == nullptr && length > 0) {
    LogError("[TCP] Refusing to send a frame without data on slot %zu", s);
    SetResult(2, "Frame without data", kEInvalidArg);
    return false;
  }

  Slot& slot = slots_[s];  // the table never changes size; the mutex stays put
  std::lock_guard<std::mutex> send_lock(slot.send_mutex);
  ConnectionPtr c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot.client && slot.active) c = slot.client;
  }
  if (!c) {
    SetResult(3, "No active TCP client", kEFail);
    return false;
  }

  auto fail = [&](const char* message, int error) {
    SetResult(2, message, HResultOrFail(error));
    const DisconnectReason reason = ClassifyDisconnect(c->closing, false, error);
    const std::string cause = FormatDisconnectCause(reason, TransferPhase::kSending, error, TrafficOf(*c));
    DisconnectAfterFailure(s, c, &cause);
    return false;
  };

  uint8_t header[kHeaderBytes];
  StoreBe32(header, static_cast<uint32_t>(length));
  int error = 0;
  if (!WriteAll(*c, header, sizeof header, &error)) return fail("Failed to send frame header", error);
  if (length > 0 && !WriteAll(*c, data, length, &error)) return fail("Failed to send frame payload", error);
  c->tx_frames += 1;
  c->tx_bytes += static_cast<uint64_t>(length) + kHeaderBytes;
  const uint64_t now = clock_->TickMs();
  c->last_tx_ms = static_cast<int64_t>(now > c->connected_at_ms ? now - c->connected_at_ms : 0);
  SetSuccess();
  return true;
}

bool TcpServer::DropClient(size_t s, uint64_t connection_key, const char* reason) {
  if (s >= slots_.size()) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Slot& slot = slots_[s];
    if (!slot.client || slot.client->key != connection_key) return false;
    LogWarn("[TCP] Dropping client %s:%u of slot %zu (%s)", slot.client->address.c_str(),
            PortArg(slot.client->port), s, reason ? reason : "requested");
    slot.client->Shut();
    PromoteLocked(s);
  }
  cv_.notify_all();
  return true;
}

void TcpServer::SetClientId(size_t s, uint64_t connection_key, const std::string& client_id) {
  if (s >= slots_.size()) return;
  std::lock_guard<std::mutex> lock(mu_);
  Slot& slot = slots_[s];
  if (slot.client && slot.client->key == connection_key) slot.client_id = client_id;
}

uint64_t TcpServer::ConnectionKey(size_t s) const {
  if (s >= slots_.size()) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  const Slot& slot = slots_[s];
  return slot.active && slot.client ? slot.client->key : 0;
}

std::string TcpServer::PeerAddress(size_t s) const {
  if (s >= slots_.size()) return {};
  std::lock_guard<std::mutex> lock(mu_);
  const Slot& slot = slots_[s];
  return slot.active && slot.client ? slot.client->address : std::string();
}

bool TcpServer::HasActiveClient(size_t s) const {
  if (s >= slots_.size()) return false;
  std::lock_guard<std::mutex> lock(mu_);
  const Slot& slot = slots_[s];
  return slot.active && slot.client != nullptr;
}

}  // namespace orvane
