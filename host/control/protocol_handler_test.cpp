#include "host/control/protocol_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/clock.h"
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

class ProtocolHandlerTest : public ::testing::Test {
 protected:
  ProtocolHandlerTest() {
    handler_.SetHostIdentity("orvane-PC", "PC");
    handler_.SetFrameSender([this](const uint8_t* data, size_t length) {
      pb::ControlMessage message;
      EXPECT_TRUE(message.ParseFromArray(data, static_cast<int>(length)));
      sent_.push_back(message);
      return true;
    });
  }

  HostResult Deliver(const pb::ControlMessage& message) {
    const std::string bytes = message.SerializeAsString();
    return handler_.HandleControlFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false);
  }

  void Authenticate() {
    handler_.SetHelloAuthenticator([](const pb::Hello&) {
      return HelloAuthDecision{pb::AUTH_RESULT_OK, true};
    });
    ASSERT_TRUE(Deliver(HelloMessage()).ok());
    ASSERT_TRUE(handler_.IsAuthenticated());
    sent_.clear();
  }

  ManualClock clock_;
  ProtocolHandler handler_{clock_};
  std::vector<pb::ControlMessage> sent_;
  testing::LogCapture log_;
};

TEST(CompareAppVersionTest, Verdicts) {
  const struct {
    const char* app;
    VersionVerdict expected;
  } cases[] = {
      {"1.3.5", VersionVerdict::kEqual},     {"01.3.5", VersionVerdict::kEqual},
      {"1.3", VersionVerdict::kAppInvalid},  {"1.3.5.0", VersionVerdict::kAppInvalid},
      {"", VersionVerdict::kAppInvalid},     {"1.3.123456", VersionVerdict::kAppInvalid},
      {"1.4.0", VersionVerdict::kAppNewer},  {"2.0.0", VersionVerdict::kAppNewer},
      {"1.2.9", VersionVerdict::kAppOlder},  {"1.3.4", VersionVerdict::kAppOlder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.app);
    EXPECT_EQ(CompareAppVersion(c.app, "1.3.5"), c.expected);
  }
  EXPECT_EQ(CompareAppVersion("1.3.5", "bad"), VersionVerdict::kAppNewer);
}

TEST_F(ProtocolHandlerTest, HelloOutcomes) {
  struct Case {
    const char* name;
    std::string app_version;
    uint32_t protocol_version;
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
      {"no credential check available", "1.3.5", 1, true, false, pb::AUTH_RESULT_REJECTED, 0, true, false, false,
       false, nullptr},
      {"authenticated", "1.3.5", 1, true, true, pb::AUTH_RESULT_OK, 0, true, false, false, true, nullptr},
      {"tablet limit reached", "1.3.5", 0, false, true, pb::AUTH_RESULT_HOST_BUSY, 4, true, true, false, false,
       "[WARN ] [Protocol] Hello refused: this PC already serves 4 tablet(s)"},
      {"newer app", "1.4.0", 1, true, true, pb::AUTH_RESULT_VERSION_MISMATCH, 0, false, false, true, false,
       "[WARN ] [Protocol] Hello rejected: app version '1.4.0' does not match host version '1.3.5' (verdict=3)"},
      {"newer protocol", "1.3.5", 2, true, true, pb::AUTH_RESULT_VERSION_MISMATCH, 0, false, false, false, false,
       "[WARN ] [Protocol] Hello rejected: protocol_version=2 is newer than supported=1"},
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
    handler_.SetHelloAuthenticator([&](const pb::Hello&) {
      return HelloAuthDecision{c.authenticator_accepts ? pb::AUTH_RESULT_OK : pb::AUTH_RESULT_REJECTED, true};
    });
    if (!c.authenticator_accepts) handler_.SetHelloAuthenticator(nullptr);
    std::vector<VersionRefusal> refusals;
    handler_.SetVersionRefusedCallback([&](const VersionRefusal& r) { refusals.push_back(r); });

    EXPECT_TRUE(Deliver(HelloMessage(c.app_version, c.protocol_version)).ok());

    ASSERT_EQ(sent_.size(), 1u);
    ASSERT_TRUE(sent_[0].has_hello_ack());
    const pb::HelloAck& ack = sent_[0].hello_ack();
    EXPECT_EQ(ack.result(), c.expected_result);
    EXPECT_EQ(ack.max_sessions(), c.expected_max_sessions);
    EXPECT_EQ(ack.host_id(), "orvane-PC");
    EXPECT_EQ(ack.host_name(), "PC");
    EXPECT_EQ(ack.host_version(), "1.3.5");
    EXPECT_TRUE(ack.encrypted_session_key().empty());
    EXPECT_TRUE(ack.pairing_code().empty());
    EXPECT_EQ(handler_.HelloReceived(), c.hello_received);
    EXPECT_EQ(handler_.RefusedBusy(), c.refused_busy);
    EXPECT_EQ(handler_.RefusedVersion(), c.refused_version);
    EXPECT_EQ(handler_.IsAuthenticated(), c.authenticated);
    EXPECT_EQ(handler_.HasSessionKeys(), c.authenticated);
    EXPECT_EQ(handler_.ClientId(), "tab-1");
    EXPECT_EQ(handler_.ClientName(), "Tablet One");
    EXPECT_EQ(admitted.size(), c.hello_received ? 1u : 0u);
    if (!admitted.empty()) {
      EXPECT_EQ(admitted[0], "tab-1/Tablet One");
    }
    ASSERT_EQ(refusals.size(), c.refused_version ? 1u : 0u);
    if (c.refused_version) {
      EXPECT_EQ(refusals[0].client_name, "Tablet One");
      EXPECT_EQ(refusals[0].app_version, c.app_version);
      EXPECT_EQ(refusals[0].required_version, "1.3.5");
    }
    if (c.warning) {
      EXPECT_TRUE(log_.Contains(c.warning));
    }
    EXPECT_EQ(log_.Count("[INFO ] [Protocol] Sent HelloAck (result=" +
                         std::to_string(static_cast<int>(c.expected_result)) +
                         ", auth_version=0, host_ephemeral_fp=none)"),
              1u);
  }
}

