#include "tools/tablet_sim/sim_media_channel.h"

#include <chrono>

#include "host/transport/input_receiver.h"

namespace orvane::sim {

MediaChannel::MediaChannel(IClock& clock, const MediaReceiverConfig& config, uint32_t drop_percent,
                           uint64_t drop_seed)
    : clock_(clock), intake_(config, drop_percent, drop_seed) {}

MediaChannel::~MediaChannel() { Close(); }

int MediaChannel::Open() {
  if (is_open()) return 0;
  int error = 0;
  const net::Socket s = net::Create(net::Kind::kUdp, &error);
  if (s == net::kInvalidSocket) return error != 0 ? error : net::kWsaESysCallFailure;
  receive_buffer_error_ = net::SetReceiveBuffer(s, kMediaReceiveBufferBytes);
  error = net::Bind(s, "", 0);
  uint16_t port = 0;
  if (error == 0) port = net::LocalPort(s, &error);
  if (error != 0 || port == 0) {
    net::Close(s);
    return error != 0 ? error : net::kWsaESysCallFailure;
  }
  socket_ = s;
  port_ = port;
  running_ = true;
  thread_ = std::thread([this] { ReceiveLoop(); });
  return 0;
}

void MediaChannel::Close() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  if (socket_ != net::kInvalidSocket) {
    net::Close(socket_);
    socket_ = net::kInvalidSocket;
  }
  std::lock_guard<std::mutex> lock(mu_);
  intake_.SetKey({});
  sealer_.SetKey({});
}

void MediaChannel::ReceiveLoop() {
  // One byte more than the largest datagram taken: a datagram that fills the
  // buffer was longer (or cut short by the stack) and is not the host's.
  std::vector<uint8_t> buffer(kMaxMediaDatagramBytes + 1);
  while (running_) {
    int error = 0;
    const int ready = net::PollOne(socket_, true, false, kMediaPollIntervalMs, &error);
    if (ready == 0) continue;
    if (ready < 0) {
      if (error == net::kWsaEIntr) continue;
      ++receive_errors_;
      // A socket that keeps failing must not spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    net::Endpoint from;
    const long n = net::RecvFrom(socket_, buffer.data(), buffer.size(), &from, &error);
    if (n < 0) {
      // An earlier punch that found no listener comes back as a reset on
      // Windows; that and interruptions are harmless.
      if (InputRecvErrorPolicy::Classify(error) != InputRecvErrorPolicy::Kind::kHarmless) ++receive_errors_;
      continue;
    }
    if (static_cast<size_t>(n) > kMaxMediaDatagramBytes) {
      ++receive_errors_;
      continue;
    }
    std::lock_guard<std::mutex> lock(mu_);
    intake_.OnDatagram(crypto::ByteView(buffer.data(), static_cast<size_t>(n)), clock_.TickMs());
  }
}

void MediaChannel::SetKey(crypto::ByteView key) {
  std::lock_guard<std::mutex> lock(mu_);
  intake_.SetKey(key);
  sealer_.SetKey(key);
}

bool MediaChannel::SendInput(const std::string& host, uint16_t port, crypto::ByteView plaintext, uint64_t* counter,
                             size_t* bytes, int* error) {
  *error = 0;
  crypto::Bytes datagram;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!sealer_.Seal(plaintext, &datagram, counter)) return false;
  }
  if (!is_open()) {
    *error = net::kWsaENotSock;
    return false;
  }
  *bytes = datagram.size();
  net::Endpoint to;
  to.address = host;
  to.port = port;
  const long sent = net::SendTo(socket_, datagram.data(), datagram.size(), to, error);
  if (sent == static_cast<long>(datagram.size())) return true;
  if (*error == 0) *error = net::kWsaEMsgSize;
  return false;
}

std::vector<uint32_t> MediaChannel::Poll(uint64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  return intake_.receiver().Poll(now_ms);
}

void MediaChannel::SetRoundTripMs(double rtt_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  intake_.receiver().SetRoundTripMs(rtt_ms);
}

std::vector<std::string> MediaChannel::TakeNotes() {
  std::lock_guard<std::mutex> lock(mu_);
  return intake_.receiver().TakeNotes();
}

uint64_t MediaChannel::completed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return intake_.receiver().counters().complete;
}

MediaSummary MediaChannel::Summary() const {
  MediaSummary s;
  std::lock_guard<std::mutex> lock(mu_);
  s.intake = intake_.counters();
  s.media = intake_.receiver().counters();
  s.in_flight = intake_.receiver().units_in_flight();
  s.receive_errors = receive_errors_.load();
  return s;
}

AudioSummary MediaChannel::AudioReport() const {
  std::lock_guard<std::mutex> lock(mu_);
  return intake_.receiver().audio().Summary();
}

}  // namespace orvane::sim
