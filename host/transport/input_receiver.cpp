#include "host/transport/input_receiver.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <system_error>
#include <utility>
#include <vector>

#include "host/common/logger.h"

namespace orvane {

// The text is checked by the platform parser first, so what is accepted here is
// exactly what the sockets accept.
bool ParseIpv4Address(const std::string& text, Ipv4Address* out) {
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

const char* InputVerdictName(InputVerdict verdict) {
  switch (verdict) {
    case InputVerdict::kAccepted: return "accepted";
    case InputVerdict::kNoKeyOrPeer: return "no-key-or-peer";
    case InputVerdict::kWrongPeer: return "wrong-peer";
    case InputVerdict::kNotSecureFrame: return "not-secure-frame";
    case InputVerdict::kCounterTooLarge: return "counter-too-large";
    case InputVerdict::kDecryptFailed: return "decrypt-failed";
    case InputVerdict::kKeyChanged: return "key-changed";
    case InputVerdict::kReplayed: return "replayed";
    case InputVerdict::kOversized: return "oversized";
  }
  return "unknown";
}

// ------------------------------------------------------------------ gate

InputDatagramGate::~InputDatagramGate() {
  std::lock_guard<std::mutex> lock(mu_);
  ResetKeyLocked();
}

bool InputDatagramGate::SetKey(crypto::ByteView key) {
  std::lock_guard<std::mutex> lock(mu_);
  // The same key again (the session re-applies its transport settings)
  // keeps its replay window: emptying it would let captured datagrams in
  // once more.
  if (has_key_ && key.size() >= security::kEnvelopeKeyBytes &&
      crypto::ConstantTimeEqual(key.first(security::kEnvelopeKeyBytes), crypto::ByteView(key_))) {
    return true;
  }
  ResetKeyLocked();
  if (key.size() < security::kEnvelopeKeyBytes) return false;
  std::copy(key.begin(), key.begin() + security::kEnvelopeKeyBytes, key_.begin());
  has_key_ = true;
  return true;
}

void InputDatagramGate::ClearKey() {
  std::lock_guard<std::mutex> lock(mu_);
  ResetKeyLocked();
}

void InputDatagramGate::SetExpectedPeer(const Ipv4Address& address) {
  std::lock_guard<std::mutex> lock(mu_);
  expected_peer_ = address;
  expected_peer_set_ = true;
}

void InputDatagramGate::ClearPeerAndKey() {
  std::lock_guard<std::mutex> lock(mu_);
  ResetKeyLocked();
  expected_peer_ = {};
  expected_peer_set_ = false;
}

bool InputDatagramGate::HasKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return has_key_;
}

bool InputDatagramGate::HasExpectedPeer() const {
  std::lock_guard<std::mutex> lock(mu_);
  return expected_peer_set_;
}

InputVerdict InputDatagramGate::Snapshot(const Ipv4Address& source, KeySnapshot* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!has_key_ || !expected_peer_set_) return InputVerdict::kNoKeyOrPeer;
  if (source != expected_peer_) return InputVerdict::kWrongPeer;
  out->key = key_;
  out->generation = generation_;
  return InputVerdict::kAccepted;
}

InputVerdict InputDatagramGate::Decrypt(crypto::AesGcm& aes, const KeySnapshot& key, crypto::ByteView datagram,
                                        uint64_t* counter, crypto::Bytes* plaintext) {
  plaintext->clear();
  security::SecureFrameView frame;
  if (!security::ParseSecureFrame(datagram, &frame) || !frame.encrypted()) return InputVerdict::kNotSecureFrame;
  *counter = frame.counter;
  // The tablet never sends such a counter; as a signed number it would be
  // negative.
  if ((frame.counter >> 63) != 0) return InputVerdict::kCounterTooLarge;
  // An empty plaintext carries no event; it is treated like a frame that did
  // not open.
  if (!security::OpenAesGcm(aes, key.key, security::kNonceInput, frame.counter, frame.payload, plaintext) ||
      plaintext->empty()) {
    return InputVerdict::kDecryptFailed;
  }
  return InputVerdict::kAccepted;
}

