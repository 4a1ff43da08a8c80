#include "host/transport/media_sender.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "host/common/logger.h"
#include "host/transport/media_packet.h"

namespace orvane {

namespace {

// The receiver treats a counter with the top bit set as invalid, so the
// sender stops before it would send one.
constexpr uint64_t kMaxMediaCounter = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

HostResult EncryptFailure(HResult hr = kEFail) { return HostResult::Failure(7, "Failed to encrypt UDP payload", hr); }
HostResult RemoteFailure() { return HostResult::Failure(2, "UDP remote is not configured", kEFail); }

class SocketSink final : public IDatagramSink {
 public:
  int SendTo(net::Socket socket, const net::Endpoint& to, const uint8_t* data, size_t length) override {
    int error = 0;
    const long sent = net::SendTo(socket, data, length, to, &error);
    if (sent == static_cast<long>(length)) return 0;
    // A datagram is sent whole or not at all; a short count still means it
    // did not leave as one piece.
    if (sent >= 0 || error == 0) error = net::kWsaEMsgSize;
    return error;
  }
};

// Buffers of the send path, one set per sending thread, so that a datagram
// costs no allocation once they are warm and threads need no lock to use
// them.
struct Scratch {
  crypto::Bytes parity;
  crypto::Bytes resend;
};

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

}  // namespace

IDatagramSink& SocketDatagramSink() {
  static SocketSink sink;  // stateless: safe during static destruction
  return sink;
}

MediaSender::MediaSender(IClock& clock, IPreciseSleeper& sleeper, IDatagramSink& sink)
    : clock_(clock), sleeper_(sleeper), sink_(sink) {}

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
  // Once per process: how pacing sleeps wait here (older Windows and Wine
  // lack the high-resolution timer, and pacing is coarser there).
  static std::once_flag logged_sleep_method;
  std::call_once(logged_sleep_method,
                 [] { LogInfo("[UDPSend] Pacing sleeps use the %s", PreciseSleepMethod()); });
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
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    ClearKeysLocked();
    remote_ = net::Endpoint{};
    remote_configured_ = false;
  }
  ClearStreamState();
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
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    ClearKeysLocked();
    remote_ = net::Endpoint{};
    remote_configured_ = false;
    if (socket_ != net::kInvalidSocket) {
      net::Close(socket_);
      socket_ = net::kInvalidSocket;
    }
  }
  ClearStreamState();
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
  bool fresh_stream = false;
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    // A key over a key (a compatibility promotion) carries the stream on. A
    // key where there was none starts a new stream: whatever was built while
    // no key was installed must not go out under this one.
    if (!has_key_) {
      generation_.fetch_add(1);
      fresh_stream = true;
    }
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
    encrypted_.store(true);
  }
  crypto::SecureWipe(digest.data(), digest.size());
  if (fresh_stream) ClearStreamState();
  SetResult(HostResult::Success());
  return true;
}

void MediaSender::ClearMediaKey() {
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    ClearKeysLocked();
  }
  ClearStreamState();
}

bool MediaSender::HasMediaKey() const {
  std::lock_guard<std::mutex> lock(send_mu_);
  return has_key_;
}

void MediaSender::ResetStreamState() {
  {
    std::lock_guard<std::mutex> lock(send_mu_);
    generation_.fetch_add(1);
  }
  ClearStreamState();
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
  const bool ok = SendSealed(data, length, kAnyGeneration, &failure, &send_error);
  if (!ok) LogSendProblem(failure.message.c_str(), send_error);
  SetResult(ok ? HostResult::Success() : std::move(failure));
  return ok;
}

