#include "tools/tablet_sim/sim_connection.h"

#include <limits>

namespace orvane::sim {

ReadChunk SocketByteSource::Read(uint8_t* buffer, size_t capacity) {
  ReadChunk chunk;
  for (;;) {
    int timeout_ms = -1;
    if (deadline_ms_) {
      const uint64_t now = clock_.TickMs();
      if (now >= *deadline_ms_) {
        chunk.kind = ReadChunk::Kind::kTimedOut;
        return chunk;
      }
      const uint64_t left = *deadline_ms_ - now;
      timeout_ms = left > static_cast<uint64_t>(std::numeric_limits<int>::max())
                       ? std::numeric_limits<int>::max()
                       : static_cast<int>(left);
    }
    int error = 0;
    const int ready = net::PollOne(socket_, true, false, timeout_ms, &error);
    if (ready < 0 && error == net::kWsaEIntr) continue;  // a signal cut the wait short
    if (ready < 0) {
      chunk.kind = ReadChunk::Kind::kError;
      chunk.error = error;
      return chunk;
    }
    if (ready == 0) continue;  // the deadline check above decides
    const long n = net::Recv(socket_, buffer, capacity, &error);
    if (n > 0) {
      chunk.bytes = static_cast<size_t>(n);
    } else if (n == 0) {
      chunk.kind = ReadChunk::Kind::kClosed;
    } else if (error == net::kWsaEIntr) {
      continue;
    } else {
      chunk.kind = ReadChunk::Kind::kError;
      chunk.error = error;
    }
    return chunk;
  }
}

int ControlConnection::Connect(const std::string& address, uint16_t port) {
  Close();
  int error = 0;
  const net::Socket s = net::Create(net::Kind::kTcp, &error);
  if (s == net::kInvalidSocket) return error != 0 ? error : net::kWsaESysCallFailure;
  error = net::Connect(s, address, port);
  if (error != 0) {
    net::Close(s);
    return error;
  }
  // Control frames are small and latency-bound, as on the host's side.
  nodelay_error_ = net::SetNoDelay(s, true);
  local_port_error_ = 0;
  local_port_ = net::LocalPort(s, &local_port_error_);
  socket_ = s;
  reader_ = FrameReader();
  frames_received_ = 0;
  frames_sent_ = 0;
  return 0;
}

bool ControlConnection::SendFrame(const uint8_t* payload, size_t length, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  if (!connected()) {
    *error = net::kWsaENotConn;
    return false;
  }
  std::vector<uint8_t> frame;
  if (!EncodeFrame(payload, length, &frame)) {
    *error = net::kWsaEMsgSize;
    return false;
  }
  size_t sent = 0;
  while (sent < frame.size()) {
    const long n = net::Send(socket_, frame.data() + sent, frame.size() - sent, error);
    if (n <= 0) {
      if (*error == 0) *error = net::kWsaEConnAborted;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  ++frames_sent_;
  return true;
}

bool ControlConnection::SendMessage(const pb::ControlMessage& message, size_t* bytes, int* error) {
  std::string payload;
  if (!message.SerializeToString(&payload)) {
    if (error) *error = net::kWsaEInval;
    return false;
  }
  if (bytes) *bytes = payload.size();
  return SendFrame(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), error);
}

FrameStatus ControlConnection::ReceiveFrame(std::optional<uint64_t> deadline_ms, std::vector<uint8_t>* payload) {
  if (!connected()) return FrameStatus::kClosed;
  SocketByteSource source(socket_, clock_);
  source.SetDeadline(deadline_ms);
  const FrameStatus status = reader_.Read(source, payload);
  if (status == FrameStatus::kFrame) ++frames_received_;
  return status;
}

void ControlConnection::Close() {
  if (socket_ == net::kInvalidSocket) return;
  net::ShutdownBoth(socket_);
  net::Close(socket_);
  socket_ = net::kInvalidSocket;
}

}  // namespace orvane::sim