InputVerdict InputDatagramGate::Commit(uint64_t generation, uint64_t counter) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!has_key_ || generation != generation_) return InputVerdict::kKeyChanged;
  return window_.Accept(counter) ? InputVerdict::kAccepted : InputVerdict::kReplayed;
}

InputVerdict InputDatagramGate::Open(crypto::AesGcm& aes, crypto::ByteView datagram, const Ipv4Address& source,
                                     crypto::Bytes* plaintext) {
  plaintext->clear();
  KeySnapshot key;
  InputVerdict verdict = Snapshot(source, &key);
  if (verdict != InputVerdict::kAccepted) return verdict;
  uint64_t counter = 0;
  verdict = Decrypt(aes, key, datagram, &counter, plaintext);
  if (verdict == InputVerdict::kAccepted) verdict = Commit(key.generation, counter);
  if (verdict != InputVerdict::kAccepted) crypto::SecureWipe(*plaintext);
  return verdict;
}

void InputDatagramGate::ResetKeyLocked() {
  crypto::SecureWipe(key_.data(), key_.size());
  has_key_ = false;
  ++generation_;
  window_.Reset();
}

// ------------------------------------------------------- receive errors

InputRecvErrorPolicy::Kind InputRecvErrorPolicy::Classify(int error) {
  switch (error) {
    // A reset reports an earlier send's ICMP port-unreachable; an interrupt
    // or an empty queue after poll (the stack discarded a datagram with a
    // bad checksum) is harmless.
    case net::kWsaEConnReset:
    case net::kWsaEIntr:
    case net::kWsaEWouldBlock: return Kind::kHarmless;
    case net::kWsaEMsgSize: return Kind::kOversized;
    default: return Kind::kUnexpected;
  }
}

InputRecvErrorPolicy::Step InputRecvErrorPolicy::OnUnexpected(uint64_t now_ms) {
  Step step;
  if (consecutive_ < UINT32_MAX) ++consecutive_;
  step.log = log_.Allow(now_ms, &step.suppressed);
  step.back_off = consecutive_ >= kInputRecvErrorsBeforeBackOff;
  return step;
}

// -------------------------------------------------------------- receiver

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
  Ipv4Address bytes{};
  if (!ParseIpv4Address(ipv4, &bytes)) {
    LogWarn("[UDPRecv] Refusing invalid expected peer address: %s", EscapeUntrusted(ipv4).c_str());
    return false;
  }
  gate_.SetExpectedPeer(bytes);
  return true;
}

void InputReceiver::ClearPeerAndKeys() { gate_.ClearPeerAndKey(); }

bool InputReceiver::SetInputKey(crypto::ByteView key) {
  if (gate_.SetKey(key)) return true;
  LogError("[UDPRecv] Refusing an input key of %zu bytes", key.size());
  SetResult(HostResult::Failure(4, "Input key must be at least 16 bytes", kEInvalidArg));
  return false;
}

void InputReceiver::ClearInputKey() { gate_.ClearKey(); }

uint64_t InputReceiver::VerdictCount(InputVerdict verdict) const {
  const size_t index = static_cast<size_t>(verdict);
  return index < verdicts_.size() ? verdicts_[index].load() : 0;
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
  // This thread's own cipher context: decrypting never waits for another
  // thread, and the key schedule is made once per key.
  crypto::AesGcm aes;
  crypto::Bytes plaintext;
  // One byte more than the largest datagram the tablet sends: a datagram that
  // fills it was longer (the stack cut it short) and is dropped.
  std::array<uint8_t, kMaxInputDatagramBytes + 1> buffer{};
  std::vector<net::PollEntry> poll{net::PollEntry{socket, true, false, false, false}};
  InputRecvErrorPolicy errors;

  while (running_.load()) {
    int error = 0;
    const int ready = net::Poll(poll, kInputPollIntervalMs, &error);
    if (ready == 0) continue;
    if (!running_.load()) break;
    if (ready < 0) {
      if (InputRecvErrorPolicy::Classify(error) != InputRecvErrorPolicy::Kind::kUnexpected) continue;
      HandleUnexpectedError(errors, FailedCall::kPoll, error);
      continue;
    }

    net::Endpoint from;
    const long n = net::RecvFrom(socket, buffer.data(), buffer.size(), &from, &error);
    if (n < 0) {
      if (!running_.load()) break;
      switch (InputRecvErrorPolicy::Classify(error)) {
        case InputRecvErrorPolicy::Kind::kHarmless: break;
        case InputRecvErrorPolicy::Kind::kOversized:
          // Windows reports a datagram longer than the buffer as an error;
          // it is gone from the queue either way.
          errors.OnReceived();
          CountVerdict(InputVerdict::kOversized);
          break;
        case InputRecvErrorPolicy::Kind::kUnexpected:
          HandleUnexpectedError(errors, FailedCall::kRecvFrom, error);
          break;
      }
      continue;
    }
    errors.OnReceived();
    // Before any other check: whoever sent it, it is not the tablet's.
    if (static_cast<size_t>(n) > kMaxInputDatagramBytes) {
      CountVerdict(InputVerdict::kOversized);
      continue;
    }
    HandleDatagram(aes, plaintext, buffer.data(), static_cast<size_t>(n), from);
  }
}

