#include "tools/tablet_sim/sim_messages.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "host/app/logger.h"
#include "host/common/printf_check.h"
#include "host/common/utf.h"

namespace orvane::sim {
namespace {

// Longest host text quoted in a description.
constexpr size_t kMaxQuotedBytes = 160;

std::string Quoted(std::string_view text) {
  const std::string_view cut = Utf8Prefix(text, kMaxQuotedBytes);
  std::string out(1, '\'');
  out.append(EscapeUntrusted(cut));
  if (cut.size() < text.size()) out.append("...");
  out.push_back('\'');
  return out;
}

const char* YesNo(bool v) { return v ? "yes" : "no"; }

class Line {
 public:
  explicit Line(const char* type) : text_(type) {}
  Line& Add(const char* format, ...) ORVANE_PRINTF(2, 3) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text_ += ' ';
    text_ += buffer;
    return *this;
  }
  Line& Text(const char* key, std::string_view value) {
    text_ += ' ';
    text_ += key;
    text_ += '=';
    text_ += Quoted(value);
    return *this;
  }
  std::string str() const { return text_; }

 private:
  std::string text_;
};

const char* CodecName(int codec) {
  switch (codec) {
    case pb::VIDEO_CODEC_H264: return "H264";
    case pb::VIDEO_CODEC_HEVC: return "HEVC";
    case pb::VIDEO_CODEC_UNSPECIFIED: return "unspecified";
    default: return "unknown";
  }
}

}  // namespace

pb::ControlMessage MessageFactory::NewEnvelope() {
  pb::ControlMessage m;
  m.set_protocol_version(protocol_version_);
  m.set_sequence_id(next_sequence_++);
  const int64_t now = clock_.NowUs();
  m.set_timestamp_us(now > 0 ? static_cast<uint64_t>(now) : 0);
  return m;
}

pb::ControlMessage MessageFactory::BuildHello(const std::string& client_id, const std::string& client_name,
                                              const std::string& app_version) {
  pb::ControlMessage m = NewEnvelope();
  pb::Hello* hello = m.mutable_hello();
  hello->set_client_id(client_id);
  hello->set_client_name(client_name);
  hello->set_app_version(app_version);
  hello->set_protocol_version(protocol_version_);
  return m;
}

const char* PayloadName(int field_number) {
  switch (field_number) {
    case 0: return "none";
    case 10: return "Hello";
    case 11: return "HelloAck";
    case 12: return "CapabilityExchange";
    case 13: return "CapabilityAccept";
    case 14: return "StartStream";
    case 15: return "StopStream";
    case 16: return "StreamStarted";
    case 17: return "StreamStopped";
    case 18: return "StreamWarmup";
    case 19: return "FirstFrameProduced";
    case 20: return "SetQualityProfile";
    case 21: return "RequestKeyframe";
    case 22: return "SetAudioEnabled";
    case 23: return "FirstFrameRendered";
    case 24: return "AuthProof";
    case 25: return "AuthStatus";
    case 26: return "StreamResize";
    case 27: return "SetVideoPaused";
    case 30: return "StartFileTransfer";
    case 31: return "FileTransferAck";
    case 32: return "CursorUpdate";
    case 33: return "ClipboardUpdate";
    case 34: return "NackRequest";
    case 40: return "StatsReport";
    case 50: return "Ping";
    case 51: return "Pong";
    case 60: return "ErrorMessage";
    case 70: return "SessionTerminate";
    case 80: return "KeyRotation";
    case 81: return "KeyRotationAck";
    case 82: return "RekeyRequired";
    case 90: return "MonitorListRequest";
    case 91: return "MonitorListResponse";
    case 92: return "SelectMonitor";
    case 93: return "DisplayOrientationUpdate";
    case 94: return "WindowCommand";
    case 95: return "WindowCommandResult";
    case 96: return "AudioRoute";
    case 97: return "ExtendedDisplayInfo";
    default: return "unknown";
  }
}

