#include "host/control/protocol_handler.h"

#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "host/app/logger.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane {

namespace pb = protocol::v1;

namespace {

// Untrusted text cut to a bound and made safe for one log line.
std::string LogText(const std::string& text, size_t max_bytes) {
  return EscapeUntrusted(Utf8Prefix(text, max_bytes));
}

std::optional<std::array<uint32_t, 3>> ParseVersion(std::string_view text) {
  if (!IsVersionText(text)) return std::nullopt;
  std::array<uint32_t, 3> parts{};
  size_t start = 0;
  for (size_t i = 0; i < 3; ++i) {
    const size_t dot = i < 2 ? text.find('.', start) : text.size();
    const auto value = ParseDecimalDigits(text.substr(start, dot - start), 5);
    if (!value) return std::nullopt;
    parts[i] = *value;
    start = dot + 1;
  }
  return parts;
}

}  // namespace

VersionVerdict CompareAppVersion(std::string_view app_version, std::string_view host_version) {
  const auto app = ParseVersion(app_version);
  if (!app) return VersionVerdict::kAppInvalid;
  const auto host = ParseVersion(host_version);
  if (!host) return VersionVerdict::kAppNewer;
  for (size_t i = 0; i < 3; ++i) {
    if ((*app)[i] < (*host)[i]) return VersionVerdict::kAppOlder;
    if ((*app)[i] > (*host)[i]) return VersionVerdict::kAppNewer;
  }
  return VersionVerdict::kEqual;
}

ProtocolHandler::ProtocolHandler(IClock& clock) : clock_(clock) {}

// ------------------------------------------------------------------ set-up

void ProtocolHandler::SetHostIdentity(const std::string& host_id, const std::string& host_name) {
  std::lock_guard<std::mutex> lock(state_mu_);
  host_id_ = host_id;
  host_name_ = host_name;
}

void ProtocolHandler::SetPorts(uint16_t media_port, uint16_t input_port) {
  std::lock_guard<std::mutex> lock(state_mu_);
  media_port_ = media_port;
  input_port_ = input_port;
  config_.media_port = media_port;
  config_.input_port = input_port;
}

void ProtocolHandler::SetWindowCommandsSupported(bool supported) { window_commands_supported_ = supported; }

void ProtocolHandler::SetFrameSender(FrameSender sender) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  frame_sender_ = std::move(sender);
}

void ProtocolHandler::SetAdmissionCallback(AdmissionCallback callback) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  admission_ = std::move(callback);
}

void ProtocolHandler::SetVersionRefusedCallback(VersionRefusedCallback callback) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  version_refused_ = std::move(callback);
}

void ProtocolHandler::SetHelloAuthenticator(HelloAuthenticator authenticator) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  authenticator_ = std::move(authenticator);
}

// ---------------------------------------------------------------- logging

void ProtocolHandler::PeerLog(LogLevel level, const char* format, va_list args) {
  uint64_t suppressed = 0;
  if (!authenticated_ && !peer_warnings_.Allow(clock_.TickMs(), &suppressed)) return;
  char text[kLogMessageBufferBytes];
  std::vsnprintf(text, sizeof text, format, args);
  if (suppressed > 0) {
    Logger::Instance().Log(level, "%s (%llu similar suppressed)", text, static_cast<unsigned long long>(suppressed));
  } else {
    Logger::Instance().Log(level, "%s", text);
  }
}

void ProtocolHandler::PeerWarn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PeerLog(LogLevel::kWarn, format, args);
  va_end(args);
}

void ProtocolHandler::PeerError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PeerLog(LogLevel::kError, format, args);
  va_end(args);
}

void ProtocolHandler::SetResult(HostResult result) {
  std::lock_guard<std::mutex> lock(result_mu_);
  last_result_ = std::move(result);
}

HostResult ProtocolHandler::LastResult() const {
  std::lock_guard<std::mutex> lock(result_mu_);
  return last_result_;
}

// ---------------------------------------------------------------- dispatch

