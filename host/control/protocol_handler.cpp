#include "host/control/protocol_handler.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "host/common/logger.h"
#include "host/common/parse.h"
#include "host/common/utf.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"

namespace orvane {

namespace pb = protocol::v1;

namespace {

// Untrusted text cut to a bound and made safe for one log line.
std::string LogText(const std::string& text, size_t max_bytes) {
  return EscapeUntrusted(Utf8Prefix(text, max_bytes));
}

std::string Prefix(const std::string& text, size_t max_bytes) { return std::string(Utf8Prefix(text, max_bytes)); }

std::optional<std::array<uint32_t, 3>> ParseVersion(std::string_view text) {
  if (!IsVersionText(text)) return std::nullopt;
  std::array<uint32_t, 3> parts{};
  size_t start = 0;
  for (size_t i = 0; i < 3; ++i) {
    const size_t dot = i < 2 ? text.find('.', start) : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const auto value = ParseDecimalDigits(text.substr(start, dot - start), 5);
    if (!value) return std::nullopt;
    parts[i] = *value;
    start = dot + 1;
  }
  return parts;
}

// Non-finite values become 0; the rest is clamped into [low, high].
float Sanitize(float value, float low, float high) {
  if (!std::isfinite(value)) return 0.0f;
  return std::clamp(value, low, high);
}

bool IsStandardCodec(uint32_t codec) { return codec == pb::VIDEO_CODEC_H264 || codec == pb::VIDEO_CODEC_HEVC; }

const char* OrientationName(uint32_t orientation) {
  switch (orientation) {
    case 1:
      return "landscape";
    case 2:
      return "portrait";
    default:
      return "unspecified";
  }
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

const char* WindowMoveStatusName(WindowMoveStatus status) {
  switch (status) {
    case WindowMoveStatus::kMoved:
      return "moved";
    case WindowMoveStatus::kNoWindow:
      return "no-window";
    case WindowMoveStatus::kElevated:
      return "elevated";
    case WindowMoveStatus::kNotResponding:
      return "not-responding";
    case WindowMoveStatus::kNotExtended:
      return "not-extended";
    case WindowMoveStatus::kFailed:
      return "failed";
  }
  return "unknown";
}

// ------------------------------------------------------------ negotiation

uint32_t NormalizeFps(uint32_t fps) {
  if (fps >= 120) return 120;
  if (fps >= 90) return 90;
  if (fps >= 60) return 60;
  return 30;
}

uint32_t NormalizeQualityFps(uint32_t fps) {
  if (fps >= 120) return 120;
  if (fps >= 90) return 90;
  if (fps < 60) return 30;
  return 60;
}

FrameSize FitInto(uint32_t w, uint32_t h, uint32_t max_w, uint32_t max_h) {
  const uint64_t long_side = std::max(w, h);
  const uint64_t short_side = std::min(w, h);
  if (long_side == 0 || short_side == 0) {
    return {static_cast<uint32_t>(long_side), static_cast<uint32_t>(short_side)};
  }
  // The scale is min(H / short, W / long, 1), kept as a fraction num / den so
  // that a side that fits exactly is not lost to rounding.
  uint64_t num = 1;
  uint64_t den = 1;
  if (static_cast<uint64_t>(max_h) * long_side <= static_cast<uint64_t>(max_w) * short_side) {
    if (max_h < short_side) {
      num = max_h;
      den = short_side;
    }
  } else if (max_w < long_side) {
    num = max_w;
    den = long_side;
  }
  const uint64_t width = long_side * num / (den * 8) * 8;
  const uint64_t height = short_side * num / (den * 8) * 8;
  return {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
}

StreamMode FitMode(uint32_t width, uint32_t height, uint32_t fps, const CodecCandidate& candidate) {
  std::vector<FrameSize> sizes;
  const auto add_fitted = [&sizes](FrameSize size) {
    if (size.width < 640 || size.height < 360) return;
    if (std::find(sizes.begin(), sizes.end(), size) != sizes.end()) return;
    sizes.push_back(size);
  };
  if (width != 0 && height != 0) {
    add_fitted(FitInto(width, height, 3840, 2160));
    const uint32_t short_side = std::min(width, height);
    for (const uint32_t e : {2160u, 1800u, 1600u, 1440u, 1200u, 1080u, 1050u, 900u, 800u, 720u, 600u}) {
      if (e < short_side) add_fitted(FitInto(width, height, 3840, e));
    }
  }
  for (const FrameSize standard : {FrameSize{3840, 2160}, FrameSize{2560, 1440}, FrameSize{1920, 1080},
                                   FrameSize{1280, 720}}) {
    sizes.push_back(standard);
  }
  const uint32_t rates[] = {NormalizeFps(fps), 120, 90, 60, 30};
  const bool h264 = candidate.codec != 2;
  for (const FrameSize& size : sizes) {
    for (const uint32_t rate : rates) {
      const bool within_1080p60 = size.width <= 1920 && size.height <= 1080 && rate <= 60;
      if (rate > fps || !candidate.present) continue;
      if (size.width > candidate.max_width || size.height > candidate.max_height || rate > candidate.max_fps) continue;
      if (!candidate.hardware_decode && !within_1080p60) continue;
      if (h264 && !within_1080p60) continue;
      if (!h264 && size.width >= 3840 && size.height >= 2160 && rate >= 120 && !candidate.uhd120_capable) continue;
      return {size.width, size.height, rate};
    }
  }
  return {1280, 720, 30};
}

uint32_t InitialBitrateKbps(uint32_t codec, uint32_t width, uint32_t height, uint32_t fps) {
  const uint32_t long_side = std::max(width, height);
  const uint32_t short_side = std::min(width, height);
  const bool high_fps = fps >= 120;
  if (codec == 2 && long_side >= 3840 && short_side >= 2160) return high_fps ? 90000 : 50000;
  if (long_side >= 2560 && short_side >= 1440) {
    if (codec == 2) return high_fps ? 26000 : 20000;
    return 20000;
  }
  if (long_side >= 1920 && short_side >= 1080) return 12000;
  return 7000;
}

std::string FilterRouteClass(const std::string& route_class) {
  const std::string cut = route_class.substr(0, 32);
  for (const char c : cut) {
    if (!((c >= 'a' && c <= 'z') || c == '_')) return {};
  }
  return cut;
}

// ------------------------------------------------------------ construction

ProtocolHandler::ProtocolHandler(IClock& clock)
    : clock_(clock), monitors_(MakePlatformMonitorEnumerator()), keys_(clock) {}

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

void ProtocolHandler::SetSecurityHooks(ControlSecurityHooks hooks) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  security_ = std::move(hooks);
}

void ProtocolHandler::SetMonitorEnumerator(std::shared_ptr<IMonitorEnumerator> enumerator) {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  monitors_ = std::move(enumerator);
}

std::shared_ptr<IMonitorEnumerator> ProtocolHandler::MonitorEnumerator() const {
  std::lock_guard<std::mutex> lock(callbacks_mu_);
  return monitors_;
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

bool ProtocolHandler::StillAuthenticated(const char* message_name) {
  if (authenticated_) return true;
  PeerWarn("[Protocol] %s ignored before authentication", message_name);
  return false;
}

HostResult ProtocolHandler::HandleMessage(const pb::ControlMessage& message, bool encrypted) {
  const int type = static_cast<int>(message.payload_case());
  const bool allowed = type == pb::ControlMessage::kHello ||
                       (type == pb::ControlMessage::kAuthProof && auth_v2_pending_) || authenticated_;
  if (!allowed) {
    PeerWarn("[Protocol] Ignoring control message type=%d before authentication", type);
    SetResult(HostResult::Success());
    return HostResult::Success();
  }

  ControlSecurityHooks security;
  {
    std::lock_guard<std::mutex> lock(callbacks_mu_);
    security = security_;
  }
  const security::ControlKeyState::MessageSender send = [this](pb::ControlMessage* reply) {
    return SendControlMessage(reply);
  };
  switch (message.payload_case()) {
    case pb::ControlMessage::kHello:
      HandleHello(message.hello());
      break;
    case pb::ControlMessage::kCapabilityExchange:
      if (StillAuthenticated("CapabilityExchange")) HandleCapabilityExchange(message.capability_exchange());
      break;
    case pb::ControlMessage::kStartStream:
      if (StillAuthenticated("StartStream")) HandleStartStream(message.start_stream());
      break;
    case pb::ControlMessage::kStopStream:
      if (StillAuthenticated("StopStream")) HandleStopStream(message.stop_stream());
      break;
    case pb::ControlMessage::kSetQualityProfile:
      if (StillAuthenticated("SetQualityProfile")) HandleQualityProfile(message.set_quality_profile());
      break;
    case pb::ControlMessage::kRequestKeyframe:
      if (StillAuthenticated("RequestKeyframe")) {
        keyframe_requested_ = true;
        LogInfo("[Protocol] RequestKeyframe: stream_id=%s",
                LogText(message.request_keyframe().stream_id(), kClientTextLogBytes).c_str());
      }
      break;
    case pb::ControlMessage::kSetAudioEnabled:
      if (StillAuthenticated("SetAudioEnabled")) {
        const pb::SetAudioEnabled& audio = message.set_audio_enabled();
        {
          std::lock_guard<std::mutex> lock(state_mu_);
          config_.audio_enabled = audio.enabled();
          config_.mute_host_speakers = audio.mute_host_speakers();
        }
        LogInfo("[Protocol] Audio %s (tablet only: %s)", audio.enabled() ? "enabled" : "disabled",
                audio.mute_host_speakers() ? "yes" : "no");
      }
      break;
    case pb::ControlMessage::kFirstFrameRendered:
      if (StillAuthenticated("FirstFrameRendered")) {
        const pb::FirstFrameRendered& rendered = message.first_frame_rendered();
        LogInfo("[Protocol] FirstFrameRendered: session=%s rendered_frames=%llu",
                LogText(rendered.session_id(), kClientTextLogBytes).c_str(),
                static_cast<unsigned long long>(rendered.rendered_frames()));
      }
      break;
    case pb::ControlMessage::kAuthProof:
      if (security.handle_auth_proof) {
        security.handle_auth_proof(message.auth_proof(), encrypted);
      } else {
        PeerWarn("[Protocol] Unhandled message type: %d", type);
      }
      break;
    case pb::ControlMessage::kSetVideoPaused:
      if (StillAuthenticated("SetVideoPaused")) {
        const bool paused = message.set_video_paused().paused();
        video_paused_ = paused;
        if (!paused) keyframe_requested_ = true;
        LogInfo("[Protocol] Video %s (graphics tablet mode %s)", paused ? "paused" : "resumed", paused ? "on" : "off");
      }
      break;
    case pb::ControlMessage::kStartFileTransfer:
      LogWarn("[Protocol] File transfer rejected: not supported by this host");
      SendErrorMessage(kErrorFileTransferUnavailable, "File transfer is unavailable in this release", false);
      break;
    case pb::ControlMessage::kClipboardUpdate:
      if (StillAuthenticated("ClipboardUpdate")) HandleClipboard(message.clipboard_update());
      break;
    case pb::ControlMessage::kNackRequest:
      HandleNack(message.nack_request());
      break;
    case pb::ControlMessage::kStatsReport:
      HandleStats(message.stats_report());
      break;
    case pb::ControlMessage::kPing:
      SendPong(message.ping().send_timestamp_us());
      break;
    case pb::ControlMessage::kSessionTerminate:
      HandleSessionTerminate(message.session_terminate());
      break;
    case pb::ControlMessage::kKeyRotation:
      keys_.HandleKeyRotation(message.key_rotation(), send);
      break;
    case pb::ControlMessage::kKeyRotationAck:
      keys_.HandleKeyRotationAck(message.key_rotation_ack());
      break;
    case pb::ControlMessage::kRekeyRequired:
      keys_.HandleRekeyRequired(message.rekey_required());
      break;
    case pb::ControlMessage::kMonitorListRequest:
      if (StillAuthenticated("MonitorListRequest")) {
        LogInfo("[Protocol] MonitorListRequest received");
        SendMonitorListResponse();
      }
      break;
    case pb::ControlMessage::kSelectMonitor:
      if (StillAuthenticated("SelectMonitor")) HandleSelectMonitor(message.select_monitor());
      break;
    case pb::ControlMessage::kDisplayOrientationUpdate:
      if (StillAuthenticated("DisplayOrientationUpdate")) HandleOrientation(message.display_orientation_update());
      break;
    case pb::ControlMessage::kWindowCommand:
      if (StillAuthenticated("WindowCommand")) HandleWindowCommand(message.window_command());
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

  // A Hello on an authenticated connection starts it over: the running
  // stream stops as if the tablet had asked, while the connection still has
  // its keys to say so, and the session restarts its time-outs from here.
  if (authenticated_) {
    std::string session_id;
    {
      std::lock_guard<std::mutex> lock(state_mu_);
      session_id = config_.session_id;
    }
    RequestStreamStop();
    user_ended_ = true;
    LogInfo("[Protocol] Hello on an authenticated connection: stopping the stream and authenticating again");
    SendStreamStopped(session_id);
    authenticated_ = false;
    auth_restart_tick_ms_ = clock_.TickMs();
    auth_restart_pending_ = true;
  }

  {
    std::lock_guard<std::mutex> lock(state_mu_);
    client_id_ = hello.client_id();
    client_name_ = hello.client_name();
    app_version_ = hello.app_version();
  }
  ++hello_count_;
  auth_v2_pending_ = false;
  hello_received_ = false;
  refused_busy_ = false;
  refused_version_ = false;
  const uint64_t dropped = dropped_before_auth_.exchange(0);
  if (dropped > 1) {
    LogInfo("[Protocol] %llu outgoing control messages were dropped before authentication since the previous "
            "connection",
            static_cast<unsigned long long>(dropped));
  }

  AdmissionCallback admission;
  HelloAuthenticator authenticator;
  VersionRefusedCallback version_refused;
  {
    std::lock_guard<std::mutex> lock(callbacks_mu_);
    admission = admission_;
    authenticator = authenticator_;
    version_refused = version_refused_;
  }
  keys_.ResetKeys();
  const bool auth_v2 = hello.auth_version() >= 2;
  bool directional = hello.directional_control_nonce() || hello.auth_version() > 1;

  const VersionVerdict verdict = CompareAppVersion(hello.app_version(), kHostVersion);
  if (verdict != VersionVerdict::kEqual) {
    PeerWarn("[Protocol] Hello rejected: app version '%s' does not match host version '%s' (verdict=%d)",
             LogText(hello.app_version(), kAppVersionLogBytes).c_str(), kHostVersion, static_cast<int>(verdict));
    SendHelloAck(pb::AUTH_RESULT_VERSION_MISMATCH, 0, auth_v2, false, nullptr);
    refused_version_ = true;
    if (version_refused) {
      VersionRefusal refusal;
      refusal.client_id = Prefix(hello.client_id(), kClientTextLogBytes);
      refusal.client_name = Prefix(hello.client_name(), kClientTextLogBytes);
      refusal.app_version = Prefix(hello.app_version(), kAppVersionLogBytes);
      refusal.host_version = kHostVersion;
      refusal.verdict = static_cast<int>(verdict);
      version_refused(refusal);
    }
    return;
  }
  if (hello.protocol_version() > kSupportedProtocolVersion) {
    PeerWarn("[Protocol] Hello rejected: protocol_version=%u is newer than supported=%u", hello.protocol_version(),
             kSupportedProtocolVersion);
    SendHelloAck(pb::AUTH_RESULT_VERSION_MISMATCH, 0, auth_v2, false, nullptr);
    return;
  }
  hello_received_ = true;

  if (admission) {
    uint32_t limit = 0;
    if (!admission(hello.client_id(), hello.client_name(), &limit)) {
      PeerWarn("[Protocol] Hello refused: this PC already serves %u tablet(s)", limit);
      SendHelloAck(pb::AUTH_RESULT_HOST_BUSY, limit, auth_v2, false, nullptr);
      refused_busy_ = true;
      return;
    }
  }

  // A client_id with a NUL byte would collide with its prefix wherever the
  // identity is fed to a proof as a C string.
  const std::string& client_id = hello.client_id();
  const security::HandshakeResult handshake = keys_.StartHandshake(hello);
  directional = handshake.directional;
  const bool usable = handshake.usable && client_id.find('\0') == std::string::npos;
  if (!usable) {
    PeerWarn("[Protocol] Hello rejected: client identity or ephemeral key is invalid");
    SendHelloAck(pb::AUTH_RESULT_REJECTED, 0, auth_v2, directional, nullptr);
    return;
  }
  if (!directional && !nondirectional_warned_.exchange(true)) {
    // Both directions then draw nonces from the same prefix and counter
    // under one key; kept for the tablets that rely on it.
    LogWarn("[Protocol] Tablet did not ask for directional control nonces: host and tablet frames share one nonce "
            "sequence on this connection");
  }

  const HelloAuthDecision decision = authenticator ? authenticator(hello, keys_) : EstablishKeysWithoutTrust(hello);
  if (auth_v2 && decision.auth_v2_pending && decision.result == pb::AUTH_RESULT_OK) {
    auth_v2_pending_ = true;
  } else if (decision.result == pb::AUTH_RESULT_OK) {
    authenticated_ = true;
  }
  SendHelloAck(decision.result, 0, auth_v2, directional, &decision);
}

HelloAuthDecision ProtocolHandler::EstablishKeysWithoutTrust(const pb::Hello& hello) {
  HelloAuthDecision decision;
  if (hello.auth_version() >= 2) {
    PeerWarn("[Protocol] Hello rejected: authentication version 2 is not available on this host");
    return decision;
  }
  if (!keys_.EstablishAuthV1Keys()) {
    PeerWarn("[Protocol] Hello rejected: session key derivation failed");
    return decision;
  }
  PeerWarn("[Protocol] Hello rejected: this host cannot verify tablet credentials");
  return decision;
}

bool ProtocolHandler::SendHelloAck(pb::AuthResult result, uint32_t max_sessions, bool auth_v2_requested,
                                   bool directional, const HelloAuthDecision* decision) {
  pb::ControlMessage message;
  pb::HelloAck* ack = message.mutable_hello_ack();
  ack->set_result(result);
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    ack->set_host_id(host_id_);
    ack->set_host_name(host_name_);
  }
  ack->set_host_version(kHostVersion);
  ack->set_directional_control_nonce(directional);
  const crypto::Bytes key = keys_.HostEphemeralPublicKey();
  if (!key.empty()) ack->set_ephemeral_public_key(key.data(), key.size());
  if (result == pb::AUTH_RESULT_HOST_BUSY) ack->set_max_sessions(max_sessions);
  if (auth_v2_requested) {
    ack->set_auth_version(2);
    if (decision != nullptr && result == pb::AUTH_RESULT_OK) {
      ack->set_host_identity_public_key(decision->host_identity_public_key);
      ack->set_host_signature(decision->host_signature);
    }
  }
  const bool sent = SendControlMessage(&message);
  if (sent) {
    LogInfo("[Protocol] Sent HelloAck (result=%d, auth_version=%u, host_ephemeral_fp=%s)", static_cast<int>(result),
            ack->auth_version(), security::KeyFingerprintOrNone(key).c_str());
  }
  return sent;
}

bool ProtocolHandler::FinishAuthV2(pb::AuthResult result) {
  auth_v2_pending_ = false;
  if (result == pb::AUTH_RESULT_OK) authenticated_ = true;
  return SendAuthStatus(result);
}

// ------------------------------------------------------------- negotiation

void ProtocolHandler::HandleCapabilityExchange(const pb::CapabilityExchange& caps) {
  LogInfo("[Protocol] CapabilityExchange: codecs=%d, fps_count=%d", caps.supported_codecs_size(),
          caps.supported_fps_size());
  CodecCandidate h264{1, 1920, 1080, 60, true, false, false};
  CodecCandidate hevc{2, 1920, 1080, 60, true, false, false};
  bool supports_h264 = false;
  bool supports_hevc = false;
  for (const int codec : caps.supported_codecs()) {
    if (codec == pb::VIDEO_CODEC_H264) {
      if (!supports_h264) h264 = {1, 1920, 1080, 60, false, false, true};
      supports_h264 = true;
    } else if (codec == pb::VIDEO_CODEC_HEVC) {
      if (!supports_hevc) hevc = {2, 3840, 2160, 120, true, false, true};
      supports_hevc = true;
    }
  }
  for (const pb::CodecCapability& entry : caps.codec_capabilities()) {
    const uint32_t codec = static_cast<uint32_t>(entry.codec());
    // An unspecified codec is the H.264 baseline; anything unknown is not
    // a codec this host can send and must not overwrite a known one.
    if (codec != 0 && !IsStandardCodec(codec)) continue;
    const bool is_hevc = codec == pb::VIDEO_CODEC_HEVC;
    const CodecCandidate candidate{is_hevc ? 2u : 1u,      entry.max_width(),       entry.max_height(),
                                   NormalizeFps(entry.max_fps()), entry.hardware_decode(), entry.uhd120_capable(),
                                   true};
    if (is_hevc) {
      supports_hevc = true;
      hevc = candidate;
    } else {
      supports_h264 = true;
      h264 = candidate;
    }
  }

  uint32_t width = 1920;
  uint32_t height = 1080;
  if (caps.has_preferred_resolution()) {
    const uint32_t pw = caps.preferred_resolution().width();
    const uint32_t ph = caps.preferred_resolution().height();
    const uint32_t long_side = std::max(pw, ph);
    const uint32_t short_side = std::min(pw, ph);
    if (long_side >= 640 && long_side <= 3840 && short_side >= 360 && short_side <= 2160) {
      width = long_side;
      height = short_side;
    } else if (short_side != 0) {
      PeerWarn("[Protocol] Preferred resolution rejected as out of bounds: %ux%u", long_side, short_side);
    }
  }
  uint32_t fps = 60;
  for (const uint32_t rate : caps.supported_fps()) {
    if (rate > fps && rate <= 120) fps = rate;
  }

  bool high_demand = width > 1920 || height > 1080 || fps > 60;
  const bool hevc_without_decoder = supports_hevc && hevc.present && !hevc.hardware_decode;
  if (high_demand && hevc_without_decoder && supports_h264) {
    const FrameSize fitted = FitInto(width, height, 1920, 1080);
    width = fitted.width;
    height = fitted.height;
    fps = std::min(fps, 60u);
    LogWarn("[Protocol] HEVC advertised without hardware decode for high-demand request; downgrading negotiation "
            "target to %ux%u @%u fps (prefer H264)",
            width, height, fps);
    high_demand = width > 1920 || height > 1080 || fps > 60;
  }

  const auto can_carry = [&](const CodecCandidate& c) {
    if (!c.present || c.max_width < width || c.max_height < height || c.max_fps < fps) return false;
    if (!c.hardware_decode && high_demand) return false;
    if (width >= 3840 && height >= 2160 && fps >= 120 && !c.uhd120_capable) return false;
    if (c.codec == 1 && high_demand) return false;
    return true;
  };
  const CodecCandidate* chosen = nullptr;
  if (high_demand && supports_hevc && !hevc_without_decoder && can_carry(hevc)) {
    chosen = &hevc;
  } else if (supports_h264 && can_carry(h264)) {
    chosen = &h264;
  } else if (supports_hevc) {
    chosen = &hevc;
  } else if (supports_h264) {
    chosen = &h264;
  }
  const CodecCandidate fallback{1, 1920, 1080, 60, true, false, false};
  const CodecCandidate& candidate = chosen != nullptr ? *chosen : fallback;

  const StreamMode mode = FitMode(width, height, fps, candidate);
  const uint32_t bitrate = InitialBitrateKbps(candidate.codec, mode.width, mode.height, mode.fps);
  LogInfo("[Protocol] Codec selected: %s (supports_h264=%d supports_hevc=%d hw_decode=%d uhd120=%d)",
          candidate.codec == 2 ? "HEVC" : "H264", supports_h264 ? 1 : 0, supports_hevc ? 1 : 0,
          candidate.hardware_decode ? 1 : 0, candidate.uhd120_capable ? 1 : 0);
  LogInfo("[Protocol] Negotiated mode: %ux%u @%u fps bitrate=%u kbps", mode.width, mode.height, mode.fps, bitrate);

  const bool resize = caps.stream_resize_supported();
  LogInfo("[Protocol] Client stream resize support: %s", resize ? "yes" : "no (encode size stays fixed)");
  const std::string route = FilterRouteClass(caps.route_class());
  LogInfo("[Protocol] Client route: %s", route.empty() ? "unknown" : route.c_str());
  const uint32_t advertised = caps.max_fragments_per_frame();
  const uint32_t fragment_limit = advertised == 0 ? 256 : std::clamp(advertised, 16u, 65535u);
  LogInfo("[Protocol] Client frame limit: %u fragments (advertised %u)", fragment_limit, advertised);
  const bool audio = caps.audio().opus_supported();
  const bool input = caps.input().touch() || caps.input().pen_pressure() || caps.input().keyboard();

  uint32_t orientation = 0;
  if (caps.display_orientation() == pb::DISPLAY_ORIENTATION_LANDSCAPE) {
    orientation = 1;
  } else if (caps.display_orientation() == pb::DISPLAY_ORIENTATION_PORTRAIT) {
    orientation = 2;
  } else if (caps.has_preferred_resolution()) {
    orientation = caps.preferred_resolution().width() < caps.preferred_resolution().height() ? 2 : 1;
  }
  orientation_ = orientation;
  LogInfo("[Protocol] Client display orientation at start: %s", OrientationName(orientation));

  uint16_t media_port = 0;
  uint16_t input_port = 0;
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    config_.codec = candidate.codec;
    config_.width = mode.width;
    config_.height = mode.height;
    config_.fps = mode.fps;
    config_.bitrate_kbps = bitrate;
    config_.audio_enabled = audio;
    config_.input_enabled = input;
    config_.media_port = media_port_;
    config_.input_port = input_port_;
    config_.stream_resize_supported = resize;
    config_.fragment_limit = fragment_limit;
    config_.route_class = route;
    offered_h264_ = supports_h264;
    offered_hevc_ = supports_hevc;
    media_port = media_port_;
    input_port = input_port_;
  }

  pb::ControlMessage message;
  pb::CapabilityAccept* accept = message.mutable_capability_accept();
  accept->set_selected_codec(candidate.codec == 2 ? pb::VIDEO_CODEC_HEVC : pb::VIDEO_CODEC_H264);
  accept->set_selected_fps(mode.fps);
  accept->mutable_selected_resolution()->set_width(mode.width);
  accept->mutable_selected_resolution()->set_height(mode.height);
  accept->set_audio_enabled(audio);
  accept->set_input_enabled(input);
  accept->set_initial_bitrate_kbps(bitrate);
  accept->set_media_udp_port(media_port);
  accept->set_input_udp_port(input_port);
  accept->set_fec_enabled(true);
  accept->set_stream_resize_enabled(resize);
  accept->set_window_commands_supported(window_commands_supported_.load());
  if (SendControlMessage(&message)) {
    LogInfo("[Protocol] Sent CapabilityAccept: %s %ux%u @%u fps", candidate.codec == 2 ? "HEVC" : "H264",
            mode.width, mode.height, mode.fps);
  }
}

// ------------------------------------------------------- tablet requests

void ProtocolHandler::RequestStreamStart() {
  std::lock_guard<std::mutex> lock(requests_mu_);
  pending_stream_ = PendingStream::kStart;
}

void ProtocolHandler::RequestStreamStop() {
  std::lock_guard<std::mutex> lock(requests_mu_);
  pending_stream_ = PendingStream::kStop;
}

void ProtocolHandler::HandleStartStream(const pb::StartStream& start) {
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
  RequestStreamStop();
  user_ended_ = true;
  streaming_ = false;
  LogInfo("[Protocol] StopStream: sessionId=%s reason=%d", LogText(stop.session_id(), kClientTextLogBytes).c_str(),
          static_cast<int>(stop.reason()));
  SendStreamStopped(stop.session_id());
}

void ProtocolHandler::HandleQualityProfile(const pb::SetQualityProfile& profile) {
  LogInfo("[Protocol] SetQualityProfile: bitrate=%u fps=%u codec=%d", profile.target_bitrate_kbps(),
          profile.target_fps(), static_cast<int>(profile.codec()));
  // proto3 sends no field that is zero: zero leaves that part unchanged.
  bool changed = false;
  bool codec_refused = false;
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    if (profile.target_bitrate_kbps() != 0) {
      // The stream sizes its frames, its pacing and the encoder from this
      // value before its own controller bounds it.
      config_.bitrate_kbps = std::min(profile.target_bitrate_kbps(), kMaxBitrateKbps);
      quality_bitrate_kbps_ = config_.bitrate_kbps;
      changed = true;
    }
    if (profile.target_fps() != 0) {
      config_.fps = NormalizeQualityFps(profile.target_fps());
      changed = true;
    }
    const uint32_t codec = static_cast<uint32_t>(profile.codec());
    if (codec != 0) {
      const bool offered = (codec == 1 && offered_h264_) || (codec == 2 && offered_hevc_);
      if (offered) {
        config_.codec = codec;
        changed = true;
      } else {
        codec_refused = true;
      }
    }
  }
  if (codec_refused) {
    PeerWarn("[Protocol] SetQualityProfile codec %d ignored: not offered in the tablet's CapabilityExchange",
             static_cast<int>(profile.codec()));
  }
  if (changed) quality_changed_ = true;
}

void ProtocolHandler::HandleClipboard(const pb::ClipboardUpdate& update) {
  LogInfo("[Protocol] ClipboardUpdate from mobile (text=%zu chars, image=%d, bytes=%zu)", update.text().size(),
          update.has_image() ? 1 : 0, update.image_data().size());
  std::lock_guard<std::mutex> lock(clipboard_mu_);
  clipboard_.text = update.text();
  clipboard_.image_data = update.image_data();
  clipboard_.mime_type = update.mime_type();
  clipboard_pending_ = true;
}

void ProtocolHandler::HandleNack(const pb::NackRequest& nack) {
  const int count = nack.sequence_numbers_size();
  LogDebug("[Protocol] NackRequest: stream_type=%u count=%d first_seq=%u", nack.stream_type(), count,
           count > 0 ? nack.sequence_numbers(0) : 0u);
  // Only video is retransmitted; another stream type must not replace the
  // video batch that is waiting to be served.
  if (count == 0 || nack.stream_type() != kNackStreamVideo) return;
  std::lock_guard<std::mutex> lock(nack_mu_);
  if (!nack_pending_ || nack_.stream_type != nack.stream_type()) {
    nack_.stream_type = nack.stream_type();
    nack_.sequence_numbers.clear();
  }
  for (const uint32_t seq : nack.sequence_numbers()) {
    if (nack_.sequence_numbers.size() >= kMaxNackBatch) break;
    nack_.sequence_numbers.push_back(seq);
  }
  nack_pending_ = !nack_.sequence_numbers.empty();
}

void ProtocolHandler::HandleStats(const pb::StatsReport& report) {
  TabletStats stats;
  stats.rtt_ms = Sanitize(report.rtt_ms(), 0.0f, kMaxStatsTimeMs);
  stats.jitter_ms = Sanitize(report.jitter_ms(), 0.0f, kMaxStatsTimeMs);
  stats.packet_loss_pct = Sanitize(report.packet_loss_pct(), 0.0f, 100.0f);
  // Decode pressure is a load figure, not a share: a decoder that needs 120 %
  // of the frame interval reports 120.
  stats.decode_pressure_pct = Sanitize(report.decode_pressure_pct(), 0.0f, kMaxDecodePressurePct);
  stats.receiver_drop_pct = Sanitize(report.receiver_drop_pct(), 0.0f, 100.0f);
  stats.late_drop_pct = Sanitize(report.late_drop_pct(), 0.0f, 100.0f);
  stats.fec_recovered_packets = report.fec_recovered_packets();
  stats.route_class = FilterRouteClass(report.route_class());
  stats.drop_reasons = Prefix(report.drop_reasons(), kDropReasonsBytes);
  std::lock_guard<std::mutex> lock(stats_mu_);
  stats_ = std::move(stats);
  stats_pending_ = true;
}

void ProtocolHandler::HandleSessionTerminate(const pb::SessionTerminate& terminate) {
  RequestStreamStop();
  user_ended_ = true;
  streaming_ = false;
  LogInfo("[Protocol] SessionTerminate: %s", LogText(terminate.reason(), kClientTextLogBytes).c_str());
}

void ProtocolHandler::HandleSelectMonitor(const pb::SelectMonitor& select) {
  {
    std::lock_guard<std::mutex> lock(monitor_mu_);
    selected_monitor_id_ = select.monitor_id();
  }
  monitor_changed_ = true;
  LogInfo("[Protocol] SelectMonitor: monitor_id=%s", LogText(select.monitor_id(), kClientTextLogBytes).c_str());
}

void ProtocolHandler::HandleOrientation(const pb::DisplayOrientationUpdate& update) {
  const uint32_t value = static_cast<uint32_t>(update.orientation());
  if (value == 1 || value == 2) {
    orientation_ = value;
    orientation_changed_ = true;
  }
  LogInfo("[Protocol] DisplayOrientationUpdate: %s", OrientationName(value));
}

void ProtocolHandler::HandleWindowCommand(const pb::WindowCommand& command) {
  const int action = static_cast<int>(command.action());
  LogInfo("[Protocol] WindowCommand: action=%d request=%u", action, command.request_id());
  const bool known = action == pb::WINDOW_ACTION_MOVE_FOREGROUND_TO_CLIENT_DISPLAY ||
                     action == pb::WINDOW_ACTION_MOVE_BACK;
  if (known && window_commands_supported_) {
    std::lock_guard<std::mutex> lock(window_mu_);
    if (window_commands_.size() < kMaxWindowCommands) {
      window_commands_.push_back({action == pb::WINDOW_ACTION_MOVE_BACK, command.request_id()});
      return;
    }
  }
  SendWindowCommandResult(command.request_id(), action == pb::WINDOW_ACTION_MOVE_BACK, WindowMoveStatus::kFailed,
                          "");
}

// ------------------------------------------------------- take and clear

StreamRequests ProtocolHandler::TakeStreamRequests() {
  std::lock_guard<std::mutex> lock(requests_mu_);
  StreamRequests requests;
  requests.start = pending_stream_ == PendingStream::kStart;
  requests.stop = pending_stream_ == PendingStream::kStop;
  pending_stream_ = PendingStream::kNone;
  return requests;
}

bool ProtocolHandler::TakeKeyframeRequest() { return keyframe_requested_.exchange(false); }
bool ProtocolHandler::TakeUserEnded() { return user_ended_.exchange(false); }
bool ProtocolHandler::TakeQualityChanged(uint32_t* target_bitrate_kbps) {
  std::lock_guard<std::mutex> lock(state_mu_);
  if (target_bitrate_kbps != nullptr) *target_bitrate_kbps = quality_bitrate_kbps_;
  quality_bitrate_kbps_ = 0;
  return quality_changed_.exchange(false);
}
bool ProtocolHandler::TakeMonitorChanged() { return monitor_changed_.exchange(false); }
bool ProtocolHandler::TakeOrientationChanged() { return orientation_changed_.exchange(false); }

bool ProtocolHandler::TakeClipboardIn(ClipboardIn* out) {
  std::lock_guard<std::mutex> lock(clipboard_mu_);
  if (!clipboard_pending_ || out == nullptr) return false;
  *out = std::move(clipboard_);
  clipboard_ = ClipboardIn{};
  clipboard_pending_ = false;
  return true;
}

bool ProtocolHandler::TakeNackBatch(NackBatch* out) {
  std::lock_guard<std::mutex> lock(nack_mu_);
  if (!nack_pending_ || out == nullptr) return false;
  *out = std::move(nack_);
  nack_ = NackBatch{};
  nack_pending_ = false;
  return true;
}

bool ProtocolHandler::TakeTabletStats(TabletStats* out) {
  std::lock_guard<std::mutex> lock(stats_mu_);
  if (!stats_pending_ || out == nullptr) return false;
  *out = stats_;
  stats_pending_ = false;
  return true;
}

bool ProtocolHandler::TakeWindowCommand(WindowCommandRequest* out) {
  std::lock_guard<std::mutex> lock(window_mu_);
  if (window_commands_.empty() || out == nullptr) return false;
  *out = window_commands_.front();
  window_commands_.pop_front();
  return true;
}

bool ProtocolHandler::TakeAuthenticationRestart(uint64_t* hello_tick_ms) {
  if (!auth_restart_pending_.exchange(false)) return false;
  if (hello_tick_ms != nullptr) *hello_tick_ms = auth_restart_tick_ms_.load();
  return true;
}

void ProtocolHandler::SetNegotiatedSize(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return;
  std::lock_guard<std::mutex> lock(state_mu_);
  config_.width = width;
  config_.height = height;
}

void ProtocolHandler::SetActiveMonitorId(const std::string& monitor_id) {
  std::lock_guard<std::mutex> lock(monitor_mu_);
  active_monitor_id_ = monitor_id;
}

// ------------------------------------------------------------------ reset

void ProtocolHandler::Reset() {
  {
    std::lock_guard<std::mutex> lock(requests_mu_);
    pending_stream_ = PendingStream::kNone;
  }
  keyframe_requested_ = false;
  streaming_ = false;
  authenticated_ = false;
  auth_v2_pending_ = false;
  hello_received_ = false;
  quality_changed_ = false;
  video_paused_ = false;
  refused_busy_ = false;
  refused_version_ = false;
  orientation_ = 0;
  orientation_changed_ = false;
  monitor_changed_ = false;
  auth_restart_pending_ = false;
  auth_restart_tick_ms_ = 0;
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    client_id_.clear();
    client_name_.clear();
    app_version_.clear();
    offered_h264_ = false;
    offered_hevc_ = false;
    config_ = SessionConfig{};
    quality_bitrate_kbps_ = 0;
    config_.media_port = media_port_;
    config_.input_port = input_port_;
  }
  {
    std::lock_guard<std::mutex> lock(monitor_mu_);
    selected_monitor_id_.clear();
    active_monitor_id_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(clipboard_mu_);
    clipboard_ = ClipboardIn{};
    clipboard_pending_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(nack_mu_);
    nack_ = NackBatch{};
    nack_pending_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(stats_mu_);
    stats_ = TabletStats{};
    stats_pending_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(window_mu_);
    window_commands_.clear();
  }
  keys_.ResetKeys();
  nondirectional_warned_ = false;
  peer_warnings_.Reset();
  LogInfo("[Protocol] Control channel state reset after disconnect");
}

// ---------------------------------------------------------------- queries

bool ProtocolHandler::InputEnabled() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return config_.input_enabled;
}

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
  return config_;
}

