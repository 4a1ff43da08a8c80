#include "host/transport/input_receiver.h"

#include <chrono>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "host/app/logger.h"

namespace orvane {

namespace {

// Dotted IPv4 text to its four bytes. The text is checked by the platform
// parser first, so what is accepted here is exactly what the sockets accept.
bool ParseIpv4(const std::string& text, std::array<uint8_t, 4>* out) {
  if (!net::IsValidIpv4(text)) return false;
  std::array<uint8_t, 4> bytes{};
  size_t part = 0;
  unsigned value = 0;
  bool digit_seen = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (value > 255) return false;
      digit_seen = true;
    } else if (c == '.' && digit_seen && part < 3) {
      bytes[part++] = static_cast<uint8_t>(value);
      value = 0;
      digit_seen = false;
    } else {
      return false;
    }
  }
  if (part != 3 || !digit_seen) return false;
  bytes[3] = static_cast<uint8_t>(value);
  *out = bytes;
  return true;
}

}  // namespace

InputReceiver::InputReceiver(IClock& clock) : clock_(clock) {}

InputReceiver::~InputReceiver() { Close(); }

void InputReceiver::AdoptSocket(net::Socket bound_socket, uint16_t port) {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  if (adopted_socket_ != net::kInvalidSocket && adopted_socket_ != bound_socket) {
    // The thread may be reading the old socket; it must be gone before the
    // socket is closed.
    if (running_.load()) {
      if (own_socket_ == net::kInvalidSocket) StopLocked();
    } else {
      ReleaseLocked();
    }
    // Still in use only when a callback adopts on its own thread; then the
    // old socket is closed once that thread has been joined.
    if (thread_.joinable() && own_socket_ == net::kInvalidSocket) {
      own_socket_ = adopted_socket_;
    } else {
      net::Close(adopted_socket_);
    }
  }
  adopted_socket_ = bound_socket;
  adopted_port_ = bound_socket == net::kInvalidSocket ? 0 : port;
}

