#include "tools/tablet_sim/sim_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::sim {
namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SimMessages, HelloCarriesTheIdentityAndAFreshEnvelope) {
  ManualClock clock(5'000);
  MessageFactory factory(clock, 1);
  const std::vector<uint8_t> key(64, 0x42);
  const pb::ControlMessage hello = factory.BuildHello("tab-a", "Tablet A", "1.3.5", key, true);
  EXPECT_EQ(hello.protocol_version(), 1u);
  EXPECT_EQ(hello.sequence_id(), 1u);
  EXPECT_EQ(hello.timestamp_us(), 5'000'000u);
  ASSERT_EQ(hello.payload_case(), pb::ControlMessage::kHello);
  EXPECT_EQ(hello.hello().client_id(), "tab-a");
  EXPECT_EQ(hello.hello().client_name(), "Tablet A");
  EXPECT_EQ(hello.hello().app_version(), "1.3.5");
  EXPECT_EQ(hello.hello().protocol_version(), 1u);
  EXPECT_EQ(hello.hello().ephemeral_public_key(), std::string(64, '\x42'));
  EXPECT_TRUE(hello.hello().directional_control_nonce());
  EXPECT_EQ(hello.hello().auth_version(), 0u);
  EXPECT_TRUE(hello.hello().pairing_proof().empty());

  // The wire form parses back to the same message.
  pb::ControlMessage parsed;
  ASSERT_TRUE(parsed.ParseFromString(hello.SerializeAsString()));
  EXPECT_EQ(parsed.hello().client_id(), "tab-a");

  clock.AdvanceMs(3);
  const pb::ControlMessage next = factory.NewEnvelope();
  EXPECT_EQ(next.sequence_id(), 2u);
  EXPECT_EQ(next.timestamp_us(), 5'003'000u);
  EXPECT_EQ(factory.next_sequence(), 3u);
}

TEST(SimMessages, ProtocolVersionGoesIntoEnvelopeAndHello) {
  ManualClock clock;
  MessageFactory factory(clock, 2);
  const pb::ControlMessage hello = factory.BuildHello("id", "name", "1.3.5", {}, false);
  EXPECT_EQ(hello.protocol_version(), 2u);
  EXPECT_EQ(hello.hello().protocol_version(), 2u);
  // Without a key pair the Hello carries none; the nonce request as given.
  EXPECT_TRUE(hello.hello().ephemeral_public_key().empty());
  EXPECT_FALSE(hello.hello().directional_control_nonce());
  EXPECT_EQ(DescribeMessage(hello).find("Hello client_id='id' client_name='name' app_version='1.3.5' "
                                        "protocol_version=2 auth_version=0 ephemeral_key=0 bytes "
                                        "directional_control_nonce=0 "),
            0u)
      << DescribeMessage(hello);
}

TEST(SimMessages, AuthenticationFieldsOfHelloAndAuthProof) {
  ManualClock clock;
  MessageFactory factory(clock, 1);
  const pb::ControlMessage hello =
      factory.BuildHello("id", "name", "1.3.5", std::vector<uint8_t>(64, 1), true, 2, std::vector<uint8_t>(32, 7));
  EXPECT_EQ(hello.hello().auth_version(), 2u);
  EXPECT_EQ(hello.hello().pairing_proof(), std::string(32, '\x07'));
  EXPECT_TRUE(Has(DescribeMessage(hello), " auth_version=2 ephemeral_key=64 bytes directional_control_nonce=1 "
                                          "pairing_proof=32 bytes (type=10 seq=1)"))
      << DescribeMessage(hello);

  const pb::ControlMessage proof = factory.BuildAuthProof(std::vector<uint8_t>(32, 9));
  ASSERT_EQ(proof.payload_case(), pb::ControlMessage::kAuthProof);
  EXPECT_EQ(proof.auth_proof().proof(), std::string(32, '\x09'));
  EXPECT_EQ(proof.sequence_id(), 2u);
  EXPECT_EQ(DescribeMessage(proof), "AuthProof proof=32 bytes (type=24 seq=2)");
  // Without a credential the AuthProof is empty: the host then decides on pairing.
  EXPECT_TRUE(factory.BuildAuthProof({}).auth_proof().proof().empty());
}

TEST(SimMessages, KeyRotationCarriesTheEpochAndTheKey) {
  ManualClock clock;
  MessageFactory factory(clock, 1);
  const pb::ControlMessage m = factory.BuildKeyRotation(1234567890123ull, std::vector<uint8_t>(64, 0x07));
  ASSERT_EQ(m.payload_case(), pb::ControlMessage::kKeyRotation);
  EXPECT_EQ(m.sequence_id(), 1u);
  EXPECT_EQ(m.key_rotation().next_epoch(), 1234567890123ull);
  EXPECT_EQ(m.key_rotation().ephemeral_public_key(), std::string(64, '\x07'));
  EXPECT_EQ(DescribeMessage(m), "KeyRotation next_epoch=1234567890123 ephemeral_key=64 bytes (type=80 seq=1)");
}

TEST(SimMessages, HelloAckDescriptionStartsWithTheResultAndTheLimit) {
  pb::ControlMessage m;
  m.set_sequence_id(7);
  pb::HelloAck* ack = m.mutable_hello_ack();
  ack->set_result(pb::AUTH_RESULT_HOST_BUSY);
  ack->set_max_sessions(1);
  ack->set_host_id("orvane-PC");
  ack->set_host_name("PC\nforged line");
  ack->set_host_version("1.3.5");
  ack->set_ephemeral_public_key(std::string(65, '\x04'));
  const std::string d = DescribeMessage(m);
  EXPECT_EQ(d.rfind("HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=1 ", 0), 0u) << d;
  EXPECT_TRUE(Has(d, "host_id='orvane-PC'")) << d;
  EXPECT_TRUE(Has(d, "host_name='PC\\x0Aforged line'")) << d;  // one line, whatever the host sends
  EXPECT_TRUE(Has(d, "host_version='1.3.5'")) << d;
  EXPECT_TRUE(Has(d, "host_ephemeral_key=65 bytes")) << d;
  EXPECT_TRUE(Has(d, "(type=11 seq=7)")) << d;
  EXPECT_EQ(d.find('\n'), std::string::npos);
}

TEST(SimMessages, DescribesKeyFieldsOfOtherHostMessages) {
  struct Case {
    pb::ControlMessage message;
    const char* expected;
  };
  Case cases[6];
  cases[0].message.mutable_error()->set_error_code(2504);
  cases[0].message.mutable_error()->set_is_fatal(true);
  cases[0].message.mutable_error()->set_error_description("Disconnected from the PC");
  cases[0].expected = "ErrorMessage error_code=2504 fatal=yes description='Disconnected from the PC'";
  cases[1].message.mutable_auth_status()->set_result(static_cast<pb::AuthResult>(4));
  cases[1].expected = "AuthStatus auth_result=unknown (4)";
  cases[2].message.mutable_capability_accept()->set_selected_codec(pb::VIDEO_CODEC_H264);
  cases[2].message.mutable_capability_accept()->set_selected_fps(60);
  cases[2].message.mutable_capability_accept()->mutable_selected_resolution()->set_width(1728);
  cases[2].message.mutable_capability_accept()->mutable_selected_resolution()->set_height(1080);
  cases[2].expected = "CapabilityAccept codec=H264 1728x1080 @60 fps";
  cases[3].expected = "none (type=0 seq=0)";
  pb::CursorUpdate* cursor = cases[4].message.mutable_cursor_update();
  cursor->set_position_x(639);
  cursor->set_position_y(400);
  cursor->set_visible(true);
  cursor->set_shape("text");
  cursor->set_hotspot_x(4);
  cursor->set_hotspot_y(8);
  cursor->set_width(2);
  cursor->set_height(2);
  cursor->set_bitmap_argb(std::string(16, '\xff'));
  cases[4].expected =
      "CursorUpdate position=639,400 visible=yes shape='text' hotspot=4,8 size=2x2 bitmap=16 bytes (type=32";
  cases[5].message = cases[4].message;
  cases[5].message.mutable_cursor_update()->set_bitmap_argb(std::string(15, '\xff'));
  cases[5].expected = "CursorUpdate position=639,400 visible=yes shape='text' hotspot=4,8 size=2x2 bitmap=15 bytes "
                      "(bitmap does not match the size: 16 bytes expected)";
  for (const Case& c : cases) {
    const std::string d = DescribeMessage(c.message);
    EXPECT_EQ(d.rfind(c.expected, 0), 0u) << d;
  }
}

TEST(SimMessages, NamesEveryPayloadOfTheSchema) {
  EXPECT_STREQ(PayloadName(0), "none");
  EXPECT_STREQ(PayloadName(10), "Hello");
  EXPECT_STREQ(PayloadName(11), "HelloAck");
  EXPECT_STREQ(PayloadName(60), "ErrorMessage");
  EXPECT_STREQ(PayloadName(97), "ExtendedDisplayInfo");
  EXPECT_STREQ(PayloadName(28), "unknown");
  EXPECT_STREQ(PayloadName(98), "unknown");
  // Every payload member of the schema has a name of its own.
  const int numbers[] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 30, 31,
                         32, 33, 34, 40, 50, 51, 60, 70, 80, 81, 82, 90, 91, 92, 93, 94, 95, 96, 97};
  for (const int n : numbers) EXPECT_STRNE(PayloadName(n), "unknown") << n;
}