std::string ProtocolHandler::HostId() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return host_id_;
}

std::string ProtocolHandler::HostName() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return host_name_;
}

std::string ProtocolHandler::SelectedMonitorId() const {
  std::lock_guard<std::mutex> lock(monitor_mu_);
  return selected_monitor_id_;
}

std::string ProtocolHandler::DescribeClient() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  if (app_version_.empty()) return {};
  return "app " + Prefix(app_version_, kAppVersionLogBytes);
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
  if (message->has_hello_ack()) return sender(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());

  crypto::Bytes key;
  uint64_t counter = 0;
  bool directional = false;
  const bool may_send = authenticated_ || message->has_auth_status();
  if (!may_send || !keys_.TakeSendKey(&key, &counter, &directional)) {
    if (dropped_before_auth_.fetch_add(1) == 0) {
      LogWarn("[Protocol] Dropped outgoing control message before authentication (further ones until the next "
              "connection are only counted)");
    }
    return false;
  }
  if (counter > static_cast<uint64_t>(INT64_MAX)) {
    crypto::SecureWipe(key);
    LogError("[Protocol] Control encryption counter exhausted");
    return false;
  }
  const crypto::Bytes frame =
      security::SealSecureFrame(send_cipher_, key, directional ? security::kNonceControlHostDirectional
                                                               : security::kNonceControl,
                                counter, security::AsBytes(bytes));
  crypto::SecureWipe(key);
  if (frame.empty()) {
    LogError("[Protocol] Failed to encrypt outgoing control frame");
    return false;
  }
  return sender(frame.data(), frame.size());
}

