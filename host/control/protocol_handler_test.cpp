#include "host/control/protocol_handler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;

pb::ControlMessage HelloMessage(const std::string& app_version = "1.3.5", uint32_t protocol_version = 1) {
  pb::ControlMessage message;
  pb::Hello* hello = message.mutable_hello();
  hello->set_client_id("tab-1");
  hello->set_client_name("Tablet One");
  hello->set_app_version(app_version);
  hello->set_protocol_version(protocol_version);
  // Shaped like a key; not a point on the curve, which only the key
  // derivation would notice.
  hello->set_ephemeral_public_key(std::string(64, '\x11'));
  return message;
}

pb::ControlMessage StartStreamMessage() {
  pb::ControlMessage message;
  message.mutable_start_stream()->set_session_id("s-1");
  return message;
}

pb::ControlMessage StopStreamMessage() {
  pb::ControlMessage message;
  message.mutable_stop_stream()->set_session_id("s-1");
  return message;
}

HelloAuthDecision Accept() {
  HelloAuthDecision decision;
  decision.result = pb::AUTH_RESULT_OK;
  return decision;
}

// The session key the tests' authenticator installs.
crypto::Bytes TestKey() { return crypto::Bytes(32, 0x5A); }

class TwoMonitors final : public IMonitorEnumerator {
 public:
  std::vector<MonitorInfoData> EnumerateMonitors() override {
    MonitorInfoData left;
    left.id = "\\\\.\\DISPLAY1";
    left.display_name = "Left";
    left.x = -1280;
    left.width = 1280;
    left.height = 1024;
    left.refresh_rate = 75;
    MonitorInfoData main;
    main.id = "\\\\.\\DISPLAY2";
    main.display_name = "Main";
    main.width = 2560;
    main.height = 1440;
    main.primary = true;
    main.hdr = true;
    main.index = 1;
    return {left, main};
  }
};

class ProtocolHandlerTest : public ::testing::Test {
 protected:
  ProtocolHandlerTest() {
    handler_.SetHostIdentity("orvane-PC", "PC");
    handler_.SetPorts(9441, 9442);
    handler_.SetFrameSender([this](const uint8_t* data, size_t length) {
      pb::ControlMessage message;
      security::SecureFrameView view;
      if (security::ParseSecureFrame(crypto::ByteView(data, length), &view)) {
        // Opened as the tablet does: the test key, the host's direction.
        const uint32_t prefix =
            handler_.Keys().Directional() ? security::kNonceControlHostDirectional : security::kNonceControl;
        crypto::Bytes plain;
        EXPECT_TRUE(security::OpenAesGcm(tablet_cipher_, TestKey(), prefix, view.counter, view.payload, &plain));
        EXPECT_TRUE(message.ParseFromArray(plain.data(), static_cast<int>(plain.size())));
        counters_.push_back(static_cast<int64_t>(view.counter));
      } else {
        EXPECT_TRUE(message.ParseFromArray(data, static_cast<int>(length)));
        counters_.push_back(-1);
      }
      sent_.push_back(message);
      return true;
    });
  }

  // Accepts every Hello and gives the connection the test key.
  ProtocolHandler::HelloAuthenticator Accepting() {
    return [](const pb::Hello&, security::ControlKeyState& keys) {
      keys.InstallSessionKey(TestKey());
      return Accept();
    };
  }

  std::string HostKeyFingerprint() {
    return security::KeyFingerprintOrNone(handler_.Keys().HostEphemeralPublicKey());
  }

  HostResult Deliver(const pb::ControlMessage& message) {
    const std::string bytes = message.SerializeAsString();
    return handler_.HandleControlFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false);
  }

  void Authenticate() {
    handler_.SetHelloAuthenticator(Accepting());
    ASSERT_TRUE(Deliver(HelloMessage()).ok());
    ASSERT_TRUE(handler_.IsAuthenticated());
    sent_.clear();
    counters_.clear();
  }

  // Authenticates and negotiates; returns the CapabilityAccept.
  pb::CapabilityAccept Negotiate(const pb::CapabilityExchange& caps) {
    if (!handler_.IsAuthenticated()) Authenticate();
    sent_.clear();
    pb::ControlMessage message;
    *message.mutable_capability_exchange() = caps;
    EXPECT_TRUE(Deliver(message).ok());
    EXPECT_EQ(sent_.size(), 1u);
    if (sent_.empty()) return {};
    EXPECT_TRUE(sent_[0].has_capability_accept());
    return sent_[0].capability_accept();
  }

  ManualClock clock_;
  ProtocolHandler handler_{clock_};
  crypto::AesGcm tablet_cipher_;
  std::vector<pb::ControlMessage> sent_;
  // The envelope counter of each sent message; -1 for a plain one.
  std::vector<int64_t> counters_;
  testing::LogCapture log_;
};

// ----------------------------------------------------------- Hello path

TEST(CompareAppVersionTest, Verdicts) {
  const struct {
    const char* app;
    VersionVerdict expected;
  } cases[] = {
      {"1.3.5", VersionVerdict::kEqual},         {"01.3.5", VersionVerdict::kEqual},
      {"1.3", VersionVerdict::kAppInvalid},      {"1.3.5.0", VersionVerdict::kAppInvalid},
      {"", VersionVerdict::kAppInvalid},         {"1.3.5 ", VersionVerdict::kAppInvalid},
      {"+1.3.5", VersionVerdict::kAppInvalid},   {"1.3.123456", VersionVerdict::kAppInvalid},
      {"1.4.0", VersionVerdict::kAppNewer},      {"1.2.9", VersionVerdict::kAppOlder},
      {"1..5", VersionVerdict::kAppInvalid},     {"2.0.0", VersionVerdict::kAppNewer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.app + "'");
    EXPECT_EQ(CompareAppVersion(c.app, "1.3.5"), c.expected);
  }
  EXPECT_EQ(CompareAppVersion("1.3.5", "bad"), VersionVerdict::kAppNewer);
}