HostResult ProtocolHandler::HandleControlFrame(const uint8_t* data, size_t length, bool encrypted) {
  pb::ControlMessage message;
  // The control server bounds frames to 1 MiB; anything beyond int range is
  // not a frame this handler can have been given.
  const bool parsed = data != nullptr && length <= static_cast<size_t>(INT_MAX) &&
                      message.ParseFromArray(data, static_cast<int>(length));
  if (!parsed) {
    std::array<uint8_t, 4> prefix{};
    for (size_t i = 0; i < prefix.size() && data != nullptr && i < length; ++i) prefix[i] = data[i];
    PeerError("[Protocol] Failed to parse control message size=%u prefix=%02X%02X%02X%02X",
              static_cast<unsigned>(length > UINT_MAX ? UINT_MAX : length), prefix[0], prefix[1], prefix[2],
              prefix[3]);
    HostResult result = HostResult::Failure(4, "Failed to parse control message", kEFail);
    SetResult(result);
    return result;
  }
  return HandleMessage(message, encrypted);
}

HostResult ProtocolHandler::HandleMessage(const pb::ControlMessage& message, bool encrypted) {
  (void)encrypted;  // the authentication v2 proof is the one message that looks at it
  const int type = static_cast<int>(message.payload_case());
  const bool allowed = type == pb::ControlMessage::kHello ||
                       (type == pb::ControlMessage::kAuthProof && auth_v2_pending_) || authenticated_;
  if (!allowed) {
    PeerWarn("[Protocol] Ignoring control message type=%d before authentication", type);
    SetResult(HostResult::Success());
    return HostResult::Success();
  }

  switch (message.payload_case()) {
    case pb::ControlMessage::kHello:
      HandleHello(message.hello());
      break;
    case pb::ControlMessage::kStartStream:
      HandleStartStream(message.start_stream());
      break;
    case pb::ControlMessage::kStopStream:
      HandleStopStream(message.stop_stream());
      break;
    case pb::ControlMessage::kSessionTerminate:
      HandleSessionTerminate(message.session_terminate());
      break;
    default:
      PeerWarn("[Protocol] Unhandled message type: %d", type);
      break;
  }
  SetResult(HostResult::Success());
  return HostResult::Success();
}

// ------------------------------------------------------------------- Hello

