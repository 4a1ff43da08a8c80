// Pins the wire format of the control and input schema.
//
// The expected bytes are built by a small protobuf encoder written here, from
// the field numbers tablets rely on, so that a renumbered or retyped field in
// the schema shows up as a byte difference instead of silently round-tripping
// through the generated code.

#include <gtest/gtest.h>
#include <google/protobuf/stubs/logging.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvane_protocol_v1.pb.h"

namespace {

namespace pb = orvane::protocol::v1;

// ---------------------------------------------------------------------------
// Independent encoder for the expected bytes.
// ---------------------------------------------------------------------------

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };

class Wire {
 public:
  Wire& Varint(uint32_t field, uint64_t value) {
    Tag(field, kVarint);
    Raw(value);
    return *this;
  }
  Wire& Bool(uint32_t field) { return Varint(field, 1); }
  Wire& Float(uint32_t field, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return Fixed32(field, bits);
  }
  Wire& Fixed32(uint32_t field, uint32_t bits) {
    Tag(field, kFixed32);
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return *this;
  }
  Wire& Fixed64(uint32_t field, uint64_t bits) {
    Tag(field, kFixed64);
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return *this;
  }
  Wire& Bytes(uint32_t field, std::string_view bytes) {
    Tag(field, kLengthDelimited);
    Raw(bytes.size());
    out_.append(bytes);
    return *this;
  }
  Wire& Message(uint32_t field, const Wire& inner) { return Bytes(field, inner.str()); }
  Wire& Packed(uint32_t field, const std::vector<uint64_t>& values) {
    Wire body;
    for (uint64_t v : values) body.Raw(v);
    return Bytes(field, body.str());
  }
  const std::string& str() const { return out_; }

 private:
  void Tag(uint32_t field, WireType type) { Raw((static_cast<uint64_t>(field) << 3) | type); }
  void Raw(uint64_t value) {
    while (value >= 0x80) {
      out_.push_back(static_cast<char>((value & 0x7F) | 0x80));
      value >>= 7;
    }
    out_.push_back(static_cast<char>(value));
  }

  std::string out_;
};

// Mutes the protobuf runtime's own log while alive.
class QuietProtobufLog {
 public:
  QuietProtobufLog() : previous_(google::protobuf::SetLogHandler(nullptr)) {}
  ~QuietProtobufLog() { google::protobuf::SetLogHandler(previous_); }
  QuietProtobufLog(const QuietProtobufLog&) = delete;
  QuietProtobufLog& operator=(const QuietProtobufLog&) = delete;

 private:
  google::protobuf::LogHandler* previous_;
};

std::string Hex(const std::string& bytes) {
  std::string hex;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x ", c);
    hex += buf;
  }
  return hex;
}

// Deterministic binary content with zero bytes and high bytes in it.
std::string Blob(size_t size, uint8_t seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((seed + i * 37) & 0xFF);
  return out;
}

// Envelope values, different per message so a swapped envelope is caught too.
struct Envelope {
  uint32_t protocol_version;
  uint64_t sequence_id;
  uint64_t timestamp_us;
};

pb::ControlMessage WithEnvelope(const Envelope& e) {
  pb::ControlMessage msg;
  msg.set_protocol_version(e.protocol_version);
  msg.set_sequence_id(e.sequence_id);
  msg.set_timestamp_us(e.timestamp_us);
  return msg;
}

Wire EnvelopeWire(const Envelope& e) {
  Wire w;
  w.Varint(1, e.protocol_version).Varint(2, e.sequence_id).Varint(3, e.timestamp_us);
  return w;
}

void ExpectEnvelope(const pb::ControlMessage& msg, const Envelope& e) {
  EXPECT_EQ(msg.protocol_version(), e.protocol_version);
  EXPECT_EQ(msg.sequence_id(), e.sequence_id);
  EXPECT_EQ(msg.timestamp_us(), e.timestamp_us);
}

// ---------------------------------------------------------------------------
// Fully populated host messages.
// ---------------------------------------------------------------------------

const Envelope kHelloAckEnvelope{1, 300, 0x0123456789ABull};
const std::string kEphemeralKey = Blob(65, 0x04);
const std::string kEncryptedSessionKey = Blob(3, 0xA0);
const std::string kIdentityKey = Blob(65, 0x11);
const std::string kSignature = Blob(64, 0xF0);