TEST_F(ProtocolHandlerTest, HelloOutcomes) {
  struct Case {
    const char* name;
    std::string app_version;
    uint32_t protocol_version;
    std::string client_id;
    bool admit;
    bool authenticator_accepts;
    pb::AuthResult expected_result;
    uint32_t expected_max_sessions;
    bool hello_received;
    bool refused_busy;
    bool refused_version;
    bool authenticated;
    const char* warning;  // nullptr: none
  };
  const Case cases[] = {
      {"no credential check available", "1.3.5", 1, "tab-1", true, false, pb::AUTH_RESULT_REJECTED, 0, true, false,
       false, false, "[WARN ] [Protocol] Hello rejected: session key derivation failed"},
      {"authenticated", "1.3.5", 1, "tab-1", true, true, pb::AUTH_RESULT_OK, 0, true, false, false, true, nullptr},
      {"protocol 0 accepted", "1.3.5", 0, "tab-1", true, true, pb::AUTH_RESULT_OK, 0, true, false, false, true,
       nullptr},
      {"tablet limit reached", "1.3.5", 0, "tab-1", false, true, pb::AUTH_RESULT_HOST_BUSY, 4, true, true, false,
       false, "[WARN ] [Protocol] Hello refused: this PC already serves 4 tablet(s)"},
      {"newer app", "1.4.0", 1, "tab-1", true, true, pb::AUTH_RESULT_VERSION_MISMATCH, 0, false, false, true, false,
       "[WARN ] [Protocol] Hello rejected: app version '1.4.0' does not match host version '1.3.5' (verdict=3)"},
      {"invalid app version", "1.3", 1, "tab-1", true, true, pb::AUTH_RESULT_VERSION_MISMATCH, 0, false, false, true,
       false, "(verdict=2)"},
      {"older app", "1.2.9", 1, "tab-1", true, true, pb::AUTH_RESULT_VERSION_MISMATCH, 0, false, false, true, false,
       "(verdict=1)"},
      {"newer protocol", "1.3.5", 2, "tab-1", true, true, pb::AUTH_RESULT_VERSION_MISMATCH, 0, false, false, false,
       false, "[WARN ] [Protocol] Hello rejected: protocol_version=2 is newer than supported=1"},
      {"empty client id", "1.3.5", 1, "", true, true, pb::AUTH_RESULT_REJECTED, 0, true, false, false, false,
       "[WARN ] [Protocol] Hello rejected: client identity or ephemeral key is invalid"},
      {"client id with NUL", "1.3.5", 1, std::string("tab\0-1", 6), true, true, pb::AUTH_RESULT_REJECTED, 0, true,
       false, false, false, "[WARN ] [Protocol] Hello rejected: client identity or ephemeral key is invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    handler_.Reset();
    sent_.clear();
    log_.Clear();
    std::vector<std::string> admitted;
    handler_.SetAdmissionCallback([&](const std::string& id, const std::string& name, uint32_t* limit) {
      admitted.push_back(id + "/" + name);
      *limit = 4;
      return c.admit;
    });
    handler_.SetHelloAuthenticator(nullptr);
    if (c.authenticator_accepts) handler_.SetHelloAuthenticator(Accepting());
    std::vector<VersionRefusal> refusals;
    handler_.SetVersionRefusedCallback([&](const VersionRefusal& r) { refusals.push_back(r); });

    pb::ControlMessage hello = HelloMessage(c.app_version, c.protocol_version);
    hello.mutable_hello()->set_client_id(c.client_id);
    EXPECT_TRUE(Deliver(hello).ok());

    ASSERT_EQ(sent_.size(), 1u);
    ASSERT_TRUE(sent_[0].has_hello_ack());
    const pb::HelloAck& ack = sent_[0].hello_ack();
    EXPECT_EQ(ack.result(), c.expected_result);
    EXPECT_EQ(ack.max_sessions(), c.expected_max_sessions);
    EXPECT_EQ(ack.host_id(), "orvane-PC");
    EXPECT_EQ(ack.host_name(), "PC");
    EXPECT_EQ(ack.host_version(), "1.3.5");
    EXPECT_EQ(ack.auth_version(), 0u);
    EXPECT_TRUE(ack.encrypted_session_key().empty());
    EXPECT_TRUE(ack.pairing_code().empty());
    EXPECT_TRUE(ack.host_signature().empty());
    EXPECT_EQ(handler_.HelloReceived(), c.hello_received);
    EXPECT_EQ(handler_.RefusedBusy(), c.refused_busy);
    EXPECT_EQ(handler_.RefusedVersion(), c.refused_version);
    EXPECT_EQ(handler_.IsAuthenticated(), c.authenticated);
    EXPECT_EQ(handler_.HasSessionKeys(), c.authenticated);
    EXPECT_EQ(handler_.ClientId(), c.client_id);
    EXPECT_EQ(handler_.ClientName(), "Tablet One");
    EXPECT_EQ(admitted.size(), c.hello_received ? 1u : 0u);
    ASSERT_EQ(refusals.size(), c.refused_version ? 1u : 0u);
    if (c.refused_version) {
      EXPECT_EQ(refusals[0].client_name, "Tablet One");
      EXPECT_EQ(refusals[0].app_version, c.app_version);
      EXPECT_EQ(refusals[0].host_version, "1.3.5");
      EXPECT_EQ(refusals[0].client_id, c.client_id);
      EXPECT_EQ(refusals[0].verdict, static_cast<int>(CompareAppVersion(c.app_version, "1.3.5")));
    }
    if (c.warning) {
      EXPECT_TRUE(log_.Contains(c.warning));
    }
    EXPECT_EQ(log_.Count("[INFO ] [Protocol] Sent HelloAck (result=" +
                         std::to_string(static_cast<int>(c.expected_result)) +
                         ", auth_version=0, host_ephemeral_fp=" + HostKeyFingerprint() + ")"),
              1u);
    EXPECT_EQ(ack.ephemeral_public_key().size(), 64u);
  }
}

TEST_F(ProtocolHandlerTest, HelloAckCarriesTheHandshake) {
  handler_.SetHelloAuthenticator([](const pb::Hello&, security::ControlKeyState& keys) {
    HelloAuthDecision decision = Accept();
    decision.auth_v2_pending = true;
    decision.host_identity_public_key = "identity";
    decision.host_signature = "signature";
    keys.InstallSessionKey(TestKey());
    return decision;
  });

  // Auth v2 with an unusable key: rejected, auth_version still 2.
  pb::ControlMessage hello = HelloMessage();
  hello.mutable_hello()->set_auth_version(2);
  hello.mutable_hello()->set_ephemeral_public_key("short");
  ASSERT_TRUE(Deliver(hello).ok());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].hello_ack().result(), pb::AUTH_RESULT_REJECTED);
  EXPECT_EQ(sent_[0].hello_ack().auth_version(), 2u);
  EXPECT_TRUE(sent_[0].hello_ack().directional_control_nonce());
  EXPECT_TRUE(sent_[0].hello_ack().host_signature().empty());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Hello rejected: client identity or ephemeral key is invalid"));
  const std::string first_host_key = sent_[0].hello_ack().ephemeral_public_key();

  // A usable one: a new host key, the signed answer, and authentication
  // waits for the proof.
  hello.mutable_hello()->set_ephemeral_public_key(std::string(64, 'k'));
  ASSERT_TRUE(Deliver(hello).ok());
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(counters_[1], -1) << "HelloAck leaves plain";
  const pb::HelloAck& ack = sent_[1].hello_ack();
  EXPECT_EQ(ack.result(), pb::AUTH_RESULT_OK);
  EXPECT_EQ(ack.auth_version(), 2u);
  EXPECT_TRUE(ack.directional_control_nonce());
  EXPECT_EQ(ack.ephemeral_public_key().size(), 64u);
  EXPECT_NE(ack.ephemeral_public_key(), first_host_key);
  EXPECT_EQ(security::AsBytes(ack.ephemeral_public_key()).size(), handler_.Keys().HostEphemeralPublicKey().size());
  EXPECT_EQ(ack.host_identity_public_key(), "identity");
  EXPECT_EQ(ack.host_signature(), "signature");
  EXPECT_TRUE(log_.Contains("(result=0, auth_version=2, host_ephemeral_fp=" + HostKeyFingerprint() + ")"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Peer ephemeral key len=64 fp=" +
                            security::KeyFingerprint(std::string(64, 'k'))));
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_TRUE(handler_.AuthV2Pending());

  // The proof is the one message let through meanwhile.
  std::vector<bool> proofs;
  ControlSecurityHooks hooks;
  hooks.handle_auth_proof = [&](const pb::AuthProof&, bool encrypted) { proofs.push_back(encrypted); };
  handler_.SetSecurityHooks(hooks);
  pb::ControlMessage proof;
  proof.mutable_auth_proof()->set_proof("p");
  ASSERT_TRUE(Deliver(proof).ok());
  EXPECT_EQ(proofs.size(), 1u);
  ASSERT_TRUE(handler_.FinishAuthV2(pb::AUTH_RESULT_OK));
  EXPECT_TRUE(handler_.IsAuthenticated());
  EXPECT_FALSE(handler_.AuthV2Pending());
  EXPECT_EQ(sent_.back().auth_status().result(), pb::AUTH_RESULT_OK);
  EXPECT_EQ(counters_.back(), 0) << "AuthStatus is the first sealed frame";
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent AuthStatus result=0"));
}

TEST_F(ProtocolHandlerTest, IdentityTextsAreCutAtCharacterBoundaries) {
  std::vector<VersionRefusal> refusals;
  handler_.SetVersionRefusedCallback([&](const VersionRefusal& r) { refusals.push_back(r); });
  pb::ControlMessage hello = HelloMessage(std::string(31, '9') + "\xC3\xA9");  // 33 bytes, 'é' at 31..32
  hello.mutable_hello()->set_client_name(std::string(127, 'n') + "\xE2\x82\xAC");  // '€' at 127..129
  ASSERT_TRUE(Deliver(hello).ok());
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].app_version, std::string(31, '9'));
  EXPECT_EQ(refusals[0].client_name, std::string(127, 'n'));
}

