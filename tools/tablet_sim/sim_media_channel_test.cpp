// The tablet's UDP socket on loopback, against the host's input receiver and
// media sender: the punch comes from the socket the media goes to.

#include "tools/tablet_sim/sim_media_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/net.h"
#include "host/transport/input_receiver.h"
#include "host/transport/media_sender.h"
#include "host/video/synthetic_stream.h"

namespace orvane::sim {
namespace {

using crypto::Bytes;
using crypto::ByteView;

// Waits for a condition that real sockets will make true, bounded so that a
// failure ends the test instead of hanging it.
template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(MediaChannel, PunchesFromItsOwnPortAndReceivesTheMediaSentThere) {
  const Bytes key(32, 0x6B);
  MediaChannel channel(SystemClock(), MediaReceiverConfig{}, 0, 1);
  ASSERT_EQ(channel.Open(), 0);
  ASSERT_NE(channel.local_port(), 0);
  uint64_t counter = 0;
  size_t bytes = 0;
  int error = 0;
  // No key yet: nothing is sealed, nothing leaves.
  EXPECT_FALSE(channel.SendInput("127.0.0.1", 9, ByteView(kMediaPunch, sizeof kMediaPunch), &counter, &bytes,
                                 &error));
  EXPECT_EQ(error, 0);
  channel.SetKey(key);

  // A punch to a port where nobody listens first: on Windows the answer is
  // a reset on the next receive, which must not count as a failure.
  {
    int e = 0;
    const net::Socket probe = net::Create(net::Kind::kUdp, &e);
    ASSERT_NE(probe, net::kInvalidSocket);
    ASSERT_EQ(net::Bind(probe, "127.0.0.1", 0), 0);
    const uint16_t closed_port = net::LocalPort(probe, &e);
    net::Close(probe);
    EXPECT_TRUE(channel.SendInput("127.0.0.1", closed_port, ByteView(kMediaPunch, sizeof kMediaPunch), &counter,
                                  &bytes, &error))
        << error;
  }

  // The host's input receiver takes the punch and learns the media port.
  InputReceiver receiver;
  int e = 0;
  const net::Socket input = net::Create(net::Kind::kUdp, &e);
  ASSERT_NE(input, net::kInvalidSocket);
  ASSERT_EQ(net::Bind(input, "", 0), 0);
  const uint16_t input_port = net::LocalPort(input, &e);
  receiver.AdoptSocket(input, input_port);
  ASSERT_TRUE(receiver.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver.SetInputKey(key));
  std::mutex mu;
  std::vector<uint16_t> punch_ports;
  ASSERT_TRUE(receiver.Start(input_port, [&](const uint8_t* data, size_t length, const net::Endpoint& from) {
    if (std::string(reinterpret_cast<const char*>(data), length) != "OVDMP1") return;
    std::lock_guard<std::mutex> lock(mu);
    punch_ports.push_back(from.port);
  }));
  ASSERT_TRUE(channel.SendInput("127.0.0.1", input_port, ByteView(kMediaPunch, sizeof kMediaPunch), &counter,
                                &bytes, &error))
      << error;
  EXPECT_EQ(counter, 1u);
  EXPECT_EQ(bytes, 6u + 29u);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mu);
    return !punch_ports.empty();
  }));
  uint16_t media_port = 0;
  {
    std::lock_guard<std::mutex> lock(mu);
    media_port = punch_ports.front();
  }
  EXPECT_EQ(media_port, channel.local_port());
  receiver.Close();

  // The host's sender aimed at the punch's source.
  MediaSender sender;
  ASSERT_TRUE(sender.CreateSocket());
  ASSERT_TRUE(sender.SetRemote("127.0.0.1", media_port));
  ASSERT_TRUE(sender.SetMediaKey(key));
  uint32_t seq = 0;
  for (uint64_t i = 0; i < 5; ++i) {
    const uint64_t ts = 1'000'000 + i * 16'667;
    const Bytes au = MakeSyntheticFrame(ts, i == 0, 3000 + 100 * i);
    ASSERT_TRUE(sender.SendVideoFrame(seq, ts, i == 0, false, au.data(), au.size()));
  }
  EXPECT_TRUE(Eventually([&] { return channel.completed() == 5; })) << channel.completed();
  channel.Close();
  const MediaSummary summary = channel.Summary();
  EXPECT_EQ(summary.media.complete, 5u);
  EXPECT_EQ(summary.media.mismatched, 0u);
  EXPECT_EQ(summary.intake.open_failed + summary.intake.not_secure + summary.intake.replayed, 0u);
  EXPECT_EQ(summary.receive_errors, 0u);
  EXPECT_TRUE(channel.TakeNotes().size() >= 1u);
  // Closed: nothing is sent any more.
  EXPECT_FALSE(channel.SendInput("127.0.0.1", input_port, ByteView(kMediaPunch, sizeof kMediaPunch), &counter,
                                 &bytes, &error));
}

}  // namespace
}  // namespace orvane::sim