TEST(SimMessages, CapabilityExchangeCarriesTheTabletsCapabilities) {
  ManualClock clock;
  MessageFactory factory(clock, 1);
  const pb::ControlMessage defaults = factory.BuildCapabilityExchange(TabletCapabilities{});
  ASSERT_EQ(defaults.payload_case(), pb::ControlMessage::kCapabilityExchange);
  const pb::CapabilityExchange& c = defaults.capability_exchange();
  ASSERT_EQ(c.supported_codecs_size(), 2);
  EXPECT_EQ(c.supported_codecs(0), pb::VIDEO_CODEC_H264);
  EXPECT_EQ(c.supported_codecs(1), pb::VIDEO_CODEC_HEVC);
  EXPECT_EQ(c.preferred_resolution().width(), 2560u);
  EXPECT_EQ(c.preferred_resolution().height(), 1600u);
  ASSERT_EQ(c.supported_fps_size(), 4);
  EXPECT_EQ(c.supported_fps(3), 120u);
  EXPECT_EQ(c.route_class(), "wifi_local");
  EXPECT_EQ(c.max_fragments_per_frame(), 512u);
  EXPECT_EQ(c.display_orientation(), pb::DISPLAY_ORIENTATION_LANDSCAPE);
  EXPECT_TRUE(c.stream_resize_supported());
  EXPECT_TRUE(c.audio().opus_supported());
  EXPECT_TRUE(c.input().touch());
  ASSERT_EQ(c.codec_capabilities_size(), 2);
  EXPECT_EQ(c.codec_capabilities(1).codec(), pb::VIDEO_CODEC_HEVC);
  EXPECT_EQ(c.codec_capabilities(1).max_fps(), 120u);
  EXPECT_TRUE(c.codec_capabilities(1).hardware_decode());
  EXPECT_EQ(DescribeMessage(defaults).rfind("CapabilityExchange codecs=H264,HEVC screen=2560x1600 fps=30,60,90,120 "
                                            "route_class='wifi_local' max_fragments=512 orientation=landscape "
                                            "hw_decode=yes (type=12 seq=1)",
                                            0),
            0u)
      << DescribeMessage(defaults);

  // Whatever the options say goes on the wire as given, unknown codecs too.
  TabletCapabilities odd;
  odd.codecs = {7, 2};
  odd.screen_width = 0;
  odd.screen_height = 0;
  odd.fps = {};
  odd.route_class = "USB";
  odd.max_fragments = 0;
  odd.orientation = 2;
  odd.hardware_decode = false;
  const pb::ControlMessage m = factory.BuildCapabilityExchange(odd);
  pb::ControlMessage parsed;
  ASSERT_TRUE(parsed.ParseFromString(m.SerializeAsString()));
  const pb::CapabilityExchange& p = parsed.capability_exchange();
  ASSERT_EQ(p.supported_codecs_size(), 2);
  EXPECT_EQ(static_cast<int>(p.supported_codecs(0)), 7);
  EXPECT_FALSE(p.has_preferred_resolution());
  EXPECT_EQ(p.supported_fps_size(), 0);
  EXPECT_EQ(p.route_class(), "USB");
  EXPECT_EQ(p.max_fragments_per_frame(), 0u);
  EXPECT_EQ(p.display_orientation(), pb::DISPLAY_ORIENTATION_PORTRAIT);
  EXPECT_FALSE(p.codec_capabilities(0).hardware_decode());
  EXPECT_TRUE(Has(DescribeMessage(m), "codecs=7,HEVC screen=0x0 fps=none")) << DescribeMessage(m);
}