TEST_F(ProtocolHandlerTest, DroppedMessagesAreReportedByTheNextHello) {
  handler_.CountDroppedBeforeAuthentication();
  handler_.CountDroppedBeforeAuthentication();
  handler_.CountDroppedBeforeAuthentication();
  handler_.Reset();  // the count outlives the connection
  ASSERT_TRUE(Deliver(HelloMessage()).ok());
  EXPECT_TRUE(log_.Contains(
      "[INFO ] [Protocol] 3 outgoing control messages were dropped before authentication since the previous "
      "connection"));
  EXPECT_EQ(handler_.DroppedBeforeAuthentication(), 0u);
}

TEST_F(ProtocolHandlerTest, HelloOnAnAuthenticatedConnectionStartsOver) {
  Authenticate();
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  ASSERT_TRUE(handler_.TakeStreamRequests().start);
  ASSERT_TRUE(handler_.SendStreamStarted({"s-1", false, 0, MirrorFallbackCause::kNone, 1920, 1080}));
  ASSERT_TRUE(handler_.Streaming());
  sent_.clear();
  uint64_t tick = 0;
  EXPECT_FALSE(handler_.TakeAuthenticationRestart(&tick));

  clock_.AdvanceMs(5000);
  const uint64_t hellos = handler_.HelloCount();
  handler_.SetHelloAuthenticator(nullptr);
  ASSERT_TRUE(Deliver(HelloMessage()).ok());

  // The stream stops as for StopStream, told while the connection still had
  // its keys, then the Hello is answered on the not-authenticated path.
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].stream_stopped().session_id(), "s-1");
  EXPECT_EQ(sent_[1].hello_ack().result(), pb::AUTH_RESULT_REJECTED);
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_FALSE(handler_.HasSessionKeys());
  EXPECT_FALSE(handler_.Streaming());
  EXPECT_TRUE(handler_.TakeStreamRequests().stop);
  EXPECT_EQ(handler_.HelloCount(), hellos + 1);
  ASSERT_TRUE(handler_.TakeAuthenticationRestart(&tick));
  EXPECT_EQ(tick, clock_.TickMs());
  EXPECT_FALSE(handler_.TakeAuthenticationRestart(&tick));
  // Nothing but Hello passes now.
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_FALSE(handler_.TakeStreamRequests().start);
}

// ----------------------------------------------------------- negotiation

TEST(NegotiationMathTest, FitInto) {
  const struct {
    uint32_t w, h, max_w, max_h, out_w, out_h;
  } cases[] = {
      {2148, 1208, 1920, 1080, 1920, 1072},  // the long side lands exactly on 1920
      {2148, 1208, 3840, 2160, 2144, 1208},  // fits: only rounded down to 8
      {1080, 2400, 3840, 2160, 2400, 1080},  // portrait in, landscape out
      {2560, 1600, 3840, 1080, 1728, 1080},
      {2560, 1600, 3840, 1200, 1920, 1200},
      {2560, 1440, 1920, 1080, 1920, 1080},
      {3000, 2000, 1920, 1080, 1616, 1080},
      {0, 1080, 1920, 1080, 1080, 0},  // a zero side: unchanged
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " into " + std::to_string(c.max_w) + "x" +
                 std::to_string(c.max_h));
    const FrameSize size = FitInto(c.w, c.h, c.max_w, c.max_h);
    EXPECT_EQ(size.width, c.out_w);
    EXPECT_EQ(size.height, c.out_h);
  }
}

