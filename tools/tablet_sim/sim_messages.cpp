#include "tools/tablet_sim/sim_messages.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "host/common/logger.h"
#include "host/common/printf_check.h"
#include "host/common/utf.h"

namespace orvane::sim {
namespace {

// Longest host text quoted in a description.
constexpr size_t kMaxQuotedBytes = 160;
// Monitor entries printed of one list; a host sending more is cut short.
constexpr size_t kMaxMonitorLines = 16;

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

const char* OrientationName(int orientation) {
  switch (orientation) {
    case pb::DISPLAY_ORIENTATION_UNSPECIFIED: return "unspecified";
    case pb::DISPLAY_ORIENTATION_LANDSCAPE: return "landscape";
    case pb::DISPLAY_ORIENTATION_PORTRAIT: return "portrait";
    default: return "unknown";
  }
}

const char* WindowActionName(int action) {
  switch (action) {
    case pb::WINDOW_ACTION_UNSPECIFIED: return "none";
    case pb::WINDOW_ACTION_MOVE_FOREGROUND_TO_CLIENT_DISPLAY: return "to-tablet";
    case pb::WINDOW_ACTION_MOVE_BACK: return "back";
    default: return "unknown";
  }
}

const char* WindowStatusName(int status) {
  switch (status) {
    case pb::WINDOW_COMMAND_STATUS_UNSPECIFIED: return "unspecified";
    case pb::WINDOW_COMMAND_STATUS_MOVED: return "moved";
    case pb::WINDOW_COMMAND_STATUS_NO_WINDOW: return "no-window";
    case pb::WINDOW_COMMAND_STATUS_ELEVATED: return "elevated";
    case pb::WINDOW_COMMAND_STATUS_NOT_RESPONDING: return "not-responding";
    case pb::WINDOW_COMMAND_STATUS_NOT_EXTENDED: return "not-extended";
    case pb::WINDOW_COMMAND_STATUS_FAILED: return "failed";
    default: return "unknown";
  }
}

// "H264,HEVC,7" ("none" for an empty list).
std::string CodecList(const google::protobuf::RepeatedField<int>& codecs) {
  if (codecs.empty()) return "none";
  std::string out;
  for (const int c : codecs) {
    if (!out.empty()) out += ',';
    const char* name = CodecName(c);
    out += std::strcmp(name, "unknown") == 0 ? std::to_string(c) : name;
  }
  return out;
}

std::string NumberList(const google::protobuf::RepeatedField<uint32_t>& values) {
  if (values.empty()) return "none";
  std::string out;
  for (const uint32_t v : values) {
    if (!out.empty()) out += ',';
    out += std::to_string(v);
  }
  return out;
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
                                              const std::string& app_version,
                                              const std::vector<uint8_t>& ephemeral_public_key,
                                              bool directional_control_nonce, uint32_t auth_version,
                                              const std::vector<uint8_t>& pairing_proof) {
  pb::ControlMessage m = NewEnvelope();
  pb::Hello* hello = m.mutable_hello();
  hello->set_client_id(client_id);
  hello->set_client_name(client_name);
  hello->set_app_version(app_version);
  hello->set_protocol_version(protocol_version_);
  if (!ephemeral_public_key.empty()) {
    hello->set_ephemeral_public_key(ephemeral_public_key.data(), ephemeral_public_key.size());
  }
  hello->set_directional_control_nonce(directional_control_nonce);
  hello->set_auth_version(auth_version);
  if (!pairing_proof.empty()) hello->set_pairing_proof(pairing_proof.data(), pairing_proof.size());
  return m;
}

pb::ControlMessage MessageFactory::BuildAuthProof(const std::vector<uint8_t>& proof) {
  pb::ControlMessage m = NewEnvelope();
  pb::AuthProof* auth = m.mutable_auth_proof();
  if (!proof.empty()) auth->set_proof(proof.data(), proof.size());
  return m;
}

pb::ControlMessage MessageFactory::BuildKeyRotation(uint64_t next_epoch,
                                                    const std::vector<uint8_t>& ephemeral_public_key) {
  pb::ControlMessage m = NewEnvelope();
  pb::KeyRotation* rotation = m.mutable_key_rotation();
  rotation->set_next_epoch(next_epoch);
  rotation->set_ephemeral_public_key(ephemeral_public_key.data(), ephemeral_public_key.size());
  return m;
}

pb::ControlMessage MessageFactory::BuildCapabilityExchange(const TabletCapabilities& caps) {
  pb::ControlMessage m = NewEnvelope();
  pb::CapabilityExchange* c = m.mutable_capability_exchange();
  // Numbers go in as given: the host has to cope with codecs it does not know.
  for (const uint32_t codec : caps.codecs) c->mutable_supported_codecs()->Add(static_cast<int>(codec));
  uint32_t top_fps = 0;
  for (const uint32_t fps : caps.fps) {
    c->add_supported_fps(fps);
    if (fps > top_fps) top_fps = fps;
  }
  c->mutable_audio()->set_opus_supported(true);
  c->mutable_audio()->add_sample_rates(48'000);
  c->mutable_audio()->set_channels(2);
  pb::InputCapability* input = c->mutable_input();
  input->set_touch(true);
  input->set_pen_pressure(true);
  input->set_pen_tilt(true);
  input->set_pen_hover(true);
  input->set_pen_button(true);
  input->set_keyboard(true);
  input->set_max_touch_points(10);
  c->set_device_model("Orvane Tablet Sim");
  c->set_os_version("Android 14");
  if (caps.screen_width != 0 || caps.screen_height != 0) {
    c->mutable_preferred_resolution()->set_width(caps.screen_width);
    c->mutable_preferred_resolution()->set_height(caps.screen_height);
  }
  c->set_fec_supported(true);
  for (const uint32_t codec : caps.codecs) {
    pb::CodecCapability* cap = c->add_codec_capabilities();
    cap->set_codec(static_cast<pb::VideoCodec>(static_cast<int>(codec)));
    cap->set_max_width(3840);
    cap->set_max_height(2160);
    cap->set_max_fps(top_fps);
    cap->set_hardware_decode(caps.hardware_decode);
    cap->set_uhd120_capable(false);
  }
  c->set_display_orientation(static_cast<pb::DisplayOrientation>(static_cast<int>(caps.orientation)));
  c->set_stream_resize_supported(true);
  c->set_max_fragments_per_frame(caps.max_fragments);
  c->set_route_class(caps.route_class);
  return m;
}

pb::ControlMessage MessageFactory::BuildNackRequest(const std::vector<uint32_t>& sequence_numbers) {
  pb::ControlMessage m = NewEnvelope();
  pb::NackRequest* nack = m.mutable_nack_request();
  nack->set_stream_type(1);
  for (const uint32_t seq : sequence_numbers) nack->add_sequence_numbers(seq);
  return m;
}

pb::ControlMessage MessageFactory::BuildStatsReport(const MeasuredStats& stats) {
  pb::ControlMessage m = NewEnvelope();
  pb::StatsReport* r = m.mutable_stats_report();
  r->set_session_id(stats.session_id);
  r->set_timestamp_us(m.timestamp_us());
  r->set_rtt_ms(stats.rtt_ms);
  r->set_packet_loss_pct(stats.packet_loss_pct);
  r->set_current_bitrate_kbps(stats.bitrate_kbps);
  r->set_fec_recovered_packets(stats.fec_recovered_packets);
  r->set_route_class(stats.route_class);
  r->set_decode_pressure_pct(stats.decode_pressure_pct);
  r->set_late_drop_pct(stats.late_drop_pct);
  return m;
}

pb::ControlMessage MessageFactory::BuildStep(const ScriptStep& step, const TabletCapabilities& caps) {
  if (step.kind == StepKind::kCapability) return BuildCapabilityExchange(caps);
  pb::ControlMessage m = NewEnvelope();
  switch (step.kind) {
    case StepKind::kStartStream:
      m.mutable_start_stream()->set_session_id(step.text);
      break;
    case StepKind::kStopStream:
      m.mutable_stop_stream()->set_session_id(step.text);
      m.mutable_stop_stream()->set_reason(pb::STOP_REASON_USER_REQUEST);
      break;
    case StepKind::kQuality:
      m.mutable_set_quality_profile()->set_target_bitrate_kbps(step.first);
      m.mutable_set_quality_profile()->set_target_fps(step.second);
      m.mutable_set_quality_profile()->set_codec(static_cast<pb::VideoCodec>(static_cast<int>(step.third)));
      break;
    case StepKind::kKeyframe:
      m.mutable_request_keyframe()->set_stream_id(step.text);
      break;
    case StepKind::kAudio:
      m.mutable_set_audio_enabled()->set_enabled(step.first != 0);
      m.mutable_set_audio_enabled()->set_mute_host_speakers(step.second != 0);
      break;
    case StepKind::kPause:
    case StepKind::kResume:
      m.mutable_set_video_paused()->set_paused(step.kind == StepKind::kPause);
      break;
    case StepKind::kFirstFrame:
      m.mutable_first_frame_rendered()->set_session_id(step.text);
      m.mutable_first_frame_rendered()->set_timestamp_us(m.timestamp_us());
      m.mutable_first_frame_rendered()->set_rendered_frames(1);
      break;
    case StepKind::kFileTransfer: {
      pb::StartFileTransfer* f = m.mutable_start_file_transfer();
      f->set_transfer_id("sim-transfer-1");
      f->set_filename("notes.txt");
      f->set_file_size_bytes(1024);
      f->set_direction(pb::TRANSFER_DIRECTION_CLIENT_TO_HOST);
      break;
    }
    case StepKind::kClipboard:
      m.mutable_clipboard_update()->set_text(step.text);
      m.mutable_clipboard_update()->set_mime_type("text/plain");
      break;
    case StepKind::kNack:
      m.mutable_nack_request()->set_stream_type(step.third);
      // Bounded whatever the step holds.
      for (uint64_t n = step.first; n <= step.second && n - step.first < kMaxNackNumbers; ++n) {
        m.mutable_nack_request()->add_sequence_numbers(static_cast<uint32_t>(n));
      }
      break;
    case StepKind::kStats: {
      pb::StatsReport* r = m.mutable_stats_report();
      r->set_session_id("sim-session");
      r->set_timestamp_us(m.timestamp_us());
      r->set_rtt_ms(12.5f);
      r->set_jitter_ms(2.0f);
      r->set_packet_loss_pct(0.5f);
      r->set_avg_decode_ms(6.0f);
      r->set_receiver_drop_pct(0.0f);
      r->set_decode_pressure_pct(35.0f);
      r->set_fec_recovered_packets(3);
      r->set_late_drop_pct(0.0f);
      r->set_route_class(caps.route_class);
      break;
    }
    case StepKind::kPing:
      m.mutable_ping()->set_send_timestamp_us(m.timestamp_us());
      break;
    case StepKind::kTerminate:
      m.mutable_session_terminate()->set_session_id("sim-session");
      m.mutable_session_terminate()->set_reason(step.text);
      break;
    case StepKind::kMonitors:
      m.mutable_monitor_list_request();
      break;
    case StepKind::kSelectMonitor:
      m.mutable_select_monitor()->set_monitor_id(step.text);
      break;
    case StepKind::kOrientation:
      m.mutable_display_orientation_update()->set_session_id("sim-session");
      m.mutable_display_orientation_update()->set_orientation(
          static_cast<pb::DisplayOrientation>(static_cast<int>(step.first)));
      break;
    case StepKind::kWindow:
      m.mutable_window_command()->set_action(static_cast<pb::WindowAction>(static_cast<int>(step.first)));
      m.mutable_window_command()->set_request_id(next_window_request_++);
      break;
    default:  // empty, and the steps the session handles itself: the envelope only
      break;
  }
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
      line.Add("request_id=%u action=%s status=%s (%d)", w.request_id(), WindowActionName(w.action()),
               WindowStatusName(w.status()), static_cast<int>(w.status()))
          .Text("window_title", w.window_title());
      break;
    }
    case pb::ControlMessage::kHello: {
      const pb::Hello& h = message.hello();
      line.Text("client_id", h.client_id())
          .Text("client_name", h.client_name())
          .Text("app_version", h.app_version())
          .Add("protocol_version=%u auth_version=%u ephemeral_key=%zu bytes directional_control_nonce=%d",
               h.protocol_version(), h.auth_version(), h.ephemeral_public_key().size(),
               h.directional_control_nonce() ? 1 : 0)
          .Add("pairing_proof=%zu bytes", h.pairing_proof().size());
      break;
    }
    case pb::ControlMessage::kAuthProof:
      line.Add("proof=%zu bytes", message.auth_proof().proof().size());
      break;
    case pb::ControlMessage::kCapabilityExchange: {
      const pb::CapabilityExchange& c = message.capability_exchange();
      line.Add("codecs=%s screen=%ux%u fps=%s", CodecList(c.supported_codecs()).c_str(),
               c.preferred_resolution().width(), c.preferred_resolution().height(),
               NumberList(c.supported_fps()).c_str())
          .Text("route_class", c.route_class())
          .Add("max_fragments=%u orientation=%s hw_decode=%s", c.max_fragments_per_frame(),
               OrientationName(c.display_orientation()),
               YesNo(c.codec_capabilities_size() > 0 && c.codec_capabilities(0).hardware_decode()));
      break;
    }
    case pb::ControlMessage::kStartStream:
      line.Text("session_id", message.start_stream().session_id());
      break;
    case pb::ControlMessage::kStopStream:
      line.Text("session_id", message.stop_stream().session_id())
          .Add("reason=%d", static_cast<int>(message.stop_stream().reason()));
      break;
    case pb::ControlMessage::kSetQualityProfile: {
      const pb::SetQualityProfile& q = message.set_quality_profile();
      line.Add("bitrate=%u kbps fps=%u codec=%s (%d)", q.target_bitrate_kbps(), q.target_fps(), CodecName(q.codec()),
               static_cast<int>(q.codec()));
      break;
    }
    case pb::ControlMessage::kRequestKeyframe:
      line.Text("stream_id", message.request_keyframe().stream_id());
      break;
    case pb::ControlMessage::kSetAudioEnabled:
      line.Add("enabled=%s mute_host_speakers=%s", YesNo(message.set_audio_enabled().enabled()),
               YesNo(message.set_audio_enabled().mute_host_speakers()));
      break;
    case pb::ControlMessage::kSetVideoPaused:
      line.Add("paused=%s", YesNo(message.set_video_paused().paused()));
      break;
    case pb::ControlMessage::kFirstFrameRendered:
      line.Text("session_id", message.first_frame_rendered().session_id())
          .Add("rendered_frames=%" PRIu64, message.first_frame_rendered().rendered_frames());
      break;
    case pb::ControlMessage::kStartFileTransfer:
      line.Text("filename", message.start_file_transfer().filename())
          .Add("size=%" PRIu64 " bytes", message.start_file_transfer().file_size_bytes());
      break;
    case pb::ControlMessage::kNackRequest: {
      const pb::NackRequest& n = message.nack_request();
      line.Add("stream_type=%u count=%d", n.stream_type(), n.sequence_numbers_size());
      if (n.sequence_numbers_size() > 0) {
        line.Add("first_seq=%u last_seq=%u", n.sequence_numbers(0), n.sequence_numbers(n.sequence_numbers_size() - 1));
      }
      break;
    }
    case pb::ControlMessage::kPing:
      line.Add("send_timestamp_us=%" PRIu64, message.ping().send_timestamp_us());
      break;
    case pb::ControlMessage::kSessionTerminate:
      line.Text("session_id", message.session_terminate().session_id())
          .Text("reason", message.session_terminate().reason());
      break;
    case pb::ControlMessage::kSelectMonitor:
      line.Text("monitor_id", message.select_monitor().monitor_id());
      break;
    case pb::ControlMessage::kWindowCommand:
      line.Add("action=%s (%d) request_id=%u", WindowActionName(message.window_command().action()),
               static_cast<int>(message.window_command().action()), message.window_command().request_id());
      break;
    case pb::ControlMessage::kAudioRoute:
      line.Add("plays_here=%s", YesNo(message.audio_route().plays_here())).Text("owner_name", message.audio_route().owner_name());
      break;
    case pb::ControlMessage::kExtendedDisplayInfo:
      line.Add("side=%d has_windows=%s", static_cast<int>(message.extended_display_info().side()),
               YesNo(message.extended_display_info().has_windows()));
      break;
    case pb::ControlMessage::kDisplayOrientationUpdate: {
      const pb::DisplayOrientationUpdate& d = message.display_orientation_update();
      line.Add("orientation=%s (%d) stream=%ux%u", OrientationName(d.orientation()), static_cast<int>(d.orientation()),
               d.stream_resolution().width(), d.stream_resolution().height());
      break;
    }
    case pb::ControlMessage::kCursorUpdate: {
      const pb::CursorUpdate& c = message.cursor_update();
      line.Add("position=%d,%d visible=%s", c.position_x(), c.position_y(), YesNo(c.visible()));
      line.Text("shape", c.shape());
      line.Add("hotspot=%d,%d size=%ux%u bitmap=%zu bytes", c.hotspot_x(), c.hotspot_y(), c.width(), c.height(),
               c.bitmap_argb().size());
      // A picture is width x height pixels of four bytes.
      const uint64_t expected = static_cast<uint64_t>(c.width()) * c.height() * 4;
      if (!c.bitmap_argb().empty() && c.bitmap_argb().size() != expected) {
        line.Add("(bitmap does not match the size: %llu bytes expected)", static_cast<unsigned long long>(expected));
      }
      break;
    }
    case pb::ControlMessage::kClipboardUpdate:
      line.Add("text=%zu bytes image=%zu bytes", message.clipboard_update().text().size(),
               message.clipboard_update().image_data().size());
      break;
    case pb::ControlMessage::kStatsReport: {
      const pb::StatsReport& r = message.stats_report();
      line.Add("bitrate=%u kbps encode_p50=%.2f ms rtt=%.1f ms loss=%.1f%%", r.current_bitrate_kbps(),
               static_cast<double>(r.encode_ms_p50()), static_cast<double>(r.rtt_ms()),
               static_cast<double>(r.packet_loss_pct()));
      // Only when given: the lines of runs without them stay as they were.
      if (r.decode_pressure_pct() != 0.0f || r.late_drop_pct() != 0.0f) {
        line.Add("decode_pressure=%.3f%% late_drop=%.3f%%", static_cast<double>(r.decode_pressure_pct()),
                 static_cast<double>(r.late_drop_pct()));
      }
      break;
    }
    default:
      break;
  }
  line.Add("(type=%d seq=%" PRIu64 ")", type, message.sequence_id());
  return line.str();
}

std::vector<std::string> DescribeMonitorEntries(const pb::ControlMessage& message) {
  std::vector<std::string> lines;
  if (message.payload_case() != pb::ControlMessage::kMonitorListResponse) return lines;
  const auto& monitors = message.monitor_list_response().monitors();
  for (const pb::MonitorInfo& m : monitors) {
    if (lines.size() == kMaxMonitorLines) {
      lines.push_back("... " + std::to_string(monitors.size() - static_cast<int>(kMaxMonitorLines)) + " more");
      break;
    }
    Line line("monitor");
    line.Text("id", m.monitor_id())
        .Text("name", m.display_name())
        .Add("%ux%u at %d,%d primary=%s %u Hz hdr=%s", m.width(), m.height(), m.position_x(), m.position_y(),
             YesNo(m.is_primary()), m.refresh_rate_hz(), YesNo(m.hdr_enabled()));
    lines.push_back(line.str());
  }
  return lines;
}

std::vector<std::string> DescribeHostFigures(const pb::ControlMessage& message) {
  char text[160];
  switch (message.payload_case()) {
    case pb::ControlMessage::kStreamResize: {
      const pb::StreamResize& r = message.stream_resize();
      std::snprintf(text, sizeof text, "StreamResize encoded=%ux%u logical=%ux%u scale=%u/1000",
                    r.encoded_resolution().width(), r.encoded_resolution().height(), r.logical_resolution().width(),
                    r.logical_resolution().height(), r.scale_permille());
      return {text};
    }
    case pb::ControlMessage::kStatsReport:
      std::snprintf(text, sizeof text, "Host bitrate current_bitrate_kbps=%u",
                    message.stats_report().current_bitrate_kbps());
      return {text};
    default:
      return {};
  }
}

bool IsSecureFrame(const uint8_t* data, size_t length) {
  return data != nullptr && length >= sizeof kSecureFrameMagic &&
         std::memcmp(data, kSecureFrameMagic, sizeof kSecureFrameMagic) == 0;
}

std::string DescribeUnreadableFrame(const uint8_t* data, size_t length) {
  if (IsSecureFrame(data, length)) {
    char text[96];
    std::snprintf(text, sizeof text, "a secure frame (%zu bytes)", length);
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