TEST_F(ProtocolHandlerTest, AuthV2HelloIsAnsweredWithAuthVersion2) {
  pb::ControlMessage hello = HelloMessage();
  hello.mutable_hello()->set_auth_version(2);
  ASSERT_TRUE(Deliver(hello).ok());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].hello_ack().auth_version(), 2u);
  EXPECT_TRUE(log_.Contains("(result=3, auth_version=2, host_ephemeral_fp=none)"));
}

TEST_F(ProtocolHandlerTest, SendStampsVersionSequenceAndHostClock) {
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
  EXPECT_EQ(sent_[0].sequence_id(), 1u);
  EXPECT_EQ(sent_[0].timestamp_us(), 1'000'000'000u + 1234u);
  EXPECT_EQ(sent_[0].error().error_code(), 2504u);
  EXPECT_EQ(sent_[0].error().error_description(), "Disconnected from the PC");
  EXPECT_TRUE(sent_[0].error().is_fatal());
  // Values the caller set are kept; only zeros are filled in.
  EXPECT_EQ(sent_[1].sequence_id(), 99u);
  EXPECT_EQ(sent_[1].timestamp_us(), 7u);
  EXPECT_EQ(sent_[1].protocol_version(), 1u);
  EXPECT_EQ(sent_[2].sequence_id(), 2u);
  EXPECT_EQ(sent_[2].timestamp_us(), 1'000'000'000u + 1244u);
}

TEST_F(ProtocolHandlerTest, SendFailsWithoutFrameSender) {
  ProtocolHandler lonely(clock_);
  EXPECT_FALSE(lonely.SendErrorMessage(2, "Video encoder init failed", true));
}

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
}

TEST_F(ProtocolHandlerTest, WarningsBeforeAuthenticationAreRateLimited) {
  const std::string line = "[WARN ] [Protocol] Ignoring control message type=14 before authentication";
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  EXPECT_EQ(log_.Count(line), 1u);
  EXPECT_FALSE(handler_.TakeStreamRequests().start);

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

TEST_F(ProtocolHandlerTest, MessagesWithoutHandlerAreReported) {
  pb::ControlMessage empty;
  ASSERT_TRUE(Deliver(empty).ok());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Ignoring control message type=0 before authentication"));
  Authenticate();
  ASSERT_TRUE(Deliver(empty).ok());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Unhandled message type: 0"));
}

TEST_F(ProtocolHandlerTest, ResetEndsTheConnectionState) {
  Authenticate();
  ASSERT_TRUE(Deliver(StartStreamMessage()).ok());
  ASSERT_TRUE(Deliver(StopStreamMessage()).ok());
  handler_.Reset();
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_FALSE(handler_.HasSessionKeys());
  EXPECT_FALSE(handler_.HelloReceived());
  const StreamRequests requests = handler_.TakeStreamRequests();
  EXPECT_FALSE(requests.start || requests.stop);
  EXPECT_EQ(handler_.GetSessionConfig().session_id, "");
  // The session reads the user's choice after the reset.
  EXPECT_TRUE(handler_.TakeUserEnded());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Control channel state reset after disconnect"));
}

TEST_F(ProtocolHandlerTest, NewHelloClearsAuthentication) {
  Authenticate();
  handler_.SetHelloAuthenticator(nullptr);
  ASSERT_TRUE(Deliver(HelloMessage()).ok());
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_TRUE(handler_.HelloReceived());
}

}  // namespace
}  // namespace orvane