TEST(NegotiationMathTest, FitModeAndBitrate) {
  const CodecCandidate h264{1, 1920, 1080, 60, false, false, true};
  const CodecCandidate hevc{2, 3840, 2160, 120, true, false, true};
  const CodecCandidate absent{1, 1920, 1080, 60, true, false, false};
  const struct {
    const char* name;
    uint32_t w, h, fps;
    CodecCandidate candidate;
    uint32_t out_w, out_h, out_fps, bitrate;
  } cases[] = {
      {"H.264 takes the first fitted size within 1080p", 2560, 1600, 60, h264, 1728, 1080, 60, 7000},
      {"HEVC without UHD 120 drops to 90", 3840, 2160, 120, hevc, 3840, 2160, 90, 50000},
      {"HEVC 1440p at 120", 2560, 1440, 120, hevc, 2560, 1440, 120, 26000},
      {"H.264 1080p", 1920, 1080, 60, h264, 1920, 1080, 60, 12000},
      {"odd frame rate normalised", 1920, 1080, 75, hevc, 1920, 1080, 60, 12000},
      {"no candidate", 1920, 1080, 60, absent, 1280, 720, 30, 7000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StreamMode mode = FitMode(c.w, c.h, c.fps, c.candidate);
    EXPECT_EQ(mode.width, c.out_w);
    EXPECT_EQ(mode.height, c.out_h);
    EXPECT_EQ(mode.fps, c.out_fps);
    EXPECT_EQ(InitialBitrateKbps(c.candidate.codec, mode.width, mode.height, mode.fps), c.bitrate);
  }
  EXPECT_EQ(InitialBitrateKbps(2, 3840, 2160, 120), 90000u);
  EXPECT_EQ(InitialBitrateKbps(1, 2560, 1440, 120), 20000u);
}

TEST_F(ProtocolHandlerTest, CapabilityNegotiation) {
  struct Case {
    const char* name;
    std::vector<pb::VideoCodec> codecs;
    std::vector<pb::CodecCapability> capabilities;
    uint32_t pref_w, pref_h;  // 0 x 0: none
    std::vector<uint32_t> fps;
    pb::VideoCodec codec;
    uint32_t width, height, out_fps, bitrate, orientation;
    const char* log;  // a line that must be there
  };
  pb::CodecCapability hevc_soft;
  hevc_soft.set_codec(pb::VIDEO_CODEC_HEVC);
  hevc_soft.set_max_width(3840);
  hevc_soft.set_max_height(2160);
  hevc_soft.set_max_fps(60);
  pb::CodecCapability unknown_small;
  unknown_small.set_codec(static_cast<pb::VideoCodec>(7));
  unknown_small.set_max_width(640);
  unknown_small.set_max_height(360);
  unknown_small.set_max_fps(30);
  pb::CodecCapability unspecified_h264;
  unspecified_h264.set_max_width(1280);
  unspecified_h264.set_max_height(720);
  unspecified_h264.set_max_fps(144);
  unspecified_h264.set_hardware_decode(true);
  const auto H264 = pb::VIDEO_CODEC_H264;
  const auto HEVC = pb::VIDEO_CODEC_HEVC;
  const Case cases[] = {
      {"H.264 only at 2560x1600", {H264}, {}, 2560, 1600, {60}, H264, 1728, 1080, 60, 7000, 1,
       "[INFO ] [Protocol] Negotiated mode: 1728x1080 @60 fps bitrate=7000 kbps"},
      {"portrait preference", {H264, HEVC}, {}, 1080, 2400, {60}, HEVC, 2400, 1080, 60, 12000, 2,
       "[INFO ] [Protocol] Client display orientation at start: portrait"},
      {"no codecs", {}, {}, 0, 0, {}, H264, 1280, 720, 30, 7000, 0,
       "[INFO ] [Protocol] Codec selected: H264 (supports_h264=0 supports_hevc=0 hw_decode=1 uhd120=0)"},
      {"too large", {H264}, {}, 5000, 3000, {}, H264, 1920, 1080, 60, 12000, 1,
       "[WARN ] [Protocol] Preferred resolution rejected as out of bounds: 5000x3000"},
      {"too small", {H264}, {}, 600, 300, {}, H264, 1920, 1080, 60, 12000, 1,
       "[WARN ] [Protocol] Preferred resolution rejected as out of bounds: 600x300"},
      {"fps list picks the largest up to 120", {HEVC}, {}, 1920, 1080, {30, 90, 144}, HEVC, 1920, 1080, 90, 12000, 1,
       "[INFO ] [Protocol] Sent CapabilityAccept: HEVC 1920x1080 @90 fps"},
      {"fps list without anything above 60", {HEVC}, {}, 0, 0, {24, 30}, HEVC, 1920, 1080, 60, 12000, 0, nullptr},
      {"HEVC without hardware decode", {H264}, {hevc_soft}, 2560, 1440, {}, H264, 1920, 1080, 60, 12000, 1,
       "[WARN ] [Protocol] HEVC advertised without hardware decode for high-demand request; downgrading "
       "negotiation target to 1920x1080 @60 fps (prefer H264)"},
      {"unknown codec entry leaves H.264 alone", {H264}, {unknown_small}, 0, 0, {}, H264, 1920, 1080, 60, 12000, 0,
       nullptr},
      {"unspecified codec entry counts as H.264", {}, {unspecified_h264}, 0, 0, {}, H264, 1280, 720, 60, 7000, 0,
       "[INFO ] [Protocol] Codec selected: H264 (supports_h264=1 supports_hevc=0 hw_decode=1 uhd120=0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    pb::CapabilityExchange caps;
    for (const auto codec : c.codecs) caps.add_supported_codecs(codec);
    for (const auto& entry : c.capabilities) *caps.add_codec_capabilities() = entry;
    for (const uint32_t rate : c.fps) caps.add_supported_fps(rate);
    if (c.pref_w != 0) {
      caps.mutable_preferred_resolution()->set_width(c.pref_w);
      caps.mutable_preferred_resolution()->set_height(c.pref_h);
    }
    const pb::CapabilityAccept accept = Negotiate(caps);
    EXPECT_EQ(accept.selected_codec(), c.codec);
    EXPECT_EQ(accept.selected_resolution().width(), c.width);
    EXPECT_EQ(accept.selected_resolution().height(), c.height);
    EXPECT_EQ(accept.selected_fps(), c.out_fps);
    EXPECT_EQ(accept.initial_bitrate_kbps(), c.bitrate);
    EXPECT_EQ(accept.media_udp_port(), 9441u);
    EXPECT_EQ(accept.input_udp_port(), 9442u);
    EXPECT_TRUE(accept.fec_enabled());
    EXPECT_FALSE(accept.hdr_enabled());
    EXPECT_EQ(handler_.Orientation(), c.orientation);
    const SessionConfig config = handler_.GetSessionConfig();
    EXPECT_EQ(config.codec, static_cast<uint32_t>(c.codec));
    EXPECT_EQ(config.width, c.width);
    EXPECT_EQ(config.height, c.height);
    EXPECT_EQ(config.fps, c.out_fps);
    EXPECT_EQ(config.bitrate_kbps, c.bitrate);
    if (c.log) {
      EXPECT_TRUE(log_.Contains(c.log));
    }
  }
}

TEST_F(ProtocolHandlerTest, CapabilityFlagsFragmentLimitAndRoute) {
  const struct {
    uint32_t advertised;
    uint32_t limit;
    const char* route;
    const char* kept;
    const char* route_log;
  } cases[] = {
      {5, 16, "wifi_direct", "wifi_direct", "wifi_direct"},
      {0, 256, "wifi5", "", "unknown"},
      {100000, 65535, "Usb", "", "unknown"},
      {1000, 1000, "", "", "unknown"},
  };
  handler_.SetWindowCommandsSupported(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.advertised);
    log_.Clear();
    pb::CapabilityExchange caps;
    caps.add_supported_codecs(pb::VIDEO_CODEC_H264);
    caps.set_max_fragments_per_frame(c.advertised);
    caps.set_route_class(c.route);
    caps.set_stream_resize_supported(true);
    caps.mutable_audio()->set_opus_supported(true);
    caps.mutable_input()->set_pen_pressure(true);
    caps.set_display_orientation(pb::DISPLAY_ORIENTATION_PORTRAIT);
    const pb::CapabilityAccept accept = Negotiate(caps);
    EXPECT_TRUE(accept.audio_enabled());
    EXPECT_TRUE(accept.input_enabled());
    EXPECT_TRUE(accept.stream_resize_enabled());
    EXPECT_TRUE(accept.window_commands_supported());
    const SessionConfig config = handler_.GetSessionConfig();
    EXPECT_EQ(config.fragment_limit, c.limit);
    EXPECT_EQ(config.route_class, c.kept);
    EXPECT_TRUE(config.stream_resize_supported);
    EXPECT_EQ(handler_.Orientation(), 2u);
    EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Client frame limit: " + std::to_string(c.limit) +
                              " fragments (advertised " + std::to_string(c.advertised) + ")"));
    EXPECT_TRUE(log_.Contains(std::string("[INFO ] [Protocol] Client route: ") + c.route_log));
  }
  EXPECT_EQ(FilterRouteClass(std::string(40, 'a')), std::string(32, 'a'));
}

TEST_F(ProtocolHandlerTest, QualityProfileChangesOnlyWhatWasSent) {
  pb::CapabilityExchange caps;
  caps.add_supported_codecs(pb::VIDEO_CODEC_H264);
  Negotiate(caps);  // 1920x1080 @60, 12000, H.264; HEVC not offered
  const struct {
    const char* name;
    uint32_t bitrate, fps;
    pb::VideoCodec codec;
    bool changed;
    uint32_t out_bitrate, out_fps, out_codec;
    uint32_t taken_bitrate;  // what the session gets as the profile's bitrate
  } cases[] = {
      {"bitrate only", 5000, 0, pb::VIDEO_CODEC_UNSPECIFIED, true, 5000, 60, 1, 5000},
      {"fps 100 -> 90", 0, 100, pb::VIDEO_CODEC_UNSPECIFIED, true, 5000, 90, 1, 0},
      {"fps 45 -> 30", 0, 45, pb::VIDEO_CODEC_UNSPECIFIED, true, 5000, 30, 1, 0},
      {"fps 75 -> 60", 0, 75, pb::VIDEO_CODEC_UNSPECIFIED, true, 5000, 60, 1, 0},
      {"codec never offered", 0, 0, pb::VIDEO_CODEC_HEVC, false, 5000, 60, 1, 0},
      {"unknown codec", 0, 0, static_cast<pb::VideoCodec>(9), false, 5000, 60, 1, 0},
      {"offered codec", 0, 0, pb::VIDEO_CODEC_H264, true, 5000, 60, 1, 0},
      {"all zero", 0, 0, pb::VIDEO_CODEC_UNSPECIFIED, false, 5000, 60, 1, 0},
      {"bitrate above every stream's", 0xFFFFFFFFu, 0, pb::VIDEO_CODEC_UNSPECIFIED, true, 160000, 60, 1, 160000},
      {"bitrate of the fastest stream", 160000, 0, pb::VIDEO_CODEC_UNSPECIFIED, true, 160000, 60, 1, 160000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pb::ControlMessage message;
    message.mutable_set_quality_profile()->set_target_bitrate_kbps(c.bitrate);
    message.mutable_set_quality_profile()->set_target_fps(c.fps);
    message.mutable_set_quality_profile()->set_codec(c.codec);
    ASSERT_TRUE(Deliver(message).ok());
    uint32_t taken = 99;
    EXPECT_EQ(handler_.TakeQualityChanged(&taken), c.changed);
    EXPECT_EQ(taken, c.taken_bitrate);
    const SessionConfig config = handler_.GetSessionConfig();
    EXPECT_EQ(config.bitrate_kbps, c.out_bitrate);
    EXPECT_EQ(config.fps, c.out_fps);
    EXPECT_EQ(config.codec, c.out_codec);
  }
}

// ------------------------------------------------------ other messages

TEST_F(ProtocolHandlerTest, LastStreamRequestWins) {
  enum Request { kStart, kStop };
  const struct {
    const char* name;
    std::vector<Request> requests;
    bool start;
    bool stop;
  } cases[] = {
      {"start", {kStart}, true, false},
      {"stop", {kStop}, false, true},
      {"start then stop", {kStart, kStop}, false, true},
      {"stop then start", {kStop, kStart}, true, false},
      {"start, stop, start", {kStart, kStop, kStart}, true, false},
  };
  Authenticate();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (Request r : c.requests) ASSERT_TRUE(Deliver(r == kStart ? StartStreamMessage() : StopStreamMessage()).ok());
    const StreamRequests taken = handler_.TakeStreamRequests();
    EXPECT_EQ(taken.start, c.start);
    EXPECT_EQ(taken.stop, c.stop);
    const StreamRequests again = handler_.TakeStreamRequests();
    EXPECT_FALSE(again.start || again.stop);
  }
}

