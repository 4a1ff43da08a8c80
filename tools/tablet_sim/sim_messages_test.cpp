#include "tools/tablet_sim/sim_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::sim {
namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SimMessages, HelloCarriesTheIdentityAndAFreshEnvelope) {
  ManualClock clock(5'000);
  MessageFactory factory(clock, 1);
  const pb::ControlMessage hello = factory.BuildHello("tab-a", "Tablet A", "1.3.5");
  EXPECT_EQ(hello.protocol_version(), 1u);
  EXPECT_EQ(hello.sequence_id(), 1u);
  EXPECT_EQ(hello.timestamp_us(), 5'000'000u);
  ASSERT_EQ(hello.payload_case(), pb::ControlMessage::kHello);
  EXPECT_EQ(hello.hello().client_id(), "tab-a");
  EXPECT_EQ(hello.hello().client_name(), "Tablet A");
  EXPECT_EQ(hello.hello().app_version(), "1.3.5");
  EXPECT_EQ(hello.hello().protocol_version(), 1u);
  EXPECT_TRUE(hello.hello().ephemeral_public_key().empty());
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
  const pb::ControlMessage hello = factory.BuildHello("id", "name", "1.3.5");
  EXPECT_EQ(hello.protocol_version(), 2u);
  EXPECT_EQ(hello.hello().protocol_version(), 2u);
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
  Case cases[4];
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

TEST(SimMessages, UnreadableFramesAreTold) {
  const uint8_t secure[] = {'O', 'V', 'D', '1', 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_TRUE(IsSecureFrame(secure, sizeof secure));
  EXPECT_EQ(DescribeUnreadableFrame(secure, sizeof secure),
            "a secure frame (13 bytes) that this simulator cannot open yet");
  const uint8_t junk[] = {0xFF, 0x01};
  EXPECT_FALSE(IsSecureFrame(junk, sizeof junk));
  EXPECT_EQ(DescribeUnreadableFrame(junk, sizeof junk), "2 bytes that are not a ControlMessage (prefix=FF010000)");
}

}  // namespace
}  // namespace orvane::sim