bool MediaSender::SendVideoFrame(uint32_t& next_video_seq, uint64_t timestamp_us, bool keyframe, bool second_flag,
                                 const uint8_t* data, size_t length) {
  if (data == nullptr || length == 0) {
    SetResult(HostResult::Failure(7, "Video frame payload is empty", kEFail));
    return false;
  }
  const size_t count = media::FragmentCount(length);
  const uint32_t limit = fragment_limit_.load();
  if (count > media::kMaxFragmentsPerFrame || (limit != 0 && count > limit)) {
    SetResult(HostResult::Failure(2, "Video frame exceeds the client's fragment limit", kEFail));
    return false;
  }

  // Everything after this belongs to the stream as it is now; a reset while
  // the frame is on its way ends the frame.
  const uint64_t generation = generation_.load();
  std::array<uint8_t, media::kMaxVideoDatagramBytes> datagram;
  crypto::Bytes& parity = ThreadScratch().parity;
  HostResult failure;
  int error = 0;
  bool ok = true;
  media::VideoHeader header;
  header.timestamp_us = timestamp_us;
  header.count = static_cast<uint16_t>(count);
  for (size_t i = 0; i < count && ok; ++i) {
    header.sequence = next_video_seq++;
    header.index = static_cast<uint16_t>(i);
    const bool keyframe_start = keyframe && i == 0;
    header.flags = static_cast<uint8_t>((keyframe_start ? media::kVideoFlagKeyframe : 0) |
                                        (second_flag ? media::kVideoFlagSecond : 0));
    const size_t offset = i * media::kMaxPayloadBytes;
    const size_t n = std::min(media::kMaxPayloadBytes, length - offset);
    const size_t size = media::WriteVideoFragment(header, crypto::ByteView(data + offset, n), datagram.data());
    const crypto::ByteView built(datagram.data(), size);

    Pace(size, true);
    ok = SendSealed(datagram.data(), size, generation, &failure, &error);
    if (!ok) LogSendProblem(failure.message.c_str(), error);
    // Sent or not, the fragment has its sequence number: a resend or the
    // group's parity can still deliver it.
    Remember(header.sequence, built, generation);
    if (OfferToFec(header.sequence, built, keyframe_start, generation, &parity)) {
      Pace(parity.size(), true);
      HostResult parity_failure;
      int parity_error = 0;
      if (!SendSealed(parity.data(), parity.size(), generation, &parity_failure, &parity_error)) {
        LogSendProblem(parity_failure.message.c_str(), parity_error);
        if (ok) {
          ok = false;
          failure = std::move(parity_failure);
        }
      }
    }
  }
  SetResult(ok ? HostResult::Success() : std::move(failure));
  return ok;
}

bool MediaSender::SendAudioPacket(uint32_t sequence, uint64_t timestamp, uint8_t duration_ms, const uint8_t* data,
                                  size_t length) {
  if (length > media::kMaxPayloadBytes) {
    SetResult(HostResult::Failure(2, "Audio packet exceeds UDP MTU-safe payload", kEFail));
    return false;
  }
  if (data == nullptr && length != 0) {
    SetResult(EncryptFailure(kEInvalidArg));
    return false;
  }
  std::array<uint8_t, media::kMaxAudioDatagramBytes> datagram;
  const size_t size = media::WriteAudioPacket(media::AudioHeader{duration_ms, sequence, timestamp},
                                              crypto::ByteView(data, length), datagram.data());
  Pace(size, false);
  HostResult failure;
  int error = 0;
  const bool ok = SendSealed(datagram.data(), size, kAnyGeneration, &failure, &error);
  if (!ok) LogSendProblem(failure.message.c_str(), error);
  SetResult(ok ? HostResult::Success() : std::move(failure));
  return ok;
}

bool MediaSender::Retransmit(uint32_t sequence) {
  crypto::Bytes& copy = ThreadScratch().resend;
  const uint64_t generation = generation_.load();
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(history_mu_);
    found = history_.Lookup(sequence, clock_.NowUs(), &copy);
  }
  if (!found) return false;
  Pace(copy.size(), false);
  HostResult failure;
  int error = 0;
  const bool ok = SendSealed(copy.data(), copy.size(), generation, &failure, &error);
  if (!ok) LogSendProblem(failure.message.c_str(), error);
  SetResult(ok ? HostResult::Success() : std::move(failure));
  return ok;
}