TEST(SimMessages, EveryScriptStepBuildsItsMessage) {
  struct Case {
    const char* script;
    pb::ControlMessage::PayloadCase payload;
    const char* described;  // start of the description
  };
  const Case cases[] = {
      {"start-stream:s1", pb::ControlMessage::kStartStream, "StartStream session_id='s1'"},
      {"stop-stream", pb::ControlMessage::kStopStream, "StopStream session_id='sim-session' reason=0"},
      {"quality:0/90/hevc", pb::ControlMessage::kSetQualityProfile, "SetQualityProfile bitrate=0 kbps fps=90 codec=HEVC (2)"},
      {"keyframe:v1", pb::ControlMessage::kRequestKeyframe, "RequestKeyframe stream_id='v1'"},
      {"audio:tablet-only", pb::ControlMessage::kSetAudioEnabled, "SetAudioEnabled enabled=yes mute_host_speakers=yes"},
      {"pause", pb::ControlMessage::kSetVideoPaused, "SetVideoPaused paused=yes"},
      {"resume", pb::ControlMessage::kSetVideoPaused, "SetVideoPaused paused=no"},
      {"first-frame", pb::ControlMessage::kFirstFrameRendered, "FirstFrameRendered session_id='sim-session' rendered_frames=1"},
      {"file-transfer", pb::ControlMessage::kStartFileTransfer, "StartFileTransfer filename='notes.txt' size=1024 bytes"},
      {"clipboard:hi", pb::ControlMessage::kClipboardUpdate, "ClipboardUpdate text=2 bytes image=0 bytes"},
      {"nack:7-9@2", pb::ControlMessage::kNackRequest, "NackRequest stream_type=2 count=3 first_seq=7 last_seq=9"},
      {"stats", pb::ControlMessage::kStatsReport, "StatsReport bitrate=0 kbps encode_p50=0.00 ms rtt=12.5 ms loss=0.5%"},
      {"ping", pb::ControlMessage::kPing, "Ping send_timestamp_us=2000000"},
      {"terminate:bye", pb::ControlMessage::kSessionTerminate, "SessionTerminate session_id='sim-session' reason='bye'"},
      {"monitors", pb::ControlMessage::kMonitorListRequest, "MonitorListRequest (type=90"},
      {"select-monitor:M2", pb::ControlMessage::kSelectMonitor, "SelectMonitor monitor_id='M2'"},
      {"orientation:portrait", pb::ControlMessage::kDisplayOrientationUpdate,
       "DisplayOrientationUpdate orientation=portrait (2) stream=0x0"},
      {"window:back", pb::ControlMessage::kWindowCommand, "WindowCommand action=back (2) request_id=1"},
      {"empty", pb::ControlMessage::PAYLOAD_NOT_SET, "none (type=0 seq=1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(ParseScript(c.script, &steps, &error)) << error;
    ManualClock clock(2'000);
    MessageFactory factory(clock, 1);
    const pb::ControlMessage m = factory.BuildStep(steps[0], TabletCapabilities{});
    EXPECT_EQ(m.payload_case(), c.payload);
    EXPECT_EQ(m.sequence_id(), 1u);
    EXPECT_EQ(m.timestamp_us(), 2'000'000u);
    // Every message is a non-empty frame on the wire, the envelope-only one included.
    pb::ControlMessage parsed;
    const std::string wire = m.SerializeAsString();
    EXPECT_FALSE(wire.empty());
    ASSERT_TRUE(parsed.ParseFromString(wire));
    EXPECT_EQ(parsed.payload_case(), c.payload);
    const std::string d = DescribeMessage(m);
    EXPECT_EQ(d.rfind(c.described, 0), 0u) << d;
  }
}

TEST(SimMessages, WindowCommandsGetFreshRequestIdsAndStatsCarryTheRoute) {
  ManualClock clock;
  MessageFactory factory(clock, 1);
  ScriptStep window;
  window.kind = StepKind::kWindow;
  window.first = 1;
  EXPECT_EQ(factory.BuildStep(window, TabletCapabilities{}).window_command().request_id(), 1u);
  EXPECT_EQ(factory.BuildStep(window, TabletCapabilities{}).window_command().request_id(), 2u);
  ScriptStep stats;
  stats.kind = StepKind::kStats;
  TabletCapabilities caps;
  caps.route_class = "usb_ncm";
  EXPECT_EQ(factory.BuildStep(stats, caps).stats_report().route_class(), "usb_ncm");
  // A step made outside the parser cannot make the NACK list unbounded.
  ScriptStep nack;
  nack.kind = StepKind::kNack;
  nack.first = 0;
  nack.second = 0xFFFFFFFFu;
  EXPECT_EQ(factory.BuildStep(nack, caps).nack_request().sequence_numbers_size(), static_cast<int>(kMaxNackNumbers));
}

TEST(SimMessages, DescribesTheAnswersToTheScript) {
  pb::ControlMessage list;
  pb::MonitorListResponse* r = list.mutable_monitor_list_response();
  r->set_active_monitor_id("SIM-1");
  pb::MonitorInfo* m = r->add_monitors();
  m->set_monitor_id("SIM-1");
  m->set_display_name("Simulated\nscreen");
  m->set_width(1920);
  m->set_height(1080);
  m->set_position_x(-1920);
  m->set_is_primary(true);
  m->set_refresh_rate_hz(60);
  EXPECT_EQ(DescribeMessage(list).rfind("MonitorListResponse monitors=1 active_monitor_id='SIM-1'", 0), 0u);
  const std::vector<std::string> entries = DescribeMonitorEntries(list);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], "monitor id='SIM-1' name='Simulated\\x0Ascreen' 1920x1080 at -1920,0 primary=yes 60 Hz hdr=no");
  for (int i = 0; i < 40; ++i) r->add_monitors();
  const std::vector<std::string> many = DescribeMonitorEntries(list);
  ASSERT_EQ(many.size(), 17u);
  EXPECT_EQ(many.back(), "... 25 more");
  EXPECT_TRUE(DescribeMonitorEntries(pb::ControlMessage()).empty());

  pb::ControlMessage result;
  result.mutable_window_command_result()->set_request_id(3);
  result.mutable_window_command_result()->set_action(pb::WINDOW_ACTION_MOVE_BACK);
  result.mutable_window_command_result()->set_status(pb::WINDOW_COMMAND_STATUS_FAILED);
  EXPECT_EQ(DescribeMessage(result).rfind("WindowCommandResult request_id=3 action=back status=failed (6) "
                                          "window_title=''",
                                          0),
            0u)
      << DescribeMessage(result);
}