bool InputReceiver::SetExpectedPeer(const std::string& ipv4) {
  std::array<uint8_t, 4> bytes{};
  if (!ParseIpv4(ipv4, &bytes)) {
    LogWarn("[UDPRecv] Refusing invalid expected peer address: %s", EscapeUntrusted(ipv4).c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  expected_peer_ = bytes;
  expected_peer_set_ = true;
  return true;
}

void InputReceiver::ClearPeerAndKeys() {
  std::lock_guard<std::mutex> lock(mu_);
  expected_peer_ = {};
  expected_peer_set_ = false;
  // The input key, its generation and the replay window are cleared here as
  // well once the envelope is wired in.
}

bool InputReceiver::Start(uint16_t port, DatagramCallback callback) {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  if (running_.load()) return true;
  ReleaseLocked();
  if (thread_.joinable()) {
    // Stopped and restarted from its own callback: the old thread has not
    // ended yet and cannot be replaced from inside itself.
    SetResult(HostResult::Failure(1, "UDP receiver is still stopping", kEFail));
    return false;
  }

  net::Socket s = net::kInvalidSocket;
  const bool use_adopted = adopted_socket_ != net::kInvalidSocket && adopted_port_ == port;
  if (use_adopted) {
    s = adopted_socket_;
  } else {
    int error = 0;
    s = net::Create(net::Kind::kUdp, &error);
    if (s == net::kInvalidSocket) {
      LogError("[UDPRecv] socket() failed: %d", error);
      SetResult(HostResult::Failure(1, "UDP receiver socket() failed", HResultFromWin32(error)));
      return false;
    }
    if (const int e = net::Bind(s, "", port); e != 0) {
      LogError("[UDPRecv] bind() failed on port %u: %d", static_cast<unsigned>(port), e);
      SetResult(HostResult::Failure(1, "UDP receiver bind() failed", HResultFromWin32(e)));
      net::Close(s);
      return false;
    }
  }
  if (const int e = net::SetReceiveBuffer(s, kInputReceiveBufferBytes); e != 0) {
    LogWarn("[UDPRecv] setsockopt(SO_RCVBUF, %d) failed: %d", kInputReceiveBufferBytes, e);
  }
  // Non-blocking, so a datagram that poll announced but the stack discarded
  // (bad checksum) cannot leave the thread stuck in recvfrom.
  if (const int e = net::SetNonBlocking(s, true); e != 0) {
    LogError("[UDPRecv] Could not make the input socket non-blocking: %d", e);
    SetResult(HostResult::Failure(1, "UDP receiver socket() failed", HResultFromWin32(e)));
    if (!use_adopted) net::Close(s);
    return false;
  }
  uint16_t listen_port = port;
  if (listen_port == 0) {
    int error = 0;
    listen_port = net::LocalPort(s, &error);
    if (listen_port == 0) LogWarn("[UDPRecv] getsockname() failed: %d", error);
  }

  callback_ = std::move(callback);
  running_.store(true);
  try {
    thread_ = std::thread([this, s] { ReceiveLoop(s); });
  } catch (const std::system_error& e) {
    running_.store(false);
    callback_ = nullptr;
    LogError("[UDPRecv] Could not start the receive thread: %s", e.what());
    SetResult(HostResult::Failure(1, "UDP receiver thread could not start", kEFail));
    if (!use_adopted) net::Close(s);
    return false;
  }
  if (!use_adopted) own_socket_ = s;
  bound_port_.store(listen_port);
  LogInfo("[UDPRecv] Listening for input on port %u", static_cast<unsigned>(listen_port));
  SetResult(HostResult::Success());
  return true;
}

void InputReceiver::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  StopLocked();
}

void InputReceiver::Close() {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  StopLocked();
  // From the receive thread itself the thread is still using its socket; it
  // is closed by the next Start, Stop or Close from another thread, or by the
  // destructor.
  if (thread_.joinable()) return;
  if (adopted_socket_ != net::kInvalidSocket) {
    net::Close(adopted_socket_);
    adopted_socket_ = net::kInvalidSocket;
    adopted_port_ = 0;
  }
}

bool InputReceiver::Running() const { return running_.load(); }

uint16_t InputReceiver::Port() const { return running_.load() ? bound_port_.load() : 0; }

HostResult InputReceiver::LastResult() const {
  std::lock_guard<std::mutex> lock(result_mu_);
  return last_result_;
}

void InputReceiver::StopLocked() {
  running_.store(false);
  bound_port_.store(0);
  ReleaseLocked();
}

void InputReceiver::ReleaseLocked() {
  if (thread_.joinable()) {
    // A stop requested by the callback cannot join its own thread: the flag
    // is cleared and the thread ends after the callback returns; the next
    // lifecycle call from another thread joins it.
    if (thread_.get_id() == std::this_thread::get_id()) return;
    thread_.join();
  }
  callback_ = nullptr;
  if (own_socket_ != net::kInvalidSocket) {
    net::Close(own_socket_);
    own_socket_ = net::kInvalidSocket;
  }
}

void InputReceiver::ReceiveLoop(net::Socket socket) {
  // The buffer holds the largest possible datagram; allocated once per run.
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(kMaxUdpDatagramBytes);
  } catch (const std::exception&) {
    LogError("[UDPRecv] Could not allocate the %zu-byte receive buffer", kMaxUdpDatagramBytes);
    SetResult(HostResult::Failure(3, "recvfrom() failed on UDP input channel", kEOutOfMemory));
    running_.store(false);
    return;
  }

  while (running_.load()) {
    int error = 0;
    const int ready = net::PollOne(socket, true, false, kInputPollIntervalMs, &error);
    if (ready == 0) continue;
    if (!running_.load()) break;
    if (ready < 0) {
      if (error == net::kWsaEIntr) continue;
      uint64_t suppressed = 0;
      if (recv_error_log_.Allow(clock_.TickMs(), &suppressed)) {
        LogError("[UDPRecv] poll() failed: %d (suppressed=%llu)", error, static_cast<unsigned long long>(suppressed));
      }
      SetResult(HostResult::Failure(3, "recvfrom() failed on UDP input channel", HResultFromWin32(error)));
      // Do not spin on a socket that keeps failing; Stop still sees the flag
      // within one interval.
      std::this_thread::sleep_for(std::chrono::milliseconds(kInputPollIntervalMs));
      continue;
    }

    net::Endpoint from;
    const long n = net::RecvFrom(socket, buffer.data(), buffer.size(), &from, &error);
    if (n < 0) {
      if (!running_.load()) break;
      // A reset reports an earlier send's ICMP port-unreachable; an interrupt
      // or an empty queue after poll is harmless.
      if (error == net::kWsaEConnReset || error == net::kWsaEIntr || error == net::kWsaEWouldBlock) continue;
      uint64_t suppressed = 0;
      if (recv_error_log_.Allow(clock_.TickMs(), &suppressed)) {
        LogError("[UDPRecv] recvfrom error: %d", error);
      }
      SetResult(HostResult::Failure(3, "recvfrom() failed on UDP input channel", HResultFromWin32(error)));
      continue;
    }
    HandleDatagram(buffer.data(), static_cast<size_t>(n), from);
  }
}

void InputReceiver::HandleDatagram(const uint8_t* data, size_t length, const net::Endpoint& from) {
  if (!callback_) return;
  std::array<uint8_t, 4> source{};
  if (!ParseIpv4(from.address, &source)) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Silently: anyone on the network can send here, and a line per
    // datagram would let them fill the log.
    if (!expected_peer_set_ || source != expected_peer_) return;
    // The secure envelope is opened here, under this lock, with the input
    // key, its generation and the replay window; a datagram that is not an
    // envelope, does not open, or repeats a counter goes no further. Until
    // the keys are wired in, the payload passes through unchanged.
  }
  callback_(data, length, from);
}

void InputReceiver::SetResult(HostResult result) {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = std::move(result);
}

}  // namespace orvane