void MediaSender::SetBitrate(uint32_t kbps) {
  std::lock_guard<std::mutex> lock(pacing_mu_);
  pacer_.SetBitrate(kbps, clock_.NowUs());
  pacing_on_.store(pacer_.rate().enabled());
}

void MediaSender::SetLoss(int percent) {
  const int clamped = std::clamp(percent, 0, 40);
  loss_percent_.store(clamped);
  std::lock_guard<std::mutex> lock(pacing_mu_);
  pacer_.SetLoss(clamped, clock_.NowUs());
  pacing_on_.store(pacer_.rate().enabled());
}

void MediaSender::SetClientFragmentLimit(uint32_t fragments) { fragment_limit_.store(fragments); }

media::PacingRate MediaSender::Pacing() const {
  std::lock_guard<std::mutex> lock(pacing_mu_);
  return pacer_.rate();
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
  if (!security::SealSecureFrameInto(aes_, key_, security::kNonceMedia, counter, datagram, out)) {
    *failure = EncryptFailure();
    return false;
  }
  return true;
}

bool MediaSender::SendSealed(const uint8_t* data, size_t length, uint64_t generation, HostResult* failure,
                             int* error) {
  // One lock from the key and counter to the sink: datagrams leave in
  // counter order, and a concurrent Disable cannot slip in between.
  std::lock_guard<std::mutex> lock(send_mu_);
  if (socket_ == net::kInvalidSocket || !remote_configured_) {
    *failure = RemoteFailure();
    return false;
  }
  if (data == nullptr && length != 0) {
    *failure = EncryptFailure(kEInvalidArg);
    return false;
  }
  if (generation != kAnyGeneration && generation != generation_.load()) {
    // The keys were cleared (and perhaps another tablet's installed) since
    // this datagram's stream began: it must not reach the new peer.
    *failure = HostResult::Failure(2, "Media stream was reset: datagram not sent", kEFail);
    return false;
  }
  // The envelope is built in one buffer that lives with the sender, so a
  // datagram costs no allocation.
  crypto::Bytes& frame = seal_buffer_;
  if (!SealLocked(crypto::ByteView(data, length), &frame, failure)) return false;
  if (const int e = sink_.SendTo(socket_, remote_, frame.data(), frame.size()); e != 0) {
    *error = e;
    *failure = HostResult::Failure(2, "sendto() failed for encrypted UDP payload", HResultFromWin32(e));
    return false;
  }
  return true;
}

void MediaSender::Pace(size_t datagram_bytes, bool paced) {
  // Pacing off counts nothing; skip the lock and the clock.
  if (!pacing_on_.load(std::memory_order_relaxed)) return;
  const size_t wire = media::WireBytes(datagram_bytes, encrypted_.load());
  int64_t wait_us = 0;
  {
    std::lock_guard<std::mutex> lock(pacing_mu_);
    wait_us = pacer_.Charge(wire, paced, clock_.NowUs());
  }
  if (wait_us > 0) sleeper_.SleepUs(wait_us);
}

void MediaSender::Remember(uint32_t sequence, crypto::ByteView datagram, uint64_t generation) {
  const int64_t now_us = clock_.NowUs();
  std::lock_guard<std::mutex> lock(history_mu_);
  if (generation_.load() != generation) return;
  history_.Store(sequence, datagram, now_us);
}

bool MediaSender::OfferToFec(uint32_t sequence, crypto::ByteView datagram, bool keyframe_first_fragment,
                             uint64_t generation, crypto::Bytes* parity) {
  std::lock_guard<std::mutex> lock(fec_mu_);
  if (generation_.load() != generation) return false;
  return fec_.Add(sequence, datagram, loss_percent_.load(), keyframe_first_fragment, parity);
}

void MediaSender::ClearStreamState() {
  {
    std::lock_guard<std::mutex> lock(history_mu_);
    history_.Clear();
  }
  std::lock_guard<std::mutex> lock(fec_mu_);
  fec_.Reset();
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
  encrypted_.store(false);
  aes_.ClearKey();
  // Whatever was built for the stream under these keys goes with them.
  generation_.fetch_add(1);
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