TEST(SimMessages, TheHostsStreamFiguresGetALineOfTheirOwn) {
  pb::ControlMessage resize;
  pb::StreamResize* r = resize.mutable_stream_resize();
  r->set_session_id("s-9");
  r->mutable_encoded_resolution()->set_width(1280);
  r->mutable_encoded_resolution()->set_height(800);
  r->mutable_logical_resolution()->set_width(2560);
  r->mutable_logical_resolution()->set_height(1600);
  r->set_scale_permille(500);
  pb::ControlMessage stats;
  stats.mutable_stats_report()->set_current_bitrate_kbps(9000);
  stats.mutable_stats_report()->set_encode_ms_p50(4.5f);
  pb::ControlMessage pong;
  pong.mutable_pong()->set_ping_timestamp_us(1);
  const pb::ControlMessage none;
  const struct {
    const char* name;
    const pb::ControlMessage& message;
    std::vector<std::string> lines;
  } cases[] = {
      {"resize", resize, {"StreamResize encoded=1280x800 logical=2560x1600 scale=500/1000"}},
      {"no payload", none, {}},
      {"stats", stats, {"Host bitrate current_bitrate_kbps=9000"}},
      {"other", pong, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DescribeHostFigures(c.message), c.lines);
  }
  pb::ControlMessage empty_resize;
  empty_resize.mutable_stream_resize();
  EXPECT_EQ(DescribeHostFigures(empty_resize),
            std::vector<std::string>{"StreamResize encoded=0x0 logical=0x0 scale=0/1000"});
  pb::ControlMessage empty_stats;
  empty_stats.mutable_stats_report();
  EXPECT_EQ(DescribeHostFigures(empty_stats), std::vector<std::string>{"Host bitrate current_bitrate_kbps=0"});
  // The Received line before it stays as it was.
  const std::string resize_line = DescribeMessage(resize);
  EXPECT_EQ(resize_line.rfind("StreamResize encoded=1280x800 logical=2560x1600 scale_permille=500 (type=26 ", 0), 0u)
      << resize_line;
  const std::string stats_line = DescribeMessage(stats);
  EXPECT_EQ(stats_line.rfind("StatsReport bitrate=9000 kbps encode_p50=4.50 ms rtt=0.0 ms loss=0.0% (type=40", 0), 0u)
      << stats_line;
}