void InputReceiver::HandleUnexpectedError(InputRecvErrorPolicy& policy, FailedCall call, int error) {
  const InputRecvErrorPolicy::Step step = policy.OnUnexpected(clock_.TickMs());
  if (step.log) {
    const unsigned long long suppressed = step.suppressed;
    if (call == FailedCall::kPoll) {
      if (suppressed == 0) {
        LogError("[UDPRecv] poll() failed: %d", error);
      } else {
        LogError("[UDPRecv] poll() failed: %d (suppressed=%llu)", error, suppressed);
      }
    } else if (suppressed == 0) {
      LogError("[UDPRecv] recvfrom error: %d", error);
    } else {
      LogError("[UDPRecv] recvfrom error: %d (suppressed=%llu)", error, suppressed);
    }
  }
  SetResult(HostResult::Failure(3, "recvfrom() failed on UDP input channel", HResultFromWin32(error)));
  // A socket that keeps failing must not spin this thread; Stop still sees
  // the flag after the pause.
  if (step.back_off) clock_.SleepMs(kInputRecvErrorBackOffMs);
}

void InputReceiver::CountVerdict(InputVerdict verdict) {
  verdicts_[static_cast<size_t>(verdict)].fetch_add(1);
}

void InputReceiver::HandleDatagram(crypto::AesGcm& aes, crypto::Bytes& plaintext, const uint8_t* data,
                                   size_t length, const net::Endpoint& from) {
  if (!callback_) return;
  Ipv4Address source{};
  if (!ParseIpv4Address(from.address, &source)) return;
  const InputVerdict verdict = gate_.Open(aes, crypto::ByteView(data, length), source, &plaintext);
  CountVerdict(verdict);
  switch (verdict) {
    case InputVerdict::kAccepted:
      SetResult(HostResult::Success());
      callback_(plaintext.data(), plaintext.size(), from);
      // Keyboard input may be a password.
      crypto::SecureWipe(plaintext);
      return;
    case InputVerdict::kNoKeyOrPeer:
      // The key is gone: so goes this thread's copy of its schedule.
      aes.ClearKey();
      return;
    case InputVerdict::kNotSecureFrame:
      ReportDrop(HostResult::Failure(4, "Plaintext UDP input is not permitted", kEFail), from);
      return;
    case InputVerdict::kDecryptFailed:
      ReportDrop(HostResult::Failure(4, "Failed to decrypt secure UDP input payload", kEFail), from);
      return;
    default:
      // Silently: anyone on the network can send here, and replays or
      // datagrams racing a key change are expected.
      return;
  }
}

void InputReceiver::ReportDrop(HostResult result, const net::Endpoint& from) {
  // Only the tablet's address gets this far, but one line per datagram would
  // still let a broken or hostile sender fill the log.
  uint64_t suppressed = 0;
  if (drop_log_.Allow(clock_.TickMs(), &suppressed)) {
    LogWarn("[UDPRecv] Dropped input datagram from %s: %s (%llu similar suppressed)",
            EscapeUntrusted(from.address).c_str(), result.message.c_str(), static_cast<unsigned long long>(suppressed));
  }
  SetResult(std::move(result));
}

void InputReceiver::SetResult(HostResult result) {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = std::move(result);
}

}  // namespace orvane
