#include "host/transport/media_sender.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "host/app/logger.h"

namespace orvane {

namespace {

// The receiver treats a counter with the top bit set as invalid, so the
// sender stops before it would send one.
constexpr uint64_t kMaxMediaCounter = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

HostResult EncryptFailure(HResult hr = kEFail) { return HostResult::Failure(7, "Failed to encrypt UDP payload", hr); }

}  // namespace

MediaSender::MediaSender(IClock& clock) : clock_(clock) {}

MediaSender::~MediaSender() {
  CloseSocket();
  std::lock_guard<std::mutex> lock(send_mu_);
  crypto::SecureWipe(keys_seen_.data(), sizeof(keys_seen_));
}

bool MediaSender::CreateSocket() {
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    if (socket_ == net::kInvalidSocket) {
      int error = 0;
      const net::Socket s = net::Create(net::Kind::kUdp, &error);
      if (s == net::kInvalidSocket) {
        LogError("[UDPSend] socket() failed: %d", error);
        SetResult(HostResult::Failure(1, "UDP sender socket() failed", HResultFromWin32(error)));
        return false;
      }
      // A smaller buffer only means earlier drops under bursts; the socket
      // still works, so this is a warning.
      if (const int e = net::SetSendBuffer(s, kMediaSendBufferBytes); e != 0) {
        LogWarn("[UDPSend] setsockopt(SO_SNDBUF, %d) failed: %d", kMediaSendBufferBytes, e);
      }
      socket_ = s;
    }
  }
  SetResult(HostResult::Success());
  return true;
}

bool MediaSender::SetRemote(const std::string& ipv4, uint16_t port) {
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    ok = port != 0 && net::IsValidIpv4(ipv4);
    if (ok) {
      remote_.address = ipv4;
      remote_.port = port;
    } else {
      remote_ = net::Endpoint{};
    }
    remote_configured_ = ok;
  }
  SetResult(ok ? HostResult::Success()
               : HostResult::Failure(1, "Invalid UDP remote address", HResultFromWin32(net::kWsaEInval)));
  return ok;
}

void MediaSender::Disable() {
  std::lock_guard<std::mutex> lock(send_mu_);
  ClearKeysLocked();
  remote_ = net::Endpoint{};
  remote_configured_ = false;
}

bool MediaSender::Enabled() const {
  std::lock_guard<std::mutex> lock(send_mu_);
  return socket_ != net::kInvalidSocket && remote_configured_;
}

bool MediaSender::Remote(net::Endpoint* out) const {
  std::lock_guard<std::mutex> lock(send_mu_);
  if (!remote_configured_) return false;
  if (out) *out = remote_;
  return true;
}

void MediaSender::CloseSocket() {
  std::lock_guard<std::mutex> lock(send_mu_);
  ClearKeysLocked();
  remote_ = net::Endpoint{};
  remote_configured_ = false;
  if (socket_ != net::kInvalidSocket) {
    net::Close(socket_);
    socket_ = net::kInvalidSocket;
  }
}

bool MediaSender::SetMediaKey(crypto::ByteView key) {
  if (key.size() < security::kEnvelopeKeyBytes) {
    // Fail closed: whatever key was installed before is not the one the
    // session wants any more.
    ClearMediaKey();
    LogError("[UDPSend] Refusing a media key of %zu bytes", key.size());
    SetResult(HostResult::Failure(7, "Media key must be at least 16 bytes", kEInvalidArg));
    return false;
  }
  const crypto::ByteView cipher_key = key.first(security::kEnvelopeKeyBytes);
  crypto::Digest digest{};
  if (!crypto::Sha256({cipher_key}, &digest)) {
    // Without the digest a repeated key cannot be recognised, and starting it
    // at 0 again could reuse nonces.
    ClearMediaKey();
    LogError("[UDPSend] Could not fingerprint the media key; media stays disabled");
    SetResult(HostResult::Failure(7, "Media key could not be installed", kEFail));
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    auto known = std::find_if(keys_seen_.begin(), keys_seen_.end(), [&](const KeyCounter& k) {
      return k.valid && crypto::ConstantTimeEqual(k.digest, digest);
    });
    if (known != keys_seen_.end()) {
      // Most recent first: the key moves to the front with its counter.
      std::rotate(keys_seen_.begin(), known, known + 1);
    } else {
      // The oldest remembered key drops out.
      std::rotate(keys_seen_.begin(), keys_seen_.end() - 1, keys_seen_.end());
      keys_seen_[0] = KeyCounter{digest, 0, true};
    }
    std::copy(cipher_key.begin(), cipher_key.end(), key_.begin());
    has_key_ = true;
  }
  crypto::SecureWipe(digest.data(), digest.size());
  SetResult(HostResult::Success());
  return true;
}