TEST_F(ProtocolHandlerTest, KeyframeRequestsDoNotSwallowAStop) {
  Authenticate();
  pb::ControlMessage keyframe;
  keyframe.mutable_request_keyframe()->set_stream_id("v");
  ASSERT_TRUE(Deliver(StopStreamMessage()).ok());
  ASSERT_TRUE(Deliver(keyframe).ok());
  // The frame loop takes keyframes every frame; the stop stays for the session.
  EXPECT_TRUE(handler_.TakeKeyframeRequest());
  EXPECT_FALSE(handler_.TakeKeyframeRequest());
  EXPECT_TRUE(handler_.TakeStreamRequests().stop);
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] RequestKeyframe: stream_id=v"));

  // Resuming video asks for a keyframe as well.
  pb::ControlMessage pause;
  pause.mutable_set_video_paused()->set_paused(true);
  ASSERT_TRUE(Deliver(pause).ok());
  EXPECT_TRUE(handler_.VideoPaused());
  EXPECT_FALSE(handler_.TakeKeyframeRequest());
  pause.mutable_set_video_paused()->set_paused(false);
  ASSERT_TRUE(Deliver(pause).ok());
  EXPECT_FALSE(handler_.VideoPaused());
  EXPECT_TRUE(handler_.TakeKeyframeRequest());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Video paused (graphics tablet mode on)"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Video resumed (graphics tablet mode off)"));
}

TEST_F(ProtocolHandlerTest, StopStreamIsAnsweredAndMarksUserEnded) {
  Authenticate();
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_EQ(handler_.GetSessionConfig().session_id, "s-1");
  ASSERT_TRUE(Deliver(StopStreamMessage()).ok());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].stream_stopped().session_id(), "s-1");
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] StartStream: sessionId=s-1"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] StopStream: sessionId=s-1 reason=0"));
  EXPECT_TRUE(handler_.TakeUserEnded());
  EXPECT_FALSE(handler_.TakeUserEnded());

  // Starting again withdraws the earlier end.
  ASSERT_TRUE(Deliver(StopStreamMessage()).ok());
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_FALSE(handler_.TakeUserEnded());

  pb::ControlMessage terminate;
  terminate.mutable_session_terminate()->set_reason("bye");
  ASSERT_TRUE(Deliver(terminate).ok());
  EXPECT_TRUE(handler_.TakeStreamRequests().stop);
  EXPECT_TRUE(handler_.TakeUserEnded());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] SessionTerminate: bye"));
}

TEST_F(ProtocolHandlerTest, NackBatchesCollectVideoOnly) {
  Authenticate();
  const auto nack = [this](uint32_t stream_type, std::vector<uint32_t> numbers) {
    pb::ControlMessage message;
    message.mutable_nack_request()->set_stream_type(stream_type);
    for (const uint32_t n : numbers) message.mutable_nack_request()->add_sequence_numbers(n);
    ASSERT_TRUE(Deliver(message).ok());
  };
  NackBatch batch;
  EXPECT_FALSE(handler_.TakeNackBatch(&batch));
  nack(1, {});
  EXPECT_FALSE(handler_.TakeNackBatch(&batch));
  nack(1, {5, 6});
  nack(2, {90});  // audio: ignored, the video batch stays
  nack(1, {7});
  ASSERT_TRUE(handler_.TakeNackBatch(&batch));
  EXPECT_EQ(batch.stream_type, 1u);
  EXPECT_EQ(batch.sequence_numbers, (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_FALSE(handler_.TakeNackBatch(&batch));
  nack(0, {1});
  EXPECT_FALSE(handler_.TakeNackBatch(&batch));

  std::vector<uint32_t> many(1000);
  for (uint32_t i = 0; i < many.size(); ++i) many[i] = i;
  nack(1, many);
  nack(1, many);
  ASSERT_TRUE(handler_.TakeNackBatch(&batch));
  ASSERT_EQ(batch.sequence_numbers.size(), ProtocolHandler::kMaxNackBatch);
  EXPECT_EQ(batch.sequence_numbers[1000], 0u);
}

TEST_F(ProtocolHandlerTest, StatisticsAreSanitisedOnIntake) {
  Authenticate();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  pb::ControlMessage message;
  pb::StatsReport* report = message.mutable_stats_report();
  report->set_rtt_ms(nan);
  report->set_jitter_ms(90000.0f);
  report->set_packet_loss_pct(-3.0f);
  report->set_decode_pressure_pct(inf);
  report->set_receiver_drop_pct(250.0f);
  report->set_late_drop_pct(12.5f);
  report->set_fec_recovered_packets(7);
  report->set_route_class("Wifi");
  report->set_drop_reasons(std::string(511, 'd') + "\xC3\xA9");
  ASSERT_TRUE(Deliver(message).ok());
  TabletStats stats;
  ASSERT_TRUE(handler_.TakeTabletStats(&stats));
  EXPECT_EQ(stats.rtt_ms, 0.0f);
  EXPECT_EQ(stats.jitter_ms, 60000.0f);
  EXPECT_EQ(stats.packet_loss_pct, 0.0f);
  EXPECT_EQ(stats.decode_pressure_pct, 0.0f);
  EXPECT_EQ(stats.receiver_drop_pct, 100.0f);
  EXPECT_EQ(stats.late_drop_pct, 12.5f);
  EXPECT_EQ(stats.fec_recovered_packets, 7u);
  EXPECT_EQ(stats.route_class, "");
  EXPECT_EQ(stats.drop_reasons, std::string(511, 'd'));
  EXPECT_FALSE(handler_.TakeTabletStats(&stats));

  report->set_rtt_ms(-inf);
  report->set_jitter_ms(12.0f);
  report->set_route_class("usb");
  ASSERT_TRUE(Deliver(message).ok());
  ASSERT_TRUE(handler_.TakeTabletStats(&stats));
  EXPECT_EQ(stats.rtt_ms, 0.0f);
  EXPECT_EQ(stats.jitter_ms, 12.0f);
  EXPECT_EQ(stats.route_class, "usb");

  // Decode pressure above 100 % is a decoder that cannot keep up: it stays.
  for (const auto& [given, kept] : {std::pair{120.0f, 120.0f}, std::pair{5000.0f, 1000.0f}}) {
    report->set_decode_pressure_pct(given);
    ASSERT_TRUE(Deliver(message).ok());
    ASSERT_TRUE(handler_.TakeTabletStats(&stats));
    EXPECT_EQ(stats.decode_pressure_pct, kept);
  }
}

TEST_F(ProtocolHandlerTest, SmallRequestsAndAnswers) {
  Authenticate();
  clock_.AdvanceUs(77);

  pb::ControlMessage ping;
  ping.mutable_ping()->set_send_timestamp_us(4242);
  ASSERT_TRUE(Deliver(ping).ok());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].pong().ping_timestamp_us(), 4242u);
  EXPECT_EQ(sent_[0].pong().pong_timestamp_us(), static_cast<uint64_t>(clock_.NowUs()));

  pb::ControlMessage transfer;
  transfer.mutable_start_file_transfer()->set_transfer_id("t");
  ASSERT_TRUE(Deliver(transfer).ok());
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[1].error().error_code(), 2301u);
  EXPECT_EQ(sent_[1].error().error_description(), "File transfer is unavailable in this release");
  EXPECT_FALSE(sent_[1].error().is_fatal());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] File transfer rejected: not supported by this host"));

  pb::ControlMessage audio;
  audio.mutable_set_audio_enabled()->set_enabled(true);
  audio.mutable_set_audio_enabled()->set_mute_host_speakers(true);
  ASSERT_TRUE(Deliver(audio).ok());
  EXPECT_TRUE(handler_.GetSessionConfig().audio_enabled);
  EXPECT_TRUE(handler_.GetSessionConfig().mute_host_speakers);
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Audio enabled (tablet only: yes)"));

  pb::ControlMessage clip;
  clip.mutable_clipboard_update()->set_text("hello");
  clip.mutable_clipboard_update()->set_has_image(true);
  clip.mutable_clipboard_update()->set_image_data("PNG");
  clip.mutable_clipboard_update()->set_mime_type("image/png");
  ASSERT_TRUE(Deliver(clip).ok());
  ClipboardIn in;
  ASSERT_TRUE(handler_.TakeClipboardIn(&in));
  EXPECT_EQ(in.text, "hello");
  EXPECT_EQ(in.image_data, "PNG");
  EXPECT_EQ(in.mime_type, "image/png");
  EXPECT_FALSE(handler_.TakeClipboardIn(&in));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] ClipboardUpdate from mobile (text=5 chars, image=1, bytes=3)"));

  const struct {
    pb::DisplayOrientation value;
    uint32_t stored;
    bool changed;
    const char* name;
  } orientations[] = {
      {pb::DISPLAY_ORIENTATION_PORTRAIT, 2, true, "portrait"},
      {pb::DISPLAY_ORIENTATION_UNSPECIFIED, 2, false, "unspecified"},
      {pb::DISPLAY_ORIENTATION_LANDSCAPE, 1, true, "landscape"},
  };
  for (const auto& o : orientations) {
    SCOPED_TRACE(o.name);
    pb::ControlMessage update;
    update.mutable_display_orientation_update()->set_orientation(o.value);
    ASSERT_TRUE(Deliver(update).ok());
    EXPECT_EQ(handler_.Orientation(), o.stored);
    EXPECT_EQ(handler_.TakeOrientationChanged(), o.changed);
    EXPECT_TRUE(log_.Contains(std::string("[INFO ] [Protocol] DisplayOrientationUpdate: ") + o.name));
  }

  // Without stream resize support nothing is sent.
  EXPECT_FALSE(handler_.SendStreamResize("s", {1280, 720}, {1920, 1080}, 667));
  EXPECT_EQ(sent_.size(), 2u);
}