std::string AuthResultText(int value) {
  const char* name = nullptr;
  switch (value) {
    case pb::AUTH_RESULT_OK: name = "AUTH_RESULT_OK"; break;
    case pb::AUTH_RESULT_PAIRING_REQUIRED: name = "AUTH_RESULT_PAIRING_REQUIRED"; break;
    case pb::AUTH_RESULT_VERSION_MISMATCH: name = "AUTH_RESULT_VERSION_MISMATCH"; break;
    case pb::AUTH_RESULT_REJECTED: name = "AUTH_RESULT_REJECTED"; break;
    case pb::AUTH_RESULT_HOST_BUSY: name = "AUTH_RESULT_HOST_BUSY"; break;
    default: name = "unknown"; break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s (%d)", name, value);
  return text;
}

std::string DescribeMessage(const pb::ControlMessage& message) {
  const int type = static_cast<int>(message.payload_case());
  Line line(PayloadName(type));
  switch (message.payload_case()) {
    case pb::ControlMessage::kHelloAck: {
      const pb::HelloAck& a = message.hello_ack();
      line.Add("auth_result=%s max_sessions=%u", AuthResultText(a.result()).c_str(), a.max_sessions())
          .Text("host_id", a.host_id())
          .Text("host_name", a.host_name())
          .Text("host_version", a.host_version())
          .Add("auth_version=%u directional_control_nonce=%d", a.auth_version(), a.directional_control_nonce() ? 1 : 0)
          .Add("host_ephemeral_key=%zu bytes", a.ephemeral_public_key().size());
      if (!a.host_identity_public_key().empty() || !a.host_signature().empty()) {
        line.Add("host_identity_key=%zu bytes host_signature=%zu bytes", a.host_identity_public_key().size(),
                 a.host_signature().size());
      }
      break;
    }
    case pb::ControlMessage::kAuthStatus:
      line.Add("auth_result=%s", AuthResultText(message.auth_status().result()).c_str());
      break;
    case pb::ControlMessage::kCapabilityAccept: {
      const pb::CapabilityAccept& c = message.capability_accept();
      line.Add("codec=%s %ux%u @%u fps bitrate=%u kbps audio=%s input=%s media_port=%u input_port=%u fec=%s "
               "stream_resize=%s window_commands=%s",
               CodecName(c.selected_codec()), c.selected_resolution().width(), c.selected_resolution().height(),
               c.selected_fps(), c.initial_bitrate_kbps(), YesNo(c.audio_enabled()), YesNo(c.input_enabled()),
               c.media_udp_port(), c.input_udp_port(), YesNo(c.fec_enabled()), YesNo(c.stream_resize_enabled()),
               YesNo(c.window_commands_supported()));
      break;
    }
    case pb::ControlMessage::kStreamStarted: {
      const pb::StreamStarted& s = message.stream_started();
      line.Text("session_id", s.session_id())
          .Add("extended=%s display_number=%u mirror_fallback_reason=%d source=%ux%u", YesNo(s.extended_display()),
               s.display_number(), static_cast<int>(s.mirror_fallback_reason()), s.source_width(), s.source_height());
      break;
    }
    case pb::ControlMessage::kStreamStopped:
      line.Text("session_id", message.stream_stopped().session_id());
      break;
    case pb::ControlMessage::kStreamWarmup: {
      const pb::StreamWarmup& w = message.stream_warmup();
      line.Text("phase", w.phase()).Text("reason", w.reason()).Add("deadline_ms=%u", w.expected_first_frame_deadline_ms());
      break;
    }
    case pb::ControlMessage::kFirstFrameProduced:
      line.Add("frame_number=%" PRIu64, message.first_frame_produced().frame_number());
      break;
    case pb::ControlMessage::kStreamResize: {
      const pb::StreamResize& r = message.stream_resize();
      line.Add("encoded=%ux%u logical=%ux%u scale_permille=%u", r.encoded_resolution().width(),
               r.encoded_resolution().height(), r.logical_resolution().width(), r.logical_resolution().height(),
               r.scale_permille());
      break;
    }
    case pb::ControlMessage::kError: {
      const pb::ErrorMessage& e = message.error();
      line.Add("error_code=%u fatal=%s", e.error_code(), YesNo(e.is_fatal())).Text("description", e.error_description());
      break;
    }
    case pb::ControlMessage::kPong:
      line.Add("ping_timestamp_us=%" PRIu64 " pong_timestamp_us=%" PRIu64, message.pong().ping_timestamp_us(),
               message.pong().pong_timestamp_us());
      break;
    case pb::ControlMessage::kKeyRotation:
      line.Add("next_epoch=%" PRIu64 " ephemeral_key=%zu bytes", message.key_rotation().next_epoch(),
               message.key_rotation().ephemeral_public_key().size());
      break;
    case pb::ControlMessage::kKeyRotationAck:
      line.Add("next_epoch=%" PRIu64 " accepted=%s", message.key_rotation_ack().next_epoch(),
               YesNo(message.key_rotation_ack().accepted()));
      break;
    case pb::ControlMessage::kRekeyRequired:
      line.Text("reason", message.rekey_required().reason())
          .Add("server_epoch=%" PRIu64, message.rekey_required().server_epoch());
      break;
    case pb::ControlMessage::kMonitorListResponse:
      line.Add("monitors=%d", message.monitor_list_response().monitors_size())
          .Text("active_monitor_id", message.monitor_list_response().active_monitor_id());
      break;
    case pb::ControlMessage::kWindowCommandResult: {
      const pb::WindowCommandResult& w = message.window_command_result();
      line.Add("request_id=%u status=%d", w.request_id(), static_cast<int>(w.status())).Text("window_title", w.window_title());
      break;
    }
    case pb::ControlMessage::kAudioRoute:
      line.Add("plays_here=%s", YesNo(message.audio_route().plays_here())).Text("owner_name", message.audio_route().owner_name());
      break;
    case pb::ControlMessage::kExtendedDisplayInfo:
      line.Add("side=%d has_windows=%s", static_cast<int>(message.extended_display_info().side()),
               YesNo(message.extended_display_info().has_windows()));
      break;
    case pb::ControlMessage::kDisplayOrientationUpdate: {
      const pb::DisplayOrientationUpdate& d = message.display_orientation_update();
      line.Add("orientation=%d stream=%ux%u", static_cast<int>(d.orientation()), d.stream_resolution().width(),
               d.stream_resolution().height());
      break;
    }
    case pb::ControlMessage::kCursorUpdate: {
      const pb::CursorUpdate& c = message.cursor_update();
      line.Add("position=%d,%d visible=%s size=%ux%u bitmap=%zu bytes", c.position_x(), c.position_y(),
               YesNo(c.visible()), c.width(), c.height(), c.bitmap_argb().size());
      break;
    }
    case pb::ControlMessage::kClipboardUpdate:
      line.Add("text=%zu bytes image=%zu bytes", message.clipboard_update().text().size(),
               message.clipboard_update().image_data().size());
      break;
    case pb::ControlMessage::kStatsReport:
      line.Add("bitrate=%u kbps encode_p50=%.2f ms", message.stats_report().current_bitrate_kbps(),
               static_cast<double>(message.stats_report().encode_ms_p50()));
      break;
    default:
      break;
  }
  line.Add("(type=%d seq=%" PRIu64 ")", type, message.sequence_id());
  return line.str();
}

bool IsSecureFrame(const uint8_t* data, size_t length) {
  return data != nullptr && length >= sizeof kSecureFrameMagic &&
         std::memcmp(data, kSecureFrameMagic, sizeof kSecureFrameMagic) == 0;
}

std::string DescribeUnreadableFrame(const uint8_t* data, size_t length) {
  if (IsSecureFrame(data, length)) {
    char text[96];
    std::snprintf(text, sizeof text, "a secure frame (%zu bytes) that this simulator cannot open yet", length);
    return text;
  }
  uint8_t prefix[4] = {};
  if (data != nullptr) std::memcpy(prefix, data, length < sizeof prefix ? length : sizeof prefix);
  char text[96];
  std::snprintf(text, sizeof text, "%zu bytes that are not a ControlMessage (prefix=%02X%02X%02X%02X)", length,
                prefix[0], prefix[1], prefix[2], prefix[3]);
  return text;
}

}  // namespace orvane::sim
