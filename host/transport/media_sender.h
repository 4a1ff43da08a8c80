#pragma once
// The session's media socket: one unconnected IPv4 UDP socket that sends
// video, parity and audio to the tablet's address and media port.
//
// This first version holds the socket, the destination and the
// enabled/disabled state. A datagram is only ever sent when a destination is
// configured; Disable() drops the destination and all key material, so after
// it nothing leaves until SetRemote() is called again.
//
// Results: every operation returns bool and records LastResult():
//   code 1 "UDP sender socket() failed"      (CreateSocket; hr from the Winsock error)
//   code 1 "Invalid UDP remote address"      (SetRemote)

#include <cstdint>
#include <mutex>
#include <string>

#include "host/common/host_result.h"
#include "host/common/net.h"

namespace orvane {

// Send buffer of the media socket: 8 MiB absorbs what the pacer lets through.
inline constexpr int kMediaSendBufferBytes = 8 * 1024 * 1024;

class MediaSender {
 public:
  MediaSender() = default;
  ~MediaSender();
  MediaSender(const MediaSender&) = delete;
  MediaSender& operator=(const MediaSender&) = delete;

  // Opens the IPv4 UDP socket (an open one is kept). False and LastResult()
  // on failure.
  bool CreateSocket();
  // The tablet's dotted IPv4 address and media port. An address that does not
  // parse, or port 0, is refused and clears any previous destination.
  bool SetRemote(const std::string& ipv4, uint16_t port);
  // Clears keys and destination; nothing is sent afterwards. The socket stays
  // open for the next tablet.
  void Disable();
  // True while the socket is open and a destination is configured.
  bool Enabled() const;
  // The configured destination; false when there is none.
  bool Remote(net::Endpoint* out) const;
  // Closes the socket; the destination and keys are cleared as well.
  void CloseSocket();
  HostResult LastResult() const;

 private:
  void SetResult(HostResult result);
  void ClearKeysLocked();

  mutable std::mutex send_mu_;  // socket, destination, keys
  net::Socket socket_ = net::kInvalidSocket;
  net::Endpoint remote_;
  bool remote_configured_ = false;

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
