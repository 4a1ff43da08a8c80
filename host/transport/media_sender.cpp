#include "host/transport/media_sender.h"

#include "host/app/logger.h"

namespace orvane {

MediaSender::~MediaSender() { CloseSocket(); }

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

HostResult MediaSender::LastResult() const {
  std::lock_guard<std::mutex> lock(result_mu_);
  return last_result_;
}

void MediaSender::SetResult(HostResult result) {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = std::move(result);
}

void MediaSender::ClearKeysLocked() {
  // The media keys and their send counter live here once the envelope is
  // wired in; they are wiped and the counter reset to 0 at this point.
}

}  // namespace orvane