TEST(SimMessages, TheMeasuredStatsCarryTheReportedFigures) {
  ManualClock clock;
  MessageFactory factory(clock, 1);
  MessageFactory::MeasuredStats measured;
  measured.session_id = "sim-session";
  measured.bitrate_kbps = 4200;
  const pb::ControlMessage plain = factory.BuildStatsReport(measured);
  EXPECT_EQ(plain.stats_report().decode_pressure_pct(), 0.0f);
  EXPECT_EQ(plain.stats_report().late_drop_pct(), 0.0f);
  EXPECT_EQ(DescribeMessage(plain).find("decode_pressure"), std::string::npos) << DescribeMessage(plain);
  measured.decode_pressure_pct = 120.5f;
  measured.late_drop_pct = 12.5f;
  const pb::ControlMessage reported = factory.BuildStatsReport(measured);
  EXPECT_EQ(reported.stats_report().decode_pressure_pct(), 120.5f);
  EXPECT_EQ(reported.stats_report().late_drop_pct(), 12.5f);
  EXPECT_EQ(reported.stats_report().current_bitrate_kbps(), 4200u);
  const std::string d = DescribeMessage(reported);
  EXPECT_EQ(d.rfind("StatsReport bitrate=4200 kbps encode_p50=0.00 ms rtt=0.0 ms loss=0.0% decode_pressure=120.500% "
                    "late_drop=12.500% (type=40 seq=2)",
                    0),
            0u)
      << d;
}

TEST(SimMessages, UnreadableFramesAreTold) {
  const uint8_t secure[] = {'O', 'V', 'D', '1', 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_TRUE(IsSecureFrame(secure, sizeof secure));
  EXPECT_EQ(DescribeUnreadableFrame(secure, sizeof secure),
            "a secure frame (13 bytes)");
  const uint8_t junk[] = {0xFF, 0x01};
  EXPECT_FALSE(IsSecureFrame(junk, sizeof junk));
  EXPECT_EQ(DescribeUnreadableFrame(junk, sizeof junk), "2 bytes that are not a ControlMessage (prefix=FF010000)");
}

}  // namespace
}  // namespace orvane::sim