TEST_F(ProtocolHandlerTest, MonitorListAndSelection) {
  handler_.SetMonitorEnumerator(std::make_shared<TwoMonitors>());
  Authenticate();
  pb::ControlMessage request;
  request.mutable_monitor_list_request();
  ASSERT_TRUE(Deliver(request).ok());
  ASSERT_EQ(sent_.size(), 1u);
  const pb::MonitorListResponse& list = sent_[0].monitor_list_response();
  ASSERT_EQ(list.monitors_size(), 2);
  EXPECT_EQ(list.monitors(0).monitor_id(), "\\\\.\\DISPLAY1");
  EXPECT_EQ(list.monitors(0).display_name(), "Left");
  EXPECT_EQ(list.monitors(0).position_x(), -1280);
  EXPECT_EQ(list.monitors(0).refresh_rate_hz(), 75u);
  EXPECT_FALSE(list.monitors(0).is_primary());
  EXPECT_TRUE(list.monitors(1).is_primary());
  EXPECT_TRUE(list.monitors(1).hdr_enabled());
  EXPECT_EQ(list.monitors(1).width(), 2560u);
  EXPECT_EQ(list.active_monitor_id(), "\\\\.\\DISPLAY2");  // nothing selected or active: the primary
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] MonitorListRequest received"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent MonitorListResponse with 2 monitors"));

  handler_.SetActiveMonitorId("\\\\.\\DISPLAY1");
  ASSERT_TRUE(handler_.SendMonitorListResponse());
  EXPECT_EQ(sent_.back().monitor_list_response().active_monitor_id(), "\\\\.\\DISPLAY1");

  pb::ControlMessage select;
  select.mutable_select_monitor()->set_monitor_id("\\\\.\\DISPLAY2");
  ASSERT_TRUE(Deliver(select).ok());
  EXPECT_EQ(handler_.SelectedMonitorId(), "\\\\.\\DISPLAY2");
  EXPECT_TRUE(handler_.TakeMonitorChanged());
  EXPECT_FALSE(handler_.TakeMonitorChanged());
  ASSERT_TRUE(handler_.SendMonitorListResponse());
  EXPECT_EQ(sent_.back().monitor_list_response().active_monitor_id(), "\\\\.\\DISPLAY2");
}

TEST_F(ProtocolHandlerTest, WindowCommandsQueueUpToFour) {
  const auto command = [this](pb::WindowAction action, uint32_t id) {
    pb::ControlMessage message;
    message.mutable_window_command()->set_action(action);
    message.mutable_window_command()->set_request_id(id);
    ASSERT_TRUE(Deliver(message).ok());
  };
  Authenticate();
  // Without a window mover every command fails at once.
  command(pb::WINDOW_ACTION_MOVE_BACK, 1);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].window_command_result().request_id(), 1u);
  EXPECT_EQ(sent_[0].window_command_result().action(), pb::WINDOW_ACTION_MOVE_BACK);
  EXPECT_EQ(sent_[0].window_command_result().status(), pb::WINDOW_COMMAND_STATUS_FAILED);
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent WindowCommandResult request=1 status=failed"));

  handler_.SetWindowCommandsSupported(true);
  sent_.clear();
  command(pb::WINDOW_ACTION_UNSPECIFIED, 2);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].window_command_result().status(), pb::WINDOW_COMMAND_STATUS_FAILED);
  for (uint32_t id = 10; id < 15; ++id) {
    command(id % 2 ? pb::WINDOW_ACTION_MOVE_BACK : pb::WINDOW_ACTION_MOVE_FOREGROUND_TO_CLIENT_DISPLAY, id);
  }
  ASSERT_EQ(sent_.size(), 2u);  // the fifth is refused
  EXPECT_EQ(sent_[1].window_command_result().request_id(), 14u);
  WindowCommandRequest taken;
  for (uint32_t id = 10; id < 14; ++id) {
    ASSERT_TRUE(handler_.TakeWindowCommand(&taken));
    EXPECT_EQ(taken.request_id, id);
    EXPECT_EQ(taken.move_back, id % 2 == 1);
  }
  EXPECT_FALSE(handler_.TakeWindowCommand(&taken));
}

// ------------------------------------------------------ gating and frames