bool ProtocolHandler::SendRekeyRequired(const std::string& reason, uint64_t server_epoch) {
  pb::ControlMessage message;
  pb::RekeyRequired* rekey = message.mutable_rekey_required();
  rekey->set_reason(reason);
  rekey->set_server_epoch(server_epoch);
  const bool sent = SendControlMessage(&message);
  if (sent) LogWarn("[Protocol] Sent RekeyRequired (reason=%s)", reason.c_str());
  return sent;
}

bool ProtocolHandler::SendAuthStatus(pb::AuthResult result) {
  pb::ControlMessage message;
  message.mutable_auth_status()->set_result(result);
  const bool sent = SendControlMessage(&message);
  if (sent) LogInfo("[Protocol] Sent AuthStatus result=%d", static_cast<int>(result));
  return sent;
}

bool ProtocolHandler::SendStreamStarted(const StreamStartedInfo& info) {
  pb::ControlMessage message;
  pb::StreamStarted* started = message.mutable_stream_started();
  started->set_session_id(info.session_id);
  started->set_stream_id(info.session_id);
  const int64_t now = clock_.NowUs();
  started->set_start_timestamp_us(now > 0 ? static_cast<uint64_t>(now) : 0);
  started->set_extended_display(info.extended_display);
  if (info.extended_display) started->set_display_number(info.display_number);
  switch (info.mirror_fallback) {
    case MirrorFallbackCause::kDriverNotInstalled:
      started->set_mirror_fallback_reason(pb::MIRROR_FALLBACK_REASON_DRIVER_NOT_INSTALLED);
      break;
    case MirrorFallbackCause::kVirtualDisplayFailed:
      started->set_mirror_fallback_reason(pb::MIRROR_FALLBACK_REASON_VIRTUAL_DISPLAY_FAILED);
      break;
    case MirrorFallbackCause::kMonitorNotFound:
      started->set_mirror_fallback_reason(pb::MIRROR_FALLBACK_REASON_MONITOR_NOT_FOUND);
      break;
    default:
      break;
  }
  started->set_source_width(info.source_width);
  started->set_source_height(info.source_height);
  streaming_ = true;
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendStreamStopped(const std::string& session_id) {
  pb::ControlMessage message;
  message.mutable_stream_stopped()->set_session_id(session_id);
  streaming_ = false;
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendStreamWarmup(const std::string& session_id, const std::string& phase,
                                       const std::string& reason, uint32_t expected_first_frame_deadline_ms) {
  pb::ControlMessage message;
  pb::StreamWarmup* warmup = message.mutable_stream_warmup();
  warmup->set_session_id(session_id);
  warmup->set_phase(phase);
  warmup->set_reason(reason);
  warmup->set_expected_first_frame_deadline_ms(expected_first_frame_deadline_ms);
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendFirstFrameProduced(const std::string& session_id, uint64_t timestamp_us,
                                             uint64_t frame_number) {
  pb::ControlMessage message;
  pb::FirstFrameProduced* produced = message.mutable_first_frame_produced();
  produced->set_session_id(session_id);
  produced->set_timestamp_us(timestamp_us);
  produced->set_frame_number(frame_number);
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendStreamResize(const std::string& session_id, FrameSize encoded, FrameSize logical,
                                       uint32_t scale_permille) {
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    if (!config_.stream_resize_supported) return false;
  }
  pb::ControlMessage message;
  pb::StreamResize* resize = message.mutable_stream_resize();
  resize->set_session_id(session_id);
  resize->mutable_encoded_resolution()->set_width(encoded.width);
  resize->mutable_encoded_resolution()->set_height(encoded.height);
  resize->mutable_logical_resolution()->set_width(logical.width);
  resize->mutable_logical_resolution()->set_height(logical.height);
  resize->set_scale_permille(scale_permille);
  const bool sent = SendControlMessage(&message);
  if (sent) {
    LogInfo("[Protocol] Sent StreamResize: encoded %ux%u logical %ux%u (%u/1000)", encoded.width, encoded.height,
            logical.width, logical.height, scale_permille);
  }
  return sent;
}

bool ProtocolHandler::SendDisplayOrientationUpdate(const std::string& session_id, uint32_t width, uint32_t height) {
  pb::ControlMessage message;
  pb::DisplayOrientationUpdate* update = message.mutable_display_orientation_update();
  update->set_session_id(session_id);
  update->set_orientation(width < height ? pb::DISPLAY_ORIENTATION_PORTRAIT : pb::DISPLAY_ORIENTATION_LANDSCAPE);
  update->mutable_stream_resolution()->set_width(width);
  update->mutable_stream_resolution()->set_height(height);
  const bool sent = SendControlMessage(&message);
  if (sent) LogInfo("[Protocol] Sent DisplayOrientationUpdate stream=%ux%u", width, height);
  return sent;
}

bool ProtocolHandler::SendExtendedDisplayInfo(uint32_t side, bool has_windows) {
  const uint32_t wire_side = side > 4 ? 0 : side;
  pb::ControlMessage message;
  pb::ExtendedDisplayInfo* info = message.mutable_extended_display_info();
  info->set_side(static_cast<pb::ExtendedSide>(wire_side));
  info->set_has_windows(has_windows);
  const bool sent = SendControlMessage(&message);
  if (sent) LogInfo("[Protocol] Sent ExtendedDisplayInfo side=%u has_windows=%s", wire_side, has_windows ? "yes" : "no");
  return sent;
}

bool ProtocolHandler::SendAudioRoute(bool plays_here, const std::string& owner_name) {
  pb::ControlMessage message;
  pb::AudioRoute* route = message.mutable_audio_route();
  route->set_plays_here(plays_here);
  route->set_owner_name(owner_name);
  const bool sent = SendControlMessage(&message);
  if (sent) LogInfo("[Protocol] Sent AudioRoute plays_here=%s owner_len=%zu", plays_here ? "yes" : "no", owner_name.size());
  return sent;
}

bool ProtocolHandler::SendMonitorListResponse() {
  std::shared_ptr<IMonitorEnumerator> enumerator;
  {
    std::lock_guard<std::mutex> lock(callbacks_mu_);
    enumerator = monitors_;
  }
  const std::vector<MonitorInfoData> monitors = enumerator ? enumerator->EnumerateMonitors()
                                                           : std::vector<MonitorInfoData>{};
  pb::ControlMessage message;
  pb::MonitorListResponse* response = message.mutable_monitor_list_response();
  std::string primary_id;
  for (const MonitorInfoData& m : monitors) {
    pb::MonitorInfo* info = response->add_monitors();
    info->set_monitor_id(m.id);
    info->set_display_name(m.display_name);
    info->set_position_x(m.x);
    info->set_position_y(m.y);
    info->set_width(m.width > 0 ? static_cast<uint32_t>(m.width) : 0u);
    info->set_height(m.height > 0 ? static_cast<uint32_t>(m.height) : 0u);
    info->set_is_primary(m.primary);
    info->set_refresh_rate_hz(m.refresh_rate);
    info->set_hdr_enabled(m.hdr);
    if (m.primary && primary_id.empty()) primary_id = m.id;
  }
  {
    std::lock_guard<std::mutex> lock(monitor_mu_);
    if (!selected_monitor_id_.empty()) {
      response->set_active_monitor_id(selected_monitor_id_);
    } else if (!active_monitor_id_.empty()) {
      response->set_active_monitor_id(active_monitor_id_);
    } else {
      response->set_active_monitor_id(primary_id);
    }
  }
  const bool sent = SendControlMessage(&message);
  if (sent) LogInfo("[Protocol] Sent MonitorListResponse with %zu monitors", monitors.size());
  return sent;
}

bool ProtocolHandler::SendWindowCommandResult(uint32_t request_id, bool move_back, WindowMoveStatus status,
                                              const std::string& window_title) {
  pb::WindowCommandStatus wire = pb::WINDOW_COMMAND_STATUS_FAILED;
  switch (status) {
    case WindowMoveStatus::kMoved:
      wire = pb::WINDOW_COMMAND_STATUS_MOVED;
      break;
    case WindowMoveStatus::kNoWindow:
      wire = pb::WINDOW_COMMAND_STATUS_NO_WINDOW;
      break;
    case WindowMoveStatus::kElevated:
      wire = pb::WINDOW_COMMAND_STATUS_ELEVATED;
      break;
    case WindowMoveStatus::kNotResponding:
      wire = pb::WINDOW_COMMAND_STATUS_NOT_RESPONDING;
      break;
    case WindowMoveStatus::kNotExtended:
      wire = pb::WINDOW_COMMAND_STATUS_NOT_EXTENDED;
      break;
    default:
      break;
  }
  const char* name = WindowMoveStatusName(status);
  pb::ControlMessage message;
  pb::WindowCommandResult* result = message.mutable_window_command_result();
  result->set_request_id(request_id);
  result->set_action(move_back ? pb::WINDOW_ACTION_MOVE_BACK : pb::WINDOW_ACTION_MOVE_FOREGROUND_TO_CLIENT_DISPLAY);
  result->set_status(wire);
  result->set_window_title(window_title);
  const bool sent = SendControlMessage(&message);
  if (sent) LogInfo("[Protocol] Sent WindowCommandResult request=%u status=%s", request_id, name);
  return sent;
}

bool ProtocolHandler::SendErrorMessage(uint32_t code, const std::string& description, bool fatal) {
  pb::ControlMessage message;
  pb::ErrorMessage* error = message.mutable_error();
  error->set_error_code(code);
  error->set_error_description(description);
  error->set_is_fatal(fatal);
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendStatsReport(const HostStreamStats& stats) {
  pb::ControlMessage message;
  pb::StatsReport* report = message.mutable_stats_report();
  report->set_session_id(stats.session_id);
  const int64_t now = clock_.NowUs();
  report->set_timestamp_us(now > 0 ? static_cast<uint64_t>(now) : 0);
  report->set_capture_ms_p50(stats.capture_ms_p50);
  report->set_capture_ms_p95(stats.capture_ms_p95);
  report->set_encode_ms_p50(stats.encode_ms_p50);
  report->set_encode_ms_p95(stats.encode_ms_p95);
  report->set_current_bitrate_kbps(stats.current_bitrate_kbps);
  return SendControlMessage(&message);
}

bool ProtocolHandler::SendPong(uint64_t ping_timestamp_us) {
  pb::ControlMessage message;
  pb::Pong* pong = message.mutable_pong();
  pong->set_ping_timestamp_us(ping_timestamp_us);
  const int64_t now = clock_.NowUs();
  pong->set_pong_timestamp_us(now > 0 ? static_cast<uint64_t>(now) : 0);
  return SendControlMessage(&message);
}

}  // namespace orvane