pb::ControlMessage BuildHelloAck() {
  pb::ControlMessage msg = WithEnvelope(kHelloAckEnvelope);
  pb::HelloAck* ack = msg.mutable_hello_ack();
  ack->set_result(pb::AUTH_RESULT_HOST_BUSY);
  ack->set_host_id("host-7f3a");
  ack->set_host_name("B\xC3\xBCro-PC");
  ack->set_ephemeral_public_key(kEphemeralKey);
  ack->set_encrypted_session_key(kEncryptedSessionKey);
  ack->set_pairing_code("482913");
  ack->set_directional_control_nonce(true);
  ack->set_auth_version(2);
  ack->set_host_identity_public_key(kIdentityKey);
  ack->set_host_signature(kSignature);
  ack->set_max_sessions(4);
  ack->set_host_version("1.3.5");
  return msg;
}

std::string HelloAckBytes() {
  Wire ack;
  ack.Varint(1, 5)
      .Bytes(2, "host-7f3a")
      .Bytes(3, "B\xC3\xBCro-PC")
      .Bytes(4, kEphemeralKey)
      .Bytes(5, kEncryptedSessionKey)
      .Bytes(6, "482913")
      .Bool(7)
      .Varint(8, 2)
      .Bytes(9, kIdentityKey)
      .Bytes(10, kSignature)
      .Varint(11, 4)
      .Bytes(12, "1.3.5");
  return EnvelopeWire(kHelloAckEnvelope).Message(11, ack).str();
}

void ExpectHelloAck(const pb::ControlMessage& msg) {
  ExpectEnvelope(msg, kHelloAckEnvelope);
  ASSERT_TRUE(msg.has_hello_ack());
  const pb::HelloAck& ack = msg.hello_ack();
  EXPECT_EQ(ack.result(), pb::AUTH_RESULT_HOST_BUSY);
  EXPECT_EQ(ack.host_id(), "host-7f3a");
  EXPECT_EQ(ack.host_name(), "B\xC3\xBCro-PC");
  EXPECT_EQ(ack.ephemeral_public_key(), kEphemeralKey);
  EXPECT_EQ(ack.encrypted_session_key(), kEncryptedSessionKey);
  EXPECT_EQ(ack.pairing_code(), "482913");
  EXPECT_TRUE(ack.directional_control_nonce());
  EXPECT_EQ(ack.auth_version(), 2u);
  EXPECT_EQ(ack.host_identity_public_key(), kIdentityKey);
  EXPECT_EQ(ack.host_signature(), kSignature);
  EXPECT_EQ(ack.max_sessions(), 4u);
  EXPECT_EQ(ack.host_version(), "1.3.5");
}

