#pragma once
// The tablet's control connection: one TCP connection to the host's control
// port, carrying whole frames in both directions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/net.h"
#include "tools/tablet_sim/sim_framing.h"
#include "tools/tablet_sim/sim_messages.h"

namespace orvane::sim {

// Reads from a blocking stream socket, waiting at most until the deadline
// (a TickMs() value of the clock; none = wait as long as it takes).
class SocketByteSource final : public IByteSource {
 public:
  SocketByteSource(net::Socket socket, IClock& clock) : socket_(socket), clock_(clock) {}
  void SetDeadline(std::optional<uint64_t> deadline_ms) { deadline_ms_ = deadline_ms; }
  ReadChunk Read(uint8_t* buffer, size_t capacity) override;

 private:
  net::Socket socket_;
  IClock& clock_;
  std::optional<uint64_t> deadline_ms_;
};

class ControlConnection {
 public:
  explicit ControlConnection(IClock& clock) : clock_(clock) {}
  ~ControlConnection() { Close(); }
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  // Blocking connect; 0 or the Winsock-numbered error.
  int Connect(const std::string& address, uint16_t port);
  bool connected() const { return socket_ != net::kInvalidSocket; }
  uint16_t local_port() const { return local_port_; }
  // Errors of the socket set-up after a successful connect (0 = fine); the
  // connection works without them, the caller reports them.
  int nodelay_error() const { return nodelay_error_; }
  int local_port_error() const { return local_port_error_; }

  // One whole frame. A payload outside 1..1 MiB is refused with
  // kWsaEMsgSize before anything is sent.
  bool SendFrame(const uint8_t* payload, size_t length, int* error);
  // Serialises and sends one plain ControlMessage; its serialised size on success.
  bool SendMessage(const pb::ControlMessage& message, size_t* bytes, int* error);

  // Blocks until a frame arrived, the connection ended or the deadline passed.
  FrameStatus ReceiveFrame(std::optional<uint64_t> deadline_ms, std::vector<uint8_t>* payload);
  const FrameReader& reader() const { return reader_; }

  uint64_t frames_received() const { return frames_received_; }
  uint64_t frames_sent() const { return frames_sent_; }

  void Close();

 private:
  IClock& clock_;
  net::Socket socket_ = net::kInvalidSocket;
  uint16_t local_port_ = 0;
  int nodelay_error_ = 0;
  int local_port_error_ = 0;
  FrameReader reader_;
  uint64_t frames_received_ = 0;
  uint64_t frames_sent_ = 0;
};

}  // namespace orvane::sim