void ProtocolHandler::HandleHello(const pb::Hello& hello) {
  LogInfo("[Protocol] Hello from %s (%s) v%s protocol_version=%u directional_control_nonce=%d auth_version=%u",
          LogText(hello.client_name(), kClientTextLogBytes).c_str(),
          LogText(hello.client_id(), kClientTextLogBytes).c_str(),
          LogText(hello.app_version(), kAppVersionLogBytes).c_str(), hello.protocol_version(),
          hello.directional_control_nonce() ? 1 : 0, hello.auth_version());
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    client_id_ = hello.client_id();
    client_name_ = hello.client_name();
    app_version_ = hello.app_version();
  }
  // A new Hello starts the connection over.
  authenticated_ = false;
  session_keys_ready_ = false;
  hello_received_ = false;
  refused_busy_ = false;
  refused_version_ = false;
  const bool auth_v2 = hello.auth_version() >= 2;
  auth_v2_pending_ = false;

  const VersionVerdict verdict = CompareAppVersion(hello.app_version(), kHostVersion);
  if (verdict != VersionVerdict::kEqual) {
    PeerWarn("[Protocol] Hello rejected: app version '%s' does not match host version '%s' (verdict=%d)",
             LogText(hello.app_version(), kAppVersionLogBytes).c_str(), kHostVersion, static_cast<int>(verdict));
    SendHelloAck(pb::AUTH_RESULT_VERSION_MISMATCH, 0, auth_v2);
    refused_version_ = true;
    VersionRefusedCallback callback;
    {
      std::lock_guard<std::mutex> lock(callbacks_mu_);
      callback = version_refused_;
    }
    if (callback) {
      VersionRefusal refusal;
      refusal.client_name = std::string(Utf8Prefix(hello.client_name(), kClientTextLogBytes));
      refusal.app_version = std::string(Utf8Prefix(hello.app_version(), kAppVersionLogBytes));
      refusal.required_version = kHostVersion;
      callback(refusal);
    }
    return;
  }
  if (hello.protocol_version() > kSupportedProtocolVersion) {
    PeerWarn("[Protocol] Hello rejected: protocol_version=%u is newer than supported=%u", hello.protocol_version(),
             kSupportedProtocolVersion);
    SendHelloAck(pb::AUTH_RESULT_VERSION_MISMATCH, 0, auth_v2);
    return;
  }
  hello_received_ = true;

  AdmissionCallback admission;
  HelloAuthenticator authenticator;
  {
    std::lock_guard<std::mutex> lock(callbacks_mu_);
    admission = admission_;
    authenticator = authenticator_;
  }
  if (admission) {
    uint32_t limit = 0;
    if (!admission(hello.client_id(), hello.client_name(), &limit)) {
      PeerWarn("[Protocol] Hello refused: this PC already serves %u tablet(s)", limit);
      SendHelloAck(pb::AUTH_RESULT_HOST_BUSY, limit, auth_v2);
      refused_busy_ = true;
      return;
    }
  }

  // Key agreement and the credential check: without them no tablet can
  // prove who it is, and pairing is not possible either.
  HelloAuthDecision decision;
  if (authenticator) decision = authenticator(hello);
  if (decision.result == pb::AUTH_RESULT_OK) {
    session_keys_ready_ = decision.session_keys_ready;
    authenticated_ = true;
  }
  SendHelloAck(decision.result, 0, auth_v2);
}

bool ProtocolHandler::SendHelloAck(pb::AuthResult result, uint32_t max_sessions, bool auth_v2_requested) {
  pb::ControlMessage message;
  pb::HelloAck* ack = message.mutable_hello_ack();
  ack->set_result(result);
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    ack->set_host_id(host_id_);
    ack->set_host_name(host_name_);
  }
  ack->set_host_version(kHostVersion);
  if (result == pb::AUTH_RESULT_HOST_BUSY) ack->set_max_sessions(max_sessions);
  if (auth_v2_requested) ack->set_auth_version(2);
  const bool sent = SendControlMessage(&message);
  if (sent) {
    LogInfo("[Protocol] Sent HelloAck (result=%d, auth_version=%u, host_ephemeral_fp=%s)", static_cast<int>(result),
            ack->auth_version(), "none");
  }
  return sent;
}

// -------------------------------------------------------- stream requests

void ProtocolHandler::RequestStreamStart() {
  std::lock_guard<std::mutex> lock(requests_mu_);
  pending_stream_ = PendingStream::kStart;
}

void ProtocolHandler::RequestStreamStop() {
  std::lock_guard<std::mutex> lock(requests_mu_);
  pending_stream_ = PendingStream::kStop;
}

void ProtocolHandler::HandleStartStream(const pb::StartStream& start) {
  if (!authenticated_) {
    PeerWarn("[Protocol] StartStream ignored before authentication");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    config_.session_id = start.session_id();
  }
  video_paused_ = false;
  // A tablet that starts again has not ended the session: a link lost
  // during this stream is a dropped link, whatever it stopped before.
  user_ended_ = false;
  RequestStreamStart();
  LogInfo("[Protocol] StartStream: sessionId=%s", LogText(start.session_id(), kClientTextLogBytes).c_str());
}

void ProtocolHandler::HandleStopStream(const pb::StopStream& stop) {
  if (!authenticated_) {
    PeerWarn("[Protocol] StopStream ignored before authentication");
    return;
  }
  RequestStreamStop();
  user_ended_ = true;
  streaming_ = false;
  LogInfo("[Protocol] StopStream: sessionId=%s reason=%d", LogText(stop.session_id(), kClientTextLogBytes).c_str(),
          static_cast<int>(stop.reason()));
  SendStreamStopped(stop.session_id());
}

