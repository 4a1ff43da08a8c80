#include "host/transport/media_sender.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane {
namespace {

TEST(MediaSenderTest, SetRemoteValidatesAddressAndPort) {
  struct Case {
    const char* address;
    uint16_t port;
    bool ok;
  };
  const Case cases[] = {
      {"192.168.1.20", 9431, true}, {"127.0.0.1", 1, true},   {"", 9431, false},
      {"256.1.1.1", 9431, false},   {"1.2.3", 9431, false},   {"tablet.local", 9431, false},
      {"::1", 9431, false},         {"10.0.0.1", 0, false},   {"1.2.3.4 ", 9431, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port));
    MediaSender sender;
    ASSERT_TRUE(sender.CreateSocket());
    // A good destination first, so a refused one must also clear it.
    ASSERT_TRUE(sender.SetRemote("10.9.9.9", 5000));
    EXPECT_EQ(sender.SetRemote(c.address, c.port), c.ok);
    EXPECT_EQ(sender.Enabled(), c.ok);
    net::Endpoint remote;
    EXPECT_EQ(sender.Remote(&remote), c.ok);
    if (c.ok) {
      EXPECT_EQ(remote.address, c.address);
      EXPECT_EQ(remote.port, c.port);
      EXPECT_TRUE(sender.LastResult().ok());
    } else {
      EXPECT_EQ(sender.LastResult().code, 1);
      EXPECT_EQ(sender.LastResult().message, "Invalid UDP remote address");
    }
  }
}

TEST(MediaSenderTest, EnabledNeedsSocketAndDestinationAndDisableClearsBoth) {
  MediaSender sender;
  EXPECT_FALSE(sender.Enabled());
  ASSERT_TRUE(sender.SetRemote("127.0.0.1", 9431));
  EXPECT_FALSE(sender.Enabled()) << "no socket yet";

  ASSERT_TRUE(sender.CreateSocket());
  EXPECT_TRUE(sender.LastResult().ok());
  EXPECT_TRUE(sender.Enabled());

  sender.Disable();
  EXPECT_FALSE(sender.Enabled());
  EXPECT_FALSE(sender.Remote(nullptr));

  // The socket survives Disable: the next tablet only needs a destination.
  ASSERT_TRUE(sender.SetRemote("127.0.0.1", 9432));
  EXPECT_TRUE(sender.Enabled());

  sender.CloseSocket();
  EXPECT_FALSE(sender.Enabled());
  EXPECT_FALSE(sender.Remote(nullptr));
  // Reopening works and starts without a destination.
  ASSERT_TRUE(sender.CreateSocket());
  EXPECT_FALSE(sender.Enabled());
}

}  // namespace
}  // namespace orvane