TEST_F(ProtocolHandlerTest, NothingButHelloIsHandledBeforeAuthentication) {
  std::vector<pb::ControlMessage> messages(12);
  messages[0].mutable_capability_exchange()->add_supported_codecs(pb::VIDEO_CODEC_H264);
  messages[1] = StartStreamMessage();
  messages[2] = StopStreamMessage();
  messages[3].mutable_set_quality_profile()->set_target_bitrate_kbps(1000);
  messages[4].mutable_request_keyframe();
  messages[5].mutable_select_monitor()->set_monitor_id("x");
  messages[6].mutable_window_command()->set_action(pb::WINDOW_ACTION_MOVE_BACK);
  messages[7].mutable_ping()->set_send_timestamp_us(1);
  messages[8].mutable_nack_request()->set_stream_type(1);
  messages[8].mutable_nack_request()->add_sequence_numbers(3);
  messages[9].mutable_stats_report()->set_rtt_ms(5);
  messages[10].mutable_auth_proof()->set_proof("p");  // no auth v2 handshake pending
  // messages[11] has no payload.
  for (const auto& message : messages) {
    SCOPED_TRACE(static_cast<int>(message.payload_case()));
    clock_.AdvanceMs(ProtocolHandler::kPreAuthWarningIntervalMs);
    log_.Clear();
    ASSERT_TRUE(Deliver(message).ok());
    EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Ignoring control message type=" +
                              std::to_string(static_cast<int>(message.payload_case())) + " before authentication"));
  }
  EXPECT_TRUE(sent_.empty());
  const StreamRequests requests = handler_.TakeStreamRequests();
  EXPECT_FALSE(requests.start || requests.stop);
  EXPECT_FALSE(handler_.TakeKeyframeRequest());
  EXPECT_FALSE(handler_.TakeQualityChanged());
  EXPECT_FALSE(handler_.TakeMonitorChanged());
  NackBatch batch;
  EXPECT_FALSE(handler_.TakeNackBatch(&batch));
  TabletStats stats;
  EXPECT_FALSE(handler_.TakeTabletStats(&stats));
  WindowCommandRequest command;
  EXPECT_FALSE(handler_.TakeWindowCommand(&command));
  EXPECT_EQ(handler_.GetSessionConfig().bitrate_kbps, 8000u);
}

TEST_F(ProtocolHandlerTest, WarningsBeforeAuthenticationAreRateLimited) {
  const std::string line = "[WARN ] [Protocol] Ignoring control message type=14 before authentication";
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_EQ(log_.Count(line), 1u);

  clock_.AdvanceMs(999);
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_EQ(log_.Count(line), 1u);
  clock_.AdvanceMs(1);
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_EQ(log_.Count(line), 2u);
  EXPECT_TRUE(log_.Contains(line + " (5 similar suppressed)"));

  // A new connection starts with a fresh allowance.
  handler_.Reset();
  ASSERT_TRUE(Deliver(StopStreamMessage()).ok());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Ignoring control message type=15 before authentication"));
}

TEST_F(ProtocolHandlerTest, UnparsableFrameGivesCode4) {
  const uint8_t junk[] = {0xFF, 0xFF};
  const HostResult result = handler_.HandleControlFrame(junk, sizeof junk, false);
  EXPECT_EQ(result.code, 4);
  EXPECT_EQ(result.message, "Failed to parse control message");
  EXPECT_EQ(handler_.LastResult().code, 4);
  EXPECT_TRUE(log_.Contains("[ERROR] [Protocol] Failed to parse control message size=2 prefix=FFFF0000"));
  EXPECT_TRUE(sent_.empty());
}

TEST_F(ProtocolHandlerTest, MessageWithoutPayloadIsOnlyLogged) {
  pb::ControlMessage empty;
  ASSERT_TRUE(Deliver(empty).ok());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Ignoring control message type=0 before authentication"));
  Authenticate();
  ASSERT_TRUE(Deliver(empty).ok());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Unhandled message type: 0"));
  EXPECT_TRUE(handler_.IsAuthenticated());
  EXPECT_TRUE(sent_.empty());
}

// ------------------------------------------------------ builders and reset

TEST_F(ProtocolHandlerTest, SendStampsVersionSequenceAndHostClock) {
  Authenticate();
  clock_.AdvanceUs(1234);
  ASSERT_TRUE(handler_.SendErrorMessage(2504, "Disconnected from the PC", true));
  clock_.AdvanceUs(10);
  pb::ControlMessage preset;
  preset.set_sequence_id(99);
  preset.set_timestamp_us(7);
  preset.mutable_stream_stopped()->set_session_id("s");
  ASSERT_TRUE(handler_.SendControlMessage(&preset));
  ASSERT_TRUE(handler_.SendStreamStopped("s"));

  ASSERT_EQ(sent_.size(), 3u);
  EXPECT_EQ(sent_[0].protocol_version(), 1u);
  EXPECT_EQ(sent_[0].sequence_id(), 2u) << "the HelloAck had 1";
  EXPECT_EQ(sent_[0].timestamp_us(), 1'000'000'000u + 1234u);
  EXPECT_EQ(sent_[0].error().error_code(), 2504u);
  EXPECT_TRUE(sent_[0].error().is_fatal());
  // Values the caller set are kept; only zeros are filled in.
  EXPECT_EQ(sent_[1].sequence_id(), 99u);
  EXPECT_EQ(sent_[1].timestamp_us(), 7u);
  EXPECT_EQ(sent_[1].protocol_version(), 1u);
  EXPECT_EQ(sent_[2].sequence_id(), 3u);
  EXPECT_EQ(sent_[2].timestamp_us(), 1'000'000'000u + 1244u);
  // Sealed with envelope counters in the order of sending.
  EXPECT_EQ(counters_, (std::vector<int64_t>{0, 1, 2}));
}

TEST_F(ProtocolHandlerTest, WhatMayLeaveBeforeAuthentication) {
  // No key, not authenticated: dropped; the first drop says so.
  EXPECT_FALSE(handler_.SendErrorMessage(1, "x", false));
  EXPECT_FALSE(handler_.SendAuthStatus(pb::AUTH_RESULT_OK));
  EXPECT_FALSE(handler_.SendPong(1));
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(log_.Count("[WARN ] [Protocol] Dropped outgoing control message before authentication (further ones "
                       "until the next connection are only counted)"),
            1u);
  EXPECT_EQ(handler_.DroppedBeforeAuthentication(), 3u);

  // With a key but still unauthenticated only AuthStatus leaves, sealed;
  // HelloAck always leaves plain.
  handler_.Keys().InstallSessionKey(TestKey());
  EXPECT_FALSE(handler_.SendPong(2));
  EXPECT_TRUE(handler_.SendAuthStatus(pb::AUTH_RESULT_PAIRING_REQUIRED));
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(counters_[0], 0);
  EXPECT_EQ(sent_[0].auth_status().result(), pb::AUTH_RESULT_PAIRING_REQUIRED);
  pb::ControlMessage ack;
  ack.mutable_hello_ack()->set_result(pb::AUTH_RESULT_REJECTED);
  EXPECT_TRUE(handler_.SendControlMessage(&ack));
  EXPECT_EQ(counters_.back(), -1);

  // The next Hello reports the count and starts it over.
  ASSERT_TRUE(Deliver(HelloMessage()).ok());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] 4 outgoing control messages were dropped before authentication "
                            "since the previous connection"));
}

TEST_F(ProtocolHandlerTest, HostFramesUseTheDirectionalPrefixWhenAsked) {
  pb::ControlMessage hello = HelloMessage();
  hello.mutable_hello()->set_directional_control_nonce(true);
  handler_.SetHelloAuthenticator(Accepting());
  ASSERT_TRUE(Deliver(hello).ok());
  ASSERT_TRUE(handler_.Keys().Directional());
  sent_.clear();
  ASSERT_TRUE(handler_.SendPong(5));  // the fixture opens with the 0x40000001 prefix
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].pong().ping_timestamp_us(), 5u);
  EXPECT_FALSE(log_.Contains("did not ask for directional control nonces"));

  // A tablet that does not ask is served, with one warning per connection.
  handler_.Reset();
  ASSERT_TRUE(Deliver(HelloMessage()).ok());
  ASSERT_TRUE(Deliver(HelloMessage()).ok());
  EXPECT_FALSE(handler_.Keys().Directional());
  EXPECT_EQ(log_.Count("[WARN ] [Protocol] Tablet did not ask for directional control nonces"), 1u);
}