void ProtocolHandler::HandleSessionTerminate(const pb::SessionTerminate& terminate) {
  RequestStreamStop();
  user_ended_ = true;
  streaming_ = false;
  LogInfo("[Protocol] SessionTerminate: %s", LogText(terminate.reason(), kClientTextLogBytes).c_str());
}

StreamRequests ProtocolHandler::TakeStreamRequests() {
  std::lock_guard<std::mutex> lock(requests_mu_);
  StreamRequests requests;
  requests.start = pending_stream_ == PendingStream::kStart;
  requests.stop = pending_stream_ == PendingStream::kStop;
  requests.keyframe = keyframe_requested_;
  pending_stream_ = PendingStream::kNone;
  keyframe_requested_ = false;
  return requests;
}

bool ProtocolHandler::TakeUserEnded() { return user_ended_.exchange(false); }

// ------------------------------------------------------------------ reset

void ProtocolHandler::Reset() {
  {
    std::lock_guard<std::mutex> lock(requests_mu_);
    pending_stream_ = PendingStream::kNone;
    keyframe_requested_ = false;
  }
  streaming_ = false;
  authenticated_ = false;
  session_keys_ready_ = false;
  auth_v2_pending_ = false;
  hello_received_ = false;
  video_paused_ = false;
  refused_busy_ = false;
  refused_version_ = false;
  input_enabled_ = true;
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    config_ = SessionConfig{};
    config_.media_port = media_port_;
    config_.input_port = input_port_;
  }
  peer_warnings_.Reset();
  LogInfo("[Protocol] Control channel state reset after disconnect");
}

// ---------------------------------------------------------------- queries

std::string ProtocolHandler::ClientId() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return client_id_;
}

std::string ProtocolHandler::ClientName() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return client_name_;
}

std::string ProtocolHandler::AppVersion() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return app_version_;
}

SessionConfig ProtocolHandler::GetSessionConfig() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  SessionConfig config = config_;
  config.input_enabled = input_enabled_;
  return config;
}

std::string ProtocolHandler::HostId() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return host_id_;
}

std::string ProtocolHandler::HostName() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return host_name_;
}

std::string ProtocolHandler::DescribeClient() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  if (app_version_.empty()) return {};
  return "app " + std::string(Utf8Prefix(app_version_, kAppVersionLogBytes));
}

// ---------------------------------------------------------------- senders

bool ProtocolHandler::SendControlMessage(pb::ControlMessage* message) {
  if (message == nullptr) return false;
  FrameSender sender;
  {
    std::lock_guard<std::mutex> lock(callbacks_mu_);
    sender = frame_sender_;
  }
  std::lock_guard<std::mutex> lock(send_mu_);
  if (message->protocol_version() == 0) message->set_protocol_version(kSupportedProtocolVersion);
  if (message->sequence_id() == 0) message->set_sequence_id(next_sequence_++);
  if (message->timestamp_us() == 0) {
    const int64_t now = clock_.NowUs();
    message->set_timestamp_us(now > 0 ? static_cast<uint64_t>(now) : 0);
  }
  std::string bytes;
  if (!message->SerializeToString(&bytes)) {
    LogError("[Protocol] Could not serialise control message type=%d", static_cast<int>(message->payload_case()));
    return false;
  }
  if (!sender) return false;
  return sender(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool ProtocolHandler::SendErrorMessage(uint32_t code, const std::string& description, bool fatal) {
  pb::ControlMessage message;
  pb::ErrorMessage* error = message.mutable_error();
  error->set_error_code(code);
  error->set_error_description(description);
  error->set_is_fatal(fatal);
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendStreamStopped(const std::string& session_id) {
  pb::ControlMessage message;
  message.mutable_stream_stopped()->set_session_id(session_id);
  streaming_ = false;
  return SendControlMessage(&message);
}

}  // namespace orvane