void MediaSender::ClearMediaKey() {
  std::lock_guard<std::mutex> lock(send_mu_);
  ClearKeysLocked();
}

bool MediaSender::HasMediaKey() const {
  std::lock_guard<std::mutex> lock(send_mu_);
  return has_key_;
}

bool MediaSender::SealMediaDatagram(crypto::ByteView datagram, crypto::Bytes* out) {
  HostResult failure;
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    ok = SealLocked(datagram, out, &failure);
  }
  if (!ok) LogSendProblem(failure.message.c_str(), 0);
  SetResult(ok ? HostResult::Success() : std::move(failure));
  return ok;
}

bool MediaSender::SendDatagram(const uint8_t* data, size_t length) {
  HostResult failure;
  int send_error = 0;
  bool ok = false;
  {
    // One lock from the key and counter to sendto: datagrams leave in
    // counter order, and a concurrent Disable cannot slip in between.
    std::lock_guard<std::mutex> lock(send_mu_);
    if (socket_ == net::kInvalidSocket || !remote_configured_) {
      failure = HostResult::Failure(2, "UDP remote is not configured", kEFail);
    } else if (data == nullptr && length != 0) {
      failure = EncryptFailure(kEInvalidArg);
    } else {
      crypto::Bytes frame;
      if (SealLocked(crypto::ByteView(data, length), &frame, &failure)) {
        const long sent = net::SendTo(socket_, frame.data(), frame.size(), remote_, &send_error);
        if (sent == static_cast<long>(frame.size())) {
          ok = true;
        } else {
          // A datagram is sent whole or not at all; a short count still
          // means it did not leave as one piece.
          if (sent >= 0 || send_error == 0) send_error = net::kWsaEMsgSize;
          failure = HostResult::Failure(2, "sendto() failed for encrypted UDP payload", HResultFromWin32(send_error));
        }
      }
    }
  }
  if (!ok) LogSendProblem(failure.message.c_str(), send_error);
  SetResult(ok ? HostResult::Success() : std::move(failure));
  return ok;
}

HostResult MediaSender::LastResult() const {
  std::lock_guard<std::mutex> lock(result_mu_);
  return last_result_;
}

bool MediaSender::SealLocked(crypto::ByteView datagram, crypto::Bytes* out, HostResult* failure) {
  out->clear();
  if (!has_key_) {
    // Never plaintext: a datagram without its envelope would expose the
    // stream and let anyone on the path inject into it.
    *failure = HostResult::Failure(7, "No media key installed: datagram not sent", kEFail);
    return false;
  }
  KeyCounter& current = keys_seen_[0];
  if (current.next_counter > kMaxMediaCounter) {
    *failure = EncryptFailure();
    return false;
  }
  // The counter is consumed even when sealing or sending fails afterwards:
  // it must never be handed out twice under this key.
  const uint64_t counter = current.next_counter++;
  *out = security::SealSecureFrame(aes_, key_, security::kNonceMedia, counter, datagram);
  if (out->empty()) {
    *failure = EncryptFailure();
    return false;
  }
  return true;
}

void MediaSender::SetResult(HostResult result) {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = std::move(result);
}

void MediaSender::ClearKeysLocked() {
  // The counter stays in keys_seen_[0]: the same key installed again goes on
  // from there.
  crypto::SecureWipe(key_.data(), key_.size());
  has_key_ = false;
  aes_.ClearKey();
}

void MediaSender::LogSendProblem(const char* what, int error) {
  // The frame loop calls this for every fragment; one line per interval is
  // enough to see the problem.
  uint64_t suppressed = 0;
  if (!send_log_.Allow(clock_.TickMs(), &suppressed)) return;
  if (error != 0) {
    LogWarn("[UDPSend] %s: %d (%llu similar suppressed)", what, error, static_cast<unsigned long long>(suppressed));
  } else {
    LogWarn("[UDPSend] %s (%llu similar suppressed)", what, static_cast<unsigned long long>(suppressed));
  }
}

}  // namespace orvane