TEST_F(ProtocolHandlerTest, BuildersFillTheirMessages) {
  Authenticate();
  pb::CapabilityExchange caps;
  caps.set_stream_resize_supported(true);
  Negotiate(caps);
  sent_.clear();
  ASSERT_TRUE(handler_.SendStreamStarted({"s-9", true, 3, MirrorFallbackCause::kNone, 2560, 1600}));
  ASSERT_TRUE(handler_.SendStreamStarted({"s-9", false, 3, MirrorFallbackCause::kVirtualDisplayFailed, 1, 1}));
  ASSERT_TRUE(handler_.SendStreamResize("s-9", {1280, 800}, {2560, 1600}, 500));
  ASSERT_TRUE(handler_.SendDisplayOrientationUpdate("s-9", 800, 1280));
  ASSERT_TRUE(handler_.SendExtendedDisplayInfo(7, true));
  ASSERT_TRUE(handler_.SendAudioRoute(false, "Other tablet"));
  ASSERT_TRUE(handler_.SendWindowCommandResult(5, false, WindowMoveStatus::kNotResponding, "Editor"));
  ASSERT_TRUE(handler_.SendStatsReport({"s-9", 1.5f, 2.5f, 3.5f, 4.5f, 9000}));
  ASSERT_EQ(sent_.size(), 8u);
  EXPECT_EQ(sent_[0].stream_started().stream_id(), "s-9");
  EXPECT_TRUE(sent_[0].stream_started().extended_display());
  EXPECT_EQ(sent_[0].stream_started().display_number(), 3u);
  EXPECT_EQ(sent_[0].stream_started().source_width(), 2560u);
  EXPECT_EQ(sent_[1].stream_started().display_number(), 0u);
  EXPECT_EQ(sent_[1].stream_started().mirror_fallback_reason(), pb::MIRROR_FALLBACK_REASON_VIRTUAL_DISPLAY_FAILED);
  EXPECT_EQ(sent_[2].stream_resize().scale_permille(), 500u);
  EXPECT_EQ(sent_[3].display_orientation_update().orientation(), pb::DISPLAY_ORIENTATION_PORTRAIT);
  EXPECT_EQ(sent_[4].extended_display_info().side(), pb::EXTENDED_SIDE_UNSPECIFIED);
  EXPECT_EQ(sent_[5].audio_route().owner_name(), "Other tablet");
  EXPECT_EQ(sent_[6].window_command_result().status(), pb::WINDOW_COMMAND_STATUS_NOT_RESPONDING);
  EXPECT_EQ(sent_[6].window_command_result().window_title(), "Editor");
  EXPECT_EQ(sent_[7].stats_report().current_bitrate_kbps(), 9000u);
  EXPECT_TRUE(handler_.Streaming());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent StreamResize: encoded 1280x800 logical 2560x1600 (500/1000)"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent DisplayOrientationUpdate stream=800x1280"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent ExtendedDisplayInfo side=0 has_windows=yes"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent AudioRoute plays_here=no owner_len=12"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Sent WindowCommandResult request=5 status=not-responding"));
}

TEST_F(ProtocolHandlerTest, SendFailsWithoutFrameSender) {
  ProtocolHandler lonely(clock_);
  EXPECT_FALSE(lonely.SendErrorMessage(2, "Video encoder init failed", true));
}

TEST_F(ProtocolHandlerTest, ResetClearsEveryConnectionItem) {
  handler_.SetWindowCommandsSupported(true);
  Authenticate();
  pb::CapabilityExchange caps;
  caps.add_supported_codecs(pb::VIDEO_CODEC_HEVC);
  caps.set_route_class("wifi");
  caps.set_max_fragments_per_frame(40);
  caps.set_stream_resize_supported(true);
  caps.set_display_orientation(pb::DISPLAY_ORIENTATION_PORTRAIT);
  Negotiate(caps);
  std::vector<pb::ControlMessage> messages(9);
  messages[0] = StartStreamMessage();
  messages[1].mutable_select_monitor()->set_monitor_id("\\\\.\\DISPLAY9");
  messages[2].mutable_clipboard_update()->set_text("secret");
  messages[3].mutable_nack_request()->set_stream_type(1);
  messages[3].mutable_nack_request()->add_sequence_numbers(1);
  messages[4].mutable_stats_report()->set_rtt_ms(3);
  messages[5].mutable_window_command()->set_action(pb::WINDOW_ACTION_MOVE_BACK);
  messages[6].mutable_set_quality_profile()->set_target_bitrate_kbps(3000);
  messages[7].mutable_set_video_paused()->set_paused(true);
  messages[8].mutable_display_orientation_update()->set_orientation(pb::DISPLAY_ORIENTATION_LANDSCAPE);
  for (const auto& message : messages) ASSERT_TRUE(Deliver(message).ok());
  pb::ControlMessage keyframe;
  keyframe.mutable_request_keyframe();
  ASSERT_TRUE(Deliver(keyframe).ok());
  ASSERT_TRUE(Deliver(StopStreamMessage()).ok());  // user ended
  handler_.SetActiveMonitorId("\\\\.\\DISPLAY9");
  handler_.CountDroppedBeforeAuthentication();

  handler_.Reset();
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_FALSE(handler_.HasSessionKeys());
  EXPECT_FALSE(handler_.HelloReceived());
  EXPECT_EQ(handler_.ClientId(), "");
  EXPECT_EQ(handler_.ClientName(), "");
  EXPECT_EQ(handler_.AppVersion(), "");
  EXPECT_EQ(handler_.DescribeClient(), "");
  EXPECT_EQ(handler_.SelectedMonitorId(), "");
  EXPECT_FALSE(handler_.TakeMonitorChanged());
  EXPECT_EQ(handler_.Orientation(), 0u);
  EXPECT_FALSE(handler_.TakeOrientationChanged());
  EXPECT_FALSE(handler_.VideoPaused());
  EXPECT_FALSE(handler_.TakeQualityChanged());
  EXPECT_FALSE(handler_.TakeKeyframeRequest());
  const StreamRequests requests = handler_.TakeStreamRequests();
  EXPECT_FALSE(requests.start || requests.stop);
  ClipboardIn clip;
  EXPECT_FALSE(handler_.TakeClipboardIn(&clip));
  NackBatch batch;
  EXPECT_FALSE(handler_.TakeNackBatch(&batch));
  TabletStats stats;
  EXPECT_FALSE(handler_.TakeTabletStats(&stats));
  WindowCommandRequest command;
  EXPECT_FALSE(handler_.TakeWindowCommand(&command));
  const SessionConfig config = handler_.GetSessionConfig();
  EXPECT_EQ(config.codec, 1u);
  EXPECT_EQ(config.width, 1920u);
  EXPECT_EQ(config.bitrate_kbps, 8000u);
  EXPECT_EQ(config.fragment_limit, 256u);
  EXPECT_EQ(config.route_class, "");
  EXPECT_EQ(config.session_id, "");
  EXPECT_FALSE(config.stream_resize_supported);
  EXPECT_EQ(config.media_port, 9441u);  // the slot's ports stay
  EXPECT_EQ(config.input_port, 9442u);
  // The session reads the user's choice after the reset; the dropped count
  // belongs to the next Hello.
  EXPECT_TRUE(handler_.TakeUserEnded());
  EXPECT_EQ(handler_.DroppedBeforeAuthentication(), 1u);
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Control channel state reset after disconnect"));

  // The next tablet's monitor list reports the enumeration's own choice.
  Authenticate();
  pb::ControlMessage request;
  request.mutable_monitor_list_request();
  ASSERT_TRUE(Deliver(request).ok());
  EXPECT_EQ(sent_.back().monitor_list_response().active_monitor_id(), SyntheticMonitorEnumerator::kMonitorId);
  // And a codec offered by the previous tablet is not offered by this one.
  pb::ControlMessage quality;
  quality.mutable_set_quality_profile()->set_codec(pb::VIDEO_CODEC_HEVC);
  ASSERT_TRUE(Deliver(quality).ok());
  EXPECT_FALSE(handler_.TakeQualityChanged());
}

}  // namespace
}  // namespace orvane