const Envelope kAcceptEnvelope{1, 7, 5'000'000'001ull};

pb::ControlMessage BuildCapabilityAccept() {
  pb::ControlMessage msg = WithEnvelope(kAcceptEnvelope);
  pb::CapabilityAccept* accept = msg.mutable_capability_accept();
  accept->set_selected_codec(pb::VIDEO_CODEC_HEVC);
  accept->set_selected_fps(120);
  accept->mutable_selected_resolution()->set_width(2560);
  accept->mutable_selected_resolution()->set_height(1600);
  accept->set_audio_enabled(true);
  accept->set_input_enabled(true);
  accept->set_initial_bitrate_kbps(25000);
  accept->set_media_udp_port(50100);
  accept->set_input_udp_port(50201);
  accept->set_fec_enabled(true);
  accept->set_hdr_enabled(true);
  accept->set_stream_resize_enabled(true);
  accept->set_window_commands_supported(true);
  return msg;
}

std::string CapabilityAcceptBytes() {
  Wire resolution;
  resolution.Varint(1, 2560).Varint(2, 1600);
  Wire accept;
  accept.Varint(1, 2)
      .Varint(2, 120)
      .Message(3, resolution)
      .Bool(4)
      .Bool(5)
      .Varint(6, 25000)
      .Varint(7, 50100)
      .Varint(8, 50201)
      .Bool(9)
      .Bool(10)
      .Bool(11)
      .Bool(12);
  return EnvelopeWire(kAcceptEnvelope).Message(13, accept).str();
}

void ExpectCapabilityAccept(const pb::ControlMessage& msg) {
  ExpectEnvelope(msg, kAcceptEnvelope);
  ASSERT_TRUE(msg.has_capability_accept());
  const pb::CapabilityAccept& accept = msg.capability_accept();
  EXPECT_EQ(accept.selected_codec(), pb::VIDEO_CODEC_HEVC);
  EXPECT_EQ(accept.selected_fps(), 120u);
  EXPECT_EQ(accept.selected_resolution().width(), 2560u);
  EXPECT_EQ(accept.selected_resolution().height(), 1600u);
  EXPECT_TRUE(accept.audio_enabled());
  EXPECT_TRUE(accept.input_enabled());
  EXPECT_EQ(accept.initial_bitrate_kbps(), 25000u);
  EXPECT_EQ(accept.media_udp_port(), 50100u);
  EXPECT_EQ(accept.input_udp_port(), 50201u);
  EXPECT_TRUE(accept.fec_enabled());
  EXPECT_TRUE(accept.hdr_enabled());
  EXPECT_TRUE(accept.stream_resize_enabled());
  EXPECT_TRUE(accept.window_commands_supported());
}

const Envelope kStartedEnvelope{1, 0xFFFFFFFFFull, 42};

pb::ControlMessage BuildStreamStarted() {
  pb::ControlMessage msg = WithEnvelope(kStartedEnvelope);
  pb::StreamStarted* started = msg.mutable_stream_started();
  started->set_session_id("session-1");
  started->set_stream_id("stream-2");
  started->set_start_timestamp_us(987'654'321'012ull);
  started->set_hdr_active(true);
  started->set_extended_display(true);
  started->set_mirror_fallback_reason(pb::MIRROR_FALLBACK_REASON_MONITOR_NOT_FOUND);
  started->set_display_number(7);
  started->set_source_width(1920);
  started->set_source_height(1200);
  return msg;
}

std::string StreamStartedBytes() {
  Wire started;
  started.Bytes(1, "session-1")
      .Bytes(2, "stream-2")
      .Varint(3, 987'654'321'012ull)
      .Bool(4)
      .Bool(5)
      .Varint(6, 3)
      .Varint(7, 7)
      .Varint(8, 1920)
      .Varint(9, 1200);
  return EnvelopeWire(kStartedEnvelope).Message(16, started).str();
}

void ExpectStreamStarted(const pb::ControlMessage& msg) {
  ExpectEnvelope(msg, kStartedEnvelope);
  ASSERT_TRUE(msg.has_stream_started());
  const pb::StreamStarted& started = msg.stream_started();
  EXPECT_EQ(started.session_id(), "session-1");
  EXPECT_EQ(started.stream_id(), "stream-2");
  EXPECT_EQ(started.start_timestamp_us(), 987'654'321'012ull);
  EXPECT_TRUE(started.hdr_active());
  EXPECT_TRUE(started.extended_display());
  EXPECT_EQ(started.mirror_fallback_reason(), pb::MIRROR_FALLBACK_REASON_MONITOR_NOT_FOUND);
  EXPECT_EQ(started.display_number(), 7u);
  EXPECT_EQ(started.source_width(), 1920u);
  EXPECT_EQ(started.source_height(), 1200u);
}

struct GoldenCase {
  const char* name;
  int payload_number;
  std::function<pb::ControlMessage()> build;
  std::function<std::string()> expected_bytes;
  std::function<void(const pb::ControlMessage&)> expect_fields;
};

const std::vector<GoldenCase>& GoldenCases() {
  static const std::vector<GoldenCase> cases = {
      {"HelloAck", 11, BuildHelloAck, HelloAckBytes, ExpectHelloAck},
      {"CapabilityAccept", 13, BuildCapabilityAccept, CapabilityAcceptBytes, ExpectCapabilityAccept},
      {"StreamStarted", 16, BuildStreamStarted, StreamStartedBytes, ExpectStreamStarted},
  };
  return cases;
}

TEST(ControlSchema, HostMessagesSerialiseToPinnedBytesAndParseBack) {
  for (const GoldenCase& c : GoldenCases()) {
    SCOPED_TRACE(c.name);
    const std::string expected = c.expected_bytes();
    EXPECT_EQ(Hex(c.build().SerializeAsString()), Hex(expected));

    pb::ControlMessage parsed;
    ASSERT_TRUE(parsed.ParseFromArray(expected.data(), static_cast<int>(expected.size())));
    // The logged message type is the field number of the payload member.
    EXPECT_EQ(static_cast<int>(parsed.payload_case()), c.payload_number);
    c.expect_fields(parsed);
  }
}

// ---------------------------------------------------------------------------
// Input channel.
// ---------------------------------------------------------------------------

struct InputCase {
  const char* name;
  pb::InputEvent::EventCase event_case;
  std::function<void(pb::InputEvent*)> fill;
  Wire event_wire;  // the member's body; the member's field number is event_case
  std::function<void(const pb::InputEvent&)> expect_fields;
};

TEST(ControlSchema, InputEventsSerialiseToPinnedBytesAndRoundTrip) {
  const std::vector<InputCase> cases = {
      {"touch", pb::InputEvent::kTouch,
       [](pb::InputEvent* e) {
         pb::TouchEvent* t = e->mutable_touch();
         t->set_action(pb::TOUCH_ACTION_CANCEL);
         t->set_pointer_id(9);
         t->set_x_normalized(0.25f);
         t->set_y_normalized(0.75f);
         t->set_pressure(0.5f);
       },
       Wire().Varint(1, 3).Varint(2, 9).Float(3, 0.25f).Float(4, 0.75f).Float(5, 0.5f),
       [](const pb::InputEvent& e) {
         EXPECT_EQ(e.touch().action(), pb::TOUCH_ACTION_CANCEL);
         EXPECT_EQ(e.touch().pointer_id(), 9u);
         EXPECT_EQ(e.touch().x_normalized(), 0.25f);
         EXPECT_EQ(e.touch().y_normalized(), 0.75f);
         EXPECT_EQ(e.touch().pressure(), 0.5f);
       }},
      {"pen", pb::InputEvent::kPen,
       [](pb::InputEvent* e) {
         pb::PenEvent* p = e->mutable_pen();
         p->set_action(pb::PEN_ACTION_HOVER_EXIT);
         p->set_x_normalized(0.125f);
         p->set_y_normalized(0.875f);
         p->set_pressure(0.375f);
         p->set_tilt_x(-12.5f);
         p->set_tilt_y(30.0f);
         p->set_orientation(1.5f);
         p->set_button_state(2);
         p->set_tool_type(pb::PEN_TOOL_TYPE_ERASER);
       },
       Wire()
           .Varint(1, 5)
           .Float(2, 0.125f)
           .Float(3, 0.875f)
           .Float(4, 0.375f)
           .Float(5, -12.5f)
           .Float(6, 30.0f)
           .Float(7, 1.5f)
           .Varint(8, 2)
           .Varint(9, 1),
       [](const pb::InputEvent& e) {
         EXPECT_EQ(e.pen().action(), pb::PEN_ACTION_HOVER_EXIT);
         EXPECT_EQ(e.pen().x_normalized(), 0.125f);
         EXPECT_EQ(e.pen().y_normalized(), 0.875f);
         EXPECT_EQ(e.pen().pressure(), 0.375f);
         EXPECT_EQ(e.pen().tilt_x(), -12.5f);
         EXPECT_EQ(e.pen().tilt_y(), 30.0f);
         EXPECT_EQ(e.pen().orientation(), 1.5f);
         EXPECT_EQ(e.pen().button_state(), 2u);
         EXPECT_EQ(e.pen().tool_type(), pb::PEN_TOOL_TYPE_ERASER);
       }},
      {"key", pb::InputEvent::kKey,
       [](pb::InputEvent* e) {
         pb::KeyEvent* k = e->mutable_key();
         k->set_action(pb::KEY_ACTION_KEY_UP);
         k->set_key_code(0x41);
         k->set_modifiers(0x3);
         k->set_scan_code(0x1E);
         k->set_extended_key(true);
         k->set_physical_key(true);
       },
       Wire().Varint(1, 1).Varint(2, 0x41).Varint(3, 0x3).Varint(4, 0x1E).Bool(5).Bool(6),
       [](const pb::InputEvent& e) {
         EXPECT_EQ(e.key().action(), pb::KEY_ACTION_KEY_UP);
         EXPECT_EQ(e.key().key_code(), 0x41u);
         EXPECT_EQ(e.key().modifiers(), 0x3u);
         EXPECT_EQ(e.key().scan_code(), 0x1Eu);
         EXPECT_TRUE(e.key().extended_key());
         EXPECT_TRUE(e.key().physical_key());
       }},
      {"mouse", pb::InputEvent::kMouse,
       [](pb::InputEvent* e) {
         pb::MouseEvent* m = e->mutable_mouse();
         m->set_action(pb::MOUSE_ACTION_UP);
         m->set_button(pb::MOUSE_BUTTON_MIDDLE);
         m->set_x_normalized(1.0f);
         m->set_y_normalized(0.0625f);
       },
       Wire().Varint(1, 2).Varint(2, 3).Float(3, 1.0f).Float(4, 0.0625f),
       [](const pb::InputEvent& e) {
         EXPECT_EQ(e.mouse().action(), pb::MOUSE_ACTION_UP);
         EXPECT_EQ(e.mouse().button(), pb::MOUSE_BUTTON_MIDDLE);
         EXPECT_EQ(e.mouse().x_normalized(), 1.0f);
         EXPECT_EQ(e.mouse().y_normalized(), 0.0625f);
       }},
  };

  uint32_t sequence = 1000;
  for (const InputCase& c : cases) {
    SCOPED_TRACE(c.name);
    ++sequence;
    pb::InputEvent event;
    event.set_timestamp_us(123'456'789'000ull + sequence);
    event.set_sequence_number(sequence);
    c.fill(&event);

    const std::string bytes = event.SerializeAsString();
    Wire expected;
    expected.Varint(1, 123'456'789'000ull + sequence)
        .Varint(2, sequence)
        .Message(static_cast<uint32_t>(c.event_case), c.event_wire);
    EXPECT_EQ(Hex(bytes), Hex(expected.str()));

    pb::InputEvent parsed;
    ASSERT_TRUE(parsed.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(parsed.timestamp_us(), 123'456'789'000ull + sequence);
    EXPECT_EQ(parsed.sequence_number(), sequence);
    ASSERT_EQ(parsed.event_case(), c.event_case);
    c.expect_fields(parsed);
  }
}

// ---------------------------------------------------------------------------
// Parsing what tablets may send.
// ---------------------------------------------------------------------------

// Repeated scalars go out packed, and both encodings are accepted on input.
TEST(ControlSchema, RepeatedScalarsAreWrittenPackedAndReadEitherWay) {
  pb::CapabilityExchange caps;
  caps.add_supported_codecs(pb::VIDEO_CODEC_H264);
  caps.add_supported_codecs(pb::VIDEO_CODEC_HEVC);
  for (uint32_t fps : {30u, 60u, 144u}) caps.add_supported_fps(fps);
  const std::string packed = Wire().Packed(1, {1, 2}).Packed(2, {30, 60, 144}).str();
  EXPECT_EQ(Hex(caps.SerializeAsString()), Hex(packed));

  const std::string unpacked =
      Wire().Varint(1, 1).Varint(1, 2).Varint(2, 30).Varint(2, 60).Varint(2, 144).str();
  for (const std::string& bytes : {packed, unpacked}) {
    pb::CapabilityExchange parsed;
    ASSERT_TRUE(parsed.ParseFromString(bytes));
    ASSERT_EQ(parsed.supported_codecs_size(), 2);
    EXPECT_EQ(parsed.supported_codecs(0), pb::VIDEO_CODEC_H264);
    EXPECT_EQ(parsed.supported_codecs(1), pb::VIDEO_CODEC_HEVC);
    ASSERT_EQ(parsed.supported_fps_size(), 3);
    EXPECT_EQ(parsed.supported_fps(0), 30u);
    EXPECT_EQ(parsed.supported_fps(1), 60u);
    EXPECT_EQ(parsed.supported_fps(2), 144u);
  }
}

// A newer tablet may send fields this host does not know: they are skipped
// (the lite runtime keeps their bytes aside) and the known fields still read.
// A message whose only payload is unknown, or that has none, has type 0.
TEST(ControlSchema, UnknownFieldsAreSkippedAndMissingPayloadIsTypeZero) {
  const Envelope envelope{1, 77, 1'000'000};
  const std::string unknown_in_envelope = Wire()
                                              .Varint(4, 99)
                                              .Fixed64(5, 0x1122334455667788ull)
                                              .Bytes(6, "future")
                                              .Fixed32(7, 0xDEADBEEF)
                                              .Bytes(98, Wire().Varint(1, 1).str())
                                              .Varint(1000, 5)
                                              .str();
  const std::string unknown_in_ack = Wire().Varint(13, 1).Bytes(20, "later").str();
  const std::string ack = Wire().Varint(1, 1).Bytes(3, "desk").str() + unknown_in_ack;
  const std::string bytes =
      EnvelopeWire(envelope).str() + unknown_in_envelope + Wire().Bytes(11, ack).str();

  pb::ControlMessage parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  ExpectEnvelope(parsed, envelope);
  ASSERT_EQ(parsed.payload_case(), pb::ControlMessage::kHelloAck);
  EXPECT_EQ(parsed.hello_ack().result(), pb::AUTH_RESULT_PAIRING_REQUIRED);
  EXPECT_EQ(parsed.hello_ack().host_name(), "desk");
  EXPECT_EQ(parsed.hello_ack().host_id(), "");
  const std::string again = parsed.SerializeAsString();
  EXPECT_EQ(again.size(), bytes.size());
  EXPECT_NE(again.find(unknown_in_envelope), std::string::npos);
  EXPECT_NE(again.find(unknown_in_ack), std::string::npos);

  const std::vector<std::pair<const char*, std::string>> no_known_payload = {
      {"empty", ""},
      {"envelope only", EnvelopeWire(envelope).str()},
      {"unknown member only", EnvelopeWire(envelope).str() + Wire().Bytes(98, "").str()},
  };
  for (const auto& [name, input] : no_known_payload) {
    SCOPED_TRACE(name);
    pb::ControlMessage msg;
    ASSERT_TRUE(msg.ParseFromString(input));
    EXPECT_EQ(static_cast<int>(msg.payload_case()), 0);
  }
}

TEST(ControlSchema, MalformedBuffersFailToParse) {
  // The runtime logs why it refused a string field; keep the test output clean.
  QuietProtobufLog quiet;

  // Cutting the golden HelloAck anywhere inside its payload member leaves a
  // length prefix that promises more than is there.
  const std::string full = HelloAckBytes();
  const size_t payload_tag_at = EnvelopeWire(kHelloAckEnvelope).str().size();
  ASSERT_EQ(static_cast<unsigned char>(full[payload_tag_at]), (11u << 3) | kLengthDelimited);
  for (size_t length = payload_tag_at + 1; length < full.size(); ++length) {
    pb::ControlMessage msg;
    EXPECT_FALSE(msg.ParseFromArray(full.data(), static_cast<int>(length))) << "length " << length;
  }

  const std::vector<std::pair<const char*, std::string>> cases = {
      {"varint cut after a continuation byte", std::string("\x10\x80", 2)},
      {"varint longer than ten bytes", std::string(1, '\x10').append(10, '\xFF').append(1, '\x01')},
      {"fixed32 cut short", Wire().Fixed32(7, 1).str().substr(0, 3)},
      {"length beyond the buffer", Wire().Bytes(11, "abc").str().substr(0, 4)},
      {"field number zero", std::string("\x00\x01", 2)},
      {"wire type 7", std::string("\x27\x01", 2)},
      {"end group without start", std::string("\x24", 1)},
      {"string that is not UTF-8", Wire().Bytes(11, Wire().Bytes(3, "\xC3\x28").str()).str()},
  };
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    pb::ControlMessage msg;
    EXPECT_FALSE(msg.ParseFromArray(input.data(), static_cast<int>(input.size())));
  }
}

}  // namespace
