#include "host/control/control_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "host/common/clock.h"
#include "orvane_protocol_v1.pb.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;

std::string HelloBytes(const std::string& client_id) {
  pb::ControlMessage message;
  message.mutable_hello()->set_client_id(client_id);
  message.mutable_hello()->set_client_name("Tablet");
  return message.SerializeAsString();
}

const uint8_t* Data(const std::string& bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

TEST(ControlFrameTest, PlainFramesPassAndSecureFramesAreDropped) {
  ManualClock clock;
  testing::LogCapture log;
  ControlFrameOpener opener(clock);

  const std::string plain = HelloBytes("tab-1");
  const OpenedControlFrame opened = opener.OpenControlFrame(Data(plain), plain.size());
  EXPECT_EQ(opened.verdict, ControlFrameVerdict::kPlaintext);
  EXPECT_EQ(opened.data, Data(plain));
  EXPECT_EQ(opened.length, plain.size());

  const std::string secure = std::string("OVD1") + std::string(40, '\x01');
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(opener.OpenControlFrame(Data(secure), secure.size()).verdict, ControlFrameVerdict::kDrop);
  }
  EXPECT_EQ(log.Count("[WARN ] [Crypto] Dropping secure control frame (44 bytes): no session key"), 1u);
  clock.AdvanceMs(ControlFrameOpener::kDropWarningIntervalMs);
  EXPECT_EQ(opener.OpenControlFrame(Data(secure), secure.size()).verdict, ControlFrameVerdict::kDrop);
  EXPECT_TRUE(log.Contains("no session key (2 similar suppressed)"));
}

TEST(ControlFrameTest, PeekHelloClientId) {
  const struct {
    const char* name;
    std::string payload;
    bool found;
    const char* id;
  } cases[] = {
      {"hello", HelloBytes("tab-1"), true, "tab-1"},
      {"hello without id", HelloBytes(""), false, ""},
      {"other message", pb::ControlMessage().SerializeAsString(), false, ""},
      {"secure frame", std::string("OVD1xxxx"), false, ""},
      {"garbage", std::string("\xFF\xFF", 2), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string id = "unchanged";
    EXPECT_EQ(PeekHelloClientId(Data(c.payload), c.payload.size(), &id), c.found);
    if (c.found) {
      EXPECT_EQ(id, c.id);
    }
  }
}

}  // namespace
}  // namespace orvane
